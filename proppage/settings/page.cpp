// The "Port Settings" property page: shows the port's default line settings from the [Ports]
// profile value and writes them back on Apply when they changed.
#include "advanced/advanced.h"
#include "provider/provider.h"
#include <prsht.h>
#include "resources/resource.h"
#include "settings/line_tables.h"
#include "settings/settings.h"

namespace {

// Room for a list string resource, terminator included.
constexpr int kListStringLength = 258;
// "COM256:" and its terminator.
constexpr int kProfileKeyLength = kPortNameLength + 1;

const WCHAR kHelpFile[] = L"devmgr.hlp";
const DWORD kHelpIds[] = {
    static_cast<DWORD>(-1),
    static_cast<DWORD>(-1),
    IDC_ADVANCED,
    15840,
    IDC_BAUD_RATE,
    15841,
    IDC_DATA_BITS,
    15842,
    IDC_PARITY,
    15843,
    IDC_STOP_BITS,
    15844,
    IDC_FLOW_CONTROL,
    15845,
    IDC_RESTORE_DEFAULTS,
    15892,
    0,
    0,
};

// The five line-setting lists.
const int kLists[] = {IDC_BAUD_RATE, IDC_PARITY, IDC_DATA_BITS, IDC_STOP_BITS, IDC_FLOW_CONTROL};

PageRecord* RecordOf(HWND dialog)
{
    return reinterpret_cast<PageRecord*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

void MarkChanged(HWND dialog)
{
    SendMessageW(GetParent(dialog), PSM_CHANGED, reinterpret_cast<WPARAM>(dialog), 0);
}

void Select(HWND dialog, int list, INT index)
{
    SendDlgItemMessageW(dialog, list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

// Selects the first entry that begins with text (case-insensitive), or entry 0.
void SelectByPrefix(HWND dialog, int list, const WCHAR* text)
{
    LRESULT index = SendDlgItemMessageW(dialog, list, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                        reinterpret_cast<LPARAM>(text));
    Select(dialog, list, index == CB_ERR ? 0 : static_cast<INT>(index));
}

INT SelectionOf(HWND dialog, int list)
{
    return static_cast<INT>(SendDlgItemMessageW(dialog, list, CB_GETCURSEL, 0, 0));
}

// Adds the entries of a list string resource: its first character separates the entries. When
// decimalSeparator is not 0 it replaces the first "." of each entry. FALSE when the string is
// missing (the list then stays empty).
BOOL AddListEntries(HWND dialog, int list, UINT stringId, WCHAR decimalSeparator)
{
    WCHAR entries[kListStringLength];
    if (LoadStringW(ModuleInstance, stringId, entries, kListStringLength) == 0) {
        return FALSE;
    }
    WCHAR separator = entries[0];
    WCHAR* entry = entries + 1;
    for (;;) {
        WCHAR* end = entry;
        while (*end != L'\0' && *end != separator) {
            ++end;
        }
        BOOL last = *end == L'\0';
        *end = L'\0';
        if (decimalSeparator != L'\0') {
            for (WCHAR* c = entry; *c != L'\0'; ++c) {
                if (*c == L'.') {
                    *c = decimalSeparator;
                    break;
                }
            }
        }
        SendDlgItemMessageW(dialog, list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
        if (last) {
            return TRUE;
        }
        entry = end + 1;
    }
}

void FillLists(HWND dialog)
{
    WCHAR text[kNumberTextLength];
    for (DWORD rate : kBaudRates) {
        SendDlgItemMessageW(dialog, IDC_BAUD_RATE, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(NumberToText(rate, text)));
    }
    SelectByPrefix(dialog, IDC_BAUD_RATE, kDefaultBaudText);

    for (WORD bits : kDataBits) {
        SendDlgItemMessageW(dialog, IDC_DATA_BITS, CB_ADDSTRING, 0,
                            reinterpret_cast<LPARAM>(NumberToText(bits, text)));
    }
    Select(dialog, IDC_DATA_BITS, kDataBits8);

    if (AddListEntries(dialog, IDC_PARITY, IDS_PARITY_LIST, L'\0')) {
        Select(dialog, IDC_PARITY, kParityNone);
    }

    // "1.5" is shown with the user's decimal separator; the stored text keeps the full stop. Only
    // a one-character separator fits the two-character buffer.
    WCHAR separator[2] = {};
    if (GetLocaleInfoW(GetUserDefaultLCID(), LOCALE_SDECIMAL, separator, 2) == 0) {
        separator[0] = L'\0';
    }
    if (AddListEntries(dialog, IDC_STOP_BITS, IDS_STOP_BITS_LIST, separator[0])) {
        Select(dialog, IDC_STOP_BITS, kStopBitsOne);
    }

    if (AddListEntries(dialog, IDC_FLOW_CONTROL, IDS_FLOW_CONTROL_LIST, L'\0')) {
        Select(dialog, IDC_FLOW_CONTROL, kFlowNone);
    }
}

// Reads "PortName" from the device key into name. A value that is not a string, is empty, or
// fills the whole buffer without a terminator is not a usable name.
BOOL ReadPortName(HKEY key, WCHAR* name)
{
    WCHAR value[kPortNameLength] = {};
    DWORD size = sizeof(value);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        return FALSE;
    }
    // The registry does not promise a terminator. A shorter value is terminated by the zeroed
    // rest of the buffer; a value that fills the buffer must carry its own.
    DWORD units = size / sizeof(WCHAR);
    if (units == kPortNameLength && value[kPortNameLength - 1] != L'\0') {
        return FALSE;
    }
    if (value[0] == L'\0') {
        return FALSE;
    }
    lstrcpynW(name, value, kPortNameLength);
    return TRUE;
}

void FormProfileKey(const WCHAR* portName, WCHAR* key)
{
    lstrcpynW(key, portName, kPortNameLength);
    lstrcatW(key, L":");
}

void ShowStoredSettings(HWND dialog, PageRecord* record, const WCHAR* profileKey)
{
    WCHAR value[kPortsValueLength];
    GetProfileStringW(kPortsSection, profileKey, L"", value, kPortsValueLength);
    TrimBlanks(value);
    if (value[0] == L'\0') {
        lstrcpyW(value, kDefaultPortsValue);
        WriteProfileStringW(kPortsSection, profileKey, kDefaultPortsValue);
    }

    LineSettings settings;
    const WCHAR* baudField;
    ParsePortsValue(value, &settings, &baudField);

    record->BaudRate = settings.BaudRate;
    record->ParityIndex = settings.ParityIndex;
    record->DataBitsIndex = settings.DataBitsIndex;
    record->StopBitsIndex = settings.StopBitsIndex;
    record->FlowControlIndex = settings.FlowControlIndex;

    SelectByPrefix(dialog, IDC_BAUD_RATE, baudField);
    Select(dialog, IDC_PARITY, settings.ParityIndex);
    Select(dialog, IDC_DATA_BITS, settings.DataBitsIndex);
    Select(dialog, IDC_STOP_BITS, settings.StopBitsIndex);
    Select(dialog, IDC_FLOW_CONTROL, settings.FlowControlIndex);
}

void ReadSettings(HWND dialog, PageRecord* record)
{
    HKEY key = SetupDiOpenDevRegKey(record->DeviceInfoSet, record->DeviceInfoData, DICS_FLAG_GLOBAL,
                                    0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return;
    }
    BOOL named = ReadPortName(key, record->PortName);
    RegCloseKey(key);
    if (!named) {
        record->PortName[0] = L'\0';
        return;
    }

    WCHAR profileKey[kProfileKeyLength];
    FormProfileKey(record->PortName, profileKey);
    ShowStoredSettings(dialog, record, profileKey);

    if (!record->Editable) {
        for (int list : kLists) {
            EnableWindow(GetDlgItem(dialog, list), FALSE);
        }
    }
}

void SaveSettings(HWND dialog, PageRecord* record)
{
    // Without the port's name there is no profile key to write under.
    if (record->PortName[0] == L'\0') {
        return;
    }

    WCHAR baudText[kBaudTextLength + 1];
    SendDlgItemMessageW(dialog, IDC_BAUD_RATE, WM_GETTEXT, kBaudTextLength + 1,
                        reinterpret_cast<LPARAM>(baudText));
    if (baudText[0] == L'\0') {
        return;
    }
    // A stored rate that no list entry shows exactly (for example "56000") stays as it is until
    // the user picks a rate: the list's selection alone says nothing about it.
    if (!record->BaudRatePicked) {
        NumberToText(record->BaudRate, baudText);
    }

    LineSettings chosen;
    chosen.BaudRate = ParseDecimal(baudText);
    chosen.ParityIndex = SelectionOf(dialog, IDC_PARITY);
    chosen.DataBitsIndex = SelectionOf(dialog, IDC_DATA_BITS);
    chosen.StopBitsIndex = SelectionOf(dialog, IDC_STOP_BITS);
    chosen.FlowControlIndex = SelectionOf(dialog, IDC_FLOW_CONTROL);

    WCHAR value[kPortsValueLength];
    if (!ComposePortsValue(baudText, &chosen, value)) {
        return; // a list without a selection
    }
    if (chosen.BaudRate == record->BaudRate && chosen.ParityIndex == record->ParityIndex &&
        chosen.DataBitsIndex == record->DataBitsIndex &&
        chosen.StopBitsIndex == record->StopBitsIndex &&
        chosen.FlowControlIndex == record->FlowControlIndex) {
        return;
    }

    WCHAR profileKey[kProfileKeyLength];
    FormProfileKey(record->PortName, profileKey);
    if (WriteProfileStringW(kPortsSection, profileKey, value)) {
        // A second Apply on the same page compares with what is stored now.
        record->BaudRate = chosen.BaudRate;
        record->ParityIndex = chosen.ParityIndex;
        record->DataBitsIndex = chosen.DataBitsIndex;
        record->StopBitsIndex = chosen.StopBitsIndex;
        record->FlowControlIndex = chosen.FlowControlIndex;
    }
    BroadcastProfileChange(kPortsSection);
    RequestPropertyChange(DICS_PROPCHANGE, record->DeviceInfoSet, record->DeviceInfoData);
}

void RestoreDefaults(HWND dialog, PageRecord* record)
{
    SelectByPrefix(dialog, IDC_BAUD_RATE, kDefaultBaudText);
    record->BaudRatePicked = TRUE;
    Select(dialog, IDC_PARITY, kParityNone);
    Select(dialog, IDC_DATA_BITS, kDataBits8);
    Select(dialog, IDC_STOP_BITS, kStopBitsOne);
    Select(dialog, IDC_FLOW_CONTROL, kFlowNone);
    MarkChanged(dialog);
}

BOOL SameName(const WCHAR* a, const WCHAR* b)
{
    for (int i = 0; i < kPortNameLength; ++i) {
        if (a[i] != b[i]) {
            return FALSE;
        }
        if (a[i] == L'\0') {
            return TRUE;
        }
    }
    return TRUE;
}

void ShowAdvanced(HWND dialog, PageRecord* record)
{
    AdvancedBlock* block = record->Advanced;
    if (block == nullptr) {
        return;
    }
    lstrcpynW(block->NewPortName, record->PortName, kPortNameLength);
    if (OpenAdvancedDialog(dialog, block)) {
        block->NewPortName[kPortNameLength - 1] = L'\0';
        if (!SameName(block->NewPortName, record->PortName)) {
            // Later saves go to the renamed port's key; the rename moved the stored value.
            lstrcpynW(record->PortName, block->NewPortName, kPortNameLength);
        }
    }
}

} // namespace

INT_PTR CALLBACK PortSettingsPageProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        auto page = reinterpret_cast<LPPROPSHEETPAGEW>(lParam);
        auto record = reinterpret_cast<PageRecord*>(page->lParam);
        SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(record));
        FillLists(dialog);
        ReadSettings(dialog, record);
        EnableWindow(GetDlgItem(dialog, IDC_ADVANCED), record->AdvancedEnabled);
        EnableWindow(GetDlgItem(dialog, IDC_RESTORE_DEFAULTS), record->Editable);
        return TRUE;
    }
    case WM_COMMAND: {
        PageRecord* record = RecordOf(dialog);
        if (record == nullptr) {
            return FALSE; // a list notification during creation, before WM_INITDIALOG
        }
        if (HIWORD(wParam) == CBN_SELCHANGE) {
            if (LOWORD(wParam) == IDC_BAUD_RATE) {
                record->BaudRatePicked = TRUE;
            }
            MarkChanged(dialog);
        } else if (LOWORD(wParam) == IDC_ADVANCED) {
            ShowAdvanced(dialog, record);
        } else if (LOWORD(wParam) == IDC_RESTORE_DEFAULTS) {
            RestoreDefaults(dialog, record);
        }
        return FALSE;
    }
    case WM_NOTIFY:
        if (reinterpret_cast<LPNMHDR>(lParam)->code == static_cast<UINT>(PSN_APPLY)) {
            SaveSettings(dialog, RecordOf(dialog));
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, PSNRET_NOERROR);
            return TRUE;
        }
        return FALSE;
    case WM_HELP: {
        auto help = reinterpret_cast<LPHELPINFO>(lParam);
        if (help->iContextType == HELPINFO_WINDOW) {
            WinHelpW(static_cast<HWND>(help->hItemHandle), kHelpFile, HELP_WM_HELP,
                     reinterpret_cast<ULONG_PTR>(kHelpIds));
        }
        return FALSE;
    }
    case WM_CONTEXTMENU:
        WinHelpW(reinterpret_cast<HWND>(wParam), kHelpFile, HELP_CONTEXTMENU,
                 reinterpret_cast<ULONG_PTR>(kHelpIds));
        return FALSE;
    default:
        return FALSE;
    }
}
