// Host build of the WDM kernel interface: the part of ntoskrnl/hal that corcard uses, with the
// names, field names, layouts and constants of the Windows DDK (x64), implemented by the kernel
// stand-in in this folder. Driver sources include it through driver/frame/kernel.h, inside
// extern "C", exactly as they include the real DDK header in the Windows build; so everything here
// is plain C declarations plus static inline routines where the DDK has macros or FORCEINLINE.
//
// Integer widths follow Windows (LLP64): LONG/ULONG are 32 bits. WCHAR is wchar_t and the host
// build uses -fshort-wchar so that L"..." is UTF-16. Never call the C library's wide functions on
// these strings.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
static_assert(sizeof(wchar_t) == 2, "the host build of the driver needs -fshort-wchar");
#else
_Static_assert(sizeof(wchar_t) == 2, "the host build of the driver needs -fshort-wchar");
#endif

#ifdef __cplusplus
extern "C"
{
#endif

    // ---------------------------------------------------------------------------------------------
    // Annotations and calling conventions (meaningless on the host)

#define NTAPI
#ifndef __cdecl
#define __cdecl
#endif
#ifndef __stdcall
#define __stdcall
#endif
#define NTSYSAPI
#define NTKERNELAPI
#define NTHALAPI
#define FASTCALL
#define DDKAPI
#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define FORCEINLINE static inline
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define POINTER_ALIGNMENT __attribute__((aligned(8)))
#define ANYSIZE_ARRAY 1
#ifndef _In_
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Use_decl_annotations_
#define _Dispatch_type_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_(x)
#define _Function_class_(x)
#define _When_(a, b)
#define __drv_dispatchType(x)
#endif
#define UNREFERENCED_PARAMETER(P) ((void)(P))

    // ---------------------------------------------------------------------------------------------
    // Basic types

#ifndef VOID
#define VOID void
#endif
    typedef void* PVOID;
    typedef PVOID* PPVOID;
    typedef char CHAR, CCHAR, *PCHAR, *PSTR, *PCH;
    typedef const char *PCSTR, *PCSZ, *PCCH;
    typedef char* PSZ;
    typedef uint8_t UCHAR, *PUCHAR, BYTE, *PBYTE;
    typedef UCHAR BOOLEAN, *PBOOLEAN;
    typedef int16_t SHORT, CSHORT, *PSHORT;
    typedef uint16_t USHORT, *PUSHORT, WORD;
    typedef int32_t LONG, *PLONG;
    typedef uint32_t ULONG, *PULONG, DWORD, *PDWORD;
    typedef int INT;
    typedef unsigned int UINT;
    typedef int64_t LONGLONG, LONG64, *PLONGLONG, *PLONG64;
    typedef uint64_t ULONGLONG, ULONG64, DWORD64, *PULONGLONG, *PULONG64;
    typedef intptr_t LONG_PTR, *PLONG_PTR;
    typedef uintptr_t ULONG_PTR, *PULONG_PTR, SIZE_T, *PSIZE_T, KAFFINITY, *PKAFFINITY;
    typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
    typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
    typedef LONG NTSTATUS, *PNTSTATUS;
    typedef UCHAR KIRQL, *PKIRQL;
    typedef CCHAR KPROCESSOR_MODE;
    typedef ULONG DEVICE_TYPE;
    typedef ULONG LCID;
    typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
    typedef PVOID HANDLE, *PHANDLE;
    typedef PVOID PSECURITY_DESCRIPTOR;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffff
#define MAXLONG 0x7fffffff

    typedef union _LARGE_INTEGER {
        struct {
            ULONG LowPart;
            LONG HighPart;
        };
        struct {
            ULONG LowPart;
            LONG HighPart;
        } u;
        LONGLONG QuadPart;
    } LARGE_INTEGER, *PLARGE_INTEGER;

    typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field)                                                    \
    ((type*)((PCHAR)(address) - (ULONG_PTR)offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define ALIGN_UP_BY(length, alignment)                                                             \
    (((ULONG_PTR)(length) + (alignment)-1) & ~((ULONG_PTR)(alignment)-1))

    // ---------------------------------------------------------------------------------------------
    // Status codes

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_ABANDONED ((NTSTATUS)0x00000080L)
#define STATUS_USER_APC ((NTSTATUS)0x000000C0L)
#define STATUS_ALERTED ((NTSTATUS)0x00000101L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_REPARSE ((NTSTATUS)0x00000104L)
#define STATUS_MORE_ENTRIES ((NTSTATUS)0x00000105L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3 ((NTSTATUS)0xC00000F1L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_POWER_STATE_INVALID ((NTSTATUS)0xC00002D3L)

    // ---------------------------------------------------------------------------------------------
    // Checks that the DDK makes in checked builds; in the host build they report to the verifier.

    void HkAssertionFailed(const char* Expression, const char* File, int Line);
    void HkPagedCodeCheck(const char* Function);
    void HkListEntryCorrupt(void);

#define ASSERT(exp) ((void)((exp) ? 0 : (HkAssertionFailed(#exp, __FILE__, __LINE__), 0)))
#define NT_ASSERT(exp) ASSERT(exp)
#define ASSERTMSG(msg, exp) ASSERT(exp)
#define PAGED_CODE() HkPagedCodeCheck(__func__)

    // ---------------------------------------------------------------------------------------------
    // Lists

    typedef struct _LIST_ENTRY {
        struct _LIST_ENTRY* Flink;
        struct _LIST_ENTRY* Blink;
    } LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

    typedef struct _SINGLE_LIST_ENTRY {
        struct _SINGLE_LIST_ENTRY* Next;
    } SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

    // As in the DDK since Windows 8, the list routines check the neighbours' links and stop on a
    // corrupted list (there: bug check 0x139; here: a verifier report).
    FORCEINLINE VOID InitializeListHead(PLIST_ENTRY ListHead)
    {
        ListHead->Flink = ListHead->Blink = ListHead;
    }

    FORCEINLINE BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead)
    {
        return (BOOLEAN)(ListHead->Flink == ListHead);
    }

    FORCEINLINE BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
    {
        PLIST_ENTRY Flink = Entry->Flink;
        PLIST_ENTRY Blink = Entry->Blink;
        if (Flink->Blink != Entry || Blink->Flink != Entry) {
            HkListEntryCorrupt();
            return FALSE;
        }
        Blink->Flink = Flink;
        Flink->Blink = Blink;
        return (BOOLEAN)(Flink == Blink);
    }

    FORCEINLINE PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
    {
        PLIST_ENTRY Entry = ListHead->Flink;
        PLIST_ENTRY Flink = Entry->Flink;
        if (Entry->Blink != ListHead || Flink->Blink != Entry) {
            HkListEntryCorrupt();
            return ListHead;
        }
        ListHead->Flink = Flink;
        Flink->Blink = ListHead;
        return Entry;
    }

    FORCEINLINE PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
    {
        PLIST_ENTRY Entry = ListHead->Blink;
        PLIST_ENTRY Blink = Entry->Blink;
        if (Entry->Flink != ListHead || Blink->Flink != Entry) {
            HkListEntryCorrupt();
            return ListHead;
        }
        ListHead->Blink = Blink;
        Blink->Flink = ListHead;
        return Entry;
    }

    FORCEINLINE VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
    {
        PLIST_ENTRY Blink = ListHead->Blink;
        if (Blink->Flink != ListHead) {
            HkListEntryCorrupt();
            return;
        }
        Entry->Flink = ListHead;
        Entry->Blink = Blink;
        Blink->Flink = Entry;
        ListHead->Blink = Entry;
    }

    FORCEINLINE VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
    {
        PLIST_ENTRY Flink = ListHead->Flink;
        if (Flink->Blink != ListHead) {
            HkListEntryCorrupt();
            return;
        }
        Entry->Flink = Flink;
        Entry->Blink = ListHead;
        Flink->Blink = Entry;
        ListHead->Flink = Entry;
    }

    // ---------------------------------------------------------------------------------------------
    // Memory and interlocked operations

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
    SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

    FORCEINLINE LONG InterlockedIncrement(LONG volatile* Addend)
    {
        return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE LONG InterlockedDecrement(LONG volatile* Addend)
    {
        return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE LONG InterlockedExchange(LONG volatile* Target, LONG Value)
    {
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
    {
        return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                LONG Comparand)
    {
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return Comparand;
    }
    FORCEINLINE LONG InterlockedOr(LONG volatile* Destination, LONG Value)
    {
        return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
    {
        return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
    {
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    }
    FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                        PVOID Comparand)
    {
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return Comparand;
    }

    // ---------------------------------------------------------------------------------------------
    // Strings and GUIDs

    typedef struct _STRING {
        USHORT Length;
        USHORT MaximumLength;
        PCHAR Buffer;
    } STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
    typedef const STRING *PCSTRING, *PCANSI_STRING;

    typedef struct _UNICODE_STRING {
        USHORT Length;        // bytes, without a terminator
        USHORT MaximumLength; // bytes
        PWCH Buffer;
    } UNICODE_STRING, *PUNICODE_STRING;
    typedef const UNICODE_STRING* PCUNICODE_STRING;

#define RTL_CONSTANT_STRING(s)                                                                     \
    {                                                                                              \
        sizeof(s) - sizeof((s)[0]), sizeof(s), (s)                                                 \
    }

    VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString);
    VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString);
    VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
    NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                          PCANSI_STRING SourceString,
                                          BOOLEAN AllocateDestinationString);
    NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                          PCUNICODE_STRING SourceString,
                                          BOOLEAN AllocateDestinationString);
    VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
    VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
    NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
    NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
    NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
    NTSTATUS RtlIntegerToChar(ULONG Value, ULONG Base, LONG OutputLength, PSZ String);
    VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
    BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                  BOOLEAN CaseInSensitive);
    LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                 BOOLEAN CaseInSensitive);

    typedef struct _GUID {
        ULONG Data1;
        USHORT Data2;
        USHORT Data3;
        UCHAR Data4[8];
    } GUID, *PGUID, *LPGUID;
    typedef const GUID* LPCGUID;

