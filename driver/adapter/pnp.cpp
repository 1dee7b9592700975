// The adapter device's plug-and-play routine. It keeps PnpState, starts the adapter, stops and
// removes it, reports the port devices as bus relations and keeps the adapter's capabilities for
// the power policy. Everything else goes down the adapter's stack unchanged.
//
// Life: OutstandingIo holds one reference for the device's own life (from add-device to remove)
// and one for each plug-and-play or power request in progress. The request that brings it to zero
// deletes the adapter with its port devices, so a remove that overlaps a power request leaves the
// deletion to whichever of the two leaves last. Every handler below releases the adapter's mutex
// before it returns to AdapterPnp: the extension (and the mutex in it) may be gone after the
// final decrement.
#include "corcard.h"

static_assert(FIELD_OFFSET(DEVICE_RELATIONS, Objects) == sizeof(PVOID),
              "relations: a count padded to pointer size, then the device objects");

// The lower drivers start the PCI function first; only then is its configuration space and its
// I/O decoding ours to use.
static NTSTATUS StartDevice(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    NTSTATUS Status = ForwardIrpAndWait(Adapter->LowerDevice, Irp, TRUE);
    if (NT_SUCCESS(Status)) {
        AdapterLock Lock(Adapter);
        Status = StartAdapter(Adapter, Irp);
        if (NT_SUCCESS(Status)) {
            Adapter->PnpState = PnpActive;
        }
    }
    return CompleteIrp(Irp, Status, Irp->IoStatus.Information);
}

static NTSTATUS QueryRemoveDevice(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    AdapterLock Lock(Adapter);
    // On platforms before WDM 1.10 the manager does not check for open handles itself.
    if (LegacyWdm && Adapter->Self->ReferenceCount != 0) {
        Lock.Release();
        return CompleteIrp(Irp, STATUS_DEVICE_BUSY, 0);
    }
    Adapter->PnpState = PnpRemovePending;
    Lock.Release();
    return ForwardIrp(Adapter->LowerDevice, Irp);
}

static NTSTATUS RemoveDevice(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    {
        AdapterLock Lock(Adapter);
        Adapter->PnpState = PnpRemoved;
        DisconnectInterrupt(Adapter);
        // Give up the device's own life reference. AdapterPnp's reference for this request keeps
        // the count above zero until it leaves; the deletion happens there or in whichever
        // power request is still running.
        InterlockedDecrement(&Adapter->OutstandingIo);
    }
    // A remove must reach the bus driver below; it is completed there.
    const NTSTATUS Status = ForwardIrp(Adapter->LowerDevice, Irp);
    // Leave the stack now, while the device below is still there to detach from: the platform
    // may free it as soon as the removal is over, and a power request still running here may keep
    // the adapter alive past that point (DeleteAdapter then leaves the stack alone).
    IoDetachDevice(Adapter->LowerDevice);
    return Status;
}

// Cancel-remove and cancel-stop: the lower drivers undo their part first, then the adapter is
// active again.
static NTSTATUS CancelPending(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    const NTSTATUS Status = ForwardIrpAndWait(Adapter->LowerDevice, Irp, TRUE);
    if (NT_SUCCESS(Status)) {
        AdapterLock Lock(Adapter);
        Adapter->PnpState = PnpActive;
    }
    return CompleteIrp(Irp, Status, Irp->IoStatus.Information);
}

static NTSTATUS StopDevice(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    {
        AdapterLock Lock(Adapter);
        DisconnectInterrupt(Adapter);
        // The ranges may move before the next start (rebalancing): no port may keep using them.
        ClearPortResources(Adapter);
        Adapter->PnpState = PnpStopped;
    }
    return ForwardIrp(Adapter->LowerDevice, Irp);
}

static NTSTATUS QueryStopDevice(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    {
        AdapterLock Lock(Adapter);
        Adapter->PnpState = PnpStopPending;
    }
    return ForwardIrp(Adapter->LowerDevice, Irp);
}

static NTSTATUS QueryDeviceRelations(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (StoredValue(Stack->Parameters.QueryDeviceRelations.Type) != BusRelations) {
        return ForwardIrp(Adapter->LowerDevice, Irp);
    }
    AdapterLock Lock(Adapter);
    return QueryBusRelations(Adapter, Irp);
}

