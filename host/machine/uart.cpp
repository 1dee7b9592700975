// The 16550A model. Priorities and clearing rules follow the part's data sheet: receiver line
// status (cleared by reading LSR), received data at the trigger level (cleared when the FIFO
// drops below it), character time-out (cleared by reading RBR), transmitter empty (cleared by
// reading IIR while it is the source shown, or by writing THR), modem status (cleared by
// reading MSR).
#include "uart.h"

namespace hm {
namespace {

bool Loopback(const Uart& u)
{
    return (u.Mcr & McrLoop) != 0;
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

unsigned RxCapacity(const Uart& u)
{
    return u.FifoEnabled ? UartFifoSize : 1;
}

// A complete character arrives at the receiver.
void Receive(Uart& u, UartChar c)
{
    u.IdleTicks = 0;
    if (u.Rx.size() < RxCapacity(u)) {
        u.Rx.push_back(c);
        return;
    }
    u.Overrun = true;
    if (!u.FifoEnabled) {
        u.Rx.back() = c; // the 16450 holding register is overwritten; a full FIFO keeps its data
    }
}

// A character leaves the shift register.
void Emit(Uart& u, uint8_t byte)
{
    if (Loopback(u)) {
        Receive(u, UartChar{byte, 0});
    } else {
        u.Outbound.push_back(byte);
    }
}

// Transmit holding register / FIFO to shift register.
void LoadShiftRegister(Uart& u)
{
    if (u.TsrBusy || u.Tx.empty()) {
        return;
    }
    u.Tsr = u.Tx.front();
    u.Tx.pop_front();
    u.TsrBusy = true;
    u.TsrTicks = u.Pace;
    if (u.Tx.empty()) {
        u.ThrePending = true;
    }
}

void RunTransmitter(Uart& u)
{
    if (u.Pace == 0) {
        // Instant line: everything written is on the wire at once.
        bool sent = false;
        while (!u.Tx.empty()) {
            Emit(u, u.Tx.front());
            u.Tx.pop_front();
            sent = true;
        }
        if (sent) {
            u.ThrePending = true;
        }
        return;
    }
    LoadShiftRegister(u);
}

uint8_t TopErrors(const Uart& u)
{
    return u.Rx.empty() ? 0 : u.Rx.front().Errors;
}

bool TimeoutPending(const Uart& u)
{
    return u.FifoEnabled && !u.Rx.empty() && u.IdleTicks >= UartTimeoutChars;
}

bool DataAtTrigger(const Uart& u)
{
    return u.FifoEnabled ? u.Rx.size() >= u.Trigger : !u.Rx.empty();
}

void WriteFcr(Uart& u, uint8_t value)
{
    bool enable = (value & FcrEnable) != 0;
    if (enable != u.FifoEnabled) {
        // Changing the FIFO mode empties both FIFOs.
        if (!u.Tx.empty()) {
            u.ThrePending = true;
        }
        u.Rx.clear();
        u.Tx.clear();
        u.FifoEnabled = enable;
    }
    if (!enable) {
        // The other bits are programmed only together with the enable bit.
        u.Fcr = 0;
        u.Trigger = 1;
        return;
    }
    if (value & FcrRxReset) {
        u.Rx.clear();
        u.IdleTicks = 0;
    }
    if ((value & FcrTxReset) && !u.Tx.empty()) {
        u.Tx.clear();
        u.ThrePending = true;
    }
    static const uint8_t levels[4] = {1, 4, 8, 14};
    u.Trigger = levels[value >> 6];
    u.Fcr = value & 0xC9;
}

void WriteThr(Uart& u, uint8_t value)
{
    u.ThrePending = false;
    if (u.FifoEnabled) {
        if (u.Tx.size() < UartFifoSize) {
            u.Tx.push_back(value); // a write to a full FIFO is lost
        }
    } else if (u.Tx.empty()) {
        u.Tx.push_back(value);
    } else {
        u.Tx.back() = value;
    }
    RunTransmitter(u);
}

} // namespace

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
    return static_cast<uint8_t>(id | (u.FifoEnabled ? IirFifoBits : 0));
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

uint8_t UartRead(Uart& u, unsigned reg)
{
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
        u.IdleTicks = 0;
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

void UartWrite(Uart& u, unsigned reg, uint8_t value)
{
    bool dlab = (u.Lcr & LcrDlab) != 0;
    switch (reg & 7) {
    case UartRbrThr:
        if (dlab) {
            u.Dll = value;
        } else {
            WriteThr(u, value);
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
        WriteFcr(u, value);
        break;
    case UartLcr:
        u.Lcr = value;
        break;
    case UartMcr:
        u.Mcr = value & 0x1F;
        UpdateModemState(u);
        break;
    case UartLsr:
        break; // factory test register: writes have no effect here
    case UartMsr:
        break;
    default:
        u.Scr = value;
        break;
    }
}

void UartReset(Uart& u)
{
    u.Ier = 0;
    u.Lcr = 0;
    u.Mcr = 0;
    u.Fcr = 0;
    u.FifoEnabled = false;
    u.Trigger = 1;
    u.Rx.clear();
    u.Tx.clear();
    u.TsrBusy = false;
    u.TsrTicks = 0;
    u.Overrun = false;
    u.ThrePending = false;
    u.IdleTicks = 0;
    u.MsrDelta = 0;
    u.MsrState = EffectiveInputs(u);
}

void UartTick(Uart& u)
{
    if (!u.Rx.empty() && u.IdleTicks < UartTimeoutChars) {
        ++u.IdleTicks;
    }
    if (u.Pace != 0) {
        if (u.TsrBusy && --u.TsrTicks == 0) {
            u.TsrBusy = false;
            Emit(u, u.Tsr);
        }
        LoadShiftRegister(u);
        if (!u.Inbound.empty() && ++u.InboundTicks >= u.Pace) {
            u.InboundTicks = 0;
            UartChar c = u.Inbound.front();
            u.Inbound.pop_front();
            if (!Loopback(u)) {
                Receive(u, c); // in loopback the receiver is cut off from the cable
            }
        }
    }
}

void UartRemoteSend(Uart& u, uint8_t byte, uint8_t errors)
{
    UartChar c{byte, static_cast<uint8_t>(errors & (LsrPe | LsrFe | LsrBi))};
    if (u.Pace == 0) {
        if (!Loopback(u)) {
            Receive(u, c);
        }
        return;
    }
    u.Inbound.push_back(c);
}

void UartSetModemInputs(Uart& u, bool cts, bool dsr, bool ri, bool dcd)
{
    u.ModemInputs = static_cast<uint8_t>((cts ? MsrCts : 0) | (dsr ? MsrDsr : 0) |
                                         (ri ? MsrRi : 0) | (dcd ? MsrDcd : 0));
    UpdateModemState(u);
}

} // namespace hm
