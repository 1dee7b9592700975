// Renaming a port from the Advanced dialog, against the records Wine really keeps: DOS device
// names, the serial device map, the device's friendly name, the property sheet's title, the
// [Ports] profile entry and "PortName"; the COM name database through the msports stand-in. Also
// the "COM Port Number" list and its in-use marks.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "advanced_driver.h"
#include "harness.h"

namespace {

using advanced::Dialog;
using harness::Narrow;

constexpr wchar_t kSerialDeviceMap[] = L"Hardware\\DeviceMap\\SerialComm";
constexpr wchar_t kSheetTitle[] = L"Corran Multiport Serial Port (COM7) Properties";
constexpr wchar_t kNullDevice[] = L"\\Device\\Null";
constexpr wchar_t kHoldArgument[] = L"--hold-port-pipe=";

// ---- Another program that holds a port open --------------------------------------------------

// Started as "rename_test.exe --hold-port-pipe=NAME", this program plays another application:
// it opens the only instance of the pipe NAME (the port's device, as far as the DOS name goes)
// and keeps it open until the test releases it.
int HoldPortIfAsked()
{
    const wchar_t* argument = wcsstr(GetCommandLineW(), kHoldArgument);
    if (argument == nullptr) {
        return 0;
    }
    std::wstring name(argument + lstrlenW(kHoldArgument));
    std::wstring pipe = L"\\\\.\\pipe\\" + name;
    HANDLE server =
        CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 64, 64, 0, nullptr);
    HANDLE client = CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L".ready").c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (name + L".release").c_str());
    if (server == INVALID_HANDLE_VALUE || client == INVALID_HANDLE_VALUE || ready == nullptr ||
        release == nullptr) {
        ExitProcess(1);
    }
    SetEvent(ready);
    WaitForSingleObject(release, 60000);
    ExitProcess(0);
}
const int holding = HoldPortIfAsked();

class PortHolder {
public:
    explicit PortHolder(const wchar_t* name) : name_(name)
    {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, (name_ + L".ready").c_str());
        release_ = CreateEventW(nullptr, TRUE, FALSE, (name_ + L".release").c_str());
        wchar_t program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring line = L"\"" + std::wstring(program) + L"\" " + kHoldArgument + name_;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        if (!CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &process_)) {
            ADD_FAILURE() << "starting the holder: " << GetLastError();
            return;
        }
        CloseHandle(process_.hThread);
        HANDLE either[] = {ready_, process_.hProcess};
        EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, either, FALSE, 30000))
            << "the holder did not open the port";
    }
    ~PortHolder()
    {
        SetEvent(release_);
        if (process_.hProcess != nullptr) {
            WaitForSingleObject(process_.hProcess, 30000);
            CloseHandle(process_.hProcess);
        }
        CloseHandle(ready_);
        CloseHandle(release_);
    }
    std::wstring Device() const { return L"\\Device\\NamedPipe\\" + name_; }

private:
    std::wstring name_;
    HANDLE ready_ = nullptr;
    HANDLE release_ = nullptr;
    PROCESS_INFORMATION process_ = {};
};

// ---- The records outside the device key --------------------------------------------------------

std::wstring DosTarget(const wchar_t* name)
{
    wchar_t target[260] = {};
    return QueryDosDeviceW(name, target, 259) != 0 ? std::wstring(target) : std::wstring();
}

void Undefine(const wchar_t* name)
{
    for (int i = 0; i < 8 && !DosTarget(name).empty(); ++i) {
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, name, nullptr);
    }
}

void Define(const wchar_t* name, const std::wstring& target)
{
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, name, target.c_str()))
        << Narrow(name) << ": " << GetLastError();
}

HKEY OpenDeviceMap()
{
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialDeviceMap, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr));
    return key;
}

