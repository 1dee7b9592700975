// Scenarios of the shipped corcard.sys under Wine's kernel. Each runs in a fresh prefix
// (run-scenario.sh): it installs the fixture bus from corbus.inf, puts the package's corcard.inf
// and corcard.sys where Wine's manager looks for a driver, plugs boards through the fixture's
// control device and checks what corcard did, from the fixture's record and from the Enum tree
// as the manager wrote it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rig.h"

namespace {

// The accesses of corcard's quiesce of one UART at Base, as the registers were before it:
// divisor latch closed with the line settings kept, interrupts off, modem and line status read,
// the identification read, and the receive buffer read for a line-status or time-out cause.
std::vector<std::string> Quiesce(uint16_t base, uint8_t lcr, uint8_t iir)
{
    auto at = [base](int offset) { return Hex(base + offset, 4); };
    std::vector<std::string> t = {"in " + at(3) + "=" + Hex(lcr, 2),
                                  "out " + at(3) + "=" + Hex(lcr & 0x7F, 2),
                                  "out " + at(1) + "=00",
                                  "in " + at(6) + "=00",
                                  "in " + at(5) + "=00",
                                  "in " + at(2) + "=" + Hex(iir, 2)};
    if ((iir & 0x0F) == 0x06 || (iir & 0x0F) == 0x0C) {
        t.push_back("in " + at(0) + "=00");
    }
    return t;
}

std::vector<std::string> QuiesceAll(uint8_t lcr)
{
    const uint8_t causes[4] = {0xC1, 0xC6, 0xCC, 0xC4};
    std::vector<std::string> t;
    for (int k = 0; k < 4; ++k) {
        auto one = Quiesce(uint16_t(UartBase + 8 * k), lcr, causes[k]);
        t.insert(t.end(), one.begin(), one.end());
    }
    return t;
}

std::string MinorName(uint64_t minor)
{
    switch (minor) {
    case 0x00:
        return "start";
    case 0x02:
        return "remove";
    case 0x17:
        return "surprise-removal";
    default:
        return "minor " + Hex(minor, 2);
    }
}

// The record as a list of lines: port accesses, interrupt connection, removal requests (at the
// fixture's board device, at corcard's adapter and port devices) and unload.
std::vector<std::string> Trace(const CORBUS_RECORD& r, uint32_t from = 0)
{
    std::vector<std::string> t;
    for (uint32_t i = from; i < r.EventCount && i < CORBUS_MAX_EVENTS; ++i) {
        const CORBUS_EVENT& e = r.Events[i];
        const bool removal = e.A == 0x02 || e.A == 0x17;
        switch (e.Kind) {
        case EvPortRead:
            t.push_back("in " + Hex(e.A, 4) + "=" + Hex(e.B, 2));
            break;
        case EvPortWrite:
            t.push_back("out " + Hex(e.A, 4) + "=" + Hex(e.B, 2));
            break;
        case EvConnect:
            t.push_back("connect vector " + Hex(e.A) + " irql " + Hex(e.B & 0xFF) + " sync " +
                        Hex((e.B >> 8) & 0xFF) + " mode " + Hex((e.B >> 16) & 0xFF) + " shared " +
                        Hex(e.B >> 24) + " affinity " + Hex(e.C) + " float " + Hex(e.D));
            break;
        case EvDisconnect:
            t.push_back(e.A ? "disconnect" : "disconnect of an unknown object");
            break;
        case EvPdoIrp:
            if (e.A == 0x1B && (e.B == 0x00 || e.B == 0x02 || e.B == 0x17)) {
                t.push_back("bus " + MinorName(e.B));
            }
            if (e.A == 0x16 && e.B == 0x02) {
                const bool device = (e.D >> 32) == 1;
                t.push_back(std::string("bus power ") + (device ? "D" : "S") +
                            std::to_string((e.D & 0xFFFFFFFF) - 1));
            }
            break;
        case EvCorcardIrp:
            if (removal) {
                t.push_back((e.Slot == CORBUS_PORT_DEVICE ? "port " : "adapter ") + MinorName(e.A));
            }
            break;
        case EvUnload:
            t.push_back("unload, devices left " + Hex(e.A));
            break;
        case EvPowerRequest:
            t.push_back("power request D" + std::to_string(e.B - 1));
            break;
        default:
            break;
        }
    }
    return t;
}

std::vector<std::string> Repeat(const std::string& line, int n)
{
    return std::vector<std::string>(size_t(n), line);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool AdapterStarted(const CORBUS_RECORD& r)
{
    for (uint32_t i = 0; i < r.EventCount; ++i) {
        const CORBUS_EVENT& e = r.Events[i];
        if (e.Kind == EvPdoIrp && e.A == 0x1B && e.B == 0)
            return true;
    }
    return false;
}

// ---- scenarios -------------------------------------------------------------------------------

// An LX4A from plugging to unload: add-device with its configuration read, the start with the
// test's assignment, four port devices as the manager recorded them, unplug and unload.
TEST(Scenario, Lx4aLife)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::None));
    const uint32_t slot = rig.Plug(Board(0x7A41));
    ASSERT_EQ(slot, 0u);

    // The ports are recorded once the manager has set the last value it writes for each (the
    // configuration flags, after the hardware and compatible IDs).
    ASSERT_TRUE(Rig::WaitFor([] {
        for (int k = 0; k < 4; ++k) {
            if (RegGetValueW(HKEY_LOCAL_MACHINE, PortKey(k).c_str(), L"ConfigFlags", RRF_RT_ANY,
                             nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
                return false;
            }
        }
        return true;
    })) << "the ports never reached the Enum tree";
    const CORBUS_RECORD& r = rig.Record();

    // The image was mapped with every replaced import present, and its add-device read the full
    // configuration header through the board's device.
    EXPECT_EQ(r.ImportsReplaced, 10u);
    EXPECT_EQ(r.DriverRoutines, 0x1Fu) << "DriverEntry's dispatch, add-device and unload routines";
    bool readHeader = false;
    for (uint32_t i = 0; i < r.EventCount; ++i) {
        const CORBUS_EVENT& e = r.Events[i];
        readHeader |= e.Kind == EvPdoIrp && e.A == 0x1B && e.B == 0x0F && e.C == 0 && e.D == 64;
    }
    EXPECT_TRUE(readHeader) << "no 64-byte configuration read at offset 0";
    EXPECT_EQ(CountEvents(r, EvStartResources), 1u);
    EXPECT_TRUE(AdapterStarted(r));
    EXPECT_EQ(r.ErrorCount, 0u);

    // Start: the four UARTs silenced, then the interrupt connected with the assignment's
    // translated vector and level, level-sensitive, shared, its affinity, no floating point.
    const auto started = Trace(r, After(r, EvStartResources));
    const auto expectedStart =
        std::vector<std::string>{"bus start"} + QuiesceAll(0x83) +
        std::vector<std::string>{
            "connect vector 91 irql 9 sync 9 mode 0 shared 1 affinity 3 float 0"};
    EXPECT_EQ(started, expectedStart);
    EXPECT_LT(r.ServiceRoutine - r.CorcardBase, r.CorcardSize) << "service routine outside corcard";

    // The adapter as the manager recorded it, and its four ports.
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, AdapterKey, L"Service"), L"corcard");
    EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, AdapterKey, L"DeviceDesc"),
              L"TORVA Corran LX4A 4-port RS-232 adapter");
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("port " + std::to_string(k));
        EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, PortKey(k), L"HardwareID"),
                  L"CorPort" + std::to_wstring(k + 1));
        EXPECT_EQ(RegString(HKEY_LOCAL_MACHINE, PortKey(k), L"CompatibleIDs"), L"");
    }
    EXPECT_EQ(CountEvents(r, EvCompatibleIds), 4u);
    std::vector<std::wstring> instances;
    HKEY ports = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (EnumRoot + L"Corcard\\CorPort").c_str(), 0,
                            KEY_READ, &ports),
              ERROR_SUCCESS);
    wchar_t name[256];
    for (DWORD i = 0, n = 256;
         RegEnumKeyExW(ports, i, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, n = 256) {
        instances.push_back(name);
    }
    RegCloseKey(ports);
    EXPECT_EQ(instances.size(), 4u) << "port devices under Corcard\\CorPort";

    // The texts, asked of each port device directly.
    const auto texts = rig.PortTexts();
    ASSERT_EQ(texts->Count, 4u);
    for (uint32_t i = 0; i < texts->Count; ++i) {
        const std::string id = Narrow(texts->Ports[i].InstanceId);
        const int k = id.back() - '0';
        SCOPED_TRACE(id);
        EXPECT_EQ(id, "1E5C&0001_7A410001_" + std::string(ParentInstance) + "_Port" +
                          std::to_string(k));
        EXPECT_EQ(Narrow(texts->Ports[i].Description),
                  "TORVA Corran Serial Port " + std::to_string(k + 1));
        EXPECT_EQ(Narrow(texts->Ports[i].Location),
                  "LX4A-port " + std::to_string(k + 1) + ",  RS-232");
    }

    // Sleep and wake (Wine's manager sends no power request; the fixture sends the system's):
    // each system request brings the adapter's own device request, through the platform's
    // request routine, before it goes down. Wine never asks the adapter's stack for its
    // capabilities, so corcard keeps its own map, in which S3 is D2.
    const uint32_t beforePower = rig.Record().EventCount;
    EXPECT_EQ(rig.SystemPower(4), 0); // PowerSystemSleeping3
    EXPECT_EQ(rig.SystemPower(1), 0); // PowerSystemWorking
    EXPECT_EQ(Trace(rig.Record(), beforePower),
              (std::vector<std::string>{"power request D2", "bus power D2", "bus power S3",
                                        "power request D0", "bus power D0", "bus power S0"}));

    // Unplug: surprise removal and removal, the ports first; the UARTs silenced while the
    // interrupt is still connected, then disconnected; everything deleted.
    const uint32_t mark = r.EventCount;
    rig.Unplug(slot);
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& x) {
        return x.DevicesDeleted == x.DevicesCreated && x.DevicesCreated == 5;
    })) << "corcard's devices were not all deleted: "
        << rig.Record().DevicesDeleted;
    const auto removal = Repeat("port surprise-removal", 4) +
                         std::vector<std::string>{"adapter surprise-removal"} + QuiesceAll(0x03) +
                         std::vector<std::string>{"disconnect", "bus surprise-removal"} +
                         Repeat("port remove", 4) + std::vector<std::string>{"adapter remove"} +
                         QuiesceAll(0x03) + std::vector<std::string>{"bus remove"};
    const CORBUS_RECORD& after = rig.Record();
    EXPECT_EQ(Trace(after, mark), removal);

    // Unload runs DriverUnload with no device object and no allocation of corcard's left.
    EXPECT_EQ(rig.Unload(), 0);
    const CORBUS_RECORD& last = rig.Record();
    EXPECT_EQ(last.UnloadRan, 1);
    EXPECT_EQ(last.DevicesLeftAtUnload, 0);
    EXPECT_EQ(last.NonPagedOutstanding, 0);

    // The image the service runs is the package's, byte for byte, where the INF installed it
    // (the driver store): the fixture changed only the loaded copy.
    const std::vector<char> shipped = FileBytes(Wide(CORCARD_SYS));
    EXPECT_FALSE(shipped.empty());
    const std::wstring image = ServiceImage(L"corcard");
    EXPECT_TRUE(FileBytes(image) == shipped) << std::string(image.begin(), image.end());
}

