// The machine's hardware threads: the clock that moves the serial lines and the kernel's timers
// along, the level-sensitive interrupt lines of the adapters, and the bus driver's deferred
// completions.
//
// The hardware thread drives the kernel stand-in's virtual clock. It moves it in steps, each to
// the earliest of: a line event (a character leaving a transmitter or reaching a receiver, a
// character time-out, a peer's next action), a kernel timer's due time, or the target. Within a
// step the lines run first, then the clock moves (timers expire, their DPCs run to the end),
// then the interrupt lines are delivered and the DPCs they queue run. The processor is thus
// infinitely fast next to the simulated clock, and lines, interrupts and timers keep one order
// however slowly the host runs. The target follows wall time times the scale; a host too slow to
// keep up makes simulated time slow down (the lag beyond MaxLagNs is dropped, never caught up in
// a burst that no interrupt could keep up with). With the scale 0 the clock stands still until
// HmAdvanceTime (or HmTick) asks for a step.
//
// The timed model (HmSetPortAccessNs) gives the processor a time of its own for port accesses:
// each access is made at the later of the clock and the end of the access before, and the
// register handlers run the accessed lines up to that time, so a service routine works through
// its accesses ahead of the clock while characters keep arriving. The clock catches up at its
// next step; a delivery made while the processor is still busy starts when it is free.
//
// An adapter's line is asserted while its interrupt status register is non-zero. The hardware
// thread delivers it with HkDeliverInterrupt on the vector of the adapter's last start, again
// and again while some service routine claims it (as a level-triggered line re-enters the ISR
// while it stays asserted); when nobody claims it, it stays asserted and no other thread has
// touched the registers meanwhile (which may have raised a new cause), the thread backs off
// (1 ms, doubling up to 32 ms) instead of storming, and counts the unclaimed delivery.
#include "internal.h"

#include <algorithm>
#include <random>

