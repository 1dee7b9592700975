// IRP dispatch and completion in the kernel stand-in: stack locations, completion routine order
// and device objects, PendingReturned propagation, STATUS_MORE_PROCESSING_REQUIRED, the I/O
// manager's finishing of synchronous requests, and the verifier's IRP rules.
#include "kernel_rig.h"

#include <atomic>
#include <thread>

namespace {

struct Trace {
    std::vector<PDEVICE_OBJECT> Devices;
    std::vector<bool> PendingSeen;
};

NTSTATUS Record(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    Trace* trace = static_cast<Trace*>(context);
    trace->Devices.push_back(device);
    trace->PendingSeen.push_back(irp->PendingReturned != FALSE);
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return irp->IoStatus.Status;
}

NTSTATUS SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Copies its location down, hooks Record and passes the IRP on.
DispatchBehaviour Hooks(PDEVICE_OBJECT* lower, Trace* trace)
{
    return [lower, trace](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, trace, TRUE, TRUE, TRUE);
        return IoCallDriver(*lower, irp);
    };
}

} // namespace

TEST_F(KernelTest, CompletionRoutinesRunBottomUpWithTheDeviceThatSetThem)
{
    Trace trace;
    PDEVICE_OBJECT bottom = MakeDevice(Completes(STATUS_SUCCESS));
    PDEVICE_OBJECT middle = MakeDevice(Hooks(&bottom, &trace), bottom);
    PDEVICE_OBJECT top = MakeDevice(Hooks(&middle, &trace), middle);
    EXPECT_EQ(top->StackSize, 3);

    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_UNSUCCESSFUL;
    PIRP irp = BuildPnp(top, IRP_MN_QUERY_CAPABILITIES, &event, &iosb);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);

    ASSERT_EQ(trace.Devices.size(), 2u);
    EXPECT_EQ(trace.Devices[0], middle);
    EXPECT_EQ(trace.Devices[1], top);
    EXPECT_EQ(trace.PendingSeen, (std::vector<bool>{false, false}));
    // Finished by the I/O manager: status block filled, event set, IRP freed.
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

