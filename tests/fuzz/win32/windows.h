// Just enough of <windows.h> to compile corpage's platform-free routines on the Linux host for
// the fuzz targets: the Win32 types with their Windows widths (DWORD and LONG are 32 bits, WCHAR
// is a UTF-16 unit under -fshort-wchar) and the declarations those routines use. The routines
// behind the declarations are the doubles in win32_double.cpp, not the system's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar: WCHAR is a UTF-16 unit");

typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef uint8_t BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef LONG LSTATUS;
typedef int INT;
typedef unsigned int UINT;
typedef int BOOL;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LRESULT;
typedef intptr_t LPARAM;
typedef uintptr_t WPARAM;
typedef void* LPVOID;
typedef void* HANDLE;
typedef WORD LANGID;

struct HKEY__;
typedef HKEY__* HKEY;
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;

#define WINAPI
#define CALLBACK
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1)))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define ZeroMemory(p, n) std::memset((p), 0, (n))
#define CopyMemory(d, s, n) std::memcpy((d), (s), (n))

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_MORE_DATA 234L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

#define WM_WININICHANGE 0x001A
#define SMTO_ABORTIFHUNG 0x0002
#define CB_ADDSTRING 0x0143
#define CB_SETCURSEL 0x014E

extern "C"
{
    int WINAPI lstrlenW(LPCWSTR text);
    int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b);
    LPWSTR WINAPI lstrcpyW(LPWSTR to, LPCWSTR from);
    LPWSTR WINAPI lstrcpynW(LPWSTR to, LPCWSTR from, int units);
    LPWSTR WINAPI lstrcatW(LPWSTR to, LPCWSTR from);
    LPWSTR WINAPI CharNextW(LPCWSTR at);
    LPWSTR WINAPI CharPrevW(LPCWSTR start, LPCWSTR at);
    int wsprintfW(LPWSTR buffer, LPCWSTR format, ...);

    LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD size);
    LSTATUS WINAPI RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type,
                                  const BYTE* data, DWORD size);
    LSTATUS WINAPI RegCloseKey(HKEY key);

    LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT WINAPI SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT flags, UINT timeout, UINT_PTR* result);
    HWND WINAPI GetDlgItem(HWND dialog, int id);
    BOOL WINAPI EnableWindow(HWND window, BOOL enable);
    int WINAPI LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int units);
}
