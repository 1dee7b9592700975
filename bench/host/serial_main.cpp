// bench_serial: corserial's data path on the simulated machine (SerialRig): how many port
// accesses each byte costs, what the processor can carry in the timed model, what the receive
// trigger level costs and buys, and how long a read waits after its last byte.
//
//   bench_serial --out FILE   every figure as JSON (make bench)
//   bench_serial --check      the count checks (ctest bench.counts): lock-step runs on an LX8C
//                             at full load, nothing lost and the accesses per byte within the
//                             goals; exits non-zero on a failed check
//   bench_serial --requests   a short full load for callgrind: prints the requests completed
//
// Lock step: port accesses take no time (the processor is infinitely fast next to the line), so
// the counts are those of the driver's design, and anything lost is the driver's fault. The timed
// model: every port access, read or write, takes AccessNs of the machine's one processor
// (HmSetPortAccessNs) while the lines run at their rate.
//
// Full load: every port of the board sends and receives at once, back to back in both
// directions, at the rate given; the far end of each cable is the machine's ideal peer.
#include "json.h"
#include "serial_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace bench;

namespace {

constexpr unsigned AccessNs = 1000; // 1 us per port access: a PCI or PCI Express I/O transaction
const ULONG Rates[] = {115200, 128000, 230400, 460800, 921600}; // the page's list from 115200 up
const HmModel Models[] = {HmModel::LX2A, HmModel::LX4A, HmModel::LX8C};
constexpr double TimedSeconds = 0.1; // line time of each timed run

SerialFifo Fifo(bool wide, ULONG rxFifo)
{
    SerialFifo f;
    f.Defaults = false;
    f.Fifo64 = wide ? 1 : 0;
    f.RxFifo = rxFifo;
    f.TxFifo = 16; // 64 per interrupt with the 64-byte FIFOs
    return f;
}

unsigned AllPorts(const SerialRig& rig)
{
    return (1u << rig.Ports()) - 1;
}

// Accesses per byte moved: every access of the run over the bytes that crossed the bus. The
// accesses that serve both directions (status register, identification reads that found nothing,
// anything else) are shared out in proportion to the bytes of each direction.
struct PerByte {
    double Rx = 0, Tx = 0, All = 0;
};
PerByte PerByteOf(const HmPortAccessCounts& a)
{
    const HmAccessTally& i = a.Interrupt;
    const HmAccessTally& e = a.Elsewhere;
    const double rxBytes = static_cast<double>(i.RxData + e.RxData);
    const double txBytes = static_cast<double>(i.TxData + e.TxData);
    const double rx = static_cast<double>(i.RxData + i.RxControl + e.RxData + e.RxControl);
    const double tx = static_cast<double>(i.TxData + i.TxControl + e.TxData + e.TxControl);
    const double shared = static_cast<double>(i.Total() + e.Total()) - rx - tx;
    PerByte p;
    const double moved = rxBytes + txBytes;
    if (moved == 0) {
        return p;
    }
    p.All = (rx + tx + shared) / moved;
    p.Rx = rxBytes ? (rx + shared * rxBytes / moved) / rxBytes : 0;
    p.Tx = txBytes ? (tx + shared * txBytes / moved) / txBytes : 0;
    return p;
}

uint64_t Lost(const SerialDelta& d)
{
    return d.PeerSent > d.Received ? d.PeerSent - d.Received : 0;
}

void JsonTally(Json& json, const std::string& key, const HmAccessTally& t)
{
    json.Open(key, '{');
    json.Num("status_reads", t.StatusReads);
    json.Num("rx_data", t.RxData);
    json.Num("rx_control", t.RxControl);
    json.Num("tx_data", t.TxData);
    json.Num("tx_control", t.TxControl);
    json.Num("idle_iir", t.IdleIir);
    json.Num("other", t.Other);
    json.Close('}');
}

// The figures every run has.
void JsonRun(Json& json, const SerialDelta& d, unsigned accessNs)
{
    const PerByte p = PerByteOf(d.Accesses);
    json.Num("bytes_each_way", d.PeerSent);
    json.Num("received", d.Received);
    json.Num("sent", d.Sent);
    json.Num("lost", Lost(d));
    json.Num("lost_queue", d.QueueOverrun);
    json.Num("lost_hardware", Lost(d) - std::min(Lost(d), d.QueueOverrun));
    json.Num("overrun_events", d.OverrunEvents);
    json.Num("deliveries", d.Deliveries);
    json.Num("serviced", d.Serviced);
    json.Num("requests", d.Requests);
    json.Num("line_seconds", static_cast<double>(d.LineNs) * 1e-9);
    json.Num("rx_per_byte", p.Rx);
    json.Num("tx_per_byte", p.Tx);
    json.Num("per_byte", p.All);
    JsonTally(json, "interrupt_path", d.Accesses.Interrupt);
    JsonTally(json, "elsewhere", d.Accesses.Elsewhere);
    // The processor's time at accessNs per access, over the line time of the run.
    const double line = static_cast<double>(d.LineNs);
    const HmAccessTally& i = d.Accesses.Interrupt;
    json.Num("access_ns", accessNs);
    json.Num("share_finding", static_cast<double>(i.StatusReads) * accessNs / line);
    json.Num("share_servicing", static_cast<double>(i.Total() - i.StatusReads) * accessNs / line);
    json.Num("share_completing",
             static_cast<double>(d.Accesses.Elsewhere.Total()) * accessNs / line);
}

// Full load on every port of a board at a rate; `intact` also checks every byte both ways.
SerialDelta FullLoad(HmModel model, const SerialFifo& fifo, ULONG baud, size_t bytes,
                     unsigned accessNs, bool intact, const std::string& what)
{
    SerialDelta d;
    {
        SerialRig rig(model, fifo, baud);
        Check(rig.Up(), what + ": " + rig.Failure());
        if (!rig.Up()) {
            return d;
        }
        HmSetPortAccessNs(accessNs);
        d = rig.Stream(AllPorts(rig), bytes, false, intact);
        Check(rig.Failure().empty(), what + ": " + rig.Failure());
    }
    Check(LastSerialRigClean(), what + ": the stand-in is not clean afterwards");
    return d;
}

size_t TimedBytes(ULONG baud)
{
    return static_cast<size_t>(baud / 10 * TimedSeconds);
}

// 1. Accesses per byte at full load, lock step.
void RunPerByte(Json& json)
{
    const SerialFifo settings[] = {Fifo(false, 14), Fifo(true, 14), SerialFifo{}};
    json.Open("per_byte", '[');
    for (const SerialFifo& fifo : settings) {
        const std::string what = "LX8C full load, " + fifo.Name();
        std::fprintf(stderr, "accesses per byte: %s\n", what.c_str());
        const SerialDelta d = FullLoad(HmModel::LX8C, fifo, 921600, 8192, 0, true, what);
        json.OpenItem('{');
        json.Str("model", "LX8C");
        json.Str("fifo", fifo.Name());
        json.Num("fifo64", fifo.Defaults ? 1 : fifo.Fifo64);
        json.Num("baud", 921600);
        JsonRun(json, d, 0);
        json.Close('}');
    }
    json.Close(']');
}

// 2. The timed model: every model at every rate, default FIFO settings.
void RunTimed(Json& json)
{
    json.Open("timed", '[');
    for (HmModel model : Models) {
        for (ULONG baud : Rates) {
            const std::string what =
                std::string(HmModelName(model)) + " timed at " + std::to_string(baud);
            std::fprintf(stderr, "timed model: %s\n", what.c_str());
            const SerialDelta d =
                FullLoad(model, SerialFifo{}, baud, TimedBytes(baud), AccessNs, false, what);
            json.OpenItem('{');
            json.Str("model", HmModelName(model));
            json.Num("ports", HmPortCount(model));
            json.Num("baud", baud);
            JsonRun(json, d, AccessNs);
            json.Close('}');
        }
    }
    json.Close(']');
}

// 3. The receive trigger: interrupts per kilobyte received on one port alone (lock step), the
// headroom it leaves, and what the two loads of the goals lose with it in the timed model.
void RunTriggers(Json& json)
{
    struct Load {
        HmModel Model;
        ULONG Baud;
        const char* Key;
    };
    const Load loads[] = {{HmModel::LX8C, 460800, "lx8c_460800"},
                          {HmModel::LX4A, 921600, "lx4a_921600"}};
    json.Open("triggers", '[');
    for (bool wide : {false, true}) {
        for (ULONG rx : {1u, 4u, 8u, 14u}) {
            const SerialFifo fifo = Fifo(wide, rx);
            std::fprintf(stderr, "trigger: %s\n", fifo.Name().c_str());
            SerialDelta alone;
            ULONG trigger = 0;
            {
                SerialRig rig(HmModel::LX8C, fifo, 921600);
                Check(rig.Up(), fifo.Name() + ": " + rig.Failure());
                if (!rig.Up()) {
                    continue;
                }
                trigger = HmUart(rig.Adapter(), 0).RxTrigger;
                alone = rig.Stream(1, 8192, true, true);
                Check(rig.Failure().empty(), fifo.Name() + " receiving: " + rig.Failure());
            }
            json.OpenItem('{');
            json.Str("fifo", fifo.Name());
            json.Num("depth", wide ? 64 : 16);
            json.Num("trigger", trigger);
            json.Num("headroom_chars", (wide ? 64 : 16) - trigger);
            json.Num("received", alone.Received);
            json.Num("interrupts_per_kb",
                     alone.Received ? alone.Serviced * 1024.0 / static_cast<double>(alone.Received)
                                    : 0);
            json.Num("rx_per_byte", PerByteOf(alone.Accesses).Rx);
            for (const Load& load : loads) {
                const std::string what = std::string(load.Key) + ", " + fifo.Name();
                const SerialDelta d = FullLoad(load.Model, fifo, load.Baud, TimedBytes(load.Baud),
                                               AccessNs, false, what);
                json.Open(load.Key, '{');
                JsonRun(json, d, AccessNs);
                json.Close('}');
            }
            json.Close('}');
        }
    }
    json.Close(']');
}

// 4. Latency: a message arrives on an idle port while the program waits for it; from the end of
// its last byte on the line to the completion of the read that hands the program that byte. The
// read either asks for the message's length with a total time-out (it completes when full), or
// asks for more with an interval time-out (it completes once no byte has come for the interval);
// in the second case the program reads again until it has the whole message, as a program that
// does not know the length does, since bytes reach the driver a FIFO burst at a time and a
// burst can take longer than the interval.
void RunLatency(Json& json)
{
    constexpr ULONG IntervalMs = 1;
    json.Open("latency", '[');
    for (ULONG baud : {115200u, 921600u}) {
        for (size_t length : {size_t(96), size_t(100)}) {
            for (bool interval : {false, true}) {
                SerialRig rig(HmModel::LX2A, SerialFifo{}, baud);
                Check(rig.Up(), "latency: " + rig.Failure());
                if (!rig.Up()) {
                    continue;
                }
                HmSetPortAccessNs(AccessNs);
                ComPort& port = rig.Port(0);
                const SERIAL_TIMEOUTS timeouts = interval ? SERIAL_TIMEOUTS{IntervalMs, 0, 0, 0, 0}
                                                          : SERIAL_TIMEOUTS{0, 0, 1000, 0, 0};
                Check(port.SetCommTimeouts(timeouts), "latency: time-outs refused");
                const ULONG ask = interval ? 4096 : static_cast<ULONG>(length);
                HkRequestPtr read = port.ReadOverlapped(ask);
                std::vector<UCHAR> message(length);
                for (size_t k = 0; k < length; ++k) {
                    message[k] = static_cast<UCHAR>(k);
                }
                const LONGLONG start = HkNow();
                HmRemoteSend(rig.Adapter(), 0, message);
                // The peer starts at once and sends back to back: 10 bits a character.
                const double lastByte =
                    static_cast<double>(start) * 100.0 + static_cast<double>(length) * 1e10 / baud;
                // The program takes each completed read and sends the next one at once: the clock
                // moves in steps of a tenth of a character time for it.
                const LONGLONG step =
                    static_cast<LONGLONG>(1e8 / baud) > 0 ? static_cast<LONGLONG>(1e8 / baud) : 1;
                const LONGLONG giveUp = static_cast<LONGLONG>(lastByte / 100) + 50 * 10000;
                std::vector<UCHAR> got;
                unsigned reads = 1;
                while (got.size() < length && HkNow() < giveUp) {
                    HmAdvanceTime(step);
                    if (!read->Done()) {
                        continue;
                    }
                    const std::vector<UCHAR> out = read->Output();
                    got.insert(got.end(), out.begin(), out.end());
                    if (got.size() < length) {
                        read = port.ReadOverlapped(ask);
                        ++reads;
                    }
                }
                Check(got == message, "latency: the reads did not return the message");
                const double waited = static_cast<double>(read->CompletedAt()) * 100.0 - lastByte;
                json.OpenItem('{');
                json.Num("baud", baud);
                json.Num("length", static_cast<double>(length));
                json.Str("timeout", interval ? "interval" : "total");
                json.Num("interval_ms", interval ? IntervalMs : 0);
                json.Num("trigger", HmUart(rig.Adapter(), 0).RxTrigger);
                json.Num("reads", reads);
                json.Num("latency_us", waited / 1000.0);
                json.Num("latency_chars", waited * baud / 1e10);
                json.Close('}');
            }
        }
    }
    json.Close(']');
}

// For callgrind (make bench): a short full load on an LX2A whose reads and writes the program
// sends and takes back, so that the instructions of corserial's request path (dispatch routines,
// service DPC) can be divided by the requests completed, which it prints.
int RunRequests()
{
    const SerialDelta d =
        FullLoad(HmModel::LX2A, SerialFifo{}, 921600, 8192, 0, true, "LX2A requests");
    std::printf("requests %llu\n", static_cast<unsigned long long>(d.Requests));
    return Failures == 0 ? 0 : 1;
}

// The count checks: the lock-step full loads of the goals, every byte intact both ways.
int RunCheck()
{
    struct Goal {
        SerialFifo Fifo;
        double PerByte;
    };
    const Goal goals[] = {{Fifo(false, 14), 1.15}, {Fifo(true, 14), 1.05}, {SerialFifo{}, 1.05}};
    for (const Goal& goal : goals) {
        const std::string what = "LX8C full load, " + goal.Fifo.Name();
        const SerialDelta d = FullLoad(HmModel::LX8C, goal.Fifo, 921600, 2048, 0, true, what);
        const PerByte p = PerByteOf(d.Accesses);
        Check(Lost(d) == 0 && d.OverrunEvents == 0 && d.QueueOverrun == 0,
              what + ": " + std::to_string(Lost(d)) + " bytes lost");
        Check(p.All <= goal.PerByte, what + ": " + std::to_string(p.All) +
                                         " port accesses per byte moved, more than " +
                                         std::to_string(goal.PerByte));
        std::printf("%s: %.3f accesses per byte moved (received %.3f, sent %.3f)\n", what.c_str(),
                    p.All, p.Rx, p.Tx);
    }
    if (Failures == 0) {
        std::printf("bench serial counts: all checks passed\n");
    }
    return Failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* out = nullptr;
    bool check = false;
    bool requests = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--requests") == 0) {
            requests = true;
        } else {
            out = nullptr;
            break;
        }
    }
    if (check) {
        return RunCheck();
    }
    if (requests) {
        return RunRequests();
    }
    if (out == nullptr) {
        std::fprintf(stderr, "usage: %s --out FILE | --check\n", argv[0]);
        return 2;
    }
    Json json;
    json.Out << "{";
    json.Num("access_ns", AccessNs);
    RunPerByte(json);
    RunTimed(json);
    RunTriggers(json);
    RunLatency(json);
    json.Num("check_failures", Failures);
    json.Out << "}\n";
    if (!WriteReport(json, out)) {
        return 2;
    }
    return Failures == 0 ? 0 : 1;
}
