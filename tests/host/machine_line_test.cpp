// What travels on a serial line, how the other end samples it, and the scripted peer at the far
// end.
#include "line.h"

#include <gtest/gtest.h>

using namespace hm;

namespace {

constexpr uint64_t Frame = 1041667; // 9600 baud 8N1

void ExpectSampled(const Sampled& s, uint8_t byte, uint8_t errors, const char* what)
{
    EXPECT_TRUE(s.Char) << what;
    EXPECT_EQ(s.Byte, byte) << what;
    EXPECT_EQ(s.Errors, errors) << what;
}

Sampled Across(const LineFormat& tx, uint8_t byte, const LineFormat& rx, uint8_t fault = 0)
{
    return Sample(MakeWireChar(tx, byte, fault, 0, FrameNs(tx)), rx);
}

// A UART at 9600 baud (divisor 480) with the given line control, FIFOs on.
Uart At9600(uint8_t lcr)
{
    Uart u;
    UartReset(u, 0);
    UartWrite(u, UartLcr, LcrDlab, 0);
    UartWrite(u, UartRbrThr, 480 & 0xFF, 0);
    UartWrite(u, UartIer, 480 >> 8, 0);
    UartWrite(u, UartLcr, lcr, 0);
    UartWrite(u, UartIirFcr, 0x01, 0);
    return u;
}

std::vector<uint8_t> Drain(Uart& u, uint64_t now)
{
    std::vector<uint8_t> out;
    while (UartRead(u, UartLsr, now) & LsrDr) {
        out.push_back(UartRead(u, UartRbrThr, now));
    }
    return out;
}

} // namespace

TEST(MachineLine, EndsThatAgreeSeeExactlyTheBytes)
{
    Uart board = At9600(0x03);
    const LineFormat formats[] = {
        UartFormat(board),
        BaudFormat(921600, 7, ParityKind::Even, StopBits::Two),
        BaudFormat(75, 5, ParityKind::Odd, StopBits::OneAndHalf),
        BaudFormat(115200, 8, ParityKind::Mark),
        BaudFormat(115200, 6, ParityKind::Space),
    };
    for (const LineFormat& f : formats) {
        for (unsigned b = 0; b < 256; ++b) {
            Sampled s = Across(f, static_cast<uint8_t>(b), f);
            ASSERT_TRUE(s.Char && s.Errors == 0 && s.Byte == (b & ((1u << f.DataBits) - 1)))
                << "byte " << b << " at " << f.Bit.Den << "/" << f.Bit.Num;
        }
    }
    // 16 x 480 periods of 73.728 MHz is 9600 baud exactly: the board's UART and a 9600 device.
    for (unsigned b = 0; b < 256; ++b) {
        ASSERT_EQ(Across(UartFormat(board), static_cast<uint8_t>(b), BaudFormat(9600)).Byte, b);
    }
}

