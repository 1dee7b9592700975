// Deliveries of the adapters' interrupt lines: a delivery nobody claims because its cause went
// away meanwhile holds nothing back.
#include "machine_rig.h"

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