// The error-log entry corcard wrote: its fixed part, and the sentence as the event log shows it,
// formatted through the message table of the shipped image.
void ExpectErrorEntry(const CORBUS_ERROR& e, const std::string& sentence)
{
    EXPECT_EQ(e.ErrorCode, 0xE0070003u);
    EXPECT_EQ(uint32_t(e.FinalStatus), 0xE0070003u);
    EXPECT_EQ(e.UniqueErrorValue, 0xEBEBEBEBu);
    EXPECT_EQ(e.NumberOfStrings, 1);
    EXPECT_EQ(e.StringOffset, 40);
    EXPECT_EQ(e.Size, 48 + 2 * (sentence.size() + 1));
    EXPECT_EQ(Narrow(e.Text), sentence);

    HMODULE image = LoadLibraryExW(Wide(CORCARD_SYS).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    std::wstring text(e.Text, e.Text + Narrow(e.Text).size());
    const wchar_t* args[] = {L"\\Device\\00000042", text.c_str()};
    wchar_t shown[256] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                   image, e.ErrorCode, 0x409, shown, 256, (va_list*)args);
    FreeLibrary(image);
    EXPECT_EQ(std::wstring(shown, n), text + L"\r\n");
}

// A board matched as an LX4A whose configuration space holds a subsystem ID that the catalogue
// does not know: add-device fails with its event-log entry and leaves nothing behind.
TEST(Scenario, UnknownSubsystem)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::None));
    Board board(0x7A51);
    board.Request.IdSubsystem = 0x7A41;
    board.Request.IdSubVendor = 0x0001;
    rig.Plug(board);
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& r) {
        return r.ErrorCount == 1 && r.DevicesCreated == 1 && r.DevicesDeleted == 1;
    })) << "no failed add-device";
    const CORBUS_RECORD& r = rig.Record();
    ExpectErrorEntry(r.Errors[0], "Unable to create port devices.");
    EXPECT_EQ(r.NonPagedOutstanding, 0);
    EXPECT_EQ(CountEvents(r, EvStartResources), 0u) << "corcard saw a start";
    EXPECT_EQ(CountEvents(r, EvPortRead) + CountEvents(r, EvPortWrite), 0u);
    EXPECT_EQ(CountEvents(r, EvConnect), 0u);
}

