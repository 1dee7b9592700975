// The walk: see walk.h.
#include "walk.h"

#include "machine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

extern "C" DRIVER_INITIALIZE DriverEntry;          // corcard
extern "C" DRIVER_INITIALIZE CorSerialDriverEntry; // corserial

namespace contract {
namespace {

constexpr LONGLONG Ms = 10000;
constexpr ULONG Port = 0;

// The far end's data run through the printable characters in turn, so that a lost, doubled or
// reordered byte shows; control characters are the port's own (XON, XOFF, immediate).
constexpr UCHAR FirstData = 0x20, DataCount = 0x5F;

// Time-outs programs use: return at once, no time-outs, interval only, totals, the first byte or
// a constant, both kinds, and write totals.
const SERIAL_TIMEOUTS TimeoutChoices[] = {
    {MAXULONG, 0, 0, 0, 0},         {0, 0, 0, 0, 0},   {2, 0, 0, 0, 0},    {0, 1, 5, 1, 5},
    {MAXULONG, MAXULONG, 20, 0, 0}, {0, 0, 30, 0, 50}, {10, 2, 10, 2, 10}, {1, 0, 0, 0, 3},
};
const ULONG Rates[] = {115200, 57600, 19200, 9600, 2400, 300, 75, 0, 921600, 12345};
const ULONG QueueSizes[] = {64, 256, 1024, 4096, 1u << 20};
const LONGLONG Advances[] = {0, Ms / 10, Ms, 7 * Ms, 50 * Ms};
const ULONG ModemLines[] = {SERIAL_CTS_STATE, SERIAL_DSR_STATE, SERIAL_DCD_STATE, SERIAL_RI_STATE};

std::vector<UCHAR> Bytes(const void* data, size_t size)
{
    const auto* p = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(p, p + size);
}

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
    return text;
}

} // namespace

struct Walk::Rig {
    std::mutex Mu;
    std::string Disagreement; // the first one
    Model M{[this](const std::string& what) { Disagree(what); }};
    PDRIVER_OBJECT Corcard = nullptr, Corserial = nullptr;
    PDEVICE_OBJECT Board = nullptr;
    HkHandle Handle = nullptr;
    std::vector<std::string> Log;
    std::vector<WalkRequest> Requests;
    ULONG Inputs = SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE;
    unsigned NextData = 0;
    bool Cable = false; // something else than the peer is at the end of the cable
    bool Finished = false;
    bool CancelDuring = false;   // a race cancelled the handle's I/O inside the request
    std::vector<UCHAR> Received; // by the far end, not yet handed to the model

    void Disagree(const std::string& what)
    {
        std::lock_guard<std::mutex> lock(Mu);
        if (Disagreement.empty()) {
            Disagreement = what;
        }
    }
    bool Failed()
    {
        std::lock_guard<std::mutex> lock(Mu);
        return !Disagreement.empty();
    }
    void Note(const std::string& line)
    {
        Log.push_back(line);
        if (TracingModels()) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }

    // --- the machine --------------------------------------------------------------------------

    // What the far end received, as it comes (the clock moves in many places).
    void Collect()
    {
        for (const HmPeerByte& byte : HmPeerReceived(Board, Port)) {
            if (byte.Errors == 0) {
                Received.push_back(byte.Byte);
            }
        }
        HmRemoteTake(Board, 1); // the other port's peer: nobody reads it
    }

    Line Read()
    {
        Collect();
        Line line{};
        line.Now = HkNow();
        const HmUartView uart = HmUart(Board, Port);
        line.FarIdle = HmRemotePending(Board, Port) == 0 && uart.RxCount == 0;
        line.TransmitterIdle = uart.TxCount == 0 && (uart.Lsr & 0x40) != 0;
        line.Received.swap(Received);
        const HmPortLines outputs = HmPortOutputs(Board, Port);
        line.Dtr = outputs.Dtr;
        line.Rts = outputs.Rts;
        line.Inputs = Inputs;
        line.FifoDepth = uart.FifoEnabled ? (uart.Fifo64 ? 64 : 16) : 1;
        return line;
    }

    void Advance(LONGLONG units)
    {
        HmAdvanceTime(units);
        Collect();
    }

    void SetInputs(ULONG inputs)
    {
        Inputs = inputs;
        HmSetModemInputs(Board, Port, inputs & SERIAL_CTS_STATE, inputs & SERIAL_DSR_STATE,
                         inputs & SERIAL_RI_STATE, inputs & SERIAL_DCD_STATE);
        if (!Cable) {
            M.FarInputs(inputs);
        }
    }

