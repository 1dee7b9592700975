// The plug-and-play manager: a small one that drives the adapter stacks the way Windows does.
// Every request is built with IoAllocateIrp, preset to STATUS_NOT_SUPPORTED, sent from the worker
// thread at PASSIVE_LEVEL to the top of the target's stack, and waited for; what comes back
// (relations, IDs, texts) belongs to the manager, which frees it with ExFreePool.
//
// References: a bus driver references every device object it reports in bus relations. For a
// device the manager does not know yet it keeps that reference for the device node's life; for
// one it knows it drops the extra reference at once. A node's reference is dropped after its
// removal request.
//
// Device nodes are changed only on the worker thread, under the machine's lock; other threads
// read copies under that lock.
#include "internal.h"

#include <algorithm>
#include <cstring>

namespace hm {
namespace {

// How long the managers wait for one request before they report it as never completed.
constexpr int NeverCompletedSeconds = 30;

NTSTATUS SendDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

Node* Find(PDEVICE_OBJECT pdo)
{
    auto it = M().Nodes.find(pdo);
    return it == M().Nodes.end() ? nullptr : &it->second;
}

// The node's IRP, traced.
HmIrpResult Pnp(Node& n, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                const std::string& detail = "")
{
    TraceMark mark = OpenTrace("pnp -> " + n.Name + ": " + HmPnpMinorName(minor) +
                               (detail.empty() ? "" : " " + detail));
    PDEVICE_OBJECT top = TopOf(n.Pdo);
    HmIrpResult r = SendIrp(top, IRP_MJ_PNP, minor, fill);
    ObDereferenceObject(top);
    CloseTrace(mark, " = " + HmStatusName(r.Status));
    return r;
}

void SetState(Node& n, HmNodeState state, NTSTATUS status)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    n.State = state;
    n.LastStatus = status;
}

// The resource lists of a start request. The manager's own memory, not the driver pool: fault
// injection into the pool is meant for the drivers under test, not for the platform, and the
// drivers only read these lists. Each list is a block of exactly its size, so that a read past
// its end is caught by the address sanitizer.
struct StartLists {
    std::unique_ptr<UCHAR[]> Raw;
    std::unique_ptr<UCHAR[]> Translated;
};

std::unique_ptr<UCHAR[]> ListCopy(const HmResourceList& list)
{
    std::vector<UCHAR> bytes = HmBuildResourceList(list);
    std::unique_ptr<UCHAR[]> copy(new UCHAR[bytes.size()]);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

NTSTATUS StartStack(Node& n, const HmAssignment* assignment)
{
    StartLists lists;
    if (assignment && !assignment->NoRaw) {
        lists.Raw = ListCopy(assignment->Raw);
    }
    if (assignment && !assignment->NoTranslated) {
        lists.Translated = ListCopy(assignment->Translated);
    }
    HmIrpResult r = Pnp(n, IRP_MN_START_DEVICE, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.StartDevice.AllocatedResources =
            reinterpret_cast<PCM_RESOURCE_LIST>(lists.Raw.get());
        sp->Parameters.StartDevice.AllocatedResourcesTranslated =
            reinterpret_cast<PCM_RESOURCE_LIST>(lists.Translated.get());
    });
    return r.Status;
}

void QueryCapabilities(Node& n)
{
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    HmIrpResult r = Pnp(n, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(r.Status)) {
        std::lock_guard<HkMutex> lock(M().Mu);
        n.Info.HasCapabilities = true;
        n.Info.Capabilities = caps;
    }
}

void QueryDeviceState(Node& n)
{
    HmIrpResult r = Pnp(n, IRP_MN_QUERY_PNP_DEVICE_STATE);
    std::lock_guard<HkMutex> lock(M().Mu);
    n.Info.DeviceState = NT_SUCCESS(r.Status) ? static_cast<PNP_DEVICE_STATE>(r.Information) : 0;
}

void QueryIdentity(Node& n)
{
    static const BUS_QUERY_ID_TYPE order[] = {BusQueryDeviceID, BusQueryHardwareIDs,
                                              BusQueryInstanceID, BusQueryCompatibleIDs};
    for (BUS_QUERY_ID_TYPE type : order) {
        TraceMark mark = OpenTrace("pnp -> " + n.Name + ": IRP_MN_QUERY_ID " + IdTypeName(type));
        PDEVICE_OBJECT top = TopOf(n.Pdo);
        HmIrpResult r = SendIrp(top, IRP_MJ_PNP, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION sp) {
            sp->Parameters.QueryId.IdType = type;
        });
        ObDereferenceObject(top);
        bool multi = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
        std::vector<std::u16string> list;
        std::u16string text;
        std::string note;
        auto answer = reinterpret_cast<const WCHAR*>(r.Information);
        if (NT_SUCCESS(r.Status) && answer) {
            text = ReadPoolString(answer, multi, &list);
            note = " \"" + HmNarrow(text) + "\" (" + PoolNote(answer) + ")";
            ExFreePool(reinterpret_cast<PVOID>(r.Information));
        }
        CloseTrace(mark, " = " + HmStatusName(r.Status) + note);
        std::lock_guard<HkMutex> lock(M().Mu);
        n.Info.IdStatus[type] = r.Status;
        switch (type) {
        case BusQueryDeviceID:
            n.Info.DeviceId = text;
            break;
        case BusQueryHardwareIDs:
            n.Info.HardwareIds = list;
            break;
        case BusQueryInstanceID:
            n.Info.InstanceId = text;
            break;
        default:
            n.Info.CompatibleIds = list;
            break;
        }
    }
    for (DEVICE_TEXT_TYPE type : {DeviceTextDescription, DeviceTextLocationInformation}) {
        TraceMark mark = OpenTrace("pnp -> " + n.Name + ": IRP_MN_QUERY_DEVICE_TEXT " +
                                   (type == DeviceTextDescription ? "description" : "location"));
        PDEVICE_OBJECT top = TopOf(n.Pdo);
        HmIrpResult r =
            SendIrp(top, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, [&](PIO_STACK_LOCATION sp) {
                sp->Parameters.QueryDeviceText.DeviceTextType = type;
                sp->Parameters.QueryDeviceText.LocaleId = 0x409;
            });
        ObDereferenceObject(top);
        std::u16string text;
        std::string note;
        auto answer = reinterpret_cast<const WCHAR*>(r.Information);
        if (NT_SUCCESS(r.Status) && answer) {
            text = ReadPoolString(answer, false, nullptr);
            note = " \"" + HmNarrow(text) + "\" (" + PoolNote(answer) + ")";
            ExFreePool(reinterpret_cast<PVOID>(r.Information));
        }
        CloseTrace(mark, " = " + HmStatusName(r.Status) + note);
        std::lock_guard<HkMutex> lock(M().Mu);
        n.Info.TextStatus[type] = r.Status;
        (type == DeviceTextDescription ? n.Info.Description : n.Info.Location) = text;
    }
    QueryCapabilities(n);
}

