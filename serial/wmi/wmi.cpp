// The port's WMI data blocks: the five serial port classes of root\wmi (MSSerial_PortName,
// MSSerial_CommInfo, MSSerial_HardwareConfiguration, MSSerial_PerformanceInformation,
// MSSerial_CommProperties), which scripts and inventory tools read without opening the port.
//
// The classes come with the system (wmicore.mof), so the driver has no MOF resource of its own.
// Each block has one instance per port, named by WMI from the port device's instance path
// (WMIREG_FLAG_INSTANCE_PDO): requests name it by index 0 with static instance names. Every block
// is read-only. The answers are built here by hand, as IRP_MN_QUERY_ALL_DATA and
// IRP_MN_QUERY_SINGLE_INSTANCE describe them: one fixed-size instance behind the WNODE, 8-byte
// aligned; a buffer too small for it gets a WNODE_TOO_SMALL with the size needed.
//
// Requests whose ProviderId is not this port's device object are some other provider's (a driver
// below may register one of its own): they go down untouched.
//
// The values come from where the control codes get theirs: the statistics and the properties
// through the routines IOCTL_SERIAL_GET_STATS and IOCTL_SERIAL_GET_PROPERTIES use, the line
// settings from SERIAL_SHARED under Lock, the name and the interrupt under StateMutex.
#include "corserial.h"

namespace {

// ---- the data blocks, laid out as WMI lays out their MOF classes (natural alignment) -----------
// mingw-w64's wmidata.h declares IrqAffinityMask 64 bits wide, which moves InterruptType and
// BaseIOAddress; the class has a uint32 there, as the WDK's wmidata.h has it. The driver keeps
// its own declarations of the five records rather than include either.

// MSSerial_CommInfo.
typedef struct _SERIAL_WMI_COMM_DATA {
    ULONG BaudRate;
    ULONG BitsPerByte;
    ULONG Parity; // SERIAL_WMI_PARITY_*
    BOOLEAN ParityCheckEnable;
    ULONG StopBits; // SERIAL_WMI_STOP_*
    ULONG XoffCharacter;
    ULONG XoffXmitThreshold;
    ULONG XonCharacter;
    ULONG XonXmitThreshold;
    ULONG MaximumBaudRate;
    ULONG MaximumOutputBufferSize;
    ULONG MaximumInputBufferSize;
    BOOLEAN Support16BitMode;
    BOOLEAN SupportDTRDSR;
    BOOLEAN SupportIntervalTimeouts;
    BOOLEAN SupportParityCheck;
    BOOLEAN SupportRTSCTS;
    BOOLEAN SupportXonXoff;
    BOOLEAN SettableBaudRate;
    BOOLEAN SettableDataBits;
    BOOLEAN SettableFlowControl;
    BOOLEAN SettableParity;
    BOOLEAN SettableParityCheck;
    BOOLEAN SettableStopBits;
    BOOLEAN IsBusy;
} SERIAL_WMI_COMM_DATA;

constexpr ULONG SerialWmiParityNone = 0;
constexpr ULONG SerialWmiParityOdd = 1;
constexpr ULONG SerialWmiParityEven = 2;
constexpr ULONG SerialWmiParitySpace = 3;
constexpr ULONG SerialWmiParityMark = 4;
constexpr ULONG SerialWmiStop1 = 0;
constexpr ULONG SerialWmiStop1_5 = 1;
constexpr ULONG SerialWmiStop2 = 2;

// MSSerial_HardwareConfiguration.
typedef struct _SERIAL_WMI_HW_DATA {
    ULONG IrqNumber;
    ULONG IrqVector;
    ULONG IrqLevel;
    ULONG IrqAffinityMask;
    ULONG InterruptType; // SERIAL_WMI_INTTYPE_*
    ULONGLONG BaseIOAddress;
} SERIAL_WMI_HW_DATA;

constexpr ULONG SerialWmiIntTypeLatched = 0;
constexpr ULONG SerialWmiIntTypeLevel = 1;

// MSSerial_PerformanceInformation: the six counters of IOCTL_SERIAL_GET_STATS, in its order.
typedef SERIALPERF_STATS SERIAL_WMI_PERF_DATA;

// MSSerial_CommProperties: the COMMPROP record, its provider-specific bytes counted by
// dwProvCharSize (none here).
typedef struct _SERIAL_WMI_COMMPROP {
    USHORT wPacketLength;
    USHORT wPacketVersion;
    ULONG dwServiceMask;
    ULONG dwReserved1;
    ULONG dwMaxTxQueue;
    ULONG dwMaxRxQueue;
    ULONG dwMaxBaud;
    ULONG dwProvSubType;
    ULONG dwProvCapabilities;
    ULONG dwSettableParams;
    ULONG dwSettableBaud;
    USHORT wSettableData;
    USHORT wSettableStopParity;
    ULONG dwCurrentTxQueue;
    ULONG dwCurrentRxQueue;
    ULONG dwProvSpec1;
    ULONG dwProvSpec2;
    ULONG dwProvCharSize;
} SERIAL_WMI_COMMPROP;

// A block's data ends with its last item (the WDK's *_SIZE); WMI pads between instances itself.
constexpr ULONG CommDataSize = FIELD_OFFSET(SERIAL_WMI_COMM_DATA, IsBusy) + sizeof(BOOLEAN);
constexpr ULONG HwDataSize = sizeof(SERIAL_WMI_HW_DATA);
constexpr ULONG PerfDataSize = sizeof(SERIAL_WMI_PERF_DATA);
constexpr ULONG CommPropSize = sizeof(SERIAL_WMI_COMMPROP);

static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, ParityCheckEnable) == 12, "ParityCheckEnable");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, StopBits) == 16, "StopBits at 16");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, MaximumInputBufferSize) == 44, "at 44");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMM_DATA, Support16BitMode) == 48, "at 48");
static_assert(CommDataSize == 61, "SERIAL_WMI_COMM_DATA_SIZE");
static_assert(FIELD_OFFSET(SERIAL_WMI_HW_DATA, InterruptType) == 16, "InterruptType at 16");
static_assert(FIELD_OFFSET(SERIAL_WMI_HW_DATA, BaseIOAddress) == 24, "BaseIOAddress at 24");
static_assert(HwDataSize == 32, "SERIAL_WMI_HW_DATA_SIZE");
static_assert(PerfDataSize == 24, "SERIAL_WMI_PERF_DATA_SIZE");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, wSettableData) == 40, "wSettableData at 40");
static_assert(FIELD_OFFSET(SERIAL_WMI_COMMPROP, dwProvCharSize) == 60, "dwProvCharSize at 60");
static_assert(CommPropSize == 64, "SERIAL_WMI_COMMPROP without provider bytes");