// A start whose lists lack the range of BAR 1, where the interrupt status register lives: the
// start fails with its status and sentence before any UART or the interrupt is touched.
TEST(Scenario, NoStatusRange)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::None));
    Board board(0x7A41);
    board.Lists(ResourceList().Port(UartBase, 0x20).Interrupt(11, 11, Affinity),
                ResourceList().Port(UartBase, 0x20).Interrupt(Level, Vector, Affinity));
    const uint32_t slot = rig.Plug(board);
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& r) {
        return CountEvents(r, EvStartDone) == 1;
    })) << "corcard was never started";
    const CORBUS_RECORD& r = rig.Record();
    const CORBUS_EVENT& done = r.Events[After(r, EvStartDone) - 1];
    EXPECT_EQ(done.Slot, slot);
    EXPECT_EQ(done.A, 0xC0000182u); // STATUS_DEVICE_CONFIGURATION_ERROR
    ASSERT_EQ(r.ErrorCount, 1u);
    ExpectErrorEntry(r.Errors[0], "No I/O range assigned to the interrupt status register.");
    EXPECT_EQ(CountEvents(r, EvPortRead) + CountEvents(r, EvPortWrite), 0u);
    EXPECT_EQ(CountEvents(r, EvConnect), 0u);

    // Wine's manager sends no removal after a failed start, so the adapter is still there at
    // unload: DriverUnload deletes it and its ports, frees what it holds, and leaves the
    // hardware and the (never connected) interrupt alone.
    EXPECT_EQ(rig.Unload(), 0);
    const CORBUS_RECORD& last = rig.Record();
    EXPECT_EQ(last.UnloadRan, 1);
    EXPECT_EQ(last.DevicesLeftAtUnload, 0);
    EXPECT_EQ(last.DevicesCreated, 5);
    EXPECT_EQ(last.DevicesDeleted, 5);
    EXPECT_EQ(last.NonPagedOutstanding, 0);
    EXPECT_EQ(CountEvents(last, EvPortRead) + CountEvents(last, EvPortWrite), 0u);
    EXPECT_EQ(CountEvents(last, EvDisconnect), 0u);
}

