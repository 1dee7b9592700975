// A walk through corserial's states: one program on one port of a board on the simulated machine,
// with the far end of the line acting between its requests, every step decided by a Chooser and
// every answer held to the serial contract (contract.h). The clock stands still except where a
// step moves it, so a walk repeats from its choices.
//
// A step is one thing a program, the far end or the walk's cable does: a read, a write, a
// control request (well formed or with any sizes and any code), a wait, a cancel, a purge, a
// close, bytes, errors, breaks and modem changes from the far end, time passing, a pause for the
// line to fall quiet and a look at the port's counters, or a race: a request during which the
// far end changes a modem line between two of the request's interrupt-synchronised steps (where
// the service routine can run on another processor), or another processor cancels the handle's
// I/O or sends bytes between its locked steps.
#pragma once

#include "contract.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace contract {

// Where the walk's decisions come from: a seeded generator, a fuzzer's input, or a recording.
class Chooser {
public:
    virtual ~Chooser() = default;
    virtual unsigned Below(unsigned limit) = 0; // 0 <= value < limit (limit > 0)
};

// One request the walk sent, for a fuzzer's check of the bytes that came back.
struct WalkRequest {
    HkRequestPtr Request;
    UCHAR Major;
    ULONG Code;
    ULONG InputLength;
    ULONG OutputLength;
};

class Walk {
public:
    // A fresh machine: an LX2A with corcard and corserial, port 0 a COM port. The system
    // buffers of the requests are filled with marker before the driver sees them.
    explicit Walk(UCHAR marker = 0);
    ~Walk();
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    // One step; false once the walk has found a disagreement (or a fault of the machine).
    bool Step(Chooser& chooser);
    // Closes the port and takes the machine down, checking that nothing is left; returns the
    // first disagreement of the walk, empty if there was none.
    std::string Finish();

    const std::vector<std::string>& Log() const; // a line per step
    const std::vector<WalkRequest>& Requests() const;

    struct Rig;

private:
    std::unique_ptr<Rig> R;
};

// A walk of `steps` steps from `seed`; on a disagreement the shortest sequence of steps found
// that still shows it (a few hundred replays at most), with the disagreement on its last line.
struct WalkResult {
    std::string Disagreement; // empty: none
    std::vector<std::string> Steps;
};
WalkResult RunSeededWalk(uint64_t seed, size_t steps);

} // namespace contract
