// The Advanced dialog's reading and repair of a port's device key, over any bytes, sizes and
// types of its seven values, with writes allowed or refused. What the dialog shows stays within
// the hardware's limits, a repaired value is written as a DWORD the port driver can read, nothing
// readable and in range is touched, the key is closed once, and reading again repairs nothing.
#include "fuzz_input.h"
#include "win32_double.h"

#include "advanced/fifo_settings.h"
#include "provider/provider.h"

#include <string>

namespace {

const char16_t* const ValueNames[] = {u"PortName",  u"ForceFifoEnable", u"EnableFifo64",
                                      u"FifoRxMax", u"FifoTxMax",       u"RxFIFO",
                                      u"TxFIFO"};

// A value the routines read as a number: exactly four bytes, of any type.
bool Dword(const FakeKey& key, const char16_t* name, DWORD* value)
{
    const FakeValue* stored = key.Find(name);
    if (stored == nullptr || stored->Data.size() != sizeof(DWORD)) {
        return false;
    }
    std::memcpy(value, stored->Data.data(), sizeof(DWORD));
    return true;
}

bool SameValue(const FakeValue* a, const FakeValue* b)
{
    return (a == nullptr && b == nullptr) ||
           (a != nullptr && b != nullptr && a->Type == b->Type && a->Data == b->Data);
}

AdvancedBlock Read(FakeKey& key)
{
    AdvancedBlock block;
    std::memset(&block, 0, sizeof(block));
    block.DeviceKey = key.Handle();
    block.ComDb = HCOMDB_INVALID_HANDLE_VALUE;
    int closes = key.Closes;
    ReadAdvancedSettings(&block);
    FUZZ_CHECK(key.Closes == closes + 1);
    FUZZ_CHECK(block.DeviceKey == static_cast<HKEY>(INVALID_HANDLE_VALUE));
    key.Closes = 0; // open again for the next reader
    return block;
}

// One FIFO setting after the read: in range and usable, or unusable only when writes fail.
void CheckFifo(const FakeKey& before, const FakeKey& after, const char16_t* name, DWORD limit,
               DWORD maximum, BOOL usable, DWORD depth)
{
    DWORD stored = 0;
    if (Dword(before, name, &stored) && stored <= limit) {
        FUZZ_CHECK(usable && depth == stored);
        FUZZ_CHECK(SameValue(before.Find(name), after.Find(name)));
        return;
    }
    if (before.SetsFail) {
        FUZZ_CHECK(!usable && depth == 0);
        return;
    }
    FUZZ_CHECK(usable && depth == maximum && depth <= limit);
    const FakeValue* repaired = after.Find(name);
    FUZZ_CHECK(repaired != nullptr && repaired->Type == REG_DWORD);
    FUZZ_CHECK(Dword(after, name, &stored) && stored == maximum);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    FakeKey key;
    key.SetsFail = in.Bool();
    for (const char16_t* name : ValueNames) {
        uint8_t shape = in.Byte();
        if ((shape & 1) == 0) {
            continue; // no such value
        }
        // Mostly the types the registry editor makes, now and then any 32-bit type.
        DWORD type = (shape & 0x80) != 0 ? in.U32() : (shape >> 1) % 12;
        key.Put(name, type, in.Bytes(in.Below(48)));
    }
    const FakeKey before = key;

    AdvancedBlock block = Read(key);

    // The name: a terminated string from the value, or "COMX".
    int nameLength = 0;
    while (nameLength < kPortNameLength && block.CurrentPortName[nameLength] != 0) {
        ++nameLength;
    }
    FUZZ_CHECK(nameLength < kPortNameLength);
    const FakeValue* portName = before.Find(u"PortName");
    std::u16string shown(reinterpret_cast<const char16_t*>(block.CurrentPortName), nameLength);
    if (shown != u"COMX") {
        FUZZ_CHECK(portName != nullptr &&
                   (portName->Type == REG_SZ || portName->Type == REG_EXPAND_SZ));
        // An odd byte count leaves the last unit's high byte zero, as the zeroed buffer had it.
        std::vector<BYTE> units = portName->Data;
        units.resize(kPortNameLength * sizeof(WCHAR), 0);
        FUZZ_CHECK(portName->Data.size() + 1 >= nameLength * sizeof(WCHAR));
        FUZZ_CHECK(std::memcmp(units.data(), shown.data(), nameLength * sizeof(WCHAR)) == 0);
    }

    // Limits as the port driver gives them, within the hardware's.
    DWORD value = 0;
    FUZZ_CHECK(block.RxFifoMax <= RxFifoLimit);
    FUZZ_CHECK(block.TxFifoMax >= 1 && block.TxFifoMax <= TxFifoLimit);
    if (Dword(before, u"FifoRxMax", &value) && value <= RxFifoLimit) {
        FUZZ_CHECK(block.RxFifoMax == value);
    }
    if (Dword(before, u"FifoTxMax", &value) && value >= 1 && value <= TxFifoLimit) {
        FUZZ_CHECK(block.TxFifoMax == value);
    }

    // The 64-byte option only where the driver created it; never created here.
    bool fifo64 = Dword(before, u"EnableFifo64", &value);
    FUZZ_CHECK((block.Fifo64Present != FALSE) == fifo64);
    FUZZ_CHECK(block.Fifo64Value == (fifo64 ? value : 0));
    FUZZ_CHECK(SameValue(before.Find(u"EnableFifo64"), key.Find(u"EnableFifo64")));

    CheckFifo(before, key, u"RxFIFO", RxFifoLimit, block.RxFifoMax, block.RxFifoUsable,
              block.RxFifoDepth);
    CheckFifo(before, key, u"TxFIFO", TxFifoLimit, block.TxFifoMax, block.TxFifoUsable,
              block.TxFifoDepth);

    // "ForceFifoEnable" is created as 1 when it is not a readable number, and kept otherwise.
    if (Dword(before, u"ForceFifoEnable", &value) || before.SetsFail) {
        FUZZ_CHECK(SameValue(before.Find(u"ForceFifoEnable"), key.Find(u"ForceFifoEnable")));
    } else {
        FUZZ_CHECK(Dword(key, u"ForceFifoEnable", &value) && value == 1);
    }
    for (const char16_t* name : {u"PortName", u"FifoRxMax", u"FifoTxMax"}) {
        FUZZ_CHECK(SameValue(before.Find(name), key.Find(name)));
    }

    // The receive trackbar: a usable depth shows at the level at or above it, and every position
    // stores a level that shows at that position again.
    if (block.RxFifoUsable) {
        DWORD position = RxPositionFromDepth(block.RxFifoDepth);
        FUZZ_CHECK(position >= 1 && position <= RxTriggerPositions);
        FUZZ_CHECK(RxLevelFromPosition(position) >= block.RxFifoDepth);
    }
    for (LRESULT position = 1; position <= static_cast<LRESULT>(RxTriggerPositions); ++position) {
        FUZZ_CHECK(RxPositionFromDepth(RxLevelFromPosition(position)) ==
                   static_cast<DWORD>(position));
    }

    // What one read repaired needs no repair on the next: nothing more is written.
    key.Sets = 0;
    AdvancedBlock again = Read(key);
    if (!before.SetsFail) {
        FUZZ_CHECK(key.Sets == 0);
    }
    FUZZ_CHECK(again.RxFifoDepth == block.RxFifoDepth && again.TxFifoDepth == block.TxFifoDepth &&
               again.RxFifoUsable == block.RxFifoUsable &&
               again.TxFifoUsable == block.TxFifoUsable && again.RxFifoMax == block.RxFifoMax &&
               again.TxFifoMax == block.TxFifoMax);
    return 0;
}
