// Handshake and flow control, both directions. Everything here is interrupt-synchronised: the
// callback runs it as the modem lines and the receive queue change, and the control codes run it
// when the settings change.
//
// Transmit side (the other end stops us): CTS, DSR and DCD handshakes hold the transmitter while
// their line is low; XOFF received (with automatic transmit flow control) holds it until XON.
// The 16550 has no automatic flow control of its own, so a hold takes effect at the next FIFO
// burst: what is already in the transmit FIFO still goes out.
//
// Receive side (we stop the other end): when the receive queue fills to within XoffLimit bytes of
// its size, RTS and/or DTR drop (for the handshakes that use them) and XOFF is sent (automatic
// receive flow control); when it drains to XonLimit bytes they come back and XON is sent. On the
// way to D3 (TxPaused) the handshake lines stay down whatever the queue or the settings say: the
// UART loses what the far end sends once the board powers down.
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

// Queues XON or XOFF ahead of everything else the transmitter has to send.
VOID SendFlowChar(PSERIAL_PORT Port, UCHAR Char)
{
    PSERIAL_SHARED S = &Port->Shared;
    S->FlowChar = Char;
    S->FlowCharPending = TRUE;
    TransmitKick(Port);
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
           !(S->WaitMask & SERIAL_EV_RXFLAG);
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
    const BOOLEAN Xon = (S->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    if (S->RxFlowOff || !(RtsHandshake(S) || DtrHandshake(S) || Xon)) {
        return;
    }
    S->RxFlowOff = TRUE;
    UCHAR Clear = 0;
    if (RtsHandshake(S)) {
        Clear |= McrRts;
    }
    if (DtrHandshake(S)) {
        Clear |= McrDtr;
    }
    UartSetMcr(S, 0, Clear);
    if (Xon) {
        SendFlowChar(Port, S->Chars.XoffChar);
    }
}

VOID ReceiveFlowOn(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    if (!S->RxFlowOff) {
        return;
    }
    S->RxFlowOff = FALSE;
    UCHAR Set = 0;
    if (RtsHandshake(S) && !S->TxPaused) {
        Set |= McrRts;
    }
    if (DtrHandshake(S) && !S->TxPaused) {
        Set |= McrDtr;
    }
    UartSetMcr(S, Set, 0);
    if (S->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) {
        if (S->FlowCharPending && S->FlowChar == S->Chars.XoffChar) {
            S->FlowCharPending = FALSE; // the XOFF never went out: nothing to take back
        } else if (S->HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) {
            SendFlowChar(Port, S->Chars.XonChar);
        }
    }
}

UCHAR ModemControlFor(const SERIAL_SHARED* S)
{
    UCHAR Lines = 0;
    switch (S->HandFlow.ControlHandShake & SERIAL_DTR_MASK) {
    case SERIAL_DTR_CONTROL:
        Lines |= McrDtr;
        break;
    case SERIAL_DTR_HANDSHAKE:
        Lines |= S->RxFlowOff || S->TxPaused ? 0 : McrDtr;
        break;
    default:
        break;
    }
    switch (S->HandFlow.FlowReplace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        Lines |= McrRts;
        break;
    case SERIAL_RTS_HANDSHAKE:
        Lines |= S->RxFlowOff || S->TxPaused ? 0 : McrRts;
        break;
    default:
        // Off, or transmit toggle: raised only while something is being sent.
        break;
    }
    return Lines;
}

BOOLEAN FinishRtsToggle(PSERIAL_PORT Port)
{
    PSERIAL_SHARED S = &Port->Shared;
    const BOOLEAN Toggle = (S->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    const BOOLEAN Sending =
        !S->TxIdle || S->TxRemaining != 0 || S->ImmediatePending || S->FlowCharPending;
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

VOID DrainDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    const auto Port = static_cast<PSERIAL_PORT>(DeferredContext);
    PortLock Lock(Port);
    BOOLEAN Finished = TRUE;
    SyncWithIsr(Port, [&] { Finished = !Port->Shared.RtsToggleDrain || FinishRtsToggle(Port); });
    if (!Finished) {
        SetRelativeTimer(&Port->DrainTimer, &Port->DrainDpc,
                         static_cast<LONGLONG>(CharacterMicroseconds(&Port->Shared)) * 10);
    }
}
