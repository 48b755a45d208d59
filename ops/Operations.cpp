#include "Operations.h"

#include "FlashParts.h"
#include "NumberEntry.h"
#include "Timing.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

namespace ops {

const std::array<std::string_view, 4> ResetTypeNames{"USB", "device", "device disconnect",
                                                     "(invalidate) test firmware"};
const std::array<std::string_view, 13> MiscTypeNames{
    "EEPROM",  "state",         "invalidate flash", "queue action", "program",  "interrupt",       "RAM",
    "register", "clock recalculate", "queue event", "restart config", "reserved", "hardware feature"};

namespace {

const char* const ArchitectureLine = "Incorrect/unknown architecture (must use get version)";

// Checked like printf. MinGW builds use MinGW's own printf family (see
// __USE_MINGW_ANSI_STDIO in CMakeLists.txt), whose formats are GNU's; the
// plain "printf" check there is the older C runtime's, without %zu.
#if defined(__MINGW32__)
#define OPS_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define OPS_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define OPS_PRINTF_LIKE
#endif

std::string Format(const char* format, ...) OPS_PRINTF_LIKE;
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

// A failure of the remote is "no device" when the link is gone.
TOutcome FailureOf(const TOpsContext& ctx)
{
    return ctx.Remote.Connected() ? TOutcome::Failed : TOutcome::NoDevice;
}

template <typename TResultType>
TResultType Failure(const TOpsContext& ctx, TResultType result = {})
{
    result.Outcome = FailureOf(ctx);
    return result;
}

// The transfer rate: recomputed only when more than a second has passed
// since the last update, so a short run shows 0 throughout.
class TRate {
public:
    explicit TRate(std::uint64_t tick) : FLastTick(tick) {}

    void Update(std::uint64_t tick, std::uint64_t bytes)
    {
        const std::uint64_t elapsed = tick - FLastTick;  // unsigned: a wrap does no harm
        if (elapsed > 1000) {
            FRate = static_cast<int>((bytes - FLastBytes) * 1000 / elapsed);
            FLastTick = tick;
            FLastBytes = bytes;
        }
    }

    int Value() const { return FRate; }

private:
    std::uint64_t FLastTick;
    std::uint64_t FLastBytes = 0;
    int FRate = 0;
};

// Progress of one long operation: 0 first, then after every chunk, with the
// rate from the context's tick (read once at the start and once per chunk).
class TProgressReport {
public:
    TProgressReport(TOpsContext& ctx, std::string_view what, std::uint64_t total)
        : FCtx(ctx), FWhat(what), FTotal(total), FRate(ctx.Clock.TickMs())
    {
        FCtx.Sink.Progress({FWhat, 0, FTotal, 0});
    }

    // After a chunk: reports the count and asks whether to go on.
    bool ChunkDone(std::uint64_t done)
    {
        FRate.Update(FCtx.Clock.TickMs(), done);
        FCtx.Sink.Progress({FWhat, done, FTotal, FRate.Value()});
        return FCtx.Sink.KeepGoing();
    }

private:
    TOpsContext& FCtx;
    std::string_view FWhat;
    std::uint64_t FTotal;
    TRate FRate;
};

const char HexDigits[] = "0123456789ABCDEF";

void AppendHexByte(std::string& text, std::uint8_t byte)
{
    text += HexDigits[byte >> 4];
    text += HexDigits[byte & 15];
}

// The hex dump's lines: 16 bytes a line after the address of the first.
class THexLines {
public:
    explicit THexLines(std::uint32_t address) : FAddress(address) { FLines.emplace_back("Flash dump (hex):"); }

    void Add(const TByteArray& data)
    {
        for (std::uint8_t byte : data) {
            if (FCount % 16 == 0) {
                FLines.push_back(Format("%6.6X:", static_cast<std::uint32_t>(FAddress + FCount)));
                FLines.back().reserve(8 + 16 * 3);
            }
            std::string& line = FLines.back();
            line += ' ';
            AppendHexByte(line, byte);
            ++FCount;
        }
    }

