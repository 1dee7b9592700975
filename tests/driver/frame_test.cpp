// The driver's entry and dispatch frame, seen from the platform: which requests reach which
// device's routines, what system-control requests do on each kind of device, and what unload does
// with whatever is left on the driver's device list.
#include "spine_support.h"

using namespace spine;

namespace {

// A request as the platform sends one to the top of a device's stack: allocated, first location
// filled, a completion routine of the sender's own that takes the IRP back.
struct Sent {
    NTSTATUS Returned;
    NTSTATUS Final;
    ULONG_PTR Information;
    bool Completed;
};

struct SendContext {
    KEVENT Done;
    bool Completed;
};

NTSTATUS SenderCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    SendContext* send = static_cast<SendContext*>(context);
    send->Completed = true;
    KeSetEvent(&send->Done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

Sent Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS preset, ULONG_PTR info)
{
    SendContext context{};
    KeInitializeEvent(&context.Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return {};
    }
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = info;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    IoSetCompletionRoutine(irp, SenderCompletion, &context, TRUE, TRUE, TRUE);
    Sent sent{};
    sent.Returned = IofCallDriver(device, irp);
    KeWaitForSingleObject(&context.Done, Executive, KernelMode, FALSE, nullptr);
    sent.Final = irp->IoStatus.Status;
    sent.Information = irp->IoStatus.Information;
    sent.Completed = context.Completed;
    IoFreeIrp(irp);
    return sent;
}

constexpr UCHAR IrpMnQueryAllData = 0x00; // IRP_MN_QUERY_ALL_DATA

class Frame : public CorcardTest {
protected:
    // An LX2A with its adapter device and its two port devices, not started.
    void AddBoard()
    {
        Pdo = HmPlugAdapter(HmModel::LX2A);
        ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
        Fdo = AdapterDeviceOn(Pdo);
        Ports = PortsOf(AdapterOf(Fdo));
        ASSERT_EQ(Ports.size(), 2u);
    }

    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    std::vector<PPORT_EXTENSION> Ports;
};

TEST_F(Frame, EntryRoutesOnlySystemControlPlugAndPlayAndPower)
{
    EXPECT_EQ(Driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], DispatchSystemControl);
    EXPECT_EQ(Driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
    EXPECT_EQ(Driver->MajorFunction[IRP_MJ_POWER], DispatchPower);
    EXPECT_EQ(Driver->DriverExtension->AddDevice, AdapterAddDevice);
    EXPECT_EQ(Driver->DriverUnload, AdapterUnload);

    // Everything else gets the platform's answer, on either kind of device.
    AddBoard();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_READ}) {
        for (PDEVICE_OBJECT device : {Fdo, Ports[0]->Self}) {
            Sent sent = Send(device, major, 0, STATUS_SUCCESS, 0);
            EXPECT_EQ(sent.Returned, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
            EXPECT_EQ(sent.Final, STATUS_INVALID_DEVICE_REQUEST) << "major " << int(major);
        }
    }
    EXPECT_TRUE(BusRecords(Pdo, IRP_MJ_CREATE, 0).empty());
}

TEST_F(Frame, LegacyWdmFollowsTheReportedWdmVersion)
{
    EXPECT_FALSE(LegacyWdm); // the stand-in reports 1.0x30 by default
    UnloadCorcard();

    HkSetWdmVersion(1, 0x10);
    Driver = HkLoadDriver(DriverEntry, L"corcard");
    EXPECT_FALSE(LegacyWdm);
    UnloadCorcard();

    HkSetWdmVersion(1, 0x05);
    Driver = HkLoadDriver(DriverEntry, L"corcard");
    EXPECT_TRUE(LegacyWdm);
}

// Port devices neither handle nor fail WMI requests: they come back as they went in.
TEST_F(Frame, SystemControlToAPortDeviceCompletesWithTheStatusItCarries)
{
    AddBoard();
    for (NTSTATUS preset : {STATUS_NOT_SUPPORTED, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL}) {
        Sent sent = Send(Ports[1]->Self, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData, preset, 0x55);
        EXPECT_TRUE(sent.Completed);
        EXPECT_EQ(sent.Returned, preset);
        EXPECT_EQ(sent.Final, preset);
        EXPECT_EQ(sent.Information, 0x55u);
    }
}

// A lower filter between the bus's PDO and the adapter device, as the platform loads one: it
// passes every request on and keeps a list of what it saw.
struct FilterSeen {
    UCHAR Major;
    UCHAR Minor;
    NTSTATUS Status; // as the request arrived
};
std::vector<FilterSeen> FilterLog;
PDEVICE_OBJECT FilterLower;
bool FilterDetached;

