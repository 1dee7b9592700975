// I/O manager: driver and device objects, device stacks, object references, and IRPs with their
// stack locations, dispatch and completion. Completion follows the kernel's walk: each location's
// completion routine belongs to the driver above it, PendingReturned is taken from the location
// being left, a location without a routine passes the pending mark up, and
// STATUS_MORE_PROCESSING_REQUIRED stops the walk and hands the IRP back to that routine's driver.
//
// Objects are tracked in side tables so that misuse is recognised: freed IRPs and device objects
// (with their extensions) are filled, poisoned for AddressSanitizer and kept in a bounded
// quarantine, so a later use is an ASan error (or at least finds them marked freed) instead of
// reaching reused memory.
#include "internal.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

namespace hk {
namespace {

constexpr unsigned char FreedFill = 0xDD;
constexpr ULONG DeletePending = 0x2; // DOE_DELETE_PENDING
constexpr size_t IrpQuarantineLimit = 1u << 15;
constexpr size_t DeviceQuarantineLimit = 1u << 12;

struct DeviceRec {
    unsigned char* Memory;
    size_t Size;
    LONG References;
    bool Deleted;
    bool Freed;
    PDEVICE_OBJECT AttachedTo;
    std::u16string Name;
    PDRIVER_OBJECT Driver;
};

struct DriverRec {
    unsigned char* Memory;
    LONG References;
    bool Unloaded;
    std::u16string Name;        // \Driver\<name>
    std::u16string ServiceName; // <name>
};

// What the verifier knows of one stack location in the current round of dispatch and completion.
// Whether a dispatch routine's answer agrees with the location's pending mark can be decided only
// once both have happened: a driver that returns the lower driver's STATUS_PENDING marks its
// location later, from its completion routine.
struct DispatchReturn {
    NTSTATUS Status;
    std::string Routine; // for the report
    // Answered below a forced-pending call, by the driver the request was carried to or one it
    // skip-forwarded to: only its own mark counts for it.
    bool BelowForced = false;
};

struct LocationTrack {
    bool Dispatched = false;
    bool Walked = false;
    bool PendingSeen = false;
    // Forced pending answered STATUS_PENDING for the driver of this location: the walk up marks
    // it pending (and so do the drivers above that skip-forwarded into it and returned that
    // answer), but the driver itself never sees the mark, nor does one it skip-forwards to.
    bool Forced = false;
    std::vector<DispatchReturn> Returns; // answers not yet checked against the mark
};

void CheckPendingAgreement(const DispatchReturn& answer, const LocationTrack& track)
{
    const bool marked = track.PendingSeen || (track.Forced && !answer.BelowForced);
    if (answer.Status == STATUS_PENDING && !marked) {
        Report("%s returned STATUS_PENDING without IoMarkIrpPending (nor a completion routine "
               "that marks the IRP pending)",
               answer.Routine.c_str());
    } else if (answer.Status != STATUS_PENDING && marked) {
        Report("%s marked the IRP pending but returned 0x%08X instead of STATUS_PENDING",
               answer.Routine.c_str(), static_cast<unsigned>(answer.Status));
    }
}

struct IrpTrack {
    unsigned char* Memory;
    size_t Size;
    bool Freed;
    bool Threaded; // built by IoBuildSynchronousFsdRequest: the I/O manager finishes and frees it
    std::vector<LocationTrack> Locations; // indexed by location number, 1..StackCount
    // Set at the first IofCallDriver: a driver that skips its location and passes the IRP on
    // brings CurrentLocation back to StackCount + 1, which is not a first send.
    bool Sent = false;
    // A user request's IRP: the I/O manager's completion work, run at the top of the stack.
    UserIrpFinish Finish = nullptr;
    void* FinishContext = nullptr;
};

std::mutex IoLock;
std::unordered_map<const DEVICE_OBJECT*, DeviceRec> Devices;
std::unordered_map<const DRIVER_OBJECT*, DriverRec> Drivers;
std::unordered_map<const IRP*, IrpTrack> Irps;
std::deque<const IRP*> IrpQuarantine;
std::deque<const DEVICE_OBJECT*> DeviceQuarantine;
unsigned AutoNameCounter;
UCHAR WdmMajor = 1;
UCHAR WdmMinor = 0x30;

// Forced pending below one driver (HkForcePendingBelow): the requests its devices send down are
// carried to the lower driver by these threads.
std::atomic<PDRIVER_OBJECT> ForcedBelow{nullptr};
thread_local const IRP* CarryingForced = nullptr; // the request a forwarder thread carries down
std::mutex ForwardLock;
std::vector<std::thread> Forwarders;

NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, CHAR location, bool checkAnswer);

// A request to this device comes from the driver whose requests are forced pending: the device
// right above it in the stack is one of that driver's.
bool ForcedPendingFor(PDEVICE_OBJECT target)
{
    PDRIVER_OBJECT forced = ForcedBelow.load();
    PDEVICE_OBJECT above = target->AttachedDevice;
    return forced != nullptr && above != nullptr && above->DriverObject == forced;
}

// Up to a millisecond, as the lower driver would take to get to it.
void ForcedPendingDelay()
{
    static std::mutex lock;
    static std::minstd_rand random(7);
    unsigned microseconds;
    {
        std::lock_guard<std::mutex> guard(lock);
        microseconds = static_cast<unsigned>(random() % 1000);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

size_t RoundUp16(size_t n)
{
    return (n + 15) & ~static_cast<size_t>(15);
}

// Under IoLock.
DeviceRec* FindDevice(const DEVICE_OBJECT* device)
{
    auto it = Devices.find(device);
    return it == Devices.end() ? nullptr : &it->second;
}

std::string DriverNameOf(const DEVICE_OBJECT* device)
{
    DeviceRec* rec = FindDevice(device);
    if (rec == nullptr) {
        return "?";
    }
    auto it = Drivers.find(rec->Driver);
    return it == Drivers.end() ? "?" : Narrow(it->second.Name);
}

// Freed memory is filled, poisoned and kept out of the C library's hands for a while, so that a
// late use is an ASan error (or at least finds the object marked freed) instead of reaching an
// object that took the address next. The oldest of a full quarantine is finally released.
template <typename Object, typename Record>
void Quarantine(std::unordered_map<const Object*, Record>& table, std::deque<const Object*>& queue,
                size_t limit, const Object* object, Record& record)
{
    memset(record.Memory, FreedFill, record.Size);
    HK_POISON(record.Memory, record.Size);
    record.Freed = true;
    queue.push_back(object);
    if (queue.size() > limit) {
        auto oldest = table.find(queue.front());
        queue.pop_front();
        if (oldest != table.end() && oldest->second.Freed) {
            HK_UNPOISON(oldest->second.Memory, oldest->second.Size);
            free(oldest->second.Memory);
            table.erase(oldest);
        }
    }
}

// The object manager takes the memory back with the last reference. Whatever still points into
// it (a completion routine's context, a pointer kept in another extension) now points at memory
// the platform may hand to anyone.
void FreeDeviceMemory(const DEVICE_OBJECT* device, DeviceRec& rec)
{
    CheckNoHeldMutexIn(rec.Memory, rec.Size, "device object with its extension");
    OrderForget(rec.Memory, rec.Size);
    MemoryFreed(rec.Memory, rec.Size, "device object with its extension");
    Quarantine(Devices, DeviceQuarantine, DeviceQuarantineLimit, device, rec);
}

void FreeIrpMemory(const IRP* irp, IrpTrack& track)
{
    Quarantine(Irps, IrpQuarantine, IrpQuarantineLimit, irp, track);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PIRP AllocateIrp(CCHAR stackSize, bool threaded)
{
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    unsigned char* memory = static_cast<unsigned char*>(aligned_alloc(16, RoundUp16(size)));
    if (memory == nullptr) {
        return nullptr;
    }
    PIRP irp = reinterpret_cast<PIRP>(memory);
    IoInitializeIrp(irp, static_cast<USHORT>(size), stackSize);
    std::lock_guard<std::mutex> guard(IoLock);
    auto old = Irps.find(irp);
    if (old != Irps.end()) {
        Irps.erase(old); // address reused after the quarantine let it go
    }
    Irps[irp] = IrpTrack{memory, size, false, threaded,
                         std::vector<LocationTrack>(static_cast<size_t>(stackSize) + 2)};
    return irp;
}

} // namespace

std::string IrpDescription(const IRP* irp)
{
    if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        const IO_STACK_LOCATION* sp = irp->Tail.Overlay.CurrentStackLocation;
        return Format("IRP %p (%s minor 0x%02X)", static_cast<const void*>(irp),
                      MajorName(sp->MajorFunction), sp->MinorFunction);
    }
    return Format("IRP %p", static_cast<const void*>(irp));
}

PIRP AllocateIrpInternal(CCHAR stackSize)
{
    return AllocateIrp(stackSize, false);
}

PIRP AllocateUserIrp(CCHAR stackSize, UserIrpFinish finish, void* context)
{
    PIRP irp = AllocateIrp(stackSize, false);
    std::lock_guard<std::mutex> guard(IoLock);
    IrpTrack& track = Irps[irp];
    track.Finish = finish;
    track.FinishContext = context;
    return irp;
}

PDEVICE_OBJECT ReferenceDeviceByName(const std::u16string& path, std::u16string* remainder)
{
    std::u16string wanted = Upcase(path);
    std::lock_guard<std::mutex> guard(IoLock);
    const DEVICE_OBJECT* best = nullptr;
    DeviceRec* bestRec = nullptr;
    for (auto& entry : Devices) {
        DeviceRec& rec = entry.second;
        if (rec.Freed || rec.Name.empty()) {
            continue;
        }
        std::u16string name = Upcase(rec.Name);
        bool matches = wanted.compare(0, name.size(), name) == 0 &&
                       (wanted.size() == name.size() || wanted[name.size()] == u'\\');
        if (!matches) {
            continue;
        }
        bool better = bestRec == nullptr || rec.Name.size() > bestRec->Name.size() ||
                      (rec.Name.size() == bestRec->Name.size() && bestRec->Deleted && !rec.Deleted);
        if (better) {
            best = entry.first;
            bestRec = &rec;
        }
    }
    if (bestRec == nullptr) {
        return nullptr;
    }
    ++bestRec->References;
    *remainder = path.substr(bestRec->Name.size());
    return const_cast<PDEVICE_OBJECT>(best);
}

bool DeviceNameExists(const std::u16string& name)
{
    std::u16string wanted = Upcase(name);
    std::lock_guard<std::mutex> guard(IoLock);
    for (const auto& entry : Devices) {
        if (!entry.second.Freed && !entry.second.Deleted && Upcase(entry.second.Name) == wanted) {
            return true;
        }
    }
    return false;
}

bool DriverUnloaded(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(device);
    if (rec == nullptr || rec->Freed) {
        return true;
    }
    auto driver = Drivers.find(rec->Driver);
    return driver == Drivers.end() || driver->second.Unloaded;
}

void FreeIrpInternal(PIRP irp)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Irps.find(irp);
    if (it != Irps.end() && !it->second.Freed) {
        FreeIrpMemory(irp, it->second);
    }
}

bool IrpIsLive(const IRP* irp)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Irps.find(irp);
    return it != Irps.end() && !it->second.Freed;
}

