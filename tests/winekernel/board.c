/* The modelled boards: what a plugged LX board's I/O ranges answer when the board carries
 * UARTs (CORBUS_PLUG_REQUEST.Uarts), what is plugged into each port's connector, and the
 * adapter's interrupt.
 *
 * Each port is a 16550A with the 16750's 64-byte FIFO mode, as the data sheets describe them where
 * a driver looks: 16- or 64-byte FIFOs (FCR bit 5, taken only while the divisor latch is open,
 * shown in IIR bit 5), the four interrupt causes in their priority order with their clearing
 * rules, the character time-out, modem status with its change bits. It has no loopback mode,
 * which corserial does not use.
 * BAR 1's first byte is the interrupt status register, bit k the INT output of UART k (not gated
 * by OUT2); the rest of BAR 1 reads zero. A pulled board's registers read all ones.
 *
 * Characters take their time on the wire: the UART's clock (73.728 MHz), its divisor and its
 * line format give the character time. One system thread stands for the wire and for the
 * processor that takes the interrupt: it moves each character when its time has come and,
 * whenever a UART's interrupt is pending, calls the service routine corcard connected, under the
 * interrupt's spin lock, then runs the DPCs queued meanwhile (dpc.c), before the next character
 * moves, as a processor answering a level-sensitive interrupt would. The model's clock never
 * runs ahead of real time; on a slow or loaded machine it falls behind, so the line gets slower
 * but no character is lost for it. Wine has no interrupt levels: the thread runs the routine at
 * the one level Wine has, and the record keeps the synchronize IRQL the platform would use.
 *
 * Far ends: a loopback plug or a null-modem cable to another port (TX to RX, RTS to CTS, DTR to
 * DSR and DCD), with any of a port's own wires broken on the way (Broken), or its transmitter off
 * its rate (RateError). A character framed otherwise than the receiver expects (other rate, word
 * length or parity presence) arrives with a framing error, one with the other kind of parity with
 * a parity error; a break arrives as one zero character with BI set.
 *
 * Lock order: InterruptLock, then UartLock. The port I/O emulation takes UartLock for each
 * access; nothing of a driver runs while it is held. */
#include "fixture.h"

#define UART_CLOCK 73728000ull
#define FIFO_SIZE 64
#define MAX_UARTS 8
#define TIMEOUT_CHARACTERS 4
#define NEVER (~0ull)
/* Service routine calls per wake while the line stays asserted, before the thread looks at the
 * wire again. */
#define SERVICE_ROUNDS 16
/* Longest sleep with nothing due: the thread looks again at least this often (100 ns units). */
#define IDLE_WAIT (-200000LL)

enum {
    IerRda = 0x01,
    IerThre = 0x02,
    IerRls = 0x04,
    IerMsr = 0x08,
    LcrBreak = 0x40,
    LcrDlab = 0x80,
    McrDtr = 0x01,
    McrRts = 0x02,
    LsrDr = 0x01,
    LsrOe = 0x02,
    LsrPe = 0x04,
    LsrFe = 0x08,
    LsrBi = 0x10,
    LsrThre = 0x20,
    LsrTemt = 0x40,
    LsrFifoError = 0x80,
    MsrDcts = 0x01,
    MsrDdsr = 0x02,
    MsrDdcd = 0x08,
    MsrCts = 0x10,
    MsrDsr = 0x20,
    MsrDcd = 0x80,
};

typedef struct {
    UCHAR Byte;
    UCHAR Errors; /* LsrPe, LsrFe, LsrBi: shown in LSR while the character is at the top */
} CHARACTER;