// MSSerial_PortName: one string, counted as WMI strings are (a USHORT of bytes, then UTF-16
// without a terminator).
constexpr ULONG PortNameChars = sizeof(SERIAL_PORT::PortName) / sizeof(WCHAR) - 1;
constexpr ULONG PortNameDataMax = sizeof(USHORT) + PortNameChars * sizeof(WCHAR);

// Room for the largest block.
constexpr ULONG LargestBlock = 64;
static_assert(CommDataSize <= LargestBlock && HwDataSize <= LargestBlock &&
                  PerfDataSize <= LargestBlock && CommPropSize <= LargestBlock &&
                  PortNameDataMax <= LargestBlock,
              "every block fits LargestBlock");

typedef ULONG BLOCK_READER(PSERIAL_PORT Port, PUCHAR Data);

template <typename T> ULONG Put(PUCHAR Data, const T& Value, ULONG Size)
{
    RtlCopyMemory(Data, &Value, Size);
    return Size;
}

ULONG ReadPortName(PSERIAL_PORT Port, PUCHAR Data)
{
    StateLock Lock(Port);
    USHORT Chars = 0;
    while (Chars < PortNameChars && Port->PortName[Chars] != UNICODE_NULL) {
        ++Chars;
    }
    const USHORT Bytes = static_cast<USHORT>(Chars * sizeof(WCHAR));
    RtlCopyMemory(Data, &Bytes, sizeof(Bytes));
    RtlCopyMemory(Data + sizeof(Bytes), Port->PortName, Bytes);
    return sizeof(Bytes) + Bytes;
}

