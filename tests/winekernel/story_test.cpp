// The user's story across the three deliverables under Wine's kernel: an LX2A's ports installed
// by Wine's manager from the package, found by programs as they look for COM ports, then changed
// in Device Manager's pages (devprops standing in for Device Manager, TRVPAGE.DLL as installed)
// and served by corserial as changed.
#include <windows.h>
#include <commctrl.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "rig.h"

namespace {

// The COM port interface class, as ntddser.h names it.
const GUID ComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The Advanced dialog's controls (proppage/advanced/advanced_ids.h).
constexpr int RxTrackbar = 821;
constexpr int PortNumberList = 846;

std::wstring DeviceString(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property)
{
    wchar_t text[256] = {};
    SetupDiGetDeviceRegistryPropertyW(set, device, property, nullptr, (BYTE*)text,
                                      sizeof(text) - sizeof(wchar_t), nullptr);
    return text;
}

// "PortName" in the device's device key, where the class installer and the pages keep it.
std::wstring PortName(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE)
        return L"(no device key)";
    wchar_t name[32] = {};
    DWORD size = sizeof(name) - sizeof(wchar_t);
    RegQueryValueExW(key, L"PortName", nullptr, nullptr, (BYTE*)name, &size);
    RegCloseKey(key);
    return name;
}

std::string Narrow(const std::wstring& s)
{
    return std::string(s.begin(), s.end());
}

// The ports as programs find them: "friendly name|PortName", by the Ports class and by the COM
// port interface (whose path opens the port).
std::vector<std::string> PortsOfClass()
{
    std::vector<std::string> found;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        found.push_back(
            Narrow(DeviceString(set, &device, SPDRP_FRIENDLYNAME) + L"|" + PortName(set, &device)));
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> PortsOfInterface()
{
    std::vector<std::string> found;
    HDEVINFO set = SetupDiGetClassDevsW(&ComPortInterface, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof(item);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &ComPortInterface, i, &item); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            char bytes[1024];
        } path{};
        path.detail.cbSize = sizeof(path.detail);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &item, &path.detail, sizeof(path), nullptr,
                                              &device)) {
            found.push_back("(no detail)");
            continue;
        }
        const bool opens = ComPort(path.detail.DevicePath).Answers();
        found.push_back(
            Narrow(DeviceString(set, &device, SPDRP_FRIENDLYNAME) + L"|" + PortName(set, &device)) +
            (opens ? "|opens" : "|does not open"));
    }
    SetupDiDestroyDeviceInfoList(set);
    std::sort(found.begin(), found.end());
    return found;
}

uint8_t RxTrigger(uint8_t fcr)
{
    static const uint8_t levels16[4] = {1, 4, 8, 14}, levels64[4] = {1, 16, 32, 56};
    return (fcr & 0x20) ? levels64[fcr >> 6] : levels16[fcr >> 6];
}

struct Found {
    DWORD Process;
    HWND Dialog;
};

// The Advanced dialog: a window of the process with the receive trackbar among its controls.
BOOL CALLBACK FindAdvanced(HWND window, LPARAM context)
{
    auto* found = reinterpret_cast<Found*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == found->Process && GetDlgItem(window, RxTrackbar) != nullptr) {
        found->Dialog = window;
        return FALSE;
    }
    return TRUE;
}

// ---- scenarios -------------------------------------------------------------------------------

