// Test harness for TRVPAGE.DLL under Wine; see harness.h.
#include "harness.h"

#include <initguid.h>
#include <devguid.h>

#include <string.h>

#include <gtest/gtest.h>

namespace harness {

std::string Narrow(const std::wstring& text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    }
    return result;
}

// ---- Devices ----------------------------------------------------------------------------------

Port::Port(const wchar_t* portName)
{
    set_ = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_PORTS, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "SetupDiCreateDeviceInfoList: " << GetLastError();
        return;
    }
    data_.cbSize = sizeof(data_);
    if (!SetupDiCreateDeviceInfoW(set_, L"PORTS", &GUID_DEVCLASS_PORTS, L"Corran test port",
                                  nullptr, DICD_GENERATE_ID, &data_) ||
        !SetupDiRegisterDeviceInfo(set_, &data_, 0, nullptr, nullptr, nullptr)) {
        ADD_FAILURE() << "creating the Ports device: " << GetLastError();
        return;
    }
    const wchar_t description[] = L"Corran Multiport Serial Port";
    SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_DEVICEDESC,
                                      reinterpret_cast<const BYTE*>(description),
                                      sizeof(description));
    HKEY key =
        SetupDiCreateDevRegKeyW(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "creating the device key: " << GetLastError();
        return;
    }
    RegCloseKey(key);
    valid_ = true;
    if (portName != nullptr) {
        SetPortName(portName);
    }
}

Port::~Port()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        if (data_.cbSize != 0) {
            SetupDiRemoveDevice(set_, &data_);
        }
        SetupDiDestroyDeviceInfoList(set_);
    }
}

HKEY Port::OpenDeviceKey(REGSAM access)
{
    return SetupDiOpenDevRegKey(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, access);
}

HKEY Port::OpenDriverKey(REGSAM access)
{
    HKEY key = SetupDiOpenDevRegKey(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, access);
    if (key == INVALID_HANDLE_VALUE) {
        key =
            SetupDiCreateDevRegKeyW(set_, &data_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
    }
    return key;
}

void Port::SetDeviceValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = OpenDeviceKey();
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

void Port::SetPortName(const wchar_t* name)
{
    SetDeviceValue(L"PortName", REG_SZ, name,
                   static_cast<DWORD>((wcslen(name) + 1) * sizeof(wchar_t)));
}

void Port::DeleteDeviceValue(const wchar_t* name)
{
    HKEY key = OpenDeviceKey();
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

bool Port::QueryDeviceDword(const wchar_t* name, DWORD* value)
{
    HKEY key = OpenDeviceKey(KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD size = sizeof(*value);
    LONG status =
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && size == sizeof(*value);
}

std::wstring Port::QueryDeviceString(const wchar_t* name)
{
    HKEY key = OpenDeviceKey(KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return L"";
    }
    wchar_t value[260] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    LONG status =
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

void Port::SetDriverValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = OpenDriverKey();
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size));
    RegCloseKey(key);
}

std::wstring Port::FriendlyName()
{
    wchar_t name[512] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set_, &data_, SPDRP_FRIENDLYNAME, nullptr,
                                           reinterpret_cast<BYTE*>(name),
                                           sizeof(name) - sizeof(wchar_t), nullptr)) {
        return L"";
    }
    return name;
}

// ---- The DLL -------------------------------------------------------------------------------

HMODULE PageLibrary()
{
    static HMODULE module = LoadLibraryW(TRVPAGE_PATH);
    if (module == nullptr) {
        ADD_FAILURE() << "cannot load " << Narrow(TRVPAGE_PATH) << ": " << GetLastError();
    }
    return module;
}

ProviderEntry Provider()
{
    return reinterpret_cast<ProviderEntry>(
        reinterpret_cast<void*>(GetProcAddress(PageLibrary(), "SerialPortPropPageProvider")));
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement)
{
    auto base = reinterpret_cast<BYTE*>(module);
    if (base == nullptr) {
        ADD_FAILURE() << "no module to patch";
        return;
    }
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0) {
            continue;
        }
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char*>(byName->Name), function) == 0) {
                slot_ = reinterpret_cast<void**>(&slots->u1.Function);
            }
        }
    }
    if (slot_ == nullptr) {
        ADD_FAILURE() << "the module does not import " << function << " from " << dll;
        return;
    }
    DWORD protection;
    VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
    original_ = *slot_;
    *slot_ = replacement;
    VirtualProtect(slot_, sizeof(void*), protection, &protection);
}

