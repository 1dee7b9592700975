// The serial control codes as programs send them: every code with every input and output size
// from 0 to one past its record, the refusals and the state they leave alone, output with nothing
// of the kernel's in it; and what the status codes report after line errors, purges, the abort on
// error, an immediate character, a larger queue.
#include "serial_rig.h"

#include <cstring>

namespace {

struct CodeShape {
    const char* Name;
    ULONG Code;
    ULONG Input;       // bytes it needs
    ULONG Output;      // bytes it fills
    ULONG Information; // what a success reports, as far as the output buffer takes it
};

// clang-format off
const CodeShape Codes[] = {
    {"SET_BAUD_RATE",     IOCTL_SERIAL_SET_BAUD_RATE,     4,  0,  0},
    {"GET_BAUD_RATE",     IOCTL_SERIAL_GET_BAUD_RATE,     0,  4,  4},
    {"SET_LINE_CONTROL",  IOCTL_SERIAL_SET_LINE_CONTROL,  3,  0,  0},
    {"GET_LINE_CONTROL",  IOCTL_SERIAL_GET_LINE_CONTROL,  0,  3,  3},
    {"SET_CHARS",         IOCTL_SERIAL_SET_CHARS,         6,  0,  0},
    {"GET_CHARS",         IOCTL_SERIAL_GET_CHARS,         0,  6,  6},
    {"SET_HANDFLOW",      IOCTL_SERIAL_SET_HANDFLOW,      16, 0,  0},
    {"GET_HANDFLOW",      IOCTL_SERIAL_GET_HANDFLOW,      0,  16, 16},
    {"SET_TIMEOUTS",      IOCTL_SERIAL_SET_TIMEOUTS,      20, 0,  0},
    {"GET_TIMEOUTS",      IOCTL_SERIAL_GET_TIMEOUTS,      0,  20, 20},
    {"SET_WAIT_MASK",     IOCTL_SERIAL_SET_WAIT_MASK,     4,  0,  0},
    {"GET_WAIT_MASK",     IOCTL_SERIAL_GET_WAIT_MASK,     0,  4,  4},
    {"PURGE",             IOCTL_SERIAL_PURGE,             4,  0,  4},
    {"SET_QUEUE_SIZE",    IOCTL_SERIAL_SET_QUEUE_SIZE,    8,  0,  0},
    {"GET_COMMSTATUS",    IOCTL_SERIAL_GET_COMMSTATUS,    0,  20, 20},
    {"GET_MODEMSTATUS",   IOCTL_SERIAL_GET_MODEMSTATUS,   0,  4,  4},
    {"GET_DTRRTS",        IOCTL_SERIAL_GET_DTRRTS,        0,  4,  4},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 0,  4,  4},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4,  0,  0},
    {"SET_FIFO_CONTROL",  IOCTL_SERIAL_SET_FIFO_CONTROL,  4,  0,  0},
    {"LSRMST_INSERT",     IOCTL_SERIAL_LSRMST_INSERT,     1,  0,  1},
    {"GET_PROPERTIES",    IOCTL_SERIAL_GET_PROPERTIES,    0,  64, 64},
    {"GET_STATS",         IOCTL_SERIAL_GET_STATS,         0,  24, 24},
    {"CONFIG_SIZE",       IOCTL_SERIAL_CONFIG_SIZE,       0,  4,  4},
    {"IMMEDIATE_CHAR",    IOCTL_SERIAL_IMMEDIATE_CHAR,    1,  0,  1},
    {"WAIT_ON_MASK",      IOCTL_SERIAL_WAIT_ON_MASK,      0,  4,  4},
    {"XOFF_COUNTER",      IOCTL_SERIAL_XOFF_COUNTER,      12, 0,  0},
};
// clang-format on

// Everything a program can read back of the port's settings.
std::vector<UCHAR> Settings(ComPort& port)
{
    std::vector<UCHAR> all;
    for (ULONG code : {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                       IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW, IOCTL_SERIAL_GET_TIMEOUTS,
                       IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_GET_DTRRTS}) {
        HkRequestPtr request = port.DeviceIoControl(code, {}, 64);
        request->Wait();
        std::vector<UCHAR> out = request->Output();
        all.insert(all.end(), out.begin(), out.end());
    }
    SERIAL_COMMPROP properties{};
    port.GetCommProperties(&properties);
    all.push_back(static_cast<UCHAR>(properties.CurrentRxQueue >> 8));
    return all;
}

} // namespace

class SerialControl : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        Board = Plug(HmModel::LX2A);
        OpenAt(Port, NameOf(Board, 0), 115200);
    }
    void TearDown() override
    {
        Port.Close();
        SerialTest::TearDown();
    }

    PDEVICE_OBJECT Board = nullptr;
    ComPort Port;
};

