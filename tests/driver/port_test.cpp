// Port devices as the plug-and-play and power managers see them: identifiers, texts and
// capabilities as the exact buffers handed over, target relations, the minor-function table and
// the power table.
#include "port_rig.h"

using namespace portrig;

namespace {

class PortDevice : public PortRigTest {
protected:
    // Sends a query that answers with a pool string, checks the block (paged pool, the driver's
    // tag, string plus two zero units) and frees it as the manager would.
    std::u16string QueryString(PDEVICE_OBJECT port, UCHAR minor, ULONG type,
                               NTSTATUS* status = nullptr)
    {
        DirectResult r = SendPnp(port, minor, [&](PIO_STACK_LOCATION s) {
            if (minor == IRP_MN_QUERY_ID) {
                s->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
            } else {
                s->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(type);
                s->Parameters.QueryDeviceText.LocaleId = 0x407;
            }
        });
        EXPECT_EQ(r.Returned, r.Status);
        if (status != nullptr) {
            *status = r.Status;
        }
        if (r.Status != STATUS_SUCCESS) {
            EXPECT_EQ(r.Information, 0u);
            return {};
        }
        void* buffer = reinterpret_cast<void*>(r.Information);
        std::u16string units = UnitsThroughDoubleZero(buffer);
        ULONG tag = 0;
        int poolType = -1;
        size_t size = 0;
        EXPECT_TRUE(HkPoolBlockInfo(buffer, &tag, &poolType, &size));
        EXPECT_EQ(tag, CorPoolTag);
        EXPECT_EQ(poolType, PagedPool);
        EXPECT_EQ(size, units.size() * 2) << "answer block is the string plus two zero units";
        ExFreePool(buffer);
        return units;
    }
};

TEST_F(PortDevice, DeviceAndHardwareIdsAreMultiStringsWithTheOneBasedPortNumber)
{
    Plug(HmModel::LX4B);
    for (size_t i = 0; i < Ports.size(); i++) {
        EXPECT_EQ(QueryString(Ports[i]->Self, IRP_MN_QUERY_ID, BusQueryDeviceID),
                  Answer(u"Corcard\\CorPort"));
        std::u16string hardware = QueryString(Ports[i]->Self, IRP_MN_QUERY_ID, BusQueryHardwareIDs);
        EXPECT_EQ(hardware, Answer(u"CorPort" + U16(std::to_string(i + 1).c_str())))
            << Narrow(hardware);
    }
    // The third port: the eight units of CorPort3 and two zeros.
    EXPECT_EQ(QueryString(Ports[2]->Self, IRP_MN_QUERY_ID, BusQueryHardwareIDs),
              std::u16string(u"CorPort3\0\0", 10));
    // What the plug-and-play manager recorded for the node.
    HmNodeInfo node = HmNode(Ports[2]->Self);
    ASSERT_TRUE(node.Known);
    EXPECT_EQ(node.DeviceId, u"Corcard\\CorPort");
    ASSERT_EQ(node.HardwareIds.size(), 1u);
    EXPECT_EQ(node.HardwareIds[0], u"CorPort3");
}

TEST_F(PortDevice, InstanceIdCarriesTheIdsTheParentInstanceAndTheIndex)
{
    Plug(HmModel::LX2A);
    std::u16string parent = HmGetBusAnswers(Pdo).InstanceId;
    ASSERT_FALSE(parent.empty());
    EXPECT_EQ(QueryString(Ports[0]->Self, IRP_MN_QUERY_ID, BusQueryInstanceID),
              Answer(u"1E5C&0001_7A210001_" + parent + u"_Port0"));
    EXPECT_EQ(QueryString(Ports[1]->Self, IRP_MN_QUERY_ID, BusQueryInstanceID),
              Answer(u"1E5C&0001_7A210001_" + parent + u"_Port1"));
}

TEST_F(PortDevice, InstanceIdWithoutParentInstanceLetsTheUnderscoresMeet)
{
    // Before the first start the adapter has no parent instance ID at all.
    Plug(HmModel::LX2A, false);
    ASSERT_EQ(Adapter->ParentInstanceId, nullptr);
    EXPECT_EQ(QueryString(Ports[0]->Self, IRP_MN_QUERY_ID, BusQueryInstanceID),
              Answer(u"1E5C&0001_7A210001__Port0"));
}

TEST_F(PortDevice, InstanceIdWithAnEmptyParentInstanceIsTheSame)
{
    Pdo = HmPlugAdapter(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    answers.InstanceIdAnswer = HmIdAnswer::None;
    HmSetBusAnswers(Pdo, answers);
    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Ports = PortExts(AdapterExt(Pdo));
    EXPECT_EQ(QueryString(Ports[1]->Self, IRP_MN_QUERY_ID, BusQueryInstanceID),
              Answer(u"1E5C&0001_7A210001__Port1"));
}

TEST_F(PortDevice, OverlongParentInstanceDropsOnlyThePieceThatDoesNotFit)
{
    // 250 characters of parent instance ID: the 19 before it and the 6 of "_Port0" do not all
    // fit in 256 units with the terminator, so the parent piece is dropped and "_Port0" follows
    // directly.
    Pdo = HmPlugAdapter(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    answers.InstanceId = std::u16string(250, u'P');
    HmSetBusAnswers(Pdo, answers);
    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Ports = PortExts(AdapterExt(Pdo));
    EXPECT_EQ(QueryString(Ports[0]->Self, IRP_MN_QUERY_ID, BusQueryInstanceID),
              Answer(u"1E5C&0001_7A210001__Port0"));
}

TEST_F(PortDevice, IndexAndPortNumberPartAfterAFailedPortCreation)
{
    Pdo = HmPlugAdapter(HmModel::LX4C);
    // Creations from here: the adapter device, then ports 0, 1, 2, 3; the second port fails.
    HkFailNth(HkFault::CreateDevice, 3);
    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    HkClearFaults();
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Adapter = AdapterExt(Pdo);
    Ports = PortExts(Adapter);
    ASSERT_EQ(Ports.size(), 3u);

    const char* hardware[] = {"CorPort1", "CorPort3", "CorPort4"};
    const char* description[] = {"TORVA Corran Serial Port 1", "TORVA Corran Serial Port 3",
                                 "TORVA Corran Serial Port 4"};
    const char* location[] = {"LX4C-port 1,  RS-232/422/485", "LX4C-port 3,  RS-232/422/485",
                              "LX4C-port 4,  RS-232/422/485"};
    std::u16string parent = HmGetBusAnswers(Pdo).InstanceId;
    for (size_t i = 0; i < 3; i++) {
        PDEVICE_OBJECT port = Ports[i]->Self;
        EXPECT_EQ(QueryString(port, IRP_MN_QUERY_ID, BusQueryHardwareIDs),
                  Answer(U16(hardware[i])));
        EXPECT_EQ(QueryString(port, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription),
                  Answer(U16(description[i])));
        EXPECT_EQ(QueryString(port, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation),
                  Answer(U16(location[i])));
        // The instance ID counts port devices, not descriptors: 0, 1, 2.
        EXPECT_EQ(
            QueryString(port, IRP_MN_QUERY_ID, BusQueryInstanceID),
            Answer(u"1E5C&0001_7C410001_" + parent + u"_Port" + U16(std::to_string(i).c_str())));
    }
}

TEST_F(PortDevice, TextsNameThePortModelAndInterface)
{
    Plug(HmModel::LX8C);
    ASSERT_EQ(Ports.size(), 8u);
    EXPECT_EQ(QueryString(Ports[0]->Self, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription),
              Answer(u"TORVA Corran Serial Port 1"));
    std::u16string location =
        QueryString(Ports[7]->Self, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation);
    EXPECT_EQ(location, Answer(u"LX8C-port 8,  RS-232/422/485"));
    EXPECT_EQ(location.size(), 28u + 2);
    HmNodeInfo node = HmNode(Ports[7]->Self);
    EXPECT_EQ(node.Description, u"TORVA Corran Serial Port 8");
    EXPECT_EQ(node.Location, u"LX8C-port 8,  RS-232/422/485");
}

TEST_F(PortDevice, FirstRowLocationHasTwoBlanksAfterTheComma)
{
    Plug(HmModel::LX2A);
    EXPECT_EQ(QueryString(Ports[0]->Self, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation),
              Answer(u"LX2A-port 1,  RS-232"));
}

TEST_F(PortDevice, UnsupportedIdAndTextTypesAreNotSupportedWithNoInformation)
{
    Plug(HmModel::LX2A);
    NTSTATUS status;
    for (ULONG type : {ULONG(BusQueryCompatibleIDs), ULONG(BusQueryDeviceSerialNumber), ULONG(7)}) {
        QueryString(Ports[0]->Self, IRP_MN_QUERY_ID, type, &status);
        EXPECT_EQ(status, STATUS_NOT_SUPPORTED) << "id type " << type;
    }
    QueryString(Ports[0]->Self, IRP_MN_QUERY_DEVICE_TEXT, 2, &status);
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    // An information value that came in is replaced by 0.
    DirectResult r = SendPnp(
        Ports[0]->Self, IRP_MN_QUERY_ID,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryCompatibleIDs; }, 0x1234);
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(HmNode(Ports[0]->Self).IdStatus[BusQueryCompatibleIDs], STATUS_NOT_SUPPORTED);
}

TEST_F(PortDevice, AnswerBufferThatCannotBeAllocatedFailsTheQuery)
{
    Plug(HmModel::LX2A);
    NTSTATUS status;
    HkFailNth(HkFault::Pool, 1);
    QueryString(Ports[1]->Self, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    HkFailNth(HkFault::Pool, 1);
    QueryString(Ports[1]->Self, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, &status);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaults();
    EXPECT_EQ(QueryString(Ports[1]->Self, IRP_MN_QUERY_ID, BusQueryHardwareIDs),
              Answer(u"CorPort2"));
}

DEVICE_CAPABILITIES QueryCapabilities(PDEVICE_OBJECT port, NTSTATUS* status)
{
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof(caps));
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    DirectResult r = SendPnp(port, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION s) {
        s->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    EXPECT_EQ(r.Returned, r.Status);
    *status = r.Status;
    return caps;
}

ULONG FlagWord(const DEVICE_CAPABILITIES& caps)
{
    ULONG flags;
    std::memcpy(&flags, reinterpret_cast<const UCHAR*>(&caps) + 4, 4);
    return flags;
}

TEST_F(PortDevice, CapabilitiesAreTheFunctionsMarkedUniqueAndSilent)
{
    Pdo = HmPlugAdapter(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    DEVICE_CAPABILITIES& bus = answers.Capabilities;
    bus.RawDeviceOK = 1;
    bus.SurpriseRemovalOK = 1;
    bus.UniqueID = 0;
    bus.SilentInstall = 0;
    bus.Address = 0x00050001;
    bus.UINumber = 7;
    for (int s = 0; s < PowerSystemMaximum; s++) {
        bus.DeviceState[s] = static_cast<DEVICE_POWER_STATE>((s * 3) % 5);
    }
    bus.D1Latency = 11;
    HmSetBusAnswers(Pdo, answers);
    ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Ports = PortExts(AdapterExt(Pdo));

    NTSTATUS status;
    DEVICE_CAPABILITIES caps = QueryCapabilities(Ports[1]->Self, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(FlagWord(caps), FlagWord(bus) | 0x40 | 0x80);
    EXPECT_EQ(caps.UniqueID, 1u);
    EXPECT_EQ(caps.SilentInstall, 1u);
    EXPECT_EQ(caps.RawDeviceOK, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Address, 0x00050001u);
    EXPECT_EQ(caps.UINumber, 7u);
    EXPECT_EQ(caps.D1Latency, 11u);
    for (int s = 0; s < PowerSystemMaximum; s++) {
        EXPECT_EQ(caps.DeviceState[s], bus.DeviceState[s]) << "system state " << s;
    }
    EXPECT_EQ(std::memcmp(&Ports[1]->Capabilities, &caps, sizeof(caps)), 0)
        << "the port keeps a copy of its answer";
}

TEST_F(PortDevice, FailedCapabilitiesQueryChangesNothing)
{
    Plug(HmModel::LX2A);
    HmBusAnswers answers = HmGetBusAnswers(Pdo);
    answers.CapabilitiesStatus = STATUS_UNSUCCESSFUL;
    HmSetBusAnswers(Pdo, answers);
    DEVICE_CAPABILITIES kept = Ports[0]->Capabilities;

    NTSTATUS status;
    DEVICE_CAPABILITIES caps = QueryCapabilities(Ports[0]->Self, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.SilentInstall, 0u);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(std::memcmp(&Ports[0]->Capabilities, &kept, sizeof(kept)), 0);
}

TEST_F(PortDevice, TargetRelationIsThePortItselfReferencedOnce)
{
    Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = Ports[1]->Self;
    LONG before = HkObjectReferences(port);

    DirectResult r = SendPnp(port, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], port);
    EXPECT_EQ(HkObjectReferences(port), before + 1);
    // The reference is an object reference, not an open: deletion looks at opens.
    EXPECT_EQ(port->ReferenceCount, 0);
    ULONG tag = 0;
    int poolType = -1;
    size_t size = 0;
    ASSERT_TRUE(HkPoolBlockInfo(relations, &tag, &poolType, &size));
    EXPECT_EQ(tag, CorPoolTag);
    EXPECT_EQ(poolType, PagedPool);
    ObfDereferenceObject(port);
    ExFreePool(relations);

    // Through the manager, which drops what it received.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(HmQueryTargetRelation(port, &status), port);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(HkObjectReferences(port), before);
}

TEST_F(PortDevice, TargetRelationReplacesAListThatCameIn)
{
    Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = Ports[0]->Self;
    PDEVICE_OBJECT other = Ports[1]->Self;
    LONG portBefore = HkObjectReferences(port);
    LONG otherBefore = HkObjectReferences(other);
    // An upper driver's answer: a list holding the other port, referenced as lists are.
    auto* previous = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x74736554));
    ASSERT_NE(previous, nullptr);
    ObfReferenceObject(other);
    previous->Count = 1;
    previous->Objects[0] = other;

    DirectResult r = SendPnp(
        port, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
        },
        reinterpret_cast<ULONG_PTR>(previous));
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
    ASSERT_NE(relations, nullptr);
    EXPECT_NE(relations, previous);
    ULONG oldTag;
    int oldType;
    size_t oldSize;
    EXPECT_FALSE(HkPoolBlockInfo(previous, &oldTag, &oldType, &oldSize)) << "old list not freed";
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], port);
    EXPECT_EQ(HkObjectReferences(port), portBefore + 1);
    // The replaced list's reference went with it.
    EXPECT_EQ(HkObjectReferences(other), otherBefore);
    ObfDereferenceObject(port);
    ExFreePool(relations);
}

