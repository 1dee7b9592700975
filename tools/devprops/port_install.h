// Installs a device from one INF the way SetupDiInstallDevice does, through the SetupAPI calls it
// is made of: the INF's best compatible driver for the device's hardware ID, its install section
// for this platform (decorations resolved by SetupAPI), files and registry with HKR at the
// device's software key, the device description, and the section's services.
//
// Wine's SetupDiInstallDevice cannot be used for this package: it first copies the INF together
// with its catalog, which is made only when the package is signed on Windows.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>

inline bool InstallFromInf(HDEVINFO set, SP_DEVINFO_DATA* device, const std::wstring& inf,
                           const std::wstring& sourceDir, SP_DRVINFO_DATA_W* selected)
{
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, device, &params)) {
        return false;
    }
    lstrcpynW(params.DriverPath, inf.c_str(), MAX_PATH);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(set, device, &params) ||
        !SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER) ||
        !SetupDiSelectBestCompatDrv(set, device)) {
        return false;
    }
    SP_DRVINFO_DATA_W driver = {};
    driver.cbSize = sizeof(driver);
    SP_DRVINFO_DETAIL_DATA_W detail = {};
    detail.cbSize = sizeof(detail);
    if (!SetupDiGetSelectedDriverW(set, device, &driver) ||
        (!SetupDiGetDriverInfoDetailW(set, device, &driver, &detail, sizeof(detail), nullptr) &&
         GetLastError() != ERROR_INSUFFICIENT_BUFFER)) {
        return false;
    }
    if (selected != nullptr) {
        *selected = driver;
    }

    HINF handle = SetupOpenInfFileW(inf.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    wchar_t section[MAX_PATH];
    HKEY software = static_cast<HKEY>(INVALID_HANDLE_VALUE);
    bool done = SetupDiGetActualSectionToInstallW(handle, detail.SectionName, section, MAX_PATH,
                                                  nullptr, nullptr);
    if (done) {
        software =
            SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
        done = software != static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (done) {
        // No user interface: the default queue callback without a window.
        void* queue = SetupInitDefaultQueueCallbackEx(
            nullptr, static_cast<HWND>(INVALID_HANDLE_VALUE), 0, 0, nullptr);
        done = SetupInstallFromInfSectionW(nullptr, handle, section, SPINST_ALL, software,
                                           sourceDir.c_str(), 0, SetupDefaultQueueCallbackW, queue,
                                           set, device);
        SetupTermDefaultQueueCallback(queue);
        RegCloseKey(software);
    }
    if (done) {
        SetupDiSetDeviceRegistryPropertyW(
            set, device, SPDRP_DEVICEDESC, reinterpret_cast<const BYTE*>(driver.Description),
            static_cast<DWORD>((lstrlenW(driver.Description) + 1) * sizeof(wchar_t)));
        std::wstring services = std::wstring(section) + L".Services";
        done = SetupInstallServicesFromInfSectionW(handle, services.c_str(), 0) ||
               GetLastError() == ERROR_SECTION_NOT_FOUND;
    }
    DWORD error = GetLastError();
    SetupCloseInfFile(handle);
    SetLastError(error);
    return done;
}
