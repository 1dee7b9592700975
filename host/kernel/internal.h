// Shared internals of the kernel stand-in: the verifier's report routine, fault injection, the
// per-thread kernel state and the reset/check hooks of every area. Not for tests or drivers.
#pragma once

#include "hostkernel.h"

#include <cstdarg>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk {

// Reports one violation: records it, then calls the installed handler (outside every lock).
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Reports a call of routine made above the highest IRQL at which Windows allows it.
void CheckIrqlAtMost(KIRQL highest, const char* routine);

// Counts one call of a kind and says whether this call must fail.
bool ShouldFail(HkFault kind);

// Per-thread kernel state. Every thread starts at PASSIVE_LEVEL owning nothing.
struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    int OwnedMutexes = 0;
    int SpinLocksHeld = 0;
    char Identity = 0; // its address is the thread's KTHREAD pointer
    // HkPlatformCalls scopes open on the thread: no fault injection while there is one.
    int PlatformCalls = 0;
};
ThreadState& CurrentThread();

// Interrupt deliveries that arrived while this thread ran at or above their DIRQL; delivered when
// the thread's IRQL drops below it again.
void DeliverDeferredInterrupts();

// Spin lock word handling shared by spin locks and interrupt objects (no IRQL change).
void AcquireSpin(PKSPIN_LOCK SpinLock, const char* kind = "spin lock");
void ReleaseSpin(PKSPIN_LOCK SpinLock);

// Human-readable names for reports.
const char* MajorName(UCHAR major);
std::string IrpDescription(const IRP* irp);

// IRPs for the stand-in's own requests (power IRPs): allocated without fault injection and freed
// from the originator's completion routine, which holds the IRP's last location.
PIRP AllocateIrpInternal(CCHAR stackSize);
void FreeIrpInternal(PIRP irp);
// True while irp is an IRP of the I/O manager that has not been freed.
bool IrpIsLive(const IRP* irp);

// Pool: true if [p, p+size) overlaps a held mutex (the block is being freed with a lock held).
void CheckNoHeldMutexIn(const void* p, size_t size, const char* what);

// Lock-order checking (lockorder.cpp). Before a lock is taken: records the order against the locks
// this thread holds and reports an inversion (waits: false for a try or a wait with a time-out,
// which cannot deadlock). Then OrderAcquired once it is held, OrderReleased when let go.
// OrderForget ends the classes of the locks in [begin, begin+size) (re-initialised or freed).
void OrderBeforeAcquire(const void* lock, const char* kind, bool waits);
void OrderAcquired(const void* lock);
void OrderReleased(const void* lock);
void OrderForget(const void* begin, size_t size);
void ResetLockOrder();

// Wait limit for waits without a time-out: a wait that lasts longer is reported as a hang.
unsigned WaitLimitMilliseconds();

// Area hooks for HkReset and HkCheckClean.
void ResetPool();
void ResetDispatcher();
void ResetIo();
void ResetErrorLog();
void ResetInterrupts();
void ResetPortIo();
void ResetPower(); // joins the power request threads first
void CheckCleanPool(bool& clean);
void CheckCleanDispatcher(bool& clean);
void CheckCleanIo(bool& clean);
void CheckCleanErrorLog(bool& clean);
void CheckCleanInterrupts(bool& clean);
void CheckCleanPower(bool& clean);

// Leak checks at driver unload.
void CheckUnloadPool();
size_t IrpsOutstanding();

} // namespace hk
