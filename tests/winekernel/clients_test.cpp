// What the popular serial libraries send, as Win32 programs under Wine's kernel on the shipped
// drivers: .NET's System.IO.Ports (its WaitCommEvent loop and DataReceived), pyserial (polled
// reads, its time-out mapping, flush by polling, RS-485 mode) and node-serialport (its port
// listing, the one-byte-then-the-rest read loop with ReadFileEx, set() and drain). COM7 is the
// library's port; COM8, at the other end of a null-modem cable, is the far end.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "rig.h" // windows.h first

#include <setupapi.h>

namespace {

// GUID_DEVINTERFACE_COMPORT, which the port listings of the libraries enumerate.
const GUID ComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

std::vector<uint8_t> Message(size_t size, uint32_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t('0' + (seed >> 16) % 64); // text: no XON, XOFF or EOF by chance
    }
    return bytes;
}

void Line(HANDLE port, const std::function<void(DCB&)>& change)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    change(dcb);
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
}

void Times(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant, DWORD write = 0)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, write};
    ASSERT_TRUE(SetCommTimeouts(port, &t)) << GetLastError();
}

// The far end sends, synchronously.
void Send(HANDLE remote, const std::vector<uint8_t>& bytes)
{
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(remote, bytes.data(), DWORD(bytes.size()), &n, nullptr))
        << GetLastError();
    ASSERT_EQ(n, bytes.size());
}

// What the far end has received so far, with its 1 s read time-out.
std::vector<uint8_t> Take(HANDLE remote, size_t size)
{
    std::vector<uint8_t> got(size);
    size_t at = 0;
    while (at < size) {
        DWORD n = 0;
        ReadFile(remote, got.data() + at, DWORD(size - at), &n, nullptr); // FALSE on a time-out
        if (n == 0) {
            break;
        }
        at += n;
    }
    got.resize(at);
    return got;
}

} // namespace

