// What the driver fuzz targets share: one input runs on a fresh machine and kernel, as a test of
// the driver suites does (host/testsupport.h), with every verifier finding fatal at the moment it
// is made, and ends with every adapter removed and unplugged, corcard unloaded and the stand-in
// clean, so that nothing leaks from one input into the next. The target plays the port function
// driver itself where it needs one (the machine's double is not bound).
#pragma once

extern "C"
{
#include <ntddk.h>
}
#include "corcard.h"
#include "fuzz_input.h"
#include "machine.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

[[noreturn]] inline void DriverFuzzFail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

#define DRIVER_CHECK(condition)                                                                    \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            DriverFuzzFail(std::string(__FILE__) + ":" + std::to_string(__LINE__) +                \
                           ": check failed: " #condition);                                         \
        }                                                                                          \
    } while (0)

// The port interface as a port function driver holds it.
struct HeldInterface {
    PDEVICE_OBJECT Port;
    CORPORT_BUS_INTERFACE Interface;
    bool Hooked;
};

class DriverRun {
public:
    explicit DriverRun(bool removeOnFailedStart = true)
    {
        HmReset();
        HkSetViolationHandler([](const HkViolation& violation) {
            DriverFuzzFail("kernel verifier: " + violation.What);
        });
        HmPnpOptions options;
        options.BindPortDrivers = false;
        options.RemoveOnFailedStart = removeOnFailedStart;
        HmSetPnpOptions(options);
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        DRIVER_CHECK(Driver != nullptr);
    }

    ~DriverRun()
    {
        ReleaseInterfaces(nullptr);
        // FUZZ_TRACE=1 prints what the managers sent, to read what an input did.
        if (std::getenv("FUZZ_TRACE") != nullptr) {
            for (const std::string& line : HmTrace()) {
                std::fprintf(stderr, "%s\n", line.c_str());
            }
        }
        HmUnplugAll();
        HkUnloadDriver(Driver);
        if (!HkCheckClean()) {
            DriverFuzzFail("the kernel stand-in is not clean at the end of the input");
        }
        HkSetViolationHandler(nullptr);
        HmReset();
    }

    DriverRun(const DriverRun&) = delete;
    DriverRun& operator=(const DriverRun&) = delete;

    // IRP_MN_QUERY_INTERFACE for the port interface, as a port function driver sends it; the
    // interface is held on success.
    NTSTATUS QueryInterface(PDEVICE_OBJECT port, USHORT size = CORPORT_INTERFACE_SIZE,
                            USHORT version = CORPORT_INTERFACE_VERSION, bool foreign = false)
    {
        static const GUID Other = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
        HeldInterface held = {port, {}, false};
        std::memset(&held.Interface, 0, sizeof(held.Interface));
        HmIrpResult result = HmSendPnp(port, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
            s->Parameters.QueryInterface.InterfaceType = foreign ? &Other : &CORPORT_INTERFACE_GUID;
            s->Parameters.QueryInterface.Size = size;
            s->Parameters.QueryInterface.Version = version;
            s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&held.Interface);
            s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        });
        if (NT_SUCCESS(result.Status) && !foreign) {
            DRIVER_CHECK(held.Interface.Size == CORPORT_INTERFACE_SIZE &&
                         held.Interface.Version == CORPORT_INTERFACE_VERSION);
            Held.push_back(held);
        }
        return result.Status;
    }

    // A port function driver going away: it unhooks and drops its interface (port nullptr: all).
    void ReleaseInterfaces(PDEVICE_OBJECT port)
    {
        for (auto it = Held.begin(); it != Held.end();) {
            if (port != nullptr && it->Port != port) {
                ++it;
                continue;
            }
            if (it->Hooked) {
                it->Interface.DisconnectIsr(it->Interface.Context);
            }
            it->Interface.InterfaceDereference(it->Interface.Context);
            it = Held.erase(it);
        }
    }

    // The callback a port function driver hooks. The machine's UARTs stay silent while no port
    // driver programs them, so it has nothing to service.
    static BOOLEAN QuietIsr(PKINTERRUPT, PVOID) { return FALSE; }

    PDRIVER_OBJECT Driver = nullptr;
    std::deque<HeldInterface> Held;
};

