// Event-log entries as the platform's error log receives them: the packet's fixed fields, the
// sentence as the one insertion string right where dump data would begin, and the size asked for.
#include "spine_support.h"

#include <cstring>

using namespace spine;

namespace {

class EventLog : public CorcardTest {
protected:
    static ULONG Field32(const HkErrorLogEntry& entry, size_t offset)
    {
        ULONG value;
        memcpy(&value, entry.Packet.data() + offset, sizeof(value));
        return value;
    }
    static USHORT Field16(const HkErrorLogEntry& entry, size_t offset)
    {
        USHORT value;
        memcpy(&value, entry.Packet.data() + offset, sizeof(value));
        return value;
    }
};

TEST_F(EventLog, LatchedInterruptWarningCarriesItsSentenceAndCode)
{
    const char* text = "Interrupt line is in latched mode, should be level-sensitive.";
    ReportEvent(Driver, CorMsgWarning, text);

    std::vector<HkErrorLogEntry> log = HkErrorLog();
    ASSERT_EQ(log.size(), 1u);
    const HkErrorLogEntry& entry = log[0];
    EXPECT_EQ(entry.IoObject, Driver);
    EXPECT_EQ(HmNarrow(entry.Text), text);
    EXPECT_EQ(entry.ErrorCode, 0xA0070002u);
    EXPECT_EQ(static_cast<ULONG>(entry.FinalStatus), 0xA0070002u);
    EXPECT_EQ(entry.UniqueErrorValue, 0xEBEBEBEBu);

    size_t length = strlen(text);
    ASSERT_EQ(entry.EntrySize, 2 * length + 50);
    ASSERT_EQ(entry.Packet.size(), entry.EntrySize);
    // IO_ERROR_LOG_PACKET: MajorFunctionCode, RetryCount, DumpDataSize, NumberOfStrings,
    // StringOffset, EventCategory, ErrorCode, UniqueErrorValue, FinalStatus, SequenceNumber,
    // IoControlCode, DeviceOffset, then DumpData at 40.
    EXPECT_EQ(entry.Packet[0], 0);              // MajorFunctionCode
    EXPECT_EQ(entry.Packet[1], 0);              // RetryCount
    EXPECT_EQ(Field16(entry, 2), 0);            // DumpDataSize
    EXPECT_EQ(Field16(entry, 4), 1);            // NumberOfStrings
    EXPECT_EQ(Field16(entry, 6), 40);           // StringOffset
    EXPECT_EQ(Field16(entry, 8), 0);            // EventCategory
    EXPECT_EQ(Field32(entry, 12), 0xA0070002u); // ErrorCode
    EXPECT_EQ(Field32(entry, 16), 0xEBEBEBEBu); // UniqueErrorValue
    EXPECT_EQ(Field32(entry, 20), 0xA0070002u); // FinalStatus
    EXPECT_EQ(Field32(entry, 24), 0u);          // SequenceNumber
    EXPECT_EQ(Field32(entry, 28), 0u);          // IoControlCode
    for (size_t i = 32; i < 40; ++i) {
        EXPECT_EQ(entry.Packet[i], 0) << "DeviceOffset byte " << i;
    }
    for (size_t i = 0; i < length; ++i) {
        ASSERT_EQ(Field16(entry, 40 + 2 * i), static_cast<USHORT>(text[i])) << "character " << i;
    }
    EXPECT_EQ(Field16(entry, 40 + 2 * length), 0) << "terminator";
    for (size_t i = 40 + 2 * length + 2; i < entry.Packet.size(); ++i) {
        EXPECT_EQ(entry.Packet[i], 0) << "byte " << i;
    }
}

TEST_F(EventLog, EmptySentenceGivesTheFixedPartAndATerminator)
{
    ReportEvent(Driver, CorMsgError, "");
    std::vector<HkErrorLogEntry> log = HkErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].EntrySize, 50);
    EXPECT_TRUE(log[0].Text.empty());
    EXPECT_EQ(log[0].ErrorCode, CorMsgError);
    EXPECT_EQ(Field16(log[0], 4), 1);
    EXPECT_EQ(Field16(log[0], 40), 0);
}

// 95 characters fill the conversion buffer with its terminator; one more cannot be converted and
// the entry goes out with an empty sentence rather than a cut or overrun one.
TEST_F(EventLog, LongestSentenceFitsAndALongerOneIsLeftEmpty)
{
    std::string longest(95, 'x');
    longest[0] = 'A';
    longest[94] = '.';
    ReportEvent(Driver, CorMsgError, longest.c_str());
    std::string tooLong(96, 'y');
    ReportEvent(Driver, CorMsgError, tooLong.c_str());

    std::vector<HkErrorLogEntry> log = HkErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(HmNarrow(log[0].Text), longest);
    EXPECT_EQ(log[0].EntrySize, 2 * 95 + 50);
    EXPECT_TRUE(log[1].Text.empty()) << HmNarrow(log[1].Text);
    EXPECT_EQ(log[1].EntrySize, 50);
    EXPECT_EQ(log[1].ErrorCode, CorMsgError);
}

TEST_F(EventLog, NoEntryFromThePlatformIsSilent)
{
    HkFailNth(HkFault::AllocateErrorLogEntry, 1);
    ReportEvent(Driver, CorMsgError, "Unable to create device object.");
    EXPECT_TRUE(HkErrorLog().empty());
    EXPECT_EQ(HkCallCount(HkFault::AllocateErrorLogEntry), 1u);
    // The next report goes through again.
    ReportEvent(Driver, CorMsgError, "BAR not configured.");
    EXPECT_EQ(Reports(), std::vector<Report>{Error("BAR not configured.")});
    EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
}

} // namespace
