// Interrupt connection, delivery and synchronisation, I/O port space, and the power manager's
// requests in the kernel stand-in.
#include "kernel_rig.h"

#include <atomic>
#include <thread>

namespace {

struct IsrState {
    int Calls = 0;
    bool Claim = false;
    KIRQL IrqlSeen = 0;
    PKINTERRUPT ObjectSeen = nullptr;
};

BOOLEAN CountingIsr(PKINTERRUPT interrupt, PVOID context)
{
    IsrState* state = static_cast<IsrState*>(context);
    ++state->Calls;
    state->IrqlSeen = KeGetCurrentIrql();
    state->ObjectSeen = interrupt;
    return state->Claim;
}

BOOLEAN NoteIrql(PVOID context)
{
    *static_cast<KIRQL*>(context) = KeGetCurrentIrql();
    return TRUE;
}

struct Port {
    UCHAR Value = 0x5A;
    ULONG LastOffset = 0;
    ULONG Raise = 0; // vector to raise on a write, 0: none
};

ULONG PortRead(void* context, ULONG offset, int)
{
    Port* port = static_cast<Port*>(context);
    port->LastOffset = offset;
    return port->Value;
}

void PortWrite(void* context, ULONG offset, int, ULONG value)
{
    Port* port = static_cast<Port*>(context);
    port->LastOffset = offset;
    port->Value = static_cast<UCHAR>(value);
    if (port->Raise != 0) {
        HkDeliverInterrupt(port->Raise);
    }
}

const HkIoHandler PortHandler{PortRead, PortWrite};

} // namespace

TEST_F(KernelTest, SharedVectorCallsRoutinesInOrderUntilOneClaims)
{
    IsrState foreign, ours;
    PKINTERRUPT foreignObject = HkConnectForeignIsr(0x51, 9, CountingIsr, &foreign);
    ASSERT_NE(foreignObject, nullptr);
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, CountingIsr, &ours, nullptr, 0x51, 9, 9, LevelSensitive,
                                 TRUE, 1, FALSE),
              STATUS_SUCCESS);
    PKINTERRUPT exclusive = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&exclusive, CountingIsr, &ours, nullptr, 0x51, 9, 9,
                                 LevelSensitive, FALSE, 1, FALSE),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(HkInterruptsOn(0x51).size(), 2u);
    EXPECT_EQ(HkInterruptsOn(0x51)[1].ServiceContext, &ours);

    EXPECT_FALSE(HkDeliverInterrupt(0x51));
    EXPECT_EQ(foreign.Calls, 1);
    EXPECT_EQ(ours.Calls, 1);
    EXPECT_EQ(ours.IrqlSeen, 9);
    EXPECT_EQ(ours.ObjectSeen, object);
    EXPECT_EQ(HkUnclaimedInterrupts(0x51), 1u);

    foreign.Claim = true;
    EXPECT_TRUE(HkDeliverInterrupt(0x51));
    EXPECT_EQ(foreign.Calls, 2);
    EXPECT_EQ(ours.Calls, 1) << "a claimed interrupt goes no further";
    EXPECT_EQ(HkCurrentIrql(), PASSIVE_LEVEL);

    KIRQL seen = 0;
    EXPECT_TRUE(KeSynchronizeExecution(object, NoteIrql, &seen));
    EXPECT_EQ(seen, 9);

    IoDisconnectInterrupt(object);
    HkDisconnectForeignIsr(foreignObject);
    auto found = Violations([&] { KeSynchronizeExecution(object, NoteIrql, &seen); });
    EXPECT_TRUE(Mentions(found, "not a connected interrupt")) << ::testing::PrintToString(found);

    HkFailNth(HkFault::ConnectInterrupt, 1);
    EXPECT_EQ(IoConnectInterrupt(&object, CountingIsr, &ours, nullptr, 0x52, 9, 9, Latched, FALSE,
                                 1, FALSE),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(KernelTest, PortSpaceReachesHandlersAndRecordsEveryAccess)
{
    Port port;
    HkMapIo(0xE000, 8, &PortHandler, &port);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE003)), 0x5A);
    EXPECT_EQ(port.LastOffset, 3u);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x1E001), 0x11); // the processor decodes 16 bits
    EXPECT_EQ(port.Value, 0x11);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE008)), 0xFF);
    EXPECT_EQ(READ_PORT_USHORT(reinterpret_cast<PUSHORT>(0xF000)), 0xFFFF);
    std::vector<HkIoAccess> log = HkIoLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].Address, 0xE001u);
    EXPECT_TRUE(log[1].Write);
    EXPECT_EQ(log[1].Value, 0x11u);
    EXPECT_FALSE(log[2].Mapped);
    EXPECT_EQ(log[3].Width, 2);
    EXPECT_EQ(HkIoAccessCount(), 4u);
    HkUnmapIo(0xE000);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE003)), 0xFF);
}

