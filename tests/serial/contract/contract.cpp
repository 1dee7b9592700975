// The serial contract: what the documentation lets a port answer. See contract.h.
#include "contract.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace contract {
namespace {

constexpr LONGLONG Ms = 10000;
// Windows runs its timers on the clock tick (up to 15.6 ms): a time-out may end that much late.
constexpr LONGLONG Late = 20 * Ms;
constexpr ULONG AllEvents = 0x1FFF; // SERIAL_EV_RXCHAR to SERIAL_EV_EVENT2
constexpr ULONG ReceiveEvents =
    SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RX80FULL;
constexpr ULONG AllErrors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                            SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;

enum class Kind {
    Read,
    Write,
    Flush,
    Wait,
    Immediate,
    XoffCounter,
    Control,    // answered at once
    Unfollowed, // a code that changes what the model does not track: success blinds it
    Other,
};

// The records of the codes the documentation describes: the input a request must carry, the
// output it must leave room for, and Information on success.
struct Shape {
    ULONG Code;
    ULONG Input;
    ULONG Output;
    ULONG Information;
    Kind Queue;
};
// clang-format off
constexpr Shape Shapes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE,     sizeof(SERIAL_BAUD_RATE),    0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_BAUD_RATE,     0, sizeof(SERIAL_BAUD_RATE),    sizeof(SERIAL_BAUD_RATE),    Kind::Control},
    {IOCTL_SERIAL_SET_LINE_CONTROL,  sizeof(SERIAL_LINE_CONTROL), 0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_LINE_CONTROL,  0, sizeof(SERIAL_LINE_CONTROL), sizeof(SERIAL_LINE_CONTROL), Kind::Control},
    {IOCTL_SERIAL_SET_CHARS,         sizeof(SERIAL_CHARS),        0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_CHARS,         0, sizeof(SERIAL_CHARS),        sizeof(SERIAL_CHARS),        Kind::Control},
    {IOCTL_SERIAL_SET_HANDFLOW,      sizeof(SERIAL_HANDFLOW),     0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_HANDFLOW,      0, sizeof(SERIAL_HANDFLOW),     sizeof(SERIAL_HANDFLOW),     Kind::Control},
    {IOCTL_SERIAL_SET_TIMEOUTS,      sizeof(SERIAL_TIMEOUTS),     0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_TIMEOUTS,      0, sizeof(SERIAL_TIMEOUTS),     sizeof(SERIAL_TIMEOUTS),     Kind::Control},
    {IOCTL_SERIAL_SET_WAIT_MASK,     sizeof(ULONG),               0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_WAIT_MASK,     0, sizeof(ULONG),               sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_WAIT_ON_MASK,      0, sizeof(ULONG),               sizeof(ULONG),               Kind::Wait},
    {IOCTL_SERIAL_PURGE,             sizeof(ULONG),               0, sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_SET_QUEUE_SIZE,    sizeof(SERIAL_QUEUE_SIZE),   0, 0,                           Kind::Control},
    {IOCTL_SERIAL_GET_COMMSTATUS,    0, sizeof(SERIAL_STATUS),       sizeof(SERIAL_STATUS),       Kind::Control},
    {IOCTL_SERIAL_GET_MODEMSTATUS,   0, sizeof(ULONG),               sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_GET_DTRRTS,        0, sizeof(ULONG),               sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_SET_DTR,           0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_CLR_DTR,           0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_SET_RTS,           0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_CLR_RTS,           0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_SET_XOFF,          0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_SET_XON,           0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_SET_BREAK_ON,      0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_SET_BREAK_OFF,     0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_IMMEDIATE_CHAR,    sizeof(UCHAR),               0, sizeof(UCHAR),               Kind::Immediate},
    {IOCTL_SERIAL_GET_PROPERTIES,    0, sizeof(SERIAL_COMMPROP),     sizeof(SERIAL_COMMPROP),     Kind::Control},
    {IOCTL_SERIAL_GET_STATS,         0, sizeof(SERIALPERF_STATS),    sizeof(SERIALPERF_STATS),    Kind::Control},
    {IOCTL_SERIAL_CLEAR_STATS,       0, 0, 0,                                                     Kind::Control},
    {IOCTL_SERIAL_CONFIG_SIZE,       0, sizeof(ULONG),               sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG),               sizeof(ULONG),               Kind::Control},
    {IOCTL_SERIAL_XOFF_COUNTER,      sizeof(SERIAL_XOFF_COUNTER), 0, 0,                           Kind::XoffCounter},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG),               0, 0,                           Kind::Unfollowed},
    {IOCTL_SERIAL_SET_FIFO_CONTROL,  sizeof(ULONG),               0, 0,                           Kind::Unfollowed},
    {IOCTL_SERIAL_LSRMST_INSERT,     sizeof(UCHAR),               0, sizeof(UCHAR),               Kind::Unfollowed},
    {IOCTL_SERIAL_RESET_DEVICE,      0, 0, 0,                                                     Kind::Unfollowed},
};
// clang-format on

const Shape* ShapeOf(ULONG code)
{
    for (const Shape& shape : Shapes) {
        if (shape.Code == code) {
            return &shape;
        }
    }
    return nullptr;
}

// Rates a 16550 port offers in SERIAL_COMMPROP.SettableBaud: a port must take every one.
constexpr ULONG StandardRates[] = {75,   110,  150,  300,   600,   1200,  1800,  2400,
                                   4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200};

// What decides how a received character reaches the program, while it is on its way.
struct Snapshot {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    SERIAL_CHARS Chars;
    bool Dsr;
    bool Open;
    bool operator==(const Snapshot& o) const
    {
        return ControlHandShake == o.ControlHandShake && FlowReplace == o.FlowReplace &&
               std::memcmp(&Chars, &o.Chars, sizeof(Chars)) == 0 && Dsr == o.Dsr && Open == o.Open;
    }
};

// One character the far end sent, and what the program may get for it.
struct Inbound {
    Far Kind;
    UCHAR Byte;
    std::vector<Snapshot> Under; // every setting in force while it may have been on its way
    bool Settled = false;        // it has reached the driver
    bool Droppable = false;      // a purge, a close or a full queue may have taken it
    unsigned Generation;         // of the event history when it was sent
};

// The program may get nothing (false) or one of values.
bool Delivery(const Inbound& in, const Snapshot& s, std::vector<UCHAR>* values, bool* either)
{
    *either = false;
    if (!s.Open || ((s.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !s.Dsr)) {
        return false; // a closed port, or DSR sensitivity with DSR low, takes nothing
    }
    const bool stripNull = (s.FlowReplace & SERIAL_NULL_STRIPPING) != 0;
    switch (in.Kind) {
    case Far::Data:
        if ((s.FlowReplace & SERIAL_AUTO_TRANSMIT) &&
            (in.Byte == s.Chars.XonChar || in.Byte == s.Chars.XoffChar)) {
            return false; // taken by the transmitter's flow control
        }
        if (stripNull && in.Byte == 0) {
            return false;
        }
        values->push_back(in.Byte);
        return true;
    case Far::Parity:
    case Far::Framing:
        values->push_back((s.FlowReplace & SERIAL_ERROR_CHAR) ? s.Chars.ErrorChar : in.Byte);
        // Silent: whether null stripping also removes an error character that is zero.
        *either = stripNull && values->back() == 0;
        return true;
    case Far::Break:
        // Silent: whether a break's zero takes the break or the error character when both are
        // asked for, and whether null stripping removes it. Any of them, or nothing.
        if (!stripNull) {
            values->push_back(0);
        }
        if (s.FlowReplace & SERIAL_BREAK_CHAR) {
            values->push_back(s.Chars.BreakChar);
        }
        if (s.FlowReplace & SERIAL_ERROR_CHAR) {
            values->push_back(s.Chars.ErrorChar);
        }
        return !values->empty();
    }
    return false;
}

struct Outcome {
    std::vector<UCHAR> Values;
    bool MayBeAbsent = false;
    bool MayBePresent = false;
};

Outcome Evaluate(const Inbound& in)
{
    Outcome outcome;
    outcome.MayBeAbsent = in.Droppable || in.Kind == Far::Break;
    for (const Snapshot& s : in.Under) {
        bool either = false;
        if (Delivery(in, s, &outcome.Values, &either)) {
            outcome.MayBePresent = true;
            outcome.MayBeAbsent |= either;
        } else {
            outcome.MayBeAbsent = true;
        }
    }
    return outcome;
}

// One write: its bytes reach the far end in order, after the writes before it.
struct Segment {
    std::vector<UCHAR> Bytes;
    bool Done = false; // the write has ended: Information is final
    ULONG Information = 0;
    bool Droppable = false; // a break may have garbled any of them
    bool Clearable = false; // a transmit purge may have cleared some from the transmitter
    size_t Limit() const { return Done ? Information : Bytes.size(); }
};

// Where the far end is in the writes' bytes: the next byte due.
struct Position {
    size_t Segment;
    size_t Seen;
};

ULONGLONG ReadTotal(const SERIAL_TIMEOUTS& t, ULONG length)
{
    return static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * length +
           t.ReadTotalTimeoutConstant;
}

bool ReturnsAtOnce(const SERIAL_TIMEOUTS& t)
{
    return t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 &&
           t.ReadTotalTimeoutConstant == 0;
}

// MAXULONG, MAXULONG, 0 < c < MAXULONG: the first byte ends the read, or the constant does.
bool WaitsForFirstByte(const SERIAL_TIMEOUTS& t)
{
    return t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
           t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXULONG;
}

template <typename T> T As(const std::vector<UCHAR>& bytes)
{
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof(T)));
    return value;
}

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

