#pragma once
// corvane-cli: every operation of the console from the command line, as a
// function over arguments, output streams and a platform, so that tests run
// it in-process on the simulated bus and the program's main stays thin.
//
//   corvane-cli [--simulate [--sim-...] | --replay TRACE] [--device PATH] [--trace FILE] [--json] COMMAND [ARGS]
//
// The log lines of the operations go to out exactly as the window words
// them, errors and the progress line to err. Runs on the calling thread,
// which plays the GUI thread of the protocol layer.

#include "../hid/HidPlatform.h"
#include "../ops/Operations.h"
#include "../sim/SimSetup.h"

#include <csignal>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

// The choice of platform on the command line: this machine's, or with
// --simulate the simulated remote set up by the --sim-... options.
struct TCliSimulation {
    bool Simulate = false;
    TSimSetup Setup;
};

struct TCliHost {
    // The platform: with Simulate the simulated demo remote's bus, otherwise
    // this machine's. Called at most once per run, only by commands that need
    // a remote; what it returns must outlive the run. Null, with the reason
    // in error, when the simulated remote cannot be made (its flash file
    // cannot be used): the run then exits with a file error.
    std::function<IHidPlatform*(const TCliSimulation& simulation, std::string& error)> Platform;
    // Checked between chunks; the program's SIGINT handler sets it.
    const volatile std::sig_atomic_t* Interrupted = nullptr;
    // Standard error is a terminal: draw the progress line there.
    bool ProgressOnTerminal = false;
    // Date, time and the millisecond tick (dump file names, `clock set now`,
    // the progress line's rate); the system's clock when null.
    ops::IOpsClock* Clock = nullptr;
    // Bytes per read request of flash reads, dumps, verifies and restores:
    // the protocol's largest, so that the fixed pause after each request
    // costs least. (In-process tests on an unpaced simulated remote, which
    // streams faster than any USB remote, use smaller ones.)
    std::uint16_t Chunk = ops::LargestChunk;
    // The decimal separator of the user's locale, for the battery line.
    std::string DecimalSeparator = ".";
};

// Runs one command line (args without the program name); returns the exit
// code (see TExitCode in CliSupport.h).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, TCliHost& host);

// The usage text of --help.
std::string CliUsage();