#ifdef __cplusplus
#define REFGUID const GUID&
    static inline int InlineIsEqualGUID(REFGUID rguid1, REFGUID rguid2)
    {
        return (&rguid1.Data1)[0] == (&rguid2.Data1)[0] &&
               (&rguid1.Data1)[1] == (&rguid2.Data1)[1] &&
               (&rguid1.Data1)[2] == (&rguid2.Data1)[2] && (&rguid1.Data1)[3] == (&rguid2.Data1)[3];
    }
    static inline int IsEqualGUID(REFGUID rguid1, REFGUID rguid2)
    {
        return !memcmp(&rguid1, &rguid2, sizeof(GUID));
    }
#else
#define REFGUID const GUID*
#define InlineIsEqualGUID(rguid1, rguid2) (!memcmp((rguid1), (rguid2), sizeof(GUID)))
#define IsEqualGUID(rguid1, rguid2) (!memcmp((rguid1), (rguid2), sizeof(GUID)))
#endif

    // ---------------------------------------------------------------------------------------------
    // Debug output

    ULONG DbgPrint(PCSTR Format, ...);
    ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
#define KdPrint(x) DbgPrint x
#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3

    // ---------------------------------------------------------------------------------------------
    // Forward declarations of the I/O manager's objects

    struct _DEVICE_OBJECT;
    struct _DRIVER_OBJECT;
    struct _IRP;
    struct _FILE_OBJECT;
    struct _MDL;
    struct _KTHREAD;
    struct _ETHREAD;
    struct _KINTERRUPT;
    struct _DEVOBJ_EXTENSION;

    typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
    typedef struct _ETHREAD* PETHREAD;
    typedef struct _FILE_OBJECT* PFILE_OBJECT;
    typedef struct _MDL* PMDL;
    typedef struct _KINTERRUPT *PKINTERRUPT, *PRKINTERRUPT; // opaque to drivers
    typedef struct _VPB* PVPB;
    typedef struct _IO_TIMER* PIO_TIMER;

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
    // I/O status, power states, plug-and-play enumerations

    typedef struct _IO_STATUS_BLOCK {
        union {
            NTSTATUS Status;
            PVOID Pointer;
        };
        ULONG_PTR Information;
    } IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

    typedef enum _SYSTEM_POWER_STATE {
        PowerSystemUnspecified = 0,
        PowerSystemWorking = 1,
        PowerSystemSleeping1 = 2,
        PowerSystemSleeping2 = 3,
        PowerSystemSleeping3 = 4,
        PowerSystemHibernate = 5,
        PowerSystemShutdown = 6,
        PowerSystemMaximum = 7
    } SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

    typedef enum _DEVICE_POWER_STATE {
        PowerDeviceUnspecified = 0,
        PowerDeviceD0,
        PowerDeviceD1,
        PowerDeviceD2,
        PowerDeviceD3,
        PowerDeviceMaximum
    } DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

    typedef union _POWER_STATE {
        SYSTEM_POWER_STATE SystemState;
        DEVICE_POWER_STATE DeviceState;
    } POWER_STATE, *PPOWER_STATE;

    typedef enum _POWER_STATE_TYPE {
        SystemPowerState = 0,
        DevicePowerState
    } POWER_STATE_TYPE;

    typedef enum _POWER_ACTION {
        PowerActionNone = 0,
        PowerActionReserved,
        PowerActionSleep,
        PowerActionHibernate,
        PowerActionShutdown,
        PowerActionShutdownReset,
        PowerActionShutdownOff,
        PowerActionWarmEject,
        PowerActionDisplayOff
    } POWER_ACTION, *PPOWER_ACTION;

    typedef struct _SYSTEM_POWER_STATE_CONTEXT {
        union {
            struct {
                ULONG Reserved1 : 8;
                ULONG TargetSystemState : 4;
                ULONG EffectiveSystemState : 4;
                ULONG CurrentSystemState : 4;
                ULONG IgnoreHibernationPath : 1;
                ULONG PseudoTransition : 1;
                ULONG Reserved2 : 10;
            };
            ULONG ContextAsUlong;
        };
    } SYSTEM_POWER_STATE_CONTEXT, *PSYSTEM_POWER_STATE_CONTEXT;

    typedef struct _POWER_SEQUENCE {
        ULONG SequenceD1;
        ULONG SequenceD2;
        ULONG SequenceD3;
    } POWER_SEQUENCE, *PPOWER_SEQUENCE;

    typedef enum _DEVICE_RELATION_TYPE {
        BusRelations,
        EjectionRelations,
        PowerRelations,
        RemovalRelations,
        TargetDeviceRelation,
        SingleBusRelations,
        TransportRelations
    } DEVICE_RELATION_TYPE, *PDEVICE_RELATION_TYPE;

    typedef enum _BUS_QUERY_ID_TYPE {
        BusQueryDeviceID = 0,
        BusQueryHardwareIDs = 1,
        BusQueryCompatibleIDs = 2,
        BusQueryInstanceID = 3,
        BusQueryDeviceSerialNumber = 4,
        BusQueryContainerID = 5
    } BUS_QUERY_ID_TYPE, *PBUS_QUERY_ID_TYPE;

    typedef enum _DEVICE_TEXT_TYPE {
        DeviceTextDescription = 0,
        DeviceTextLocationInformation = 1
    } DEVICE_TEXT_TYPE, *PDEVICE_TEXT_TYPE;

    typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
        DeviceUsageTypeUndefined,
        DeviceUsageTypePaging,
        DeviceUsageTypeHibernation,
        DeviceUsageTypeDumpFile,
        DeviceUsageTypeBoot,
        DeviceUsageTypePostDisplay
    } DEVICE_USAGE_NOTIFICATION_TYPE;

    typedef enum _INTERFACE_TYPE {
        InterfaceTypeUndefined = -1,
        Internal,
        Isa,
        Eisa,
        MicroChannel,
        TurboChannel,
        PCIBus,
        VMEBus,
        NuBus,
        PCMCIABus,
        CBus,
        MPIBus,
        MPSABus,
        ProcessorInternal,
        InternalPowerBus,
        PNPISABus,
        PNPBus,
        Vmcs,
        ACPIBus,
        MaximumInterfaceType
    } INTERFACE_TYPE, *PINTERFACE_TYPE;

    typedef struct _DEVICE_CAPABILITIES {
        USHORT Size;
        USHORT Version;
        ULONG DeviceD1 : 1;
        ULONG DeviceD2 : 1;
        ULONG LockSupported : 1;
        ULONG EjectSupported : 1;
        ULONG Removable : 1;
        ULONG DockDevice : 1;
        ULONG UniqueID : 1;
        ULONG SilentInstall : 1;
        ULONG RawDeviceOK : 1;
        ULONG SurpriseRemovalOK : 1;
        ULONG WakeFromD0 : 1;
        ULONG WakeFromD1 : 1;
        ULONG WakeFromD2 : 1;
        ULONG WakeFromD3 : 1;
        ULONG HardwareDisabled : 1;
        ULONG NonDynamic : 1;
        ULONG WarmEjectSupported : 1;
        ULONG NoDisplayInUI : 1;
        ULONG Reserved : 14;
        ULONG Address;
        ULONG UINumber;
        DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
        SYSTEM_POWER_STATE SystemWake;
        DEVICE_POWER_STATE DeviceWake;
        ULONG D1Latency;
        ULONG D2Latency;
        ULONG D3Latency;
    } DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

    typedef struct _DEVICE_RELATIONS {
        ULONG Count;
        struct _DEVICE_OBJECT* Objects[1];
    } DEVICE_RELATIONS, *PDEVICE_RELATIONS;

    typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
    typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

    typedef struct _INTERFACE {
        USHORT Size;
        USHORT Version;
        PVOID Context;
        PINTERFACE_REFERENCE InterfaceReference;
        PINTERFACE_DEREFERENCE InterfaceDereference;
    } INTERFACE, *PINTERFACE;

    typedef struct _PNP_BUS_INFORMATION {
        GUID BusTypeGuid;
        INTERFACE_TYPE LegacyBusType;
        ULONG BusNumber;
    } PNP_BUS_INFORMATION, *PPNP_BUS_INFORMATION;

    typedef ULONG PNP_DEVICE_STATE, *PPNP_DEVICE_STATE;