    // Hands the complete lines to the sink (all lines with final), keeping
    // an incomplete last one for the next chunk.
    void Flush(IOpsSink& sink, bool final)
    {
        if (FLines.empty()) return;
        std::string keep;
        const bool keepLast = !final && FCount % 16 != 0;
        if (keepLast) {
            keep = std::move(FLines.back());
            FLines.pop_back();
        }
        if (!FLines.empty()) sink.Lines(FLines);
        FLines.clear();
        if (keepLast) FLines.push_back(std::move(keep));
    }

private:
    std::uint32_t FAddress;
    std::uint64_t FCount = 0;
    std::vector<std::string> FLines;
};

// A flash write or capture underneath is using the link.
bool RefuseWhileBusy(TOpsContext& ctx)
{
    if (!ctx.Remote.Busy()) return false;
    ctx.Sink.Line("Operation in progress");
    return true;
}

bool CheckArchitecture(TOpsContext& ctx, bool needs12)
{
    // The hardware-feature registers exist only on architecture 12; the
    // clock needs any known architecture, for its register layout.
    const int architecture = ctx.Remote.Architecture();
    if (needs12 ? architecture != 12 : architecture < 0) {
        ctx.Sink.Line(ArchitectureLine);
        return false;
    }
    return true;
}

// Bytes from address that would run past the 16 MiB end: nothing is sent.
bool PastTheEnd(std::uint32_t address, const TByteArray& data, TResult& result)
{
    if (static_cast<std::uint64_t>(address) + data.size() <= FlashSize) return false;
    result.Outcome = TOutcome::BadInput;
    result.Error = Format("%zu bytes from %6.6X run past the end of the flash (%6.6X)", data.size(), address,
                          FlashSize);
    return true;
}

}  // namespace

// --- Clock, files and names ----------------------------------------------------------

TLocalTime TSystemClock::Now()
{
    const std::tm local = LocalTime(std::time(nullptr));
    return {local.tm_year + 1900, local.tm_mon + 1,        local.tm_mday,
            local.tm_hour,        local.tm_min,            local.tm_sec,
            local.tm_wday == 0 ? 7 : local.tm_wday};
}

std::uint64_t TSystemClock::TickMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string DumpFileName(const TLocalTime& t, std::string_view name)
{
    return Format("%4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d_", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second)
           + std::string(name) + ".bin";
}

// --- Number boxes ----------------------------------------------------------------------

namespace {

// A box's number: 64-bit or 32-bit; otherwise the page's line and nothing.
std::optional<std::int64_t> ParseBox(IOpsSink& sink, const std::string& text, bool wide, const char* invalidLine)
{
    std::int64_t value = 0;
    std::int32_t narrow = 0;
    const bool ok = wide ? ParseInteger64(text, value) : ParseInteger(text, narrow);
    if (!ok) {
        sink.Line(invalidLine);
        return std::nullopt;
    }
    return wide ? value : narrow;
}

template <typename T>
std::optional<T> Narrowed(const std::optional<std::int64_t>& value)
{
    return value ? std::optional<T>(static_cast<T>(*value)) : std::nullopt;
}

}  // namespace

// Any 64-bit number is taken and narrowed to 32 bits; the remote uses the
// low 24 of them.
std::optional<std::uint32_t> ParseFlashIndex(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::uint32_t>(ParseBox(sink, text, true, "Invalid index"));
}

std::optional<std::uint16_t> ParseFlashSize(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::uint16_t>(ParseBox(sink, text, false, "Invalid size"));
}

std::optional<std::int32_t> ParseMiscIndex(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::int32_t>(ParseBox(sink, text, false, "Invalid index"));
}

std::optional<std::int32_t> ParseMiscData(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::int32_t>(ParseBox(sink, text, false, "Invalid data"));
}

// --- Connection ---------------------------------------------------------------------------

TStatusResult ConnectionLine(TOpsContext& ctx)
{
    TStatusResult result;
    result.Connected = ctx.Remote.Connected();
    if (const TUsbDevice* device = ctx.Remote.Device()) result.OpenFailure = device->OpenFailure();
    if (!result.Connected) result.Outcome = TOutcome::NoDevice;
    ctx.Sink.Line(result.Connected ? "Device connected" : "Device not connected");
    return result;
}

void OpenFailureLine(TOpsContext& ctx)
{
    if (ctx.Remote.Connected()) return;
    const TUsbDevice* device = ctx.Remote.Device();
    if (!device || !device->OpenFailure()) return;
    const TOpenFailure& failure = *device->OpenFailure();
    if (failure.Error == std::errc::permission_denied || failure.Error == std::errc::operation_not_permitted) {
        // Points at what every installation has: the manual page, which
        // describes the rule, where it goes and how to apply it.
        ctx.Sink.Line("Permission denied on " + failure.Path + ": the udev rule 69-corvane-one.rules is needed, see "
                      "man corvane-console");
    } else {
        ctx.Sink.Line("Cannot open " + failure.Path + ": " + failure.Error.message());
    }
}

TStatusResult Status(TOpsContext& ctx)
{
    TStatusResult result = ConnectionLine(ctx);
    OpenFailureLine(ctx);
    if (!result.Connected) ctx.Sink.Line("Connect device and use Reinitialize USB");
    return result;
}

TStatusResult Reinitialize(TOpsContext& ctx)
{
    if (RefuseWhileBusy(ctx)) {
        TStatusResult result;
        result.Connected = ctx.Remote.Connected();
        result.Outcome = TOutcome::Failed;
        return result;
    }
    ctx.Remote.Reconnect();
    TStatusResult result = ConnectionLine(ctx);
    OpenFailureLine(ctx);
    return result;
}

// --- Version and reset ----------------------------------------------------------------------

TVersionResult ReadVersion(TOpsContext& ctx)
{
    TVersionResult result;
    if (!ctx.Remote.GetVersion(result.Reply)) {
        ctx.Sink.Line("Error reading version information");
        return Failure(ctx, std::move(result));
    }
    result.Architecture = ctx.Remote.Architecture();
    result.Protocol = ctx.Remote.Protocol();
    std::string line = "Received (hex): ";
    for (std::size_t i = 0; i < result.Reply.size(); ++i) {
        if (i > 0) line += ' ';
        AppendHexByte(line, result.Reply[i]);
    }
    ctx.Sink.Line(line);
    return result;
}

TDecodedVersionResult ReadDecodedVersion(TOpsContext& ctx)
{
    TDecodedVersionResult result;
    if (!ctx.Remote.GetDecodedVersion(result.Version)) {
        ctx.Sink.Line("Error reading decoded version information");
        return Failure(ctx, std::move(result));
    }
    const TDecodedVersion& v = result.Version;
    ctx.Sink.Lines({
        "Version information:",
        Format("  Firmware             %d.%d", v.FirmwareMajor, v.FirmwareMinor),
        Format("  Board revision       %d", v.BoardRevision),
        Format("  Memory device        %d", v.MemoryDevice),
        Format("  Memory manufacturer  %d", v.MemoryManufacturer),
        Format("  Architecture         %d", v.Architecture),
        Format("  Firmware type        %d", v.FirmwareType),
        Format("  Skin                 %d", v.Skin),
        Format("  Protocol             %d", v.Protocol),
        Format("  Bootloader           %d.%d", v.BootloaderMajor, v.BootloaderMinor),
        Format("  PIC library          %d.%d", v.PicLibraryMajor, v.PicLibraryMinor),
        Format("  CPLD                 %d.%d", v.CpldMajor, v.CpldMinor),
        Format("  Safe mode            %d.%d", v.SafeModeMajor, v.SafeModeMinor),
        Format("  Normal mode          %d.%d", v.NormalModeMajor, v.NormalModeMinor),
        Format("  Zwave                %d.%d", v.ZwaveMajor, v.ZwaveMinor),
        Format("  Zwave revision       %d", v.ZwaveRevision),
    });
    return result;
}

TResult Reset(TOpsContext& ctx, int type)
{
    if (type < 1 || type > static_cast<int>(ResetTypeNames.size())) {
        TResult result;
        result.Outcome = TOutcome::BadInput;
        result.Error = "reset type must be 1 to 4";
        return result;
    }
    const bool ok = ctx.Remote.Reset(static_cast<std::uint8_t>(type));
    const std::string name(ResetTypeNames[static_cast<std::size_t>(type - 1)]);
    ctx.Sink.Line(ok ? "Reset " + name + " successful" : "Reset " + name + " failed");
    return ok ? TResult{} : Failure<TResult>(ctx);
}

// --- Miscellaneous registers ---------------------------------------------------------------

TMiscResult ReadMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index)
{
    TMiscResult result;
    result.Word = word;
    result.Type = type;
    if (word) {
        std::uint16_t v = 0;
        result.Index = static_cast<std::uint16_t>(index);
        if (!ctx.Remote.ReadMiscWord(v, type, result.Index)) {
            ctx.Sink.Line("Read failed");
            return Failure(ctx, std::move(result));
        }
        result.Value = v;
        ctx.Sink.Line(Format("Read    (hex):  %4.4X @ %4.4X", v, result.Index));
    } else {
        std::uint8_t v = 0;
        const auto narrowed = static_cast<std::uint8_t>(index);
        result.Index = narrowed;
        if (!ctx.Remote.ReadMiscByte(v, type, narrowed)) {
            ctx.Sink.Line("Read failed");
            return Failure(ctx, std::move(result));
        }
        result.Value = v;
        ctx.Sink.Line(Format("Read    (hex):    %2.2X @   %2.2X", v, narrowed));
    }
    return result;
}

