// WMI's view of the COM ports: the serial data blocks of root\wmi, read as WMI's kernel component
// reads them (IRP_MJ_SYSTEM_CONTROL through the stack, the stand-in's WMI requests), while
// programs use the ports.
#include "serial_rig.h"

#include <cstring>
#include <functional>

namespace {

// The serial classes of root\wmi, as a consumer knows them from their MOF: GUID and the size of
// their data (the port name's is a counted string, of the name's length).
struct SerialClass {
    const char* Name;
    GUID Guid;
    ULONG DataSize;
};
constexpr SerialClass PortNameClass = {
    "MSSerial_PortName",
    {0xa0ec11a8, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}},
    0};
constexpr SerialClass CommInfoClass = {
    "MSSerial_CommInfo",
    {0xedb16a62, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}},
    61};
constexpr SerialClass HardwareClass = {
    "MSSerial_HardwareConfiguration",
    {0x270b9b86, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}},
    32};
constexpr SerialClass PerformanceClass = {
    "MSSerial_PerformanceInformation",
    {0x56415acc, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}},
    24};
constexpr SerialClass PropertiesClass = {
    "MSSerial_CommProperties",
    {0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}},
    64};
const SerialClass SerialClasses[] = {PortNameClass, CommInfoClass, HardwareClass, PerformanceClass,
                                     PropertiesClass};
constexpr GUID ForeignGuid = {
    0x4504b1d4, 0xc5ee, 0x4df6, {0x95, 0x1f, 0x16, 0x18, 0x0e, 0x3d, 0xd8, 0x15}};

template <typename T> T At(const std::vector<UCHAR>& bytes, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
    }
    return value;
}

ULONG U32(const std::vector<UCHAR>& data, size_t offset)
{
    return At<ULONG>(data, offset);
}

std::u16string Counted(const std::vector<UCHAR>& bytes, size_t offset)
{
    const USHORT count = At<USHORT>(bytes, offset);
    std::u16string text(count / 2, u'\0');
    if (offset + 2 + count <= bytes.size()) {
        std::memcpy(&text[0], bytes.data() + offset + 2, count);
    }
    return text;
}

// The six counters as MSSerial_PerformanceInformation lists them (the order of SERIALPERF_STATS).
std::vector<ULONG> Counters(const std::vector<UCHAR>& data)
{
    std::vector<ULONG> counters;
    for (size_t k = 0; k < 6; ++k) {
        counters.push_back(U32(data, k * 4));
    }
    return counters;
}

std::vector<ULONG> Counters(const SERIALPERF_STATS& s)
{
    return {s.ReceivedCount,           s.TransmittedCount,        s.FrameErrorCount,
            s.SerialOverrunErrorCount, s.BufferOverrunErrorCount, s.ParityErrorCount};
}

} // namespace

class SerialWmi : public SerialTest {
protected:
    // The port's function device: the provider WMI talks to.
    static PDEVICE_OBJECT ProviderOf(PDEVICE_OBJECT board, ULONG port)
    {
        return IoGetAttachedDevice(HmPortDevices(board).at(port));
    }

    // What WMI does once a provider has registered: asks for its blocks.
    static HkWmiAnswer Register(PDEVICE_OBJECT provider)
    {
        HkWmiAnswer answer = HkWmiRegInfo(provider, IRP_MN_REGINFO_EX, 4096);
        EXPECT_EQ(answer.Status, STATUS_SUCCESS);
        return answer;
    }

