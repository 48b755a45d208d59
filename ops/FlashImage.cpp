#include "FlashImage.h"

#include "FlashParts.h"
#include "OperationsPrivate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <iterator>

namespace ops {

namespace {

using detail::Format;

using ULL = unsigned long long;

std::uint32_t SectorOf(std::uint32_t address) { return address & ~(FlashSectorSize - 1); }

// The target's bytes in one sector and which of them it sets. A sector that
// one piece covers in full points into that piece: a whole image is not
// copied to be planned.
struct TSectorTarget {
    const std::uint8_t* Whole = nullptr;  // the covering piece's bytes
    TByteArray Bytes;                     // otherwise: the bytes set, 0xFF elsewhere
    std::vector<bool> Set;
    std::uint32_t Count = 0;  // bytes set

    bool Full() const { return Count == FlashSectorSize; }
    const std::uint8_t* Data() const { return Whole ? Whole : Bytes.data(); }
    bool IsSet(std::uint32_t offset) const { return Whole || Set[offset]; }
};

// Valid while the image it was laid from lives and is not changed.
using TOverlay = std::map<std::uint32_t, TSectorTarget>;

// The image laid over the sectors it touches; error says why it cannot be.
// A piece goes in sector by sector, one look-up each; byte by byte only
// where it meets bytes another piece set, which must agree.
TOverlay Overlay(const TImage& image, std::string& error)
{
    TOverlay sectors;
    for (const TImagePiece& piece : image) {
        if (static_cast<std::uint64_t>(piece.Address) + piece.Bytes.size() > FlashSize) {
            error = Format("%llu bytes from 0x%6.6X run past the end of the flash (0x%6.6X)",
                           static_cast<ULL>(piece.Bytes.size()), piece.Address, FlashSize);
            return {};
        }
        for (std::size_t i = 0; i < piece.Bytes.size();) {
            const auto address = piece.Address + static_cast<std::uint32_t>(i);
            const std::uint32_t offset = address - SectorOf(address);
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(FlashSectorSize - offset, piece.Bytes.size() - i));
            const std::uint8_t* from = piece.Bytes.data() + i;
            TSectorTarget& sector = sectors[SectorOf(address)];
            i += n;
            if (sector.Count == 0 && n == FlashSectorSize) {
                sector.Whole = from;
                sector.Count = n;
                continue;
            }
            if (sector.Full()) {
                // Nothing to add, only to agree with.
                const std::uint8_t* held = sector.Data() + offset;
                const auto differ = std::mismatch(from, from + n, held);
                if (differ.first != from + n) {
                    error = Format("the image's pieces disagree at 0x%6.6X",
                                   address + static_cast<std::uint32_t>(differ.first - from));
                    return {};
                }
                continue;
            }
            if (sector.Bytes.empty()) {
                sector.Bytes.assign(FlashSectorSize, 0xFF);
                sector.Set.assign(FlashSectorSize, false);
            }
            for (std::uint32_t k = 0; k < n; ++k) {
                if (!sector.Set[offset + k]) {
                    sector.Set[offset + k] = true;
                    sector.Bytes[offset + k] = from[k];
                    ++sector.Count;
                } else if (sector.Bytes[offset + k] != from[k]) {
                    error = Format("the image's pieces disagree at 0x%6.6X", address + k);
                    return {};
                }
            }
        }
    }
    return sectors;
}

// What the flash holds (or is believed to), by sector: whole sectors kept
// elsewhere (read, or in a base image), not copied.
using TFlashView = std::map<std::uint32_t, const std::uint8_t*>;

// Runs of wanted bytes of one sector, joined where the bytes between two
// runs cost less to send than another write.
std::vector<TRange> Spans(std::uint32_t sector, const std::vector<bool>& wanted)
{
    std::vector<TRange> spans;
    std::uint32_t i = 0;
    while (i < FlashSectorSize) {
        if (!wanted[i]) {
            ++i;
            continue;
        }
        std::uint32_t end = i;
        while (end < FlashSectorSize && wanted[end]) ++end;
        if (!spans.empty() && sector + i - (spans.back().Address + spans.back().Size) < MergeGapBytes)
            spans.back().Size = sector + end - spans.back().Address;
        else
            spans.push_back({sector + i, end - i});
        i = end;
    }
    return spans;
}

// "1 sector", "2 sectors".
std::string Counted(ULL count, const char* thing)
{
    return std::to_string(count) + ' ' + thing + (count == 1 ? "" : "s");
}

std::string RangeText(const TRange& range)
{
    return Format("0x%6.6X-0x%6.6X", range.Address, range.Address + range.Size - 1);
}

// Adjacent sectors as ranges, in order.
std::vector<TRange> SectorRanges(const std::vector<std::uint32_t>& sectors)
{
    std::vector<TRange> ranges;
    for (std::uint32_t sector : sectors) {
        if (!ranges.empty() && ranges.back().Address + ranges.back().Size == sector)
            ranges.back().Size += FlashSectorSize;
        else
            ranges.push_back({sector, FlashSectorSize});
    }
    return ranges;
}

// Ranges of planned sectors, ascending, as reads: adjacent ones joined, and
// ones a short gap apart within one sector or two adjacent ones (so every
// byte read has its expected value in the plan) where reading the gap costs
// less than another request.
std::vector<TRange> JoinForRead(const std::vector<TRange>& ranges)
{
    std::vector<TRange> reads;
    for (const TRange& range : ranges) {
        if (!reads.empty()) {
            TRange& last = reads.back();
            const std::uint32_t end = last.Address + last.Size;
            if (range.Address - end < ReadMergeGapBytes && SectorOf(range.Address) - SectorOf(end - 1) <= FlashSectorSize) {
                last.Size = range.Address + range.Size - last.Address;
                continue;
            }
        }
        reads.push_back(range);
    }
    return reads;
}

TOutcome FailureOf(const TOpsContext& ctx) { return ctx.Remote.Connected() ? TOutcome::Failed : TOutcome::NoDevice; }

// An erase in progress units: the bytes the link would carry in its time.
constexpr std::uint64_t EraseProgressBytes = static_cast<std::uint64_t>(EraseSeconds * LinkBytesPerSecond);

// Progress over every phase of the run: one count, the phase's name, and
// the rate (recomputed only when more than a second has passed since its
// last update, as the other operations do).
class TImageProgress {
public:
    TImageProgress(TOpsContext& ctx, std::uint64_t total)
        : FCtx(ctx), FTotal(total), FLastTick(ctx.Clock.TickMs())
    {
        FCtx.Sink.Progress({"read", 0, FTotal, 0});
    }

