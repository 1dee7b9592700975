// What the machine tells the benchmarks about port accesses: each counted by what it does and by
// where it was made, and, in the timed model, each taking the processor's time while the lines
// run on. Also: a delivery nobody claims because its cause went away meanwhile holds nothing back.
#include "machine_rig.h"

extern "C" DRIVER_INITIALIZE DriverEntry; // corcard

namespace {

constexpr LONGLONG Ms = 10000; // 100 ns units

PUCHAR Register(PDEVICE_OBJECT pdo, ULONG port, ULONG offset)
{
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(HmBarBase(pdo, 0) + 8 * port + offset));
}

// UART 0 of a bare function at 115200 baud (divisor 40 on the board's clock), 8N1, FIFOs on with
// receive trigger 1.
void Program115200(PDEVICE_OBJECT pdo)
{
    WRITE_PORT_UCHAR(Register(pdo, 0, 3), 0x83);
    WRITE_PORT_UCHAR(Register(pdo, 0, 0), 40);
    WRITE_PORT_UCHAR(Register(pdo, 0, 1), 0);
    WRITE_PORT_UCHAR(Register(pdo, 0, 3), 0x03);
    WRITE_PORT_UCHAR(Register(pdo, 0, 2), 0x01);
}

} // namespace

class MachinePortAccess : public HmTest {};

// The port driver double on an LX2A under corcard: it reads the line status before every byte it
// takes, and its service loop ends on an identification read that shows nothing.
TEST_F(MachinePortAccess, AccessesAreCountedByWhatTheyDoAndWhereTheyAreMade)
{
    PDRIVER_OBJECT corcard = LoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    ASSERT_EQ(HmAddDevice(corcard, pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT port = HmPortDevices(pdo).at(0);
    HmSetTimeScale(0);
    HmAdvanceTime(Ms); // whatever start left pending is serviced

    HmPortAccessCounts before = HmPortAccesses(pdo);
    HmRemoteSend(pdo, 0, {1, 2, 3, 4, 5, 6, 7, 8}); // the double's receive trigger
    HmAdvanceTime(20 * Ms);                         // eight characters at 9600 baud, and more
    HmPortAccessCounts after = HmPortAccesses(pdo);
    HmAccessTally in = HmTallySince(after.Interrupt, before.Interrupt);
    EXPECT_EQ(in.StatusReads, 2u) << "one that shows the port, one that shows nothing";
    EXPECT_EQ(in.RxData, 8u);
    EXPECT_EQ(in.RxControl, 10u) << "the cause, and a line status read before each byte and after";
    EXPECT_EQ(in.IdleIir, 1u);
    EXPECT_EQ(in.TxData + in.TxControl + in.Other, 0u);
    EXPECT_EQ(HmTallySince(after.Elsewhere, before.Elsewhere).Total(), 0u);

    before = after;
    ASSERT_EQ(HmSerialWrite(port, {'a', 'b', 'c'}), STATUS_SUCCESS); // from this thread
    after = HmPortAccesses(pdo);
    HmAccessTally out = HmTallySince(after.Elsewhere, before.Elsewhere);
    EXPECT_EQ(out.TxData, 3u);
    EXPECT_EQ(out.Other, 1u) << "the line status read that found the transmitter idle";
    before = after;
    HmAdvanceTime(10 * Ms); // the transmitter runs empty and interrupts
    in = HmTallySince(HmPortAccesses(pdo).Interrupt, before.Interrupt);
    EXPECT_EQ(in.TxControl, 1u);
    EXPECT_EQ(in.TxData, 0u) << "nothing more to send";
    EXPECT_EQ(in.StatusReads, 2u);
    HmSetTimeScale(1);
}

// With the clock stopped, polling the line status of a UART at 1 us a read sees a character arrive
// after its frame time of polls: the line runs while the processor works, at no cost of the clock.
TEST_F(MachinePortAccess, EachAccessTakesTheProcessorsTimeWhileTheLinesRunOn)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    ASSERT_EQ(StartBareFunction(pdo, HmDefaultAssignment(pdo)).Status, STATUS_SUCCESS);
    HmSetTimeScale(0);
    Program115200(pdo);
    const LONGLONG clock = HkNow();
    HmSetPortAccessNs(1000);
    const uint64_t start = HmProcessorFreeAt();
    EXPECT_EQ(start, static_cast<uint64_t>(clock) * 100) << "an idle processor is free now";
    HmRemoteSend(pdo, 0, {'z'}); // 10 bits at 115200 baud: 86.8 us
    unsigned reads = 0;
    while (reads < 1000 && !(READ_PORT_UCHAR(Register(pdo, 0, 5)) & 0x01)) {
        ++reads;
    }
    EXPECT_EQ(reads, 87u) << "reads at 0, 1, ... 86 us find nothing; the one at 87 us the byte";
    EXPECT_EQ(HmProcessorFreeAt(), start + 88 * 1000);
    WRITE_PORT_UCHAR(Register(pdo, 0, 7), 0x5A); // a write waits for its completion too
    READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(HmBarBase(pdo, 1))));
    EXPECT_EQ(HmProcessorFreeAt(), start + 90 * 1000);
    EXPECT_EQ(HkNow(), clock);

    HmSetPortAccessNs(0);
    EXPECT_EQ(READ_PORT_UCHAR(Register(pdo, 0, 0)), 'z');
    HmRemoteSend(pdo, 0, {'y'});
    for (int i = 0; i < 200; ++i) {
        ASSERT_FALSE(READ_PORT_UCHAR(Register(pdo, 0, 5)) & 0x01)
            << "free accesses: no time passes";
    }
    HmSetTimeScale(1);
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
}

