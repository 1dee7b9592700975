// Small text routines over UTF-16 strings, shared by the page, the Advanced dialog and the rename.
#include "settings/settings.h"

DWORD ParseDecimal(const WCHAR* text)
{
    DWORD value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        value = value * 10 + static_cast<DWORD>(*text - L'0'); // wraps in 32 bits
    }
    return value;
}

WCHAR* NumberToText(DWORD value, WCHAR* buffer)
{
    WCHAR digits[kNumberTextLength];
    int count = 0;
    do {
        digits[count++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < count; ++i) {
        buffer[i] = digits[count - 1 - i];
    }
    buffer[count] = L'\0';
    return buffer;
}

void TrimBlanks(WCHAR* text)
{
    WCHAR* start = text;
    while (*start == L' ') {
        ++start;
    }
    if (start != text) {
        WCHAR* to = text;
        while ((*to++ = *start++) != L'\0') {
        }
    }
    if (*text == L'\0') {
        return;
    }
    // The first character is not a blank now, so the backwards walk stops on a non-blank at the
    // latest there. CharPrevW/CharNextW keep the cut off multi-unit sequences.
    WCHAR* end = text + lstrlenW(text);
    WCHAR* last = CharPrevW(text, end);
    while (last != text && *last == L' ') {
        last = CharPrevW(text, last);
    }
    *CharNextW(last) = L'\0';
}

WCHAR* SplitField(WCHAR* text)
{
    while (*text != L'\0' && *text != L',') {
        ++text;
    }
    return text;
}

void BroadcastProfileChange(const WCHAR* section)
{
    // SMTO_ABORTIFHUNG and the time-out keep one hung application from blocking the caller. The
    // window handle -1 reaches every top-level window, as HWND_BROADCAST does.
    SendMessageTimeoutW(reinterpret_cast<HWND>(-1), WM_WININICHANGE, 0,
                        reinterpret_cast<LPARAM>(section), SMTO_ABORTIFHUNG, 1000, nullptr);
}
