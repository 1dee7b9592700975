// bench_dispatch: the counting benchmarks of the interrupt path and of bring-up, on the simulated
// machine, deterministic (the machine runs in lock step, see rig.h).
//
//   bench_dispatch --out FILE   every model and arrangement; the figures as JSON
//   bench_dispatch --check      a short run on an LX8C that checks the counts the design promises
//                               (used by ctest; exits non-zero on a failed check)
//
// Per serviced interrupt, for corcard: status-register reads, UART accesses made by corcard,
// callback calls that found nothing to do, passes. For both arrangements, the dispatch reads of
// an event: corcard's status-register reads and UART reads plus the identification read of every
// callback call that found nothing to do; in the chain, the identification-register read each
// routine makes to learn whether the interrupt is its own. The reads that service a port (data,
// line status, the service loop's re-reads of the identification register) are the same double's
// code in both and are counted in the totals.
//
// Runs: k of N ports pending (every set of k ports once, 8 characters each, the double's receive
// trigger); full load (every port receiving with trigger 14 and transmitting, one character per
// character time, service taking no line time); the same full load in the timed model at real
// rates, every port access (read or write) taking 1 us of the machine's processor (machine.h,
// HmSetPortAccessNs); add-device and start of each model.
#include "json.h"
#include "rig.h"

#include "corcard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

using namespace bench;

