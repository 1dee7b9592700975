// Flow control, both ways: a port whose receive queue fills stops the sender (RTS, DTR or XOFF)
// and lets it go again once it has been read down; a port whose other end says stop (CTS, DSR,
// XOFF) stops sending. Nothing is lost either way. And RTS toggling around each transmission, the
// transmitter enable of the RS-485 boards.
#include "serial_rig.h"

#include <algorithm>
#include <functional>

namespace {

enum class Flow {
    RtsCts,
    DtrDsr,
    XonXoff,
};

std::vector<UCHAR> ReadAll(ComPort& port, size_t length)
{
    std::vector<UCHAR> all;
    while (all.size() < length) {
        std::vector<UCHAR> chunk;
        if (!port.ReadFile(static_cast<ULONG>(length - all.size()), &chunk)) {
            break;
        }
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

} // namespace

class SerialFlow : public SerialTest, public ::testing::WithParamInterface<Flow> {};

// The receiver does not read while the sender sends four times its queue: the sender is held
// (its hold reason says why), the receiver's queue never overruns, and everything arrives once it
// reads. The data is binary: no byte may be taken for XON or XOFF except with XON/XOFF flow.
TEST_P(SerialFlow, AFullReceiveQueueHoldsTheSenderAndNothingIsLost)
{
    const Flow flow = GetParam();
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort sender, receiver;
    OpenAt(sender, NameOf(board, 0), 230400);
    OpenAt(receiver, NameOf(board, 1), 230400);
    for (ComPort* port : {&sender, &receiver}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.OutxCtsFlow = flow == Flow::RtsCts;
        dcb.RtsControl = flow == Flow::RtsCts ? ComDcb::RtsHandshake : ComDcb::RtsEnable;
        dcb.OutxDsrFlow = flow == Flow::DtrDsr;
        dcb.DtrControl = flow == Flow::DtrDsr ? ComDcb::DtrHandshake : ComDcb::DtrEnable;
        dcb.OutX = dcb.InX = flow == Flow::XonXoff;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    std::vector<UCHAR> data = Pattern(16 * 1024, 7);
    if (flow == Flow::XonXoff) {
        for (UCHAR& byte : data) {
            byte = byte == 0x11 || byte == 0x13 ? 0x20 : byte; // text, as XON/XOFF needs
        }
    }
    HkRequestPtr write = sender.WriteOverlapped(data);
    const ULONG expectedHold = flow == Flow::RtsCts   ? SERIAL_TX_WAITING_FOR_CTS
                               : flow == Flow::DtrDsr ? SERIAL_TX_WAITING_FOR_DSR
                                                      : SERIAL_TX_WAITING_FOR_XON;
    // The receiver's queue fills to its XOFF limit (512 bytes free), the sender stops, and what
    // was already on its way (its transmit FIFO) still fits.
    ULONG errors = 0;
    SERIAL_STATUS queued{};
    ASSERT_TRUE(HmWaitUntil([&] {
        return receiver.ClearCommError(&errors, &queued) && queued.AmountInInQueue >= 4096 - 512;
    }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 10 * Ms));
    ASSERT_TRUE(receiver.ClearCommError(&errors, &queued));
    EXPECT_EQ(errors, 0u) << "no overrun of any kind";
    EXPECT_LE(queued.AmountInInQueue, 4096u - 512u + 64u + 2u);
    SERIAL_STATUS status{};
    ASSERT_TRUE(sender.ClearCommError(&errors, &status));
    EXPECT_EQ(status.HoldReasons & expectedHold, expectedHold) << "the sender says why it waits";
    EXPECT_FALSE(write->Done());

    EXPECT_EQ(ReadAll(receiver, data.size()), data);
    ASSERT_TRUE(write->Wait());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    ASSERT_TRUE(receiver.ClearCommError(&errors));
    EXPECT_EQ(errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SerialFlow,
                         ::testing::Values(Flow::RtsCts, Flow::DtrDsr, Flow::XonXoff),
                         [](const ::testing::TestParamInfo<Flow>& info) {
                             return info.param == Flow::RtsCts   ? std::string("RtsCts")
                                    : info.param == Flow::DtrDsr ? std::string("DtrDsr")
                                                                 : std::string("XonXoff");
                         });

class SerialFlowControl : public SerialTest {};

// RTS up asks a far end that honours it to send: the port never raises it, nor leaves it up,
// while its received-data interrupt is off, or what comes waits in a FIFO nothing empties.
// Through opens and closes, a restart after a rebalance, and a sleep.
TEST_F(SerialFlowControl, RtsIsNeverUpWhileTheReceiverIsDeaf)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    for (int round = 0; round < 2; ++round) {
        OpenAt(port, NameOf(board, 0));
        ComDcb dcb;
        ASSERT_TRUE(port.GetCommState(&dcb));
        dcb.RtsControl = ComDcb::RtsHandshake;
        ASSERT_TRUE(port.SetCommState(dcb));
        EXPECT_TRUE(HmPortOutputs(board, 0).Rts);
        ASSERT_EQ(HmRebalance(board, HmDefaultAssignment(board)), STATUS_SUCCESS);
        ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_TRUE(HmPortOutputs(board, 0).Rts);
        port.Close();
    }
    EXPECT_EQ(HmUart(board, 0).RtsWhileDeaf, 0u);
}

// The peer holds CTS low: a write waits, at most a FIFO's worth having gone before; CTS high
// again, the rest follows.
TEST_F(SerialFlowControl, ASenderStopsWhileThePeerHoldsCtsLow)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, false, true, false, true);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 115200);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(port.SetCommState(dcb));
    HkRequestPtr write = port.WriteOverlapped(Pattern(500));
    ASSERT_TRUE(HkWaitClock(HkNow() + 20 * Ms));
    EXPECT_FALSE(write->Done());
    EXPECT_TRUE(HmRemoteTake(board, 0).empty());
    HmSetModemInputs(board, 0, true, true, false, true);
    ASSERT_TRUE(write->Wait());
    std::vector<UCHAR> received;
    ASSERT_TRUE(HmWaitUntil([&] {
        std::vector<UCHAR> more = HmRemoteTake(board, 0);
        received.insert(received.end(), more.begin(), more.end());
        return received.size() >= 500;
    }));
    EXPECT_EQ(received, Pattern(500));
}

