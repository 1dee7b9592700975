// The serial control codes: the documented serial I/O interface that Win32's communications
// functions (SetCommState, SetCommTimeouts, ClearCommError, EscapeCommFunction, ...) reach.
//
// Every code is METHOD_BUFFERED. The table below says, once per code, how many input bytes it
// needs and how many output bytes it fills; a shorter buffer is refused with
// STATUS_BUFFER_TOO_SMALL before the handler runs, a longer one is fine. A handler validates the
// values it is given before it changes anything, so a refused request leaves the port as it was,
// and fills its whole output record (padding included) so that no byte the caller gets back is
// left over from elsewhere. Codes that are not in the table, or not the port's, get the
// platform's refusal for a request a device does not support.
#include "corserial.h"

namespace {

// Receive queue sizes a program may ask for (SetupComm). Larger requests get this much: the
// interface leaves the buffering to the driver, and a queue is non-paged memory.
constexpr ULONG MaxReceiveQueue = 1024 * 1024;

typedef NTSTATUS CONTROL_HANDLER(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information);

typedef struct _CONTROL_CODE {
    ULONG Code;
    ULONG InputSize;
    ULONG OutputSize;
    CONTROL_HANDLER* Handler;
} CONTROL_CODE;

template <typename T> T InputAs(PVOID Buffer)
{
    T Value;
    RtlCopyMemory(&Value, Buffer, sizeof(T));
    return Value;
}

// Fills the output record (zeroed first, padding included) and reports its size.
template <typename T> NTSTATUS OutputOf(PVOID Buffer, const T& Value, ULONG_PTR* Information)
{
    RtlZeroMemory(Buffer, sizeof(T));
    RtlCopyMemory(Buffer, &Value, sizeof(T));
    *Information = sizeof(T);
    return STATUS_SUCCESS;
}

// ---- settings the control codes share with the internal ones -----------------------------------

// Handshake and flow control: every flag named, DTR not both control and handshake, limits that
// fit the receive queue. DTR and RTS follow the new settings, and the receive flow state starts
// over under them (a far end our XOFF stopped is let go when the new rules no longer hold it).
BOOLEAN ValidHandFlow(const SERIAL_HANDFLOW& HandFlow, ULONG QueueSize)
{
    return !(HandFlow.ControlHandShake & SERIAL_CONTROL_INVALID) &&
           !(HandFlow.FlowReplace & SERIAL_FLOW_INVALID) &&
           (HandFlow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK &&
           HandFlow.XonLimit >= 0 && HandFlow.XoffLimit >= 0 &&
           static_cast<ULONG>(HandFlow.XonLimit) <= QueueSize &&
           static_cast<ULONG>(HandFlow.XoffLimit) <= QueueSize;
}

NTSTATUS ApplyHandFlow(PSERIAL_PORT Port, const SERIAL_HANDFLOW& HandFlow)
{
    PortLock Lock(Port);
    if (!ValidHandFlow(HandFlow, Port->Shared.Rx.Size)) {
        return STATUS_INVALID_PARAMETER;
    }
    SyncWithIsr(Port, [&] {
        Port->Shared.HandFlow = HandFlow;
        ApplySettingsLines(Port);
        UpdateTransmitHolds(Port);
    });
    return STATUS_SUCCESS;
}

// "Wait for the first byte" needs a finite constant: an interval and a constant both MAXULONG
// are refused, as the platform refuses them.
BOOLEAN ValidTimeouts(const SERIAL_TIMEOUTS& Timeouts)
{
    return Timeouts.ReadIntervalTimeout != MAXULONG ||
           Timeouts.ReadTotalTimeoutConstant != MAXULONG;
}

NTSTATUS ApplyTimeouts(PSERIAL_PORT Port, const SERIAL_TIMEOUTS& Timeouts)
{
    if (!ValidTimeouts(Timeouts)) {
        return STATUS_INVALID_PARAMETER;
    }
    PortLock Lock(Port);
    Port->Timeouts = Timeouts;
    return STATUS_SUCCESS;
}

// ---- line settings ----------------------------------------------------------------------------

NTSTATUS SetBaudRate(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    const ULONG Rate = InputAs<SERIAL_BAUD_RATE>(Buffer).BaudRate;
    PortLock Lock(Port);
    const USHORT Divisor = DivisorFor(Port->Config.ClockRate, Rate);
    if (Divisor == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        S->BaudRate = Rate;
        S->Divisor = Divisor;
        if (S->IsrLive) {
            UartOut(S, UartLcr, static_cast<UCHAR>(S->Lcr | LcrDlab));
            UartOut(S, UartDll, static_cast<UCHAR>(Divisor & 0xFF));
            UartOut(S, UartDlm, static_cast<UCHAR>(Divisor >> 8));
            UartOut(S, UartLcr, S->Lcr);
        }
    });
    return STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_BAUD_RATE Rate;
    {
        PortLock Lock(Port);
        Rate.BaudRate = Port->Shared.BaudRate;
    }
    return OutputOf(Buffer, Rate, Information);
}

// 5 to 8 data bits; 1.5 stop bits only with 5 data bits and 2 only with more, as the UART makes
// them (its one stop-bit switch gives 1.5 with 5 data bits and 2 otherwise).
BOOLEAN ValidLineControl(const SERIAL_LINE_CONTROL& Line)
{
    if (Line.WordLength < 5 || Line.WordLength > 8 || Line.Parity > SPACE_PARITY) {
        return FALSE;
    }
    switch (Line.StopBits) {
    case STOP_BIT_1:
        return TRUE;
    case STOP_BITS_1_5:
        return Line.WordLength == 5;
    case STOP_BITS_2:
        return Line.WordLength != 5;
    default:
        return FALSE;
    }
}

NTSTATUS SetLineControl(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    const SERIAL_LINE_CONTROL Line = InputAs<SERIAL_LINE_CONTROL>(Buffer);
    if (!ValidLineControl(Line)) {
        return STATUS_INVALID_PARAMETER;
    }
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        S->LineControl = Line;
        S->Lcr = static_cast<UCHAR>((S->Lcr & LcrBreak) | LineControlBits(&Line));
        if (S->IsrLive) {
            UartOut(S, UartLcr, S->Lcr);
        }
    });
    return STATUS_SUCCESS;
}

