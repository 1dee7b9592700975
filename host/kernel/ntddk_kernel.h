// Host build of the WDM kernel interface, kernel: IRQL, threads and time, dispatcher objects, spin
// locks, pool, and the kernel objects embedded in the I/O manager's structures. Included by
// ntddk.h.
#pragma once

#include "ntddk_base.h"

#ifdef __cplusplus
extern "C"
{
#endif

    // ---------------------------------------------------------------------------------------------
    // IRQL, threads, time

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

    KIRQL KeGetCurrentIrql(void);
    KIRQL KfRaiseIrql(KIRQL NewIrql);
    VOID KfLowerIrql(KIRQL NewIrql);
    KIRQL KeRaiseIrqlToDpcLevel(void);
#define KeRaiseIrql(a, b) *(b) = KfRaiseIrql(a)
#define KeLowerIrql(a) KfLowerIrql(a)

    PKTHREAD KeGetCurrentThread(void);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
    VOID KeStallExecutionProcessor(ULONG MicroSeconds);
    VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
    // Interrupt time counts 100 ns units from boot and never jumps; the tick count advances once
    // per clock tick of KeQueryTimeIncrement units. The DDK has macros for the first two on x64.
    ULONGLONG KeQueryInterruptTime(void);
    VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
    ULONG KeQueryTimeIncrement(void);

    typedef enum _MODE {
        KernelMode,
        UserMode,
        MaximumMode
    } MODE;

    typedef enum _KWAIT_REASON {
        Executive,
        FreePage,
        PageIn,
        PoolAllocation,
        DelayExecution,
        Suspended,
        UserRequest,
        WrExecutive,
        WrFreePage,
        WrPageIn,
        WrPoolAllocation,
        WrDelayExecution,
        WrSuspended,
        WrUserRequest,
        MaximumWaitReason = 37
    } KWAIT_REASON;

    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                    PLARGE_INTEGER Interval);

    // ---------------------------------------------------------------------------------------------
    // Dispatcher objects: events and mutexes

    typedef struct _DISPATCHER_HEADER {
        UCHAR Type;
        UCHAR Signalling;
        UCHAR Size; // in LONGs; zero until the object is initialised
        UCHAR Reserved1;
        volatile LONG SignalState;
        LIST_ENTRY WaitListHead;
    } DISPATCHER_HEADER, *PDISPATCHER_HEADER;

    typedef enum _EVENT_TYPE {
        NotificationEvent,
        SynchronizationEvent
    } EVENT_TYPE;

    typedef struct _KEVENT {
        DISPATCHER_HEADER Header;
    } KEVENT, *PKEVENT, *PRKEVENT;

    typedef struct _KMUTANT {
        DISPATCHER_HEADER Header;
        LIST_ENTRY MutantListEntry;
        struct _KTHREAD* OwnerThread;
        BOOLEAN Abandoned;
        UCHAR ApcDisable;
    } KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

    typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define IO_SERIAL_INCREMENT 2

    VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
    LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
    VOID KeClearEvent(PRKEVENT Event);
    LONG KeResetEvent(PRKEVENT Event);
    LONG KeReadStateEvent(PRKEVENT Event);
    VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
    LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
    LONG KeReadStateMutex(PRKMUTEX Mutex);
    NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                   BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject

    // Spin locks
    VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
    KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
    VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
    VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
    VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

    // ---------------------------------------------------------------------------------------------
    // Deferred procedure calls. A DPC is queued from any IRQL (an interrupt service routine queues
    // one to finish its work) and runs once at DISPATCH_LEVEL; queueing one that is already queued
    // does nothing.

    struct _KDPC;
    typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                   PVOID SystemArgument2);
    typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

    typedef enum _KDPC_IMPORTANCE {
        LowImportance,
        MediumImportance,
        HighImportance,
        MediumHighImportance
    } KDPC_IMPORTANCE;

    typedef struct _KDPC {
        UCHAR Type;
        UCHAR Importance;
        volatile USHORT Number;
        LIST_ENTRY DpcListEntry;
        PKDEFERRED_ROUTINE DeferredRoutine;
        PVOID DeferredContext;
        PVOID SystemArgument1;
        PVOID SystemArgument2;
        volatile PVOID DpcData; // not NULL while queued
    } KDPC, *PKDPC, *PRKDPC;

    VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
    BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
    BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
    VOID KeFlushQueuedDpcs(void);
    VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
    VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);

    // ---------------------------------------------------------------------------------------------
    // Timers: dispatcher objects that are signalled when their due time comes (a negative due
    // time is relative, in 100 ns units; a positive one is an absolute system time), optionally
    // periodic (period in milliseconds), optionally queueing a DPC at expiry.

    typedef enum _TIMER_TYPE {
        NotificationTimer,
        SynchronizationTimer
    } TIMER_TYPE;

    typedef struct _KTIMER {
        DISPATCHER_HEADER Header;
        ULARGE_INTEGER DueTime;
        LIST_ENTRY TimerListEntry;
        struct _KDPC* Dpc;
        ULONG Processor;
        ULONG Period;
    } KTIMER, *PKTIMER, *PRKTIMER;

