// The user side of the I/O manager in the kernel stand-in: opens through names, the IRPs a
// driver receives for a user-mode caller, buffered and neither I/O with the completion work's copy
// back, the order of cleanup and close, and the verifier's reports on requests and handles.
#include "kernel_rig.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// What a driver saw of one request.
struct Seen {
    UCHAR Major = 0;
    ULONG IrpFlags = 0;
    KPROCESSOR_MODE Mode = KernelMode;
    PFILE_OBJECT File = nullptr;     // the stack location's
    PFILE_OBJECT Original = nullptr; // Tail.Overlay.OriginalFileObject
    IO_STACK_LOCATION Location{};
    PVOID SystemBuffer = nullptr;
    PVOID UserBuffer = nullptr;
    std::vector<UCHAR> Buffer; // the system buffer as the driver found it
    std::u16string FileName;
    ULONG CreateOptions = 0; // from the security context
    KIRQL Irql = HIGH_LEVEL;
    PKTHREAD Thread = nullptr;
    size_t PoolBlocks = 0;
};

ULONG BufferLength(const IO_STACK_LOCATION* sp)
{
    switch (sp->MajorFunction) {
    case IRP_MJ_READ:
        return sp->Parameters.Read.Length;
    case IRP_MJ_WRITE:
        return sp->Parameters.Write.Length;
    case IRP_MJ_DEVICE_CONTROL:
        return std::max(sp->Parameters.DeviceIoControl.InputBufferLength,
                        sp->Parameters.DeviceIoControl.OutputBufferLength);
    default:
        return 0;
    }
}

void Record(std::vector<Seen>* seen, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Seen s;
    s.Major = sp->MajorFunction;
    s.IrpFlags = irp->Flags;
    s.Mode = irp->RequestorMode;
    s.File = sp->FileObject;
    s.Original = irp->Tail.Overlay.OriginalFileObject;
    s.Location = *sp;
    s.SystemBuffer = irp->AssociatedIrp.SystemBuffer;
    s.UserBuffer = irp->UserBuffer;
    if (s.SystemBuffer != nullptr) {
        const UCHAR* bytes = static_cast<const UCHAR*>(s.SystemBuffer);
        s.Buffer.assign(bytes, bytes + BufferLength(sp));
    }
    if (sp->MajorFunction == IRP_MJ_CREATE) {
        s.FileName = Text16(sp->FileObject->FileName);
        s.CreateOptions = sp->Parameters.Create.SecurityContext->FullCreateOptions;
    }
    s.Irql = KeGetCurrentIrql();
    s.Thread = KeGetCurrentThread();
    s.PoolBlocks = HkPoolOutstanding().Blocks;
    seen->push_back(s);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Records every request and completes it: reads and device control get `output` in the buffer
// the request carries (the system buffer, or the caller's for neither I/O) with Information set
// to its size, or to `information` when given.
DispatchBehaviour Answers(std::vector<Seen>* seen, NTSTATUS status, std::vector<UCHAR> output = {},
                          ULONG_PTR information = ~ULONG_PTR(0))
{
    return [=](PDEVICE_OBJECT, PIRP irp) {
        Record(seen, irp);
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        ULONG_PTR info = 0;
        if (major == IRP_MJ_READ || major == IRP_MJ_DEVICE_CONTROL) {
            PVOID buffer =
                irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
            if (!output.empty()) {
                memcpy(buffer, output.data(), output.size());
            }
            info = output.size();
        } else if (major == IRP_MJ_WRITE) {
            info = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        }
        bool ownRequest =
            major == IRP_MJ_CREATE || major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
        return Complete(irp, ownRequest ? STATUS_SUCCESS : status,
                        information != ~ULONG_PTR(0) ? information : info);
    };
}

const ULONG SomeControl =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

} // namespace

