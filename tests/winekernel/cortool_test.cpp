// cortool.exe as the package ships it, run as a child process on the fixture's boards under
// Wine's kernel, its output read as a script reads it (--json) or as a person does. list finds the
// boards and ports with their models and connectors; test passes through the fixture's loopback
// plug and null-modem cable and fails, naming its failing steps, through a cable with a wire
// broken or a transmitter off its rate; watch follows a free port's counters while the far end
// sends; a port that is missing, not ours or in use is refused in a sentence.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "line_tables.h" // the Port Settings page's rates, which test runs through
#include "rig.h"

namespace {

// ---- JSON, as much as cortool writes ---------------------------------------------------------

struct Value {
    enum Kind {
        Null,
        Bool,
        Number,
        String,
        Array,
        Object
    } K = Null;
    bool B = false;
    double N = 0;
    std::string S;
    std::vector<Value> A;
    std::vector<std::pair<std::string, Value>> O;

    const Value& operator[](const char* key) const
    {
        static const Value none;
        for (const auto& member : O)
            if (member.first == key)
                return member.second;
        return none;
    }
    const Value& operator[](size_t i) const
    {
        static const Value none;
        return i < A.size() ? A[i] : none;
    }
    bool Has(const char* key) const
    {
        for (const auto& member : O)
            if (member.first == key)
                return true;
        return false;
    }
    long I() const { return long(N); }
};

struct Parser {
    const std::string& T;
    size_t At = 0;
    bool Ok = true;

    void Space()
    {
        while (At < T.size() && (T[At] == ' ' || T[At] == '\n' || T[At] == '\r' || T[At] == '\t'))
            ++At;
    }
    bool Eat(char c)
    {
        Space();
        if (At < T.size() && T[At] == c) {
            ++At;
            return true;
        }
        return false;
    }
    bool Word(const char* w)
    {
        const size_t n = std::strlen(w);
        if (T.compare(At, n, w) != 0)
            return false;
        At += n;
        return true;
    }
    std::string Str()
    {
        std::string s;
        if (!Eat('"')) {
            Ok = false;
            return s;
        }
        while (At < T.size() && T[At] != '"') {
            char c = T[At++];
            if (c == '\\' && At < T.size()) {
                c = T[At++];
                if (c == 'n')
                    c = '\n';
                else if (c == 't')
                    c = '\t';
                else if (c == 'r')
                    c = '\r';
                else if (c == 'u' && At + 4 <= T.size()) {
                    c = char(std::strtol(T.substr(At, 4).c_str(), nullptr, 16));
                    At += 4;
                }
            }
            s.push_back(c);
        }
        Ok &= Eat('"');
        return s;
    }
    Value Parse()
    {
        Value v;
        Space();
        if (At >= T.size()) {
            Ok = false;
        } else if (T[At] == '{') {
            ++At;
            v.K = Value::Object;
            if (!Eat('}')) {
                do {
                    std::string key = Str();
                    Ok &= Eat(':');
                    v.O.emplace_back(key, Parse());
                } while (Ok && Eat(','));
                Ok &= Eat('}');
            }
        } else if (T[At] == '[') {
            ++At;
            v.K = Value::Array;
            if (!Eat(']')) {
                do {
                    v.A.push_back(Parse());
                } while (Ok && Eat(','));
                Ok &= Eat(']');
            }
        } else if (T[At] == '"') {
            v.K = Value::String;
            v.S = Str();
        } else if (Word("true") || Word("false")) {
            v.K = Value::Bool;
            v.B = T[At - 1] == 'e' && T[At - 2] == 'u';
        } else if (Word("null")) {
            v.K = Value::Null;
        } else {
            char* end = nullptr;
            v.K = Value::Number;
            v.N = std::strtod(T.c_str() + At, &end);
            Ok &= end != T.c_str() + At;
            At = size_t(end - T.c_str());
        }
        return v;
    }
};

// One JSON document, the whole of the text.
bool ParseJson(const std::string& text, Value* v)
{
    Parser p{text};
    *v = p.Parse();
    p.Space();
    return p.Ok && p.At == text.size();
}

// ---- cortool as a child process --------------------------------------------------------------

// cortool with its output (stdout and stderr, as one) in a pipe and, if asked for, its input in
// another.
struct Child {
    PROCESS_INFORMATION Process{};
    HANDLE Output = nullptr, Input = nullptr;
    std::string Pending;
    bool Ended = false;

