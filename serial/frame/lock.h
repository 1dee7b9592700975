// Scoped helpers for the port's locks and for finishing requests. The order of the locks is
// always the same: StateMutex (PASSIVE_LEVEL), then Lock, then the interrupt's synchronisation.
#pragma once

#include "frame/extension.h"

// The port's spin lock for a scope (raises to DISPATCH_LEVEL, or stays there).
class PortLock {
public:
    explicit PortLock(PSERIAL_PORT Port) : Lock(&Port->Lock) { KeAcquireSpinLock(Lock, &OldIrql); }
    ~PortLock() { KeReleaseSpinLock(Lock, OldIrql); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

private:
    PKSPIN_LOCK Lock;
    KIRQL OldIrql;
};

// The port's state mutex for a scope: plug-and-play and power transitions (PASSIVE_LEVEL).
class StateLock {
public:
    explicit StateLock(PSERIAL_PORT Port) : Mutex(&Port->StateMutex)
    {
        KeWaitForSingleObject(Mutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~StateLock() { KeReleaseMutex(Mutex, FALSE); }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    PKMUTEX Mutex;
};

// Runs Work synchronised with the interrupt callback: through the adapter's interrupt object
// while the callback is hooked, directly otherwise (the callback cannot run then, and the caller
// holds Lock, which excludes everyone else). Called with Lock held; Work runs at the interrupt's
// IRQL while hooked, so it may touch registers and SERIAL_SHARED but nothing that waits.
template <typename Fn> inline void SyncWithIsr(PSERIAL_PORT Port, const Fn& Work)
{
    PKSYNCHRONIZE_ROUTINE Run = [](PVOID Context) -> BOOLEAN {
        (*static_cast<const Fn*>(Context))();
        return TRUE;
    };
    PVOID Context = const_cast<Fn*>(&Work);
    if (Port->Hooked) {
        KeSynchronizeExecution(Port->Interrupt, Run, Context);
    } else {
        Run(Context);
    }
}

// Completes a request that holds the remove lock (it was accepted at dispatch) and lets the lock
// go.
NTSTATUS CompleteAndRelease(PSERIAL_PORT Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

// Requests finished under Lock are completed after it is released: completion runs the callers'
// completion routines, which must not run inside the driver's lock. Declare the batch before the
// PortLock of the same scope, so that the lock is released first.
class CompletionBatch {
public:
    explicit CompletionBatch(PSERIAL_PORT Owner) : Port(Owner) { InitializeListHead(&Irps); }
    ~CompletionBatch() { CompleteAll(); }
    CompletionBatch(const CompletionBatch&) = delete;
    CompletionBatch& operator=(const CompletionBatch&) = delete;

    void Add(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
    {
        Irp->IoStatus.Status = Status;
        Irp->IoStatus.Information = Information;
        InsertTailList(&Irps, &Irp->Tail.Overlay.ListEntry);
    }

    void CompleteAll()
    {
        while (!IsListEmpty(&Irps)) {
            PIRP Irp = CONTAINING_RECORD(RemoveHeadList(&Irps), IRP, Tail.Overlay.ListEntry);
            CompleteAndRelease(Port, Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
        }
    }

private:
    PSERIAL_PORT Port;
    LIST_ENTRY Irps;
};