namespace {

// One character of 8N1 at 921600 baud is 10 bits on the wire.
constexpr double CharMicroseconds = 10.0 * 1e6 / 921600.0;
constexpr unsigned EventBytes = 8; // the double programs receive trigger 8

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

std::string Name(HmModel model, Arrangement arrangement)
{
    return std::string(HmModelName(model)) + " " + ArrangementName(arrangement);
}

uint64_t DispatchReads(Arrangement arrangement, const Delta& d)
{
    if (arrangement == Arrangement::Corcard) {
        return d.Corcard.StatusReads + d.Corcard.UartReads + d.IdleCalls;
    }
    return d.CallbackCalls;
}

struct PendingRow {
    unsigned K = 0;
    uint64_t Events = 0;
    Delta Sum;
    uint64_t DispatchReads = 0;
    uint64_t DispatchMin = ~0ull;
    uint64_t DispatchMax = 0;
};

void Add(Delta& sum, const Delta& d)
{
    sum.Deliveries += d.Deliveries;
    sum.Claimed += d.Claimed;
    sum.Unclaimed += d.Unclaimed;
    sum.Reads += d.Reads;
    sum.Writes += d.Writes;
    sum.IirReads += d.IirReads;
    sum.CallbackCalls += d.CallbackCalls;
    sum.IdleCalls += d.IdleCalls;
    sum.Overruns += d.Overruns;
    sum.BytesReceived += d.BytesReceived;
    sum.BytesSent += d.BytesSent;
    sum.Corcard.StatusReads += d.Corcard.StatusReads;
    sum.Corcard.StatusReadsNonZero += d.Corcard.StatusReadsNonZero;
    sum.Corcard.UartReads += d.Corcard.UartReads;
    sum.Corcard.UartWrites += d.Corcard.UartWrites;
    sum.Corcard.OtherPortAccesses += d.Corcard.OtherPortAccesses;
}

// The checks that hold for every corcard figure: each serviced interrupt ends with one status
// read that shows nothing, and corcard touches no UART while it runs.
void CheckCorcard(const std::string& what, const Delta& d)
{
    Check(d.Unclaimed == 0, what + ": " + std::to_string(d.Unclaimed) + " unclaimed deliveries");
    Check(d.Corcard.StatusReads == d.Corcard.StatusReadsNonZero + d.Claimed,
          what + ": status reads " + std::to_string(d.Corcard.StatusReads) + " != passes " +
              std::to_string(d.Corcard.StatusReadsNonZero) + " + serviced interrupts " +
              std::to_string(d.Claimed));
    Check(d.Corcard.UartReads == 0 && d.Corcard.UartWrites == 0,
          what + ": corcard made " + std::to_string(d.Corcard.UartReads + d.Corcard.UartWrites) +
              " UART accesses");
    Check(d.IdleCalls == 0, what + ": " + std::to_string(d.IdleCalls) + " idle callback calls");
}

// k of the N ports pending per event, every subset of k ports once.
std::vector<PendingRow> RunPendingRig(HmModel model, Arrangement arrangement, unsigned onlyK)
{
    std::vector<PendingRow> rows;
    Rig rig(arrangement, model);
    const std::string what = Name(model, arrangement);
    Check(rig.Up(), what + ": " + rig.Failure());
    if (!rig.Up()) {
        return rows;
    }
    const ULONG n = rig.Ports();
    for (unsigned k = 1; k <= n; ++k) {
        if (onlyK != 0 && k != onlyK && k != n) {
            continue;
        }
        PendingRow row;
        row.K = k;
        for (unsigned mask = 1; mask < (1u << n); ++mask) {
            if (static_cast<unsigned>(__builtin_popcount(mask)) != k) {
                continue;
            }
            rig.Mark();
            Check(rig.Receive(mask, EventBytes, EventBytes), what + ": the line did not go quiet");
            const Delta d = rig.Since();
            Check(d.BytesReceived == uint64_t(EventBytes) * k && d.Overruns == 0,
                  what + ": data of event " + std::to_string(mask) + " not all received");
            const uint64_t reads = DispatchReads(arrangement, d);
            row.DispatchMin = std::min(row.DispatchMin, reads);
            row.DispatchMax = std::max(row.DispatchMax, reads);
            row.DispatchReads += reads;
            ++row.Events;
            Add(row.Sum, d);
        }
        if (arrangement == Arrangement::Corcard) {
            CheckCorcard(what + " k=" + std::to_string(k), row.Sum);
            Check(row.Sum.Claimed == row.Events,
                  what + " k=" + std::to_string(k) + ": not one serviced interrupt per event");
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<PendingRow> RunPending(HmModel model, Arrangement arrangement, unsigned onlyK,
                                   Json* json)
{
    std::vector<PendingRow> rows = RunPendingRig(model, arrangement, onlyK);
    Check(LastRigClean(), Name(model, arrangement) + ": the stand-in is not clean afterwards");
    const ULONG n = HmPortCount(model);
    if (json != nullptr) {
        for (const PendingRow& row : rows) {
            const double e = static_cast<double>(row.Events);
            const Delta& s = row.Sum;
            json->OpenItem('{');
            json->Str("model", HmModelName(model));
            json->Str("arrangement", ArrangementName(arrangement));
            json->Num("ports", n);
            json->Num("k", row.K);
            json->Num("events", row.Events);
            json->Num("deliveries_per_event", s.Deliveries / e);
            json->Num("serviced_per_event", s.Claimed / e);
            json->Num("status_reads_per_event", s.Corcard.StatusReads / e);
            json->Num("passes_per_event", s.Corcard.StatusReadsNonZero / e);
            json->Num("corcard_uart_accesses_per_event",
                      (s.Corcard.UartReads + s.Corcard.UartWrites) / e);
            json->Num("idle_callback_calls_per_event", s.IdleCalls / e);
            json->Num("callback_calls_per_event", s.CallbackCalls / e);
            json->Num("dispatch_reads_per_event", row.DispatchReads / e);
            json->Num("dispatch_reads_min", row.DispatchMin);
            json->Num("dispatch_reads_max", row.DispatchMax);
            json->Num("iir_reads_per_event", s.IirReads / e);
            json->Num("reads_per_event", s.Reads / e);
            json->Num("writes_per_event", s.Writes / e);
            json->Close('}');
        }
    }
    return rows;
}

struct LoadResult {
    Delta D;
    uint64_t Ticks = 0;
    uint64_t Expected = 0;
    uint64_t Transmitted = 0;
    HmPortAccessCounts Accesses{}; // by kind (machine.h), during the run
};

// Every port receiving and transmitting without a gap, receive trigger 14, one character per
// character time (921600 baud), until `bytes` have gone each way on every port.
LoadResult RunFullLoadRig(HmModel model, Arrangement arrangement, unsigned bytes)
{
    LoadResult r;
    Rig rig(arrangement, model);
    const std::string what = Name(model, arrangement) + " full load";
    Check(rig.Up(), what + ": " + rig.Failure());
    if (!rig.Up()) {
        return r;
    }
    rig.SetReceiveTrigger(14);
    std::vector<UCHAR> data(bytes);
    for (unsigned i = 0; i < bytes; ++i) {
        data[i] = static_cast<UCHAR>(i * 7);
    }
    for (ULONG port = 0; port < rig.Ports(); ++port) {
        HmRemoteSend(rig.Adapter(), port, data);
        Check(NT_SUCCESS(HmSerialWrite(rig.PortDevices()[port], data)), what + ": write refused");
    }
    Check(rig.Quiet(), what + ": the line did not go quiet");
    rig.Mark();
    const HmPortAccessCounts accessesBefore = HmPortAccesses(rig.Adapter());
    r.Expected = uint64_t(bytes) * rig.Ports();
    // Enough character times for the last bytes and their time-out; then stop.
    const uint64_t limit = bytes + 64;
    for (; r.Ticks < limit; ++r.Ticks) {
        Check(rig.Tick(), what + ": the line did not go quiet");
    }
    r.D = rig.Since();
    r.Accesses = HmPortAccessesSince(rig.Adapter(), accessesBefore);
    for (ULONG port = 0; port < rig.Ports(); ++port) {
        r.Transmitted += HmRemoteTake(rig.Adapter(), port).size();
    }
    Check(r.D.Overruns == 0, what + ": " + std::to_string(r.D.Overruns) + " overruns");
    Check(r.D.BytesReceived == r.Expected, what + ": received " +
                                               std::to_string(r.D.BytesReceived) + " of " +
                                               std::to_string(r.Expected));
    Check(r.Transmitted == r.Expected, what + ": transmitted " + std::to_string(r.Transmitted) +
                                           " of " + std::to_string(r.Expected));
    if (arrangement == Arrangement::Corcard) {
        CheckCorcard(what, r.D);
    }
    return r;
}

LoadResult RunFullLoad(HmModel model, Arrangement arrangement, unsigned bytes)
{
    LoadResult r = RunFullLoadRig(model, arrangement, bytes);
    Check(LastRigClean(),
          Name(model, arrangement) + " full load: the stand-in is not clean afterwards");
    return r;
}

// The full load again in the timed model (HmSetPortAccessNs): the UARTs at a real rate, every port
// access, read or write, taking AccessNs of the machine's processor while the lines run on, and
// the ideal peer at the far end sending back to back. Whether the FIFOs overflow then says
// whether the arrangement keeps up with the line when service takes time.
constexpr unsigned AccessNs = 1000;
constexpr double TimedSeconds = 0.1; // line time of each timed run

struct TimedResult {
    ULONG Baud = 0;
    uint64_t Expected = 0; // bytes each way, all ports
    uint64_t Received = 0;
    uint64_t Sent = 0;
    uint64_t OverrunEvents = 0;
    uint64_t Serviced = 0;
    uint64_t IdleCalls = 0; // callback calls that found their UART idle (one identification read)
    HmPortAccessCounts Accesses{};
};

TimedResult RunTimedLoadRig(HmModel model, Arrangement arrangement, ULONG baud)
{
    TimedResult r;
    r.Baud = baud;
    Rig rig(arrangement, model, false);
    const std::string what =
        Name(model, arrangement) + " timed full load at " + std::to_string(baud);
    Check(rig.Up(), what + ": " + rig.Failure());
    if (!rig.Up()) {
        return r;
    }
    rig.SetReceiveTrigger(14);
    rig.SetRate(baud);
    const size_t bytes = static_cast<size_t>(baud / 10 * TimedSeconds);
    std::vector<UCHAR> data(bytes, 0x55);
    std::vector<HmSerialState> before;
    for (PDEVICE_OBJECT port : rig.PortDevices()) {
        before.push_back(HmSerialStateOf(port));
    }
    const HmPortAccessCounts accessesBefore = HmPortAccesses(rig.Adapter());
    const HmInterruptStats interruptsBefore = HmInterrupts(rig.Adapter());
    HmSetPortAccessNs(AccessNs);
    for (ULONG port = 0; port < rig.Ports(); ++port) {
        HmRemoteSend(rig.Adapter(), port, data);
        Check(NT_SUCCESS(HmSerialWrite(rig.PortDevices()[port], data)), what + ": write refused");
    }
    r.Expected = uint64_t(bytes) * rig.Ports();
    // Until the peers have sent everything and the double's transmitters have taken everything,
    // then long enough for the last bytes to leave the FIFOs (character time-out).
    const LONGLONG step = static_cast<LONGLONG>(1e9 / baud); // 10 character times, 100 ns units
    unsigned quiet = 0;
    while (quiet < 10) {
        HmAdvanceTime(step);
        bool busy = false;
        for (ULONG port = 0; port < rig.Ports(); ++port) {
            busy = busy || HmRemotePending(rig.Adapter(), port) != 0 ||
                   HmSerialStateOf(rig.PortDevices()[port]).TxQueued != 0;
        }
        quiet = busy ? 0 : quiet + 1;
    }
    HmSetPortAccessNs(0);
    r.Accesses = HmPortAccessesSince(rig.Adapter(), accessesBefore);
    r.Serviced = HmInterrupts(rig.Adapter()).Claimed - interruptsBefore.Claimed;
    for (ULONG port = 0; port < rig.Ports(); ++port) {
        const HmSerialState s = HmSerialStateOf(rig.PortDevices()[port]);
        r.Received += s.BytesReceived - before[port].BytesReceived;
        r.OverrunEvents += s.Overruns - before[port].Overruns;
        r.IdleCalls += s.Spurious - before[port].Spurious;
        r.Sent += HmRemoteTake(rig.Adapter(), port).size();
    }
    return r;
}

void JsonTimed(Json& json, HmModel model, Arrangement arrangement, const TimedResult& r)
{
    const double line = static_cast<double>(r.Expected) / HmPortCount(model) * 1e10 / r.Baud;
    const HmAccessTally& i = r.Accesses.Interrupt;
    json.OpenItem('{');
    json.Str("model", HmModelName(model));
    json.Str("arrangement", ArrangementName(arrangement));
    json.Num("ports", HmPortCount(model));
    json.Num("baud", r.Baud);
    json.Num("line_seconds", line * 1e-9);
    json.Num("bytes_each_way", r.Expected);
    json.Num("received", r.Received);
    json.Num("sent", r.Sent);
    json.Num("overrun_events", r.OverrunEvents);
    json.Num("lost", r.Expected > r.Received ? r.Expected - r.Received : 0);
    json.Num("serviced", r.Serviced);
    JsonTally(json, "interrupt_path", i);
    JsonTally(json, "elsewhere", r.Accesses.Elsewhere);
    json.Num("idle_callback_calls", r.IdleCalls);
    // Finding the pending ports: corcard's status reads, and the identification read of every
    // routine that found its UART idle (the chain's way of finding them).
    const double finding = static_cast<double>(i.StatusReads + r.IdleCalls);
    json.Num("access_ns", AccessNs);
    json.Num("share_finding", finding * AccessNs / line);
    json.Num("share_servicing", (static_cast<double>(i.Total()) - finding) * AccessNs / line);
    json.Num("share_completing",
             static_cast<double>(r.Accesses.Elsewhere.Total()) * AccessNs / line);
    json.Close('}');
}

void JsonLoad(Json& json, HmModel model, Arrangement arrangement, const LoadResult& r)
{
    const Delta& d = r.D;
    const double serviced = d.Claimed ? static_cast<double>(d.Claimed) : 1.0;
    json.OpenItem('{');
    json.Str("model", HmModelName(model));
    json.Str("arrangement", ArrangementName(arrangement));
    json.Num("ports", HmPortCount(model));
    json.Num("character_times", r.Ticks);
    json.Num("line_seconds", r.Ticks * CharMicroseconds * 1e-6);
    json.Num("bytes_each_way", r.Expected);
    json.Num("received", d.BytesReceived);
    json.Num("transmitted", r.Transmitted);
    json.Num("overruns", d.Overruns);
    json.Num("deliveries", d.Deliveries);
    json.Num("serviced", d.Claimed);
    json.Num("unclaimed", d.Unclaimed);
    json.Num("status_reads", d.Corcard.StatusReads);
    json.Num("passes", d.Corcard.StatusReadsNonZero);
    json.Num("corcard_uart_accesses", d.Corcard.UartReads + d.Corcard.UartWrites);
    json.Num("callback_calls", d.CallbackCalls);
    json.Num("idle_callback_calls", d.IdleCalls);
    json.Num("dispatch_reads", DispatchReads(arrangement, d));
    json.Num("dispatch_reads_per_serviced", DispatchReads(arrangement, d) / serviced);
    json.Num("status_reads_per_serviced", d.Corcard.StatusReads / serviced);
    json.Num("passes_per_serviced", d.Corcard.StatusReadsNonZero / serviced);
    json.Num("reads", d.Reads);
    json.Num("writes", d.Writes);
    json.Num("iir_reads", d.IirReads);
    json.Num("reads_per_serviced", d.Reads / serviced);
    JsonTally(json, "interrupt_path", r.Accesses.Interrupt);
    JsonTally(json, "elsewhere", r.Accesses.Elsewhere);
    json.Close('}');
}

// Add-device and start of one model: what corcard sends and waits for, and what it keeps.
void RunBringUp(HmModel model, Json& json)
{
    HmReset();
    HmSetTickMicroseconds(0);
    PDRIVER_OBJECT driver = HkLoadDriver(DriverEntry, L"corcard");
    PDEVICE_OBJECT pdo = HmPlugAdapter(model);
    SetCorcardPorts(HmBarBase(pdo, 1), HmBarBase(pdo, 0), HmBar0Size(HmPortCount(model)));
    const HkPoolStats poolBefore = HkPoolOutstanding(CorPoolTag);
    ResetCorcard();
    const size_t busBefore = HmBusRecords(pdo).size();
    const std::string what = std::string(HmModelName(model)) + " bring-up";
    Check(HmAddDevice(driver, pdo) == STATUS_SUCCESS, what + ": add-device failed");
    const CorcardSnapshot add = TakeCorcard();
    const size_t busAfterAdd = HmBusRecords(pdo).size();
    ResetCorcard();
    Check(HmStartAdapter(pdo) == STATUS_SUCCESS, what + ": start failed");
    HmWaitPnpIdle();
    const CorcardSnapshot start = TakeCorcard();
    const size_t busAfterStart = HmBusRecords(pdo).size();
    const HkPoolStats nonPaged = HkPoolOutstanding(CorPoolTag, NonPagedPool);
    const HkPoolStats all = HkPoolOutstanding(CorPoolTag);
    const ULONG ports = HmPortCount(model);
    Check(start.UartReads > 0, what + ": start left the UARTs alone (no quiesce)");

    json.OpenItem('{');
    json.Str("model", HmModelName(model));
    json.Num("ports", ports);
    json.Num("add_requests", add.Requests);
    json.Num("add_event_waits", add.EventWaits);
    json.Num("add_blocking_event_waits", add.BlockingEventWaits);
    json.Num("add_mutex_waits", add.MutexWaits);
    json.Num("add_bus_requests", busAfterAdd - busBefore);
    json.Num("start_requests", start.Requests);
    json.Num("start_event_waits", start.EventWaits);
    json.Num("start_blocking_event_waits", start.BlockingEventWaits);
    json.Num("start_mutex_waits", start.MutexWaits);
    json.Num("start_bus_requests", busAfterStart - busAfterAdd);
    json.Num("start_uart_reads", start.UartReads);
    json.Num("start_uart_writes", start.UartWrites);
    json.Num("pool_nonpaged_bytes", nonPaged.Bytes);
    json.Num("pool_nonpaged_blocks", nonPaged.Blocks);
    json.Num("pool_all_bytes", all.Bytes - poolBefore.Bytes);
    json.Num("adapter_extension_bytes", sizeof(ADAPTER_EXTENSION));
    json.Num("port_extension_bytes", sizeof(PORT_EXTENSION));
    json.Num("nonpaged_total_bytes",
             nonPaged.Bytes + sizeof(ADAPTER_EXTENSION) + ports * sizeof(PORT_EXTENSION));
    json.Close('}');

    HmUnplugAll();
    HkUnloadDriver(driver);
    Check(HkCheckClean(), what + ": the stand-in is not clean");
    HmReset();
}

int RunCheck()
{
    // One port pending at a time, every port once, and all eight: the design's counts.
    const auto corcard = RunPending(HmModel::LX8C, Arrangement::Corcard, 1, nullptr);
    const auto chain = RunPending(HmModel::LX8C, Arrangement::Chain, 1, nullptr);
    if (corcard.size() == 2 && chain.size() == 2) {
        const PendingRow& c = corcard[0];
        const PendingRow& r = chain[0];
        Check(c.Sum.Corcard.StatusReads == 2 * c.Events,
              "LX8C corcard: one port pending should cost 2 status reads per event");
        Check(corcard[1].Sum.Corcard.StatusReads == 2 * corcard[1].Events,
              "LX8C corcard: all ports pending should cost 2 status reads per event");
        // With the last port of the chain pending, every routine reads its UART.
        Check(r.DispatchMax == 8,
              "LX8C chain: the last port pending should read all 8 UARTs, read " +
                  std::to_string(r.DispatchMax));
        Check(r.DispatchMax >= 4 * c.DispatchMax,
              "LX8C: corcard does not read 4 times less than the chain with the last port pending");
        Check(r.Sum.Deliveries == r.Events && c.Sum.Deliveries == c.Events,
              "LX8C: one delivery per event with one port pending");
    } else {
        Check(false, "LX8C: the pending-port runs did not complete");
    }
    RunFullLoad(HmModel::LX8C, Arrangement::Corcard, 128);
    if (Failures == 0) {
        std::printf("bench counts: all checks passed\n");
    }
    return Failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const char* out = nullptr;
    bool check = false;
    unsigned loadBytes = 1024;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strcmp(argv[i], "--load-bytes") == 0 && i + 1 < argc) {
            loadBytes = static_cast<unsigned>(std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: %s --out FILE [--load-bytes N] | --check\n", argv[0]);
            return 2;
        }
    }
    if (check) {
        return RunCheck();
    }
    if (out == nullptr) {
        std::fprintf(stderr, "usage: %s --out FILE [--load-bytes N] | --check\n", argv[0]);
        return 2;
    }

    const HmModel models[] = {HmModel::LX2A, HmModel::LX4A, HmModel::LX8C};
    const Arrangement arrangements[] = {Arrangement::Corcard, Arrangement::Chain};
    Json json;
    json.Out << "{";
    json.Num("character_microseconds", CharMicroseconds);
    json.Num("event_bytes", EventBytes);
    json.Open("pending", '[');
    for (HmModel model : models) {
        for (Arrangement arrangement : arrangements) {
            std::fprintf(stderr, "pending ports: %s\n", Name(model, arrangement).c_str());
            RunPending(model, arrangement, 0, &json);
        }
    }
    json.Close(']');
    json.Open("full_load", '[');
    for (HmModel model : models) {
        for (Arrangement arrangement : arrangements) {
            std::fprintf(stderr, "full load: %s\n", Name(model, arrangement).c_str());
            JsonLoad(json, model, arrangement, RunFullLoad(model, arrangement, loadBytes));
        }
    }
    json.Close(']');
    json.Open("timed_full_load", '[');
    const ULONG rates[] = {115200, 128000, 230400, 460800, 921600};
    for (HmModel model : models) {
        for (Arrangement arrangement : arrangements) {
            for (ULONG baud : rates) {
                // The chain only at the top rate, where the dispatch cost shows most.
                if (arrangement == Arrangement::Chain && baud != 921600) {
                    continue;
                }
                std::fprintf(stderr, "timed full load: %s at %u\n",
                             Name(model, arrangement).c_str(), static_cast<unsigned>(baud));
                JsonTimed(json, model, arrangement, RunTimedLoadRig(model, arrangement, baud));
                Check(LastRigClean(),
                      Name(model, arrangement) + " timed: the stand-in is not clean");
            }
        }
    }
    json.Close(']');
    json.Open("bring_up", '[');
    for (HmModel model : models) {
        RunBringUp(model, json);
    }
    json.Close(']');
    json.Num("check_failures", Failures);
    json.Out << "}\n";

    if (!WriteReport(json, out)) {
        return 2;
    }
    return Failures == 0 ? 0 : 1;
}
