// Host build of the WDM kernel interface, base: annotations, integer types, status codes, the
// DDK's checks, lists, interlocked operations, strings and GUIDs, debug output, the I/O status
// block and the forward declarations of the I/O manager's objects. Included by ntddk.h.
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
    typedef ULONG ACCESS_MASK, *PACCESS_MASK;

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

    typedef union _ULARGE_INTEGER {
        struct {
            ULONG LowPart;
            ULONG HighPart;
        };
        struct {
            ULONG LowPart;
            ULONG HighPart;
        } u;
        ULONGLONG QuadPart;
    } ULARGE_INTEGER, *PULARGE_INTEGER;

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
#define STATUS_OBJECT_NAME_EXISTS ((NTSTATUS)0x40000000L)
#define STATUS_SERIAL_MORE_WRITES ((NTSTATUS)0x40000008L)
#define STATUS_SERIAL_COUNTER_TIMEOUT ((NTSTATUS)0x4000000CL)
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
#define STATUS_NO_SUCH_FILE ((NTSTATUS)0xC000000FL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_END_OF_FILE ((NTSTATUS)0xC0000011L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_INVALID_PARAMETER_MIX ((NTSTATUS)0xC0000030L)
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#define STATUS_DATA_OVERRUN ((NTSTATUS)0xC000003CL)
#define STATUS_DATA_ERROR ((NTSTATUS)0xC000003EL)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_MUTANT_NOT_OWNED ((NTSTATUS)0xC0000046L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_POWER_FAILURE ((NTSTATUS)0xC000009EL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_ILLEGAL_FUNCTION ((NTSTATUS)0xC00000AFL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_DEVICE_DOES_NOT_EXIST ((NTSTATUS)0xC00000C0L)
#define STATUS_INVALID_USER_BUFFER ((NTSTATUS)0xC00000E8L)
#define STATUS_INVALID_PARAMETER_1 ((NTSTATUS)0xC00000EFL)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#define STATUS_INVALID_PARAMETER_3 ((NTSTATUS)0xC00000F1L)
#define STATUS_INVALID_PARAMETER_4 ((NTSTATUS)0xC00000F2L)
#define STATUS_INVALID_PARAMETER_5 ((NTSTATUS)0xC00000F3L)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128L)
#define STATUS_SERIAL_NO_DEVICE_INITED ((NTSTATUS)0xC0000150L)
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_WMI_GUID_NOT_FOUND ((NTSTATUS)0xC0000295L)
#define STATUS_WMI_INSTANCE_NOT_FOUND ((NTSTATUS)0xC0000296L)
#define STATUS_WMI_ITEMID_NOT_FOUND ((NTSTATUS)0xC0000297L)
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#define STATUS_WMI_READ_ONLY ((NTSTATUS)0xC00002C6L)
#define STATUS_WMI_SET_FAILURE ((NTSTATUS)0xC00002C7L)
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
    // I/O status block

    typedef struct _IO_STATUS_BLOCK {
        union {
            NTSTATUS Status;
            PVOID Pointer;
        };
        ULONG_PTR Information;
    } IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

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
    // Defined in full by the I/O manager's part; named here for the routines declared before it.
    typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
    typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
    typedef struct _IRP* PIRP;

    // ---------------------------------------------------------------------------------------------
    // Access rights and object attributes (handles to keys and files are opened with these)

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x000007F2L

    typedef struct _OBJECT_ATTRIBUTES {
        ULONG Length;
        HANDLE RootDirectory;
        PUNICODE_STRING ObjectName;
        ULONG Attributes;
        PVOID SecurityDescriptor;
        PVOID SecurityQualityOfService;
    } OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
    typedef CONST OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    {                                                                                              \
        (p)->Length = (ULONG)sizeof(OBJECT_ATTRIBUTES);                                            \
        (p)->RootDirectory = (r);                                                                  \
        (p)->Attributes = (a);                                                                     \
        (p)->ObjectName = (n);                                                                     \
        (p)->SecurityDescriptor = (s);                                                             \
        (p)->SecurityQualityOfService = NULL;                                                      \
    }

    // ---------------------------------------------------------------------------------------------
    // Layouts

#ifdef __cplusplus
    static_assert(sizeof(LIST_ENTRY) == 16, "LIST_ENTRY");
    static_assert(sizeof(UNICODE_STRING) == 16, "UNICODE_STRING");
    static_assert(sizeof(GUID) == 16, "GUID");
    static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
    static_assert(sizeof(ULARGE_INTEGER) == 8, "ULARGE_INTEGER");
    static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
#endif

#ifdef __cplusplus
} // extern "C"
#endif
