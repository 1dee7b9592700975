// The adapter's plug-and-play routine as the plug-and-play manager drives it: bus relations, the
// query and cancel requests, capabilities, surprise removal followed by removal, and the
// adapter's life, which ends exactly when the last request that uses it leaves.
#include "adapter_rig.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

using namespace adapterrig;

namespace {

constexpr ULONG RelationsTestTag = 0x6C655254; // "TRel"

PDEVICE_RELATIONS NewRelations(std::initializer_list<PDEVICE_OBJECT> devices)
{
    auto rel = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS) + 4 * sizeof(PVOID), RelationsTestTag));
    rel->Count = 0;
    for (PDEVICE_OBJECT d : devices) {
        ObReferenceObject(d);
        rel->Objects[rel->Count++] = d;
    }
    return rel;
}

// What the manager does with an answer: drop every reference and free the list.
void Release(PDEVICE_RELATIONS rel)
{
    for (ULONG i = 0; i < rel->Count; ++i) {
        ObDereferenceObject(rel->Objects[i]);
    }
    ExFreePool(rel);
}

size_t BusSaw(PDEVICE_OBJECT pdo, UCHAR minor)
{
    return spine::BusRecords(pdo, IRP_MJ_PNP, minor).size();
}

class AdapterPlugAndPlay : public AdapterRig {
protected:
    // Sends a bus relations query carrying previous (an upper driver's answer) in Information.
    DirectResult Relations(PDEVICE_RELATIONS previous, bool failPool = false)
    {
        PIRP irp = IoAllocateIrp(Fdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(previous);
        PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
        s->Parameters.QueryDeviceRelations.Type = BusRelations;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, portrig::StopAtCompletion, &done, TRUE, TRUE, TRUE);
        if (failPool) {
            HkFailNth(HkFault::Pool, 1);
        }
        DirectResult r;
        r.Returned = IofCallDriver(Fdo, irp);
        HkClearFaults();
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        r.Status = irp->IoStatus.Status;
        r.Information = irp->IoStatus.Information;
        IoFreeIrp(irp);
        return r;
    }

    std::vector<LONG> PortReferences()
    {
        std::vector<LONG> refs;
        for (PPORT_EXTENSION p : Ports) {
            refs.push_back(HkObjectReferences(p->Self));
        }
        return refs;
    }
};

TEST_F(AdapterPlugAndPlay, BusRelationsListEveryPortInOrderReferencedOnce)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    const std::vector<LONG> before = PortReferences();

    DirectResult r = Relations(nullptr);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
    ASSERT_NE(rel, nullptr);
    ASSERT_EQ(rel->Count, 4u);
    for (ULONG k = 0; k < 4; ++k) {
        EXPECT_EQ(rel->Objects[k], Ports[k]->Self) << "entry " << k;
        EXPECT_EQ(HkObjectReferences(Ports[k]->Self), before[k] + 1) << "port " << k;
    }
    ULONG tag = 0;
    int poolType = -1;
    ASSERT_TRUE(HkPoolBlockInfo(rel, &tag, &poolType, nullptr));
    EXPECT_EQ(tag, CorPoolTag);
    EXPECT_EQ(poolType, PagedPool);
    Release(rel);
    EXPECT_EQ(PortReferences(), before);
}

TEST_F(AdapterPlugAndPlay, AnUpperDriversRelationsComeFirstAndItsListIsFreed)
{
    Plug(HmModel::LX2B);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    PDEVICE_RELATIONS previous = NewRelations({Fdo, Pdo});

    DirectResult r = Relations(previous);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
    ASSERT_NE(rel, previous);
    EXPECT_FALSE(HkPoolBlockInfo(previous, nullptr, nullptr, nullptr)) << "previous list freed";
    ASSERT_EQ(rel->Count, 4u);
    EXPECT_EQ(rel->Objects[0], Fdo);
    EXPECT_EQ(rel->Objects[1], Pdo);
    EXPECT_EQ(rel->Objects[2], Ports[0]->Self);
    EXPECT_EQ(rel->Objects[3], Ports[1]->Self);
    Release(rel);
}

TEST_F(AdapterPlugAndPlay, WithoutPoolTheUpperAnswerStaysAndNoPortIsReferenced)
{
    Plug(HmModel::LX4C);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    const std::vector<LONG> before = PortReferences();
    PDEVICE_RELATIONS previous = NewRelations({Pdo});

    DirectResult r = Relations(previous, true);
    EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.Information, reinterpret_cast<ULONG_PTR>(previous));
    ASSERT_TRUE(HkPoolBlockInfo(previous, nullptr, nullptr, nullptr));
    EXPECT_EQ(previous->Count, 1u);
    EXPECT_EQ(PortReferences(), before);
    Release(previous);
}

