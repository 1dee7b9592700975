// comchat: sends a message from one COM port to another and prints what arrived and how fast,
// with the documented communications API only.
//
//   comchat FROM TO MESSAGE [BAUD]      e.g. comchat COM7 COM8 "Hello" 115200
//
// Both ports are set to BAUD (115200 by default), 8 data bits, no parity, one stop bit. The rate
// is the message's bytes over the time from the write to the last byte read.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

HANDLE OpenPort(const char* name, DWORD baud)
{
    const std::string path = std::string("\\\\.\\") + name;
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "comchat: cannot open %s (error %lu)\n", name, GetLastError());
        return port;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    // A read waits up to two seconds for its bytes.
    COMMTIMEOUTS timeouts = {0, 0, 2000, 0, 2000};
    if (!SetCommState(port, &dcb) || !SetCommTimeouts(port, &timeouts)) {
        std::fprintf(stderr, "comchat: cannot set up %s (error %lu)\n", name, GetLastError());
        CloseHandle(port);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: comchat FROM TO MESSAGE [BAUD]\n");
        return 2;
    }
    const DWORD baud = argc > 4 ? DWORD(std::strtoul(argv[4], nullptr, 10)) : 115200;
    const std::string message = argv[3];
    HANDLE from = OpenPort(argv[1], baud);
    HANDLE to = OpenPort(argv[2], baud);
    if (from == INVALID_HANDLE_VALUE || to == INVALID_HANDLE_VALUE) {
        return 1;
    }
    std::printf("%s -> %s at %lu baud, 8N1\n", argv[1], argv[2], baud);

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    DWORD written = 0;
    if (!WriteFile(from, message.data(), DWORD(message.size()), &written, nullptr)) {
        std::fprintf(stderr, "comchat: write failed (error %lu)\n", GetLastError());
        return 1;
    }
    std::string arrived(message.size(), '\0');
    DWORD got = 0;
    ReadFile(to, arrived.data(), DWORD(arrived.size()), &got, nullptr);
    QueryPerformanceCounter(&end);
    arrived.resize(got);

    const double ms = double(end.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart);
    std::printf("sent    %lu bytes: %s\n", written, message.c_str());
    std::printf("arrived %lu bytes: %s\n", got, arrived.c_str());
    std::printf("in %.1f ms: %.0f bytes/s (the line carries %lu bytes/s at 10 bits a byte)\n", ms,
                got * 1000.0 / ms, baud / 10);
    CloseHandle(from);
    CloseHandle(to);
    return arrived == message ? 0 : 1;
}
