// The user side of the I/O manager: what a Win32 program's CreateFile, ReadFile, WriteFile,
// DeviceIoControl, FlushFileBuffers, CancelIoEx and CloseHandle become for a device.
//
// An open resolves the path through the symbolic links to a named device object, counts the open
// in the device's ReferenceCount (a DO_EXCLUSIVE device takes one), makes a file object that holds
// an object reference on the device, and sends IRP_MJ_CREATE to the top of the device's stack.
// Each request is an IRP built as for a user-mode caller: the file object in the stack location
// and in Tail.Overlay.OriginalFileObject, buffered I/O through a system buffer of the I/O
// manager's own memory (not the driver's pool) where the device or the control code asks for it.
// When the IRP is completed to the top of its stack the I/O manager's completion work runs: the
// system buffer's output goes back to the caller's buffer on success or warning, the status
// block is filled, the buffer and the IRP are freed, the request's reference on the file object
// is dropped and the caller is woken.
//
// Closing the handle sends IRP_MJ_CLEANUP at once; IRP_MJ_CLOSE follows when the last reference
// on the file object goes, the handle's or a request's. The close is always sent at PASSIVE_LEVEL:
// when the last reference goes in a completion (which may run on the DPC thread), a thread of the
// I/O manager sends it, as the object manager defers the deletion to a worker.
#include "internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace hk {
class FileRequest;
}

struct HkFile {
    PFILE_OBJECT Object = nullptr;
    PDEVICE_OBJECT Device = nullptr; // the device the path named, referenced by the file object
    std::u16string Path;
    std::u16string FileName; // the file object's FileName points here
    IO_SECURITY_CONTEXT Security{};
    int References = 0; // the handle's and one per request still with the drivers
    bool HandleOpen = false;
    bool CloseStarted = false;
    bool Closed = false;
    std::vector<std::shared_ptr<hk::FileRequest>> Outstanding;
};

namespace hk {
namespace {

constexpr unsigned char FreedFill = 0xDD;

std::atomic<UCHAR> BufferFill{HkSystemBufferFill};

std::mutex FileLock;
std::condition_variable FileChanged;
std::vector<std::unique_ptr<HkFile>> Files;
std::vector<std::thread> Closers;
std::vector<std::shared_ptr<FileRequest>>
    Abandoned; // the I/O manager's requests that never finished
std::function<void()> ClosedHook;

void FinishRequest(PIRP irp, void* context);
void DropReference(HkFile* file, const FileRequest* request);

} // namespace

// One request of a handle, as the I/O manager and the caller's OVERLAPPED see it.
class FileRequest : public HkRequest {
public:
    FileRequest(HkFile* file, UCHAR major) : File(file), Major(major) {}

    // Set up before the IRP is sent, read by the completion work.
    HkFile* File;
    UCHAR Major;
    bool CountsReference = false; // holds a reference on the file object while with the driver
    bool Buffered = false;        // through a system buffer
    bool CopiesBack = false;      // the caller's buffer receives output
    bool ChecksInformation = false;
    ULONG CallerLength = 0;        // the caller's buffer, which Information may not exceed
    std::vector<UCHAR> UserBuffer; // the caller's buffer
    unsigned char* SystemBuffer = nullptr;
    IO_STATUS_BLOCK Iosb{};

    mutable std::mutex Lock;
    std::condition_variable Signal;
    PIRP Irp = nullptr; // until completion (or until a pending cancel lets go of it)
    bool IsDone = false;
    NTSTATUS FinalStatus = STATUS_PENDING;
    ULONG_PTR FinalInformation = 0;
    std::vector<UCHAR> Out;
    NTSTATUS Dispatched = STATUS_PENDING;
    LONGLONG Issued = 0;
    LONGLONG Completed = -1;
    int Pins = 0; // cancels in progress, during which the IRP is not freed
    bool FreeWhenUnpinned = false;

