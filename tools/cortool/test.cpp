// `cortool test COMa [COMb]`: a self-test of one port through a loopback plug or of two through a
// null-modem cable, as the plug and the cable are wired: TX to RX, RTS to CTS, DTR to DSR and
// DCD (both ways for the cable).
//
// The steps, each with its verdict: first the modem lines (each output of each port raised alone
// must show at the far end's inputs as wired, and nothing else; dropped, nothing), then the data:
// at every rate of the Port Settings page's list up to 921600 in each format, a pseudo-random
// pattern of about a tenth of a second (4 to 512 bytes) goes each way at once, and what arrives
// is compared bit by bit; the port's own counters tell framing, parity and overrun errors. The
// data steps run without flow control, so that a broken modem line fails its own step only.
//
// A receiver waits while bytes keep coming and gives up after two seconds without any (--silence):
// a dead line is a failure, not a hang. Once nothing at all has come one way, that way's remaining
// data steps are skipped (and count against the verdict) rather than each waiting its silence.
#include "cortool.h"

#include "line_tables.h" // the Port Settings page's rates (proppage/settings)

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD LinesMs = 1000; // a modem input has this long to follow its far output
constexpr DWORD LinesPollMs = 10;
constexpr DWORD MinBytes = 4, MaxBytes = 512;

struct LineFormat {
    std::string Name; // "8N1"
    BYTE Bits;
    BYTE Parity;   // NOPARITY ...
    BYTE StopBits; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
};

bool ParseFormat(const std::string& text, LineFormat* f)
{
    static const char parities[] = "NOEMS"; // NOPARITY, ODDPARITY, EVENPARITY, MARK, SPACE
    if (text.size() < 3 || text[0] < '5' || text[0] > '8')
        return false;
    const char* p = std::strchr(parities, text[1]);
    if (p == nullptr || *p == 0)
        return false;
    const std::string stop = text.substr(2);
    f->Name = text;
    f->Bits = BYTE(text[0] - '0');
    f->Parity = BYTE(p - parities);
    if (stop == "1")
        f->StopBits = ONESTOPBIT;
    else if (stop == "1.5")
        f->StopBits = ONE5STOPBITS;
    else if (stop == "2")
        f->StopBits = TWOSTOPBITS;
    else
        return false;
    return true;
}

// Bits on the wire per character: start, data, parity, stop (1.5 counted as 2).
DWORD CharacterBits(const LineFormat& f)
{
    return 1 + f.Bits + (f.Parity != NOPARITY ? 1 : 0) + (f.StopBits == ONESTOPBIT ? 1 : 2);
}

DWORD LineMs(DWORD bytes, DWORD rate, const LineFormat& f)
{
    return DWORD((uint64_t(bytes) * CharacterBits(f) * 1000 + rate - 1) / rate);
}

// The pattern: PRBS-15 (x^15 + x^14 + 1), eight steps of the register per byte, from a seed of
// the step and the direction, so that bytes that arrive at the wrong port or from the wrong step
// do not compare equal.
std::vector<uint8_t> Pattern(DWORD bytes, uint32_t seed, BYTE bits)
{
    uint32_t state = (seed & 0x7FFF) != 0 ? seed & 0x7FFF : 1;
    std::vector<uint8_t> out(bytes);
    for (auto& b : out) {
        uint8_t v = 0;
        for (int i = 0; i < 8; ++i) {
            const uint32_t bit = ((state >> 14) ^ (state >> 13)) & 1;
            state = ((state << 1) | bit) & 0x7FFF;
            v = uint8_t((v << 1) | bit);
        }
        b = uint8_t(v & (0xFF >> (8 - bits)));
    }
    return out;
}

// An open port with the requests cortool makes of it. Opened overlapped: both directions run at
// once, and each request is waited for on its event (Wine leaves a pending serial request's
// status unset until it completes).
struct OpenPort {
    std::string Name;
    HANDLE Handle = INVALID_HANDLE_VALUE;
    ~OpenPort()
    {
        if (Handle != INVALID_HANDLE_VALUE)
            CloseHandle(Handle);
    }
};

