// Bytes through real lines: a null-modem cable between ports of one board or of two, a loopback
// plug, a peer with settings of its own. What goes in one end comes out of the other intact, at
// the rate and in the format both ends agree on; ends that disagree see line errors.
#include "serial_rig.h"

namespace {

// Reads until `length` bytes have come (or the port stops giving any).
std::vector<UCHAR> ReadAll(ComPort& port, size_t length)
{
    std::vector<UCHAR> all;
    while (all.size() < length) {
        std::vector<UCHAR> chunk;
        if (!port.ReadFile(static_cast<ULONG>(length - all.size()), &chunk) || chunk.empty()) {
            break;
        }
        all.insert(all.end(), chunk.begin(), chunk.end());
    }
    return all;
}

} // namespace

class SerialTransfer : public SerialTest {};

// A megabyte at 115200 baud from one board to another, while the other direction carries its
// own stream: both arrive intact. Hardware flow control keeps a slow reader from losing bytes.
TEST_F(SerialTransfer, AMegabyteThroughANullModemCableBetweenTwoBoardsArrivesIntact)
{
    PDEVICE_OBJECT first = Plug(HmModel::LX2A);
    PDEVICE_OBJECT second = Plug(HmModel::LX4A);
    HmConnectNullModem(first, 1, second, 2);
    HmSetTimeScale(50);
    ComPort a, b;
    OpenAt(a, NameOf(first, 1));
    OpenAt(b, NameOf(second, 2));
    for (ComPort* port : {&a, &b}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.OutxCtsFlow = true;
        dcb.RtsControl = ComDcb::RtsHandshake;
        ASSERT_TRUE(port->SetCommState(dcb));
        ASSERT_TRUE(port->SetCommTimeouts(Timeouts(MAXULONG, MAXULONG, 1000)));
    }
    const std::vector<UCHAR> megabyte = Pattern(1 << 20, 3);
    const std::vector<UCHAR> back = Pattern(64 * 1024, 5);
    HkRequestPtr forward = a.WriteOverlapped(megabyte);
    HkRequestPtr backward = b.WriteOverlapped(back);
    std::vector<UCHAR> atB = ReadAll(b, megabyte.size());
    std::vector<UCHAR> atA = ReadAll(a, back.size());
    ASSERT_TRUE(forward->Wait());
    ASSERT_TRUE(backward->Wait());
    EXPECT_EQ(forward->Status(), STATUS_SUCCESS);
    EXPECT_EQ(forward->Information(), megabyte.size());
    EXPECT_TRUE(atB == megabyte) << "received " << atB.size() << " bytes";
    EXPECT_TRUE(atA == back) << "received " << atA.size() << " bytes";
    ULONG errors = 0;
    ASSERT_TRUE(b.ClearCommError(&errors));
    EXPECT_EQ(errors, 0u);
}

// Every port of every size of board at once, each pair through a cable, both ways.
class SerialTransferModels : public SerialTest, public ::testing::WithParamInterface<HmModel> {};

TEST_P(SerialTransferModels, EveryPortPairCarriesDataBothWaysAtOnce)
{
    PDEVICE_OBJECT board = Plug(GetParam());
    const ULONG count = HmPortCount(GetParam());
    std::vector<ComPort> ports(count);
    for (ULONG i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            HmConnectNullModem(board, i, board, i + 1);
        }
        OpenAt(ports[i], NameOf(board, i), 921600);
    }
    HmSetTimeScale(20);
    std::vector<HkRequestPtr> writes, reads;
    for (ULONG i = 0; i < count; ++i) {
        reads.push_back(ports[i].ReadOverlapped(3000));
    }
    for (ULONG i = 0; i < count; ++i) {
        writes.push_back(ports[i].WriteOverlapped(Pattern(3000, i)));
    }
    for (ULONG i = 0; i < count; ++i) {
        ASSERT_TRUE(writes[i]->Wait());
        ASSERT_TRUE(reads[i]->Wait());
        EXPECT_EQ(reads[i]->Output(), Pattern(3000, i ^ 1)) << "port " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, SerialTransferModels,
                         ::testing::Values(HmModel::LX2A, HmModel::LX4B, HmModel::LX8C),
                         [](const ::testing::TestParamInfo<HmModel>& info) {
                             return std::string(HmModelName(info.param));
                         });

