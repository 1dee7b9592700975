// corserial's private header: every routine of the driver, grouped under the file that defines it.
//
// "Interrupt-synchronised" below means: called from the interrupt callback, or inside SyncWithIsr
// with the port's Lock held (frame/lock.h); such a routine may touch SERIAL_SHARED and the UART's
// registers and nothing that waits or allocates.
#pragma once

#include "frame/kernel.h"
#include "frame/extension.h"
#include "frame/lock.h"
#include "uart/uart.h"
#include "corport.h"

// ---- frame/frame.cpp: driver entry, dispatch table, request gate --------------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD SerialUnload;
DRIVER_DISPATCH SerialPassDown; // requests the port does not handle go to the port device

// Takes the remove lock for a request of an open handle and checks that the port takes requests
// at all. On failure the request is completed here and its status returned. A request that goes on
// to wait in a queue is checked again there (QueueInsert), under the same hold of Lock.
NTSTATUS AcceptRequest(PSERIAL_PORT Port, PIRP Irp);
// AcceptRequest for an internal device control: a kernel client may send it with no file object.
NTSTATUS AcceptInternalRequest(PSERIAL_PORT Port, PIRP Irp);
// CompleteAndRelease (frame/lock.h) completes a request that holds the remove lock; this one
// completes a request that holds none.
NTSTATUS CompleteWithoutRemoveLock(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// A control request's Information, held to its output buffer (the bytes the I/O manager copies).
ULONG_PTR ReturnedBytes(PIRP Irp, ULONG_PTR Information);
// Passes a request that holds the remove lock to the port device below, untouched, and lets the
// lock go (power requests as the power rules ask).
NTSTATUS PassDown(PSERIAL_PORT Port, PIRP Irp);
// Sends a request to the port device and waits for it (PASSIVE_LEVEL); the request comes back.
NTSTATUS SendDownAndWait(PSERIAL_PORT Port, PIRP Irp);

// ---- eventlog/eventlog.cpp ----------------------------------------------------------------------

// Message codes of the driver's message table (customer bit, facility 8).
constexpr ULONG SerialMsgInformation = 0x60080001;
constexpr ULONG SerialMsgWarning = 0xA0080002;
constexpr ULONG SerialMsgError = 0xE0080003;

// One event-log entry on the port's device, whose text is the sentence given (plain ASCII).
VOID ReportEvent(PSERIAL_PORT Port, ULONG MessageCode, PCSTR Sentence);

// ---- pnp/pnp.cpp: add-device and the port's plug-and-play ---------------------------------------

DRIVER_ADD_DEVICE SerialAddDevice;
DRIVER_DISPATCH SerialPnp;

// ---- pnp/bind.cpp: the port bus interface of the port device ------------------------------------

// Queries the interface, fetches the register block and interrupt, checks that a UART answers
// there, and hooks the interrupt callback. On failure nothing is held and an event is logged.
NTSTATUS BindHardware(PSERIAL_PORT Port);
// Silences the UART, unhooks the callback and lets the interface go. touchHardware is false when
// the register block may be gone (surprise removal).
VOID ReleaseHardware(PSERIAL_PORT Port, BOOLEAN TouchHardware);

// ---- naming/naming.cpp --------------------------------------------------------------------------

// Creates \Device\CorSerial<n> for the port with the lowest free n.
NTSTATUS CreatePortDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT* Device);
// \DosDevices\<PortName>, the SERIALCOMM entry and the COM port interface; all or nothing.
NTSTATUS PublishNames(PSERIAL_PORT Port);
VOID WithdrawNames(PSERIAL_PORT Port);
VOID FreeNames(PSERIAL_PORT Port);

// ---- config/config.cpp: the device key ----------------------------------------------------------

// Reads "PortName" and the FIFO and clock values; missing FIFO values are created with their
// defaults, wrong ones replaced by defaults with an event-log entry. Fails only without a usable
// port name.
NTSTATUS ReadConfiguration(PSERIAL_PORT Port);
// Receive trigger, transmit load and FIFO depth that a configuration gives.
VOID FifoParameters(const SERIAL_CONFIG* Config, PUCHAR Fcr, PUCHAR RxTrigger, PUCHAR TxLoad,
                    PUCHAR Depth);

