#include "Cli.h"

#include "CliSupport.h"

#include "../hid/PlainEventLoop.h"
#include "../hid/TracePlatform.h"
#include "../ops/FlashParts.h"
#include "../ops/NumberEntry.h"
#include "../protocol/UsbIds.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

namespace {

const char* const Program = "corvane-cli";

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

std::string_view OutcomeName(ops::TOutcome outcome)
{
    switch (outcome) {
    case ops::TOutcome::Done: return "done";
    case ops::TOutcome::Stopped: return "stopped";
    case ops::TOutcome::Failed: return "failed";
    case ops::TOutcome::VerifyMismatch: return "verify_mismatch";
    case ops::TOutcome::NoDevice: return "no_device";
    case ops::TOutcome::FileError: return "file_error";
    case ops::TOutcome::BadInput: return "bad_input";
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

// --- The command line --------------------------------------------------------------

enum TOptionBit : unsigned {
    OptDecoded = 1,
    OptOutput = 2,
    OptParts = 4,
    OptDir = 8,
    OptVerify = 16,
};

struct TInvocation {
    bool Simulate = false;
    bool Json = false;
    bool Help = false;
    std::string Device;
    std::string Trace;
    unsigned Given = 0;  // command options given (TOptionBit)
    bool Decoded = false, Parts = false, Verify = false;
    std::string Output;     // -o
    std::string Directory;  // -C
    std::vector<std::string> Words;  // the command and its arguments
};

// A word that looks like an option but is a number ("-1", "-$10").
bool IsNumber(const std::string& word)
{
    std::int64_t value = 0;
    return ParseInteger64(word, value);
}

class TCli;
using THandler = TExitCode (TCli::*)(const std::vector<std::string>& args);

struct TCommand {
    std::vector<std::string_view> Words;
    std::string_view Args;     // the synopsis after the words
    std::string_view Summary;  // for --help
    unsigned Options;          // command options it takes (TOptionBit)
    std::size_t MinArgs, MaxArgs;
    THandler Run;
    bool JsonForm = false;     // --json prints its result as one object
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

    void Line(const std::string& line) override
    {
        if (Quiet)
            return;
        FProgress.End();
        FOut << line << '\n';
        FOut.flush();
    }

    void Lines(const std::vector<std::string>& lines) override
    {
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
        FProgress.End();
        FOut << block;
        FOut.flush();
    }

    void Progress(const ops::TProgress& progress) override
    {
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

TFilePlace SplitPath(const std::string& path)
{
    const std::filesystem::path p(path);
    return {p.parent_path().string(), p.filename().string()};
}

bool ReadWholeFile(const std::string& path, TByteArray& data, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    return true;
}

// "YYYYMMDDTHHMMSS" -> a local time with its day of the week.
bool ParseClockTime(const std::string& text, ops::TLocalTime& time)
{
    if (text.size() != 15 || text[8] != 'T')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != 8 && (text[i] < '0' || text[i] > '9'))
            return false;
    auto field = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
    ops::TLocalTime t;
    t.Year = field(0, 4);
    t.Month = field(4, 2);
    t.Day = field(6, 2);
    t.Hour = field(9, 2);
    t.Minute = field(11, 2);
    t.Second = field(13, 2);
    // The remote counts years from 2000 in a register the clock page fills.
    static constexpr int MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.Year % 4 == 0 && t.Year % 100 != 0) || t.Year % 400 == 0;
    if (t.Year < 2000 || t.Year > 2099 || t.Month < 1 || t.Month > 12 || t.Day < 1 ||
        t.Day > MonthDays[t.Month - 1] || (t.Month == 2 && !leap && t.Day > 28) || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 59)
        return false;
    // Days since 1 January 2000, a Saturday (6, counting Monday as 1).
    int days = 0;
    for (int y = 2000; y < t.Year; ++y)
        days += (y % 4 == 0 && y % 100 != 0) || y % 400 == 0 ? 366 : 365;
    for (int m = 1; m < t.Month; ++m)
        days += m == 2 ? (leap ? 29 : 28) : MonthDays[m - 1];
    days += t.Day - 1;
    t.DayOfWeek = (5 + days) % 7 + 1;
    time = t;
    return true;
}

// The newest parts dump in a folder: file name per region, for the regions
// it has a file of. Empty when there is none.
std::map<std::string_view, std::string> NewestPartsDump(const std::string& dir, std::string& stamp)
{
    std::map<std::string, std::map<std::string_view, std::string>> sets;  // by time stamp
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        // "YYYYMMDDTHHMMSS_<region>.bin"
        if (name.size() < 21 || name[8] != 'T' || name[15] != '_' || !name.ends_with(".bin"))
            continue;
        const std::string_view region = std::string_view(name).substr(16, name.size() - 20);
        const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                       [&](const TPart& p) { return p.Name == region; });
        if (part == FlashParts.end() || !entry.is_regular_file())
            continue;
        sets[name.substr(0, 15)][part->Name] = entry.path().string();
    }
    if (sets.empty())
        return {};
    stamp = sets.rbegin()->first;  // the stamps sort as the times they stand for
    return sets.rbegin()->second;
}

// --- The commands --------------------------------------------------------------------

class TCli {
public:
    TCli(std::ostream& out, std::ostream& err, TCliHost& host, TInvocation invocation)
        : FOut(out),
          FErr(err),
          FHost(host),
          FInv(std::move(invocation)),
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

