// The whole adapter end to end on the simulated machine, with the machine's serial port function
// driver bound on every port: plug, start, traffic through every port at once with interrupts,
// rebalance, sleep and wake, surprise removal, orderly removal, unload; then nothing is left.
// The concurrency suite runs interface calls, power transitions and plug-and-play work on several
// threads against one adapter while interrupts fire.
#include "port_rig.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace portrig;

namespace {

// Bytes of one direction of one port in one round: position-dependent, so a lost, doubled or
// reordered byte shows.
std::vector<UCHAR> Pattern(ULONG port, int round, bool outbound, size_t length)
{
    std::vector<UCHAR> bytes(length);
    for (size_t k = 0; k < length; k++) {
        bytes[k] =
            static_cast<UCHAR>(port * 37 + round * 11 + (outbound ? 101 : 0) + k * 7 + k / 251);
    }
    return bytes;
}

void ExpectAllBound(PDEVICE_OBJECT pdo, ULONG ports)
{
    std::vector<PDEVICE_OBJECT> children = HmPortDevices(pdo);
    ASSERT_EQ(children.size(), ports);
    PADAPTER_EXTENSION adapter = AdapterExt(pdo);
    for (ULONG i = 0; i < ports; i++) {
        HmSerialState s = HmSerialStateOf(children[i]);
        EXPECT_TRUE(s.Bound) << "port " << i;
        EXPECT_TRUE(s.Started) << "port " << i;
        EXPECT_EQ(s.StartStatus, STATUS_SUCCESS) << "port " << i;
        EXPECT_TRUE(s.InterfaceHeld) << "port " << i;
        EXPECT_TRUE(s.Hooked) << "port " << i;
        EXPECT_EQ(Field(s.Resources.IoBase), HmBarBase(pdo, 0) + 8 * i) << "port " << i;
        EXPECT_EQ(Field(s.Resources.IoLength), 8u);
        EXPECT_EQ(Field(s.Resources.InterruptObject), adapter->InterruptObject);
        EXPECT_EQ(Field(s.Resources.DriverParameter), 2u);
        HmNodeInfo node = HmNode(children[i]);
        EXPECT_EQ(node.State, HmNodeState::Started) << "port " << i;
        ASSERT_EQ(node.HardwareIds.size(), 1u);
        EXPECT_EQ(node.HardwareIds[0], u"CorPort" + U16(std::to_string(i + 1).c_str()));
        EXPECT_TRUE(node.Capabilities.UniqueID);
        EXPECT_TRUE(node.Capabilities.SilentInstall);
    }
    EXPECT_EQ(adapter->InterfaceRefCount, LONG(ports)) << "one interface held per bound port";
    for (ULONG i = 0; i < ports; i++) {
        EXPECT_GE(PortOf(children[i])->InterruptSlot, 0) << "port " << i;
    }
}

// Sends `length` bytes each way through every port at once and checks that each port's bytes
// arrive intact and in order, serviced by interrupts.
void MoveData(PDEVICE_OBJECT pdo, ULONG ports, int round, size_t length = 200)
{
    std::vector<PDEVICE_OBJECT> children = HmPortDevices(pdo);
    ASSERT_EQ(children.size(), ports);
    std::vector<HmSerialState> before;
    size_t deliveries = HmInterrupts(pdo).Deliveries;
    for (ULONG i = 0; i < ports; i++) {
        HmSetLinePace(pdo, i, 2);
        before.push_back(HmSerialStateOf(children[i]));
        // Nothing left over from an earlier round.
        HmSerialRead(children[i]);
        HmRemoteTake(pdo, i);
    }
    for (ULONG i = 0; i < ports; i++) {
        ASSERT_EQ(HmSerialWrite(children[i], Pattern(i, round, true, length)), STATUS_SUCCESS);
        HmRemoteSend(pdo, i, Pattern(i, round, false, length));
    }
    std::vector<std::vector<UCHAR>> sent(ports), received(ports);
    bool done = HmWaitUntil(
        [&] {
            bool all = true;
            for (ULONG i = 0; i < ports; i++) {
                std::vector<UCHAR> out = HmRemoteTake(pdo, i);
                sent[i].insert(sent[i].end(), out.begin(), out.end());
                std::vector<UCHAR> in = HmSerialRead(children[i]);
                received[i].insert(received[i].end(), in.begin(), in.end());
                all = all && sent[i].size() >= length && received[i].size() >= length;
            }
            return all;
        },
        20000);
    EXPECT_TRUE(done) << "round " << round << ": traffic did not complete";
    for (ULONG i = 0; i < ports; i++) {
        EXPECT_EQ(sent[i], Pattern(i, round, true, length)) << "port " << i << " outbound";
        EXPECT_EQ(received[i], Pattern(i, round, false, length)) << "port " << i << " inbound";
        HmSerialState after = HmSerialStateOf(children[i]);
        EXPECT_EQ(after.BytesSent - before[i].BytesSent, length) << "port " << i;
        EXPECT_EQ(after.BytesReceived - before[i].BytesReceived, length) << "port " << i;
        EXPECT_GT(after.Interrupts, before[i].Interrupts) << "port " << i;
        EXPECT_EQ(after.Overruns, before[i].Overruns) << "port " << i;
        EXPECT_EQ(after.ParityErrors + after.FramingErrors + after.Breaks,
                  before[i].ParityErrors + before[i].FramingErrors + before[i].Breaks)
            << "port " << i;
    }
    EXPECT_GT(HmInterrupts(pdo).Deliveries, deliveries);
}

class EndToEnd : public ::testing::TestWithParam<HmModel> {
protected:
    void SetUp() override
    {
        HmReset();
        ArmVerifier();
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }
    void TearDown() override { HkSetViolationHandler(nullptr); }

