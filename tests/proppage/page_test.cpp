// The Port Settings page in a real property sheet: what it shows for a stored [Ports] value,
// what Apply writes, and when it writes nothing.
#include <gtest/gtest.h>

#include "harness.h"

namespace {

using harness::Port;
using harness::Sheet;

const int kLists[] = {IDC_BAUD_RATE, IDC_PARITY, IDC_DATA_BITS, IDC_STOP_BITS, IDC_FLOW_CONTROL};

std::vector<std::wstring> PortsKeys()
{
    wchar_t section[4096] = {};
    DWORD length = GetProfileSectionW(L"Ports", section, 4096);
    std::vector<std::wstring> keys;
    for (const wchar_t* entry = section; entry < section + length && *entry;
         entry += wcslen(entry) + 1) {
        std::wstring line(entry);
        keys.push_back(line.substr(0, line.find(L'=')));
    }
    return keys;
}

class PageTest : public testing::Test {
protected:
    void SetUp() override { harness::ResetPortsSection(); }

    // The five selections as indices, baud as its text.
    struct Shown {
        std::wstring Baud;
        int Parity, DataBits, StopBits, Flow;
    };
    static Shown What(const Sheet& sheet)
    {
        return {sheet.SelectedText(IDC_BAUD_RATE), sheet.Selection(IDC_PARITY),
                sheet.Selection(IDC_DATA_BITS), sheet.Selection(IDC_STOP_BITS),
                sheet.Selection(IDC_FLOW_CONTROL)};
    }
    static void ExpectShows(const Sheet& sheet, const wchar_t* baud, int parity, int dataBits,
                            int stopBits, int flow)
    {
        Shown shown = What(sheet);
        EXPECT_EQ(baud, shown.Baud);
        EXPECT_EQ(parity, shown.Parity);
        EXPECT_EQ(dataBits, shown.DataBits);
        EXPECT_EQ(stopBits, shown.StopBits);
        EXPECT_EQ(flow, shown.Flow);
    }
};

TEST_F(PageTest, ListsHoldTheirEntriesInOrder)
{
    Port port;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_EQ((std::vector<std::wstring>{
                  L"75",    L"110",   L"134",    L"150",    L"300",    L"600",    L"1200",
                  L"1800",  L"2400",  L"4800",   L"7200",   L"9600",   L"14400",  L"19200",
                  L"38400", L"57600", L"115200", L"128000", L"230400", L"460800", L"921600"}),
              sheet.Entries(IDC_BAUD_RATE));
    EXPECT_EQ((std::vector<std::wstring>{L"4", L"5", L"6", L"7", L"8"}),
              sheet.Entries(IDC_DATA_BITS));
    EXPECT_EQ((std::vector<std::wstring>{L"Even", L"Odd", L"None", L"Mark", L"Space"}),
              sheet.Entries(IDC_PARITY));
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"1.5", L"2"}), sheet.Entries(IDC_STOP_BITS));
    EXPECT_EQ((std::vector<std::wstring>{L"Xon / Xoff", L"Hardware", L"None"}),
              sheet.Entries(IDC_FLOW_CONTROL));
    EXPECT_TRUE(sheet.Enabled(IDC_ADVANCED));
    EXPECT_TRUE(sheet.Enabled(IDC_RESTORE_DEFAULTS));
}

TEST_F(PageTest, EmptyOrBlankValueIsReplacedByTheDefaultAtOnce)
{
    for (const wchar_t* stored : {static_cast<const wchar_t*>(nullptr), L"", L"    "}) {
        harness::ResetPortsSection();
        if (stored != nullptr) {
            harness::WritePortsValue(L"COM7:", stored);
        }
        Port port;
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        ExpectShows(sheet, L"9600", 2, 4, 0, 2);
        sheet.Close(); // cancelled: the default was written anyway
        EXPECT_EQ(L"9600,n,8,1", harness::ReadPortsValue(L"COM7:"));
    }
}

struct ReadCase {
    const wchar_t* Stored;
    const wchar_t* Baud;
    int Parity, DataBits, StopBits, Flow;
};

