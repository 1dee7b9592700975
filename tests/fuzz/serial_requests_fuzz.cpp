// Sequences of Win32 requests against a started corserial port, with the far end of the line
// acting at the same time: opens (a name below the device too, which the port must refuse, and a
// second port), closes, storms of opens and closes, reads and writes of any size (zero-length
// too), control requests with any input and output sizes (every serial control code, the ones
// the driver knows and the ones it does not, random function numbers, device types and transfer
// methods), cancels, purges, flushes, closes with requests pending; from the far end bytes,
// parity and framing errors, breaks, modem lines, a loopback plug, a null-modem cable to the
// other port and a peer on another line format. The clock stands still except where the input
// moves it, so a run does not wait for wall time and repeats exactly.
//
// Oracles: the verifier (a request completed twice, Information larger than the caller's buffer,
// a completion at the wrong IRQL, ...), the sanitizers, the stand-in's end-of-input checks (no
// pool, IRP, timer or handle left), every request done by the time its handle is closed, the
// port refusing \\.\COM3\x, and no byte of kernel memory returned to the program: the system
// buffers are filled with a marker before the driver sees them, and an input whose outputs hold
// the marker is run again with another one. A byte the driver wrote is the same in both runs; a
// byte it left alone follows the marker, so the check flags exactly the bytes it never wrote.
#include "driver_rig.h"

#include <algorithm>
#include <atomic>
#include <thread>

extern "C"
{
#include <ntddser.h>
}

extern "C" DRIVER_INITIALIZE CorSerialDriverEntry;

namespace {

constexpr LONGLONG Ms = 10000; // 100 ns units
constexpr UCHAR FirstMarker = 0xA5;
constexpr UCHAR SecondMarker = 0x5A;
constexpr size_t MaxHandles = 3;
constexpr size_t MaxRequests = 512; // of one input; past it the input ends

struct ControlCode {
    ULONG Code;
    ULONG InputSize; // what a well-formed request carries
    ULONG OutputSize;
};

// Every serial control code: those the driver handles and those it must refuse.
// clang-format off
const ControlCode SerialCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE,      sizeof(SERIAL_BAUD_RATE),    0},
    {IOCTL_SERIAL_GET_BAUD_RATE,      0,                           sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL,   sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_GET_LINE_CONTROL,   0,                           sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS,          sizeof(SERIAL_CHARS),        0},
    {IOCTL_SERIAL_GET_CHARS,          0,                           sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_HANDFLOW,       sizeof(SERIAL_HANDFLOW),     0},
    {IOCTL_SERIAL_GET_HANDFLOW,       0,                           sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_TIMEOUTS,       sizeof(SERIAL_TIMEOUTS),     0},
    {IOCTL_SERIAL_GET_TIMEOUTS,       0,                           sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_WAIT_MASK,      sizeof(ULONG),               0},
    {IOCTL_SERIAL_GET_WAIT_MASK,      0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_WAIT_ON_MASK,       0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_PURGE,              sizeof(ULONG),               0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE,     sizeof(SERIAL_QUEUE_SIZE),   0},
    {IOCTL_SERIAL_GET_COMMSTATUS,     0,                           sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_GET_MODEMSTATUS,    0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_SET_DTR,            0,                           0},
    {IOCTL_SERIAL_CLR_DTR,            0,                           0},
    {IOCTL_SERIAL_SET_RTS,            0,                           0},
    {IOCTL_SERIAL_CLR_RTS,            0,                           0},
    {IOCTL_SERIAL_GET_DTRRTS,         0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_SET_XOFF,           0,                           0},
    {IOCTL_SERIAL_SET_XON,            0,                           0},
    {IOCTL_SERIAL_SET_BREAK_ON,       0,                           0},
    {IOCTL_SERIAL_SET_BREAK_OFF,      0,                           0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR,     sizeof(UCHAR),               0},
    {IOCTL_SERIAL_GET_PROPERTIES,     0,                           sizeof(SERIAL_COMMPROP)},
    {IOCTL_SERIAL_GET_STATS,          0,                           sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_CLEAR_STATS,        0,                           0},
    {IOCTL_SERIAL_RESET_DEVICE,       0,                           0},
    {IOCTL_SERIAL_CONFIG_SIZE,        0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_XOFF_COUNTER,       sizeof(SERIAL_XOFF_COUNTER), 0},
    {IOCTL_SERIAL_LSRMST_INSERT,      sizeof(UCHAR),               0},
    {IOCTL_SERIAL_GET_MODEM_CONTROL,  0,                           sizeof(ULONG)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL,  sizeof(ULONG),               0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL,   sizeof(ULONG),               0},
    {IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, 0,                      sizeof(SERIAL_BASIC_SETTINGS)},
};
// clang-format on
constexpr unsigned SerialCodeCount = sizeof(SerialCodes) / sizeof(SerialCodes[0]);

