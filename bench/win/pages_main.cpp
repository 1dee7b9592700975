// bench_pages: how long corpage takes under Wine, against an empty dialog made the same way in
// the same run. Each figure is the median of repeated runs, taken in turn with its empty
// counterpart so that both see the same state of the machine.
//
//  - page:      the provider asked for the Port Settings page and a modeless property sheet
//               created with it; counterpart: the same sheet with an empty page;
//  - advanced:  "Advanced..." pressed until the Advanced dialog is activated, with all 256 COM
//               numbers claimed in the COM name database; counterpart: an empty dialog box owned
//               by the page, until it is activated; also with no number claimed, for scale;
//  - *_template: the page's and the dialog's own templates from the DLL with a do-nothing dialog
//               procedure: what the controls cost, apart from corpage's own work;
//  - apply:     a changed baud rate applied through the sheet (PSM_APPLY); counterpart: PSM_APPLY
//               on the sheet with the empty page.
//
// Prints one JSON object on standard output. Usage: bench_pages [RUNS]
#include <windows.h>
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>
#include <prsht.h>
#include <stdio.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "advanced/advanced_ids.h"
#include "harness.h"

namespace {

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2);
}

// An empty dialog template: no controls, the size of the Port Settings page.
struct EmptyTemplate {
    DLGTEMPLATE Header;
    WORD Menu = 0;
    WORD Class = 0;
    WORD Title = 0;
};

EmptyTemplate MakeEmpty(DWORD style)
{
    EmptyTemplate t{};
    t.Header.style = style;
    t.Header.cx = 252;
    t.Header.cy = 218;
    return t;
}

INT_PTR CALLBACK EmptyProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// A modeless sheet holding one page with a do-nothing procedure, made as harness::Sheet makes the
// real one: an empty page, or (templateOnly) the Port Settings page's own template from the DLL,
// which shows what creating its controls costs without any of corpage's own work.
class EmptySheet {
public:
    explicit EmptySheet(bool templateOnly = false)
    {
        static EmptyTemplate page = MakeEmpty(WS_CHILD | DS_SETFONT);
        PROPSHEETPAGEW psp = {};
        psp.dwSize = sizeof(psp);
        if (templateOnly) {
            psp.hInstance = harness::PageLibrary();
            psp.pszTemplate = MAKEINTRESOURCEW(IDD_PORT_SETTINGS);
        } else {
            psp.dwFlags = PSP_DLGINDIRECT;
            psp.pResource = &page.Header;
        }
        psp.pfnDlgProc = EmptyProc;
        HPROPSHEETPAGE handle = CreatePropertySheetPageW(&psp);
        PROPSHEETHEADERW header = {};
        header.dwSize = sizeof(header);
        header.dwFlags = PSH_MODELESS;
        header.pszCaption = L"Empty";
        header.nPages = 1;
        header.phpage = &handle;
        sheet_ = reinterpret_cast<HWND>(PropertySheetW(&header));
        if (sheet_ == reinterpret_cast<HWND>(-1)) {
            sheet_ = nullptr;
        }
    }
    ~EmptySheet()
    {
        if (sheet_ != nullptr) {
            DestroyWindow(sheet_);
        }
    }
    HWND Window() const { return sheet_; }
    bool Apply() { return SendMessageW(sheet_, PSM_APPLY, 0, 0) != 0; }

private:
    HWND sheet_ = nullptr;
};

// Time from `start` until a dialog of this thread is activated; the dialog is then cancelled.
struct Activation {
    double Start = 0;
    double Activated = 0;
    HWND Dialog = nullptr;
};
Activation* watching = nullptr;
HHOOK hook = nullptr;

void CALLBACK CancelDialog(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EndDialog(window, IDCANCEL);
}

LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE && watching != nullptr && watching->Dialog == nullptr) {
        auto window = reinterpret_cast<HWND>(wParam);
        wchar_t className[32] = {};
        GetClassNameW(window, className, 31);
        if (lstrcmpW(className, L"#32770") == 0) {
            watching->Activated = Now();
            watching->Dialog = window;
            SetTimer(window, 1, 0, CancelDialog);
        }
    }
    return CallNextHookEx(hook, code, wParam, lParam);
}

double UntilActivated(const std::function<void()>& open)
{
    Activation activation;
    watching = &activation;
    hook = SetWindowsHookExW(WH_CBT, WatchActivation, nullptr, GetCurrentThreadId());
    activation.Start = Now();
    open();
    UnhookWindowsHookEx(hook);
    watching = nullptr;
    return activation.Dialog != nullptr ? activation.Activated - activation.Start : -1.0;
}

std::vector<int> AllNumbers()
{
    std::vector<int> numbers;
    for (int n = 1; n <= 256; ++n) {
        numbers.push_back(n);
    }
    return numbers;
}

struct Figure {
    const char* Name;
    std::vector<double> Real;
    std::vector<double> Empty;
};

} // namespace

