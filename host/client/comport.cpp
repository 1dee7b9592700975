// The Win32 communications functions on the serial I/O interface, as kernel32 maps them: a DCB
// is four records (baud rate, line control, handshake and flow, special characters), every
// other function one control code.
#include "comport.h"

#include <cstring>

namespace {

template <typename T> std::vector<UCHAR> AsBytes(const T& value)
{
    std::vector<UCHAR> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

} // namespace

thread_local NTSTATUS ComPort::Last_ = STATUS_SUCCESS;

std::vector<UCHAR> Bytes(const std::string& text)
{
    return std::vector<UCHAR>(text.begin(), text.end());
}

ComPort::~ComPort()
{
    Close();
}

NTSTATUS ComPort::Open(const std::u16string& name)
{
    Close();
    std::u16string path = name.compare(0, 4, u"\\\\.\\") == 0 ? name : u"\\\\.\\" + name;
    Last_ = HkOpen(path, &Handle_);
    if (!NT_SUCCESS(Last_)) {
        Handle_ = nullptr;
    }
    return Last_;
}

void ComPort::Close()
{
    if (Handle_ != nullptr) {
        HkClose(Handle_);
        Handle_ = nullptr;
    }
}

bool ComPort::Finish(const HkRequestPtr& request)
{
    request->Wait();
    Last_ = request->Status();
    return NT_SUCCESS(Last_);
}

bool ComPort::Control(ULONG code, const void* input, ULONG inputLength, void* output,
                      ULONG outputLength)
{
    std::vector<UCHAR> in(inputLength);
    if (inputLength != 0) {
        std::memcpy(in.data(), input, inputLength);
    }
    HkRequestPtr request = HkIoControl(Handle_, code, in, outputLength);
    if (!Finish(request)) {
        return false;
    }
    std::vector<UCHAR> out = request->Output();
    if (output != nullptr) {
        std::memcpy(output, out.data(), out.size() < outputLength ? out.size() : outputLength);
    }
    return true;
}

HkRequestPtr ComPort::DeviceIoControl(ULONG code, const std::vector<UCHAR>& input,
                                      ULONG outputLength)
{
    return HkIoControl(Handle_, code, input, outputLength);
}

bool ComPort::GetCommState(ComDcb* dcb)
{
    SERIAL_BAUD_RATE rate{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_HANDFLOW flow{};
    SERIAL_CHARS chars{};
    if (!Control(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate) ||
        !Control(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line) ||
        !Control(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow) ||
        !Control(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof chars)) {
        return false;
    }
    dcb->BaudRate = rate.BaudRate;
    dcb->ByteSize = line.WordLength;
    dcb->Parity = line.Parity;
    dcb->StopBits = line.StopBits;
    const ULONG shake = flow.ControlHandShake;
    const ULONG replace = flow.FlowReplace;
    dcb->OutxCtsFlow = shake & SERIAL_CTS_HANDSHAKE;
    dcb->OutxDsrFlow = shake & SERIAL_DSR_HANDSHAKE;
    dcb->DtrControl = (shake & SERIAL_DTR_HANDSHAKE) ? ComDcb::DtrHandshake
                      : (shake & SERIAL_DTR_CONTROL) ? ComDcb::DtrEnable
                                                     : ComDcb::DtrDisable;
    dcb->DsrSensitivity = shake & SERIAL_DSR_SENSITIVITY;
    dcb->AbortOnError = shake & SERIAL_ERROR_ABORT;
    dcb->TxContinueOnXoff = replace & SERIAL_XOFF_CONTINUE;
    dcb->OutX = replace & SERIAL_AUTO_TRANSMIT;
    dcb->InX = replace & SERIAL_AUTO_RECEIVE;
    dcb->ErrorCharEnabled = replace & SERIAL_ERROR_CHAR;
    dcb->NullStripping = replace & SERIAL_NULL_STRIPPING;
    switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        dcb->RtsControl = ComDcb::RtsEnable;
        break;
    case SERIAL_RTS_HANDSHAKE:
        dcb->RtsControl = ComDcb::RtsHandshake;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        dcb->RtsControl = ComDcb::RtsToggle;
        break;
    default:
        dcb->RtsControl = ComDcb::RtsDisable;
        break;
    }
    dcb->XonLim = static_cast<USHORT>(flow.XonLimit);
    dcb->XoffLim = static_cast<USHORT>(flow.XoffLimit);
    dcb->XonChar = chars.XonChar;
    dcb->XoffChar = chars.XoffChar;
    dcb->ErrorChar = chars.ErrorChar;
    dcb->EofChar = chars.EofChar;
    dcb->EvtChar = chars.EventChar;
    return true;
}

bool ComPort::SetCommState(const ComDcb& dcb)
{
    if (dcb.XonChar == dcb.XoffChar) {
        // The function itself refuses a DCB whose XON and XOFF are one byte.
        Last_ = STATUS_INVALID_PARAMETER;
        return false;
    }
    SERIAL_BAUD_RATE rate{dcb.BaudRate};
    SERIAL_LINE_CONTROL line{};
    line.WordLength = dcb.ByteSize;
    line.Parity = dcb.Parity;
    line.StopBits = dcb.StopBits;
    SERIAL_HANDFLOW flow{};
    static const ULONG dtr[] = {0, SERIAL_DTR_CONTROL, SERIAL_DTR_HANDSHAKE};
    static const ULONG rts[] = {0, SERIAL_RTS_CONTROL, SERIAL_RTS_HANDSHAKE,
                                SERIAL_TRANSMIT_TOGGLE};
    flow.ControlHandShake = dtr[dcb.DtrControl % 3] | (dcb.OutxCtsFlow ? SERIAL_CTS_HANDSHAKE : 0) |
                            (dcb.OutxDsrFlow ? SERIAL_DSR_HANDSHAKE : 0) |
                            (dcb.DsrSensitivity ? SERIAL_DSR_SENSITIVITY : 0) |
                            (dcb.AbortOnError ? SERIAL_ERROR_ABORT : 0);
    flow.FlowReplace = rts[dcb.RtsControl % 4] | (dcb.OutX ? SERIAL_AUTO_TRANSMIT : 0) |
                       (dcb.InX ? SERIAL_AUTO_RECEIVE : 0) |
                       (dcb.ErrorCharEnabled ? SERIAL_ERROR_CHAR : 0) |
                       (dcb.NullStripping ? SERIAL_NULL_STRIPPING : 0) |
                       (dcb.TxContinueOnXoff ? SERIAL_XOFF_CONTINUE : 0);
    flow.XonLimit = dcb.XonLim;
    flow.XoffLimit = dcb.XoffLim;
    SERIAL_CHARS chars{};
    chars.EofChar = dcb.EofChar;
    chars.ErrorChar = dcb.ErrorChar;
    chars.EventChar = dcb.EvtChar;
    chars.XonChar = dcb.XonChar;
    chars.XoffChar = dcb.XoffChar;
    return Control(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof rate, nullptr, 0) &&
           Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0) &&
           Control(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow, nullptr, 0) &&
           Control(IOCTL_SERIAL_SET_CHARS, &chars, sizeof chars, nullptr, 0);
}

