// Add-device and the adapter's port devices: from the physical device object that the bus hands
// over to an attached adapter device with one port device per serial port of the board, and back.
// Nothing here touches the hardware; resources are handed out at start.
#include "corcard.h"

namespace {

// Default system-to-device power map until the bus driver's capabilities answer replaces it. The
// sleeping states keep the UARTs in D2 rather than D3.
constexpr DEVICE_POWER_STATE DefaultPowerMap[] = {
    PowerDeviceUnspecified, // PowerSystemUnspecified
    PowerDeviceD0,          // PowerSystemWorking
    PowerDeviceD2,          // PowerSystemSleeping1
    PowerDeviceD2,          // PowerSystemSleeping2
    PowerDeviceD2,          // PowerSystemSleeping3
    PowerDeviceD2,          // PowerSystemHibernate
    PowerDeviceD3,          // PowerSystemShutdown
};
static_assert(sizeof(DefaultPowerMap) / sizeof(DefaultPowerMap[0]) == PowerSystemMaximum,
              "one device state per system state");

constexpr ULONG PciHeaderLength = sizeof(PCI_COMMON_HEADER);

// Unlinks every port device from the adapter. A port device that somebody still holds open cannot
// be deleted; it stays as an orphan, linked to itself and no longer pointing at the adapter.
VOID UnlinkAndDeletePorts(PADAPTER_EXTENSION Adapter)
{
    while (!IsListEmpty(&Adapter->PortList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Adapter->PortList);
        InitializeListHead(entry);
        PPORT_EXTENSION port = PortFromLink(entry);
        PDEVICE_OBJECT device = port->Self;
        if (device->ReferenceCount != 0) {
            port->Adapter = nullptr;
            DbgPrint("   FATAL: There are references to the PDO, RefCount:%d\n",
                     device->ReferenceCount);
        } else {
            IoDeleteDevice(device);
        }
    }
    Adapter->PortCount = 0;
}

} // namespace

NTSTATUS AdapterAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDevice)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ADAPTER_EXTENSION), nullptr,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ReportEvent(DriverObject, CorMsgError, "Unable to create device object.");
        return status;
    }

    PADAPTER_EXTENSION adapter = AdapterOf(device);
    RtlZeroMemory(adapter, sizeof(*adapter));
    adapter->Head.Kind = AdapterKind;
    // Add-device calls are serialised by the plug-and-play manager; the interlocked step only
    // keeps the instance numbers unique even if two calls ever overlap.
    LONG instance = InterlockedIncrement(reinterpret_cast<volatile LONG*>(&NextAdapterIndex));
    adapter->Head.Index = static_cast<ULONG>(instance) - 1;
    adapter->Head.SystemControlRoutine = AdapterSystemControl;
    adapter->Head.PnpRoutine = AdapterPnp;
    adapter->Head.PowerRoutine = AdapterPower;
    adapter->PhysicalDevice = PhysicalDevice;
    adapter->Self = device;
    adapter->DriverObject = DriverObject;
    KeInitializeMutex(&adapter->Mutex, 0);
    KeInitializeEvent(&adapter->RemoveEvent, NotificationEvent, FALSE);
    InitializeListHead(&adapter->PortList);

    adapter->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDevice);
    if (adapter->LowerDevice == nullptr) {
        ReportEvent(DriverObject, CorMsgError, "Unable to attach device to device stack.");
        status = STATUS_UNSUCCESSFUL;
    }

    if (NT_SUCCESS(status)) {
        adapter->DevicePowerState = PowerDeviceD0;
        for (ULONG state = 0; state < PowerSystemMaximum; ++state) {
            adapter->Capabilities.DeviceState[state] = DefaultPowerMap[state];
        }

        status = ReadPciConfig(adapter->LowerDevice, 0, PciHeaderLength, &adapter->PciConfig,
                               IRP_MN_READ_CONFIG);
        if (!NT_SUCCESS(status)) {
            ReportEvent(DriverObject, CorMsgError, "Unable to read PCI config space.");
            status = STATUS_UNSUCCESSFUL;
        }
    }

    if (NT_SUCCESS(status)) {
        status = EnumeratePorts(adapter);
        if (!NT_SUCCESS(status)) {
            ReportEvent(DriverObject, CorMsgError, "Unable to create port devices.");
            DeletePorts(adapter);
        }
    }

    if (!NT_SUCCESS(status)) {
        if (adapter->LowerDevice != nullptr) {
            IoDetachDevice(adapter->LowerDevice);
        }
        IoDeleteDevice(device);
        return status;
    }

    // The reference for the device's own life; the remove request drops it.
    InterlockedIncrement(&adapter->OutstandingIo);
    // Cleared last: until now no request can reach the new devices.
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    return STATUS_SUCCESS;
}

