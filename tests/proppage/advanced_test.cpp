// The Advanced Communications Port Properties dialog, opened from the Port Settings page of a
// real property sheet and worked through its controls: the FIFO values it reads and repairs in
// the device key, what its trackbars and labels show, Defaults, and what OK and Cancel write.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "advanced_driver.h"
#include "harness.h"

namespace {

using advanced::Dialog;
using harness::Narrow;

constexpr int kFifoControls[] = {IDC_RX_TRACKBAR,   IDC_RX_LOW_LABEL, IDC_RX_HIGH_LABEL,
                                 IDC_RX_CAPTION,    IDC_TX_TRACKBAR,  IDC_TX_LOW_LABEL,
                                 IDC_TX_HIGH_LABEL, IDC_TX_CAPTION};

struct StoredValue {
    bool Present = false;
    DWORD Type = REG_NONE;
    DWORD Size = 0;
    DWORD Dword = 0; // the first four bytes
};

class AdvancedDialogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(port.Valid());
        harness::ResetComDb({7});
        harness::ResetPortsSection();
    }

    void SetDword(const wchar_t* name, DWORD value)
    {
        port.SetDeviceValue(name, REG_DWORD, &value, sizeof(value));
    }
    void SetBinary(const wchar_t* name, std::initializer_list<BYTE> bytes)
    {
        std::vector<BYTE> data(bytes);
        port.SetDeviceValue(name, REG_BINARY, data.data(), static_cast<DWORD>(data.size()));
    }

    StoredValue Stored(const wchar_t* name)
    {
        StoredValue stored;
        HKEY key = port.OpenDeviceKey(KEY_READ);
        EXPECT_NE(key, INVALID_HANDLE_VALUE);
        BYTE data[64] = {};
        DWORD size = sizeof(data);
        if (RegQueryValueExW(key, name, nullptr, &stored.Type, data, &size) == ERROR_SUCCESS) {
            stored.Present = true;
            stored.Size = size;
            CopyMemory(&stored.Dword, data, sizeof(DWORD));
        }
        RegCloseKey(key);
        return stored;
    }

    // A value as the dialog writes it: a four-byte REG_DWORD.
    void ExpectDword(const wchar_t* name, DWORD expected)
    {
        StoredValue stored = Stored(name);
        EXPECT_TRUE(stored.Present) << Narrow(name) << " is missing";
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.Type) << Narrow(name);
        EXPECT_EQ(sizeof(DWORD), stored.Size) << Narrow(name);
        EXPECT_EQ(expected, stored.Dword) << Narrow(name);
    }

    static void ExpectFifoControlsEnabled(const Dialog& dialog, bool enabled)
    {
        for (int id : kFifoControls) {
            EXPECT_EQ(enabled, dialog.Enabled(id)) << "control " << id;
        }
    }

    harness::Port port{L"COM7"};
};

// ---- Reading and repairing the device values ---------------------------------------------------

TEST_F(AdvancedDialogTest, MissingValuesAreCreatedAndShownAtTheirMaxima)
{
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());

    bool opened = advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"Advanced Settings for COM7", dialog.Title());
        EXPECT_EQ(1, dialog.RangeMin(IDC_RX_TRACKBAR));
        EXPECT_EQ(4, dialog.RangeMax(IDC_RX_TRACKBAR));
        EXPECT_EQ(4, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(1, dialog.RangeMin(IDC_TX_TRACKBAR));
        EXPECT_EQ(16, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(16, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_EQ(L"Low (1)", dialog.Text(IDC_RX_LOW_LABEL));
        EXPECT_EQ(L"High (14)", dialog.Text(IDC_RX_HIGH_LABEL));
        EXPECT_EQ(L"Low (1)", dialog.Text(IDC_TX_LOW_LABEL));
        EXPECT_EQ(L"High (16)", dialog.Text(IDC_TX_HIGH_LABEL));
        // No "EnableFifo64": the port has no 64-byte option to offer.
        EXPECT_FALSE(dialog.Fifo64Checked());
        EXPECT_FALSE(dialog.Enabled(IDC_FIFO64));
        ExpectFifoControlsEnabled(dialog, true);
    });
    ASSERT_TRUE(opened);

    // The repairs made at start-up stay, although the user cancelled.
    ExpectDword(L"ForceFifoEnable", 1);
    ExpectDword(L"RxFIFO", 14);
    ExpectDword(L"TxFIFO", 16);
    EXPECT_FALSE(Stored(L"EnableFifo64").Present);
    EXPECT_FALSE(Stored(L"FifoRxMax").Present);
    EXPECT_FALSE(Stored(L"FifoTxMax").Present);
    EXPECT_EQ(0, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, ValuesAboveTheLimitsAreCappedAndRepaired)
{
    SetDword(L"FifoRxMax", 30);
    SetDword(L"FifoTxMax", 40);
    SetDword(L"RxFIFO", 15);
    SetDword(L"TxFIFO", 17);
    SetDword(L"ForceFifoEnable", 0);
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(4, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(16, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(16, dialog.Position(IDC_TX_TRACKBAR));
    }));
    ExpectDword(L"RxFIFO", 14);
    ExpectDword(L"TxFIFO", 16);
    // Present values are never touched, whatever they hold.
    ExpectDword(L"ForceFifoEnable", 0);
    ExpectDword(L"FifoRxMax", 30);
    ExpectDword(L"FifoTxMax", 40);
}

