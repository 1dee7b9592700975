// The serial lines: what is at the far end of each UART (its scripted peer, a loopback plug, or a
// null-modem cable to another UART), run on the kernel's virtual clock, and the tests' view of
// them.
//
// A UART runs only while its board is in the slot and in D0; a board that leaves D3 has reset
// its UARTs (pcibus.cpp). What a peer or the other end of a cable sends to a UART that does not
// run is lost, as on a line whose receiver has no power.
#include "internal.h"

#include <algorithm>
#include <cstring>

namespace hm {
namespace {

constexpr uint64_t Never = UINT64_MAX;

// Line pace: ticks per character in both directions (0: instant); the time-out stays at
// UartTimeoutChars ticks whatever the pace.
void SetPace(Uart& u, unsigned ticksPerChar)
{
    u.Override.On = true;
    u.Override.CharNs = ticksPerChar * ModelTickNs;
    u.Override.TimeoutNs = UartTimeoutChars * ModelTickNs;
}

// A UART on a plug or a cable, event by event up to `now`: what it sends goes back into its own
// receiver (plug), straight into the other end's (a cable to another port of this board), or
// waits for the hardware thread to carry it across (a cable to another board, whose lock this
// thread may not take).
void RunWired(Board& b, ULONG port, uint64_t now)
{
    Uart& u = b.Uarts[port];
    const LineEnd end = b.Ends[port];
    const bool plug = end.Kind == EndKind::Loopback;
    Uart* near = end.Kind == EndKind::Cable && end.Other == &b ? &b.Uarts[end.OtherPort] : nullptr;
    std::vector<WireChar> chars;
    for (;;) {
        const uint64_t t = UartNextEvent(u);
        if (t > now) {
            break;
        }
        chars.clear();
        UartAdvance(u, t, &chars);
        for (const WireChar& c : chars) {
            if (plug) {
                UartReceive(u, c, t);
            } else if (near != nullptr) {
                UartReceive(*near, c, t);
            } else {
                b.CableOut.push_back(CableChar{port, c});
            }
        }
    }
    if (plug) {
        UartSetModemInputs(u, LoopbackPlug(UartOutputs(u)));
    } else if (near != nullptr) {
        UartSetModemInputs(*near, NullModem(UartOutputs(u)));
        UartSetModemInputs(u, NullModem(UartOutputs(*near)));
    }
}

// Runs f with the board of an adapter PDO locked, for a port it has; then wakes the hardware.
template <typename F> void WithPort(PDEVICE_OBJECT pdo, ULONG port, F f)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return;
    }
    {
        std::lock_guard<HkMutex> lock(b->Mu);
        if (port < b->UartCount) {
            f(*b, b->Uarts[port], b->Peers[port]);
        }
    }
    KickHardware();
}

LineFormat FormatOf(const HmLineFormat& f)
{
    static const ParityKind parities[] = {ParityKind::None, ParityKind::Odd, ParityKind::Even,
                                          ParityKind::Mark, ParityKind::Space};
    StopBits stop = StopBits::One;
    if (f.StopBits == 2) {
        stop = f.DataBits == 5 ? StopBits::OneAndHalf : StopBits::Two;
    }
    return BaudFormat(f.Baud, f.DataBits, parities[static_cast<int>(f.Parity)], stop);
}

// Disconnects whatever is at the far end of a port: the other end of a cable gets its peer back.
// Boards are locked one at a time.
void Unwire(Board& b, ULONG port)
{
    LineEnd end;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        end = b.Ends[port];
        b.Ends[port] = LineEnd{};
    }
    if (end.Kind == EndKind::Cable) {
        std::lock_guard<HkMutex> lock(end.Other->Mu);
        end.Other->Ends[end.OtherPort] = LineEnd{};
    }
}

} // namespace

uint64_t LineNow()
{
    return static_cast<uint64_t>(HkNow()) * 100;
}

bool BoardPowered(const Board& b)
{
    return b.Present && b.Power == PowerDeviceD0;
}

