// The 16550 model, driven through its registers the way a serial driver drives the chip, on a
// line to the ideal far end, with time passing as the programmed rate says.
#include "line.h"

#include <gtest/gtest.h>

using namespace hm;

namespace {

constexpr uint64_t Frame = 1041667; // 9600 baud 8N1: 10 bits of 104166.67 ns, rounded

struct Line {
    Uart U;
    Peer Far; // follows the UART's format
    uint64_t Now = 0;
};

uint8_t Read(Line& l, unsigned reg)
{
    uint8_t v = UartRead(l.U, reg, l.Now);
    LineRun(l.U, l.Far, l.Now);
    return v;
}

void Write(Line& l, unsigned reg, uint8_t value)
{
    UartWrite(l.U, reg, value, l.Now);
    LineRun(l.U, l.Far, l.Now);
}

void Wait(Line& l, uint64_t ns)
{
    l.Now += ns;
    LineRun(l.U, l.Far, l.Now);
}

// Programmed as a driver does at start: 9600 baud (divisor 480), 8N1, FIFO control as given.
Line Programmed(uint8_t fcr = 0x81)
{
    Line l;
    UartReset(l.U, 0);
    Write(l, UartLcr, LcrDlab);
    Write(l, UartRbrThr, 480 & 0xFF);
    Write(l, UartIer, 480 >> 8);
    Write(l, UartLcr, 0x03);
    Write(l, UartIirFcr, fcr);
    return l;
}

uint8_t Iir(Line& l)
{
    return Read(l, UartIirFcr);
}

void Receive(Line& l, int count, uint8_t first = 'a')
{
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(first + i));
    }
    PeerSend(l.Far, l.Now, bytes);
    Wait(l, count * Frame);
}

std::vector<uint8_t> Sent(const Line& l)
{
    std::vector<uint8_t> out;
    for (const PeerRx& r : l.Far.Received) {
        out.push_back(r.Byte);
    }
    return out;
}

// FCR with DLAB set, so that the 16750's 64-byte bit is taken.
void WriteFcrWithDlab(Line& l, uint8_t fcr)
{
    Write(l, UartLcr, LcrDlab | 0x03);
    Write(l, UartIirFcr, fcr);
    Write(l, UartLcr, 0x03);
}

} // namespace

TEST(MachineUart, ResetStateShowsNoInterruptAndEmptyTransmitter)
{
    Line l;
    UartReset(l.U, 0);
    EXPECT_EQ(Iir(l), IirNone);
    EXPECT_EQ(Read(l, UartLsr), LsrThre | LsrTemt);
    EXPECT_EQ(Read(l, UartIer), 0);
    EXPECT_FALSE(UartInterrupt(l.U));
}

TEST(MachineUart, DivisorLatchSharesOffsetsZeroAndOne)
{
    Line l = Programmed();
    Write(l, UartLcr, 0x83);
    Write(l, UartRbrThr, 0x34);
    Write(l, UartIer, 0x12);
    EXPECT_EQ(Read(l, UartRbrThr), 0x34);
    EXPECT_EQ(Read(l, UartIer), 0x12);
    Write(l, UartLcr, 0x03);
    EXPECT_EQ(Read(l, UartIer), 0); // the interrupt enable register was not touched
    Wait(l, 10 * Frame);
    EXPECT_TRUE(Sent(l).empty()); // nor was anything transmitted
    EXPECT_EQ(l.U.Dll | (l.U.Dlm << 8), 0x1234);
}

TEST(MachineUart, FifoBitsAndTriggerLevels)
{
    const uint8_t fcr[4] = {0x01, 0x41, 0x81, 0xC1};
    const int level[4] = {1, 4, 8, 14};
    for (int i = 0; i < 4; ++i) {
        Line l = Programmed(fcr[i]);
        Write(l, UartIer, IerRda);
        EXPECT_EQ(Iir(l), 0xC1) << "FIFOs enabled show 0xC0 in IIR";
        Receive(l, level[i] - 1);
        EXPECT_EQ(Iir(l) & 0x0F, IirNone) << "below trigger " << level[i];
        Receive(l, 1);
        EXPECT_EQ(Iir(l), 0xC4) << "at trigger " << level[i];
        Read(l, UartRbrThr);
        if (level[i] > 1) {
            EXPECT_EQ(Iir(l) & 0x0F, IirNone) << "one read drops below trigger " << level[i];
        }
    }
    Line plain = Programmed(0x00);
    EXPECT_EQ(Iir(plain), 0x01) << "without FIFOs the top bits are clear";
}

