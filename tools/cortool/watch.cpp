// `cortool watch COMn`: a port's line states and counters, sample after sample.
//
// A free port is opened and asked itself: its modem inputs (GetCommModemStatus), its own RTS and
// DTR (IOCTL_SERIAL_GET_DTRRTS), the driver's counters (IOCTL_SERIAL_GET_STATS: bytes received and
// transmitted, framing, overrun, buffer overrun and parity errors, counted since the port was
// opened) and its queues (ClearCommError). The port is only read: its settings stay as they
// are. A port another program has open cannot be opened; its driver's counters are then read from
// WMI (root\wmi: MSSerial_PortName finds the port's instance, MSSerial_PerformanceInformation
// holds its counters since the port started), which has no line states.
//
// On a console the sample is rewritten in place; otherwise each sample is one line (with --json
// one JSON object per line). It stops after --count samples, at Ctrl+C, or at a "q" on its input.
#include "cortool.h"

#include <wbemcli.h>

#include <algorithm>
#include <cstdio>

namespace {

volatile LONG Stopping = 0;

BOOL WINAPI OnControl(DWORD)
{
    InterlockedExchange(&Stopping, 1);
    return TRUE;
}

// A "q" (or Esc) typed at the console, or a "q" in the piped input, asks to stop.
bool StopAsked()
{
    if (Stopping != 0)
        return true;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE)
        return false;
    DWORD mode = 0, n = 0;
    if (GetConsoleMode(in, &mode)) {
        INPUT_RECORD record;
        while (PeekConsoleInputW(in, &record, 1, &n) && n == 1) {
            ReadConsoleInputW(in, &record, 1, &n);
            if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
                const wchar_t c = record.Event.KeyEvent.uChar.UnicodeChar;
                if (c == L'q' || c == L'Q' || c == 27)
                    return true;
            }
        }
        return false;
    }
    if (GetFileType(in) != FILE_TYPE_PIPE)
        return false;
    DWORD available = 0;
    while (PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr) && available != 0) {
        char text[64];
        if (!ReadFile(in, text, sizeof text, &n, nullptr) || n == 0)
            return false;
        for (DWORD i = 0; i < n; ++i)
            if (text[i] == 'q' || text[i] == 'Q')
                return true;
    }
    return false;
}

// Waits for the interval, looking for a stop request every 50 ms.
bool Pause(DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (StopAsked())
            return false;
        Sleep(std::min<DWORD>(50, ms - waited));
    }
    return !StopAsked();
}

struct Sample {
    bool HasLines = false;
    DWORD Inputs = 0;  // MS_CTS_ON ...
    DWORD Outputs = 0; // SERIAL_DTR_STATE | SERIAL_RTS_STATE
    bool HasOutputs = false;
    SERIALPERF_STATS Counters{};
    bool HasQueues = false;
    DWORD InQueue = 0, OutQueue = 0;
};

bool SampleFromPort(HANDLE port, Sample* s)
{
    DWORD n = 0;
    s->HasLines = GetCommModemStatus(port, &s->Inputs) != FALSE;
    s->HasOutputs = DeviceIoControl(port, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &s->Outputs,
                                    sizeof(s->Outputs), &n, nullptr) &&
                    n == sizeof(s->Outputs);
    if (!DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, nullptr, 0, &s->Counters,
                         sizeof(s->Counters), &n, nullptr) ||
        n != sizeof(s->Counters))
        return false;
    DWORD errors = 0;
    COMSTAT status{};
    s->HasQueues = ClearCommError(port, &errors, &status) != FALSE;
    s->InQueue = status.cbInQue;
    s->OutQueue = status.cbOutQue;
    return s->HasLines;
}

// ---- WMI --------------------------------------------------------------------------------------

struct Wmi {
    IWbemLocator* Locator = nullptr;
    IWbemServices* Services = nullptr;
    std::wstring Instance; // the port's InstanceName in the driver's WMI blocks
    std::string Failed;    // what failed and how, for the sentence
    bool ComStarted = false;

    ~Wmi()
    {
        if (Services != nullptr)
            Services->Release();
        if (Locator != nullptr)
            Locator->Release();
        if (ComStarted)
            CoUninitialize();
    }

    bool Fail(HRESULT hr, const std::string& what)
    {
        Failed =
            FAILED(hr) ? Format("%s: 0x%08lX", what.c_str(), static_cast<unsigned long>(hr)) : what;
        return false;
    }