bool MatchesPortDriver(const Node& n)
{
    for (const std::u16string& id : n.Info.HardwareIds) {
        if (id.size() > 7 && id.compare(0, 7, u"CorPort") == 0 &&
            std::all_of(id.begin() + 7, id.end(),
                        [](char16_t c) { return c >= u'0' && c <= u'9'; })) {
            return true;
        }
    }
    return false;
}

// Drops the manager's reference on a node's PDO and forgets the node.
void Forget(Node& n)
{
    PDEVICE_OBJECT pdo = n.Pdo;
    bool reference = n.HoldsReference;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        if (Node* parent = Find(n.Parent)) {
            auto& c = parent->Children;
            c.erase(std::remove(c.begin(), c.end(), pdo), c.end());
        }
        M().Nodes.erase(pdo);
    }
    if (reference) {
        ObDereferenceObject(pdo);
    }
}

void RemoveStack(Node& n)
{
    HmIrpResult r = Pnp(n, IRP_MN_REMOVE_DEVICE);
    std::lock_guard<HkMutex> lock(M().Mu);
    n.State = HmNodeState::Initialized;
    n.LastStatus = r.Status;
    n.FunctionDriver = nullptr;
    n.Info.PortDriverBound = false;
}

void AwaitRemoval(Node& n)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    n.State = HmNodeState::SurpriseRemoved;
    auto& list = M().AwaitingRemoval;
    if (std::find(list.begin(), list.end(), n.Pdo) == list.end()) {
        list.push_back(n.Pdo);
    }
}