TEST(MachineUart, CharacterTimeoutAfterFourIdleCharacterTimesOfItsFormat)
{
    Line l = Programmed(0xC1); // trigger 14
    Write(l, UartIer, IerRda);
    Receive(l, 3); // the last one arrived just now
    Wait(l, UartTimeoutChars * Frame - 1);
    EXPECT_EQ(Iir(l) & 0x0F, IirNone);
    Wait(l, 1);
    EXPECT_EQ(Iir(l), 0xCC);
    Read(l, UartRbrThr); // reading restarts the timer
    EXPECT_EQ(Iir(l) & 0x0F, IirNone);
    Wait(l, UartTimeoutChars * Frame);
    EXPECT_EQ(Iir(l), 0xCC);
    Read(l, UartRbrThr);
    Read(l, UartRbrThr);
    Wait(l, 10 * Frame);
    EXPECT_EQ(Iir(l) & 0x0F, IirNone) << "an empty FIFO times out never";

    // Four characters of the format now programmed: 7E2 is 11 bits.
    constexpr uint64_t frame7E2 = 1145833;
    Write(l, UartLcr, 0x1E);
    PeerSend(l.Far, l.Now, {'7'});
    Wait(l, frame7E2 + UartTimeoutChars * frame7E2 - 1);
    EXPECT_EQ(Iir(l) & 0x0F, IirNone);
    Wait(l, 1);
    EXPECT_EQ(Iir(l), 0xCC);
}

TEST(MachineUart, InterruptPrioritiesAndTheirClearingRules)
{
    Line l = Programmed(0x01); // trigger 1
    Write(l, UartIer, IerRda | IerThre | IerRls | IerMsr);
    // Enabling THRE with an empty transmitter raises it at once.
    EXPECT_EQ(Iir(l), 0xC2);
    EXPECT_EQ(Iir(l), 0xC1) << "reading IIR while it shows THRE clears THRE";
    PeerDrive(l.Far, l.U, ModemInputs{true, false, false, false});
    PeerSendFaulty(l.Far, l.Now, 'x', LsrPe); // a parity error on a line without parity
    Write(l, UartRbrThr, 'y');                // THRE again once the holding register is empty
    Wait(l, Frame);
    EXPECT_EQ(Iir(l), 0xC6) << "line status first";
    EXPECT_EQ(Read(l, UartLsr) & (LsrPe | LsrDr | LsrFifoError), LsrPe | LsrDr | LsrFifoError);
    EXPECT_EQ(Iir(l), 0xC4) << "then received data";
    EXPECT_EQ(Read(l, UartRbrThr), 'x');
    EXPECT_EQ(Iir(l), 0xC2) << "then transmitter empty";
    EXPECT_EQ(Iir(l), 0xC0) << "then modem status";
    EXPECT_EQ(Read(l, UartMsr), MsrCts | MsrDcts);
    EXPECT_EQ(Iir(l), 0xC1);
    EXPECT_EQ(Sent(l), std::vector<uint8_t>{'y'});
}

