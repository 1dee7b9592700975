// Failure injection over every path of the driver, in the manner of Driver Verifier's low-resources
// simulation: for every scenario the platform drives (add-device, start with each shape of
// assignment, stop and restart, rebalance, the queries to a port, the port interface, system
// sleep and wake, surprise removal, removal, unload) and every kind of call the kernel stand-in can
// fail, the 1st, 2nd, 3rd ... call of that kind is failed in turn, until a run no longer reaches
// the armed call; each point is run twice, with that one call failing and with it and every later
// call of its kind failing (a lasting shortage). Each run starts from a fresh machine, and in each
// the driver must
//  - answer with the status of the clean run, or (where the platform lets the request fail) with a
//    resource failure;
//  - write the event-log sentence that belongs to the failed call, and otherwise what the clean
//    run wrote (or the beginning of it, where the failure ends the request early);
//  - keep its own books: one life reference on the adapter and no request reference left over,
//    one interface reference per holder, the device power state the function is really in, no
//    interrupt connected and no port range handed out while the adapter is not started;
//  - stay usable: the adapter can be added and started again and every bound port moves a byte;
//  - leave nothing behind once the machine is gone: no pool, IRP, device object, reference,
//    held mutex or connected interrupt, and not one verifier finding on the way.
// Injection reaches only the driver's calls: the simulated platform's own are made outside it.
#include "spine_support.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using spine::AdapterDeviceOn;
using spine::AdapterOn;
using spine::Error;
using spine::PortsOf;
using spine::Report;
using spine::Reports;

constexpr HmModel Model = HmModel::LX4A;
constexpr ULONG Ports = 4;

struct FaultKind {
    HkFault Kind;
    const char* Name;
};
const FaultKind Kinds[] = {
    {HkFault::Pool, "pool"},
    {HkFault::AllocateIrp, "IRP"},
    {HkFault::BuildSynchronousFsdRequest, "synchronous request"},
    {HkFault::AllocateErrorLogEntry, "error-log entry"},
    {HkFault::RequestPowerIrp, "power request"},
    {HkFault::ConnectInterrupt, "interrupt connection"},
    {HkFault::AttachDevice, "attach"},
    {HkFault::CreateDevice, "create device"},
};
constexpr size_t KindCount = sizeof(Kinds) / sizeof(Kinds[0]);

// Where a scenario begins; reached without any fault armed.
enum class From {
    Plugged,     // the board in its slot, no driver on it
    Added,       // add-device done
    AddedKept,   // add-device done; a failed start is not followed by removal, so the adapter
                 // that failed to start is there to look at
    Started,     // started, port devices enumerated and their port drivers bound
    StartedBare, // started with no port driver bound; the test holds port 0's interface
    Hooked,      // StartedBare, and the test's callback hooked on port 0
    Asleep,      // Started, then the system in S3
    Removed,     // Started, then removed (the board stays)
};

struct Rig {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    CORPORT_BUS_INTERFACE Interface{}; // the test's, when it plays port 0's driver
    bool InterfaceHeld = false;
    bool Hooked = false;
};

struct Scenario {
    std::string Name;
    From Start;
    std::function<NTSTATUS(Rig&)> Act;
    bool MayFail; // the platform lets this request fail (queries, add-device, start)
};

BOOLEAN IgnoreInterrupt(PKINTERRUPT, PVOID)
{
    return FALSE;
}

PDEVICE_OBJECT Port0(const Rig& r)
{
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(r.Pdo);
    return ports.empty() ? nullptr : ports[0];
}

NTSTATUS QueryInterface(PDEVICE_OBJECT port, CORPORT_BUS_INTERFACE* record)
{
    return HmSendPnp(port, IRP_MN_QUERY_INTERFACE,
                     [&](PIO_STACK_LOCATION s) {
                         s->Parameters.QueryInterface.InterfaceType = &CORPORT_INTERFACE_GUID;
                         s->Parameters.QueryInterface.Size = CORPORT_INTERFACE_SIZE;
                         s->Parameters.QueryInterface.Version = CORPORT_INTERFACE_VERSION;
                         s->Parameters.QueryInterface.Interface =
                             reinterpret_cast<PINTERFACE>(record);
                     })
        .Status;
}

// A query whose answer is a pool block that the manager frees.
NTSTATUS QueryString(PDEVICE_OBJECT device, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& fill)
{
    HmIrpResult r = HmSendPnp(device, minor, fill);
    if (NT_SUCCESS(r.Status) && r.Information != 0) {
        ExFreePool(reinterpret_cast<PVOID>(r.Information));
    }
    return r.Status;
}