TEST(ComPort, Clients)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
    rig.Plug(Board(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts({L"COM7", L"COM8", L"COM9", L"COM10"})) << "the ports never started";
    rig.Line(1, CorbusFarNullModem, 2);
    ComPort remote(L"COM8");
    ASSERT_TRUE(remote.Open()) << remote.Error;
    Line(remote, [](DCB&) {});
    Times(remote, 0, 0, 1000);

    // ---- node-serialport's list(): the COM port interface, with manufacturer and friendly name.
    {
        HDEVINFO set = SetupDiGetClassDevsW(&ComPortInterface, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        int listed = 0;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
            wchar_t mfg[128] = {};
            EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_MFG, nullptr,
                                                          (BYTE*)mfg, sizeof(mfg), nullptr))
                << "node-serialport reads the manufacturer without checking";
            EXPECT_EQ(std::wstring(mfg), L"TORVA");
            ++listed;
        }
        EXPECT_EQ(listed, 4);
        SetupDiDestroyDeviceInfoList(set);
    }

    // ---- .NET System.IO.Ports: every byte announced by an event before the line goes quiet.
    {
        ComPort port(L"COM7", true); // share 0, FILE_FLAG_OVERLAPPED
        ASSERT_TRUE(port.Open()) << port.Error;
        EXPECT_EQ(GetFileType(port), DWORD(FILE_TYPE_CHAR));
        COMMPROP properties{};
        ASSERT_TRUE(GetCommProperties(port, &properties));
        DWORD modem = 0;
        ASSERT_TRUE(GetCommModemStatus(port, &modem));
        Line(port, [&](DCB& d) {
            d.fParity = TRUE;
            d.Parity = EVENPARITY;
            d.fErrorChar = TRUE;
            d.ErrorChar = '?';
            d.fDtrControl = DTR_CONTROL_DISABLE;
            d.fAbortOnError = FALSE;
            d.XonLim = d.XoffLim = WORD(properties.dwCurrentRxQueue / 4);
            d.EofChar = d.EvtChar = 0x1A;
        });
        Line(remote, [](DCB& d) { d.Parity = EVENPARITY; });
        ASSERT_TRUE(SetupComm(port, 4096, 2048));
        Times(port, MAXDWORD, MAXDWORD, 0xFFFFFFFE);
        ASSERT_TRUE(SetCommMask(port, 0x1FB));
        std::mutex lock;
        std::vector<uint8_t> received;
        std::atomic<bool> closing{false};
        std::thread loop([&] {
            while (!closing) {
                Overlapped wait;
                DWORD events = 0;
                if (!WaitCommEvent(port, &events, &wait) && GetLastError() != ERROR_IO_PENDING) {
                    break;
                }
                if (wait.Finish(port) < 0 || events == 0) {
                    continue; // the mask changed (Close)
                }
                DWORD errors = 0;
                COMSTAT status{};
                ClearCommError(port, &errors, &status);
                if ((events & (EV_RXCHAR | EV_RXFLAG)) && status.cbInQue != 0) {
                    std::vector<uint8_t> data(status.cbInQue);
                    Overlapped read;
                    DWORD n = 0;
                    if (!ReadFile(port, data.data(), DWORD(data.size()), &n, &read)) {
                        n = DWORD(std::max(read.Finish(port), 0L));
                    }
                    data.resize(n);
                    std::lock_guard<std::mutex> guard(lock);
                    received.insert(received.end(), data.begin(), data.end());
                }
            }
        });
        std::vector<uint8_t> sent;
        for (uint32_t k = 0; k < 20; ++k) {
            const std::vector<uint8_t> message = Message(1 + (k * 37) % 200, k);
            Send(remote, message);
            sent.insert(sent.end(), message.begin(), message.end());
            ASSERT_TRUE(Rig::WaitFor([&] {
                std::lock_guard<std::mutex> guard(lock);
                return received.size() >= sent.size();
            })) << "message "
                << k << " sits unannounced";
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            EXPECT_EQ(received, sent);
        }
        // SerialPort.Close.
        closing = true;
        ASSERT_TRUE(SetCommMask(port, 0));
        loop.join();
        ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
        ASSERT_TRUE(FlushFileBuffers(port));
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_RXABORT));
        ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR | PURGE_TXABORT));
        Line(remote, [](DCB&) {});
    }

    // ---- pyserial: polled reads under its time-out mapping, flush by polling, RS-485 mode.
    {
        ComPort port(L"COM7", true);
        ASSERT_TRUE(port.Open()) << port.Error;
        ASSERT_TRUE(SetupComm(port, 4096, 4096));
        Line(port, [](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; });
        ASSERT_TRUE(SetCommMask(port, EV_ERR));
        ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_RXABORT));
        Times(port, MAXDWORD, 0, 0, MAXDWORD); // timeout=0, write_timeout=0
        const std::vector<uint8_t> request = Message(500, 7);
        Overlapped write;
        DWORD n = 0;
        if (!WriteFile(port, request.data(), DWORD(request.size()), &n, &write)) {
            ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
            ASSERT_EQ(write.Finish(port), long(request.size()));
        }
        COMSTAT status{};
        DWORD errors = 0;
        ASSERT_TRUE(Rig::WaitFor([&] {
            Sleep(50);
            return ClearCommError(port, &errors, &status) && status.cbOutQue == 0;
        }));
        EXPECT_EQ(Take(remote, request.size()), request);

        // read(n) with timeout=0.5 for a message of that length, then one framed by its gap
        // (inter_byte_timeout), each after ClearCommError as pyserial does.
        for (const DWORD interval : {DWORD(0), DWORD(20)}) {
            Times(port, interval, 0, interval == 0 ? 500 : 3000);
            const std::vector<uint8_t> message = Message(300, interval + 1);
            Send(remote, message);
            ClearCommError(port, &errors, &status);
            std::vector<uint8_t> got(interval == 0 ? message.size() : 4000);
            Overlapped read;
            if (!ReadFile(port, got.data(), DWORD(got.size()), &n, &read)) {
                // Ended by its time-out: a success with fewer bytes on Windows, ERROR_TIMEOUT
                // with the count under Wine.
                DWORD error = 0;
                n = DWORD(std::max(read.Finish(port, &error), 0L));
                EXPECT_TRUE(error == 0 || error == ERROR_TIMEOUT) << error;
            }
            got.resize(n);
            EXPECT_EQ(got, message) << "interval " << interval;
        }
        // close(): time-outs back, the handle's I/O cancelled, closed.
        Times(port, 0, 0, 0);
        Overlapped pending;
        uint8_t one = 0;
        EXPECT_FALSE(ReadFile(port, &one, 1, &n, &pending));
        Times(port, MAXDWORD, 0, 0);
        ASSERT_TRUE(CancelIoEx(port, nullptr));
        DWORD error = 0;
        pending.Finish(port, &error);
        EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    }

    // ---- node-serialport: ReadFileEx for one byte, then the rest at once; set(); drain().
    {
        ComPort port(L"COM7", true);
        ASSERT_TRUE(port.Open()) << port.Error;
        Line(port, [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; });
        Times(port, 0, 0, 0);
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
        ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR));
        std::vector<uint8_t> sent, received;
        for (uint32_t k = 0; k < 10; ++k) {
            const std::vector<uint8_t> message = Message(1 + (k * 53) % 400, 100 + k);
            Send(remote, message);
            sent.insert(sent.end(), message.begin(), message.end());
            while (received.size() < sent.size()) {
                static std::vector<uint8_t>* into;
                static DWORD got;
                into = &received;
                uint8_t byte = 0;
                OVERLAPPED ov{};
                got = 0;
                ASSERT_TRUE(ReadFileEx(port, &byte, 1, &ov, [](DWORD, DWORD n, LPOVERLAPPED) {
                    got = n;
                })) << GetLastError();
                ASSERT_EQ(SleepEx(30000, TRUE), DWORD(WAIT_IO_COMPLETION));
                ASSERT_EQ(got, 1u);
                into->push_back(byte);
                Times(port, MAXDWORD, 0, 0);
                std::vector<uint8_t> rest(65536);
                Overlapped read;
                DWORD n = 0;
                if (!ReadFile(port, rest.data(), DWORD(rest.size()), &n, &read)) {
                    n = DWORD(std::max(read.Finish(port), 0L));
                }
                received.insert(received.end(), rest.begin(), rest.begin() + n);
                Times(port, 0, 0, 0);
            }
            // set({rts, dtr, brk}): the three escapes and the mask for CTS and DSR; drain().
            const bool on = k % 2 == 0;
            ASSERT_TRUE(EscapeCommFunction(port, on ? SETRTS : CLRRTS));
            ASSERT_TRUE(EscapeCommFunction(port, on ? SETDTR : CLRDTR));
            ASSERT_TRUE(EscapeCommFunction(port, CLRBREAK));
            ASSERT_TRUE(SetCommMask(port, on ? EV_CTS | EV_DSR : 0));
            DWORD lines = 0;
            ASSERT_TRUE(GetCommModemStatus(remote, &lines));
            EXPECT_EQ((lines & MS_CTS_ON) != 0, on) << "the far end sees RTS";
            EXPECT_EQ((lines & MS_DSR_ON) != 0, on) << "the far end sees DTR";
            ASSERT_TRUE(FlushFileBuffers(port));
        }
        EXPECT_EQ(received, sent);
        // close: CancelIoEx(handle, NULL), then CloseHandle.
        ASSERT_TRUE(CancelIoEx(port, nullptr) || GetLastError() == ERROR_NOT_FOUND);
    }
}
