// Start-device resource assignment as the plug-and-play manager drives it: the resource lists the
// platform hands over, the BARs the configuration space shows, what every port receives, and every
// configuration fault with its event-log sentence, its status and no range left on any port.
#include "adapter_rig.h"

using namespace adapterrig;

namespace {

constexpr ULONG64 UartBase = 0xE000;
constexpr ULONG64 StatusBase = 0xE800;
constexpr ULONG Vector = 0x62;
constexpr ULONG Level = 6;

HmAssignment Realistic(ULONG ports, bool latched = false)
{
    return HmMakeAssignment(UartBase, HmBar0Size(ports), StatusBase, HmBar1Size, 17, Vector, Level,
                            0x3, latched);
}

// Sets the BAR values that the next configuration read shows (after the plug, where firmware
// would have programmed unassigned I/O BARs), and keeps the bus from programming them at start.
void SetBars(PDEVICE_OBJECT pdo, std::initializer_list<ULONG> bars)
{
    UCHAR space[256];
    HmGetConfigSpace(pdo, space);
    ULONG bar = 0;
    for (ULONG value : bars) {
        std::memcpy(space + PciBar0Offset + 4 * bar++, &value, sizeof value);
    }
    HmSetConfigSpace(pdo, space);
    HmBusAnswers answers = HmGetBusAnswers(pdo);
    answers.ProgramBars = false;
    HmSetBusAnswers(pdo, answers);
}

class AdapterStart : public AdapterRig {
protected:
    void ExpectNotConnected()
    {
        EXPECT_EQ(Adapter->InterruptObject, nullptr);
        EXPECT_TRUE(HkInterruptsOn(Vector).empty());
        for (const INTERRUPT_SLOT& slot : Adapter->InterruptSlots) {
            EXPECT_EQ(slot.InUse, 0);
            EXPECT_EQ(slot.Routine, nullptr);
        }
    }
};

class AdapterStartModels : public AdapterStart, public ::testing::WithParamInterface<HmModel> {};

TEST_P(AdapterStartModels, EveryPortGetsItsBlockInBar0AndItsStatusBit)
{
    const ULONG ports = HmPortCount(GetParam());
    Plug(GetParam());
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(ports)), STATUS_SUCCESS);

    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(Adapter->PnpState, PnpActive);
    EXPECT_EQ(Adapter->Bars[0].Start, UartBase);
    EXPECT_EQ(Adapter->Bars[0].Length, HmBar0Size(ports));
    EXPECT_EQ(Adapter->Bars[1].Start, StatusBase);
    EXPECT_EQ(Adapter->Bars[1].Length, HmBar1Size);
    for (ULONG bar = 2; bar < PciBarCount; ++bar) {
        EXPECT_EQ(Adapter->Bars[bar].Length, 0u) << "BAR " << bar;
    }
    EXPECT_EQ(Adapter->StatusPort, StatusBase);

    ASSERT_EQ(Ports.size(), ports);
    for (ULONG k = 0; k < ports; ++k) {
        SCOPED_TRACE("port " + std::to_string(k));
        EXPECT_EQ(Ports[k]->IoBase, UartBase + 8 * k);
        EXPECT_EQ(Ports[k]->IoLength, 8u);
        EXPECT_EQ(Ports[k]->InterruptMask, 1u << k);
    }

    // One shared level-sensitive connection with the translated interrupt's values.
    std::vector<HkInterruptInfo> on = HkInterruptsOn(Vector);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].Object, Adapter->InterruptObject);
    EXPECT_EQ(on[0].Irql, Level);
    EXPECT_EQ(on[0].SynchronizeIrql, Level);
    EXPECT_EQ(on[0].Mode, LevelSensitive);
    EXPECT_TRUE(on[0].ShareVector);
    EXPECT_EQ(on[0].Affinity, KAFFINITY(0x3));
    EXPECT_EQ(on[0].ServiceRoutine, AdapterIsr);
    EXPECT_EQ(on[0].ServiceContext, Adapter);

    // The bus's instance ID, kept in non-paged pool with the driver's tag.
    ASSERT_NE(Adapter->ParentInstanceId, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Adapter->ParentInstanceId)),
              HmGetBusAnswers(Pdo).InstanceId);
    ULONG tag = 0;
    int poolType = -1;
    ASSERT_TRUE(HkPoolBlockInfo(Adapter->ParentInstanceId, &tag, &poolType, nullptr));
    EXPECT_EQ(tag, CorPoolTag);
    EXPECT_EQ(poolType, NonPagedPool);
}