size_t IrpsOutstanding()
{
    std::lock_guard<std::mutex> guard(IoLock);
    size_t count = 0;
    for (const auto& entry : Irps) {
        count += entry.second.Freed ? 0 : 1;
    }
    return count;
}

void ResetIo()
{
    std::lock_guard<std::mutex> guard(IoLock);
    for (auto& entry : Devices) {
        HK_UNPOISON(entry.second.Memory, entry.second.Size);
        free(entry.second.Memory);
    }
    for (auto& entry : Drivers) {
        free(entry.second.Memory);
    }
    for (auto& entry : Irps) {
        HK_UNPOISON(entry.second.Memory, entry.second.Size);
        free(entry.second.Memory);
    }
    Devices.clear();
    Drivers.clear();
    Irps.clear();
    IrpQuarantine.clear();
    DeviceQuarantine.clear();
    AutoNameCounter = 0;
    WdmMajor = 1;
    WdmMinor = 0x30;
}

void CheckCleanIo(bool& clean)
{
    std::vector<std::string> findings;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        for (const auto& entry : Drivers) {
            if (!entry.second.Unloaded) {
                findings.push_back(
                    Format("driver %s was not unloaded", Narrow(entry.second.Name).c_str()));
            }
        }
        for (const auto& entry : Devices) {
            const DeviceRec& rec = entry.second;
            if (rec.Freed) {
                continue;
            }
            if (!rec.Deleted) {
                findings.push_back(Format("device object %p of %s was not deleted",
                                          static_cast<const void*>(entry.first),
                                          DriverNameOf(entry.first).c_str()));
            } else {
                findings.push_back(Format("device object %p of %s was deleted but %d object "
                                          "references are left over",
                                          static_cast<const void*>(entry.first),
                                          DriverNameOf(entry.first).c_str(), rec.References));
            }
        }
        for (const auto& entry : Irps) {
            if (!entry.second.Freed) {
                findings.push_back(
                    Format("%s is still allocated", IrpDescription(entry.first).c_str()));
            }
        }
    }
    for (const std::string& finding : findings) {
        Report("at the end of the test: %s", finding.c_str());
        clean = false;
    }
}

} // namespace hk