struct Request {
    OVERLAPPED Ov{};
    Request() { Ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() { CloseHandle(Ov.hEvent); }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

bool Control(HANDLE port, DWORD code, void* out, DWORD size)
{
    Request r;
    DWORD n = 0;
    if (!DeviceIoControl(port, code, nullptr, 0, out, size, &n, &r.Ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        WaitForSingleObject(r.Ov.hEvent, INFINITE);
        if (!GetOverlappedResult(port, &r.Ov, &n, FALSE))
            return false;
    }
    return n == size;
}

SERIALPERF_STATS Stats(HANDLE port)
{
    SERIALPERF_STATS s{};
    Control(port, IOCTL_SERIAL_GET_STATS, &s, sizeof(s));
    return s;
}

bool Configure(HANDLE port, DWORD rate, const LineFormat& f)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb))
        return false;
    dcb.BaudRate = rate;
    dcb.ByteSize = f.Bits;
    dcb.Parity = f.Parity;
    dcb.StopBits = f.StopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = f.Parity != NOPARITY;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    return SetCommState(port, &dcb);
}

// ---- steps and their report -------------------------------------------------------------------

struct Step {
    std::string Name;
    std::string Kind;    // "lines" or "data"
    std::string Verdict; // PASS, FAIL, SKIP
    std::string Detail;
    // lines
    std::string From, To, Output, Expected, Seen;
    // data
    DWORD Rate = 0;
    std::string FormatName;
    DWORD Sent = 0, Arrived = 0, BitErrors = 0, BitsCompared = 0;
    DWORD FrameErrors = 0, ParityErrors = 0, Overruns = 0, BufferOverruns = 0;
};

struct Report {
    const Options& Opts;
    std::vector<Step> Steps;
    void Add(const Step& step)
    {
        Steps.push_back(step);
        if (!Opts.Json)
            Print(Format("  %s  %s%s%s\n", step.Verdict.c_str(), step.Name.c_str(),
                         step.Detail.empty() ? "" : ": ", step.Detail.c_str()));
    }
};

// ---- modem lines ------------------------------------------------------------------------------

std::string InputsText(DWORD status)
{
    std::string s;
    for (const auto& line :
         {std::make_pair(DWORD(MS_CTS_ON), "CTS"), std::make_pair(DWORD(MS_DSR_ON), "DSR"),
          std::make_pair(DWORD(MS_RING_ON), "RI"), std::make_pair(DWORD(MS_RLSD_ON), "DCD")}) {
        if (status & line.first)
            s += std::string(s.empty() ? "" : ", ") + line.second;
    }
    return s.empty() ? "none" : s;
}

// Polls the far end's inputs until they are what is expected, for up to LinesMs.
DWORD AwaitInputs(HANDLE port, DWORD expected)
{
    DWORD status = 0;
    for (DWORD waited = 0;; waited += LinesPollMs) {
        if (!GetCommModemStatus(port, &status))
            return ~0u;
        if ((status & 0xF0) == expected || waited >= LinesMs)
            return status & 0xF0;
        Sleep(LinesPollMs);
    }
}

void LinesStep(Report& report, OpenPort& from, OpenPort& to, bool rts)
{
    const DWORD expected = rts ? MS_CTS_ON : MS_DSR_ON | MS_RLSD_ON;
    Step step;
    step.Kind = "lines";
    step.From = from.Name;
    step.To = to.Name;
    step.Output = rts ? "RTS" : "DTR";
    step.Expected = InputsText(expected);
    step.Name = Format("lines %s %s -> %s %s", from.Name.c_str(), step.Output.c_str(),
                       to.Name.c_str(), step.Expected.c_str());
    EscapeCommFunction(from.Handle, CLRRTS);
    EscapeCommFunction(from.Handle, CLRDTR);
    const DWORD idle = AwaitInputs(to.Handle, 0);
    EscapeCommFunction(from.Handle, rts ? SETRTS : SETDTR);
    const DWORD raised = AwaitInputs(to.Handle, expected);
    EscapeCommFunction(from.Handle, rts ? CLRRTS : CLRDTR);
    const DWORD dropped = AwaitInputs(to.Handle, 0);
    step.Seen = raised == ~0u ? "unknown" : InputsText(raised);
    if (idle != 0) {
        step.Verdict = "FAIL";
        step.Detail =
            Format("with %s's RTS and DTR off, %s sees %s", from.Name.c_str(), to.Name.c_str(),
                   idle == ~0u ? "nothing (no modem status)" : InputsText(idle).c_str());
    } else if (raised != expected) {
        step.Verdict = "FAIL";
        step.Detail =
            Format("%s on, %s sees %s", step.Output.c_str(), to.Name.c_str(), step.Seen.c_str());
    } else if (dropped != 0) {
        step.Verdict = "FAIL";
        step.Detail = Format("%s off again, %s still sees %s", step.Output.c_str(), to.Name.c_str(),
                             InputsText(dropped).c_str());
    } else {
        step.Verdict = "PASS";
    }
    report.Add(step);
}