// Reads configuration space through the bus driver below. Plug-and-play IRPs start out as
// STATUS_NOT_SUPPORTED, so a bus driver that ignores the request leaves a failure behind.
NTSTATUS ReadPciConfig(PDEVICE_OBJECT Target, ULONG Offset, ULONG Length, PVOID Buffer,
                       UCHAR MinorFunction)
{
    KEVENT done;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Target, nullptr, 0, nullptr, &done, &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = MinorFunction;
    next->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
    next->Parameters.ReadWriteConfig.Buffer = Buffer;
    next->Parameters.ReadWriteConfig.Offset = Offset;
    next->Parameters.ReadWriteConfig.Length = Length;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    // The I/O manager frees the IRP when it completes; only the status block and event remain.
    NTSTATUS status = IofCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// Matches the board and creates one port device per serial port descriptor. A board on which only
// some port devices could be created still counts; one without any does not.
NTSTATUS EnumeratePorts(PADAPTER_EXTENSION Adapter)
{
    Adapter->SerialPortCount = 0;

    const BOARD_ENTRY* board = FindBoard(&Adapter->PciConfig);
    if (board != nullptr) {
        Adapter->Board = board;
        for (LONG k = 0; k < board->NumberOfPorts && k < static_cast<LONG>(MaxBoardPorts); ++k) {
            const PORT_DESCRIPTOR* descriptor = &board->PortDescriptors[k];
            if (descriptor->Type != PortTypeSerial) {
                continue;
            }
            // A port whose device cannot be created keeps its number: the later ports do not
            // move up into its place.
            CreatePortDevice(Adapter, PortKindFlag, Adapter->SerialPortCount, descriptor);
            ++Adapter->SerialPortCount;
        }
    }

    return Adapter->PortCount >= 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS CreatePortDevice(PADAPTER_EXTENSION Adapter, ULONG KindFlags, ULONG PortNumber,
                          const PORT_DESCRIPTOR* Descriptor)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(
        Adapter->DriverObject, sizeof(PORT_EXTENSION), nullptr, FILE_DEVICE_CONTROLLER,
        FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        ReportEvent(Adapter->DriverObject, CorMsgError, "Unable to create device object for port.");
        return status;
    }

    PPORT_EXTENSION port = PortOf(device);
    RtlZeroMemory(port, sizeof(*port));
    port->Head.Kind = KindFlags | 2;
    port->Head.Index = Adapter->PortCount;
    port->Adapter = Adapter;
    port->InterruptSlot = -1;
    port->Self = device;
    port->Descriptor = Descriptor;
    port->PortNumber = PortNumber;

    // The port's requests that go on to the adapter's lower stack need a location for every
    // driver below the adapter.
    device->StackSize = Adapter->Self->StackSize;

    port->Head.SystemControlRoutine = CompleteIrpWithCurrentStatus;
    port->Head.PnpRoutine = PortPnp;
    port->Head.PowerRoutine = PortPower;
    port->Head.QuiesceRoutine = QuiescePort;

    InsertTailList(&Adapter->PortList, &port->Link);
    ++Adapter->PortCount;

    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    return STATUS_SUCCESS;
}

VOID DeletePorts(PADAPTER_EXTENSION Adapter)
{
    UnlinkAndDeletePorts(Adapter);
}

// Drops one OutstandingIo reference. The count reaches zero only once the remove request has
// given up the device's own reference; the last one out wakes that request, which deletes the
// adapter. Touch nothing of the adapter after this.
VOID ReleaseAdapterReference(PADAPTER_EXTENSION Adapter)
{
    if (InterlockedDecrement(&Adapter->OutstandingIo) == 0) {
        KeSetEvent(&Adapter->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Frees the extension with the device object: the caller touches nothing of the adapter after
// this, its mutex included.
VOID DeleteAdapter(PADAPTER_EXTENSION Adapter)
{
    UnlinkAndDeletePorts(Adapter);

    PDEVICE_OBJECT self = Adapter->Self;
    if (self->ReferenceCount != 0) {
        DbgPrint("   FATAL: There are references to the FDO, RefCount:%d\n", self->ReferenceCount);
    }
    if (Adapter->LowerDevice != nullptr) {
        IoDetachDevice(Adapter->LowerDevice);
        Adapter->LowerDevice = nullptr;
    }
    if (Adapter->ParentInstanceId != nullptr) {
        ExFreePool(Adapter->ParentInstanceId);
        Adapter->ParentInstanceId = nullptr;
    }
    // A device object still opened stays on the driver's list after deletion; the cleared kind
    // tells unload that it is already gone.
    Adapter->Head.Kind = 0;
    IoDeleteDevice(self);
}
