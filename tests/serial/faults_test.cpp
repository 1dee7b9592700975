// Failure injection over corserial's paths, as Driver Verifier's low-resources simulation does it:
// for every path the platform and a program drive (add-device and start, a restart, a rebalance,
// open, every control code, reads and writes, close, sleep and wake, removal and surprise
// removal) and every kind of call the kernel stand-in can fail, the 1st, 2nd, 3rd ... call of that
// kind is failed in turn until a run no longer reaches the armed call; each point runs twice, with
// that one call failing and with every later call of its kind failing too (a lasting shortage).
// Each run starts from a fresh machine (an LX2A, port 0 on a loopback plug), and in each
//  - the caller gets the clean run's status, or, where the request may fail, a resource failure;
//  - the event log holds the clean run's entries, and the sentence of the failed call where the
//    driver writes one (a failed start always says why);
//  - a port's COM link, SERIALCOMM value and enabled interface stand from a start that succeeded
//    to its removal (a stop keeps them), never after a failed start; the adapter's port
//    interface holds one reference per running port;
//  - once the fault is gone the port works again: a retried start succeeds, a retried open
//    works, and a byte goes round the loopback plug;
//  - nothing is left behind once the machine is gone (pool, IRPs, device objects, handles, key
//    handles), and the verifier says nothing on the way.
#include "serial_rig.h"

#include "corcard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr HmModel Model = HmModel::LX2A;

struct FaultKind {
    HkFault Kind;
    const char* Name;
    // What a request that fails for this call answers: a resource failure, or for a device
    // stack that cannot be joined, the device that is not there.
    NTSTATUS Failure;
    // What the driver writes when a call of this kind fails and the request fails with it.
    std::vector<std::string> Sentences;
};
constexpr NTSTATUS NoResources = STATUS_INSUFFICIENT_RESOURCES;
const FaultKind Kinds[] = {
    {HkFault::Pool, "pool", NoResources, {}},
    {HkFault::CreateDevice, "create device", NoResources, {}},
    {HkFault::AllocateIrp, "IRP", NoResources, {}},
    {HkFault::BuildSynchronousFsdRequest,
     "synchronous request",
     NoResources,
     {"The port's bus interface could not be queried."}},
    {HkFault::AllocateErrorLogEntry, "error-log entry", NoResources, {}},
    {HkFault::RequestPowerIrp, "power request", NoResources, {}},
    // Only the adapter connects an interrupt (at its start, in a rebalance).
    {HkFault::ConnectInterrupt,
     "interrupt connection",
     NoResources,
     {"Unable to connect to interrupt line."}},
    {HkFault::AttachDevice, "attach", STATUS_NO_SUCH_DEVICE, {}},
    {HkFault::Registry,
     "registry",
     NoResources,
     {"The port's device key could not be opened.", "The port's device key could not be read.",
      "The port could not be entered in the system's list of serial ports."}},
    {HkFault::SymbolicLink,
     "symbolic link",
     NoResources,
     {"The port's COM name could not be created."}},
    {HkFault::DeviceInterface,
     "device interface",
     NoResources,
     {"The port's COM port interface could not be enabled."}},
};
constexpr size_t KindCount = sizeof(Kinds) / sizeof(Kinds[0]);

// Where a scenario begins; reached without any fault armed.
enum class From {
    Enumerated, // the board started, its port devices there, no port driver on them yet
    Started,    // every port started under corserial
    Open,       // Started, and port 0 opened at 115200 baud
    Asleep,     // Open, and the system in S3
};

struct Rig {
    PDRIVER_OBJECT Corcard = nullptr;
    PDRIVER_OBJECT Corserial = nullptr;
    PDEVICE_OBJECT Board = nullptr;
    PDEVICE_OBJECT Port = nullptr; // port 0's device
    ComPort Com;                   // port 0's handle
};

// Whether the request may fail when a call fails.
enum class May {
    Not,  // it must not: the clean run's status
    Fail, // a start, an open, a control code that allocates: with the failure of the call
    // It restarts the adapter too: corcard answers a start that failed on a call of its own with
    // STATUS_UNSUCCESSFUL as well (its own sweep holds it to that).
    FailInAdapter,
};

struct Scenario {
    std::string Name;
    From Start;
    std::function<NTSTATUS(Rig&)> Act;
    May Failing;
};

