// The shared interrupt dispatcher seen from the line and from the ports: which callbacks an
// interrupt reaches and how often the status register is read, how slots are handed out, how the
// UARTs are silenced around connection and disconnection, and how slot changes keep out of the
// way of a running interrupt service routine. The tests play the port function driver: they hook
// their callbacks through the port bus interface, and the line is delivered with the stand-in's
// HkDeliverInterrupt on the vector the adapter connected.
#include "adapter_rig.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace adapterrig;

namespace {

// A port callback that records its calls and answers from a script (the last answer repeats).
struct Probe {
    int Id = 0;
    std::vector<BOOLEAN> Answers{FALSE};
    std::vector<int>* Order = nullptr; // shared call order of one test
    size_t Calls = 0;
    PKINTERRUPT Interrupt = nullptr;

    static BOOLEAN Isr(PKINTERRUPT interrupt, PVOID context)
    {
        auto self = static_cast<Probe*>(context);
        self->Interrupt = interrupt;
        if (self->Order != nullptr) {
            self->Order->push_back(self->Id);
        }
        BOOLEAN answer = self->Answers[std::min(self->Calls, self->Answers.size() - 1)];
        ++self->Calls;
        return answer;
    }
};

class InterruptRig : public AdapterRig {
protected:
    // A started adapter whose status register reads as the test scripts it.
    void Up(HmModel model)
    {
        Plug(model);
        ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
        Vector = Adapter->InterruptVector;
        StatusPort = Adapter->StatusPort;
        Status.Map(StatusPort, HmBar1Size);
        HkClearIoLog();
    }

    void Hook(size_t port, Probe& probe)
    {
        CORPORT_BUS_INTERFACE& itf = Interface(port);
        ASSERT_EQ(itf.ConnectIsr(itf.Context, Probe::Isr, &probe), STATUS_SUCCESS);
    }

    void Unhook(size_t port)
    {
        CORPORT_BUS_INTERFACE& itf = Interface(port);
        itf.DisconnectIsr(itf.Context);
    }

    // RegisterPortIsr as the port interface calls it, with the adapter's mutex held.
    LONG RegisterDirect(Probe& probe, ULONG mask)
    {
        AdapterLock lock(Adapter);
        return RegisterPortIsr(Adapter, Probe::Isr, &probe, mask);
    }

    void UnregisterDirect(ULONG slot)
    {
        AdapterLock lock(Adapter);
        UnregisterPortIsr(Adapter, slot);
    }

    void ExpectEmptyTable()
    {
        for (ULONG i = 0; i < InterruptSlotCount; ++i) {
            const INTERRUPT_SLOT& slot = Adapter->InterruptSlots[i];
            EXPECT_EQ(slot.InUse, 0) << "slot " << i;
            EXPECT_EQ(slot.Mask, 0) << "slot " << i;
            EXPECT_EQ(slot.Routine, nullptr) << "slot " << i;
            EXPECT_EQ(slot.Context, nullptr) << "slot " << i;
        }
    }

