// The resources of the built DLL: dialogs 15 and 16 and the string table, read the
// way the platform reads them (FindResource/LoadString on the loaded module).
#include <gtest/gtest.h>

#include "harness.h"
#include "advanced/advanced_ids.h"

namespace {

// A reader over a DLGTEMPLATEEX resource.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE* data) : at_(data), start_(data) {}
    WORD Word()
    {
        WORD v;
        memcpy(&v, at_, 2);
        at_ += 2;
        return v;
    }
    DWORD Dword()
    {
        DWORD v;
        memcpy(&v, at_, 4);
        at_ += 4;
        return v;
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return *at_++; }
    std::wstring Text()
    {
        std::wstring text;
        for (WORD c = Word(); c != 0; c = Word()) {
            text.push_back(static_cast<wchar_t>(c));
        }
        return text;
    }
    // A name or ordinal: an ordinal is returned as "#n", a predefined class ordinal by its name.
    std::wstring NameOrOrdinal()
    {
        WORD first;
        memcpy(&first, at_, 2);
        if (first == 0xFFFF) {
            at_ += 2;
            WORD ordinal = Word();
            switch (ordinal) {
            case 0x80:
                return L"Button";
            case 0x81:
                return L"Edit";
            case 0x82:
                return L"Static";
            case 0x83:
                return L"ListBox";
            case 0x84:
                return L"ScrollBar";
            case 0x85:
                return L"ComboBox";
            default:
                return L"#" + std::to_wstring(ordinal);
            }
        }
        return Text();
    }
    void AlignDword() { at_ = start_ + ((at_ - start_ + 3) & ~3); }
    void Skip(size_t bytes) { at_ += bytes; }

private:
    const BYTE* at_;
    const BYTE* start_;
};

struct ExpectedControl {
    int Id;
    const wchar_t* Class;
    const wchar_t* Text;
    short X, Y, Cx, Cy;
};

const ExpectedControl kControls[] = {
    {-1, L"Button", L"", 7, 4, 243, 119},
    {-1, L"Static", L"&Bits per second:", 84, 19, 54, 8},
    {841, L"ComboBox", L"", 142, 17, 99, 90},
    {-1, L"Static", L"&Data bits:", 84, 40, 54, 8},
    {842, L"ComboBox", L"", 142, 38, 99, 54},
    {-1, L"Static", L"&Parity:", 84, 61, 54, 8},
    {843, L"ComboBox", L"", 142, 59, 99, 62},
    {-1, L"Static", L"&Stop bits:", 84, 82, 54, 8},
    {844, L"ComboBox", L"", 142, 80, 99, 54},
    {-1, L"Static", L"&Flow control:", 84, 102, 54, 8},
    {845, L"ComboBox", L"", 142, 100, 99, 54},
    {840, L"Button", L"&Advanced...", 116, 130, 65, 14},
    {892, L"Button", L"&Restore Defaults", 185, 130, 65, 14},
};

