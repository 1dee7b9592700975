// Programming the UART. Every register value the port uses is kept in SERIAL_SHARED, so that the
// whole part can be programmed again from there: at start, after a stop, and on the way back
// from D3 (the board resets its UARTs when it leaves D3).
#include "corserial.h"

namespace {

// A rate is refused when the clock divides to more than 1 % from it: asynchronous framing
// tolerates a few percent between both ends, and the other end has its own error.
constexpr ULONG RateTolerancePercent = 1;

} // namespace

UCHAR UartIn(const SERIAL_SHARED* Shared, ULONG Register)
{
    return READ_PORT_UCHAR(Shared->Registers + Register);
}

VOID UartOut(const SERIAL_SHARED* Shared, ULONG Register, UCHAR Value)
{
    WRITE_PORT_UCHAR(Shared->Registers + Register, Value);
}

USHORT DivisorFor(ULONG ClockRate, ULONG BaudRate)
{
    if (BaudRate == 0) {
        return 0;
    }
    const ULONG64 Sixteenths = 16ull * BaudRate;
    const ULONG64 Divisor = (ClockRate + Sixteenths / 2) / Sixteenths;
    if (Divisor == 0 || Divisor > 0xFFFF) {
        return 0;
    }
    // |clock / (16 d) - rate| / rate <= 1 %, without division: |clock - 16 d rate| * 100 <= 16 d
    // rate.
    const ULONG64 Made = Sixteenths * Divisor;
    const ULONG64 Off = Made > ClockRate ? Made - ClockRate : ClockRate - Made;
    if (Off * 100 > Made * RateTolerancePercent) {
        return 0;
    }
    return static_cast<USHORT>(Divisor);
}

UCHAR LineControlBits(const SERIAL_LINE_CONTROL* LineControl)
{
    UCHAR Bits = static_cast<UCHAR>((LineControl->WordLength - 5) & LcrWordLengthMask);
    if (LineControl->StopBits != STOP_BIT_1) {
        Bits |= LcrStopBits; // 1.5 stop bits with 5 data bits, 2 otherwise
    }
    switch (LineControl->Parity) {
    case ODD_PARITY:
        Bits |= LcrParityEnable;
        break;
    case EVEN_PARITY:
        Bits |= LcrParityEnable | LcrEvenParity;
        break;
    case MARK_PARITY: // stick parity with the even bit clear sends a one
        Bits |= LcrParityEnable | LcrStickParity;
        break;
    case SPACE_PARITY:
        Bits |= LcrParityEnable | LcrEvenParity | LcrStickParity;
        break;
    default:
        break;
    }
    return Bits;
}

ULONG CharacterMicroseconds(const SERIAL_SHARED* Shared)
{
    // Start bit, data bits, parity, stop bits (1.5 counted as 2).
    ULONG Bits = 1 + Shared->LineControl.WordLength +
                 (Shared->LineControl.Parity != NO_PARITY ? 1 : 0) +
                 (Shared->LineControl.StopBits == STOP_BIT_1 ? 1 : 2);
    ULONG Rate = Shared->BaudRate ? Shared->BaudRate : 1;
    return static_cast<ULONG>((1000000ull * Bits + Rate - 1) / Rate);
}

VOID UartSetMcr(PSERIAL_SHARED Shared, UCHAR Set, UCHAR Clear)
{
    UCHAR Mcr = static_cast<UCHAR>((Shared->Mcr | Set) & ~Clear);
    if (Mcr != Shared->Mcr) {
        Shared->Mcr = Mcr;
        if (Shared->IsrLive) {
            UartOut(Shared, UartMcr, Mcr);
        }
    }
}

