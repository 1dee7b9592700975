// The device extension of corserial: one port of a corcard adapter, made a COM port.
//
// Three kinds of state live here, each with its own rule:
//  - plug-and-play, power, binding and naming state, changed at PASSIVE_LEVEL by the
//    plug-and-play and power paths, which take StateMutex;
//  - the requests and their bookkeeping (queues, the current read and write, timers), changed
//    under Lock, the port's spin lock;
//  - SERIAL_SHARED, what the interrupt callback touches: changed only inside the interrupt's
//    synchronisation (the callback itself, or SyncWithIsr with Lock held). While no callback is
//    hooked, Lock alone excludes everyone, since the callback does not run.
#pragma once

#include "frame/kernel.h"
#include "corport.h"

// Every allocation of the driver carries this tag ("CSer" as the pool shows it).
constexpr ULONG SerialPoolTag = 0x72655343;

// Plug-and-play states of a port.
enum : ULONG {
    PortNotStarted = 0,
    PortStarted = 1,
    PortStopPending = 2,
    PortStopped = 3,
    PortRemovePending = 4,
    PortSurpriseRemoved = 5,
    PortRemoved = 6,
};

// A cancel-safe queue of requests, linked through Tail.Overlay.ListEntry. Its lock is the port's
// Lock; its cancel routine removes a cancelled request under that lock and completes it.
typedef struct _SERIAL_QUEUE {
    LIST_ENTRY Head;
    PDRIVER_CANCEL CancelRoutine;
} SERIAL_QUEUE, *PSERIAL_QUEUE;

// The receive queue: a ring the interrupt callback fills and the read path empties. The callback
// writes only into the free part and the reader reads only the part it saw filled, so the bytes
// themselves are copied outside the interrupt's synchronisation; In, Out and Count change inside
// it.
typedef struct _SERIAL_RING {
    PUCHAR Buffer;
    ULONG Size;
    ULONG In;
    ULONG Out;
    ULONG Count;
} SERIAL_RING, *PSERIAL_RING;

// FIFO configuration of the UART, from the device key (config/config.cpp).
typedef struct _SERIAL_CONFIG {
    ULONG ClockRate;    // UART input clock in Hz
    ULONG RxFifo;       // stored receive trigger ("RxFIFO": 1, 4, 8 or 14)
    ULONG TxFifo;       // stored transmit load ("TxFIFO": 1 to 16)
    BOOLEAN Fifo64;     // 64-byte FIFO mode ("EnableFifo64")
    BOOLEAN FifoEnable; // FIFOs used at all ("ForceFifoEnable")
} SERIAL_CONFIG, *PSERIAL_CONFIG;

// Fields the callback writes (counts, errors, holds, events, the transmitter's progress) are read
// inside the synchronisation too; settings that only the control codes write may be read under
// Lock alone.
typedef struct _SERIAL_SHARED {
    PUCHAR Registers;   // the UART's register block (an I/O port address)
    BOOLEAN IsrLive;    // the UART is powered and programmed: the callback may service it
    BOOLEAN Open;       // a handle is open: received bytes are kept
    BOOLEAN DeviceGone; // the register block read all ones
    BOOLEAN TxIdle;     // the transmitter is empty and no transmitter interrupt is coming

    // Line settings and the registers that carry them.
    ULONG BaudRate;
    USHORT Divisor;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS Chars;
    UCHAR Lcr;
    UCHAR Mcr;
    UCHAR Ier;
    UCHAR Fcr;
    UCHAR Msr;       // last modem status read (states in the high nibble)
    UCHAR RxTrigger; // receive FIFO level at which the UART interrupts
    UCHAR TxLoad;    // bytes written per transmitter-empty interrupt
    UCHAR FifoDepth; // depth of each FIFO: 1, 16 or 64

    // Receive side.
    SERIAL_RING Rx;
    BOOLEAN RxFlowOff;    // the sender has been asked to stop (RTS or DTR dropped, XOFF sent)
    UCHAR EscapeChar;     // IOCTL_SERIAL_LSRMST_INSERT: line and modem status go into the data
                          // behind this character (0: off)
    UCHAR XoffCountState; // SerialXoffCount*: the progress of an IOCTL_SERIAL_XOFF_COUNTER
    ULONG XoffCountLeft;  // bytes still to come before it completes

    // Transmit side: the current write's buffer, owned by the callback while TxBuffer is set.
    PUCHAR TxBuffer;
    ULONG TxLength;
    ULONG TxRemaining;
    BOOLEAN WriteComplete; // every byte of the current write is in the transmitter
    UCHAR FlowCharPending; // SerialFlowChar*: XON or XOFF to send ahead of everything else
    UCHAR ImmediateChar;
    BOOLEAN ImmediatePending;
    BOOLEAN ImmediateSent;
    BOOLEAN RtsToggleDrain; // transmit toggle: RTS drops once the shift register is empty
    BOOLEAN TxEmptyOwed;    // characters went out since EV_TXEMPTY was last reported
    BOOLEAN TxPaused;       // on the way to D3 or a stop: no more data goes into the
                            // transmitter, and the far end is held (handshake lines, XOFF)
    UCHAR FollowUps;        // SerialFollow*: what the callback does last (isr/isr.cpp)

    // Status.
    ULONG HoldReasons;  // SERIAL_TX_WAITING_* and SERIAL_RX_WAITING_FOR_DSR
    ULONG Errors;       // SERIAL_ERROR_*, until read with IOCTL_SERIAL_GET_COMMSTATUS
    BOOLEAN ErrorAbort; // abort-on-error tripped: reads and writes fail until errors are read
    ULONG WaitMask;
    ULONG EventHistory; // events of WaitMask seen since the mask was set or last reported
    BOOLEAN WaitPending;
    SERIALPERF_STATS Stats;
} SERIAL_SHARED, *PSERIAL_SHARED;