// ---- power/power.cpp ----------------------------------------------------------------------------

DRIVER_DISPATCH SerialPower;
// IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE / CANCEL_WAIT_WAKE. Enabling is refused when the stack's
// capabilities name no state the device can wake the system from.
NTSTATUS EnableWaitWake(PSERIAL_PORT Port, BOOLEAN Enable);

// ---- uart/uart.cpp: programming the UART --------------------------------------------------------

// Divisor for a rate with the configured clock; 0 when the clock cannot make the rate within
// the tolerance (1 %).
USHORT DivisorFor(ULONG ClockRate, ULONG BaudRate);
UCHAR LineControlBits(const SERIAL_LINE_CONTROL* LineControl);
// Microseconds one character of the current line settings takes (with its start and stop bits).
ULONG CharacterMicroseconds(const SERIAL_SHARED* Shared);
// Interrupt-synchronised: programs every register from SERIAL_SHARED (divisor, line, FIFOs,
// modem control, interrupt enable) and reads the modem status, with the events of any change;
// resetFifos empties both FIFOs.
VOID UartProgram(PSERIAL_PORT Port, BOOLEAN ResetFifos);
// Interrupt-synchronised: the UART works again after a start, a restart or D3: DTR and RTS as the
// program left them, the handshake lines and XON/XOFF from the receive flow state, every register
// programmed.
VOID UartGoLive(PSERIAL_PORT Port, BOOLEAN ResetFifos);
// Interrupt-synchronised: interrupt enables and modem lines as opening or closing the port asks.
VOID UartApplyOpenState(PSERIAL_PORT Port);
// Interrupt-synchronised: a FIFO control image (enable, trigger; the 64-byte mode stays), the
// transmit load, and FIFO resets; the trigger level and depth follow.
VOID UartSetFifos(PSERIAL_PORT Port, UCHAR Fcr, UCHAR TxLoad, UCHAR Resets);
// Interrupt-synchronised register access.
UCHAR UartIn(const SERIAL_SHARED* Shared, ULONG Register);
VOID UartOut(const SERIAL_SHARED* Shared, ULONG Register, UCHAR Value);
VOID UartSetMcr(PSERIAL_SHARED Shared, UCHAR Set, UCHAR Clear);
// Waits (PASSIVE_LEVEL, bounded) until the transmitter has sent everything it holds.
VOID UartDrainTransmitter(PSERIAL_PORT Port);
// Waits (PASSIVE_LEVEL, bounded) until the far end, told to stop, has stopped sending.
VOID UartAwaitQuietReceiver(PSERIAL_PORT Port);

// ---- isr/isr.cpp: the interrupt callback --------------------------------------------------------

KSERVICE_ROUTINE SerialIsr;
// Interrupt-synchronised: queues the service DPC.
VOID RequestService(PSERIAL_PORT Port);
// Interrupt-synchronised: records events for wait-on-mask.
VOID RecordEvents(PSERIAL_PORT Port, ULONG Events);
// Interrupt-synchronised: the modem status just read.
VOID ModemStatusChanged(PSERIAL_PORT Port, UCHAR Msr);
// Interrupt-synchronised: reads the line status outside the callback without losing the errors
// the read clears.
UCHAR UartReadLineStatus(PSERIAL_PORT Port);
// Interrupt-synchronised: whatever waits in the receive FIFO goes into the receive queue (before
// the UART loses it, on the way to D3).
VOID UartDrainReceiver(PSERIAL_PORT Port);
KDEFERRED_ROUTINE ServiceDpcRoutine;
// Lock held: everything the callback left for the DPC (reads, writes, waits, aborts).
VOID ServiceAll(PSERIAL_PORT Port, CompletionBatch& Done);

// ---- flow/flow.cpp: handshake and flow control (all interrupt-synchronised) ---------------------

