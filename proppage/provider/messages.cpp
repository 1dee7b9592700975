// The message boxes through which the provider's dialogs talk to the user. Every text is a string
// resource; when one cannot be loaded the out-of-memory box stands in for it.
#include <stdarg.h>

#include "provider/provider.h"
#include "provider/module_state.h"

namespace {
// LoadStringW fills at most this many characters, terminator included.
constexpr int kResourceTextLength = 520;
// wvsprintfW writes at most 1024 characters; the buffer leaves room to spare.
constexpr int kFormattedTextLength = 1040;
} // namespace

void ShowOutOfMemoryBox(HWND owner)
{
    MessageBoxW(owner, OutOfMemoryText, OutOfMemoryCaption, MB_SYSTEMMODAL | MB_ICONERROR);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): the inserts go on to wvsprintfW as a va_list, as it takes them
int ResourceMessageBox(HWND owner, UINT textId, UINT captionId, UINT type, ...)
{
    WCHAR resourceText[kResourceTextLength];
    WCHAR formatted[kFormattedTextLength];
    if (textId != 0 && LoadStringW(ModuleInstance, textId, resourceText, kResourceTextLength) > 0) {
        va_list arguments;
        va_start(arguments, type);
        wvsprintfW(formatted, resourceText, arguments);
        va_end(arguments);
        // The caption reuses the buffer: the text has been formatted into its own by now.
        if (LoadStringW(ModuleInstance, captionId, resourceText, kResourceTextLength) > 0) {
            int result = MessageBoxW(owner, formatted, resourceText, type);
            if (result != 0) {
                return result;
            }
        }
    }
    ShowOutOfMemoryBox(owner);
    return 0;
}