TEST_F(AdvancedDialogTest, RepairsUseThePortsOwnMaxima)
{
    SetDword(L"FifoRxMax", 8);
    SetDword(L"FifoTxMax", 8);
    SetDword(L"RxFIFO", 20);
    SetDword(L"TxFIFO", 16); // not above 16: kept, although above this port's maximum
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_EQ(3, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(L"High (8)", dialog.Text(IDC_RX_HIGH_LABEL));
        EXPECT_EQ(8, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(8, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_EQ(L"High (8)", dialog.Text(IDC_TX_HIGH_LABEL));
        dialog.PressOk();
    }));
    ExpectDword(L"RxFIFO", 8);
    // OK stores what the trackbar shows.
    ExpectDword(L"TxFIFO", 8);
    EXPECT_EQ(1, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, ValuesOfTheWrongSizeCountAsUnreadable)
{
    SetBinary(L"RxFIFO", {4, 0}); // two bytes
    DWORD64 wide = 3;
    port.SetDeviceValue(L"TxFIFO", REG_QWORD, &wide, sizeof(wide)); // eight bytes
    SetBinary(L"EnableFifo64", {1});                                // one byte
    SetBinary(L"FifoRxMax", {4, 0, 0});                             // three bytes
    SetBinary(L"ForceFifoEnable", {0, 0});
    SetBinary(L"FifoTxMax", {5, 0, 0, 0}); // four bytes of any type are a number
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(4, dialog.Position(IDC_RX_TRACKBAR)); // FifoRxMax unreadable: 14
        EXPECT_EQ(5, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(5, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_FALSE(dialog.Enabled(IDC_FIFO64));
        EXPECT_FALSE(dialog.Fifo64Checked());
    }));
    ExpectDword(L"RxFIFO", 14);
    ExpectDword(L"TxFIFO", 5);
    ExpectDword(L"ForceFifoEnable", 1);
    // The option is not the dialog's to create or rewrite.
    StoredValue fifo64 = Stored(L"EnableFifo64");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), fifo64.Type);
    EXPECT_EQ(1u, fifo64.Size);
}

TEST_F(AdvancedDialogTest, TransmitMaximumOfZeroGivesOneUsableDepth)
{
    SetDword(L"FifoTxMax", 0);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_EQ(1, dialog.RangeMin(IDC_TX_TRACKBAR));
        EXPECT_EQ(1, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(1, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_EQ(L"High (1)", dialog.Text(IDC_TX_HIGH_LABEL));
        dialog.Key(IDC_TX_TRACKBAR, VK_END);
        EXPECT_EQ(1, dialog.Position(IDC_TX_TRACKBAR));
        dialog.PressDefaults();
        EXPECT_EQ(1, dialog.Position(IDC_TX_TRACKBAR));
        dialog.PressOk();
    }));
    ExpectDword(L"TxFIFO", 1);
    EXPECT_EQ(0, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, PortNameThatIsNoUsableStringReadsAsCOMX)
{
    struct Case {
        const char* What;
        DWORD Type;
        std::wstring Data; // stored without terminator unless it contains one
    };
    const Case cases[] = {
        {"a number", REG_DWORD, std::wstring(L"\x0007\x0000", 2)},
        {"twenty units without terminator", REG_SZ, L"COM12345678901234567"},
        {"binary text", REG_BINARY, std::wstring(L"COM3\0", 5)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        port.SetDeviceValue(L"PortName", c.Type, c.Data.data(),
                            static_cast<DWORD>(c.Data.size() * sizeof(wchar_t)));
        harness::Sheet sheet(port);
        ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
            EXPECT_EQ(L"Advanced Settings for COMX", dialog.Title());
            EXPECT_EQ(256u, dialog.PortNumbers().size());
            EXPECT_EQ(CB_ERR, dialog.PortNumberSelection());
            EXPECT_TRUE(dialog.Enabled(IDC_PORT_NUMBER));
        }));
        // Nothing is written in its place.
        EXPECT_EQ(c.Type, Stored(L"PortName").Type);
    }
}

