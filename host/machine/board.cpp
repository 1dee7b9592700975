// The adapter board: configuration space per model, BAR 0 with the UARTs back to back (eight
// registers each), BAR 1 with the read-only interrupt status register (bit k = INT of UART k),
// address decoding as the bus has programmed it, and the far ends of the serial lines.
#include "internal.h"

#include <cctype>
#include <cstring>

namespace hm {
namespace {

struct ModelRow {
    const char* Name;
    USHORT Subsystem;
    ULONG Ports;
};

constexpr ModelRow Models[HmModelCount] = {
    {"LX2A", 0x7A21, 2}, {"LX4A", 0x7A41, 4}, {"LX8A", 0x7A81, 8},
    {"LX2B", 0x7B21, 2}, {"LX4B", 0x7B41, 4}, {"LX8B", 0x7B81, 8},
    {"LX2C", 0x7C21, 2}, {"LX4C", 0x7C41, 4}, {"LX8C", 0x7C81, 8},
};

bool IoBar(ULONG value)
{
    return (value & 1) && (value & ~3u) != 0 && value != 0xFFFFFFFF;
}

HmAccessTally& TallyFor(Board& b)
{
    return DeliveringInterrupt() ? b.Accesses.Interrupt : b.Accesses.Elsewhere;
}

bool ReceiveCause(uint8_t iir)
{
    const uint8_t cause = iir & 0x0F;
    return cause == IirRda || cause == IirTimeout || cause == IirRls;
}

// Counts one UART register access by what it does (HmAccessTally); `value` is what a read
// returned. With Mu held.
void CountUartAccess(Board& b, ULONG uart, unsigned reg, bool write, uint8_t value, bool dlab)
{
    HmAccessTally& t = TallyFor(b);
    if (reg == UartRbrThr && !dlab) {
        ++(write ? t.TxData : t.RxData);
    } else if (reg == UartIirFcr && !write) {
        if (DeliveringInterrupt()) {
            b.LastIir[uart] = value;
        }
        if (value & IirNone) {
            ++t.IdleIir;
        } else if (ReceiveCause(value)) {
            ++t.RxControl;
        } else if ((value & 0x0F) == IirThre) {
            ++t.TxControl;
        } else {
            ++t.Other;
        }
    } else if (reg == UartLsr && !write && DeliveringInterrupt() && ReceiveCause(b.LastIir[uart])) {
        ++t.RxControl;
    } else {
        ++t.Other;
    }
}

// A register access happens when the processor gets to it, and never before the point the
// hardware thread has already run the board's lines to (BoardNow).
uint64_t AccessTime(const Board& b)
{
    return std::max(PortAccessTime(), b.LinesAt);
}

// With Mu held, at each register access: whether the board is out of its slot. Until the bus
// driver has heard of a board pulled out under a running driver, its ranges stay mapped and read
// all ones, as an empty slot's bus cycles do.
bool GoneAtAccess(Board& b)
{
    if (b.PullAtAccess != 0 && --b.PullAtAccess == 0) {
        b.Present = false;
    }
    return !b.Present;
}

ULONG AllOnes(int width)
{
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

ULONG Bar0Read(void* context, ULONG offset, int width)
{
    Board& b = *static_cast<Board*>(context);
    ULONG value = 0;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        if (GoneAtAccess(b)) {
            return AllOnes(width);
        }
        for (int i = 0; i < width; ++i) {
            ULONG at = offset + i;
            ULONG uart = at / 8;
            UCHAR byte = 0xFF;
            if (uart < b.UartCount) {
                const uint64_t now = AccessTime(b);
                BoardRunPort(b, uart, now);
                const bool dlab = (b.Uarts[uart].Lcr & LcrDlab) != 0;
                byte = UartRead(b.Uarts[uart], at % 8, now);
                BoardRunPort(b, uart, now);
                CountUartAccess(b, uart, at % 8, false, byte, dlab);
            }
            value |= static_cast<ULONG>(byte) << (8 * i);
        }
    }
    KickHardware();
    return value;
}

void Bar0Write(void* context, ULONG offset, int width, ULONG value)
{
    Board& b = *static_cast<Board*>(context);
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        if (GoneAtAccess(b)) {
            return;
        }
        for (int i = 0; i < width; ++i) {
            ULONG at = offset + i;
            ULONG uart = at / 8;
            if (uart < b.UartCount) {
                const uint64_t now = AccessTime(b);
                BoardRunPort(b, uart, now);
                const bool dlab = (b.Uarts[uart].Lcr & LcrDlab) != 0;
                UartWrite(b.Uarts[uart], at % 8, static_cast<uint8_t>(value >> (8 * i)), now);
                BoardRunPort(b, uart, now);
                CountUartAccess(b, uart, at % 8, true, 0, dlab);
            }
        }
    }
    KickHardware();
}

// BAR 1: byte 0 is the interrupt status register; the rest of the block reads zero. The register
// shows the UARTs' INT pins as they are at the time of the read.
ULONG Bar1Read(void* context, ULONG offset, int width)
{
    Board& b = *static_cast<Board*>(context);
    std::lock_guard<HkMutex> lock(b.Mu);
    if (GoneAtAccess(b)) {
        return AllOnes(width);
    }
    BoardRunLines(b, AccessTime(b));
    ULONG value = 0;
    for (int i = 0; i < width; ++i) {
        if (offset + i == 0) {
            value |= BoardStatus(b) << (8 * i);
        }
    }
    HmAccessTally& t = TallyFor(b);
    ++(offset == 0 ? t.StatusReads : t.Other);
    return value;
}

void Bar1Write(void* context, ULONG, int, ULONG)
{
    // The status register is read-only; writes are ignored by the board (the bus still carries
    // them, and the processor still waits for each).
    Board& b = *static_cast<Board*>(context);
    std::lock_guard<HkMutex> lock(b.Mu);
    if (GoneAtAccess(b)) {
        return;
    }
    PortAccessTime();
    ++TallyFor(b).Other;
}

const HkIoHandler Bar0Handler = {Bar0Read, Bar0Write};
const HkIoHandler Bar1Handler = {Bar1Read, Bar1Write};

Uart* UartAt(Board& b, ULONG port)
{
    return port < b.UartCount ? &b.Uarts[port] : nullptr;
}

} // namespace

