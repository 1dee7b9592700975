// The port function driver double: a small serial driver of the kind that loads on a corcard
// port device. It owns no hardware resources of its own: at start it queries the port bus
// interface of the port device below it, learns its UART's registers, programs the UART and hooks
// its interrupt callback into the adapter's shared dispatcher. It lets go of all of it (callback,
// interface) before its device stops, is surprise-removed or removed, as the port bus interface
// requires.
//
// The callback runs at the adapter interrupt's device IRQL inside the adapter's service routine.
// It services its UART until the interrupt identification register shows nothing pending (at
// most PassLimit passes, each draining at most one receive FIFO), which drops the UART's INT and
// so the port's bit in the adapter's status register, and answers TRUE only if something was
// pending. A line status of all ones ends the service: the board is gone.
#include "internal.h"

#include <cstring>

namespace hm {
namespace {

constexpr ULONG SerialMagic = 0x4C524553; // "SERL"
constexpr unsigned PassLimit = 16;
constexpr size_t RingSize = 1 << 16;
constexpr USHORT DivisorFor9600 = HmUartClock / 16 / 9600; // 480 on the board's 73.728 MHz
constexpr UCHAR Line8N1 = 0x03;
constexpr UCHAR FifoTrigger8 = 0x80 | FcrEnable | FcrRxReset | FcrTxReset;
constexpr UCHAR TxFifoLoad = 16; // bytes written per transmitter-empty interrupt

struct Ring {
    std::vector<UCHAR> Bytes = std::vector<UCHAR>(RingSize);
    size_t Head = 0;
    size_t Count = 0;

    bool Push(UCHAR c)
    {
        if (Count == RingSize) {
            return false;
        }
        Bytes[(Head + Count++) % RingSize] = c;
        return true;
    }
    UCHAR Pop()
    {
        UCHAR c = Bytes[Head];
        Head = (Head + 1) % RingSize;
        --Count;
        return c;
    }
};

// One port as this driver sees it. Mu guards the plug-and-play state (written at PASSIVE_LEVEL);
// IsrMu guards the rings and counters, which the callback touches.
struct SerialPort {
    HkMutex Mu{"port driver lock"};
    PDEVICE_OBJECT Self = nullptr;
    PDEVICE_OBJECT Lower = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    bool Started = false;
    bool InterfaceHeld = false;
    bool Hooked = false;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    CORPORT_BUS_INTERFACE Interface{};
    CORPORT_RESOURCES Resources{};

    HkMutex IsrMu{"port driver lock (interrupt side)"};
    bool Live = false; // the callback may touch the UART (set while hooked and powered)
    ULONG64 Base = 0;
    Ring Rx;
    Ring Tx;
    uint64_t BytesSent = 0;
    uint64_t BytesReceived = 0;
    uint64_t Interrupts = 0;
    uint64_t Spurious = 0;
    uint64_t Overruns = 0;
    uint64_t ParityErrors = 0;
    uint64_t FramingErrors = 0;
    uint64_t Breaks = 0;
    uint64_t ModemChanges = 0;
};

struct SerialExtension {
    ULONG Magic;
    SerialPort* Port;
};

HkMutex RegistryMu{"port driver lock (registry)"};
std::map<PDEVICE_OBJECT, std::shared_ptr<SerialPort>> Registry; // by port PDO

std::shared_ptr<SerialPort> PortFor(PDEVICE_OBJECT pdo)
{
    std::lock_guard<HkMutex> lock(RegistryMu);
    auto it = Registry.find(pdo);
    return it == Registry.end() ? nullptr : it->second;
}

SerialPort* PortOfDevice(PDEVICE_OBJECT device)
{
    auto ext = static_cast<SerialExtension*>(device->DeviceExtension);
    return ext && ext->Magic == SerialMagic ? ext->Port : nullptr;
}

UCHAR In(ULONG64 base, unsigned reg)
{
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>((base + reg) & 0xFFFF)));
}

void Out(ULONG64 base, unsigned reg, UCHAR value)
{
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>((base + reg) & 0xFFFF)),
                     value);
}

void CountLineStatus(SerialPort& p, UCHAR lsr)
{
    if (lsr & LsrOe) {
        ++p.Overruns;
    }
    if (lsr & LsrPe) {
        ++p.ParityErrors;
    }
    if (lsr & LsrFe) {
        ++p.FramingErrors;
    }
    if (lsr & LsrBi) {
        ++p.Breaks;
    }
}

// Loads the transmitter from the ring (IsrMu held).
void FillTransmitter(SerialPort& p)
{
    for (UCHAR n = 0; n < TxFifoLoad && p.Tx.Count; ++n) {
        Out(p.Base, UartRbrThr, p.Tx.Pop());
        ++p.BytesSent;
    }
}

