// cortool: diagnostics for the ports of TORVA Corran adapters, for administrators. What the
// commands share: the options, the output (text or JSON), the devices as SetupAPI shows them.
//
//   cortool list  [--json]
//   cortool test  COMa [COMb] [--rates R,R,...] [--formats 8N1,7E1,...] [--silence ms] [--json]
//   cortool watch COMn [--count N] [--interval ms] [--json]
//
// Exit status: 0 all is well; 1 something is wrong with a board or a port (a step failed, a
// device has a problem, errors were counted); 2 the command line; 3 the port cannot be examined
// (missing, not ours, in use, not started, or its counters out of reach).
#pragma once

#include <windows.h>
// mingw's ntddser.h is written for drivers: user mode gives it the control code macros and the one
// kernel type it names.
#include <winioctl.h>
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;
#include <ntddser.h>

#include <cstdint>
#include <string>
#include <vector>

enum ExitStatus {
    ExitWell = 0,
    ExitFaulty = 1,
    ExitUsage = 2,
    ExitUnreachable = 3,
};

struct Options {
    std::string Command;
    std::vector<std::string> Ports; // COM names, upper case
    bool Json = false;
    std::vector<DWORD> Rates;         // test: empty for the page's whole list
    std::vector<std::string> Formats; // test: empty for the default formats
    DWORD SilenceMs = 2000;           // test: a receiver gives up after this long without a byte
    long Count = -1;                  // watch: samples, -1 until stopped
    DWORD IntervalMs = 1000;          // watch
};

// ---- text and JSON (main.cpp) ----------------------------------------------------------------

std::string Utf8(const std::wstring& s);
std::wstring WideOf(const std::string& s);
std::string Upper(std::string s);
// "%s"-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
// The system's sentence for a Win32 error code, without its line end.
std::string ErrorText(DWORD error);

// A JSON text built member by member: Begin/End pairs for objects and arrays, values with or
// without a key. Commas and escapes are its business.
class Json {
public:
    Json& Object(const char* key = nullptr);
    Json& Array(const char* key = nullptr);
    Json& End();
    Json& Str(const char* key, const std::string& value);
    Json& Int(const char* key, int64_t value);
    Json& Bool(const char* key, bool value);
    Json& Null(const char* key);
    const std::string& Text() const { return Out; }

private:
    void Key(const char* key);
    std::string Out;
    std::vector<bool> First; // per open container: nothing written into it yet
    std::string Closers;     // per open container: the bracket that closes it
};

// Writes to stdout as it is (UTF-8), flushed.
void Print(const std::string& text);

// The sentence for a port cortool cannot work with, as text (stderr) or as the JSON answer
// {"command", "port", "ok": false, "error", "message"} (stdout). Returns ExitUnreachable.
int Refuse(const Options& options, const std::string& port, const char* error,
           const std::string& message);

// ---- the devices (list.cpp) -----------------------------------------------------------------

struct Board {
    std::wstring InstanceId;
    std::wstring Description;
    std::string Model; // "LX8C", from the hardware ID's subsystem
    int PortCount = 0; // as the model has
    bool Started = false;
    ULONG Problem = 0; // the device's problem code, 0 for none
    bool StateKnown = false;
    DWORD Node = 0; // the configuration manager's DEVINST
};

enum class Access {
    Free,        // it opened and answered
    InUse,       // another program has it
    Unavailable, // it does not open (not started, or gone)
};

struct Port {
    std::string ComName; // from PortName in the device key
    std::wstring InstanceId;
    std::wstring FriendlyName;
    std::wstring Description;
    bool Ours = false;   // a CorPort device of corcard
    int Connector = 0;   // CorPort<n>: the board's connector n, from 1
    int BoardIndex = -1; // into Devices::Boards
    bool Started = false;
    ULONG Problem = 0;
    bool StateKnown = false;
    DWORD Node = 0; // the configuration manager's DEVINST
};

struct Devices {
    std::vector<Board> Boards;
    std::vector<Port> Ports; // every port of the Ports class, ours or not
};

Devices FindDevices();
// How the port answers an open now.
Access Probe(const std::string& comName, DWORD* error = nullptr);
const char* AccessName(Access access);

// A port to work on: ours, present. On failure the sentence is ready in Problem (with the
// JSON error word in ErrorWord) and Port is null.
struct Resolved {
    const Port* Found = nullptr;
    const Board* OnBoard = nullptr;
    const char* ErrorWord = nullptr;
    std::string Problem;
};
Resolved ResolvePort(const Devices& devices, const std::string& comName);
// "COM7 (connector 1 of the LX4A)"
std::string Describe(const Resolved& port);

// "\\.\COM7"
std::wstring DevicePath(const std::string& comName);

// ---- the commands ---------------------------------------------------------------------------

int ListCommand(const Options& options);
int TestCommand(const Options& options);
int WatchCommand(const Options& options);
