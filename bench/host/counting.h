// What corcard itself does to the platform, counted apart from everything else in the process.
//
// The benchmark links a copy of corcard's library in which the driver's references to the port
// I/O routines, IofCallDriver, PoCallDriver and KeWaitForSingleObject are renamed (objcopy
// --redefine-sym, see CMakeLists.txt): the compiled driver code is the same, but each of those
// calls lands here first, is counted and is passed on to the kernel stand-in. The port driver
// double, the managers and the benchmark call the stand-in directly and are not counted.
#pragma once

extern "C"
{
#include <ntddk.h>
}

#include <atomic>
#include <cstdint>

namespace bench {

struct CorcardCounts {
    std::atomic<uint64_t> StatusReads{0};        // reads of the adapter's interrupt status register
    std::atomic<uint64_t> StatusReadsNonZero{0}; // of those, reads that showed a pending port
    std::atomic<uint64_t> UartReads{0};          // reads in the UART block (BAR 0)
    std::atomic<uint64_t> UartWrites{0};
    std::atomic<uint64_t> OtherPortAccesses{0};  // anywhere else
    std::atomic<uint64_t> Requests{0};           // IofCallDriver and PoCallDriver calls
    std::atomic<uint64_t> EventWaits{0};         // KeWaitForSingleObject on an event
    std::atomic<uint64_t> BlockingEventWaits{0}; // ... that found it not yet signalled
    std::atomic<uint64_t> MutexWaits{0};         // KeWaitForSingleObject on a mutex
};

// The counters, and the port ranges that classify an access (set before the driver runs).
CorcardCounts& Corcard();
void SetCorcardPorts(ULONG64 statusPort, ULONG64 uartBase, ULONG uartLength);
void ResetCorcard();

struct CorcardSnapshot {
    uint64_t StatusReads, StatusReadsNonZero, UartReads, UartWrites, OtherPortAccesses, Requests,
        EventWaits, BlockingEventWaits, MutexWaits;
};
CorcardSnapshot TakeCorcard();

} // namespace bench