// The port double on each port device: the interface record and the resource record byte for
// byte, the callback hooked; then an interrupt with one port's status bit reaches that port's
// callback, and one with the register reading 0 is declined.
TEST(Scenario, Interrupt)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Double));
    rig.Plug(Board(0x7A41));
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& r) { return r.DoubleCount == 4; }))
        << "the port double did not start on four ports";
    const CORBUS_RECORD& r = rig.Record();
    const uint64_t interruptObject = r.InterruptObject;
    const uint64_t base = r.CorcardBase, size = r.CorcardSize;
    for (uint32_t i = 0; i < 4; ++i) {
        const CORBUS_DOUBLE& d = r.Doubles[i];
        SCOPED_TRACE("CorPort" + std::to_string(d.PortIndex));
        ASSERT_GE(d.PortIndex, 1u);
        ASSERT_LE(d.PortIndex, 4u);
        EXPECT_EQ(d.QueryStatus, 0);
        EXPECT_EQ(d.ResourcesStatus, 0);
        EXPECT_EQ(d.ConnectStatus, 0);

        // Interface: size 52, version 2, a context, five routines inside corcard's image.
        EXPECT_EQ(d.Interface[0] | d.Interface[1] << 8, 52);
        EXPECT_EQ(d.Interface[2] | d.Interface[3] << 8, 2);
        uint64_t fields[6];
        std::memcpy(fields, d.Interface + 4, sizeof(fields));
        EXPECT_NE(fields[0], 0u);
        for (int f = 1; f < 6; ++f)
            EXPECT_LT(fields[f] - base, size) << "routine " << f;

        // Resources: the port's UART block, the reserved bytes untouched, the interrupt.
        uint8_t expected[56];
        std::memset(expected, 0xA5, sizeof(expected));
        auto put = [&expected](int at, uint64_t v, int bytes) {
            for (int b = 0; b < bytes; ++b)
                expected[at + b] = uint8_t(v >> (8 * b));
        };
        put(0, UartBase + 8 * (d.PortIndex - 1), 8);
        put(8, 8, 4);
        put(24, interruptObject, 8);
        put(32, Level, 1);
        put(36, Vector, 4);
        put(40, Affinity, 8);
        put(48, 0, 4); // level-sensitive
        put(52, 2, 4); // the catalogue's driver parameter
        EXPECT_EQ(std::vector<uint8_t>(d.Resources, d.Resources + 56),
                  std::vector<uint8_t>(expected, expected + 56));
    }
    // One set of routines for every port, each port with its own context.
    for (uint32_t i = 1; i < 4; ++i) {
        EXPECT_EQ(std::memcmp(r.Doubles[i].Interface + 12, r.Doubles[0].Interface + 12, 40), 0);
        EXPECT_NE(std::memcmp(r.Doubles[i].Interface + 4, r.Doubles[0].Interface + 4, 8), 0);
    }
    EXPECT_EQ(CountEvents(r, EvSynchronize), 4u);

    // Port 3's bit: its callback runs once, clears the bit, and the dispatcher claims the
    // interrupt; a register reading 0 is declined without any callback.
    const uint32_t mark = r.EventCount;
    rig.Interrupt(0x04);
    rig.Interrupt(0x00);
    const CORBUS_RECORD& after = rig.Record();
    std::vector<std::string> seen;
    for (uint32_t i = mark; i < after.EventCount; ++i) {
        const CORBUS_EVENT& e = after.Events[i];
        if (e.Kind == EvPortRead)
            seen.push_back("in " + Hex(e.A, 4) + "=" + Hex(e.B, 2));
        if (e.Kind == EvDoubleCallback)
            seen.push_back("callback CorPort" + std::to_string(e.A));
        if (e.Kind == EvIsr)
            seen.push_back("isr " + Hex(e.A, 2) + " -> " + Hex(e.B));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"in e100=04", "callback CorPort3", "in e100=00",
                                              "isr 04 -> 1", "in e100=00", "isr 00 -> 0"}));

    // Unplug: each port's double unhooks during its surprise removal, while the adapter's
    // interrupt is still connected (one synchronised release per port), before the adapter
    // takes its interrupt down.
    const uint32_t unplugMark = after.EventCount;
    rig.Unplug(0);
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& x) {
        return x.DevicesCreated == 5 && x.DevicesDeleted == 5;
    })) << "corcard's devices were not all deleted";
    const CORBUS_RECORD& gone = rig.Record();
    std::vector<std::string> order;
    for (uint32_t i = unplugMark; i < gone.EventCount; ++i) {
        if (gone.Events[i].Kind == EvSynchronize)
            order.push_back("release");
        if (gone.Events[i].Kind == EvDisconnect)
            order.push_back("disconnect");
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{"release", "release", "release", "release", "disconnect"}));
}

} // namespace
