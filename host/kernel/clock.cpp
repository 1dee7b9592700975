// Time: the virtual clock, the kernel's time queries and timers.
//
// One clock in 100 ns units counts from 0 at HkReset. Free-running (the default), it follows the
// host's steady clock and a clock thread expires timers as their due times pass, as the clock
// interrupt does. Driven (HkSetClockDriven), it stands still until HkAdvanceClock moves it, and
// the timers that fall due on the way expire on the caller's thread one by one, each with the
// clock standing at its due time and its DPC run to the end before the next: the simulated
// hardware and the driver's timers then keep their order however slowly the host runs.
//
// A timer is a dispatcher object (the waiting side lives in dispatcher.cpp); its set state lives
// here, in a table ordered by due time, so that the KTIMER fields keep the DDK's meaning and a
// freed timer can be recognised without reading its memory.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace hk {
namespace {

constexpr LONGLONG TicksPerSecond = 10000000;              // 100 ns units
constexpr LONGLONG EpochDifferenceSeconds = 11644473600LL; // 1601-01-01 to 1970-01-01
constexpr ULONG TimeIncrement = 156250;                    // 15.625 ms, the usual x64 clock tick
constexpr LONGLONG TicksPerMillisecond = 10000;

LONGLONG WallSystemTime()
{
    auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    return since1970 / 100 + EpochDifferenceSeconds * TicksPerSecond;
}

struct TimerRecord {
    LONGLONG Due;
    uint64_t Order; // setting order: timers due at the same time expire in the order they were set
    LONG Period;    // milliseconds, 0 for a one-shot timer
    PKDPC Dpc;
};

// Never destroyed: the clock thread may still wait on it while the process exits.
struct ClockState {
    std::mutex Lock;
    std::condition_variable Changed; // wakes the clock thread
    bool Driven = false;
    LONGLONG Base = 0; // the clock at Anchor (free-running) or now (driven)
    std::chrono::steady_clock::time_point Anchor = std::chrono::steady_clock::now();
    LONGLONG WallAtReset = WallSystemTime();
    std::unordered_map<const KTIMER*, TimerRecord> Timers;                   // set timers
    std::set<std::pair<std::pair<LONGLONG, uint64_t>, const KTIMER*>> Queue; // by (due, order)
    std::unordered_map<const KTIMER*, TIMER_TYPE> Initialised;
    uint64_t NextOrder = 0;
    bool ThreadStarted = false;
};

ClockState& C()
{
    static ClockState* state = new ClockState;
    return *state;
}

// Under C().Lock.
LONGLONG NowLocked()
{
    ClockState& c = C();
    if (c.Driven) {
        return c.Base;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - c.Anchor)
                       .count();
    return c.Base + elapsed / 100;
}

// Under C().Lock: moves the clock to `time` (never backwards).
void SetNowLocked(LONGLONG time)
{
    ClockState& c = C();
    LONGLONG now = NowLocked();
    if (time > now) {
        c.Base += time - now;
    }
}

void UnsetLocked(const KTIMER* timer)
{
    ClockState& c = C();
    auto it = c.Timers.find(timer);
    if (it != c.Timers.end()) {
        c.Queue.erase({{it->second.Due, it->second.Order}, timer});
        c.Timers.erase(it);
    }
}

void InsertLocked(PKTIMER timer, LONGLONG due, LONG period, PKDPC dpc)
{
    ClockState& c = C();
    TimerRecord record{due, c.NextOrder++, period, dpc};
    c.Timers[timer] = record;
    c.Queue.insert({{due, record.Order}, timer});
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Period = static_cast<ULONG>(period);
    timer->Dpc = dpc;
    c.Changed.notify_all();
}

// Under C().Lock: the timer's due time has come. It is signalled (a notification timer stays
// signalled until set again; a synchronization timer until a wait takes it), a periodic timer is
// set again one period on, and the DPC is queued with the system time as its arguments.
void ExpireLocked(PKTIMER timer)
{
    ClockState& c = C();
    auto it = c.Timers.find(timer);
    if (it == c.Timers.end()) {
        return;
    }
    TimerRecord record = it->second;
    UnsetLocked(timer);
    if (record.Period > 0) {
        InsertLocked(timer, NowLocked() + record.Period * TicksPerMillisecond, record.Period,
                     record.Dpc);
    }
    SetSignalState(&timer->Header, 1);
    if (record.Dpc != nullptr) {
        LARGE_INTEGER system;
        system.QuadPart = c.WallAtReset + NowLocked();
        QueueTimerDpc(
            record.Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(system.LowPart)),
            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(system.HighPart))));
    }
}