void SetMapValue(const wchar_t* name, DWORD type, const std::wstring& text)
{
    HKEY key = OpenDeviceMap();
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

std::wstring MapValue(const wchar_t* name)
{
    HKEY key = OpenDeviceMap();
    wchar_t data[128] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    LONG status =
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::wstring(data) : std::wstring();
}

// The value names of the map in enumeration order, as the rename walks them.
std::vector<std::wstring> MapOrder()
{
    std::vector<std::wstring> names;
    HKEY key = OpenDeviceMap();
    for (DWORD index = 0;; ++index) {
        wchar_t name[200] = {};
        DWORD length = 200;
        if (RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

const wchar_t* const kMapValues[] = {L"\\Device\\CorSerialA", L"\\Device\\CorSerialB",
                                     L"\\Device\\CorSerialC", L"\\Device\\CorSerialD"};

void ClearMapValues()
{
    HKEY key = OpenDeviceMap();
    for (const wchar_t* name : kMapValues) {
        RegDeleteValueW(key, name);
    }
    RegCloseKey(key);
}

// Wine 8 mangles DOS names longer than four characters (DefineDosDeviceW defines "COM10" for
// "COM12"), so the tests that involve DOS names keep to one-digit numbers.
const wchar_t* const kTestDosNames[] = {L"COM7", L"COM9", L"COMX"};

class RenameTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(port.Valid());
        harness::ResetComDb({7});
        harness::ResetPortsSection();
        for (const wchar_t* name : kTestDosNames) {
            Undefine(name);
        }
        ClearMapValues();
    }
    void TearDown() override
    {
        for (const wchar_t* name : kTestDosNames) {
            Undefine(name);
        }
        ClearMapValues();
    }

    DWORD InstallFlags()
    {
        SP_DEVINSTALL_PARAMS_W params = {};
        params.cbSize = sizeof(params);
        EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(port.Set(), port.Data(), &params));
        return params.Flags;
    }

    // Picks COM<number> in the list, moves the receive trackbar (so OK always has a FIFO value
    // to write) and presses OK.
    bool RenameTo(harness::Sheet& sheet, int number)
    {
        return advanced::RunAdvanced(sheet, [number](Dialog& dialog) {
            dialog.ChoosePortNumber(number - 1);
            dialog.Key(IDC_RX_TRACKBAR, VK_HOME);
            dialog.PressOk();
        });
    }

    // Everything that holds the port's name still says COM7.
    void ExpectNotRenamed(harness::Sheet& sheet)
    {
        EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
        EXPECT_EQ(L"", port.FriendlyName());
        EXPECT_EQ(kSheetTitle, SheetTitle(sheet));
        EXPECT_EQ(L"19200,e,7,1,x", harness::ReadPortsValue(L"COM7:"));
        EXPECT_EQ(L"", harness::ReadPortsValue(L"COM9:"));
        EXPECT_EQ(0u, InstallFlags() & DI_PROPERTIES_CHANGE);
        // The FIFO values are saved and the device restarted all the same.
        DWORD rx = 0;
        EXPECT_TRUE(port.QueryDeviceDword(L"RxFIFO", &rx));
        EXPECT_EQ(1u, rx);
    }

    // The page took the dialog's answer over: its next save goes to the key of `name`.
    void ExpectPageSavesUnder(harness::Sheet& sheet, const wchar_t* key, const wchar_t* other)
    {
        sheet.Choose(IDC_PARITY, 1); // Odd
        sheet.Apply();
        EXPECT_NE(std::wstring::npos, harness::ReadPortsValue(key).find(L",o,"))
            << Narrow(harness::ReadPortsValue(key));
        EXPECT_EQ(std::wstring::npos, harness::ReadPortsValue(other).find(L",o,"));
    }

    std::wstring SheetTitle(harness::Sheet& sheet)
    {
        wchar_t title[200] = {};
        GetWindowTextW(sheet.Window(), title, 199);
        return title;
    }

    harness::Port port{L"COM7"};
};

// ---- The number list ----------------------------------------------------------------------------

// The in-use mark comes from the string table; without that string the built-in text serves.
// A failing load here also leaves junk in the buffer, as a failed call is free to.
int WINAPI LoadStringWithoutInUseMark(HINSTANCE instance, UINT id, LPWSTR buffer, int length)
{
    if (id == 61 /* IDS_IN_USE_SUFFIX */) {
        lstrcpynW(buffer, L"junk", length);
        return 0;
    }
    return LoadStringW(instance, id, buffer, length);
}

TEST_F(RenameTest, ListOffersEveryNumberAndMarksThoseOfOtherPorts)
{
    for (bool withMarkString : {true, false}) {
        SCOPED_TRACE(withMarkString ? "mark from the string table" : "built-in mark");
        harness::ResetComDb({2, 7, 200, 256});
        auto strings = PATCH_PAGE_IMPORT("user32.dll", LoadStringW,
                                         withMarkString ? LoadStringW : LoadStringWithoutInUseMark);
        harness::Sheet sheet(port);
        ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
            std::vector<std::wstring> entries = dialog.PortNumbers();
            ASSERT_EQ(256u, entries.size());
            EXPECT_EQ(L"COM1", entries[0]);
            EXPECT_EQ(L"COM2 (in use)", entries[1]);
            // The port's own number is claimed for this very port.
            EXPECT_EQ(L"COM7", entries[6]);
            EXPECT_EQ(L"COM200 (in use)", entries[199]);
            EXPECT_EQ(L"COM256 (in use)", entries[255]);
            int marked = 0;
            for (const std::wstring& entry : entries) {
                marked += entry.find(L" (in use)") != std::wstring::npos;
            }
            EXPECT_EQ(3, marked);
            EXPECT_EQ(6, dialog.PortNumberSelection());
        }));
    }
}

