// The machine's hardware threads: the clock that moves characters along the serial lines, the
// level-sensitive interrupt lines of the adapters, and the bus driver's deferred completions.
//
// An adapter's line is asserted while its interrupt status register is non-zero. The hardware
// thread delivers it with HkDeliverInterrupt on the vector of the adapter's last start, again
// and again while some service routine claims it (as a level-triggered line re-enters the ISR
// while it stays asserted); when nobody claims it the thread backs off (1 ms, doubling up to
// 32 ms) instead of storming, and counts the unclaimed delivery.
#include "internal.h"

#include <algorithm>
#include <random>

namespace hm {
namespace {

HkMutex HwMu{"machine lock (hardware thread)"}; // guards the kick counter and the wait of the
                                                // hardware thread
constexpr unsigned MaxBackoffMs = 32;
// Clock ticks the thread catches up in one round. The simulated clock runs only while this thread
// does: after the host left it waiting (a loaded machine), the lines go on where they stopped
// instead of pouring out a burst of characters that no interrupt had a chance to take, which
// would overrun every FIFO (a real processor takes the interrupt as the characters arrive).
constexpr unsigned MaxCatchUpTicks = 2;
constexpr unsigned DeliveriesPerRound = 64; // a claimed line is delivered at most this often
                                            // before the clock gets its turn again

std::vector<std::shared_ptr<Board>> Snapshot()
{
    Machine& m = M();
    std::lock_guard<HkMutex> lock(m.Mu);
    return m.Boards;
}

void TickBoards(const std::vector<std::shared_ptr<Board>>& boards, unsigned ticks)
{
    for (const auto& b : boards) {
        std::lock_guard<HkMutex> lock(b->Mu);
        if (!b->Present || b->Power != PowerDeviceD0) {
            continue;
        }
        for (unsigned t = 0; t < ticks; ++t) {
            b->ClockNs += ModelTickNs;
            BoardRunLines(*b);
        }
    }
}

// Delivers asserted lines; returns true if any line is still asserted and not backing off.
bool DeliverLines(const std::vector<std::shared_ptr<Board>>& boards)
{
    bool busy = false;
    auto now = std::chrono::steady_clock::now();
    for (const auto& b : boards) {
        for (unsigned round = 0; round < DeliveriesPerRound; ++round) {
            ULONG vector;
            {
                std::lock_guard<HkMutex> lock(b->Mu);
                if (!(b->Present && b->Power == PowerDeviceD0 && b->HasVector &&
                      BoardStatus(*b) != 0) ||
                    now < b->BackoffUntil) {
                    break;
                }
                vector = b->Vector;
                ++b->Deliveries;
            }
            bool claimed = HkDeliverInterrupt(vector);
            std::lock_guard<HkMutex> lock(b->Mu);
            if (claimed) {
                ++b->Claimed;
                b->BackoffMs = 0;
                busy = true;
                continue;
            }
            ++b->Unclaimed;
            b->BackoffMs = b->BackoffMs ? std::min(b->BackoffMs * 2, MaxBackoffMs) : 1;
            b->BackoffUntil = now + std::chrono::milliseconds(b->BackoffMs);
            break;
        }
    }
    return busy;
}

void HardwareMain()
{
    Machine& m = M();
    auto lastTick = std::chrono::steady_clock::now();
    unsigned long long seen = 0;
    for (;;) {
        unsigned tickUs;
        {
            std::unique_lock<HkMutex> lock(HwMu);
            tickUs = m.TickUs;
            auto wait = std::chrono::microseconds(tickUs ? tickUs : 1000);
            m.HardwareCv.wait_for(lock, wait, [&] { return m.HardwareStop || m.Kicks != seen; });
            if (m.HardwareStop) {
                return;
            }
            seen = m.Kicks;
            tickUs = m.TickUs;
        }
        auto boards = Snapshot();
        auto now = std::chrono::steady_clock::now();
        if (tickUs) {
            auto elapsed =
                std::chrono::duration_cast<std::chrono::microseconds>(now - lastTick).count();
            unsigned ticks = static_cast<unsigned>(elapsed / tickUs);
            if (ticks > MaxCatchUpTicks) {
                // Time the thread spent kept from running by a busy host is dropped, not caught
                // up: the load slows the simulated lines down instead of overrunning their FIFOs.
                lastTick = now;
                ticks = MaxCatchUpTicks;
            } else {
                lastTick += std::chrono::microseconds(static_cast<long long>(ticks) * tickUs);
            }
            // One character time at a time, with the lines delivered in between.
            for (unsigned t = 0; t < ticks; ++t) {
                if (t != 0) {
                    DeliverLines(boards);
                }
                TickBoards(boards, 1);
            }
        } else {
            lastTick = now;
        }
        if (DeliverLines(boards)) {
            std::lock_guard<HkMutex> lock(HwMu);
            ++m.Kicks; // keep going without waiting while lines are being claimed
        }
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

void HmSetTickMicroseconds(unsigned us)
{
    {
        std::lock_guard<HkMutex> lock(HwMu);
        M().TickUs = us;
    }
    KickHardware();
}

void HmTick(unsigned ticks)
{
    TickBoards(Snapshot(), ticks);
    KickHardware();
}
