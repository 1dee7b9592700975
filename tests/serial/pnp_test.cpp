// A port's life as the platform drives it: bound through the port bus interface, named, programmed
// from its device key, stopped and restarted by a rebalance, restarted by a property change,
// surprise-removed and removed; and what it leaves behind (nothing).
#include "serial_rig.h"

#include "corcard.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

namespace {

const std::u16string SerialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::u16string DeviceMapEntry(const std::u16string& deviceName)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(SerialComm, deviceName, &type, &data) || type != REG_SZ) {
        return {};
    }
    std::u16string text(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    return text.substr(0, text.find(u'\0'));
}

ULONG DeviceKeyDword(PDEVICE_OBJECT port, const std::u16string& name)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(HmDeviceKey(port), name, &type, &data) || type != REG_DWORD ||
        data.size() != 4) {
        return 0xFFFFFFFF;
    }
    return data[0] | data[1] << 8 | data[2] << 16 | static_cast<ULONG>(data[3]) << 24;
}

bool InterfaceEnabledFor(PDEVICE_OBJECT port)
{
    for (const HkDeviceInterface& entry : HkDeviceInterfaces()) {
        if (entry.Pdo == port) {
            return entry.Enabled;
        }
    }
    return false;
}

std::vector<std::string> EventSentences()
{
    std::vector<std::string> sentences;
    for (const HkErrorLogEntry& entry : HkErrorLog()) {
        sentences.push_back(HmNarrow(entry.Text));
    }
    return sentences;
}

bool Logged(const std::string& sentence)
{
    std::vector<std::string> all = EventSentences();
    return std::find(all.begin(), all.end(), sentence) != all.end();
}

} // namespace

class SerialPnp : public SerialTest {};

// Every port of a board is a COM port: named from its device key (COM3 up), listed in SERIALCOMM,
// its interface enabled, its UART programmed quiet until a handle opens it, and the FIFO
// defaults written back so that the property page shows them.
TEST_F(SerialPnp, EveryPortOfABoardBecomesAComPort)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX4A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(board);
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(AdapterOf(board->AttachedDevice)->InterfaceRefCount, 4) << "one per bound port";
    for (ULONG i = 0; i < ports.size(); ++i) {
        const std::u16string name = u"COM" + std::u16string(1, static_cast<char16_t>(u'3' + i));
        EXPECT_EQ(NameOf(board, i), name);
        const std::u16string device = u"\\Device\\CorSerial" + std::u16string(1, u'0' + i);
        EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\" + name), device);
        EXPECT_EQ(DeviceMapEntry(device), name);
        EXPECT_TRUE(InterfaceEnabledFor(ports[i]));
        EXPECT_EQ(DeviceKeyDword(ports[i], u"EnableFifo64"), 1u);
        EXPECT_EQ(DeviceKeyDword(ports[i], u"RxFIFO"), 8u);
        EXPECT_EQ(DeviceKeyDword(ports[i], u"TxFIFO"), 16u);

        HmUartView uart = HmUart(board, i);
        EXPECT_EQ(uart.Ier, 0) << "no interrupt source while closed";
        EXPECT_EQ(uart.Mcr & 0x03, 0) << "DTR and RTS low while closed";
        EXPECT_TRUE(uart.FifoEnabled);
        EXPECT_TRUE(uart.Fifo64);
        EXPECT_EQ(uart.RxTrigger, 32);
        EXPECT_EQ(uart.Divisor, HmUartClock / 16 / 9600);
        EXPECT_EQ(uart.Lcr, 0x03) << "8N1";
    }
    EXPECT_TRUE(HkErrorLog().empty());
}

TEST_F(SerialPnp, OpenRaisesTheModemLinesAndInterruptsAndCloseDropsThem)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    {
        ComPort port;
        ASSERT_EQ(port.Open(NameOf(board, 1)), STATUS_SUCCESS);
        HmUartView open = HmUart(board, 1);
        EXPECT_EQ(open.Ier, 0x0F);
        EXPECT_EQ(open.Mcr & 0x0B, 0x0B) << "DTR, RTS and OUT2";
        EXPECT_TRUE(HmPortOutputs(board, 1).Dtr);
    }
    HmUartView closed = HmUart(board, 1);
    EXPECT_EQ(closed.Ier, 0);
    EXPECT_EQ(closed.Mcr & 0x03, 0);
}

