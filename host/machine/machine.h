// The simulated machine: a PCI bus with multiport serial adapters on it, the plug-and-play and
// power managers that drive their device stacks as Windows does, the far ends of the serial lines,
// and a serial port function driver double that binds to the port devices. Everything above the
// hardware is real WDM code on the host kernel stand-in: the PCI bus driver and the port driver
// double are driver objects loaded with HkLoadDriver; the managers send IRPs built with
// IoAllocateIrp to the tops of the device stacks.
//
// Threads of the machine (all started on first use, all joined by HmReset):
//  - the plug-and-play worker: every plug-and-play and power request is sent from it, one at a
//    time, at PASSIVE_LEVEL; the Hm* calls that send requests post work to it and wait;
//  - the hardware thread: advances the serial lines (one character time per tick) and, while an
//    adapter's level-sensitive interrupt line is asserted, delivers it with HkDeliverInterrupt,
//    again and again while it is claimed, backing off while nobody claims it;
//  - the bus completion thread: completes the PCI bus driver's requests that were answered with
//    STATUS_PENDING (see HmBusAnswers::Pending), at DISPATCH_LEVEL as a DPC would.
//
// Typical test:
//     HmReset();              // joins the machine's threads, then HkReset()
//     PDRIVER_OBJECT drv = HkLoadDriver(DriverEntry, L"corcard");
//     PDEVICE_OBJECT pdo = HmPlugAdapter(HmModel::LX4A);
//     ASSERT_EQ(HmAddDevice(drv, pdo), STATUS_SUCCESS);
//     ASSERT_EQ(HmStartAdapter(pdo), STATUS_SUCCESS); // ports enumerated, port driver bound
//     HmRemoteSend(pdo, 0, {'h', 'i'});
//     ... HmWaitUntil([&] { ... HmSerialRead(HmPortDevices(pdo)[0]) ... });
//     HmUnplugAll();          // orderly removal; PDOs and the machine's drivers gone
//     HkUnloadDriver(drv);
//     EXPECT_TRUE(HkCheckClean());
// (host/testsupport.h has a fixture that does the first and the last steps.)
#pragma once

// The kernel headers are C declarations, included inside extern "C" as drivers include them.
extern "C"
{
#include <ntddk.h>
}
#include "hostkernel.h"
#include "corport.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Life of the machine

// Stops and joins the machine's threads, forgets every adapter, device node, record and option,
// then calls HkReset(). Call first in every test that uses the machine (instead of HkReset).
void HmReset();

// Orderly end of a test: power requests still on their way finish, every adapter still plugged is
// removed through the plug-and-play manager (ports first, then the adapter) and unplugged (its PDO
// deleted), then the port driver double and the PCI bus driver are unloaded, and the machine's
// threads are joined. Afterwards the stand-in holds nothing of the machine, so
// HkUnloadDriver(corcard) and HkCheckClean() see only corcard.
void HmUnplugAll();

// Waits (polling) until pred() is true; returns its last answer. It gives up after timeoutMs of
// wall time, by default the stand-in's hang limit (HkWaitLimitMs()), so a loaded machine only
// makes the wait longer: what never happens is still reported, once the stand-in would call the
// system hung anyway.
bool HmWaitUntil(const std::function<bool()>& pred, unsigned timeoutMs = 0);

// Forced pending, as Driver Verifier's "force pending I/O requests" does it: the PCI bus driver
// and the port driver double answer every request with STATUS_PENDING (IoMarkIrpPending) and
// finish it from another thread after a short random delay (up to a millisecond): the bus driver
// completes it from the bus completion thread at DISPATCH_LEVEL, the port driver double handles it
// on the machine's deferred-work thread at PASSIVE_LEVEL. HmReset switches it on when the
// environment variable HM_FORCE_PENDING is set to anything but "0" (the forced-pending runs of
// the suites set it), off otherwise; a test may switch it for itself.
void HmSetForcedPending(bool on);
bool HmForcedPending();

// ---------------------------------------------------------------------------------------------
// Board models and their PCI configuration space

enum class HmModel {
    LX2A,
    LX4A,
    LX8A,
    LX2B,
    LX4B,
    LX8B,
    LX2C,
    LX4C,
    LX8C
};
constexpr int HmModelCount = 9;

constexpr USHORT HmVendorId = 0x1E5C;
constexpr USHORT HmDeviceId = 0x0001;
constexpr USHORT HmSubVendorId = 0x0001;

