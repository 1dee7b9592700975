// The "COM Port Number" list: every COM number, with the ones taken by other ports marked.
#include "rename.h"

#include "../advanced/advanced_ids.h"
#include "../provider/provider.h"
#include "../resources/resource.h"
#include "../settings/settings.h"

namespace {

constexpr WCHAR DefaultInUseSuffix[] = L" (in use)";
constexpr DWORD ComPrefixLength = 3; // "COM"

} // namespace

DWORD PortNumberOfName(const WCHAR* name)
{
    // Never look past the name's terminator.
    for (DWORD i = 0; i <= ComPrefixLength; ++i) {
        if (name[i] == L'\0') {
            return 0;
        }
    }
    // Digits beyond 32 bits have no number: wrapped, "COM4294967299" would read as COM3, and a
    // rename would release that other port's claim in the COM name database.
    DWORD number = 0;
    for (const WCHAR* digit = name + ComPrefixLength; *digit >= L'0' && *digit <= L'9'; ++digit) {
        const DWORD value = static_cast<DWORD>(*digit - L'0');
        if (number > (0xFFFFFFFFu - value) / 10) {
            return 0;
        }
        number = number * 10 + value;
    }
    return number;
}

bool ComNumberInUse(const BYTE* usage, DWORD number)
{
    if (number < 1 || number > HighestComNumber) {
        return false;
    }
    return (usage[(number - 1) / 8] >> ((number - 1) % 8)) & 1;
}

void ClearComNumber(BYTE* usage, DWORD number)
{
    if (number >= 1 && number <= HighestComNumber) {
        usage[(number - 1) / 8] &= static_cast<BYTE>(~(1u << ((number - 1) % 8)));
    }
}

void QueryComUsage(HCOMDB database, BYTE* usage)
{
    ZeroMemory(usage, ComUsageBytes);
    if (database == HCOMDB_INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD reported = 0;
    if (ComDBGetCurrentPortUsage(database, usage, ComUsageBytes, CDB_REPORT_BITS, &reported) !=
        ERROR_SUCCESS) {
        ZeroMemory(usage, ComUsageBytes);
    }
}

void FillPortNumberList(HWND dialog, AdvancedBlock* advanced)
{
    HWND list = GetDlgItem(dialog, IDC_PORT_NUMBER);
    if (advanced->CurrentPortName[0] == L'\0') {
        // No name to rename from: the list stays empty, so no rename can be chosen.
        EnableWindow(list, FALSE);
        EnableWindow(GetDlgItem(dialog, IDC_PORT_NUMBER_LABEL), FALSE);
        return;
    }

    DWORD own = PortNumberOfName(advanced->CurrentPortName);

    WCHAR suffix[40];
    if (LoadStringW(ModuleInstance, IDS_IN_USE_SUFFIX, suffix, ARRAYSIZE(suffix)) <= 0) {
        lstrcpyW(suffix, DefaultInUseSuffix);
    }

    BYTE usage[ComUsageBytes];
    QueryComUsage(advanced->ComDb, usage);
    // The database holds the port's own number for this very port.
    ClearComNumber(usage, own);

    for (DWORD number = 1; number <= HighestComNumber; ++number) {
        WCHAR entry[16 + ARRAYSIZE(suffix)];
        int length = wsprintfW(entry, L"COM%d", static_cast<int>(number));
        if (ComNumberInUse(usage, number)) {
            lstrcpyW(entry + length, suffix);
        }
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    }

    // Entry k-1 is COMk; a number outside the list leaves it without a selection.
    SendMessageW(list, CB_SETCURSEL,
                 own >= 1 && own <= HighestComNumber ? static_cast<WPARAM>(own - 1)
                                                     : static_cast<WPARAM>(-1),
                 0);
}
