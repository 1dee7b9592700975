// The rig of corserial's suites: a machine with corcard on its adapters and corserial on their
// ports, boards plugged and started, COM ports opened the Win32 way.
#pragma once

#include "testsupport.h"

#include <string>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;          // corcard
extern "C" DRIVER_INITIALIZE CorSerialDriverEntry; // corserial (so named in the host build)

class SerialTest : public HmTest {
protected:
    void SetUp() override
    {
        HmTest::SetUp();
        Corcard = LoadDriver(DriverEntry, L"corcard");
        Corserial = LoadDriver(CorSerialDriverEntry, L"corserial");
        ASSERT_NE(Corcard, nullptr);
        ASSERT_NE(Corserial, nullptr);
        Options.PortDriver = Corserial;
        HmSetPnpOptions(Options);
        if (HmForcedPending()) {
            // What corserial sends its port device (the interface query, the plug-and-play and
            // power requests it passes on) is answered late too.
            HkForcePendingBelow(Corserial);
        }
    }

    // Plugs a board and starts it: its ports get COM names (COM3 up) and corserial.
    PDEVICE_OBJECT Plug(HmModel model = HmModel::LX4A)
    {
        PDEVICE_OBJECT pdo = HmPlugAdapter(model);
        EXPECT_EQ(HmAddDevice(Corcard, pdo), STATUS_SUCCESS);
        EXPECT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
        return pdo;
    }

    // The COM name of a port of a board.
    static std::u16string NameOf(PDEVICE_OBJECT adapter, ULONG port)
    {
        ULONG type = 0;
        std::vector<UCHAR> data;
        if (!HkRegQueryValue(HmDeviceKey(HmPortDevices(adapter).at(port)), u"PortName", &type,
                             &data)) {
            return {};
        }
        std::u16string name(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
        return name.substr(0, name.find(u'\0'));
    }

    // Opens a port with the line settings a test wants (everything else as a fresh port has it).
    static void OpenAt(ComPort& port, const std::u16string& name, ULONG baud = 115200)
    {
        ASSERT_EQ(port.Open(name), STATUS_SUCCESS);
        ComDcb dcb;
        ASSERT_TRUE(port.GetCommState(&dcb));
        dcb.BaudRate = baud;
        ASSERT_TRUE(port.SetCommState(dcb));
    }

    // A lower filter of the test's own between the port driver and the port device (attached to
    // a port device whose function driver has not been added yet): its device object; the port
    // device is the one below it.
    PDEVICE_OBJECT AttachLowerFilter(PDRIVER_INITIALIZE entry, const WCHAR* name,
                                     PDEVICE_OBJECT pdo)
    {
        PDRIVER_OBJECT driver = LoadDriver(entry, name);
        PDEVICE_OBJECT filter = nullptr;
        if (driver == nullptr || IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                                &filter) != STATUS_SUCCESS) {
            ADD_FAILURE() << "no filter device";
            return nullptr;
        }
        EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
        filter->Flags |= pdo->Flags & DO_POWER_PAGABLE;
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
        return filter;
    }

    HmPnpOptions Options;
    PDRIVER_OBJECT Corcard = nullptr;
    PDRIVER_OBJECT Corserial = nullptr;
};

// Bytes whose position shows: a lost, doubled or reordered byte changes what follows.
inline std::vector<UCHAR> Pattern(size_t length, unsigned seed = 1)
{
    std::vector<UCHAR> bytes(length);
    for (size_t k = 0; k < length; ++k) {
        bytes[k] = static_cast<UCHAR>(seed * 37 + k * 7 + k / 251);
    }
    return bytes;
}

inline SERIAL_TIMEOUTS Timeouts(ULONG interval, ULONG multiplier, ULONG constant,
                                ULONG writeMultiplier = 0, ULONG writeConstant = 0)
{
    return SERIAL_TIMEOUTS{interval, multiplier, constant, writeMultiplier, writeConstant};
}

constexpr LONGLONG Ms = 10000; // 100 ns units per millisecond
