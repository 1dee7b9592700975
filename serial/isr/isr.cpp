// The port's interrupt callback, hooked into the adapter's shared dispatcher, and the service
// DPC it leaves the rest of the work to.
//
// The adapter calls the callback at its interrupt's device IRQL, under the interrupt object's spin
// lock, whenever the adapter's status register shows this port's bit; it reads the register again
// after every pass over the ports and calls again while the bit shows. So the callback services
// one cause per call, the one the interrupt identification shows, and answers TRUE when it did:
// the adapter's next status read, one read for all the ports it serviced, tells whether this port
// has anything left, where a closing identification read per port would cost a port access per
// call for the same answer. It answers FALSE when nothing was pending, and gives up on a register
// block that reads all ones (the board has gone). Every loop is bounded: each receive drain by the
// FIFO's depth, the calls by the adapter's pass limit.
//
// Data moves in FIFO bursts. "Received data available" means the FIFO holds at least the trigger
// level, so after one line-status read that shows no error anywhere in the FIFO, that many bytes
// are read without looking at the line status again. "Transmitter empty" means the whole transmit
// FIFO is free, so up to the configured load is written at once.
//
// One cause per call also orders the work of a shared interrupt by urgency: the identification
// register shows received data before the transmitter, so the ports that have both get their
// receive FIFOs drained in one pass over the ports and their transmitters filled in the next,
// rather than each port's transmitter before the next port's receiver. A full receive FIFO
// loses data; an empty transmit FIFO only leaves the line idle for a moment.
//
// The callback runs on the adapter's interrupt stack. The receive and transmit helpers call no
// deeper than the register and queue helpers: what would take them further (flow control at the
// receive queue's limit, restarting the transmitter after XON, dropping RTS after a transmit
// toggle) they leave in FollowUps for the callback's last step, which keeps the deepest path
// through corserial's code within 256 bytes.
//
// Nothing here allocates or waits; completing requests is the service DPC's work.
#include "corserial.h"

