// The [Ports] profile value of a port: "baud,parity,data bits,stop bits[,flow]". Reading is
// forgiving (anything unknown takes a default); writing produces exactly the forms below.
#include "settings/settings.h"
#include "settings/line_tables.h"

namespace {

// Splits off the field at *cursor: terminates it and moves *cursor past its comma (or leaves it
// on the terminator when this was the last field). Returns the field.
WCHAR* TakeField(WCHAR** cursor)
{
    WCHAR* field = *cursor;
    WCHAR* end = SplitField(field);
    if (*end != L'\0') {
        *end = L'\0';
        *cursor = end + 1;
    } else {
        *cursor = end;
    }
    return field;
}

INT MapParity(WCHAR letter)
{
    switch (letter) {
    case L'e':
        return kParityEven;
    case L'o':
        return kParityOdd;
    case L'm':
        return kParityMark;
    case L's':
        return kParitySpace;
    default: // "n", upper case letters and anything else
        return kParityNone;
    }
}

INT MapDataBits(WCHAR digit)
{
    if (digit >= L'4' && digit <= L'8') {
        return digit - L'4';
    }
    return kDataBits8;
}

INT MapStopBits(const WCHAR* field)
{
    if (lstrcmpW(field, L"1.5") == 0) {
        return kStopBitsOneAndHalf;
    }
    if (lstrcmpW(field, L"2") == 0) {
        return kStopBitsTwo;
    }
    return kStopBitsOne;
}

INT MapFlowControl(WCHAR letter)
{
    if (letter == L'p') {
        return kFlowHardware;
    }
    if (letter == L'x') {
        return kFlowXonXoff;
    }
    return kFlowNone;
}

} // namespace

void ParsePortsValue(WCHAR* value, LineSettings* settings, const WCHAR** baudField)
{
    WCHAR* cursor = value;

    WCHAR* baud = TakeField(&cursor); // not trimmed: the list is matched against it as stored
    *baudField = baud;
    settings->BaudRate = *baud != L'\0' ? ParseDecimal(baud) : kEmptyBaudFieldRate;

    WCHAR* parity = TakeField(&cursor);
    TrimBlanks(parity);
    settings->ParityIndex = MapParity(parity[0]);

    WCHAR* dataBits = TakeField(&cursor);
    TrimBlanks(dataBits);
    settings->DataBitsIndex = MapDataBits(dataBits[0]);

    WCHAR* stopBits = TakeField(&cursor);
    TrimBlanks(stopBits);
    settings->StopBitsIndex = MapStopBits(stopBits);

    WCHAR* flow = TakeField(&cursor); // anything after a further comma is ignored
    TrimBlanks(flow);
    settings->FlowControlIndex = MapFlowControl(flow[0]);
}

BOOL ComposePortsValue(const WCHAR* baudText, const LineSettings* settings, WCHAR* value)
{
    if (settings->ParityIndex < 0 || settings->ParityIndex >= kParityCount ||
        settings->DataBitsIndex < 0 || settings->DataBitsIndex >= kDataBitsCount ||
        settings->StopBitsIndex < 0 || settings->StopBitsIndex >= kStopBitsCount ||
        settings->FlowControlIndex < 0 || settings->FlowControlIndex >= kFlowControlCount) {
        return FALSE;
    }
    lstrcpynW(value, baudText, kBaudTextLength + 1);
    lstrcatW(value, kParitySuffix[settings->ParityIndex]);
    lstrcatW(value, kDataBitsSuffix[settings->DataBitsIndex]);
    lstrcatW(value, kStopBitsSuffix[settings->StopBitsIndex]);
    lstrcatW(value, kFlowControlSuffix[settings->FlowControlIndex]);
    return TRUE;
}