    // --- the program --------------------------------------------------------------------------

    HkRequestPtr Send(HkRequestPtr request, UCHAR major, ULONG code,
                      const std::vector<UCHAR>& input, ULONG outputLength)
    {
        Requests.push_back({request, major, code, static_cast<ULONG>(input.size()), outputLength});
        M.Sent(request, major, code, input, outputLength);
        if (CancelDuring) {
            M.CancelAsked(request);
        }
        return request;
    }
    HkRequestPtr Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength)
    {
        return Send(HkIoControl(Handle, code, input, outputLength), IRP_MJ_DEVICE_CONTROL, code,
                    input, outputLength);
    }
    template <typename T> HkRequestPtr Set(ULONG code, const T& value)
    {
        return Control(code, Bytes(&value, sizeof(value)), 0);
    }

    void Open(Chooser& c)
    {
        static const char16_t* const Paths[] = {u"\\\\.\\COM3", u"\\\\.\\com3",
                                                u"\\Device\\CorSerial0", u"\\\\.\\COM3\\x"};
        const unsigned path = c.Below(8) < 6 ? 0 : c.Below(4);
        HkHandle handle = nullptr;
        const NTSTATUS status = HkOpen(Paths[path], &handle);
        Note("open " + HmNarrow(Paths[path]) + ": " + Hex(static_cast<ULONG>(status)));
        if (path == 3 || Handle != nullptr) {
            // Nothing lies below a port, and a port is its one program's alone.
            if (NT_SUCCESS(status)) {
                Disagree("open of " + HmNarrow(Paths[path]) + " succeeded " +
                         (Handle ? "while the port was open" : "below the port"));
                HkClose(handle);
            }
            return;
        }
        if (!NT_SUCCESS(status)) {
            Disagree("the port did not open: " + Hex(static_cast<ULONG>(status)));
            return;
        }
        Handle = handle;
        M.Opened(true);
        // What a program reads first (GetCommState, GetCommTimeouts, GetCommProperties).
        for (ULONG code :
             {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_CHARS,
              IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_GET_TIMEOUTS, IOCTL_SERIAL_GET_WAIT_MASK,
              IOCTL_SERIAL_GET_PROPERTIES, IOCTL_SERIAL_GET_COMMSTATUS}) {
            Control(code, {}, code == IOCTL_SERIAL_GET_PROPERTIES ? sizeof(SERIAL_COMMPROP) : 64);
        }
        if (c.Below(4) != 0) {
            const SERIAL_TIMEOUTS& t = TimeoutChoices[c.Below(std::size(TimeoutChoices))];
            SetTimeouts(t);
        }
    }

    void SetTimeouts(const SERIAL_TIMEOUTS& t)
    {
        Note("set timeouts " + std::to_string(t.ReadIntervalTimeout) + " " +
             std::to_string(t.ReadTotalTimeoutMultiplier) + " " +
             std::to_string(t.ReadTotalTimeoutConstant) + " " +
             std::to_string(t.WriteTotalTimeoutMultiplier) + " " +
             std::to_string(t.WriteTotalTimeoutConstant));
        Set(IOCTL_SERIAL_SET_TIMEOUTS, t);
    }

    bool TransmitterBusy()
    {
        const HmUartView view = HmUart(Board, Port);
        return view.TxCount != 0 || (view.Lsr & 0x40) == 0;
    }

    // The driver lets the transmitter finish before a close, for up to a FIFO's length of
    // character times on the clock, which stands still: unless writes keep it going, the
    // transmitter empties given some time and the close goes at once; otherwise it goes from a
    // thread of its own while this one moves the clock.
    void Close()
    {
        if (Handle == nullptr) {
            return;
        }
        Note("close");
        for (int round = 0; round < 8 && TransmitterBusy(); ++round) {
            Advance(5 * Ms << round);
        }
        std::atomic<bool> closed{false};
        std::thread closer([&] {
            HkClose(Handle);
            closed = true;
        });
        while (!closed) {
            Advance(Ms);
            std::this_thread::yield();
        }
        closer.join();
        Handle = nullptr;
        M.Closed(Read());
    }

    ULONG Length(Chooser& c)
    {
        switch (c.Below(5)) {
        case 0:
            return 0;
        case 1:
        case 2:
            return 1 + c.Below(16);
        case 3:
            return 17 + c.Below(48);
        default:
            return 100 + c.Below(500);
        }
    }

    void ReadOp(Chooser& c)
    {
        const ULONG length = Length(c);
        Note("read " + std::to_string(length));
        Send(HkRead(Handle, length), IRP_MJ_READ, 0, {}, length);
    }

    void WriteOp(Chooser& c)
    {
        const ULONG length = Length(c);
        std::vector<UCHAR> data(length);
        const unsigned start = c.Below(DataCount);
        for (ULONG k = 0; k < length; ++k) {
            data[k] = static_cast<UCHAR>(FirstData + (start + k) % DataCount);
        }
        Note("write " + std::to_string(length));
        Send(HkWrite(Handle, data), IRP_MJ_WRITE, 0, data, 0);
    }

    void SettingsOp(Chooser& c)
    {
        switch (c.Below(7)) {
        case 0: {
            SERIAL_TIMEOUTS t = TimeoutChoices[c.Below(std::size(TimeoutChoices))];
            if (c.Below(4) == 0) {
                const ULONG odd[] = {0, 1, 50, MAXULONG, 0x7FFFFFFF};
                t = {odd[c.Below(5)], odd[c.Below(5)], odd[c.Below(5)], odd[c.Below(5)],
                     odd[c.Below(5)]};
            }
            SetTimeouts(t);
            break;
        }
        case 1: {
            SERIAL_HANDFLOW flow{};
            const ULONG control[] = {SERIAL_DTR_CONTROL,   SERIAL_DTR_HANDSHAKE,
                                     SERIAL_CTS_HANDSHAKE, SERIAL_DSR_HANDSHAKE,
                                     SERIAL_DCD_HANDSHAKE, SERIAL_DSR_SENSITIVITY,
                                     SERIAL_ERROR_ABORT};
            const ULONG replace[] = {SERIAL_AUTO_TRANSMIT, SERIAL_AUTO_RECEIVE,
                                     SERIAL_ERROR_CHAR,    SERIAL_NULL_STRIPPING,
                                     SERIAL_BREAK_CHAR,    SERIAL_XOFF_CONTINUE};
            for (ULONG bit : control) {
                flow.ControlHandShake |= c.Below(4) == 0 ? bit : 0;
            }
            if ((flow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK && c.Below(2)) {
                flow.ControlHandShake &= ~SERIAL_DTR_HANDSHAKE;
            }
            for (ULONG bit : replace) {
                flow.FlowReplace |= c.Below(4) == 0 ? bit : 0;
            }
            flow.FlowReplace |= c.Below(4) << 6; // RTS: off, on, handshake, toggle
            const LONG limits[] = {0, 1, 8, 32, 200, 1000, 5000, -1};
            flow.XonLimit = limits[c.Below(8)];
            flow.XoffLimit = limits[c.Below(8)];
            if (c.Below(16) == 0) {
                flow.ControlHandShake |= 0x100;
            }
            Note("set handflow " + Hex(flow.ControlHandShake) + " " + Hex(flow.FlowReplace) + " " +
                 std::to_string(flow.XonLimit) + " " + std::to_string(flow.XoffLimit));
            Set(IOCTL_SERIAL_SET_HANDFLOW, flow);
            break;
        }
        case 2: {
            static const UCHAR Pairs[][2] = {{0x11, 0x13}, {0x12, 0x14}, {0x11, 0x11}};
            const unsigned pair = c.Below(8) == 0 ? 2 : c.Below(2);
            SERIAL_CHARS chars{0x1A,
                               static_cast<UCHAR>(c.Below(2) ? 0x7F : '?'),
                               static_cast<UCHAR>(c.Below(2) ? 0x7E : '!'),
                               static_cast<UCHAR>(FirstData + c.Below(DataCount)),
                               Pairs[pair][0],
                               Pairs[pair][1]};
            Note("set chars error " + Hex(chars.ErrorChar) + " break " + Hex(chars.BreakChar) +
                 " event " + Hex(chars.EventChar) + " xon " + Hex(chars.XonChar) + " xoff " +
                 Hex(chars.XoffChar));
            Set(IOCTL_SERIAL_SET_CHARS, chars);
            break;
        }
        case 3:
        case 4: {
            // A new rate or format garbles a character on the wire: only on a quiet line.
            if (!M.LineIdleForFormat()) {
                Note("(the line is busy: no new format)");
                return;
            }
            if (c.Below(2)) {
                const ULONG rate = Rates[c.Below(std::size(Rates))];
                Note("set rate " + std::to_string(rate));
                Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{rate});
            } else {
                SERIAL_LINE_CONTROL lc{static_cast<UCHAR>(c.Below(3)),
                                       static_cast<UCHAR>(c.Below(5)),
                                       static_cast<UCHAR>(7 + c.Below(2))};
                if (c.Below(8) == 0) {
                    lc = {static_cast<UCHAR>(c.Below(4)), static_cast<UCHAR>(c.Below(6)),
                          static_cast<UCHAR>(4 + c.Below(6))};
                } else if (lc.StopBits == STOP_BITS_1_5) {
                    lc.StopBits = STOP_BITS_2;
                }
                Note("set line control " + std::to_string(lc.WordLength) + " " +
                     std::to_string(lc.Parity) + " " + std::to_string(lc.StopBits));
                Set(IOCTL_SERIAL_SET_LINE_CONTROL, lc);
            }
            break;
        }
        case 5: {
            const SERIAL_QUEUE_SIZE size{QueueSizes[c.Below(std::size(QueueSizes))], 0};
            Note("set queue size " + std::to_string(size.InSize));
            Set(IOCTL_SERIAL_SET_QUEUE_SIZE, size);
            Control(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP));
            break;
        }
        default: {
            static const ULONG Masks[] = {SERIAL_EV_RXCHAR,  SERIAL_EV_RXFLAG, SERIAL_EV_TXEMPTY,
                                          SERIAL_EV_CTS,     SERIAL_EV_DSR,    SERIAL_EV_RLSD,
                                          SERIAL_EV_BREAK,   SERIAL_EV_ERR,    SERIAL_EV_RING,
                                          SERIAL_EV_RX80FULL};
            ULONG mask = 0;
            for (ULONG bit : Masks) {
                mask |= c.Below(3) == 0 ? bit : 0;
            }
            mask |= c.Below(16) == 0 ? 0x4000 : 0;
            Note("set wait mask " + Hex(mask));
            Set(IOCTL_SERIAL_SET_WAIT_MASK, mask);
            break;
        }
        }
    }

    void LinesOp(Chooser& c)
    {
        static const ULONG Codes[] = {IOCTL_SERIAL_SET_DTR,      IOCTL_SERIAL_CLR_DTR,
                                      IOCTL_SERIAL_SET_RTS,      IOCTL_SERIAL_CLR_RTS,
                                      IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF,
                                      IOCTL_SERIAL_SET_XOFF,     IOCTL_SERIAL_SET_XON};
        const unsigned pick = c.Below(11);
        if (pick < std::size(Codes)) {
            if (Codes[pick] == IOCTL_SERIAL_SET_BREAK_ON && c.Below(2)) {
                Note("(no break)");
                return;
            }
            Note("control " + Hex(Codes[pick]));
            Control(Codes[pick], {}, 0);
        } else if (pick < 10) {
            const UCHAR byte = static_cast<UCHAR>(1 + c.Below(8));
            Note("immediate " + Hex(byte));
            Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {byte}, 0);
        } else {
            const SERIAL_XOFF_COUNTER counter{10 + c.Below(100), static_cast<LONG>(c.Below(8)),
                                              0x19};
            Note("xoff counter " + std::to_string(counter.Timeout) + " ms, " +
                 std::to_string(counter.Counter));
            Set(IOCTL_SERIAL_XOFF_COUNTER, counter);
        }
    }

    void QueryOp(Chooser& c)
    {
        static const ULONG Codes[] = {
            IOCTL_SERIAL_GET_COMMSTATUS,   IOCTL_SERIAL_GET_STATS,
            IOCTL_SERIAL_CLEAR_STATS,      IOCTL_SERIAL_GET_MODEMSTATUS,
            IOCTL_SERIAL_GET_DTRRTS,       IOCTL_SERIAL_GET_HANDFLOW,
            IOCTL_SERIAL_GET_CHARS,        IOCTL_SERIAL_GET_TIMEOUTS,
            IOCTL_SERIAL_GET_WAIT_MASK,    IOCTL_SERIAL_GET_BAUD_RATE,
            IOCTL_SERIAL_GET_LINE_CONTROL, IOCTL_SERIAL_GET_PROPERTIES,
            IOCTL_SERIAL_CONFIG_SIZE,      IOCTL_SERIAL_GET_MODEM_CONTROL};
        const ULONG code = Codes[c.Below(std::size(Codes))];
        Note("control " + Hex(code));
        Control(code, {}, code == IOCTL_SERIAL_GET_PROPERTIES ? sizeof(SERIAL_COMMPROP) : 64);
    }

    // Any code with any sizes: the shapes of the records, and what the port refuses.
    void AnyOp(Chooser& c)
    {
        static const ULONG Codes[] = {IOCTL_SERIAL_SET_BAUD_RATE,
                                      IOCTL_SERIAL_SET_LINE_CONTROL,
                                      IOCTL_SERIAL_SET_CHARS,
                                      IOCTL_SERIAL_SET_HANDFLOW,
                                      IOCTL_SERIAL_SET_TIMEOUTS,
                                      IOCTL_SERIAL_SET_WAIT_MASK,
                                      IOCTL_SERIAL_PURGE,
                                      IOCTL_SERIAL_SET_QUEUE_SIZE,
                                      IOCTL_SERIAL_GET_COMMSTATUS,
                                      IOCTL_SERIAL_GET_STATS,
                                      IOCTL_SERIAL_GET_PROPERTIES,
                                      IOCTL_SERIAL_WAIT_ON_MASK,
                                      IOCTL_SERIAL_IMMEDIATE_CHAR,
                                      IOCTL_SERIAL_XOFF_COUNTER,
                                      IOCTL_SERIAL_GET_HANDFLOW,
                                      IOCTL_SERIAL_SET_MODEM_CONTROL,
                                      IOCTL_SERIAL_SET_FIFO_CONTROL,
                                      IOCTL_SERIAL_LSRMST_INSERT,
                                      IOCTL_SERIAL_RESET_DEVICE};
        ULONG code = Codes[c.Below(std::size(Codes))];
        if (c.Below(8) == 0) {
            code =
                CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40 + c.Below(4000), METHOD_BUFFERED, c.Below(4));
        }
        const bool format = code == IOCTL_SERIAL_SET_BAUD_RATE ||
                            code == IOCTL_SERIAL_SET_LINE_CONTROL ||
                            code == IOCTL_SERIAL_RESET_DEVICE;
        if (format && !M.LineIdleForFormat()) {
            Note("(the line is busy: no new format)");
            return;
        }
        std::vector<UCHAR> input(c.Below(4) == 0 ? c.Below(40) : c.Below(24));
        for (UCHAR& byte : input) {
            byte = static_cast<UCHAR>(c.Below(4) == 0 ? c.Below(256) : c.Below(3));
        }
        const ULONG output = c.Below(4) == 0 ? c.Below(200) : c.Below(24);
        std::string bytes;
        for (size_t k = 0; k < std::min<size_t>(input.size(), 8); ++k) {
            bytes += " " + Hex(input[k]);
        }
        Note("control " + Hex(code) + " in " + std::to_string(input.size()) + " (" + bytes +
             " ) out " + std::to_string(output));
        Control(code, input, output);
    }

    void PurgeOrFlush(Chooser& c)
    {
        if (c.Below(4) == 0) {
            Note("flush");
            Send(HkFlush(Handle), IRP_MJ_FLUSH_BUFFERS, 0, {}, 0);
            return;
        }
        const ULONG mask = c.Below(8) == 0 ? c.Below(32) : 1 + c.Below(15);
        Note("purge " + Hex(mask));
        Set(IOCTL_SERIAL_PURGE, mask);
    }

    void CancelOp(Chooser& c)
    {
        std::vector<HkRequestPtr> pending;
        for (const WalkRequest& r : Requests) {
            if (!r.Request->Done()) {
                pending.push_back(r.Request);
            }
        }
        if (pending.empty() || c.Below(4) == 0) {
            Note("cancel the handle's I/O");
            M.CancelAsked(nullptr);
            HkCancelIo(Handle);
            return;
        }
        HkRequestPtr request = pending[c.Below(static_cast<unsigned>(pending.size()))];
        Note("cancel one request");
        M.CancelAsked(request);
        request->Cancel();
    }

    // --- the far end --------------------------------------------------------------------------

    UCHAR Data() { return static_cast<UCHAR>(FirstData + NextData++ % DataCount); }

    void FarSend(Far kind, UCHAR byte)
    {
        if (kind == Far::Data) {
            HmRemoteSend(Board, Port, {byte});
        } else {
            HmRemoteSendError(Board, Port, byte,
                              kind == Far::Parity    ? HmLineError::Parity
                              : kind == Far::Framing ? HmLineError::Framing
                                                     : HmLineError::Break);
        }
        if (!Cable) {
            M.FarSent(kind, byte);
        }
    }

    void FarOp(Chooser& c, const SERIAL_CHARS* chars)
    {
        switch (c.Below(8)) {
        case 0:
        case 1:
        case 2: {
            const unsigned n = c.Below(3) == 0 ? 1 + c.Below(300) : 1 + c.Below(24);
            Note("far end sends " + std::to_string(n));
            for (unsigned k = 0; k < n; ++k) {
                FarSend(Far::Data, Data());
            }
            break;
        }
        case 3: {
            static const UCHAR Specials[] = {0x00, 0x11, 0x13, 0x12, 0x14};
            UCHAR byte = Specials[c.Below(std::size(Specials))];
            if (chars != nullptr && c.Below(2)) {
                byte = chars->EventChar;
            }
            Note("far end sends " + Hex(byte));
            FarSend(Far::Data, byte);
            break;
        }
        case 4: {
            const Far kind = static_cast<Far>(1 + c.Below(3));
            Note(std::string("far end sends a ") + (kind == Far::Parity    ? "parity error"
                                                    : kind == Far::Framing ? "framing error"
                                                                           : "break"));
            FarSend(kind, kind == Far::Break ? 0 : Data());
            break;
        }
        case 5:
        case 6: {
            const ULONG line = ModemLines[c.Below(4)];
            Note("far end toggles " + Hex(line));
            SetInputs(Inputs ^ line);
            break;
        }
        default: {
            const bool rts = c.Below(2), xoff = c.Below(2);
            Note(std::string("far end honours") + (rts ? " RTS" : "") + (xoff ? " XOFF" : ""));
            HmPeerFlowControl(Board, Port, rts, xoff);
            break;
        }
        }
    }

    // The cable: something the model does not follow, or the peer back.
    void CableOp(Chooser& c)
    {
        switch (c.Below(4)) {
        case 0:
            Note("loopback plug");
            HmPlugLoopback(Board, Port);
            break;
        case 1:
            Note("null-modem cable to port 1");
            HmConnectNullModem(Board, Port, Board, 1);
            break;
        case 2: {
            Note("the peer on a line format of its own");
            HmLineFormat format{c.Below(2) ? 115200u : 9600u, static_cast<UCHAR>(5 + c.Below(4)),
                                static_cast<HmParity>(c.Below(5)),
                                static_cast<UCHAR>(1 + c.Below(2))};
            HmPeerSetFormat(Board, Port, format);
            break;
        }
        default:
            if (!Cable) {
                return;
            }
            Note("the peer back, following the port");
            HmAttachPeer(Board, Port);
            HmAttachPeer(Board, 1);
            HmPeerFollow(Board, Port);
            SetInputs(Inputs);
            Cable = false;
            return;
        }
        Cable = true;
        M.Blind();
    }

    // --- time ---------------------------------------------------------------------------------

    // Lets the line fall quiet (for a while of simulated time at most), then looks at what the
    // port says of itself.
    void Settle(Chooser& c)
    {
        Note("settle");
        for (int round = 0; round < 40; ++round) {
            const Line line = Read();
            M.Stepped(line);
            if (line.FarIdle && line.TransmitterIdle) {
                break;
            }
            Advance(10 * Ms);
        }
        Advance(Advances[c.Below(std::size(Advances))]);
        if (!Cable && !M.Watching() && Handle != nullptr) {
            // What came while the model looked away is nobody's to know: the program starts
            // afresh, as one does after changing its cable.
            M.Stepped(Read());
            Note("purge 0xA (a fresh start)");
            Set(IOCTL_SERIAL_PURGE, ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR});
            Advance(0);
        }
        if (!Cable) {
            M.Stepped(Read());
            M.Resync();
        }
        if (Handle == nullptr) {
            return;
        }
        for (ULONG code : {IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_GET_STATS,
                           IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_DTRRTS}) {
            M.Stepped(Read());
            Control(code, {}, 64);
            Advance(0);
        }
    }

    // --- races --------------------------------------------------------------------------------

    // A request with another processor's work at its k-th point: the far end changing a modem
    // line between two interrupt-synchronised steps, or (between two locked steps) a cancel of
    // the handle's I/O or bytes arriving.
    void Race(Chooser& c)
    {
        const unsigned point = 1 + c.Below(6);
        const unsigned what = c.Below(3);
        const ULONG line = ModemLines[c.Below(4)];
        unsigned reached = 0;
        Note("race: " +
             std::string(what == 0   ? "modem change"
                         : what == 1 ? "cancel"
                                     : "bytes") +
             " at point " + std::to_string(point) + " of the next request");
        if (what == 0) {
            HkSetSynchronizeHook([&] {
                if (++reached != point) {
                    return;
                }
                // The interrupt comes on the hardware thread; once it has touched a register
                // it holds the interrupt's lock, and what the request does next comes after.
                // (Unless the change raises no interrupt, or the hardware thread waits for a DPC
                // that waits for this thread's lock: then it comes after the locked step.)
                const size_t before = HkIoAccessCount();
                std::thread other([&] { SetInputs(Inputs ^ line); });
                other.join();
                if (HmLineAsserted(Board)) {
                    HmWaitUntil([&] { return HkIoAccessCount() > before || !HkDpcsIdle(); });
                }
            });
        } else {
            HkSetPreemptionHook([&] {
                if (++reached != point) {
                    return;
                }
                if (what == 1) {
                    CancelDuring = true;
                    M.CancelAsked(nullptr);
                    HkCancelIo(Handle);
                } else {
                    for (int k = 0; k < 4; ++k) {
                        FarSend(Far::Data, Data());
                    }
                    HmAdvanceTime(Ms);
                }
            });
        }
        switch (c.Below(6)) {
        case 0:
            ReadOp(c);
            break;
        case 1:
            WriteOp(c);
            break;
        case 2:
            Note("wait");
            Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
            break;
        case 3:
            PurgeOrFlush(c);
            break;
        case 4:
            // Bytes on the wire while the rate or format changes arrive garbled: no request
            // that may change them races with bytes.
            what == 2 ? QueryOp(c) : SettingsOp(c);
            break;
        default:
            QueryOp(c);
            break;
        }
        HkSetSynchronizeHook({});
        HkSetPreemptionHook({});
        CancelDuring = false;
    }

    // --- one step -----------------------------------------------------------------------------

    void Step(Chooser& c)
    {
        if (Handle == nullptr && c.Below(4) != 0) {
            Open(c);
        } else {
            const unsigned pick = c.Below(24);
            if (Handle == nullptr && pick < 14) {
                Note("(closed)");
            } else if (pick < 3) {
                ReadOp(c);
            } else if (pick < 6) {
                WriteOp(c);
            } else if (pick < 7) {
                Note("wait");
                Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, c.Below(8) == 0 ? 2 : sizeof(ULONG));
            } else if (pick < 9) {
                SettingsOp(c);
            } else if (pick < 10) {
                LinesOp(c);
            } else if (pick < 11) {
                PurgeOrFlush(c);
            } else if (pick < 12) {
                c.Below(2) ? QueryOp(c) : AnyOp(c);
            } else if (pick < 13) {
                CancelOp(c);
            } else if (pick < 14) {
                Race(c);
            } else if (pick < 17) {
                FarOp(c, nullptr);
            } else if (pick < 20) {
                const LONGLONG units = Advances[c.Below(std::size(Advances))];
                Note("time " + std::to_string(units / Ms) + "." +
                     std::to_string(units % Ms / 1000) + " ms");
                Advance(units);
            } else if (pick < 21) {
                Settle(c);
            } else if (pick < 22) {
                c.Below(3) == 0 ? Close() : Open(c);
            } else if (pick < 23 && c.Below(8) == 0) {
                CableOp(c);
            } else {
                Note("time 1 ms");
                Advance(Ms);
            }
        }
        // Interrupts and DPCs of what just happened run before the next step.
        Advance(0);
        M.Stepped(Read());
    }
};