USHORT HmSubsystemId(HmModel model); // 0x7A21, 0x7A41, ... 0x7C81
ULONG HmPortCount(HmModel model);    // 2, 4 or 8
const char* HmModelName(HmModel model);
bool HmModelFromName(const std::string& name, HmModel* model); // "LX4A" (any case)

// Size of the I/O decoders of a board with n UARTs: BAR 0 holds the UARTs back to back, eight
// registers each (n * 8 bytes, a power of two); BAR 1 holds the interrupt status register in a
// 4-byte block (the smallest I/O BAR).
ULONG HmBar0Size(ULONG uarts);
constexpr ULONG HmBar1Size = 4;

struct HmPciConfig {
    UCHAR Space[256]; // the function's configuration space, as IRP_MN_READ_CONFIG reads it
    ULONG Uarts;      // 16550 UARTs behind BAR 0 (0 to 8)
    ULONG Bar0Size;   // decode sizes, used when BARs are programmed and for size probing
    ULONG Bar1Size;
};

// The configuration space of a catalogue board: vendor 0x1E5C, device 0x0001, revision 1, class
// 0x0700 (serial controller, 16550-compatible, prog-if 0x02), subsystem vendor 0x0001 and the
// model's subsystem ID, BAR 0 and BAR 1 I/O with no address yet (value 0x00000001: HmPlugAdapter
// gives such BARs the slot's default addresses, as firmware does at boot), interrupt pin A, a
// power management capability at 0x40.
HmPciConfig HmBoardConfig(HmModel model);
// The same board with any subsystem ID and any number of UARTs (for unknown models).
HmPciConfig HmBoardConfig(USHORT subsystemId, ULONG uarts);
// Little-endian field access in a configuration space.
void HmPutConfig16(HmPciConfig& config, ULONG offset, USHORT value);
void HmPutConfig32(HmPciConfig& config, ULONG offset, ULONG value);

// ---------------------------------------------------------------------------------------------
// The simulated PCI bus driver ("\Driver\pci")
//
// Each plugged adapter is a PDO of that driver. It answers, for its PDO:
//   IRP_MN_READ_CONFIG / IRP_MN_WRITE_CONFIG   configuration space (offset and length honoured,
//                                              clipped at 256; Information = bytes moved);
//   IRP_MN_QUERY_ID                            device, hardware, compatible and instance IDs;
//   IRP_MN_QUERY_CAPABILITIES                  the configured capabilities;
//   IRP_MN_START_DEVICE                        programs the BARs from the raw resource list (I/O
//                                              ranges in BAR order), enables I/O decoding, maps
//                                              the board's registers with HkMapIo;
//   IRP_MN_STOP_DEVICE, SURPRISE_REMOVAL       disables decoding (registers unmapped);
//   IRP_MN_REMOVE_DEVICE                       disables decoding; deletes the PDO only when the
//                                              board has left its slot (once the stack above
//                                              has detached from it);
//   query/cancel stop and remove               success;
//   IRP_MN_QUERY_DEVICE_RELATIONS target       the PDO itself, referenced;
//   anything else (QUERY_INTERFACE included)   completed with the status it carries;
//   IRP_MJ_POWER                               device D0..D3 (decoding off outside D0; a return
//                                              from D3 resets the UARTs, as D3hot does), system
//                                              states acknowledged; PoStartNextPowerIrp, complete.

enum class HmBusRequest : unsigned {
    ReadConfig = 1u << 0,
    WriteConfig = 1u << 1,
    QueryId = 1u << 2,
    QueryCapabilities = 1u << 3,
    Start = 1u << 4,
    StopRemove = 1u << 5, // stop, remove, surprise removal, query/cancel stop and remove
    Power = 1u << 6,
    Other = 1u << 7,
};

enum class HmIdAnswer {
    String, // the configured text
    None,   // success with a null Information
    Fail,   // the configured failure status
};

struct HmBusAnswers {
    NTSTATUS ReadConfigStatus = STATUS_SUCCESS; // a failure status makes READ_CONFIG fail
    HmIdAnswer InstanceIdAnswer = HmIdAnswer::String;
    std::u16string InstanceId; // default "3&11583659&0&" + device/function
    NTSTATUS InstanceIdFailure = STATUS_UNSUCCESSFUL;
    DEVICE_CAPABILITIES Capabilities; // default: PCI-like (see HmDefaultCapabilities)
    NTSTATUS CapabilitiesStatus = STATUS_SUCCESS;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    NTSTATUS D0Status = STATUS_SUCCESS; // a failure status makes a set-power to D0 fail
    unsigned Pending = 0; // HmBusRequest bits: answer STATUS_PENDING, complete on another thread
    // At start, program the board's I/O BARs from the raw list's port ranges (as the platform's
    // bus driver does). False leaves the configuration space exactly as configured.
    bool ProgramBars = true;
};