void Prepare(Rig& r, From from)
{
    r.Pdo = HmPlugAdapter(Model);
    if (from == From::Plugged) {
        return;
    }
    HmPnpOptions options;
    options.BindPortDrivers = from != From::StartedBare && from != From::Hooked;
    options.RemoveOnFailedStart = from != From::AddedKept;
    HmSetPnpOptions(options);
    ASSERT_EQ(HmAddDevice(r.Driver, r.Pdo), STATUS_SUCCESS);
    if (from == From::Added || from == From::AddedKept) {
        return;
    }
    ASSERT_EQ(HmStartAdapter(r.Pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmPortDevices(r.Pdo).size(), Ports);
    if (from == From::StartedBare || from == From::Hooked) {
        ASSERT_EQ(QueryInterface(Port0(r), &r.Interface), STATUS_SUCCESS);
        r.InterfaceHeld = true;
    }
    if (from == From::Hooked) {
        ASSERT_EQ(r.Interface.ConnectIsr(r.Interface.Context, IgnoreInterrupt, nullptr),
                  STATUS_SUCCESS);
        r.Hooked = true;
    }
    if (from == From::Asleep) {
        ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    }
    if (from == From::Removed) {
        ASSERT_EQ(HmRemoveAdapter(r.Pdo), STATUS_SUCCESS);
    }
}

// The driver's own books on the adapter, right after the scenario.
void CheckBooks(const Rig& r)
{
    if (r.Driver == nullptr || !HmNode(r.Pdo).Known || AdapterDeviceOn(r.Pdo) == nullptr) {
        return;
    }
    PADAPTER_EXTENSION adapter = AdapterOn(r.Pdo);
    EXPECT_EQ(adapter->OutstandingIo, 1) << "the life reference and no request's";
    LONG holders = r.InterfaceHeld ? 1 : 0;
    for (PDEVICE_OBJECT port : HmPortDevices(r.Pdo)) {
        holders += HmSerialStateOf(port).InterfaceHeld ? 1 : 0;
    }
    EXPECT_EQ(adapter->InterfaceRefCount, holders) << "one interface reference per holder";
    EXPECT_EQ(adapter->DevicePowerState, static_cast<ULONG>(HmBusDevicePower(r.Pdo)))
        << "the recorded device power state is not the function's";
    if (HmNode(r.Pdo).State != HmNodeState::Started) {
        EXPECT_EQ(adapter->InterruptObject, nullptr) << "connected while not started";
        for (PPORT_EXTENSION port : PortsOf(adapter)) {
            EXPECT_EQ(port->IoLength, 0u) << "a range handed out while not started";
        }
    }
}

// After a fault the adapter can be brought back to work: woken, added and started again (a
// pulled board is replaced by a new one), and every bound port moves a byte from the far end.
void CheckUsable(Rig& r)
{
    if (HmSystemPowerState() != PowerSystemWorking) {
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    }
    PDEVICE_OBJECT pdo = r.Pdo;
    if (HmNode(pdo).Known && AdapterDeviceOn(pdo) != nullptr &&
        HmBusDevicePower(pdo) != PowerDeviceD0) {
        // A wake whose device power request could not be issued leaves the adapter in D3 (the
        // adapter does not fail the system request); the next wake asks for D0 again.
        ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_EQ(HmBusDevicePower(pdo), PowerDeviceD0);
    }
    if (!HmNode(pdo).Known) {
        pdo = HmPlugAdapter(Model);
    }
    if (AdapterDeviceOn(pdo) == nullptr) {
        ASSERT_EQ(HmAddDevice(r.Driver, pdo), STATUS_SUCCESS);
    }
    if (HmNode(pdo).State != HmNodeState::Started) {
        ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
    }
    // The manager asks for the ports again (a failed relations query left it without them); a
    // port whose device could not be created at add-device stays missing.
    HmInvalidateBusRelations(pdo);
    HmWaitPnpIdle();
    std::vector<PDEVICE_OBJECT> ports = HmPortDevices(pdo);
    ASSERT_FALSE(ports.empty());
    if (r.InterfaceHeld && pdo == r.Pdo) {
        CORPORT_RESOURCES resources{};
        EXPECT_EQ(r.Interface.GetResources(r.Interface.Context, &resources), STATUS_SUCCESS);
    }
    for (PDEVICE_OBJECT port : ports) {
        if (!HmSerialStateOf(port).Started) {
            continue;
        }
        const ULONG uart = PortOf(port)->PortNumber;
        HmRemoteSend(pdo, uart, {static_cast<UCHAR>('0' + uart)});
        std::vector<UCHAR> got;
        EXPECT_TRUE(HmWaitUntil([&] {
            std::vector<UCHAR> more = HmSerialRead(port);
            got.insert(got.end(), more.begin(), more.end());
            return !got.empty();
        })) << "port "
            << uart << " receives nothing";
    }
}

void LetGo(Rig& r)
{
    if (r.Hooked) {
        r.Interface.DisconnectIsr(r.Interface.Context);
        r.Hooked = false;
    }
    if (r.InterfaceHeld) {
        r.Interface.InterfaceDereference(r.Interface.Context);
        r.InterfaceHeld = false;
    }
}

// The sentence the driver writes when the nth call of kind fails in the scenario, if any.
const char* FailureSentence(const Scenario& s, HkFault kind, unsigned n)
{
    const bool addDevice = s.Start == From::Plugged;
    switch (kind) {
    case HkFault::CreateDevice:
        return n == 1 ? "Unable to create device object."
                      : "Unable to create device object for port.";
    case HkFault::AttachDevice:
        return "Unable to attach device to device stack.";
    case HkFault::BuildSynchronousFsdRequest:
        return addDevice ? "Unable to read PCI config space." : nullptr;
    case HkFault::ConnectInterrupt:
        return "Unable to connect to interrupt line.";
    default:
        return nullptr;
    }
}

bool IsPrefix(const std::vector<Report>& part, const std::vector<Report>& whole)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

struct Outcome {
    NTSTATUS Status = STATUS_SUCCESS;
    std::vector<Report> Log;
    unsigned Calls[KindCount] = {};
};

class FaultSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkSetViolationHandler([](const HkViolation& violation) {
            ADD_FAILURE() << "kernel verifier: " << violation.What;
        });
    }
    void TearDown() override
    {
        HkSetViolationHandler(nullptr);
        HmReset();
    }

    // One run of a scenario on a fresh machine, with the nth call of Kinds[kind] failing (and,
    // sustained, every later one too, as under a lasting shortage); no fault when kind is
    // KindCount.
    Outcome Run(const Scenario& s, size_t kind, unsigned n, bool sustained = false)
    {
        Outcome out;
        HmReset();
        Rig r;
        r.Driver = HkLoadDriver(DriverEntry, L"corcard");
        EXPECT_NE(r.Driver, nullptr);
        const int failuresBefore = Failures();
        Prepare(r, s.Start);
        if (Failures() == failuresBefore) {
            HkClearErrorLog();
            for (const FaultKind& k : Kinds) {
                HkFailNth(k.Kind, 0); // counting from here
            }
            if (kind < KindCount) {
                HkFailNth(Kinds[kind].Kind, n, sustained);
            }
            out.Status = s.Act(r);
            HmWaitPnpIdle();
            HkWaitPowerRequests();
            for (size_t k = 0; k < KindCount; ++k) {
                out.Calls[k] = HkCallCount(Kinds[k].Kind);
            }
            HkClearFaults();
            out.Log = Reports();
            CheckBooks(r);
            const bool reached = kind < KindCount && out.Calls[kind] >= n;
            if (reached && r.Driver != nullptr) {
                CheckUsable(r);
            }
        }
        LetGo(r);
        HmUnplugAll();
        if (r.Driver != nullptr) {
            HkUnloadDriver(r.Driver);
        }
        EXPECT_TRUE(HkCheckClean()) << "something is left behind";
        return out;
    }

    // Every injection point of every kind along one scenario; returns the points exercised.
    unsigned Sweep(const Scenario& s)
    {
        SCOPED_TRACE(s.Name);
        const int failuresBefore = Failures();
        const Outcome clean = Run(s, KindCount, 0);
        EXPECT_NE(clean.Status, STATUS_PENDING);
        EXPECT_NE(clean.Status, STATUS_TIMEOUT);
        unsigned points = 0;
        for (size_t kind = 0; kind < KindCount; ++kind) {
            // The clean run is the witness for a kind it never calls.
            for (unsigned n = 1; clean.Calls[kind] > 0; ++n) {
                SCOPED_TRACE(std::string(Kinds[kind].Name) + " call " + std::to_string(n) +
                             " fails");
                const Outcome o = Run(s, kind, n);
                if (o.Calls[kind] < n) {
                    // Not reached: the run was a clean one.
                    EXPECT_EQ(o.Status, clean.Status);
                    EXPECT_EQ(o.Log, clean.Log);
                    break;
                }
                ++points;
                CheckAnswer(s, Kinds[kind].Kind, n, clean, o);
                // The lasting shortage is a matter of the driver's own calls, not of how its
                // requests complete: the forced-pending run of the suite leaves it out.
                if (!HmForcedPending()) {
                    SCOPED_TRACE("and every later call of that kind");
                    CheckSustained(s, Kinds[kind].Kind, n, clean, Run(s, kind, n, true));
                }
                if (Failures() != failuresBefore) {
                    return points; // one broken point of a scenario is enough to read
                }
            }
        }
        return points;
    }

    static int Failures()
    {
        return ::testing::UnitTest::GetInstance()
            ->current_test_info()
            ->result()
            ->total_part_count();
    }
    // A status other than the clean run's is allowed only where the platform lets the request
    // fail, and then only as a resource failure.
    static void CheckStatus(const Scenario& s, const Outcome& clean, const Outcome& o)
    {
        if (o.Status != clean.Status) {
            EXPECT_TRUE(s.MayFail)
                << "status 0x" << std::hex << o.Status << " instead of 0x" << clean.Status;
            EXPECT_TRUE(o.Status == STATUS_INSUFFICIENT_RESOURCES ||
                        o.Status == STATUS_UNSUCCESSFUL)
                << "not a resource failure: 0x" << std::hex << o.Status;
        }
    }

    static void CheckAnswer(const Scenario& s, HkFault kind, unsigned n, const Outcome& clean,
                            const Outcome& o)
    {
        if (kind == HkFault::AllocateErrorLogEntry) {
            // A report that cannot be had is left out, and nothing else changes.
            EXPECT_EQ(o.Status, clean.Status);
            std::vector<Report> expected = clean.Log;
            if (n <= expected.size()) {
                expected.erase(expected.begin() + (n - 1));
            }
            EXPECT_EQ(o.Log, expected);
            return;
        }
        CheckStatus(s, clean, o);
        std::vector<Report> rest = o.Log;
        if (const char* sentence = FailureSentence(s, kind, n)) {
            auto it = std::find(rest.begin(), rest.end(), Error(sentence));
            EXPECT_NE(it, rest.end()) << "no \"" << sentence << "\" in the event log";
            if (it != rest.end()) {
                rest.erase(it);
            }
        }
        if (o.Status == clean.Status) {
            EXPECT_EQ(rest, clean.Log);
        } else {
            EXPECT_TRUE(IsPrefix(rest, clean.Log)) << ::testing::PrintToString(o.Log);
        }
    }

    // Under a lasting shortage every later call fails as well: the sentences are those of the
    // clean run and those of the failed calls, and the status is sound.
    static void CheckSustained(const Scenario& s, HkFault kind, unsigned n, const Outcome& clean,
                               const Outcome& o)
    {
        if (kind == HkFault::AllocateErrorLogEntry) {
            EXPECT_EQ(o.Status, clean.Status);
            std::vector<Report> expected(
                clean.Log.begin(), clean.Log.begin() + std::min<size_t>(n - 1, clean.Log.size()));
            EXPECT_EQ(o.Log, expected);
            return;
        }
        CheckStatus(s, clean, o);
        // The sentence of a failed call depends at most on whether it was the first.
        const char* first = FailureSentence(s, kind, n);
        const char* later = FailureSentence(s, kind, n + 1);
        for (const Report& entry : o.Log) {
            const bool known =
                std::find(clean.Log.begin(), clean.Log.end(), entry) != clean.Log.end() ||
                (first != nullptr && entry == Error(first)) ||
                (later != nullptr && entry == Error(later)) ||
                (kind == HkFault::CreateDevice && entry == Error("Unable to create port devices."));
            EXPECT_TRUE(known) << "unexpected event-log entry " << ::testing::PrintToString(entry);
        }
    }

    void SweepAll(const char* group, const std::vector<Scenario>& scenarios)
    {
        unsigned points = 0;
        for (const Scenario& s : scenarios) {
            unsigned p = Sweep(s);
            printf("  %-44s %3u injection points\n", s.Name.c_str(), p);
            points += p;
        }
        printf("fault sweep (%s): %u injection points exercised over %zu scenarios x %zu fault "
               "kinds%s\n",
               group, points, scenarios.size(), KindCount,
               HmForcedPending() ? ", forced pending" : "");
        EXPECT_GT(points, 0u);
    }
};

