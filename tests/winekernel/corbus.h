/* What the fixture bus driver (corbus.sys) and the scenario program share: the control device's
 * name, its requests and the record of everything the fixture saw corcard and corserial do and
 * supplied to them. Plain C with fixed-width types, so that the kernel-mode and the user-mode
 * build read the same layout. */
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
#define IOCTL_CORBUS_LINE CORBUS_IOCTL(8) /* in: CORBUS_LINE_REQUEST (slot 0's board) */
/* in: uint32_t port (1-based, slot 0's board); out: CORBUS_UART */
#define IOCTL_CORBUS_UART CORBUS_IOCTL(9)
/* in: uint32_t characters: the adapter's interrupt goes unserviced while that many characters
 * arrive at slot 0's UARTs, as a long interrupt latency would leave it */
#define IOCTL_CORBUS_HOLD_INTERRUPT CORBUS_IOCTL(10)
/* in: uint32_t port (1-based, slot 0's board); out: int32_t status. The port device's stack is
 * taken down and built again (query-remove, remove, add-device, start), as the plug-and-play
 * manager does for a property change that Wine's class installer cannot make. */
#define IOCTL_CORBUS_RESTART_PORT CORBUS_IOCTL(11)
#define IOCTL_CORBUS_UNLOAD_SERIAL                                                                 \
    CORBUS_IOCTL(12) /* ZwUnloadDriver of corserial; out: int32_t                                  \
                      */

#define CORBUS_MAX_SLOTS 4
#define CORBUS_MAX_EVENTS 512
#define CORBUS_MAX_ERRORS 32
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
    /* 0: the board's I/O ports are plain bytes (the presets above). Otherwise the board carries
     * this many 16550A UARTs at BAR 0 and the interrupt status register at BAR 1, modelled with
     * their lines, and raises the interrupt itself. */
    uint32_t Uarts;
} CORBUS_PLUG_REQUEST;

/* What is plugged into a port's connector. */
enum CORBUS_FAR_END {
    CorbusFarOpen = 0,     /* nothing: the line idles, every modem input low */
    CorbusFarLoopback = 1, /* a loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD */
    CorbusFarNullModem = 2 /* a null-modem cable to Peer: TX to RX, RTS to CTS, DTR to DSR and
                              DCD, both ways */
};

/* The wires a port drives to its far end (TX to RX, RTS to CTS, DTR to DSR and DCD), for a line
 * with a wire broken. */
enum CORBUS_WIRE {
    CorbusWireTx = 1,
    CorbusWireRts = 2,
    CorbusWireDtr = 4
};

typedef struct {
    uint32_t Port; /* 1-based */
    uint32_t Far;
    uint32_t Peer;   /* 1-based, for a cable */
    uint32_t Broken; /* CORBUS_WIRE bits: Port's wires that do not reach the far end */
    /* Port's transmitter runs this many thousandths off its programmed rate (a clock off its
     * frequency): beyond 30 the far end samples its characters wrongly and sees framing
     * errors, whatever both ends were set to. */
    int32_t RateError;
} CORBUS_LINE_REQUEST;

/* One modelled UART: its registers as last written, its status now, what it moved. */
typedef struct {
    uint8_t Ier;
    uint8_t Lcr;
    uint8_t Mcr;
    uint8_t Fcr; /* as last written, reset bits cleared; bit 5 the 64-byte mode in force */
    uint8_t Dll;
    uint8_t Dlm;
    uint8_t Msr; /* line states (high nibble) */
    uint8_t Lsr;
    uint32_t RxLevel; /* characters in the receive FIFO */
    uint32_t Pad;
    uint64_t Transmitted; /* characters that left the shift register */
    uint64_t Received;    /* characters that reached the receive FIFO */
    uint64_t Overruns;    /* characters lost to a full receive FIFO */
    uint64_t Breaks;      /* breaks sent */
} CORBUS_UART;

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
    EvSynchronize,    /* corcard's KeSynchronizeExecution; A result */
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
    EvSerialLoaded,   /* corserial's image mapped; A imports replaced */
    EvNameAssigned,   /* a port device got its COM name: A port index, B COM number */
    EvRestart,        /* the fixture restarted a port device: A port index, B status, C 1 when
                         it took away a DOS name the driver had not made (serial.c) */
    EvSerialUnload,   /* corserial's DriverUnload ran; A device objects left afterwards */
};

#define CORBUS_PORT_DEVICE 0xFFFFFFFFu

typedef struct {
    uint32_t Kind;
    uint32_t Slot;
    uint64_t A, B, C, D;
} CORBUS_EVENT;

/* One error-log entry as corcard wrote it: the packet's fixed part and its first string. */
enum CORBUS_SOURCE {
    CorbusSourceCorcard = 0,
    CorbusSourceCorserial = 1
};

typedef struct {
    uint32_t Source; /* the driver that wrote it */
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

    /* corserial, as the fixture served and counted it. */
    uint32_t SerialImportsReplaced;
    int32_t SerialDevicesCreated;
    int32_t SerialDevicesDeleted;
    int32_t SerialNonPagedOutstanding;
    int32_t SerialUnloadRan;
    int32_t SerialDevicesLeftAtUnload;
    uint32_t DpcsQueued; /* deferred procedure calls queued and run by the fixture */
    uint32_t DpcsRun;
    uint32_t DpcsLeftAtUnload; /* DPCs queued or running and timers set when corserial's
                                  DriverUnload returned */
    uint32_t NamesAssigned;    /* COM names given in place of the Ports class installer */
    /* The modelled boards' interrupt: service routine calls made by the interrupt thread, those
     * that the routine declined while a UART's interrupt was pending, and the synchronize IRQL
     * the platform would run them at. */
    uint32_t Interrupts;
    uint32_t InterruptsDeclined;
    uint32_t InterruptIrql;
    uint32_t Pad;
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
