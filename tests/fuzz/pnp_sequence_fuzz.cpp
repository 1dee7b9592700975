// Sequences of plug-and-play and power requests against an adapter and its ports, with port
// interface calls mixed in: starts, stops and rebalances, queries of every kind (with parameters
// of any value), removals cancelled or carried out, surprise removal, re-adding, system sleep and
// wake, device power of the ports, and the port interface queried, hooked, unhooked and released
// at any point. Each request is one the platform may send at that point (a query is followed by
// its cancel or its action, a port function driver releases its interface before its device is
// removed), but in any order the platform allows. Oracles: the verifier, the sanitizers, the
// stand-in's end-of-input checks and the manager's hang detection.
#include "driver_rig.h"

#include <set>

namespace {

// Frees what a request handed back in Information, as the plug-and-play manager does.
void DropAnswer(UCHAR minor, const HmIrpResult& result, DEVICE_RELATION_TYPE relation)
{
    if (!NT_SUCCESS(result.Status) || result.Information == 0) {
        return;
    }
    switch (minor) {
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.Information);
        for (ULONG i = 0; i < relations->Count; ++i) {
            ObDereferenceObject(relations->Objects[i]);
        }
        (void)relation;
        ExFreePool(relations);
        break;
    }
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_DEVICE_TEXT:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_BUS_INFORMATION:
        ExFreePool(reinterpret_cast<PVOID>(result.Information));
        break;
    default: // a state mask, or nothing
        break;
    }
}

// A query that changes nothing, with parameters from the input.
void Query(FuzzInput& in, PDEVICE_OBJECT device, bool adapter)
{
    static const UCHAR Minors[] = {
        IRP_MN_QUERY_CAPABILITIES,
        IRP_MN_QUERY_DEVICE_RELATIONS,
        IRP_MN_QUERY_PNP_DEVICE_STATE,
        IRP_MN_QUERY_RESOURCES,
        IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
        IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
        IRP_MN_DEVICE_USAGE_NOTIFICATION,
        IRP_MN_QUERY_BUS_INFORMATION,
        IRP_MN_QUERY_ID,
        IRP_MN_QUERY_DEVICE_TEXT,
        IRP_MN_QUERY_INTERFACE,
        IRP_MN_CANCEL_STOP_DEVICE,
        IRP_MN_CANCEL_REMOVE_DEVICE,
        IRP_MN_QUERY_LEGACY_BUS_INFORMATION,
        IRP_MN_DEVICE_ENUMERATED,
        0x1A,
        0xFF,
    };
    const UCHAR minor = Minors[in.Below(sizeof(Minors))];
    uint8_t pick = in.Byte();
    DEVICE_CAPABILITIES capabilities;
    std::memset(&capabilities, 0, sizeof(capabilities));
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    static const GUID Other = {0x0DEAD, 0xBEEF, 0x0001, {9, 8, 7, 6, 5, 4, 3, 2}};
    UCHAR buffer[64] = {};
    // Bus relations belong to the manager, which keeps its view of the children in step with
    // them (see HmInvalidateBusRelations); any other type may be asked here.
    DEVICE_RELATION_TYPE relation = static_cast<DEVICE_RELATION_TYPE>(1 + pick % 5);
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && relation == TargetDeviceRelation) {
        HmQueryTargetRelation(device);
        return;
    }
    HmIrpResult result = HmSendPnp(device, minor, [&](PIO_STACK_LOCATION s) {
        switch (minor) {
        case IRP_MN_QUERY_CAPABILITIES:
            s->Parameters.DeviceCapabilities.Capabilities = &capabilities;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            s->Parameters.QueryDeviceRelations.Type = relation;
            break;
        case IRP_MN_QUERY_ID:
            s->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(pick % 8);
            break;
        case IRP_MN_QUERY_DEVICE_TEXT:
            s->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(pick % 3);
            s->Parameters.QueryDeviceText.LocaleId = (pick & 0x80) != 0 ? 0x409 : in.U32();
            break;
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            s->Parameters.UsageNotification.InPath = pick & 1;
            s->Parameters.UsageNotification.Type =
                static_cast<DEVICE_USAGE_NOTIFICATION_TYPE>((pick >> 1) % 6);
            break;
        case IRP_MN_QUERY_INTERFACE:
            // Another interface (the port's own is queried by the interface operations).
            s->Parameters.QueryInterface.InterfaceType = &Other;
            s->Parameters.QueryInterface.Size = sizeof(buffer);
            s->Parameters.QueryInterface.Version = 1;
            s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(buffer);
            s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
            break;
        default:
            break;
        }
    });
    (void)adapter;
    DropAnswer(minor, result, relation);
}

