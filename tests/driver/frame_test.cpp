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
    // The port is a bus child: nothing went on to the adapter's bus.
    EXPECT_TRUE(BusRecords(Pdo, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData).empty());
}

TEST_F(Frame, SystemControlToTheAdapterGoesDownItsStack)
{
    AddBoard();
    Sent sent = Send(Fdo, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData, STATUS_NOT_SUPPORTED, 0);
    EXPECT_TRUE(sent.Completed);
    EXPECT_EQ(sent.Returned, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sent.Final, STATUS_NOT_SUPPORTED);
    std::vector<HmBusRecord> wmi = BusRecords(Pdo, IRP_MJ_SYSTEM_CONTROL, IrpMnQueryAllData);
    ASSERT_EQ(wmi.size(), 1u);
    EXPECT_EQ(wmi[0].Status, STATUS_NOT_SUPPORTED);
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
    EXPECT_TRUE(HkViolations().empty());
}

} // namespace
