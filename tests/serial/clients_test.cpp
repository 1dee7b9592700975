// What the popular serial libraries send, call for call, with data flowing and the far end
// acting: .NET's System.IO.Ports (its event loop and DataReceived), pyserial (polled reads, its
// time-out mapping, flush by polling, RS-485 mode) and node-serialport (its one-byte-then-the-rest
// read loop, set() and drain). Each library's sequence is the program here; the far end is the
// machine's peer.
#include "serial_rig.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace {

constexpr ULONG MaxDword = 0xFFFFFFFF;

// Messages of random lengths and contents, text (no XON/XOFF, no 0x1A) so that no library's
// special character is hit by chance.
std::vector<std::vector<UCHAR>> Messages(unsigned seed, size_t count, size_t longest)
{
    std::mt19937 random(seed);
    std::vector<std::vector<UCHAR>> messages(count);
    for (std::vector<UCHAR>& message : messages) {
        message.resize(1 + random() % longest);
        for (UCHAR& byte : message) {
            byte = static_cast<UCHAR>('0' + random() % 64);
        }
    }
    return messages;
}

ULONG Events(const HkRequestPtr& wait)
{
    ULONG events = 0;
    if (wait->Output().size() == sizeof events) {
        std::memcpy(&events, wait->Output().data(), sizeof events);
    }
    return events;
}

} // namespace

class SerialClients : public SerialTest {};

// System.IO.Ports.SerialPort: Open, then its event loop (SetCommMask(0x1FB), WaitCommEvent over
// and over; ClearCommError on EV_ERR; DataReceived on EV_RXCHAR, whose handler reads BytesToRead
// with the infinite read time-out), then Close. Every byte of every message is announced by an
// event before the line goes quiet: a program that waits for DataReceived gets each message whole.
TEST_F(SerialClients, DotNetSystemIoPorts)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    ASSERT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS); // share 0, FILE_FLAG_OVERLAPPED
    EXPECT_EQ(port.GetFileType(), 2u) << "FILE_TYPE_CHAR, or SerialPort refuses the port";
    SERIAL_COMMPROP properties{};
    ASSERT_TRUE(port.GetCommProperties(&properties));
    ULONG modem = 0;
    ASSERT_TRUE(port.GetCommModemStatus(&modem));
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.BaudRate = 115200;
    dcb.Parity = EVEN_PARITY;
    dcb.ByteSize = 8;
    dcb.ErrorCharEnabled = true; // fErrorChar with ParityReplace '?'
    dcb.ErrorChar = '?';
    dcb.DtrControl = ComDcb::DtrDisable;
    dcb.AbortOnError = false;
    dcb.XonLim = dcb.XoffLim = static_cast<USHORT>(properties.CurrentRxQueue / 4);
    dcb.EofChar = dcb.EvtChar = 0x1A;
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetupComm(4096, 2048));
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(MaxDword, MaxDword, 0xFFFFFFFE)));
    ASSERT_TRUE(port.SetCommMask(0x1FB));

    std::mutex lock;
    std::vector<UCHAR> received;
    ULONG errorsSeen = 0;
    std::atomic<bool> closing{false};
    std::thread eventLoop([&] {
        while (!closing) {
            HkRequestPtr wait = port.WaitCommEventOverlapped();
            wait->Wait();
            if (wait->Status() != STATUS_SUCCESS) {
                break;
            }
            const ULONG events = Events(wait);
            SERIAL_STATUS status{};
            ULONG errors = 0;
            if (events & SERIAL_EV_ERR) {
                port.ClearCommError(&errors, &status);
                std::lock_guard<std::mutex> guard(lock);
                errorsSeen |= errors;
            }
            if (events & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG)) {
                // DataReceived: the handler reads what BytesToRead says.
                port.ClearCommError(&errors, &status);
                if (status.AmountInInQueue != 0) {
                    std::vector<UCHAR> data;
                    port.ReadFile(status.AmountInInQueue, &data);
                    std::lock_guard<std::mutex> guard(lock);
                    received.insert(received.end(), data.begin(), data.end());
                }
            }
        }
    });
    std::vector<UCHAR> sent;
    for (const std::vector<UCHAR>& message : Messages(11, 40, 300)) {
        HmRemoteSend(board, 0, message);
        sent.insert(sent.end(), message.begin(), message.end());
        ASSERT_TRUE(HmWaitUntil([&] {
            std::lock_guard<std::mutex> guard(lock);
            return received.size() >= sent.size();
        })) << "a message sits unannounced";
    }
    HmRemoteSendError(board, 0, 'e', HmLineError::Parity);
    sent.push_back('?');
    ASSERT_TRUE(HmWaitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return received.size() >= sent.size() && errorsSeen != 0;
    }));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(received, sent);
        EXPECT_EQ(errorsSeen, static_cast<ULONG>(SERIAL_ERROR_PARITY));
    }
    // SerialPort.Close: the mask cleared (which ends the loop's wait), DTR down, flush, purges.
    closing = true;
    ASSERT_TRUE(port.SetCommMask(0));
    eventLoop.join();
    ASSERT_TRUE(port.EscapeCommFunction(ClrDtr));
    ASSERT_TRUE(port.FlushFileBuffers());
    ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT));
    ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT));
    port.Close();
    EXPECT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS) << "and the next program opens it";
}

