// Test support for suites that run the driver on the simulated machine: the kernel stand-in's
// test interface (hostkernel.h), the machine (machine.h), the Win32-like COM port client
// (comport.h) and a GoogleTest fixture.
//
// HmTest gives every test a fresh machine and kernel (HmReset, which joins the machine's threads
// before it resets the stand-in), turns every verifier finding into a test failure the moment it
// happens, and at the end removes and unplugs every adapter through the plug-and-play manager
// (HmUnplugAll), so that the leak checks see only what the driver under test left behind.
//
//     class AdapterStart : public HmTest {};
//     TEST_F(AdapterStart, PortsGetTheirRegisterBlocks)
//     {
//         PDRIVER_OBJECT drv = LoadDriver(DriverEntry, L"corcard");
//         PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
//         ASSERT_EQ(HmAddDevice(drv, pdo), STATUS_SUCCESS);
//         ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS);
//         ...
//     }   // TearDown: HmUnplugAll, HkUnloadDriver(drv), HkCheckClean
#pragma once

#include "client/comport.h" // a Win32 program's view of a COM port (link hostclient)
#include "kernel/hostkernel.h"
#include "machine/machine.h"

#include <gtest/gtest.h>

class HmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HmReset();
        HkSetViolationHandler([](const HkViolation& violation) {
            ADD_FAILURE() << "kernel verifier: " << violation.What;
        });
    }

    void TearDown() override
    {
        HmUnplugAll();
        for (PDRIVER_OBJECT driver : Drivers) {
            HkUnloadDriver(driver);
        }
        Drivers.clear();
        EXPECT_TRUE(HkCheckClean()) << "the kernel stand-in is not clean at the end of the test";
        HkSetViolationHandler(nullptr);
        HmReset();
    }

    // Loads a driver that TearDown unloads after the machine is gone.
    PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, const WCHAR* name)
    {
        PDRIVER_OBJECT driver = HkLoadDriver(entry, name);
        if (driver) {
            Drivers.push_back(driver);
        }
        return driver;
    }

    std::vector<PDRIVER_OBJECT> Drivers;
};
