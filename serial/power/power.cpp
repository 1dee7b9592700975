// Power. The port is its own power policy owner: a system set-power request goes down first,
// and from its completion the port asks for the device power state that goes with it (D3 for
// every sleeping state, D0 for working), completing the system request once the device request
// is done, as "Handling a System Set-Power IRP in a Device Power Policy Owner" has it. No thread
// waits for the device request, the power manager's least of all. The device requests come back
// here (the platform sends them to the top of the stack, which is this driver).
//
// Going to D3, the transmitter stops taking data and sends what its FIFO holds, the far end is
// asked to wait (handshake lines, XOFF), and the UART raises no more interrupts; the adapter then
// powers the board down, which resets its UARTs. Coming back to D0 (once the adapter is up), the
// UART is programmed again from the port's settings: an open handle finds its line settings,
// modem lines and queues as they were, pending reads and writes go on, and a modem line that
// changed while the port slept raises its event.
//
// Wait-wake (the internal requests of a kernel client, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE): when
// enabled and the stack's capabilities say the device can wake the system from the state it goes
// to, a wait-wake request is armed on the way down.
//
// The driver is power-pageable: device power requests arrive at PASSIVE_LEVEL, and may wait.
#include "corserial.h"

namespace {

VOID SetDevicePowerState(PSERIAL_PORT Port, DEVICE_POWER_STATE State)
{
    PortLock Lock(Port);
    Port->DevicePower = State;
}

VOID PowerDown(PSERIAL_PORT Port)
{
    StateLock State(Port);
    BOOLEAN Live = FALSE;
    {
        PortLock Lock(Port);
        Live = Port->DevicePower == PowerDeviceD0 && Port->Hooked;
    }
    if (!Live) {
        SetDevicePowerState(Port, PowerDeviceD3);
        return;
    }
    // The far end is told to stop sending, and what it had under way is still taken; the own
    // transmitter finishes what its FIFO holds (an XOFF among it).
    BOOLEAN FarEndTold = FALSE;
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] { FarEndTold = HoldFarEnd(Port); });
    }
    UartDrainTransmitter(Port);
    if (FarEndTold) {
        UartAwaitQuietReceiver(Port);
    }
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            if (S->IsrLive) {
                // The board resets the UART in D3: bytes still in its receive FIFO are taken now.
                UartDrainReceiver(Port);
                UartOut(S, UartIer, 0);
            }
            S->IsrLive = FALSE;
        });
        Port->DevicePower = PowerDeviceD3;
    }
}

VOID PowerUp(PSERIAL_PORT Port)
{
    StateLock State(Port);
    PortLock Lock(Port);
    if (Port->DevicePower != PowerDeviceD0 && Port->Hooked) {
        // The board reset the UART on its way out of D3.
        SyncWithIsr(Port, [&] { UartGoLive(Port, TRUE); });
    }
    Port->DevicePower = PowerDeviceD0;
}

// ---- wait-wake --------------------------------------------------------------------------------

VOID WaitWakeDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    // A wake the device signalled brings the system, and so the port, back: nothing to do here.
    const auto Port = static_cast<PSERIAL_PORT>(Context);
    PortLock Lock(Port);
    Port->WaitWakeArmed = FALSE;
}

// On the way to a sleeping state the device can wake the system from, while a kernel client has
// wait-wake enabled.
VOID ArmWaitWake(PSERIAL_PORT Port, SYSTEM_POWER_STATE Sleep)
{
    POWER_STATE From;
    {
        PortLock Lock(Port);
        if (!Port->WakeEnabled || Port->WaitWakeArmed || Sleep > Port->WakeFrom) {
            return;
        }
        Port->WaitWakeArmed = TRUE;
        From.SystemState = Port->WakeFrom;
    }
    if (!NT_SUCCESS(
            PoRequestPowerIrp(Port->Pdo, IRP_MN_WAIT_WAKE, From, WaitWakeDone, Port, nullptr))) {
        PortLock Lock(Port);
        Port->WaitWakeArmed = FALSE; // the completion function will not run
    }
}

// The armed request passes here on its way down (this driver is the top of the stack). While it
// is below, a cancel may reach it; its completion stops here when a cancel is under way, so that
// the canceller never holds a request that has been freed, and the canceller carries it on.
NTSTATUS WaitWakePassed(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const auto Port = static_cast<PSERIAL_PORT>(Context);
    {
        PortLock Lock(Port);
        Port->WaitWakeIrp = nullptr;
        if (Port->WaitWakeCancelling) {
            Port->WaitWakeHeld = TRUE;
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    }
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS PassWaitWake(PSERIAL_PORT Port, PIRP Irp)
{
    {
        PortLock Lock(Port);
        Port->WaitWakeIrp = Irp;
    }
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, WaitWakePassed, Port, TRUE, TRUE, TRUE);
    return PoCallDriver(Port->LowerDevice, Irp);
}

// ---- system power -----------------------------------------------------------------------------

// The system request goes on up once the device request made for it is done.
VOID FinishSystemPower(PSERIAL_PORT Port)
{
    PIRP Irp = Port->SystemPowerIrp;
    Port->SystemPowerIrp = nullptr;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
}

VOID DevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                     PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    // Its outcome does not change the system request's: the system goes where it goes.
    FinishSystemPower(static_cast<PSERIAL_PORT>(Context));
}