// The property page's values reach the UART at the next start: the receive trigger as the
// 16-byte FIFO counts it (four times larger positions with the 64-byte FIFO), the FIFOs off.
struct FifoCase {
    ULONG Rx, Fifo64, Force;
    bool Enabled, Mode64;
    UCHAR Trigger;
};
class SerialFifoSettings : public SerialTest, public ::testing::WithParamInterface<FifoCase> {};

TEST_P(SerialFifoSettings, ReachTheUartAtTheNextStart)
{
    const FifoCase& c = GetParam();
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(board)[0];
    HkRegSetDword(HmDeviceKey(port), u"RxFIFO", c.Rx);
    HkRegSetDword(HmDeviceKey(port), u"EnableFifo64", c.Fifo64);
    HkRegSetDword(HmDeviceKey(port), u"ForceFifoEnable", c.Force);
    ASSERT_EQ(HmRestartPort(port), STATUS_SUCCESS);
    HmUartView uart = HmUart(board, 0);
    EXPECT_EQ(uart.FifoEnabled, c.Enabled);
    EXPECT_EQ(uart.Fifo64, c.Mode64);
    EXPECT_EQ(uart.RxTrigger, c.Trigger);
    EXPECT_TRUE(HkErrorLog().empty());
}

INSTANTIATE_TEST_SUITE_P(Values, SerialFifoSettings,
                         ::testing::Values(FifoCase{1, 0, 1, true, false, 1},
                                           FifoCase{14, 0, 1, true, false, 14},
                                           FifoCase{4, 1, 1, true, true, 16},
                                           FifoCase{14, 1, 1, true, true, 56},
                                           FifoCase{8, 1, 0, false, false, 1}));

// A value of the wrong type or out of range is replaced by its default, and the event log says
// which; the port starts all the same.
TEST_F(SerialPnp, WrongDeviceKeyValuesFallBackToTheirDefaultsWithAnEvent)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(board)[0];
    const std::u16string key = HmDeviceKey(port);
    HkRegSetDword(key, u"RxFIFO", 2);                     // not a trigger level
    HkRegSetString(key, u"TxFIFO", u"16");                // not a number
    HkRegSetDword(key, u"EnableFifo64", 7);               // not 0 or 1
    HkRegSetDword(key, u"ClockRate", 1000);               // cannot make 9600 baud
    HkRegSetValue(key, u"FifoTxMax", REG_DWORD, {16, 0}); // two bytes
    HkClearErrorLog();
    ASSERT_EQ(HmRestartPort(port), STATUS_SUCCESS);
    for (const char* sentence :
         {"The device key value RxFIFO is invalid, so the default receive trigger is used.",
          "The device key value TxFIFO is invalid, so the default transmit load is used.",
          "The device key value EnableFifo64 is invalid, so the 64-byte FIFOs are used.",
          "The device key value ClockRate is invalid, so 73728000 Hz is used.",
          "The device key value FifoTxMax is invalid, so 16 is used."}) {
        EXPECT_TRUE(Logged(sentence)) << sentence;
    }
    EXPECT_EQ(HkErrorLog().size(), 5u);
    HmUartView uart = HmUart(board, 0);
    EXPECT_EQ(uart.RxTrigger, 32);
    EXPECT_EQ(uart.Divisor, HmUartClock / 16 / 9600);
}

