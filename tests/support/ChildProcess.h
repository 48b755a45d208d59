#pragma once
// A program run as a child process, its standard output and error collected
// while it runs, for tests that drive the real programs (POSIX only).

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

struct TChildOptions {
    // Standard output goes to this file (e.g. /dev/full) instead of the pipe
    // that Out collects.
    std::string StdoutPath;
    // Standard error is a pseudo-terminal, as in a user's shell: the program
    // draws its progress line there.
    bool ErrOnTerminal = false;
    // The CPUs the child may run on; all when null.
    const cpu_set_t* Cpus = nullptr;
};

class TChildProcess {
public:
    TChildProcess(const char* program, const std::vector<std::string>& args, const std::filesystem::path& cwd,
                  const TChildOptions& options = {})
    {
        int out[2];
        int err[2] = {-1, -1};  // read end, write end
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        const bool made = options.ErrOnTerminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) == 0
                                                : ::pipe2(err, O_CLOEXEC) == 0;
        if (!made) {
            ::close(out[0]);
            ::close(out[1]);
            return;
        }
        FPid = ::fork();
        if (FPid == 0) {
            if (!options.StdoutPath.empty()) {
                const int file = ::open(options.StdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
                if (file < 0)
                    ::_exit(125);
                ::dup2(file, out[1]);
            }
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            for (int fd : {out[0], out[1], err[0], err[1]})
                ::close(fd);
            if (options.Cpus && ::sched_setaffinity(0, sizeof *options.Cpus, options.Cpus) != 0)
                ::_exit(125);
            if (::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            std::vector<char*> argv{const_cast<char*>(program)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(program, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        FOutFd = out[0];
        FErrFd = err[0];
    }

    ~TChildProcess()
    {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
        for (int fd : {FOutFd, FErrFd})
            if (fd >= 0)
                ::close(fd);
    }

    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Started() const { return FPid > 0; }
    void Signal(int signal) { ::kill(FPid, signal); }
    void Interrupt() { Signal(SIGINT); }

    // Collects output until standard error holds text; false after the limit.
    bool WaitForErr(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (Err.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !Drain(std::chrono::milliseconds(50)))
                return Err.find(text) != std::string::npos;
        }
        return true;
    }

    // Collects output until standard output matches; the match (its first
    // group when it has one), or empty after the limit or once the program
    // has closed its output.
    std::string WaitForOut(const std::regex& pattern, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            std::smatch match;
            if (std::regex_search(Out, match, pattern))
                return match.str(match.size() > 1 ? 1 : 0);
            if (std::chrono::steady_clock::now() > end || !Drain(std::chrono::milliseconds(50)))
                return {};
        }
    }

    // The exit code once the process has ended (128 + the signal that ended
    // it), or -1 when it did not in time: it is then killed.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        int status = 0;
        for (;;) {
            Drain(std::chrono::milliseconds(20));
            if (::waitpid(FPid, &status, WNOHANG) == FPid)
                break;
            if (std::chrono::steady_clock::now() > end) {
                ::kill(FPid, SIGKILL);
                ::waitpid(FPid, &status, 0);
                FExited = true;
                return -1;
            }
        }
        FExited = true;
        while (Drain(std::chrono::milliseconds(0))) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string Out;
    std::string Err;

private:
    // Reads what is there within the wait; false when nothing came and both
    // ends are closed.
    bool Drain(std::chrono::milliseconds wait)
    {
        if (FOutFd < 0 && FErrFd < 0)
            return false;
        pollfd fds[2] = {{FOutFd, POLLIN, 0}, {FErrFd, POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0)
            return FOutFd >= 0 || FErrFd >= 0;
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? FOutFd : FErrFd;
            if (fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? Out : Err).append(buffer, static_cast<std::size_t>(n));
                any = true;
            } else {
                // The other end closed (a pseudo-terminal reports EIO then).
                ::close(fd);
                fd = -1;
            }
        }
        return any || FOutFd >= 0 || FErrFd >= 0;
    }

    pid_t FPid = -1;
    bool FExited = false;
    int FOutFd = -1;
    int FErrFd = -1;
};
