// The simulated PCI bus driver: one PDO per plugged adapter, answering what the platform's PCI
// bus driver answers for a function. A bus driver has no one to pass requests to: every request
// that reaches its PDO is completed here, either at once or (per request kind, for tests) by
// returning STATUS_PENDING and completing later from the bus completion thread at
// DISPATCH_LEVEL, as a DPC of the real bus driver would.
#include "internal.h"

#include <cstring>

namespace hm {
namespace {

constexpr ULONG PciPdoMagic = 0x50434950; // "PCIP"
constexpr ULONG PciTag = 0x69635048;      // "Hpci"

struct PciPdoExtension {
    ULONG Magic;
    Board* Card;
};

Board* CardOf(PDEVICE_OBJECT device)
{
    auto ext = static_cast<PciPdoExtension*>(device->DeviceExtension);
    return ext && ext->Magic == PciPdoMagic ? ext->Card : nullptr;
}

std::string RelationName(DEVICE_RELATION_TYPE type)
{
    switch (type) {
    case BusRelations:
        return "BusRelations";
    case EjectionRelations:
        return "EjectionRelations";
    case PowerRelations:
        return "PowerRelations";
    case RemovalRelations:
        return "RemovalRelations";
    default:
        return "relation type " + std::to_string(type);
    }
}

// How one request ends.
struct Answer {
    NTSTATUS Status;
    bool SetInformation;
    ULONG_PTR Information;
    HmBusRequest Kind;
    ULONG Detail1;
    ULONG Detail2;
    std::string Text;
    bool DeleteAfter; // the PDO goes once the request is complete (removal of a vanished board)
    bool StartNextPower;
};

std::u16string Hex4(ULONG v)
{
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string s;
    for (int shift = 12; shift >= 0; shift -= 4) {
        s.push_back(digits[(v >> shift) & 0xF]);
    }
    return s;
}

std::u16string Hex2(ULONG v)
{
    return Hex4(v).substr(2);
}

// Allocates an answer string (or multi-string) from paged pool, as the platform's bus driver does.
PWCHAR PoolText(const std::vector<std::u16string>& parts, bool multi)
{
    size_t units = 1;
    for (const auto& p : parts) {
        units += p.size() + 1;
    }
    if (!multi) {
        units = (parts.empty() ? 0 : parts[0].size()) + 1;
    }
    HkPlatformCalls platform;
    auto text =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, units * sizeof(WCHAR), PciTag));
    if (!text) {
        return nullptr;
    }
    size_t at = 0;
    for (const auto& p : parts) {
        for (char16_t c : p) {
            text[at++] = static_cast<WCHAR>(c);
        }
        text[at++] = 0;
        if (!multi) {
            return text;
        }
    }
    text[at] = 0;
    return text;
}