    TExitCode Run(const TCommand& command, const std::vector<std::string>& args)
    {
        // A command without a JSON form prints its lines also under --json.
        FInv.Json = FInv.Json && command.JsonForm;
        FSink.Quiet = FInv.Json;
        TExitCode code = (this->*command.Run)(args);
        FProgress.End();
        // A short command finishes what it sent; Ctrl-C during it still
        // ends the program as interrupted.
        if (code == TExitCode::Success && FSink.Interrupted()) {
            FErr << Program << ": interrupted\n";
            code = TExitCode::Interrupted;
        }
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
    TExitCode Fail(TExitCode code, const std::string& message)
    {
        FProgress.End();
        FErr << Program << ": " << message << '\n';
        return code;
    }

    // The platform, wrapped in the trace when asked for one; null (and the
    // reason on standard error) when the trace file cannot be opened.
    IHidPlatform* Platform()
    {
        IHidPlatform& platform = FHost.Platform(FInv.Simulate);
        if (FInv.Trace.empty())
            return &platform;
        if (!FTrace) {
            std::string error;
            FTrace = TTracePlatform::AppendToFile(platform, FInv.Trace, error);
            if (!FTrace) {
                Fail(TExitCode::FileError, error);
                return nullptr;
            }
        }
        return FTrace.get();
    }

    // The context of an operation; one that writes no file gets a factory it
    // never uses.
    ops::TOpsContext Context(ops::IFileFactory& files) { return Context(FSink, files); }
    ops::TOpsContext Context() { return Context(FSink, FNoFiles); }
    ops::TOpsContext Context(ops::IOpsSink& sink, ops::IFileFactory& files)
    {
        return ops::TOpsContext{*FRemote, sink, FClock, files, FHost.DecimalSeparator};
    }

    // Connects to the remote. When there is none, or it cannot be opened,
    // the connection lines go to standard error and the result is NoRemote
    // (with quiet, nothing is said).
    TExitCode Connect(bool quiet = false)
    {
        IHidPlatform* platform = Platform();
        if (!platform)
            return TExitCode::FileError;
        FRemote = std::make_unique<TCorvaneOne>(*platform, FLoop, FInv.Device);
        if (FRemote->Connected())
            return TExitCode::Success;
        if (!quiet) {
            TCliSink errSink(FErr, FProgress, nullptr);
            ops::TOpsContext ctx = Context(errSink, FNoFiles);
            ops::ConnectionLine(ctx);
            ops::OpenFailureLine(ctx);
        }
        return TExitCode::NoRemote;
    }

    // The exit code of a result; the reason of a file error or bad input on
    // standard error, and with --json the object.
    TExitCode Finish(const ops::TResult& result, const TJsonObject& json = {})
    {
        if (FInv.Json)
            PrintJson(result, json);
        if (!result.Error.empty())
            Fail(TExitCode::Failed, result.Error);
        return ExitFor(result.Outcome);
    }

    void PrintJson(const ops::TResult& result, const TJsonObject& fields)
    {
        TJsonObject object;
        object.Text("outcome", OutcomeName(result.Outcome)).Append(fields);
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
    TExitCode Stopped(const std::string& kept)
    {
        return Fail(TExitCode::Interrupted, "interrupted; " + kept);
    }

    std::ostream& FOut;
    std::ostream& FErr;
    TCliHost& FHost;
    TInvocation FInv;
    ops::TSystemClock FSystemClock;
    ops::IOpsClock& FClock;
    TProgressLine FProgress;
    TCliSink FSink;
    ops::TDiskFiles FNoFiles;
    TCliLoop FLoop;
    std::unique_ptr<TTracePlatform> FTrace;
    std::unique_ptr<TCorvaneOne> FRemote;
};

TExitCode TCli::List(const std::vector<std::string>&)
{
    IHidPlatform* traced = Platform();
    if (!traced)
        return TExitCode::FileError;
    IHidPlatform& platform = *traced;
    std::vector<std::string> entries;
    std::size_t found = 0;
    for (const THidInterfaceInfo& info : platform.Enumerate()) {
        if (!FInv.Device.empty() && info.Path != FInv.Device)
            continue;
        std::uint16_t vendor = info.VendorId;
        std::uint16_t product = info.ProductId;
        std::error_code error;
        std::unique_ptr<IHidHandle> handle = platform.Open(info.Path, error);
        // IDs that enumeration could not tell are asked of the device.
        bool idsKnown = info.IdsKnown;
        if (!idsKnown && handle)
            idsKnown = handle->GetAttributes(vendor, product);
        if (!idsKnown || vendor != CORVANE_USB_IDS.VendorId || product != CORVANE_USB_IDS.ProductId)
            continue;
        ++found;
        const std::string ids = IdsText(vendor, product);
        // A handle with the error set can only query the device (Windows,
        // when another program holds it): that is not one the link can use.
        const bool usable = handle && !error;
        const std::string access = usable ? "can be opened" : "cannot be opened: " + error.message();
        if (FInv.Json) {
            TJsonObject entry;
            entry.Text("path", info.Path).Text("ids", ids).Number("vendor_id", vendor).Number("product_id", product);
            entry.Flag("can_open", usable);
            if (!usable)
                entry.Text("error", error.message());
            entries.push_back(entry.Str());
        } else {
            FOut << info.Path << "  " << ids << "  " << access << '\n';
        }
    }
    if (FInv.Json)
        FOut << TJsonObject().Raw("interfaces", JsonArray(entries)).Str() << '\n';
    FOut.flush();
    if (found == 0)
        return Fail(TExitCode::NoRemote, "no remote with the IDs " +
                                              IdsText(CORVANE_USB_IDS.VendorId, CORVANE_USB_IDS.ProductId) +
                                              " is attached");
    return TExitCode::Success;
}

TExitCode TCli::Status(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(true); code == TExitCode::FileError)
        return code;
    ops::TOpsContext ctx = Context();
    ops::TStatusResult result = ops::ConnectionLine(ctx);
    ops::OpenFailureLine(ctx);
    if (FInv.Json) {
        TJsonObject json;
        json.Flag("connected", result.Connected);
        json.Text("path", FRemote->Device() ? FRemote->Device()->DevicePath() : "");
        if (result.OpenFailure) {
            const std::error_code error = result.OpenFailure->Error;
            json.Raw("open_failure", TJsonObject()
                                         .Text("path", result.OpenFailure->Path)
                                         .Flag("permission_denied", error == std::errc::permission_denied ||
                                                                        error == std::errc::operation_not_permitted)
                                         .Text("error", error.message())
                                         .Str());
        }
        FOut << json.Str() << '\n';
        FOut.flush();
    }
    return result.Connected ? TExitCode::Success : TExitCode::NoRemote;
}

TExitCode TCli::Version(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    if (!FInv.Decoded) {
        const ops::TVersionResult result = ops::ReadVersion(ctx);
        return Finish(result, TJsonObject()
                                  .Raw("reply", JsonNumbers(result.Reply))
                                  .Number("architecture", result.Architecture)
                                  .Number("protocol", result.Protocol));
    }
    const ops::TDecodedVersionResult result = ops::ReadDecodedVersion(ctx);
    const TDecodedVersion& v = result.Version;
    TJsonObject json;
    if (result.Ok()) {
        auto pair = [](int major, int minor) { return std::to_string(major) + "." + std::to_string(minor); };
        json.Text("firmware", pair(v.FirmwareMajor, v.FirmwareMinor))
            .Number("board_revision", v.BoardRevision)
            .Number("memory_device", v.MemoryDevice)
            .Number("memory_manufacturer", v.MemoryManufacturer)
            .Number("architecture", v.Architecture)
            .Number("firmware_type", v.FirmwareType)
            .Number("skin", v.Skin)
            .Number("protocol", v.Protocol)
            .Text("bootloader", pair(v.BootloaderMajor, v.BootloaderMinor))
            .Text("pic_library", pair(v.PicLibraryMajor, v.PicLibraryMinor))
            .Text("cpld", pair(v.CpldMajor, v.CpldMinor))
            .Text("safe_mode", pair(v.SafeModeMajor, v.SafeModeMinor))
            .Text("normal_mode", pair(v.NormalModeMajor, v.NormalModeMinor))
            .Text("zwave", pair(v.ZwaveMajor, v.ZwaveMinor))
            .Number("zwave_revision", v.ZwaveRevision);
    }
    return Finish(result, json);
}

TExitCode TCli::Reset(const std::vector<std::string>& args)
{
    int item = 0;  // "USB"
    std::string error;
    if (!args.empty() && !ParseItem(args[0], ops::ResetTypeNames, 1, item, error, "reset type"))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::Reset(ctx, item + 1));
}

TExitCode TCli::MiscRead(const std::vector<std::string>& args)
{
    bool word = false;
    int type = 0;
    std::uint16_t index = 0;
    std::string error;
    if (MiscWidth(args[0], word) != TExitCode::Success)
        return TExitCode::Usage;
    if (!ParseItem(args[1], ops::MiscTypeNames, 0, type, error, "register type") ||
        !ParseRegisterIndex(args[2], word ? 16 : 8, index, error))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TMiscResult result = ops::ReadMisc(ctx, word, static_cast<std::uint8_t>(type), index);
    TJsonObject json;
    json.Text("width", word ? "word" : "byte")
        .Number("type", type)
        .Text("type_name", ops::MiscTypeNames[static_cast<std::size_t>(type)])
        .Number("index", result.Index);
    if (result.Ok())
        json.Number("value", result.Value);
    return Finish(result, json);
}

TExitCode TCli::MiscWrite(const std::vector<std::string>& args)
{
    bool word = false;
    int type = 0;
    std::uint16_t index = 0;
    std::uint16_t data = 0;
    std::string error;
    if (MiscWidth(args[0], word) != TExitCode::Success)
        return TExitCode::Usage;
    const int bits = word ? 16 : 8;
    if (!ParseItem(args[1], ops::MiscTypeNames, 0, type, error, "register type") ||
        !ParseRegisterIndex(args[2], bits, index, error) || !ParseRegisterData(args[3], bits, data, error))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::WriteMisc(ctx, word, static_cast<std::uint8_t>(type), index, data));
}

