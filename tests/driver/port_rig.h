// Shared rig of the port device, port interface, power and end-to-end suites: corcard loaded on
// the kernel stand-in, one adapter of the simulated machine, and requests built the way the
// platform builds them (status preset to STATUS_NOT_SUPPORTED, sent at PASSIVE_LEVEL).
#pragma once

#include "corcard.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace portrig {

// The manager's worker may report a violation on its own thread: gtest records it either way.
inline void ArmVerifier()
{
    HkSetViolationHandler([](const HkViolation& v) { ADD_FAILURE() << "verifier: " << v.What; });
}

struct DirectResult {
    NTSTATUS Returned;     // what the dispatch routine returned
    NTSTATUS Status;       // IoStatus.Status at completion
    ULONG_PTR Information; // IoStatus.Information at completion
};

inline NTSTATUS StopAtCompletion(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request straight to device from the calling thread and waits for its completion.
// information is what IoStatus.Information carries in (an upper driver's answer).
inline DirectResult SendDirect(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                               const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                               ULONG_PTR information = 0, NTSTATUS preset = STATUS_NOT_SUPPORTED)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr) {
        return {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill) {
        fill(stack);
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, StopAtCompletion, &done, TRUE, TRUE, TRUE);
    DirectResult result;
    result.Returned = IofCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return result;
}

inline DirectResult SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                            const std::function<void(PIO_STACK_LOCATION)>& fill = {},
                            ULONG_PTR information = 0, NTSTATUS preset = STATUS_NOT_SUPPORTED)
{
    return SendDirect(device, IRP_MJ_PNP, minor, fill, information, preset);
}

// The UTF-16 units of a pool answer, up to and including the first double zero (at most max).
inline std::u16string UnitsThroughDoubleZero(const void* buffer, size_t max = 600)
{
    const char16_t* p = static_cast<const char16_t*>(buffer);
    std::u16string units;
    for (size_t i = 0; i < max; i++) {
        units.push_back(p[i]);
        if (i > 0 && p[i] == 0 && p[i - 1] == 0) {
            break;
        }
    }
    return units;
}

inline std::u16string U16(const char* ascii)
{
    std::u16string s;
    while (*ascii != 0) {
        s.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii++)));
    }
    return s;
}

// A string answer with its two terminating zero units, as the driver hands them over.
inline std::u16string Answer(const std::u16string& text)
{
    std::u16string s = text;
    s.push_back(0);
    s.push_back(0);
    return s;
}

inline std::string Narrow(const std::u16string& s)
{
    return HmNarrow(s);
}

// The adapter's function device object: the top of the stack above the bus's PDO (nothing is
// attached above the adapter).
inline PDEVICE_OBJECT AdapterDevice(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

inline PADAPTER_EXTENSION AdapterExt(PDEVICE_OBJECT pdo)
{
    return AdapterOf(AdapterDevice(pdo));
}

// Port extensions of an adapter in PortList order (also those the manager does not know yet).
inline std::vector<PPORT_EXTENSION> PortExts(PADAPTER_EXTENSION adapter)
{
    std::vector<PPORT_EXTENSION> ports;
    for (PLIST_ENTRY e = adapter->PortList.Flink; e != &adapter->PortList; e = e->Flink) {
        ports.push_back(PortFromLink(e));
    }
    return ports;
}

// IRP_MN_QUERY_INTERFACE as a port function driver sends it.
inline DirectResult QueryInterface(PDEVICE_OBJECT port, const GUID& type, USHORT size,
                                   USHORT version, void* buffer)
{
    return SendPnp(port, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = &type;
        s->Parameters.QueryInterface.Size = size;
        s->Parameters.QueryInterface.Version = version;
        s->Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(buffer);
        s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    });
}

// Takes the interface of a port (must succeed).
inline CORPORT_BUS_INTERFACE TakeInterface(PDEVICE_OBJECT port)
{
    CORPORT_BUS_INTERFACE record;
    std::memset(&record, 0, sizeof(record));
    DirectResult r = QueryInterface(port, CORPORT_INTERFACE_GUID, CORPORT_INTERFACE_SIZE,
                                    CORPORT_INTERFACE_VERSION, &record);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    return record;
}

// A member of a 4-byte-packed record, copied out: the assertion macros bind references, and a
// reference to a pointer or 64-bit member of such a record may be misaligned.
template <typename T> inline T Field(T value)
{
    return value;
}

// Machine options for suites that play the port function driver themselves.
inline void NoPortDrivers()
{
    HmPnpOptions options;
    options.BindPortDrivers = false;
    HmSetPnpOptions(options);
}

// corcard loaded, port drivers left unbound (the suite plays them), and one adapter plugged on
// request; at the end everything unplugged, the driver unloaded and the stand-in clean.
class PortRigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HmReset();
        ArmVerifier();
        NoPortDrivers();
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }

    void TearDown() override
    {
        HmUnplugAll();
        HkUnloadDriver(Driver);
        EXPECT_TRUE(HkCheckClean());
        HkSetViolationHandler(nullptr);
    }

    // Plugs and adds an adapter; started unless asked otherwise.
    void Plug(HmModel model, bool start = true)
    {
        Pdo = HmPlugAdapter(model);
        ASSERT_EQ(HmAddDevice(Driver, Pdo), STATUS_SUCCESS);
        Adapter = AdapterExt(Pdo);
        Ports = PortExts(Adapter);
        if (start) {
            ASSERT_EQ(HmStartAdapter(Pdo), STATUS_SUCCESS);
        }
    }

    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PADAPTER_EXTENSION Adapter = nullptr;
    std::vector<PPORT_EXTENSION> Ports;
};

} // namespace portrig
