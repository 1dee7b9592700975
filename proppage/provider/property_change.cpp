// Asking the class installer to apply changed settings: for a port this restarts the device and
// so the port function driver, which reads its settings only when it starts.
#include "provider/provider.h"

BOOL RequestPropertyChange(DWORD stateChange, HDEVINFO deviceInfoSet,
                           PSP_DEVINFO_DATA deviceInfoData)
{
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));

    SP_PROPCHANGE_PARAMS parameters = {};
    parameters.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    parameters.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    parameters.StateChange = stateChange;
    parameters.Scope = DICS_FLAG_GLOBAL;
    parameters.HwProfile = 0;

    if (!SetupDiSetClassInstallParamsW(deviceInfoSet, deviceInfoData,
                                       &parameters.ClassInstallHeader, sizeof(parameters))) {
        SetCursor(previous);
        return FALSE;
    }
    // The restart may fail (for example when the device cannot be stopped); Windows then asks for
    // a reboot on its own, so there is nothing to add here.
    SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, deviceInfoSet, deviceInfoData);
    SetCursor(previous);
    return TRUE;
}
