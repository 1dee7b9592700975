// Object names: symbolic links and device interfaces.
//
// Symbolic links live in one name space of the object manager: \DosDevices\X, \??\X and
// \GLOBAL??\X are the same name, and so are the Win32 forms \\.\X and \\?\X that a program opens;
// names compare without case. A link names a target path, usually a device object's name;
// opening follows links until the path names something that is not one.
//
// A device interface is registered for a PDO under a name made of the PDO's device instance path
// and the interface class; while enabled, that name is a symbolic link to the PDO's device object
// name, so an open through it reaches the top of the PDO's stack. A reference string, when given,
// follows the link's name and reaches the driver as the file object's FileName.
#include "internal.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace hk {
namespace {

struct LinkRecord {
    std::u16string Name; // \??\ + the name as created
    std::u16string Target;
    int InterfaceUses = 0; // enabled interfaces behind this link (0: a driver's own link)
};

struct InterfaceRecord {
    std::u16string Name;     // what IoRegisterDeviceInterface returned
    std::u16string LinkName; // Name without the reference string
    GUID Class;
    PDEVICE_OBJECT Pdo;
    bool Enabled = false;
    // A disable failed for want of resources: the plug-and-play manager disables the interface
    // itself when it removes the device.
    bool DisableFailed = false;
};

std::mutex NamesLock;
std::map<std::u16string, LinkRecord> Links; // by Upcase(Name)
std::vector<InterfaceRecord> Interfaces;

const std::u16string Root = u"\\??\\";

// The one spelling of a name in the \?? directory.
std::u16string Canonical(const std::u16string& name)
{
    static const std::u16string aliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\??\\",
                                             u"\\\\.\\", u"\\\\?\\"};
    for (const std::u16string& alias : aliases) {
        if (StartsWithNoCase(name, alias)) {
            return Root + name.substr(alias.size());
        }
    }
    return name;
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    std::u16string out;
    for (const char* p = text; *p; ++p) {
        out += static_cast<char16_t>(*p);
    }
    return out;
}

// Under NamesLock.
InterfaceRecord* FindInterface(const std::u16string& name)
{
    std::u16string wanted = Upcase(Canonical(name));
    for (InterfaceRecord& record : Interfaces) {
        if (Upcase(record.Name) == wanted) {
            return &record;
        }
    }
    return nullptr;
}

bool ValidName(const UNICODE_STRING* name)
{
    return name != nullptr && name->Buffer != nullptr && name->Length != 0;
}

} // namespace

NTSTATUS ResolveSymbolicLinks(const std::u16string& path, std::u16string* resolved)
{
    std::u16string current = Canonical(path);
    std::lock_guard<std::mutex> guard(NamesLock);
    for (int depth = 0; depth < 32; ++depth) {
        if (!StartsWithNoCase(current, Root)) {
            *resolved = current;
            return STATUS_SUCCESS;
        }
        size_t end = current.find(u'\\', Root.size());
        std::u16string name = current.substr(0, end);
        std::u16string rest = end == std::u16string::npos ? u"" : current.substr(end);
        auto link = Links.find(Upcase(name));
        if (link == Links.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        current = Canonical(link->second.Target + rest);
    }
    return STATUS_OBJECT_NAME_NOT_FOUND; // a loop of links
}

void ResetNames()
{
    std::lock_guard<std::mutex> guard(NamesLock);
    Links.clear();
    Interfaces.clear();
}

void CheckCleanNames(bool& clean)
{
    std::vector<LinkRecord> links;
    std::vector<InterfaceRecord> interfaces;
    {
        std::lock_guard<std::mutex> guard(NamesLock);
        for (const auto& entry : Links) {
            links.push_back(entry.second);
        }
        interfaces = Interfaces;
    }
    for (const LinkRecord& link : links) {
        std::u16string target;
        if (link.InterfaceUses == 0 &&
            ResolveSymbolicLinks(link.Target, &target) == STATUS_SUCCESS &&
            DeviceNameExists(target)) {
            continue; // the device is still there (and reported if it should not be)
        }
        if (link.InterfaceUses == 0) {
            Report("symbolic link %s is left at the end of the test, pointing to %s, which is no "
                   "longer a device",
                   Narrow(link.Name).c_str(), Narrow(link.Target).c_str());
            clean = false;
        }
    }
    for (const InterfaceRecord& record : interfaces) {
        if (record.Enabled && (!HkDeviceExists(record.Pdo) || HkDeviceDeleted(record.Pdo))) {
            Report("device interface %s is still enabled at the end of the test, but its PDO %p "
                   "was deleted",
                   Narrow(record.Name).c_str(), static_cast<void*>(record.Pdo));
            clean = false;
        }
    }
}

void DisableInterfaceLocked(InterfaceRecord& record)
{
    record.Enabled = false;
    record.DisableFailed = false;
    auto link = Links.find(Upcase(record.LinkName));
    if (link != Links.end() && --link->second.InterfaceUses == 0) {
        Links.erase(link);
    }
}

void DeviceRemoved(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(NamesLock);
    for (InterfaceRecord& record : Interfaces) {
        if (record.Pdo == pdo && record.Enabled && record.DisableFailed) {
            DisableInterfaceLocked(record);
        }
    }
}

} // namespace hk

using namespace hk;