namespace {

constexpr UCHAR AllInterrupts = IerRda | IerRls | IerMsr | IerThre;

// The interrupt enables and the modem lines. Interrupts go on before the handshake lines tell the
// far end to send, and the lines drop before interrupts go off: the other way round, what the far
// end sends in between fills the receive FIFO with nothing to empty it (a few microseconds on a
// quiet processor, but nothing bounds the gap). Enabling the transmitter interrupt raises it at
// once when the holding register is empty, and later when the FIFO drains otherwise: either way
// the transmitter is not idle. The modem lines are then read and compared with what the port
// last knew: a line that changed while the UART was not listening (asleep, stopped, closed) is a
// change like any other, with its event and its hold.
VOID UartWriteEnablesAndLines(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (S->Ier != 0) {
        UartOut(S, UartIer, S->Ier);
        UartOut(S, UartMcr, S->Mcr);
    } else {
        UartOut(S, UartMcr, S->Mcr);
        UartOut(S, UartIer, 0);
    }
    S->TxIdle = (S->Ier & IerThre) == 0;
    const UCHAR Msr = UartIn(S, UartMsr);
    if (Msr == RegisterGone) {
        return; // nothing answers: the lines are as last known
    }
    const UCHAR Before = S->Msr;
    const UCHAR Now = static_cast<UCHAR>(Msr & 0xF0);
    UCHAR Changes = 0;
    if ((Before ^ Now) & MsrCts) {
        Changes |= MsrDcts;
    }
    if ((Before ^ Now) & MsrDsr) {
        Changes |= MsrDdsr;
    }
    if ((Before ^ Now) & MsrDcd) {
        Changes |= MsrDdcd;
    }
    if ((Before & MsrRi) && !(Now & MsrRi)) {
        Changes |= MsrTeri;
    }
    ModemStatusChanged(Port, static_cast<UCHAR>(Now | Changes));
}

} // namespace

// The divisor latch is opened for the FIFO control write too: the 64-byte FIFO bit is taken
// only then (the other bits do not care).
VOID UartProgram(PSERIAL_PORT Port, BOOLEAN ResetFifos)
{
    PSERIAL_SHARED S = &Port->Shared;
    UartOut(S, UartIer, 0);
    UartOut(S, UartLcr, static_cast<UCHAR>(S->Lcr | LcrDlab));
    UartOut(S, UartDll, static_cast<UCHAR>(S->Divisor & 0xFF));
    UartOut(S, UartDlm, static_cast<UCHAR>(S->Divisor >> 8));
    UartOut(S, UartIirFcr, static_cast<UCHAR>(S->Fcr | (ResetFifos ? FcrRxReset | FcrTxReset : 0)));
    UartOut(S, UartLcr, S->Lcr);
    UartIn(S, UartLsr); // status left over from before
    UartWriteEnablesAndLines(Port);
}

VOID UartGoLive(PSERIAL_PORT Port, BOOLEAN ResetFifos)
{
    PSERIAL_SHARED S = &Port->Shared;
    // The register images first, while nothing reaches the UART: DTR and RTS stay as the program
    // left them (a modem hung up with CLR_DTR stays hung up), the handshake lines and XON/XOFF
    // follow the receive flow state, and a transmit toggle starts with RTS off.
    S->IsrLive = FALSE;
    S->TxPaused = FALSE;
    S->RtsToggleDrain = FALSE;
    S->Ier = S->Open ? AllInterrupts : 0;
    S->Mcr |= McrOut2;
    if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) {
        S->Mcr &= static_cast<UCHAR>(~McrRts);
    }
    ReceiveFlowReset(Port);
    S->IsrLive = TRUE;
    S->DeviceGone = FALSE;
    UartProgram(Port, ResetFifos);
}

VOID UartApplyOpenState(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const BOOLEAN Live = S->IsrLive;
    S->IsrLive = FALSE; // images only: the registers are written below, in the right order
    S->Ier = S->Open ? AllInterrupts : 0;
    S->Mcr |= McrOut2;
    ApplySettingsLines(Port);
    S->IsrLive = Live;
    if (Live) {
        UartWriteEnablesAndLines(Port);
    }
}