// A device that raises its line from a port write made under the interrupt's synchronisation
// gets its routine called only after the synchronised routine has finished.
TEST_F(KernelTest, InterruptRaisedAtOrAboveItsIrqlWaitsUntilTheIrqlDrops)
{
    IsrState state;
    state.Claim = true;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&object, CountingIsr, &state, nullptr, 0x61, 7, 7, LevelSensitive,
                                 FALSE, 1, FALSE),
              STATUS_SUCCESS);
    Port port;
    port.Raise = 0x61;
    HkMapIo(0xD000, 8, &PortHandler, &port);
    struct Context {
        IsrState* State;
        int CallsInside;
    } context{&state, -1};
    KeSynchronizeExecution(
        object,
        [](PVOID p) -> BOOLEAN {
            Context* c = static_cast<Context*>(p);
            WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xD001), 1);
            c->CallsInside = c->State->Calls;
            return TRUE;
        },
        &context);
    EXPECT_EQ(context.CallsInside, 0);
    EXPECT_EQ(state.Calls, 1);
    IoDisconnectInterrupt(object);
}

TEST(KernelConcurrency, SynchronisedRoutineNeverOverlapsTheServiceRoutine)
{
    HkReset();
    HkSetViolationHandler([](const HkViolation& v) { ADD_FAILURE() << v.What; });
    struct Shared {
        std::atomic<int> Inside{0};
        std::atomic<bool> Overlap{false};
        int Counter = 0;
    } shared;
    auto enter = [](Shared* s) {
        if (s->Inside.fetch_add(1) != 0) {
            s->Overlap = true;
        }
        ++s->Counter;
        s->Inside.fetch_sub(1);
    };
    static Shared* current;
    static void (*touch)(Shared*);
    current = &shared;
    touch = enter;
    PKINTERRUPT object = nullptr;
    ASSERT_EQ(IoConnectInterrupt(
                  &object,
                  [](PKINTERRUPT, PVOID) -> BOOLEAN {
                      touch(current);
                      return TRUE;
                  },
                  nullptr, nullptr, 0x70, 8, 8, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    std::thread hardware([] {
        for (int i = 0; i < 2000; ++i) {
            HkDeliverInterrupt(0x70);
        }
    });
    for (int i = 0; i < 2000; ++i) {
        KeSynchronizeExecution(
            object,
            [](PVOID) -> BOOLEAN {
                touch(current);
                return TRUE;
            },
            nullptr);
    }
    hardware.join();
    EXPECT_FALSE(shared.Overlap.load());
    EXPECT_EQ(shared.Counter, 4000);
    IoDisconnectInterrupt(object);
    EXPECT_TRUE(HkCheckClean());
    HkSetViolationHandler(nullptr);
}

namespace {

struct PowerDone {
    KEVENT Event;
    NTSTATUS Status = STATUS_PENDING;
    PDEVICE_OBJECT Device = nullptr;
    POWER_STATE State{};
};

VOID RequestDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE state, PVOID context,
                 PIO_STATUS_BLOCK status)
{
    PowerDone* done = static_cast<PowerDone*>(context);
    done->Status = status->Status;
    done->Device = device;
    done->State = state;
    KeSetEvent(&done->Event, IO_NO_INCREMENT, FALSE);
}

} // namespace

TEST_F(KernelConcurrencyTest, PowerRequestArrivesAtTheTopFromAnotherThreadAtPassiveLevel)
{
    std::thread::id caller = std::this_thread::get_id();
    std::thread::id seenThread;
    KIRQL seenIrql = HIGH_LEVEL;
    POWER_STATE seenState{};
    PDEVICE_OBJECT bottom = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT top = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            seenThread = std::this_thread::get_id();
            seenIrql = KeGetCurrentIrql();
            seenState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(bottom, irp);
        },
        bottom);

    PowerDone done;
    KeInitializeEvent(&done.Event, NotificationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    EXPECT_EQ(PoRequestPowerIrp(bottom, IRP_MN_SET_POWER, state, RequestDone, &done, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&done.Event, Executive, KernelMode, FALSE, nullptr);
    HkWaitPowerRequests();
    EXPECT_NE(seenThread, caller);
    EXPECT_EQ(seenIrql, PASSIVE_LEVEL);
    EXPECT_EQ(seenState.DeviceState, PowerDeviceD2);
    EXPECT_EQ(done.Status, STATUS_SUCCESS);
    EXPECT_EQ(done.Device, bottom);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
    std::vector<HkPowerRequest> requests = HkPowerRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Target, bottom);
    EXPECT_EQ(requests[0].Result, STATUS_SUCCESS);
    EXPECT_EQ(HkStartNextPowerIrps().size(), 2u);
    EXPECT_EQ(HkObjectReferences(top), 1) << "the reference on the top was dropped";

    HkFailNth(HkFault::RequestPowerIrp, 1);
    EXPECT_EQ(PoRequestPowerIrp(bottom, IRP_MN_SET_POWER, state, RequestDone, &done, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HkPowerRequests().size(), 1u);
}
