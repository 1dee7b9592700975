// cortool's entry: the command line, and the text and JSON helpers every command uses.
#include "cortool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char Usage[] =
    "cortool: diagnostics for the COM ports of TORVA Corran adapters\n"
    "\n"
    "  cortool list [--json]\n"
    "      every board (model, ports, state) and every port (COM name, connector, state, in use)\n"
    "  cortool test COMa [COMb] [--rates R,R,...] [--formats F,F,...] [--silence ms] [--json]\n"
    "      self-test through a loopback plug on COMa, or a null-modem cable from COMa to COMb:\n"
    "      every rate of the Port Settings page up to 921600 in 8N1, 7E1 and 8O2 (or the ones\n"
    "      given), a pseudo-random pattern both ways with its bit errors, and the modem lines;\n"
    "      a way on which nothing arrives for --silence ms (2000) is dead\n"
    "  cortool watch COMn [--count N] [--interval ms] [--json]\n"
    "      line states and counters of a port, refreshed until Ctrl+C, q or N samples; from the\n"
    "      port when it is free, from WMI when another program has it open\n"
    "\n"
    "Exit status: 0 all is well, 1 a fault was found, 2 usage, 3 the port cannot be examined.\n";

int UsageError(const std::string& sentence)
{
    std::fprintf(stderr, "cortool: %s\n\n%s", sentence.c_str(), Usage);
    return ExitUsage;
}

bool ParseNumber(const char* text, unsigned long long limit, unsigned long long* value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != 0 || errno != 0 || v > limit)
        return false;
    *value = v;
    return true;
}

std::vector<std::string> Split(const char* list)
{
    std::vector<std::string> items;
    std::string item;
    for (const char* c = list;; ++c) {
        if (*c == ',' || *c == 0) {
            if (!item.empty())
                items.push_back(item);
            item.clear();
            if (*c == 0)
                break;
        } else {
            item.push_back(*c);
        }
    }
    return items;
}

bool IsComName(const std::string& s)
{
    if (s.size() < 4 || s.size() > 6 || s.compare(0, 3, "COM") != 0 || s[3] == '0')
        return false;
    for (size_t i = 3; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return std::atoi(s.c_str() + 3) <= 256;
}

} // namespace

// ---- text -----------------------------------------------------------------------------------

std::string Utf8(const std::wstring& s)
{
    if (s.empty())
        return std::string();
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WideOf(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), out.data(), n);
    return out;
}

std::string Upper(std::string s)
{
    for (auto& c : s)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return s;
}

std::string Format(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string ErrorText(DWORD error)
{
    char* text = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string sentence = n != 0 && text != nullptr ? text : "";
    if (text != nullptr)
        LocalFree(text);
    while (!sentence.empty() && (sentence.back() == '\n' || sentence.back() == '\r' ||
                                 sentence.back() == ' ' || sentence.back() == '.'))
        sentence.pop_back();
    return sentence.empty() ? Format("error %lu", error)
                            : Format("%s (error %lu)", sentence.c_str(), error);
}

void Print(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

int Refuse(const Options& options, const std::string& port, const char* error,
           const std::string& message)
{
    if (options.Json) {
        Json json;
        json.Object()
            .Str("command", options.Command)
            .Str("port", port)
            .Bool("ok", false)
            .Str("error", error)
            .Str("message", message)
            .End();
        Print(json.Text() + "\n");
    } else {
        std::fprintf(stderr, "cortool: %s\n", message.c_str());
    }
    return ExitUnreachable;
}

// ---- JSON -----------------------------------------------------------------------------------

void Json::Key(const char* key)
{
    if (!First.empty()) {
        if (!First.back())
            Out += ',';
        First.back() = false;
    }
    if (key != nullptr) {
        Out += '"';
        Out += key;
        Out += "\":";
    }
}

Json& Json::Object(const char* key)
{
    Key(key);
    Out += '{';
    Closers.push_back('}');
    First.push_back(true);
    return *this;
}

Json& Json::Array(const char* key)
{
    Key(key);
    Out += '[';
    Closers.push_back(']');
    First.push_back(true);
    return *this;
}

Json& Json::End()
{
    Out += Closers.back();
    Closers.pop_back();
    First.pop_back();
    return *this;
}

Json& Json::Str(const char* key, const std::string& value)
{
    Key(key);
    Out += '"';
    for (const unsigned char c : value) {
        switch (c) {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (c < 0x20)
                Out += Format("\\u%04x", c);
            else
                Out += char(c);
        }
    }
    Out += '"';
    return *this;
}

Json& Json::Int(const char* key, int64_t value)
{
    Key(key);
    Out += Format("%lld", static_cast<long long>(value));
    return *this;
}

Json& Json::Bool(const char* key, bool value)
{
    Key(key);
    Out += value ? "true" : "false";
    return *this;
}

Json& Json::Null(const char* key)
{
    Key(key);
    Out += "null";
    return *this;
}

// ---- the command line -----------------------------------------------------------------------

int main(int argc, char** argv)
{
    Options options;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        unsigned long long n = 0;
        if (arg == "--json") {
            options.Json = true;
        } else if (arg == "-h" || arg == "--help" || arg == "/?") {
            std::fputs(Usage, stdout);
            return ExitWell;
        } else if (arg == "--count") {
            if (!hasValue || !ParseNumber(argv[++i], 1000000000ull, &n) || n == 0)
                return UsageError("--count takes a number of samples from 1");
            options.Count = long(n);
        } else if (arg == "--interval") {
            if (!hasValue || !ParseNumber(argv[++i], 3600000ull, &n) || n < 10)
                return UsageError("--interval takes milliseconds from 10");
            options.IntervalMs = DWORD(n);
        } else if (arg == "--silence") {
            if (!hasValue || !ParseNumber(argv[++i], 600000ull, &n) || n < 100)
                return UsageError("--silence takes milliseconds from 100");
            options.SilenceMs = DWORD(n);
        } else if (arg == "--rates") {
            if (!hasValue)
                return UsageError("--rates takes a list such as 9600,115200");
            for (const auto& rate : Split(argv[++i])) {
                if (!ParseNumber(rate.c_str(), 921600ull, &n) || n < 50)
                    return UsageError("not a rate from 50 to 921600: " + rate);
                options.Rates.push_back(DWORD(n));
            }
        } else if (arg == "--formats") {
            if (!hasValue)
                return UsageError("--formats takes a list such as 8N1,7E1");
            for (const auto& format : Split(argv[++i]))
                options.Formats.push_back(Upper(format));
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            words.push_back(arg);
        }
    }
    if (words.empty())
        return UsageError("which command?");
    options.Command = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string name = Upper(words[i]);
        if (!IsComName(name))
            return UsageError("not a COM port name: " + words[i]);
        options.Ports.push_back(name);
    }

    if (options.Command == "list") {
        if (!options.Ports.empty())
            return UsageError("list takes no port");
        return ListCommand(options);
    }
    if (options.Command == "test") {
        if (options.Ports.empty() || options.Ports.size() > 2)
            return UsageError("test takes one port (loopback plug) or two (null-modem cable)");
        if (options.Ports.size() == 2 && options.Ports[0] == options.Ports[1])
            return UsageError("a null-modem test needs two different ports");
        return TestCommand(options);
    }
    if (options.Command == "watch") {
        if (options.Ports.size() != 1)
            return UsageError("watch takes one port");
        return WatchCommand(options);
    }
    return UsageError("unknown command " + options.Command);
}
