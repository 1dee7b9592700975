// Event-log reports: one entry per configuration problem, carrying a fixed English sentence. The
// driver's message table gives every code the text "%2\r\n", so the event viewer shows exactly
// the entry's first insertion string (%1 is the device name the platform supplies).
#include "corserial.h"

// The insertion string goes where the packet's dump data would begin; there is no dump data.
static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 40, "DumpData at offset 40");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "fixed part of the error log packet is 48 bytes");

namespace {

// Sentences are converted into this fixed buffer, on the stack: no allocation on a failure path.
// The longest sentence the driver reports is below 80 characters.
constexpr USHORT SentenceUnits = 96;
constexpr ULONG UniqueValue = 0x53455231; // "SER1"
// The fixed packet part plus the insertion string's terminating zero.
constexpr ULONG PacketOverhead = sizeof(IO_ERROR_LOG_PACKET) + sizeof(WCHAR);

} // namespace

VOID ReportEvent(PSERIAL_PORT Port, ULONG MessageCode, PCSTR Sentence)
{
    ANSI_STRING Ansi;
    RtlInitAnsiString(&Ansi, Sentence);
    WCHAR Buffer[SentenceUnits];
    UNICODE_STRING Text;
    Text.Length = 0;
    Text.MaximumLength = sizeof(Buffer);
    Text.Buffer = Buffer;
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&Text, &Ansi, FALSE))) {
        Text.Length = 0;
    }
    // The platform's size argument is one byte wide.
    const UCHAR Size = static_cast<UCHAR>(Text.Length + PacketOverhead);
    auto Entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Port->Self, Size));
    if (Entry == nullptr) {
        return;
    }
    RtlZeroMemory(Entry, Size);
    Entry->NumberOfStrings = 1;
    Entry->StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    Entry->ErrorCode = static_cast<NTSTATUS>(MessageCode);
    Entry->UniqueErrorValue = UniqueValue;
    Entry->FinalStatus = static_cast<NTSTATUS>(MessageCode);
    RtlCopyMemory(reinterpret_cast<PUCHAR>(Entry) + Entry->StringOffset, Text.Buffer, Text.Length);
    IoWriteErrorLogEntry(Entry);
}
