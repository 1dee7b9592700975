// The [Ports] value of a port as the Port Settings page reads and writes it. Any stored text (up to
// the 80 units the page reads) parses to five valid list selections; composing those selections
// as Apply does and parsing the result again gives the same five selections.
#include "fuzz_input.h"
#include "win32_double.h"

#include "settings/line_tables.h"
#include "settings/settings.h"

#include <algorithm>
#include <vector>

namespace {

void CheckInRange(const LineSettings& s)
{
    FUZZ_CHECK(s.ParityIndex >= 0 && s.ParityIndex < kParityCount);
    FUZZ_CHECK(s.DataBitsIndex >= 0 && s.DataBitsIndex < kDataBitsCount);
    FUZZ_CHECK(s.StopBitsIndex >= 0 && s.StopBitsIndex < kStopBitsCount);
    FUZZ_CHECK(s.FlowControlIndex >= 0 && s.FlowControlIndex < kFlowControlCount);
}

bool SameSelections(const LineSettings& a, const LineSettings& b)
{
    return a.BaudRate == b.BaudRate && a.ParityIndex == b.ParityIndex &&
           a.DataBitsIndex == b.DataBitsIndex && a.StopBitsIndex == b.StopBitsIndex &&
           a.FlowControlIndex == b.FlowControlIndex;
}

// Parses a copy of text held in a buffer of exactly its own size, so that a read past the
// terminator is caught.
LineSettings Parse(const WCHAR* text)
{
    std::vector<WCHAR> value(text, text + lstrlenW(text) + 1);
    LineSettings settings;
    const WCHAR* baudField = nullptr;
    ParsePortsValue(value.data(), &settings, &baudField);
    FUZZ_CHECK(baudField >= value.data() && baudField < value.data() + value.size());
    CheckInRange(settings);
    return settings;
}

// Composes as Apply does and parses the result again.
void RoundTrip(const WCHAR* baudText, const LineSettings& chosen)
{
    WCHAR composed[kPortsValueLength];
    FUZZ_CHECK(ComposePortsValue(baudText, &chosen, composed));
    FUZZ_CHECK(lstrlenW(composed) < kPortsValueLength);
    LineSettings again = Parse(composed);
    FUZZ_CHECK(SameSelections(again, chosen));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The stored value as GetProfileStringW hands it to the page: at most 80 units, terminated.
    size_t units = std::min<size_t>(size / 2, kPortsValueLength - 1);
    std::vector<WCHAR> stored(std::max<size_t>(units + 1, lstrlenW(kDefaultPortsValue) + 1), 0);
    if (units != 0) {
        std::memcpy(stored.data(), data, units * sizeof(WCHAR));
    }

    // What the page does before parsing: trim, and fall back to the default for an empty value.
    TrimBlanks(stored.data());
    FUZZ_CHECK(stored[0] != L' ');
    int trimmed = lstrlenW(stored.data());
    FUZZ_CHECK(trimmed == 0 || stored[trimmed - 1] != L' ');
    if (stored[0] == L'\0') {
        lstrcpyW(stored.data(), kDefaultPortsValue);
    }
    LineSettings parsed = Parse(stored.data());

    // Apply without a pick in the rate list writes the stored rate's decimal text.
    WCHAR baudText[kBaudTextLength + 1];
    RoundTrip(NumberToText(parsed.BaudRate, baudText), parsed);

    // Apply after a pick writes the list entry's text: every entry with the parsed selections.
    for (DWORD rate : kBaudRates) {
        LineSettings picked = parsed;
        picked.BaudRate = rate;
        RoundTrip(NumberToText(rate, baudText), picked);
    }

    // A list without a selection (index -1) or an index past its list is refused.
    LineSettings broken = parsed;
    broken.StopBitsIndex = size % 2 == 0 ? -1 : kStopBitsCount;
    WCHAR composed[kPortsValueLength];
    FUZZ_CHECK(!ComposePortsValue(baudText, &broken, composed));
    return 0;
}
