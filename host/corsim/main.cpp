// corsim: plugs simulated multiport serial adapters into a simulated machine, lets the corcard
// driver run them as Windows would, and shows what the driver did; then corserial makes every
// port of a board of each model a COM port, and a message crosses each of them both ways.
//
//   corsim                      every catalogue model plus one unknown board, the whole story
//   corsim --model LX4A ...     only the named models (repeatable)
//   corsim --no-unknown         leave out the board with the unknown subsystem ID
//   corsim --brief              device tree, event log and debug output only
//   corsim --trace FILE         also write every request the driver saw to FILE
#include "testsupport.h"

#include "corcard.h"
#include "corsim/messages.h"
#include "corsim/story.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr USHORT UnknownSubsystem = 0x7D41;

struct Adapter {
    PDEVICE_OBJECT Pdo;
    std::string Model;
    USHORT Subsystem;
    NTSTATUS AddStatus;
};

struct Options {
    std::vector<HmModel> Models;
    bool Unknown = true;
    bool Brief = false;
    std::string TraceFile;
};

} // namespace

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void Heading(const std::string& title)
{
    std::string line = "== " + title + " ";
    while (line.size() < 96) {
        line.push_back('=');
    }
    Say("\n%s\n", line.c_str());
}

namespace {

std::string Hex(ULONG64 value, int digits)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

std::string Narrow(const WCHAR* text, size_t max)
{
    std::string s;
    for (size_t i = 0; i < max && text[i]; ++i) {
        s.push_back(text[i] < 128 ? static_cast<char>(text[i]) : '?');
    }
    return s;
}

const char* Severity(ULONG code)
{
    switch (code >> 30) {
    case 1:
        return "information";
    case 2:
        return "warning";
    case 3:
        return "error";
    default:
        return "success";
    }
}

// The adapter's function device: corcard's device right above the bus driver's PDO.
PADAPTER_EXTENSION AdapterExtension(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver)
{
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    if (!fdo || fdo->DriverObject != driver) {
        return nullptr;
    }
    return AdapterOf(fdo);
}

std::vector<PPORT_EXTENSION> PortsOf(PADAPTER_EXTENSION adapter)
{
    std::vector<PPORT_EXTENSION> ports;
    for (PLIST_ENTRY e = adapter->PortList.Flink; e != &adapter->PortList; e = e->Flink) {
        ports.push_back(PortFromLink(e));
    }
    return ports;
}

size_t EventMark()
{
    return HkErrorLog().size();
}

// The object that reported an entry, named as the I/O manager names it in the entry (its %1).
std::string SourceName(const HkErrorLogEntry& entry)
{
    if (*static_cast<const CSHORT*>(entry.IoObject) == IO_TYPE_DRIVER) {
        return "\\Driver\\corcard";
    }
    return HmDeviceName(static_cast<PDEVICE_OBJECT>(entry.IoObject));
}

// An entry as the event viewer shows it: the message of its code in the driver's message table,
// formatted with the entry's insertion strings (%1 the reporting object, %2 the sentence). The
// message's line end ends the printed line.
std::string EventText(const HkErrorLogEntry& entry)
{
    std::string source = SourceName(entry);
    std::u16string text;
    if (!FormatDriverMessage(entry.ErrorCode,
                             {std::u16string(source.begin(), source.end()), entry.Text}, &text)) {
        return "(the driver's message table has no message for this code)";
    }
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0) {
        text.resize(text.size() - 2);
    }
    return HmNarrow(text);
}

void PrintEventsSince(size_t mark, const char* indent)
{
    std::vector<HkErrorLogEntry> log = HkErrorLog();
    if (log.size() == mark) {
        Say("%s(no event-log entry)\n", indent);
    }
    for (size_t i = mark; i < log.size(); ++i) {
        Say("%s%-11s %s  %s\n", indent, Severity(log[i].ErrorCode),
            Hex(log[i].ErrorCode, 8).c_str(), EventText(log[i]).c_str());
    }
}

// ---- Sections ----------------------------------------------------------------------------------

