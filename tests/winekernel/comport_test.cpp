// COM ports served by the shipped corserial.sys over corcard.sys under Wine's kernel, used by
// this program through the documented communications API only. The package installs both
// drivers from its INFs; the fixture plugs an LX4A whose four UARTs it models, with a null-modem
// cable or a loopback plug at the far end of a line (rig.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "rig.h"

namespace {

// The package installed, an LX4A with four modelled UARTs plugged: with COM1 to COM6 taken on
// this machine, its ports are COM7 to COM10.
void PlugLx4a(Rig& rig)
{
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
    rig.Plug(Board(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts({L"COM7", L"COM8", L"COM9", L"COM10"})) << "the ports never started";
}

DCB State(HANDLE port)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    return dcb;
}

// 8N1 at the rate, with or without RTS/CTS flow control; DTR on.
void SetLine(HANDLE port, DWORD baud, bool handshake = false)
{
    DCB dcb = State(port);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = handshake;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
}

// The port's state with the change made.
void Configure(HANDLE port, const std::function<void(DCB&)>& change)
{
    DCB dcb = State(port);
    change(dcb);
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
}

void SetTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant,
                 DWORD writeConstant = 0)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(port, &t)) << GetLastError();
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return bytes;
}

// One port's side of the synchronous transfer: a chunk out, a chunk in, until all is through.
void SyncSide(HANDLE port, const std::vector<uint8_t>& out, std::vector<uint8_t>& in, bool& ok)
{
    constexpr size_t Chunk = 4096;
    ok = true;
    for (size_t at = 0; ok && at < out.size(); at += Chunk) {
        DWORD n = 0;
        ok = WriteFile(port, out.data() + at, Chunk, &n, nullptr) && n == Chunk;
        for (size_t got = 0; ok && got < Chunk; got += n) {
            ok = ReadFile(port, in.data() + at + got, DWORD(Chunk - got), &n, nullptr) && n != 0;
        }
    }
}

// The other port's side, overlapped: a write and a read in flight at once until all is through.
void OverlappedSide(HANDLE port, const std::vector<uint8_t>& out, std::vector<uint8_t>& in,
                    bool& ok)
{
    constexpr size_t Chunk = 8192;
    Overlapped ov[2]; // write, read
    size_t done[2] = {};
    bool busy[2] = {};
    const size_t size = out.size();
    ok = false;
    while (done[0] < size || done[1] < size) {
        for (int i = 0; i < 2; ++i) {
            if (busy[i] || done[i] == size)
                continue;
            ResetEvent(ov[i].hEvent);
            const DWORD n = DWORD(std::min(Chunk, size - done[i]));
            const BOOL started = i == 0 ? WriteFile(port, out.data() + done[i], n, nullptr, &ov[i])
                                        : ReadFile(port, in.data() + done[i], n, nullptr, &ov[i]);
            if (!started && GetLastError() != ERROR_IO_PENDING)
                return;
            busy[i] = true;
        }
        HANDLE events[2];
        int which[2], count = 0;
        for (int i = 0; i < 2; ++i) {
            if (busy[i]) {
                events[count] = ov[i].hEvent;
                which[count++] = i;
            }
        }
        const DWORD w = WaitForMultipleObjects(DWORD(count), events, FALSE, 30000);
        if (w >= WAIT_OBJECT_0 + DWORD(count))
            return; // no progress for 30 s
        const int i = which[w - WAIT_OBJECT_0];
        DWORD n = 0;
        if (!GetOverlappedResult(port, &ov[i], &n, FALSE) || n == 0)
            return;
        done[i] += n;
        busy[i] = false;
    }
    ok = true;
}

// ---- scenarios -------------------------------------------------------------------------------

