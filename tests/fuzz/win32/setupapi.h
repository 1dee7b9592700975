// The SetupAPI and property sheet types that corpage's shared headers name (see windows.h here).
#pragma once

#include <windows.h>

typedef void* HDEVINFO;
struct SP_DEVINFO_DATA;
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;
struct SP_PROPSHEETPAGE_REQUEST;
typedef SP_PROPSHEETPAGE_REQUEST* PSP_PROPSHEETPAGE_REQUEST;
struct _PSP;
typedef _PSP* HPROPSHEETPAGE;
typedef BOOL(CALLBACK* LPFNADDPROPSHEETPAGE)(HPROPSHEETPAGE, LPARAM);
struct PROPSHEETPAGEW;
typedef PROPSHEETPAGEW* LPPROPSHEETPAGEW;
