// The board catalogue: every supported model of the LX family, as its data sheet lists it.
//
// All models are one PCI function of vendor 0x1E5C, device 0x0001, subsystem vendor 0x0001; the
// subsystem ID tells the models apart: 0x7 <variant> <ports> 1, with variant A (RS-232),
// B (RS-422/485) or C (switchable RS-232/422/485) as 0xA, 0xB, 0xC, and 2, 4 or 8 ports. The model
// text is "LX" <ports> <variant>.
//
// Port layout, the same on every model: port k (from 0) is a 16550-compatible UART whose eight
// registers lie back to back in BAR 0 at offset 8 * k, and bit k of the interrupt status register
// (the first byte of BAR 1) signals it. Every port is handed parameter 2 for the port driver.
#include "corcard.h"

namespace {

constexpr USHORT LxVendorId = 0x1E5C;
constexpr USHORT LxDeviceId = 0x0001;
constexpr USHORT LxSubVendorId = 0x0001;

constexpr UCHAR UartRegisterCount = 8;
constexpr CHAR UartBar = 0;
constexpr ULONG LxDriverParameter = 2;

// Builds one row from the data sheet's columns. The port descriptors follow from the port count
// alone, so they cannot drift from the rule above; descriptors past the port count stay zero.
template <size_t ModelLength, size_t InterfaceLength>
constexpr BOARD_ENTRY LxBoard(USHORT SubSystemId, LONG Ports, const WCHAR (&Model)[ModelLength],
                              const WCHAR (&Interface)[InterfaceLength])
{
    static_assert(ModelLength <= 10, "model text fits its field with the terminator");
    static_assert(InterfaceLength <= 20, "interface text fits its field with the terminator");

    BOARD_ENTRY entry{};
    entry.VendorId = LxVendorId;
    entry.DeviceId = LxDeviceId;
    entry.SubVendorId = LxSubVendorId;
    entry.SubSystemId = SubSystemId;
    entry.NumberOfPorts = Ports;
    for (size_t i = 0; i < ModelLength; ++i) {
        entry.ModelText[i] = Model[i];
    }
    for (size_t i = 0; i < InterfaceLength; ++i) {
        entry.InterfaceText[i] = Interface[i];
    }
    for (LONG k = 0; k < Ports && k < static_cast<LONG>(MaxBoardPorts); ++k) {
        PORT_DESCRIPTOR& port = entry.PortDescriptors[k];
        port.Type = PortTypeSerial;
        port.Bar = UartBar;
        port.Offset = static_cast<UCHAR>(UartRegisterCount * k);
        port.Length = UartRegisterCount;
        port.InterruptMask = static_cast<UCHAR>(1u << k);
        port.DriverParameter = LxDriverParameter;
    }
    return entry;
}

// The location text of a port appends the interface text right after the port number
// ("LX2A-port 1,  RS-232"); the texts therefore begin with a comma and two blanks.
constexpr WCHAR Rs232[] = L",  RS-232";
constexpr WCHAR Rs422[] = L",  RS-422/485";
constexpr WCHAR Switchable[] = L",  RS-232/422/485";

} // namespace

// clang-format off
constexpr BOARD_ENTRY BoardCatalogue[] = {
    //      subsystem  ports  model    interface
    LxBoard(0x7A21,    2,     L"LX2A", Rs232),
    LxBoard(0x7A41,    4,     L"LX4A", Rs232),
    LxBoard(0x7A81,    8,     L"LX8A", Rs232),
    LxBoard(0x7B21,    2,     L"LX2B", Rs422),
    LxBoard(0x7B41,    4,     L"LX4B", Rs422),
    LxBoard(0x7B81,    8,     L"LX8B", Rs422),
    LxBoard(0x7C21,    2,     L"LX2C", Switchable),
    LxBoard(0x7C41,    4,     L"LX4C", Switchable),
    LxBoard(0x7C81,    8,     L"LX8C", Switchable),
};
// clang-format on

constexpr ULONG BoardCatalogueCount = sizeof(BoardCatalogue) / sizeof(BoardCatalogue[0]);

namespace {

// Checked at compile time: no row can promise more ports than it describes.
constexpr bool RowsAreSound()
{
    for (ULONG row = 0; row < BoardCatalogueCount; ++row) {
        LONG ports = BoardCatalogue[row].NumberOfPorts;
        if (ports < 1 || ports > static_cast<LONG>(MaxBoardPorts)) {
            return false;
        }
    }
    return true;
}

static_assert(BoardCatalogueCount == 9, "nine supported models");
static_assert(RowsAreSound(), "every row has between 1 and 8 ports");

} // namespace

const BOARD_ENTRY* FindBoard(const PCI_COMMON_HEADER* Config)
{
    for (ULONG row = 0; row < BoardCatalogueCount; ++row) {
        const BOARD_ENTRY* board = &BoardCatalogue[row];
        if (Config->VendorID == board->VendorId && Config->DeviceID == board->DeviceId &&
            Config->u.type0.SubVendorID == board->SubVendorId &&
            Config->u.type0.SubSystemID == board->SubSystemId) {
            return board;
        }
    }
    return nullptr;
}
