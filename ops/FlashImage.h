#pragma once
// The flash image engine: brings a target image (one range or several, such
// as the nine regions) onto the remote's flash while keeping every byte
// outside the target, sending as little as it can.
//
// The flash is serial NOR in 4 KiB sectors: an erase sets a sector to 0xFF,
// a write can only clear bits (writing onto unerased flash leaves old AND
// new). So the engine works sector by sector:
//   1. it learns what the flash holds in every sector the target touches
//      (read from the remote, or taken from a base image the caller vouches
//      for and checked against a sample read back);
//   2. it makes a plan, plain data: per sector unchanged, program-only or
//      erase-then-write, with the byte ranges to send;
//   3. it runs the plan in address order, a sector's erase and its writes
//      as one unit (a stop is honoured between sectors only);
//   4. it reads back what it wrote and compares.
//
// Plain C++, no GUI toolkit; the remote is reached through TOpsContext like
// every other operation (see Operations.h for the sink, progress and result
// conventions).

#include "Operations.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ops {

// --- The flash and what it costs to write it ------------------------------------

inline constexpr std::uint32_t FlashSectorSize = 0x1000;

// The link's cost model, for the plan's choices and its time estimate.
// Data crosses the link at about 62,000 bytes a second each way.
inline constexpr double LinkBytesPerSecond = 62000.0;
// Every separate write costs, besides its data, its request, its closing
// exchange and the two 10 ms pauses around them: about 25 ms in all.
inline constexpr double WriteOverheadSeconds = 0.025;
// An erase is one exchange (10 ms pause) plus the flash's own sector erase,
// typically some 45 ms for 4 KiB of serial NOR: about 60 ms in all.
inline constexpr double EraseSeconds = 0.060;
// A read request costs its exchange and pause on top of its data.
inline constexpr double ReadOverheadSeconds = 0.015;
// Two ranges read back are read as one when the bytes between them take
// less time to read than a request's overhead (about 930 bytes).
inline constexpr std::uint32_t ReadMergeGapBytes =
    static_cast<std::uint32_t>(ReadOverheadSeconds * LinkBytesPerSecond);
// Two spans of one sector are sent as one write when the bytes between them
// take less time to send than a write's overhead (about 1,550 bytes).
inline constexpr std::uint32_t MergeGapBytes =
    static_cast<std::uint32_t>(WriteOverheadSeconds * LinkBytesPerSecond);

// --- Images -------------------------------------------------------------------------

// A run of bytes at a flash address.
struct TImagePiece {
    std::uint32_t Address = 0;
    TByteArray Bytes;
};

// A target or base image: pieces in any order. Pieces may overlap where they
// agree (the nine regions do: normal_app lies inside user_configuration).
using TImage = std::vector<TImagePiece>;

// Whole sectors by their start address, FlashSectorSize bytes each.
using TSectors = std::map<std::uint32_t, TByteArray>;

struct TRange {
    std::uint32_t Address = 0;
    std::uint32_t Size = 0;
    bool operator==(const TRange&) const = default;
};

// Why an image cannot be planned (a piece past the 16 MiB end, overlapping
// pieces that disagree); empty when it can.
std::string CheckImage(const TImage& image);

// The sectors an image touches, ascending.
std::vector<std::uint32_t> TouchedSectors(const TImage& image);

// The sectors read back to check a base image, out of the touched ones
// (ascending), in order: at least one in every region (FlashParts) and in
// every MiB that holds touched sectors, one sector serving a region and its
// MiB where it can (20 for the whole flash: the last MiB's five regions lie
// apart), and sectors next to each other where that is free, as adjacent
// sectors are read with one request (12 for the whole flash).
std::vector<std::uint32_t> SampleSectors(const std::vector<std::uint32_t>& touched);

// --- The plan -----------------------------------------------------------------------

enum class TSectorAction {
    Unchanged,   // the flash holds the target already: nothing is sent
    Program,     // no target bit is 1 where the flash holds 0: the differing spans are written, no erase
    EraseWrite,  // erased, then its final content written except runs of 0xFF not worth sending
};

struct TSectorPlan {
    std::uint32_t Address = 0;  // the sector's first byte
    TSectorAction Action = TSectorAction::Unchanged;
    std::vector<TRange> Writes;  // one WriteFlash each, ascending; empty when unchanged
    TByteArray Final;            // the sector's content afterwards: target bytes, the flash's own elsewhere
    std::uint32_t Sent = 0;      // bytes in Writes
};

