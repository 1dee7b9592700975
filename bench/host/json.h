// A small JSON writer for the benchmark programs' figures (keys and numbers, strings without
// characters that need escaping, nested objects and arrays), and the programs' count checks.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace bench {

struct Json {
    std::ostringstream Out;
    bool First = true;
    void Key(const std::string& key)
    {
        Out << (First ? "" : ",") << "\"" << key << "\":";
        First = false;
    }
    void Num(const std::string& key, double value)
    {
        Key(key);
        Out << value;
    }
    void Str(const std::string& key, const std::string& value)
    {
        Key(key);
        Out << "\"" << value << "\"";
    }
    void Open(const std::string& key, char bracket)
    {
        Key(key);
        Out << bracket;
        First = true;
    }
    void OpenItem(char bracket)
    {
        Out << (First ? "" : ",") << bracket;
        First = true;
    }
    void Close(char bracket)
    {
        Out << bracket;
        First = false;
    }
};

// Writes the finished figures to path; false, with the reason on stderr, when it cannot.
inline bool WriteReport(const Json& json, const char* path)
{
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) {
        std::perror(path);
        return false;
    }
    const bool written = std::fputs(json.Out.str().c_str(), f) >= 0;
    return std::fclose(f) == 0 && written;
}

// The count checks of a program: each failure is printed, and any makes the exit status 1.
inline int Failures = 0;
inline void Check(bool ok, const std::string& what)
{
    if (!ok) {
        ++Failures;
        std::fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
    }
}

} // namespace bench