namespace hm {
namespace {

HkMutex HwMu{"machine lock (hardware thread)"}; // guards the clock's settings, the kick counter
                                                // and the wait of the hardware thread
constexpr unsigned MaxBackoffMs = 32;
constexpr uint64_t MaxLagNs = 10'000'000;
constexpr unsigned DeliveriesPerRound = 64; // a claimed line is delivered at most this often
                                            // before the clock gets its turn again
constexpr uint64_t Never = UINT64_MAX;

thread_local bool Delivering = false;

// The timed model (HmSetPortAccessNs): what one port access costs, and when the processor is
// next free, in line nanoseconds.
std::atomic<uint64_t> AccessNs{0};
std::atomic<uint64_t> ProcessorFree{0};

std::vector<std::shared_ptr<Board>> Snapshot()
{
    Machine& m = M();
    std::lock_guard<HkMutex> lock(m.Mu);
    return m.Boards;
}

uint64_t NextEvent(const std::vector<std::shared_ptr<Board>>& boards)
{
    uint64_t next = Never;
    for (const auto& b : boards) {
        std::lock_guard<HkMutex> lock(b->Mu);
        next = std::min(next, BoardNextEvent(*b));
    }
    const LONGLONG timer = HkNextTimerDue();
    if (timer >= 0) {
        next = std::min(next, static_cast<uint64_t>(timer) * 100);
    }
    return next;
}

// Characters that left into cables reach the other ends, and each end's modem inputs follow the
// other end's outputs. Boards are locked one at a time: a cable may join two boards.
void DeliverCables(const std::vector<std::shared_ptr<Board>>& boards)
{
    struct Crossing {
        Board* To;
        ULONG Port;
        std::vector<WireChar> Chars;
        LineOutputs From;
        Board* FromBoard;
        ULONG FromPort;
    };
    std::vector<Crossing> crossings;
    for (const auto& b : boards) {
        std::lock_guard<HkMutex> lock(b->Mu);
        for (ULONG i = 0; i < b->UartCount; ++i) {
            const LineEnd& end = b->Ends[i];
            if (end.Kind != EndKind::Cable) {
                continue;
            }
            Crossing c{end.Other, end.OtherPort, {}, UartOutputs(b->Uarts[i]), b.get(), i};
            if (!BoardPowered(*b)) {
                c.From = LineOutputs{}; // an unpowered UART drives nothing
            }
            for (const CableChar& out : b->CableOut) {
                if (out.Port == i) {
                    c.Chars.push_back(out.Char);
                }
            }
            crossings.push_back(std::move(c));
        }
        b->CableOut.clear();
    }
    for (const Crossing& c : crossings) {
        std::lock_guard<HkMutex> lock(c.To->Mu);
        if (!BoardPowered(*c.To)) {
            continue; // nothing hears them
        }
        const LineEnd& end = c.To->Ends[c.Port];
        if (end.Kind != EndKind::Cable || end.Other != c.FromBoard || end.OtherPort != c.FromPort) {
            continue; // unplugged meanwhile: the end has its peer (or a plug) again
        }
        Uart& to = c.To->Uarts[c.Port];
        for (const WireChar& ch : c.Chars) {
            UartReceive(to, ch, ch.End);
        }
        UartSetModemInputs(to, NullModem(c.From));
    }
}

// The clock counts 100 ns units: a step from `now` to `event` ends on the unit at or after it,
// at least one unit on.
uint64_t StepEnd(uint64_t now, uint64_t event)
{
    const uint64_t unit = event > Never - 99 ? Never : (event + 99) / 100 * 100;
    return std::max(now + 100, unit);
}

// Runs the lines from `now` towards `next`, the earliest event when the step began. An event may
// have come since, earlier than that: a peer given bytes to send by a test thread, a character a
// driver wrote to a transmitter. A board runs only up to its own earliest event, looked at under
// its lock, and the step ends there, so that the interrupt it raises is delivered before the lines
// go on (run past it, a burst of characters would overrun a FIFO that nobody was asked to empty).
// Returns where the step ends.
uint64_t RunLines(const std::vector<std::shared_ptr<Board>>& boards, uint64_t now, uint64_t next)
{
    uint64_t reached = StepEnd(now, next);
    for (const auto& b : boards) {
        std::lock_guard<HkMutex> lock(b->Mu);
        const uint64_t own = StepEnd(now, std::min(next, BoardNextEvent(*b)));
        BoardRunLines(*b, own);
        reached = std::min(reached, own);
    }
    return reached;
}

// Delivers asserted lines; returns true if any line is still asserted and not backing off.
bool DeliverLines(const std::vector<std::shared_ptr<Board>>& boards)
{
    bool busy = false;
    auto now = std::chrono::steady_clock::now();
    for (const auto& b : boards) {
        for (unsigned round = 0; round < DeliveriesPerRound; ++round) {
            ULONG vector;
            uint64_t elsewhere;
            {
                std::lock_guard<HkMutex> lock(b->Mu);
                if (!(BoardPowered(*b) && b->HasVector && BoardStatus(*b) != 0) ||
                    now < b->BackoffUntil) {
                    break;
                }
                vector = b->Vector;
                ++b->Deliveries;
                elsewhere = b->Accesses.Elsewhere.Total();
            }
            Delivering = true;
            bool claimed = HkDeliverInterrupt(vector);
            Delivering = false;
            std::lock_guard<HkMutex> lock(b->Mu);
            if (claimed) {
                ++b->Claimed;
                b->BackoffMs = 0;
                busy = true;
                continue;
            }
            ++b->Unclaimed;
            if (BoardStatus(*b) == 0) {
                // The cause went away before a routine looked (another thread serviced it in
                // between): the line has dropped, nothing storms, and the next cause is taken
                // at once. Backing off here would leave the lines unserviced for wall time that
                // a stopped or fast clock turns into overruns.
                break;
            }
            if (b->Accesses.Elsewhere.Total() != elsewhere) {
                // Another thread wrote the registers while the routines ran (a driver enabling
                // its UART's interrupts under the interrupt's lock): the cause is new, not one
                // that nobody services. Delivered again at once, as the line would be.
                continue;
            }
            b->BackoffMs = b->BackoffMs ? std::min(b->BackoffMs * 2, MaxBackoffMs) : 1;
            b->BackoffUntil = now + std::chrono::milliseconds(b->BackoffMs);
            break;
        }
    }
    return busy;
}

// What happens at the current time: characters cross the cables, interrupts are taken, and the
// DPCs they queue run.
void Settle(const std::vector<std::shared_ptr<Board>>& boards)
{
    DeliverCables(boards);
    DeliverLines(boards);
    HkWaitDpcsIdle();
    DeliverCables(boards);
}

// Moves everything to the line time `target`, event by event.
void Step(const std::vector<std::shared_ptr<Board>>& boards, uint64_t target)
{
    Settle(boards);
    for (;;) {
        const uint64_t now = LineNow();
        if (now >= target) {
            return;
        }
        const uint64_t next = RunLines(boards, now, std::min(target, NextEvent(boards)));
        DeliverCables(boards);
        HkAdvanceClock(static_cast<LONGLONG>(next / 100) - HkNow());
        Settle(boards);
    }
}

void HardwareMain()
{
    Machine& m = M();
    auto anchorWall = std::chrono::steady_clock::now();
    uint64_t anchorLine = LineNow();
    unsigned long long seen = 0;
    for (;;) {
        double scale;
        bool advance;
        uint64_t advanceTo;
        auto boards = Snapshot();
        const uint64_t next = NextEvent(boards);
        {
            std::unique_lock<HkMutex> lock(HwMu);
            // Sleep until the next event is due in wall time, or something changes.
            auto wait = std::chrono::microseconds(1000);
            if (m.Scale > 0 && next != Never) {
                const double ahead = (static_cast<double>(next) - static_cast<double>(anchorLine)) /
                                     m.Scale / 1000.0;
                auto due = anchorWall + std::chrono::microseconds(static_cast<long long>(ahead));
                wait = std::chrono::duration_cast<std::chrono::microseconds>(
                    due - std::chrono::steady_clock::now());
                wait = std::max(wait, std::chrono::microseconds(0));
                wait = std::min(wait, std::chrono::microseconds(1000));
            }
            m.HardwareCv.wait_for(lock, wait, [&] {
                return m.HardwareStop || m.Kicks != seen || m.AdvanceRequested;
            });
            if (m.HardwareStop) {
                return;
            }
            seen = m.Kicks;
            scale = m.Scale;
            advance = m.AdvanceRequested;
            advanceTo = m.AdvanceTarget;
        }
        boards = Snapshot();
        if (advance) {
            Step(boards, advanceTo);
            {
                std::lock_guard<HkMutex> lock(HwMu);
                m.AdvanceRequested = false;
            }
            m.HardwareCv.notify_all();
            anchorWall = std::chrono::steady_clock::now();
            anchorLine = LineNow();
            continue;
        }
        if (scale <= 0) {
            Settle(boards); // the clock stands: only what happens now
            anchorWall = std::chrono::steady_clock::now();
            anchorLine = LineNow();
            continue;
        }
        const auto wall = std::chrono::steady_clock::now();
        const double elapsedNs =
            static_cast<double>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(wall - anchorWall).count()) *
            scale;
        uint64_t target = anchorLine + static_cast<uint64_t>(elapsedNs);
        const uint64_t now = LineNow();
        if (target > now + MaxLagNs) {
            // Time the host kept this thread from is dropped, not caught up at once.
            target = now + MaxLagNs;
            anchorWall = wall;
            anchorLine = target;
        }
        Step(boards, target);
    }
}

void CompleterMain()
{
    Machine& m = M();
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<HkMutex> lock(m.Mu);
            // While completions are held, only those pending by forced pending alone go on.
            auto next = [&] {
                return std::find_if(m.Completions.begin(), m.Completions.end(),
                                    [&](const Machine::Completion& c) {
                                        return !m.CompletionsHeld || !c.Holdable;
                                    });
            };
            m.CompleterCv.wait(lock,
                               [&] { return m.CompleterStop || next() != m.Completions.end(); });
            if (m.Completions.empty()) {
                return; // stopping with nothing left
            }
            auto it = m.CompleterStop ? m.Completions.begin() : next();
            work = std::move(it->Work);
            m.Completions.erase(it);
        }
        // Let the dispatch routine that answered STATUS_PENDING return first, most of the time.
        if (m.ForcedPending) {
            ForcedPendingDelay();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        work();
    }
}