struct TFlashPlan {
    std::string Error;                 // when the image cannot be planned (nothing else is set)
    std::vector<TSectorPlan> Sectors;  // every touched sector, ascending
    std::uint64_t TargetBytes = 0;     // distinct target bytes
    int Unchanged = 0, ProgramOnly = 0, EraseWrite = 0;
    int Writes = 0;
    std::uint64_t BytesSent = 0;
    std::uint64_t BytesSkipped = 0;  // bytes of touched sectors not sent
    double Seconds = 0;              // erases and writes at the link's rate

    bool Ok() const { return Error.empty(); }
};

// Plans target onto flash, which must hold every sector the target touches
// (a missing one is an Error).
TFlashPlan PlanImage(const TImage& target, const TSectors& flash);

// The plan as text: a summary, then one line per sector, runs of unchanged
// sectors on one line.
std::vector<std::string> PlanLines(const TFlashPlan& plan);

// --- Comparing ------------------------------------------------------------------------

// Differences between expected and read-back bytes, gathered over a run.
struct TMismatchReport {
    std::uint32_t First = 0;        // first differing address
    std::uint8_t Expected = 0;      // the bytes there
    std::uint8_t Actual = 0;
    std::uint64_t Bytes = 0;        // differing bytes
    std::uint64_t OnesReadAsZero = 0;  // bits expected 1, read 0
    std::uint64_t ZerosReadAsOne = 0;  // bits expected 0, read 1
    std::vector<std::string> Regions;  // FlashParts names holding a difference, in that order; "none" last if any lies outside them all
    std::vector<TRange> Ranges;        // differing ranges, only when asked for

    // Every difference is a 1 read as 0: the bytes were written onto
    // flash that was not erased.
    bool NotErased() const { return Bytes > 0 && ZerosReadAsOne == 0; }
};

// Adds the differences of actual against expected (same size) at address;
// true when there was any. With ranges, Ranges lists them (adjacent ones
// joined across calls).
bool CompareInto(TMismatchReport& report, std::uint32_t address, const TByteArray& expected,
                 const TByteArray& actual, bool ranges);

// The report as text: the first difference, the counts, the regions, the
// "not erased?" hint when it applies, and the ranges when listed.
std::vector<std::string> MismatchLines(const TMismatchReport& report);

// --- Running it -------------------------------------------------------------------------

enum class TImageVerify {
    // What was written is read back and compared (the default): an erased
    // sector in full; of a program-only sector the ranges sent when the rest
    // of it was read before, the whole sector when it came from the base.
    Written,
    Target,   // every sector the target touches, written or not
    None,
};

struct TImageResult;

struct TImageOptions {
    // What the flash is believed to hold. Touched sectors the base covers in
    // full are not read; a sample of them (SampleSectors) is read back
    // first, and any difference refuses the whole image. Sectors it does
    // not cover are read.
    std::optional<TImage> Base;
    // Names the base in the refusal: "the flash does not hold BASE at 0x...".
    std::string BaseName = "the base image";
    TImageVerify Verify = TImageVerify::Written;
    // List every differing range in the mismatch report.
    bool ListRanges = false;
    // Stop after the plan: nothing is erased or written.
    bool DryRun = false;
    std::uint16_t ReadChunk = LargestChunk;
    // Called once the plan is made and before the first erase or write (not
    // on a dry run, nor when every sector is unchanged), with the result so
    // far: the caller keeps Before somewhere safe. A text refuses the run
    // (Failed, the text as Error, nothing changed); empty lets it go on.
    std::function<std::string(const TImageResult&)> BeforeChange;
};

struct TImageResult : TResult {
    TFlashPlan Plan;          // empty when the run ended before planning
    // What the flash held in the sectors read before any change (all the
    // touched sectors by default; with a base, the sample and the sectors
    // the base does not cover). Keep it to undo the write.
    TSectors Before;
    int SectorsDone = 0;      // sectors of the plan brought to their final content (unchanged ones included)
    // The sector the remote failed on, once its erase was asked for or its
    // first write sent: it may now be erased, partly written or partly
    // programmed. Before (or the base) has what it held.
    std::optional<std::uint32_t> HalfWritten;
    // With a base: the first address where the sample read back differs
    // from it (the outcome is then Failed, nothing was changed).
    std::optional<std::uint32_t> BaseDiffers;
    std::optional<TMismatchReport> Mismatch;  // with VerifyMismatch
    std::uint64_t Verified = 0;               // bytes read back and found equal
};

// Reads (or checks the base), plans, erases and writes, verifies. Progress
// names the phase ("read", "erase", "write", "verify") with one Done and
// Total over all phases, in bytes over the link (an erase counts as the
// bytes the link would carry in its time); Total is revised once, when the
// plan is made, and Done never goes backwards. KeepGoing is asked between
// read chunks, between sectors and between verify chunks, never between an
// erase and its writes.
TImageResult WriteImage(TOpsContext& ctx, const TImage& target, const TImageOptions& options = {});

}  // namespace ops
