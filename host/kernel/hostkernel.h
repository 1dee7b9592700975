// Test-support interface of the host kernel stand-in.
//
// The stand-in implements, in <ntddk.h>, the part of the WDM platform that corcard uses, with
// Windows' semantics. This header is the other side: what a test, the simulated machine and corsim
// use to drive the stand-in and to look inside it. Nothing in driver/ includes it.
//
// Typical test:
//     HkReset();                                 // fresh kernel, verifier armed
//     PDRIVER_OBJECT drv = HkLoadDriver(DriverEntry, L"corcard");
//     ... plug devices (host/machine), send IRPs with the WDM API ...
//     HkUnloadDriver(drv);                       // DriverUnload, then leak checks for that driver
//     EXPECT_TRUE(HkViolations().empty());       // or HkCheckClean() at the end
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------------------------
// Life of the stand-in

// Forgets every object, pool block, log and armed fault, and re-arms the verifier. Call first in
// every test (the fixture in tests/ does). Reports leftovers of the previous test as violations
// only through HkCheckClean, never here.
void HkReset();

// End-of-test checks: pool blocks or IRPs still allocated, device objects not deleted, object
// references left over, mutexes held. Each finding becomes a violation; returns true when clean.
bool HkCheckClean();

// ---------------------------------------------------------------------------------------------
// Verifier. A violation is a misuse of the platform: double completion, an IRP touched after
// completion, STATUS_PENDING without IoMarkIrpPending (or the reverse), a wait at or above
// DISPATCH_LEVEL, a mutex released by a non-owner or held when a dispatch routine returns, pool
// freed twice or not from pool, reference counts below zero, leaks at unload.

struct HkViolation {
    std::string What; // one readable sentence
};

// Every violation seen since HkReset.
std::vector<HkViolation> HkViolations();

// Called at the moment a violation is found (the test fixture turns it into a gtest failure).
// nullptr restores the default, which only records.
void HkSetViolationHandler(std::function<void(const HkViolation&)> handler);

// ---------------------------------------------------------------------------------------------
// Drivers

// Creates a driver object named \Driver\<name>, calls entry with it (registry path
// \Registry\Machine\System\CurrentControlSet\Services\<name>) and returns it. Returns nullptr if
// the entry fails (the object is then gone).
PDRIVER_OBJECT HkLoadDriver(PDRIVER_INITIALIZE entry, const WCHAR* name);

// Calls DriverUnload (if set), then reports as violations the driver's device objects that are
// still there, and every pool block and IRP still allocated. Frees the driver object.
void HkUnloadDriver(PDRIVER_OBJECT driver);

// Per-test answer of IoIsWdmVersionAvailable: the highest version reported (default 1.0x30).
void HkSetWdmVersion(UCHAR major, UCHAR minor);

// ---------------------------------------------------------------------------------------------
// Objects and pool, as seen by tests

// Object references currently held on a device object (1 after IoCreateDevice, +1 for every
// ObfReferenceObject). Distinct from DeviceObject->ReferenceCount, which counts opens.
LONG HkObjectReferences(PDEVICE_OBJECT device);
// True while the device object exists (created and not yet freed; a deleted object that is still
// referenced exists, flagged deleted).
bool HkDeviceExists(PDEVICE_OBJECT device);
bool HkDeviceDeleted(PDEVICE_OBJECT device);

struct HkPoolStats {
    size_t Blocks;     // outstanding blocks
    size_t Bytes;      // outstanding bytes
};
// Outstanding pool, optionally for one tag and/or pool type (-1: any).
HkPoolStats HkPoolOutstanding(ULONG tag = 0, int poolType = -1);
// Tag and pool type of a live block (false if p is not a live pool block).
bool HkPoolBlockInfo(const void* p, ULONG* tag, int* poolType, size_t* size);
size_t HkIrpsOutstanding();

// ---------------------------------------------------------------------------------------------
// Fault injection: make the Nth call (1-based, counted from arming) of one kind fail, or every
// call from the Nth on. Counting restarts when armed. Calls of each kind are counted always, so a
// sweep can first run a path clean, read the count, then fail each point in turn.

enum class HkFault {
    Pool,                        // ExAllocatePoolWithTag returns nullptr
    CreateDevice,                // IoCreateDevice fails with STATUS_INSUFFICIENT_RESOURCES
    AllocateIrp,                 // IoAllocateIrp returns nullptr
    BuildSynchronousFsdRequest,  // IoBuildSynchronousFsdRequest returns nullptr
    AllocateErrorLogEntry,       // IoAllocateErrorLogEntry returns nullptr
    RequestPowerIrp,             // PoRequestPowerIrp fails with STATUS_INSUFFICIENT_RESOURCES
    ConnectInterrupt,            // IoConnectInterrupt fails with STATUS_INSUFFICIENT_RESOURCES
    AttachDevice,                // IoAttachDeviceToDeviceStack returns nullptr
};

