// Event-log reports: one entry per configuration failure, carrying a fixed English sentence. The
// driver's message table gives every code the text "%2\r\n", so the event viewer shows exactly the
// entry's first insertion string.
#include "corcard.h"

// The insertion string is placed where the packet's dump data would begin; there is no dump data.
static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 40, "DumpData at offset 40");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "fixed part of the error log packet is 48 bytes");

// Sentences are converted into this fixed buffer: no allocation on a failure path. It holds 95
// characters and the terminator; every sentence the driver reports is shorter than 64.
constexpr USHORT ReportTextUnits = 96;
constexpr ULONG ReportUniqueValue = 0xEBEBEBEB;
// The fixed packet part plus the insertion string's terminating zero.
constexpr ULONG ReportPacketOverhead = sizeof(IO_ERROR_LOG_PACKET) + sizeof(WCHAR);

VOID ReportEvent(PVOID IoObject, ULONG MessageCode, PCSTR Text)
{
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, Text);

    WCHAR buffer[ReportTextUnits];
    UNICODE_STRING text;
    text.Length = 0;
    text.MaximumLength = sizeof(buffer);
    text.Buffer = buffer;
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&text, &ansi, FALSE))) {
        // A failed conversion may leave the needed length behind; report an empty sentence.
        text.Length = 0;
    }

    // The platform's size argument is one byte wide.
    UCHAR size = static_cast<UCHAR>(text.Length + ReportPacketOverhead);
    PIO_ERROR_LOG_PACKET entry =
        static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(IoObject, size));
    if (entry == nullptr) {
        return;
    }

    RtlZeroMemory(entry, size);
    entry->NumberOfStrings = 1;
    entry->StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    entry->ErrorCode = static_cast<NTSTATUS>(MessageCode);
    entry->UniqueErrorValue = ReportUniqueValue;
    entry->FinalStatus = static_cast<NTSTATUS>(MessageCode);
    // The zeroing above supplies the terminator.
    RtlCopyMemory(reinterpret_cast<PUCHAR>(entry) + entry->StringOffset, text.Buffer, text.Length);
    IoWriteErrorLogEntry(entry);
}