// The clock interrupt of a free-running clock: sleeps until the earliest due time, expires what
// is due. A driven clock leaves expiry to HkAdvanceClock.
void ClockThread()
{
    ClockState& c = C();
    std::unique_lock<std::mutex> guard(c.Lock);
    for (;;) {
        if (c.Driven || c.Queue.empty()) {
            c.Changed.wait(guard);
            continue;
        }
        LONGLONG due = c.Queue.begin()->first.first;
        LONGLONG now = NowLocked();
        if (due > now) {
            c.Changed.wait_until(guard, c.Anchor + std::chrono::nanoseconds((due - c.Base) * 100));
            continue;
        }
        ExpireLocked(const_cast<PKTIMER>(c.Queue.begin()->second));
    }
}

void StartClockThreadLocked()
{
    ClockState& c = C();
    if (!c.ThreadStarted) {
        c.ThreadStarted = true;
        std::thread(ClockThread).detach();
    }
}

bool CheckInitialised(const KTIMER* timer, const char* routine)
{
    ClockState& c = C();
    if (c.Initialised.count(timer) == 0) {
        Report("%s(%p): the timer was never initialised (KeInitializeTimer)", routine,
               static_cast<const void*>(timer));
        return false;
    }
    return true;
}

// Due time of KeSetTimer: negative is relative to now, positive an absolute system time.
LONGLONG DueFrom(LARGE_INTEGER dueTime)
{
    ClockState& c = C();
    LONGLONG now = NowLocked();
    if (dueTime.QuadPart <= 0) {
        return now - dueTime.QuadPart;
    }
    return dueTime.QuadPart - c.WallAtReset;
}

} // namespace

LONGLONG ClockNow()
{
    std::lock_guard<std::mutex> guard(C().Lock);
    return NowLocked();
}

LONGLONG SystemTime()
{
    std::lock_guard<std::mutex> guard(C().Lock);
    return C().WallAtReset + NowLocked();
}

void ResetClock()
{
    ClockState& c = C();
    std::lock_guard<std::mutex> guard(c.Lock);
    c.Timers.clear();
    c.Queue.clear();
    c.Initialised.clear();
    c.Driven = false;
    c.Base = 0;
    c.Anchor = std::chrono::steady_clock::now();
    c.WallAtReset = WallSystemTime();
    StartClockThreadLocked();
    c.Changed.notify_all();
}

void CheckCleanClock(bool& clean)
{
    std::vector<std::pair<const KTIMER*, TimerRecord>> set;
    {
        std::lock_guard<std::mutex> guard(C().Lock);
        set.assign(C().Timers.begin(), C().Timers.end());
    }
    for (const auto& entry : set) {
        Report("timer %p is still set at the end of the test (due at %lld, period %d ms)",
               static_cast<const void*>(entry.first), static_cast<long long>(entry.second.Due),
               entry.second.Period);
        clean = false;
    }
}

void TimersFreed(const void* p, size_t size, const char* what)
{
    const char* start = static_cast<const char*>(p);
    std::vector<const KTIMER*> found;
    std::vector<std::pair<const KTIMER*, const KDPC*>> dpcs;
    {
        ClockState& c = C();
        std::lock_guard<std::mutex> guard(c.Lock);
        // A set timer elsewhere whose DPC lives in the memory would queue freed memory.
        for (auto& entry : c.Timers) {
            const char* at = reinterpret_cast<const char*>(entry.second.Dpc);
            if (entry.second.Dpc != nullptr && at >= start && at < start + size) {
                dpcs.emplace_back(entry.first, entry.second.Dpc);
                entry.second.Dpc = nullptr;
            }
        }
        for (auto it = c.Initialised.begin(); it != c.Initialised.end();) {
            const char* t = reinterpret_cast<const char*>(it->first);
            if (t >= start && t < start + size) {
                if (c.Timers.count(it->first) != 0) {
                    found.push_back(it->first);
                    UnsetLocked(it->first);
                }
                it = c.Initialised.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const KTIMER* timer : found) {
        Report("%s at %p freed while the timer at %p inside it is set", what, p,
               static_cast<const void*>(timer));
    }
    for (const auto& entry : dpcs) {
        Report("%s at %p freed while timer %p is set to queue the DPC at %p inside it", what, p,
               static_cast<const void*>(entry.first), static_cast<const void*>(entry.second));
    }
}

} // namespace hk

using namespace hk;

// ---------------------------------------------------------------------------------------------
// Time queries

extern "C" VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTime();
}

extern "C" ULONGLONG KeQueryInterruptTime(void)
{
    return static_cast<ULONGLONG>(ClockNow());
}

extern "C" VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = ClockNow() / TimeIncrement;
}

