// The text routines of the page and the [Ports] value format, as plain functions (a static copy
// of the library's objects), and the resource message box against the DLL's own strings.
#include <gtest/gtest.h>

#include "harness.h"
#include "provider/provider.h"
#include "settings/settings.h"

namespace {

std::wstring Trimmed(const wchar_t* text)
{
    wchar_t buffer[64];
    lstrcpynW(buffer, text, 64);
    TrimBlanks(buffer);
    return buffer;
}

TEST(DecimalParser, ReadsLeadingDigitsOnly)
{
    EXPECT_EQ(0u, ParseDecimal(L""));
    EXPECT_EQ(9600u, ParseDecimal(L"9600"));
    EXPECT_EQ(96u, ParseDecimal(L"96,n"));
    EXPECT_EQ(3u, ParseDecimal(L"3X"));
    EXPECT_EQ(0u, ParseDecimal(L" 12")); // no blanks
    EXPECT_EQ(0u, ParseDecimal(L"-5"));  // no sign
    EXPECT_EQ(0u, ParseDecimal(L"X3"));
    EXPECT_EQ(7u, ParseDecimal(L"007"));
}

TEST(DecimalParser, WrapsIn32Bits)
{
    EXPECT_EQ(4294967295u, ParseDecimal(L"4294967295"));
    EXPECT_EQ(0u, ParseDecimal(L"4294967296"));
    EXPECT_EQ(1u, ParseDecimal(L"4294967297"));
}

TEST(NumberToText, WritesDecimalDigits)
{
    wchar_t buffer[kNumberTextLength];
    EXPECT_EQ(buffer, NumberToText(0, buffer));
    EXPECT_EQ(std::wstring(L"0"), buffer);
    EXPECT_EQ(std::wstring(L"921600"), NumberToText(921600, buffer));
    EXPECT_EQ(std::wstring(L"4294967295"), NumberToText(4294967295u, buffer));
}

TEST(BlankTrimming, CutsBlanksAtBothEndsOnly)
{
    EXPECT_EQ(L"", Trimmed(L""));
    EXPECT_EQ(L"", Trimmed(L"    "));
    EXPECT_EQ(L"a b", Trimmed(L"  a b  "));
    EXPECT_EQ(L"x", Trimmed(L"x   "));
    EXPECT_EQ(L"x", Trimmed(L"   x"));
    EXPECT_EQ(L"\tx\t", Trimmed(L" \tx\t ")); // only U+0020 is a blank
    EXPECT_EQ(L"9600,n,8,1", Trimmed(L" 9600,n,8,1 "));
}

TEST(FieldSplit, FindsFirstCommaOrEnd)
{
    wchar_t text[] = L"9600,n,8";
    EXPECT_EQ(text + 4, SplitField(text));
    wchar_t last[] = L"8";
    EXPECT_EQ(last + 1, SplitField(last));
    wchar_t empty[] = L"";
    EXPECT_EQ(empty, SplitField(empty));
}

struct Parsed {
    LineSettings Settings;
    std::wstring BaudField;
};

Parsed Parse(const wchar_t* stored)
{
    wchar_t value[kPortsValueLength];
    lstrcpynW(value, stored, kPortsValueLength);
    Parsed parsed{};
    const wchar_t* baud = nullptr;
    ParsePortsValue(value, &parsed.Settings, &baud);
    parsed.BaudField = baud;
    return parsed;
}

TEST(PortsValue, ReadsEveryField)
{
    Parsed p = Parse(L"19200,e,7,1.5,x");
    EXPECT_EQ(19200u, p.Settings.BaudRate);
    EXPECT_EQ(L"19200", p.BaudField);
    EXPECT_EQ(0, p.Settings.ParityIndex);
    EXPECT_EQ(3, p.Settings.DataBitsIndex);
    EXPECT_EQ(1, p.Settings.StopBitsIndex);
    EXPECT_EQ(0, p.Settings.FlowControlIndex);
}

TEST(PortsValue, MapsLettersCaseSensitively)
{
    const struct {
        const wchar_t* Stored;
        int Parity;
    } cases[] = {{L"9600,e,8,1", 0}, {L"9600,o,8,1", 1}, {L"9600,n,8,1", 2},
                 {L"9600,m,8,1", 3}, {L"9600,s,8,1", 4}, {L"9600,E,8,1", 2},
                 {L"9600,N,8,1", 2}, {L"9600,q,8,1", 2}, {L"9600, even ,8,1", 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.Parity, Parse(c.Stored).Settings.ParityIndex) << harness::Narrow(c.Stored);
    }
}

TEST(PortsValue, MapsDataStopAndFlowFields)
{
    EXPECT_EQ(0, Parse(L"9600,n,4,1").Settings.DataBitsIndex);
    EXPECT_EQ(4, Parse(L"9600,n,9,1").Settings.DataBitsIndex);
    EXPECT_EQ(4, Parse(L"9600,n,,1").Settings.DataBitsIndex);
    EXPECT_EQ(1, Parse(L"9600,n,8, 1.5 ").Settings.StopBitsIndex);
    EXPECT_EQ(2, Parse(L"9600,n,8,2 ").Settings.StopBitsIndex);
    EXPECT_EQ(0, Parse(L"9600,n,8,1.50").Settings.StopBitsIndex); // compared whole
    EXPECT_EQ(2, Parse(L"9600,n,8,1").Settings.FlowControlIndex);
    EXPECT_EQ(2, Parse(L"9600,n,8,1 ").Settings.FlowControlIndex);
    EXPECT_EQ(1, Parse(L"9600,n,8,1,p").Settings.FlowControlIndex);
    EXPECT_EQ(0, Parse(L"9600,n,8,2 ,x").Settings.FlowControlIndex);
    EXPECT_EQ(1, Parse(L"9600,n,8,1, p ,x,junk").Settings.FlowControlIndex);
    EXPECT_EQ(2, Parse(L"9600,n,8,1,P").Settings.FlowControlIndex);
}

TEST(PortsValue, MissingFieldsTakeTheirDefaults)
{
    Parsed p = Parse(L"2400");
    EXPECT_EQ(2400u, p.Settings.BaudRate);
    EXPECT_EQ(2, p.Settings.ParityIndex);
    EXPECT_EQ(4, p.Settings.DataBitsIndex);
    EXPECT_EQ(0, p.Settings.StopBitsIndex);
    EXPECT_EQ(2, p.Settings.FlowControlIndex);
}

TEST(PortsValue, EmptyBaudFieldReadsAs150)
{
    Parsed p = Parse(L",e,7,2");
    EXPECT_EQ(150u, p.Settings.BaudRate);
    EXPECT_EQ(L"", p.BaudField);
    EXPECT_EQ(0, p.Settings.ParityIndex);
    EXPECT_EQ(3, p.Settings.DataBitsIndex);
    EXPECT_EQ(2, p.Settings.StopBitsIndex);
}

TEST(PortsValue, BaudFieldIsNotTrimmed)
{
    Parsed p = Parse(L"9600 ,n,8,1");
    EXPECT_EQ(L"9600 ", p.BaudField);
    EXPECT_EQ(9600u, p.Settings.BaudRate);
}

TEST(PortsValue, ComposesTheStoredForms)
{
    wchar_t value[kPortsValueLength];
    LineSettings s = {9600, 2, 4, 0, 2};
    ASSERT_TRUE(ComposePortsValue(L"9600", &s, value));
    EXPECT_EQ(std::wstring(L"9600,n,8,1 "), value);
    s = {19200, 0, 3, 1, 0};
    ASSERT_TRUE(ComposePortsValue(L"19200", &s, value));
    EXPECT_EQ(std::wstring(L"19200,e,7,1.5,x"), value);
    s = {115200, 2, 4, 2, 1};
    ASSERT_TRUE(ComposePortsValue(L"115200", &s, value));
    EXPECT_EQ(std::wstring(L"115200,n,8,2 ,p"), value);
    s = {75, 4, 0, 2, 2};
    ASSERT_TRUE(ComposePortsValue(L"75", &s, value));
    EXPECT_EQ(std::wstring(L"75,s,4,2  "), value);
}

TEST(PortsValue, RefusesIndicesOutsideTheLists)
{
    wchar_t value[kPortsValueLength];
    const LineSettings bad[] = {{9600, -1, 4, 0, 2}, {9600, 5, 4, 0, 2}, {9600, 2, -2, 0, 2},
                                {9600, 2, 5, 0, 2},  {9600, 2, 4, 3, 2}, {9600, 2, 4, 0, 3},
                                {9600, 2, 4, 0, -1}};
    for (const LineSettings& s : bad) {
        EXPECT_FALSE(ComposePortsValue(L"9600", &s, value));
    }
}

TEST(PortsValue, WhatIsWrittenReadsBackTheSame)
{
    for (INT parity = 0; parity < 5; ++parity) {
        for (INT data = 0; data < 5; ++data) {
            for (INT stop = 0; stop < 3; ++stop) {
                for (INT flow = 0; flow < 3; ++flow) {
                    LineSettings written = {57600, parity, data, stop, flow};
                    wchar_t value[kPortsValueLength];
                    ASSERT_TRUE(ComposePortsValue(L"57600", &written, value));
                    TrimBlanks(value); // as the page does before parsing
                    Parsed read = Parse(value);
                    EXPECT_EQ(57600u, read.Settings.BaudRate);
                    EXPECT_EQ(parity, read.Settings.ParityIndex);
                    EXPECT_EQ(data, read.Settings.DataBitsIndex);
                    EXPECT_EQ(stop, read.Settings.StopBitsIndex);
                    EXPECT_EQ(flow, read.Settings.FlowControlIndex) << harness::Narrow(value);
                }
            }
        }
    }
}

// The static copy of the objects takes its strings from the real DLL's resources.
class ResourceMessageBoxTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(nullptr, harness::PageLibrary());
        LibMain(harness::PageLibrary(), DLL_PROCESS_ATTACH, nullptr);
    }
};