// pyserial: SetupComm(4096, 4096); read() polls ClearCommError for cbInQue and reads under its
// time-out mapping (timeout 0: interval MAXDWORD; timeout t: total constant; inter_byte_timeout:
// interval); write_timeout 0 is a write constant of MAXDWORD; flush() polls cbOutQue every 50 ms;
// RS-485 mode is RTS_CONTROL_TOGGLE; close() puts the time-outs back, cancels its I/O and closes.
TEST_F(SerialClients, Pyserial)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2C);
    ComPort port;
    ASSERT_EQ(port.Open(NameOf(board, 1)), STATUS_SUCCESS);
    ASSERT_TRUE(port.SetupComm(4096, 4096));
    SERIAL_TIMEOUTS original{};
    ASSERT_TRUE(port.GetCommTimeouts(&original));
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.BaudRate = 57600;
    dcb.RtsControl = ComDcb::RtsToggle; // rs485_mode
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetCommMask(SERIAL_EV_ERR));
    ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR |
                               SERIAL_PURGE_RXABORT));

    // write() with write_timeout 0, then flush(): cbOutQue polled until nothing waits.
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(MaxDword, 0, 0, 0, MaxDword)));
    const std::vector<UCHAR> request = Pattern(700, 3);
    ULONG written = 0;
    ASSERT_TRUE(port.WriteFile(request, &written));
    EXPECT_EQ(written, request.size());
    SERIAL_STATUS status{};
    ASSERT_TRUE(HmWaitUntil([&] {
        HkWaitClock(HkNow() + 50 * Ms);
        return port.ClearCommError(nullptr, &status) && status.AmountInOutQueue == 0;
    }));
    ASSERT_TRUE(HmWaitUntil([&] { return !HmPortOutputs(board, 1).Rts; }))
        << "the RS-485 transmitter is let go";
    std::vector<UCHAR> onLine;
    ASSERT_TRUE(HmWaitUntil([&] {
        const std::vector<UCHAR> more = HmRemoteTake(board, 1);
        onLine.insert(onLine.end(), more.begin(), more.end());
        return onLine.size() >= request.size();
    }));
    EXPECT_EQ(onLine, request);

    // read(size) with timeout 0: what cbInQue says, at once; with a timeout: up to size, or the
    // time-out; with inter_byte_timeout: a message framed by its gap.
    struct Read {
        SERIAL_TIMEOUTS Timeouts;
        ULONG Size;
        size_t Message;
    };
    const Read reads[] = {
        {Timeouts(MaxDword, 0, 0), 0, 120}, // timeout=0: n = cbInQue
        {Timeouts(0, 0, 500), 300, 300},    // timeout=0.5: the whole size
        {Timeouts(0, 0, 200), 1000, 250},   // timeout=0.2: what came in time
        {Timeouts(5, 0, 2000), 4000, 900},  // inter_byte_timeout: the message, then its gap
    };
    unsigned seed = 20;
    for (const Read& r : reads) {
        const std::vector<UCHAR> message = Pattern(r.Message, seed++);
        ASSERT_TRUE(port.SetCommTimeouts(r.Timeouts));
        HmRemoteSend(board, 1, message);
        std::vector<UCHAR> got;
        if (r.Size == 0) {
            ASSERT_TRUE(HmWaitUntil([&] { return HmRemotePending(board, 1) == 0; }));
            HkWaitClock(HkNow() + 2 * Ms);
        }
        while (got.size() < message.size()) {
            ULONG errors = 0;
            ASSERT_TRUE(port.ClearCommError(&errors, &status)); // before each read
            EXPECT_EQ(errors, 0u);
            const ULONG size = r.Size == 0 ? status.AmountInInQueue : r.Size;
            std::vector<UCHAR> data;
            ASSERT_TRUE(port.ReadFile(size, &data));
            ASSERT_FALSE(data.empty() && r.Size == 0) << "cbInQue said there were bytes";
            got.insert(got.end(), data.begin(), data.end());
            if (r.Size == 0 || r.Timeouts.ReadIntervalTimeout == 5) {
                break; // one read: what was there, or one message
            }
        }
        EXPECT_EQ(got, message) << "timeouts " << r.Timeouts.ReadIntervalTimeout << "/"
                                << r.Timeouts.ReadTotalTimeoutConstant;
    }

    // close(): the time-outs as they were, the handle's I/O cancelled (a read is pending), closed.
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 0)));
    HkRequestPtr pending = port.ReadOverlapped(10);
    ASSERT_TRUE(port.SetCommTimeouts(original));
    port.CancelIo();
    ASSERT_TRUE(pending->Wait());
    EXPECT_EQ(pending->Status(), STATUS_CANCELLED);
    port.Close();
    EXPECT_EQ(port.Open(NameOf(board, 1)), STATUS_SUCCESS);
}

