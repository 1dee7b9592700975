// SerialPortPropPageProvider as Device Manager calls it: which ports get the page, which requests
// add one, and who frees the page's blocks on every path.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness.h"

namespace {

using harness::AddPageLog;
using harness::Port;
using harness::Sheet;

// Allocation seam: the DLL's LocalAlloc/LocalFree imports are replaced by these recorders; the
// allocation numbered FailAt (counted from 1) fails.
struct AllocationLog {
    int Calls = 0;
    int FailAt = 0;
    std::vector<void*> Allocated;
    std::vector<void*> Freed;
} allocations;

HLOCAL WINAPI RecordLocalAlloc(UINT flags, SIZE_T size)
{
    if (++allocations.Calls == allocations.FailAt) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HLOCAL block = LocalAlloc(flags, size);
    allocations.Allocated.push_back(block);
    return block;
}

HLOCAL WINAPI RecordLocalFree(HLOCAL block)
{
    allocations.Freed.push_back(block);
    return LocalFree(block);
}

class ProviderTest : public testing::Test {
protected:
    void SetUp() override
    {
        allocations = AllocationLog();
        harness::ResetPortsSection();
    }

    // Every block the DLL allocated was freed exactly once.
    void ExpectEveryBlockFreedOnce()
    {
        EXPECT_EQ(allocations.Allocated.size(), allocations.Freed.size());
        for (void* block : allocations.Allocated) {
            EXPECT_EQ(1, std::count(allocations.Freed.begin(), allocations.Freed.end(), block));
        }
    }

    harness::ImportPatch alloc_ = PATCH_PAGE_IMPORT("kernel32.dll", LocalAlloc, RecordLocalAlloc);
    harness::ImportPatch free_ = PATCH_PAGE_IMPORT("kernel32.dll", LocalFree, RecordLocalFree);
};

TEST_F(ProviderTest, AddsThePortSettingsPageForAdvancedProperties)
{
    Port port;
    AddPageLog log;
    EXPECT_TRUE(harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log));
    ASSERT_EQ(1u, log.Pages.size());
    EXPECT_EQ(reinterpret_cast<LPARAM>(&log), log.Context); // context passed through
    EXPECT_EQ(2u, allocations.Allocated.size());            // page record and advanced block
    EXPECT_TRUE(allocations.Freed.empty());                 // owned by the page now

    // The tab takes the dialog's caption; releasing the page frees both blocks.
    PROPSHEETHEADERW header = {};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS;
    header.pszCaption = L"Properties";
    header.nPages = 1;
    header.phpage = log.Pages.data();
    HWND sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
    ASSERT_NE(nullptr, sheet);
    HWND tabs = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETTABCONTROL, 0, 0));
    wchar_t title[64] = {};
    TCITEMW item = {};
    item.mask = TCIF_TEXT;
    item.pszText = title;
    item.cchTextMax = 64;
    SendMessageW(tabs, TCM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    EXPECT_EQ(std::wstring(L"Port Settings"), title);
    DestroyWindow(sheet);
    ExpectEveryBlockFreedOnce();
}

TEST_F(ProviderTest, OtherPageRequestsAddNothingAndLeaveNothingBehind)
{
    Port port;
    for (DWORD kind :
         {DWORD(SPPSR_SELECT_DEVICE_RESOURCES), DWORD(SPPSR_ENUM_BASIC_DEVICE_PROPERTIES)}) {
        allocations = AllocationLog();
        AddPageLog log;
        EXPECT_TRUE(harness::RequestPages(port, kind, &log)) << kind;
        EXPECT_TRUE(log.Pages.empty()) << kind;
        EXPECT_EQ(1u, allocations.Allocated.size()) << kind;
        ExpectEveryBlockFreedOnce();
    }
}

TEST_F(ProviderTest, RefusedPageFreesBothBlocksOnceThroughThePageCallback)
{
    Port port;
    AddPageLog log;
    log.Answer = FALSE;
    EXPECT_FALSE(harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log));
    EXPECT_EQ(1u, log.Pages.size());
    ASSERT_EQ(2u, allocations.Allocated.size());
    ExpectEveryBlockFreedOnce();
    // The advanced block goes first.
    ASSERT_EQ(2u, allocations.Freed.size());
    EXPECT_EQ(allocations.Allocated[1], allocations.Freed[0]);
}

HPROPSHEETPAGE WINAPI NoPageHandle(LPCPROPSHEETPAGEW)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(ProviderTest, PageThatCannotBeCreatedFreesBothBlocks)
{
    auto create = PATCH_PAGE_IMPORT("comctl32.dll", CreatePropertySheetPageW, NoPageHandle);
    ASSERT_TRUE(create.Applied());
    Port port;
    AddPageLog log;
    EXPECT_FALSE(harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log));
    EXPECT_TRUE(log.Pages.empty());
    EXPECT_EQ(2u, allocations.Allocated.size());
    ExpectEveryBlockFreedOnce();
}

TEST_F(ProviderTest, NoMemoryForThePageRecordTellsTheUser)
{
    Port port;
    allocations.FailAt = 1;
    harness::BoxAnswerer boxes;
    AddPageLog log;
    EXPECT_FALSE(harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log));
    EXPECT_TRUE(log.Pages.empty());
    ASSERT_EQ(1u, boxes.Seen().size());
    EXPECT_EQ(L"Communications Port", boxes.Seen()[0].Caption);
    EXPECT_EQ(0u, boxes.Seen()[0].Text.find(L"Insufficient memory for this operation;\r\r"));
}

