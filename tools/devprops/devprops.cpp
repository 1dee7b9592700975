// devprops: stands in for Device Manager's properties dialog of one port. It opens a Ports-class
// device (or creates one and installs it from the Ports INF), finds the device's page provider as
// Device Manager does, by the EnumPropPages32 value of its software key ("DLL,export": the DLL
// loaded from the system directory, the export called), asks it for pages and shows them in a
// property sheet.
//
//   devprops [--instance ID | --create COMn] [--inf PATH] [--close-after SECONDS]
//            [--close-when FILE] [--advanced]
//
//   --instance ID   the device instance to open; without it, the first Ports-class device
//   --create COMn   create a port device (hardware ID CorPort1), install it from the Ports INF and
//                   give it the "PortName" COMn; removed again at exit
//   --inf PATH      the Ports INF for --create; ..\package\corport.inf from devprops.exe by default
//   --close-after N close the sheet by itself after N seconds
//   --close-when F  close the sheet as soon as file F exists (for screenshots)
//   --advanced      press the page's "&Advanced..." button once the sheet is up
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <stdio.h>
#include <wchar.h>

#include "port_install.h"

namespace {

using ProviderEntry = BOOL(WINAPI*)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

constexpr UINT kMaxPages = 16;

struct Pages {
    HPROPSHEETPAGE Handles[kMaxPages];
    UINT Count;
};

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM context)
{
    auto pages = reinterpret_cast<Pages*>(context);
    if (pages->Count == kMaxPages) {
        return FALSE;
    }
    pages->Handles[pages->Count++] = page;
    return TRUE;
}

int Fail(const wchar_t* what)
{
    fwprintf(stderr, L"devprops: %ls (error %lu)\n", what, GetLastError());
    return 1;
}

