// Cancel-safe request queues. A queued request carries the queue's cancel routine; whoever takes
// it out first owns it. Taking a request out clears the routine: when that finds the routine
// already gone, IoCancelIrp has it, and the cancel routine (which waits for the port's Lock)
// takes it out of the list and completes it. So every queued request can be cancelled at any
// moment, also while it is the one in progress, and none is completed twice.
//
// All of these run with the port's Lock held; the cancel routines take it themselves.
#include "corserial.h"

namespace {

// IoCancelIrp exchanges the routine with null on another processor at any moment.
PDRIVER_CANCEL CurrentCancelRoutine(PIRP Irp)
{
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr, nullptr));
}

PIRP IrpOf(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
}

} // namespace

VOID QueueInitialize(PSERIAL_QUEUE Queue, PDRIVER_CANCEL CancelRoutine)
{
    InitializeListHead(&Queue->Head);
    Queue->CancelRoutine = CancelRoutine;
}

BOOLEAN QueueInsert(PSERIAL_PORT Port, PSERIAL_QUEUE Queue, PIRP Irp, CompletionBatch& Done)
{
    IoMarkIrpPending(Irp);
    if (Port->Removing) {
        // The port went away after the request was let in (Lock was free in between): the
        // removal has ended every queued request already, and would never see this one.
        Done.Add(Irp, STATUS_DELETE_PENDING, 0);
        return FALSE;
    }
    static_cast<void>(IoSetCancelRoutine(Irp, Queue->CancelRoutine));
    if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
        // Cancelled before it got here, and the routine was not called: it is ours to complete.
        Done.Add(Irp, STATUS_CANCELLED, 0);
        return FALSE;
    }
    // If IoCancelIrp took the routine meanwhile, the routine waits for Lock and finds it here.
    InsertTailList(&Queue->Head, &Irp->Tail.Overlay.ListEntry);
    return TRUE;
}

BOOLEAN QueueUnlessAborted(PSERIAL_PORT Port, PSERIAL_QUEUE Queue, PIRP Irp, CompletionBatch& Done)
{
    BOOLEAN Abort = FALSE;
    SyncWithIsr(Port, [&] { Abort = Port->Shared.ErrorAbort; });
    if (Abort) {
        IoMarkIrpPending(Irp);
        Done.Add(Irp, STATUS_CANCELLED, 0);
        return FALSE;
    }
    return QueueInsert(Port, Queue, Irp, Done);
}

PIRP QueuePeek(PSERIAL_QUEUE Queue)
{
    for (PLIST_ENTRY Entry = Queue->Head.Flink; Entry != &Queue->Head; Entry = Entry->Flink) {
        PIRP Irp = IrpOf(Entry);
        if (CurrentCancelRoutine(Irp) != nullptr) {
            return Irp;
        }
    }
    return nullptr;
}

BOOLEAN QueueRemove(PIRP Irp)
{
    if (IoSetCancelRoutine(Irp, nullptr) == nullptr) {
        return FALSE;
    }
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    return TRUE;
}

BOOLEAN QueueIsEmpty(PSERIAL_QUEUE Queue)
{
    return QueuePeek(Queue) == nullptr;
}

VOID QueueDrain(PSERIAL_QUEUE Queue, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    PLIST_ENTRY Entry = Queue->Head.Flink;
    while (Entry != &Queue->Head) {
        PIRP Irp = IrpOf(Entry);
        Entry = Entry->Flink;
        if ((File == nullptr || IoGetCurrentIrpStackLocation(Irp)->FileObject == File) &&
            QueueRemove(Irp)) {
            Done.Add(Irp, Status, 0);
        }
    }
}

VOID QueueCancelBegin(PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
}
