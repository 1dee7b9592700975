// Raw and translated resource lists delivered with the start request to a plugged adapter: any
// number of full and partial descriptors of any type, with ports, interrupts, memory and device
// data of any values, either list left out. The lists are well formed (the platform builds them);
// their contents are not trusted. A start either hands every port a register block inside a
// translated port range with the translated interrupt connected, or fails with a configuration
// status, an event-log sentence, no range on any port and no interrupt connected.
#include "driver_rig.h"

namespace {

ULONG64 PickStart(FuzzInput& in)
{
    static const ULONG64 Starts[] = {0xE000, 0xE800, 0xD000, 0x3F8, 0, 0xFFF8, 0x10000};
    uint8_t pick = in.Byte();
    return pick < 200 ? Starts[pick % 7] + (pick / 7) * 8 : in.U64();
}

ULONG PickLength(FuzzInput& in)
{
    static const ULONG Lengths[] = {8, 16, 32, 64, 4, 1, 0, 0x100};
    uint8_t pick = in.Byte();
    return pick < 240 ? Lengths[pick % 8] : in.U32();
}

HmPartial DecodePartial(FuzzInput& in)
{
    uint8_t kind = in.Byte();
    HmPartial p;
    switch (kind % 8) {
    case 0:
    case 1:
    case 2:
        p = HmPortRange(PickStart(in), PickLength(in));
        break;
    case 3:
    case 4: {
        static const ULONG Levels[] = {6, 5, 15, 2, 0, 31, 255, 256 + 6};
        ULONG level = (kind & 0x80) != 0 ? in.U32() : Levels[in.Below(8)];
        ULONG vector = (kind & 0x40) != 0 ? in.U32() : 0x61 + in.Below(4);
        KAFFINITY affinity = (kind & 0x20) != 0 ? in.U64() : in.Below(4);
        p = HmInterrupt(level, vector, affinity, (kind & 0x10) != 0, (kind & 0x08) == 0);
        break;
    }
    case 5:
        p = HmMemoryRange(PickStart(in), PickLength(in));
        break;
    case 6:
        // The platform's device data records are whole 4-byte units, which keeps the partial
        // descriptors after them on their 4-byte packing.
        p = HmDeviceSpecific(in.Bytes(4 * in.Below(7)));
        break;
    default:
        // Any other type (DMA, bus number, a value no platform uses) with any payload.
        p.Type = in.Byte();
        if (p.Type == CmResourceTypeDeviceSpecific) {
            p.Type = CmResourceTypeNull;
        }
        p.Start = in.U64();
        p.Length = in.U32();
        break;
    }
    if ((kind & 0x04) != 0) {
        p.ShareDisposition = in.Byte();
        p.Flags = in.U16();
    }
    return p;
}

HmResourceList DecodeList(FuzzInput& in)
{
    HmResourceList list;
    for (unsigned full = in.Below(4); full > 0; --full) {
        HmFullDescriptor descriptor;
        uint8_t shape = in.Byte();
        if ((shape & 0x80) != 0) {
            descriptor.InterfaceType = static_cast<INTERFACE_TYPE>(in.Byte());
            descriptor.BusNumber = in.U32();
        }
        for (unsigned n = shape % 8; n > 0; --n) {
            descriptor.Partials.push_back(DecodePartial(in));
        }
        list.push_back(descriptor);
    }
    return list;
}

HmAssignment DecodeAssignment(FuzzInput& in)
{
    HmAssignment assignment;
    uint8_t shape = in.Byte();
    assignment.NoRaw = (shape & 0x40) != 0 && (shape & 0x01) != 0;
    assignment.NoTranslated = (shape & 0x80) != 0 && (shape & 0x02) != 0;
    assignment.Raw = DecodeList(in);
    // Mostly the translated list is the raw one with other values, as the platform gives it.
    assignment.Translated = (shape & 0x04) != 0 ? assignment.Raw : DecodeList(in);
    if ((shape & 0x04) != 0) {
        for (HmFullDescriptor& full : assignment.Translated) {
            for (HmPartial& p : full.Partials) {
                if (p.Type == CmResourceTypeInterrupt && (shape & 0x08) != 0) {
                    p.Vector = 0x61 + in.Below(4);
                    p.Level = 6;
                }
            }
        }
    }
    return assignment;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    DriverRun run(false);
    HmModel model = ModelOf(in);
    uint8_t flags = in.Byte();
    PDEVICE_OBJECT pdo = HmPlugAdapter(model);
    if ((flags & 1) != 0) {
        // The bus leaves the BARs as firmware set them instead of following the raw list.
        HmBusAnswers answers = HmGetBusAnswers(pdo);
        answers.ProgramBars = false;
        HmSetBusAnswers(pdo, answers);
    }
    DRIVER_CHECK(HmAddDevice(run.Driver, pdo) == STATUS_SUCCESS);

    HmAssignment first = DecodeAssignment(in);
    size_t logBefore = HkErrorLog().size();
    NTSTATUS status = HmStartAdapter(pdo, first);
    CheckStart(run, pdo, first, status, logBefore);

    // A started adapter may be rebalanced onto another assignment.
    if (NT_SUCCESS(status) && (flags & 2) != 0) {
        HmAssignment second = DecodeAssignment(in);
        logBefore = HkErrorLog().size();
        status = HmRebalance(pdo, second);
        CheckStart(run, pdo, second, status, logBefore);
    }
    return 0;
}