TExitCode TCli::Battery(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TBatteryResult result = ops::ReadBattery(ctx);
    TJsonObject json;
    if (result.Ok())
        json.Number("millivolts", result.Millivolts).Number("percent", result.Percent);
    return Finish(result, json);
}

TExitCode TCli::HardwareFlag(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::THardwareFlagResult result = ops::ReadHardwareFlag(ctx);
    TJsonObject json;
    if (result.Ok())
        json.Flag("set", result.Set).Number("raw", result.Raw);
    return Finish(result, json);
}

TExitCode TCli::Clock(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TClockResult result = ops::ReadClock(ctx);
    TJsonObject json;
    // A field the remote did not give is null.
    auto field = [&](std::string_view name, const std::optional<int>& value) {
        if (value)
            json.Number(name, *value);
        else
            json.Raw(name, "null");
    };
    field("year", result.Year);
    field("month", result.Month);
    field("day", result.Day);
    field("hour", result.Hour);
    field("minute", result.Minute);
    field("second", result.Second);
    field("day_of_week", result.DayOfWeek);
    return Finish(result, json);
}

TExitCode TCli::ClockSet(const std::vector<std::string>& args)
{
    std::optional<ops::TLocalTime> time;
    if (!args.empty() && args[0] != "now") {
        ops::TLocalTime t;
        if (!ParseClockTime(args[0], t))
            return Fail(TExitCode::Usage, "invalid time '" + args[0] + "' (now, or YYYYMMDDTHHMMSS from 2000 to 2099)");
        time = t;
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::SetClock(ctx, time));
}