// "COM4294967299" would wrap onto COM3 in 32 bits and hide that other port's claim.
TEST_F(RenameTest, NumberOutsideTheListSelectsNothingAndHidesNoClaim)
{
    harness::ResetComDb({3});
    for (const wchar_t* name : {L"COM300", L"COM4294967299"}) {
        port.SetPortName(name);
        harness::Sheet sheet(port);
        ASSERT_TRUE(advanced::OpenAndCancel(sheet, [&](Dialog& dialog) {
            EXPECT_EQ(256u, dialog.PortNumbers().size());
            EXPECT_EQ(L"COM3 (in use)", dialog.PortNumbers()[2]);
            EXPECT_EQ(CB_ERR, dialog.PortNumberSelection());
        }));
    }
}

LONG WINAPI DatabaseUnavailable(HANDLE* database)
{
    *database = INVALID_HANDLE_VALUE;
    return ERROR_ACCESS_DENIED;
}

TEST_F(RenameTest, WithoutTheDatabaseNothingIsInUseAndTheDatabaseIsLeftAlone)
{
    harness::ResetComDb({7, 9});
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    auto closed = PATCH_PAGE_IMPORT("msports.dll", ComDBOpen, DatabaseUnavailable);
    harness::Sheet sheet(port);
    harness::BoxAnswerer boxes;
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"COM9", dialog.PortNumbers()[8]);
        dialog.ChoosePortNumber(8);
        dialog.PressOk();
    }));
    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({7, 9}), harness::ClaimedComNumbers());
}

// ---- Renaming ---------------------------------------------------------------------------------

