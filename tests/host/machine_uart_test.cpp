// The 16550 model, driven through its registers the way a serial driver drives the chip.
#include "uart.h"

#include <gtest/gtest.h>

using namespace hm;

namespace {

// A UART programmed as a driver does at start: 8N1, FIFOs with the given trigger, no interrupts.
Uart Programmed(uint8_t fcr = 0x81, unsigned pace = 1)
{
    Uart u;
    UartReset(u);
    u.Pace = pace;
    UartWrite(u, UartLcr, LcrDlab);
    UartWrite(u, UartRbrThr, 12);
    UartWrite(u, UartIer, 0);
    UartWrite(u, UartLcr, 0x03);
    UartWrite(u, UartIirFcr, fcr);
    return u;
}

uint8_t Iir(Uart& u)
{
    return UartRead(u, UartIirFcr);
}

void Receive(Uart& u, int count, uint8_t first = 'a')
{
    for (int i = 0; i < count; ++i) {
        UartRemoteSend(u, static_cast<uint8_t>(first + i));
    }
    for (int i = 0; i < count * static_cast<int>(u.Pace); ++i) {
        UartTick(u);
    }
}

} // namespace

TEST(MachineUart, ResetStateShowsNoInterruptAndEmptyTransmitter)
{
    Uart u;
    UartReset(u);
    EXPECT_EQ(Iir(u), IirNone);
    EXPECT_EQ(UartRead(u, UartLsr), LsrThre | LsrTemt);
    EXPECT_EQ(UartRead(u, UartIer), 0);
    EXPECT_FALSE(UartInterrupt(u));
}

TEST(MachineUart, DivisorLatchSharesOffsetsZeroAndOne)
{
    Uart u = Programmed();
    UartWrite(u, UartLcr, 0x83);
    UartWrite(u, UartRbrThr, 0x34);
    UartWrite(u, UartIer, 0x12);
    EXPECT_EQ(UartRead(u, UartRbrThr), 0x34);
    EXPECT_EQ(UartRead(u, UartIer), 0x12);
    UartWrite(u, UartLcr, 0x03);
    EXPECT_EQ(UartRead(u, UartIer), 0); // the interrupt enable register was not touched
    EXPECT_TRUE(u.Outbound.empty());    // nor was anything transmitted
    EXPECT_EQ(u.Dll | (u.Dlm << 8), 0x1234);
}

TEST(MachineUart, FifoBitsAndTriggerLevels)
{
    const uint8_t fcr[4] = {0x01, 0x41, 0x81, 0xC1};
    const int level[4] = {1, 4, 8, 14};
    for (int i = 0; i < 4; ++i) {
        Uart u = Programmed(fcr[i]);
        UartWrite(u, UartIer, IerRda);
        EXPECT_EQ(Iir(u), 0xC1) << "FIFOs enabled show 0xC0 in IIR";
        Receive(u, level[i] - 1);
        EXPECT_EQ(Iir(u) & 0x0F, IirNone) << "below trigger " << level[i];
        Receive(u, 1);
        EXPECT_EQ(Iir(u), 0xC4) << "at trigger " << level[i];
        UartRead(u, UartRbrThr);
        if (level[i] > 1) {
            EXPECT_EQ(Iir(u) & 0x0F, IirNone) << "one read drops below trigger " << level[i];
        }
    }
    Uart plain = Programmed(0x00);
    EXPECT_EQ(Iir(plain), 0x01) << "without FIFOs the top bits are clear";
}

TEST(MachineUart, CharacterTimeoutAfterFourIdleCharacterTimes)
{
    Uart u = Programmed(0xC1); // trigger 14
    UartWrite(u, UartIer, IerRda);
    Receive(u, 3);
    for (unsigned t = 1; t < UartTimeoutChars; ++t) {
        UartTick(u);
    }
    EXPECT_EQ(Iir(u) & 0x0F, IirNone);
    UartTick(u);
    EXPECT_EQ(Iir(u), 0xCC);
    UartRead(u, UartRbrThr); // reading restarts the timer
    EXPECT_EQ(Iir(u) & 0x0F, IirNone);
    for (unsigned t = 0; t < UartTimeoutChars; ++t) {
        UartTick(u);
    }
    EXPECT_EQ(Iir(u), 0xCC);
    UartRead(u, UartRbrThr);
    UartRead(u, UartRbrThr);
    for (unsigned t = 0; t < 10; ++t) {
        UartTick(u);
    }
    EXPECT_EQ(Iir(u) & 0x0F, IirNone) << "an empty FIFO times out never";
}

TEST(MachineUart, InterruptPrioritiesAndTheirClearingRules)
{
    Uart u = Programmed(0x01, 0); // trigger 1, instant line
    UartWrite(u, UartIer, IerRda | IerThre | IerRls | IerMsr);
    // Enabling THRE with an empty transmitter raises it at once.
    EXPECT_EQ(Iir(u), 0xC2);
    EXPECT_EQ(Iir(u), 0xC1) << "reading IIR while it shows THRE clears THRE";
    UartSetModemInputs(u, true, false, false, false);
    UartRemoteSend(u, 'x', LsrPe);
    UartWrite(u, UartRbrThr, 'y'); // THRE again once the byte has gone
    EXPECT_EQ(Iir(u), 0xC6) << "line status first";
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrPe | LsrDr | LsrFifoError), LsrPe | LsrDr | LsrFifoError);
    EXPECT_EQ(Iir(u), 0xC4) << "then received data";
    EXPECT_EQ(UartRead(u, UartRbrThr), 'x');
    EXPECT_EQ(Iir(u), 0xC2) << "then transmitter empty";
    EXPECT_EQ(Iir(u), 0xC0) << "then modem status";
    EXPECT_EQ(UartRead(u, UartMsr), MsrCts | MsrDcts);
    EXPECT_EQ(Iir(u), 0xC1);
    EXPECT_EQ(u.Outbound, std::vector<uint8_t>{'y'});
}

