// Reading, repairing and mapping the FIFO values of a port's device key.
#include "fifo_settings.h"

#include "../provider/provider.h"
#include "../resources/resource.h"

namespace {

constexpr WCHAR UnknownPortName[] = L"COMX";

// A four-byte value, whatever its registry type. A value of any other size is unreadable: a
// shorter one would leave part of the number undefined, a longer one is not ours.
bool QueryDword(HKEY key, const WCHAR* name, DWORD* value)
{
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        size != sizeof(data)) {
        return false;
    }
    *value = data;
    return true;
}

bool SetDword(HKEY key, const WCHAR* name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

// A stored FIFO setting above its limit (or unreadable) is replaced by the port's maximum, so
// the port function driver never starts with a value the hardware cannot take.
void ReadFifoSetting(HKEY key, const WCHAR* name, DWORD limit, DWORD maximum, DWORD* depth,
                     BOOL* usable)
{
    DWORD value = 0;
    *usable = TRUE;
    if (QueryDword(key, name, &value) && value <= limit) {
        *depth = value;
        return;
    }
    if (SetDword(key, name, maximum)) {
        *depth = maximum;
    } else {
        *depth = 0;
        *usable = FALSE;
    }
}

} // namespace

void ReadCurrentPortName(HKEY key, WCHAR* name)
{
    // Zero-filled, so a value shorter than the buffer is always terminated; a string that fills
    // all 20 units without a terminator, or a value that is no string, is not a usable name.
    WCHAR buffer[kPortNameLength] = {};
    DWORD size = sizeof(buffer);
    DWORD type = REG_NONE;
    bool usable = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                   reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS &&
                  (type == REG_SZ || type == REG_EXPAND_SZ) && buffer[kPortNameLength - 1] == L'\0';
    lstrcpynW(name, usable ? buffer : UnknownPortName, kPortNameLength);
}

void ReadAdvancedSettings(AdvancedBlock* advanced)
{
    HKEY key = advanced->DeviceKey;

    ReadCurrentPortName(key, advanced->CurrentPortName);

    DWORD value = 0;
    if (!QueryDword(key, L"ForceFifoEnable", &value)) {
        SetDword(key, L"ForceFifoEnable", 1);
    }

    // The 64-byte option exists only on ports whose driver created it; it is never created here.
    advanced->Fifo64Present = QueryDword(key, L"EnableFifo64", &value) ? TRUE : FALSE;
    advanced->Fifo64Value = advanced->Fifo64Present ? value : 0;

    if (!QueryDword(key, L"FifoRxMax", &value) || value > RxFifoLimit) {
        value = RxFifoLimit;
    }
    advanced->RxFifoMax = value;

    // A transmit maximum of 0 would leave the trackbar the empty range 1 to 0; a transmitter
    // always sends at least one byte per interrupt, so 0 counts as 1.
    if (!QueryDword(key, L"FifoTxMax", &value) || value > TxFifoLimit) {
        value = TxFifoLimit;
    } else if (value == 0) {
        value = 1;
    }
    advanced->TxFifoMax = value;

    ReadFifoSetting(key, L"RxFIFO", RxFifoLimit, advanced->RxFifoMax, &advanced->RxFifoDepth,
                    &advanced->RxFifoUsable);
    ReadFifoSetting(key, L"TxFIFO", TxFifoLimit, advanced->TxFifoMax, &advanced->TxFifoDepth,
                    &advanced->TxFifoUsable);

    // Saving opens a key of its own; this one is not needed past start-up.
    RegCloseKey(key);
    advanced->DeviceKey = static_cast<HKEY>(INVALID_HANDLE_VALUE);
}

DWORD RxPositionFromDepth(DWORD depth)
{
    for (DWORD position = 1; position < RxTriggerPositions; ++position) {
        if (depth <= RxTriggerLevels16[position - 1]) {
            return position;
        }
    }
    return RxTriggerPositions;
}

DWORD RxLevelFromPosition(LRESULT position)
{
    if (position < 1 || position > static_cast<LRESULT>(RxTriggerPositions)) {
        position = RxTriggerPositions;
    }
    return RxTriggerLevels16[position - 1];
}

DWORD RxHighLabelValue(LRESULT position, bool fifo64)
{
    if (position < 1 || position > static_cast<LRESULT>(RxTriggerPositions)) {
        position = RxTriggerPositions;
    }
    return fifo64 ? RxTriggerLevels64[position - 1] : RxTriggerLevels16[position - 1];
}

DWORD TxHighLabelValue(LRESULT position, bool fifo64)
{
    return static_cast<DWORD>(position) * (fifo64 ? TxFifo64Factor : 1);
}

bool AdvancedChoicesChanged(const AdvancedBlock* advanced, const AdvancedChoices* choices)
{
    // The stored 64-byte value is compared as stored: anything but 0 or 1 is rewritten.
    return advanced->Fifo64Value != choices->Fifo64 || advanced->RxFifoDepth != choices->RxLevel ||
           advanced->TxFifoDepth != choices->TxDepth || choices->NewNumber != choices->OldNumber;
}
