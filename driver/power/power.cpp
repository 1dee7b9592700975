// The adapter's power policy. The adapter device owns the power policy of its PCI function: it
// turns system power changes into device power changes through its system-to-device table, keeps
// the current device power state, and passes every power request down its stack. It never touches
// the hardware; the bus driver below powers the function. Only changes into or out of D0 are
// requested: from one sleep state to another nothing is asked of the bus.
#include "corcard.h"

namespace {

// One device power request raised by the adapter itself; lives on the requester's stack until
// the request has completed.
typedef struct _POWER_REQUEST_CONTEXT {
    KEVENT Done;
    IO_STATUS_BLOCK IoStatus;
} POWER_REQUEST_CONTEXT, *PPOWER_REQUEST_CONTEXT;

// Device state the table holds for a system state. Working is always D0; a state past the
// table's end (above shutdown) is treated as shutdown's D3.
ULONG MapSystemState(PADAPTER_EXTENSION Adapter, ULONG SystemState)
{
    if (SystemState == PowerSystemWorking) {
        return PowerDeviceD0;
    }
    if (SystemState <= PowerSystemShutdown) {
        return Adapter->Capabilities.DeviceState[SystemState];
    }
    return PowerDeviceD3;
}

} // namespace

// Holds one OutstandingIo reference for the whole request, so a removal waits for it to leave
// before it deletes the adapter.
NTSTATUS AdapterPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PADAPTER_EXTENSION Adapter = AdapterOf(DeviceObject);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;

    InterlockedIncrement(&Adapter->OutstandingIo);
    ULONG Type = StoredValue(Stack->Parameters.Power.Type);
    // Both members of the state union are 32-bit enumerations; the type says which one it is.
    ULONG State = StoredValue(Stack->Parameters.Power.State.SystemState);
    switch (Stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (Type == SystemPowerState) {
            Status = SetSystemPower(Adapter, Irp, State);
        } else if (Type == DevicePowerState) {
            Status = SetDevicePower(Adapter, Irp, State);
        } else {
            Status = PassPowerDown(Adapter, Irp);
        }
        break;

    case IRP_MN_QUERY_POWER:
        if (Type == SystemPowerState) {
            Status = QuerySystemPower(Adapter, Irp, State);
        } else {
            Status = PassPowerDown(Adapter, Irp);
        }
        break;

    default:
        // Wait-wake, power sequence and anything else: the adapter arms no wake and keeps no
        // sequence of its own.
        Status = PassPowerDown(Adapter, Irp);
        break;
    }
    ReleaseAdapterReference(Adapter);
    return Status;
}

// The system request goes down only after the adapter's device request has completed, both when
// going to sleep and when waking.
NTSTATUS SetSystemPower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG SystemState)
{
    ULONG DeviceState = MapSystemState(Adapter, SystemState);

    AdapterLock Lock(Adapter);
    bool Wanted = DeviceState >= PowerDeviceD0 && DeviceState <= PowerDeviceD3 &&
                  DeviceState != Adapter->DevicePowerState &&
                  (DeviceState == PowerDeviceD0 || Adapter->DevicePowerState == PowerDeviceD0);
    if (Wanted) {
        // The device request holds a reference of its own while it is outstanding.
        InterlockedIncrement(&Adapter->OutstandingIo);
        // It comes back through SetDevicePower, which takes the mutex: drop it for the wait.
        Lock.Release();
        // Its outcome does not matter here: the system request goes down whatever it was.
        RequestDevicePower(Adapter->LowerDevice, IRP_MN_SET_POWER, DeviceState);
        Lock.Acquire();
        InterlockedDecrement(&Adapter->OutstandingIo);
    }
    Lock.Release();
    return PassPowerDown(Adapter, Irp);
}