using namespace hk;

// ---------------------------------------------------------------------------------------------
// Drivers

PDRIVER_OBJECT HkLoadDriver(PDRIVER_INITIALIZE entry, const WCHAR* name)
{
    std::u16string service;
    for (const WCHAR* p = name; *p; ++p) {
        service += static_cast<char16_t>(*p);
    }
    size_t size = RoundUp16(sizeof(DRIVER_OBJECT)) + sizeof(DRIVER_EXTENSION);
    unsigned char* memory = static_cast<unsigned char*>(aligned_alloc(16, RoundUp16(size)));
    memset(memory, 0, size);
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(memory);
    PDRIVER_EXTENSION extension =
        reinterpret_cast<PDRIVER_EXTENSION>(memory + RoundUp16(sizeof(DRIVER_OBJECT)));
    DriverRec* rec;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        rec = &Drivers[driver];
        *rec = DriverRec{memory, 1, false, u"\\Driver\\" + service, service};
    }
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = extension;
    driver->DriverName.Buffer = reinterpret_cast<PWCH>(&rec->Name[0]);
    driver->DriverName.Length = static_cast<USHORT>(rec->Name.size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    driver->DriverInit = entry;
    extension->DriverObject = driver;
    extension->ServiceKeyName.Buffer = reinterpret_cast<PWCH>(&rec->ServiceName[0]);
    extension->ServiceKeyName.Length = static_cast<USHORT>(rec->ServiceName.size() * 2);
    extension->ServiceKeyName.MaximumLength = extension->ServiceKeyName.Length;
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }

    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    RegistryEnsureKey(path); // a loaded driver has its service key
    UNICODE_STRING registryPath;
    registryPath.Buffer = reinterpret_cast<PWCH>(&path[0]);
    registryPath.Length = static_cast<USHORT>(path.size() * 2);
    registryPath.MaximumLength = registryPath.Length;

    ThreadState& thread = CurrentThread();
    int mutexesBefore = thread.OwnedMutexes;
    NTSTATUS status = entry(driver, &registryPath);
    if (thread.OwnedMutexes != mutexesBefore) {
        Report("DriverEntry of %s returned holding a mutex", Narrow(service).c_str());
    }
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(IoLock);
        if (driver->DeviceObject != nullptr) {
            Report("DriverEntry of %s failed (0x%08X) but left device objects behind",
                   Narrow(service).c_str(), static_cast<unsigned>(status));
            rec->Unloaded = true;
            return nullptr;
        }
        Drivers.erase(driver);
        free(memory);
        return nullptr;
    }
    return driver;
}