    bool Done() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return IsDone;
    }
    NTSTATUS Status() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return FinalStatus;
    }
    ULONG_PTR Information() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return FinalInformation;
    }
    std::vector<UCHAR> Output() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Out;
    }
    NTSTATUS DispatchStatus() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Dispatched;
    }
    LONGLONG IssuedAt() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Issued;
    }
    LONGLONG CompletedAt() const override
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Completed;
    }
    bool Wait() override
    {
        std::unique_lock<std::mutex> guard(Lock);
        return Signal.wait_for(guard, std::chrono::milliseconds(WaitLimitMilliseconds()),
                               [this] { return IsDone; });
    }
    bool Cancel() override
    {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(Lock);
            if (IsDone || Irp == nullptr) {
                return false;
            }
            ++Pins;
            irp = Irp;
        }
        BOOLEAN cancelled = IoCancelIrp(irp);
        bool freeNow;
        {
            std::lock_guard<std::mutex> guard(Lock);
            freeNow = --Pins == 0 && FreeWhenUnpinned;
            if (freeNow) {
                FreeWhenUnpinned = false;
                Irp = nullptr;
            }
        }
        if (freeNow) {
            FreeIrpInternal(irp);
        }
        return cancelled != FALSE;
    }

    // Done without reaching a driver.
    void Refuse(NTSTATUS status)
    {
        std::lock_guard<std::mutex> guard(Lock);
        IsDone = true;
        FinalStatus = status;
        Dispatched = status;
        Issued = Completed = ClockNow();
    }
};

