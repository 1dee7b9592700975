// Shared state of the simulated machine, private to host/machine.
#pragma once

#include "line.h"
#include "machine.h"
#include "uart.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace hm {

constexpr ULONG MaxUarts = 8;

// PCI configuration space offsets used by the bus and the board.
constexpr ULONG CfgVendor = 0x00;
constexpr ULONG CfgCommand = 0x04;
constexpr ULONG CfgStatus = 0x06;
constexpr ULONG CfgRevision = 0x08;
constexpr ULONG CfgBar0 = 0x10;
constexpr ULONG CfgSubVendor = 0x2C;
constexpr ULONG CfgSubsystem = 0x2E;
constexpr ULONG CfgCapPtr = 0x34;
constexpr ULONG CfgInterruptLine = 0x3C;
constexpr ULONG CfgPmCap = 0x40; // power management capability
constexpr ULONG CfgPmCsr = 0x44; // its control/status register: bits 1:0 = D state
constexpr USHORT CommandIoEnable = 0x0001;

// The serial lines run on the kernel stand-in's virtual clock (HkNow, in 100 ns units; the line
// model counts nanoseconds). The machine's tick, for HmTick and the line pace of HmSetLinePace,
// is one millisecond of it.
constexpr uint64_t ModelTickNs = 1'000'000;
uint64_t LineNow();

// What is at the far end of a UART's line.
enum class EndKind {
    Peer,     // the board's scripted peer for that port
    Loopback, // a loopback plug
    Cable,    // a null-modem cable to another UART (of this board or another)
};
struct Board;
struct LineEnd {
    EndKind Kind = EndKind::Peer;
    Board* Other = nullptr; // cable: the other end's board (boards live until HmReset)
    ULONG OtherPort = 0;
};
// A character that left a UART into a cable, on its way to the other end.
struct CableChar {
    ULONG Port; // the sending UART
    WireChar Char;
};

// One adapter card in a slot: configuration space, UARTs, interrupt status register, and what the
// bus driver has done with it. Mu serialises register access, the far ends and the config space;
// MapMu serialises mapping changes (HkMapIo is never called with Mu held, because the stand-in
// calls the register handlers with its own lock held).
struct Board {
    HkMutex Mu{"board lock (registers)"};
    HkMutex MapMu{"board lock (mappings)"};
    ULONG Slot = 0;
    PDEVICE_OBJECT Pdo = nullptr;
    HmPciConfig Config{};
    Uart Uarts[MaxUarts];
    Peer Peers[MaxUarts]; // each port's scripted peer (at the far end unless Ends says otherwise)
    LineEnd Ends[MaxUarts];
    std::vector<CableChar> CableOut; // left into cables, not yet delivered (the hardware thread)
    ULONG UartCount = 0;
    bool Present = true;       // in the slot
    unsigned PullAtAccess = 0; // register accesses until it leaves the slot (HmPullAdapterAtAccess)
    bool Started = false;      // the bus has started the function (decoding enabled by start)
    DEVICE_POWER_STATE Power = PowerDeviceD0;
    // Current mappings (under MapMu).
    ULONG64 Bar0Mapped = 0;
    ULONG64 Bar1Mapped = 0;
    // Interrupt line.
    bool HasVector = false;
    ULONG Vector = 0;
    size_t Deliveries = 0;
    size_t Claimed = 0;
    size_t Unclaimed = 0;
    unsigned BackoffMs = 0;
    std::chrono::steady_clock::time_point BackoffUntil{};
    // How far the hardware thread has run the lines: ahead of the clock between a step's lines
    // and its clock (BoardNow).
    uint64_t LinesAt = 0;
    // Bus driver behaviour and records.
    HmBusAnswers Answers;
    bool Decoding = false; // registers mapped (under Mu)
    std::vector<HmBusRecord> Records;
    // Port accesses by kind (HmPortAccesses), and each UART's last identification read on the
    // interrupt path, which tells what the line status reads after it serve.
    HmPortAccessCounts Accesses{};
    uint8_t LastIir[MaxUarts] = {};
    bool DeleteWhenDetached = false; // removal of a vanished board with a stack still above it
    std::string Name;                // "adapter N"
};