TEST_F(AdvancedDialogTest, LongestPortNameIsReadWhole)
{
    // Nineteen characters and the terminator fill the 40-byte buffer exactly.
    port.SetPortName(L"COM0000000000000009");
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"Advanced Settings for COM0000000000000009", dialog.Title());
        EXPECT_EQ(8, dialog.PortNumberSelection());
    }));
}

TEST_F(AdvancedDialogTest, ShortPortNamesHaveNoNumber)
{
    for (const wchar_t* name : {L"CO", L"COM", L"C"}) {
        SCOPED_TRACE(Narrow(name));
        port.SetPortName(name);
        harness::Sheet sheet(port);
        ASSERT_TRUE(advanced::OpenAndCancel(sheet, [&](Dialog& dialog) {
            EXPECT_EQ(std::wstring(L"Advanced Settings for ") + name, dialog.Title());
            EXPECT_EQ(CB_ERR, dialog.PortNumberSelection());
            // Every entry begins with such a name, so Defaults picks the first one.
            dialog.PressDefaults();
            EXPECT_EQ(0, dialog.PortNumberSelection());
        }));
    }
}

TEST_F(AdvancedDialogTest, EmptyPortNameDisablesTheNumberList)
{
    port.SetPortName(L"");
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"Advanced Settings for ", dialog.Title());
        EXPECT_TRUE(dialog.PortNumbers().empty());
        EXPECT_FALSE(dialog.Enabled(IDC_PORT_NUMBER));
        EXPECT_FALSE(dialog.Enabled(IDC_PORT_NUMBER_LABEL));
        ExpectFifoControlsEnabled(dialog, true);
    }));
}

// ---- Trackbars and labels ----------------------------------------------------------------------