std::vector<Adapter> PlugAll(const Options& options, PDRIVER_OBJECT driver)
{
    Heading("Adapters plugged in, AddDevice of corcard");
    std::vector<Adapter> adapters;
    auto add = [&](const HmPciConfig& config, const std::string& model, USHORT subsystem) {
        Adapter a{HmPlugAdapter(config), model, subsystem, STATUS_UNSUCCESSFUL};
        a.AddStatus = HmAddDevice(driver, a.Pdo);
        adapters.push_back(a);
    };
    for (HmModel m : options.Models) {
        add(HmBoardConfig(m), HmModelName(m), HmSubsystemId(m));
    }
    if (options.Unknown) {
        add(HmBoardConfig(UnknownSubsystem, 4), "(unknown)", UnknownSubsystem);
    }
    Say("%-10s %-10s %-10s %-34s %s\n", "device", "model", "subsystem", "AddDevice",
        "port devices");
    for (const Adapter& a : adapters) {
        PADAPTER_EXTENSION ext = AdapterExtension(a.Pdo, driver);
        Say("%-10s %-10s %-10s %-34s %s\n", HmDeviceName(a.Pdo).c_str(), a.Model.c_str(),
            Hex(a.Subsystem, 4).c_str(), HmStatusName(a.AddStatus).c_str(),
            ext ? std::to_string(ext->PortCount).c_str() : "-");
    }
    return adapters;
}

void PrintTree(const std::vector<Adapter>& adapters, PDRIVER_OBJECT driver)
{
    Heading("Device tree after AddDevice");
    for (const Adapter& a : adapters) {
        PADAPTER_EXTENSION ext = AdapterExtension(a.Pdo, driver);
        if (!ext) {
            Say("%s  %s: no adapter device (AddDevice failed)\n", HmDeviceName(a.Pdo).c_str(),
                a.Model.c_str());
            continue;
        }
        Say("%s  %s%s  adapter Index %u  OutstandingIo %d  board row %s\n",
            HmDeviceName(a.Pdo).c_str(), Narrow(ext->Board->ModelText, 10).c_str(),
            Narrow(ext->Board->InterfaceText, 20).c_str(), ext->Head.Index, ext->OutstandingIo,
            Hex(ext->Board->SubSystemId, 4).c_str());
        Say("    %-6s %-11s %-5s %-4s %-7s %-7s %-14s %s\n", "Index", "PortNumber", "type", "BAR",
            "offset", "length", "InterruptMask", "DriverParameter");
        for (PPORT_EXTENSION p : PortsOf(ext)) {
            const PORT_DESCRIPTOR* d = p->Descriptor;
            Say("    %-6u %-11u '%c'   %-4d %-7u %-7u %-14s %u\n", p->Head.Index, p->PortNumber,
                d->Type, d->Bar, d->Offset, d->Length, Hex(d->InterruptMask, 2).c_str(),
                d->DriverParameter);
        }
    }
}

std::string Range(const HmPartial& p)
{
    return Hex(p.Start, 4) + " (" + std::to_string(p.Length) + " bytes)";
}

