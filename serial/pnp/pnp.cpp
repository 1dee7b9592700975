// Add-device and the port's plug-and-play.
//
// The port device below is a corcard port device: it claims no resources, so the hardware comes
// from its port bus interface at start (pnp/bind.cpp) and goes back to it at stop, surprise
// removal and removal, always before the adapter itself stops (the platform stops and removes
// children before their parent).
//
// Requests of the handle outlive a stop: they stay queued while the port is stopped (a resource
// rebalance) and go on once it starts again; the UART's FIFOs are not reset on that restart, so
// no byte in them is lost. Surprise removal and removal end every request with
// STATUS_DELETE_PENDING and refuse new ones; removal waits for every request still inside the
// driver before it deletes the device. An open handle refuses a query-remove (the port is busy),
// and once a query-remove has succeeded no handle opens until the removal is cancelled.
//
// The port is a WMI data provider while it has its hardware: registered once a start succeeds,
// deregistered at a stop, a surprise removal or a removal (wmi/wmi.cpp). The statistics belong
// to the handle, not to the hardware, so they go on counting across a stop and a restart.
#include "corserial.h"

namespace {

// Lets the UART work: the callback may service it, the registers are programmed from the
// settings, and an open handle gets its modem lines and interrupts back. FIFOs are reset only on
// the first start: after a stop they may still hold bytes of a write.
VOID GoLive(PSERIAL_PORT Port, BOOLEAN ResetFifos)
{
    PortLock Lock(Port);
    SyncWithIsr(Port, [&] { UartGoLive(Port, ResetFifos); });
}

// Ends every request and refuses new ones: the port is going away.
VOID EndRequestsForRemoval(PSERIAL_PORT Port)
{
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    Port->Removing = TRUE;
    EndRequestsOf(Port, nullptr, STATUS_DELETE_PENDING, Done);
}

// Nothing of the port runs after this: no timer set, no DPC queued or running. Removing is set,
// so no DPC sets a timer again (ArmTimer); the DPCs already running finish first, and only then
// are the timers cancelled, so that none of them re-arms one behind the cancel. A timer set
// before may still fire between the first flush and its cancel: its DPC runs and owns the port's
// fields until the second flush has seen it out, so nothing here touches them.
VOID StopTimersAndDpcs(PSERIAL_PORT Port)
{
    KeFlushQueuedDpcs();
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    KeCancelTimer(&Port->WriteTotalTimer);
    KeCancelTimer(&Port->DrainTimer);
    KeRemoveQueueDpc(&Port->ServiceDpc);
    KeRemoveQueueDpc(&Port->ReadTotalDpc);
    KeRemoveQueueDpc(&Port->ReadIntervalDpc);
    KeRemoveQueueDpc(&Port->WriteTotalDpc);
    KeRemoveQueueDpc(&Port->DrainDpc);
    KeFlushQueuedDpcs();
}

NTSTATUS StartPort(PSERIAL_PORT Port)
{
    NTSTATUS Status = ReadConfiguration(Port);
    if (!NT_SUCCESS(Status)) {
        // A restart after a stop finds the names of the first start still up: a port that
        // fails to start has none.
        WithdrawNames(Port);
        return Status;
    }
    if (!Port->LinkCreated) {
        Status = PublishNames(Port);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    Status = BindHardware(Port);
    if (!NT_SUCCESS(Status)) {
        WithdrawNames(Port);
        return Status;
    }
    {
        PortLock Lock(Port);
        PSERIAL_SHARED S = &Port->Shared;
        FifoParameters(&Port->Config, &S->Fcr, &S->RxTrigger, &S->TxLoad, &S->FifoDepth);
        S->Divisor = DivisorFor(Port->Config.ClockRate, S->BaudRate);
        if (S->Divisor == 0) {
            // The rate set before does not suit this clock: the port starts at 9600 baud, which
            // every clock the configuration accepts makes.
            S->BaudRate = 9600;
            S->Divisor = DivisorFor(Port->Config.ClockRate, S->BaudRate);
        }
    }
    GoLive(Port, !Port->EverStarted);
    Port->EverStarted = TRUE;
    Port->PnpState = PortStarted;
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PSERIAL_PORT Port, PIRP Irp)
{
    NTSTATUS Status = SendDownAndWait(Port, Irp);
    if (NT_SUCCESS(Status)) {
        StateLock Lock(Port);
        Status = StartPort(Port);
    }
    if (NT_SUCCESS(Status)) {
        WmiRegister(Port); // the port's data blocks, while it has its hardware
    }
    return CompleteAndRelease(Port, Irp, Status, 0);
}

NTSTATUS QueryStop(PSERIAL_PORT Port, PIRP Irp)
{
    {
        StateLock Lock(Port);
        Port->StateBeforeQuery = Port->PnpState;
        Port->PnpState = PortStopPending;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Port, Irp);
}

// The stack's capabilities, on their way up: whether the device can wake the system, and from
// which sleeping state (wait-wake).
NTSTATUS QueryCapabilities(PSERIAL_PORT Port, PIRP Irp)
{
    const NTSTATUS Status = SendDownAndWait(Port, Irp);
    const PDEVICE_CAPABILITIES Capabilities =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
    if (NT_SUCCESS(Status) && Capabilities != nullptr) {
        PortLock Lock(Port);
        const BOOLEAN CanWake = Capabilities->DeviceWake != PowerDeviceUnspecified &&
                                Capabilities->SystemWake > PowerSystemWorking;
        Port->WakeFrom = CanWake ? Capabilities->SystemWake : PowerSystemUnspecified;
    }
    return CompleteAndRelease(Port, Irp, Status, Irp->IoStatus.Information);
}

NTSTATUS QueryRemove(PSERIAL_PORT Port, PIRP Irp)
{
    BOOLEAN Busy;
    {
        StateLock State(Port);
        PortLock Lock(Port);
        Busy = Port->OpenFile != nullptr;
        if (!Busy) {
            Port->StateBeforeQuery = Port->PnpState;
            Port->PnpState = PortRemovePending;
            Port->RemoveQueried = TRUE; // no handle opens until the removal is cancelled
        }
    }
    if (Busy) {
        return CompleteAndRelease(Port, Irp, STATUS_DEVICE_BUSY, 0);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Port, Irp);
}

// A cancelled query is undone once the drivers below have undone theirs.
NTSTATUS CancelQuery(PSERIAL_PORT Port, PIRP Irp, ULONG PendingState)
{
    SendDownAndWait(Port, Irp);
    {
        StateLock State(Port);
        if (Port->PnpState == PendingState) {
            Port->PnpState = Port->StateBeforeQuery;
        }
        PortLock Lock(Port);
        Port->RemoveQueried = Port->PnpState == PortRemovePending;
    }
    return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, 0);
}

NTSTATUS StopDevice(PSERIAL_PORT Port, PIRP Irp)
{
    WmiDeregister(Port);
    {
        StateLock Lock(Port);
        ReleaseHardware(Port, TRUE);
        Port->PnpState = PortStopped;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Port, Irp);
}

NTSTATUS SurpriseRemoval(PSERIAL_PORT Port, PIRP Irp)
{
    WmiDeregister(Port); // here, and not again at the removal, as WMI asks
    {
        StateLock Lock(Port);
        EndRequestsForRemoval(Port);
        ReleaseHardware(Port, FALSE); // the registers may be gone already
        WithdrawNames(Port);
        Port->PnpState = PortSurpriseRemoved;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Port, Irp);
}

NTSTATUS RemoveDevice(PSERIAL_PORT Port, PIRP Irp)
{
    WmiDeregister(Port);
    {
        StateLock Lock(Port);
        if (Port->PnpState != PortSurpriseRemoved) {
            EndRequestsForRemoval(Port);
            ReleaseHardware(Port, TRUE);
            WithdrawNames(Port);
        }
        Port->PnpState = PortRemoved;
    }
    EnableWaitWake(Port, FALSE); // an armed wait-wake holds the remove lock while it is below
    // Every request still inside the driver leaves before the device goes.
    IoReleaseRemoveLockAndWait(&Port->RemoveLock, Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = IoCallDriver(Port->LowerDevice, Irp);

    StopTimersAndDpcs(Port);
    IoFreeWorkItem(Port->PowerWork);
    IoDetachDevice(Port->LowerDevice);
    FreeNames(Port);
    // A handle still open after a surprise removal can only close: nothing reaches the queue.
    ExFreePoolWithTag(Port->Shared.Rx.Buffer, SerialPoolTag);
    Port->Shared.Rx.Buffer = nullptr;
    IoDeleteDevice(Port->Self);
    return Status;
}

} // namespace

NTSTATUS SerialAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT Device = nullptr;
    NTSTATUS Status = CreatePortDevice(DriverObject, &Device);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    PSERIAL_PORT Port = PortFromDevice(Device);
    Port->Self = Device;
    Port->Pdo = PhysicalDeviceObject;
    Port->DevicePower = PowerDeviceD0;
    Port->WakeFrom = PowerSystemUnspecified;
    IoInitializeRemoveLock(&Port->RemoveLock, SerialPoolTag, 0, 0);
    KeInitializeMutex(&Port->StateMutex, 0);
    KeInitializeSpinLock(&Port->Lock);
    QueueInitialize(&Port->ReadQueue, ReadCancel);
    QueueInitialize(&Port->WriteQueue, WriteCancel);
    QueueInitialize(&Port->WaitQueue, WaitCancel);
    QueueInitialize(&Port->ImmediateQueue, ImmediateCancel);
    KeInitializeDpc(&Port->ServiceDpc, ServiceDpcRoutine, Port);
    KeInitializeDpc(&Port->ReadTotalDpc, ReadTotalDpcRoutine, Port);
    KeInitializeDpc(&Port->ReadIntervalDpc, ReadIntervalDpcRoutine, Port);
    KeInitializeDpc(&Port->WriteTotalDpc, WriteTotalDpcRoutine, Port);
    KeInitializeDpc(&Port->DrainDpc, DrainDpcRoutine, Port);
    KeInitializeTimer(&Port->ReadTotalTimer);
    KeInitializeTimer(&Port->ReadIntervalTimer);
    KeInitializeTimer(&Port->WriteTotalTimer);
    KeInitializeTimer(&Port->DrainTimer);