// node-serialport: open (DTR enabled), all-zero time-outs, purges; its reader asks for one byte
// with all-zero time-outs (so it waits), and when that comes sets interval MAXDWORD, reads the
// rest of what is there and sets the zeros back: two SetCommTimeouts per chunk. set() sends RTS,
// DTR and BREAK together and changes the mask for CTS and DSR; drain() is FlushFileBuffers; close
// cancels everything of the handle and closes it.
TEST_F(SerialClients, NodeSerialport)
{
    PDEVICE_OBJECT board = Plug(HmModel::LX2A);
    ComPort port;
    ASSERT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS);
    ComDcb dcb;
    ASSERT_TRUE(port.GetCommState(&dcb));
    dcb.BaudRate = 230400;
    dcb.DtrControl = ComDcb::DtrEnable;
    ASSERT_TRUE(port.SetCommState(dcb));
    ASSERT_TRUE(port.SetCommTimeouts(Timeouts(0, 0, 0)));
    ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_RXCLEAR));
    ASSERT_TRUE(port.PurgeComm(SERIAL_PURGE_TXCLEAR));

    std::mutex lock;
    std::vector<UCHAR> received;
    std::atomic<bool> closing{false};
    std::thread reader([&] {
        while (!closing) {
            HkRequestPtr first = port.ReadOverlapped(1); // ReadFileEx, all-zero time-outs
            first->Wait();
            if (first->Status() != STATUS_SUCCESS) {
                break; // cancelled at close
            }
            std::vector<UCHAR> chunk = first->Output();
            port.SetCommTimeouts(Timeouts(MaxDword, 0, 0));
            std::vector<UCHAR> rest;
            port.ReadFile(65535, &rest);
            port.SetCommTimeouts(Timeouts(0, 0, 0));
            chunk.insert(chunk.end(), rest.begin(), rest.end());
            std::lock_guard<std::mutex> guard(lock);
            received.insert(received.end(), chunk.begin(), chunk.end());
        }
    });

    std::vector<UCHAR> sent;
    unsigned round = 0;
    for (const std::vector<UCHAR>& message : Messages(31, 30, 600)) {
        HmRemoteSend(board, 0, message);
        sent.insert(sent.end(), message.begin(), message.end());
        // Meanwhile the program writes, drains, and sets its lines.
        ASSERT_TRUE(port.WriteFile(message));
        ASSERT_TRUE(port.FlushFileBuffers());
        const bool on = (++round % 2) == 0;
        ASSERT_TRUE(port.EscapeCommFunction(on ? SetRts : ClrRts));
        ASSERT_TRUE(port.EscapeCommFunction(on ? SetDtr : ClrDtr));
        ASSERT_TRUE(port.EscapeCommFunction(ClrBreak));
        ASSERT_TRUE(port.SetCommMask(on ? SERIAL_EV_CTS | SERIAL_EV_DSR : 0));
        EXPECT_EQ(HmPortOutputs(board, 0).Rts, on);
        EXPECT_EQ(HmPortOutputs(board, 0).Dtr, on);
        if (!HmWaitUntil([&] {
                std::lock_guard<std::mutex> guard(lock);
                return received.size() >= sent.size();
            })) {
            break; // the comparison below says what is missing; the reader is let go at close
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(received, sent);
    }
    std::vector<UCHAR> echoed;
    ASSERT_TRUE(HmWaitUntil([&] {
        const std::vector<UCHAR> more = HmRemoteTake(board, 0);
        echoed.insert(echoed.end(), more.begin(), more.end());
        return echoed.size() >= sent.size();
    }));
    EXPECT_EQ(echoed, sent);

    // close: CancelIoEx(handle, NULL) ends the reader's pending one-byte read, then CloseHandle.
    closing = true;
    port.CancelIo();
    reader.join();
    port.Close();
    EXPECT_EQ(port.Open(NameOf(board, 0)), STATUS_SUCCESS);
}
