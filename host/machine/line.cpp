// The scripted peer at the far end of a UART's cable, and LineRun.
#include "line.h"

#include <algorithm>

namespace hm {
namespace {

constexpr uint64_t Never = UINT64_MAX;

void Queue(Peer& p, uint64_t now, const PeerStep& step)
{
    if (!p.Sending && p.Script.empty()) {
        p.NextStart = std::max(p.NextStart, now); // the line was idle until now
    }
    p.Script.push_back(step);
}

bool HeldByFlowControl(const Peer& p, const Uart& far)
{
    return (p.HonourRts && !UartOutputs(far).Rts) || (p.HonourXonXoff && p.XoffReceived);
}

// When the step at the head of the script may start. A byte that was due while flow control
// held it goes when it was released: RTS's last change (it is on now, so that change turned it
// on) or the XON that ended the XOFF, whichever came later. LineRun's rule (run up to every
// register access) means no other change can have come between.
uint64_t StartTime(const Peer& p, const Uart& far)
{
    uint64_t start = p.NextStart;
    if (p.Script.front().What != PeerStep::Kind::Byte) {
        return start;
    }
    if (p.HonourRts) {
        start = std::max(start, far.RtsChanged);
    }
    if (p.HonourXonXoff) {
        start = std::max(start, p.XonAt);
    }
    return start;
}

// Puts the step at the head of the script on the line at `start`.
void StartStep(Peer& p, const PeerStep& step, uint64_t start, const Uart& far)
{
    LineFormat f = p.Follow ? UartFormat(far) : p.Format;
    uint64_t charNs = p.Follow ? UartCharNs(far) : FrameNs(f);
    if (step.What == PeerStep::Kind::Break) {
        uint64_t ns = step.Ns ? step.Ns : charNs;
        p.Current = MakeBreak(f, start, start + ns);
        if (p.Follow && step.Ns == 0) {
            p.Current.Forced = LsrBi | LsrFe;
        }
    } else {
        uint8_t fault = step.Fault & (LsrPe | LsrFe);
        p.Current = MakeWireChar(f, step.Byte, fault, start, start + charNs);
        if (p.Follow) {
            p.Current.Forced = fault;
        }
    }
    p.Sending = true;
}

} // namespace

void PeerSend(Peer& p, uint64_t now, const std::vector<uint8_t>& bytes)
{
    for (uint8_t b : bytes) {
        PeerStep s;
        s.Byte = b;
        Queue(p, now, s);
    }
}

void PeerSendFaulty(Peer& p, uint64_t now, uint8_t byte, uint8_t fault)
{
    PeerStep s;
    s.Byte = byte;
    s.Fault = fault;
    Queue(p, now, s);
}

void PeerSendBreak(Peer& p, uint64_t now, uint64_t ns)
{
    PeerStep s;
    s.What = PeerStep::Kind::Break;
    s.Ns = ns;
    Queue(p, now, s);
}

void PeerIdle(Peer& p, uint64_t now, uint64_t ns)
{
    PeerStep s;
    s.What = PeerStep::Kind::Gap;
    s.Ns = ns;
    Queue(p, now, s);
}

void PeerDrive(Peer& p, Uart& far, const ModemInputs& levels)
{
    p.Drives = levels;
    UartSetModemInputs(far, levels);
}

void PeerAdvance(Peer& p, uint64_t now, const Uart& far, std::vector<WireChar>* emitted)
{
    for (;;) {
        if (p.Sending) {
            if (p.Current.End > now) {
                return;
            }
            p.Sending = false;
            p.NextStart = p.Current.End;
            if (emitted) {
                emitted->push_back(p.Current);
            }
            continue;
        }
        if (p.Script.empty()) {
            return;
        }
        PeerStep step = p.Script.front();
        if (step.What == PeerStep::Kind::Byte && HeldByFlowControl(p, far)) {
            return;
        }
        uint64_t start = StartTime(p, far);
        if (start > now) {
            return;
        }
        p.Script.pop_front();
        if (step.What == PeerStep::Kind::Gap) {
            p.NextStart = start + step.Ns;
            continue;
        }
        StartStep(p, step, start, far);
    }
}

void PeerReceive(Peer& p, const WireChar& c)
{
    Sampled s = Sample(c, p.Follow ? c.Sender : p.Format);
    if (!s.Char) {
        return;
    }
    p.Received.push_back(PeerRx{s.Byte, s.Errors, c.End});
    if (p.HonourXonXoff && s.Errors == 0) {
        if (s.Byte == Xoff) {
            p.XoffReceived = true;
        } else if (s.Byte == Xon && p.XoffReceived) {
            p.XoffReceived = false;
            p.XonAt = c.End;
        }
    }
}

uint64_t PeerNextEvent(const Peer& p, const Uart& far)
{
    if (p.Sending) {
        return p.Current.End;
    }
    if (p.Script.empty()) {
        return Never;
    }
    if (p.Script.front().What == PeerStep::Kind::Byte && HeldByFlowControl(p, far)) {
        return Never;
    }
    return StartTime(p, far);
}

size_t PeerPending(const Peer& p)
{
    size_t n = p.Sending ? 1 : 0;
    for (const PeerStep& s : p.Script) {
        if (s.What != PeerStep::Kind::Gap) {
            ++n;
        }
    }
    return n;
}

void LineRun(Uart& u, Peer& p, uint64_t now)
{
    std::vector<WireChar> chars;
    for (;;) {
        uint64_t t = std::min(UartNextEvent(u), PeerNextEvent(p, u));
        if (t > now) {
            return;
        }
        chars.clear();
        UartAdvance(u, t, &chars);
        for (const WireChar& c : chars) {
            PeerReceive(p, c);
        }
        chars.clear();
        PeerAdvance(p, t, u, &chars);
        for (const WireChar& c : chars) {
            UartReceive(u, c, t);
        }
    }
}

} // namespace hm
