// The data path rig: one adapter on the simulated machine with corcard below and corserial on its
// ports, every port opened and set up as a Win32 program does it (ComPort), and at the far end
// of each port's cable the machine's ideal peer: an independent device that sends back to back at
// the port's rate whatever the near processor does, and takes everything the port sends. The
// clock is stopped; the rig moves it itself (HmAdvanceTime), so that lines, interrupts, DPCs and
// time-outs keep one order and every run sees the same events.
//
// A stream moves the same number of bytes each way on every chosen port at once: the peer sends
// its bytes at the start, and the program behind each port keeps a few overlapped writes and
// reads queued, as a program that streams does, taking completed requests and sending new ones
// between steps of the clock. With HmSetPortAccessNs the same stream runs in the timed model.
#pragma once

#include "client/comport.h"
#include "kernel/hostkernel.h"
#include "machine/machine.h"

#include <memory>
#include <string>
#include <vector>

namespace bench {

// The FIFO values of each port's device key; Defaults leaves the key as installation leaves it,
// so that the driver takes (and writes) its defaults.
struct SerialFifo {
    bool Defaults = true;
    ULONG Fifo64 = 1; // "EnableFifo64"
    ULONG RxFifo = 8; // "RxFIFO": 1, 4, 8 or 14
    ULONG TxFifo = 16;
    std::string Name() const; // "default", "16-byte, trigger 14", "64-byte, trigger 56"
};

// What happened on the adapter and in the driver between two points of a run.
struct SerialDelta {
    HmPortAccessCounts Accesses{};
    uint64_t Deliveries = 0;
    uint64_t Serviced = 0;
    uint64_t Received = 0;      // bytes the program's reads returned
    uint64_t Sent = 0;          // bytes the peers took from the ports
    uint64_t PeerSent = 0;      // bytes the peers sent
    uint64_t QueueOverrun = 0;  // bytes corserial lost because its receive queue was full
    uint64_t OverrunEvents = 0; // hardware overruns corserial saw (one per event, not per byte)
    uint64_t Requests = 0;      // reads and writes completed
    uint64_t LineNs = 0;        // line time of the stream: its bytes back to back at the rate
};

class SerialRig {
public:
    SerialRig(HmModel model, const SerialFifo& fifo, ULONG baud);
    ~SerialRig();
    SerialRig(const SerialRig&) = delete;
    SerialRig& operator=(const SerialRig&) = delete;

    bool Up() const { return Up_; }
    const std::string& Failure() const { return Failure_; }
    ULONG Ports() const { return static_cast<ULONG>(Ports_.size()); }
    PDEVICE_OBJECT Adapter() const { return Pdo_; }
    ComPort& Port(ULONG i) { return *Ports_.at(i); }
    ULONG Baud() const { return Baud_; }
    // One character of the line (8N1 at the port's rate), in line nanoseconds.
    uint64_t CharNs() const { return 10ull * 1000000000ull / Baud_; }

    // Every port in mask sends and receives `bytes` at once (full duplex; a port with only one
    // direction chosen: receiveOnly). Checks that every byte arrived intact when `intact` is set.
    // Returns the counts of the run; Failure() says what went wrong.
    SerialDelta Stream(unsigned mask, size_t bytes, bool receiveOnly, bool intact);

private:
    std::vector<std::unique_ptr<ComPort>> Ports_;
    PDRIVER_OBJECT Corcard_ = nullptr;
    PDRIVER_OBJECT Corserial_ = nullptr;
    PDEVICE_OBJECT Pdo_ = nullptr;
    ULONG Baud_ = 0;
    bool Up_ = false;
    std::string Failure_;
};

// Whether the last rig taken down left the kernel stand-in clean.
bool LastSerialRigClean();

// Corserial's statistics of one open port (IOCTL_SERIAL_GET_STATS).
SERIALPERF_STATS StatsOf(ComPort& port);

} // namespace bench
