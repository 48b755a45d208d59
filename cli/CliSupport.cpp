#include "CliSupport.h"

#include "../ops/NumberEntry.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

// --- JSON ------------------------------------------------------------------------

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                json += escaped;
            } else {
                json += c;  // UTF-8 passes through
            }
        }
    }
    return json + "\"";
}

TJsonObject& TJsonObject::Field(std::string_view name, std::string_view json)
{
    if (!FFields.empty())
        FFields += ", ";
    FFields += JsonString(name);
    FFields += ": ";
    FFields += json;
    return *this;
}

TJsonObject& TJsonObject::Text(std::string_view name, std::string_view value) { return Field(name, JsonString(value)); }
TJsonObject& TJsonObject::Number(std::string_view name, std::int64_t value) { return Field(name, std::to_string(value)); }
TJsonObject& TJsonObject::Flag(std::string_view name, bool value) { return Field(name, value ? "true" : "false"); }
TJsonObject& TJsonObject::Raw(std::string_view name, std::string_view value) { return Field(name, value); }

TJsonObject& TJsonObject::Append(const TJsonObject& other)
{
    if (!FFields.empty() && !other.FFields.empty())
        FFields += ", ";
    FFields += other.FFields;
    return *this;
}

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string json = "[";
    for (std::size_t i = 0; i < values.size(); ++i)
        json += (i ? ", " : "") + values[i];
    return json + "]";
}

std::string JsonNumbers(std::span<const std::uint8_t> bytes)
{
    std::vector<std::string> values;
    values.reserve(bytes.size());
    for (const std::uint8_t b : bytes)
        values.push_back(std::to_string(b));
    return JsonArray(values);
}

// --- Interrupt -------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t GInterrupted = 0;

#ifdef _WIN32
// Runs on a thread that the system starts for each press. Only Ctrl-C is
// taken; Ctrl-Break and the console's closing keep their usual effect.
BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT)
        return FALSE;
    GInterrupted = 1;
    return TRUE;
}
#else
extern "C" void OnInterrupt(int)
{
    GInterrupted = 1;
}
#endif

}  // namespace

volatile std::sig_atomic_t& InterruptFlag()
{
    return GInterrupted;
}

void InstallInterruptHandler()
{
#ifdef _WIN32
    // The console's own handler rather than signal(): the C runtime puts the
    // default action back after the first Ctrl-C, so a second press would end
    // the program in the middle of a packet. This one stays for every press.
    // It runs on a thread of its own; system calls are not interrupted there,
    // so nothing needs restarting.
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted system calls: a report write interrupted by Ctrl-C still goes
    // out whole, so no half packet is left on the wire.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
#endif
}

// --- Progress line -----------------------------------------------------------------

TProgressLine::TProgressLine(std::ostream& err, bool enabled, TClock clock)
    : FErr(err), FEnabled(enabled), FClock(std::move(clock))
{
}

std::string TProgressLine::Format(std::string_view what, std::uint64_t done, std::uint64_t total,
                                  std::chrono::duration<double> elapsed)
{
    char text[160];
    if (total == 0) {
        std::snprintf(text, sizeof text, "%.*s   %" PRIu64 " bytes", static_cast<int>(what.size()), what.data(), done);
        return text;
    }
    const double seconds = elapsed.count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    const int percent = static_cast<int>(done * 100 / total);
    char left[32] = "--:--";
    if (rate > 0 && done <= total) {
        const auto secondsLeft = static_cast<std::uint64_t>(static_cast<double>(total - done) / rate + 0.5);
        if (secondsLeft >= 3600)
            std::snprintf(left, sizeof left, "%" PRIu64 ":%02u:%02u", secondsLeft / 3600,
                          static_cast<unsigned>(secondsLeft / 60 % 60), static_cast<unsigned>(secondsLeft % 60));
        else
            std::snprintf(left, sizeof left, "%u:%02u", static_cast<unsigned>(secondsLeft / 60),
                          static_cast<unsigned>(secondsLeft % 60));
    }
    std::snprintf(text, sizeof text, "%.*s   %" PRIu64 " of %" PRIu64 " bytes   %d%%   %.1f kB/s   %s left",
                  static_cast<int>(what.size()), what.data(), done, total, percent, rate / 1000.0, left);
    return text;
}