// Assignments: the platform's, and shapes a start must cope with (the failing ones fail with
// their configuration sentence before any injected fault could matter, or after it).
HmAssignment Shape(PDEVICE_OBJECT pdo, int shape)
{
    const ULONG64 bar0 = HmBarBase(pdo, 0);
    const ULONG64 bar1 = HmBarBase(pdo, 1);
    HmAssignment a = HmDefaultAssignment(pdo);
    switch (shape) {
    case 1: // latched interrupt: a warning, and the start goes on
        a = HmMakeAssignment(bar0, HmBar0Size(Ports), bar1, HmBar1Size, 17, 0x62, 6, 0x3, true);
        break;
    case 2: // other resources around the ranges, and a second full descriptor (device-specific
            // data comes last in a partial list, as the platform places it)
        for (HmResourceList* list : {&a.Raw, &a.Translated}) {
            auto& partials = (*list)[0].Partials;
            partials.insert(partials.begin(), HmMemoryRange(0xFEB00000, 0x1000));
            partials.push_back(HmDeviceSpecific({1, 2, 3, 4, 5, 6, 7, 8}));
            HmFullDescriptor second;
            second.Partials = {HmMemoryRange(0xFEB01000, 0x100), HmDeviceSpecific({9, 9, 9, 9})};
            list->push_back(second);
        }
        break;
    case 3: // no translated list
        a.NoTranslated = true;
        break;
    case 4: // no interrupt
        a = HmMakeAssignment(bar0, HmBar0Size(Ports), bar1, HmBar1Size, 17, 0x62, 6);
        for (HmResourceList* list : {&a.Raw, &a.Translated}) {
            auto& partials = (*list)[0].Partials;
            partials.pop_back();
        }
        break;
    case 5: // no range for the status register
        for (HmResourceList* list : {&a.Raw, &a.Translated}) {
            auto& partials = (*list)[0].Partials;
            partials.erase(partials.begin() + 1);
        }
        break;
    default:
        break;
    }
    return a;
}