const std::u16string SerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::u16string PortName(PDEVICE_OBJECT port)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(HmDeviceKey(port), u"PortName", &type, &data)) {
        return {};
    }
    std::u16string name(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    return name.substr(0, name.find(u'\0'));
}

// corserial runs the port: its device on the port device, and the stack started.
bool Serving(const Rig& r, PDEVICE_OBJECT port)
{
    return port->AttachedDevice != nullptr && port->AttachedDevice->DriverObject == r.Corserial &&
           HmNode(port).State == HmNodeState::Started;
}

// The port's names stand from its first start to its removal: a stop (a rebalance) keeps them,
// and the handle's requests wait for the next start.
bool Named(const Rig& r, PDEVICE_OBJECT port)
{
    const HmNodeState state = HmNode(port).State;
    return port->AttachedDevice != nullptr && port->AttachedDevice->DriverObject == r.Corserial &&
           (state == HmNodeState::Started || state == HmNodeState::StopPending ||
            state == HmNodeState::Stopped);
}

std::vector<std::string> Sentences()
{
    std::vector<std::string> sentences;
    for (const HkErrorLogEntry& entry : HkErrorLog()) {
        sentences.push_back(HmNarrow(entry.Text));
    }
    return sentences;
}

void OpenPlain(ComPort& com, const std::u16string& name)
{
    ASSERT_EQ(com.Open(name), STATUS_SUCCESS);
    ComDcb dcb;
    dcb.BaudRate = 115200;
    ASSERT_TRUE(com.SetCommState(dcb));
    ASSERT_TRUE(com.SetCommTimeouts(Timeouts(0, 0, 10000)));
}

void Prepare(Rig& r, From from, HmPnpOptions options)
{
    options.StartPorts = from != From::Enumerated;
    HmSetPnpOptions(options);
    r.Board = HmPlugAdapter(Model);
    HmPlugLoopback(r.Board, 0);
    ASSERT_EQ(HmAddDevice(r.Corcard, r.Board), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(r.Board), STATUS_SUCCESS);
    r.Port = HmPortDevices(r.Board).at(0);
    if (from == From::Enumerated) {
        return;
    }
    ASSERT_TRUE(Serving(r, r.Port));
    if (from == From::Started) {
        return;
    }
    OpenPlain(r.Com, PortName(r.Port));
    if (from == From::Asleep) {
        ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    }
}

// Each port's names stand while it is named, and the adapter's interface is held once per running
// port.
void CheckNames(const Rig& r)
{
    if (!HmNode(r.Board).Known) {
        EXPECT_TRUE(HkSymbolicLinks().empty());
        EXPECT_TRUE(HkRegValueNames(SerialComm).empty());
        return;
    }
    LONG running = 0;
    for (PDEVICE_OBJECT port : HmPortDevices(r.Board)) {
        running += Serving(r, port) ? 1 : 0;
        const bool live = Named(r, port);
        const std::u16string name = PortName(port);
        SCOPED_TRACE(HmNarrow(name) + " " + HmNodeStateName(HmNode(port).State));
        EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\" + name).empty(), !live) << "COM link";
        size_t listed = 0;
        for (const std::u16string& value : HkRegValueNames(SerialComm)) {
            ULONG type = 0;
            std::vector<UCHAR> data;
            if (HkRegQueryValue(SerialComm, value, &type, &data) &&
                data.size() == (name.size() + 1) * 2 &&
                std::memcmp(data.data(), name.c_str(), data.size()) == 0) {
                ++listed;
            }
        }
        EXPECT_EQ(listed, live ? 1u : 0u) << "SERIALCOMM values";
        bool enabled = false;
        for (const HkDeviceInterface& entry : HkDeviceInterfaces()) {
            enabled = enabled || (entry.Pdo == port && entry.Enabled);
        }
        EXPECT_EQ(enabled, live) << "COM port interface";
    }
    if (r.Board->AttachedDevice != nullptr && HmNode(r.Board).State == HmNodeState::Started) {
        EXPECT_EQ(AdapterOf(r.Board->AttachedDevice)->InterfaceRefCount, running)
            << "one interface reference per running port";
    }
}

