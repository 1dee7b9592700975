// Power. The port is its own power policy owner: when the system sleeps it asks for D3 before
// the sleep request goes down, and on the way back it asks for D0. The device requests come back
// here (the platform sends them to the top of the stack, which is this driver).
//
// Going to D3, the transmitter stops taking bytes and sends what its FIFO holds, the handshake
// lines ask the other end to wait, and the UART raises no more interrupts; the adapter then
// powers the board down, which resets its UARTs. Coming back to D0 (once the adapter is up), the
// UART is programmed again from the port's settings: an open handle finds its line settings,
// modem lines and queues as they were, and pending reads and writes go on.
//
// The driver is power-pageable: power requests arrive at PASSIVE_LEVEL, and may wait.
#include "corserial.h"

namespace {

typedef struct _POWER_WAIT {
    KEVENT Done;
} POWER_WAIT, *PPOWER_WAIT;

VOID DevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                     PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    const auto Wait = static_cast<PPOWER_WAIT>(Context);
    KeSetEvent(&Wait->Done, IO_NO_INCREMENT, FALSE);
}

// Asks for a device power state and waits until the request is done. False when no request
// could be had.
BOOLEAN RequestDevicePower(PSERIAL_PORT Port, DEVICE_POWER_STATE State)
{
    POWER_WAIT Wait;
    KeInitializeEvent(&Wait.Done, NotificationEvent, FALSE);
    POWER_STATE PowerState;
    PowerState.DeviceState = State;
    NTSTATUS Status =
        PoRequestPowerIrp(Port->Pdo, IRP_MN_SET_POWER, PowerState, DevicePowerDone, &Wait, nullptr);
    if (!NT_SUCCESS(Status)) {
        return FALSE; // no request: the completion function will not run
    }
    KeWaitForSingleObject(&Wait.Done, Executive, KernelMode, FALSE, nullptr);
    return TRUE;
}

VOID PowerDown(PSERIAL_PORT Port)
{
    StateLock State(Port);
    if (Port->DevicePower != PowerDeviceD0 || !Port->Hooked) {
        Port->DevicePower = PowerDeviceD3;
        return;
    }
    // The far end is told to stop sending through the handshake lines, and what it had under way
    // is still taken; the own transmitter finishes what its FIFO holds.
    BOOLEAN FarEndStopped = FALSE;
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            S->TxPaused = TRUE;
            UCHAR Lines = 0;
            if ((S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
                Lines |= McrRts;
            }
            if ((S->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
                Lines |= McrDtr;
            }
            FarEndStopped = (S->Mcr & Lines) != 0;
            UartSetMcr(S, 0, Lines);
        });
    }
    UartDrainTransmitter(Port);
    if (FarEndStopped) {
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
    }
    Port->DevicePower = PowerDeviceD3;
}

VOID PowerUp(PSERIAL_PORT Port)
{
    StateLock State(Port);
    if (Port->DevicePower != PowerDeviceD0 && Port->Hooked) {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            S->IsrLive = TRUE;
            // Registers that read all ones while the board was still down (its own wake had
            // failed) answer again now: the callback would otherwise give the UART up at once.
            S->DeviceGone = FALSE;
            S->TxPaused = FALSE;
            SetOpenShadow(S);
            UartProgram(Port, TRUE); // the board reset the UART on its way out of D3
            UpdateTransmitHolds(Port);
        });
    }
    Port->DevicePower = PowerDeviceD0;
}

NTSTATUS PassPowerDown(PSERIAL_PORT Port, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS Status = PoCallDriver(Port->LowerDevice, Irp);
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
    return Status;
}

NTSTATUS SetSystemPower(PSERIAL_PORT Port, PIRP Irp, ULONG SystemState)
{
    BOOLEAN Started;
    DEVICE_POWER_STATE Current;
    {
        StateLock State(Port);
        Started = Port->Hooked;
        Current = Port->DevicePower;
    }
    const DEVICE_POWER_STATE Wanted =
        SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (Started && Wanted != Current) {
        // Its outcome does not matter here: the system request goes down whatever it was.
        if (!RequestDevicePower(Port, Wanted)) {
            // No device request could be had, but the board still follows the system: it resets
            // its UARTs in D3, and a port that never saw its own D3 would skip reprogramming
            // them on the way back. The port makes the change itself; when the system wakes, its
            // parent is up before it.
            if (Wanted == PowerDeviceD3) {
                PowerDown(Port);
            } else {
                PowerUp(Port);
            }
        }
    }
    return PassPowerDown(Port, Irp);
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
        return CompleteRequest(Port, Irp, Status, Irp->IoStatus.Information);
    }
    // Down before the drivers below go down.
    PowerDown(Port);
    PoSetPowerState(Port->Self, DevicePowerState, State);
    return PassPowerDown(Port, Irp);
}

} // namespace

NTSTATUS SerialPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteUnlocked(Irp, Status, 0);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->MinorFunction == IRP_MN_SET_POWER) {
        const ULONG Type = StoredValue(Stack->Parameters.Power.Type);
        // Both members of the state union are 32-bit enumerations; the type says which it is.
        const ULONG State = StoredValue(Stack->Parameters.Power.State.SystemState);
        if (Type == SystemPowerState) {
            return SetSystemPower(Port, Irp, State);
        }
        if (Type == DevicePowerState && State >= PowerDeviceD0 && State <= PowerDeviceD3) {
            return SetDevicePower(Port, Irp, State);
        }
    }
    // Queries, wait-wake and the rest: the port has no objection and arms no wake of its own.
    return PassPowerDown(Port, Irp);
}
