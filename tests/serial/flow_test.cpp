// Flow control, both ways: a port whose receive queue fills stops the sender (RTS, DTR or XOFF)
// and lets it go again once it has been read down; a port whose other end says stop (CTS, DSR,
// XOFF) stops sending. Nothing is lost either way. And RTS toggling around each transmission, the
// transmitter enable of the RS-485 boards.
#include "serial_rig.h"

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
    HmSetTimeScale(1);
}
