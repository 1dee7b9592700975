// Writes, flushes and the immediate character.
//
// Writes and flushes queue in arrival order; the one at the head is the current request. A
// current write hands its buffer to the transmitter (SERIAL_SHARED's TxBuffer), which the
// interrupt callback feeds into the transmit FIFO a burst at a time; the write completes once its
// last byte is in the transmitter. A flush completes when it reaches the head, i.e. once every
// write before it has completed. A write's total time-out ends it with the bytes sent so far.
//
// The immediate character goes out ahead of the writes (TransmitCommChar); its request completes
// once the character is in the transmitter.
#include "corserial.h"

namespace {

// Transmit toggle raises RTS before the first byte of a burst goes in.
VOID TransmitByte(PSERIAL_SHARED S, UCHAR Byte)
{
    if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
        !(S->Mcr & McrRts)) {
        UartSetMcr(S, McrRts, 0);
    }
    UartOut(S, UartRbrThr, Byte);
}

ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

BOOLEAN IsFlush(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
}

// Takes the current write back from the transmitter; returns the bytes it sent. Lock held.
ULONG TakeBackWrite(PSERIAL_PORT Port)
{
    ULONG Sent = 0;
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        Sent = S->TxLength - S->TxRemaining;
        S->TxBuffer = nullptr;
        S->TxLength = 0;
        S->TxRemaining = 0;
        S->WriteComplete = FALSE;
    });
    KeCancelTimer(&Port->WriteTotalTimer);
    Port->Write.Irp = nullptr;
    return Sent;
}

// Makes the request at the head of the write queue the current one. Lock held.
VOID StartWrite(PSERIAL_PORT Port, PIRP Irp)
{
    const ULONG Length = WriteLength(Irp);
    Port->Write.Irp = Irp;
    Port->Write.Sequence++;
    Port->QueuedWriteBytes -= Length;
    const SERIAL_TIMEOUTS& Timeouts = Port->Timeouts;
    if (Timeouts.WriteTotalTimeoutMultiplier != 0 || Timeouts.WriteTotalTimeoutConstant != 0) {
        const ULONG64 Ms = static_cast<ULONG64>(Timeouts.WriteTotalTimeoutMultiplier) * Length +
                           Timeouts.WriteTotalTimeoutConstant;
        Port->WriteTotalSequence = Port->Write.Sequence;
        SetRelativeTimer(&Port->WriteTotalTimer, &Port->WriteTotalDpc, TimeoutUnits(Ms));
    }
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        S->TxBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
        S->TxLength = Length;
        S->TxRemaining = Length;
        S->WriteComplete = FALSE;
        TransmitKick(Port);
    });
}

} // namespace

VOID TransmitBurst(PSERIAL_PORT Port, BOOLEAN FromInterrupt)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (!S->IsrLive) {
        return;
    }
    ULONG Sent = 0;
    if (!(S->Lcr & LcrBreak) && !S->TxPaused) {
        if (S->FlowCharPending) {
            // XON and XOFF go out whatever holds the data.
            TransmitByte(S, S->FlowChar);
            Sent++;
            S->FlowCharPending = FALSE;
            if (S->FlowChar == S->Chars.XoffChar) {
                S->HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
            } else {
                S->HoldReasons &= ~SERIAL_TX_WAITING_XOFF_SENT;
            }
        }
        const BOOLEAN HardwareHeld =
            (S->HoldReasons & (SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR |
                               SERIAL_TX_WAITING_FOR_DCD)) != 0;
        if (S->ImmediatePending && !HardwareHeld) {
            // TransmitCommChar sends its character even while XOFF holds the data (it is how a
            // program sends XON or XOFF itself), but not against the other end's lines.
            TransmitByte(S, S->ImmediateChar);
            Sent++;
            S->ImmediatePending = FALSE;
            S->ImmediateSent = TRUE;
            RequestService(Port);
        }
        if (!TransmitHeld(S) && S->TxBuffer != nullptr) {
            const ULONG Budget = S->TxLoad;
            while (Sent < Budget && S->TxRemaining != 0) {
                TransmitByte(S, S->TxBuffer[S->TxLength - S->TxRemaining]);
                S->TxRemaining--;
                S->Stats.TransmittedCount++;
                Sent++;
            }
            if (S->TxRemaining == 0 && !S->WriteComplete) {
                S->WriteComplete = TRUE;
                RequestService(Port);
            }
        }
    }
    S->TxIdle = Sent == 0;
    if (Sent == 0 && FromInterrupt && S->TxRemaining == 0 && !S->ImmediatePending &&
        !S->FlowCharPending) {
        // The transmit FIFO has run empty with nothing left to send.
        RecordEvents(Port, SERIAL_EV_TXEMPTY);
        if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
            (S->Mcr & McrRts)) {
            S->RtsToggleDrain = TRUE;
            S->FollowUps |= SerialFollowRtsToggle; // RTS drops once the shift register is empty
        }
    }
}

VOID TransmitKick(PSERIAL_PORT Port)
{
    if (Port->Shared.TxIdle) {
        TransmitBurst(Port, FALSE);
    }
}

NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    const ULONG Length = WriteLength(Irp);
    if (Length == 0) {
        return CompleteRequest(Port, Irp, STATUS_SUCCESS, 0);
    }
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (QueueTransfer(Port, &Port->WriteQueue, Irp, Done)) {
        Port->QueuedWriteBytes += Length;
        ServiceWrites(Port, Done);
    }
    return STATUS_PENDING;
}

