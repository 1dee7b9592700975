// GoogleTest fixture for every suite that runs code on the kernel stand-in: a fresh kernel per
// test, every verifier finding reported as a test failure the moment it happens, and the
// end-of-test leak checks.
#pragma once

#include "hostkernel.h"

#include <gtest/gtest.h>

class HkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkReset();
        HkSetViolationHandler([](const HkViolation& violation) {
            ADD_FAILURE() << "kernel verifier: " << violation.What;
        });
    }

    void TearDown() override
    {
        EXPECT_TRUE(HkCheckClean()) << "the kernel stand-in is not clean at the end of the test";
        HkSetViolationHandler(nullptr);
    }
};