class StoredValue : public PageTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(StoredValue, IsShownByTheLists)
{
    const ReadCase& c = GetParam();
    harness::WritePortsValue(L"COM7:", c.Stored);
    Port port;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    SCOPED_TRACE(harness::Narrow(c.Stored));
    ExpectShows(sheet, c.Baud, c.Parity, c.DataBits, c.StopBits, c.Flow);
    EXPECT_FALSE(sheet.ApplyEnabled());
    sheet.Close();
    EXPECT_TRUE(writes.Writes().empty()); // reading writes nothing back
}

INSTANTIATE_TEST_SUITE_P(
    ReadingRules, StoredValue,
    testing::Values(ReadCase{L"19200,e,7,1.5,x", L"19200", 0, 3, 1, 0},
                    ReadCase{L"115200,o,5,2,p", L"115200", 1, 1, 2, 1},
                    ReadCase{L"300,m,4,1", L"300", 3, 0, 0, 2},
                    ReadCase{L"600,s,6,1", L"600", 4, 2, 0, 2},
                    ReadCase{L"9600,N,8,1", L"9600", 2, 4, 0, 2}, // upper case: None
                    ReadCase{L"9600,E,8,1", L"9600", 2, 4, 0, 2}, // upper case: None
                    ReadCase{L"9600,n,9,1", L"9600", 2, 4, 0, 2}, // unknown data bits: 8
                    ReadCase{L"9600,n,8,1.5", L"9600", 2, 4, 1, 2},
                    ReadCase{L"9600,n,8,3", L"9600", 2, 4, 0, 2}, // unknown stop bits: 1
                    ReadCase{L"9600,n,8,1,p", L"9600", 2, 4, 0, 1},
                    ReadCase{L"9600,n,8,1 ", L"9600", 2, 4, 0, 2},
                    ReadCase{L"9600,n,8,2  ", L"9600", 2, 4, 2, 2}, // the page's own output
                    ReadCase{L"9600,n,8,2 ,x", L"9600", 2, 4, 2, 0},
                    ReadCase{L"9600,n,8,1,x,p", L"9600", 2, 4, 0, 0}, // later fields ignored
                    ReadCase{L"9600", L"9600", 2, 4, 0, 2},           // missing fields
                    ReadCase{L"96,e,8,1", L"9600", 0, 4, 0, 2},       // prefix match
                    ReadCase{L"1,n,8,1", L"110", 2, 4, 0, 2},      // first entry beginning with 1
                    ReadCase{L",e,8,1", L"75", 0, 4, 0, 2},        // empty baud field
                    ReadCase{L"56000,n,8,1", L"75", 2, 4, 0, 2})); // no entry: the first

TEST_F(PageTest, ChangingAListEnablesApplyWithoutWriting)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_FALSE(sheet.ApplyEnabled());
    sheet.Choose(IDC_DATA_BITS, 3);
    EXPECT_TRUE(sheet.ApplyEnabled());
    EXPECT_EQ(L"9600,n,8,1", harness::ReadPortsValue(L"COM7:"));
}

TEST_F(PageTest, ApplyWritesTheChangedValueBroadcastsAndRestartsTheDevice)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    harness::BroadcastListener listener;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Choose(IDC_FLOW_CONTROL, 1);
    EXPECT_TRUE(sheet.Apply()); // the page answers PSNRET_NOERROR
    EXPECT_EQ(L"9600,n,8,1,p", harness::ReadPortsValue(L"COM7:"));
    EXPECT_EQ(1, listener.PortsBroadcasts());
    EXPECT_EQ(1, restarts.ParamsSet());
    EXPECT_EQ(1, restarts.InstallerCalls());
    EXPECT_EQ(DWORD(DIF_PROPERTYCHANGE), restarts.LastInstallFunction());
    EXPECT_EQ(DWORD(DICS_PROPCHANGE), restarts.LastStateChange());
    EXPECT_EQ(DWORD(DICS_FLAG_GLOBAL), restarts.LastScope());
    EXPECT_EQ(port.Set(), restarts.LastSet());
    EXPECT_EQ(port.Data(), restarts.LastData());
}