TEST_F(AdvancedDialogTest, LabelsFollowTheTrackbarsInBothFifoSizes)
{
    SetDword(L"EnableFifo64", 0);
    SetDword(L"RxFIFO", 1);
    SetDword(L"TxFIFO", 16);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_TRUE(dialog.Enabled(IDC_FIFO64));
        EXPECT_FALSE(dialog.Fifo64Checked());
        EXPECT_EQ(1, dialog.Position(IDC_RX_TRACKBAR));

        const wchar_t* small[] = {L"High (1)", L"High (4)", L"High (8)", L"High (14)"};
        EXPECT_EQ(small[0], dialog.Text(IDC_RX_HIGH_LABEL));
        for (int position = 2; position <= 4; ++position) {
            dialog.Key(IDC_RX_TRACKBAR, VK_RIGHT);
            EXPECT_EQ(position, dialog.Position(IDC_RX_TRACKBAR));
            EXPECT_EQ(small[position - 1], dialog.Text(IDC_RX_HIGH_LABEL));
        }

        // The 64-byte option switches both labels at once.
        dialog.ClickFifo64();
        EXPECT_TRUE(dialog.Fifo64Checked());
        EXPECT_EQ(L"High (56)", dialog.Text(IDC_RX_HIGH_LABEL));
        EXPECT_EQ(L"High (64)", dialog.Text(IDC_TX_HIGH_LABEL));

        const wchar_t* large[] = {L"High (1)", L"High (16)", L"High (32)", L"High (56)"};
        dialog.Key(IDC_RX_TRACKBAR, VK_HOME);
        EXPECT_EQ(large[0], dialog.Text(IDC_RX_HIGH_LABEL));
        for (int position = 2; position <= 4; ++position) {
            dialog.Drag(IDC_RX_TRACKBAR, position);
            EXPECT_EQ(large[position - 1], dialog.Text(IDC_RX_HIGH_LABEL));
        }
        dialog.Key(IDC_TX_TRACKBAR, VK_HOME);
        EXPECT_EQ(L"High (4)", dialog.Text(IDC_TX_HIGH_LABEL));
        dialog.Drag(IDC_TX_TRACKBAR, 10);
        EXPECT_EQ(L"High (40)", dialog.Text(IDC_TX_HIGH_LABEL));
        // The Low labels never scale.
        EXPECT_EQ(L"Low (1)", dialog.Text(IDC_RX_LOW_LABEL));
        EXPECT_EQ(L"Low (1)", dialog.Text(IDC_TX_LOW_LABEL));

        dialog.ClickFifo64();
        EXPECT_EQ(L"High (14)", dialog.Text(IDC_RX_HIGH_LABEL));
        EXPECT_EQ(L"High (10)", dialog.Text(IDC_TX_HIGH_LABEL));
        dialog.ClickFifo64();

        dialog.Drag(IDC_RX_TRACKBAR, 2);
        dialog.PressOk();
    }));
    // The registry holds the 16-byte level and the plain depth, whatever the labels showed.
    ExpectDword(L"EnableFifo64", 1);
    ExpectDword(L"RxFIFO", 4);
    ExpectDword(L"TxFIFO", 10);
    EXPECT_EQ(1, restarts.ParamsSet());
    EXPECT_EQ(1, restarts.InstallerCalls());
    EXPECT_EQ(static_cast<DWORD>(DICS_PROPCHANGE), restarts.LastStateChange());
    EXPECT_EQ(port.Set(), restarts.LastSet());
}

TEST_F(AdvancedDialogTest, ReceiveDepthBetweenLevelsShowsTheNextLevelAndIsStoredAsIt)
{
    struct Case {
        DWORD Stored;
        LRESULT Position;
        const wchar_t* High;
        DWORD Saved;
    };
    const Case cases[] = {{0, 1, L"High (1)", 1},
                          {2, 2, L"High (4)", 4},
                          {5, 3, L"High (8)", 8},
                          {9, 4, L"High (14)", 14},
                          {13, 4, L"High (14)", 14}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stored);
        SetDword(L"RxFIFO", c.Stored);
        harness::PropertyChangeRecorder restarts;
        harness::Sheet sheet(port);
        ASSERT_TRUE(advanced::RunAdvanced(sheet, [&](Dialog& dialog) {
            EXPECT_EQ(c.Position, dialog.Position(IDC_RX_TRACKBAR));
            EXPECT_EQ(c.High, dialog.Text(IDC_RX_HIGH_LABEL));
            dialog.PressOk();
        }));
        ExpectDword(L"RxFIFO", c.Saved);
        EXPECT_EQ(1, restarts.ParamsSet());
    }
}

// ---- Defaults ---------------------------------------------------------------------------------

TEST_F(AdvancedDialogTest, DefaultsRestoreTheMaximaTheOptionAndThePortsOwnNumber)
{
    SetDword(L"FifoRxMax", 8);
    SetDword(L"FifoTxMax", 12);
    SetDword(L"EnableFifo64", 0);
    SetDword(L"RxFIFO", 1);
    SetDword(L"TxFIFO", 3);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        dialog.ChoosePortNumber(8);
        EXPECT_EQ(8, dialog.PortNumberSelection());
        dialog.PressDefaults();
        EXPECT_TRUE(dialog.Fifo64Checked());
        EXPECT_EQ(3, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(L"High (32)", dialog.Text(IDC_RX_HIGH_LABEL));
        EXPECT_EQ(12, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_EQ(L"High (48)", dialog.Text(IDC_TX_HIGH_LABEL));
        EXPECT_EQ(6, dialog.PortNumberSelection()); // COM7 again
        dialog.PressOk();
    }));
    ExpectDword(L"EnableFifo64", 1);
    ExpectDword(L"RxFIFO", 8);
    ExpectDword(L"TxFIFO", 12);
    // No rename happened.
    EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({7}), harness::ClaimedComNumbers());
    EXPECT_EQ(1, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, DefaultsLeaveAnAbsentOptionAlone)
{
    SetDword(L"RxFIFO", 4);
    SetDword(L"TxFIFO", 2);
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        dialog.PressDefaults();
        EXPECT_FALSE(dialog.Fifo64Checked());
        EXPECT_FALSE(dialog.Enabled(IDC_FIFO64));
        EXPECT_EQ(4, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(16, dialog.Position(IDC_TX_TRACKBAR));
        dialog.PressOk();
    }));
    EXPECT_FALSE(Stored(L"EnableFifo64").Present);
    ExpectDword(L"RxFIFO", 14);
    ExpectDword(L"TxFIFO", 16);
}

