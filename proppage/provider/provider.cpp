// The property page provider that the ports class calls to collect extra pages for a port, the
// per-device blocks it allocates, and the page callback that frees them again.
#include "provider/provider.h"
#include <prsht.h>
#include "resources/resource.h"
#include "settings/settings.h"

BOOL IsPortSubclassWithoutPage(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData)
{
    HKEY key = SetupDiOpenDevRegKey(deviceInfoSet, deviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV,
                                    KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return FALSE;
    }
    BYTE subclass = 0;
    DWORD size = sizeof(subclass);
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, L"PortSubClass", nullptr, &type, &subclass, &size);
    RegCloseKey(key);
    // Only the exact marker counts: one REG_BINARY byte 0. A longer value does not fit the
    // one-byte buffer and fails the query, which also gives the page.
    return status == ERROR_SUCCESS && size == 1 && type == REG_BINARY && subclass == 0;
}

void InitPageRecord(PageRecord* record, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData)
{
    ZeroMemory(record, sizeof(*record));
    record->DeviceInfoSet = deviceInfoSet;
    record->DeviceInfoData = deviceInfoData;
    record->Editable = TRUE;
    BOOL advancedAllowed = TRUE;

    record->Advanced = static_cast<AdvancedBlock*>(LocalAlloc(LPTR, sizeof(AdvancedBlock)));
    if (record->Advanced == nullptr) {
        // The page still opens; only the Advanced button stays disabled.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        advancedAllowed = FALSE;
    }

    // Settings of a device on another machine are shown but not edited: the profile and the
    // device key that this page writes are those of the local machine.
    SP_DEVINFO_LIST_DETAIL_DATA_W detail = {};
    detail.cbSize = sizeof(detail);
    if (SetupDiGetDeviceInfoListDetailW(deviceInfoSet, &detail) &&
        detail.RemoteMachineHandle != nullptr) {
        record->Editable = FALSE;
        advancedAllowed = FALSE;
    }

    if (record->Advanced != nullptr) {
        record->Advanced->DeviceInfoSet = deviceInfoSet;
        record->Advanced->DeviceInfoData = deviceInfoData;
    }
    record->AdvancedEnabled = advancedAllowed;
}

void FreePageRecord(PageRecord* record)
{
    if (record->Advanced != nullptr) {
        LocalFree(record->Advanced);
    }
    LocalFree(record);
}

UINT CALLBACK PortSettingsPageCallback(HWND /*window*/, UINT reason, LPPROPSHEETPAGEW page)
{
    if (reason == PSPCB_RELEASE) {
        FreePageRecord(reinterpret_cast<PageRecord*>(page->lParam));
        return 0;
    }
    return 1;
}

extern "C" BOOL WINAPI SerialPortPropPageProvider(PSP_PROPSHEETPAGE_REQUEST request,
                                                  LPFNADDPROPSHEETPAGE addPage, LPARAM context)
{
    if (IsPortSubclassWithoutPage(request->DeviceInfoSet, request->DeviceInfoData)) {
        return FALSE;
    }

    auto record = static_cast<PageRecord*>(LocalAlloc(LPTR, sizeof(PageRecord)));
    if (record == nullptr) {
        ShowOutOfMemoryBox(GetFocus());
        return FALSE;
    }

    // The ports class asks for other kinds of pages too; those are not ours to give, and not
    // giving one is no error.
    if (request->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) {
        LocalFree(record);
        return TRUE;
    }

    InitPageRecord(record, request->DeviceInfoSet, request->DeviceInfoData);

    static_assert(sizeof(PROPSHEETPAGEW) == sizeof(PROPSHEETPAGEW_V3),
                  "the page descriptor is the version-3 layout");
    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof(PROPSHEETPAGEW_V3);
    page.dwFlags = PSP_USECALLBACK;
    page.hInstance = ModuleInstance;
    page.pszTemplate = MAKEINTRESOURCEW(IDD_PORT_SETTINGS);
    page.pfnDlgProc = PortSettingsPageProc;
    page.lParam = reinterpret_cast<LPARAM>(record);
    page.pfnCallback = PortSettingsPageCallback;

    HPROPSHEETPAGE handle = CreatePropertySheetPageW(&page);
    if (handle == nullptr) {
        FreePageRecord(record);
        return FALSE;
    }

    if (addPage(handle, context)) {
        return TRUE; // the page owns both blocks from here on
    }
    // Destroying the page releases it, and the page callback frees both blocks.
    DestroyPropertySheetPage(handle);
    return FALSE;
}
