#include "rig.h"

#include <initguid.h>
#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdio>

std::wstring Wide(const char* s)
{
    return std::wstring(s, s + std::strlen(s));
}

std::string Narrow(const uint16_t* s)
{
    std::string out;
    for (; *s != 0; ++s) {
        out.push_back(*s < 128 ? static_cast<char>(*s) : '?');
    }
    return out;
}

std::string Hex(uint64_t v, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(v));
    return text;
}

// ---- boards ---------------------------------------------------------------------------------

ResourceList::ResourceList()
{
    Put32(1); // one full descriptor
    Put32(5); // PCIBus
    Put32(0); // bus 0
    Put32(1); // version 1, revision 1
    CountAt = Bytes.size();
    Put32(0);
}

void ResourceList::Put32(uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        Bytes.push_back(uint8_t(v >> (8 * i)));
}

void ResourceList::Put64(uint64_t v)
{
    Put32(uint32_t(v));
    Put32(uint32_t(v >> 32));
}

void ResourceList::Descriptor(uint8_t type, uint8_t share, uint16_t flags)
{
    for (uint8_t b : {type, share, uint8_t(flags), uint8_t(flags >> 8)})
        Bytes.push_back(b);
    ++Bytes[CountAt];
}

ResourceList& ResourceList::Port(uint64_t start, uint32_t length)
{
    Descriptor(1, 1, 1); // CmResourceTypePort, device exclusive, CM_RESOURCE_PORT_IO
    Put64(start);
    Put32(length);
    Put32(0);
    return *this;
}

ResourceList& ResourceList::Interrupt(uint32_t level, uint32_t vector, uint64_t affinity)
{
    Descriptor(2, 3, 0); // CmResourceTypeInterrupt, shared, level-sensitive
    Put32(level);
    Put32(vector);
    Put64(affinity);
    return *this;
}

Board::Board(uint16_t subsystem, uint32_t uarts)
{
    uint8_t* c = Request.Config;
    auto put16 = [c](int at, uint16_t v) {
        c[at] = uint8_t(v);
        c[at + 1] = uint8_t(v >> 8);
    };
    auto put32 = [c](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            c[at + i] = uint8_t(v >> (8 * i));
    };
    put16(0, 0x1E5C);
    put16(2, 0x0001);
    c[8] = 0x01;  // revision
    c[9] = 0x02;  // programming interface
    c[10] = 0x00; // subclass
    c[11] = 0x07; // base class: communication controller
    put32(0x10, UartBase | 1);
    put32(0x14, StatusBase | 1);
    put16(0x2C, 0x0001);
    put16(0x2E, subsystem);
    c[0x3C] = 11;
    c[0x3D] = 1;
    for (size_t i = 0; ParentInstance[i] != 0; ++i) {
        Request.InstanceId[i] = uint16_t(ParentInstance[i]);
    }
    // The start's lists: both BARs' ranges and the shared line; the translated interrupt
    // carries the vector and level that corcard must connect with.
    const uint32_t uartRange = 8 * (uarts != 0 ? uarts : 4);
    Lists(
        ResourceList().Port(UartBase, uartRange).Port(StatusBase, 0x10).Interrupt(11, 11, Affinity),
        ResourceList()
            .Port(UartBase, uartRange)
            .Port(StatusBase, 0x10)
            .Interrupt(Level, Vector, Affinity));
    Request.Uarts = uarts;
    if (uarts != 0) {
        return;
    }
    const uint8_t causes[4] = {0xC1, 0xC6, 0xCC, 0xC4};
    for (int k = 0; k < 4; ++k) {
        Preset(uint16_t(UartBase + 8 * k + 3), 0x83);
        Preset(uint16_t(UartBase + 8 * k + 2), causes[k]);
    }
}

