#include "CliSupport.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

// --- JSON ------------------------------------------------------------------------

namespace {

// The length of the UTF-8 sequence that starts at text[at]; 0 when the bytes
// there are no valid sequence (a stray continuation byte, an overlong form,
// a surrogate, a code point past U+10FFFF, a sequence cut short).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    std::uint32_t code = 0;
    std::uint32_t lowest = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, lowest = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - at < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(at + i) & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                json += escaped;
            } else if (const std::size_t length = Utf8SequenceLength(text, at); length > 0) {
                json.append(text.substr(at, length));  // valid UTF-8 passes through
                at += length;
                continue;
            } else {
                // A device path or file name need not be UTF-8; each byte
                // that is not part of a valid sequence becomes U+FFFD, so
                // that the output stays valid JSON.
                json += "\\ufffd";
            }
        }
        ++at;
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

namespace {

// what cut to at most room characters. A name with a last word ("cpld
// verify") keeps that word and loses the end of the name before it.
std::string ShortWhat(std::string_view what, std::size_t room)
{
    if (what.size() <= room)
        return std::string(what);
    const std::size_t space = what.rfind(' ');
    if (space != std::string_view::npos && space > 0) {
        const std::string_view last = what.substr(space);  // with its space
        if (room > last.size() + 2)
            return std::string(what.substr(0, room - last.size() - 2)) + ".." + std::string(last);
    }
    return std::string(what.substr(0, room));
}

}  // namespace

std::string TProgressLine::Format(std::string_view what, std::uint64_t done, std::uint64_t total,
                                  double bytesPerSecond)
{
    char text[160];
    if (total == 0) {
        std::snprintf(text, sizeof text, "   %" PRIu64 " bytes", done);
    } else {
        const double rate = bytesPerSecond > 0 ? bytesPerSecond : 0.0;
        const auto percent = static_cast<unsigned>(std::min<std::uint64_t>(done, total) * 100 / total);
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
        std::snprintf(text, sizeof text, "   %" PRIu64 " of %" PRIu64 " bytes   %u%%   %.1f kB/s   %s left", done,
                      total, percent, rate / 1000.0, left);
    }
    const std::string tail = text;
    const std::size_t room = tail.size() < Columns ? Columns - tail.size() : 0;
    std::string line = ShortWhat(what, room) + tail;
    if (line.size() > Columns)
        line.resize(Columns);
    return line;
}

void TProgressLine::Update(std::string_view what, std::uint64_t done, std::uint64_t total, std::string_view shown)
{
    if (!FEnabled)
        return;
    const std::uint64_t now = FClock();
    if (!FStarted) {
        // Bytes reported in the very first update moved before the clock
        // started: they are not counted, so the rate cannot overstate.
        FStarted = true;
        FStart = now;
        FStep = what;
        FStepDone = done;
    } else if (what != FStep || done < FStepDone) {
        FStep = what;
        FMoved += done;
        FStepDone = done;
    } else {
        FMoved += done - FStepDone;
        FStepDone = done;
    }
    const std::uint64_t elapsed = now - FStart;
    const double rate = elapsed > 0 ? static_cast<double>(FMoved) * 1000.0 / static_cast<double>(elapsed) : 0.0;
    const std::string line = Format(shown.empty() ? what : shown, done, total, rate);
    if (FDrawn > 0 && line == FLast)
        return;  // a capture's count asked again and again
    FLast = line;
    if (FHidden)
        return;  // drawn by Show
    Draw(line);
}

void TProgressLine::Draw(const std::string& line)
{
    // Carriage return, the new text, then blanks over what is left of a
    // longer previous line.
    FErr << '\r' << line;
    if (line.size() < FDrawn)
        FErr << std::string(FDrawn - line.size(), ' ');
    FDrawn = std::max(line.size(), std::size_t{1});
    FErr.flush();
}