TEST_F(FaultSweep, AddDeviceStartStopAndRebalance)
{
    const char* shapes[] = {"platform's assignment",
                            "latched interrupt",
                            "extra descriptors",
                            "no translated list",
                            "no interrupt",
                            "no status register",
                            "platform's assignment, failure kept"};
    std::vector<Scenario> scenarios = {
        {"add-device", From::Plugged, [](Rig& r) { return HmAddDevice(r.Driver, r.Pdo); }, true},
    };
    // The platform's assignment once more with the adapter left in place after a failed start.
    for (int shape = 0; shape < 7; ++shape) {
        scenarios.push_back(
            {std::string("start, ") + shapes[shape], shape == 6 ? From::AddedKept : From::Added,
             [shape](Rig& r) { return HmStartAdapter(r.Pdo, Shape(r.Pdo, shape)); }, true});
    }
    scenarios.push_back({"stop and restart", From::Started,
                         [](Rig& r) { return HmRebalance(r.Pdo, HmDefaultAssignment(r.Pdo)); },
                         true});
    scenarios.push_back({"rebalance to new ranges", From::Started,
                         [](Rig& r) {
                             return HmRebalance(r.Pdo,
                                                HmMakeAssignment(0xC000, HmBar0Size(Ports), 0xC800,
                                                                 HmBar1Size, 21, 0x71, 5));
                         },
                         true});
    SweepAll("add-device, start, stop, rebalance", scenarios);
}