bool ComPort::GetCommTimeouts(SERIAL_TIMEOUTS* timeouts)
{
    return Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, timeouts, sizeof *timeouts);
}

bool ComPort::SetCommTimeouts(const SERIAL_TIMEOUTS& timeouts)
{
    return Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}

bool ComPort::SetupComm(ULONG inQueue, ULONG outQueue)
{
    SERIAL_QUEUE_SIZE size{inQueue, outQueue};
    return Control(IOCTL_SERIAL_SET_QUEUE_SIZE, &size, sizeof size, nullptr, 0);
}

bool ComPort::PurgeComm(ULONG flags)
{
    return Control(IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0);
}

bool ComPort::ClearCommError(ULONG* errors, SERIAL_STATUS* status)
{
    SERIAL_STATUS s{};
    if (!Control(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof s)) {
        return false;
    }
    if (errors != nullptr) {
        *errors = s.Errors;
    }
    if (status != nullptr) {
        *status = s;
    }
    return true;
}

bool ComPort::GetCommModemStatus(ULONG* modemStatus)
{
    return Control(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, modemStatus, sizeof *modemStatus);
}

bool ComPort::EscapeCommFunction(ComEscape function)
{
    static const ULONG codes[] = {0,
                                  IOCTL_SERIAL_SET_XOFF,
                                  IOCTL_SERIAL_SET_XON,
                                  IOCTL_SERIAL_SET_RTS,
                                  IOCTL_SERIAL_CLR_RTS,
                                  IOCTL_SERIAL_SET_DTR,
                                  IOCTL_SERIAL_CLR_DTR,
                                  IOCTL_SERIAL_RESET_DEVICE,
                                  IOCTL_SERIAL_SET_BREAK_ON,
                                  IOCTL_SERIAL_SET_BREAK_OFF};
    return Control(codes[function], nullptr, 0, nullptr, 0);
}

