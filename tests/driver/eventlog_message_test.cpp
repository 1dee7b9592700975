// Event-log entries as the event viewer reads them: the entry's code looked up in the driver's
// message table (compiled from corcard.mc as for corcard.sys), formatted with the name the I/O
// manager supplies as %1 and the entry's sentence as %2.
#include "spine_support.h"

#include "corsim/messages.h"

#include <string>
#include <vector>

extern const unsigned char CorcardMessageTable[];
extern const size_t CorcardMessageTableSize;

using namespace spine;

namespace {

class EventLogMessage : public CorcardTest {};

TEST_F(EventLogMessage, EveryCodeReadsAsTheSentenceWithItsLineEnd)
{
    const struct {
        ULONG Code;
        const char* Sentence;
    } reports[] = {
        {CorMsgInformation, "Adapter started."},
        {CorMsgWarning, "Interrupt line is in latched mode, should be level-sensitive."},
        {CorMsgError, "BAR not configured."},
    };
    for (const auto& report : reports) {
        ReportEvent(Driver, report.Code, report.Sentence);
    }
    std::vector<HkErrorLogEntry> log = HkErrorLog();
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < log.size(); ++i) {
        std::u16string text;
        ASSERT_TRUE(
            FormatDriverMessage(log[i].ErrorCode, {u"\\Driver\\corcard", log[i].Text}, &text))
            << std::hex << log[i].ErrorCode;
        EXPECT_EQ(HmNarrow(text), std::string(reports[i].Sentence) + "\r\n");
    }
}

// No message for a code outside the table or without its insertion string; a cut or damaged
// table is never read past its end (the sanitizer trees check the reads).
TEST(MessageTable, GivesNoMessageItDoesNotHave)
{
    std::u16string text;
    EXPECT_FALSE(FormatDriverMessage(0xE0070004, {u"a", u"b"}, &text));
    EXPECT_FALSE(FormatDriverMessage(0x60070000, {u"a", u"b"}, &text));
    EXPECT_FALSE(FormatDriverMessage(CorMsgError, {u"a"}, &text));

    std::vector<unsigned char> table(CorcardMessageTable,
                                     CorcardMessageTable + CorcardMessageTableSize);
    for (size_t size = 0; size < table.size(); ++size) {
        std::vector<unsigned char> cut(table.begin(), table.begin() + size);
        text.clear();
        if (FormatTableMessage(cut.data(), cut.size(), CorMsgError, {u"a", u"b"}, &text)) {
            EXPECT_EQ(text, u"b\r\n") << "table cut to " << size << " bytes";
        }
    }
    ASSERT_GE(table.size(), 16u);
    table[12] = 0xF0; // the first block's entries said to lie far past the end
    EXPECT_FALSE(
        FormatTableMessage(table.data(), table.size(), CorMsgInformation, {u"a", u"b"}, &text));
}

} // namespace