void HkUnloadDriver(PDRIVER_OBJECT driver)
{
    std::string name;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Drivers.find(driver);
        if (it == Drivers.end() || it->second.Unloaded) {
            Report("HkUnloadDriver(%p): not a loaded driver", static_cast<void*>(driver));
            return;
        }
        name = Narrow(it->second.Name);
    }
    if (driver->DriverUnload != nullptr) {
        int mutexesBefore = CurrentThread().OwnedMutexes;
        driver->DriverUnload(driver);
        if (CurrentThread().OwnedMutexes != mutexesBefore) {
            Report("the unload routine of %s returned holding a mutex", name.c_str());
        }
    }
    // A power request's IRP belongs to the power manager, which frees it on the sender's thread
    // after the completion function has run: a driver woken by that function may be unloaded
    // before the free. Let every sender finish before counting what is left.
    HkWaitPowerRequests();
    std::vector<std::string> findings;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        Drivers[driver].Unloaded = true;
        for (const auto& entry : Devices) {
            if (entry.second.Driver == driver && !entry.second.Deleted) {
                findings.push_back(Format("device object %p of %s is not deleted when the driver "
                                          "unloads",
                                          static_cast<const void*>(entry.first), name.c_str()));
            }
        }
        for (const auto& entry : Irps) {
            if (!entry.second.Freed) {
                findings.push_back(Format("%s is still allocated when %s unloads",
                                          IrpDescription(entry.first).c_str(), name.c_str()));
            }
        }
    }
    for (const std::string& finding : findings) {
        Report("%s", finding.c_str());
    }
    CheckUnloadPool();
}

void HkSetWdmVersion(UCHAR major, UCHAR minor)
{
    std::lock_guard<std::mutex> guard(IoLock);
    WdmMajor = major;
    WdmMinor = minor;
}

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return MajorVersion < WdmMajor || (MajorVersion == WdmMajor && MinorVersion <= WdmMinor);
}