typedef struct UART UART;
struct UART {
    UCHAR Ier, Lcr, Mcr, Scr, Dll, Dlm, Fcr;
    BOOLEAN Fifo;
    BOOLEAN Fifo64;
    UCHAR Trigger;
    CHARACTER Rx[FIFO_SIZE];
    ULONG RxFirst, RxCount;
    UCHAR Tx[FIFO_SIZE];
    ULONG TxFirst, TxCount;
    BOOLEAN Shifting; /* the shift register holds a character, out at ShiftDone */
    UCHAR Shift;
    ULONGLONG ShiftDone;
    BOOLEAN Overrun;
    BOOLEAN ThrePending;
    BOOLEAN TimeoutPending;
    ULONGLONG RxActivity; /* last character in or RBR read: the time-out counts from here */
    UCHAR Inputs;         /* CTS, DSR, RI, DCD as MSR's high nibble */
    UCHAR Delta;          /* MSR's low nibble */
    BOOLEAN BreakPending; /* a break started: it reaches the far end at BreakDone */
    ULONGLONG BreakDone;
    ULONG Far;
    UART* Peer;
    ULONG Broken;   /* CORBUS_WIRE bits: this port's wires that do not reach the far end */
    LONG RateError; /* thousandths off the programmed rate of this port's transmitter */
    ULONG64 Transmitted, Received, Overruns, Breaks;
};

typedef struct {
    BOOLEAN Modelled;
    BOOLEAN Present;
    ULONG Count;
    USHORT Base;   /* BAR 0: UART k at Base + 8 k */
    USHORT Status; /* BAR 1 */
    ULONG Held;    /* characters still to arrive before the interrupt is serviced again */
    UART Uarts[MAX_UARTS];
} BOARD;

static BOARD Boards[CORBUS_MAX_SLOTS];
static KSPIN_LOCK UartLock;
static ULONGLONG ModelNow; /* the model's clock (ns), set by the thread */
static BOOLEAN Sleeping;   /* the thread waits for Wake */
static BOOLEAN Changed;    /* a register write or a DPC queued since the thread last looked */
static KEVENT Wake;
static HANDLE ProcessorThreadId;

/* ---- time ---------------------------------------------------------------------------------- */

ULONGLONG FixtureNs(VOID)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER count = KeQueryPerformanceCounter(&frequency);
    ULONGLONG f = (ULONGLONG)frequency.QuadPart, c = (ULONGLONG)count.QuadPart;
    return c / f * 1000000000ull + c % f * 1000000000ull / f;
}

/* The time of a register access: the thread's clock inside a service routine it called, real
 * time (when later) for the other threads. */
static ULONGLONG AccessTime(VOID)
{
    if (PsGetCurrentThreadId() == ProcessorThreadId) {
        return ModelNow;
    }
    ULONGLONG real = FixtureNs();
    return real > ModelNow ? real : ModelNow;
}

/* Start bit, 5 to 8 data bits, parity, 1, 1.5 or 2 stop bits, 16 clocks of divisor each. */
static ULONGLONG CharacterNs(const UART* u)
{
    ULONG divisor = u->Dll | (ULONG)u->Dlm << 8;
    ULONG halfBits = 2 * (1 + 5 + (u->Lcr & 3u)) + ((u->Lcr & 0x08) ? 2 : 0) +
                     ((u->Lcr & 0x04) ? ((u->Lcr & 3u) == 0 ? 3 : 4) : 2);
    return (ULONGLONG)halfBits * 8 * (divisor != 0 ? divisor : 65536) * 1000000000ull / UART_CLOCK;
}

/* ---- one UART ------------------------------------------------------------------------------ */

static UCHAR Depth(const UART* u)
{
    return u->Fifo ? (u->Fifo64 ? 64 : 16) : 1;
}

static UART* FarEnd(UART* u)
{
    switch (u->Far) {
    case CorbusFarLoopback:
        return u;
    case CorbusFarNullModem:
        return u->Peer;
    default:
        return NULL;
    }
}

static BOARD* BoardOf(const UART* u)
{
    for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
        if (u >= Boards[s].Uarts && u < Boards[s].Uarts + MAX_UARTS) {
            return &Boards[s];
        }
    }
    return NULL;
}