// A register that reads all ones means the board is no longer there (surprise removal in the
// middle of an interrupt: nothing drives the bus). A real port driver bounds every loop by what
// the hardware can hold and gives up on such a read instead of spinning on it, since 0xFF has
// "data ready" and every other cause bit set.
constexpr UCHAR DeviceGone = 0xFF;

BOOLEAN SerialIsr(PKINTERRUPT, PVOID context)
{
    SerialPort& p = *static_cast<SerialPort*>(context);
    std::lock_guard<HkMutex> lock(p.IsrMu);
    if (!p.Live) {
        return FALSE;
    }
    bool serviced = false;
    bool gone = false;
    for (unsigned pass = 0; pass < PassLimit && !gone; ++pass) {
        UCHAR iir = In(p.Base, UartIirFcr);
        if (iir & IirNone) {
            break;
        }
        serviced = true;
        switch (iir & 0x0F) {
        case IirRls: {
            UCHAR lsr = In(p.Base, UartLsr);
            gone = lsr == DeviceGone;
            if (!gone) {
                CountLineStatus(p, lsr);
            }
            break;
        }
        case IirRda:
        case IirTimeout:
            // At most one FIFO's worth per pass: what arrives meanwhile raises the cause again.
            for (unsigned n = 0; n < UartFifoSize; ++n) {
                UCHAR lsr = In(p.Base, UartLsr);
                if (lsr == DeviceGone) {
                    gone = true;
                    break;
                }
                CountLineStatus(p, lsr);
                if (!(lsr & LsrDr)) {
                    break;
                }
                if (p.Rx.Push(In(p.Base, UartRbrThr))) {
                    ++p.BytesReceived;
                } else {
                    ++p.Overruns; // our own buffer is full: the byte is lost
                }
            }
            break;
        case IirThre:
            FillTransmitter(p);
            break;
        default: // modem status
            In(p.Base, UartMsr);
            ++p.ModemChanges;
            break;
        }
    }
    if (serviced) {
        ++p.Interrupts;
    } else {
        ++p.Spurious;
    }
    return serviced ? TRUE : FALSE;
}

// Line settings and FIFOs as a serial driver programs them at start: 9600 baud, 8N1, FIFOs on
// with receive trigger 8, DTR, RTS and OUT2 on; stale status read away. Interrupts stay off.
void ProgramUart(ULONG64 base)
{
    Out(base, UartIer, 0);
    Out(base, UartLcr, LcrDlab);
    Out(base, UartRbrThr, static_cast<UCHAR>(DivisorFor9600 & 0xFF));
    Out(base, UartIer, static_cast<UCHAR>(DivisorFor9600 >> 8));
    Out(base, UartLcr, Line8N1);
    Out(base, UartIirFcr, FifoTrigger8);
    Out(base, UartMcr, McrDtr | McrRts | McrOut2);
    In(base, UartLsr);
    In(base, UartMsr);
    In(base, UartRbrThr);
    In(base, UartIirFcr);
}

void EnableInterrupts(SerialPort& p)
{
    std::lock_guard<HkMutex> lock(p.IsrMu);
    p.Live = true;
    Out(p.Base, UartIer, IerRda | IerThre | IerRls | IerMsr);
}

void DisableInterrupts(SerialPort& p, bool touchHardware)
{
    std::lock_guard<HkMutex> lock(p.IsrMu);
    if (p.Live && touchHardware) {
        Out(p.Base, UartIer, 0);
    }
    p.Live = false;
}

NTSTATUS QueryPortInterface(SerialPort& p)
{
    return SendIrp(p.Lower, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
                   [&](PIO_STACK_LOCATION sp) {
                       sp->Parameters.QueryInterface.InterfaceType = &CORPORT_INTERFACE_GUID;
                       sp->Parameters.QueryInterface.Size = CORPORT_INTERFACE_SIZE;
                       sp->Parameters.QueryInterface.Version = CORPORT_INTERFACE_VERSION;
                       sp->Parameters.QueryInterface.Interface =
                           reinterpret_cast<PINTERFACE>(&p.Interface);
                       sp->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
                   })
        .Status;
}

void Trace(SerialPort& p, const std::string& what, NTSTATUS status);

// Unhooks and lets the interface go (Mu held).
void ReleaseHardware(SerialPort& p, bool touchHardware)
{
    DisableInterrupts(p, touchHardware);
    if (p.Hooked) {
        p.Interface.DisconnectIsr(p.Interface.Context);
        p.Hooked = false;
        Trace(p, "DisconnectIsr", STATUS_SUCCESS);
    }
    if (p.InterfaceHeld) {
        p.Interface.InterfaceDereference(p.Interface.Context);
        p.InterfaceHeld = false;
        Trace(p, "InterfaceDereference", STATUS_SUCCESS);
    }
    p.Started = false;
}

