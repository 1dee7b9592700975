// The I/O error log and debugger output. Error log entries are kept whole for tests and corsim;
// DbgPrint output is formatted with the kernel's conventions and kept as one text.
#include "format.h"
#include "internal.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

namespace hk {
namespace {

struct PendingEntry {
    PVOID IoObject;
    UCHAR EntrySize;
    unsigned char* Memory;
};

std::mutex LogLock;
std::unordered_map<const void*, PendingEntry> Allocated; // allocated, not yet written
std::vector<HkErrorLogEntry> Written;
std::string DebugOutput;

struct Utf8Writer {
    std::string& Text;
    void Put(uint32_t c)
    {
        if (c < 0x80) {
            Text += static_cast<char>(c);
        } else if (c < 0x800) {
            Text += static_cast<char>(0xC0 | (c >> 6));
            Text += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            Text += static_cast<char>(0xE0 | (c >> 12));
            Text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            Text += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            Text += static_cast<char>(0xF0 | (c >> 18));
            Text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            Text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            Text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
};

void Print(PCSTR format, va_list args)
{
    std::string text;
    Utf8Writer writer{text};
    FormatKernel(writer, nullptr, format, args, false);
    static const bool echo = getenv("HK_DEBUG_PRINT") != nullptr;
    if (echo) {
        fputs(text.c_str(), stderr);
    }
    std::lock_guard<std::mutex> guard(LogLock);
    DebugOutput += text;
}

} // namespace

void ResetErrorLog()
{
    std::lock_guard<std::mutex> guard(LogLock);
    for (auto& entry : Allocated) {
        free(entry.second.Memory);
    }
    Allocated.clear();
    Written.clear();
    DebugOutput.clear();
}

void CheckCleanErrorLog(bool& clean)
{
    size_t count;
    {
        std::lock_guard<std::mutex> guard(LogLock);
        count = Allocated.size();
    }
    if (count != 0) {
        Report("%zu error log entries were allocated but never written or freed", count);
        clean = false;
    }
}

} // namespace hk

using namespace hk;

extern "C" PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (IoObject == nullptr) {
        return nullptr;
    }
    CSHORT type = *static_cast<const CSHORT*>(IoObject);
    if (type != IO_TYPE_DEVICE && type != IO_TYPE_DRIVER) {
        Report("IoAllocateErrorLogEntry for %p, which is neither a device nor a driver object",
               IoObject);
        return nullptr;
    }
    if (ShouldFail(HkFault::AllocateErrorLogEntry)) {
        return nullptr;
    }
    // The I/O manager refuses packets smaller than the fixed part or larger than the limit.
    if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    unsigned char* memory = static_cast<unsigned char*>(calloc(1, EntrySize));
    std::lock_guard<std::mutex> guard(LogLock);
    Allocated[memory] = PendingEntry{IoObject, EntrySize, memory};
    return memory;
}

static PendingEntry TakeEntry(PVOID ElEntry, const char* routine)
{
    std::lock_guard<std::mutex> guard(LogLock);
    auto it = Allocated.find(ElEntry);
    if (it == Allocated.end()) {
        return PendingEntry{nullptr, 0, nullptr};
    }
    PendingEntry entry = it->second;
    Allocated.erase(it);
    (void)routine;
    return entry;
}

extern "C" VOID IoWriteErrorLogEntry(PVOID ElEntry)
{
    PendingEntry pending = TakeEntry(ElEntry, "IoWriteErrorLogEntry");
    if (pending.Memory == nullptr) {
        Report("IoWriteErrorLogEntry(%p): not an allocated error log entry (or written twice)",
               ElEntry);
        return;
    }
    const IO_ERROR_LOG_PACKET* packet =
        reinterpret_cast<const IO_ERROR_LOG_PACKET*>(pending.Memory);
    HkErrorLogEntry entry;
    entry.IoObject = pending.IoObject;
    entry.EntrySize = pending.EntrySize;
    entry.Packet.assign(pending.Memory, pending.Memory + pending.EntrySize);
    entry.ErrorCode = static_cast<ULONG>(packet->ErrorCode);
    entry.FinalStatus = packet->FinalStatus;
    entry.UniqueErrorValue = packet->UniqueErrorValue;
    if (packet->NumberOfStrings > 0) {
        if (packet->StringOffset >= pending.EntrySize) {
            Report("error log entry %p: the string offset %u lies outside the %u-byte entry",
                   ElEntry, packet->StringOffset, pending.EntrySize);
        } else {
            bool terminated = false;
            for (size_t at = packet->StringOffset; at + 1 < pending.EntrySize; at += 2) {
                char16_t c =
                    static_cast<char16_t>(pending.Memory[at] | (pending.Memory[at + 1] << 8));
                if (c == 0) {
                    terminated = true;
                    break;
                }
                entry.Text += c;
            }
            if (!terminated) {
                Report("error log entry %p: the insertion string is not terminated inside the "
                       "entry",
                       ElEntry);
            }
        }
    }
    free(pending.Memory);
    std::lock_guard<std::mutex> guard(LogLock);
    Written.push_back(std::move(entry));
}

extern "C" VOID IoFreeErrorLogEntry(PVOID ElEntry)
{
    PendingEntry pending = TakeEntry(ElEntry, "IoFreeErrorLogEntry");
    if (pending.Memory == nullptr) {
        Report("IoFreeErrorLogEntry(%p): not an allocated error log entry", ElEntry);
        return;
    }
    free(pending.Memory);
}

std::vector<HkErrorLogEntry> HkErrorLog()
{
    std::lock_guard<std::mutex> guard(LogLock);
    return Written;
}

void HkClearErrorLog()
{
    std::lock_guard<std::mutex> guard(LogLock);
    Written.clear();
}

extern "C" ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    Print(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

extern "C" ULONG DbgPrintEx(ULONG, ULONG, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    Print(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

std::string HkDebugOutput()
{
    std::lock_guard<std::mutex> guard(LogLock);
    return DebugOutput;
}

void HkClearDebugOutput()
{
    std::lock_guard<std::mutex> guard(LogLock);
    DebugOutput.clear();
}