void QueryId(Board& b, BUS_QUERY_ID_TYPE type, Answer& a)
{
    USHORT vendor, device, subVendor, subsystem;
    UCHAR revision, progIf, subClass, baseClass;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        vendor = ConfigRead16(b.Config, CfgVendor);
        device = ConfigRead16(b.Config, CfgVendor + 2);
        subVendor = ConfigRead16(b.Config, CfgSubVendor);
        subsystem = ConfigRead16(b.Config, CfgSubsystem);
        revision = b.Config.Space[CfgRevision];
        progIf = b.Config.Space[CfgRevision + 1];
        subClass = b.Config.Space[CfgRevision + 2];
        baseClass = b.Config.Space[CfgRevision + 3];
    }
    std::u16string ven = u"PCI\\VEN_" + Hex4(vendor);
    std::u16string venDev = ven + u"&DEV_" + Hex4(device);
    std::u16string subsys = u"&SUBSYS_" + Hex4(subsystem) + Hex4(subVendor);
    std::u16string rev = u"&REV_" + Hex2(revision);
    std::u16string cc = u"CC_" + Hex2(baseClass) + Hex2(subClass);
    std::u16string ccp = cc + Hex2(progIf);
    std::vector<std::u16string> parts;
    bool multi = false;
    a.Detail1 = type;
    a.Text = IdTypeName(type);
    switch (type) {
    case BusQueryDeviceID:
        parts = {venDev + subsys + rev};
        break;
    case BusQueryHardwareIDs:
        multi = true;
        parts = {venDev + subsys + rev, venDev + subsys, venDev + u"&" + ccp, venDev + u"&" + cc};
        break;
    case BusQueryCompatibleIDs:
        multi = true;
        parts = {venDev + rev, venDev,         ven + u"&" + ccp, ven + u"&" + cc,
                 ven,          u"PCI\\" + ccp, u"PCI\\" + cc};
        break;
    case BusQueryInstanceID: {
        HmBusAnswers answers;
        {
            std::lock_guard<HkMutex> lock(b.Mu);
            answers = b.Answers;
        }
        if (answers.InstanceIdAnswer == HmIdAnswer::Fail) {
            a.Status = answers.InstanceIdFailure;
            a.SetInformation = true;
            a.Information = 0;
            return;
        }
        if (answers.InstanceIdAnswer == HmIdAnswer::None) {
            a.Status = STATUS_SUCCESS;
            a.SetInformation = true;
            a.Information = 0;
            a.Text += " (no string)";
            return;
        }
        parts = {answers.InstanceId};
        break;
    }
    default:
        return; // not a bus driver's answer: completed with the status it carries
    }
    PWCHAR text = PoolText(parts, multi);
    a.Status = text ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    a.SetInformation = true;
    a.Information = reinterpret_cast<ULONG_PTR>(text);
    if (text && !multi) {
        a.Text += " \"" + HmNarrow(parts[0]) + "\"";
    }
}

void Config(Board& b, PIO_STACK_LOCATION sp, bool write, Answer& a)
{
    ULONG offset = sp->Parameters.ReadWriteConfig.Offset;
    ULONG length = sp->Parameters.ReadWriteConfig.Length;
    a.Kind = write ? HmBusRequest::WriteConfig : HmBusRequest::ReadConfig;
    a.Detail1 = offset;
    a.Detail2 = length;
    a.Text = "offset " + std::to_string(offset) + " length " + std::to_string(length);
    a.SetInformation = true;
    a.Information = 0;
    if (sp->Parameters.ReadWriteConfig.WhichSpace != PCI_WHICHSPACE_CONFIG ||
        !sp->Parameters.ReadWriteConfig.Buffer) {
        a.Status = STATUS_INVALID_PARAMETER;
        return;
    }
    ULONG moved = offset >= 256 ? 0 : (length > 256 - offset ? 256 - offset : length);
    bool remap = false;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        if (!write) {
            a.Status = b.Answers.ReadConfigStatus;
            if (!NT_SUCCESS(a.Status)) {
                return;
            }
            std::memcpy(sp->Parameters.ReadWriteConfig.Buffer, b.Config.Space + offset, moved);
        } else {
            a.Status = STATUS_SUCCESS;
            ConfigWrite(b, offset, static_cast<const UCHAR*>(sp->Parameters.ReadWriteConfig.Buffer),
                        moved);
            remap = true;
        }
    }
    a.Information = moved;
    if (remap) {
        BoardRefreshDecode(b);
    }
}

ULONG FirstTranslatedVector(const CM_RESOURCE_LIST* list, bool* found)
{
    *found = false;
    if (!list) {
        return 0;
    }
    const UCHAR* at = reinterpret_cast<const UCHAR*>(list->List);
    for (ULONG f = 0; f < list->Count; ++f) {
        auto full = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(at);
        const UCHAR* p =
            reinterpret_cast<const UCHAR*>(full->PartialResourceList.PartialDescriptors);
        for (ULONG i = 0; i < full->PartialResourceList.Count; ++i) {
            auto d = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(p);
            if (d->Type == CmResourceTypeInterrupt) {
                *found = true;
                return d->u.Interrupt.Vector;
            }
            p += sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
            if (d->Type == CmResourceTypeDeviceSpecific) {
                p += d->u.DeviceSpecificData.DataSize;
            }
        }
        at = p;
    }
    return 0;
}

