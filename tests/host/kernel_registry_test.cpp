// The registry of the kernel stand-in: keys and handles with their access, the configuration
// manager's answers to value queries whose buffer is too small, a device's own keys, writes
// relative to the well-known roots, and the verifier's reports.
#include "kernel_rig.h"

namespace {

const std::u16string Services = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
const char16_t* const Instance = u"CORCARD\\CORPORT\\X_Port2";

NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, HANDLE* key, bool create = false,
              ULONG* disposition = nullptr, HANDLE root = nullptr)
{
    std::u16string text = path;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(&text[0]);
    name.Length = name.MaximumLength = static_cast<USHORT>(text.size() * 2);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    return create ? ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                disposition)
                  : ZwOpenKey(key, access, &attributes);
}

class KernelRegistry : public KernelTest {
protected:
    // A port's PDO with its device instance, whose hardware key is where a driver keeps its
    // state (and opens keys below).
    PDEVICE_OBJECT Port()
    {
        PDEVICE_OBJECT pdo = MakeDevice(Completes(STATUS_SUCCESS));
        HkSetDeviceInstanceHook([pdo](PDEVICE_OBJECT device) {
            return device == pdo ? HkDeviceInstance{Instance, 12} : HkDeviceInstance{};
        });
        return pdo;
    }
    const std::u16string Hardware = HkDeviceKeyPath(Instance);
};

} // namespace

TEST_F(KernelRegistry, KeysAreCreatedBelowExistingOnesAndHandlesKeepTheirAccess)
{
    HANDLE device = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(Port(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &device),
              STATUS_SUCCESS);
    HANDLE parameters = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Open(u"Parameters", KEY_ALL_ACCESS, &parameters, true, &disposition, device),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(HkRegKeyExists(Hardware + u"\\parameters"));
    HANDLE again = nullptr;
    ASSERT_EQ(Open(u"PARAMETERS", KEY_READ, &again, true, &disposition, device), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    HANDLE missing = nullptr;
    EXPECT_EQ(Open(u"Parameters\\No\\Such", KEY_READ, &missing, true, nullptr, device),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "one level at a time";
    EXPECT_EQ(Open(u"Absent", KEY_READ, &missing, false, nullptr, device),
              STATUS_OBJECT_NAME_NOT_FOUND);

    ULONG value = 7;
    UNICODE_STRING name = Us(L"PollingPeriod");
    EXPECT_EQ(ZwSetValueKey(again, &name, 0, REG_DWORD, &value, sizeof(value)),
              STATUS_ACCESS_DENIED)
        << "opened for reading";
    EXPECT_EQ(ZwSetValueKey(parameters, &name, 0, REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(HkRegQueryValue(Hardware + u"\\Parameters", u"pollingperiod", &type, &data));
    EXPECT_EQ(type, ULONG(REG_DWORD));
    EXPECT_EQ(data, (std::vector<UCHAR>{7, 0, 0, 0}));
    EXPECT_EQ(ZwDeleteValueKey(parameters, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(parameters, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE key : {device, parameters, again}) {
        EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
}

// The fixed part must fit or nothing is written; the fixed part is written when the rest does
// not fit; ResultLength always says what the whole record needs.
TEST_F(KernelRegistry, ValueQueriesSayWhatTheyNeed)
{
    PDEVICE_OBJECT pdo = Port();
    const std::u16string key = Hardware;
    HkRegSetString(key, u"PortName", u"COM7"); // 10 bytes with the terminator
    HANDLE handle = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, &handle),
              STATUS_SUCCESS);
    UNICODE_STRING name = Us(L"portname");
    alignas(8) UCHAR buffer[64];
    ULONG needed = 0;

    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValuePartialInformation, buffer, 11, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 12u + 10u);
    EXPECT_EQ(buffer[0], 0xEE) << "nothing written";
    EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValuePartialInformation, buffer, 12, &needed),
              STATUS_BUFFER_OVERFLOW);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(partial->Type, ULONG(REG_SZ));
    EXPECT_EQ(partial->DataLength, 10u);
    EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValuePartialInformation, buffer, needed, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(partial->Data)), u"COM7");

    HkRegSetDword(key, u"Speed", 9600);
    UNICODE_STRING speed = Us(L"Speed");
    EXPECT_EQ(
        ZwQueryValueKey(handle, &speed, KeyValueFullInformation, buffer, sizeof(buffer), &needed),
        STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->NameLength, 10u);
    EXPECT_EQ(full->DataOffset, 32u) << "after the name, ULONG-aligned";
    EXPECT_EQ(needed, 32u + 4u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(full->Name), 5), u"Speed");
    ULONG stored = 0;
    memcpy(&stored, buffer + full->DataOffset, sizeof(stored));
    EXPECT_EQ(stored, 9600u);

    EXPECT_EQ(ZwQueryValueKey(handle, &name, KeyValueBasicInformation, buffer, 14, &needed),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(needed, 12u + 16u);
    EXPECT_EQ(reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer)->NameLength, 16u);

    UNICODE_STRING absent = Us(L"Absent");
    EXPECT_EQ(ZwQueryValueKey(handle, &absent, KeyValuePartialInformation, buffer, sizeof(buffer),
                              &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(handle);
}

TEST_F(KernelRegistry, DeviceKeysAndTheDeviceMap)
{
    PDEVICE_OBJECT pdo = Port();
    PDEVICE_OBJECT fdo = MakeDevice(Completes(STATUS_SUCCESS), pdo);
    const std::u16string hardware = Hardware;
    EXPECT_EQ(hardware, u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\CORCARD\\CORPORT\\"
                        u"X_Port2\\Device Parameters");
    HkRegSetString(hardware, u"PortName", u"COM4");

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING name = Us(L"PortName");
    alignas(8) UCHAR buffer[32];
    ULONG needed = 0;
    ASSERT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &needed),
        STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(
                  reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data)),
              u"COM4");
    ZwClose(key);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(HkRegKeyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                               u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0012"))
        << "the software key is created";
    EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST)
        << "not a PDO";

    // HARDWARE\DEVICEMAP\SERIALCOMM, as a serial driver publishes its port.
    WCHAR com4[] = L"COM4";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial4",
                                    REG_SZ, com4, sizeof(com4)),
              STATUS_SUCCESS);
    const std::u16string serialComm = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(HkRegQueryValue(serialComm, u"\\Device\\Serial4", &type, &data));
    EXPECT_EQ(type, ULONG(REG_SZ));
    EXPECT_EQ(data.size(), sizeof(com4));
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\Serial4"),
              STATUS_SUCCESS);
    EXPECT_TRUE(HkRegValueNames(serialComm).empty());
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM\\NO\\SUCH", L"x", REG_SZ,
                                    com4, sizeof(com4)),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(KernelRegistry, VerifierCatchesRegistryMisuse)
{
    HANDLE key = nullptr;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto found = Violations([&] { Open(Services, KEY_READ, &key); });
    KeLowerIrql(old);
    EXPECT_TRUE(Mentions(found, "ZwOpenKey at IRQL 2")) << ::testing::PrintToString(found);
    found = Violations([] { HkCheckClean(); });
    EXPECT_TRUE(Mentions(found, "registry key handle")) << ::testing::PrintToString(found);
    ZwClose(key);
    found = Violations([&] { EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE); });
    EXPECT_TRUE(Mentions(found, "not an open handle")) << ::testing::PrintToString(found);

    OBJECT_ATTRIBUTES garbage;
    memset(&garbage, 0xA5, sizeof(garbage));
    found = Violations([&] { ZwOpenKey(&key, KEY_READ, &garbage); });
    EXPECT_TRUE(Mentions(found, "not initialised")) << ::testing::PrintToString(found);
}

