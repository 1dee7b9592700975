// The boards and ports as SetupAPI shows them, and `cortool list`.
//
// A board is a device of the MultiPortSerial class whose hardware ID is the LX family's PCI
// identity, PCI\VEN_1E5C&DEV_0001&SUBSYS_7<variant><ports>10001: the model is "LX" <ports>
// <variant>. A port of ours is a device of the Ports class that corcard reported: device ID
// Corcard\CorPort, hardware ID CorPort<n>, where n is the connector on the board (from 1; the
// instance ID's _Port<k> counts the port devices created, which differ from the connectors once
// a port could not be created). Its board is its parent device; should the configuration manager
// not tell, the instance ID names it: <vendor>&<device>_<subsystem><subvendor>_<board's instance>.
//
// A device's state is the configuration manager's (started, or its problem code). Where that
// does not know (it answers no status bits at all), list judges by the ports: one that answers an
// open, free or in use, has started, and so has its board; the JSON marks such a state inferred.
#include "cortool.h"

#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <cwctype>

namespace {

// {50906CB8-BA12-11D1-BF5D-0000F805F530}: multiport serial adapters.
const GUID MultiPortSerialClass = {
    0x50906CB8, 0xBA12, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

const wchar_t BoardIdPrefix[] = L"PCI\\VEN_1E5C&DEV_0001&SUBSYS_";
const wchar_t PortDeviceId[] = L"CORCARD\\CORPORT\\";
const wchar_t PortHardwareId[] = L"CORPORT";

std::wstring UpperW(std::wstring s)
{
    for (auto& c : s)
        c = wchar_t(std::towupper(c));
    return s;
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix)
{
    return UpperW(s).compare(0, wcslen(prefix), prefix) == 0;
}

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property)
{
    wchar_t text[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text),
                                           sizeof(text) - 2 * sizeof(wchar_t), nullptr))
        return std::wstring();
    return text;
}

// A multi-string property as its strings.
std::vector<std::wstring> Properties(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property)
{
    wchar_t text[1024] = {};
    std::vector<std::wstring> items;
    if (!SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text),
                                           sizeof(text) - 2 * sizeof(wchar_t), nullptr))
        return items;
    for (const wchar_t* s = text; *s != 0; s += wcslen(s) + 1)
        items.emplace_back(s);
    return items;
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, device, id, MAX_DEVICE_ID_LEN, nullptr))
        return std::wstring();
    return id;
}

// "PortName" in the device key, where the Ports class installer and the pages keep it.
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return std::string();
    wchar_t name[64] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t), type = 0;
    const LONG result =
        RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS && type == REG_SZ ? Upper(Utf8(name)) : std::string();
}

void State(DEVINST node, bool* known, bool* started, ULONG* problem)
{
    ULONG status = 0, code = 0;
    // A present device always has some status bits (its enumerator's and its driver's, at
    // least); none means the configuration manager does not really know (Wine's does not), and
    // the caller judges by how the device answers.
    *known = CM_Get_DevNode_Status(&status, &code, node, 0) == CR_SUCCESS && status != 0;
    *started = *known && (status & DN_STARTED) != 0 && (status & DN_HAS_PROBLEM) == 0;
    *problem = *known && (status & DN_HAS_PROBLEM) != 0 ? code : 0;
}

// The model from SUBSYS_7<variant><ports>10001; false for a subsystem of another shape.
bool ModelOf(const std::wstring& id, std::string* model, int* ports)
{
    const std::wstring upper = UpperW(id);
    const size_t at = upper.find(L"SUBSYS_");
    if (at == std::wstring::npos || upper.size() < at + 15)
        return false;
    const std::wstring subsys = upper.substr(at + 7, 8);
    const wchar_t variant = subsys[1], count = subsys[2];
    if (subsys[0] != L'7' || subsys[3] != L'1' || subsys.compare(4, 4, L"0001") != 0 ||
        (variant != L'A' && variant != L'B' && variant != L'C') ||
        (count != L'2' && count != L'4' && count != L'8'))
        return false;
    *ports = count - L'0';
    *model = Format("LX%c%c", char(count), char(variant));
    return true;
}

