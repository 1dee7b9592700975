// One adapter on the simulated machine, run in lock step for counting: the machine's clock is
// stopped, the benchmark advances it a number of character times at once and then waits until
// the interrupt line is quiet again, so that every figure is the same on every run. A rig made
// without the line pace keeps the rates the UARTs are programmed with (SetRate), for the timed
// model (HmSetPortAccessNs), where the benchmark moves the clock itself (HmAdvanceTime).
//
// Two arrangements of the same hardware and the same port function driver double:
//  - Corcard: corcard is the adapter's function driver; the double hooks its callback through the
//    port bus interface and corcard's AdapterIsr dispatches the shared line by the status register;
//  - Chain: the classic arrangement. A pass-through function driver of the benchmark holds the
//    adapter, and each port's double connects its own callback on the shared vector with
//    IoConnectInterrupt (through a port bus interface the benchmark answers), so that the kernel
//    calls the routines one after the other, each reading its own UART's identification register.
#pragma once

#include "counting.h"

#include "kernel/hostkernel.h"
#include "machine/machine.h"

#include <string>
#include <vector>

namespace bench {

enum class Arrangement {
    Corcard,
    Chain
};
const char* ArrangementName(Arrangement arrangement);

// Whether the last rig taken down left the kernel stand-in clean (nothing leaked, no misuse of the
// platform seen by its verifier while the rig ran).
bool LastRigClean();

// What happened between two points of a run.
struct Delta {
    uint64_t Deliveries = 0; // service routine chain entered by the line
    uint64_t Claimed = 0;
    uint64_t Unclaimed = 0;
    uint64_t Reads = 0; // every port read of the process (corcard, double, benchmark)
    uint64_t Writes = 0;
    uint64_t IirReads = 0;      // reads of a UART's identification register, by anyone
    uint64_t CallbackCalls = 0; // calls of the double's interrupt routine
    uint64_t IdleCalls = 0;     // ... that found nothing to do
    uint64_t Overruns = 0;      // counted by the double
    uint64_t BytesReceived = 0; // by the double
    uint64_t BytesSent = 0;     // by the double
    CorcardSnapshot Corcard{};  // corcard's own calls (all zero in the chain)
};

class Rig {
public:
    Rig(Arrangement arrangement, HmModel model, bool linePace = true);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool Up() const { return Up_; }
    const std::string& Failure() const { return Failure_; }
    ULONG Ports() const { return Ports_; }
    Arrangement Kind() const { return Arrangement_; }
    PDEVICE_OBJECT Adapter() const { return Pdo_; }
    const std::vector<PDEVICE_OBJECT>& PortDevices() const { return PortPdos_; }

    // Waits until no port is pending and no delivery is in progress.
    bool Quiet();
    // The far end of every port in mask sends count bytes; the clock then advances ticks
    // character times in one step, and the rig waits until the line is quiet.
    bool Receive(unsigned mask, unsigned count, unsigned ticks);
    // One character time, then quiet.
    bool Tick();
    // `ticks` character times in one step, then quiet.
    bool Advance(unsigned ticks);

    // Counters since the last Mark().
    void Mark();
    Delta Since() const;

    // The receive trigger of every UART (1, 4, 8 or 14), written to the FIFO control register
    // as the port driver would (FIFOs stay on, nothing is reset).
    void SetReceiveTrigger(unsigned level);
    // Every UART's rate (8N1), programmed through the divisor latch as the port driver would.
    void SetRate(ULONG baud);

private:
    struct Snapshot {
        HmInterruptStats Interrupts;
        std::vector<HmSerialState> Ports;
        CorcardSnapshot Corcard;
    };
    Snapshot Take() const;

    Arrangement Arrangement_;
    HmModel Model_;
    ULONG Ports_ = 0;
    bool Up_ = false;
    std::string Failure_;
    PDRIVER_OBJECT Driver_ = nullptr; // corcard or the chain's pass-through driver
    PDEVICE_OBJECT Pdo_ = nullptr;
    std::vector<PDEVICE_OBJECT> PortPdos_;
    ULONG64 UartBase_ = 0;
    ULONG64 StatusPort_ = 0;
    Snapshot Mark_;
};

} // namespace bench