static VOID UpdateInputs(UART* u)
{
    UART* far = FarEnd(u);
    UCHAR now = 0;
    if (far != NULL && BoardOf(far)->Present) {
        now |= (far->Mcr & McrDtr) && !(far->Broken & CorbusWireDtr) ? MsrDsr | MsrDcd : 0;
        now |= (far->Mcr & McrRts) && !(far->Broken & CorbusWireRts) ? MsrCts : 0;
    }
    UCHAR changed = now ^ u->Inputs;
    u->Delta |= (changed & MsrCts) ? MsrDcts : 0;
    u->Delta |= (changed & MsrDsr) ? MsrDdsr : 0;
    u->Delta |= (changed & MsrDcd) ? MsrDdcd : 0;
    u->Inputs = now;
}

static VOID Receive(UART* u, CHARACTER c, ULONGLONG When)
{
    BOARD* board = BoardOf(u);
    if (!board->Present) {
        return;
    }
    u->RxActivity = When;
    u->TimeoutPending = FALSE;
    if (board->Held != 0) {
        board->Held--;
    }
    if (u->RxCount < Depth(u)) {
        u->Rx[(u->RxFirst + u->RxCount++) % FIFO_SIZE] = c;
        u->Received++;
        return;
    }
    /* A full FIFO keeps its characters and the new one is lost; without FIFOs the new character
     * overwrites the one in the receive buffer. */
    if (!u->Fifo) {
        u->Rx[u->RxFirst] = c;
    }
    u->Overrun = TRUE;
    u->Overruns++;
}

/* What the far end's receiver makes of a character Sender sent. */
static CHARACTER Frame(const UART* Sender, const UART* Receiver, UCHAR Byte)
{
    CHARACTER c = {(UCHAR)(Byte & (0xFFu >> (3 - (Receiver->Lcr & 3u)))), 0};
    /* Two UARTs sampling at 16 times the rate keep in step over a character within about 3 %. */
    if (Sender->Dll != Receiver->Dll || Sender->Dlm != Receiver->Dlm ||
        (Sender->Lcr & 0x0B) != (Receiver->Lcr & 0x0B) || Sender->RateError > 30 ||
        Sender->RateError < -30) {
        c.Errors = LsrFe;
    } else if ((Receiver->Lcr & 0x08) && (Sender->Lcr & 0x30) != (Receiver->Lcr & 0x30)) {
        c.Errors = LsrPe;
    }
    return c;
}

/* The next character of the transmit FIFO goes into the shift register at Start. */
static VOID StartShift(UART* u, ULONGLONG Start)
{
    if (u->Shifting || u->TxCount == 0) {
        return;
    }
    u->Shift = u->Tx[u->TxFirst];
    u->TxFirst = (u->TxFirst + 1) % FIFO_SIZE;
    u->TxCount--;
    u->Shifting = TRUE;
    u->ShiftDone = Start + CharacterNs(u);
    if (u->TxCount == 0) {
        u->ThrePending = TRUE;
    }
}

static ULONGLONG NextDue(const UART* u)
{
    ULONGLONG due = NEVER;
    if (u->Shifting) {
        due = u->ShiftDone;
    }
    if (u->BreakPending && u->BreakDone < due) {
        due = u->BreakDone;
    }
    if (u->Fifo && u->RxCount != 0 && !u->TimeoutPending) {
        ULONGLONG timeout = u->RxActivity + TIMEOUT_CHARACTERS * CharacterNs(u);
        if (timeout < due) {
            due = timeout;
        }
    }
    return due;
}

/* Everything of u that falls due at Now. */
static VOID Advance(UART* u, ULONGLONG Now)
{
    UART* far = FarEnd(u);
    if (u->Shifting && u->ShiftDone <= Now) {
        u->Shifting = FALSE;
        u->Transmitted++;
        if (far != NULL && !(u->Broken & CorbusWireTx)) {
            Receive(far, Frame(u, far, u->Shift), u->ShiftDone);
        }
        StartShift(u, u->ShiftDone);
    }
    if (u->BreakPending && u->BreakDone <= Now) {
        u->BreakPending = FALSE;
        u->Breaks++;
        if (far != NULL && !(u->Broken & CorbusWireTx)) {
            CHARACTER c = {0, LsrBi};
            Receive(far, c, u->BreakDone);
        }
    }
    if (u->Fifo && u->RxCount != 0 && !u->TimeoutPending &&
        u->RxActivity + TIMEOUT_CHARACTERS * CharacterNs(u) <= Now) {
        u->TimeoutPending = TRUE;
    }
}