// Capabilities a PCI bus reports for a function with D1/D2 support and no wake support: D0 in S0,
// D2 in S1 and S2, D3 in S3 to S5, Address (device << 16) | function, UINumber the slot,
// DeviceD1 and DeviceD2 set, every other flag clear.
DEVICE_CAPABILITIES HmDefaultCapabilities(ULONG slot);

// Plugs an adapter into the next free slot of the bus and returns its PDO (no function driver
// yet). Loads the PCI bus driver on first use. The board model (UARTs, status register) follows
// config.Uarts.
PDEVICE_OBJECT HmPlugAdapter(const HmPciConfig& config);
PDEVICE_OBJECT HmPlugAdapter(HmModel model);

HmBusAnswers HmGetBusAnswers(PDEVICE_OBJECT pdo);
// While held, requests that the bus driver answered STATUS_PENDING (as HmBusAnswers::Pending
// asks; forced pending alone holds nothing back) stay pending until released, so a test can
// order their completion after other events. Stopping the machine releases them.
void HmHoldBusCompletions(bool hold);
void HmSetBusAnswers(PDEVICE_OBJECT pdo, const HmBusAnswers& answers);
// Replaces the configuration space seen from now on; while decoding is on, the registers move to
// where the new BARs say.
void HmSetConfigSpace(PDEVICE_OBJECT pdo, const UCHAR (&space)[256]);
void HmGetConfigSpace(PDEVICE_OBJECT pdo, UCHAR (&space)[256]);

// Every request that reached the PCI bus driver for this PDO, in order.
struct HmBusRecord {
    UCHAR Major;
    UCHAR Minor;
    ULONG Detail1;   // READ/WRITE_CONFIG: offset; QUERY_ID: IdType; POWER: type
    ULONG Detail2;   // READ/WRITE_CONFIG: length; POWER: state
    bool Pending;    // answered with STATUS_PENDING
    NTSTATUS Status; // completion status
    KIRQL Irql;      // IRQL of the thread that sent it
};
std::vector<HmBusRecord> HmBusRecords(PDEVICE_OBJECT pdo);

// Device power state the bus has put the function in (D0 from plug-in on).
DEVICE_POWER_STATE HmBusDevicePower(PDEVICE_OBJECT pdo);

// ---------------------------------------------------------------------------------------------
// Resource lists (CM_RESOURCE_LIST with the platform's layout: full descriptors one after the
// other, each followed directly by its partial descriptors; a device-specific partial descriptor
// is followed by its DataSize bytes of data)

struct HmPartial {
    UCHAR Type = CmResourceTypeNull;
    UCHAR ShareDisposition = CmResourceShareDeviceExclusive;
    USHORT Flags = 0;
    ULONG64 Start = 0; // port / memory
    ULONG Length = 0;
    ULONG Level = 0; // interrupt
    ULONG Vector = 0;
    KAFFINITY Affinity = 0;
    std::vector<UCHAR> Data; // device-specific
};
HmPartial HmPortRange(ULONG64 start, ULONG length);
HmPartial HmInterrupt(ULONG level, ULONG vector, KAFFINITY affinity, bool latched = false,
                      bool shared = true);
HmPartial HmMemoryRange(ULONG64 start, ULONG length);
HmPartial HmDeviceSpecific(const std::vector<UCHAR>& data);

struct HmFullDescriptor {
    INTERFACE_TYPE InterfaceType = PCIBus;
    ULONG BusNumber = 0;
    USHORT Version = 1;
    USHORT Revision = 1;
    std::vector<HmPartial> Partials;
};
typedef std::vector<HmFullDescriptor> HmResourceList;

// The bytes of the CM_RESOURCE_LIST (suitably aligned copies are made where one is handed out).
std::vector<UCHAR> HmBuildResourceList(const HmResourceList& list);

// What a start hands to the stack: the raw and the translated list; either may be left out
// (a null pointer in the start request).
struct HmAssignment {
    HmResourceList Raw;
    HmResourceList Translated;
    bool NoRaw = false;
    bool NoTranslated = false;
};

