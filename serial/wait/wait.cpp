// The wait mask and wait-on-mask (SetCommMask, WaitCommEvent).
//
// The callback records the events of the current mask as they happen (SERIAL_SHARED's
// EventHistory), and queues the service DPC for an event only while a wait is pending. A
// wait-on-mask completes at once with the history when it holds anything, and otherwise stays
// pending until an event of the mask comes, with the events in its 4-byte output. Setting a new
// mask clears the history and ends a pending wait with an empty event set.
//
// The history is read and cleared in the same step with the callback that decides the wait's
// outcome: a wait is marked pending first and then looks at the history, so an event either is in
// the history it looks at or comes after the mark, when the callback queues the DPC that ends
// the wait. (Looking first and marking later would sleep through an event in between, on a quiet
// line for good.)
#include "corserial.h"

namespace {

constexpr ULONG AllEvents = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY |
                            SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_BREAK |
                            SERIAL_EV_ERR | SERIAL_EV_RING | SERIAL_EV_PERR | SERIAL_EV_RX80FULL |
                            SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;

// Completes a wait with its event set. Lock held.
VOID FinishWait(PIRP Irp, ULONG Events, NTSTATUS Status, CompletionBatch& Done)
{
    *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Events;
    Done.Add(Irp, Status, sizeof(ULONG));
}

} // namespace

NTSTATUS SetWaitMask(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    const ULONG Mask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
    if (Mask & ~AllEvents) {
        return CompleteAndRelease(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    {
        CompletionBatch Done(Port);
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            Port->Shared.WaitMask = Mask;
            Port->Shared.EventHistory = 0;
            Port->Shared.WaitPending = FALSE;
        });
        PIRP Waiting = QueuePeek(&Port->WaitQueue);
        if (Waiting != nullptr && QueueRemove(Waiting)) {
            FinishWait(Waiting, 0, STATUS_SUCCESS, Done);
        }
    }
    return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, 0);
}

NTSTATUS WaitOnMask(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    if (Port->Shared.WaitMask == 0 || !QueueIsEmpty(&Port->WaitQueue)) {
        // No mask, or a wait already pending: there is nothing this wait could report.
        Done.Add(Irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    if (!QueueInsert(Port, &Port->WaitQueue, Irp, Done)) {
        return STATUS_PENDING;
    }
    SyncWithIsr(Port, [&] { Port->Shared.WaitPending = TRUE; });
    ServiceWait(Port, Done); // the events recorded before the mark
    return STATUS_PENDING;
}

VOID ServiceWait(PSERIAL_PORT Port, CompletionBatch& Done)
{
    PIRP Waiting = QueuePeek(&Port->WaitQueue);
    if (Waiting == nullptr) {
        return;
    }
    ULONG Seen = 0;
    SyncWithIsr(Port, [&] {
        Seen = Port->Shared.EventHistory;
        if (Seen != 0) {
            Port->Shared.EventHistory = 0;
            Port->Shared.WaitPending = FALSE;
        }
    });
    if (Seen == 0) {
        return;
    }
    if (!QueueRemove(Waiting)) {
        // Its cancel routine has it: the events stay for the next wait.
        SyncWithIsr(Port, [&] { Port->Shared.EventHistory |= Seen; });
        return;
    }
    FinishWait(Waiting, Seen, STATUS_SUCCESS, Done);
}

VOID EndWait(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    PIRP Waiting = QueuePeek(&Port->WaitQueue);
    if (Waiting == nullptr ||
        (File != nullptr && IoGetCurrentIrpStackLocation(Waiting)->FileObject != File) ||
        !QueueRemove(Waiting)) {
        return;
    }
    SyncWithIsr(Port, [&] { Port->Shared.WaitPending = FALSE; });
    Done.Add(Waiting, Status, 0);
}

VOID WaitCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    QueueCancelBegin(Irp);
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    CompletionBatch Done(Port);
    PortLock Lock(Port);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    // Once IoCancelIrp took this wait's routine the wait stopped counting, and the next one may
    // have come in before the lock was ours: the pending mark is then that one's.
    if (QueueIsEmpty(&Port->WaitQueue)) {
        SyncWithIsr(Port, [&] { Port->Shared.WaitPending = FALSE; });
    }
    Done.Add(Irp, STATUS_CANCELLED, 0);
}
