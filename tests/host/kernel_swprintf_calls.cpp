// Calls ntoskrnl's swprintf for the tests. This file includes nothing that declares the C
// library's swprintf, so the kernel's signature can be declared here as drivers declare it.
#include <stdarg.h>

extern "C" int swprintf(wchar_t* buffer, const wchar_t* format, ...);

int CallSwprintf(wchar_t* out, const wchar_t* format, ...)
{
    // Forward the arguments through a fixed-arity call of the variadic routine: the tests pass at
    // most six integer or pointer arguments.
    va_list args;
    va_start(args, format);
    void* a[6];
    for (void*& p : a) {
        p = va_arg(args, void*);
    }
    va_end(args);
    return swprintf(out, format, a[0], a[1], a[2], a[3], a[4], a[5]);
}