ImportPatch::~ImportPatch()
{
    if (slot_ != nullptr) {
        DWORD protection;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
        *slot_ = original_;
        VirtualProtect(slot_, sizeof(void*), protection, &protection);
    }
}

// ---- The page -------------------------------------------------------------------------------

BOOL CALLBACK RecordAddPage(HPROPSHEETPAGE page, LPARAM context)
{
    auto log = reinterpret_cast<AddPageLog*>(context);
    log->Pages.push_back(page);
    log->Context = context;
    return log->Answer;
}

BOOL RequestPages(Port& port, DWORD pageRequested, AddPageLog* log)
{
    SP_PROPSHEETPAGE_REQUEST request = {};
    request.cbSize = sizeof(request);
    request.PageRequested = pageRequested;
    request.DeviceInfoSet = port.Set();
    request.DeviceInfoData = port.Data();
    ProviderEntry provider = Provider();
    if (provider == nullptr) {
        ADD_FAILURE() << "SerialPortPropPageProvider is not exported";
        return FALSE;
    }
    return provider(&request, RecordAddPage, reinterpret_cast<LPARAM>(log));
}

Sheet::Sheet(Port& port)
{
    AddPageLog log;
    RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log);
    if (log.Pages.empty()) {
        return;
    }
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS;
    header.pszCaption = L"Corran Multiport Serial Port (COM7) Properties";
    header.nPages = static_cast<UINT>(log.Pages.size());
    header.phpage = log.Pages.data();
    sheet_ = reinterpret_cast<HWND>(PropertySheetW(&header));
    if (sheet_ == nullptr || sheet_ == reinterpret_cast<HWND>(-1)) {
        ADD_FAILURE() << "PropertySheetW failed";
        sheet_ = nullptr;
        return;
    }
    page_ = reinterpret_cast<HWND>(SendMessageW(sheet_, PSM_GETCURRENTPAGEHWND, 0, 0));
}

Sheet::~Sheet()
{
    Close();
}

int Sheet::Selection(int list) const
{
    return static_cast<int>(SendMessageW(Control(list), CB_GETCURSEL, 0, 0));
}

std::wstring Sheet::SelectedText(int list) const
{
    int index = Selection(list);
    if (index < 0) {
        return L"";
    }
    wchar_t text[256] = {};
    SendMessageW(Control(list), CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
    return text;
}

std::vector<std::wstring> Sheet::Entries(int list) const
{
    std::vector<std::wstring> entries;
    int count = static_cast<int>(SendMessageW(Control(list), CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        SendMessageW(Control(list), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        entries.push_back(text);
    }
    return entries;
}

void Sheet::Choose(int list, int index)
{
    HWND control = Control(list);
    SendMessageW(control, CB_SETCURSEL, index, 0);
    SendMessageW(page_, WM_COMMAND, MAKEWPARAM(list, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(control));
}

void Sheet::Press(int id)
{
    SendMessageW(page_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Control(id)));
}

bool Sheet::Apply()
{
    return SendMessageW(sheet_, PSM_APPLY, 0, 0) != 0;
}

bool Sheet::ApplyEnabled() const
{
    const int applyButton = 0x3021;
    return IsWindowEnabled(GetDlgItem(sheet_, applyButton)) != FALSE;
}

void Sheet::Close()
{
    if (sheet_ != nullptr) {
        DestroyWindow(sheet_);
        sheet_ = nullptr;
        page_ = nullptr;
    }
}

// ---- Message boxes ----------------------------------------------------------------------------

namespace {

HHOOK boxHook;
std::vector<int> boxAnswers;
size_t nextAnswer;
std::vector<SeenBox> seenBoxes;
std::function<void(HWND)> dialogHandler;

std::wstring WindowText(HWND window)
{
    wchar_t text[1100] = {};
    GetWindowTextW(window, text, 1099);
    return text;
}

// A message box is a dialog with the text static 0xFFFF and nothing but buttons and statics.
BOOL CALLBACK OnlyButtonsAndStatics(HWND child, LPARAM result)
{
    wchar_t className[32] = {};
    GetClassNameW(child, className, 31);
    if (lstrcmpiW(className, L"Button") != 0 && lstrcmpiW(className, L"Static") != 0) {
        *reinterpret_cast<bool*>(result) = false;
    }
    return TRUE;
}

bool IsMessageBox(HWND window)
{
    wchar_t className[32] = {};
    GetClassNameW(window, className, 31);
    if (lstrcmpW(className, L"#32770") != 0 || GetDlgItem(window, 0xFFFF) == nullptr) {
        return false;
    }
    bool plain = true;
    EnumChildWindows(window, OnlyButtonsAndStatics, reinterpret_cast<LPARAM>(&plain));
    return plain;
}

// A box can be activated before its text is set (a system-modal box is), so the hook only posts
// itself a note on activation and reads and answers the box when that note is retrieved, after
// the box's initialisation.
const UINT kInspectBox = RegisterWindowMessageW(L"CorranInspectMessageBox");
HHOOK noteHook;

LRESULT CALLBACK NoteActivation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        PostMessageW(reinterpret_cast<HWND>(wParam), kInspectBox, 0, 0);
    }
    return CallNextHookEx(boxHook, code, wParam, lParam);
}

LRESULT CALLBACK AnswerBoxes(int code, WPARAM wParam, LPARAM lParam)
{
    auto message = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && message->message == kInspectBox &&
        IsMessageBox(message->hwnd)) {
        HWND window = message->hwnd;
        seenBoxes.push_back({WindowText(window), WindowText(GetDlgItem(window, 0xFFFF))});
        int answer = nextAnswer < boxAnswers.size() ? boxAnswers[nextAnswer++] : IDOK;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(window, answer)));
    } else if (code == HC_ACTION && wParam == PM_REMOVE && message->message == kInspectBox &&
               dialogHandler) {
        wchar_t className[32] = {};
        GetClassNameW(message->hwnd, className, 31);
        if (lstrcmpW(className, L"#32770") == 0) {
            dialogHandler(message->hwnd);
        }
    }
    return CallNextHookEx(noteHook, code, wParam, lParam);
}

} // namespace

