// The UART of one port: a 16550A-compatible part (with the 16750's 64-byte FIFO mode), eight
// byte-wide registers from the port's I/O base. Register facts as the data sheets give them.
#pragma once

#include "frame/kernel.h"

// Register offsets. With the divisor latch access bit (LCR bit 7) set, offsets 0 and 1 are the
// divisor latch's low and high bytes instead of RBR/THR and IER.
enum : ULONG {
    UartRbrThr = 0, // receive buffer (read), transmit holding (write)
    UartDll = 0,
    UartIer = 1,
    UartDlm = 1,
    UartIirFcr = 2, // interrupt identification (read), FIFO control (write)
    UartLcr = 3,
    UartMcr = 4,
    UartLsr = 5,
    UartMsr = 6,
    UartScr = 7,
    UartRegisterCount = 8,
};

// Interrupt enable.
constexpr UCHAR IerRda = 0x01;  // received data available (and the character time-out)
constexpr UCHAR IerThre = 0x02; // transmit holding register empty
constexpr UCHAR IerRls = 0x04;  // receiver line status
constexpr UCHAR IerMsr = 0x08;  // modem status

// Interrupt identification: bit 0 clear when an interrupt is pending; bits 3:1 say which, in
// priority order line status, received data, character time-out, transmitter, modem status.
constexpr UCHAR IirNoInterrupt = 0x01;
constexpr UCHAR IirCauseMask = 0x0E;
constexpr UCHAR IirRls = 0x06;
constexpr UCHAR IirRda = 0x04;
constexpr UCHAR IirTimeout = 0x0C;
constexpr UCHAR IirThre = 0x02;
constexpr UCHAR IirMsr = 0x00;
constexpr UCHAR IirFifosEnabled = 0xC0;

// FIFO control. Bit 5 (the 64-byte FIFOs) is taken only while the divisor latch is open.
constexpr UCHAR FcrEnable = 0x01;
constexpr UCHAR FcrRxReset = 0x02;
constexpr UCHAR FcrTxReset = 0x04;
constexpr UCHAR Fcr64Byte = 0x20;
constexpr UCHAR FcrTriggerShift = 6;
constexpr UCHAR FcrTriggerMask = 0xC0; // receive trigger, by the tables below

// Line control.
constexpr UCHAR LcrWordLengthMask = 0x03; // 5 + value data bits
constexpr UCHAR LcrStopBits = 0x04;       // 2 stop bits (1.5 with 5 data bits)
constexpr UCHAR LcrParityEnable = 0x08;
constexpr UCHAR LcrEvenParity = 0x10;
constexpr UCHAR LcrStickParity = 0x20;
constexpr UCHAR LcrBreak = 0x40;
constexpr UCHAR LcrDlab = 0x80;

// Modem control.
constexpr UCHAR McrDtr = 0x01;
constexpr UCHAR McrRts = 0x02;
constexpr UCHAR McrOut1 = 0x04;
constexpr UCHAR McrOut2 = 0x08;
constexpr UCHAR McrLoop = 0x10;

// Line status.
constexpr UCHAR LsrDr = 0x01;
constexpr UCHAR LsrOe = 0x02;
constexpr UCHAR LsrPe = 0x04;
constexpr UCHAR LsrFe = 0x08;
constexpr UCHAR LsrBi = 0x10;
constexpr UCHAR LsrThre = 0x20;
constexpr UCHAR LsrTemt = 0x40;
constexpr UCHAR LsrFifoError = 0x80; // some character in the receive FIFO has an error
constexpr UCHAR LsrErrors = LsrOe | LsrPe | LsrFe | LsrBi;

// Modem status: changes since the last read in the low nibble, line states in the high one.
constexpr UCHAR MsrDcts = 0x01;
constexpr UCHAR MsrDdsr = 0x02;
constexpr UCHAR MsrTeri = 0x04; // ring indicator went inactive
constexpr UCHAR MsrDdcd = 0x08;
constexpr UCHAR MsrCts = 0x10;
constexpr UCHAR MsrDsr = 0x20;
constexpr UCHAR MsrRi = 0x40;
constexpr UCHAR MsrDcd = 0x80;

// A register block that is no longer there reads all ones: nothing drives the bus. No pending
// interrupt identification can read 0xFF (bit 4 is always 0), so IIR tells a vanished board.
constexpr UCHAR RegisterGone = 0xFF;

// Receive trigger levels by FCR bits 7:6, in 16-byte and in 64-byte FIFO mode.
constexpr UCHAR TriggerLevels16[4] = {1, 4, 8, 14};
constexpr UCHAR TriggerLevels64[4] = {1, 16, 32, 56};