NTSTATUS GetLineControl(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_LINE_CONTROL Line;
    {
        PortLock Lock(Port);
        Line = Port->Shared.LineControl;
    }
    return OutputOf(Buffer, Line, Information);
}

// XON and XOFF must differ, and neither may be the status insertion's escape character: one
// byte cannot mean two things. (The platform refuses equal ones whether or not XON/XOFF flow
// control is on, so a later SET_HANDFLOW cannot put them in force.)
NTSTATUS SetChars(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    const SERIAL_CHARS Chars = InputAs<SERIAL_CHARS>(Buffer);
    if (Chars.XonChar == Chars.XoffChar) {
        return STATUS_INVALID_PARAMETER;
    }
    PortLock Lock(Port);
    const UCHAR Escape = Port->Shared.EscapeChar;
    if (Escape != 0 && (Chars.XonChar == Escape || Chars.XoffChar == Escape)) {
        return STATUS_INVALID_PARAMETER;
    }
    SyncWithIsr(Port, [&] { Port->Shared.Chars = Chars; });
    return STATUS_SUCCESS;
}

NTSTATUS GetChars(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_CHARS Chars;
    {
        PortLock Lock(Port);
        Chars = Port->Shared.Chars;
    }
    return OutputOf(Buffer, Chars, Information);
}

NTSTATUS SetHandFlow(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    return ApplyHandFlow(Port, InputAs<SERIAL_HANDFLOW>(Buffer));
}

NTSTATUS GetHandFlow(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_HANDFLOW HandFlow;
    {
        PortLock Lock(Port);
        HandFlow = Port->Shared.HandFlow;
    }
    return OutputOf(Buffer, HandFlow, Information);
}

