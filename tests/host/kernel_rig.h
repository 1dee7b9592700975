// A small driver for testing the kernel stand-in itself: each device object carries a dispatch
// behaviour given by the test, so a test builds exactly the device stack it needs.
#pragma once

#include "hkfixture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

inline std::u16string Text16(const UNICODE_STRING& s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

using DispatchBehaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline NTSTATUS RigDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* behaviour = *static_cast<DispatchBehaviour**>(device->DeviceExtension);
    return (*behaviour)(device, irp);
}

inline NTSTATUS RigEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = RigDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = RigDispatch;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = RigDispatch;
    return STATUS_SUCCESS;
}

// Completes the IRP with a status at once.
inline DispatchBehaviour Completes(NTSTATUS status)
{
    return [status](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
}

// Passes the IRP down to lower without a completion routine.
inline DispatchBehaviour PassesTo(PDEVICE_OBJECT* lower)
{
    return [lower](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(*lower, irp);
    };
}

class KernelTest : public HkTest {
protected:
    void SetUp() override
    {
        HkTest::SetUp();
        Driver = HkLoadDriver(RigEntry, L"rig");
        ASSERT_NE(Driver, nullptr);
    }

    void TearDown() override
    {
        // Delete from the top of every stack down.
        for (auto it = Devices.rbegin(); it != Devices.rend(); ++it) {
            if (HkDeviceExists(*it) && !HkDeviceDeleted(*it)) {
                PDEVICE_OBJECT below = (*it)->DeviceObjectExtension->AttachedTo;
                if (below != nullptr) {
                    IoDetachDevice(below);
                }
                IoDeleteDevice(*it);
            }
        }
        HkUnloadDriver(Driver);
        for (PDRIVER_OBJECT other : OtherDrivers) {
            HkUnloadDriver(other);
        }
        HkTest::TearDown();
    }

    // Another driver with the rig's dispatch, for devices of a second driver in a stack.
    PDRIVER_OBJECT LoadOtherDriver(const WCHAR* name)
    {
        OtherDrivers.push_back(HkLoadDriver(RigEntry, name));
        return OtherDrivers.back();
    }

    // A device with a behaviour, attached above `below` when given; of the rig's driver unless
    // another one (LoadOtherDriver) is given.
    PDEVICE_OBJECT MakeDevice(DispatchBehaviour behaviour, PDEVICE_OBJECT below = nullptr,
                              PDRIVER_OBJECT driver = nullptr)
    {
        Behaviours.push_back(std::make_unique<DispatchBehaviour>(std::move(behaviour)));
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver ? driver : Driver, sizeof(void*), nullptr,
                                         FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        *static_cast<DispatchBehaviour**>(device->DeviceExtension) = Behaviours.back().get();
        if (below != nullptr) {
            EXPECT_EQ(IoAttachDeviceToDeviceStack(device, below), below);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        Devices.push_back(device);
        return device;
    }

    // A named device for opens by name (the I/O manager's requests reach the behaviour too).
    PDEVICE_OBJECT MakeNamedDevice(const WCHAR* name, DispatchBehaviour behaviour, ULONG flags = 0,
                                   BOOLEAN exclusive = FALSE, ULONG characteristics = 0)
    {
        for (PDRIVER_DISPATCH& dispatch : Driver->MajorFunction) {
            dispatch = RigDispatch;
        }
        Behaviours.push_back(std::make_unique<DispatchBehaviour>(std::move(behaviour)));
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(Driver, sizeof(void*), name ? &text : nullptr, FILE_DEVICE_SERIAL_PORT,
                           characteristics, exclusive, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        *static_cast<DispatchBehaviour**>(device->DeviceExtension) = Behaviours.back().get();
        device->Flags |= flags;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        Devices.push_back(device);
        return device;
    }

    // Runs fn with the verifier's findings collected instead of failing the test.
    std::vector<std::string> Violations(const std::function<void()>& fn)
    {
        auto found = std::make_shared<std::vector<std::string>>();
        HkSetViolationHandler([found](const HkViolation& v) { found->push_back(v.What); });
        fn();
        HkSetViolationHandler(
            [](const HkViolation& v) { ADD_FAILURE() << "kernel verifier: " << v.What; });
        return *found;
    }

    static bool Mentions(const std::vector<std::string>& found, const std::string& text)
    {
        for (const std::string& what : found) {
            if (what.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // A plug-and-play IRP for the top of device's stack, sent synchronously through the I/O
    // manager the way the plug-and-play manager sends it.
    PIRP BuildPnp(PDEVICE_OBJECT device, UCHAR minor, KEVENT* event, IO_STATUS_BLOCK* iosb)
    {
        KeInitializeEvent(event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, event, iosb);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = minor;
        return irp;
    }

    PDRIVER_OBJECT Driver = nullptr;
    std::vector<PDRIVER_OBJECT> OtherDrivers;
    std::vector<PDEVICE_OBJECT> Devices;
    std::vector<std::unique_ptr<DispatchBehaviour>> Behaviours;
};

// The same, for tests that run threads of their own or the stand-in's (the DPC thread, the clock
// thread, the I/O manager's close thread): the TSan tree runs the suites named ...Concurrency...
class KernelConcurrencyTest : public KernelTest {};

// A counted string over a literal (RTL_CONSTANT_STRING wants a writable buffer in C++).
inline UNICODE_STRING Us(const WCHAR* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}
