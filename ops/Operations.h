#pragma once
// The page operations: what each action of the console's pages does on the
// remote and how it words the outcome. The window and the command line are
// two front ends on these functions; neither words a log line or repeats a
// procedure of its own.
//
// Plain C++, no GUI toolkit. Every operation runs on the thread that owns the
// connection (the GUI thread of TCorvaneOne), takes a TOpsContext and returns
// a typed result:
//   - log lines go to the sink, worded exactly as the window shows them;
//   - files are created through the context's file factory;
//   - long work reports progress (0 first, never backwards) and asks the
//     sink whether to keep going between chunks only, never inside a packet
//     exchange or between an erase and its write;
//   - date, time and the millisecond tick come from the context's clock.
// An ECorvaneAssertion of the protocol layer passes through unchanged (the
// window shows it as an application error); every other failure is an
// outcome in the result.

#include "../protocol/CorvaneInterface.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ops {

// --- What the operations report through ---------------------------------------

// Progress of a long operation. What names the work ("flash", "capture",
// "write", "verify"); Total is 0 when unknown. RateBytesPerSecond is the
// transfer rate, recomputed only when more than a second has passed since its
// last update (0 until then).
struct TProgress {
    std::string_view What;
    std::uint64_t Done = 0;
    std::uint64_t Total = 0;
    int RateBytesPerSecond = 0;
};

class IOpsSink {
public:
    virtual ~IOpsSink() = default;
    // One log line, without a line end. UTF-8.
    virtual void Line(const std::string& line) = 0;
    // Several log lines at once (a hex dump), oldest first.
    virtual void Lines(const std::vector<std::string>& lines) = 0;
    // Progress of the running operation.
    virtual void Progress(const TProgress& progress) = 0;
    // Asked between chunks of a long operation only; false stops it after
    // the chunk in hand (its outcome is then Stopped).
    virtual bool KeepGoing() = 0;
};

// Local date and time. DayOfWeek: 1 Monday ... 7 Sunday.
struct TLocalTime {
    int Year = 2000, Month = 1, Day = 1;
    int Hour = 0, Minute = 0, Second = 0;
    int DayOfWeek = 6;
};

class IOpsClock {
public:
    virtual ~IOpsClock() = default;
    // For dump file names and for setting the remote's clock.
    virtual TLocalTime Now() = 0;
    // A monotonic millisecond tick, for the transfer rate.
    virtual std::uint64_t TickMs() = 0;
};

// A file an operation writes: created new (or truncated) by the factory,
// streamed in order, closed once. Every failure raises EFileError, whose text
// names the file and the system's reason ("Cannot write file \"x\": ...").
class EFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class IOutFile {
public:
    virtual ~IOutFile() = default;  // closes quietly if Close was not called
    virtual void Write(const std::uint8_t* data, std::size_t size) = 0;
    virtual void Close() = 0;
};

class IFileFactory {
public:
    virtual ~IFileFactory() = default;
    // name is a bare file name; where it goes is the factory's business.
    virtual std::unique_ptr<IOutFile> Create(const std::string& name) = 0;
};

// The system's clock (local time, steady tick).
class TSystemClock : public IOpsClock {
public:
    TLocalTime Now() override;
    std::uint64_t TickMs() override;
};

// Files on disk, in dir (the current directory when empty). Writes go to the
// system at once, unbuffered, so a failed write is seen where it happens.
class TDiskFiles : public IFileFactory {
public:
    explicit TDiskFiles(std::string dir = {}) : FDir(std::move(dir)) {}
    std::unique_ptr<IOutFile> Create(const std::string& name) override;

private:
    std::string FDir;
};

// Everything an operation works with, for the length of one call.
struct TOpsContext {
    TCorvaneOne& Remote;
    IOpsSink& Sink;
    IOpsClock& Clock;
    IFileFactory& Files;
    // The decimal separator of the user's locale (UTF-8), for the battery
    // line; the digits are always 0-9.
    std::string DecimalSeparator = ".";
    // The command line's rules where a script must not be misled by the
    // window's wording: "Reading done" only after a dump that read every
    // byte, and a capture that brought nothing is no success and writes no
    // file. The window keeps the lines its users know.
    bool Strict = false;
};

// --- Results ------------------------------------------------------------------

