// The adapter's power policy as the power manager drives it: system transitions turned into device
// requests of the adapter's own making, in the order the bus sees them.
#include "port_rig.h"

#include <atomic>
#include <thread>

using namespace portrig;

namespace {

// One power request as the PCI bus driver saw it.
struct BusPower {
    ULONG Type;
    ULONG State;
    NTSTATUS Status;
    bool operator==(const BusPower& o) const
    {
        return Type == o.Type && State == o.State && Status == o.Status;
    }
};

std::ostream& operator<<(std::ostream& os, const BusPower& p)
{
    return os << (p.Type == SystemPowerState ? "S" : "D")
              << (p.Type == SystemPowerState ? p.State - 1 : p.State - 1) << " -> "
              << HmStatusName(p.Status);
}

struct Announcement {
    PDEVICE_OBJECT Device;
    ULONG State;
    bool operator==(const Announcement& o) const { return Device == o.Device && State == o.State; }
};

std::ostream& operator<<(std::ostream& os, const Announcement& a)
{
    return os << HmDeviceName(a.Device) << " D" << a.State - 1;
}

// A pass-through lower filter between the bus's PDO and the adapter, so that the adapter's lower
// device and its physical device are different objects.
struct FilterExtension {
    PDEVICE_OBJECT Lower;
};

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    UCHAR minor = stack->MinorFunction;
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->Lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(ext->Lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
        // Detached here; the device object goes at the end of the test, after the adapter above
        // it has detached too.
        IoDetachDevice(ext->Lower);
    }
    return status;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = FilterDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = FilterDispatch;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = FilterDispatch;
    return STATUS_SUCCESS;
}

class AdapterPowerPolicy : public ::testing::Test {
protected:
    void SetUp() override
    {
        HmReset();
        ArmVerifier();
        NoPortDrivers();
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }

    void TearDown() override
    {
        HmUnplugAll();
        if (Filter != nullptr) {
            IoDeleteDevice(Filter);
            HkUnloadDriver(FilterDriver);
        }
        HkUnloadDriver(Driver);
        EXPECT_TRUE(HkCheckClean());
        HkSetViolationHandler(nullptr);
    }

