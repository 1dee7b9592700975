// Writes, flushes, XOFF counters and the immediate character.
//
// Writes, flushes and XOFF counters queue in arrival order; the one at the head is the current
// request. A current write hands its buffer to the transmitter (SERIAL_SHARED's TxBuffer), which
// the interrupt callback feeds into the transmit FIFO a burst at a time; the write completes once
// its last byte is in the transmitter. A flush completes when it reaches the head, i.e. once
// every write before it has completed. A write's total time-out ends it with the bytes sent so
// far.
//
// An XOFF counter (IOCTL_SERIAL_XOFF_COUNTER, for programs that run a flow control of their own)
// sends its XOFF character as a one-byte write does, then counts the bytes that arrive: it
// completes when as many as it asked for have come, when a write is queued behind it
// (STATUS_SERIAL_MORE_WRITES), or when its time-out ends it (STATUS_SERIAL_COUNTER_TIMEOUT).
//
// The immediate character goes out ahead of the writes (TransmitCommChar); its request completes
// once the character is in the transmitter.
#include "corserial.h"

namespace {

enum class WriteKind {
    Write,
    Flush,
    XoffCounter
};

WriteKind KindOf(PIRP Irp)
{
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->MajorFunction == IRP_MJ_FLUSH_BUFFERS) {
        return WriteKind::Flush;
    }
    return Stack->MajorFunction == IRP_MJ_WRITE ? WriteKind::Write : WriteKind::XoffCounter;
}

ULONG WriteLength(PIRP Irp)
{
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// Bytes a queued request adds to what waits to be sent (GET_COMMSTATUS's out queue).
ULONG QueuedBytesOf(PIRP Irp)
{
    return KindOf(Irp) == WriteKind::Write ? WriteLength(Irp) : 0;
}

SERIAL_XOFF_COUNTER CounterOf(PIRP Irp)
{
    SERIAL_XOFF_COUNTER Counter;
    RtlCopyMemory(&Counter, Irp->AssociatedIrp.SystemBuffer, sizeof(Counter));
    return Counter;
}

// Everything written to the holding register goes through here (TransmitBurst counts what it
// sent). Transmit toggle raises RTS before the first byte of a burst goes in.
VOID TransmitByte(PSERIAL_SHARED S, UCHAR Byte)
{
    if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
        !(S->Mcr & McrRts)) {
        UartSetMcr(S, McrRts, 0);
    }
    UartOut(S, UartRbrThr, Byte);
}

// Takes the current request back from the transmitter; returns the bytes it sent. Lock held.
ULONG TakeBackWrite(PSERIAL_PORT Port)
{
    ULONG Sent = 0;
    BOOLEAN Drain = FALSE;
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        Sent = S->TxLength - S->TxRemaining;
        S->TxBuffer = nullptr;
        S->TxLength = 0;
        S->TxRemaining = 0;
        S->WriteComplete = FALSE;
        S->XoffCountState = SerialXoffCountNone;
        // A transmit toggle raised for a write that ends unsent (held by XOFF or a handshake,
        // then cancelled or timed out) drops once what did go out has left: the transmitter
        // will not run empty again to drop it, and an RS-485 station left enabled jams the bus.
        if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
            (S->Mcr & McrRts)) {
            S->RtsToggleDrain = Drain = TRUE;
        }
    });
    if (Drain) {
        ArmRtsToggleDrain(Port);
    }
    KeCancelTimer(&Port->WriteTotalTimer);
    Port->Write.Irp = nullptr;
    Port->Write.Deadline = 0;
    return Sent;
}

// Makes the write or XOFF counter at the head of the write queue the current one. Lock held.
VOID StartWrite(PSERIAL_PORT Port, PIRP Irp)
{
    const BOOLEAN Counter = KindOf(Irp) == WriteKind::XoffCounter;
    // An XOFF counter's character is the last byte of its record, which stays in the system
    // buffer until the request completes.
    const PUCHAR Bytes = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) +
                         (Counter ? FIELD_OFFSET(SERIAL_XOFF_COUNTER, XoffChar) : 0);
    const ULONG Length = Counter ? 1 : WriteLength(Irp);
    Port->Write.Irp = Irp;
    Port->Write.Deadline = 0;
    Port->QueuedWriteBytes -= QueuedBytesOf(Irp);
    const SERIAL_TIMEOUTS& Timeouts = Port->Timeouts;
    ULONG64 Ms = static_cast<ULONG64>(Timeouts.WriteTotalTimeoutMultiplier) * Length +
                 Timeouts.WriteTotalTimeoutConstant;
    if (Counter) {
        Ms = CounterOf(Irp).Timeout;
    }
    if (Ms != 0) {
        const LONGLONG Units = TimeoutUnits(Ms);
        Port->Write.Deadline = PerformanceTime() + Units;
        ArmTimer(Port, &Port->WriteTotalTimer, &Port->WriteTotalDpc, Units);
    }
    const ULONG Count = Counter ? static_cast<ULONG>(CounterOf(Irp).Counter) : 0;
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        S->TxBuffer = Bytes;
        S->TxLength = Length;
        S->TxRemaining = Length;
        S->WriteComplete = FALSE;
        S->XoffCountState = Counter ? SerialXoffCountArmed : SerialXoffCountNone;
        S->XoffCountLeft = Count;
        TransmitKick(Port);
    });
}