TMiscResult WriteMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index, std::int32_t data)
{
    TMiscResult result;
    result.Word = word;
    result.Type = type;
    bool ok;
    if (word) {
        const auto v = static_cast<std::uint16_t>(data);
        const auto i = static_cast<std::uint16_t>(index);
        result.Index = i;
        result.Value = v;
        ok = ctx.Remote.WriteMiscWord(v, type, i);
        if (ok) ctx.Sink.Line(Format("Written (hex):  %4.4X @ %4.4X", v, i));
    } else {
        const auto v = static_cast<std::uint8_t>(data);
        const auto i = static_cast<std::uint8_t>(index);
        result.Index = i;
        result.Value = v;
        ok = ctx.Remote.WriteMiscByte(v, type, i);
        if (ok) ctx.Sink.Line(Format("Written (hex):    %2.2X @   %2.2X", v, i));
    }
    if (!ok) {
        ctx.Sink.Line("Write failed");
        return Failure(ctx, std::move(result));
    }
    return result;
}

THardwareFlagResult ReadHardwareFlag(TOpsContext& ctx)
{
    THardwareFlagResult result;
    if (!CheckArchitecture(ctx, true)) return Failure(ctx, std::move(result));
    if (!ctx.Remote.ReadMiscWord(result.Raw, 12, 0)) {
        ctx.Sink.Line("Reading hardware flag");
        return Failure(ctx, std::move(result));
    }
    result.Set = (result.Raw & 1) != 0;
    ctx.Sink.Line(result.Set ? "Hardware flag SET" : "Hardware flag NOT SET");
    return result;
}