bool ComPort::SetCommMask(ULONG mask)
{
    return Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

bool ComPort::GetCommMask(ULONG* mask)
{
    return Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, mask, sizeof *mask);
}

bool ComPort::WaitCommEvent(ULONG* events)
{
    return Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, events, sizeof *events);
}

HkRequestPtr ComPort::WaitCommEventOverlapped()
{
    return HkIoControl(Handle_, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
}

bool ComPort::TransmitCommChar(UCHAR c)
{
    return Control(IOCTL_SERIAL_IMMEDIATE_CHAR, &c, sizeof c, nullptr, 0);
}

bool ComPort::GetCommProperties(SERIAL_COMMPROP* properties)
{
    return Control(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, properties, sizeof *properties);
}

ULONG ComPort::GetFileType()
{
    HkRequestPtr request = HkQueryVolumeInformation(Handle_, FileFsDeviceInformation,
                                                    sizeof(FILE_FS_DEVICE_INFORMATION));
    if (!Finish(request) || request->Output().size() < sizeof(FILE_FS_DEVICE_INFORMATION)) {
        return 0;
    }
    FILE_FS_DEVICE_INFORMATION device;
    std::memcpy(&device, request->Output().data(), sizeof device);
    // Serial ports and the null device are the character devices a port driver can be.
    return device.DeviceType == FILE_DEVICE_SERIAL_PORT || device.DeviceType == FILE_DEVICE_NULL
               ? 2 // FILE_TYPE_CHAR
               : 0;
}

bool ComPort::GetFileSize(LONGLONG* size)
{
    HkRequestPtr request =
        HkQueryInformationFile(Handle_, FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION));
    if (!Finish(request) || request->Output().size() < sizeof(FILE_STANDARD_INFORMATION)) {
        return false;
    }
    FILE_STANDARD_INFORMATION standard;
    std::memcpy(&standard, request->Output().data(), sizeof standard);
    *size = standard.EndOfFile.QuadPart;
    return true;
}

bool ComPort::SetEndOfFile()
{
    FILE_END_OF_FILE_INFORMATION end{};
    FILE_ALLOCATION_INFORMATION allocation{};
    return Finish(HkSetInformationFile(Handle_, FileEndOfFileInformation, AsBytes(end))) &&
           Finish(HkSetInformationFile(Handle_, FileAllocationInformation, AsBytes(allocation)));
}

bool ComPort::ReadFile(ULONG length, std::vector<UCHAR>* data)
{
    HkRequestPtr request = HkRead(Handle_, length);
    bool ok = Finish(request);
    *data = request->Output();
    return ok;
}

HkRequestPtr ComPort::ReadOverlapped(ULONG length)
{
    return HkRead(Handle_, length);
}

bool ComPort::WriteFile(const std::vector<UCHAR>& data, ULONG* written)
{
    HkRequestPtr request = HkWrite(Handle_, data);
    bool ok = Finish(request);
    if (written != nullptr) {
        *written = static_cast<ULONG>(request->Information());
    }
    return ok;
}

HkRequestPtr ComPort::WriteOverlapped(const std::vector<UCHAR>& data)
{
    return HkWrite(Handle_, data);
}

bool ComPort::FlushFileBuffers()
{
    return Finish(HkFlush(Handle_));
}

void ComPort::CancelIo()
{
    HkCancelIo(Handle_);
}