// A child the bus no longer reports: surprise removal (unless it had one already); the removal
// follows once no file of its stack is open (FinishRemovals).
void ChildGone(Node& child)
{
    if (child.State != HmNodeState::SurpriseRemoved) {
        Pnp(child, IRP_MN_SURPRISE_REMOVAL);
    }
    AwaitRemoval(child);
    FinishRemovals();
}

NTSTATUS StartPort(Node& child)
{
    Machine& m = M();
    HmPnpOptions options;
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        options = m.Options;
    }
    if (options.BindPortDrivers && !child.FunctionDriver && MatchesPortDriver(child)) {
        PDRIVER_OBJECT driver = options.PortDriver ? options.PortDriver : EnsureSerialDriver();
        NTSTATUS status =
            driver ? driver->DriverExtension->AddDevice(driver, child.Pdo) : STATUS_UNSUCCESSFUL;
        AddTrace("pnp -> " + child.Name +
                 ": AddDevice of the port driver = " + HmStatusName(status));
        if (!NT_SUCCESS(status)) {
            // The device node gets a problem code (failed add) and is not started: a port
            // device is no raw device, so nothing may run on it without its function driver.
            SetState(child, HmNodeState::StartFailed, status);
            return status;
        }
        std::lock_guard<HkMutex> lock(m.Mu);
        child.FunctionDriver = driver;
        child.Info.PortDriverBound = true;
        child.State = HmNodeState::DriversAdded;
    }
    NTSTATUS status = StartStack(child, nullptr);
    if (!NT_SUCCESS(status)) {
        SetState(child, HmNodeState::StartFailed, status);
        if (options.RemoveOnFailedStart) {
            RemoveStack(child);
        }
        return status;
    }
    SetState(child, HmNodeState::Started, status);
    QueryCapabilities(child);
    QueryDeviceState(child);
    HmIrpResult r = Pnp(
        child, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
        "BusRelations");
    if (NT_SUCCESS(r.Status) && r.Information) {
        // A port device has no children; drop whatever an upper driver reported.
        auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
        for (ULONG i = 0; i < rel->Count; ++i) {
            ObDereferenceObject(rel->Objects[i]);
        }
        ExFreePool(rel);
    }
    return status;
}

std::u16string InstancePath(const Node& n)
{
    if (n.Info.DeviceId.empty() || n.Info.InstanceId.empty()) {
        return {};
    }
    return n.Info.DeviceId + u"\\" + n.Info.InstanceId;
}

// The ports class installer names a new port: "COM<n>" with the lowest n from 3 up that it has
// not given out, unless the device key has a name already (a port seen before).
void AssignPortName(Node& n)
{
    const std::u16string key = HkDeviceKeyPath(InstancePath(n));
    ULONG type = 0;
    std::vector<UCHAR> data;
    if (InstancePath(n).empty() || HkRegQueryValue(key, u"PortName", &type, &data)) {
        return;
    }
    ULONG number = 3;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        while (M().ComNumbersTaken.count(number)) {
            ++number;
        }
        M().ComNumbersTaken.insert(number);
    }
    std::string name = "COM" + std::to_string(number);
    HkRegSetString(key, u"PortName", std::u16string(name.begin(), name.end()));
    AddTrace("pnp    " + n.Name + ": PortName " + name);
}