// The assignment the platform gives a board of the adapter's slot: one full descriptor per list
// with BAR 0's range, BAR 1's range and one shared level-sensitive interrupt (raw: IRQ 16 + slot;
// translated: vector 0x61 + slot, level 6, affinity 0x3). Ranges follow the BARs of the current
// configuration space.
HmAssignment HmDefaultAssignment(PDEVICE_OBJECT pdo);
// The same shape with explicit values.
HmAssignment HmMakeAssignment(ULONG64 bar0, ULONG bar0Length, ULONG64 bar1, ULONG bar1Length,
                              ULONG irq, ULONG vector, ULONG level, KAFFINITY affinity = 0x3,
                              bool latched = false, bool shared = true);

// ---------------------------------------------------------------------------------------------
// The plug-and-play manager. Every request goes from the worker thread, at PASSIVE_LEVEL, to the
// top of the target's stack (IoGetAttachedDeviceReference), with its status preset to
// STATUS_NOT_SUPPORTED; the manager waits for completion and owns what it gets back. A request
// that a driver never completes is given up after 30 s: the trace says so and the caller sees
// STATUS_TIMEOUT (the IRP is left to the driver), so that a test fails instead of hanging.
// The manager answers the kernel's device instance questions (HkSetDeviceInstanceHook): a node's
// instance path is its device ID and instance ID, and its software key number is the order in
// which the manager met the nodes since HmReset.

struct HmPnpOptions {
    bool BindPortDrivers = true;     // load the port function driver on "CorPort"<n> and start it
    bool StartPorts = true;          // start new port devices after enumeration
    bool RemoveOnFailedStart = true; // a failed start is followed by IRP_MN_REMOVE_DEVICE
    // The port function driver bound on "CorPort"<n> (AddDevice of its driver object, as the
    // service corport.inf installs); nullptr: the port driver double.
    PDRIVER_OBJECT PortDriver = nullptr;
    // A new port device gets "PortName" = "COM<n>" in its device key when it has none, n the
    // lowest number from 3 up that no other port device key of the machine holds, as the ports
    // class installer does at installation.
    bool AssignPortNames = true;
};
void HmSetPnpOptions(const HmPnpOptions& options);

// AddDevice of the function driver on the adapter's PDO. The driver stays the adapter's function
// driver for the later calls.
NTSTATUS HmAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// Starts the adapter as Windows does: IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE
// with the assignment, then IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE and bus
// relations; every new port device gets its IDs (device, hardware, instance, compatible), texts
// (description, location) and capabilities queried, then (options) the port driver double is
// added on it and its stack started. Returns the start request's status.
NTSTATUS HmStartAdapter(PDEVICE_OBJECT pdo);
NTSTATUS HmStartAdapter(PDEVICE_OBJECT pdo, const HmAssignment& assignment);

// Rebalance: query-stop the port stacks, then the adapter; stop them (ports first); start the
// adapter with the new assignment; start the port stacks again. If a query-stop fails, every
// device that had agreed gets IRP_MN_CANCEL_STOP_DEVICE and the result is that failure.
NTSTATUS HmRebalance(PDEVICE_OBJECT pdo, const HmAssignment& assignment);

// Orderly removal (device uninstalled or disabled): query-remove the port stacks, then the
// adapter; remove them (ports first, then the adapter). A refused query-remove is cancelled on
// every device that had agreed and its status returned. The PDO stays (the board is still in the
// slot) and can be given to HmAddDevice again.
NTSTATUS HmRemoveAdapter(PDEVICE_OBJECT pdo);

// The board is pulled out of its slot: its registers vanish, the bus stops reporting it, the
// adapter stack and the port stacks get IRP_MN_SURPRISE_REMOVAL (ports first) and then
// IRP_MN_REMOVE_DEVICE (ports first); the PCI bus driver deletes the PDO.
void HmSurpriseRemoveAdapter(PDEVICE_OBJECT pdo);

// The board leaves its slot at its access-th register access from now (1: the next one), as one
// pulled out under a running driver: that access and every later one read all ones, writes go
// nowhere, its UARTs stop and its interrupt line goes quiet. The managers hear of it only when
// the test sends HmSurpriseRemoveAdapter. 0 takes the request back.
void HmPullAdapterAtAccess(PDEVICE_OBJECT pdo, unsigned access);
bool HmAdapterInSlot(PDEVICE_OBJECT pdo);

// Orderly removal (if a driver is loaded on it) and then the board leaves the slot: PDO deleted.
void HmUnplugAdapter(PDEVICE_OBJECT pdo);