// The current request's outcome, once its bytes are all in the transmitter; STATUS_PENDING while
// it still waits. Lock held.
NTSTATUS CurrentWriteOutcome(PSERIAL_PORT Port)
{
    BOOLEAN Sent = FALSE;
    BOOLEAN Counted = FALSE;
    SyncWithIsr(Port, [&] {
        Sent = Port->Shared.WriteComplete;
        Counted = Port->Shared.XoffCountState == SerialXoffCounted;
    });
    if (!Sent) {
        return STATUS_PENDING;
    }
    if (KindOf(Port->Write.Irp) != WriteKind::XoffCounter) {
        return STATUS_SUCCESS;
    }
    if (Counted) {
        return STATUS_SUCCESS;
    }
    for (PLIST_ENTRY Entry = Port->WriteQueue.Head.Flink; Entry != &Port->WriteQueue.Head;
         Entry = Entry->Flink) {
        if (KindOf(CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry)) == WriteKind::Write) {
            return STATUS_SERIAL_MORE_WRITES;
        }
    }
    return STATUS_PENDING;
}

} // namespace

VOID TransmitBurst(PSERIAL_PORT Port, BOOLEAN FromInterrupt)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (!S->IsrLive) {
        return;
    }
    // The transmitter is empty (an idle one, or its interrupt said so): it takes TxLoad bytes,
    // and a holding register without FIFO takes one. XON or XOFF, the immediate character and
    // the data all count against that: a second byte would overwrite the first.
    const ULONG Budget = S->TxLoad;
    ULONG Sent = 0;
    if (!(S->Lcr & LcrBreak)) {
        if (S->FlowCharPending != SerialFlowCharNone) {
            // XON and XOFF go out whatever holds the data, and on the way down too: that is how
            // the far end is held.
            const BOOLEAN Xoff = S->FlowCharPending == SerialFlowCharXoff;
            TransmitByte(S, Xoff ? S->Chars.XoffChar : S->Chars.XonChar);
            Sent++;
            S->FlowCharPending = SerialFlowCharNone;
            if (Xoff) {
                S->HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
            } else {
                S->HoldReasons &= ~ULONG{SERIAL_TX_WAITING_XOFF_SENT};
            }
        }
        const BOOLEAN HardwareHeld =
            (S->HoldReasons & (SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR |
                               SERIAL_TX_WAITING_FOR_DCD)) != 0;
        if (Sent < Budget && S->ImmediatePending && !HardwareHeld && !S->TxPaused) {
            // TransmitCommChar sends its character even while XOFF holds the data (it is how a
            // program sends XON or XOFF itself), but not against the other end's lines.
            TransmitByte(S, S->ImmediateChar);
            Sent++;
            S->ImmediatePending = FALSE;
            S->ImmediateSent = TRUE;
            RequestService(Port);
        }
        if (!TransmitHeld(S) && !S->TxPaused && S->TxBuffer != nullptr) {
            while (Sent < Budget && S->TxRemaining != 0) {
                TransmitByte(S, S->TxBuffer[S->TxLength - S->TxRemaining]);
                S->TxRemaining--;
                Sent++;
            }
            if (S->TxRemaining == 0 && !S->WriteComplete) {
                S->WriteComplete = TRUE;
                if (S->XoffCountState == SerialXoffCountArmed) {
                    // An XOFF counter's character is out: received bytes count from here.
                    S->XoffCountState =
                        S->XoffCountLeft != 0 ? SerialXoffCounting : SerialXoffCounted;
                }
                RequestService(Port);
            }
        }
    }
    S->TxIdle = Sent == 0;
    if (Sent != 0) {
        // Every byte sent counts: the program's, the immediate character, XON and XOFF.
        S->Stats.TransmittedCount += Sent;
        S->TxEmptyOwed = TRUE;
    }
    if (Sent == 0 && FromInterrupt && S->TxRemaining == 0 && !S->ImmediatePending &&
        S->FlowCharPending == SerialFlowCharNone && S->TxEmptyOwed) {
        // The transmit FIFO has run empty after sending, with nothing left to send. (An
        // interrupt that only says the holding register is empty, as enabling it does at a
        // start or a wake, reports nothing: nothing was sent.)
        S->TxEmptyOwed = FALSE;
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
        return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, 0);
    }
    return QueueWriteRequest(Port, Irp);
}