// Each line format, agreed by both ends, carries the bytes its data bits can hold.
struct Format {
    UCHAR DataBits;
    UCHAR Parity;
    UCHAR StopBits;
};
class SerialLineFormats : public SerialTest, public ::testing::WithParamInterface<Format> {};

TEST_P(SerialLineFormats, CarryTheirBytesBetweenAgreeingEnds)
{
    const Format f = GetParam();
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    for (ComPort* port : {&a, &b}) {
        OpenAt(*port, NameOf(board, port == &a ? 0 : 1), 57600);
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.ByteSize = f.DataBits;
        dcb.Parity = f.Parity;
        dcb.StopBits = f.StopBits;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    std::vector<UCHAR> sent = Pattern(200);
    for (UCHAR& byte : sent) {
        byte &= static_cast<UCHAR>((1u << f.DataBits) - 1);
    }
    HkRequestPtr read = b.ReadOverlapped(200);
    ASSERT_TRUE(a.WriteFile(sent));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), sent);
    ULONG errors = 0;
    ASSERT_TRUE(b.ClearCommError(&errors));
    EXPECT_EQ(errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, SerialLineFormats,
                         ::testing::Values(Format{8, NO_PARITY, STOP_BIT_1},
                                           Format{7, EVEN_PARITY, STOP_BIT_1},
                                           Format{7, ODD_PARITY, STOP_BITS_2},
                                           Format{6, MARK_PARITY, STOP_BIT_1},
                                           Format{5, SPACE_PARITY, STOP_BITS_1_5}));

// The peer talks at 9600 baud, 7E1; the port listens at 19200 8N1: it sees line errors, not the
// peer's bytes. Set to the peer's settings, it understands it.
TEST_F(SerialTransfer, EndsThatDisagreeSeeLineErrors)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmPeerSetFormat(board, 0, HmLineFormat{9600, 7, HmParity::Even, 1});
    ComPort port;
    OpenAt(port, NameOf(board, 0), 19200);
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    HmRemoteSend(board, 0, Bytes("hello"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 5 * Ms));
    ULONG errors = 0;
    ASSERT_TRUE(port.ClearCommError(&errors));
    EXPECT_NE(errors & (SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY), 0u);
    std::vector<UCHAR> garbled;
    ASSERT_TRUE(port.ReadFile(100, &garbled));
    EXPECT_NE(garbled, Bytes("hello"));

    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 7;
    dcb.Parity = EVEN_PARITY;
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 0)));
    HmRemoteSend(board, 0, Bytes("hello"));
    std::vector<UCHAR> clear;
    ASSERT_TRUE(port.ReadFile(5, &clear));
    EXPECT_EQ(clear, Bytes("hello"));
}

// A loopback plug returns what the port sends, and its modem lines follow the port's.
TEST_F(SerialTransfer, ALoopbackPlugEchoesBytesAndModemLines)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX4A);
    HmPlugLoopback(board, 3);
    ComPort port;
    OpenAt(port, NameOf(board, 3), 460800);
    HkRequestPtr read = port.ReadOverlapped(1000);
    ASSERT_TRUE(port.WriteFile(Pattern(1000)));
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Output(), Pattern(1000));

    constexpr ULONG Cts = 0x10, Dsr = 0x20, Ri = 0x40, Dcd = 0x80;
    ULONG lines = 0;
    ASSERT_TRUE(port.GetCommModemStatus(&lines));
    EXPECT_EQ(lines & 0xF0, Cts | Dsr | Ri | Dcd) << "DTR and RTS are on after open";
    ASSERT_TRUE(port.EscapeCommFunction(ClrDtr));
    ASSERT_TRUE(port.GetCommModemStatus(&lines));
    EXPECT_EQ(lines & 0xF0, Cts);
    ASSERT_TRUE(port.EscapeCommFunction(ClrRts));
    ASSERT_TRUE(port.EscapeCommFunction(SetDtr));
    ASSERT_TRUE(port.GetCommModemStatus(&lines));
    EXPECT_EQ(lines & 0xF0, Dsr | Ri | Dcd);
}