/* The interrupt identification's low four bits: 1 for nothing pending. */
static UCHAR Cause(const UART* u)
{
    BOOLEAN topError = u->RxCount != 0 && u->Rx[u->RxFirst].Errors != 0;
    if ((u->Ier & IerRls) && (u->Overrun || topError)) {
        return 0x06;
    }
    if ((u->Ier & IerRda) && u->RxCount != 0 && u->RxCount >= (u->Fifo ? u->Trigger : 1u)) {
        return 0x04;
    }
    if ((u->Ier & IerRda) && u->TimeoutPending && u->RxCount != 0) {
        return 0x0C;
    }
    if ((u->Ier & IerThre) && u->ThrePending) {
        return 0x02;
    }
    if ((u->Ier & IerMsr) && u->Delta != 0) {
        return 0x00;
    }
    return 0x01;
}

static UCHAR LineStatus(const UART* u)
{
    UCHAR v = 0;
    if (u->RxCount != 0) {
        v |= LsrDr | u->Rx[u->RxFirst].Errors;
        for (ULONG i = 0; i < u->RxCount; ++i) {
            v |= u->Rx[(u->RxFirst + i) % FIFO_SIZE].Errors != 0 ? LsrFifoError : 0;
        }
    }
    v |= u->Overrun ? LsrOe : 0;
    v |= u->TxCount == 0 ? LsrThre : 0;
    v |= u->TxCount == 0 && !u->Shifting ? LsrTemt : 0;
    return v;
}

static UCHAR UartRead(UART* u, ULONG Register)
{
    switch (Register) {
    case 0: {
        if (u->Lcr & LcrDlab) {
            return u->Dll;
        }
        u->RxActivity = AccessTime();
        u->TimeoutPending = FALSE;
        if (u->RxCount == 0) {
            return 0;
        }
        UCHAR byte = u->Rx[u->RxFirst].Byte;
        u->RxFirst = (u->RxFirst + 1) % FIFO_SIZE;
        u->RxCount--;
        return byte;
    }
    case 1:
        return (u->Lcr & LcrDlab) ? u->Dlm : u->Ier;
    case 2: {
        UCHAR cause = Cause(u);
        if (cause == 0x02) {
            u->ThrePending = FALSE; /* reading IIR while it shows THRE clears it */
        }
        return (UCHAR)(cause | (u->Fifo ? 0xC0 : 0) | (u->Fifo && u->Fifo64 ? 0x20 : 0));
    }
    case 3:
        return u->Lcr;
    case 4:
        return u->Mcr;
    case 5: {
        UCHAR v = LineStatus(u);
        u->Overrun = FALSE;
        if (u->RxCount != 0) {
            u->Rx[u->RxFirst].Errors = 0;
        }
        return v;
    }
    case 6: {
        UCHAR v = (UCHAR)(u->Inputs | u->Delta);
        u->Delta = 0;
        return v;
    }
    default:
        return u->Scr;
    }
}