TEST_F(KernelTest, PendingReturnedTravelsUpThroughLocationsWithoutRoutine)
{
    Trace trace;
    PIRP held = nullptr;
    PDEVICE_OBJECT bottom = MakeDevice([&held](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT middle = MakeDevice(PassesTo(&bottom), bottom);
    PDEVICE_OBJECT top = MakeDevice(Hooks(&middle, &trace), middle);

    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = BuildPnp(top, IRP_MN_START_DEVICE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(HkIrpsOutstanding(), 1u);

    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    // The middle location had no routine: its pending mark reached the top's routine.
    EXPECT_EQ(trace.PendingSeen, (std::vector<bool>{true}));
    EXPECT_EQ(trace.Devices, (std::vector<PDEVICE_OBJECT>{top}));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

class ForcedPendingConcurrency : public KernelConcurrencyTest {
protected:
    // A query sent to the top of a stack whose driver's requests are forced pending: the caller
    // is answered STATUS_PENDING, and the I/O manager finishes the request later. Its status.
    NTSTATUS QueryPending(PDEVICE_OBJECT top)
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = BuildPnp(top, IRP_MN_QUERY_CAPABILITIES, &event, &iosb);
        EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        return iosb.Status;
    }
};

// Forced pending below a driver: what its device sends down answers STATUS_PENDING and reaches the
// lower device later, from another thread; what the manager sends to the top is left alone, and a
// lower driver that completes at once is no violation.
TEST_F(ForcedPendingConcurrency, HoldsBackWhatADriverSendsDown)
{
    Trace trace;
    std::atomic<bool> reached{false};
    std::thread::id caller = std::this_thread::get_id();
    std::thread::id below;
    PDEVICE_OBJECT bottom = MakeDevice([&](PDEVICE_OBJECT device, PIRP irp) {
        below = std::this_thread::get_id();
        reached = true;
        return Completes(STATUS_SUCCESS)(device, irp);
    });
    PDEVICE_OBJECT top = MakeDevice(Hooks(&bottom, &trace), bottom);
    HkForcePendingBelow(Driver);
    EXPECT_EQ(QueryPending(top), STATUS_SUCCESS);
    EXPECT_TRUE(reached);
    EXPECT_NE(below, caller);
    EXPECT_EQ(trace.PendingSeen, (std::vector<bool>{true}));

    HkForcePendingBelow(nullptr);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = BuildPnp(top, IRP_MN_QUERY_CAPABILITIES, &event, &iosb);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(below, caller);
}

// Forced pending answers for the driver right below; a filter there that skip-forwards hands its
// stack location to the device below it. Neither sees a pending mark they did not set, and the
// device below may complete at once; the caller's routine still hears that it was pending.
TEST_F(ForcedPendingConcurrency, AboveASkipForwardingFilterBlamesNoDriverBelow)
{
    Trace trace;
    bool markSeenBelow = false;
    PDEVICE_OBJECT bottom = MakeDevice([&](PDEVICE_OBJECT device, PIRP irp) {
        markSeenBelow = (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
        return Completes(STATUS_SUCCESS)(device, irp);
    });
    PDEVICE_OBJECT filter = MakeDevice(PassesTo(&bottom), bottom, LoadOtherDriver(L"filter"));
    PDEVICE_OBJECT top = MakeDevice(Hooks(&filter, &trace), filter);
    HkForcePendingBelow(Driver);
    EXPECT_EQ(QueryPending(top), STATUS_SUCCESS);
    HkForcePendingBelow(nullptr);
    EXPECT_FALSE(markSeenBelow);
    EXPECT_EQ(trace.PendingSeen, (std::vector<bool>{true}));
}

// A driver that deletes its device while a request it hooked is still below: its routine would
// run against memory the platform has taken back. A deleted object still referenced is valid.
TEST_F(KernelTest, CompletionThroughAFreedDeviceIsReported)
{
    for (bool referenced : {true, false}) {
        Trace trace;
        PIRP held = nullptr;
        PDEVICE_OBJECT bottom = MakeDevice([&held](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        });
        PDEVICE_OBJECT top = MakeDevice(Hooks(&bottom, &trace), bottom);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(IoCallDriver(top, BuildPnp(top, IRP_MN_START_DEVICE, &event, &iosb)),
                  STATUS_PENDING);
        if (referenced) {
            ObfReferenceObject(top);
        }
        IoDetachDevice(bottom);
        IoDeleteDevice(top);

        held->IoStatus.Status = STATUS_SUCCESS;
        auto found = Violations([&] { IoCompleteRequest(held, IO_NO_INCREMENT); });
        EXPECT_EQ(Mentions(found, "deleted and freed"), !referenced)
            << ::testing::PrintToString(found);
        EXPECT_EQ(trace.Devices, (std::vector<PDEVICE_OBJECT>{top}));
        if (referenced) {
            ObfDereferenceObject(top);
        }
    }
}

TEST_F(KernelTest, MoreProcessingRequiredHandsTheIrpBackUntilCompletedAgain)
{
    int routineCalls = 0;
    PDEVICE_OBJECT bottom = MakeDevice(Completes(STATUS_UNSUCCESSFUL));
    PDEVICE_OBJECT top = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            KEVENT done;
            KeInitializeEvent(&done, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, SignalAndStop, &done, FALSE, TRUE, FALSE);
            IoCallDriver(bottom, irp);
            KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
            ++routineCalls;
            // The IRP is ours again, completion stopped at our location.
            EXPECT_EQ(irp->CurrentLocation, irp->StackCount);
            EXPECT_EQ(HkIrpsOutstanding(), 1u);
            NTSTATUS status = irp->IoStatus.Status;
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status == STATUS_UNSUCCESSFUL ? STATUS_DEVICE_BUSY : status;
        },
        bottom);

    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    PIRP irp = BuildPnp(top, IRP_MN_START_DEVICE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_DEVICE_BUSY);
    EXPECT_EQ(routineCalls, 1);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

TEST_F(KernelTest, RoutineInvokeFlagsSelectByStatus)
{
    Trace trace;
    PDEVICE_OBJECT bottom = MakeDevice(Completes(STATUS_UNSUCCESSFUL));
    PDEVICE_OBJECT top = MakeDevice(
        [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Record, &trace, TRUE, FALSE, FALSE); // success only
            return IoCallDriver(bottom, irp);
        },
        bottom);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(IoCallDriver(top, BuildPnp(top, IRP_MN_START_DEVICE, &event, &iosb)),
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(trace.Devices.empty());
    EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
}

TEST_F(KernelTest, MajorFunctionsWithoutEntryAreRejectedByTheDefault)
{
    PDEVICE_OBJECT device = MakeDevice(Completes(STATUS_SUCCESS));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                            &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

TEST_F(KernelTest, VerifierCatchesPendingWithoutMarkAndTheReverse)
{
    PDEVICE_OBJECT unmarked = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    });
    PDEVICE_OBJECT marked = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT correct = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    });
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    auto found = Violations(
        [&] { IoCallDriver(unmarked, BuildPnp(unmarked, IRP_MN_START_DEVICE, &event, &iosb)); });
    EXPECT_TRUE(Mentions(found, "without IoMarkIrpPending")) << ::testing::PrintToString(found);
    found = Violations(
        [&] { IoCallDriver(marked, BuildPnp(marked, IRP_MN_START_DEVICE, &event, &iosb)); });
    EXPECT_TRUE(Mentions(found, "marked the IRP pending")) << ::testing::PrintToString(found);
    found = Violations(
        [&] { IoCallDriver(correct, BuildPnp(correct, IRP_MN_START_DEVICE, &event, &iosb)); });
    EXPECT_TRUE(found.empty()) << ::testing::PrintToString(found);
}

