// The driver package as Windows' SetupAPI sees it (Wine's, here): the two INFs parse, every
// board's hardware ID finds exactly its one driver, installing the sections gives the service,
// the event-log source and a port's software key, and every event the driver reports reads as
// its sentence through the message table of the packaged corcard.sys.
#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <devguid.h>

#include <gtest/gtest.h>

#include "port_install.h"

#include <string>
#include <vector>

namespace {

// The drivers' event codes (customer bit; facility 7 for corcard, 8 for corserial) and every
// sentence each reports, gathered from the drivers' sources by the build.
constexpr DWORD CorMsgInformation = 0x60070001;
constexpr DWORD CorMsgWarning = 0xA0070002;
constexpr DWORD CorMsgError = 0xE0070003;
constexpr DWORD SerialMsgInformation = 0x60080001;
constexpr DWORD SerialMsgWarning = 0xA0080002;
constexpr DWORD SerialMsgError = 0xE0080003;
struct Sentence {
    const wchar_t* Image;
    DWORD Code;
    const wchar_t* Text;
};
const Sentence DriverSentences[] = {
#include "sentences.h"
};

const std::wstring PackageDir = PACKAGE_DIR;

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text) {
        narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

struct InfFile {
    explicit InfFile(const wchar_t* name) : Path(PackageDir + L"\\" + name)
    {
        Handle = SetupOpenInfFileW(Path.c_str(), nullptr, INF_STYLE_WIN4, &ErrorLine);
        Error = GetLastError();
    }
    ~InfFile()
    {
        if (Handle != INVALID_HANDLE_VALUE) {
            SetupCloseInfFile(Handle);
        }
    }
    std::wstring Path;
    HINF Handle;
    UINT ErrorLine = 0;
    DWORD Error;
};

std::wstring Field(INFCONTEXT* line, DWORD index)
{
    wchar_t text[512] = {};
    if (!SetupGetStringFieldW(line, index, text, ARRAYSIZE(text), nullptr)) {
        return L"";
    }
    return text;
}

// The model lines for x64: the [Manufacturer] entry names the models section and its decoration.
struct Model {
    std::wstring Description;
    std::wstring HardwareId;
};
std::vector<Model> ReadModels(HINF inf)
{
    std::vector<Model> models;
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &line)) {
        return models;
    }
    std::wstring section = Field(&line, 1) + L"." + Field(&line, 2);
    if (SetupFindFirstLineW(inf, section.c_str(), nullptr, &line)) {
        do {
            models.push_back({Field(&line, 0), Field(&line, 2)});
        } while (SetupFindNextLine(&line, &line));
    }
    return models;
}

// One device of a class with a hardware ID, and the drivers an INF offers it.
class Device {
public:
    Device(const GUID& classGuid, const std::wstring& hardwareId, bool registered)
    {
        Set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
        Data.cbSize = sizeof(Data);
        Ready = Set != INVALID_HANDLE_VALUE &&
                SetupDiCreateDeviceInfoW(Set, L"CORRANTEST", &classGuid, nullptr, nullptr,
                                         DICD_GENERATE_ID, &Data);
        std::wstring ids = hardwareId + L'\0'; // a one-entry multi-string
        Ready =
            Ready && SetupDiSetDeviceRegistryPropertyW(
                         Set, &Data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.c_str()),
                         static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)));
        if (Ready && registered) {
            Ready = SetupDiRegisterDeviceInfo(Set, &Data, 0, nullptr, nullptr, nullptr);
            Registered = Ready;
        }
    }
    ~Device()
    {
        if (Registered) {
            SetupDiRemoveDevice(Set, &Data);
        }
        if (Set != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(Set);
        }
    }

    // The compatible drivers that this one INF offers the device.
    std::vector<SP_DRVINFO_DATA_W> Drivers(const std::wstring& inf)
    {
        std::vector<SP_DRVINFO_DATA_W> drivers;
        SP_DEVINSTALL_PARAMS_W params = {};
        params.cbSize = sizeof(params);
        if (!SetupDiGetDeviceInstallParamsW(Set, &Data, &params)) {
            ADD_FAILURE() << "install parameters: error " << GetLastError();
            return drivers;
        }
        wcsncpy(params.DriverPath, inf.c_str(), MAX_PATH - 1);
        params.Flags |= DI_ENUMSINGLEINF;
        if (!SetupDiSetDeviceInstallParamsW(Set, &Data, &params) ||
            !SetupDiBuildDriverInfoList(Set, &Data, SPDIT_COMPATDRIVER)) {
            ADD_FAILURE() << "driver list: error " << GetLastError();
            return drivers;
        }
        SP_DRVINFO_DATA_W driver = {};
        driver.cbSize = sizeof(driver);
        for (DWORD i = 0; SetupDiEnumDriverInfoW(Set, &Data, SPDIT_COMPATDRIVER, i, &driver); ++i) {
            drivers.push_back(driver);
        }
        return drivers;
    }

    HDEVINFO Set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA Data = {};
    bool Ready = false;
    bool Registered = false;
};