// ---------------------------------------------------------------------------------------------
// Device objects

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                   PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                   ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                   PDEVICE_OBJECT* DeviceObject)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL) {
        Report("IoCreateDevice at IRQL %d", CurrentThread().Irql);
    }
    std::lock_guard<std::mutex> guard(IoLock);
    auto driverIt = Drivers.find(DriverObject);
    if (driverIt == Drivers.end() || driverIt->second.Unloaded) {
        Report("IoCreateDevice for %p, which is not a loaded driver object",
               static_cast<void*>(DriverObject));
        return STATUS_INVALID_PARAMETER;
    }
    if (ShouldFail(HkFault::CreateDevice)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string name;
    if (DeviceName != nullptr && DeviceName->Length != 0) {
        name = FromCounted(DeviceName);
        for (const auto& entry : Devices) {
            if (!entry.second.Deleted && entry.second.Name == name) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    } else if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
        char text[32];
        snprintf(text, sizeof(text), "\\Device\\%08x", ++AutoNameCounter);
        for (const char* p = text; *p; ++p) {
            name += static_cast<char16_t>(*p);
        }
    }

    size_t objectSize = RoundUp16(sizeof(DEVICE_OBJECT));
    size_t dopeSize = RoundUp16(sizeof(DEVOBJ_EXTENSION));
    size_t size = objectSize + dopeSize + RoundUp16(DeviceExtensionSize);
    unsigned char* memory = static_cast<unsigned char*>(aligned_alloc(16, size));
    memset(memory, 0, size);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(memory);
    PDEVOBJ_EXTENSION dope = reinterpret_cast<PDEVOBJ_EXTENSION>(memory + objectSize);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING;
    if (Exclusive) {
        device->Flags |= DO_EXCLUSIVE;
    }
    if (!name.empty()) {
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->Characteristics = DeviceCharacteristics;
    device->DeviceExtension = DeviceExtensionSize ? memory + objectSize + dopeSize : nullptr;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    device->DeviceObjectExtension = dope;
    InitializeListHead(&device->Queue.ListEntry);
    dope->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    dope->Size = static_cast<USHORT>(sizeof(DEVOBJ_EXTENSION));
    dope->DeviceObject = device;

    // The device lock event is signalled and unused here; set its state without the dispatcher.
    device->DeviceLock.Header.Type = 1;
    device->DeviceLock.Header.Size = sizeof(KEVENT) / sizeof(LONG);
    device->DeviceLock.Header.SignalState = 1;
    InitializeListHead(&device->DeviceLock.Header.WaitListHead);

    // New device objects go to the head of the driver's list, as Windows links them.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;

    Devices[device] = DeviceRec{memory, size, 1, false, false, nullptr, name, DriverObject};
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    DeviceRemoved(DeviceObject);
    WmiDeviceDeleted(DeviceObject);
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(DeviceObject);
    if (rec == nullptr || rec->Freed) {
        Report("IoDeleteDevice(%p): not a device object", static_cast<void*>(DeviceObject));
        return;
    }
    if (rec->Deleted) {
        Report("IoDeleteDevice(%p): the device object was already deleted",
               static_cast<void*>(DeviceObject));
        return;
    }
    // A bus driver deletes a removed child while the function driver above is still attached (it
    // detaches on its way back from the remove request); the object stays while referenced.
    if (rec->AttachedTo != nullptr) {
        Report("IoDeleteDevice(%p) while it is still attached to device %p (IoDetachDevice "
               "first)",
               static_cast<void*>(DeviceObject), static_cast<void*>(rec->AttachedTo));
    }
    PDEVICE_OBJECT* link = &rec->Driver->DeviceObject;
    while (*link != nullptr && *link != DeviceObject) {
        link = &(*link)->NextDevice;
    }
    if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
    }
    rec->Deleted = true;
    DeviceObject->DeviceObjectExtension->ExtensionFlags |= DeletePending;
    // Drop the reference that creation took; the object stays while others hold references.
    if (--rec->References == 0) {
        FreeDeviceMemory(DeviceObject, *rec);
    }
}

extern "C" PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    while (DeviceObject->AttachedDevice != nullptr) {
        DeviceObject = DeviceObject->AttachedDevice;
    }
    return DeviceObject;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        top = IoGetAttachedDevice(DeviceObject);
    }
    ObfReferenceObject(top);
    return top;
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                      PDEVICE_OBJECT TargetDevice)
{
    if (ShouldFail(HkFault::AttachDevice)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* source = FindDevice(SourceDevice);
    DeviceRec* target = FindDevice(TargetDevice);
    if (source == nullptr || source->Freed || target == nullptr || target->Freed) {
        Report("IoAttachDeviceToDeviceStack(%p, %p): not device objects",
               static_cast<void*>(SourceDevice), static_cast<void*>(TargetDevice));
        return nullptr;
    }
    if (source->AttachedTo != nullptr) {
        Report("IoAttachDeviceToDeviceStack(%p): the device is already attached to %p",
               static_cast<void*>(SourceDevice), static_cast<void*>(source->AttachedTo));
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    DeviceRec* topRec = FindDevice(top);
    if (topRec == nullptr || topRec->Deleted) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    if (top->AlignmentRequirement > SourceDevice->AlignmentRequirement) {
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    }
    if (SourceDevice->SectorSize == 0) {
        SourceDevice->SectorSize = top->SectorSize;
    }
    source->AttachedTo = top;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    DeviceRemoved(TargetDevice);
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* target = FindDevice(TargetDevice);
    if (target == nullptr || target->Freed) {
        Report("IoDetachDevice(%p): not a device object", static_cast<void*>(TargetDevice));
        return;
    }
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        Report("IoDetachDevice(%p): no device is attached to it", static_cast<void*>(TargetDevice));
        return;
    }
    DeviceRec* upperRec = FindDevice(upper);
    if (upperRec != nullptr) {
        upperRec->AttachedTo = nullptr;
    }
    if (upperRec != nullptr && !upperRec->Freed) {
        upper->DeviceObjectExtension->AttachedTo = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Object references. DEVICE_OBJECT.ReferenceCount counts opens and is not touched here.

extern "C" LONG_PTR ObfReferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto device = Devices.find(static_cast<const DEVICE_OBJECT*>(Object));
    if (device != Devices.end()) {
        if (device->second.Freed) {
            Report("ObfReferenceObject(%p): the device object was already freed", Object);
            return 0;
        }
        return ++device->second.References;
    }
    auto driver = Drivers.find(static_cast<const DRIVER_OBJECT*>(Object));
    if (driver != Drivers.end()) {
        return ++driver->second.References;
    }
    Report("ObfReferenceObject(%p): not an object of the object manager", Object);
    return 0;
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto device = Devices.find(static_cast<const DEVICE_OBJECT*>(Object));
    if (device != Devices.end()) {
        DeviceRec& rec = device->second;
        if (rec.Freed) {
            Report("ObfDereferenceObject(%p): the device object was already freed", Object);
            return 0;
        }
        LONG count = --rec.References;
        if (count < 0) {
            Report("ObfDereferenceObject(%p): the object reference count goes below zero", Object);
        } else if (count == 0 && !rec.Deleted) {
            Report("ObfDereferenceObject(%p): the last reference of a device object that is not "
                   "deleted was dropped (more dereferences than references)",
                   Object);
        } else if (count == 0) {
            FreeDeviceMemory(device->first, rec);
        }
        return count;
    }
    auto driver = Drivers.find(static_cast<const DRIVER_OBJECT*>(Object));
    if (driver != Drivers.end()) {
        LONG count = --driver->second.References;
        if (count < 0) {
            Report("ObfDereferenceObject(%p): the object reference count goes below zero", Object);
        }
        return count;
    }
    Report("ObfDereferenceObject(%p): not an object of the object manager", Object);
    return 0;
}

LONG HkObjectReferences(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(device);
    return rec == nullptr || rec->Freed ? 0 : rec->References;
}

bool HkDeviceExists(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(device);
    return rec != nullptr && !rec->Freed;
}

bool HkDeviceDeleted(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(device);
    return rec != nullptr && rec->Deleted;
}

std::u16string HkDeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRec* rec = FindDevice(device);
    return rec == nullptr ? std::u16string() : rec->Name;
}

// ---------------------------------------------------------------------------------------------
// IRPs

extern "C" VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
{
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (StackSize < 1) {
        Report("IoAllocateIrp with a stack size of %d", StackSize);
        return nullptr;
    }
    if (ShouldFail(HkFault::AllocateIrp)) {
        return nullptr;
    }
    return AllocateIrp(StackSize, false);
}

extern "C" VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Irps.find(Irp);
    if (it == Irps.end() || it->second.Freed) {
        Report("IoReuseIrp(%p): not a live IRP", static_cast<void*>(Irp));
        return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        Report("IoReuseIrp(%s) while a driver still holds a stack location",
               IrpDescription(Irp).c_str());
    }
    CCHAR stackSize = Irp->StackCount;
    IoInitializeIrp(Irp, Irp->Size, stackSize);
    Irp->IoStatus.Status = Iostatus;
    for (LocationTrack& location : it->second.Locations) {
        location = LocationTrack{};
    }
}

