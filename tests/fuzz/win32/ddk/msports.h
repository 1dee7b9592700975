// The COM name database declarations that corpage's shared headers name (see ../windows.h).
#pragma once

#include <windows.h>

typedef void* HCOMDB;
#define HCOMDB_INVALID_HANDLE_VALUE (static_cast<HCOMDB>(INVALID_HANDLE_VALUE))
#define CDB_REPORT_BITS 0x0

extern "C" LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB database, PBYTE buffer, DWORD size,
                                                ULONG reportType, LPDWORD maxPorts);