// Time-outs a program sets so that its reads end: at once with what is there, after a quiet
// interval, after a total, or (the last) never on their own.
const SERIAL_TIMEOUTS TimeoutChoices[] = {
    {MAXULONG, 0, 0, 0, 0},        {1, 0, 0, 0, 5}, {0, 1, 5, 1, 5},
    {MAXULONG, MAXULONG, 3, 0, 0}, {0, 0, 0, 0, 0},
};
constexpr unsigned TimeoutChoiceCount = sizeof(TimeoutChoices) / sizeof(TimeoutChoices[0]);

const LONGLONG Steps[] = {0, Ms / 10, Ms, 7 * Ms, 50 * Ms};

struct PathChoice {
    std::u16string Path;
    bool Below; // names something below the port's device
};

// One request as the program sent it, for the report of a finding.
struct Sent {
    HkHandle Handle;
    HkRequestPtr Request;
    UCHAR Major;
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
};

// What came back of each request, in the order the requests were sent.
struct Returned {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<UCHAR> Output;
};

std::vector<UCHAR> AsBytes(const SERIAL_TIMEOUTS& timeouts)
{
    std::vector<UCHAR> bytes(sizeof(timeouts));
    std::memcpy(bytes.data(), &timeouts, sizeof(timeouts));
    return bytes;
}

// One run of an input on a fresh machine: an LX2A with corcard and corserial, port 0 (and its
// neighbour, for a null-modem cable) as COM ports.
class SerialRun {
public:
    explicit SerialRun(UCHAR marker)
    {
        HmReset();
        HkSetViolationHandler([](const HkViolation& violation) {
            DriverFuzzFail("kernel verifier: " + violation.What);
        });
        HkSetSystemBufferFill(marker);
        Corcard = HkLoadDriver(DriverEntry, L"corcard");
        Corserial = HkLoadDriver(CorSerialDriverEntry, L"corserial");
        DRIVER_CHECK(Corcard != nullptr && Corserial != nullptr);
        HmPnpOptions options;
        options.PortDriver = Corserial;
        HmSetPnpOptions(options);
        // The start waits for the UARTs in line time: let it pass quickly.
        HmSetTimeScale(1000);
        Board = HmPlugAdapter(HmModel::LX2A);
        DRIVER_CHECK(HmAddDevice(Corcard, Board) == STATUS_SUCCESS);
        DRIVER_CHECK(HmStartAdapter(Board) == STATUS_SUCCESS);
        HmSetTimeScale(0);
        // The port's names, and names below it (which must not open).
        Paths = {{u"\\\\.\\COM3", false},          {u"\\\\.\\com3", false},
                 {u"\\\\.\\COM3\\x", true},        {u"\\\\.\\COM4", false},
                 {u"\\Device\\CorSerial0", false}, {u"\\??\\COM3\\", true}};
        for (const HkDeviceInterface& found : HkDeviceInterfaces()) {
            if (found.Enabled) {
                Paths.push_back({found.Name, false});
                Paths.push_back({found.Name + u"\\x", true});
            }
        }
    }

