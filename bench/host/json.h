// A small JSON writer for the benchmark programs' figures: keys and numbers, strings without
// characters that need escaping, nested objects and arrays.
#pragma once

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

} // namespace bench