    // One instance's data, read with IRP_MN_QUERY_ALL_DATA and IRP_MN_QUERY_SINGLE_INSTANCE,
    // which must agree.
    static std::vector<UCHAR> Data(PDEVICE_OBJECT provider, const GUID& guid)
    {
        const HkWmiAnswer all = HkWmiQueryAllData(provider, guid, 4096);
        EXPECT_EQ(all.Status, STATUS_SUCCESS);
        const auto node = At<WNODE_ALL_DATA>(all.Buffer, 0);
        EXPECT_EQ(node.InstanceCount, 1u);
        EXPECT_TRUE(node.WnodeHeader.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE);
        EXPECT_TRUE(node.WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES);
        std::vector<UCHAR> data(all.Buffer.begin() + node.DataBlockOffset,
                                all.Buffer.begin() + node.DataBlockOffset + node.FixedInstanceSize);

        const HkWmiAnswer single = HkWmiQuerySingleInstance(provider, guid, 0, 4096);
        EXPECT_EQ(single.Status, STATUS_SUCCESS);
        const auto one = At<WNODE_SINGLE_INSTANCE>(single.Buffer, 0);
        EXPECT_EQ(
            std::vector<UCHAR>(single.Buffer.begin() + one.DataBlockOffset,
                               single.Buffer.begin() + one.DataBlockOffset + one.SizeDataBlock),
            data);
        return data;
    }

    static SERIALPERF_STATS Stats(ComPort& port)
    {
        HkRequestPtr request = port.DeviceIoControl(IOCTL_SERIAL_GET_STATS, {}, 24);
        request->Wait();
        SERIALPERF_STATS stats{};
        std::memcpy(&stats, request->Output().data(), sizeof stats);
        return stats;
    }
};

// A started port is a WMI provider of the five serial classes, each with one instance named from
// the port device (WMI makes the name from the PDO's instance path), and its registry path.
TEST_F(SerialWmi, AStartedPortRegistersTheSerialClassesAndRemovalTakesThemBack)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    for (ULONG k = 0; k < 2; ++k) {
        PDEVICE_OBJECT provider = ProviderOf(board, k);
        ASSERT_TRUE(HkWmiRegistered(provider)) << "port " << k;
        const HkWmiAnswer answer = Register(provider);
        const auto info = At<WMIREGINFO>(answer.Buffer, 0);
        ASSERT_EQ(info.GuidCount, std::size(SerialClasses));
        for (size_t b = 0; b < std::size(SerialClasses); ++b) {
            const auto block =
                At<WMIREGGUID>(answer.Buffer, sizeof(WMIREGINFO) + b * sizeof(WMIREGGUID));
            EXPECT_TRUE(IsEqualGUID(block.Guid, SerialClasses[b].Guid)) << SerialClasses[b].Name;
            EXPECT_EQ(block.Flags, static_cast<ULONG>(WMIREG_FLAG_INSTANCE_PDO));
            EXPECT_EQ(block.InstanceCount, 1u);
            EXPECT_EQ(block.Pdo, reinterpret_cast<ULONG_PTR>(HmPortDevices(board)[k]));
        }
        EXPECT_EQ(Counted(answer.Buffer, info.RegistryPath),
                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\corserial");
        EXPECT_EQ(info.MofResourceName, 0u) << "the classes come with the system";
        EXPECT_EQ(HkWmiInstanceName(provider, PortNameClass.Guid, 0),
                  HmNode(HmPortDevices(board)[k]).DeviceId + u"\\" +
                      HmNode(HmPortDevices(board)[k]).InstanceId + u"_0");
    }
    const PDEVICE_OBJECT providers[] = {ProviderOf(board, 0), ProviderOf(board, 1)};
    ASSERT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS);
    for (PDEVICE_OBJECT provider : providers) {
        std::vector<ULONG> actions;
        for (const HkWmiRegistrationCall& call : HkWmiRegistrationCalls()) {
            if (call.Device == provider) {
                EXPECT_EQ(call.Status, STATUS_SUCCESS);
                actions.push_back(call.Action);
            }
        }
        EXPECT_EQ(actions, (std::vector<ULONG>{WMIREG_ACTION_REGISTER, WMIREG_ACTION_DEREGISTER}));
    }
}

