// Dispatcher objects (events, mutexes, and the waiting side of timers), spin locks and the
// per-thread IRQL. The objects keep the DDK layout (the driver embeds a KMUTEX in its extension and
// puts KEVENTs on its stack), so their state lives in the DISPATCHER_HEADER fields; one lock and
// one condition variable serve every wait, which is plenty for a test kernel.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace hk {
namespace {

constexpr UCHAR NotificationEventType = 0;
constexpr UCHAR SynchronizationEventType = 1;
constexpr UCHAR MutantType = 2;

std::mutex DispatcherLock;
std::condition_variable DispatcherSignal;
std::unordered_map<const KMUTEX*, PKTHREAD> HeldMutexes;

const char* ObjectKind(const DISPATCHER_HEADER* header)
{
    switch (header->Type) {
    case NotificationEventType:
        return "notification event";
    case SynchronizationEventType:
        return "synchronization event";
    case MutantType:
        return "mutex";
    case TimerNotificationType:
        return "notification timer";
    case TimerSynchronizationType:
        return "synchronization timer";
    default:
        return "object";
    }
}

// True when the object can be taken by the current thread (checked under DispatcherLock).
bool Available(const DISPATCHER_HEADER* header, PKTHREAD me)
{
    if (header->Type == MutantType) {
        const KMUTEX* mutex = reinterpret_cast<const KMUTEX*>(header);
        return header->SignalState > 0 || mutex->OwnerThread == me;
    }
    return header->SignalState > 0;
}

void Take(DISPATCHER_HEADER* header, PKTHREAD me)
{
    if (header->Type == MutantType) {
        KMUTEX* mutex = reinterpret_cast<KMUTEX*>(header);
        if (mutex->OwnerThread != me) {
            mutex->OwnerThread = me;
            HeldMutexes[mutex] = me;
        }
        header->SignalState = header->SignalState - 1;
        ++CurrentThread().OwnedMutexes;
    } else if (header->Type == SynchronizationEventType ||
               header->Type == TimerSynchronizationType) {
        header->SignalState = 0; // a satisfied wait consumes the signal
    }
}

// Relative interval in 100 ns units for a Windows time-out (negative: relative, positive:
// absolute system time).
LONGLONG RelativeTicks(const LARGE_INTEGER* timeout)
{
    if (timeout->QuadPart <= 0) {
        return -timeout->QuadPart;
    }
    LONGLONG remaining = timeout->QuadPart - SystemTime();
    return remaining > 0 ? remaining : 0;
}

void HangDetected(const char* what, const void* object)
{
    Report("a wait on %s %p has not ended after %u ms: the system is hung (deadlock or a "
           "missing signal)",
           what, object, WaitLimitMilliseconds());
    fprintf(stderr, "kernel stand-in: aborting on a hung wait\n");
    fflush(stderr);
    std::abort();
}

} // namespace

void CheckNoHeldMutexIn(const void* p, size_t size, const char* what)
{
    std::vector<std::pair<const KMUTEX*, PKTHREAD>> found;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock);
        const char* start = static_cast<const char*>(p);
        for (const auto& entry : HeldMutexes) {
            const char* m = reinterpret_cast<const char*>(entry.first);
            if (m >= start && m < start + size) {
                found.push_back(entry);
            }
        }
        for (const auto& entry : found) {
            HeldMutexes.erase(entry.first);
        }
    }
    for (const auto& entry : found) {
        Report("%s at %p freed while the mutex at %p inside it is held (by thread %p)", what, p,
               static_cast<const void*>(entry.first), static_cast<void*>(entry.second));
    }
}

void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR sizeInLongs)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    header->Type = type;
    header->Signalling = 0;
    header->Size = sizeInLongs;
    header->Reserved1 = 0;
    header->SignalState = 0;
    InitializeListHead(&header->WaitListHead);
}

void SetSignalState(DISPATCHER_HEADER* header, LONG state)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    header->SignalState = state;
    if (state > 0) {
        DispatcherSignal.notify_all();
    }
}

LONG ReadSignalState(DISPATCHER_HEADER* header)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    return header->SignalState;
}

void ResetDispatcher()
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    HeldMutexes.clear();
}

void CheckCleanDispatcher(bool& clean)
{
    std::vector<std::pair<const KMUTEX*, PKTHREAD>> held;
    {
        std::lock_guard<std::mutex> guard(DispatcherLock);
        held.assign(HeldMutexes.begin(), HeldMutexes.end());
    }
    for (const auto& entry : held) {
        Report("mutex %p is still held by thread %p at the end of the test",
               static_cast<const void*>(entry.first), static_cast<void*>(entry.second));
        clean = false;
    }
}

} // namespace hk

using namespace hk;

// ---------------------------------------------------------------------------------------------
// IRQL and threads

extern "C" KIRQL KeGetCurrentIrql(void)
{
    return CurrentThread().Irql;
}