// Line settings at several rates and formats, as the port reports them back and as the UART was
// programmed; refused ones change nothing. Then 256 KB each way at once between two ports through
// a null-modem cable at 921600 baud with RTS/CTS flow control, one port synchronous, the other
// overlapped.
TEST(ComPort, Transfer)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    {
        ComPort a(L"COM7");
        ASSERT_TRUE(a.Open()) << a.Error;
        struct {
            DWORD Baud;
            BYTE Size, Parity, Stop;
            uint16_t Divisor; // 73.728 MHz / 16 / rate
            uint8_t Lcr;
        } const cases[] = {
            {300, 8, NOPARITY, ONESTOPBIT, 15360, 0x03},
            {9600, 7, EVENPARITY, ONESTOPBIT, 480, 0x1A},
            {115200, 8, ODDPARITY, TWOSTOPBITS, 40, 0x0F},
            {921600, 5, MARKPARITY, ONE5STOPBITS, 5, 0x2C},
            {57600, 6, SPACEPARITY, TWOSTOPBITS, 80, 0x3D},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.Baud) + " baud");
            DCB dcb = State(a);
            dcb.BaudRate = c.Baud;
            dcb.ByteSize = c.Size;
            dcb.Parity = c.Parity;
            dcb.StopBits = c.Stop;
            ASSERT_TRUE(SetCommState(a, &dcb)) << GetLastError();
            const DCB back = State(a);
            EXPECT_EQ(back.BaudRate, c.Baud);
            EXPECT_EQ(back.ByteSize, c.Size);
            EXPECT_EQ(back.Parity, c.Parity);
            EXPECT_EQ(back.StopBits, c.Stop);
            const CORBUS_UART u = rig.Uart(1);
            EXPECT_EQ(u.Dll | u.Dlm << 8, c.Divisor);
            EXPECT_EQ(u.Lcr, c.Lcr);
        }
        // 1000000 baud is 8 % off the nearest divisor; 2 stop bits need more than 5 data bits.
        DCB bad = State(a);
        bad.BaudRate = 1000000;
        EXPECT_FALSE(SetCommState(a, &bad));
        bad = State(a);
        bad.ByteSize = 5;
        bad.StopBits = TWOSTOPBITS;
        EXPECT_FALSE(SetCommState(a, &bad));
        const DCB kept = State(a);
        EXPECT_EQ(kept.BaudRate, 57600u);
        EXPECT_EQ(kept.ByteSize, 6);
        EXPECT_EQ(kept.StopBits, TWOSTOPBITS);
    }

    // COM7 does its I/O synchronously (a chunk out, a chunk in), COM8 overlapped.
    constexpr size_t Size = 256 * 1024;
    const std::vector<uint8_t> out[2] = {Pattern(Size, 7), Pattern(Size, 8)};
    ComPort a(L"COM7"), b(L"COM8", true);
    ASSERT_TRUE(a.Open() && b.Open()) << a.Error << " " << b.Error;
    for (HANDLE port : {a.Handle, b.Handle}) {
        ASSERT_TRUE(SetupComm(port, 65536, 65536));
        SetLine(port, 921600, true);
        // Reads wait for their whole chunk; the bound only turns a stall into a failure.
        SetTimeouts(port, 0, 0, 30000);
    }
    std::vector<uint8_t> in[2] = {std::vector<uint8_t>(Size), std::vector<uint8_t>(Size)};
    const Stopwatch clock;
    bool ok[2] = {};
    std::thread other(OverlappedSide, b.Handle, std::cref(out[1]), std::ref(in[1]),
                      std::ref(ok[1]));
    SyncSide(a, out[0], in[0], ok[0]);
    other.join();
    const double ms = clock.Ms();
    EXPECT_TRUE(ok[0] && ok[1]);
    EXPECT_TRUE(in[1] == out[0]) << "COM7 to COM8";
    EXPECT_TRUE(in[0] == out[1]) << "COM8 to COM7";
    std::printf("2 x %zu bytes in %.0f ms: %.1f kB/s each way (the line carries 92.2 kB/s)\n", Size,
                ms, Size / ms);
    // What the fixture supplied: corserial's imports of what Wine lacks (interrupt
    // synchronisation, error log, power requests, DPCs, timers) and of what it counts; the
    // interrupt, raised as the platform would at the connection's synchronize IRQL, every call
    // claimed; the DPCs.
    const CORBUS_RECORD& r = rig.Record();
    EXPECT_EQ(r.SerialImportsReplaced, 17u);
    EXPECT_EQ(r.InterruptIrql, Level);
    EXPECT_EQ(rig.Uart(1).Overruns + rig.Uart(2).Overruns, 0u);
    EXPECT_EQ(r.InterruptsDeclined, 0u);
    EXPECT_GT(r.DpcsRun, 0u);
    std::printf("the fixture ran %u interrupts and %u DPCs\n", r.Interrupts, r.DpcsRun);
}

