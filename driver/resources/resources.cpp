// Start-device resource assignment. The platform assigns resources to the whole PCI function; this
// turns them into per-port register blocks: each port gets its BAR's assigned start plus its
// catalogue offset, and its bit of the interrupt status register. Runs inside the adapter's start
// request with the adapter's mutex held and the interrupt not connected, so neither the port
// interface nor the ISR can see the fields half-written.
#include "corcard.h"

static_assert(FIELD_OFFSET(CM_PARTIAL_RESOURCE_DESCRIPTOR, u) == 4,
              "partial descriptor data follows type, share disposition and flags");
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "partial descriptors are 20 bytes");
static_assert(FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) == 8,
              "full descriptor: interface type and bus number, then the partial list");
static_assert(FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) == 8,
              "partial list: version, revision and count, then the descriptors");
static_assert(FIELD_OFFSET(CM_RESOURCE_LIST, List) == 4, "resource list: count, then the list");

// The interrupt status register lives at the start of BAR 1's range.
constexpr ULONG StatusRegisterBar = 1;

constexpr ULONG MaxSummaryPortRanges = 6;
// x86 I/O space: 64 KiB of port addresses.
constexpr ULONG64 IoSpaceSize = 0x10000;
constexpr ULONG MaxInstanceIdChars = 256; // including the terminating zero

static VOID ConfigurationError(PADAPTER_EXTENSION Adapter, PCSTR Text)
{
    ReportEvent(Adapter->DriverObject, CorMsgError, Text);
}