ULONG ConfigRead32(const HmPciConfig& c, ULONG offset)
{
    ULONG v = 0;
    std::memcpy(&v, c.Space + offset, 4);
    return v;
}

USHORT ConfigRead16(const HmPciConfig& c, ULONG offset)
{
    USHORT v = 0;
    std::memcpy(&v, c.Space + offset, 2);
    return v;
}

void BoardInitUarts(Board& b)
{
    b.UartCount = b.Config.Uarts > MaxUarts ? MaxUarts : b.Config.Uarts;
    const uint64_t now = LineNow();
    for (ULONG i = 0; i < MaxUarts; ++i) {
        b.Uarts[i] = Uart{};
        b.Uarts[i].ClockHz = BoardUartClockHz;
        b.Peers[i] = Peer{};
        b.Ends[i] = LineEnd{};
        UartReset(b.Uarts[i], now);
    }
}

UCHAR BoardStatus(Board& b)
{
    UCHAR status = 0;
    for (ULONG i = 0; i < b.UartCount; ++i) {
        if (UartInterrupt(b.Uarts[i])) {
            status |= static_cast<UCHAR>(1u << i);
        }
    }
    return status;
}

bool BoardLineAsserted(Board& b)
{
    std::lock_guard<HkMutex> lock(b.Mu);
    // The INT pins drive the PCI interrupt line whether or not the registers are decoded; a
    // board out of its slot or in a low-power state drives nothing.
    return b.Present && b.Power == PowerDeviceD0 && b.HasVector && BoardStatus(b) != 0;
}

