// The port bus interface: how the port function driver on a port device learns the port's register
// block and the adapter's interrupt parameters, and hooks its callback into the adapter's shared
// interrupt. The record layouts are in include/corport.h; the interface is exact about Size and
// Version because the record is not the platform's INTERFACE header and cannot grow compatibly.
#include "corcard.h"

namespace {

// The interface type is compared as the 16 bytes of the platform's GUID layout.
bool IsPortInterface(const GUID* Type)
{
    if (Type == nullptr) {
        return false;
    }
    const UCHAR* Left = reinterpret_cast<const UCHAR*>(Type);
    const UCHAR* Right = reinterpret_cast<const UCHAR*>(&CORPORT_INTERFACE_GUID);
    for (ULONG i = 0; i < sizeof(GUID); i++) {
        if (Left[i] != Right[i]) {
            return false;
        }
    }
    return true;
}

PPORT_EXTENSION PortFromContext(PVOID Context)
{
    return static_cast<PPORT_EXTENSION>(Context);
}

} // namespace

// Called by PortPnp with the adapter's mutex held.
NTSTATUS PortQueryInterface(PPORT_EXTENSION Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);

    // Any other interface asked of a port device concerns the PCI function as a whole: the
    // adapter's bus driver answers it, and completes the request.
    if (!IsPortInterface(Stack->Parameters.QueryInterface.InterfaceType)) {
        return ForwardIrp(Port->Adapter->LowerDevice, Irp);
    }

    NTSTATUS Status;
    PCORPORT_BUS_INTERFACE Record =
        reinterpret_cast<PCORPORT_BUS_INTERFACE>(Stack->Parameters.QueryInterface.Interface);
    if (Stack->Parameters.QueryInterface.Size != CORPORT_INTERFACE_SIZE ||
        Stack->Parameters.QueryInterface.Version != CORPORT_INTERFACE_VERSION ||
        Record == nullptr) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        Record->Size = CORPORT_INTERFACE_SIZE;
        Record->Version = CORPORT_INTERFACE_VERSION;
        Record->Context = Port;
        Record->InterfaceReference = PortInterfaceReference;
        Record->InterfaceDereference = PortInterfaceDereference;
        Record->ConnectIsr = PortConnectIsr;
        Record->DisconnectIsr = PortDisconnectIsr;
        Record->GetResources = PortGetResources;
        // The caller receives the interface referenced and owes one InterfaceDereference.
        PortInterfaceReference(Port);
        Status = STATUS_SUCCESS;
    }

    // The information field is the requester's; only the status is ours to set.
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Any IRQL: no lock, one interlocked operation. One count serves all ports of the adapter.
VOID PortInterfaceReference(PVOID Context)
{
    InterlockedIncrement(&PortFromContext(Context)->Adapter->InterfaceRefCount);
}

VOID PortInterfaceDereference(PVOID Context)
{
    InterlockedDecrement(&PortFromContext(Context)->Adapter->InterfaceRefCount);
}

// PASSIVE_LEVEL only: waits for the adapter's mutex.
NTSTATUS PortConnectIsr(PVOID Context, PKSERVICE_ROUTINE Routine, PVOID RoutineContext)
{
    PPORT_EXTENSION Port = PortFromContext(Context);

    // The dispatcher calls the routine at device IRQL; a null one would fault there, long after
    // the caller could be told.
    if (Routine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    AdapterLock Lock(Port->Adapter);
    if (Port->InterruptSlot >= 0) {
        return STATUS_UNSUCCESSFUL; // one callback per port; the first stays in place
    }
    // A refused registration is remembered as it was answered (-1 no slot free, -2 no interrupt
    // connected); both mean unhooked.
    Port->InterruptSlot =
        RegisterPortIsr(Port->Adapter, Routine, RoutineContext, Port->InterruptMask);
    return Port->InterruptSlot >= 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// PASSIVE_LEVEL only. Cannot fail; does nothing while unhooked.
VOID PortDisconnectIsr(PVOID Context)
{
    PPORT_EXTENSION Port = PortFromContext(Context);
    PADAPTER_EXTENSION Adapter = Port->Adapter;

    AdapterLock Lock(Adapter);
    if (Port->InterruptSlot < 0) {
        return;
    }
    // An adapter stop empties the slot table but leaves the port's record of its slot, and after
    // the next start the lowest free slot may go to another port before this one unhooks. Release
    // the slot only if it still carries this port's status bit, so that a late unhook never
    // takes another port's callback away. (The table is written only under this mutex, so the
    // read needs no interrupt synchronisation.)
    LONG Slot = Port->InterruptSlot;
    if (static_cast<ULONG>(Slot) < InterruptSlotCount) {
        const INTERRUPT_SLOT& Entry = Adapter->InterruptSlots[Slot];
        if (!Entry.InUse || Entry.Mask == static_cast<UCHAR>(Port->InterruptMask)) {
            UnregisterPortIsr(Adapter, static_cast<ULONG>(Slot));
        }
    }
    Port->InterruptSlot = -1;
}

// PASSIVE_LEVEL only. Writes only the record's own fields; the rest of the caller's buffer is the
// caller's.
NTSTATUS PortGetResources(PVOID Context, PCORPORT_RESOURCES Resources)
{
    PPORT_EXTENSION Port = PortFromContext(Context);
    PADAPTER_EXTENSION Adapter = Port->Adapter;

    if (Resources == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    AdapterLock Lock(Adapter);
    // No range: the adapter has not started, its start failed, or it has been stopped.
    if (Port->IoLength == 0) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    Resources->IoBase = Port->IoBase;
    Resources->IoLength = Port->IoLength;
    Resources->InterruptObject = Adapter->InterruptObject;
    Resources->InterruptLevel = static_cast<UCHAR>(Adapter->InterruptLevel);
    Resources->InterruptVector = Adapter->InterruptVector;
    Resources->InterruptAffinity = Adapter->InterruptAffinity;
    Resources->InterruptMode = Adapter->InterruptMode;
    Resources->DriverParameter = Port->Descriptor->DriverParameter;
    return STATUS_SUCCESS;
}