    PDRIVER_OBJECT Driver = nullptr;
};

TEST_P(EndToEnd, WholeLifeOfTheAdapter)
{
    const HmModel model = GetParam();
    const ULONG ports = HmPortCount(model);

    // Plug and start: every port enumerated, its function driver bound, hooked and running.
    PDEVICE_OBJECT pdo = HmPlugAdapter(model);
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectAllBound(pdo, ports));
    const ULONG firstVector = HmInterrupts(pdo).Vector;
    ASSERT_EQ(HkInterruptsOn(firstVector).size(), 1u);
    MoveData(pdo, ports, 0);

    // Rebalance onto other ranges and another interrupt: the port drivers unhook before the stop
    // and hook again, with the new resources, after the start.
    const ULONG bar0 = HmBar0Size(ports);
    ASSERT_EQ(HmRebalance(pdo, HmMakeAssignment(0xC000, bar0, 0xC800, HmBar1Size, 21, 0x71, 5)),
              STATUS_SUCCESS);
    EXPECT_EQ(HmBarBase(pdo, 0), 0xC000u);
    ASSERT_NO_FATAL_FAILURE(ExpectAllBound(pdo, ports));
    EXPECT_TRUE(HkInterruptsOn(firstVector).empty());
    ASSERT_EQ(HkInterruptsOn(0x71).size(), 1u);
    for (PDEVICE_OBJECT port : HmPortDevices(pdo)) {
        EXPECT_EQ(Field(HmSerialStateOf(port).Resources.InterruptVector), 0x71u);
        EXPECT_EQ(Field(HmSerialStateOf(port).Resources.InterruptLevel), 5);
    }
    MoveData(pdo, ports, 1);

    // Sleep and wake.
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_NE(AdapterExt(pdo)->DevicePowerState, ULONG(PowerDeviceD0));
    EXPECT_NE(HmBusDevicePower(pdo), PowerDeviceD0);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(AdapterExt(pdo)->DevicePowerState, ULONG(PowerDeviceD0));
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
    MoveData(pdo, ports, 2);

    // Surprise removal: the ports go first, then the adapter; the PDO leaves with the board.
    std::vector<PDEVICE_OBJECT> children = HmPortDevices(pdo);
    HmSurpriseRemoveAdapter(pdo);
    EXPECT_EQ(Driver->DeviceObject, nullptr) << "adapter and port devices deleted";
    EXPECT_TRUE(HkInterruptsOn(0x71).empty());

    // A second board of the same model: up, traffic, orderly removal.
    PDEVICE_OBJECT second = HmPlugAdapter(model);
    ASSERT_EQ(HmAddDevice(Driver, second), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(second), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectAllBound(second, ports));
    MoveData(second, ports, 3);
    ASSERT_EQ(HmRemoveAdapter(second), STATUS_SUCCESS);
    EXPECT_EQ(Driver->DeviceObject, nullptr);
    HmUnplugAdapter(second);

    // Unload: nothing of the driver is left, and the verifier saw nothing.
    HmUnplugAll();
    HkUnloadDriver(Driver);
    EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
    EXPECT_TRUE(HkCheckClean());
    EXPECT_TRUE(HkViolations().empty());
}

INSTANTIATE_TEST_SUITE_P(Models, EndToEnd,
                         ::testing::Values(HmModel::LX2A, HmModel::LX4B, HmModel::LX8C),
                         [](const ::testing::TestParamInfo<HmModel>& info) {
                             return std::string(HmModelName(info.param));
                         });

