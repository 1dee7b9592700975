// corcard's private header: every routine of the driver, grouped under the file that defines it.
#pragma once

#include "frame/kernel.h"
#include "frame/extension.h"
#include "catalogue/catalogue.h"
#include "corport.h"

// ---- frame/frame.cpp: driver entry, dispatch frame, request routines -------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;

// TRUE when the platform does not report WDM 1.10; set once at entry.
extern BOOLEAN LegacyWdm;
// Instance number of the next adapter; never decremented.
extern ULONG NextAdapterIndex;

DRIVER_DISPATCH DispatchSystemControl;
DRIVER_DISPATCH DispatchPnp;
DRIVER_DISPATCH DispatchPower;
DRIVER_UNLOAD AdapterUnload;
DRIVER_DISPATCH AdapterSystemControl;

NTSTATUS ForwardIrp(PDEVICE_OBJECT LowerDevice, PIRP Irp);
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN CopyStackLocation);
IO_COMPLETION_ROUTINE ForwardCompletion;
NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
DRIVER_DISPATCH CompleteIrpWithCurrentStatus;

// ---- eventlog/eventlog.cpp: event-log reports -------------------------------------------------

// Message codes of the driver's message table (customer bit, facility 7).
constexpr ULONG CorMsgInformation = 0x60070001;
constexpr ULONG CorMsgWarning = 0xA0070002;
constexpr ULONG CorMsgError = 0xE0070003;

VOID ReportEvent(PVOID IoObject, ULONG MessageCode, PCSTR Text);

// ---- catalogue/catalogue.cpp -------------------------------------------------------------------

// The first row whose four PCI identifiers match the header, or nullptr.
const BOARD_ENTRY* FindBoard(const PCI_COMMON_HEADER* Config);

// ---- adapter/enumerate.cpp: add-device, port enumeration, deletion -----------------------------

DRIVER_ADD_DEVICE AdapterAddDevice;
NTSTATUS ReadPciConfig(PDEVICE_OBJECT Target, ULONG Offset, ULONG Length, PVOID Buffer,
                       UCHAR MinorFunction);
NTSTATUS EnumeratePorts(PADAPTER_EXTENSION Adapter);
NTSTATUS CreatePortDevice(PADAPTER_EXTENSION Adapter, ULONG KindFlags, ULONG PortNumber,
                          const PORT_DESCRIPTOR* Descriptor);
VOID DeletePorts(PADAPTER_EXTENSION Adapter);
VOID DeleteAdapter(PADAPTER_EXTENSION Adapter);
VOID ReleaseAdapterReference(PADAPTER_EXTENSION Adapter);

// ---- adapter/pnp.cpp: the adapter's plug-and-play state machine --------------------------------

DRIVER_DISPATCH AdapterPnp;
NTSTATUS QueryBusRelations(PADAPTER_EXTENSION Adapter, PIRP Irp);

// ---- resources/resources.cpp: start-device resource assignment ---------------------------------

// The condensed form of one assigned resource list.
typedef struct _RESOURCE_SUMMARY {
    LONG PortRangeCount;
    IO_BAR PortRanges[6];
    LONG InterruptCount;
    ULONG InterruptLevel;
    ULONG InterruptVector;
    ULONG64 InterruptAffinity;
    ULONG InterruptLatched;
    BOOLEAN InterruptShared;
} RESOURCE_SUMMARY, *PRESOURCE_SUMMARY;

NTSTATUS StartAdapter(PADAPTER_EXTENSION Adapter, PIRP Irp);
NTSTATUS QueryParentInstanceId(PADAPTER_EXTENSION Adapter);
VOID ParseResourceList(const CM_RESOURCE_LIST* List, PRESOURCE_SUMMARY Summary);
NTSTATUS CaptureResources(PADAPTER_EXTENSION Adapter, const RESOURCE_SUMMARY* Raw,
                          const RESOURCE_SUMMARY* Translated, const PCI_COMMON_HEADER* Config);
NTSTATUS AssignPortResources(PADAPTER_EXTENSION Adapter);
VOID ClearPortResources(PADAPTER_EXTENSION Adapter);