TBatteryResult ReadBattery(TOpsContext& ctx)
{
    TBatteryResult result;
    if (!CheckArchitecture(ctx, true)) return Failure(ctx, std::move(result));
    if (!ctx.Remote.ReadMiscWord(result.Millivolts, 12, 1)) {
        ctx.Sink.Line("Reading battery level failed");
        return Failure(ctx, std::move(result));
    }
    result.Percent = (std::clamp<int>(result.Millivolts, 3500, 4100) - 3500) / 60 * 10;
    // Volts with three decimals from whole millivolts: the separator is the
    // user's, the digits are always 0-9 (a locale's own digits would not be
    // read by the scripts that parse the log).
    const std::string line = Format("Battery level: %u", result.Millivolts / 1000u) + ctx.DecimalSeparator
                             + Format("%03u V (%d%%)", result.Millivolts % 1000u, result.Percent);
    ctx.Sink.Line(line);
    return result;
}

TClockResult ReadClock(TOpsContext& ctx)
{
    TClockResult result;
    if (!CheckArchitecture(ctx, false)) return Failure(ctx, std::move(result));
    const bool withDayOfWeek = ctx.Remote.Architecture() >= 8;

    struct TField {
        const char* FailureLine;
        std::optional<int>* Out;
        int Offset;
        int Failed;  // shown for a register that could not be read
    };
    // A register that could not be read shows as nines, which no clock
    // value can be mistaken for.
    std::vector<TField> order{{"Reading seconds failed", &result.Second, 0, 99},
                              {"Reading minutes failed", &result.Minute, 0, 99},
                              {"Reading hours failed", &result.Hour, 0, 99},
                              {"Reading day failed", &result.Day, 1, 99}};
    if (withDayOfWeek) order.push_back({"Reading day fo the week failed", &result.DayOfWeek, 0, 99});
    order.push_back({"Reading month failed", &result.Month, 1, 99});
    order.push_back({"Reading year failed", &result.Year, 2000, 9999});

    bool allRead = true;
    for (std::size_t index = 0; index < order.size(); ++index) {
        std::uint16_t value = 0;
        if (ctx.Remote.ReadMiscWord(value, 1, static_cast<std::uint16_t>(index))) {
            *order[index].Out = static_cast<int>(static_cast<std::uint16_t>(value + order[index].Offset));
        } else {
            ctx.Sink.Line(order[index].FailureLine);
            allRead = false;
        }
    }
    ctx.Sink.Line(Format("Data/time: %4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d", result.Year.value_or(9999),
                         result.Month.value_or(99), result.Day.value_or(99), result.Hour.value_or(99),
                         result.Minute.value_or(99), result.Second.value_or(99)));
    if (!allRead) result.Outcome = FailureOf(ctx);
    return result;
}