// Query-stop, then the stop or its cancel; a refused query is cancelled.
void StopAttempt(FuzzInput& in, PDEVICE_OBJECT device)
{
    NTSTATUS query = HmSendPnp(device, IRP_MN_QUERY_STOP_DEVICE).Status;
    bool stop = NT_SUCCESS(query) && in.Bool();
    HmSendPnp(device, stop ? IRP_MN_STOP_DEVICE : IRP_MN_CANCEL_STOP_DEVICE);
}

class Sequence {
public:
    Sequence(DriverRun& run, PDEVICE_OBJECT pdo) : Run(run), Pdo(pdo) {}

    // Runs one step; false when the adapter has left the machine.
    bool Step(FuzzInput& in)
    {
        const unsigned op = in.Below(16);
        if (!Added) {
            // Only the adapter's own PDO remains: add the driver again or stop here.
            if (op % 2 == 0) {
                DRIVER_CHECK(HmAddDevice(Run.Driver, Pdo) == STATUS_SUCCESS);
                Added = true;
            }
            return true;
        }
        std::vector<PDEVICE_OBJECT> ports = HmPortDevices(Pdo);
        PDEVICE_OBJECT port = ports.empty() ? nullptr : ports[in.Below(ports.size())];
        switch (op) {
        case 0:
            HmStartAdapter(Pdo);
            break;
        case 1:
            HmRebalance(Pdo, HmDefaultAssignment(Pdo));
            break;
        case 2:
            Query(in, Pdo, true);
            break;
        case 3:
            StopAttempt(in, Pdo);
            break;
        case 4:
            if (port != nullptr) {
                Query(in, port, false);
            }
            break;
        case 5:
            if (port != nullptr) {
                PortStateChange(in, port);
            }
            break;
        case 6:
        case 7:
            if (port != nullptr) {
                Interface(in, port);
            }
            break;
        case 8: {
            // Sleep and wake, as the power manager sends them.
            static const SYSTEM_POWER_STATE Sleeps[] = {PowerSystemSleeping1, PowerSystemSleeping2,
                                                        PowerSystemSleeping3, PowerSystemHibernate};
            HmSetSystemPower(Sleeps[in.Below(4)]);
            HmSetSystemPower(PowerSystemWorking);
            break;
        }
        case 9: {
            // A system query that another device refused: the manager sends S0 after it.
            POWER_STATE state;
            state.SystemState = static_cast<SYSTEM_POWER_STATE>(2 + in.Below(5));
            HmSendPower(Pdo, IRP_MN_QUERY_POWER, SystemPowerState, state);
            state.SystemState = PowerSystemWorking;
            HmSendPower(Pdo, IRP_MN_SET_POWER, SystemPowerState, state);
            break;
        }
        case 10:
            if (port != nullptr) {
                // The port's function driver owns its power policy: any device state.
                POWER_STATE state;
                state.DeviceState = static_cast<DEVICE_POWER_STATE>(1 + in.Below(4));
                HmSendPower(port, in.Bool() ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER,
                            DevicePowerState, state);
            }
            break;
        case 11:
            HmInvalidateBusRelations(Pdo);
            HmWaitPnpIdle();
            break;
        case 12:
            // Disable or uninstall: the port function drivers are gone before the removal.
            Run.ReleaseInterfaces(nullptr);
            if (NT_SUCCESS(HmRemoveAdapter(Pdo))) {
                Added = false;
            }
            break;
        case 13:
            Run.ReleaseInterfaces(nullptr);
            HmSurpriseRemoveAdapter(Pdo);
            return false;
        default:
            if (!Run.Held.empty()) {
                Operate(in, Run.Held[in.Below(Run.Held.size())]);
            }
            break;
        }
        return true;
    }

private:
    // A port device's own start, stop and removal (the port alone disabled or enabled).
    void PortStateChange(FuzzInput& in, PDEVICE_OBJECT port)
    {
        switch (in.Below(5)) {
        case 0:
            HmSendPnp(port, IRP_MN_START_DEVICE);
            break;
        case 1:
            StopAttempt(in, port);
            break;
        case 2:
            if (NT_SUCCESS(HmSendPnp(port, IRP_MN_QUERY_REMOVE_DEVICE).Status) && in.Bool()) {
                Run.ReleaseInterfaces(port);
                HmSendPnp(port, IRP_MN_REMOVE_DEVICE);
            } else {
                HmSendPnp(port, IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            break;
        case 3:
            // The port reported failed: surprise removal, then removal.
            Run.ReleaseInterfaces(port);
            HmSendPnp(port, IRP_MN_SURPRISE_REMOVAL);
            HmSendPnp(port, IRP_MN_REMOVE_DEVICE);
            break;
        default:
            HmSendPnp(port, in.Bool() ? IRP_MN_EJECT : IRP_MN_SET_LOCK,
                      [&](PIO_STACK_LOCATION s) { s->Parameters.SetLock.Lock = in.Bool(); });
            break;
        }
    }

    // IRP_MN_QUERY_INTERFACE for the port interface, well formed or not.
    void Interface(FuzzInput& in, PDEVICE_OBJECT port)
    {
        uint8_t shape = in.Byte();
        USHORT size = (shape & 1) != 0 ? in.U16() : CORPORT_INTERFACE_SIZE;
        USHORT version = (shape & 2) != 0 ? in.U16() : CORPORT_INTERFACE_VERSION;
        NTSTATUS status = Run.QueryInterface(port, size, version, (shape & 4) != 0);
        if (size == CORPORT_INTERFACE_SIZE && version == CORPORT_INTERFACE_VERSION &&
            (shape & 4) == 0) {
            DRIVER_CHECK(status == STATUS_SUCCESS);
        } else if ((shape & 4) == 0) {
            DRIVER_CHECK(!NT_SUCCESS(status));
        }
    }

    // One call through a held interface.
    void Operate(FuzzInput& in, HeldInterface& held)
    {
        CORPORT_BUS_INTERFACE& itf = held.Interface;
        switch (in.Below(5)) {
        case 0: {
            CORPORT_RESOURCES resources;
            std::memset(&resources, 0x5A, sizeof(resources));
            NTSTATUS status = itf.GetResources(itf.Context, &resources);
            DRIVER_CHECK(status == STATUS_SUCCESS || status == STATUS_DEVICE_CONFIGURATION_ERROR);
            if (status == STATUS_SUCCESS) {
                ULONG length;
                std::memcpy(&length, &resources.IoLength, sizeof(length));
                DRIVER_CHECK(length == 8);
            }
            break;
        }
        case 1:
            if (NT_SUCCESS(itf.ConnectIsr(itf.Context, DriverRun::QuietIsr, nullptr))) {
                held.Hooked = true;
            }
            break;
        case 2:
            itf.DisconnectIsr(itf.Context);
            held.Hooked = false;
            break;
        case 3:
            itf.InterfaceReference(itf.Context);
            itf.InterfaceDereference(itf.Context);
            break;
        default: {
            // The port function driver is done with this reference.
            if (held.Hooked) {
                itf.DisconnectIsr(itf.Context);
            }
            itf.InterfaceDereference(itf.Context);
            for (auto it = Run.Held.begin(); it != Run.Held.end(); ++it) {
                if (&*it == &held) {
                    Run.Held.erase(it);
                    break;
                }
            }
            break;
        }
        }
    }

    DriverRun& Run;
    PDEVICE_OBJECT Pdo;
    bool Added = true;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    DriverRun run;
    PDEVICE_OBJECT pdo = HmPlugAdapter(ModelOf(in));
    DRIVER_CHECK(HmAddDevice(run.Driver, pdo) == STATUS_SUCCESS);
    Sequence sequence(run, pdo);
    for (int step = 0; step < 48 && !in.Empty(); ++step) {
        if (!sequence.Step(in)) {
            break;
        }
    }
    return 0;
}
