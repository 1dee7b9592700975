/* corbus.sys: the fixture under corcard.sys (and corserial.sys above it) when Wine's kernel runs
 * them.
 *
 * Installed as a root-enumerated device from corbus.inf, it stands in for the PCI bus: one child
 * device per board the scenario program plugs through the control device \\.\CorBusFixture, with
 * the board's PCI identifiers, its configuration header for IRP_MN_READ_CONFIG and the resource
 * lists that go into corcard's start request. It also supplies, in the same winedevice process,
 * what Wine 8's kernel lacks for corcard and records all of it for the scenario program:
 *  - corcard's imports of the interrupt, error-log and power-request functions (stubs in Wine
 *    that abort the process) are pointed at the fixture's versions when the image is mapped,
 *    before its DriverEntry runs; the pool and device-object functions are counted the same way;
 *  - the IN/OUT instructions of corcard (privileged in a Wine process) are emulated by a vectored
 *    exception handler against a 64 KB byte array of I/O ports;
 *  - corcard's plug-and-play dispatch entry is wrapped, see CorcardPnp.
 * The image file on disk is never changed. The same service also loads as the port double on
 * corcard's port devices (hardware IDs CorPort<n>, installed from corport-double.inf). A board
 * plugged with UARTs is modelled by board.c; what corserial needs is in serial.c and dpc.c. */
#include <ntddk.h>
#include <ntimage.h>

#include "fixture.h"

/* ntdll's, taken from Wine's ntoskrnl.exe import table: a driver that imports ntdll itself is
 * loaded by Wine as an ordinary DLL, its entry point called as DllMain. */
typedef PVOID(NTAPI* ADD_VECTORED_HANDLER)(ULONG First, LONG(NTAPI* Handler)(PEXCEPTION_POINTERS));
int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

/* The port bus interface of corcard, as the port double asks for it. */
static const GUID CorportGuid = {
    0x6C1F0A3E, 0x5B27, 0x4D9A, {0x9E, 0x44, 0x2F, 0x8B, 0x7C, 0x3D, 0x1A, 0x05}};
#pragma pack(push, 4)
typedef struct {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    VOID (*Reference)(PVOID);
    VOID (*Dereference)(PVOID);
    NTSTATUS (*ConnectIsr)(PVOID, PKSERVICE_ROUTINE, PVOID);
    VOID (*DisconnectIsr)(PVOID);
    NTSTATUS (*GetResources)(PVOID, PVOID);
} PORT_INTERFACE;
#pragma pack(pop)

enum {
    KindControl = 1,
    KindBus,
    KindChild,
    KindDouble
};

typedef struct {
    ULONG Kind;
    ULONG Slot;
    PDEVICE_OBJECT Lower; /* bus and double: the device below */
    PORT_INTERFACE Interface;
    ULONG PortIndex;
} EXTENSION;

typedef struct {
    PDEVICE_OBJECT Pdo;
    BOOLEAN Present;
    UCHAR Config[256];
    CORBUS_PLUG_REQUEST Plug;
} CHILD;

CORBUS_RECORD Record;
static CHILD Children[CORBUS_MAX_SLOTS];
static PDEVICE_OBJECT BusLowerPdo;
static UCHAR IoSpace[65536];
KSPIN_LOCK InterruptLock;
static volatile LONG EventNext;
static USHORT StatusPort; /* of the interrupt being delivered */

static ULONG_PTR CorcardBase, CorcardEnd;
PDRIVER_OBJECT CorcardDriver;
static PDRIVER_DISPATCH CorcardOriginalPnp;
static PDRIVER_UNLOAD CorcardOriginalUnload;

static PKSERVICE_ROUTINE IsrRoutine;
static PVOID IsrContext;
static PKINTERRUPT IsrObject;

/* Non-paged allocations of either driver not yet freed, and whose they are. */
static struct {
    PVOID Block;
    BOOLEAN Serial;
} NonPaged[128];

VOID Event(ULONG Kind, ULONG Slot, ULONG64 A, ULONG64 B, ULONG64 C, ULONG64 D)
{
    LONG i = InterlockedIncrement(&EventNext) - 1;
    if (i >= CORBUS_MAX_EVENTS) {
        return;
    }
    CORBUS_EVENT* e = &Record.Events[i];
    e->Slot = Slot;
    e->A = A;
    e->B = B;
    e->C = C;
    e->D = D;
    e->Kind = Kind;
    Record.EventCount = (ULONG)(i + 1);
}

static BOOLEAN InCorcard(ULONG_PTR Address)
{
    return Address >= CorcardBase && Address < CorcardEnd;
}

/* ---- port I/O ------------------------------------------------------------------------------ */

/* IN AL,DX / OUT DX,AL and their immediate-port forms, the only ones the drivers' byte accesses
 * compile to; anything else, or outside corcard and corserial, goes on to the next handler. A
 * modelled board answers for its own ranges (not recorded as events: a transfer makes millions);
 * everything else is the byte array. */