TEST_F(KernelTest, OpenSendsCreateAndCloseSendsCleanupThenClose)
{
    std::vector<Seen> seen;
    PDEVICE_OBJECT port = MakeNamedDevice(L"\\Device\\Port0", Answers(&seen, STATUS_SUCCESS));
    UNICODE_STRING link = Us(L"\\DosDevices\\COM7");
    UNICODE_STRING target = Us(L"\\Device\\Port0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\\\.\\com7\\tail", &handle, FILE_NON_DIRECTORY_FILE, FILE_SHARE_READ),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    const Seen create = seen[0];
    EXPECT_EQ(create.Major, IRP_MJ_CREATE);
    EXPECT_EQ(create.Mode, UserMode);
    EXPECT_EQ(create.Irql, PASSIVE_LEVEL);
    ASSERT_NE(create.File, nullptr);
    EXPECT_EQ(create.File, create.Original);
    EXPECT_EQ(create.File->DeviceObject, port);
    EXPECT_EQ(create.FileName, u"\\tail");
    EXPECT_EQ(create.Location.Parameters.Create.Options,
              (ULONG(FILE_OPEN) << 24) | FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(create.Location.Parameters.Create.ShareAccess, FILE_SHARE_READ);
    EXPECT_EQ(create.CreateOptions, ULONG(FILE_NON_DIRECTORY_FILE));
    EXPECT_EQ(port->ReferenceCount, 1) << "ReferenceCount counts opens";
    EXPECT_EQ(HkObjectReferences(port), 2) << "the file object references the device";
    EXPECT_EQ(HkOpenHandles(), 1u);

    HkClose(handle);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].Major, IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[2].Major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[1].File, create.File);
    EXPECT_EQ(seen[2].File, create.File);
    EXPECT_EQ(seen[2].Irql, PASSIVE_LEVEL);
    EXPECT_EQ(port->ReferenceCount, 0);
    EXPECT_EQ(HkObjectReferences(port), 1);
    EXPECT_EQ(HkOpenHandles(), 0u);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