void Start(Board& b, PIO_STACK_LOCATION sp, Answer& a)
{
    a.Kind = HmBusRequest::Start;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        a.Status = b.Answers.StartStatus;
        if (NT_SUCCESS(a.Status)) {
            if (b.Answers.ProgramBars) {
                BoardProgramBars(b, sp->Parameters.StartDevice.AllocatedResources);
            }
            USHORT command = ConfigRead16(b.Config, CfgCommand) | CommandIoEnable;
            std::memcpy(b.Config.Space + CfgCommand, &command, 2);
            bool found = false;
            ULONG vector = FirstTranslatedVector(
                sp->Parameters.StartDevice.AllocatedResourcesTranslated, &found);
            b.HasVector = found;
            b.Vector = vector;
            b.BackoffMs = 0;
            b.Started = true;
        }
    }
    BoardRefreshDecode(b);
}

// The function stops decoding: stop, surprise removal and removal all end here.
void Quiet(Board& b, bool disableDecode)
{
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        b.Started = false;
        if (disableDecode) {
            USHORT command = ConfigRead16(b.Config, CfgCommand) & ~CommandIoEnable;
            std::memcpy(b.Config.Space + CfgCommand, &command, 2);
        }
    }
    BoardRefreshDecode(b);
}

void TargetRelation(PDEVICE_OBJECT pdo, PIRP irp, Answer& a)
{
    HkPlatformCalls platform;
    auto rel = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PciTag));
    if (!rel) {
        a.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    ObReferenceObject(pdo);
    rel->Count = 1;
    rel->Objects[0] = pdo;
    if (irp->IoStatus.Information) {
        ExFreePool(reinterpret_cast<PVOID>(irp->IoStatus.Information));
    }
    a.Status = STATUS_SUCCESS;
    a.SetInformation = true;
    a.Information = reinterpret_cast<ULONG_PTR>(rel);
}

// The PDO is about to be deleted: its address may be reused by the next device object.
void ForgetPdo(Board& b)
{
    std::lock_guard<HkMutex> lock(M().Mu);
    b.Pdo = nullptr;
}

NTSTATUS Finish(PDEVICE_OBJECT pdo, Board& b, PIRP irp, const Answer& a)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    bool pend;
    bool configured;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        configured = (b.Answers.Pending & static_cast<unsigned>(a.Kind)) != 0;
        pend = configured || M().ForcedPending;
        b.Records.push_back(HmBusRecord{sp->MajorFunction, sp->MinorFunction, a.Detail1, a.Detail2,
                                        pend, a.Status, HkCurrentIrql()});
    }
    std::string what = sp->MajorFunction == IRP_MJ_POWER ? HmPowerMinorName(sp->MinorFunction)
                                                         : HmPnpMinorName(sp->MinorFunction);
    AddTrace("pci <- " + b.Name + ": " + what + (a.Text.empty() ? "" : " " + a.Text) + " = " +
             HmStatusName(a.Status) + (pend ? " (pending)" : ""));
    if (a.StartNextPower) {
        PoStartNextPowerIrp(irp);
    }
    if (!pend) {
        irp->IoStatus.Status = a.Status;
        if (a.SetInformation) {
            irp->IoStatus.Information = a.Information;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (a.DeleteAfter) {
            ForgetPdo(b);
            IoDeleteDevice(pdo);
        }
        return a.Status;
    }
    IoMarkIrpPending(irp);
    NTSTATUS status = a.Status;
    bool setInfo = a.SetInformation;
    ULONG_PTR info = a.Information;
    bool deleteAfter = a.DeleteAfter;
    Board* card = &b;
    PostCompletion(
        [irp, status, setInfo, info, deleteAfter, pdo, card] {
            irp->IoStatus.Status = status;
            if (setInfo) {
                irp->IoStatus.Information = info;
            }
            // The PDO of a vanished board goes before the removal is reported done, as a bus
            // driver deletes it in its removal path: whoever waits for the removal then finds it
            // gone (the sender's reference keeps the object until the request is finished).
            if (deleteAfter) {
                ForgetPdo(*card);
                IoDeleteDevice(pdo);
            }
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            KeLowerIrql(old);
        },
        configured);
    return STATUS_PENDING;
}

