/*
 * The port bus interface of corcard, as it crosses to the serial port function driver that loads
 * on a corcard port device ("Corcard\CorPort", hardware ID "CorPort<n>").
 *
 * A port device claims no hardware of its own. Its function driver learns the port's register
 * block and the adapter's interrupt parameters, and hooks its interrupt callback into the
 * adapter's shared interrupt dispatcher, through this interface:
 *
 *   1. IRP_MN_QUERY_INTERFACE on the port device with InterfaceType = &CORPORT_INTERFACE_GUID,
 *      Size = CORPORT_INTERFACE_SIZE (52, exactly), Version = CORPORT_INTERFACE_VERSION (2,
 *      exactly) and Interface pointing at a CORPORT_BUS_INTERFACE. On success the interface is
 *      already referenced once; call InterfaceDereference once when done with it.
 *   2. GetResources(Context, &record): the port's I/O range and the interrupt parameters.
 *      STATUS_DEVICE_CONFIGURATION_ERROR while the port has no range (adapter not started,
 *      start failed, or stopped); the record is then left untouched.
 *   3. ConnectIsr(Context, Routine, RoutineContext): hooks at most one callback per port.
 *      The callback runs at the adapter interrupt's device IRQL under the interrupt object's spin
 *      lock, only while the port's bit is set in the adapter's interrupt status register; it
 *      returns TRUE only when it has serviced its own port and so cleared that bit.
 *   4. DisconnectIsr(Context) before the port stops being used, and in particular before the
 *      adapter is stopped: after an adapter stop a new ConnectIsr succeeds only once the old hook
 *      has been disconnected.
 *
 * ConnectIsr, DisconnectIsr and GetResources take the adapter's mutex: call them at PASSIVE_LEVEL
 * only, never from the interrupt callback. InterfaceReference and InterfaceDereference may be
 * called at any IRQL.
 *
 * Both records are packed on 4-byte boundaries (the interface record's pointers sit at offsets 4,
 * 12, ... 44). The platform's INTERFACE header, which would put Context at offset 8, does not
 * describe this record. Usable from C and C++; include after the kernel headers (<ntddk.h> or
 * <wdm.h>).
 */
#ifndef CORPORT_H
#define CORPORT_H

#ifndef NT_SUCCESS
#include <ntddk.h>
#endif

#include <stddef.h>

#define CORPORT_INTERFACE_SIZE 52
#define CORPORT_INTERFACE_VERSION 2

/* {6C1F0A3E-5B27-4D9A-9E44-2F8B7C3D1A05} */
/* clang-format off */
#define CORPORT_INTERFACE_GUID_INITIALIZER \
    { 0x6C1F0A3E, 0x5B27, 0x4D9A, { 0x9E, 0x44, 0x2F, 0x8B, 0x7C, 0x3D, 0x1A, 0x05 } }

#ifdef __cplusplus
#define CORPORT_BEGIN_DECLARATIONS extern "C" {
#define CORPORT_END_DECLARATIONS }
#else
#define CORPORT_BEGIN_DECLARATIONS
#define CORPORT_END_DECLARATIONS
#endif
/* clang-format on */

CORPORT_BEGIN_DECLARATIONS

#pragma pack(push, 4)

/* Port resource record, filled by GetResources into a buffer that the caller owns. The bytes of
 * DriverReserved1 and DriverReserved2 are the caller's: GetResources never writes them. */
typedef struct _CORPORT_RESOURCES {
    ULONG64 IoBase; /* I/O address of the port's UART register block */
    ULONG IoLength; /* length of that block (8 on every board) */
    UCHAR DriverReserved1[12];
    PKINTERRUPT InterruptObject; /* the adapter's interrupt; NULL while it is not connected */
    UCHAR InterruptLevel;        /* low 8 bits of the adapter's interrupt level */
    UCHAR DriverReserved2[3];
    ULONG InterruptVector;
    ULONG64 InterruptAffinity;
    ULONG InterruptMode;   /* 0 level-sensitive, 1 latched */
    ULONG DriverParameter; /* the board's per-port parameter, passed through unchanged */
} CORPORT_RESOURCES, *PCORPORT_RESOURCES;

/* Every operation takes the interface record's Context as its first argument. */
typedef VOID CORPORT_INTERFACE_REFERENCE(PVOID Context);
typedef CORPORT_INTERFACE_REFERENCE* PCORPORT_INTERFACE_REFERENCE;
typedef NTSTATUS CORPORT_CONNECT_ISR(PVOID Context, PKSERVICE_ROUTINE Routine,
                                     PVOID RoutineContext);
typedef CORPORT_CONNECT_ISR* PCORPORT_CONNECT_ISR;
typedef VOID CORPORT_DISCONNECT_ISR(PVOID Context);
typedef CORPORT_DISCONNECT_ISR* PCORPORT_DISCONNECT_ISR;
typedef NTSTATUS CORPORT_GET_RESOURCES(PVOID Context, PCORPORT_RESOURCES Resources);
typedef CORPORT_GET_RESOURCES* PCORPORT_GET_RESOURCES;