    Child(const std::string& args, bool withInput = false)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE outWrite = nullptr, inRead = nullptr;
        EXPECT_TRUE(CreatePipe(&Output, &outWrite, &inherit, 0));
        SetHandleInformation(Output, HANDLE_FLAG_INHERIT, 0);
        if (withInput) {
            EXPECT_TRUE(CreatePipe(&inRead, &Input, &inherit, 0));
            SetHandleInformation(Input, HANDLE_FLAG_INHERIT, 0);
        } else {
            inRead = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite;
        startup.hStdError = outWrite;
        std::wstring command = L"\"" + Wide(CORTOOL_EXE) + L"\" " + Wide(args.c_str());
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &Process))
            << GetLastError();
        CloseHandle(outWrite);
        CloseHandle(inRead);
    }

    ~Child()
    {
        if (Input != nullptr)
            CloseHandle(Input);
        CloseHandle(Output);
        if (Process.hProcess != nullptr) {
            if (WaitForSingleObject(Process.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(Process.hProcess, 99);
            CloseHandle(Process.hProcess);
            CloseHandle(Process.hThread);
        }
    }

    // The next line of output without its line end; false at the end of the output.
    bool Line(std::string* line)
    {
        for (;;) {
            const size_t end = Pending.find('\n');
            if (end != std::string::npos) {
                *line = Pending.substr(0, end);
                if (!line->empty() && line->back() == '\r')
                    line->pop_back();
                Pending.erase(0, end + 1);
                return true;
            }
            char chunk[4096];
            DWORD n = 0;
            if (Ended || !ReadFile(Output, chunk, sizeof chunk, &n, nullptr) || n == 0) {
                Ended = true;
                if (Pending.empty())
                    return false;
                *line = Pending;
                Pending.clear();
                return true;
            }
            Pending.append(chunk, n);
        }
    }

    void Send(const char* text)
    {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(Input, text, DWORD(strlen(text)), &n, nullptr)) << GetLastError();
    }

    // The rest of the output and the exit status, once it has ended (the bound only turns a
    // hang into a failure; ctest's time-out is above it).
    DWORD Finish(std::string* rest = nullptr)
    {
        std::string line, all;
        while (Line(&line))
            all += line + "\n";
        if (rest != nullptr)
            *rest = all;
        EXPECT_EQ(WaitForSingleObject(Process.hProcess, 120000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(Process.hProcess, &code);
        return code;
    }
};

struct Result {
    DWORD Exit;
    std::string Out;
    Value Json;
    bool Parsed;
};

Result Cortool(const std::string& args)
{
    Child child(args);
    Result r;
    r.Exit = child.Finish(&r.Out);
    r.Parsed = ParseJson(r.Out, &r.Json);
    return r;
}

// ---- the boards -------------------------------------------------------------------------------

// The package installed, COM1 to COM6 taken: the first board's ports are COM7 on.
void Install(Rig& rig)
{
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
}

std::vector<std::wstring> ComNames(int first, int count)
{
    std::vector<std::wstring> names;
    for (int n = first; n < first + count; ++n)
        names.push_back(L"COM" + std::to_wstring(n));
    return names;
}

void PlugLx4a(Rig& rig)
{
    ASSERT_NO_FATAL_FAILURE(Install(rig));
    rig.Plug(Board(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts(ComNames(7, 4))) << "the ports never started";
}

// A board in another PCI slot: its own instance and its own I/O ranges.
Board SecondBoard(uint16_t subsystem, uint32_t uarts)
{
    Board board(subsystem, uarts);
    const uint16_t uartBase = 0xD000, statusBase = 0xD100;
    for (int i = 0; i < 2; ++i) {
        board.Request.Config[0x10 + i] = uint8_t((uartBase | 1) >> (8 * i));
        board.Request.Config[0x14 + i] = uint8_t((statusBase | 1) >> (8 * i));
    }
    board.Lists(
        ResourceList().Port(uartBase, 8 * uarts).Port(statusBase, 0x10).Interrupt(11, 11, Affinity),
        ResourceList()
            .Port(uartBase, 8 * uarts)
            .Port(statusBase, 0x10)
            .Interrupt(Level, Vector, Affinity));
    const char second[] = "3&11583659&0&28";
    for (size_t i = 0; i < sizeof second; ++i)
        board.Request.InstanceId[i] = uint16_t(second[i]);
    return board;
}

// ---- list -------------------------------------------------------------------------------------

// An LX8C, then an LX4A in another slot: every board with its model, port count and state, every
// port with its COM name, board, connector and friendly name, one of them in use.
TEST(Cortool, List)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(Install(rig));
    rig.Plug(Board(0x7C81, 8));
    ASSERT_TRUE(WaitForPorts(ComNames(7, 8))) << "the LX8C's ports never started";
    rig.Plug(SecondBoard(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts(ComNames(15, 4))) << "the LX4A's ports never started";
    ComPort held(L"COM9");
    ASSERT_TRUE(held.Open()) << held.Error;

    const Result r = Cortool("list --json");
    EXPECT_EQ(r.Exit, 0u) << r.Out;
    ASSERT_TRUE(r.Parsed) << r.Out;
    EXPECT_EQ(r.Json["command"].S, "list");
    EXPECT_TRUE(r.Json["ok"].B);

    const struct {
        const char* Model;
        long Ports;
        const char* Description;
        const char* Subsystem;
    } boards[] = {
        {"LX8C", 8, "TORVA Corran LX8C 8-port RS-232/422/485 adapter", "SUBSYS_7C810001"},
        {"LX4A", 4, "TORVA Corran LX4A 4-port RS-232 adapter", "SUBSYS_7A410001"},
    };
    ASSERT_EQ(r.Json["boards"].A.size(), 2u) << r.Out;
    std::map<std::string, long> index; // model -> board index
    for (const auto& expected : boards) {
        SCOPED_TRACE(expected.Model);
        const Value* found = nullptr;
        for (const auto& b : r.Json["boards"].A)
            if (b["model"].S == expected.Model)
                found = &b;
        ASSERT_NE(found, nullptr) << r.Out;
        EXPECT_EQ((*found)["port_count"].I(), expected.Ports);
        EXPECT_EQ((*found)["description"].S, expected.Description);
        EXPECT_NE((*found)["instance_id"].S.find(expected.Subsystem), std::string::npos);
        EXPECT_EQ((*found)["state"].S, "started");
        // Wine's configuration manager knows no device's state: the ports' answers tell it.
        EXPECT_TRUE((*found)["state_inferred"].B);
        EXPECT_EQ((*found)["problem"].I(), 0);
        index[expected.Model] = (*found)["index"].I();
    }

    // COM7 to COM14 are the LX8C's connectors 1 to 8, COM15 to COM18 the LX4A's 1 to 4.
    const Value& ports = r.Json["ports"];
    ASSERT_EQ(ports.A.size(), 12u) << r.Out;
    for (int n = 7; n <= 18; ++n) {
        const std::string com = "COM" + std::to_string(n);
        SCOPED_TRACE(com);
        const Value* found = nullptr;
        for (const auto& p : ports.A)
            if (p["com"].S == com)
                found = &p;
        ASSERT_NE(found, nullptr) << r.Out;
        const Value& p = *found;
        const bool eight = n <= 14;
        const int connector = eight ? n - 6 : n - 14;
        EXPECT_EQ(p["model"].S, eight ? "LX8C" : "LX4A");
        EXPECT_EQ(p["board"].I(), index[eight ? "LX8C" : "LX4A"]);
        EXPECT_EQ(p["connector"].I(), connector);
        EXPECT_EQ(p["friendly_name"].S,
                  "TORVA Corran Serial Port " + std::to_string(connector) + " (" + com + ")");
        EXPECT_EQ(p["state"].S, "started");
        EXPECT_TRUE(p["state_inferred"].B);
        EXPECT_EQ(p["access"].S, n == 9 ? "in_use" : "free");
        std::string id = p["instance_id"].S;
        for (auto& c : id)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(id, std::string("CORCARD\\CORPORT\\1E5C&0001_") +
                          (eight ? "7C810001_3&11583659&0&20" : "7A410001_3&11583659&0&28") +
                          "_PORT" + std::to_string(connector - 1));
    }

    // The same for a person: a heading per board, a row per connector.
    const Result text = Cortool("list");
    EXPECT_EQ(text.Exit, 0u) << text.Out;
    for (const char* expected :
         {"LX8C  TORVA Corran LX8C 8-port RS-232/422/485 adapter\n      8 ports, started;",
          "      3          COM9    started     in use       TORVA Corran Serial Port 3 (COM9)\n",
          "      4          COM18   started     free         TORVA Corran Serial Port 4 (COM18)\n"})
        EXPECT_NE(text.Out.find(expected), std::string::npos) << expected << "\n" << text.Out;
    std::printf("%s", text.Out.c_str());
}

// ---- refusals ---------------------------------------------------------------------------------

// What cortool says of a port it cannot work with, to a person and to a script, and its exit
// status: missing, not ours (a COM name of another device), in use (by this program), and
// command lines it does not take.
TEST(Cortool, Refusals)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, L"COM20", L"\\Device\\Null"));
    ComPort held(L"COM8");
    ASSERT_TRUE(held.Open()) << held.Error;

    const struct {
        const char* Args;
        DWORD Exit;
        const char* Error;    // the JSON error word, for --json
        const char* Sentence; // in the text answer
    } cases[] = {
        {"watch COM30", 3, "missing",
         "There is no COM30 on this computer; cortool list shows the adapters' ports."},
        {"test com30", 3, "missing", "There is no COM30 on this computer"},
        {"test COM20", 3, "not_ours",
         "COM20 is not a port of a TORVA Corran adapter (its device is \\Device\\Null)."},
        {"watch COM20", 3, "not_ours", "COM20 is not a port of a TORVA Corran adapter"},
        {"test COM7 COM20", 3, "not_ours", "COM20 is not a port of a TORVA Corran adapter"},
        {"test COM8", 3, "in_use",
         "COM8 (connector 2 of the LX4A) is in use by another program: close it first"},
        {"test COM7 COM8", 3, "in_use", "COM8 (connector 2 of the LX4A) is in use"},
        // Wine's WMI has no serial port classes: a port in use cannot be watched there.
        {"watch COM8", 3, "wmi_unavailable",
         "COM8 (connector 2 of the LX4A) is in use by another program, and WMI has no "
         "counters for it (root\\wmi MSSerial_PortName lists no COM8), so cortool cannot watch "
         "it while it is open."},
        {"test COM7 COM7", 2, nullptr, "a null-modem test needs two different ports"},
        {"test", 2, nullptr, "test takes one port (loopback plug) or two (null-modem cable)"},
        {"watch COM7 --count 0", 2, nullptr, "--count takes a number of samples from 1"},
        {"test COM7 --formats 9N1", 2, nullptr, "not a line format"},
        {"test LPT1", 2, nullptr, "not a COM port name: LPT1"},
        {"list COM7", 2, nullptr, "list takes no port"},
        {"frob", 2, nullptr, "unknown command frob"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args);
        const Result text = Cortool(c.Args);
        EXPECT_EQ(text.Exit, c.Exit) << text.Out;
        EXPECT_NE(text.Out.find(c.Sentence), std::string::npos) << text.Out;
        if (c.Error == nullptr)
            continue;
        const Result json = Cortool(std::string(c.Args) + " --json");
        EXPECT_EQ(json.Exit, c.Exit) << json.Out;
        ASSERT_TRUE(json.Parsed) << json.Out;
        EXPECT_FALSE(json.Json["ok"].B);
        EXPECT_EQ(json.Json["error"].S, c.Error);
        EXPECT_NE(json.Json["message"].S.find(c.Sentence), std::string::npos)
            << json.Json["message"].S;
    }
    // The refused port was left as its owner had it.
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_TRUE(GetCommState(held, &dcb)) << GetLastError();
    std::printf("%s", Cortool("watch COM8").Out.c_str());
}

