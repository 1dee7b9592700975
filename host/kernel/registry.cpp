// A small registry: keys by full path ("\Registry\Machine\System\..."), compared without case,
// each with typed values; handles to open keys with the access they were opened for. The kernel
// routines follow the configuration manager's answers: a value query reports the size it needs in
// ResultLength, fails with STATUS_BUFFER_TOO_SMALL when not even the fixed part of the record
// fits and returns STATUS_BUFFER_OVERFLOW with the fixed part filled when the name or data do not;
// a key is created only below an existing one; a handle opened for reading cannot write.
#include "internal.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <unordered_map>

namespace hk {
namespace {

struct ValueRecord {
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};

struct KeyRecord {
    std::u16string Path;
    std::map<std::u16string, ValueRecord> Values; // by Upcase(name)
};

struct HandleRecord {
    std::u16string Key; // Upcase(path)
    ACCESS_MASK Access;
};

std::mutex RegistryLock;
std::map<std::u16string, KeyRecord> Keys; // by Upcase(path)
std::unordered_map<HANDLE, HandleRecord> Handles;
ULONG_PTR HandleCounter;
std::function<HkDeviceInstance(PDEVICE_OBJECT)> InstanceHook;

const std::u16string Machine = u"\\Registry\\Machine";
const std::u16string CurrentControlSet = Machine + u"\\System\\CurrentControlSet";
const std::u16string PortsClass = u"{4d36e978-e325-11ce-bfc1-08002be10318}";

std::u16string Parent(const std::u16string& path)
{
    size_t last = path.rfind(u'\\');
    return last == std::u16string::npos || last == 0 ? std::u16string() : path.substr(0, last);
}

// Under RegistryLock.
void EnsureLocked(const std::u16string& path)
{
    std::u16string key = Upcase(path);
    if (Keys.count(key) != 0 || path.empty()) {
        return;
    }
    EnsureLocked(Parent(path));
    Keys[key] = KeyRecord{path, {}};
}

void CreateSkeletonLocked()
{
    for (const std::u16string& path :
         {CurrentControlSet + u"\\Services", CurrentControlSet + u"\\Control\\Class",
          CurrentControlSet + u"\\Enum", Machine + u"\\HARDWARE\\DEVICEMAP",
          Machine + u"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
          std::u16string(u"\\Registry\\User\\.DEFAULT")}) {
        EnsureLocked(path);
    }
}

// Generic rights map onto the key rights, as the key object type's mapping does.
ACCESS_MASK MapAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) {
        granted |= KEY_READ;
    }
    if (desired & GENERIC_WRITE) {
        granted |= KEY_WRITE;
    }
    if (desired & GENERIC_EXECUTE) {
        granted |= KEY_EXECUTE;
    }
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        granted |= KEY_ALL_ACCESS;
    }
    return granted;
}

// Under RegistryLock.
HANDLE OpenHandleLocked(const std::u16string& path, ACCESS_MASK access)
{
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0xFFFFFFFF80000000ull) +
                                             4 * ++HandleCounter);
    Handles[handle] = HandleRecord{Upcase(path), MapAccess(access)};
    return handle;
}

