// A 16550A UART as the adapter carries it, with the 64-byte FIFO mode of the 16750: eight
// registers, receive and transmit FIFOs, the four interrupt sources with their priorities, the
// character time-out, modem status with delta bits, internal loopback, and a transmitter and
// receiver that keep the time the programmed rate and line format give.
//
// Time is the machine's clock in nanoseconds, passed into every call that can change state; the
// model keeps no clock of its own and starts no thread. A call with a time earlier than one seen
// before counts as the latest time seen (the UART's time never runs backwards). Every call first
// brings the UART up to its time (frames that ended leave, the time-out is accounted), so the
// order in which a caller advances and touches it does not change what it sees.
//
// What leaves the transmitter is a WireChar (below): the levels of its bit cells at the sender's
// bit time, or a break. A receiver samples such a character with its own format (Sample), so two
// ends that disagree on rate or format see the errors real hardware would. The far end of the
// cable is not part of the UART: see line.h for the scripted peer, the loopback plug and the
// null-modem cable.
//
// Interrupt output: INT is high whenever the interrupt identification register shows a pending
// source. It is not gated by OUT2: on this board each UART's INT pin drives its bit of the
// adapter's interrupt status register directly (a PC's motherboard port gates IRQ with OUT2;
// the multiport board has no such buffer). A driver that wants a port silent clears IER.
//
// Simplifications, stated once: the divisor latch is not reset by a master reset (the data
// sheet leaves it undefined; drivers always program it); a format change takes effect with the
// next character loaded or received, never in the middle of one; a character reaches the far
// receiver once it has ended on the line, so a break is reported when the line returns to mark
// (a real receiver reports it one frame after the line fell, and then waits for mark).
//
// Not thread-safe: the board that holds the UARTs serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace hm {

// The input clock of the UARTs on every board of this product. 73.728 MHz / 16 = 4.608 MHz is a
// whole multiple of every rate of the user's list from 75 (divisor 61440) to 921600 (divisor 5),
// so the board runs each of them exactly, unlike the PC's 1.8432 MHz, which stops at 115200.
constexpr uint32_t BoardUartClockHz = 73'728'000;

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
constexpr uint8_t IirFifo64 = 0x20; // 64-byte FIFOs on (16750)
constexpr uint8_t IirFifoBits = 0xC0;

// FIFO control.
constexpr uint8_t FcrEnable = 0x01;
constexpr uint8_t FcrRxReset = 0x02;
constexpr uint8_t FcrTxReset = 0x04;
constexpr uint8_t Fcr64 = 0x20; // 16750: 64-byte FIFOs; taken only while DLAB is set

// Line control.
constexpr uint8_t LcrWordLength = 0x03; // 5 + value data bits
constexpr uint8_t LcrStop = 0x04;       // 2 stop bits (1.5 with 5 data bits)
constexpr uint8_t LcrParity = 0x08;
constexpr uint8_t LcrEvenParity = 0x10;
constexpr uint8_t LcrStickParity = 0x20; // with parity: bit 4 clear sends mark, set sends space
constexpr uint8_t LcrBreak = 0x40;
constexpr uint8_t LcrDlab = 0x80;

// Modem control.
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
constexpr unsigned UartFifo64Size = 64;
constexpr unsigned UartTimeoutChars = 4; // character time-out after four idle character times

// ---------------------------------------------------------------------------------------------
// The wire

// A bit time as an exact fraction of a second, Num / Den: a UART's is 16 x divisor periods of its
// input clock, a device given in baud has 1 / baud. Kept exact rather than in nanoseconds: the
// standard rates have no whole-nanosecond bit time (9600 baud: 104166.67 ns), and a receiver at
// half or twice the sender's rate samples exactly on the sender's cell edges, where a rounded
// bit time would pick a side at random.
struct BitTime {
    uint32_t Num = 1;
    uint32_t Den = 9600;
};

enum class ParityKind : uint8_t {
    None,
    Odd,
    Even,
    Mark, // stick parity: always 1
    Space // stick parity: always 0
};

enum class StopBits : uint8_t {
    One,
    OneAndHalf, // the 16550 sends 1.5 for 2 with 5 data bits
    Two
};

// How one end of a line frames characters.
struct LineFormat {
    BitTime Bit;
    uint8_t DataBits = 8; // 5 to 8
    ParityKind Parity = ParityKind::None;
    StopBits Stop = StopBits::One;
};