NTSTATUS PciPnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    Board* card = CardOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Answer a{irp->IoStatus.Status, false, 0, HmBusRequest::Other, 0, 0, "", false, false};
    if (!card) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return a.Status;
    }
    Board& b = *card;
    switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Start(b, sp, a);
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        a.Kind = HmBusRequest::StopRemove;
        a.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        a.Kind = HmBusRequest::StopRemove;
        Quiet(b, true);
        a.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        a.Kind = HmBusRequest::StopRemove;
        Quiet(b, false);
        a.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        a.Kind = HmBusRequest::StopRemove;
        Quiet(b, true);
        a.Status = STATUS_SUCCESS;
        // A bus driver deletes its PDO only when the device is really gone; a board still in
        // its slot keeps its PDO for the next driver that is loaded on it.
        std::lock_guard<HkMutex> lock(b.Mu);
        if (!b.Present) {
            // The function driver above passes the removal down before it detaches; the PDO
            // goes once nothing is attached to it any more.
            if (pdo->AttachedDevice) {
                b.DeleteWhenDetached = true;
                a.Text = "(board gone: PDO deleted once the stack above has detached)";
            } else {
                a.DeleteAfter = true;
                a.Text = "(board gone: PDO deleted)";
            }
        }
        break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            a.Text = "TargetDeviceRelation";
            TargetRelation(pdo, irp, a);
        } else {
            a.Text = RelationName(sp->Parameters.QueryDeviceRelations.Type);
        }
        break;
    case IRP_MN_QUERY_ID:
        a.Kind = HmBusRequest::QueryId;
        QueryId(b, sp->Parameters.QueryId.IdType, a);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        a.Kind = HmBusRequest::QueryCapabilities;
        PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
        std::lock_guard<HkMutex> lock(b.Mu);
        a.Status = b.Answers.CapabilitiesStatus;
        if (NT_SUCCESS(a.Status) && caps) {
            USHORT size = caps->Size;
            USHORT version = caps->Version;
            *caps = b.Answers.Capabilities;
            caps->Size = size;
            caps->Version = version;
        }
        break;
    }
    case IRP_MN_READ_CONFIG:
        Config(b, sp, false, a);
        break;
    case IRP_MN_WRITE_CONFIG:
        Config(b, sp, true, a);
        break;
    default:
        break; // QUERY_INTERFACE, bus information, device state...: the status it carries
    }
    return Finish(pdo, b, irp, a);
}

NTSTATUS PciPower(PDEVICE_OBJECT pdo, PIRP irp)
{
    Board* card = CardOf(pdo);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Answer a{irp->IoStatus.Status, false, 0, HmBusRequest::Power, 0, 0, "", false, true};
    if (!card) {
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return a.Status;
    }
    Board& b = *card;
    a.Detail1 = sp->Parameters.Power.Type;
    a.Detail2 = sp->Parameters.Power.State.SystemState;
    switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (sp->Parameters.Power.Type == DevicePowerState) {
            DEVICE_POWER_STATE d = sp->Parameters.Power.State.DeviceState;
            a.Text = "D" + std::to_string(d - 1);
            bool reset = false;
            {
                std::lock_guard<HkMutex> lock(b.Mu);
                a.Status = d == PowerDeviceD0 ? b.Answers.D0Status : STATUS_SUCCESS;
                if (NT_SUCCESS(a.Status)) {
                    // Leaving D3 the function comes back from a reset (D3hot to D0); the bus
                    // driver restores the configuration space, but the UARTs start afresh.
                    reset = b.Power == PowerDeviceD3 && d == PowerDeviceD0;
                    b.Power = d;
                    b.Config.Space[CfgPmCsr] = static_cast<UCHAR>((d - 1) & 3);
                    if (reset) {
                        for (ULONG i = 0; i < b.UartCount; ++i) {
                            UartReset(b.Uarts[i], LineNow());
                        }
                    }
                }
            }
            if (NT_SUCCESS(a.Status)) {
                POWER_STATE state;
                state.DeviceState = d;
                PoSetPowerState(pdo, DevicePowerState, state);
                BoardRefreshDecode(b);
            }
        } else {
            a.Text = "S" + std::to_string(sp->Parameters.Power.State.SystemState - 1);
            a.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_QUERY_POWER:
        a.Text = sp->Parameters.Power.Type == DevicePowerState
                     ? "D" + std::to_string(sp->Parameters.Power.State.DeviceState - 1)
                     : "S" + std::to_string(sp->Parameters.Power.State.SystemState - 1);
        a.Status = STATUS_SUCCESS;
        break;
    default:
        break; // wait-wake (no wake support), power sequence: the status it carries
    }
    return Finish(pdo, b, irp, a);
}