// Under RegistryLock: the key a handle refers to, with the access it was opened for.
NTSTATUS KeyOfHandle(HANDLE handle, ACCESS_MASK needed, const char* routine, KeyRecord** key)
{
    auto it = Handles.find(handle);
    if (it == Handles.end()) {
        Report("%s(%p): not an open registry key handle", routine, handle);
        return STATUS_INVALID_HANDLE;
    }
    if ((it->second.Access & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    auto found = Keys.find(it->second.Key);
    if (found == Keys.end()) {
        return STATUS_KEY_DELETED;
    }
    *key = &found->second;
    return STATUS_SUCCESS;
}

// Under RegistryLock: the full path an OBJECT_ATTRIBUTES names.
NTSTATUS PathOf(const OBJECT_ATTRIBUTES* attributes, const char* routine, std::u16string* path)
{
    if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) {
        Report("%s with an OBJECT_ATTRIBUTES that was not initialised "
               "(InitializeObjectAttributes)",
               routine);
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string name = FromCounted(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr) {
        KeyRecord* root = nullptr;
        NTSTATUS status = KeyOfHandle(attributes->RootDirectory, 0, routine, &root);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!name.empty() && name[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        *path = name.empty() ? root->Path : root->Path + u"\\" + name;
        return STATUS_SUCCESS;
    }
    if (name.empty() || name[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    *path = name;
    return STATUS_SUCCESS;
}

// Driver package isolation (Driver Verifier's isolation rules): a driver reaches its registry
// state through the handles the system gives it (IoOpenDeviceRegistryKey and the like, and keys
// below them), never by a path it knows. The serial platform's one exception is the device map
// where a serial port publishes its name, HARDWARE\DEVICEMAP\SERIALCOMM.
void CheckIsolated(const std::u16string& path, const char* routine)
{
    const std::u16string serialComm = Upcase(Machine + u"\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    const std::u16string key = Upcase(path);
    if (key == serialComm || key.rfind(serialComm + u"\\", 0) == 0) {
        return;
    }
    Report("%s opens %s by an absolute path: an isolated driver reaches its registry state "
           "through the keys the system opens for it (IoOpenDeviceRegistryKey, "
           "IoOpenDriverRegistryKey)",
           routine, Narrow(path).c_str());
}

// The root an RTL_REGISTRY_* value stands for.
std::u16string RelativeRoot(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_SERVICES:
        return CurrentControlSet + u"\\Services";
    case RTL_REGISTRY_CONTROL:
        return CurrentControlSet + u"\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return Machine + u"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
        return Machine + u"\\HARDWARE\\DEVICEMAP";
    case RTL_REGISTRY_USER:
        return u"\\Registry\\User\\.DEFAULT";
    default:
        return {};
    }
}

// Under RegistryLock: the key of an Rtl*RegistryValue call, created (below an existing parent)
// when create is set.
NTSTATUS RtlKeyLocked(ULONG relativeTo, PCWSTR pathText, bool create, const char* routine,
                      KeyRecord** key)
{
    relativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        return KeyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(pathText)), KEY_SET_VALUE,
                           routine, key);
    }
    std::u16string path = FromTerminated(pathText);
    if (relativeTo != RTL_REGISTRY_ABSOLUTE) {
        std::u16string root = RelativeRoot(relativeTo);
        if (root.empty()) {
            return STATUS_INVALID_PARAMETER;
        }
        path = path.empty() ? root : root + u"\\" + path;
    }
    CheckIsolated(path, routine);
    auto it = Keys.find(Upcase(path));
    if (it == Keys.end()) {
        if (!create || Keys.count(Upcase(Parent(path))) == 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        EnsureLocked(path);
        it = Keys.find(Upcase(path));
    }
    *key = &it->second;
    return STATUS_SUCCESS;
}

void CheckPassive(const char* routine)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, routine);
}

} // namespace

void RegistryEnsureKey(const std::u16string& path)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    EnsureLocked(path);
}

HkDeviceInstance DeviceInstanceOf(PDEVICE_OBJECT pdo)
{
    std::function<HkDeviceInstance(PDEVICE_OBJECT)> hook;
    {
        std::lock_guard<std::mutex> guard(RegistryLock);
        hook = InstanceHook;
    }
    return hook ? hook(pdo) : HkDeviceInstance{};
}

void ResetRegistry()
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    Keys.clear();
    Handles.clear();
    HandleCounter = 0;
    InstanceHook = nullptr;
    CreateSkeletonLocked();
}

void CheckCleanRegistry(bool& clean)
{
    std::vector<std::pair<HANDLE, std::u16string>> open;
    {
        std::lock_guard<std::mutex> guard(RegistryLock);
        for (const auto& entry : Handles) {
            auto key = Keys.find(entry.second.Key);
            open.emplace_back(entry.first, key == Keys.end() ? entry.second.Key : key->second.Path);
        }
    }
    for (const auto& entry : open) {
        Report("registry key handle %p (%s) is still open at the end of the test", entry.first,
               Narrow(entry.second).c_str());
        clean = false;
    }
}

} // namespace hk

using namespace hk;

// ---------------------------------------------------------------------------------------------
// Keys and handles

