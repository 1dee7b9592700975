// The doubles behind the declarations of windows.h here: the string routines with Windows'
// semantics (as Wine implements them), and a registry key held in memory that a fuzz target
// fills and inspects. Window and COM database routines are not reachable from the routines under
// test; they stop the run if called.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct FakeValue {
    DWORD Type;
    std::vector<BYTE> Data;
};

// One open registry key. HKEY values handed to the code under test point at one of these.
struct FakeKey {
    std::map<std::u16string, FakeValue> Values; // names folded to upper case, as the registry
                                                // compares them
    bool SetsFail = false;                      // RegSetValueExW answers ERROR_ACCESS_DENIED
    int Closes = 0;
    int Sets = 0;

    HKEY Handle() { return reinterpret_cast<HKEY>(this); }
    void Put(const std::u16string& name, DWORD type, std::vector<BYTE> data);
    // Nullptr when the value does not exist.
    const FakeValue* Find(const std::u16string& name) const;
};

// Stops the run with a message when a check of a fuzz target fails.
[[noreturn]] void FuzzFail(const char* what);
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            FuzzFail(__FILE__ ": check failed: " #condition);                                      \
        }                                                                                          \
    } while (0)