// ---- What OK and Cancel write -------------------------------------------------------------------

TEST_F(AdvancedDialogTest, OkWithNothingChangedWritesNothingAndRestartsNothing)
{
    // Stored as four-byte binaries: any write would turn them into REG_DWORD.
    SetBinary(L"RxFIFO", {8, 0, 0, 0});
    SetBinary(L"TxFIFO", {5, 0, 0, 0});
    SetBinary(L"EnableFifo64", {1, 0, 0, 0});
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1,x");
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);

    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_TRUE(dialog.Fifo64Checked());
        EXPECT_EQ(3, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(5, dialog.Position(IDC_TX_TRACKBAR));
        // Moved and moved back, toggled and toggled back.
        dialog.Key(IDC_RX_TRACKBAR, VK_LEFT);
        dialog.Key(IDC_RX_TRACKBAR, VK_RIGHT);
        dialog.ClickFifo64();
        dialog.ClickFifo64();
        dialog.PressOk();
    }));
    for (const wchar_t* name : {L"RxFIFO", L"TxFIFO", L"EnableFifo64"}) {
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), Stored(name).Type) << Narrow(name);
    }
    EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(L"19200,e,7,1,x", harness::ReadPortsValue(L"COM7:"));
    EXPECT_EQ(0, restarts.ParamsSet());
    EXPECT_EQ(0, restarts.InstallerCalls());
}

TEST_F(AdvancedDialogTest, OptionValueOtherThanZeroOrOneIsRewrittenOnOk)
{
    SetDword(L"EnableFifo64", 2);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_TRUE(dialog.Fifo64Checked());
        dialog.PressOk();
    }));
    ExpectDword(L"EnableFifo64", 1);
    EXPECT_EQ(1, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, CancelWritesNothing)
{
    SetDword(L"EnableFifo64", 1);
    SetDword(L"RxFIFO", 8);
    SetDword(L"TxFIFO", 4);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        dialog.ClickFifo64();
        dialog.Key(IDC_RX_TRACKBAR, VK_HOME);
        dialog.Key(IDC_TX_TRACKBAR, VK_END);
        dialog.ChoosePortNumber(11);
        dialog.PressCancel();
    }));
    ExpectDword(L"EnableFifo64", 1);
    ExpectDword(L"RxFIFO", 8);
    ExpectDword(L"TxFIFO", 4);
    EXPECT_EQ(L"COM7", port.QueryDeviceString(L"PortName"));
    EXPECT_EQ(std::vector<int>({7}), harness::ClaimedComNumbers());
    EXPECT_EQ(0, restarts.ParamsSet());
}

std::vector<std::wstring> debugLines;
void WINAPI RecordDebugLine(const wchar_t* text)
{
    debugLines.push_back(text);
}

TEST_F(AdvancedDialogTest, FailedRestartRequestOnlyReachesTheDebugger)
{
    SetDword(L"RxFIFO", 4);
    harness::PropertyChangeRecorder restarts(FALSE); // the class install parameters are refused
    debugLines.clear();
    auto debugger = PATCH_PAGE_IMPORT("kernel32.dll", OutputDebugStringW, RecordDebugLine);
    harness::BoxAnswerer boxes;
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        dialog.Key(IDC_RX_TRACKBAR, VK_END);
        dialog.PressOk();
    }));
    ExpectDword(L"RxFIFO", 14);
    EXPECT_EQ(1, restarts.ParamsSet());
    EXPECT_EQ(0, restarts.InstallerCalls());
    EXPECT_EQ(std::vector<std::wstring>({L"Error 57\n"}), debugLines); // ERROR_INVALID_PARAMETER
    EXPECT_TRUE(boxes.Seen().empty());
}