BoxAnswerer::BoxAnswerer(std::vector<int> answers)
{
    boxAnswers = std::move(answers);
    nextAnswer = 0;
    seenBoxes.clear();
    boxHook = SetWindowsHookExW(WH_CBT, NoteActivation, nullptr, GetCurrentThreadId());
    noteHook = SetWindowsHookExW(WH_GETMESSAGE, AnswerBoxes, nullptr, GetCurrentThreadId());
    EXPECT_NE(boxHook, nullptr);
    EXPECT_NE(noteHook, nullptr);
}

BoxAnswerer::~BoxAnswerer()
{
    dialogHandler = nullptr;
    UnhookWindowsHookEx(noteHook);
    UnhookWindowsHookEx(boxHook);
    boxHook = nullptr;
    noteHook = nullptr;
}

void BoxAnswerer::OnDialog(std::function<void(HWND)> handler)
{
    dialogHandler = std::move(handler);
}

const std::vector<SeenBox>& BoxAnswerer::Seen() const
{
    return seenBoxes;
}

// ---- Shared system state --------------------------------------------------------------------

std::wstring ReadPortsValue(const wchar_t* key)
{
    wchar_t value[256] = {};
    GetProfileStringW(L"Ports", key, L"", value, 256);
    return value;
}

namespace {
std::vector<ProfileWrite> profileWrites;

BOOL WINAPI RecordWriteProfileString(LPCWSTR section, LPCWSTR key, LPCWSTR value)
{
    profileWrites.push_back(
        {section ? section : L"", key ? key : L"", value != nullptr, value ? value : L""});
    return WriteProfileStringW(section, key, value);
}
} // namespace

ProfileWriteRecorder::ProfileWriteRecorder()
    : patch_(PageLibrary(), "kernel32.dll", "WriteProfileStringW",
             reinterpret_cast<void*>(RecordWriteProfileString))
{
    profileWrites.clear();
}

ProfileWriteRecorder::~ProfileWriteRecorder() = default;

const std::vector<ProfileWrite>& ProfileWriteRecorder::Writes() const
{
    return profileWrites;
}

std::wstring ProfileWriteRecorder::Last() const
{
    return profileWrites.empty() ? L"<nothing written>" : profileWrites.back().Value;
}

void WritePortsValue(const wchar_t* key, const wchar_t* value)
{
    WriteProfileStringW(L"Ports", key, value);
}

void ResetPortsSection()
{
    WriteProfileStringW(L"Ports", nullptr, nullptr);
}

namespace {
const wchar_t kArbiterKey[] = L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
}