// An isolated driver opens no key by a path of its own: every absolute route is reported, but for
// the serial device map, where a port publishes its name.
TEST_F(KernelRegistry, AbsolutePathsAreReportedButForTheSerialDeviceMap)
{
    WCHAR com4[] = L"COM4";
    HANDLE key = nullptr;
    const struct {
        const char* Route;
        std::function<NTSTATUS()> Access;
        bool Reported;
    } cases[] = {
        {"ZwOpenKey", [&] { return Open(Services + u"\\rig", KEY_READ, &key); }, true},
        {"ZwCreateKey", [&] { return Open(Services + u"\\rig", KEY_READ, &key, true); }, true},
        {"ZwCreateKey",
         [&] {
             return Open(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM", KEY_READ, &key,
                         true);
         },
         false},
        {"RtlWriteRegistryValue",
         [&] {
             return RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"rig", L"x", REG_SZ, com4,
                                          sizeof(com4));
         },
         true},
        {"RtlWriteRegistryValue",
         [&] {
             return RtlWriteRegistryValue(RTL_REGISTRY_CONTROL, L"", L"x", REG_SZ, com4,
                                          sizeof(com4));
         },
         true},
        {"RtlWriteRegistryValue",
         [&] {
             return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                          L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                          L"\\Device\\Serial4", REG_SZ, com4, sizeof(com4));
         },
         false},
        {"RtlWriteRegistryValue",
         [&] {
             return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                          L"\\Device\\Serial4", REG_SZ, com4, sizeof(com4));
         },
         false},
        {"RtlDeleteRegistryValue",
         [&] { return RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"", L"x"); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Route);
        key = nullptr;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        const auto found = Violations([&] { status = c.Access(); });
        EXPECT_EQ(Mentions(found, "by an absolute path"), c.Reported)
            << ::testing::PrintToString(found);
        EXPECT_EQ(Mentions(found, c.Route), c.Reported);
        if (NT_SUCCESS(status) && key != nullptr) {
            ZwClose(key);
        }
    }
}