void BoardRunPort(Board& b, ULONG port, uint64_t now)
{
    Uart& u = b.Uarts[port];
    Peer& p = b.Peers[port];
    if (!BoardPowered(b)) {
        if (b.Ends[port].Kind == EndKind::Peer) {
            PeerAdvance(p, now, u, nullptr); // into a receiver without power
        }
        return;
    }
    if (b.Ends[port].Kind == EndKind::Peer) {
        LineRun(u, p, now);
    } else {
        RunWired(b, port, now);
    }
}

uint64_t BoardNow(const Board& b)
{
    return std::max(LineNow(), b.LinesAt);
}

void BoardRunLines(Board& b, uint64_t now)
{
    b.LinesAt = std::max(b.LinesAt, now);
    for (ULONG i = 0; i < b.UartCount; ++i) {
        BoardRunPort(b, i, now);
    }
}

uint64_t BoardNextEvent(const Board& b)
{
    uint64_t next = Never;
    const bool powered = BoardPowered(b);
    for (ULONG i = 0; i < b.UartCount; ++i) {
        if (powered) {
            next = std::min(next, UartNextEvent(b.Uarts[i]));
        }
        if (b.Ends[i].Kind == EndKind::Peer) {
            next = std::min(next, PeerNextEvent(b.Peers[i], b.Uarts[i]));
        }
    }
    if (!b.CableOut.empty()) {
        next = 0; // characters wait to cross now
    }
    return next;
}

} // namespace hm

using namespace hm;

void HmSetLinePace(PDEVICE_OBJECT pdo, ULONG port, unsigned ticksPerChar)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    for (ULONG i = 0; i < b->UartCount; ++i) {
        if (port == HmAllPorts || port == i) {
            SetPace(b->Uarts[i], ticksPerChar);
        }
    }
}

void HmRemoteSend(PDEVICE_OBJECT pdo, ULONG port, const std::vector<UCHAR>& bytes)
{
    WithPort(pdo, port, [&](Board& b, Uart&, Peer& p) {
        PeerSend(p, BoardNow(b), bytes);
        BoardRunPort(b, port, BoardNow(b));
    });
}

void HmRemoteSendError(PDEVICE_OBJECT pdo, ULONG port, UCHAR byte, HmLineError error)
{
    WithPort(pdo, port, [&](Board& b, Uart&, Peer& p) {
        if (error == HmLineError::Break) {
            PeerSendBreak(p, BoardNow(b), 0); // one character time
        } else {
            PeerSendFaulty(p, BoardNow(b), byte, error == HmLineError::Parity ? LsrPe : LsrFe);
        }
        BoardRunPort(b, port, BoardNow(b));
    });
}

std::vector<UCHAR> HmRemoteTake(PDEVICE_OBJECT pdo, ULONG port)
{
    std::vector<UCHAR> out;
    WithPort(pdo, port, [&](Board&, Uart&, Peer& p) {
        // Transmitted bytes; a break the UART sent (LCR) is not one.
        for (const PeerRx& r : p.Received) {
            if (!(r.Errors & LsrBi)) {
                out.push_back(r.Byte);
            }
        }
        p.Received.clear();
    });
    return out;
}

size_t HmRemotePending(PDEVICE_OBJECT pdo, ULONG port)
{
    size_t pending = 0;
    WithPort(pdo, port, [&](Board&, Uart&, Peer& p) { pending = PeerPending(p); });
    return pending;
}

void HmSetModemInputs(PDEVICE_OBJECT pdo, ULONG port, bool cts, bool dsr, bool ri, bool dcd)
{
    WithPort(pdo, port, [&](Board& b, Uart& u, Peer& p) {
        BoardRunPort(b, port, BoardNow(b));
        PeerDrive(p, u, ModemInputs{cts, dsr, ri, dcd});
    });
}

void HmPlugLoopback(PDEVICE_OBJECT pdo, ULONG port)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b || port >= b->UartCount) {
        return;
    }
    Unwire(*b, port);
    {
        std::lock_guard<HkMutex> lock(b->Mu);
        b->Ends[port].Kind = EndKind::Loopback;
        UartSetModemInputs(b->Uarts[port], LoopbackPlug(UartOutputs(b->Uarts[port])));
    }
    KickHardware();
}