namespace {

// Line status errors of one character (or an overrun): counted, reported, and with abort on
// error they stop reads and writes until the errors are read. The caller requests the service
// DPC, which ends the reads and writes (every receive path does, once, at its end).
ULONG LineErrors(PSERIAL_PORT Port, UCHAR Lsr)
{
    PSERIAL_SHARED S = &Port->Shared;
    ULONG Events = 0;
    if (Lsr & LsrOe) {
        S->Errors |= SERIAL_ERROR_OVERRUN;
        S->Stats.SerialOverrunErrorCount++;
        Events |= SERIAL_EV_ERR;
    }
    if (Lsr & LsrBi) {
        // A break also fails the framing; it is reported as the break it is.
        S->Errors |= SERIAL_ERROR_BREAK;
        Events |= SERIAL_EV_BREAK;
    } else {
        if (Lsr & LsrPe) {
            S->Errors |= SERIAL_ERROR_PARITY;
            S->Stats.ParityErrorCount++;
            Events |= SERIAL_EV_ERR;
        }
        if (Lsr & LsrFe) {
            S->Errors |= SERIAL_ERROR_FRAMING;
            S->Stats.FrameErrorCount++;
            Events |= SERIAL_EV_ERR;
        }
    }
    if ((S->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) && (Lsr & LsrErrors)) {
        S->ErrorAbort = TRUE;
    }
    return Events;
}

// A byte that found the receive queue full is lost: counted and reported, and with abort on
// error it stops reads and writes like a line error.
VOID QueueOverrun(PSERIAL_SHARED S, ULONG Lost)
{
    S->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
    S->Stats.BufferOverrunErrorCount += Lost;
    if (S->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) {
        S->ErrorAbort = TRUE;
    }
}

// A byte for the receive queue; FALSE when the queue is full and the byte is lost. Inline: the
// burst calls it for every byte.
[[gnu::always_inline]] inline BOOLEAN RingPut(PSERIAL_SHARED S, UCHAR Byte)
{
    PSERIAL_RING Ring = &S->Rx;
    if (Ring->Count == Ring->Size) {
        QueueOverrun(S, 1);
        return FALSE;
    }
    Ring->Buffer[Ring->In] = Byte;
    if (++Ring->In == Ring->Size) {
        Ring->In = 0;
    }
    Ring->Count++;
    return TRUE;
}

// Line and modem status as data (IOCTL_SERIAL_LSRMST_INSERT): the escape character, the kind of
// record, and what goes with it, all or nothing. A received byte equal to the escape character
// gets a record of its own ahead of it, so that a program can tell it from the inserted ones.
[[gnu::always_inline]] inline BOOLEAN RingPutRecord(PSERIAL_SHARED S, UCHAR Kind, UCHAR First,
                                                    UCHAR Second, ULONG Values)
{
    if (S->Rx.Size - S->Rx.Count < 2 + Values) {
        QueueOverrun(S, 2 + Values);
        return FALSE;
    }
    RingPut(S, S->EscapeChar);
    RingPut(S, Kind);
    if (Values >= 1) {
        RingPut(S, First);
    }
    if (Values >= 2) {
        RingPut(S, Second);
    }
    return TRUE;
}

// After bytes went into the queue: the 80 % event, the receive flow control, and an XOFF
// counter's count.
ULONG AfterStore(PSERIAL_PORT Port, ULONG CountBefore)
{
    PSERIAL_SHARED S = &Port->Shared;
    const ULONG Count = S->Rx.Count;
    ULONG Events = SERIAL_EV_RXCHAR;
    const ULONG Full80 = S->Rx.Size / 10 * 8;
    if (CountBefore < Full80 && Count >= Full80) {
        Events |= SERIAL_EV_RX80FULL;
    }
    const ULONG XoffLimit = static_cast<ULONG>(S->HandFlow.XoffLimit);
    if (!S->RxFlowOff && Count + XoffLimit >= S->Rx.Size) {
        S->FollowUps |= SerialFollowFlowOff;
    }
    if (S->XoffCountState == SerialXoffCounting) {
        const ULONG Stored = Count - CountBefore;
        S->XoffCountLeft = Stored < S->XoffCountLeft ? S->XoffCountLeft - Stored : 0;
        if (S->XoffCountLeft == 0) {
            S->XoffCountState = SerialXoffCounted; // the receive path requests the service DPC
        }
    }
    return Events;
}

// One received byte that needs a look: errors, XON/XOFF, null stripping, DSR sensitivity, the
// event character, status insertion. Lsr is the line status it arrived with (0 when it was read
// in a clean burst).
ULONG ReceiveByte(PSERIAL_PORT Port, UCHAR Byte, UCHAR Lsr)
{
    PSERIAL_SHARED S = &Port->Shared;
    const ULONG Replace = S->HandFlow.FlowReplace;
    ULONG Events = 0;
    S->Stats.ReceivedCount++;
    const ULONG Before = S->Rx.Count;
    if (Lsr & LsrErrors) {
        Events |= LineErrors(Port, Lsr);
        if (S->EscapeChar != 0) {
            // The program takes the status with the byte as it came, and judges it itself.
            if (S->Open && RingPutRecord(S, SERIAL_LSRMST_LSR_DATA, Lsr, Byte, 2)) {
                Events |= AfterStore(Port, Before);
            }
            return Events;
        }
        if (Lsr & LsrBi) {
            // A break is not data: it becomes the break character only if asked for.
            if (!(Replace & SERIAL_BREAK_CHAR)) {
                return Events;
            }
            Byte = S->Chars.BreakChar;
        } else if ((Lsr & (LsrPe | LsrFe)) && (Replace & SERIAL_ERROR_CHAR)) {
            Byte = S->Chars.ErrorChar;
        }
    }
    if (!S->Open) {
        return Events;
    }
    if ((S->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(S->Msr & MsrDsr)) {
        return Events;
    }
    if ((Replace & SERIAL_NULL_STRIPPING) && Byte == 0) {
        return Events;
    }
    if ((Replace & SERIAL_AUTO_TRANSMIT) && !(Lsr & (LsrPe | LsrFe | LsrBi))) {
        // The other end's flow control for our transmitter: consumed, never stored. Only a
        // character that came whole is one: line noise, or the error or break character put in
        // its place, neither stops nor frees the transmitter.
        if (Byte == S->Chars.XoffChar) {
            S->HoldReasons |= SERIAL_TX_WAITING_FOR_XON;
            return Events;
        }
        if (Byte == S->Chars.XonChar) {
            S->HoldReasons &= ~ULONG{SERIAL_TX_WAITING_FOR_XON};
            S->FollowUps |= SerialFollowKick;
            return Events;
        }
    }
    if (S->EscapeChar != 0 && Byte == S->EscapeChar &&
        !RingPutRecord(S, SERIAL_LSRMST_ESCAPE, 0, 0, 0)) {
        return Events;
    }
    if (RingPut(S, Byte)) {
        if (Byte == S->Chars.EventChar) {
            Events |= SERIAL_EV_RXFLAG;
        }
        Events |= AfterStore(Port, Before);
    }
    return Events;
}

// Characters one by one, with the line status of each, until the FIFO is empty: after a receive
// error, on the character time-out (fewer bytes than the trigger level wait), without FIFOs.
VOID ReceiveCarefully(PSERIAL_PORT Port, UCHAR Lsr)
{
    PSERIAL_SHARED S = &Port->Shared;
    ULONG Events = 0;
    for (ULONG Count = 0; Count <= S->FifoDepth; ++Count) {
        if (Lsr == RegisterGone) {
            S->DeviceGone = TRUE;
            break;
        }
        if (!(Lsr & LsrDr)) {
            if (Lsr & LsrOe) {
                Events |= LineErrors(Port, LsrOe);
                const ULONG Before = S->Rx.Count;
                if (S->EscapeChar != 0 && S->Open &&
                    RingPutRecord(S, SERIAL_LSRMST_LSR_NODATA, Lsr, 0, 1)) {
                    Events |= AfterStore(Port, Before);
                }
            }
            break;
        }
        const UCHAR Byte = UartIn(S, UartRbrThr);
        const UCHAR Next = UartIn(S, UartLsr);
        if (Byte == RegisterGone && Next == RegisterGone) {
            // The board went between the two reads: the byte is the bus's all ones, not data.
            S->DeviceGone = TRUE;
            break;
        }
        Events |= ReceiveByte(Port, Byte, Lsr);
        Lsr = Next;
    }
    RecordEvents(Port, Events);
    RequestService(Port);
}

// A received byte that reads all ones may be the bus answering for a board that has just been
// pulled out (surprise removal in the middle of a burst): the line status register, which never
// reads all ones from a UART, tells (and the port then has no device). Only such bytes cost the
// extra read.
BOOLEAN BoardGoneUnder(PSERIAL_PORT Port, UCHAR Byte)
{
    if (Byte != RegisterGone || UartReadLineStatus(Port) != RegisterGone) {
        return FALSE;
    }
    Port->Shared.DeviceGone = TRUE;
    return TRUE;
}

// Received data available: at least RxTrigger bytes wait in the FIFO, and the line status read
// before showed no error anywhere in it.
[[gnu::noinline]] VOID ReceiveBurst(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const ULONG Count = S->RxTrigger;
    ULONG Events = 0;
    if (S->Open && ReceivePlain(S)) {
        const ULONG Before = S->Rx.Count;
        ULONG Stored = 0;
        ULONG Index = 0;
        for (; Index < Count; ++Index) {
            const UCHAR Byte = UartIn(S, UartRbrThr);
            if (BoardGoneUnder(Port, Byte)) {
                break;
            }
            Stored += RingPut(S, Byte) ? 1 : 0;
        }
        S->Stats.ReceivedCount += Index;
        if (Stored != 0) {
            Events = AfterStore(Port, Before);
        }
    } else {
        for (ULONG Index = 0; Index < Count; ++Index) {
            const UCHAR Byte = UartIn(S, UartRbrThr);
            if (BoardGoneUnder(Port, Byte)) {
                break;
            }
            Events |= ReceiveByte(Port, Byte, 0);
        }
    }
    RecordEvents(Port, Events);
    RequestService(Port);
}

// What the helpers left for the callback (SerialFollow*), done at its own level.
VOID RunFollowUps(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    UCHAR Work = S->FollowUps;
    S->FollowUps = 0;
    if (Work & SerialFollowFlowOff) {
        ReceiveFlowOff(Port);
        if (S->FlowCharPending != SerialFlowCharNone) {
            Work |= SerialFollowKick; // the XOFF goes out ahead of everything
        }
    }
    if (Work & SerialFollowKick) {
        TransmitKick(Port);
    }
    if ((Work & SerialFollowRtsToggle) && !FinishRtsToggle(Port)) {
        RequestService(Port); // the DPC arms the drain timer
    }
}

} // namespace

VOID RequestService(PSERIAL_PORT Port)
{
    KeInsertQueueDpc(&Port->ServiceDpc, nullptr, nullptr);
}

VOID RecordEvents(PSERIAL_PORT Port, ULONG Events)
{
    PSERIAL_SHARED S = &Port->Shared;
    Events &= S->WaitMask;
    if (Events == 0) {
        return;
    }
    S->EventHistory |= Events;
    if (S->WaitPending) {
        RequestService(Port);
    }
}

VOID ModemStatusChanged(PSERIAL_PORT Port, UCHAR Msr)
{
    PSERIAL_SHARED S = &Port->Shared;
    S->Msr = static_cast<UCHAR>(Msr & 0xF0);
    ULONG Events = 0;
    if (Msr & MsrDcts) {
        Events |= SERIAL_EV_CTS;
    }
    if (Msr & MsrDdsr) {
        Events |= SERIAL_EV_DSR;
    }
    if (Msr & MsrDdcd) {
        Events |= SERIAL_EV_RLSD;
    }
    if (Msr & MsrTeri) {
        Events |= SERIAL_EV_RING;
    }
    const ULONG Before = S->Rx.Count;
    if (Events != 0 && S->EscapeChar != 0 && S->Open &&
        RingPutRecord(S, SERIAL_LSRMST_MST, Msr, 0, 1)) {
        // Status records are data a read may be waiting for.
        Events |= AfterStore(Port, Before);
        RequestService(Port);
    }
    UpdateTransmitHolds(Port);
    RecordEvents(Port, Events);
}

VOID UartDrainReceiver(PSERIAL_PORT Port)
{
    ReceiveCarefully(Port, UartIn(&Port->Shared, UartLsr));
    RunFollowUps(Port);
}

UCHAR UartReadLineStatus(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    UCHAR Lsr = UartIn(S, UartLsr);
    if (Lsr != RegisterGone && (Lsr & LsrErrors)) {
        // Reading the register clears these; they are not lost for being read here.
        const BOOLEAN Aborting = S->ErrorAbort;
        RecordEvents(Port, LineErrors(Port, Lsr));
        if (S->ErrorAbort && !Aborting) {
            RequestService(Port);
        }
    }
    return Lsr;
}

BOOLEAN SerialIsr(PKINTERRUPT Interrupt, PVOID ServiceContext)
{
    UNREFERENCED_PARAMETER(Interrupt);
    const auto Port = static_cast<PSERIAL_PORT>(ServiceContext);
    PSERIAL_SHARED S = &Port->Shared;
    if (!S->IsrLive) {
        // Powered down or being taken down: the registers are not ours to read.
        return FALSE;
    }
    const UCHAR Iir = UartIn(S, UartIirFcr);
    if (Iir == RegisterGone) {
        // The board has gone: nothing to service, and no reason to be called again.
        S->DeviceGone = TRUE;
        S->IsrLive = FALSE;
        RequestService(Port);
        return FALSE;
    }
    if (Iir & IirNoInterrupt) {
        return FALSE;
    }
    switch (Iir & IirCauseMask) {
    case IirRls:
        ReceiveCarefully(Port, UartIn(S, UartLsr));
        break;
    case IirRda: {
        const UCHAR Lsr = UartIn(S, UartLsr);
        if (Lsr == RegisterGone || (Lsr & (LsrErrors | LsrFifoError))) {
            ReceiveCarefully(Port, Lsr);
        } else {
            ReceiveBurst(Port);
        }
        break;
    }
    case IirTimeout:
        ReceiveCarefully(Port, UartIn(S, UartLsr));
        break;
    case IirThre:
        TransmitBurst(Port, TRUE);
        break;
    case IirMsr:
        ModemStatusChanged(Port, UartIn(S, UartMsr));
        break;
    default:
        // No such cause on these parts; reading both status registers clears anything.
        UartReadLineStatus(Port);
        ModemStatusChanged(Port, UartIn(S, UartMsr));
        break;
    }
    RunFollowUps(Port);
    if (S->DeviceGone) {
        S->IsrLive = FALSE;
        return FALSE;
    }
    return TRUE;
}

VOID ServiceDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                       PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    ServiceAll(Port, Done);
}

VOID ServiceAll(PSERIAL_PORT Port, CompletionBatch& Done)
{
    BOOLEAN Abort = FALSE;
    BOOLEAN Drain = FALSE;
    SyncWithIsr(Port, [&] {
        Abort = Port->Shared.ErrorAbort;
        Drain = Port->Shared.RtsToggleDrain;
    });
    if (Abort) {
        // Abort on error: every read and write ends until the errors have been read.
        EndReads(Port, nullptr, STATUS_CANCELLED, Done);
        EndWrites(Port, nullptr, STATUS_CANCELLED, TRUE, Done);
    }
    ServiceReads(Port, Done);
    ServiceWrites(Port, Done);
    ServiceImmediate(Port, Done);
    ServiceWait(Port, Done);
    if (Drain) {
        ArmRtsToggleDrain(Port);
    }
}