TEST_F(PortDevice, TargetRelationListThatCannotBeAllocatedLeavesInformationAlone)
{
    Plug(HmModel::LX2A);
    HkFailNth(HkFault::Pool, 1);
    DirectResult r = SendPnp(
        Ports[0]->Self, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
        },
        0);
    EXPECT_EQ(r.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.Information, 0u);
}

// Every plug-and-play minor function other than the queries with answers of their own.
TEST_F(PortDevice, MinorFunctionTable)
{
    Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = Ports[0]->Self;
    enum Outcome {
        Success,
        Unchanged,
        Bus
    };
    struct Row {
        UCHAR Minor;
        Outcome Expected;
    } rows[] = {
        {IRP_MN_START_DEVICE, Success},
        {IRP_MN_QUERY_REMOVE_DEVICE, Success},
        {IRP_MN_CANCEL_REMOVE_DEVICE, Success},
        {IRP_MN_STOP_DEVICE, Success},
        {IRP_MN_QUERY_STOP_DEVICE, Success},
        {IRP_MN_CANCEL_STOP_DEVICE, Success},
        {IRP_MN_QUERY_RESOURCES, Success},
        {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, Success},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, Success},
        {0x0E, Unchanged},
        {IRP_MN_READ_CONFIG, Bus},
        {IRP_MN_WRITE_CONFIG, Bus},
        {IRP_MN_EJECT, Bus},
        {IRP_MN_SET_LOCK, Bus},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, Bus},
        {IRP_MN_QUERY_BUS_INFORMATION, Bus},
        {IRP_MN_DEVICE_USAGE_NOTIFICATION, Bus},
        {IRP_MN_SURPRISE_REMOVAL, Success},
        {0x18, Unchanged},
        {0x19, Unchanged},
        {0xFF, Unchanged},
    };
    UCHAR config[4] = {};
    for (const Row& row : rows) {
        size_t busBefore = HmBusRecords(Pdo).size();
        // A sentinel information value shows whether the driver left it alone.
        DirectResult r = SendPnp(
            port, row.Minor,
            [&](PIO_STACK_LOCATION s) {
                if (row.Minor == IRP_MN_READ_CONFIG || row.Minor == IRP_MN_WRITE_CONFIG) {
                    s->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
                    s->Parameters.ReadWriteConfig.Buffer = config;
                    s->Parameters.ReadWriteConfig.Offset = 0;
                    s->Parameters.ReadWriteConfig.Length = row.Minor == IRP_MN_READ_CONFIG ? 4 : 0;
                }
            },
            0x77, STATUS_NOT_SUPPORTED);
        std::vector<HmBusRecord> records = HmBusRecords(Pdo);
        std::string what = HmPnpMinorName(row.Minor);
        // A request passed to the bus may be pending there (always, under forced pending).
        if (!(row.Expected == Bus && r.Returned == STATUS_PENDING)) {
            EXPECT_EQ(r.Returned, r.Status) << what;
        }
        switch (row.Expected) {
        case Success:
            EXPECT_EQ(r.Status, STATUS_SUCCESS) << what;
            EXPECT_EQ(r.Information, 0x77u) << what << ": information is not the driver's";
            EXPECT_EQ(records.size(), busBefore) << what << " reached the bus";
            break;
        case Unchanged:
            EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED) << what;
            EXPECT_EQ(r.Information, 0x77u) << what;
            EXPECT_EQ(records.size(), busBefore) << what << " reached the bus";
            break;
        case Bus:
            ASSERT_EQ(records.size(), busBefore + 1) << what << " did not reach the bus";
            EXPECT_EQ(records.back().Minor, row.Minor) << what;
            EXPECT_EQ(r.Status, records.back().Status) << what;
            break;
        }
    }
    // The vendor ID came from the adapter's configuration space.
    EXPECT_EQ(config[0] | (config[1] << 8), HmVendorId);
    EXPECT_TRUE(HkDeviceExists(port));
}