// Write access as the bus forwards it: the command register's enables, the implemented BARs
// (with their size masks, so that writing all ones reads back the size), the interrupt line and
// the power state bits; every other byte of this header is read-only.
void ConfigWrite(Board& b, ULONG offset, const UCHAR* data, ULONG length)
{
    for (ULONG i = 0; i < length && offset + i < 256; ++i) {
        ULONG at = offset + i;
        UCHAR v = data[i];
        if (at == CfgCommand) {
            b.Config.Space[at] = v & 0x47;
        } else if (at == CfgInterruptLine || at == CfgPmCsr) {
            b.Config.Space[at] = at == CfgPmCsr ? (v & 3) : v;
        } else if (at >= CfgBar0 && at < CfgBar0 + 8) {
            b.Config.Space[at] = v;
        }
    }
    // Apply the size masks of the two implemented BARs.
    for (int bar = 0; bar < 2; ++bar) {
        ULONG size = bar == 0 ? b.Config.Bar0Size : b.Config.Bar1Size;
        ULONG off = CfgBar0 + 4 * bar;
        if (size == 0 || offset >= off + 4 || offset + length <= off) {
            continue;
        }
        ULONG value = ConfigRead32(b.Config, off);
        value = (value & ~(size - 1) & 0xFFFF) | 1;
        std::memcpy(b.Config.Space + off, &value, 4);
    }
}

void BoardProgramBars(Board& b, const CM_RESOURCE_LIST* raw)
{
    if (!raw) {
        return;
    }
    // Collect the port ranges in list order (device-specific data is skipped by its size).
    std::vector<std::pair<ULONG64, ULONG>> ranges;
    const UCHAR* at = reinterpret_cast<const UCHAR*>(raw->List);
    for (ULONG f = 0; f < raw->Count; ++f) {
        auto full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(at);
        ULONG count = full->PartialResourceList.Count;
        const UCHAR* p =
            reinterpret_cast<const UCHAR*>(full->PartialResourceList.PartialDescriptors);
        for (ULONG i = 0; i < count; ++i) {
            auto d = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(p);
            if (d->Type == CmResourceTypePort) {
                ranges.emplace_back(static_cast<ULONG64>(d->u.Port.Start.QuadPart),
                                    d->u.Port.Length);
            }
            p += sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
            if (d->Type == CmResourceTypeDeviceSpecific) {
                p += d->u.DeviceSpecificData.DataSize;
            }
        }
        at = p;
    }
    size_t next = 0;
    for (int bar = 0; bar < 2 && next < ranges.size(); ++bar) {
        ULONG size = bar == 0 ? b.Config.Bar0Size : b.Config.Bar1Size;
        ULONG off = CfgBar0 + 4 * bar;
        if (size == 0 || !(ConfigRead32(b.Config, off) & 1)) {
            continue; // not an I/O BAR of this board
        }
        ULONG value = (static_cast<ULONG>(ranges[next++].first) & ~(size - 1)) | 1;
        std::memcpy(b.Config.Space + off, &value, 4);
    }
}