void Enumerate(Node& adapter)
{
    HmIrpResult r = Pnp(
        adapter, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; },
        "BusRelations");
    if (!NT_SUCCESS(r.Status)) {
        return; // the previous relations stand
    }
    std::vector<PDEVICE_OBJECT> reported;
    if (r.Information) {
        auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
        for (ULONG i = 0; i < rel->Count; ++i) {
            reported.push_back(rel->Objects[i]);
        }
        AddTrace("pnp    " + adapter.Name + ": " + std::to_string(rel->Count) +
                 " bus relation(s) (" + PoolNote(rel) + ")");
        ExFreePool(rel);
    } else {
        AddTrace("pnp    " + adapter.Name + ": no bus relations");
    }
    Machine& m = M();
    std::vector<PDEVICE_OBJECT> fresh;
    std::vector<PDEVICE_OBJECT> order;
    for (PDEVICE_OBJECT pdo : reported) {
        Node* known = Find(pdo);
        if (known || std::find(order.begin(), order.end(), pdo) != order.end()) {
            ObDereferenceObject(pdo); // already known: the manager holds its reference already
            if (known && known->Parent == adapter.Pdo) {
                order.push_back(pdo);
            }
            continue;
        }
        std::lock_guard<HkMutex> lock(m.Mu);
        Node& n = m.Nodes[pdo];
        n.Pdo = pdo;
        n.SoftwareKey = m.NextSoftwareKey++;
        n.Parent = adapter.Pdo;
        n.HoldsReference = true;
        n.Info.Known = true;
        n.Name = "port " + adapter.Name.substr(8) + "." + std::to_string(order.size());
        fresh.push_back(pdo);
        order.push_back(pdo);
    }
    // Children no longer reported are gone.
    std::vector<PDEVICE_OBJECT> before = adapter.Children;
    for (PDEVICE_OBJECT pdo : before) {
        if (std::find(order.begin(), order.end(), pdo) == order.end()) {
            if (Node* child = Find(pdo)) {
                ChildGone(*child);
            }
        }
    }
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        adapter.Children = order;
    }
    HmPnpOptions options;
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        options = m.Options;
    }
    for (PDEVICE_OBJECT pdo : fresh) {
        Node* child = Find(pdo);
        QueryIdentity(*child);
        if (options.AssignPortNames) {
            AssignPortName(*child);
        }
        if (options.StartPorts) {
            StartPort(*child);
        }
    }
}

void HandleInvalidations()
{
    std::set<PDEVICE_OBJECT> todo;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        todo.swap(M().Invalidated);
    }
    for (PDEVICE_OBJECT pdo : todo) {
        Node* n = Find(pdo);
        if (n && n->IsAdapter &&
            (n->State == HmNodeState::Started || n->State == HmNodeState::SurpriseRemoved)) {
            Enumerate(*n);
        }
    }
}

std::vector<Node*> ChildrenOf(Node& adapter)
{
    std::vector<Node*> out;
    for (PDEVICE_OBJECT pdo : adapter.Children) {
        if (Node* c = Find(pdo)) {
            out.push_back(c);
        }
    }
    return out;
}

bool HasStack(const Node& n)
{
    return n.Pdo->AttachedDevice != nullptr || n.State != HmNodeState::Initialized;
}

NTSTATUS RemoveTree(Node& adapter)
{
    std::vector<Node*> children = ChildrenOf(adapter);
    std::vector<Node*> agreed;
    NTSTATUS status = STATUS_SUCCESS;
    for (Node* c : children) {
        status = Pnp(*c, IRP_MN_QUERY_REMOVE_DEVICE).Status;
        if (!NT_SUCCESS(status)) {
            break;
        }
        agreed.push_back(c);
    }
    if (NT_SUCCESS(status)) {
        status = Pnp(adapter, IRP_MN_QUERY_REMOVE_DEVICE).Status;
        if (NT_SUCCESS(status)) {
            agreed.push_back(&adapter);
        }
    }
    if (!NT_SUCCESS(status)) {
        for (Node* n : agreed) {
            Pnp(*n, IRP_MN_CANCEL_REMOVE_DEVICE);
        }
        SetState(adapter, adapter.State, status);
        return status;
    }
    for (Node* c : children) {
        Pnp(*c, IRP_MN_REMOVE_DEVICE);
        Forget(*c);
    }
    RemoveStack(adapter);
    std::lock_guard<HkMutex> lock(M().Mu);
    adapter.Children.clear();
    return STATUS_SUCCESS;
}

// The board has left its slot.
void Vanish(Node& adapter)
{
    std::shared_ptr<Board> b = adapter.Card;
    {
        std::lock_guard<HkMutex> lock(b->Mu);
        b->Present = false;
    }
    BoardRefreshDecode(*b);
    if (adapter.FunctionDriver) {
        std::vector<Node*> children = ChildrenOf(adapter);
        for (Node* c : children) {
            Pnp(*c, IRP_MN_SURPRISE_REMOVAL);
            SetState(*c, HmNodeState::SurpriseRemoved, STATUS_SUCCESS);
        }
        NTSTATUS status = Pnp(adapter, IRP_MN_SURPRISE_REMOVAL).Status;
        SetState(adapter, HmNodeState::SurpriseRemoved, status);
        // The driver's own IoInvalidateDeviceRelations from its surprise removal is handled now,
        // before the removal requests, as the manager would re-enumerate a failing device.
        HandleInvalidations();
        for (Node* c : ChildrenOf(adapter)) {
            AwaitRemoval(*c);
        }
    }
    AwaitRemoval(adapter);
    FinishRemovals();
}

} // namespace