// ---- test -------------------------------------------------------------------------------------

struct Plugged {
    uint32_t Port, Far, Peer, Broken;
    int32_t RateError;
};

// The failed steps' names in order; the verdicts counted.
std::vector<std::string> Failed(const Value& report, std::map<std::string, int>* verdicts)
{
    std::vector<std::string> names;
    for (const auto& step : report["steps"].A) {
        ++(*verdicts)[step["verdict"].S];
        if (step["verdict"].S != "PASS")
            names.push_back(step["verdict"].S + " " + step["name"].S);
    }
    return names;
}

// Every step through the loopback plug and the null-modem cable, at every rate of the page's
// list in the three formats, passes: the lines as wired, every byte of the pattern intact, no
// error counted; the shipped exe's table for a person ends in its verdict.
TEST(Cortool, TestPasses)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    rig.Line(3, CorbusFarLoopback);

    // Every way passes however slow the machine: a receiver waits up to 30 s for its next byte.
    const Result loop = Cortool("test COM9 --rates 300,9600,921600 --formats 8N1,7E1,8O2,5S1.5 "
                                "--silence 30000 --json");
    EXPECT_EQ(loop.Exit, 0u) << loop.Out;
    ASSERT_TRUE(loop.Parsed) << loop.Out;
    EXPECT_EQ(loop.Json["plug"].S, "loopback");
    EXPECT_EQ(loop.Json["ports"].A[0]["com"].S, "COM9");
    EXPECT_EQ(loop.Json["ports"].A[0]["connector"].I(), 3);
    EXPECT_EQ(loop.Json["ports"].A[0]["model"].S, "LX4A");
    std::vector<std::string> names;
    for (const auto& step : loop.Json["steps"].A)
        names.push_back(step["verdict"].S + " " + step["name"].S);
    std::vector<std::string> expected = {"PASS lines COM9 RTS -> COM9 CTS",
                                         "PASS lines COM9 DTR -> COM9 DSR, DCD"};
    for (const char* format : {"8N1", "7E1", "8O2", "5S1.5"})
        for (const char* rate : {"300", "9600", "921600"})
            expected.push_back(std::string("PASS data ") + rate + " " + format + " COM9 -> COM9");
    EXPECT_EQ(names, expected);

    const Result cable = Cortool("test COM7 COM8 --silence 30000 --json");
    EXPECT_EQ(cable.Exit, 0u) << cable.Out;
    ASSERT_TRUE(cable.Parsed) << cable.Out;
    EXPECT_TRUE(cable.Json["ok"].B);
    EXPECT_EQ(cable.Json["plug"].S, "null-modem");
    EXPECT_EQ(cable.Json["failed"].I(), 0);
    EXPECT_EQ(cable.Json["skipped"].I(), 0);
    // Each way, each format, each rate of the page's list: one data step.
    std::set<std::string> wanted, seen;
    for (const char* format : {"8N1", "7E1", "8O2"})
        for (DWORD rate : kBaudRates)
            for (const char* way : {"COM7 -> COM8", "COM8 -> COM7"})
                wanted.insert("data " + std::to_string(rate) + " " + format + " " + way);
    size_t lines = 0;
    for (const auto& step : cable.Json["steps"].A) {
        SCOPED_TRACE(step["name"].S);
        EXPECT_EQ(step["verdict"].S, "PASS") << step["detail"].S;
        if (step["kind"].S == "lines") {
            ++lines;
            EXPECT_EQ(step["seen"].S, step["expected"].S);
            continue;
        }
        seen.insert(step["name"].S);
        EXPECT_GE(step["bytes_sent"].I(), 4);
        EXPECT_EQ(step["bytes_arrived"].I(), step["bytes_sent"].I());
        EXPECT_EQ(step["bits_compared"].I(), step["bytes_sent"].I() * (step["format"].S[0] - '0'));
        EXPECT_EQ(step["bit_errors"].I(), 0);
        EXPECT_EQ(step["framing_errors"].I() + step["parity_errors"].I() + step["overruns"].I() +
                      step["buffer_overruns"].I(),
                  0);
    }
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(seen, wanted);
    EXPECT_EQ(cable.Json["passed"].I(), long(4 + wanted.size()));

    const Result text = Cortool("test COM7 COM8 --rates 115200 --formats 8N1 --silence 30000");
    EXPECT_EQ(text.Exit, 0u) << text.Out;
    EXPECT_EQ(text.Out, "Testing COM7 (connector 1 of the LX4A) and COM8 (connector 2 of the LX4A) "
                        "through a null-modem cable.\n"
                        "  PASS  lines COM7 RTS -> COM8 CTS\n"
                        "  PASS  lines COM7 DTR -> COM8 DSR, DCD\n"
                        "  PASS  lines COM8 RTS -> COM7 CTS\n"
                        "  PASS  lines COM8 DTR -> COM7 DSR, DCD\n"
                        "  PASS  data 115200 8N1 COM7 -> COM8: 512 bytes, 512 arrived, 0 bit "
                        "errors in 4096 bits\n"
                        "  PASS  data 115200 8N1 COM8 -> COM7: 512 bytes, 512 arrived, 0 bit "
                        "errors in 4096 bits\n"
                        "Result: PASS, all 6 steps passed.\n");
}

