// The entries of the page's five lists, in list order, and the [Ports] text of each entry. A list
// index stored anywhere refers to these orders.
#pragma once

#include <windows.h>

constexpr DWORD kBaudRates[] = {75,    110,   134,    150,    300,    600,    1200,
                                1800,  2400,  4800,   7200,   9600,   14400,  19200,
                                38400, 57600, 115200, 128000, 230400, 460800, 921600};
constexpr WORD kDataBits[] = {4, 5, 6, 7, 8};

// An empty stored baud field reads as the fourth rate of the list.
constexpr DWORD kEmptyBaudFieldRate = 150;
// The list entry selected when nothing else is known.
constexpr const WCHAR* kDefaultBaudText = L"9600";
// The baud list's text is read with room for this many characters.
constexpr int kBaudTextLength = 17;

enum : INT {
    kParityEven,
    kParityOdd,
    kParityNone,
    kParityMark,
    kParitySpace,
    kParityCount
};
enum : INT {
    kDataBits4,
    kDataBits5,
    kDataBits6,
    kDataBits7,
    kDataBits8,
    kDataBitsCount
};
enum : INT {
    kStopBitsOne,
    kStopBitsOneAndHalf,
    kStopBitsTwo,
    kStopBitsCount
};
enum : INT {
    kFlowXonXoff,
    kFlowHardware,
    kFlowNone,
    kFlowControlCount
};

// Appended to the baud text by list index. The blank after "2" and the lone blank for "no flow
// control" are part of the stored format.
constexpr const WCHAR* kParitySuffix[kParityCount] = {L",e", L",o", L",n", L",m", L",s"};
constexpr const WCHAR* kDataBitsSuffix[kDataBitsCount] = {L",4", L",5", L",6", L",7", L",8"};
constexpr const WCHAR* kStopBitsSuffix[kStopBitsCount] = {L",1", L",1.5", L",2 "};
constexpr const WCHAR* kFlowControlSuffix[kFlowControlCount] = {L",x", L",p", L" "};

static_assert(sizeof(kDataBits) / sizeof(kDataBits[0]) == kDataBitsCount);
static_assert(kBaudRates[3] == kEmptyBaudFieldRate);