TEST(Resources, PortSettingsDialogTemplate)
{
    HMODULE module = harness::PageLibrary();
    ASSERT_NE(nullptr, module);
    HRSRC found = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(15),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, found);
    auto data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    TemplateReader t(data);
    ASSERT_EQ(1, t.Word());      // version of the extended template
    ASSERT_EQ(0xFFFF, t.Word()); // signature
    t.Dword();                   // help ID
    t.Dword();                   // extended style
    DWORD style = t.Dword();
    EXPECT_TRUE(style & WS_CHILD);
    EXPECT_EQ(DWORD(WS_CAPTION), style & WS_CAPTION);
    EXPECT_TRUE(style & DS_SETFONT);
    WORD count = t.Word();
    EXPECT_EQ(0, t.Short());
    EXPECT_EQ(0, t.Short());
    EXPECT_EQ(257, t.Short());
    EXPECT_EQ(215, t.Short());
    EXPECT_EQ(L"", t.NameOrOrdinal()); // no menu
    EXPECT_EQ(L"", t.NameOrOrdinal()); // standard dialog class
    EXPECT_EQ(L"Port Settings", t.Text());
    EXPECT_EQ(8, t.Word());
    t.Word(); // weight
    t.Byte(); // italic
    t.Byte(); // character set
    EXPECT_EQ(L"MS Shell Dlg", t.Text());

    ASSERT_EQ(sizeof(kControls) / sizeof(kControls[0]), count);
    for (const ExpectedControl& expected : kControls) {
        t.AlignDword();
        t.Dword(); // help ID
        t.Dword(); // extended style
        DWORD controlStyle = t.Dword();
        short x = t.Short(), y = t.Short(), cx = t.Short(), cy = t.Short();
        int id = static_cast<int>(t.Dword());
        std::wstring className = t.NameOrOrdinal();
        std::wstring text = t.NameOrOrdinal();
        t.Skip(t.Word());
        SCOPED_TRACE(harness::Narrow(expected.Text) + " " + std::to_string(expected.Id));
        EXPECT_EQ(expected.Id, id);
        EXPECT_EQ(0, lstrcmpiW(expected.Class, className.c_str())) << harness::Narrow(className);
        EXPECT_EQ(expected.Text, text);
        EXPECT_EQ(expected.X, x);
        EXPECT_EQ(expected.Y, y);
        EXPECT_EQ(expected.Cx, cx);
        EXPECT_EQ(expected.Cy, cy);
        EXPECT_TRUE(controlStyle & WS_VISIBLE);
        if (lstrcmpW(expected.Class, L"ComboBox") == 0) {
            EXPECT_EQ(DWORD(CBS_DROPDOWNLIST), controlStyle & 3);
            EXPECT_FALSE(controlStyle & CBS_SORT);
            EXPECT_TRUE(controlStyle & WS_VSCROLL);
            EXPECT_TRUE(controlStyle & WS_TABSTOP);
        } else if (lstrcmpW(expected.Class, L"Static") == 0) {
            EXPECT_EQ(DWORD(SS_RIGHT), controlStyle & SS_TYPEMASK);
        } else if (expected.Id == -1) {
            EXPECT_EQ(DWORD(BS_GROUPBOX), controlStyle & BS_TYPEMASK);
        } else {
            EXPECT_EQ(DWORD(BS_PUSHBUTTON), controlStyle & BS_TYPEMASK);
            EXPECT_TRUE(controlStyle & WS_TABSTOP);
        }
    }
}

struct ExpectedAdvancedControl {
    int Id;
    const wchar_t* Class;
    const wchar_t* Text;
    short X, Y, Cx, Cy;
    DWORD Style; // the control's own style bits (without WS_CHILD and WS_VISIBLE)
};