TEST(MachineUart, InstantLineOverrunsAndTheFifoKeepsItsData)
{
    Line l = Programmed(0xC1);
    l.U.Override = CharNsOverride{true, 0, 4 * Frame}; // the machine's line pace 0
    Write(l, UartIer, IerRls);
    std::vector<uint8_t> burst;
    for (int i = 0; i < 17; ++i) {
        burst.push_back(static_cast<uint8_t>(i));
    }
    PeerSend(l.Far, l.Now, burst);
    LineRun(l.U, l.Far, l.Now); // no time passes
    EXPECT_EQ(Iir(l), 0xC6);
    EXPECT_EQ(Read(l, UartLsr) & LsrOe, LsrOe);
    EXPECT_EQ(Read(l, UartLsr) & LsrOe, 0) << "reported once";
    EXPECT_EQ(Iir(l) & 0x0F, IirNone);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(Read(l, UartRbrThr), i);
    }
    EXPECT_EQ(Read(l, UartLsr) & LsrDr, 0);
    for (uint8_t c : {'a', 'b', 'c'}) {
        Write(l, UartRbrThr, c);
    }
    EXPECT_EQ(Read(l, UartLsr) & LsrTemt, LsrTemt) << "everything written is on the line";
    EXPECT_EQ(Sent(l), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(MachineUart, FrameTimeFollowsRateAndFormat)
{
    struct Case {
        uint16_t Divisor;
        uint8_t Lcr;
        uint64_t FrameNs;
    };
    const Case cases[] = {
        {480, 0x03, 1041667},     // 9600 8N1: 10 bits
        {480, 0x1E, 1145833},     // 9600 7E2: 11 bits
        {480, 0x04, 781250},      // 9600 5N1.5: 7.5 bits
        {5, 0x0B, 11936},         // 921600 8O1: 11 bits of 1085.07 ns
        {61440, 0x03, 133333333}, // 75 8N1
        {0, 0x03, 142222222},     // divisor 0 counts as 65536
        {480, 0x2B, 1145833},     // 9600 8 data, mark (stick) parity
    };
    for (const Case& c : cases) {
        Uart u;
        UartReset(u, 0);
        UartWrite(u, UartLcr, LcrDlab, 0);
        UartWrite(u, UartRbrThr, static_cast<uint8_t>(c.Divisor), 0);
        UartWrite(u, UartIer, static_cast<uint8_t>(c.Divisor >> 8), 0);
        UartWrite(u, UartLcr, c.Lcr, 0);
        UartWrite(u, UartIirFcr, 0x01, 0);
        const uint64_t t0 = 1000;
        UartWrite(u, UartRbrThr, 'A', t0);
        UartWrite(u, UartRbrThr, 'B', t0);
        EXPECT_EQ(UartNextEvent(u), t0 + c.FrameNs) << c.Divisor << "/" << int(c.Lcr);
        std::vector<WireChar> out;
        UartAdvance(u, t0 + 2 * c.FrameNs - 1, &out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(UartPeekLsr(u) & (LsrThre | LsrTemt), LsrThre) << "'B' is shifting";
        UartAdvance(u, t0 + 2 * c.FrameNs, &out);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].Start, t0);
        EXPECT_EQ(out[0].End, t0 + c.FrameNs);
        EXPECT_EQ(out[1].Start, out[0].End) << "back to back";
        EXPECT_EQ(out[1].End, t0 + 2 * c.FrameNs);
        EXPECT_EQ(UartPeekLsr(u) & LsrTemt, LsrTemt);
        EXPECT_EQ(UartNextEvent(u), UINT64_MAX);
        Sampled s = Sample(out[1], UartFormat(u));
        EXPECT_EQ(s.Byte, 'B' & ((1u << (5 + (c.Lcr & 3))) - 1));
        EXPECT_EQ(s.Errors, 0);
    }
}

TEST(MachineUart, FifoResetsEmptyTheirFifos)
{
    Line l = Programmed(0x81);
    Receive(l, 3);
    Write(l, UartRbrThr, '1');
    Write(l, UartRbrThr, '2');
    Write(l, UartIirFcr, 0x83); // receive reset
    EXPECT_EQ(Read(l, UartLsr) & LsrDr, 0);
    Write(l, UartIirFcr, 0x85); // transmit reset: the shift register keeps its character
    EXPECT_EQ(Read(l, UartLsr) & (LsrThre | LsrTemt), LsrThre);
    Wait(l, 5 * Frame);
    EXPECT_EQ(Sent(l), std::vector<uint8_t>{'1'});
}

TEST(MachineUart, SixtyFourByteFifosAsOnThe16750)
{
    Line l = Programmed(0x21); // bit 5 written with DLAB clear: not taken
    EXPECT_EQ(Iir(l), 0xC1);
    WriteFcrWithDlab(l, 0x21);
    EXPECT_EQ(Iir(l), 0xE1) << "IIR bit 5 shows the 64-byte mode";
    Write(l, UartIirFcr, 0x01); // with DLAB clear the mode stays
    EXPECT_EQ(Iir(l), 0xE1);
    EXPECT_EQ(l.U.Fcr & Fcr64, Fcr64);

    // Both FIFOs hold 64.
    Receive(l, 65, 0);
    EXPECT_EQ(Read(l, UartLsr) & LsrOe, LsrOe);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(Read(l, UartRbrThr), i);
    }
    EXPECT_EQ(Read(l, UartLsr) & LsrDr, 0);
    for (int i = 0; i < 66; ++i) {
        Write(l, UartRbrThr, static_cast<uint8_t>(i)); // one shifting, 64 queued, one lost
    }
    Wait(l, 70 * Frame);
    EXPECT_EQ(Sent(l).size(), 65u);

    const uint8_t bits[4] = {0x00, 0x40, 0x80, 0xC0};
    const int level[4] = {1, 16, 32, 56};
    for (int i = 0; i < 4; ++i) {
        Line t = Programmed(0x01);
        WriteFcrWithDlab(t, bits[i] | 0x21);
        Write(t, UartIer, IerRda);
        Receive(t, level[i] - 1);
        EXPECT_EQ(Iir(t), 0xE1) << "below trigger " << level[i];
        Receive(t, 1);
        EXPECT_EQ(Iir(t), 0xE4) << "at trigger " << level[i];
    }

    // Disabling the FIFOs ends the mode, and so does a master reset.
    Write(l, UartIirFcr, 0x00);
    Write(l, UartIirFcr, 0x01);
    EXPECT_EQ(Iir(l), 0xC1);
    WriteFcrWithDlab(l, 0x21);
    UartReset(l.U, l.Now);
    Write(l, UartIirFcr, 0x01);
    EXPECT_EQ(Iir(l), 0xC1);
    Receive(l, 17);
    EXPECT_EQ(Read(l, UartLsr) & LsrOe, LsrOe) << "16 deep again";
}

