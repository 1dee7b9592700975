// The targets of corcard's renamed references (see counting.h). Built without the renaming, so
// the calls here reach the kernel stand-in.
#include "counting.h"

namespace bench {
namespace {

CorcardCounts Counts;
std::atomic<ULONG64> StatusPort{0};
std::atomic<ULONG64> UartBase{0};
std::atomic<ULONG> UartLength{0};

// Dispatcher object types of the stand-in (the first byte of every dispatcher header).
constexpr UCHAR MutantType = 2;

void CountAccess(PUCHAR port, bool write, UCHAR value)
{
    const ULONG64 address = reinterpret_cast<ULONG_PTR>(port) & 0xFFFF;
    const ULONG64 base = UartBase.load();
    if (!write && address == StatusPort.load()) {
        ++Counts.StatusReads;
        if (value != 0) {
            ++Counts.StatusReadsNonZero;
        }
    } else if (address >= base && address < base + UartLength.load()) {
        ++(write ? Counts.UartWrites : Counts.UartReads);
    } else {
        ++Counts.OtherPortAccesses;
    }
}

} // namespace

CorcardCounts& Corcard()
{
    return Counts;
}

void SetCorcardPorts(ULONG64 statusPort, ULONG64 uartBase, ULONG uartLength)
{
    StatusPort = statusPort & 0xFFFF;
    UartBase = uartBase & 0xFFFF;
    UartLength = uartLength;
}

void ResetCorcard()
{
    Counts.StatusReads = 0;
    Counts.StatusReadsNonZero = 0;
    Counts.UartReads = 0;
    Counts.UartWrites = 0;
    Counts.OtherPortAccesses = 0;
    Counts.Requests = 0;
    Counts.EventWaits = 0;
    Counts.BlockingEventWaits = 0;
    Counts.MutexWaits = 0;
}

CorcardSnapshot TakeCorcard()
{
    return CorcardSnapshot{Counts.StatusReads, Counts.StatusReadsNonZero, Counts.UartReads,
                           Counts.UartWrites,  Counts.OtherPortAccesses,  Counts.Requests,
                           Counts.EventWaits,  Counts.BlockingEventWaits, Counts.MutexWaits};
}

} // namespace bench

using namespace bench;

extern "C" UCHAR BenchCorcardReadPortUchar(PUCHAR Port)
{
    const UCHAR value = READ_PORT_UCHAR(Port);
    CountAccess(Port, false, value);
    return value;
}

extern "C" VOID BenchCorcardWritePortUchar(PUCHAR Port, UCHAR Value)
{
    CountAccess(Port, true, Value);
    WRITE_PORT_UCHAR(Port, Value);
}

extern "C" NTSTATUS FASTCALL BenchCorcardCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ++Counts.Requests;
    return IofCallDriver(DeviceObject, Irp);
}

extern "C" NTSTATUS BenchCorcardPoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ++Counts.Requests;
    return PoCallDriver(DeviceObject, Irp);
}

extern "C" NTSTATUS BenchCorcardWait(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    const auto header = static_cast<PDISPATCHER_HEADER>(Object);
    if (header->Type == MutantType) {
        ++Counts.MutexWaits;
    } else {
        ++Counts.EventWaits;
        if (header->SignalState <= 0) {
            ++Counts.BlockingEventWaits;
        }
    }
    return KeWaitForSingleObject(Object, WaitReason, WaitMode, Alertable, Timeout);
}