#define PNP_DEVICE_DISABLED 0x00000001
#define PNP_DEVICE_DONT_DISPLAY_IN_UI 0x00000002
#define PNP_DEVICE_FAILED 0x00000004
#define PNP_DEVICE_REMOVED 0x00000008
#define PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED 0x00000010
#define PNP_DEVICE_NOT_DISABLEABLE 0x00000020

    // ---------------------------------------------------------------------------------------------
    // Resources (the layout the plug-and-play manager hands to IRP_MN_START_DEVICE)

#pragma pack(push, 4)
    typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
        UCHAR Type;
        UCHAR ShareDisposition;
        USHORT Flags;
        union {
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Generic;
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Port;
            struct {
                ULONG Level;
                ULONG Vector;
                KAFFINITY Affinity;
            } Interrupt;
            struct {
                union {
                    struct {
                        USHORT Reserved;
                        USHORT MessageCount;
                        ULONG Vector;
                        KAFFINITY Affinity;
                    } Raw;
                    struct {
                        ULONG Level;
                        ULONG Vector;
                        KAFFINITY Affinity;
                    } Translated;
                };
            } MessageInterrupt;
            struct {
                PHYSICAL_ADDRESS Start;
                ULONG Length;
            } Memory;
            struct {
                ULONG Channel;
                ULONG Port;
                ULONG Reserved1;
            } Dma;
            struct {
                ULONG Data[3];
            } DevicePrivate;
            struct {
                ULONG Start;
                ULONG Length;
                ULONG Reserved;
            } BusNumber;
            struct {
                ULONG DataSize;
                ULONG Reserved1;
                ULONG Reserved2;
            } DeviceSpecificData;
        } u;
    } CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceTypeBusNumber 6