    ~SerialRun()
    {
        for (HkHandle handle : Handles) {
            Close(handle);
        }
        Handles.clear();
        for (const Sent& sent : Requests) {
            // Cleanup ends what a handle left pending, so all are done once the handles close.
            DRIVER_CHECK(sent.Request->Done());
        }
        HmSetTimeScale(1);
        HmUnplugAll();
        HkUnloadDriver(Corserial);
        HkUnloadDriver(Corcard);
        if (!HkCheckClean()) {
            DriverFuzzFail("the kernel stand-in is not clean at the end of the input");
        }
        HkSetViolationHandler(nullptr);
        HmReset();
    }

    SerialRun(const SerialRun&) = delete;
    SerialRun& operator=(const SerialRun&) = delete;

    // A program opens the port first; the first byte picks its time-outs.
    void Begin(FuzzInput& in) { Open(in, Paths[0]); }

    // Runs one operation; false once the input may go no further.
    bool Step(FuzzInput& in)
    {
        if (Requests.size() >= MaxRequests) {
            return false;
        }
        switch (in.Below(16)) {
        case 0:
            Open(in, Paths[in.Below(static_cast<unsigned>(Paths.size()))]);
            break;
        case 1:
            if (!Handles.empty()) {
                const size_t k = in.Below(static_cast<unsigned>(Handles.size()));
                Close(Handles[k]);
                Handles.erase(Handles.begin() + static_cast<long>(k));
            }
            break;
        case 2: // a storm: open and close again and again
            for (unsigned n = 1 + in.Below(8); n != 0; --n) {
                HkHandle handle = OpenPath(Paths[in.Below(3)]);
                if (handle != nullptr) {
                    if (in.Bool()) {
                        const ULONG length = in.Below(4);
                        Send(handle, HkRead(handle, length), IRP_MJ_READ, 0, 0, length);
                    }
                    Close(handle);
                }
            }
            break;
        case 3:
            if (HkHandle handle = AnyHandle(in)) {
                const ULONG length = Length(in);
                Send(handle, HkRead(handle, length), IRP_MJ_READ, 0, 0, length);
            }
            break;
        case 4:
            if (HkHandle handle = AnyHandle(in)) {
                std::vector<UCHAR> data = in.Bytes(Length(in));
                const ULONG length = static_cast<ULONG>(data.size());
                Send(handle, HkWrite(handle, data), IRP_MJ_WRITE, 0, length, 0);
            }
            break;
        case 5:
        case 6:
        case 7:
            Control(in);
            break;
        case 8: // CancelIoEx on one request or on all of a handle
            if (in.Bool() && !Requests.empty()) {
                Requests[in.U16() % Requests.size()].Request->Cancel();
            } else if (HkHandle handle = AnyHandle(in)) {
                HkCancelIo(handle);
            }
            break;
        case 9:
            if (HkHandle handle = AnyHandle(in)) {
                if (in.Bool()) {
                    Send(handle, HkFlush(handle), IRP_MJ_FLUSH_BUFFERS, 0, 0, 0);
                } else {
                    const ULONG infoClass = in.Below(4) == 0 ? in.Below(16) : 4;
                    const ULONG length = in.Below(64);
                    Send(handle, HkQueryVolumeInformation(handle, infoClass, length),
                         IRP_MJ_QUERY_VOLUME_INFORMATION, infoClass, 0, length);
                }
            }
            break;
        case 10:
        case 11:
            FarEnd(in);
            break;
        case 12:
            Line(in);
            break;
        default:
            HmAdvanceTime(Steps[in.Below(sizeof(Steps) / sizeof(Steps[0]))]);
            break;
        }
        // Interrupts and DPCs of what just happened run before the next step, so that every
        // step finds the port in the same state on every run of the input.
        HmAdvanceTime(0);
        return true;
    }