Walk::Walk(UCHAR marker) : R(new Rig)
{
    HmReset();
    HkSetViolationHandler([rig = R.get()](const HkViolation& violation) {
        rig->Disagree("kernel verifier: " + violation.What);
    });
    HkSetSystemBufferFill(marker);
    R->Corcard = HkLoadDriver(DriverEntry, L"corcard");
    R->Corserial = HkLoadDriver(CorSerialDriverEntry, L"corserial");
    HmPnpOptions options;
    options.PortDriver = R->Corserial;
    HmSetPnpOptions(options);
    HmSetTimeScale(1000); // the start waits for the UARTs in line time
    R->Board = HmPlugAdapter(HmModel::LX2A);
    if (HmAddDevice(R->Corcard, R->Board) != STATUS_SUCCESS ||
        HmStartAdapter(R->Board) != STATUS_SUCCESS) {
        R->Disagree("the board did not start");
    }
    HmSetTimeScale(0);
    HmPeerFlowControl(R->Board, Port, false, false);
    R->SetInputs(R->Inputs);
    R->Advance(0);
    R->M.Stepped(R->Read());
}

Walk::~Walk()
{
    Finish();
}

bool Walk::Step(Chooser& chooser)
{
    if (R->Failed() || R->Finished) {
        return false;
    }
    R->Step(chooser);
    return !R->Failed();
}

