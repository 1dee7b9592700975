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
    ULONG Input;  // bytes it needs
    ULONG Output; // bytes it fills
};

// clang-format off
const CodeShape Codes[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {"PURGE", IOCTL_SERIAL_PURGE, 4, 0},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, 0, 24},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
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
// written by the driver: never a byte of the I/O manager's buffer as it was handed over.
TEST_F(SerialControl, EveryCodeWithEverySizeAnswersAsDocumentedAndLeaksNothing)
{
    ASSERT_TRUE(Port.SetCommMask(SERIAL_EV_RXCHAR));
    for (const CodeShape& code : Codes) {
        for (ULONG in = 0; in <= code.Input + 1; ++in) {
            for (ULONG out = 0; out <= code.Output + 1; ++out) {
                SCOPED_TRACE(std::string(code.Name) + " in " + std::to_string(in) + " out " +
                             std::to_string(out));
                const std::vector<UCHAR> before = Settings(Port);
                HkRequestPtr request =
                    Port.DeviceIoControl(code.Code, std::vector<UCHAR>(in, 0), out);
                if (!request->Done()) {
                    // A wait on the mask, or an immediate character: ended by a cancel.
                    request->Cancel();
                }
                ASSERT_TRUE(request->Wait());
                const NTSTATUS status = request->Status();
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
                EXPECT_EQ(request->Information(), NT_SUCCESS(status) ? code.Output : 0u);
                const std::vector<UCHAR> output = request->Output();
                if (code.Output >= 4 && !output.empty()) {
                    // A record of zeros is possible; the I/O manager's fill in every byte is not.
                    EXPECT_NE(output, std::vector<UCHAR>(output.size(), HkSystemBufferFill));
                }
            }
        }
        // Put back what a code of zeros changed (a zero wait mask, zero timeouts stay fine).
        ASSERT_TRUE(Port.SetCommMask(SERIAL_EV_RXCHAR));
        ComDcb dcb;
        ASSERT_TRUE(Port.SetCommState(dcb));
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
         {static_cast<ULONG>(IOCTL_SERIAL_LSRMST_INSERT),
          static_cast<ULONG>(IOCTL_SERIAL_XOFF_COUNTER),
          static_cast<ULONG>(IOCTL_SERIAL_GET_MODEM_CONTROL),
          static_cast<ULONG>(
              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 60, METHOD_BUFFERED, FILE_ANY_ACCESS)),
          static_cast<ULONG>(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS))}) {
        HkRequestPtr request = Port.DeviceIoControl(code, std::vector<UCHAR>(16, 0), 16);
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    }
}

// Values a port cannot take are refused: rates the clock does not make within 1 %, line
// settings the UART has no form for, equal XON and XOFF under XON/XOFF flow, limits past the
// queue, "wait for the first byte" with no time-out.
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
    EXPECT_TRUE(refused([](ComDcb& d) {
        d.OutX = true;
        d.XonChar = d.XoffChar = 0x11;
    }));
    for (ULONG rate : {75u, 110u, 134u, 300u, 1200u, 9600u, 14400u, 56000u, 128000u, 921600u}) {
        ComDcb dcb = good;
        dcb.BaudRate = rate;
        EXPECT_TRUE(Port.SetCommState(dcb)) << rate;
        EXPECT_EQ(HmUart(Board, 0).Divisor, (HmUartClock + 8 * rate) / (16 * rate)) << rate;
    }
    EXPECT_FALSE(Port.SetCommTimeouts(Timeouts(MAXULONG, MAXULONG, MAXULONG)));
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