namespace {

void FinishRequest(PIRP irp, void* context)
{
    FileRequest* request = static_cast<FileRequest*>(context);
    HkFile* file = request->File;
    bool countsReference = request->CountsReference;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    std::vector<UCHAR> out;
    if (!NT_ERROR(status)) {
        if (request->ChecksInformation && information > request->CallerLength) {
            Report("%s completed with Information %zu, larger than the caller's %u-byte buffer",
                   MajorName(request->Major), static_cast<size_t>(information),
                   request->CallerLength);
        }
        if (request->CopiesBack) {
            size_t n = std::min<size_t>(information, request->CallerLength);
            if (request->Buffered && request->SystemBuffer != nullptr && n != 0) {
                memcpy(request->UserBuffer.data(), request->SystemBuffer, n);
            }
            out.assign(request->UserBuffer.begin(), request->UserBuffer.begin() + n);
        }
    }
    free(request->SystemBuffer);
    request->SystemBuffer = nullptr;
    *irp->UserIosb = irp->IoStatus;
    bool freeNow;
    {
        // Once done, a request of the I/O manager's own (on its sender's stack) may be gone.
        std::lock_guard<std::mutex> guard(request->Lock);
        request->IsDone = true;
        request->FinalStatus = status;
        request->FinalInformation = information;
        request->Out = std::move(out);
        request->Completed = ClockNow();
        freeNow = request->Pins == 0;
        request->FreeWhenUnpinned = !freeNow;
        if (freeNow) {
            request->Irp = nullptr;
        }
        request->Signal.notify_all();
    }
    if (freeNow) {
        FreeIrpInternal(irp);
    }
    if (countsReference) {
        DropReference(file, request); // held by the file's list until then
    }
}

// An IRP of the I/O manager for the top of the file's stack, with the request's buffers.
PIRP BuildIrp(FileRequest* request, PDEVICE_OBJECT top)
{
    PIRP irp = AllocateUserIrp(top->StackSize, FinishRequest, request);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    irp->Tail.Overlay.OriginalFileObject = request->File->Object;
    irp->UserIosb = &request->Iosb;
    irp->UserBuffer = request->UserBuffer.empty() ? nullptr : request->UserBuffer.data();
    irp->AssociatedIrp.SystemBuffer = request->SystemBuffer;
    if (request->SystemBuffer != nullptr) {
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (request->CopiesBack) {
            irp->Flags |= IRP_INPUT_OPERATION;
        }
    }
    if (request->Major == IRP_MJ_READ) {
        irp->Flags |= IRP_READ_OPERATION;
    } else if (request->Major == IRP_MJ_WRITE) {
        irp->Flags |= IRP_WRITE_OPERATION;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request->Major;
    next->FileObject = request->File->Object;
    std::lock_guard<std::mutex> guard(request->Lock);
    request->Irp = irp;
    return irp;
}

void Dispatch(FileRequest* request, PDEVICE_OBJECT top, PIRP irp)
{
    {
        std::lock_guard<std::mutex> guard(request->Lock);
        request->Issued = ClockNow();
    }
    NTSTATUS status = IofCallDriver(top, irp);
    bool done;
    {
        std::lock_guard<std::mutex> guard(request->Lock);
        request->Dispatched = status;
        done = request->IsDone;
    }
    if (status != STATUS_PENDING && !done) {
        Report("the %s dispatch routine of device %p returned 0x%08X without completing the IRP "
               "(only STATUS_PENDING leaves it with the driver)",
               MajorName(request->Major), static_cast<void*>(top), static_cast<unsigned>(status));
    }
}

// A system buffer: the input the caller gave, then the fill that fresh pool holds.
unsigned char* SystemBufferOf(size_t length, const std::vector<UCHAR>& input)
{
    if (length == 0) {
        return nullptr;
    }
    unsigned char* buffer = static_cast<unsigned char*>(malloc(length));
    memset(buffer, BufferFill.load(), length);
    if (!input.empty()) {
        memcpy(buffer, input.data(), std::min(length, input.size()));
    }
    return buffer;
}

// Sends an I/O manager request of its own (create, cleanup, close) and waits for it.
NTSTATUS SendAndWait(HkFile* file, UCHAR major, ULONG flags,
                     const std::function<void(PIO_STACK_LOCATION)>& parameters)
{
    auto request = std::make_shared<FileRequest>(file, major);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->Device);
    PIRP irp = BuildIrp(request.get(), top);
    irp->Flags |= flags;
    if (parameters) {
        parameters(IoGetNextIrpStackLocation(irp));
    }
    Dispatch(request.get(), top, irp);
    ObfDereferenceObject(top);
    if (!request->Wait()) {
        Report("%s for %s has not completed after %u ms", MajorName(major),
               Narrow(file->Path).c_str(), WaitLimitMilliseconds());
        std::lock_guard<std::mutex> guard(FileLock);
        Abandoned.push_back(request); // its IRP is still with the driver
        return STATUS_PENDING;
    }
    return request->Status();
}

// The file object goes: IRP_MJ_CLOSE, then the open and the reference on the device are dropped.
void SendClose(HkFile* file)
{
    SendAndWait(file, IRP_MJ_CLOSE, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, nullptr);
    PDEVICE_OBJECT device = file->Device;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        InterlockedDecrement(&device->ReferenceCount);
        file->Closed = true;
        memset(file->Object, FreedFill, sizeof(FILE_OBJECT));
        HK_POISON(file->Object, sizeof(FILE_OBJECT));
        FileChanged.notify_all();
    }
    ObfDereferenceObject(device);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        hook = ClosedHook;
    }
    if (hook) {
        hook();
    }
}

// A reference on the file object goes; the last one closes it. A request's goes from its
// completion, which may run at DISPATCH_LEVEL or inside a driver: a thread of the I/O manager
// sends the close then.
void DropReference(HkFile* file, const FileRequest* request)
{
    std::shared_ptr<FileRequest> keep; // released after the lock
    std::lock_guard<std::mutex> guard(FileLock);
    auto it = std::find_if(
        file->Outstanding.begin(), file->Outstanding.end(),
        [request](const std::shared_ptr<FileRequest>& r) { return r.get() == request; });
    if (it != file->Outstanding.end()) {
        keep = std::move(*it);
        file->Outstanding.erase(it);
    }
    if (--file->References == 0 && !file->HandleOpen && !file->CloseStarted) {
        file->CloseStarted = true;
        Closers.emplace_back([file] { SendClose(file); });
    }
}

