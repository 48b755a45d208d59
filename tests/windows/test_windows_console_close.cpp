// corvane-console.exe ended by a console control event: the window closes as
// on Ctrl-C and the simulated remote's flash is saved. Ctrl-Break stands for
// the events that cannot be sent (closing the console window, logging off,
// shutting down): the program's one handler takes them all, and for those it
// also holds the program until the flash is written.
//
// A program of its own: it shares a console with the program under test,
// which changes where Qt's warnings go for every program started after it.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace {

// What a step that hangs may take before the test gives up on it: wine on a
// busy machine takes seconds to start a program of 50 MB.
constexpr auto StepLimit = std::chrono::seconds(60);

long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) return -1;
    return (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

}  // namespace

TEST(ConsoleControlEvent, CtrlBreakSavesTheFlashAndEndsWithZero)
{
    // The event goes to the processes of a console: the test makes one of
    // its own for the program to share.
    ::FreeConsole();
    if (!::AllocConsole()) GTEST_SKIP() << "no console (error " << ::GetLastError() << ")";
    // Sent to group 0, the event reaches every process of the console, this
    // one too: here it passes.
    ::SetConsoleCtrlHandler([](DWORD event) -> BOOL { return event == CTRL_BREAK_EVENT; }, TRUE);

    char base[MAX_PATH + 1] = {};
    ::GetTempPathA(sizeof base, base);
    const std::string flash =
        std::string(base) + "corvane-console-close-" + std::to_string(::GetCurrentProcessId()) + ".bin";
    ::DeleteFileA(flash.c_str());

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr;
    ASSERT_TRUE(::CreatePipe(&outRead, &outWrite, &inherit, 65536));
    ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string commandLine = "\"" CORVANE_CONSOLE_PATH "\" -platform offscreen --simulate --sim-flash \"" + flash + "\"";
    PROCESS_INFORMATION process{};
    const BOOL started =
        ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    ::CloseHandle(outWrite);
    ASSERT_TRUE(started) << "error " << ::GetLastError();

    // Its output as far as the pipe holds it, never to its end, until it
    // says that the remote is there.
    std::string output;
    const auto end = std::chrono::steady_clock::now() + StepLimit;
    while (output.find("Device connected") == std::string::npos && std::chrono::steady_clock::now() < end &&
           ::WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        DWORD waiting = 0;
        char buffer[4096];
        DWORD got = 0;
        if (::PeekNamedPipe(outRead, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0 &&
            ::ReadFile(outRead, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr))
            output.append(buffer, got);
    }
    EXPECT_NE(output.find("Device connected"), std::string::npos) << output;
    EXPECT_EQ(FileSize(flash), -1);

    const bool sent = ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0);
    const DWORD sendError = ::GetLastError();
    if (sent) {
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(StepLimit).count();
        EXPECT_EQ(::WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit)), WAIT_OBJECT_0);
        DWORD code = 255;
        ::GetExitCodeProcess(process.hProcess, &code);
        EXPECT_EQ(code, 0u);
        EXPECT_EQ(FileSize(flash), 0x1000000);
        EXPECT_EQ(FileSize(flash + ".partial"), -1);
    }
    if (::WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process.hProcess, 255);
        ::WaitForSingleObject(process.hProcess, 10000);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::CloseHandle(outRead);
    ::DeleteFileA(flash.c_str());
    if (!sent) GTEST_SKIP() << "Ctrl-Break cannot be sent here (error " << sendError << ")";
}