void HkFailNth(HkFault kind, unsigned n, bool andAfter = false);
void HkClearFaults();
unsigned HkCallCount(HkFault kind); // calls of that kind since HkReset (or the last HkFailNth)

// ---------------------------------------------------------------------------------------------
// Error log and debug output

struct HkErrorLogEntry {
    PVOID IoObject;
    UCHAR EntrySize;           // the size the driver asked for
    std::vector<UCHAR> Packet; // the whole IO_ERROR_LOG_PACKET as written, EntrySize bytes
    ULONG ErrorCode;
    NTSTATUS FinalStatus;
    ULONG UniqueErrorValue;
    std::u16string Text;       // first insertion string, read from StringOffset up to its zero
};
std::vector<HkErrorLogEntry> HkErrorLog();
void HkClearErrorLog();

// Everything printed with DbgPrint, formatted, in order.
std::string HkDebugOutput();
void HkClearDebugOutput();

// ---------------------------------------------------------------------------------------------
// IRQL and threads. Every thread starts at PASSIVE_LEVEL; the IRQL is per thread.

KIRQL HkCurrentIrql();

// ---------------------------------------------------------------------------------------------
// I/O port space. READ_PORT_UCHAR / WRITE_PORT_UCHAR (and the USHORT/ULONG forms) reach the
// handler mapped over the address; an access to an unmapped address reads 0xFF and is recorded as
// unmapped. Every access is recorded.

struct HkIoHandler {
    // Width is 1, 2 or 4 bytes. Offset is from the start of the mapped range.
    ULONG (*Read)(void* context, ULONG offset, int width);
    void (*Write)(void* context, ULONG offset, int width, ULONG value);
};

void HkMapIo(ULONG64 base, ULONG length, const HkIoHandler* handler, void* context);
void HkUnmapIo(ULONG64 base);

struct HkIoAccess {
    ULONG64 Address;
    int Width;    // bytes
    bool Write;
    ULONG Value;  // value written or read
    bool Mapped;
};
std::vector<HkIoAccess> HkIoLog();
void HkClearIoLog();
size_t HkIoAccessCount();

// ---------------------------------------------------------------------------------------------
// Interrupts. IoConnectInterrupt registers a service routine on a vector; several may share one
// vector when each connection asks to share. The simulated hardware delivers an interrupt on a
// vector with HkDeliverInterrupt: every connected routine is called in connection order, at the
// connection's DIRQL with its spin lock held, until one claims (returns TRUE). KeSynchronizeExecution
// takes the same lock at the same IRQL.

struct HkInterruptInfo {
    PKINTERRUPT Object;
    ULONG Vector;
    KIRQL Irql;
    KIRQL SynchronizeIrql;
    KINTERRUPT_MODE Mode;
    BOOLEAN ShareVector;
    KAFFINITY Affinity;
    PKSERVICE_ROUTINE ServiceRoutine;
    PVOID ServiceContext;
};

// Connections on a vector, in connection order.
std::vector<HkInterruptInfo> HkInterruptsOn(ULONG vector);
// Calls the routines connected on vector; returns true if one claimed. A delivery that nobody
// claims is counted (HkUnclaimedInterrupts).
bool HkDeliverInterrupt(ULONG vector);
size_t HkUnclaimedInterrupts(ULONG vector);

// A foreign service routine on a vector, standing for another device that shares the line.
PKINTERRUPT HkConnectForeignIsr(ULONG vector, KIRQL irql, PKSERVICE_ROUTINE routine, PVOID context);
void HkDisconnectForeignIsr(PKINTERRUPT object);

// ---------------------------------------------------------------------------------------------
// Plug-and-play and power manager hooks. The simulated managers (host/machine) install these; the
// stand-in calls them from the platform routines that reach the managers.

// IoInvalidateDeviceRelations(device, type) calls this (default: records only).
void HkSetInvalidateRelationsHook(std::function<void(PDEVICE_OBJECT, DEVICE_RELATION_TYPE)> hook);
struct HkRelationsInvalidation {
    PDEVICE_OBJECT Device;
    DEVICE_RELATION_TYPE Type;
};
std::vector<HkRelationsInvalidation> HkRelationsInvalidations();

// PoSetPowerState calls, in order.
struct HkPowerStateRecord {
    PDEVICE_OBJECT Device;
    POWER_STATE_TYPE Type;
    POWER_STATE State;
};
std::vector<HkPowerStateRecord> HkPowerStateRecords();

// PoStartNextPowerIrp calls, in order (the IRP each was called for).
std::vector<PIRP> HkStartNextPowerIrps();

// PoRequestPowerIrp: builds an IRP_MJ_POWER IRP for the top of the target's stack, sends it from a
// thread of its own (PASSIVE_LEVEL) and calls the completion function when the IRP completes, then
// frees the IRP. Requests made, in order:
struct HkPowerRequest {
    PDEVICE_OBJECT Target;
    UCHAR MinorFunction;
    POWER_STATE State;
    NTSTATUS Result; // status the IRP completed with (STATUS_PENDING until then)
};
std::vector<HkPowerRequest> HkPowerRequests();
