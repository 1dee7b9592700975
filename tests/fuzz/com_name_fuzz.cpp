// COM names to numbers, and the COM database's usage bitmap. A name's number is the value of the
// decimal digits after "COM" (any three characters), or 0 when there are none or when they do not
// fit in 32 bits; the bitmap keeps COMn in bit (n-1) mod 8 of byte (n-1) / 8.
#include "fuzz_input.h"
#include "win32_double.h"

#include "provider/provider.h"
#include "rename/rename.h"

#include <vector>

namespace {

// The number the name's digits denote, computed wide.
DWORD ExpectedNumber(const std::vector<WCHAR>& name)
{
    if (name.size() < 5) { // "COM" and a digit need four units before the terminator
        return 0;
    }
    uint64_t value = 0;
    for (size_t i = 3; name[i] >= L'0' && name[i] <= L'9'; ++i) {
        value = value * 10 + static_cast<uint64_t>(name[i] - L'0');
        if (value > 0xFFFFFFFFu) {
            return 0;
        }
    }
    return static_cast<DWORD>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);

    // A name as the registry may hold it (at most 19 units before the terminator), in a buffer
    // of exactly its own size so that a read past the terminator is caught.
    std::vector<WCHAR> name;
    for (unsigned i = in.Below(kPortNameLength); i > 0; --i) {
        WCHAR unit = static_cast<WCHAR>(in.U16());
        if (unit == 0) {
            break;
        }
        name.push_back(unit);
    }
    name.push_back(0);
    FUZZ_CHECK(PortNumberOfName(name.data()) == ExpectedNumber(name));

    // Every number of the list survives its own list text "COM<n>".
    DWORD listed = 1 + in.Below(HighestComNumber);
    std::string text = "COM" + std::to_string(listed);
    std::vector<WCHAR> entry(text.begin(), text.end());
    entry.push_back(0);
    FUZZ_CHECK(PortNumberOfName(entry.data()) == listed);

    // The bitmap: one bit per number, nothing outside 1 to 256 reads as in use or changes it.
    std::vector<uint8_t> usage = in.Bytes(ComUsageBytes);
    DWORD number = in.U32() % 4 == 0 ? in.U32() : in.U16() % (HighestComNumber + 2);
    std::vector<uint8_t> before = usage;
    bool inRange = number >= 1 && number <= HighestComNumber;
    FUZZ_CHECK(ComNumberInUse(usage.data(), number) ==
               (inRange && ((usage[(number - 1) / 8] >> ((number - 1) % 8)) & 1) != 0));
    ClearComNumber(usage.data(), number);
    FUZZ_CHECK(!ComNumberInUse(usage.data(), number));
    for (DWORD other = 0; other <= HighestComNumber + 1; ++other) {
        if (other != number) {
            FUZZ_CHECK(ComNumberInUse(usage.data(), other) == ComNumberInUse(before.data(), other));
        }
    }
    return 0;
}