void JoinClosers()
{
    for (;;) {
        std::vector<std::thread> closers;
        {
            std::lock_guard<std::mutex> guard(FileLock);
            if (Closers.empty()) {
                return;
            }
            closers.swap(Closers);
        }
        for (std::thread& closer : closers) {
            closer.join();
        }
    }
}

// Under FileLock: the file of an open handle, or nullptr with the reason.
HkFile* OpenFileLocked(HkHandle handle, const char** problem)
{
    for (const auto& file : Files) {
        if (file.get() == handle) {
            *problem = file->HandleOpen ? nullptr : "on a handle that was closed";
            return file->HandleOpen ? file.get() : nullptr;
        }
    }
    *problem = "on something that is not a handle of HkOpen";
    return nullptr;
}

// A request of a handle: refused at once when the handle is not open; otherwise it joins the
// handle's outstanding requests with a reference on the file object.
std::shared_ptr<FileRequest> NewRequest(HkHandle handle, UCHAR major, const char* routine)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, routine);
    const char* problem = nullptr;
    std::shared_ptr<FileRequest> request;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        HkFile* file = OpenFileLocked(handle, &problem);
        request = std::make_shared<FileRequest>(file, major);
        if (file != nullptr) {
            request->CountsReference = true;
            ++file->References;
            file->Outstanding.push_back(request);
        }
    }
    if (problem != nullptr) {
        Report("%s(%p) %s", routine, static_cast<void*>(handle), problem);
        request->Refuse(STATUS_INVALID_HANDLE);
    }
    return request;
}

// Sends a request made by NewRequest, with its stack location filled by parameters.
HkRequestPtr Send(const std::shared_ptr<FileRequest>& request, PDEVICE_OBJECT top,
                  const std::function<void(PIO_STACK_LOCATION)>& parameters)
{
    PIRP irp = BuildIrp(request.get(), top);
    if (parameters) {
        parameters(IoGetNextIrpStackLocation(irp));
    }
    Dispatch(request.get(), top, irp);
    ObfDereferenceObject(top);
    return request;
}

// A request refused before any driver sees it drops its reference at once.
HkRequestPtr Refused(const std::shared_ptr<FileRequest>& request, PDEVICE_OBJECT top,
                     NTSTATUS status)
{
    ObfDereferenceObject(top);
    request->Refuse(status);
    DropReference(request->File, request.get());
    return request;
}

} // namespace

void ResetFiles()
{
    JoinClosers();
    BufferFill = HkSystemBufferFill;
    std::lock_guard<std::mutex> guard(FileLock);
    ClosedHook = nullptr;
    auto abandon = [](const std::shared_ptr<FileRequest>& request) {
        std::lock_guard<std::mutex> requestGuard(request->Lock);
        request->Irp = nullptr; // the I/O manager's IRPs go with the reset
        if (!request->IsDone) {
            request->IsDone = true;
            request->FinalStatus = STATUS_CANCELLED;
        }
    };
    std::for_each(Abandoned.begin(), Abandoned.end(), abandon);
    for (const auto& file : Files) {
        std::for_each(file->Outstanding.begin(), file->Outstanding.end(), abandon);
        if (file->Object != nullptr) {
            HK_UNPOISON(file->Object, sizeof(FILE_OBJECT));
            free(file->Object);
        }
    }
    Files.clear();
    Abandoned.clear();
}

void CheckCleanFiles(bool& clean)
{
    JoinClosers();
    std::vector<std::string> open;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        for (const auto& file : Files) {
            if (file->HandleOpen) {
                open.push_back(Format("handle %p to %s (device %p) is still open at the end of the "
                                      "test",
                                      static_cast<void*>(file.get()), Narrow(file->Path).c_str(),
                                      static_cast<void*>(file->Device)));
            }
        }
    }
    for (const std::string& finding : open) {
        Report("%s", finding.c_str());
        clean = false;
    }
}

} // namespace hk

using namespace hk;

