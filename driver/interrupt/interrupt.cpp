// The shared interrupt dispatcher. All ports of an adapter share its single PCI interrupt; corcard
// connects it once for the adapter device and calls each port's callback when the adapter's
// interrupt status register (one byte, start of BAR 1) shows a bit of that port.
//
// The 8-slot callback table is read by AdapterIsr without a lock of its own. It is therefore
// changed only inside KeSynchronizeExecution on the adapter's interrupt object (ClaimSlot,
// ReleaseSlot) while an interrupt is connected, and zeroed as a whole only while none is: before
// IoConnectInterrupt and after IoDisconnectInterrupt. Connect, disconnect, register and unregister
// all run at PASSIVE_LEVEL with the adapter's mutex held by their callers.
#include "corcard.h"
#include "interrupt/interrupt.h"

static_assert(sizeof(ADAPTER_EXTENSION::InterruptSlots) ==
                  InterruptSlotCount * sizeof(INTERRUPT_SLOT),
              "the slot table is exactly 8 slots");

// I/O port addresses are 16 bits wide on x86; the extension keeps them as 64-bit values.
static PUCHAR IoPort(ULONG64 Address, ULONG Offset)
{
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>((Address & 0xFFFF) + Offset));
}

static VOID ZeroSlots(PADAPTER_EXTENSION Adapter)
{
    RtlZeroMemory(Adapter->InterruptSlots, sizeof(Adapter->InterruptSlots));
}

BOOLEAN AdapterIsr(PKINTERRUPT Interrupt, PVOID ServiceContext)
{
    const auto Adapter = static_cast<PADAPTER_EXTENSION>(ServiceContext);
    const PUCHAR StatusRegister = IoPort(Adapter->StatusPort, 0);

    // Only the first NumberOfPorts slots can ever be in use: slots are taken lowest-free-first
    // and each port holds at most one.
    ULONG SlotsToScan = 0;
    if (Adapter->Board != nullptr && Adapter->Board->NumberOfPorts > 0) {
        SlotsToScan = static_cast<ULONG>(Adapter->Board->NumberOfPorts);
        if (SlotsToScan > InterruptSlotCount) {
            SlotsToScan = InterruptSlotCount;
        }
    }

    // A function that is not in D0 answers register reads with all ones, which would look like
    // every port pending. Whatever raised the shared line meanwhile belongs to another device.
    if (InterlockedCompareExchange(&Adapter->RegistersOff, 0, 0) != 0) {
        return FALSE;
    }

    BOOLEAN Result = FALSE;
    for (ULONG Pass = 0; Pass < IsrPassLimit; ++Pass) {
        const UCHAR Status = READ_PORT_UCHAR(StatusRegister);
        if (Status == 0) {
            // Nothing of ours pending: FALSE lets other devices sharing the line have it.
            return Result;
        }

        // Every matching slot is called, even after an earlier one claimed: several ports can
        // be pending in one status byte, and the register is read only once per pass.
        BOOLEAN Claimed = FALSE;
        for (ULONG Index = 0; Index < SlotsToScan; ++Index) {
            const INTERRUPT_SLOT* Slot = &Adapter->InterruptSlots[Index];
            if (Slot->InUse != 0 && (Slot->Mask & Status) != 0) {
                if (Slot->Routine(Interrupt, Slot->Context)) {
                    Claimed = TRUE;
                }
            }
        }

        if (!Claimed) {
            // Bits may still show, but nobody serviced anything in this pass: stop here.
            return Result;
        }
        Result = TRUE;
    }

    // Some callback keeps claiming without clearing its cause. Give the processor back; on a
    // level-sensitive line a cause still pending raises the interrupt again at once.
    return TRUE;
}

// Powering down: once the flag is set, a pass of AdapterIsr that may still be reading the
// registers is waited for (the interrupt's lock), so that none reads them once the bus driver
// below has taken the function out of D0. Called with the adapter's mutex held, which keeps the
// interrupt object in place. Powering up: cleared once the function is back in D0.
VOID SetRegistersPowered(PADAPTER_EXTENSION Adapter, BOOLEAN Powered)
{
    InterlockedExchange(&Adapter->RegistersOff, Powered ? 0 : 1);
    if (!Powered && Adapter->InterruptObject != nullptr) {
        KeSynchronizeExecution(Adapter->InterruptObject, IsrHasLeft, nullptr);
    }
}

BOOLEAN IsrHasLeft(PVOID SynchronizeContext)
{
    UNREFERENCED_PARAMETER(SynchronizeContext);
    return TRUE;
}

NTSTATUS ConnectInterrupt(PADAPTER_EXTENSION Adapter)
{
    // No interrupt is connected here, so the table may be zeroed without synchronisation.
    ZeroSlots(Adapter);
    // Every UART starts silent: a port interrupt left enabled by firmware or a previous driver
    // would otherwise hold the shared line with no callback to service it.
    QuiescePorts(Adapter);

    if (!Adapter->HasInterrupt) {
        return STATUS_SUCCESS;
    }

    const KIRQL Irql = static_cast<KIRQL>(Adapter->InterruptLevel & 0xFF);
    NTSTATUS Status = IoConnectInterrupt(
        &Adapter->InterruptObject, AdapterIsr, Adapter, nullptr, Adapter->InterruptVector, Irql,
        Irql, static_cast<KINTERRUPT_MODE>(Adapter->InterruptMode), Adapter->InterruptShared,
        static_cast<KAFFINITY>(Adapter->InterruptAffinity), FALSE);
    if (!NT_SUCCESS(Status)) {
        Adapter->InterruptObject = nullptr;
        ReportEvent(Adapter->DriverObject, CorMsgError, "Unable to connect to interrupt line.");
    }
    return Status;
}