    void Revise(std::uint64_t total) { FTotal = std::max(total, FDone); }

    void Add(std::string_view what, std::uint64_t bytes)
    {
        FDone += bytes;
        if (FDone > FTotal) FTotal = FDone;
        const std::uint64_t tick = FCtx.Clock.TickMs();
        if (tick - FLastTick > 1000) {
            FRate = static_cast<int>((FDone - FLastDone) * 1000 / (tick - FLastTick));
            FLastTick = tick;
            FLastDone = FDone;
        }
        FCtx.Sink.Progress({what, FDone, FTotal, FRate});
    }

private:
    TOpsContext& FCtx;
    std::uint64_t FTotal;
    std::uint64_t FDone = 0;
    std::uint64_t FLastTick;
    std::uint64_t FLastDone = 0;
    int FRate = 0;
};

// Reads the ranges into sectors, chunk by chunk, asking between chunks.
// each(address, bytes) sees every chunk read.
template <typename TEach>
bool ReadRanges(TOpsContext& ctx, TImageProgress& progress, std::string_view phase,
                const std::vector<TRange>& ranges, std::uint16_t chunk, TImageResult& result, TEach each)
{
    if (chunk == 0) chunk = LargestChunk;
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        for (std::uint32_t done = 0; done < ranges[r].Size;) {
            const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(chunk, ranges[r].Size - done));
            const std::uint32_t at = ranges[r].Address + done;
            TByteArray data;
            if (!ctx.Remote.ReadFlash(data, at, n) || data.size() != n) {
                ctx.Sink.Line("Reading flash failed");
                result.Outcome = FailureOf(ctx);
                result.Error = Format("reading %u bytes at 0x%6.6X failed", n, at);
                return false;
            }
            each(at, data);
            done += n;
            progress.Add(phase, n);
            const bool last = r + 1 == ranges.size() && done == ranges[r].Size;
            if (!last && !ctx.Sink.KeepGoing()) {
                result.Outcome = TOutcome::Stopped;
                return false;
            }
        }
    }
    return true;
}

