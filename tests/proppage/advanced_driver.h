// Drives the Advanced dialog (dialog 16) from a test: the page's "&Advanced..." button starts the
// dialog's modal loop, and the test's script runs inside that loop with the dialog's window, the
// way a user works the controls, until it presses OK or Cancel.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "advanced/advanced_ids.h"
#include "harness.h"

namespace advanced {

// The dialog as the user sees it.
class Dialog {
public:
    explicit Dialog(HWND window) : window_(window) {}

    HWND Window() const { return window_; }
    HWND Control(int id) const { return GetDlgItem(window_, id); }
    bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }

    std::wstring Text(int id) const { return TextOf(Control(id)); }
    std::wstring Title() const { return TextOf(window_); }

    LRESULT Position(int trackbar) const
    {
        return SendMessageW(Control(trackbar), TBM_GETPOS, 0, 0);
    }
    LRESULT RangeMin(int trackbar) const
    {
        return SendMessageW(Control(trackbar), TBM_GETRANGEMIN, 0, 0);
    }
    LRESULT RangeMax(int trackbar) const
    {
        return SendMessageW(Control(trackbar), TBM_GETRANGEMAX, 0, 0);
    }
    bool Fifo64Checked() const { return IsDlgButtonChecked(window_, IDC_FIFO64) == BST_CHECKED; }

    std::vector<std::wstring> PortNumbers() const
    {
        std::vector<std::wstring> entries;
        HWND list = Control(IDC_PORT_NUMBER);
        LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t text[64] = {};
            SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            entries.push_back(text);
        }
        return entries;
    }
    LRESULT PortNumberSelection() const
    {
        return SendMessageW(Control(IDC_PORT_NUMBER), CB_GETCURSEL, 0, 0);
    }

    // A key pressed on a trackbar (VK_LEFT, VK_RIGHT, VK_HOME, VK_END): the trackbar moves and
    // reports the scroll to the dialog itself.
    void Key(int trackbar, WPARAM key)
    {
        HWND control = Control(trackbar);
        SendMessageW(control, WM_KEYDOWN, key, 0);
        SendMessageW(control, WM_KEYUP, key, 0);
    }
    // The thumb dragged to a position and released.
    void Drag(int trackbar, LRESULT position)
    {
        HWND control = Control(trackbar);
        SendMessageW(control, TBM_SETPOS, TRUE, position);
        SendMessageW(window_, WM_HSCROLL, MAKEWPARAM(TB_THUMBTRACK, position),
                     reinterpret_cast<LPARAM>(control));
        SendMessageW(window_, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0),
                     reinterpret_cast<LPARAM>(control));
    }
    // A click on the 64-byte check box.
    void ClickFifo64() { SendMessageW(Control(IDC_FIFO64), BM_CLICK, 0, 0); }
    // A COM number picked in the list (index 0 is COM1).
    void ChoosePortNumber(int index)
    {
        HWND list = Control(IDC_PORT_NUMBER);
        SendMessageW(list, CB_SETCURSEL, index, 0);
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(IDC_PORT_NUMBER, CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(list));
    }
    void Press(int id)
    {
        SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Control(id)));
    }
    void PressDefaults() { Press(IDC_DEFAULTS); }
    void PressOk() { Press(IDOK); }
    void PressCancel() { Press(IDCANCEL); }

private:
    static std::wstring TextOf(HWND window)
    {
        wchar_t text[512] = {};
        GetWindowTextW(window, text, 511);
        return text;
    }

    HWND window_;
};

using Script = std::function<void(Dialog&)>;

namespace detail {

struct Run {
    Script script;
    HWND dialog = nullptr;
    int opened = 0;
    bool ran = false;
};

inline Run* current = nullptr;
inline HHOOK hook = nullptr;

inline bool IsAdvancedDialog(HWND window)
{
    wchar_t className[32] = {};
    GetClassNameW(window, className, 31);
    return lstrcmpW(className, L"#32770") == 0 && GetDlgItem(window, IDC_RX_TRACKBAR) != nullptr &&
           GetDlgItem(window, IDC_PORT_NUMBER) != nullptr;
}

// Runs once the dialog's modal loop dispatches messages, never inside the activation itself.
inline void CALLBACK RunScript(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    Run* run = current;
    if (run == nullptr || run->ran) {
        return;
    }
    run->ran = true;
    Dialog dialog(window);
    run->script(dialog);
    // A script that ended without closing the dialog (a failed assertion) must not leave the
    // test waiting in the modal loop.
    if (IsWindow(window) && IsWindowVisible(window)) {
        dialog.PressCancel();
    }
}

inline LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && current != nullptr) {
        auto window = reinterpret_cast<HWND>(wParam);
        if (!current->ran && current->dialog == nullptr && IsAdvancedDialog(window)) {
            current->dialog = window;
            ++current->opened;
            SetTimer(window, 1, 0, RunScript);
        }
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

} // namespace detail

// Presses "&Advanced..." on the sheet's page and runs the script inside the dialog. Returns
// whether the dialog opened at all.
inline bool RunAdvanced(harness::Sheet& sheet, Script script)
{
    detail::Run run;
    run.script = std::move(script);
    detail::current = &run;
    detail::hook =
        SetWindowsHookExW(WH_CBT, detail::WatchActivation, nullptr, GetCurrentThreadId());
    EXPECT_NE(detail::hook, nullptr);
    sheet.Press(IDC_ADVANCED);
    UnhookWindowsHookEx(detail::hook);
    detail::hook = nullptr;
    detail::current = nullptr;
    return run.opened > 0;
}

// The dialog opened and closed at once with Cancel, keeping what the script saw.
inline bool OpenAndCancel(harness::Sheet& sheet, Script look)
{
    return RunAdvanced(sheet, [&](Dialog& dialog) {
        look(dialog);
        dialog.PressCancel();
    });
}

} // namespace advanced