NTSTATUS HkOpen(const std::u16string& path, HkHandle* handle, ULONG createOptions,
                USHORT shareAccess)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "HkOpen");
    *handle = nullptr;
    std::u16string resolved;
    NTSTATUS status = ResolveSymbolicLinks(path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string remainder;
    PDEVICE_OBJECT device = ReferenceDeviceByName(resolved, &remainder);
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (HkDeviceDeleted(device) || (device->Flags & DO_DEVICE_INITIALIZING) ||
        DriverUnloaded(device)) {
        ObfDereferenceObject(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    auto owned = std::make_unique<HkFile>();
    HkFile* file = owned.get();
    bool refused = false;
    {
        // The I/O manager counts the open before it sends the create: an exclusive device that
        // is open, or being opened, refuses.
        std::lock_guard<std::mutex> guard(FileLock);
        refused = (device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0;
        if (!refused) {
            InterlockedIncrement(&device->ReferenceCount);
            Files.push_back(std::move(owned));
        }
    }
    if (refused) {
        ObfDereferenceObject(device);
        return STATUS_ACCESS_DENIED;
    }
    file->Device = device;
    file->Path = path;
    file->FileName = remainder;
    file->Object = static_cast<PFILE_OBJECT>(calloc(1, sizeof(FILE_OBJECT)));
    PFILE_OBJECT object = file->Object;
    object->Type = IO_TYPE_FILE;
    object->Size = static_cast<CSHORT>(sizeof(FILE_OBJECT));
    object->DeviceObject = device;
    object->ReadAccess = TRUE;
    object->WriteAccess = TRUE;
    object->SharedRead = (shareAccess & FILE_SHARE_READ) ? TRUE : FALSE;
    object->SharedWrite = (shareAccess & FILE_SHARE_WRITE) ? TRUE : FALSE;
    object->SharedDelete = (shareAccess & FILE_SHARE_DELETE) ? TRUE : FALSE;
    object->FileName.Buffer =
        file->FileName.empty() ? nullptr : reinterpret_cast<PWCH>(&file->FileName[0]);
    object->FileName.Length = static_cast<USHORT>(file->FileName.size() * sizeof(WCHAR));
    object->FileName.MaximumLength = object->FileName.Length;
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&object->IrpListLock);
    InitializeListHead(&object->IrpList);
    file->Security.DesiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    file->Security.FullCreateOptions = createOptions;

    status = SendAndWait(file, IRP_MJ_CREATE, IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API,
                         [&](PIO_STACK_LOCATION next) {
                             next->Parameters.Create.SecurityContext = &file->Security;
                             next->Parameters.Create.Options =
                                 (static_cast<ULONG>(FILE_OPEN) << 24) |
                                 (createOptions & FILE_VALID_OPTION_FLAGS);
                             next->Parameters.Create.FileAttributes = 0;
                             next->Parameters.Create.ShareAccess = shareAccess;
                             next->Parameters.Create.EaLength = 0;
                         });
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(FileLock);
        object->Flags |= FO_HANDLE_CREATED;
        file->HandleOpen = true;
        file->References = 1;
        *handle = file;
        return status;
    }
    if (status == STATUS_PENDING) {
        return status; // reported: the create never finished, the file object stays
    }
    // A failed create leaves no file object behind and sends no close.
    {
        std::lock_guard<std::mutex> guard(FileLock);
        InterlockedDecrement(&device->ReferenceCount);
        file->Closed = true;
        memset(object, FreedFill, sizeof(FILE_OBJECT));
        HK_POISON(object, sizeof(FILE_OBJECT));
    }
    ObfDereferenceObject(device);
    return status;
}

void HkClose(HkHandle handle, bool waitForClose)
{
    CheckIrqlAtMost(PASSIVE_LEVEL, "HkClose");
    const char* problem = nullptr;
    HkFile* file;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        file = OpenFileLocked(handle, &problem);
        if (file != nullptr) {
            file->HandleOpen = false; // no request of the handle gets through from now on
        }
    }
    if (file == nullptr) {
        Report("HkClose(%p) %s", static_cast<void*>(handle), problem);
        return;
    }
    SendAndWait(file, IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API, nullptr);
    bool last;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        file->Object->Flags |= FO_CLEANUP_COMPLETE;
        last = --file->References == 0;
        if (last) {
            file->CloseStarted = true;
        }
    }
    if (last) {
        SendClose(file);
        return;
    }
    if (waitForClose) {
        std::unique_lock<std::mutex> guard(FileLock);
        if (!FileChanged.wait_for(guard, std::chrono::milliseconds(WaitLimitMilliseconds()),
                                  [file] { return file->Closed; })) {
            guard.unlock();
            Report("HkClose: IRP_MJ_CLOSE for %s has not been sent after %u ms: requests of the "
                   "file object are still with the driver after its cleanup",
                   Narrow(file->Path).c_str(), WaitLimitMilliseconds());
        }
    }
}

