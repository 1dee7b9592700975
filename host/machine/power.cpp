// The power manager: system power transitions sent to the device stacks the way Windows sends
// them. Going to sleep, children are asked and told before their parent (a parent must not
// power down under a child that is still working); waking, the parent comes first. Device power
// requests are the policy owners' business (PoRequestPowerIrp of the stand-in).
#include "internal.h"

namespace hm {
namespace {

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state)
{
    switch (state) {
    case PowerSystemWorking:
        return PowerActionNone;
    case PowerSystemHibernate:
        return PowerActionHibernate;
    case PowerSystemShutdown:
        return PowerActionShutdownOff;
    default:
        return PowerActionSleep;
    }
}

std::string StateText(POWER_STATE_TYPE type, POWER_STATE state)
{
    if (type == SystemPowerState) {
        return "S" + std::to_string(static_cast<int>(state.SystemState) - 1);
    }
    return "D" + std::to_string(static_cast<int>(state.DeviceState) - 1);
}

HmIrpResult Power(PDEVICE_OBJECT pdo, const std::string& name, UCHAR minor, POWER_STATE_TYPE type,
                  POWER_STATE state)
{
    TraceMark mark = OpenTrace("power -> " + name + ": " + HmPowerMinorName(minor) + " " +
                               StateText(type, state));
    PDEVICE_OBJECT top = TopOf(pdo);
    HmIrpResult r = SendIrp(top, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.SystemContext = 0;
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType =
            type == SystemPowerState ? ActionFor(state.SystemState) : PowerActionNone;
    });
    ObDereferenceObject(top);
    CloseTrace(mark, " = " + HmStatusName(r.Status));
    std::lock_guard<HkMutex> lock(M().Mu);
    M().PowerLog.push_back(HmPowerRecord{pdo, minor, type, state, r.Status});
    return r;
}

// Stacks that take part: adapters with a function driver, and their started port stacks.
std::vector<Node*> Participants(bool childrenFirst)
{
    std::vector<Node*> adapters;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        for (auto& entry : M().Nodes) {
            Node& n = entry.second;
            if (n.IsAdapter && n.FunctionDriver &&
                (n.State == HmNodeState::Started || n.State == HmNodeState::Stopped)) {
                adapters.push_back(&n);
            }
        }
    }
    std::vector<Node*> order;
    for (Node* a : adapters) {
        if (!childrenFirst) {
            order.push_back(a);
        }
        for (Node* c : NodeChildren(*a)) {
            if (c->State == HmNodeState::Started) {
                order.push_back(c);
            }
        }
        if (childrenFirst) {
            order.push_back(a);
        }
    }
    return order;
}

} // namespace
} // namespace hm

using namespace hm;

NTSTATUS HmSetSystemPower(SYSTEM_POWER_STATE target)
{
    NTSTATUS status = STATUS_SUCCESS;
    RunOnWorker([&] {
        POWER_STATE state;
        state.SystemState = target;
        if (target == PowerSystemWorking) {
            for (Node* n : Participants(false)) {
                Power(n->Pdo, n->Name, IRP_MN_SET_POWER, SystemPowerState, state);
            }
            std::lock_guard<HkMutex> lock(M().Mu);
            M().SystemState = target;
            return;
        }
        std::vector<Node*> order = Participants(true);
        std::vector<Node*> agreed;
        for (Node* n : order) {
            NTSTATUS s = Power(n->Pdo, n->Name, IRP_MN_QUERY_POWER, SystemPowerState, state).Status;
            if (!NT_SUCCESS(s)) {
                status = s;
                break;
            }
            agreed.push_back(n);
        }
        if (!NT_SUCCESS(status)) {
            // A refused query: the stacks that agreed are told the system stays working.
            POWER_STATE working;
            working.SystemState = PowerSystemWorking;
            for (Node* n : agreed) {
                Power(n->Pdo, n->Name, IRP_MN_SET_POWER, SystemPowerState, working);
            }
            return;
        }
        for (Node* n : order) {
            NTSTATUS s = Power(n->Pdo, n->Name, IRP_MN_SET_POWER, SystemPowerState, state).Status;
            if (!NT_SUCCESS(s) && NT_SUCCESS(status)) {
                status = s;
            }
        }
        std::lock_guard<HkMutex> lock(M().Mu);
        M().SystemState = target;
    });
    return status;
}

HmIrpResult HmSendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                        POWER_STATE state)
{
    HmIrpResult r{STATUS_NO_SUCH_DEVICE, 0};
    RunOnWorker([&] { r = Power(device, HmDeviceName(device), minor, type, state); });
    return r;
}

std::vector<HmPowerRecord> HmPowerLog()
{
    std::lock_guard<HkMutex> lock(M().Mu);
    return M().PowerLog;
}

SYSTEM_POWER_STATE HmSystemPowerState()
{
    std::lock_guard<HkMutex> lock(M().Mu);
    return M().SystemState;
}