std::string Walk::Finish()
{
    if (!R->Finished) {
        R->Finished = true;
        R->Close();
        for (const WalkRequest& r : R->Requests) {
            if (!r.Request->Done()) {
                R->Disagree("a request outlived its handle");
                break;
            }
        }
        HmSetTimeScale(1);
        HmUnplugAll();
        HkUnloadDriver(R->Corserial);
        HkUnloadDriver(R->Corcard);
        if (!HkCheckClean()) {
            R->Disagree("the kernel stand-in is not clean at the end of the walk");
        }
        HkSetViolationHandler(nullptr);
        HkSetSystemBufferFill(0);
        HmReset();
    }
    std::lock_guard<std::mutex> lock(R->Mu);
    return R->Disagreement;
}

const std::vector<std::string>& Walk::Log() const
{
    return R->Log;
}

const std::vector<WalkRequest>& Walk::Requests() const
{
    return R->Requests;
}

// ---------------------------------------------------------------------------------------------
// Seeded walks and their shortest sequences

namespace {

// Records the decisions of each step, to replay them.
class Recorder : public Chooser {
public:
    explicit Recorder(uint64_t seed) : Random(seed) {}
    unsigned Below(unsigned limit) override
    {
        const unsigned value = static_cast<unsigned>(Random() % limit);
        Steps.back().push_back(value);
        return value;
    }
    std::mt19937_64 Random;
    std::vector<std::vector<unsigned>> Steps;
};

// Replays one step's decisions; past them, zeros.
class Replayer : public Chooser {
public:
    explicit Replayer(const std::vector<unsigned>& values) : Values(values) {}
    unsigned Below(unsigned limit) override
    {
        return Next < Values.size() ? Values[Next++] % limit : 0;
    }
    const std::vector<unsigned>& Values;
    size_t Next = 0;
};

// What a disagreement says, without the numbers that change from one run to the next.
std::string Kind(const std::string& disagreement)
{
    std::string kind;
    for (char ch : disagreement) {
        if (ch < '0' || ch > '9') {
            kind += ch;
        }
    }
    return kind;
}

struct Replay {
    std::string Disagreement;
    std::vector<std::string> Log;
};

Replay Run(const std::vector<std::vector<unsigned>>& steps)
{
    Replay replay;
    Walk walk;
    for (const std::vector<unsigned>& values : steps) {
        Replayer chooser(values);
        if (!walk.Step(chooser)) {
            break;
        }
    }
    replay.Disagreement = walk.Finish();
    replay.Log = walk.Log();
    return replay;
}

} // namespace