TEST_F(RenameTest, RenameMovesEveryRecordOfAPortWithoutDosName)
{
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    SetMapValue(kMapValues[0], REG_SZ, L"COM7"); // no live DOS name: the map is not touched
    harness::BroadcastListener broadcasts;
    harness::PropertyChangeRecorder restarts;
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(L"Corran Multiport Serial Port (COM9)", port.FriendlyName());
    EXPECT_EQ(L"Corran Multiport Serial Port (COM9) Properties", SheetTitle(sheet));
    EXPECT_EQ(L"19200,e,7,1,x", harness::ReadPortsValue(L"COM9:"));
    EXPECT_EQ(L"", harness::ReadPortsValue(L"COM7:"));
    EXPECT_GE(broadcasts.PortsBroadcasts(), 1);
    EXPECT_EQ(std::vector<int>({9}), harness::ClaimedComNumbers());
    EXPECT_NE(0u, InstallFlags() & DI_PROPERTIES_CHANGE);
    EXPECT_EQ(L"COM7", MapValue(kMapValues[0]));
    EXPECT_EQ(L"", DosTarget(L"COM9"));
    EXPECT_EQ(1, restarts.ParamsSet());

    ExpectPageSavesUnder(sheet, L"COM9:", L"COM7:");
    // The next opening reads the new name.
    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"Advanced Settings for COM9", dialog.Title());
        EXPECT_EQ(8, dialog.PortNumberSelection());
    }));
}

TEST_F(RenameTest, RenameMovesTheDosNameAndTheFirstMatchingDeviceMapEntry)
{
    Define(L"COM7", kNullDevice);
    SetMapValue(kMapValues[0], REG_EXPAND_SZ, L"COM7"); // not a plain string: skipped
    SetMapValue(kMapValues[1], REG_SZ, L"COM70");
    SetMapValue(kMapValues[2], REG_SZ, L"COM7");
    SetMapValue(kMapValues[3], REG_SZ, L"COM7");
    std::vector<std::wstring> order = MapOrder();
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    EXPECT_TRUE(boxes.Seen().empty()); // the port was free
    EXPECT_EQ(L"", DosTarget(L"COM7"));
    EXPECT_EQ(kNullDevice, DosTarget(L"COM9"));
    EXPECT_EQ(L"COM7", MapValue(kMapValues[0]));
    EXPECT_EQ(L"COM70", MapValue(kMapValues[1]));
    // Of the two plain entries, the one enumerated first moves.
    const wchar_t* first = kMapValues[2];
    const wchar_t* second = kMapValues[3];
    for (const std::wstring& name : order) {
        if (name == kMapValues[3]) {
            std::swap(first, second);
            break;
        }
        if (name == kMapValues[2]) {
            break;
        }
    }
    EXPECT_EQ(L"COM9", MapValue(first));
    EXPECT_EQ(L"COM7", MapValue(second));
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({9}), harness::ClaimedComNumbers());
}

TEST_F(RenameTest, NumberInUseAsksFirstAndNoLeavesEverythingButTheFifoValues)
{
    harness::ResetComDb({7, 9});
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    Define(L"COM7", kNullDevice);
    SetMapValue(kMapValues[0], REG_SZ, L"COM7");
    harness::PropertyChangeRecorder restarts;
    harness::BoxAnswerer boxes({IDNO});
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"COM9 (in use)", dialog.PortNumbers()[8]);
        dialog.ChoosePortNumber(8);
        dialog.Key(IDC_RX_TRACKBAR, VK_HOME);
        dialog.PressOk();
    }));

    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Communications Port Properties", boxes.Seen()[0].Caption);
    EXPECT_EQ(L"This COM name is being used by another device (such as another com port or "
              L"modem).  Using duplicate names can lead to inaccessible devices and changed "
              L"settings.  Do you want to continue?",
              boxes.Seen()[0].Text);
    ExpectNotRenamed(sheet);
    EXPECT_EQ(kNullDevice, DosTarget(L"COM7"));
    EXPECT_EQ(L"COM7", MapValue(kMapValues[0]));
    EXPECT_EQ(std::vector<int>({7, 9}), harness::ClaimedComNumbers());
    EXPECT_EQ(1, restarts.ParamsSet());
    ExpectPageSavesUnder(sheet, L"COM7:", L"COM9:");
}