// The registration follows the port's hardware: a stop takes it back and the start that follows
// gives it again, a surprise removal takes it back once (and the removal after it not again), a
// sleep leaves it alone. The verifier reports a second registration and a device deleted while
// registered.
TEST_F(SerialWmi, TheRegistrationFollowsStopsRemovalsAndNotSleep)
{
    struct Case {
        const char* Name;
        std::function<void(PDEVICE_OBJECT board)> Disrupt;
        std::vector<ULONG> Actions; // registration calls of port 0's device after the plug
        bool RegisteredAfter;
    };
    const Case cases[] = {
        {"rebalance",
         [](PDEVICE_OBJECT board) {
             ASSERT_EQ(HmRebalance(board, HmDefaultAssignment(board)), STATUS_SUCCESS);
         },
         {WMIREG_ACTION_DEREGISTER, WMIREG_ACTION_REGISTER},
         true},
        {"surprise removal",
         [](PDEVICE_OBJECT board) { HmSurpriseRemoveAdapter(board); },
         {WMIREG_ACTION_DEREGISTER},
         false},
        {"orderly removal",
         [](PDEVICE_OBJECT board) { ASSERT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS); },
         {WMIREG_ACTION_DEREGISTER},
         false},
        {"sleep and wake",
         [](PDEVICE_OBJECT) {
             ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
             ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
         },
         {},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        PDEVICE_OBJECT board = Plug(HmModel::LX2A);
        PDEVICE_OBJECT provider = ProviderOf(board, 0);
        const size_t before = HkWmiRegistrationCalls().size();
        c.Disrupt(board);
        HmWaitPnpIdle();
        std::vector<ULONG> actions;
        const std::vector<HkWmiRegistrationCall> calls = HkWmiRegistrationCalls();
        for (size_t k = before; k < calls.size(); ++k) {
            if (calls[k].Device == provider) {
                actions.push_back(calls[k].Action);
            }
        }
        EXPECT_EQ(actions, c.Actions);
        if (c.RegisteredAfter) {
            EXPECT_TRUE(HkWmiRegistered(provider));
            Register(provider);
            EXPECT_EQ(Counted(Data(provider, PortNameClass.Guid), 0), NameOf(board, 0));
        }
        HmUnplugAll();
    }
}