// A buffer shorter than the record is refused with STATUS_BUFFER_TOO_SMALL and changes nothing; a
// long enough one of zeros gets the code's answer. What comes back is the record, all of it
// written by the driver: the same request answered out of a system buffer filled with another
// byte comes back the same, so no byte of the I/O manager's buffer shows through.
TEST_F(SerialControl, EveryCodeWithEverySizeAnswersAsDocumentedAndLeaksNothing)
{
    for (const CodeShape& code : Codes) {
        for (ULONG in = 0; in <= code.Input + 1; ++in) {
            for (ULONG out = 0; out <= code.Output + 1; ++out) {
                SCOPED_TRACE(std::string(code.Name) + " in " + std::to_string(in) + " out " +
                             std::to_string(out));
                std::vector<UCHAR> outputs[2];
                NTSTATUS statuses[2] = {};
                for (int fill = 0; fill < 2; ++fill) {
                    ASSERT_TRUE(Port.SetCommMask(SERIAL_EV_RXCHAR));
                    ASSERT_TRUE(Port.SetCommState(ComDcb{}));
                    const std::vector<UCHAR> before = Settings(Port);
                    HkSetSystemBufferFill(fill == 0 ? 0x3C : 0xC3);
                    HkRequestPtr request =
                        Port.DeviceIoControl(code.Code, std::vector<UCHAR>(in, 0), out);
                    HkSetSystemBufferFill(HkSystemBufferFill);
                    if (!request->Done()) {
                        // A wait on the mask, an immediate character, an XOFF counter: ended
                        // by a cancel.
                        request->Cancel();
                    }
                    ASSERT_TRUE(request->Wait());
                    const NTSTATUS status = request->Status();
                    outputs[fill] = request->Output();
                    statuses[fill] = status;
                    if (in < code.Input || out < code.Output) {
                        EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                        EXPECT_EQ(request->Information(), 0u);
                        EXPECT_EQ(Settings(Port), before);
                        continue;
                    }
                    EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INVALID_PARAMETER ||
                                status == STATUS_CANCELLED)
                        << std::hex << status;
                    if (status == STATUS_INVALID_PARAMETER) {
                        EXPECT_EQ(Settings(Port), before) << "a refusal changes nothing";
                    }
                    EXPECT_EQ(request->Information(),
                              status == STATUS_SUCCESS ? std::min(code.Information, out) : 0u);
                }
                if (statuses[0] == statuses[1]) {
                    EXPECT_EQ(outputs[0], outputs[1]) << "a byte of the system buffer came back";
                }
            }
        }
    }
}

// The padding of the status and properties records is zero, not whatever the buffer held.
TEST_F(SerialControl, RecordPaddingComesBackZeroed)
{
    HkRequestPtr status = Port.DeviceIoControl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20);
    ASSERT_TRUE(status->Wait());
    ASSERT_EQ(status->Output().size(), 20u);
    EXPECT_EQ(status->Output()[18], 0);
    EXPECT_EQ(status->Output()[19], 0);
    HkRequestPtr properties = Port.DeviceIoControl(IOCTL_SERIAL_GET_PROPERTIES, {}, 64);
    ASSERT_TRUE(properties->Wait());
    ASSERT_EQ(properties->Output().size(), 64u);
    EXPECT_EQ(properties->Output()[62], 0);
    EXPECT_EQ(properties->Output()[63], 0);
}

TEST_F(SerialControl, CodesThePortDoesNotHaveGetThePlatformsRefusal)
{
    for (ULONG code :
         {static_cast<ULONG>(
              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 60, METHOD_BUFFERED, FILE_ANY_ACCESS)),
          static_cast<ULONG>(
              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)),
          static_cast<ULONG>(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS))}) {
        HkRequestPtr request = Port.DeviceIoControl(code, std::vector<UCHAR>(16, 0), 16);
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    }
}