// Surprise removal: the interrupt goes (the ports are quiesced once more by the remove that
// follows), the manager is told to look at the bus again and then hears of no port, and the
// removal deletes the adapter with its ports.
TEST_F(AdapterPlugAndPlay, SurpriseRemovalHidesThePortsAndTheRemoveDeletesEverything)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmPortDevices(Pdo).size(), 4u);
    const ULONG vector = Adapter->InterruptVector;
    const ULONG64 lineControl = Ports[0]->IoBase + 3;
    HkClearIoLog();

    DirectResult r = portrig::SendPnp(Fdo, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->PnpState, PnpSurpriseRemoved);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_TRUE(HkInterruptsOn(vector).empty());
    EXPECT_EQ(ReadsOf(lineControl), 1u);
    std::vector<HkRelationsInvalidation> invalidations = HkRelationsInvalidations();
    ASSERT_EQ(invalidations.size(), 1u);
    EXPECT_EQ(invalidations[0].Device, Pdo);
    EXPECT_EQ(invalidations[0].Type, BusRelations);

    // The manager's new look at the bus finds no port: it removes them.
    HmWaitPnpIdle();
    EXPECT_TRUE(HmPortDevices(Pdo).empty());
    const std::vector<LONG> before = PortReferences();
    PDEVICE_RELATIONS previous = NewRelations({Pdo});
    r = Relations(previous);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, reinterpret_cast<ULONG_PTR>(previous));
    EXPECT_EQ(previous->Count, 1u);
    EXPECT_EQ(PortReferences(), before);
    Release(previous);
    // Surprise removal withdraws the interrupt, not the ranges.
    EXPECT_EQ(Ports[0]->IoLength, 8u);

    ASSERT_EQ(HmRemoveAdapter(Pdo), STATUS_SUCCESS);
    EXPECT_EQ(ReadsOf(lineControl), 2u) << "the remove quiesces the ports again";
    EXPECT_EQ(Driver->DeviceObject, nullptr) << "adapter and port devices deleted";
    EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 0u);
}

TEST_F(AdapterPlugAndPlay, QueryRemoveIsRefusedOnlyOnALegacyPlatformWhileTheAdapterIsOpen)
{
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "WDM 1.00" : "WDM 1.30");
        HkUnloadDriver(Driver);
        Driver = nullptr;
        HkSetWdmVersion(1, legacy ? 0x00 : 0x30);
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
        Plug(HmModel::LX2A);

        Fdo->ReferenceCount = 1; // a handle is open on the adapter device
        NTSTATUS status = HmSendPnp(Pdo, IRP_MN_QUERY_REMOVE_DEVICE).Status;
        if (legacy) {
            EXPECT_EQ(status, STATUS_DEVICE_BUSY);
            EXPECT_EQ(BusSaw(Pdo, IRP_MN_QUERY_REMOVE_DEVICE), 0u);
            EXPECT_EQ(Adapter->PnpState, PnpActive);
            Fdo->ReferenceCount = 0;
            status = HmSendPnp(Pdo, IRP_MN_QUERY_REMOVE_DEVICE).Status;
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(BusSaw(Pdo, IRP_MN_QUERY_REMOVE_DEVICE), 1u);
        EXPECT_EQ(Adapter->PnpState, PnpRemovePending);
        Fdo->ReferenceCount = 0;

        EXPECT_EQ(HmSendPnp(Pdo, IRP_MN_CANCEL_REMOVE_DEVICE).Status, STATUS_SUCCESS);
        EXPECT_EQ(BusSaw(Pdo, IRP_MN_CANCEL_REMOVE_DEVICE), 1u);
        EXPECT_EQ(Adapter->PnpState, PnpActive);
        ASSERT_EQ(HmRemoveAdapter(Pdo), STATUS_SUCCESS);
    }
}

TEST_F(AdapterPlugAndPlay, QueryStopAndCancelStopGoDownAndTrackTheState)
{
    Plug(HmModel::LX2A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    EXPECT_EQ(HmSendPnp(Pdo, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->PnpState, PnpStopPending);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_QUERY_STOP_DEVICE), 1u);
    EXPECT_EQ(HmSendPnp(Pdo, IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_CANCEL_STOP_DEVICE), 1u);
    EXPECT_EQ(Adapter->PnpState, PnpActive);
    // Nothing was withdrawn: the query did not stop anything.
    EXPECT_EQ(Ports[1]->IoLength, 8u);
    EXPECT_NE(Adapter->InterruptObject, nullptr);
}