// A flush completes once every write queued before it has completed.
NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return QueueWriteRequest(Port, Irp);
}

NTSTATUS XoffCounter(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_XOFF_COUNTER)) {
        return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    if (CounterOf(Irp).Counter < 0) {
        return CompleteAndRelease(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    return QueueWriteRequest(Port, Irp);
}

NTSTATUS QueueWriteRequest(PSERIAL_PORT Port, PIRP Irp)
{
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (QueueUnlessAborted(Port, &Port->WriteQueue, Irp, Done)) {
        Port->QueuedWriteBytes += QueuedBytesOf(Irp);
        ServiceWrites(Port, Done);
    }
    return STATUS_PENDING;
}

VOID ServiceWrites(PSERIAL_PORT Port, CompletionBatch& Done)
{
    for (;;) {
        PIRP Current = Port->Write.Irp;
        if (Current != nullptr) {
            const NTSTATUS Outcome = CurrentWriteOutcome(Port);
            if (Outcome == STATUS_PENDING) {
                return; // still sending, or counting
            }
            if (!QueueRemove(Current)) {
                return; // its cancel routine is about to take it
            }
            const ULONG Sent = TakeBackWrite(Port);
            Done.Add(Current, Outcome, KindOf(Current) == WriteKind::Write ? Sent : 0);
        }
        PIRP Next = QueuePeek(&Port->WriteQueue);
        if (Next == nullptr) {
            return;
        }
        if (KindOf(Next) != WriteKind::Flush) {
            StartWrite(Port, Next);
            continue; // a short write may already be all in the transmitter
        }
        if (!QueueRemove(Next)) {
            return;
        }
        Done.Add(Next, STATUS_SUCCESS, 0);
    }
}

VOID EndWrites(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, BOOLEAN AlsoFlushes,
               CompletionBatch& Done)
{
    PIRP Current = Port->Write.Irp;
    if (Current != nullptr &&
        (File == nullptr || IoGetCurrentIrpStackLocation(Current)->FileObject == File) &&
        QueueRemove(Current)) {
        const ULONG Sent = TakeBackWrite(Port);
        Done.Add(Current, Status, KindOf(Current) == WriteKind::Write ? Sent : 0);
    }
    // Writes not started yet no longer count as waiting to be sent. A flush that stays completes
    // once nothing is ahead of it.
    for (PLIST_ENTRY Entry = Port->WriteQueue.Head.Flink; Entry != &Port->WriteQueue.Head;) {
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        Entry = Entry->Flink;
        if ((File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File) &&
            Irp != Port->Write.Irp && (AlsoFlushes || KindOf(Irp) != WriteKind::Flush) &&
            QueueRemove(Irp)) {
            Port->QueuedWriteBytes -= QueuedBytesOf(Irp);
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
        if (KindOf(Irp) != WriteKind::Write) {
            Sent = 0;
        }
    } else {
        Port->QueuedWriteBytes -= QueuedBytesOf(Irp);
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
    if (Current == nullptr || Port->Write.Deadline == 0) {
        return; // armed for a write that has ended since
    }
    const LONGLONG Early = Port->Write.Deadline - PerformanceTime();
    if (Early > 0) {
        // Armed for an earlier write, or the timer's clock ran ahead: this one is not due.
        ArmTimer(Port, &Port->WriteTotalTimer, &Port->WriteTotalDpc, Early);
        return;
    }
    NTSTATUS Outcome = CurrentWriteOutcome(Port);
    if (Outcome == STATUS_PENDING) {
        Outcome = KindOf(Current) == WriteKind::XoffCounter ? STATUS_SERIAL_COUNTER_TIMEOUT
                                                            : STATUS_TIMEOUT;
    }
    if (QueueRemove(Current)) {
        const ULONG Sent = TakeBackWrite(Port);
        Done.Add(Current, Outcome, KindOf(Current) == WriteKind::Write ? Sent : 0);
    }
    ServiceWrites(Port, Done);
}

NTSTATUS ImmediateChar(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(UCHAR)) {
        return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
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
        Done.Add(Irp, STATUS_SUCCESS, ReturnedBytes(Irp, sizeof(UCHAR)));
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
    // Once IoCancelIrp took this request's routine it stopped counting, and the next character
    // may have come in before the lock was ours: the character waiting is then that one's.
    if (QueueIsEmpty(&Port->ImmediateQueue)) {
        SyncWithIsr(Port, [&] {
            Port->Shared.ImmediatePending = FALSE;
            Port->Shared.ImmediateSent = FALSE;
        });
    }
    Done.Add(Irp, STATUS_CANCELLED, 0);
}