// Values a port cannot take are refused: rates the clock does not make within 1 %, line
// settings the UART has no form for, equal XON and XOFF, limits past the queue, "wait for the
// first byte" with no time-out.
TEST_F(SerialControl, ValuesThePortCannotTakeAreRefused)
{
    ComDcb good;
    ASSERT_TRUE(Port.GetCommState(&good));
    auto refused = [&](auto change) {
        ComDcb dcb = good;
        change(dcb);
        const bool refusal =
            !Port.SetCommState(dcb) && Port.LastStatus() == STATUS_INVALID_PARAMETER;
        Port.SetCommState(good);
        return refusal;
    };
    EXPECT_TRUE(refused([](ComDcb& d) { d.BaudRate = 0; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.BaudRate = 5000000; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.BaudRate = 3000000; })) << "divisor 1.5";
    EXPECT_TRUE(refused([](ComDcb& d) { d.ByteSize = 9; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.ByteSize = 4; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.Parity = 5; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.StopBits = STOP_BITS_1_5; }));
    EXPECT_TRUE(refused([](ComDcb& d) { d.XoffLim = 5000; }));
    for (ULONG rate : {75u, 110u, 134u, 300u, 1200u, 9600u, 14400u, 56000u, 128000u, 921600u}) {
        ComDcb dcb = good;
        dcb.BaudRate = rate;
        EXPECT_TRUE(Port.SetCommState(dcb)) << rate;
        EXPECT_EQ(HmUart(Board, 0).Divisor, (HmUartClock + 8 * rate) / (16 * rate)) << rate;
    }
    for (const SERIAL_TIMEOUTS& t :
         {Timeouts(MAXULONG, MAXULONG, MAXULONG), Timeouts(MAXULONG, 0, MAXULONG),
          Timeouts(MAXULONG, 7, MAXULONG)}) {
        EXPECT_FALSE(Port.SetCommTimeouts(t));
        EXPECT_EQ(Port.LastStatus(), STATUS_INVALID_PARAMETER);
    }
    SERIAL_COMMPROP properties{};
    ASSERT_TRUE(Port.GetCommProperties(&properties));
    EXPECT_EQ(properties.SettableBaud & SERIAL_BAUD_128K, SERIAL_BAUD_128K);
    EXPECT_EQ(properties.MaxBaud, SERIAL_BAUD_USER);
    EXPECT_EQ(properties.PacketLength, 64);
}