    // Runs a WQL query; calls each for every object until it answers false.
    template <typename Each> bool Query(const std::wstring& wql, const char* what, Each each)
    {
        BSTR language = SysAllocString(L"WQL");
        BSTR text = SysAllocString(wql.c_str());
        IEnumWbemClassObject* objects = nullptr;
        HRESULT hr = Services->ExecQuery(language, text,
                                         WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                         nullptr, &objects);
        SysFreeString(language);
        SysFreeString(text);
        if (FAILED(hr))
            return Fail(hr, what);
        for (;;) {
            IWbemClassObject* object = nullptr;
            ULONG returned = 0;
            hr = objects->Next(WBEM_INFINITE, 1, &object, &returned);
            if (FAILED(hr)) {
                objects->Release();
                return Fail(hr, what);
            }
            if (returned == 0)
                break;
            const bool more = each(object);
            object->Release();
            if (!more)
                break;
        }
        objects->Release();
        return true;
    }

    static std::wstring Text(IWbemClassObject* object, const wchar_t* name)
    {
        VARIANT v;
        VariantInit(&v);
        std::wstring s;
        if (SUCCEEDED(object->Get(name, 0, &v, nullptr, nullptr)) && v.vt == VT_BSTR)
            s = v.bstrVal;
        VariantClear(&v);
        return s;
    }

    static DWORD Number(IWbemClassObject* object, const wchar_t* name)
    {
        VARIANT v;
        VariantInit(&v);
        DWORD n = 0;
        if (SUCCEEDED(object->Get(name, 0, &v, nullptr, nullptr)) &&
            SUCCEEDED(VariantChangeType(&v, &v, 0, VT_UI4)))
            n = v.ulVal;
        VariantClear(&v);
        return n;
    }

    bool Connect(const std::string& comName)
    {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr))
            return Fail(hr, "COM");
        ComStarted = true;
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&Locator));
        if (FAILED(hr))
            return Fail(hr, "the WMI locator");
        BSTR space = SysAllocString(L"ROOT\\WMI");
        hr = Locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                    &Services);
        SysFreeString(space);
        if (FAILED(hr))
            return Fail(hr, "root\\wmi");
        CoSetProxyBlanket(Services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                          RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        const std::wstring wanted = WideOf(comName);
        if (!Query(L"SELECT InstanceName, PortName FROM MSSerial_PortName",
                   "root\\wmi MSSerial_PortName", [&](IWbemClassObject* object) {
                       if (_wcsicmp(Text(object, L"PortName").c_str(), wanted.c_str()) != 0)
                           return true;
                       Instance = Text(object, L"InstanceName");
                       return false;
                   }))
            return false;
        if (Instance.empty())
            return Fail(S_FALSE, "root\\wmi MSSerial_PortName lists no " + comName);
        return true;
    }

    bool Read(Sample* s)
    {
        // WQL strings escape backslashes and quotes with a backslash.
        std::wstring quoted;
        for (wchar_t c : Instance) {
            if (c == L'\\' || c == L'\'')
                quoted += L'\\';
            quoted += c;
        }
        bool found = false;
        if (!Query(L"SELECT * FROM MSSerial_PerformanceInformation WHERE InstanceName = '" +
                       quoted + L"'",
                   "root\\wmi MSSerial_PerformanceInformation", [&](IWbemClassObject* object) {
                       s->Counters.ReceivedCount = Number(object, L"ReceivedCount");
                       s->Counters.TransmittedCount = Number(object, L"TransmittedCount");
                       s->Counters.FrameErrorCount = Number(object, L"FrameErrorCount");
                       s->Counters.SerialOverrunErrorCount =
                           Number(object, L"SerialOverrunErrorCount");
                       s->Counters.BufferOverrunErrorCount =
                           Number(object, L"BufferOverrunErrorCount");
                       s->Counters.ParityErrorCount = Number(object, L"ParityErrorCount");
                       found = true;
                       return false;
                   }))
            return false;
        return found ||
               Fail(S_FALSE, "root\\wmi MSSerial_PerformanceInformation has no " + Utf8(Instance));
    }
};

// ---- output -----------------------------------------------------------------------------------

bool ErrorsCounted(const Sample& s)
{
    return s.Counters.FrameErrorCount != 0 || s.Counters.SerialOverrunErrorCount != 0 ||
           s.Counters.BufferOverrunErrorCount != 0 || s.Counters.ParityErrorCount != 0;
}

const char* OnOff(bool known, bool on)
{
    return !known ? "?  " : on ? "on " : "off";
}

