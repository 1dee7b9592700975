// Sleep and wake under an open handle: the port goes to D3 with the system and comes back with
// every setting restored, and its pending requests go on.
#include "serial_rig.h"

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