TExitCode TCli::FlashRead(const std::vector<std::string>& args)
{
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::string error;
    if (!ParseFlashAddress(args[0], address, error) || !ParseFlashSize(args[1], address, size, error))
        return Fail(TExitCode::Usage, error);
    // The raw bytes go to a file created before anything is read, so that a
    // file that cannot be written costs no transfer.
    const TFilePlace place = SplitPath(FInv.Output);
    ops::TDiskFiles files(place.Dir);
    std::unique_ptr<ops::IOutFile> file;
    if (FInv.Given & OptOutput) {
        try {
            file = files.Create(place.Name);
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context(files);
    const ops::TFlashReadResult result = ops::ReadFlash(ctx, address, size, FHost.Chunk, !file);
    if (file) {
        // What was read is kept, also when the read stopped or failed.
        try {
            file->Write(result.Data.data(), result.Data.size());
            file->Close();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(file ? "the " + std::to_string(result.Data.size()) + " bytes read are in " + FInv.Output
                            : "read " + std::to_string(result.Data.size()) + " bytes");
    return Finish(result);
}

TExitCode TCli::FlashDump(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TDiskFiles files(FInv.Directory);
    ops::TOpsContext ctx = Context(files);
    const ops::TDumpResult result =
        FInv.Parts ? ops::DumpFlashParts(ctx, FHost.Chunk) : ops::DumpWholeFlash(ctx, FHost.Chunk);
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped("the " + std::to_string(result.Bytes) + " bytes read are in " +
                       (result.Files.empty() ? std::string("no file") : result.Files.back()) +
                       (result.Files.size() > 1 ? " and the files before it" : ""));
    // The whole dump ends, as in the window, where the remote stops
    // answering; a backup that ends short of the flash is no success for a
    // script, whatever the window's log says.
    if (!FInv.Parts && result.Ok() && result.Bytes < FlashBytes)
        return Fail(TExitCode::Failed, "the remote stopped answering at " +
                                           HexAddress(static_cast<std::uint32_t>(result.Bytes)) + ": " +
                                           result.Files.back() + " holds " + std::to_string(result.Bytes) +
                                           " of " + std::to_string(FlashBytes) + " bytes");
    return Finish(result);
}

TExitCode TCli::FlashErase(const std::vector<std::string>& args)
{
    // Every address is checked before the first sector is erased.
    std::vector<std::uint32_t> addresses;
    for (const std::string& arg : args) {
        std::uint32_t address = 0;
        std::string error;
        if (!ParseFlashAddress(arg, address, error))
            return Fail(TExitCode::Usage, error);
        addresses.push_back(address);
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    for (const std::uint32_t address : addresses) {
        const ops::TResult result = ops::EraseSector(ctx, address);
        if (!result.Ok())
            return Finish(result);
        if (FSink.Interrupted())
            return Stopped("the sectors above are erased");
    }
    return TExitCode::Success;
}

TExitCode TCli::WriteOrVerify(const std::vector<std::string>& args, bool write)
{
    std::uint32_t address = 0;
    std::string error;
    if (!ParseFlashAddress(args[0], address, error))
        return Fail(TExitCode::Usage, error);
    TByteArray data;
    if (!ReadWholeFile(args[1], data, error))
        return Fail(TExitCode::FileError, error);
    // Nothing is sent for a file that does not fit below the end of the
    // flash: a write never writes a byte the user did not give.
    if (data.empty())
        return Fail(TExitCode::Usage, "\"" + args[1] + "\" is empty");
    if (data.size() > FlashBytes - address)
        return Fail(TExitCode::Usage, "\"" + args[1] + "\" has " + std::to_string(data.size()) + " bytes; from " +
                                          HexAddress(address) + " only " + std::to_string(FlashBytes - address) +
                                          " fit below the end of the 16 MiB flash");
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TWriteResult result = write ? ops::WriteFlashData(ctx, address, data, FInv.Verify, FHost.Chunk)
                                           : ops::VerifyFlashData(ctx, address, data, FHost.Chunk);
    if (result.Mismatch)
        Fail(TExitCode::Mismatch, MismatchText(*result.Mismatch));
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(write ? std::to_string(result.Written) + " bytes written from " + HexAddress(address)
                             : std::to_string(result.Verified) + " bytes verified");
    return Finish(result);
}

TExitCode TCli::FlashWrite(const std::vector<std::string>& args) { return WriteOrVerify(args, true); }
TExitCode TCli::FlashVerify(const std::vector<std::string>& args) { return WriteOrVerify(args, false); }

TExitCode TCli::FlashRestore(const std::vector<std::string>& args)
{
    const std::string& dir = args[0];
    std::error_code fsError;
    if (!std::filesystem::is_directory(dir, fsError))
        return Fail(TExitCode::FileError, "\"" + dir + "\" is not a folder");
    std::string stamp;
    std::map<std::string_view, std::string> files;
    try {
        files = NewestPartsDump(dir, stamp);
    } catch (const std::filesystem::filesystem_error& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    if (files.empty())
        return Fail(TExitCode::FileError, "no parts dump in \"" + dir + "\"");

    // Every file is read and checked before the first byte is sent.
    struct TRegion {
        const TPart* Part;
        std::string Path;
        TByteArray Data;
    };
    std::vector<TRegion> regions;
    for (const TPart& part : FlashParts) {
        const auto found = files.find(part.Name);
        if (found == files.end()) {
            FErr << Program << ": no " << part.Name << " file of " << stamp << ": that region is left as it is\n";
            continue;
        }
        TRegion region{&part, found->second, {}};
        std::string error;
        if (!ReadWholeFile(region.Path, region.Data, error))
            return Fail(TExitCode::FileError, error);
        if (region.Data.size() != static_cast<std::size_t>(part.Size))
            return Fail(TExitCode::Usage, "\"" + region.Path + "\" has " + std::to_string(region.Data.size()) +
                                              " bytes, but the " + std::string(part.Name) + " region has " +
                                              std::to_string(part.Size) + ": nothing was written");
        regions.push_back(std::move(region));
    }

    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    for (const TRegion& region : regions) {
        FSink.WhatPrefix = std::string(region.Part->Name) + " ";
        const auto start = static_cast<std::uint32_t>(region.Part->Start);
        const ops::TWriteResult result = ops::WriteFlashData(ctx, start, region.Data, true, FHost.Chunk);
        if (result.Mismatch)
            Fail(TExitCode::Mismatch, std::string(region.Part->Name) + ": " + MismatchText(*result.Mismatch));
        if (result.Outcome == ops::TOutcome::Stopped)
            return Stopped(std::string(region.Part->Name) + " was written up to " +
                           HexAddress(start + static_cast<std::uint32_t>(result.Written)) +
                           "; the regions after it are left as they are");
        if (!result.Ok())
            return Finish(result);
    }
    FSink.WhatPrefix.clear();
    return TExitCode::Success;
}

TExitCode TCli::IrCapture(const std::vector<std::string>&)
{
    const std::string path = (FInv.Given & OptOutput) ? FInv.Output : std::string(ops::CaptureFileName);
    const TFilePlace place = SplitPath(path);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TDiskFiles files(place.Dir);
    ops::TOpsContext ctx = Context(files);
    ops::TCaptureResult result;
    {
        THookScope hook(FLoop.Capturing, [this] {
            FSink.Progress({"capture", static_cast<std::uint64_t>(std::max(FRemote->Progress, 0)), 0, 0});
            if (FSink.Interrupted())
                FRemote->Abort = true;
        });
        result = ops::CaptureIr(ctx, place.Name);
    }
    if (FSink.Interrupted() && (result.Ok() || result.Outcome == ops::TOutcome::Stopped))
        return Stopped(result.File.empty() ? "nothing was captured"
                                           : "the " + std::to_string(result.Data.size()) +
                                                 " bytes captured are in " + path);
    return Finish(result);
}

// --- The command table and the parser -------------------------------------------------

const std::vector<TCommand>& Commands()
{
    static const std::vector<TCommand> table{
        {{"list"}, "", "every attached interface with the remote's IDs", 0, 0, 0, &TCli::List, true},
        {{"status"}, "", "whether the remote is connected", 0, 0, 0, &TCli::Status, true},
        {{"version"}, "[--decoded]", "the version, raw or decoded", OptDecoded, 0, 0, &TCli::Version, true},
        {{"reset"}, "[TYPE]", "reset; TYPE 1-4 or its name (default USB)", 0, 0, 1, &TCli::Reset},
        {{"misc", "read"}, "byte|word TYPE INDEX", "read a register; TYPE 0-12 or its name", 0, 3, 3,
         &TCli::MiscRead, true},
        {{"misc", "write"}, "byte|word TYPE INDEX VALUE", "write a register", 0, 4, 4, &TCli::MiscWrite},
        {{"battery"}, "", "the battery level", 0, 0, 0, &TCli::Battery, true},
        {{"hwflag"}, "", "the hardware flag", 0, 0, 0, &TCli::HardwareFlag, true},
        {{"clock", "set"}, "[now|YYYYMMDDTHHMMSS]", "set the remote's clock (default now)", 0, 0, 1,
         &TCli::ClockSet},
        {{"clock"}, "", "the remote's date and time", 0, 0, 0, &TCli::Clock, true},
        {{"flash", "read"}, "ADDR SIZE [-o FILE]", "hex lines, or the raw bytes into FILE", OptOutput, 2, 2,
         &TCli::FlashRead},
        {{"flash", "dump"}, "[--parts] [-C DIR]", "the whole flash, or its nine regions, into dated files",
         OptParts | OptDir, 0, 0, &TCli::FlashDump},
        {{"flash", "erase"}, "ADDR...", "erase the sector holding each address", 0, 1, SIZE_MAX, &TCli::FlashErase},
        {{"flash", "write"}, "ADDR FILE [--verify]", "write FILE's bytes from ADDR, then read back", OptVerify, 2,
         2, &TCli::FlashWrite},
        {{"flash", "verify"}, "ADDR FILE", "compare the flash from ADDR with FILE", 0, 2, 2, &TCli::FlashVerify},
        {{"flash", "restore"}, "DIR", "write back and verify the newest parts dump in DIR", 0, 1, 1,
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
            inv.Simulate = true;
        } else if (arg == "--json") {
            inv.Json = true;
        } else if (arg == "--device") {
            if (!value(inv.Device))
                return false;
        } else if (arg == "--trace") {
            if (!value(inv.Trace))
                return false;
        } else if (arg == "--decoded") {
            inv.Decoded = true;
            inv.Given |= OptDecoded;
        } else if (arg == "--parts") {
            inv.Parts = true;
            inv.Given |= OptParts;
        } else if (arg == "--verify") {
            inv.Verify = true;
            inv.Given |= OptVerify;
        } else if (arg == "-o") {
            if (!value(inv.Output))
                return false;
            inv.Given |= OptOutput;
        } else if (arg == "-C") {
            if (!value(inv.Directory))
                return false;
            inv.Given |= OptDir;
        } else {
            error = "unknown option '" + arg + "'";
            return false;
        }
    }
    if (inv.Simulate && !inv.Device.empty()) {
        error = "--simulate and --device exclude each other";
        return false;
    }
    return true;
}

}  // namespace

std::string CliUsage()
{
    std::string text =
        "usage: corvane-cli [--simulate | --device PATH] [--trace FILE] [--json] COMMAND [ARGS]\n"
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
        char line[160];
        std::snprintf(line, sizeof line, "  %-38s %.*s\n", synopsis.c_str(), static_cast<int>(command.Summary.size()),
                      command.Summary.data());
        text += line;
    }
    text +=
        "\n"
        "Options:\n"
        "  --simulate      use a simulated remote inside the program\n"
        "  --device PATH   use this node (e.g. /dev/hidraw3) and no other\n"
        "  --trace FILE    append every report to and from the remote, and every\n"
        "                  arrival, removal, open and close, to FILE\n"
        "  --json          one JSON object instead of the lines (list, status, version,\n"
        "                  misc read, battery, hwflag, clock)\n"
        "  -h, --help      this text\n"
        "\n"
        "Numbers are decimal or hexadecimal ($FF, 0xFF, xFF); a negative number may\n"
        "follow -- or stand where a number is expected. Flash addresses run from 0 to\n"
        "0xFFFFFF (16 MiB); a register index, data or type must fit its width; a reset\n"
        "type is 1-4. Anything else is refused before the remote is touched.\n"
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
        "  4    a file cannot be read or written\n"
        "  5    verify mismatch\n"
        "  130  interrupted (Ctrl-C)\n";
    return text;
}

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, TCliHost& host)
{
    TInvocation inv;
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
    if (const unsigned stray = inv.Given & ~command->Options) {
        static const std::pair<unsigned, const char*> Names[] = {
            {OptDecoded, "--decoded"}, {OptOutput, "-o"}, {OptParts, "--parts"}, {OptDir, "-C"}, {OptVerify, "--verify"}};
        for (const auto& [bit, optionName] : Names)
            if (stray & bit)
                return usage(std::string(optionName) + " does not go with '" + name + "'");
    }

    try {
        TCli cli(out, err, host, std::move(inv));
        return static_cast<int>(cli.Run(*command, commandArgs));
    } catch (const std::exception& e) {
        // A consistency check of the protocol layer, or a file error that
        // no operation caught: the remote broke its rules or the system failed.
        err << Program << ": error: " << e.what() << '\n';
        return static_cast<int>(TExitCode::Failed);
    }
}