TEST(MachineUart, ModemStatusDeltasAndTrailingEdgeOfRing)
{
    Line l = Programmed();
    UartSetModemInputs(l.U, true, true, true, true);
    EXPECT_EQ(Read(l, UartMsr), 0xF0 | MsrDcts | MsrDdsr | MsrDdcd) << "ring rising: no TERI";
    EXPECT_EQ(Read(l, UartMsr), 0xF0) << "reading clears the deltas";
    UartSetModemInputs(l.U, true, true, false, true);
    EXPECT_EQ(Read(l, UartMsr), MsrCts | MsrDsr | MsrDcd | MsrTeri);
}

TEST(MachineUart, LoopbackFeedsTransmitterAndModemOutputsBack)
{
    Line l = Programmed(0x81);
    Write(l, UartMcr, McrDtr | McrRts);
    EXPECT_TRUE(UartOutputs(l.U).Rts && UartOutputs(l.U).Dtr);
    Write(l, UartMcr, McrLoop | McrRts | McrOut2);
    EXPECT_EQ(Read(l, UartMsr) & 0xF0, MsrCts | MsrDcd);
    LineOutputs out = UartOutputs(l.U);
    EXPECT_FALSE(out.Rts || out.Dtr || out.Out1 || out.Out2) << "outputs inactive in loopback";
    Write(l, UartRbrThr, 'L');
    Wait(l, Frame);
    EXPECT_TRUE(Sent(l).empty());
    EXPECT_EQ(Read(l, UartRbrThr), 'L');
    Receive(l, 1); // the cable is cut off in loopback
    EXPECT_EQ(Read(l, UartLsr) & LsrDr, 0);
}

TEST(MachineUart, InterruptOutputFollowsIerNotOut2)
{
    Line l = Programmed(0x01); // trigger level 1
    Write(l, UartIer, IerRda);
    Receive(l, 1);
    EXPECT_TRUE(UartInterrupt(l.U)) << "INT is not gated by OUT2 on this board";
    Write(l, UartMcr, McrOut2);
    EXPECT_TRUE(UartInterrupt(l.U));
    Write(l, UartIer, 0);
    EXPECT_FALSE(UartInterrupt(l.U)) << "clearing IER silences the UART";
}

TEST(MachineUart, BreakReceivedAsZeroWithBiAndFe)
{
    Line l = Programmed(0x81);
    PeerSendBreak(l.Far, l.Now, 3 * Frame);
    Wait(l, 3 * Frame - 1);
    EXPECT_EQ(Read(l, UartLsr) & LsrDr, 0) << "a break is received when the line returns to mark";
    Wait(l, 1);
    EXPECT_EQ(Read(l, UartLsr) & (LsrBi | LsrFe | LsrDr), LsrBi | LsrFe | LsrDr);
    EXPECT_EQ(Read(l, UartLsr) & LsrBi, 0) << "reported once";
    EXPECT_EQ(Read(l, UartRbrThr), 0);
}

TEST(MachineUart, BreakBitHoldsTheLineLowAndSwallowsTheFrameInProgress)
{
    Line l = Programmed(0x81);
    Write(l, UartRbrThr, 'a');
    Wait(l, Frame / 2);
    Write(l, UartLcr, 0x03 | LcrBreak);
    EXPECT_TRUE(UartOutputs(l.U).Break);
    Wait(l, 3 * Frame);
    EXPECT_EQ(Read(l, UartLsr) & LsrTemt, LsrTemt) << "the transmitter ran on meanwhile";
    Write(l, UartLcr, 0x03);
    Write(l, UartRbrThr, 'b');
    Wait(l, Frame);
    ASSERT_EQ(l.Far.Received.size(), 2u) << "'a' never reached the line";
    EXPECT_EQ(l.Far.Received[0].Errors, LsrBi | LsrFe);
    EXPECT_EQ(l.Far.Received[0].At, Frame / 2 + 3 * Frame);
    EXPECT_EQ(l.Far.Received[1].Byte, 'b');
    EXPECT_EQ(l.Far.Received[1].Errors, 0);
}