// Windows unloads a function driver once its last device object is gone. Unloads driver (with
// HkUnloadDriver, from the worker) if it has no device objects left; returns whether it did.
bool HmUnloadIfUnused(PDRIVER_OBJECT driver);

// Bus relations of the adapter queried again (what the driver's IoInvalidateDeviceRelations
// causes); children no longer reported get surprise removal and removal of their stacks.
void HmInvalidateBusRelations(PDEVICE_OBJECT pdo);
// Waits until the worker has handled every queued request (invalidations included).
void HmWaitPnpIdle();

// One request of the caller's making, sent from the worker to the top of the stack holding
// device (or to device itself when toTop is false). fill sets up the stack location (its
// MajorFunction is IRP_MJ_PNP and MinorFunction minor already). The caller owns Information.
struct HmIrpResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};
HmIrpResult HmSendPnp(PDEVICE_OBJECT device, UCHAR minor,
                      const std::function<void(PIO_STACK_LOCATION)>& fill = {}, bool toTop = true);

// IRP_MN_QUERY_DEVICE_RELATIONS / TargetDeviceRelation to the stack holding device; the manager
// drops the reference it receives and frees the list. Returns the reported device (or nullptr).
PDEVICE_OBJECT HmQueryTargetRelation(PDEVICE_OBJECT device, NTSTATUS* status = nullptr);

enum class HmNodeState {
    Initialized,  // PDO known, no function driver
    DriversAdded, // AddDevice done
    Started,
    StartFailed,
    StopPending,
    Stopped,
    RemovePending,
    SurpriseRemoved,
    Removed,
};
const char* HmNodeStateName(HmNodeState state);

// What the manager knows about a device node (adapter or port).
struct HmNodeInfo {
    bool Known;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Parent; // adapter PDO for a port, nullptr for an adapter
    HmNodeState State;
    NTSTATUS LastStatus; // of the last start/stop/remove step
    std::u16string DeviceId;
    std::vector<std::u16string> HardwareIds;
    std::u16string InstanceId;
    std::vector<std::u16string> CompatibleIds;
    std::u16string Description;
    std::u16string Location;
    NTSTATUS IdStatus[4];   // per BUS_QUERY_ID_TYPE 0..3 (device, hardware, compatible,
                            // instance)
    NTSTATUS TextStatus[2]; // description, location
    bool HasCapabilities;
    DEVICE_CAPABILITIES Capabilities;
    PNP_DEVICE_STATE DeviceState;
    bool PortDriverBound; // the port driver double was added on it
};
HmNodeInfo HmNode(PDEVICE_OBJECT pdo);

// Port PDOs the manager currently knows as children of the adapter, in bus relations order.
std::vector<PDEVICE_OBJECT> HmPortDevices(PDEVICE_OBJECT adapterPdo);

// Registry path of a port device's hardware key (its "Device Parameters"), where "PortName" and
// the FIFO values live; the key exists from the device's enumeration on.
std::u16string HmDeviceKey(PDEVICE_OBJECT portPdo);
// Starts the stack of a port device that enumeration left unstarted (StartPorts false), binding
// the port function driver first (BindPortDrivers); returns the start's status, or AddDevice's
// when that failed (the device is then not started: it is no raw device).
NTSTATUS HmStartPort(PDEVICE_OBJECT portPdo);
// What the ports class installer does for a property change of a port (DIF_PROPERTYCHANGE): the
// stack is removed (query-remove, remove; a refused query-remove is cancelled and returned) and
// built again (AddDevice of the port function driver, start), so the driver reads the device
// key anew. Returns the refusal or the new start's status.
NTSTATUS HmRestartPort(PDEVICE_OBJECT portPdo);
// After a surprise removal the platform sends IRP_MN_REMOVE_DEVICE to a stack only once no handle
// to any of its devices is open (HkOpenHandles): HmSurpriseRemoveAdapter returns after the
// surprise removals, and each removal follows when the last handle of its stack closes.
// HmWaitPnpIdle waits for the removals that can happen.

