// Handshake and flow control, both directions. Everything here is interrupt-synchronised: the
// callback runs it as the modem lines and the receive queue change, and the control codes, open,
// purge, power and plug-and-play run it when the settings or the port's state change.
//
// Transmit side (the other end stops us): CTS, DSR and DCD handshakes hold the transmitter while
// their line is low; XOFF received (with automatic transmit flow control) holds it until XON.
// The 16550 has no automatic flow control of its own, so a hold takes effect at the next FIFO
// burst: what is already in the transmit FIFO still goes out.
//
// Receive side (we stop the other end): when the receive queue fills to within XoffLimit bytes of
// its size, RTS and/or DTR drop (for the handshakes that use them) and XOFF is sent (automatic
// receive flow control); when it drains to XonLimit bytes they come back and XON is sent. On the
// way to D3 or a stop (TxPaused) the far end is held whatever the queue says: the UART loses what
// the far end sends once the board powers down. The receive flow state (RxFlowOff, the XON or
// XOFF waiting to go out, whether the far end has our XOFF, the handshake lines) changes only
// here: ReceiveFlowOff and ReceiveFlowOn follow the queue, ReceiveFlowReset starts it over when
// the settings, the queue or the port's power change, and HoldFarEnd stops the far end before
// the UART stops listening. The far end is never left waiting on an XOFF nobody takes back.
#include "corserial.h"