// ---- data -------------------------------------------------------------------------------------

struct Direction {
    OpenPort* From;
    OpenPort* To;
    bool Dead = false; // nothing at all has come this way
    std::string DeadAt;
};

// One way of one data step: a write, and reads of the rest for as long as bytes keep coming.
struct Flow {
    Direction* Way;
    std::vector<uint8_t> Sent, Got;
    DWORD Arrived = 0;
    Request Read, Write;
    bool Reading = false, Writing = false, Written = false;
    SERIALPERF_STATS Before{};
};

bool StartRead(Flow& f)
{
    ResetEvent(f.Read.Ov.hEvent);
    const DWORD rest = DWORD(f.Sent.size()) - f.Arrived;
    if (!ReadFile(f.Way->To->Handle, f.Got.data() + f.Arrived, rest, nullptr, &f.Read.Ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    f.Reading = true;
    return true;
}

// The bytes a finished request moved. Windows completes a timed-out read as a success with
// fewer bytes; Wine fails it with ERROR_TIMEOUT and still gives the count.
DWORD Moved(HANDLE port, Request& r)
{
    DWORD n = 0;
    if (!GetOverlappedResult(port, &r.Ov, &n, FALSE) && GetLastError() != ERROR_TIMEOUT)
        return 0;
    return n;
}

void RunFlows(std::vector<Flow*>& flows)
{
    for (Flow* f : flows) {
        if (!StartRead(*f))
            continue;
        ResetEvent(f->Write.Ov.hEvent);
        if (WriteFile(f->Way->From->Handle, f->Sent.data(), DWORD(f->Sent.size()), nullptr,
                      &f->Write.Ov) ||
            GetLastError() == ERROR_IO_PENDING)
            f->Writing = true;
    }
    for (;;) {
        HANDLE events[4];
        Flow* owner[4];
        bool isRead[4];
        DWORD count = 0;
        for (Flow* f : flows) {
            if (f->Reading) {
                events[count] = f->Read.Ov.hEvent;
                owner[count] = f;
                isRead[count++] = true;
            }
            if (f->Writing) {
                events[count] = f->Write.Ov.hEvent;
                owner[count] = f;
                isRead[count++] = false;
            }
        }
        if (count == 0)
            return;
        // Every request has its own time-out in the port; this wait only keeps a port that
        // never answers from holding cortool for ever.
        const DWORD w = WaitForMultipleObjects(count, events, FALSE, 60000);
        if (w >= WAIT_OBJECT_0 + count) {
            for (Flow* f : flows) {
                CancelIo(f->Way->To->Handle);
                CancelIo(f->Way->From->Handle);
            }
            return;
        }
        Flow& f = *owner[w - WAIT_OBJECT_0];
        if (isRead[w - WAIT_OBJECT_0]) {
            f.Reading = false;
            const DWORD n = Moved(f.Way->To->Handle, f.Read);
            f.Arrived += n;
            if (n != 0 && f.Arrived < f.Sent.size())
                StartRead(f);
        } else {
            f.Writing = false;
            f.Written = Moved(f.Way->From->Handle, f.Write) == f.Sent.size();
        }
    }
}

DWORD BitErrors(const Flow& f)
{
    DWORD errors = 0;
    for (DWORD i = 0; i < f.Arrived; ++i)
        errors += DWORD(__builtin_popcount(unsigned(f.Sent[i] ^ f.Got[i])));
    return errors;
}

void DataStep(Report& report, std::vector<Direction>& ways, std::vector<OpenPort*>& ports,
              DWORD rate, const LineFormat& format, uint32_t seed)
{
    const DWORD silenceMs = report.Opts.SilenceMs;
    const DWORD bytes = std::max(MinBytes, std::min(MaxBytes, rate / CharacterBits(format) / 10));
    bool configured = true;
    DWORD refusal = 0;
    std::string refused;
    for (OpenPort* p : ports) {
        if (!Configure(p->Handle, rate, format)) {
            configured = false;
            refusal = GetLastError();
            refused = p->Name;
            break;
        }
        PurgeComm(p->Handle, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        DWORD errors = 0;
        ClearCommError(p->Handle, &errors, nullptr);
        const DWORD wait = silenceMs + 2 * LineMs(bytes, rate, format);
        COMMTIMEOUTS t = {0, 0, wait, 0, wait};
        SetCommTimeouts(p->Handle, &t);
    }

    std::vector<Flow> flows(ways.size());
    std::vector<Flow*> running;
    for (size_t i = 0; i < ways.size(); ++i) {
        Flow& f = flows[i];
        f.Way = &ways[i];
        f.Sent = Pattern(bytes, seed * 2 + uint32_t(i) + 1, format.Bits);
        f.Got.assign(bytes, 0);
        f.Before = Stats(f.Way->To->Handle);
        if (configured && !f.Way->Dead)
            running.push_back(&f);
    }
    RunFlows(running);

    for (Flow& f : flows) {
        Step step;
        step.Kind = "data";
        step.From = f.Way->From->Name;
        step.To = f.Way->To->Name;
        step.Rate = rate;
        step.FormatName = format.Name;
        step.Name = Format("data %lu %s %s -> %s", rate, format.Name.c_str(), step.From.c_str(),
                           step.To.c_str());
        step.Sent = bytes;
        if (!configured) {
            step.Verdict = "FAIL";
            step.Detail = Format("%s refused %lu %s: %s", refused.c_str(), rate,
                                 format.Name.c_str(), ErrorText(refusal).c_str());
            report.Add(step);
            continue;
        }
        if (f.Way->Dead) {
            step.Verdict = "SKIP";
            step.Detail = "nothing came this way at " + f.Way->DeadAt;
            report.Add(step);
            continue;
        }
        const SERIALPERF_STATS after = Stats(f.Way->To->Handle);
        step.Arrived = f.Arrived;
        step.BitErrors = BitErrors(f);
        step.BitsCompared = f.Arrived * format.Bits;
        step.FrameErrors = after.FrameErrorCount - f.Before.FrameErrorCount;
        step.ParityErrors = after.ParityErrorCount - f.Before.ParityErrorCount;
        step.Overruns = after.SerialOverrunErrorCount - f.Before.SerialOverrunErrorCount;
        step.BufferOverruns = after.BufferOverrunErrorCount - f.Before.BufferOverrunErrorCount;
        const bool clean = step.BitErrors == 0 && step.FrameErrors == 0 && step.ParityErrors == 0 &&
                           step.Overruns == 0 && step.BufferOverruns == 0;
        step.Verdict = f.Written && f.Arrived == bytes && clean ? "PASS" : "FAIL";
        step.Detail = Format("%lu bytes, %lu arrived, %lu bit errors in %lu bits", bytes, f.Arrived,
                             step.BitErrors, step.BitsCompared);
        for (const auto& count : {std::make_pair(step.FrameErrors, "framing errors"),
                                  std::make_pair(step.ParityErrors, "parity errors"),
                                  std::make_pair(step.Overruns, "overruns"),
                                  std::make_pair(step.BufferOverruns, "buffer overruns")}) {
            if (count.first != 0)
                step.Detail += Format(", %lu %s", count.first, count.second);
        }
        if (!f.Written)
            step.Detail += ", the write did not complete";
        if (f.Arrived == 0) {
            f.Way->Dead = true;
            f.Way->DeadAt = Format("%lu %s", rate, format.Name.c_str());
            step.Detail += Format(" (nothing for %lu ms)", silenceMs);
        }
        report.Add(step);
    }
}

bool OpenForTest(const Options& options, const Resolved& r, OpenPort* port, int* status)
{
    port->Name = r.Found->ComName;
    port->Handle = CreateFileW(DevicePath(port->Name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    DWORD error = port->Handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (error == 0 && !GetCommState(port->Handle, &dcb))
        error = GetLastError(); // Wine's handle for a refused open
    if (error == 0)
        return true;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        *status = Refuse(options, port->Name, "in_use",
                         Describe(r) +
                             " is in use by another program: close it first (cortool "
                             "watch " +
                             port->Name + " shows its counters meanwhile).");
    else
        *status = Refuse(options, port->Name, "open_failed",
                         Describe(r) + " does not open: " + ErrorText(error) + ".");
    return false;
}

} // namespace

int TestCommand(const Options& options)
{
    std::vector<DWORD> rates = options.Rates;
    if (rates.empty())
        for (DWORD rate : kBaudRates)
            if (rate <= 921600)
                rates.push_back(rate);
    std::vector<LineFormat> formats;
    for (const auto& name : options.Formats.empty() ? std::vector<std::string>{"8N1", "7E1", "8O2"}
                                                    : options.Formats) {
        LineFormat f;
        if (!ParseFormat(name, &f)) {
            std::fprintf(stderr,
                         "cortool: not a line format (bits 5-8, parity N/O/E/M/S, stop "
                         "bits 1, 1.5 or 2, as 8N1): %s\n",
                         name.c_str());
            return ExitUsage;
        }
        formats.push_back(f);
    }

    const Devices devices = FindDevices();
    std::vector<Resolved> resolved;
    for (const auto& name : options.Ports) {
        resolved.push_back(ResolvePort(devices, name));
        if (resolved.back().Found == nullptr)
            return Refuse(options, name, resolved.back().ErrorWord, resolved.back().Problem);
    }
    OpenPort a, b;
    int status = ExitUnreachable;
    if (!OpenForTest(options, resolved[0], &a, &status))
        return status;
    const bool cable = resolved.size() == 2;
    if (cable && !OpenForTest(options, resolved[1], &b, &status))
        return status;

    Report report{options, {}};
    if (!options.Json) {
        Print(cable
                  ? Format("Testing %s and %s through a null-modem cable.\n",
                           Describe(resolved[0]).c_str(), Describe(resolved[1]).c_str())
                  : Format("Testing %s through a loopback plug.\n", Describe(resolved[0]).c_str()));
    }

    std::vector<OpenPort*> ports = {&a};
    std::vector<Direction> ways;
    if (cable) {
        ports.push_back(&b);
        ways.push_back({&a, &b, false, {}});
        ways.push_back({&b, &a, false, {}});
    } else {
        ways.push_back({&a, &a, false, {}});
    }

    for (const auto& way : ways) {
        for (bool rts : {true, false}) {
            // The far end's own outputs must not show: hold them off (a loopback plug's far end
            // is the port itself).
            EscapeCommFunction(way.To->Handle, CLRRTS);
            EscapeCommFunction(way.To->Handle, CLRDTR);
            LinesStep(report, *way.From, *way.To, rts);
        }
    }
    uint32_t seed = 1;
    for (const auto& format : formats)
        for (DWORD rate : rates)
            DataStep(report, ways, ports, rate, format, seed++);

    size_t passed = 0, failed = 0, skipped = 0;
    std::string failures;
    for (const auto& s : report.Steps) {
        passed += s.Verdict == "PASS";
        skipped += s.Verdict == "SKIP";
        if (s.Verdict == "FAIL") {
            if (failed < 5)
                failures += (failed == 0 ? "" : "; ") + s.Name;
            ++failed;
        }
    }
    const bool ok = failed == 0 && skipped == 0;

    if (options.Json) {
        Json json;
        json.Object().Str("command", "test").Array("ports");
        for (const auto& r : resolved) {
            json.Object().Str("com", r.Found->ComName).Int("connector", r.Found->Connector);
            if (r.OnBoard != nullptr)
                json.Str("model", r.OnBoard->Model);
            else
                json.Null("model");
            json.End();
        }
        json.End()
            .Str("plug", cable ? "null-modem" : "loopback")
            .Bool("ok", ok)
            .Int("passed", int64_t(passed))
            .Int("failed", int64_t(failed))
            .Int("skipped", int64_t(skipped))
            .Array("steps");
        for (const auto& s : report.Steps) {
            json.Object()
                .Str("name", s.Name)
                .Str("kind", s.Kind)
                .Str("verdict", s.Verdict)
                .Str("from", s.From)
                .Str("to", s.To);
            if (s.Kind == "lines") {
                json.Str("output", s.Output).Str("expected", s.Expected).Str("seen", s.Seen);
            } else {
                json.Int("rate", s.Rate)
                    .Str("format", s.FormatName)
                    .Int("bytes_sent", s.Sent)
                    .Int("bytes_arrived", s.Arrived)
                    .Int("bit_errors", s.BitErrors)
                    .Int("bits_compared", s.BitsCompared)
                    .Int("framing_errors", s.FrameErrors)
                    .Int("parity_errors", s.ParityErrors)
                    .Int("overruns", s.Overruns)
                    .Int("buffer_overruns", s.BufferOverruns);
            }
            json.Str("detail", s.Detail).End();
        }
        json.End().End();
        Print(json.Text() + "\n");
    } else if (ok) {
        Print(Format("Result: PASS, all %zu steps passed.\n", passed));
    } else {
        Print(Format("Result: FAIL, %zu of %zu steps failed%s: %s%s.\n", failed,
                     report.Steps.size(),
                     skipped != 0 ? Format(" (%zu more skipped)", skipped).c_str() : "",
                     failures.c_str(), failed > 5 ? "; ..." : ""));
    }
    return ok ? ExitWell : ExitFaulty;
}
