// The kernel's headers, as every driver source sees them. In the Windows build this is mingw-w64's
// DDK; in the host build the same name resolves to the kernel stand-in. Both are C headers.
#pragma once

// mingw-w64's winnt.h and its intrinsics header both define these two; keep the intrinsic ones out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ntddk.h>
}
