// Resource lists as the machine builds them: the platform's byte layout, and the shapes a start
// request can carry (several full descriptors, device-specific data, memory ranges).
#include "testsupport.h"

#include "corcard.h"

#include <cstring>

namespace {

template <typename T> T At(const std::vector<UCHAR>& bytes, size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class MachineResources : public HmTest {};

} // namespace

TEST(MachineResourceList, DefaultShapeHasTheWindowsLayout)
{
    HmAssignment a = HmMakeAssignment(0xD000, 32, 0xD080, 4, 17, 0x62, 6, 0x3);
    std::vector<UCHAR> raw = HmBuildResourceList(a.Raw);
    std::vector<UCHAR> translated = HmBuildResourceList(a.Translated);
    // Count, one full descriptor (interface type, bus, version, revision, count), three partials.
    ASSERT_EQ(raw.size(), 4u + 16u + 3u * 20u);
    EXPECT_EQ(At<ULONG>(raw, 0), 1u);
    EXPECT_EQ(At<ULONG>(raw, 4), static_cast<ULONG>(PCIBus));
    EXPECT_EQ(At<ULONG>(raw, 16), 3u);
    // Partial 0: port, device-exclusive, I/O space flag, start at +4, length at +12.
    EXPECT_EQ(raw[20], CmResourceTypePort);
    EXPECT_EQ(raw[21], CmResourceShareDeviceExclusive);
    EXPECT_EQ(At<USHORT>(raw, 22) & CM_RESOURCE_PORT_IO, CM_RESOURCE_PORT_IO);
    EXPECT_EQ(At<ULONG64>(raw, 24), 0xD000u);
    EXPECT_EQ(At<ULONG>(raw, 32), 32u);
    EXPECT_EQ(At<ULONG64>(raw, 44), 0xD080u);
    // Partial 2: interrupt, shared, level-sensitive; level, vector, then the 8-byte affinity at
    // +12.
    EXPECT_EQ(raw[60], CmResourceTypeInterrupt);
    EXPECT_EQ(raw[61], CmResourceShareShared);
    EXPECT_EQ(At<USHORT>(raw, 62), CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
    EXPECT_EQ(At<ULONG>(raw, 64), 17u);
    EXPECT_EQ(At<ULONG>(raw, 68), 17u);
    EXPECT_EQ(At<ULONG64>(raw, 72), ~0ull) << "a raw interrupt may run on every processor";
    EXPECT_EQ(At<ULONG>(translated, 64), 6u);
    EXPECT_EQ(At<ULONG>(translated, 68), 0x62u);
    EXPECT_EQ(At<ULONG64>(translated, 72), 0x3u);
}

TEST(MachineResourceList, DeviceSpecificDataIsFollowedByTheNextFullDescriptor)
{
    HmFullDescriptor first;
    first.BusNumber = 7;
    first.Partials.push_back(HmMemoryRange(0xFEB00000, 0x1000));
    first.Partials.push_back(HmDeviceSpecific({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    HmFullDescriptor second;
    second.Partials.push_back(HmInterrupt(5, 0x55, 1, true, false));
    std::vector<UCHAR> list = HmBuildResourceList({first, second});
    ASSERT_EQ(list.size(), 4u + (16u + 40u + 12u) + (16u + 20u));
    EXPECT_EQ(At<ULONG>(list, 0), 2u);
    EXPECT_EQ(At<ULONG>(list, 8), 7u);
    EXPECT_EQ(list[40], CmResourceTypeDeviceSpecific);
    EXPECT_EQ(At<ULONG>(list, 44), 12u) << "DataSize";
    EXPECT_EQ(list[60], 1);
    EXPECT_EQ(list[71], 12);
    size_t second_at = 72;
    EXPECT_EQ(At<ULONG>(list, second_at + 12), 1u) << "second full descriptor's partial count";
    EXPECT_EQ(list[second_at + 16], CmResourceTypeInterrupt);
    EXPECT_EQ(list[second_at + 17], CmResourceShareDeviceExclusive);
    EXPECT_EQ(At<USHORT>(list, second_at + 18), CM_RESOURCE_INTERRUPT_LATCHED);
}

TEST_F(MachineResources, DriverFindsItsRangesBehindDeviceSpecificData)
{
    PDRIVER_OBJECT driver = LoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    ASSERT_EQ(HmAddDevice(driver, pdo), STATUS_SUCCESS);
    HmAssignment a = HmDefaultAssignment(pdo);
    HmFullDescriptor lead;
    lead.Partials.push_back(HmMemoryRange(0xFEB00000, 0x1000));
    lead.Partials.push_back(HmDeviceSpecific(std::vector<UCHAR>(20, 0xEE)));
    a.Raw.insert(a.Raw.begin(), lead);
    a.Translated.insert(a.Translated.begin(), lead);
    ASSERT_EQ(HmStartAdapter(pdo, a), STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_EQ(ports.size(), 4u);
    for (size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(PortOf(ports[i])->IoBase, HmBarBase(pdo, 0) + 8 * i);
        EXPECT_TRUE(HmSerialStateOf(ports[i]).Hooked);
    }
    EXPECT_EQ(HmInterrupts(pdo).Vector, AdapterOf(pdo->AttachedDevice)->InterruptVector);
}

TEST_F(MachineResources, DefaultAssignmentFollowsTheSlotAndTheBars)
{
    PDEVICE_OBJECT first = HmPlugAdapter(HmModel::LX2A);
    PDEVICE_OBJECT second = HmPlugAdapter(HmModel::LX8B);
    EXPECT_NE(HmBarBase(first, 0), HmBarBase(second, 0));
    HmAssignment a = HmDefaultAssignment(second);
    ASSERT_EQ(a.Raw.size(), 1u);
    ASSERT_EQ(a.Raw[0].Partials.size(), 3u);
    EXPECT_EQ(a.Raw[0].Partials[0].Start, HmBarBase(second, 0));
    EXPECT_EQ(a.Raw[0].Partials[0].Length, 64u) << "eight UARTs of eight registers";
    EXPECT_EQ(a.Raw[0].Partials[1].Start, HmBarBase(second, 1));
    EXPECT_EQ(a.Raw[0].Partials[1].Length, HmBar1Size);
    EXPECT_NE(a.Translated[0].Partials[2].Vector,
              HmDefaultAssignment(first).Translated[0].Partials[2].Vector);
}
