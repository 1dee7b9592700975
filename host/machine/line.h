// The far end of a UART's cable: a scripted peer, and the wiring of a loopback plug and of a
// null-modem cable between two UARTs.
//
// The peer is the equipment a test puts at the other end of one UART's line: a modem, a
// terminal, another computer. It sends from a script (bytes back to back at its rate, idle gaps,
// bytes with a parity or framing fault, breaks), drives the UART's modem inputs, optionally
// honours flow control when sending, and logs what it samples from the UART's transmitter with
// its own format. Like the UART it is pure: times are passed in, and nothing here runs by itself
// (LineRun below runs a UART and its peer together up to a time).
//
// "Follow" makes the peer the ideal device that the machine has always had at the far end: its
// format is always the UART's current one (it samples each character with the sender's own
// format), it keeps the UART's character time under an override, and its faults arrive exactly
// as asked (WireChar::Forced), including the ones a line cannot carry: a parity error on a line
// without parity, a zero byte with a framing error (which a real line shows as a break), a break
// of one character time under an override shorter than a frame.
#pragma once

#include "uart.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace hm {

constexpr uint8_t Xon = 0x11;  // DC1
constexpr uint8_t Xoff = 0x13; // DC3

struct PeerStep {
    enum class Kind : uint8_t {
        Byte,
        Gap,  // the line idle (mark) for Ns
        Break // the line low for Ns; 0: one character time
    };
    Kind What = Kind::Byte;
    uint8_t Byte = 0;
    uint8_t Fault = 0; // Byte: LsrPe sends the wrong parity bit, LsrFe a space stop bit
    uint64_t Ns = 0;
};

struct PeerRx {
    uint8_t Byte;
    uint8_t Errors; // LsrPe, LsrFe, LsrBi as the peer's receiver found them
    uint64_t At;    // the end of the character (or of the break) on the line
};

struct Peer {
    bool Follow = true; // format, character time and faults of the ideal device (see above)
    LineFormat Format;  // its own format when not following
    // Flow control it honours when sending: characters wait (between characters, never in the
    // middle of one) while the UART's RTS is off, and after it has received XOFF until XON.
    bool HonourRts = false;
    bool HonourXonXoff = false;
    ModemInputs Drives; // the UART's CTS, DSR, RI and DCD as this equipment drives them (PeerDrive)

    std::deque<PeerStep> Script; // what it has yet to send, in order
    std::vector<PeerRx> Received;

    // Sending state.
    uint64_t NextStart = 0; // the next step may begin then (the line is idle until it does)
    bool Sending = false;   // Current is on the line
    WireChar Current;
    bool XoffReceived = false;
    uint64_t XonAt = 0; // the end of the last XON that ended an XOFF
};

// Script steps, queued at `now`: a peer that is idle starts them then, a busy one when the steps
// before them are done.
void PeerSend(Peer& p, uint64_t now, const std::vector<uint8_t>& bytes);
void PeerSendFaulty(Peer& p, uint64_t now, uint8_t byte, uint8_t fault);
void PeerSendBreak(Peer& p, uint64_t now, uint64_t ns);
void PeerIdle(Peer& p, uint64_t now, uint64_t ns);

// The peer changes the modem lines it drives; the UART sees them at once (MSR deltas as due).
void PeerDrive(Peer& p, Uart& far, const ModemInputs& levels);

// Sends what is due by `now` toward the UART `far`: every character that has ended goes into
// `emitted` (null drops them); the UART's format, character time and RTS are read as they are.
void PeerAdvance(Peer& p, uint64_t now, const Uart& far, std::vector<WireChar>* emitted);
// A character from the UART's transmitter, sampled with the peer's format, into its log; XON
// and XOFF act when the peer honours them.
void PeerReceive(Peer& p, const WireChar& c);
// The earliest time at which PeerAdvance would change something, or UINT64_MAX (nothing to send,
// or held by flow control: only a register write or a received character can release it).
uint64_t PeerNextEvent(const Peer& p, const Uart& far);
// Characters and breaks not yet fully sent (the one on the line included).
size_t PeerPending(const Peer& p);

// Runs a UART and the peer on its cable together up to `now`, event by event in time order, so
// that each sees the other's characters and flow control when they happen. Run it up to the
// time of every register access before making it, and again after it (the machine's ticks and
// register handlers do): a character held by RTS then starts when RTS came back, one held by
// XOFF when the XON that released it ended.
void LineRun(Uart& u, Peer& p, uint64_t now);

// Wiring. A loopback plug on a UART's connector ties TX to its own RX (every WireChar it emits
// goes into its own UartReceive), RTS to CTS, and DTR to DSR, DCD and RI.
inline ModemInputs LoopbackPlug(const LineOutputs& own)
{
    return ModemInputs{own.Rts, own.Dtr, own.Dtr, own.Dtr};
}
// A null-modem cable ties each end's TX to the other's RX (what one UART emits goes into the
// other's UartReceive), RTS to the other's CTS, and DTR to the other's DSR and DCD; RI is not
// connected. This gives one end's inputs from the other end's outputs.
inline ModemInputs NullModem(const LineOutputs& other)
{
    return ModemInputs{other.Rts, other.Dtr, false, other.Dtr};
}

} // namespace hm