void Board::Lists(const ResourceList& raw, const ResourceList& translated)
{
    Request.RawLength = uint32_t(raw.Bytes.size());
    std::memcpy(Request.Raw, raw.Bytes.data(), raw.Bytes.size());
    Request.TranslatedLength = uint32_t(translated.Bytes.size());
    std::memcpy(Request.Translated, translated.Bytes.data(), translated.Bytes.size());
}

void Board::Preset(uint16_t port, uint8_t value)
{
    auto& p = Request.Presets[Request.PresetCount++];
    p.Port = port;
    p.Value = value;
}

// ---- the Enum tree and files ----------------------------------------------------------------

const std::wstring AdapterKey =
    EnumRoot + L"PCI\\VEN_1E5C&DEV_0001&SUBSYS_7A410001&REV_01\\" + Wide(ParentInstance);

std::wstring PortKey(int k)
{
    return EnumRoot + L"Corcard\\CorPort\\1E5C&0001_7A410001_" + Wide(ParentInstance) + L"_Port" +
           std::to_wstring(k);
}

std::wstring RegString(HKEY root, const std::wstring& key, const wchar_t* value)
{
    wchar_t data[512] = {};
    DWORD size = sizeof(data) - 2 * sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), value, RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ, nullptr, data,
                     &size) != ERROR_SUCCESS) {
        return L"(none)";
    }
    // A multi-string is shown with its separators as '|'.
    std::wstring s(data, size / sizeof(wchar_t));
    while (!s.empty() && s.back() == 0)
        s.pop_back();
    for (auto& c : s)
        if (c == 0)
            c = L'|';
    return s;
}

std::wstring ServiceImage(const wchar_t* service)
{
    std::wstring image =
        RegString(HKEY_LOCAL_MACHINE,
                  std::wstring(L"System\\CurrentControlSet\\Services\\") + service, L"ImagePath");
    wchar_t windir[MAX_PATH];
    GetWindowsDirectoryW(windir, MAX_PATH);
    // The service manager's forms: an NT path below the system root, a DOS path behind the NT
    // prefix, or a path relative to the system root.
    const std::wstring root = L"\\SystemRoot\\";
    if (image.compare(0, root.size(), root) == 0) {
        return std::wstring(windir) + L"\\" + image.substr(root.size());
    }
    if (image.compare(0, 4, L"\\??\\") == 0) {
        return image.substr(4);
    }
    if (image.size() < 2 || image[1] != L':') {
        return std::wstring(windir) + L"\\" + image;
    }
    return image;
}

std::vector<char> FileBytes(const std::wstring& path)
{
    std::vector<char> bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &n, nullptr) && n != 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    CloseHandle(file);
    return bytes;
}

size_t CountEvents(const CORBUS_RECORD& r, uint32_t kind)
{
    size_t n = 0;
    for (uint32_t i = 0; i < r.EventCount; ++i)
        n += r.Events[i].Kind == kind;
    return n;
}

uint32_t After(const CORBUS_RECORD& r, uint32_t kind, int64_t minor)
{
    for (uint32_t i = 0; i < r.EventCount; ++i) {
        if (r.Events[i].Kind == kind && (minor < 0 || r.Events[i].A == uint64_t(minor)))
            return i + 1;
    }
    return r.EventCount;
}

// ---- the rig --------------------------------------------------------------------------------

namespace {

void Copy(const char* from, const std::wstring& to)
{
    ASSERT_TRUE(CopyFileW(Wide(from).c_str(), to.c_str(), FALSE)) << from << ": " << GetLastError();
}

} // namespace

Rig::~Rig()
{
    if (Control != INVALID_HANDLE_VALUE)
        CloseHandle(Control);
}

