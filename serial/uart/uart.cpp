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

// The interrupt enables and the modem lines. Interrupts go on before the handshake lines tell the
// far end to send, and the lines drop before interrupts go off: the other way round, what the far
// end sends in between fills the receive FIFO with nothing to empty it (a few microseconds on a
// quiet processor, but nothing bounds the gap). The modem lines are then taken as they are, which
// also clears the deltas the own lines made through a loopback plug. Enabling the transmitter
// interrupt raises it at once when the holding register is empty, and later when the FIFO drains
// otherwise: either way the transmitter is not idle.
VOID UartWriteEnablesAndLines(PSERIAL_SHARED S)
{
    if (S->Ier != 0) {
        UartOut(S, UartIer, S->Ier);
        UartOut(S, UartMcr, S->Mcr);
    } else {
        UartOut(S, UartMcr, S->Mcr);
        UartOut(S, UartIer, 0);
    }
    S->Msr = static_cast<UCHAR>(UartIn(S, UartMsr) & 0xF0);
    S->TxIdle = (S->Ier & IerThre) == 0;
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
    UartWriteEnablesAndLines(S);
}

VOID SetOpenShadow(PSERIAL_SHARED S)
{
    const UCHAR Lines = S->Open ? ModemControlFor(S) : 0;
    S->Mcr = static_cast<UCHAR>((S->Mcr & ~(McrDtr | McrRts)) | Lines | McrOut2);
    S->Ier = S->Open ? static_cast<UCHAR>(IerRda | IerRls | IerMsr | IerThre) : 0;
}

VOID UartApplyOpenState(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    SetOpenShadow(S);
    if (!S->IsrLive) {
        return; // applied when the UART is programmed
    }
    UartWriteEnablesAndLines(S);
    UpdateTransmitHolds(Port);
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
