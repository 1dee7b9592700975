// Time, DPCs and timers in the kernel stand-in: the virtual clock and the kernel's time queries,
// timer expiry in due order on a driven clock and on the free-running one, timers as dispatcher
// objects, the DPC queue's order and IRQL, and the verifier's reports. Every test here runs the
// stand-in's DPC or clock thread.
#include "kernel_rig.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

constexpr LONGLONG Ms = 10000; // 100 ns units

LARGE_INTEGER Relative(LONGLONG units)
{
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

// One DPC run as its routine saw it.
struct DpcRun {
    const char* Name;
    LONGLONG Clock;
    KIRQL Irql;
    PVOID Argument1;
    PVOID Argument2;
};

struct Log {
    std::vector<DpcRun> Runs; // written on the DPC thread, read after the DPCs are idle
};

struct Named {
    const char* Name;
    Log* Into;
};

VOID Note(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
{
    Named* named = static_cast<Named*>(context);
    named->Into->Runs.push_back(
        DpcRun{named->Name, HkNow(), KeGetCurrentIrql(), argument1, argument2});
}

// Holds the DPC thread until released, so that the queue can be arranged behind it.
std::atomic<bool> Blocking{false};
std::atomic<bool> Blocked{false};

VOID Block(PKDPC, PVOID, PVOID, PVOID)
{
    Blocked = true;
    while (Blocking) {
        std::this_thread::yield();
    }
    Blocked = false;
}

void HoldDpcThread(KDPC* blocker)
{
    Blocking = true;
    KeInitializeDpc(blocker, Block, nullptr);
    KeInsertQueueDpc(blocker, nullptr, nullptr);
    while (!Blocked) {
        std::this_thread::yield();
    }
}

void ReleaseDpcThread()
{
    Blocking = false;
    HkWaitDpcsIdle();
}

} // namespace

TEST_F(KernelConcurrencyTest, DrivenClockMovesOnlyWhenAdvancedAndEveryQueryFollowsIt)
{
    HkSetClockDriven(true);
    LONGLONG start = HkNow();
    LARGE_INTEGER systemBefore;
    KeQuerySystemTime(&systemBefore);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(HkNow(), start) << "wall time does not move a driven clock";

    HkAdvanceClock(123456789);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(counter.QuadPart, start + 123456789);
    EXPECT_EQ(KeQueryInterruptTime(), ULONGLONG(start + 123456789));
    LARGE_INTEGER systemAfter;
    KeQuerySystemTime(&systemAfter);
    EXPECT_EQ(systemAfter.QuadPart - systemBefore.QuadPart, 123456789);
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, (start + 123456789) / KeQueryTimeIncrement());
    EXPECT_TRUE(HkWaitClock(start + 123456789));
}

// Each timer expires with the clock standing at its due time and its DPC run before the next
// one; timers due at the same time expire in the order they were set.
TEST_F(KernelConcurrencyTest, TimersExpireInDueOrderOnADrivenClock)
{
    HkSetClockDriven(true);
    Log log;
    Named a{"A", &log}, b{"B", &log}, c{"C", &log};
    KTIMER timerA, timerB, timerC;
    KDPC dpcA, dpcB, dpcC;
    KeInitializeTimer(&timerA);
    KeInitializeTimerEx(&timerB, SynchronizationTimer);
    KeInitializeTimer(&timerC);
    KeInitializeDpc(&dpcA, Note, &a);
    KeInitializeDpc(&dpcB, Note, &b);
    KeInitializeDpc(&dpcC, Note, &c);
    LONGLONG start = HkNow();
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    LARGE_INTEGER absolute;
    absolute.QuadPart = system.QuadPart + 20 * Ms;

    EXPECT_FALSE(KeSetTimerEx(&timerA, Relative(50 * Ms), 0, &dpcA));
    EXPECT_TRUE(KeSetTimerEx(&timerA, Relative(10 * Ms), 20, &dpcA)) << "it was set: reset";
    EXPECT_FALSE(KeSetTimer(&timerC, Relative(30 * Ms), &dpcC));
    EXPECT_FALSE(KeSetTimer(&timerB, absolute, &dpcB));
    // Two more due together, set in the order opposite to their addresses.
    Named late0{"L0", &log}, late1{"L1", &log};
    KTIMER late[2];
    KDPC lateDpc[2];
    KeInitializeDpc(&lateDpc[0], Note, &late0);
    KeInitializeDpc(&lateDpc[1], Note, &late1);
    for (int i : {1, 0}) {
        KeInitializeTimer(&late[i]);
        KeSetTimer(&late[i], Relative(32 * Ms), &lateDpc[i]);
    }
    EXPECT_EQ(HkSetTimers(), 5u);
    EXPECT_EQ(HkNextTimerDue(), start + 10 * Ms);

    HkAdvanceClock(35 * Ms);
    ASSERT_EQ(log.Runs.size(), 6u);
    const char* order[] = {"A", "B", "C", "A", "L1", "L0"};
    LONGLONG due[] = {10, 20, 30, 30, 32, 32};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_STREQ(log.Runs[i].Name, order[i]) << i;
        EXPECT_EQ(log.Runs[i].Clock, start + due[i] * Ms) << i;
        EXPECT_EQ(log.Runs[i].Irql, DISPATCH_LEVEL);
    }
    // The DPC learns the system time of the expiry.
    LONGLONG expiry = system.QuadPart + 10 * Ms;
    EXPECT_EQ(log.Runs[0].Argument1, reinterpret_cast<PVOID>(ULONG_PTR(ULONG(expiry))));
    EXPECT_EQ(log.Runs[0].Argument2, reinterpret_cast<PVOID>(ULONG_PTR(ULONG(expiry >> 32))));
    EXPECT_EQ(HkNow(), start + 35 * Ms);
    EXPECT_EQ(HkSetTimers(), 1u) << "the periodic timer stays set";
    EXPECT_EQ(HkNextTimerDue(), start + 50 * Ms);
    EXPECT_TRUE(KeCancelTimer(&timerA));
    EXPECT_FALSE(KeCancelTimer(&timerA));
    EXPECT_EQ(HkNextTimerDue(), -1);
}