void HmConnectNullModem(PDEVICE_OBJECT pdoA, ULONG portA, PDEVICE_OBJECT pdoB, ULONG portB)
{
    std::shared_ptr<Board> a = BoardOf(pdoA);
    std::shared_ptr<Board> b = BoardOf(pdoB);
    if (!a || !b || portA >= a->UartCount || portB >= b->UartCount || (a == b && portA == portB)) {
        return;
    }
    Unwire(*a, portA);
    Unwire(*b, portB);
    {
        std::lock_guard<HkMutex> lock(a->Mu);
        a->Ends[portA] = LineEnd{EndKind::Cable, b.get(), portB};
    }
    {
        std::lock_guard<HkMutex> lock(b->Mu);
        b->Ends[portB] = LineEnd{EndKind::Cable, a.get(), portA};
    }
    KickHardware(); // the hardware thread joins the modem lines
}

void HmAttachPeer(PDEVICE_OBJECT pdo, ULONG port)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b || port >= b->UartCount) {
        return;
    }
    Unwire(*b, port);
    WithPort(pdo, port, [&](Board&, Uart& u, Peer& p) { PeerDrive(p, u, p.Drives); });
}

void HmPeerSetFormat(PDEVICE_OBJECT pdo, ULONG port, const HmLineFormat& format)
{
    WithPort(pdo, port, [&](Board&, Uart&, Peer& p) {
        p.Follow = false;
        p.Format = FormatOf(format);
    });
}

void HmPeerFollow(PDEVICE_OBJECT pdo, ULONG port)
{
    WithPort(pdo, port, [&](Board&, Uart&, Peer& p) { p.Follow = true; });
}

void HmPeerPause(PDEVICE_OBJECT pdo, ULONG port, LONGLONG units)
{
    WithPort(pdo, port, [&](Board& b, Uart&, Peer& p) {
        PeerIdle(p, BoardNow(b), static_cast<uint64_t>(units) * 100);
    });
}

void HmPeerSendBreak(PDEVICE_OBJECT pdo, ULONG port, LONGLONG units)
{
    WithPort(pdo, port, [&](Board& b, Uart&, Peer& p) {
        PeerSendBreak(p, BoardNow(b), static_cast<uint64_t>(units) * 100);
        BoardRunPort(b, port, BoardNow(b));
    });
}

void HmPeerFlowControl(PDEVICE_OBJECT pdo, ULONG port, bool honourRts, bool honourXoff)
{
    WithPort(pdo, port, [&](Board& b, Uart&, Peer& p) {
        BoardRunPort(b, port, BoardNow(b));
        // What flow control held back goes from now on, at the line's pace, not all at once
        // in the past.
        if (!p.Sending) {
            p.NextStart = std::max(p.NextStart, BoardNow(b));
        }
        p.HonourRts = honourRts;
        p.HonourXonXoff = honourXoff;
    });
}

std::vector<HmPeerByte> HmPeerReceived(PDEVICE_OBJECT pdo, ULONG port)
{
    std::vector<HmPeerByte> out;
    WithPort(pdo, port, [&](Board&, Uart&, Peer& p) {
        for (const PeerRx& r : p.Received) {
            out.push_back(HmPeerByte{r.Byte, r.Errors, static_cast<LONGLONG>(r.At / 100)});
        }
        p.Received.clear();
    });
    return out;
}

HmPortLines HmPortOutputs(PDEVICE_OBJECT pdo, ULONG port)
{
    HmPortLines lines{};
    WithPort(pdo, port, [&](Board& b, Uart& u, Peer&) {
        if (BoardPowered(b)) {
            LineOutputs out = UartOutputs(u);
            lines = HmPortLines{out.Rts, out.Dtr, out.Out1, out.Out2, out.Break};
        }
    });
    return lines;
}