// ---- Failures at opening
// ----------------------------------------------------------------------------

HKEY WINAPI RefuseWritableDeviceKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD scope, DWORD profile,
                                    DWORD keyType, REGSAM access)
{
    if (keyType == DIREG_DEV && (access & KEY_SET_VALUE) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return SetupDiOpenDevRegKey(set, data, scope, profile, keyType, access);
}

TEST_F(AdvancedDialogTest, WithoutWriteAccessTheUserIsToldAndNoDialogOpens)
{
    harness::Sheet sheet(port);
    auto refuse = PATCH_PAGE_IMPORT("setupapi.dll", SetupDiOpenDevRegKey, RefuseWritableDeviceKey);
    harness::BoxAnswerer boxes;
    EXPECT_FALSE(advanced::RunAdvanced(sheet, [](Dialog& dialog) { dialog.PressCancel(); }));
    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Communications Port Properties", boxes.Seen()[0].Caption);
    EXPECT_EQ(L"You must have write privileges in the registry for this device\nin order to "
              L"modify the device's advanced settings.",
              boxes.Seen()[0].Text);
    EXPECT_FALSE(Stored(L"ForceFifoEnable").Present);
}

LONG WINAPI RefuseReceiveFifoWrite(HKEY key, const wchar_t* name, DWORD reserved, DWORD type,
                                   const BYTE* data, DWORD size)
{
    if (name != nullptr && lstrcmpiW(name, L"RxFIFO") == 0) {
        return ERROR_ACCESS_DENIED;
    }
    return RegSetValueExW(key, name, reserved, type, data, size);
}

TEST_F(AdvancedDialogTest, UnrepairableFifoValueDisablesTheFifoControlsAndOkKeepsTheOption)
{
    SetDword(L"EnableFifo64", 1);
    SetDword(L"RxFIFO", 99);
    auto refuse = PATCH_PAGE_IMPORT("advapi32.dll", RegSetValueExW, RefuseReceiveFifoWrite);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        EXPECT_FALSE(dialog.Fifo64Checked());
        EXPECT_FALSE(dialog.Enabled(IDC_FIFO64));
        ExpectFifoControlsEnabled(dialog, false);
        EXPECT_TRUE(dialog.Enabled(IDC_PORT_NUMBER));
        // Disabled controls stand for no choice of the user's: OK changes nothing.
        dialog.PressOk();
    }));
    ExpectDword(L"EnableFifo64", 1);
    ExpectDword(L"RxFIFO", 99);
    EXPECT_EQ(0, restarts.ParamsSet());
}

TEST_F(AdvancedDialogTest, DefaultsReenableUnrepairableFifoControlsWithThePortsRanges)
{
    SetDword(L"EnableFifo64", 0);
    SetDword(L"FifoTxMax", 8);
    SetDword(L"RxFIFO", 99);
    auto refuse = PATCH_PAGE_IMPORT("advapi32.dll", RegSetValueExW, RefuseReceiveFifoWrite);
    harness::PropertyChangeRecorder restarts;
    harness::Sheet sheet(port);
    ASSERT_TRUE(advanced::RunAdvanced(sheet, [](Dialog& dialog) {
        // The labels carry numbers even while disabled.
        EXPECT_EQ(L"Low (1)", dialog.Text(IDC_RX_LOW_LABEL));
        dialog.PressDefaults();
        ExpectFifoControlsEnabled(dialog, true);
        EXPECT_TRUE(dialog.Enabled(IDC_FIFO64));
        EXPECT_TRUE(dialog.Fifo64Checked());
        EXPECT_EQ(4, dialog.RangeMax(IDC_RX_TRACKBAR));
        EXPECT_EQ(4, dialog.Position(IDC_RX_TRACKBAR));
        EXPECT_EQ(8, dialog.RangeMax(IDC_TX_TRACKBAR));
        EXPECT_EQ(8, dialog.Position(IDC_TX_TRACKBAR));
        EXPECT_EQ(L"High (32)", dialog.Text(IDC_TX_HIGH_LABEL));
        dialog.PressOk();
    }));
    ExpectDword(L"EnableFifo64", 1);
    ExpectDword(L"TxFIFO", 8);
    EXPECT_EQ(1, restarts.ParamsSet());
}