INSTANTIATE_TEST_SUITE_P(Models, AdapterStartModels,
                         ::testing::Values(HmModel::LX2A, HmModel::LX4B, HmModel::LX8C),
                         [](const ::testing::TestParamInfo<HmModel>& info) {
                             return std::string(HmModelName(info.param));
                         });

// A BAR that is not a configured I/O BAR gets no range; the range goes to the next I/O BAR. Here
// that leaves BAR 1, the status register's, without one: the start is refused rather than have
// the interrupt service routine read I/O port 0.
TEST_F(AdapterStart, RangePassesOverBarsThatAreNotIoAndBar1WithoutOneFailsTheStart)
{
    const ULONG notIo[] = {0xFFFFFFFF, 0x00000001, 0xFE000000};
    for (ULONG bar1 : notIo) {
        SCOPED_TRACE(::testing::Message() << "BAR 1 = 0x" << std::hex << bar1);
        HkClearErrorLog();
        Plug(HmModel::LX4A);
        SetBars(Pdo, {0xE001, bar1, 0xE801});
        EXPECT_EQ(HmStartAdapter(Pdo, Realistic(4)), STATUS_DEVICE_CONFIGURATION_ERROR);

        EXPECT_EQ(Adapter->Bars[0].Start, UartBase);
        EXPECT_EQ(Adapter->Bars[1].Length, 0u);
        EXPECT_EQ(Adapter->Bars[2].Start, StatusBase);
        EXPECT_EQ(Adapter->Bars[2].Length, HmBar1Size);
        EXPECT_EQ(Adapter->StatusPort, 0u);
        EXPECT_EQ(Reports(), std::vector<Report>{
                                 Error("No I/O range assigned to the interrupt status register.")});
        // The interrupt was captured, but never connected; the ports hold nothing.
        EXPECT_TRUE(Adapter->HasInterrupt);
        EXPECT_EQ(Adapter->InterruptVector, Vector);
        ExpectNotConnected();
        ExpectNoPortRanges();
    }
}

TEST_F(AdapterStart, MemoryBar0SendsTheFirstRangeToBar1AndEveryPortFindsNoBar)
{
    Plug(HmModel::LX4A);
    SetBars(Pdo, {0xFE000000, 0xE001, 0xE801});
    EXPECT_EQ(HmStartAdapter(Pdo, Realistic(4)), STATUS_DEVICE_CONFIGURATION_ERROR);

    EXPECT_EQ(Adapter->Bars[0].Length, 0u);
    EXPECT_EQ(Adapter->Bars[1].Start, UartBase);
    EXPECT_EQ(Adapter->StatusPort, UartBase);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{Error("BAR not configured."), Error("BAR not configured."),
                                   Error("BAR not configured."), Error("BAR not configured."),
                                   Error("Unable to assign resources to port devices.")}));
    EXPECT_EQ(Adapter->PnpState, PnpActive) << "a failed start leaves the state as it was";
    ExpectNotConnected();
    ExpectNoPortRanges();
}

TEST_F(AdapterStart, LatchedInterruptIsReportedAsAWarningAndTheStartGoesOn)
{
    Plug(HmModel::LX2C);
    HkClearDebugOutput();
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(2, true)), STATUS_SUCCESS);

    const Report warning{CorMsgWarning,
                         "Interrupt line is in latched mode, should be level-sensitive."};
    EXPECT_EQ(Reports(), std::vector<Report>{warning});
    ASSERT_EQ(HkErrorLog().size(), 1u);
    EXPECT_EQ(static_cast<ULONG>(HkErrorLog()[0].FinalStatus), CorMsgWarning);
    EXPECT_NE(HkDebugOutput().find("   interrupt is latched, should be level-sensitive\n"),
              std::string::npos)
        << HkDebugOutput();
    std::vector<HkInterruptInfo> on = HkInterruptsOn(Vector);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].Mode, Latched);
    EXPECT_EQ(Adapter->InterruptMode, 1u);
}