extern "C" VOID IoFreeIrp(PIRP Irp)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Irps.find(Irp);
    if (it == Irps.end()) {
        Report("IoFreeIrp(%p): not an IRP from IoAllocateIrp", static_cast<void*>(Irp));
        return;
    }
    if (it->second.Freed) {
        Report("IoFreeIrp(%p): the IRP was already freed", static_cast<void*>(Irp));
        return;
    }
    if (it->second.Threaded || it->second.Finish != nullptr) {
        Report("IoFreeIrp(%s): an IRP the I/O manager built belongs to it, and it frees it on "
               "completion",
               IrpDescription(Irp).c_str());
        return;
    }
    for (size_t location = 1; location < it->second.Locations.size(); ++location) {
        const LocationTrack& track = it->second.Locations[location];
        if (track.Dispatched && !track.Walked) {
            Report("IoFreeIrp(%s) while the driver at stack location %zu still holds it (sent "
                   "and not completed)",
                   IrpDescription(Irp).c_str(), location);
            break;
        }
    }
    if (Irp->CancelRoutine != nullptr) {
        Report("IoFreeIrp(%p) with a cancel routine still set", static_cast<void*>(Irp));
    }
    FreeIrpMemory(Irp, it->second);
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                             PVOID Buffer, ULONG Length,
                                             PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    if (CurrentThread().Irql != PASSIVE_LEVEL) {
        Report("IoBuildSynchronousFsdRequest at IRQL %d", CurrentThread().Irql);
    }
    switch (MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
    case IRP_MJ_PNP:
    case IRP_MJ_POWER:
        break;
    default:
        Report("IoBuildSynchronousFsdRequest for %s, which it does not build",
               MajorName(static_cast<UCHAR>(MajorFunction)));
        return nullptr;
    }
    if (ShouldFail(HkFault::BuildSynchronousFsdRequest)) {
        return nullptr;
    }
    PIRP irp = AllocateIrp(DeviceObject->StackSize, true);
    if (irp == nullptr) {
        return nullptr;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        irp->UserBuffer = Buffer;
        irp->AssociatedIrp.SystemBuffer = Buffer;
        next->Parameters.Read.Length = Length;
        if (StartingOffset != nullptr) {
            next->Parameters.Read.ByteOffset = *StartingOffset;
        }
    }
    return irp;
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ThreadState& thread = CurrentThread();
    if (thread.Irql > DISPATCH_LEVEL) {
        Report("IofCallDriver at IRQL %d", thread.Irql);
    }
    CHAR location;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Irps.find(Irp);
        if (it == Irps.end()) {
            Report("IofCallDriver with %p, which is not an IRP of the I/O manager",
                   static_cast<void*>(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        if (it->second.Freed) {
            Report("IofCallDriver with IRP %p after it was freed (an IRP is not touched once it "
                   "has been completed or passed on)",
                   static_cast<void*>(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        DeviceRec* device = FindDevice(DeviceObject);
        if (device == nullptr || device->Freed) {
            Report("IofCallDriver to %p, which is not a device object",
                   static_cast<void*>(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        // The I/O manager still cleans up and closes the file objects of a deleted device: they
        // hold references on it.
        UCHAR nextMajor = Irp->CurrentLocation > 1 ? IoGetNextIrpStackLocation(Irp)->MajorFunction
                                                   : IRP_MJ_MAXIMUM_FUNCTION;
        bool closing = it->second.Finish != nullptr &&
                       (nextMajor == IRP_MJ_CLEANUP || nextMajor == IRP_MJ_CLOSE);
        if (device->Deleted && !closing) {
            Report("IofCallDriver: %s sent to device %p after IoDeleteDevice",
                   IrpDescription(Irp).c_str(), static_cast<void*>(DeviceObject));
        }
        auto driver = Drivers.find(DeviceObject->DriverObject);
        if (driver != Drivers.end() && driver->second.Unloaded) {
            Report("IofCallDriver to device %p of an unloaded driver",
                   static_cast<void*>(DeviceObject));
        }
        if (Irp->CurrentLocation <= 1) {
            Report("IofCallDriver: no stack location left in IRP %p (stack size %d) for device "
                   "%p",
                   static_cast<void*>(Irp), Irp->StackCount, static_cast<void*>(DeviceObject));
            return STATUS_INVALID_PARAMETER;
        }
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        if (!it->second.Sent && Irp->CurrentLocation == Irp->StackCount + 1 &&
            next->MajorFunction == IRP_MJ_PNP && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
            Report("a plug-and-play IRP (minor 0x%02X) is sent with status 0x%08X; it must start "
                   "as STATUS_NOT_SUPPORTED",
                   next->MinorFunction, static_cast<unsigned>(Irp->IoStatus.Status));
        }
        it->second.Sent = true;
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        location = Irp->CurrentLocation;
        LocationTrack& track = it->second.Locations[static_cast<size_t>(location)];
        if (track.Walked) {
            track = LocationTrack{}; // a new round for this location
        }
        track.Dispatched = true;
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->DeviceObject = DeviceObject;
    if (ForcedPendingFor(DeviceObject)) {
        // The lower driver's answer, as far as the caller can tell: pending, and its completion
        // says so too.
        {
            std::lock_guard<std::mutex> guard(IoLock);
            Irps.at(Irp).Locations[static_cast<size_t>(location)].Forced = true;
        }
        std::lock_guard<std::mutex> guard(ForwardLock);
        Forwarders.emplace_back([DeviceObject, Irp, location] {
            ForcedPendingDelay();
            CarryingForced = Irp;
            Dispatch(DeviceObject, Irp, location, false);
            CarryingForced = nullptr;
        });
        return STATUS_PENDING;
    }
    return Dispatch(DeviceObject, Irp, location, true);
}

namespace hk {
namespace {

// Calls the dispatch routine of the IRP's current location and checks how it returns.
// checkAnswer: its status is the caller's answer, to be held against the location's pending mark.
NTSTATUS Dispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, CHAR location, bool checkAnswer)
{
    ThreadState& thread = CurrentThread();
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    UCHAR major = sp->MajorFunction;
    UCHAR minor = sp->MinorFunction;
    KIRQL irqlBefore = thread.Irql;
    int mutexesBefore = thread.OwnedMutexes;

    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);

    if (thread.Irql != irqlBefore) {
        Report("the %s dispatch routine (minor 0x%02X) of device %p returned at IRQL %d; it was "
               "called at %d",
               MajorName(major), minor, static_cast<void*>(DeviceObject), thread.Irql, irqlBefore);
    }
    if (thread.OwnedMutexes > mutexesBefore) {
        Report("the %s dispatch routine (minor 0x%02X) of device %p returned holding a mutex",
               MajorName(major), minor, static_cast<void*>(DeviceObject));
    }
    if (!checkAnswer) {
        return status;
    }
    DispatchReturn answer{status,
                          Format("the %s dispatch routine (minor 0x%02X) of device %p",
                                 MajorName(major), minor, static_cast<void*>(DeviceObject)),
                          CarryingForced == Irp};
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Irps.find(Irp);
    if (it == Irps.end()) {
        return status;
    }
    LocationTrack& track = it->second.Locations[static_cast<size_t>(location)];
    if (track.Walked) {
        CheckPendingAgreement(answer, track);
    } else {
        track.Returns.push_back(std::move(answer));
    }
    return status;
}

} // namespace
} // namespace hk

extern "C" VOID IofCompleteRequest(PIRP Irp, CCHAR)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Irps.find(Irp);
        if (it == Irps.end()) {
            Report("IofCompleteRequest with %p, which is not an IRP of the I/O manager",
                   static_cast<void*>(Irp));
            return;
        }
        if (it->second.Freed) {
            Report("IofCompleteRequest on IRP %p after it was freed (completed twice, or touched "
                   "after completion)",
                   static_cast<void*>(Irp));
            return;
        }
        if (Irp->CurrentLocation > Irp->StackCount) {
            Report("IRP %p completed twice: IofCompleteRequest when no driver holds a stack "
                   "location (it was already completed)",
                   static_cast<void*>(Irp));
            return;
        }
        if (Irp->CurrentLocation < 1) {
            Report("IofCompleteRequest on IRP %p with a stack location below the first",
                   static_cast<void*>(Irp));
            return;
        }
        if (Irp->IoStatus.Status == STATUS_PENDING) {
            Report("%s completed with STATUS_PENDING", IrpDescription(Irp).c_str());
        }
        // Read as IoCancelIrp writes it, atomically: a cancel on another processor may be
        // exchanging the (already cleared) routine this very moment.
        if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
            Report("%s completed with a cancel routine still set", IrpDescription(Irp).c_str());
        }
    }

    for (;;) {
        PIO_STACK_LOCATION sp;
        UCHAR control;
        bool forced;
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        PDEVICE_OBJECT device;
        bool deviceFreed;
        bool top;
        {
            std::lock_guard<std::mutex> guard(IoLock);
            auto it = Irps.find(Irp);
            if (it == Irps.end() || it->second.Freed) {
                Report("IRP %p was freed during its completion without "
                       "STATUS_MORE_PROCESSING_REQUIRED",
                       static_cast<void*>(Irp));
                return;
            }
            if (Irp->CurrentLocation > Irp->StackCount) {
                break;
            }
            sp = IoGetCurrentIrpStackLocation(Irp);
            LocationTrack& track = it->second.Locations[static_cast<size_t>(Irp->CurrentLocation)];
            control = sp->Control;
            forced = track.Forced;
            routine = sp->CompletionRoutine;
            context = sp->Context;
            track.Walked = true;
            track.PendingSeen = (control & SL_PENDING_RETURNED) != 0;
            for (const DispatchReturn& answer : track.Returns) {
                CheckPendingAgreement(answer, track);
            }
            track.Returns.clear();
            // What the kernel clears in a location it leaves.
            sp->MinorFunction = 0;
            sp->Flags = 0;
            sp->Control = 0;
            memset(&sp->Parameters.Others, 0, sizeof(sp->Parameters.Others));
            sp->FileObject = nullptr;
            sp->CompletionRoutine = nullptr;
            sp->Context = nullptr;
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            top = Irp->CurrentLocation == Irp->StackCount + 1;
            // The routine runs for the driver of the location above, with that location's device.
            device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            DeviceRec* rec = device == nullptr ? nullptr : FindDevice(device);
            deviceFreed = rec != nullptr && rec->Freed;
        }
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) || forced ? TRUE : FALSE;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (deviceFreed) {
                // The object manager has taken that device (and its extension) back: the routine
                // and whatever context it was given point into memory the platform may reuse.
                Report("%s: completion routine %p is called for device object %p, which was "
                       "deleted and freed while the IRP was below it",
                       IrpDescription(Irp).c_str(), reinterpret_cast<void*>(routine),
                       static_cast<void*>(device));
            }
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return; // the IRP belongs to that routine's driver again
            }
        } else if (Irp->PendingReturned && !top) {
            IoMarkIrpPending(Irp);
        }
    }

    // Completed to the top of its stack: the I/O manager finishes the request.
    PKEVENT event = nullptr;
    UserIrpFinish finish = nullptr;
    void* finishContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Irps.find(Irp);
        finish = it->second.Finish;
        finishContext = it->second.FinishContext;
    }
    if (finish != nullptr) {
        finish(Irp, finishContext);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Irps.find(Irp);
        if (!it->second.Threaded) {
            Report("IRP %p from IoAllocateIrp completed to the top of its stack: no completion "
                   "routine returned STATUS_MORE_PROCESSING_REQUIRED, so the I/O manager cannot "
                   "finish it",
                   static_cast<void*>(Irp));
            return;
        }
        if (Irp->UserIosb != nullptr) {
            *Irp->UserIosb = Irp->IoStatus;
        }
        event = Irp->UserEvent;
        FreeIrpMemory(Irp, it->second);
    }
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

void HkForcePendingBelow(PDRIVER_OBJECT driver)
{
    ForcedBelow.store(driver);
}

namespace hk {

void JoinForwarders()
{
    for (;;) {
        std::vector<std::thread> forwarders;
        {
            std::lock_guard<std::mutex> guard(ForwardLock);
            if (Forwarders.empty()) {
                return;
            }
            forwarders.swap(Forwarders);
        }
        for (std::thread& forwarder : forwarders) {
            if (forwarder.get_id() == std::this_thread::get_id()) {
                forwarder.detach(); // a completion on this very thread sent the request
            } else {
                forwarder.join();
            }
        }
    }
}

} // namespace hk

size_t HkIrpsOutstanding()
{
    return IrpsOutstanding();
}
