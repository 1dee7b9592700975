// Walks through corserial's states (tests/serial/contract/walk.h) decided by the input: a
// program's requests of every kind and size (reads, writes, every serial control code and
// codes the port does not know, cancels, purges, flushes, opens of names below the port,
// closes with requests pending), the far end's bytes, errors, breaks and modem lines, a loopback
// plug, a null-modem cable and a peer on another line format, time passing, and races at the
// points where another processor's work comes in. The clock stands still except where the input
// moves it, so a run repeats.
//
// Oracles: the serial contract (every answer must be one the documentation allows: any
// disagreement is a finding), the verifier (a request completed twice, Information larger than
// the caller's buffer, a completion at the wrong IRQL, ...), the sanitizers, the stand-in's
// end-of-input checks (no pool, IRP, timer or handle left), and no byte of kernel memory
// returned to the program: the system buffers are filled with a marker before the driver sees
// them, and an input whose outputs hold the marker is run again with another one. A byte the
// driver wrote is the same in both runs; a byte it left alone follows the marker, so the check
// flags exactly the bytes it never wrote.
#include "fuzz_input.h"
#include "walk.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr UCHAR FirstMarker = 0xA5;
constexpr UCHAR SecondMarker = 0x5A;
constexpr size_t MaxSteps = 512; // of one input; past it the input ends

[[noreturn]] void Finding(const std::string& what, const std::vector<std::string>& steps)
{
    std::fprintf(stderr, "%s\nafter %zu steps:\n", what.c_str(), steps.size());
    for (const std::string& step : steps) {
        std::fprintf(stderr, "  %s\n", step.c_str());
    }
    std::abort();
}

// The input's bytes as the walk's decisions.
class InputChooser : public contract::Chooser {
public:
    explicit InputChooser(FuzzInput& in) : In(in) {}
    unsigned Below(unsigned limit) override
    {
        return limit <= 256 ? In.Below(limit) : In.U16() % limit;
    }

private:
    FuzzInput& In;
};

struct Returned {
    UCHAR Major;
    ULONG Code;
    ULONG InputLength, OutputLength;
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<UCHAR> Output;
};

// Runs the input with one marker; what came back of each request, in the order they were sent.
std::vector<Returned> RunWith(const uint8_t* data, size_t size, UCHAR marker)
{
    FuzzInput in(data, size);
    InputChooser chooser(in);
    contract::Walk walk(marker);
    for (size_t step = 0; step < MaxSteps && !in.Empty(); ++step) {
        if (!walk.Step(chooser)) {
            break;
        }
    }
    const std::string disagreement = walk.Finish(); // the handle closes, its requests end
    if (std::getenv("FUZZ_TRACE") != nullptr) {
        for (const std::string& step : walk.Log()) {
            std::fprintf(stderr, "%s\n", step.c_str());
        }
    }
    if (!disagreement.empty()) {
        Finding(disagreement, walk.Log());
    }
    std::vector<Returned> results;
    for (const contract::WalkRequest& r : walk.Requests()) {
        results.push_back({r.Major, r.Code, r.InputLength, r.OutputLength, r.Request->Status(),
                           r.Request->Information(), r.Request->Output()});
    }
    return results;
}

bool HoldsMarker(const std::vector<Returned>& results, UCHAR marker)
{
    for (const Returned& result : results) {
        for (UCHAR byte : result.Output) {
            if (byte == marker) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<Returned> one = RunWith(data, size, FirstMarker);
    if (!HoldsMarker(one, FirstMarker)) {
        return 0;
    }
    const std::vector<Returned> two = RunWith(data, size, SecondMarker);
    for (size_t k = 0; k < std::min(one.size(), two.size()); ++k) {
        const Returned& a = one[k];
        const Returned& b = two[k];
        // Only the same request with the same result is compared (a run repeats, but a race
        // between a request and the service routine may end otherwise).
        if (a.Major != b.Major || a.Code != b.Code || a.InputLength != b.InputLength ||
            a.OutputLength != b.OutputLength || a.Status != b.Status ||
            a.Information != b.Information) {
            continue;
        }
        for (size_t i = 0; i < std::min(a.Output.size(), b.Output.size()); ++i) {
            if (a.Output[i] == FirstMarker && b.Output[i] == SecondMarker) {
                char what[160];
                std::snprintf(what, sizeof(what),
                              "request %zu (major 0x%02X, code 0x%08X, input %u, output %u) "
                              "returned byte %zu of %zu unwritten: status 0x%08X",
                              k, a.Major, static_cast<unsigned>(a.Code),
                              static_cast<unsigned>(a.InputLength),
                              static_cast<unsigned>(a.OutputLength), i, a.Output.size(),
                              static_cast<unsigned>(a.Status));
                Finding(what, {});
            }
        }
    }
    return 0;
}
