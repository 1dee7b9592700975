#include "rig.h"

#include "chain.h"

extern "C" DRIVER_INITIALIZE DriverEntry; // corcard

#include <chrono>
#include <thread>

namespace bench {
namespace {

// Long enough for a loaded two-core machine; a rig that does not get quiet is a failure.
constexpr auto QuietLimit = std::chrono::seconds(20);

bool Clean = true;

} // namespace

bool LastRigClean()
{
    return Clean;
}

const char* ArrangementName(Arrangement arrangement)
{
    return arrangement == Arrangement::Corcard ? "corcard" : "chain";
}

Rig::Rig(Arrangement arrangement, HmModel model, bool linePace)
    : Arrangement_(arrangement), Model_(model)
{
    HmReset();
    HmSetTickMicroseconds(0);
    ResetCorcard();
    Ports_ = HmPortCount(model);
    Pdo_ = HmPlugAdapter(model);
    if (linePace) {
        // The counts are per character time: one tick each, whatever rate the UARTs are
        // programmed to.
        HmSetLinePace(Pdo_, HmAllPorts, 1);
    }
    UartBase_ = HmBarBase(Pdo_, 0);
    StatusPort_ = HmBarBase(Pdo_, 1);
    SetCorcardPorts(StatusPort_, UartBase_, HmBar0Size(Ports_));

    if (arrangement == Arrangement::Corcard) {
        Driver_ = HkLoadDriver(DriverEntry, L"corcard");
    } else {
        HmPnpOptions options;
        options.BindPortDrivers = false;
        HmSetPnpOptions(options);
        Driver_ = HkLoadDriver(ChainDriverEntry, L"benchchain");
    }
    if (Driver_ == nullptr || HmAddDevice(Driver_, Pdo_) != STATUS_SUCCESS ||
        HmStartAdapter(Pdo_) != STATUS_SUCCESS) {
        Failure_ = "the adapter did not start";
        return;
    }
    if (arrangement == Arrangement::Corcard) {
        PortPdos_ = HmPortDevices(Pdo_);
    } else {
        // The platform's assignment: the translated interrupt of the default start.
        HmAssignment assignment = HmDefaultAssignment(Pdo_);
        ULONG vector = 0, level = 0;
        KAFFINITY affinity = 0;
        for (const HmPartial& partial : assignment.Translated.at(0).Partials) {
            if (partial.Type == CmResourceTypeInterrupt) {
                vector = partial.Vector;
                level = partial.Level;
                affinity = partial.Affinity;
            }
        }
        if (!ChainCreatePorts(Driver_, Ports_, UartBase_, vector, level, affinity, &PortPdos_)) {
            Failure_ = "the chain's port drivers did not start";
            return;
        }
    }
    for (PDEVICE_OBJECT port : PortPdos_) {
        if (!HmSerialStateOf(port).Hooked) {
            Failure_ = "a port driver did not hook its interrupt";
            return;
        }
    }
    if (PortPdos_.size() != Ports_ || !Quiet()) {
        Failure_ = "the adapter did not settle after start";
        return;
    }
    Up_ = true;
    Mark();
}

Rig::~Rig()
{
    if (Arrangement_ == Arrangement::Chain) {
        ChainDeletePorts(&PortPdos_);
    }
    HmUnplugAll();
    if (Driver_ != nullptr) {
        HkUnloadDriver(Driver_);
    }
    Clean = HkViolations().empty();
    Clean = HkCheckClean() && Clean;
    HmReset();
}

bool Rig::Quiet()
{
    auto end = std::chrono::steady_clock::now() + QuietLimit;
    for (;;) {
        HmInterruptStats s = HmInterrupts(Pdo_);
        if (HmStatusRegister(Pdo_) == 0 && s.Deliveries == s.Claimed + s.Unclaimed) {
            // Read again: a delivery that began between the two reads shows up now.
            HmInterruptStats again = HmInterrupts(Pdo_);
            if (again.Deliveries == s.Deliveries &&
                again.Deliveries == again.Claimed + again.Unclaimed) {
                return true;
            }
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
}

bool Rig::Receive(unsigned mask, unsigned count, unsigned ticks)
{
    std::vector<UCHAR> bytes(count);
    for (unsigned i = 0; i < count; ++i) {
        bytes[i] = static_cast<UCHAR>('a' + i % 26);
    }
    for (ULONG port = 0; port < Ports_; ++port) {
        if (mask & (1u << port)) {
            HmRemoteSend(Pdo_, port, bytes);
        }
    }
    // Every character of every port arrives inside one step of the clock, so the ports reach
    // their trigger together and the line rises once with all of them pending.
    HmTick(ticks);
    return Quiet();
}

bool Rig::Tick()
{
    return Advance(1);
}

bool Rig::Advance(unsigned ticks)
{
    HmTick(ticks);
    return Quiet();
}

void Rig::SetReceiveTrigger(unsigned level)
{
    const UCHAR bits = level >= 14 ? 0xC0 : level >= 8 ? 0x80 : level >= 4 ? 0x40 : 0x00;
    for (ULONG port = 0; port < Ports_; ++port) {
        const auto iir = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(UartBase_ + 8 * port + 2));
        WRITE_PORT_UCHAR(iir, static_cast<UCHAR>(bits | 0x01));
    }
    Quiet();
}

void Rig::SetRate(ULONG baud)
{
    const auto divisor = static_cast<USHORT>(HmUartClock / 16 / baud);
    for (ULONG port = 0; port < Ports_; ++port) {
        const ULONG64 base = UartBase_ + 8 * port;
        auto reg = [&](unsigned offset) {
            return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(base + offset));
        };
        WRITE_PORT_UCHAR(reg(3), 0x83); // divisor latch open, 8N1
        WRITE_PORT_UCHAR(reg(0), static_cast<UCHAR>(divisor & 0xFF));
        WRITE_PORT_UCHAR(reg(1), static_cast<UCHAR>(divisor >> 8));
        WRITE_PORT_UCHAR(reg(3), 0x03);
    }
}

Rig::Snapshot Rig::Take() const
{
    Snapshot s;
    s.Interrupts = HmInterrupts(Pdo_);
    for (PDEVICE_OBJECT port : PortPdos_) {
        s.Ports.push_back(HmSerialStateOf(port));
    }
    s.Corcard = TakeCorcard();
    return s;
}

void Rig::Mark()
{
    HkClearIoLog();
    Mark_ = Take();
}

Delta Rig::Since() const
{
    Snapshot now = Take();
    Delta d;
    d.Deliveries = now.Interrupts.Deliveries - Mark_.Interrupts.Deliveries;
    d.Claimed = now.Interrupts.Claimed - Mark_.Interrupts.Claimed;
    d.Unclaimed = now.Interrupts.Unclaimed - Mark_.Interrupts.Unclaimed;
    for (size_t i = 0; i < now.Ports.size() && i < Mark_.Ports.size(); ++i) {
        const HmSerialState& a = Mark_.Ports[i];
        const HmSerialState& b = now.Ports[i];
        d.CallbackCalls += (b.Interrupts - a.Interrupts) + (b.Spurious - a.Spurious);
        d.IdleCalls += b.Spurious - a.Spurious;
        d.Overruns += b.Overruns - a.Overruns;
        d.BytesReceived += b.BytesReceived - a.BytesReceived;
        d.BytesSent += b.BytesSent - a.BytesSent;
    }
    const CorcardSnapshot& a = Mark_.Corcard;
    const CorcardSnapshot& b = now.Corcard;
    d.Corcard = CorcardSnapshot{b.StatusReads - a.StatusReads,
                                b.StatusReadsNonZero - a.StatusReadsNonZero,
                                b.UartReads - a.UartReads,
                                b.UartWrites - a.UartWrites,
                                b.OtherPortAccesses - a.OtherPortAccesses,
                                b.Requests - a.Requests,
                                b.EventWaits - a.EventWaits,
                                b.BlockingEventWaits - a.BlockingEventWaits,
                                b.MutexWaits - a.MutexWaits};
    for (const HkIoAccess& access : HkIoLog()) {
        if (access.Write) {
            ++d.Writes;
            continue;
        }
        ++d.Reads;
        const ULONG64 offset = access.Address - (UartBase_ & 0xFFFF);
        if (access.Address >= (UartBase_ & 0xFFFF) && offset < 8 * Ports_ && offset % 8 == 2) {
            ++d.IirReads;
        }
    }
    return d;
}

} // namespace bench