extern "C" KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    ThreadState& thread = CurrentThread();
    KIRQL old = thread.Irql;
    if (NewIrql < old) {
        Report("KeRaiseIrql to %d below the current IRQL %d", NewIrql, old);
    }
    thread.Irql = NewIrql;
    return old;
}

extern "C" VOID KfLowerIrql(KIRQL NewIrql)
{
    ThreadState& thread = CurrentThread();
    if (NewIrql > thread.Irql) {
        Report("KeLowerIrql to %d above the current IRQL %d", NewIrql, thread.Irql);
    }
    thread.Irql = NewIrql;
    DeliverDeferredInterrupts();
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

extern "C" PKTHREAD KeGetCurrentThread(void)
{
    return reinterpret_cast<PKTHREAD>(&CurrentThread().Identity);
}

extern "C" VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < end) {
    }
}

extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
{
    CheckIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
    std::this_thread::sleep_for(std::chrono::nanoseconds(RelativeTicks(Interval) * 100));
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Events

extern "C" VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    Event->Header.Type =
        Type == NotificationEvent ? NotificationEventType : SynchronizationEventType;
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    std::lock_guard<std::mutex> guard(DispatcherLock);
    if (Event->Header.Size == 0) {
        Report("KeSetEvent on an event %p that was never initialised", static_cast<void*>(Event));
    }
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    DispatcherSignal.notify_all();
    return previous;
}

extern "C" VOID KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    Event->Header.SignalState = 0;
}

extern "C" LONG KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

extern "C" LONG KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    return Event->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Mutexes. SignalState is 1 while free, 0 when owned once and negative when the owner has taken it
// recursively, as in the kernel.

extern "C" VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG)
{
    OrderForget(Mutex, sizeof(*Mutex));
    std::lock_guard<std::mutex> guard(DispatcherLock);
    if (HeldMutexes.count(Mutex)) {
        Report("KeInitializeMutex on mutex %p while it is held", static_cast<void*>(Mutex));
        HeldMutexes.erase(Mutex);
    }
    Mutex->Header.Type = MutantType;
    Mutex->Header.Signalling = 0;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.Reserved1 = 0;
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    InitializeListHead(&Mutex->MutantListEntry);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql > DISPATCH_LEVEL) {
        Report("KeReleaseMutex at IRQL %d", thread.Irql);
    }
    PKTHREAD me = KeGetCurrentThread();
    std::unique_lock<std::mutex> guard(DispatcherLock);
    if (Mutex->Header.Size == 0 || Mutex->Header.Type != MutantType) {
        guard.unlock();
        Report("KeReleaseMutex on %p, which is not an initialised mutex",
               static_cast<void*>(Mutex));
        return 0;
    }
    if (Mutex->OwnerThread != me) {
        PKTHREAD owner = Mutex->OwnerThread;
        guard.unlock();
        if (owner == nullptr) {
            Report("KeReleaseMutex on mutex %p, which is not held", static_cast<void*>(Mutex));
        } else {
            Report("KeReleaseMutex on mutex %p by thread %p, which does not own it (owner %p)",
                   static_cast<void*>(Mutex), static_cast<void*>(me), static_cast<void*>(owner));
        }
        return 0;
    }
    LONG previous = Mutex->Header.SignalState;
    Mutex->Header.SignalState = previous + 1;
    --thread.OwnedMutexes;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        HeldMutexes.erase(Mutex);
        DispatcherSignal.notify_all();
    }
    guard.unlock();
    OrderReleased(Mutex);
    return previous;
}

extern "C" LONG KeReadStateMutex(PRKMUTEX Mutex)
{
    std::lock_guard<std::mutex> guard(DispatcherLock);
    return Mutex->Header.SignalState;
}

// ---------------------------------------------------------------------------------------------
// Waiting