extern "C" NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes)
{
    CheckPassive("ZwOpenKey");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    std::u16string path;
    NTSTATUS status = PathOf(ObjectAttributes, "ZwOpenKey", &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectAttributes->RootDirectory == nullptr) {
        CheckIsolated(path, "ZwOpenKey");
    }
    if (Keys.count(Upcase(path)) == 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = OpenHandleLocked(path, DesiredAccess);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING, ULONG,
                                PULONG Disposition)
{
    CheckPassive("ZwCreateKey");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    std::u16string path;
    NTSTATUS status = PathOf(ObjectAttributes, "ZwCreateKey", &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectAttributes->RootDirectory == nullptr) {
        CheckIsolated(path, "ZwCreateKey");
    }
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (Keys.count(Upcase(path)) == 0) {
        // One level at a time, as the configuration manager creates keys.
        if (Keys.count(Upcase(Parent(path))) == 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        EnsureLocked(path);
        disposition = REG_CREATED_NEW_KEY;
    }
    *KeyHandle = OpenHandleLocked(path, DesiredAccess);
    if (Disposition != nullptr) {
        *Disposition = disposition;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    CheckPassive("ZwClose");
    std::unique_lock<std::mutex> guard(RegistryLock);
    if (Handles.erase(Handle) == 0) {
        guard.unlock();
        Report("ZwClose(%p): not an open handle (closed twice?)", Handle);
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    CheckPassive("IoOpenDeviceRegistryKey");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE && DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    HkDeviceInstance instance = DeviceInstanceOf(DeviceObject);
    if (instance.InstancePath.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string path;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        path = HkDeviceKeyPath(instance.InstancePath);
    } else {
        char number[8];
        snprintf(number, sizeof(number), "%04u",
                 static_cast<unsigned>(instance.DriverKeyNumber % 10000));
        path = CurrentControlSet + u"\\Control\\Class\\" + PortsClass + u"\\";
        for (const char* p = number; *p; ++p) {
            path += static_cast<char16_t>(*p);
        }
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    EnsureLocked(path);
    *DevInstRegKey = OpenHandleLocked(path, DesiredAccess);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Values

extern "C" NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    CheckPassive("ZwQueryValueKey");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    KeyRecord* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, KEY_QUERY_VALUE, "ZwQueryValueKey", &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto it = key->Values.find(Upcase(FromCounted(ValueName)));
    if (it == key->Values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const ValueRecord& value = it->second;
    ULONG nameBytes = static_cast<ULONG>(value.Name.size() * sizeof(WCHAR));
    ULONG dataBytes = static_cast<ULONG>(value.Data.size());
    UCHAR* out = static_cast<UCHAR*>(KeyValueInformation);
    ULONG fixed;
    ULONG needed;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->NameLength = nameBytes;
        if (Length < needed) {
            return STATUS_BUFFER_OVERFLOW;
        }
        memcpy(out + fixed, value.Name.data(), nameBytes);
        return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        ULONG dataOffset = (fixed + nameBytes + 3) & ~3u; // the data starts ULONG-aligned
        needed = dataBytes != 0 ? dataOffset + dataBytes : fixed + nameBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        if (Length < needed) {
            return STATUS_BUFFER_OVERFLOW;
        }
        memcpy(out + fixed, value.Name.data(), nameBytes);
        if (dataBytes != 0) {
            memcpy(out + dataOffset, value.Data.data(), dataBytes);
        }
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        *ResultLength = needed;
        if (Length < fixed) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
        info->TitleIndex = 0;
        info->Type = value.Type;
        info->DataLength = dataBytes;
        if (Length < needed) {
            return STATUS_BUFFER_OVERFLOW;
        }
        if (dataBytes != 0) {
            memcpy(out + fixed, value.Data.data(), dataBytes);
        }
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

extern "C" NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                                  PVOID Data, ULONG DataSize)
{
    CheckPassive("ZwSetValueKey");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    KeyRecord* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, KEY_SET_VALUE, "ZwSetValueKey", &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name = FromCounted(ValueName);
    const UCHAR* bytes = static_cast<const UCHAR*>(Data);
    key->Values[Upcase(name)] =
        ValueRecord{name, Type, std::vector<UCHAR>(bytes, bytes + (bytes ? DataSize : 0))};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    CheckPassive("ZwDeleteValueKey");
    std::lock_guard<std::mutex> guard(RegistryLock);
    KeyRecord* key = nullptr;
    NTSTATUS status = KeyOfHandle(KeyHandle, KEY_SET_VALUE, "ZwDeleteValueKey", &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return key->Values.erase(Upcase(FromCounted(ValueName))) != 0 ? STATUS_SUCCESS
                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                          ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    CheckPassive("RtlWriteRegistryValue");
    if (ShouldFail(HkFault::Registry)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::lock_guard<std::mutex> guard(RegistryLock);
    KeyRecord* key = nullptr;
    NTSTATUS status = RtlKeyLocked(RelativeTo, Path, true, "RtlWriteRegistryValue", &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name = FromTerminated(ValueName);
    const UCHAR* bytes = static_cast<const UCHAR*>(ValueData);
    key->Values[Upcase(name)] =
        ValueRecord{name, ValueType, std::vector<UCHAR>(bytes, bytes + (bytes ? ValueLength : 0))};
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    CheckPassive("RtlDeleteRegistryValue");
    std::lock_guard<std::mutex> guard(RegistryLock);
    KeyRecord* key = nullptr;
    NTSTATUS status = RtlKeyLocked(RelativeTo, Path, false, "RtlDeleteRegistryValue", &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return key->Values.erase(Upcase(FromTerminated(ValueName))) != 0 ? STATUS_SUCCESS
                                                                     : STATUS_OBJECT_NAME_NOT_FOUND;
}

// ---------------------------------------------------------------------------------------------
// Test side

void HkRegSetValue(const std::u16string& key, const std::u16string& name, ULONG type,
                   const std::vector<UCHAR>& data)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    EnsureLocked(key);
    Keys[Upcase(key)].Values[Upcase(name)] = ValueRecord{name, type, data};
}

void HkRegSetDword(const std::u16string& key, const std::u16string& name, ULONG value)
{
    std::vector<UCHAR> data(sizeof(value));
    memcpy(data.data(), &value, sizeof(value));
    HkRegSetValue(key, name, REG_DWORD, data);
}

void HkRegSetString(const std::u16string& key, const std::u16string& name,
                    const std::u16string& value)
{
    std::vector<UCHAR> data((value.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), value.data(), value.size() * sizeof(char16_t));
    HkRegSetValue(key, name, REG_SZ, data);
}

bool HkRegQueryValue(const std::u16string& key, const std::u16string& name, ULONG* type,
                     std::vector<UCHAR>* data)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    auto k = Keys.find(Upcase(key));
    if (k == Keys.end()) {
        return false;
    }
    auto v = k->second.Values.find(Upcase(name));
    if (v == k->second.Values.end()) {
        return false;
    }
    if (type != nullptr) {
        *type = v->second.Type;
    }
    if (data != nullptr) {
        *data = v->second.Data;
    }
    return true;
}

bool HkRegDeleteValue(const std::u16string& key, const std::u16string& name)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    auto k = Keys.find(Upcase(key));
    return k != Keys.end() && k->second.Values.erase(Upcase(name)) != 0;
}

void HkRegDeleteKey(const std::u16string& key)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    std::u16string wanted = Upcase(key);
    for (auto it = Keys.begin(); it != Keys.end();) {
        bool inside = it->first == wanted || (it->first.size() > wanted.size() &&
                                              it->first.compare(0, wanted.size(), wanted) == 0 &&
                                              it->first[wanted.size()] == u'\\');
        it = inside ? Keys.erase(it) : std::next(it);
    }
}

bool HkRegKeyExists(const std::u16string& key)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    return Keys.count(Upcase(key)) != 0;
}

std::vector<std::u16string> HkRegValueNames(const std::u16string& key)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    std::vector<std::u16string> names;
    auto k = Keys.find(Upcase(key));
    if (k != Keys.end()) {
        for (const auto& entry : k->second.Values) {
            names.push_back(entry.second.Name);
        }
    }
    return names;
}

void HkSetDeviceInstanceHook(std::function<HkDeviceInstance(PDEVICE_OBJECT)> hook)
{
    std::lock_guard<std::mutex> guard(RegistryLock);
    InstanceHook = std::move(hook);
}

std::u16string HkDeviceKeyPath(const std::u16string& instancePath)
{
    return CurrentControlSet + u"\\Enum\\" + instancePath + u"\\Device Parameters";
}