void Trace(SerialPort& p, const std::string& what, NTSTATUS status)
{
    AddTrace("hmserial -> " + HmDeviceName(p.Pdo) + ": " + what + " = " + HmStatusName(status));
}

NTSTATUS AcquireHardware(SerialPort& p)
{
    std::memset(&p.Interface, 0, sizeof p.Interface);
    NTSTATUS status = QueryPortInterface(p);
    Trace(p, "IRP_MN_QUERY_INTERFACE port bus interface", status);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    p.InterfaceHeld = true;
    CORPORT_RESOURCES res;
    std::memset(&res, 0, sizeof res);
    status = p.Interface.GetResources(p.Interface.Context, &res);
    Trace(p, "GetResources", status);
    if (!NT_SUCCESS(status)) {
        ReleaseHardware(p, false);
        return status;
    }
    p.Resources = res;
    {
        std::lock_guard<HkMutex> lock(p.IsrMu);
        p.Base = res.IoBase;
    }
    ProgramUart(res.IoBase);
    status = p.Interface.ConnectIsr(p.Interface.Context, SerialIsr, &p);
    Trace(p, "ConnectIsr", status);
    if (!NT_SUCCESS(status)) {
        ReleaseHardware(p, true);
        return status;
    }
    p.Hooked = true;
    p.Started = true;
    EnableInterrupts(p);
    return STATUS_SUCCESS;
}

// The location is copied rather than skipped: under forced pending this driver has marked its own
// location pending, and the driver below must get a fresh one.
NTSTATUS Pass(SerialPort& p, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(p.Lower, irp);
}

NTSTATUS WaitDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassAndWait(SerialPort& p, PIRP irp, bool power)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WaitDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = power ? PoCallDriver(p.Lower, irp) : IoCallDriver(p.Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS SerialPnp(PDEVICE_OBJECT device, PIRP irp)
{
    SerialPort* port = PortOfDevice(device);
    SerialPort& p = *port;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = PassAndWait(p, irp, false);
        if (NT_SUCCESS(status)) {
            std::lock_guard<HkMutex> lock(p.Mu);
            status = AcquireHardware(p);
            p.StartStatus = status;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Pass(p, irp);
    case IRP_MN_STOP_DEVICE: {
        std::lock_guard<HkMutex> lock(p.Mu);
        ReleaseHardware(p, true);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Pass(p, irp);
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        std::lock_guard<HkMutex> lock(p.Mu);
        ReleaseHardware(p, false); // the registers may be gone
        irp->IoStatus.Status = STATUS_SUCCESS;
        return Pass(p, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
        {
            std::lock_guard<HkMutex> lock(p.Mu);
            ReleaseHardware(p, true);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = p.Lower;
        PDEVICE_OBJECT pdo = p.Pdo;
        // Detached before the removal is complete: once the manager learns of it, the bus driver
        // may delete the port device below (at once when the request was pending here).
        NTSTATUS status = PassAndWait(p, irp, false);
        IoDetachDevice(lower);
        {
            // Test threads may still hold the port for a moment; it goes with the last of them.
            std::lock_guard<HkMutex> lock(RegistryMu);
            Registry.erase(pdo);
        }
        IoDeleteDevice(device);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        return Pass(p, irp);
    }
}

NTSTATUS SerialPower(PDEVICE_OBJECT device, PIRP irp)
{
    SerialPort& p = *PortOfDevice(device);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == SystemPowerState) {
        if (sp->Parameters.Power.State.SystemState != PowerSystemWorking) {
            // Going to sleep: the UART goes quiet before the adapter powers down.
            {
                std::lock_guard<HkMutex> lock(p.Mu);
                DisableInterrupts(p, p.Started);
            }
        } else {
            // Waking: once the stack below is back, the UART (which may have been reset while the
            // adapter was in D3) is programmed again.
            NTSTATUS status = PassAndWait(p, irp, true);
            {
                std::lock_guard<HkMutex> lock(p.Mu);
                if (NT_SUCCESS(status) && p.Started && p.Hooked) {
                    ProgramUart(p.Base);
                    EnableInterrupts(p);
                }
            }
            PoStartNextPowerIrp(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return status;
        }
    }
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    return PoCallDriver(p.Lower, irp);
}

NTSTATUS SerialOther(PDEVICE_OBJECT device, PIRP irp)
{
    SerialPort& p = *PortOfDevice(device);
    return Pass(p, irp);
}

// Forced pending: every request is answered STATUS_PENDING and handled later, at PASSIVE_LEVEL,
// on the machine's deferred-work thread, by the routine that would have handled it at once.
NTSTATUS Pend(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine)
{
    IoMarkIrpPending(irp);
    PostDeferred([device, irp, routine] { routine(device, irp); });
    return STATUS_PENDING;
}

NTSTATUS SerialPnpEntry(PDEVICE_OBJECT device, PIRP irp)
{
    return M().ForcedPending ? Pend(device, irp, SerialPnp) : SerialPnp(device, irp);
}

NTSTATUS SerialPowerEntry(PDEVICE_OBJECT device, PIRP irp)
{
    return M().ForcedPending ? Pend(device, irp, SerialPower) : SerialPower(device, irp);
}

NTSTATUS SerialOtherEntry(PDEVICE_OBJECT device, PIRP irp)
{
    return M().ForcedPending ? Pend(device, irp, SerialOther) : SerialOther(device, irp);
}

NTSTATUS SerialAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    HkPlatformCalls platform; // the double is not a driver under test
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SerialExtension), nullptr,
                                     FILE_DEVICE_SERIAL_PORT, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto port = std::make_shared<SerialPort>();
    port->Self = fdo;
    port->Pdo = pdo;
    port->Lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!port->Lower) {
        IoDeleteDevice(fdo);
        return STATUS_UNSUCCESSFUL;
    }
    auto ext = static_cast<SerialExtension*>(fdo->DeviceExtension);
    ext->Magic = SerialMagic;
    ext->Port = port.get();
    {
        std::lock_guard<HkMutex> lock(RegistryMu);
        Registry[pdo] = port;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID SerialUnload(PDRIVER_OBJECT) {}

} // namespace

NTSTATUS SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = SerialOtherEntry;
    }
    driver->MajorFunction[IRP_MJ_PNP] = SerialPnpEntry;
    driver->MajorFunction[IRP_MJ_POWER] = SerialPowerEntry;
    driver->DriverExtension->AddDevice = SerialAddDevice;
    driver->DriverUnload = SerialUnload;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT EnsureSerialDriver()
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        if (m.SerialDriver) {
            return m.SerialDriver;
        }
    }
    PDRIVER_OBJECT driver = HkLoadDriver(SerialDriverEntry, L"hmserial");
    std::lock_guard<HkMutex> lock(m.Mu);
    m.SerialDriver = driver;
    return driver;
}