// Line errors are counted (statistics) and reported once (ClearCommError), with their kinds.
TEST_F(SerialControl, LineErrorsAreReportedOnceAndCounted)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.Parity = EVEN_PARITY;
    dcb.ByteSize = 7;
    ASSERT_TRUE(Port.SetCommState(dcb));
    HmRemoteSendError(Board, 0, 'p', HmLineError::Parity);
    HmRemoteSendError(Board, 0, 'f', HmLineError::Framing);
    HmPeerSendBreak(Board, 0, 2 * Ms);
    HmRemoteSend(Board, 0, Bytes("ok"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ULONG errors = 0;
    ASSERT_TRUE(Port.ClearCommError(&errors));
    EXPECT_EQ(errors, SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING | SERIAL_ERROR_BREAK);
    ASSERT_TRUE(Port.ClearCommError(&errors));
    EXPECT_EQ(errors, 0u) << "reported once";
    HkRequestPtr stats = Port.DeviceIoControl(IOCTL_SERIAL_GET_STATS, {}, 24);
    ASSERT_TRUE(stats->Wait());
    SERIALPERF_STATS counts;
    std::memcpy(&counts, stats->Output().data(), sizeof counts);
    EXPECT_EQ(counts.ParityErrorCount, 1u);
    EXPECT_EQ(counts.FrameErrorCount, 1u);
    std::vector<UCHAR> data;
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    ASSERT_TRUE(Port.ReadFile(10, &data));
    EXPECT_EQ(data, Bytes("pfok")) << "no error character asked for; the break is no data";
}

// An instant line floods the FIFO: the UART overruns, and the error says so.
TEST_F(SerialControl, AnOverrunIsReported)
{
    HmSetLinePace(Board, 0, 0);
    HmRemoteSend(Board, 0, std::vector<UCHAR>(200, 'o'));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ULONG errors = 0;
    ASSERT_TRUE(Port.ClearCommError(&errors));
    EXPECT_EQ(errors & SERIAL_ERROR_OVERRUN, SERIAL_ERROR_OVERRUN);
}

// With abort on error a line error ends the pending read, and reads are refused until the errors
// have been read; the error character stands for what came wrong.
TEST_F(SerialControl, AbortOnErrorEndsReadsUntilTheErrorsAreRead)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.AbortOnError = true;
    dcb.ErrorCharEnabled = true;
    dcb.ErrorChar = '?';
    ASSERT_TRUE(Port.SetCommState(dcb));
    HkRequestPtr read = Port.ReadOverlapped(10);
    HmRemoteSendError(Board, 0, 'c', HmLineError::Framing);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    HmRemoteSend(Board, 0, Bytes("ab"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    std::vector<UCHAR> data;
    EXPECT_FALSE(Port.ReadFile(1, &data));
    EXPECT_EQ(Port.LastStatus(), STATUS_CANCELLED);
    ULONG errors = 0;
    ASSERT_TRUE(Port.ClearCommError(&errors));
    EXPECT_EQ(errors, SERIAL_ERROR_FRAMING);
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    ASSERT_TRUE(Port.ReadFile(10, &data));
    EXPECT_EQ(data, Bytes("?ab"));
}

TEST_F(SerialControl, PurgeEndsWhatItNamesAndEmptiesTheQueue)
{
    HmRemoteSend(Board, 0, Bytes("stale"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    HmSetModemInputs(Board, 0, false, false, false, false);
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    HkRequestPtr write = Port.WriteOverlapped(Pattern(100));
    SERIAL_STATUS status{};
    ASSERT_TRUE(Port.PurgeComm(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR));
    ASSERT_TRUE(Port.ClearCommError(nullptr, &status));
    EXPECT_EQ(status.AmountInInQueue, 5u) << "the receive queue is not the transmitter's";
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    write = Port.WriteOverlapped(Pattern(100));
    ASSERT_TRUE(Port.PurgeComm(SERIAL_PURGE_RXCLEAR));
    ASSERT_TRUE(Port.ClearCommError(nullptr, &status));
    EXPECT_EQ(status.AmountInInQueue, 0u);
    EXPECT_EQ(status.AmountInOutQueue, 100u) << "the write is not the receiver's";
    HkRequestPtr read = Port.ReadOverlapped(10);
    ASSERT_TRUE(Port.PurgeComm(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT));
    for (const HkRequestPtr& request : {write, read}) {
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
        EXPECT_EQ(request->Information(), 0u);
    }
    EXPECT_FALSE(Port.PurgeComm(0));
    EXPECT_FALSE(Port.PurgeComm(0x10));
}

// TransmitCommChar sends ahead of a write that XOFF holds; a second one waits its turn.
TEST_F(SerialControl, AnImmediateCharacterGoesAheadOfAHeldWrite)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutX = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    ASSERT_TRUE(Port.EscapeCommFunction(SetXoff));
    HkRequestPtr write = Port.WriteOverlapped(Bytes("data"));
    ASSERT_TRUE(Port.TransmitCommChar(0x11));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    EXPECT_EQ(HmRemoteTake(Board, 0), std::vector<UCHAR>{0x11});
    SERIAL_STATUS status{};
    ULONG errors = 0;
    ASSERT_TRUE(Port.ClearCommError(&errors, &status));
    EXPECT_EQ(status.HoldReasons, static_cast<ULONG>(SERIAL_TX_WAITING_FOR_XON));
    EXPECT_EQ(status.AmountInOutQueue, 4u);
    ASSERT_TRUE(Port.EscapeCommFunction(SetXon));
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

// A wait or immediate character whose cancel routine IoCancelIrp has taken no longer counts, so
// the next of its kind (sent at each point of the cancel in turn) may come in before that routine
// has the lock: it is refused as a second one, or served once its event comes or CTS rises.
TEST_F(SerialControl, ARequestCancelledAsTheNextOfItsKindComesInLeavesThatOneServed)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true; // the far end's CTS holds the immediate character
    ASSERT_TRUE(Port.SetCommState(dcb));
    struct Kind {
        const char* Name;
        HkRequestPtr (*Send)(ComPort& port);
        std::vector<UCHAR> Output; // what the served request returns
        std::vector<UCHAR> FarEnd; // what the far end receives once CTS is up
    };
    const Kind Kinds[] = {
        {"wait",
         [](ComPort& port) { return port.WaitCommEventOverlapped(); },
         {SERIAL_EV_CTS, 0, 0, 0},
         {}},
        {"immediate character",
         [](ComPort& port) { return port.DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'i'}, 0); },
         {},
         {'i'}},
    };
    for (const Kind& kind : Kinds) {
        for (unsigned point = 1;; ++point) {
            SCOPED_TRACE(std::string(kind.Name) + " at point " + std::to_string(point));
            HmSetModemInputs(Board, 0, false, true, false, true);
            ASSERT_TRUE(HkWaitClock(HkNow() + Ms));
            HkWaitDpcsIdle();
            ASSERT_TRUE(Port.SetCommMask(SERIAL_EV_CTS)); // CTS going down is no event here
            HkRequestPtr first = kind.Send(Port);
            ASSERT_FALSE(first->Done());
            HkRequestPtr next;
            unsigned reached = 0;
            HkSetPreemptionHook([&] {
                if (++reached == point) {
                    next = kind.Send(Port);
                }
            });
            first->Cancel();
            HkSetPreemptionHook({});
            ASSERT_TRUE(first->Wait());
            EXPECT_EQ(first->Status(), STATUS_CANCELLED);
            if (next == nullptr) {
                break; // every point of the cancel has been tried
            }
            HmSetModemInputs(Board, 0, true, true, false, true);
            ASSERT_TRUE(HkWaitClock(HkNow() + 5 * Ms));
            HkWaitDpcsIdle();
            if (next->Done() && next->Status() == STATUS_INVALID_PARAMETER) {
                continue; // it came while the first one still counted
            }
            EXPECT_EQ(next->Status(), STATUS_SUCCESS) << "let in, then forgotten by the cancel";
            EXPECT_EQ(next->Output(), kind.Output);
            EXPECT_EQ(HmRemoteTake(Board, 0), kind.FarEnd);
            next->Cancel();
            ASSERT_TRUE(next->Wait());
        }
    }
}

// A break holds the line low and the transmitter with it; clearing it lets the write go.
TEST_F(SerialControl, ABreakHoldsTheLineAndTheWritesUntilItIsCleared)
{
    ASSERT_TRUE(Port.EscapeCommFunction(SetBreak));
    EXPECT_TRUE(HmPortOutputs(Board, 0).Break);
    HkRequestPtr write = Port.WriteOverlapped(Bytes("after"));
    SERIAL_STATUS status{};
    ASSERT_TRUE(Port.ClearCommError(nullptr, &status));
    EXPECT_EQ(status.HoldReasons, static_cast<ULONG>(SERIAL_TX_WAITING_ON_BREAK));
    EXPECT_FALSE(write->Done());

    ASSERT_TRUE(Port.EscapeCommFunction(ClrBreak));
    EXPECT_FALSE(HmPortOutputs(Board, 0).Break);
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    std::vector<UCHAR> got;
    ASSERT_TRUE(HmWaitUntil([&] {
        const std::vector<UCHAR> more = HmRemoteTake(Board, 0);
        got.insert(got.end(), more.begin(), more.end());
        return got.size() >= 5 && std::equal(got.end() - 5, got.end(), Bytes("after").begin());
    }));
}

// A larger receive queue keeps what the old one held, in order.
TEST_F(SerialControl, ALargerQueueKeepsWhatItHeld)
{
    HmRemoteSend(Board, 0, Pattern(3000));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_TRUE(Port.SetupComm(100000, 4096));
    HmRemoteSend(Board, 0, Pattern(3000, 2));
    std::vector<UCHAR> data;
    ASSERT_TRUE(Port.ReadFile(6000, &data));
    std::vector<UCHAR> expected = Pattern(3000);
    std::vector<UCHAR> second = Pattern(3000, 2);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(data, expected);
    SERIAL_COMMPROP properties{};
    ASSERT_TRUE(Port.GetCommProperties(&properties));
    EXPECT_EQ(properties.CurrentRxQueue, 100000u);
    ASSERT_TRUE(Port.SetupComm(0xFFFFFFFF, 0));
    ASSERT_TRUE(Port.GetCommProperties(&properties));
    EXPECT_EQ(properties.CurrentRxQueue, properties.MaxRxQueue) << "the most it gives";
}

// XON and XOFF are never one byte: SET_CHARS refuses equal ones whether or not XON/XOFF flow
// control is on, so no later SET_HANDFLOW can put them in force (the order in which a program
// sends the two does not matter). SetCommState itself refuses such a DCB before sending anything.
TEST_F(SerialControl, XonAndXoffAreNeverOneByte)
{
    auto chars = [&](UCHAR xon, UCHAR xoff) {
        SERIAL_CHARS c{};
        c.XonChar = xon;
        c.XoffChar = xoff;
        std::vector<UCHAR> bytes(sizeof c);
        std::memcpy(bytes.data(), &c, sizeof c);
        HkRequestPtr request = Port.DeviceIoControl(IOCTL_SERIAL_SET_CHARS, bytes, 0);
        request->Wait();
        return request->Status();
    };
    const std::vector<UCHAR> before = Settings(Port);
    EXPECT_EQ(chars(0x11, 0x11), STATUS_INVALID_PARAMETER) << "with XON/XOFF off";
    EXPECT_EQ(chars(0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Settings(Port), before);
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutX = dcb.InX = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    EXPECT_EQ(chars(0x13, 0x13), STATUS_INVALID_PARAMETER) << "with XON/XOFF on";
    ComDcb same = dcb;
    same.XonChar = same.XoffChar = 'q';
    const std::vector<UCHAR> settled = Settings(Port);
    EXPECT_FALSE(Port.SetCommState(same));
    EXPECT_EQ(Port.LastStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Settings(Port), settled);
}

// The counters of IOCTL_SERIAL_GET_STATS count since the handle opened (or the last
// CLEAR_STATS), and every byte the transmitter sent: the program's, the immediate character's,
// and our XOFF.
TEST_F(SerialControl, StatisticsCountFromTheOpenAndEveryByteSent)
{
    auto stats = [&] {
        HkRequestPtr request = Port.DeviceIoControl(IOCTL_SERIAL_GET_STATS, {}, 24);
        request->Wait();
        SERIALPERF_STATS s{};
        std::memcpy(&s, request->Output().data(), sizeof s);
        return s;
    };
    HmPlugLoopback(Board, 0);
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.InX = true;
    dcb.XoffLim = 4096 - 5; // the fifth byte in the queue stops the far end
    ASSERT_TRUE(Port.SetCommState(dcb));
    ASSERT_TRUE(Port.WriteFile(Bytes("data")));
    ASSERT_TRUE(Port.TransmitCommChar('i'));
    ASSERT_TRUE(HmWaitUntil([&] { return stats().ReceivedCount == 6; }))
        << "data, i and our own XOFF come back round the plug";
    EXPECT_EQ(stats().TransmittedCount, 6u);
    Port.Close();
    // The close takes our XOFF back: its XON comes round into the closed port's FIFO, which the
    // next open leaves behind (reopened before, the new handle would receive it).
    ASSERT_TRUE(HmWaitUntil([&] { return HmUart(Board, 0).RxCount == 1; }));
    OpenAt(Port, NameOf(Board, 0), 115200);
    const SERIALPERF_STATS fresh = stats();
    EXPECT_EQ(fresh.ReceivedCount, 0u);
    EXPECT_EQ(fresh.TransmittedCount, 0u);
}

// Abort on error: a receive queue overrun is an error like a line error; while the abort is in
// force reads, writes, flushes and file queries are refused, until the errors have been read.
TEST_F(SerialControl, AQueueOverrunAbortsAndTheAbortRefusesFlushesAndQueriesToo)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.AbortOnError = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    HmRemoteSend(Board, 0, std::vector<UCHAR>(4100, 'o'));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    EXPECT_FALSE(Port.FlushFileBuffers());
    EXPECT_EQ(Port.LastStatus(), STATUS_CANCELLED);
    LONGLONG size = -1;
    EXPECT_FALSE(Port.GetFileSize(&size));
    EXPECT_EQ(Port.LastStatus(), STATUS_CANCELLED);
    EXPECT_FALSE(Port.WriteFile(Bytes("w")));
    ULONG errors = 0;
    ASSERT_TRUE(Port.ClearCommError(&errors));
    EXPECT_EQ(errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
    EXPECT_TRUE(Port.FlushFileBuffers());
    EXPECT_TRUE(Port.GetFileSize(&size));
}

// PURGE_TXABORT ends the writes; a flush is no write: it completes, successfully, once the writes
// ahead of it have gone. Both report what the documentation gives, as far as the caller's output
// buffer takes it.
TEST_F(SerialControl, APurgeOfTheWritesLetsTheFlushBehindThemComplete)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    HmSetModemInputs(Board, 0, false, true, false, true);
    HkRequestPtr write = Port.WriteOverlapped(Pattern(100));
    HkRequestPtr flush = HkFlush(Port.Handle());
    EXPECT_FALSE(flush->Done());
    const ULONG mask = SERIAL_PURGE_TXABORT;
    std::vector<UCHAR> input(sizeof mask);
    std::memcpy(input.data(), &mask, sizeof mask);
    HkRequestPtr purge = Port.DeviceIoControl(IOCTL_SERIAL_PURGE, input, sizeof(ULONG));
    ASSERT_TRUE(purge->Wait());
    EXPECT_EQ(purge->Status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->Information(), sizeof(ULONG));
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(flush->Wait());
    EXPECT_EQ(flush->Status(), STATUS_SUCCESS);
}

// The modem control register: loopback for a self-test, and back. The FIFO control register: the
// trigger level and the FIFOs themselves, as the UART then has them.
TEST_F(SerialControl, TheModemAndFifoControlRegistersAsProgramsSetThem)
{
    auto ulongCode = [&](ULONG code, ULONG value) {
        std::vector<UCHAR> input(sizeof value);
        std::memcpy(input.data(), &value, sizeof value);
        HkRequestPtr request = Port.DeviceIoControl(code, input, 0);
        request->Wait();
        return request->Status();
    };
    auto modemControl = [&] {
        HkRequestPtr request = Port.DeviceIoControl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4);
        request->Wait();
        ULONG value = ~0u;
        if (request->Output().size() == sizeof value) {
            std::memcpy(&value, request->Output().data(), sizeof value);
        }
        return value;
    };
    const ULONG normal = modemControl();
    EXPECT_EQ(normal & (SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT2),
              static_cast<ULONG>(SERIAL_IOC_MCR_DTR | SERIAL_IOC_MCR_RTS | SERIAL_IOC_MCR_OUT2));
    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_MODEM_CONTROL, normal | SERIAL_IOC_MCR_LOOP),
              STATUS_SUCCESS);
    EXPECT_TRUE(HmUart(Board, 0).Mcr & SERIAL_IOC_MCR_LOOP);
    ASSERT_TRUE(Port.WriteFile(Bytes("self")));
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 100)));
    std::vector<UCHAR> echo;
    ASSERT_TRUE(Port.ReadFile(4, &echo));
    EXPECT_EQ(echo, Bytes("self")) << "round the UART's own loop";
    EXPECT_TRUE(HmRemoteTake(Board, 0).empty()) << "and not onto the line";
    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_MODEM_CONTROL, 0), STATUS_SUCCESS);
    EXPECT_EQ(modemControl(), static_cast<ULONG>(SERIAL_IOC_MCR_OUT2)) << "OUT2 stays on";
    EXPECT_FALSE(HmPortOutputs(Board, 0).Dtr);

    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_FIFO_CONTROL, SERIAL_IOC_FCR_FIFO_ENABLE |
                                                           SERIAL_IOC_FCR_RCVR_TRIGGER_LSB |
                                                           SERIAL_IOC_FCR_RCVR_TRIGGER_MSB),
              STATUS_SUCCESS);
    EXPECT_EQ(HmUart(Board, 0).RxTrigger, 56) << "the 64-byte FIFO's fourth level";
    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_FIFO_CONTROL, 0), STATUS_SUCCESS);
    EXPECT_FALSE(HmUart(Board, 0).FifoEnabled);
    HmRemoteSend(Board, 0, Pattern(300));
    std::vector<UCHAR> data;
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 1000)));
    ASSERT_TRUE(Port.ReadFile(300, &data));
    EXPECT_EQ(data, Pattern(300)) << "byte by byte without FIFOs";
    // On again: switching them off ended the 64-byte mode in the UART; what the driver loads at
    // a time must fit what the UART has now.
    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_FIFO_CONTROL, SERIAL_IOC_FCR_FIFO_ENABLE), STATUS_SUCCESS);
    EXPECT_TRUE(HmUart(Board, 0).FifoEnabled);
    ASSERT_TRUE(Port.WriteFile(Pattern(300, 2)));
    HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0 && HmUart(Board, 0).TxCount == 0; });
    EXPECT_EQ(HmRemoteTake(Board, 0), Pattern(300, 2)) << "nothing written past the FIFO's end";
    ASSERT_EQ(ulongCode(IOCTL_SERIAL_SET_MODEM_CONTROL, SERIAL_IOC_MCR_LOOP), STATUS_SUCCESS);
    Port.Close();
    OpenAt(Port, NameOf(Board, 0), 115200);
    EXPECT_FALSE(HmUart(Board, 0).Mcr & SERIAL_IOC_MCR_LOOP) << "a new handle finds no loop";
}

