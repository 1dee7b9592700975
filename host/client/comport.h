// A Win32 program's view of a COM port, for the tests and corsim: the communications functions
// as the Windows API defines them, each turned into the requests Win32 sends a serial driver
// (the serial control codes, read, write, flush) through the user side of the kernel stand-in's
// I/O manager. Calls answer as Win32 does: true on success (a read or write that timed out
// succeeds with fewer bytes), false with LastStatus() telling why.
//
//     ComPort port;
//     ASSERT_EQ(port.Open(u"COM3"), STATUS_SUCCESS);      // CreateFileW(L"\\\\.\\COM3", ...)
//     ComDcb dcb;
//     port.GetCommState(&dcb);
//     dcb.BaudRate = 115200;
//     port.SetCommState(dcb);
//     port.WriteFile(Bytes("hello"));
#pragma once

#include "kernel/hostkernel.h"

extern "C"
{
#include <ntddser.h>
}

#include <string>
#include <vector>

// DCB: the fields a serial driver sees, with Win32's meanings and defaults of a fresh port.
struct ComDcb {
    enum : UCHAR {
        DtrDisable = 0,
        DtrEnable = 1,
        DtrHandshake = 2
    };
    enum : UCHAR {
        RtsDisable = 0,
        RtsEnable = 1,
        RtsHandshake = 2,
        RtsToggle = 3
    };
    ULONG BaudRate = 9600;
    bool OutxCtsFlow = false;
    bool OutxDsrFlow = false;
    UCHAR DtrControl = DtrEnable;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = false;
    bool OutX = false;
    bool InX = false;
    bool ErrorCharEnabled = false; // fErrorChar
    bool NullStripping = false;    // fNull
    UCHAR RtsControl = RtsEnable;
    bool AbortOnError = false;
    USHORT XonLim = 1024;
    USHORT XoffLim = 512;
    UCHAR ByteSize = 8;
    UCHAR Parity = NO_PARITY;
    UCHAR StopBits = STOP_BIT_1;
    UCHAR XonChar = 0x11;
    UCHAR XoffChar = 0x13;
    UCHAR ErrorChar = 0;
    UCHAR EofChar = 0;
    UCHAR EvtChar = 0;
};

// EscapeCommFunction's functions.
enum ComEscape : ULONG {
    SetXoff = 1,
    SetXon = 2,
    SetRts = 3,
    ClrRts = 4,
    SetDtr = 5,
    ClrDtr = 6,
    ResetDev = 7,
    SetBreak = 8,
    ClrBreak = 9,
};

class ComPort {
public:
    ComPort() = default;
    ~ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // CreateFileW on "\\.\<name>" (name as "COM3", or a whole path such as "\\.\COM3\x").
    NTSTATUS Open(const std::u16string& name);
    void Close(); // CloseHandle
    bool IsOpen() const { return Handle_ != nullptr; }
    HkHandle Handle() const { return Handle_; }
    // The calling thread's last status, as GetLastError is: per thread, whatever the handle (a
    // program's threads share one handle).
    NTSTATUS LastStatus() const { return Last_; }

    bool GetCommState(ComDcb* dcb);
    bool SetCommState(const ComDcb& dcb);
    bool GetCommTimeouts(SERIAL_TIMEOUTS* timeouts);
    bool SetCommTimeouts(const SERIAL_TIMEOUTS& timeouts);
    bool SetupComm(ULONG inQueue, ULONG outQueue);
    bool PurgeComm(ULONG flags);
    // Errors as SERIAL_ERROR_* bits (Win32 renames them CE_*), and the status record.
    bool ClearCommError(ULONG* errors, SERIAL_STATUS* status = nullptr);
    bool GetCommModemStatus(ULONG* modemStatus);
    bool EscapeCommFunction(ComEscape function);
    bool SetCommMask(ULONG mask);
    bool GetCommMask(ULONG* mask);
    bool WaitCommEvent(ULONG* events);      // synchronous
    HkRequestPtr WaitCommEventOverlapped(); // the 4-byte event set is the request's output
    bool TransmitCommChar(UCHAR c);
    bool GetCommProperties(SERIAL_COMMPROP* properties);
    // GetFileType: FILE_TYPE_CHAR (2) for a character device, FILE_TYPE_UNKNOWN (0) otherwise.
    ULONG GetFileType();
    // GetFileSizeEx and SetEndOfFile (at the position 0 a port always has).
    bool GetFileSize(LONGLONG* size);
    bool SetEndOfFile();

    // ReadFile and WriteFile, synchronous and overlapped.
    bool ReadFile(ULONG length, std::vector<UCHAR>* data);
    HkRequestPtr ReadOverlapped(ULONG length);
    bool WriteFile(const std::vector<UCHAR>& data, ULONG* written = nullptr);
    HkRequestPtr WriteOverlapped(const std::vector<UCHAR>& data);
    bool FlushFileBuffers();
    void CancelIo(); // CancelIoEx(handle, NULL)

    // DeviceIoControl as it is, for codes and buffers no Win32 function sends.
    HkRequestPtr DeviceIoControl(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength);

private:
    bool Control(ULONG code, const void* input, ULONG inputLength, void* output,
                 ULONG outputLength);
    bool Finish(const HkRequestPtr& request);

    HkHandle Handle_ = nullptr;
    static thread_local NTSTATUS Last_;
};

std::vector<UCHAR> Bytes(const std::string& text);
