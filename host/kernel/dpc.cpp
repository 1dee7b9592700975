// Deferred procedure calls: one processor's DPC queue and the thread that drains it. A DPC is
// queued from any IRQL (an interrupt service routine queues one to finish its work outside the
// interrupt) and runs once, at DISPATCH_LEVEL, in queue order; a high-importance DPC goes to the
// head of the queue. A DPC leaves the queue before its routine runs, so the routine may queue it
// again.
//
// The verifier knows every DPC that was initialised, by address, until the memory holding it is
// freed: a DPC used before KeInitializeDpc, a queued DPC in memory that is freed or still queued
// at the end of the test, and a routine that returns at another IRQL or holding a spin lock are
// reported.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace hk {
namespace {

constexpr UCHAR DpcObject = 0x13; // the kernel's object type of a DPC, in KDPC.Type

// Never destroyed: the DPC thread may still wait on it while the process exits.
struct DpcState {
    std::mutex Lock;
    std::condition_variable Work; // the queue got a DPC
    std::condition_variable Idle; // a DPC finished or left the queue
    std::deque<PKDPC> Queue;
    std::deque<PKDPC> Held; // queued by a timer while HoldTimers: waiting on another processor
    bool HoldTimers = false;
    std::function<void()> StartHook; // HkSetDpcStartHook: once, before the next DPC's routine
    size_t FlushWaiters = 0;         // threads inside KeFlushQueuedDpcs
    std::unordered_map<const KDPC*, uint64_t> Sequence; // of each queued DPC: order of insertion
    std::unordered_set<const KDPC*> Initialised;
    uint64_t NextSequence = 1;
    bool Running = false;
    uint64_t RunningSequence = 0;
    std::thread::id Thread;
    bool ThreadStarted = false;
};

DpcState& D()
{
    static DpcState* state = new DpcState;
    return *state;
}

// Marks a queued DPC, as the kernel's DpcData does (the processor's DPC data while queued).
char QueuedMarkByte;
void* const QueuedMark = &QueuedMarkByte;

void RunOne(PKDEFERRED_ROUTINE routine, PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    ThreadState& thread = CurrentThread();
    thread.Irql = DISPATCH_LEVEL;
    int spinLocksBefore = thread.SpinLocksHeld;
    routine(dpc, context, argument1, argument2);
    if (thread.Irql != DISPATCH_LEVEL) {
        Report("DPC routine %p (DPC %p) returned at IRQL %d; it runs at DISPATCH_LEVEL",
               reinterpret_cast<void*>(routine), static_cast<void*>(dpc), thread.Irql);
        thread.Irql = DISPATCH_LEVEL;
    }
    if (thread.SpinLocksHeld > spinLocksBefore) {
        Report("DPC routine %p (DPC %p) returned holding a spin lock",
               reinterpret_cast<void*>(routine), static_cast<void*>(dpc));
    }
}

void DpcThread()
{
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    for (;;) {
        d.Work.wait(guard, [&] { return !d.Queue.empty(); });
        PKDPC dpc = d.Queue.front();
        d.Queue.pop_front();
        d.Running = true;
        d.RunningSequence = d.Sequence[dpc];
        d.Sequence.erase(dpc);
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        dpc->DpcData = nullptr;
        std::function<void()> hook;
        hook.swap(d.StartHook);
        guard.unlock();
        if (hook) {
            hook(); // the DPC has left the queue and not yet begun: another processor's moment
        }
        RunOne(routine, dpc, context, argument1, argument2);
        guard.lock();
        d.Running = false;
        d.Idle.notify_all();
    }
}

// Under D().Lock.
void StartThreadLocked()
{
    DpcState& d = D();
    if (!d.ThreadStarted) {
        d.ThreadStarted = true;
        std::thread thread(DpcThread);
        d.Thread = thread.get_id();
        thread.detach();
    }
}

// Under D().Lock.
bool InsertLocked(PKDPC dpc, PVOID argument1, PVOID argument2, bool held = false)
{
    DpcState& d = D();
    if (d.Sequence.count(dpc) != 0) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = QueuedMark;
    d.Sequence[dpc] = d.NextSequence++;
    if (held) {
        d.Held.push_back(dpc);
        return true;
    }
    if (dpc->Importance == HighImportance) {
        d.Queue.push_front(dpc);
    } else {
        d.Queue.push_back(dpc);
    }
    StartThreadLocked();
    d.Work.notify_one();
    return true;
}

// Under D().Lock.
bool RemoveLocked(const KDPC* dpc)
{
    DpcState& d = D();
    if (d.Sequence.erase(dpc) == 0) {
        return false;
    }
    for (std::deque<PKDPC>* queue : {&d.Queue, &d.Held}) {
        for (auto it = queue->begin(); it != queue->end(); ++it) {
            if (*it == dpc) {
                (*it)->DpcData = nullptr;
                queue->erase(it);
                break;
            }
        }
    }
    d.Idle.notify_all();
    return true;
}

// Waits (under guard) until done() holds, up to the hang limit; reports a wait that does not end.
template <typename Done>
void WaitLimited(std::unique_lock<std::mutex>& guard, const char* what, Done done)
{
    if (!D().Idle.wait_for(guard, std::chrono::milliseconds(WaitLimitMilliseconds()), done)) {
        guard.unlock();
        Report("%s has not returned after %u ms: a DPC routine does not return or DPCs keep "
               "being queued",
               what, WaitLimitMilliseconds());
        guard.lock();
    }
}

} // namespace

bool QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return InsertLocked(dpc, argument1, argument2);
}