/* Port bus interface record, as the port device writes it into the caller's buffer. */
typedef struct _CORPORT_BUS_INTERFACE {
    USHORT Size;    /* 52 */
    USHORT Version; /* 2 */
    PVOID Context;  /* the answering port device's own context; pass it to every operation */
    PCORPORT_INTERFACE_REFERENCE InterfaceReference;
    PCORPORT_INTERFACE_REFERENCE InterfaceDereference;
    PCORPORT_CONNECT_ISR ConnectIsr;
    PCORPORT_DISCONNECT_ISR DisconnectIsr;
    PCORPORT_GET_RESOURCES GetResources;
} CORPORT_BUS_INTERFACE, *PCORPORT_BUS_INTERFACE;

#pragma pack(pop)

CORPORT_END_DECLARATIONS

#ifdef __cplusplus
#define CORPORT_STATIC_ASSERT(e, m) static_assert(e, m)
#else
#define CORPORT_STATIC_ASSERT(e, m) _Static_assert(e, m)
#endif

/* The layouts are fixed: the function driver is built separately and reads these bytes. */
CORPORT_STATIC_ASSERT(sizeof(PVOID) == 8, "the records are defined for 64-bit Windows");
CORPORT_STATIC_ASSERT(sizeof(GUID) == 16, "GUID is 16 bytes");

CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, Size) == 0, "Size at 0");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->Size) == 2, "Size is 2 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, Version) == 2, "Version at 2");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->Version) == 2, "Version is 2 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, Context) == 4, "Context at 4");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->Context) == 8, "Context is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, InterfaceReference) == 12,
                      "InterfaceReference at 12");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->InterfaceReference) == 8,
                      "InterfaceReference is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, InterfaceDereference) == 20,
                      "InterfaceDereference at 20");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->InterfaceDereference) == 8,
                      "InterfaceDereference is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, ConnectIsr) == 28, "ConnectIsr at 28");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->ConnectIsr) == 8,
                      "ConnectIsr is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, DisconnectIsr) == 36, "DisconnectIsr at 36");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->DisconnectIsr) == 8,
                      "DisconnectIsr is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_BUS_INTERFACE, GetResources) == 44, "GetResources at 44");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_BUS_INTERFACE*)0)->GetResources) == 8,
                      "GetResources is 8 bytes");
CORPORT_STATIC_ASSERT(sizeof(CORPORT_BUS_INTERFACE) == CORPORT_INTERFACE_SIZE,
                      "the interface record is 52 bytes");

CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, IoBase) == 0, "IoBase at 0");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->IoBase) == 8, "IoBase is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, IoLength) == 8, "IoLength at 8");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->IoLength) == 4, "IoLength is 4 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, DriverReserved1) == 12, "DriverReserved1 at 12");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->DriverReserved1) == 12,
                      "DriverReserved1 is 12 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, InterruptObject) == 24, "InterruptObject at 24");
// NOLINTNEXTLINE(bugprone-sizeof-expression): the size of the pointer field itself is checked
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->InterruptObject) == 8,
                      "InterruptObject is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, InterruptLevel) == 32, "InterruptLevel at 32");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->InterruptLevel) == 1,
                      "InterruptLevel is 1 byte");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, DriverReserved2) == 33, "DriverReserved2 at 33");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->DriverReserved2) == 3,
                      "DriverReserved2 is 3 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, InterruptVector) == 36, "InterruptVector at 36");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->InterruptVector) == 4,
                      "InterruptVector is 4 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, InterruptAffinity) == 40,
                      "InterruptAffinity at 40");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->InterruptAffinity) == 8,
                      "InterruptAffinity is 8 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, InterruptMode) == 48, "InterruptMode at 48");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->InterruptMode) == 4,
                      "InterruptMode is 4 bytes");
CORPORT_STATIC_ASSERT(offsetof(CORPORT_RESOURCES, DriverParameter) == 52, "DriverParameter at 52");
CORPORT_STATIC_ASSERT(sizeof(((CORPORT_RESOURCES*)0)->DriverParameter) == 4,
                      "DriverParameter is 4 bytes");
CORPORT_STATIC_ASSERT(sizeof(CORPORT_RESOURCES) == 56, "the resource record is 56 bytes");

/* The interface type to pass in IRP_MN_QUERY_INTERFACE; compared as its 16 bytes. */
#ifdef __cplusplus
static constexpr GUID CORPORT_INTERFACE_GUID = CORPORT_INTERFACE_GUID_INITIALIZER;
#elif defined(__GNUC__)
static const GUID CORPORT_INTERFACE_GUID __attribute__((unused)) =
    CORPORT_INTERFACE_GUID_INITIALIZER;
#else
static const GUID CORPORT_INTERFACE_GUID = CORPORT_INTERFACE_GUID_INITIALIZER;
#endif

#endif /* CORPORT_H */
