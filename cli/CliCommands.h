#pragma once
// The pieces of corvane-cli that its command files share: the invocation,
// the output sink and event loop, and the TCli class whose members are the
// commands. One file per page of the window: CliVersion.cpp (list, status,
// version, reset), CliRegisters.cpp, CliFlash.cpp with CliFlashImage.cpp
// (writes through the image engine, recovery files, the battery check,
// manifests), CliInfrared.cpp; Cli.cpp holds the command table, the parser
// and RunCli.

#include "Cli.h"
#include "CliSupport.h"

#include "../hid/PlainEventLoop.h"
#include "../hid/TracePlatform.h"
#include "../ops/Files.h"
#include "../ops/FlashImage.h"
#include "../ops/FlashParts.h"
#include "../ops/Operations.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

inline const char* const Program = "corvane-cli";

// --- Exit codes and texts from outcomes -------------------------------------------------

TExitCode ExitFor(ops::TOutcome outcome);
// The "outcome" of the JSON object for an exit code: "done", "failed",
// "bad_input", "no_device", "file_error", "verify_mismatch", "stopped".
std::string_view OutcomeName(TExitCode code);
std::string HexAddress(std::uint32_t address);
std::string HexByte(std::uint8_t value);
std::string MismatchText(const ops::TMismatch& mismatch);
// "vvvv:pppp", as lsusb shows USB IDs.
std::string IdsText(std::uint16_t vendor, std::uint16_t product);

// --- The command line --------------------------------------------------------------

enum TOptionBit : unsigned {
    OptDecoded = 1,
    OptOutput = 2,
    OptParts = 4,
    OptDir = 8,
    OptVerify = 16,
    OptRegions = 32,
    OptDryRun = 64,
    OptVerifyAll = 128,
    OptNoVerify = 256,
    OptRaw = 512,
    OptForce = 1024,
    OptDiff = 2048,
    OptBase = 4096,
    OptRegion = 8192,
    OptRange = 16384,
};

struct TInvocation {
    TCliSimulation Simulation;  // --simulate and the --sim-... options
    bool Json = false;
    bool Help = false;
    std::string Device;
    std::string Trace;
    std::string Replay;            // --replay: the trace to answer from
    bool ReplayRecorded = false;   // --replay-timing recorded
    unsigned Given = 0;  // command options given (TOptionBit)
    bool Decoded = false, Parts = false, Verify = false;
    std::string Output;     // -o
    std::string Directory;  // -C
    std::string Regions;    // --regions NAME,...
    std::string Region;     // --region NAME
    std::string Base;       // --base FILE
    std::vector<std::string> Words;  // the command and its arguments
    std::vector<std::string> Args;   // the whole command line, for the trace's header
};


class TCli;
using THandler = TExitCode (TCli::*)(const std::vector<std::string>& args);

struct TCommand {
    std::vector<std::string_view> Words;
    std::string_view Args;     // the synopsis after the words
    std::string_view Summary;  // for --help
    unsigned Options;          // command options it takes (TOptionBit)
    std::size_t MinArgs, MaxArgs;
    THandler Run;
    // Its output is the data itself (hex lines): --json is refused unless
    // -o sends the data to a file.
    bool PrintsData = false;
};

// The log lines of the operations on standard output, their progress on
// standard error; asks the interrupt flag whether to keep going.
class TCliSink : public ops::IOpsSink {
public:
    TCliSink(std::ostream& out, TProgressLine& progress, const volatile std::sig_atomic_t* interrupted)
        : FOut(out), FProgress(progress), FInterrupted(interrupted)
    {
    }

    bool Quiet = false;      // --json: the result is printed, not the lines
    std::string WhatPrefix;  // names the part in hand in the progress line
    bool Phased = false;     // progress of the image engine: phases of one count
    std::string LastLine;    // the last line said: a failure's line is the error
    TTracePlatform* Trace = nullptr;  // --trace: every line goes there too, also when quiet

    void Line(const std::string& line) override
    {
        LastLine = line;
        if (Trace)
            Trace->Log(line);
        if (Quiet)
            return;
        FProgress.Hide();
        FOut << line << '\n';
        FOut.flush();
        FProgress.Show();
    }

