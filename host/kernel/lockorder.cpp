// Lock-order checking, in the manner of Driver Verifier's deadlock detection: every acquisition of
// a mutex, a spin lock, an interrupt lock (by delivery or by KeSynchronizeExecution) or a lock of
// the simulated machine records "taken while holding" edges between lock classes. Taking B while
// holding A when B was earlier seen held while A was taken (directly or through other locks) is an
// inversion: two threads doing the two orders at once deadlock. It is reported the first time it is
// seen, whether or not a hang follows.
//
// A class is one lock object, from its initialisation until it is initialised again or the memory
// holding it is freed (as the verifier forgets resources in freed pool). Classes by initialisation
// site would merge the per-adapter mutexes of several adapters into one class and report an
// adapter's mutex taken while another adapter's is held, which is no deadlock.
//
// Edges already known to a thread are cached in that thread, so that after the first rounds a lock
// operation touches no shared state: the checker's own lock would otherwise order every lock
// operation of every thread and hide races from ThreadSanitizer.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace hk {
namespace {

struct LockClass {
    const void* Address;
    std::string Kind;
};

// Shared state, under Lock. Never destroyed: machine locks with static storage duration are made
// and destroyed around it, and the reset at exit runs after static destructors began.
struct OrderState {
    std::mutex Lock;
    std::map<const void*, uint64_t> Live;            // lock address -> its current class
    std::unordered_map<uint64_t, LockClass> Classes; // every class since the last reset
    std::unordered_map<uint64_t, std::unordered_set<uint64_t>> After; // A -> taken holding A
    std::set<std::pair<uint64_t, uint64_t>> Reported;
    uint64_t NextClass = 1;
};

OrderState& S()
{
    static OrderState* state = new OrderState;
    return *state;
}

// Bumped whenever a class ends (re-initialisation, freed memory, reset): threads drop their caches.
std::atomic<uint64_t> Generation{0};

thread_local bool ThreadOrderGone = false; // the thread is exiting: nothing is tracked any more

struct ThreadOrder {
    std::vector<uint64_t> Held; // in acquisition order
    uint64_t Generation = ~0ull;
    std::unordered_map<const void*, uint64_t> ClassOf;
    std::set<std::pair<uint64_t, uint64_t>> KnownEdges;
    ~ThreadOrder() { ThreadOrderGone = true; }
};

ThreadOrder* Mine()
{
    if (ThreadOrderGone) {
        return nullptr;
    }
    static thread_local ThreadOrder order;
    uint64_t now = Generation.load(std::memory_order_relaxed);
    if (order.Generation != now) {
        order.Generation = now;
        order.ClassOf.clear();
        order.KnownEdges.clear();
    }
    return &order;
}

// Under S().Lock.
uint64_t ClassLocked(const void* lock, const char* kind)
{
    auto it = S().Live.find(lock);
    if (it != S().Live.end()) {
        return it->second;
    }
    uint64_t id = S().NextClass++;
    S().Live.emplace(lock, id);
    S().Classes.emplace(id, LockClass{lock, kind});
    return id;
}

// Under S().Lock: true when `to` is reachable from `from` along recorded edges.
bool Reaches(uint64_t from, uint64_t to)
{
    std::vector<uint64_t> todo{from};
    std::unordered_set<uint64_t> seen{from};
    while (!todo.empty()) {
        uint64_t at = todo.back();
        todo.pop_back();
        if (at == to) {
            return true;
        }
        auto edges = S().After.find(at);
        if (edges == S().After.end()) {
            continue;
        }
        for (uint64_t next : edges->second) {
            if (seen.insert(next).second) {
                todo.push_back(next);
            }
        }
    }
    return false;
}

std::string Describe(uint64_t id)
{
    const LockClass& c = S().Classes.at(id);
    return Format("%s %p", c.Kind.c_str(), c.Address);
}

void ForgetLocked(const void* begin, size_t size)
{
    const char* start = static_cast<const char*>(begin);
    auto it = S().Live.lower_bound(begin);
    bool any = false;
    while (it != S().Live.end() && static_cast<const char*>(it->first) < start + size) {
        it = S().Live.erase(it);
        any = true;
    }
    if (any) {
        Generation.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

void OrderBeforeAcquire(const void* lock, const char* kind, bool waits)
{
    ThreadOrder* mine = Mine();
    if (mine == nullptr) {
        return;
    }
    ThreadOrder& me = *mine;
    uint64_t id;
    auto cached = me.ClassOf.find(lock);
    bool allKnown = cached != me.ClassOf.end();
    if (allKnown) {
        id = cached->second;
        for (uint64_t held : me.Held) {
            if (held != id && !me.KnownEdges.count({held, id})) {
                allKnown = false;
                break;
            }
        }
        if (allKnown || !waits) {
            return;
        }
    }
    std::vector<std::string> inversions;
    {
        std::lock_guard<std::mutex> guard(S().Lock);
        id = ClassLocked(lock, kind);
        me.ClassOf[lock] = id;
        if (!waits) {
            // A try-acquisition cannot deadlock; what is taken while it is held still counts.
            return;
        }
        for (uint64_t held : me.Held) {
            if (held == id || me.KnownEdges.count({held, id})) {
                continue;
            }
            if (S().After[held].count(id) != 0) {
                me.KnownEdges.insert({held, id});
                continue;
            }
            if (Reaches(id, held)) {
                if (S().Reported.insert({std::min(held, id), std::max(held, id)}).second) {
                    inversions.push_back(Format(
                        "lock order inversion: %s is taken while %s is held, and elsewhere %s "
                        "was held while %s was taken (directly or through other locks); two "
                        "threads taking them at once deadlock",
                        Describe(id).c_str(), Describe(held).c_str(), Describe(id).c_str(),
                        Describe(held).c_str()));
                }
                continue; // keep the graph free of cycles so that every inversion is seen
            }
            S().After[held].insert(id);
            me.KnownEdges.insert({held, id});
        }
    }
    for (const std::string& text : inversions) {
        Report("%s", text.c_str());
    }
}

void OrderAcquired(const void* lock)
{
    ThreadOrder* mine = Mine();
    if (mine == nullptr) {
        return;
    }
    ThreadOrder& me = *mine;
    auto cached = me.ClassOf.find(lock);
    if (cached != me.ClassOf.end()) {
        me.Held.push_back(cached->second);
        return;
    }
    // Not seen by this thread before (a try-acquisition raced with a cache flush): look it up.
    std::lock_guard<std::mutex> guard(S().Lock);
    auto it = S().Live.find(lock);
    if (it != S().Live.end()) {
        me.Held.push_back(it->second);
    }
}

void OrderReleased(const void* lock)
{
    ThreadOrder* mine = Mine();
    if (mine == nullptr) {
        return;
    }
    ThreadOrder& me = *mine;
    uint64_t id = 0;
    auto cached = me.ClassOf.find(lock);
    if (cached != me.ClassOf.end()) {
        id = cached->second;
    } else {
        std::lock_guard<std::mutex> guard(S().Lock);
        auto it = S().Live.find(lock);
        if (it == S().Live.end()) {
            return;
        }
        id = it->second;
    }
    // Locks need not be released in the reverse order of taking them.
    for (auto it = me.Held.rbegin(); it != me.Held.rend(); ++it) {
        if (*it == id) {
            me.Held.erase(std::next(it).base());
            return;
        }
    }
}

void OrderForget(const void* begin, size_t size)
{
    std::lock_guard<std::mutex> guard(S().Lock);
    ForgetLocked(begin, size);
}

void ResetLockOrder()
{
    std::lock_guard<std::mutex> guard(S().Lock);
    S().Live.clear();
    S().Classes.clear();
    S().After.clear();
    S().Reported.clear();
    Generation.fetch_add(1, std::memory_order_relaxed);
    if (ThreadOrder* me = Mine()) {
        me->Held.clear();
    }
}

} // namespace hk

using namespace hk;

HkMutex::HkMutex(const char* kind) : Kind(kind)
{
    OrderForget(this, sizeof(*this));
}

HkMutex::~HkMutex()
{
    OrderForget(this, sizeof(*this));
}

void HkMutex::lock()
{
    OrderBeforeAcquire(this, Kind, true);
    Mutex.lock();
    OrderAcquired(this);
}

bool HkMutex::try_lock()
{
    OrderBeforeAcquire(this, Kind, false);
    if (!Mutex.try_lock()) {
        return false;
    }
    OrderAcquired(this);
    return true;
}

void HkMutex::unlock()
{
    OrderReleased(this);
    Mutex.unlock();
}
