#include "CliCommands.h"

#include "../ops/NumberEntry.h"
#include "../protocol/UsbIds.h"
#include "../sim/TraceReplay.h"

#include <algorithm>
#include <cstdio>

namespace cli {

// --- Exit codes from outcomes ----------------------------------------------------------

TExitCode ExitFor(ops::TOutcome outcome)
{
    switch (outcome) {
    case ops::TOutcome::Done: return TExitCode::Success;
    case ops::TOutcome::Stopped: return TExitCode::Interrupted;
    case ops::TOutcome::Failed: return TExitCode::Failed;
    case ops::TOutcome::VerifyMismatch: return TExitCode::Mismatch;
    case ops::TOutcome::NoDevice: return TExitCode::NoRemote;
    case ops::TOutcome::FileError: return TExitCode::FileError;
    case ops::TOutcome::BadInput: return TExitCode::Usage;
    }
    return TExitCode::Failed;
}

std::string_view OutcomeName(TExitCode code)
{
    switch (code) {
    case TExitCode::Success: return "done";
    case TExitCode::Interrupted: return "stopped";
    case TExitCode::Failed: return "failed";
    case TExitCode::Mismatch: return "verify_mismatch";
    case TExitCode::NoRemote: return "no_device";
    case TExitCode::FileError: return "file_error";
    case TExitCode::Usage: return "bad_input";
    }
    return "failed";
}

std::string HexAddress(std::uint32_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", address);
    return text;
}

std::string HexByte(std::uint8_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string MismatchText(const ops::TMismatch& mismatch)
{
    return "verify mismatch at " + HexAddress(mismatch.Address) + ": expected " + HexByte(mismatch.Expected) +
           ", read " + HexByte(mismatch.Actual);
}

// "vvvv:pppp", as lsusb shows USB IDs.
std::string IdsText(std::uint16_t vendor, std::uint16_t product)
{
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

// A word that looks like an option but is a number ("-1", "-$10").
bool IsNumber(const std::string& word)
{
    return IsNumberText(word);
}

// --- The command table and the parser -------------------------------------------------

const std::vector<TCommand>& Commands()
{
    static const std::vector<TCommand> table{
        {{"list"}, "", "every attached interface with the remote's IDs", 0, 0, 0, &TCli::List},
        {{"status"}, "", "whether the remote is connected", 0, 0, 0, &TCli::Status},
        {{"version"}, "[--decoded]", "the version, raw or decoded", OptDecoded, 0, 0, &TCli::Version},
        {{"reset"}, "[TYPE]", "reset; TYPE 1-4 or its name (default USB)", 0, 0, 1, &TCli::Reset},
        {{"misc", "read"}, "byte|word TYPE INDEX", "read a register; TYPE 0-12 or its name", 0, 3, 3,
         &TCli::MiscRead},
        {{"misc", "write"}, "byte|word TYPE INDEX VALUE", "write a register", 0, 4, 4, &TCli::MiscWrite},
        {{"battery"}, "", "the battery level", 0, 0, 0, &TCli::Battery},
        {{"hwflag"}, "", "the hardware flag", 0, 0, 0, &TCli::HardwareFlag},
        {{"clock", "set"}, "[now|YYYYMMDDTHHMMSS]", "set the remote's clock (default now)", 0, 0, 1,
         &TCli::ClockSet},
        {{"clock"}, "", "the remote's date and time", 0, 0, 0, &TCli::Clock},
        {{"flash", "read"}, "ADDR SIZE | --region NAME [-o FILE]", "hex lines, or the raw bytes into FILE",
         OptOutput | OptRegion, 0, 2, &TCli::FlashRead, true},
        {{"flash", "dump"}, "[--parts | --region NAME] [--verify] [-C DIR]",
         "into dated files and a manifest; --verify reads every piece twice",
         OptParts | OptDir | OptRegion | OptVerify, 0, 0, &TCli::FlashDump},
        {{"flash", "erase"}, "ADDR... | --range ADDR SIZE [--force]",
         "erase sectors (by address, or a range)", OptRange | OptForce, 1,
         SIZE_MAX, &TCli::FlashErase},
        {{"flash", "write"}, "ADDR FILE | --region NAME FILE [OPTIONS]",
         "write FILE, keeping every other byte", OptVerify | OptDryRun | OptVerifyAll |
         OptNoVerify | OptRaw | OptForce | OptDiff | OptBase | OptRegion | OptDir, 1, 2, &TCli::FlashWrite},
        {{"flash", "verify"}, "ADDR FILE | --region NAME FILE [--diff]", "compare the flash from ADDR with FILE",
         OptRegion | OptDiff, 1, 2, &TCli::FlashVerify},
        {{"flash", "restore"}, "DIR [--regions NAME,...] [OPTIONS]",
         "restore the newest parts dump in DIR",
         OptRegions | OptDryRun | OptVerifyAll | OptNoVerify | OptForce | OptDiff | OptDir, 1, 1,
         &TCli::FlashRestore},
        {{"ir", "capture"}, "[-o FILE]", "capture an infrared signal (default CAPTURED.BIN)", OptOutput, 0, 0,
         &TCli::IrCapture},
    };
    return table;
}

const TCommand* FindCommand(const std::vector<std::string>& words)
{
    for (const TCommand& command : Commands()) {
        if (words.size() < command.Words.size())
            continue;
        if (std::equal(command.Words.begin(), command.Words.end(), words.begin()))
            return &command;
    }
    return nullptr;
}

std::string CommandName(const TCommand& command)
{
    std::string name;
    for (const std::string_view word : command.Words) {
        if (!name.empty())
            name += ' ';
        name += word;
    }
    return name;
}

// Splits the arguments into options and words. False with error for an
// unknown option or one without its value.
bool ParseArguments(const std::vector<std::string>& args, TInvocation& inv, std::string& error)
{
    bool optionsEnded = false;
    std::string simOption;  // the first --sim-... option given
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || IsNumber(arg)) {
            inv.Words.push_back(arg);
            continue;
        }
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            inv.Help = true;
        } else if (arg == "--simulate") {
            inv.Simulation.Simulate = true;
        } else if (arg.rfind("--sim-", 0) == 0) {
            // The simulated remote's options, read where corvane-sim reads its own.
            std::string text;
            const std::string_view name = std::string_view(arg).substr(6);
            if (!IsSimOption(name)) {
                error = "unknown option '" + arg + "'";
                return false;
            }
            if (!value(text) || !*SetSimOption(name, arg, text, inv.Simulation.Setup, error))
                return false;
            if (simOption.empty())
                simOption = arg;
        } else if (arg == "--json") {
            inv.Json = true;
        } else if (arg == "--device") {
            if (!value(inv.Device))
                return false;
            if (inv.Device.empty()) {
                error = "--device needs a path, not an empty word";
                return false;
            }
        } else if (arg == "--trace") {
            if (!value(inv.Trace))
                return false;
            if (inv.Trace.empty()) {
                error = "--trace needs a file name, not an empty word";
                return false;
            }
        } else if (arg == "--replay") {
            if (!value(inv.Replay))
                return false;
            if (inv.Replay.empty()) {
                error = "--replay needs a trace file, not an empty word";
                return false;
            }
        } else if (arg == "--replay-timing") {
            std::string timing;
            if (!value(timing))
                return false;
            if (timing != "paced" && timing != "recorded") {
                error = "--replay-timing takes paced or recorded, not '" + timing + "'";
                return false;
            }
            inv.ReplayRecorded = timing == "recorded";
        } else if (arg == "--decoded") {
            inv.Decoded = true;
            inv.Given |= OptDecoded;
        } else if (arg == "--parts") {
            inv.Parts = true;
            inv.Given |= OptParts;
        } else if (arg == "--verify") {
            inv.Verify = true;
            inv.Given |= OptVerify;
        } else if (arg == "--dry-run") {
            inv.Given |= OptDryRun;
        } else if (arg == "--verify-all") {
            inv.Given |= OptVerifyAll;
        } else if (arg == "--no-verify") {
            inv.Given |= OptNoVerify;
        } else if (arg == "--raw") {
            inv.Given |= OptRaw;
        } else if (arg == "--force") {
            inv.Given |= OptForce;
        } else if (arg == "--diff") {
            inv.Given |= OptDiff;
        } else if (arg == "--range") {
            inv.Given |= OptRange;
        } else if (arg == "--base") {
            if (!value(inv.Base))
                return false;
            if (inv.Base.empty()) {
                error = "--base needs a file name, not an empty word";
                return false;
            }
            inv.Given |= OptBase;
        } else if (arg == "--region") {
            if (!value(inv.Region))
                return false;
            inv.Given |= OptRegion;
        } else if (arg == "-o") {
            if (!value(inv.Output))
                return false;
            // A path that names a folder has no file name to write under.
            if (inv.Output.empty() || inv.Output.back() == '/' || inv.Output.back() == '\\') {
                error = "-o needs a file name, not '" + inv.Output + "'";
                return false;
            }
            inv.Given |= OptOutput;
        } else if (arg == "--regions") {
            if (!value(inv.Regions))
                return false;
            inv.Given |= OptRegions;
        } else if (arg == "-C") {
            if (!value(inv.Directory))
                return false;
            inv.Given |= OptDir;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (!simOption.empty() && !inv.Simulation.Simulate) {
        error = simOption + " needs --simulate";
        return false;
    }
    if (!inv.Replay.empty() && (inv.Simulation.Simulate || !inv.Device.empty())) {
        error = "--replay excludes --simulate and --device";
        return false;
    }
    return true;
}

// --- The connection's failure, for --device -------------------------------------------

std::string TCli::DeviceReason(IHidPlatform& platform)
{
    const std::string& path = FInv.Device;
    if (path.empty())
        return {};
    // The connection's lines name a remote that cannot be opened already.
    if (const TUsbDevice* device = FRemote->Device(); device && device->OpenFailure())
        return {};
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool idsKnown = false;
    for (const THidInterfaceInfo& info : platform.Enumerate()) {
        if (SameDevicePath(info.Path, path) && info.IdsKnown) {
            vendor = info.VendorId;
            product = info.ProductId;
            idsKnown = true;
        }
    }
    if (!idsKnown) {
        // Not listed, or listed without IDs: the open says what it is.
        std::error_code error;
        const std::unique_ptr<IHidHandle> handle = platform.Open(path, error);
        if (!handle)
            return path + ": " + (error ? error.message() : std::string("cannot be opened"));
        if (!handle->GetAttributes(vendor, product)) {
#ifdef _WIN32
            return path + ": not a HID interface";
#else
            return path + ": not a hidraw node";
#endif
        }
    }
    if (vendor != CORVANE_USB_IDS.VendorId || product != CORVANE_USB_IDS.ProductId)
        return path + ": not the remote (IDs " + IdsText(vendor, product) + ")";
    return {};
}

}  // namespace cli

using namespace cli;

std::string CliUsage()
{
    std::string text =
        "usage: corvane-cli [--simulate [SIM OPTIONS] | --replay TRACE] [--device PATH]\n"
        "                   [--trace FILE] [--json] COMMAND [ARGS]\n"
        "                   COMMAND [ARGS]\n"
        "\n"
        "Every operation of the engineering console, on the remote attached over USB.\n"
        "\n"
        "Commands:\n";
    for (const TCommand& command : Commands()) {
        std::string synopsis = CommandName(command);
        if (!command.Args.empty()) {
            synopsis += ' ';
            synopsis += command.Args;
        }
        // A synopsis too long for its column has the summary on a line of its own.
        if (synopsis.size() > 38)
            synopsis += "\n" + std::string(40, ' ');
        char line[240];
        std::snprintf(line, sizeof line, "  %-38s %.*s\n", synopsis.c_str(), static_cast<int>(command.Summary.size()),
                      command.Summary.data());
        text += line;
    }
    text +=
        "\n"
        "Options:\n"
        "  --simulate      use a simulated remote inside the program\n"
        "  --device PATH   use this node (e.g. /dev/hidraw3, or sim:hidraw0 with\n"
        "                  --simulate) and no other; if it is not the remote, says why\n"
        "  --trace FILE    append every report to and from the remote, and every\n"
        "                  arrival, removal, open, close and log line, to FILE; a\n"
        "                  trace that cannot be written does not stop the operation,\n"
        "                  but the program then says so at the end and exits 4\n"
        "  --replay TRACE  use a remote that answers as the remote recorded in TRACE\n"
        "                  (a --trace file) answered the same requests\n"
        "  --replay-timing paced|recorded\n"
        "                  send the recorded answers one per millisecond (paced, the\n"
        "                  default) or at their recorded spacing\n"
        "  --json          one JSON object on standard output instead of the lines:\n"
        "                  \"outcome\" (done, failed, no_device, file_error,\n"
        "                  verify_mismatch, stopped), \"error\" unless done, and what\n"
        "                  list, status, version, misc read, battery, hwflag and\n"
        "                  clock read (clock's day_of_week counts as the remote does,\n"
        "                  1 Sunday to 7 Saturday, and day_name names the day);\n"
        "                  flash read takes it only with -o. Bad usage (exit 2)\n"
        "                  prints no object\n"
        "  -h, --help      this text\n"
        "\n"
        "Flash writes: flash write (and restore) bring the file onto the flash and keep\n"
        "every byte outside it. They read the sectors the file touches, erase only the\n"
        "sectors where a bit must go from 0 to 1, write only the bytes that differ\n"
        "(leaving out 0xFF after an erase) and read back what they wrote.\n"
        "Before the first change, what those sectors held is saved in\n"
        "YYYYMMDDTHHMMSS_before_AAAAAA.bin (AAAAAA its hex address) in the current\n"
        "folder or -C DIR: flash write 0xAAAAAA FILE puts it back. Options:\n"
        "  --region NAME   address and size of a region of the parts dump (read,\n"
        "                  dump, write, verify); FILE must be exactly its size\n"
        "  --dry-run       read and print the plan (sectors unchanged, program-only,\n"
        "                  erase and write; bytes sent and skipped; the time);\n"
        "                  change nothing\n"
        "  --base FILE     a dump the flash holds (all 16 MiB, or with --region that\n"
        "                  region's file): sectors it covers are not read, a sample\n"
        "                  is read back and a stale base refused (exit 5)\n"
        "  --verify        the default: read back what was written\n"
        "  --verify-all    read back every sector the file touches\n"
        "  --no-verify     read nothing back\n"
        "  --diff          list every differing range of a mismatch (write, verify,\n"
        "                  restore)\n"
        "  --force         write or erase even when the battery is below 3.560 V\n"
        "  --raw           write: only send FILE's bytes, no read, no erase, no\n"
        "                  read-back unless --verify (for studying the flash itself)\n"
        "  --range ADDR SIZE  erase: every sector of a range on sector edges\n"
        "Dumps write YYYYMMDDTHHMMSS_manifest.json beside their files (the version\n"
        "reply, the time, each file's region, start, size and SHA-256); restore\n"
        "refuses a file that is missing or changed since.\n"
        "\n"
        "The simulated remote (only with --simulate) keeps the real one's pace: one\n"
        "report per millisecond each way, and a sector erase takes 45 ms. Options:\n"
        "  --sim-flash FILE      its flash starts from FILE (exactly 16 MiB), or from\n"
        "                        the default content when FILE does not exist, and is\n"
        "                        saved back to FILE when the program ends (also after\n"
        "                        Ctrl-C): a sequence of runs works on one remote\n"
        "  --sim-erase-ms MS     a sector erase takes MS milliseconds (0 to 60000)\n"
        "  --sim-battery MV      the battery reads MV millivolts (default 3912)\n"
        "  --sim-fault NAME[=N]  inject a fault; repeatable. The faults, as corvane-sim\n"
        "                        --fault takes them:\n";
    text += SimFaultHelp("    ");
    text += "\n";
    text += NumbersHelp;
    text +=
        "\n"
        "Long work (flash read past one chunk, dump, write, verify, restore, ir capture)\n"
        "shows a progress line on standard error when it is a terminal. Ctrl-C stops it\n"
        "after the chunk in hand, keeps what was read and exits 130.\n"
        "\n"
        "Exit codes:\n"
        "  0    success\n"
        "  1    the remote refused or the operation failed\n"
        "  2    bad usage or a bad number\n"
        "  3    no remote, or it cannot be opened\n"
        "  4    a file cannot be read or written (standard output and the trace\n"
        "       file included, when nothing else failed)\n"
        "  5    verify mismatch\n"
        "  130  interrupted (Ctrl-C)\n";
    return text;
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, TCliHost& host)
{
    TInvocation inv;
    inv.Args = args;
    std::string error;
    auto usage = [&](const std::string& message) {
        err << Program << ": " << message << "\n" << "Try 'corvane-cli --help'.\n";
        return static_cast<int>(TExitCode::Usage);
    };
    if (!ParseArguments(args, inv, error))
        return usage(error);
    if (inv.Help) {
        out << CliUsage();
        out.flush();
        return static_cast<int>(TExitCode::Success);
    }
    if (inv.Words.empty())
        return usage("no command given");
    const TCommand* command = FindCommand(inv.Words);
    if (!command)
        return usage("unknown command '" + inv.Words[0] + (inv.Words.size() > 1 ? " " + inv.Words[1] : "") + "'");
    const std::vector<std::string> commandArgs(inv.Words.begin() + static_cast<long>(command->Words.size()),
                                               inv.Words.end());
    const std::string name = CommandName(*command);
    if (commandArgs.size() < command->MinArgs || commandArgs.size() > command->MaxArgs)
        return usage("usage: corvane-cli " + name + (command->Args.empty() ? "" : " " + std::string(command->Args)));
    if (inv.Json && command->PrintsData && !(inv.Given & OptOutput))
        return usage("--json does not go with '" + name + "' without -o: its data are hex lines");
    if (const unsigned stray = inv.Given & ~command->Options) {
        static const std::pair<unsigned, const char*> Names[] = {
            {OptDecoded, "--decoded"}, {OptOutput, "-o"},         {OptParts, "--parts"},
            {OptDir, "-C"},            {OptVerify, "--verify"}, {OptRegions, "--regions"},
            {OptDryRun, "--dry-run"},  {OptVerifyAll, "--verify-all"}, {OptNoVerify, "--no-verify"},
            {OptRaw, "--raw"},         {OptForce, "--force"},   {OptDiff, "--diff"},
            {OptBase, "--base"},       {OptRegion, "--region"}, {OptRange, "--range"}};
        for (const auto& [bit, optionName] : Names)
            if (stray & bit)
                return usage(std::string(optionName) + " does not go with '" + name + "'");
    }

    // A trace to replay is read before anything starts; a bad one is bad
    // usage. Requests without a recorded answer are told on standard error.
    std::unique_ptr<TTraceReplay> replay;
    if (!inv.Replay.empty()) {
        replay = TTraceReplay::Open(inv.Replay, inv.ReplayRecorded ? TReplayTiming::Recorded : TReplayTiming::Paced,
                                    [&err](const std::string& message) { err << message << '\n'; }, error);
        if (!replay) {
            err << Program << ": " << error << '\n';
            return static_cast<int>(TExitCode::Usage);
        }
    }

    TCli cli(out, err, host, std::move(inv), replay.get());
    return static_cast<int>(cli.Run(*command, commandArgs));
}