TEST(MachineLine, EndsThatDisagreeSeeTheErrorsHardwareWould)
{
    const LineFormat n81 = BaudFormat(9600);
    const LineFormat n71 = BaudFormat(9600, 7);
    const LineFormat e81 = BaudFormat(9600, 8, ParityKind::Even);
    const LineFormat o81 = BaudFormat(9600, 8, ParityKind::Odd);

    // A receiver at twice the rate reads the first half of 'A' with every cell twice, and the
    // sender's data bit 3 (0) where it expects its stop bit.
    ExpectSampled(Across(n81, 'A', BaudFormat(19200)), 0x06, LsrFe, "twice the rate");
    // At half the rate each sample falls on an edge of the sender's cells and reads the later
    // one: 'A' starts with data bit 0 = 1 there, so the start bit does not hold.
    EXPECT_FALSE(Across(n81, 'A', BaudFormat(4800)).Char) << "half the rate";
    ExpectSampled(Across(n81, 0xF0, BaudFormat(4800)), 0xFE, 0, "half the rate");

    ExpectSampled(Across(n81, 0x41, n71), 0x41, LsrFe, "8 into 7: bit 7 is the stop bit");
    ExpectSampled(Across(n81, 0xC1, n71), 0x41, 0, "8 into 7 with bit 7 set");
    ExpectSampled(Across(n71, 0x41, n81), 0xC1, 0, "7 into 8: the stop bit is bit 7");

    ExpectSampled(Across(e81, 'A', o81), 'A', LsrPe, "even into odd");
    ExpectSampled(Across(e81, 'C', o81), 'C', LsrPe, "even into odd");
    ExpectSampled(Across(n81, 'A', e81), 'A', LsrPe, "none into even: the stop bit as parity");
    ExpectSampled(Across(n81, 'C', e81), 'C', 0, "none into even: right by chance");
    ExpectSampled(Across(BaudFormat(9600, 8, ParityKind::None, StopBits::Two), 'x', n81), 'x', 0,
                  "two stop bits into one");
    ExpectSampled(Across(n81, 'x', BaudFormat(9600, 8, ParityKind::None, StopBits::Two)), 'x', 0,
                  "one stop bit into two: only the first is checked");

    // The faults a sender can put on the line.
    ExpectSampled(Across(e81, 'A', e81, LsrPe), 'A', LsrPe, "wrong parity bit");
    ExpectSampled(Across(n81, 'A', n81, LsrFe), 'A', LsrFe, "space stop bit");
    ExpectSampled(Across(n81, 0, n81, LsrFe), 0, LsrBi | LsrFe, "zero with a space stop bit");
}

TEST(MachineLine, BreaksAreJudgedByTheReceiversFrame)
{
    const LineFormat rx = BaudFormat(9600); // frame 1041666.7 ns, stop bit sampled at 989583.3
    auto low = [&](uint64_t ns) { return Sample(MakeBreak(rx, 0, ns), rx); };
    ExpectSampled(low(Frame), 0, LsrBi | LsrFe, "one frame");
    ExpectSampled(low(250'000'000), 0, LsrBi | LsrFe, "a quarter second: still one character");
    ExpectSampled(low(Frame - 1), 0, LsrFe, "short of a frame: low at the stop bit");
    ExpectSampled(low(979167), 0, 0, "9.4 bits: the stop bit reads mark");
    EXPECT_FALSE(low(41667).Char) << "0.4 bit: a glitch the start bit check rejects";
    ExpectSampled(Sample(MakeBreak(rx, 0, Frame), BaudFormat(4800)), 0xF0, 0,
                  "a slower receiver sees the line return in its data bits");
}

TEST(MachineLine, PeerSendsItsScriptBackToBackAtItsRate)
{
    Uart u = At9600(0x1B); // 8E1
    Peer p;
    p.Follow = false;
    p.Format = BaudFormat(9600, 8, ParityKind::Even);
    const uint64_t f = 1145833; // 11 bits
    PeerSend(p, 0, {'a', 'b'});
    PeerIdle(p, 0, 5'000'000);
    PeerSendFaulty(p, 0, 'c', LsrPe);
    PeerSendFaulty(p, 0, 'd', LsrFe);
    PeerSendBreak(p, 0, 3'000'000);
    EXPECT_EQ(PeerPending(p), 5u);
    EXPECT_EQ(PeerNextEvent(p, u), 0u);

    std::vector<WireChar> out;
    PeerAdvance(p, 2 * f - 1, u, &out);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(PeerNextEvent(p, u), 2 * f);
    PeerAdvance(p, 1'000'000'000, u, &out);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(PeerPending(p), 0u);
    const uint64_t gapEnd = 2 * f + 5'000'000;
    const uint64_t starts[5] = {0, f, gapEnd, gapEnd + f, gapEnd + 2 * f};
    const uint64_t ends[5] = {f, 2 * f, gapEnd + f, gapEnd + 2 * f, gapEnd + 2 * f + 3'000'000};
    const uint8_t bytes[5] = {'a', 'b', 'c', 'd', 0};
    const uint8_t errors[5] = {0, 0, LsrPe, LsrFe, LsrBi | LsrFe};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out[i].Start, starts[i]) << i;
        EXPECT_EQ(out[i].End, ends[i]) << i;
        UartReceive(u, out[i], out[i].End);
        EXPECT_EQ(UartRead(u, UartLsr, out[i].End) & (LsrPe | LsrFe | LsrBi), errors[i]) << i;
        EXPECT_EQ(UartRead(u, UartRbrThr, out[i].End), bytes[i]) << i;
    }
}

