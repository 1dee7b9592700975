// Shared internals of the kernel stand-in: the verifier's report routine, fault injection, the
// per-thread kernel state and the reset/check hooks of every area. Not for tests or drivers.
#pragma once

#include "hostkernel.h"

#include <cstdarg>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define HK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define HK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define HK_POISON(p, n) ((void)(p), (void)(n))
#define HK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace hk {

// Joins the threads a part of the stand-in started (taken out of the list under its lock); a
// thread that ends itself this way is detached instead.
inline void JoinAll(std::mutex& lock, std::vector<std::thread>& threads)
{
    std::vector<std::thread> taken;
    {
        std::lock_guard<std::mutex> guard(lock);
        taken.swap(threads);
    }
    for (std::thread& thread : taken) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

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

// Text helpers. Object and registry names compare without case (ASCII letters, as the object
// manager's upcase table does for the names drivers use).
std::u16string FromCounted(const UNICODE_STRING* s);
std::u16string FromTerminated(PCWSTR s);
std::u16string Upcase(const std::u16string& s);
bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix);
std::string Narrow(const std::u16string& s);
// Builds a UNICODE_STRING (terminated) in paged pool under the run-time library's string tag, so
// that the caller frees it with RtlFreeUnicodeString; no fault injection (the platform's own
// allocation). False when the pool is exhausted.
bool AllocateUnicodeString(const std::u16string& text, PUNICODE_STRING out);

// IRPs for the stand-in's own requests (power IRPs): allocated without fault injection and freed
// from the originator's completion routine, which holds the IRP's last location.
PIRP AllocateIrpInternal(CCHAR stackSize);
void FreeIrpInternal(PIRP irp);
// True while irp is an IRP of the I/O manager that has not been freed.
bool IrpIsLive(const IRP* irp);
// IRPs of the user side of the I/O manager (file.cpp). When such an IRP is completed to the top of
// its stack, finish(irp, context) runs on the completing thread, outside the stand-in's locks, and
// owns the IRP from then on (it frees it with FreeIrpInternal).
typedef void (*UserIrpFinish)(PIRP irp, void* context);
PIRP AllocateUserIrp(CCHAR stackSize, UserIrpFinish finish, void* context);

// Device objects by name (io.cpp). The device whose name is path or a leading part of it ending
// at a '\' (compared without case; a live device is preferred to a deleted one of the same name),
// with an object reference taken; *remainder gets the rest of the path. nullptr if none.
PDEVICE_OBJECT ReferenceDeviceByName(const std::u16string& path, std::u16string* remainder);
// True if a device object that is not deleted has that name.
bool DeviceNameExists(const std::u16string& name);
// True when the device's driver has been unloaded (or the object is not a device).
bool DriverUnloaded(PDEVICE_OBJECT device);

// Object names (names.cpp): follows symbolic links (\.\, \\?\, \DosDevices\, \GLOBAL??\ and
// \??\ are one name space) until the path names something that is not a link.
NTSTATUS ResolveSymbolicLinks(const std::u16string& path, std::u16string* resolved);

// Registry (registry.cpp): creates a key and its parents; the PDO's device instance (from the
// plug-and-play manager's hook; empty path when there is none).
void RegistryEnsureKey(const std::u16string& path);
HkDeviceInstance DeviceInstanceOf(PDEVICE_OBJECT pdo);

// Dispatcher objects that other areas signal (dispatcher.cpp). Timers are dispatcher objects of
// two more types.
constexpr UCHAR TimerNotificationType = 8;
constexpr UCHAR TimerSynchronizationType = 9;
void InitializeDispatcherHeader(DISPATCHER_HEADER* header, UCHAR type, UCHAR sizeInLongs);
void SetSignalState(DISPATCHER_HEADER* header, LONG state); // wakes waiters when > 0
LONG ReadSignalState(DISPATCHER_HEADER* header);

// Time (clock.cpp). The virtual clock in 100 ns units since the reset, and the system time (wall
// time at the reset plus the virtual clock).
LONGLONG ClockNow();
LONGLONG SystemTime();

// DPCs (dpc.cpp): queues a DPC for the DPC thread without the checks of KeInsertQueueDpc (for
// timer expiry). True if it was not queued already.
bool QueueDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
// KeSynchronizeExecution's point for HkSetSynchronizeHook (dispatcher.cpp).
void RunSynchronizeHook();
// The same for a timer's expiry, which HkHoldTimerDpcs may hold back.
bool QueueTimerDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
bool DpcInitialised(const KDPC* dpc);
bool OnDpcThread();

// Kernel objects in memory that is being freed (pool, a device object with its extension): a
// queued DPC or a set timer there is reported and dropped, and every record of objects initialised
// there is forgotten. Called before the memory is filled.
void MemoryFreed(const void* p, size_t size, const char* what);
void DpcsFreed(const void* p, size_t size, const char* what);
void TimersFreed(const void* p, size_t size, const char* what);
void RemoveLocksFreed(const void* p, size_t size);

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

// Waits until every request that forced pending held back has reached its lower driver (io.cpp).
void JoinForwarders();

// Area hooks for HkReset and HkCheckClean.
void ResetPool();
void ResetDispatcher();
void ResetIo();
void ResetErrorLog();
void ResetInterrupts();
void ResetPortIo();
void ResetPower();     // joins the power request threads first
void ResetWorkItems(); // joins the worker threads first
void ResetClock();     // no timer set, the clock at 0 and free-running
void ResetDpcs();      // waits for a running DPC, forgets the queue
void ResetFiles();     // joins the close threads
void ResetCancel();
void ResetRemoveLocks();
void ResetNames();
// The plug-and-play manager removes a device (its function driver detaches, or the PDO is
// deleted): an interface whose disable failed for want of resources is disabled now.
void DeviceRemoved(PDEVICE_OBJECT pdo);
void ResetRegistry();
// WMI (wmi.cpp): forgets the providers; a device object being deleted leaves them (reported
// while still registered).
void ResetWmi();
void WmiDeviceDeleted(PDEVICE_OBJECT device);
void CheckCleanPool(bool& clean);
void CheckCleanDispatcher(bool& clean);
void CheckCleanIo(bool& clean);
void CheckCleanErrorLog(bool& clean);
void CheckCleanInterrupts(bool& clean);
void CheckCleanPower(bool& clean);
void CheckCleanWorkItems(bool& clean);
void CheckCleanClock(bool& clean);
void CheckCleanDpcs(bool& clean);
void CheckCleanFiles(bool& clean);
void CheckCleanNames(bool& clean);
void CheckCleanRegistry(bool& clean);

// Leak checks at driver unload.
void CheckUnloadPool();
size_t IrpsOutstanding();

} // namespace hk