// What the page passes to SendMessageTimeoutW for the profile change broadcast.
struct BroadcastCall {
    HWND Window;
    UINT Message;
    WPARAM WParam;
    std::wstring Section;
    UINT Flags;
    UINT Timeout;
    bool ResultWanted;
};
std::vector<BroadcastCall> broadcastCalls;

LRESULT WINAPI RecordBroadcast(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                               UINT timeout, PDWORD_PTR result)
{
    broadcastCalls.push_back({window, message, wParam,
                              lParam != 0 ? reinterpret_cast<const wchar_t*>(lParam) : L"", flags,
                              timeout, result != nullptr});
    return SendMessageTimeoutW(window, message, wParam, lParam, flags, timeout, result);
}

TEST_F(PageTest, ApplyBroadcastsToEveryTopLevelWindowWithoutWaitingForHungOnes)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    harness::BroadcastListener listener;
    harness::PropertyChangeRecorder restarts;
    broadcastCalls.clear();
    auto patch = PATCH_PAGE_IMPORT("user32.dll", SendMessageTimeoutW, RecordBroadcast);
    ASSERT_TRUE(patch.Applied());
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Choose(IDC_PARITY, 0);
    sheet.Apply();
    ASSERT_EQ(1u, broadcastCalls.size());
    const BroadcastCall& call = broadcastCalls[0];
    EXPECT_EQ(reinterpret_cast<HWND>(-1), call.Window);
    EXPECT_EQ(UINT(WM_WININICHANGE), call.Message);
    EXPECT_EQ(0u, call.WParam);
    EXPECT_EQ(L"Ports", call.Section);
    EXPECT_EQ(UINT(SMTO_ABORTIFHUNG), call.Flags);
    EXPECT_EQ(1000u, call.Timeout);
    EXPECT_FALSE(call.ResultWanted);
    EXPECT_EQ(1, listener.PortsBroadcasts()); // the handle -1 still reaches every window
}

TEST_F(PageTest, ApplyComposesEverySelection)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Choose(IDC_BAUD_RATE, 16); // 115200
    sheet.Choose(IDC_PARITY, 0);
    sheet.Choose(IDC_DATA_BITS, 3);
    sheet.Choose(IDC_STOP_BITS, 2);
    sheet.Choose(IDC_FLOW_CONTROL, 0);
    sheet.Apply();
    EXPECT_EQ(L"115200,e,7,2 ,x", harness::ReadPortsValue(L"COM7:"));
    sheet.Choose(IDC_BAUD_RATE, 13); // 19200
    sheet.Choose(IDC_STOP_BITS, 1);
    sheet.Choose(IDC_FLOW_CONTROL, 2);
    sheet.Apply();
    EXPECT_EQ(L"19200,e,7,1.5 ", writes.Last());
    EXPECT_EQ(2, restarts.InstallerCalls());
}

TEST_F(PageTest, ApplyWithNothingChangedWritesNothing)
{
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1.5,x");
    Port port;
    harness::BroadcastListener listener;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Choose(IDC_PARITY, 0); // the same entry again
    sheet.Apply();
    EXPECT_EQ(L"19200,e,7,1.5,x", harness::ReadPortsValue(L"COM7:"));
    EXPECT_EQ(0, listener.PortsBroadcasts());
    EXPECT_EQ(0, restarts.ParamsSet());
    EXPECT_EQ(0, restarts.InstallerCalls());
}

TEST_F(PageTest, SecondApplyComparesWithWhatTheFirstWrote)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    harness::BroadcastListener listener;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Choose(IDC_FLOW_CONTROL, 1);
    sheet.Apply();
    sheet.Apply(); // nothing changed since the first Apply
    EXPECT_EQ(1, restarts.InstallerCalls());
    EXPECT_EQ(1, listener.PortsBroadcasts());
    sheet.Choose(IDC_FLOW_CONTROL, 2); // back to what was read when the page opened
    sheet.Apply();
    EXPECT_EQ(L"9600,n,8,1 ", writes.Last());
    EXPECT_EQ(2, restarts.InstallerCalls());
}

