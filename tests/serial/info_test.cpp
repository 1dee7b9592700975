// What a handle is asked as a file: a character device (GetFileType) with no size and no position
// (GetFileSizeEx, the C runtime's calls), whose end of file and allocation may be "set"
// (SetEndOfFile) without changing anything; other information classes are refused.
#include "serial_rig.h"

#include <cstring>

class SerialInfo : public SerialTest {};

TEST_F(SerialInfo, APortIsACharacterDeviceWithNoSizeAndNoPosition)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    EXPECT_EQ(port.GetFileType(), 2u) << "FILE_TYPE_CHAR";
    LONGLONG size = -1;
    ASSERT_TRUE(port.GetFileSize(&size));
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(port.SetEndOfFile());

    struct Query {
        ULONG Class;
        ULONG Length;
        NTSTATUS Status;
        size_t Returned;
    };
    const Query queries[] = {
        {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION), STATUS_SUCCESS,
         sizeof(FILE_STANDARD_INFORMATION)},
        {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), STATUS_SUCCESS,
         sizeof(FILE_POSITION_INFORMATION)},
        {FilePositionInformation, 7, STATUS_BUFFER_TOO_SMALL, 0},
        {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), STATUS_INVALID_PARAMETER, 0},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE("class " + std::to_string(q.Class) + " length " + std::to_string(q.Length));
        HkRequestPtr request = HkQueryInformationFile(port.Handle(), q.Class, q.Length);
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), q.Status);
        EXPECT_EQ(request->Information(), q.Returned);
        if (q.Returned != 0) {
            EXPECT_EQ(request->Output(), std::vector<UCHAR>(q.Returned, 0)) << "zeros throughout";
        }
    }
    HkRequestPtr position =
        HkSetInformationFile(port.Handle(), FilePositionInformation, std::vector<UCHAR>(8, 0));
    ASSERT_TRUE(position->Wait());
    EXPECT_EQ(position->Status(), STATUS_INVALID_PARAMETER);
}
