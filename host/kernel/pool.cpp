// Executive pool. Every block is tracked by tag and pool type; new blocks are filled with a
// pattern (pool is not zeroed on Windows), freed blocks are poisoned and kept in quarantine so
// that a second free or a free of a foreign address is recognised, and a guard after each block
// catches writes past its end.
#include "internal.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace hk {
namespace {

constexpr size_t HeaderSize = 16; // keeps blocks 16-byte aligned, as x64 pool does
constexpr size_t GuardSize = 16;
constexpr unsigned char FreshFill = 0xA5;
constexpr unsigned char FreedFill = 0xDF;
constexpr unsigned char GuardFill = 0xFD;
constexpr size_t QuarantineLimit = 1u << 16;
constexpr ULONG UntaggedTag = 0x656E6F4E; // "None", the tag of ExAllocatePool

struct Block {
    ULONG Tag;
    int PoolType;
    size_t Size;
    unsigned char* Raw;
    bool Freed;
};

std::mutex PoolLock;
std::unordered_map<const void*, Block> Blocks;
std::deque<const void*> Quarantine;

std::string TagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// Non-paged pool is executable unless the NX bit of the type asks otherwise; paged pool never is.
// Code integrity (and Driver Verifier's check of it) rejects a driver's executable allocations.
bool Executable(POOL_TYPE type)
{
    int value = static_cast<int>(type);
    return (value & 512) == 0 && (value & 1) == 0;
}

int BasePoolType(POOL_TYPE type)
{
    // Cache-aligned and must-succeed variants belong to their base pool; NX is non-paged.
    int value = static_cast<int>(type);
    if (value & 512) {
        return NonPagedPool;
    }
    return (value & 1) ? PagedPool : NonPagedPool;
}

void ReleaseRaw(Block& block)
{
    HK_UNPOISON(block.Raw, HeaderSize + block.Size + GuardSize);
    free(block.Raw);
}

} // namespace

void ResetPool()
{
    std::lock_guard<std::mutex> guard(PoolLock);
    for (auto& entry : Blocks) {
        ReleaseRaw(entry.second);
    }
    Blocks.clear();
    Quarantine.clear();
}

static void ReportOutstanding(const char* when)
{
    std::vector<std::string> lines;
    size_t count = 0;
    {
        std::lock_guard<std::mutex> guard(PoolLock);
        for (const auto& entry : Blocks) {
            if (!entry.second.Freed) {
                ++count;
                if (lines.size() < 16) {
                    lines.push_back(
                        Format("%p: %zu bytes, tag '%s', %s pool", entry.first, entry.second.Size,
                               TagText(entry.second.Tag).c_str(),
                               entry.second.PoolType == PagedPool ? "paged" : "non-paged"));
                }
            }
        }
    }
    for (const std::string& line : lines) {
        Report("pool block still allocated %s: %s", when, line.c_str());
    }
    if (count > lines.size()) {
        Report("... and %zu more pool blocks still allocated %s", count - lines.size(), when);
    }
}

void CheckUnloadPool()
{
    ReportOutstanding("when the driver unloads");
}

void CheckCleanPool(bool& clean)
{
    if (HkPoolOutstanding().Blocks != 0) {
        clean = false;
        ReportOutstanding("at the end of the test");
    }
}

} // namespace hk

using namespace hk;

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    int base = BasePoolType(PoolType);
    KIRQL irql = CurrentThread().Irql;
    if ((base == PagedPool && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
        Report("ExAllocatePoolWithTag(%s pool, %zu bytes) at IRQL %d",
               base == PagedPool ? "paged" : "non-paged", static_cast<size_t>(NumberOfBytes), irql);
    }
    if (Tag == 0) {
        Report("ExAllocatePoolWithTag with a zero tag");
    }
    if (Executable(PoolType)) {
        Report("ExAllocatePoolWithTag(pool type %d, %zu bytes, tag '%s') allocates executable "
               "memory: data belongs in NonPagedPoolNx",
               static_cast<int>(PoolType), static_cast<size_t>(NumberOfBytes),
               TagText(Tag).c_str());
    }
    if (ShouldFail(HkFault::Pool)) {
        return nullptr;
    }
    unsigned char* raw =
        static_cast<unsigned char*>(malloc(HeaderSize + NumberOfBytes + GuardSize));
    if (raw == nullptr) {
        return nullptr;
    }
    unsigned char* p = raw + HeaderSize;
    memset(raw, 0, HeaderSize);
    memset(p, FreshFill, NumberOfBytes);
    memset(p + NumberOfBytes, GuardFill, GuardSize);
    HK_POISON(raw, HeaderSize);
    HK_POISON(p + NumberOfBytes, GuardSize);
    std::lock_guard<std::mutex> guard(PoolLock);
    auto old = Blocks.find(p);
    if (old != Blocks.end()) {
        // A quarantined block released to the C library came back at the same address.
        Blocks.erase(old);
    }
    Blocks[p] = Block{Tag, base, NumberOfBytes, raw, false};
    return p;
}

extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, UntaggedTag);
}

static void FreeBlock(PVOID P, bool checkTag, ULONG tag)
{
    if (P == nullptr) {
        Report("ExFreePool(NULL)");
        return;
    }
    Block block;
    {
        std::lock_guard<std::mutex> guard(PoolLock);
        auto it = Blocks.find(P);
        if (it == Blocks.end()) {
            const void* inside = nullptr;
            for (const auto& entry : Blocks) {
                const unsigned char* start = static_cast<const unsigned char*>(entry.first);
                if (P > entry.first && P < start + entry.second.Size) {
                    inside = entry.first;
                    break;
                }
            }
            if (inside) {
                Report("ExFreePool(%p): address inside the pool block at %p, not its start", P,
                       inside);
            } else {
                Report("ExFreePool(%p): memory that pool did not give", P);
            }
            return;
        }
        if (it->second.Freed) {
            Report("ExFreePool(%p): pool block (tag '%s', %zu bytes) freed twice", P,
                   TagText(it->second.Tag).c_str(), it->second.Size);
            return;
        }
        block = it->second;
    }
    KIRQL irql = CurrentThread().Irql;
    if ((block.PoolType == PagedPool && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
        Report("ExFreePool(%p) of %s pool at IRQL %d", P,
               block.PoolType == PagedPool ? "paged" : "non-paged", irql);
    }
    if (checkTag && tag != block.Tag) {
        Report("ExFreePoolWithTag(%p, '%s') of a block allocated with tag '%s'", P,
               TagText(tag).c_str(), TagText(block.Tag).c_str());
    }
    unsigned char* p = static_cast<unsigned char*>(P);
    HK_UNPOISON(p + block.Size, GuardSize);
    for (size_t i = 0; i < GuardSize; ++i) {
        if (p[block.Size + i] != GuardFill) {
            Report("pool block %p (tag '%s', %zu bytes) was written past its end", P,
                   TagText(block.Tag).c_str(), block.Size);
            break;
        }
    }
    CheckNoHeldMutexIn(P, block.Size, "pool block");
    OrderForget(P, block.Size);
    MemoryFreed(P, block.Size, "pool block");
    memset(p, FreedFill, block.Size + GuardSize);
    HK_POISON(p, block.Size + GuardSize);

    std::lock_guard<std::mutex> guard(PoolLock);
    auto it = Blocks.find(P);
    it->second.Freed = true;
    Quarantine.push_back(P);
    if (Quarantine.size() > QuarantineLimit) {
        auto oldest = Blocks.find(Quarantine.front());
        Quarantine.pop_front();
        if (oldest != Blocks.end() && oldest->second.Freed) {
            ReleaseRaw(oldest->second);
            Blocks.erase(oldest);
        }
    }
}

extern "C" VOID ExFreePool(PVOID P)
{
    FreeBlock(P, false, 0);
}

extern "C" VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, true, Tag);
}

HkPoolStats HkPoolOutstanding(ULONG tag, int poolType)
{
    HkPoolStats stats{0, 0};
    std::lock_guard<std::mutex> guard(PoolLock);
    for (const auto& entry : Blocks) {
        const Block& block = entry.second;
        if (block.Freed || (tag != 0 && block.Tag != tag) ||
            (poolType != -1 && block.PoolType != poolType)) {
            continue;
        }
        ++stats.Blocks;
        stats.Bytes += block.Size;
    }
    return stats;
}

bool HkPoolBlockInfo(const void* p, ULONG* tag, int* poolType, size_t* size)
{
    std::lock_guard<std::mutex> guard(PoolLock);
    auto it = Blocks.find(p);
    if (it == Blocks.end() || it->second.Freed) {
        return false;
    }
    if (tag) {
        *tag = it->second.Tag;
    }
    if (poolType) {
        *poolType = it->second.PoolType;
    }
    if (size) {
        *size = it->second.Size;
    }
    return true;
}