// With the fault gone the port comes back: the system wakes, a pulled or removed board is
// plugged and started again, a port that is not running is restarted, a new handle opens, and
// bytes go round the loopback plug.
void CheckUsable(Rig& r)
{
    r.Com.Close();
    HmWaitPnpIdle();
    if (HmSystemPowerState() != PowerSystemWorking) {
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    }
    if (HmNode(r.Board).Known && r.Board->AttachedDevice != nullptr &&
        HmBusDevicePower(r.Board) != PowerDeviceD0) {
        // An adapter whose own wake request could not be issued stays in D3 until the next wake
        // asks for D0 again (corcard's sweep holds it to that).
        ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_EQ(HmBusDevicePower(r.Board), PowerDeviceD0);
    }
    if (!HmNode(r.Board).Known) {
        r.Board = HmPlugAdapter(Model);
        HmPlugLoopback(r.Board, 0);
    }
    if (r.Board->AttachedDevice == nullptr) {
        ASSERT_EQ(HmAddDevice(r.Corcard, r.Board), STATUS_SUCCESS);
    }
    if (HmNode(r.Board).State != HmNodeState::Started) {
        ASSERT_EQ(HmStartAdapter(r.Board), STATUS_SUCCESS);
    }
    r.Port = HmPortDevices(r.Board).at(0);
    if (!Serving(r, r.Port)) {
        ASSERT_EQ(HmRestartPort(r.Port), STATUS_SUCCESS) << "a retried start";
    }
    ASSERT_TRUE(Serving(r, r.Port));
    OpenPlain(r.Com, PortName(r.Port));
    const std::vector<UCHAR> sent = Pattern(24, 5);
    ASSERT_TRUE(r.Com.WriteFile(sent));
    std::vector<UCHAR> got;
    ASSERT_TRUE(r.Com.ReadFile(static_cast<ULONG>(sent.size()), &got));
    EXPECT_EQ(got, sent) << "the loopback plug returns what was written";
    r.Com.Close();
}

