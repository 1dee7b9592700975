// Driver entry, the per-device dispatch frame and the request routines that every plug-and-play
// and power path of corcard uses.
//
// The major-function entries do no work of their own: each one jumps through the routine slot in
// the head of the target device's extension. Adapter and port devices therefore run different code
// under one driver object, and no request path ever looks at the device kind.
#include "corcard.h"

BOOLEAN LegacyWdm;
ULONG NextAdapterIndex;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    // Platforms before WDM 1.10 need the older query-remove handling of the adapter.
    LegacyWdm = !IoIsWdmVersionAvailable(1, 0x10);
    // Instance numbers count from 0 for every load of the image.
    NextAdapterIndex = 0;

    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AdapterAddDevice;
    DriverObject->DriverUnload = AdapterUnload;
    return STATUS_SUCCESS;
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HeadOf(DeviceObject)->SystemControlRoutine(DeviceObject, Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HeadOf(DeviceObject)->PnpRoutine(DeviceObject, Irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return HeadOf(DeviceObject)->PowerRoutine(DeviceObject, Irp);
}

// An adapter that was never removed may still be started: its interrupt stays connected with the
// extension as the service routine's context. Take it down as a removal would (UARTs silenced
// first) before the extension goes, or the next interrupt on the line runs into freed memory.
// Without a connection (never started, stopped, surprise removed) the hardware is left alone.
static VOID DeleteAdapterAtUnload(PADAPTER_EXTENSION Adapter)
{
    if (Adapter->InterruptObject != nullptr) {
        AdapterLock Lock(Adapter);
        DisconnectInterrupt(Adapter);
    }
    DeleteAdapter(Adapter);
}

// The plug-and-play manager unloads the driver only after every adapter has been removed, so the
// device list is normally empty here. Whatever is still on it is one of three things:
//  - an adapter device: deleting the adapter takes its port devices with it;
//  - a port device still linked to a live adapter: the adapter goes, and the port with it;
//  - a port device that outlived its adapter because it still had references when the adapter was
//    deleted: its adapter is gone (the link to it was cleared), so only the device object itself
//    is deleted.
// A device object whose deletion must wait for its last reference may stay on the list after
// IoDeleteDevice; its head's Kind is cleared before deletion so the walk steps over it.
VOID AdapterUnload(PDRIVER_OBJECT DriverObject)
{
    for (;;) {
        PDEVICE_OBJECT device = DriverObject->DeviceObject;
        while (device != nullptr && HeadOf(device)->Kind == 0) {
            device = device->NextDevice;
        }
        if (device == nullptr) {
            return;
        }

        PEXTENSION_HEAD head = HeadOf(device);
        if (head->Kind == AdapterKind) {
            DeleteAdapterAtUnload(AdapterOf(device));
            continue;
        }

        PPORT_EXTENSION port = PortOf(device);
        if (!IsListEmpty(&port->Link)) {
            // Still on its adapter's list: the adapter is alive.
            DeleteAdapterAtUnload(port->Adapter);
            continue;
        }
        head->Kind = 0;
        IoDeleteDevice(device);
    }
}

NTSTATUS AdapterSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return ForwardIrp(AdapterOf(DeviceObject)->LowerDevice, Irp);
}

NTSTATUS ForwardIrp(PDEVICE_OBJECT LowerDevice, PIRP Irp)
{
    // After the call the IRP belongs to the drivers below; it may already be completed and freed.
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(LowerDevice, Irp);
}

// Sends the IRP down and waits until the lower drivers have completed it. The completion routine
// stops the completion there, so the IRP comes back to the caller, who must complete it (or free
// it, if the driver allocated it). Blocks: plug-and-play and power paths only (PASSIVE_LEVEL).
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN CopyStackLocation)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);

    if (CopyStackLocation) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
    }
    IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);

    // The immediate answer does not matter: the event is signalled once the IRP is completed,
    // whether the lower driver completed it at once or returned STATUS_PENDING first.
    IofCallDriver(LowerDevice, Irp);
    KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, nullptr);
    return Irp->IoStatus.Status;
}

// The IRP goes back to the waiting caller, which completes it again; no pending state needs to be
// propagated because the completion stops here.
NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// A bus driver that does not handle a request completes it as it came, neither handling nor
// failing it. The status is read before completion: the IRP may be gone afterwards.
NTSTATUS CompleteIrpWithCurrentStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