COMSTAT Status(HANDLE port, DWORD* errors = nullptr)
{
    COMSTAT status{};
    DWORD e = 0;
    EXPECT_TRUE(ClearCommError(port, &e, &status)) << GetLastError();
    if (errors != nullptr)
        *errors = e;
    return status;
}

// The port sees CTS low now: the modem status read takes the far end's change in at once (the
// interrupt it raised may not have been serviced yet), holds included.
void ExpectCtsLow(HANDLE port)
{
    DWORD lines = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &lines));
    EXPECT_EQ(lines & MS_CTS_ON, 0u);
}

// The bytes a request moved before it timed out. Windows counts a time-out as success
// (STATUS_TIMEOUT is a success status); Wine's GetOverlappedResult fails it with ERROR_TIMEOUT,
// the count still filled in.
long TimedOut(HANDLE port, Overlapped& ov)
{
    DWORD error = 0;
    const long n = ov.Finish(port, &error);
    EXPECT_TRUE(error == 0 || error == ERROR_TIMEOUT) << error;
    EXPECT_EQ(ov.Internal, ULONG_PTR(0x102)) << "STATUS_TIMEOUT";
    return n;
}

// Starts an overlapped request (a call that answers TRUE or FALSE with ERROR_IO_PENDING).
void Start(BOOL started)
{
    ASSERT_TRUE(started || GetLastError() == ERROR_IO_PENDING) << GetLastError();
}

// The events a WaitCommEvent for mask reports once cause has run.
DWORD EventsFor(HANDLE port, DWORD mask, const std::function<void()>& cause)
{
    EXPECT_TRUE(SetCommMask(port, mask));
    Overlapped ov;
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(port, &events, &ov)) << "completed before its cause";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    cause();
    EXPECT_EQ(ov.Finish(port), 4);
    return events;
}

// Read time-outs with their measured times: an interval time-out after the last byte, a total
// time-out with fewer bytes than asked, "return at once" with and without bytes waiting. Then a
// write under CTS flow control while the far end holds its RTS low times out, and goes through
// once the far end lets it.
TEST(ComPort, Timeouts)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    ComPort a(L"COM7", true), b(L"COM8");
    ASSERT_TRUE(a.Open() && b.Open()) << a.Error << " " << b.Error;
    SetLine(a, 115200);
    SetLine(b, 115200);
    char buffer[64];
    DWORD n = 0;

    // Interval 500 ms: the read waits for its first byte; a 30 ms gap does not end it, 500 ms
    // after the last byte does.
    SetTimeouts(a, 500, 0, 0);
    {
        Overlapped ov;
        Start(ReadFile(a, buffer, sizeof buffer, nullptr, &ov));
        ASSERT_TRUE(WriteFile(b, "01234", 5, &n, nullptr));
        Sleep(30);
        // The clock starts before the last write: its bytes may reach the reading port before
        // the writing program sees its write done.
        const Stopwatch clock;
        ASSERT_TRUE(WriteFile(b, "56789", 5, &n, nullptr));
        EXPECT_EQ(TimedOut(a, ov), 10);
        const double ms = clock.Ms();
        EXPECT_EQ(std::string(buffer, 10), "0123456789");
        EXPECT_GE(ms, 500.0);
        std::printf("interval 500 ms: 10 bytes, ended %.0f ms after the last write began\n", ms);
    }

    // Total 10 ms a byte + 200 ms: 20 bytes asked, 5 come.
    SetTimeouts(a, 0, 10, 200);
    {
        Overlapped ov;
        const Stopwatch clock;
        Start(ReadFile(a, buffer, 20, nullptr, &ov));
        ASSERT_TRUE(WriteFile(b, "abcde", 5, &n, nullptr));
        EXPECT_EQ(TimedOut(a, ov), 5);
        const double ms = clock.Ms();
        EXPECT_EQ(std::string(buffer, 5), "abcde");
        EXPECT_GE(ms, 400.0);
        std::printf("total 10 x 20 + 200 ms: 5 bytes after %.0f ms\n", ms);
    }

    // Return at once: with three bytes waiting, and with none.
    SetTimeouts(a, MAXDWORD, 0, 0);
    ASSERT_TRUE(WriteFile(b, "xyz", 3, &n, nullptr));
    ASSERT_TRUE(Rig::WaitFor([&] { return Status(a).cbInQue == 3; }));
    for (const int expected : {3, 0}) {
        Overlapped ov;
        const Stopwatch clock;
        Start(ReadFile(a, buffer, sizeof buffer, nullptr, &ov));
        EXPECT_EQ(ov.Finish(a), expected);
        std::printf("return at once: %d bytes after %.1f ms\n", expected, clock.Ms());
    }

    // The far end drops RTS: COM7's CTS goes low and holds its writes.
    Configure(a, [](DCB& d) { d.fOutxCtsFlow = TRUE; });
    Configure(b, [](DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; });
    ExpectCtsLow(a);
    COMMTIMEOUTS t = {0, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(a, &t));
    {
        Overlapped ov;
        const Stopwatch clock;
        Start(WriteFile(a, "held back", 9, nullptr, &ov));
        const COMSTAT held = Status(a);
        EXPECT_TRUE(held.fCtsHold);
        EXPECT_EQ(held.cbOutQue, 9u);
        EXPECT_EQ(TimedOut(a, ov), 0);
        const double ms = clock.Ms();
        EXPECT_GE(ms, 300.0);
        std::printf("write held by CTS, time-out 300 ms: 0 bytes after %.0f ms\n", ms);
    }
    ASSERT_TRUE(EscapeCommFunction(b, SETRTS));
    {
        Overlapped ov;
        Start(WriteFile(a, "let go", 6, nullptr, &ov));
        EXPECT_EQ(ov.Finish(a), 6);
        SetTimeouts(b, 0, 0, 5000);
        ASSERT_TRUE(ReadFile(b, buffer, 6, &n, nullptr));
        EXPECT_EQ(std::string(buffer, n), "let go");
    }
}

