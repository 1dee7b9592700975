// WaitCommEvent: each event of the mask, caused the way it happens on a line; the mask's rules
// (a new mask ends a pending wait empty, one wait at a time, history kept until asked for).
#include "serial_rig.h"

#include <cstring>
#include <functional>
#include <thread>

struct EventCase {
    const char* Name;
    ULONG Event;
    std::function<void(PDEVICE_OBJECT board, ComPort& port)> Cause;
};

class SerialEvents : public SerialTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(SerialEvents, AWaitEndsWithTheEventThatHappened)
{
    const EventCase& c = GetParam();
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, true, true, false, true);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 115200);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms)); // the modem lines have settled
    ASSERT_TRUE(port.SetCommMask(c.Event));
    HkRequestPtr wait = port.WaitCommEventOverlapped();
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_FALSE(wait->Done()) << "nothing has happened yet";
    c.Cause(board, port);
    ASSERT_TRUE(wait->Wait());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    ASSERT_EQ(wait->Output().size(), 4u);
    ULONG events;
    std::memcpy(&events, wait->Output().data(), 4);
    EXPECT_EQ(events, c.Event);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Events, SerialEvents, ::testing::Values(
    EventCase{"RxChar", SERIAL_EV_RXCHAR,
              [](PDEVICE_OBJECT b, ComPort&) { HmRemoteSend(b, 0, Bytes("x")); }},
    EventCase{"RxFlag", SERIAL_EV_RXFLAG,
              [](PDEVICE_OBJECT b, ComPort&) { HmRemoteSend(b, 0, Bytes("line\n")); }},
    EventCase{"TxEmpty", SERIAL_EV_TXEMPTY,
              [](PDEVICE_OBJECT, ComPort& p) { p.WriteOverlapped(Bytes("out")); }},
    EventCase{"Cts", SERIAL_EV_CTS,
              [](PDEVICE_OBJECT b, ComPort&) { HmSetModemInputs(b, 0, false, true, false, true); }},
    EventCase{"Dsr", SERIAL_EV_DSR,
              [](PDEVICE_OBJECT b, ComPort&) { HmSetModemInputs(b, 0, true, false, false, true); }},
    EventCase{"Rlsd", SERIAL_EV_RLSD,
              [](PDEVICE_OBJECT b, ComPort&) { HmSetModemInputs(b, 0, true, true, false, false); }},
    EventCase{"Ring", SERIAL_EV_RING,
              [](PDEVICE_OBJECT b, ComPort&) {
                  HmSetModemInputs(b, 0, true, true, true, true);
                  HmSetModemInputs(b, 0, true, true, false, true);
              }},
    EventCase{"Break", SERIAL_EV_BREAK,
              [](PDEVICE_OBJECT b, ComPort&) { HmPeerSendBreak(b, 0, 2 * Ms); }},
    EventCase{"Err", SERIAL_EV_ERR,
              [](PDEVICE_OBJECT b, ComPort&) { HmRemoteSendError(b, 0, 'p', HmLineError::Framing); }},
    EventCase{"Rx80Full", SERIAL_EV_RX80FULL,
              [](PDEVICE_OBJECT b, ComPort&) {
                  HmRemoteSend(b, 0, std::vector<UCHAR>(4096 * 8 / 10 + 10, 'f'));
              }}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.Name); });
// clang-format on

class SerialWaitMask : public SerialTest {};