// ---------------------------------------------------------------------------------------------
// Symbolic links

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                         PUNICODE_STRING DeviceName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    if (!ValidName(SymbolicLinkName) || !ValidName(DeviceName)) {
        Report("IoCreateSymbolicLink without a link name or a target");
        return STATUS_INVALID_PARAMETER;
    }
    if (ShouldFail(HkFault::SymbolicLink)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string name = Canonical(FromCounted(SymbolicLinkName));
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::lock_guard<std::mutex> guard(NamesLock);
    std::u16string key = Upcase(name);
    if (Links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Links[key] = LinkRecord{name, FromCounted(DeviceName), 0};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (!ValidName(SymbolicLinkName)) {
        Report("IoDeleteSymbolicLink without a link name");
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(NamesLock);
    auto link = Links.find(Upcase(Canonical(FromCounted(SymbolicLinkName))));
    if (link == Links.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (link->second.InterfaceUses != 0) {
        Report("IoDeleteSymbolicLink(%s): the link belongs to an enabled device interface "
               "(IoSetDeviceInterfaceState disables it)",
               Narrow(link->second.Name).c_str());
        return STATUS_ACCESS_DENIED;
    }
    Links.erase(link);
    return STATUS_SUCCESS;
}

std::u16string HkSymbolicLinkTarget(const std::u16string& link)
{
    std::lock_guard<std::mutex> guard(NamesLock);
    auto it = Links.find(Upcase(Canonical(link)));
    return it == Links.end() ? std::u16string() : it->second.Target;
}

std::vector<std::u16string> HkSymbolicLinks()
{
    std::lock_guard<std::mutex> guard(NamesLock);
    std::vector<std::u16string> names;
    for (const auto& entry : Links) {
        names.push_back(entry.second.Name);
    }
    return names;
}

// ---------------------------------------------------------------------------------------------
// Device interfaces

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                              CONST GUID* InterfaceClassGuid,
                                              PUNICODE_STRING ReferenceString,
                                              PUNICODE_STRING SymbolicLinkName)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        Report("IoRegisterDeviceInterface without a class or a place for the name");
        return STATUS_INVALID_PARAMETER;
    }
    if (ShouldFail(HkFault::DeviceInterface)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!HkDeviceExists(PhysicalDeviceObject) || HkDeviceDeleted(PhysicalDeviceObject)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HkDeviceInstance instance = DeviceInstanceOf(PhysicalDeviceObject);
    if (instance.InstancePath.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST; // not a PDO the plug-and-play manager knows
    }
    std::u16string reference = FromCounted(ReferenceString);
    if (reference.find_first_of(u"\\/") != std::u16string::npos) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string mangled = instance.InstancePath;
    for (char16_t& c : mangled) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    std::u16string linkName = Root + mangled + u"#" + GuidText(*InterfaceClassGuid);
    std::u16string name = reference.empty() ? linkName : linkName + u"\\" + reference;
    {
        std::lock_guard<std::mutex> guard(NamesLock);
        // Registering again gives the name registered before; a new PDO of the same device
        // instance (the device was removed and found again) takes a disabled record over.
        InterfaceRecord* known = FindInterface(name);
        if (known != nullptr && !known->Enabled) {
            known->Pdo = PhysicalDeviceObject;
        }
        if (known == nullptr) {
            InterfaceRecord record;
            record.Name = name;
            record.LinkName = linkName;
            record.Class = *InterfaceClassGuid;
            record.Pdo = PhysicalDeviceObject;
            Interfaces.push_back(record);
        }
    }
    if (!AllocateUnicodeString(name, SymbolicLinkName)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (!ValidName(SymbolicLinkName)) {
        Report("IoSetDeviceInterfaceState without a name");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string given = FromCounted(SymbolicLinkName);
    if (ShouldFail(HkFault::DeviceInterface)) {
        std::lock_guard<std::mutex> guard(NamesLock);
        InterfaceRecord* record = FindInterface(given);
        if (record != nullptr && !Enable) {
            record->DisableFailed = true;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::u16string pdoName;
    PDEVICE_OBJECT pdo;
    {
        std::lock_guard<std::mutex> guard(NamesLock);
        InterfaceRecord* record = FindInterface(given);
        if (record == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!Enable) {
            if (!record->Enabled) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            DisableInterfaceLocked(*record);
            return STATUS_SUCCESS;
        }
        if (record->Enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        pdo = record->Pdo;
    }
    pdoName = HkDeviceName(pdo);
    if (pdoName.empty() || !HkDeviceExists(pdo)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::mutex> guard(NamesLock);
    InterfaceRecord* record = FindInterface(given);
    if (record == nullptr || record->Enabled) {
        return record == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_NAME_EXISTS;
    }
    record->Enabled = true;
    LinkRecord& link = Links[Upcase(record->LinkName)];
    if (link.InterfaceUses++ == 0) {
        link.Name = record->LinkName;
        link.Target = pdoName;
    }
    return STATUS_SUCCESS;
}

std::vector<HkDeviceInterface> HkDeviceInterfaces()
{
    std::lock_guard<std::mutex> guard(NamesLock);
    std::vector<HkDeviceInterface> result;
    for (const InterfaceRecord& record : Interfaces) {
        result.push_back(HkDeviceInterface{record.Name, record.Class, record.Pdo, record.Enabled});
    }
    return result;
}