TEST_F(RenameTest, NumberInUseTakenWhenTheUserAgrees)
{
    harness::ResetComDb({7, 9});
    harness::BoxAnswerer boxes({IDYES});
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    EXPECT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({9}), harness::ClaimedComNumbers());
    // No [Ports] entry for the old name: the new one gets the default settings.
    EXPECT_EQ(L"9600,n,8,1", harness::ReadPortsValue(L"COM9:"));
}

TEST_F(RenameTest, PortHeldByAnotherProgramAsksFirstAndNoLeavesItsName)
{
    PortHolder holder(L"CorranHeldPort1");
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    Define(L"COM7", holder.Device());
    harness::BoxAnswerer boxes({IDNO});
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Communications Port Properties", boxes.Seen()[0].Caption);
    EXPECT_EQ(L"The port has been opened by another application.  Renaming the port may have an "
              L"unpredictable effect on the other application.  Do you wish to continue?",
              boxes.Seen()[0].Text);
    ExpectNotRenamed(sheet);
    EXPECT_EQ(holder.Device(), DosTarget(L"COM7"));
    EXPECT_EQ(L"", DosTarget(L"COM9"));
    EXPECT_EQ(std::vector<int>({7}), harness::ClaimedComNumbers());
}

TEST_F(RenameTest, PortHeldByAnotherProgramRenamedWhenTheUserAgrees)
{
    PortHolder holder(L"CorranHeldPort2");
    Define(L"COM7", holder.Device());
    harness::BoxAnswerer boxes({IDYES});
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    EXPECT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"", DosTarget(L"COM7"));
    EXPECT_EQ(holder.Device(), DosTarget(L"COM9"));
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
}

BOOL WINAPI RefuseToDefineCom9(DWORD flags, const wchar_t* name, const wchar_t* target)
{
    if ((flags & DDD_REMOVE_DEFINITION) == 0 && lstrcmpiW(name, L"COM9") == 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    return DefineDosDeviceW(flags, name, target);
}

TEST_F(RenameTest, NewDosNameThatCannotBeDefinedRestoresTheOldOne)
{
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    Define(L"COM7", kNullDevice);
    SetMapValue(kMapValues[0], REG_SZ, L"COM7");
    auto refuse = PATCH_PAGE_IMPORT("kernel32.dll", DefineDosDeviceW, RefuseToDefineCom9);
    harness::PropertyChangeRecorder restarts;
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Communications Port Properties", boxes.Seen()[0].Caption);
    EXPECT_EQ(L"There was an error renaming the COM port.", boxes.Seen()[0].Text);
    EXPECT_EQ(kNullDevice, DosTarget(L"COM7"));
    EXPECT_EQ(L"", DosTarget(L"COM9"));
    EXPECT_EQ(L"COM7", MapValue(kMapValues[0]));
    EXPECT_EQ(std::vector<int>({7}), harness::ClaimedComNumbers());
    ExpectNotRenamed(sheet);
    EXPECT_EQ(1, restarts.ParamsSet());
    // The page keeps the name the device still has.
    ExpectPageSavesUnder(sheet, L"COM7:", L"COM9:");
}

TEST_F(RenameTest, NewDosNameTakenByAnotherDeviceFailsTheRename)
{
    // Wine refuses to define a DOS name that exists; the old name must survive that.
    Define(L"COM7", kNullDevice);
    Define(L"COM9", L"\\Device\\Serial99");
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);

    ASSERT_TRUE(RenameTo(sheet, 9));

    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"There was an error renaming the COM port.", boxes.Seen()[0].Text);
    EXPECT_EQ(kNullDevice, DosTarget(L"COM7"));
    EXPECT_EQ(L"\\Device\\Serial99", DosTarget(L"COM9"));
    EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
}

// Blocks the DLL allocates get a guard band after their end: a write past the end (a buffer
// sized for the old name holding the longer new one) shows there when the block is freed, where
// the heap's own rounding would hide it.
constexpr size_t kGuardBytes = 16;
std::map<void*, size_t> guardedBlocks;
int guardBytesHit = 0;