void PrintStarted(const std::vector<Adapter>& adapters, PDRIVER_OBJECT driver)
{
    Heading("Start with the platform's assignment");
    for (const Adapter& a : adapters) {
        PADAPTER_EXTENSION ext = AdapterExtension(a.Pdo, driver);
        if (!ext) {
            continue;
        }
        HmNodeInfo node = HmNode(a.Pdo);
        Say("%s  %s: %s (%s)\n", HmDeviceName(a.Pdo).c_str(), a.Model.c_str(),
            HmNodeStateName(node.State), HmStatusName(node.LastStatus).c_str());
        HmAssignment given = HmDefaultAssignment(a.Pdo);
        if (given.Raw.size() == 1 && given.Raw[0].Partials.size() == 3) {
            const auto& raw = given.Raw[0].Partials;
            const auto& tr = given.Translated[0].Partials;
            Say("    assigned   I/O %s, I/O %s, IRQ %u (vector %s, level %u)\n",
                Range(raw[0]).c_str(), Range(raw[1]).c_str(), raw[2].Level,
                Hex(tr[2].Vector, 2).c_str(), tr[2].Level);
        }
        Say("    interrupt  vector %s, level %u, affinity %s, %s%s; status register at %s\n",
            Hex(ext->InterruptVector, 2).c_str(), ext->InterruptLevel,
            Hex(ext->InterruptAffinity, 1).c_str(),
            ext->InterruptMode ? "latched" : "level-sensitive",
            ext->InterruptShared ? ", shared" : "", Hex(ext->StatusPort, 4).c_str());
        std::string parent = ext->ParentInstanceId ? Narrow(ext->ParentInstanceId, 256) : "(none)";
        Say("    parent     instance ID %s\n", parent.c_str());
        Say("    %-9s %-6s %-11s %-7s %-9s %-14s %-5s %s\n", "device", "Index", "PortNumber",
            "IoBase", "IoLength", "InterruptMask", "slot", "port driver");
        std::vector<PDEVICE_OBJECT> ports = HmPortDevices(a.Pdo);
        for (PDEVICE_OBJECT pdo : ports) {
            PPORT_EXTENSION p = PortOf(pdo);
            HmSerialState s = HmSerialStateOf(pdo);
            std::string driverState = !s.Bound ? "not bound"
                                      : s.Started
                                          ? (s.Hooked ? "started, callback hooked" : "started")
                                          : "start failed: " + HmStatusName(s.StartStatus);
            Say("    %-9s %-6u %-11u %-7s %-9u %-14s %-5d %s\n", HmDeviceName(pdo).c_str(),
                p->Head.Index, p->PortNumber, Hex(p->IoBase, 4).c_str(), p->IoLength,
                Hex(p->InterruptMask, 2).c_str(), p->InterruptSlot, driverState.c_str());
        }
        Say("    %-9s %-12s %-45s %-28s %s\n", "device", "hardware ID", "instance ID",
            "description", "location");
        for (PDEVICE_OBJECT pdo : ports) {
            HmNodeInfo n = HmNode(pdo);
            std::string hw = n.HardwareIds.empty() ? "-" : HmNarrow(n.HardwareIds[0]);
            Say("    %-9s %-12s %-45s %-28s %s\n", HmDeviceName(pdo).c_str(), hw.c_str(),
                HmNarrow(n.InstanceId).c_str(), HmNarrow(n.Description).c_str(),
                HmNarrow(n.Location).c_str());
        }
        if (!ports.empty()) {
            HmNodeInfo n = HmNode(ports[0]);
            Say("    every port device ID %s, compatible IDs %s;\n"
                "               capabilities UniqueID %u, SilentInstall %u, Address %s, UINumber "
                "%u\n",
                HmNarrow(n.DeviceId).c_str(),
                HmStatusName(n.IdStatus[BusQueryCompatibleIDs]).c_str(), n.Capabilities.UniqueID,
                n.Capabilities.SilentInstall, Hex(n.Capabilities.Address, 8).c_str(),
                n.Capabilities.UINumber);
        }
    }
}

ULONG UartIndex(PDEVICE_OBJECT portPdo)
{
    return PortOf(portPdo)->Descriptor->Offset / 8;
}