// Files a chunk read at address into whole sectors.
void FileChunk(TSectors& sectors, std::uint32_t address, const TByteArray& data)
{
    for (std::size_t i = 0; i < data.size();) {
        const auto at = address + static_cast<std::uint32_t>(i);
        const std::uint32_t offset = at - SectorOf(at);
        const std::size_t n = std::min<std::size_t>(FlashSectorSize - offset, data.size() - i);
        TByteArray& sector = sectors[SectorOf(at)];
        sector.resize(FlashSectorSize);
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i), n, sector.begin() + offset);
        i += n;
    }
}

std::uint64_t ReadBytes(const std::vector<TRange>& ranges)
{
    std::uint64_t bytes = 0;
    for (const TRange& range : ranges) bytes += range.Size;
    return bytes;
}

}  // namespace

// --- Images and sectors --------------------------------------------------------------

std::string CheckImage(const TImage& image)
{
    std::string error;
    Overlay(image, error);
    return error;
}

std::vector<std::uint32_t> TouchedSectors(const TImage& image)
{
    std::vector<std::uint32_t> sectors;
    for (const TImagePiece& piece : image) {
        if (piece.Bytes.empty()) continue;
        const std::uint64_t last = std::min<std::uint64_t>(piece.Address + piece.Bytes.size() - 1, FlashSize - 1);
        for (std::uint64_t s = SectorOf(piece.Address); s <= last; s += FlashSectorSize)
            sectors.push_back(static_cast<std::uint32_t>(s));
    }
    std::sort(sectors.begin(), sectors.end());
    sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
    return sectors;
}

