// WMI: the registration of data providers (IoWMIRegistrationControl) and the requests WMI's kernel
// component sends them (IRP_MJ_SYSTEM_CONTROL), with the verifier's checks of the answers.
#include "internal.h"

#include <condition_variable>
#include <cstring>
#include <memory>
#include <unordered_map>

namespace hk {
namespace {

struct Provider {
    bool Registered = false;
    unsigned InFlight = 0;          // requests sent and not yet completed
    PDEVICE_OBJECT Pdo = nullptr;   // of the blocks registered with WMIREG_FLAG_INSTANCE_PDO
    std::vector<WMIREGGUID> Blocks; // the last successful registration answer
};

std::mutex WmiLock;
std::condition_variable WmiIdle;
std::unordered_map<const DEVICE_OBJECT*, Provider> Providers;
std::vector<HkWmiRegistrationCall> Calls;
// The device whose system control request this thread is sending (and dispatching, since the
// drivers' dispatch routines run on the sender's thread until one of them pends the request).
thread_local const DEVICE_OBJECT* SendingTo = nullptr;

constexpr ULONG QuadAlign = 8;

bool Aligned(ULONG offset, ULONG alignment)
{
    return offset % alignment == 0;
}

template <typename T> T ReadAt(const UCHAR* buffer, size_t offset)
{
    T value;
    memcpy(&value, buffer + offset, sizeof(T));
    return value;
}

std::string DeviceText(const DEVICE_OBJECT* device)
{
    return Format("device %p", static_cast<const void*>(device));
}

// A counted string (USHORT byte count, then UTF-16) at offset, inside size bytes.
bool CountedStringInside(const UCHAR* buffer, ULONG size, ULONG offset)
{
    if (!Aligned(offset, sizeof(USHORT)) || offset > size || size - offset < sizeof(USHORT)) {
        return false;
    }
    const USHORT bytes = ReadAt<USHORT>(buffer, offset);
    return bytes % sizeof(WCHAR) == 0 && bytes <= size - offset - sizeof(USHORT);
}

void CheckTooSmall(const std::string& who, const UCHAR* buffer, ULONG_PTR information,
                   ULONG bufferSize)
{
    const WNODE_TOO_SMALL answer = ReadAt<WNODE_TOO_SMALL>(buffer, 0);
    if (information != sizeof(WNODE_TOO_SMALL) ||
        answer.WnodeHeader.BufferSize != sizeof(WNODE_TOO_SMALL)) {
        Report("%s: a WNODE_TOO_SMALL answer with Information %zu and BufferSize %u (both must "
               "be sizeof(WNODE_TOO_SMALL), %zu)",
               who.c_str(), static_cast<size_t>(information), answer.WnodeHeader.BufferSize,
               sizeof(WNODE_TOO_SMALL));
    }
    if (answer.SizeNeeded <= bufferSize) {
        Report("%s: WNODE_TOO_SMALL asks for %u bytes, but the buffer had %u", who.c_str(),
               answer.SizeNeeded, bufferSize);
    }
}

void CheckAllData(const std::string& who, const UCHAR* buffer, ULONG size)
{
    const WNODE_ALL_DATA answer = ReadAt<WNODE_ALL_DATA>(buffer, 0);
    const ULONG flags = answer.WnodeHeader.Flags;
    if (!(flags & WNODE_FLAG_ALL_DATA)) {
        Report("%s: the answer's flags 0x%08X lack WNODE_FLAG_ALL_DATA", who.c_str(), flags);
    }
    const ULONG count = answer.InstanceCount;
    if (flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) {
        const ULONG each = answer.FixedInstanceSize;
        const ULONG64 stride = (static_cast<ULONG64>(each) + QuadAlign - 1) / QuadAlign * QuadAlign;
        const ULONG64 end = count == 0 ? answer.DataBlockOffset
                                       : answer.DataBlockOffset + stride * (count - 1) + each;
        if (!Aligned(answer.DataBlockOffset, QuadAlign) ||
            answer.DataBlockOffset < FIELD_OFFSET(WNODE_ALL_DATA, FixedInstanceSize) + 4 ||
            end > size) {
            Report("%s: %u instances of %u bytes from DataBlockOffset %u do not fit the %u bytes "
                   "returned 8-byte aligned",
                   who.c_str(), count, each, answer.DataBlockOffset, size);
        }
    } else {
        const ULONG64 table = FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                              static_cast<ULONG64>(count) * sizeof(OFFSETINSTANCEDATAANDLENGTH);
        if (table > size) {
            Report("%s: the OffsetInstanceDataAndLength table of %u instances ends beyond the %u "
                   "bytes returned",
                   who.c_str(), count, size);
            return;
        }
        for (ULONG k = 0; k < count; ++k) {
            const auto entry = ReadAt<OFFSETINSTANCEDATAANDLENGTH>(
                buffer, FIELD_OFFSET(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                            k * sizeof(OFFSETINSTANCEDATAANDLENGTH));
            if (!Aligned(entry.OffsetInstanceData, QuadAlign) || entry.OffsetInstanceData < table ||
                static_cast<ULONG64>(entry.OffsetInstanceData) + entry.LengthInstanceData > size) {
                Report("%s: instance %u (offset %u, %u bytes) is not 8-byte aligned inside the "
                       "%u bytes returned",
                       who.c_str(), k, entry.OffsetInstanceData, entry.LengthInstanceData, size);
            }
        }
    }
    if (!(flags & WNODE_FLAG_STATIC_INSTANCE_NAMES)) {
        // Dynamic names: an array of offsets, each to a counted string.
        const ULONG names = answer.OffsetInstanceNameOffsets;
        if (!Aligned(names, sizeof(ULONG)) || names > size ||
            (size - names) / sizeof(ULONG) < count) {
            Report("%s: the instance name offsets at %u do not fit the %u bytes returned",
                   who.c_str(), names, size);
            return;
        }
        for (ULONG k = 0; k < count; ++k) {
            if (!CountedStringInside(buffer, size, ReadAt<ULONG>(buffer, names + k * 4))) {
                Report("%s: the name of instance %u is no counted string inside the answer",
                       who.c_str(), k);
            }
        }
    }
}

void CheckSingleInstance(const std::string& who, const UCHAR* buffer, ULONG size,
                         const WNODE_SINGLE_INSTANCE& asked)
{
    const WNODE_SINGLE_INSTANCE answer = ReadAt<WNODE_SINGLE_INSTANCE>(buffer, 0);
    if (answer.DataBlockOffset != asked.DataBlockOffset) {
        Report("%s: the driver moved DataBlockOffset from %u to %u", who.c_str(),
               asked.DataBlockOffset, answer.DataBlockOffset);
    }
    if (!Aligned(answer.DataBlockOffset, QuadAlign) ||
        static_cast<ULONG64>(answer.DataBlockOffset) + answer.SizeDataBlock != size) {
        Report("%s: %u bytes of data at DataBlockOffset %u do not end where the %u bytes "
               "returned end",
               who.c_str(), answer.SizeDataBlock, answer.DataBlockOffset, size);
    }
}

// Information of a query answer: the WNODE's own BufferSize, which fits the buffer.
void CheckQuery(const std::string& who, const HkWmiRequest& request, const UCHAR* buffer,
                ULONG_PTR information)
{
    if (information < sizeof(WNODE_HEADER)) {
        Report("%s succeeded with Information %zu, less than a WNODE_HEADER", who.c_str(),
               static_cast<size_t>(information));
        return;
    }
    const WNODE_HEADER header = ReadAt<WNODE_HEADER>(buffer, 0);
    if (header.Flags & WNODE_FLAG_TOO_SMALL) {
        CheckTooSmall(who, buffer, information, request.BufferSize);
        return;
    }
    if (header.BufferSize != information) {
        Report("%s: the WNODE says it is %u bytes, Information says %zu", who.c_str(),
               header.BufferSize, static_cast<size_t>(information));
        return;
    }
    if (!IsEqualGUID(header.Guid, request.Guid)) {
        Report("%s: the answer's WNODE names another GUID than the one asked for", who.c_str());
    }
    const ULONG size = static_cast<ULONG>(information);
    if (request.Minor == IRP_MN_QUERY_ALL_DATA) {
        if (size < sizeof(WNODE_ALL_DATA) - sizeof(OFFSETINSTANCEDATAANDLENGTH)) {
            Report("%s: %u bytes are no WNODE_ALL_DATA", who.c_str(), size);
            return;
        }
        CheckAllData(who, buffer, size);
    } else {
        if (size < sizeof(WNODE_SINGLE_INSTANCE)) {
            Report("%s: %u bytes are no WNODE_SINGLE_INSTANCE", who.c_str(), size);
            return;
        }
        WNODE_SINGLE_INSTANCE asked{};
        if (!request.Input.empty()) {
            memcpy(&asked, request.Input.data(), std::min(sizeof(asked), request.Input.size()));
        }
        CheckSingleInstance(who, buffer, size, asked);
    }
}

// A registration answer; its blocks go to the provider's record, and WMI drops the references
// the driver took on the PDO it names.
void TakeRegistration(const std::string& who, PDEVICE_OBJECT device, const UCHAR* buffer,
                      ULONG_PTR information)
{
    const ULONG size = static_cast<ULONG>(information);
    if (information < sizeof(WMIREGINFO)) {
        Report("%s succeeded with Information %zu, less than a WMIREGINFO", who.c_str(),
               static_cast<size_t>(information));
        return;
    }
    const WMIREGINFO info = ReadAt<WMIREGINFO>(buffer, 0);
    if (info.BufferSize != information) {
        Report("%s: the WMIREGINFO says it is %u bytes, Information says %zu", who.c_str(),
               info.BufferSize, static_cast<size_t>(information));
        return;
    }
    if ((size - sizeof(WMIREGINFO)) / sizeof(WMIREGGUID) < info.GuidCount) {
        Report("%s: %u WMIREGGUIDs do not fit the %u bytes returned", who.c_str(), info.GuidCount,
               size);
        return;
    }
    if (info.NextWmiRegInfo != 0) {
        Report("%s: NextWmiRegInfo is %u: this stand-in takes one WMIREGINFO per provider",
               who.c_str(), info.NextWmiRegInfo);
    }
    if (info.RegistryPath != 0 && !CountedStringInside(buffer, size, info.RegistryPath)) {
        Report("%s: RegistryPath (offset %u) is no counted string inside the answer", who.c_str(),
               info.RegistryPath);
    }
    if (info.MofResourceName != 0 && !CountedStringInside(buffer, size, info.MofResourceName)) {
        Report("%s: MofResourceName (offset %u) is no counted string inside the answer",
               who.c_str(), info.MofResourceName);
    }
    std::vector<WMIREGGUID> blocks;
    PDEVICE_OBJECT pdo = nullptr;
    for (ULONG k = 0; k < info.GuidCount; ++k) {
        const WMIREGGUID block =
            ReadAt<WMIREGGUID>(buffer, sizeof(WMIREGINFO) + k * sizeof(WMIREGGUID));
        blocks.push_back(block);
        if (!(block.Flags & WMIREG_FLAG_INSTANCE_PDO)) {
            continue;
        }
        PDEVICE_OBJECT named = reinterpret_cast<PDEVICE_OBJECT>(block.Pdo);
        PDEVICE_OBJECT bottom = device;
        while (bottom != nullptr && bottom->DeviceObjectExtension != nullptr &&
               bottom->DeviceObjectExtension->AttachedTo != nullptr) {
            bottom = bottom->DeviceObjectExtension->AttachedTo;
        }
        if (named != bottom || !HkDeviceExists(named)) {
            Report("%s: block %u names %p as its PDO, which is not the PDO of the stack",
                   who.c_str(), k, static_cast<void*>(named));
            continue;
        }
        if (HkObjectReferences(named) <= 1) {
            Report("%s: block %u names the PDO without a reference for WMI (ObReferenceObject "
                   "before answering)",
                   who.c_str(), k);
            continue;
        }
        pdo = named;
        ObfDereferenceObject(named); // WMI's, as Windows drops it
    }
    std::lock_guard<std::mutex> guard(WmiLock);
    Provider& provider = Providers[device];
    provider.Blocks = std::move(blocks);
    provider.Pdo = pdo;
}

} // namespace

void ResetWmi()
{
    std::lock_guard<std::mutex> guard(WmiLock);
    Providers.clear();
    Calls.clear();
}

void WmiDeviceDeleted(PDEVICE_OBJECT device)
{
    bool registered = false;
    {
        std::lock_guard<std::mutex> guard(WmiLock);
        auto it = Providers.find(device);
        if (it != Providers.end()) {
            registered = it->second.Registered;
            Providers.erase(it);
        }
    }
    if (registered) {
        Report("IoDeleteDevice(%p) while the device is still registered with WMI "
               "(IoWMIRegistrationControl with WMIREG_ACTION_DEREGISTER first)",
               static_cast<void*>(device));
    }
}

} // namespace hk

using namespace hk;

extern "C" NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    if (DeviceObject == nullptr || !HkDeviceExists(DeviceObject) || HkDeviceDeleted(DeviceObject)) {
        Report("IoWMIRegistrationControl(%p): not a device object",
               static_cast<void*>(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_SUCCESS;
    std::unique_lock<std::mutex> lock(WmiLock);
    Provider& provider = Providers[DeviceObject];
    switch (Action) {
    case WMIREG_ACTION_REGISTER:
        if (provider.Registered) {
            lock.unlock();
            Report("IoWMIRegistrationControl(%p, WMIREG_ACTION_REGISTER): the device is "
                   "registered already",
                   static_cast<void*>(DeviceObject));
            lock.lock();
        }
        provider.Registered = true;
        break;
    case WMIREG_ACTION_DEREGISTER:
    case WMIREG_ACTION_REREGISTER:
    case WMIREG_ACTION_UPDATE_GUIDS:
        if (!provider.Registered) {
            lock.unlock();
            Report("IoWMIRegistrationControl(%p, action %u): the device is not registered",
                   static_cast<void*>(DeviceObject), Action);
            lock.lock();
            break;
        }
        if (Action != WMIREG_ACTION_DEREGISTER) {
            break;
        }
        // Windows waits for the system control requests already sent to the device.
        if (SendingTo == DeviceObject) {
            lock.unlock();
            Report("IoWMIRegistrationControl(%p, WMIREG_ACTION_DEREGISTER) inside a system "
                   "control request to the device: it waits for that request (deadlock)",
                   static_cast<void*>(DeviceObject));
            lock.lock();
        } else if (!WmiIdle.wait_for(lock, std::chrono::milliseconds(WaitLimitMilliseconds()),
                                     [&] { return Providers[DeviceObject].InFlight == 0; })) {
            lock.unlock();
            Report("IoWMIRegistrationControl(%p, WMIREG_ACTION_DEREGISTER) waited %u ms for "
                   "the device's system control requests: hung",
                   static_cast<void*>(DeviceObject), WaitLimitMilliseconds());
            lock.lock();
        }
        Providers[DeviceObject].Registered = false;
        Providers[DeviceObject].Blocks.clear();
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    Calls.push_back(HkWmiRegistrationCall{DeviceObject, Action, status});
    return status;
}

std::vector<HkWmiRegistrationCall> HkWmiRegistrationCalls()
{
    std::lock_guard<std::mutex> guard(WmiLock);
    return Calls;
}

bool HkWmiRegistered(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(WmiLock);
    auto it = Providers.find(device);
    return it != Providers.end() && it->second.Registered;
}

namespace {

NTSTATUS WmiRequestDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

const char* MinorText(UCHAR minor)
{
    static const char* const names[] = {"IRP_MN_QUERY_ALL_DATA",
                                        "IRP_MN_QUERY_SINGLE_INSTANCE",
                                        "IRP_MN_CHANGE_SINGLE_INSTANCE",
                                        "IRP_MN_CHANGE_SINGLE_ITEM",
                                        "IRP_MN_ENABLE_EVENTS",
                                        "IRP_MN_DISABLE_EVENTS",
                                        "IRP_MN_ENABLE_COLLECTION",
                                        "IRP_MN_DISABLE_COLLECTION",
                                        "IRP_MN_REGINFO",
                                        "IRP_MN_EXECUTE_METHOD",
                                        "IRP_MN_?",
                                        "IRP_MN_REGINFO_EX"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "IRP_MN_?";
}

} // namespace

HkWmiAnswer HkSendWmi(PDEVICE_OBJECT device, const HkWmiRequest& request)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "WMI's system control request");
    const std::string who =
        Format("%s to %s", MinorText(request.Minor), DeviceText(device).c_str());
    const size_t size = request.BufferSize;
    // The WMI component's nonpaged buffer, exactly BufferSize bytes (AddressSanitizer sees a
    // write past it).
    std::unique_ptr<UCHAR[]> buffer(new UCHAR[size == 0 ? 1 : size]);
    memset(buffer.get(), HkSystemBufferFill, size);
    if (!request.Input.empty()) {
        memcpy(buffer.get(), request.Input.data(), std::min(size, request.Input.size()));
    }
    auto guid = std::make_unique<GUID>(request.Guid);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateIrpInternal(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = request.Minor;
    next->Parameters.WMI.ProviderId = request.ProviderId;
    next->Parameters.WMI.DataPath =
        request.Minor == IRP_MN_REGINFO || request.Minor == IRP_MN_REGINFO_EX
            ? reinterpret_cast<PVOID>(request.RegistrationPath)
            : static_cast<PVOID>(guid.get());
    next->Parameters.WMI.BufferSize = request.BufferSize;
    next->Parameters.WMI.Buffer = buffer.get();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, WmiRequestDone, &done, TRUE, TRUE, TRUE);
    {
        std::lock_guard<std::mutex> guard(WmiLock);
        Providers[device].InFlight++;
    }
    const DEVICE_OBJECT* outer = SendingTo;
    SendingTo = device;
    if (IofCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    SendingTo = outer;
    {
        std::lock_guard<std::mutex> guard(WmiLock);
        Providers[device].InFlight--;
    }
    WmiIdle.notify_all();
    HkWmiAnswer answer{irp->IoStatus.Status, irp->IoStatus.Information,
                       std::vector<UCHAR>(buffer.get(), buffer.get() + size)};
    FreeIrpInternal(irp);
    ObfDereferenceObject(top);

    if (answer.Information > request.BufferSize) {
        Report("%s completed with Information %zu, more than the %u bytes of its buffer",
               who.c_str(), static_cast<size_t>(answer.Information), request.BufferSize);
        return answer;
    }
    // The checks read whole records: room behind the buffer keeps them inside the copy.
    std::vector<UCHAR> padded = answer.Buffer;
    padded.resize(size + sizeof(WNODE_ALL_DATA) + sizeof(WMIREGINFO));
    const bool query =
        request.Minor == IRP_MN_QUERY_ALL_DATA || request.Minor == IRP_MN_QUERY_SINGLE_INSTANCE;
    const bool registration = request.Minor == IRP_MN_REGINFO || request.Minor == IRP_MN_REGINFO_EX;
    if (NT_SUCCESS(answer.Status) && query) {
        CheckQuery(who, request, padded.data(), answer.Information);
    } else if (NT_SUCCESS(answer.Status) && registration) {
        TakeRegistration(who, device, padded.data(), answer.Information);
    } else if (answer.Status == STATUS_BUFFER_TOO_SMALL && registration && size >= sizeof(ULONG) &&
               ReadAt<ULONG>(padded.data(), 0) <= size) {
        Report("%s: STATUS_BUFFER_TOO_SMALL without the size needed (larger than %u) in the "
               "buffer's first ULONG",
               who.c_str(), request.BufferSize);
    } else if (answer.Status == STATUS_BUFFER_TOO_SMALL && query &&
               size >= sizeof(WNODE_TOO_SMALL)) {
        Report("%s: STATUS_BUFFER_TOO_SMALL for a buffer that holds a WNODE_TOO_SMALL (the size "
               "needed goes back in one, with success)",
               who.c_str());
    }
    return answer;
}

namespace {

// The registration of device for guid as WMI knows it from the last answer; false when none.
bool FindBlock(PDEVICE_OBJECT device, const GUID& guid, WMIREGGUID* block, PDEVICE_OBJECT* pdo)
{
    std::lock_guard<std::mutex> guard(WmiLock);
    auto it = Providers.find(device);
    if (it == Providers.end() || !it->second.Registered) {
        return false;
    }
    for (const WMIREGGUID& each : it->second.Blocks) {
        if (IsEqualGUID(each.Guid, guid) && !(each.Flags & WMIREG_FLAG_REMOVE_GUID)) {
            *block = each;
            *pdo = it->second.Pdo;
            return true;
        }
    }
    return false;
}

ULONG StaticNameFlags(const WMIREGGUID& block)
{
    const ULONG statics =
        WMIREG_FLAG_INSTANCE_LIST | WMIREG_FLAG_INSTANCE_BASENAME | WMIREG_FLAG_INSTANCE_PDO;
    ULONG flags = (block.Flags & statics) ? WNODE_FLAG_STATIC_INSTANCE_NAMES : 0;
    if (block.Flags & WMIREG_FLAG_INSTANCE_PDO) {
        flags |= WNODE_FLAG_PDO_INSTANCE_NAMES;
    }
    return flags;
}

HkWmiAnswer NotFound()
{
    return HkWmiAnswer{STATUS_WMI_GUID_NOT_FOUND, 0, {}};
}

} // namespace

HkWmiAnswer HkWmiRegInfo(PDEVICE_OBJECT device, UCHAR minor, ULONG bufferSize)
{
    HkWmiRequest request{};
    request.Minor = minor;
    request.ProviderId = reinterpret_cast<ULONG_PTR>(device);
    request.RegistrationPath = WMIREGISTER;
    request.BufferSize = bufferSize;
    return HkSendWmi(device, request);
}

std::u16string HkWmiInstanceName(PDEVICE_OBJECT device, const GUID& guid, ULONG index)
{
    WMIREGGUID block{};
    PDEVICE_OBJECT pdo = nullptr;
    if (!FindBlock(device, guid, &block, &pdo) || !(block.Flags & WMIREG_FLAG_INSTANCE_PDO) ||
        pdo == nullptr) {
        return {};
    }
    std::u16string name = DeviceInstanceOf(pdo).InstancePath + u"_";
    for (char digit : std::to_string(index)) {
        name += static_cast<char16_t>(digit);
    }
    return name;
}

HkWmiAnswer HkWmiQueryAllData(PDEVICE_OBJECT device, const GUID& guid, ULONG bufferSize)
{
    WMIREGGUID block{};
    PDEVICE_OBJECT pdo = nullptr;
    if (!FindBlock(device, guid, &block, &pdo)) {
        return NotFound();
    }
    WNODE_ALL_DATA header{};
    header.WnodeHeader.BufferSize = bufferSize;
    header.WnodeHeader.Guid = guid;
    header.WnodeHeader.Flags = WNODE_FLAG_ALL_DATA | StaticNameFlags(block);
    HkWmiRequest request{};
    request.Minor = IRP_MN_QUERY_ALL_DATA;
    request.ProviderId = reinterpret_cast<ULONG_PTR>(device);
    request.Guid = guid;
    request.Input.resize(sizeof(header));
    memcpy(request.Input.data(), &header, sizeof(header));
    request.BufferSize = bufferSize;
    return HkSendWmi(device, request);
}

HkWmiAnswer HkWmiQuerySingleInstance(PDEVICE_OBJECT device, const GUID& guid, ULONG instanceIndex,
                                     ULONG bufferSize)
{
    WMIREGGUID block{};
    PDEVICE_OBJECT pdo = nullptr;
    if (!FindBlock(device, guid, &block, &pdo)) {
        return NotFound();
    }
    const std::u16string name = HkWmiInstanceName(device, guid, instanceIndex);
    const ULONG nameOffset = sizeof(WNODE_SINGLE_INSTANCE);
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
    WNODE_SINGLE_INSTANCE header{};
    header.WnodeHeader.BufferSize = bufferSize;
    header.WnodeHeader.Guid = guid;
    header.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | StaticNameFlags(block);
    header.OffsetInstanceName = nameOffset;
    header.InstanceIndex = instanceIndex;
    header.DataBlockOffset =
        (nameOffset + sizeof(USHORT) + nameBytes + QuadAlign - 1) / QuadAlign * QuadAlign;
    HkWmiRequest request{};
    request.Minor = IRP_MN_QUERY_SINGLE_INSTANCE;
    request.ProviderId = reinterpret_cast<ULONG_PTR>(device);
    request.Guid = guid;
    request.Input.assign(header.DataBlockOffset, 0);
    memcpy(request.Input.data(), &header, sizeof(header));
    const USHORT count = static_cast<USHORT>(nameBytes);
    memcpy(request.Input.data() + nameOffset, &count, sizeof(count));
    memcpy(request.Input.data() + nameOffset + sizeof(count), name.data(), nameBytes);
    request.BufferSize = bufferSize;
    return HkSendWmi(device, request);
}