void Traffic(const std::vector<Adapter>& adapters, PDRIVER_OBJECT driver, const char* title)
{
    Heading(title);
    struct Flow {
        PDEVICE_OBJECT Adapter;
        PDEVICE_OBJECT Port;
        std::vector<UCHAR> Out;
        std::vector<UCHAR> In;
        std::vector<UCHAR> GotRemote;
        std::vector<UCHAR> GotLocal;
    };
    std::vector<Flow> flows;
    for (const Adapter& a : adapters) {
        if (!AdapterExtension(a.Pdo, driver)) {
            continue;
        }
        for (PDEVICE_OBJECT port : HmPortDevices(a.Pdo)) {
            if (!HmSerialStateOf(port).Started) {
                continue;
            }
            Flow f{a.Pdo, port, {}, {}, {}, {}};
            std::string out = "Hello from " + HmDeviceName(port) + ", sent by the port driver.";
            std::string in = "Reply to " + HmDeviceName(port) + " from the far end of the cable.";
            f.Out.assign(out.begin(), out.end());
            f.In.assign(in.begin(), in.end());
            flows.push_back(f);
        }
    }
    std::vector<HmSerialState> before;
    std::vector<HmInterruptStats> irqBefore;
    for (Flow& f : flows) {
        before.push_back(HmSerialStateOf(f.Port));
        HmSerialRead(f.Port);
        HmRemoteTake(f.Adapter, UartIndex(f.Port));
    }
    for (const Adapter& a : adapters) {
        irqBefore.push_back(HmInterrupts(a.Pdo));
    }
    for (Flow& f : flows) {
        HmSerialWrite(f.Port, f.Out);
        HmRemoteSend(f.Adapter, UartIndex(f.Port), f.In);
    }
    bool done = HmWaitUntil(
        [&] {
            bool all = true;
            for (Flow& f : flows) {
                std::vector<UCHAR> r = HmRemoteTake(f.Adapter, UartIndex(f.Port));
                f.GotRemote.insert(f.GotRemote.end(), r.begin(), r.end());
                std::vector<UCHAR> l = HmSerialRead(f.Port);
                f.GotLocal.insert(f.GotLocal.end(), l.begin(), l.end());
                all = all && f.GotRemote.size() >= f.Out.size() && f.GotLocal.size() >= f.In.size();
            }
            return all;
        },
        20000);
    Say("%-9s %-7s %-9s %-11s %-7s %-10s %s\n", "port", "sent", "received", "interrupts", "errors",
        "transmit", "receive");
    for (size_t i = 0; i < flows.size(); ++i) {
        const Flow& f = flows[i];
        HmSerialState s = HmSerialStateOf(f.Port);
        uint64_t errors = s.Overruns + s.ParityErrors + s.FramingErrors + s.Breaks -
                          (before[i].Overruns + before[i].ParityErrors + before[i].FramingErrors +
                           before[i].Breaks);
        Say("%-9s %-7llu %-9llu %-11llu %-7llu %-10s %s\n", HmDeviceName(f.Port).c_str(),
            static_cast<unsigned long long>(s.BytesSent - before[i].BytesSent),
            static_cast<unsigned long long>(s.BytesReceived - before[i].BytesReceived),
            static_cast<unsigned long long>(s.Interrupts - before[i].Interrupts),
            static_cast<unsigned long long>(errors), f.GotRemote == f.Out ? "intact" : "DAMAGED",
            f.GotLocal == f.In ? "intact" : "DAMAGED");
    }
    Say("%-10s %-11s %-9s %s\n", "adapter", "deliveries", "claimed", "unclaimed");
    for (size_t i = 0; i < adapters.size(); ++i) {
        if (!AdapterExtension(adapters[i].Pdo, driver)) {
            continue;
        }
        HmInterruptStats s = HmInterrupts(adapters[i].Pdo);
        Say("%-10s %-11zu %-9zu %zu\n", HmDeviceName(adapters[i].Pdo).c_str(),
            s.Deliveries - irqBefore[i].Deliveries, s.Claimed - irqBefore[i].Claimed,
            s.Unclaimed - irqBefore[i].Unclaimed);
    }
    if (!done) {
        Say("(the traffic did not complete within 20 s)\n");
    }
}

