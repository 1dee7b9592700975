/* corbus.sys's own declarations, shared by its files:
 *  corbus.c  the bus, the control device, corcard's wrapping, port I/O, what Wine lacks for corcard
 *  board.c   the modelled boards: 16550A UARTs, what is plugged into their connectors, the wire's
 *            pace, the adapter's interrupt, and the thread that stands for the processor
 *  dpc.c     deferred procedure calls and timers: Wine never runs the first, and its timers
 *            deadlock under a spin lock
 *  serial.c  corserial: its imports, its COM names (the Ports class installer's part), the
 *            restart of a port device and its unload */
#ifndef FIXTURE_H
#define FIXTURE_H

#include <ntddk.h>

#include "corbus.h"

#define TAG 0x73756243 /* "Cbus" */

/* ---- corbus.c ---------------------------------------------------------------------------- */

extern CORBUS_RECORD Record;
/* The interrupt object's spin lock: the connected service routine and every synchronised routine
 * run under it. */
extern KSPIN_LOCK InterruptLock;
extern PDRIVER_OBJECT CorcardDriver;

VOID Event(ULONG Kind, ULONG Slot, ULONG64 A, ULONG64 B, ULONG64 C, ULONG64 D);
/* Calls the service routine corcard connected; FALSE when none is connected. Caller holds
 * InterruptLock. Result in *Claimed. */
BOOLEAN CallServiceRoutine(BOOLEAN* Claimed);

typedef struct {
    const char* Name;
    PVOID Replacement;
} REPLACEMENT;
/* Points the image's imports of the named functions at the replacements; returns how many. */
ULONG PatchImports(ULONG_PTR Base, const REPLACEMENT* Table, ULONG Count);

/* Sends a plug-and-play request with the given minor function to the top of Device's stack and
 * waits for it; returns its final status. */
NTSTATUS SendPnp(PDEVICE_OBJECT Device, UCHAR Minor);

/* The port number (n of "CorPort<n>") of one of corcard's port devices, or 0. */
ULONG CorPortNumber(PDEVICE_OBJECT Pdo);

/* Pool counting shared by both drivers' imports. */
PVOID NTAPI CountExAllocatePoolWithTag(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag);
VOID NTAPI CountExFreePoolWithTag(PVOID P, ULONG Tag);
PVOID NTAPI FakeIoAllocateErrorLogEntry(PVOID IoObject, UCHAR Size);
VOID NTAPI FakeIoWriteErrorLogEntry(PVOID Entry);
BOOLEAN NTAPI FakeKeSynchronizeExecution(PKINTERRUPT Object, PKSYNCHRONIZE_ROUTINE Routine,
                                         PVOID Context);
NTSTATUS NTAPI FakePoRequestPowerIrp(PDEVICE_OBJECT Target, UCHAR Minor, POWER_STATE State,
                                     PREQUEST_POWER_COMPLETE Done, PVOID Context, PIRP* Irp);

/* ---- board.c ------------------------------------------------------------------------------ */

VOID BoardsInitialize(VOID);
/* A board with modelled UARTs is plugged into Slot / pulled out (from then on its registers read
 * all ones and it raises no interrupt). */
VOID BoardPlug(ULONG Slot, const CORBUS_PLUG_REQUEST* Request);
VOID BoardUnplug(ULONG Slot);
/* A port I/O access that falls on a modelled board: TRUE when it did, with *Value read. */
BOOLEAN BoardRead(USHORT Port, UCHAR* Value);
BOOLEAN BoardWrite(USHORT Port, UCHAR Value);
NTSTATUS BoardLine(const CORBUS_LINE_REQUEST* Request);
NTSTATUS BoardUart(ULONG Port, CORBUS_UART* Out);
VOID BoardHoldInterrupt(ULONG Characters);
/* Something for the processor thread to do (a DPC queued or a timer set from another thread). */
VOID BoardKick(VOID);
/* Real time in nanoseconds, from the performance counter. */
ULONGLONG FixtureNs(VOID);

/* ---- dpc.c -------------------------------------------------------------------------------- */

VOID DpcsInitialize(VOID);
/* Runs the queued DPCs until the queue is empty (the processor thread). */
VOID DpcsRun(VOID);
VOID NTAPI FixtureKeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE Routine, PVOID Context);
BOOLEAN NTAPI FixtureKeInsertQueueDpc(PRKDPC Dpc, PVOID Argument1, PVOID Argument2);
BOOLEAN NTAPI FixtureKeRemoveQueueDpc(PRKDPC Dpc);
VOID NTAPI FixtureKeFlushQueuedDpcs(VOID);
/* DPCs queued or running now. */
ULONG DpcsPending(VOID);
VOID NTAPI FixtureKeInitializeTimer(PKTIMER Timer);
BOOLEAN NTAPI FixtureKeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI FixtureKeCancelTimer(PKTIMER Timer);
/* Queues the DPCs of the timers due by Now; returns when the next one is due (~0: none). */
ULONGLONG TimersExpire(ULONGLONG Now);
/* Timers set now. */
ULONG TimersSet(VOID);

/* ---- serial.c ----------------------------------------------------------------------------- */

/* corserial's image was mapped at Base (Size bytes), before its entry point runs. */
VOID SerialImageMapped(ULONG_PTR Base, SIZE_T Size);
BOOLEAN InCorserial(ULONG_PTR Address);
NTSTATUS SerialRestartPort(ULONG Port);
NTSTATUS SerialUnload(VOID);

#endif