// The time a register access or a test's action on a board's lines happens at: the clock, or
// where the hardware thread has already run the board's lines when that is later. Within a step
// the lines run before the clock moves; a driver raising RTS in between would otherwise have the
// far end start in the past and send the whole step's characters at once, with no interrupt
// taken between them.
uint64_t BoardNow(const Board& b);

// Board procedures (board.cpp).
void BoardInitUarts(Board& b);
bool BoardPowered(const Board& b); // with Mu held: in the slot and in D0, so its UARTs run
// With Mu held: port i and its far end up to `now` (a cable's characters wait in CableOut).
void BoardRunPort(Board& b, ULONG port, uint64_t now);
void BoardRunLines(Board& b, uint64_t now);
uint64_t BoardNextEvent(const Board& b); // with Mu held: the earliest event of its lines
UCHAR BoardStatus(Board& b);             // with Mu held
bool BoardLineAsserted(Board& b);        // takes Mu
void BoardRefreshDecode(Board& b); // maps/unmaps per Present, Started, Power, command and BARs
ULONG ConfigRead32(const HmPciConfig& c, ULONG offset);
USHORT ConfigRead16(const HmPciConfig& c, ULONG offset);
void ConfigWrite(Board& b, ULONG offset, const UCHAR* data, ULONG length); // with Mu held
// Programs the board's implemented I/O BARs from the raw list's port ranges, in BAR order.
void BoardProgramBars(Board& b, const CM_RESOURCE_LIST* raw);

// Device node of the plug-and-play manager.
struct Node {
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Parent = nullptr;
    bool IsAdapter = false;
    std::shared_ptr<Board> Card; // adapters only
    PDRIVER_OBJECT FunctionDriver = nullptr;
    HmNodeState State = HmNodeState::Initialized;
    NTSTATUS LastStatus = STATUS_SUCCESS;
    bool HoldsReference = false; // the reference the bus relations answer gave the manager
    std::vector<PDEVICE_OBJECT> Children;
    HmNodeInfo Info{};
    std::string Name;
    ULONG SoftwareKey = 0; // NNNN of the node's software key: the order the manager met the nodes
};

struct Machine {
    HkMutex Mu{"machine lock"};                 // guards everything below
    std::vector<std::shared_ptr<Board>> Boards; // every board plugged since reset, by slot
    std::map<PDEVICE_OBJECT, Node> Nodes;
    PDRIVER_OBJECT PciDriver = nullptr;
    PDRIVER_OBJECT SerialDriver = nullptr;
    HmPnpOptions Options;
    std::vector<std::string> Trace;
    unsigned long long TraceGeneration = 0; // bumped when the trace is cleared
    std::vector<HmPowerRecord> PowerLog;
    SYSTEM_POWER_STATE SystemState = PowerSystemWorking;
    std::set<PDEVICE_OBJECT> Invalidated;
    std::set<ULONG> ComNumbersTaken; // the COM names given out (AssignPortNames), by number
    ULONG NextSoftwareKey = 0;

    // Plug-and-play worker.
    std::thread Worker;
    std::condition_variable_any WorkCv;
    std::deque<std::function<void()>> Work;
    bool WorkerStop = false;
    bool WorkerBusy = false;

    // Hardware thread.
    std::thread Hardware;
    std::condition_variable_any HardwareCv;
    bool HardwareStop = false;
    double Scale = 1;              // virtual time per wall time; 0: stopped
    uint64_t AdvanceTarget = 0;    // HmAdvanceTime: the line time to reach
    bool AdvanceRequested = false; // ... asked and not yet reached
    unsigned long long Kicks = 0;

