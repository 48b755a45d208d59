#include "Operations.h"
#include "OperationsPrivate.h"

#include "FlashImage.h"
#include "FlashParts.h"

#include <algorithm>

namespace ops {

using namespace detail;

namespace {

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

// Bytes from address that would run past the 16 MiB end: nothing is sent.
bool PastTheEnd(std::uint32_t address, const TByteArray& data, TResult& result)
{
    if (static_cast<std::uint64_t>(address) + data.size() <= FlashSize) return false;
    result.Outcome = TOutcome::BadInput;
    result.Error = Format("%zu bytes from %6.6X run past the end of the flash (%6.6X)", data.size(), address,
                          FlashSize);
    return true;
}

// How a dump's read of one chunk went.
enum class TChunkRead { Read, Failed, Differ };

// One chunk of a dump into data. With verify the chunk is read twice and
// taken when both reads agree; on a difference it is read twice more, and
// when those disagree too, differAt is the first byte where they do.
TChunkRead ReadDumpChunk(TOpsContext& ctx, TByteArray& data, TByteArray& again, std::uint32_t address,
                         std::uint16_t n, bool verify, std::uint32_t& differAt)
{
    for (int attempt = 0; attempt < (verify ? 2 : 1); ++attempt) {
        if (!ctx.Remote.ReadFlash(data, address, n)) return TChunkRead::Failed;
        if (!verify) return TChunkRead::Read;
        if (!ctx.Remote.ReadFlash(again, address, n)) return TChunkRead::Failed;
        // A read that ended early differs from a whole one where it ended.
        const std::size_t common = std::min(data.size(), again.size());
        const auto [wrong, other] = std::mismatch(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(common),
                                                  again.begin());
        if (wrong == data.begin() + static_cast<std::ptrdiff_t>(common) && data.size() == again.size())
            return TChunkRead::Read;
        differAt = address + static_cast<std::uint32_t>(wrong - data.begin());
    }
    return TChunkRead::Differ;
}

// The line and the error of a chunk whose reads kept differing.
void ReadsDiffer(TOpsContext& ctx, TDumpResult& result, std::uint32_t address, std::uint16_t n,
                 std::uint32_t differAt)
{
    ctx.Sink.Line(Format("Reads differ at %6.6X", differAt));
    result.Outcome = FailureOf(ctx);
    result.Error = Format("two reads of the %u bytes at 0x%6.6X differ at 0x%6.6X, also when read again", n,
                          address, differAt);
}

}  // namespace

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

TDumpResult DumpWholeFlash(TOpsContext& ctx, std::uint16_t chunk, bool verify)
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
        TByteArray data, again;
        for (;;) {
            // The last chunk stops at the end of the flash: with a chunk that
            // does not divide 16 MiB (the command line's 65,535) a full one
            // would wrap to the flash's first bytes and append them.
            const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(chunk, FlashSize - address));
            std::uint32_t differAt = 0;
            const TChunkRead read = ReadDumpChunk(ctx, data, again, address, n, verify, differAt);
            lastReadOk = read == TChunkRead::Read;
            if (read == TChunkRead::Differ) {
                ReadsDiffer(ctx, result, address, n, differAt);
                break;
            }
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

TDumpResult DumpFlashParts(TOpsContext& ctx, std::uint16_t chunk, bool verify)
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
        TByteArray data, again;
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
                std::uint32_t differAt = 0;
                const TChunkRead read = ReadDumpChunk(ctx, data, again, address, n, verify, differAt);
                if (read == TChunkRead::Differ) {
                    lastReadOk = false;
                    ReadsDiffer(ctx, result, address, n, differAt);
                    stop = true;
                    break;
                }
                lastReadOk = read == TChunkRead::Read && data.size() == n;
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
                            std::uint16_t chunk, bool listRanges)
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
    TWriteResult checked = VerifyFlashData(ctx, address, data, chunk, listRanges);
    checked.Written = result.Written;
    return checked;
}

TWriteResult VerifyFlashData(TOpsContext& ctx, std::uint32_t address, const TByteArray& data, std::uint16_t chunk,
                             bool listRanges)
{
    TWriteResult result;
    if (PastTheEnd(address, data, result)) return result;
    if (chunk == 0) chunk = LargestChunk;
    TProgressReport progress(ctx, "verify", data.size());
    TMismatchReport report;
    std::uint64_t compared = 0;
    bool stopped = false;
    TByteArray read;
    while (compared < data.size()) {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint64_t>(chunk, data.size() - compared));
        const auto at = address + static_cast<std::uint32_t>(compared);
        if (!ctx.Remote.ReadFlash(read, at, n) || read.size() != n) {
            ctx.Sink.Line("Reading flash failed");
            result.Error = Format("reading back %u bytes at %6.6X failed", n, at);
            return Failure(ctx, std::move(result));
        }
        const auto expected = data.begin() + static_cast<std::ptrdiff_t>(compared);
        const bool first = report.Bytes == 0;
        if (CompareInto(report, at, TByteArray(expected, expected + n), read, listRanges) && first) {
            // The window's line, once, at the first difference.
            result.Mismatch = TMismatch{report.First, report.Expected, report.Actual};
            ctx.Sink.Line(Format("Verify failed at %6.6X: expected %2.2X, read %2.2X", report.First,
                                 report.Expected, report.Actual));
        }
        compared += n;
        if (!progress.ChunkDone(compared) && compared < data.size()) {
            stopped = true;
            break;
        }
    }
    result.Verified = compared - report.Bytes;
    if (report.Bytes > 0) {
        result.Outcome = TOutcome::VerifyMismatch;
        std::vector<std::string> lines = MismatchLines(report);
        result.Report.assign(lines.begin() + 1, lines.end());
        if (stopped)
            result.Report.push_back(Format("Stopped: %llu of %llu bytes compared", static_cast<unsigned long long>(compared),
                                           static_cast<unsigned long long>(data.size())));
        return result;
    }
    if (stopped) {
        result.Outcome = TOutcome::Stopped;
        return result;
    }
    ctx.Sink.Line(Format("Verified %llu bytes at %6.6X", static_cast<unsigned long long>(result.Verified), address));
    return result;
}

}  // namespace ops
