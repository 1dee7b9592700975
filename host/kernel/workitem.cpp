// Work items: IoQueueWorkItem runs the routine on a worker thread of its own at PASSIVE_LEVEL,
// as the system's worker threads do, holding a reference on the device object until the routine
// returns. A work item is one allocation: queueing it again while it is still queued, freeing it
// while it is queued, and leaving it allocated at the end are the misuse the verifier reports.
#include "internal.h"

#include <algorithm>
#include <mutex>
#include <thread>

struct _IO_WORKITEM {
    PDEVICE_OBJECT Device;
    bool Queued;
};

namespace hk {
namespace {

std::mutex WorkLock;
std::vector<_IO_WORKITEM*> Allocated;
std::vector<std::thread> Workers;

void JoinWorkers()
{
    JoinAll(WorkLock, Workers);
}

} // namespace

void ResetWorkItems()
{
    JoinWorkers();
    std::lock_guard<std::mutex> guard(WorkLock);
    for (_IO_WORKITEM* item : Allocated) {
        delete item;
    }
    Allocated.clear();
}

void CheckCleanWorkItems(bool& clean)
{
    JoinWorkers();
    std::lock_guard<std::mutex> guard(WorkLock);
    for (_IO_WORKITEM* item : Allocated) {
        Report("the work item %p of device %p was never freed", static_cast<void*>(item),
               static_cast<void*>(item->Device));
        clean = false;
    }
}

} // namespace hk

using namespace hk;

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    auto* item = new _IO_WORKITEM{DeviceObject, false};
    std::lock_guard<std::mutex> guard(WorkLock);
    Allocated.push_back(item);
    return item;
}

extern "C" VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    (void)QueueType;
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    std::lock_guard<std::mutex> guard(WorkLock);
    if (IoWorkItem->Queued) {
        Report("work item %p queued again before its routine ran", static_cast<void*>(IoWorkItem));
        return;
    }
    IoWorkItem->Queued = true;
    ObfReferenceObject(IoWorkItem->Device);
    Workers.emplace_back([IoWorkItem, WorkerRoutine, Context] {
        PDEVICE_OBJECT device = IoWorkItem->Device;
        {
            std::lock_guard<std::mutex> inner(WorkLock);
            IoWorkItem->Queued = false; // the routine may queue it again
        }
        WorkerRoutine(device, Context);
        if (CurrentThread().Irql != PASSIVE_LEVEL) {
            Report("a work item routine returned at IRQL %d", CurrentThread().Irql);
        }
        ObfDereferenceObject(device);
    });
}

extern "C" VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    std::lock_guard<std::mutex> guard(WorkLock);
    auto it = std::find(Allocated.begin(), Allocated.end(), IoWorkItem);
    if (it == Allocated.end()) {
        Report("IoFreeWorkItem of %p, which is no allocated work item",
               static_cast<void*>(IoWorkItem));
        return;
    }
    if (IoWorkItem->Queued) {
        Report("work item %p freed while still queued", static_cast<void*>(IoWorkItem));
    }
    Allocated.erase(it);
    delete IoWorkItem;
}
