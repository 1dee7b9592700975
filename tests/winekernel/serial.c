/* corserial.sys as the fixture serves it under Wine's kernel:
 *  - its imports of what Wine lacks or stubs (the interrupt's synchronisation, the error log,
 *    power requests, DPCs, timers) are pointed at the fixture's versions when the image is
 *    mapped, before its DriverEntry runs; device objects and non-paged pool are counted on the
 *    way, and a name clash of a symbolic link is reported as Windows reports it;
 *  - the COM name a port gets from the Ports class installer on Windows (the lowest number free
 *    in the COM name database, "PortName" in the device key, the friendly name "<description>
 *    (COMn)") is given when corserial's add-device attaches to the port device: Wine has no
 *    class installers;
 *  - a port device's restart after a property change (Wine's DIF_PROPERTYCHANGE fails), and the
 *    driver's unload, on the scenario's request. */
#include "fixture.h"

typedef struct {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME;

int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
/* ntifs.h's; the fixture takes no more of that header. */
NTSTATUS NTAPI ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION Name, ULONG Length,
                                 PULONG ReturnLength);

static ULONG_PTR SerialBase, SerialEnd;
static PDRIVER_OBJECT SerialDriver;
static PDRIVER_UNLOAD SerialOriginalUnload;

BOOLEAN InCorserial(ULONG_PTR Address)
{
    return Address >= SerialBase && Address < SerialEnd;
}

/* ---- the Ports class installer's naming ------------------------------------------------------ */

/* Claims the lowest COM number free in the database Windows keeps (bit n-1 of the REG_BINARY
 * "ComDB" under the COM Name Arbiter key for COMn); 0 when none is free. */
static ULONG ClaimComNumber(VOID)
{
    UNICODE_STRING path, value;
    RtlInitUnicodeString(
        &path, L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\COM Name Arbiter");
    RtlInitUnicodeString(&value, L"ComDB");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, NULL, 0, NULL))) {
        return 0;
    }
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 32];
    PKEY_VALUE_PARTIAL_INFORMATION read = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    UCHAR bits[32];
    RtlZeroMemory(bits, sizeof(bits));
    ULONG length = 0;
    if (NT_SUCCESS(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof(buffer),
                                   &length)) &&
        read->Type == REG_BINARY) {
        RtlCopyMemory(bits, read->Data, read->DataLength < 32 ? read->DataLength : 32);
    }
    ULONG number = 0;
    for (ULONG n = 0; n < 256 && number == 0; ++n) {
        if (!(bits[n / 8] & (1u << (n % 8)))) {
            bits[n / 8] |= (UCHAR)(1u << (n % 8));
            number = n + 1;
        }
    }
    if (number != 0) {
        ZwSetValueKey(key, &value, 0, REG_BINARY, bits, sizeof(bits));
    }
    ZwClose(key);
    return number;
}

static VOID SetString(HANDLE Key, const WCHAR* Name, const WCHAR* Text)
{
    UNICODE_STRING name, text;
    RtlInitUnicodeString(&name, Name);
    RtlInitUnicodeString(&text, Text);
    ZwSetValueKey(Key, &name, 0, REG_SZ, text.Buffer, text.Length + sizeof(WCHAR));
}

/* "<DeviceDesc> (COMn)" in the device's own key, the parent of its device key, with the
 * manufacturer beside it as Windows' installer stores it from corport.inf's [Manufacturer]. */
static VOID SetFriendlyName(HANDLE DeviceKey, const WCHAR* PortName)
{
    UCHAR buffer[sizeof(KEY_NAME) + 512 * sizeof(WCHAR)];
    KEY_NAME* name = (KEY_NAME*)buffer;
    ULONG length = 0;
    if (!NT_SUCCESS(
            ZwQueryKey(DeviceKey, KeyNameInformation, buffer, sizeof(buffer) - 2, &length))) {
        return;
    }
    UNICODE_STRING path;
    path.Buffer = name->Name;
    path.Length = (USHORT)name->NameLength;
    while (path.Length != 0 && path.Buffer[path.Length / sizeof(WCHAR) - 1] != L'\\') {
        path.Length -= sizeof(WCHAR);
    }
    path.Length = path.Length != 0 ? (USHORT)(path.Length - sizeof(WCHAR)) : 0;
    path.MaximumLength = path.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE device;
    if (!NT_SUCCESS(ZwOpenKey(&device, KEY_ALL_ACCESS, &attributes))) {
        return;
    }
    UNICODE_STRING descName;
    RtlInitUnicodeString(&descName, L"DeviceDesc");
    UCHAR descBuffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 256 * sizeof(WCHAR)];
    PKEY_VALUE_PARTIAL_INFORMATION desc = (PKEY_VALUE_PARTIAL_INFORMATION)descBuffer;
    RtlZeroMemory(descBuffer, sizeof(descBuffer));
    if (NT_SUCCESS(ZwQueryValueKey(device, &descName, KeyValuePartialInformation, descBuffer,
                                   sizeof(descBuffer) - 2 * sizeof(WCHAR), &length)) &&
        desc->Type == REG_SZ) {
        WCHAR friendly[300];
        swprintf(friendly, L"%s (%s)", (const WCHAR*)desc->Data, PortName);
        SetString(device, L"FriendlyName", friendly);
    }
    SetString(device, L"Mfg", L"TORVA");
    ZwClose(device);
}

