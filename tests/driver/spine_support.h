// Helpers shared by the tests of the driver's frame, event log, catalogue and enumeration: load
// corcard on the kernel stand-in, look at what add-device built, read the event log as text.
#pragma once

#include "corcard.h"
#include "hkfixture.h"
#include "machine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace spine {

// The corcard driver object loaded on a fresh machine; torn down in the order the platform does
// it (devices removed, machine drivers gone, corcard unloaded), then the stand-in's end checks.
class CorcardTest : public HkTest {
protected:
    void SetUp() override
    {
        HkTest::SetUp();
        HmReset();
        Driver = HkLoadDriver(DriverEntry, L"corcard");
        ASSERT_NE(Driver, nullptr);
    }
    void TearDown() override
    {
        HmUnplugAll();
        if (Driver != nullptr) {
            HkUnloadDriver(Driver);
            Driver = nullptr;
        }
        HkTest::TearDown();
    }

    // Unloads corcard now (the test then sees what unload left behind).
    void UnloadCorcard()
    {
        HkUnloadDriver(Driver);
        Driver = nullptr;
    }

    PDRIVER_OBJECT Driver = nullptr;
};

// The adapter device attached directly above a PDO, or nullptr.
inline PDEVICE_OBJECT AdapterDeviceOn(PDEVICE_OBJECT pdo)
{
    return pdo->AttachedDevice;
}

inline PADAPTER_EXTENSION AdapterOn(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = AdapterDeviceOn(pdo);
    return fdo == nullptr ? nullptr : AdapterOf(fdo);
}

// The adapter's port extensions in PortList order.
inline std::vector<PPORT_EXTENSION> PortsOf(PADAPTER_EXTENSION adapter)
{
    std::vector<PPORT_EXTENSION> ports;
    for (PLIST_ENTRY e = adapter->PortList.Flink; e != &adapter->PortList; e = e->Flink) {
        ports.push_back(PortFromLink(e));
    }
    return ports;
}

// Device objects of a driver, in the driver's list order.
inline std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        devices.push_back(d);
    }
    return devices;
}

struct Report {
    ULONG Code;
    std::string Text;
    bool operator==(const Report& other) const { return Code == other.Code && Text == other.Text; }
};

inline std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << "{0x" << std::hex << report.Code << std::dec << ", \"" << report.Text << "\"}";
}

// The event log as (code, sentence) pairs, in order.
inline std::vector<Report> Reports()
{
    std::vector<Report> reports;
    for (const HkErrorLogEntry& entry : HkErrorLog()) {
        reports.push_back({entry.ErrorCode, HmNarrow(entry.Text)});
    }
    return reports;
}

inline Report Error(const char* text)
{
    return {CorMsgError, text};
}

// Requests of one kind that reached the PCI bus driver for a PDO.
inline std::vector<HmBusRecord> BusRecords(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor)
{
    std::vector<HmBusRecord> records;
    for (const HmBusRecord& r : HmBusRecords(pdo)) {
        if (r.Major == major && r.Minor == minor) {
            records.push_back(r);
        }
    }
    return records;
}

} // namespace spine