// A format at a rate in baud, for equipment that is not a UART on this board.
LineFormat BaudFormat(uint32_t baud, uint8_t dataBits = 8, ParityKind parity = ParityKind::None,
                      StopBits stop = StopBits::One);
// Start bit, data bits, parity bit and every stop bit, in nanoseconds (rounded to the nearest).
uint64_t FrameNs(const LineFormat& f);

// One character as it travels on the line. Characters are independent: the line is taken as idle
// (mark) after each one's cells, whatever follows it.
struct WireChar {
    uint64_t Start = 0; // the falling edge of the start bit, or of the break
    uint64_t End = 0;   // when it has left the sender: the end of its frame, or of the break
    // The sender's format: its bit time places the cells; the rest serves a receiver that
    // follows the sender (the ideal far end of line.h), which real receivers cannot do.
    LineFormat Sender;
    bool Break = false;    // the line held low from Start to End; the cells are unused
    uint16_t Cells = 0;    // bit k: level of cell k (start, data LSB first, parity, first stop)
    uint8_t CellCount = 0; // cells recorded; the line is mark after them
    // Error bits the receiver reports instead of what it samples (a zero byte with LsrBi). Only
    // the ideal far end sets them, for faults its line cannot carry: see line.h.
    uint8_t Forced = 0;
};

// The waveform of one character: fault LsrPe sends the wrong parity bit, LsrFe a space (0) in
// the first stop bit. A format without parity has no parity bit to spoil.
WireChar MakeWireChar(const LineFormat& sender, uint8_t byte, uint8_t fault, uint64_t start,
                      uint64_t end);
WireChar MakeBreak(const LineFormat& sender, uint64_t start, uint64_t end);

struct Sampled {
    bool Char;      // false: the start bit did not hold (a glitch), nothing is received
    uint8_t Byte;   // data bits, LSB first; bits above the receiver's data bits are 0
    uint8_t Errors; // LsrPe, LsrFe, LsrBi
};

// What a receiver with format `rx` makes of a character. Like the 16550 it synchronises on the
// falling edge at the character's start and samples the middle of each of its own cells: the
// start bit (if it reads 1 the edge was noise and no character is received), the data bits, the
// parity bit (parity error when it disagrees with the parity over the sampled data) and the
// first stop bit (framing error when it reads 0; further stop bits are not checked). A line held
// low for at least one full receiver frame (start, data, parity, every stop bit) is a break: one
// zero character with LsrBi and LsrFe. Shorter low periods sample as whatever they look like.
//
// Each character is sampled alone. Real receivers that disagree with the sender on the rate
// resynchronise on some later falling edge inside the sender's frame and may make two characters
// of one, or one of two; the model makes one character of each WireChar.
Sampled Sample(const WireChar& c, const LineFormat& rx);

// The levels a UART drives toward the far end of its cable.
struct LineOutputs {
    bool Rts = false;
    bool Dtr = false;
    bool Out1 = false;
    bool Out2 = false;
    bool Break = false; // TX held low
};

// The modem inputs of a UART, as the cable drives them.
struct ModemInputs {
    bool Cts = false;
    bool Dsr = false;
    bool Ri = false;
    bool Dcd = false;
};

// ---------------------------------------------------------------------------------------------
// The UART

struct UartChar {
    uint8_t Byte;
    uint8_t Errors; // LsrPe, LsrFe, LsrBi: shown in LSR while the character is at the FIFO top
};

// A fixed time per character in place of the frame time (the machine's line pace, where one
// character takes so many ticks of its hardware thread whatever the rate). CharNs applies to
// both directions of a machine line (the ideal far end follows it); 0 puts characters on the
// line the moment they are written or sent, so a burst overruns the receive FIFO. TimeoutNs is
// then the idle time of the character time-out.
struct CharNsOverride {
    bool On = false;
    uint64_t CharNs = 0;
    uint64_t TimeoutNs = 0;
};