NTSTATUS PciOther(PDEVICE_OBJECT, PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PciInvalid(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

VOID PciUnload(PDRIVER_OBJECT) {}

NTSTATUS PciDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = PciInvalid;
    }
    driver->MajorFunction[IRP_MJ_PNP] = PciPnp;
    driver->MajorFunction[IRP_MJ_POWER] = PciPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PciOther;
    driver->DriverUnload = PciUnload;
    return STATUS_SUCCESS;
}

} // namespace

void PciReapPdo(Board& b)
{
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<HkMutex> lock(b.Mu);
        if (!b.DeleteWhenDetached) {
            return;
        }
        b.DeleteWhenDetached = false;
    }
    {
        std::lock_guard<HkMutex> lock(M().Mu);
        pdo = b.Pdo;
        b.Pdo = nullptr;
    }
    if (pdo) {
        IoDeleteDevice(pdo);
    }
}

PDRIVER_OBJECT EnsurePciDriver()
{
    Machine& m = M();
    {
        std::lock_guard<HkMutex> lock(m.Mu);
        if (m.PciDriver) {
            return m.PciDriver;
        }
    }
    PDRIVER_OBJECT driver = HkLoadDriver(PciDriverEntry, L"pci");
    std::lock_guard<HkMutex> lock(m.Mu);
    m.PciDriver = driver;
    return driver;
}

PDEVICE_OBJECT CreatePciPdo(const std::shared_ptr<Board>& board)
{
    PDRIVER_OBJECT driver = EnsurePciDriver();
    if (!driver) {
        return nullptr;
    }
    std::u16string name = u"\\Device\\NTPNP_PCI00" + std::u16string(1, u'0' + board->Slot / 10) +
                          std::u16string(1, u'0' + board->Slot % 10);
    WCHAR buffer[64];
    for (size_t i = 0; i < name.size(); ++i) {
        buffer[i] = static_cast<WCHAR>(name[i]);
    }
    UNICODE_STRING uname;
    uname.Buffer = buffer;
    uname.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    uname.MaximumLength = uname.Length;
    PDEVICE_OBJECT pdo = nullptr;
    HkPlatformCalls platform;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PciPdoExtension), &uname, FILE_DEVICE_BUS_EXTENDER,
                       FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    auto ext = static_cast<PciPdoExtension*>(pdo->DeviceExtension);
    ext->Magic = PciPdoMagic;
    ext->Card = board.get();
    pdo->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

} // namespace hm

using namespace hm;

DEVICE_CAPABILITIES HmDefaultCapabilities(ULONG slot)
{
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0, sizeof caps);
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.DeviceD1 = 1;
    caps.DeviceD2 = 1;
    caps.Address = (slot << 16) | 0;
    caps.UINumber = slot;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
    return caps;
}

HmBusAnswers HmGetBusAnswers(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return HmBusAnswers{};
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return b->Answers;
}

void HmSetBusAnswers(PDEVICE_OBJECT pdo, const HmBusAnswers& answers)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return;
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    b->Answers = answers;
}

std::vector<HmBusRecord> HmBusRecords(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<Board> b = BoardOf(pdo);
    if (!b) {
        return {};
    }
    std::lock_guard<HkMutex> lock(b->Mu);
    return b->Records;
}
