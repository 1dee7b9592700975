// The machine's threads against each other and against the driver: the hardware thread
// delivering interrupts, the plug-and-play worker changing the device tree, the bus completion
// thread, and test threads writing to the ports. Run under ThreadSanitizer in the TSan tree.
#include "machine_rig.h"

#include "corcard.h"

#include <atomic>
#include <thread>

namespace {

class MachineConcurrency : public HmTest {
protected:
    PDEVICE_OBJECT Started(HmModel model, const HmAssignment* assignment = nullptr)
    {
        if (!Driver) {
            Driver = LoadDriver(DriverEntry, L"corcard");
        }
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        EXPECT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
        EXPECT_EQ(assignment ? HmStartAdapter(pdo, *assignment) : HmStartAdapter(pdo),
                  STATUS_SUCCESS);
        return pdo;
    }

    PDRIVER_OBJECT Driver = nullptr;
};

// Writes to every given port from its own thread until stopped.
class Writers {
public:
    explicit Writers(const std::vector<PDEVICE_OBJECT>& ports)
    {
        for (PDEVICE_OBJECT port : ports) {
            Threads.emplace_back([this, port] {
                std::vector<UCHAR> chunk(8, 'w');
                while (!Stop.load()) {
                    HmSerialWrite(port, chunk); // fails once the port is gone; that is expected
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
        }
    }
    ~Writers() { Join(); }
    void Join()
    {
        Stop = true;
        for (auto& t : Threads) {
            if (t.joinable()) {
                t.join();
            }
        }
    }

private:
    std::atomic<bool> Stop{false};
    std::vector<std::thread> Threads;
};

} // namespace

TEST_F(MachineConcurrency, TwoAdaptersShareOneInterruptVector)
{
    HmAssignment a0 = HmMakeAssignment(0xC000, 32, 0xC080, 4, 18, 0x70, 7);
    HmAssignment a1 = HmMakeAssignment(0xC100, 32, 0xC180, 4, 18, 0x70, 7);
    PDEVICE_OBJECT first = Started(HmModel::LX4A, &a0);
    PDEVICE_OBJECT second = Started(HmModel::LX4B, &a1);
    EXPECT_EQ(HkInterruptsOn(0x70).size(), 2u);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(first);
    std::vector<PDEVICE_OBJECT> more = HmPortDevices(second);
    ports.insert(ports.end(), more.begin(), more.end());
    for (ULONG i = 0; i < 4; ++i) {
        HmRemoteSend(first, i, std::vector<UCHAR>(30, static_cast<UCHAR>('a' + i)));
        HmRemoteSend(second, i, std::vector<UCHAR>(30, static_cast<UCHAR>('A' + i)));
    }
    ASSERT_TRUE(HmWaitUntil([&] {
        for (PDEVICE_OBJECT p : ports) {
            if (HmSerialStateOf(p).BytesReceived < 30) {
                return false;
            }
        }
        return true;
    }));
    for (size_t i = 0; i < ports.size(); ++i) {
        std::vector<UCHAR> got = HmSerialRead(ports[i]);
        UCHAR expected = static_cast<UCHAR>(i < 4 ? 'a' + i : 'A' + (i - 4));
        EXPECT_EQ(got, std::vector<UCHAR>(30, expected)) << "port " << i;
    }
    // The second adapter's interrupts reach its routine after the first one declined them.
    EXPECT_GT(HmInterrupts(second).Claimed, 0u);
}

TEST_F(MachineConcurrency, SurpriseRemovalWhileTheLinesAreBusy)
{
    PDEVICE_OBJECT pdo = Started(HmModel::LX8A);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    Writers writers(ports);
    for (ULONG i = 0; i < 8; ++i) {
        HmRemoteSend(pdo, i, std::vector<UCHAR>(200, 'r'));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    HmSurpriseRemoveAdapter(pdo);
    writers.Join();
    EXPECT_FALSE(HmNode(pdo).Known);
    for (PDEVICE_OBJECT p : ports) {
        EXPECT_FALSE(HmSerialStateOf(p).Bound);
    }
    EXPECT_TRUE(HkInterruptsOn(HmInterrupts(pdo).Vector).empty());
}

TEST_F(MachineConcurrency, RebalanceAndSleepWhileTheLinesAreBusy)
{
    PDEVICE_OBJECT pdo = Started(HmModel::LX4C);
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    {
        Writers writers(ports);
        for (ULONG i = 0; i < 4; ++i) {
            HmRemoteSend(pdo, i, std::vector<UCHAR>(100, 'r'));
        }
        EXPECT_EQ(HmRebalance(pdo, HmMakeAssignment(0xA000, 32, 0xA040, 4, 20, 0x74, 8)),
                  STATUS_SUCCESS);
        EXPECT_EQ(HmSetSystemPower(PowerSystemSleeping1), STATUS_SUCCESS);
        EXPECT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    }
    for (PDEVICE_OBJECT p : ports) {
        HmSerialState s = HmSerialStateOf(p);
        EXPECT_TRUE(s.Started && s.Hooked);
        EXPECT_EQ(s.Resources.InterruptVector, 0x74u);
    }
    // Everything queued reaches the far end once the dust has settled.
    ASSERT_TRUE(HmWaitUntil([&] {
        for (PDEVICE_OBJECT p : ports) {
            if (HmSerialStateOf(p).TxQueued) {
                return false;
            }
        }
        return true;
    }));
}

TEST_F(MachineConcurrency, PendingBusAnswersCompleteOnAnotherThread)
{
    Driver = LoadDriver(DriverEntry, L"corcard");
    std::vector<PDEVICE_OBJECT> adapters;
    for (HmModel m : {HmModel::LX2A, HmModel::LX4B, HmModel::LX8C}) {
        PDEVICE_OBJECT pdo = HmPlugAdapter(m);
        HmBusAnswers answers = HmGetBusAnswers(pdo);
        answers.Pending = ~0u;
        HmSetBusAnswers(pdo, answers);
        ASSERT_EQ(HmAddDevice(Driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
        adapters.push_back(pdo);
    }
    for (PDEVICE_OBJECT pdo : adapters) {
        for (const HmBusRecord& r : HmBusRecords(pdo)) {
            EXPECT_TRUE(r.Pending);
        }
    }
    EXPECT_EQ(HmSetSystemPower(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(HmRemoveAdapter(adapters[1]), STATUS_SUCCESS);
    HmSurpriseRemoveAdapter(adapters[2]);
}

TEST_F(MachineConcurrency, AnUnclaimedLineBacksOffInsteadOfStorming)
{
    // The bus starts the function, but no driver services it: a UART raising its interrupt keeps
    // the level-sensitive line asserted with nobody to claim it.
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    HmAssignment a = HmDefaultAssignment(pdo);
    ASSERT_EQ(StartBareFunction(pdo, a).Status, STATUS_SUCCESS);
    auto start = std::chrono::steady_clock::now();
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(HmBarBase(pdo, 0) + 1), 0x02); // THRE on
    ASSERT_TRUE(HmLineAsserted(pdo));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(HmWaitUntil([&] { return HmInterrupts(pdo).Unclaimed > 1; }));
    HmInterruptStats s = HmInterrupts(pdo);
    // A storm delivers thousands a second. Backing off (1, 2, 4 ... 32 ms apart) allows about
    // seven in the first 150 ms and one per 32 ms after that; a starved hardware thread only
    // delivers fewer.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_LT(s.Deliveries, 30u + static_cast<unsigned>(ms / 16))
        << "backing off between unclaimed deliveries (" << ms << " ms)";
    EXPECT_EQ(s.Claimed, 0u);
    // Both counts move with each delivery, the kernel's a moment before the machine's.
    EXPECT_TRUE(HmWaitUntil(
        [&] { return HkUnclaimedInterrupts(s.Vector) == HmInterrupts(pdo).Unclaimed; }));
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
}