// A port without a name, or with a name another device holds, does not start: the event log
// says why, and none of its names is left behind.
TEST_F(SerialPnp, AMissingOrTakenNameFailsTheStartAndLeavesNothing)
{
    Options.AssignPortNames = false;
    Options.StartPorts = false;
    HmSetPnpOptions(Options);
    PDEVICE_OBJECT board = Plug(HmModel::LX4A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(board);
    HkRegSetString(HmDeviceKey(ports[0]), u"PortName", u"COM7");
    HkRegSetString(HmDeviceKey(ports[1]), u"PortName", u"COM7");
    HkRegSetString(HmDeviceKey(ports[2]), u"PortName", u"COM\\7");

    ASSERT_EQ(HmStartPort(ports[0]), STATUS_SUCCESS);
    EXPECT_EQ(HmStartPort(ports[1]), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(Logged("The port's COM name is already taken by another device."));
    EXPECT_NE(HmStartPort(ports[2]), STATUS_SUCCESS);
    EXPECT_NE(HmStartPort(ports[3]), STATUS_SUCCESS);
    EXPECT_TRUE(Logged("The port has no usable PortName value in its device key."));
    std::vector<std::string> sentences = EventSentences();
    EXPECT_EQ(std::count(sentences.begin(), sentences.end(),
                         std::string("The port has no usable PortName value in its device key.")),
              2);

    EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\CorSerial0");
    EXPECT_EQ(HkRegValueNames(SerialComm).size(), 1u);
    for (ULONG i = 1; i < 4; ++i) {
        EXPECT_FALSE(InterfaceEnabledFor(ports[i])) << "port " << i;
    }
    EXPECT_EQ(HkSymbolicLinks().size(), 2u) << "COM7 and the interface of the port that started";
    EXPECT_EQ(AdapterOf(board->AttachedDevice)->InterfaceRefCount, 1)
        << "the failed starts gave their interfaces back";
}

// A property change restarts the port: a new COM name takes the old one's place everywhere.
TEST_F(SerialPnp, ARestartAfterARenameMovesEveryName)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(board)[1];
    HkRegSetString(HmDeviceKey(port), u"PortName", u"COM9");
    ASSERT_EQ(HmRestartPort(port), STATUS_SUCCESS);
    EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\COM4"), u"");
    const std::u16string device = HkSymbolicLinkTarget(u"\\DosDevices\\COM9");
    EXPECT_FALSE(device.empty());
    EXPECT_EQ(DeviceMapEntry(device), u"COM9");
    EXPECT_EQ(HkRegValueNames(SerialComm).size(), 2u);
    ComPort com9;
    EXPECT_EQ(com9.Open(u"COM9"), STATUS_SUCCESS);
    ComPort com4;
    EXPECT_EQ(com4.Open(u"COM4"), STATUS_OBJECT_NAME_NOT_FOUND);
}

// A rebalance stops and restarts the port under an open handle: the requests wait through it and
// go on with the new register block; no byte is lost either way.
TEST_F(SerialPnp, ARebalanceKeepsTheHandleAndItsRequests)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    OpenAt(a, NameOf(board, 0));
    OpenAt(b, NameOf(board, 1));
    HkRequestPtr read = b.ReadOverlapped(600);
    ASSERT_TRUE(a.WriteFile(Pattern(200)));
    ASSERT_TRUE(HmWaitUntil([&] { return HmUart(board, 1).RxCount == 0 && !read->Done(); }));

    const ULONG bar0 = HmBar0Size(2);
    ASSERT_EQ(HmRebalance(board, HmMakeAssignment(0xC000, bar0, 0xC800, HmBar1Size, 21, 0x71, 5)),
              STATUS_SUCCESS);
    EXPECT_EQ(HmBarBase(board, 0), 0xC000u);
    EXPECT_FALSE(read->Done());
    std::vector<UCHAR> rest = Pattern(600);
    ASSERT_TRUE(a.WriteFile(std::vector<UCHAR>(rest.begin() + 200, rest.end())));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Output(), rest);
    EXPECT_EQ(AdapterOf(board->AttachedDevice)->InterfaceRefCount, 2);
}