// Every block read while a program holds the port open and bytes flow both ways: the values are
// what the program set and what the control codes report.
TEST_F(SerialWmi, EachBlockShowsThePortAsItIsWhileTrafficFlows)
{
    PDEVICE_OBJECT board = HmPlugAdapter(HmModel::LX2A);
    ASSERT_EQ(HmAddDevice(Corcard, board), STATUS_SUCCESS);
    ASSERT_EQ(HmStartAdapter(board, HmMakeAssignment(0xC000, HmBar0Size(2), 0xC800, HmBar1Size, 21,
                                                     0x71, 5, 0x5,
                                                     /*latched=*/true)),
              STATUS_SUCCESS);
    HmConnectNullModem(board, 0, board, 1);
    ComPort a, b;
    OpenAt(a, NameOf(board, 0), 57600);
    OpenAt(b, NameOf(board, 1), 57600);
    for (ComPort* port : {&a, &b}) {
        ComDcb dcb;
        ASSERT_TRUE(port->GetCommState(&dcb));
        dcb.ByteSize = 7;
        dcb.Parity = MARK_PARITY;
        dcb.StopBits = STOP_BITS_2;
        dcb.XonChar = 0x21;
        dcb.XoffChar = 0x23;
        dcb.XonLim = 300;
        dcb.XoffLim = 200;
        ASSERT_TRUE(port->SetCommState(dcb));
    }
    HkRequestPtr read = b.ReadOverlapped(400);
    HkRequestPtr write = a.WriteOverlapped(Pattern(400, 3));
    ASSERT_TRUE(HmWaitUntil([&] { return Stats(b).ReceivedCount >= 50; }));
    ASSERT_FALSE(read->Done()) << "the traffic is still under way";

    PDEVICE_OBJECT provider = ProviderOf(board, 0);
    Register(provider);
    SERIAL_COMMPROP properties{};
    ASSERT_TRUE(a.GetCommProperties(&properties));

    struct Case {
        SerialClass Class;
        std::function<void(const std::vector<UCHAR>&)> Check;
    };
    const Case cases[] = {
        {PortNameClass,
         [&](const std::vector<UCHAR>& d) {
             EXPECT_EQ(Counted(d, 0), NameOf(board, 0));
             EXPECT_EQ(d.size(), 2 + 2 * NameOf(board, 0).size());
         }},
        {CommInfoClass,
         [&](const std::vector<UCHAR>& d) {
             EXPECT_EQ(U32(d, 0), 57600u);                 // BaudRate
             EXPECT_EQ(U32(d, 4), 7u);                     // BitsPerByte
             EXPECT_EQ(U32(d, 8), 4u);                     // Parity: mark
             EXPECT_EQ(d[12], 1);                          // ParityCheckEnable
             EXPECT_EQ(U32(d, 16), 2u);                    // StopBits: 2
             EXPECT_EQ(U32(d, 20), 0x23u);                 // XoffCharacter
             EXPECT_EQ(U32(d, 24), 200u);                  // XoffXmitThreshold
             EXPECT_EQ(U32(d, 28), 0x21u);                 // XonCharacter
             EXPECT_EQ(U32(d, 32), 300u);                  // XonXmitThreshold
             EXPECT_EQ(U32(d, 36), 73728000u / 16);        // MaximumBaudRate
             EXPECT_EQ(U32(d, 40), properties.MaxTxQueue); // MaximumOutputBufferSize
             EXPECT_EQ(U32(d, 44), properties.MaxRxQueue); // MaximumInputBufferSize
             const std::vector<UCHAR> flags(d.begin() + 48, d.end());
             EXPECT_EQ(flags, (std::vector<UCHAR>{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}))
                 << "16-bit mode, DTR/DSR, interval time-outs, parity check, RTS/CTS, "
                    "XON/XOFF, settable rate, data bits, flow control, parity, parity check, "
                    "stop bits, busy";
         }},
        {HardwareClass,
         [&](const std::vector<UCHAR>& d) {
             EXPECT_EQ(U32(d, 0), 5u);    // IrqNumber
             EXPECT_EQ(U32(d, 4), 0x71u); // IrqVector
             EXPECT_EQ(U32(d, 8), 5u);    // IrqLevel
             EXPECT_EQ(U32(d, 12), 0x5u); // IrqAffinityMask
             EXPECT_EQ(U32(d, 16), 0u);   // InterruptType: latched
             EXPECT_EQ(At<ULONG64>(d, 24), HmBarBase(board, 0));
         }},
        {PerformanceClass,
         [&](const std::vector<UCHAR>& d) {
             EXPECT_EQ(Counters(d), Counters(Stats(a)));
             EXPECT_GT(U32(d, 4), 0u) << "the write is under way";
         }},
        {PropertiesClass,
         [&](const std::vector<UCHAR>& d) {
             // COMMPROP as GetCommProperties has it, up to the provider-specific bytes (none).
             EXPECT_EQ(std::memcmp(d.data(), &properties, 60), 0);
             EXPECT_EQ(U32(d, 60), 0u); // dwProvCharSize
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Class.Name);
        const std::vector<UCHAR> data = Data(provider, c.Class.Guid);
        if (c.Class.DataSize != 0) {
            EXPECT_EQ(data.size(), c.Class.DataSize);
        }
        c.Check(data);
    }
    ASSERT_TRUE(read->Wait());
    a.Close();
    EXPECT_EQ(Data(provider, CommInfoClass.Guid).at(60), 0) << "IsBusy once the handle is closed";
}

// The counters WMI reads are IOCTL_SERIAL_GET_STATS's, and every byte and error counts once, also
// across a purge, a sleep and a restart of the port. The far end and the port both keep to the
// RTS/CTS handshake, so a sleep or a restart in the middle of the traffic loses nothing either
// way: every byte sent is received once, and counted once.
TEST_F(SerialWmi, TheCountersAreTheStatisticsAndCountOnceAcrossDisruptions)
{
    struct Case {
        const char* Name;
        bool InFlight; // the disruption comes while bytes flow both ways
        std::function<void(PDEVICE_OBJECT board, ComPort& port)> Disrupt;
    };
    const Case cases[] = {
        {"purge", false,
         [](PDEVICE_OBJECT, ComPort& port) {
             ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR |
                                        SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT));
         }},
        {"sleep and wake", true,
         [](PDEVICE_OBJECT, ComPort&) {
             ASSERT_EQ(HmSetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
             ASSERT_EQ(HmSetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
         }},
        {"rebalance", true,
         [](PDEVICE_OBJECT board, ComPort&) {
             ASSERT_EQ(HmRebalance(board, HmMakeAssignment(0xC000, HmBar0Size(2), 0xC800,
                                                           HmBar1Size, 21, 0x71, 5)),
                       STATUS_SUCCESS);
         }},
    };
    constexpr ULONG Received = 1500;
    constexpr ULONG Written = 1000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        PDEVICE_OBJECT board = Plug(HmModel::LX2A);
        HmAttachPeer(board, 0);
        HmPeerFlowControl(board, 0, true, false);
        HmSetModemInputs(board, 0, /*cts=*/true, /*dsr=*/true, /*ri=*/false, /*dcd=*/true);
        ComPort port;
        OpenAt(port, NameOf(board, 0), 115200);
        ComDcb dcb;
        ASSERT_TRUE(port.GetCommState(&dcb));
        dcb.RtsControl = ComDcb::RtsHandshake;
        dcb.OutxCtsFlow = true;
        ASSERT_TRUE(port.SetCommState(dcb));
        PDEVICE_OBJECT provider = ProviderOf(board, 0);
        Register(provider);

        // Two parity errors and a framing error among what the far end sends first, and a first
        // write.
        HmRemoteSend(board, 0, Pattern(100, 1));
        HmRemoteSendError(board, 0, 'p', HmLineError::Parity);
        HmRemoteSendError(board, 0, 'f', HmLineError::Framing);
        HmRemoteSendError(board, 0, 'q', HmLineError::Parity);
        ASSERT_TRUE(port.WriteFile(Pattern(50, 1)));
        ASSERT_TRUE(HmWaitUntil([&] { return Stats(port).ReceivedCount == 103; }));

        HmRemoteSend(board, 0, Pattern(Received, 2));
        HkRequestPtr write = port.WriteOverlapped(Pattern(Written, 2));
        if (c.InFlight) {
            ASSERT_TRUE(HmWaitUntil([&] {
                const SERIALPERF_STATS s = Stats(port);
                return s.ReceivedCount >= 103 + Received / 4 &&
                       s.TransmittedCount >= 50 + Written / 4;
            }));
            c.Disrupt(board, port);
            Register(provider); // a restart registers anew
        }
        ASSERT_TRUE(write->Wait());
        EXPECT_EQ(write->Status(), STATUS_SUCCESS);
        ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
        ASSERT_TRUE(HmWaitUntil([&] { return Stats(port).ReceivedCount >= 103 + Received; }));
        if (!c.InFlight) {
            c.Disrupt(board, port);
        }
        std::vector<UCHAR> expectedFar = Pattern(50, 1);
        const std::vector<UCHAR> second = Pattern(Written, 2);
        expectedFar.insert(expectedFar.end(), second.begin(), second.end());
        std::vector<UCHAR> far;
        ASSERT_TRUE(HmWaitUntil([&] {
            const std::vector<UCHAR> more = HmRemoteTake(board, 0);
            far.insert(far.end(), more.begin(), more.end());
            return far.size() >= expectedFar.size();
        }));
        EXPECT_EQ(far, expectedFar) << "what the far end received";

        const std::vector<ULONG> expected = {103 + Received, 50 + Written, 1, 0, 0, 2};
        EXPECT_EQ(Counters(Stats(port)), expected) << "GET_STATS";
        EXPECT_EQ(Counters(Data(provider, PerformanceClass.Guid)), expected) << "WMI";
        port.Close();
        HmUnplugAll();
    }
}