void SleepAndWake(const std::vector<Adapter>& adapters, PDRIVER_OBJECT driver)
{
    Heading("Sleep (S3) and wake (S0)");
    auto show = [&](const char* when) {
        for (const Adapter& a : adapters) {
            PADAPTER_EXTENSION ext = AdapterExtension(a.Pdo, driver);
            if (!ext) {
                continue;
            }
            Say("    %-10s %-9s DevicePowerState D%u   bus: D%d   S3 maps to D%d\n", when,
                HmDeviceName(a.Pdo).c_str(), ext->DevicePowerState - 1, HmBusDevicePower(a.Pdo) - 1,
                ext->Capabilities.DeviceState[PowerSystemSleeping3] - 1);
        }
    };
    for (const Adapter& a : adapters) {
        PADAPTER_EXTENSION ext = AdapterExtension(a.Pdo, driver);
        if (!ext) {
            continue;
        }
        // The bus driver's capabilities answer replaced the driver's defaults at start.
        std::string map;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
            map += " S" + std::to_string(s - 1) + "->D" +
                   std::to_string(static_cast<int>(ext->Capabilities.DeviceState[s]) - 1);
        }
        Say("power map of %s (from the bus's capabilities):%s\n", HmDeviceName(a.Pdo).c_str(),
            map.c_str());
        break;
    }
    size_t powerMark = HkPowerRequests().size();
    NTSTATUS sleep = HmSetSystemPower(PowerSystemSleeping3);
    Say("system set-power S3: %s\n", HmStatusName(sleep).c_str());
    show("asleep");
    NTSTATUS wake = HmSetSystemPower(PowerSystemWorking);
    Say("system set-power S0: %s\n", HmStatusName(wake).c_str());
    show("awake");
    std::vector<HkPowerRequest> requests = HkPowerRequests();
    Say("device power requests made by the drivers:\n");
    for (size_t i = powerMark; i < requests.size(); ++i) {
        Say("    %-9s %s D%d = %s\n", HmDeviceName(requests[i].Target).c_str(),
            HmPowerMinorName(requests[i].MinorFunction).c_str(), requests[i].State.DeviceState - 1,
            HmStatusName(requests[i].Result).c_str());
    }
}

struct Fault {
    const char* Title;
    std::function<void(PDEVICE_OBJECT, HmAssignment&)> Setup;
    std::function<void(PDEVICE_OBJECT)> Undo;
};

void FaultyAssignments(PDRIVER_OBJECT driver)
{
    Heading("Faulty assignments (one LX4A adapter, started again and again)");
    HmPnpOptions options;
    HmSetPnpOptions(options);
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    UCHAR pristine[256];
    HmGetConfigSpace(pdo, pristine);
    const std::vector<Fault> faults = {
        {"no resource lists at all",
         [](PDEVICE_OBJECT, HmAssignment& a) { a.NoRaw = a.NoTranslated = true; },
         {}},
        {"no interrupt",
         [](PDEVICE_OBJECT, HmAssignment& a) {
             a.Raw[0].Partials.pop_back();
             a.Translated[0].Partials.pop_back();
         },
         {}},
        {"latched interrupt",
         [](PDEVICE_OBJECT, HmAssignment& a) {
             a.Raw[0].Partials[2].Flags = CM_RESOURCE_INTERRUPT_LATCHED;
             a.Translated[0].Partials[2].Flags = CM_RESOURCE_INTERRUPT_LATCHED;
         },
         {}},
        {"no I/O ranges",
         [](PDEVICE_OBJECT, HmAssignment& a) {
             a.Raw[0].Partials.erase(a.Raw[0].Partials.begin(), a.Raw[0].Partials.begin() + 2);
             a.Translated[0].Partials.erase(a.Translated[0].Partials.begin(),
                                            a.Translated[0].Partials.begin() + 2);
         },
         {}},
        {"raw and translated lists disagree",
         [](PDEVICE_OBJECT, HmAssignment& a) {
             a.Translated[0].Partials.erase(a.Translated[0].Partials.begin() + 1);
         },
         {}},
        {"BAR 0 range too short for four UARTs",
         [](PDEVICE_OBJECT, HmAssignment& a) { a.Translated[0].Partials[0].Length = 16; },
         {}},
        {"BAR 0 is a memory BAR",
         [](PDEVICE_OBJECT p, HmAssignment&) {
             UCHAR space[256];
             HmGetConfigSpace(p, space);
             space[0x10] = 0x00;
             space[0x11] = 0x00;
             space[0x12] = 0xF0;
             space[0x13] = 0xFE;
             HmSetConfigSpace(p, space);
             HmBusAnswers b = HmGetBusAnswers(p);
             b.ProgramBars = false;
             HmSetBusAnswers(p, b);
         },
         [pristine](PDEVICE_OBJECT p) {
             HmSetConfigSpace(p, pristine);
             HmBusAnswers b = HmGetBusAnswers(p);
             b.ProgramBars = true;
             HmSetBusAnswers(p, b);
         }},
        {"the interrupt cannot be connected",
         [](PDEVICE_OBJECT, HmAssignment&) { HkFailNth(HkFault::ConnectInterrupt, 1); },
         [](PDEVICE_OBJECT) { HkClearFaults(); }},
        {"the bus fails the instance ID query",
         [](PDEVICE_OBJECT p, HmAssignment&) {
             HmBusAnswers b = HmGetBusAnswers(p);
             b.InstanceIdAnswer = HmIdAnswer::Fail;
             HmSetBusAnswers(p, b);
         },
         [](PDEVICE_OBJECT p) {
             HmBusAnswers b = HmGetBusAnswers(p);
             b.InstanceIdAnswer = HmIdAnswer::String;
             HmSetBusAnswers(p, b);
         }},
    };
    for (const Fault& f : faults) {
        NTSTATUS add = HmAddDevice(driver, pdo);
        HmAssignment a = HmDefaultAssignment(pdo);
        f.Setup(pdo, a);
        size_t mark = EventMark();
        NTSTATUS status = add;
        if (NT_SUCCESS(add)) {
            status = HmStartAdapter(pdo, a);
        }
        if (f.Undo) {
            f.Undo(pdo);
        }
        Say("%-38s start: %s\n", f.Title, HmStatusName(status).c_str());
        PrintEventsSince(mark, "    ");
        if (NT_SUCCESS(status)) {
            HmRemoveAdapter(pdo);
        }
    }
    HmUnplugAdapter(pdo);
}