NTSTATUS SetTimeouts(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    return ApplyTimeouts(Port, InputAs<SERIAL_TIMEOUTS>(Buffer));
}

NTSTATUS GetTimeouts(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_TIMEOUTS Timeouts;
    {
        PortLock Lock(Port);
        Timeouts = Port->Timeouts;
    }
    return OutputOf(Buffer, Timeouts, Information);
}

NTSTATUS GetWaitMask(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    ULONG Mask;
    {
        PortLock Lock(Port);
        Mask = Port->Shared.WaitMask;
    }
    return OutputOf(Buffer, Mask, Information);
}

// ---- queues -----------------------------------------------------------------------------------

NTSTATUS Purge(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    constexpr ULONG AllPurges =
        SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    const ULONG What = InputAs<ULONG>(Buffer);
    if (What == 0 || (What & ~AllPurges)) {
        return STATUS_INVALID_PARAMETER;
    }
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (What & SERIAL_PURGE_TXABORT) {
        // The writes go; a flush behind them is no write, and completes once they have.
        EndWrites(Port, nullptr, STATUS_CANCELLED, FALSE, Done);
        EndImmediate(Port, nullptr, STATUS_CANCELLED, Done);
    }
    if (What & SERIAL_PURGE_RXABORT) {
        EndReads(Port, nullptr, STATUS_CANCELLED, Done);
    }
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        const BOOLEAN Fifos = S->IsrLive && (S->Fcr & FcrEnable);
        if ((What & SERIAL_PURGE_TXCLEAR) && Fifos) {
            UartOut(S, UartIirFcr, static_cast<UCHAR>(S->Fcr | FcrTxReset));
        }
        if (What & SERIAL_PURGE_RXCLEAR) {
            S->Rx.In = 0;
            S->Rx.Out = 0;
            S->Rx.Count = 0;
            if (Fifos) {
                UartOut(S, UartIirFcr, static_cast<UCHAR>(S->Fcr | FcrRxReset));
            }
            ReceiveFlowReset(Port); // an empty queue lets a stopped far end go on
        }
    });
    *Information = sizeof(ULONG); // documented: the size of the purge mask
    return STATUS_SUCCESS;
}

// A larger receive queue (never a smaller one): what the old one holds moves over in order.
NTSTATUS SetQueueSize(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    ULONG Size = InputAs<SERIAL_QUEUE_SIZE>(Buffer).InSize;
    if (Size > MaxReceiveQueue) {
        Size = MaxReceiveQueue;
    }
    {
        PortLock Lock(Port);
        if (Size <= Port->Shared.Rx.Size) {
            return STATUS_SUCCESS;
        }
    }
    PUCHAR Larger = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, Size, SerialPoolTag));
    if (Larger == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR Old = Larger;
    {
        PortLock Lock(Port);
        if (Size > Port->Shared.Rx.Size) {
            SyncWithIsr(Port, [&] {
                PSERIAL_RING Ring = &Port->Shared.Rx;
                const ULONG First =
                    Ring->Count < Ring->Size - Ring->Out ? Ring->Count : Ring->Size - Ring->Out;
                RtlCopyMemory(Larger, Ring->Buffer + Ring->Out, First);
                RtlCopyMemory(Larger + First, Ring->Buffer, Ring->Count - First);
                Old = Ring->Buffer;
                Ring->Buffer = Larger;
                Ring->Size = Size;
                Ring->Out = 0;
                Ring->In = Ring->Count == Size ? 0 : Ring->Count;
            });
        }
    }
    // The old queue, or the new one when another request grew the queue meanwhile.
    ExFreePoolWithTag(Old, SerialPoolTag);
    return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_STATUS Status;
    RtlZeroMemory(&Status, sizeof(Status));
    {
        PortLock Lock(Port);
        // Reading the errors acknowledges them: an abort on error ends here.
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            Status.Errors = S->Errors;
            Status.HoldReasons = S->HoldReasons;
            Status.AmountInInQueue = S->Rx.Count;
            Status.WaitForImmediate = S->ImmediatePending;
            S->Errors = 0;
            S->ErrorAbort = FALSE;
        });
        Status.AmountInOutQueue = TransmitQueueCount(Port);
    }
    return OutputOf(Buffer, Status, Information);
}