// A buffer too small for the answer gets the size needed: in a WNODE_TOO_SMALL when it holds one
// (and a buffer of that size then gets the answer), as a ULONG for the registration; a buffer
// smaller still is refused.
TEST_F(SerialWmi, ATooSmallBufferLearnsTheSizeNeeded)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT provider = ProviderOf(board, 0);
    const HkWmiAnswer registration = Register(provider);
    const HkWmiAnswer shortRegistration =
        HkWmiRegInfo(provider, IRP_MN_REGINFO_EX, static_cast<ULONG>(registration.Information - 1));
    EXPECT_EQ(shortRegistration.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(U32(shortRegistration.Buffer, 0), registration.Information);

    using Query = HkWmiAnswer (*)(PDEVICE_OBJECT, const GUID&, ULONG);
    struct Case {
        const char* Name;
        Query Send;
        ULONG Header; // the WNODE WMI sends
    };
    const Case cases[] = {
        {"all data", &HkWmiQueryAllData, sizeof(WNODE_TOO_SMALL)},
        {"single instance",
         [](PDEVICE_OBJECT device, const GUID& guid, ULONG size) {
             return HkWmiQuerySingleInstance(device, guid, 0, size);
         },
         sizeof(WNODE_SINGLE_INSTANCE)},
    };
    for (const Case& c : cases) {
        for (const SerialClass& block : SerialClasses) {
            SCOPED_TRACE(std::string(c.Name) + " of " + block.Name);
            const HkWmiAnswer whole = c.Send(provider, block.Guid, 4096);
            ASSERT_EQ(whole.Status, STATUS_SUCCESS);
            const auto needed = static_cast<ULONG>(whole.Information);
            for (ULONG size : {c.Header, needed - 1}) {
                const HkWmiAnswer small = c.Send(provider, block.Guid, size);
                EXPECT_EQ(small.Status, STATUS_SUCCESS);
                EXPECT_EQ(small.Information, sizeof(WNODE_TOO_SMALL));
                const auto node = At<WNODE_TOO_SMALL>(small.Buffer, 0);
                EXPECT_TRUE(node.WnodeHeader.Flags & WNODE_FLAG_TOO_SMALL);
                EXPECT_EQ(node.SizeNeeded, needed);
            }
            const HkWmiAnswer exact = c.Send(provider, block.Guid, needed);
            EXPECT_EQ(exact.Status, STATUS_SUCCESS);
            EXPECT_EQ(exact.Information, needed);
        }
    }
    const HkWmiAnswer tiny =
        HkWmiQueryAllData(provider, PerformanceClass.Guid, sizeof(WNODE_TOO_SMALL) - 1);
    EXPECT_EQ(tiny.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tiny.Information, 0u);
}