    // Stacks whose removal waits for their last handle to close (after a surprise removal),
    // by adapter: the adapter goes once all its ports have gone.
    std::vector<PDEVICE_OBJECT> AwaitingRemoval;

    // Bus completion thread.
    std::thread Completer;
    std::condition_variable_any CompleterCv;
    struct Completion {
        bool Holdable; // pending as configured (HmBusAnswers::Pending), not only forced
        std::function<void()> Work;
    };
    std::deque<Completion> Completions;
    bool CompleterStop = false;
    bool CompletionsHeld = false; // HmHoldBusCompletions

    // Forced pending (HmSetForcedPending) and the deferred-work thread of the port driver double.
    std::atomic<bool> ForcedPending{false};
    std::thread Deferrer;
    std::condition_variable_any DeferrerCv;
    std::deque<std::function<void()>> Deferred;
    bool DeferrerStop = false;

    // A test program that ends with the machine still running (no HmReset or HmUnplugAll after
    // its last test) must not end in std::terminate: the threads are stopped here.
    ~Machine();
};

Machine& M();

std::shared_ptr<Board> BoardOf(PDEVICE_OBJECT pdo); // nullptr if not an adapter PDO
void AddTrace(const std::string& line);
// A trace line written when a request is sent and finished when it completes, so that what the
// request caused on the way (the bus's answers, the port driver's calls) follows it in the trace.
struct TraceMark {
    unsigned long long Generation;
    size_t Index;
};
TraceMark OpenTrace(const std::string& head);
void CloseTrace(const TraceMark& mark, const std::string& tail);
void KickHardware(); // a line may have changed: wake the hardware thread
// True on the hardware thread while it delivers an adapter's interrupt (the service routines run).
bool DeliveringInterrupt();
// The line time at which a port access made now happens under the timed model (the clock when
// accesses take no time); charges the access to the processor. Call with the board's Mu held, so
// that accesses to one board reach its UARTs in the order of their times.
uint64_t PortAccessTime();
void ResetProcessor();

// Threads (hardware.cpp, pnp.cpp, pcibus.cpp).
void StartThreads();
void StopThreads();
// holdable: the request is pending as configured, so HmHoldBusCompletions holds it back.
void PostCompletion(std::function<void()> work, bool holdable = true);
// Runs work on the deferred-work thread (PASSIVE_LEVEL, after a short random delay); the work
// may block, but never on other deferred work.
void PostDeferred(std::function<void()> work);
// A random delay of up to a millisecond, for forced pending.
void ForcedPendingDelay();
// Runs work on the plug-and-play worker and waits for it (runs inline when called from it).
void RunOnWorker(const std::function<void()>& work);
void PostToWorker(std::function<void()> work);
bool OnWorker();

// The PCI bus driver (pcibus.cpp).
PDRIVER_OBJECT EnsurePciDriver();
PDEVICE_OBJECT CreatePciPdo(const std::shared_ptr<Board>& board);
void PciReapPdo(Board& b); // deletes the PDO of a vanished board whose removal has finished

// The port driver double (serial.cpp).
PDRIVER_OBJECT EnsureSerialDriver();
NTSTATUS SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

// Requests of the managers (pnp.cpp).
HmIrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& fill);
PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo); // referenced; ObDereferenceObject when done
Node* FindNode(PDEVICE_OBJECT pdo);       // worker thread only
std::vector<Node*> NodeChildren(Node& adapter);
void InstallHooks();
// Removals after a surprise removal that wait for the last handle of a stack (worker thread).
void FinishRemovals();

// Text helpers (names.cpp).
std::string Hex(ULONG64 value, int digits = 0);
std::string IdTypeName(ULONG type);
std::u16string ReadPoolString(const WCHAR* text, bool multi, std::vector<std::u16string>* list);
std::string PoolNote(const void* block);

} // namespace hm