bool IsPrefix(const std::vector<std::string>& part, const std::vector<std::string>& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

bool Contains(const std::vector<std::string>& all, const std::string& one)
{
    return std::find(all.begin(), all.end(), one) != all.end();
}

struct Outcome {
    NTSTATUS Status = STATUS_SUCCESS;
    bool AdapterUp = false; // the failure, if any, was the port's own
    std::vector<std::string> Log;
    unsigned Calls[KindCount] = {};
};

class SerialFaultSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkSetViolationHandler([](const HkViolation& violation) {
            ADD_FAILURE() << "kernel verifier: " << violation.What;
        });
    }
    void TearDown() override
    {
        HkSetViolationHandler(nullptr);
        HmReset();
    }

    // One run on a fresh machine with the nth call of Kinds[kind] failing (sustained: and every
    // later one); no fault when kind is KindCount.
    Outcome Run(const Scenario& s, size_t kind, unsigned n, bool sustained = false)
    {
        Outcome out;
        HmReset();
        Rig r;
        r.Corcard = HkLoadDriver(DriverEntry, L"corcard");
        r.Corserial = HkLoadDriver(CorSerialDriverEntry, L"corserial");
        EXPECT_NE(r.Corcard, nullptr);
        EXPECT_NE(r.Corserial, nullptr);
        HmPnpOptions options;
        options.PortDriver = r.Corserial;
        if (HmForcedPending()) {
            HkForcePendingBelow(r.Corserial);
        }
        const int failuresBefore = Failures();
        Prepare(r, s.Start, options);
        if (Failures() == failuresBefore) {
            HkClearErrorLog();
            for (const FaultKind& k : Kinds) {
                HkFailNth(k.Kind, 0); // counting from here
            }
            if (kind < KindCount) {
                HkFailNth(Kinds[kind].Kind, n, sustained);
            }
            out.Status = s.Act(r);
            HmWaitPnpIdle();
            HkWaitPowerRequests();
            for (size_t k = 0; k < KindCount; ++k) {
                out.Calls[k] = HkCallCount(Kinds[k].Kind);
            }
            HkClearFaults();
            out.Log = Sentences();
            out.AdapterUp = HmNode(r.Board).Known && HmNode(r.Board).State == HmNodeState::Started;
            CheckNames(r);
            if (kind < KindCount && out.Calls[kind] >= n) {
                CheckUsable(r);
                CheckNames(r);
            }
        }
        r.Com.Close();
        HmUnplugAll();
        HkUnloadDriver(r.Corserial);
        HkUnloadDriver(r.Corcard);
        EXPECT_TRUE(HkCheckClean()) << "something is left behind";
        return out;
    }

    // Every injection point of every kind along one scenario; returns the points exercised.
    unsigned Sweep(const Scenario& s)
    {
        SCOPED_TRACE(s.Name);
        const int failuresBefore = Failures();
        const Outcome clean = Run(s, KindCount, 0);
        EXPECT_TRUE(NT_SUCCESS(clean.Status))
            << "the clean run fails: " << HmStatusName(clean.Status);
        unsigned points = 0;
        for (size_t kind = 0; kind < KindCount && Failures() == failuresBefore; ++kind) {
            for (unsigned n = 1; clean.Calls[kind] > 0; ++n) {
                SCOPED_TRACE(std::string(Kinds[kind].Name) + " call " + std::to_string(n) +
                             " fails");
                const Outcome o = Run(s, kind, n);
                if (o.Calls[kind] < n) {
                    // Not reached: a clean run again.
                    EXPECT_EQ(o.Status, clean.Status);
                    EXPECT_EQ(o.Log, clean.Log);
                    break;
                }
                ++points;
                CheckAnswer(s, kind, n, clean, o, false);
                // A lasting shortage is a matter of the driver's own calls, not of how its
                // requests complete: the forced-pending run leaves it out.
                if (!HmForcedPending()) {
                    SCOPED_TRACE("and every later call of that kind");
                    CheckAnswer(s, kind, n, clean, Run(s, kind, n, true), true);
                }
                if (Failures() != failuresBefore) {
                    break; // one broken point of a scenario is enough to read
                }
            }
        }
        return points;
    }

    static int Failures()
    {
        return ::testing::UnitTest::GetInstance()
            ->current_test_info()
            ->result()
            ->total_part_count();
    }

    static void CheckAnswer(const Scenario& s, size_t kind, unsigned n, const Outcome& clean,
                            const Outcome& o, bool sustained)
    {
        const FaultKind& k = Kinds[kind];
        if (k.Kind == HkFault::AllocateErrorLogEntry) {
            // A report that cannot be had is left out, and nothing else changes.
            EXPECT_EQ(o.Status, clean.Status);
            std::vector<std::string> expected = clean.Log;
            if (n <= expected.size()) {
                expected.erase(expected.begin() + (n - 1),
                               sustained ? expected.end() : expected.begin() + n);
            }
            EXPECT_EQ(o.Log, expected);
            return;
        }
        if (o.Status != clean.Status) {
            EXPECT_NE(s.Failing, May::Not)
                << HmStatusName(o.Status) << " instead of " << HmStatusName(clean.Status);
            EXPECT_TRUE(o.Status == k.Failure ||
                        (s.Failing == May::FailInAdapter && o.Status == STATUS_UNSUCCESSFUL))
                << "not the failure of the call: " << HmStatusName(o.Status);
        }
        std::vector<std::string> rest;
        bool said = false;
        for (const std::string& sentence : o.Log) {
            if (Contains(k.Sentences, sentence) && !Contains(clean.Log, sentence)) {
                said = true;
            } else {
                rest.push_back(sentence);
            }
        }
        if (o.Status != clean.Status && o.AdapterUp && !k.Sentences.empty()) {
            EXPECT_TRUE(said) << "the failure is not in the event log: "
                              << ::testing::PrintToString(o.Log);
        }
        if (o.Status == clean.Status && !sustained) {
            EXPECT_EQ(rest, clean.Log);
        } else {
            EXPECT_TRUE(IsPrefix(rest, clean.Log)) << ::testing::PrintToString(o.Log);
        }
    }

    void SweepAll(const char* group, const std::vector<Scenario>& scenarios)
    {
        unsigned points = 0;
        for (const Scenario& s : scenarios) {
            unsigned p = Sweep(s);
            printf("  %-46s %3u injection points\n", s.Name.c_str(), p);
            points += p;
        }
        printf("corserial fault sweep (%s): %u injection points over %zu scenarios x %zu fault "
               "kinds%s\n",
               group, points, scenarios.size(), KindCount,
               HmForcedPending() ? ", forced pending" : "");
    }
};