    std::vector<Returned> Results() const
    {
        std::vector<Returned> results;
        for (const Sent& sent : Requests) {
            results.push_back(
                {sent.Request->Status(), sent.Request->Information(), sent.Request->Output()});
        }
        return results;
    }

    const std::vector<Sent>& SentRequests() const { return Requests; }

private:
    HkHandle AnyHandle(FuzzInput& in)
    {
        return Handles.empty() ? nullptr : Handles[in.Below(static_cast<unsigned>(Handles.size()))];
    }

    // 0, a few bytes, up to a FIFO or two, up to a few receive queues, or megabytes (where a
    // time-out proportional to the length grows large).
    static ULONG Length(FuzzInput& in)
    {
        switch (in.Below(5)) {
        case 0:
            return 0;
        case 1:
            return 1 + in.Below(16);
        case 2:
            return in.Byte();
        case 3:
            return in.U16() % 16384;
        default:
            return in.U32() % (4u << 20);
        }
    }

    static HkHandle OpenPath(const PathChoice& path)
    {
        HkHandle handle = nullptr;
        NTSTATUS status = HkOpen(path.Path, &handle);
        if (path.Below) {
            // A port has nothing below it.
            DRIVER_CHECK(!NT_SUCCESS(status) && handle == nullptr);
        }
        return NT_SUCCESS(status) ? handle : nullptr;
    }

    void Open(FuzzInput& in, const PathChoice& path)
    {
        HkHandle handle = OpenPath(path);
        if (handle == nullptr) {
            return;
        }
        if (Handles.size() == MaxHandles) {
            Close(handle);
            return;
        }
        Handles.push_back(handle);
        // A program sets its time-outs first (or leaves the port's as they are).
        const unsigned choice = in.Below(TimeoutChoiceCount + 1);
        if (choice < TimeoutChoiceCount) {
            std::vector<UCHAR> input = AsBytes(TimeoutChoices[choice]);
            Send(handle, HkIoControl(handle, IOCTL_SERIAL_SET_TIMEOUTS, input, 0),
                 IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_SET_TIMEOUTS, static_cast<ULONG>(input.size()),
                 0);
        }
    }

    bool TransmittersBusy() const
    {
        for (ULONG port = 0; port < 2; ++port) {
            const HmUartView view = HmUart(Board, port);
            if (view.TxCount != 0 || (view.Lsr & 0x40) == 0) { // TEMT clear
                return true;
            }
        }
        return false;
    }

    bool RequestsDone(HkHandle handle) const
    {
        for (const Sent& sent : Requests) {
            if (sent.Handle == handle && !sent.Request->Done()) {
                return false;
            }
        }
        return true;
    }

    bool WritesPending() const
    {
        for (const Sent& sent : Requests) {
            const bool writes = sent.Major == IRP_MJ_WRITE || sent.Major == IRP_MJ_FLUSH_BUFFERS ||
                                sent.Code == IOCTL_SERIAL_IMMEDIATE_CHAR;
            if (writes && !sent.Request->Done()) {
                return true;
            }
        }
        return false;
    }

    // The driver lets the transmitter finish before a close, for up to a FIFO's length of
    // character times on the clock, which stands still here. Unless writes keep it going, the
    // transmitter empties given some time, and the close is sent at once; otherwise the close
    // goes from a thread of its own while this one moves the clock.
    void Close(HkHandle handle)
    {
        for (int round = 0; round < 6 && !WritesPending() && TransmittersBusy(); ++round) {
            HmAdvanceTime(5 * Ms << round);
        }
        if (!TransmittersBusy()) {
            HkClose(handle);
            return;
        }
        std::atomic<bool> closed{false};
        std::thread closer([&] {
            HkClose(handle);
            closed = true;
        });
        // The clock moves only once the cleanup has ended the handle's requests, so that they
        // end at the same time on every run of the input.
        while (!closed && !RequestsDone(handle)) {
            std::this_thread::yield();
        }
        while (!closed) {
            HmAdvanceTime(Ms);
        }
        closer.join();
    }

