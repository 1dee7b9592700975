// Reads. Requests queue in arrival order; the one at the head is the current read, which takes
// bytes from the receive queue as they arrive (the interrupt callback fills the queue, the service
// DPC moves bytes on) and completes when it is full or a time-out ends it.
//
// Time-outs, as the serial interface defines them (SERIAL_TIMEOUTS, captured when a read starts):
//  - interval MAXULONG, total multiplier and constant 0: return at once with what is there,
//    even nothing;
//  - interval and multiplier MAXULONG, 0 < constant < MAXULONG: return at once with what is
//    there; with nothing there, return as soon as a byte arrives, or time out after the constant;
//  - otherwise a total time-out of multiplier x length + constant milliseconds (when either is
//    set) and an interval time-out (when set, and not MAXULONG) between two bytes, counted from
//    the first byte. Either ends the read with STATUS_TIMEOUT and the bytes read so far. An
//    interval of MAXULONG outside the two combinations above sets no interval.
//
// Bytes reach the receive queue a FIFO burst at a time (the trigger level, or fewer after the
// UART's character time-out of four character times), but the time-outs are about the line: a
// byte waiting in the FIFO has come. So whenever a read would end short of its length (a time-out
// falls due, or it returns with what is there), what the UART holds is taken first: an interval
// shorter than the trigger level's character times does not split a message that keeps coming,
// and a total time-out hands over everything that arrived before it. A byte found in the FIFO
// arrived within the last four character times (the character time-out would have delivered it
// otherwise), so the interval counts on from the moment it is found.
//
// Each timer's DPC checks the time its read falls due rather than which read armed it: a DPC
// already queued when its read ended (KeCancelTimer cannot take it back) finds the next read not
// yet due and leaves it alone.
#include "corserial.h"

