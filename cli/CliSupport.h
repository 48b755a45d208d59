#pragma once
// The pieces of corvane-cli that need no remote: exit codes, the JSON
// writer, the progress line, the interrupt flag and the range checks on
// numbers typed on the command line. Plain C++, no Qt.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// --- Exit codes ------------------------------------------------------------------

// What the program's exit status means; `--help` and the README list them.
enum class TExitCode : int {
    Success = 0,
    Failed = 1,        // the remote refused or the operation failed
    Usage = 2,         // bad usage or a bad number
    NoRemote = 3,      // no remote, or it cannot be opened
    FileError = 4,     // a file cannot be read or written
    Mismatch = 5,      // a verify found a difference
    Interrupted = 130, // Ctrl-C (128 + SIGINT, as shells report it)
};

// --- JSON ------------------------------------------------------------------------

// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// One JSON object, built field by field in the order given.
class TJsonObject {
public:
    TJsonObject& Text(std::string_view name, std::string_view value);
    TJsonObject& Number(std::string_view name, std::int64_t value);
    TJsonObject& Flag(std::string_view name, bool value);
    // value is already JSON (a nested object or an array).
    TJsonObject& Raw(std::string_view name, std::string_view value);
    // Appends the fields of another object.
    TJsonObject& Append(const TJsonObject& other);
    std::string Str() const { return "{" + FFields + "}"; }

private:
    TJsonObject& Field(std::string_view name, std::string_view json);
    std::string FFields;
};

// A JSON array of already formatted values.
std::string JsonArray(const std::vector<std::string>& values);
std::string JsonNumbers(std::span<const std::uint8_t> bytes);

// --- Interrupt -------------------------------------------------------------------

// Installs a Ctrl-C handler (SIGINT on POSIX, a console control handler on
// Windows, which stays installed for every press) that only sets the flag
// returned by InterruptFlag(); the work in hand checks it between chunks.
void InstallInterruptHandler();
volatile std::sig_atomic_t& InterruptFlag();

// --- Progress line -----------------------------------------------------------------

// The progress of long work on standard error: one line of at most Columns
// characters, redrawn in place, and only when standard error is a terminal
// (enabled), so that scripts never see it.
//   "flash   1048576 of 16777216 bytes   6%   61.9 kB/s   4:14 left"
//   "capture   1234 bytes"
// A log line on standard output goes between Hide and Show, so that it never
// lands inside the line and no stale copy of the line stays above it.
//
// The rate is the bytes moved since the first Update over the time since
// then, across all the steps of the run (a dump's parts, a restore's regions,
// a write and its verify): it is never restarted, so it never shows more than
// the link carried. The time left is the step's remaining bytes at that rate.
class TProgressLine {
public:
    using TClock = std::function<std::uint64_t()>;  // a millisecond tick
    static constexpr std::size_t Columns = 79;

    TProgressLine(std::ostream& err, bool enabled, TClock clock);
    ~TProgressLine() { End(); }
    TProgressLine(const TProgressLine&) = delete;
    TProgressLine& operator=(const TProgressLine&) = delete;

    // done of total bytes of the step named what; total 0 means unknown (a
    // count only). A new step begins when what changes or done goes back.
    // shown, when given, is the text drawn instead of what: a step of
    // several phases (read, erase, write, verify of an image) keeps one
    // count and one time left over all of them while the phase is named.
    void Update(std::string_view what, std::uint64_t done, std::uint64_t total, std::string_view shown = {});
    // Takes the line off the screen; Show draws it again.
    void Hide();
    void Show();
    // Leaves the line as it stands, so that the next output starts on a line
    // of its own.
    void End();

    // The text of one line at bytesPerSecond (0: not known yet), what
    // shortened to keep it within Columns (tests).
    static std::string Format(std::string_view what, std::uint64_t done, std::uint64_t total,
                              double bytesPerSecond);

private:
    void Draw(const std::string& line);

    std::ostream& FErr;
    bool FEnabled;
    TClock FClock;
    // The rate over the whole run.
    bool FStarted = false;
    std::uint64_t FStart = 0;   // tick of the first Update
    std::uint64_t FMoved = 0;   // bytes moved since then, all steps
    std::string FStep;          // what of the step in hand
    std::uint64_t FStepDone = 0;
    // The screen.
    std::size_t FDrawn = 0;     // length of the line on screen; 0 when none
    std::string FLast;          // the last line's text; empty before the first
    bool FHidden = false;       // taken off by Hide
};

// --- Numbers and names on the command line -------------------------------------------

inline constexpr std::uint32_t FlashBytes = 0x1000000;  // 16 MiB, 24-bit addresses
inline constexpr std::uint32_t FlashSectorBytes = 0x1000;  // what one erase clears

// One rule for every number: written as in the window's boxes (decimal, or
// hex with $, x, X, 0x or 0X, one sign before it), but taken as typed, hex
// digits as an unsigned value: "$FFFFFFFF" is 4294967295, never -1, and
// "-$80" is -128. Each command then checks the range it needs; a number
// beyond 64 bits is outside every range.
//
// The rule as --help states it (the manual page says the same).
extern const char* const NumbersHelp;
// text is a number by that rule's syntax (whatever its range): a word like
// "-1" is an argument, not an option.
bool IsNumberText(const std::string& text);

// Each parses text by that rule and checks the range the command needs. On
// failure error holds a message for the user (without the program's name)
// and value is untouched.
bool ParseFlashAddress(const std::string& text, std::uint32_t& value, std::string& error);
// A byte count from address: at least 1, not past the end of the flash.
bool ParseFlashSize(const std::string& text, std::uint32_t address, std::uint32_t& value, std::string& error);
// A register index of `bits` bits: 0 to 2^bits - 1.
bool ParseRegisterIndex(const std::string& text, int bits, std::uint16_t& value, std::string& error);
// Register data of `bits` bits: 0 to 2^bits - 1, or -2^(bits-1) to -1 taken
// as two's complement ("-1" is 0xFF for a byte).
bool ParseRegisterData(const std::string& text, int bits, std::uint16_t& value, std::string& error);
// An item of a list: its number (first to first + count - 1) or its text,
// exactly as written in the list. value is the item's position from 0.
bool ParseItem(const std::string& text, std::span<const std::string_view> items, int first, int& value,
               std::string& error, std::string_view what);
