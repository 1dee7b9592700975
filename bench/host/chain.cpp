// The reference chain: a pass-through function driver for the adapter, and port devices whose
// port bus interface connects each port driver's callback straight on the shared vector, as a
// driver of one UART connects its own interrupt. The port driver is the machine's double,
// unchanged; only the interface it is given differs.
#include "chain.h"

#include "corport.h"
#include "machine/internal.h" // hm::EnsureSerialDriver: the machine's own port driver double
#include "machine/machine.h"

#include <cstring>

namespace bench {
namespace {

constexpr ULONG FdoMagic = 0x464E4843; // "CHNF"
constexpr ULONG PdoMagic = 0x504E4843; // "CHNP"

struct ChainExtension {
    ULONG Magic;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower; // function device only
    // Port devices only.
    ULONG Index;
    ULONG64 IoBase;
    ULONG Vector;
    ULONG Level;
    KAFFINITY Affinity;
    PKINTERRUPT Interrupt;
};

ChainExtension* ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<ChainExtension*>(device->DeviceExtension);
}

VOID InterfaceReference(PVOID) {}

NTSTATUS ConnectIsr(PVOID context, PKSERVICE_ROUTINE routine, PVOID routineContext)
{
    auto ext = static_cast<ChainExtension*>(context);
    if (ext->Interrupt != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    const auto irql = static_cast<KIRQL>(ext->Level);
    return IoConnectInterrupt(&ext->Interrupt, routine, routineContext, nullptr, ext->Vector, irql,
                              irql, LevelSensitive, TRUE, ext->Affinity, FALSE);
}

VOID DisconnectIsr(PVOID context)
{
    auto ext = static_cast<ChainExtension*>(context);
    if (ext->Interrupt != nullptr) {
        IoDisconnectInterrupt(ext->Interrupt);
        ext->Interrupt = nullptr;
    }
}

NTSTATUS GetResources(PVOID context, PCORPORT_RESOURCES resources)
{
    auto ext = static_cast<ChainExtension*>(context);
    resources->IoBase = ext->IoBase;
    resources->IoLength = 8;
    resources->InterruptObject = ext->Interrupt;
    resources->InterruptLevel = static_cast<UCHAR>(ext->Level);
    resources->InterruptVector = ext->Vector;
    resources->InterruptAffinity = ext->Affinity;
    resources->InterruptMode = 0;
    resources->DriverParameter = 0;
    return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PortPnp(ChainExtension* ext, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_QUERY_INTERFACE: {
        const auto& q = sp->Parameters.QueryInterface;
        if (q.InterfaceType == nullptr ||
            std::memcmp(q.InterfaceType, &CORPORT_INTERFACE_GUID, sizeof(GUID)) != 0 ||
            q.Size < CORPORT_INTERFACE_SIZE || q.Interface == nullptr) {
            return Complete(irp, irp->IoStatus.Status);
        }
        CORPORT_BUS_INTERFACE itf;
        std::memset(&itf, 0, sizeof itf);
        itf.Size = CORPORT_INTERFACE_SIZE;
        itf.Version = CORPORT_INTERFACE_VERSION;
        itf.Context = ext;
        itf.InterfaceReference = InterfaceReference;
        itf.InterfaceDereference = InterfaceReference;
        itf.ConnectIsr = ConnectIsr;
        itf.DisconnectIsr = DisconnectIsr;
        itf.GetResources = GetResources;
        std::memcpy(q.Interface, &itf, sizeof itf);
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, irp->IoStatus.Status);
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    ChainExtension* ext = ExtensionOf(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (ext->Magic == PdoMagic) {
        if (sp->MajorFunction == IRP_MJ_PNP) {
            return PortPnp(ext, irp);
        }
        if (sp->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            return Complete(irp, STATUS_SUCCESS);
        }
        return Complete(irp, irp->IoStatus.Status);
    }
    // The adapter's function device passes everything to the bus driver below.
    if (sp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(ext->Lower, irp);
    }
    if (sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(ext->Lower, irp);
        IoDetachDevice(ext->Lower);
        IoDeleteDevice(device);
        return status;
    }
    if (sp->MajorFunction == IRP_MJ_PNP &&
        (sp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ||
         sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
         sp->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE ||
         sp->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE ||
         sp->MinorFunction == IRP_MN_STOP_DEVICE || sp->MinorFunction == IRP_MN_SURPRISE_REMOVAL)) {
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext->Lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ChainExtension), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ChainExtension* ext = ExtensionOf(fdo);
    std::memset(ext, 0, sizeof *ext);
    ext->Magic = FdoMagic;
    ext->Self = fdo;
    ext->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->Lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

} // namespace

NTSTATUS ChainDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = Dispatch;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

bool ChainCreatePorts(PDRIVER_OBJECT chainDriver, ULONG ports, ULONG64 uartBase, ULONG vector,
                      ULONG level, KAFFINITY affinity, std::vector<PDEVICE_OBJECT>* pdos)
{
    PDRIVER_OBJECT serial = hm::EnsureSerialDriver();
    for (ULONG i = 0; i < ports; ++i) {
        PDEVICE_OBJECT pdo = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(chainDriver, sizeof(ChainExtension), nullptr,
                                       FILE_DEVICE_SERIAL_PORT, FILE_AUTOGENERATED_DEVICE_NAME,
                                       FALSE, &pdo))) {
            return false;
        }
        ChainExtension* ext = ExtensionOf(pdo);
        std::memset(ext, 0, sizeof *ext);
        ext->Magic = PdoMagic;
        ext->Self = pdo;
        ext->Index = i;
        ext->IoBase = uartBase + 8 * i;
        ext->Vector = vector;
        ext->Level = level;
        ext->Affinity = affinity;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        pdos->push_back(pdo);
        if (!NT_SUCCESS(serial->DriverExtension->AddDevice(serial, pdo))) {
            return false;
        }
        if (!NT_SUCCESS(HmSendPnp(pdo, IRP_MN_START_DEVICE).Status)) {
            return false;
        }
    }
    return true;
}

void ChainDeletePorts(std::vector<PDEVICE_OBJECT>* pdos)
{
    for (PDEVICE_OBJECT pdo : *pdos) {
        if (pdo->AttachedDevice != nullptr) {
            HmSendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        }
        DisconnectIsr(ExtensionOf(pdo)); // in case the double never got as far as unhooking
        IoDeleteDevice(pdo);
    }
    pdos->clear();
}

} // namespace bench
