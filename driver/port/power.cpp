// Power requests to a port device. The port has no power state of its own to manage: the adapter
// is the power policy owner of the PCI function, and the port function driver drives its UART.
// Set and query are acknowledged, a wait-wake ends at once; nothing is locked, recorded or
// announced to the power manager.
#include "corcard.h"

NTSTATUS PortPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_WAIT_WAKE:
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        // The power manager may send the next power request of this device only after this.
        PoStartNextPowerIrp(Irp);
        return CompleteIrp(Irp, STATUS_SUCCESS, 0);

    default:
        // IRP_MN_POWER_SEQUENCE and anything unknown: the status it arrived with.
        return CompleteIrpWithCurrentStatus(DeviceObject, Irp);
    }
}