std::vector<std::uint32_t> SampleSectors(const std::vector<std::uint32_t>& touched)
{
    constexpr std::uint32_t MiB = 0x100000;
    std::vector<std::uint32_t> sample;
    std::vector<bool> mibHasOne(FlashSize / MiB, false);
    const auto within = [&](std::uint64_t start, std::uint64_t end) {
        std::vector<std::uint32_t> in;
        for (std::uint32_t sector : touched)
            if (sector < end && sector + FlashSectorSize > start) in.push_back(sector);
        return in;
    };
    const auto taken = [&](std::uint32_t sector) { return std::find(sample.begin(), sample.end(), sector) != sample.end(); };
    const auto take = [&](std::uint32_t sector) {
        sample.push_back(sector);
        mibHasOne[sector / MiB] = true;
    };
    // A sector next to one already taken costs no read request of its own;
    // otherwise the middle one.
    const auto nextToTaken = [&](std::uint32_t sector) {
        return (sector >= FlashSectorSize && taken(sector - FlashSectorSize)) || taken(sector + FlashSectorSize);
    };
    const auto pick = [&](const std::vector<std::uint32_t>& from) {
        const auto next = std::find_if(from.begin(), from.end(), nextToTaken);
        return next != from.end() ? *next : from[from.size() / 2];
    };

    // The regions first, the smallest first: a region that already holds a
    // sample sector (normal_app's serves user_configuration) needs none of
    // its own; otherwise it takes one among its touched sectors in a MiB
    // without a sample yet, so that one sector serves both.
    std::array<const TPart*, FlashParts.size()> parts{};
    for (std::size_t p = 0; p < FlashParts.size(); ++p) parts[p] = &FlashParts[p];
    std::stable_sort(parts.begin(), parts.end(), [](const TPart* a, const TPart* b) { return a->Size < b->Size; });
    for (const TPart* part : parts) {
        const auto start = static_cast<std::uint64_t>(part->Start);
        const std::uint64_t end = start + static_cast<std::uint64_t>(part->Size);
        const std::vector<std::uint32_t> in = within(start, end);
        if (in.empty() || std::any_of(sample.begin(), sample.end(), [&](std::uint32_t s) {
                return s < end && s + FlashSectorSize > start;
            }))
            continue;
        std::vector<std::uint32_t> fresh;
        std::copy_if(in.begin(), in.end(), std::back_inserter(fresh), [&](std::uint32_t s) { return !mibHasOne[s / MiB]; });
        take(pick(fresh.empty() ? in : fresh));
    }
    // Then every MiB still without one; two such MiBs next to each other
    // take the sectors either side of their edge when both are touched: one
    // read request for two.
    const auto isTouched = [&](std::uint32_t sector) { return std::binary_search(touched.begin(), touched.end(), sector); };
    for (std::uint32_t mib = 0; mib < FlashSize / MiB; ++mib) {
        if (mibHasOne[mib]) continue;
        const std::vector<std::uint32_t> in = within(std::uint64_t{mib} * MiB, std::uint64_t{mib + 1} * MiB);
        if (in.empty()) continue;
        const std::uint32_t edge = (mib + 1) * MiB;
        if (mib + 1 < FlashSize / MiB && !mibHasOne[mib + 1] && in.back() == edge - FlashSectorSize && isTouched(edge)
            && std::none_of(in.begin(), in.end(), nextToTaken)) {
            take(edge - FlashSectorSize);
            take(edge);
            continue;
        }
        take(pick(in));
    }
    std::sort(sample.begin(), sample.end());
    return sample;
}

// --- The plan ----------------------------------------------------------------------------

namespace {

// The plan of an image already laid over its sectors.
TFlashPlan PlanSectors(const TOverlay& sectors, const TFlashView& flash)
{
    TFlashPlan plan;
    for (const auto& [address, wanted] : sectors) {
        const auto held = flash.find(address);
        if (held == flash.end()) {
            plan = {};
            plan.Error = Format("what the flash holds in sector 0x%6.6X is not known", address);
            return plan;
        }
        const std::uint8_t* old = held->second;
        TSectorPlan sector;
        sector.Address = address;
        if (wanted.Full()) {
            sector.Final.assign(wanted.Data(), wanted.Data() + FlashSectorSize);
        } else {
            sector.Final.assign(old, old + FlashSectorSize);
            for (std::uint32_t i = 0; i < FlashSectorSize; ++i)
                if (wanted.IsSet(i)) sector.Final[i] = wanted.Data()[i];
        }
        plan.TargetBytes += wanted.Count;

        // Bytes outside the target keep the flash's own value in Final, so
        // only target bytes can make the sector need an erase.
        if (std::equal(sector.Final.begin(), sector.Final.end(), old)) {
            sector.Action = TSectorAction::Unchanged;
            ++plan.Unchanged;
        } else {
            bool programmable = true;
            for (std::uint32_t i = 0; i < FlashSectorSize && programmable; ++i)
                programmable = (sector.Final[i] & old[i]) == sector.Final[i];
            sector.Action = programmable ? TSectorAction::Program : TSectorAction::EraseWrite;
            ++(programmable ? plan.ProgramOnly : plan.EraseWrite);
            std::vector<bool> send(FlashSectorSize, false);
            for (std::uint32_t i = 0; i < FlashSectorSize; ++i)
                send[i] = programmable ? sector.Final[i] != old[i] : sector.Final[i] != 0xFF;
            sector.Writes = Spans(address, send);
        }
        for (const TRange& write : sector.Writes) sector.Sent += write.Size;
        plan.Writes += static_cast<int>(sector.Writes.size());
        plan.BytesSent += sector.Sent;
        plan.BytesSkipped += FlashSectorSize - sector.Sent;
        plan.Sectors.push_back(std::move(sector));
    }
    plan.Seconds = plan.EraseWrite * EraseSeconds + plan.Writes * WriteOverheadSeconds
                   + static_cast<double>(plan.BytesSent) / LinkBytesPerSecond;
    return plan;
}

}  // namespace