// Pulled out in the middle of a transfer: every request of the handle ends, the names go, new
// requests are refused, and once the handle is closed the port's device goes with nothing left.
TEST_F(SerialPnp, UnpluggingTheBoardMidTransferEndsEverythingAndLeavesNothing)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX4A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    OpenAt(a, NameOf(board, 0), 9600);
    OpenAt(b, NameOf(board, 1), 9600);
    ASSERT_TRUE(a.SetCommMask(SERIAL_EV_RING));
    HkRequestPtr write = a.WriteOverlapped(Pattern(4000));
    HkRequestPtr read = b.ReadOverlapped(4000);
    HkRequestPtr wait = a.WaitCommEventOverlapped();
    ASSERT_TRUE(HmWaitUntil([&] { return HmUart(board, 1).RxCount > 0 || read->Done(); }));
    EXPECT_FALSE(wait->Done()) << "nothing rings";

    HmSurpriseRemoveAdapter(board);
    for (const HkRequestPtr& request : {write, read, wait}) {
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_DELETE_PENDING);
    }
    EXPECT_TRUE(HkSymbolicLinks().empty());
    EXPECT_TRUE(HkRegValueNames(SerialComm).empty());
    std::vector<UCHAR> data;
    EXPECT_FALSE(a.ReadFile(10, &data));
    EXPECT_EQ(a.LastStatus(), STATUS_DELETE_PENDING);

    a.Close();
    b.Close();
    HmWaitPnpIdle();
    EXPECT_EQ(Corserial->DeviceObject, nullptr) << "every port device deleted";
}

// On another processor, between any two locked steps of a request on its way in, the board is
// pulled out or the program cancels the handle's I/O. Whatever the request had reached by then, it
// ends: what is queued is ended, and what would be queued after that is refused. None is left
// waiting for a port that is gone or for a cancel that has come and gone.
TEST_F(SerialPnp, ARequestOnItsWayInEndsWhenTheBoardIsPulledOrItsIoIsCancelled)
{
    struct Kind {
        const char* Name;
        HkRequestPtr (*Send)(ComPort& port);
    };
    static const Kind Kinds[] = {
        {"read", [](ComPort& port) { return port.ReadOverlapped(16); }},
        {"write", [](ComPort& port) { return port.WriteOverlapped(Pattern(16)); }},
        {"flush", [](ComPort& port) { return HkFlush(port.Handle()); }},
        {"wait", [](ComPort& port) { return port.WaitCommEventOverlapped(); }},
        {"immediate char",
         [](ComPort& port) {
             return port.DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x55}, 0);
         }},
    };
    struct Race {
        const char* Name;
        NTSTATUS Ends;
        void (*Act)(PDEVICE_OBJECT board, ComPort& port);
    };
    static const Race Races[] = {
        {"board pulled out", STATUS_DELETE_PENDING,
         [](PDEVICE_OBJECT board, ComPort&) { HmSurpriseRemoveAdapter(board); }},
        {"I/O cancelled", STATUS_CANCELLED, [](PDEVICE_OBJECT, ComPort& port) { port.CancelIo(); }},
    };
    for (const Race& race : Races) {
        for (const Kind& kind : Kinds) {
            for (unsigned point = 1;; ++point) {
                PDEVICE_OBJECT board = Plug(HmModel::LX2A);
                ComPort port;
                OpenAt(port, NameOf(board, 0));
                ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 0))); // a read waits for bytes
                ASSERT_TRUE(port.SetCommMask(SERIAL_EV_CTS));
                ASSERT_TRUE(port.EscapeCommFunction(SetXoff));
                HkRequestPtr held = port.WriteOverlapped(Pattern(8)); // what follows waits
                unsigned reached = 0;
                HkSetPreemptionHook([&] {
                    if (++reached == point) {
                        race.Act(board, port);
                    }
                });
                HkRequestPtr request = kind.Send(port);
                HkSetPreemptionHook({});
                if (reached >= point) {
                    const bool done = request->Done();
                    EXPECT_TRUE(done && (request->Status() == race.Ends ||
                                         request->Status() == STATUS_SUCCESS))
                        << kind.Name << ", " << race.Name << " at point " << point << ": "
                        << (done ? "ended with status " : "still pending ") << std::hex
                        << request->Status();
                }
                port.Close();
                HmUnplugAdapter(board);
                HmWaitPnpIdle();
                ASSERT_TRUE(request->Wait());
                ASSERT_TRUE(held->Wait());
                if (reached < point) {
                    break; // every point of this kind has been tried
                }
            }
        }
    }
}