ULONG WmiParity(UCHAR Parity)
{
    switch (Parity) {
    case ODD_PARITY:
        return SerialWmiParityOdd;
    case EVEN_PARITY:
        return SerialWmiParityEven;
    case MARK_PARITY:
        return SerialWmiParityMark;
    case SPACE_PARITY:
        return SerialWmiParitySpace;
    default:
        return SerialWmiParityNone;
    }
}

ULONG WmiStopBits(UCHAR StopBits)
{
    switch (StopBits) {
    case STOP_BITS_1_5:
        return SerialWmiStop1_5;
    case STOP_BITS_2:
        return SerialWmiStop2;
    default:
        return SerialWmiStop1;
    }
}

ULONG ReadCommInfo(PSERIAL_PORT Port, PUCHAR Data)
{
    SERIAL_COMMPROP Properties;
    PortProperties(Port, &Properties);
    SERIAL_WMI_COMM_DATA Info;
    RtlZeroMemory(&Info, sizeof(Info));
    {
        PortLock Lock(Port);
        const SERIAL_SHARED* S = &Port->Shared;
        Info.BaudRate = S->BaudRate;
        Info.BitsPerByte = S->LineControl.WordLength;
        Info.Parity = WmiParity(S->LineControl.Parity);
        // The UART checks the parity of every character whenever the line has one.
        Info.ParityCheckEnable = S->LineControl.Parity != NO_PARITY;
        Info.StopBits = WmiStopBits(S->LineControl.StopBits);
        Info.XoffCharacter = S->Chars.XoffChar;
        Info.XoffXmitThreshold = static_cast<ULONG>(S->HandFlow.XoffLimit);
        Info.XonCharacter = S->Chars.XonChar;
        Info.XonXmitThreshold = static_cast<ULONG>(S->HandFlow.XonLimit);
        // Divisor 1: the fastest rate the UART's clock makes.
        Info.MaximumBaudRate = Port->Config.ClockRate / 16;
        Info.IsBusy = Port->OpenFile != nullptr;
    }
    Info.MaximumOutputBufferSize = Properties.MaxTxQueue;
    Info.MaximumInputBufferSize = Properties.MaxRxQueue;
    Info.Support16BitMode = FALSE;
    Info.SupportDTRDSR = (Properties.ProvCapabilities & SERIAL_PCF_DTRDSR) != 0;
    Info.SupportIntervalTimeouts = (Properties.ProvCapabilities & SERIAL_PCF_INTTIMEOUTS) != 0;
    Info.SupportParityCheck = (Properties.ProvCapabilities & SERIAL_PCF_PARITY_CHECK) != 0;
    Info.SupportRTSCTS = (Properties.ProvCapabilities & SERIAL_PCF_RTSCTS) != 0;
    Info.SupportXonXoff = (Properties.ProvCapabilities & SERIAL_PCF_XONXOFF) != 0;
    Info.SettableBaudRate = (Properties.SettableParams & SERIAL_SP_BAUD) != 0;
    Info.SettableDataBits = (Properties.SettableParams & SERIAL_SP_DATABITS) != 0;
    Info.SettableFlowControl = (Properties.SettableParams & SERIAL_SP_HANDSHAKING) != 0;
    Info.SettableParity = (Properties.SettableParams & SERIAL_SP_PARITY) != 0;
    Info.SettableParityCheck = (Properties.SettableParams & SERIAL_SP_PARITY_CHECK) != 0;
    Info.SettableStopBits = (Properties.SettableParams & SERIAL_SP_STOPBITS) != 0;
    return Put(Data, Info, CommDataSize);
}