// Recomputes the transmit holds from the modem status and the handshake settings; restarts an
// idle transmitter when nothing holds it any more.
VOID UpdateTransmitHolds(PSERIAL_PORT Port);
// The receive queue filled up to the XOFF limit / drained to the XON limit.
VOID ReceiveFlowOff(PSERIAL_PORT Port);
VOID ReceiveFlowOn(PSERIAL_PORT Port);
// The receive flow state starts over under the current settings, queue and power: the handshake
// lines and XON/XOFF tell the far end what holds now (an XOFF it has is taken back).
VOID ReceiveFlowReset(PSERIAL_PORT Port);
// On the way to D3 or a stop: the far end is held (handshake lines down, XOFF) and no more data
// goes into the transmitter. TRUE when the far end was told just now.
BOOLEAN HoldFarEnd(PSERIAL_PORT Port);
// DTR and RTS as the settings give them (open, SetCommState), then the receive flow state reset.
VOID ApplySettingsLines(PSERIAL_PORT Port);
// Whether anything stops data from going out now.
BOOLEAN TransmitHeld(const SERIAL_SHARED* Shared);
// Received bytes need no look one by one (no XON/XOFF, null stripping, DSR sensitivity or
// event character in play).
BOOLEAN ReceivePlain(const SERIAL_SHARED* Shared);
// Transmit toggle: lowers RTS once the shift register is empty; FALSE while it is still busy.
BOOLEAN FinishRtsToggle(PSERIAL_PORT Port);
VOID ArmRtsToggleDrain(PSERIAL_PORT Port);
KDEFERRED_ROUTINE DrainDpcRoutine;

// ---- queue/queue.cpp: cancel-safe request queues (Lock held) ------------------------------------

VOID QueueInitialize(PSERIAL_QUEUE Queue, PDRIVER_CANCEL CancelRoutine);
// Marks a request pending and queues it at the tail; FALSE when it was completed into the batch
// instead: it was cancelled before it could be queued, or the port is being removed. Either way
// the dispatch routine returns STATUS_PENDING.
BOOLEAN QueueInsert(PSERIAL_PORT Port, PSERIAL_QUEUE Queue, PIRP Irp, CompletionBatch& Done);
// QueueInsert for a read, write, flush or XOFF counter, which an error abort in force (until the
// program reads the errors) completes as cancelled instead.
BOOLEAN QueueUnlessAborted(PSERIAL_PORT Port, PSERIAL_QUEUE Queue, PIRP Irp, CompletionBatch& Done);
// The first request that is not being cancelled, or null.
PIRP QueuePeek(PSERIAL_QUEUE Queue);
// Takes a request out; FALSE when its cancel routine has it already (and will complete it).
BOOLEAN QueueRemove(PIRP Irp);
BOOLEAN QueueIsEmpty(PSERIAL_QUEUE Queue);
// Takes out every request of a file object (all when File is null) into the batch with Status,
// except those whose cancel routine already has them.
VOID QueueDrain(PSERIAL_QUEUE Queue, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done);
// Inside a cancel routine: releases the cancel spin lock.
VOID QueueCancelBegin(PIRP Irp);

// ---- read/read.cpp
// -------------------------------------------------------------------------------

DRIVER_DISPATCH SerialRead;
VOID ServiceReads(PSERIAL_PORT Port, CompletionBatch& Done);
// Ends every read of a file object (all when File is null), the current one with its bytes.
VOID EndReads(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done);
// Lock held: bytes in the receive queue.
ULONG ReceiveQueueCount(PSERIAL_PORT Port);
DRIVER_CANCEL ReadCancel;
KDEFERRED_ROUTINE ReadTotalDpcRoutine;
KDEFERRED_ROUTINE ReadIntervalDpcRoutine;

// ---- write/write.cpp
// -----------------------------------------------------------------------------

DRIVER_DISPATCH SerialWrite;
DRIVER_DISPATCH SerialFlush;
NTSTATUS XoffCounter(PSERIAL_PORT Port, PIRP Irp);
// Queues a write, flush or XOFF counter that AcceptRequest accepted.
NTSTATUS QueueWriteRequest(PSERIAL_PORT Port, PIRP Irp);
VOID ServiceWrites(PSERIAL_PORT Port, CompletionBatch& Done);
// Ends the writes and XOFF counters of a file object (all when File is null), and its flushes too
// when asked; a flush left in the queue completes once nothing is ahead of it.
VOID EndWrites(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, BOOLEAN AlsoFlushes,
               CompletionBatch& Done);