// ---- modem lines ------------------------------------------------------------------------------

NTSTATUS GetModemStatus(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    ULONG Value = 0;
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            if (S->IsrLive) {
                // The changes this read clears are events and holds like any other.
                const UCHAR Msr = UartIn(S, UartMsr);
                ModemStatusChanged(Port, Msr);
                Value = Msr;
            } else {
                Value = S->Msr;
            }
        });
    }
    return OutputOf(Buffer, Value, Information);
}

// DTR and RTS belong to the program only while no handshake drives them.
NTSTATUS SetModemLine(PSERIAL_PORT Port, UCHAR Line, BOOLEAN On)
{
    PortLock Lock(Port);
    const SERIAL_HANDFLOW& HandFlow = Port->Shared.HandFlow;
    if (Line == McrDtr && (HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG Rts = HandFlow.FlowReplace & SERIAL_RTS_MASK;
    if (Line == McrRts && (Rts == SERIAL_RTS_HANDSHAKE || Rts == SERIAL_TRANSMIT_TOGGLE)) {
        return STATUS_INVALID_PARAMETER;
    }
    SyncWithIsr(Port, [&] { UartSetMcr(&Port->Shared, On ? Line : 0, On ? 0 : Line); });
    return STATUS_SUCCESS;
}

NTSTATUS SetDtr(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetModemLine(Port, McrDtr, TRUE);
}

NTSTATUS ClrDtr(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetModemLine(Port, McrDtr, FALSE);
}

NTSTATUS SetRts(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetModemLine(Port, McrRts, TRUE);
}

NTSTATUS ClrRts(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetModemLine(Port, McrRts, FALSE);
}

NTSTATUS GetDtrRts(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    ULONG Lines = 0;
    {
        PortLock Lock(Port);
        const UCHAR Mcr = Port->Shared.Mcr;
        Lines = ((Mcr & McrDtr) ? SERIAL_DTR_STATE : 0) | ((Mcr & McrRts) ? SERIAL_RTS_STATE : 0);
    }
    return OutputOf(Buffer, Lines, Information);
}

// The modem control register as the UART has it: DTR, RTS, OUT1, OUT2 and loopback (the
// register's layout on these parts, SERIAL_IOC_MCR_*). Programs use it mostly for a loopback
// test. DTR and RTS change only where no handshake or transmit toggle owns them, as with
// SET_DTR and SET_RTS; OUT2 gates the UART's interrupt to the adapter and stays on.
NTSTATUS GetModemControl(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    ULONG Mcr = 0;
    {
        PortLock Lock(Port);
        Mcr = Port->Shared.Mcr;
    }
    return OutputOf(Buffer, Mcr, Information);
}

NTSTATUS SetModemControl(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    const ULONG Wanted = InputAs<ULONG>(Buffer);
    PortLock Lock(Port);
    const SERIAL_HANDFLOW& HandFlow = Port->Shared.HandFlow;
    UCHAR Mine = McrOut1 | McrLoop;
    if ((HandFlow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_HANDSHAKE) {
        Mine |= McrDtr;
    }
    const ULONG Rts = HandFlow.FlowReplace & SERIAL_RTS_MASK;
    if (Rts != SERIAL_RTS_HANDSHAKE && Rts != SERIAL_TRANSMIT_TOGGLE) {
        Mine |= McrRts;
    }
    const UCHAR Set = static_cast<UCHAR>(Wanted & Mine);
    SyncWithIsr(Port, [&] { UartSetMcr(&Port->Shared, Set, static_cast<UCHAR>(Mine & ~Set)); });
    return STATUS_SUCCESS;
}

// The FIFO control register (SERIAL_IOC_FCR_*): FIFOs on or off, the receive trigger, and resets
// of either FIFO. The port's own bookkeeping (trigger level, FIFO depth, transmit load) follows.
NTSTATUS SetFifoControl(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR*)
{
    const ULONG Value = InputAs<ULONG>(Buffer);
    PortLock Lock(Port);
    UCHAR Fcr = 0;
    UCHAR Trigger = 0;
    UCHAR Load = 0;
    UCHAR Depth = 0;
    FifoParameters(&Port->Config, &Fcr, &Trigger, &Load, &Depth);
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        // With the FIFOs on already the load stays; switched on, they take the configured one.
        const UCHAR TxLoad = (S->Fcr & FcrEnable) ? S->TxLoad : Load;
        UartSetFifos(Port, static_cast<UCHAR>(Value), TxLoad, static_cast<UCHAR>(Value));
    });
    return STATUS_SUCCESS;
}

// Line and modem status in the received data, behind an escape character (0: off). The escape
// may be neither XON nor XOFF, and status insertion and error replacement exclude each other: a
// replaced byte would carry no status.
NTSTATUS LsrMstInsert(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    const UCHAR Escape = InputAs<UCHAR>(Buffer);
    PortLock Lock(Port);
    const SERIAL_SHARED* S = &Port->Shared;
    if (Escape != 0 && (Escape == S->Chars.XonChar || Escape == S->Chars.XoffChar ||
                        (S->HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
        return STATUS_INVALID_PARAMETER;
    }
    SyncWithIsr(Port, [&] { Port->Shared.EscapeChar = Escape; });
    *Information = sizeof(UCHAR); // documented: the size of the input
    return STATUS_SUCCESS;
}

// ---- transmitter ------------------------------------------------------------------------------

// SET_XOFF and SET_XON act as if the other end had sent XOFF or XON.
NTSTATUS SetXoff(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] { Port->Shared.HoldReasons |= SERIAL_TX_WAITING_FOR_XON; });
    return STATUS_SUCCESS;
}

NTSTATUS SetXon(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] {
        Port->Shared.HoldReasons &= ~ULONG{SERIAL_TX_WAITING_FOR_XON};
        TransmitKick(Port);
    });
    return STATUS_SUCCESS;
}