#define CmResourceTypeMemoryLarge 7
#define CmResourceTypeNonArbitrated 128
#define CmResourceTypeConfigData 128
#define CmResourceTypeDevicePrivate 129

    typedef enum _CM_SHARE_DISPOSITION {
        CmResourceShareUndetermined = 0,
        CmResourceShareDeviceExclusive,
        CmResourceShareDriverExclusive,
        CmResourceShareShared
    } CM_SHARE_DISPOSITION;

#define CM_RESOURCE_PORT_MEMORY 0x0000
#define CM_RESOURCE_PORT_IO 0x0001
#define CM_RESOURCE_PORT_10_BIT_DECODE 0x0004
#define CM_RESOURCE_PORT_12_BIT_DECODE 0x0008
#define CM_RESOURCE_PORT_16_BIT_DECODE 0x0010
#define CM_RESOURCE_PORT_POSITIVE_DECODE 0x0020
#define CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE 0x0000
#define CM_RESOURCE_INTERRUPT_LATCHED 0x0001
#define CM_RESOURCE_INTERRUPT_MESSAGE 0x0002

    typedef struct _CM_PARTIAL_RESOURCE_LIST {
        USHORT Version;
        USHORT Revision;
        ULONG Count;
        CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
    } CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

    typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
        INTERFACE_TYPE InterfaceType;
        ULONG BusNumber;
        CM_PARTIAL_RESOURCE_LIST PartialResourceList;
    } CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

    typedef struct _CM_RESOURCE_LIST {
        ULONG Count;
        CM_FULL_RESOURCE_DESCRIPTOR List[1];
    } CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

    typedef struct _IO_RESOURCE_REQUIREMENTS_LIST* PIO_RESOURCE_REQUIREMENTS_LIST;

    // ---------------------------------------------------------------------------------------------
    // PCI configuration space