WalkResult RunSeededWalk(uint64_t seed, size_t steps)
{
    WalkResult result;
    Recorder recorder(seed);
    const char* trace = std::getenv("CORAN_WALK_TRACE");
    TraceModels(trace != nullptr && std::strcmp(trace, "all") == 0);
    {
        Walk walk;
        for (size_t k = 0; k < steps; ++k) {
            recorder.Steps.emplace_back();
            if (!walk.Step(recorder)) {
                break;
            }
        }
        result.Disagreement = walk.Finish();
        result.Steps = walk.Log();
    }
    if (result.Disagreement.empty()) {
        return result;
    }
    // Delta debugging over the steps: drop runs of steps while the same kind of disagreement
    // remains, halving the runs down to single steps, within a budget of replays.
    const std::string kind = Kind(result.Disagreement);
    std::vector<std::vector<unsigned>> shortest = recorder.Steps;
    Replay best{result.Disagreement, result.Steps};
    unsigned budget = 400;
    for (size_t chunk = shortest.size() / 2; chunk >= 1 && budget != 0; chunk /= 2) {
        for (size_t at = 0; at + 1 < shortest.size() && budget != 0;) {
            std::vector<std::vector<unsigned>> candidate = shortest;
            const size_t end = std::min(at + chunk, candidate.size() - 1);
            candidate.erase(candidate.begin() + static_cast<long>(at),
                            candidate.begin() + static_cast<long>(end));
            --budget;
            Replay replay = Run(candidate);
            if (!replay.Disagreement.empty() && Kind(replay.Disagreement) == kind) {
                shortest = std::move(candidate);
                best = std::move(replay);
            } else {
                at += chunk;
            }
        }
    }
    if (trace != nullptr) {
        TraceModels(true);
        Run(shortest);
        TraceModels(false);
    }
    result.Disagreement = best.Disagreement;
    result.Steps = best.Log;
    return result;
}

} // namespace contract
