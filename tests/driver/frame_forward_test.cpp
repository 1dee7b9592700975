// Sending a request down and taking it back: a small two-device stack of a test driver whose upper
// device forwards with the frame's routine and whose lower device answers at once or later from a
// thread of its own, as a bus driver that queues the request does.
#include "spine_support.h"

#include <chrono>
#include <thread>

using namespace spine;

namespace {

struct StackState {
    PDEVICE_OBJECT Upper = nullptr;
    PDEVICE_OBJECT Lower = nullptr;
    // Lower device's behaviour.
    bool Pend = false;
    NTSTATUS Answer = STATUS_SUCCESS;
    ULONG_PTR AnswerInformation = 0;
    // What the lower device saw and what the upper device got back.
    UCHAR SeenMinor = 0xFF;
    PVOID SeenParameter = nullptr;
    NTSTATUS Forwarded = STATUS_PENDING;
    bool CopyStackLocation = true;
    std::thread Completer;
};

StackState* State;

void CompleteLater(PIRP irp)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    irp->IoStatus.Status = State->Answer;
    irp->IoStatus.Information = State->AnswerInformation;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS TestDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    if (device == State->Upper) {
        if (!State->CopyStackLocation) {
            // The sender of a request of the driver's own fills the next location itself.
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            *next = *IoGetCurrentIrpStackLocation(irp);
            next->Control = 0;
            next->CompletionRoutine = nullptr;
            next->Context = nullptr;
        }
        State->Forwarded = ForwardIrpAndWait(State->Lower, irp, State->CopyStackLocation);
        // The request is the upper driver's again and can be completed once more.
        return CompleteIrp(irp, State->Forwarded, irp->IoStatus.Information);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    State->SeenMinor = stack->MinorFunction;
    State->SeenParameter = stack->Parameters.Others.Argument1;
    if (State->Pend) {
        IoMarkIrpPending(irp);
        State->Completer = std::thread(CompleteLater, irp);
        return STATUS_PENDING;
    }
    return CompleteIrp(irp, State->Answer, State->AnswerInformation);
}

NTSTATUS TestEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = TestDispatch;
    return STATUS_SUCCESS;
}

class ForwardConcurrency : public HkTest {
protected:
    void SetUp() override
    {
        HkTest::SetUp();
        State = &Stack;
        TestDriver = HkLoadDriver(TestEntry, L"forwardtest");
        ASSERT_NE(TestDriver, nullptr);
        ASSERT_EQ(
            IoCreateDevice(TestDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Stack.Lower),
            STATUS_SUCCESS);
        ASSERT_EQ(
            IoCreateDevice(TestDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Stack.Upper),
            STATUS_SUCCESS);
        Stack.Lower->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoAttachDeviceToDeviceStack(Stack.Upper, Stack.Lower), Stack.Lower);
        Stack.Upper->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override
    {
        if (Stack.Completer.joinable()) {
            Stack.Completer.join();
        }
        IoDetachDevice(Stack.Lower);
        IoDeleteDevice(Stack.Upper);
        IoDeleteDevice(Stack.Lower);
        HkUnloadDriver(TestDriver);
        State = nullptr;
        HkTest::TearDown();
    }

    // A plug-and-play request to the top of the stack, taken back by the sender.
    NTSTATUS SendPnp(UCHAR minor, PVOID parameter, ULONG_PTR* information)
    {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus{};
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Stack.Upper, nullptr, 0, nullptr, &done,
                                                &ioStatus);
        EXPECT_NE(irp, nullptr);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = minor;
        next->Parameters.Others.Argument1 = parameter;
        NTSTATUS status = IofCallDriver(Stack.Upper, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            status = ioStatus.Status;
        }
        EXPECT_EQ(status, ioStatus.Status);
        *information = ioStatus.Information;
        return status;
    }

    StackState Stack;
    PDRIVER_OBJECT TestDriver = nullptr;
};

int Marker;

TEST_F(ForwardConcurrency, AnswerGivenAtOnceComesBackToTheSender)
{
    Stack.Answer = STATUS_DEVICE_BUSY;
    Stack.AnswerInformation = 7;
    ULONG_PTR information = 0;
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES, &Marker, &information), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Stack.Forwarded, STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, 7u);
    // The lower device saw the sender's stack location, copied.
    EXPECT_EQ(Stack.SeenMinor, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(Stack.SeenParameter, &Marker);
}

TEST_F(ForwardConcurrency, FinalStatusIsTakenAfterAPendingAnswer)
{
    Stack.Pend = true;
    for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        Stack.Answer = answer;
        Stack.Forwarded = STATUS_PENDING;
        ULONG_PTR information = 0;
        EXPECT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES, &Marker, &information), answer);
        EXPECT_EQ(Stack.Forwarded, answer);
        Stack.Completer.join();
    }
    EXPECT_EQ(HkIrpsOutstanding(), 0u);
}

TEST_F(ForwardConcurrency, RequestWhoseNextLocationIsAlreadyFilledIsSentAsItIs)
{
    Stack.CopyStackLocation = false;
    Stack.Pend = true;
    Stack.Answer = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_ID, &Marker, &information), STATUS_SUCCESS);
    EXPECT_EQ(Stack.SeenMinor, IRP_MN_QUERY_ID);
    EXPECT_EQ(Stack.SeenParameter, &Marker);
}

} // namespace
