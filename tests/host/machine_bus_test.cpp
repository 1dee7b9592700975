// The simulated PCI bus driver, the resource list builders and the managers, driven with the
// WDM API the way a function driver above the bus and the platform drive them.
#include "machine_rig.h"

#include <cstring>

namespace {

class MachineBus : public HmTest {};

// Reads configuration space from the top of the PDO's stack with a synchronous request, as a
// function driver reads it through the bus driver below it.
NTSTATUS ReadConfig(PDEVICE_OBJECT pdo, ULONG offset, ULONG length, UCHAR* buffer, ULONG_PTR* moved)
{
    HmIrpResult r = HmSendPnp(pdo, IRP_MN_READ_CONFIG, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = buffer;
        sp->Parameters.ReadWriteConfig.Offset = offset;
        sp->Parameters.ReadWriteConfig.Length = length;
    });
    if (moved) {
        *moved = r.Information;
    }
    return r.Status;
}

HmIrpResult QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type)
{
    return HmSendPnp(pdo, IRP_MN_QUERY_ID,
                     [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; });
}

std::u16string TakeString(ULONG_PTR information)
{
    std::u16string s;
    auto text = reinterpret_cast<const WCHAR*>(information);
    for (size_t i = 0; text && text[i]; ++i) {
        s.push_back(static_cast<char16_t>(text[i]));
    }
    if (text) {
        ExFreePool(reinterpret_cast<PVOID>(information));
    }
    return s;
}

} // namespace

TEST_F(MachineBus, ConfigurationSpaceOfEveryModelCarriesItsIdentifiers)
{
    for (int i = 0; i < HmModelCount; ++i) {
        HmModel model = static_cast<HmModel>(i);
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        ASSERT_NE(pdo, nullptr);
        PCI_COMMON_HEADER header;
        std::memset(&header, 0xCC, sizeof header);
        ULONG_PTR moved = 0;
        ASSERT_EQ(ReadConfig(pdo, 0, sizeof header, reinterpret_cast<UCHAR*>(&header), &moved),
                  STATUS_SUCCESS);
        EXPECT_EQ(moved, sizeof header);
        EXPECT_EQ(header.VendorID, 0x1E5C);
        EXPECT_EQ(header.DeviceID, 0x0001);
        EXPECT_EQ(header.u.type0.SubVendorID, 0x0001);
        EXPECT_EQ(header.u.type0.SubSystemID, HmSubsystemId(model)) << HmModelName(model);
        EXPECT_EQ(header.u.type0.BaseAddresses[0] & 3u, 1u) << "BAR 0 is an I/O BAR";
        EXPECT_EQ(header.u.type0.BaseAddresses[1] & 3u, 1u) << "BAR 1 is an I/O BAR";
        EXPECT_NE(header.u.type0.BaseAddresses[0] & ~3u, 0u) << "firmware gave BAR 0 an address";
        EXPECT_EQ(header.u.type0.BaseAddresses[2], 0u);
    }
}

TEST_F(MachineBus, ConfigReadHonoursOffsetAndClipsAtTheEnd)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    UCHAR buffer[16];
    std::memset(buffer, 0xEE, sizeof buffer);
    ULONG_PTR moved = 0;
    ASSERT_EQ(ReadConfig(pdo, 0x2C, 4, buffer, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 0x0001);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x7A21);
    EXPECT_EQ(buffer[4], 0xEE) << "nothing beyond the length is written";
    ASSERT_EQ(ReadConfig(pdo, 250, 16, buffer, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 6u);
    EXPECT_EQ(buffer[6], 0xEE);
}