// The port driver double's requests under forced pending: each is handled here, at
// PASSIVE_LEVEL, after a short random delay. Drains its queue before it stops.
void DeferrerMain()
{
    Machine& m = M();
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<HkMutex> lock(m.Mu);
            m.DeferrerCv.wait(lock, [&] { return m.DeferrerStop || !m.Deferred.empty(); });
            if (m.Deferred.empty()) {
                return;
            }
            work = std::move(m.Deferred.front());
            m.Deferred.pop_front();
        }
        ForcedPendingDelay();
        work();
    }
}

void WorkerMain()
{
    Machine& m = M();
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock<HkMutex> lock(m.Mu);
            m.WorkCv.wait(lock, [&] { return m.WorkerStop || !m.Work.empty(); });
            if (m.WorkerStop) {
                return;
            }
            work = std::move(m.Work.front());
            m.Work.pop_front();
            m.WorkerBusy = true;
        }
        work();
        {
            std::lock_guard<HkMutex> lock(m.Mu);
            m.WorkerBusy = false;
        }
        m.WorkCv.notify_all();
    }
}

thread_local bool IsWorker = false;

} // namespace

bool DeliveringInterrupt()
{
    return Delivering;
}

uint64_t PortAccessTime()
{
    const uint64_t now = LineNow();
    const uint64_t cost = AccessNs.load();
    if (cost == 0) {
        return now;
    }
    uint64_t free = ProcessorFree.load();
    uint64_t start;
    do {
        start = std::max(now, free);
    } while (!ProcessorFree.compare_exchange_weak(free, start + cost));
    return start;
}

