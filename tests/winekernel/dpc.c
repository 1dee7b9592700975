/* Deferred procedure calls and timers for corserial. Wine 8's KeInsertQueueDpc answers TRUE and
 * never runs the routine, KeRemoveQueueDpc aborts the process, and its KeInitializeDpc is a
 * semi-stub. Its timers do run their DPC, from a thread pool callback, but under Wine's own timer
 * lock: KeCancelTimer called under a spin lock that the DPC routine is waiting for deadlocks on
 * that lock (corserial cancels its time-outs under the port's lock, and the time-out DPCs take
 * it). The fixture points corserial's imports of all of these at its own.
 *
 * The thread that stands for the processor (board.c) runs the queue, one DPC at a time in queue
 * order, as a processor does when it leaves an interrupt: a DPC queued by the service routine
 * runs right after it, one queued from another thread wakes the processor thread. A DPC is
 * queued at most once until it starts running (KeInsertQueueDpc answers FALSE meanwhile), may be
 * queued again from its own routine, and KeRemoveQueueDpc takes out one that has not started.
 * Wine has no DISPATCH_LEVEL: the routines run at the thread's level, which only matters to code
 * that looks at the level, and corserial does not. A timer set with a DPC is the fixture's: when
 * it expires its DPC is queued there too; cancelling one that has not expired takes it out, as
 * KeCancelTimer does at any IRQL. Only one-shot timers with a relative due time, the kind
 * corserial sets. A timer set without a DPC is one to wait for, outside any spin lock: that is
 * Wine's, which does it. */
#include "fixture.h"

static LIST_ENTRY Queue;
static KSPIN_LOCK QueueLock;
static ULONG Running;     /* a routine is running (QueueLock) */
static LIST_ENTRY Timers; /* set timers (QueueLock), each with its due time in DueTime (ns) */

/* In KTIMER.Processor of a timer the fixture runs (once set with a DPC, always the fixture's). */
#define FIXTURE_TIMER 0x46495854u

/* DpcData marks a queued DPC, as on Windows. */
#define QUEUED_MARK ((PVOID)&Queue)

VOID DpcsInitialize(VOID)
{
    InitializeListHead(&Queue);
    InitializeListHead(&Timers);
    KeInitializeSpinLock(&QueueLock);
}

VOID DpcsRun(VOID)
{
    for (;;) {
        KIRQL old;
        KeAcquireSpinLock(&QueueLock, &old);
        if (IsListEmpty(&Queue)) {
            KeReleaseSpinLock(&QueueLock, old);
            return;
        }
        PRKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&Queue), KDPC, DpcListEntry);
        dpc->DpcData = NULL;
        PVOID argument1 = dpc->SystemArgument1, argument2 = dpc->SystemArgument2;
        Running = 1;
        KeReleaseSpinLock(&QueueLock, old);
        dpc->DeferredRoutine(dpc, dpc->DeferredContext, argument1, argument2);
        KeAcquireSpinLock(&QueueLock, &old);
        Running = 0;
        Record.DpcsRun++;
        KeReleaseSpinLock(&QueueLock, old);
    }
}

VOID NTAPI FixtureKeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context)
{
    RtlZeroMemory(Dpc, sizeof(*Dpc));
    Dpc->Type = 19; /* DpcObject of the kernel's object types */
    Dpc->DeferredRoutine = Routine;
    Dpc->DeferredContext = Context;
}

BOOLEAN NTAPI FixtureKeInsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2)
{
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    BOOLEAN inserted = Dpc->DpcData == NULL;
    if (inserted) {
        Dpc->DpcData = QUEUED_MARK;
        Dpc->SystemArgument1 = Argument1;
        Dpc->SystemArgument2 = Argument2;
        InsertTailList(&Queue, &Dpc->DpcListEntry);
        Record.DpcsQueued++;
    }
    KeReleaseSpinLock(&QueueLock, old);
    if (inserted) {
        BoardKick();
    }
    return inserted;
}