// ---------------------------------------------------------------------------------------------
// The power manager. A system power transition goes to every adapter that has a function driver:
// going to sleep (S1..S5): IRP_MN_QUERY_POWER for the system state to the port stacks and then
// the adapter stack, then IRP_MN_SET_POWER to the port stacks and then the adapter stack; waking
// (S0): IRP_MN_SET_POWER to the adapter stack first, then the port stacks. A refused query ends
// the transition: the stacks that agreed get IRP_MN_SET_POWER for S0. Device power IRPs are the
// drivers' business (PoRequestPowerIrp of the stand-in). Returns the first failure or success.
NTSTATUS HmSetSystemPower(SYSTEM_POWER_STATE state);
// One power request to the top of the stack holding device.
HmIrpResult HmSendPower(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                        POWER_STATE state);

struct HmPowerRecord {
    PDEVICE_OBJECT Pdo; // bottom of the stack it was sent to
    UCHAR Minor;
    POWER_STATE_TYPE Type;
    POWER_STATE State;
    NTSTATUS Status;
};
std::vector<HmPowerRecord> HmPowerLog();
SYSTEM_POWER_STATE HmSystemPowerState();

// ---------------------------------------------------------------------------------------------
// The adapter's hardware: 16550 UARTs, the interrupt status register, the interrupt line

// Line pace: how many ticks one character takes on the wire (both directions), whatever rate and
// format the UART is programmed with; the character time-out stays at four ticks. 0: instantly
// (a byte written to the transmitter is on the wire at once; injected bytes reach the receiver at
// once, overrunning a full FIFO).
// By default a character takes the time its UART's programmed rate and format give.
// port HmAllPorts sets every port of the adapter.
constexpr ULONG HmAllPorts = 0xFFFFFFFF;
void HmSetLinePace(PDEVICE_OBJECT pdo, ULONG port, unsigned ticksPerChar);
// Tick length of the hardware thread in microseconds (default 1000); 0 stops the clock so a test
// advances it with HmTick alone.
void HmSetTickMicroseconds(unsigned us);
void HmTick(unsigned ticks = 1);

// The far end of port `port` (0-based UART index) of the adapter: an ideal device that always
// uses the UART's current line format and pace. Its line errors arrive exactly as asked: a
// parity or framing error on the byte, a break as one zero character with BI and FE.
void HmRemoteSend(PDEVICE_OBJECT pdo, ULONG port, const std::vector<UCHAR>& bytes);
enum class HmLineError {
    Parity,
    Framing,
    Break
};
void HmRemoteSendError(PDEVICE_OBJECT pdo, ULONG port, UCHAR byte, HmLineError error);
std::vector<UCHAR> HmRemoteTake(PDEVICE_OBJECT pdo, ULONG port); // transmitted bytes, drained
size_t HmRemotePending(PDEVICE_OBJECT pdo, ULONG port);          // injected bytes not yet received
void HmSetModemInputs(PDEVICE_OBJECT pdo, ULONG port, bool cts, bool dsr, bool ri, bool dcd);

// ---------------------------------------------------------------------------------------------
// Lines in simulated time. The machine drives the kernel stand-in's virtual clock (HkNow): its
// hardware thread moves the clock forward in steps no longer than the next event (a character
// leaving a transmitter or reaching a receiver, a character time-out, a peer's next action, a
// driver's timer), delivers interrupts and lets DPCs finish between steps. So line timing,
// interrupts and the driver's timers keep one order however slowly the host runs: a loaded host
// slows simulated time down, never makes it skip. A character takes the time its UART's divisor,
// clock (HmUartClock, 73.728 MHz on these boards) and line format give, unless HmSetLinePace
// fixes it in ticks.
//
// The clock follows wall time times the scale (1 by default: real time). A test that moves bulk
// data and does not care how long it takes in wall time may raise it; tests that wait for
// simulated time use HkWaitClock. Scale 0 stops the clock: then only HmAdvanceTime moves it, so
// a test decides exactly when what happens (and must issue requests overlapped).
constexpr ULONG HmUartClock = 73728000;
void HmSetTimeScale(double scale);
// Moves the stopped clock forward by units (100 ns) as the running clock would move it: lines,
// interrupts, timers and DPCs in order. Returns when all of it has happened.
void HmAdvanceTime(LONGLONG units);

// The far end of each port's line. Every port starts with its scripted peer (below) at the other
// end of the cable. A loopback plug or a null-modem cable takes the peer's place until
// HmAttachPeer puts the peer back.
//  - loopback plug: TX to RX, RTS to CTS, DTR to DSR, DCD and RI;
//  - null-modem cable (between two ports of one adapter or of two): TX to the other's RX, RTS to
//    the other's CTS, DTR to the other's DSR and DCD.
void HmPlugLoopback(PDEVICE_OBJECT pdo, ULONG port);
void HmConnectNullModem(PDEVICE_OBJECT pdoA, ULONG portA, PDEVICE_OBJECT pdoB, ULONG portB);
void HmAttachPeer(PDEVICE_OBJECT pdo, ULONG port);