NTSTATUS StartAdapter(PADAPTER_EXTENSION Adapter, PIRP Irp)
{
    // A start normally follows add-device or a stop, with no interrupt connected. Should one
    // arrive on a running adapter, take it down as a stop would first: connecting again would
    // orphan the old connection, whose service routine would outlive the adapter.
    if (Adapter->InterruptObject != nullptr) {
        DisconnectInterrupt(Adapter);
        ClearPortResources(Adapter);
    }

    // BARs may have been reprogrammed since add-device (rebalancing): read them again.
    NTSTATUS Status = ReadPciConfig(Adapter->LowerDevice, 0, sizeof(Adapter->PciConfig),
                                    &Adapter->PciConfig, IRP_MN_READ_CONFIG);
    if (!NT_SUCCESS(Status)) {
        return STATUS_UNSUCCESSFUL;
    }

    if (!NT_SUCCESS(QueryParentInstanceId(Adapter))) {
        return STATUS_UNSUCCESSFUL;
    }

    RESOURCE_SUMMARY Raw;
    RESOURCE_SUMMARY Translated;
    RtlZeroMemory(&Raw, sizeof(Raw));
    RtlZeroMemory(&Translated, sizeof(Translated));
    RtlZeroMemory(Adapter->Bars, sizeof(Adapter->Bars));
    Adapter->StatusPort = 0;
    Adapter->InterruptLevel = 0;
    Adapter->InterruptVector = 0;
    Adapter->InterruptAffinity = 0;
    Adapter->InterruptMode = 0;
    Adapter->InterruptShared = FALSE;
    Adapter->HasInterrupt = FALSE;

    const PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    const PCM_RESOURCE_LIST RawList = Stack->Parameters.StartDevice.AllocatedResources;
    const PCM_RESOURCE_LIST TranslatedList =
        Stack->Parameters.StartDevice.AllocatedResourcesTranslated;
    if (RawList == nullptr || TranslatedList == nullptr) {
        ConfigurationError(Adapter, "No hardware resources assigned to the device.");
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    ParseResourceList(RawList, &Raw);
    ParseResourceList(TranslatedList, &Translated);

    Status = CaptureResources(Adapter, &Raw, &Translated, &Adapter->PciConfig);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    Status = AssignPortResources(Adapter);
    if (!NT_SUCCESS(Status)) {
        ConfigurationError(Adapter, "Unable to assign resources to port devices.");
        ClearPortResources(Adapter);
        return Status;
    }

    // Without a range on BAR 1 there is no status register, and the ISR would read I/O port 0
    // (or whatever lives there) on every interrupt of the shared line. Refuse the start.
    if (Adapter->Bars[StatusRegisterBar].Length == 0 || Adapter->StatusPort == 0) {
        ConfigurationError(Adapter, "No I/O range assigned to the interrupt status register.");
        ClearPortResources(Adapter);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    Status = ConnectInterrupt(Adapter);
    if (!NT_SUCCESS(Status)) {
        ClearPortResources(Adapter);
        return Status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryParentInstanceId(PADAPTER_EXTENSION Adapter)
{
    if (Adapter->ParentInstanceId != nullptr) {
        ExFreePool(Adapter->ParentInstanceId);
        Adapter->ParentInstanceId = nullptr;
    }

    const PIRP Irp = IoAllocateIrp(Adapter->LowerDevice->StackSize, FALSE);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The IRP is our own: its first location is the lower driver's, filled here directly.
    const PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_PNP;
    Stack->MinorFunction = IRP_MN_QUERY_ID;
    Stack->Parameters.QueryId.IdType = BusQueryInstanceID;
    // The platform requires every plug-and-play request to start out as not supported.
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Irp->IoStatus.Information = 0;

    NTSTATUS Status = ForwardIrpAndWait(Adapter->LowerDevice, Irp, FALSE);

    WCHAR Id[MaxInstanceIdChars];
    ULONG Length = 0;
    if (NT_SUCCESS(Status)) {
        const auto Returned = reinterpret_cast<PWCHAR>(Irp->IoStatus.Information);
        if (Returned != nullptr) {
            // Keep at most 255 characters; never read past the returned string's terminator.
            while (Length < MaxInstanceIdChars - 1 && Returned[Length] != 0) {
                Id[Length] = Returned[Length];
                ++Length;
            }
            ExFreePool(Returned);
        }
        Status = STATUS_SUCCESS;
    }
    Id[Length] = 0;

    IoFreeIrp(Irp);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    const SIZE_T Bytes = (Length + 1) * sizeof(WCHAR);
    const auto Copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, Bytes, CorPoolTag));
    if (Copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy, Id, Bytes);
    Adapter->ParentInstanceId = Copy;
    return STATUS_SUCCESS;
}

// The descriptor after Descriptor. A device-specific descriptor carries DataSize bytes of data
// right after itself, so the next descriptor (or the next full descriptor) begins after them.
static const CM_PARTIAL_RESOURCE_DESCRIPTOR* NextPartial(
    const CM_PARTIAL_RESOURCE_DESCRIPTOR* Descriptor)
{
    const UCHAR* Next = reinterpret_cast<const UCHAR*>(Descriptor + 1);
    if (Descriptor->Type == CmResourceTypeDeviceSpecific) {
        Next += Descriptor->u.DeviceSpecificData.DataSize;
    }
    return reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(Next);
}

VOID ParseResourceList(const CM_RESOURCE_LIST* List, PRESOURCE_SUMMARY Summary)
{
    // The declared one-element arrays are variable length: walk them with pointers.
    const CM_FULL_RESOURCE_DESCRIPTOR* Full = List->List;
    for (ULONG FullIndex = 0; FullIndex < List->Count; ++FullIndex) {
        const CM_PARTIAL_RESOURCE_LIST* Partial = &Full->PartialResourceList;
        const CM_PARTIAL_RESOURCE_DESCRIPTOR* Descriptor = Partial->PartialDescriptors;

        for (ULONG Index = 0; Index < Partial->Count; ++Index) {
            switch (Descriptor->Type) {
            case CmResourceTypePort:
                if (static_cast<ULONG>(Summary->PortRangeCount) < MaxSummaryPortRanges) {
                    PIO_BAR Range = &Summary->PortRanges[Summary->PortRangeCount];
                    Range->Start = static_cast<ULONG64>(Descriptor->u.Port.Start.QuadPart);
                    Range->Length = Descriptor->u.Port.Length;
                    ++Summary->PortRangeCount;
                }
                break;
            case CmResourceTypeInterrupt:
                if (Summary->InterruptCount < 1) {
                    Summary->InterruptLevel = Descriptor->u.Interrupt.Level;
                    Summary->InterruptVector = Descriptor->u.Interrupt.Vector;
                    Summary->InterruptAffinity = Descriptor->u.Interrupt.Affinity;
                    Summary->InterruptLatched =
                        (Descriptor->Flags & CM_RESOURCE_INTERRUPT_LATCHED) != 0 ? 1 : 0;
                    Summary->InterruptShared =
                        Descriptor->ShareDisposition == CmResourceShareShared ? TRUE : FALSE;
                    ++Summary->InterruptCount;
                }
                break;
            default:
                // Memory, DMA, device-specific data and the rest are not ours to use.
                break;
            }
            Descriptor = NextPartial(Descriptor);
        }

        // The next full descriptor begins right after the last partial one of this.
        Full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(Descriptor);
    }
}

// A BAR that decodes I/O space and was given an address. 0xFFFFFFFF is what an unimplemented or
// unprogrammed BAR reads back.
static bool IsIoBar(ULONG Value)
{
    const ULONG Address = Value & ~1u;
    return (Value & 1u) != 0 && Address != 0 && Address != 0xFFFFFFFEu;
}

NTSTATUS CaptureResources(PADAPTER_EXTENSION Adapter, const RESOURCE_SUMMARY* Raw,
                          const RESOURCE_SUMMARY* Translated, const PCI_COMMON_HEADER* Config)
{
    if (Translated->InterruptCount <= 0) {
        ConfigurationError(Adapter, "No interrupt assigned to the device.");
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    // The dispatcher relies on a level-sensitive line (a stuck port re-raises it at once); a
    // latched one still works, so this is only a warning.
    if (Translated->InterruptLatched != 0) {
        DbgPrint("   interrupt is latched, should be level-sensitive\n");
        ReportEvent(Adapter->DriverObject, CorMsgWarning,
                    "Interrupt line is in latched mode, should be level-sensitive.");
    }

    Adapter->InterruptLevel = Translated->InterruptLevel;
    Adapter->InterruptVector = Translated->InterruptVector;
    Adapter->InterruptAffinity = Translated->InterruptAffinity;
    Adapter->InterruptMode = Translated->InterruptLatched != 0 ? Latched : LevelSensitive;
    Adapter->InterruptShared = Translated->InterruptShared;
    Adapter->HasInterrupt = TRUE;

    if (Raw->PortRangeCount <= 0 || Translated->PortRangeCount <= 0) {
        ConfigurationError(Adapter, "No I/O ranges assigned to the device.");
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    if (Raw->PortRangeCount != Translated->PortRangeCount) {
        ConfigurationError(Adapter, "Invalid I/O range assignment.");
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    // The translated ranges come in BAR order; pair them with the I/O BARs in the same order.
    // Only the translated addresses are used; the raw list served for the count check.
    LONG NextRange = 0;
    for (ULONG Bar = 0; Bar < PciBarCount; ++Bar) {
        if (!IsIoBar(Config->u.type0.BaseAddresses[Bar])) {
            continue;
        }
        if (NextRange < Translated->PortRangeCount) {
            // Port addresses are 16 bits and the UART and status accesses use only those: a
            // range reaching past the I/O space (or wrapping) would put port blocks on other
            // devices' registers.
            const IO_BAR* Range = &Translated->PortRanges[NextRange];
            if (Range->Start >= IoSpaceSize || Range->Length > IoSpaceSize - Range->Start) {
                RtlZeroMemory(Adapter->Bars, sizeof(Adapter->Bars));
                ConfigurationError(Adapter, "Invalid I/O range assignment.");
                return STATUS_DEVICE_CONFIGURATION_ERROR;
            }
            Adapter->Bars[Bar] = *Range;
            ++NextRange;
        }
    }

    Adapter->StatusPort = Adapter->Bars[StatusRegisterBar].Start;
    return STATUS_SUCCESS;
}

NTSTATUS AssignPortResources(PADAPTER_EXTENSION Adapter)
{
    NTSTATUS Result = STATUS_SUCCESS;

    for (PLIST_ENTRY Entry = Adapter->PortList.Flink; Entry != &Adapter->PortList;
         Entry = Entry->Flink) {
        const PPORT_EXTENSION Port = PortFromLink(Entry);
        const PORT_DESCRIPTOR* Descriptor = Port->Descriptor;
        Port->IoBase = 0;
        Port->IoLength = 0;
        Port->InterruptMask = 0;

        // Every failing port reports its own sentence; the first failure is the start's status.
        // The BAR number is a signed byte in the catalogue.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c): a number, negative for none
        const LONG BarIndex = static_cast<signed char>(Descriptor->Bar);
        NTSTATUS Status = STATUS_SUCCESS;
        if (BarIndex < 0) {
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else if (static_cast<ULONG>(BarIndex) >= PciBarCount) {
            ConfigurationError(Adapter, "Internal Error: BAR index out of range.");
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else if (Adapter->Bars[BarIndex].Length == 0) {
            ConfigurationError(Adapter, "BAR not configured.");
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else if (Descriptor->Length == 0) {
            ConfigurationError(Adapter, "BAR length is null.");
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        } else if (static_cast<ULONG>(Descriptor->Offset) + Descriptor->Length >
                   Adapter->Bars[BarIndex].Length) {
            // A block ending exactly at the end of the range fits.
            ConfigurationError(Adapter, "BAR range exceeded.");
            Status = STATUS_DEVICE_CONFIGURATION_ERROR;
        }

        if (!NT_SUCCESS(Status)) {
            if (NT_SUCCESS(Result)) {
                Result = Status;
            }
            continue;
        }

        const IO_BAR* Bar = &Adapter->Bars[BarIndex];
        Port->IoBase = Bar->Start + Descriptor->Offset;
        Port->IoLength = Descriptor->Length;
        Port->InterruptMask = Descriptor->InterruptMask;
    }
    return Result;
}

VOID ClearPortResources(PADAPTER_EXTENSION Adapter)
{
    for (PLIST_ENTRY Entry = Adapter->PortList.Flink; Entry != &Adapter->PortList;
         Entry = Entry->Flink) {
        const PPORT_EXTENSION Port = PortFromLink(Entry);
        Port->IoBase = 0;
        Port->IoLength = 0;
        Port->InterruptMask = 0;
    }
}