int main(int argc, char** argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;

    harness::ResetPortsSection();
    harness::WritePortsValue(L"COM7:", L"9600,n,8,1");
    harness::Port port;
    if (!port.Valid() || harness::Provider() == nullptr) {
        fprintf(stderr, "bench_pages: no Ports device or no provider\n");
        return 1;
    }
    harness::PropertyChangeRecorder restarts; // under Wine the restart calls would fail
    harness::BoxAnswerer boxes;

    Figure page{"page_open", {}, {}};
    Figure advanced{"advanced_open_256_claimed", {}, {}};
    Figure advancedNone{"advanced_open_0_claimed", {}, {}};
    Figure apply{"apply", {}, {}};
    Figure pageTemplate{"page_template_only", {}, {}};
    Figure advancedTemplate{"advanced_template_only", {}, {}};
    bool ok = true;
    // One warm-up round, not counted: the first use loads the DLL and comctl32's classes.
    for (int run = -1; run < runs; ++run) {
        double t0 = Now();
        harness::Sheet sheet(port);
        const double pageTime = Now() - t0;
        t0 = Now();
        EmptySheet empty;
        const double emptyPageTime = Now() - t0;
        t0 = Now();
        EmptySheet templated(true);
        const double pageTemplateTime = Now() - t0;
        ok = ok && sheet.Valid() && empty.Window() != nullptr && templated.Window() != nullptr;
        if (!ok) {
            break;
        }

        static EmptyTemplate box = MakeEmpty(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
        auto openEmpty = [&] {
            DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &box.Header, sheet.Page(), EmptyProc,
                                    0);
        };
        harness::ResetComDb(AllNumbers());
        const double advancedTime = UntilActivated([&] { sheet.Press(IDC_ADVANCED); });
        const double emptyBoxTime = UntilActivated(openEmpty);
        harness::ResetComDb({7});
        const double advancedNoneTime = UntilActivated([&] { sheet.Press(IDC_ADVANCED); });
        const double emptyBoxTime2 = UntilActivated(openEmpty);
        const double advancedTemplateTime = UntilActivated([&] {
            DialogBoxParamW(harness::PageLibrary(), MAKEINTRESOURCEW(IDD_ADVANCED_SETTINGS),
                            sheet.Page(), EmptyProc, 0);
        });
        const double emptyBoxTime3 = UntilActivated(openEmpty);
        ok = advancedTime >= 0 && emptyBoxTime >= 0 && advancedNoneTime >= 0 &&
             emptyBoxTime2 >= 0 && advancedTemplateTime >= 0 && emptyBoxTime3 >= 0;
        if (!ok) {
            fprintf(stderr, "bench_pages: a dialog did not open\n");
            break;
        }

        // A different baud rate each run, so that every apply has something to write.
        sheet.Choose(IDC_BAUD_RATE, run % 2 == 0 ? 5 : 6);
        t0 = Now();
        const bool applied = sheet.Apply();
        const double applyTime = Now() - t0;
        t0 = Now();
        empty.Apply();
        const double emptyApplyTime = Now() - t0;
        ok = applied;
        if (!ok) {
            fprintf(stderr, "bench_pages: apply failed\n");
            break;
        }
        if (run >= 0) {
            page.Real.push_back(pageTime);
            page.Empty.push_back(emptyPageTime);
            advanced.Real.push_back(advancedTime);
            advanced.Empty.push_back(emptyBoxTime);
            advancedNone.Real.push_back(advancedNoneTime);
            advancedNone.Empty.push_back(emptyBoxTime2);
            apply.Real.push_back(applyTime);
            apply.Empty.push_back(emptyApplyTime);
            pageTemplate.Real.push_back(pageTemplateTime);
            pageTemplate.Empty.push_back(emptyPageTime);
            advancedTemplate.Real.push_back(advancedTemplateTime);
            advancedTemplate.Empty.push_back(emptyBoxTime3);
        }
    }
    harness::ResetComDb({});
    harness::ResetPortsSection();
    if (!ok) {
        return 1;
    }

    printf("{\"runs\":%d,\"unit\":\"microseconds\",\"figures\":[", runs);
    const Figure* figures[] = {&page,         &pageTemplate,     &advanced,
                               &advancedNone, &advancedTemplate, &apply};
    for (size_t i = 0; i < sizeof(figures) / sizeof(figures[0]); ++i) {
        const Figure& f = *figures[i];
        const double real = Median(f.Real);
        const double empty = Median(f.Empty);
        printf("%s{\"name\":\"%s\",\"median\":%.1f,\"empty_median\":%.1f,\"ratio\":%.2f,"
               "\"min\":%.1f,\"max\":%.1f}",
               i ? "," : "", f.Name, real, empty, empty > 0 ? real / empty : 0.0,
               *std::min_element(f.Real.begin(), f.Real.end()),
               *std::max_element(f.Real.begin(), f.Real.end()));
    }
    printf("]}\n");
    return 0;
}
