// The per-device state of the property page provider and the routines that every dialog of the
// provider shares: the message boxes and the property change request.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <ddk/msports.h>

// A COM name ("COM1" to "COM256") with its terminator always fits in this many UTF-16 units.
constexpr int kPortNameLength = 20;

struct AdvancedBlock;

// One per property page: allocated zero-filled by the provider, owned by the page and freed by the
// page callback when the property sheet releases the page.
struct PageRecord {
    DWORD BaudRate;                  // line settings as last read from (or written to) the profile
    INT ParityIndex;                 // 0 Even, 1 Odd, 2 None, 3 Mark, 4 Space
    INT DataBitsIndex;               // 0 to 4 for 4 to 8 data bits
    INT StopBitsIndex;               // 0 one, 1 one and a half, 2 two
    INT FlowControlIndex;            // 0 Xon / Xoff, 1 Hardware, 2 None
    WCHAR PortName[kPortNameLength]; // "PortName" of the device key; empty when unreadable
    HDEVINFO DeviceInfoSet;          // borrowed from the page request
    PSP_DEVINFO_DATA DeviceInfoData; // borrowed from the page request
    BOOL AdvancedEnabled;            // the Advanced button is usable
    BOOL Editable;                   // the device set belongs to the local machine
    AdvancedBlock* Advanced;         // owned; null when its allocation failed
    // The user chose a rate in the bits-per-second list (or restored the defaults). Until then
    // Apply keeps BaudRate, which the list cannot always show (a stored "56000" or "96").
    BOOL BaudRatePicked;
};

// Handed to the Advanced dialog each time it opens; allocated and freed with its page record.
struct AdvancedBlock {
    BOOL RxFifoUsable;
    BOOL TxFifoUsable;
    DWORD RxFifoMax;
    DWORD TxFifoMax;
    DWORD RxFifoDepth;
    DWORD TxFifoDepth;
    WCHAR CurrentPortName[kPortNameLength];
    WCHAR NewPortName[kPortNameLength];
    HKEY DeviceKey;
    HCOMDB ComDb; // HCOMDB_INVALID_HANDLE_VALUE while the database is not open
    HDEVINFO DeviceInfoSet;
    PSP_DEVINFO_DATA DeviceInfoData;
    DWORD Fifo64Value;
    BOOL Fifo64Present;
};

// The library's own module handle: every string and dialog resource is loaded from it.
extern HINSTANCE ModuleInstance;

extern "C"
{
    BOOL WINAPI LibMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
    BOOL WINAPI SerialPortPropPageProvider(PSP_PROPSHEETPAGE_REQUEST request,
                                           LPFNADDPROPSHEETPAGE addPage, LPARAM context);
}

// TRUE when the port's software key marks it as a port that gets no settings page: "PortSubClass"
// stored as a single REG_BINARY byte 0.
BOOL IsPortSubclassWithoutPage(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData);

// Fills a freshly allocated page record and allocates its advanced block.
void InitPageRecord(PageRecord* record, HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData);

// Frees the advanced block (if any) and then the record.
void FreePageRecord(PageRecord* record);

// Property sheet page callback: frees both blocks when the sheet releases the page.
UINT CALLBACK PortSettingsPageCallback(HWND window, UINT reason, LPPROPSHEETPAGEW page);

// The system-modal error box shown when memory (or a string resource) is missing.
void ShowOutOfMemoryBox(HWND owner);

// Shows string textId, formatted with the further arguments (wvsprintfW), under caption string
// captionId. Returns the box's result, or 0 after the out-of-memory box when a string cannot be
// loaded or the box cannot be shown.
int ResourceMessageBox(HWND owner, UINT textId, UINT captionId, UINT type, ...);

// Asks the class installer to apply DIF_PROPERTYCHANGE with the given state change (DICS_*).
// FALSE only when the class install parameters cannot be set.
BOOL RequestPropertyChange(DWORD stateChange, HDEVINFO deviceInfoSet,
                           PSP_DEVINFO_DATA deviceInfoData);