// XON and XOFF are characters the far end sent: a character that came with a framing error is
// line noise, and the error character that takes its place is data, whatever its value.
TEST_F(SerialFlowControl, OnlyCharactersThatCameWholeStopOrFreeTheTransmitter)
{
    const struct {
        const char* Name;
        UCHAR ErrorChar;
        bool HeldBefore; // a clean XOFF from the far end first
    } cases[] = {
        {"noise as XOFF does not stop it", 0x13, false},
        {"noise as XON does not free it", 0x11, true},
    };
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    for (ULONG k = 0; k < std::size(cases); ++k) {
        const auto& c = cases[k];
        SCOPED_TRACE(c.Name);
        ComPort port;
        OpenAt(port, NameOf(board, k), 115200);
        ComDcb dcb;
        ASSERT_TRUE(port.GetCommState(&dcb));
        dcb.OutX = true;
        dcb.ErrorCharEnabled = true;
        dcb.ErrorChar = c.ErrorChar;
        ASSERT_TRUE(port.SetCommState(dcb));
        if (c.HeldBefore) {
            HmRemoteSend(board, k, {0x13});
        }
        HmRemoteSendError(board, k, 'n', HmLineError::Framing);
        ASSERT_TRUE(HmWaitUntil([&] {
            SERIAL_STATUS status{};
            return port.ClearCommError(nullptr, &status) && status.AmountInInQueue == 1;
        }));
        SERIAL_STATUS status{};
        ASSERT_TRUE(port.ClearCommError(nullptr, &status));
        EXPECT_EQ(status.HoldReasons & SERIAL_TX_WAITING_FOR_XON,
                  c.HeldBefore ? ULONG{SERIAL_TX_WAITING_FOR_XON} : 0u);
        std::vector<UCHAR> data;
        ASSERT_TRUE(port.ReadFile(1, &data));
        EXPECT_EQ(data, std::vector<UCHAR>{c.ErrorChar});
    }
}

