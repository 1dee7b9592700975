// Handles: create, cleanup, close, and the device information a file system query asks for.
//
// A COM port is opened by one handle at a time. The device object is exclusive, so the I/O
// manager refuses a second open itself; the port refuses one too (some platforms ignore the
// exclusive flag), and talks only to the file object that owns it (AcceptRequest).
//
// Open starts the port afresh: empty receive queue, no errors, no events, no wait mask, DTR and
// RTS as the handshake settings ask, the UART's interrupts on. The line settings, handshake,
// characters and time-outs stay as the last handle left them. Cleanup ends the handle's pending
// requests; close (which some platforms send while requests are still pending, without a
// cleanup) ends any left, lets the transmitter finish what it holds, and quiets the UART.
#include "corserial.h"

namespace {

constexpr ULONG DefaultReceiveQueue = 4096;

// The per-open state of the port, as a new handle finds it. Interrupt-synchronised.
VOID OpenAfresh(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    S->Open = TRUE;
    S->Rx.In = 0;
    S->Rx.Out = 0;
    S->Rx.Count = 0;
    S->RxFlowOff = FALSE;
    S->Errors = 0;
    S->ErrorAbort = FALSE;
    S->WaitMask = 0;
    S->EventHistory = 0;
    S->HoldReasons = 0;
    S->FlowCharPending = FALSE;
    S->Lcr &= static_cast<UCHAR>(~LcrBreak);
    if (S->IsrLive) {
        // Whatever the UART took in while the port was closed is not the new handle's, and
        // neither is the overrun or error it latched meanwhile: the status is read away, not
        // recorded.
        UartOut(S, UartLcr, S->Lcr);
        if (S->Fcr & FcrEnable) {
            UartOut(S, UartIirFcr, static_cast<UCHAR>(S->Fcr | FcrRxReset));
        }
        UartIn(S, UartLsr);
    }
    UartApplyOpenState(Port);
}

} // namespace

VOID DefaultSettings(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    S->BaudRate = 9600;
    S->LineControl.WordLength = 8;
    S->LineControl.Parity = NO_PARITY;
    S->LineControl.StopBits = STOP_BIT_1;
    S->Lcr = LineControlBits(&S->LineControl);
    S->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    S->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    // Flow control, when a program turns it on: stop the sender with an eighth of the queue
    // still free, let it go again once the queue is down to a quarter.
    S->HandFlow.XoffLimit = static_cast<LONG>(S->Rx.Size / 8);
    S->HandFlow.XonLimit = static_cast<LONG>(S->Rx.Size / 4);
    S->Chars.XonChar = 0x11;
    S->Chars.XoffChar = 0x13;
    S->Mcr = McrOut2;
    S->TxIdle = TRUE;
}

ULONG DefaultReceiveQueueSize()
{
    return DefaultReceiveQueue;
}

VOID EndRequestsOf(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done)
{
    EndReads(Port, File, Status, Done);
    EndWrites(Port, File, Status, Done);
    EndImmediate(Port, File, Status, Done);
    EndWait(Port, File, Status, Done);
}

NTSTATUS SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteUnlocked(Irp, Status, 0);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT File = Stack->FileObject;
    if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        Status = STATUS_NOT_A_DIRECTORY;
    } else if (File == nullptr || File->FileName.Length != 0) {
        // A port has nothing below it: \\.\COM3\x names nothing.
        Status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        PortLock Lock(Port);
        if (Port->Removing) {
            Status = STATUS_DELETE_PENDING;
        } else if (!Port->EverStarted) {
            Status = STATUS_DEVICE_NOT_READY;
        } else if (Port->OpenFile != nullptr) {
            Status = STATUS_ACCESS_DENIED;
        } else {
            Port->OpenFile = File;
            SyncWithIsr(Port, [&] { OpenAfresh(Port); });
        }
    }
    return CompleteRequest(Port, Irp, Status, 0);
}

NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    PFILE_OBJECT File = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    {
        CompletionBatch Done(Port);
        PortLock Lock(Port);
        if (File != nullptr && File == Port->OpenFile) {
            EndRequestsOf(Port, File, STATUS_CANCELLED, Done);
        }
    }
    return CompleteUnlocked(Irp, STATUS_SUCCESS, 0);
}

// Close cannot fail. Only the owner's close changes the port: a handle whose open was refused
// leaves the owner's state alone.
NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    PFILE_OBJECT File = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN Owner;
    {
        CompletionBatch Done(Port);
        PortLock Lock(Port);
        Owner = File != nullptr && File == Port->OpenFile;
        if (Owner) {
            EndRequestsOf(Port, File, STATUS_CANCELLED, Done);
        }
    }
    if (Owner) {
        UartDrainTransmitter(Port);
        PortLock Lock(Port);
        SyncWithIsr(Port, [&] {
            PSERIAL_SHARED S = &Port->Shared;
            S->Open = FALSE;
            S->Lcr &= static_cast<UCHAR>(~LcrBreak);
            if (S->IsrLive) {
                UartOut(S, UartLcr, S->Lcr);
            }
            UartApplyOpenState(Port);
        });
        Port->OpenFile = nullptr;
    }
    return CompleteUnlocked(Irp, STATUS_SUCCESS, 0);
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
        return CompleteRequest(Port, Irp, STATUS_INVALID_PARAMETER, 0);
    }
    if (Stack->Parameters.QueryVolume.Length < sizeof(FILE_FS_DEVICE_INFORMATION)) {
        return CompleteRequest(Port, Irp, STATUS_BUFFER_TOO_SMALL, 0);
    }
    FILE_FS_DEVICE_INFORMATION Information;
    RtlZeroMemory(&Information, sizeof(Information));
    Information.DeviceType = FILE_DEVICE_SERIAL_PORT;
    Information.Characteristics = DeviceObject->Characteristics;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Information, sizeof(Information));
    return CompleteRequest(Port, Irp, STATUS_SUCCESS, sizeof(Information));
}