HLOCAL WINAPI GuardedLocalAlloc(UINT flags, SIZE_T size)
{
    if ((flags & LMEM_MOVEABLE) != 0) {
        return LocalAlloc(flags, size);
    }
    auto* block = static_cast<BYTE*>(LocalAlloc(flags, size + kGuardBytes));
    if (block != nullptr) {
        std::memset(block + size, 0xAB, kGuardBytes);
        guardedBlocks[block] = size;
    }
    return block;
}

HLOCAL WINAPI GuardedLocalFree(HLOCAL block)
{
    auto found = guardedBlocks.find(block);
    if (found != guardedBlocks.end()) {
        const BYTE* guard = static_cast<const BYTE*>(block) + found->second;
        guardBytesHit += static_cast<int>(
            std::count_if(guard, guard + kGuardBytes, [](BYTE b) { return b != 0xAB; }));
        guardedBlocks.erase(found);
    }
    return LocalFree(block);
}

TEST_F(RenameTest, TitleChangesOnlyAtTheFirstOccurrenceOfTheOldName)
{
    auto alloc = PATCH_PAGE_IMPORT("kernel32.dll", LocalAlloc, GuardedLocalAlloc);
    auto release = PATCH_PAGE_IMPORT("kernel32.dll", LocalFree, GuardedLocalFree);
    guardBytesHit = 0;
    harness::Sheet sheet(port);
    SetWindowTextW(sheet.Window(), L"COM7 is COM7");
    ASSERT_TRUE(RenameTo(sheet, 123));
    EXPECT_EQ(L"COM123 is COM7", SheetTitle(sheet));
    EXPECT_EQ(0, guardBytesHit);

    // From "COM123" back to a shorter name, in a title that does not hold the old name.
    SetWindowTextW(sheet.Window(), L"Serial port properties");
    ASSERT_TRUE(RenameTo(sheet, 7));
    EXPECT_EQ(L"Serial port properties", SheetTitle(sheet));
    EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({7}), harness::ClaimedComNumbers());

    // The old name as the title's last word.
    SetWindowTextW(sheet.Window(), L"Properties of COM7");
    ASSERT_TRUE(RenameTo(sheet, 9));
    EXPECT_EQ(L"Properties of COM9", SheetTitle(sheet));
}

TEST_F(RenameTest, PortWithoutNameIsRenamedFromCOMX)
{
    port.DeleteDeviceValue(L"PortName");
    harness::ResetComDb({8}); // COM8 belongs to someone else
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_EQ(CB_ERR, dialog.PortNumberSelection());
        dialog.ChoosePortNumber(8);
        dialog.PressOk();
    }));

    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_EQ(L"COM9", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(L"Corran Multiport Serial Port (COM9)", port.FriendlyName());
    EXPECT_EQ(L"9600,n,8,1", harness::ReadPortsValue(L"COM9:"));
    // Releasing number 0 fails unnoticed; the claim goes through.
    EXPECT_EQ(std::vector<int>({8, 9}), harness::ClaimedComNumbers());
    // The sheet's title never held "COMX".
    EXPECT_EQ(kSheetTitle, SheetTitle(sheet));
}

int WINAPI LoadStringWithoutFriendlyFormat(HINSTANCE instance, UINT id, wchar_t* buffer, int length)
{
    if (id == IDS_FRIENDLY_NAME) {
        return 0;
    }
    return LoadStringW(instance, id, buffer, length);
}

TEST_F(RenameTest, FriendlyNameIsTheBareNameWithoutItsFormat)
{
    harness::Sheet sheet(port);
    auto strings = PATCH_PAGE_IMPORT("user32.dll", LoadStringW, LoadStringWithoutFriendlyFormat);
    ASSERT_TRUE(RenameTo(sheet, 9));
    EXPECT_EQ(L"COM9", port.FriendlyName());
}

} // namespace