static NTSTATUS QueryCapabilities(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    const PDEVICE_CAPABILITIES Capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    // The bus driver fills in what the PCI function can do; the power policy works from its
    // system-to-device state map.
    const NTSTATUS Status = ForwardIrpAndWait(Adapter->LowerDevice, Irp, TRUE);
    if (NT_SUCCESS(Status) && Capabilities != nullptr) {
        AdapterLock Lock(Adapter);
        Adapter->Capabilities = *Capabilities;
    }
    return CompleteIrp(Irp, Status, Irp->IoStatus.Information);
}

static NTSTATUS SurpriseRemoval(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    {
        AdapterLock Lock(Adapter);
        Adapter->PnpState = PnpSurpriseRemoved;
        // The hardware is gone: nothing may touch it through the interrupt any more.
        DisconnectInterrupt(Adapter);
        // The next bus relations answer omits the ports, so the manager removes them.
        IoInvalidateDeviceRelations(Adapter->PhysicalDevice, BusRelations);
    }
    // A surprise removal may not be failed; what the lower drivers answer does not matter.
    (VOID) ForwardIrpAndWait(Adapter->LowerDevice, Irp, TRUE);
    return CompleteIrp(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

static NTSTATUS HandleAdapterPnp(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(Adapter, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryRemoveDevice(Adapter, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(Adapter, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CancelPending(Adapter, Irp);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(Adapter, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStopDevice(Adapter, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryDeviceRelations(Adapter, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Adapter, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(Adapter, Irp);
    default:
        return ForwardIrp(Adapter->LowerDevice, Irp);
    }
}

NTSTATUS AdapterPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const PADAPTER_EXTENSION Adapter = AdapterOf(DeviceObject);
    InterlockedIncrement(&Adapter->OutstandingIo);

    const NTSTATUS Status = HandleAdapterPnp(Adapter, Irp);

    // After a remove, the last request to leave deletes the adapter; touch nothing after this.
    if (InterlockedDecrement(&Adapter->OutstandingIo) == 0) {
        DeleteAdapter(Adapter);
    }
    return Status;
}

NTSTATUS QueryBusRelations(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    if (Adapter->PnpState == PnpSurpriseRemoved) {
        // Report no ports: the manager then treats them as gone. Relations an upper driver put
        // in the IRP stay as they are.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardIrp(Adapter->LowerDevice, Irp);
    }

    const auto Previous = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    const ULONG PreviousCount = Previous != nullptr ? Previous->Count : 0;
    const ULONG Capacity = PreviousCount + Adapter->PortCount;
    SIZE_T Bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + Capacity * sizeof(PDEVICE_OBJECT);
    if (Bytes < sizeof(DEVICE_RELATIONS)) {
        Bytes = sizeof(DEVICE_RELATIONS);
    }

    // The manager frees the answer; it runs at PASSIVE_LEVEL, so paged pool.
    const auto Relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, Bytes, CorPoolTag));
    if (Relations == nullptr) {
        Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return ForwardIrp(Adapter->LowerDevice, Irp);
    }

    Relations->Count = 0;
    if (Previous != nullptr) {
        Relations->Count = PreviousCount;
        RtlCopyMemory(Relations->Objects, Previous->Objects,
                      PreviousCount * sizeof(PDEVICE_OBJECT));
        ExFreePool(Previous);
    }

    // Every port device is reported whatever its own state; each entry carries a reference that
    // the manager drops.
    PDEVICE_OBJECT* Objects = Relations->Objects; // variable length, sized above
    for (PLIST_ENTRY Entry = Adapter->PortList.Flink;
         Entry != &Adapter->PortList && Relations->Count < Capacity; Entry = Entry->Flink) {
        const PDEVICE_OBJECT PortDevice = PortFromLink(Entry)->Self;
        ObfReferenceObject(PortDevice);
        Objects[Relations->Count] = PortDevice;
        ++Relations->Count;
    }

    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Relations);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return ForwardIrp(Adapter->LowerDevice, Irp);
}
