// The event viewer's reading of an event-log entry: the message of the entry's code, looked up in
// the driver's message table, with the entry's insertion strings put in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The text of the driver's message table for Code, as FormatMessage reads it with the given
// insertion strings (%1 is the first). Returns false, with Text untouched, when the table has no
// message for the code or the message cannot be formatted.
bool FormatDriverMessage(uint32_t Code, const std::vector<std::u16string>& Inserts,
                         std::u16string* Text);

// The same for any table in the MESSAGETABLE resource layout.
bool FormatTableMessage(const unsigned char* Table, size_t Size, uint32_t Code,
                        const std::vector<std::u16string>& Inserts, std::u16string* Text);