void ResetComDb(const std::vector<int>& claimed)
{
    BYTE bits[32] = {};
    for (int number : claimed) {
        bits[(number - 1) / 8] |= static_cast<BYTE>(1u << ((number - 1) % 8));
    }
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kArbiterKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"ComDB", 0, REG_BINARY, bits, sizeof(bits)));
    RegCloseKey(key);
}

std::vector<int> ClaimedComNumbers()
{
    std::vector<int> claimed;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kArbiterKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return claimed;
    }
    BYTE bits[512] = {};
    DWORD size = sizeof(bits);
    if (RegQueryValueExW(key, L"ComDB", nullptr, nullptr, bits, &size) == ERROR_SUCCESS) {
        for (DWORD i = 0; i < size * 8; ++i) {
            if (bits[i / 8] & (1u << (i % 8))) {
                claimed.push_back(static_cast<int>(i + 1));
            }
        }
    }
    RegCloseKey(key);
    return claimed;
}

namespace {
int portsBroadcasts;

LRESULT CALLBACK ListenForBroadcasts(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_WININICHANGE && lParam != 0 &&
        lstrcmpW(reinterpret_cast<const wchar_t*>(lParam), L"Ports") == 0) {
        ++portsBroadcasts;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

BroadcastListener::BroadcastListener()
{
    portsBroadcasts = 0;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = ListenForBroadcasts;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"CorranBroadcastListener";
    RegisterClassW(&windowClass); // fails harmlessly when already registered
    window_ = CreateWindowExW(0, L"CorranBroadcastListener", L"listener", WS_OVERLAPPED, 0, 0, 10,
                              10, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(window_, nullptr);
}

BroadcastListener::~BroadcastListener()
{
    DestroyWindow(window_);
}

int BroadcastListener::PortsBroadcasts() const
{
    return portsBroadcasts;
}

namespace {
BOOL setParamsAnswer;
int paramsSet;
int installerCalls;
SP_PROPCHANGE_PARAMS lastParams;
HDEVINFO lastSet;
PSP_DEVINFO_DATA lastData;

BOOL WINAPI RecordSetClassInstallParams(HDEVINFO set, PSP_DEVINFO_DATA data,
                                        PSP_CLASSINSTALL_HEADER header, DWORD size)
{
    ++paramsSet;
    lastSet = set;
    lastData = data;
    ZeroMemory(&lastParams, sizeof(lastParams));
    if (header != nullptr && size >= sizeof(SP_PROPCHANGE_PARAMS) &&
        header->cbSize == sizeof(SP_CLASSINSTALL_HEADER)) {
        lastParams = *reinterpret_cast<SP_PROPCHANGE_PARAMS*>(header);
    }
    if (!setParamsAnswer) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return setParamsAnswer;
}

BOOL WINAPI RecordCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data)
{
    if (function == DIF_PROPERTYCHANGE) {
        ++installerCalls;
    }
    lastSet = set;
    lastData = data;
    return TRUE;
}
} // namespace

PropertyChangeRecorder::PropertyChangeRecorder(BOOL answer)
    : setParams_(PageLibrary(), "setupapi.dll", "SetupDiSetClassInstallParamsW",
                 reinterpret_cast<void*>(RecordSetClassInstallParams)),
      callInstaller_(PageLibrary(), "setupapi.dll", "SetupDiCallClassInstaller",
                     reinterpret_cast<void*>(RecordCallClassInstaller))
{
    setParamsAnswer = answer;
    paramsSet = 0;
    installerCalls = 0;
    ZeroMemory(&lastParams, sizeof(lastParams));
    lastSet = nullptr;
    lastData = nullptr;
}

PropertyChangeRecorder::~PropertyChangeRecorder() = default;

int PropertyChangeRecorder::ParamsSet() const
{
    return paramsSet;
}
int PropertyChangeRecorder::InstallerCalls() const
{
    return installerCalls;
}
DWORD PropertyChangeRecorder::LastStateChange() const
{
    return lastParams.StateChange;
}
DWORD PropertyChangeRecorder::LastScope() const
{
    return lastParams.Scope;
}
DWORD PropertyChangeRecorder::LastInstallFunction() const
{
    return lastParams.ClassInstallHeader.InstallFunction;
}
HDEVINFO PropertyChangeRecorder::LastSet() const
{
    return lastSet;
}
PSP_DEVINFO_DATA PropertyChangeRecorder::LastData() const
{
    return lastData;
}

} // namespace harness