std::vector<std::string> Block(const std::string& title, const Sample& s)
{
    const bool in = s.HasLines, out = s.HasOutputs;
    const SERIALPERF_STATS& c = s.Counters;
    std::vector<std::string> lines = {title};
    lines.push_back(Format("  lines    CTS %s  DSR %s  RI %s  DCD %s   own: RTS %s  DTR %s",
                           OnOff(in, s.Inputs & MS_CTS_ON), OnOff(in, s.Inputs & MS_DSR_ON),
                           OnOff(in, s.Inputs & MS_RING_ON), OnOff(in, s.Inputs & MS_RLSD_ON),
                           OnOff(out, s.Outputs & SERIAL_RTS_STATE),
                           OnOff(out, s.Outputs & SERIAL_DTR_STATE)));
    lines.push_back(Format("  bytes    received %-10lu  transmitted %-10lu", c.ReceivedCount,
                           c.TransmittedCount));
    lines.push_back(Format("  errors   framing %lu  overrun %lu  buffer overrun %lu  parity %lu",
                           c.FrameErrorCount, c.SerialOverrunErrorCount, c.BufferOverrunErrorCount,
                           c.ParityErrorCount));
    if (s.HasQueues)
        lines.push_back(Format("  queues   in %lu  out %lu", s.InQueue, s.OutQueue));
    return lines;
}

std::string JsonSample(const std::string& port, const char* source, long number,
                       const std::string& settings, const Sample& s)
{
    Json json;
    json.Object()
        .Str("command", "watch")
        .Str("port", port)
        .Str("source", source)
        .Int("sample", number)
        .Bool("ok", !ErrorsCounted(s));
    if (settings.empty())
        json.Null("settings");
    else
        json.Str("settings", settings);
    if (s.HasLines) {
        json.Object("lines")
            .Bool("cts", s.Inputs & MS_CTS_ON)
            .Bool("dsr", s.Inputs & MS_DSR_ON)
            .Bool("ri", s.Inputs & MS_RING_ON)
            .Bool("dcd", s.Inputs & MS_RLSD_ON);
        if (s.HasOutputs)
            json.Bool("rts", s.Outputs & SERIAL_RTS_STATE)
                .Bool("dtr", s.Outputs & SERIAL_DTR_STATE);
        else
            json.Null("rts").Null("dtr");
        json.End();
    } else {
        json.Null("lines");
    }
    const SERIALPERF_STATS& c = s.Counters;
    json.Object("counters")
        .Int("received", c.ReceivedCount)
        .Int("transmitted", c.TransmittedCount)
        .Int("framing_errors", c.FrameErrorCount)
        .Int("overrun_errors", c.SerialOverrunErrorCount)
        .Int("buffer_overruns", c.BufferOverrunErrorCount)
        .Int("parity_errors", c.ParityErrorCount)
        .End();
    if (s.HasQueues)
        json.Object("queues").Int("in", s.InQueue).Int("out", s.OutQueue).End();
    else
        json.Null("queues");
    json.End();
    return json.Text() + "\n";
}

// Shows the samples: in place on a console, a line each otherwise.
class Display {
public:
    Display(const Options& options, const std::string& port, const char* source,
            const std::string& heading, const std::string& settings)
        : Opts(options), PortName(port), Source(source), Heading(heading), Settings(settings)
    {
        Console = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        InPlace = !options.Json && GetConsoleScreenBufferInfo(Console, &info);
    }

