// Rig of the start, adapter plug-and-play and interrupt suites: corcard on the simulated machine
// with no port function driver bound (the tests play it where one is needed), resource lists
// handed over as the platform hands them, and a status register whose bytes a test scripts.
#pragma once

#include "port_rig.h"
#include "spine_support.h"
#include "interrupt/interrupt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace adapterrig {

using portrig::DirectResult;
using spine::Error;
using spine::Report;
using spine::Reports;

constexpr ULONG PciBar0Offset = 0x10;

// A CM_RESOURCE_LIST owned by the test, aligned as pool would be.
class OwnedList {
public:
    explicit OwnedList(const HmResourceList& list)
    {
        std::vector<UCHAR> bytes = HmBuildResourceList(list);
        Words.resize((bytes.size() + 7) / 8);
        std::memcpy(Words.data(), bytes.data(), bytes.size());
    }
    PCM_RESOURCE_LIST Get() { return reinterpret_cast<PCM_RESOURCE_LIST>(Words.data()); }

private:
    std::vector<ULONG64> Words;
};

// Sends one plug-and-play request to device from the calling thread and waits for it. armed runs
// after the IRP is built and just before it is sent (to arm a fault at the driver's own calls).
inline DirectResult SendPnpArmed(PDEVICE_OBJECT device, UCHAR minor,
                                 const std::function<void(PIO_STACK_LOCATION)>& fill,
                                 const std::function<void()>& armed = {})
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (fill) {
        fill(stack);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, portrig::StopAtCompletion, &done, TRUE, TRUE, TRUE);
    if (armed) {
        armed();
    }
    DirectResult result;
    result.Returned = IofCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return result;
}

// IRP_MN_START_DEVICE with the assignment's lists, straight to the adapter device: the manager
// does not learn of the start and enumerates nothing.
inline DirectResult StartDirect(PDEVICE_OBJECT fdo, const HmAssignment& assignment,
                                const std::function<void()>& armed = {})
{
    OwnedList raw(assignment.Raw);
    OwnedList translated(assignment.Translated);
    return SendPnpArmed(
        fdo, IRP_MN_START_DEVICE,
        [&](PIO_STACK_LOCATION s) {
            s->Parameters.StartDevice.AllocatedResources = assignment.NoRaw ? nullptr : raw.Get();
            s->Parameters.StartDevice.AllocatedResourcesTranslated =
                assignment.NoTranslated ? nullptr : translated.Get();
        },
        armed);
}

// A one-byte register whose reads follow a script: the listed bytes in turn, then Then for ever.
// Writes are ignored (the status register is read-only).
class ScriptedRegister {
public:
    void Map(ULONG64 base, ULONG length = 1) { HkMapIo(base, length, &Handler, this); }
    void Script(const std::vector<UCHAR>& values, UCHAR then)
    {
        std::lock_guard<std::mutex> lock(Mu);
        Values.assign(values.begin(), values.end());
        Then = then;
    }

private:
    static ULONG Read(void* context, ULONG, int)
    {
        auto self = static_cast<ScriptedRegister*>(context);
        std::lock_guard<std::mutex> lock(self->Mu);
        if (self->Values.empty()) {
            return self->Then;
        }
        UCHAR value = self->Values.front();
        self->Values.pop_front();
        return value;
    }
    static void Write(void*, ULONG, int, ULONG) {}
    static constexpr HkIoHandler Handler = {Read, Write};

    std::mutex Mu;
    std::deque<UCHAR> Values;
    UCHAR Then = 0;
};

// I/O accesses of the log at or above from and below from + length.
inline std::vector<HkIoAccess> IoAccessesIn(ULONG64 from, ULONG length)
{
    std::vector<HkIoAccess> found;
    for (const HkIoAccess& a : HkIoLog()) {
        if (a.Address >= from && a.Address < from + length) {
            found.push_back(a);
        }
    }
    return found;
}

inline size_t ReadsOf(ULONG64 address)
{
    size_t reads = 0;
    for (const HkIoAccess& a : HkIoLog()) {
        reads += a.Address == address && !a.Write ? 1 : 0;
    }
    return reads;
}

// One expected byte access, printed readably when a sequence differs.
struct Access {
    ULONG64 Address;
    bool Write;
    ULONG Value;
    bool operator==(const Access& o) const
    {
        return Address == o.Address && Write == o.Write && Value == o.Value;
    }
};
inline std::ostream& operator<<(std::ostream& out, const Access& a)
{
    return out << (a.Write ? "W " : "R ") << std::hex << "0x" << a.Address << " = 0x" << a.Value
               << std::dec;
}
inline std::vector<Access> Simplify(const std::vector<HkIoAccess>& log)
{
    std::vector<Access> out;
    for (const HkIoAccess& a : log) {
        EXPECT_EQ(a.Width, 1) << "every access is a single byte";
        out.push_back({a.Address, a.Write, a.Value});
    }
    return out;
}

// corcard on a fresh machine with no port function driver; a failed start is not followed by a
// removal unless a test removes the adapter itself.
class AdapterRig : public ::testing::Test {
protected:
    void SetUp() override
    {
        HmReset();
        portrig::ArmVerifier();
        HmPnpOptions options;
        options.BindPortDrivers = false;
        options.RemoveOnFailedStart = false;
        HmSetPnpOptions(options);
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }

    void TearDown() override
    {
        for (CORPORT_BUS_INTERFACE& held : Held) {
            held.InterfaceDereference(held.Context);
        }
        Held.clear();
        HmUnplugAll();
        if (Driver != nullptr) {
            HkUnloadDriver(Driver);
        }
        EXPECT_TRUE(HkCheckClean());
        HkSetViolationHandler(nullptr);
    }

    void Plug(HmModel model) { PlugConfig(HmBoardConfig(model)); }

    void PlugConfig(const HmPciConfig& config)
    {
        Pdo = HmPlugAdapter(config);
        ASSERT_NE(Pdo, nullptr);
        ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
        Fdo = portrig::AdapterDevice(Pdo);
        Adapter = AdapterOf(Fdo);
        Ports = portrig::PortExts(Adapter);
    }

    void Stop()
    {
        ASSERT_EQ(HmSendPnp(Pdo, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
        ASSERT_EQ(HmSendPnp(Pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    }

    // The port interface as a port function driver holds it; released at the end of the test.
    CORPORT_BUS_INTERFACE& Interface(size_t port)
    {
        Held.push_back(portrig::TakeInterface(Ports.at(port)->Self));
        return Held.back();
    }

    // No port holds a register block, and the port interface says so.
    void ExpectNoPortRanges()
    {
        for (size_t k = 0; k < Ports.size(); ++k) {
            SCOPED_TRACE("port " + std::to_string(k));
            EXPECT_EQ(Ports[k]->IoBase, 0u);
            EXPECT_EQ(Ports[k]->IoLength, 0u);
            EXPECT_EQ(Ports[k]->InterruptMask, 0u);
            CORPORT_BUS_INTERFACE& itf = Interface(k);
            CORPORT_RESOURCES resources;
            std::memset(&resources, 0xA5, sizeof(resources));
            EXPECT_EQ(itf.GetResources(itf.Context, &resources), STATUS_DEVICE_CONFIGURATION_ERROR);
        }
    }

    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    PADAPTER_EXTENSION Adapter = nullptr;
    std::vector<PPORT_EXTENSION> Ports;
    std::deque<CORPORT_BUS_INTERFACE> Held;
};

} // namespace adapterrig