TFlashPlan PlanImage(const TImage& target, const TSectors& flash)
{
    TFlashPlan plan;
    const TOverlay sectors = Overlay(target, plan.Error);
    if (!plan.Ok()) return plan;
    TFlashView view;
    for (const auto& [address, bytes] : flash)
        if (bytes.size() == FlashSectorSize) view[address] = bytes.data();
    return PlanSectors(sectors, view);
}

std::vector<std::string> PlanLines(const TFlashPlan& plan)
{
    if (!plan.Ok()) return {"No plan: " + plan.Error};
    const auto tenths = static_cast<ULL>(plan.Seconds * 10 + 0.5);
    std::vector<std::string> lines{
        Format("Plan: %s, %d unchanged, %d program-only, %d erase and write",
               Counted(plan.Sectors.size(), "sector").c_str(), plan.Unchanged, plan.ProgramOnly, plan.EraseWrite),
        Format("Send %s in %s, skip %llu; about %llu.%llu s at %d bytes/s", Counted(plan.BytesSent, "byte").c_str(),
               Counted(static_cast<ULL>(plan.Writes), "write").c_str(), static_cast<ULL>(plan.BytesSkipped),
               tenths / 10, tenths % 10, static_cast<int>(LinkBytesPerSecond))};

    for (std::size_t i = 0; i < plan.Sectors.size();) {
        const TSectorPlan& sector = plan.Sectors[i];
        if (sector.Action == TSectorAction::Unchanged) {
            // A run of adjacent unchanged sectors is one line.
            std::size_t end = i + 1;
            while (end < plan.Sectors.size() && plan.Sectors[end].Action == TSectorAction::Unchanged
                   && plan.Sectors[end].Address == plan.Sectors[end - 1].Address + FlashSectorSize)
                ++end;
            if (end - i == 1)
                lines.push_back(Format("0x%6.6X unchanged", sector.Address));
            else
                lines.push_back(Format("%s unchanged (%zu sectors)",
                                       RangeText({sector.Address, static_cast<std::uint32_t>(end - i) * FlashSectorSize}).c_str(),
                                       end - i));
            i = end;
            continue;
        }
        std::string line = Format("0x%6.6X %s:", sector.Address,
                                  sector.Action == TSectorAction::Program ? "program-only" : "erase and write");
        for (std::size_t w = 0; w < sector.Writes.size(); ++w)
            line += (w ? ", " : " ") + RangeText(sector.Writes[w]) + Format(" (%u)", sector.Writes[w].Size);
        if (sector.Writes.empty()) line += " nothing to send";  // erased to all 0xFF
        lines.push_back(std::move(line));
        ++i;
    }
    return lines;
}

// --- Comparing -------------------------------------------------------------------------------

