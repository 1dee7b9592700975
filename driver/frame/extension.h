// Device extensions of corcard. Both kinds begin with the same head; the driver's major-function
// entries jump through the head's slots, so adapter and port devices run different code under one
// driver object without any test of the device kind on the request path.
#pragma once

#include "frame/kernel.h"
#include "catalogue/catalogue.h"

// Every allocation of the driver carries this tag ("TCIO" as the pool shows it).
constexpr ULONG CorPoolTag = 0x4F494354;

// Head kinds. A port's kind is the enumeration flag 0x100 combined with 2.
constexpr ULONG AdapterKind = 1;
constexpr ULONG PortKindFlag = 0x100;
constexpr ULONG PortKind = PortKindFlag | 2;

// Adapter plug-and-play states.
enum : ULONG {
    PnpActive = 0,
    PnpStopPending = 1,
    PnpStopped = 2,
    PnpRemovePending = 3,
    PnpRemoved = 4,
    PnpSurpriseRemoved = 5,
};

typedef struct _EXTENSION_HEAD EXTENSION_HEAD, *PEXTENSION_HEAD;
typedef struct _PORT_EXTENSION PORT_EXTENSION, *PPORT_EXTENSION;
typedef VOID QUIESCE_ROUTINE(PPORT_EXTENSION Port);
typedef QUIESCE_ROUTINE* PQUIESCE_ROUTINE;

struct _EXTENSION_HEAD {
    ULONG Kind;
    ULONG Index;
    PDRIVER_DISPATCH SystemControlRoutine;
    PDRIVER_DISPATCH PnpRoutine;
    PDRIVER_DISPATCH PowerRoutine;
    PQUIESCE_ROUTINE QuiesceRoutine; // null in an adapter extension
};

// One port interrupt callback. Changed only under the interrupt's synchronisation while an
// interrupt is connected; all zero whenever none is.
typedef struct _INTERRUPT_SLOT {
    UCHAR InUse;
    UCHAR Mask;
    PKSERVICE_ROUTINE Routine;
    PVOID Context;
} INTERRUPT_SLOT, *PINTERRUPT_SLOT;

constexpr ULONG InterruptSlotCount = 8;

typedef struct _IO_BAR {
    ULONG64 Start;
    ULONG Length;
} IO_BAR, *PIO_BAR;

constexpr ULONG PciBarCount = 6;

typedef struct _ADAPTER_EXTENSION {
    EXTENSION_HEAD Head;
    KMUTEX Mutex;
    ULONG PnpState;
    DEVICE_CAPABILITIES Capabilities;
    ULONG DevicePowerState; // DEVICE_POWER_STATE
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    LIST_ENTRY PortList;
    ULONG PortCount;
    ULONG SerialPortCount;
    volatile LONG OutstandingIo;
    volatile LONG InterfaceRefCount;
    PCI_COMMON_HEADER PciConfig;
    ULONG64 StatusPort;
    const BOARD_ENTRY* Board;
    IO_BAR Bars[PciBarCount];
    ULONG InterruptLevel;
    ULONG InterruptVector;
    ULONG64 InterruptAffinity;
    ULONG InterruptMode; // 0 level-sensitive, 1 latched
    BOOLEAN InterruptShared;
    BOOLEAN HasInterrupt;
    PKINTERRUPT InterruptObject;
    INTERRUPT_SLOT InterruptSlots[InterruptSlotCount];
    PWCHAR ParentInstanceId; // non-paged pool, at most 255 characters
    KEVENT RemoveEvent;      // set when OutstandingIo drops to zero (only after a remove)
    // Nonzero from the moment a power-down is decided until the bus has powered the function up
    // again: the ISR leaves the registers alone meanwhile (interlocked access).
    volatile LONG RegistersOff;
} ADAPTER_EXTENSION, *PADAPTER_EXTENSION;

struct _PORT_EXTENSION {
    EXTENSION_HEAD Head;
    LIST_ENTRY Link;
    PADAPTER_EXTENSION Adapter;
    PDEVICE_OBJECT Self;
    const PORT_DESCRIPTOR* Descriptor;
    ULONG PortNumber;
    DEVICE_CAPABILITIES Capabilities;
    ULONG64 IoBase;
    ULONG IoLength;
    ULONG InterruptMask;
    LONG InterruptSlot; // -1 (or the failed hook's answer) while no callback is hooked
};

// Layouts fixed by the platform.
static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
static_assert(sizeof(PCI_COMMON_HEADER) == 64, "the PCI common header is 64 bytes");

inline PEXTENSION_HEAD HeadOf(PDEVICE_OBJECT Device)
{
    return static_cast<PEXTENSION_HEAD>(Device->DeviceExtension);
}

inline PADAPTER_EXTENSION AdapterOf(PDEVICE_OBJECT Device)
{
    return static_cast<PADAPTER_EXTENSION>(Device->DeviceExtension);
}

inline PPORT_EXTENSION PortOf(PDEVICE_OBJECT Device)
{
    return static_cast<PPORT_EXTENSION>(Device->DeviceExtension);
}

inline PPORT_EXTENSION PortFromLink(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, PORT_EXTENSION, Link);
}