namespace {

PSERIAL_READ_STATE ReadOf(PSERIAL_PORT Port)
{
    return &Port->Read;
}

// Moves up to Max bytes from the receive queue. The callback writes only into the free part of
// the ring and this reads only the part it saw filled, so the copy itself needs no
// synchronisation; taking the bytes off may let the other end send again. Lock held.
ULONG TakeReceived(PSERIAL_PORT Port, PUCHAR Destination, ULONG Max)
{
    PSERIAL_RING Ring = &Port->Shared.Rx;
    ULONG Available = 0;
    ULONG Out = 0;
    SyncWithIsr(Port, [&] {
        Available = Ring->Count;
        Out = Ring->Out;
    });
    const ULONG Take = Available < Max ? Available : Max;
    if (Take == 0) {
        return 0;
    }
    const ULONG First = Take < Ring->Size - Out ? Take : Ring->Size - Out;
    RtlCopyMemory(Destination, Ring->Buffer + Out, First);
    RtlCopyMemory(Destination + First, Ring->Buffer, Take - First);
    SyncWithIsr(Port, [&] {
        Ring->Out = (Out + Take) % Ring->Size;
        Ring->Count -= Take;
        if (Port->Shared.RxFlowOff &&
            Ring->Count <= static_cast<ULONG>(Port->Shared.HandFlow.XonLimit)) {
            ReceiveFlowOn(Port);
        }
    });
    return Take;
}

// Lock held: the bytes in the UART's receive FIFO join the queue now.
VOID TakeFromUart(PSERIAL_PORT Port)
{
    SyncWithIsr(Port, [&] {
        if (Port->Shared.IsrLive && !Port->Shared.DeviceGone) {
            UartDrainReceiver(Port);
        }
    });
}

// A read that ends with an error status hands its caller nothing: the I/O manager copies a
// buffered request's data back only when it succeeds. So the bytes it had taken go back to the
// front of the receive queue, in order, for the next read; what no longer fits (the queue filled
// again meanwhile) is a queue overrun. Lock held.
VOID ReturnToQueue(PSERIAL_PORT Port, PSERIAL_READ_STATE Read)
{
    const PUCHAR Bytes = static_cast<PUCHAR>(Read->Irp->AssociatedIrp.SystemBuffer);
    PSERIAL_RING Ring = &Port->Shared.Rx;
    SyncWithIsr(Port, [&] {
        const ULONG Free = Ring->Size - Ring->Count;
        const ULONG Back = Read->Done < Free ? Read->Done : Free;
        if (Back < Read->Done) {
            Port->Shared.Errors |= SERIAL_ERROR_QUEUEOVERRUN;
            Port->Shared.Stats.BufferOverrunErrorCount += Read->Done - Back;
        }
        // The newest of them go back, so that they still join what has arrived since.
        for (ULONG k = 0; k < Back; ++k) {
            Ring->Out = (Ring->Out == 0 ? Ring->Size : Ring->Out) - 1;
            Ring->Buffer[Ring->Out] = Bytes[Read->Done - 1 - k];
        }
        Ring->Count += Back;
    });
    Read->Done = 0;
}

// Makes the request at the head of the read queue the current read and arms its total time-out.
VOID StartRead(PSERIAL_PORT Port, PIRP Irp)
{
    PSERIAL_READ_STATE Read = ReadOf(Port);
    const SERIAL_TIMEOUTS Timeouts = Port->Timeouts;
    Read->Irp = Irp;
    Read->Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    Read->Done = 0;
    Read->Deadline = 0;
    Read->ReturnAtOnce = Timeouts.ReadIntervalTimeout == MAXULONG &&
                         Timeouts.ReadTotalTimeoutMultiplier == 0 &&
                         Timeouts.ReadTotalTimeoutConstant == 0;
    Read->ReturnAtFirstByte = FALSE;
    Read->IntervalMs = 0;
    Read->IntervalArmed = FALSE;
    Read->LastByte = 0;

    ULONG64 TotalMs = 0;
    if (Timeouts.ReadIntervalTimeout == MAXULONG &&
        Timeouts.ReadTotalTimeoutMultiplier == MAXULONG) {
        Read->ReturnAtFirstByte = TRUE;
        TotalMs = Timeouts.ReadTotalTimeoutConstant;
    } else {
        TotalMs = static_cast<ULONG64>(Timeouts.ReadTotalTimeoutMultiplier) * Read->Length +
                  Timeouts.ReadTotalTimeoutConstant;
        if (Timeouts.ReadIntervalTimeout != MAXULONG) {
            Read->IntervalMs = Timeouts.ReadIntervalTimeout;
        }
    }
    if (TotalMs != 0) {
        const LONGLONG Units = TimeoutUnits(TotalMs);
        Read->Deadline = PerformanceTime() + Units;
        ArmTimer(Port, &Port->ReadTotalTimer, &Port->ReadTotalDpc, Units);
    }
    if (Read->ReturnAtOnce || Read->ReturnAtFirstByte) {
        TakeFromUart(Port); // "what has been received" includes the FIFO
    }
}

// Ends the current read with Status; FALSE when its cancel routine has it already.
BOOLEAN EndCurrentRead(PSERIAL_PORT Port, NTSTATUS Status, CompletionBatch& Done)
{
    PSERIAL_READ_STATE Read = ReadOf(Port);
    if (!QueueRemove(Read->Irp)) {
        return FALSE;
    }
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    if (NT_ERROR(Status)) {
        ReturnToQueue(Port, Read);
    }
    Done.Add(Read->Irp, Status, Read->Done);
    Read->Irp = nullptr;
    Read->Deadline = 0;
    Read->IntervalArmed = FALSE;
    return TRUE;
}

// Bytes into the current read; notes when they came for the interval time-out.
VOID FillCurrentRead(PSERIAL_PORT Port)
{
    PSERIAL_READ_STATE Read = ReadOf(Port);
    PUCHAR Buffer = static_cast<PUCHAR>(Read->Irp->AssociatedIrp.SystemBuffer);
    const ULONG Taken = TakeReceived(Port, Buffer + Read->Done, Read->Length - Read->Done);
    if (Taken == 0) {
        return;
    }
    Read->Done += Taken;
    Read->LastByte = PerformanceTime();
    if (Read->IntervalMs != 0 && !Read->IntervalArmed) {
        Read->IntervalArmed = TRUE;
        ArmTimer(Port, &Port->ReadIntervalTimer, &Port->ReadIntervalDpc,
                 static_cast<LONGLONG>(Read->IntervalMs) * HundredNsPerMs);
    }
}

} // namespace

NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
        return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, 0);
    }
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (QueueUnlessAborted(Port, &Port->ReadQueue, Irp, Done)) {
        ServiceReads(Port, Done);
    }
    return STATUS_PENDING;
}

VOID ServiceReads(PSERIAL_PORT Port, CompletionBatch& Done)
{
    PSERIAL_READ_STATE Read = ReadOf(Port);
    for (;;) {
        if (Read->Irp == nullptr) {
            PIRP Next = QueuePeek(&Port->ReadQueue);
            if (Next == nullptr) {
                return;
            }
            StartRead(Port, Next);
        }
        FillCurrentRead(Port);
        const BOOLEAN Full = Read->Done == Read->Length;
        const BOOLEAN AtOnce = Read->ReturnAtOnce || (Read->ReturnAtFirstByte && Read->Done != 0);
        if (!Full && !AtOnce) {
            return; // waits for bytes or its time-out
        }
        if (!EndCurrentRead(Port, STATUS_SUCCESS, Done)) {
            return; // its cancel routine completes it and starts the next read
        }
    }
}

VOID EndReads(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    PSERIAL_READ_STATE Read = ReadOf(Port);
    if (Read->Irp != nullptr &&
        (File == nullptr || IoGetCurrentIrpStackLocation(Read->Irp)->FileObject == File)) {
        EndCurrentRead(Port, Status, Done);
    }
    QueueDrain(&Port->ReadQueue, File, Status, Done);
    // A cancel routine on its way may still hold the current read; it starts the next one.
}

ULONG ReceiveQueueCount(PSERIAL_PORT Port)
{
    ULONG Count = 0;
    SyncWithIsr(Port, [&] { Count = Port->Shared.Rx.Count; });
    return Count;
}

VOID ReadCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QueueCancelBegin(Irp);
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    PSERIAL_READ_STATE Read = ReadOf(Port);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    if (Irp == Read->Irp) {
        ReturnToQueue(Port, Read);
        KeCancelTimer(&Port->ReadTotalTimer);
        KeCancelTimer(&Port->ReadIntervalTimer);
        Read->Irp = nullptr;
        Read->Deadline = 0;
        Read->IntervalArmed = FALSE;
    }
    Done.Add(Irp, STATUS_CANCELLED, 0);
    ServiceReads(Port, Done);
}

VOID ReadTotalDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                         PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    PSERIAL_READ_STATE Read = ReadOf(Port);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (Read->Irp == nullptr || Read->Deadline == 0) {
        return; // armed for a read that has ended since
    }
    const LONGLONG Early = Read->Deadline - PerformanceTime();
    if (Early > 0) {
        // Armed for an earlier read, or the timer's clock ran ahead of this one: the current
        // read's own time is still to come.
        ArmTimer(Port, &Port->ReadTotalTimer, &Port->ReadTotalDpc, Early);
        return;
    }
    // Whatever arrived up to now still counts, in the queue and in the UART.
    TakeFromUart(Port);
    FillCurrentRead(Port);
    if (EndCurrentRead(Port, Read->Done == Read->Length ? STATUS_SUCCESS : STATUS_TIMEOUT, Done)) {
        ServiceReads(Port, Done);
    }
}

VOID ReadIntervalDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                            PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    PSERIAL_READ_STATE Read = ReadOf(Port);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (Read->Irp == nullptr || !Read->IntervalArmed) {
        return;
    }
    Read->IntervalArmed = FALSE;
    TakeFromUart(Port);
    FillCurrentRead(Port);
    if (Read->Done == Read->Length) {
        if (EndCurrentRead(Port, STATUS_SUCCESS, Done)) {
            ServiceReads(Port, Done);
        }
        return;
    }
    const LONGLONG Interval = static_cast<LONGLONG>(Read->IntervalMs) * HundredNsPerMs;
    const LONGLONG Quiet = PerformanceTime() - Read->LastByte;
    if (Quiet < Interval) {
        // Bytes came since the timer was set: the interval counts from the last of them.
        Read->IntervalArmed = TRUE;
        ArmTimer(Port, &Port->ReadIntervalTimer, &Port->ReadIntervalDpc, Interval - Quiet);
        return;
    }
    if (EndCurrentRead(Port, STATUS_TIMEOUT, Done)) {
        ServiceReads(Port, Done);
    }
}
