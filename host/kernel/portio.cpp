// x86 I/O port space. Accesses reach the handler mapped over the port (the processor decodes the
// low 16 bits of the address); every access is recorded. Handlers are called without any lock of
// the stand-in held, so a handler may raise an interrupt or touch other ports.
#include "internal.h"

#include <algorithm>
#include <mutex>

namespace hk {
namespace {

struct Mapping {
    ULONG64 Base;
    ULONG Length;
    const HkIoHandler* Handler;
    void* Context;
};

constexpr size_t LogLimit = 1u << 20;

std::mutex PortLock;
std::vector<Mapping> Mappings;
std::vector<HkIoAccess> Log;
size_t AccessCount;

bool Find(ULONG64 address, Mapping* found)
{
    std::lock_guard<std::mutex> guard(PortLock);
    for (const Mapping& mapping : Mappings) {
        if (address >= mapping.Base && address - mapping.Base < mapping.Length) {
            *found = mapping;
            return true;
        }
    }
    return false;
}

void Record(ULONG64 address, int width, bool write, ULONG value, bool mapped)
{
    std::lock_guard<std::mutex> guard(PortLock);
    ++AccessCount;
    if (Log.size() < LogLimit) {
        Log.push_back(HkIoAccess{address, width, write, value, mapped});
    }
}

ULONG Read(const void* port, int width)
{
    ULONG64 address = reinterpret_cast<ULONG_PTR>(port) & 0xFFFF;
    Mapping mapping;
    ULONG value;
    bool mapped = Find(address, &mapping);
    if (mapped) {
        value = mapping.Handler->Read(mapping.Context, static_cast<ULONG>(address - mapping.Base),
                                      width);
    } else {
        value = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0xFFFFFFFF;
    }
    if (width == 1) {
        value &= 0xFF;
    } else if (width == 2) {
        value &= 0xFFFF;
    }
    Record(address, width, false, value, mapped);
    return value;
}

void Write(const void* port, int width, ULONG value)
{
    ULONG64 address = reinterpret_cast<ULONG_PTR>(port) & 0xFFFF;
    Mapping mapping;
    bool mapped = Find(address, &mapping);
    Record(address, width, true, value, mapped);
    if (mapped) {
        mapping.Handler->Write(mapping.Context, static_cast<ULONG>(address - mapping.Base), width,
                               value);
    }
}

} // namespace

void ResetPortIo()
{
    std::lock_guard<std::mutex> guard(PortLock);
    Mappings.clear();
    Log.clear();
    AccessCount = 0;
}

} // namespace hk

using namespace hk;

extern "C" UCHAR READ_PORT_UCHAR(PUCHAR Port)
{
    return static_cast<UCHAR>(Read(Port, 1));
}

extern "C" USHORT READ_PORT_USHORT(PUSHORT Port)
{
    return static_cast<USHORT>(Read(Port, 2));
}

extern "C" ULONG READ_PORT_ULONG(PULONG Port)
{
    return Read(Port, 4);
}

extern "C" VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    Write(Port, 1, Value);
}

extern "C" VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value)
{
    Write(Port, 2, Value);
}

extern "C" VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value)
{
    Write(Port, 4, Value);
}

void HkMapIo(ULONG64 base, ULONG length, const HkIoHandler* handler, void* context)
{
    std::lock_guard<std::mutex> guard(PortLock);
    Mappings.erase(std::remove_if(Mappings.begin(), Mappings.end(),
                                  [base](const Mapping& m) { return m.Base == base; }),
                   Mappings.end());
    Mappings.push_back(Mapping{base, length, handler, context});
}

void HkUnmapIo(ULONG64 base)
{
    std::lock_guard<std::mutex> guard(PortLock);
    Mappings.erase(std::remove_if(Mappings.begin(), Mappings.end(),
                                  [base](const Mapping& m) { return m.Base == base; }),
                   Mappings.end());
}

std::vector<HkIoAccess> HkIoLog()
{
    std::lock_guard<std::mutex> guard(PortLock);
    return Log;
}

void HkClearIoLog()
{
    std::lock_guard<std::mutex> guard(PortLock);
    Log.clear();
}

size_t HkIoAccessCount()
{
    std::lock_guard<std::mutex> guard(PortLock);
    return AccessCount;
}