extern "C" ULONG KeQueryTimeIncrement(void)
{
    return TimeIncrement;
}

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr) {
        PerformanceFrequency->QuadPart = TicksPerSecond;
    }
    LARGE_INTEGER counter;
    counter.QuadPart = ClockNow();
    return counter;
}

// ---------------------------------------------------------------------------------------------
// Timers

extern "C" VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimerEx");
    ClockState& c = C();
    std::lock_guard<std::mutex> guard(c.Lock);
    if (c.Timers.count(Timer) != 0) {
        Report("KeInitializeTimer(%p) while the timer is set", static_cast<void*>(Timer));
        UnsetLocked(Timer);
    }
    InitializeDispatcherHeader(&Timer->Header,
                               Type == NotificationTimer ? TimerNotificationType
                                                         : TimerSynchronizationType,
                               static_cast<UCHAR>(sizeof(KTIMER) / sizeof(LONG)));
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    c.Initialised[Timer] = Type;
}

extern "C" VOID KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

extern "C" BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    if (Period < 0) {
        Report("KeSetTimerEx(%p) with a negative period %d", static_cast<void*>(Timer), Period);
        Period = 0;
    }
    if (Dpc != nullptr && !DpcInitialised(Dpc)) {
        Report("KeSetTimer(%p) with DPC %p, which was never initialised (KeInitializeDpc)",
               static_cast<void*>(Timer), static_cast<void*>(Dpc));
        Dpc = nullptr;
    }
    ClockState& c = C();
    std::lock_guard<std::mutex> guard(c.Lock);
    if (!CheckInitialised(Timer, "KeSetTimer")) {
        return FALSE;
    }
    BOOLEAN wasSet = c.Timers.count(Timer) != 0 ? TRUE : FALSE;
    UnsetLocked(Timer);
    SetSignalState(&Timer->Header, 0);
    LONGLONG due = DueFrom(DueTime);
    InsertLocked(Timer, due, Period, Dpc);
    // A due time already past expires at once, as the kernel does when it finds the timer
    // expired on insertion.
    if (due <= NowLocked()) {
        ExpireLocked(Timer);
    }
    return wasSet;
}

extern "C" BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER Timer)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    ClockState& c = C();
    std::lock_guard<std::mutex> guard(c.Lock);
    if (!CheckInitialised(Timer, "KeCancelTimer")) {
        return FALSE;
    }
    BOOLEAN wasSet = c.Timers.count(Timer) != 0 ? TRUE : FALSE;
    UnsetLocked(Timer);
    return wasSet;
}

extern "C" BOOLEAN KeReadStateTimer(PKTIMER Timer)
{
    {
        std::lock_guard<std::mutex> guard(C().Lock);
        if (!CheckInitialised(Timer, "KeReadStateTimer")) {
            return FALSE;
        }
    }
    return ReadSignalState(&Timer->Header) > 0 ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------------------------
// Test side

LONGLONG HkNow()
{
    return ClockNow();
}

void HkSetClockDriven(bool driven)
{
    ClockState& c = C();
    std::lock_guard<std::mutex> guard(c.Lock);
    if (driven == c.Driven) {
        return;
    }
    c.Base = NowLocked();
    c.Anchor = std::chrono::steady_clock::now();
    c.Driven = driven;
    c.Changed.notify_all();
}

void HkAdvanceClock(LONGLONG units)
{
    if (units < 0) {
        Report("HkAdvanceClock(%lld): the clock does not go back", static_cast<long long>(units));
        return;
    }
    if (OnDpcThread()) {
        Report("HkAdvanceClock called from a DPC routine (it waits for the DPCs)");
        return;
    }
    ClockState& c = C();
    LONGLONG target;
    {
        std::lock_guard<std::mutex> guard(c.Lock);
        target = NowLocked() + units;
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(c.Lock);
            if (c.Queue.empty() || c.Queue.begin()->first.first > target) {
                SetNowLocked(target);
                return;
            }
            SetNowLocked(c.Queue.begin()->first.first);
            ExpireLocked(const_cast<PKTIMER>(c.Queue.begin()->second));
        }
        HkWaitDpcsIdle();
    }
}

LONGLONG HkNextTimerDue()
{
    std::lock_guard<std::mutex> guard(C().Lock);
    return C().Queue.empty() ? -1 : C().Queue.begin()->first.first;
}

size_t HkSetTimers()
{
    std::lock_guard<std::mutex> guard(C().Lock);
    return C().Timers.size();
}

bool HkWaitClock(LONGLONG time)
{
    auto limit =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMilliseconds());
    while (HkNow() < time) {
        if (std::chrono::steady_clock::now() > limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
