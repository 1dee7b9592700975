// Sleep and wake under an open handle: the port goes to D3 with the system and comes back with
// every setting restored, and its pending requests go on.
#include "serial_rig.h"

#include <atomic>
#include <functional>
#include <mutex>
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

// A sleep and a wake, or a rebalance's stop and start, under an open handle.
struct Interruption {
    const char* Name;
    std::function<void(PDEVICE_OBJECT board)> Go;
};

const Interruption Interruptions[] = {
    {"sleep",
     [](PDEVICE_OBJECT) {
         ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
         ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
     }},
    {"rebalance",
     [](PDEVICE_OBJECT board) {
         ASSERT_EQ(HmRebalance(board, HmDefaultAssignment(board)), STATUS_SUCCESS);
     }},
};

// DTR and RTS are the program's where no handshake drives them: as it left them they stay, over
// a sleep and a restart (a modem hung up with CLR_DTR stays hung up).
TEST_F(SerialPower, DtrAndRtsAsTheProgramSetThemSurviveASleepAndARestart)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    for (const Interruption& what : Interruptions) {
        for (bool dtr : {false, true}) {
            for (bool rts : {false, true}) {
                SCOPED_TRACE(std::string(what.Name) + (dtr ? " DTR on" : " DTR off") +
                             (rts ? " RTS on" : " RTS off"));
                ASSERT_TRUE(port.EscapeCommFunction(dtr ? SetDtr : ClrDtr));
                ASSERT_TRUE(port.EscapeCommFunction(rts ? SetRts : ClrRts));
                what.Go(board);
                EXPECT_EQ(HmPortOutputs(board, 0).Dtr, dtr);
                EXPECT_EQ(HmPortOutputs(board, 0).Rts, rts);
            }
        }
    }
}

// Coming back, the port reports what happened to the lines while it was not listening (a carrier
// lost during a sleep is an EV_RLSD), and nothing that did not happen: enabling the transmitter's
// interrupt sends nothing, so it is no EV_TXEMPTY.
TEST_F(SerialPower, BackFromASleepOrARestartThePortReportsWhatTheLinesDidAndNoMore)
{
    constexpr ULONG Mask =
        SERIAL_EV_TXEMPTY | SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, true, true, false, true);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    ASSERT_TRUE(port.SetCommMask(Mask));
    for (const Interruption& what : Interruptions) {
        SCOPED_TRACE(what.Name);
        HkRequestPtr wait = port.WaitCommEventOverlapped();
        what.Go(board);
        ASSERT_TRUE(HkWaitClock(HkNow() + 5 * Ms));
        EXPECT_FALSE(wait->Done()) << "an event nothing caused";
        wait->Cancel();
        ASSERT_TRUE(wait->Wait());
    }
    HkRequestPtr carrier = port.WaitCommEventOverlapped();
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    HmSetModemInputs(board, 0, true, true, false, false);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    ASSERT_TRUE(carrier->Wait());
    EXPECT_EQ(carrier->Output(), std::vector<UCHAR>({SERIAL_EV_RLSD, 0, 0, 0}));
}

// The power policy owner's order: the system request goes down first, and the device request made
// for it follows from its completion, on the way to sleep and back; no thread waits for the
// device request meanwhile. A lower filter between the port driver and the port device records
// the set-power requests as they pass.
std::mutex RecordedLock;
std::vector<std::pair<POWER_STATE_TYPE, ULONG>> Recorded;
PDEVICE_OBJECT RecorderLower = nullptr;

NTSTATUS RecorderPass(PDEVICE_OBJECT, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER) {
            std::lock_guard<std::mutex> guard(RecordedLock);
            Recorded.emplace_back(stack->Parameters.Power.Type,
                                  static_cast<ULONG>(stack->Parameters.Power.State.SystemState));
        }
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(RecorderLower, Irp);
    }
    const bool removal =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(Irp);
    if (!removal) {
        return IoCallDriver(RecorderLower, Irp);
    }
    // The port device may go with the removal: the filter leaves it first. (The port driver above
    // detaches from the filter once the request is back; the test deletes the filter then.)
    IoDetachDevice(RecorderLower);
    return IoCallDriver(RecorderLower, Irp);
}

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = RecorderPass;
    }
    return STATUS_SUCCESS;
}

TEST_F(SerialPower, TheSystemRequestGoesDownBeforeTheDeviceRequestMadeForIt)
{
    Options.StartPorts = false;
    HmSetPnpOptions(Options);
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    PDEVICE_OBJECT filter = AttachLowerFilter(RecorderEntry, L"recorder", pdo);
    ASSERT_NE(filter, nullptr);
    RecorderLower = pdo;
    ASSERT_EQ(HmStartPort(pdo), STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> guard(RecordedLock);
        Recorded.clear();
    }
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    HkWaitPowerRequests();
    std::unique_lock<std::mutex> guard(RecordedLock);
    const std::vector<std::pair<POWER_STATE_TYPE, ULONG>> expected = {
        {SystemPowerState, PowerSystemSleeping3},
        {DevicePowerState, PowerDeviceD3},
        {SystemPowerState, PowerSystemWorking},
        {DevicePowerState, PowerDeviceD0},
    };
    EXPECT_EQ(Recorded, expected);
    guard.unlock();
    ASSERT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS);
    IoDeleteDevice(filter);
}

// A kernel client's wait-wake on a port whose stack says the device can wake the system from S3:
// enabled, it is armed on the way to that sleep (a wait-wake request for the port device).
TEST_F(SerialPower, AnEnabledWaitWakeIsArmedOnTheWayToASleepTheDeviceWakesFrom)
{
    PDEVICE_OBJECT board = HmPlugAdapter(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(board);
    answers.Capabilities.SystemWake = PowerSystemSleeping3;
    answers.Capabilities.DeviceWake = PowerDeviceD3;
    HmSetBusAnswers(board, answers);
    ASSERT_EQ(HmAddDevice(Corcard, board), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(board), STATUS_SUCCESS);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    HkRequestPtr enable =
        HkInternalIoControl(port.Handle(), IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, {}, 0);
    ASSERT_TRUE(enable->Wait());
    ASSERT_EQ(enable->Status(), STATUS_SUCCESS);
    auto armed = [&] {
        size_t count = 0;
        for (const HkPowerRequest& request : HkPowerRequests()) {
            count += request.MinorFunction == IRP_MN_WAIT_WAKE &&
                     request.Target == HmPortDevices(board)[0];
        }
        return count;
    };
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(armed(), 1u);
    HkRequestPtr disable =
        HkInternalIoControl(port.Handle(), IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, {}, 0);
    ASSERT_TRUE(disable->Wait());
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(armed(), 1u) << "not armed once cancelled";
}