bool CompareInto(TMismatchReport& report, std::uint32_t address, const TByteArray& expected,
                 const TByteArray& actual, bool ranges)
{
    constexpr std::size_t NoRegion = FlashParts.size();
    std::array<bool, FlashParts.size() + 1> regions{};
    for (const std::string& name : report.Regions) {
        std::size_t index = NoRegion;
        for (std::size_t p = 0; p < FlashParts.size(); ++p)
            if (FlashParts[p].Name == name) index = p;
        regions[index] = true;
    }

    bool any = false;
    for (std::size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
        if (expected[i] == actual[i]) continue;
        const auto at = address + static_cast<std::uint32_t>(i);
        if (report.Bytes == 0) {
            report.First = at;
            report.Expected = expected[i];
            report.Actual = actual[i];
        }
        any = true;
        ++report.Bytes;
        report.OnesReadAsZero += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(expected[i] & ~actual[i])));
        report.ZerosReadAsOne += static_cast<unsigned>(std::popcount(static_cast<std::uint8_t>(~expected[i] & actual[i])));
        bool inPart = false;
        for (std::size_t p = 0; p < FlashParts.size(); ++p) {
            const auto start = static_cast<std::uint32_t>(FlashParts[p].Start);
            if (at >= start && at - start < static_cast<std::uint32_t>(FlashParts[p].Size)) {
                regions[p] = true;
                inPart = true;
            }
        }
        if (!inPart) regions[NoRegion] = true;
        if (ranges) {
            if (!report.Ranges.empty() && report.Ranges.back().Address + report.Ranges.back().Size == at)
                ++report.Ranges.back().Size;
            else
                report.Ranges.push_back({at, 1});
        }
    }
    report.Regions.clear();
    for (std::size_t p = 0; p < FlashParts.size(); ++p)
        if (regions[p]) report.Regions.emplace_back(FlashParts[p].Name);
    if (regions[NoRegion]) report.Regions.emplace_back("none");
    return any;
}

std::vector<std::string> MismatchLines(const TMismatchReport& report)
{
    if (report.Bytes == 0) return {};
    std::vector<std::string> lines{
        Format("Verify failed at 0x%6.6X: expected %2.2X, read %2.2X", report.First, report.Expected, report.Actual),
        Format("%s %s: %s read 0 where 1 was expected, %s read 1 where 0 was expected",
               Counted(report.Bytes, "byte").c_str(), report.Bytes == 1 ? "differs" : "differ",
               Counted(report.OnesReadAsZero, "bit").c_str(), Counted(report.ZerosReadAsOne, "bit").c_str())};
    std::string regions = "Regions: ";
    for (std::size_t i = 0; i < report.Regions.size(); ++i) regions += (i ? ", " : "") + report.Regions[i];
    lines.push_back(regions);
    if (report.NotErased()) lines.emplace_back("not erased? Every difference is a 1 read as 0");
    if (!report.Ranges.empty()) {
        lines.emplace_back("Differing ranges:");
        for (const TRange& range : report.Ranges)
            lines.push_back("  " + RangeText(range) + " (" + Counted(range.Size, "byte") + ")");
    }
    return lines;
}

// --- Running it ----------------------------------------------------------------------------------