BOOLEAN NTAPI FixtureKeRemoveQueueDpc(PRKDPC Dpc)
{
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    BOOLEAN removed = Dpc->DpcData != NULL;
    if (removed) {
        RemoveEntryList(&Dpc->DpcListEntry);
        Dpc->DpcData = NULL;
    }
    KeReleaseSpinLock(&QueueLock, old);
    return removed;
}

ULONG DpcsPending(VOID)
{
    ULONG pending = 0;
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    for (PLIST_ENTRY e = Queue.Flink; e != &Queue; e = e->Flink) {
        ++pending;
    }
    pending += Running;
    KeReleaseSpinLock(&QueueLock, old);
    return pending;
}

/* Returns once every DPC queued before the call has run. */
VOID NTAPI FixtureKeFlushQueuedDpcs(VOID)
{
    LARGE_INTEGER tick;
    tick.QuadPart = -10000; /* 1 ms */
    while (DpcsPending() != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
    }
}

/* ---- timers -------------------------------------------------------------------------------- */

VOID NTAPI FixtureKeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimer(Timer); /* Wine's, for a timer that is waited for */
}

BOOLEAN NTAPI FixtureKeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    if (Dpc == NULL && Timer->Processor != FIXTURE_TIMER) {
        return KeSetTimer(Timer, DueTime, NULL);
    }
    ULONGLONG relative = DueTime.QuadPart < 0 ? (ULONGLONG)(-DueTime.QuadPart) * 100 : 0;
    ULONGLONG due = FixtureNs() + relative;
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet) {
        RemoveEntryList(&Timer->TimerListEntry);
    }
    Timer->Processor = FIXTURE_TIMER;
    Timer->Header.Inserted = TRUE;
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = due;
    Timer->Dpc = Dpc;
    InsertTailList(&Timers, &Timer->TimerListEntry);
    KeReleaseSpinLock(&QueueLock, old);
    BoardKick();
    return wasSet;
}

BOOLEAN NTAPI FixtureKeCancelTimer(PKTIMER Timer)
{
    if (Timer->Processor != FIXTURE_TIMER) {
        return KeCancelTimer(Timer);
    }
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    BOOLEAN wasSet = Timer->Header.Inserted;
    if (wasSet) {
        RemoveEntryList(&Timer->TimerListEntry);
        Timer->Header.Inserted = FALSE;
    }
    KeReleaseSpinLock(&QueueLock, old);
    return wasSet;
}

ULONGLONG TimersExpire(ULONGLONG Now)
{
    ULONGLONG next = ~0ull;
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    for (PLIST_ENTRY e = Timers.Flink; e != &Timers;) {
        PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
        e = e->Flink;
        if (timer->DueTime.QuadPart > Now) {
            next = timer->DueTime.QuadPart < next ? timer->DueTime.QuadPart : next;
            continue;
        }
        RemoveEntryList(&timer->TimerListEntry);
        timer->Header.Inserted = FALSE;
        timer->Header.SignalState = 1;
        PRKDPC dpc = timer->Dpc;
        if (dpc != NULL && dpc->DpcData == NULL) {
            dpc->DpcData = QUEUED_MARK;
            dpc->SystemArgument1 = NULL;
            dpc->SystemArgument2 = NULL;
            InsertTailList(&Queue, &dpc->DpcListEntry);
            Record.DpcsQueued++;
        }
    }
    KeReleaseSpinLock(&QueueLock, old);
    return next;
}

ULONG TimersSet(VOID)
{
    ULONG set = 0;
    KIRQL old;
    KeAcquireSpinLock(&QueueLock, &old);
    for (PLIST_ENTRY e = Timers.Flink; e != &Timers; e = e->Flink) {
        ++set;
    }
    KeReleaseSpinLock(&QueueLock, old);
    return set;
}