TResult SetClock(TOpsContext& ctx, std::optional<TLocalTime> time)
{
    if (!CheckArchitecture(ctx, false)) return Failure<TResult>(ctx);
    const bool withDayOfWeek = ctx.Remote.Architecture() >= 8;
    const TLocalTime t = time ? *time : ctx.Clock.Now();
    // Monday = 1 to Sunday = 7 here; the remote counts Sunday = 1 to Saturday = 7.
    const int dayOfWeek = t.DayOfWeek % 7 + 1;

    struct TField {
        int Value;
        const char* FailureLine;
    };
    std::vector<TField> order{{t.Second, "Writing seconds failed"},
                              {t.Minute, "Writing minutes failed"},
                              {t.Hour, "Writing hours failed"},
                              {t.Day - 1, "Writing day failed"}};
    if (withDayOfWeek) order.push_back({dayOfWeek, "Writing day fo the week failed"});
    order.push_back({t.Month - 1, "Writing month failed"});
    order.push_back({t.Year - 2000, "Writing year failed"});

    bool allWritten = true;
    for (std::size_t index = 0; index < order.size(); ++index) {
        if (!ctx.Remote.WriteMiscWord(static_cast<std::uint16_t>(order[index].Value), 1,
                                      static_cast<std::uint16_t>(index))) {
            ctx.Sink.Line(order[index].FailureLine);
            allWritten = false;
        }
    }
    // Claiming success after failed writes would tell the user a clock is
    // set that is not.
    if (!allWritten) return Failure<TResult>(ctx);
    ctx.Sink.Line("Current date/time written");
    return {};
}

