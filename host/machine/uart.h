// A 16550A UART as the adapter carries it: eight registers, 16-byte receive and transmit FIFOs,
// the four interrupt sources with their priorities, the character time-out, modem status with
// delta bits, loopback, and a line end that stands for the equipment at the other end of the
// cable. Time is counted in ticks: one tick is one character time on the line.
//
// The model is exact where a serial driver looks and simple elsewhere: baud rate and line format
// are stored but do not change the timing (the line pace does); the divisor latch is not reset by
// a master reset; break is received as one zero character with BI set.
//
// Interrupt output: INT is high whenever the interrupt identification register shows a pending
// source. It is not gated by OUT2: on this board each UART's INT pin drives its bit of the
// adapter's interrupt status register directly (a PC's motherboard port gates IRQ with OUT2;
// the multiport board has no such buffer). A driver that wants a port silent clears IER.
//
// Not thread-safe: the board that holds the UARTs serialises every call.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace hm {

// Register offsets (DLAB: line control bit 7, switches offsets 0 and 1 to the divisor latch).
enum UartRegister : unsigned {
    UartRbrThr = 0, // receive buffer (read) / transmit holding (write); DLL with DLAB
    UartIer = 1,    // interrupt enable; DLM with DLAB
    UartIirFcr = 2, // interrupt identification (read) / FIFO control (write)
    UartLcr = 3,
    UartMcr = 4,
    UartLsr = 5,
    UartMsr = 6,
    UartScr = 7,
};

// Interrupt enable bits.
constexpr uint8_t IerRda = 0x01;  // received data available (and character time-out)
constexpr uint8_t IerThre = 0x02; // transmit holding register empty
constexpr uint8_t IerRls = 0x04;  // receiver line status
constexpr uint8_t IerMsr = 0x08;  // modem status

// Interrupt identification, low four bits, highest priority first.
constexpr uint8_t IirRls = 0x06;
constexpr uint8_t IirRda = 0x04;
constexpr uint8_t IirTimeout = 0x0C;
constexpr uint8_t IirThre = 0x02;
constexpr uint8_t IirMsr = 0x00;
constexpr uint8_t IirNone = 0x01;
constexpr uint8_t IirFifoBits = 0xC0;

// FIFO control.
constexpr uint8_t FcrEnable = 0x01;
constexpr uint8_t FcrRxReset = 0x02;
constexpr uint8_t FcrTxReset = 0x04;

// Line control / modem control.
constexpr uint8_t LcrDlab = 0x80;
constexpr uint8_t McrDtr = 0x01;
constexpr uint8_t McrRts = 0x02;
constexpr uint8_t McrOut1 = 0x04;
constexpr uint8_t McrOut2 = 0x08;
constexpr uint8_t McrLoop = 0x10;

// Line status.
constexpr uint8_t LsrDr = 0x01;
constexpr uint8_t LsrOe = 0x02;
constexpr uint8_t LsrPe = 0x04;
constexpr uint8_t LsrFe = 0x08;
constexpr uint8_t LsrBi = 0x10;
constexpr uint8_t LsrThre = 0x20;
constexpr uint8_t LsrTemt = 0x40;
constexpr uint8_t LsrFifoError = 0x80;

// Modem status: deltas in the low nibble, line states in the high nibble.
constexpr uint8_t MsrDcts = 0x01;
constexpr uint8_t MsrDdsr = 0x02;
constexpr uint8_t MsrTeri = 0x04;
constexpr uint8_t MsrDdcd = 0x08;
constexpr uint8_t MsrCts = 0x10;
constexpr uint8_t MsrDsr = 0x20;
constexpr uint8_t MsrRi = 0x40;
constexpr uint8_t MsrDcd = 0x80;

constexpr unsigned UartFifoSize = 16;
constexpr unsigned UartTimeoutChars = 4; // character time-out after four idle character times

struct UartChar {
    uint8_t Byte;
    uint8_t Errors; // LsrPe, LsrFe, LsrBi: shown in LSR while the character is at the FIFO top
};

struct Uart {
    uint8_t Ier = 0;
    uint8_t Lcr = 0;
    uint8_t Mcr = 0;
    uint8_t Scr = 0;
    uint8_t Dll = 0;
    uint8_t Dlm = 0;
    uint8_t Fcr = 0; // FIFO enable, DMA mode and trigger bits as last programmed
    bool FifoEnabled = false;
    uint8_t Trigger = 1;     // receive trigger level: 1, 4, 8 or 14
    std::deque<UartChar> Rx; // receive FIFO (one entry, the RBR, with FIFOs off)
    std::deque<uint8_t> Tx;  // transmit FIFO (one entry, the THR, with FIFOs off)
    bool TsrBusy = false;    // transmitter shift register holds a character
    uint8_t Tsr = 0;
    unsigned TsrTicks = 0; // ticks left until the character in the TSR is on the wire
    bool Overrun = false;
    bool ThrePending = false; // the THRE interrupt source is armed
    uint8_t LastRbr = 0;
    unsigned IdleTicks = 0;  // character times since the receive FIFO was last read or filled
    uint8_t ModemInputs = 0; // CTS/DSR/RI/DCD from the cable (MSR high nibble positions)
    uint8_t MsrState = 0;    // effective line states (cable, or MCR in loopback)
    uint8_t MsrDelta = 0;

    // The cable's other end.
    unsigned Pace = 1;            // ticks per character; 0: instant
    std::deque<UartChar> Inbound; // sent by the far end, not yet at the receiver
    unsigned InboundTicks = 0;
    std::vector<uint8_t> Outbound; // transmitted, not yet collected
};

// Register access as the CPU sees it (side effects included).
uint8_t UartRead(Uart& u, unsigned reg);
void UartWrite(Uart& u, unsigned reg, uint8_t value);

// Side-effect-free views.
uint8_t UartPeekIir(const Uart& u);
uint8_t UartPeekLsr(const Uart& u);
uint8_t UartPeekMsr(const Uart& u);
bool UartInterrupt(const Uart& u); // INT output

// Master reset (power-on, or return from D3): registers to their reset values, FIFOs emptied.
// The divisor latch, the scratch register and the far end are kept.
void UartReset(Uart& u);

// One character time passes.
void UartTick(Uart& u);

// The far end sends: with pace 0 the characters reach the receiver at once (a full FIFO
// overruns), otherwise one per Pace ticks.
void UartRemoteSend(Uart& u, uint8_t byte, uint8_t errors = 0);
void UartSetModemInputs(Uart& u, bool cts, bool dsr, bool ri, bool dcd);

} // namespace hm
