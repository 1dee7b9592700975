// The port's FIFO values in its device key: how they are read, repaired and mapped to the
// Advanced dialog's trackbars. The port function driver reads the same values when it starts.
#pragma once

#include <windows.h>

struct AdvancedBlock;

// The 16550-family receive FIFO triggers at 1, 4, 8 or 14 bytes; the 64-byte parts (16750
// style) scale the same four steps to 1, 16, 32 and 56. The registry always holds the 16-byte
// level; the 64-byte row is only what the user is shown while that option is on.
constexpr DWORD RxTriggerPositions = 4;
constexpr DWORD RxTriggerLevels16[RxTriggerPositions] = {1, 4, 8, 14};
constexpr DWORD RxTriggerLevels64[RxTriggerPositions] = {1, 16, 32, 56};
static_assert(RxTriggerLevels16[RxTriggerPositions - 1] == 14, "receive levels end at 14");

constexpr DWORD RxFifoLimit = 14;   // highest "FifoRxMax" / "RxFIFO" accepted
constexpr DWORD TxFifoLimit = 16;   // highest "FifoTxMax" / "TxFIFO" accepted
constexpr DWORD TxFifo64Factor = 4; // the 64-byte parts move four times as many bytes per step

// Reads every value the dialog needs through the block's DeviceKey, creating "ForceFifoEnable"
// and repairing "RxFIFO"/"TxFIFO" where needed, then closes DeviceKey.
void ReadAdvancedSettings(AdvancedBlock* advanced);

// Reads "PortName" into a 20-unit buffer; an unreadable value gives "COMX".
void ReadCurrentPortName(HKEY key, WCHAR* name);

// Trackbar position (1 to 4) of a receive depth: the 16-byte level at or above it.
DWORD RxPositionFromDepth(DWORD depth);

// 16-byte level stored for a receive trackbar position; any position outside 1 to 4 is 14.
DWORD RxLevelFromPosition(LRESULT position);

// Value shown in the "High (n)" label beside a trackbar.
DWORD RxHighLabelValue(LRESULT position, bool fifo64);
DWORD TxHighLabelValue(LRESULT position, bool fifo64);

// What the dialog holds when OK is pressed.
struct AdvancedChoices {
    DWORD Fifo64;    // 1 when the 64-byte option is checked
    DWORD RxLevel;   // 16-byte receive level
    DWORD TxDepth;   // transmit trackbar position
    DWORD OldNumber; // the port's number when the dialog started
    DWORD NewNumber; // the number chosen in the list
};

// True when OK has something to write (or a port to rename).
bool AdvancedChoicesChanged(const AdvancedBlock* advanced, const AdvancedChoices* choices);
