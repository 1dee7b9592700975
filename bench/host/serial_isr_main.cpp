// bench_serial_isr: corserial's interrupt callback called directly, for instruction counts under
// callgrind.
//
//   valgrind --tool=callgrind --toggle-collect='*SerialIsr*' bench_serial_isr CASE CALLS
//
// A port as corserial keeps it once open with the default FIFO settings (64-byte FIFOs, receive
// trigger 32, 64 bytes per transmitter interrupt, a 4096-byte receive queue), whose UART is a
// scripted register block: every call of the callback finds one cause in the interrupt
// identification register, as CASE says:
//   rx    received data at the trigger level: one line status read, then 32 bytes into the queue;
//   tx    the transmitter empty: 64 bytes of the current write into the FIFO;
//   idle  nothing pending (the callback of a port whose bit showed a moment too long).
// Between calls (outside what callgrind collects) the queue is emptied and the write rewound, so
// that every call does the same work. The self cost of corserial's own functions collected,
// divided by CALLS, is the callback's own instructions per call; the port reads and writes and
// the DPC queueing are the kernel's, and are not in it.
#include "corserial.h"
#include "hostkernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ULONG64 UartPort = 0x2000;

struct Script {
    UCHAR Iir = IirNoInterrupt | IirFifosEnabled;
    UCHAR Next = 0;
};

ULONG UartRead(void* context, ULONG offset, int)
{
    auto script = static_cast<Script*>(context);
    switch (offset) {
    case UartRbrThr:
        return script->Next++;
    case UartIirFcr:
        return script->Iir;
    case UartLsr:
        return LsrDr | LsrThre | LsrTemt; // data waiting, no errors, transmitter empty
    default:
        return 0;
    }
}

void UartWrite(void*, ULONG, int, ULONG) {}

const HkIoHandler UartHandler = {UartRead, UartWrite};

VOID NoService(PKDPC, PVOID, PVOID, PVOID) {}

// The receive queue empty and a 4096-byte write at its start.
void Rewind(PSERIAL_SHARED s, UCHAR* write)
{
    s->Rx.Count = 0;
    s->Rx.In = s->Rx.Out = 0;
    s->TxBuffer = write;
    s->TxLength = 4096;
    s->TxRemaining = 4096;
    s->WriteComplete = FALSE;
}

// Not inlined, cloned or folded into its caller, so that callgrind sees every call of SerialIsr
// made from here as the same call.
__attribute__((noipa)) unsigned long RunIsr(PSERIAL_PORT port, UCHAR* write, unsigned long calls)
{
    unsigned long claimed = 0;
    for (unsigned long i = 0; i < calls; ++i) {
        Rewind(&port->Shared, write);
        claimed += SerialIsr(nullptr, port) ? 1 : 0;
    }
    return claimed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s rx|tx|idle CALLS\n", argv[0]);
        return 2;
    }
    const std::string what = argv[1];
    const unsigned long calls = std::strtoul(argv[2], nullptr, 10);
    Script script;
    if (what == "rx") {
        script.Iir = IirRda | IirFifosEnabled;
    } else if (what == "tx") {
        script.Iir = IirThre | IirFifosEnabled;
    } else if (what != "idle") {
        std::fprintf(stderr, "unknown case %s\n", what.c_str());
        return 2;
    }

    HkReset();
    HkMapIo(UartPort, UartRegisterCount, &UartHandler, &script);
    auto port = std::make_unique<SERIAL_PORT>();
    std::memset(port.get(), 0, sizeof(SERIAL_PORT));
    KeInitializeDpc(&port->ServiceDpc, NoService, nullptr);
    std::vector<UCHAR> ring(4096), write(4096, 0x55);
    PSERIAL_SHARED s = &port->Shared;
    s->Registers = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(UartPort));
    s->IsrLive = TRUE;
    s->Open = TRUE;
    s->Ier = IerRda | IerThre | IerRls | IerMsr;
    s->RxTrigger = 32;
    s->TxLoad = 64;
    s->FifoDepth = 64;
    s->Rx.Buffer = ring.data();
    s->Rx.Size = static_cast<ULONG>(ring.size());
    s->HandFlow.XoffLimit = 512;
    s->HandFlow.XonLimit = 1024;

    const unsigned long claimed = RunIsr(port.get(), write.data(), calls);
    HkWaitDpcsIdle();
    KeRemoveQueueDpc(&port->ServiceDpc);
    HkUnmapIo(UartPort);
    std::printf("calls %lu claimed %lu received %u sent %u\n", calls, claimed,
                s->Stats.ReceivedCount, s->Stats.TransmittedCount);
    const bool ok = what == "idle" ? claimed == 0 : claimed == calls;
    return ok ? 0 : 1;
}