namespace {

// What the drains wait by: the FIFO's depth and the time of one character at the current rate and
// format, and a timer to count that time the same way the line does.
struct LINE_WAIT {
    ULONG Depth;
    ULONG CharacterUs;
    KTIMER Timer;
};

VOID StartLineWait(PSERIAL_PORT Port, LINE_WAIT* Wait)
{
    {
        PortLock Lock(Port);
        Wait->Depth = Port->Shared.FifoDepth;
        Wait->CharacterUs = CharacterMicroseconds(&Port->Shared);
    }
    KeInitializeTimer(&Wait->Timer);
}

// Waits Count character times. A wait that outlasts its timer by far (a clock that has stopped)
// ends anyway and says so.
BOOLEAN WaitCharacterTimes(LINE_WAIT* Wait, ULONG Count)
{
    LARGE_INTEGER Interval;
    Interval.QuadPart = -static_cast<LONGLONG>(Wait->CharacterUs) * Count * 10 - 1;
    LARGE_INTEGER Patience;
    Patience.QuadPart = 20 * Interval.QuadPart - 1000 * HundredNsPerMs;
    KeSetTimer(&Wait->Timer, Interval, nullptr);
    if (KeWaitForSingleObject(&Wait->Timer, Executive, KernelMode, FALSE, &Patience) !=
        STATUS_SUCCESS) {
        KeCancelTimer(&Wait->Timer);
        return FALSE;
    }
    return TRUE;
}

ULONG ReceivedSoFar(PSERIAL_PORT Port)
{
    ULONG Count = 0;
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] { Count = Port->Shared.Stats.ReceivedCount; });
    return Count;
}

} // namespace

// Used before the UART goes quiet for good or for a while (close, power-down): what is in the
// transmit FIFO still goes out, which takes at most the FIFO's length in character times and two
// more. The transmitter is polled every character time until then.
VOID UartDrainTransmitter(PSERIAL_PORT Port)
{
    LINE_WAIT Wait;
    StartLineWait(Port, &Wait);
    for (ULONG Poll = 0; Poll < Wait.Depth + 2; ++Poll) {
        BOOLEAN Empty = TRUE;
        {
            PortLock Lock(Port);
            SyncWithIsr(Port, [&] {
                if (Port->Shared.IsrLive) {
                    const UCHAR Lsr = UartReadLineStatus(Port);
                    Empty = Lsr == RegisterGone || (Lsr & LsrTemt) != 0;
                }
            });
        }
        if (Empty || !WaitCharacterTimes(&Wait, 1)) {
            return;
        }
    }
}

// Used after this end has told the far end to stop sending (a handshake line dropped): the far
// end's transmitter may still hold a FIFO's worth of characters, and they are taken until the
// line has been quiet that long. A far end that does not stop is not waited for past a few rounds.
VOID UartAwaitQuietReceiver(PSERIAL_PORT Port)
{
    LINE_WAIT Wait;
    StartLineWait(Port, &Wait);
    for (ULONG Round = 0; Round < 4; ++Round) {
        const ULONG Before = ReceivedSoFar(Port);
        if (!WaitCharacterTimes(&Wait, Wait.Depth + 2) || ReceivedSoFar(Port) == Before) {
            return;
        }
    }
}

VOID UartSetFifos(PSERIAL_PORT Port, UCHAR Fcr, UCHAR TxLoad, UCHAR Resets)
{
    PSERIAL_SHARED S = &Port->Shared;
    // The 64-byte mode stays as the start chose it. The UART takes that bit only with the
    // divisor latch open, and ends the mode whenever its FIFOs are switched off: the write
    // opens the latch, so FIFOs switched on again are as deep as the transmitter loads assume.
    S->Fcr = static_cast<UCHAR>((Fcr & (FcrEnable | FcrTriggerMask)) | (S->Fcr & Fcr64Byte));
    if (S->Fcr & FcrEnable) {
        const bool Deep = (S->Fcr & Fcr64Byte) != 0;
        const UCHAR Position = static_cast<UCHAR>(S->Fcr >> FcrTriggerShift);
        S->FifoDepth = Deep ? 64 : 16;
        S->RxTrigger = Deep ? TriggerLevels64[Position] : TriggerLevels16[Position];
        S->TxLoad = TxLoad < 1 ? 1 : (TxLoad > S->FifoDepth ? S->FifoDepth : TxLoad);
    } else {
        S->FifoDepth = 1;
        S->RxTrigger = 1;
        S->TxLoad = 1;
    }
    if (S->IsrLive) {
        UartOut(S, UartLcr, static_cast<UCHAR>(S->Lcr | LcrDlab));
        UartOut(S, UartIirFcr, static_cast<UCHAR>(S->Fcr | (Resets & (FcrRxReset | FcrTxReset))));
        UartOut(S, UartLcr, S->Lcr);
    }
}