template <typename T> std::vector<UCHAR> AsBytes(const T& value)
{
    std::vector<UCHAR> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// One control code as a program sends it: a valid input, and the output it asks for.
struct Control {
    const char* Name;
    ULONG Code;
    std::vector<UCHAR> Input;
    ULONG OutputLength;
};

std::vector<Control> ControlCodes()
{
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_CHARS chars{};
    chars.XonChar = 0x11;
    chars.XoffChar = 0x13;
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 1024, 512};
    return {
        {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(SERIAL_BAUD_RATE{57600}), 0},
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(SERIAL_BAUD_RATE)},
        {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line), 0},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, {}, sizeof(SERIAL_LINE_CONTROL)},
        {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, AsBytes(chars), 0},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, {}, sizeof(SERIAL_CHARS)},
        {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(flow), 0},
        {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)},
        {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(Timeouts(0, 0, 100)), 0},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)},
        {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_RXCHAR}), 0},
        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, {}, sizeof(ULONG)},
        {"PURGE", IOCTL_SERIAL_PURGE, AsBytes(ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR}),
         0},
        {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(SERIAL_QUEUE_SIZE{65536, 4096}), 0},
        {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG)},
        {"SET_DTR", IOCTL_SERIAL_SET_DTR, {}, 0},
        {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, {}, 0},
        {"SET_RTS", IOCTL_SERIAL_SET_RTS, {}, 0},
        {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, {}, 0},
        {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, {}, sizeof(ULONG)},
        {"SET_XOFF", IOCTL_SERIAL_SET_XOFF, {}, 0},
        {"SET_XON", IOCTL_SERIAL_SET_XON, {}, 0},
        {"SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        {"SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP)},
        {"GET_STATS", IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS)},
        {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS, {}, 0},
        {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE, {}, 0},
        {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, {}, sizeof(ULONG)},
        {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0},
    };
}

// A request that must end: its status, once it has.
NTSTATUS Ended(const HkRequestPtr& request)
{
    EXPECT_TRUE(request->Wait()) << "the request never ends";
    return request->Status();
}

} // namespace

TEST_F(SerialFaultSweep, StartRestartAndRebalance)
{
    const std::vector<Scenario> scenarios = {
        {"add-device and first start", From::Enumerated, [](Rig& r) { return HmStartPort(r.Port); },
         May::Fail},
        {"first start with an invalid device key value", From::Enumerated,
         [](Rig& r) {
             HkRegSetDword(HmDeviceKey(r.Port), u"RxFIFO", 2); // not a trigger level: a warning
             return HmStartPort(r.Port);
         },
         May::Fail},
        {"restart after a property change", From::Started,
         [](Rig& r) { return HmRestartPort(r.Port); }, May::Fail},
        {"rebalance under an open handle", From::Open,
         [](Rig& r) {
             HkRequestPtr read = r.Com.ReadOverlapped(4);
             NTSTATUS status = HmRebalance(
                 r.Board, HmMakeAssignment(0xC000, HmBar0Size(2), 0xC800, HmBar1Size, 21, 0x71, 5));
             if (NT_SUCCESS(status) && Serving(r, r.Port)) {
                 EXPECT_TRUE(r.Com.WriteFile(Bytes("back")));
                 EXPECT_EQ(Ended(read), STATUS_SUCCESS);
                 EXPECT_EQ(read->Output(), Bytes("back"));
             } else {
                 r.Com.Close();
                 EXPECT_NE(Ended(read), STATUS_SUCCESS);
             }
             return status;
         },
         May::FailInAdapter},
    };
    SweepAll("start, restart, rebalance", scenarios);
}

