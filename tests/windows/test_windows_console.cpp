// corvane-console.exe as a user starts it on Windows: with Qt's own windows
// platform (no display variable: Windows has none; under wine the null
// graphics driver makes its windows without a display), its output, a close
// request to its window, and device-change messages to its hidden
// notification window while Qt's message loop runs.

#include <windows.h>

#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// What a step that hangs may take before the test gives up on it: wine on a
// busy machine takes seconds to start a program of 50 MB.
constexpr auto StepLimit = std::chrono::seconds(60);

bool StartsWithNoCase(const char* entry, const char* prefix)
{
    return ::_strnicmp(entry, prefix, std::strlen(prefix)) == 0;
}

// This process's environment without the variables that choose a display
// or a Qt platform, as a block for CreateProcess.
std::vector<char> EnvironmentWithoutDisplay()
{
    std::vector<char> block;
    char* strings = ::GetEnvironmentStringsA();
    for (const char* entry = strings; *entry; entry += std::strlen(entry) + 1) {
        if (StartsWithNoCase(entry, "DISPLAY=") || StartsWithNoCase(entry, "WAYLAND_DISPLAY=") ||
            StartsWithNoCase(entry, "QT_QPA_PLATFORM="))
            continue;
        block.insert(block.end(), entry, entry + std::strlen(entry) + 1);
    }
    ::FreeEnvironmentStringsA(strings);
    block.push_back('\0');
    return block;
}

// A pipe's read end. Read only as far as it holds, never to its end: the
// first window of a wine session starts wine's desktop process from the
// program that made it, and that process keeps the program's output open
// long after the program has ended.
class TOutput {
public:
    explicit TOutput(HANDLE read) : FRead(read) {}
    ~TOutput() { ::CloseHandle(FRead); }
    TOutput(const TOutput&) = delete;
    TOutput& operator=(const TOutput&) = delete;

    // Takes what the pipe holds now.
    void Drain()
    {
        DWORD waiting = 0;
        while (::PeekNamedPipe(FRead, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!::ReadFile(FRead, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr) || got == 0)
                return;
            FText.append(buffer, got);
        }
    }

    bool Holds(const std::string& needed) const { return FText.find(needed) != std::string::npos; }
    const std::string& Text() const { return FText; }

private:
    HANDLE FRead;
    std::string FText;
};

