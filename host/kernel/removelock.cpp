// Remove locks. The count starts at one for the device itself; every request a driver holds adds
// one. IoReleaseRemoveLockAndWait marks the lock removed, drops the caller's acquisition and the
// device's own count, and waits until the requests still in the driver have released theirs; an
// acquisition after that point fails with STATUS_DELETE_PENDING.
//
// The verifier keeps, per lock, the acquisitions still held by tag (as the checked build's
// tracking blocks do), so that a release without a matching acquisition and a second wait are
// reported, whatever the count says.
#include "internal.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace hk {
namespace {

struct LockRecord {
    std::map<PVOID, int> Held; // tag -> acquisitions not yet released
    bool Waited = false;
};

std::mutex RecordLock;
std::unordered_map<const IO_REMOVE_LOCK*, LockRecord> Records;

bool CheckSize(ULONG size, const char* routine)
{
    if (size != sizeof(IO_REMOVE_LOCK)) {
        Report("%s with RemlockSize %u: the free build's IO_REMOVE_LOCK is %zu bytes", routine,
               size, sizeof(IO_REMOVE_LOCK));
        return false;
    }
    return true;
}

// Under RecordLock; nullptr (reported) when the lock was never initialised.
LockRecord* Find(const IO_REMOVE_LOCK* lock, const char* routine)
{
    auto it = Records.find(lock);
    if (it == Records.end()) {
        Report("%s(%p): the remove lock was never initialised (IoInitializeRemoveLock)", routine,
               static_cast<const void*>(lock));
        return nullptr;
    }
    return &it->second;
}

// Under RecordLock: takes one acquisition of tag off the books; false if there was none.
bool Unbook(LockRecord& record, PVOID tag)
{
    auto it = record.Held.find(tag);
    if (it == record.Held.end()) {
        return false;
    }
    if (--it->second == 0) {
        record.Held.erase(it);
    }
    return true;
}

} // namespace

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(RecordLock);
    Records.clear();
}

void RemoveLocksFreed(const void* p, size_t size)
{
    const char* start = static_cast<const char*>(p);
    std::lock_guard<std::mutex> guard(RecordLock);
    for (auto it = Records.begin(); it != Records.end();) {
        const char* at = reinterpret_cast<const char*>(it->first);
        it = (at >= start && at < start + size) ? Records.erase(it) : std::next(it);
    }
}

} // namespace hk

using namespace hk;

extern "C" VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG,
                                         ULONG RemlockSize)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    if (!CheckSize(RemlockSize, "IoInitializeRemoveLockEx")) {
        return;
    }
    Lock->Common.Removed = FALSE;
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(RecordLock);
    Records[Lock] = LockRecord{};
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG,
                                          ULONG RemlockSize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    if (!CheckSize(RemlockSize, "IoAcquireRemoveLockEx")) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(RecordLock);
        LockRecord* record = Find(RemoveLock, "IoAcquireRemoveLock");
        if (record == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        ++record->Held[Tag];
    }
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (!__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
        return STATUS_SUCCESS;
    }
    // Removal has begun: this acquisition does not count.
    {
        std::lock_guard<std::mutex> guard(RecordLock);
        auto it = Records.find(RemoveLock);
        if (it != Records.end()) {
            Unbook(it->second, Tag);
        }
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    if (!CheckSize(RemlockSize, "IoReleaseRemoveLockEx")) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(RecordLock);
        LockRecord* record = Find(RemoveLock, "IoReleaseRemoveLock");
        if (record == nullptr) {
            return;
        }
        if (!Unbook(*record, Tag)) {
            Report("IoReleaseRemoveLock(%p, tag %p) without a matching IoAcquireRemoveLock",
                   static_cast<void*>(RemoveLock), Tag);
            return;
        }
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                             ULONG RemlockSize)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    if (!CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx")) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(RecordLock);
        LockRecord* record = Find(RemoveLock, "IoReleaseRemoveLockAndWait");
        if (record == nullptr) {
            return;
        }
        if (record->Waited) {
            Report("IoReleaseRemoveLockAndWait(%p) called a second time",
                   static_cast<void*>(RemoveLock));
            return;
        }
        if (!Unbook(*record, Tag)) {
            Report("IoReleaseRemoveLockAndWait(%p, tag %p) without a matching "
                   "IoAcquireRemoveLock: the caller must hold the lock",
                   static_cast<void*>(RemoveLock), Tag);
            return;
        }
        record->Waited = true;
    }
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);
    InterlockedDecrement(&RemoveLock->Common.IoCount); // the caller's acquisition
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE,
                              nullptr);
    }
}