    void Show(long number, const Sample& s)
    {
        if (Opts.Json) {
            Print(JsonSample(PortName, Source, number, Settings, s));
            return;
        }
        const std::string count = Opts.Count > 0 ? Format("sample %ld of %ld", number, Opts.Count)
                                                 : Format("sample %ld", number);
        if (!InPlace) {
            const SERIALPERF_STATS& c = s.Counters;
            std::string line = Format("%s %s:", PortName.c_str(), count.c_str());
            if (s.HasLines)
                line +=
                    Format(" CTS %s DSR %s RI %s DCD %s", OnOff(true, s.Inputs & MS_CTS_ON),
                           OnOff(true, s.Inputs & MS_DSR_ON), OnOff(true, s.Inputs & MS_RING_ON),
                           OnOff(true, s.Inputs & MS_RLSD_ON));
            if (s.HasOutputs)
                line += Format(" RTS %s DTR %s", OnOff(true, s.Outputs & SERIAL_RTS_STATE),
                               OnOff(true, s.Outputs & SERIAL_DTR_STATE));
            line +=
                Format("; received %lu transmitted %lu; framing %lu overrun %lu buffer "
                       "overrun %lu parity %lu\n",
                       c.ReceivedCount, c.TransmittedCount, c.FrameErrorCount,
                       c.SerialOverrunErrorCount, c.BufferOverrunErrorCount, c.ParityErrorCount);
            Print(line);
            return;
        }
        const std::vector<std::string> lines =
            Block(Heading + "; " + count + " (q or Ctrl+C stops)", s);
        if (Shown) {
            SetConsoleCursorPosition(Console, Top);
        }
        std::string text;
        for (const auto& line : lines) {
            // Padded to the width last shown, so that nothing of a longer line stays behind.
            text += line + std::string(line.size() < 79 ? 79 - line.size() : 0, ' ') + "\n";
        }
        Print(text);
        if (!Shown) {
            // Where the block begins now, after any scrolling its printing caused.
            CONSOLE_SCREEN_BUFFER_INFO info;
            GetConsoleScreenBufferInfo(Console, &info);
            Top = {0, SHORT(info.dwCursorPosition.Y - SHORT(lines.size()))};
            Shown = true;
        }
    }

private:
    const Options& Opts;
    std::string PortName;
    const char* Source;
    std::string Heading, Settings;
    HANDLE Console;
    bool InPlace = false;
    bool Shown = false;
    COORD Top{};
};

// The port's line settings as "9600 8N1"; empty, with the error, when it does not answer.
std::string SettingsText(HANDLE port, DWORD* error)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        *error = GetLastError();
        return std::string();
    }
    static const char parities[] = "NOEMS";
    return Format("%lu %u%c%s", dcb.BaudRate, unsigned(dcb.ByteSize),
                  dcb.Parity < 5 ? parities[dcb.Parity] : '?',
                  dcb.StopBits == ONESTOPBIT     ? "1"
                  : dcb.StopBits == ONE5STOPBITS ? "1.5"
                                                 : "2");
}

// Samples until the count is reached or a stop is asked; the exit status.
template <typename Take> int Watch(const Options& options, Display& display, Take take)
{
    bool faulty = false;
    for (long number = 1;; ++number) {
        Sample s;
        if (!take(&s))
            return -1;
        display.Show(number, s);
        faulty = ErrorsCounted(s);
        if ((options.Count > 0 && number >= options.Count) || !Pause(options.IntervalMs))
            break;
    }
    return faulty ? ExitFaulty : ExitWell;
}

} // namespace

int WatchCommand(const Options& options)
{
    const std::string name = options.Ports[0];
    const Devices devices = FindDevices();
    const Resolved r = ResolvePort(devices, name);
    if (r.Found == nullptr)
        return Refuse(options, name, r.ErrorWord, r.Problem);
    SetConsoleCtrlHandler(OnControl, TRUE);

    HANDLE port = CreateFileW(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    DWORD error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    const std::string settings = error == 0 ? SettingsText(port, &error) : std::string();
    if (port != INVALID_HANDLE_VALUE && error != 0) {
        // Windows refuses a second open; Wine hands out a handle whose requests are refused.
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
    }

    if (error == 0) {
        Display display(options, name, "port", Describe(r) + ", " + settings + ", from the port",
                        settings);
        const int status =
            Watch(options, display, [&](Sample* s) { return SampleFromPort(port, s); });
        const DWORD failure = GetLastError();
        CloseHandle(port);
        if (status < 0)
            return Refuse(options, name, "port_failed",
                          Describe(r) + " stopped answering: " + ErrorText(failure) + ".");
        return status;
    }
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
        return Refuse(options, name, "open_failed",
                      Describe(r) + " does not open: " + ErrorText(error) + ".");

    // In use: the driver's counters through WMI.
    Wmi wmi;
    if (!wmi.Connect(name))
        return Refuse(options, name, "wmi_unavailable",
                      Format("%s is in use by another program, and WMI has no counters for it "
                             "(%s), so cortool cannot watch it while it is open.",
                             Describe(r).c_str(), wmi.Failed.c_str()));
    Display display(options, name, "wmi",
                    Describe(r) + ", in use by another program, counters from WMI", "");
    const int status = Watch(options, display, [&](Sample* s) { return wmi.Read(s); });
    if (status < 0)
        return Refuse(
            options, name, "wmi_unavailable",
            Format("WMI stopped answering for %s (%s).", Describe(r).c_str(), wmi.Failed.c_str()));
    return status;
}