// After a surprise removal, each port stack gets its removal once no handle to it is open any
// more, and the adapter its own once all of its ports are gone; then the PCI bus driver lets the
// board's PDO go.
void FinishRemovals()
{
    std::vector<PDEVICE_OBJECT> waiting;
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        waiting = M().AwaitingRemoval;
    }
    auto done = [](PDEVICE_OBJECT pdo) {
        std::lock_guard<HkMutex> lock(M().Mu);
        auto& list = M().AwaitingRemoval;
        list.erase(std::remove(list.begin(), list.end(), pdo), list.end());
    };
    // Ports first: an adapter goes only after every port it had.
    for (PDEVICE_OBJECT pdo : waiting) {
        Node* port = Find(pdo);
        if (port && !port->IsAdapter && HkOpenFilesOn(pdo) == 0) {
            Pnp(*port, IRP_MN_REMOVE_DEVICE);
            done(pdo);
            Forget(*port);
        }
    }
    for (PDEVICE_OBJECT pdo : waiting) {
        Node* adapter = Find(pdo);
        if (!adapter || !adapter->IsAdapter || !ChildrenOf(*adapter).empty()) {
            continue;
        }
        bool portsLeft = false;
        {
            std::lock_guard<HkMutex> lock(M().Mu);
            for (PDEVICE_OBJECT other : M().AwaitingRemoval) {
                auto it = M().Nodes.find(other);
                portsLeft = portsLeft || (it != M().Nodes.end() && it->second.Parent == pdo);
            }
        }
        if (portsLeft) {
            continue;
        }
        std::shared_ptr<Board> b = adapter->Card;
        Pnp(*adapter, IRP_MN_REMOVE_DEVICE);
        PciReapPdo(*b);
        done(pdo);
        Forget(*adapter);
    }
}

Node* FindNode(PDEVICE_OBJECT pdo)
{
    return Find(pdo);
}

std::vector<Node*> NodeChildren(Node& adapter)
{
    return ChildrenOf(adapter);
}

HmIrpResult SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)>& fill)
{
    PIRP irp;
    {
        HkPlatformCalls platform; // the manager's own IRP: no fault of the drivers' to inject
        irp = IoAllocateIrp(target->StackSize, FALSE);
    }
    if (!irp) {
        return HmIrpResult{STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (fill) {
        fill(sp);
    }
    // The event outlives a request that never completes (see below), so it is not on the stack.
    auto done = std::make_unique<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SendDone, done.get(), TRUE, TRUE, TRUE);
    NTSTATUS status = major == IRP_MJ_POWER ? PoCallDriver(target, irp) : IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(NeverCompletedSeconds) * 10 * 1000 * 1000;
        if (KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE, &timeout) ==
            STATUS_TIMEOUT) {
            // A driver kept the request for good. Windows would hang here; the machine reports
            // it and goes on, leaving the IRP and its event to whoever completes it one day.
            AddTrace("pnp: " + HmPnpMinorName(minor) + " (major " + Hex(major, 2) +
                     ") was never completed");
            done.release();
            return HmIrpResult{STATUS_TIMEOUT, 0};
        }
    }
    HmIrpResult r{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return r;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT pdo)
{
    return IoGetAttachedDeviceReference(pdo);
}

void InstallHooks()
{
    HkSetFileClosedHook([] { PostToWorker(FinishRemovals); });
    HkSetInvalidateRelationsHook([](PDEVICE_OBJECT device, DEVICE_RELATION_TYPE type) {
        if (type != BusRelations) {
            return;
        }
        AddTrace("driver -> IoInvalidateDeviceRelations " + HmDeviceName(device) + " BusRelations");
        {
            std::lock_guard<HkMutex> lock(M().Mu);
            M().Invalidated.insert(device);
        }
        // Never handled on the caller's thread: the driver may hold its locks here.
        PostToWorker(HandleInvalidations);
    });
    // IoOpenDeviceRegistryKey and IoRegisterDeviceInterface find a node by its instance path,
    // the device ID and the instance ID the bus driver gave; a node not yet asked for its IDs
    // has none.
    HkSetDeviceInstanceHook([](PDEVICE_OBJECT device) {
        std::lock_guard<HkMutex> lock(M().Mu);
        auto it = M().Nodes.find(device);
        if (it == M().Nodes.end() || it->second.Info.DeviceId.empty()) {
            return HkDeviceInstance{u"", 0};
        }
        const HmNodeInfo& info = it->second.Info;
        return HkDeviceInstance{info.DeviceId + u"\\" + info.InstanceId, it->second.SoftwareKey};
    });
}