TEST_F(PageTest, UntouchedBaudListKeepsAStoredRateItCannotShow)
{
    harness::WritePortsValue(L"COM7:", L"56000,n,8,1");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_EQ(L"75", sheet.SelectedText(IDC_BAUD_RATE));
    sheet.Apply(); // nothing touched: nothing written
    EXPECT_EQ(L"56000,n,8,1", harness::ReadPortsValue(L"COM7:"));
    EXPECT_EQ(0, restarts.InstallerCalls());
    sheet.Choose(IDC_PARITY, 0);
    sheet.Apply(); // parity changed, the rate stays
    EXPECT_EQ(L"56000,e,8,1 ", writes.Last());
    sheet.Choose(IDC_BAUD_RATE, 11);
    sheet.Apply(); // a picked rate is written
    EXPECT_EQ(L"9600,e,8,1 ", writes.Last());
    EXPECT_EQ(2, restarts.InstallerCalls());
}

TEST_F(PageTest, UntouchedBaudListKeepsAPrefixOnlyRate)
{
    harness::WritePortsValue(L"COM7:", L"96,n,8,1");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_EQ(L"9600", sheet.SelectedText(IDC_BAUD_RATE));
    sheet.Apply();
    EXPECT_EQ(L"96,n,8,1", harness::ReadPortsValue(L"COM7:"));
    sheet.Choose(IDC_DATA_BITS, 3);
    sheet.Apply();
    EXPECT_EQ(L"96,n,7,1 ", writes.Last());
}

TEST_F(PageTest, RestoreDefaultsSelectsTheDefaultsAndWritesOnlyOnApply)
{
    harness::WritePortsValue(L"COM7:", L"115200,e,7,2 ,x");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    ExpectShows(sheet, L"115200", 0, 3, 2, 0);
    sheet.Press(IDC_RESTORE_DEFAULTS);
    ExpectShows(sheet, L"9600", 2, 4, 0, 2);
    EXPECT_TRUE(sheet.ApplyEnabled());
    EXPECT_EQ(L"115200,e,7,2 ,x", harness::ReadPortsValue(L"COM7:"));
    sheet.Apply();
    EXPECT_EQ(L"9600,n,8,1 ", writes.Last());
    EXPECT_EQ(1, restarts.InstallerCalls());
}

TEST_F(PageTest, RestoreDefaultsReplacesARateTheListCannotShow)
{
    harness::WritePortsValue(L"COM7:", L"56000,n,8,1");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    sheet.Press(IDC_RESTORE_DEFAULTS);
    sheet.Apply();
    EXPECT_EQ(L"9600,n,8,1 ", writes.Last());
}

// "PortName": without a usable name the page shows the list defaults, writes no default value and
// Apply saves nothing (there would be no key but a bare ":").
struct NameCase {
    const char* Name;
    DWORD Type;
    std::vector<wchar_t> Data; // stored exactly, no terminator added; empty with type 0: absent
};

class UnusablePortName : public PageTest, public testing::WithParamInterface<NameCase> {};

TEST_P(UnusablePortName, SavesNothing)
{
    const NameCase& c = GetParam();
    Port port(nullptr);
    if (c.Type != 0) {
        port.SetDeviceValue(L"PortName", c.Type, c.Data.data(),
                            static_cast<DWORD>(c.Data.size() * sizeof(wchar_t)));
    }
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    ExpectShows(sheet, L"9600", 2, 4, 0, 2);
    for (int list : kLists) {
        EXPECT_TRUE(sheet.Enabled(list));
    }
    sheet.Choose(IDC_PARITY, 0);
    sheet.Apply();
    EXPECT_TRUE(PortsKeys().empty());
    EXPECT_EQ(0, restarts.InstallerCalls());
}

