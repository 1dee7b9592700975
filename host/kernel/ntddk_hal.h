// Host build of the WDM kernel interface, HAL: interrupts, I/O port space and the performance
// counter. Included by ntddk.h.
#pragma once

#include "ntddk_registry.h"

#ifdef __cplusplus
extern "C"
{
#endif

    // ---------------------------------------------------------------------------------------------
    // Interrupts

    typedef BOOLEAN KSERVICE_ROUTINE(PKINTERRUPT Interrupt, PVOID ServiceContext);
    typedef KSERVICE_ROUTINE* PKSERVICE_ROUTINE;
    typedef BOOLEAN KSYNCHRONIZE_ROUTINE(PVOID SynchronizeContext);
    typedef KSYNCHRONIZE_ROUTINE* PKSYNCHRONIZE_ROUTINE;

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
    // Performance counter: the counter and its frequency (10 MHz, one count per 100 ns).

    LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

#ifdef __cplusplus
} // extern "C"
#endif
