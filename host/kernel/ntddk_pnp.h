// Host build of the WDM kernel interface, plug-and-play and power: power states, the plug-and-play
// enumerations and records, resource lists, PCI configuration space, the power manager's
// routines. Included by ntddk.h.
#pragma once

#include "ntddk_kernel.h"

#ifdef __cplusplus
extern "C"
{
#endif

    // ---------------------------------------------------------------------------------------------
    // Power states and plug-and-play enumerations

    typedef enum _SYSTEM_POWER_STATE {
        PowerSystemUnspecified = 0,
        PowerSystemWorking = 1,
        PowerSystemSleeping1 = 2,
        PowerSystemSleeping2 = 3,
        PowerSystemSleeping3 = 4,
        PowerSystemHibernate = 5,
        PowerSystemShutdown = 6,
        PowerSystemMaximum = 7
    } SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

    typedef enum _DEVICE_POWER_STATE {
        PowerDeviceUnspecified = 0,
        PowerDeviceD0,
        PowerDeviceD1,
        PowerDeviceD2,
        PowerDeviceD3,
        PowerDeviceMaximum
    } DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

    typedef union _POWER_STATE {
        SYSTEM_POWER_STATE SystemState;
        DEVICE_POWER_STATE DeviceState;
    } POWER_STATE, *PPOWER_STATE;

    typedef enum _POWER_STATE_TYPE {
        SystemPowerState = 0,
        DevicePowerState
    } POWER_STATE_TYPE;

    typedef enum _POWER_ACTION {
        PowerActionNone = 0,
        PowerActionReserved,
        PowerActionSleep,
        PowerActionHibernate,
        PowerActionShutdown,
        PowerActionShutdownReset,
        PowerActionShutdownOff,
        PowerActionWarmEject,
        PowerActionDisplayOff
    } POWER_ACTION, *PPOWER_ACTION;

    typedef struct _SYSTEM_POWER_STATE_CONTEXT {
        union {
            struct {
                ULONG Reserved1 : 8;
                ULONG TargetSystemState : 4;
                ULONG EffectiveSystemState : 4;
                ULONG CurrentSystemState : 4;
                ULONG IgnoreHibernationPath : 1;
                ULONG PseudoTransition : 1;
                ULONG Reserved2 : 10;
            };
            ULONG ContextAsUlong;
        };
    } SYSTEM_POWER_STATE_CONTEXT, *PSYSTEM_POWER_STATE_CONTEXT;

    typedef struct _POWER_SEQUENCE {
        ULONG SequenceD1;
        ULONG SequenceD2;
        ULONG SequenceD3;
    } POWER_SEQUENCE, *PPOWER_SEQUENCE;

    typedef enum _DEVICE_RELATION_TYPE {
        BusRelations,
        EjectionRelations,
        PowerRelations,
        RemovalRelations,
        TargetDeviceRelation,
        SingleBusRelations,
        TransportRelations
    } DEVICE_RELATION_TYPE, *PDEVICE_RELATION_TYPE;

    typedef enum _BUS_QUERY_ID_TYPE {
        BusQueryDeviceID = 0,
        BusQueryHardwareIDs = 1,
        BusQueryCompatibleIDs = 2,
        BusQueryInstanceID = 3,
        BusQueryDeviceSerialNumber = 4,
        BusQueryContainerID = 5
    } BUS_QUERY_ID_TYPE, *PBUS_QUERY_ID_TYPE;

    typedef enum _DEVICE_TEXT_TYPE {
        DeviceTextDescription = 0,
        DeviceTextLocationInformation = 1
    } DEVICE_TEXT_TYPE, *PDEVICE_TEXT_TYPE;

    typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
        DeviceUsageTypeUndefined,
        DeviceUsageTypePaging,
        DeviceUsageTypeHibernation,
        DeviceUsageTypeDumpFile,
        DeviceUsageTypeBoot,
        DeviceUsageTypePostDisplay
    } DEVICE_USAGE_NOTIFICATION_TYPE;

    typedef enum _INTERFACE_TYPE {
        InterfaceTypeUndefined = -1,
        Internal,
        Isa,
        Eisa,
        MicroChannel,
        TurboChannel,
        PCIBus,
        VMEBus,
        NuBus,
        PCMCIABus,
        CBus,
        MPIBus,
        MPSABus,
        ProcessorInternal,
        InternalPowerBus,
        PNPISABus,
        PNPBus,
        Vmcs,
        ACPIBus,
        MaximumInterfaceType
    } INTERFACE_TYPE, *PINTERFACE_TYPE;

    typedef struct _DEVICE_CAPABILITIES {
        USHORT Size;
        USHORT Version;
        ULONG DeviceD1 : 1;
        ULONG DeviceD2 : 1;
        ULONG LockSupported : 1;
        ULONG EjectSupported : 1;
        ULONG Removable : 1;
        ULONG DockDevice : 1;
        ULONG UniqueID : 1;
        ULONG SilentInstall : 1;
        ULONG RawDeviceOK : 1;
        ULONG SurpriseRemovalOK : 1;
        ULONG WakeFromD0 : 1;
        ULONG WakeFromD1 : 1;
        ULONG WakeFromD2 : 1;
        ULONG WakeFromD3 : 1;
        ULONG HardwareDisabled : 1;
        ULONG NonDynamic : 1;
        ULONG WarmEjectSupported : 1;
        ULONG NoDisplayInUI : 1;
        ULONG Reserved : 14;
        ULONG Address;
        ULONG UINumber;
        DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
        SYSTEM_POWER_STATE SystemWake;
        DEVICE_POWER_STATE DeviceWake;
        ULONG D1Latency;
        ULONG D2Latency;
        ULONG D3Latency;
    } DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

    typedef struct _DEVICE_RELATIONS {
        ULONG Count;
        struct _DEVICE_OBJECT* Objects[1];
    } DEVICE_RELATIONS, *PDEVICE_RELATIONS;

    typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
    typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

    typedef struct _INTERFACE {
        USHORT Size;
        USHORT Version;
        PVOID Context;
        PINTERFACE_REFERENCE InterfaceReference;
        PINTERFACE_DEREFERENCE InterfaceDereference;
    } INTERFACE, *PINTERFACE;

    typedef struct _PNP_BUS_INFORMATION {
        GUID BusTypeGuid;
        INTERFACE_TYPE LegacyBusType;
        ULONG BusNumber;
    } PNP_BUS_INFORMATION, *PPNP_BUS_INFORMATION;

    typedef ULONG PNP_DEVICE_STATE, *PPNP_DEVICE_STATE;
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020

    // ---------------------------------------------------------------------------------------------
    // Resources (the layout the plug-and-play manager hands to IRP_MN_START_DEVICE)

