// An executable model of the documented serial interface: the control codes of ntddser.h, reads
// and writes with their time-outs, wait masks and the event history, flow control both ways,
// error replacement, null stripping, abort on error, purge, immediate characters, break, hold
// reasons and the counters, as the WDK's serial pages and the Win32 communications functions
// describe them. It is written from those pages, not from any driver.
//
// The model follows one port with one program on it and a far end it is told about. For each
// request that ends and after each step of time it says whether what the port did is one of the
// things the documentation allows: status and Information, the bytes and their order, the events
// and their masks, the modem lines, what the far end received and whether it is held. Where the
// documentation allows a range (how many bytes a read returns before its time-out, when an event
// is reported), it allows the range; where it is silent, it allows what a port might reasonably
// do and says so where it decides (comments marked "Silent:").
//
// The model knows the machine only through what the walk tells it: the requests it sent, what
// it made the far end do, and a Line after each step.
#pragma once

extern "C"
{
#include <ntddk.h>
#include <ntddser.h>
}
#include "hostkernel.h"

#include <functional>
#include <string>
#include <vector>

namespace contract {

// What the far end put on the wire, one character each.
enum class Far : UCHAR {
    Data,
    Parity,  // the character with a parity error
    Framing, // the character with a framing error
    Break,
};

// The machine after a step, as the walk reads it.
struct Line {
    LONGLONG Now;
    bool FarIdle;         // nothing of the far end's on its way: its queue and the receiver empty
    bool TransmitterIdle; // nothing left in the port's transmitter
    std::vector<UCHAR> Received; // what the far end received in the step (line errors left out)
    bool Dtr, Rts;               // the port's outputs
    ULONG Inputs;                // the far end's lines as SERIAL_CTS/DSR/RI/DCD_STATE bits
    ULONG FifoDepth;             // of the port's transmitter, as programmed
};

class Model {
public:
    using Report = std::function<void(const std::string&)>;
    explicit Model(Report report);
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // The program. Every request the walk sends is handed over as it is sent; the model looks
    // at it again after each step.
    void Opened(bool opened);
    // The handle is closed and its requests have ended; line: what the far end received
    // meanwhile.
    void Closed(const Line& line);
    void Sent(const HkRequestPtr& request, UCHAR major, ULONG code, const std::vector<UCHAR>& input,
              ULONG outputLength);
    void CancelAsked(const HkRequestPtr& request); // nullptr: every request of the handle

    // The far end.
    void FarSent(Far kind, UCHAR byte);
    void FarInputs(ULONG inputs); // SERIAL_*_STATE bits of CTS, DSR, RI, DCD
    // The walk put something else at the end of the cable, or a word length whose characters
    // the model cannot tell apart: data, events and counters go unchecked until Resync.
    void Blind();
    // Back to a line the model follows, at a quiet moment: what went before is forgotten.
    void Resync();

    // After every step of the walk.
    void Stepped(const Line& line);

    bool Open() const;
    bool Quiet() const;    // the last step ended with the line still and nothing on its way
    bool Watching() const; // not blind
    ULONG WordLength() const;
    bool LineIdleForFormat() const; // a new rate or format would garble nothing in flight

    struct State;

private:
    State* S;
};

// Models made from now on print what they see (requests ending, bytes the far end received).
void TraceModels(bool on);
bool TracingModels();

} // namespace contract