namespace {

NTSTATUS WaitForObject(PVOID Object, PLARGE_INTEGER Timeout)
{
    ThreadState& thread = CurrentThread();
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if ((!poll && thread.Irql >= DISPATCH_LEVEL) || thread.Irql > DISPATCH_LEVEL) {
        Report("KeWaitForSingleObject on %p %s at IRQL %d", Object,
               poll ? "(zero time-out)" : "with a time-out that is not zero", thread.Irql);
    }
    DISPATCHER_HEADER* header = static_cast<DISPATCHER_HEADER*>(Object);
    PKTHREAD me = KeGetCurrentThread();
    // The time-out is reckoned before the dispatcher lock is taken: the clock's own lock is taken
    // before the dispatcher lock when a timer expires.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::nanoseconds(Timeout != nullptr ? RelativeTicks(Timeout) * 100 : 0);
    std::unique_lock<std::mutex> guard(DispatcherLock);
    if (header->Size == 0) {
        guard.unlock();
        Report("KeWaitForSingleObject on %p, which was never initialised", Object);
        return STATUS_SUCCESS;
    }
    if (Available(header, me)) {
        Take(header, me);
        return STATUS_SUCCESS;
    }
    if (poll) {
        return STATUS_TIMEOUT;
    }
    if (Timeout != nullptr) {
        if (!DispatcherSignal.wait_until(guard, deadline, [&] { return Available(header, me); })) {
            return STATUS_TIMEOUT;
        }
        Take(header, me);
        return STATUS_SUCCESS;
    }
    auto limit = std::chrono::milliseconds(WaitLimitMilliseconds());
    if (!DispatcherSignal.wait_for(guard, limit, [&] { return Available(header, me); })) {
        const char* kind = ObjectKind(header);
        guard.unlock();
        HangDetected(kind, Object);
    }
    Take(header, me);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                          PLARGE_INTEGER Timeout)
{
    // A mutex joins the lock-order graph; only a wait without a time-out can deadlock.
    bool mutex = static_cast<DISPATCHER_HEADER*>(Object)->Type == MutantType &&
                 static_cast<DISPATCHER_HEADER*>(Object)->Size != 0;
    if (mutex) {
        OrderBeforeAcquire(Object, "mutex", Timeout == nullptr);
    }
    NTSTATUS status = WaitForObject(Object, Timeout);
    if (mutex && status == STATUS_SUCCESS) {
        OrderAcquired(Object);
    }
    return status;
}

// ---------------------------------------------------------------------------------------------
// Spin locks. The lock word holds the owning thread while taken, so a recursive acquisition (a
// certain deadlock on Windows) is recognised.
//
// The lock is not fair on purpose. KeAcquireSpinLock and interrupt spin locks on x64 are plain
// test-and-set locks; only the in-stack queued spin locks are FIFO, and corcard uses none. A FIFO
// lock here would promise the driver an order of waiters that Windows does not give, and on a
// host whose threads are preempted (a loaded machine) a ticket lock convoys: every waiter queued
// behind a descheduled one waits a whole time slice, which makes waits long enough to look like
// hangs. Starvation that unfairness could cause is still caught by the hang detection below.

namespace hk {

void AcquireSpin(PKSPIN_LOCK SpinLock, const char* kind)
{
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == me) {
        Report("spin lock %p acquired again by the thread that holds it: deadlock",
               static_cast<void*>(SpinLock));
        fprintf(stderr, "kernel stand-in: aborting on a recursive spin lock\n");
        std::abort();
    }
    OrderBeforeAcquire(SpinLock, kind, true);
    auto start = std::chrono::steady_clock::now();
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
        if (std::chrono::steady_clock::now() - start >
            std::chrono::milliseconds(WaitLimitMilliseconds())) {
            HangDetected(kind, SpinLock);
        }
    }
    OrderAcquired(SpinLock);
    ++CurrentThread().SpinLocksHeld;
}

void ReleaseSpin(PKSPIN_LOCK SpinLock)
{
    ULONG_PTR me = reinterpret_cast<ULONG_PTR>(KeGetCurrentThread());
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != me) {
        Report("spin lock %p released by a thread that does not hold it",
               static_cast<void*>(SpinLock));
        return;
    }
    --CurrentThread().SpinLocksHeld;
    OrderReleased(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

} // namespace hk

extern "C" VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    OrderForget(SpinLock, sizeof(*SpinLock));
    *SpinLock = 0;
}

namespace {
thread_local std::function<void()> PreemptionHook;
thread_local bool InPreemptionHook = false;
} // namespace

void HkSetPreemptionHook(std::function<void()> hook)
{
    PreemptionHook = std::move(hook);
}

namespace {
thread_local std::function<void()> SynchronizeHook;
thread_local bool InSynchronizeHook = false;
} // namespace

void HkSetSynchronizeHook(std::function<void()> hook)
{
    SynchronizeHook = std::move(hook);
}

namespace hk {

void RunSynchronizeHook()
{
    if (SynchronizeHook && !InSynchronizeHook) {
        InSynchronizeHook = true;
        SynchronizeHook();
        InSynchronizeHook = false;
    }
}

} // namespace hk

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
    KIRQL old = CurrentThread().Irql;
    if (old == PASSIVE_LEVEL && PreemptionHook && !InPreemptionHook) {
        InPreemptionHook = true;
        PreemptionHook();
        InPreemptionHook = false;
    }
    CurrentThread().Irql = DISPATCH_LEVEL > old ? DISPATCH_LEVEL : old;
    AcquireSpin(SpinLock);
    return old;
}

extern "C" VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseSpin(SpinLock);
    KfLowerIrql(NewIrql);
}

extern "C" VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    if (CurrentThread().Irql < DISPATCH_LEVEL) {
        Report("KeAcquireSpinLockAtDpcLevel at IRQL %d", CurrentThread().Irql);
    }
    AcquireSpin(SpinLock);
}

extern "C" VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseSpin(SpinLock);
}
