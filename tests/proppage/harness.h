// Test harness for TRVPAGE.DLL under Wine: real Ports-class devices made with SetupAPI, the real
// DLL, its page shown in a real property sheet, message boxes answered from the test, and seams
// that replace a platform function for the DLL only (by patching its import table at run time,
// which leaves the shipped image unchanged).
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <setupapi.h>

#include <functional>
#include <string>
#include <vector>

#include "resources/resource.h"

namespace harness {

// ---- Text -----------------------------------------------------------------------------------

std::string Narrow(const std::wstring& text); // for failure messages only

// ---- Devices ----------------------------------------------------------------------------------

// One Ports-class device, registered with SetupAPI in its own device information set, removed
// again by the destructor.
class Port {
public:
    // portName: the "PortName" value of the device key, or nullptr for none.
    explicit Port(const wchar_t* portName = L"COM7");
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    HDEVINFO Set() const { return set_; }
    SP_DEVINFO_DATA* Data() { return &data_; }
    bool Valid() const { return valid_; }

    HKEY OpenDeviceKey(REGSAM access = KEY_ALL_ACCESS); // hardware key; caller closes
    HKEY OpenDriverKey(REGSAM access = KEY_ALL_ACCESS); // software key; caller closes
    void SetDeviceValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
    void SetPortName(const wchar_t* name); // REG_SZ with terminator
    void DeleteDeviceValue(const wchar_t* name);
    // Reads a REG_DWORD (or any 4-byte value) of the device key; false when absent.
    bool QueryDeviceDword(const wchar_t* name, DWORD* value);
    std::wstring QueryDeviceString(const wchar_t* name); // empty when absent
    void SetDriverValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
    std::wstring FriendlyName();

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{};
    bool valid_ = false;
};

// ---- The DLL -------------------------------------------------------------------------------

using ProviderEntry = BOOL(WINAPI*)(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

// TRVPAGE.DLL from the build tree, loaded once per process.
HMODULE PageLibrary();
ProviderEntry Provider();

// Replaces the function that `module` imports from `dll` under `function` by `replacement`
// until the object is destroyed.
class ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;
    void* Original() const { return original_; }
    bool Applied() const { return slot_ != nullptr; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// Patches an import of TRVPAGE.DLL.
#define PATCH_PAGE_IMPORT(dll, function, replacement)                                              \
    harness::ImportPatch(harness::PageLibrary(), dll, #function,                                   \
                         reinterpret_cast<void*>(replacement))

// ---- The page -------------------------------------------------------------------------------

struct AddPageLog {
    std::vector<HPROPSHEETPAGE> Pages;
    LPARAM Context = 0;
    BOOL Answer = TRUE; // what the add-page callback returns
};
BOOL CALLBACK RecordAddPage(HPROPSHEETPAGE page, LPARAM context);

// Asks the provider for pages as Device Manager does; the log's Answer is returned to it.
BOOL RequestPages(Port& port, DWORD pageRequested, AddPageLog* log);

// A modeless property sheet holding the provider's page for a port.
class Sheet {
public:
    // Asks the provider for the page and shows it; Valid() is false when no page came.
    explicit Sheet(Port& port);
    ~Sheet();
    Sheet(const Sheet&) = delete;
    Sheet& operator=(const Sheet&) = delete;

    bool Valid() const { return page_ != nullptr; }
    HWND Window() const { return sheet_; }
    HWND Page() const { return page_; }
    HWND Control(int id) const { return GetDlgItem(page_, id); }

    // What a list shows: its selection index (-1 for none) and the selected text.
    int Selection(int list) const;
    std::wstring SelectedText(int list) const;
    std::vector<std::wstring> Entries(int list) const;
    bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }

    // As the user does it: a new selection in a list, notified to the page.
    void Choose(int list, int index);
    // Presses a push button of the page.
    void Press(int id);
    // Presses the sheet's Apply button path (PSM_APPLY). Returns the sheet's answer.
    bool Apply();
    // The sheet's Apply button is enabled (some page reported a change).
    bool ApplyEnabled() const;
    // Releases the page (destroys the sheet).
    void Close();

private:
    HWND sheet_ = nullptr;
    HWND page_ = nullptr;
};

// ---- Message boxes ----------------------------------------------------------------------------

struct SeenBox {
    std::wstring Caption;
    std::wstring Text;
};

// While alive, answers every message box of this thread with the next answer (IDOK when the
// list runs out) and records what each box said.
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::vector<int> answers = {});
    ~BoxAnswerer();
    const std::vector<SeenBox>& Seen() const;
    // Also calls handler for every other dialog (class "#32770") once it has been activated and
    // initialised, for example to drive a modal dialog from inside its own loop. The property
    // sheet is such a dialog too.
    void OnDialog(std::function<void(HWND)> handler);
};

// ---- Shared system state --------------------------------------------------------------------

std::wstring ReadPortsValue(const wchar_t* key);                // "" when absent
void WritePortsValue(const wchar_t* key, const wchar_t* value); // nullptr deletes
void ResetPortsSection();                                       // deletes the whole [Ports] section

// Records what the DLL passes to WriteProfileStringW (and passes it on). The profile API strips
// trailing blanks when a value is read back, but they are part of the [Ports] format.
struct ProfileWrite {
    std::wstring Section;
    std::wstring Key;
    bool HasValue; // false: the key was deleted
    std::wstring Value;
};
class ProfileWriteRecorder {
public:
    ProfileWriteRecorder();
    ~ProfileWriteRecorder();
    const std::vector<ProfileWrite>& Writes() const;
    std::wstring Last() const; // value of the last write

private:
    ImportPatch patch_;
};

// The COM name database (bitmap of 32 bytes, bit n-1 for COMn).
void ResetComDb(const std::vector<int>& claimed = {});
std::vector<int> ClaimedComNumbers();

// Counts WM_WININICHANGE broadcasts for the "Ports" section seen by a top-level window of this
// thread while alive.
class BroadcastListener {
public:
    BroadcastListener();
    ~BroadcastListener();
    int PortsBroadcasts() const;

private:
    HWND window_ = nullptr;
};

// Records the property change requests that reach SetupAPI from the DLL (both SetupAPI calls
// are replaced: under Wine they fail, on Windows they would restart a device).
class PropertyChangeRecorder {
public:
    explicit PropertyChangeRecorder(BOOL setParamsAnswer = TRUE);
    ~PropertyChangeRecorder();
    int ParamsSet() const;      // SetupDiSetClassInstallParamsW calls
    int InstallerCalls() const; // SetupDiCallClassInstaller calls
    DWORD LastStateChange() const;
    DWORD LastScope() const;
    DWORD LastInstallFunction() const;
    HDEVINFO LastSet() const;
    PSP_DEVINFO_DATA LastData() const;

private:
    ImportPatch setParams_;
    ImportPatch callInstaller_;
};

} // namespace harness