TEST_F(ProviderTest, NoMemoryForTheAdvancedBlockStillGivesThePageWithoutAdvanced)
{
    Port port;
    allocations.FailAt = 2;
    {
        Sheet sheet(port);
        ASSERT_TRUE(sheet.Valid());
        EXPECT_FALSE(sheet.Enabled(IDC_ADVANCED));
        EXPECT_TRUE(sheet.Enabled(IDC_RESTORE_DEFAULTS));
        EXPECT_TRUE(sheet.Enabled(IDC_PARITY));
    }
    ASSERT_EQ(1u, allocations.Allocated.size());
    ExpectEveryBlockFreedOnce();
}

// Subclass rule: only a one-byte REG_BINARY "PortSubClass" of 0 in the software key means "no
// page"; every other form, or no value or key at all, gives the page.
struct SubclassCase {
    const char* Name;
    DWORD Type;
    std::vector<BYTE> Data; // empty with Type 0: no software key at all
    bool GetsPage;
};

class SubclassRule : public ProviderTest, public testing::WithParamInterface<SubclassCase> {};

TEST_P(SubclassRule, DecidesWhetherThePortGetsThePage)
{
    const SubclassCase& c = GetParam();
    Port port;
    if (c.Type != 0) {
        port.SetDriverValue(L"PortSubClass", c.Type, c.Data.data(),
                            static_cast<DWORD>(c.Data.size()));
    }
    AddPageLog log;
    BOOL result = harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log);
    EXPECT_EQ(c.GetsPage, result != FALSE);
    EXPECT_EQ(c.GetsPage ? 1u : 0u, log.Pages.size());
    for (HPROPSHEETPAGE page : log.Pages) {
        DestroyPropertySheetPage(page);
    }
    ExpectEveryBlockFreedOnce();
    if (!c.GetsPage) {
        EXPECT_TRUE(allocations.Allocated.empty()); // decided before anything is allocated
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, SubclassRule,
                         testing::Values(SubclassCase{"NoSoftwareKey", 0, {}, true},
                                         SubclassCase{"BinaryZero", REG_BINARY, {0}, false},
                                         SubclassCase{"BinaryOne", REG_BINARY, {1}, true},
                                         SubclassCase{"DwordZero", REG_DWORD, {0, 0, 0, 0}, true},
                                         SubclassCase{"TwoBinaryBytes", REG_BINARY, {0, 0}, true},
                                         SubclassCase{"OneByteOfOtherType", REG_DWORD, {0}, true}),
                         [](const testing::TestParamInfo<SubclassCase>& info) {
                             return info.param.Name;
                         });

TEST_F(ProviderTest, SoftwareKeyWithoutTheValueGivesThePage)
{
    Port port;
    const wchar_t other[] = L"x";
    port.SetDriverValue(L"Other", REG_SZ, other, sizeof(other));
    AddPageLog log;
    EXPECT_TRUE(harness::RequestPages(port, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, &log));
    ASSERT_EQ(1u, log.Pages.size());
    DestroyPropertySheetPage(log.Pages[0]);
}

// Remote device sets: Wine cannot open a device set on another machine, so the DLL's view of the
// set's details is replaced.
BOOL detailAnswer;
BOOL WINAPI RemoteDetail(HDEVINFO, PSP_DEVINFO_LIST_DETAIL_DATA_W detail)
{
    if (!detailAnswer) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    detail->RemoteMachineHandle = reinterpret_cast<HANDLE>(0x1234);
    lstrcpyW(detail->RemoteMachineName, L"\\\\OTHER");
    return TRUE;
}

TEST_F(ProviderTest, RemoteDeviceSetGivesAReadOnlyPage)
{
    detailAnswer = TRUE;
    auto remote = PATCH_PAGE_IMPORT("setupapi.dll", SetupDiGetDeviceInfoListDetailW, RemoteDetail);
    Port port;
    harness::WritePortsValue(L"COM7:", L"19200,e,7,1");
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_FALSE(sheet.Enabled(IDC_ADVANCED));
    EXPECT_FALSE(sheet.Enabled(IDC_RESTORE_DEFAULTS));
    for (int list : {IDC_BAUD_RATE, IDC_PARITY, IDC_DATA_BITS, IDC_STOP_BITS, IDC_FLOW_CONTROL}) {
        EXPECT_FALSE(sheet.Enabled(list)) << list;
    }
    EXPECT_EQ(L"19200", sheet.SelectedText(IDC_BAUD_RATE)); // still shows the stored value
}

TEST_F(ProviderTest, RemoteDeviceSetWithoutAPortNameLeavesTheListsEnabled)
{
    detailAnswer = TRUE;
    auto remote = PATCH_PAGE_IMPORT("setupapi.dll", SetupDiGetDeviceInfoListDetailW, RemoteDetail);
    Port port(nullptr);
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_FALSE(sheet.Enabled(IDC_ADVANCED));
    EXPECT_FALSE(sheet.Enabled(IDC_RESTORE_DEFAULTS));
    EXPECT_TRUE(sheet.Enabled(IDC_PARITY));
}

TEST_F(ProviderTest, FailingDetailQueryCountsAsLocal)
{
    detailAnswer = FALSE;
    auto remote = PATCH_PAGE_IMPORT("setupapi.dll", SetupDiGetDeviceInfoListDetailW, RemoteDetail);
    Port port;
    Sheet sheet(port);
    ASSERT_TRUE(sheet.Valid());
    EXPECT_TRUE(sheet.Enabled(IDC_ADVANCED));
    EXPECT_TRUE(sheet.Enabled(IDC_RESTORE_DEFAULTS));
    EXPECT_TRUE(sheet.Enabled(IDC_PARITY));
}

} // namespace
