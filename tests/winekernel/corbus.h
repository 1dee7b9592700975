/* What the fixture bus driver (corbus.sys) and the scenario program share: the control device's
 * name, its requests and the record of everything the fixture saw corcard do. Plain C with
 * fixed-width types, so that the kernel-mode and the user-mode build read the same layout. */
#ifndef CORBUS_H
#define CORBUS_H

#include <stdint.h>

#define CORBUS_DEVICE_NAME L"\\Device\\CorBusFixture"
#define CORBUS_LINK_NAME L"\\DosDevices\\CorBusFixture"
#define CORBUS_USER_PATH L"\\\\.\\CorBusFixture"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define CORBUS_IOCTL(n) ((0x22u << 16) | ((0x800u + (n)) << 2))
#define IOCTL_CORBUS_PLUG CORBUS_IOCTL(1)       /* in: CORBUS_PLUG_REQUEST; out: uint32_t slot */
#define IOCTL_CORBUS_UNPLUG CORBUS_IOCTL(2)     /* in: uint32_t slot */
#define IOCTL_CORBUS_INTERRUPT CORBUS_IOCTL(3)  /* in: CORBUS_INTERRUPT_REQUEST */
#define IOCTL_CORBUS_UNLOAD CORBUS_IOCTL(4)     /* ZwUnloadDriver of corcard; out: int32_t status */
#define IOCTL_CORBUS_RECORD CORBUS_IOCTL(5)     /* out: CORBUS_RECORD */
#define IOCTL_CORBUS_PORT_TEXTS CORBUS_IOCTL(6) /* out: CORBUS_PORT_TEXTS */
/* in: uint32_t system power state; a set-power request to corcard's adapter in slot 0, as the
 * power manager sends it (Wine's sends none); out: int32_t its final status */
#define IOCTL_CORBUS_SYSTEM_POWER CORBUS_IOCTL(7)

#define CORBUS_MAX_SLOTS 4
#define CORBUS_MAX_EVENTS 512
#define CORBUS_MAX_ERRORS 8
#define CORBUS_MAX_PORTS 8
#define CORBUS_TEXT_UNITS 128

/* One board: its configuration header, the instance ID its PDO reports, the raw and translated
 * resource lists (CM_RESOURCE_LIST bytes) that go into corcard's start request, and register
 * contents the board's I/O ports hold before corcard touches them. */
typedef struct {
    uint8_t Config[64];
    /* Subsystem and subsystem vendor in the hardware and compatible IDs when not 0 (a board whose
     * configuration space disagrees with what it is matched as). */
    uint16_t IdSubsystem;
    uint16_t IdSubVendor;
    uint16_t InstanceId[32];
    uint32_t RawLength;
    uint32_t TranslatedLength;
    uint8_t Raw[256];
    uint8_t Translated[256];
    uint32_t PresetCount;
    struct {
        uint16_t Port;
        uint8_t Value;
        uint8_t Pad;
    } Presets[32];
} CORBUS_PLUG_REQUEST;

/* Puts Status into the interrupt status register at StatusPort and runs the service routine that
 * corcard connected, as the line raising would. */
typedef struct {
    uint32_t StatusPort;
    uint8_t Status;
    uint8_t Pad[3];
} CORBUS_INTERRUPT_REQUEST;

enum CORBUS_EVENT_KIND {
    EvPdoIrp = 1,     /* Slot, A major, B minor, C status answered, D request detail */
    EvPortRead,       /* A port, B value */
    EvPortWrite,      /* A port, B value */
    EvConnect,        /* A vector, B irql | sync irql << 8 | mode << 16 | shared << 24,
                         C affinity, D floating save */
    EvDisconnect,     /* A 1 if the object was the connected one */
    EvSynchronize,    /* A result */
    EvIsr,            /* A status register value, B result */
    EvErrorLog,       /* A index into Errors */
    EvCompatibleIds,  /* a port device's NOT_SUPPORTED compatible-ID answer made an empty list */
    EvCorcardLoaded,  /* A imports replaced */
    EvUnload,         /* DriverUnload ran; A device objects left afterwards */
    EvPowerRequest,   /* A minor, B state */
    EvDoubleAdded,    /* port double on a port device: A port index (hardware ID number) */
    EvDoubleCallback, /* A port index, B result */
    EvStartResources, /* Slot: the test's lists went into corcard's start request */
    EvStartDone,      /* Slot: corcard's start returned A (status) */
    EvCorcardIrp,     /* a plug-and-play request reached corcard: Slot the adapter's slot or
                         CORBUS_PORT_DEVICE, A minor, B ID, text or relation type, C device */
};

#define CORBUS_PORT_DEVICE 0xFFFFFFFFu

typedef struct {
    uint32_t Kind;
    uint32_t Slot;
    uint64_t A, B, C, D;
} CORBUS_EVENT;

/* One error-log entry as corcard wrote it: the packet's fixed part and its first string. */
typedef struct {
    uint32_t ErrorCode;
    int32_t FinalStatus;
    uint32_t UniqueErrorValue;
    uint16_t NumberOfStrings;
    uint16_t StringOffset;
    uint32_t Size; /* as asked of IoAllocateErrorLogEntry */
    uint16_t Text[CORBUS_TEXT_UNITS];
} CORBUS_ERROR;

/* What the port double got from corcard's port bus interface on one port device. */
typedef struct {
    uint32_t PortIndex;
    int32_t QueryStatus;
    int32_t ResourcesStatus;
    int32_t ConnectStatus;
    uint8_t Interface[52]; /* the interface record as answered */
    uint8_t Resources[56]; /* the resource record as answered (reserved bytes preset to 0xA5) */
} CORBUS_DOUBLE;

typedef struct {
    uint32_t EventCount;
    uint32_t ErrorCount;
    uint32_t DoubleCount;
    uint32_t ImportsReplaced;
    uint64_t CorcardBase;
    uint64_t CorcardSize;
    uint64_t InterruptObject; /* what the fixture's IoConnectInterrupt handed out */
    uint64_t ServiceRoutine;
    uint64_t ServiceContext;
    int32_t DevicesCreated; /* by corcard, through IoCreateDevice */
    int32_t DevicesDeleted;
    int32_t NonPagedOutstanding; /* corcard's non-paged allocations not yet freed by it */
    int32_t UnloadRan;
    int32_t DevicesLeftAtUnload;
    /* What DriverEntry set, each bit when it points into corcard's image: 1 IRP_MJ_PNP,
     * 2 IRP_MJ_POWER, 4 IRP_MJ_SYSTEM_CONTROL, 8 AddDevice, 16 DriverUnload. */
    uint32_t DriverRoutines;
    CORBUS_EVENT Events[CORBUS_MAX_EVENTS];
    CORBUS_ERROR Errors[CORBUS_MAX_ERRORS];
    CORBUS_DOUBLE Doubles[CORBUS_MAX_PORTS];
} CORBUS_RECORD;

/* The location and description texts, asked of every corcard port device by the fixture (the
 * manager records the description but never asks for the location). */
typedef struct {
    uint32_t Count;
    struct {
        uint16_t InstanceId[CORBUS_TEXT_UNITS];
        uint16_t Description[CORBUS_TEXT_UNITS];
        uint16_t Location[CORBUS_TEXT_UNITS];
    } Ports[CORBUS_MAX_PORTS];
} CORBUS_PORT_TEXTS;

#endif