TEST_F(AdapterPlugAndPlay, CapabilitiesAreKeptOnlyFromASuccessfulAnswer)
{
    Plug(HmModel::LX4B);
    DEVICE_CAPABILITIES caps;
    auto query = [&] {
        std::memset(&caps, 0, sizeof caps);
        caps.Size = sizeof caps;
        caps.Version = 1;
        return HmSendPnp(Pdo, IRP_MN_QUERY_CAPABILITIES,
                         [&](PIO_STACK_LOCATION s) {
                             s->Parameters.DeviceCapabilities.Capabilities = &caps;
                         })
            .Status;
    };
    ASSERT_EQ(query(), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&Adapter->Capabilities, &caps, sizeof caps), 0);
    EXPECT_EQ(Adapter->Capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3)
        << "the bus's map replaces the default one";

    DEVICE_CAPABILITIES kept = Adapter->Capabilities;
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    answers.CapabilitiesStatus = STATUS_DEVICE_NOT_READY;
    answers.Capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD1;
    HmSetBusAnswers(Pdo, answers);
    EXPECT_EQ(query(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(std::memcmp(&Adapter->Capabilities, &kept, sizeof kept), 0);
}

TEST_F(AdapterPlugAndPlay, StartThatTheBusFailsTouchesNoHardware)
{
    Plug(HmModel::LX4A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    answers.StartStatus = STATUS_DEVICE_NOT_READY;
    HmSetBusAnswers(Pdo, answers);
    const size_t configReads = BusSaw(Pdo, IRP_MN_READ_CONFIG);

    EXPECT_EQ(HmStartAdapter(Pdo), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_READ_CONFIG), configReads);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_QUERY_ID), 0u);
    EXPECT_EQ(HkIoAccessCount(), 0u);
    EXPECT_EQ(Adapter->PnpState, PnpActive);
    EXPECT_EQ(Adapter->HasInterrupt, FALSE);
    EXPECT_TRUE(Reports().empty());
}

TEST_F(AdapterPlugAndPlay, OtherRequestsGoDownTheStackUntouched)
{
    Plug(HmModel::LX2A);
    const UCHAR minors[] = {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                            IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_BUS_INFORMATION, 0x18};
    for (UCHAR minor : minors) {
        SCOPED_TRACE(HmPnpMinorName(minor));
        const size_t seen = BusSaw(Pdo, minor);
        DirectResult r = portrig::SendPnp(Fdo, minor, {}, 0x1234);
        EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED) << "the bus completes it as it came";
        EXPECT_EQ(r.Information, 0x1234u);
        EXPECT_EQ(BusSaw(Pdo, minor), seen + 1);
    }
    EXPECT_EQ(Adapter->OutstandingIo, 1);
}

