// Handles: one at a time, by the names programs use; closing or cancelling ends what is pending.
#include "serial_rig.h"

class SerialOpen : public SerialTest {};

TEST_F(SerialOpen, OneHandleAtATimeByEveryNameThePortHas)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    const std::u16string name = NameOf(board, 0);
    ComPort first, second;
    ASSERT_EQ(first.Open(name), STATUS_SUCCESS);
    EXPECT_EQ(second.Open(name), STATUS_ACCESS_DENIED);
    first.Close();
    EXPECT_EQ(second.Open(u"\\\\.\\" + name + u"\\x"), STATUS_OBJECT_NAME_NOT_FOUND)
        << "nothing lies below a port";
    const std::u16string device = HkSymbolicLinkTarget(u"\\??\\" + name);
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(device, &handle), STATUS_SUCCESS);
    // GetFileType asks the device what it is: a character device, FILE_TYPE_CHAR.
    HkRequestPtr kind = HkQueryVolumeInformation(handle, FileFsDeviceInformation,
                                                 sizeof(FILE_FS_DEVICE_INFORMATION));
    ASSERT_EQ(kind->Status(), STATUS_SUCCESS);
    FILE_FS_DEVICE_INFORMATION information{};
    ASSERT_EQ(kind->Output().size(), sizeof(information));
    memcpy(&information, kind->Output().data(), sizeof(information));
    EXPECT_EQ(information.DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    HkClose(handle);
    for (const HkDeviceInterface& entry : HkDeviceInterfaces()) {
        if (entry.Pdo == HmPortDevices(board)[0]) {
            ASSERT_EQ(HkOpen(entry.Name, &handle), STATUS_SUCCESS) << HmNarrow(entry.Name);
            HkClose(handle);
        }
    }
    EXPECT_EQ(HkOpen(u"\\??\\" + name, &handle, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
}

// Closing a handle ends its pending requests (cleanup), and the next open finds an empty queue
// and no events left over.
TEST_F(SerialOpen, ClosingEndsPendingRequestsAndTheNextOpenStartsAfresh)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, false, false, false, false);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_RING));
    HkRequestPtr read = port.ReadOverlapped(10);
    HkRequestPtr write = port.WriteOverlapped(Bytes("held"));
    HkRequestPtr wait = port.WaitCommEventOverlapped();
    HkRequestPtr flush = HkFlush(port.Handle());
    HmRemoteSend(board, 0, Bytes("left over"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
    port.Close();
    for (const HkRequestPtr& request : {read, write, wait, flush}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
    OpenAt(port, NameOf(board, 0));
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(MAXULONG, 0, 0)));
    std::vector<UCHAR> data;
    ASSERT_TRUE(port.ReadFile(100, &data));
    EXPECT_TRUE(data.empty()) << "the last handle's bytes are not the new one's";
    ULONG mask = 1;
    ASSERT_TRUE(port.GetCommMask(&mask));
    EXPECT_EQ(mask, 0u);
    ASSERT_TRUE(port.GetCommState(&dcb));
    EXPECT_TRUE(dcb.OutxCtsFlow) << "line settings stay with the port";
}

// CancelIoEx on a request of each kind, at any moment: it ends with STATUS_CANCELLED and the
// port goes on with the next request.
TEST_F(SerialOpen, EveryPendingRequestCanBeCancelled)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    HmSetModemInputs(board, 0, false, false, false, false);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.OutxCtsFlow = true;
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_RXCHAR));
    HkRequestPtr reads[] = {port.ReadOverlapped(5), port.ReadOverlapped(5)};
    HkRequestPtr writes[] = {port.WriteOverlapped(Bytes("one")),
                             port.WriteOverlapped(Bytes("two"))};
    HkRequestPtr wait = port.WaitCommEventOverlapped();
    HkRequestPtr immediate = port.DeviceIoControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);
    for (const HkRequestPtr& request : {reads[0], writes[0], wait, immediate}) {
        EXPECT_TRUE(request->Cancel());
        ASSERT_TRUE(request->Wait());
        EXPECT_EQ(request->Status(), STATUS_CANCELLED);
    }
    EXPECT_FALSE(reads[1]->Done());
    HmRemoteSend(board, 0, Bytes("12345"));
    ASSERT_TRUE(reads[1]->Wait());
    EXPECT_EQ(reads[1]->Output(), Bytes("12345"));
    HmSetModemInputs(board, 0, true, false, false, false);
    ASSERT_TRUE(writes[1]->Wait());
    EXPECT_EQ(writes[1]->Status(), STATUS_SUCCESS);
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms));
    EXPECT_EQ(HmRemoteTake(board, 0), Bytes("two"));
}

// A cancelled read hands its caller nothing (the I/O manager copies back only on success), so
// the bytes it had taken are the next read's, in order.
TEST_F(SerialOpen, TheBytesOfACancelledReadGoToTheNextRead)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    OpenAt(port, NameOf(board, 0));
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 500)));
    HkRequestPtr read = port.ReadOverlapped(10);
    HmRemoteSend(board, 0, Bytes("abc"));
    ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 0) == 0; }));
    ASSERT_TRUE(HkWaitClock(HkNow() + 2 * Ms)); // past the character time-out: the read has them
    EXPECT_TRUE(read->Cancel());
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Information(), 0u);
    HmRemoteSend(board, 0, Bytes("de"));
    std::vector<UCHAR> data;
    ASSERT_TRUE(port.ReadFile(5, &data));
    EXPECT_EQ(data, Bytes("abcde"));
}