// RS-485 transmit enable: RTS is off at rest, on while a write goes out, and off again once its
// last character has left the UART, within a twentieth of a character: the other station may
// answer at once, and a transmitter still enabled would talk over it.
TEST_F(SerialFlowControl, TransmitToggleRaisesRtsOnlyWhileSending)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2C);
    ComPort port;
    OpenAt(port, NameOf(board, 1), 9600);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.RtsControl = ComDcb::RtsToggle;
    ASSERT_TRUE(port.SetCommState(dcb));
    EXPECT_FALSE(HmPortOutputs(board, 1).Rts);
    EXPECT_FALSE(port.EscapeCommFunction(SetRts)) << "RTS belongs to the toggle";
    HmSetTimeScale(0);
    HkRequestPtr write = port.WriteOverlapped(Bytes("abcd"));
    HmAdvanceTime(0); // the transmitter interrupt of the open is taken
    EXPECT_TRUE(HmPortOutputs(board, 1).Rts);
    // Four characters at 9600 baud take about 4.2 ms; the write ends when the last is in the UART.
    HmAdvanceTime(Ms);
    ASSERT_TRUE(write->Done());
    EXPECT_TRUE(HmPortOutputs(board, 1).Rts) << "still sending";
    HmAdvanceTime(3 * Ms);
    EXPECT_TRUE(HmPortOutputs(board, 1).Rts) << "the last character is still on the line";
    HmAdvanceTime(Ms / 5 + 17 * Ms / 1000); // its stop bit ended at 4.167 ms
    EXPECT_FALSE(HmPortOutputs(board, 1).Rts);
    EXPECT_EQ(HmRemoteTake(board, 1), Bytes("abcd"));
    // A write held by XOFF behind one that went out, then cancelled: nothing is left to send,
    // and RTS drops once the first has left.
    write = port.WriteOverlapped(Bytes("sent"));
    HmAdvanceTime(0);
    ASSERT_TRUE(port.EscapeCommFunction(SetXoff));
    HkRequestPtr held = port.WriteOverlapped(Bytes("held"));
    HmAdvanceTime(10 * Ms);
    ASSERT_TRUE(write->Done());
    ASSERT_FALSE(held->Done());
    held->Cancel();
    HmAdvanceTime(3 * Ms); // a character time or two
    ASSERT_TRUE(held->Done());
    EXPECT_FALSE(HmPortOutputs(board, 1).Rts) << "a station left enabled jams the bus";
    EXPECT_EQ(HmRemoteTake(board, 1), Bytes("sent"));
    // The other station answering byte after byte (an interrupt for each, with the receive
    // trigger at one) does not keep RTS up after a write either.
    ASSERT_TRUE(port.EscapeCommFunction(SetXon));
    std::vector<UCHAR> fifo(4);
    fifo[0] = SERIAL_IOC_FCR_FIFO_ENABLE;
    ASSERT_TRUE(port.DeviceIoControl(IOCTL_SERIAL_SET_FIFO_CONTROL, fifo, 0)->Wait());
    HmRemoteSend(board, 1, Pattern(40));
    write = port.WriteOverlapped(Bytes("abcd"));
    HmAdvanceTime(7 * Ms);
    ASSERT_TRUE(write->Done());
    EXPECT_GT(HmRemotePending(board, 1), 20u) << "the answer is still coming";
    EXPECT_FALSE(HmPortOutputs(board, 1).Rts) << "the last character left 2.8 ms ago";
    HmSetTimeScale(1);
}

