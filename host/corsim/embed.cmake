# Writes the bytes of the message table (TABLE) as a C++ array (SOURCE) for messages.cpp.
file(READ ${TABLE} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${SOURCE} "// Generated from driver/eventlog/corcard.mc by the message compiler: do not edit.
#include <cstddef>
extern const unsigned char CorcardMessageTable[] = {
    ${bytes}
};
extern const size_t CorcardMessageTableSize = sizeof(CorcardMessageTable);
")