HkRequestPtr HkRead(HkHandle handle, ULONG length)
{
    auto request = NewRequest(handle, IRP_MJ_READ, "HkRead");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    request->CallerLength = length;
    request->ChecksInformation = true;
    request->CopiesBack = true;
    request->UserBuffer.assign(length, BufferFill.load());
    if (top->Flags & DO_BUFFERED_IO) {
        request->Buffered = true;
        request->SystemBuffer = SystemBufferOf(length, {});
    }
    return Send(request, top, [length](PIO_STACK_LOCATION next) {
        next->Parameters.Read.Length = length;
        next->Parameters.Read.ByteOffset.QuadPart = 0;
    });
}

HkRequestPtr HkWrite(HkHandle handle, const std::vector<UCHAR>& data)
{
    auto request = NewRequest(handle, IRP_MJ_WRITE, "HkWrite");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    ULONG length = static_cast<ULONG>(data.size());
    request->CallerLength = length;
    request->ChecksInformation = true;
    request->UserBuffer = data;
    if (top->Flags & DO_BUFFERED_IO) {
        request->Buffered = true;
        request->SystemBuffer = SystemBufferOf(length, data);
    }
    return Send(request, top, [length](PIO_STACK_LOCATION next) {
        next->Parameters.Write.Length = length;
        next->Parameters.Write.ByteOffset.QuadPart = 0;
    });
}

namespace {

// A buffered query: a system buffer of the caller's length, copied back as far as Information
// says, which may not exceed that length.
void ExpectOutput(FileRequest& request, ULONG length)
{
    request.CallerLength = length;
    request.ChecksInformation = true;
    request.CopiesBack = true;
    request.Buffered = true;
    request.UserBuffer.assign(length, BufferFill.load());
    request.SystemBuffer = SystemBufferOf(length, {});
}

// DeviceIoControl, and the internal device control a kernel client sends through the file object
// of the port it opened: the same buffered request under another major function.
HkRequestPtr IoControl(HkHandle handle, UCHAR major, ULONG code, const std::vector<UCHAR>& input,
                       ULONG outputLength, const char* routine)
{
    auto request = NewRequest(handle, major, routine);
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED) {
        return Refused(request, top, STATUS_NOT_IMPLEMENTED);
    }
    ULONG inputLength = static_cast<ULONG>(input.size());
    request->CallerLength = outputLength;
    request->ChecksInformation = true;
    request->CopiesBack = outputLength != 0;
    request->Buffered = true;
    request->UserBuffer.assign(outputLength, BufferFill.load());
    request->SystemBuffer = SystemBufferOf(std::max(inputLength, outputLength), input);
    return Send(request, top, [=](PIO_STACK_LOCATION next) {
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    });
}

} // namespace

HkRequestPtr HkIoControl(HkHandle handle, ULONG code, const std::vector<UCHAR>& input,
                         ULONG outputLength)
{
    return IoControl(handle, IRP_MJ_DEVICE_CONTROL, code, input, outputLength, "HkIoControl");
}

HkRequestPtr HkInternalIoControl(HkHandle handle, ULONG code, const std::vector<UCHAR>& input,
                                 ULONG outputLength)
{
    return IoControl(handle, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, outputLength,
                     "HkInternalIoControl");
}