// A registry value of a key below HKLM, or an empty result when missing.
struct Value {
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
    std::wstring Text() const
    {
        return Data.size() < 2 ? L""
                               : std::wstring(reinterpret_cast<const wchar_t*>(Data.data()),
                                              wcsnlen(reinterpret_cast<const wchar_t*>(Data.data()),
                                                      Data.size() / 2));
    }
    DWORD Number() const
    {
        return Data.size() == 4 ? *reinterpret_cast<const DWORD*>(Data.data()) : ~0u;
    }
};
Value ReadValue(HKEY key, const wchar_t* name)
{
    Value value;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &value.Type, nullptr, &size) == ERROR_SUCCESS) {
        value.Data.resize(size);
        RegQueryValueExW(key, name, nullptr, &value.Type, value.Data.data(), &size);
        value.Data.resize(size);
    }
    return value;
}
Value ReadValue(const wchar_t* path, const wchar_t* name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return Value();
    }
    Value value = ReadValue(key, name);
    RegCloseKey(key);
    return value;
}

bool EndsWith(std::wstring text, std::wstring tail)
{
    CharLowerW(text.data());
    CharLowerW(tail.data());
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The folder an INF's file section copies to, as this SetupAPI resolves it: the driver store,
// DIRID 13 (Wine, which has no driver store, gives a folder of its own for it).
std::wstring RunFolder(HINF inf, const wchar_t* files)
{
    wchar_t folder[MAX_PATH] = {};
    if (!SetupGetTargetPathW(inf, nullptr, files, folder, MAX_PATH, nullptr)) {
        return L"(none)";
    }
    return folder;
}

// A service left by an earlier run in this prefix goes, so that what is checked is what this
// install wrote.
void DeleteServiceIfPresent(const wchar_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, DELETE) : nullptr;
    if (service != nullptr) {
        DeleteService(service);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
}

TEST(Inf, BothOpenAsTheirClass)
{
    struct {
        const wchar_t* Name;
        const wchar_t* Class;
        const GUID* Guid;
    } infs[] = {{L"corcard.inf", L"MultiPortSerial", &GUID_DEVCLASS_MULTIPORTSERIAL},
                {L"corport.inf", L"Ports", &GUID_DEVCLASS_PORTS}};
    for (const auto& expected : infs) {
        InfFile inf(expected.Name);
        ASSERT_NE(inf.Handle, INVALID_HANDLE_VALUE)
            << Narrow(expected.Name) << ": error 0x" << std::hex << inf.Error << " at line "
            << std::dec << inf.ErrorLine;
        GUID guid;
        wchar_t name[256];
        ASSERT_TRUE(SetupDiGetINFClassW(inf.Path.c_str(), &guid, name, ARRAYSIZE(name), nullptr));
        EXPECT_EQ(Narrow(name), Narrow(expected.Class));
        EXPECT_TRUE(IsEqualGUID(guid, *expected.Guid)) << Narrow(expected.Name);
    }
}

// Each board's hardware ID finds exactly its own model line; a board of the family that the
// driver does not know (another subsystem ID) finds nothing.
TEST(Inf, EachBoardFindsExactlyItsDriver)
{
    InfFile inf(L"corcard.inf");
    ASSERT_NE(inf.Handle, INVALID_HANDLE_VALUE);
    std::vector<Model> models = ReadModels(inf.Handle);
    ASSERT_EQ(models.size(), 9u) << "one model line per board of the catalogue";
    for (const Model& model : models) {
        Device device(GUID_DEVCLASS_MULTIPORTSERIAL, model.HardwareId, false);
        ASSERT_TRUE(device.Ready) << "error " << GetLastError();
        std::vector<SP_DRVINFO_DATA_W> drivers = device.Drivers(inf.Path);
        ASSERT_EQ(drivers.size(), 1u) << Narrow(model.HardwareId);
        EXPECT_EQ(Narrow(drivers[0].Description), Narrow(model.Description));
        EXPECT_EQ(Narrow(drivers[0].MfgName), "TORVA");
    }
    Device unknown(GUID_DEVCLASS_MULTIPORTSERIAL, L"PCI\\VEN_1E5C&DEV_0001&SUBSYS_7D410001", false);
    ASSERT_TRUE(unknown.Ready);
    EXPECT_EQ(unknown.Drivers(inf.Path).size(), 0u);
}

// Each INF installs its driver's service (kernel driver, demand start) and the System log's source
// of the same name, whose messages are the driver image's message table.
struct ServiceOfInf {
    const wchar_t* Inf;
    const wchar_t* Section;
    const wchar_t* Service;
    const wchar_t* Files; // the section that copies the image
};
void PrintTo(const ServiceOfInf& service, std::ostream* out)
{
    *out << Narrow(service.Service);
}
class Install : public ::testing::TestWithParam<ServiceOfInf> {};

TEST_P(Install, ServiceAndEventLogSource)
{
    const ServiceOfInf& expected = GetParam();
    const std::wstring name = expected.Service;
    const std::wstring source = L"System\\CurrentControlSet\\Services\\EventLog\\System\\" + name;
    DeleteServiceIfPresent(name.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, source.c_str());

    InfFile inf(expected.Inf);
    ASSERT_NE(inf.Handle, INVALID_HANDLE_VALUE);
    const wchar_t* services = expected.Section;
    ASSERT_TRUE(SetupInstallServicesFromInfSectionW(inf.Handle, services, 0))
        << "error " << GetLastError();

    // AddService = name, flags, service section, event-log section: Windows installs the
    // event-log section with HKR at the System log's key of the service's name; Wine's SetupAPI
    // skips that field, so the test installs the named section there as Windows does.
    INFCONTEXT line;
    ASSERT_TRUE(SetupFindFirstLineW(inf.Handle, services, L"AddService", &line));
    EXPECT_EQ(Field(&line, 1), name);
    std::wstring eventLogSection = Field(&line, 4);
    ASSERT_FALSE(eventLogSection.empty()) << "no event-log section on the AddService line";
    HKEY sourceKey;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, source.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &sourceKey, nullptr),
              ERROR_SUCCESS);
    BOOL installed =
        SetupInstallFromInfSectionW(nullptr, inf.Handle, eventLogSection.c_str(), SPINST_REGISTRY,
                                    sourceKey, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    DWORD error = GetLastError();
    RegCloseKey(sourceKey);
    ASSERT_TRUE(installed) << "error " << error;

    // The service and the event-log source name the image where it runs: in the driver store.
    const std::wstring image = RunFolder(inf.Handle, expected.Files) + L"\\" + name + L".sys";
    const std::wstring serviceKey = L"System\\CurrentControlSet\\Services\\" + name;
    const wchar_t* service = serviceKey.c_str();
    EXPECT_TRUE(EndsWith(ReadValue(service, L"ImagePath").Text(), image))
        << Narrow(ReadValue(service, L"ImagePath").Text());
    EXPECT_EQ(ReadValue(service, L"Type").Number(), 1u);         // kernel driver
    EXPECT_EQ(ReadValue(service, L"Start").Number(), 3u);        // demand start
    EXPECT_EQ(ReadValue(service, L"ErrorControl").Number(), 1u); // normal

    Value messages = ReadValue(source.c_str(), L"EventMessageFile");
    EXPECT_EQ(messages.Type, static_cast<DWORD>(REG_EXPAND_SZ));
    wchar_t expanded[MAX_PATH] = {};
    ExpandEnvironmentStringsW(messages.Text().c_str(), expanded, MAX_PATH);
    EXPECT_EQ(lstrcmpiW(expanded, image.c_str()), 0) << Narrow(messages.Text());
    EXPECT_EQ(ReadValue(source.c_str(), L"TypesSupported").Number(), 7u);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, Install,
    ::testing::Values(ServiceOfInf{L"corcard.inf", L"Corcard.Install.NTamd64.Services", L"corcard",
                                   L"Corcard.CopyFiles"},
                      ServiceOfInf{L"corport.inf", L"CorPort.Install.NTamd64.Services",
                                   L"corserial", L"CorPort.DriverFiles"}),
    [](const ::testing::TestParamInfo<ServiceOfInf>& info) {
        return std::string(info.param.Service == std::wstring(L"corcard") ? "corcard"
                                                                          : "corserial");
    });

