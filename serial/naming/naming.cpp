// The port's names.
//
//  - \Device\CorSerial<n>: the device object's own name, the lowest n free when the port is
//    added. Programs do not see it; the next two point at it.
//  - \DosDevices\<PortName>: the COM name Win32 programs open (\\.\COM3), from "PortName" in the
//    port's device key, where the ports class installer and the property page keep it.
//  - HARDWARE\DEVICEMAP\SERIALCOMM: value <device name> = <PortName>, the list of serial ports
//    programs read to offer COM names.
//  - the COM port device interface, enabled while the port is started, which programs that
//    enumerate devices find.
// Published at the first start, all or nothing; withdrawn at removal and surprise removal.
#include "corserial.h"

namespace {

// The COM port interface class (GUID_DEVINTERFACE_COMPORT).
constexpr GUID ComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

constexpr ULONG MaxDeviceNumbers = 1024;

const WCHAR DeviceNamePrefix[] = L"\\Device\\CorSerial";
const WCHAR LinkPrefix[] = L"\\DosDevices\\";
const WCHAR SerialCommKey[] = L"SERIALCOMM";

// A counted string over a buffer, empty.
VOID InitializeCounted(PUNICODE_STRING String, PWCHAR Buffer, USHORT BufferBytes)
{
    String->Buffer = Buffer;
    String->Length = 0;
    String->MaximumLength = BufferBytes;
    Buffer[0] = UNICODE_NULL;
}

ULONG NameBytes(const WCHAR* Name)
{
    ULONG Length = 0;
    while (Name[Length] != UNICODE_NULL) {
        ++Length;
    }
    return (Length + 1) * sizeof(WCHAR);
}

} // namespace

NTSTATUS CreatePortDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT* Device)
{
    for (ULONG Number = 0; Number < MaxDeviceNumbers; ++Number) {
        WCHAR Buffer[32];
        UNICODE_STRING Name;
        InitializeCounted(&Name, Buffer, sizeof(Buffer));
        WCHAR DigitBuffer[12];
        UNICODE_STRING Digits;
        InitializeCounted(&Digits, DigitBuffer, sizeof(DigitBuffer));
        RtlAppendUnicodeToString(&Name, DeviceNamePrefix);
        RtlIntegerToUnicodeString(Number, 10, &Digits);
        RtlAppendUnicodeStringToString(&Name, &Digits);

        // Exclusive: the I/O manager lets one handle at a time open a COM port.
        NTSTATUS Status =
            IoCreateDevice(Driver, sizeof(SERIAL_PORT), &Name, FILE_DEVICE_SERIAL_PORT,
                           FILE_DEVICE_SECURE_OPEN, TRUE, Device);
        if (Status == STATUS_OBJECT_NAME_COLLISION) {
            continue;
        }
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        PSERIAL_PORT Port = PortFromDevice(*Device);
        RtlZeroMemory(Port, sizeof(*Port));
        InitializeCounted(&Port->DeviceName, Port->DeviceNameBuffer,
                          sizeof(Port->DeviceNameBuffer));
        RtlCopyUnicodeString(&Port->DeviceName, &Name);
        Port->DeviceNameBuffer[Port->DeviceName.Length / sizeof(WCHAR)] = UNICODE_NULL;
        Port->DeviceNumber = Number;
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS PublishNames(PSERIAL_PORT Port)
{
    InitializeCounted(&Port->SymbolicLink, Port->SymbolicLinkBuffer,
                      sizeof(Port->SymbolicLinkBuffer));
    RtlAppendUnicodeToString(&Port->SymbolicLink, LinkPrefix);
    RtlAppendUnicodeToString(&Port->SymbolicLink, Port->PortName);
    NTSTATUS Status = IoCreateSymbolicLink(&Port->SymbolicLink, &Port->DeviceName);
    if (Status == STATUS_OBJECT_NAME_COLLISION) {
        ReportEvent(Port, SerialMsgError,
                    "The port's COM name is already taken by another device.");
        return Status;
    }
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError, "The port's COM name could not be created.");
        return Status;
    }
    Port->LinkCreated = TRUE;

    Status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceNameBuffer,
                                   REG_SZ, Port->PortName, NameBytes(Port->PortName));
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError,
                    "The port could not be entered in the system's list of serial ports.");
        WithdrawNames(Port);
        return Status;
    }
    Port->DeviceMapWritten = TRUE;

    if (Port->InterfaceName.Buffer == nullptr) {
        Status =
            IoRegisterDeviceInterface(Port->Pdo, &ComPortInterface, nullptr, &Port->InterfaceName);
    }
    if (NT_SUCCESS(Status)) {
        Status = IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
    }
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError, "The port's COM port interface could not be enabled.");
        WithdrawNames(Port);
        return Status;
    }
    Port->InterfaceEnabled = TRUE;
    return STATUS_SUCCESS;
}

VOID WithdrawNames(PSERIAL_PORT Port)
{
    if (Port->InterfaceEnabled) {
        IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
        Port->InterfaceEnabled = FALSE;
    }
    if (Port->DeviceMapWritten) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceNameBuffer);
        Port->DeviceMapWritten = FALSE;
    }
    if (Port->LinkCreated) {
        IoDeleteSymbolicLink(&Port->SymbolicLink);
        Port->LinkCreated = FALSE;
    }
}

VOID FreeNames(PSERIAL_PORT Port)
{
    if (Port->InterfaceName.Buffer != nullptr) {
        RtlFreeUnicodeString(&Port->InterfaceName);
        Port->InterfaceName.Buffer = nullptr;
    }
}
