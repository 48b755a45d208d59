// corvane-cli: the engineering console's operations from the command line.
//
//   corvane-cli [--simulate [SIM OPTIONS] | --replay TRACE] [--device PATH] [--trace FILE] [--json] COMMAND [ARGS]
//
// Everything but the choice of platform, the signals and the terminal is in
// RunCli (Cli.cpp); `corvane-cli --help` lists the commands and exit codes.
// The simulated remote's flash file is written back here, once RunCli has
// returned, also when Ctrl-C ended the command.

#include "Cli.h"
#include "CliSupport.h"

#include "../sim/SimHidBus.h"
#include "../sim/SimRemote.h"
#include "../hid/TimerResolution.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <streambuf>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <langinfo.h>
#include <unistd.h>
#endif

namespace {

// The user's decimal separator, without changing the program's locale.
std::string UserDecimalSeparator()
{
#ifdef _WIN32
    char separator[8] = {};
    if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator, sizeof separator) > 1)
        return separator;
#else
    if (locale_t user = newlocale(LC_NUMERIC_MASK, "", nullptr)) {
        std::string separator = nl_langinfo_l(RADIXCHAR, user);
        freelocale(user);
        return separator;
    }
#endif
    return ".";
}

// Standard output with every write checked. The first failure's reason is
// kept: a hex dump or a JSON object sent to a full disk must not end in exit
// status 0. Writes go through the C library's buffer of stdout.
class TCheckedOutput : public std::streambuf {
public:
    // Flushes and closes standard output, as the last thing the program does
    // with it; the first error of any write, the flush or the close. A
    // standard output that was closed before the program started is no
    // error while nothing was written to it.
    std::error_code Close()
    {
        errno = 0;
        if (std::fflush(stdout) != 0)
            Failed();
        const bool wrote = FWrote;
        errno = 0;
        if (std::fclose(stdout) != 0 && !(errno == EBADF && !wrote))
            Failed();
        return FError;
    }

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        FWrote = true;
        errno = 0;
        if (std::fputc(traits_type::to_char_type(c), stdout) == EOF) {
            Failed();
            return traits_type::eof();
        }
        return c;
    }

    std::streamsize xsputn(const char* data, std::streamsize length) override
    {
        FWrote = FWrote || length > 0;
        errno = 0;
        const std::size_t written = std::fwrite(data, 1, static_cast<std::size_t>(length), stdout);
        if (written != static_cast<std::size_t>(length))
            Failed();
        return static_cast<std::streamsize>(written);
    }

    int sync() override
    {
        errno = 0;
        if (std::fflush(stdout) != 0) {
            Failed();
            return -1;
        }
        return 0;
    }

private:
    void Failed()
    {
        if (!FError)
            FError = std::error_code(errno ? errno : EIO, std::generic_category());
    }

    bool FWrote = false;
    std::error_code FError;
};

bool StandardErrorIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader of standard output that goes away must not kill the program
    // in the middle of a flash write: the write finishes, the output is lost.
#ifdef SIGPIPE  // Windows has no such signal: a write to a closed pipe just fails
    std::signal(SIGPIPE, SIG_IGN);
#endif
    InstallInterruptHandler();

    // The battery line uses the user's decimal separator, as the window does;
    // everything else is formatted in the C locale.
    const std::string separator = UserDecimalSeparator();

    // Millisecond waits where the system would round them up (Windows).
    const TFineTimers fineTimers;

    // The platform, and when simulating the bus and its remote, live until
    // the end of main: the connection refers to them until RunCli returns.
    std::unique_ptr<IHidPlatform> platform;
    std::unique_ptr<TSimDemo> simulated;

    TCliHost host;
    host.Interrupted = &InterruptFlag();
    host.ProgressOnTerminal = StandardErrorIsTerminal();
    host.DecimalSeparator = separator;
    host.Platform = [&](const TCliSimulation& simulation, std::string& error) -> IHidPlatform* {
        if (simulation.Simulate) {
            simulated = TSimDemo::Create(simulation.Setup, error);
            return simulated ? &simulated->Bus() : nullptr;
        }
        platform = CreateSystemHidPlatform();
        return platform.get();
    };

    TCheckedOutput checked;
    std::ostream out(&checked);
    int code = RunCli(std::vector<std::string>(argv + 1, argv + argc), out, std::cerr, host);
    // The exit code is decided once everything is out: what the program
    // printed is part of what it did. An operation that failed keeps its own
    // code; the write error is said either way.
    if (const std::error_code error = checked.Close()) {
        std::cerr << "corvane-cli: write error on standard output: " << error.message() << '\n';
        if (code == 0)
            code = static_cast<int>(TExitCode::FileError);
    }
    // The simulated remote's flash goes back to its file, also after Ctrl-C,
    // so that the next run finds what this one wrote.
    std::string error;
    if (simulated && !simulated->Save(error)) {
        std::cerr << "corvane-cli: " << error << '\n';
        if (code == 0)
            code = static_cast<int>(TExitCode::FileError);
    }
    return code;
}
