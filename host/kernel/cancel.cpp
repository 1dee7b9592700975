// Cancel. One system-wide cancel spin lock serialises cancel routines with the drivers that set
// and clear them. IoCancelIrp sets Irp->Cancel, takes the lock, takes the cancel routine out of
// the IRP (an interlocked exchange, the same one IoSetCancelRoutine does, so exactly one side
// owns the routine) and calls it with the lock held; the routine releases the lock with the IRQL
// it finds in Irp->CancelIrql.
#include "internal.h"

namespace hk {
namespace {

KSPIN_LOCK CancelSpinLock;

bool HeldByMe()
{
    return __atomic_load_n(&CancelSpinLock, __ATOMIC_RELAXED) ==
           reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
}

} // namespace

void ResetCancel()
{
    OrderForget(&CancelSpinLock, sizeof(CancelSpinLock));
    __atomic_store_n(&CancelSpinLock, 0, __ATOMIC_RELEASE);
}

} // namespace hk

using namespace hk;

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL Irql)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    ThreadState& thread = CurrentThread();
    *Irql = thread.Irql;
    if (thread.Irql < DISPATCH_LEVEL) {
        thread.Irql = DISPATCH_LEVEL;
    }
    AcquireSpin(&CancelSpinLock, "cancel spin lock");
}

extern "C" VOID IoReleaseCancelSpinLock(KIRQL Irql)
{
    if (!HeldByMe()) {
        Report("IoReleaseCancelSpinLock by a thread that does not hold the cancel spin lock");
        return;
    }
    ReleaseSpin(&CancelSpinLock);
    KfLowerIrql(Irql);
}

extern "C" BOOLEAN IoCancelIrp(PIRP Irp)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    if (!IrpIsLive(Irp)) {
        Report("IoCancelIrp(%p): not a live IRP", static_cast<void*>(Irp));
        return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        Report("IoCancelIrp(%p): a cancel routine is set but no driver holds the IRP",
               static_cast<void*>(Irp));
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    routine(device, Irp);
    // The routine was given the lock and must have let it go, back at the IRQL it was handed.
    if (HeldByMe()) {
        Report("cancel routine %p returned holding the cancel spin lock",
               reinterpret_cast<void*>(routine));
        ReleaseSpin(&CancelSpinLock);
        KfLowerIrql(irql);
    } else if (CurrentThread().Irql != irql) {
        Report("cancel routine %p returned at IRQL %d instead of %d",
               reinterpret_cast<void*>(routine), CurrentThread().Irql, irql);
        CurrentThread().Irql = irql;
    }
    return TRUE;
}