TEST_F(MachineBus, SynchronousAndPendingAnswersAreTheSame)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4B);
    for (bool pending : {false, true}) {
        HmBusAnswers answers = HmGetBusAnswers(pdo);
        answers.Pending = pending ? static_cast<unsigned>(HmBusRequest::ReadConfig) |
                                        static_cast<unsigned>(HmBusRequest::QueryId)
                                  : 0;
        answers.InstanceId = u"4&2b8260c3&0&20F0";
        HmSetBusAnswers(pdo, answers);
        PCI_COMMON_HEADER header;
        ASSERT_EQ(ReadConfig(pdo, 0, 64, reinterpret_cast<UCHAR*>(&header), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(header.u.type0.SubSystemID, 0x7B41);
        HmIrpResult r = QueryId(pdo, BusQueryInstanceID);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(TakeString(r.Information), u"4&2b8260c3&0&20F0");
        std::vector<HmBusRecord> records = HmBusRecords(pdo);
        ASSERT_GE(records.size(), 2u);
        // Under forced pending every answer is a pending one.
        EXPECT_EQ(records[records.size() - 2].Pending, pending || HmForcedPending());
        EXPECT_EQ(records.back().Pending, pending || HmForcedPending());
        EXPECT_EQ(records.back().Minor, IRP_MN_QUERY_ID);
    }
}

TEST_F(MachineBus, InstanceIdAnswersNoneFailureAndOverlong)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX8C);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.InstanceIdAnswer = HmIdAnswer::None;
    HmSetBusAnswers(pdo, answers);
    HmIrpResult r = QueryId(pdo, BusQueryInstanceID);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 0u);

    answers.InstanceIdAnswer = HmIdAnswer::Fail;
    answers.InstanceIdFailure = STATUS_INSUFFICIENT_RESOURCES;
    HmSetBusAnswers(pdo, answers);
    r = QueryId(pdo, BusQueryInstanceID);
    EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.Information, 0u);

    answers.InstanceIdAnswer = HmIdAnswer::String;
    answers.InstanceId = std::u16string(300, u'7');
    HmSetBusAnswers(pdo, answers);
    r = QueryId(pdo, BusQueryInstanceID);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeString(r.Information).size(), 300u);
}

TEST_F(MachineBus, HardwareIdsAreAPciMultiString)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2C);
    HmIrpResult r = QueryId(pdo, BusQueryHardwareIDs);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    auto text = reinterpret_cast<const WCHAR*>(r.Information);
    std::vector<std::u16string> ids;
    std::u16string current;
    for (size_t i = 0;; ++i) {
        if (text[i]) {
            current.push_back(static_cast<char16_t>(text[i]));
        } else if (current.empty()) {
            break;
        } else {
            ids.push_back(current);
            current.clear();
        }
    }
    ExFreePool(reinterpret_cast<PVOID>(r.Information));
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[0], u"PCI\\VEN_1E5C&DEV_0001&SUBSYS_7C210001&REV_01");
    EXPECT_EQ(ids[1], u"PCI\\VEN_1E5C&DEV_0001&SUBSYS_7C210001");
}

TEST_F(MachineBus, CapabilitiesAnswerKeepsTheCallersSizeAndVersion)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.Capabilities.UINumber = 42;
    answers.Capabilities.SurpriseRemovalOK = 1;
    answers.Capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    HmSetBusAnswers(pdo, answers);
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    HmIrpResult r = HmSendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, sizeof caps);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.UINumber, 42u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
}

TEST_F(MachineBus, OtherRequestsCompleteWithTheStatusTheyCarry)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    GUID guid = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    INTERFACE iface;
    HmIrpResult r = HmSendPnp(pdo, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryInterface.InterfaceType = &guid;
        sp->Parameters.QueryInterface.Size = sizeof iface;
        sp->Parameters.QueryInterface.Version = 1;
        sp->Parameters.QueryInterface.Interface = &iface;
    });
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
}

TEST_F(MachineBus, StartProgramsTheBarsAndMapsTheRegisters)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    EXPECT_FALSE(HmRegistersMapped(pdo));
    HmAssignment a = HmMakeAssignment(0xE000, 32, 0xE040, 4, 17, 0x72, 7);
    HmIrpResult r = StartBareFunction(pdo, a);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_TRUE(HmRegistersMapped(pdo));
    EXPECT_EQ(HmBarBase(pdo, 0), 0xE000u);
    EXPECT_EQ(HmBarBase(pdo, 1), 0xE040u);
    EXPECT_EQ(HmInterrupts(pdo).Vector, 0x72u);
    // The scratch register of UART 2 answers at BAR 0 + 16 + 7; the status register is read-only.
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE000 + 16 + 7), 0x5A);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE000 + 16 + 7)), 0x5A);
    EXPECT_EQ(HmUart(pdo, 2).Scr, 0x5A);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE040), 0xFF);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE040)), 0x00);
    // Stop: decoding off.
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(HmRegistersMapped(pdo));
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0xE000 + 16 + 7)), 0xFF);
}