    // Starts an adapter. With defaultTable the bus's capabilities answer fails, so the adapter
    // keeps the table it set up itself (D2 for S1 to S4, D3 for S5).
    void Plug(bool defaultTable = true, const std::function<void(HmBusAnswers&)>& tune = {},
              bool withFilter = false)
    {
        Pdo = HmPlugAdapter(HmModel::LX2A);
        if (withFilter) {
            FilterDriver = HkLoadDriver(FilterEntry, L"powerfilter");
            ASSERT_NE(FilterDriver, nullptr);
            ASSERT_EQ(IoCreateDevice(FilterDriver, sizeof(FilterExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &Filter),
                      STATUS_SUCCESS);
            auto* ext = static_cast<FilterExtension*>(Filter->DeviceExtension);
            ext->Lower = IoAttachDeviceToDeviceStack(Filter, Pdo);
            ASSERT_EQ(ext->Lower, Pdo);
            Filter->StackSize = static_cast<CCHAR>(Pdo->StackSize + 1);
            Filter->Flags |= DO_POWER_PAGABLE;
            Filter->Flags &= ~DO_DEVICE_INITIALIZING;
        }
        HmBusAnswers answers = HmGetBusAnswers(Pdo);
        if (defaultTable) {
            answers.CapabilitiesStatus = STATUS_UNSUCCESSFUL;
        }
        if (tune) {
            tune(answers);
        }
        HmSetBusAnswers(Pdo, answers);
        ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
        ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
        Adapter = AdapterExt(Pdo);
        Fdo = AdapterDevice(Pdo);
        Mark();
    }

    // Forgets what the bus and the power manager saw so far.
    void Mark()
    {
        BusMark = HmBusRecords(Pdo).size();
        RequestMark = HkPowerRequests().size();
        AnnounceMark = HkPowerStateRecords().size();
    }

    std::vector<BusPower> BusPowerSince()
    {
        std::vector<BusPower> seen;
        std::vector<HmBusRecord> records = HmBusRecords(Pdo);
        for (size_t i = BusMark; i < records.size(); i++) {
            if (records[i].Major == IRP_MJ_POWER && records[i].Minor != IRP_MN_QUERY_POWER) {
                seen.push_back({records[i].Detail1, records[i].Detail2, records[i].Status});
            }
        }
        return seen;
    }

    std::vector<HmBusRecord> BusRecordsSince()
    {
        std::vector<HmBusRecord> records = HmBusRecords(Pdo);
        return std::vector<HmBusRecord>(records.begin() + BusMark, records.end());
    }

    std::vector<HkPowerRequest> RequestsSince()
    {
        std::vector<HkPowerRequest> all = HkPowerRequests();
        return std::vector<HkPowerRequest>(all.begin() + RequestMark, all.end());
    }

    // Device power states announced with PoSetPowerState, by the adapter and the bus driver.
    std::vector<Announcement> AnnouncementsSince()
    {
        std::vector<HkPowerStateRecord> all = HkPowerStateRecords();
        std::vector<Announcement> seen;
        for (size_t i = AnnounceMark; i < all.size(); i++) {
            EXPECT_EQ(all[i].Type, DevicePowerState);
            seen.push_back({all[i].Device, ULONG(all[i].State.DeviceState)});
        }
        return seen;
    }

    // The thread that carried the adapter's own device request leaves the adapter's power routine
    // only after that request has completed and woken the system request: its reference goes a
    // little later. Everything settles back to the adapter's life reference.
    bool SettlesToLifeReference()
    {
        return HmWaitUntil(
            [&] { return __atomic_load_n(&Adapter->OutstandingIo, __ATOMIC_SEQ_CST) == 1; });
    }

    HmIrpResult SetSystem(ULONG state)
    {
        POWER_STATE s;
        s.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        HmIrpResult result = HmSendPower(Pdo, IRP_MN_SET_POWER, SystemPowerState, s);
        // The system request comes back as soon as the device request's completion function has
        // run; the device request's own dispatch may still be unwinding on its sender thread.
        HkWaitPowerRequests();
        return result;
    }

    PDRIVER_OBJECT Driver = nullptr;
    PDRIVER_OBJECT FilterDriver = nullptr;
    PDEVICE_OBJECT Filter = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    PADAPTER_EXTENSION Adapter = nullptr;
    size_t BusMark = 0, RequestMark = 0, AnnounceMark = 0;
};

constexpr ULONG S0 = PowerSystemWorking, S3 = PowerSystemSleeping3, S4 = PowerSystemHibernate,
                S5 = PowerSystemShutdown;
constexpr ULONG D0 = PowerDeviceD0, D2 = PowerDeviceD2, D3 = PowerDeviceD3;
constexpr ULONG Sys = SystemPowerState, Dev = DevicePowerState;

TEST_F(AdapterPowerPolicy, DefaultTableMapsSleepToD2AndShutdownToD3)
{
    Plug();
    const ULONG expected[] = {PowerDeviceUnspecified, D0, D2, D2, D2, D2, D3};
    for (int s = 0; s < 7; s++) {
        EXPECT_EQ(ULONG(Adapter->Capabilities.DeviceState[s]), expected[s]) << "S index " << s;
    }
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, SleepToS3RequestsD2FirstAndWakeRequestsD0First)
{
    Plug();
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);