bool QueueTimerDpc(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return InsertLocked(dpc, argument1, argument2, D().HoldTimers);
}

bool DpcInitialised(const KDPC* dpc)
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().Initialised.count(dpc) != 0;
}

bool OnDpcThread()
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().ThreadStarted && D().Thread == std::this_thread::get_id();
}

void ResetDpcs()
{
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    for (PKDPC dpc : d.Queue) {
        dpc->DpcData = nullptr;
    }
    for (PKDPC dpc : d.Held) {
        dpc->DpcData = nullptr;
    }
    d.Queue.clear();
    d.Held.clear();
    d.HoldTimers = false;
    d.StartHook = nullptr;
    d.Sequence.clear();
    d.Initialised.clear();
    WaitLimited(guard, "HkReset's wait for the running DPC", [&] { return !d.Running; });
}

void CheckCleanDpcs(bool& clean)
{
    std::vector<std::pair<const KDPC*, PKDEFERRED_ROUTINE>> queued;
    {
        std::lock_guard<std::mutex> guard(D().Lock);
        for (const std::deque<PKDPC>* queue : {&D().Queue, &D().Held}) {
            for (PKDPC dpc : *queue) {
                queued.emplace_back(dpc, dpc->DeferredRoutine);
            }
        }
    }
    for (const auto& entry : queued) {
        Report("DPC %p (routine %p) is still queued at the end of the test",
               static_cast<const void*>(entry.first), reinterpret_cast<void*>(entry.second));
        clean = false;
    }
}

void DpcsFreed(const void* p, size_t size, const char* what)
{
    const char* start = static_cast<const char*>(p);
    std::vector<const KDPC*> found;
    {
        DpcState& d = D();
        std::lock_guard<std::mutex> guard(d.Lock);
        for (auto it = d.Initialised.begin(); it != d.Initialised.end();) {
            const char* at = reinterpret_cast<const char*>(*it);
            if (at >= start && at < start + size) {
                if (RemoveLocked(*it)) {
                    found.push_back(*it);
                }
                it = d.Initialised.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const KDPC* dpc : found) {
        Report("%s at %p freed while the DPC at %p inside it is queued", what, p,
               static_cast<const void*>(dpc));
    }
}

} // namespace hk

using namespace hk;

extern "C" VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                PVOID DeferredContext)
{
    DpcState& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    if (d.Sequence.count(Dpc) != 0) {
        Report("KeInitializeDpc(%p) while the DPC is queued", static_cast<void*>(Dpc));
        RemoveLocked(Dpc);
    }
    Dpc->Type = DpcObject;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    InitializeListHead(&Dpc->DpcListEntry);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
    d.Initialised.insert(Dpc);
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    if (d.Initialised.count(Dpc) == 0 || Dpc->Type != DpcObject) {
        guard.unlock();
        Report("KeInsertQueueDpc(%p): the DPC was never initialised (KeInitializeDpc)",
               static_cast<void*>(Dpc));
        return FALSE;
    }
    return InsertLocked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
{
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    if (d.Initialised.count(Dpc) == 0) {
        guard.unlock();
        Report("KeRemoveQueueDpc(%p): the DPC was never initialised (KeInitializeDpc)",
               static_cast<void*>(Dpc));
        return FALSE;
    }
    return RemoveLocked(Dpc) ? TRUE : FALSE;
}

extern "C" VOID KeFlushQueuedDpcs(void)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL) {
        Report("KeFlushQueuedDpcs at IRQL %d", CurrentThread().Irql);
        return;
    }
    if (OnDpcThread()) {
        Report("KeFlushQueuedDpcs from a DPC routine");
        return;
    }
    // Every DPC queued before the call has run when it returns; ones queued since may not have.
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    uint64_t ticket = d.NextSequence;
    d.FlushWaiters++;
    WaitLimited(guard, "KeFlushQueuedDpcs", [&] {
        if (d.Running && d.RunningSequence < ticket) {
            return false;
        }
        for (const auto& entry : d.Sequence) {
            if (entry.second < ticket) {
                return false;
            }
        }
        return true;
    });
    d.FlushWaiters--;
}

extern "C" VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance)
{
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

extern "C" VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number)
{
    // One DPC queue stands for every processor's.
    Dpc->Number = static_cast<USHORT>(Number);
}

void HkSetDpcStartHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(D().Lock);
    D().StartHook = std::move(hook);
}

size_t HkFlushWaiters()
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().FlushWaiters;
}

void HkHoldTimerDpcs(bool hold)
{
    std::lock_guard<std::mutex> guard(D().Lock);
    D().HoldTimers = hold;
}

size_t HkHeldDpcs()
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().Held.size();
}

void HkReleaseHeldDpcs()
{
    DpcState& d = D();
    std::lock_guard<std::mutex> guard(d.Lock);
    for (PKDPC dpc : d.Held) {
        d.Queue.push_back(dpc);
    }
    d.Held.clear();
    if (!d.Queue.empty()) {
        StartThreadLocked();
        d.Work.notify_one();
    }
}

size_t HkQueuedDpcs()
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().Queue.size();
}

bool HkDpcsIdle()
{
    std::lock_guard<std::mutex> guard(D().Lock);
    return D().Queue.empty() && !D().Running;
}

void HkWaitDpcsIdle()
{
    if (OnDpcThread()) {
        Report("HkWaitDpcsIdle called from a DPC routine");
        return;
    }
    DpcState& d = D();
    std::unique_lock<std::mutex> guard(d.Lock);
    WaitLimited(guard, "HkWaitDpcsIdle", [&] { return d.Queue.empty() && !d.Running; });
}
