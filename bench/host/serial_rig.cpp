#include "serial_rig.h"

extern "C" DRIVER_INITIALIZE DriverEntry;          // corcard
extern "C" DRIVER_INITIALIZE CorSerialDriverEntry; // corserial (so named in the host build)

#include <algorithm>

namespace bench {
namespace {

// Requests each program keeps queued in each direction, and their size: enough that the
// transmitter never waits for the program and a read is always there for the bytes, between two
// steps of the clock.
constexpr size_t QueuedRequests = 4;
constexpr size_t RequestBytes = 1024;
// Character times per step of the clock.
constexpr uint64_t StepChars = 128;
// Steps the rig goes on once the peers have sent everything and every write is done, for the last
// bytes to leave the FIFOs (character time-out) and reach the reads.
constexpr unsigned DrainSteps = 3;

bool Clean = true;

std::vector<UCHAR> Pattern(size_t length, unsigned seed)
{
    std::vector<UCHAR> bytes(length);
    for (size_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<UCHAR>(seed * 37 + k * 7 + k / 251);
    }
    return bytes;
}

std::u16string PortNameOf(PDEVICE_OBJECT portPdo)
{
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (!HkRegQueryValue(HmDeviceKey(portPdo), u"PortName", &type, &data)) {
        return {};
    }
    std::u16string name(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    return name.substr(0, name.find(u'\0'));
}

// One direction of one port: the requests in flight and what came back.
struct Flow {
    size_t Issued = 0; // bytes asked for so far
    std::vector<HkRequestPtr> InFlight;
    std::vector<UCHAR> Data; // reads: what the program received
    size_t Done = 0;         // writes: bytes the driver took
    uint64_t Requests = 0;
};

} // namespace

std::string SerialFifo::Name() const
{
    if (Defaults) {
        return "default";
    }
    static const ULONG levels64[] = {1, 16, 32, 56};
    ULONG trigger = RxFifo;
    if (Fifo64) {
        trigger = levels64[RxFifo >= 14 ? 3 : RxFifo >= 8 ? 2 : RxFifo >= 4 ? 1 : 0];
    }
    return std::string(Fifo64 ? "64" : "16") + "-byte, trigger " + std::to_string(trigger);
}

bool LastSerialRigClean()
{
    return Clean;
}

SERIALPERF_STATS StatsOf(ComPort& port)
{
    SERIALPERF_STATS stats{};
    HkRequestPtr request = port.DeviceIoControl(IOCTL_SERIAL_GET_STATS, {}, sizeof stats);
    if (request->Wait() && NT_SUCCESS(request->Status())) {
        const std::vector<UCHAR> out = request->Output();
        std::copy(out.begin(), out.begin() + std::min(out.size(), sizeof stats),
                  reinterpret_cast<UCHAR*>(&stats));
    }
    return stats;
}

SerialRig::SerialRig(HmModel model, const SerialFifo& fifo, ULONG baud) : Baud_(baud)
{
    HmReset();
    Corcard_ = HkLoadDriver(DriverEntry, L"corcard");
    Corserial_ = HkLoadDriver(CorSerialDriverEntry, L"corserial");
    if (Corcard_ == nullptr || Corserial_ == nullptr) {
        Failure_ = "a driver did not load";
        return;
    }
    HmPnpOptions options;
    options.PortDriver = Corserial_;
    options.StartPorts = false; // the FIFO values go into the device keys first
    HmSetPnpOptions(options);
    Pdo_ = HmPlugAdapter(model);
    if (HmAddDevice(Corcard_, Pdo_) != STATUS_SUCCESS || HmStartAdapter(Pdo_) != STATUS_SUCCESS) {
        Failure_ = "the adapter did not start";
        return;
    }
    for (PDEVICE_OBJECT port : HmPortDevices(Pdo_)) {
        if (!fifo.Defaults) {
            const std::u16string key = HmDeviceKey(port);
            HkRegSetDword(key, u"EnableFifo64", fifo.Fifo64);
            HkRegSetDword(key, u"RxFIFO", fifo.RxFifo);
            HkRegSetDword(key, u"TxFIFO", fifo.TxFifo);
        }
        if (HmStartPort(port) != STATUS_SUCCESS) {
            Failure_ = "a port did not start";
            return;
        }
        auto com = std::make_unique<ComPort>();
        ComDcb dcb;
        if (com->Open(PortNameOf(port)) != STATUS_SUCCESS || !com->GetCommState(&dcb)) {
            Failure_ = "a port did not open";
            return;
        }
        dcb.BaudRate = baud;
        // Reads wait until they are full: the program streams and never times out.
        if (!com->SetCommState(dcb) || !com->SetCommTimeouts(SERIAL_TIMEOUTS{0, 0, 0, 0, 0})) {
            Failure_ = "a port refused its settings";
            return;
        }
        Ports_.push_back(std::move(com));
    }
    if (Ports_.size() != HmPortCount(model)) {
        Failure_ = "not every port came up";
        return;
    }
    HmSetTimeScale(0);
    Up_ = true;
}

SerialRig::~SerialRig()
{
    // Closing drains each transmitter on a timer: the clock runs again for it.
    HmSetPortAccessNs(0);
    HmSetTimeScale(1);
    for (auto& port : Ports_) {
        port->Close();
    }
    Ports_.clear();
    HmUnplugAll();
    for (PDRIVER_OBJECT driver : {Corserial_, Corcard_}) {
        if (driver != nullptr) {
            HkUnloadDriver(driver);
        }
    }
    Clean = HkViolations().empty();
    Clean = HkCheckClean() && Clean;
    HmReset();
}

SerialDelta SerialRig::Stream(unsigned mask, size_t bytes, bool receiveOnly, bool intact)
{
    SerialDelta d;
    const ULONG n = Ports();
    std::vector<SERIALPERF_STATS> statsBefore(n);
    for (ULONG i = 0; i < n; ++i) {
        statsBefore[i] = StatsOf(*Ports_[i]);
        HmRemoteTake(Pdo_, i); // nothing from before counts
    }
    const HmPortAccessCounts accessesBefore = HmPortAccesses(Pdo_);
    const HmInterruptStats interruptsBefore = HmInterrupts(Pdo_);

    std::vector<Flow> reads(n), writes(n);
    std::vector<std::vector<UCHAR>> outgoing(n);
    for (ULONG i = 0; i < n; ++i) {
        if (mask & (1u << i)) {
            HmRemoteSend(Pdo_, i, Pattern(bytes, 2 * i));
            outgoing[i] = Pattern(bytes, 2 * i + 1);
        }
    }
    const LONGLONG step = static_cast<LONGLONG>(StepChars * CharNs() / 100);
    unsigned drained = 0;
    for (;;) {
        bool busy = false;
        for (ULONG i = 0; i < n; ++i) {
            if (!(mask & (1u << i))) {
                continue;
            }
            Flow& r = reads[i];
            while (r.InFlight.size() < QueuedRequests && r.Issued < bytes) {
                const size_t length = std::min(RequestBytes, bytes - r.Issued);
                r.InFlight.push_back(Ports_[i]->ReadOverlapped(static_cast<ULONG>(length)));
                r.Issued += length;
            }
            Flow& w = writes[i];
            while (!receiveOnly && w.InFlight.size() < QueuedRequests && w.Issued < bytes) {
                const size_t length = std::min(RequestBytes, bytes - w.Issued);
                w.InFlight.push_back(Ports_[i]->WriteOverlapped(std::vector<UCHAR>(
                    outgoing[i].begin() + static_cast<std::ptrdiff_t>(w.Issued),
                    outgoing[i].begin() + static_cast<std::ptrdiff_t>(w.Issued + length))));
                w.Issued += length;
            }
            busy = busy || !w.InFlight.empty() || HmRemotePending(Pdo_, i) != 0;
        }
        if (!busy && ++drained > DrainSteps) {
            break;
        }
        HmAdvanceTime(step);
        for (ULONG i = 0; i < n; ++i) {
            for (Flow* f : {&reads[i], &writes[i]}) {
                // Requests complete in order: a read or write waits for the one before it.
                while (!f->InFlight.empty() && f->InFlight.front()->Done()) {
                    const HkRequestPtr& done = f->InFlight.front();
                    if (f == &reads[i]) {
                        const std::vector<UCHAR> out = done->Output();
                        f->Data.insert(f->Data.end(), out.begin(), out.end());
                    } else {
                        f->Done += done->Information();
                    }
                    ++f->Requests;
                    f->InFlight.erase(f->InFlight.begin());
                }
            }
        }
    }
    // Reads still waiting are short of bytes that never came. They are cancelled, and whatever
    // arrived is taken with one read that returns at once. (A cancelled read hands the program
    // nothing; the bytes the driver had moved into it either count by its Information or went
    // back to the receive queue for the next read. Either way they arrived; they count as
    // received, as zeros: they cannot be compared.)
    for (ULONG i = 0; i < n; ++i) {
        if (reads[i].InFlight.empty()) {
            continue;
        }
        Ports_[i]->CancelIo();
        size_t arrived = 0;
        for (const HkRequestPtr& pending : reads[i].InFlight) {
            pending->Wait();
            arrived += pending->Information();
        }
        reads[i].InFlight.clear();
        ComPort& port = *Ports_[i];
        if (port.SetCommTimeouts(SERIAL_TIMEOUTS{MAXULONG, 0, 0, 0, 0})) {
            HkRequestPtr rest = port.ReadOverlapped(static_cast<ULONG>(bytes));
            if (rest->Wait()) {
                arrived += rest->Information();
            }
            port.SetCommTimeouts(SERIAL_TIMEOUTS{0, 0, 0, 0, 0});
        }
        reads[i].Data.resize(reads[i].Data.size() + arrived);
    }

    d.Accesses = HmPortAccessesSince(Pdo_, accessesBefore);
    const HmInterruptStats interrupts = HmInterrupts(Pdo_);
    d.Deliveries = interrupts.Deliveries - interruptsBefore.Deliveries;
    d.Serviced = interrupts.Claimed - interruptsBefore.Claimed;
    d.LineNs = static_cast<uint64_t>(static_cast<double>(bytes) * 1e10 / Baud_);
    for (ULONG i = 0; i < n; ++i) {
        if (!(mask & (1u << i))) {
            continue;
        }
        const SERIALPERF_STATS stats = StatsOf(*Ports_[i]);
        d.QueueOverrun += stats.BufferOverrunErrorCount - statsBefore[i].BufferOverrunErrorCount;
        d.OverrunEvents += stats.SerialOverrunErrorCount - statsBefore[i].SerialOverrunErrorCount;
        d.Received += reads[i].Data.size();
        d.PeerSent += bytes;
        d.Requests += reads[i].Requests + writes[i].Requests;
        const std::vector<UCHAR> atPeer = HmRemoteTake(Pdo_, i);
        d.Sent += atPeer.size();
        if (intact && Failure_.empty()) {
            if (reads[i].Data != Pattern(bytes, 2 * i)) {
                Failure_ = "port " + std::to_string(i) + " received " +
                           std::to_string(reads[i].Data.size()) + " bytes, not the " +
                           std::to_string(bytes) + " sent intact";
            } else if (!receiveOnly && atPeer != outgoing[i]) {
                Failure_ = "the peer of port " + std::to_string(i) + " took " +
                           std::to_string(atPeer.size()) + " bytes, not the " +
                           std::to_string(bytes) + " written intact";
            }
        }
    }
    return d;
}

} // namespace bench