    // The device request was raised for the adapter's stack and came back through the adapter.
    std::vector<HkPowerRequest> requests = RequestsSince();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Target, Adapter->LowerDevice);
    EXPECT_EQ(requests[0].MinorFunction, IRP_MN_SET_POWER);
    EXPECT_EQ(ULONG(requests[0].State.DeviceState), D2);
    EXPECT_EQ(requests[0].Result, STATUS_SUCCESS);
    // D2 reached the bus before S3 did.
    EXPECT_EQ(BusPowerSince(),
              (std::vector<BusPower>{{Dev, D2, STATUS_SUCCESS}, {Sys, S3, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D2);
    EXPECT_EQ(HmBusDevicePower(Pdo), PowerDeviceD2);
    // Announced by the adapter before the request went down, then by the bus driver.
    EXPECT_EQ(AnnouncementsSince(), (std::vector<Announcement>{{Pdo, D2}, {Pdo, D2}}));
    EXPECT_TRUE(SettlesToLifeReference());

    Mark();
    ASSERT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);
    requests = RequestsSince();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ULONG(requests[0].State.DeviceState), D0);
    EXPECT_EQ(BusPowerSince(),
              (std::vector<BusPower>{{Dev, D0, STATUS_SUCCESS}, {Sys, S0, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D0);
    // Announced by the bus driver as it powered up, then by the adapter once that completed.
    EXPECT_EQ(AnnouncementsSince(), (std::vector<Announcement>{{Pdo, D0}, {Pdo, D0}}));
    EXPECT_TRUE(SettlesToLifeReference());
}

// Going down is announced for the adapter's lower device, coming up for its physical device.
TEST_F(AdapterPowerPolicy, AnnouncementsGoToTheLowerAndThePhysicalDevice)
{
    Plug(true, {}, true);
    ASSERT_EQ(Adapter->LowerDevice, Filter);
    ASSERT_EQ(Adapter->PhysicalDevice, Pdo);
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    std::vector<HkPowerRequest> requests = RequestsSince();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Target, Filter);
    EXPECT_EQ(AnnouncementsSince(), (std::vector<Announcement>{{Filter, D2}, {Pdo, D2}}));
    EXPECT_EQ(Adapter->DevicePowerState, D2);

    Mark();
    ASSERT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);
    EXPECT_EQ(AnnouncementsSince(), (std::vector<Announcement>{{Pdo, D0}, {Pdo, D0}}));
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, PowerUpThatTheBusCompletesLaterStillRecordsD0)
{
    Plug(true, [](HmBusAnswers& a) { a.Pending = unsigned(HmBusRequest::Power); });
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    ASSERT_EQ(Adapter->DevicePowerState, D2);
    Mark();
    ASSERT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);
    std::vector<HmBusRecord> records = BusRecordsSince();
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(records[0].Pending);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
    EXPECT_EQ(BusPowerSince(),
              (std::vector<BusPower>{{Dev, D0, STATUS_SUCCESS}, {Sys, S0, STATUS_SUCCESS}}));
}

// A power-up that another driver of the stack (or the platform) asks for, still pending in the bus
// driver while the board is pulled: the removal waits for it before it goes down and deletes the
// adapter, whichever way the bus driver finally answers it, and nothing may be left behind.
struct OutsidePowerUp {
    std::atomic<bool> Completed{false};
    NTSTATUS Status = STATUS_PENDING;
};

NTSTATUS OutsidePowerUpDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<OutsidePowerUp*>(context);
    request->Status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    request->Completed = true;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(AdapterPowerPolicy, PowerUpPendingBelowAcrossRemovalKeepsTheAdapterUntilItCompletes)
{
    for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_DEVICE_NOT_READY}) {
        SCOPED_TRACE(HmStatusName(answer));
        Plug(true, [answer](HmBusAnswers& a) {
            a.Pending = unsigned(HmBusRequest::Power);
            a.D0Status = answer;
        });
        HmHoldBusCompletions(true);

        // Sent to the top of the adapter's stack from a thread of the sender's own, without a
        // reference on the adapter's device object.
        OutsidePowerUp request;
        std::thread sender([&] {
            PIRP irp = IoAllocateIrp(Fdo->StackSize, FALSE);
            PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
            sp->MajorFunction = IRP_MJ_POWER;
            sp->MinorFunction = IRP_MN_SET_POWER;
            sp->Parameters.Power.Type = DevicePowerState;
            sp->Parameters.Power.State.DeviceState = PowerDeviceD0;
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            IoSetCompletionRoutine(irp, OutsidePowerUpDone, &request, TRUE, TRUE, TRUE);
            PoCallDriver(Fdo, irp);
        });
        ASSERT_TRUE(HmWaitUntil([&] {
            for (const HmBusRecord& record : BusRecordsSince()) {
                if (record.Major == IRP_MJ_POWER && record.Pending) {
                    return true;
                }
            }
            return false;
        }));

        std::thread remover([&] { HmSurpriseRemoveAdapter(Pdo); });
        // The driver writes its state under its mutex, so the test reads it under the mutex too.
        ASSERT_TRUE(HmWaitUntil([&] {
            KeWaitForSingleObject(&Adapter->Mutex, Executive, KernelMode, FALSE, nullptr);
            const ULONG state = Adapter->PnpState;
            KeReleaseMutex(&Adapter->Mutex, FALSE);
            return state == PnpRemoved;
        }));
        for (const HmBusRecord& record : BusRecordsSince()) {
            EXPECT_FALSE(record.Major == IRP_MJ_PNP && record.Minor == IRP_MN_REMOVE_DEVICE)
                << "the remove waits for the power-up";
        }
        EXPECT_FALSE(request.Completed);

        HmHoldBusCompletions(false);
        sender.join();
        remover.join();
        ASSERT_TRUE(HmWaitUntil([&] { return request.Completed.load(); }));
        EXPECT_EQ(request.Status, answer);
        HkWaitPowerRequests();
        EXPECT_FALSE(HkDeviceExists(Fdo)) << "the last request out deleted the adapter";
        EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 0u);
        EXPECT_EQ(HkIrpsOutstanding(), 0u);
        HmUnplugAll();
    }
}