// Line and modem status in the data behind an escape character: a received escape character is
// doubled into a record of its own, an error comes with its line status and byte, a modem change
// with the modem status. The escape may not be XON or XOFF, nor come with error replacement.
TEST_F(SerialControl, StatusInsertionPutsLineAndModemStatusIntoTheData)
{
    auto insert = [&](UCHAR escape) {
        HkRequestPtr request =
            Port.DeviceIoControl(IOCTL_SERIAL_LSRMST_INSERT, std::vector<UCHAR>{escape}, 0);
        request->Wait();
        return request->Status();
    };
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.Parity = EVEN_PARITY;
    dcb.ByteSize = 7;
    ASSERT_TRUE(Port.SetCommState(dcb));
    EXPECT_EQ(insert(0x11), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(insert(0x13), STATUS_INVALID_PARAMETER);
    ComDcb replacing = dcb;
    replacing.ErrorCharEnabled = true;
    ASSERT_TRUE(Port.SetCommState(replacing));
    EXPECT_EQ(insert(0x7E), STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(Port.SetCommState(dcb));
    HmSetModemInputs(Board, 0, true, true, false, true);
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_EQ(insert(0x7E), STATUS_SUCCESS);

    HmRemoteSend(Board, 0, Bytes("a~b"));
    HmRemoteSendError(Board, 0, 'p', HmLineError::Parity);
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    HmSetModemInputs(Board, 0, true, true, false, false); // carrier lost
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    std::vector<UCHAR> data;
    ASSERT_TRUE(Port.ReadFile(64, &data));
    const std::vector<UCHAR> expected = {
        'a', 0x7E, SERIAL_LSRMST_ESCAPE, '~', 'b', // the escape character, escaped
        // line status with the byte: data ready, parity error, error in the FIFO, transmitter idle
        0x7E, SERIAL_LSRMST_LSR_DATA, 0x01 | 0x04 | 0x80 | 0x20 | 0x40, 'p', 0x7E,
        SERIAL_LSRMST_MST, 0x08 | 0x10 | 0x20, // DCD changed; CTS, DSR up
    };
    EXPECT_EQ(data, expected);
    ASSERT_EQ(insert(0), STATUS_SUCCESS);
    HmRemoteSend(Board, 0, Bytes("~"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(Board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_TRUE(Port.ReadFile(64, &data));
    EXPECT_EQ(data, Bytes("~")) << "off again";
}

// An XOFF counter sends its XOFF character as a write would, then completes on what comes first:
// as many bytes received as it counts, a write queued behind it, or its time-out.
struct CounterCase {
    const char* Name;
    LONG Counter;
    NTSTATUS Ends;
    std::function<void(PDEVICE_OBJECT board, ComPort& port)> Then;
};

class SerialXoffCounter : public SerialControl,
                          public ::testing::WithParamInterface<CounterCase> {};

TEST_P(SerialXoffCounter, SendsItsXoffAndEndsOnWhatComesFirst)
{
    const CounterCase& c = GetParam();
    HmSetTimeScale(0);
    SERIAL_XOFF_COUNTER counter{};
    counter.Timeout = 50;
    counter.Counter = c.Counter;
    counter.XoffChar = 0x93;
    std::vector<UCHAR> input(sizeof counter);
    std::memcpy(input.data(), &counter, sizeof counter);
    HkRequestPtr request = Port.DeviceIoControl(IOCTL_SERIAL_XOFF_COUNTER, input, 0);
    HmAdvanceTime(Ms);
    if (c.Ends != STATUS_INVALID_PARAMETER) {
        EXPECT_EQ(HmRemoteTake(Board, 0), std::vector<UCHAR>{0x93});
        EXPECT_FALSE(request->Done());
    }
    c.Then(Board, Port);
    for (int ms = 0; ms < 60 && !request->Done(); ++ms) {
        HmAdvanceTime(Ms);
    }
    ASSERT_TRUE(request->Done());
    EXPECT_EQ(request->Status(), c.Ends);
    EXPECT_EQ(request->Information(), 0u);
    HmSetTimeScale(1);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, SerialXoffCounter,
    ::testing::Values(
        CounterCase{"Counted", 5, STATUS_SUCCESS,
                    [](PDEVICE_OBJECT b, ComPort&) { HmRemoteSend(b, 0, Bytes("five!")); }},
        CounterCase{"AWriteCame", 5, STATUS_SERIAL_MORE_WRITES,
                    [](PDEVICE_OBJECT, ComPort& p) { p.WriteOverlapped(Bytes("w")); }},
        CounterCase{"TimedOut", 5, STATUS_SERIAL_COUNTER_TIMEOUT,
                    [](PDEVICE_OBJECT b, ComPort&) { HmRemoteSend(b, 0, Bytes("four")); }},
        CounterCase{"NegativeCount", -1, STATUS_INVALID_PARAMETER,
                    [](PDEVICE_OBJECT, ComPort&) {}}),
    [](const ::testing::TestParamInfo<CounterCase>& info) { return std::string(info.param.Name); });

// What kernel clients send through IRP_MJ_INTERNAL_DEVICE_CONTROL: the basic mode and back, and
// wait-wake, which a port can promise only where its stack says the device wakes the system.
TEST_F(SerialControl, TheInternalRequestsOfKernelClients)
{
    auto internal = [&](ULONG code, const std::vector<UCHAR>& input, ULONG output) {
        HkRequestPtr request = HkInternalIoControl(Port.Handle(), code, input, output);
        request->Wait();
        return request;
    };
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    dcb.RtsControl = ComDcb::RtsHandshake;
    ASSERT_TRUE(Port.SetCommState(dcb));
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(5, 6, 7, 8, 9)));
    const std::vector<UCHAR> before = Settings(Port);
    const UCHAR fcr = HmUart(Board, 0).Fcr;

    HkRequestPtr basic = internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 44);
    ASSERT_EQ(basic->Status(), STATUS_SUCCESS);
    ASSERT_EQ(basic->Information(), 44u);
    SERIAL_TIMEOUTS now{};
    ASSERT_TRUE(Port.GetCommTimeouts(&now));
    EXPECT_EQ(std::vector<ULONG>(&now.ReadIntervalTimeout, &now.ReadIntervalTimeout + 5),
              std::vector<ULONG>(5, 0))
        << "no time-outs";
    ComDcb plain;
    ASSERT_TRUE(Port.GetCommState(&plain));
    EXPECT_FALSE(plain.OutxCtsFlow);
    EXPECT_EQ(plain.RtsControl, ComDcb::RtsEnable);
    EXPECT_EQ(HmUart(Board, 0).RxTrigger, 1) << "one byte at a time";

    HkRequestPtr restore = internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic->Output(), 0);
    EXPECT_EQ(restore->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Settings(Port), before);
    EXPECT_EQ(HmUart(Board, 0).Fcr, fcr);
    std::vector<UCHAR> nonsense = basic->Output();
    nonsense[40] = 0; // no transmit load
    const HkRequestPtr refused = internal(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, nonsense, 0);
    EXPECT_EQ(refused->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Settings(Port), before) << "a refused record changes nothing";

    EXPECT_EQ(internal(IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0)->Status(), STATUS_NOT_SUPPORTED)
        << "a PCI function without wake support";
    EXPECT_EQ(internal(IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(internal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, 43)->Status(),
              STATUS_BUFFER_TOO_SMALL);
    ComPort other;
    EXPECT_EQ(other.Open(NameOf(Board, 1)), STATUS_SUCCESS);
    EXPECT_EQ(
        HkInternalIoControl(other.Handle(), IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0)->Status(),
        STATUS_NOT_SUPPORTED)
        << "each port answers its own";
}