// A port as the adapter's driver reports it, installed from the Ports INF; the name that the
// Ports class installer would give it is set by hand (Wine has none).
bool CreatePort(HDEVINFO set, SP_DEVINFO_DATA* data, const wchar_t* portName, const wchar_t* inf)
{
    const wchar_t hardwareId[] = L"CorPort1\0";
    if (!SetupDiCreateDeviceInfoW(set, L"CORPORT", &GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                  DICD_GENERATE_ID, data) ||
        !SetupDiSetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(hardwareId),
                                           sizeof(hardwareId)) ||
        !SetupDiRegisterDeviceInfo(set, data, 0, nullptr, nullptr, nullptr)) {
        return false;
    }
    std::wstring source(inf);
    source.erase(source.find_last_of(L'\\') + 1);
    SP_DRVINFO_DATA_W driver;
    if (!InstallFromInf(set, data, inf, source, &driver)) {
        return false;
    }
    wchar_t friendly[MAX_PATH];
    swprintf(friendly, MAX_PATH, L"%ls (%ls)", driver.Description, portName);
    SetupDiSetDeviceRegistryPropertyW(set, data, SPDRP_FRIENDLYNAME,
                                      reinterpret_cast<const BYTE*>(friendly),
                                      static_cast<DWORD>((wcslen(friendly) + 1) * sizeof(wchar_t)));
    HKEY key = SetupDiCreateDevRegKeyW(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    RegSetValueExW(key, L"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(portName),
                   static_cast<DWORD>((wcslen(portName) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return true;
}

// Device Manager's way to the pages: EnumPropPages32 in the device's software key names the
// provider DLL and its export.
ProviderEntry FindProvider(HDEVINFO set, SP_DEVINFO_DATA* data, HMODULE* library)
{
    *library = nullptr;
    HKEY key = SetupDiOpenDevRegKey(set, data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = REG_NONE;
    LONG read = RegQueryValueExW(key, L"EnumPropPages32", nullptr, &type,
                                 reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    wchar_t* comma = wcschr(value, L',');
    if (read != ERROR_SUCCESS || type != REG_SZ || comma == nullptr) {
        SetLastError(ERROR_NOT_FOUND);
        return nullptr;
    }
    *comma = L'\0';
    char entry[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, comma + 1, -1, entry, MAX_PATH, nullptr, nullptr);
    // A bare DLL name is the one in the system directory, where the INF copied it.
    wchar_t path[MAX_PATH];
    if (wcschr(value, L'\\') == nullptr) {
        GetSystemDirectoryW(path, MAX_PATH);
        wcscat(path, L"\\");
        wcsncat(path, value, MAX_PATH - wcslen(path) - 1);
    } else {
        wcscpy(path, value);
    }
    fwprintf(stderr, L"devprops: EnumPropPages32 names %ls, export %hs\n", path, entry);
    *library = LoadLibraryW(path);
    return *library != nullptr ? reinterpret_cast<ProviderEntry>(
                                     reinterpret_cast<void*>(GetProcAddress(*library, entry)))
                               : nullptr;
}

bool OpenPort(HDEVINFO set, SP_DEVINFO_DATA* data, const wchar_t* instance)
{
    if (instance != nullptr) {
        return SetupDiOpenDeviceInfoW(set, instance, nullptr, 0, data) != FALSE;
    }
    return SetupDiEnumDeviceInfo(set, 0, data) != FALSE;
}

// Runs the modeless sheet until it is closed, until closeAfter milliseconds have passed, or
// until the file closeWhen exists.
void RunSheet(HWND sheet, DWORD closeAfter, const wchar_t* closeWhen)
{
    DWORD started = GetTickCount();
    if (closeAfter != 0 || closeWhen != nullptr) {
        SetTimer(nullptr, 0, 250, nullptr);
    }
    while (SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0) != 0) {
        MSG message;
        if (GetMessageW(&message, nullptr, 0, 0) <= 0) {
            break;
        }
        if (message.message == WM_TIMER && message.hwnd == nullptr) {
            if (closeAfter != 0 && GetTickCount() - started >= closeAfter) {
                break;
            }
            if (closeWhen != nullptr && GetFileAttributesW(closeWhen) != INVALID_FILE_ATTRIBUTES) {
                break;
            }
            continue;
        }
        if (!PropSheet_IsDialogMessage(sheet, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DestroyWindow(sheet);
}

// --advanced: the Advanced dialog runs a modal loop of its own, which dispatches the close timer
// instead of returning it to RunSheet. This timer's procedure cancels the dialog once the sheet
// is due to close; RunSheet then closes the sheet at its next tick.
struct AdvancedClose {
    HWND Sheet;
    DWORD Started;
    DWORD After;
    const wchar_t* When;
    HWND Dialog;
};
AdvancedClose advancedClose;

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM)
{
    if (GetWindow(window, GW_OWNER) == advancedClose.Sheet && IsWindowVisible(window)) {
        advancedClose.Dialog = window;
        return FALSE;
    }
    return TRUE;
}

void CALLBACK CloseAdvancedWhenDue(HWND, UINT, UINT_PTR, DWORD)
{
    bool due = (advancedClose.After != 0 &&
                GetTickCount() - advancedClose.Started >= advancedClose.After) ||
               (advancedClose.When != nullptr &&
                GetFileAttributesW(advancedClose.When) != INVALID_FILE_ATTRIBUTES);
    advancedClose.Dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindOwnedDialog, 0);
    if (due && advancedClose.Dialog != nullptr) {
        SendMessageW(advancedClose.Dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

void PressAdvanced(HWND sheet, DWORD closeAfter, const wchar_t* closeWhen)
{
    advancedClose = {sheet, GetTickCount(), closeAfter, closeWhen, nullptr};
    if (closeAfter != 0 || closeWhen != nullptr) {
        SetTimer(nullptr, 0, 250, CloseAdvancedWhenDue);
    }
    auto page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    const int advancedButton = 840;
    PostMessageW(page, WM_COMMAND, MAKEWPARAM(advancedButton, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(page, advancedButton)));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* instance = nullptr;
    const wchar_t* create = nullptr;
    DWORD closeAfter = 0;
    const wchar_t* closeWhen = nullptr;
    bool advanced = false;
    wchar_t inf[MAX_PATH] = {};
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--instance") == 0 && i + 1 < argc) {
            instance = argv[++i];
        } else if (wcscmp(argv[i], L"--create") == 0 && i + 1 < argc) {
            create = argv[++i];
        } else if (wcscmp(argv[i], L"--inf") == 0 && i + 1 < argc) {
            wcsncpy(inf, argv[++i], MAX_PATH - 1);
        } else if (wcscmp(argv[i], L"--close-after") == 0 && i + 1 < argc) {
            closeAfter = static_cast<DWORD>(_wtoi(argv[++i])) * 1000;
        } else if (wcscmp(argv[i], L"--close-when") == 0 && i + 1 < argc) {
            closeWhen = argv[++i];
        } else if (wcscmp(argv[i], L"--advanced") == 0) {
            advanced = true;
        } else {
            fwprintf(stderr, L"usage: devprops [--instance ID | --create COMn] [--inf PATH] "
                             L"[--close-after SECONDS] [--close-when FILE] [--advanced]\n");
            return 2;
        }
    }
    if (inf[0] == L'\0') {
        GetModuleFileNameW(nullptr, inf, MAX_PATH);
        wchar_t* slash = wcsrchr(inf, L'\\');
        wcscpy(slash != nullptr ? slash + 1 : inf, L"..\\package\\corport.inf");
    }

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    HDEVINFO set = create != nullptr
                       ? SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr)
                       : SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) {
        return Fail(L"cannot open the Ports class");
    }
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    bool ready =
        create != nullptr ? CreatePort(set, &data, create, inf) : OpenPort(set, &data, instance);
    if (!ready) {
        DWORD error = GetLastError();
        if (create != nullptr) {
            SetupDiRemoveDevice(set, &data);
        }
        SetupDiDestroyDeviceInfoList(set);
        SetLastError(error);
        return Fail(create != nullptr ? L"cannot create the port" : L"no such port");
    }

    int result = 0;
    HMODULE library;
    ProviderEntry provider = FindProvider(set, &data, &library);
    if (provider == nullptr) {
        result = Fail(L"cannot load the provider");
    } else {
        // Device Manager's request: the advanced property pages of this one device.
        SP_PROPSHEETPAGE_REQUEST request = {};
        request.cbSize = sizeof(request);
        request.PageRequested = SPPSR_ENUM_ADV_DEVICE_PROPERTIES;
        request.DeviceInfoSet = set;
        request.DeviceInfoData = &data;
        Pages pages = {};
        provider(&request, AddPage, reinterpret_cast<LPARAM>(&pages));
        if (pages.Count == 0) {
            result = Fail(L"the provider added no page");
        } else {
            wchar_t title[256] = L"Port";
            SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(title),
                                              sizeof(title) - sizeof(wchar_t), nullptr);
            PROPSHEETHEADERW header = {};
            header.dwSize = sizeof(header);
            header.dwFlags = PSH_MODELESS | PSH_PROPTITLE;
            header.pszCaption = title;
            header.nPages = pages.Count;
            header.phpage = pages.Handles;
            auto sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
            if (sheet == nullptr || sheet == reinterpret_cast<HWND>(-1)) {
                result = Fail(L"cannot show the property sheet");
            } else {
                if (advanced) {
                    PressAdvanced(sheet, closeAfter, closeWhen);
                }
                RunSheet(sheet, closeAfter, closeWhen);
            }
        }
    }
    if (create != nullptr) {
        SetupDiRemoveDevice(set, &data);
    }
    SetupDiDestroyDeviceInfoList(set);
    if (library != nullptr) {
        FreeLibrary(library);
    }
    return result;
}