ULONG ReadHardware(PSERIAL_PORT Port, PUCHAR Data)
{
    SERIAL_WMI_HW_DATA Hardware;
    RtlZeroMemory(&Hardware, sizeof(Hardware));
    StateLock Lock(Port);
    Hardware.IrqNumber = Port->InterruptLevel;
    Hardware.IrqVector = Port->InterruptVector;
    Hardware.IrqLevel = Port->InterruptLevel;
    // The class has 32 bits for it: the processors of the first 32 that take the interrupt.
    Hardware.IrqAffinityMask = static_cast<ULONG>(Port->InterruptAffinity);
    Hardware.InterruptType =
        Port->InterruptMode == 0 ? SerialWmiIntTypeLevel : SerialWmiIntTypeLatched;
    Hardware.BaseIOAddress = Port->IoBase;
    return Put(Data, Hardware, HwDataSize);
}

ULONG ReadPerformance(PSERIAL_PORT Port, PUCHAR Data)
{
    SERIAL_WMI_PERF_DATA Perf;
    PortStatistics(Port, &Perf);
    return Put(Data, Perf, PerfDataSize);
}

ULONG ReadProperties(PSERIAL_PORT Port, PUCHAR Data)
{
    SERIAL_COMMPROP Properties;
    PortProperties(Port, &Properties);
    SERIAL_WMI_COMMPROP Wmi;
    RtlZeroMemory(&Wmi, sizeof(Wmi));
    Wmi.wPacketLength = Properties.PacketLength;
    Wmi.wPacketVersion = Properties.PacketVersion;
    Wmi.dwServiceMask = Properties.ServiceMask;
    Wmi.dwMaxTxQueue = Properties.MaxTxQueue;
    Wmi.dwMaxRxQueue = Properties.MaxRxQueue;
    Wmi.dwMaxBaud = Properties.MaxBaud;
    Wmi.dwProvSubType = Properties.ProvSubType;
    Wmi.dwProvCapabilities = Properties.ProvCapabilities;
    Wmi.dwSettableParams = Properties.SettableParams;
    Wmi.dwSettableBaud = Properties.SettableBaud;
    Wmi.wSettableData = Properties.SettableData;
    Wmi.wSettableStopParity = Properties.SettableStopParity;
    Wmi.dwCurrentTxQueue = Properties.CurrentTxQueue;
    Wmi.dwCurrentRxQueue = Properties.CurrentRxQueue;
    Wmi.dwProvSpec1 = Properties.ProvSpec1;
    Wmi.dwProvSpec2 = Properties.ProvSpec2;
    Wmi.dwProvCharSize = 0;
    return Put(Data, Wmi, CommPropSize);
}

struct DATA_BLOCK {
    GUID Guid;
    BLOCK_READER* Read;
};

// The serial classes' GUIDs, in the order the port registers them.
constexpr DATA_BLOCK Blocks[] = {
    {{0xa0ec11a8, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}}, ReadPortName},
    {{0xedb16a62, 0xb16c, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}}, ReadCommInfo},
    {{0x270b9b86, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}}, ReadHardware},
    {{0x56415acc, 0xb16d, 0x11d1, {0xbd, 0x98, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0x2d}},
     ReadPerformance},
    {{0x8209ec2a, 0x2d6b, 0x11d2, {0xba, 0x49, 0x00, 0xa0, 0xc9, 0x06, 0x29, 0x10}},
     ReadProperties},
};
constexpr ULONG BlockCount = sizeof(Blocks) / sizeof(Blocks[0]);

constexpr ULONG QuadAlign = 8;
constexpr ULONG RoundUp8(ULONG Value)
{
    return (Value + QuadAlign - 1) & ~(QuadAlign - 1);
}

// The block a data request's DataPath names, or null.
const DATA_BLOCK* BlockOf(PIO_STACK_LOCATION Stack)
{
    const GUID* Wanted = static_cast<const GUID*>(Stack->Parameters.WMI.DataPath);
    for (const DATA_BLOCK& Block : Blocks) {
        if (Wanted != nullptr &&
            RtlCompareMemory(&Block.Guid, Wanted, sizeof(GUID)) == sizeof(GUID)) {
            return &Block;
        }
    }
    return nullptr;
}

// The instance a WNODE_SINGLE_INSTANCE or WNODE_SINGLE_ITEM names: ours is index 0 of the static
// names; a dynamic name names none of ours.
BOOLEAN NamesOurInstance(const WNODE_SINGLE_INSTANCE& Node)
{
    return (Node.WnodeHeader.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) && Node.InstanceIndex == 0;
}