NTSTATUS SetDevicePower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG DeviceState)
{
    if (DeviceState == PowerDeviceD0) {
        // Powering up is done once the bus driver below has powered the function. The request is
        // held here until then, so AdapterPower's reference covers all of it and a removal that
        // comes in meanwhile waits for it: had the request gone up with a completion routine of
        // ours after this routine returned, that routine could run against an adapter already
        // deleted. The adapter is power-pageable, so this runs at PASSIVE_LEVEL and may wait.
        KEVENT LowerDone;
        KeInitializeEvent(&LowerDone, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, ForwardCompletion, &LowerDone, TRUE, TRUE, TRUE);
        PoCallDriver(Adapter->LowerDevice, Irp);
        KeWaitForSingleObject(&LowerDone, Suspended, KernelMode, FALSE, nullptr);
        return PowerUpComplete(Adapter, Irp);
    }

    // Powering down: the new state is recorded and announced before the bus driver acts, and the
    // bus driver's answer is not examined.
    {
        AdapterLock Lock(Adapter);
        Adapter->DevicePowerState = DeviceState;
        SetRegistersPowered(Adapter, FALSE);
    }
    POWER_STATE State;
    State.DeviceState = static_cast<DEVICE_POWER_STATE>(DeviceState);
    PoSetPowerState(Adapter->LowerDevice, DevicePowerState, State);
    return PassPowerDown(Adapter, Irp);
}

// A system state whose table entry lies beyond D3 cannot be entered by this adapter: the query is
// refused here. Every other query is the lower drivers'.
NTSTATUS QuerySystemPower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG SystemState)
{
    if (SystemState != PowerSystemWorking && MapSystemState(Adapter, SystemState) > PowerDeviceD3) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    }
    return PassPowerDown(Adapter, Irp);
}

// Raises a device power request for the stack that holds Target and waits for it. The platform
// sends the new request to the top of that stack, so it reaches this adapter's AdapterPower first.
NTSTATUS RequestDevicePower(PDEVICE_OBJECT Target, UCHAR MinorFunction, ULONG DeviceState)
{
    POWER_REQUEST_CONTEXT Context;
    KeInitializeEvent(&Context.Done, NotificationEvent, FALSE);
    Context.IoStatus.Status = STATUS_UNSUCCESSFUL;
    Context.IoStatus.Information = 0;

    POWER_STATE State;
    State.DeviceState = static_cast<DEVICE_POWER_STATE>(DeviceState);
    NTSTATUS Status =
        PoRequestPowerIrp(Target, MinorFunction, State, DevicePowerRequestDone, &Context, nullptr);
    if (!NT_SUCCESS(Status)) {
        // No request was issued, so the completion function will never run: waiting would hang
        // this thread for good. The outcome is the preset failure.
        return Context.IoStatus.Status;
    }
    KeWaitForSingleObject(&Context.Done, Suspended, KernelMode, FALSE, nullptr);
    return Context.IoStatus.Status;
}

VOID DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);

    PPOWER_REQUEST_CONTEXT Request = static_cast<PPOWER_REQUEST_CONTEXT>(Context);
    Request->IoStatus.Status = IoStatus->Status;
    Request->IoStatus.Information = IoStatus->Information;
    KeSetEvent(&Request->Done, 0, FALSE);
}

// Finishes a device set-power to D0 that the lower drivers are done with. A failed power-up
// leaves the recorded state and the power manager's record as they were; its status goes up
// unchanged.
NTSTATUS PowerUpComplete(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    NTSTATUS Status = Irp->IoStatus.Status;
    if (NT_SUCCESS(Status)) {
        {
            AdapterLock Lock(Adapter);
            Adapter->DevicePowerState = PowerDeviceD0;
            SetRegistersPowered(Adapter, TRUE);
        }
        POWER_STATE State;
        State.DeviceState = PowerDeviceD0;
        PoSetPowerState(Adapter->PhysicalDevice, DevicePowerState, State);
    }
    PoStartNextPowerIrp(Irp);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS PassPowerDown(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Adapter->LowerDevice, Irp);
}
