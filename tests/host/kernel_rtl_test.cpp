// Run-time library strings, ntoskrnl's swprintf, DbgPrint formatting and the error log, with the
// kernel's results where a buffer is too small.
#include "kernel_rig.h"

// In kernel_swprintf_calls.cpp, which can see ntoskrnl's swprintf without the C library's.
int CallSwprintf(WCHAR* out, const WCHAR* format, ...);

namespace {

std::u16string Text(const WCHAR* s, size_t units)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s), units);
}

std::u16string Text(const UNICODE_STRING& s)
{
    return Text(s.Buffer, s.Length / 2);
}

} // namespace

TEST_F(KernelTest, AnsiToUnicodeConversionFailsWithoutRoomForTheTerminator)
{
    WCHAR buffer[4] = {0x1111, 0x1111, 0x1111, 0x1111};
    UNICODE_STRING out{0, sizeof(buffer), buffer};
    ANSI_STRING in;
    RtlInitAnsiString(&in, "abc");
    EXPECT_EQ(in.Length, 3);
    EXPECT_EQ(in.MaximumLength, 4);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&out, &in, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(out), u"abc");
    EXPECT_EQ(buffer[3], 0);

    // Four characters need ten bytes: the kernel reports the length it needed and writes nothing.
    WCHAR small[4] = {0x2222, 0x2222, 0x2222, 0x2222};
    UNICODE_STRING tight{0, sizeof(small), small};
    RtlInitAnsiString(&in, "abcd");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&tight, &in, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tight.Length, 8);
    EXPECT_EQ(small[0], 0x2222);

    UNICODE_STRING allocated;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&allocated, &in, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(allocated), u"abcd");
    RtlFreeUnicodeString(&allocated);
}

TEST_F(KernelTest, AppendsThatDoNotFitChangeNothing)
{
    WCHAR buffer[6];
    UNICODE_STRING s{0, sizeof(buffer), buffer};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"abc"), STATUS_SUCCESS);
    EXPECT_EQ(buffer[3], 0) << "terminated where there is room";
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"defg"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(s), u"abc");
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"def");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&s, &tail), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"abcdef") << "exactly full, no terminator";
    EXPECT_EQ(s.Length, s.MaximumLength);

    WCHAR digits[3];
    UNICODE_STRING number{0, sizeof(digits), digits};
    EXPECT_EQ(RtlIntegerToUnicodeString(42, 10, &number), STATUS_SUCCESS);
    EXPECT_EQ(Text(number), u"42");
    EXPECT_EQ(RtlIntegerToUnicodeString(0x1F, 16, &number), STATUS_SUCCESS);
    EXPECT_EQ(Text(number), u"1F");
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &number), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &number), STATUS_INVALID_PARAMETER);

    WCHAR copy[2];
    UNICODE_STRING target{0, sizeof(copy), copy};
    RtlCopyUnicodeString(&target, &s);
    EXPECT_EQ(Text(target), u"ab") << "truncated to the destination";
}

TEST_F(KernelTest, SwprintfUsesTheKernelConventions)
{
    WCHAR out[64];
    EXPECT_EQ(CallSwprintf(out, L"%04X", 0x1E5C), 4);
    EXPECT_EQ(Text(out, 4), u"1E5C");
    CallSwprintf(out, L"_%04X%04X_", 0x7A21, 0x1);
    EXPECT_EQ(Text(out, 10), u"_7A210001_");
    int n = CallSwprintf(out, L"_Port%u|%d|%x|%5d|%-3u|", 7u, -12, 255, 42, 1u);
    EXPECT_EQ(Text(out, n), u"_Port7|-12|ff|   42|1  |");
    n = CallSwprintf(out, L"%s+%ws+%S", L"wide", L"too", "narrow");
    EXPECT_EQ(Text(out, n), u"wide+too+narrow");
    EXPECT_EQ(out[n], 0);
}

TEST_F(KernelTest, DbgPrintFormatsLikeTheKernel)
{
    HkClearDebugOutput();
    DbgPrint("   FATAL: There are references to the PDO, RefCount:%d\n", 3);
    DbgPrint("%s %ws %S %c %08x %X %u %p|", "a", L"b", L"c", 'd', 0xBEEFu, 0xABu, 4000000000u,
             reinterpret_cast<void*>(0x1234));
    DbgPrint("%I64x %lu", 0x123456789ULL, 7u);
    EXPECT_EQ(HkDebugOutput(), "   FATAL: There are references to the PDO, RefCount:3\n"
                               "a b c d 0000beef AB 4000000000 0000000000001234|123456789 7");
}

TEST_F(KernelTest, ErrorLogKeepsWrittenEntriesAndEnforcesTheSizeLimits)
{
    EXPECT_EQ(IoAllocateErrorLogEntry(Driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(Driver, sizeof(IO_ERROR_LOG_PACKET) - 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 64), nullptr);

    const WCHAR text[] = L"Hi";
    UCHAR size = static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET) + sizeof(text));
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(Driver, size));
    ASSERT_NE(packet, nullptr);
    packet->NumberOfStrings = 1;
    packet->StringOffset = FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData);
    packet->ErrorCode = static_cast<NTSTATUS>(0xE0070003);
    packet->FinalStatus = static_cast<NTSTATUS>(0xE0070003);
    packet->UniqueErrorValue = 0xEBEBEBEB;
    memcpy(reinterpret_cast<UCHAR*>(packet) + packet->StringOffset, text, sizeof(text));
    IoWriteErrorLogEntry(packet);

    std::vector<HkErrorLogEntry> log = HkErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].IoObject, Driver);
    EXPECT_EQ(log[0].EntrySize, size);
    EXPECT_EQ(log[0].Packet.size(), size);
    EXPECT_EQ(log[0].ErrorCode, 0xE0070003u);
    EXPECT_EQ(log[0].UniqueErrorValue, 0xEBEBEBEBu);
    EXPECT_EQ(log[0].Text, u"Hi");

    HkFailNth(HkFault::AllocateErrorLogEntry, 1);
    EXPECT_EQ(IoAllocateErrorLogEntry(Driver, 64), nullptr);
    auto found = Violations([&] { IoWriteErrorLogEntry(packet); });
    EXPECT_TRUE(Mentions(found, "written twice")) << ::testing::PrintToString(found);
}
