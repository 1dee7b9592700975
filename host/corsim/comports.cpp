// The story's second half: corserial on every port of a board of every model, as an installed
// package has it. The ports get their COM names, programs open them the Win32 way, and a message
// crosses every port in both directions through null-modem cables between neighbouring ports.
#include "corsim/story.h"

#include "testsupport.h"

#include <memory>
#include <string>
#include <vector>

extern "C" DRIVER_INITIALIZE CorSerialDriverEntry;

namespace {

std::string Narrow(const std::u16string& text)
{
    return std::string(text.begin(), text.end());
}

std::u16string PortName(PDEVICE_OBJECT port)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(HmDeviceKey(port), u"PortName", &type, &data) || type != REG_SZ) {
        return {};
    }
    std::u16string name(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    return name.substr(0, name.find(u'\0'));
}

std::string SerialCommEntry(const std::u16string& device)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", device, &type,
                         &data)) {
        return "-";
    }
    std::u16string value(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    return Narrow(value.substr(0, value.find(u'\0')));
}

bool InterfaceEnabled(PDEVICE_OBJECT port)
{
    for (const HkDeviceInterface& i : HkDeviceInterfaces()) {
        if (i.Pdo == port && i.Enabled) {
            return true;
        }
    }
    return false;
}

struct Board {
    HmModel Model;
    PDEVICE_OBJECT Pdo;
    std::vector<PDEVICE_OBJECT> Ports;
};

void ShowNames(const std::vector<Board>& boards)
{
    Heading("COM ports: corserial.sys on every port");
    Say("one board of each model, corserial bound on its ports; the ports class installer gave\n"
        "each port the lowest COM number that no port device key holds (the ports of the boards\n"
        "above keep theirs)\n");
    Say("%-6s %-9s %-5s %-6s %-20s %-11s %s\n", "model", "device", "UART", "name", "COM link to",
        "SERIALCOMM", "COM port interface");
    for (const Board& b : boards) {
        for (size_t i = 0; i < b.Ports.size(); ++i) {
            const std::u16string name = PortName(b.Ports[i]);
            const std::u16string device = HkSymbolicLinkTarget(u"\\??\\" + name);
            Say("%-6s %-9s %-5zu %-6s %-20s %-11s %s\n", HmModelName(b.Model),
                HmDeviceName(b.Ports[i]).c_str(), i, Narrow(name).c_str(),
                device.empty() ? "(none)" : Narrow(device).c_str(), SerialCommEntry(device).c_str(),
                InterfaceEnabled(b.Ports[i]) ? "enabled" : "not enabled");
        }
    }
}

// One port's part of the transfer: its handle, what it sends and what it received.
struct End {
    std::u16string Name;
    std::unique_ptr<ComPort> Port;
    std::vector<UCHAR> Out;
    HkRequestPtr Write;
    HkRequestPtr Read;
};

bool Transfer(const std::vector<Board>& boards)
{
    Heading("A message each way through every port at once");
    Say("neighbouring ports of each board joined by null-modem cables; 115200 baud, 8N1, RTS/CTS\n"
        "handshake; every port writes its message and reads its neighbour's, overlapped\n");
    std::vector<End> ends;
    for (const Board& b : boards) {
        for (ULONG i = 0; i + 1 < b.Ports.size(); i += 2) {
            HmConnectNullModem(b.Pdo, i, b.Pdo, i + 1);
        }
        for (PDEVICE_OBJECT port : b.Ports) {
            End e;
            e.Name = PortName(port);
            e.Port = std::make_unique<ComPort>();
            ComDcb dcb;
            if (e.Port->Open(e.Name) != STATUS_SUCCESS || !e.Port->GetCommState(&dcb)) {
                Say("%s: %s\n", Narrow(e.Name).c_str(), HmStatusName(e.Port->LastStatus()).c_str());
                return false;
            }
            dcb.BaudRate = 115200;
            dcb.OutxCtsFlow = true;
            dcb.RtsControl = ComDcb::RtsHandshake;
            if (!e.Port->SetCommState(dcb)) {
                return false;
            }
            const std::string text = "Hello from " + Narrow(e.Name) + " on " +
                                     HmModelName(b.Model) + ", through corserial.sys.";
            e.Out.assign(text.begin(), text.end());
            ends.push_back(std::move(e));
        }
    }
    for (size_t k = 0; k < ends.size(); ++k) {
        const End& peer = ends[k ^ 1];
        ends[k].Read = ends[k].Port->ReadOverlapped(static_cast<ULONG>(peer.Out.size()));
    }
    for (End& e : ends) {
        e.Write = e.Port->WriteOverlapped(e.Out);
    }
    bool all = true;
    Say("%-6s %-6s %-6s %-9s %s\n", "port", "from", "sent", "received", "message");
    for (size_t k = 0; k < ends.size(); ++k) {
        End& e = ends[k];
        const End& peer = ends[k ^ 1];
        const bool done = e.Write->Wait() && e.Read->Wait();
        const bool intact =
            done && e.Read->Status() == STATUS_SUCCESS && e.Read->Output() == peer.Out;
        all = all && intact;
        Say("%-6s %-6s %-6llu %-9llu %s\n", Narrow(e.Name).c_str(), Narrow(peer.Name).c_str(),
            static_cast<unsigned long long>(e.Write->Information()),
            static_cast<unsigned long long>(e.Read->Information()), intact ? "intact" : "DAMAGED");
    }
    for (End& e : ends) {
        e.Port->Close();
    }
    return all;
}

} // namespace

bool ComPortStory(const std::vector<HmModel>& models, PDRIVER_OBJECT corcard)
{
    PDRIVER_OBJECT corserial = HkLoadDriver(CorSerialDriverEntry, L"corserial");
    if (!corserial) {
        Say("corserial: DriverEntry failed\n");
        return false;
    }
    HmPnpOptions options;
    options.PortDriver = corserial;
    HmSetPnpOptions(options);
    std::vector<Board> boards;
    for (HmModel model : models) {
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        if (HmAddDevice(corcard, pdo) != STATUS_SUCCESS || HmStartAdapter(pdo) != STATUS_SUCCESS) {
            Say("%s: the board did not start\n", HmModelName(model));
            return false;
        }
        boards.push_back(Board{model, pdo, HmPortDevices(pdo)});
    }
    ShowNames(boards);
    const bool intact = Transfer(boards);

    Heading("The COM ports go away with their boards");
    for (const Board& b : boards) {
        HmRemoveAdapter(b.Pdo);
    }
    size_t links = 0;
    for (const std::u16string& link : HkSymbolicLinks()) {
        links += link.find(u"COM") != std::u16string::npos ? 1 : 0;
    }
    const bool unloaded = HmUnloadIfUnused(corserial);
    Say("boards removed; COM links left: %zu; corserial %s\n", links,
        unloaded ? "unloaded by the plug-and-play manager after its last port was removed"
                 : "still loaded");
    if (!unloaded) {
        HkUnloadDriver(corserial);
    }
    HmSetPnpOptions(HmPnpOptions{});
    return intact && links == 0 && unloaded;
}