NTSTATUS FilterDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FilterLog.push_back({stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status});
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(FilterLower, irp);
    }
    bool removing =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(FilterLower, irp);
    if (removing) {
        // The filter's own device object goes once the adapter device above has detached from
        // it (the test's tear-down), so nothing is deleted while still attached to.
        IoDetachDevice(FilterLower);
        FilterDetached = true;
    }
    return status;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = FilterDispatch;
    }
    return STATUS_SUCCESS;
}

class FrameWithFilter : public Frame {
protected:
    void TearDown() override
    {
        HmUnplugAll();
        if (Filter != nullptr) {
            if (!FilterDetached) {
                IoDetachDevice(FilterLower);
            }
            IoDeleteDevice(Filter);
        }
        if (FilterDriver != nullptr) {
            HkUnloadDriver(FilterDriver);
        }
        Frame::TearDown();
    }

    PDRIVER_OBJECT FilterDriver = nullptr;
    PDEVICE_OBJECT Filter = nullptr;
};

// The adapter's lower device is what the attach returned, not necessarily the bus's PDO.
TEST_F(FrameWithFilter, SystemControlToTheAdapterGoesToItsLowerDevice)
{
    FilterLog.clear();
    FilterDetached = false;
    FilterDriver = HkLoadDriver(FilterEntry, L"lowerfilter");
    ASSERT_NE(FilterDriver, nullptr);
    Pdo = HmPlugAdapter(HmModel::LX2A);
    ASSERT_EQ(IoCreateDevice(FilterDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Filter),
              STATUS_SUCCESS);
    PDEVICE_OBJECT filter = Filter;
    FilterLower = IoAttachDeviceToDeviceStack(filter, Pdo);
    ASSERT_EQ(FilterLower, Pdo);
    filter->Flags &= ~DO_DEVICE_INITIALIZING;

    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    Fdo = AdapterDeviceOn(filter);
    ASSERT_NE(Fdo, nullptr);
    EXPECT_EQ(AdapterOf(Fdo)->LowerDevice, filter);
    EXPECT_EQ(AdapterOf(Fdo)->PhysicalDevice, Pdo);
    // The configuration header was read through the filter too.
    ASSERT_EQ(FilterLog.size(), 1u);
    EXPECT_EQ(FilterLog[0].Major, IRP_MJ_PNP);
    EXPECT_EQ(FilterLog[0].Minor, IRP_MN_READ_CONFIG);
    EXPECT_EQ(FilterLog[0].Status, STATUS_NOT_SUPPORTED);

    FilterLog.clear();
    Sent sent = Send(Fdo, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData, STATUS_NOT_SUPPORTED, 0);
    EXPECT_TRUE(sent.Completed);
    EXPECT_EQ(sent.Returned, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sent.Final, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(FilterLog.size(), 1u);
    EXPECT_EQ(FilterLog[0].Major, IRP_MJ_SYSTEM_CONTROL);
    EXPECT_EQ(FilterLog[0].Minor, IrpMnQueryAllData);

    // A port device answers for itself: nothing reaches the adapter's stack.
    FilterLog.clear();
    PDEVICE_OBJECT port = PortsOf(AdapterOf(Fdo))[0]->Self;
    sent = Send(port, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData, STATUS_NOT_SUPPORTED, 0);
    EXPECT_EQ(sent.Final, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(FilterLog.empty());
}

TEST_F(Frame, UnloadWithNoDevicesReturnsAtOnce)
{
    ASSERT_TRUE(DevicesOf(Driver).empty());
    UnloadCorcard();
    EXPECT_TRUE(HkViolations().empty());
}

// Unload normally finds nothing, but whatever adapters are still there go with their ports,
// wherever on the driver's list the platform put them.
TEST_F(Frame, UnloadDeletesAdaptersThatWereNeverRemoved)
{
    PDEVICE_OBJECT pdos[3] = {HmPlugAdapter(HmModel::LX2A), HmPlugAdapter(HmModel::LX8B),
                              HmPlugAdapter(HmModel::LX4C)};
    for (PDEVICE_OBJECT pdo : pdos) {
        ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
    }
    ASSERT_EQ(DevicesOf(Driver).size(), 3u + 2 + 8 + 4);
    UnloadCorcard();
    for (PDEVICE_OBJECT pdo : pdos) {
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
    }
    // None of them was started: unload has no interrupt to take down and no UART to touch.
    EXPECT_EQ(HkIoAccessCount(), 0u);
    EXPECT_TRUE(HkViolations().empty());
}

} // namespace
