// Driver entry, the dispatch table and the gate every request of a handle passes.
//
// One device object per port, so the dispatch routines need no device kinds: each major function
// has its routine, and whatever the port does not handle itself goes down to the port device.
#include "corserial.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    for (ULONG Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) {
        DriverObject->MajorFunction[Major] = SerialPassDown;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = SerialRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SerialDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SerialInternalControl;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = SerialQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SerialSetInformation;
    DriverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = SerialQueryVolume;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SerialPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SerialPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SerialSystemControl;
    DriverObject->DriverExtension->AddDevice = SerialAddDevice;
    DriverObject->DriverUnload = SerialUnload;
    return STATUS_SUCCESS;
}

// The plug-and-play manager unloads the driver only after every port has been removed, and the
// removal deletes the port's device object: nothing is left to do here.
VOID SerialUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
}

// Anything that is not the port's own: the port device below answers or refuses it.
NTSTATUS SerialPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    return PassDown(Port, Irp);
}

// The one way down: the request goes on untouched, and the remove lock it held here is let go
// (the port device below holds the stack's own references). A power request lets the next one
// start first, as the platform's power rules ask of every driver that passes one on.
NTSTATUS PassDown(PSERIAL_PORT Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    if (Stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        Status = PoCallDriver(Port->LowerDevice, Irp);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
        Status = IoCallDriver(Port->LowerDevice, Irp);
    }
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
    return Status;
}

namespace {

NTSTATUS Accept(PSERIAL_PORT Port, PIRP Irp, BOOLEAN KernelClient)
{
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    PFILE_OBJECT File = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    {
        PortLock Lock(Port);
        if (Port->Removing) {
            Status = STATUS_DELETE_PENDING;
        } else if (KernelClient ? File != nullptr && File != Port->OpenFile
                                : File == nullptr || File != Port->OpenFile) {
            // Only the handle that owns the port talks to it. (A platform that hands out a
            // handle for a refused open still sends its requests here.) A kernel client may send
            // its internal requests without a file object.
            Status = STATUS_ACCESS_DENIED;
        }
    }
    if (!NT_SUCCESS(Status)) {
        return CompleteAndRelease(Port, Irp, Status, 0);
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS AcceptRequest(PSERIAL_PORT Port, PIRP Irp)
{
    return Accept(Port, Irp, FALSE);
}

NTSTATUS AcceptInternalRequest(PSERIAL_PORT Port, PIRP Irp)
{
    return Accept(Port, Irp, TRUE);
}

NTSTATUS CompleteAndRelease(PSERIAL_PORT Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    IoReleaseRemoveLock(&Port->RemoveLock, Irp);
    return Status;
}

// A few codes document an Information of their input's size (PURGE, IMMEDIATE_CHAR,
// LSRMST_INSERT, RESTORE_SETTINGS), but the I/O manager copies Information bytes of a buffered
// request back into the caller's output buffer, which for these codes is usually none: the
// documented figure is reported only as far as the caller's buffer takes it.
ULONG_PTR ReturnedBytes(PIRP Irp, ULONG_PTR Information)
{
    const ULONG Room =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    return Information < Room ? Information : Room;
}

NTSTATUS CompleteWithoutRemoveLock(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

// The completion routine stops the completion, so the request comes back to the caller, who
// completes it. The stack location is copied: a driver that answered STATUS_PENDING below may
// have marked its own location.
NTSTATUS SendDownAndWait(PSERIAL_PORT Port, PIRP Irp)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalDone, &Done, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                          ? PoCallDriver(Port->LowerDevice, Irp)
                          : IoCallDriver(Port->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    }
    return Irp->IoStatus.Status;
}

LONGLONG PerformanceTime()
{
    LARGE_INTEGER Frequency;
    LARGE_INTEGER Count = KeQueryPerformanceCounter(&Frequency);
    // Whole seconds and the rest apart, so the product cannot overflow for any uptime.
    LONGLONG Seconds = Count.QuadPart / Frequency.QuadPart;
    LONGLONG Rest = Count.QuadPart % Frequency.QuadPart;
    return Seconds * 10000000 + Rest * 10000000 / Frequency.QuadPart;
}

// Multiplier times length (up to 2^64 ms) does not fit a due time in 100 ns units. A time-out
// that long would end after thousands of years: holding it at half the due time's range (which
// the kernel can add to any uptime) keeps it just as unending, where the product would wrap to a
// time already past, or to anything at all.
LONGLONG TimeoutUnits(ULONG64 Ms)
{
    constexpr ULONG64 Longest = 0x7FFFFFFFFFFFFFFFull / 2 / HundredNsPerMs;
    return static_cast<LONGLONG>(Ms < Longest ? Ms : Longest) * HundredNsPerMs;
}

VOID ArmTimer(PSERIAL_PORT Port, PKTIMER Timer, PKDPC Dpc, LONGLONG Units)
{
    if (Port->Removing) {
        return; // the removal cancels the timers once, after which none may be set again
    }
    LARGE_INTEGER Due;
    Due.QuadPart = -(Units > 0 ? Units : 1);
    KeSetTimer(Timer, Due, Dpc);
}