NTSTATUS SetBreak(PSERIAL_PORT Port, BOOLEAN On)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] {
        PSERIAL_SHARED S = &Port->Shared;
        if (On) {
            S->Lcr |= LcrBreak;
            S->HoldReasons |= SERIAL_TX_WAITING_ON_BREAK;
        } else {
            S->Lcr &= static_cast<UCHAR>(~LcrBreak);
            S->HoldReasons &= ~ULONG{SERIAL_TX_WAITING_ON_BREAK};
        }
        if (S->IsrLive) {
            UartOut(S, UartLcr, S->Lcr);
        }
        if (!On) {
            TransmitKick(Port);
        }
    });
    return STATUS_SUCCESS;
}

NTSTATUS SetBreakOn(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetBreak(Port, TRUE);
}

NTSTATUS SetBreakOff(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return SetBreak(Port, FALSE);
}

// ---- information ------------------------------------------------------------------------------

// Standard rates the flag word of the properties can name, and their flags.
struct NAMED_RATE {
    ULONG Rate;
    ULONG Flag;
};
constexpr NAMED_RATE NamedRates[] = {
    {75, SERIAL_BAUD_075},      {110, SERIAL_BAUD_110},     {134, SERIAL_BAUD_134_5},
    {150, SERIAL_BAUD_150},     {300, SERIAL_BAUD_300},     {600, SERIAL_BAUD_600},
    {1200, SERIAL_BAUD_1200},   {1800, SERIAL_BAUD_1800},   {2400, SERIAL_BAUD_2400},
    {4800, SERIAL_BAUD_4800},   {7200, SERIAL_BAUD_7200},   {9600, SERIAL_BAUD_9600},
    {14400, SERIAL_BAUD_14400}, {19200, SERIAL_BAUD_19200}, {38400, SERIAL_BAUD_38400},
    {56000, SERIAL_BAUD_56K},   {57600, SERIAL_BAUD_57600}, {115200, SERIAL_BAUD_115200},
    {128000, SERIAL_BAUD_128K},
};