// What the blocks refuse: a GUID that is not theirs, an instance they do not have, any change
// (they are read-only), events, collection and methods (they have none). A refused change leaves
// the data as it was.
TEST_F(SerialWmi, TheBlocksRefuseWhatTheyDoNotHave)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT provider = ProviderOf(board, 0);
    Register(provider);
    const std::vector<UCHAR> nameBefore = Data(provider, PortNameClass.Guid);

    // A WNODE_SINGLE_INSTANCE naming an instance (static names: by index; else by name).
    auto instance = [](const GUID& guid, bool statically, ULONG index) {
        WNODE_SINGLE_INSTANCE node{};
        node.WnodeHeader.BufferSize = 256;
        node.WnodeHeader.Guid = guid;
        node.WnodeHeader.Flags =
            WNODE_FLAG_SINGLE_INSTANCE | (statically ? WNODE_FLAG_STATIC_INSTANCE_NAMES : 0);
        node.OffsetInstanceName = sizeof(node);
        node.InstanceIndex = index;
        node.DataBlockOffset = sizeof(node) + 8;
        node.SizeDataBlock = 8;
        std::vector<UCHAR> bytes(sizeof(node) + 16, 0);
        std::memcpy(bytes.data(), &node, sizeof(node));
        bytes[sizeof(node)] = 4; // a name of two characters
        bytes[sizeof(node) + 2] = 'X';
        bytes[sizeof(node) + 4] = 'Y';
        return bytes;
    };
    struct Case {
        const char* Name;
        UCHAR Minor;
        GUID Guid;
        bool Static;
        ULONG Index;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {"query of another GUID", IRP_MN_QUERY_ALL_DATA, ForeignGuid, true, 0,
         STATUS_WMI_GUID_NOT_FOUND},
        {"single instance of another GUID", IRP_MN_QUERY_SINGLE_INSTANCE, ForeignGuid, true, 0,
         STATUS_WMI_GUID_NOT_FOUND},
        {"instance 1", IRP_MN_QUERY_SINGLE_INSTANCE, PerformanceClass.Guid, true, 1,
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"a dynamic name", IRP_MN_QUERY_SINGLE_INSTANCE, PerformanceClass.Guid, false, 0,
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"change", IRP_MN_CHANGE_SINGLE_INSTANCE, PortNameClass.Guid, true, 0,
         STATUS_WMI_READ_ONLY},
        {"change of the counters", IRP_MN_CHANGE_SINGLE_INSTANCE, PerformanceClass.Guid, true, 0,
         STATUS_WMI_READ_ONLY},
        {"change of an item", IRP_MN_CHANGE_SINGLE_ITEM, CommInfoClass.Guid, true, 0,
         STATUS_WMI_READ_ONLY},
        {"change of instance 1", IRP_MN_CHANGE_SINGLE_INSTANCE, PortNameClass.Guid, true, 1,
         STATUS_WMI_INSTANCE_NOT_FOUND},
        {"change of another GUID", IRP_MN_CHANGE_SINGLE_INSTANCE, ForeignGuid, true, 0,
         STATUS_WMI_GUID_NOT_FOUND},
        {"enable events", IRP_MN_ENABLE_EVENTS, PerformanceClass.Guid, true, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"disable events", IRP_MN_DISABLE_EVENTS, PerformanceClass.Guid, true, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"enable collection", IRP_MN_ENABLE_COLLECTION, HardwareClass.Guid, true, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"disable collection", IRP_MN_DISABLE_COLLECTION, HardwareClass.Guid, true, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"method", IRP_MN_EXECUTE_METHOD, PropertiesClass.Guid, true, 0,
         STATUS_INVALID_DEVICE_REQUEST},
        {"events of another GUID", IRP_MN_ENABLE_EVENTS, ForeignGuid, true, 0,
         STATUS_WMI_GUID_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        HkWmiRequest request{};
        request.Minor = c.Minor;
        request.ProviderId = reinterpret_cast<ULONG_PTR>(provider);
        request.Guid = c.Guid;
        request.Input = instance(c.Guid, c.Static, c.Index);
        request.BufferSize = 256;
        const HkWmiAnswer answer = HkSendWmi(provider, request);
        EXPECT_EQ(answer.Status, c.Expected);
        EXPECT_EQ(answer.Information, 0u);
    }
    EXPECT_EQ(Data(provider, PortNameClass.Guid), nameBefore);
}