TEST_F(PortDevice, BusRelationsQueryToAPortComesBackAsItWent)
{
    Plug(HmModel::LX2A);
    DirectResult r = SendPnp(
        Ports[1]->Self, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; }, 0,
        STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.Information, 0u);
}

TEST_F(PortDevice, RemovedPortStaysAndKeepsAnswering)
{
    Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = Ports[1]->Self;
    EXPECT_EQ(SendPnp(port, IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(SendPnp(port, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(HkDeviceExists(port));
    EXPECT_FALSE(HkDeviceDeleted(port));
    EXPECT_EQ(PortExts(AdapterExt(Pdo)).size(), 2u);
    EXPECT_EQ(QueryString(port, IRP_MN_QUERY_ID, BusQueryHardwareIDs), Answer(u"CorPort2"));
}

TEST_F(PortDevice, SystemControlComesBackAsItWent)
{
    Plug(HmModel::LX2A);
    DirectResult r = SendDirect(Ports[0]->Self, IRP_MJ_SYSTEM_CONTROL, 0, {}, 0x55,
                                STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(r.Information, 0x55u);
}

// The port power table: set, query and wait-wake are acknowledged at once; nothing is recorded
// or announced, and the adapter's power state is not involved.
TEST_F(PortDevice, PowerTable)
{
    Plug(HmModel::LX2A);
    PDEVICE_OBJECT port = Ports[0]->Self;
    struct Row {
        UCHAR Minor;
        POWER_STATE_TYPE Type;
        ULONG State;
        NTSTATUS Expected;
        bool StartsNext;
    } rows[] = {
        {IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, true},
        {IRP_MN_POWER_SEQUENCE, SystemPowerState, 0, STATUS_NOT_SUPPORTED, false},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS, true},
        {IRP_MN_SET_POWER, SystemPowerState, PowerSystemHibernate, STATUS_SUCCESS, true},
        {IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0, STATUS_SUCCESS, true},
        {IRP_MN_QUERY_POWER, SystemPowerState, PowerSystemShutdown, STATUS_SUCCESS, true},
        {IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS, true},
        {0x04, SystemPowerState, 0, STATUS_NOT_SUPPORTED, false},
    };
    ULONG adapterState = AdapterExt(Pdo)->DevicePowerState;
    size_t busBefore = HmBusRecords(Pdo).size();
    size_t announced = HkPowerStateRecords().size();
    for (const Row& row : rows) {
        size_t started = HkStartNextPowerIrps().size();
        DirectResult r = SendDirect(
            port, IRP_MJ_POWER, row.Minor,
            [&](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = row.Type;
                if (row.Type == SystemPowerState) {
                    s->Parameters.Power.State.SystemState =
                        static_cast<SYSTEM_POWER_STATE>(row.State);
                } else {
                    s->Parameters.Power.State.DeviceState =
                        static_cast<DEVICE_POWER_STATE>(row.State);
                }
            },
            0x99, STATUS_NOT_SUPPORTED);
        std::string what = HmPowerMinorName(row.Minor);
        EXPECT_EQ(r.Returned, row.Expected) << what;
        EXPECT_EQ(r.Status, row.Expected) << what;
        EXPECT_EQ(r.Information, row.Expected == STATUS_SUCCESS ? 0u : 0x99u) << what;
        EXPECT_EQ(HkStartNextPowerIrps().size(), started + (row.StartsNext ? 1 : 0)) << what;
    }
    EXPECT_EQ(HkPowerStateRecords().size(), announced);
    EXPECT_EQ(HmBusRecords(Pdo).size(), busBefore);
    EXPECT_EQ(AdapterExt(Pdo)->DevicePowerState, adapterState);
}

} // namespace
