// Add-device against a bus driver that answers the configuration read later, from its own
// completion thread, as a real PCI bus may: the driver must wait for the answer.
#include "spine_support.h"

using namespace spine;

namespace {

class AddDeviceConcurrency : public CorcardTest {
protected:
    PDEVICE_OBJECT PlugPending(HmModel model, NTSTATUS readStatus)
    {
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        HmBusAnswers answers = HmGetBusAnswers(pdo);
        answers.Pending = static_cast<unsigned>(HmBusRequest::ReadConfig);
        answers.ReadConfigStatus = readStatus;
        HmSetBusAnswers(pdo, answers);
        return pdo;
    }
};

TEST_F(AddDeviceConcurrency, PendingConfigurationReadIsWaitedFor)
{
    for (HmModel model : {HmModel::LX2A, HmModel::LX8C}) {
        PDEVICE_OBJECT pdo = PlugPending(model, STATUS_SUCCESS);
        ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS) << HmModelName(model);
        std::vector<HmBusRecord> reads = BusRecords(pdo, IRP_MJ_PNP, IRP_MN_READ_CONFIG);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_TRUE(reads[0].Pending);
        PADAPTER_EXTENSION adapter = AdapterOn(pdo);
        ASSERT_NE(adapter, nullptr);
        EXPECT_EQ(adapter->PciConfig.u.type0.SubSystemID, HmSubsystemId(model));
        EXPECT_EQ(adapter->PortCount, HmPortCount(model));
    }
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

// The status of a pending read comes from the I/O status block once the bus completes it.
TEST_F(AddDeviceConcurrency, PendingConfigurationReadThatFailsFailsTheAdapter)
{
    PDEVICE_OBJECT pdo = PlugPending(HmModel::LX4B, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(HmAddDevice(Driver, pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Reports(), std::vector<Report>{Error("Unable to read PCI config space.")});
    EXPECT_EQ(AdapterDeviceOn(pdo), nullptr);
    EXPECT_TRUE(DevicesOf(Driver).empty());
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

} // namespace