static VOID UartWrite(UART* u, ULONG Register, UCHAR Value)
{
    switch (Register) {
    case 0:
        if (u->Lcr & LcrDlab) {
            u->Dll = Value;
            break;
        }
        if (u->TxCount < Depth(u)) {
            u->Tx[(u->TxFirst + u->TxCount++) % FIFO_SIZE] = Value;
        }
        u->ThrePending = FALSE;
        StartShift(u, AccessTime());
        break;
    case 1:
        if (u->Lcr & LcrDlab) {
            u->Dlm = Value;
            break;
        }
        /* Enabling the transmitter interrupt with the holding register empty raises it. */
        if ((Value & IerThre) && !(u->Ier & IerThre) && u->TxCount == 0) {
            u->ThrePending = TRUE;
        }
        u->Ier = (UCHAR)(Value & 0x0F);
        break;
    case 2: {
        BOOLEAN fifo = (Value & 0x01) != 0;
        BOOLEAN fifo64 = (u->Lcr & LcrDlab) ? (Value & 0x20) != 0 : u->Fifo64;
        BOOLEAN resized = fifo != u->Fifo || fifo64 != u->Fifo64;
        if (resized || (Value & 0x02)) {
            u->RxCount = 0;
            u->TimeoutPending = FALSE;
        }
        if (resized || (Value & 0x04)) {
            u->TxCount = 0;
        }
        u->Fifo = fifo;
        u->Fifo64 = fifo64;
        static const UCHAR triggers[2][4] = {{1, 4, 8, 14}, {1, 16, 32, 56}};
        u->Trigger = triggers[fifo64][Value >> 6];
        u->Fcr = (UCHAR)((Value & ~0x26) | (fifo64 ? 0x20 : 0));
        break;
    }
    case 3:
        if ((Value & LcrBreak) && !(u->Lcr & LcrBreak)) {
            u->BreakPending = TRUE;
            u->BreakDone = AccessTime() + CharacterNs(u);
        }
        u->Lcr = Value;
        break;
    case 4:
        u->Mcr = (UCHAR)(Value & 0x1F);
        UpdateInputs(u);
        if (u->Far == CorbusFarNullModem) {
            UpdateInputs(u->Peer);
        }
        break;
    case 7:
        u->Scr = Value;
        break;
    default:
        break; /* LSR and MSR are read-only */
    }
}

static VOID Reset(UART* u)
{
    RtlZeroMemory(u, sizeof(*u));
    u->Trigger = 1;
}

/* ---- the boards' I/O ranges ---------------------------------------------------------------- */

/* The board, and the UART (NULL for BAR 1), of an I/O port. UartLock held. */
static BOARD* Decode(USHORT Port, UART** Uart, ULONG* Register)
{
    for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
        BOARD* b = &Boards[s];
        if (!b->Modelled) {
            continue;
        }
        if (Port >= b->Base && Port < b->Base + 8 * b->Count) {
            *Uart = &b->Uarts[(Port - b->Base) / 8];
            *Register = (Port - b->Base) % 8;
            return b;
        }
        if (Port >= b->Status && Port < b->Status + 16) {
            *Uart = NULL;
            *Register = Port - b->Status;
            return b;
        }
    }
    return NULL;
}

static UCHAR StatusRegister(const BOARD* b)
{
    UCHAR bits = 0;
    for (ULONG k = 0; k < b->Count; ++k) {
        bits |= Cause(&b->Uarts[k]) != 0x01 ? (UCHAR)(1u << k) : 0;
    }
    return bits;
}

BOOLEAN BoardRead(USHORT Port, UCHAR* Value)
{
    UART* u;
    ULONG reg;
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    BOARD* b = Decode(Port, &u, &reg);
    if (b != NULL) {
        if (!b->Present) {
            *Value = 0xFF;
        } else if (u != NULL) {
            *Value = UartRead(u, reg);
        } else {
            *Value = reg == 0 ? StatusRegister(b) : 0;
        }
    }
    KeReleaseSpinLock(&UartLock, old);
    return b != NULL;
}

BOOLEAN BoardWrite(USHORT Port, UCHAR Value)
{
    UART* u;
    ULONG reg;
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    BOARD* b = Decode(Port, &u, &reg);
    BOOLEAN wake = FALSE;
    if (b != NULL && b->Present && u != NULL) {
        UartWrite(u, reg, Value);
        /* The thread may sleep past what this write made due or pending. */
        Changed = TRUE;
        wake = Sleeping;
        Sleeping = FALSE;
    }
    KeReleaseSpinLock(&UartLock, old);
    if (wake) {
        KeSetEvent(&Wake, IO_NO_INCREMENT, FALSE);
    }
    return b != NULL;
}

/* ---- the wire and the interrupt line --------------------------------------------------------- */

/* A present board's UART has its interrupt pending, and the interrupt is not held. Asked under
 * InterruptLock, so that no synchronised routine clears the cause before the service routine
 * runs. */
static BOOLEAN LineAsserted(VOID)
{
    BOOLEAN asserted = FALSE;
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
        const BOARD* b = &Boards[s];
        asserted |= b->Modelled && b->Present && b->Held == 0 && StatusRegister(b) != 0;
    }
    KeReleaseSpinLock(&UartLock, old);
    return asserted;
}

