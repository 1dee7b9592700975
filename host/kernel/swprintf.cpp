// ntoskrnl's swprintf: no buffer count, UTF-16 format and output, Microsoft conversions (see
// format.h). It has C linkage and the kernel's signature, which differs from the C library's; this
// file therefore includes nothing that declares the C library's one (<wchar.h>, <cwchar> and the
// C++ headers that pull them in). Drivers declare it themselves, as the DDK does not.
#include "format.h"

namespace {

struct Utf16Writer {
    uint16_t* Out;
    int Count;
    void Put(uint32_t c)
    {
        if (c >= 0x10000) {
            c -= 0x10000;
            Out[Count++] = static_cast<uint16_t>(0xD800 + (c >> 10));
            Out[Count++] = static_cast<uint16_t>(0xDC00 + (c & 0x3FF));
        } else {
            Out[Count++] = static_cast<uint16_t>(c);
        }
    }
};

} // namespace

extern "C" int swprintf(wchar_t* Buffer, const wchar_t* Format, ...)
{
    Utf16Writer writer{reinterpret_cast<uint16_t*>(Buffer), 0};
    va_list args;
    va_start(args, Format);
    hk::FormatKernel(writer, reinterpret_cast<const uint16_t*>(Format), nullptr, args, true);
    va_end(args);
    writer.Out[writer.Count] = 0;
    return writer.Count;
}