// The adapter's function device: the top of the stack above its PDO.
inline PDEVICE_OBJECT AdapterDeviceOf(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

// Port PDOs of an adapter in the driver's order (also those the manager has not been told of).
inline std::vector<PDEVICE_OBJECT> PortPdosOf(PDEVICE_OBJECT adapterPdo)
{
    std::vector<PDEVICE_OBJECT> ports;
    PADAPTER_EXTENSION adapter = AdapterOf(AdapterDeviceOf(adapterPdo));
    for (PLIST_ENTRY e = adapter->PortList.Flink; e != &adapter->PortList; e = e->Flink) {
        ports.push_back(PortFromLink(e)->Self);
    }
    return ports;
}

// The translated port ranges and the first translated interrupt, as the platform handed them.
struct Given {
    std::vector<std::pair<ULONG64, ULONG>> Ranges;
    bool HasInterrupt = false;
    ULONG Vector = 0;
};

inline Given GivenBy(const HmAssignment& assignment)
{
    Given given;
    if (assignment.NoTranslated) {
        return given;
    }
    for (const HmFullDescriptor& full : assignment.Translated) {
        for (const HmPartial& p : full.Partials) {
            if (p.Type == CmResourceTypePort) {
                given.Ranges.push_back({p.Start, p.Length});
            } else if (p.Type == CmResourceTypeInterrupt && !given.HasInterrupt) {
                given.HasInterrupt = true;
                given.Vector = p.Vector;
            }
        }
    }
    return given;
}

inline bool InsideAGivenRange(const Given& given, ULONG64 base, ULONG length)
{
    for (const auto& range : given.Ranges) {
        if (base >= range.first && length <= range.second &&
            base - range.first <= range.second - length) {
            return true;
        }
    }
    return false;
}

// After a start: every port has a block in a given range and the interrupt, or none has any.
inline void CheckStart(DriverRun& run, PDEVICE_OBJECT pdo, const HmAssignment& assignment,
                       NTSTATUS status, size_t logBefore)
{
    const Given given = GivenBy(assignment);
    PADAPTER_EXTENSION adapter = AdapterOf(AdapterDeviceOf(pdo));
    std::vector<PDEVICE_OBJECT> ports = PortPdosOf(pdo);
    if (NT_SUCCESS(status)) {
        DRIVER_CHECK(status == STATUS_SUCCESS);
        DRIVER_CHECK(given.HasInterrupt && adapter->InterruptObject != nullptr);
        DRIVER_CHECK(HkInterruptsOn(given.Vector).size() == 1);
    } else {
        DRIVER_CHECK(status == STATUS_DEVICE_CONFIGURATION_ERROR ||
                     status == STATUS_INVALID_PARAMETER || status == STATUS_INSUFFICIENT_RESOURCES);
        // A configuration failure is also one event-log sentence (or more, one per port).
        DRIVER_CHECK(HkErrorLog().size() > logBefore);
        DRIVER_CHECK(adapter->InterruptObject == nullptr);
        if (given.HasInterrupt) {
            DRIVER_CHECK(HkInterruptsOn(given.Vector).empty());
        }
    }
    for (PDEVICE_OBJECT port : ports) {
        DRIVER_CHECK(run.QueryInterface(port) == STATUS_SUCCESS);
        HeldInterface& held = run.Held.back();
        CORPORT_RESOURCES resources;
        std::memset(&resources, 0xA5, sizeof(resources));
        NTSTATUS got = held.Interface.GetResources(held.Interface.Context, &resources);
        if (!NT_SUCCESS(status)) {
            DRIVER_CHECK(got == STATUS_DEVICE_CONFIGURATION_ERROR);
            DRIVER_CHECK(held.Interface.ConnectIsr(held.Interface.Context, DriverRun::QuietIsr,
                                                   nullptr) != STATUS_SUCCESS);
            continue;
        }
        DRIVER_CHECK(got == STATUS_SUCCESS);
        ULONG64 base;
        ULONG length;
        std::memcpy(&base, &resources.IoBase, sizeof(base));
        std::memcpy(&length, &resources.IoLength, sizeof(length));
        DRIVER_CHECK(length == 8 && InsideAGivenRange(given, base, length));
        DRIVER_CHECK(resources.InterruptVector == given.Vector);
        // The port's callback goes into the dispatcher's table and comes out again.
        DRIVER_CHECK(held.Interface.ConnectIsr(held.Interface.Context, DriverRun::QuietIsr,
                                               nullptr) == STATUS_SUCCESS);
        held.Hooked = true;
    }
    run.ReleaseInterfaces(nullptr);
}

inline HmModel ModelOf(FuzzInput& in)
{
    return static_cast<HmModel>(in.Below(HmModelCount));
}