TEST_F(KernelConcurrencyTest, TimersAreDispatcherObjects)
{
    HkSetClockDriven(true);
    LARGE_INTEGER poll{};
    KTIMER notification, synchronization;
    KeInitializeTimer(&notification);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    KeSetTimer(&notification, Relative(5 * Ms), nullptr);
    KeSetTimer(&synchronization, Relative(5 * Ms), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);

    NTSTATUS waited = STATUS_PENDING;
    std::thread waiter([&] {
        waited = KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr);
    });
    HkAdvanceClock(5 * Ms);
    waiter.join();
    EXPECT_EQ(waited, STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&synchronization)) << "the wait took the signal";
    EXPECT_TRUE(KeReadStateTimer(&notification));
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&notification)) << "a notification timer stays signalled";

    KeSetTimer(&notification, Relative(0), nullptr); // due at once
    EXPECT_TRUE(KeReadStateTimer(&notification));
    KeSetTimer(&notification, Relative(Ms), nullptr);
    EXPECT_FALSE(KeReadStateTimer(&notification)) << "setting a timer clears its signal";
    KeCancelTimer(&notification);
}

// Left alone, the clock follows wall time and its own thread expires the timers.
TEST_F(KernelConcurrencyTest, FreeRunningClockExpiresTimersOnItsOwn)
{
    KEVENT fired;
    KeInitializeEvent(&fired, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        },
        &fired);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LONGLONG start = HkNow();
    KeSetTimer(&timer, Relative(2 * Ms), &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(HkNow(), start + 2 * Ms);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_TRUE(HkWaitClock(start + 3 * Ms));
}

TEST_F(KernelConcurrencyTest, DpcsQueueOnceAndRunInQueueOrderAtDispatchLevel)
{
    Log log;
    Named first{"first", &log}, urgent{"urgent", &log}, last{"last", &log};
    KDPC blocker, dpcFirst, dpcUrgent, dpcLast;
    KeInitializeDpc(&dpcFirst, Note, &first);
    KeInitializeDpc(&dpcUrgent, Note, &urgent);
    KeInitializeDpc(&dpcLast, Note, &last);
    KeSetImportanceDpc(&dpcUrgent, HighImportance);

    HoldDpcThread(&blocker);
    int argument = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpcFirst, &argument, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpcFirst, nullptr, nullptr)) << "already queued";
    EXPECT_TRUE(KeInsertQueueDpc(&dpcLast, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcLast));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpcLast));
    EXPECT_TRUE(KeInsertQueueDpc(&dpcLast, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&dpcUrgent, nullptr, nullptr)) << "to the head of the queue";
    EXPECT_EQ(HkQueuedDpcs(), 3u);
    ReleaseDpcThread();

    ASSERT_EQ(log.Runs.size(), 3u);
    EXPECT_STREQ(log.Runs[0].Name, "urgent");
    EXPECT_STREQ(log.Runs[1].Name, "first");
    EXPECT_STREQ(log.Runs[2].Name, "last");
    EXPECT_EQ(log.Runs[1].Argument1, &argument) << "the first insertion's arguments";
    for (const DpcRun& run : log.Runs) {
        EXPECT_EQ(run.Irql, DISPATCH_LEVEL);
    }
    EXPECT_TRUE(KeInsertQueueDpc(&dpcFirst, nullptr, nullptr)) << "it left the queue to run";
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.Runs.size(), 4u) << "flushed: every DPC queued before has run";
}

namespace {

BOOLEAN QueueFromIsr(PKINTERRUPT, PVOID context)
{
    KeInsertQueueDpc(static_cast<PKDPC>(context), nullptr, nullptr);
    return TRUE;
}

} // namespace

