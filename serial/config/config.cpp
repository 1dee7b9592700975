// The port's settings in its device key (the hardware key the property pages write):
//
//   "PortName"        REG_SZ     the COM name, 1 to 19 characters (required)
//   "ForceFifoEnable" REG_DWORD  1: the UART's FIFOs are used; 0: one byte at a time  (1)
//   "EnableFifo64"    REG_DWORD  1: the 64-byte FIFOs (16750 mode); 0: 16-byte FIFOs  (1)
//   "RxFIFO"          REG_DWORD  receive trigger as the 16-byte FIFO counts it: 1, 4, 8 or 14
//                                (8); with the 64-byte FIFOs the same position means 1, 16, 32
//                                or 56
//   "TxFIFO"          REG_DWORD  bytes written per transmitter interrupt, 1 to 16 (16); four
//                                times that with the 64-byte FIFOs
//   "FifoRxMax"       REG_DWORD  highest "RxFIFO" accepted, 1 to 14 (14)
//   "FifoTxMax"       REG_DWORD  highest "TxFIFO" accepted, 1 to 16 (16)
//   "ClockRate"       REG_DWORD  the UART's input clock in Hz (73728000, which divides exactly to
//                                every rate from 75 to 921600 baud)
//
// A value that is missing takes its default (in brackets); "EnableFifo64", "RxFIFO" and
// "TxFIFO" are then written with it, so that the property page shows what the port uses. A
// value of the wrong type or out of range takes its default too, and the event log says which.
//
// The default trigger leaves room: at 8 of 16 (32 of 64) the UART still holds 8 (32) character
// times of data when it interrupts, for the other ports of the adapter that share its interrupt.
#include "corserial.h"

namespace {

constexpr ULONG DefaultClockRate = 73728000;
constexpr ULONG DefaultRxFifo = 8;
constexpr ULONG DefaultTxFifo = 16;
constexpr ULONG RxFifoLimit = 14;
constexpr ULONG TxFifoLimit = 16;
constexpr ULONG PortNameUnits = 20; // 19 characters and the terminator

// One REG_DWORD value: read, checked, replaced by its default when wrong.
struct DWORD_VALUE {
    const WCHAR* Name;
    const char* Complaint; // the event-log sentence when it is wrong
    BOOLEAN CreateWhenMissing;
};

enum class ValueState {
    Read,
    Missing,
    Wrong,
    Unreadable, // the key could not be read (out of resources): no answer about the value
};

// A value longer than the buffer reads as an overflow: it is there, and wrong.
BOOLEAN ValueAnswered(NTSTATUS Status)
{
    return NT_SUCCESS(Status) || Status == STATUS_BUFFER_OVERFLOW ||
           Status == STATUS_BUFFER_TOO_SMALL;
}

// The settings are read one after the other; the first read that gets no answer ends the
// reading, and the start fails with its status rather than run on defaults the key does not say.
struct KEY_READER {
    PSERIAL_PORT Port;
    HANDLE Key;
    NTSTATUS Status;
};

ValueState QueryDword(HANDLE Key, const WCHAR* Name, PULONG Value, NTSTATUS* Failure)
{
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, Name);
    UCHAR Buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG Returned = 0;
    NTSTATUS Status = ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, Buffer,
                                      sizeof(Buffer), &Returned);
    if (Status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return ValueState::Missing;
    }
    if (!ValueAnswered(Status)) {
        *Failure = Status;
        return ValueState::Unreadable;
    }
    const auto Information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(Buffer);
    if (!NT_SUCCESS(Status) || Information->Type != REG_DWORD ||
        Information->DataLength != sizeof(ULONG)) {
        return ValueState::Wrong;
    }
    RtlCopyMemory(Value, Information->Data, sizeof(ULONG));
    return ValueState::Read;
}

VOID SetDword(HANDLE Key, const WCHAR* Name, ULONG Value)
{
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, Name);
    // A key the port cannot write to only means the page will not show the default.
    ZwSetValueKey(Key, &ValueName, 0, REG_DWORD, &Value, sizeof(Value));
}

