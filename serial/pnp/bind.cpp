// Binding to the hardware through the port device's bus interface.
//
// A corcard port device claims no resources: its function driver asks it for the interface
// (exact GUID, size 52, version 2), learns the UART's register block and the adapter's interrupt
// from GetResources, and hooks its callback into the adapter's shared dispatcher with ConnectIsr
// instead of connecting an interrupt of its own. All three take the adapter's mutex, so they are
// called here at PASSIVE_LEVEL, never from the callback. Before the port stops using the UART it
// unhooks with DisconnectIsr (the adapter refuses a new hook until the old one is gone) and lets
// the interface go with one InterfaceDereference per successful query.
//
// The record's DriverParameter (2 on every board) says nothing this driver needs.
#include "corserial.h"

namespace {

constexpr UCHAR ScratchPatterns[] = {0x5A, 0xA5};

NTSTATUS QueryBusInterface(PSERIAL_PORT Port)
{
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK IoStatus;
    PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Port->LowerDevice, nullptr, 0, nullptr,
                                            &Done, &IoStatus);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A plug-and-play request starts out not supported: a driver that does not know it passes
    // it on untouched.
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    RtlZeroMemory(&Port->Bus, sizeof(Port->Bus));
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    Stack->Parameters.QueryInterface.InterfaceType = &CORPORT_INTERFACE_GUID;
    Stack->Parameters.QueryInterface.Size = CORPORT_INTERFACE_SIZE;
    Stack->Parameters.QueryInterface.Version = CORPORT_INTERFACE_VERSION;
    Stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&Port->Bus);
    Stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    NTSTATUS Status = IoCallDriver(Port->LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
        Status = IoStatus.Status;
    }
    if (NT_SUCCESS(Status) && (Port->Bus.Size != CORPORT_INTERFACE_SIZE ||
                               Port->Bus.Version != CORPORT_INTERFACE_VERSION)) {
        // Not the record this driver knows: give the reference back and do not use it.
        Port->Bus.InterfaceDereference(Port->Bus.Context);
        Status = STATUS_NOT_SUPPORTED;
    }
    return Status;
}

// A register block this driver can address: eight byte-wide registers in the 16-bit I/O space.
BOOLEAN UsableResources(const CORPORT_RESOURCES& Resources)
{
    return Resources.IoLength >= UartRegisterCount &&
           Resources.IoBase + UartRegisterCount <= 0x10000 && Resources.InterruptObject != nullptr;
}

// The scratch register keeps what is written to it: a UART answers at the block. Then the
// 64-byte FIFO mode, where the configuration asks for it: a part that takes FCR bit 5 shows it in
// IIR bit 5. The UART is left quiet (no interrupt source enabled).
NTSTATUS ProbeUart(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    for (UCHAR Pattern : ScratchPatterns) {
        UartOut(S, UartScr, Pattern);
        if (UartIn(S, UartScr) != Pattern) {
            ReportEvent(Port, SerialMsgError, "No UART answers at the port's register block.");
            return STATUS_DEVICE_NOT_CONNECTED;
        }
    }
    UartOut(S, UartIer, 0);
    if (Port->Config.FifoEnable && Port->Config.Fifo64) {
        const UCHAR Lcr = UartIn(S, UartLcr);
        UartOut(S, UartLcr, static_cast<UCHAR>(Lcr | LcrDlab));
        UartOut(S, UartIirFcr, FcrEnable | Fcr64Byte);
        const UCHAR Iir = UartIn(S, UartIirFcr);
        UartOut(S, UartLcr, static_cast<UCHAR>(Lcr & ~LcrDlab));
        if (!(Iir & Fcr64Byte)) {
            {
                PortLock Lock(Port);
                Port->Config.Fifo64 = FALSE;
            }
            ReportEvent(Port, SerialMsgWarning,
                        "The port's UART has no 64-byte FIFO mode, so 16-byte FIFOs are used.");
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS BindHardware(PSERIAL_PORT Port)
{
    NTSTATUS Status = QueryBusInterface(Port);
    if (!NT_SUCCESS(Status)) {
        // A shortage is not the port device's answer: the interface may well be there.
        ReportEvent(Port, SerialMsgError,
                    Status == STATUS_INSUFFICIENT_RESOURCES
                        ? "The port's bus interface could not be queried."
                        : "The port device offers no port bus interface.");
        return Status;
    }
    Port->BusReferenced = TRUE;

    CORPORT_RESOURCES Resources;
    RtlZeroMemory(&Resources, sizeof(Resources));
    Status = Port->Bus.GetResources(Port->Bus.Context, &Resources);
    if (NT_SUCCESS(Status) && !UsableResources(Resources)) {
        Status = STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError,
                    "The port has no usable register block or interrupt assigned.");
        ReleaseHardware(Port, FALSE);
        return Status;
    }
    Port->IoBase = Resources.IoBase;
    Port->InterruptLevel = Resources.InterruptLevel;
    Port->InterruptVector = Resources.InterruptVector;
    Port->InterruptAffinity = Resources.InterruptAffinity;
    Port->InterruptMode = Resources.InterruptMode;
    {
        PortLock Lock(Port);
        Port->Shared.Registers = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Resources.IoBase));
    }
    // Nothing services this UART yet (not hooked, not live): its registers are this path's.
    Status = ProbeUart(Port);
    if (!NT_SUCCESS(Status)) {
        ReleaseHardware(Port, FALSE);
        return Status;
    }

    Status = Port->Bus.ConnectIsr(Port->Bus.Context, SerialIsr, Port);
    if (!NT_SUCCESS(Status)) {
        ReportEvent(Port, SerialMsgError, "The port's interrupt callback could not be hooked.");
        ReleaseHardware(Port, FALSE);
        return Status;
    }
    PortLock Lock(Port);
    Port->Interrupt = Resources.InterruptObject;
    Port->Hooked = TRUE;
    return STATUS_SUCCESS;
}

VOID ReleaseHardware(PSERIAL_PORT Port, BOOLEAN TouchHardware)
{
    if (Port->Hooked) {
        {
            PortLock Lock(Port);
            SyncWithIsr(Port, [&] {
                PSERIAL_SHARED S = &Port->Shared;
                if (TouchHardware && S->IsrLive) {
                    // The other end is told to hold off (handshake lines, XOFF) and the UART
                    // raises no more interrupts. Its FIFOs keep what they hold for a restart.
                    HoldFarEnd(Port);
                    UartOut(S, UartIer, 0);
                }
                S->IsrLive = FALSE;
            });
            // From here on SyncWithIsr runs routines directly: the callback no longer touches
            // anything, and after DisconnectIsr it is not called at all.
            Port->Hooked = FALSE;
        }
        Port->Bus.DisconnectIsr(Port->Bus.Context);
    }
    Port->Interrupt = nullptr;
    if (Port->BusReferenced) {
        Port->Bus.InterfaceDereference(Port->Bus.Context);
        Port->BusReferenced = FALSE;
    }
}