// Programs find the ports in the Ports class and through the COM port interface, with friendly
// names and port names as the class installer gives them. Then the user opens the first port's
// pages from its device key, picks a receive trigger of 8 in the Advanced dialog and renames
// COM7 to COM9; the port restarts, and corserial serves it as changed.
TEST(Story, AdvancedSettings)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
    rig.Plug(Board(0x7A21, 2));
    ASSERT_TRUE(WaitForPorts({L"COM7", L"COM8"}));

    const std::vector<std::string> ports = {"TORVA Corran Serial Port 1 (COM7)|COM7",
                                            "TORVA Corran Serial Port 2 (COM8)|COM8"};
    EXPECT_EQ(PortsOfClass(), ports);
    EXPECT_EQ(PortsOfInterface(),
              (std::vector<std::string>{ports[0] + "|opens", ports[1] + "|opens"}));

    // A name another port has (put there by hand): that port does not start, and says why; with
    // its own name back it starts again.
    const std::wstring secondKey = EnumRoot + L"Corcard\\CorPort\\1E5C&0001_7A210001_" +
                                   Wide(ParentInstance) + L"_Port1\\Device Parameters";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, secondKey.c_str(), L"PortName", REG_SZ, L"COM7",
                              5 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    EXPECT_EQ(uint32_t(rig.RestartPort(2)), 0xC0000035u) << "STATUS_OBJECT_NAME_COLLISION";
    const CORBUS_RECORD& clash = rig.Record();
    ASSERT_GE(clash.ErrorCount, 1u);
    EXPECT_EQ(clash.Errors[clash.ErrorCount - 1].Source, uint32_t(CorbusSourceCorserial));
    EXPECT_EQ(::Narrow(clash.Errors[clash.ErrorCount - 1].Text),
              "The port's COM name is already taken by another device.");
    EXPECT_EQ(PortsOfInterface(), std::vector<std::string>{ports[0] + "|opens"});
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, secondKey.c_str(), L"PortName", REG_SZ, L"COM8",
                              5 * sizeof(wchar_t)),
              ERROR_SUCCESS);
    ASSERT_EQ(rig.RestartPort(2), 0);

    // The port as an earlier session left it: receive trigger 14.
    const std::wstring deviceKey =
        EnumRoot + L"Corcard\\CorPort\\1E5C&0001_7A210001_" + Wide(ParentInstance) + L"_Port0";
    const DWORD fourteen = 14;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, (deviceKey + L"\\Device Parameters").c_str(),
                              L"RxFIFO", REG_DWORD, &fourteen, sizeof(fourteen)),
              ERROR_SUCCESS);
    ASSERT_EQ(rig.RestartPort(1), 0);
    const uint8_t before = rig.Uart(1).Fcr;
    EXPECT_EQ(RxTrigger(before), (before & 0x20) ? 56 : 14);

    // Device Manager's pages for the port, from its device key: devprops with the Advanced
    // dialog open, shown by Wine's null display driver (run-scenario.sh).
    const std::wstring closeWhen = L"C:\\devprops-done";
    std::wstring command = L"\"" + Wide(DEVPROPS_EXE) + L"\" --instance \"" +
                           deviceKey.substr(EnumRoot.size()) + L"\" --advanced --close-when " +
                           closeWhen;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION devprops{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &devprops))
        << GetLastError();
    Found found = {devprops.dwProcessId, nullptr};
    ASSERT_TRUE(Rig::WaitFor([&] {
        EnumWindows(FindAdvanced, reinterpret_cast<LPARAM>(&found));
        return found.Dialog != nullptr;
    })) << "the Advanced dialog never came up";

    // Receive trigger: the third of four positions (8); COM Port Number: COM9; OK.
    SendDlgItemMessageW(found.Dialog, RxTrackbar, TBM_SETPOS, TRUE, 3);
    SendDlgItemMessageW(found.Dialog, PortNumberList, CB_SETCURSEL, 9 - 1, 0);
    PostMessageW(found.Dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_TRUE(Rig::WaitFor([&] { return !IsWindow(found.Dialog); }));
    CloseHandle(CreateFileW(closeWhen.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_EQ(WaitForSingleObject(devprops.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(devprops.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(devprops.hProcess);
    CloseHandle(devprops.hThread);

    // What the pages wrote. Wine's class installer cannot make the property change that would
    // restart the port (DIF_PROPERTYCHANGE fails): the UART still runs the old trigger.
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, deviceKey + L"\\Device Parameters", L"PortName"),
              L"COM9");
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, deviceKey, L"FriendlyName"),
              L"TORVA Corran Serial Port 1 (COM9)");
    EXPECT_EQ(rig.Uart(1).Fcr, before);
    BYTE bits[32] = {};
    DWORD size = sizeof(bits);
    RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter",
                 L"ComDB", RRF_RT_REG_BINARY, nullptr, bits, &size);
    EXPECT_EQ(bits[0] | bits[1] << 8, 0x1BF) << "COM1 to COM6, COM8 and COM9 claimed";
    std::printf("Wine cannot restart the port after the property change: the fixture restarts "
                "it as the class installer would\n");
    ASSERT_EQ(rig.RestartPort(1), 0);
    // Under Wine the name the dialog defined for its user sits where corserial's link goes (on
    // Windows it is the user's own): the fixture took it away first (serial.c).
    const CORBUS_RECORD& r = rig.Record();
    std::vector<std::string> restarts;
    for (uint32_t i = 0; i < r.EventCount && i < CORBUS_MAX_EVENTS; ++i) {
        const CORBUS_EVENT& e = r.Events[i];
        if (e.Kind == EvRestart) {
            restarts.push_back("port " + std::to_string(e.A) + " " + Hex(e.B, 8) +
                               (e.C ? ", the user's DOS name taken away" : ""));
        }
    }
    EXPECT_EQ(restarts,
              (std::vector<std::string>{"port 2 c0000035", "port 2 00000000", "port 1 00000000",
                                        "port 1 00000000, the user's DOS name taken away"}));

    const uint8_t after = rig.Uart(1).Fcr;
    EXPECT_EQ(RxTrigger(after), (after & 0x20) ? 32 : 8);
    ComPort renamed(L"COM9"), old(L"COM7");
    // Answered before it is closed, or the close could reach corserial after the opens below.
    EXPECT_TRUE(renamed.Answers()) << renamed.Error << " " << GetLastError();
    EXPECT_FALSE(old.Open());
    EXPECT_EQ(old.Error, DWORD(ERROR_FILE_NOT_FOUND));
    std::vector<std::wstring> map = SerialDeviceMap();
    EXPECT_NE(std::find(map.begin(), map.end(), L"\\Device\\CorSerial0=COM9"), map.end());
    EXPECT_EQ(std::find(map.begin(), map.end(), L"\\Device\\CorSerial0=COM7"), map.end());
    for (const auto& entry : map)
        std::printf("device map: %s\n", Narrow(entry).c_str());
    renamed.Close();
    EXPECT_EQ(PortsOfInterface(),
              (std::vector<std::string>{"TORVA Corran Serial Port 1 (COM9)|COM9|opens",
                                        ports[1] + "|opens"}));
}

} // namespace