// The last port's block may end exactly where BAR 0's range ends; one byte less is too little.
TEST_F(AdapterStart, BlockEndingAtTheEndOfTheRangeFitsAndOneByteLessDoesNot)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo, HmMakeAssignment(UartBase, 32, StatusBase, 1, 17, Vector, Level)),
              STATUS_SUCCESS);
    EXPECT_EQ(Ports[3]->IoBase, UartBase + 24);
    EXPECT_TRUE(Reports().empty());

    Stop();
    EXPECT_EQ(HmStartAdapter(Pdo, HmMakeAssignment(UartBase, 31, StatusBase, 1, 17, Vector, Level)),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{Error("BAR range exceeded."),
                                   Error("Unable to assign resources to port devices.")}));
    ExpectNotConnected();
    ExpectNoPortRanges();
}

// Lists as the platform may build them: several full descriptors, memory and device-specific
// descriptors among the ports, more port ranges and interrupts than the adapter uses.
TEST_F(AdapterStart, LongListsKeepSixRangesAndTheFirstInterrupt)
{
    Plug(HmModel::LX4A);
    SetBars(Pdo, {0xE001, 0xE801, 0xE901, 0xEA01, 0xEB01, 0xEC01});
    const ULONG64 starts[] = {UartBase, StatusBase, 0xE900, 0xEA00, 0xEB00, 0xEC00, 0xED00};
    const ULONG lengths[] = {32, 4, 16, 16, 16, 16, 16};
    auto list = [&](bool translated) {
        HmFullDescriptor first;
        first.Partials = {HmMemoryRange(0xFE000000, 0x1000), HmPortRange(starts[0], lengths[0]),
                          HmInterrupt(translated ? Level : 17, translated ? Vector : 17, 0x3),
                          HmPortRange(starts[1], lengths[1]),
                          HmDeviceSpecific(std::vector<UCHAR>(12, 0xFF))};
        HmFullDescriptor second;
        second.BusNumber = 1;
        second.Partials = {HmPortRange(starts[2], lengths[2]),
                           HmPortRange(starts[3], lengths[3]),
                           HmInterrupt(translated ? 9 : 21, translated ? 0x70 : 21, 0x1),
                           HmPortRange(starts[4], lengths[4]),
                           HmPortRange(starts[5], lengths[5]),
                           HmPortRange(starts[6], lengths[6])};
        return HmResourceList{first, second};
    };
    HmAssignment assignment;
    assignment.Raw = list(false);
    assignment.Translated = list(true);
    ASSERT_EQ(HmStartAdapter(Pdo, assignment), STATUS_SUCCESS);

    for (ULONG bar = 0; bar < PciBarCount; ++bar) {
        EXPECT_EQ(Adapter->Bars[bar].Start, starts[bar]) << "BAR " << bar;
        EXPECT_EQ(Adapter->Bars[bar].Length, lengths[bar]) << "BAR " << bar;
    }
    EXPECT_EQ(Adapter->InterruptVector, Vector);
    EXPECT_EQ(Adapter->InterruptLevel, Level);
    EXPECT_EQ(HkInterruptsOn(Vector).size(), 1u);
    EXPECT_TRUE(HkInterruptsOn(0x70).empty());
    EXPECT_EQ(Ports[2]->IoBase, UartBase + 16);
}

// Every fault of the assignment: its sentences, the start's status, the interrupt never
// connected and no port holding a range.
struct ConfigFault {
    const char* Name;
    std::function<void(HmAssignment&)> Break;
    std::vector<Report> Log;
    NTSTATUS Status;
    bool InterruptCaptured;
};

void PrintTo(const ConfigFault& fault, std::ostream* out)
{
    *out << fault.Name;
}

class AdapterStartFaults : public AdapterStart,
                           public ::testing::WithParamInterface<ConfigFault> {};

TEST_P(AdapterStartFaults, ReportedRefusedAndNothingAssigned)
{
    const ConfigFault& fault = GetParam();
    Plug(HmModel::LX4B);
    HmAssignment assignment = Realistic(4);
    fault.Break(assignment);
    if (fault.Status == STATUS_INSUFFICIENT_RESOURCES) {
        HkFailNth(HkFault::ConnectInterrupt, 1);
    }
    EXPECT_EQ(HmStartAdapter(Pdo, assignment), fault.Status);
    HkClearFaults();

    EXPECT_EQ(Reports(), fault.Log);
    EXPECT_EQ(Adapter->HasInterrupt, fault.InterruptCaptured ? TRUE : FALSE);
    EXPECT_EQ(HmNode(Pdo).State, HmNodeState::StartFailed);
    ExpectNotConnected();
    ExpectNoPortRanges();
}