// Through a cable or plug with a fault, the test fails and names exactly the steps the fault
// fails: a broken wire fails the line it carries (a broken data wire every step that way, the
// first by its silence, the rest skipped); a transmitter off its rate fails that way's data with
// framing errors while the other way passes; two loopback plugs where the cable should be fail
// every step, the data by bit errors (each port reads its own pattern back).
TEST(Cortool, TestFails)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    const char* rates = " --rates 9600,115200 --formats 8N1,7E1";
    auto data = [](const char* way) {
        std::vector<std::string> steps;
        for (const char* format : {"8N1", "7E1"})
            for (const char* rate : {"9600", "115200"})
                steps.push_back(std::string("FAIL data ") + rate + " " + format + " " + way);
        return steps;
    };
    auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::string> allLines = {
        "FAIL lines COM7 RTS -> COM8 CTS", "FAIL lines COM7 DTR -> COM8 DSR, DCD",
        "FAIL lines COM8 RTS -> COM7 CTS", "FAIL lines COM8 DTR -> COM7 DSR, DCD"};
    const struct {
        const char* Name;
        std::vector<Plugged> Lines;
        const char* Args; // the dead line alone waits the default silence, 2 s
        std::vector<std::string> Failures;
        const char* Detail; // of the first failure
        const char* Result; // the last line for a person
    } cases[] = {
        {"RTS to CTS broken in the cable",
         {{1, CorbusFarNullModem, 2, CorbusWireRts, 0}},
         "COM7 COM8 --silence 30000",
         {"FAIL lines COM7 RTS -> COM8 CTS"},
         "RTS on, COM8 sees none",
         "Result: FAIL, 1 of 12 steps failed: lines COM7 RTS -> COM8 CTS."},
        {"DTR to DSR and DCD broken in the plug",
         {{3, CorbusFarLoopback, 0, CorbusWireDtr, 0}},
         "COM9 --silence 30000",
         {"FAIL lines COM9 DTR -> COM9 DSR, DCD"},
         "DTR on, COM9 sees none",
         "Result: FAIL, 1 of 6 steps failed: lines COM9 DTR -> COM9 DSR, DCD."},
        {"the cable's data wire from COM8 broken",
         {{2, CorbusFarNullModem, 1, CorbusWireTx, 0}},
         "COM7 COM8",
         {"FAIL data 9600 8N1 COM8 -> COM7", "SKIP data 115200 8N1 COM8 -> COM7",
          "SKIP data 9600 7E1 COM8 -> COM7", "SKIP data 115200 7E1 COM8 -> COM7"},
         "96 bytes, 0 arrived, 0 bit errors in 0 bits (nothing for 2000 ms)",
         "Result: FAIL, 1 of 12 steps failed (3 more skipped): data 9600 8N1 COM8 -> COM7."},
        {"COM7's transmitter 5 % fast",
         {{1, CorbusFarNullModem, 2, 0, 50}},
         "COM7 COM8 --silence 30000",
         data("COM7 -> COM8"),
         "96 bytes, 96 arrived, 0 bit errors in 768 bits, 96 framing errors",
         "Result: FAIL, 4 of 12 steps failed: data 9600 8N1 COM7 -> COM8; data 115200 8N1 "
         "COM7 -> COM8; data 9600 7E1 COM7 -> COM8; data 115200 7E1 COM7 -> COM8."},
        {"two loopback plugs in place of the cable",
         {{1, CorbusFarLoopback, 0, 0, 0}, {2, CorbusFarLoopback, 0, 0, 0}},
         "COM7 COM8 --silence 30000",
         join(allLines, {"FAIL data 9600 8N1 COM7 -> COM8", "FAIL data 9600 8N1 COM8 -> COM7",
                         "FAIL data 115200 8N1 COM7 -> COM8", "FAIL data 115200 8N1 COM8 -> COM7",
                         "FAIL data 9600 7E1 COM7 -> COM8", "FAIL data 9600 7E1 COM8 -> COM7",
                         "FAIL data 115200 7E1 COM7 -> COM8", "FAIL data 115200 7E1 COM8 -> COM7"}),
         "RTS on, COM8 sees none",
         "Result: FAIL, 12 of 12 steps failed: lines COM7 RTS -> COM8 CTS; lines COM7 DTR -> "
         "COM8 DSR, DCD; lines COM8 RTS -> COM7 CTS; lines COM8 DTR -> COM7 DSR, DCD; data 9600 "
         "8N1 COM7 -> COM8; ...."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        for (const auto& line : c.Lines)
            rig.Line(line.Port, line.Far, line.Peer, line.Broken, line.RateError);
        const Result r = Cortool(std::string("test ") + c.Args + rates + " --json");
        EXPECT_EQ(r.Exit, 1u) << r.Out;
        ASSERT_TRUE(r.Parsed) << r.Out;
        EXPECT_FALSE(r.Json["ok"].B);
        std::map<std::string, int> verdicts;
        EXPECT_EQ(Failed(r.Json, &verdicts), c.Failures);
        bool first = true;
        for (const auto& step : r.Json["steps"].A) {
            if (step["verdict"].S == "PASS")
                continue;
            if (first) {
                EXPECT_EQ(step["detail"].S, c.Detail);
            }
            first = false;
            // A failed data step shows its cause in its numbers.
            if (step["kind"].S == "data" && step["verdict"].S == "FAIL") {
                EXPECT_TRUE(step["bytes_arrived"].I() < step["bytes_sent"].I() ||
                            step["bit_errors"].I() > 0 || step["framing_errors"].I() > 0 ||
                            step["parity_errors"].I() > 0)
                    << step["name"].S << ": " << step["detail"].S;
            }
        }
        EXPECT_EQ(r.Json["failed"].I(), verdicts["FAIL"]);
        EXPECT_EQ(r.Json["skipped"].I(), verdicts["SKIP"]);

        // A person reads the same verdict, the failed steps named last.
        const Result text = Cortool(std::string("test ") + c.Args + rates);
        EXPECT_EQ(text.Exit, 1u);
        const size_t result = text.Out.find("Result:");
        ASSERT_NE(result, std::string::npos) << text.Out;
        EXPECT_EQ(text.Out.substr(result), std::string(c.Result) + "\n");
        std::printf("%s: %s", c.Name, text.Out.substr(result).c_str());
        for (const auto& line : c.Lines)
            rig.Line(line.Port, CorbusFarOpen);
    }
}