#pragma pack(push, 4)
    typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
        UCHAR Type;
        UCHAR ShareDisposition;
        USHORT Flags;
        union {
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Generic;
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Port;
            struct {
                ULONG Level;
                ULONG Vector;
                KAFFINITY Affinity;
            } Interrupt;
            struct {
                union {
                    struct {
                        USHORT Reserved;
                        USHORT MessageCount;
                        ULONG Vector;
                        KAFFINITY Affinity;
                    } Raw;
                    struct {
                        ULONG Level;
                        ULONG Vector;
                        KAFFINITY Affinity;
                    } Translated;
                };
            } MessageInterrupt;
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Memory;
            struct {
                ULONG Channel;
                ULONG Port;
                ULONG Reserved1;
            } Dma;
            struct {
                ULONG Data[3];
            } DevicePrivate;
            struct {
                ULONG Start;
                ULONG Length;
                ULONG Reserved;
            } BusNumber;
            struct {
                ULONG DataSize;
                ULONG Reserved1;
                ULONG Reserved2;
            } DeviceSpecificData;
        } u;
    } CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6
#define CmResourceTypeMemoryLarge 7
#define CmResourceTypeNonArbitrated 128
#define CmResourceTypeConfigData 128
#define CmResourceTypeDevicePrivate 129

    typedef enum _CM_SHARE_DISPOSITION {
        CmResourceShareUndetermined = 0,
        CmResourceShareDeviceExclusive,
        CmResourceShareDriverExclusive,
        CmResourceShareShared
    } CM_SHARE_DISPOSITION;

#define CM_RESOURCE_PORT_MEMORY 0x0000
#define CM_RESOURCE_PORT_IO 0x0001
#define CM_RESOURCE_PORT_10_BIT_DECODE 0x0004
#define CM_RESOURCE_PORT_12_BIT_DECODE 0x0008
#define CM_RESOURCE_PORT_16_BIT_DECODE 0x0010
#define CM_RESOURCE_PORT_POSITIVE_DECODE 0x0020
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE 0x0002

    typedef struct _CM_PARTIAL_RESOURCE_LIST {
        USHORT Version;
        USHORT Revision;
        ULONG Count;
        CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
    } CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

    typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
        INTERFACE_TYPE InterfaceType;
        ULONG BusNumber;
        CM_PARTIAL_RESOURCE_LIST PartialResourceList;
    } CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

    typedef struct _CM_RESOURCE_LIST {
        ULONG Count;
        CM_FULL_RESOURCE_DESCRIPTOR List[1];
    } CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

    typedef struct _IO_RESOURCE_REQUIREMENTS_LIST* PIO_RESOURCE_REQUIREMENTS_LIST;

    // ---------------------------------------------------------------------------------------------
    // PCI configuration space

