// Read and write time-outs as the serial interface defines them, measured on the simulated
// clock, which these tests stop and move themselves: the interval between bytes, the total for a
// request, "return at once" and "wait for the first byte", and a write held by the other end's
// flow control that times out with what it sent.
#include "serial_rig.h"

#include <functional>

class SerialTimeouts : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        Board = Plug(HmModel::LX2A);
        OpenAt(Port, NameOf(Board, 0), 115200);
        HmSetTimeScale(0);
    }
    void TearDown() override
    {
        HmSetTimeScale(1);
        Port.Close();
        SerialTest::TearDown();
    }

    // At 115200 baud 8N1 a character takes 10 / 115200 s, about 87 us.
    void PeerSends(const std::string& text) { HmRemoteSend(Board, 0, Bytes(text)); }

    PDEVICE_OBJECT Board = nullptr;
    ComPort Port;
};

// An interval time-out ends a read once no byte has come for that long after the last one; it
// returns what came (STATUS_TIMEOUT is a success: ReadFile says TRUE).
TEST_F(SerialTimeouts, AnIntervalTimeoutReturnsWhatCameOnceTheLineFallsSilent)
{
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(20, 0, 0)));
    HkRequestPtr read = Port.ReadOverlapped(100);
    HmAdvanceTime(50 * Ms);
    EXPECT_FALSE(read->Done()) << "the interval counts only from the first byte";
    const LONGLONG sent = HkNow();
    PeerSends("0123456789");
    HmAdvanceTime(10 * Ms);
    EXPECT_FALSE(read->Done()) << "the line has been quiet for less than the interval";
    HmAdvanceTime(12 * Ms);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Output(), Bytes("0123456789"));
    // The last byte arrives about 0.9 ms after the first was sent; the driver learns of it
    // from the UART's character time-out (four character times, 0.35 ms: ten bytes stay below
    // the FIFO's trigger), and the read ends 20 ms after that.
    const LONGLONG quiet = read->CompletedAt() - sent;
    EXPECT_GE(quiet, 20 * Ms + 12 * Ms / 10);
    EXPECT_LE(quiet, 20 * Ms + 13 * Ms / 10);
}

TEST_F(SerialTimeouts, ATotalTimeoutEndsTheReadAtMultiplierTimesLengthPlusConstant)
{
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 2, 30)));
    HkRequestPtr read = Port.ReadOverlapped(10);
    PeerSends("abc");
    HmAdvanceTime(49 * Ms);
    EXPECT_FALSE(read->Done());
    HmAdvanceTime(2 * Ms);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(read->Output(), Bytes("abc"));
    EXPECT_EQ(read->CompletedAt() - read->IssuedAt(), 50 * Ms);
}

TEST_F(SerialTimeouts, MaxIntervalAndNoTotalReturnAtOnceWithWhatIsThere)
{
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    HkRequestPtr empty = Port.ReadOverlapped(100);
    ASSERT_TRUE(empty->Done()) << "without any time passing";
    EXPECT_EQ(empty->Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty->Information(), 0u);
    PeerSends("xyz");
    HmAdvanceTime(Ms);
    HkRequestPtr some = Port.ReadOverlapped(100);
    ASSERT_TRUE(some->Done());
    EXPECT_EQ(some->Output(), Bytes("xyz"));
}

// Interval and multiplier MAXULONG, a constant: at once with what is there; with nothing there,
// as soon as a byte comes; or a time-out after the constant.
TEST_F(SerialTimeouts, WaitForTheFirstByteReturnsWithItOrTimesOut)
{
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(MAXULONG, MAXULONG, 200)));
    HkRequestPtr nothing = Port.ReadOverlapped(50);
    HmAdvanceTime(199 * Ms);
    EXPECT_FALSE(nothing->Done());
    HmAdvanceTime(2 * Ms);
    ASSERT_TRUE(nothing->Done());
    EXPECT_EQ(nothing->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(nothing->Information(), 0u);

    HkRequestPtr first = Port.ReadOverlapped(50);
    HmAdvanceTime(30 * Ms);
    EXPECT_FALSE(first->Done());
    const LONGLONG sent = HkNow();
    PeerSends("hello");
    HmAdvanceTime(Ms);
    ASSERT_TRUE(first->Done()) << "the first bytes end it";
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Output(), Bytes("hello")) << "all five reach the driver together";
    // Five characters, then the FIFO's character time-out: 0.8 ms.
    EXPECT_LT(first->CompletedAt() - sent, Ms);
}

