// make demo's last acts: the whole product under Wine's kernel as a user meets it. The package
// installs corcard.sys and corserial.sys, an LX4A is plugged with a null-modem cable from its
// first port to its second, and comchat sends a message across; then cortool, the package's
// diagnostics, looks at the same board. Not tests of their own (the ComPort and Cortool scenarios
// are): disabled, run by make demo only.
#include <gtest/gtest.h>

#include <cstdio>

#include "rig.h"

namespace {

// Runs a program of the package as the user would type it (the name first, as shown), its output
// straight to the demo's.
void Show(const wchar_t* typed, const char* image, DWORD expectedExit)
{
    std::printf("\nC:\\> %ls\n", typed);
    std::fflush(stdout);
    std::wstring command = typed;
    const size_t name = command.find(L' ');
    command.replace(0, name, L"\"" + Wide(image) + L"\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &child))
        << GetLastError();
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 120000), WAIT_OBJECT_0);
    DWORD exitCode = 99;
    GetExitCodeProcess(child.hProcess, &exitCode);
    EXPECT_EQ(exitCode, expectedExit);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
}

// The package installed, an LX4A plugged (COM7 to COM10), a null-modem cable from COM7 to COM8.
void PlugTheDemoBoard(Rig& rig)
{
    ASSERT_NO_FATAL_FAILURE(rig.Install(Rig::Ports::Package));
    ClaimComNumbers(6);
    rig.Plug(Board(0x7A41, 4));
    ASSERT_TRUE(WaitForPorts({L"COM7", L"COM8", L"COM9", L"COM10"}));
    rig.Line(1, CorbusFarNullModem, 2);
}

TEST(Demo, DISABLED_NullModem)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugTheDemoBoard(rig));

    std::printf("\nAn LX4A is plugged; its ports are COM7 to COM10, a null-modem cable joins COM7 "
                "and COM8.\n");
    Show(L"comchat COM7 COM8 \"Hello from COM7, over corcard, corserial and a null-modem cable\"",
         COMCHAT_EXE, 0);
}

// cortool, the administrators' diagnostics of the package: the boards and ports it finds, a short
// self-test through a null-modem cable, and one through a loopback plug whose DTR wire is broken.
TEST(Demo, DISABLED_Cortool)
{
    Rig rig;
    ASSERT_NO_FATAL_FAILURE(PlugTheDemoBoard(rig));
    rig.Line(3, CorbusFarLoopback, 0, CorbusWireDtr);
    std::printf("\nAn LX4A is plugged; its ports are COM7 to COM10. A null-modem cable joins COM7 "
                "and COM8; COM9 has a loopback plug whose DTR wire is broken.\n");
    Show(L"cortool list", CORTOOL_EXE, 0);
    Show(L"cortool test COM7 COM8 --rates 9600,115200,921600 --formats 8N1,7E1", CORTOOL_EXE, 0);
    Show(L"cortool test COM9 --rates 115200 --formats 8N1", CORTOOL_EXE, 1);
}

} // namespace