// An orderly removal with nothing else in progress deletes the adapter on its way out.
TEST_F(AdapterPlugAndPlay, RemoveDeletesTheAdapterAndItsPortsOnTheWayOut)
{
    Plug(HmModel::LX8A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> devices = spine::DevicesOf(Driver);
    ASSERT_EQ(devices.size(), 9u);

    ASSERT_EQ(HmRemoveAdapter(Pdo), STATUS_SUCCESS);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(Driver->DeviceObject, nullptr);
    EXPECT_EQ(Pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(HkInterruptsOn(0x61).empty());
    EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 0u);
}

// A lower filter between the bus's PDO and the adapter that holds every device set-power request
// until the test lets it go, so that a power request is still inside the adapter's stack when the
// remove arrives.
struct HoldingFilter {
    PDEVICE_OBJECT Lower;
    KEVENT Release;
    volatile LONG Held;
};

NTSTATUS HoldingFilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* filter = static_cast<HoldingFilter*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction;
    const UCHAR minor = stack->MinorFunction;
    if (major == IRP_MJ_POWER) {
        if (minor == IRP_MN_SET_POWER &&
            StoredValue(stack->Parameters.Power.Type) == DevicePowerState) {
            InterlockedIncrement(&filter->Held);
            KeWaitForSingleObject(&filter->Release, Executive, KernelMode, FALSE, nullptr);
        }
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(filter->Lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(filter->Lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(filter->Lower);
    }
    return status;
}

NTSTATUS HoldingFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = HoldingFilterDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = HoldingFilterDispatch;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = HoldingFilterDispatch;
    return STATUS_SUCCESS;
}

class AdapterLifeConcurrency : public AdapterRig {};

// Once a remove has returned, the bus driver below may delete its device: the remove waits for
// the power request still in the driver, then passes the remove down, detaches and deletes the
// adapter before it returns.
TEST_F(AdapterLifeConcurrency, RemoveWaitsForAPowerRequestAndDeletesTheAdapterBeforeReturning)
{
    Pdo = HmPlugAdapter(HmModel::LX2A);
    PDRIVER_OBJECT filterDriver = HkLoadDriver(HoldingFilterEntry, L"holdingfilter");
    ASSERT_NE(filterDriver, nullptr);
    PDEVICE_OBJECT filterDevice = nullptr;
    ASSERT_EQ(IoCreateDevice(filterDriver, sizeof(HoldingFilter), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &filterDevice),
              STATUS_SUCCESS);
    auto* filter = static_cast<HoldingFilter*>(filterDevice->DeviceExtension);
    KeInitializeEvent(&filter->Release, NotificationEvent, FALSE);
    filter->Held = 0;
    filter->Lower = IoAttachDeviceToDeviceStack(filterDevice, Pdo);
    ASSERT_EQ(filter->Lower, Pdo);
    filterDevice->StackSize = static_cast<CCHAR>(Pdo->StackSize + 1);
    filterDevice->Flags |= DO_POWER_PAGABLE;
    filterDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = portrig::AdapterDevice(Pdo);
    PADAPTER_EXTENSION adapter = AdapterOf(fdo);
    ASSERT_EQ(StartDirect(fdo, HmDefaultAssignment(Pdo)).Status, STATUS_SUCCESS);

    // Sleep: the adapter asks for D3 and waits for it; the filter holds that request.
    NTSTATUS powerStatus = STATUS_PENDING;
    std::thread power([&] {
        powerStatus =
            portrig::SendDirect(fdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = SystemPowerState;
                s->Parameters.Power.State.SystemState = PowerSystemSleeping3;
                s->Parameters.Power.ShutdownType = PowerActionSleep;
            }).Status;
    });
    ASSERT_TRUE(HmWaitUntil([&] { return InterlockedCompareExchange(&filter->Held, 0, 0) == 1; }));
    // The system request, its wait for the device request, the device request and the life.
    ASSERT_EQ(InterlockedCompareExchange(&adapter->OutstandingIo, 0, 0), 4);

    ASSERT_EQ(portrig::SendPnp(fdo, IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    NTSTATUS removeStatus = STATUS_PENDING;
    bool deletedAtReturn = false;
    bool detachedAtReturn = false;
    std::thread remove([&] {
        removeStatus = portrig::SendPnp(fdo, IRP_MN_REMOVE_DEVICE).Status;
        deletedAtReturn = !HkDeviceExists(fdo) || HkDeviceDeleted(fdo);
        detachedAtReturn = filterDevice->AttachedDevice == nullptr;
    });
    // The remove has given up the life reference and its own, and waits: nothing has gone down.
    ASSERT_TRUE(HmWaitUntil(
        [&] { return InterlockedCompareExchange(&adapter->OutstandingIo, 0, 0) == 3; }));
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_REMOVE_DEVICE), 0u) << "the remove went down while in use";
    EXPECT_TRUE(HkDeviceExists(fdo) && !HkDeviceDeleted(fdo));

    KeSetEvent(&filter->Release, IO_NO_INCREMENT, FALSE);
    power.join();
    remove.join();
    EXPECT_EQ(powerStatus, STATUS_SUCCESS);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_TRUE(deletedAtReturn) << "the adapter outlived its remove";
    EXPECT_TRUE(detachedAtReturn);
    EXPECT_EQ(BusSaw(Pdo, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_EQ(Driver->DeviceObject, nullptr);
    EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 0u);

    IoDeleteDevice(filterDevice);
    HkUnloadDriver(filterDriver);
}

} // namespace