struct Uart {
    // Registers.
    uint8_t Ier = 0;
    uint8_t Lcr = 0;
    uint8_t Mcr = 0;
    uint8_t Scr = 0;
    uint8_t Dll = 0;
    uint8_t Dlm = 0;
    uint8_t Fcr = 0; // FIFO enable, DMA mode, 64-byte and trigger bits as last taken
    bool FifoEnabled = false;
    bool Fifo64 = false;     // 16750 64-byte mode (only with FifoEnabled)
    uint8_t Trigger = 1;     // receive trigger level: 1, 4, 8, 14 (64-byte: 1, 16, 32, 56)
    std::deque<UartChar> Rx; // receive FIFO (one entry, the RBR, with FIFOs off)
    std::deque<uint8_t> Tx;  // transmit FIFO (one entry, the THR, with FIFOs off)
    bool TsrBusy = false;    // the transmitter shift register holds a character
    WireChar Tsr;            // ... and this is it on the wire, with the time it ends
    bool Overrun = false;
    uint32_t Overruns = 0;     // characters a full receive FIFO turned away, resets included
    uint32_t RtsWhileDeaf = 0; // IER or MCR writes that left RTS up with received data unheard
    bool ThrePending = false;  // the THRE interrupt source is armed
    uint8_t LastRbr = 0;
    uint64_t RxActivity = 0; // a character entered the receive FIFO or RBR was read
    bool TimedOut = false;   // the character time-out fell due since then
    uint8_t ModemInputs = 0; // CTS/DSR/RI/DCD from the cable (MSR high nibble positions)
    uint8_t MsrState = 0;    // effective line states (cable, or MCR in loopback)
    uint8_t MsrDelta = 0;
    uint64_t BreakSince = 0; // LCR's break bit was set (while it is set)
    uint64_t BreakEnded = 0; // it was last cleared
    uint64_t RtsChanged = 0; // RTS toward the far end last changed level

    // Board properties.
    uint32_t ClockHz = BoardUartClockHz;
    CharNsOverride Override;

    uint64_t Clock = 0;           // the latest time seen
    std::vector<WireChar> Outbox; // left the transmitter, not yet collected by UartAdvance
};

// Register access as the CPU sees it (side effects included). A THR write starts the transmitter
// at `now`; setting LCR's break bit holds the line low from `now` until it is cleared; reading RBR
// restarts the time-out.
uint8_t UartRead(Uart& u, unsigned reg, uint64_t now);
void UartWrite(Uart& u, unsigned reg, uint8_t value, uint64_t now);

// Side-effect-free views (as of the last call).
uint8_t UartPeekIir(const Uart& u);
uint8_t UartPeekLsr(const Uart& u);
uint8_t UartPeekMsr(const Uart& u);
bool UartInterrupt(const Uart& u); // INT output

// Master reset (power-on, or return from D3): registers to their reset values, FIFOs emptied, a
// character in the shift register lost, a break ended. The divisor latch, the scratch register,
// the modem inputs and the board properties are kept.
void UartReset(Uart& u, uint64_t now);

// The format the registers program; the divisor 0 counts as 65536, as on the 16550.
LineFormat UartFormat(const Uart& u);
uint64_t UartCharNs(const Uart& u);    // one character on the line (the override's, if on)
uint64_t UartTimeoutNs(const Uart& u); // idle time before the character time-out

// Brings the UART to `now`: frames that end by then leave, back to back, into `emitted` (or, in
// internal loopback, into its own receiver; null drops them), and the character time-out is
// accounted.
void UartAdvance(Uart& u, uint64_t now, std::vector<WireChar>* emitted);
// The earliest time at which UartAdvance would change something (a frame ending, the time-out
// falling due, a frame or break not yet collected), or UINT64_MAX.
uint64_t UartNextEvent(const Uart& u);
// A character from the wire, sampled with the UART's current format, enters the receive FIFO at
// `now` (a full FIFO overruns). In internal loopback the receiver is cut off from the wire.
void UartReceive(Uart& u, const WireChar& c, uint64_t now);

// Modem inputs as the cable drives them.
void UartSetModemInputs(Uart& u, bool cts, bool dsr, bool ri, bool dcd);
inline void UartSetModemInputs(Uart& u, const ModemInputs& in)
{
    UartSetModemInputs(u, in.Cts, in.Dsr, in.Ri, in.Dcd);
}
// The levels the far end sees: RTS, DTR, OUT1 and OUT2 from MCR and the break. In internal
// loopback the 16550 holds every modem output inactive and TX at mark.
LineOutputs UartOutputs(const Uart& u);

} // namespace hm