TEST_F(SerialWaitMask, ANewMaskEndsAPendingWaitWithNoEventAndOneWaitAtATime)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ULONG events = 0xFFFF;
    EXPECT_FALSE(port.WaitCommEvent(&events)) << "no mask, nothing to wait for";
    EXPECT_EQ(port.LastStatus(), STATUS_INVALID_PARAMETER);

    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_RXCHAR));
    HkRequestPtr first = port.WaitCommEventOverlapped();
    HkRequestPtr second = port.WaitCommEventOverlapped();
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first->Done());

    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_CTS | SERIAL_EV_DSR));
    ASSERT_TRUE(first->Wait());
    EXPECT_EQ(first->Status(), STATUS_SUCCESS);
    EXPECT_EQ(first->Output(), std::vector<UCHAR>(4, 0));
    ULONG mask = 0;
    ASSERT_TRUE(port.GetCommMask(&mask));
    EXPECT_EQ(mask, SERIAL_EV_CTS | SERIAL_EV_DSR);
    EXPECT_FALSE(port.SetCommMask(0x8000)) << "no such event";
    ASSERT_TRUE(port.GetCommMask(&mask));
    EXPECT_EQ(mask, SERIAL_EV_CTS | SERIAL_EV_DSR) << "a refused mask changes nothing";
}

// EV_TXEMPTY means the last character went out: nudging an idle transmitter (XON, the end of
// a break) sends nothing and ends no wait.
TEST_F(SerialWaitMask, TxEmptyComesOnlyAfterCharactersWentOut)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0), 115200);
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_TXEMPTY));
    HkRequestPtr wait = port.WaitCommEventOverlapped();
    ASSERT_TRUE(port.EscapeCommFunction(SetXon));
    ASSERT_TRUE(port.EscapeCommFunction(SetBreak));
    ASSERT_TRUE(port.EscapeCommFunction(ClrBreak));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    EXPECT_FALSE(wait->Done());
    ASSERT_TRUE(port.WriteFile(Bytes("x")));
    ASSERT_TRUE(wait->Wait());
    ULONG events = 0;
    ASSERT_EQ(wait->Output().size(), sizeof(events));
    std::memcpy(&events, wait->Output().data(), sizeof(events));
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// Events that happen while nobody waits are kept and reported by the next wait at once.
TEST_F(SerialWaitMask, EventsBetweenWaitsAreReportedByTheNextWait)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    HmRemoteSend(board, 0, Bytes("a"));
    HmSetModemInputs(board, 0, true, false, false, false);
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ULONG events = 0;
    ASSERT_TRUE(port.WaitCommEvent(&events));
    EXPECT_EQ(events, SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
}

// An event that the callback records at any step of a wait on its way in ends the wait: between
// the steps a wait takes with the callback, another processor's interrupt can come. Here the
// modem's CTS changes at each such step in turn (the hardware thread takes the interrupt while
// the wait is held there), and the wait must end with it once every DPC has run.
TEST_F(SerialWaitMask, AnEventAtAnyStepOfAWaitOnItsWayInEndsIt)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    bool cts = true;
    HmSetModemInputs(board, 0, cts, true, false, true);
    for (unsigned point = 1;; ++point) {
        SCOPED_TRACE("point " + std::to_string(point));
        ASSERT_TRUE(port.SetCommMask(SERIAL_EV_CTS));
        unsigned reached = 0;
        HkSetSynchronizeHook([&] {
            if (++reached != point) {
                return;
            }
            // The interrupt comes on the hardware thread; once it has read a register it holds
            // the interrupt's lock, and whatever the wait does next comes after it.
            const size_t before = HkIoAccessCount();
            cts = !cts;
            std::thread other([&] { HmSetModemInputs(board, 0, cts, true, false, true); });
            other.join();
            HmWaitUntil([&] { return HkIoAccessCount() > before; });
        });
        HkRequestPtr wait = port.WaitCommEventOverlapped();
        HkSetSynchronizeHook({});
        if (reached < point) {
            wait->Cancel();
            ASSERT_TRUE(wait->Wait());
            EXPECT_GE(point, 3u) << "a wait takes at least two steps with the callback";
            break; // every step of the wait has been tried
        }
        HkWaitDpcsIdle();
        ASSERT_TRUE(wait->Done()) << "the event was recorded and nothing ended the wait";
        EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
        EXPECT_EQ(wait->Output(), std::vector<UCHAR>({SERIAL_EV_CTS, 0, 0, 0}));
    }
}