TEST_F(KernelTest, VerifierCatchesDoubleCompletionAndUseAfterCompletion)
{
    PDEVICE_OBJECT twice = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    // The synchronous IRP is freed by its first completion.
    auto found = Violations(
        [&] { IoCallDriver(twice, BuildPnp(twice, IRP_MN_START_DEVICE, &event, &iosb)); });
    EXPECT_TRUE(Mentions(found, "after it was freed")) << ::testing::PrintToString(found);

    // An IRP the caller owns, stopped at the top: a second completion finds no driver location.
    PIRP irp = IoAllocateIrp(twice->StackSize, FALSE);
    KEVENT stopped;
    KeInitializeEvent(&stopped, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalAndStop, &stopped, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    found = Violations([&] { IoCallDriver(twice, irp); });
    EXPECT_TRUE(Mentions(found, "completed twice")) << ::testing::PrintToString(found);
    found = Violations([&] {
        IoFreeIrp(irp);
        IoFreeIrp(irp);
        IoCallDriver(twice, irp);
    });
    EXPECT_TRUE(Mentions(found, "already freed")) << ::testing::PrintToString(found);
    EXPECT_TRUE(Mentions(found, "IofCallDriver with IRP")) << ::testing::PrintToString(found);
}

TEST_F(KernelTest, VerifierCatchesBadCompletionsAndSends)
{
    PDEVICE_OBJECT pendingStatus = MakeDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    PDEVICE_OBJECT plain = MakeDevice(Completes(STATUS_SUCCESS));
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    auto found = Violations([&] {
        IoCallDriver(pendingStatus, BuildPnp(pendingStatus, IRP_MN_START_DEVICE, &event, &iosb));
    });
    EXPECT_TRUE(Mentions(found, "completed with STATUS_PENDING"))
        << ::testing::PrintToString(found);

    // A plug-and-play IRP must start out as STATUS_NOT_SUPPORTED.
    found = Violations([&] {
        PIRP irp = BuildPnp(plain, IRP_MN_START_DEVICE, &event, &iosb);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCallDriver(plain, irp);
    });
    EXPECT_TRUE(Mentions(found, "STATUS_NOT_SUPPORTED")) << ::testing::PrintToString(found);

    // An IRP from IoAllocateIrp that nobody stops at the top cannot be finished.
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    found = Violations([&] { IoCallDriver(plain, irp); });
    EXPECT_TRUE(Mentions(found, "completed to the top")) << ::testing::PrintToString(found);
    IoFreeIrp(irp);

    // No location left for the driver the IRP is sent to.
    irp = IoAllocateIrp(1, FALSE);
    IoSetNextIrpStackLocation(irp); // the caller takes the only location for itself
    found = Violations([&] { IoCallDriver(plain, irp); });
    EXPECT_TRUE(Mentions(found, "no stack location left")) << ::testing::PrintToString(found);
    IoFreeIrp(irp);
}

TEST_F(KernelTest, VerifierCatchesAMutexHeldWhenDispatchReturns)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    PDEVICE_OBJECT device = MakeDevice([&mutex](PDEVICE_OBJECT, PIRP irp) {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    auto found = Violations(
        [&] { IoCallDriver(device, BuildPnp(device, IRP_MN_START_DEVICE, &event, &iosb)); });
    EXPECT_TRUE(Mentions(found, "returned holding a mutex")) << ::testing::PrintToString(found);
    found = Violations([] { HkCheckClean(); });
    EXPECT_TRUE(Mentions(found, "still held")) << ::testing::PrintToString(found);
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(KernelTest, FaultInjectionFailsTheNthCallOfAKind)
{
    PDEVICE_OBJECT device = MakeDevice(Completes(STATUS_SUCCESS));
    HkFailNth(HkFault::AllocateIrp, 2);
    PIRP first = IoAllocateIrp(1, FALSE);
    PIRP second = IoAllocateIrp(1, FALSE);
    PIRP third = IoAllocateIrp(1, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(HkCallCount(HkFault::AllocateIrp), 3u);
    IoFreeIrp(first);
    IoFreeIrp(third);

    HkFailNth(HkFault::BuildSynchronousFsdRequest, 1, true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(
            IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb),
            nullptr);
    }
    HkClearFaults();
    PIRP irp = BuildPnp(device, IRP_MN_START_DEVICE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(device, irp);
    EXPECT_EQ(HkCallCount(HkFault::BuildSynchronousFsdRequest), 4u); // counted from arming

    HkFailNth(HkFault::Pool, 1);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, 0x74736554), nullptr);
    void* p = ExAllocatePoolWithTag(PagedPool, 8, 0x74736554);
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    // The platform's own calls are neither counted nor failed.
    HkFailNth(HkFault::Pool, 1);
    {
        HkPlatformCalls platform;
        p = ExAllocatePoolWithTag(PagedPool, 8, 0x74736554);
    }
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    EXPECT_EQ(HkCallCount(HkFault::Pool), 0u);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, 0x74736554), nullptr) << "the driver's first";

    HkFailNth(HkFault::CreateDevice, 1);
    PDEVICE_OBJECT none = nullptr;
    EXPECT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none),
              STATUS_INSUFFICIENT_RESOURCES);
    HkFailNth(HkFault::AttachDevice, 1);
    PDEVICE_OBJECT lone = nullptr;
    ASSERT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lone),
              STATUS_SUCCESS);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(lone, device), nullptr);
    IoDeleteDevice(lone);
}
