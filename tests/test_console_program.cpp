// corvane-console as a user starts it: a process, its output and its exit
// code. Each run ends by itself (--quit-when-up, an undocumented option, quits
// once the window is up) or is killed after a few seconds.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct TRun {
    int Exit = -1;  // -1: killed after the limit
    std::string Out, Err;
};

std::string ReadAll(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Runs the console with args and an environment without any display
// variable, plus the given ones. Output goes to files, so a full pipe can
// never stall the child.
TRun RunConsole(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    char outName[] = "/tmp/corvane-console-out-XXXXXX";
    char errName[] = "/tmp/corvane-console-err-XXXXXX";
    const int out = mkstemp(outName);
    const int err = mkstemp(errName);
    unlink(outName);
    unlink(errName);

    std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=/tmp", "XDG_RUNTIME_DIR=/tmp"};
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{CORVANE_CONSOLE_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    TRun run;
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    lseek(out, 0, SEEK_SET);
    lseek(err, 0, SEEK_SET);
    run.Out = ReadAll(out);
    run.Err = ReadAll(err);
    close(out);
    close(err);
    return run;
}

TEST(ConsoleProgram, WithoutAGraphicalSessionSaysSoAndExitsWithOne)
{
    const TRun run = RunConsole({"--simulate"}, {});
    EXPECT_EQ(run.Exit, 1) << run.Err;
    EXPECT_TRUE(run.Out.empty()) << run.Out;
    for (const char* needed : {"graphical session", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM=offscreen"})
        EXPECT_NE(run.Err.find(needed), std::string::npos) << needed << " in: " << run.Err;
    EXPECT_EQ(run.Err.find("Reinstalling"), std::string::npos) << run.Err;  // Qt never started
}

// Qt's options, those with a value included, reach Qt; without a display
// variable, "-platform offscreen" is what lets the window start at all.
TEST(ConsoleProgram, QtOptionsReachQt)
{
    const std::vector<std::vector<std::string>> cases{
        {},
        {"-style", "fusion"},
        {"-stylesheet", "/dev/null"},
        {"-display", ":99"},
        {"-geometry", "400x300+10+10"},
        {"-qwindowgeometry", "400x300"},
        {"-qwindowtitle", "Bench 3"},
        {"-qwindowicon", "/dev/null"},
        {"-session", "s1"},
        {"-reverse"},
        {"-platformtheme", "none"},
    };
    for (const auto& extra : cases) {
        std::vector<std::string> args{"-platform", "offscreen"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("--simulate");
        args.push_back("--quit-when-up");
        const TRun run = RunConsole(args, {});
        const std::string shown = extra.empty() ? "(none)" : extra[0];
        EXPECT_EQ(run.Exit, 0) << shown << ": " << run.Err;
        EXPECT_EQ(run.Out, "Device connected\n") << shown;
    }
}

TEST(ConsoleProgram, UsageErrorsExitWithTwoBeforeQtStarts)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--simulat"}, {"offscreen"}, {"--page", "x"}}) {
        const TRun run = RunConsole(args, {"QT_QPA_PLATFORM=offscreen"});
        EXPECT_EQ(run.Exit, 2) << args[0];
        EXPECT_NE(run.Err.find("usage: corvane-console"), std::string::npos) << run.Err;
    }
    const TRun help = RunConsole({"--help"}, {});
    EXPECT_EQ(help.Exit, 0);
    EXPECT_NE(help.Out.find("-platform offscreen"), std::string::npos) << help.Out;
}

// The simulated remote's options: refused when bad or without --simulate;
// the flash file is made when missing, saved when the console ends, and
// refused when it is not 16 MiB.
TEST(ConsoleProgram, SimulationOptions)
{
    char dir[] = "/tmp/corvane-console-sim-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string flash = std::string(dir) + "/remote.bin";
    struct TCase {
        std::vector<std::string> Args;
        int Exit;
        std::string Err;  // part of standard error
    };
    const TCase cases[] = {
        {{"--simulate", "--sim-fault", "bogus"}, 2, "unknown fault 'bogus'"},
        {{"--sim-battery", "3000"}, 2, "--sim-battery needs --simulate"},
        {{"--simulate", "--sim-erase-ms", "-1"}, 2, "--sim-erase-ms takes milliseconds"},
        {{"--simulate", "--sim-flash", flash, "--sim-fault", "silent"}, 0, ""},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> args{"-platform", "offscreen", "--quit-when-up"};
        args.insert(args.end(), c.Args.begin(), c.Args.end());
        const TRun run = RunConsole(args, {});
        EXPECT_EQ(run.Exit, c.Exit) << c.Args[1] << ": " << run.Err;
        EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
    }
    struct stat saved {};
    ASSERT_EQ(stat(flash.c_str(), &saved), 0);
    EXPECT_EQ(saved.st_size, 0x1000000);
    EXPECT_NE(access((flash + ".partial").c_str(), F_OK), 0);

    ASSERT_EQ(truncate(flash.c_str(), 0x1000000 + 1), 0);
    const TRun refused = RunConsole({"-platform", "offscreen", "--quit-when-up", "--simulate", "--sim-flash", flash}, {});
    EXPECT_EQ(refused.Exit, 2);
    EXPECT_NE(refused.Err.find("exactly 16777216 bytes"), std::string::npos) << refused.Err;

    unlink(flash.c_str());
    rmdir(dir);
}

// --device binds the window to one interface; --trace records what crosses
// the platform interface.
TEST(ConsoleProgram, DeviceAndTrace)
{
    char dir[] = "/tmp/corvane-console-trace-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string trace = std::string(dir) + "/session.trace";
    const std::vector<std::string> up{"-platform", "offscreen", "--simulate", "--quit-when-up"};
    auto with = [&](std::vector<std::string> extra) {
        extra.insert(extra.begin(), up.begin(), up.end());
        return RunConsole(extra, {});
    };

    TRun run = with({"--device", "sim:hidraw0", "--trace", trace});
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "Device connected\n");
    const int fd = open(trace.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::string traced = ReadAll(fd);
    close(fd);
    // The header, the reports, and the window's log as LOG lines.
    for (const char* needed : {" HDR program corvane-console ", " HDR command corvane-console ",
                               " HDR device sim:hidraw0 1209:0001 input 65 output 65\n", " EV open sim:hidraw0\n",
                               " TX 00 10 00 ", " RX 00 2", " LOG Device connected\n"})
        EXPECT_NE(traced.find(needed), std::string::npos) << needed << " in: " << traced.substr(0, 400);

    run = with({"--device", "sim:hidraw7"});
    EXPECT_EQ(run.Out, "Device not connected\nConnect device and use Reinitialize USB\n");

    run = with({"--trace", std::string(dir) + "/missing/session.trace"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("Cannot open trace file"), std::string::npos) << run.Err;
    EXPECT_TRUE(run.Out.empty());

    unlink(trace.c_str());
    rmdir(dir);
}

}  // namespace