bool Tracing = false;

} // namespace

void TraceModels(bool on)
{
    Tracing = on;
}

bool TracingModels()
{
    return Tracing;
}

struct Model::State {
    Report Fail;
    bool Trace = Tracing; // what the model sees, on stderr
    bool IsOpen = false;
    bool BlindWalk = false;  // the line changed, or what came meanwhile is unknown: until Resync
    bool BlindWords = false; // a word length too short for the walk's characters
    bool BlindPort = false;  // the program wrote the UART's registers itself, until it closes
    size_t StepCount = 0;
    Line Last{};    // the line at the end of the last step
    Line Current{}; // and at the end of this one
    bool LastQuiet = false;

    // Settings, each known once the driver has been told it or has told it.
    bool KnowBaud = false, KnowLine = false, KnowChars = false, KnowFlow = false,
         KnowTimeouts = false, KnowMask = false, KnowQueue = false;
    ULONG Baud = 0;
    SERIAL_LINE_CONTROL LineControl{};
    SERIAL_CHARS Chars{};
    SERIAL_HANDFLOW Flow{};
    SERIAL_TIMEOUTS Timeouts{};
    ULONG WaitMask = 0;
    ULONG Queue = 0;      // the receive queue's size as the port reports it
    ULONG QueueFloor = 0; // the least it can be (known or not)

    // Lines the port drives, as the program set them.
    bool DtrSet = false, RtsSet = false, BreakOn = false;
    bool Garbling = false;                   // a break began or ended since the line was last quiet
    bool DtrKnown = false, RtsKnown = false; // the program's doing, not the model's guess
    LONGLONG IdleSince = -1;                 // nothing to send from then on

    struct Req {
        HkRequestPtr R;
        UCHAR Major;
        ULONG Code;
        std::vector<UCHAR> Input;
        ULONG OutputLength;
        Kind K;
        LONGLONG SentAt;
        size_t Step;
        bool Checked = false;
        bool MayCancel = false; // a cancel, purge, close or abort may end it
        SERIAL_TIMEOUTS Timeouts{};
        bool TimeoutsKnown = false;
        ULONG Length = 0;
        size_t Segment = 0;
        ULONG Mask = 0;           // a wait: the mask when sent
        bool MaskChanged = false; // a wait: a new mask came while it waited
        bool OtherWaitPending = false;
        bool FirstOfWrites = false; // no write ahead of it when sent
        bool Available = false;     // a read: bytes certainly there when sent
        ULONG Inputs = 0;           // the far end's lines when sent
    };
    std::vector<Req> Reqs;

    std::vector<Inbound> In;
    // Where the next read may start: every position in In that agrees with what the reads
    // returned so far (a byte may match a character that a purge may have taken, or a later
    // one).
    std::vector<size_t> Cursors{0};
    size_t Unsettled = 0;                  // In from here on may still be on its way
    mutable std::vector<Outcome> Outcomes; // of In, as far as computed
    mutable std::vector<bool> Fresh;
    const Outcome& OutcomeOf(size_t k) const
    {
        if (Outcomes.size() < In.size()) {
            Outcomes.resize(In.size());
            Fresh.resize(In.size(), false);
        }
        if (!Fresh[k]) {
            Outcomes[k] = Evaluate(In[k]);
            Fresh[k] = true;
        }
        return Outcomes[k];
    }
    void Drop(size_t k)
    {
        In[k].Droppable = true;
        Changed(k);
    }
    void Changed(size_t k)
    {
        if (k < Fresh.size()) {
            Fresh[k] = false;
        }
    }
    size_t Cursor() const { return Cursors.front(); }
    LONGLONG LastReadEnd = 0; // silent: a queued read's time-outs may start once it is current
    std::vector<Segment> Out;
    std::vector<Position> Outs{{0, 0}}; // every position that agrees with what came so far
    std::vector<UCHAR> Specials;        // immediate and XOFF-counter characters that may still come
    UCHAR LastFlowSent = 0;             // the last XON or XOFF the far end received from the port

    // Event history (SERIAL_EV_*): what may have happened since it was last cleared, what
    // certainly has, and what this step caused.
    ULONG Possible = 0, Certain = 0, CausedThisStep = 0;
    unsigned Generation = 1;

    // Errors for GET_COMMSTATUS.
    bool KnowErrors = false;
    ULONG PossibleErrors = 0, CertainErrors = 0;
    bool ErrorSince = false, AbortSeen = false; // the abort on error may be in force
    size_t ErrorsFrom = 0;                      // characters sent after the errors were last read

    enum class Tri {
        No,
        Maybe,
        Yes
    } TxXoff = Tri::No; // the transmitter held as by XOFF
    bool AnchorSet = false;
    size_t AnchorSeen = 0; // data bytes the far end had when a certain hold began
    size_t SeenData = 0;

    // Counters for GET_STATS, from the last CLEAR_STATS.
    bool KnowStats = false, StatsExact = false;
    ULONGLONG SentSince = 0, CertainSince = 0, ParitySince = 0, FramingSince = 0, PeerSince = 0;
    bool OverflowSince = false;
    size_t StatsFrom = 0; // the first character certainly counted after the clear

    void Check(bool ok, const std::string& what)
    {
        if (!ok) {
            Fail(what);
        }
    }
    bool Following() const { return !BlindWalk && !BlindWords && !BlindPort; }
    // From now on the model does not see what reaches the port: errors, holds and aborts may
    // come from anywhere.
    void LoseSight()
    {
        ErrorSince = AbortSeen = true;
        TxXoff = Tri::Maybe;
    }

    Snapshot Now() const
    {
        return Snapshot{Flow.ControlHandShake, Flow.FlowReplace, Chars,
                        (Last.Inputs & SERIAL_DSR_STATE) != 0, IsOpen};
    }
    // A setting that decides how characters arrive has changed: those still on their way may
    // arrive under either.
    void SettingsChanged()
    {
        const Snapshot now = Now();
        for (size_t k = Unsettled; k < In.size(); ++k) {
            Inbound& in = In[k];
            if (!in.Settled && std::find(in.Under.begin(), in.Under.end(), now) == in.Under.end()) {
                in.Under.push_back(now);
                Changed(k);
                Arriving(in, now);
            }
            if (!in.Settled && in.Kind == Far::Data && (now.FlowReplace & SERIAL_AUTO_TRANSMIT) &&
                (in.Byte == now.Chars.XonChar || in.Byte == now.Chars.XoffChar)) {
                TxXoff = Tri::Maybe; // it may arrive as flow control now
            }
        }
    }
    void Cause(ULONG events)
    {
        Possible |= events;
        CausedThisStep |= events;
    }
    // The events a character may cause arriving under these settings.
    void Arriving(const Inbound& in, const Snapshot& s)
    {
        std::vector<UCHAR> values;
        bool either = false;
        if (!s.Open) {
            return;
        }
        if (Delivery(in, s, &values, &either)) {
            Cause(SERIAL_EV_RXCHAR);
        }
        for (UCHAR value : values) {
            Cause(value == s.Chars.EventChar || in.Byte == s.Chars.EventChar ? SERIAL_EV_RXFLAG
                                                                             : 0);
        }
        Cause(in.Kind == Far::Break ? SERIAL_EV_BREAK | SERIAL_EV_ERR : 0);
        Cause(in.Kind == Far::Parity || in.Kind == Far::Framing ? SERIAL_EV_ERR : 0);
    }
    // The history is cleared (a new mask, a wait that ended): what was on its way may still
    // come.
    void ClearHistory()
    {
        ULONG inFlight = CausedThisStep;
        if (!Last.FarIdle) {
            inFlight |= ReceiveEvents;
        }
        if (!Last.TransmitterIdle || WritesPending()) {
            inFlight |= SERIAL_EV_TXEMPTY;
        }
        Possible &= inFlight;
        Certain = 0;
        ++Generation;
    }

    bool WritesPending() const
    {
        for (const Req& r : Reqs) {
            if ((r.K == Kind::Write || r.K == Kind::Immediate || r.K == Kind::XoffCounter) &&
                !r.R->Done()) {
                return true;
            }
        }
        return false;
    }
    const Req* PendingWait(const Req* besides) const
    {
        for (const Req& r : Reqs) {
            if (&r != besides && r.K == Kind::Wait && !r.R->Done()) {
                return &r;
            }
        }
        return nullptr;
    }
    UCHAR WordMask() const { return KnowLine && LineControl.WordLength == 7 ? 0x7F : 0xFF; }
    bool AbortPossible() const { return (ErrorSince && AbortSeen) || !Following(); }

    // Characters the program will certainly get, and at most.
    size_t CertainUnread() const
    {
        size_t n = 0;
        for (size_t k = Cursors.back(); k < In.size(); ++k) {
            n += In[k].Settled && !OutcomeOf(k).MayBeAbsent;
        }
        return n;
    }
    size_t MostUnread() const
    {
        size_t n = 0;
        for (size_t k = Cursor(); k < In.size(); ++k) {
            n += OutcomeOf(k).MayBePresent;
        }
        return n;
    }

