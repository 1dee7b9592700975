// The plug-and-play and power managers and the port driver double, with corcard loaded: the
// sequences Windows sends, the references the manager keeps, traffic through the shared
// interrupt, removal in every form.
#include "testsupport.h"

#include "corcard.h"

#include <algorithm>

namespace {

class MachinePnp : public HmTest {
protected:
    PDEVICE_OBJECT StartedAdapter(HmModel model)
    {
        if (!Driver) {
            Driver = LoadDriver(DriverEntry, L"corcard");
        }
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        EXPECT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
        EXPECT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
        return pdo;
    }

    PDRIVER_OBJECT Driver = nullptr;
};

} // namespace

TEST_F(MachinePnp, StartEnumeratesPortsAndBindsThePortDriver)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX4A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_EQ(ports.size(), 4u);
    for (size_t i = 0; i < ports.size(); ++i) {
        HmNodeInfo n = HmNode(ports[i]);
        EXPECT_EQ(n.State, HmNodeState::Started);
        EXPECT_EQ(n.DeviceId, u"Corcard\\CorPort");
        ASSERT_EQ(n.HardwareIds.size(), 1u);
        EXPECT_EQ(n.HardwareIds[0],
                  u"CorPort" + std::u16string(1, static_cast<char16_t>(u'1' + i)));
        EXPECT_TRUE(n.PortDriverBound);
        HmSerialState s = HmSerialStateOf(ports[i]);
        EXPECT_TRUE(s.Started && s.Hooked && s.InterfaceHeld);
        EXPECT_EQ(s.Resources.IoLength, 8u);
        EXPECT_EQ(s.Resources.IoBase, HmBarBase(pdo, 0) + 8 * i);
        // The manager keeps the one reference the bus relations answer gave it.
        EXPECT_EQ(HkObjectReferences(ports[i]), 2);
        // The double programmed its UART: 9600 baud, 8N1, FIFOs with trigger 8, all sources on.
        HmUartView u = HmUart(pdo, static_cast<ULONG>(i));
        EXPECT_EQ(u.Divisor, HmUartClock / 16 / 9600);
        EXPECT_EQ(u.Lcr, 0x03);
        EXPECT_TRUE(u.FifoEnabled);
        EXPECT_EQ(u.RxTrigger, 8);
        EXPECT_EQ(u.Ier, 0x0F);
    }
}

// A port driver finds its device's keys and names its interface after the instance path the
// manager knows: the device ID and instance ID the bus driver answered.
TEST_F(MachinePnp, PortsHaveInstancePathsForTheirKeysAndInterfaces)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_EQ(ports.size(), 2u);
    HmNodeInfo port = HmNode(ports[1]);
    std::u16string instance = port.DeviceId + u"\\" + port.InstanceId;
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(ports[1], PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(HkRegKeyExists(HkDeviceKeyPath(instance)));

    const GUID comPort = {
        0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(ports[1], &comPort, nullptr, &name), STATUS_SUCCESS);
    std::u16string text(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / 2);
    std::u16string mangled = instance;
    std::replace(mangled.begin(), mangled.end(), u'\\', u'#');
    EXPECT_EQ(text, u"\\??\\" + mangled + u"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    RtlFreeUnicodeString(&name);
}
TEST_F(MachinePnp, TrafficFlowsBothWaysThroughTheSharedInterrupt)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX8C);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_EQ(ports.size(), 8u);
    for (ULONG i = 0; i < 8; ++i) {
        ASSERT_EQ(HmSerialWrite(ports[i], Bytes("out" + std::to_string(i) + std::string(40, '.'))),
                  STATUS_SUCCESS);
        HmRemoteSend(pdo, i, Bytes("in" + std::to_string(i) + std::string(37, '-')));
    }
    std::vector<std::vector<UCHAR>> out(8), in(8);
    ASSERT_TRUE(HmWaitUntil([&] {
        bool done = true;
        for (ULONG i = 0; i < 8; ++i) {
            auto o = HmRemoteTake(pdo, i);
            out[i].insert(out[i].end(), o.begin(), o.end());
            auto r = HmSerialRead(ports[i]);
            in[i].insert(in[i].end(), r.begin(), r.end());
            done = done && out[i].size() >= 44 && in[i].size() >= 40;
        }
        return done;
    }));
    for (ULONG i = 0; i < 8; ++i) {
        EXPECT_EQ(out[i], Bytes("out" + std::to_string(i) + std::string(40, '.')));
        EXPECT_EQ(in[i], Bytes("in" + std::to_string(i) + std::string(37, '-')));
        HmSerialState s = HmSerialStateOf(ports[i]);
        EXPECT_EQ(s.BytesSent, 44u);
        EXPECT_EQ(s.BytesReceived, 40u);
        EXPECT_GT(s.Interrupts, 0u);
        EXPECT_EQ(s.Overruns, 0u);
    }
    HmInterruptStats irq = HmInterrupts(pdo);
    EXPECT_GT(irq.Claimed, 0u);
    EXPECT_EQ(irq.Vector, HkInterruptsOn(irq.Vector).empty() ? 0u : irq.Vector);
}