    void Lines(const std::vector<std::string>& lines) override
    {
        if (!lines.empty())
            LastLine = lines.back();
        if (Trace)
            for (const std::string& line : lines)
                Trace->Log(line);
        if (Quiet)
            return;
        // One write for the block: a hex dump of 4,097 lines costs one call.
        std::string block;
        std::size_t length = 0;
        for (const std::string& line : lines)
            length += line.size() + 1;
        block.reserve(length);
        for (const std::string& line : lines) {
            block += line;
            block += '\n';
        }
        FProgress.Hide();
        FOut << block;
        FOut.flush();
        FProgress.Show();
    }

    void Progress(const ops::TProgress& progress) override
    {
        // An image's phases share one count: one step, its phase shown.
        if (Phased)
            FProgress.Update(WhatPrefix + "image", progress.Done, progress.Total,
                             WhatPrefix + std::string(progress.What));
        else
            FProgress.Update(WhatPrefix + std::string(progress.What), progress.Done, progress.Total);
    }

    bool KeepGoing() override { return !Interrupted(); }

    bool Interrupted() const { return FInterrupted && *FInterrupted; }

private:
    std::ostream& FOut;
    TProgressLine& FProgress;
    const volatile std::sig_atomic_t* FInterrupted;
};

// The protocol layer's event loop without a window. While a capture runs,
// Capturing is called after every dispatch: the capture holds the thread
// and dispatches once per turn, so that is where its count is shown and
// where an interrupt stops it, as the button's second press does (through
// the remote's Abort). Flash transfers are never aborted this way: they stop
// between chunks (KeepGoing), never inside one.
class TCliLoop : public IGuiEventLoop {
public:
    std::function<void()> Capturing;

    void Post(std::function<void()> fn) override { FLoop.Post(std::move(fn)); }

    void DispatchMessages(bool wait) override
    {
        FLoop.DispatchMessages(wait);
        if (Capturing)
            Capturing();
    }

private:
    TPlainEventLoop FLoop;
};

// Clears a hook when the scope is left, however.
class THookScope {
public:
    THookScope(std::function<void()>& hook, std::function<void()> fn) : FHook(hook) { FHook = std::move(fn); }
    ~THookScope() { FHook = nullptr; }
    THookScope(const THookScope&) = delete;
    THookScope& operator=(const THookScope&) = delete;

private:
    std::function<void()>& FHook;
};

// A file given on the command line: its folder for the file factory, its
// name for the operation.
struct TFilePlace {
    std::string Dir;
    std::string Name;
};

TFilePlace SplitPath(const std::string& path);
// Reads a whole input file of at most limit bytes: FileError with the
// system's reason, Usage when it holds more (read no further than that).
TExitCode ReadInputFile(const std::string& path, std::uint64_t limit, TByteArray& data, std::string& error);

// --- The commands --------------------------------------------------------------------

class TCli {
public:
    // The lowest battery a write or erase starts on: 10% on the window's scale.
    static constexpr std::uint16_t MinWriteMillivolts = 3560;

    // With replay, the remote is the replayed one, whatever the host offers.
    TCli(std::ostream& out, std::ostream& err, TCliHost& host, TInvocation invocation,
         IHidPlatform* replay = nullptr)
        : FOut(out),
          FErr(err),
          FHost(host),
          FInv(std::move(invocation)),
          FReplay(replay),
          FClock(host.Clock ? *host.Clock : FSystemClock),
          FProgress(err, host.ProgressOnTerminal, [this] { return FClock.TickMs(); }),
          FSink(out, FProgress, host.Interrupted)
    {
    }

    ~TCli()
    {
        FProgress.End();
        // The connection goes before the loop and the trace it uses.
        FRemote.reset();
    }

