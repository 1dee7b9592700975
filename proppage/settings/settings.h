// The Port Settings page, the [Ports] profile value it owns, and the small text routines shared
// with the Advanced dialog and the rename.
#pragma once

#include <windows.h>

// The [Ports] value used when a port has none stored.
constexpr const WCHAR* kDefaultPortsValue = L"9600,n,8,1";
// Profile section holding one line-settings value per COM name ("COM3:").
constexpr const WCHAR* kPortsSection = L"Ports";
// Room for a [Ports] value read from the profile, terminator included.
constexpr int kPortsValueLength = 81;
// Room for the decimal text of a 32-bit number, terminator included.
constexpr int kNumberTextLength = 20;

// The five line settings as list indices plus the baud rate. Also the remembered state of a page.
struct LineSettings {
    DWORD BaudRate;
    INT ParityIndex;
    INT DataBitsIndex;
    INT StopBitsIndex;
    INT FlowControlIndex;
};

// Value of the leading decimal digits, wrapping in 32 bits; 0 when the text starts otherwise.
DWORD ParseDecimal(const WCHAR* text);

// Decimal text of value into buffer (kNumberTextLength units); returns buffer.
WCHAR* NumberToText(DWORD value, WCHAR* buffer);

// Removes leading and trailing blanks (U+0020 only), in place.
void TrimBlanks(WCHAR* text);

// Position of the first "," in text, or of its terminator.
WCHAR* SplitField(WCHAR* text);

// Tells every top-level window that a profile section changed (WM_WININICHANGE), without waiting
// for hung windows.
void BroadcastProfileChange(const WCHAR* section);

// Splits a [Ports] value (changed in place) into its fields. baudField receives the start of the
// untrimmed baud field, which the page matches against its list entries.
void ParsePortsValue(WCHAR* value, LineSettings* settings, const WCHAR** baudField);

// Composes a [Ports] value from the baud text and the four list indices into value
// (kPortsValueLength units). FALSE when an index is outside its list.
BOOL ComposePortsValue(const WCHAR* baudText, const LineSettings* settings, WCHAR* value);

// The page's dialog procedure; the page descriptor's lParam carries the PageRecord.
INT_PTR CALLBACK PortSettingsPageProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
