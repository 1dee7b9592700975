// Life of the simulated machine: its one state object, reset, orderly end of a test, the trace.
#include "internal.h"

#include <cstdlib>
#include <cstring>

namespace hm {

void ForgetSerialPorts();

Machine& M()
{
    static Machine machine;
    return machine;
}

void AddTrace(const std::string& line)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    M().Trace.push_back(line);
}

TraceMark OpenTrace(const std::string& head)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    M().Trace.push_back(head);
    return TraceMark{M().TraceGeneration, M().Trace.size() - 1};
}

void CloseTrace(const TraceMark& mark, const std::string& tail)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    if (mark.Generation == M().TraceGeneration && mark.Index < M().Trace.size()) {
        M().Trace[mark.Index] += tail;
    }
}

} // namespace hm

using namespace hm;

void HmReset()
{
    StopThreads();
    HkReset();
    ForgetSerialPorts();
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        m.Nodes.clear();
        m.Boards.clear();
        m.PciDriver = nullptr;
        m.SerialDriver = nullptr;
        m.Options = HmPnpOptions{};
        m.Trace.clear();
        ++m.TraceGeneration;
        m.PowerLog.clear();
        m.SystemState = PowerSystemWorking;
        m.Invalidated.clear();
        m.AwaitingRemoval.clear();
        m.ComNumbersTaken.clear();
        m.AdvanceRequested = false;
        m.NextSoftwareKey = 0;
    }
    const char* forced = getenv("HM_FORCE_PENDING");
    m.ForcedPending = forced != nullptr && *forced != 0 && strcmp(forced, "0") != 0;
    HmSetTickMicroseconds(1000);
    ResetProcessor();
    InstallHooks();
}

void HmSetForcedPending(bool on)
{
    M().ForcedPending = on;
}

bool HmForcedPending()
{
    return M().ForcedPending;
}

void HmUnplugAll()
{
    // A system power transition returns once the device requests it caused have completed; the
    // threads that carried them may still be unwinding (and freeing their IRPs) in the drivers.
    HkWaitPowerRequests();
    Machine& m = M();
    std::vector<PDEVICE_OBJECT> adapters;
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        for (auto& entry : m.Nodes) {
            if (entry.second.IsAdapter) {
                adapters.push_back(entry.first);
            }
        }
    }
    for (PDEVICE_OBJECT pdo : adapters) {
        HmUnplugAdapter(pdo);
    }
    HmWaitPnpIdle();
    StopThreads();
    PDRIVER_OBJECT serial;
    PDRIVER_OBJECT pci;
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        serial = m.SerialDriver;
        pci = m.PciDriver;
        m.SerialDriver = nullptr;
        m.PciDriver = nullptr;
    }
    if (serial) {
        HkUnloadDriver(serial);
    }
    if (pci) {
        HkUnloadDriver(pci);
    }
}

bool HmWaitUntil(const std::function<bool()>& pred, unsigned timeoutMs)
{
    if (timeoutMs == 0) {
        timeoutMs = HkWaitLimitMs();
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

std::vector<std::string> HmTrace()
{
    std::lock_guard<HkMutex> lock(M().Mu);
    return M().Trace;
}

void HmClearTrace()
{
    std::lock_guard<HkMutex> lock(M().Mu);
    M().Trace.clear();
    ++M().TraceGeneration;
}