// Lock held: bytes of every write not yet in the transmitter.
ULONG TransmitQueueCount(PSERIAL_PORT Port);
NTSTATUS ImmediateChar(PSERIAL_PORT Port, PIRP Irp);
VOID ServiceImmediate(PSERIAL_PORT Port, CompletionBatch& Done);
VOID EndImmediate(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done);
// Interrupt-synchronised: writes what the transmitter may take now. fromInterrupt: the transmitter
// interrupt asked (the FIFO is empty).
VOID TransmitBurst(PSERIAL_PORT Port, BOOLEAN FromInterrupt);
// Interrupt-synchronised: starts an idle transmitter.
VOID TransmitKick(PSERIAL_PORT Port);
DRIVER_CANCEL WriteCancel;
DRIVER_CANCEL ImmediateCancel;
KDEFERRED_ROUTINE WriteTotalDpcRoutine;

// ---- wait/wait.cpp: wait mask and wait-on-mask
// ----------------------------------------------------

NTSTATUS SetWaitMask(PSERIAL_PORT Port, PIRP Irp);
NTSTATUS WaitOnMask(PSERIAL_PORT Port, PIRP Irp);
VOID ServiceWait(PSERIAL_PORT Port, CompletionBatch& Done);
VOID EndWait(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done);
DRIVER_CANCEL WaitCancel;

// ---- ioctl/ioctl.cpp: the serial control codes -------------------------------------------------

DRIVER_DISPATCH SerialDeviceControl;
DRIVER_DISPATCH SerialInternalControl;
// The port's properties (IOCTL_SERIAL_GET_PROPERTIES) and its statistics (IOCTL_SERIAL_GET_STATS),
// for every reader of them. Lock not held.
VOID PortProperties(PSERIAL_PORT Port, PSERIAL_COMMPROP Properties);
VOID PortStatistics(PSERIAL_PORT Port, PSERIALPERF_STATS Stats);

// ---- wmi/wmi.cpp: the port's WMI data blocks ---------------------------------------------------

DRIVER_DISPATCH SerialSystemControl;
// Registers the port as a WMI data provider (started) and takes it back (stop, surprise removal,
// removal); each only when it changes something. PASSIVE_LEVEL, StateMutex not held: a
// deregistration waits for the WMI requests on their way, which take it.
VOID WmiRegister(PSERIAL_PORT Port);
VOID WmiDeregister(PSERIAL_PORT Port);

// ---- info/info.cpp: file and volume information ------------------------------------------------

DRIVER_DISPATCH SerialQueryInformation;
DRIVER_DISPATCH SerialSetInformation;
DRIVER_DISPATCH SerialQueryVolume;

// ---- open/open.cpp: handles ---------------------------------------------------------------------

DRIVER_DISPATCH SerialCreate;
DRIVER_DISPATCH SerialClose;
DRIVER_DISPATCH SerialCleanup;
// Lock held: ends every request of a file object (all when null) with Status.
VOID EndRequestsOf(PSERIAL_PORT Port, PFILE_OBJECT File, NTSTATUS Status, CompletionBatch& Done);
// Default line settings of a port that has never been set (9600 8N1, DTR and RTS on).
VOID DefaultSettings(PSERIAL_PORT Port);
ULONG DefaultReceiveQueueSize();

// ---- helpers ------------------------------------------------------------------------------------

constexpr LONGLONG HundredNsPerMs = 10000;

// A time in 100 ns units from the performance counter (the interval time-out's clock).
LONGLONG PerformanceTime();
// Lock held: sets one of the port's timers to fire once after the given number of 100 ns units;
// nothing once the port is being removed (the removal cancels them for good).
VOID ArmTimer(PSERIAL_PORT Port, PKTIMER Timer, PKDPC Dpc, LONGLONG Units);
// A read or write total time-out (milliseconds, multiplier times length plus constant) in 100 ns
// units for ArmTimer, held at a bound that no timer arithmetic overflows.
LONGLONG TimeoutUnits(ULONG64 Ms);

// A request field of enumeration type, read as the 32-bit value its sender stored (it may hold
// values that the enumeration does not name).
template <typename Enum> inline ULONG StoredValue(const Enum& Field)
{
    static_assert(sizeof(Enum) == sizeof(ULONG), "a 32-bit enumeration");
    ULONG Value;
    RtlCopyMemory(&Value, &Field, sizeof(Value));
    return Value;
}