// WaitCommEvent for each kind of event a program waits for, caused by the far end of a null-modem
// cable: received characters, the event character, CTS, DSR and RLSD changes, a break and errors
// (which ClearCommError then reports). Through a loopback plug, EscapeCommFunction's modem lines
// come back in GetCommModemStatus and the data comes back too; its close lets the transmitter
// finish.
TEST(ComPort, Events)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    rig.Line(3, CorbusFarLoopback);
    ComPort a(L"COM7", true), b(L"COM8");
    ASSERT_TRUE(a.Open() && b.Open()) << a.Error << " " << b.Error;
    SetLine(a, 115200);
    SetLine(b, 115200);
    SetTimeouts(a, MAXDWORD, 0, 0);
    DWORD n = 0, errors = 0;
    char buffer[64];
    auto send = [&](const char* text) {
        ASSERT_TRUE(WriteFile(b, text, DWORD(strlen(text)), &n, nullptr)) << GetLastError();
    };
    auto drain = [&] { ASSERT_TRUE(PurgeComm(a, PURGE_RXCLEAR)); };

    EXPECT_EQ(EventsFor(a, EV_RXCHAR, [&] { send("x"); }), DWORD(EV_RXCHAR));
    drain();
    Configure(a, [](DCB& d) { d.EvtChar = '!'; });
    EXPECT_EQ(EventsFor(a, EV_RXFLAG, [&] { send("ab!"); }), DWORD(EV_RXFLAG));
    drain();

    // The far end's RTS is COM7's CTS, its DTR COM7's DSR and RLSD.
    Configure(b, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_DISABLE;
    });
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(a, &lines));
    EXPECT_EQ(lines & 0xF0, 0u) << "the far end's lines are down (their delta bits may show)";
    EXPECT_EQ(EventsFor(a, EV_CTS, [&] { EscapeCommFunction(b, SETRTS); }), DWORD(EV_CTS));
    EXPECT_EQ(EventsFor(a, EV_DSR | EV_RLSD, [&] { EscapeCommFunction(b, SETDTR); }),
              DWORD(EV_DSR | EV_RLSD));
    ASSERT_TRUE(GetCommModemStatus(a, &lines));
    EXPECT_EQ(lines, DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    EXPECT_EQ(EventsFor(a, EV_BREAK, [&] { SetCommBreak(b); }), DWORD(EV_BREAK));
    ClearCommBreak(b);
    Status(a, &errors);
    EXPECT_EQ(errors, DWORD(CE_BREAK));

    // Characters with even parity at a port set for odd, then 7 data bits at one set for 8.
    Configure(a, [](DCB& d) {
        d.Parity = ODDPARITY;
        d.fParity = TRUE;
    });
    Configure(b, [](DCB& d) { d.Parity = EVENPARITY; });
    EXPECT_EQ(EventsFor(a, EV_ERR, [&] { send("p"); }), DWORD(EV_ERR));
    Status(a, &errors);
    EXPECT_EQ(errors, DWORD(CE_RXPARITY));
    Configure(a, [](DCB& d) { d.Parity = NOPARITY; });
    Configure(b, [](DCB& d) {
        d.Parity = NOPARITY;
        d.ByteSize = 7;
    });
    EXPECT_EQ(EventsFor(a, EV_ERR, [&] { send("f"); }), DWORD(EV_ERR));
    Status(a, &errors);
    EXPECT_EQ(errors, DWORD(CE_FRAME));
    drain();

    ComPort c(L"COM9");
    ASSERT_TRUE(c.Open()) << c.Error;
    SetLine(c, 115200);
    Configure(c, [](DCB& d) {
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_DISABLE;
    });
    const struct {
        DWORD Function;
        DWORD Lines;
    } escapes[] = {
        {SETDTR, MS_DSR_ON | MS_RLSD_ON},
        {SETRTS, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {CLRDTR, MS_CTS_ON},
        {CLRRTS, 0},
    };
    // The modem status is the register as read: a change whose interrupt has not been serviced
    // yet shows its delta bit beside the lines.
    for (const auto& e : escapes) {
        ASSERT_TRUE(EscapeCommFunction(c, e.Function));
        ASSERT_TRUE(GetCommModemStatus(c, &lines));
        EXPECT_EQ(lines & 0xF0, e.Lines) << "after escape " << e.Function;
    }
    SetTimeouts(c, 0, 0, 5000);
    ASSERT_TRUE(WriteFile(c, "echo", 4, &n, nullptr));
    ASSERT_TRUE(ReadFile(c, buffer, 4, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "echo");

    // Closing lets the transmitter finish what it holds (64 characters at 9600 baud, 67 ms): the
    // UART's interrupts go off only once the last one has left.
    SetLine(c, 9600);
    const uint64_t sent = rig.Uart(3).Transmitted;
    const std::vector<uint8_t> tail(64, 'z');
    ASSERT_TRUE(WriteFile(c, tail.data(), DWORD(tail.size()), &n, nullptr));
    c.Close();
    ASSERT_TRUE(Rig::WaitFor([&] { return rig.Uart(3).Ier == 0; }));
    EXPECT_EQ(rig.Uart(3).Transmitted - sent, 64u);
}

// Overruns the far end causes, reported by ClearCommError: more than the receive queue holds,
// and characters arriving at a port without FIFOs while its interrupt waits. Then the ends of
// requests: PurgeComm and CancelIoEx ending pending ones, closing a handle with requests pending,
// a second open of a port that is open.
TEST(ComPort, Requests)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    ComPort b(L"COM8");
    ASSERT_TRUE(b.Open()) << b.Error;
    SetLine(b, 921600);
    SetTimeouts(b, 0, 0, 30000, 30000);
    DWORD n = 0, errors = 0;
    char buffer[64];

    // A port closed meanwhile starts afresh: what its UART lost then is nobody's.
    const std::vector<uint8_t> burst = Pattern(5000, 3);
    // 100 characters at the closed COM7: its 64-byte FIFO keeps 64, 36 are lost.
    ASSERT_TRUE(WriteFile(b, burst.data(), 100, &n, nullptr));
    ASSERT_TRUE(Rig::WaitFor([&] { return rig.Uart(1).Overruns == 36; }));
    auto a = std::make_unique<ComPort>(L"COM7", true);
    ASSERT_TRUE(a->Open()) << a->Error;
    SetLine(*a, 921600);
    EXPECT_EQ(Status(*a, &errors).cbInQue, 0u);
    EXPECT_EQ(errors, 0u);

    // 5000 bytes with no flow control at a port whose 4096-byte queue nobody reads.
    ASSERT_TRUE(WriteFile(b, burst.data(), DWORD(burst.size()), &n, nullptr));
    DWORD seen = 0;
    ASSERT_TRUE(Rig::WaitFor([&] {
        const COMSTAT s = Status(*a, &errors);
        seen |= errors;
        return rig.Uart(1).Received == 64 + burst.size() && rig.Uart(1).RxLevel == 0 &&
               s.cbInQue == 4096;
    }));
    EXPECT_EQ(seen, DWORD(CE_RXOVER));
    ASSERT_TRUE(PurgeComm(*a, PURGE_RXCLEAR));

    // Without FIFOs (set in the device key; the port restarted as after a property change),
    // the receive buffer holds one character: each of two more while the interrupt waits
    // overwrites it.
    a->Close();
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (PortKey(0) + L"\\Device Parameters").c_str(), 0,
                            KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const DWORD off = 0;
    RegSetValueExW(key, L"ForceFifoEnable", 0, REG_DWORD, (const BYTE*)&off, sizeof(off));
    RegCloseKey(key);
    ASSERT_EQ(rig.RestartPort(1), 0);
    a = std::make_unique<ComPort>(L"COM7", true);
    ASSERT_TRUE(a->Open()) << a->Error;
    SetLine(*a, 115200);
    SetLine(b, 115200);
    EXPECT_EQ(rig.Uart(1).Fcr & 0x01, 0) << "FIFOs still on";
    rig.HoldInterrupt(3);
    ASSERT_TRUE(WriteFile(b, "abc", 3, &n, nullptr));
    seen = 0;
    ASSERT_TRUE(Rig::WaitFor([&] {
        const COMSTAT s = Status(*a, &errors);
        seen |= errors;
        return s.cbInQue == 1 && (seen & CE_OVERRUN);
    })) << "errors "
        << seen;
    EXPECT_EQ(seen, DWORD(CE_OVERRUN));
    EXPECT_EQ(rig.Uart(1).Overruns, 36u + 2u);
    SetTimeouts(*a, MAXDWORD, 0, 0);
    Overlapped first;
    Start(ReadFile(*a, buffer, sizeof buffer, nullptr, &first));
    EXPECT_EQ(first.Finish(*a), 1);
    EXPECT_EQ(buffer[0], 'c');

    // PurgeComm ends a pending read and a write held by CTS; CancelIoEx a pending wait.
    SetTimeouts(*a, 0, 0, 0);
    Configure(*a, [](DCB& d) { d.fOutxCtsFlow = TRUE; });
    Configure(b, [](DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; });
    ExpectCtsLow(*a);
    {
        Overlapped read, write, wait;
        DWORD events = 0;
        Start(ReadFile(*a, buffer, sizeof buffer, nullptr, &read));
        Start(WriteFile(*a, "held", 4, nullptr, &write));
        ASSERT_TRUE(SetCommMask(*a, EV_RXCHAR));
        Start(WaitCommEvent(*a, &events, &wait));
        DWORD error = 0;
        ASSERT_TRUE(PurgeComm(*a, PURGE_RXABORT));
        read.Finish(*a, &error);
        EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_FALSE(write.Done());
        ASSERT_TRUE(PurgeComm(*a, PURGE_TXABORT));
        EXPECT_EQ(write.Finish(*a, &error), 0);
        EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
        EXPECT_FALSE(wait.Done());
        ASSERT_TRUE(CancelIoEx(*a, &wait));
        wait.Finish(*a, &error);
        EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    }

    // A second open while COM7 is open is refused, and leaves the owner's port alone. Windows
    // fails the CreateFile with ERROR_ACCESS_DENIED; Wine hands out a handle for a refused
    // create, whose requests corserial refuses in the same words.
    {
        ComPort second(L"COM7");
        ASSERT_TRUE(second.Open()) << "Wine's handle for a refused create: " << second.Error;
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_FALSE(GetCommState(second, &dcb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(State(*a).BaudRate, 115200u) << "the owner lost its port";

    // Closing with a read and a wait pending ends both; the port opens again afresh.
    Overlapped read, wait;
    DWORD events = 0;
    Start(ReadFile(*a, buffer, sizeof buffer, nullptr, &read));
    ASSERT_TRUE(SetCommMask(*a, EV_RXCHAR));
    Start(WaitCommEvent(*a, &events, &wait));
    a.reset();
    for (Overlapped* ov : {&read, &wait}) {
        EXPECT_EQ(WaitForSingleObject(ov->hEvent, 30000), WAIT_OBJECT_0);
        EXPECT_EQ(ov->Internal, ULONG_PTR(0xC0000120)) << "STATUS_CANCELLED";
    }
    ComPort again(L"COM7");
    ASSERT_TRUE(again.Open()) << again.Error;
    ASSERT_TRUE(SetCommMask(again, 0));
    DWORD mask = 1;
    ASSERT_TRUE(GetCommMask(again, &mask));
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(Status(again).cbInQue, 0u);
}

// Unplugging the board during a transfer: every pending request of both ports completes, the COM
// names and the device map entries go, and once the handles are closed corserial unloads leaving
// nothing (no device object, allocation, queued DPC or set timer); corcard after it.
TEST(ComPort, Unplug)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    auto a = std::make_unique<ComPort>(L"COM7", true);
    auto b = std::make_unique<ComPort>(L"COM8", true);
    ASSERT_TRUE(a->Open() && b->Open()) << a->Error << " " << b->Error;
    constexpr DWORD Size = 65536;
    const std::vector<uint8_t> out = Pattern(Size, 5);
    std::vector<uint8_t> in[2] = {std::vector<uint8_t>(Size), std::vector<uint8_t>(Size)};
    Overlapped ov[5]; // COM7 write, COM8 write, COM7 read, COM8 read, COM7 wait
    HANDLE ports[5] = {*a, *b, *a, *b, *a};
    for (int i = 0; i < 2; ++i) {
        SetLine(ports[i], 115200);
        SetTimeouts(ports[i], 0, 0, 0);
        Start(WriteFile(ports[i], out.data(), Size, nullptr, &ov[i]));
        Start(ReadFile(ports[i], in[i].data(), Size, nullptr, &ov[2 + i]));
    }
    DWORD events = 0;
    ASSERT_TRUE(SetCommMask(*a, EV_BREAK));
    Start(WaitCommEvent(*a, &events, &ov[4]));
    ASSERT_TRUE(Rig::WaitFor([&] {
        return rig.Uart(1).Received > 1000 && rig.Uart(2).Received > 1000;
    })) << "the transfer never got going both ways";

    rig.Unplug(0);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        DWORD error = 0;
        const long n = ov[i].Finish(ports[i], &error);
        ASSERT_GE(n, 0) << "still pending";
        EXPECT_EQ(ov[i].Internal, ULONG_PTR(0xC0000056)) << "STATUS_DELETE_PENDING";
        EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));
        // With an error status the I/O manager copies nothing back, so an ended read reports
        // no bytes: the ones it had taken went back to the port's queue.
        if (i == 2 || i == 3) {
            EXPECT_EQ(n, 0);
        }
    }
    ASSERT_TRUE(rig.WaitForRecord([](const CORBUS_RECORD& r) {
        return r.SerialDevicesCreated == 4 && r.SerialDevicesDeleted == 4;
    })) << "corserial's devices were not all deleted";
    wchar_t target[256];
    for (const wchar_t* name : {L"COM7", L"COM8", L"COM9", L"COM10"}) {
        EXPECT_EQ(QueryDosDeviceW(name, target, 256), 0u) << name;
    }
    ComPort gone(L"COM9");
    EXPECT_EQ(gone.Error, DWORD(ERROR_FILE_NOT_FOUND));
    for (const auto& entry : SerialDeviceMap()) {
        EXPECT_EQ(entry.find(L"\\Device\\CorSerial"), std::wstring::npos)
            << std::string(entry.begin(), entry.end());
    }

    a.reset();
    b.reset();
    EXPECT_EQ(rig.UnloadSerial(), 0);
    EXPECT_EQ(rig.Unload(), 0);
    const CORBUS_RECORD& r = rig.Record();
    EXPECT_EQ(r.SerialUnloadRan, 1);
    EXPECT_EQ(r.SerialDevicesLeftAtUnload, 0);
    EXPECT_EQ(r.SerialNonPagedOutstanding, 0);
    EXPECT_EQ(r.DpcsLeftAtUnload, 0u);
    EXPECT_EQ(r.UnloadRan, 1);
    EXPECT_EQ(r.DevicesLeftAtUnload, 0);
    EXPECT_EQ(r.NonPagedOutstanding, 0);
}

} // namespace