// --- Flash -------------------------------------------------------------------------------------

TFlashReadResult ReadFlash(TOpsContext& ctx, std::uint32_t address, std::uint32_t size, std::uint16_t chunk,
                           bool hexLines)
{
    TFlashReadResult result;
    result.Address = address;
    if (chunk == 0) chunk = LargestChunk;
    const bool single = size <= chunk;
    std::optional<THexLines> hex;
    if (hexLines) hex.emplace(address);
    std::optional<TProgressReport> progress;
    if (!single) progress.emplace(ctx, "read", size);
    if (!single) result.Data.reserve(size);

    std::uint32_t done = 0;
    do {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(chunk, size - done));
        TByteArray data;
        if (!ctx.Remote.ReadFlash(data, address + done, n)) {
            if (hex && !single) hex->Flush(ctx.Sink, true);
            ctx.Sink.Line("Reading flash failed");
            result.Outcome = FailureOf(ctx);
            return result;
        }
        result.Data.insert(result.Data.end(), data.begin(), data.end());
        if (hex) hex->Add(data);
        if (data.size() < n) {
            // One chunk keeps the window's behaviour: what came is shown.
            if (!single) {
                result.Outcome = FailureOf(ctx);
                result.Error = Format("the remote sent %zu of %u bytes at %6.6X", data.size(), n, address + done);
            }
            break;
        }
        done += n;
        if (single) break;
        if (hex) hex->Flush(ctx.Sink, false);
        if (!progress->ChunkDone(done) && done < size) {
            result.Outcome = TOutcome::Stopped;
            break;
        }
    } while (done < size);
    if (hex) hex->Flush(ctx.Sink, true);
    return result;
}

TDumpResult DumpWholeFlash(TOpsContext& ctx, std::uint16_t chunk)
{
    TDumpResult result;
    if (RefuseWhileBusy(ctx)) {
        result.Outcome = TOutcome::Failed;
        return result;
    }
    const std::string fileName = DumpFileName(ctx.Clock.Now(), "flash");
    std::unique_ptr<IOutFile> file;
    try {
        file = ctx.Files.Create(fileName);  // failing here changes nothing else
    } catch (const EFileError& e) {
        result.Outcome = TOutcome::FileError;
        result.Error = e.what();
        return result;
    }
    result.Files.push_back(fileName);

    TProgressReport progress(ctx, "flash", FlashSize);
    ctx.Sink.Line("Reading flash started, writing data to " + fileName);

    std::uint32_t address = 0;
    bool lastReadOk = false;
    try {
        TByteArray data;
        for (;;) {
            // The last chunk stops at the end of the flash: with a chunk that
            // does not divide 16 MiB (the command line's 65,535) a full one
            // would wrap to the flash's first bytes and append them.
            const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(chunk, FlashSize - address));
            lastReadOk = ctx.Remote.ReadFlash(data, address, n);
            if (!lastReadOk) {
                ctx.Sink.Line("Read error");
                result.Outcome = FailureOf(ctx);
                break;
            }
            if (data.empty()) break;  // the remote no longer answers: the end of its flash
            file->Write(data.data(), data.size());
            address += static_cast<std::uint32_t>(data.size());
            result.Bytes = address;
            // The flash has 24-bit addresses: reading on would only return
            // its first bytes again.
            if (!progress.ChunkDone(address)) {
                if (address < FlashSize) result.Outcome = TOutcome::Stopped;
                break;
            }
            if (address >= FlashSize) break;
        }
        file->Close();
    } catch (const EFileError& e) {
        result.Outcome = TOutcome::FileError;
        result.Error = e.what();
        return result;
    }
    if (ctx.Strict ? result.Ok() && address >= FlashSize : lastReadOk) ctx.Sink.Line("Reading done");
    return result;
}

