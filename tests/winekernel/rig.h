// The scenarios' rig: boards as the fixture bus plugs them, and the installation and control of
// the fixture (corbus.sys) from the scenario program. Each scenario runs in a fresh prefix
// (run-scenario.sh).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "corbus.h"

std::wstring Wide(const char* s);
std::string Narrow(const uint16_t* s);
std::string Hex(uint64_t v, int digits = 0);

// ---- boards ---------------------------------------------------------------------------------

constexpr uint16_t UartBase = 0xE000;   // BAR 0: the UARTs, 8 registers each
constexpr uint16_t StatusBase = 0xE100; // BAR 1: the interrupt status register
constexpr uint32_t Vector = 0x91, Level = 9;
constexpr uint64_t Affinity = 0x3;
const char* const ParentInstance = "3&11583659&0&20";

// A CM_RESOURCE_LIST with one full descriptor (PCI bus 0), written byte by byte in the
// platform's layout: partial descriptors of 20 bytes, packed on 4.
struct ResourceList {
    std::vector<uint8_t> Bytes;
    size_t CountAt = 0;
    ResourceList();
    void Put32(uint32_t v);
    void Put64(uint64_t v);
    void Descriptor(uint8_t type, uint8_t share, uint16_t flags);
    ResourceList& Port(uint64_t start, uint32_t length);
    ResourceList& Interrupt(uint32_t level, uint32_t vector, uint64_t affinity);
};

// An LX-family board: PCI 1E5C:0001, subsystem vendor 0001, the given subsystem ID; a serial
// controller (class 07 00 02); I/O BARs 0 and 1 programmed to the assigned ranges, which the
// start's lists carry with the shared line. With uarts, the fixture models that many 16550As;
// otherwise the I/O ports are plain bytes holding the presets: UART registers as firmware left
// them (divisor latch open, and per port a different pending cause: none, line status,
// character time-out, received data).
struct Board {
    CORBUS_PLUG_REQUEST Request{};
    explicit Board(uint16_t subsystem, uint32_t uarts = 0);
    void Lists(const ResourceList& raw, const ResourceList& translated);
    void Preset(uint16_t port, uint8_t value);
};

// ---- the Enum tree and files ----------------------------------------------------------------

const std::wstring EnumRoot = L"SYSTEM\\CurrentControlSet\\Enum\\";
extern const std::wstring AdapterKey;
// The Enum key of port k (from 0) of the LX4A in slot 0.
std::wstring PortKey(int k);
std::wstring RegString(HKEY root, const std::wstring& key, const wchar_t* value);
// The file a service's ImagePath names, as a Win32 path.
std::wstring ServiceImage(const wchar_t* service);
std::vector<char> FileBytes(const std::wstring& path);

size_t CountEvents(const CORBUS_RECORD& r, uint32_t kind);
// The index just after the first event of Kind (with minor Minor for request events).
uint32_t After(const CORBUS_RECORD& r, uint32_t kind, int64_t minor = -1);

// ---- the rig --------------------------------------------------------------------------------

class Rig {
public:
    enum class Ports {
        None,    // corcard's port devices stay without a function driver
        Double,  // the fixture's port double serves them (corport-double.inf)
        Package, // the package's corport.inf installs corserial.sys on them
    };

    ~Rig();

    // Puts the INFs where the manager finds them and installs the fixture bus.
    void Install(Ports ports);

    uint32_t Plug(const Board& board);
    void Unplug(uint32_t slot);
    void Interrupt(uint8_t status);
    LONG SystemPower(uint32_t state);
    LONG Unload();
    const CORBUS_RECORD& Record();
    std::unique_ptr<CORBUS_PORT_TEXTS> PortTexts();

    // What is plugged into the port's connector (ports 1-based, slot 0's board), with any of
    // the port's own wires broken (CORBUS_WIRE bits) and its transmitter's rate off by
    // rateError thousandths.
    void Line(uint32_t port, uint32_t farEnd, uint32_t peer = 0, uint32_t broken = 0,
              int32_t rateError = 0);
    CORBUS_UART Uart(uint32_t port);
    void HoldInterrupt(uint32_t characters);
    LONG RestartPort(uint32_t port);
    LONG UnloadSerial();

    // Waits on progress: the condition is polled until it holds. The bound only turns a hang
    // into a failure; ctest's timeout is far above it.
    static bool WaitFor(const std::function<bool()>& condition);
    bool WaitForRecord(const std::function<bool(const CORBUS_RECORD&)>& condition);

    HANDLE Control = INVALID_HANDLE_VALUE;

private:
    DWORD Request(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize);
    std::unique_ptr<CORBUS_RECORD> Last = std::make_unique<CORBUS_RECORD>();
};

// ---- COM ports ------------------------------------------------------------------------------

// Claims COM1 to COMlast in the COM name database, as ports the machine already has: the board's
// ports get the numbers after them.
void ClaimComNumbers(int last);
// Waits until every port has started: it opens and answers.
bool WaitForPorts(const std::vector<std::wstring>& names);

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM as "<device>=<COM name>" lines.
std::vector<std::wstring> SerialDeviceMap();

// An open COM port (\\.\name, or a device path as given), closed with the object. Under Wine
// a refused open leaves a handle too, and a handle closed before the driver answered its open
// sends the close behind later opens: check Answers() before closing one that will be reopened.
struct ComPort {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    DWORD Error = 0; // GetLastError of a failed open
    explicit ComPort(const std::wstring& name, bool overlapped = false);
    ~ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;
    void Close();
    bool Open() const { return Handle != INVALID_HANDLE_VALUE; }
    bool Answers() const; // the port answers GetCommState: the driver took the open
    operator HANDLE() const { return Handle; }
};

// An OVERLAPPED with its own manual-reset event.
struct Overlapped : OVERLAPPED {
    Overlapped();
    ~Overlapped();
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
    // Waits for completion (on the event first: Wine leaves a pending serial control request's
    // status at 0xC00000CB until it completes) and returns the bytes moved. Without error, a
    // failed request gives -1; with it, the bytes moved all the same and the error there (0 for
    // success). -1 when it did not complete at all.
    long Finish(HANDLE file, DWORD* error = nullptr);
    bool Done() const { return WaitForSingleObject(hEvent, 0) == WAIT_OBJECT_0; }
};

// Milliseconds since construction, from the performance counter.
struct Stopwatch {
    LARGE_INTEGER Start{}, Frequency{};
    Stopwatch();
    double Ms() const;
};
