// Cancel and remove locks in the kernel stand-in: IoCancelIrp's hand-over of the cancel routine
// under the cancel spin lock, CancelIoEx through the I/O manager's requests, and the remove
// lock's count with its wait, each with the verifier's reports.
#include "kernel_rig.h"

#include <atomic>
#include <thread>

namespace {

struct CancelSeen {
    int Calls = 0;
    BOOLEAN Cancel = FALSE;
    KIRQL Irql = PASSIVE_LEVEL;
    KIRQL CancelIrql = HIGH_LEVEL;
    PDEVICE_OBJECT Device = nullptr;
    bool ReleaseLock = true;
};

CancelSeen* TheCancelSeen;

VOID CancelHeld(PDEVICE_OBJECT device, PIRP irp)
{
    CancelSeen& seen = *TheCancelSeen;
    ++seen.Calls;
    seen.Cancel = irp->Cancel;
    seen.Irql = KeGetCurrentIrql();
    seen.CancelIrql = irp->CancelIrql;
    seen.Device = device;
    if (seen.ReleaseLock) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Reads wait with a cancel routine set; everything else completes at once.
DispatchBehaviour HoldsReads(std::vector<PIRP>* held)
{
    return [held](PDEVICE_OBJECT, PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        (void)IoSetCancelRoutine(irp, CancelHeld);
        held->push_back(irp);
        return STATUS_PENDING;
    };
}

} // namespace

TEST_F(KernelTest, CancelHandsTheRoutineItsIrpUnderTheCancelLock)
{
    CancelSeen seen;
    TheCancelSeen = &seen;
    std::vector<PIRP> held;
    PDEVICE_OBJECT port = MakeNamedDevice(L"\\Device\\Port1", HoldsReads(&held));
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Port1", &handle), STATUS_SUCCESS);

    HkRequestPtr read = HkRead(handle, 4);
    EXPECT_FALSE(read->Done());
    EXPECT_TRUE(read->Cancel());
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_TRUE(seen.Cancel);
    EXPECT_EQ(seen.Irql, DISPATCH_LEVEL) << "the routine runs holding the cancel spin lock";
    EXPECT_EQ(seen.CancelIrql, PASSIVE_LEVEL) << "and learns the IRQL to go back to";
    EXPECT_EQ(seen.Device, port);
    EXPECT_EQ(HkCurrentIrql(), PASSIVE_LEVEL);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(read->Cancel()) << "a finished request cannot be cancelled";

    // A driver that took its routine back owns the IRP: cancel only marks it.
    HkRequestPtr started = HkRead(handle, 4);
    EXPECT_EQ(IoSetCancelRoutine(held.back(), nullptr), CancelHeld);
    EXPECT_FALSE(started->Cancel());
    EXPECT_TRUE(held.back()->Cancel);
    EXPECT_EQ(seen.Calls, 1);
    held.back()->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held.back(), IO_NO_INCREMENT);
    EXPECT_EQ(started->Status(), STATUS_SUCCESS);

    // CancelIoEx(handle, NULL) reaches every request of the handle.
    HkRequestPtr one = HkRead(handle, 1);
    HkRequestPtr two = HkRead(handle, 2);
    HkCancelIo(handle);
    EXPECT_EQ(one->Status(), STATUS_CANCELLED);
    EXPECT_EQ(two->Status(), STATUS_CANCELLED);
    EXPECT_EQ(seen.Calls, 3);
    HkClose(handle);
}

TEST_F(KernelTest, VerifierCatchesCancelLockMisuse)
{
    CancelSeen seen;
    seen.ReleaseLock = false;
    TheCancelSeen = &seen;
    std::vector<PIRP> held;
    MakeNamedDevice(L"\\Device\\Port2", HoldsReads(&held));
    HkHandle handle = nullptr;
    ASSERT_EQ(HkOpen(u"\\Device\\Port2", &handle), STATUS_SUCCESS);
    HkRequestPtr read = HkRead(handle, 4);
    auto found = Violations([&] { read->Cancel(); });
    EXPECT_TRUE(Mentions(found, "returned holding the cancel spin lock"))
        << ::testing::PrintToString(found);
    EXPECT_EQ(HkCurrentIrql(), PASSIVE_LEVEL) << "the verifier let go of it";
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);

    found = Violations([] { IoReleaseCancelSpinLock(PASSIVE_LEVEL); });
    EXPECT_TRUE(Mentions(found, "does not hold the cancel spin lock"))
        << ::testing::PrintToString(found);
    HkClose(handle);
}

namespace {

const ULONG RemoveTag = 0x6D655254; // "TReM"

} // namespace

TEST_F(KernelTest, VerifierCatchesUnmatchedRemoveLockReleasesAndASecondWait)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, RemoveTag, 0, 0);
    int request = 0;
    auto found = Violations([&] { IoReleaseRemoveLock(&lock, &request); });
    EXPECT_TRUE(Mentions(found, "without a matching IoAcquireRemoveLock"))
        << ::testing::PrintToString(found);
    EXPECT_EQ(lock.Common.IoCount, 1) << "the unmatched release changed nothing";

    ASSERT_EQ(IoAcquireRemoveLock(&lock, &request), STATUS_SUCCESS);
    found = Violations([&] { IoReleaseRemoveLock(&lock, &lock); });
    EXPECT_TRUE(Mentions(found, "without a matching")) << "the tag must match";
    IoReleaseRemoveLockAndWait(&lock, &request); // nothing else is held: returns at once
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &request), STATUS_DELETE_PENDING);
    found = Violations([&] { IoReleaseRemoveLockAndWait(&lock, &request); });
    EXPECT_TRUE(Mentions(found, "called a second time")) << ::testing::PrintToString(found);
}

// Removal waits for the requests still in the driver; requests that come after it began are
// turned away.
TEST_F(KernelConcurrencyTest, RemoveLockWaitEndsWithTheLastRelease)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, RemoveTag, 0, 0);
    int inFlight = 0;
    int removal = 0;
    int late = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &inFlight), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &removal), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 3);

    std::atomic<bool> returned{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, &removal);
        returned = true;
    });
    // The wait has begun once new acquisitions are refused.
    NTSTATUS status;
    while ((status = IoAcquireRemoveLock(&lock, &late)) == STATUS_SUCCESS) {
        IoReleaseRemoveLock(&lock, &late);
        std::this_thread::yield();
    }
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(returned) << "a request is still in the driver";
    IoReleaseRemoveLock(&lock, &inFlight);
    remover.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(lock.Common.IoCount, 0);
}
