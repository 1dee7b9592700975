// What a file system query asks of a handle, answered as the serial platform documents it for a
// port: the device information (GetFileType), the standard and position information (GetFileSize,
// the C runtime's file calls), and the end of file and allocation a program may try to set
// (SetEndOfFile). A port is a stream with no size and no position: the answers are zeros, and
// setting them succeeds without changing anything. Like a read or a write, a query is refused
// while an abort on error is in force.
#include "corserial.h"

namespace {

// Common gate of the two file information requests: the handle's own, and no error abort.
NTSTATUS AcceptInformationRequest(PSERIAL_PORT Port, PIRP Irp)
{
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    BOOLEAN Aborting = FALSE;
    {
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] { Aborting = Port->Shared.ErrorAbort; });
    }
    if (Aborting) {
        return CompleteAndRelease(Port, Irp, STATUS_CANCELLED, 0);
    }
    return STATUS_SUCCESS;
}

template <typename T> NTSTATUS Answer(PSERIAL_PORT Port, PIRP Irp, ULONG Length, const T& Value)
{
    if (Length < sizeof(T)) {
        return CompleteAndRelease(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, sizeof(T));
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Value, sizeof(T));
    return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, sizeof(T));
}

} // namespace

NTSTATUS SerialQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptInformationRequest(Port, Irp);
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    const ULONG Length = Stack->Parameters.QueryFile.Length;
    switch (StoredValue(Stack->Parameters.QueryFile.FileInformationClass)) {
    case FileStandardInformation: {
        FILE_STANDARD_INFORMATION Standard;
        RtlZeroMemory(&Standard, sizeof(Standard));
        return Answer(Port, Irp, Length, Standard);
    }
    case FilePositionInformation: {
        FILE_POSITION_INFORMATION Position;
        RtlZeroMemory(&Position, sizeof(Position));
        return Answer(Port, Irp, Length, Position);
    }
    default:
        return CompleteAndRelease(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

NTSTATUS SerialSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptInformationRequest(Port, Irp);
    if (Status != STATUS_SUCCESS) {
        return Status;
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    switch (StoredValue(Stack->Parameters.SetFile.FileInformationClass)) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return CompleteAndRelease(Port, Irp, STATUS_SUCCESS, 0);
    default:
        return CompleteAndRelease(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
}

// Programs ask what kind of device a handle is (GetFileType): a serial port, a character device.
NTSTATUS SerialQueryVolume(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = AcceptRequest(Port, Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (StoredValue(Stack->Parameters.QueryVolume.FsInformationClass) != FileFsDeviceInformation) {
        return CompleteAndRelease(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    FILE_FS_DEVICE_INFORMATION Information;
    RtlZeroMemory(&Information, sizeof(Information));
    Information.DeviceType = FILE_DEVICE_SERIAL_PORT;
    Information.Characteristics = DeviceObject->Characteristics;
    return Answer(Port, Irp, Stack->Parameters.QueryVolume.Length, Information);
}