#define PCI_TYPE0_ADDRESSES 6
#define PCI_TYPE1_ADDRESSES 2
#define PCI_TYPE2_ADDRESSES 5
#define PCI_WHICHSPACE_CONFIG 0x0
#define PCI_WHICHSPACE_ROM 0x52696350
#define PCI_ADDRESS_IO_SPACE 0x00000001
#define PCI_INVALID_VENDORID 0xFFFF

#define PCI_COMMON_HEADER_LAYOUT                                                                   \
    USHORT VendorID;                                                                               \
    USHORT DeviceID;                                                                               \
    USHORT Command;                                                                                \
    USHORT Status;                                                                                 \
    UCHAR RevisionID;                                                                              \
    UCHAR ProgIf;                                                                                  \
    UCHAR SubClass;                                                                                \
    UCHAR BaseClass;                                                                               \
    UCHAR CacheLineSize;                                                                           \
    UCHAR LatencyTimer;                                                                            \
    UCHAR HeaderType;                                                                              \
    UCHAR BIST;                                                                                    \
    union {                                                                                        \
        struct {                                                                                   \
            ULONG BaseAddresses[PCI_TYPE0_ADDRESSES];                                              \
            ULONG CIS;                                                                             \
            USHORT SubVendorID;                                                                    \
            USHORT SubSystemID;                                                                    \
            ULONG ROMBaseAddress;                                                                  \
            UCHAR CapabilitiesPtr;                                                                 \
            UCHAR Reserved1[3];                                                                    \
            ULONG Reserved2;                                                                       \
            UCHAR InterruptLine;                                                                   \
            UCHAR InterruptPin;                                                                    \
            UCHAR MinimumGrant;                                                                    \
            UCHAR MaximumLatency;                                                                  \
        } type0;                                                                                   \
        struct {                                                                                   \
            ULONG BaseAddresses[PCI_TYPE1_ADDRESSES];                                              \
            UCHAR PrimaryBus;                                                                      \
            UCHAR SecondaryBus;                                                                    \
            UCHAR SubordinateBus;                                                                  \
            UCHAR SecondaryLatency;                                                                \
            UCHAR IOBase;                                                                          \
            UCHAR IOLimit;                                                                         \
            USHORT SecondaryStatus;                                                                \
            USHORT MemoryBase;                                                                     \
            USHORT MemoryLimit;                                                                    \
            USHORT PrefetchBase;                                                                   \
            USHORT PrefetchLimit;                                                                  \
            ULONG PrefetchBaseUpper32;                                                             \
            ULONG PrefetchLimitUpper32;                                                            \
            USHORT IOBaseUpper16;                                                                  \
            USHORT IOLimitUpper16;                                                                 \
            UCHAR CapabilitiesPtr;                                                                 \
            UCHAR Reserved1[3];                                                                    \
            ULONG ROMBaseAddress;                                                                  \
            UCHAR InterruptLine;                                                                   \
            UCHAR InterruptPin;                                                                    \
            USHORT BridgeControl;                                                                  \
        } type1;                                                                                   \
    } u;

    typedef struct _PCI_COMMON_HEADER {
        PCI_COMMON_HEADER_LAYOUT
    } PCI_COMMON_HEADER, *PPCI_COMMON_HEADER;

    typedef struct _PCI_COMMON_CONFIG {
        PCI_COMMON_HEADER_LAYOUT
        UCHAR DeviceSpecific[192];
    } PCI_COMMON_CONFIG, *PPCI_COMMON_CONFIG;