void DropPorts(HmResourceList& list)
{
    for (HmFullDescriptor& full : list) {
        std::vector<HmPartial> kept;
        for (const HmPartial& p : full.Partials) {
            if (p.Type != CmResourceTypePort) {
                kept.push_back(p);
            }
        }
        full.Partials = kept;
    }
}

void DropInterrupt(HmResourceList& list)
{
    list[0].Partials.pop_back();
}

const ConfigFault Faults[] = {
    {"NoRawList",
     [](HmAssignment& a) { a.NoRaw = true; },
     {Error("No hardware resources assigned to the device.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     false},
    {"NoTranslatedList",
     [](HmAssignment& a) { a.NoTranslated = true; },
     {Error("No hardware resources assigned to the device.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     false},
    {"NoTranslatedInterrupt",
     [](HmAssignment& a) { DropInterrupt(a.Translated); },
     {Error("No interrupt assigned to the device.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     false},
    {"NoRawPortRange",
     [](HmAssignment& a) { DropPorts(a.Raw); },
     {Error("No I/O ranges assigned to the device.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"NoTranslatedPortRange",
     [](HmAssignment& a) { DropPorts(a.Translated); },
     {Error("No I/O ranges assigned to the device.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"RawAndTranslatedCountsDiffer",
     [](HmAssignment& a) { a.Translated[0].Partials.erase(a.Translated[0].Partials.begin() + 1); },
     {Error("Invalid I/O range assignment.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"NoRangeForBar1",
     [](HmAssignment& a) {
         a.Raw[0].Partials.erase(a.Raw[0].Partials.begin() + 1);
         a.Translated[0].Partials.erase(a.Translated[0].Partials.begin() + 1);
     },
     {Error("No I/O range assigned to the interrupt status register.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"Bar0RangeTooShort",
     [](HmAssignment& a) {
         a.Raw[0].Partials[0].Length = 16;
         a.Translated[0].Partials[0].Length = 16;
     },
     {Error("BAR range exceeded."), Error("BAR range exceeded."),
      Error("Unable to assign resources to port devices.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"Bar0RangeBeyondIoSpace",
     [](HmAssignment& a) { a.Translated[0].Partials[0].Start = 0xFFF0; },
     {Error("Invalid I/O range assignment.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"StatusRangeWrapsAround",
     [](HmAssignment& a) { a.Translated[0].Partials[1].Start = ~0ull; },
     {Error("Invalid I/O range assignment.")},
     STATUS_DEVICE_CONFIGURATION_ERROR,
     true},
    {"InterruptCannotBeConnected",
     [](HmAssignment&) {},
     {Error("Unable to connect to interrupt line.")},
     STATUS_INSUFFICIENT_RESOURCES,
     true},
};

INSTANTIATE_TEST_SUITE_P(Faults, AdapterStartFaults, ::testing::ValuesIn(Faults),
                         [](const ::testing::TestParamInfo<ConfigFault>& info) {
                             return std::string(info.param.Name);
                         });

// Descriptor faults the catalogue's rows never have: every failing port reports its own sentence,
// the start reports once, and the first failure's status is returned.
TEST_F(AdapterStart, EveryFailingPortReportsAndTheStartReportsOnce)
{
    Plug(HmModel::LX4A);
    PORT_DESCRIPTOR broken[4];
    const PORT_DESCRIPTOR* original[4];
    for (int k = 0; k < 4; ++k) {
        original[k] = Ports[k]->Descriptor;
        broken[k] = *original[k];
        Ports[k]->Descriptor = &broken[k];
    }
    broken[0].Bar = -1; // refused without a sentence
    broken[1].Bar = 6;
    broken[2].Length = 0;
    EXPECT_EQ(HmStartAdapter(Pdo, Realistic(4)), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(Reports(),
              (std::vector<Report>{Error("Internal Error: BAR index out of range."),
                                   Error("BAR length is null."),
                                   Error("Unable to assign resources to port devices.")}));
    ExpectNotConnected();
    ExpectNoPortRanges();
    for (int k = 0; k < 4; ++k) {
        Ports[k]->Descriptor = original[k];
    }
}

TEST_F(AdapterStart, InstanceIdIsCutTo255CharactersAndMayBeEmpty)
{
    Plug(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    std::u16string longId;
    for (int i = 0; i < 300; ++i) {
        longId.push_back(u'A' + i % 26);
    }
    answers.InstanceId = longId;
    HmSetBusAnswers(Pdo, answers);
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(2)), STATUS_SUCCESS);
    ASSERT_NE(Adapter->ParentInstanceId, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(Adapter->ParentInstanceId)),
              longId.substr(0, 255));

    // A restart replaces the copy (no second block); an answer without a string is the empty ID.
    Stop();
    answers.InstanceIdAnswer = HmIdAnswer::None;
    HmSetBusAnswers(Pdo, answers);
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(2)), STATUS_SUCCESS);
    ASSERT_NE(Adapter->ParentInstanceId, nullptr);
    EXPECT_EQ(Adapter->ParentInstanceId[0], 0);
    EXPECT_EQ(HkPoolOutstanding(CorPoolTag).Blocks, 1u);
}

TEST_F(AdapterStart, BusThatCannotAnswerFailsTheStartWithoutAReport)
{
    const char* cases[] = {"configuration read fails", "instance ID query fails"};
    for (const char* what : cases) {
        SCOPED_TRACE(what);
        Plug(HmModel::LX4C);
        HmBusAnswers answers = HmGetBusAnswers(Pdo);
        if (what == cases[0]) {
            answers.ReadConfigStatus = STATUS_DEVICE_NOT_READY;
        } else {
            answers.InstanceIdAnswer = HmIdAnswer::Fail;
        }
        HmSetBusAnswers(Pdo, answers);
        EXPECT_EQ(HmStartAdapter(Pdo, Realistic(4)), STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(Reports().empty());
        EXPECT_EQ(Adapter->ParentInstanceId, nullptr);
        EXPECT_EQ(Adapter->HasInterrupt, FALSE);
        ExpectNotConnected();
        ExpectNoPortRanges();
    }
}

// Stop withdraws every range and the interrupt; the next start hands out the new lists' ranges to
// the same port devices.
TEST_F(AdapterStart, RestartAfterStopUsesTheNewLists)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(4)), STATUS_SUCCESS);
    const std::vector<PPORT_EXTENSION> before = Ports;

    Stop();
    EXPECT_EQ(Adapter->PnpState, PnpStopped);
    ExpectNotConnected();
    ExpectNoPortRanges();

    ASSERT_EQ(HmStartAdapter(Pdo, HmMakeAssignment(0xC000, 32, 0xC800, 4, 21, 0x71, 5)),
              STATUS_SUCCESS);
    EXPECT_EQ(Adapter->PnpState, PnpActive);
    EXPECT_EQ(portrig::PortExts(Adapter), before);
    for (ULONG k = 0; k < 4; ++k) {
        EXPECT_EQ(Ports[k]->IoBase, 0xC000u + 8 * k);
        EXPECT_EQ(Ports[k]->InterruptMask, 1u << k);
    }
    EXPECT_EQ(Adapter->StatusPort, 0xC800u);
    EXPECT_TRUE(HkInterruptsOn(Vector).empty());
    std::vector<HkInterruptInfo> on = HkInterruptsOn(0x71);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].Irql, 5);
    EXPECT_TRUE(Reports().empty());
}

// The manager never starts a running adapter without stopping it, but if a start did arrive, the
// old connection is taken down before the new one is made: exactly one remains, on the new vector.
TEST_F(AdapterStart, StartOnARunningAdapterLeavesOneConnection)
{
    Plug(HmModel::LX2A);
    ASSERT_EQ(HmStartAdapter(Pdo, Realistic(2)), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(Pdo, HmMakeAssignment(0xC000, 16, 0xC800, 4, 21, 0x71, 5)),
              STATUS_SUCCESS);
    EXPECT_TRUE(HkInterruptsOn(Vector).empty());
    std::vector<HkInterruptInfo> on = HkInterruptsOn(0x71);
    ASSERT_EQ(on.size(), 1u);
    EXPECT_EQ(on[0].Object, Adapter->InterruptObject);
    EXPECT_EQ(Ports[1]->IoBase, 0xC008u);
}

} // namespace