TEST_F(AdapterPowerPolicy, FromSleepToShutdownNothingIsRequested)
{
    Plug();
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    Mark();
    ASSERT_EQ(SetSystem(S5).Status, STATUS_SUCCESS);
    EXPECT_TRUE(RequestsSince().empty());
    EXPECT_EQ(BusPowerSince(), (std::vector<BusPower>{{Sys, S5, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D2);
    EXPECT_TRUE(AnnouncementsSince().empty());
}

TEST_F(AdapterPowerPolicy, StatesThatNeedNoDeviceChangeRequestNothing)
{
    Plug();
    // Working while in D0, and the unspecified system state (mapped to the unspecified device
    // state) are passed down alone.
    for (ULONG s : {S0, ULONG(PowerSystemUnspecified)}) {
        Mark();
        ASSERT_EQ(SetSystem(s).Status, STATUS_SUCCESS);
        EXPECT_TRUE(RequestsSince().empty()) << "S index " << s;
        EXPECT_EQ(BusPowerSince(), (std::vector<BusPower>{{Sys, s, STATUS_SUCCESS}}));
        EXPECT_EQ(Adapter->DevicePowerState, D0);
    }
}

TEST_F(AdapterPowerPolicy, SystemStateBeyondShutdownMapsToD3)
{
    Plug();
    ASSERT_EQ(SetSystem(7).Status, STATUS_SUCCESS);
    std::vector<HkPowerRequest> requests = RequestsSince();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ULONG(requests[0].State.DeviceState), D3);
    EXPECT_EQ(Adapter->DevicePowerState, D3);
    ASSERT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, BusTableDrivesTheMappingOnceCapabilitiesAreKnown)
{
    // The bus's usual answer: D3 in every sleeping state.
    Plug(false);
    EXPECT_EQ(ULONG(Adapter->Capabilities.DeviceState[S3]), D3);
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    EXPECT_EQ(BusPowerSince(),
              (std::vector<BusPower>{{Dev, D3, STATUS_SUCCESS}, {Sys, S3, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D3);
    ASSERT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, SystemQueriesArePassedDownUnlessTheTableGoesBeyondD3)
{
    Plug();
    POWER_STATE s4;
    s4.SystemState = PowerSystemHibernate;
    size_t started = HkStartNextPowerIrps().size();
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, s4).Status, STATUS_SUCCESS);
    std::vector<HmBusRecord> records = BusRecordsSince();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(records[0].Detail2, S4);
    EXPECT_EQ(HkStartNextPowerIrps().size(), started + 2) << "adapter and bus each start the next";

    // A system state past the table's end is not looked up in it: it is passed down.
    Mark();
    POWER_STATE beyond;
    beyond.SystemState = static_cast<SYSTEM_POWER_STATE>(7);
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, beyond).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(BusRecordsSince().size(), 1u);

    // A device query is none of the policy's business.
    Mark();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_QUERY_POWER, DevicePowerState, d3).Status, STATUS_SUCCESS);
    records = BusRecordsSince();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Detail1, Dev);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, QueryForAStateTheTableCannotReachIsRefusedHere)
{
    Plug(false, [](HmBusAnswers& a) {
        a.Capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceMaximum;
    });
    POWER_STATE s4;
    s4.SystemState = PowerSystemHibernate;
    size_t started = HkStartNextPowerIrps().size();
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, s4).Status,
              STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(BusRecordsSince().empty()) << "a refused query goes no further";
    EXPECT_EQ(HkStartNextPowerIrps().size(), started + 1);
    // S3 in the same table is fine.
    POWER_STATE s3;
    s3.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, s3).Status, STATUS_SUCCESS);
    EXPECT_EQ(BusRecordsSince().size(), 1u);
}