NTSTATUS GetProperties(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_COMMPROP Properties;
    PortProperties(Port, &Properties);
    return OutputOf(Buffer, Properties, Information);
}

NTSTATUS GetStats(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIALPERF_STATS Stats;
    PortStatistics(Port, &Stats);
    return OutputOf(Buffer, Stats, Information);
}

NTSTATUS ClearStats(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] { RtlZeroMemory(&Port->Shared.Stats, sizeof(Port->Shared.Stats)); });
    return STATUS_SUCCESS;
}

// Kept for programs of old: there is nothing to reset that the other codes do not reach.
NTSTATUS ResetDevice(PSERIAL_PORT, PVOID, ULONG_PTR*)
{
    return STATUS_SUCCESS;
}

// The size of a provider-specific configuration: this port has none.
NTSTATUS ConfigSize(PSERIAL_PORT, PVOID Buffer, ULONG_PTR* Information)
{
    return OutputOf(Buffer, static_cast<ULONG>(0), Information);
}

// ---- internal codes: what other kernel drivers send (a mouse or pen driver, an enumerator) --

// The settings in force go back to the caller, to be given back with RESTORE_SETTINGS (the
// record is the caller's to keep, not to read: RxFifo carries the FIFO control image, TxFifo the
// transmit load), and the port takes the basic mode: no time-outs, no handshake or flow control
// (DTR and RTS simply on, which is what powers such devices), one byte at a time each way.
NTSTATUS BasicSettings(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    SERIAL_BASIC_SETTINGS Previous;
    RtlZeroMemory(&Previous, sizeof(Previous));
    {
        PortLock Lock(Port);
        Previous.Timeouts = Port->Timeouts;
        Previous.HandFlow = Port->Shared.HandFlow;
        Previous.RxFifo = Port->Shared.Fcr;
        Previous.TxFifo = Port->Shared.TxLoad;
    }
    SERIAL_TIMEOUTS None;
    RtlZeroMemory(&None, sizeof(None));
    ApplyTimeouts(Port, None);
    SERIAL_HANDFLOW Basic = Previous.HandFlow;
    Basic.ControlHandShake = SERIAL_DTR_CONTROL;
    Basic.FlowReplace = SERIAL_RTS_CONTROL;
    ApplyHandFlow(Port, Basic);
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            const UCHAR Fifos = Port->Shared.Fcr & FcrEnable; // trigger 1
            UartSetFifos(Port, Fifos, 1, 0);
        });
    }
    return OutputOf(Buffer, Previous, Information);
}

// Checked like the codes that set each part, all before any is applied: a refused record
// changes nothing.
NTSTATUS RestoreSettings(PSERIAL_PORT Port, PVOID Buffer, ULONG_PTR* Information)
{
    const SERIAL_BASIC_SETTINGS Wanted = InputAs<SERIAL_BASIC_SETTINGS>(Buffer);
    ULONG QueueSize = 0;
    {
        PortLock Lock(Port);
        QueueSize = Port->Shared.Rx.Size;
    }
    const ULONG FifoBits = FcrEnable | FcrTriggerMask | Fcr64Byte;
    if (!ValidHandFlow(Wanted.HandFlow, QueueSize) || !ValidTimeouts(Wanted.Timeouts) ||
        (Wanted.RxFifo & ~FifoBits) || Wanted.TxFifo < 1 || Wanted.TxFifo > 64) {
        return STATUS_INVALID_PARAMETER;
    }
    ApplyTimeouts(Port, Wanted.Timeouts);
    ApplyHandFlow(Port, Wanted.HandFlow);
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            UartSetFifos(Port, static_cast<UCHAR>(Wanted.RxFifo), static_cast<UCHAR>(Wanted.TxFifo),
                         0);
        });
    }
    *Information = sizeof(SERIAL_BASIC_SETTINGS); // documented: the size of the record
    return STATUS_SUCCESS;
}