void Rig::Install(Ports ports)
{
    wchar_t windir[MAX_PATH];
    GetWindowsDirectoryW(windir, MAX_PATH);
    const std::wstring inf = std::wstring(windir) + L"\\inf\\";
    Copy(CORCARD_INF, inf + L"corcard.inf");
    Copy(CORCARD_SYS, inf + L"corcard.sys");
    if (ports == Ports::Double) {
        Copy(CORPORT_DOUBLE_INF, inf + L"corport-double.inf");
    }
    if (ports == Ports::Package) {
        // The Ports INF as it ships, with the images it copies beside it.
        Copy(CORPORT_INF, inf + L"corport.inf");
        Copy(CORSERIAL_SYS, inf + L"corserial.sys");
        Copy(TRVPAGE_DLL, inf + L"TRVPAGE.DLL");
    }
    const std::wstring dir = L"C:\\corbus\\";
    CreateDirectoryW(dir.c_str(), nullptr);
    Copy(CORBUS_INF, dir + L"corbus.inf");
    Copy(CORBUS_SYS, dir + L"corbus.sys");

    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, L"ROOT\\CORBUS\\0000", &GUID_DEVCLASS_SYSTEM, nullptr,
                                         nullptr, 0, &device))
        << GetLastError();
    static const wchar_t hardwareId[] = L"Root\\CorBus\0";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                  (const BYTE*)hardwareId, sizeof(hardwareId)));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) << GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(
        nullptr, L"Root\\CorBus", (dir + L"corbus.inf").c_str(), INSTALLFLAG_FORCE, &reboot))
        << GetLastError();
    // The service starts the fixture, which creates its control device.
    ASSERT_TRUE(WaitFor([this] {
        Control = CreateFileW(CORBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
        return Control != INVALID_HANDLE_VALUE;
    })) << "the fixture's control device never appeared";
}

DWORD Rig::Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize)
{
    DWORD n = 0;
    EXPECT_TRUE(
        DeviceIoControl(Control, code, const_cast<void*>(in), inSize, out, outSize, &n, nullptr))
        << "fixture request " << Hex(code) << ": " << GetLastError();
    return n;
}

uint32_t Rig::Plug(const Board& board)
{
    uint32_t slot = ~0u;
    Request(IOCTL_CORBUS_PLUG, &board.Request, sizeof(board.Request), &slot, sizeof(slot));
    return slot;
}

void Rig::Unplug(uint32_t slot)
{
    Request(IOCTL_CORBUS_UNPLUG, &slot, sizeof(slot), nullptr, 0);
}

void Rig::Interrupt(uint8_t status)
{
    CORBUS_INTERRUPT_REQUEST request = {StatusBase, status, {}};
    Request(IOCTL_CORBUS_INTERRUPT, &request, sizeof(request), nullptr, 0);
}

LONG Rig::SystemPower(uint32_t state)
{
    LONG status = -1;
    Request(IOCTL_CORBUS_SYSTEM_POWER, &state, sizeof(state), &status, sizeof(status));
    return status;
}

LONG Rig::Unload()
{
    LONG status = -1;
    Request(IOCTL_CORBUS_UNLOAD, nullptr, 0, &status, sizeof(status));
    return status;
}

const CORBUS_RECORD& Rig::Record()
{
    std::memset(Last.get(), 0, sizeof(CORBUS_RECORD));
    DWORD n = 0;
    DeviceIoControl(Control, IOCTL_CORBUS_RECORD, nullptr, 0, Last.get(), sizeof(CORBUS_RECORD), &n,
                    nullptr);
    return *Last;
}

std::unique_ptr<CORBUS_PORT_TEXTS> Rig::PortTexts()
{
    auto texts = std::make_unique<CORBUS_PORT_TEXTS>();
    Request(IOCTL_CORBUS_PORT_TEXTS, nullptr, 0, texts.get(), sizeof(*texts));
    return texts;
}

void Rig::Line(uint32_t port, uint32_t farEnd, uint32_t peer, uint32_t broken, int32_t rateError)
{
    CORBUS_LINE_REQUEST request = {port, farEnd, peer, broken, rateError};
    Request(IOCTL_CORBUS_LINE, &request, sizeof(request), nullptr, 0);
}

CORBUS_UART Rig::Uart(uint32_t port)
{
    CORBUS_UART uart{};
    Request(IOCTL_CORBUS_UART, &port, sizeof(port), &uart, sizeof(uart));
    return uart;
}