// corvane-console.exe with the given arguments, its standard output and
// error in pipes. Killed at the end of the test when still running.
class TConsole {
public:
    explicit TConsole(const std::string& args)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
        if (!::CreatePipe(&outRead, &outWrite, &inherit, 65536) || !::CreatePipe(&errRead, &errWrite, &inherit, 65536))
            return;
        ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = outWrite;
        startup.hStdError = errWrite;
        std::string commandLine = "\"" CORVANE_CONSOLE_PATH "\" " + args;
        std::vector<char> environment = EnvironmentWithoutDisplay();
        const BOOL started = ::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                              environment.data(), nullptr, &startup, &FProcess);
        // The child holds the write ends now: its output ends when it does.
        ::CloseHandle(outWrite);
        ::CloseHandle(errWrite);
        if (!started) {
            FProcess = {};
            ::CloseHandle(outRead);
            ::CloseHandle(errRead);
            return;
        }
        Out = std::make_unique<TOutput>(outRead);
        Err = std::make_unique<TOutput>(errRead);
    }

    ~TConsole()
    {
        if (!FProcess.hProcess) return;
        if (::WaitForSingleObject(FProcess.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(FProcess.hProcess, 255);
            ::WaitForSingleObject(FProcess.hProcess, 10000);
        }
        Out.reset();
        Err.reset();
        ::CloseHandle(FProcess.hThread);
        ::CloseHandle(FProcess.hProcess);
    }

    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    bool Started() const { return FProcess.hProcess != nullptr; }

    // Waits, within the limit, until done() holds or the program has ended;
    // whether done() holds. The program's output is taken meanwhile.
    template <typename TDone>
    bool WaitFor(TDone done)
    {
        const auto end = std::chrono::steady_clock::now() + StepLimit;
        for (;;) {
            const bool ended = ::WaitForSingleObject(FProcess.hProcess, 20) == WAIT_OBJECT_0;
            Out->Drain();
            Err->Drain();
            if (done()) return true;
            if (ended || std::chrono::steady_clock::now() > end) return false;
        }
    }

    bool WaitForOutput(const std::string& needed)
    {
        return WaitFor([&] { return Out->Holds(needed); });
    }

    // The process's top-level windows of the class (any class when empty),
    // only the visible ones when asked. Waits, within the limit, until there
    // is one or the process has ended.
    std::vector<HWND> WindowsOf(const std::string& className, bool visibleOnly)
    {
        struct TSearch {
            DWORD Pid;
            const std::string* Class;
            bool Visible;
            std::vector<HWND> Found;
        } search{FProcess.dwProcessId, &className, visibleOnly, {}};
        const auto end = std::chrono::steady_clock::now() + StepLimit;
        for (;;) {
            // Returns once the program's GUI thread waits for messages.
            ::WaitForInputIdle(FProcess.hProcess, 1000);
            search.Found.clear();
            ::EnumWindows(
                [](HWND window, LPARAM param) -> BOOL {
                    auto& s = *reinterpret_cast<TSearch*>(param);
                    DWORD pid = 0;
                    ::GetWindowThreadProcessId(window, &pid);
                    char name[256] = {};
                    ::GetClassNameA(window, name, sizeof name);
                    if (pid == s.Pid && (s.Class->empty() || *s.Class == name) &&
                        (!s.Visible || ::IsWindowVisible(window)))
                        s.Found.push_back(window);
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            if (!search.Found.empty() || std::chrono::steady_clock::now() > end ||
                ::WaitForSingleObject(FProcess.hProcess, 50) == WAIT_OBJECT_0)
                return search.Found;
        }
    }

    // Waits for the end within the limit: the exit code, or -1 when the
    // program still runs.
    int Wait()
    {
        const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(StepLimit).count();
        if (::WaitForSingleObject(FProcess.hProcess, static_cast<DWORD>(limit)) != WAIT_OBJECT_0) return -1;
        Out->Drain();  // all it wrote is in the pipes now
        Err->Drain();
        DWORD code = 0;
        ::GetExitCodeProcess(FProcess.hProcess, &code);
        return static_cast<int>(code);
    }

    std::unique_ptr<TOutput> Out, Err;

private:
    PROCESS_INFORMATION FProcess{};
};

std::string Title(HWND window)
{
    char text[256] = {};
    ::GetWindowTextA(window, text, sizeof text);
    return text;
}

// A folder of the test's own in the temporary folder, removed with what is in it.
class TTempDir {
public:
    TTempDir()
    {
        char base[MAX_PATH + 1] = {};
        ::GetTempPathA(sizeof base, base);
        FPath = std::string(base) + "corvane-console-test-" + std::to_string(::GetCurrentProcessId());
        ::CreateDirectoryA(FPath.c_str(), nullptr);
    }
    ~TTempDir()
    {
        WIN32_FIND_DATAA found;
        HANDLE search = ::FindFirstFileA((FPath + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                ::DeleteFileA((FPath + "\\" + found.cFileName).c_str());
            } while (::FindNextFileA(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryA(FPath.c_str());
    }
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

std::string ReadFileText(const std::string& path)
{
    std::string text;
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    ::CloseHandle(file);
    return text;
}

long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) return -1;
    return (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// A device interface's arrival or removal record, as Windows sends it.
std::vector<std::uint8_t> InterfaceRecord(const std::string& path)
{
    // The HID interface class.
    const GUID hid{0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    std::vector<std::uint8_t> bytes(std::max(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A), nameOffset + path.size() + 1));
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = hid;
    std::memcpy(bytes.data() + nameOffset, path.c_str(), path.size() + 1);
    return bytes;
}

}  // namespace

// The window comes up without any display variable, says "Device
// connected" and ends with 0 when asked to close; with a flash file the
// simulated remote's flash is saved as it ends.
TEST(ConsoleOnWindows, ShowsItsWindowAndEndsOnACloseRequest)
{
    TTempDir dir;
    const std::string flash = dir.Path() + "\\remote.bin";
    struct TCase {
        std::string Args;
        std::string Saved;  // the flash file it must leave, if any
    };
    for (const TCase& c : {TCase{"--simulate", ""}, TCase{"--simulate --sim-flash \"" + flash + "\"", flash}}) {
        SCOPED_TRACE(c.Args);
        TConsole console(c.Args);
        ASSERT_TRUE(console.Started()) << "error " << ::GetLastError();
        ASSERT_TRUE(console.WaitForOutput("Device connected"))
            << console.Out->Text() << "\nstandard error: " << console.Err->Text();

        const std::vector<HWND> windows = console.WindowsOf("", true);
        ASSERT_EQ(windows.size(), 1u);
        EXPECT_EQ(Title(windows[0]), "Test");
        ASSERT_TRUE(::PostMessageA(windows[0], WM_CLOSE, 0, 0));
        EXPECT_EQ(console.Wait(), 0);
        EXPECT_EQ(console.Out->Text(), "Device connected\r\n");  // standard output in text mode
        EXPECT_EQ(console.Err->Text(), "");
        if (!c.Saved.empty()) {
            EXPECT_EQ(FileSize(c.Saved), 0x1000000);
            EXPECT_EQ(FileSize(c.Saved + ".partial"), -1);
        }
    }
}

// On the system's HID devices: arrival and removal of a remote reach the
// window as the messages Windows sends to the hidden notification window
// (on a thread of its own), while Qt's message loop runs on the program's
// main thread. The trace records each, with the device path's backslashes.
TEST(ConsoleOnWindows, ArrivalAndRemovalReachTheRunningWindow)
{
    TTempDir dir;
    const std::string trace = dir.Path() + "\\session.trace";
    TConsole console("--trace \"" + trace + "\"");
    ASSERT_TRUE(console.Started()) << "error " << ::GetLastError();
    ASSERT_TRUE(console.WaitForOutput("Device not connected")) << console.Out->Text() << console.Err->Text();

    const std::vector<HWND> shown = console.WindowsOf("", true);
    ASSERT_EQ(shown.size(), 1u);

    const std::string path = "\\\\?\\HID#VID_1209&PID_0001#7&2A3B4C5D&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    std::string lowered = path;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct TStep {
        WPARAM Code;
        std::string Traced;  // the trace's line for it, written when the window took it
    };
    HWND replaced = nullptr;
    for (const TStep& step : {TStep{DBT_DEVICEARRIVAL, "EV arrival " + lowered + " 1209:0001"},
                              TStep{DBT_DEVICEREMOVECOMPLETE, "EV removal " + lowered + " 1209:0001"}}) {
        SCOPED_TRACE(step.Traced);
        // An arrival makes the window connect afresh, with a new link and a
        // new notification window, once the arrival is traced: the next
        // message goes to that one, when the old one is gone.
        std::vector<HWND> notify;
        EXPECT_TRUE(console.WaitFor([&] {
            notify = console.WindowsOf("CorvaneHidNotifyWindow", false);
            return notify.size() == 1 && notify[0] != replaced;
        }));
        ASSERT_EQ(notify.size(), 1u);
        if (step.Code == DBT_DEVICEARRIVAL) replaced = notify[0];
        EXPECT_NE(::GetWindowThreadProcessId(notify[0], nullptr), ::GetWindowThreadProcessId(shown[0], nullptr));
        std::vector<std::uint8_t> record = InterfaceRecord(path);
        DWORD_PTR result = 0;
        EXPECT_NE(::SendMessageTimeoutA(notify[0], WM_DEVICECHANGE, step.Code,
                                        reinterpret_cast<LPARAM>(record.data()), SMTO_ABORTIFHUNG, 5000, &result),
                  0);
        EXPECT_TRUE(console.WaitFor([&] { return ReadFileText(trace).find(step.Traced) != std::string::npos; }))
            << ReadFileText(trace);
    }
    ASSERT_TRUE(::PostMessageA(shown[0], WM_CLOSE, 0, 0));
    EXPECT_EQ(console.Wait(), 0) << console.Err->Text();
}

TEST(ConsoleOnWindows, UsageErrorsAndHelpNeedNoWindow)
{
    struct TCase {
        const char* Args;
        int Exit;
        const char* Out;
        const char* Err;
    };
    for (const TCase& c : {TCase{"--simulat", 2, "", "usage: corvane-console"},
                           TCase{"--sim-battery 3000", 2, "", "--sim-battery needs --simulate"},
                           TCase{"--help", 0, "-platform offscreen", ""}}) {
        SCOPED_TRACE(c.Args);
        TConsole console(c.Args);
        ASSERT_TRUE(console.Started());
        EXPECT_EQ(console.Wait(), c.Exit);
        EXPECT_NE(console.Out->Text().find(c.Out), std::string::npos) << console.Out->Text();
        EXPECT_NE(console.Err->Text().find(c.Err), std::string::npos) << console.Err->Text();
    }
}