enum class TOutcome {
    Done,
    Stopped,         // the sink said stop (or Abort was set) between chunks
    Failed,          // the remote refused or did not answer, or the link is busy
    VerifyMismatch,  // read back differs from what was written
    NoDevice,        // failed and the remote is not connected
    FileError,       // a file could not be created or written (Error says which)
    BadInput,        // a number did not parse
};

struct TResult {
    TOutcome Outcome = TOutcome::Done;
    std::string Error;  // for FileError and BadInput: the reason
    bool Ok() const { return Outcome == TOutcome::Done; }
};

struct TStatusResult : TResult {
    bool Connected = false;
    std::optional<TOpenFailure> OpenFailure;
};

struct TVersionResult : TResult {
    TByteArray Reply;  // header and payload
    int Architecture = -1;
    int Protocol = -1;
};

struct TDecodedVersionResult : TResult {
    TDecodedVersion Version;
};

struct TMiscResult : TResult {
    bool Word = false;
    std::uint8_t Type = 0;
    std::uint16_t Index = 0;  // as narrowed and sent
    std::uint16_t Value = 0;  // read, or written
};

struct THardwareFlagResult : TResult {
    std::uint16_t Raw = 0;
    bool Set = false;
};

struct TBatteryResult : TResult {
    std::uint16_t Millivolts = 0;
    int Percent = 0;
};

// The remote's clock as read; a field that could not be read stays nullopt
// (and shows as nines in the log line).
struct TClockResult : TResult {
    std::optional<int> Year, Month, Day, Hour, Minute, Second, DayOfWeek;
};

struct TFlashReadResult : TResult {
    std::uint32_t Address = 0;
    TByteArray Data;  // what was read, also when stopped or failed part-way
};

struct TDumpResult : TResult {
    std::vector<std::string> Files;  // created, in order; a stopped or failed dump leaves its last one partial
    std::uint64_t Bytes = 0;
};

struct TMismatch {
    std::uint32_t Address = 0;
    std::uint8_t Expected = 0;
    std::uint8_t Actual = 0;
};

struct TWriteResult : TResult {
    std::uint64_t Written = 0;             // bytes acknowledged by the remote
    std::uint64_t Verified = 0;            // bytes read back and compared equal
    std::optional<TMismatch> Mismatch;     // with VerifyMismatch: the first difference
    // With VerifyMismatch, the rest of the mismatch report after its first
    // line: how many bytes and bits differ, the regions, the "not erased?"
    // hint, and the differing ranges when asked for.
    std::vector<std::string> Report;
};

struct TCaptureResult : TResult {
    TByteArray Data;
    std::string File;
};

// --- Constants ------------------------------------------------------------------

inline constexpr std::uint32_t FlashSize = 0x1000000;     // 16 MiB, 24-bit addresses
inline constexpr std::uint16_t WindowChunk = 0x8000;      // the window's dump chunk
inline constexpr std::uint16_t LargestChunk = 0xFFFF;     // the protocol's largest transfer
inline constexpr const char* CaptureFileName = "CAPTURED.BIN";

// The Reset page's items, type 1 to 4 in order, and the Miscellaneous page's
// register types, 0 to 12 in order.
extern const std::array<std::string_view, 4> ResetTypeNames;
extern const std::array<std::string_view, 13> MiscTypeNames;

// "YYYYMMDDTHHMMSS_<name>.bin"
std::string DumpFileName(const TLocalTime& time, std::string_view name);

// --- Number boxes -----------------------------------------------------------------
// The window's parsing of its edit boxes: on a text that does not parse, the
// page's line ("Invalid index", "Invalid size", "Invalid data") goes to the
// sink and the result is empty. Flash index: any 64-bit number, narrowed to
// 32 bits. Flash size: any 32-bit number, narrowed to 16 bits.

std::optional<std::uint32_t> ParseFlashIndex(IOpsSink& sink, const std::string& text);
std::optional<std::uint16_t> ParseFlashSize(IOpsSink& sink, const std::string& text);
std::optional<std::int32_t> ParseMiscIndex(IOpsSink& sink, const std::string& text);
std::optional<std::int32_t> ParseMiscData(IOpsSink& sink, const std::string& text);

// --- Connection -------------------------------------------------------------------

// "Device connected" or "Device not connected".
TStatusResult ConnectionLine(TOpsContext& ctx);
// When not connected because the node could not be opened: the permission
// line (or "Cannot open ..."); nothing otherwise.
void OpenFailureLine(TOpsContext& ctx);
// Both, then, when not connected, "Connect device and use Reinitialize USB".
TStatusResult Status(TOpsContext& ctx);
// Reinitialize USB: refused with "Operation in progress" while a flash write
// or capture runs; else reconnects and reports the connection.
TStatusResult Reinitialize(TOpsContext& ctx);