size_t Gone(const std::vector<PDEVICE_OBJECT>& devices)
{
    size_t gone = 0;
    for (PDEVICE_OBJECT d : devices) {
        gone += !HkDeviceExists(d) || HkDeviceDeleted(d);
    }
    return gone;
}

void RemoveAll(std::vector<Adapter>& adapters, PDRIVER_OBJECT driver)
{
    Heading("Surprise removal and removal");
    bool surprised = false;
    for (const Adapter& a : adapters) {
        if (!AdapterExtension(a.Pdo, driver)) {
            continue;
        }
        size_t mark = EventMark();
        std::vector<PDEVICE_OBJECT> ports = HmPortDevices(a.Pdo);
        if (!surprised) {
            Say("%s pulled out of its slot while its %zu ports were running:\n",
                HmDeviceName(a.Pdo).c_str(), ports.size());
            size_t from = HmTrace().size();
            HmSurpriseRemoveAdapter(a.Pdo);
            std::vector<std::string> trace = HmTrace();
            for (size_t i = from; i < trace.size(); ++i) {
                Say("    %s\n", trace[i].c_str());
            }
            Say("    port devices deleted: %zu of %zu; the PDO is gone: %s\n", Gone(ports),
                ports.size(), HmNode(a.Pdo).Known ? "no" : "yes");
            surprised = true;
        } else {
            NTSTATUS status = HmRemoveAdapter(a.Pdo);
            Say("%s removed (ports first): %s; port devices deleted: %zu of %zu\n",
                HmDeviceName(a.Pdo).c_str(), HmStatusName(status).c_str(), Gone(ports),
                ports.size());
        }
        if (EventMark() != mark) {
            PrintEventsSince(mark, "    ");
        }
    }
}