HkRequestPtr HkQueryInformationFile(HkHandle handle, ULONG infoClass, ULONG length)
{
    auto request = NewRequest(handle, IRP_MJ_QUERY_INFORMATION, "HkQueryInformationFile");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    ExpectOutput(*request, length);
    return Send(request, top, [=](PIO_STACK_LOCATION next) {
        next->Parameters.QueryFile.Length = length;
        next->Parameters.QueryFile.FileInformationClass =
            static_cast<FILE_INFORMATION_CLASS>(infoClass);
    });
}

HkRequestPtr HkSetInformationFile(HkHandle handle, ULONG infoClass, const std::vector<UCHAR>& input)
{
    auto request = NewRequest(handle, IRP_MJ_SET_INFORMATION, "HkSetInformationFile");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    const ULONG length = static_cast<ULONG>(input.size());
    request->Buffered = true;
    request->SystemBuffer = SystemBufferOf(length, input);
    return Send(request, top, [=](PIO_STACK_LOCATION next) {
        next->Parameters.SetFile.Length = length;
        next->Parameters.SetFile.FileInformationClass =
            static_cast<FILE_INFORMATION_CLASS>(infoClass);
        next->Parameters.SetFile.FileObject = nullptr;
        next->Parameters.SetFile.ClusterCount = 0;
    });
}

HkRequestPtr HkFlush(HkHandle handle)
{
    auto request = NewRequest(handle, IRP_MJ_FLUSH_BUFFERS, "HkFlush");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    return Send(request, top, nullptr);
}

HkRequestPtr HkQueryVolumeInformation(HkHandle handle, ULONG infoClass, ULONG length)
{
    auto request = NewRequest(handle, IRP_MJ_QUERY_VOLUME_INFORMATION, "HkQueryVolumeInformation");
    if (request->Done()) {
        return request;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request->File->Device);
    // The system service checks the class and the fixed size of its record first.
    if (infoClass == 0 || infoClass >= FileFsMaximumInformation) {
        return Refused(request, top, STATUS_INVALID_INFO_CLASS);
    }
    if (infoClass == FileFsDeviceInformation && length < sizeof(FILE_FS_DEVICE_INFORMATION)) {
        return Refused(request, top, STATUS_INFO_LENGTH_MISMATCH);
    }
    ExpectOutput(*request, length);
    return Send(request, top, [=](PIO_STACK_LOCATION next) {
        next->Parameters.QueryVolume.Length = length;
        next->Parameters.QueryVolume.FsInformationClass =
            static_cast<FS_INFORMATION_CLASS>(infoClass);
    });
}

void HkSetSystemBufferFill(UCHAR fill)
{
    BufferFill = fill;
}

void HkCancelIo(HkHandle handle)
{
    std::vector<std::shared_ptr<FileRequest>> outstanding;
    {
        std::lock_guard<std::mutex> guard(FileLock);
        for (const auto& file : Files) {
            if (file.get() == handle) {
                outstanding = file->Outstanding;
            }
        }
    }
    for (const auto& request : outstanding) {
        request->Cancel();
    }
}

namespace {

PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device)
{
    while (device->DeviceObjectExtension->AttachedTo != nullptr) {
        device = device->DeviceObjectExtension->AttachedTo;
    }
    return device;
}

} // namespace

size_t HkOpenFilesOn(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(FileLock);
    PDEVICE_OBJECT bottom = BottomOf(device);
    size_t open = 0;
    for (const auto& file : Files) {
        open += !file->Closed && BottomOf(file->Device) == bottom ? 1 : 0;
    }
    return open;
}

void HkSetFileClosedHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> guard(FileLock);
    ClosedHook = std::move(hook);
}

size_t HkOpenHandles()
{
    std::lock_guard<std::mutex> guard(FileLock);
    size_t open = 0;
    for (const auto& file : Files) {
        open += file->HandleOpen ? 1 : 0;
    }
    return open;
}