void ResetProcessor()
{
    AccessNs = 0;
    ProcessorFree = 0;
}

void KickHardware()
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(HwMu);
        ++m.Kicks;
    }
    m.HardwareCv.notify_one();
}

void PostCompletion(std::function<void()> work, bool holdable)
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.Completions.push_back(Machine::Completion{holdable, std::move(work)});
    }
    m.CompleterCv.notify_one();
}

void PostDeferred(std::function<void()> work)
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.Deferred.push_back(std::move(work));
    }
    m.DeferrerCv.notify_one();
}

void ForcedPendingDelay()
{
    static std::mutex randomMu;
    static std::minstd_rand random(0x5EED);
    unsigned us;
    {
        std::lock_guard<std::mutex> lock(randomMu);
        us = static_cast<unsigned>(random() % 1000);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

bool OnWorker()
{
    return IsWorker;
}

void PostToWorker(std::function<void()> work)
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.Work.push_back(std::move(work));
    }
    m.WorkCv.notify_all();
}

void RunOnWorker(const std::function<void()>& work)
{
    if (OnWorker()) {
        work();
        return;
    }
    StartThreads();
    HkMutex doneMu{"machine lock (hardware step)"};
    std::condition_variable_any doneCv;
    bool done = false;
    PostToWorker([&] {
        work();
        std::lock_guard<HkMutex> lock(doneMu);
        done = true;
        doneCv.notify_all();
    });
    std::unique_lock<HkMutex> lock(doneMu);
    doneCv.wait(lock, [&] { return done; });
}