    const ULONG QueueSize = DefaultReceiveQueueSize();
    Port->Shared.Rx.Buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, QueueSize, SerialPoolTag));
    Port->PowerWork = IoAllocateWorkItem(Device);
    if (Port->Shared.Rx.Buffer == nullptr || Port->PowerWork == nullptr) {
        if (Port->Shared.Rx.Buffer != nullptr) {
            ExFreePoolWithTag(Port->Shared.Rx.Buffer, SerialPoolTag);
        }
        if (Port->PowerWork != nullptr) {
            IoFreeWorkItem(Port->PowerWork);
        }
        IoDeleteDevice(Device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Port->Shared.Rx.Size = QueueSize;
    DefaultSettings(Port);

    Port->LowerDevice = IoAttachDeviceToDeviceStack(Device, PhysicalDeviceObject);
    if (Port->LowerDevice == nullptr) {
        ExFreePoolWithTag(Port->Shared.Rx.Buffer, SerialPoolTag);
        IoFreeWorkItem(Port->PowerWork);
        IoDeleteDevice(Device);
        return STATUS_NO_SUCH_DEVICE;
    }
    // Buffered I/O: reads and writes come with a system buffer the transmitter and the read path
    // can use at any IRQL. Power-pageable: power requests arrive at PASSIVE_LEVEL.
    Device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    Device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    return STATUS_SUCCESS;
}

NTSTATUS SerialPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(Port, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStop(Port, Irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CancelQuery(Port, Irp, PortStopPending);
    case IRP_MN_STOP_DEVICE:
        return StopDevice(Port, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryRemove(Port, Irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CancelQuery(Port, Irp, PortRemovePending);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(Port, Irp);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Port, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(Port, Irp);
    default:
        return PassDown(Port, Irp);
    }
}
