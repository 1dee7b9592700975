// The stand-in's verifier: every misuse of the platform that Windows would bug-check on (or that
// Driver Verifier flags) becomes one readable violation. Also the stand-in's life cycle (reset and
// the end-of-test checks) and fault injection.
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace hk {
namespace {

std::mutex VerifierLock;
std::vector<HkViolation> Violations;
std::function<void(const HkViolation&)> Handler;

struct FaultState {
    unsigned Calls = 0;
    unsigned FailAt = 0; // 0: not armed
    bool AndAfter = false;
};
constexpr int FaultKinds = static_cast<int>(HkFault::DeviceInterface) + 1;
FaultState Faults[FaultKinds];

std::string VFormat(const char* format, va_list args)
{
    char buffer[1024];
    vsnprintf(buffer, sizeof(buffer), format, args);
    return buffer;
}

} // namespace

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

void Report(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HkViolation violation{VFormat(format, args)};
    va_end(args);
    std::function<void(const HkViolation&)> handler;
    {
        std::lock_guard<std::mutex> guard(VerifierLock);
        Violations.push_back(violation);
        handler = Handler;
    }
    if (handler) {
        handler(violation);
    } else {
        fprintf(stderr, "kernel verifier: %s\n", violation.What.c_str());
    }
}

void CheckIrqlAtMost(KIRQL highest, const char* routine)
{
    KIRQL irql = CurrentThread().Irql;
    if (irql > highest) {
        Report("%s at IRQL %d", routine, irql);
    }
}

bool ShouldFail(HkFault kind)
{
    if (CurrentThread().PlatformCalls > 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(VerifierLock);
    FaultState& fault = Faults[static_cast<int>(kind)];
    ++fault.Calls;
    if (fault.FailAt == 0) {
        return false;
    }
    return fault.Calls == fault.FailAt || (fault.AndAfter && fault.Calls > fault.FailAt);
}

ThreadState& CurrentThread()
{
    static thread_local ThreadState state;
    return state;
}

const char* MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE:
        return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
        return "IRP_MJ_CLOSE";
    case IRP_MJ_READ:
        return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
        return "IRP_MJ_WRITE";
    case IRP_MJ_QUERY_INFORMATION:
        return "IRP_MJ_QUERY_INFORMATION";
    case IRP_MJ_SET_INFORMATION:
        return "IRP_MJ_SET_INFORMATION";
    case IRP_MJ_FLUSH_BUFFERS:
        return "IRP_MJ_FLUSH_BUFFERS";
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        return "IRP_MJ_QUERY_VOLUME_INFORMATION";
    case IRP_MJ_DEVICE_CONTROL:
        return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP:
        return "IRP_MJ_CLEANUP";
    case IRP_MJ_POWER:
        return "IRP_MJ_POWER";
    case IRP_MJ_SYSTEM_CONTROL:
        return "IRP_MJ_SYSTEM_CONTROL";
    case IRP_MJ_PNP:
        return "IRP_MJ_PNP";
    default:
        return "IRP_MJ_?";
    }
}

void MemoryFreed(const void* p, size_t size, const char* what)
{
    DpcsFreed(p, size, what);
    TimersFreed(p, size, what);
    RemoveLocksFreed(p, size);
}

unsigned WaitLimitMilliseconds()
{
    static unsigned limit = [] {
        const char* text = getenv("HK_WAIT_LIMIT_MS");
        return text ? static_cast<unsigned>(strtoul(text, nullptr, 10)) : 30000u;
    }();
    return limit;
}

} // namespace hk

using namespace hk;

std::vector<HkViolation> HkViolations()
{
    std::lock_guard<std::mutex> guard(VerifierLock);
    return Violations;
}

void HkSetViolationHandler(std::function<void(const HkViolation&)> handler)
{
    std::lock_guard<std::mutex> guard(VerifierLock);
    Handler = std::move(handler);
}

void HkFailNth(HkFault kind, unsigned n, bool andAfter)
{
    std::lock_guard<std::mutex> guard(VerifierLock);
    FaultState& fault = Faults[static_cast<int>(kind)];
    fault.Calls = 0;
    fault.FailAt = n;
    fault.AndAfter = andAfter;
}

void HkClearFaults()
{
    std::lock_guard<std::mutex> guard(VerifierLock);
    for (FaultState& fault : Faults) {
        fault.FailAt = 0;
        fault.AndAfter = false;
    }
}

HkPlatformCalls::HkPlatformCalls()
{
    ++CurrentThread().PlatformCalls;
}

HkPlatformCalls::~HkPlatformCalls()
{
    --CurrentThread().PlatformCalls;
}

unsigned HkCallCount(HkFault kind)
{
    std::lock_guard<std::mutex> guard(VerifierLock);
    return Faults[static_cast<int>(kind)].Calls;
}

void HkReset()
{
    // The stand-in frees a test's objects at the next reset. Reset once more when the process
    // exits, so that the last test's objects are not reported as leaks by LeakSanitizer (its own
    // exit check was registered first and so runs after this one).
    static const bool resetAtExit = [] {
        std::atexit([] { HkReset(); });
        return true;
    }();
    (void)resetAtExit;

    // Threads first: a power request, a forced-pending request, a timer, a DPC or a close still on
    // its way must not run into freed objects.
    ResetPower();
    ResetWorkItems();
    JoinForwarders();
    HkForcePendingBelow(nullptr);
    ResetClock();
    ResetDpcs();
    ResetFiles();
    ResetCancel();
    ResetRemoveLocks();
    ResetNames();
    ResetRegistry();
    ResetWmi();
    ResetInterrupts();
    ResetIo();
    ResetErrorLog();
    ResetPortIo();
    ResetDispatcher();
    ResetPool();
    ResetLockOrder();
    {
        std::lock_guard<std::mutex> guard(VerifierLock);
        Violations.clear();
        for (FaultState& fault : Faults) {
            fault = FaultState{};
        }
    }
    ThreadState& thread = CurrentThread();
    thread.Irql = PASSIVE_LEVEL;
    thread.OwnedMutexes = 0;
    thread.SpinLocksHeld = 0;
}

bool HkCheckClean()
{
    bool clean = true;
    CheckCleanPower(clean);
    CheckCleanWorkItems(clean);
    JoinForwarders();
    CheckCleanFiles(clean); // lets the closes on their way finish first
    CheckCleanIo(clean);
    CheckCleanPool(clean);
    CheckCleanDispatcher(clean);
    CheckCleanErrorLog(clean);
    CheckCleanInterrupts(clean);
    CheckCleanClock(clean);
    CheckCleanDpcs(clean);
    CheckCleanNames(clean);
    CheckCleanRegistry(clean);
    if (HkCurrentIrql() != PASSIVE_LEVEL) {
        Report("the test thread ends at IRQL %d instead of PASSIVE_LEVEL", HkCurrentIrql());
        clean = false;
    }
    return clean;
}

unsigned HkWaitLimitMs()
{
    return WaitLimitMilliseconds();
}

KIRQL HkCurrentIrql()
{
    return CurrentThread().Irql;
}

extern "C" void HkAssertionFailed(const char* Expression, const char* File, int Line)
{
    Report("assertion failed: %s (%s:%d)", Expression, File, Line);
}

extern "C" void HkPagedCodeCheck(const char* Function)
{
    if (CurrentThread().Irql > APC_LEVEL) {
        Report("pageable code %s runs at IRQL %d (above APC_LEVEL)", Function,
               CurrentThread().Irql);
    }
}

extern "C" void HkListEntryCorrupt(void)
{
    Report("corrupted LIST_ENTRY: a neighbour's link does not point back at the entry");
}