static LONG NTAPI EmulatePortIo(PEXCEPTION_POINTERS Info)
{
    PCONTEXT c = Info->ContextRecord;
    if (Info->ExceptionRecord->ExceptionCode != STATUS_PRIVILEGED_INSTRUCTION ||
        !(InCorcard(c->Rip) || InCorserial(c->Rip))) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const UCHAR* ip = (const UCHAR*)c->Rip;
    USHORT port = (USHORT)c->Rdx;
    ULONG length = 1;
    if (ip[0] == 0xE4 || ip[0] == 0xE6) {
        port = ip[1];
        length = 2;
    }
    if (ip[0] == 0xEC || ip[0] == 0xE4) {
        UCHAR value;
        if (!BoardRead(port, &value)) {
            value = IoSpace[port];
            Event(EvPortRead, 0, port, value, 0, 0);
        }
        c->Rax = (c->Rax & ~0xFFull) | value;
    } else if (ip[0] == 0xEE || ip[0] == 0xE6) {
        if (!BoardWrite(port, (UCHAR)c->Rax)) {
            IoSpace[port] = (UCHAR)c->Rax;
            Event(EvPortWrite, 0, port, (UCHAR)c->Rax, 0, 0);
        }
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    c->Rip += length;
    return EXCEPTION_CONTINUE_EXECUTION;
}

/* ---- what Wine lacks, and what is counted ---------------------------------------------------- */

static NTSTATUS NTAPI FakeIoConnectInterrupt(PKINTERRUPT* Object, PKSERVICE_ROUTINE Routine,
                                             PVOID Context, PKSPIN_LOCK Lock, ULONG Vector,
                                             KIRQL Irql, KIRQL SyncIrql, KINTERRUPT_MODE Mode,
                                             BOOLEAN Shared, KAFFINITY Affinity,
                                             BOOLEAN FloatingSave)
{
    UNREFERENCED_PARAMETER(Lock);
    /* An opaque object of our own: corcard only hands it back. */
    PKINTERRUPT interrupt = ExAllocatePoolWithTag(NonPagedPool, 64, TAG);
    if (interrupt == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KIRQL old;
    KeAcquireSpinLock(&InterruptLock, &old);
    IsrRoutine = Routine;
    IsrContext = Context;
    IsrObject = interrupt;
    KeReleaseSpinLock(&InterruptLock, old);
    Record.InterruptObject = (ULONG_PTR)interrupt;
    Record.InterruptIrql = SyncIrql;
    Record.ServiceRoutine = (ULONG_PTR)Routine;
    Record.ServiceContext = (ULONG_PTR)Context;
    Event(EvConnect, 0, Vector, Irql | (SyncIrql << 8) | ((ULONG)Mode << 16) | (Shared << 24),
          Affinity, FloatingSave);
    *Object = interrupt;
    return STATUS_SUCCESS;
}

static VOID NTAPI FakeIoDisconnectInterrupt(PKINTERRUPT Object)
{
    Event(EvDisconnect, 0, Object == IsrObject && Object != NULL, 0, 0, 0);
    /* Under the interrupt's lock, as the platform does: a service routine running on the
     * interrupt thread finishes first, and none is called afterwards. */
    KIRQL old;
    KeAcquireSpinLock(&InterruptLock, &old);
    if (Object == IsrObject) {
        IsrObject = NULL;
        IsrRoutine = NULL;
        IsrContext = NULL;
    }
    KeReleaseSpinLock(&InterruptLock, old);
    ExFreePool(Object);
}

BOOLEAN NTAPI FakeKeSynchronizeExecution(PKINTERRUPT Object, PKSYNCHRONIZE_ROUTINE Routine,
                                         PVOID Context)
{
    UNREFERENCED_PARAMETER(Object);
    KIRQL old;
    KeAcquireSpinLock(&InterruptLock, &old);
    BOOLEAN result = Routine(Context);
    KeReleaseSpinLock(&InterruptLock, old);
    /* corcard's (a few per port start and stop); corserial makes thousands. */
    if (InCorcard((ULONG_PTR)__builtin_return_address(0))) {
        Event(EvSynchronize, 0, result, 0, 0, 0);
    }
    return result;
}

BOOLEAN CallServiceRoutine(BOOLEAN* Claimed)
{
    if (IsrRoutine == NULL) {
        return FALSE;
    }
    *Claimed = IsrRoutine(IsrObject, IsrContext);
    return TRUE;
}

PVOID NTAPI FakeIoAllocateErrorLogEntry(PVOID IoObject, UCHAR Size)
{
    UNREFERENCED_PARAMETER(IoObject);
    PVOID entry = ExAllocatePoolWithTag(NonPagedPool, Size, TAG);
    if (entry != NULL) {
        RtlZeroMemory(entry, Size);
        ULONG i = Record.ErrorCount;
        if (i < CORBUS_MAX_ERRORS) {
            Record.Errors[i].Size = Size;
        }
    }
    return entry;
}

VOID NTAPI FakeIoWriteErrorLogEntry(PVOID Entry)
{
    PIO_ERROR_LOG_PACKET packet = Entry;
    ULONG i = Record.ErrorCount;
    if (i < CORBUS_MAX_ERRORS) {
        CORBUS_ERROR* e = &Record.Errors[i];
        e->Source = InCorserial((ULONG_PTR)__builtin_return_address(0)) ? CorbusSourceCorserial
                                                                        : CorbusSourceCorcard;
        e->ErrorCode = packet->ErrorCode;
        e->FinalStatus = packet->FinalStatus;
        e->UniqueErrorValue = packet->UniqueErrorValue;
        e->NumberOfStrings = packet->NumberOfStrings;
        e->StringOffset = packet->StringOffset;
        if (packet->NumberOfStrings > 0 && packet->StringOffset < e->Size) {
            const WCHAR* text = (const WCHAR*)((const UCHAR*)Entry + packet->StringOffset);
            ULONG limit = (e->Size - packet->StringOffset) / sizeof(WCHAR);
            for (ULONG k = 0; k < limit && k < CORBUS_TEXT_UNITS - 1 && text[k] != 0; ++k) {
                e->Text[k] = text[k];
            }
        }
        Record.ErrorCount = i + 1;
        Event(EvErrorLog, 0, i, 0, 0, 0);
    }
    ExFreePool(Entry);
}

typedef struct {
    PREQUEST_POWER_COMPLETE Done;
    PVOID Context;
    POWER_STATE State;
} POWER_REQUEST;

static NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Device);
    POWER_REQUEST* request = Context;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(Irp);
    if (request->Done != NULL) {
        request->Done(stack->DeviceObject, stack->MinorFunction, request->State, request->Context,
                      &Irp->IoStatus);
    }
    ExFreePool(request);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A device power request goes to the top of the stack that holds Target, as the power manager
 * sends it, and reports to the caller's completion function. */
NTSTATUS NTAPI FakePoRequestPowerIrp(PDEVICE_OBJECT Target, UCHAR Minor, POWER_STATE State,
                                     PREQUEST_POWER_COMPLETE Done, PVOID Context, PIRP* Irp)
{
    Event(EvPowerRequest, 0, Minor, State.DeviceState, 0, 0);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Target);
    PIRP irp = IoAllocateIrp((CCHAR)(top->StackSize + 1), FALSE);
    POWER_REQUEST* request = ExAllocatePoolWithTag(NonPagedPool, sizeof(*request), TAG);
    if (irp == NULL || request == NULL) {
        if (irp != NULL) {
            IoFreeIrp(irp);
        }
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->Done = Done;
    request->Context = Context;
    request->State = State;
    /* The first location carries the completion; the driver's is the next one. */
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION first = IoGetCurrentIrpStackLocation(irp);
    first->DeviceObject = top;
    first->MinorFunction = Minor;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = Minor;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = State;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, PowerRequestDone, request, TRUE, TRUE, TRUE);
    if (Irp != NULL) {
        *Irp = irp;
    }
    PoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

static NTSTATUS NTAPI CountIoCreateDevice(PDRIVER_OBJECT Driver, ULONG ExtensionSize,
                                          PUNICODE_STRING Name, DEVICE_TYPE Type,
                                          ULONG Characteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT* Device)
{
    NTSTATUS status =
        IoCreateDevice(Driver, ExtensionSize, Name, Type, Characteristics, Exclusive, Device);
    if (NT_SUCCESS(status)) {
        InterlockedIncrement((LONG*)&Record.DevicesCreated);
    }
    return status;
}

static VOID NTAPI CountIoDeleteDevice(PDEVICE_OBJECT Device)
{
    InterlockedIncrement((LONG*)&Record.DevicesDeleted);
    IoDeleteDevice(Device);
}

PVOID NTAPI CountExAllocatePoolWithTag(POOL_TYPE Type, SIZE_T Bytes, ULONG Tag)
{
    PVOID p = ExAllocatePoolWithTag(Type, Bytes, Tag);
    /* Paged answers (IDs, texts, relations) belong to the manager once handed over; what a
     * driver keeps for itself is non-paged, and must all be freed by that driver. */
    BOOLEAN serial = InCorserial((ULONG_PTR)__builtin_return_address(0));
    if (p != NULL && (Type == NonPagedPool || Type == NonPagedPoolNx)) {
        for (ULONG i = 0; i < ARRAYSIZE(NonPaged); ++i) {
            if (InterlockedCompareExchangePointer(&NonPaged[i].Block, p, NULL) == NULL) {
                NonPaged[i].Serial = serial;
                InterlockedIncrement(serial ? (LONG*)&Record.SerialNonPagedOutstanding
                                            : (LONG*)&Record.NonPagedOutstanding);
                break;
            }
        }
    }
    return p;
}

static VOID Untrack(PVOID p)
{
    for (ULONG i = 0; p != NULL && i < ARRAYSIZE(NonPaged); ++i) {
        BOOLEAN serial = NonPaged[i].Serial;
        if (InterlockedCompareExchangePointer(&NonPaged[i].Block, NULL, p) == p) {
            InterlockedDecrement(serial ? (LONG*)&Record.SerialNonPagedOutstanding
                                        : (LONG*)&Record.NonPagedOutstanding);
            break;
        }
    }
}

static VOID NTAPI CountExFreePool(PVOID p)
{
    Untrack(p);
    ExFreePool(p);
}

VOID NTAPI CountExFreePoolWithTag(PVOID p, ULONG Tag)
{
    Untrack(p);
    ExFreePoolWithTag(p, Tag);
}

static const REPLACEMENT Replacements[] = {
    {"IoConnectInterrupt", FakeIoConnectInterrupt},
    {"IoDisconnectInterrupt", FakeIoDisconnectInterrupt},
    {"KeSynchronizeExecution", FakeKeSynchronizeExecution},
    {"IoAllocateErrorLogEntry", FakeIoAllocateErrorLogEntry},
    {"IoWriteErrorLogEntry", FakeIoWriteErrorLogEntry},
    {"PoRequestPowerIrp", FakePoRequestPowerIrp},
    {"IoCreateDevice", CountIoCreateDevice},
    {"IoDeleteDevice", CountIoDeleteDevice},
    {"ExAllocatePoolWithTag", CountExAllocatePoolWithTag},
    {"ExFreePool", CountExFreePool},
};

static BOOLEAN SameName(const char* a, const char* b)
{
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

/* The import address table slot of the named function in a mapped image, or NULL. */
static PULONG_PTR ImportSlot(ULONG_PTR Base, const char* Name)
{
    PIMAGE_NT_HEADERS64 nt = (PIMAGE_NT_HEADERS64)(Base + ((PIMAGE_DOS_HEADER)Base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    PIMAGE_IMPORT_DESCRIPTOR d = (PIMAGE_IMPORT_DESCRIPTOR)(Base + dir.VirtualAddress);
    for (; dir.VirtualAddress != 0 && d->Name != 0; ++d) {
        PIMAGE_THUNK_DATA64 names = (PIMAGE_THUNK_DATA64)(Base + d->OriginalFirstThunk);
        PIMAGE_THUNK_DATA64 slots = (PIMAGE_THUNK_DATA64)(Base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if ((names->u1.Ordinal & IMAGE_ORDINAL_FLAG64) == 0 &&
                SameName(
                    (const char*)((PIMAGE_IMPORT_BY_NAME)(Base + names->u1.AddressOfData))->Name,
                    Name)) {
                return (PULONG_PTR)&slots->u1.Function;
            }
        }
    }
    return NULL;
}

/* Points a driver's imports of the replaced functions at the fixture (Wine maps the import table
 * writable). Returns how many were found. */
ULONG PatchImports(ULONG_PTR Base, const REPLACEMENT* Table, ULONG Count)
{
    ULONG replaced = 0;
    for (ULONG r = 0; r < Count; ++r) {
        PULONG_PTR slot = ImportSlot(Base, Table[r].Name);
        if (slot != NULL) {
            *slot = (ULONG_PTR)Table[r].Replacement;
            ++replaced;
        }
    }
    return replaced;
}

/* The base of the image holding Address: the first page below it that starts with "MZ". */
static ULONG_PTR ImageBaseOf(ULONG_PTR Address)
{
    ULONG_PTR p = Address & ~(ULONG_PTR)0xFFF;
    while (*(const USHORT*)p != IMAGE_DOS_SIGNATURE) {
        p -= 0x1000;
    }
    return p;
}

static BOOLEAN EndsWith(PUNICODE_STRING Name, const WCHAR* tail)
{
    ULONG n = 0;
    while (tail[n] != 0) {
        ++n;
    }
    if (Name == NULL || Name->Length / sizeof(WCHAR) < n) {
        return FALSE;
    }
    const WCHAR* s = Name->Buffer + Name->Length / sizeof(WCHAR) - n;
    for (ULONG i = 0; i < n; ++i) {
        WCHAR c = s[i] >= L'A' && s[i] <= L'Z' ? (WCHAR)(s[i] + 32) : s[i];
        if (c != tail[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Runs when the loader maps an image into this process, before its entry point is called. */
static VOID NTAPI ImageMapped(PUNICODE_STRING Name, HANDLE Process, PIMAGE_INFO Info)
{
    UNREFERENCED_PARAMETER(Process);
    if (EndsWith(Name, L"corserial.sys")) {
        SerialImageMapped((ULONG_PTR)Info->ImageBase, Info->ImageSize);
        return;
    }
    if (!EndsWith(Name, L"corcard.sys")) {
        return;
    }
    CorcardBase = (ULONG_PTR)Info->ImageBase;
    CorcardEnd = CorcardBase + Info->ImageSize;
    Record.CorcardBase = CorcardBase;
    Record.CorcardSize = Info->ImageSize;
    Record.ImportsReplaced = PatchImports(CorcardBase, Replacements, ARRAYSIZE(Replacements));
    Event(EvCorcardLoaded, 0, Record.ImportsReplaced, 0, 0, 0);
}

/* ---- corcard's dispatch entry, wrapped ------------------------------------------------------- */

static CHILD* ChildBelow(PDEVICE_OBJECT Device)
{
    for (ULONG i = 0; i < CORBUS_MAX_SLOTS; ++i) {
        if (Children[i].Pdo != NULL && Children[i].Pdo->AttachedDevice == Device) {
            return &Children[i];
        }
    }
    return NULL;
}

/* Windows's manager treats a compatible-ID query that a bus driver does not support as "no
 * compatible IDs"; Wine's refuses to install anything on such a device. The fixture turns that
 * answer into an empty list on its way back to Wine's manager. */
static NTSTATUS NTAPI CompatibleIdsAnswered(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Context);
    if (Irp->IoStatus.Status == STATUS_NOT_SUPPORTED && Irp->IoStatus.Information == 0) {
        PWCHAR empty = ExAllocatePoolWithTag(PagedPool, 2 * sizeof(WCHAR), TAG);
        if (empty != NULL) {
            empty[0] = empty[1] = 0;
            Irp->IoStatus.Information = (ULONG_PTR)empty;
            Irp->IoStatus.Status = STATUS_SUCCESS;
            Event(EvCompatibleIds, 0, 0, 0, 0, 0);
        }
    }
    return STATUS_CONTINUE_COMPLETION;
}

/* corcard's IRP_MJ_PNP entry as Wine's manager reaches it:
 *  - a start of an adapter carries the test's raw and translated lists, as Windows's manager
 *    would put them there (Wine's sends none); after a successful start the adapter's bus
 *    relations are invalidated, since Wine's manager never asks for them by itself;
 *  - a compatible-ID query of a port device gets the completion above, in corcard's own stack
 *    location (the caller's completion slot; Wine's manager waits on the request's event and
 *    puts no routine there). */
static NTSTATUS NTAPI CorcardPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CHILD* child = ChildBelow(Device);
    /* The type fields of the ID, text and relation queries share one place in the location. */
    Event(EvCorcardIrp, child != NULL ? (ULONG)(child - Children) : CORBUS_PORT_DEVICE,
          stack->MinorFunction, stack->Parameters.QueryId.IdType, (ULONG_PTR)Device, 0);
    if (child != NULL && stack->MinorFunction == IRP_MN_START_DEVICE) {
        if (child->Plug.RawLength != 0) {
            stack->Parameters.StartDevice.AllocatedResources = (PCM_RESOURCE_LIST)child->Plug.Raw;
        }
        if (child->Plug.TranslatedLength != 0) {
            stack->Parameters.StartDevice.AllocatedResourcesTranslated =
                (PCM_RESOURCE_LIST)child->Plug.Translated;
        }
        Event(EvStartResources, (ULONG)(child - Children), child->Plug.RawLength,
              child->Plug.TranslatedLength, 0, 0);
        PDEVICE_OBJECT pdo = child->Pdo;
        NTSTATUS status = CorcardOriginalPnp(Device, Irp);
        Event(EvStartDone, (ULONG)(child - Children), (ULONG)status, 0, 0, 0);
        if (NT_SUCCESS(status)) {
            IoInvalidateDeviceRelations(pdo, BusRelations);
        }
        return status;
    }
    if (child == NULL && stack->MinorFunction == IRP_MN_QUERY_ID &&
        stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs) {
        stack->CompletionRoutine = CompatibleIdsAnswered;
        stack->Context = NULL;
        stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    }
    return CorcardOriginalPnp(Device, Irp);
}

static VOID NTAPI CorcardUnload(PDRIVER_OBJECT Driver)
{
    CorcardOriginalUnload(Driver);
    LONG left = 0;
    for (PDEVICE_OBJECT d = Driver->DeviceObject; d != NULL; d = d->NextDevice) {
        ++left;
    }
    Record.UnloadRan = 1;
    Record.DevicesLeftAtUnload = left;
    Event(EvUnload, 0, left, 0, 0, 0);
}

/* corcard's driver object is first seen when its add-device reads the configuration space. */
static VOID WrapCorcard(PDRIVER_OBJECT Driver)
{
    if (CorcardDriver != NULL || Driver == NULL) {
        return;
    }
    CorcardDriver = Driver;
    const ULONG_PTR routines[] = {
        (ULONG_PTR)Driver->MajorFunction[IRP_MJ_PNP],
        (ULONG_PTR)Driver->MajorFunction[IRP_MJ_POWER],
        (ULONG_PTR)Driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL],
        (ULONG_PTR)Driver->DriverExtension->AddDevice,
        (ULONG_PTR)Driver->DriverUnload,
    };
    for (ULONG i = 0; i < ARRAYSIZE(routines); ++i) {
        if (InCorcard(routines[i])) {
            Record.DriverRoutines |= 1u << i;
        }
    }
    CorcardOriginalPnp = Driver->MajorFunction[IRP_MJ_PNP];
    Driver->MajorFunction[IRP_MJ_PNP] = CorcardPnp;
    CorcardOriginalUnload = Driver->DriverUnload;
    if (CorcardOriginalUnload != NULL) {
        Driver->DriverUnload = CorcardUnload;
    }
}

/* ---- the child devices: what a PCI bus driver answers for a function ------------------------- */

static USHORT Config16(CHILD* c, ULONG Offset)
{
    return (USHORT)(c->Config[Offset] | (c->Config[Offset + 1] << 8));
}

static PWCHAR PoolCopy(const WCHAR* Text, ULONG Units)
{
    PWCHAR p = ExAllocatePoolWithTag(PagedPool, (Units + 1) * sizeof(WCHAR), TAG);
    if (p != NULL) {
        RtlCopyMemory(p, Text, Units * sizeof(WCHAR));
        p[Units] = 0;
    }
    return p;
}

/* Appends one formatted ID and its terminator; returns the new length in units. */
static ULONG AddId(WCHAR* Buffer, ULONG At, const WCHAR* Format, CHILD* c, ULONG Parts)
{
    WCHAR piece[96];
    USHORT ven = Config16(c, 0), dev = Config16(c, 2);
    USHORT subven = c->Plug.IdSubVendor != 0 ? c->Plug.IdSubVendor : Config16(c, 0x2C);
    USHORT subsys = c->Plug.IdSubsystem != 0 ? c->Plug.IdSubsystem : Config16(c, 0x2E);
    UCHAR rev = c->Config[8], progif = c->Config[9], sub = c->Config[10], base = c->Config[11];
    int n;
    switch (Parts) {
    case 1: /* vendor, device, subsystem, revision */
        n = swprintf(piece, Format, ven, dev, subsys, subven, rev);
        break;
    case 2: /* vendor, device, class */
        n = swprintf(piece, Format, ven, dev, base, sub, progif);
        break;
    default: /* vendor, class */
        n = swprintf(piece, Format, ven, base, sub, progif);
        break;
    }
    RtlCopyMemory(Buffer + At, piece, (n + 1) * sizeof(WCHAR));
    return At + n + 1;
}

static NTSTATUS ChildQueryId(CHILD* c, BUS_QUERY_ID_TYPE Type, ULONG_PTR* Answer)
{
    WCHAR ids[512];
    ULONG n = 0;
    switch (Type) {
    case BusQueryDeviceID:
        n = AddId(ids, 0, L"PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", c, 1) - 1;
        break;
    case BusQueryHardwareIDs:
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X", c, 1);
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X", c, 1);
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X&CC_%02X%02X%02X", c, 2);
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X&CC_%02X%02X", c, 2);
        ids[n] = 0;
        break;
    case BusQueryCompatibleIDs:
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X&REV_%02X", c, 1);
        n = AddId(ids, n, L"PCI\\VEN_%04X&DEV_%04X", c, 1);
        n = AddId(ids, n, L"PCI\\VEN_%04X&CC_%02X%02X%02X", c, 3);
        n = AddId(ids, n, L"PCI\\VEN_%04X&CC_%02X%02X", c, 3);
        n = AddId(ids, n, L"PCI\\VEN_%04X", c, 3);
        ids[n] = 0;
        break;
    case BusQueryInstanceID: {
        const uint16_t* id = c->Plug.InstanceId;
        while (n < 31 && id[n] != 0) {
            ids[n] = id[n];
            ++n;
        }
        ids[n] = 0;
        break;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
    PWCHAR copy = PoolCopy(ids, n + 1);
    if (copy == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Answer = (ULONG_PTR)copy;
    return STATUS_SUCCESS;
}

static NTSTATUS ChildPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    EXTENSION* ext = Device->DeviceExtension;
    CHILD* c = &Children[ext->Slot];
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG64 detail = 0;
    BOOLEAN remove = FALSE;

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        remove = !c->Present;
        break;
    case IRP_MN_QUERY_ID:
        detail = stack->Parameters.QueryId.IdType;
        status = ChildQueryId(c, stack->Parameters.QueryId.IdType, &Irp->IoStatus.Information);
        if (status == STATUS_NOT_SUPPORTED) {
            status = Irp->IoStatus.Status;
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceD1 = 1;
        caps->DeviceD2 = 1;
        caps->Address = (ext->Slot + 2) << 16;
        caps->UINumber = ext->Slot + 2;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
        caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_READ_CONFIG: {
        ULONG offset = stack->Parameters.ReadWriteConfig.Offset;
        ULONG length = stack->Parameters.ReadWriteConfig.Length;
        detail = ((ULONG64)offset << 32) | length;
        WrapCorcard(Device->AttachedDevice != NULL ? Device->AttachedDevice->DriverObject : NULL);
        if (stack->Parameters.ReadWriteConfig.WhichSpace != PCI_WHICHSPACE_CONFIG || offset > 256 ||
            length > 256 - offset) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        RtlCopyMemory(stack->Parameters.ReadWriteConfig.Buffer, c->Config + offset, length);
        Irp->IoStatus.Information = length;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        detail = stack->Parameters.QueryDeviceRelations.Type;
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS r = ExAllocatePoolWithTag(PagedPool, sizeof(*r), TAG);
            if (r == NULL) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            ObReferenceObject(Device);
            r->Count = 1;
            r->Objects[0] = Device;
            Irp->IoStatus.Information = (ULONG_PTR)r;
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    Event(EvPdoIrp, ext->Slot, IRP_MJ_PNP, stack->MinorFunction, (ULONG)status, detail);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (remove) {
        c->Pdo = NULL;
        IoDeleteDevice(Device);
    }
    return status;
}

static NTSTATUS ChildPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    EXTENSION* ext = Device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    Event(EvPdoIrp, ext->Slot, IRP_MJ_POWER, stack->MinorFunction, (ULONG)status,
          ((ULONG64)stack->Parameters.Power.Type << 32) |
              stack->Parameters.Power.State.DeviceState);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* ---- the bus device and the port double: requests go down their stacks ---------------------- */

static NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(Device);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS SendAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    return Irp->IoStatus.Status;
}

static NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower, Irp);
}

static VOID DoubleStart(EXTENSION* ext);
static VOID DoubleStop(EXTENSION* ext);

static NTSTATUS StackPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    EXTENSION* ext = Device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = SendAndWait(ext->Lower, Irp);
        if (NT_SUCCESS(status) && ext->Kind == KindDouble) {
            DoubleStart(ext);
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (ext->Kind == KindBus && stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            ULONG count = 0;
            PDEVICE_RELATIONS r = ExAllocatePoolWithTag(
                PagedPool, sizeof(*r) + CORBUS_MAX_SLOTS * sizeof(PDEVICE_OBJECT), TAG);
            if (r == NULL) {
                Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            for (ULONG i = 0; i < CORBUS_MAX_SLOTS; ++i) {
                if (Children[i].Pdo != NULL && Children[i].Present) {
                    ObReferenceObject(Children[i].Pdo);
                    r->Objects[count++] = Children[i].Pdo;
                }
            }
            r->Count = count;
            Irp->IoStatus.Information = (ULONG_PTR)r;
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
        return PassDown(ext->Lower, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        if (ext->Kind == KindDouble) {
            DoubleStop(ext);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(ext->Lower, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        if (ext->Kind == KindDouble) {
            DoubleStop(ext);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = ext->Lower;
        status = PassDown(lower, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(Device);
        return status;
    }
    default:
        return PassDown(ext->Lower, Irp);
    }
}

/* ---- the port double: a port function driver as far as corcard's interface goes ------------- */

static BOOLEAN NTAPI DoubleCallback(PKINTERRUPT Interrupt, PVOID Context)
{
    UNREFERENCED_PARAMETER(Interrupt);
    EXTENSION* ext = Context;
    /* Servicing the port clears its bit (bit n-1 for CorPort<n>) in the status register. */
    IoSpace[StatusPort] &= (UCHAR) ~(1u << (ext->PortIndex - 1));
    Event(EvDoubleCallback, 0, ext->PortIndex, TRUE, 0, 0);
    return TRUE;
}

static VOID DoubleStart(EXTENSION* ext)
{
    ULONG i = Record.DoubleCount;
    if (i >= CORBUS_MAX_PORTS) {
        return;
    }
    CORBUS_DOUBLE* d = &Record.Doubles[i];
    d->PortIndex = ext->PortIndex;

    /* IRP_MN_QUERY_INTERFACE down the port device's stack, as a function driver asks. */
    KEVENT done;
    IO_STATUS_BLOCK io;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, ext->Lower, NULL, 0, NULL, &done, &io);
    if (irp == NULL) {
        return;
    }
    RtlFillMemory(&ext->Interface, sizeof(ext->Interface), 0xA5);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &CorportGuid;
    next->Parameters.QueryInterface.Size = sizeof(PORT_INTERFACE);
    next->Parameters.QueryInterface.Version = 2;
    next->Parameters.QueryInterface.Interface = (PINTERFACE)&ext->Interface;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    if (IoCallDriver(ext->Lower, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    d->QueryStatus = io.Status;
    RtlCopyMemory(d->Interface, &ext->Interface, sizeof(d->Interface));
    if (NT_SUCCESS(io.Status)) {
        UCHAR resources[56];
        RtlFillMemory(resources, sizeof(resources), 0xA5);
        d->ResourcesStatus = ext->Interface.GetResources(ext->Interface.Context, resources);
        RtlCopyMemory(d->Resources, resources, sizeof(resources));
        d->ConnectStatus = ext->Interface.ConnectIsr(ext->Interface.Context, DoubleCallback, ext);
    }
    Record.DoubleCount = i + 1;
}

static VOID DoubleStop(EXTENSION* ext)
{
    if (ext->Interface.Size == sizeof(PORT_INTERFACE) && ext->Interface.Dereference != NULL) {
        ext->Interface.DisconnectIsr(ext->Interface.Context);
        ext->Interface.Dereference(ext->Interface.Context);
        RtlZeroMemory(&ext->Interface, sizeof(ext->Interface));
    }
}

/* ---- add-device, requests of the control device, entry ------------------------------------- */

static PDRIVER_OBJECT Self;

ULONG CorPortNumber(PDEVICE_OBJECT Pdo)
{
    WCHAR ids[64];
    ULONG needed = 0;
    RtlZeroMemory(ids, sizeof(ids));
    if (!NT_SUCCESS(
            IoGetDeviceProperty(Pdo, DevicePropertyHardwareID, sizeof(ids) - 4, ids, &needed))) {
        return 0;
    }
    static const WCHAR stem[] = L"CorPort";
    for (ULONG i = 0; i < 7; ++i) {
        if (ids[i] != stem[i]) {
            return 0;
        }
    }
    return ids[7] >= L'1' && ids[7] <= L'8' ? (ULONG)(ids[7] - L'0') : 0;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    ULONG port = CorPortNumber(Pdo);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(Driver, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EXTENSION* ext = device->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Kind = port != 0 ? KindDouble : KindBus;
    ext->PortIndex = port;
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (port == 0) {
        BusLowerPdo = Pdo;
    } else {
        Event(EvDoubleAdded, 0, port, 0, 0, 0);
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static NTSTATUS Plug(const CORBUS_PLUG_REQUEST* Request, ULONG* Slot)
{
    ULONG i = 0;
    while (i < CORBUS_MAX_SLOTS && Children[i].Pdo != NULL) {
        ++i;
    }
    if (i == CORBUS_MAX_SLOTS || BusLowerPdo == NULL || Request->RawLength > 256 ||
        Request->TranslatedLength > 256 || Request->PresetCount > 32) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT pdo;
    NTSTATUS status = IoCreateDevice(Self, sizeof(EXTENSION), NULL, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EXTENSION* ext = pdo->DeviceExtension;
    RtlZeroMemory(ext, sizeof(*ext));
    ext->Kind = KindChild;
    ext->Slot = i;
    CHILD* c = &Children[i];
    RtlZeroMemory(c, sizeof(*c));
    RtlCopyMemory(c->Config, Request->Config, sizeof(Request->Config));
    c->Plug = *Request;
    for (ULONG k = 0; k < Request->PresetCount; ++k) {
        IoSpace[Request->Presets[k].Port] = Request->Presets[k].Value;
    }
    BoardPlug(i, Request);
    c->Present = TRUE;
    c->Pdo = pdo;
    /* Wine queues an invalidation of bus relations with the bare device pointer, and corcard
     * invalidates its board's relations during surprise removal: that request reaches the board
     * device after its removal has deleted it. This reference (never dropped) keeps the deleted
     * object valid for it, as Windows's device node would. */
    ObReferenceObject(pdo);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    *Slot = i;
    IoInvalidateDeviceRelations(BusLowerPdo, BusRelations);
    return STATUS_SUCCESS;
}

NTSTATUS SendPnp(PDEVICE_OBJECT Device, UCHAR Minor)
{
    KEVENT done;
    IO_STATUS_BLOCK io;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &done, &io);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != NULL) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = Minor;
        /* A start as Wine's manager sends it: no resource lists. */
        next->Parameters.StartDevice.AllocatedResources = NULL;
        next->Parameters.StartDevice.AllocatedResourcesTranslated = NULL;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        status = IoCallDriver(top, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = io.Status;
        }
    }
    ObDereferenceObject(top);
    return status;
}

/* Asks one of corcard's port devices an ID or a text and copies the answer. */
static VOID AskPort(PDEVICE_OBJECT Port, UCHAR Minor, ULONG Type, uint16_t* Out)
{
    KEVENT done;
    IO_STATUS_BLOCK io;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Port);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, NULL, 0, NULL, &done, &io);
    if (irp != NULL) {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = Minor;
        if (Minor == IRP_MN_QUERY_ID) {
            next->Parameters.QueryId.IdType = Type;
        } else {
            next->Parameters.QueryDeviceText.DeviceTextType = Type;
            next->Parameters.QueryDeviceText.LocaleId = 0x409;
        }
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        if (IoCallDriver(top, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        const WCHAR* text = (const WCHAR*)io.Information;
        if (NT_SUCCESS(io.Status) && text != NULL) {
            for (ULONG k = 0; k < CORBUS_TEXT_UNITS - 1 && text[k] != 0; ++k) {
                Out[k] = text[k];
            }
            ExFreePool((PVOID)text);
        }
    }
    ObDereferenceObject(top);
}

static VOID PortTexts(CORBUS_PORT_TEXTS* Out)
{
    RtlZeroMemory(Out, sizeof(*Out));
    if (CorcardDriver == NULL) {
        return;
    }
    for (PDEVICE_OBJECT d = CorcardDriver->DeviceObject; d != NULL; d = d->NextDevice) {
        if (ChildBelow(d) != NULL || Out->Count >= CORBUS_MAX_PORTS) {
            continue; /* the adapter device itself */
        }
        ULONG i = Out->Count++;
        AskPort(d, IRP_MN_QUERY_ID, BusQueryInstanceID, Out->Ports[i].InstanceId);
        AskPort(d, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, Out->Ports[i].Description);
        AskPort(d, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, Out->Ports[i].Location);
    }
}

/* A system set-power request to the top of the board's stack; waits for its completion. */
static NTSTATUS SystemPower(CHILD* Child, ULONG State)
{
    if (Child->Pdo == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Child->Pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = IRP_MN_SET_POWER;
    next->Parameters.Power.Type = SystemPowerState;
    next->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)State;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (PoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

static NTSTATUS Control(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG_PTR information = 0;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_CORBUS_PLUG:
        if (in >= sizeof(CORBUS_PLUG_REQUEST) && out >= sizeof(ULONG)) {
            ULONG slot = 0;
            status = Plug(buffer, &slot);
            *(ULONG*)buffer = slot;
            information = sizeof(ULONG);
        }
        break;
    case IOCTL_CORBUS_UNPLUG:
        if (in >= sizeof(ULONG) && *(ULONG*)buffer < CORBUS_MAX_SLOTS &&
            Children[*(ULONG*)buffer].Pdo != NULL) {
            /* The board is gone from the bus before anyone is told. */
            BoardUnplug(*(ULONG*)buffer);
            Children[*(ULONG*)buffer].Present = FALSE;
            IoInvalidateDeviceRelations(BusLowerPdo, BusRelations);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_INTERRUPT:
        if (in >= sizeof(CORBUS_INTERRUPT_REQUEST) && IsrRoutine != NULL) {
            const CORBUS_INTERRUPT_REQUEST* request = buffer;
            KIRQL old;
            KeAcquireSpinLock(&InterruptLock, &old);
            StatusPort = (USHORT)request->StatusPort;
            IoSpace[StatusPort] = request->Status;
            BOOLEAN result = IsrRoutine(IsrObject, IsrContext);
            KeReleaseSpinLock(&InterruptLock, old);
            Event(EvIsr, 0, request->Status, result, 0, 0);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_UNLOAD:
        if (out >= sizeof(LONG)) {
            UNICODE_STRING name;
            RtlInitUnicodeString(
                &name, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\corcard");
            *(LONG*)buffer = ZwUnloadDriver(&name);
            information = sizeof(LONG);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_RECORD:
        if (out >= sizeof(CORBUS_RECORD)) {
            RtlCopyMemory(buffer, &Record, sizeof(Record));
            information = sizeof(Record);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_SYSTEM_POWER:
        if (in >= sizeof(ULONG) && out >= sizeof(LONG)) {
            *(LONG*)buffer = SystemPower(&Children[0], *(ULONG*)buffer);
            information = sizeof(LONG);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_LINE:
        if (in >= sizeof(CORBUS_LINE_REQUEST)) {
            status = BoardLine(buffer);
        }
        break;
    case IOCTL_CORBUS_UART:
        if (in >= sizeof(ULONG) && out >= sizeof(CORBUS_UART)) {
            status = BoardUart(*(ULONG*)buffer, buffer);
            information = NT_SUCCESS(status) ? sizeof(CORBUS_UART) : 0;
        }
        break;
    case IOCTL_CORBUS_HOLD_INTERRUPT:
        if (in >= sizeof(ULONG)) {
            BoardHoldInterrupt(*(ULONG*)buffer);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_RESTART_PORT:
        if (in >= sizeof(ULONG) && out >= sizeof(LONG)) {
            *(LONG*)buffer = SerialRestartPort(*(ULONG*)buffer);
            information = sizeof(LONG);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_UNLOAD_SERIAL:
        if (out >= sizeof(LONG)) {
            *(LONG*)buffer = SerialUnload();
            information = sizeof(LONG);
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_CORBUS_PORT_TEXTS:
        if (out >= sizeof(CORBUS_PORT_TEXTS)) {
            PortTexts(buffer);
            information = sizeof(CORBUS_PORT_TEXTS);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    EXTENSION* ext = Device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (ext->Kind) {
    case KindChild:
        if (stack->MajorFunction == IRP_MJ_PNP) {
            return ChildPnp(Device, Irp);
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            return ChildPower(Device, Irp);
        }
        break;
    case KindBus:
    case KindDouble:
        if (stack->MajorFunction == IRP_MJ_PNP) {
            return StackPnp(Device, Irp);
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(Irp);
            IoSkipCurrentIrpStackLocation(Irp);
            return PoCallDriver(ext->Lower, Irp);
        }
        break;
    case KindControl:
        if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            return Control(Irp);
        }
        if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE) {
            Irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static VOID NTAPI Unload(PDRIVER_OBJECT Driver)
{
    UNREFERENCED_PARAMETER(Driver);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING Path)
{
    UNREFERENCED_PARAMETER(Path);
    Self = Driver;
    KeInitializeSpinLock(&InterruptLock);
    BoardsInitialize();
    DpcsInitialize();
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        Driver->MajorFunction[i] = Dispatch;
    }
    Driver->DriverExtension->AddDevice = AddDevice;
    Driver->DriverUnload = Unload;

    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, CORBUS_DEVICE_NAME);
    RtlInitUnicodeString(&link, CORBUS_LINK_NAME);
    PDEVICE_OBJECT control;
    NTSTATUS status =
        IoCreateDevice(Driver, sizeof(EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(control->DeviceExtension, sizeof(EXTENSION));
    ((EXTENSION*)control->DeviceExtension)->Kind = KindControl;
    control->Flags |= DO_BUFFERED_IO;
    control->Flags &= ~DO_DEVICE_INITIALIZING;
    IoCreateSymbolicLink(&link, &name);

    PULONG_PTR add =
        ImportSlot(ImageBaseOf((ULONG_PTR)IoCreateDevice), "RtlAddVectoredExceptionHandler");
    if (add == NULL) {
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    ((ADD_VECTORED_HANDLER)*add)(1, EmulatePortIo);
    PsSetLoadImageNotifyRoutine(ImageMapped);
    return STATUS_SUCCESS;
}