    void Control(FuzzInput& in)
    {
        HkHandle handle = AnyHandle(in);
        if (handle == nullptr) {
            return;
        }
        const ControlCode& known = SerialCodes[in.Below(SerialCodeCount)];
        ULONG code = known.Code;
        switch (in.Below(8)) {
        case 0: // another function of the serial device type, any access
            code =
                CTL_CODE(FILE_DEVICE_SERIAL_PORT, in.U16() & 0xFFF, METHOD_BUFFERED, in.Below(4));
            break;
        case 1: // anything at all (other transfer methods are the I/O manager's to refuse)
            code = in.U32();
            break;
        default:
            break;
        }
        ULONG inputLength = known.InputSize;
        ULONG outputLength = known.OutputSize;
        switch (in.Below(6)) {
        case 0:
            inputLength = in.Below(80);
            outputLength = in.Below(80);
            break;
        case 1: // too short
            inputLength = inputLength != 0 ? inputLength - 1 - in.Below(inputLength) : 0;
            outputLength = outputLength != 0 ? outputLength - 1 - in.Below(outputLength) : 0;
            break;
        case 2: // too long
            inputLength += in.Below(64);
            outputLength += in.Below(64);
            break;
        case 3:
            outputLength = in.U16() % 4096;
            break;
        default: // well formed
            break;
        }
        std::vector<UCHAR> input = in.Bytes(inputLength);
        Send(handle, HkIoControl(handle, code, input, outputLength), IRP_MJ_DEVICE_CONTROL, code,
             inputLength, outputLength);
    }

    // The far end's data and modem lines.
    void FarEnd(FuzzInput& in)
    {
        const ULONG port = in.Below(4) == 0 ? 1 : 0;
        switch (in.Below(6)) {
        case 0:
        case 1:
            HmRemoteSend(Board, port, in.Bytes(1 + in.Below(64)));
            break;
        case 2:
            HmRemoteSendError(Board, port, in.Byte(), static_cast<HmLineError>(in.Below(3)));
            break;
        case 3: {
            const UCHAR lines = in.Byte();
            HmSetModemInputs(Board, port, lines & 1, lines & 2, lines & 4, lines & 8);
            break;
        }
        case 4:
            HmPeerSendBreak(Board, port, (1 + in.Below(40)) * Ms / 4);
            break;
        default:
            HmPeerPause(Board, port, in.Below(20) * Ms);
            break;
        }
        // What the peer received is of no interest here; it must not pile up.
        HmPeerReceived(Board, port);
        HmRemoteTake(Board, port);
    }

    // What is at the other end of the cable, and how it behaves.
    void Line(FuzzInput& in)
    {
        switch (in.Below(6)) {
        case 0:
            HmPlugLoopback(Board, 0);
            break;
        case 1:
            HmConnectNullModem(Board, 0, Board, 1);
            break;
        case 2:
            HmAttachPeer(Board, 0);
            HmAttachPeer(Board, 1);
            break;
        case 3: {
            HmLineFormat format{};
            static const ULONG Rates[] = {300, 9600, 115200, 921600};
            format.Baud = Rates[in.Below(4)];
            format.DataBits = static_cast<UCHAR>(5 + in.Below(4));
            format.Parity = static_cast<HmParity>(in.Below(5));
            format.StopBits = static_cast<UCHAR>(1 + in.Below(2));
            HmPeerSetFormat(Board, 0, format);
            break;
        }
        case 4:
            HmPeerFollow(Board, 0);
            break;
        default: {
            const UCHAR how = in.Byte();
            HmPeerFlowControl(Board, 0, how & 1, how & 2);
            break;
        }
        }
    }

    void Send(HkHandle handle, HkRequestPtr request, UCHAR major, ULONG code, ULONG inputLength,
              ULONG outputLength)
    {
        Requests.push_back({handle, std::move(request), major, code, inputLength, outputLength});
    }