namespace {
// A lower filter of the test's own between corserial and the port device: it records the system
// control requests that reach it and passes everything on.
PDEVICE_OBJECT WatchLower;
struct SeenRequest {
    UCHAR Minor;
    ULONG_PTR ProviderId;
    GUID Guid;
    ULONG BufferSize;
    std::vector<UCHAR> Buffer;
};
std::vector<SeenRequest> Seen;

NTSTATUS WatchDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        SeenRequest seen{stack->MinorFunction,
                         stack->Parameters.WMI.ProviderId,
                         {},
                         stack->Parameters.WMI.BufferSize,
                         {}};
        if (stack->MinorFunction != IRP_MN_REGINFO_EX) {
            std::memcpy(&seen.Guid, stack->Parameters.WMI.DataPath, sizeof(GUID));
        }
        const auto* bytes = static_cast<const UCHAR*>(stack->Parameters.WMI.Buffer);
        seen.Buffer.assign(bytes, bytes + stack->Parameters.WMI.BufferSize);
        Seen.push_back(seen);
    }
    const bool removal =
        stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = stack->MajorFunction == IRP_MJ_POWER ? PoCallDriver(WatchLower, irp)
                                                           : IoCallDriver(WatchLower, irp);
    if (removal) {
        IoDetachDevice(WatchLower); // the test deletes the filter once corserial has let it go
    }
    return status;
}

