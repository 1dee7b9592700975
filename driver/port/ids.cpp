// Identifiers and texts of a port device. The hardware ID ("CorPort" + port number) is what makes
// the platform install the serial port function driver on the port; the instance ID makes each
// port unique under its adapter's parent instance.
//
// Two numbers of a port appear here: PortNumber (the serial descriptor it came from) is shown
// plus one in the hardware ID, the description and the location; Index (its position among the
// port devices actually created) is shown unchanged in the instance ID. They differ only after a
// port device could not be created.
#include "corcard.h"

// ntoskrnl's swprintf: no buffer count, UTF-16 format and output.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

namespace {

constexpr WCHAR DeviceIdText[] = L"Corcard\\CorPort";
constexpr WCHAR HardwareIdStem[] = L"CorPort";
constexpr WCHAR DescriptionPrefix[] = L"TORVA Corran Serial Port ";
constexpr WCHAR LocationPiece[] = L"-port ";

constexpr USHORT IdBufferBytes = 512;    // instance and hardware ID
constexpr USHORT NumberBufferBytes = 24; // a decimal port number
constexpr USHORT TextBufferBytes = 160;  // description and location

// Appends a port number (PortNumber + 1) in decimal, without leading zeros.
void AppendPortNumber(PUNICODE_STRING Text, ULONG PortNumber)
{
    WCHAR Digits[NumberBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING Number = {0, sizeof(Digits), Digits};
    RtlIntegerToUnicodeString(PortNumber + 1, 10, &Number);
    RtlAppendUnicodeStringToString(Text, &Number);
}

// Appends one formatted piece. An append that does not fit is dropped by the platform's append
// routine and the following pieces still go in.
void AppendFormatted(PUNICODE_STRING Text, const WCHAR* Format, ULONG First, ULONG Second = 0)
{
    WCHAR Piece[32];
    // NOLINTNEXTLINE(cert-err33-c): the formats are fixed and need at most 15 units
    swprintf(Piece, Format, First, Second);
    RtlAppendUnicodeToString(Text, Piece);
}

// Hands the string to the plug-and-play manager in a paged-pool buffer of the string plus two
// zero units: the hardware ID is so a one-entry multi-string, the other answers carry a spare
// zero. The buffer is the manager's once the request completes.
NTSTATUS CompleteWithString(PIRP Irp, PCUNICODE_STRING Text)
{
    ULONG Units = Text->Length / sizeof(WCHAR);
    PWCHAR Answer = static_cast<PWCHAR>(
        ExAllocatePoolWithTag(PagedPool, (Units + 2) * sizeof(WCHAR), CorPoolTag));
    if (Answer == nullptr) {
        return CompleteIrp(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(Answer, Text->Buffer, Text->Length);
    Answer[Units] = 0;
    Answer[Units + 1] = 0;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Answer);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS PortQueryId(PPORT_EXTENSION Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PADAPTER_EXTENSION Adapter = Port->Adapter;

    WCHAR Buffer[IdBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING Id = {0, sizeof(Buffer), Buffer};

    switch (StoredValue(Stack->Parameters.QueryId.IdType)) {
    case BusQueryDeviceID:
        RtlAppendUnicodeToString(&Id, DeviceIdText);
        break;

    case BusQueryHardwareIDs:
        RtlAppendUnicodeToString(&Id, HardwareIdStem);
        AppendPortNumber(&Id, Port->PortNumber);
        break;

    case BusQueryInstanceID:
        // Vendor, device, then subsystem before subsystem vendor, then the adapter's own instance
        // ID (if its bus gave one) and the port's Index: unique among all adapters of the system.
        AppendFormatted(&Id, L"%04X", Adapter->PciConfig.VendorID);
        AppendFormatted(&Id, L"&%04X", Adapter->PciConfig.DeviceID);
        AppendFormatted(&Id, L"_%04X%04X_", Adapter->PciConfig.u.type0.SubSystemID,
                        Adapter->PciConfig.u.type0.SubVendorID);
        if (Adapter->ParentInstanceId != nullptr) {
            RtlAppendUnicodeToString(&Id, Adapter->ParentInstanceId);
        }
        AppendFormatted(&Id, L"_Port%u", Port->Head.Index);
        break;

    default:
        // Compatible IDs and everything else: the port has none.
        return CompleteIrp(Irp, STATUS_NOT_SUPPORTED, 0);
    }
    return CompleteWithString(Irp, &Id);
}

// The requested locale is ignored: the texts exist in one language.
NTSTATUS PortQueryDeviceText(PPORT_EXTENSION Port, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    const BOARD_ENTRY* Board = Port->Adapter->Board;

    WCHAR Buffer[TextBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING Text = {0, sizeof(Buffer), Buffer};

    switch (StoredValue(Stack->Parameters.QueryDeviceText.DeviceTextType)) {
    case DeviceTextDescription:
        RtlAppendUnicodeToString(&Text, DescriptionPrefix);
        AppendPortNumber(&Text, Port->PortNumber);
        break;

    case DeviceTextLocationInformation:
        // The catalogue's interface texts begin with a comma and two blanks and follow the
        // number directly: "LX2A-port 1,  RS-232".
        RtlAppendUnicodeToString(&Text, Board->ModelText);
        RtlAppendUnicodeToString(&Text, LocationPiece);
        AppendPortNumber(&Text, Port->PortNumber);
        RtlAppendUnicodeToString(&Text, Board->InterfaceText);
        break;

    default:
        return CompleteIrp(Irp, STATUS_NOT_SUPPORTED, 0);
    }
    return CompleteWithString(Irp, &Text);
}