std::shared_ptr<Board> BoardOf(PDEVICE_OBJECT pdo)
{
    if (!pdo) {
        return nullptr;
    }
    std::lock_guard<HkMutex> lock(M().Mu);
    for (auto& b : M().Boards) {
        if (b->Pdo == pdo) {
            return b;
        }
    }
    return nullptr;
}

} // namespace hm

using namespace hm;

namespace {

// The lowest slot no device node holds: a board pulled out leaves its slot once the bus driver
// has deleted its PDO, and the next board goes in there (with the same instance ID and so the
// same device key, as a card put into that slot on Windows).
ULONG FreeSlot(const Machine& m)
{
    for (ULONG slot = 0;; ++slot) {
        bool held = false;
        for (const auto& b : m.Boards) {
            held = held || (b->Slot == slot && b->Pdo != nullptr);
        }
        if (!held) {
            return slot;
        }
    }
}

} // namespace

PDEVICE_OBJECT HmPlugAdapter(const HmPciConfig& config)
{
    StartThreads();
    InstallHooks();
    PDEVICE_OBJECT result = nullptr;
    RunOnWorker([&] {
        Machine& m = M();
        auto b = std::make_shared<Board>();
        {
            std::lock_guard<HkMutex> lock(m.Mu);
            b->Slot = FreeSlot(m);
        }
        b->Config = config;
        b->Name = "adapter " + std::to_string(b->Slot);
        BoardInitUarts(*b);
        // Firmware gives the I/O BARs still without an address the slot's default addresses.
        for (int bar = 0; bar < 2; ++bar) {
            if (ConfigRead32(b->Config, CfgBar0 + 4 * bar) == 0x00000001) {
                HmPutConfig32(b->Config, CfgBar0 + 4 * bar,
                              (bar == 0 ? 0xD000 : 0xD080) + 0x100 * b->Slot + 1);
            }
        }
        if (b->Config.Space[CfgInterruptLine + 1]) {
            b->Config.Space[CfgInterruptLine] = static_cast<UCHAR>(16 + b->Slot);
        }
        b->Answers.Capabilities = HmDefaultCapabilities(b->Slot);
        // Windows' PCI instance IDs end in the function's device/function byte, in hex.
        ULONG devfn = (b->Slot * 8) & 0xFF;
        std::u16string slot{u"0123456789ABCDEF"[devfn >> 4], u"0123456789ABCDEF"[devfn & 0xF]};
        b->Answers.InstanceId = u"3&11583659&0&" + slot;
        PDEVICE_OBJECT pdo = CreatePciPdo(b);
        if (!pdo) {
            return;
        }
        // The manager holds a reference on every device node's PDO, as it does for what the
        // platform's bus driver reports.
        ObReferenceObject(pdo);
        std::lock_guard<HkMutex> lock(m.Mu);
        b->Pdo = pdo;
        m.Boards.push_back(b);
        Node& n = m.Nodes[pdo];
        n.Pdo = pdo;
        n.SoftwareKey = m.NextSoftwareKey++;
        n.HoldsReference = true;
        n.IsAdapter = true;
        n.Card = b;
        n.Name = b->Name;
        n.Info.Known = true;
        result = pdo;
    });
    return result;
}

PDEVICE_OBJECT HmPlugAdapter(HmModel model)
{
    return HmPlugAdapter(HmBoardConfig(model));
}

void HmSetPnpOptions(const HmPnpOptions& options)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    M().Options = options;
}

NTSTATUS HmAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(pdo);
        if (!n || !driver || !driver->DriverExtension || !driver->DriverExtension->AddDevice) {
            return;
        }
        status = driver->DriverExtension->AddDevice(driver, pdo);
        AddTrace("pnp -> " + n->Name + ": AddDevice = " + HmStatusName(status));
        std::lock_guard<HkMutex> lock(M().Mu);
        n->LastStatus = status;
        if (NT_SUCCESS(status)) {
            n->FunctionDriver = driver;
            n->State = HmNodeState::DriversAdded;
        }
    });
    return status;
}