#define PCI_COMMON_HDR_LENGTH (FIELD_OFFSET(PCI_COMMON_CONFIG, DeviceSpecific))

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

    typedef struct _KDPC {
        UCHAR Type;
        UCHAR Importance;
        volatile USHORT Number;
        LIST_ENTRY DpcListEntry;
        PVOID DeferredRoutine;
        PVOID DeferredContext;
        PVOID SystemArgument1;
        PVOID SystemArgument2;
        volatile PVOID DpcData;
    } KDPC, *PKDPC, *PRKDPC;

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
    // Routine types

    typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
    typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                       struct _DEVICE_OBJECT* PhysicalDeviceObject);
    typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
    typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
    typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
    typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                       PUNICODE_STRING RegistryPath);
    typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
    typedef VOID DRIVER_STARTIO(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_STARTIO* PDRIVER_STARTIO;
    typedef VOID DRIVER_CANCEL(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_CANCEL* PDRIVER_CANCEL;
    typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                           PVOID Context);
    typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
    typedef VOID IO_APC_ROUTINE(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);
    typedef IO_APC_ROUTINE* PIO_APC_ROUTINE;
    typedef BOOLEAN KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
    typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
    typedef BOOLEAN KSYNCHRONIZE_ROUTINE(PVOID SynchronizeContext);
    typedef KSYNCHRONIZE_ROUTINE* PKSYNCHRONIZE_ROUTINE;
    typedef VOID REQUEST_POWER_COMPLETE(struct _DEVICE_OBJECT* DeviceObject, UCHAR MinorFunction,
                                        POWER_STATE PowerState, PVOID Context,
                                        PIO_STATUS_BLOCK IoStatus);
    typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

    // ---------------------------------------------------------------------------------------------
    // Device and driver objects

#define IO_TYPE_ADAPTER 1
#define IO_TYPE_CONTROLLER 2
#define IO_TYPE_DEVICE 3
#define IO_TYPE_DRIVER 4
#define IO_TYPE_FILE 5
#define IO_TYPE_IRP 6
#define IO_TYPE_ERROR_LOG 11
#define IO_TYPE_DEVICE_OBJECT_EXTENSION 13

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_VIRTUAL_VOLUME 0x00000040
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_NULL 0x00000015
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_MULTI_UART_BUS 0x0000003a
#define FILE_DEVICE_SERENUM 0x00000037

#define FILE_BYTE_ALIGNMENT 0x00000000
#define FILE_WORD_ALIGNMENT 0x00000001
#define FILE_LONG_ALIGNMENT 0x00000003
#define FILE_QUAD_ALIGNMENT 0x00000007

    typedef struct DECLSPEC_ALIGN(16) _DEVICE_OBJECT {
        CSHORT Type;
        USHORT Size;
        LONG ReferenceCount; // opens of the device (not object references)
        struct _DRIVER_OBJECT* DriverObject;
        struct _DEVICE_OBJECT* NextDevice;
        struct _DEVICE_OBJECT* AttachedDevice;
        struct _IRP* CurrentIrp;
        PIO_TIMER Timer;
        ULONG Flags;
        ULONG Characteristics;
        volatile PVPB Vpb;
        PVOID DeviceExtension;
        DEVICE_TYPE DeviceType;
        CCHAR StackSize;
        union {
            LIST_ENTRY ListEntry;
            WAIT_CONTEXT_BLOCK Wcb;
        } Queue;
        ULONG AlignmentRequirement;
        KDEVICE_QUEUE DeviceQueue;
        KDPC Dpc;
        ULONG ActiveThreadCount;
        PSECURITY_DESCRIPTOR SecurityDescriptor;
        KEVENT DeviceLock;
        USHORT SectorSize;
        USHORT Spare1;
        struct _DEVOBJ_EXTENSION* DeviceObjectExtension;
        PVOID Reserved;
    } DEVICE_OBJECT, *PDEVICE_OBJECT;

    typedef struct _DEVOBJ_EXTENSION {
        CSHORT Type;
        USHORT Size;
        PDEVICE_OBJECT DeviceObject;
        ULONG PowerFlags;
        PVOID Dope;
        ULONG ExtensionFlags;
        PVOID DeviceNode;
        PDEVICE_OBJECT AttachedTo;
    } DEVOBJ_EXTENSION, *PDEVOBJ_EXTENSION;

    typedef struct _DRIVER_EXTENSION {
        struct _DRIVER_OBJECT* DriverObject;
        PDRIVER_ADD_DEVICE AddDevice;
        ULONG Count;
        UNICODE_STRING ServiceKeyName;
    } DRIVER_EXTENSION, *PDRIVER_EXTENSION;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_PNP_POWER IRP_MJ_PNP
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_QUERY_LEGACY_BUS_INFORMATION 0x18
#define IRP_MN_DEVICE_ENUMERATED 0x19

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

    typedef struct _DRIVER_OBJECT {
        CSHORT Type;
        CSHORT Size;
        PDEVICE_OBJECT DeviceObject; // the driver's device objects, linked through NextDevice
        ULONG Flags;
        PVOID DriverStart;
        ULONG DriverSize;
        PVOID DriverSection;
        PDRIVER_EXTENSION DriverExtension;
        UNICODE_STRING DriverName;
        PUNICODE_STRING HardwareDatabase;
        struct _FAST_IO_DISPATCH* FastIoDispatch;
        PDRIVER_INITIALIZE DriverInit;
        PDRIVER_STARTIO DriverStartIo;
        PDRIVER_UNLOAD DriverUnload;
        PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    } DRIVER_OBJECT, *PDRIVER_OBJECT;

    // ---------------------------------------------------------------------------------------------
    // IRPs and stack locations

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

    typedef struct _IO_STACK_LOCATION {
        UCHAR MajorFunction;
        UCHAR MinorFunction;
        UCHAR Flags;
        UCHAR Control;
        union {
            struct {
                PVOID SecurityContext;
                ULONG Options;
                USHORT POINTER_ALIGNMENT FileAttributes;
                USHORT ShareAccess;
                ULONG POINTER_ALIGNMENT EaLength;
            } Create;
            struct {
                ULONG Length;
                ULONG POINTER_ALIGNMENT Key;
                ULONG Flags;
                LARGE_INTEGER ByteOffset;
            } Read;
            struct {
                ULONG Length;
                ULONG POINTER_ALIGNMENT Key;
                ULONG Flags;
                LARGE_INTEGER ByteOffset;
            } Write;
            struct {
                ULONG OutputBufferLength;
                ULONG POINTER_ALIGNMENT InputBufferLength;
                ULONG POINTER_ALIGNMENT IoControlCode;
                PVOID Type3InputBuffer;
            } DeviceIoControl;
            struct {
                DEVICE_RELATION_TYPE Type;
            } QueryDeviceRelations;
            struct {
                CONST GUID* InterfaceType;
                USHORT Size;
                USHORT Version;
                PINTERFACE Interface;
                PVOID InterfaceSpecificData;
            } QueryInterface;
            struct {
                PDEVICE_CAPABILITIES Capabilities;
            } DeviceCapabilities;
            struct {
                PIO_RESOURCE_REQUIREMENTS_LIST IoResourceRequirementList;
            } FilterResourceRequirements;
            struct {
                ULONG WhichSpace;
                PVOID Buffer;
                ULONG Offset;
                ULONG POINTER_ALIGNMENT Length;
            } ReadWriteConfig;
            struct {
                BOOLEAN Lock;
            } SetLock;
            struct {
                BUS_QUERY_ID_TYPE IdType;
            } QueryId;
            struct {
                DEVICE_TEXT_TYPE DeviceTextType;
                LCID POINTER_ALIGNMENT LocaleId;
            } QueryDeviceText;
            struct {
                BOOLEAN InPath;
                BOOLEAN Reserved[3];
                DEVICE_USAGE_NOTIFICATION_TYPE POINTER_ALIGNMENT Type;
            } UsageNotification;
            struct {
                SYSTEM_POWER_STATE PowerState;
            } WaitWake;
            struct {
                PPOWER_SEQUENCE PowerSequence;
            } PowerSequence;
            struct {
                union {
                    ULONG SystemContext;
                    SYSTEM_POWER_STATE_CONTEXT SystemPowerStateContext;
                };
                POWER_STATE_TYPE POINTER_ALIGNMENT Type;
                POWER_STATE POINTER_ALIGNMENT State;
                POWER_ACTION POINTER_ALIGNMENT ShutdownType;
            } Power;
            struct {
                PCM_RESOURCE_LIST AllocatedResources;
                PCM_RESOURCE_LIST AllocatedResourcesTranslated;
            } StartDevice;
            struct {
                ULONG_PTR ProviderId;
                PVOID DataPath;
                ULONG BufferSize;
                PVOID Buffer;
            } WMI;
            struct {
                PVOID Argument1;
                PVOID Argument2;
                PVOID Argument3;
                PVOID Argument4;
            } Others;
        } Parameters;
        PDEVICE_OBJECT DeviceObject;
        PFILE_OBJECT FileObject;
        PIO_COMPLETION_ROUTINE CompletionRoutine;
        PVOID Context;
    } IO_STACK_LOCATION, *PIO_STACK_LOCATION;

    typedef struct _IRP {
        CSHORT Type;
        USHORT Size;
        struct _MDL* MdlAddress;
        ULONG Flags;
        union {
            struct _IRP* MasterIrp;
            volatile LONG IrpCount;
            PVOID SystemBuffer;
        } AssociatedIrp;
        LIST_ENTRY ThreadListEntry;
        IO_STATUS_BLOCK IoStatus;
        KPROCESSOR_MODE RequestorMode;
        BOOLEAN PendingReturned;
        CHAR StackCount;
        CHAR CurrentLocation;
        BOOLEAN Cancel;
        KIRQL CancelIrql;
        CCHAR ApcEnvironment;
        UCHAR AllocationFlags;
        PIO_STATUS_BLOCK UserIosb;
        PKEVENT UserEvent;
        union {
            struct {
                union {
                    PIO_APC_ROUTINE UserApcRoutine;
                    PVOID IssuingProcess;
                };
                PVOID UserApcContext;
            } AsynchronousParameters;
            LARGE_INTEGER AllocationSize;
        } Overlay;
        volatile PDRIVER_CANCEL CancelRoutine;
        PVOID UserBuffer;
        union {
            struct {
                union {
                    KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                    struct {
                        PVOID DriverContext[4];
                    };
                };
                PETHREAD Thread;
                PCHAR AuxiliaryBuffer;
                struct {
                    LIST_ENTRY ListEntry;
                    union {
                        struct _IO_STACK_LOCATION* CurrentStackLocation;
                        ULONG PacketType;
                    };
                };
                struct _FILE_OBJECT* OriginalFileObject;
            } Overlay;
            KAPC Apc;
            PVOID CompletionKey;
        } Tail;
    } IRP, *PIRP;

#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

    FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
    {
        return Irp->Tail.Overlay.CurrentStackLocation;
    }

    FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
    {
        return Irp->Tail.Overlay.CurrentStackLocation - 1;
    }

    FORCEINLINE VOID IoSetNextIrpStackLocation(PIRP Irp)
    {
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
    }

    FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
    {
        ASSERT(Irp->CurrentLocation <= Irp->StackCount);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
    }

    FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
    {
        PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
        PIO_STACK_LOCATION NextIrpSp = IoGetNextIrpStackLocation(Irp);
        RtlCopyMemory(NextIrpSp, IrpSp, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
        NextIrpSp->Control = 0;
    }

    FORCEINLINE VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                            PVOID Context, BOOLEAN InvokeOnSuccess,
                                            BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
    {
        PIO_STACK_LOCATION IrpSp = IoGetNextIrpStackLocation(Irp);
        ASSERT((InvokeOnSuccess || InvokeOnError || InvokeOnCancel) ? (CompletionRoutine != NULL)
                                                                    : TRUE);
        IrpSp->CompletionRoutine = CompletionRoutine;
        IrpSp->Context = Context;
        IrpSp->Control = 0;
        if (InvokeOnSuccess) {
            IrpSp->Control = SL_INVOKE_ON_SUCCESS;
        }
        if (InvokeOnError) {
            IrpSp->Control |= SL_INVOKE_ON_ERROR;
        }
        if (InvokeOnCancel) {
            IrpSp->Control |= SL_INVOKE_ON_CANCEL;
        }
    }

    FORCEINLINE VOID IoMarkIrpPending(PIRP Irp)
    {
        IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    }

    PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
    VOID IoFreeIrp(PIRP Irp);
    VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
    VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
    PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                      PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                      PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
    NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest

    NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                            ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            PDEVICE_OBJECT* DeviceObject);
    VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
    PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                               PDEVICE_OBJECT TargetDevice);
    VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
    PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
    PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
    BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);
    VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type);

    LONG_PTR ObfReferenceObject(PVOID Object);
    LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject

    // ---------------------------------------------------------------------------------------------
    // Power manager

    VOID PoStartNextPowerIrp(PIRP Irp);
    NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                POWER_STATE State);
    NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                               POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                               PVOID Context, PIRP* Irp);

    // ---------------------------------------------------------------------------------------------
    // Error log

    typedef struct _IO_ERROR_LOG_PACKET {
        UCHAR MajorFunctionCode;
        UCHAR RetryCount;
        USHORT DumpDataSize;
        USHORT NumberOfStrings;
        USHORT StringOffset;
        USHORT EventCategory;
        NTSTATUS ErrorCode;
        ULONG UniqueErrorValue;
        NTSTATUS FinalStatus;
        ULONG SequenceNumber;
        ULONG IoControlCode;
        LARGE_INTEGER DeviceOffset;
        ULONG DumpData[1];
    } IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

    typedef struct _IO_ERROR_LOG_MESSAGE {
        USHORT Type;
        USHORT Size;
        USHORT DriverNameLength;
        LARGE_INTEGER TimeStamp;
        ULONG DriverNameOffset;
        IO_ERROR_LOG_PACKET EntryData;
    } IO_ERROR_LOG_MESSAGE, *PIO_ERROR_LOG_MESSAGE;

