// The board catalogue against the boards' data sheet, and the lookup that identifies a board from
// its configuration header.
#include "spine_support.h"

#include <cstring>

using namespace spine;

namespace {

struct Model {
    USHORT SubSystemId;
    LONG Ports;
    const char* ModelText;
    const char* InterfaceText;
};

// The data sheet: every model is vendor 0x1E5C, device 0x0001, subsystem vendor 0x0001.
const Model DataSheet[] = {
    {0x7A21, 2, "LX2A", ",  RS-232"},         {0x7A41, 4, "LX4A", ",  RS-232"},
    {0x7A81, 8, "LX8A", ",  RS-232"},         {0x7B21, 2, "LX2B", ",  RS-422/485"},
    {0x7B41, 4, "LX4B", ",  RS-422/485"},     {0x7B81, 8, "LX8B", ",  RS-422/485"},
    {0x7C21, 2, "LX2C", ",  RS-232/422/485"}, {0x7C41, 4, "LX4C", ",  RS-232/422/485"},
    {0x7C81, 8, "LX8C", ",  RS-232/422/485"},
};

// A fixed-size text field: the text, a terminator, and zeros to the end.
void ExpectTextField(const WCHAR* field, size_t units, const char* text)
{
    size_t length = strlen(text);
    ASSERT_LT(length, units);
    for (size_t i = 0; i < units; ++i) {
        USHORT expected = i < length ? static_cast<USHORT>(text[i]) : 0;
        EXPECT_EQ(static_cast<USHORT>(field[i]), expected) << text << " unit " << i;
    }
}

TEST(Catalogue, RowsReadAsTheDataSheet)
{
    ASSERT_EQ(BoardCatalogueCount, 9u);
    for (ULONG row = 0; row < BoardCatalogueCount; ++row) {
        const BOARD_ENTRY& board = BoardCatalogue[row];
        const Model& model = DataSheet[row];
        SCOPED_TRACE(model.ModelText);
        EXPECT_EQ(board.VendorId, 0x1E5C);
        EXPECT_EQ(board.DeviceId, 0x0001);
        EXPECT_EQ(board.SubVendorId, 0x0001);
        EXPECT_EQ(board.SubSystemId, model.SubSystemId);
        EXPECT_EQ(board.Reserved, 0u);
        EXPECT_EQ(board.NumberOfPorts, model.Ports);
        ExpectTextField(board.ModelText, 10, model.ModelText);
        ExpectTextField(board.InterfaceText, 20, model.InterfaceText);

        // Port k: a serial port in BAR 0 at 8 * k, eight registers, status bit k, parameter 2;
        // the descriptors past the port count are all zero.
        for (ULONG k = 0; k < MaxBoardPorts; ++k) {
            const PORT_DESCRIPTOR& port = board.PortDescriptors[k];
            PORT_DESCRIPTOR expected{};
            if (static_cast<LONG>(k) < model.Ports) {
                expected.Type = 's';
                expected.Bar = 0;
                expected.Offset = static_cast<UCHAR>(8 * k);
                expected.Length = 8;
                expected.InterruptMask = static_cast<UCHAR>(1 << k);
                expected.DriverParameter = 2;
            }
            EXPECT_EQ(memcmp(&port, &expected, sizeof(port)), 0)
                << "descriptor " << k << ": type " << int(port.Type) << " bar " << int(port.Bar)
                << " offset " << int(port.Offset) << " length " << int(port.Length) << " mask 0x"
                << std::hex << int(port.InterruptMask) << std::dec << " parameter "
                << port.DriverParameter;
        }
    }
}

// The rows as bytes, at the offsets that the port function driver and the data sheet use.
TEST(Catalogue, StoredLayoutOfTheLastRow)
{
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&BoardCatalogue[8]);
    const UCHAR head[] = {0x5C, 0x1E, 0x01, 0x00, 0x01, 0x00, 0x81, 0x7C, 0, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(memcmp(bytes, head, sizeof(head)), 0);
    EXPECT_EQ(bytes[16], 'L');
    EXPECT_EQ(bytes[17], 0);
    EXPECT_EQ(bytes[36], ',');
    EXPECT_EQ(bytes[38], ' ');
    EXPECT_EQ(bytes[40], ' ');
    EXPECT_EQ(bytes[42], 'R');
    // Descriptor 7 at 76 + 7 * 12.
    const UCHAR last[] = {'s', 0, 56, 8, 0x80, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(memcmp(bytes + 76 + 7 * 12, last, sizeof(last)), 0);
}

PCI_COMMON_HEADER HeaderOf(USHORT vendor, USHORT device, USHORT subVendor, USHORT subSystem)
{
    PCI_COMMON_HEADER header;
    memset(&header, 0, sizeof(header));
    header.VendorID = vendor;
    header.DeviceID = device;
    header.u.type0.SubVendorID = subVendor;
    header.u.type0.SubSystemID = subSystem;
    return header;
}

TEST(Catalogue, LookupTakesTheRowWhoseFourIdentifiersMatch)
{
    for (ULONG row = 0; row < 9; ++row) {
        PCI_COMMON_HEADER header = HeaderOf(0x1E5C, 0x0001, 0x0001, DataSheet[row].SubSystemId);
        EXPECT_EQ(FindBoard(&header), &BoardCatalogue[row]) << DataSheet[row].ModelText;
    }
    const PCI_COMMON_HEADER strangers[] = {
        HeaderOf(0x1E5D, 0x0001, 0x0001, 0x7A21),
        HeaderOf(0x1E5C, 0x0002, 0x0001, 0x7A21),
        HeaderOf(0x1E5C, 0x0001, 0x0002, 0x7A21),
        HeaderOf(0x1E5C, 0x0001, 0x0001, 0x7A22),
        HeaderOf(0x1E5C, 0x0001, 0x0001, 0x0000),
        HeaderOf(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF),
        // The subsystem identifiers swapped with the main ones.
        HeaderOf(0x0001, 0x7A21, 0x1E5C, 0x0001),
    };
    for (const PCI_COMMON_HEADER& header : strangers) {
        EXPECT_EQ(FindBoard(&header), nullptr)
            << std::hex << header.VendorID << ":" << header.DeviceID << " "
            << header.u.type0.SubVendorID << ":" << header.u.type0.SubSystemID;
    }
}

} // namespace