namespace {

constexpr ULONG HardwareHolds =
    SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD;

BOOLEAN RtsHandshake(const SERIAL_SHARED* S)
{
    return (S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

BOOLEAN DtrHandshake(const SERIAL_SHARED* S)
{
    return (S->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

BOOLEAN XonXoffReceive(const SERIAL_SHARED* S)
{
    return (S->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
}

BOOLEAN ReceiveFlowInUse(const SERIAL_SHARED* S)
{
    return RtsHandshake(S) || DtrHandshake(S) || XonXoffReceive(S);
}

// The handshake lines say "send" while the port is open, its queue has room and it is not on its
// way down; the lines the program or the settings own are left as they are.
VOID ApplyHandshakeLines(PSERIAL_SHARED S)
{
    const UCHAR Go = S->Open && !S->RxFlowOff && !S->TxPaused ? (McrRts | McrDtr) : 0;
    UCHAR Owned = 0;
    if (RtsHandshake(S)) {
        Owned |= McrRts;
    }
    if (DtrHandshake(S)) {
        Owned |= McrDtr;
    }
    UartSetMcr(S, static_cast<UCHAR>(Owned & Go), static_cast<UCHAR>(Owned & ~Go));
}

// The XON/XOFF half of the receive flow state. What goes out is the difference between what the
// far end was last told (SERIAL_TX_WAITING_XOFF_SENT: it has our XOFF) and what is wanted now: an
// XOFF not yet sent is simply dropped when it is no longer wanted, and an XON is owed whenever the
// far end has an XOFF that no longer holds, whatever the settings have become meanwhile.
// The caller starts an idle transmitter for it (the callback does so in its last step).
VOID WantFarEndStopped(PSERIAL_SHARED S, BOOLEAN Stopped)
{
    const BOOLEAN HasXoff = (S->HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    if (Stopped) {
        S->FlowCharPending = HasXoff ? SerialFlowCharNone : SerialFlowCharXoff;
    } else {
        S->FlowCharPending = HasXoff ? SerialFlowCharXon : SerialFlowCharNone;
    }
}

} // namespace

BOOLEAN TransmitHeld(const SERIAL_SHARED* S)
{
    ULONG Holds =
        S->HoldReasons & (HardwareHolds | SERIAL_TX_WAITING_FOR_XON | SERIAL_TX_WAITING_ON_BREAK);
    if (!(S->HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE)) {
        Holds |= S->HoldReasons & SERIAL_TX_WAITING_XOFF_SENT;
    }
    return Holds != 0;
}

BOOLEAN ReceivePlain(const SERIAL_SHARED* S)
{
    return !(S->HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_NULL_STRIPPING)) &&
           !(S->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) &&
           !(S->WaitMask & SERIAL_EV_RXFLAG) && S->EscapeChar == 0;
}

VOID UpdateTransmitHolds(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const ULONG Shake = S->HandFlow.ControlHandShake;
    ULONG Holds = S->HoldReasons & ~(HardwareHolds | SERIAL_RX_WAITING_FOR_DSR);
    if ((Shake & SERIAL_CTS_HANDSHAKE) && !(S->Msr & MsrCts)) {
        Holds |= SERIAL_TX_WAITING_FOR_CTS;
    }
    if ((Shake & SERIAL_DSR_HANDSHAKE) && !(S->Msr & MsrDsr)) {
        Holds |= SERIAL_TX_WAITING_FOR_DSR;
    }
    if ((Shake & SERIAL_DCD_HANDSHAKE) && !(S->Msr & MsrDcd)) {
        Holds |= SERIAL_TX_WAITING_FOR_DCD;
    }
    if ((Shake & SERIAL_DSR_SENSITIVITY) && !(S->Msr & MsrDsr)) {
        Holds |= SERIAL_RX_WAITING_FOR_DSR;
    }
    S->HoldReasons = Holds;
    // A transmitter that was held and is free now raises no interrupt of its own.
    TransmitKick(Port);
}

VOID ReceiveFlowOff(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (S->RxFlowOff || !ReceiveFlowInUse(S)) {
        return;
    }
    S->RxFlowOff = TRUE;
    ApplyHandshakeLines(S);
    if (XonXoffReceive(S)) {
        WantFarEndStopped(S, TRUE); // the callback's last step starts the transmitter for it
    }
}

VOID ReceiveFlowOn(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (!S->RxFlowOff || S->TxPaused) {
        return; // on the way down the far end stays held; the way up starts the state over
    }
    S->RxFlowOff = FALSE;
    ApplyHandshakeLines(S);
    WantFarEndStopped(S, FALSE);
    TransmitKick(Port);
}

VOID ReceiveFlowReset(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const BOOLEAN Full = S->Rx.Count + static_cast<ULONG>(S->HandFlow.XoffLimit) >= S->Rx.Size;
    const BOOLEAN Stop = ReceiveFlowInUse(S) && (S->TxPaused || (S->Open && Full));
    S->RxFlowOff = Stop;
    ApplyHandshakeLines(S);
    WantFarEndStopped(S, Stop && XonXoffReceive(S));
    TransmitKick(Port);
}

BOOLEAN HoldFarEnd(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const UCHAR Before = S->Mcr;
    const BOOLEAN HadXoff = (S->HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    S->TxPaused = TRUE;
    ReceiveFlowReset(Port);
    const BOOLEAN LinesDropped = (Before & ~S->Mcr & (McrRts | McrDtr)) != 0;
    // An idle transmitter has taken the XOFF already: told all the same.
    const BOOLEAN XoffNow = S->FlowCharPending == SerialFlowCharXoff ||
                            (S->HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
    return LinesDropped || (XoffNow && !HadXoff);
}

VOID ApplySettingsLines(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    UCHAR Lines = 0;
    if (S->Open && (S->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) {
        Lines |= McrDtr;
    }
    if (S->Open && (S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) {
        Lines |= McrRts; // off, or transmit toggle: raised only while something is being sent
    }
    UartSetMcr(S, Lines, static_cast<UCHAR>((McrDtr | McrRts) & ~Lines));
    ReceiveFlowReset(Port);
}

BOOLEAN FinishRtsToggle(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const BOOLEAN Toggle = (S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    const BOOLEAN Sending = !S->TxIdle || S->TxRemaining != 0 || S->ImmediatePending ||
                            S->FlowCharPending != SerialFlowCharNone;
    if (!Toggle || Sending || !S->IsrLive) {
        S->RtsToggleDrain = FALSE;
        return TRUE;
    }
    // RS-485 transmitter enable: the last character must leave the shift register first.
    const UCHAR Lsr = UartReadLineStatus(Port);
    if (Lsr != RegisterGone && !(Lsr & LsrTemt)) {
        return FALSE;
    }
    UartSetMcr(S, 0, McrRts);
    S->RtsToggleDrain = FALSE;
    return TRUE;
}

// The drain is looked at a character time from now, and armed once: the service DPC runs for
// every received byte, and re-arming it there would push the drop back for as long as the far end
// keeps sending.
VOID ArmRtsToggleDrain(PSERIAL_PORT Port)
{
    if (!Port->DrainArmed) {
        Port->DrainArmed = TRUE;
        ArmTimer(Port, &Port->DrainTimer, &Port->DrainDpc,
                 static_cast<LONGLONG>(CharacterMicroseconds(&Port->Shared)) * 10);
    }
}

VOID DrainDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    PortLock Lock(Port);
    Port->DrainArmed = FALSE;
    BOOLEAN Finished = TRUE;
    SyncWithIsr(Port, [&] { Finished = !Port->Shared.RtsToggleDrain || FinishRtsToggle(Port); });
    if (!Finished) {
        ArmRtsToggleDrain(Port);
    }
}
