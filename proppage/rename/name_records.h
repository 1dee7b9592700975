// Records outside the device key that carry a port's COM name.
#pragma once

#include <windows.h>
#include <setupapi.h>

// Sets the device's friendly name to "<description> (<name>)", or the bare name when the
// description or the format string is not available.
void SetFriendlyName(HDEVINFO set, PSP_DEVINFO_DATA device, const WCHAR* name);