TEST_F(KernelConcurrencyTest, AnInterruptServiceRoutineQueuesItsDpc)
{
    Log log;
    Named named{"isr", &log};
    KDPC dpc;
    KeInitializeDpc(&dpc, Note, &named);
    PKINTERRUPT interrupt = HkConnectForeignIsr(41, 8, QueueFromIsr, &dpc);
    ASSERT_NE(interrupt, nullptr);
    EXPECT_TRUE(HkDeliverInterrupt(41));
    HkWaitDpcsIdle();
    ASSERT_EQ(log.Runs.size(), 1u);
    EXPECT_EQ(log.Runs[0].Irql, DISPATCH_LEVEL);
    HkDisconnectForeignIsr(interrupt);
}

namespace {

KSPIN_LOCK DpcLock;

VOID ReturnsRaised(PKDPC, PVOID, PVOID, PVOID)
{
    KfRaiseIrql(HIGH_LEVEL);
}

VOID TakesLock(PKDPC, PVOID, PVOID, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&DpcLock);
}

VOID ReleasesLock(PKDPC, PVOID, PVOID, PVOID)
{
    KeReleaseSpinLockFromDpcLevel(&DpcLock);
}

} // namespace

TEST_F(KernelConcurrencyTest, VerifierCatchesDpcRoutinesThatLeaveTheirIrqlOrALock)
{
    KDPC raised, takes, releases;
    KeInitializeDpc(&raised, ReturnsRaised, nullptr);
    KeInitializeDpc(&takes, TakesLock, nullptr);
    KeInitializeDpc(&releases, ReleasesLock, nullptr);
    KeInitializeSpinLock(&DpcLock);
    auto found = Violations([&] {
        KeInsertQueueDpc(&raised, nullptr, nullptr);
        HkWaitDpcsIdle();
    });
    EXPECT_TRUE(Mentions(found, "returned at IRQL 15")) << ::testing::PrintToString(found);
    found = Violations([&] {
        KeInsertQueueDpc(&takes, nullptr, nullptr);
        HkWaitDpcsIdle();
    });
    EXPECT_TRUE(Mentions(found, "returned holding a spin lock")) << ::testing::PrintToString(found);
    KeInsertQueueDpc(&releases, nullptr, nullptr); // the same thread lets it go
    HkWaitDpcsIdle();

    KDPC never;
    memset(&never, 0, sizeof(never));
    found = Violations([&] { EXPECT_FALSE(KeInsertQueueDpc(&never, nullptr, nullptr)); });
    EXPECT_TRUE(Mentions(found, "never initialised")) << ::testing::PrintToString(found);
}

// A queued DPC or a set timer in memory that goes back to the pool would run, or expire, in
// memory that belongs to someone else; one still queued or set when the test ends is left behind.
TEST_F(KernelConcurrencyTest, VerifierCatchesDpcsAndTimersOutlivingTheirMemory)
{
    HkSetClockDriven(true);
    struct Context {
        KDPC Dpc;
        KTIMER Timer;
    };
    Log log;
    Named named{"freed", &log};
    auto* context =
        static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), 0x656D6954));
    KeInitializeDpc(&context->Dpc, Note, &named);
    KeInitializeTimer(&context->Timer);
    KDPC blocker;
    HoldDpcThread(&blocker);
    KeInsertQueueDpc(&context->Dpc, nullptr, nullptr);
    KeSetTimer(&context->Timer, Relative(Ms), nullptr);
    auto found = Violations([&] { ExFreePool(context); });
    EXPECT_TRUE(Mentions(found, "while the DPC at")) << ::testing::PrintToString(found);
    EXPECT_TRUE(Mentions(found, "while the timer at")) << ::testing::PrintToString(found);
    EXPECT_EQ(HkQueuedDpcs(), 0u);
    EXPECT_EQ(HkSetTimers(), 0u);

    KDPC leftQueued;
    KTIMER leftSet;
    KeInitializeDpc(&leftQueued, Note, &named);
    KeInitializeTimer(&leftSet);
    KeInsertQueueDpc(&leftQueued, nullptr, nullptr);
    KeSetTimer(&leftSet, Relative(Ms), nullptr);
    found = Violations([] { HkCheckClean(); });
    EXPECT_TRUE(Mentions(found, "is still queued at the end of the test"))
        << ::testing::PrintToString(found);
    EXPECT_TRUE(Mentions(found, "is still set at the end of the test"))
        << ::testing::PrintToString(found);
    KeRemoveQueueDpc(&leftQueued);
    KeCancelTimer(&leftSet);
    ReleaseDpcThread();
    EXPECT_TRUE(log.Runs.empty()) << "the freed DPC never ran";

    KTIMER never;
    memset(&never, 0, sizeof(never));
    found = Violations([&] { KeSetTimer(&never, Relative(Ms), nullptr); });
    EXPECT_TRUE(Mentions(found, "never initialised")) << ::testing::PrintToString(found);
    KeInitializeTimer(&leftSet);
    KeSetTimer(&leftSet, Relative(Ms), nullptr);
    found = Violations([&] { KeInitializeTimer(&leftSet); });
    EXPECT_TRUE(Mentions(found, "while the timer is set")) << ::testing::PrintToString(found);
    EXPECT_EQ(HkSetTimers(), 0u);
}