#define ERROR_LOG_LIMIT_SIZE 240
#define IO_ERROR_LOG_MESSAGE_HEADER_LENGTH                                                         \
    (sizeof(IO_ERROR_LOG_MESSAGE) - sizeof(IO_ERROR_LOG_PACKET) + (sizeof(WCHAR) * 40))
#define ERROR_LOG_MESSAGE_LIMIT_SIZE (ERROR_LOG_LIMIT_SIZE + IO_ERROR_LOG_MESSAGE_HEADER_LENGTH)
#define PORT_MAXIMUM_MESSAGE_LENGTH 512
#define IO_ERROR_LOG_MESSAGE_LENGTH                                                                \
    ((PORT_MAXIMUM_MESSAGE_LENGTH > ERROR_LOG_MESSAGE_LIMIT_SIZE) ? ERROR_LOG_MESSAGE_LIMIT_SIZE   \
                                                                  : PORT_MAXIMUM_MESSAGE_LENGTH)
#define ERROR_LOG_MAXIMUM_SIZE (IO_ERROR_LOG_MESSAGE_LENGTH - IO_ERROR_LOG_MESSAGE_HEADER_LENGTH)

    PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
    VOID IoWriteErrorLogEntry(PVOID ElEntry);
    VOID IoFreeErrorLogEntry(PVOID ElEntry);

    // ---------------------------------------------------------------------------------------------
    // Interrupts

    typedef enum _KINTERRUPT_MODE {
        LevelSensitive,
        Latched
    } KINTERRUPT_MODE;

    NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                                PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector,
                                KIRQL Irql, KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode,
                                BOOLEAN ShareVector, KAFFINITY ProcessorEnableMask,
                                BOOLEAN FloatingSave);
    VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject);
    BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                   PVOID SynchronizeContext);

    // ---------------------------------------------------------------------------------------------
    // I/O port space (x86 ports: the low 16 bits of the address are decoded)

    UCHAR READ_PORT_UCHAR(PUCHAR Port);
    USHORT READ_PORT_USHORT(PUSHORT Port);
    ULONG READ_PORT_ULONG(PULONG Port);
    VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
    VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value);
    VOID WRITE_PORT_ULONG(PULONG Port, ULONG Value);

    // ---------------------------------------------------------------------------------------------
    // Layouts that drivers and the plug-and-play manager rely on

