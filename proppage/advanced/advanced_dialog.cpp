// The Advanced Communications Port Properties dialog: FIFO trackbars, the 64-byte option and
// the COM port number, saved to the port's device key on OK.
#include "advanced.h"

#include <commctrl.h>
#include <setupapi.h>
#include <ddk/msports.h>

#include "advanced_ids.h"
#include "fifo_settings.h"
#include "../provider/provider.h"
#include "../resources/resource.h"
#include "../rename/rename.h"

namespace {

constexpr WCHAR HelpFile[] = L"devmgr.hlp";

constexpr DWORD NoHelpTopic = static_cast<DWORD>(-1);

// Context help: pairs of control and topic, ended by 0, 0. The check box, OK and Cancel have no
// topic of their own.
// clang-format off
constexpr DWORD HelpTable[] = {
    IDC_RX_CAPTION,        NoHelpTopic,
    IDC_RX_TRACKBAR,       16821,
    IDC_RX_LOW_LABEL,      NoHelpTopic,
    IDC_RX_HIGH_LABEL,     NoHelpTopic,
    IDC_TX_CAPTION,        NoHelpTopic,
    IDC_TX_TRACKBAR,       16842,
    IDC_TX_LOW_LABEL,      NoHelpTopic,
    IDC_TX_HIGH_LABEL,     NoHelpTopic,
    IDC_PORT_NUMBER,       16846,
    IDC_PORT_NUMBER_LABEL, NoHelpTopic,
    IDC_DEFAULTS,          16844,
    0,                     0,
};
// clang-format on
static_assert(ARRAYSIZE(HelpTable) % 2 == 0 && HelpTable[ARRAYSIZE(HelpTable) - 1] == 0 &&
                  HelpTable[ARRAYSIZE(HelpTable) - 2] == 0,
              "help pairs end with 0, 0");

// The eight controls of the two FIFO rows, switched together.
constexpr int FifoControls[] = {
    IDC_RX_TRACKBAR, IDC_RX_LOW_LABEL, IDC_RX_HIGH_LABEL, IDC_RX_CAPTION,
    IDC_TX_TRACKBAR, IDC_TX_LOW_LABEL, IDC_TX_HIGH_LABEL, IDC_TX_CAPTION,
};

constexpr int TxTicks[] = {6, 11};

AdvancedBlock* BlockOf(HWND dialog)
{
    return reinterpret_cast<AdvancedBlock*>(GetWindowLongPtrW(dialog, DWLP_USER));
}

bool Fifo64Checked(HWND dialog)
{
    return IsDlgButtonChecked(dialog, IDC_FIFO64) == BST_CHECKED;
}

LRESULT TrackbarPosition(HWND dialog, int id)
{
    return SendDlgItemMessageW(dialog, id, TBM_GETPOS, 0, 0);
}

void SetTrackbarPosition(HWND dialog, int id, DWORD position)
{
    SendDlgItemMessageW(dialog, id, TBM_SETPOS, TRUE, static_cast<LPARAM>(position));
}

void EnableFifoControls(HWND dialog, BOOL enable)
{
    for (int id : FifoControls) {
        EnableWindow(GetDlgItem(dialog, id), enable);
    }
}

void SetLowLabel(HWND label, int value)
{
    WCHAR prefix[258];
    WCHAR text[258 + 16];
    if (LoadStringW(ModuleInstance, IDS_LOW_LABEL, prefix, ARRAYSIZE(prefix)) > 0) {
        wsprintfW(text, L"%s%d)", prefix, value);
    } else {
        lstrcpyW(text, L"Low");
    }
    SetWindowTextW(label, text);
}

// Shows the level the trackbar stands for: the receive level from the row of the chosen FIFO
// size, the transmit depth times four on the 64-byte parts.
void UpdateHighLabel(HWND dialog, HWND trackbar)
{
    LRESULT position = SendMessageW(trackbar, TBM_GETPOS, 0, 0);
    bool fifo64 = Fifo64Checked(dialog);
    DWORD value;
    int label;
    switch (GetDlgCtrlID(trackbar)) {
    case IDC_RX_TRACKBAR:
        value = RxHighLabelValue(position, fifo64);
        label = IDC_RX_HIGH_LABEL;
        break;
    case IDC_TX_TRACKBAR:
        value = TxHighLabelValue(position, fifo64);
        label = IDC_TX_HIGH_LABEL;
        break;
    default:
        return;
    }
    WCHAR text[32];
    wsprintfW(text, L"High (%d)", static_cast<int>(value));
    SetDlgItemTextW(dialog, label, text);
}

void UpdateHighLabels(HWND dialog)
{
    UpdateHighLabel(dialog, GetDlgItem(dialog, IDC_RX_TRACKBAR));
    UpdateHighLabel(dialog, GetDlgItem(dialog, IDC_TX_TRACKBAR));
}

void InitAdvancedControls(HWND dialog, AdvancedBlock* advanced)
{
    HWND fifo64 = GetDlgItem(dialog, IDC_FIFO64);
    CheckDlgButton(dialog, IDC_FIFO64,
                   advanced->Fifo64Present && advanced->Fifo64Value != 0 ? BST_CHECKED
                                                                         : BST_UNCHECKED);
    EnableWindow(fifo64, advanced->Fifo64Present);

    // The trackbars get their ranges and positions even when a value is unusable, so that
    // Defaults, which enables them again, works on the port's real ranges.
    SendDlgItemMessageW(dialog, IDC_RX_TRACKBAR, TBM_SETRANGE, TRUE,
                        MAKELPARAM(1, RxTriggerPositions));
    SetTrackbarPosition(dialog, IDC_RX_TRACKBAR, RxPositionFromDepth(advanced->RxFifoDepth));
    SetLowLabel(GetDlgItem(dialog, IDC_RX_LOW_LABEL), 1);

    // The trackbar keeps its position inside the range: a depth of 0 shows 1, a depth above the
    // port's maximum shows the maximum (and OK then stores what is shown).
    SendDlgItemMessageW(dialog, IDC_TX_TRACKBAR, TBM_SETRANGE, TRUE,
                        MAKELPARAM(1, advanced->TxFifoMax));
    SetTrackbarPosition(dialog, IDC_TX_TRACKBAR, advanced->TxFifoDepth);
    for (int tick : TxTicks) {
        SendDlgItemMessageW(dialog, IDC_TX_TRACKBAR, TBM_SETTIC, 0, tick);
    }
    SetLowLabel(GetDlgItem(dialog, IDC_TX_LOW_LABEL), 1);
    UpdateHighLabels(dialog);

    if (advanced->RxFifoUsable && advanced->TxFifoUsable) {
        EnableFifoControls(dialog, TRUE);
    } else {
        CheckDlgButton(dialog, IDC_FIFO64, BST_UNCHECKED);
        EnableWindow(fifo64, FALSE);
        EnableFifoControls(dialog, FALSE);
    }

    FillPortNumberList(dialog, advanced);
}

void SetAdvancedTitle(HWND dialog, const AdvancedBlock* advanced)
{
    // Without string 19 the template's caption stays.
    WCHAR format[200];
    WCHAR title[1040];
    if (LoadStringW(ModuleInstance, IDS_ADVANCED_TITLE, format, ARRAYSIZE(format)) > 0) {
        wsprintfW(title, format, advanced->CurrentPortName);
        SetWindowTextW(dialog, title);
    }
}

void RestoreAdvancedDefaults(HWND dialog, const AdvancedBlock* advanced)
{
    EnableFifoControls(dialog, TRUE);
    if (advanced->Fifo64Present) {
        EnableWindow(GetDlgItem(dialog, IDC_FIFO64), TRUE);
        CheckDlgButton(dialog, IDC_FIFO64, BST_CHECKED);
    }
    SetTrackbarPosition(dialog, IDC_RX_TRACKBAR, RxPositionFromDepth(advanced->RxFifoMax));
    UpdateHighLabel(dialog, GetDlgItem(dialog, IDC_RX_TRACKBAR));
    SetTrackbarPosition(dialog, IDC_TX_TRACKBAR, advanced->TxFifoMax);
    UpdateHighLabel(dialog, GetDlgItem(dialog, IDC_TX_TRACKBAR));

    // Back to the port's own number; with no matching entry the list has no selection.
    HWND list = GetDlgItem(dialog, IDC_PORT_NUMBER);
    LRESULT entry = SendMessageW(list, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(advanced->CurrentPortName));
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
}

bool WriteDword(HKEY key, const WCHAR* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

void SaveAdvancedSettings(HWND dialog, AdvancedBlock* advanced)
{
    AdvancedChoices choices;
    if (IsWindowEnabled(GetDlgItem(dialog, IDC_RX_TRACKBAR))) {
        choices.Fifo64 = Fifo64Checked(dialog) ? 1 : 0;
        choices.RxLevel = RxLevelFromPosition(TrackbarPosition(dialog, IDC_RX_TRACKBAR));
        choices.TxDepth = static_cast<DWORD>(TrackbarPosition(dialog, IDC_TX_TRACKBAR));
    } else {
        // Start-up could not make the FIFO values usable and the user did not ask for the
        // defaults: the disabled controls show nothing the user chose, so they change nothing.
        choices.Fifo64 = advanced->Fifo64Value;
        choices.RxLevel = advanced->RxFifoDepth;
        choices.TxDepth = advanced->TxFifoDepth;
    }
    choices.OldNumber = PortNumberOfName(advanced->CurrentPortName);
    LRESULT selected = SendDlgItemMessageW(dialog, IDC_PORT_NUMBER, CB_GETCURSEL, 0, 0);
    choices.NewNumber = selected == CB_ERR ? choices.OldNumber : static_cast<DWORD>(selected) + 1;

    if (!AdvancedChoicesChanged(advanced, &choices)) {
        return;
    }

    HKEY key = SetupDiOpenDevRegKey(advanced->DeviceInfoSet, advanced->DeviceInfoData,
                                    DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (key == INVALID_HANDLE_VALUE) {
        return;
    }

    // The FIFO values are written whatever the rename did, even when the user abandoned it.
    if (choices.NewNumber != choices.OldNumber) {
        RenameComPort(dialog, advanced, key, choices.NewNumber);
    }
    if (advanced->Fifo64Present && advanced->Fifo64Value != choices.Fifo64) {
        WriteDword(key, L"EnableFifo64", choices.Fifo64);
    }
    if (advanced->RxFifoDepth != choices.RxLevel) {
        WriteDword(key, L"RxFIFO", choices.RxLevel);
    }
    if (advanced->TxFifoDepth != choices.TxDepth) {
        WriteDword(key, L"TxFIFO", choices.TxDepth);
    }
    RegCloseKey(key);

    // The port function driver reads its values only when it starts.
    if (!RequestPropertyChange(DICS_PROPCHANGE, advanced->DeviceInfoSet,
                               advanced->DeviceInfoData)) {
        WCHAR line[32];
        wsprintfW(line, L"Error %x\n", GetLastError());
        OutputDebugStringW(line);
    }
}

} // namespace

INT_PTR CALLBACK AdvancedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        auto* advanced = reinterpret_cast<AdvancedBlock*>(lParam);
        ReadAdvancedSettings(advanced);
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        InitAdvancedControls(dialog, advanced);
        SetAdvancedTitle(dialog, advanced);
        return TRUE;
    }
    case WM_COMMAND: {
        AdvancedBlock* advanced = BlockOf(dialog);
        switch (LOWORD(wParam)) {
        case IDOK:
            SaveAdvancedSettings(dialog, advanced);
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_DEFAULTS:
            RestoreAdvancedDefaults(dialog, advanced);
            return TRUE;
        case IDC_FIFO64:
            EnableFifoControls(dialog, TRUE);
            UpdateHighLabels(dialog);
            return TRUE;
        default:
            return FALSE;
        }
    }
    case WM_HSCROLL:
        if (lParam != 0) {
            UpdateHighLabel(dialog, reinterpret_cast<HWND>(lParam));
        }
        return TRUE;
    case WM_HELP: {
        auto* help = reinterpret_cast<const HELPINFO*>(lParam);
        if (help->iContextType == HELPINFO_WINDOW) {
            WinHelpW(static_cast<HWND>(help->hItemHandle), HelpFile, HELP_WM_HELP,
                     reinterpret_cast<ULONG_PTR>(HelpTable));
        }
        return FALSE;
    }
    case WM_CONTEXTMENU:
        WinHelpW(reinterpret_cast<HWND>(wParam), HelpFile, HELP_CONTEXTMENU,
                 reinterpret_cast<ULONG_PTR>(HelpTable));
        return FALSE;
    default:
        return FALSE;
    }
}