TEST_F(SerialFaultSweep, HandlesAndEveryControlCode)
{
    std::vector<Scenario> scenarios = {
        {"open", From::Started, [](Rig& r) { return r.Com.Open(PortName(r.Port)); }, May::Fail},
        {"close", From::Open,
         [](Rig& r) {
             r.Com.Close();
             return STATUS_SUCCESS;
         },
         May::Not},
    };
    for (const Control& c : ControlCodes()) {
        scenarios.push_back(
            {c.Name, From::Open,
             [c](Rig& r) { return Ended(r.Com.DeviceIoControl(c.Code, c.Input, c.OutputLength)); },
             c.Code == IOCTL_SERIAL_SET_QUEUE_SIZE ? May::Fail : May::Not});
    }
    scenarios.push_back({"WAIT_ON_MASK", From::Open,
                         [](Rig& r) {
                             EXPECT_TRUE(r.Com.SetCommMask(SERIAL_EV_RXCHAR));
                             HkRequestPtr wait = r.Com.WaitCommEventOverlapped();
                             EXPECT_TRUE(r.Com.WriteFile(Bytes("e")));
                             return Ended(wait);
                         },
                         May::Not});
    SweepAll("handles, control codes", scenarios);
}

TEST_F(SerialFaultSweep, ReadsAndWrites)
{
    const std::vector<Scenario> scenarios = {
        {"write and read back", From::Open,
         [](Rig& r) {
             HkRequestPtr read = r.Com.ReadOverlapped(300);
             HkRequestPtr write = r.Com.WriteOverlapped(Pattern(300));
             EXPECT_EQ(Ended(write), STATUS_SUCCESS);
             EXPECT_EQ(Ended(read), STATUS_SUCCESS);
             EXPECT_EQ(read->Output(), Pattern(300));
             return read->Status();
         },
         May::Not},
        {"read after a larger queue", From::Open,
         [](Rig& r) {
             if (!r.Com.SetupComm(16384, 4096)) {
                 return r.Com.LastStatus();
             }
             EXPECT_TRUE(r.Com.WriteFile(Pattern(100)));
             std::vector<UCHAR> got;
             EXPECT_TRUE(r.Com.ReadFile(100, &got));
             EXPECT_EQ(got, Pattern(100));
             return r.Com.LastStatus();
         },
         May::Fail},
        {"read ended by its total time-out", From::Open,
         [](Rig& r) {
             EXPECT_TRUE(r.Com.SetCommTimeouts(Timeouts(0, 0, 5)));
             HkRequestPtr read = r.Com.ReadOverlapped(10);
             EXPECT_EQ(Ended(read), STATUS_TIMEOUT);
             return STATUS_SUCCESS;
         },
         May::Not},
        {"cancelled read and write", From::Open,
         [](Rig& r) {
             HkRequestPtr read = r.Com.ReadOverlapped(10);
             EXPECT_TRUE(r.Com.EscapeCommFunction(SetXoff));
             HkRequestPtr write = r.Com.WriteOverlapped(Bytes("held"));
             r.Com.CancelIo();
             EXPECT_EQ(Ended(read), STATUS_CANCELLED);
             EXPECT_EQ(Ended(write), STATUS_CANCELLED);
             return STATUS_SUCCESS;
         },
         May::Not},
        {"flush", From::Open,
         [](Rig& r) {
             EXPECT_TRUE(r.Com.WriteFile(Pattern(64)));
             return r.Com.FlushFileBuffers() ? STATUS_SUCCESS : r.Com.LastStatus();
         },
         May::Not},
    };
    SweepAll("reads, writes", scenarios);
}

TEST_F(SerialFaultSweep, PowerAndRemoval)
{
    const std::vector<Scenario> scenarios = {
        {"sleep S3 under an open handle", From::Open,
         [](Rig&) { return HmSetSystemPower(PowerSystemSleeping3); }, May::Not},
        {"wake from S3", From::Asleep, [](Rig&) { return HmSetSystemPower(PowerSystemWorking); },
         May::Not},
        {"removal", From::Started, [](Rig& r) { return HmRemoveAdapter(r.Board); }, May::Not},
        {"removal refused while open", From::Open,
         [](Rig& r) {
             EXPECT_EQ(HmRemoveAdapter(r.Board), STATUS_DEVICE_BUSY);
             return STATUS_SUCCESS;
         },
         May::Not},
        {"surprise removal under an open handle", From::Open,
         [](Rig& r) {
             HkRequestPtr read = r.Com.ReadOverlapped(10);
             HmSurpriseRemoveAdapter(r.Board);
             EXPECT_EQ(Ended(read), STATUS_DELETE_PENDING);
             r.Com.Close();
             return STATUS_SUCCESS;
         },
         May::Not},
    };
    SweepAll("power, removal", scenarios);
}