    ULONG Vector = 0;
    ULONG64 StatusPort = 0;
    ScriptedRegister Status;
};

class AdapterIsrDispatch : public InterruptRig {};

BOOLEAN ForeignClaims(PKINTERRUPT, PVOID context)
{
    ++*static_cast<int*>(context);
    return TRUE;
}

// Nothing of ours pending: FALSE after one read, so that the next device on the line gets it.
TEST_F(AdapterIsrDispatch, ZeroStatusLeavesTheInterruptToTheNextDeviceOnTheLine)
{
    Up(HmModel::LX4A);
    Probe probe;
    Hook(0, probe);
    Status.Script({}, 0x00);

    int foreignCalls = 0;
    PKINTERRUPT foreign =
        HkConnectForeignIsr(Vector, Adapter->InterruptLevel & 0xFF, ForeignClaims, &foreignCalls);
    ASSERT_NE(foreign, nullptr);
    EXPECT_TRUE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(foreignCalls, 1);
    EXPECT_EQ(probe.Calls, 0u);
    EXPECT_EQ(ReadsOf(StatusPort), 1u);
    HkDisconnectForeignIsr(foreign);

    EXPECT_FALSE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(HkUnclaimedInterrupts(Vector), 1u);
    EXPECT_EQ(ReadsOf(StatusPort), 2u);
}

TEST_F(AdapterIsrDispatch, BitOfAPortWithoutACallbackCallsNothing)
{
    Up(HmModel::LX4A);
    Probe probe;
    Hook(0, probe); // mask 0x01
    Status.Script({}, 0x04);
    EXPECT_FALSE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(probe.Calls, 0u);
    EXPECT_EQ(ReadsOf(StatusPort), 1u);
}

// Slot order, not port order: port 1 hooked first holds slot 0. Every matching slot is called in
// the pass even after the first one claimed, with the ISR's own interrupt object; the register is
// read once per pass and never written.
TEST_F(AdapterIsrDispatch, EveryMatchingSlotIsCalledInSlotOrderInOnePass)
{
    Up(HmModel::LX4A);
    std::vector<int> order;
    Probe port1{1, {TRUE}, &order};
    Probe port0{0, {TRUE}, &order};
    Hook(1, port1);
    Hook(0, port0);
    ASSERT_EQ(Ports[1]->InterruptSlot, 0);
    ASSERT_EQ(Ports[0]->InterruptSlot, 1);
    HkClearIoLog();

    Status.Script({0x03}, 0x00);
    EXPECT_TRUE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(order, (std::vector<int>{1, 0}));
    EXPECT_EQ(port0.Interrupt, Adapter->InterruptObject);
    EXPECT_EQ(port1.Interrupt, Adapter->InterruptObject);
    EXPECT_EQ(Simplify(HkIoLog()),
              (std::vector<Access>{{StatusPort, false, 0x03}, {StatusPort, false, 0x00}}));
}

TEST_F(AdapterIsrDispatch, ClaimThenNoClaimWhileTheBitStaysReadsTheRegisterTwice)
{
    Up(HmModel::LX2B);
    Probe probe{0, {TRUE, FALSE}};
    Hook(0, probe);
    Status.Script({}, 0x01);
    EXPECT_TRUE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(probe.Calls, 2u);
    EXPECT_EQ(ReadsOf(StatusPort), 2u);
}

// On a 2-port board only slots 0 and 1 are looked at, whatever the register shows.
TEST_F(AdapterIsrDispatch, TwoPortBoardNeverLooksBeyondSlotOne)
{
    Up(HmModel::LX2A);
    Probe port0, port1, beyond;
    Hook(0, port0);
    Hook(1, port1);
    ASSERT_EQ(RegisterDirect(beyond, 0xFF), 2);
    Status.Script({}, 0xFF);
    EXPECT_FALSE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(port0.Calls, 1u);
    EXPECT_EQ(port1.Calls, 1u);
    EXPECT_EQ(beyond.Calls, 0u);
    UnregisterDirect(2);
}

// A callback that claims without ever clearing its bit does not hold the processor for ever: the
// routine gives up after IsrPassLimit passes and claims, and the level-sensitive line brings it
// back at once.
TEST_F(AdapterIsrDispatch, StuckCallbackIsCutOffAfterThePassLimit)
{
    Up(HmModel::LX4A);
    Probe stuck{0, {TRUE}};
    Probe quiet{1, {FALSE}};
    Hook(0, stuck);
    Hook(1, quiet);
    Status.Script({}, 0x03);
    EXPECT_TRUE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(stuck.Calls, IsrPassLimit);
    EXPECT_EQ(quiet.Calls, IsrPassLimit);
    EXPECT_EQ(ReadsOf(StatusPort), IsrPassLimit);
    EXPECT_TRUE(HkDeliverInterrupt(Vector));
    EXPECT_EQ(ReadsOf(StatusPort), 2 * IsrPassLimit);
}

class InterruptSlots : public InterruptRig {};

TEST_F(InterruptSlots, FreedSlotGoesToTheNextPortThatHooks)
{
    Up(HmModel::LX4A);
    Probe a, b, c;
    Hook(0, a);
    Hook(1, b);
    EXPECT_EQ(Ports[0]->InterruptSlot, 0);
    EXPECT_EQ(Ports[1]->InterruptSlot, 1);

    Unhook(0);
    EXPECT_EQ(Ports[0]->InterruptSlot, -1);
    EXPECT_EQ(Adapter->InterruptSlots[0].InUse, 0);
    EXPECT_EQ(Adapter->InterruptSlots[0].Routine, nullptr);
    EXPECT_EQ(Adapter->InterruptSlots[0].Context, nullptr);

    Hook(2, c);
    EXPECT_EQ(Ports[2]->InterruptSlot, 0);
    const INTERRUPT_SLOT& slot = Adapter->InterruptSlots[0];
    EXPECT_EQ(slot.InUse, 1);
    EXPECT_EQ(slot.Mask, 0x04);
    EXPECT_EQ(slot.Routine, Probe::Isr);
    EXPECT_EQ(slot.Context, &c);
    EXPECT_EQ(Adapter->InterruptSlots[1].Context, &b);
}

TEST_F(InterruptSlots, AllEightTakenRefusesANinthAndOutOfRangeReleasesAreIgnored)
{
    Up(HmModel::LX8B);
    Probe probes[9];
    for (size_t k = 0; k < 8; ++k) {
        Hook(7 - k, probes[k]);
        EXPECT_EQ(Ports[7 - k]->InterruptSlot, static_cast<LONG>(k));
        EXPECT_EQ(Adapter->InterruptSlots[k].Mask, 0x80 >> k);
    }
    INTERRUPT_SLOT before[InterruptSlotCount];
    std::memcpy(before, Adapter->InterruptSlots, sizeof before);

    EXPECT_EQ(RegisterDirect(probes[8], 0x01), SlotsExhausted);
    UnregisterDirect(8);
    UnregisterDirect(static_cast<ULONG>(SlotsExhausted));
    UnregisterDirect(static_cast<ULONG>(NoInterruptConnected));
    EXPECT_EQ(std::memcmp(before, Adapter->InterruptSlots, sizeof before), 0);
}

// Without a connected interrupt (not started yet, or stopped) nothing can be registered, and the
// table stays empty; a stop empties it but leaves the ports' own record of their slot.
TEST_F(InterruptSlots, NoConnectedInterruptRefusesRegistrationAndKeepsTheTableEmpty)
{
    Plug(HmModel::LX4A);
    Probe probe;
    CORPORT_BUS_INTERFACE& port0 = Interface(0);
    EXPECT_EQ(port0.ConnectIsr(port0.Context, Probe::Isr, &probe), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Ports[0]->InterruptSlot, NoInterruptConnected);
    EXPECT_EQ(RegisterDirect(probe, 0x01), NoInterruptConnected);
    ExpectEmptyTable();

    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Probe a, b;
    Hook(0, a);
    Hook(1, b);
    Stop();
    EXPECT_EQ(Adapter->InterruptObject, nullptr);
    ExpectEmptyTable();
    EXPECT_EQ(Ports[0]->InterruptSlot, 0);
    EXPECT_EQ(Ports[1]->InterruptSlot, 1);
    EXPECT_EQ(RegisterDirect(probe, 0x04), NoInterruptConnected);
    UnregisterDirect(0);
    ExpectEmptyTable();
}

// ---- Quiescing the UARTs ------------------------------------------------------------------

class UartQuiesce : public AdapterRig {};

void WriteUart(ULONG64 base, ULONG offset, UCHAR value)
{
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(base + offset)), value);
}

