// Run-time library string routines, with the kernel's results in the corner cases: a conversion
// into a caller buffer that does not fit returns STATUS_BUFFER_OVERFLOW after setting the
// destination's Length to the size it would have needed (and writes nothing), an append that does
// not fit returns STATUS_BUFFER_TOO_SMALL and changes nothing, and a string gets a terminator only
// where there is room for one.
#include "internal.h"

namespace {

constexpr ULONG StringTag = 0x53747247; // "GrtS", the run-time library's string tag

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

// The system's ANSI code page (1252): identical to Latin-1 except 0x80..0x9F.
WCHAR AnsiToUnicode(unsigned char c)
{
    static const WCHAR High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                   0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    if (c >= 0x80 && c < 0xA0) {
        return High[c - 0x80];
    }
    return c;
}

char UnicodeToAnsi(WCHAR c)
{
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
        return static_cast<char>(c);
    }
    for (unsigned char b = 0x80; b < 0xA0; ++b) {
        if (AnsiToUnicode(b) == c) {
            return static_cast<char>(b);
        }
    }
    return '?';
}

} // namespace

namespace hk {

std::u16string FromCounted(const UNICODE_STRING* s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

std::u16string FromTerminated(PCWSTR s)
{
    if (s == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(s), WideLength(s));
}

std::u16string Upcase(const std::u16string& s)
{
    std::u16string out = s;
    for (char16_t& c : out) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return out;
}

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix)
{
    return s.size() >= prefix.size() && Upcase(s.substr(0, prefix.size())) == Upcase(prefix);
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return out;
}

bool AllocateUnicodeString(const std::u16string& text, PUNICODE_STRING out)
{
    size_t bytes = text.size() * sizeof(WCHAR);
    PWCH buffer;
    {
        HkPlatformCalls platform;
        buffer =
            static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), StringTag));
    }
    if (buffer == nullptr) {
        return false;
    }
    memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = UNICODE_NULL;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(bytes);
    out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return true;
}

} // namespace hk

using namespace hk;

extern "C" SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const unsigned char* a = static_cast<const unsigned char*>(Source1);
    const unsigned char* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

extern "C" VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = strlen(SourceString);
    if (n > MAXUSHORT - 1) {
        n = MAXUSHORT - 1;
    }
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
}

extern "C" VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    RtlInitString(DestinationString, SourceString);
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    const size_t maxBytes = (MAXUSHORT & ~1) - sizeof(WCHAR);
    if (bytes > maxBytes) {
        bytes = maxBytes;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

extern "C" NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                 PCANSI_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString)
{
    ULONG needed = (static_cast<ULONG>(SourceString->Length) + 1) * sizeof(WCHAR);
    if (needed > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    // The kernel stores the converted length before it checks the room for it.
    DestinationString->Length = static_cast<USHORT>(needed - sizeof(WCHAR));
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
        DestinationString->Buffer =
            static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, needed, StringTag));
        if (DestinationString->Buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
    } else if (DestinationString->Length >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i) {
        DestinationString->Buffer[i] =
            AnsiToUnicode(static_cast<unsigned char>(SourceString->Buffer[i]));
    }
    DestinationString->Buffer[SourceString->Length] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                 PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString)
{
    ULONG needed = SourceString->Length / sizeof(WCHAR) + 1;
    if (needed > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    NTSTATUS status = STATUS_SUCCESS;
    DestinationString->Length = static_cast<USHORT>(needed - 1);
    if (AllocateDestinationString) {
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
        DestinationString->Buffer =
            static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, StringTag));
        if (DestinationString->Buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
    } else if (DestinationString->Length >= DestinationString->MaximumLength) {
        // Converts what fits and says so.
        if (DestinationString->MaximumLength == 0) {
            return STATUS_BUFFER_OVERFLOW;
        }
        status = STATUS_BUFFER_OVERFLOW;
        DestinationString->Length = static_cast<USHORT>(DestinationString->MaximumLength - 1);
    }
    for (USHORT i = 0; i < DestinationString->Length; ++i) {
        DestinationString->Buffer[i] = UnicodeToAnsi(SourceString->Buffer[i]);
    }
    DestinationString->Buffer[DestinationString->Length] = ANSI_NULL;
    return status;
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, StringTag);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

extern "C" VOID RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer != nullptr) {
        ExFreePoolWithTag(AnsiString->Buffer, StringTag);
    }
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

extern "C" NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if (bytes + Destination->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PWCH end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    memmove(end, Source, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length < Destination->MaximumLength) {
        end[bytes / sizeof(WCHAR)] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                   PCUNICODE_STRING Source)
{
    USHORT bytes = Source->Length;
    if (bytes == 0) {
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONG>(bytes) + Destination->Length > Destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    PWCH end = Destination->Buffer + Destination->Length / sizeof(WCHAR);
    memmove(end, Source->Buffer, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    if (Destination->Length < Destination->MaximumLength) {
        end[bytes / sizeof(WCHAR)] = UNICODE_NULL;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String)
{
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    char digits[33];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[Value % Base];
        Value /= Base;
    } while (Value != 0);
    // OutputLength counts the terminator when there is room for one; a negative length means
    // "large enough".
    if (OutputLength >= 0 && n > OutputLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < n; ++i) {
        String[i] = digits[n - 1 - i];
    }
    if (OutputLength < 0 || n < OutputLength) {
        String[n] = 0;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    char text[33];
    NTSTATUS status = RtlIntegerToChar(Value, Base, sizeof(text), text);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ANSI_STRING ansi;
    ansi.Buffer = text;
    ansi.Length = static_cast<USHORT>(strlen(text));
    ansi.MaximumLength = sizeof(text);
    return RtlAnsiStringToUnicodeString(String, &ansi, FALSE);
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                     PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : DestinationString->MaximumLength;
    bytes = static_cast<USHORT>(bytes & ~1);
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes < DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

static WCHAR UpcaseChar(WCHAR c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

extern "C" LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive)
{
    size_t n1 = String1->Length / sizeof(WCHAR);
    size_t n2 = String2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = UpcaseChar(a);
            b = UpcaseChar(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}