// A port device installed from the Ports INF: its software key names the page provider and the
// subclass, the provider is in the system directory, and the port function driver's service is
// the one the INF's two strings name.
TEST(PortInstall, PortDeviceSoftwareKey)
{
    DeleteServiceIfPresent(L"corserial");
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    const wchar_t* const systemFiles[] = {L"\\TRVPAGE.DLL", L"\\drivers\\corserial.sys"};
    for (const wchar_t* file : systemFiles) {
        DeleteFileW((system + std::wstring(file)).c_str()); // left by an earlier run, if any
    }
    InfFile inf(L"corport.inf");
    ASSERT_NE(inf.Handle, INVALID_HANDLE_VALUE);
    Device port(GUID_DEVCLASS_PORTS, L"CorPort1", true);
    ASSERT_TRUE(port.Ready) << "error " << GetLastError();
    SP_DRVINFO_DATA_W driver;
    ASSERT_TRUE(InstallFromInf(port.Set, &port.Data, inf.Path, PackageDir, &driver))
        << "error " << GetLastError();
    EXPECT_EQ(Narrow(driver.Description), "TORVA Corran Serial Port 1");

    HKEY software =
        SetupDiOpenDevRegKey(port.Set, &port.Data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    ASSERT_NE(software, INVALID_HANDLE_VALUE);
    Value provider = ReadValue(software, L"EnumPropPages32");
    Value subclass = ReadValue(software, L"PortSubClass");
    RegCloseKey(software);
    EXPECT_EQ(provider.Type, static_cast<DWORD>(REG_SZ));
    const std::wstring folder = RunFolder(inf.Handle, L"CorPort.PageFiles");
    EXPECT_EQ(folder, RunFolder(inf.Handle, L"CorPort.DriverFiles")) << "one folder for both";
    EXPECT_EQ(Narrow(provider.Text()),
              Narrow(folder + L"\\TRVPAGE.DLL,SerialPortPropPageProvider"));
    EXPECT_EQ(subclass.Type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(subclass.Data, std::vector<BYTE>{1});

    // Every file is where it runs from, and none went to the system directories.
    for (const wchar_t* file : {L"TRVPAGE.DLL", L"corserial.sys"}) {
        const std::wstring there = folder + L"\\" + file;
        EXPECT_NE(GetFileAttributesW(there.c_str()), INVALID_FILE_ATTRIBUTES)
            << Narrow(there) << " not copied";
    }
    for (const wchar_t* file : systemFiles) {
        const std::wstring there = system + std::wstring(file);
        EXPECT_EQ(GetFileAttributesW(there.c_str()), INVALID_FILE_ATTRIBUTES)
            << Narrow(there) << " copied to the system directory";
    }

    const wchar_t service[] = L"System\\CurrentControlSet\\Services\\corserial";
    EXPECT_TRUE(EndsWith(ReadValue(service, L"ImagePath").Text(), folder + L"\\corserial.sys"))
        << Narrow(ReadValue(service, L"ImagePath").Text());
    EXPECT_EQ(ReadValue(service, L"Type").Number(), 1u);
}

// What the Driver tab and Explorer's Details show: each packaged image's version resource carries
// the release version (package/version.cmake) in its numbers and texts, and its own name.
TEST(Images, CarryTheReleaseVersion)
{
    const wchar_t* images[] = {L"corcard.sys", L"corserial.sys", L"TRVPAGE.DLL"};
    for (const wchar_t* name : images) {
        std::wstring path = PackageDir + L"\\" + name;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
        ASSERT_NE(size, 0u) << Narrow(name) << ": no version resource";
        std::vector<BYTE> info(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
        wchar_t numbers[64];
        swprintf(numbers, 64, L"%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS),
                 LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                 LOWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(Narrow(numbers), CORRAN_VERSION) << Narrow(name);
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        const bool driver = std::wstring(name).find(L".sys") != std::wstring::npos;
        EXPECT_EQ(fixed->dwFileType,
                  driver ? static_cast<DWORD>(VFT_DRV) : static_cast<DWORD>(VFT_DLL));
        auto text = [&](const wchar_t* field) {
            std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + field;
            wchar_t* value = nullptr;
            UINT units = 0;
            return VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value),
                                  &units) &&
                           value != nullptr
                       ? Narrow(value)
                       : std::string("(missing)");
        };
        EXPECT_EQ(text(L"OriginalFilename"), Narrow(name));
        EXPECT_EQ(text(L"FileVersion"), CORRAN_VERSION);
        EXPECT_EQ(text(L"ProductVersion"), CORRAN_VERSION);
        EXPECT_EQ(text(L"CompanyName"), "TORVA");
        EXPECT_EQ(text(L"ProductName"), "TORVA Corran multiport serial adapters");
        EXPECT_NE(text(L"FileDescription").find("TORVA Corran"), std::string::npos);
    }
}

// The event viewer's way: the driver's image loaded as data, each code's message formatted with
// the entry's insertion strings (%1 the name the I/O manager supplies, %2 the sentence).
TEST(EventLog, EverySentenceReadsThroughTheMessageTable)
{
    ASSERT_GT(ARRAYSIZE(DriverSentences), 0u);
    for (const Sentence& sentence : DriverSentences) {
        std::wstring path = PackageDir + L"\\" + sentence.Image;
        HMODULE image = LoadLibraryExW(path.c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(image, nullptr) << Narrow(sentence.Image) << ": error " << GetLastError();
        DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(L"\\Device\\CorSerial0"),
                               reinterpret_cast<DWORD_PTR>(sentence.Text)};
        wchar_t* text = nullptr;
        DWORD length = FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                FORMAT_MESSAGE_ALLOCATE_BUFFER,
            image, sentence.Code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
            reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(strings));
        ASSERT_NE(length, 0u) << "code 0x" << std::hex << sentence.Code << ": error " << std::dec
                              << GetLastError();
        EXPECT_EQ(Narrow(text), Narrow(sentence.Text) + "\r\n");
        LocalFree(text);
        FreeLibrary(image);
    }
}

} // namespace
