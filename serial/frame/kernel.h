// The kernel's headers, as every corserial source sees them: the DDK, the serial port interface
// (IOCTL_SERIAL_*, SERIAL_* records, the COM port interface class) and WMI's records (WNODE_*,
// WMIREGINFO). In the Windows build these are mingw-w64's headers; in the host build the same
// names resolve to the kernel stand-in. All are C.
#pragma once

// mingw-w64's winnt.h and its intrinsics header both define these two; keep the intrinsic ones out.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C"
{
#include <ntddk.h>
#include <ntddser.h>
#include <wmistr.h>
}