void PrintLogs()
{
    Heading("Event log (each entry through corcard's message table)");
    std::vector<HkErrorLogEntry> log = HkErrorLog();
    if (log.empty()) {
        Say("(empty)\n");
    }
    for (const HkErrorLogEntry& e : log) {
        Say("%-11s %s  %-16s %s\n", Severity(e.ErrorCode), Hex(e.ErrorCode, 8).c_str(),
            SourceName(e).c_str(), EventText(e).c_str());
    }
    Heading("Debug output");
    std::string out = HkDebugOutput();
    Say("%s", out.empty() ? "(none)\n" : out.c_str());
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--model" && i + 1 < argc) {
            HmModel m;
            if (!HmModelFromName(argv[++i], &m)) {
                std::fprintf(stderr, "corsim: unknown model %s\n", argv[i]);
                return false;
            }
            options->Models.push_back(m);
            options->Unknown = false;
        } else if (arg == "--no-unknown") {
            options->Unknown = false;
        } else if (arg == "--unknown") {
            options->Unknown = true;
        } else if (arg == "--brief") {
            options->Brief = true;
        } else if (arg == "--trace" && i + 1 < argc) {
            options->TraceFile = argv[++i];
        } else {
            bool help = arg == "--help" || arg == "-h";
            std::fprintf(help ? stdout : stderr,
                         "usage: corsim [--model LX2A|LX4A|...|LX8C]... [--unknown|--no-unknown] "
                         "[--brief] [--trace FILE]\n"
                         "  --model M     plug a board of model M (repeatable); default: all nine\n"
                         "  --unknown     also plug a board with an unknown subsystem ID (default\n"
                         "                without --model)\n"
                         "  --brief       only AddDevice: device tree, event log, debug output\n"
                         "  --trace FILE  write every request the driver saw to FILE\n");
            if (help) {
                std::exit(0);
            }
            return false;
        }
    }
    if (options->Models.empty()) {
        for (int i = 0; i < HmModelCount; ++i) {
            options->Models.push_back(static_cast<HmModel>(i));
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        return 2;
    }
    HmReset();
    std::vector<std::string> violations;
    HkSetViolationHandler([&](const HkViolation& v) { violations.push_back(v.What); });
    PDRIVER_OBJECT driver = HkLoadDriver(DriverEntry, L"corcard");
    if (!driver) {
        std::fprintf(stderr, "corsim: DriverEntry failed\n");
        return 1;
    }
    Say("corsim: the corcard driver on a simulated PCI machine, and corserial on its ports\n");
    std::vector<Adapter> adapters = PlugAll(options, driver);
    bool storyIntact = true;
    PrintTree(adapters, driver);
    if (!options.Brief) {
        for (const Adapter& a : adapters) {
            if (NT_SUCCESS(a.AddStatus)) {
                HmStartAdapter(a.Pdo);
            }
        }
        PrintStarted(adapters, driver);
        Traffic(adapters, driver, "Traffic through every port");
        SleepAndWake(adapters, driver);
        Traffic(adapters, driver, "Traffic after waking");
        FaultyAssignments(driver);
        RemoveAll(adapters, driver);
        storyIntact = ComPortStory(options.Models, driver);
    }
    // Every corcard device is gone once the adapters are removed; the unknown board never had one.
    bool unloaded = HmUnloadIfUnused(driver);
    HmUnplugAll();
    PrintLogs();
    if (!unloaded) {
        HkUnloadDriver(driver);
    }
    bool clean = HkCheckClean();
    Heading("Platform checks");
    Say("corcard %s; kernel stand-in %s\n",
        unloaded ? "unloaded by the plug-and-play manager after its last device was removed"
                 : "unloaded at the end, after the machine removed its adapters",
        clean ? "clean (no leaks, no objects left)" : "NOT clean");
    for (const std::string& v : violations) {
        Say("violation: %s\n", v.c_str());
    }
    if (!options.TraceFile.empty()) {
        std::ofstream trace(options.TraceFile);
        for (const std::string& line : HmTrace()) {
            trace << line << "\n";
        }
        Say("trace of %zu requests written to %s\n", HmTrace().size(), options.TraceFile.c_str());
    }
    HkSetViolationHandler(nullptr);
    HmReset();
    return violations.empty() && clean && storyIntact ? 0 : 1;
}
