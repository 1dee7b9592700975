// make demo's last act: the whole product under Wine's kernel as a user meets it. The package
// installs corcard.sys and corserial.sys, an LX4A is plugged with a null-modem cable from its
// first port to its second, and comchat sends a message across. Not a test of its own (the
// ComPort scenarios are): disabled, run by make demo only.
#include <gtest/gtest.h>

#include <cstdio>

#include "rig.h"

namespace {

TEST(Demo, DISABLED_NullModem)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
    rig.Plug(Board(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts({L"COM7", L"COM8", L"COM9", L"COM10"}));
    rig.Line(1, CorbusFarNullModem, 2);

    std::wstring command = L"comchat COM7 COM8 \"Hello from COM7, over corcard, corserial and a "
                           L"null-modem cable\"";
    std::printf("\nAn LX4A is plugged; its ports are COM7 to COM10, a null-modem cable joins COM7 "
                "and COM8.\n\nC:\\> %ls\n",
                command.c_str());
    std::fflush(stdout);
    command.replace(0, 7, L"\"" + Wide(COMCHAT_EXE) + L"\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION chat{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &chat))
        << GetLastError();
    ASSERT_EQ(WaitForSingleObject(chat.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(chat.hProcess, &exitCode);
    EXPECT_EQ(exitCode, 0u);
    CloseHandle(chat.hProcess);
    CloseHandle(chat.hThread);
}

} // namespace