    // Runs the command, then what every command ends with: the interrupt,
    // the connection closed, the trace checked and closed, and under --json
    // the one object on standard output (bad usage, exit 2, prints none).
    TExitCode Run(const TCommand& command, const std::vector<std::string>& args)
    {
        FSink.Quiet = FInv.Json;
        TExitCode code = TExitCode::Failed;
        try {
            code = (this->*command.Run)(args);
        } catch (const std::exception& e) {
            // A consistency check of the protocol layer, or a file error that
            // no operation caught: the remote broke its rules or the system failed.
            code = Fail(TExitCode::Failed, std::string("error: ") + e.what());
        }
        FProgress.End();
        // A short command finishes what it sent; Ctrl-C during it still
        // ends the program as interrupted.
        if (code == TExitCode::Success && FSink.Interrupted())
            code = Fail(TExitCode::Interrupted, "interrupted");
        // A failure the operation said in a log line ("Read failed") has
        // that line as its error, not a later one of the trace.
        if (code != TExitCode::Success && FError.empty())
            FError = FSink.LastLine;
        // The trace holds the close of the connection too.
        FRemote.reset();
        if (FTrace) {
            // The exit code of the operation, for a replay to compare with.
            FTrace->WriteLine("EXIT " + std::to_string(static_cast<int>(code)));
            // A trace that could not be written fails the run at its end, not
            // the operation: a flash write is not cut short for its trace.
            if (const std::error_code error = FTrace->Close()) {
                const TExitCode traceCode = Fail(TExitCode::FileError, "write error on trace file " + FInv.Trace +
                                                                           ": " + error.message());
                if (code == TExitCode::Success)
                    code = traceCode;
            }
        }
        if (FInv.Json && code != TExitCode::Usage)
            PrintJson(code);
        return code;
    }

    TExitCode List(const std::vector<std::string>&);
    TExitCode Status(const std::vector<std::string>&);
    TExitCode Version(const std::vector<std::string>&);
    TExitCode Reset(const std::vector<std::string>&);
    TExitCode MiscRead(const std::vector<std::string>&);
    TExitCode MiscWrite(const std::vector<std::string>&);
    TExitCode Battery(const std::vector<std::string>&);
    TExitCode HardwareFlag(const std::vector<std::string>&);
    TExitCode Clock(const std::vector<std::string>&);
    TExitCode ClockSet(const std::vector<std::string>&);
    TExitCode FlashRead(const std::vector<std::string>&);
    TExitCode FlashDump(const std::vector<std::string>&);
    TExitCode FlashErase(const std::vector<std::string>&);
    TExitCode FlashWrite(const std::vector<std::string>&);
    TExitCode FlashVerify(const std::vector<std::string>&);
    TExitCode FlashRestore(const std::vector<std::string>&);
    TExitCode IrCapture(const std::vector<std::string>&);

private:
    // Says message on standard error; the first one is the error of the
    // JSON object.
    TExitCode Fail(TExitCode code, const std::string& message)
    {
        FProgress.End();
        FErr << Program << ": " << message << '\n';
        if (FError.empty())
            FError = message;
        if (FTrace)
            FTrace->Log(std::string(Program) + ": " + message);
        return code;
    }

    // The platform, wrapped in the trace when asked for one; null (and the
    // reason on standard error) when the trace file cannot be opened.
    IHidPlatform* Platform()
    {
        std::string error;
        IHidPlatform* made = FReplay ? FReplay : FHost.Platform(FInv.Simulation, error);
        if (!made) {
            Fail(TExitCode::FileError, error);
            return nullptr;
        }
        IHidPlatform& platform = *made;
        if (FInv.Trace.empty())
            return &platform;
        if (!FTrace) {
            FTrace = TTracePlatform::AppendToFile(platform, FInv.Trace, error);
            if (!FTrace) {
                Fail(TExitCode::FileError, error);
                return nullptr;
            }
            FTrace->WriteHeader(Program, CORVANE_VERSION, FInv.Args);
            FSink.Trace = FTrace.get();
        }
        return FTrace.get();
    }

    // The context of an operation; one that writes no file gets a factory it
    // never uses.
    ops::TOpsContext Context(ops::IFileFactory& files) { return Context(FSink, files); }
    ops::TOpsContext Context() { return Context(FSink, FNoFiles); }
    ops::TOpsContext Context(ops::IOpsSink& sink, ops::IFileFactory& files)
    {
        return ops::TOpsContext{*FRemote, sink, FClock, files, FHost.DecimalSeparator, true};
    }

    // After a failed transfer: whether the remote has gone. Its removal may
    // still wait in the event loop, so the loop runs first.
    bool RemoteGone()
    {
        FLoop.DispatchMessages(false);
        return !FRemote->Connected();
    }

    // Where a failed or stopped run left what it had: "X.partial" (one or
    // more), or that nothing was kept.
    static std::string KeptText(const ops::TStagedFiles& files, std::string_view what = "what was read",
                                bool plural = false);