    PDRIVER_OBJECT Corcard = nullptr;
    PDRIVER_OBJECT Corserial = nullptr;
    PDEVICE_OBJECT Board = nullptr;
    std::vector<PathChoice> Paths;
    std::vector<HkHandle> Handles;
    std::vector<Sent> Requests;
};

// Runs the input with one marker; the results of its requests in the order they were sent.
std::vector<Returned> RunWith(const uint8_t* data, size_t size, UCHAR marker,
                              std::vector<Sent>* sent)
{
    FuzzInput in(data, size);
    std::vector<Returned> results;
    {
        SerialRun run(marker);
        run.Begin(in);
        while (!in.Empty() && run.Step(in)) {
        }
        *sent = run.SentRequests();
    } // the handles close and their requests end here

    for (const Sent& request : *sent) {
        results.push_back(
            {request.Request->Status(), request.Request->Information(), request.Request->Output()});
    }
    return results;
}

bool HoldsMarker(const std::vector<Returned>& results, UCHAR marker)
{
    for (const Returned& result : results) {
        for (UCHAR byte : result.Output) {
            if (byte == marker) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<Sent> first;
    const std::vector<Returned> one = RunWith(data, size, FirstMarker, &first);
    // FUZZ_TRACE=1 lists the requests and what came of them, to read what an input did.
    if (std::getenv("FUZZ_TRACE") != nullptr) {
        for (size_t k = 0; k < one.size(); ++k) {
            std::fprintf(stderr, "%zu: major 0x%02X code 0x%08X in %u out %u: 0x%08X, %zu bytes\n",
                         k, first[k].Major, static_cast<unsigned>(first[k].Code),
                         static_cast<unsigned>(first[k].InputLength),
                         static_cast<unsigned>(first[k].OutputLength),
                         static_cast<unsigned>(one[k].Status),
                         static_cast<size_t>(one[k].Information));
        }
    }
    if (!HoldsMarker(one, FirstMarker) && std::getenv("FUZZ_BOTH_RUNS") == nullptr) {
        return 0;
    }
    std::vector<Sent> second;
    const std::vector<Returned> two = RunWith(data, size, SecondMarker, &second);
    const size_t common = std::min(one.size(), two.size());
    for (size_t k = 0; k < common; ++k) {
        // Only the same request with the same result is compared (the runs repeat exactly; this
        // keeps the check sound even where they would not).
        if (first[k].Major != second[k].Major || first[k].Code != second[k].Code ||
            first[k].InputLength != second[k].InputLength ||
            first[k].OutputLength != second[k].OutputLength || one[k].Status != two[k].Status ||
            one[k].Information != two[k].Information) {
            continue;
        }
        const std::vector<UCHAR>& a = one[k].Output;
        const std::vector<UCHAR>& b = two[k].Output;
        for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
            if (a[i] == FirstMarker && b[i] == SecondMarker) {
                char what[160];
                std::snprintf(what, sizeof(what),
                              "request %zu (major 0x%02X, code 0x%08X, input %u, output %u) "
                              "returned byte %zu of %zu unwritten: status 0x%08X",
                              k, first[k].Major, static_cast<unsigned>(first[k].Code),
                              static_cast<unsigned>(first[k].InputLength),
                              static_cast<unsigned>(first[k].OutputLength), i, a.size(),
                              static_cast<unsigned>(one[k].Status));
                DriverFuzzFail(what);
            }
        }
    }
    if (std::getenv("FUZZ_BOTH_RUNS") != nullptr) {
        // How far the runs repeat: a close sent while the clock moves may end a little later
        // in one than in the other.
        size_t differ = one.size() > two.size() ? one.size() - two.size() : two.size() - one.size();
        for (size_t k = 0; k < common; ++k) {
            differ += one[k].Status != two[k].Status || one[k].Information != two[k].Information;
        }
        std::fprintf(stderr, "%zu of %zu requests ended otherwise in the second run\n", differ,
                     one.size());
    }
    return 0;
}