const ExpectedAdvancedControl kAdvancedControls[] = {
    {-1, L"Button", L"", 12, 8, 259, 96, BS_GROUPBOX},
    {IDC_RX_CAPTION, L"Static", L"&Receive Buffer:", 23, 53, 50, 10, SS_LEFT},
    {IDC_RX_LOW_LABEL, L"Static", L"Low (%d)", 78, 53, 30, 10, SS_LEFT},
    {IDC_RX_TRACKBAR, TRACKBAR_CLASSW, L"", 113, 51, 118, 18,
     TBS_HORZ | TBS_AUTOTICKS | WS_TABSTOP},
    {IDC_RX_HIGH_LABEL, L"Static", L"High (%d)", 235, 53, 31, 10, SS_LEFT},
    {IDC_TX_CAPTION, L"Static", L"&Transmit Buffer:", 23, 79, 53, 10, SS_LEFT},
    {IDC_TX_LOW_LABEL, L"Static", L"Low (%d)", 78, 79, 30, 10, SS_LEFT},
    {IDC_TX_HIGH_LABEL, L"Static", L"High (%d)", 234, 79, 35, 10, SS_LEFT},
    {IDC_PORT_NUMBER_LABEL, L"Static", L"COM &Port Number:", 13, 121, 65, 8, SS_LEFT},
    {IDC_PORT_NUMBER, L"ComboBox", L"", 82, 118, 62, 54,
     CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {IDOK, L"Button", L"OK", 281, 12, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP},
    {IDCANCEL, L"Button", L"Cancel", 281, 31, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_DEFAULTS, L"Button", L"&Defaults", 281, 62, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_FIFO64, L"Button", L"Enable &64 Byte FIFO buffers", 23, 23, 181, 10,
     BS_AUTOCHECKBOX | WS_TABSTOP},
    {IDC_TX_TRACKBAR, TRACKBAR_CLASSW, L"", 113, 76, 119, 20, TBS_HORZ | WS_TABSTOP},
};

TEST(Resources, AdvancedDialogTemplate)
{
    HMODULE module = harness::PageLibrary();
    ASSERT_NE(nullptr, module);
    HRSRC found = FindResourceExW(module, RT_DIALOG, MAKEINTRESOURCEW(16),
                                  MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(nullptr, found);
    auto data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    TemplateReader t(data);
    ASSERT_EQ(1, t.Word());
    ASSERT_EQ(0xFFFF, t.Word());
    t.Dword(); // help ID
    EXPECT_EQ(0u, t.Dword());
    EXPECT_EQ(DWORD(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CONTEXTHELP |
                    DS_SETFONT | DS_3DLOOK),
              t.Dword());
    WORD count = t.Word();
    EXPECT_EQ(0, t.Short());
    EXPECT_EQ(0, t.Short());
    EXPECT_EQ(342, t.Short());
    EXPECT_EQ(138, t.Short());
    EXPECT_EQ(L"", t.NameOrOrdinal());
    EXPECT_EQ(L"", t.NameOrOrdinal());
    EXPECT_EQ(L"Advanced Communications Port Properties", t.Text());
    EXPECT_EQ(8, t.Word());
    t.Word();
    t.Byte();
    t.Byte();
    EXPECT_EQ(L"MS Shell Dlg", t.Text());

    ASSERT_EQ(sizeof(kAdvancedControls) / sizeof(kAdvancedControls[0]), count);
    for (const ExpectedAdvancedControl& expected : kAdvancedControls) {
        t.AlignDword();
        t.Dword(); // help ID
        EXPECT_EQ(0u, t.Dword());
        DWORD controlStyle = t.Dword();
        short x = t.Short(), y = t.Short(), cx = t.Short(), cy = t.Short();
        int id = static_cast<int>(t.Dword());
        std::wstring className = t.NameOrOrdinal();
        std::wstring text = t.NameOrOrdinal();
        t.Skip(t.Word());
        SCOPED_TRACE(harness::Narrow(expected.Text) + " " + std::to_string(expected.Id));
        EXPECT_EQ(expected.Id, id);
        EXPECT_EQ(0, lstrcmpiW(expected.Class, className.c_str())) << harness::Narrow(className);
        EXPECT_EQ(expected.Text, text);
        EXPECT_EQ(expected.X, x);
        EXPECT_EQ(expected.Y, y);
        EXPECT_EQ(expected.Cx, cx);
        EXPECT_EQ(expected.Cy, cy);
        EXPECT_EQ(expected.Style | WS_CHILD | WS_VISIBLE, controlStyle);
    }
}

struct ExpectedString {
    UINT Id;
    const wchar_t* Text;
};

const ExpectedString kStrings[] = {
    {0, L"Insufficient memory for this operation;\r\rclose one or more Windows applications to "
        L"increase available memory."},
    {1, L"Communications Port"},
    {5, L"This COM name is being used by another device (such as another com port or modem).  "
        L"Using duplicate names can lead to inaccessible devices and changed settings.  Do you "
        L"want to continue?"},
    {11, L",Even,Odd,None,Mark,Space"},
    {12, L",1,1.5,2"},
    {13, L",Xon / Xoff,Hardware,None"},
    {19, L"Advanced Settings for %s"},
    {29, L"%s (%s)"},
    {53, L"Low ("},
    {55, L"You must have write privileges in the registry for this device\nin order to modify "
         L"the device's advanced settings."},
    {56, L"Communications Port Properties"},
    {59, L"The port has been opened by another application.  Renaming the port may have an "
         L"unpredictable effect on the other application.  Do you wish to continue?"},
    {60, L"There was an error renaming the COM port."},
    {61, L" (in use)"},
};

TEST(Resources, StringTable)
{
    HMODULE module = harness::PageLibrary();
    ASSERT_NE(nullptr, module);
    for (const ExpectedString& expected : kStrings) {
        wchar_t text[600] = {};
        EXPECT_GT(LoadStringW(module, expected.Id, text, 600), 0) << expected.Id;
        EXPECT_EQ(std::wstring(expected.Text), text) << expected.Id;
    }
    // No other string in the first blocks of the table.
    for (UINT id = 0; id < 160; ++id) {
        bool listed = false;
        for (const ExpectedString& expected : kStrings) {
            listed = listed || expected.Id == id;
        }
        wchar_t text[600] = {};
        if (!listed) {
            EXPECT_EQ(0, LoadStringW(module, id, text, 600)) << id;
        }
    }
}

} // namespace