std::vector<wchar_t> Units(const wchar_t* text, bool terminator)
{
    std::vector<wchar_t> units(text, text + wcslen(text));
    if (terminator) {
        units.push_back(L'\0');
    }
    return units;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, UnusablePortName,
    testing::Values(NameCase{"Absent", 0, {}}, NameCase{"Empty", REG_SZ, Units(L"", true)},
                    NameCase{"FillsTheBufferUnterminated", REG_SZ,
                             Units(L"COM45678901234567890", false)},
                    NameCase{"LongerThanTheBuffer", REG_SZ, Units(L"COM456789012345678901", true)},
                    NameCase{"NotAString", REG_BINARY, Units(L"COM9", true)}),
    [](const testing::TestParamInfo<NameCase>& info) { return info.param.Name; });

TEST_F(PageTest, LongestNameThatFitsAndAnUnterminatedShortNameAreUsed)
{
    {
        Port port(nullptr);
        std::vector<wchar_t> name = Units(L"COM4567890123456789", true); // 20 units with terminator
        port.SetDeviceValue(L"PortName", REG_SZ, name.data(), 40);
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        EXPECT_EQ(L"9600,n,8,1", harness::ReadPortsValue(L"COM4567890123456789:"));
    }
    {
        Port port(nullptr);
        port.SetDeviceValue(L"PortName", REG_SZ, L"COM9", 8); // no terminator stored
        harness::WritePortsValue(L"COM9:", L"2400,o,8,1");
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        EXPECT_EQ(L"2400", sheet.SelectedText(IDC_BAUD_RATE));
    }
}

// The property change request: the wait cursor while it runs, the previous cursor afterwards,
// and no class installer call when the parameters cannot be set.
std::vector<HCURSOR> cursors;
HCURSOR WINAPI RecordSetCursor(HCURSOR cursor)
{
    cursors.push_back(cursor);
    return SetCursor(cursor);
}

TEST_F(PageTest, PropertyChangeRequestRestoresTheCursorOnBothPaths)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    Port port;
    auto cursorPatch = PATCH_PAGE_IMPORT("user32.dll", SetCursor, RecordSetCursor);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    for (BOOL paramsAccepted : {TRUE, FALSE}) {
        SetCursor(arrow);
        cursors.clear();
        harness::PropertyChangeRecorder restarts(paramsAccepted);
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        sheet.Choose(IDC_STOP_BITS, paramsAccepted ? 2 : 0);
        sheet.Apply();
        EXPECT_EQ(1, restarts.ParamsSet());
        EXPECT_EQ(paramsAccepted ? 1 : 0, restarts.InstallerCalls());
        ASSERT_EQ(2u, cursors.size());
        EXPECT_EQ(wait, cursors[0]);
        EXPECT_EQ(arrow, cursors[1]);
    }
}

// The stop-bits list shows the user's decimal separator; the stored text keeps the full stop.
class CommaLocale : public PageTest {
protected:
    void SetUp() override
    {
        PageTest::SetUp();
        GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved_, 8);
        ASSERT_TRUE(SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L","));
    }
    void TearDown() override { SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, saved_); }
    wchar_t saved_[8] = {};
};

TEST_F(CommaLocale, StopBitsShowTheSeparatorAndStoreAFullStop)
{
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1.5");
    Port port;
    harness::PropertyChangeRecorder restarts;
    harness::ProfileWriteRecorder writes;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"1,5", L"2"}), sheet.Entries(IDC_STOP_BITS));
    EXPECT_EQ(1, sheet.Selection(IDC_STOP_BITS));
    sheet.Choose(IDC_STOP_BITS, 0);
    sheet.Apply();
    sheet.Choose(IDC_STOP_BITS, 1);
    sheet.Apply();
    EXPECT_EQ(L"9600,n,8,1.5 ", writes.Last());
}

TEST_F(CommaLocale, SeparatorLongerThanOneCharacterLeavesTheFullStop)
{
    ASSERT_TRUE(SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, L"::"));
    Port port;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_EQ((std::vector<std::wstring>{L"1", L"1.5", L"2"}), sheet.Entries(IDC_STOP_BITS));
}

} // namespace

