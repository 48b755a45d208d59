// corvane-cli: the engineering console's operations from the command line.
//
//   corvane-cli [--simulate | --device PATH | --replay TRACE] [--trace FILE] [--json] COMMAND [ARGS]
//
// Everything but the choice of platform, the signals and the terminal is in
// RunCli (Cli.cpp); `corvane-cli --help` lists the commands and exit codes.

#include "Cli.h"
#include "CliSupport.h"

#include "../sim/SimHidBus.h"
#include "../sim/SimRemote.h"
#include "../hid/TimerResolution.h"

#include <clocale>
#include <csignal>
#include <iostream>
#include <memory>

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

    TCliHost host;
    host.Interrupted = &InterruptFlag();
    host.ProgressOnTerminal = StandardErrorIsTerminal();
    host.DecimalSeparator = separator;
    host.Platform = [&](bool simulate) -> IHidPlatform& {
        if (simulate) {
            platform = TSimRemote::DemoBus();
        } else {
            platform = CreateSystemHidPlatform();
        }
        return *platform;
    };

    std::ios::sync_with_stdio(false);
    const int code = RunCli(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr, host);
    std::cout.flush();
    return code;
}