// A board pulled out while the port empties its receive FIFO, at each register access in turn:
// from there on everything reads all ones, which is no byte the far end sent. The program gets
// the bytes that came before, never the bus's all ones: in a burst at the trigger level, and
// byte by byte after the character time-out. (A read that the removal ends returns nothing.)
TEST_F(SerialPnp, ABoardPulledOutMidReceiveHandsOverOnlyBytesThatCame)
{
    for (size_t sent : {3, 100}) {
        std::vector<UCHAR> data(sent);
        for (size_t k = 0; k < sent; ++k) {
            data[k] = static_cast<UCHAR>('A' + k);
        }
        for (unsigned access = 1;; ++access) {
            PDEVICE_OBJECT board = Plug(HmModel::LX2A);
            ComPort port;
            OpenAt(port, NameOf(board, 0));
            ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 0)));
            HkRequestPtr read = port.ReadOverlapped(3);
            HmPullAdapterAtAccess(board, access);
            HmRemoteSend(board, 0, data);
            ASSERT_TRUE(HmWaitUntil([&] { return !HmAdapterInSlot(board) || read->Done(); }));
            HmSurpriseRemoveAdapter(board);
            ASSERT_TRUE(read->Wait());
            const std::vector<UCHAR> got = read->Output();
            EXPECT_EQ(got, std::vector<UCHAR>(data.begin(), data.begin() + got.size()))
                << sent << " bytes sent, board pulled at register access " << access;
            port.Close();
            HmWaitPnpIdle();
            // A read that had its bytes before the board went has them at every later access.
            if (read->Status() == STATUS_SUCCESS) {
                break;
            }
        }
    }
}

TEST_F(SerialPnp, AnOpenPortRefusesToBeRemoved)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    {
        ComPort port;
        ASSERT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS);
        EXPECT_EQ(HmRemoveAdapter(board), STATUS_DEVICE_BUSY);
        EXPECT_TRUE(port.EscapeCommFunction(SetDtr)) << "the port still works";
    }
    EXPECT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS);
    EXPECT_EQ(Corserial->DeviceObject, nullptr);
}

// WMI and whatever else is not the port's own goes to the port device below, which answers it:
// corcard's port device has no WMI provider and leaves the request as it came.
TEST_F(SerialPnp, SystemControlIsAnsweredByThePortDeviceBelow)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmIrpResult r =
        HmSendPnp(HmPortDevices(board)[0], IRP_MN_QUERY_ALL_DATA, [](PIO_STACK_LOCATION sp) {
            sp->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
            sp->Parameters.WMI.ProviderId = 0;
        });
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Information, 0u);
}

namespace {
NTSTATUS NameHolderEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_SUCCESS;
}
} // namespace

// A port's device takes the lowest free \Device\CorSerial<n>, n below 1024: with every number but
// the last held already (by 1023 ports, here by another driver's devices), the next port gets
// that one and the one after it gets none.
TEST_F(SerialPnp, TheLastDeviceNumberIsUsedAndNoneBeyondIt)
{
    PDRIVER_OBJECT holder = LoadDriver(NameHolderEntry, L"nameholder");
    ASSERT_NE(holder, nullptr);
    std::vector<PDEVICE_OBJECT> held;
    for (int n = 0; n < 1023; ++n) {
        std::u16string text = u"\\Device\\CorSerial";
        for (char digit : std::to_string(n)) {
            text += static_cast<char16_t>(digit);
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, reinterpret_cast<const WCHAR*>(text.c_str()));
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(holder, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        held.push_back(device);
    }
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\" + NameOf(board, 0)), u"\\Device\\CorSerial1023");
    EXPECT_EQ(HkSymbolicLinkTarget(u"\\??\\" + NameOf(board, 1)), u"");
    EXPECT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS);
    for (PDEVICE_OBJECT device : held) {
        IoDeleteDevice(device);
    }
}

