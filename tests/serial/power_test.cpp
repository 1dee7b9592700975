// Sleep and wake under an open handle: the port goes to D3 with the system and comes back with
// every setting restored, and its pending requests go on.
#include "serial_rig.h"

#include <atomic>
#include <thread>

class SerialPower : public SerialTest {};

TEST_F(SerialPower, AnOpenHandleSleepsAndWakesWithItsSettingsAndRequests)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    OpenAt(a, NameOf(board, 0), 57600);
    OpenAt(b, NameOf(board, 1), 57600);
    for (ComPort* port : {&a, &b}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.ByteSize = 7;
        dcb.Parity = ODD_PARITY;
        dcb.OutxCtsFlow = true;
        dcb.RtsControl = ComDcb::RtsHandshake;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    ASSERT_TRUE(b.SetCommMask(SERIAL_EV_RXFLAG));
    HkRequestPtr read = b.ReadOverlapped(8);
    const HmUartView before = HmUart(board, 1);

    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_NE(HmBusDevicePower(board), PowerDeviceD0);
    EXPECT_FALSE(read->Done());
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);

    const HmUartView after = HmUart(board, 1);
    EXPECT_EQ(after.Divisor, before.Divisor);
    EXPECT_EQ(after.Lcr, before.Lcr);
    EXPECT_EQ(after.Ier, before.Ier);
    EXPECT_EQ(after.Mcr, before.Mcr);
    EXPECT_EQ(after.Fcr, before.Fcr);
    EXPECT_EQ(after.Fifo64, before.Fifo64);
    ASSERT_TRUE(a.WriteFile(Bytes("awake!\n!")));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Bytes("awake!\n!"));
    ComDcb dcb;
    ASSERT_TRUE(b.GetCommState(&dcb));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    ULONG mask = 0;
    ASSERT_TRUE(b.GetCommMask(&mask));
    EXPECT_EQ(mask, static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

// A write under way when the system sleeps goes on after the wake, with nothing lost: both ends
// use the RTS/CTS handshake, so whichever port goes down first stops the other in time.
TEST_F(SerialPower, AHandshakedWriteUnderWayGoesOnAfterTheWake)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    OpenAt(a, NameOf(board, 0), 19200);
    OpenAt(b, NameOf(board, 1), 19200);
    for (ComPort* port : {&a, &b}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.OutxCtsFlow = true;
        dcb.RtsControl = ComDcb::RtsHandshake;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    HkRequestPtr read = b.ReadOverlapped(1000);
    HkRequestPtr write = a.WriteOverlapped(Pattern(1000));
    ASSERT_TRUE(HkWaitClock(HkNow() + 100 * Ms)); // about 190 characters are across
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(write->Wait());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Pattern(1000));
}

// On the way to sleep the port drops RTS and waits for the far end to fall silent before the board
// powers down. Neither a program handing over its handshake settings again nor a read that takes
// a queue under flow control back below its XON limit may raise RTS in that time: the far end
// would send into a port about to lose power. The clock stands still, so the port is held in that
// wait while the test acts.
TEST_F(SerialPower, NothingRaisesTheHandshakeWhileThePortGoesToSleep)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmPeerFlowControl(board, 0, true, false);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 115200);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.RtsControl = ComDcb::RtsHandshake;
    ASSERT_TRUE(port.SetCommState(dcb));
    ComDcb stopAtOnce = dcb;
    stopAtOnce.XoffLim = 4096; // the whole queue: flow off whatever it holds
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    for (bool read : {false, true}) {
        SCOPED_TRACE(read ? "a read empties the queue" : "the handshake is set again");
        HmRemoteSend(board, 0, Pattern(100));
        ASSERT_TRUE(HmWaitUntil([&] {
            SERIAL_STATUS status{};
            return port.ClearCommError(nullptr, &status) && status.AmountInInQueue == 100;
        }));
        ASSERT_TRUE(HmPortOutputs(board, 0).Rts);
        HmSetTimeScale(0);
        std::atomic<bool> asleep{false};
        std::thread sleeper([&] {
            EXPECT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
            asleep = true;
        });
        EXPECT_TRUE(HmWaitUntil([&] { return !HmPortOutputs(board, 0).Rts; }));
        if (read) {
            EXPECT_TRUE(port.SetCommState(stopAtOnce));
            std::vector<UCHAR> data;
            EXPECT_TRUE(port.ReadFile(100, &data));
            EXPECT_EQ(data, Pattern(100));
        } else {
            EXPECT_TRUE(port.SetCommState(dcb));
        }
        EXPECT_FALSE(HmPortOutputs(board, 0).Rts) << "RTS raised on the way to sleep";
        while (!asleep) {
            HmAdvanceTime(Ms);
        }
        sleeper.join();
        HmSetTimeScale(1);
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_TRUE(port.SetCommState(dcb));
        EXPECT_TRUE(HmPortOutputs(board, 0).Rts);
        std::vector<UCHAR> rest;
        ASSERT_TRUE(port.ReadFile(100, &rest));
    }
}

// Device power requests reach a port that has not started (its start failed for want of a name):
// they change nothing that its later start would find, and the port then works as any other.
TEST_F(SerialPower, APortThatHasNotStartedTakesDevicePowerAndStartsLaterAsAnyOther)
{
    Options.AssignPortNames = false;
    Options.RemoveOnFailedStart = false;
    HmSetPnpOptions(Options);
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
        POWER_STATE power;
        power.DeviceState = state;
        EXPECT_EQ(HmSendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, power).Status,
                  STATUS_SUCCESS);
    }
    HkRegSetString(HmDeviceKey(pdo), u"PortName", u"COM5");
    ASSERT_EQ(HmStartPort(pdo), STATUS_SUCCESS);
    ComPort port;
    OpenAt(port, u"COM5");
    ASSERT_TRUE(port.WriteFile(Pattern(100)));
    ASSERT_TRUE(HmWaitUntil([&] { return HmUart(board, 0).TxCount == 0; }));
    HkWaitClock(HkNow() + 2 * Ms); // the last character's stop bit
    EXPECT_EQ(HmRemoteTake(board, 0), Pattern(100));
    EXPECT_EQ(HmUart(board, 0).Mcr & 0x03, 0x03) << "DTR and RTS up";
}

// While the port is in D3 its UART is not there to ask: the modem lines are answered from what
// the port last knew, not from registers that read all ones.
TEST_F(SerialPower, AsleepTheModemLinesComeFromWhatThePortLastKnew)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, true, false, false, true);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ULONG awake = 0;
    ASSERT_TRUE(port.GetCommModemStatus(&awake));
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ULONG asleep = 0;
    EXPECT_TRUE(port.GetCommModemStatus(&asleep));
    EXPECT_EQ(asleep, awake);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
}