// The flow character waiting to go out ahead of the data (FlowCharPending).
constexpr UCHAR SerialFlowCharNone = 0;
constexpr UCHAR SerialFlowCharXon = 1;
constexpr UCHAR SerialFlowCharXoff = 2;

// An XOFF counter's progress (XoffCountState): its XOFF waits to go out, received bytes count
// down, as many as it asked for have come.
constexpr UCHAR SerialXoffCountNone = 0;
constexpr UCHAR SerialXoffCountArmed = 1;
constexpr UCHAR SerialXoffCounting = 2;
constexpr UCHAR SerialXoffCounted = 3;

// Work that a helper of the interrupt callback leaves in FollowUps for the callback to do before
// it returns, rather than calling deeper itself: the callback runs on the stack of the adapter's
// interrupt, and every level of calls under it costs a frame.
constexpr UCHAR SerialFollowFlowOff = 0x01;   // the receive queue reached its XOFF limit
constexpr UCHAR SerialFollowKick = 0x02;      // XON came: the transmitter may go on
constexpr UCHAR SerialFollowRtsToggle = 0x04; // the transmitter ran empty in transmit toggle mode

// The read at the head of the read queue.
typedef struct _SERIAL_READ_STATE {
    PIRP Irp; // null while no read is in progress
    ULONG Length;
    ULONG Done;
    LONGLONG Deadline;         // performance time its total time-out falls due; 0: none
    BOOLEAN ReturnAtOnce;      // with whatever is there, even nothing
    BOOLEAN ReturnAtFirstByte; // as soon as there is anything
    ULONG IntervalMs;          // 0: no interval time-out
    LONGLONG LastByte;         // performance counter when bytes last arrived for this read
    BOOLEAN IntervalArmed;
} SERIAL_READ_STATE, *PSERIAL_READ_STATE;

// The write (or XOFF counter) at the head of the write queue.
typedef struct _SERIAL_WRITE_STATE {
    PIRP Irp;
    LONGLONG Deadline; // performance time its total time-out falls due; 0: none
} SERIAL_WRITE_STATE, *PSERIAL_WRITE_STATE;