TEST_F(MachineBus, StatusRegisterShowsEachUartsInterruptOutput)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX8A);
    HmAssignment a = HmDefaultAssignment(pdo);
    ASSERT_EQ(StartBareFunction(pdo, a).Status, STATUS_SUCCESS);
    ULONG64 bar0 = HmBarBase(pdo, 0);
    ULONG64 bar1 = HmBarBase(pdo, 1);
    auto status = [&] { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(bar1)); };
    EXPECT_EQ(status(), 0);
    // UART 5: enable the transmitter interrupt; its INT goes high at once (THR empty).
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(bar0 + 5 * 8 + 1), 0x02);
    EXPECT_EQ(status(), 0x20);
    EXPECT_TRUE(HmLineAsserted(pdo));
    // Reading IIR (showing THRE) clears that source; the line drops.
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(bar0 + 5 * 8 + 2)), 0x02);
    EXPECT_EQ(status(), 0);
    EXPECT_FALSE(HmLineAsserted(pdo));
}

TEST_F(MachineBus, RemoveDeletesThePdoOnlyWhenTheBoardIsGone)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2B);
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(HkDeviceExists(pdo)) << "the board is still in its slot";
    EXPECT_FALSE(HkDeviceDeleted(pdo));
    HmSurpriseRemoveAdapter(pdo);
    EXPECT_FALSE(HkDeviceExists(pdo) && !HkDeviceDeleted(pdo));
    EXPECT_FALSE(HmNode(pdo).Known);
}

TEST_F(MachineBus, SetPowerToD0CanFailAndD3ResetsTheUarts)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(HmSendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d3).Status, STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD3);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.D0Status = STATUS_DEVICE_NOT_READY;
    answers.Pending = static_cast<unsigned>(HmBusRequest::Power);
    HmSetBusAnswers(pdo, answers);
    EXPECT_EQ(HmSendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).Status,
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD3);
    answers.D0Status = STATUS_SUCCESS;
    HmSetBusAnswers(pdo, answers);
    EXPECT_EQ(HmSendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, d0).Status, STATUS_SUCCESS);
    EXPECT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
    // Every power request to the PDO started the next one.
    EXPECT_EQ(HkStartNextPowerIrps().size(), 3u);
}

TEST_F(MachineBus, BarSizingWithAllOnesReadsBackTheDecodeSize)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX8A);
    ULONG ones = 0xFFFFFFFF;
    HmIrpResult r = HmSendPnp(pdo, IRP_MN_WRITE_CONFIG, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = &ones;
        sp->Parameters.ReadWriteConfig.Offset = 0x10;
        sp->Parameters.ReadWriteConfig.Length = 4;
    });
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Information, 4u);
    ULONG bar0 = 0;
    ASSERT_EQ(ReadConfig(pdo, 0x10, 4, reinterpret_cast<UCHAR*>(&bar0), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bar0, 0xFFC1u) << "64 bytes of 16-bit I/O decode";
    // The identifiers are read-only.
    USHORT vendor = 0x1234;
    HmSendPnp(pdo, IRP_MN_WRITE_CONFIG, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
        sp->Parameters.ReadWriteConfig.Buffer = &vendor;
        sp->Parameters.ReadWriteConfig.Offset = 0;
        sp->Parameters.ReadWriteConfig.Length = 2;
    });
    ASSERT_EQ(ReadConfig(pdo, 0, 2, reinterpret_cast<UCHAR*>(&vendor), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(vendor, 0x1E5C);
}

TEST_F(MachineBus, ConfiguredSpaceSurvivesAStartWithoutBarProgramming)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
    UCHAR space[256];
    HmGetConfigSpace(pdo, space);
    const UCHAR odd[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00}; // BAR 0, BAR 1
    std::memcpy(space + 0x10, odd, sizeof odd);
    HmSetConfigSpace(pdo, space);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.ProgramBars = false;
    HmSetBusAnswers(pdo, answers);
    HmAssignment a = HmMakeAssignment(0xE000, 32, 0xE040, 4, 17, 0x72, 7);
    ASSERT_EQ(StartBareFunction(pdo, a).Status, STATUS_SUCCESS);
    UCHAR bars[8];
    ASSERT_EQ(ReadConfig(pdo, 0x10, 8, bars, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(bars, odd, sizeof odd));
    EXPECT_FALSE(HmRegistersMapped(pdo)) << "neither value is a usable I/O BAR";
    EXPECT_EQ(HmBarBase(pdo, 0), 0u);
}
