// Host build of the WDM kernel interface: the part of ntoskrnl/hal that corcard uses, with the
// names, field names, layouts and constants of the Windows DDK (x64), implemented by the kernel
// stand-in in this folder. Driver sources include it through driver/frame/kernel.h, inside
// extern "C", exactly as they include the real DDK header in the Windows build; so everything here
// is plain C declarations plus static inline routines where the DDK has macros or FORCEINLINE.
//
// Integer widths follow Windows (LLP64): LONG/ULONG are 32 bits. WCHAR is wchar_t and the host
// build uses -fshort-wchar so that L"..." is UTF-16. Never call the C library's wide functions on
// these strings.
#pragma once

#include "ntddk_base.h"
#include "ntddk_kernel.h"
#include "ntddk_pnp.h"
#include "ntddk_io.h"
#include "ntddk_registry.h"
#include "ntddk_hal.h"