void TProgressLine::Hide()
{
    if (FDrawn == 0)
        return;
    FErr << '\r' << std::string(FDrawn, ' ') << '\r';
    FErr.flush();
    FDrawn = 0;
    FHidden = true;
}

void TProgressLine::Show()
{
    if (!FHidden)
        return;
    FHidden = false;
    if (!FLast.empty())
        Draw(FLast);
}

void TProgressLine::End()
{
    FHidden = false;
    FLast.clear();
    if (FDrawn == 0)
        return;
    FErr << '\n';
    FErr.flush();
    FDrawn = 0;
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

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum class TNumberRead { Ok, Invalid, TooLarge };

// The one rule for numbers on the command line: written as the window's boxes
// take them (leading spaces, one sign, a hex prefix $ x X 0x 0X, digits), but
// taken as typed: hex digits are an unsigned value, not a two's-complement
// pattern ("$FFFFFFFF" is 4294967295, "-$80" is -128). A value beyond the
// 64-bit signed range is TooLarge: too large for anything the remote takes.
TNumberRead ReadNumber(const std::string& text, std::int64_t& value)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        i += 1;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return TNumberRead::Invalid;
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (; i < n; ++i) {
        const int digit = base == 16 ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            return TNumberRead::Invalid;
        if (magnitude > (~std::uint64_t{0} - static_cast<unsigned>(digit)) / base)
            overflow = true;  // the rest must still be digits
        else
            magnitude = magnitude * base + static_cast<unsigned>(digit);
    }
    constexpr std::uint64_t maxPositive = std::numeric_limits<std::int64_t>::max();
    if (overflow || magnitude > maxPositive + (negative ? 1 : 0))
        return TNumberRead::TooLarge;
    value = negative ? static_cast<std::int64_t>(std::uint64_t{0} - magnitude) : static_cast<std::int64_t>(magnitude);
    return TNumberRead::Ok;
}

// A number for a range check: false with the message for a text that is no
// number; a number too large for 64 bits is the largest, which no range holds.
bool Parse64(const std::string& text, std::int64_t& value, std::string& error, std::string_view what)
{
    switch (ReadNumber(text, value)) {
    case TNumberRead::Ok: return true;
    case TNumberRead::TooLarge:
        value = text.find('-') != std::string::npos ? std::numeric_limits<std::int64_t>::min()
                                                     : std::numeric_limits<std::int64_t>::max();
        return true;
    case TNumberRead::Invalid: break;
    }
    error = "invalid " + std::string(what) + " '" + text + "' (a decimal number, or hex as $FF or 0xFF)";
    return false;
}

}  // namespace

const char* const NumbersHelp =
    "Numbers are decimal or hexadecimal ($FF, 0xFF, xFF) with at most one sign,\n"
    "taken as typed: hex digits are an unsigned value, so $FFFFFFFF is 4294967295\n"
    "(never -1) and -$80 is -128. A negative number may follow -- or stand where a\n"
    "number is expected. Flash addresses run from 0 to 0xFFFFFF (16 MiB) and a read\n"
    "or write must end there; a register index is 0 to 0xFF (byte) or 0xFFFF (word);\n"
    "register data is 0 to 0xFF or -128 to -1 (byte), 0 to 0xFFFF or -32768 to -1\n"
    "(word), a negative value sent as its two's complement; a register type is\n"
    "0-12, a reset type 1-4. Anything else is refused before the remote is touched.\n";

bool IsNumberText(const std::string& text)
{
    std::int64_t value = 0;
    return ReadNumber(text, value) != TNumberRead::Invalid;
}

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
    if (ReadNumber(text, number) == TNumberRead::Ok && number >= first && number <= last) {
        value = static_cast<int>(number - first);
        return true;
    }
    error = std::string(what) + " '" + text + "' is neither " + std::to_string(first) + "-" + std::to_string(last) +
            " nor one of:";
    for (std::size_t i = 0; i < items.size(); ++i)
        error += (i ? ", \"" : " \"") + std::string(items[i]) + "\"";
    return false;
}