namespace {

// A port interface call holds the adapter's mutex for its whole length, so a remove that arrives
// meanwhile waits for it; the adapter is deleted only after the call has left. Here the call is
// ConnectIsr, held up by an interrupt service routine that is still running.
TEST_F(AdapterLifeConcurrency, PortInterfaceCallInProgressHoldsOffTheRemove)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(StartDirect(Fdo, HmDefaultAssignment(Pdo)).Status, STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = Fdo;
    const ULONG vector = Adapter->InterruptVector;
    ScriptedRegister status;
    status.Map(Adapter->StatusPort, HmBar1Size);
    status.Script({0x01}, 0x00);

    struct Held {
        std::atomic<bool> Entered{false};
        std::atomic<bool> Release{false};
        static BOOLEAN Isr(PKINTERRUPT, PVOID context)
        {
            auto self = static_cast<Held*>(context);
            self->Entered = true;
            auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(HkWaitLimitMs());
            while (!self->Release && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            return TRUE;
        }
        static BOOLEAN Quiet(PKINTERRUPT, PVOID) { return FALSE; }
    } held;
    CORPORT_BUS_INTERFACE port0 = portrig::TakeInterface(Ports[0]->Self);
    CORPORT_BUS_INTERFACE port1 = portrig::TakeInterface(Ports[1]->Self);
    ASSERT_EQ(port0.ConnectIsr(port0.Context, Held::Isr, &held), STATUS_SUCCESS);

    std::thread line([&] { HkDeliverInterrupt(vector); });
    ASSERT_TRUE(HmWaitUntil([&] { return held.Entered.load(); }));

    // The call takes the adapter's mutex, then waits for the interrupt's lock.
    std::atomic<bool> hookDone{false};
    NTSTATUS hookStatus = STATUS_PENDING;
    std::thread hook([&] {
        hookStatus = port1.ConnectIsr(port1.Context, Held::Quiet, nullptr);
        hookDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    std::atomic<bool> removeDone{false};
    std::thread remove([&] {
        EXPECT_EQ(portrig::SendPnp(fdo, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
        removeDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(hookDone);
    EXPECT_FALSE(removeDone) << "the remove went ahead while a port interface call was running";
    EXPECT_TRUE(HkDeviceExists(fdo));

    // The port function driver is done with the interface once its last call returns.
    port0.InterfaceDereference(port0.Context);
    port1.InterfaceDereference(port1.Context);
    held.Release = true;
    line.join();
    hook.join();
    remove.join();
    EXPECT_EQ(hookStatus, STATUS_SUCCESS);
    EXPECT_TRUE(removeDone);
    EXPECT_FALSE(HkDeviceExists(fdo));
    EXPECT_EQ(Driver->DeviceObject, nullptr);
    EXPECT_TRUE(HkInterruptsOn(vector).empty());
}

} // namespace

namespace {

// Unload normally finds no adapter. One that is still there may have been started: its interrupt
// connection goes with it, so that no service routine is left pointing into its freed extension.
TEST_F(AdapterPlugAndPlay, UnloadOfAStartedAdapterDisconnectsItsInterrupt)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(StartDirect(Fdo, HmDefaultAssignment(Pdo)).Status, STATUS_SUCCESS);
    const ULONG vector = Adapter->InterruptVector;
    ASSERT_EQ(HkInterruptsOn(vector).size(), 1u);
    std::vector<ULONG64> bases;
    for (PPORT_EXTENSION port : Ports) {
        bases.push_back(port->IoBase);
    }
    HkClearIoLog();

    HkUnloadDriver(Driver);
    Driver = nullptr;
    EXPECT_TRUE(HkInterruptsOn(vector).empty());
    // Every UART had its interrupt sources switched off before the line was let go.
    for (ULONG64 base : bases) {
        std::vector<Access> ier = Simplify(IoAccessesIn(base + 1, 1));
        EXPECT_NE(std::find(ier.begin(), ier.end(), Access{base + 1, true, 0x00}), ier.end())
            << "port at 0x" << std::hex << base;
    }
    EXPECT_EQ(Pdo->AttachedDevice, nullptr);
    EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 0u);
}

} // namespace

namespace {

// A surprise removal has already taken the interrupt down; the hardware is gone and unload does
// not reach for it again.
TEST_F(AdapterPlugAndPlay, UnloadAfterASurpriseRemovalTouchesNoHardware)
{
    Plug(HmModel::LX2A);
    ASSERT_EQ(StartDirect(Fdo, HmDefaultAssignment(Pdo)).Status, STATUS_SUCCESS);
    ASSERT_EQ(portrig::SendPnp(Fdo, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    ASSERT_EQ(Adapter->InterruptObject, nullptr);
    HkClearIoLog();

    HkUnloadDriver(Driver);
    Driver = nullptr;
    EXPECT_TRUE(HkIoLog().empty()) << HkIoLog().size() << " I/O accesses";
    EXPECT_EQ(Pdo->AttachedDevice, nullptr);
}

} // namespace