#define KTIMER_ACTUAL_LENGTH (FIELD_OFFSET(KTIMER, Period) + sizeof(LONG))

    VOID KeInitializeTimer(PKTIMER Timer);
    VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
    BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
    BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
    BOOLEAN KeCancelTimer(PKTIMER Timer);
    BOOLEAN KeReadStateTimer(PKTIMER Timer);

    // ---------------------------------------------------------------------------------------------
    // Pool

    typedef enum _POOL_TYPE {
        NonPagedPool = 0,
        NonPagedPoolExecute = 0,
        PagedPool = 1,
        NonPagedPoolMustSucceed = 2,
        DontUseThisType = 3,
        NonPagedPoolCacheAligned = 4,
        PagedPoolCacheAligned = 5,
        NonPagedPoolCacheAlignedMustS = 6,
        MaxPoolType = 7,
        NonPagedPoolNx = 512,
        NonPagedPoolNxCacheAligned = 516,
    } POOL_TYPE;

    PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
    PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
    VOID ExFreePool(PVOID P);
    VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

    // ---------------------------------------------------------------------------------------------
    // Kernel objects embedded in the I/O manager's structures (drivers do not touch them)

    typedef struct _KDEVICE_QUEUE_ENTRY {
        LIST_ENTRY DeviceListEntry;
        ULONG SortKey;
        BOOLEAN Inserted;
    } KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

    typedef struct _KDEVICE_QUEUE {
        CSHORT Type;
        CSHORT Size;
        LIST_ENTRY DeviceListHead;
        KSPIN_LOCK Lock;
        BOOLEAN Busy;
    } KDEVICE_QUEUE, *PKDEVICE_QUEUE;

    typedef struct _KAPC {
        UCHAR Type;
        UCHAR SpareByte0;
        UCHAR Size;
        UCHAR SpareByte1;
        ULONG SpareLong0;
        struct _KTHREAD* Thread;
        LIST_ENTRY ApcListEntry;
        PVOID Reserved[3];
        PVOID NormalContext;
        PVOID SystemArgument1;
        PVOID SystemArgument2;
        CCHAR ApcStateIndex;
        KPROCESSOR_MODE ApcMode;
        BOOLEAN Inserted;
    } KAPC, *PKAPC, *PRKAPC;

    typedef struct _WAIT_CONTEXT_BLOCK {
        KDEVICE_QUEUE_ENTRY WaitQueueEntry;
        PVOID DeviceRoutine;
        PVOID DeviceContext;
        ULONG NumberOfMapRegisters;
        PVOID DeviceObject;
        PVOID CurrentIrp;
        PKDPC BufferChainingDpc;
    } WAIT_CONTEXT_BLOCK, *PWAIT_CONTEXT_BLOCK;

    // ---------------------------------------------------------------------------------------------
    // Layouts

#ifdef __cplusplus
    static_assert(sizeof(KEVENT) == 24, "KEVENT");
    static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
    static_assert(sizeof(KDPC) == 64, "KDPC");
    static_assert(sizeof(KTIMER) == 64, "KTIMER");
    static_assert(FIELD_OFFSET(KTIMER, Dpc) == 48, "KTIMER.Dpc at 48");
#endif

#ifdef __cplusplus
} // extern "C"
#endif