// No device request could be had, but the board still follows the system: it resets its UARTs
// in D3, and a port that never saw its own D3 would skip reprogramming them on the way back. The
// port makes the change itself, at PASSIVE_LEVEL; when the system wakes, its parent is up before
// it.
VOID MakeUpDevicePower(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const auto Port = static_cast<PSERIAL_PORT>(Context);
    if (Port->SystemPowerWants == PowerDeviceD3) {
        PowerDown(Port);
    } else {
        PowerUp(Port);
    }
    FinishSystemPower(Port);
}

NTSTATUS SystemPowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    const auto Port = static_cast<PSERIAL_PORT>(Context);
    const auto System = static_cast<SYSTEM_POWER_STATE>(
        StoredValue(IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState));
    const DEVICE_POWER_STATE Wanted = System == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    BOOLEAN Change = FALSE;
    {
        PortLock Lock(Port);
        Change = NT_SUCCESS(Irp->IoStatus.Status) && Port->Hooked && Port->DevicePower != Wanted;
    }
    if (!Change) {
        PoStartNextPowerIrp(Irp);
        IoReleaseRemoveLock(&Port->RemoveLock, Irp);
        return STATUS_CONTINUE_COMPLETION;
    }
    if (Wanted == PowerDeviceD3) {
        ArmWaitWake(Port, System);
    }
    Port->SystemPowerIrp = Irp;
    POWER_STATE State;
    State.DeviceState = Wanted;
    if (!NT_SUCCESS(PoRequestPowerIrp(Port->Pdo, IRP_MN_SET_POWER, State, DevicePowerDone, Port,
                                      nullptr))) {
        Port->SystemPowerWants = Wanted;
        IoQueueWorkItem(Port->PowerWork, MakeUpDevicePower, DelayedWorkQueue, Port);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetSystemPower(PSERIAL_PORT Port, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SystemPowerDone, Port, TRUE, TRUE, TRUE);
    PoCallDriver(Port->LowerDevice, Irp);
    return STATUS_PENDING;
}

NTSTATUS SetDevicePower(PSERIAL_PORT Port, PIRP Irp, ULONG DeviceState)
{
    POWER_STATE State;
    State.DeviceState = static_cast<DEVICE_POWER_STATE>(DeviceState);
    if (DeviceState == PowerDeviceD0) {
        // Up once the drivers below are up.
        NTSTATUS Status = SendDownAndWait(Port, Irp);
        if (NT_SUCCESS(Status)) {
            PowerUp(Port);
            PoSetPowerState(Port->Self, DevicePowerState, State);
        }
        PoStartNextPowerIrp(Irp);
        return CompleteAndRelease(Port, Irp, Status, Irp->IoStatus.Information);
    }
    // Down before the drivers below go down.
    PowerDown(Port);
    PoSetPowerState(Port->Self, DevicePowerState, State);
    return PassDown(Port, Irp);
}

} // namespace

NTSTATUS SerialPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->MinorFunction == IRP_MN_SET_POWER) {
        const ULONG Type = StoredValue(Stack->Parameters.Power.Type);
        // Both members of the state union are 32-bit enumerations; the type says which it is.
        const ULONG State = StoredValue(Stack->Parameters.Power.State.SystemState);
        if (Type == SystemPowerState) {
            return SetSystemPower(Port, Irp);
        }
        if (Type == DevicePowerState && State >= PowerDeviceD0 && State <= PowerDeviceD3) {
            return SetDevicePower(Port, Irp, State);
        }
    }
    if (Stack->MinorFunction == IRP_MN_WAIT_WAKE) {
        return PassWaitWake(Port, Irp);
    }
    // Queries and the rest: the port has no objection.
    return PassDown(Port, Irp);
}

NTSTATUS EnableWaitWake(PSERIAL_PORT Port, BOOLEAN Enable)
{
    if (!Enable) {
        PIRP Armed = nullptr;
        {
            PortLock Lock(Port);
            Port->WakeEnabled = FALSE;
            Armed = Port->WaitWakeIrp;
            Port->WaitWakeCancelling = Armed != nullptr;
        }
        if (Armed == nullptr) {
            return STATUS_SUCCESS;
        }
        IoCancelIrp(Armed);
        BOOLEAN Held = FALSE;
        {
            PortLock Lock(Port);
            Port->WaitWakeCancelling = FALSE;
            Held = Port->WaitWakeHeld;
            Port->WaitWakeHeld = FALSE;
        }
        if (Held) {
            // Its completion waited for the cancel to be done with it: it goes on up now.
            IoReleaseRemoveLock(&Port->RemoveLock, Armed);
            IoCompleteRequest(Armed, IO_NO_INCREMENT);
        }
        return STATUS_SUCCESS;
    }
    PortLock Lock(Port);
    if (Port->WakeFrom <= PowerSystemWorking) {
        // The stack's capabilities name no sleeping state the device can wake the system from:
        // saying yes would promise a wake that cannot come.
        return STATUS_NOT_SUPPORTED;
    }
    Port->WakeEnabled = TRUE;
    return STATUS_SUCCESS;
}