TEST(MachineLine, PeerLogsWhatItSamplesWithItsOwnFormat)
{
    Uart u = At9600(0x03);
    Peer p;
    p.Follow = false;
    p.Format = BaudFormat(9600, 7, ParityKind::Even); // 7E1 is as long as 8N1
    UartWrite(u, UartRbrThr, 'H', 0);
    UartWrite(u, UartRbrThr, 'a', 0);
    LineRun(u, p, 10 * Frame);
    ASSERT_EQ(p.Received.size(), 2u);
    // Data bit 7 (0) is read as the parity bit: right for 'H' (even), wrong for 'a' (odd).
    EXPECT_EQ(p.Received[0].Byte, 'H');
    EXPECT_EQ(p.Received[0].Errors, 0);
    EXPECT_EQ(p.Received[0].At, Frame);
    EXPECT_EQ(p.Received[1].Byte, 'a');
    EXPECT_EQ(p.Received[1].Errors, LsrPe);
    EXPECT_EQ(p.Received[1].At, 2 * Frame);
}

TEST(MachineLine, PeerHoldsItsCharactersWhileRtsIsOff)
{
    Uart u = At9600(0x03);
    UartWrite(u, UartMcr, McrDtr, 0);
    Peer p;
    p.HonourRts = true;
    PeerSend(p, 0, {'1', '2', '3'});
    LineRun(u, p, 10 * Frame);
    EXPECT_TRUE(Drain(u, 10 * Frame).empty());
    EXPECT_EQ(PeerPending(p), 3u);
    EXPECT_EQ(PeerNextEvent(p, u), UINT64_MAX) << "only a register write can release it";

    UartWrite(u, UartMcr, McrDtr | McrRts, 10 * Frame);
    LineRun(u, p, 10 * Frame);
    // RTS drops while '2' is on the line: it finishes, '3' waits.
    LineRun(u, p, 11 * Frame + 1000);
    UartWrite(u, UartMcr, McrDtr, 11 * Frame + 1000);
    LineRun(u, p, 20 * Frame);
    EXPECT_EQ(Drain(u, 20 * Frame), (std::vector<uint8_t>{'1', '2'}));
    UartWrite(u, UartMcr, McrDtr | McrRts, 20 * Frame);
    LineRun(u, p, 21 * Frame - 1);
    EXPECT_EQ(PeerPending(p), 1u);
    LineRun(u, p, 21 * Frame);
    EXPECT_EQ(Drain(u, 21 * Frame), std::vector<uint8_t>{'3'});
}

TEST(MachineLine, PeerPausesAfterXoffUntilXon)
{
    Uart u = At9600(0x03);
    Peer p;
    p.HonourXonXoff = true;
    PeerSend(p, 0, {'A', 'B', 'C'});
    UartWrite(u, UartRbrThr, Xoff, 0);
    LineRun(u, p, 5 * Frame);
    EXPECT_EQ(Drain(u, 5 * Frame), std::vector<uint8_t>{'A'}) << "'A' was on the line already";
    UartWrite(u, UartRbrThr, Xon, 5 * Frame); // on the line until 6 frames
    LineRun(u, p, 7 * Frame - 1);
    EXPECT_TRUE(Drain(u, 7 * Frame - 1).empty());
    LineRun(u, p, 8 * Frame);
    EXPECT_EQ(Drain(u, 8 * Frame), (std::vector<uint8_t>{'B', 'C'}));
    ASSERT_EQ(p.Received.size(), 2u);
    EXPECT_EQ(p.Received[0].Byte, Xoff);
    EXPECT_EQ(p.Received[1].Byte, Xon);
}
