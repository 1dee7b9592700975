// Reading a fuzz input as a stream of small decisions. Past the end every read gives zeros, so any
// input, even an empty one, decodes to something.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : Data(data), Size(size) {}

    size_t Remaining() const { return Size - Offset; }
    bool Empty() const { return Offset == Size; }

    uint8_t Byte() { return Offset < Size ? Data[Offset++] : 0; }
    bool Bool() { return (Byte() & 1) != 0; }
    // Little-endian. The low part is read first in a statement of its own: the operands of |
    // are evaluated in no fixed order, and GCC and clang pick different ones, so a seed would
    // decode differently in the replay tree and in the fuzzing tree.
    uint16_t U16()
    {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    uint32_t U32()
    {
        const uint32_t low = U16();
        return low | static_cast<uint32_t>(U16()) << 16;
    }
    uint64_t U64()
    {
        const uint64_t low = U32();
        return low | static_cast<uint64_t>(U32()) << 32;
    }

    // A number below limit (limit > 0).
    unsigned Below(unsigned limit) { return Byte() % limit; }

    std::vector<uint8_t> Bytes(size_t count)
    {
        std::vector<uint8_t> bytes(count, 0);
        size_t available = count < Remaining() ? count : Remaining();
        if (available != 0) {
            std::memcpy(bytes.data(), Data + Offset, available);
        }
        Offset += available;
        return bytes;
    }

private:
    const uint8_t* Data;
    size_t Size;
    size_t Offset = 0;
};