TEST_F(MachinePnp, LineErrorsAndModemChangesReachThePortDriver)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(pdo).at(1);
    HmRemoteSendError(pdo, 1, 'p', HmLineError::Parity);
    HmRemoteSendError(pdo, 1, 'f', HmLineError::Framing);
    HmRemoteSendError(pdo, 1, 0, HmLineError::Break);
    HmSetModemInputs(pdo, 1, true, true, false, true);
    ASSERT_TRUE(HmWaitUntil([&] {
        HmSerialState s = HmSerialStateOf(port);
        return s.ParityErrors && s.FramingErrors && s.Breaks && s.ModemChanges;
    }));
    EXPECT_EQ(HmSerialRead(port), (std::vector<UCHAR>{'p', 'f', 0}));
}

TEST_F(MachinePnp, OrderlyRemovalRemovesPortsFirstAndKeepsThePdo)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2B);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    HmClearTrace();
    ASSERT_EQ(HmRemoveAdapter(pdo), STATUS_SUCCESS);
    std::vector<std::string> trace = HmTrace();
    auto at = [&](const std::string& line) {
        return std::find(trace.begin(), trace.end(), line) - trace.begin();
    };
    EXPECT_LT(at("pnp -> port 0.0: IRP_MN_QUERY_REMOVE_DEVICE = STATUS_SUCCESS"),
              at("pnp -> adapter 0: IRP_MN_QUERY_REMOVE_DEVICE = STATUS_SUCCESS"));
    EXPECT_LT(at("pnp -> port 0.1: IRP_MN_REMOVE_DEVICE = STATUS_SUCCESS"),
              at("pnp -> adapter 0: IRP_MN_REMOVE_DEVICE = STATUS_SUCCESS"));
    EXPECT_LT(at("pnp -> adapter 0: IRP_MN_REMOVE_DEVICE = STATUS_SUCCESS"),
              static_cast<long>(trace.size()));
    EXPECT_TRUE(HmPortDevices(pdo).empty());
    HmNodeInfo n = HmNode(pdo);
    EXPECT_TRUE(n.Known);
    EXPECT_EQ(n.State, HmNodeState::Initialized);
    EXPECT_EQ(pdo->AttachedDevice, nullptr) << "corcard detached and deleted its adapter device";
    EXPECT_TRUE(HkDeviceExists(pdo) && !HkDeviceDeleted(pdo));
    // The board is still there: the driver can be added and started again.
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    EXPECT_EQ(HmPortDevices(pdo).size(), 2u);
}

TEST_F(MachinePnp, SurpriseRemovalTakesThePortsAndThePdo)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX4C);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    HmClearTrace();
    HmSurpriseRemoveAdapter(pdo);
    EXPECT_FALSE(HmNode(pdo).Known);
    for (PDEVICE_OBJECT p : ports) {
        EXPECT_FALSE(HmNode(p).Known);
        EXPECT_FALSE(HmSerialStateOf(p).Bound);
    }
    std::vector<std::string> trace = HmTrace();
    EXPECT_NE(std::find(trace.begin(), trace.end(),
                        "pnp -> adapter 0: IRP_MN_SURPRISE_REMOVAL = STATUS_SUCCESS"),
              trace.end());
    EXPECT_EQ(HkRelationsInvalidations().size(), 1u) << "corcard invalidated its bus relations";
}