/* The processor takes the level-sensitive interrupt: the service routine runs under the
 * interrupt's spin lock, again while the line stays asserted. */
static VOID ServiceInterrupt(VOID)
{
    for (ULONG round = 0; round < SERVICE_ROUNDS; ++round) {
        BOOLEAN claimed = FALSE;
        KIRQL old;
        KeAcquireSpinLock(&InterruptLock, &old);
        BOOLEAN called = LineAsserted() && CallServiceRoutine(&claimed);
        KeReleaseSpinLock(&InterruptLock, old);
        if (!called) {
            return;
        }
        InterlockedIncrement((LONG*)&Record.Interrupts);
        if (!claimed) {
            /* A real line would interrupt again at once; the thread looks again later. */
            InterlockedIncrement((LONG*)&Record.InterruptsDeclined);
            return;
        }
    }
}

static VOID NTAPI ProcessorThread(PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    ProcessorThreadId = PsGetCurrentThreadId();
    for (;;) {
        KIRQL old;
        KeAcquireSpinLock(&UartLock, &old);
        Changed = FALSE;
        ULONGLONG now = FixtureNs();
        ULONGLONG due = NEVER;
        for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
            for (ULONG k = 0; Boards[s].Present && k < Boards[s].Count; ++k) {
                ULONGLONG next = NextDue(&Boards[s].Uarts[k]);
                due = next < due ? next : due;
            }
        }
        if (due <= now) {
            ModelNow = due > ModelNow ? due : ModelNow;
            for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
                for (ULONG k = 0; Boards[s].Present && k < Boards[s].Count; ++k) {
                    Advance(&Boards[s].Uarts[k], due);
                }
            }
        } else {
            ModelNow = now > ModelNow ? now : ModelNow;
        }
        KeReleaseSpinLock(&UartLock, old);

        ServiceInterrupt();
        const ULONGLONG timer = TimersExpire(FixtureNs());
        DpcsRun();
        if (due <= now) {
            continue;
        }
        due = timer < due ? timer : due;
        now = FixtureNs();
        KeAcquireSpinLock(&UartLock, &old);
        BOOLEAN again = Changed || due <= now;
        Sleeping = !again;
        KeReleaseSpinLock(&UartLock, old);
        if (again) {
            continue;
        }
        LARGE_INTEGER wait;
        wait.QuadPart = due == NEVER ? IDLE_WAIT : -(LONGLONG)((due - now) / 100 + 1);
        if (wait.QuadPart < IDLE_WAIT) {
            wait.QuadPart = IDLE_WAIT;
        }
        KeWaitForSingleObject(&Wake, Executive, KernelMode, FALSE, &wait);
        KeAcquireSpinLock(&UartLock, &old);
        Sleeping = FALSE;
        KeReleaseSpinLock(&UartLock, old);
    }
}

/* ---- control ------------------------------------------------------------------------------- */

VOID BoardsInitialize(VOID)
{
    KeInitializeSpinLock(&UartLock);
    KeInitializeEvent(&Wake, SynchronizationEvent, FALSE);
    HANDLE thread;
    if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                        ProcessorThread, NULL))) {
        ZwClose(thread);
    }
}

static USHORT Bar(const CORBUS_PLUG_REQUEST* Request, ULONG Offset)
{
    return (USHORT)((Request->Config[Offset] | Request->Config[Offset + 1] << 8) & ~3u);
}

VOID BoardPlug(ULONG Slot, const CORBUS_PLUG_REQUEST* Request)
{
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    BOARD* b = &Boards[Slot];
    RtlZeroMemory(b, sizeof(*b));
    if (Request->Uarts != 0) {
        b->Modelled = TRUE;
        b->Present = TRUE;
        b->Count = Request->Uarts < MAX_UARTS ? Request->Uarts : MAX_UARTS;
        b->Base = Bar(Request, 0x10);
        b->Status = Bar(Request, 0x14);
        for (ULONG k = 0; k < b->Count; ++k) {
            Reset(&b->Uarts[k]);
        }
    }
    KeReleaseSpinLock(&UartLock, old);
}