// Several threads against one 8-port adapter while its ports carry traffic:
//  - the plug-and-play manager rebalances the adapter again and again (port drivers unhook and
//    hook while the other ports' interrupts fire);
//  - the power manager takes the machine to S1 and back;
//  - a query thread sends identifier, text, capability, relation and interface queries straight
//    to the port devices;
//  - an interface thread references, dereferences and fetches resources of every port, and hooks
//    and unhooks a callback of its own on a port that has no function driver.
// Afterwards every port still moves data intact and nothing is left at unload.
class EndToEndConcurrency : public ::testing::Test {
protected:
    void SetUp() override
    {
        HmReset();
        ArmVerifier();
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }
    void TearDown() override { HkSetViolationHandler(nullptr); }

    PDRIVER_OBJECT Driver = nullptr;
};

BOOLEAN NeverMine(PKINTERRUPT, PVOID context)
{
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
    return FALSE;
}

TEST_F(EndToEndConcurrency, InterfacePowerAndPlugAndPlayAgainstOneAdapter)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX8A);
    ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectAllBound(pdo, 8));
    std::vector<PDEVICE_OBJECT> children = HmPortDevices(pdo);
    PADAPTER_EXTENSION adapter = AdapterExt(pdo);
    std::vector<PPORT_EXTENSION> ports = PortExts(adapter);

    // Port 7's function driver goes away (its device is removed); the interface thread plays
    // that port's driver from now on.
    ASSERT_EQ(HmSendPnp(children[7], IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_EQ(HmSendPnp(children[7], IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_FALSE(HmSerialStateOf(children[7]).Hooked);
    ASSERT_EQ(adapter->InterfaceRefCount, 7);

    std::atomic<bool> stop{false};
    std::atomic<int> interfaceRounds{0}, queryRounds{0}, pnpRounds{0}, powerRounds{0};
    std::atomic<int> strayCalls{0}, ownHooks{0};
    const size_t claimedBefore = HmInterrupts(pdo).Claimed;

    std::thread traffic([&] {
        for (int round = 0; !stop; round++) {
            for (ULONG i = 0; i < 7; i++) {
                HmSerialWrite(children[i], Pattern(i, round, true, 24));
                HmRemoteSend(pdo, i, Pattern(i, round, false, 24));
                HmSerialRead(children[i]);
                HmRemoteTake(pdo, i);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    std::thread interfaceCalls([&] {
        CORPORT_BUS_INTERFACE own = TakeInterface(children[7]);
        while (!stop) {
            for (ULONG i = 0; i < 8; i++) {
                PVOID context = ports[i];
                PortInterfaceReference(context);
                CORPORT_RESOURCES record;
                NTSTATUS status = PortGetResources(context, &record);
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_CONFIGURATION_ERROR)
                    << HmStatusName(status);
                PortInterfaceDereference(context);
            }
            NTSTATUS hooked = own.ConnectIsr(own.Context, NeverMine, &strayCalls);
            EXPECT_TRUE(hooked == STATUS_SUCCESS || hooked == STATUS_UNSUCCESSFUL);
            if (hooked == STATUS_SUCCESS) {
                ownHooks++;
            }
            std::this_thread::yield();
            own.DisconnectIsr(own.Context);
            interfaceRounds++;
        }
        own.InterfaceDereference(own.Context);
    });

    std::thread queries([&] {
        while (!stop) {
            for (ULONG i = 0; i < 8; i += 3) {
                DirectResult id = SendPnp(children[i], IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) {
                    s->Parameters.QueryId.IdType = BusQueryInstanceID;
                });
                EXPECT_EQ(id.Status, STATUS_SUCCESS);
                if (id.Information != 0) {
                    ExFreePool(reinterpret_cast<PVOID>(id.Information));
                }
                DirectResult text =
                    SendPnp(children[i], IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
                        s->Parameters.QueryDeviceText.DeviceTextType =
                            DeviceTextLocationInformation;
                    });
                EXPECT_EQ(text.Status, STATUS_SUCCESS);
                if (text.Information != 0) {
                    ExFreePool(reinterpret_cast<PVOID>(text.Information));
                }
                DEVICE_CAPABILITIES caps = {};
                caps.Size = sizeof(caps);
                caps.Version = 1;
                SendPnp(children[i], IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
                    s->Parameters.DeviceCapabilities.Capabilities = &caps;
                });
                DirectResult target =
                    SendPnp(children[i], IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
                        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                    });
                EXPECT_EQ(target.Status, STATUS_SUCCESS);
                if (target.Information != 0) {
                    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(target.Information);
                    ObfDereferenceObject(relations->Objects[0]);
                    ExFreePool(relations);
                }
                CORPORT_BUS_INTERFACE itf = TakeInterface(children[i]);
                itf.InterfaceDereference(itf.Context);
            }
            queryRounds++;
        }
    });

    std::thread pnp([&] {
        for (int round = 0; !stop; round++) {
            ULONG64 base = round % 2 ? 0xC000 : 0xD000;
            ULONG vector = round % 2 ? 0x72 : 0x73;
            EXPECT_EQ(HmRebalance(pdo, HmMakeAssignment(base, HmBar0Size(8), base + 0x800,
                                                        HmBar1Size, 20, vector, 6)),
                      STATUS_SUCCESS);
            HmInvalidateBusRelations(pdo);
            pnpRounds++;
        }
    });

    std::thread power([&] {
        while (!stop) {
            EXPECT_EQ(HmSetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
            EXPECT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
            powerRounds++;
        }
    });

    // Run until every thread has done its share, or for a few seconds once each has gone
    // round at least once (a loaded machine only makes this take longer).
    auto soakEnd = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    HmWaitUntil([&] {
        bool some = pnpRounds >= 1 && powerRounds >= 1 && interfaceRounds >= 1 && queryRounds >= 1;
        bool enough =
            pnpRounds >= 3 && powerRounds >= 3 && interfaceRounds >= 50 && queryRounds >= 20;
        return enough || (some && std::chrono::steady_clock::now() >= soakEnd);
    });
    stop = true;
    traffic.join();
    interfaceCalls.join();
    queries.join();
    pnp.join();
    power.join();
    HmWaitPnpIdle();
    EXPECT_GE(pnpRounds.load(), 1);
    EXPECT_GE(powerRounds.load(), 1);
    EXPECT_GE(interfaceRounds.load(), 1);
    EXPECT_GE(queryRounds.load(), 1);
    EXPECT_GE(ownHooks.load(), 1) << "the interface thread never got its callback hooked";
    EXPECT_EQ(strayCalls.load(), 0) << "a callback was called for a silent port";
    EXPECT_GT(HmInterrupts(pdo).Claimed, claimedBefore) << "no interrupt was serviced meanwhile";

    // Settled: the adapter is awake and started, the seven bound ports are hooked, and data still
    // moves intact through all of them.
    EXPECT_EQ(adapter->DevicePowerState, ULONG(PowerDeviceD0));
    EXPECT_EQ(adapter->InterfaceRefCount, 7);
    // Unhooked: -1 after its own DisconnectIsr, or the -2 of a last ConnectIsr that met the
    // adapter stopped by a rebalance.
    EXPECT_LT(ports[7]->InterruptSlot, 0);
    for (ULONG i = 0; i < 7; i++) {
        EXPECT_TRUE(HmSerialStateOf(children[i]).Hooked) << "port " << i;
    }
    // Let what the traffic thread left on the lines arrive, then start from empty buffers: drain
    // until nothing has come in either direction for a while.
    for (ULONG i = 0; i < 7; i++) {
        HmSetLinePace(pdo, i, 2);
    }
    int quietPolls = 0;
    HmWaitUntil([&] {
        bool moved = false;
        for (ULONG i = 0; i < 7; i++) {
            moved = !HmSerialRead(children[i]).empty() || moved;
            moved = !HmRemoteTake(pdo, i).empty() || moved;
            moved =
                moved || HmSerialStateOf(children[i]).TxQueued != 0 || HmRemotePending(pdo, i) != 0;
        }
        quietPolls = moved ? 0 : quietPolls + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return quietPolls >= 10;
    });
    std::vector<std::vector<UCHAR>> got(7), out(7);
    for (ULONG i = 0; i < 7; i++) {
        ASSERT_EQ(HmSerialWrite(children[i], Pattern(i, 99, true, 100)), STATUS_SUCCESS);
        HmRemoteSend(pdo, i, Pattern(i, 99, false, 100));
    }
    EXPECT_TRUE(HmWaitUntil(
        [&] {
            bool all = true;
            for (ULONG i = 0; i < 7; i++) {
                std::vector<UCHAR> in = HmSerialRead(children[i]);
                got[i].insert(got[i].end(), in.begin(), in.end());
                std::vector<UCHAR> sent = HmRemoteTake(pdo, i);
                out[i].insert(out[i].end(), sent.begin(), sent.end());
                all = all && got[i].size() >= 100 && out[i].size() >= 100;
            }
            return all;
        },
        20000));
    for (ULONG i = 0; i < 7; i++) {
        EXPECT_EQ(got[i], Pattern(i, 99, false, 100)) << "port " << i;
        EXPECT_EQ(out[i], Pattern(i, 99, true, 100)) << "port " << i;
    }

    HmUnplugAll();
    HkUnloadDriver(Driver);
    EXPECT_TRUE(HkCheckClean());
    EXPECT_TRUE(HkViolations().empty());
}

} // namespace