namespace {
// A lower filter under the port function driver that makes corcard's interface answer look like
// one of another version, as a bus driver of another release would give.
PDEVICE_OBJECT OlderBusLower;

NTSTATUS OlderVersion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (NT_SUCCESS(irp->IoStatus.Status)) {
        IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface.Interface->Version = 1;
    }
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS OlderBusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(OlderBusLower, irp);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType, CORPORT_INTERFACE_GUID)) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OlderVersion, nullptr, TRUE, FALSE, FALSE);
        return IoCallDriver(OlderBusLower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(OlderBusLower, irp);
}

NTSTATUS OlderBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = OlderBusDispatch;
    }
    return STATUS_SUCCESS;
}
} // namespace

// An interface record of another version is not used: the start fails with an event, and the
// reference that came with the record goes back.
TEST_F(SerialPnp, AnInterfaceOfAnotherVersionIsGivenBackUnused)
{
    Options.StartPorts = false;
    HmSetPnpOptions(Options);
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    PDEVICE_OBJECT filter = AttachLowerFilter(OlderBusEntry, L"olderbus", pdo);
    ASSERT_NE(filter, nullptr);
    OlderBusLower = pdo;

    EXPECT_EQ(HmStartPort(pdo), STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(Logged("The port device offers no port bus interface."));
    EXPECT_EQ(AdapterOf(board->AttachedDevice)->InterfaceRefCount, 0);
    EXPECT_EQ(pdo->AttachedDevice, filter) << "the failed start removed corserial's device";
    IoDetachDevice(pdo);
    IoDeleteDevice(filter);
}

// Once a query-remove has found the port free and succeeded, the removal may follow at any
// moment: no handle opens until it is cancelled (STATUS_DELETE_PENDING), so the removal never
// takes away a handle the query did not see.
TEST_F(SerialPnp, AfterASuccessfulQueryRemoveNoHandleOpensUntilItIsCancelled)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    ComPort port;
    EXPECT_EQ(port.Open(NameOf(board, 0)), STATUS_DELETE_PENDING);
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS);
    EXPECT_TRUE(port.EscapeCommFunction(SetDtr));
}

// A service DPC that another processor has begun when the port is pulled out may still want to
// arm the RTS toggle's drain timer (the transmitter ran empty just before): the removal lets it
// finish before it cancels the timers, and it arms none once the port is going, so no timer of
// the port outlives its device. Here that DPC is held at its start until the removal waits for it.
TEST_F(SerialPnp, ADpcUnderWayAtTheRemovalLeavesNoTimerBehind)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2C);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[1];
    ComPort port;
    OpenAt(port, NameOf(board, 1), 75); // a character takes 133 ms
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.RtsControl = ComDcb::RtsToggle;
    ASSERT_TRUE(port.SetCommState(dcb));
    HmSetTimeScale(0);
    ASSERT_TRUE(port.WriteFile(Bytes("xx"))); // both in the FIFO: the write is done
    const LONGLONG start = HkNow();
    std::atomic<bool> held{false};
    std::function<void()> hook = [&] {
        if (HkNow() - start < 133 * Ms) {
            HkSetDpcStartHook(hook); // not the one yet
            return;
        }
        held = true;
        HmWaitUntil([] { return HkFlushWaiters() != 0; });
    };
    HkSetDpcStartHook(hook);
    // The second character leaves the FIFO: the transmitter runs empty, RTS is to drop once the
    // shift register is, and the DPC that would arm the drain timer starts.
    std::thread clock([] { HmAdvanceTime(140 * Ms); });
    ASSERT_TRUE(HmWaitUntil([&] { return held.load(); }));
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    port.Close();
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    clock.join();
    HmSetTimeScale(1);
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "the port driver's device is gone";
    EXPECT_EQ(HkSetTimers(), 0u);
}