// The scripted peer: equipment with line settings of its own (or following the port's, the
// default: then it always agrees), which sends at its own rate what it is given, receives by
// sampling the port's transmitter with its settings, and drives CTS, DSR, DCD and RI
// (HmSetModemInputs). HmRemoteSend, HmRemoteSendError and HmRemoteTake are its send and receive.
enum class HmParity {
    None,
    Odd,
    Even,
    Mark,
    Space
};
struct HmLineFormat {
    ULONG Baud;
    UCHAR DataBits; // 5 to 8
    HmParity Parity;
    UCHAR StopBits; // 1 or 2 (2 means 1.5 with 5 data bits, as a UART makes it)
};
void HmPeerSetFormat(PDEVICE_OBJECT pdo, ULONG port, const HmLineFormat& format);
void HmPeerFollow(PDEVICE_OBJECT pdo, ULONG port);
// An idle line for a while (100 ns units) before whatever is sent next.
void HmPeerPause(PDEVICE_OBJECT pdo, ULONG port, LONGLONG units);
// The line held low for a while (100 ns units): a break.
void HmPeerSendBreak(PDEVICE_OBJECT pdo, ULONG port, LONGLONG units);
// Flow control the peer honours when sending: it pauses while the port's RTS is low, and after
// an XOFF (0x13) from the port until XON (0x11).
void HmPeerFlowControl(PDEVICE_OBJECT pdo, ULONG port, bool honourRts, bool honourXoff);
struct HmPeerByte {
    UCHAR Byte;
    UCHAR Errors; // line status error bits as the peer's receiver saw them (parity, framing, break)
    LONGLONG Time; // virtual clock when it arrived
};
std::vector<HmPeerByte> HmPeerReceived(PDEVICE_OBJECT pdo, ULONG port); // drained
// The port's outputs as the far end sees them.
struct HmPortLines {
    bool Rts, Dtr, Out1, Out2, Break;
};
HmPortLines HmPortOutputs(PDEVICE_OBJECT pdo, ULONG port);

// Register view of one UART (no side effects).
struct HmUartView {
    UCHAR Ier, Iir, Fcr, Lcr, Mcr, Lsr, Msr, Scr;
    USHORT Divisor;
    bool FifoEnabled;
    bool Fifo64; // 64-byte FIFO mode (16750)
    ULONG RxCount, TxCount;
    UCHAR RxTrigger;
    bool Interrupt; // INT output
    ULONG Overruns; // characters lost to a full receive FIFO since the board was plugged
    // Register writes that left RTS up on the line with the received-data interrupt off.
    ULONG RtsWhileDeaf;
};
HmUartView HmUart(PDEVICE_OBJECT pdo, ULONG port);
UCHAR HmStatusRegister(PDEVICE_OBJECT pdo); // bit k = INT of UART k
bool HmLineAsserted(PDEVICE_OBJECT pdo);    // present, in D0, interrupt assigned, status non-zero
bool HmRegistersMapped(PDEVICE_OBJECT pdo);
ULONG64 HmBarBase(PDEVICE_OBJECT pdo, int bar); // current BAR address (0 if not I/O)

struct HmInterruptStats {
    size_t Deliveries; // HkDeliverInterrupt calls made for this adapter
    size_t Claimed;
    size_t Unclaimed;
    ULONG Vector; // translated vector of the last start
};
HmInterruptStats HmInterrupts(PDEVICE_OBJECT pdo);