// The receive flow state starts over when the settings change, the queue is emptied or the
// handle reopens: a far end that our XOFF stopped gets XON, or it waits for ever, and our own
// transmitter (held after sending XOFF, fTXContinueOnXoff off) sends again.
struct FlowReset {
    const char* Name;
    std::function<void(ComPort& port, const std::u16string& name)> Reset;
};

class SerialFlowReset : public SerialTest, public ::testing::WithParamInterface<FlowReset> {};

TEST_P(SerialFlowReset, AFarEndStoppedByXoffIsLetGo)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort sender, receiver;
    OpenAt(sender, NameOf(board, 0), 115200);
    OpenAt(receiver, NameOf(board, 1), 115200);
    for (ComPort* port : {&sender, &receiver}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.OutX = dcb.InX = true;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    std::vector<UCHAR> data(6000, 'd');
    HkRequestPtr write = sender.WriteOverlapped(data);
    SERIAL_STATUS status{};
    ASSERT_TRUE(HmWaitUntil([&] {
        return receiver.ClearCommError(nullptr, &status) &&
               (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    }));
    // Read down to between the XON and the XOFF limit: nothing by itself would send XON yet.
    std::vector<UCHAR> some;
    ASSERT_TRUE(receiver.ReadFile(1000, &some));
    GetParam().Reset(receiver, NameOf(board, 1));

    // Everything the sender still has comes: each read ends after 200 ms of silence at most.
    ASSERT_TRUE(receiver.SetCommTimeouts(Timeouts(0, 0, 200)));
    while (!write->Done()) {
        std::vector<UCHAR> chunk;
        ASSERT_TRUE(receiver.ReadFile(4096, &chunk));
        ASSERT_TRUE(!chunk.empty() || write->Done()) << "the sender stays stopped";
    }
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    ASSERT_TRUE(receiver.ClearCommError(nullptr, &status));
    EXPECT_EQ(status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT, 0u);
    ASSERT_TRUE(receiver.SetCommTimeouts(Timeouts(0, 0, 0, 0, 1000)));
    EXPECT_TRUE(receiver.WriteFile(Bytes("back")));
    ULONG sent = 0;
    ASSERT_TRUE(receiver.WriteFile(Bytes("!"), &sent));
    EXPECT_EQ(sent, 1u) << "our transmitter sends again";
}

INSTANTIATE_TEST_SUITE_P(Resets, SerialFlowReset,
                         ::testing::Values(FlowReset{"TheSameSettingsAgain",
                                                     [](ComPort& port, const std::u16string&) {
                                                         ComDcb dcb;
                                                         ASSERT_TRUE(port.GetCommState(&dcb));
                                                         ASSERT_TRUE(port.SetCommState(dcb));
                                                     }},
                                           FlowReset{"XonXoffTurnedOff",
                                                     [](ComPort& port, const std::u16string&) {
                                                         ComDcb dcb;
                                                         ASSERT_TRUE(port.GetCommState(&dcb));
                                                         dcb.InX = false;
                                                         ASSERT_TRUE(port.SetCommState(dcb));
                                                     }},
                                           FlowReset{"APurgeOfTheQueue",
                                                     [](ComPort& port, const std::u16string&) {
                                                         ASSERT_TRUE(
                                                             port.PurgeComm(SERIAL_PURGE_RXCLEAR));
                                                     }},
                                           FlowReset{"CloseAndReopen",
                                                     [](ComPort& port, const std::u16string& name) {
                                                         port.Close();
                                                         ASSERT_EQ(port.Open(name), STATUS_SUCCESS);
                                                     }}),
                         [](const ::testing::TestParamInfo<FlowReset>& info) {
                             return std::string(info.param.Name);
                         });

// A holding register without FIFO takes one byte while the shift register sends the one before:
// XOFF and an immediate character waiting at the same transmitter interrupt go out one per
// interrupt, XOFF first, rather than the second overwriting the first.
TEST_F(SerialFlowControl, WithoutFifosXoffAndAnImmediateCharacterBothGoOut)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    HkRegSetDword(HmDeviceKey(pdo), u"ForceFifoEnable", 0);
    ASSERT_EQ(HmRestartPort(pdo), STATUS_SUCCESS);
    ASSERT_FALSE(HmUart(board, 0).FifoEnabled);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 9600);
    HmRemoteSend(board, 0, Bytes("x"));
    SERIAL_STATUS status{};
    ASSERT_TRUE(HmWaitUntil(
        [&] { return port.ClearCommError(nullptr, &status) && status.AmountInInQueue == 1; }));
    HmSetTimeScale(0);
    // Half a character into the write, 'a' is in the shift register and 'b' in the holding
    // register; now an immediate character and (by the new limit, for the byte in the queue)
    // XOFF come to wait. The next transmitter interrupt comes as 'b' moves on.
    HkRequestPtr write = port.WriteOverlapped(Bytes("abcd"));
    HmAdvanceTime(Ms / 2);
    HkRequestPtr immediate = port.DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes("I"), 0);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.InX = true;
    dcb.XoffLim = 4095;
    dcb.XonLim = 0;
    ASSERT_TRUE(port.SetCommState(dcb));
    HmAdvanceTime(10 * Ms);
    ASSERT_TRUE(immediate->Done());
    EXPECT_EQ(HmRemoteTake(board, 0), (std::vector<UCHAR>{'a', 'b', 0x13, 'I'}))
        << "XOFF, the immediate character, and then the data waits";
    std::vector<UCHAR> x;
    ASSERT_TRUE(port.ReadFile(1, &x)); // the queue is empty: XON
    HmAdvanceTime(10 * Ms);
    ASSERT_TRUE(write->Done());
    HmSetTimeScale(1);
    EXPECT_EQ(HmRemoteTake(board, 0), (std::vector<UCHAR>{0x11, 'c', 'd'}));
}