void StartThreads()
{
    Machine& m = M();
    {
        // From its first step on the hardware thread moves the kernel's clock.
        std::lock_guard<HkMutex> lock(m.Mu);
        if (!m.Hardware.joinable()) {
            HkSetClockDriven(true);
        }
    }
    std::lock_guard<HkMutex> lock(m.Mu);
    if (!m.Worker.joinable()) {
        m.WorkerStop = false;
        m.Worker = std::thread([] {
            IsWorker = true;
            WorkerMain();
        });
    }
    if (!m.Completer.joinable()) {
        m.CompleterStop = false;
        m.Completer = std::thread(CompleterMain);
    }
    if (!m.Deferrer.joinable()) {
        m.DeferrerStop = false;
        m.Deferrer = std::thread(DeferrerMain);
    }
    if (!m.Hardware.joinable()) {
        {
            std::lock_guard<HkMutex> hw(HwMu);
            m.HardwareStop = false;
        }
        m.Hardware = std::thread(HardwareMain);
    }
}

// The worker's last request may still wait for deferred work or a completion, and deferred work
// may wait for a completion: the worker stops first, then the deferred-work thread, then the
// completion thread, each finishing what is queued for it.
void StopThreadsOf(Machine& m)
{
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.WorkerStop = true;
        m.CompletionsHeld = false; // stopping releases held completions
    }
    m.CompleterCv.notify_all();
    {
        std::lock_guard<HkMutex> lock(HwMu);
        m.HardwareStop = true;
    }
    m.WorkCv.notify_all();
    m.HardwareCv.notify_all();
    if (m.Worker.joinable()) {
        m.Worker.join();
    }
    if (m.Hardware.joinable()) {
        m.Hardware.join();
        HkSetClockDriven(false);
    }
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.DeferrerStop = true;
    }
    m.DeferrerCv.notify_all();
    if (m.Deferrer.joinable()) {
        m.Deferrer.join();
    }
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.CompleterStop = true;
    }
    m.CompleterCv.notify_all();
    if (m.Completer.joinable()) {
        m.Completer.join(); // finishes the completions still queued
    }
    std::lock_guard<HkMutex> lock(m.Mu);
    m.Work.clear();
    m.Completions.clear();
    m.Deferred.clear();
}

void StopThreads()
{
    StopThreadsOf(M());
}

Machine::~Machine()
{
    StopThreadsOf(*this);
}

} // namespace hm

using namespace hm;

void HmHoldBusCompletions(bool hold)
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.CompletionsHeld = hold;
    }
    m.CompleterCv.notify_all();
}

void HmSetTimeScale(double scale)
{
    {
        std::lock_guard<HkMutex> lock(HwMu);
        M().Scale = scale < 0 ? 0 : scale;
    }
    KickHardware();
    bool running;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        running = M().Hardware.joinable();
    }
    // A step the hardware thread is taking at the old pace ends before this returns: a test
    // that stops the clock and then reads it must find it standing.
    if (running) {
        HmAdvanceTime(0);
    }
}

void HmSetPortAccessNs(unsigned ns)
{
    AccessNs = ns;
}

uint64_t HmProcessorFreeAt()
{
    return std::max(ProcessorFree.load(), LineNow());
}

void HmSetTickMicroseconds(unsigned us)
{
    HmSetTimeScale(us ? 1000.0 / us : 0);
}

void HmAdvanceTime(LONGLONG units)
{
    StartThreads();
    Machine& m = M();
    std::unique_lock<HkMutex> lock(HwMu);
    m.AdvanceTarget = LineNow() + static_cast<uint64_t>(units > 0 ? units : 0) * 100;
    m.AdvanceRequested = true;
    m.HardwareCv.notify_all();
    m.HardwareCv.wait(lock, [&] { return !m.AdvanceRequested || m.HardwareStop; });
}

void HmTick(unsigned ticks)
{
    HmAdvanceTime(static_cast<LONGLONG>(ticks) * static_cast<LONGLONG>(ModelTickNs / 100));
}