TEST_F(MachinePnp, RebalanceMovesThePortsToTheNewRanges)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX4A);
    HmAssignment moved = HmMakeAssignment(0xB000, 32, 0xB040, 4, 19, 0x75, 7);
    ASSERT_EQ(HmRebalance(pdo, moved), STATUS_SUCCESS);
    EXPECT_EQ(HmBarBase(pdo, 0), 0xB000u);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_EQ(ports.size(), 4u);
    for (size_t i = 0; i < ports.size(); ++i) {
        HmSerialState s = HmSerialStateOf(ports[i]);
        EXPECT_TRUE(s.Started && s.Hooked) << i;
        EXPECT_EQ(s.Resources.IoBase, 0xB000u + 8 * i);
        EXPECT_EQ(s.Resources.InterruptVector, 0x75u);
        EXPECT_EQ(HkObjectReferences(ports[i]), 2) << "known devices are not referenced twice";
    }
    // The port driver let go of the shared interrupt before the adapter stopped.
    std::vector<std::string> trace = HmTrace();
    auto at = [&](const std::string& line) {
        return std::find(trace.begin(), trace.end(), line) - trace.begin();
    };
    EXPECT_LT(at("hmserial -> port 0.3: DisconnectIsr = STATUS_SUCCESS"),
              at("pnp -> adapter 0: IRP_MN_STOP_DEVICE = STATUS_SUCCESS"));
    EXPECT_LT(at("hmserial -> port 0.3: InterfaceDereference = STATUS_SUCCESS"),
              at("pnp -> adapter 0: IRP_MN_STOP_DEVICE = STATUS_SUCCESS"));
    EXPECT_LT(at("pnp -> adapter 0: IRP_MN_STOP_DEVICE = STATUS_SUCCESS"),
              static_cast<long>(trace.size()));
    ASSERT_EQ(HmSerialWrite(ports[3], Bytes("moved")), STATUS_SUCCESS);
    std::vector<UCHAR> got;
    ASSERT_TRUE(HmWaitUntil([&] {
        auto o = HmRemoteTake(pdo, 3);
        got.insert(got.end(), o.begin(), o.end());
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, Bytes("moved"));
}

TEST_F(MachinePnp, FailedStartIsFollowedByRemoval)
{
    Driver = LoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    HmAssignment a = HmDefaultAssignment(pdo);
    a.NoTranslated = true;
    EXPECT_EQ(HmStartAdapter(pdo, a), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(HmNode(pdo).State, HmNodeState::Initialized);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST_F(MachinePnp, PendingBusAnswersAreWaitedFor)
{
    Driver = LoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4B);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.Pending = ~0u;
    HmSetBusAnswers(pdo, answers);
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    EXPECT_EQ(HmPortDevices(pdo).size(), 4u);
    size_t pending = 0;
    for (const HmBusRecord& r : HmBusRecords(pdo)) {
        pending += r.Pending;
    }
    EXPECT_GT(pending, 3u);
    EXPECT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD3);
    EXPECT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
}

TEST_F(MachinePnp, SleepAndWakeKeepThePortsWorking)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2C);
    PDEVICE_OBJECT port = HmPortDevices(pdo).at(0);
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD3);
    EXPECT_FALSE(HmRegistersMapped(pdo)) << "a function in D3 decodes no I/O";
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
    EXPECT_EQ(HmUart(pdo, 0).Ier, 0x0F) << "the port driver programmed its UART again";
    HmRemoteSend(pdo, 0, Bytes("awake"));
    std::vector<UCHAR> got;
    ASSERT_TRUE(HmWaitUntil([&] {
        auto r = HmSerialRead(port);
        got.insert(got.end(), r.begin(), r.end());
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, Bytes("awake"));
    // Sleeping: port stacks before the adapter; waking: the adapter first.
    std::vector<HmPowerRecord> log = HmPowerLog();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log.front().Minor, IRP_MN_QUERY_POWER);
    EXPECT_NE(log.front().Pdo, pdo);
    EXPECT_EQ(log.back().Minor, IRP_MN_SET_POWER);
    EXPECT_NE(log.back().Pdo, pdo);
    auto wake = std::find_if(log.begin(), log.end(), [](const HmPowerRecord& r) {
        return r.Minor == IRP_MN_SET_POWER && r.State.SystemState == PowerSystemWorking;
    });
    ASSERT_NE(wake, log.end());
    EXPECT_EQ(wake->Pdo, pdo);
}

