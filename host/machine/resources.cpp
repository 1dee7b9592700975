// Resource lists with the platform's layout, and the assignment the platform gives a board.
#include "internal.h"

#include <cstring>

// The layout every driver walks: these sizes are the x64 Windows ones (partial descriptors are
// packed on 4-byte boundaries, so an interrupt's 8-byte affinity sits at offset 12).
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "partial descriptor is 20 bytes");
static_assert(FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) == 8,
              "partial list follows interface type and bus number");
static_assert(FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) == 8,
              "descriptors follow version, revision and count");
static_assert(FIELD_OFFSET(CM_RESOURCE_LIST, List) == 4, "full descriptors follow the count");

namespace {

constexpr size_t FullHeaderSize = FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                                  FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors);

template <typename T> void Put(std::vector<UCHAR>& out, size_t at, const T& value)
{
    std::memcpy(out.data() + at, &value, sizeof value);
}

} // namespace

HmPartial HmPortRange(ULONG64 start, ULONG length)
{
    HmPartial p;
    p.Type = CmResourceTypePort;
    p.ShareDisposition = CmResourceShareDeviceExclusive;
    p.Flags = CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_16_BIT_DECODE;
    p.Start = start;
    p.Length = length;
    return p;
}

HmPartial HmInterrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool latched, bool shared)
{
    HmPartial p;
    p.Type = CmResourceTypeInterrupt;
    p.ShareDisposition = shared ? CmResourceShareShared : CmResourceShareDeviceExclusive;
    p.Flags = latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    p.Level = level;
    p.Vector = vector;
    p.Affinity = affinity;
    return p;
}

HmPartial HmMemoryRange(ULONG64 start, ULONG length)
{
    HmPartial p;
    p.Type = CmResourceTypeMemory;
    p.ShareDisposition = CmResourceShareDeviceExclusive;
    p.Flags = 0; // CM_RESOURCE_MEMORY_READ_WRITE
    p.Start = start;
    p.Length = length;
    return p;
}

HmPartial HmDeviceSpecific(const std::vector<UCHAR>& data)
{
    HmPartial p;
    p.Type = CmResourceTypeDeviceSpecific;
    p.ShareDisposition = CmResourceShareUndetermined;
    p.Data = data;
    return p;
}

std::vector<UCHAR> HmBuildResourceList(const HmResourceList& list)
{
    size_t size = FIELD_OFFSET(CM_RESOURCE_LIST, List);
    for (const HmFullDescriptor& full : list) {
        size += FullHeaderSize;
        for (const HmPartial& p : full.Partials) {
            size += sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) + p.Data.size();
        }
    }
    std::vector<UCHAR> out(size, 0);
    Put(out, 0, static_cast<ULONG>(list.size()));
    size_t at = FIELD_OFFSET(CM_RESOURCE_LIST, List);
    for (const HmFullDescriptor& full : list) {
        Put(out, at + FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, InterfaceType), full.InterfaceType);
        Put(out, at + FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, BusNumber), full.BusNumber);
        size_t pl = at + FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList);
        Put(out, pl + FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, Version), full.Version);
        Put(out, pl + FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, Revision), full.Revision);
        Put(out, pl + FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, Count),
            static_cast<ULONG>(full.Partials.size()));
        at += FullHeaderSize;
        for (const HmPartial& p : full.Partials) {
            CM_PARTIAL_RESOURCE_DESCRIPTOR d;
            std::memset(&d, 0, sizeof d);
            d.Type = p.Type;
            d.ShareDisposition = p.ShareDisposition;
            d.Flags = p.Flags;
            switch (p.Type) {
            case CmResourceTypePort:
                d.u.Port.Start.QuadPart = static_cast<LONGLONG>(p.Start);
                d.u.Port.Length = p.Length;
                break;
            case CmResourceTypeInterrupt:
                d.u.Interrupt.Level = p.Level;
                d.u.Interrupt.Vector = p.Vector;
                d.u.Interrupt.Affinity = p.Affinity;
                break;
            case CmResourceTypeMemory:
                d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(p.Start);
                d.u.Memory.Length = p.Length;
                break;
            case CmResourceTypeDeviceSpecific:
                d.u.DeviceSpecificData.DataSize = static_cast<ULONG>(p.Data.size());
                break;
            default:
                d.u.Generic.Start.QuadPart = static_cast<LONGLONG>(p.Start);
                d.u.Generic.Length = p.Length;
                break;
            }
            Put(out, at, d);
            at += sizeof d;
            if (!p.Data.empty()) {
                std::memcpy(out.data() + at, p.Data.data(), p.Data.size());
                at += p.Data.size();
            }
        }
    }
    return out;
}

HmAssignment HmMakeAssignment(ULONG64 bar0, ULONG bar0Length, ULONG64 bar1, ULONG bar1Length,
                              ULONG irq, ULONG vector, ULONG level, KAFFINITY affinity,
                              bool latched, bool shared)
{
    HmAssignment a;
    HmFullDescriptor raw;
    raw.Partials.push_back(HmPortRange(bar0, bar0Length));
    raw.Partials.push_back(HmPortRange(bar1, bar1Length));
    // The raw interrupt is the bus-relative line, on every processor.
    raw.Partials.push_back(HmInterrupt(irq, irq, static_cast<KAFFINITY>(-1), latched, shared));
    HmFullDescriptor translated;
    translated.Partials.push_back(HmPortRange(bar0, bar0Length));
    translated.Partials.push_back(HmPortRange(bar1, bar1Length));
    translated.Partials.push_back(HmInterrupt(level, vector, affinity, latched, shared));
    a.Raw.push_back(raw);
    a.Translated.push_back(translated);
    return a;
}

HmAssignment HmDefaultAssignment(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<hm::Board> b = hm::BoardOf(pdo);
    if (!b) {
        return HmAssignment{};
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    ULONG bar0 = hm::ConfigRead32(b->Config, hm::CfgBar0) & ~3u;
    ULONG bar1 = hm::ConfigRead32(b->Config, hm::CfgBar0 + 4) & ~3u;
    return HmMakeAssignment(bar0, b->Config.Bar0Size, bar1, b->Config.Bar1Size, 16 + b->Slot,
                            0x61 + b->Slot, 6, 0x3);
}