// Reads a DWORD setting; Valid decides its range. Returns the value the port uses.
template <typename Check>
ULONG ReadSetting(KEY_READER& Reader, const DWORD_VALUE& Setting, ULONG Default, Check Valid)
{
    if (!NT_SUCCESS(Reader.Status)) {
        return Default;
    }
    ULONG Value = 0;
    switch (QueryDword(Reader.Key, Setting.Name, &Value, &Reader.Status)) {
    case ValueState::Read:
        if (Valid(Value)) {
            return Value;
        }
        break;
    case ValueState::Missing:
        if (Setting.CreateWhenMissing) {
            SetDword(Reader.Key, Setting.Name, Default);
        }
        return Default;
    case ValueState::Wrong:
        break;
    case ValueState::Unreadable:
        return Default;
    }
    ReportEvent(Reader.Port, SerialMsgWarning, Setting.Complaint);
    return Default;
}

// "PortName": a string of 1 to 19 characters that can stand in an object name. A missing or
// unusable name is a configuration error; a key that cannot be read gives its own status.
NTSTATUS ReadPortName(HANDLE Key, PWCHAR Name)
{
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, L"PortName");
    UCHAR Buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + PortNameUnits * sizeof(WCHAR)];
    ULONG Returned = 0;
    NTSTATUS Status = ZwQueryValueKey(Key, &ValueName, KeyValuePartialInformation, Buffer,
                                      sizeof(Buffer), &Returned);
    if (Status != STATUS_OBJECT_NAME_NOT_FOUND && !ValueAnswered(Status)) {
        return Status;
    }
    const auto Information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(Buffer);
    if (!NT_SUCCESS(Status) || Information->Type != REG_SZ ||
        Information->DataLength > PortNameUnits * sizeof(WCHAR)) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    WCHAR Text[PortNameUnits];
    RtlZeroMemory(Text, sizeof(Text));
    RtlCopyMemory(Text, Information->Data, Information->DataLength);
    ULONG Length = 0;
    while (Length < PortNameUnits && Text[Length] != UNICODE_NULL) {
        // Printable, and no path separator: the name becomes \DosDevices\<name>.
        if (Text[Length] <= L' ' || Text[Length] > L'~' || Text[Length] == L'\\' ||
            Text[Length] == L'/') {
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        ++Length;
    }
    if (Length == 0 || Length == PortNameUnits) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    RtlCopyMemory(Name, Text, (Length + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

BOOLEAN IsTriggerLevel(ULONG Value)
{
    for (UCHAR Level : TriggerLevels16) {
        if (Value == Level) {
            return TRUE;
        }
    }
    return FALSE;
}

// The highest trigger level a maximum allows (at least 1).
ULONG HighestLevelUpTo(ULONG Maximum)
{
    ULONG Highest = 1;
    for (UCHAR Level : TriggerLevels16) {
        if (Level <= Maximum) {
            Highest = Level;
        }
    }
    return Highest;
}

// clang-format off
constexpr DWORD_VALUE ForceFifoEnable = {L"ForceFifoEnable",
    "The device key value ForceFifoEnable is invalid, so the FIFOs are used.", FALSE};
constexpr DWORD_VALUE EnableFifo64 = {L"EnableFifo64",
    "The device key value EnableFifo64 is invalid, so the 64-byte FIFOs are used.", TRUE};
constexpr DWORD_VALUE FifoRxMax = {L"FifoRxMax",
    "The device key value FifoRxMax is invalid, so 14 is used.", FALSE};
constexpr DWORD_VALUE FifoTxMax = {L"FifoTxMax",
    "The device key value FifoTxMax is invalid, so 16 is used.", FALSE};
constexpr DWORD_VALUE RxFifo = {L"RxFIFO",
    "The device key value RxFIFO is invalid, so the default receive trigger is used.", TRUE};
constexpr DWORD_VALUE TxFifo = {L"TxFIFO",
    "The device key value TxFIFO is invalid, so the default transmit load is used.", TRUE};
constexpr DWORD_VALUE ClockRate = {L"ClockRate",
    "The device key value ClockRate is invalid, so 73728000 Hz is used.", FALSE};
// clang-format on

} // namespace

NTSTATUS ReadConfiguration(PSERIAL_PORT Port)
{
    HANDLE Key = nullptr;
    NTSTATUS Status =
        IoOpenDeviceRegistryKey(Port->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ | KEY_WRITE, &Key);
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError, "The port's device key could not be opened.");
        return Status;
    }
    KEY_READER Reader = {Port, Key, ReadPortName(Key, Port->PortName)};
    if (Reader.Status == STATUS_DEVICE_CONFIGURATION_ERROR) {
        ZwClose(Key);
        ReportEvent(Port, SerialMsgError,
                    "The port has no usable PortName value in its device key.");
        return Reader.Status;
    }
    SERIAL_CONFIG Config;
    Config.FifoEnable =
        ReadSetting(Reader, ForceFifoEnable, 1, [](ULONG V) { return V <= 1; }) ? TRUE : FALSE;
    Config.Fifo64 =
        ReadSetting(Reader, EnableFifo64, 1, [](ULONG V) { return V <= 1; }) ? TRUE : FALSE;
    const ULONG RxMax = ReadSetting(Reader, FifoRxMax, RxFifoLimit,
                                    [](ULONG V) { return V >= 1 && V <= RxFifoLimit; });
    const ULONG TxMax = ReadSetting(Reader, FifoTxMax, TxFifoLimit,
                                    [](ULONG V) { return V >= 1 && V <= TxFifoLimit; });
    const ULONG RxDefault = HighestLevelUpTo(DefaultRxFifo < RxMax ? DefaultRxFifo : RxMax);
    Config.RxFifo = ReadSetting(Reader, RxFifo, RxDefault,
                                [&](ULONG V) { return IsTriggerLevel(V) && V <= RxMax; });
    Config.TxFifo = ReadSetting(Reader, TxFifo, DefaultTxFifo < TxMax ? DefaultTxFifo : TxMax,
                                [&](ULONG V) { return V >= 1 && V <= TxMax; });
    // A clock must make 9600 baud, the rate every port starts with.
    Config.ClockRate = ReadSetting(Reader, ClockRate, DefaultClockRate,
                                   [](ULONG V) { return DivisorFor(V, 9600) != 0; });
    ZwClose(Key);
    if (!NT_SUCCESS(Reader.Status)) {
        ReportEvent(Port, SerialMsgError, "The port's device key could not be read.");
        return Reader.Status;
    }
    // A restart reads the key again while control requests of an open handle go on reading
    // the configuration under the port lock.
    PortLock Lock(Port);
    Port->Config = Config;
    return STATUS_SUCCESS;
}

VOID FifoParameters(const SERIAL_CONFIG* Config, PUCHAR Fcr, PUCHAR RxTrigger, PUCHAR TxLoad,
                    PUCHAR Depth)
{
    if (!Config->FifoEnable) {
        *Fcr = 0;
        *RxTrigger = 1;
        *TxLoad = 1;
        *Depth = 1;
        return;
    }
    // The trigger field of the FCR is the level's place in the table.
    UCHAR Position = 0;
    for (const UCHAR& Level : TriggerLevels16) {
        if (Level == Config->RxFifo) {
            Position = static_cast<UCHAR>(&Level - TriggerLevels16);
        }
    }
    *Fcr = static_cast<UCHAR>(FcrEnable | (Position << FcrTriggerShift) |
                              (Config->Fifo64 ? Fcr64Byte : 0));
    *RxTrigger = Config->Fifo64 ? TriggerLevels64[Position] : TriggerLevels16[Position];
    *TxLoad = static_cast<UCHAR>(Config->TxFifo * (Config->Fifo64 ? 4 : 1));
    *Depth = Config->Fifo64 ? 64 : 16;
}