TEST(MachineUart, OverrunKeepsTheFifoAndIsReportedOnce)
{
    Uart u = Programmed(0xC1, 0);
    UartWrite(u, UartIer, IerRls);
    for (int i = 0; i < 17; ++i) {
        UartRemoteSend(u, static_cast<uint8_t>(i));
    }
    EXPECT_EQ(Iir(u), 0xC6);
    EXPECT_EQ(UartRead(u, UartLsr) & LsrOe, LsrOe);
    EXPECT_EQ(UartRead(u, UartLsr) & LsrOe, 0);
    EXPECT_EQ(Iir(u) & 0x0F, IirNone);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(UartRead(u, UartRbrThr), i);
    }
    EXPECT_EQ(UartRead(u, UartLsr) & LsrDr, 0);
}

TEST(MachineUart, TransmitterPacesCharactersAndShowsTemt)
{
    Uart u = Programmed(0x87, 2); // two ticks per character
    for (uint8_t c : {'a', 'b', 'c'}) {
        UartWrite(u, UartRbrThr, c);
    }
    // 'a' moved to the shift register at once; 'b' and 'c' wait in the FIFO.
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrThre | LsrTemt), 0);
    for (int t = 0; t < 4; ++t) {
        UartTick(u);
    }
    EXPECT_EQ(u.Outbound, (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrThre | LsrTemt), LsrThre) << "FIFO empty, 'c' shifting";
    UartTick(u);
    UartTick(u);
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrThre | LsrTemt), LsrThre | LsrTemt);
    EXPECT_EQ(u.Outbound, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(MachineUart, FifoResetsEmptyTheirFifos)
{
    Uart u = Programmed(0x81, 5);
    Receive(u, 3);
    UartWrite(u, UartRbrThr, '1');
    UartWrite(u, UartRbrThr, '2');
    UartWrite(u, UartIirFcr, 0x83); // receive reset
    EXPECT_EQ(UartRead(u, UartLsr) & LsrDr, 0);
    UartWrite(u, UartIirFcr, 0x85); // transmit reset: the shift register keeps its character
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrThre | LsrTemt), LsrThre);
    for (int t = 0; t < 20; ++t) {
        UartTick(u);
    }
    EXPECT_EQ(u.Outbound, std::vector<uint8_t>{'1'});
}

TEST(MachineUart, ModemStatusDeltasAndTrailingEdgeOfRing)
{
    Uart u = Programmed();
    UartSetModemInputs(u, true, true, true, true);
    EXPECT_EQ(UartRead(u, UartMsr), 0xF0 | MsrDcts | MsrDdsr | MsrDdcd) << "ring rising: no TERI";
    EXPECT_EQ(UartRead(u, UartMsr), 0xF0) << "reading clears the deltas";
    UartSetModemInputs(u, true, true, false, true);
    EXPECT_EQ(UartRead(u, UartMsr), MsrCts | MsrDsr | MsrDcd | MsrTeri);
}

TEST(MachineUart, LoopbackFeedsTransmitterAndModemOutputsBack)
{
    Uart u = Programmed(0x81, 0);
    UartWrite(u, UartMcr, McrLoop | McrRts | McrOut2);
    EXPECT_EQ(UartRead(u, UartMsr) & 0xF0, MsrCts | MsrDcd);
    UartWrite(u, UartRbrThr, 'L');
    EXPECT_TRUE(u.Outbound.empty());
    EXPECT_EQ(UartRead(u, UartRbrThr), 'L');
    UartRemoteSend(u, 'R'); // the cable is cut off in loopback
    EXPECT_EQ(UartRead(u, UartLsr) & LsrDr, 0);
}

TEST(MachineUart, InterruptOutputFollowsIerNotOut2)
{
    Uart u = Programmed(0x01, 0); // trigger level 1
    UartWrite(u, UartIer, IerRda);
    UartRemoteSend(u, 'z');
    EXPECT_TRUE(UartInterrupt(u)) << "INT is not gated by OUT2 on this board";
    UartWrite(u, UartMcr, McrOut2);
    EXPECT_TRUE(UartInterrupt(u));
    UartWrite(u, UartIer, 0);
    EXPECT_FALSE(UartInterrupt(u)) << "clearing IER silences the UART";
}

TEST(MachineUart, BreakArrivesAsZeroWithBi)
{
    Uart u = Programmed(0x81, 0);
    UartRemoteSend(u, 0, LsrBi);
    EXPECT_EQ(UartRead(u, UartLsr) & (LsrBi | LsrDr), LsrBi | LsrDr);
    EXPECT_EQ(UartRead(u, UartLsr) & LsrBi, 0) << "reported once";
    EXPECT_EQ(UartRead(u, UartRbrThr), 0);
}