// What a port function driver leaves behind: 9600 baud, line settings, FIFOs, modem control,
// every interrupt source on. Port 1 is caught between the two halves of a baud rate change, with
// the divisor latch still open.
void ProgramLikeAPortDriver(ULONG64 base, bool leaveLatchOpen)
{
    WriteUart(base, 3, 0x80);
    WriteUart(base, 0, 0x0C);
    WriteUart(base, 1, 0x00);
    WriteUart(base, 3, 0x1B);
    WriteUart(base, 2, 0xC7);
    WriteUart(base, 4, 0x0B);
    WriteUart(base, 1, 0x0F);
    if (leaveLatchOpen) {
        WriteUart(base, 3, 0x9B);
    }
}

TEST_F(UartQuiesce, StopSilencesEveryUartInPortOrderAndChangesNothingElse)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    std::vector<ULONG64> bases;
    for (size_t k = 0; k < 4; ++k) {
        bases.push_back(Ports[k]->IoBase);
        ProgramLikeAPortDriver(bases[k], k == 1);
    }
    ASSERT_TRUE(HmWaitUntil([&] { return HmUart(Pdo, 0).Interrupt; })) << "THRE pending";
    HkClearIoLog();

    Stop();
    std::vector<Access> got = Simplify(IoAccessesIn(bases[0], HmBar0Size(4)));
    ASSERT_EQ(got.size(), 4u * 6) << ::testing::PrintToString(got);
    for (size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE("port " + std::to_string(k));
        const ULONG64 b = bases[k];
        const UCHAR lcr = k == 1 ? 0x9B : 0x1B;
        const Access* seq = &got[6 * k];
        std::vector<Access> expected = {{b + 3, false, lcr},          {b + 3, true, 0x1B},
                                        {b + 1, true, 0x00},          {b + 6, false, seq[3].Value},
                                        {b + 5, false, seq[4].Value}, {b + 2, false, 0xC1}};
        EXPECT_EQ(std::vector<Access>(seq, seq + 6), expected);

        HmUartView uart = HmUart(Pdo, static_cast<ULONG>(k));
        EXPECT_EQ(uart.Ier, 0);
        EXPECT_EQ(uart.Lcr, 0x1B);
        EXPECT_EQ(uart.Mcr, 0x0B);
        EXPECT_EQ(uart.Divisor, 0x0C);
        EXPECT_TRUE(uart.FifoEnabled);
        EXPECT_FALSE(uart.Interrupt);
    }
    EXPECT_EQ(HmStatusRegister(Pdo), 0);
}

