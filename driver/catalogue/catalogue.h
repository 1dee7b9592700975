// The board catalogue: the only place where board models are known.
#pragma once

#include "frame/kernel.h"

// Where one port's UART registers lie and which status bit is its own.
typedef struct _PORT_DESCRIPTOR {
    UCHAR Type;          // PortTypeSerial for a serial port; only those get a port device
    CHAR Bar;            // BAR holding the registers, 0 to 5
    UCHAR Offset;        // from the start of that BAR's assigned range
    UCHAR Length;        // of the register block
    UCHAR InterruptMask; // bit of the adapter's interrupt status register
    UCHAR Reserved[3];
    ULONG DriverParameter; // passed through to the port function driver
} PORT_DESCRIPTOR, *PPORT_DESCRIPTOR;

constexpr UCHAR PortTypeSerial = 's';
constexpr ULONG MaxBoardPorts = 8;

typedef struct _BOARD_ENTRY {
    USHORT VendorId;
    USHORT DeviceId;
    USHORT SubVendorId;
    USHORT SubSystemId;
    ULONG Reserved;
    LONG NumberOfPorts; // descriptors in use: 2, 4 or 8
    WCHAR ModelText[10];
    WCHAR InterfaceText[20];
    PORT_DESCRIPTOR PortDescriptors[MaxBoardPorts];
} BOARD_ENTRY, *PBOARD_ENTRY;

static_assert(sizeof(PORT_DESCRIPTOR) == 12, "port descriptor is 12 bytes");
static_assert(FIELD_OFFSET(PORT_DESCRIPTOR, DriverParameter) == 8, "DriverParameter at 8");
static_assert(FIELD_OFFSET(BOARD_ENTRY, NumberOfPorts) == 12, "NumberOfPorts at 12");
static_assert(FIELD_OFFSET(BOARD_ENTRY, ModelText) == 16, "ModelText at 16");
static_assert(FIELD_OFFSET(BOARD_ENTRY, InterfaceText) == 36, "InterfaceText at 36");
static_assert(FIELD_OFFSET(BOARD_ENTRY, PortDescriptors) == 76, "PortDescriptors at 76");
static_assert(sizeof(BOARD_ENTRY) == 172, "board entry is 172 bytes");

// The catalogue, stored with its row count; lookups run over the stored count.
extern const BOARD_ENTRY BoardCatalogue[];
extern const ULONG BoardCatalogueCount;