static VOID AssignPortName(PDEVICE_OBJECT Pdo)
{
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key))) {
        return;
    }
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"PortName");
    UCHAR probe[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64];
    ULONG length = 0;
    NTSTATUS present =
        ZwQueryValueKey(key, &value, KeyValuePartialInformation, probe, sizeof(probe), &length);
    ULONG number = present == STATUS_OBJECT_NAME_NOT_FOUND ? ClaimComNumber() : 0;
    if (number != 0) {
        WCHAR name[16];
        swprintf(name, L"COM%u", number);
        SetString(key, L"PortName", name);
        SetFriendlyName(key, name);
        InterlockedIncrement((LONG*)&Record.NamesAssigned);
        Event(EvNameAssigned, 0, CorPortNumber(Pdo), number, 0, 0);
    }
    ZwClose(key);
}

/* ---- corserial's imports --------------------------------------------------------------------- */

static VOID NTAPI SerialUnloadObserved(PDRIVER_OBJECT Driver)
{
    SerialOriginalUnload(Driver);
    LONG left = 0;
    for (PDEVICE_OBJECT d = Driver->DeviceObject; d != NULL; d = d->NextDevice) {
        ++left;
    }
    Record.SerialUnloadRan = 1;
    Record.SerialDevicesLeftAtUnload = left;
    Record.DpcsLeftAtUnload = DpcsPending() + TimersSet();
    Event(EvSerialUnload, 0, left, 0, 0, 0);
}

/* corserial's add-device attaches its port device: the port gets its name first, as it would
 * have from its installation, and the driver object is noted. */
static PDEVICE_OBJECT NTAPI NameAndAttach(PDEVICE_OBJECT Source, PDEVICE_OBJECT Target)
{
    if (SerialDriver == NULL) {
        SerialDriver = Source->DriverObject;
        SerialOriginalUnload = SerialDriver->DriverUnload;
        if (SerialOriginalUnload != NULL) {
            SerialDriver->DriverUnload = SerialUnloadObserved;
        }
    }
    AssignPortName(Target);
    return IoAttachDeviceToDeviceStack(Source, Target);
}

/* Wine answers a symbolic link whose name is taken with STATUS_OBJECT_TYPE_MISMATCH; Windows with
 * STATUS_OBJECT_NAME_COLLISION, which corserial tells apart in its event-log entry. */
static NTSTATUS NTAPI SerialIoCreateSymbolicLink(PUNICODE_STRING Link, PUNICODE_STRING Device)
{
    NTSTATUS status = IoCreateSymbolicLink(Link, Device);
    if (status == STATUS_OBJECT_TYPE_MISMATCH) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, Link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   NULL, NULL);
        HANDLE handle;
        if (NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes))) {
            ZwClose(handle);
            status = STATUS_OBJECT_NAME_COLLISION;
        }
    }
    return status;
}

static NTSTATUS NTAPI SerialIoCreateDevice(PDRIVER_OBJECT Driver, ULONG ExtensionSize,
                                           PUNICODE_STRING Name, DEVICE_TYPE Type,
                                           ULONG Characteristics, BOOLEAN Exclusive,
                                           PDEVICE_OBJECT* Device)
{
    NTSTATUS status =
        IoCreateDevice(Driver, ExtensionSize, Name, Type, Characteristics, Exclusive, Device);
    if (NT_SUCCESS(status)) {
        InterlockedIncrement((LONG*)&Record.SerialDevicesCreated);
    }
    return status;
}

static VOID NTAPI SerialIoDeleteDevice(PDEVICE_OBJECT Device)
{
    InterlockedIncrement((LONG*)&Record.SerialDevicesDeleted);
    IoDeleteDevice(Device);
}