    // Transmit holds: those in force for certain, and those that may be.
    ULONG CertainHolds(ULONG inputs) const
    {
        ULONG holds = 0;
        const ULONG h = Flow.ControlHandShake;
        holds |= (h & SERIAL_CTS_HANDSHAKE) && !(inputs & SERIAL_CTS_STATE)
                     ? SERIAL_TX_WAITING_FOR_CTS
                     : 0;
        holds |= (h & SERIAL_DSR_HANDSHAKE) && !(inputs & SERIAL_DSR_STATE)
                     ? SERIAL_TX_WAITING_FOR_DSR
                     : 0;
        holds |= (h & SERIAL_DCD_HANDSHAKE) && !(inputs & SERIAL_DCD_STATE)
                     ? SERIAL_TX_WAITING_FOR_DCD
                     : 0;
        holds |= TxXoff == Tri::Yes ? SERIAL_TX_WAITING_FOR_XON : 0;
        return holds;
    }
    ULONG CertainHolds() const { return CertainHolds(Last.Inputs); }
    ULONG PossibleHolds(ULONG inputs) const
    {
        ULONG holds = CertainHolds(inputs) | CertainHolds(Last.Inputs);
        holds |= TxXoff != Tri::No ? SERIAL_TX_WAITING_FOR_XON : 0;
        // Silent: when a port counts itself held after sending XOFF, and whether a break holds
        // the transmitter or only garbles it.
        holds |= (Flow.FlowReplace & SERIAL_AUTO_RECEIVE) ? SERIAL_TX_WAITING_XOFF_SENT : 0;
        holds |= BreakOn ? SERIAL_TX_WAITING_ON_BREAK : 0;
        holds |= (Flow.ControlHandShake & SERIAL_DSR_SENSITIVITY) ? SERIAL_RX_WAITING_FOR_DSR : 0;
        return holds;
    }
    bool MayBeHeld() const
    {
        for (const Req& r : Reqs) {
            if (r.K == Kind::XoffCounter && !r.R->Done()) {
                return true; // it holds the writes behind it until it ends
            }
        }
        const bool xoffSent = (Flow.FlowReplace & SERIAL_AUTO_RECEIVE) &&
                              !(Flow.FlowReplace & SERIAL_XOFF_CONTINUE) &&
                              LastFlowSent == Chars.XoffChar;
        return !KnowFlow || CertainHolds() != 0 || TxXoff != Tri::No || BreakOn || xoffSent ||
               AbortPossible();
    }

    void Open(bool opened);
    void Sent(const HkRequestPtr& request, UCHAR major, ULONG code, const std::vector<UCHAR>& input,
              ULONG outputLength);
    void Ended(Req& r);
    void EndedControl(Req& r, const Shape& shape);
    void EndedRead(Req& r);
    void EndedWrite(Req& r);
    void EndedWait(Req& r);
    void Apply(Req& r); // a request that succeeded changes the state
    void Status(const Req& r, const SERIAL_STATUS& status);
    void Stats(const SERIALPERF_STATS& stats);
    // Positions after the far end got byte (skipping: past bytes a purge or break may have lost).
    std::vector<Position> Advanced(UCHAR byte, bool skipping) const;
    bool MatchesOut(UCHAR byte, bool skipping) const;
    void MatchOut(UCHAR byte);
    void Settle();
    void Peer(const Line& line);
    void Live(const Line& line);
    void Forget();
};

// ---------------------------------------------------------------------------------------------
// The program's side

void Model::State::Forget()
{
    for (size_t k = 0; k < In.size(); ++k) {
        Drop(k);
    }
    // The writes that ended have reached the far end (this is a quiet moment, or a close that
    // waited for the transmitter): the far end is at the first write still going, if any.
    size_t first = Out.size();
    for (size_t k = 0; k < Out.size(); ++k) {
        if (!Out[k].Done) {
            first = std::min(first, k);
            Out[k].Droppable = true;
        }
    }
    Outs = {{first, 0}};
    KnowStats = false;
    KnowErrors = false;
    AnchorSet = false;
}

void Model::State::Open(bool opened)
{
    if (!opened) {
        return;
    }
    IsOpen = true;
    if (BlindPort || !Last.FarIdle) {
        // The open programs the UART anew, but what its registers did meanwhile (a loop, a
        // break) may still arrive, and so may what the far end held back while the port was
        // closed (its RTS down): the model follows again from a quiet moment on.
        BlindPort = false;
        BlindWalk = true;
    }
    // Silent: which settings a port keeps from its last user. The walk asks for them all.
    KnowBaud = KnowLine = KnowChars = KnowFlow = KnowTimeouts = KnowMask = KnowQueue = false;
    // A port opened anew starts with an empty queue, an empty history and no hold left by the
    // far end of its last user (a program that finds its writes stuck before it has sent
    // anything could not know why).
    Forget();
    Possible = Last.FarIdle ? 0 : ReceiveEvents;
    Certain = 0;
    ++Generation;
    ErrorSince = !Last.FarIdle;
    AbortSeen = true; // the handshake is not known yet
    TxXoff = Last.FarIdle ? Tri::No : Tri::Maybe;
    BreakOn = false;
    SettingsChanged();
}

void Model::State::Sent(const HkRequestPtr& request, UCHAR major, ULONG code,
                        const std::vector<UCHAR>& input, ULONG outputLength)
{
    Req r{request, major, code, input, outputLength, Kind::Other, request->IssuedAt(), StepCount};
    if (major == IRP_MJ_READ) {
        r.K = Kind::Read;
        r.Length = outputLength;
    } else if (major == IRP_MJ_WRITE) {
        r.K = Kind::Write;
        r.Length = static_cast<ULONG>(input.size());
        r.FirstOfWrites = !WritesPending();
        Segment segment;
        segment.Bytes = input;
        segment.Droppable = BreakOn; // sent into a held-down line, or held: silent
        r.Segment = Out.size();
        Out.push_back(segment);
        Cause(SERIAL_EV_TXEMPTY);
    } else if (major == IRP_MJ_FLUSH_BUFFERS) {
        r.K = Kind::Flush;
    } else if (major == IRP_MJ_DEVICE_CONTROL) {
        const Shape* shape = ShapeOf(code);
        r.K = shape ? shape->Queue : Kind::Other;
    }
    if (r.K == Kind::Unfollowed) {
        // What these change (the UART's registers, the data's form) is outside the model,
        // from the moment they reach the port until it is opened anew.
        BlindPort = true;
        LoseSight();
    }
    r.Timeouts = Timeouts;
    r.TimeoutsKnown = KnowTimeouts;
    r.MayCancel = AbortPossible();
    r.Available = CertainUnread() != 0;
    r.Inputs = Current.Inputs; // as the last step ended (a race may change them on the way)
    if (r.K == Kind::Wait) {
        r.Mask = WaitMask;
        r.OtherWaitPending = PendingWait(nullptr) != nullptr;
    }
    if (r.K == Kind::Immediate && input.size() >= 1) {
        r.Length = 1;
        Cause(SERIAL_EV_TXEMPTY);
        Specials.push_back(input[0] & WordMask());
    }
    if (r.K == Kind::XoffCounter && input.size() >= sizeof(SERIAL_XOFF_COUNTER)) {
        Cause(SERIAL_EV_TXEMPTY);
        Specials.push_back(As<SERIAL_XOFF_COUNTER>(input).XoffChar & WordMask());
    }
    // A new mask ends the wait pending when it came (the request has been dispatched by now:
    // that wait may have ended already).
    if (code == IOCTL_SERIAL_SET_WAIT_MASK && major == IRP_MJ_DEVICE_CONTROL) {
        for (Req& other : Reqs) {
            if (other.K == Kind::Wait && !other.Checked) {
                other.MaskChanged = true;
            }
        }
    }
    // A purge may end what is queued now.
    if (code == IOCTL_SERIAL_PURGE && major == IRP_MJ_DEVICE_CONTROL && input.size() >= 4) {
        const ULONG mask = As<ULONG>(input);
        for (Req& other : Reqs) {
            const bool write = other.K == Kind::Write || other.K == Kind::XoffCounter ||
                               other.K == Kind::Immediate || other.K == Kind::Flush;
            if (((mask & SERIAL_PURGE_TXABORT) && write) ||
                ((mask & SERIAL_PURGE_RXABORT) && other.K == Kind::Read)) {
                other.MayCancel = true;
            }
        }
    }
    Reqs.push_back(std::move(r));
}

// ---------------------------------------------------------------------------------------------
// Requests that ended

void Model::State::Ended(Req& r)
{
    r.Checked = true;
    const NTSTATUS status = r.R->Status();
    const ULONG_PTR information = r.R->Information();
    if (Trace) {
        std::fprintf(stderr, "  ended: major %u code %s sent %ld ms: %s, %zu at %ld ms\n", r.Major,
                     Hex(r.Code).c_str(), static_cast<long>(r.SentAt / Ms),
                     Hex(static_cast<ULONG>(status)).c_str(), static_cast<size_t>(information),
                     static_cast<long>(r.R->CompletedAt() / Ms));
    }
    const std::string what = "request " + std::to_string(&r - Reqs.data()) + " (major " +
                             std::to_string(r.Major) + ", code " + Hex(r.Code) + ") ended " +
                             Hex(static_cast<ULONG>(status)) + " with Information " +
                             std::to_string(information) + ": ";
    Check(status != STATUS_PENDING, what + "pending is no final status");
    Check(NT_SUCCESS(status) || information == 0 || r.K == Kind::Read || r.K == Kind::Write,
          what + "a failed control request reports no bytes");
    if (!IsOpen && r.K != Kind::Other) {
        return; // ended by the close: only the rules above hold
    }
    switch (r.K) {
    case Kind::Read:
        EndedRead(r);
        return;
    case Kind::Write:
        EndedWrite(r);
        return;
    case Kind::Wait:
        EndedWait(r);
        return;
    case Kind::Flush:
        // Silent: which requests an abort on error ends besides reads and writes.
        Check(status == STATUS_SUCCESS ||
                  (status == STATUS_CANCELLED && (r.MayCancel || AbortPossible())),
              what + "a flush ends when the writes before it have");
        return;
    case Kind::Other:
        if (r.Major == IRP_MJ_DEVICE_CONTROL &&
            DEVICE_TYPE_FROM_CTL_CODE(r.Code) == FILE_DEVICE_SERIAL_PORT) {
            Check(!NT_SUCCESS(status), what + "a serial code the port does not document");
        }
        return;
    default:
        EndedControl(r, *ShapeOf(r.Code));
        return;
    }
}