NTSTATUS WatchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = WatchDispatch;
    }
    return STATUS_SUCCESS;
}
} // namespace

// A request for another provider (the device below, another port, nobody) goes down untouched,
// whatever it asks, and so does one of a minor function the port does not know; the port's own
// requests stop at the port.
TEST_F(SerialWmi, AnotherProvidersRequestGoesDownUntouched)
{
    Options.StartPorts = false;
    HmSetPnpOptions(Options);
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    PDEVICE_OBJECT pdo = HmPortDevices(board)[0];
    WatchLower = pdo;
    Seen.clear();
    PDEVICE_OBJECT filter = AttachLowerFilter(WatchEntry, L"wmiwatch", pdo);
    ASSERT_NE(filter, nullptr);
    ASSERT_EQ(HmStartPort(pdo), STATUS_SUCCESS);
    ASSERT_EQ(HmStartPort(HmPortDevices(board)[1]), STATUS_SUCCESS);
    PDEVICE_OBJECT provider = ProviderOf(board, 0);
    ASSERT_NE(provider, filter);
    const auto ours = reinterpret_cast<ULONG_PTR>(provider);

    struct Case {
        const char* Name;
        UCHAR Minor;
        ULONG_PTR ProviderId;
        bool PassedDown;
    };
    const Case cases[] = {
        {"query for the filter", IRP_MN_QUERY_ALL_DATA, reinterpret_cast<ULONG_PTR>(filter), true},
        {"query for the port device", IRP_MN_QUERY_SINGLE_INSTANCE,
         reinterpret_cast<ULONG_PTR>(pdo), true},
        {"registration for another port", IRP_MN_REGINFO_EX,
         reinterpret_cast<ULONG_PTR>(ProviderOf(board, 1)), true},
        {"change for nobody", IRP_MN_CHANGE_SINGLE_INSTANCE, 0, true},
        {"events for the port device", IRP_MN_ENABLE_EVENTS, reinterpret_cast<ULONG_PTR>(pdo),
         true},
        {"a minor function the port does not know", 0x0a, ours, true},
        {"the port's own query", IRP_MN_QUERY_ALL_DATA, ours, false},
        {"the port's own change", IRP_MN_CHANGE_SINGLE_INSTANCE, ours, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Seen.clear();
        HkWmiRequest request{};
        request.Minor = c.Minor;
        request.ProviderId = c.ProviderId;
        request.Guid = PerformanceClass.Guid;
        request.RegistrationPath = WMIREGISTER;
        request.Input = Pattern(sizeof(WNODE_SINGLE_INSTANCE), 5);
        request.BufferSize = 200;
        const HkWmiAnswer answer = HkSendWmi(provider, request);
        if (!c.PassedDown) {
            EXPECT_TRUE(Seen.empty());
            EXPECT_NE(answer.Status, STATUS_NOT_SUPPORTED);
            continue;
        }
        ASSERT_EQ(Seen.size(), 1u);
        EXPECT_EQ(Seen[0].Minor, c.Minor);
        EXPECT_EQ(Seen[0].ProviderId, c.ProviderId);
        EXPECT_EQ(Seen[0].BufferSize, 200u);
        std::vector<UCHAR> sent = request.Input;
        sent.resize(200, HkSystemBufferFill);
        EXPECT_EQ(Seen[0].Buffer, sent) << "the buffer reaches the device below as WMI filled it";
        if (c.Minor != IRP_MN_REGINFO_EX) {
            EXPECT_TRUE(IsEqualGUID(Seen[0].Guid, PerformanceClass.Guid));
        }
        EXPECT_EQ(answer.Status, STATUS_NOT_SUPPORTED) << "the port device's answer";
        EXPECT_EQ(answer.Information, 0u);
    }
    ASSERT_EQ(HmRemoveAdapter(board), STATUS_SUCCESS);
    IoDeleteDevice(filter);
}
