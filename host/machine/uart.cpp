// The 16550A model. Priorities and clearing rules follow the part's data sheet: receiver line
// status (cleared by reading LSR), received data at the trigger level (cleared when the FIFO
// drops below it), character time-out (cleared by reading RBR), transmitter empty (cleared by
// reading IIR while it is the source shown, or by writing THR), modem status (cleared by
// reading MSR).
#include "uart.h"

#include <algorithm>

namespace hm {
namespace {

constexpr uint64_t Never = UINT64_MAX;

bool Loopback(const Uart& u)
{
    return (u.Mcr & McrLoop) != 0;
}

bool BreakOn(const Uart& u)
{
    return (u.Lcr & LcrBreak) != 0;
}

// The UART's time never runs backwards: an earlier `now` counts as the latest seen.
uint64_t Now(Uart& u, uint64_t now)
{
    u.Clock = std::max(u.Clock, now);
    return u.Clock;
}

// Line states seen by MSR: in loopback the modem control outputs feed the inputs back.
uint8_t EffectiveInputs(const Uart& u)
{
    if (!Loopback(u)) {
        return u.ModemInputs;
    }
    uint8_t v = 0;
    if (u.Mcr & McrRts) {
        v |= MsrCts;
    }
    if (u.Mcr & McrDtr) {
        v |= MsrDsr;
    }
    if (u.Mcr & McrOut1) {
        v |= MsrRi;
    }
    if (u.Mcr & McrOut2) {
        v |= MsrDcd;
    }
    return v;
}

void UpdateModemState(Uart& u)
{
    uint8_t now = EffectiveInputs(u);
    uint8_t changed = now ^ u.MsrState;
    if (changed & MsrCts) {
        u.MsrDelta |= MsrDcts;
    }
    if (changed & MsrDsr) {
        u.MsrDelta |= MsrDdsr;
    }
    if ((u.MsrState & MsrRi) && !(now & MsrRi)) {
        u.MsrDelta |= MsrTeri; // trailing edge of ring only
    }
    if (changed & MsrDcd) {
        u.MsrDelta |= MsrDdcd;
    }
    u.MsrState = now;
}

unsigned FifoDepth(const Uart& u)
{
    return u.Fifo64 ? UartFifo64Size : UartFifoSize;
}

unsigned RxCapacity(const Uart& u)
{
    return u.FifoEnabled ? FifoDepth(u) : 1;
}

// A complete character arrives at the receiver.
void Receive(Uart& u, UartChar c, uint64_t at)
{
    u.RxActivity = at;
    u.TimedOut = false;
    if (u.Rx.size() < RxCapacity(u)) {
        u.Rx.push_back(c);
        return;
    }
    u.Overrun = true;
    u.Overruns++;
    if (!u.FifoEnabled) {
        u.Rx.back() = c; // the 16450 holding register is overwritten; a full FIFO keeps its data
    }
}

// A character leaves toward the cable, or in loopback into the UART's own receiver, which
// samples it with the same format and so takes it exactly (a looped break as a break).
void Deliver(Uart& u, const WireChar& c)
{
    if (!Loopback(u)) {
        u.Outbox.push_back(c);
        return;
    }
    Sampled s = Sample(c, UartFormat(u));
    if (s.Char) {
        Receive(u, UartChar{s.Byte, s.Errors}, c.End);
    }
}

// Transmit holding register / FIFO to shift register, the frame starting at `at`.
void LoadShiftRegister(Uart& u, uint64_t at)
{
    if (u.TsrBusy || u.Tx.empty()) {
        return;
    }
    u.Tsr = MakeWireChar(UartFormat(u), u.Tx.front(), 0, at, at + UartCharNs(u));
    u.Tx.pop_front();
    u.TsrBusy = true;
    if (u.Tx.empty()) {
        u.ThrePending = true;
    }
}

// Everything due by `now`: frames end and the next follows back to back from the FIFO; the
// time-out falls due after UartTimeoutNs without a character entering the FIFO or RBR read.
void Run(Uart& u, uint64_t now)
{
    while (u.TsrBusy && u.Tsr.End <= now) {
        WireChar c = u.Tsr;
        u.TsrBusy = false;
        // The break bit forces TX low whatever the shift register does: a frame shifted out
        // while it was set, in whole or in part, never reaches the line.
        if (!BreakOn(u) && u.BreakEnded <= c.Start) {
            Deliver(u, c);
        }
        LoadShiftRegister(u, c.End);
    }
    if (!u.TimedOut && u.FifoEnabled && !u.Rx.empty() && u.RxActivity + UartTimeoutNs(u) <= now) {
        u.TimedOut = true;
    }
}

// The line returns to mark: the far end (or the UART's own receiver) gets the low period.
void EndBreak(Uart& u, uint64_t now)
{
    u.BreakEnded = now;
    Deliver(u, MakeBreak(UartFormat(u), u.BreakSince, now));
}

uint8_t TopErrors(const Uart& u)
{
    return u.Rx.empty() ? 0 : u.Rx.front().Errors;
}

bool TimeoutPending(const Uart& u)
{
    return u.FifoEnabled && !u.Rx.empty() && u.TimedOut;
}

bool DataAtTrigger(const Uart& u)
{
    return u.FifoEnabled ? u.Rx.size() >= u.Trigger : !u.Rx.empty();
}

void WriteFcr(Uart& u, uint8_t value, uint64_t now)
{
    bool enable = (value & FcrEnable) != 0;
    // The 16750 takes its 64-byte bit only while DLAB is set, so that 16550 drivers, which
    // write FCR with DLAB clear and may leave bit 5 set, cannot switch the mode by accident.
    // Disabling the FIFOs ends the mode.
    bool wide = (u.Lcr & LcrDlab) ? (value & Fcr64) != 0 : u.Fifo64;
    if (!enable) {
        wide = false;
    }
    if (enable != u.FifoEnabled || wide != u.Fifo64) {
        // Changing the FIFO mode empties both FIFOs (a change of depth too: a 64-byte FIFO's
        // contents would not fit in 16).
        if (!u.Tx.empty()) {
            u.ThrePending = true;
        }
        u.Rx.clear();
        u.Tx.clear();
        u.FifoEnabled = enable;
        u.Fifo64 = wide;
    }
    if (!enable) {
        // The other bits are programmed only together with the enable bit.
        u.Fcr = 0;
        u.Trigger = 1;
        return;
    }
    if (value & FcrRxReset) {
        u.Rx.clear();
        u.RxActivity = now;
        u.TimedOut = false;
    }
    if ((value & FcrTxReset) && !u.Tx.empty()) {
        u.Tx.clear();
        u.ThrePending = true;
    }
    static const uint8_t levels[2][4] = {{1, 4, 8, 14}, {1, 16, 32, 56}};
    u.Trigger = levels[u.Fifo64 ? 1 : 0][(value >> 6) & 3];
    u.Fcr = static_cast<uint8_t>((value & 0xC9) | (u.Fifo64 ? Fcr64 : 0));
}

void WriteThr(Uart& u, uint8_t value, uint64_t now)
{
    u.ThrePending = false;
    if (u.FifoEnabled) {
        if (u.Tx.size() < FifoDepth(u)) {
            u.Tx.push_back(value); // a write to a full FIFO is lost
        }
    } else if (u.Tx.empty()) {
        u.Tx.push_back(value);
    } else {
        u.Tx.back() = value;
    }
    LoadShiftRegister(u, now);
    Run(u, now); // a character of no duration (override 0) is on the line at once
}

void WriteLcr(Uart& u, uint8_t value, uint64_t now)
{
    bool was = BreakOn(u);
    u.Lcr = value;
    if (!was && BreakOn(u)) {
        u.BreakSince = now;
    } else if (was && !BreakOn(u)) {
        EndBreak(u, now);
    }
}

} // namespace

LineFormat UartFormat(const Uart& u)
{
    LineFormat f;
    uint32_t divisor = static_cast<uint32_t>(u.Dll | (u.Dlm << 8));
    f.Bit = BitTime{16 * (divisor ? divisor : 65536), u.ClockHz};
    f.DataBits = static_cast<uint8_t>(5 + (u.Lcr & LcrWordLength));
    if (!(u.Lcr & LcrParity)) {
        f.Parity = ParityKind::None;
    } else if (u.Lcr & LcrStickParity) {
        f.Parity = (u.Lcr & LcrEvenParity) ? ParityKind::Space : ParityKind::Mark;
    } else {
        f.Parity = (u.Lcr & LcrEvenParity) ? ParityKind::Even : ParityKind::Odd;
    }
    if (!(u.Lcr & LcrStop)) {
        f.Stop = StopBits::One;
    } else {
        f.Stop = f.DataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
    }
    return f;
}

uint64_t UartCharNs(const Uart& u)
{
    return u.Override.On ? u.Override.CharNs : FrameNs(UartFormat(u));
}

uint64_t UartTimeoutNs(const Uart& u)
{
    return u.Override.On ? u.Override.TimeoutNs : UartTimeoutChars * FrameNs(UartFormat(u));
}

uint8_t UartPeekIir(const Uart& u)
{
    uint8_t id = IirNone;
    if ((u.Ier & IerRls) && (u.Overrun || TopErrors(u))) {
        id = IirRls;
    } else if ((u.Ier & IerRda) && DataAtTrigger(u)) {
        id = IirRda;
    } else if ((u.Ier & IerRda) && TimeoutPending(u)) {
        id = IirTimeout;
    } else if ((u.Ier & IerThre) && u.ThrePending) {
        id = IirThre;
    } else if ((u.Ier & IerMsr) && u.MsrDelta) {
        id = IirMsr;
    }
    if (u.FifoEnabled) {
        id |= IirFifoBits;
        if (u.Fifo64) {
            id |= IirFifo64;
        }
    }
    return id;
}

uint8_t UartPeekLsr(const Uart& u)
{
    uint8_t v = 0;
    if (!u.Rx.empty()) {
        v |= LsrDr;
    }
    if (u.Overrun) {
        v |= LsrOe;
    }
    v |= TopErrors(u);
    if (u.Tx.empty()) {
        v |= LsrThre;
        if (!u.TsrBusy) {
            v |= LsrTemt;
        }
    }
    if (u.FifoEnabled) {
        for (const UartChar& c : u.Rx) {
            if (c.Errors) {
                v |= LsrFifoError;
                break;
            }
        }
    }
    return v;
}

uint8_t UartPeekMsr(const Uart& u)
{
    return static_cast<uint8_t>(u.MsrState | u.MsrDelta);
}

bool UartInterrupt(const Uart& u)
{
    return (UartPeekIir(u) & IirNone) == 0;
}

uint8_t UartRead(Uart& u, unsigned reg, uint64_t now)
{
    now = Now(u, now);
    Run(u, now);
    bool dlab = (u.Lcr & LcrDlab) != 0;
    switch (reg & 7) {
    case UartRbrThr:
        if (dlab) {
            return u.Dll;
        }
        if (!u.Rx.empty()) {
            u.LastRbr = u.Rx.front().Byte;
            u.Rx.pop_front();
        }
        u.RxActivity = now;
        u.TimedOut = false;
        return u.LastRbr;
    case UartIer:
        return dlab ? u.Dlm : u.Ier;
    case UartIirFcr: {
        uint8_t iir = UartPeekIir(u);
        if ((iir & 0x0F) == IirThre) {
            u.ThrePending = false;
        }
        return iir;
    }
    case UartLcr:
        return u.Lcr;
    case UartMcr:
        return u.Mcr;
    case UartLsr: {
        uint8_t lsr = UartPeekLsr(u);
        u.Overrun = false;
        if (!u.Rx.empty()) {
            u.Rx.front().Errors = 0;
        }
        return lsr;
    }
    case UartMsr: {
        uint8_t msr = UartPeekMsr(u);
        u.MsrDelta = 0;
        return msr;
    }
    default:
        return u.Scr;
    }
}

void UartWrite(Uart& u, unsigned reg, uint8_t value, uint64_t now)
{
    now = Now(u, now);
    Run(u, now);
    bool dlab = (u.Lcr & LcrDlab) != 0;
    switch (reg & 7) {
    case UartRbrThr:
        if (dlab) {
            u.Dll = value;
        } else {
            WriteThr(u, value, now);
        }
        break;
    case UartIer:
        if (dlab) {
            u.Dlm = value;
        } else {
            uint8_t old = u.Ier;
            u.Ier = value & 0x0F;
            // Enabling the transmitter interrupt with the holding register empty raises it.
            if (!(old & IerThre) && (u.Ier & IerThre) && u.Tx.empty()) {
                u.ThrePending = true;
            }
        }
        break;
    case UartIirFcr:
        WriteFcr(u, value, now);
        break;
    case UartLcr:
        WriteLcr(u, value, now);
        break;
    case UartMcr: {
        bool rts = UartOutputs(u).Rts;
        u.Mcr = value & 0x1F;
        if (UartOutputs(u).Rts != rts) {
            u.RtsChanged = now;
        }
        UpdateModemState(u);
        break;
    }
    case UartLsr:
        break; // factory test register: writes have no effect here
    case UartMsr:
        break;
    default:
        u.Scr = value;
        break;
    }
    // RTS up asks a far end that honours it to send; with the received-data interrupt off, what
    // it sends waits in a FIFO that nothing empties.
    const unsigned written = reg & 7;
    if ((written == UartMcr || (written == UartIer && !dlab)) && UartOutputs(u).Rts &&
        !(u.Ier & IerRda)) {
        ++u.RtsWhileDeaf;
    }
}

void UartReset(Uart& u, uint64_t now)
{
    now = Now(u, now);
    Run(u, now);
    if (BreakOn(u)) {
        EndBreak(u, now);
    }
    if (UartOutputs(u).Rts) {
        u.RtsChanged = now;
    }
    u.Ier = 0;
    u.Lcr = 0;
    u.Mcr = 0;
    u.Fcr = 0;
    u.FifoEnabled = false;
    u.Fifo64 = false;
    u.Trigger = 1;
    u.Rx.clear();
    u.Tx.clear();
    u.TsrBusy = false;
    u.Overrun = false;
    u.ThrePending = false;
    u.RxActivity = now;
    u.TimedOut = false;
    u.MsrDelta = 0;
    u.MsrState = EffectiveInputs(u);
}

void UartAdvance(Uart& u, uint64_t now, std::vector<WireChar>* emitted)
{
    Run(u, Now(u, now));
    if (emitted) {
        emitted->insert(emitted->end(), u.Outbox.begin(), u.Outbox.end());
    }
    u.Outbox.clear();
}

uint64_t UartNextEvent(const Uart& u)
{
    uint64_t next = Never;
    if (!u.Outbox.empty()) {
        next = u.Outbox.front().End;
    }
    if (u.TsrBusy) {
        next = std::min(next, u.Tsr.End);
    }
    if (!u.TimedOut && u.FifoEnabled && !u.Rx.empty()) {
        next = std::min(next, u.RxActivity + UartTimeoutNs(u));
    }
    return next;
}

void UartReceive(Uart& u, const WireChar& c, uint64_t now)
{
    now = Now(u, now);
    Run(u, now);
    if (Loopback(u)) {
        return; // in loopback the receiver is cut off from the cable
    }
    Sampled s = Sample(c, UartFormat(u));
    if (s.Char) {
        Receive(u, UartChar{s.Byte, static_cast<uint8_t>(s.Errors & (LsrPe | LsrFe | LsrBi))}, now);
    }
}

void UartSetModemInputs(Uart& u, bool cts, bool dsr, bool ri, bool dcd)
{
    u.ModemInputs = static_cast<uint8_t>((cts ? MsrCts : 0) | (dsr ? MsrDsr : 0) |
                                         (ri ? MsrRi : 0) | (dcd ? MsrDcd : 0));
    UpdateModemState(u);
}

LineOutputs UartOutputs(const Uart& u)
{
    LineOutputs o;
    if (Loopback(u)) {
        return o;
    }
    o.Rts = (u.Mcr & McrRts) != 0;
    o.Dtr = (u.Mcr & McrDtr) != 0;
    o.Out1 = (u.Mcr & McrOut1) != 0;
    o.Out2 = (u.Mcr & McrOut2) != 0;
    o.Break = BreakOn(u);
    return o;
}

} // namespace hm
