// Events, mutexes, waits and IRQL in the kernel stand-in, including real blocking across threads.
#include "kernel_rig.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

} // namespace

TEST_F(KernelTest, EventKindsDifferInWhatAWaitConsumes)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification), 1) << "a notification event stays signalled";
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(KeReadStateEvent(&notification), 0);

    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0) << "a synchronization event is consumed";
    LARGE_INTEGER shortWait = RelativeMs(20);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

TEST_F(KernelTest, MutexIsRecursiveForItsOwnerOnly)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    NTSTATUS other = STATUS_PENDING;
    std::thread([&] {
        LARGE_INTEGER poll{};
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
    }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);

    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread()) << "one release of two keeps it owned";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    auto found = Violations([&] { KeReleaseMutex(&mutex, FALSE); });
    EXPECT_TRUE(Mentions(found, "which is not held")) << ::testing::PrintToString(found);
}

TEST_F(KernelTest, VerifierCatchesWaitsAtDispatchLevelAndForeignReleases)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    LARGE_INTEGER poll{};
    auto found =
        Violations([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll); });
    EXPECT_TRUE(found.empty()) << "a zero time-out is allowed at DISPATCH_LEVEL";
    found =
        Violations([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_TRUE(Mentions(found, "at IRQL 2")) << ::testing::PrintToString(found);
    found = Violations([] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 4, 0x74736554)); });
    EXPECT_TRUE(Mentions(found, "paged pool")) << ::testing::PrintToString(found);
    KeLowerIrql(old);
    EXPECT_EQ(HkCurrentIrql(), PASSIVE_LEVEL);

    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    std::thread([&] { found = Violations([&] { KeReleaseMutex(&mutex, FALSE); }); }).join();
    EXPECT_TRUE(Mentions(found, "does not own it")) << ::testing::PrintToString(found);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(KernelTest, FreeingMemoryThatHoldsAHeldMutexIsReported)
{
    auto* block = static_cast<KMUTEX*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KMUTEX), 1));
    KeInitializeMutex(block, 0);
    KeWaitForSingleObject(block, Executive, KernelMode, FALSE, nullptr);
    auto found = Violations([&] { ExFreePool(block); });
    EXPECT_TRUE(Mentions(found, "is held")) << ::testing::PrintToString(found);
}

TEST(KernelConcurrency, WaitersBlockUntilSignalledAndMutexSerialises)
{
    HkReset();
    HkSetViolationHandler([](const HkViolation& v) { ADD_FAILURE() << v.What; });

    // A notification event releases every waiter.
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
            ++through;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(through.load(), 0);
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    for (std::thread& t : waiters) {
        t.join();
    }
    EXPECT_EQ(through.load(), 3);

    // A synchronization event releases one waiter per signal.
    KEVENT turnstile;
    KeInitializeEvent(&turnstile, SynchronizationEvent, FALSE);
    std::atomic<int> passed{0};
    std::thread a([&] {
        KeWaitForSingleObject(&turnstile, Executive, KernelMode, FALSE, nullptr);
        ++passed;
    });
    std::thread b([&] {
        KeWaitForSingleObject(&turnstile, Executive, KernelMode, FALSE, nullptr);
        ++passed;
    });
    KeSetEvent(&turnstile, IO_NO_INCREMENT, FALSE);
    // One gets through however late the threads start; then the other stays blocked.
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(HkWaitLimitMs());
    while (passed.load() == 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(passed.load(), 1);
    KeSetEvent(&turnstile, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(passed.load(), 2);

    // The mutex keeps a read-modify-write consistent across threads.
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    int counter = 0;
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&] {
            for (int k = 0; k < 500; ++k) {
                KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
                int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                KeReleaseMutex(&mutex, FALSE);
            }
        });
    }
    for (std::thread& t : workers) {
        t.join();
    }
    EXPECT_EQ(counter, 2000);
    EXPECT_TRUE(HkCheckClean());
    HkSetViolationHandler(nullptr);
}

// Lock-order checking: each pair is taken in one order on one thread, then in the other order on
// another. No hang follows (the threads never meet), and the inversion is reported once.
TEST_F(KernelTest, LockOrderInversionIsReportedTheFirstTimeItIsSeen)
{
    using Body = std::function<void()>;
    using Hold = std::function<void(const Body&)>; // runs body while holding a lock
    KMUTEX a, b;
    KSPIN_LOCK s1, s2;
    HkMutex machine("machine lock (test)");
    PKINTERRUPT interrupt = nullptr;
    auto reinitialise = [&] {
        KeInitializeMutex(&a, 0);
        KeInitializeMutex(&b, 0);
        KeInitializeSpinLock(&s1);
        KeInitializeSpinLock(&s2);
    };
    reinitialise();
    ASSERT_EQ(IoConnectInterrupt(
                  &interrupt, [](PKINTERRUPT, PVOID) -> BOOLEAN { return FALSE; }, nullptr, nullptr,
                  0x53, 9, 9, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    auto mutex = [](KMUTEX* m) -> Hold {
        return [m](const Body& body) {
            KeWaitForSingleObject(m, Executive, KernelMode, FALSE, nullptr);
            body();
            KeReleaseMutex(m, FALSE);
        };
    };
    auto spin = [](KSPIN_LOCK* s) -> Hold {
        return [s](const Body& body) {
            if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
                KeAcquireSpinLockAtDpcLevel(s);
                body();
                KeReleaseSpinLockFromDpcLevel(s);
            } else {
                KIRQL old;
                KeAcquireSpinLock(s, &old);
                body();
                KeReleaseSpinLock(s, old);
            }
        };
    };
    Hold interruptLock = [&](const Body& body) {
        KeSynchronizeExecution(
            interrupt,
            [](PVOID context) -> BOOLEAN {
                (*static_cast<const Body*>(context))();
                return TRUE;
            },
            const_cast<Body*>(&body));
    };
    Hold machineLock = [&](const Body& body) {
        std::lock_guard<HkMutex> guard(machine);
        body();
    };
    struct Case {
        const char* What;
        Hold First, Second;
    };
    const Case cases[] = {
        {"two mutexes", mutex(&a), mutex(&b)},
        {"two spin locks", spin(&s1), spin(&s2)},
        {"a machine lock and a mutex", machineLock, mutex(&a)},
        {"an interrupt lock and a spin lock", interruptLock, spin(&s1)},
        // b after machine only through a: machine -> a -> b, then machine while b is held.
        {"a mutex and a machine lock through a third lock", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        if (c.First) {
            std::vector<std::string> inOrder;
            std::thread([&] {
                inOrder = Violations([&] { c.First([&] { c.Second([] {}); }); });
            }).join();
            EXPECT_TRUE(inOrder.empty());
        }
        for (int round = 0; round < 2; ++round) {
            std::vector<std::string> found = Violations([&] {
                if (c.First) {
                    c.Second([&] { c.First([] {}); });
                } else {
                    mutex (&b)([&] { machineLock([] {}); });
                }
            });
            EXPECT_EQ(found.size(), round == 0 ? 1u : 0u) << "reported once";
            EXPECT_EQ(Mentions(found, "lock order inversion"), round == 0);
        }
    }
    // Initialised again, the locks are new ones: their history goes with the old ones.
    reinitialise();
    EXPECT_TRUE(Violations([&] { mutex (&b)([&] { mutex (&a)([] {}); }); }).empty());
    EXPECT_TRUE(Violations([&] { spin (&s2)([&] { spin (&s1)([] {}); }); }).empty());
    IoDisconnectInterrupt(interrupt);
}