TDumpResult DumpFlashParts(TOpsContext& ctx, std::uint16_t chunk)
{
    TDumpResult result;
    if (RefuseWhileBusy(ctx)) {
        result.Outcome = TOutcome::Failed;
        return result;
    }
    if (ctx.Remote.Protocol() != 12) {
        ctx.Sink.Line("Only protocol 12 is supported");
        result.Outcome = TOutcome::Failed;
        return result;
    }
    std::uint64_t all = 0;
    for (const TPart& part : FlashParts) all += static_cast<std::uint64_t>(part.Size);

    TProgressReport progress(ctx, "flash", all);
    const TLocalTime started = ctx.Clock.Now();  // one time stamp for all files of the run
    bool lastReadOk = false;
    try {
        TByteArray data;
        bool stop = false;
        for (const TPart& part : FlashParts) {
            const std::string fileName = DumpFileName(started, part.Name);
            ctx.Sink.Line("Writing data to " + fileName);
            std::unique_ptr<IOutFile> file = ctx.Files.Create(fileName);
            result.Files.push_back(fileName);

            std::int64_t remaining = part.Size;
            auto address = static_cast<std::uint32_t>(part.Start);
            while (remaining > 0) {
                const auto n = static_cast<std::uint16_t>(std::min<std::int64_t>(remaining, chunk));
                // Success without data means the remote did not answer: those
                // bytes are missing, so the region file is incomplete.
                lastReadOk = ctx.Remote.ReadFlash(data, address, n) && data.size() == n;
                if (!lastReadOk) {
                    ctx.Sink.Line("Read error");
                    result.Outcome = FailureOf(ctx);
                    stop = true;
                    break;
                }
                file->Write(data.data(), data.size());
                address += n;
                remaining -= n;
                result.Bytes += n;
                if (!progress.ChunkDone(result.Bytes)) {
                    if (result.Bytes < all) result.Outcome = TOutcome::Stopped;
                    stop = true;
                    break;
                }
            }
            file->Close();
            if (stop) break;
        }
    } catch (const EFileError& e) {
        result.Outcome = TOutcome::FileError;
        result.Error = e.what();
        return result;
    }
    if (ctx.Strict ? result.Ok() && result.Bytes == all : lastReadOk) ctx.Sink.Line("Reading done");
    return result;
}

TResult EraseSector(TOpsContext& ctx, std::uint32_t address)
{
    if (!ctx.Remote.EraseFlashSector(address)) {
        ctx.Sink.Line("Erase flash sector failed");
        return Failure<TResult>(ctx);
    }
    ctx.Sink.Line(Format("Flash sector %d erased", static_cast<std::int32_t>(address)));
    return {};
}

TWriteResult WriteTestPattern(TOpsContext& ctx, std::uint32_t address, std::uint16_t size)
{
    const TByteArray data(size, 0xAB);
    TWriteResult result;
    if (!ctx.Remote.WriteFlash(data, address, size)) {
        ctx.Sink.Line("Write flash failed");
        return Failure(ctx, std::move(result));
    }
    result.Written = size;
    ctx.Sink.Line("Write flash success, but migth contain incorrect values if it was not erased!");
    return result;
}