void Rig::HoldInterrupt(uint32_t characters)
{
    Request(IOCTL_CORBUS_HOLD_INTERRUPT, &characters, sizeof(characters), nullptr, 0);
}

LONG Rig::RestartPort(uint32_t port)
{
    LONG status = -1;
    Request(IOCTL_CORBUS_RESTART_PORT, &port, sizeof(port), &status, sizeof(status));
    return status;
}

LONG Rig::UnloadSerial()
{
    LONG status = -1;
    Request(IOCTL_CORBUS_UNLOAD_SERIAL, nullptr, 0, &status, sizeof(status));
    return status;
}

bool Rig::WaitFor(const std::function<bool()>& condition)
{
    for (int i = 0; i < 1500; ++i) {
        if (condition())
            return true;
        Sleep(20);
    }
    return false;
}

bool Rig::WaitForRecord(const std::function<bool(const CORBUS_RECORD&)>& condition)
{
    return WaitFor([&] { return condition(Record()); });
}

// ---- COM ports ------------------------------------------------------------------------------

void ClaimComNumbers(int last)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                              L"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    BYTE bits[32] = {};
    for (int n = 1; n <= last; ++n)
        bits[(n - 1) / 8] |= BYTE(1u << ((n - 1) % 8));
    EXPECT_EQ(RegSetValueExW(key, L"ComDB", 0, REG_BINARY, bits, sizeof(bits)), ERROR_SUCCESS);
    RegCloseKey(key);
}

bool WaitForPorts(const std::vector<std::wstring>& names)
{
    return Rig::WaitFor([&] {
        for (const auto& name : names) {
            if (!ComPort(name).Answers())
                return false;
        }
        return true;
    });
}

std::vector<std::wstring> SerialDeviceMap()
{
    std::vector<std::wstring> entries;
    HKEY map = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &map) !=
        ERROR_SUCCESS)
        return entries;
    wchar_t name[256], data[256];
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256, size = sizeof(data) - sizeof(wchar_t), type = 0;
        std::memset(data, 0, sizeof(data));
        if (RegEnumValueW(map, i, name, &nameLength, nullptr, &type, (BYTE*)data, &size) !=
            ERROR_SUCCESS)
            break;
        entries.push_back(std::wstring(name) + L"=" + data);
    }
    RegCloseKey(map);
    return entries;
}

ComPort::ComPort(const std::wstring& name, bool overlapped)
{
    const std::wstring path = name.rfind(L"\\\\", 0) == 0 ? name : L"\\\\.\\" + name;
    Handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    Error = Open() ? 0 : GetLastError();
}

ComPort::~ComPort()
{
    Close();
}

bool ComPort::Answers() const
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    return Open() && GetCommState(Handle, &dcb);
}

void ComPort::Close()
{
    if (Open())
        CloseHandle(Handle);
    Handle = INVALID_HANDLE_VALUE;
}

Overlapped::Overlapped() : OVERLAPPED{}
{
    hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Overlapped::~Overlapped()
{
    CloseHandle(hEvent);
}

long Overlapped::Finish(HANDLE file, DWORD* error)
{
    // The bound only turns a hang into a failure, as Rig::WaitFor's does.
    if (WaitForSingleObject(hEvent, 30000) != WAIT_OBJECT_0) {
        if (error != nullptr)
            *error = WAIT_TIMEOUT;
        return -1;
    }
    DWORD n = 0;
    const BOOL ok = GetOverlappedResult(file, this, &n, FALSE);
    if (error != nullptr) {
        *error = ok ? 0 : GetLastError();
        return long(n);
    }
    return ok ? long(n) : -1;
}

Stopwatch::Stopwatch()
{
    QueryPerformanceFrequency(&Frequency);
    QueryPerformanceCounter(&Start);
}

double Stopwatch::Ms() const
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - Start.QuadPart) * 1000.0 / double(Frequency.QuadPart);
}