TEST_F(AdapterPowerPolicy, DeviceSetPowerToD3IsRecordedAndAnnouncedBeforeItGoesDown)
{
    Plug();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(HmSendPower(Pdo, IRP_MN_SET_POWER, DevicePowerState, d3).Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D3);
    EXPECT_EQ(AnnouncementsSince(), (std::vector<Announcement>{{Pdo, D3}, {Pdo, D3}}));
    EXPECT_EQ(BusPowerSince(), (std::vector<BusPower>{{Dev, D3, STATUS_SUCCESS}}));
    EXPECT_TRUE(RequestsSince().empty());
}

TEST_F(AdapterPowerPolicy, FailingPowerUpLeavesTheSleepStateAndStillPassesTheSystemRequest)
{
    Plug(true, [](HmBusAnswers& a) { a.D0Status = STATUS_DEVICE_NOT_READY; });
    ASSERT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    ASSERT_EQ(Adapter->DevicePowerState, D2);
    Mark();
    size_t started = HkStartNextPowerIrps().size();

    EXPECT_EQ(SetSystem(S0).Status, STATUS_SUCCESS);

    std::vector<HkPowerRequest> requests = RequestsSince();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Result, STATUS_DEVICE_NOT_READY) << "the failure travelled up";
    EXPECT_EQ(BusPowerSince(), (std::vector<BusPower>{{Dev, D0, STATUS_DEVICE_NOT_READY},
                                                      {Sys, S0, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D2);
    EXPECT_TRUE(AnnouncementsSince().empty()) << AnnouncementsSince().size();
    // The D0 request still let the next power request in (adapter's completion and bus), and so
    // did the system request (adapter and bus).
    EXPECT_EQ(HkStartNextPowerIrps().size(), started + 4);
    EXPECT_TRUE(SettlesToLifeReference());
}

TEST_F(AdapterPowerPolicy, DeviceRequestThePlatformCannotIssueDoesNotHang)
{
    Plug();
    HkFailNth(HkFault::RequestPowerIrp, 1);
    EXPECT_EQ(SetSystem(S3).Status, STATUS_SUCCESS);
    HkClearFaults();
    EXPECT_EQ(BusPowerSince(), (std::vector<BusPower>{{Sys, S3, STATUS_SUCCESS}}));
    EXPECT_EQ(Adapter->DevicePowerState, D0);
    EXPECT_TRUE(SettlesToLifeReference());
    // The next transition works again.
    Mark();
    ASSERT_EQ(SetSystem(S4).Status, STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D2);
}

TEST_F(AdapterPowerPolicy, WaitWakeAndPowerSequenceArePassedDown)
{
    Plug();
    POWER_STATE none;
    none.SystemState = PowerSystemSleeping1;
    HmSendPower(Pdo, IRP_MN_POWER_SEQUENCE, SystemPowerState, none);
    std::vector<HmBusRecord> records = BusRecordsSince();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Minor, IRP_MN_POWER_SEQUENCE);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
}

TEST_F(AdapterPowerPolicy, PowerManagerTransitionsReachAdapterAndPorts)
{
    Plug();
    ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D2);
    ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Adapter->DevicePowerState, D0);
    // Ports answered their own queries and set-power requests.
    size_t portRequests = 0;
    for (const HmPowerRecord& record : HmPowerLog()) {
        if (record.Pdo != Pdo) {
            EXPECT_EQ(record.Status, STATUS_SUCCESS);
            portRequests++;
        }
    }
    EXPECT_EQ(portRequests, 2u * 3u) << "two ports: query S3, set S3, set S0";
}

// Another device raises the shared line while the adapter sleeps. The sleeping function answers
// register reads with all ones, which would look like every port pending: the ISR leaves the
// registers alone and the interrupt to the device it belongs to, until the adapter is back in D0.
TEST_F(AdapterPowerPolicy, SharedLineInterruptWhileAsleepLeavesTheRegistersAlone)
{
    Plug();
    const ULONG vector = Adapter->InterruptVector;
    for (ULONG state : {S3, S0}) {
        ASSERT_EQ(HmSetSystemPower(static_cast<SYSTEM_POWER_STATE>(state)), STATUS_SUCCESS);
        size_t before = HkIoAccessCount();
        EXPECT_FALSE(HkDeliverInterrupt(vector));
        EXPECT_EQ(HkIoAccessCount() - before, state == S0 ? 1u : 0u)
            << "status register reads in S" << state - 1;
    }
}

} // namespace
