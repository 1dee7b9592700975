// Plug-and-play of a port device: the bus-driver side of a serial port. The port device has no
// hardware state of its own (its register block and interrupt go out through the port bus
// interface), so start, stop and removal are acknowledged and nothing more. Requests that concern
// the PCI function as a whole go to the adapter's own lower stack; the port device object was
// created with the adapter device object's stack size, so a port IRP has a location for every
// driver below the adapter.
#include "corcard.h"

namespace {

// Acknowledge: the port device is the bottom of its stack and has nobody to defer to. The
// information field may carry an upper driver's answer and is left as it is.
NTSTATUS Succeed(PIRP Irp)
{
    return CompleteIrp(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

} // namespace

// The adapter's mutex is held for the whole request, including every hand-over to the adapter's
// lower stack and the capabilities wait, so the requests of all ports of one adapter, the
// adapter's own plug-and-play and power paths and the port interface never overlap.
NTSTATUS PortPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PPORT_EXTENSION Port = PortOf(DeviceObject);
    PADAPTER_EXTENSION Adapter = Port->Adapter;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    AdapterLock Lock(Adapter);
    switch (Stack->MinorFunction) {
    // NOLINTNEXTLINE(bugprone-branch-clone): the same answer, kept apart for its reason
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return Succeed(Irp);

    case IRP_MN_REMOVE_DEVICE:
        // A port device is deleted only together with its adapter: it stays on the adapter's
        // list and answers again if the adapter reports it once more.
        return Succeed(Irp);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (StoredValue(Stack->Parameters.QueryDeviceRelations.Type) == TargetDeviceRelation) {
            return PortQueryTargetRelation(Port, Irp);
        }
        return CompleteIrpWithCurrentStatus(DeviceObject, Irp);

    case IRP_MN_QUERY_INTERFACE:
        return PortQueryInterface(Port, Irp);

    case IRP_MN_QUERY_CAPABILITIES:
        return PortQueryCapabilities(Port, Irp);

    // NOLINTNEXTLINE(bugprone-branch-clone): the same answer, kept apart for its reason
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        // The port claims nothing of its own: no list is returned.
        return Succeed(Irp);

    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        return Succeed(Irp); // the list passed in stays as it is

    case IRP_MN_QUERY_DEVICE_TEXT:
        return PortQueryDeviceText(Port, Irp);

    case IRP_MN_QUERY_ID:
        return PortQueryId(Port, Irp);

    case IRP_MN_READ_CONFIG:
    case IRP_MN_WRITE_CONFIG:
    case IRP_MN_EJECT:
    case IRP_MN_SET_LOCK:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
    case IRP_MN_QUERY_BUS_INFORMATION:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // Configuration space, eject, lock, device state, bus information and paging, hibernation
        // or dump file usage are the PCI function's.
        return ForwardIrp(Adapter->LowerDevice, Irp);

    default:
        return CompleteIrpWithCurrentStatus(DeviceObject, Irp);
    }
}

// The port reports the PCI function's capabilities, marked unique and silently installable.
NTSTATUS PortQueryCapabilities(PPORT_EXTENSION Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_CAPABILITIES Capabilities = Stack->Parameters.DeviceCapabilities.Capabilities;

    NTSTATUS Status = ForwardIrpAndWait(Port->Adapter->LowerDevice, Irp, TRUE);
    if (Status == STATUS_SUCCESS && Capabilities != nullptr) {
        Capabilities->UniqueID = 1;
        Capabilities->SilentInstall = 1;
        Port->Capabilities = *Capabilities;
    }
    Status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The port device is its own target: the answer holds the port device object, referenced once;
// the plug-and-play manager drops that reference.
NTSTATUS PortQueryTargetRelation(PPORT_EXTENSION Port, PIRP Irp)
{
    NTSTATUS Status;
    PDEVICE_RELATIONS Relations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), CorPoolTag));
    if (Relations == nullptr) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        ObfReferenceObject(Port->Self);
        Relations->Count = 1;
        Relations->Objects[0] = Port->Self;
        // A list already in the request is replaced. Its entries carry one reference each that
        // nobody else will drop once the list is gone, so drop them with it.
        PDEVICE_RELATIONS Previous = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
        if (Previous != nullptr) {
            for (ULONG i = 0; i < Previous->Count; i++) {
                ObfDereferenceObject(Previous->Objects[i]);
            }
            ExFreePool(Previous);
        }
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations);
        Status = STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