// The connector n of a hardware ID CorPort<n>, 0 for none.
int ConnectorOf(const std::vector<std::wstring>& hardwareIds)
{
    for (const auto& id : hardwareIds) {
        const std::wstring upper = UpperW(id);
        const size_t stem = wcslen(PortHardwareId);
        if (upper.size() == stem + 1 && upper.compare(0, stem, PortHardwareId) == 0 &&
            upper[stem] >= L'1' && upper[stem] <= L'8')
            return upper[stem] - L'0';
    }
    return 0;
}

// The board of a port of ours: its parent device, or else the board its instance ID names.
int BoardOf(const std::vector<Board>& boards, const Port& port)
{
    DEVINST parent = 0;
    wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Parent(&parent, port.Node, 0) == CR_SUCCESS &&
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) {
        for (size_t b = 0; b < boards.size(); ++b)
            if (UpperW(boards[b].InstanceId) == UpperW(id))
                return int(b);
    }
    // <vendor>&<device>_<subsystem><subvendor>_<board's instance>_Port<k>
    const std::wstring tail = UpperW(port.InstanceId).substr(wcslen(PortDeviceId));
    const size_t first = tail.find(L'_'), last = tail.rfind(L"_PORT");
    if (first == std::wstring::npos || last == std::wstring::npos || last < first + 10)
        return -1;
    const std::wstring subsys = L"SUBSYS_" + tail.substr(first + 1, 8);
    const std::wstring instance = L"\\" + tail.substr(first + 10, last - first - 10);
    for (size_t b = 0; b < boards.size(); ++b) {
        const std::wstring board = UpperW(boards[b].InstanceId);
        if (board.find(subsys) != std::wstring::npos && board.size() >= instance.size() &&
            board.compare(board.size() - instance.size(), instance.size(), instance) == 0)
            return int(b);
    }
    return -1;
}

std::string StateText(bool known, bool started, ULONG problem)
{
    if (!known)
        return "unknown";
    if (started)
        return "started";
    return problem != 0 ? Format("problem %lu", problem) : "stopped";
}

} // namespace

Devices FindDevices()
{
    Devices devices;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);

    HDEVINFO set = SetupDiGetClassDevsW(&MultiPortSerialClass, nullptr, nullptr, DIGCF_PRESENT);
    for (DWORD i = 0; set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        Board board;
        board.InstanceId = InstanceId(set, &device);
        board.Node = device.DevInst;
        bool known = false;
        for (const auto& id : Properties(set, &device, SPDRP_HARDWAREID)) {
            if (StartsWith(id, BoardIdPrefix) && ModelOf(id, &board.Model, &board.PortCount)) {
                known = true;
                break;
            }
        }
        if (!known && !(StartsWith(board.InstanceId, BoardIdPrefix) &&
                        ModelOf(board.InstanceId, &board.Model, &board.PortCount)))
            continue; // another maker's adapter
        board.Description = Property(set, &device, SPDRP_DEVICEDESC);
        State(board.Node, &board.StateKnown, &board.Started, &board.Problem);
        devices.Boards.push_back(board);
    }
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);

    set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    for (DWORD i = 0; set != INVALID_HANDLE_VALUE && SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        Port port;
        port.InstanceId = InstanceId(set, &device);
        port.Node = device.DevInst;
        port.ComName = PortName(set, &device);
        port.FriendlyName = Property(set, &device, SPDRP_FRIENDLYNAME);
        port.Description = Property(set, &device, SPDRP_DEVICEDESC);
        port.Connector = ConnectorOf(Properties(set, &device, SPDRP_HARDWAREID));
        port.Ours = port.Connector != 0 && StartsWith(port.InstanceId, PortDeviceId);
        State(port.Node, &port.StateKnown, &port.Started, &port.Problem);
        if (port.Ours)
            port.BoardIndex = BoardOf(devices.Boards, port);
        devices.Ports.push_back(port);
    }
    if (set != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(set);
    return devices;
}