int WINAPI LoadStringWithoutTitle(HINSTANCE instance, UINT id, wchar_t* buffer, int length)
{
    if (id == IDS_ADVANCED_TITLE) {
        return 0;
    }
    return LoadStringW(instance, id, buffer, length);
}

TEST_F(AdvancedDialogTest, TitleStaysTheTemplatesCaptionWithoutItsString)
{
    harness::Sheet sheet(port);
    auto strings = PATCH_PAGE_IMPORT("user32.dll", LoadStringW, LoadStringWithoutTitle);
    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [](Dialog& dialog) {
        EXPECT_EQ(L"Advanced Communications Port Properties", dialog.Title());
        EXPECT_EQ(L"High (14)", dialog.Text(IDC_RX_HIGH_LABEL));
    }));
}

struct HelpCall {
    HWND Window;
    std::wstring File;
    UINT Command;
    std::vector<DWORD> Table;
};
std::vector<HelpCall> helpCalls;

BOOL WINAPI RecordWinHelp(HWND window, const wchar_t* file, UINT command, ULONG_PTR data)
{
    HelpCall call{window, file != nullptr ? file : L"", command, {}};
    auto pairs = reinterpret_cast<const DWORD*>(data);
    for (int i = 0; pairs != nullptr && i < 64; i += 2) {
        call.Table.push_back(pairs[i]);
        call.Table.push_back(pairs[i + 1]);
        if (pairs[i] == 0 && pairs[i + 1] == 0) {
            break;
        }
    }
    helpCalls.push_back(call);
    return TRUE;
}

TEST_F(AdvancedDialogTest, ContextHelpGoesToDeviceManagersHelpFile)
{
    helpCalls.clear();
    auto help = PATCH_PAGE_IMPORT("user32.dll", WinHelpW, RecordWinHelp);
    harness::Sheet sheet(port);
    HWND receive = nullptr;
    HWND transmit = nullptr;
    ASSERT_TRUE(advanced::OpenAndCancel(sheet, [&](Dialog& dialog) {
        receive = dialog.Control(IDC_RX_TRACKBAR);
        transmit = dialog.Control(IDC_TX_TRACKBAR);
        HELPINFO info = {};
        info.cbSize = sizeof(info);
        info.iContextType = HELPINFO_WINDOW;
        info.iCtrlId = IDC_RX_TRACKBAR;
        info.hItemHandle = receive;
        SendMessageW(dialog.Window(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        info.iContextType = HELPINFO_MENUITEM; // only windows have topics
        info.hItemHandle = transmit;
        SendMessageW(dialog.Window(), WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
        SendMessageW(dialog.Window(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(transmit),
                     MAKELPARAM(10, 10));
    }));
    const DWORD none = static_cast<DWORD>(-1);
    const std::vector<DWORD> table = {IDC_RX_CAPTION,
                                      none,
                                      IDC_RX_TRACKBAR,
                                      16821,
                                      IDC_RX_LOW_LABEL,
                                      none,
                                      IDC_RX_HIGH_LABEL,
                                      none,
                                      IDC_TX_CAPTION,
                                      none,
                                      IDC_TX_TRACKBAR,
                                      16842,
                                      IDC_TX_LOW_LABEL,
                                      none,
                                      IDC_TX_HIGH_LABEL,
                                      none,
                                      IDC_PORT_NUMBER,
                                      16846,
                                      IDC_PORT_NUMBER_LABEL,
                                      none,
                                      IDC_DEFAULTS,
                                      16844,
                                      0,
                                      0};
    ASSERT_EQ(2u, helpCalls.size());
    EXPECT_EQ(receive, helpCalls[0].Window);
    EXPECT_EQ(L"devmgr.hlp", helpCalls[0].File);
    EXPECT_EQ(static_cast<UINT>(HELP_WM_HELP), helpCalls[0].Command);
    EXPECT_EQ(table, helpCalls[0].Table);
    EXPECT_EQ(transmit, helpCalls[1].Window);
    EXPECT_EQ(static_cast<UINT>(HELP_CONTEXTMENU), helpCalls[1].Command);
    EXPECT_EQ(table, helpCalls[1].Table);
}

} // namespace
