// Reads a message table in the layout of the MESSAGETABLE resource and formats a message as
// FormatMessage does for the escapes a driver's messages use.
#include "messages.h"

#include <cstring>

extern const unsigned char CorcardMessageTable[];
extern const size_t CorcardMessageTableSize;

namespace {

uint32_t Read32(const unsigned char* p)
{
    uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

uint16_t Read16(const unsigned char* p)
{
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// MESSAGE_RESOURCE_DATA: a block count, then (LowId, HighId, OffsetToEntries) per block; the
// entries of a block follow one another, each (Length, Flags, text) with Length covering all
// three and Flags 1 for UTF-16 text. Every offset and length is checked against the table.
bool FindMessage(const unsigned char* table, size_t size, uint32_t code, std::u16string* text)
{
    if (size < 4) {
        return false;
    }
    uint32_t blocks = Read32(table);
    if (blocks > (size - 4) / 12) {
        return false;
    }
    for (uint32_t b = 0; b < blocks; ++b) {
        const unsigned char* block = table + 4 + 12 * b;
        uint32_t low = Read32(block);
        uint32_t high = Read32(block + 4);
        size_t offset = Read32(block + 8);
        if (code < low || code > high) {
            continue;
        }
        for (uint32_t id = low;; ++id) {
            if (offset + 4 > size) {
                return false;
            }
            uint16_t length = Read16(table + offset);
            uint16_t flags = Read16(table + offset + 2);
            if (length < 4 || offset + length > size) {
                return false;
            }
            if (id == code) {
                text->clear();
                if (flags & 1) {
                    for (size_t i = offset + 4; i + 1 < offset + length; i += 2) {
                        char16_t c = Read16(table + i);
                        if (c == 0) {
                            break;
                        }
                        text->push_back(c);
                    }
                } else {
                    for (size_t i = offset + 4; i < offset + length && table[i] != 0; ++i) {
                        text->push_back(table[i]);
                    }
                }
                return true;
            }
            offset += length;
        }
    }
    return false;
}

} // namespace

bool FormatTableMessage(const unsigned char* Table, size_t Size, uint32_t Code,
                        const std::vector<std::u16string>& Inserts, std::u16string* Text)
{
    std::u16string message;
    if (!FindMessage(Table, Size, Code, &message)) {
        return false;
    }
    // FormatMessage's escapes: %1 to %99 insert a string, %n is a line end, %r a bare carriage
    // return, %t a tab, %0 ends the message without a line end; any other character after % is
    // itself (%%, %., %!). Printf-style insert formats (%1!d!) are not used by the driver.
    std::u16string out;
    for (size_t i = 0; i < message.size(); ++i) {
        char16_t c = message[i];
        if (c != u'%') {
            out.push_back(c);
            continue;
        }
        if (++i == message.size()) {
            return false;
        }
        c = message[i];
        if (c >= u'1' && c <= u'9') {
            size_t number = c - u'0';
            if (i + 1 < message.size() && message[i + 1] >= u'0' && message[i + 1] <= u'9') {
                number = number * 10 + (message[++i] - u'0');
            }
            if (i + 1 < message.size() && message[i + 1] == u'!') {
                return false;
            }
            if (number > Inserts.size()) {
                return false; // FormatMessage fails on a missing insertion string
            }
            out += Inserts[number - 1];
        } else if (c == u'0') {
            break;
        } else if (c == u'n') {
            out += u"\r\n";
        } else if (c == u'r') {
            out.push_back(u'\r');
        } else if (c == u't') {
            out.push_back(u'\t');
        } else {
            out.push_back(c);
        }
    }
    *Text = out;
    return true;
}

bool FormatDriverMessage(uint32_t Code, const std::vector<std::u16string>& Inserts,
                         std::u16string* Text)
{
    return FormatTableMessage(CorcardMessageTable, CorcardMessageTableSize, Code, Inserts, Text);
}