NTSTATUS DoWaitWake(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return EnableWaitWake(Port, TRUE);
}

NTSTATUS CancelWaitWake(PSERIAL_PORT Port, PVOID, ULONG_PTR*)
{
    return EnableWaitWake(Port, FALSE);
}

// Runs the entry of a table that names the request's code, or refuses the code.
NTSTATUS RunControl(PSERIAL_PORT Port, PIRP Irp, const CONTROL_CODE* Table, size_t Count)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG Code = Stack->Parameters.DeviceIoControl.IoControlCode;
    for (size_t Index = 0; Index < Count; ++Index) {
        const CONTROL_CODE& Entry = Table[Index];
        if (Entry.Code != Code) {
            continue;
        }
        if (Stack->Parameters.DeviceIoControl.InputBufferLength < Entry.InputSize ||
            Stack->Parameters.DeviceIoControl.OutputBufferLength < Entry.OutputSize) {
            return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        ULONG_PTR Information = 0;
        const NTSTATUS Status = Entry.Handler(Port, Irp->AssociatedIrp.SystemBuffer, &Information);
        return CompleteAndRelease(Port, Irp, Status,
                                  NT_SUCCESS(Status) ? ReturnedBytes(Irp, Information) : 0);
    }
    return CompleteAndRelease(Port, Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// clang-format off
constexpr CONTROL_CODE InternalCodes[] = {
    // code                                  input bytes                    output bytes                   handler
    {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS,   0,                             sizeof(SERIAL_BASIC_SETTINGS), BasicSettings},
    {IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, sizeof(SERIAL_BASIC_SETTINGS), 0,                             RestoreSettings},
    {IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE,     0,                             0,                             DoWaitWake},
    {IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, 0,                             0,                             CancelWaitWake},
};

constexpr CONTROL_CODE ControlCodes[] = {
    // code                           input bytes                  output bytes                handler
    {IOCTL_SERIAL_SET_BAUD_RATE,      sizeof(SERIAL_BAUD_RATE),    0,                          SetBaudRate},
    {IOCTL_SERIAL_GET_BAUD_RATE,      0,                           sizeof(SERIAL_BAUD_RATE),   GetBaudRate},
    {IOCTL_SERIAL_SET_LINE_CONTROL,   sizeof(SERIAL_LINE_CONTROL), 0,                          SetLineControl},
    {IOCTL_SERIAL_GET_LINE_CONTROL,   0,                           sizeof(SERIAL_LINE_CONTROL), GetLineControl},
    {IOCTL_SERIAL_SET_CHARS,          sizeof(SERIAL_CHARS),        0,                          SetChars},
    {IOCTL_SERIAL_GET_CHARS,          0,                           sizeof(SERIAL_CHARS),       GetChars},
    {IOCTL_SERIAL_SET_HANDFLOW,       sizeof(SERIAL_HANDFLOW),     0,                          SetHandFlow},
    {IOCTL_SERIAL_GET_HANDFLOW,       0,                           sizeof(SERIAL_HANDFLOW),    GetHandFlow},
    {IOCTL_SERIAL_SET_TIMEOUTS,       sizeof(SERIAL_TIMEOUTS),     0,                          SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS,       0,                           sizeof(SERIAL_TIMEOUTS),    GetTimeouts},
    {IOCTL_SERIAL_GET_WAIT_MASK,      0,                           sizeof(ULONG),              GetWaitMask},
    {IOCTL_SERIAL_PURGE,              sizeof(ULONG),               0,                          Purge},
    {IOCTL_SERIAL_SET_QUEUE_SIZE,     sizeof(SERIAL_QUEUE_SIZE),   0,                          SetQueueSize},
    {IOCTL_SERIAL_GET_COMMSTATUS,     0,                           sizeof(SERIAL_STATUS),      GetCommStatus},
    {IOCTL_SERIAL_GET_MODEMSTATUS,    0,                           sizeof(ULONG),              GetModemStatus},
    {IOCTL_SERIAL_SET_DTR,            0,                           0,                          SetDtr},
    {IOCTL_SERIAL_CLR_DTR,            0,                           0,                          ClrDtr},
    {IOCTL_SERIAL_SET_RTS,            0,                           0,                          SetRts},
    {IOCTL_SERIAL_CLR_RTS,            0,                           0,                          ClrRts},
    {IOCTL_SERIAL_GET_DTRRTS,         0,                           sizeof(ULONG),              GetDtrRts},
    {IOCTL_SERIAL_GET_MODEM_CONTROL,  0,                           sizeof(ULONG),              GetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL,  sizeof(ULONG),               0,                          SetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL,   sizeof(ULONG),               0,                          SetFifoControl},
    {IOCTL_SERIAL_LSRMST_INSERT,      sizeof(UCHAR),               0,                          LsrMstInsert},
    {IOCTL_SERIAL_SET_XOFF,           0,                           0,                          SetXoff},
    {IOCTL_SERIAL_SET_XON,            0,                           0,                          SetXon},
    {IOCTL_SERIAL_SET_BREAK_ON,       0,                           0,                          SetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF,      0,                           0,                          SetBreakOff},
    {IOCTL_SERIAL_GET_PROPERTIES,     0,                           sizeof(SERIAL_COMMPROP),    GetProperties},
    {IOCTL_SERIAL_GET_STATS,          0,                           sizeof(SERIALPERF_STATS),   GetStats},
    {IOCTL_SERIAL_CLEAR_STATS,        0,                           0,                          ClearStats},
    {IOCTL_SERIAL_RESET_DEVICE,       0,                           0,                          ResetDevice},
    {IOCTL_SERIAL_CONFIG_SIZE,        0,                           sizeof(ULONG),              ConfigSize},
};
// clang-format on

} // namespace

// What GET_PROPERTIES reports, and WMI's MSSerial_CommProperties and MSSerial_CommInfo with it.
VOID PortProperties(PSERIAL_PORT Port, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(*Properties));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxTxQueue = 0; // writes queue as requests: no limit of the driver's
    Properties->MaxRxQueue = MaxReceiveQueue;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                   SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                   SERIAL_PCF_INTTIMEOUTS | SERIAL_PCF_SPECIALCHARS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                 SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                 SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableData =
        SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    PortLock Lock(Port);
    Properties->SettableBaud = SERIAL_BAUD_USER;
    for (const NAMED_RATE& Named : NamedRates) {
        if (DivisorFor(Port->Config.ClockRate, Named.Rate) != 0) {
            Properties->SettableBaud |= Named.Flag;
        }
    }
    Properties->CurrentRxQueue = Port->Shared.Rx.Size;
}

// The counters live in SERIAL_SHARED, where the interrupt callback counts: read in one piece
// inside its synchronisation, so the six agree with each other.
VOID PortStatistics(PSERIAL_PORT Port, PSERIALPERF_STATS Stats)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] { *Stats = Port->Shared.Stats; });
}

NTSTATUS SerialDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    // The codes that may stay pending or end a pending request complete their own requests.
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return WaitOnMask(Port, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return SetWaitMask(Port, Irp);
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        return ImmediateChar(Port, Irp);
    case IOCTL_SERIAL_XOFF_COUNTER:
        return XoffCounter(Port, Irp);
    default:
        return RunControl(Port, Irp, ControlCodes, sizeof(ControlCodes) / sizeof(ControlCodes[0]));
    }
}

// Internal device control comes only from kernel drivers; their codes share numbers with the
// control codes, so they have a table of their own.
NTSTATUS SerialInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptInternalRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    return RunControl(Port, Irp, InternalCodes, sizeof(InternalCodes) / sizeof(InternalCodes[0]));
}