void Model::State::EndedControl(Req& r, const Shape& shape)
{
    const NTSTATUS status = r.R->Status();
    const std::string what =
        "control " + Hex(r.Code) + " (input " + std::to_string(r.Input.size()) + ", output " +
        std::to_string(r.OutputLength) + ") ended " + Hex(static_cast<ULONG>(status)) + ": ";
    if (r.Input.size() < shape.Input || r.OutputLength < shape.Output) {
        Check(status == STATUS_BUFFER_TOO_SMALL, what + "the buffer is too small for the record");
        return;
    }
    // Silent: which requests an abort on error refuses besides reads and writes.
    if (status == STATUS_CANCELLED && (r.MayCancel || AbortPossible()) &&
        (r.K == Kind::Immediate || r.K == Kind::XoffCounter)) {
        return;
    }
    if (r.K == Kind::XoffCounter) {
        Check(status == STATUS_SUCCESS || status == STATUS_SERIAL_COUNTER_TIMEOUT ||
                  status == STATUS_SERIAL_MORE_WRITES ||
                  (status == STATUS_CANCELLED && r.MayCancel) ||
                  (status == STATUS_INVALID_PARAMETER &&
                   As<SERIAL_XOFF_COUNTER>(r.Input).Counter <= 0),
              what + "an XOFF counter ends by its count, its time-out or a write after it");
        return;
    }
    // Whether the documentation says the port must take the request, must refuse it, or
    // leaves it to the port.
    enum {
        Take,
        Refuse,
        Either
    } rule = Take;
    const std::vector<UCHAR>& in = r.Input;
    switch (r.Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        const ULONG baud = As<ULONG>(in);
        rule = baud == 0 ? Refuse
               : std::find(std::begin(StandardRates), std::end(StandardRates), baud) !=
                       std::end(StandardRates)
                   ? Take
                   : Either;
        break;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        const auto lc = As<SERIAL_LINE_CONTROL>(in);
        // SetCommState: 5 data bits with 2 stop bits, and 6 to 8 with 1.5, do not exist.
        const bool valid = lc.WordLength >= 5 && lc.WordLength <= 8 && lc.Parity <= SPACE_PARITY &&
                           lc.StopBits <= STOP_BITS_2 &&
                           !(lc.WordLength == 5 && lc.StopBits == STOP_BITS_2) &&
                           !(lc.WordLength > 5 && lc.StopBits == STOP_BITS_1_5);
        rule = valid ? Take : Refuse;
        break;
    }
    case IOCTL_SERIAL_SET_CHARS: {
        const auto chars = As<SERIAL_CHARS>(in);
        // Silent for the driver: SetCommState refuses XON equal to XOFF itself.
        rule = chars.XonChar == chars.XoffChar ? Either : Take;
        break;
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
        const auto flow = As<SERIAL_HANDFLOW>(in);
        if ((flow.ControlHandShake & SERIAL_CONTROL_INVALID) ||
            (flow.FlowReplace & SERIAL_FLOW_INVALID) ||
            (flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) {
            rule = Refuse;
        } else {
            // Silent: limits outside the queue; the port may refuse them.
            const bool inQueue = flow.XonLimit >= 0 && flow.XoffLimit >= 0 && KnowQueue &&
                                 static_cast<ULONG>(flow.XonLimit) <= QueueFloor &&
                                 static_cast<ULONG>(flow.XoffLimit) <= QueueFloor;
            rule = inQueue ? Take : Either;
        }
        break;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        const auto t = As<SERIAL_TIMEOUTS>(in);
        // "The read time-out values exceed the maximum permitted values": no maximum is given.
        // Values below 65 s, and the two documented combinations with MAXULONG, must be taken.
        const ULONG small = 0x10000;
        const bool writes =
            t.WriteTotalTimeoutMultiplier < small && t.WriteTotalTimeoutConstant < small;
        const bool reads =
            (t.ReadIntervalTimeout < small && t.ReadTotalTimeoutMultiplier < small &&
             t.ReadTotalTimeoutConstant < small) ||
            ReturnsAtOnce(t) || (WaitsForFirstByte(t) && t.ReadTotalTimeoutConstant < small) ||
            (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier < small &&
             t.ReadTotalTimeoutConstant < small);
        rule = reads && writes ? Take : Either;
        break;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
        rule = (As<ULONG>(in) & ~AllEvents) ? Refuse : Take;
        break;
    case IOCTL_SERIAL_PURGE: {
        const ULONG mask = As<ULONG>(in);
        rule = (mask & ~0xFu) ? Refuse : mask == 0 ? Either : Take;
        break;
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        // Silent: how large a queue a port must be able to allocate.
        rule = As<SERIAL_QUEUE_SIZE>(in).InSize <= 4096 ? Take : Either;
        break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        // "A client cannot clear or set DTR" while the handshake uses it.
        rule = !KnowFlow                                                           ? Either
               : (Flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE ? Refuse
                                                                                   : Take;
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        const ULONG rts = Flow.FlowReplace & SERIAL_RTS_MASK;
        // Silent: whether transmit toggle counts as the handshake using RTS.
        rule = !KnowFlow                       ? Either
               : rts == SERIAL_RTS_HANDSHAKE   ? Refuse
               : rts == SERIAL_TRANSMIT_TOGGLE ? Either
                                               : Take;
        break;
    }
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        // "Only one immediate character request can be pending at a time."
        rule = Take;
        for (const Req& other : Reqs) {
            if (&other != &r && other.K == Kind::Immediate && other.Step <= r.Step && &other < &r &&
                (!other.R->Done() || other.R->CompletedAt() > r.SentAt)) {
                rule = other.R->Done() ? Either : Refuse;
            }
        }
        break;
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_RESET_DEVICE:
        rule = Either;
        break;
    default:
        break;
    }
    if (BlindPort && rule == Take) {
        rule = Either; // a status insertion escape, say, rules out more characters
    }
    if (rule == Refuse) {
        Check(status == STATUS_INVALID_PARAMETER,
              what + "the documentation has the port refuse it");
        return;
    }
    if (rule == Either && status == STATUS_INVALID_PARAMETER) {
        return;
    }
    if (r.Code == IOCTL_SERIAL_SET_QUEUE_SIZE && status == STATUS_INSUFFICIENT_RESOURCES) {
        return;
    }
    Check(status == STATUS_SUCCESS, what + "the port must take it");
    if (status != STATUS_SUCCESS) {
        return;
    }
    const ULONG_PTR expected = std::min<ULONG_PTR>(shape.Information, r.OutputLength);
    Check(r.R->Information() == expected,
          what + "Information " + std::to_string(r.R->Information()) + " where the record gives " +
              std::to_string(expected));
    Apply(r);
}

void Model::State::Apply(Req& r)
{
    const std::vector<UCHAR>& in = r.Input;
    const std::vector<UCHAR> out = r.R->Output();
    const std::string what = "control " + Hex(r.Code) + ": ";
    switch (r.Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        Baud = As<ULONG>(in);
        KnowBaud = true;
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        Check(!KnowBaud || As<ULONG>(out) == Baud, what + "not the rate last set");
        Baud = As<ULONG>(out);
        KnowBaud = true;
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        LineControl = As<SERIAL_LINE_CONTROL>(in);
        KnowLine = true;
        BlindWords = LineControl.WordLength < 7;
        if (BlindWords) {
            // What goes out and comes in meanwhile is cut short: past it, the model follows
            // again only from a quiet moment.
            BlindWalk = true;
            LoseSight();
        }
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL: {
        const auto lc = As<SERIAL_LINE_CONTROL>(out);
        Check(!KnowLine || std::memcmp(&lc, &LineControl, sizeof(lc)) == 0,
              what + "not the line control last set");
        LineControl = lc;
        KnowLine = true;
        BlindWords = LineControl.WordLength < 7;
        BlindWalk |= BlindWords;
        break;
    }
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_GET_CHARS: {
        const auto chars = As<SERIAL_CHARS>(r.Code == IOCTL_SERIAL_SET_CHARS ? in : out);
        Check(r.Code == IOCTL_SERIAL_SET_CHARS || !KnowChars ||
                  std::memcmp(&chars, &Chars, sizeof(chars)) == 0,
              what + "not the characters last set");
        if (KnowChars && std::memcmp(&chars, &Chars, sizeof(chars)) != 0 &&
            (chars.XonChar != Chars.XonChar || chars.XoffChar != Chars.XoffChar) &&
            TxXoff == Tri::Yes) {
            TxXoff = Tri::Maybe;
        }
        Chars = chars;
        KnowChars = true;
        SettingsChanged();
        break;
    }
    case IOCTL_SERIAL_SET_HANDFLOW:
    case IOCTL_SERIAL_GET_HANDFLOW: {
        const auto flow = As<SERIAL_HANDFLOW>(r.Code == IOCTL_SERIAL_SET_HANDFLOW ? in : out);
        if (r.Code == IOCTL_SERIAL_GET_HANDFLOW) {
            Check(!KnowFlow || std::memcmp(&flow, &Flow, sizeof(flow)) == 0,
                  what + "not the handshake last set");
        } else if (((flow.FlowReplace ^ Flow.FlowReplace) & SERIAL_AUTO_TRANSMIT) &&
                   TxXoff == Tri::Yes) {
            TxXoff = Tri::Maybe; // silent: whether turning XON/XOFF off lifts its hold
        }
        if (r.Code == IOCTL_SERIAL_SET_HANDFLOW || !KnowFlow) {
            // DCB: DTR_CONTROL_ENABLE and RTS_CONTROL_ENABLE turn the line on (at the open,
            // as the settings the port had say).
            DtrSet = (flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL;
            RtsSet = (flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL;
            DtrKnown = RtsKnown = true;
        }
        Flow = flow;
        KnowFlow = true;
        AbortSeen |= (Flow.ControlHandShake & SERIAL_ERROR_ABORT) != 0;
        AnchorSet = false;
        SettingsChanged();
        break;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS:
    case IOCTL_SERIAL_GET_TIMEOUTS: {
        const auto t = As<SERIAL_TIMEOUTS>(r.Code == IOCTL_SERIAL_SET_TIMEOUTS ? in : out);
        Check(r.Code == IOCTL_SERIAL_SET_TIMEOUTS || !KnowTimeouts ||
                  std::memcmp(&t, &Timeouts, sizeof(t)) == 0,
              what + "not the time-outs last set");
        if (r.Code == IOCTL_SERIAL_SET_TIMEOUTS) {
            // Silent: whether a read or write still queued follows the time-outs of when it
            // was sent or of when its turn comes.
            for (Req& other : Reqs) {
                if ((other.K == Kind::Read || other.K == Kind::Write) && !other.Checked) {
                    other.TimeoutsKnown = false;
                }
            }
        }
        Timeouts = t;
        KnowTimeouts = true;
        break;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
        WaitMask = As<ULONG>(in);
        KnowMask = true;
        ClearHistory();
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        Check(!KnowMask || As<ULONG>(out) == WaitMask, what + "not the mask last set");
        WaitMask = As<ULONG>(out);
        KnowMask = true;
        break;
    case IOCTL_SERIAL_PURGE: {
        const ULONG mask = As<ULONG>(in);
        if (mask & SERIAL_PURGE_RXCLEAR) {
            for (size_t k = 0; k < In.size(); ++k) {
                Drop(k);
            }
        }
        if (mask & SERIAL_PURGE_TXCLEAR) {
            // What the transmitter holds is cleared: the shift register and the FIFO, bytes
            // of the writes up to now (silent: whether the purge also clears what the driver
            // took from a write and counts as sent).
            for (Segment& segment : Out) {
                segment.Clearable = true;
            }
        }
        if (mask & (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT)) {
            StatsExact = false;
        }
        break;
    }
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        const ULONG size = As<SERIAL_QUEUE_SIZE>(in).InSize;
        QueueFloor = std::min(QueueFloor, size); // silent: whether a smaller size shrinks it
        KnowQueue = false;
        break;
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
        const auto props = As<SERIAL_COMMPROP>(out);
        Check(props.CurrentRxQueue != 0, what + "a port with no receive queue");
        Queue = QueueFloor = props.CurrentRxQueue;
        KnowQueue = true;
        break;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS:
        Status(r, As<SERIAL_STATUS>(out));
        break;
    case IOCTL_SERIAL_GET_STATS:
        Stats(As<SERIALPERF_STATS>(out));
        break;
    case IOCTL_SERIAL_CLEAR_STATS:
        KnowStats = Following();
        StatsExact = LastQuiet && Last.TransmitterIdle;
        SentSince = CertainSince = ParitySince = FramingSince = PeerSince = 0;
        OverflowSince = false;
        StatsFrom = In.size();
        for (const Inbound& in : In) {
            if (!in.Settled) { // on its way: it may be counted after the clear
                ++SentSince;
                ParitySince += in.Kind == Far::Parity;
                FramingSince += in.Kind == Far::Framing || in.Kind == Far::Break;
            }
        }
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        Check(!Following() || (As<ULONG>(out) & 0xF0) == (Last.Inputs & 0xF0) ||
                  (As<ULONG>(out) & 0xF0) == (r.Inputs & 0xF0),
              what + "modem status " + Hex(As<ULONG>(out)) + " where the far end drives " +
                  Hex(Last.Inputs));
        break;
    case IOCTL_SERIAL_GET_DTRRTS: {
        const ULONG lines = (Last.Dtr ? SERIAL_DTR_STATE : 0) | (Last.Rts ? SERIAL_RTS_STATE : 0);
        const ULONG now =
            (Current.Dtr ? SERIAL_DTR_STATE : 0) | (Current.Rts ? SERIAL_RTS_STATE : 0);
        Check(!Following() || As<ULONG>(out) == lines || As<ULONG>(out) == now,
              what + "DTR/RTS " + Hex(As<ULONG>(out)) + " where the line shows " + Hex(lines));
        break;
    }
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        DtrSet = r.Code == IOCTL_SERIAL_SET_DTR;
        DtrKnown = true;
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        RtsSet = r.Code == IOCTL_SERIAL_SET_RTS;
        RtsKnown = true;
        break;
    case IOCTL_SERIAL_SET_XOFF:
        // "Emulates the reception of an XOFF": with automatic XON/XOFF it holds for certain,
        // unless an XON the far end sent is still on its way (it is received after); without,
        // the documentation says only that SET_XON must follow.
        TxXoff = KnowFlow && (Flow.FlowReplace & SERIAL_AUTO_TRANSMIT) && Last.FarIdle ? Tri::Yes
                                                                                       : Tri::Maybe;
        AnchorSet = false;
        break;
    case IOCTL_SERIAL_SET_XON:
        TxXoff = Last.FarIdle ? Tri::No : Tri::Maybe;
        AnchorSet = false;
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        BreakOn = Garbling = true;
        // What the transmitter still holds goes out into a line held at space.
        for (size_t k = Outs.front().Segment; k < Out.size(); ++k) {
            Out[k].Droppable = true;
        }
        StatsExact = false;
        break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        BreakOn = false;
        Garbling = true;
        AnchorSet = false;
        break;
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_RESET_DEVICE:
        break; // the model stopped following when it was sent
    default:
        break;
    }
}

void Model::State::Status(const Req& r, const SERIAL_STATUS& status)
{
    const std::string what = "GET_COMMSTATUS: ";
    const bool quiet = LastQuiet && r.Step == StepCount;
    if (Following() && KnowErrors) {
        Check((status.Errors & ~PossibleErrors) == 0, what + "errors " + Hex(status.Errors) +
                                                          " where the far end caused at most " +
                                                          Hex(PossibleErrors));
        Check((CertainErrors & ~status.Errors) == 0,
              what + "errors " + Hex(status.Errors) + " miss " + Hex(CertainErrors));
    }
    Check((status.Errors & ~AllErrors) == 0, what + "undefined error bits");
    // After the call the errors start anew, and so does a port stopped by its abort on error.
    KnowErrors = Following();
    PossibleErrors = CertainErrors = 0;
    ErrorsFrom = In.size();
    if (!Last.FarIdle || !Following()) {
        PossibleErrors = AllErrors;
    } else {
        ErrorSince = false;
        AbortSeen = KnowFlow ? (Flow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 : true;
    }
    bool readPending = false, writePending = false, immediatePending = false;
    ULONGLONG writeBytes = 0;
    for (const Req& other : Reqs) {
        if (other.R->Done() && other.R->CompletedAt() < r.SentAt) {
            continue;
        }
        if (&other >= &r) {
            break;
        }
        readPending |= other.K == Kind::Read;
        writePending |= other.K == Kind::Write && other.Length != 0;
        immediatePending |= other.K == Kind::Immediate;
        // Silent: whether the XOFF of a counter or an immediate character counts as queued.
        writeBytes += other.K == Kind::Write                                       ? other.Length
                      : other.K == Kind::XoffCounter || other.K == Kind::Immediate ? 1
                                                                                   : 0;
    }
    Check(status.AmountInOutQueue <= writeBytes, what + std::to_string(status.AmountInOutQueue) +
                                                     " bytes to send where the writes hold " +
                                                     std::to_string(writeBytes));
    Check(!status.WaitForImmediate || immediatePending,
          what + "waiting for an immediate character nobody asked for");
    if (!Following() || !KnowFlow) {
        return;
    }
    const ULONG holds = PossibleHolds(r.Inputs); // a race may change the lines meanwhile
    Check((status.HoldReasons & ~holds) == 0, what + "held for " + Hex(status.HoldReasons) +
                                                  " where at most " + Hex(holds) + " can hold");
    if (!quiet) {
        return;
    }
    if (writePending) {
        const ULONG certain = CertainHolds(r.Inputs) & CertainHolds();
        Check((certain & ~status.HoldReasons) == 0,
              what + "held for " + Hex(status.HoldReasons) + " and not for " + Hex(certain));
    }
    const size_t least = CertainUnread(), most = MostUnread();
    Check(status.AmountInInQueue <= most, what + std::to_string(status.AmountInInQueue) +
                                              " bytes received where at most " +
                                              std::to_string(most) + " came");
    Check(readPending || status.AmountInInQueue >= least,
          what + std::to_string(status.AmountInInQueue) + " bytes received where " +
              std::to_string(least) + " came for certain");
    // Receive flow control, from the documented limits: the far end is held once fewer than
    // XoffLimit bytes are free, and let go once fewer than XonLimit are in the queue.
    if (!KnowQueue) {
        return;
    }
    const LONGLONG count = status.AmountInInQueue;
    const bool mustHold =
        Flow.XoffLimit >= 0 && count > static_cast<LONGLONG>(Queue) - Flow.XoffLimit;
    const bool mustRelease = count < Flow.XonLimit;
    if (mustHold == mustRelease) {
        return; // neither, or limits that overlap
    }
    const std::string state = std::string(mustHold ? "held" : "let go") + " with " +
                              std::to_string(count) + " of " + std::to_string(Queue) +
                              " bytes queued (limits " + std::to_string(Flow.XonLimit) + ", " +
                              std::to_string(Flow.XoffLimit) + "): ";
    if ((Flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
        Check(Current.Dtr == mustRelease, "the far end must be " + state + "DTR");
    }
    if ((Flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
        Check(Current.Rts == mustRelease, "the far end must be " + state + "RTS");
    }
    if ((Flow.FlowReplace & SERIAL_AUTO_RECEIVE) && Chars.XonChar != Chars.XoffChar) {
        const bool xoff = LastFlowSent == Chars.XoffChar;
        Check(xoff == mustHold || (!mustHold && LastFlowSent == 0),
              "the far end must be " + state + "last flow character " + Hex(LastFlowSent));
    }
}

void Model::State::Stats(const SERIALPERF_STATS& stats)
{
    if (!KnowStats || !Following()) {
        return;
    }
    const std::string what = "GET_STATS: ";
    Check(stats.ReceivedCount <= SentSince, what + std::to_string(stats.ReceivedCount) +
                                                " received where the far end sent " +
                                                std::to_string(SentSince));
    Check(stats.ParityErrorCount <= ParitySince, what + "more parity errors than were sent");
    Check(stats.FrameErrorCount <= FramingSince, what + "more framing errors than were sent");
    Check(OverflowSince || stats.BufferOverrunErrorCount == 0,
          what + "a queue overrun while the queue had room");
    if (LastQuiet) {
        Check(stats.ReceivedCount >= CertainSince,
              what + std::to_string(stats.ReceivedCount) + " received where " +
                  std::to_string(CertainSince) + " came for certain");
        if (StatsExact && Last.TransmitterIdle) {
            Check(stats.TransmittedCount == PeerSince,
                  what + std::to_string(stats.TransmittedCount) + " sent where the far end got " +
                      std::to_string(PeerSince));
        }
    }
}

void Model::State::EndedRead(Req& r)
{
    const NTSTATUS status = r.R->Status();
    const ULONG_PTR got = r.R->Information();
    const std::string what =
        "read " + std::to_string(&r - Reqs.data()) + " of " + std::to_string(r.Length) + " ended " +
        Hex(static_cast<ULONG>(status)) + " with " + std::to_string(got) + " bytes: ";
    Check(got <= r.Length, what + "more than asked for");
    LastReadEnd = std::max(LastReadEnd, r.R->CompletedAt());
    if (NT_ERROR(status) && got != 0) {
        // The I/O manager copies nothing back on an error: the bytes the read took are gone,
        // and the model no longer knows which characters the next read starts from.
        for (size_t k = Cursor(); k < In.size(); ++k) {
            Drop(k);
        }
    }
    // The bytes, in the order the far end sent them.
    const std::vector<UCHAR> out = r.R->Output();
    for (size_t k = 0; k < std::min<size_t>(got, out.size()); ++k) {
        std::vector<size_t> next;
        for (size_t c : Cursors) {
            for (size_t j = c; j < In.size(); ++j) {
                const Outcome& o = OutcomeOf(j);
                if (std::find(o.Values.begin(), o.Values.end(), out[k]) != o.Values.end()) {
                    next.push_back(j + 1);
                }
                if (!o.MayBeAbsent) {
                    break;
                }
            }
        }
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        if (next.size() > 16) {
            next.erase(next.begin() + 8, next.end() - 8);
        }
        if (next.empty()) {
            if (!Following()) {
                continue;
            }
            size_t due = Cursors.back();
            while (due < In.size() && OutcomeOf(due).MayBeAbsent) {
                ++due;
            }
            Fail(what + "byte " + std::to_string(k) + " is " + Hex(out[k]) +
                 (due < In.size() ? " where the far end's next character was " + Hex(In[due].Byte)
                                  : ", more than the far end sent"));
            return;
        }
        Cursors = std::move(next);
    }
    if (status == STATUS_CANCELLED) {
        Check(r.MayCancel || AbortPossible(), what + "nothing cancelled it");
        return;
    }
    if (!r.TimeoutsKnown) {
        return;
    }
    const SERIAL_TIMEOUTS& t = r.Timeouts;
    if (status == STATUS_SUCCESS) {
        // Silent: the status of a read that returns at once with fewer bytes, and what an
        // interval of MAXULONG means with totals other than the two documented combinations.
        const bool undocumented =
            t.ReadIntervalTimeout == MAXULONG && !ReturnsAtOnce(t) && !WaitsForFirstByte(t);
        Check(got == r.Length || ReturnsAtOnce(t) || (WaitsForFirstByte(t) && got != 0) ||
                  undocumented,
              what + "success before the read was full");
        return;
    }
    Check(status == STATUS_TIMEOUT, what + "a read ends in success, time-out or cancel");
    Check(got < r.Length, what + "a full read timed out");
    if (t.ReadIntervalTimeout == MAXULONG && !ReturnsAtOnce(t) && !WaitsForFirstByte(t)) {
        return; // silent (see above)
    }
    const ULONGLONG total = ReadTotal(t, r.Length);
    // An interval ends a read that has bytes early; so does the first byte in its mode.
    const bool early = got != 0 && t.ReadIntervalTimeout != 0;
    Check(total != 0 || early || ReturnsAtOnce(t),
          what + "timed out with no time-out that could end it");
    if (!early && total != 0 && !ReturnsAtOnce(t)) {
        const LONGLONG due =
            r.SentAt +
            static_cast<LONGLONG>(WaitsForFirstByte(t) ? t.ReadTotalTimeoutConstant : total) * Ms;
        Check(r.R->CompletedAt() >= due - Ms,
              what + "timed out at " + std::to_string((r.R->CompletedAt() - r.SentAt) / Ms) +
                  " ms of " + std::to_string(total) + " ms");
    }
}

void Model::State::EndedWrite(Req& r)
{
    const NTSTATUS status = r.R->Status();
    const ULONG_PTR sent = r.R->Information();
    const std::string what =
        "write " + std::to_string(&r - Reqs.data()) + " of " + std::to_string(r.Length) +
        " ended " + Hex(static_cast<ULONG>(status)) + " with " + std::to_string(sent) + " bytes: ";
    Segment& s = Out[r.Segment];
    s.Done = true;
    s.Information = static_cast<ULONG>(std::min<ULONG_PTR>(sent, r.Length));
    Check(sent <= r.Length, what + "more than it carried");
    bool fits = false;
    for (const Position& p : Outs) {
        fits |= p.Segment != r.Segment || p.Seen <= s.Information || s.Droppable;
    }
    Check(fits, what + "the far end already received more of its bytes");
    if (status == STATUS_SUCCESS) {
        Check(sent == r.Length, what + "success before every byte was sent");
    } else if (status == STATUS_CANCELLED) {
        Check(r.MayCancel || AbortPossible(), what + "nothing cancelled it");
    } else {
        Check(status == STATUS_TIMEOUT, what + "a write ends in success, time-out or cancel");
        const ULONGLONG total =
            static_cast<ULONGLONG>(r.Timeouts.WriteTotalTimeoutMultiplier) * r.Length +
            r.Timeouts.WriteTotalTimeoutConstant;
        Check(!r.TimeoutsKnown || total != 0, what + "timed out with no time-out set");
        Check(!r.TimeoutsKnown ||
                  r.R->CompletedAt() >= r.SentAt + static_cast<LONGLONG>(total) * Ms - Ms,
              what + "timed out early");
    }
}

void Model::State::EndedWait(Req& r)
{
    const NTSTATUS status = r.R->Status();
    const std::string what = "wait " + std::to_string(&r - Reqs.data()) + " (mask " + Hex(r.Mask) +
                             ") ended " + Hex(static_cast<ULONG>(status)) + ": ";
    if (r.OutputLength < sizeof(ULONG)) {
        Check(status == STATUS_BUFFER_TOO_SMALL, what + "the buffer is too small for the mask");
        return;
    }
    if (KnowMask && r.Mask == 0) {
        Check(status == STATUS_INVALID_PARAMETER, what + "a wait with no events in the mask");
        return;
    }
    if (r.OtherWaitPending) {
        const Req* other = PendingWait(&r);
        if (other != nullptr && &r > other) {
            Check(status == STATUS_INVALID_PARAMETER, what + "a second wait while one waits");
            return;
        }
        if (status == STATUS_INVALID_PARAMETER) {
            return; // the first ended meanwhile
        }
    }
    if (status == STATUS_CANCELLED) {
        Check(r.MayCancel || AbortPossible(), what + "nothing cancelled it");
        return;
    }
    Check(status == STATUS_SUCCESS, what + "a wait ends in success or cancel");
    Check(r.R->Information() == sizeof(ULONG), what + "Information is the mask's size");
    const ULONG events = As<ULONG>(r.R->Output());
    if (events == 0) {
        Check(r.MaskChanged, what + "no event, and no new mask ended it");
    } else if (KnowMask && Following()) {
        Check((events & ~r.Mask) == 0, what + "events " + Hex(events) + " outside the mask");
        Check((events & ~Possible) == 0,
              what + "events " + Hex(events) + " where at most " + Hex(Possible) + " happened");
    }
    ClearHistory();
}

// ---------------------------------------------------------------------------------------------
// The far end

std::vector<Position> Model::State::Advanced(UCHAR byte, bool skipping) const
{
    std::vector<Position> next;
    for (Position q : Outs) {
        while (q.Segment < Out.size()) {
            const Segment& s = Out[q.Segment];
            const size_t limit = s.Limit();
            if (q.Seen > limit) {
                break; // more of this write came than it reports sent
            }
            const bool gaps = s.Droppable || s.Clearable;
            const size_t reach = skipping && gaps ? limit : std::min(limit, q.Seen + 1);
            for (size_t k = q.Seen; k < reach; ++k) {
                if (s.Bytes[k] == byte) {
                    next.push_back({q.Segment, k + 1});
                    break;
                }
            }
            // The rest of this write may be missing only once it has ended (nothing of the next
            // has started before), and only where a purge or a break can account for it.
            if (!s.Done || (!gaps && q.Seen < limit)) {
                break;
            }
            ++q.Segment;
            q.Seen = 0;
        }
    }
    std::sort(next.begin(), next.end(), [](const Position& a, const Position& b) {
        return a.Segment != b.Segment ? a.Segment < b.Segment : a.Seen < b.Seen;
    });
    next.erase(std::unique(next.begin(), next.end(),
                           [](const Position& a, const Position& b) {
                               return a.Segment == b.Segment && a.Seen == b.Seen;
                           }),
               next.end());
    if (next.size() > 16) {
        next.erase(next.begin() + 8, next.end() - 8);
    }
    return next;
}

bool Model::State::MatchesOut(UCHAR byte, bool skipping) const
{
    return !Advanced(byte, skipping).empty();
}

void Model::State::MatchOut(UCHAR byte)
{
    ++SeenData;
    std::vector<Position> next = Advanced(byte, true);
    if (next.empty()) {
        const Position& p = Outs.front();
        const bool due = p.Segment < Out.size() && p.Seen < Out[p.Segment].Limit();
        if (Trace) {
            for (const Position& q : Outs) {
                std::fprintf(stderr, "  position: write %zu byte %zu\n", q.Segment, q.Seen);
            }
            for (size_t k = 0; k < Out.size(); ++k) {
                std::fprintf(stderr, "  write %zu: %zu bytes from %02X, done %d, %u sent%s\n", k,
                             Out[k].Bytes.size(), Out[k].Bytes.empty() ? 0 : Out[k].Bytes[0],
                             Out[k].Done, static_cast<unsigned>(Out[k].Information),
                             Out[k].Droppable ? ", droppable" : "");
            }
        }
        Fail("the far end received " + Hex(byte) +
             (due ? " where byte " + std::to_string(p.Seen) + " of write " +
                        std::to_string(p.Segment) + " (" + Hex(Out[p.Segment].Bytes[p.Seen]) +
                        ") was due"
                  : ", which no write carried"));
        return;
    }
    Outs = std::move(next);
}

// The far end's characters have all reached the driver: events and errors they cause are
// certain now.
void Model::State::Settle()
{
    const size_t from = Unsettled;
    Unsettled = In.size();
    for (size_t k = from; k < In.size(); ++k) {
        Inbound& in = In[k];
        in.Settled = true;
        const Outcome& o = OutcomeOf(k);
        if (o.MayBeAbsent || k < Cursors.back()) {
            continue;
        }
        if (in.Generation == Generation) {
            Certain |= SERIAL_EV_RXCHAR;
            bool flag = true;
            for (const Snapshot& s : in.Under) {
                flag &= in.Kind == Far::Data && s.Chars.EventChar == in.Byte;
            }
            Certain |= flag ? SERIAL_EV_RXFLAG : 0;
            Certain |= in.Kind == Far::Parity || in.Kind == Far::Framing ? SERIAL_EV_ERR : 0;
        }
        CertainErrors |= k < ErrorsFrom            ? 0 // may have been read before
                         : in.Kind == Far::Parity  ? SERIAL_ERROR_PARITY
                         : in.Kind == Far::Framing ? SERIAL_ERROR_FRAMING
                                                   : 0;
        if (KnowStats && k >= StatsFrom) {
            ++CertainSince;
        }
    }
    if (TxXoff == Tri::Maybe && KnowFlow && (Flow.FlowReplace & SERIAL_AUTO_TRANSMIT)) {
        // The last flow character that has just arrived decides.
        for (size_t k = In.size(); k-- > from;) {
            const Inbound& in = In[k];
            const Snapshot& under = in.Under.front();
            const bool ignored = (under.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !under.Dsr;
            if (in.Kind == Far::Data && in.Under.size() == 1 && under.Open && !ignored &&
                (under.FlowReplace & SERIAL_AUTO_TRANSMIT) &&
                (in.Byte == under.Chars.XonChar || in.Byte == under.Chars.XoffChar)) {
                TxXoff = in.Byte == under.Chars.XoffChar ? Tri::Yes : Tri::No;
                break;
            }
        }
    }
}

void Model::State::Peer(const Line& line)
{
    if (Trace && !line.Received.empty()) {
        std::string bytes;
        for (UCHAR byte : line.Received) {
            char text[4];
            std::snprintf(text, sizeof(text), "%02X ", byte);
            bytes += text;
        }
        std::fprintf(stderr, "  far end got at %ld ms: %s\n", static_cast<long>(line.Now / Ms),
                     bytes.c_str());
    }
    // What the far end received: the writes' bytes in order, immediate characters, and the
    // port's own XON and XOFF.
    for (UCHAR byte : line.Received) {
        PeerSince += KnowStats;
        if (!Following()) {
            continue;
        }
        auto special = std::find(Specials.begin(), Specials.end(), byte);
        const bool data = MatchesOut(byte, true);
        if (special != Specials.end() && (byte < 0x20 || !MatchesOut(byte, false))) {
            Specials.erase(special);
        } else if (data) {
            MatchOut(byte);
        } else if (byte == Chars.XonChar || byte == Chars.XoffChar) {
            LastFlowSent = byte;
        } else if (Garbling) {
            // A character cut by the start or the end of a break arrives as anything.
        } else if (byte >= 0x20 || byte == 0) {
            MatchOut(byte);                      // and says what was due instead
        } else if (byte < 0x11 || byte > 0x14) { // the walk's XON and XOFF, old or new
            Fail("the far end received " + Hex(byte) + ", which nobody sent");
        }
    }
}

void Model::State::Live(const Line& line)
{
    if (!IsOpen || !Following()) {
        return;
    }
    if (line.TransmitterIdle) {
        // Bytes a write reported sent have all reached the far end by now.
        bool complete = false;
        for (const Position& p : Outs) {
            size_t missing = 0;
            for (size_t k = p.Segment; k < Out.size(); ++k) {
                const Segment& s = Out[k];
                if (s.Done && !s.Droppable && !s.Clearable) {
                    missing += s.Information -
                               std::min<size_t>(s.Information, k == p.Segment ? p.Seen : 0);
                }
            }
            complete |= missing == 0;
        }
        Check(complete, "bytes a write reported sent never reached the far end");
    }
    // The lines the port drives.
    if (KnowFlow) {
        const ULONG dtr = Flow.ControlHandShake & SERIAL_DTR_MASK;
        if (dtr != SERIAL_DTR_HANDSHAKE && DtrKnown) {
            // The handshake setting says where the line starts; SET_DTR and CLR_DTR move it
            // whenever the handshake does not use it.
            Check(line.Dtr == DtrSet, "DTR is " + std::to_string(line.Dtr) +
                                          " where the program left it " + std::to_string(DtrSet));
        }
        const ULONG rts = Flow.FlowReplace & SERIAL_RTS_MASK;
        if ((rts == 0 || rts == SERIAL_RTS_CONTROL) && RtsKnown) {
            Check(line.Rts == RtsSet, "RTS is " + std::to_string(line.Rts) +
                                          " where the program left it " + std::to_string(RtsSet));
        } else if (rts == SERIAL_TRANSMIT_TOGGLE && line.TransmitterIdle && !WritesPending()) {
            // Down once the last character has left: within a few character times.
            if (IdleSince < 0) {
                IdleSince = line.Now;
            }
            const LONGLONG character = KnowBaud && Baud ? 11 * 10000000LL / Baud : 0;
            Check(!line.Rts || line.Now < IdleSince + 3 * character + Ms,
                  "RTS stays up with nothing to send under transmit toggle");
        }
        if (!line.TransmitterIdle || WritesPending()) {
            IdleSince = -1;
        }
    }
    // A transmitter held for certain sends nothing more of the writes.
    if (KnowFlow && CertainHolds() != 0 && line.TransmitterIdle) {
        if (!AnchorSet) {
            AnchorSet = true;
            AnchorSeen = SeenData;
        }
        Check(SeenData == AnchorSeen, "the transmitter sent " +
                                          std::to_string(SeenData - AnchorSeen) +
                                          " bytes while held for " + Hex(CertainHolds()));
    } else {
        AnchorSet = false;
    }
    // Liveness: what the port must have done by now.
    bool earlierWrite = false, earlierRead = false;
    for (Req& r : Reqs) {
        if (r.R->Done()) {
            continue;
        }
        const std::string what = "request " + std::to_string(&r - Reqs.data()) + " (major " +
                                 std::to_string(r.Major) + ", code " + Hex(r.Code) + ") sent at " +
                                 std::to_string(r.SentAt / Ms) + " ms: ";
        switch (r.K) {
        case Kind::Control:
        case Kind::Unfollowed:
        case Kind::Other:
            Fail(what + "still pending at the end of the step it was sent in");
            break;
        case Kind::Read: {
            const bool first = !earlierRead;
            earlierRead = true;
            if (!r.TimeoutsKnown || !first) {
                break;
            }
            const SERIAL_TIMEOUTS& t = r.Timeouts;
            const LONGLONG start = std::max(r.SentAt, LastReadEnd);
            LONGLONG due = -1;
            if (ReturnsAtOnce(t) || r.Length == 0 || (WaitsForFirstByte(t) && r.Available)) {
                due = start;
            } else if (WaitsForFirstByte(t)) {
                due = start + static_cast<LONGLONG>(t.ReadTotalTimeoutConstant) * Ms;
            } else if (ReadTotal(t, r.Length) != 0 && t.ReadTotalTimeoutMultiplier != MAXULONG) {
                due = start + static_cast<LONGLONG>(ReadTotal(t, r.Length)) * Ms;
            }
            if (due >= 0) {
                Check(line.Now <= due + Late, what + "not ended " +
                                                  std::to_string((line.Now - due) / Ms) +
                                                  " ms after its time-out");
            }
            if (LastQuiet && line.FarIdle && !MayBeHeld() && CertainUnread() >= r.Length) {
                Fail(what + "waits for " + std::to_string(r.Length) + " bytes with " +
                     std::to_string(CertainUnread()) + " received");
            }
            break;
        }
        case Kind::Write:
        case Kind::Immediate:
            if (line.TransmitterIdle && LastQuiet && !MayBeHeld() && r.Length != 0) {
                Fail(what + "waits with the transmitter idle and nothing holding it");
            }
            if (r.K == Kind::Write && r.TimeoutsKnown && !earlierWrite && r.FirstOfWrites) {
                const ULONGLONG total =
                    static_cast<ULONGLONG>(r.Timeouts.WriteTotalTimeoutMultiplier) * r.Length +
                    r.Timeouts.WriteTotalTimeoutConstant;
                Check(total == 0 || line.Now <= r.SentAt + static_cast<LONGLONG>(total) * Ms + Late,
                      what + "not ended by its time-out");
            }
            earlierWrite = true;
            break;
        case Kind::Flush:
            Check(earlierWrite || !LastQuiet, what + "a flush waits with no write before it");
            break;
        case Kind::Wait:
            if (KnowMask && (Certain & r.Mask) != 0 && !r.OtherWaitPending) {
                Fail(what + "waits although " + Hex(Certain & r.Mask) + " happened");
            }
            break;
        case Kind::XoffCounter:
            earlierWrite = true;
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------

Model::Model(Report report) : S(new State)
{
    S->Fail = std::move(report);
}

Model::~Model()
{
    delete S;
}

void Model::Opened(bool opened)
{
    S->Open(opened);
}

void Model::Closed(const Line& line)
{
    for (State::Req& r : S->Reqs) {
        r.MayCancel = true;
    }
    for (State::Req& r : S->Reqs) {
        if (!r.Checked) {
            S->Check(r.R->Done(), "a request outlived its handle");
            if (r.R->Done()) {
                S->Ended(r);
            }
        }
    }
    S->Peer(line); // what the transmitter sent before the close let go
    S->IsOpen = false;
    S->Reqs.clear();
    S->Forget();
    S->SettingsChanged();
}

void Model::Sent(const HkRequestPtr& request, UCHAR major, ULONG code,
                 const std::vector<UCHAR>& input, ULONG outputLength)
{
    S->Sent(request, major, code, input, outputLength);
}

void Model::CancelAsked(const HkRequestPtr& request)
{
    for (State::Req& r : S->Reqs) {
        if (request == nullptr || r.R == request) {
            r.MayCancel = true;
        }
    }
}

void Model::FarSent(Far kind, UCHAR byte)
{
    State& s = *S;
    Inbound in{kind, byte, {s.Now()}, false, false, s.Generation};
    // A character may be lost once more have come than the queue holds (silent: how much the
    // port takes beyond its queue, in its FIFO and a pending read).
    const bool overflow = !s.KnowQueue || s.MostUnread() + 1 > s.QueueFloor;
    in.Droppable = overflow;
    if (s.IsOpen) {
        s.Arriving(in, in.Under.front());
        s.Cause(overflow ? SERIAL_EV_ERR : 0);
        if (!s.KnowQueue || (s.MostUnread() + 1) * 5 >= s.QueueFloor * 4) {
            s.Cause(SERIAL_EV_RX80FULL);
        }
        s.PossibleErrors |= kind == Far::Parity    ? SERIAL_ERROR_PARITY
                            : kind == Far::Framing ? SERIAL_ERROR_FRAMING
                            : kind == Far::Break   ? SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING
                                                   : 0;
        // Silent: a port whose queue is full may stop reading its FIFO and overrun there.
        s.PossibleErrors |= overflow ? SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_OVERRUN : 0;
        if (kind != Far::Data || overflow) {
            s.ErrorSince = true;
            s.AbortSeen |= !s.KnowFlow || (s.Flow.ControlHandShake & SERIAL_ERROR_ABORT);
        }
        s.SentSince += s.KnowStats;
        s.ParitySince += s.KnowStats && kind == Far::Parity;
        s.FramingSince += s.KnowStats && (kind == Far::Framing || kind == Far::Break);
        s.OverflowSince |= overflow;
        if (kind == Far::Data && (byte == s.Chars.XonChar || byte == s.Chars.XoffChar) &&
            (!s.KnowFlow || (s.Flow.FlowReplace & SERIAL_AUTO_TRANSMIT))) {
            s.TxXoff = State::Tri::Maybe;
            s.AnchorSet = false;
        }
    }
    s.In.push_back(in);
}

void Model::FarInputs(ULONG inputs)
{
    State& s = *S;
    const ULONG changed = (inputs ^ s.Last.Inputs) & 0xF0;
    s.Last.Inputs = inputs;
    s.AnchorSet = false;
    if (changed & SERIAL_DSR_STATE) {
        s.SettingsChanged();
    }
    if (!s.IsOpen) {
        return;
    }
    const ULONG events = (changed & SERIAL_CTS_STATE ? SERIAL_EV_CTS : 0) |
                         (changed & SERIAL_DSR_STATE ? SERIAL_EV_DSR : 0) |
                         (changed & SERIAL_DCD_STATE ? SERIAL_EV_RLSD : 0);
    s.Cause(events);
    // Silent: which edge of RI is a ring (the 16550 reports the trailing one).
    s.Cause(changed & SERIAL_RI_STATE ? SERIAL_EV_RING : 0);
    s.Certain |= events;
}

void Model::Blind()
{
    S->BlindWalk = true;
    S->LoseSight();
}

void Model::Resync()
{
    State& s = *S;
    if (s.Following() || !s.LastQuiet || s.BlindWords) {
        return; // blind until a quiet moment with characters the model can tell apart
    }
    s.BlindWalk = false;
    s.Forget();
    s.Possible = AllEvents;
    s.Certain = 0;
    ++s.Generation;
    s.TxXoff = State::Tri::Maybe;
    s.ErrorSince = s.AbortSeen = true;
}

void Model::Stepped(const Line& line)
{
    State& s = *S;
    s.Current = line;
    if (!s.KnowFlow || (s.Flow.FlowReplace & SERIAL_AUTO_RECEIVE)) {
        // The port may send XON or XOFF of its own at any time, and its transmitter empty
        // after it.
        s.Cause(SERIAL_EV_TXEMPTY);
    }
    if (!line.Received.empty()) {
        s.Cause(SERIAL_EV_TXEMPTY);
    }
    // Requests that ended, in the order they were sent; reads only after the reads before them
    // (bytes go to the reads in the order they were sent).
    bool readPending = false;
    for (State::Req& r : s.Reqs) {
        if (r.Checked) {
            continue;
        }
        if (r.K == Kind::Read && (readPending || !r.R->Done())) {
            readPending = true;
            continue;
        }
        if (r.R->Done()) {
            s.Ended(r);
        }
    }
    // What the far end received, once the writes that ended in the step have their counts.
    s.Peer(line);
    if (line.FarIdle) {
        s.Settle();
    }
    s.Last = line;
    s.LastQuiet = line.FarIdle && line.TransmitterIdle;
    s.Garbling &= s.BreakOn || !line.TransmitterIdle;
    s.Live(line);
    s.CausedThisStep = 0;
    ++s.StepCount;
    s.Reqs.erase(
        std::remove_if(s.Reqs.begin(), s.Reqs.end(), [](const State::Req& r) { return r.Checked; }),
        s.Reqs.end());
}

bool Model::Open() const
{
    return S->IsOpen;
}

bool Model::Quiet() const
{
    return S->LastQuiet;
}

bool Model::Watching() const
{
    return S->Following();
}

ULONG Model::WordLength() const
{
    return S->KnowLine ? S->LineControl.WordLength : 8;
}

bool Model::LineIdleForFormat() const
{
    return S->LastQuiet && !S->WritesPending();
}

} // namespace contract
