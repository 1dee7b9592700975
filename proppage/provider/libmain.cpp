// Library entry and the module-wide state it sets up once, at process attach.
#include "provider/provider.h"
#include "provider/module_state.h"
#include "resources/resource.h"

HINSTANCE ModuleInstance;
WCHAR OutOfMemoryText[kOutOfMemoryTextLength];
WCHAR OutOfMemoryCaption[kOutOfMemoryCaptionLength];

// The library's entry point (there is no C runtime start-up code in front of it). The two
// out-of-memory strings are loaded here, while loading them still costs nothing, so that the box
// can be shown later when memory has run out.
extern "C" BOOL WINAPI LibMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH) {
        ModuleInstance = instance;
        DisableThreadLibraryCalls(instance);
        LoadStringW(instance, IDS_OUT_OF_MEMORY, OutOfMemoryText, kOutOfMemoryTextLength);
        LoadStringW(instance, IDS_OUT_OF_MEMORY_CAPTION, OutOfMemoryCaption,
                    kOutOfMemoryCaptionLength);
    }
    return TRUE;
}