// The instance names of an answer are static (WMI's, from the PDO), as the request said.
ULONG AnswerNameFlags(const WNODE_HEADER* Asked)
{
    ULONG PdoNames = 0;
    RtlCopyMemory(&PdoNames, &Asked->Flags, sizeof(PdoNames));
    return WNODE_FLAG_STATIC_INSTANCE_NAMES | (PdoNames & WNODE_FLAG_PDO_INSTANCE_NAMES);
}

// Buffer too small for the answer: the size needed goes back in a WNODE_TOO_SMALL, with success,
// when the buffer holds one; otherwise the request fails.
NTSTATUS TooSmall(PIO_STACK_LOCATION Stack, const DATA_BLOCK* Block, ULONG Needed,
                  ULONG_PTR* Information)
{
    if (Stack->Parameters.WMI.BufferSize < sizeof(WNODE_TOO_SMALL)) {
        *Information = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    WNODE_TOO_SMALL Answer;
    RtlZeroMemory(&Answer, sizeof(Answer));
    Answer.WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
    Answer.WnodeHeader.Guid = Block->Guid;
    Answer.WnodeHeader.Flags = WNODE_FLAG_TOO_SMALL;
    Answer.SizeNeeded = Needed;
    RtlCopyMemory(Stack->Parameters.WMI.Buffer, &Answer, sizeof(Answer));
    *Information = sizeof(WNODE_TOO_SMALL);
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_ALL_DATA: one instance of fixed size; the instance names are WMI's.
NTSTATUS QueryAllData(PSERIAL_PORT Port, PIO_STACK_LOCATION Stack, ULONG_PTR* Information)
{
    const DATA_BLOCK* Block = BlockOf(Stack);
    if (Block == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    if (Stack->Parameters.WMI.BufferSize < sizeof(WNODE_HEADER)) {
        return STATUS_BUFFER_TOO_SMALL; // not even WMI's own header is there
    }
    UCHAR Data[LargestBlock];
    const ULONG Size = Block->Read(Port, Data);
    const ULONG Offset = RoundUp8(sizeof(WNODE_ALL_DATA));
    const ULONG Needed = Offset + Size;
    if (Stack->Parameters.WMI.BufferSize < Needed) {
        return TooSmall(Stack, Block, Needed, Information);
    }
    const auto Buffer = static_cast<PUCHAR>(Stack->Parameters.WMI.Buffer);
    WNODE_ALL_DATA Node;
    RtlZeroMemory(&Node, sizeof(Node));
    Node.WnodeHeader.BufferSize = Needed;
    Node.WnodeHeader.Guid = Block->Guid;
    KeQuerySystemTime(&Node.WnodeHeader.TimeStamp);
    Node.WnodeHeader.Flags =
        WNODE_FLAG_ALL_DATA | WNODE_FLAG_FIXED_INSTANCE_SIZE |
        AnswerNameFlags(static_cast<PWNODE_HEADER>(Stack->Parameters.WMI.Buffer));
    Node.DataBlockOffset = Offset;
    Node.InstanceCount = 1;
    Node.FixedInstanceSize = Size;
    RtlZeroMemory(Buffer, Offset);
    RtlCopyMemory(Buffer, &Node, sizeof(Node));
    RtlCopyMemory(Buffer + Offset, Data, Size);
    *Information = Needed;
    return STATUS_SUCCESS;
}

// IRP_MN_QUERY_SINGLE_INSTANCE: the data goes where WMI's DataBlockOffset says, behind the
// instance name WMI put there.
NTSTATUS QuerySingleInstance(PSERIAL_PORT Port, PIO_STACK_LOCATION Stack, ULONG_PTR* Information)
{
    const DATA_BLOCK* Block = BlockOf(Stack);
    if (Block == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    if (Stack->Parameters.WMI.BufferSize < sizeof(WNODE_SINGLE_INSTANCE)) {
        return STATUS_INVALID_PARAMETER; // no instance named
    }
    const auto Buffer = static_cast<PUCHAR>(Stack->Parameters.WMI.Buffer);
    WNODE_SINGLE_INSTANCE Node;
    RtlCopyMemory(&Node, Buffer, sizeof(Node));
    if (!NamesOurInstance(Node)) {
        return STATUS_WMI_INSTANCE_NOT_FOUND;
    }
    const ULONG Offset = Node.DataBlockOffset;
    if (Offset < sizeof(WNODE_SINGLE_INSTANCE) || Offset % QuadAlign != 0 ||
        Offset > MAXULONG - LargestBlock) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR Data[LargestBlock];
    const ULONG Size = Block->Read(Port, Data);
    const ULONG Needed = Offset + Size;
    if (Stack->Parameters.WMI.BufferSize < Needed) {
        return TooSmall(Stack, Block, Needed, Information);
    }
    Node.WnodeHeader.BufferSize = Needed;
    Node.WnodeHeader.Guid = Block->Guid;
    KeQuerySystemTime(&Node.WnodeHeader.TimeStamp);
    Node.WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | AnswerNameFlags(&Node.WnodeHeader);
    Node.SizeDataBlock = Size;
    RtlCopyMemory(Buffer, &Node, sizeof(Node));
    RtlCopyMemory(Buffer + Offset, Data, Size);
    *Information = Needed;
    return STATUS_SUCCESS;
}

// IRP_MN_CHANGE_SINGLE_INSTANCE and IRP_MN_CHANGE_SINGLE_ITEM: every block is read-only. The
// instance is looked for first, so that WMI can tell a wrong instance from a refusal.
NTSTATUS Change(PIO_STACK_LOCATION Stack)
{
    if (BlockOf(Stack) == nullptr) {
        return STATUS_WMI_GUID_NOT_FOUND;
    }
    if (Stack->Parameters.WMI.BufferSize < sizeof(WNODE_SINGLE_INSTANCE)) {
        return STATUS_INVALID_PARAMETER;
    }
    // WNODE_SINGLE_ITEM begins as WNODE_SINGLE_INSTANCE does: header, name offset, index.
    WNODE_SINGLE_INSTANCE Node;
    RtlCopyMemory(&Node, Stack->Parameters.WMI.Buffer, sizeof(Node));
    return NamesOurInstance(Node) ? STATUS_WMI_READ_ONLY : STATUS_WMI_INSTANCE_NOT_FOUND;
}

// Events, collection and methods: the blocks have none (no event blocks, nothing registered
// WMIREG_FLAG_EXPENSIVE, no methods in their classes).
NTSTATUS NoSuchFunction(PIO_STACK_LOCATION Stack)
{
    return BlockOf(Stack) == nullptr ? STATUS_WMI_GUID_NOT_FOUND : STATUS_INVALID_DEVICE_REQUEST;
}

// The registry path DriverEntry was given: the service key the I/O manager named the driver by.
constexpr WCHAR ServicesKey[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr ULONG ServicesKeyChars = sizeof(ServicesKey) / sizeof(WCHAR) - 1;

// IRP_MN_REGINFO_EX (and IRP_MN_REGINFO): the five blocks with PDO-based static instance names,
// and the driver's registry path. The PDO is referenced once for each block that names it; WMI
// drops those references.
NTSTATUS RegInfo(PSERIAL_PORT Port, PIO_STACK_LOCATION Stack, ULONG_PTR* Information)
{
    const UNICODE_STRING& Service = Port->Self->DriverObject->DriverExtension->ServiceKeyName;
    const ULONG PathOffset = sizeof(WMIREGINFO) + BlockCount * sizeof(WMIREGGUID);
    const ULONG PathBytes = (ServicesKeyChars * sizeof(WCHAR)) + Service.Length;
    const ULONG Needed = PathOffset + sizeof(USHORT) + PathBytes;
    const ULONG Room = Stack->Parameters.WMI.BufferSize;
    const auto Buffer = static_cast<PUCHAR>(Stack->Parameters.WMI.Buffer);
    if (Room < Needed) {
        // The size needed, as a ULONG at the start of the buffer.
        if (Room < sizeof(ULONG)) {
            *Information = 0;
        } else {
            RtlCopyMemory(Buffer, &Needed, sizeof(Needed));
            *Information = sizeof(ULONG);
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlZeroMemory(Buffer, Needed);
    WMIREGINFO Info;
    RtlZeroMemory(&Info, sizeof(Info));
    Info.BufferSize = Needed;
    Info.RegistryPath = PathOffset;
    Info.GuidCount = BlockCount;
    RtlCopyMemory(Buffer, &Info, sizeof(Info));
    for (ULONG Index = 0; Index < BlockCount; ++Index) {
        WMIREGGUID Entry;
        RtlZeroMemory(&Entry, sizeof(Entry));
        Entry.Guid = Blocks[Index].Guid;
        Entry.Flags = WMIREG_FLAG_INSTANCE_PDO;
        Entry.InstanceCount = 1;
        ObReferenceObject(Port->Pdo);
        Entry.Pdo = reinterpret_cast<ULONG_PTR>(Port->Pdo);
        RtlCopyMemory(Buffer + sizeof(WMIREGINFO) + Index * sizeof(WMIREGGUID), &Entry,
                      sizeof(Entry));
    }
    const auto Count = static_cast<USHORT>(PathBytes);
    RtlCopyMemory(Buffer + PathOffset, &Count, sizeof(Count));
    RtlCopyMemory(Buffer + PathOffset + sizeof(Count), ServicesKey,
                  ServicesKeyChars * sizeof(WCHAR));
    RtlCopyMemory(Buffer + PathOffset + sizeof(Count) + ServicesKeyChars * sizeof(WCHAR),
                  Service.Buffer, Service.Length);
    *Information = Needed;
    return STATUS_SUCCESS;
}

} // namespace

// WMI sends these at PASSIVE_LEVEL. Each answer completes here, with the remove lock held across
// it; a minor function the port does not know goes down like another provider's request.
NTSTATUS SerialSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PSERIAL_PORT Port = PortFromDevice(DeviceObject);
    NTSTATUS Status = IoAcquireRemoveLock(&Port->RemoveLock, Irp);
    if (!NT_SUCCESS(Status)) {
        return CompleteWithoutRemoveLock(Irp, Status, 0);
    }
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(DeviceObject)) {
        return PassDown(Port, Irp);
    }
    ULONG_PTR Information = 0;
    switch (Stack->MinorFunction) {
    case IRP_MN_REGINFO:
    case IRP_MN_REGINFO_EX:
        Status = RegInfo(Port, Stack, &Information);
        break;
    case IRP_MN_QUERY_ALL_DATA:
        Status = QueryAllData(Port, Stack, &Information);
        break;
    case IRP_MN_QUERY_SINGLE_INSTANCE:
        Status = QuerySingleInstance(Port, Stack, &Information);
        break;
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
    case IRP_MN_CHANGE_SINGLE_ITEM:
        Status = Change(Stack);
        break;
    case IRP_MN_ENABLE_EVENTS:
    case IRP_MN_DISABLE_EVENTS:
    case IRP_MN_ENABLE_COLLECTION:
    case IRP_MN_DISABLE_COLLECTION:
    case IRP_MN_EXECUTE_METHOD:
        Status = NoSuchFunction(Stack);
        break;
    default:
        return PassDown(Port, Irp);
    }
    return CompleteAndRelease(Port, Irp, Status, Information);
}

VOID WmiRegister(PSERIAL_PORT Port)
{
    if (Port->WmiRegistered) {
        return;
    }
    // Without WMI the port still works; a later start tries again.
    Port->WmiRegistered =
        NT_SUCCESS(IoWMIRegistrationControl(Port->Self, WMIREG_ACTION_REGISTER)) ? TRUE : FALSE;
}

VOID WmiDeregister(PSERIAL_PORT Port)
{
    if (!Port->WmiRegistered) {
        return;
    }
    IoWMIRegistrationControl(Port->Self, WMIREG_ACTION_DEREGISTER);
    Port->WmiRegistered = FALSE;
}
