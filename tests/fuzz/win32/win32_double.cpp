// Doubles of the Win32 routines that corpage's platform-free code calls (see win32_double.h).
#include "win32_double.h"

#include <ddk/msports.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

HINSTANCE ModuleInstance = nullptr;

void FuzzFail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

namespace {

std::u16string Fold(const std::u16string& name)
{
    std::u16string folded;
    for (char16_t c : name) {
        folded.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c);
    }
    return folded;
}

std::u16string Fold(const WCHAR* name)
{
    std::u16string text;
    for (; *name != 0; ++name) {
        text.push_back(static_cast<char16_t>(*name));
    }
    return Fold(text);
}

FakeKey* KeyOf(HKEY key)
{
    auto* fake = reinterpret_cast<FakeKey*>(key);
    if (fake == nullptr || key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        FuzzFail("registry: a call with no key");
    }
    if (fake->Closes != 0) {
        FuzzFail("registry: a call with a key that was closed");
    }
    return fake;
}

[[noreturn]] void Unreachable(const char* routine)
{
    std::fprintf(stderr, "%s: not reachable from the routines under test\n", routine);
    std::abort();
}

} // namespace

void FakeKey::Put(const std::u16string& name, DWORD type, std::vector<BYTE> data)
{
    Values[Fold(name)] = FakeValue{type, std::move(data)};
}

const FakeValue* FakeKey::Find(const std::u16string& name) const
{
    auto it = Values.find(Fold(name));
    return it == Values.end() ? nullptr : &it->second;
}

extern "C"
{

    int WINAPI lstrlenW(LPCWSTR text)
    {
        if (text == nullptr) {
            return 0;
        }
        int length = 0;
        while (text[length] != 0) {
            ++length;
        }
        return length;
    }

    // lstrcmpW compares linguistically on Windows; the callers here compare with short ASCII texts,
    // for which an ordinal comparison gives the same equality.
    int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b)
    {
        for (;; ++a, ++b) {
            if (*a != *b) {
                return static_cast<uint16_t>(*a) < static_cast<uint16_t>(*b) ? -1 : 1;
            }
            if (*a == 0) {
                return 0;
            }
        }
    }

    LPWSTR WINAPI lstrcpyW(LPWSTR to, LPCWSTR from)
    {
        LPWSTR out = to;
        while ((*out++ = *from++) != 0) {
        }
        return to;
    }

    LPWSTR WINAPI lstrcpynW(LPWSTR to, LPCWSTR from, int units)
    {
        // At most units - 1 characters and always a terminator; nothing at all for 0 units.
        if (units <= 0) {
            return to;
        }
        int i = 0;
        for (; i < units - 1 && from[i] != 0; ++i) {
            to[i] = from[i];
        }
        to[i] = 0;
        return to;
    }

    LPWSTR WINAPI lstrcatW(LPWSTR to, LPCWSTR from)
    {
        lstrcpyW(to + lstrlenW(to), from);
        return to;
    }

    LPWSTR WINAPI CharNextW(LPCWSTR at)
    {
        return const_cast<LPWSTR>(*at != 0 ? at + 1 : at);
    }

    LPWSTR WINAPI CharPrevW(LPCWSTR start, LPCWSTR at)
    {
        return const_cast<LPWSTR>(at > start ? at - 1 : start);
    }

    int wsprintfW(LPWSTR, LPCWSTR, ...)
    {
        Unreachable("wsprintfW");
    }

    // Windows' semantics: ERROR_FILE_NOT_FOUND for a missing value; the size alone when data is
    // null; ERROR_MORE_DATA with the needed size when the buffer is too small; otherwise the bytes
    // as stored (no terminator added) and their count.
    LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size)
    {
        FakeKey* fake = KeyOf(key);
        if (reserved != nullptr || (data != nullptr && size == nullptr)) {
            FuzzFail("RegQueryValueExW: invalid parameters");
        }
        auto it = fake->Values.find(Fold(name));
        if (it == fake->Values.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        const FakeValue& value = it->second;
        if (type != nullptr) {
            *type = value.Type;
        }
        const DWORD stored = static_cast<DWORD>(value.Data.size());
        if (data != nullptr && *size < stored) {
            *size = stored;
            return ERROR_MORE_DATA;
        }
        if (data != nullptr && stored != 0) {
            std::memcpy(data, value.Data.data(), stored);
        }
        if (size != nullptr) {
            *size = stored;
        }
        return ERROR_SUCCESS;
    }

    LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD size)
    {
        FakeKey* fake = KeyOf(key);
        if (reserved != 0 || (data == nullptr && size != 0)) {
            FuzzFail("RegSetValueExW: invalid parameters");
        }
        ++fake->Sets;
        if (fake->SetsFail) {
            return ERROR_ACCESS_DENIED;
        }
        std::vector<BYTE> bytes(data, data + size);
        fake->Values[Fold(name)] = FakeValue{type, std::move(bytes)};
        return ERROR_SUCCESS;
    }

    LSTATUS WINAPI RegCloseKey(HKEY key)
    {
        KeyOf(key)->Closes++;
        return ERROR_SUCCESS;
    }

    LRESULT WINAPI SendMessageW(HWND, UINT, WPARAM, LPARAM)
    {
        Unreachable("SendMessageW");
    }

    LRESULT WINAPI SendMessageTimeoutW(HWND, UINT, WPARAM, LPARAM, UINT, UINT, UINT_PTR*)
    {
        Unreachable("SendMessageTimeoutW");
    }

    HWND WINAPI GetDlgItem(HWND, int)
    {
        Unreachable("GetDlgItem");
    }

    BOOL WINAPI EnableWindow(HWND, BOOL)
    {
        Unreachable("EnableWindow");
    }

    int WINAPI LoadStringW(HINSTANCE, UINT, LPWSTR, int)
    {
        Unreachable("LoadStringW");
    }

    LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB, PBYTE, DWORD, ULONG, LPDWORD)
    {
        Unreachable("ComDBGetCurrentPortUsage");
    }

} // extern "C"