// A flush completes once every write queued before it has completed.
NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (QueueInsert(Port, &Port->WriteQueue, Irp, Done)) {
        ServiceWrites(Port, Done);
    }
    return STATUS_PENDING;
}

VOID ServiceWrites(PSERIAL_PORT Port, CompletionBatch& Done)
{
    for (;;) {
        PIRP Current = Port->Write.Irp;
        if (Current != nullptr) {
            BOOLEAN Finished = FALSE;
            SyncWithIsr(Port, [&] { Finished = Port->Shared.WriteComplete; });
            if (!Finished || !QueueRemove(Current)) {
                return; // still sending, or its cancel routine is about to take it
            }
            Done.Add(Current, STATUS_SUCCESS, TakeBackWrite(Port));
        }
        PIRP Next = QueuePeek(&Port->WriteQueue);
        if (Next == nullptr) {
            return;
        }
        if (!IsFlush(Next)) {
            StartWrite(Port, Next);
            continue; // a short write may already be all in the transmitter
        }
        if (!QueueRemove(Next)) {
            return;
        }
        Done.Add(Next, STATUS_SUCCESS, 0);
    }
}

VOID EndWrites(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    PIRP Current = Port->Write.Irp;
    if (Current != nullptr &&
        (File == nullptr || IoGetCurrentIrpStackLocation(Current)->FileObject == File) &&
        QueueRemove(Current)) {
        Done.Add(Current, Status, TakeBackWrite(Port));
    }
    // Writes not started yet no longer count as waiting to be sent.
    for (PLIST_ENTRY Entry = Port->WriteQueue.Head.Flink; Entry != &Port->WriteQueue.Head;) {
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        Entry = Entry->Flink;
        if ((File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File) &&
            Irp != Port->Write.Irp && QueueRemove(Irp)) {
            if (!IsFlush(Irp)) {
                Port->QueuedWriteBytes -= WriteLength(Irp);
            }
            Done.Add(Irp, Status, 0);
        }
    }
    ServiceWrites(Port, Done);
}

ULONG TransmitQueueCount(PSERIAL_PORT Port)
{
    ULONG InTransmitter = 0;
    SyncWithIsr(Port, [&] { InTransmitter = Port->Shared.TxRemaining; });
    return InTransmitter + Port->QueuedWriteBytes;
}

VOID WriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QueueCancelBegin(Irp);
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    ULONG_PTR Sent = 0;
    if (Irp == Port->Write.Irp) {
        Sent = TakeBackWrite(Port);
    } else if (!IsFlush(Irp)) {
        Port->QueuedWriteBytes -= WriteLength(Irp);
    }
    Done.Add(Irp, STATUS_CANCELLED, Sent);
    ServiceWrites(Port, Done);
}

VOID WriteTotalDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    PIRP Current = Port->Write.Irp;
    if (Current == nullptr || Port->WriteTotalSequence != Port->Write.Sequence) {
        return; // armed for a write that has ended since
    }
    BOOLEAN Finished = FALSE;
    SyncWithIsr(Port, [&] { Finished = Port->Shared.WriteComplete; });
    if (QueueRemove(Current)) {
        Done.Add(Current, Finished ? STATUS_SUCCESS : STATUS_TIMEOUT, TakeBackWrite(Port));
    }
    ServiceWrites(Port, Done);
}

NTSTATUS ImmediateChar(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(UCHAR)) {
        return CompleteRequest(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const UCHAR Char = *static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (!QueueIsEmpty(&Port->ImmediateQueue)) {
        // One at a time: the previous character has not gone out yet.
        Done.Add(Irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (!QueueInsert(Port, &Port->ImmediateQueue, Irp, Done)) {
        return STATUS_PENDING;
    }
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        S->ImmediateChar = Char;
        S->ImmediatePending = TRUE;
        S->ImmediateSent = FALSE;
        TransmitKick(Port);
    });
    ServiceImmediate(Port, Done);
    return STATUS_PENDING;
}

VOID ServiceImmediate(PSERIAL_PORT Port, CompletionBatch& Done)
{
    PIRP Irp = QueuePeek(&Port->ImmediateQueue);
    if (Irp == nullptr) {
        return;
    }
    BOOLEAN Sent = FALSE;
    SyncWithIsr(Port, [&] { Sent = Port->Shared.ImmediateSent; });
    if (Sent && QueueRemove(Irp)) {
        SyncWithIsr(Port, [&] { Port->Shared.ImmediateSent = FALSE; });
        Done.Add(Irp, STATUS_SUCCESS, 0);
    }
}

VOID EndImmediate(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    PIRP Irp = QueuePeek(&Port->ImmediateQueue);
    if (Irp != nullptr &&
        (File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File) &&
        QueueRemove(Irp)) {
        SyncWithIsr(Port, [&] {
            Port->Shared.ImmediatePending = FALSE;
            Port->Shared.ImmediateSent = FALSE;
        });
        Done.Add(Irp, Status, 0);
    }
}

VOID ImmediateCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QueueCancelBegin(Irp);
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    SyncWithIsr(Port, [&] {
        Port->Shared.ImmediatePending = FALSE;
        Port->Shared.ImmediateSent = FALSE;
    });
    Done.Add(Irp, STATUS_CANCELLED, 0);
}