TEST_F(FaultSweep, QueriesAndThePortInterface)
{
    std::vector<Scenario> scenarios = {
        {"bus relations", From::Started,
         [](Rig& r) {
             HmIrpResult res =
                 HmSendPnp(r.Pdo, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
                     s->Parameters.QueryDeviceRelations.Type = BusRelations;
                 });
             if (NT_SUCCESS(res.Status) && res.Information != 0) {
                 auto relations = reinterpret_cast<PDEVICE_RELATIONS>(res.Information);
                 EXPECT_EQ(relations->Count, Ports);
                 for (ULONG i = 0; i < relations->Count; ++i) {
                     ObDereferenceObject(relations->Objects[i]);
                 }
                 ExFreePool(relations);
             }
             return res.Status;
         },
         true},
        {"port target relation", From::Started,
         [](Rig& r) {
             NTSTATUS status = STATUS_UNSUCCESSFUL;
             HmQueryTargetRelation(Port0(r), &status);
             return status;
         },
         true},
        {"port capabilities", From::Started,
         [](Rig& r) {
             DEVICE_CAPABILITIES caps{};
             caps.Size = sizeof(caps);
             caps.Version = 1;
             return HmSendPnp(Port0(r), IRP_MN_QUERY_CAPABILITIES,
                              [&](PIO_STACK_LOCATION s) {
                                  s->Parameters.DeviceCapabilities.Capabilities = &caps;
                              })
                 .Status;
         },
         true},
    };
    const char* idNames[] = {"device ID", "hardware IDs", "compatible IDs", "instance ID"};
    for (int type = BusQueryDeviceID; type <= BusQueryInstanceID; ++type) {
        scenarios.push_back(
            {std::string("port ") + idNames[type], From::Started,
             [type](Rig& r) {
                 return QueryString(Port0(r), IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION s) {
                     s->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
                 });
             },
             true});
    }
    for (DEVICE_TEXT_TYPE type : {DeviceTextDescription, DeviceTextLocationInformation}) {
        scenarios.push_back(
            {type == DeviceTextDescription ? "port description" : "port location", From::Started,
             [type](Rig& r) {
                 return QueryString(Port0(r), IRP_MN_QUERY_DEVICE_TEXT,
                                    [type](PIO_STACK_LOCATION s) {
                                        s->Parameters.QueryDeviceText.DeviceTextType = type;
                                        s->Parameters.QueryDeviceText.LocaleId = 0x409;
                                    });
             },
             true});
    }
    scenarios.push_back({"port interface query", From::StartedBare,
                         [](Rig& r) {
                             CORPORT_BUS_INTERFACE second{};
                             NTSTATUS status = QueryInterface(Port0(r), &second);
                             if (NT_SUCCESS(status)) {
                                 second.InterfaceDereference(second.Context);
                             }
                             return status;
                         },
                         true});
    scenarios.push_back({"interface reference and dereference", From::StartedBare,
                         [](Rig& r) {
                             r.Interface.InterfaceReference(r.Interface.Context);
                             r.Interface.InterfaceDereference(r.Interface.Context);
                             return STATUS_SUCCESS;
                         },
                         false});
    scenarios.push_back({"interface GetResources", From::StartedBare,
                         [](Rig& r) {
                             CORPORT_RESOURCES resources{};
                             return r.Interface.GetResources(r.Interface.Context, &resources);
                         },
                         false});
    scenarios.push_back({"interface ConnectIsr", From::StartedBare,
                         [](Rig& r) {
                             NTSTATUS status = r.Interface.ConnectIsr(r.Interface.Context,
                                                                      IgnoreInterrupt, nullptr);
                             r.Hooked = NT_SUCCESS(status);
                             return status;
                         },
                         false});
    scenarios.push_back({"interface DisconnectIsr", From::Hooked,
                         [](Rig& r) {
                             r.Interface.DisconnectIsr(r.Interface.Context);
                             r.Hooked = false;
                             return STATUS_SUCCESS;
                         },
                         false});
    SweepAll("queries, port interface", scenarios);
}

TEST_F(FaultSweep, PowerRemovalAndUnload)
{
    std::vector<Scenario> scenarios = {
        {"system sleep S3", From::Started,
         [](Rig&) { return HmSetSystemPower(PowerSystemSleeping3); }, false},
        {"wake from S3", From::Asleep, [](Rig&) { return HmSetSystemPower(PowerSystemWorking); },
         false},
        {"shutdown S5", From::Started, [](Rig&) { return HmSetSystemPower(PowerSystemShutdown); },
         false},
        {"surprise removal", From::Started,
         [](Rig& r) {
             HmSurpriseRemoveAdapter(r.Pdo);
             return STATUS_SUCCESS;
         },
         false},
        {"removal", From::Started, [](Rig& r) { return HmRemoveAdapter(r.Pdo); }, false},
        {"unload", From::Removed,
         [](Rig& r) {
             bool unloaded = HmUnloadIfUnused(r.Driver);
             if (unloaded) {
                 r.Driver = nullptr;
             }
             return unloaded ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
         },
         false},
    };
    SweepAll("power, removal, unload", scenarios);
}

} // namespace
