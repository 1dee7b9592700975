// Readable names for statuses, requests and devices, and the reading of UTF-16 answers.
#include "internal.h"

#include <cstdio>

namespace hm {

std::string Hex(ULONG64 value, int digits)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

std::string IdTypeName(ULONG type)
{
    switch (type) {
    case BusQueryDeviceID:
        return "BusQueryDeviceID";
    case BusQueryHardwareIDs:
        return "BusQueryHardwareIDs";
    case BusQueryCompatibleIDs:
        return "BusQueryCompatibleIDs";
    case BusQueryInstanceID:
        return "BusQueryInstanceID";
    default:
        return "IdType " + std::to_string(type);
    }
}

// Reads a string (or a multi-string) the driver handed over, never past the end of its pool block.
std::u16string ReadPoolString(const WCHAR* text, bool multi, std::vector<std::u16string>* list)
{
    std::u16string all;
    if (!text) {
        return all;
    }
    size_t units = 0x10000;
    ULONG tag = 0;
    int type = 0;
    size_t size = 0;
    if (HkPoolBlockInfo(text, &tag, &type, &size)) {
        units = size / sizeof(WCHAR);
    }
    std::u16string current;
    for (size_t i = 0; i < units; ++i) {
        char16_t c = static_cast<char16_t>(text[i]);
        if (c != 0) {
            current.push_back(c);
            continue;
        }
        if (!multi) {
            return current;
        }
        if (current.empty()) {
            break;
        }
        if (list) {
            list->push_back(current);
        }
        if (!all.empty()) {
            all.push_back(u' ');
        }
        all += current;
        current.clear();
    }
    if (!multi) {
        return current;
    }
    return all;
}

std::string PoolNote(const void* block)
{
    ULONG tag = 0;
    int type = 0;
    size_t size = 0;
    if (!HkPoolBlockInfo(block, &tag, &type, &size)) {
        return "not a pool block";
    }
    std::string t;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        t.push_back(c >= 32 && c < 127 ? c : '.');
    }
    return std::string(type == PagedPool      ? "paged"
                       : type == NonPagedPool ? "non-paged"
                                              : "pool") +
           " pool, tag " + t + ", " + std::to_string(size) + " bytes";
}

} // namespace hm

using namespace hm;

std::string HmStatusName(NTSTATUS status)
{
    switch (static_cast<ULONG>(status)) {
    case 0x00000000:
        return "STATUS_SUCCESS";
    case 0x00000102:
        return "STATUS_TIMEOUT";
    case 0x00000103:
        return "STATUS_PENDING";
    case 0x80000011:
        return "STATUS_DEVICE_BUSY";
    case 0xC0000001:
        return "STATUS_UNSUCCESSFUL";
    case 0xC000000D:
        return "STATUS_INVALID_PARAMETER";
    case 0xC0000010:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000016:
        return "STATUS_MORE_PROCESSING_REQUIRED";
    case 0xC000009A:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case 0xC00000BB:
        return "STATUS_NOT_SUPPORTED";
    case 0xC0000182:
        return "STATUS_DEVICE_CONFIGURATION_ERROR";
    case 0xC0000184:
        return "STATUS_INVALID_DEVICE_STATE";
    case 0xC000000E:
        return "STATUS_NO_SUCH_DEVICE";
    case 0xC0000185:
        return "STATUS_IO_DEVICE_ERROR";
    case 0xC00000A3:
        return "STATUS_DEVICE_NOT_READY";
    case 0x80000005:
        return "STATUS_BUFFER_OVERFLOW";
    default:
        return Hex(static_cast<ULONG>(status), 8);
    }
}

std::string HmPnpMinorName(UCHAR minor)
{
    static const char* const names[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        "IRP_MN_0x0E",
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    if (minor < sizeof names / sizeof names[0]) {
        return names[minor];
    }
    return "IRP_MN_" + Hex(minor, 2);
}

std::string HmPowerMinorName(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_WAIT_WAKE:
        return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
        return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
        return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
        return "IRP_MN_QUERY_POWER";
    default:
        return "IRP_MN_" + Hex(minor, 2);
    }
}

std::string HmNarrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

const char* HmNodeStateName(HmNodeState state)
{
    switch (state) {
    case HmNodeState::Initialized:
        return "initialized";
    case HmNodeState::DriversAdded:
        return "drivers added";
    case HmNodeState::Started:
        return "started";
    case HmNodeState::StartFailed:
        return "start failed";
    case HmNodeState::StopPending:
        return "stop pending";
    case HmNodeState::Stopped:
        return "stopped";
    case HmNodeState::RemovePending:
        return "remove pending";
    case HmNodeState::SurpriseRemoved:
        return "surprise removed";
    case HmNodeState::Removed:
        return "removed";
    }
    return "?";
}

std::string HmDeviceName(PDEVICE_OBJECT device)
{
    if (!device) {
        return "(none)";
    }
    Machine& m = M();
    std::lock_guard<HkMutex> lock(m.Mu);
    auto it = m.Nodes.find(device);
    if (it != m.Nodes.end()) {
        return it->second.Name;
    }
    for (auto& entry : m.Nodes) {
        int level = 0;
        for (PDEVICE_OBJECT d = entry.first->AttachedDevice; d; d = d->AttachedDevice) {
            ++level;
            if (d == device) {
                return entry.second.Name + (level == 1 ? " (function)" : " (upper)");
            }
        }
    }
    for (auto& b : m.Boards) {
        if (b->Pdo == device) {
            return b->Name;
        }
    }
    return Hex(reinterpret_cast<ULONG64>(device));
}