TImageResult WriteImage(TOpsContext& ctx, const TImage& target, const TImageOptions& options)
{
    TImageResult result;
    if (ctx.Remote.Busy()) {
        ctx.Sink.Line("Operation in progress");
        result.Outcome = TOutcome::Failed;
        return result;
    }
    // Each image is laid over its sectors once: the check, the base and the
    // plan all use that.
    std::string error;
    const TOverlay wanted = Overlay(target, error);
    TOverlay base;
    if (error.empty() && options.Base) {
        base = Overlay(*options.Base, error);
        if (!error.empty()) error = "base: " + error;
    }
    if (!error.empty()) {
        result.Outcome = TOutcome::BadInput;
        result.Error = error;
        return result;
    }

    // What the flash holds: the base where it covers a touched sector in
    // full, read from the remote elsewhere.
    const std::vector<std::uint32_t> touched = TouchedSectors(target);
    TFlashView flash;
    for (const auto& [address, sector] : base)
        if (sector.Full() && wanted.count(address)) flash[address] = sector.Data();
    std::vector<std::uint32_t> covered;
    for (const auto& entry : flash) covered.push_back(entry.first);
    const std::vector<std::uint32_t> sample = SampleSectors(covered);
    std::vector<std::uint32_t> toRead = sample;
    for (std::uint32_t sector : touched)
        if (!flash.count(sector)) toRead.push_back(sector);
    std::sort(toRead.begin(), toRead.end());
    const std::vector<TRange> readRanges = SectorRanges(toRead);
    const std::uint64_t readBytes = ReadBytes(readRanges);

    // Until the plan is made, the total assumes every touched sector is
    // erased, written and read back.
    const std::uint64_t touchedBytes = touched.size() * std::uint64_t{FlashSectorSize};
    TImageProgress progress(ctx, readBytes + touched.size() * EraseProgressBytes
                                     + (options.Verify == TImageVerify::None ? 1 : 2) * touchedBytes);
    if (!ReadRanges(ctx, progress, "read", readRanges, options.ReadChunk, result,
                    [&](std::uint32_t at, const TByteArray& data) { FileChunk(result.Before, at, data); }))
        return result;

    for (std::uint32_t sector : sample) {
        const std::uint8_t* believed = flash.at(sector);
        const std::uint8_t* held = result.Before.at(sector).data();
        const auto differ = std::mismatch(believed, believed + FlashSectorSize, held);
        if (differ.first != believed + FlashSectorSize) {
            result.BaseDiffers = sector + static_cast<std::uint32_t>(differ.first - believed);
            result.Outcome = TOutcome::Failed;
            result.Error = Format("the flash does not hold %s at 0x%6.6X", options.BaseName.c_str(), *result.BaseDiffers);
            ctx.Sink.Line(result.Error);
            return result;
        }
    }
    for (const auto& [address, bytes] : result.Before) flash[address] = bytes.data();

    result.Plan = PlanSectors(wanted, flash);
    const std::vector<std::string> planLines = PlanLines(result.Plan);
    ctx.Sink.Lines({planLines[0], planLines[1]});
    if (options.DryRun) return result;
    if (options.BeforeChange && result.Plan.ProgramOnly + result.Plan.EraseWrite > 0) {
        if (std::string refusal = options.BeforeChange(result); !refusal.empty()) {
            result.Outcome = TOutcome::Failed;
            result.Error = std::move(refusal);
            return result;
        }
    }

    // What is read back: an erased sector in full (the erase changed every
    // byte of it); of a program-only sector the ranges written, every byte
    // the write could change, when the rest was read before the write, and
    // the whole sector when the rest is only what the base says.
    std::vector<TRange> toVerify;
    for (const TSectorPlan& sector : result.Plan.Sectors) {
        if (options.Verify == TImageVerify::None) break;
        if (options.Verify == TImageVerify::Written && sector.Action == TSectorAction::Unchanged) continue;
        if (options.Verify == TImageVerify::Written && sector.Action == TSectorAction::Program
            && result.Before.count(sector.Address))
            toVerify.insert(toVerify.end(), sector.Writes.begin(), sector.Writes.end());
        else
            toVerify.push_back({sector.Address, FlashSectorSize});
    }
    const std::vector<TRange> verifyRanges = JoinForRead(toVerify);
    progress.Revise(readBytes + static_cast<std::uint64_t>(result.Plan.EraseWrite) * EraseProgressBytes
                    + result.Plan.BytesSent + ReadBytes(verifyRanges));

    // The plan, sector by sector: a stop only between sectors that had work.
    const auto& sectors = result.Plan.Sectors;
    std::size_t lastWork = sectors.size();
    for (std::size_t i = 0; i < sectors.size(); ++i)
        if (sectors[i].Action != TSectorAction::Unchanged) lastWork = i;
    for (std::size_t i = 0; i < sectors.size(); ++i) {
        const TSectorPlan& sector = sectors[i];
        if (sector.Action == TSectorAction::Unchanged) {
            ++result.SectorsDone;
            continue;
        }
        if (sector.Action == TSectorAction::EraseWrite) {
            if (!ctx.Remote.EraseFlashSector(sector.Address)) {
                // The erase may have happened before its acknowledgement was lost.
                ctx.Sink.Line("Erase flash sector failed");
                result.HalfWritten = sector.Address;
                result.Error = Format("erasing sector 0x%6.6X failed: it may be erased", sector.Address);
                result.Outcome = FailureOf(ctx);
                return result;
            }
            progress.Add("erase", EraseProgressBytes);
        }
        for (const TRange& write : sector.Writes) {
            const auto from = sector.Final.begin() + (write.Address - sector.Address);
            const TByteArray bytes(from, from + write.Size);
            // Abort set while the write runs ends its data early, yet the
            // closing exchange may still succeed: the sector is then short
            // of its bytes all the same.
            ctx.Remote.Abort = false;
            const bool written = ctx.Remote.WriteFlash(bytes, write.Address, static_cast<std::uint16_t>(write.Size));
            if (!written || ctx.Remote.Abort) {
                ctx.Remote.Abort = false;
                ctx.Sink.Line("Write flash failed");
                result.HalfWritten = sector.Address;
                result.Error = Format("writing %u bytes at 0x%6.6X failed: sector 0x%6.6X is %s", write.Size,
                                      write.Address, sector.Address,
                                      sector.Action == TSectorAction::EraseWrite ? "erased but not written"
                                                                                 : "partly programmed");
                result.Outcome = FailureOf(ctx);
                return result;
            }
            progress.Add("write", write.Size);
        }
        ++result.SectorsDone;
        if (i < lastWork && !ctx.Sink.KeepGoing()) {
            result.Outcome = TOutcome::Stopped;
            ctx.Sink.Line(Format("Stopped after sector 0x%6.6X, %d of %zu sectors done", sector.Address,
                                 result.SectorsDone, sectors.size()));
            return result;
        }
    }
    ctx.Sink.Line(Format("Image written: %s erased and written, %d programmed, %d unchanged",
                         Counted(static_cast<ULL>(result.Plan.EraseWrite), "sector").c_str(), result.Plan.ProgramOnly,
                         result.Plan.Unchanged));

    TMismatchReport report;
    const bool read = ReadRanges(ctx, progress, "verify", verifyRanges, options.ReadChunk, result,
                                 [&](std::uint32_t at, const TByteArray& data) {
                                     // A chunk may cover parts of several planned sectors.
                                     for (std::size_t k = 0; k < data.size();) {
                                         const auto address = at + static_cast<std::uint32_t>(k);
                                         const std::uint32_t offset = address - SectorOf(address);
                                         const std::size_t n = std::min<std::size_t>(FlashSectorSize - offset, data.size() - k);
                                         const auto planned = std::lower_bound(
                                             sectors.begin(), sectors.end(), SectorOf(address),
                                             [](const TSectorPlan& s, std::uint32_t a) { return s.Address < a; });
                                         const TByteArray expected(planned->Final.begin() + offset,
                                                                   planned->Final.begin() + static_cast<std::ptrdiff_t>(offset + n));
                                         const TByteArray actual(data.begin() + static_cast<std::ptrdiff_t>(k),
                                                                 data.begin() + static_cast<std::ptrdiff_t>(k + n));
                                         CompareInto(report, address, expected, actual, options.ListRanges);
                                         k += n;
                                     }
                                     result.Verified += data.size();
                                 });
    result.Verified -= report.Bytes;
    if (report.Bytes > 0) {
        ctx.Sink.Lines(MismatchLines(report));
        result.Mismatch = std::move(report);
        if (read) result.Outcome = TOutcome::VerifyMismatch;
        return result;
    }
    if (!read) return result;
    if (!verifyRanges.empty()) ctx.Sink.Line(Format("Verified %llu bytes", static_cast<ULL>(result.Verified)));
    return result;
}

}  // namespace ops