TEST_F(ResourceMessageBoxTest, FormatsTheTextAndReturnsTheAnswer)
{
    harness::BoxAnswerer boxes({IDNO});
    EXPECT_EQ(IDNO, ResourceMessageBox(nullptr, 19, 56, MB_YESNO | MB_ICONINFORMATION, L"COM3"));
    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Advanced Settings for COM3", boxes.Seen()[0].Text);
    EXPECT_EQ(L"Communications Port Properties", boxes.Seen()[0].Caption);
}

TEST_F(ResourceMessageBoxTest, MissingStringsShowTheOutOfMemoryBox)
{
    harness::BoxAnswerer boxes;
    EXPECT_EQ(0, ResourceMessageBox(nullptr, 0, 56, MB_OK));
    EXPECT_EQ(0, ResourceMessageBox(nullptr, 60, 4000, MB_OK));
    EXPECT_EQ(0, ResourceMessageBox(nullptr, 4000, 56, MB_OK));
    ASSERT_EQ(3u, boxes.Seen().size());
    for (const harness::SeenBox& box : boxes.Seen()) {
        EXPECT_EQ(L"Communications Port", box.Caption);
        EXPECT_EQ(L"Insufficient memory for this operation;\r\rclose one or more Windows "
                  L"applications to increase available memory.",
                  box.Text);
    }
}

} // namespace