VOID DisconnectInterrupt(PADAPTER_EXTENSION Adapter)
{
    // Silence the UARTs while the ISR can still service what they raised last; a disconnected
    // line with a UART asserting it would be left unclaimed.
    QuiescePorts(Adapter);

    if (Adapter->InterruptObject != nullptr) {
        IoDisconnectInterrupt(Adapter->InterruptObject);
        Adapter->InterruptObject = nullptr;
        // The ISR can no longer run: the table may be emptied without synchronisation.
        ZeroSlots(Adapter);
    }
}

LONG RegisterPortIsr(PADAPTER_EXTENSION Adapter, PKSERVICE_ROUTINE Routine, PVOID Context,
                     ULONG Mask)
{
    if (Adapter->InterruptObject == nullptr) {
        return NoInterruptConnected;
    }

    SLOT_REQUEST Request;
    Request.Adapter = Adapter;
    Request.Slot = SlotsExhausted;
    Request.Routine = Routine;
    Request.Context = Context;
    Request.Mask = Mask;
    KeSynchronizeExecution(Adapter->InterruptObject, ClaimSlot, &Request);
    return Request.Slot;
}

VOID UnregisterPortIsr(PADAPTER_EXTENSION Adapter, ULONG Slot)
{
    // Also catches the negative answers of a failed registration.
    if (Slot >= InterruptSlotCount) {
        return;
    }
    // Without a connection the table is already all zero.
    if (Adapter->InterruptObject == nullptr) {
        return;
    }

    SLOT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Adapter = Adapter;
    Request.Slot = static_cast<LONG>(Slot);
    KeSynchronizeExecution(Adapter->InterruptObject, ReleaseSlot, &Request);
}

// Runs under the interrupt object's spin lock at its DIRQL: the ISR sees the slot before or
// after, never half-written.
BOOLEAN ClaimSlot(PVOID SynchronizeContext)
{
    const auto Request = static_cast<PSLOT_REQUEST>(SynchronizeContext);
    const PADAPTER_EXTENSION Adapter = Request->Adapter;

    for (ULONG Index = 0; Index < InterruptSlotCount; ++Index) {
        PINTERRUPT_SLOT Slot = &Adapter->InterruptSlots[Index];
        if (Slot->InUse == 0) {
            Slot->InUse = 1;
            Slot->Mask = static_cast<UCHAR>(Request->Mask & 0xFF);
            Slot->Routine = Request->Routine;
            Slot->Context = Request->Context;
            Request->Slot = static_cast<LONG>(Index);
            return TRUE;
        }
    }
    Request->Slot = SlotsExhausted;
    return FALSE;
}

BOOLEAN ReleaseSlot(PVOID SynchronizeContext)
{
    const auto Request = static_cast<PSLOT_REQUEST>(SynchronizeContext);
    PINTERRUPT_SLOT Slot = &Request->Adapter->InterruptSlots[Request->Slot];
    Slot->InUse = 0;
    Slot->Mask = 0;
    Slot->Routine = nullptr;
    Slot->Context = nullptr;
    return TRUE;
}

VOID QuiescePorts(PADAPTER_EXTENSION Adapter)
{
    for (PLIST_ENTRY Entry = Adapter->PortList.Flink; Entry != &Adapter->PortList;
         Entry = Entry->Flink) {
        const PPORT_EXTENSION Port = PortFromLink(Entry);
        // A port without a register block (before its first assignment, after a stop or a
        // failed start) has nothing to silence, and its zero IoBase is no address of ours.
        if (Port->IoLength == 0 || Port->Head.QuiesceRoutine == nullptr) {
            continue;
        }
        Port->Head.QuiesceRoutine(Port);
    }
}

VOID QuiescePort(PPORT_EXTENSION Port)
{
    if (Port->IoLength == 0) {
        return;
    }
    const ULONG64 Base = Port->IoBase;

    // Clear the divisor latch access bit so that offsets 0 and 1 reach the receive buffer and the
    // interrupt enable register; the line settings themselves stay as they are.
    const UCHAR LineControl = READ_PORT_UCHAR(IoPort(Base, UartLineControl));
    WRITE_PORT_UCHAR(IoPort(Base, UartLineControl),
                     static_cast<UCHAR>(LineControl & ~UartLcrDivisorLatch));

    // Every interrupt source of the UART off.
    WRITE_PORT_UCHAR(IoPort(Base, UartInterruptEnable), 0x00);

    // Reading these clears a pending modem status and line status cause; reading the
    // identification register clears a pending transmitter-empty cause.
    (VOID) READ_PORT_UCHAR(IoPort(Base, UartModemStatus));
    (VOID) READ_PORT_UCHAR(IoPort(Base, UartLineStatus));
    const UCHAR Cause = READ_PORT_UCHAR(IoPort(Base, UartInterruptIdent)) & UartIirCauseMask;

    // A cause still showing as receiver line status or character time-out is cleared by taking
    // the character at the head of the receive FIFO. Received-data-available is left alone: that
    // data belongs to the port driver, and the cause is harmless once the enable register is 0.
    if (Cause == UartIirLineStatus || Cause == UartIirCharacterTimeout) {
        (VOID) READ_PORT_UCHAR(IoPort(Base, UartReceiveBuffer));
    }
}
