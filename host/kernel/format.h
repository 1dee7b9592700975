// The kernel's printf-style formatting, shared by DbgPrint (8-bit output) and ntoskrnl's swprintf
// (UTF-16 output). It follows the Microsoft conventions, not the C library's: 'l' is 32 bits
// (Windows long), 'I64'/'ll' are 64 bits, 'I' is pointer-sized, %p prints 16 upper-case digits,
// %ws/%S name a wide string in the 8-bit functions, and in the wide functions %s is a wide string
// and %S/%hs an 8-bit one. %Z and %wZ take an ANSI_STRING and a UNICODE_STRING.
//
// This header must not pull in <wchar.h>: swprintf.cpp includes it and defines ntoskrnl's
// swprintf, whose signature differs from the C library's.
#pragma once

#include <ntddk.h>

#include <stdarg.h>
#include <stdint.h>

namespace hk {

// Out needs Put(uint32_t codePoint).
template <class Out>
void FormatKernel(Out& out, const uint16_t* format16, const char* format8, va_list args,
                  bool wideFunction)
{
    auto at = [&](size_t i) -> uint32_t {
        return format16 ? format16[i] : static_cast<unsigned char>(format8[i]);
    };
    auto putWide = [&](const uint16_t* s, long count, long precision) {
        long n = 0;
        for (long i = 0; (count < 0 ? s[i] != 0 : i < count) && (precision < 0 || n < precision);
             ++i, ++n) {
            uint32_t c = s[i];
            if (c >= 0xD800 && c < 0xDC00 && (count < 0 ? s[i + 1] != 0 : i + 1 < count) &&
                s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            }
            out.Put(c);
        }
    };
    auto lengthWide = [](const uint16_t* s, long count, long precision) {
        long n = 0;
        while ((count < 0 ? s[n] != 0 : n < count) && (precision < 0 || n < precision)) {
            ++n;
        }
        return n;
    };
    auto lengthNarrow = [](const char* s, long count, long precision) {
        long n = 0;
        while ((count < 0 ? s[n] != 0 : n < count) && (precision < 0 || n < precision)) {
            ++n;
        }
        return n;
    };
    auto pad = [&](long n, uint32_t c) {
        for (long i = 0; i < n; ++i) {
            out.Put(c);
        }
    };

    for (size_t i = 0; at(i) != 0; ++i) {
        uint32_t c = at(i);
        if (c != '%') {
            out.Put(c);
            continue;
        }
        ++i;
        bool left = false, zero = false, plus = false, space = false, alternate = false;
        for (;; ++i) {
            uint32_t f = at(i);
            if (f == '-') {
                left = true;
            } else if (f == '0') {
                zero = true;
            } else if (f == '+') {
                plus = true;
            } else if (f == ' ') {
                space = true;
            } else if (f == '#') {
                alternate = true;
            } else {
                break;
            }
        }
        long width = 0;
        if (at(i) == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                left = true;
                width = -width;
            }
            ++i;
        } else {
            while (at(i) >= '0' && at(i) <= '9') {
                width = width * 10 + static_cast<long>(at(i) - '0');
                ++i;
            }
        }
        long precision = -1;
        if (at(i) == '.') {
            ++i;
            precision = 0;
            if (at(i) == '*') {
                precision = va_arg(args, int);
                ++i;
            } else {
                while (at(i) >= '0' && at(i) <= '9') {
                    precision = precision * 10 + static_cast<long>(at(i) - '0');
                    ++i;
                }
            }
        }
        enum {
            Default,
            Short,
            Long,
            Wide,
            LongLong,
            PointerSize
        } size = Default;
        if (at(i) == 'h') {
            size = Short;
            ++i;
        } else if (at(i) == 'l') {
            size = Long;
            ++i;
            if (at(i) == 'l') {
                size = LongLong;
                ++i;
            }
        } else if (at(i) == 'w') {
            size = Wide;
            ++i;
        } else if (at(i) == 'I') {
            if (at(i + 1) == '6' && at(i + 2) == '4') {
                size = LongLong;
                i += 3;
            } else if (at(i + 1) == '3' && at(i + 2) == '2') {
                size = Long;
                i += 3;
            } else {
                size = PointerSize;
                ++i;
            }
        } else if (at(i) == 'z') {
            size = PointerSize;
            ++i;
        }
        uint32_t conversion = at(i);
        if (conversion == 0) {
            break;
        }

        switch (conversion) {
        case '%':
            out.Put('%');
            break;
        case 'c':
        case 'C': {
            uint32_t ch = static_cast<uint32_t>(va_arg(args, int));
            bool wideChar = (conversion == 'c') == wideFunction;
            if (size == Short) {
                wideChar = false;
            } else if (size == Long || size == Wide) {
                wideChar = true;
            }
            ch = wideChar ? (ch & 0xFFFF) : (ch & 0xFF);
            if (!left) {
                pad(width - 1, ' ');
            }
            out.Put(ch);
            if (left) {
                pad(width - 1, ' ');
            }
            break;
        }
        case 's':
        case 'S':
        case 'Z': {
            bool wideString = (conversion == 's') == wideFunction;
            if (conversion == 'Z') {
                wideString = size == Wide;
            } else if (size == Short) {
                wideString = false;
            } else if (size == Long || size == Wide) {
                wideString = true;
            }
            const void* p = va_arg(args, const void*);
            long count = -1;
            if (conversion == 'Z' && p != nullptr) {
                if (wideString) {
                    const UNICODE_STRING* u = static_cast<const UNICODE_STRING*>(p);
                    count = u->Length / 2;
                    p = u->Buffer;
                } else {
                    const ANSI_STRING* a = static_cast<const ANSI_STRING*>(p);
                    count = a->Length;
                    p = a->Buffer;
                }
            }
            static const uint16_t null16[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
            if (p == nullptr) {
                count = -1;
                wideString = true;
                p = null16;
            }
            long n = wideString ? lengthWide(static_cast<const uint16_t*>(p), count, precision)
                                : lengthNarrow(static_cast<const char*>(p), count, precision);
            if (!left) {
                pad(width - n, ' ');
            }
            if (wideString) {
                putWide(static_cast<const uint16_t*>(p), n, -1);
            } else {
                const char* s = static_cast<const char*>(p);
                for (long k = 0; k < n; ++k) {
                    out.Put(static_cast<unsigned char>(s[k]));
                }
            }
            if (left) {
                pad(width - n, ' ');
            }
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        case 'p': {
            bool isSigned = conversion == 'd' || conversion == 'i';
            uint64_t magnitude;
            bool negative = false;
            if (conversion == 'p') {
                magnitude = reinterpret_cast<uintptr_t>(va_arg(args, void*));
                precision = 16;
                zero = false;
            } else if (size == LongLong || size == PointerSize) {
                int64_t v = va_arg(args, int64_t);
                negative = isSigned && v < 0;
                magnitude = negative ? static_cast<uint64_t>(0) - static_cast<uint64_t>(v)
                                     : static_cast<uint64_t>(v);
            } else {
                int32_t v = va_arg(args, int32_t);
                if (size == Short) {
                    v = isSigned ? static_cast<int16_t>(v) : static_cast<uint16_t>(v);
                }
                if (isSigned) {
                    negative = v < 0;
                    magnitude = negative ? static_cast<uint64_t>(-static_cast<int64_t>(v))
                                         : static_cast<uint64_t>(v);
                } else {
                    magnitude = static_cast<uint32_t>(v);
                }
            }
            unsigned base = (conversion == 'x' || conversion == 'X' || conversion == 'p') ? 16
                            : conversion == 'o'                                           ? 8
                                                                                          : 10;
            const char* digits = (conversion == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
            char buffer[32];
            int n = 0;
            while (magnitude != 0) {
                buffer[n++] = digits[magnitude % base];
                magnitude /= base;
            }
            long minimumDigits = precision < 0 ? 1 : precision;
            long digitCount = n > minimumDigits ? n : minimumDigits;
            char sign = negative ? '-' : (isSigned && plus) ? '+' : (isSigned && space) ? ' ' : 0;
            const char* prefix = "";
            if (alternate && base == 16 && n > 0) {
                prefix = conversion == 'X' ? "0X" : "0x";
            } else if (alternate && base == 8) {
                prefix = "0";
            }
            long prefixLength = static_cast<long>(sign != 0) + static_cast<long>(strlen(prefix));
            long total = prefixLength + digitCount;
            bool zeroPad = zero && !left && precision < 0;
            if (!left && !zeroPad) {
                pad(width - total, ' ');
            }
            if (sign) {
                out.Put(static_cast<uint32_t>(sign));
            }
            for (const char* q = prefix; *q; ++q) {
                out.Put(static_cast<uint32_t>(*q));
            }
            if (zeroPad) {
                pad(width - total, '0');
            }
            pad(digitCount - n, '0');
            while (n > 0) {
                out.Put(static_cast<uint32_t>(buffer[--n]));
            }
            if (left) {
                pad(width - total, ' ');
            }
            break;
        }
        case 'n':
            (void)va_arg(args, void*);
            break;
        default:
            // Unknown conversion: printed as written, as the kernel's formatter does.
            out.Put('%');
            out.Put(conversion);
            break;
        }
    }
}

} // namespace hk