void BoardRefreshDecode(Board& b)
{
    std::lock_guard<HkMutex> mapLock(b.MapMu);
    ULONG64 want0 = 0;
    ULONG64 want1 = 0;
    ULONG size0 = 0;
    ULONG size1 = 0;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        bool decode = b.Present && b.Started && b.Power == PowerDeviceD0 &&
                      (ConfigRead16(b.Config, CfgCommand) & CommandIoEnable);
        ULONG bar0 = ConfigRead32(b.Config, CfgBar0);
        ULONG bar1 = ConfigRead32(b.Config, CfgBar0 + 4);
        if (decode && b.UartCount && b.Config.Bar0Size && IoBar(bar0)) {
            want0 = bar0 & ~3u;
            size0 = b.Config.Bar0Size;
        }
        if (decode && b.Config.Bar1Size && IoBar(bar1)) {
            want1 = bar1 & ~3u;
            size1 = b.Config.Bar1Size;
        }
        b.Decoding = want1 != 0;
    }
    if (b.Bar0Mapped != want0) {
        if (b.Bar0Mapped) {
            HkUnmapIo(b.Bar0Mapped);
        }
        if (want0) {
            HkMapIo(want0, size0, &Bar0Handler, &b);
        }
        b.Bar0Mapped = want0;
    }
    if (b.Bar1Mapped != want1) {
        if (b.Bar1Mapped) {
            HkUnmapIo(b.Bar1Mapped);
        }
        if (want1) {
            HkMapIo(want1, size1, &Bar1Handler, &b);
        }
        b.Bar1Mapped = want1;
    }
    KickHardware();
}

} // namespace hm

using namespace hm;

USHORT HmSubsystemId(HmModel model)
{
    return Models[static_cast<int>(model)].Subsystem;
}

ULONG HmPortCount(HmModel model)
{
    return Models[static_cast<int>(model)].Ports;
}

const char* HmModelName(HmModel model)
{
    return Models[static_cast<int>(model)].Name;
}

bool HmModelFromName(const std::string& name, HmModel* model)
{
    std::string upper;
    for (char c : name) {
        upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    for (int i = 0; i < HmModelCount; ++i) {
        if (upper == Models[i].Name) {
            *model = static_cast<HmModel>(i);
            return true;
        }
    }
    return false;
}

ULONG HmBar0Size(ULONG uarts)
{
    ULONG size = 8;
    while (size < uarts * 8) {
        size <<= 1;
    }
    return size;
}

void HmPutConfig16(HmPciConfig& config, ULONG offset, USHORT value)
{
    std::memcpy(config.Space + offset, &value, 2);
}

void HmPutConfig32(HmPciConfig& config, ULONG offset, ULONG value)
{
    std::memcpy(config.Space + offset, &value, 4);
}

HmPciConfig HmBoardConfig(USHORT subsystemId, ULONG uarts)
{
    HmPciConfig c;
    std::memset(&c, 0, sizeof c);
    c.Uarts = uarts;
    c.Bar0Size = HmBar0Size(uarts);
    c.Bar1Size = HmBar1Size;
    HmPutConfig16(c, CfgVendor, HmVendorId);
    HmPutConfig16(c, CfgVendor + 2, HmDeviceId);
    HmPutConfig16(c, CfgStatus, 0x0010); // capabilities list present
    c.Space[CfgRevision] = 0x01;
    c.Space[CfgRevision + 1] = 0x02; // prog-if: 16550-compatible
    c.Space[CfgRevision + 2] = 0x00; // sub-class: serial controller
    c.Space[CfgRevision + 3] = 0x07; // base class: communication controller
    HmPutConfig32(c, CfgBar0, 0x00000001);
    HmPutConfig32(c, CfgBar0 + 4, 0x00000001);
    HmPutConfig16(c, CfgSubVendor, HmSubVendorId);
    HmPutConfig16(c, CfgSubsystem, subsystemId);
    c.Space[CfgCapPtr] = CfgPmCap;
    c.Space[CfgInterruptLine + 1] = 0x01;   // interrupt pin A
    c.Space[CfgPmCap] = 0x01;               // power management capability, last in the list
    HmPutConfig16(c, CfgPmCap + 2, 0x0603); // version 1.2, D1 and D2 supported
    return c;
}

HmPciConfig HmBoardConfig(HmModel model)
{
    return HmBoardConfig(HmSubsystemId(model), HmPortCount(model));
}

void HmSetConfigSpace(PDEVICE_OBJECT pdo, const UCHAR (&space)[256])
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return;
    }
    {
        std::lock_guard<HkMutex> lock(b->Mu);
        std::memcpy(b->Config.Space, space, 256);
    }
    BoardRefreshDecode(*b);
}