TEST_F(MachinePnp, TargetRelationNamesThePortDevice)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(pdo).at(1);
    LONG before = HkObjectReferences(port);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(HmQueryTargetRelation(port, &status), port);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(HkObjectReferences(port), before) << "the manager drops the reference it got";
}

TEST_F(MachinePnp, InvalidatedRelationsAreQueriedAgainWithoutNewReferences)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX4B);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    HmClearTrace();
    HmInvalidateBusRelations(pdo);
    std::vector<std::string> trace = HmTrace();
    EXPECT_NE(
        std::find(trace.begin(), trace.end(),
                  "pnp -> adapter 0: IRP_MN_QUERY_DEVICE_RELATIONS BusRelations = STATUS_SUCCESS"),
        trace.end());
    EXPECT_EQ(HmPortDevices(pdo), ports);
    for (PDEVICE_OBJECT p : ports) {
        EXPECT_EQ(HkObjectReferences(p), 2) << "the repeated report's reference was dropped";
        EXPECT_EQ(HmNode(p).State, HmNodeState::Started);
    }
}

TEST_F(MachinePnp, RefusedQueryRemoveIsCancelledEverywhere)
{
    // On a platform older than WDM 1.10 the adapter refuses removal while it is open.
    HkSetWdmVersion(1, 0x05);
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    pdo->AttachedDevice->ReferenceCount = 1;
    HmClearTrace();
    EXPECT_EQ(HmRemoveAdapter(pdo), STATUS_DEVICE_BUSY);
    std::vector<std::string> trace = HmTrace();
    for (const char* port : {"port 0.0", "port 0.1"}) {
        EXPECT_NE(std::find(trace.begin(), trace.end(),
                            std::string("pnp -> ") + port +
                                ": IRP_MN_CANCEL_REMOVE_DEVICE = STATUS_SUCCESS"),
                  trace.end())
            << port;
    }
    EXPECT_EQ(HmPortDevices(pdo), ports);
    EXPECT_TRUE(HmSerialStateOf(ports[0]).Hooked);
    pdo->AttachedDevice->ReferenceCount = 0;
}

TEST_F(MachinePnp, AnInstantLineOverrunsTheReceiveFifo)
{
    PDEVICE_OBJECT pdo = StartedAdapter(HmModel::LX2A);
    PDEVICE_OBJECT port = HmPortDevices(pdo).at(0);
    HmSetLinePace(pdo, HmAllPorts, 0);
    HmRemoteSend(pdo, 0, std::vector<UCHAR>(40, 'x')); // all at once: 16 fit, the rest is lost
    ASSERT_TRUE(HmWaitUntil([&] {
        HmSerialState s = HmSerialStateOf(port);
        return s.BytesReceived == 16 && s.Overruns >= 1;
    }));
    EXPECT_EQ(HmSerialRead(port), std::vector<UCHAR>(16, 'x'));
    // Paced again (with room to spare for slow sanitizer builds), the port keeps up.
    HmSetLinePace(pdo, 0, 2);
    HmRemoteSend(pdo, 0, std::vector<UCHAR>(100, 'y'));
    std::vector<UCHAR> got;
    ASSERT_TRUE(HmWaitUntil([&] {
        auto r = HmSerialRead(port);
        got.insert(got.end(), r.begin(), r.end());
        return got.size() >= 100;
    }));
    EXPECT_EQ(got, std::vector<UCHAR>(100, 'y'));
}

TEST_F(MachinePnp, RefusedSystemQueryTellsTheAgreedStacksToStayWorking)
{
    Driver = LoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2B);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.Capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceMaximum;
    HmSetBusAnswers(pdo, answers);
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    EXPECT_EQ(HmSetSystemPower(PowerSystemHibernate), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HmSystemPowerState(), PowerSystemWorking);
    std::vector<HmPowerRecord> log = HmPowerLog();
    ASSERT_EQ(log.size(), 5u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(log[i].Pdo, ports[i]);
        EXPECT_EQ(log[i].Minor, IRP_MN_QUERY_POWER);
        EXPECT_EQ(log[3 + i].Pdo, ports[i]);
        EXPECT_EQ(log[3 + i].Minor, IRP_MN_SET_POWER);
        EXPECT_EQ(log[3 + i].State.SystemState, PowerSystemWorking);
    }
    EXPECT_EQ(log[2].Pdo, pdo);
    EXPECT_EQ(log[2].Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
}