BOOL OpenAdvancedDialog(HWND parent, AdvancedBlock* advanced)
{
    advanced->DeviceKey = SetupDiOpenDevRegKey(advanced->DeviceInfoSet, advanced->DeviceInfoData,
                                               DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (advanced->DeviceKey == INVALID_HANDLE_VALUE) {
        ResourceMessageBox(parent, IDS_NO_WRITE_PRIVILEGE, IDS_PORT_PROPERTIES_CAPTION,
                           MB_OK | MB_ICONINFORMATION);
        return FALSE;
    }

    // Without the database the dialog still works: nothing shows as in use and the rename
    // leaves the database alone.
    advanced->ComDb = HCOMDB_INVALID_HANDLE_VALUE;
    if (ComDBOpen(&advanced->ComDb) != ERROR_SUCCESS) {
        advanced->ComDb = HCOMDB_INVALID_HANDLE_VALUE;
    }

    DialogBoxParamW(ModuleInstance, MAKEINTRESOURCEW(IDD_ADVANCED_SETTINGS), parent,
                    AdvancedDialogProc, reinterpret_cast<LPARAM>(advanced));

    // Start-up closes the key; when the dialog could not be created it is still open here.
    if (advanced->DeviceKey != INVALID_HANDLE_VALUE) {
        RegCloseKey(advanced->DeviceKey);
        advanced->DeviceKey = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (advanced->ComDb != HCOMDB_INVALID_HANDLE_VALUE) {
        ComDBClose(advanced->ComDb);
        advanced->ComDb = HCOMDB_INVALID_HANDLE_VALUE;
    }
    return TRUE;
}