// A UART whose identification register names a cause that only the receive buffer clears.
struct FakeUart {
    UCHAR Iir;
    static ULONG Read(void* context, ULONG offset, int)
    {
        switch (offset) {
        case 0:
            return 0x41;
        case 2:
            return static_cast<FakeUart*>(context)->Iir;
        case 3:
            return 0x03;
        case 5:
            return 0x61;
        default:
            return 0x00;
        }
    }
    static void Write(void*, ULONG, int, ULONG) {}
};
constexpr HkIoHandler FakeUartHandler = {FakeUart::Read, FakeUart::Write};

class UartQuiesceCause : public UartQuiesce, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(UartQuiesceCause, ReceiveBufferIsReadOnlyForLineStatusAndCharacterTimeout)
{
    const UCHAR iir = GetParam();
    const bool readsBuffer = (iir & 0x0F) == 0x06 || (iir & 0x0F) == 0x0C;
    Plug(HmModel::LX2A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    const ULONG64 b = Ports[0]->IoBase;
    FakeUart fake{iir};
    HkMapIo(b, 8, &FakeUartHandler, &fake);
    HkClearIoLog();

    Stop();
    std::vector<Access> expected = {{b + 3, false, 0x03}, {b + 3, true, 0x03},
                                    {b + 1, true, 0x00},  {b + 6, false, 0x00},
                                    {b + 5, false, 0x61}, {b + 2, false, iir}};
    if (readsBuffer) {
        expected.push_back({b + 0, false, 0x41});
    }
    EXPECT_EQ(Simplify(IoAccessesIn(b, 8)), expected);
}

INSTANTIATE_TEST_SUITE_P(Causes, UartQuiesceCause,
                         ::testing::Values(0xC6, 0x06, 0xCC, 0x0C, 0xC4, 0xC2, 0xC0, 0xC1),
                         [](const ::testing::TestParamInfo<UCHAR>& info) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Iir%02X", info.param);
                             return std::string(name);
                         });

// A port without a register block is not touched: after a stop withdrew the ranges, and after a
// start that failed before or after handing them out.
TEST_F(UartQuiesce, PortsWithoutARangeAreNeverTouched)
{
    Plug(HmModel::LX4A);
    ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
    Stop();
    HkClearIoLog();
    ASSERT_EQ(HmRemoveAdapter(Pdo), STATUS_SUCCESS);
    EXPECT_TRUE(HkIoLog().empty()) << ::testing::PrintToString(Simplify(HkIoLog()));

    HmAssignment noInterrupt = HmDefaultAssignment(Pdo);
    noInterrupt.Translated[0].Partials.pop_back();
    HmAssignment noStatusRange = HmDefaultAssignment(Pdo);
    noStatusRange.Raw[0].Partials.erase(noStatusRange.Raw[0].Partials.begin() + 1);
    noStatusRange.Translated[0].Partials.erase(noStatusRange.Translated[0].Partials.begin() + 1);
    for (const HmAssignment& broken : {noInterrupt, noStatusRange}) {
        Plug(HmModel::LX4A);
        HkClearIoLog();
        EXPECT_EQ(HmStartAdapter(Pdo, broken), STATUS_DEVICE_CONFIGURATION_ERROR);
        ASSERT_EQ(HmRemoveAdapter(Pdo), STATUS_SUCCESS);
        EXPECT_TRUE(HkIoLog().empty()) << ::testing::PrintToString(Simplify(HkIoLog()));
    }
}