// --- Version and reset ----------------------------------------------------------------

TVersionResult ReadVersion(TOpsContext& ctx);                 // "Received (hex): ..."
TDecodedVersionResult ReadDecodedVersion(TOpsContext& ctx);   // "Version information:" and 15 lines
// type 1-4; the line names the type by its item text.
TResult Reset(TOpsContext& ctx, int type);

// --- Miscellaneous registers ---------------------------------------------------------
// index and data are narrowed to the register's width, as the window does.

TMiscResult ReadMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index);
TMiscResult WriteMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index, std::int32_t data);
THardwareFlagResult ReadHardwareFlag(TOpsContext& ctx);
TBatteryResult ReadBattery(TOpsContext& ctx);
TClockResult ReadClock(TOpsContext& ctx);
// Sets the remote's clock to time (the context's clock when not given).
TResult SetClock(TOpsContext& ctx, std::optional<TLocalTime> time = std::nullopt);

// --- Flash ---------------------------------------------------------------------------

// Reads size bytes from address in chunks of at most chunk bytes. With
// hexLines, the window's hex dump goes to the sink ("Flash dump (hex):" and
// 16 bytes a line), in one block per chunk. One chunk (the window's Read)
// behaves as the window always did: a failure logs "Reading flash failed";
// a remote that sends nothing gives the header line alone. Over more than
// one chunk, progress is reported and KeepGoing asked between chunks; a
// chunk that comes back short ends the read as Failed.
TFlashReadResult ReadFlash(TOpsContext& ctx, std::uint32_t address, std::uint32_t size,
                           std::uint16_t chunk = LargestChunk, bool hexLines = true);

// The whole flash into "<time>_flash.bin", and the nine regions into one
// file each with one time stamp. Refused with "Operation in progress",
// before any file is created, while a flash write or capture runs. A
// stopped or failed dump keeps what it wrote. "Reading done" follows the
// last good read, after a stop too (Strict: only a dump of every byte).
//
// verify, for a backup that must be trusted: every chunk is read twice and
// the two reads compared. When they differ the chunk is read twice more;
// when those differ as well the dump ends there, Failed, with "Reads differ
// at <address>" and Error naming the first differing byte. The files keep
// what was read before that chunk.
TDumpResult DumpWholeFlash(TOpsContext& ctx, std::uint16_t chunk = WindowChunk, bool verify = false);
TDumpResult DumpFlashParts(TOpsContext& ctx, std::uint16_t chunk = WindowChunk, bool verify = false);

// "Flash sector %d erased"; the remote erases the sector holding address.
TResult EraseSector(TOpsContext& ctx, std::uint32_t address);

// The Flash page's Write: size bytes of the test pattern 0xAB.
TWriteResult WriteTestPattern(TOpsContext& ctx, std::uint32_t address, std::uint16_t size);

// Writes data from address in chunks, then with verify reads it back and
// compares. Writes nothing past the 16 MiB end (BadInput). Progress "write"
// (and "verify"), KeepGoing after every chunk: a stop after the last one
// written ends before the read-back (Stopped, Written the whole size).
TWriteResult WriteFlashData(TOpsContext& ctx, std::uint32_t address, const TByteArray& data,
                            bool verify, std::uint16_t chunk = LargestChunk, bool listRanges = false);
// Reads back and compares only. The whole range is read even after a
// difference, so that the report counts every one; a stop after a
// difference still ends in VerifyMismatch, its report saying how much was
// compared. With listRanges the report lists every differing range.
TWriteResult VerifyFlashData(TOpsContext& ctx, std::uint32_t address, const TByteArray& data,
                             std::uint16_t chunk = LargestChunk, bool listRanges = false);

// --- Infrared ----------------------------------------------------------------------------

// "Starting capture", the capture (stopped by setting Remote.Abort), then
// "IR capture success" and the file, or "IR capture failed". Strict: a
// capture that brought no byte says "Nothing was captured" and creates no
// file (Stopped when Abort ended it, Failed otherwise).
TCaptureResult CaptureIr(TOpsContext& ctx, const std::string& fileName = CaptureFileName);

}  // namespace ops