// ---- interrupt/interrupt.cpp: the shared interrupt dispatcher ----------------------------------

// Register answers of RegisterPortIsr besides a slot index.
constexpr LONG SlotsExhausted = -1;
constexpr LONG NoInterruptConnected = -2;

// Handed to the synchronised slot routines; lives on the caller's stack for one call.
typedef struct _SLOT_REQUEST {
    PADAPTER_EXTENSION Adapter;
    LONG Slot;
    PKSERVICE_ROUTINE Routine;
    PVOID Context;
    ULONG Mask;
} SLOT_REQUEST, *PSLOT_REQUEST;

NTSTATUS ConnectInterrupt(PADAPTER_EXTENSION Adapter);
VOID DisconnectInterrupt(PADAPTER_EXTENSION Adapter);
LONG RegisterPortIsr(PADAPTER_EXTENSION Adapter, PKSERVICE_ROUTINE Routine, PVOID Context,
                     ULONG Mask);
VOID UnregisterPortIsr(PADAPTER_EXTENSION Adapter, ULONG Slot);
KSERVICE_ROUTINE AdapterIsr;
KSYNCHRONIZE_ROUTINE ClaimSlot;   // context: PSLOT_REQUEST
KSYNCHRONIZE_ROUTINE ReleaseSlot; // context: PSLOT_REQUEST
VOID QuiescePorts(PADAPTER_EXTENSION Adapter);
QUIESCE_ROUTINE QuiescePort;
VOID SetRegistersPowered(PADAPTER_EXTENSION Adapter, BOOLEAN Powered);
KSYNCHRONIZE_ROUTINE IsrHasLeft;

// ---- portif/portif.cpp: the port bus interface -------------------------------------------------

NTSTATUS PortQueryInterface(PPORT_EXTENSION Port, PIRP Irp);
// The five operations of the interface record; their types come from corport.h so that the
// record and the routines cannot drift apart.
CORPORT_INTERFACE_REFERENCE PortInterfaceReference;
CORPORT_INTERFACE_REFERENCE PortInterfaceDereference;
CORPORT_CONNECT_ISR PortConnectIsr;
CORPORT_DISCONNECT_ISR PortDisconnectIsr;
CORPORT_GET_RESOURCES PortGetResources;

// ---- port/pnp.cpp and port/power.cpp: port devices ---------------------------------------------

DRIVER_DISPATCH PortPnp;
DRIVER_DISPATCH PortPower;
NTSTATUS PortQueryId(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS PortQueryDeviceText(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS PortQueryCapabilities(PPORT_EXTENSION Port, PIRP Irp);
NTSTATUS PortQueryTargetRelation(PPORT_EXTENSION Port, PIRP Irp);

// A request field of enumeration type, read as the 32-bit value its sender stored. Senders may
// store values that the enumeration does not name (a newer ID or text type, a system state past
// shutdown), and reading those through the enumeration type is undefined in C++.
template <typename Enum> inline ULONG StoredValue(const Enum& Field)
{
    static_assert(sizeof(Enum) == sizeof(ULONG), "a 32-bit enumeration");
    ULONG Value;
    RtlCopyMemory(&Value, &Field, sizeof(Value));
    return Value;
}

// ---- power/power.cpp: the adapter's power policy -----------------------------------------------

DRIVER_DISPATCH AdapterPower;
NTSTATUS SetSystemPower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG SystemState);
NTSTATUS SetDevicePower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG DeviceState);
NTSTATUS QuerySystemPower(PADAPTER_EXTENSION Adapter, PIRP Irp, ULONG SystemState);
NTSTATUS RequestDevicePower(PDEVICE_OBJECT Target, UCHAR MinorFunction, ULONG DeviceState);
REQUEST_POWER_COMPLETE DevicePowerRequestDone;
NTSTATUS PowerUpComplete(PADAPTER_EXTENSION Adapter, PIRP Irp);
NTSTATUS PassPowerDown(PADAPTER_EXTENSION Adapter, PIRP Irp);

// ---- frame/lock.h: the adapter mutex, held for a scope -----------------------------------------
#include "frame/lock.h"