namespace {

// A routine on the adapter's vector that reads the identification register and takes received
// bytes, but does not claim the transmitter's interrupt (its read clears it all the same).
struct Taker {
    PUCHAR Iir, Lsr, Rbr;
    UCHAR Bytes[64];
    unsigned Count;
};

BOOLEAN TakeBytes(PKINTERRUPT, PVOID context)
{
    auto taker = static_cast<Taker*>(context);
    const UCHAR iir = READ_PORT_UCHAR(taker->Iir);
    if ((iir & 0x01) || (iir & 0x0F) == 0x02) {
        return FALSE;
    }
    while ((READ_PORT_UCHAR(taker->Lsr) & 0x01) && taker->Count < sizeof taker->Bytes) {
        taker->Bytes[taker->Count++] = READ_PORT_UCHAR(taker->Rbr);
    }
    return TRUE;
}

} // namespace

// An unclaimed delivery whose line has dropped is no storm: the machine does not back off, and
// the next cause is taken at once. (Backing off for wall time while a stopped clock is moved
// would leave the receiver unserviced and overrun it.)
TEST_F(MachinePortAccess, AnUnclaimedDeliveryWhoseCauseHasGoneHoldsNothingBack)
{
    PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX2A);
    HmAssignment assignment = HmDefaultAssignment(pdo);
    ASSERT_EQ(StartBareFunction(pdo, assignment).Status, STATUS_SUCCESS);
    ULONG vector = 0;
    KIRQL irql = 0;
    for (const HmPartial& partial : assignment.Translated.at(0).Partials) {
        if (partial.Type == CmResourceTypeInterrupt) {
            vector = partial.Vector;
            irql = static_cast<KIRQL>(partial.Level);
        }
    }
    Taker taker{Register(pdo, 0, 2), Register(pdo, 0, 5), Register(pdo, 0, 0), {}, 0};
    PKINTERRUPT interrupt = HkConnectForeignIsr(vector, irql, TakeBytes, &taker);
    HmSetTimeScale(0);
    Program115200(pdo);
    WRITE_PORT_UCHAR(Register(pdo, 0, 1), 0x03); // received data and transmitter interrupts
    ASSERT_TRUE(HmWaitUntil([&] { return HmInterrupts(pdo).Unclaimed == 1; }))
        << "the transmitter's interrupt, taken away by the identification read";
    std::vector<UCHAR> sent(40);
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<UCHAR>('A' + i);
    }
    HmRemoteSend(pdo, 0, sent); // more than the FIFO holds: each byte must be taken as it comes
    HmAdvanceTime(5 * Ms);
    EXPECT_EQ(std::vector<UCHAR>(taker.Bytes, taker.Bytes + taker.Count), sent);
    EXPECT_EQ(HmInterrupts(pdo).Unclaimed, 1u);
    HmSetTimeScale(1);
    WRITE_PORT_UCHAR(Register(pdo, 0, 1), 0x00);
    HkDisconnectForeignIsr(interrupt);
    ASSERT_EQ(HmSendPnp(pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
}