VOID BoardUnplug(ULONG Slot)
{
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    BOARD* b = &Boards[Slot];
    b->Present = FALSE;
    /* A cable to a port of another board goes dead with it. */
    for (ULONG s = 0; s < CORBUS_MAX_SLOTS; ++s) {
        for (ULONG k = 0; Boards[s].Present && k < Boards[s].Count; ++k) {
            UpdateInputs(&Boards[s].Uarts[k]);
        }
    }
    KeReleaseSpinLock(&UartLock, old);
}

static VOID Disconnect(UART* u)
{
    if (u->Far == CorbusFarNullModem) {
        u->Peer->Far = CorbusFarOpen;
        u->Peer->Peer = NULL;
        u->Peer->Broken = 0;
        u->Peer->RateError = 0;
    }
    u->Far = CorbusFarOpen;
    u->Peer = NULL;
    u->Broken = 0;
    u->RateError = 0;
}

NTSTATUS BoardLine(const CORBUS_LINE_REQUEST* Request)
{
    BOARD* b = &Boards[0];
    if (!b->Modelled || Request->Port < 1 || Request->Port > b->Count ||
        Request->Far > CorbusFarNullModem ||
        (Request->Far == CorbusFarNullModem &&
         (Request->Peer < 1 || Request->Peer > b->Count || Request->Peer == Request->Port))) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    UART* u = &b->Uarts[Request->Port - 1];
    UART* p = Request->Far == CorbusFarNullModem ? &b->Uarts[Request->Peer - 1] : NULL;
    UART* ends[4] = {u, u->Peer, p, p != NULL ? p->Peer : NULL};
    /* Whatever was plugged into either connector before comes out. */
    Disconnect(u);
    if (p != NULL) {
        Disconnect(p);
        p->Far = CorbusFarNullModem;
        p->Peer = u;
        u->Peer = p;
    }
    u->Far = Request->Far;
    u->Broken = Request->Broken;
    u->RateError = Request->RateError;
    for (ULONG i = 0; i < 4; ++i) {
        if (ends[i] != NULL) {
            UpdateInputs(ends[i]);
        }
    }
    Changed = TRUE;
    BOOLEAN wake = Sleeping;
    Sleeping = FALSE;
    KeReleaseSpinLock(&UartLock, old);
    if (wake) {
        KeSetEvent(&Wake, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS BoardUart(ULONG Port, CORBUS_UART* Out)
{
    BOARD* b = &Boards[0];
    if (!b->Modelled || Port < 1 || Port > b->Count) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    const UART* u = &b->Uarts[Port - 1];
    RtlZeroMemory(Out, sizeof(*Out));
    Out->Ier = u->Ier;
    Out->Lcr = u->Lcr;
    Out->Mcr = u->Mcr;
    Out->Fcr = u->Fcr;
    Out->Dll = u->Dll;
    Out->Dlm = u->Dlm;
    Out->Msr = u->Inputs;
    Out->Lsr = LineStatus(u);
    Out->RxLevel = u->RxCount;
    Out->Transmitted = u->Transmitted;
    Out->Received = u->Received;
    Out->Overruns = u->Overruns;
    Out->Breaks = u->Breaks;
    KeReleaseSpinLock(&UartLock, old);
    return STATUS_SUCCESS;
}

VOID BoardKick(VOID)
{
    if (PsGetCurrentThreadId() == ProcessorThreadId) {
        return; /* it looks again before it sleeps */
    }
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    Changed = TRUE;
    BOOLEAN wake = Sleeping;
    Sleeping = FALSE;
    KeReleaseSpinLock(&UartLock, old);
    if (wake) {
        KeSetEvent(&Wake, IO_NO_INCREMENT, FALSE);
    }
}

VOID BoardHoldInterrupt(ULONG Characters)
{
    KIRQL old;
    KeAcquireSpinLock(&UartLock, &old);
    Boards[0].Held = Characters;
    KeReleaseSpinLock(&UartLock, old);
}