// Port accesses to an adapter's registers, counted by what they do, for the benchmarks. An access
// counts as made on the interrupt path when the hardware thread made it while delivering the
// adapter's interrupt (inside the service routines); every other access (dispatch routines, DPCs,
// start and stop) counts apart. What an access does is read from the register and, for the
// identification register, from the value it returned; a line status read belongs to the receive
// side when the last identification read of that UART on the interrupt path showed a receive
// cause. The divisor latch counts as "other".
struct HmAccessTally {
    uint64_t StatusReads; // the adapter's interrupt status register (BAR 1)
    uint64_t RxData;      // receive buffer reads: bytes received across the bus
    uint64_t RxControl;   // identification reads showing received data, a time-out or a line
                          // status error; line status reads while one of those is serviced
    uint64_t TxData;      // transmit holding register writes: bytes sent across the bus
    uint64_t TxControl;   // identification reads showing the transmitter empty
    uint64_t IdleIir;     // identification reads showing nothing pending
    uint64_t Other;       // everything else: modem status, control registers, divisor latch
    uint64_t Total() const
    {
        return StatusReads + RxData + RxControl + TxData + TxControl + IdleIir + Other;
    }
};
struct HmPortAccessCounts {
    HmAccessTally Interrupt; // made while the adapter's interrupt was being delivered
    HmAccessTally Elsewhere; // made anywhere else
};
HmPortAccessCounts HmPortAccesses(PDEVICE_OBJECT pdo); // since the adapter was plugged
// The accesses made after an earlier reading `before`.
HmAccessTally HmTallySince(const HmAccessTally& now, const HmAccessTally& before);
HmPortAccessCounts HmPortAccessesSince(PDEVICE_OBJECT pdo, const HmPortAccessCounts& before);

// The timed model of the port bus. A port access is not posted on PCI or PCI Express, read or
// write: the processor waits until the device has answered. With HmSetPortAccessNs(ns) every
// access to an adapter's registers (any adapter, read or write) takes ns of the machine's one
// processor: it happens when the processor is free (the later of the clock and the end of the
// access before), the UART sees it then, and the processor is busy until ns later. The lines do
// not wait for it: characters keep arriving and leaving at their rate while a service routine
// works through its accesses, so a routine that takes longer than the FIFO's headroom loses
// data as real hardware does. Instructions take no time in this model, nor do DPCs apart from
// their port accesses. 0, the default after HmReset: accesses take no time.
void HmSetPortAccessNs(unsigned ns);
// The processor's time (line nanoseconds) when its last access ends; at most the clock when idle.
uint64_t HmProcessorFreeAt();

// ---------------------------------------------------------------------------------------------
// The port function driver double ("\Driver\hmserial"), loaded on "CorPort"<n>. At start it
// queries the port bus interface of its PDO, fetches the resources, programs its UART (9600 baud,
// 8N1, FIFOs on with receive trigger 8, DTR/RTS/OUT2, all four interrupt sources), and hooks its
// callback with ConnectIsr. The callback drains the receive FIFO, refills the transmitter, reads
// line and modem status, and so clears the port's status bit; it returns TRUE only when its UART
// had an interrupt pending. Stop, surprise removal and removal silence the UART, unhook and
// dereference the interface.

struct HmSerialState {
    bool Bound; // a double's device is attached on the port PDO
    bool Started;
    bool InterfaceHeld;
    bool Hooked;
    NTSTATUS StartStatus; // of its last start (the query, GetResources or ConnectIsr failure)
    CORPORT_RESOURCES Resources;
    uint64_t BytesSent; // written to the transmitter
    uint64_t BytesReceived;
    uint64_t Interrupts; // callback calls that serviced the UART
    uint64_t Spurious;   // callback calls with nothing pending
    uint64_t Overruns, ParityErrors, FramingErrors, Breaks;
    uint64_t ModemChanges;
    size_t TxQueued; // bytes waiting to be written
};
HmSerialState HmSerialStateOf(PDEVICE_OBJECT portPdo);

// Queue bytes for sending (the transmitter is kicked at once); fails when the port is not started.
NTSTATUS HmSerialWrite(PDEVICE_OBJECT portPdo, const std::vector<UCHAR>& bytes);
// Bytes received so far, removed from the double's buffer.
std::vector<UCHAR> HmSerialRead(PDEVICE_OBJECT portPdo);

// ---------------------------------------------------------------------------------------------
// Trace: every IRP the managers sent and every IRP that reached the PCI bus driver, in order,
// one readable line each, e.g.
//   "pnp -> adapter 0: IRP_MN_START_DEVICE = STATUS_SUCCESS"
//   "pci <- adapter 0: IRP_MN_READ_CONFIG offset 0 length 64 = STATUS_SUCCESS"
std::vector<std::string> HmTrace();
void HmClearTrace();

// Readable names: "adapter 0", "port 0.3" (for known PDOs; the top of a stack names its PDO).
std::string HmDeviceName(PDEVICE_OBJECT device);
std::string HmStatusName(NTSTATUS status);
std::string HmPnpMinorName(UCHAR minor);
std::string HmPowerMinorName(UCHAR minor);
std::string HmNarrow(const std::u16string& text); // UTF-16 to 8-bit (non-ASCII as '?')
