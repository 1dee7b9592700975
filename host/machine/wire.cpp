// What travels on a serial line and how a receiver samples it (declared in uart.h).
//
// Positions are kept in half bits so that 1.5 stop bits and the middle of a cell are whole
// numbers; comparisons between two ends' bit times are made by cross-multiplying the fractions in
// 128 bits, never by rounding to nanoseconds (see BitTime).
#include "uart.h"

namespace hm {
namespace {

using Wide = unsigned __int128;
constexpr uint64_t NsPerSecond = 1'000'000'000;

unsigned ParityCells(const LineFormat& f)
{
    return f.Parity == ParityKind::None ? 0 : 1;
}

// The whole frame in half bits: start, data, parity, stop bits.
unsigned FrameHalfBits(const LineFormat& f)
{
    unsigned stop = f.Stop == StopBits::One ? 2 : f.Stop == StopBits::OneAndHalf ? 3 : 4;
    return 2 * (1 + f.DataBits + ParityCells(f)) + stop;
}

uint8_t DataMask(const LineFormat& f)
{
    return static_cast<uint8_t>((1u << f.DataBits) - 1);
}

// The parity bit a sender puts after the data bits, and a receiver expects after them.
bool ParityBit(ParityKind kind, uint8_t data)
{
    bool odd = (__builtin_popcount(data) & 1) != 0;
    switch (kind) {
    case ParityKind::Odd:
        return !odd; // the ones of data and parity together are odd
    case ParityKind::Even:
        return odd;
    case ParityKind::Mark:
        return true;
    default:
        return false;
    }
}

// The line level `halfBits` half bits of the receiver's bit time `rx` after the falling edge.
bool LevelAt(const WireChar& c, const BitTime& rx, unsigned halfBits)
{
    if (c.Break) {
        // Low while t = halfBits * rx / 2 is before the end of the break.
        Wide t = static_cast<Wide>(halfBits) * rx.Num * NsPerSecond;
        return t >= static_cast<Wide>(c.End - c.Start) * 2 * rx.Den;
    }
    // The sender's cell under t: floor(t / sender bit time), so a sample that falls exactly on
    // an edge (a receiver at half the sender's rate samples on every one) reads the new level.
    const BitTime& tx = c.Sender.Bit;
    Wide cell =
        static_cast<Wide>(halfBits) * rx.Num * tx.Den / (static_cast<Wide>(2) * rx.Den * tx.Num);
    return cell >= c.CellCount || ((c.Cells >> cell) & 1) != 0;
}

// The line stays low for at least one whole receiver frame from the falling edge.
bool LowForAFrame(const WireChar& c, const LineFormat& rx)
{
    Wide frame = static_cast<Wide>(FrameHalfBits(rx)) * rx.Bit.Num; // over 2 * rx.Den seconds
    if (c.Break) {
        return static_cast<Wide>(c.End - c.Start) * 2 * rx.Bit.Den >= frame * NsPerSecond;
    }
    // The leading space cells (all of them for a zero byte sent with a space stop bit, which is
    // a break to any receiver whose frame is no longer), then mark.
    unsigned low = 0;
    while (low < c.CellCount && !((c.Cells >> low) & 1)) {
        ++low;
    }
    const BitTime& tx = c.Sender.Bit;
    return static_cast<Wide>(low) * tx.Num * 2 * rx.Bit.Den >= frame * tx.Den;
}

} // namespace

LineFormat BaudFormat(uint32_t baud, uint8_t dataBits, ParityKind parity, StopBits stop)
{
    LineFormat f;
    f.Bit = BitTime{1, baud};
    f.DataBits = dataBits;
    f.Parity = parity;
    f.Stop = stop;
    return f;
}

uint64_t FrameNs(const LineFormat& f)
{
    // halfBits * Num / (2 Den) seconds, rounded to the nearest nanosecond.
    Wide exact = static_cast<Wide>(FrameHalfBits(f)) * f.Bit.Num * NsPerSecond;
    Wide twice = static_cast<Wide>(2) * f.Bit.Den;
    return static_cast<uint64_t>((exact + f.Bit.Den) / twice);
}

WireChar MakeWireChar(const LineFormat& sender, uint8_t byte, uint8_t fault, uint64_t start,
                      uint64_t end)
{
    WireChar c;
    c.Start = start;
    c.End = end;
    c.Sender = sender;
    uint8_t data = byte & DataMask(sender);
    unsigned cell = 1; // cell 0, the start bit, is space
    c.Cells = static_cast<uint16_t>(data << cell);
    cell += sender.DataBits;
    if (sender.Parity != ParityKind::None) {
        bool parity = ParityBit(sender.Parity, data) != ((fault & LsrPe) != 0);
        c.Cells |= static_cast<uint16_t>(parity << cell);
        ++cell;
    }
    if (!(fault & LsrFe)) {
        c.Cells |= static_cast<uint16_t>(1u << cell);
    }
    c.CellCount = static_cast<uint8_t>(cell + 1);
    return c;
}

WireChar MakeBreak(const LineFormat& sender, uint64_t start, uint64_t end)
{
    WireChar c;
    c.Start = start;
    c.End = end;
    c.Sender = sender;
    c.Break = true;
    return c;
}

Sampled Sample(const WireChar& c, const LineFormat& rx)
{
    Sampled s{true, 0, 0};
    // Receiver cell k is sampled in its middle, 2k + 1 half bits after the edge.
    auto level = [&](unsigned cell) { return LevelAt(c, rx.Bit, 2 * cell + 1); };
    if (LowForAFrame(c, rx)) {
        s.Errors = LsrBi | LsrFe;
    } else if (level(0) && !c.Forced) {
        s.Char = false; // the start bit did not hold: a glitch, not a character
        return s;
    } else {
        for (unsigned i = 0; i < rx.DataBits; ++i) {
            if (level(1 + i)) {
                s.Byte |= static_cast<uint8_t>(1u << i);
            }
        }
        unsigned cell = 1 + rx.DataBits;
        if (rx.Parity != ParityKind::None) {
            if (level(cell) != ParityBit(rx.Parity, s.Byte)) {
                s.Errors |= LsrPe;
            }
            ++cell;
        }
        if (!level(cell)) {
            s.Errors |= LsrFe;
        }
    }
    if (c.Forced) {
        s.Errors = c.Forced;
        if (c.Forced & LsrBi) {
            s.Byte = 0;
        }
    }
    return s;
}

} // namespace hm
