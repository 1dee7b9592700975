// bench_isr: corcard's AdapterIsr called directly, for instruction counts under callgrind.
//
//   valgrind --tool=callgrind --toggle-collect='*AdapterIsr*' bench_isr PORTS PENDING CALLS
//
// An adapter extension of a board with PORTS ports, every slot hooked by a callback that claims,
// and a status register that shows the lowest PENDING ports on the first read of each call and
// nothing on the second: every call is one pass that calls PENDING callbacks. Callgrind's self
// cost of AdapterIsr divided by CALLS is the dispatcher's own instructions per call; the status
// reads and the callbacks are other functions and are not in it.
#include "counting.h"

#include "corcard.h"
#include "hostkernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr ULONG64 StatusPort = 0x3000;

struct Script {
    UCHAR Pending = 0;
    unsigned Reads = 0;
};

ULONG StatusRead(void* context, ULONG offset, int)
{
    auto script = static_cast<Script*>(context);
    if (offset != 0) {
        return 0;
    }
    return (script->Reads++ % 2 == 0) ? script->Pending : 0;
}

void StatusWrite(void*, ULONG, int, ULONG) {}

const HkIoHandler StatusHandler = {StatusRead, StatusWrite};

unsigned long CallbackCalls = 0;

BOOLEAN Callback(PKINTERRUPT, PVOID)
{
    ++CallbackCalls;
    return TRUE;
}

// Not inlined, cloned or folded into its caller, so that callgrind sees every call of AdapterIsr
// made from here as the same call.
__attribute__((noipa)) unsigned long RunIsr(PADAPTER_EXTENSION adapter, unsigned long calls)
{
    unsigned long claimed = 0;
    for (unsigned long i = 0; i < calls; ++i) {
        claimed += AdapterIsr(nullptr, adapter) ? 1 : 0;
    }
    return claimed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORTS PENDING CALLS\n", argv[0]);
        return 2;
    }
    const LONG ports = std::atoi(argv[1]);
    const int pending = std::atoi(argv[2]);
    const unsigned long calls = std::strtoul(argv[3], nullptr, 10);

    const BOARD_ENTRY* board = nullptr;
    for (ULONG i = 0; i < BoardCatalogueCount; ++i) {
        if (BoardCatalogue[i].NumberOfPorts == ports) {
            board = &BoardCatalogue[i];
            break;
        }
    }
    if (board == nullptr || pending < 1 || pending > ports) {
        std::fprintf(stderr, "no board with %d ports, or %d pending is out of range\n",
                     static_cast<int>(ports), pending);
        return 2;
    }

    HkReset();
    Script script;
    script.Pending = static_cast<UCHAR>((1u << pending) - 1);
    HkMapIo(StatusPort, 4, &StatusHandler, &script);
    bench::SetCorcardPorts(StatusPort, 0, 0);

    auto adapter = std::make_unique<ADAPTER_EXTENSION>();
    std::memset(adapter.get(), 0, sizeof(ADAPTER_EXTENSION));
    adapter->Board = board;
    adapter->StatusPort = StatusPort;
    for (LONG i = 0; i < ports; ++i) {
        adapter->InterruptSlots[i].InUse = 1;
        adapter->InterruptSlots[i].Mask = static_cast<UCHAR>(1u << i);
        adapter->InterruptSlots[i].Routine = Callback;
    }

    const unsigned long claimed = RunIsr(adapter.get(), calls);
    const bench::CorcardSnapshot counts = bench::TakeCorcard();
    HkUnmapIo(StatusPort);
    std::printf("calls %lu claimed %lu callbacks %lu status_reads %llu\n", calls, claimed,
                CallbackCalls, static_cast<unsigned long long>(counts.StatusReads));
    const bool ok =
        claimed == calls && CallbackCalls == calls * pending && counts.StatusReads == 2 * calls;
    return ok ? 0 : 1;
}