void TProgressLine::Update(std::string_view what, std::uint64_t done, std::uint64_t total)
{
    if (!FEnabled)
        return;
    const auto now = FClock();
    if (what != FWhat) {
        FWhat = what;
        FStart = now;
    }
    const std::string line =
        Format(what, done, total, std::chrono::milliseconds(static_cast<std::int64_t>(now - FStart)));
    if (FDrawn > 0 && line == FLast)
        return;  // a capture's count asked again and again
    // Carriage return, the new text, then blanks over what is left of a
    // longer previous line.
    FErr << '\r' << line;
    if (line.size() < FDrawn)
        FErr << std::string(FDrawn - line.size(), ' ');
    FDrawn = std::max(line.size(), std::size_t{1});
    FLast = line;
    FErr.flush();
}

void TProgressLine::End()
{
    if (FDrawn == 0)
        return;
    FErr << '\n';
    FErr.flush();
    FDrawn = 0;
    FWhat.clear();
}

// --- Numbers and names -----------------------------------------------------------------

namespace {

std::string Hex(std::int64_t value)
{
    char text[32];
    if (value < 0)
        std::snprintf(text, sizeof text, "-0x%" PRIX64, static_cast<std::uint64_t>(-value));
    else
        std::snprintf(text, sizeof text, "0x%" PRIX64, static_cast<std::uint64_t>(value));
    return text;
}

bool Parse64(const std::string& text, std::int64_t& value, std::string& error, std::string_view what)
{
    if (ParseInteger64(text, value))
        return true;
    error = "invalid " + std::string(what) + " '" + text + "' (a decimal number, or hex as $FF or 0xFF)";
    return false;
}

}  // namespace

bool ParseFlashAddress(const std::string& text, std::uint32_t& value, std::string& error)
{
    std::int64_t number = 0;
    if (!Parse64(text, number, error, "flash address"))
        return false;
    if (number < 0 || number >= FlashBytes) {
        error = "flash address " + text + " is outside the 16 MiB flash (0 to 0xFFFFFF)";
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

bool ParseFlashSize(const std::string& text, std::uint32_t address, std::uint32_t& value, std::string& error)
{
    std::int64_t number = 0;
    if (!Parse64(text, number, error, "size"))
        return false;
    if (number < 1) {
        error = "size " + text + " must be at least 1";
        return false;
    }
    if (number > static_cast<std::int64_t>(FlashBytes - address)) {
        error = "size " + text + " from " + Hex(address) + " runs past the end of the 16 MiB flash (at most " +
                std::to_string(FlashBytes - address) + " bytes)";
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}

namespace {

// A register number of `bits` bits from lowest to 2^bits - 1, kept as its
// two's-complement pattern.
bool ParseRegisterNumber(const std::string& text, int bits, std::int64_t lowest, std::string_view what,
                         std::uint16_t& value, std::string& error)
{
    std::int64_t number = 0;
    if (!Parse64(text, number, error, what))
        return false;
    const std::int64_t limit = (std::int64_t{1} << bits) - 1;
    if (number < lowest || number > limit) {
        error = std::string(what) + " " + text + " does not fit " + std::to_string(bits) + " bits (" +
                (lowest < 0 ? std::to_string(lowest) : std::string("0")) + " to " + Hex(limit) + ")";
        return false;
    }
    value = static_cast<std::uint16_t>(number & limit);
    return true;
}

}  // namespace

bool ParseRegisterIndex(const std::string& text, int bits, std::uint16_t& value, std::string& error)
{
    return ParseRegisterNumber(text, bits, 0, "index", value, error);
}

bool ParseRegisterData(const std::string& text, int bits, std::uint16_t& value, std::string& error)
{
    return ParseRegisterNumber(text, bits, -(std::int64_t{1} << (bits - 1)), "data", value, error);
}

bool ParseItem(const std::string& text, std::span<const std::string_view> items, int first, int& value,
               std::string& error, std::string_view what)
{
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (text == items[i]) {
            value = static_cast<int>(i);
            return true;
        }
    }
    std::int64_t number = 0;
    const auto last = first + static_cast<std::int64_t>(items.size()) - 1;
    if (ParseInteger64(text, number) && number >= first && number <= last) {
        value = static_cast<int>(number - first);
        return true;
    }
    error = std::string(what) + " '" + text + "' is neither " + std::to_string(first) + "-" + std::to_string(last) +
            " nor one of:";
    for (std::size_t i = 0; i < items.size(); ++i)
        error += (i ? ", \"" : " \"") + std::string(items[i]) + "\"";
    return false;
}