std::wstring DevicePath(const std::string& comName)
{
    return L"\\\\.\\" + WideOf(comName);
}

Access Probe(const std::string& comName, DWORD* error)
{
    HANDLE port = CreateFileW(DevicePath(comName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (error != nullptr)
            *error = e;
        return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION ? Access::InUse
                                                                        : Access::Unavailable;
    }
    // Windows refuses a second open of a port; Wine hands out a handle all the same, whose
    // requests the port refuses in the same words.
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    const bool answers = GetCommState(port, &dcb);
    const DWORD e = answers ? 0 : GetLastError();
    CloseHandle(port);
    if (error != nullptr)
        *error = e;
    if (answers)
        return Access::Free;
    return e == ERROR_ACCESS_DENIED ? Access::InUse : Access::Unavailable;
}

const char* AccessName(Access access)
{
    switch (access) {
    case Access::Free:
        return "free";
    case Access::InUse:
        return "in_use";
    default:
        return "unavailable";
    }
}

Resolved ResolvePort(const Devices& devices, const std::string& comName)
{
    Resolved r;
    for (const auto& port : devices.Ports) {
        if (port.ComName != comName)
            continue;
        if (!port.Ours) {
            r.ErrorWord = "not_ours";
            r.Problem = Format("%s is not a port of a TORVA Corran adapter: it is \"%s\" (%s).",
                               comName.c_str(), Utf8(port.Description).c_str(),
                               Utf8(port.InstanceId).c_str());
            return r;
        }
        r.Found = &port;
        r.OnBoard = port.BoardIndex >= 0 ? &devices.Boards[size_t(port.BoardIndex)] : nullptr;
        if (port.StateKnown && !port.Started) {
            r.ErrorWord = "not_started";
            r.Problem = Format("%s has not started (%s): Device Manager tells why.",
                               Describe(r).c_str(), StateText(true, false, port.Problem).c_str());
            r.Found = nullptr;
        }
        return r;
    }
    wchar_t target[512] = {};
    if (QueryDosDeviceW(WideOf(comName).c_str(), target, 512) != 0) {
        r.ErrorWord = "not_ours";
        r.Problem = Format("%s is not a port of a TORVA Corran adapter (its device is %s).",
                           comName.c_str(), Utf8(target).c_str());
    } else {
        r.ErrorWord = "missing";
        r.Problem = Format("There is no %s on this computer; cortool list shows the adapters' "
                           "ports.",
                           comName.c_str());
    }
    return r;
}

std::string Describe(const Resolved& port)
{
    if (port.Found == nullptr)
        return "?";
    if (port.OnBoard == nullptr)
        return Format("%s (connector %d)", port.Found->ComName.c_str(), port.Found->Connector);
    return Format("%s (connector %d of the %s)", port.Found->ComName.c_str(), port.Found->Connector,
                  port.OnBoard->Model.c_str());
}

// ---- cortool list ---------------------------------------------------------------------------

int ListCommand(const Options& options)
{
    Devices devices = FindDevices();
    struct Row {
        Port* P;
        Access A;
    };
    std::vector<Row> rows;
    for (auto& port : devices.Ports)
        if (port.Ours)
            rows.push_back(
                {&port, port.ComName.empty() ? Access::Unavailable : Probe(port.ComName)});
    // Where the configuration manager does not tell the state, the ports do: one that answers
    // (free or in use) has started, and so has its board.
    std::vector<bool> inferred(devices.Boards.size() + devices.Ports.size());
    for (auto& row : rows) {
        if (!row.P->StateKnown && row.A != Access::Unavailable) {
            row.P->StateKnown = row.P->Started = true;
            inferred[devices.Boards.size() + size_t(row.P - devices.Ports.data())] = true;
            if (row.P->BoardIndex >= 0 && !devices.Boards[size_t(row.P->BoardIndex)].StateKnown)
                inferred[size_t(row.P->BoardIndex)] = true;
        }
    }
    for (size_t b = 0; b < devices.Boards.size(); ++b)
        if (inferred[b])
            devices.Boards[b].StateKnown = devices.Boards[b].Started = true;

    bool ok = !devices.Boards.empty();
    for (const auto& board : devices.Boards)
        ok &= !board.StateKnown || board.Started;
    for (const auto& row : rows)
        ok &= (!row.P->StateKnown || row.P->Started) && row.A != Access::Unavailable;

    if (options.Json) {
        Json json;
        json.Object().Str("command", "list").Bool("ok", ok).Array("boards");
        for (size_t b = 0; b < devices.Boards.size(); ++b) {
            const Board& board = devices.Boards[b];
            json.Object()
                .Int("index", int64_t(b))
                .Str("model", board.Model)
                .Str("description", Utf8(board.Description))
                .Str("instance_id", Utf8(board.InstanceId))
                .Int("port_count", board.PortCount)
                .Str("state", StateText(board.StateKnown, board.Started, board.Problem))
                .Bool("state_inferred", inferred[b])
                .Int("problem", board.Problem)
                .End();
        }
        json.End().Array("ports");
        for (const auto& row : rows) {
            const Port& port = *row.P;
            json.Object().Str("com", port.ComName);
            if (port.BoardIndex >= 0)
                json.Int("board", port.BoardIndex)
                    .Str("model", devices.Boards[size_t(port.BoardIndex)].Model);
            else
                json.Null("board").Null("model");
            json.Int("connector", port.Connector)
                .Str("friendly_name", Utf8(port.FriendlyName))
                .Str("instance_id", Utf8(port.InstanceId))
                .Str("state", StateText(port.StateKnown, port.Started, port.Problem))
                .Bool("state_inferred",
                      inferred[devices.Boards.size() + size_t(row.P - devices.Ports.data())])
                .Int("problem", port.Problem)
                .Str("access", AccessName(row.A))
                .End();
        }
        json.End().End();
        Print(json.Text() + "\n");
        return ok ? ExitWell : ExitFaulty;
    }

    std::string text;
    if (devices.Boards.empty())
        text += "No TORVA Corran adapter found.\n";
    for (size_t b = 0; b <= devices.Boards.size(); ++b) {
        // The ports of board b in connector order; last, any whose board is unknown.
        const bool orphans = b == devices.Boards.size();
        std::vector<const Row*> mine;
        for (const auto& row : rows)
            if (row.P->BoardIndex == (orphans ? -1 : int(b)))
                mine.push_back(&row);
        if (orphans && mine.empty())
            break;
        if (orphans) {
            text += "Ports whose board was not found:\n";
        } else {
            const Board& board = devices.Boards[b];
            text += Format("%s  %s\n      %d ports, %s; %s\n", board.Model.c_str(),
                           Utf8(board.Description).c_str(), board.PortCount,
                           StateText(board.StateKnown, board.Started, board.Problem).c_str(),
                           Utf8(board.InstanceId).c_str());
        }
        text += "      connector  port    state       open         name\n";
        for (int connector = 1; connector <= 8; ++connector) {
            for (const Row* row : mine) {
                const Port& port = *row->P;
                if (port.Connector != connector)
                    continue;
                const char* access = row->A == Access::Free    ? "free"
                                     : row->A == Access::InUse ? "in use"
                                                               : "does not open";
                text += Format(
                    "      %-9d  %-6s  %-10s  %-12s %s\n", port.Connector,
                    port.ComName.empty() ? "-" : port.ComName.c_str(),
                    StateText(port.StateKnown, port.Started, port.Problem).c_str(), access,
                    Utf8(port.FriendlyName.empty() ? port.Description : port.FriendlyName).c_str());
            }
        }
    }
    Print(text);
    return ok ? ExitWell : ExitFaulty;
}
