// The plug-and-play and power managers' entry points that drivers call: relation invalidation
// (handed to the simulated plug-and-play manager), the power IRP bookkeeping routines, and
// PoRequestPowerIrp, which builds a power IRP for the top of the target's stack and sends it from
// a thread of its own, as the power manager does from its worker threads.
#include "internal.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace hk {
namespace {

std::mutex ManagerLock;
std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> InvalidateHook;
std::vector<HkRelationsInvalidation> Invalidations;
std::vector<HkPowerStateRecord> PowerStates;
std::vector<PIRP> StartNextCalls;
std::vector<HkPowerRequest> Requests;
std::vector<std::thread> Senders;

struct PowerRequestContext {
    size_t Index;
    PDEVICE_OBJECT Target; // as passed to PoRequestPowerIrp
    PDEVICE_OBJECT Top;    // referenced until the request completes
    UCHAR MinorFunction;
    POWER_STATE State;
    PREQUEST_POWER_COMPLETE CompletionFunction;
    PVOID Context;
};

// Completion routine in the IRP's last location, which belongs to the power manager.
NTSTATUS PowerRequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    PowerRequestContext* request = static_cast<PowerRequestContext*>(Context);
    {
        std::lock_guard<std::mutex> guard(ManagerLock);
        Requests[request->Index].Result = Irp->IoStatus.Status;
    }
    if (request->CompletionFunction != nullptr) {
        request->CompletionFunction(request->Target, request->MinorFunction, request->State,
                                    request->Context, &Irp->IoStatus);
    }
    FreeIrpInternal(Irp);
    ObfDereferenceObject(request->Top);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void JoinSenders()
{
    JoinAll(ManagerLock, Senders);
}

} // namespace

void ResetPower()
{
    JoinSenders();
    std::lock_guard<std::mutex> guard(ManagerLock);
    InvalidateHook = nullptr;
    Invalidations.clear();
    PowerStates.clear();
    StartNextCalls.clear();
    Requests.clear();
}

void CheckCleanPower(bool& clean)
{
    // Let every sender finish its dispatch call, so that what it finds is reported in this test.
    JoinSenders();
    std::vector<HkPowerRequest> open;
    {
        std::lock_guard<std::mutex> guard(ManagerLock);
        for (const HkPowerRequest& request : Requests) {
            if (request.Result == STATUS_PENDING) {
                open.push_back(request);
            }
        }
    }
    for (const HkPowerRequest& request : open) {
        Report("the power IRP (minor 0x%02X) requested for device %p never completed",
               request.MinorFunction, static_cast<void*>(request.Target));
        clean = false;
    }
}

} // namespace hk

using namespace hk;

extern "C" VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook;
    {
        std::lock_guard<std::mutex> guard(ManagerLock);
        Invalidations.push_back(HkRelationsInvalidation{DeviceObject, Type});
        hook = InvalidateHook;
    }
    if (hook) {
        hook(DeviceObject, Type);
    }
}

void HkSetInvalidateRelationsHook(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook)
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    InvalidateHook = std::move(hook);
}

std::vector<HkRelationsInvalidation> HkRelationsInvalidations()
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    return Invalidations;
}

extern "C" VOID PoStartNextPowerIrp(PIRP Irp)
{
    if (!IrpIsLive(Irp)) {
        Report("PoStartNextPowerIrp(%p): not a live IRP", static_cast<void*>(Irp));
        return;
    }
    if (Irp->CurrentLocation > Irp->StackCount ||
        IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        Report("PoStartNextPowerIrp(%s): not a power IRP held by the caller",
               IrpDescription(Irp).c_str());
    }
    std::lock_guard<std::mutex> guard(ManagerLock);
    StartNextCalls.push_back(Irp);
}

std::vector<PIRP> HkStartNextPowerIrps()
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    return StartNextCalls;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IrpIsLive(Irp) && Irp->CurrentLocation > 1 &&
        IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
        Report("PoCallDriver with a %s request",
               MajorName(IoGetNextIrpStackLocation(Irp)->MajorFunction));
    }
    return IofCallDriver(DeviceObject, Irp);
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                       POWER_STATE State)
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    POWER_STATE previous = State;
    for (auto it = PowerStates.rbegin(); it != PowerStates.rend(); ++it) {
        if (it->Device == DeviceObject && it->Type == Type) {
            previous = it->State;
            break;
        }
    }
    PowerStates.push_back(HkPowerStateRecord{DeviceObject, Type, State});
    return previous;
}

std::vector<HkPowerStateRecord> HkPowerStateRecords()
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    return PowerStates;
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState,
                                      PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context,
                                      PIRP* Irp)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (ShouldFail(HkFault::RequestPowerIrp)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = AllocateIrpInternal(static_cast<CCHAR>(top->StackSize + 1));
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The first location is the power manager's own; the drivers of the stack get the others.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_POWER;
    own->MinorFunction = MinorFunction;
    own->DeviceObject = DeviceObject;

    PowerRequestContext* request = new PowerRequestContext{
        0, DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context};
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (Irp != nullptr) {
        *Irp = irp;
    }

    std::lock_guard<std::mutex> guard(ManagerLock);
    request->Index = Requests.size();
    Requests.push_back(HkPowerRequest{DeviceObject, MinorFunction, PowerState, STATUS_PENDING});
    Senders.emplace_back([top, irp] { IofCallDriver(top, irp); });
    return STATUS_PENDING;
}

std::vector<HkPowerRequest> HkPowerRequests()
{
    std::lock_guard<std::mutex> guard(ManagerLock);
    return Requests;
}

void HkWaitPowerRequests()
{
    JoinSenders();
}