#define PCI_TYPE0_ADDRESSES 6
#define PCI_TYPE1_ADDRESSES 2
#define PCI_TYPE2_ADDRESSES 5
#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350
#define PCI_ADDRESS_IO_SPACE 0x00000001
#define PCI_INVALID_VENDORID 0xFFFF

#define PCI_COMMON_HEADER_LAYOUT                                                                   \
    USHORT VendorID;                                                                               \
    USHORT DeviceID;                                                                               \
    USHORT Command;                                                                                \
    USHORT Status;                                                                                 \
    UCHAR RevisionID;                                                                              \
    UCHAR ProgIf;                                                                                  \
    UCHAR SubClass;                                                                                \
    UCHAR BaseClass;                                                                               \
    UCHAR CacheLineSize;                                                                           \
    UCHAR LatencyTimer;                                                                            \
    UCHAR HeaderType;                                                                              \
    UCHAR BIST;                                                                                    \
    union {                                                                                        \
        struct {                                                                                   \
            ULONG BaseAddresses[PCI_TYPE0_ADDRESSES];                                              \
            ULONG CIS;                                                                             \
            USHORT SubVendorID;                                                                    \
            USHORT SubSystemID;                                                                    \
            ULONG ROMBaseAddress;                                                                  \
            UCHAR CapabilitiesPtr;                                                                 \
            UCHAR Reserved1[3];                                                                    \
            ULONG Reserved2;                                                                       \
            UCHAR InterruptLine;                                                                   \
            UCHAR InterruptPin;                                                                    \
            UCHAR MinimumGrant;                                                                    \
            UCHAR MaximumLatency;                                                                  \
        } type0;                                                                                   \
        struct {                                                                                   \
            ULONG BaseAddresses[PCI_TYPE1_ADDRESSES];                                              \
            UCHAR PrimaryBus;                                                                      \
            UCHAR SecondaryBus;                                                                    \
            UCHAR SubordinateBus;                                                                  \
            UCHAR SecondaryLatency;                                                                \
            UCHAR IOBase;                                                                          \
            UCHAR IOLimit;                                                                         \
            USHORT SecondaryStatus;                                                                \
            USHORT MemoryBase;                                                                     \
            USHORT MemoryLimit;                                                                    \
            USHORT PrefetchBase;                                                                   \
            USHORT PrefetchLimit;                                                                  \
            ULONG PrefetchBaseUpper32;                                                             \
            ULONG PrefetchLimitUpper32;                                                            \
            USHORT IOBaseUpper16;                                                                  \
            USHORT IOLimitUpper16;                                                                 \
            UCHAR CapabilitiesPtr;                                                                 \
            UCHAR Reserved1[3];                                                                    \
            ULONG ROMBaseAddress;                                                                  \
            UCHAR InterruptLine;                                                                   \
            UCHAR InterruptPin;                                                                    \
            USHORT BridgeControl;                                                                  \
        } type1;                                                                                   \
    } u;

    typedef struct _PCI_COMMON_HEADER {
        PCI_COMMON_HEADER_LAYOUT
    } PCI_COMMON_HEADER, *PPCI_COMMON_HEADER;

    typedef struct _PCI_COMMON_CONFIG {
        PCI_COMMON_HEADER_LAYOUT
        UCHAR DeviceSpecific[192];
    } PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;

#define PCI_COMMON_HDR_LENGTH (FIELD_OFFSET(PCI_COMMON_CONFIG, DeviceSpecific))

    // ---------------------------------------------------------------------------------------------
    // Power manager

    typedef VOID REQUEST_POWER_COMPLETE(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus);
    typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

    VOID PoStartNextPowerIrp(PIRP Irp);
    NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                POWER_STATE State);
    NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                               PVOID Context, PIRP* Irp);

    // ---------------------------------------------------------------------------------------------
    // Layouts

#ifdef __cplusplus
    static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
    static_assert(sizeof(PCI_COMMON_HEADER) == 64, "the PCI common header is 64 bytes");
    static_assert(sizeof(PCI_COMMON_CONFIG) == 256, "PCI_COMMON_CONFIG is 256 bytes");
    static_assert(FIELD_OFFSET(PCI_COMMON_HEADER, u.type0.SubVendorID) == 44, "SubVendorID at 44");
    static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "CM_PARTIAL_RESOURCE_DESCRIPTOR");
    static_assert(sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 36, "CM_FULL_RESOURCE_DESCRIPTOR");
    static_assert(sizeof(CM_RESOURCE_LIST) == 40, "CM_RESOURCE_LIST");
    static_assert(sizeof(INTERFACE) == 32, "INTERFACE");
#endif

#ifdef __cplusplus
} // extern "C"
#endif
