// Handles: create, cleanup and close.
//
// A COM port is opened by one handle at a time. The device object is exclusive, so the I/O
// manager refuses a second open itself; the port refuses one too (some platforms ignore the
// exclusive flag), and talks only to the file object that owns it (AcceptRequest).
//
// Open starts the port afresh: empty receive queue, no errors, no events, no wait mask, no status
// insertion, statistics from zero, DTR and RTS as the handshake settings ask, the UART's
// interrupts on. The line settings, handshake, characters and time-outs stay as the last handle
// left them. Cleanup ends the handle's pending requests; close (which some platforms send while
// requests are still pending, without a cleanup) ends any left, lets the transmitter finish what
// it holds, and quiets the UART.
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
    S->Errors = 0;
    S->ErrorAbort = FALSE;
    S->WaitMask = 0;
    S->EventHistory = 0;
    S->EscapeChar = 0;
    // What the far end was told stays known (an XOFF of the last handle's is taken back by the
    // flow state's reset); every other hold starts over.
    S->HoldReasons &= SERIAL_TX_WAITING_XOFF_SENT;
    S->Lcr &= static_cast<UCHAR>(~LcrBreak);
    S->Mcr &= static_cast<UCHAR>(~(McrLoop | McrOut1)); // a last handle's loopback test is over
    RtlZeroMemory(&S->Stats, sizeof(S->Stats));
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
    EndWrites(Port, File, Status, TRUE, Done);
    EndImmediate(Port, File, Status, Done);
    EndWait(Port, File, Status, Done);
}

NTSTATUS SerialCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT File = Stack->FileObject;
    if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        Status = STATUS_NOT_A_DIRECTORY;
    } else if (File == nullptr || File->FileName.Length != 0) {
        // A port has nothing below it: \\.\COM3\x names nothing.
        Status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else {
        // A query-remove that found the port free and succeeded must not be followed by an open
        // the removal would take away.
        PortLock Lock(Port);
        if (Port->Removing || Port->RemoveQueried) {
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
    return CompleteAndRelease(Port, Irp, Status, 0);
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
    return CompleteWithoutRemoveLock(Irp, STATUS_SUCCESS, 0);
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
            S->Mcr &= static_cast<UCHAR>(~(McrLoop | McrOut1));
            if (S->IsrLive) {
                UartOut(S, UartLcr, S->Lcr);
            }
            UartApplyOpenState(Port);
        });
        Port->OpenFile = nullptr;
    }
    return CompleteWithoutRemoveLock(Irp, STATUS_SUCCESS, 0);
}