void HmGetConfigSpace(PDEVICE_OBJECT pdo, UCHAR (&space)[256])
{
    std::memset(space, 0, 256);
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    std::memcpy(space, b->Config.Space, 256);
}

HmUartView HmUart(PDEVICE_OBJECT pdo, ULONG port)
{
    HmUartView v;
    std::memset(&v, 0, sizeof v);
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return v;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    Uart* u = UartAt(*b, port);
    if (!u) {
        return v;
    }
    v.Ier = u->Ier;
    v.Iir = UartPeekIir(*u);
    v.Fcr = u->Fcr;
    v.Lcr = u->Lcr;
    v.Mcr = u->Mcr;
    v.Lsr = UartPeekLsr(*u);
    v.Msr = UartPeekMsr(*u);
    v.Scr = u->Scr;
    v.Divisor = static_cast<USHORT>(u->Dll | (u->Dlm << 8));
    v.FifoEnabled = u->FifoEnabled;
    v.Fifo64 = u->Fifo64;
    v.RxCount = static_cast<ULONG>(u->Rx.size());
    v.TxCount = static_cast<ULONG>(u->Tx.size() + (u->TsrBusy ? 1 : 0));
    v.RxTrigger = u->Trigger;
    v.Overruns = u->Overruns;
    v.RtsWhileDeaf = u->RtsWhileDeaf;
    v.Interrupt = UartInterrupt(*u);
    return v;
}

UCHAR HmStatusRegister(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return 0;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return BoardStatus(*b);
}

bool HmLineAsserted(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    return b && BoardLineAsserted(*b);
}

void HmPullAdapterAtAccess(PDEVICE_OBJECT pdo, unsigned access)
{
    if (std::shared_ptr<Board> b = BoardOf(pdo)) {
        std::lock_guard<HkMutex> lock(b->Mu);
        b->PullAtAccess = access;
    }
}

bool HmAdapterInSlot(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return false;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return b->Present;
}

bool HmRegistersMapped(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return false;
    }
    std::lock_guard<HkMutex> lock(b->MapMu);
    return b->Bar0Mapped != 0 || b->Bar1Mapped != 0;
}

ULONG64 HmBarBase(PDEVICE_OBJECT pdo, int bar)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b || bar < 0 || bar > 5) {
        return 0;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    ULONG v = ConfigRead32(b->Config, CfgBar0 + 4 * bar);
    return IoBar(v) ? (v & ~3u) : 0;
}

HmPortAccessCounts HmPortAccesses(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return HmPortAccessCounts{};
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return b->Accesses;
}

HmAccessTally HmTallySince(const HmAccessTally& now, const HmAccessTally& before)
{
    return HmAccessTally{now.StatusReads - before.StatusReads,
                         now.RxData - before.RxData,
                         now.RxControl - before.RxControl,
                         now.TxData - before.TxData,
                         now.TxControl - before.TxControl,
                         now.IdleIir - before.IdleIir,
                         now.Other - before.Other};
}

HmPortAccessCounts HmPortAccessesSince(PDEVICE_OBJECT pdo, const HmPortAccessCounts& before)
{
    const HmPortAccessCounts now = HmPortAccesses(pdo);
    return HmPortAccessCounts{HmTallySince(now.Interrupt, before.Interrupt),
                              HmTallySince(now.Elsewhere, before.Elsewhere)};
}

HmInterruptStats HmInterrupts(PDEVICE_OBJECT pdo)
{
    HmInterruptStats s{0, 0, 0, 0};
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return s;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    s.Deliveries = b->Deliveries;
    s.Claimed = b->Claimed;
    s.Unclaimed = b->Unclaimed;
    s.Vector = b->Vector;
    return s;
}

DEVICE_POWER_STATE HmBusDevicePower(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return PowerDeviceUnspecified;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return b->Power;
}