// The other end drops CTS in the middle of a write: the write stops, and when its total time-out
// ends it, it reports exactly the bytes that went out. The write queued behind it starts then,
// with a time-out of its own; one queued behind a cancelled write goes out once CTS is back.
TEST_F(SerialTimeouts, AWriteHeldByFlowControlTimesOutWithWhatItSent)
{
    HmSetModemInputs(Board, 0, true, true, false, true);
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 0, 0, 100)));
    HkRequestPtr write = Port.WriteOverlapped(Pattern(2000));
    HkRequestPtr next = Port.WriteOverlapped(Pattern(10, 2));
    HmAdvanceTime(30 * Ms); // about 340 characters
    HmSetModemInputs(Board, 0, false, true, false, true);
    HmAdvanceTime(71 * Ms);
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(write->CompletedAt() - write->IssuedAt(), 100 * Ms);
    const size_t received = HmRemoteTake(Board, 0).size();
    EXPECT_EQ(write->Information(), received);
    EXPECT_GT(received, 300u);
    EXPECT_LT(received, 500u);
    ULONG errors = 0;
    SERIAL_STATUS status{};
    ASSERT_TRUE(Port.ClearCommError(&errors, &status));
    EXPECT_EQ(status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS, SERIAL_TX_WAITING_FOR_CTS);
    EXPECT_EQ(status.AmountInOutQueue, 10u);

    HmAdvanceTime(100 * Ms);
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(next->CompletedAt() - write->CompletedAt(), 100 * Ms);
    EXPECT_EQ(next->Information(), 0u);

    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 0)));
    HkRequestPtr cancelled = Port.WriteOverlapped(Pattern(10, 3));
    HkRequestPtr after = Port.WriteOverlapped(Pattern(10, 4));
    EXPECT_TRUE(cancelled->Cancel());
    ASSERT_TRUE(cancelled->Wait());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    HmSetModemInputs(Board, 0, true, true, false, true);
    HmAdvanceTime(2 * Ms);
    ASSERT_TRUE(after->Done());
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_EQ(HmRemoteTake(Board, 0), Pattern(10, 4));
}

// The time-outs are about the line, whatever the FIFO's trigger level: at 2400 baud a character
// takes 4.17 ms and the default trigger (32 of the 64-byte FIFO) hands bytes over every 133 ms,
// yet a 50 ms interval between bytes that keep coming does not end the read, and a total
// time-out returns every byte that had arrived when it fell due, the FIFO's included.
TEST_F(SerialTimeouts, TheyCountTheBytesWaitingInTheUartsFifo)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.BaudRate = 2400;
    ASSERT_TRUE(Port.SetCommState(dcb));
    ASSERT_EQ(HmUart(Board, 0).RxTrigger, 32);
    constexpr LONGLONG Character = 10 * 10000000LL / 2400; // 100 ns units

    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(50, 0, 0)));
    HkRequestPtr interval = Port.ReadOverlapped(200);
    const LONGLONG sent = HkNow();
    HmRemoteSend(Board, 0, Pattern(100));
    while (!interval->Done() && HkNow() - sent < 1000 * Ms) {
        HmAdvanceTime(Ms);
    }
    ASSERT_TRUE(interval->Done());
    EXPECT_EQ(interval->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(interval->Output(), Pattern(100)) << "one message, not its first burst";
    const LONGLONG last = sent + 100 * Character;
    EXPECT_GE(interval->CompletedAt(), last + 50 * Ms);
    EXPECT_LE(interval->CompletedAt(), last + 50 * Ms + 5 * Character);

    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 210)));
    HkRequestPtr total = Port.ReadOverlapped(100);
    const LONGLONG start = HkNow();
    HmRemoteSend(Board, 0, Pattern(100, 2));
    HmAdvanceTime(211 * Ms);
    ASSERT_TRUE(total->Done());
    EXPECT_EQ(total->Status(), STATUS_TIMEOUT);
    const size_t arrived = static_cast<size_t>((total->CompletedAt() - start) / Character);
    EXPECT_GE(total->Information(), arrived - 1) << arrived << " characters had arrived";
    std::vector<UCHAR> head = Pattern(100, 2);
    head.resize(total->Information());
    EXPECT_EQ(total->Output(), head);
}

// A time-out's DPC that was already queued when its request ended (KeCancelTimer cannot take it
// back) finds the next request not yet due, and leaves it to its own time-out: reads and writes.
TEST_F(SerialTimeouts, AStaleTimeoutDoesNotEndTheNextRequest)
{
    ComDcb dcb;
    ASSERT_TRUE(Port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(Port.SetCommState(dcb));
    HmSetModemInputs(Board, 0, false, true, false, true); // writes wait for CTS
    ASSERT_TRUE(Port.SetCommTimeouts(Timeouts(0, 0, 100, 0, 100)));
    const std::function<HkRequestPtr()> kinds[] = {
        [&] { return Port.ReadOverlapped(10); },
        [&] { return Port.WriteOverlapped(Pattern(10)); },
    };
    for (const auto& issue : kinds) {
        HkRequestPtr first = issue();
        HkHoldTimerDpcs(true);
        HmAdvanceTime(100 * Ms);
        ASSERT_EQ(HkHeldDpcs(), 1u) << "its time-out fell due";
        first->Cancel(); // it ends another way before its DPC runs
        ASSERT_TRUE(first->Wait());
        HkRequestPtr next = issue();
        HkHoldTimerDpcs(false);
        HkReleaseHeldDpcs();
        HkWaitDpcsIdle();
        EXPECT_FALSE(next->Done()) << "ended by the time-out of the one before";
        HmAdvanceTime(100 * Ms);
        ASSERT_TRUE(next->Done());
        EXPECT_EQ(next->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(next->CompletedAt() - next->IssuedAt(), 100 * Ms);
    }
}