TWriteResult WriteFlashData(TOpsContext& ctx, std::uint32_t address, const TByteArray& data, bool verify,
                            std::uint16_t chunk)
{
    TWriteResult result;
    if (PastTheEnd(address, data, result)) return result;
    if (chunk == 0) chunk = LargestChunk;
    {
        TProgressReport progress(ctx, "write", data.size());
        while (result.Written < data.size()) {
            const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(chunk, data.size() - result.Written));
            const auto at = address + static_cast<std::uint32_t>(result.Written);
            const TByteArray piece(data.begin() + static_cast<std::ptrdiff_t>(result.Written),
                                   data.begin() + static_cast<std::ptrdiff_t>(result.Written + n));
            if (!ctx.Remote.WriteFlash(piece, at, n)) {
                ctx.Sink.Line("Write flash failed");
                result.Error = Format("writing %u bytes at %6.6X failed", n, at);
                return Failure(ctx, std::move(result));
            }
            result.Written += n;
            if (!progress.ChunkDone(result.Written)) {
                if (result.Written < data.size()) {
                    result.Outcome = TOutcome::Stopped;
                    ctx.Sink.Line(Format("Written %llu bytes at %6.6X, stopped",
                                         static_cast<unsigned long long>(result.Written), address));
                    return result;
                }
                // Everything is written; a stop now skips the read-back.
                if (verify) result.Outcome = TOutcome::Stopped;
            }
        }
    }
    ctx.Sink.Line(Format("Written %llu bytes at %6.6X", static_cast<unsigned long long>(result.Written), address));
    if (!verify || result.Outcome == TOutcome::Stopped) return result;
    TWriteResult checked = VerifyFlashData(ctx, address, data, chunk);
    checked.Written = result.Written;
    return checked;
}

TWriteResult VerifyFlashData(TOpsContext& ctx, std::uint32_t address, const TByteArray& data, std::uint16_t chunk)
{
    TWriteResult result;
    if (PastTheEnd(address, data, result)) return result;
    if (chunk == 0) chunk = LargestChunk;
    TProgressReport progress(ctx, "verify", data.size());
    TByteArray read;
    while (result.Verified < data.size()) {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(chunk, data.size() - result.Verified));
        const auto at = address + static_cast<std::uint32_t>(result.Verified);
        if (!ctx.Remote.ReadFlash(read, at, n) || read.size() != n) {
            ctx.Sink.Line("Reading flash failed");
            result.Error = Format("reading back %u bytes at %6.6X failed", n, at);
            return Failure(ctx, std::move(result));
        }
        const auto expected = data.begin() + static_cast<std::ptrdiff_t>(result.Verified);
        const auto [wrong, written] = std::mismatch(read.begin(), read.end(), expected);
        if (wrong != read.end()) {
            const auto offset = static_cast<std::uint32_t>(wrong - read.begin());
            result.Mismatch = TMismatch{at + offset, *written, *wrong};
            result.Verified += offset;
            result.Outcome = TOutcome::VerifyMismatch;
            ctx.Sink.Line(Format("Verify failed at %6.6X: expected %2.2X, read %2.2X", result.Mismatch->Address,
                                 result.Mismatch->Expected, result.Mismatch->Actual));
            return result;
        }
        result.Verified += n;
        if (!progress.ChunkDone(result.Verified) && result.Verified < data.size()) {
            result.Outcome = TOutcome::Stopped;
            return result;
        }
    }
    ctx.Sink.Line(Format("Verified %llu bytes at %6.6X", static_cast<unsigned long long>(result.Verified), address));
    return result;
}

// --- Infrared -------------------------------------------------------------------------------------

TCaptureResult CaptureIr(TOpsContext& ctx, const std::string& fileName)
{
    TCaptureResult result;
    ctx.Sink.Line("Starting capture");
    ctx.Sink.Progress({"capture", 0, 0, 0});
    if (!ctx.Remote.IrCapture(result.Data)) {
        ctx.Sink.Line("IR capture failed");
        return Failure(ctx, std::move(result));
    }
    if (ctx.Strict && result.Data.empty()) {
        // An empty file in place of an earlier capture would be a loss
        // reported as a success.
        ctx.Sink.Line("Nothing was captured");
        result.Outcome = ctx.Remote.Abort ? TOutcome::Stopped : FailureOf(ctx);
        return result;
    }
    ctx.Sink.Line("IR capture success");
    try {
        std::unique_ptr<IOutFile> file = ctx.Files.Create(fileName);
        result.File = fileName;
        file->Write(result.Data.data(), result.Data.size());
        file->Close();
    } catch (const EFileError& e) {
        result.Outcome = TOutcome::FileError;
        result.Error = e.what();
    }
    return result;
}

}  // namespace ops