// On the way to D3 a far end under XON/XOFF is stopped like one under a handshake line: it gets
// XOFF before the board powers down, and XON once the port is back; nothing it sent is lost.
TEST_F(SerialFlowControl, APeerUnderXonXoffIsHeldWhileThePortSleeps)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 115200);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.InX = true;
    ASSERT_TRUE(port.SetCommState(dcb));
    HmPeerFlowControl(board, 0, false, true);
    const std::vector<UCHAR> data = Pattern(3000, 5);
    std::vector<UCHAR> text = data;
    for (UCHAR& byte : text) {
        byte = byte == 0x11 || byte == 0x13 ? 0x20 : byte;
    }
    HmRemoteSend(board, 0, text);
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) < 2000; }));
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    std::vector<UCHAR> told;
    for (const HmPeerByte& b : HmPeerReceived(board, 0)) {
        told.push_back(b.Byte);
    }
    EXPECT_EQ(told, std::vector<UCHAR>{0x13}) << "XOFF before D3";
    const size_t waiting = HmRemotePending(board, 0);
    ASSERT_TRUE(HkWaitClock(HkNow() + 20 * Ms));
    EXPECT_EQ(HmRemotePending(board, 0), waiting) << "the peer holds while the port sleeps";
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 2000)));
    std::vector<UCHAR> received;
    while (received.size() < text.size()) {
        std::vector<UCHAR> chunk;
        ASSERT_TRUE(port.ReadFile(static_cast<ULONG>(text.size() - received.size()), &chunk));
        ASSERT_FALSE(chunk.empty()) << "the peer was never let go";
        received.insert(received.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(received, text);
    EXPECT_EQ(HmUart(board, 0).Overruns, 0u);
}