namespace {

// Context help goes to Device Manager's help file with the page's table of topics.
struct HelpCall {
    HWND Window;
    std::wstring File;
    UINT Command;
    std::vector<DWORD> Table;
};
std::vector<HelpCall> helpCalls;

BOOL WINAPI RecordWinHelp(HWND window, LPCWSTR file, UINT command, ULONG_PTR data)
{
    HelpCall call{window, file ? file : L"", command, {}};
    for (auto entry = reinterpret_cast<const DWORD*>(data); entry != nullptr; entry += 2) {
        call.Table.push_back(entry[0]);
        call.Table.push_back(entry[1]);
        if (entry[0] == 0 && entry[1] == 0) {
            break;
        }
    }
    helpCalls.push_back(call);
    return TRUE;
}

TEST_F(PageTest, ContextHelpUsesDeviceManagersHelpFile)
{
    auto help = PATCH_PAGE_IMPORT("user32.dll", WinHelpW, RecordWinHelp);
    helpCalls.clear();
    Port port;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());

    HELPINFO info = {};
    info.cbSize = sizeof(info);
    info.iContextType = HELPINFO_WINDOW;
    info.iCtrlId = IDC_PARITY;
    info.hItemHandle = sheet.Control(IDC_PARITY);
    SendMessageW(sheet.Page(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    info.iContextType = HELPINFO_MENUITEM; // not for a window: no help
    info.hItemHandle = sheet.Control(IDC_BAUD_RATE);
    SendMessageW(sheet.Page(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
    SendMessageW(sheet.Page(), WM_CONTEXTMENU,
                 reinterpret_cast<WPARAM>(sheet.Control(IDC_BAUD_RATE)), 0);

    const std::vector<DWORD> table = {DWORD(-1), DWORD(-1), 840, 15840, 841, 15841,
                                      842,       15842,     843, 15843, 844, 15844,
                                      845,       15845,     892, 15892, 0,   0};
    ASSERT_EQ(2u, helpCalls.size());
    EXPECT_EQ(sheet.Control(IDC_PARITY), helpCalls[0].Window);
    EXPECT_EQ(L"devmgr.hlp", helpCalls[0].File);
    EXPECT_EQ(UINT(HELP_WM_HELP), helpCalls[0].Command);
    EXPECT_EQ(table, helpCalls[0].Table);
    EXPECT_EQ(sheet.Control(IDC_BAUD_RATE), helpCalls[1].Window);
    EXPECT_EQ(UINT(HELP_CONTEXTMENU), helpCalls[1].Command);
    EXPECT_EQ(table, helpCalls[1].Table);
}

// A list whose string resource cannot be loaded stays empty, and Apply then saves nothing.
UINT missingString;
int WINAPI LoadStringWithout(HINSTANCE instance, UINT id, LPWSTR buffer, int length)
{
    if (id == missingString) {
        return 0;
    }
    return LoadStringW(instance, id, buffer, length);
}

TEST_F(PageTest, MissingListStringLeavesTheListEmptyAndApplySavesNothing)
{
    auto strings = PATCH_PAGE_IMPORT("user32.dll", LoadStringW, LoadStringWithout);
    for (UINT id : {IDS_PARITY_LIST, IDS_STOP_BITS_LIST, IDS_FLOW_CONTROL_LIST}) {
        missingString = id;
        harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
        Port port;
        harness::ProfileWriteRecorder writes;
        harness::PropertyChangeRecorder restarts;
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        int list = id == IDS_PARITY_LIST      ? IDC_PARITY
                   : id == IDS_STOP_BITS_LIST ? IDC_STOP_BITS
                                              : IDC_FLOW_CONTROL;
        EXPECT_TRUE(sheet.Entries(list).empty()) << id;
        sheet.Choose(IDC_DATA_BITS, 2);
        EXPECT_TRUE(sheet.Apply());
        EXPECT_TRUE(writes.Writes().empty()) << id;
        EXPECT_EQ(0, restarts.ParamsSet()) << id;
    }
}

} // namespace