// ---- Slot changes against a running interrupt service routine ------------------------------

class InterruptConcurrency : public InterruptRig {};

// A registration made while the ISR runs completes only after the ISR has left: the ISR never
// sees the new slot appear under it.
TEST_F(InterruptConcurrency, RegistrationWaitsUntilTheRunningIsrHasLeft)
{
    Up(HmModel::LX4A);
    struct Slow {
        PADAPTER_EXTENSION Adapter;
        std::atomic<bool> Entered{false};
        std::atomic<bool> RegistrationStarted{false};
        std::atomic<bool> Left{false};
        std::atomic<bool> SawSlot1Taken{false};
        static BOOLEAN Isr(PKINTERRUPT, PVOID context)
        {
            auto self = static_cast<Slow*>(context);
            self->Entered = true;
            auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(HkWaitLimitMs());
            while (!self->RegistrationStarted && std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            self->SawSlot1Taken = self->Adapter->InterruptSlots[1].InUse != 0;
            self->Left = true;
            return TRUE;
        }
    } slow;
    slow.Adapter = Adapter;
    CORPORT_BUS_INTERFACE& port0 = Interface(0);
    ASSERT_EQ(port0.ConnectIsr(port0.Context, Slow::Isr, &slow), STATUS_SUCCESS);
    CORPORT_BUS_INTERFACE& port1 = Interface(1);
    Status.Script({0x01}, 0x00);

    std::thread line([&] { HkDeliverInterrupt(Vector); });
    ASSERT_TRUE(HmWaitUntil([&] { return slow.Entered.load(); }));
    slow.RegistrationStarted = true;
    Probe probe;
    EXPECT_EQ(port1.ConnectIsr(port1.Context, Probe::Isr, &probe), STATUS_SUCCESS);
    EXPECT_TRUE(slow.Left) << "the registration finished while the ISR was still running";
    line.join();
    EXPECT_FALSE(slow.SawSlot1Taken);
    EXPECT_EQ(Ports[1]->InterruptSlot, 1);
}

// Hooks come and go on one port while the line keeps firing: a callback is never called after its
// DisconnectIsr has returned, and the other port's callback keeps being called throughout.
TEST_F(InterruptConcurrency, UnhookedCallbackIsNeverCalledAgain)
{
    Up(HmModel::LX4A);
    struct Hook {
        std::atomic<bool> Released{false};
        std::atomic<int> Calls{0};
        std::atomic<int>* LateCalls = nullptr;
        static BOOLEAN Isr(PKINTERRUPT, PVOID context)
        {
            auto self = static_cast<Hook*>(context);
            if (self->Released) {
                ++*self->LateCalls;
            }
            ++self->Calls;
            return FALSE;
        }
    };
    std::atomic<int> lateCalls{0};
    Hook steady;
    steady.LateCalls = &lateCalls;
    CORPORT_BUS_INTERFACE& port0 = Interface(0);
    ASSERT_EQ(port0.ConnectIsr(port0.Context, Hook::Isr, &steady), STATUS_SUCCESS);
    CORPORT_BUS_INTERFACE& port1 = Interface(1);
    Status.Script({}, 0x03);

    std::atomic<bool> stop{false};
    std::thread line([&] {
        while (!stop) {
            HkDeliverInterrupt(Vector);
        }
    });
    constexpr int Rounds = 200;
    std::vector<Hook> hooks(Rounds);
    int calledRounds = 0;
    for (Hook& hook : hooks) {
        hook.LateCalls = &lateCalls;
        ASSERT_EQ(port1.ConnectIsr(port1.Context, Hook::Isr, &hook), STATUS_SUCCESS);
        ASSERT_EQ(Ports[1]->InterruptSlot, 1);
        // The first hook waits for its call however loaded the machine is; later ones only
        // give the line a moment, so that some are released while deliveries are under way.
        HmWaitUntil([&] { return hook.Calls > 0; }, calledRounds == 0 ? 0 : 100);
        calledRounds += hook.Calls > 0 ? 1 : 0;
        port1.DisconnectIsr(port1.Context);
        hook.Released = true;
    }
    const int steadyCalls = steady.Calls;
    stop = true;
    line.join();

    EXPECT_EQ(lateCalls, 0);
    EXPECT_GT(calledRounds, 0);
    EXPECT_GT(steadyCalls, 0);
    EXPECT_EQ(Adapter->InterruptSlots[1].InUse, 0);
}

} // namespace
