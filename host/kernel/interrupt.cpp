// Interrupt objects. A service routine runs at its connection's DIRQL holding the connection's
// spin lock; KeSynchronizeExecution takes the same lock at the synchronize IRQL, so code
// synchronised with the routine never runs at the same time as it. Several connections may share
// a vector when every one of them asks to share; a delivery calls them in connection order until
// one claims the interrupt.
//
// A delivery to a thread already running at or above the vector's DIRQL (inside a service routine
// or a synchronised routine, e.g. when the simulated hardware raises its line from a port write
// made there) is held back, as the interrupt controller holds it on a real processor, and
// delivered when that thread's IRQL drops below the DIRQL.
#include "internal.h"

#include <algorithm>
#include <map>
#include <condition_variable>
#include <mutex>

struct _KINTERRUPT {
    ULONG Vector;
    KIRQL Irql;
    KIRQL SynchronizeIrql;
    KINTERRUPT_MODE Mode;
    BOOLEAN ShareVector;
    KAFFINITY Affinity;
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
    PKSPIN_LOCK Lock; // the caller's spin lock, or OwnLock
    KSPIN_LOCK OwnLock;
    bool Foreign;
    bool Connected;
    int InFlight; // deliveries that may still call the routine
};

namespace hk {
namespace {

std::mutex TableLock; // the connection table and counters
std::condition_variable DeliveryDone;
std::vector<_KINTERRUPT*> Connections;
std::vector<_KINTERRUPT*> Retired; // disconnected objects, kept to recognise a late use
std::map<ULONG, size_t> Unclaimed;

thread_local std::vector<ULONG> Deferred;

// Under TableLock.
KIRQL VectorIrql(ULONG vector)
{
    KIRQL irql = 0;
    for (const _KINTERRUPT* connection : Connections) {
        if (connection->Vector == vector && connection->Irql > irql) {
            irql = connection->Irql;
        }
    }
    return irql;
}

bool IsConnected(const _KINTERRUPT* object)
{
    std::lock_guard<std::mutex> guard(TableLock);
    return std::find(Connections.begin(), Connections.end(), object) != Connections.end();
}

NTSTATUS Connect(PKINTERRUPT* result, PKSERVICE_ROUTINE routine, PVOID context,
                 PKSPIN_LOCK spinLock, ULONG vector, KIRQL irql, KIRQL synchronizeIrql,
                 KINTERRUPT_MODE mode, BOOLEAN share, KAFFINITY affinity, bool foreign)
{
    if (synchronizeIrql < irql || affinity == 0 || irql <= DISPATCH_LEVEL || irql > HIGH_LEVEL ||
        routine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(TableLock);
    for (const _KINTERRUPT* other : Connections) {
        if (other->Vector == vector && (!other->ShareVector || !share || other->Mode != mode)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    _KINTERRUPT* object =
        new _KINTERRUPT{vector,  irql, synchronizeIrql, mode, share, affinity, routine, context,
                        nullptr, 0,    foreign,         true, 0};
    object->Lock = spinLock != nullptr ? spinLock : &object->OwnLock;
    if (spinLock == nullptr) {
        OrderForget(object->Lock, sizeof(KSPIN_LOCK));
    }
    Connections.push_back(object);
    *result = object;
    return STATUS_SUCCESS;
}

// Like the kernel, disconnection waits until no processor runs the routine any more.
bool Disconnect(PKINTERRUPT object)
{
    std::unique_lock<std::mutex> guard(TableLock);
    auto it = std::find(Connections.begin(), Connections.end(), object);
    if (it == Connections.end()) {
        return false;
    }
    Connections.erase(it);
    object->Connected = false;
    Retired.push_back(object);
    if (CurrentThread().Irql < object->Irql) {
        DeliveryDone.wait(guard, [object] { return object->InFlight == 0; });
    }
    return true;
}

} // namespace

void DeliverDeferredInterrupts()
{
    if (Deferred.empty()) {
        return;
    }
    std::vector<ULONG> due;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        KIRQL now = CurrentThread().Irql;
        for (auto it = Deferred.begin(); it != Deferred.end();) {
            if (now < VectorIrql(*it)) {
                due.push_back(*it);
                it = Deferred.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (ULONG vector : due) {
        HkDeliverInterrupt(vector);
    }
}

void ResetInterrupts()
{
    std::lock_guard<std::mutex> guard(TableLock);
    for (_KINTERRUPT* object : Connections) {
        delete object;
    }
    for (_KINTERRUPT* object : Retired) {
        delete object;
    }
    Connections.clear();
    Retired.clear();
    Unclaimed.clear();
    Deferred.clear();
}

void CheckCleanInterrupts(bool& clean)
{
    std::vector<ULONG> vectors;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        for (const _KINTERRUPT* object : Connections) {
            if (!object->Foreign) {
                vectors.push_back(object->Vector);
            }
        }
    }
    for (ULONG vector : vectors) {
        Report("an interrupt is still connected on vector %u at the end of the test", vector);
        clean = false;
    }
}

} // namespace hk

using namespace hk;

extern "C" NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject,
                                       PKSERVICE_ROUTINE ServiceRoutine, PVOID ServiceContext,
                                       PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                                       KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                                       BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask, BOOLEAN)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL) {
        Report("IoConnectInterrupt at IRQL %d", CurrentThread().Irql);
    }
    if (InterruptObject == nullptr) {
        Report("IoConnectInterrupt without a place for the interrupt object");
        return STATUS_INVALID_PARAMETER;
    }
    if (ShouldFail(HkFault::ConnectInterrupt)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return Connect(InterruptObject, ServiceRoutine, ServiceContext, SpinLock, Vector, Irql,
                   SynchronizeIrql, InterruptMode, ShareVector, ProcessorEnableMask, false);
}

extern "C" VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL) {
        Report("IoDisconnectInterrupt at IRQL %d", CurrentThread().Irql);
    }
    if (!Disconnect(InterruptObject)) {
        Report("IoDisconnectInterrupt(%p): not a connected interrupt object",
               static_cast<void*>(InterruptObject));
    }
}