TEST_F(KernelTest, OpensTheIoManagerRefusesAndCreatesTheDriverFails)
{
    std::vector<Seen> seen;
    PDEVICE_OBJECT exclusive =
        MakeNamedDevice(L"\\Device\\Excl", Answers(&seen, STATUS_SUCCESS), 0, TRUE);
    HkHandle first = nullptr;
    HkHandle second = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Excl", &first), STATUS_SUCCESS);
    EXPECT_EQ(HkOpen(u"\\Device\\EXCL", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(seen.size(), 1u) << "the second open never reached the driver";
    HkClose(first);
    ASSERT_EQ(HkOpen(u"\\Device\\Excl", &second), STATUS_SUCCESS) << "closed, it opens again";
    HkClose(second);

    EXPECT_EQ(HkOpen(u"\\Device\\Nothing", &first), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(HkOpen(u"\\\\.\\COM99", &first), STATUS_OBJECT_NAME_NOT_FOUND);
    exclusive->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(HkOpen(u"\\Device\\Excl", &first), STATUS_NO_SUCH_DEVICE);
    exclusive->Flags &= ~DO_DEVICE_INITIALIZING;

    // A create the driver fails leaves nothing open and is followed by no cleanup or close.
    std::vector<Seen> refused;
    PDEVICE_OBJECT refusing =
        MakeNamedDevice(L"\\Device\\Refusing", [&refused](PDEVICE_OBJECT, PIRP irp) {
            Record(&refused, irp);
            return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
        });
    EXPECT_EQ(HkOpen(u"\\Device\\Refusing", &first), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(refused.size(), 1u);
    EXPECT_EQ(refusing->ReferenceCount, 0);
    EXPECT_EQ(HkObjectReferences(refusing), 1);
    EXPECT_EQ(HkOpenHandles(), 0u);
}

TEST_F(KernelTest, BufferedRequestsGoThroughTheIoManagersSystemBuffer)
{
    std::vector<Seen> seen;
    MakeNamedDevice(L"\\Device\\Buffered", Answers(&seen, STATUS_SUCCESS, {'a', 'b', 'c'}),
                    DO_BUFFERED_IO);
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Buffered", &handle), STATUS_SUCCESS);

    HkRequestPtr write = HkWrite(handle, {9, 8, 7});
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Information(), 3u);
    const Seen& w = seen.back();
    EXPECT_EQ(w.Location.Parameters.Write.Length, 3u);
    EXPECT_NE(w.SystemBuffer, w.UserBuffer);
    EXPECT_EQ(w.Buffer, (std::vector<UCHAR>{9, 8, 7}));
    EXPECT_EQ(w.IrpFlags & (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION),
              ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER));

    HkRequestPtr read = HkRead(handle, 8);
    ASSERT_TRUE(read->Done());
    const Seen& r = seen.back();
    EXPECT_EQ(r.Buffer, std::vector<UCHAR>(8, HkSystemBufferFill)) << "fresh, as pool would be";
    EXPECT_TRUE(r.IrpFlags & IRP_INPUT_OPERATION);
    EXPECT_EQ(r.PoolBlocks, 0u) << "the system buffer is not the driver's pool";
    EXPECT_EQ(read->Output(), (std::vector<UCHAR>{'a', 'b', 'c'})) << "Information bytes come back";

    HkRequestPtr control = HkIoControl(handle, SomeControl, {1, 2}, 6);
    ASSERT_TRUE(control->Done());
    const Seen& c = seen.back();
    EXPECT_EQ(c.Location.Parameters.DeviceIoControl.IoControlCode, SomeControl);
    EXPECT_EQ(c.Location.Parameters.DeviceIoControl.InputBufferLength, 2u);
    EXPECT_EQ(c.Location.Parameters.DeviceIoControl.OutputBufferLength, 6u);
    EXPECT_EQ(c.Buffer, (std::vector<UCHAR>{1, 2, HkSystemBufferFill, HkSystemBufferFill,
                                            HkSystemBufferFill, HkSystemBufferFill}));
    EXPECT_EQ(control->Output(), (std::vector<UCHAR>{'a', 'b', 'c'}));
    HkClose(handle);
}

// A driver that reports more than it wrote hands back the fill, whichever fill was chosen.
TEST_F(KernelTest, BytesTheDriverDidNotWriteFollowTheFill)
{
    std::vector<Seen> seen;
    MakeNamedDevice(L"\\Device\\Short", Answers(&seen, STATUS_SUCCESS, {'a', 'b'}, 4),
                    DO_BUFFERED_IO);
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Short", &handle), STATUS_SUCCESS);
    const UCHAR f = HkSystemBufferFill;
    EXPECT_EQ(HkIoControl(handle, SomeControl, {1}, 4)->Output(),
              (std::vector<UCHAR>{'a', 'b', f, f}));
    EXPECT_EQ(HkRead(handle, 4)->Output(), (std::vector<UCHAR>{'a', 'b', f, f}));
    HkSetSystemBufferFill(0x5A);
    EXPECT_EQ(HkIoControl(handle, SomeControl, {1, 2, 3}, 4)->Output(),
              (std::vector<UCHAR>{'a', 'b', 3, 0x5A}))
        << "the input stays where it was copied";
    EXPECT_EQ(HkRead(handle, 4)->Output(), (std::vector<UCHAR>{'a', 'b', 0x5A, 0x5A}));
    HkClose(handle);
}

TEST_F(KernelTest, TheStatusDecidesWhatComesBackAndOtherMethodsAreRefused)
{
    NTSTATUS answer = STATUS_SUCCESS;
    std::vector<Seen> seen;
    MakeNamedDevice(L"\\Device\\Status", [&](PDEVICE_OBJECT device, PIRP irp) {
        return Answers(&seen, answer, {1, 2, 3, 4}, 2)(device, irp);
    });
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Status", &handle), STATUS_SUCCESS);

    answer = STATUS_BUFFER_OVERFLOW; // a warning: the data that fits comes back
    HkRequestPtr warning = HkIoControl(handle, SomeControl, {}, 4);
    EXPECT_EQ(warning->Status(), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(warning->Output(), (std::vector<UCHAR>{1, 2}));
    answer = STATUS_INVALID_PARAMETER; // an error: nothing comes back
    HkRequestPtr error = HkIoControl(handle, SomeControl, {}, 4);
    EXPECT_EQ(error->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(error->Output().empty());

    size_t before = seen.size();
    HkRequestPtr neither = HkIoControl(
        handle, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS), {}, 4);
    EXPECT_EQ(neither->Status(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(seen.size(), before) << "refused before the driver";

    // Without DO_BUFFERED_IO a read hands the driver the caller's buffer itself.
    answer = STATUS_SUCCESS;
    HkRequestPtr read = HkRead(handle, 4);
    EXPECT_EQ(seen.back().SystemBuffer, nullptr);
    EXPECT_NE(seen.back().UserBuffer, nullptr);
    EXPECT_EQ(read->Output(), (std::vector<UCHAR>{1, 2}));

    HkRequestPtr volume = HkQueryVolumeInformation(handle, FileFsDeviceInformation, 4);
    EXPECT_EQ(volume->Status(), STATUS_INFO_LENGTH_MISMATCH) << "shorter than the record";
    volume = HkQueryVolumeInformation(handle, FileFsDeviceInformation,
                                      sizeof(FILE_FS_DEVICE_INFORMATION));
    EXPECT_EQ(seen.back().Location.Parameters.QueryVolume.FsInformationClass,
              FileFsDeviceInformation);
    EXPECT_EQ(HkFlush(handle)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(seen.back().Major, IRP_MJ_FLUSH_BUFFERS);
    HkClose(handle);
}

TEST_F(KernelTest, VerifierCatchesOverlongAnswersUncompletedRequestsAndOpenHandles)
{
    PIRP held = nullptr;
    std::vector<Seen> seen;
    MakeNamedDevice(
        L"\\Device\\Sloppy",
        [&](PDEVICE_OBJECT device, PIRP irp) {
            switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
            case IRP_MJ_FLUSH_BUFFERS:
                held = irp; // returns success but keeps the IRP
                return STATUS_SUCCESS;
            case IRP_MJ_WRITE: { // completes from above DISPATCH_LEVEL
                KIRQL old;
                KeRaiseIrql(5, &old);
                Complete(irp, STATUS_SUCCESS, 1);
                KeLowerIrql(old);
                return STATUS_SUCCESS;
            }
            default:
                break;
            }
            return Answers(&seen, STATUS_SUCCESS, {}, 5)(device, irp);
        },
        DO_BUFFERED_IO);
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Sloppy", &handle), STATUS_SUCCESS);

    auto found = Violations([&] { HkRead(handle, 4); });
    EXPECT_TRUE(Mentions(found, "Information 5, larger than the caller's 4-byte buffer"))
        << ::testing::PrintToString(found);
    found = Violations([&] { HkIoControl(handle, SomeControl, {0, 0, 0, 0, 0, 0}, 0); });
    EXPECT_TRUE(Mentions(found, "larger than the caller's 0-byte buffer"))
        << ::testing::PrintToString(found);
    found = Violations([&] { HkFlush(handle); });
    EXPECT_TRUE(Mentions(found, "without completing the IRP")) << ::testing::PrintToString(found);
    Complete(held, STATUS_SUCCESS);
    found = Violations([&] { HkWrite(handle, {1}); });
    EXPECT_TRUE(Mentions(found, "IofCompleteRequest at IRQL 5")) << ::testing::PrintToString(found);

    found = Violations([] { HkCheckClean(); });
    EXPECT_TRUE(Mentions(found, "is still open at the end of the test"))
        << ::testing::PrintToString(found);
    HkClose(handle);
    found = Violations([&] { EXPECT_EQ(HkRead(handle, 1)->Status(), STATUS_INVALID_HANDLE); });
    EXPECT_TRUE(Mentions(found, "closed")) << ::testing::PrintToString(found);
}

namespace {

VOID CompleteHeld(PKDPC, PVOID context, PVOID, PVOID)
{
    PIRP irp = *static_cast<PIRP*>(context);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace

// The last reference on a file object can go in a completion on the DPC thread; the close still
// reaches the driver at PASSIVE_LEVEL, from a thread of the I/O manager.
TEST_F(KernelConcurrencyTest, CloseWaitsForTheLastRequestAndArrivesAtPassiveLevel)
{
    PIRP held = nullptr;
    KEVENT closed;
    KeInitializeEvent(&closed, NotificationEvent, FALSE);
    std::vector<Seen> seen;
    PDEVICE_OBJECT port = MakeNamedDevice(L"\\Device\\Late", [&](PDEVICE_OBJECT, PIRP irp) {
        Record(&seen, irp);
        switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_READ:
            IoMarkIrpPending(irp);
            held = irp;
            return STATUS_PENDING;
        case IRP_MJ_CLOSE:
            Complete(irp, STATUS_SUCCESS);
            KeSetEvent(&closed, IO_NO_INCREMENT, FALSE);
            return STATUS_SUCCESS;
        default:
            return Complete(irp, STATUS_SUCCESS);
        }
    });
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Late", &handle), STATUS_SUCCESS);
    HkRequestPtr read = HkRead(handle, 4);
    EXPECT_EQ(read->DispatchStatus(), STATUS_PENDING);
    HkClose(handle, false);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].Major, IRP_MJ_CLEANUP) << "cleanup at once, close not yet";
    EXPECT_EQ(port->ReferenceCount, 1);

    KDPC dpc;
    KeInitializeDpc(&dpc, CompleteHeld, &held);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    ASSERT_EQ(KeWaitForSingleObject(&closed, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    ASSERT_TRUE(read->Wait());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3].Major, IRP_MJ_CLOSE);
    EXPECT_EQ(seen[3].Irql, PASSIVE_LEVEL);
    EXPECT_NE(seen[3].Thread, KeGetCurrentThread());
    // The open is counted off once the close has returned.
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(HkWaitLimitMs());
    while (InterlockedCompareExchange(&port->ReferenceCount, 0, 0) != 0 &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    EXPECT_EQ(port->ReferenceCount, 0);
}