    // Connects to the remote. When there is none, or it cannot be opened,
    // the connection lines and, for --device, why that interface is not the
    // remote go to standard error and the result is NoRemote (with quiet,
    // only the reason is said: the caller prints the lines).
    TExitCode Connect(bool quiet = false)
    {
        IHidPlatform* platform = Platform();
        if (!platform)
            return TExitCode::FileError;
        FRemote = std::make_unique<TCorvaneOne>(*platform, FLoop, FInv.Device);
        if (FRemote->Connected())
            return TExitCode::Success;
        TCliSink errSink(FErr, FProgress, nullptr);
        errSink.Trace = FTrace.get();
        ops::TOpsContext ctx = Context(errSink, FNoFiles);
        errSink.Quiet = quiet;
        ops::ConnectionLine(ctx);
        ops::OpenFailureLine(ctx);
        // The error of the JSON object: why the remote cannot be opened, why
        // the interface named is not it, or that there is none.
        if (const std::string reason = DeviceReason(*platform); !reason.empty())
            Fail(TExitCode::NoRemote, reason);
        else if (FError.empty())
            FError = errSink.LastLine;
        return TExitCode::NoRemote;
    }

    // Why the interface that --device names is not a remote that can be
    // used, when the connection's own lines do not say it: it does not
    // exist, it is no HID interface, or it has other IDs. Empty otherwise.
    std::string DeviceReason(IHidPlatform& platform);

    // The exit code of a result; the reason of a file error or bad input on
    // standard error, and with --json its fields for the object.
    TExitCode Finish(const ops::TResult& result, const TJsonObject& json = {})
    {
        FJsonFields.Append(json);
        if (!result.Error.empty())
            Fail(TExitCode::Failed, result.Error);
        return ExitFor(result.Outcome);
    }

    // The one object of --json: the outcome, on failure the error, then the
    // command's fields.
    void PrintJson(TExitCode code)
    {
        TJsonObject object;
        object.Text("outcome", OutcomeName(code));
        if (code != TExitCode::Success) {
            object.Text("error", FError.empty() ? std::string(OutcomeName(code)) : FError);
        }
        object.Append(FJsonFields);
        FOut << object.Str() << '\n';
        FOut.flush();
    }

    TExitCode MiscWidth(const std::string& word, bool& isWord)
    {
        if (word == "byte" || word == "word") {
            isWord = word == "word";
            return TExitCode::Success;
        }
        return Fail(TExitCode::Usage, "expected byte or word, not '" + word + "'");
    }

    TExitCode WriteOrVerify(const std::vector<std::string>& args, bool write);

    // --- The flash image engine (CliFlashImage.cpp) ---
    // The region --region names, or null (and the refusal said, exit 2).
    const TPart* RegionGiven();
    // Before anything is erased or written on a remote of architecture 12:
    // its battery must read at least MinWriteMillivolts, unless --force.
    TExitCode CheckBattery();
    // Runs the engine on target: the recovery files before the first
    // change, the plan on a dry run, the base refused once, the mismatch
    // report on standard error. unfinished is called before the message of
    // a run that stopped or failed part-way (restore's report).
    TExitCode RunImage(const ops::TImage& target, std::optional<ops::TImage> base,
                       const std::string& baseName, ops::TImageResult& result,
                       const std::function<void()>& unfinished = {});
    // The manifest beside a dump's files; FileError said when it cannot be written.
    TExitCode WriteManifest(ops::TStagedFiles& files, const std::vector<std::string>& names,
                            const std::string& stamp, const TByteArray& version);
    TExitCode EraseRange(const std::vector<std::string>& args);
    TExitCode Stopped(const std::string& kept)
    {
        return Fail(TExitCode::Interrupted, "interrupted; " + kept);
    }

    std::ostream& FOut;
    std::ostream& FErr;
    TCliHost& FHost;
    TInvocation FInv;
    IHidPlatform* FReplay;
    ops::TSystemClock FSystemClock;
    ops::IOpsClock& FClock;
    TProgressLine FProgress;
    TCliSink FSink;
    ops::TDiskFiles FNoFiles;
    TCliLoop FLoop;
    std::unique_ptr<TTracePlatform> FTrace;
    std::unique_ptr<TCorvaneOne> FRemote;
    std::string FError;        // the first message of Fail
    TJsonObject FJsonFields;   // the command's fields of the JSON object
};

}  // namespace cli