NTSTATUS HmStartAdapter(PDEVICE_OBJECT pdo)
{
    return HmStartAdapter(pdo, HmDefaultAssignment(pdo));
}

NTSTATUS HmStartAdapter(PDEVICE_OBJECT pdo, const HmAssignment& assignment)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(pdo);
        if (!n || !n->IsAdapter) {
            return;
        }
        Pnp(*n, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
        status = StartStack(*n, &assignment);
        if (!NT_SUCCESS(status)) {
            SetState(*n, HmNodeState::StartFailed, status);
            bool remove;
            {
                std::lock_guard<HkMutex> lock(M().Mu);
                remove = M().Options.RemoveOnFailedStart;
            }
            if (remove) {
                RemoveStack(*n);
            }
            return;
        }
        SetState(*n, HmNodeState::Started, status);
        QueryCapabilities(*n);
        QueryDeviceState(*n);
        Enumerate(*n);
    });
    return status;
}

NTSTATUS HmRebalance(PDEVICE_OBJECT pdo, const HmAssignment& assignment)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(pdo);
        if (!n || !n->IsAdapter) {
            return;
        }
        std::vector<Node*> children = ChildrenOf(*n);
        std::vector<Node*> started;
        for (Node* c : children) {
            if (c->State == HmNodeState::Started) {
                started.push_back(c);
            }
        }
        std::vector<Node*> agreed;
        status = STATUS_SUCCESS;
        for (Node* c : started) {
            status = Pnp(*c, IRP_MN_QUERY_STOP_DEVICE).Status;
            if (!NT_SUCCESS(status)) {
                break;
            }
            agreed.push_back(c);
        }
        if (NT_SUCCESS(status)) {
            status = Pnp(*n, IRP_MN_QUERY_STOP_DEVICE).Status;
            if (NT_SUCCESS(status)) {
                agreed.push_back(n);
            }
        }
        if (!NT_SUCCESS(status)) {
            for (Node* a : agreed) {
                Pnp(*a, IRP_MN_CANCEL_STOP_DEVICE);
            }
            return;
        }
        for (Node* c : started) {
            Pnp(*c, IRP_MN_STOP_DEVICE);
            SetState(*c, HmNodeState::Stopped, STATUS_SUCCESS);
        }
        Pnp(*n, IRP_MN_STOP_DEVICE);
        SetState(*n, HmNodeState::Stopped, STATUS_SUCCESS);
        status = StartStack(*n, &assignment);
        if (!NT_SUCCESS(status)) {
            SetState(*n, HmNodeState::StartFailed, status);
            return;
        }
        SetState(*n, HmNodeState::Started, status);
        for (Node* c : started) {
            NTSTATUS s = StartStack(*c, nullptr);
            SetState(*c, NT_SUCCESS(s) ? HmNodeState::Started : HmNodeState::StartFailed, s);
        }
        QueryCapabilities(*n);
        Enumerate(*n);
    });
    return status;
}

NTSTATUS HmRemoveAdapter(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(pdo);
        if (!n || !n->IsAdapter) {
            return;
        }
        status = HasStack(*n) ? RemoveTree(*n) : STATUS_SUCCESS;
    });
    return status;
}

void HmSurpriseRemoveAdapter(PDEVICE_OBJECT pdo)
{
    RunOnWorker([&] {
        if (Node* n = Find(pdo)) {
            if (n->IsAdapter) {
                Vanish(*n);
            }
        }
    });
}

void HmUnplugAdapter(PDEVICE_OBJECT pdo)
{
    RunOnWorker([&] {
        Node* n = Find(pdo);
        if (!n || !n->IsAdapter) {
            return;
        }
        if (n->State == HmNodeState::SurpriseRemoved) {
            FinishRemovals(); // out of its slot already; its removals wait for handles
            return;
        }
        if (n->FunctionDriver && !NT_SUCCESS(RemoveTree(*n))) {
            Vanish(*n); // removal refused: the board is pulled anyway
            return;
        }
        Vanish(*n);
    });
}

