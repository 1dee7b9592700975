// The COM name database stand-in that the tests put in place of Wine's msports.dll: it must keep
// the database exactly where and how Windows keeps it, since the tests preset and inspect it
// through the registry.
#include <gtest/gtest.h>

#include "harness.h"

#include <ddk/msports.h>

namespace {

class ComDbTest : public testing::Test {
protected:
    void SetUp() override
    {
        harness::ResetComDb({3});
        // The program's directory comes first in the search order, so this is the stand-in.
        module_ = LoadLibraryW(L"msports.dll");
        ASSERT_NE(nullptr, module_);
        open_ = Get<decltype(&ComDBOpen)>("ComDBOpen");
        close_ = Get<decltype(&ComDBClose)>("ComDBClose");
        usage_ = Get<decltype(&ComDBGetCurrentPortUsage)>("ComDBGetCurrentPortUsage");
        claim_ = Get<decltype(&ComDBClaimPort)>("ComDBClaimPort");
        release_ = Get<decltype(&ComDBReleasePort)>("ComDBReleasePort");
        ASSERT_EQ(ERROR_SUCCESS, open_(&database_));
        ASSERT_NE(HCOMDB_INVALID_HANDLE_VALUE, database_);
    }
    void TearDown() override
    {
        if (database_ != HCOMDB_INVALID_HANDLE_VALUE) {
            EXPECT_EQ(ERROR_SUCCESS, close_(database_));
        }
        harness::ResetComDb();
    }
    template <typename T> T Get(const char* name)
    {
        auto function = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        EXPECT_NE(nullptr, function) << name;
        return function;
    }

    HMODULE module_ = nullptr;
    HCOMDB database_ = HCOMDB_INVALID_HANDLE_VALUE;
    decltype(&ComDBOpen) open_ = nullptr;
    decltype(&ComDBClose) close_ = nullptr;
    decltype(&ComDBGetCurrentPortUsage) usage_ = nullptr;
    decltype(&ComDBClaimPort) claim_ = nullptr;
    decltype(&ComDBReleasePort) release_ = nullptr;
};

TEST_F(ComDbTest, ReportsTheRegistryBitmapBitByBit)
{
    DWORD ports = 0;
    EXPECT_EQ(ERROR_SUCCESS, usage_(database_, nullptr, 0, CDB_REPORT_BITS, &ports));
    EXPECT_EQ(256u, ports);
    BYTE bits[32];
    memset(bits, 0xAA, sizeof(bits));
    EXPECT_EQ(ERROR_SUCCESS, usage_(database_, bits, sizeof(bits), CDB_REPORT_BITS, &ports));
    EXPECT_EQ(0x04, bits[0]); // COM3 is bit 2 of byte 0
    for (int i = 1; i < 32; ++i) {
        EXPECT_EQ(0, bits[i]) << i;
    }
    BYTE bytes[256];
    EXPECT_EQ(ERROR_SUCCESS, usage_(database_, bytes, sizeof(bytes), CDB_REPORT_BYTES, &ports));
    EXPECT_EQ(1, bytes[2]);
    EXPECT_EQ(0, bytes[0]);
    EXPECT_EQ(0, bytes[3]);
}

TEST_F(ComDbTest, ClaimsAndReleasesInTheRegistry)
{
    BOOL forced = TRUE;
    EXPECT_EQ(ERROR_SUCCESS, claim_(database_, 9, FALSE, &forced));
    EXPECT_FALSE(forced);
    EXPECT_EQ(ERROR_SUCCESS, claim_(database_, 256, FALSE, nullptr));
    EXPECT_EQ(std::vector<int>({3, 9, 256}), harness::ClaimedComNumbers());

    EXPECT_EQ(ERROR_SHARING_VIOLATION, claim_(database_, 3, FALSE, &forced));
    EXPECT_EQ(ERROR_SUCCESS, claim_(database_, 3, TRUE, &forced));
    EXPECT_TRUE(forced);

    EXPECT_EQ(ERROR_SUCCESS, release_(database_, 3));
    EXPECT_EQ(ERROR_SUCCESS, release_(database_, 256));
    EXPECT_EQ(std::vector<int>({9}), harness::ClaimedComNumbers());
}

TEST_F(ComDbTest, RefusesNumbersOutsideTheDatabase)
{
    EXPECT_EQ(ERROR_INVALID_PARAMETER, release_(database_, 0));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, claim_(database_, 0, TRUE, nullptr));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, claim_(database_, 257, TRUE, nullptr));
    EXPECT_EQ(std::vector<int>({3}), harness::ClaimedComNumbers());
}

} // namespace