static const REPLACEMENT Replacements[] = {
    {"KeSynchronizeExecution", FakeKeSynchronizeExecution},
    {"IoAllocateErrorLogEntry", FakeIoAllocateErrorLogEntry},
    {"IoWriteErrorLogEntry", FakeIoWriteErrorLogEntry},
    {"PoRequestPowerIrp", FakePoRequestPowerIrp},
    {"KeInitializeDpc", FixtureKeInitializeDpc},
    {"KeInsertQueueDpc", FixtureKeInsertQueueDpc},
    {"KeRemoveQueueDpc", FixtureKeRemoveQueueDpc},
    {"KeFlushQueuedDpcs", FixtureKeFlushQueuedDpcs},
    {"KeInitializeTimer", FixtureKeInitializeTimer},
    {"KeSetTimer", FixtureKeSetTimer},
    {"KeCancelTimer", FixtureKeCancelTimer},
    {"IoAttachDeviceToDeviceStack", NameAndAttach},
    {"IoCreateSymbolicLink", SerialIoCreateSymbolicLink},
    {"IoCreateDevice", SerialIoCreateDevice},
    {"IoDeleteDevice", SerialIoDeleteDevice},
    {"ExAllocatePoolWithTag", CountExAllocatePoolWithTag},
    {"ExFreePoolWithTag", CountExFreePoolWithTag},
};

VOID SerialImageMapped(ULONG_PTR Base, SIZE_T Size)
{
    SerialBase = Base;
    SerialEnd = Base + Size;
    Record.SerialImportsReplaced = PatchImports(Base, Replacements, ARRAYSIZE(Replacements));
    Event(EvSerialLoaded, 0, Record.SerialImportsReplaced, 0, 0, 0);
}

/* ---- restart and unload ---------------------------------------------------------------------- */

/* Wine keeps one DOS device directory for everyone. When the Advanced dialog renames a port it
 * points the new name at the port's device for its user at once (DefineDosDevice); on Windows
 * that link lives in the user's own DOS device directory, apart from the global one where the
 * driver creates its link when the port restarts. Under Wine it takes that place, and the
 * driver's link cannot be made: before the port starts again the fixture takes away a link of
 * the port's name that leads to the port's own device (Device, named when the port was up). The
 * driver's own links are gone by then: corserial deletes them at removal. TRUE when there was
 * one. */
static BOOLEAN RemoveUserDosName(PDEVICE_OBJECT Pdo, PCUNICODE_STRING Device)
{
    HANDLE key;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        return FALSE;
    }
    UNICODE_STRING value;
    RtlInitUnicodeString(&value, L"PortName");
    UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 20 * sizeof(WCHAR)];
    RtlZeroMemory(buffer, sizeof(buffer));
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer,
                                      sizeof(buffer) - sizeof(WCHAR), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        return FALSE;
    }
    WCHAR path[40];
    swprintf(path, L"\\DosDevices\\%s",
             (const WCHAR*)((PKEY_VALUE_PARTIAL_INFORMATION)buffer)->Data);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
    HANDLE handle;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes))) {
        return FALSE;
    }
    WCHAR targetBuffer[64];
    UNICODE_STRING target = {0, sizeof(targetBuffer), targetBuffer};
    status = ZwQuerySymbolicLinkObject(handle, &target, NULL);
    ZwClose(handle);
    return NT_SUCCESS(status) && RtlEqualUnicodeString(&target, Device, TRUE) &&
           NT_SUCCESS(IoDeleteSymbolicLink(&link));
}

/* What the plug-and-play manager does for DICS_PROPCHANGE: the stack above the port device is
 * taken down (query-remove, remove) and built again (add-device, start); a refused query-remove
 * is cancelled and leaves the port as it was. */
NTSTATUS SerialRestartPort(ULONG Port)
{
    PDEVICE_OBJECT pdo = NULL;
    for (PDEVICE_OBJECT d = CorcardDriver != NULL ? CorcardDriver->DeviceObject : NULL;
         d != NULL && pdo == NULL; d = d->NextDevice) {
        pdo = CorPortNumber(d) == Port ? d : NULL;
    }
    if (pdo == NULL || SerialDriver == NULL || pdo->AttachedDevice == NULL) {
        return STATUS_NO_SUCH_DEVICE;
    }
    BOOLEAN removedName = FALSE;
    UCHAR nameBuffer[sizeof(OBJECT_NAME_INFORMATION) + 64 * sizeof(WCHAR)];
    POBJECT_NAME_INFORMATION device = (POBJECT_NAME_INFORMATION)nameBuffer;
    ULONG length = 0;
    if (!NT_SUCCESS(ObQueryNameString(pdo->AttachedDevice, device, sizeof(nameBuffer), &length))) {
        device->Name.Length = 0;
    }
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    } else {
        SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        removedName = RemoveUserDosName(pdo, &device->Name);
        status = SerialDriver->DriverExtension->AddDevice(SerialDriver, pdo);
        if (NT_SUCCESS(status)) {
            status = SendPnp(pdo, IRP_MN_START_DEVICE);
        }
    }
    Event(EvRestart, 0, Port, (ULONG)status, removedName, 0);
    return status;
}

NTSTATUS SerialUnload(VOID)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name,
                         L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\corserial");
    return ZwUnloadDriver(&name);
}