void ForgetSerialPorts()
{
    std::lock_guard<HkMutex> lock(RegistryMu);
    Registry.clear();
}

} // namespace hm

using namespace hm;

HmSerialState HmSerialStateOf(PDEVICE_OBJECT portPdo)
{
    HmSerialState s;
    std::memset(&s, 0, sizeof s);
    std::shared_ptr<SerialPort> p = PortFor(portPdo);
    if (!p) {
        return s;
    }
    s.Bound = true;
    {
        std::lock_guard<HkMutex> lock(p->Mu);
        s.Started = p->Started;
        s.InterfaceHeld = p->InterfaceHeld;
        s.Hooked = p->Hooked;
        s.StartStatus = p->StartStatus;
        s.Resources = p->Resources;
    }
    std::lock_guard<HkMutex> lock(p->IsrMu);
    s.BytesSent = p->BytesSent;
    s.BytesReceived = p->BytesReceived;
    s.Interrupts = p->Interrupts;
    s.Spurious = p->Spurious;
    s.Overruns = p->Overruns;
    s.ParityErrors = p->ParityErrors;
    s.FramingErrors = p->FramingErrors;
    s.Breaks = p->Breaks;
    s.ModemChanges = p->ModemChanges;
    s.TxQueued = p->Tx.Count;
    return s;
}

NTSTATUS HmSerialWrite(PDEVICE_OBJECT portPdo, const std::vector<UCHAR>& bytes)
{
    std::shared_ptr<SerialPort> p = PortFor(portPdo);
    if (!p) {
        return STATUS_NO_SUCH_DEVICE;
    }
    std::lock_guard<HkMutex> state(p->Mu);
    if (!p->Started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<HkMutex> lock(p->IsrMu);
    for (UCHAR c : bytes) {
        if (!p->Tx.Push(c)) {
            return STATUS_BUFFER_OVERFLOW;
        }
    }
    // An idle transmitter raises no interrupt of its own: start it here.
    if (p->Live && (In(p->Base, UartLsr) & LsrThre)) {
        FillTransmitter(*p);
    }
    return STATUS_SUCCESS;
}

std::vector<UCHAR> HmSerialRead(PDEVICE_OBJECT portPdo)
{
    std::vector<UCHAR> out;
    std::shared_ptr<SerialPort> p = PortFor(portPdo);
    if (!p) {
        return out;
    }
    std::lock_guard<HkMutex> lock(p->IsrMu);
    while (p->Rx.Count) {
        out.push_back(p->Rx.Pop());
    }
    return out;
}
