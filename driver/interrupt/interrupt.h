// The shared interrupt dispatcher's side of the contract with the port function driver, and the
// register layout the dispatcher relies on.
//
// The serial port function driver that runs each port is not part of corcard. Everything the
// adapter's interrupt sharing relies on from it is gathered here, in the order the driver does it:
//
//  1. It loads on a port device through the port device's identifiers (device ID
//     "Corcard\CorPort", hardware ID "CorPort" followed by the port number).
//  2. It queries the port bus interface with the interface GUID, Size 52 and Version 2, keeps the
//     returned Context for every later call, and calls InterfaceDereference once for each
//     successful query when it is done with the interface.
//  3. It calls GetResources to learn its UART register block and the interrupt parameters. The
//     answer is STATUS_DEVICE_CONFIGURATION_ERROR while the port has no register block (the
//     adapter is not started, its start failed, or it was stopped).
//  4. It hooks at most one interrupt callback with ConnectIsr instead of connecting an interrupt of
//     its own. The adapter's single line is shared by every port; only this driver connects it.
//  5. It unhooks with DisconnectIsr before it stops using the port, in particular before the
//     adapter is stopped. The adapter's own disconnection empties the callback table but leaves
//     the port's recorded slot in place, so a new ConnectIsr is refused until DisconnectIsr.
//
// Its interrupt callback:
//  - is called at the adapter interrupt's device IRQL, holding the interrupt object's spin lock,
//    only in a pass in which the port's bit is set in the adapter's interrupt status register; it
//    may not wait, allocate paged memory or call back into the port bus interface (those take the
//    adapter's mutex);
//  - returns TRUE only when it has serviced an interrupt of its own port and in doing so cleared
//    that port's bit, because AdapterIsr reads the status register again for as long as some
//    callback answers TRUE. A callback that keeps answering TRUE without clearing its cause is cut
//    off after IsrPassLimit passes; on a level-sensitive line (PCI's own mode) the still-pending
//    cause raises the interrupt again at once and nothing is lost, but the processor is given back
//    in between. A line assigned as latched gives no new edge while that cause stays pending.
//  - may use the InterruptObject handed out by GetResources (the same object AdapterIsr passes to
//    it) with KeSynchronizeExecution to synchronise its own passive-level code with itself.
//
// Requests that the port function driver sends through its port device for configuration space,
// bus information, device state or usage notifications reach the adapter's own lower stack.
#pragma once

#include "frame/kernel.h"

// Passes of AdapterIsr after which it stops re-reading the status register even though some
// callback keeps claiming. A pass services at most 8 UARTs of 16-byte FIFOs, so a healthy port
// never needs more than a handful; reaching this limit means a callback claims without clearing.
constexpr ULONG IsrPassLimit = 256;

// 16550 register offsets from a port's IoBase (divisor latch access bit clear).
enum : ULONG {
    UartReceiveBuffer = 0,
    UartInterruptEnable = 1,
    UartInterruptIdent = 2,
    UartLineControl = 3,
    UartLineStatus = 5,
    UartModemStatus = 6,
};

constexpr UCHAR UartLcrDivisorLatch = 0x80;
// Low 4 bits of the interrupt identification register (the FIFO bits 0xC0 are above them).
constexpr UCHAR UartIirCauseMask = 0x0F;
constexpr UCHAR UartIirLineStatus = 0x06;
constexpr UCHAR UartIirCharacterTimeout = 0x0C;