typedef struct _SERIAL_PORT {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    IO_REMOVE_LOCK RemoveLock;

    // \Device\CorSerial<DeviceNumber>
    ULONG DeviceNumber;
    UNICODE_STRING DeviceName;
    WCHAR DeviceNameBuffer[32];

    // Plug-and-play and power (StateMutex; DevicePower is written under Lock as well, for the
    // system power request's completion to read).
    KMUTEX StateMutex;
    ULONG PnpState;
    ULONG StateBeforeQuery; // restored by a cancelled query-stop or query-remove
    DEVICE_POWER_STATE DevicePower;

    // The system power request in progress (one at a time), the device state it wants, and the
    // work item that makes up for a device request that could not be had.
    DEVICE_POWER_STATE SystemPowerWants;
    PIRP SystemPowerIrp;
    PIO_WORKITEM PowerWork;

    // Wait-wake (Lock): the deepest sleeping state the stack's capabilities let the device wake
    // the system from (PowerSystemUnspecified: none), whether a kernel client enabled it, and the
    // request armed for it.
    PIRP WaitWakeIrp; // while it is below this driver
    SYSTEM_POWER_STATE WakeFrom;
    BOOLEAN WakeEnabled;
    BOOLEAN WaitWakeArmed;
    BOOLEAN WaitWakeCancelling; // a cancel holds WaitWakeIrp
    BOOLEAN WaitWakeHeld;       // its completion waits for that cancel to finish

    // Binding to the port device (StateMutex). Hooked also decides, under Lock, how SyncWithIsr
    // reaches the callback's state: through the interrupt object while hooked.
    CORPORT_BUS_INTERFACE Bus;
    BOOLEAN BusReferenced;
    BOOLEAN Hooked;
    BOOLEAN EverStarted;
    PKINTERRUPT Interrupt;
    ULONG64 IoBase;
    // The adapter's interrupt as the port device describes it (StateMutex), for WMI's hardware
    // configuration block: its level, vector, affinity and mode (0 level-sensitive, 1 latched).
    ULONG InterruptLevel;
    ULONG InterruptVector;
    ULONG InterruptMode;
    // Registered as a WMI data provider. Only the plug-and-play paths change it, one request at a
    // time as the manager sends them; the registration calls are made without StateMutex.
    BOOLEAN WmiRegistered;
    ULONG64 InterruptAffinity;

    SERIAL_CONFIG Config;

    // Names (StateMutex).
    WCHAR PortName[20];
    UNICODE_STRING SymbolicLink; // \DosDevices\<PortName>
    WCHAR SymbolicLinkBuffer[48];
    BOOLEAN LinkCreated;
    BOOLEAN DeviceMapWritten;
    UNICODE_STRING InterfaceName; // from IoRegisterDeviceInterface (paged pool)
    BOOLEAN InterfaceEnabled;

    // Requests (Lock).
    KSPIN_LOCK Lock;
    PFILE_OBJECT OpenFile; // the one handle's file object; null while closed
    SERIAL_QUEUE ReadQueue;
    SERIAL_QUEUE WriteQueue;     // writes and flushes, in order
    SERIAL_QUEUE WaitQueue;      // at most one wait-on-mask
    SERIAL_QUEUE ImmediateQueue; // at most one immediate character
    SERIAL_READ_STATE Read;
    SERIAL_WRITE_STATE Write;
    ULONG QueuedWriteBytes; // bytes of the writes not yet handed to the transmitter
    SERIAL_TIMEOUTS Timeouts;
    BOOLEAN Removing;      // requests are refused: the port is gone or going
    BOOLEAN RemoveQueried; // a query-remove succeeded: no open until it is cancelled
    BOOLEAN DrainArmed;    // the drain timer below is set

    // Deferred work: the service DPC (queued by the callback) and the timers.
    KDPC ServiceDpc;
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;
    KTIMER WriteTotalTimer;
    KDPC WriteTotalDpc;
    KTIMER DrainTimer;
    KDPC DrainDpc;

    SERIAL_SHARED Shared;
} SERIAL_PORT, *PSERIAL_PORT;

inline PSERIAL_PORT PortFromDevice(PDEVICE_OBJECT Device)
{
    return static_cast<PSERIAL_PORT>(Device->DeviceExtension);
}

// Layouts the platform's serial interface fixes; programs are built against them.
static_assert(sizeof(SERIAL_BAUD_RATE) == 4, "SERIAL_BAUD_RATE");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "SERIAL_LINE_CONTROL");
static_assert(sizeof(SERIAL_CHARS) == 6, "SERIAL_CHARS");
static_assert(sizeof(SERIAL_HANDFLOW) == 16, "SERIAL_HANDFLOW");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "SERIAL_TIMEOUTS");
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE");
static_assert(sizeof(SERIAL_STATUS) == 20, "SERIAL_STATUS");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "SERIAL_COMMPROP");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS");