bool HmUnloadIfUnused(PDRIVER_OBJECT driver)
{
    bool unloaded = false;
    RunOnWorker([&] {
        if (driver && !driver->DeviceObject) {
            std::string name = HmNarrow(
                std::u16string(reinterpret_cast<const char16_t*>(driver->DriverName.Buffer),
                               driver->DriverName.Length / sizeof(WCHAR)));
            HkUnloadDriver(driver);
            AddTrace("pnp: " + name + " unloaded, its last device is gone");
            unloaded = true;
        }
    });
    return unloaded;
}

void HmInvalidateBusRelations(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        M().Invalidated.insert(pdo);
    }
    RunOnWorker(HandleInvalidations);
}

void HmWaitPnpIdle()
{
    Machine& m = M();
    std::unique_lock<HkMutex> lock(m.Mu);
    m.WorkCv.wait(lock, [&] { return m.Work.empty() && !m.WorkerBusy; });
}

HmIrpResult HmSendPnp(PDEVICE_OBJECT device, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)>& fill, bool toTop)
{
    HmIrpResult r{STATUS_NO_SUCH_DEVICE, 0};
    RunOnWorker([&] {
        TraceMark mark = OpenTrace("pnp -> " + HmDeviceName(device) + ": " + HmPnpMinorName(minor));
        PDEVICE_OBJECT target = toTop ? TopOf(device) : device;
        r = SendIrp(target, IRP_MJ_PNP, minor, fill);
        if (toTop) {
            ObDereferenceObject(target);
        }
        CloseTrace(mark, " = " + HmStatusName(r.Status));
    });
    return r;
}

PDEVICE_OBJECT HmQueryTargetRelation(PDEVICE_OBJECT device, NTSTATUS* status)
{
    HmIrpResult r = HmSendPnp(device, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    });
    if (status) {
        *status = r.Status;
    }
    PDEVICE_OBJECT target = nullptr;
    if (NT_SUCCESS(r.Status) && r.Information) {
        auto rel = reinterpret_cast<PDEVICE_RELATIONS>(r.Information);
        if (rel->Count >= 1) {
            target = rel->Objects[0];
        }
        for (ULONG i = 0; i < rel->Count; ++i) {
            ObDereferenceObject(rel->Objects[i]);
        }
        ExFreePool(rel);
    }
    return target;
}

HmNodeInfo HmNode(PDEVICE_OBJECT pdo)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    auto it = M().Nodes.find(pdo);
    if (it == M().Nodes.end()) {
        HmNodeInfo none{};
        none.Known = false;
        return none;
    }
    HmNodeInfo info = it->second.Info;
    info.Known = true;
    info.Pdo = pdo;
    info.Parent = it->second.Parent;
    info.State = it->second.State;
    info.LastStatus = it->second.LastStatus;
    return info;
}

std::vector<PDEVICE_OBJECT> HmPortDevices(PDEVICE_OBJECT adapterPdo)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    auto it = M().Nodes.find(adapterPdo);
    return it == M().Nodes.end() ? std::vector<PDEVICE_OBJECT>{} : it->second.Children;
}

std::u16string HmDeviceKey(PDEVICE_OBJECT portPdo)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    auto it = M().Nodes.find(portPdo);
    return it == M().Nodes.end() ? std::u16string() : HkDeviceKeyPath(InstancePath(it->second));
}

NTSTATUS HmStartPort(PDEVICE_OBJECT portPdo)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(portPdo);
        if (!n || n->IsAdapter) {
            return;
        }
        status = n->State == HmNodeState::Started ? STATUS_INVALID_DEVICE_STATE : StartPort(*n);
    });
    return status;
}

NTSTATUS HmRestartPort(PDEVICE_OBJECT portPdo)
{
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    RunOnWorker([&] {
        Node* n = Find(portPdo);
        if (!n || n->IsAdapter) {
            return;
        }
        if (n->State == HmNodeState::Started || n->State == HmNodeState::DriversAdded) {
            status = Pnp(*n, IRP_MN_QUERY_REMOVE_DEVICE).Status;
            if (!NT_SUCCESS(status)) {
                Pnp(*n, IRP_MN_CANCEL_REMOVE_DEVICE);
                return;
            }
            RemoveStack(*n);
        }
        status = StartPort(*n);
    });
    return status;
}