#ifdef __cplusplus
    static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");
    static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
    static_assert(sizeof(GUID) == 16, "GUID");
    static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
    static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "DEVICE_CAPABILITIES is 64 bytes");
    static_assert(sizeof(PCI_COMMON_HEADER) == 64, "the PCI common header is 64 bytes");
    static_assert(sizeof(PCI_COMMON_CONFIG) == 256, "PCI_COMMON_CONFIG is 256 bytes");
    static_assert(FIELD_OFFSET(PCI_COMMON_HEADER, u.type0.SubVendorID) == 44, "SubVendorID at 44");
    static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 40, "DumpData at 40");
    static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "IO_ERROR_LOG_PACKET is 48 bytes");
    static_assert(ERROR_LOG_MAXIMUM_SIZE == 240, "ERROR_LOG_MAXIMUM_SIZE");
    static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 20, "CM_PARTIAL_RESOURCE_DESCRIPTOR");
    static_assert(sizeof(CM_FULL_RESOURCE_DESCRIPTOR) == 36, "CM_FULL_RESOURCE_DESCRIPTOR");
    static_assert(sizeof(CM_RESOURCE_LIST) == 40, "CM_RESOURCE_LIST");
    static_assert(sizeof(IO_STACK_LOCATION) == 72, "IO_STACK_LOCATION");
    static_assert(sizeof(IRP) == 208, "IRP");
    static_assert(sizeof(INTERFACE) == 32, "INTERFACE");
    static_assert(sizeof(KEVENT) == 24, "KEVENT");
    static_assert(sizeof(KMUTEX) == 56, "KMUTEX");
#endif

#ifdef __cplusplus
} // extern "C"
#endif