extern "C" BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt,
                                          PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                          PVOID SynchronizeContext)
{
    if (!IsConnected(Interrupt)) {
        Report("KeSynchronizeExecution with %p, which is not a connected interrupt object",
               static_cast<void*>(Interrupt));
        return FALSE;
    }
    ThreadState& thread = CurrentThread();
    KIRQL old = thread.Irql;
    if (old > Interrupt->SynchronizeIrql) {
        Report("KeSynchronizeExecution at IRQL %d, above the interrupt's synchronize IRQL %d", old,
               Interrupt->SynchronizeIrql);
    } else {
        if (old < Interrupt->SynchronizeIrql) {
            RunSynchronizeHook();
        }
        thread.Irql = Interrupt->SynchronizeIrql;
    }
    AcquireSpin(Interrupt->Lock, "interrupt lock");
    BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    ReleaseSpin(Interrupt->Lock);
    if (thread.Irql != (old > Interrupt->SynchronizeIrql ? old : Interrupt->SynchronizeIrql)) {
        Report("a routine synchronised with an interrupt changed the IRQL");
    }
    KfLowerIrql(old);
    return result;
}

std::vector<HkInterruptInfo> HkInterruptsOn(ULONG vector)
{
    std::lock_guard<std::mutex> guard(TableLock);
    std::vector<HkInterruptInfo> result;
    for (_KINTERRUPT* object : Connections) {
        if (object->Vector == vector) {
            result.push_back(HkInterruptInfo{object, object->Vector, object->Irql,
                                             object->SynchronizeIrql, object->Mode,
                                             object->ShareVector, object->Affinity,
                                             object->ServiceRoutine, object->ServiceContext});
        }
    }
    return result;
}

bool HkDeliverInterrupt(ULONG vector)
{
    ThreadState& thread = CurrentThread();
    {
        std::lock_guard<std::mutex> guard(TableLock);
        KIRQL dirql = VectorIrql(vector);
        if (dirql != 0 && thread.Irql >= dirql) {
            Deferred.push_back(vector);
            return false;
        }
    }
    std::vector<_KINTERRUPT*> chain;
    {
        std::lock_guard<std::mutex> guard(TableLock);
        for (_KINTERRUPT* object : Connections) {
            if (object->Vector == vector) {
                ++object->InFlight;
                chain.push_back(object);
            }
        }
    }
    bool claimed = false;
    for (_KINTERRUPT* object : chain) {
        if (claimed) {
            break;
        }
        KIRQL old = thread.Irql;
        thread.Irql = object->Irql;
        AcquireSpin(object->Lock, "interrupt lock");
        BOOLEAN mine = object->ServiceRoutine(object, object->ServiceContext);
        ReleaseSpin(object->Lock);
        if (thread.Irql != object->Irql) {
            Report("the interrupt service routine on vector %u returned at IRQL %d instead of its "
                   "DIRQL %d",
                   vector, thread.Irql, object->Irql);
        }
        thread.Irql = old;
        claimed = mine != FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(TableLock);
        for (_KINTERRUPT* object : chain) {
            --object->InFlight;
        }
        if (!claimed) {
            ++Unclaimed[vector];
        }
    }
    DeliveryDone.notify_all();
    DeliverDeferredInterrupts();
    return claimed;
}

size_t HkUnclaimedInterrupts(ULONG vector)
{
    std::lock_guard<std::mutex> guard(TableLock);
    auto it = Unclaimed.find(vector);
    return it == Unclaimed.end() ? 0 : it->second;
}

PKINTERRUPT HkConnectForeignIsr(ULONG vector, KIRQL irql, PKSERVICE_ROUTINE routine, PVOID context)
{
    PKINTERRUPT object = nullptr;
    NTSTATUS status = Connect(&object, routine, context, nullptr, vector, irql, irql,
                              LevelSensitive, TRUE, 1, true);
    return NT_SUCCESS(status) ? object : nullptr;
}

void HkDisconnectForeignIsr(PKINTERRUPT object)
{
    if (!Disconnect(object)) {
        Report("HkDisconnectForeignIsr(%p): not a connected interrupt object",
               static_cast<void*>(object));
    }
}