// ---- watch ------------------------------------------------------------------------------------

// A free port watched while the far end of its cable sends: the samples follow the bytes as they
// arrive, show the far end's lines and the port's own, and count nothing wrong; --count bounds a
// watch, a "q" ends one. Characters framed wrongly are counted, and the watch says so in its
// exit status.
TEST(Cortool, Watch)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugLx4a(rig));
    rig.Line(1, CorbusFarNullModem, 2);
    ComPort remote(L"COM8");
    ASSERT_TRUE(remote.Open()) << remote.Error;
    // The far end at the settings COM7 keeps while nobody has it open.
    DCB local{};
    local.DCBlength = sizeof(local);
    {
        ComPort probe(L"COM7");
        ASSERT_TRUE(probe.Open()) << probe.Error;
        ASSERT_TRUE(GetCommState(probe, &local));
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(remote, &dcb));
    dcb.BaudRate = local.BaudRate;
    dcb.ByteSize = local.ByteSize;
    dcb.Parity = local.Parity;
    dcb.StopBits = local.StopBits;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    ASSERT_TRUE(SetCommState(remote, &dcb)) << GetLastError();

    // Bounded: three samples, a line each (the output is no console).
    {
        const Result r = Cortool("watch COM7 --count 3 --interval 10");
        EXPECT_EQ(r.Exit, 0u) << r.Out;
        std::vector<std::string> starts;
        for (size_t at = 0; at < r.Out.size(); at = r.Out.find('\n', at) + 1)
            starts.push_back(r.Out.substr(at, r.Out.find(':', at) - at));
        EXPECT_EQ(starts, (std::vector<std::string>{"COM7 sample 1 of 3", "COM7 sample 2 of 3",
                                                    "COM7 sample 3 of 3"}))
            << r.Out;
        EXPECT_NE(r.Out.find("CTS on  DSR on  RI off DCD on "), std::string::npos) << r.Out;
    }

    // While the remote end sends 300 bytes, until the counters show all of them; then a "q".
    const std::string settings =
        std::to_string(local.BaudRate) + " " + std::to_string(local.ByteSize) + "N1";
    std::vector<Value> samples;
    auto watch = [&](size_t bytes, const std::function<bool(const Value&)>& until) -> DWORD {
        samples.clear();
        // The count only bounds a watch that never sees the bytes (30 s and more).
        Child child("watch COM7 --count 1500 --interval 20 --json", true);
        std::string line;
        bool sent = false;
        while (child.Line(&line)) {
            Value v;
            EXPECT_TRUE(ParseJson(line, &v)) << line;
            samples.push_back(v);
            if (!sent) {
                // COM7 is open now: what the remote end sends arrives.
                const std::vector<uint8_t> data(bytes, 'w');
                DWORD n = 0;
                EXPECT_TRUE(WriteFile(remote, data.data(), DWORD(bytes), &n, nullptr));
                sent = true;
            }
            if (until(v))
                break;
        }
        child.Send("q\n");
        return child.Finish();
    };
    const DWORD status = watch(
        300, [](const Value& v) { return v["counters"]["received"].I() >= 300 || !v["ok"].B; });
    EXPECT_EQ(status, 0u);
    ASSERT_GE(samples.size(), 1u);
    const Value& first = samples.front();
    const Value& last = samples.back();
    EXPECT_EQ(first["source"].S, "port");
    EXPECT_EQ(first["settings"].S, settings);
    EXPECT_EQ(last["counters"]["received"].I(), 300);
    for (size_t i = 1; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i]["sample"].I(), long(i + 1));
        EXPECT_GE(samples[i]["counters"]["received"].I(),
                  samples[i - 1]["counters"]["received"].I());
    }
    for (const char* line : {"cts", "dsr", "dcd"})
        EXPECT_TRUE(last["lines"][line].B) << line;
    EXPECT_FALSE(last["lines"]["ri"].B);
    EXPECT_EQ(last["lines"]["rts"].K, Value::Bool);
    EXPECT_EQ(last["lines"]["dtr"].K, Value::Bool);
    EXPECT_EQ(last["queues"]["in"].I(), 300) << "nobody reads COM7";
    for (const char* counter :
         {"framing_errors", "overrun_errors", "buffer_overruns", "parity_errors", "transmitted"})
        EXPECT_EQ(last["counters"][counter].I(), 0) << counter;
    EXPECT_TRUE(last["ok"].B);
    std::printf("watch: %zu samples until 300 bytes had arrived\n", samples.size());

    // The remote end's transmitter off its rate: what arrives is counted as framing errors, and
    // the watch ends with status 1.
    rig.Line(2, CorbusFarNullModem, 1, 0, 50);
    const DWORD faulty =
        watch(10, [](const Value& v) { return v["counters"]["framing_errors"].I() >= 10; });
    EXPECT_EQ(faulty, 1u);
    EXPECT_FALSE(samples.back()["ok"].B);
    EXPECT_EQ(samples.back()["counters"]["received"].I(), 10);
}

} // namespace
