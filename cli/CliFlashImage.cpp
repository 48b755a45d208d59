// corvane-cli: flash writes through the image engine (plan, erase what must
// be erased, write what differs, verify), the recovery files kept before the
// first change, the battery check, erasing a range, and the dump manifests.

#include "CliCommands.h"

#include "../ops/Sha256.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace cli {

namespace {

// The sink of an image run: the operation's lines as usual, except the base
// refusal (the program says it once, as its error) and the mismatch report,
// which goes to standard error.
class TImageSink : public ops::IOpsSink {
public:
    explicit TImageSink(TCliSink& sink) : FSink(sink) {}

    std::vector<std::string> Report;  // the mismatch report's lines

    void Line(const std::string& line) override
    {
        if (line.rfind("the flash does not hold ", 0) == 0)
            return;
        FSink.Line(line);
    }
    void Lines(const std::vector<std::string>& lines) override
    {
        // After the verify has begun, the only block the engine says is the report.
        if (FVerifying)
            Report.insert(Report.end(), lines.begin(), lines.end());
        else
            FSink.Lines(lines);
    }
    void Progress(const ops::TProgress& progress) override
    {
        if (progress.What == "verify")
            FVerifying = true;
        FSink.Progress(progress);
    }
    bool KeepGoing() override { return FSink.KeepGoing(); }

private:
    TCliSink& FSink;
    bool FVerifying = false;
};

// The bytes an image holds for a whole sector; false when it does not cover
// every byte of it.
bool SectorOfImage(const ops::TImage& image, std::uint32_t sector, TByteArray& bytes)
{
    bytes.assign(ops::FlashSectorSize, 0xFF);
    std::vector<bool> set(ops::FlashSectorSize, false);
    for (const ops::TImagePiece& piece : image) {
        const std::uint64_t end = piece.Address + std::uint64_t{piece.Bytes.size()};
        const std::uint32_t from = std::max(piece.Address, sector);
        const auto to = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, sector + ops::FlashSectorSize));
        for (std::uint32_t at = from; at < to; ++at) {
            bytes[at - sector] = piece.Bytes[at - piece.Address];
            set[at - sector] = true;
        }
    }
    return std::all_of(set.begin(), set.end(), [](bool b) { return b; });
}

// Whether a file, or the partial file of one being written, has the name.
bool Taken(const std::string& path)
{
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found ||
           std::filesystem::symlink_status(path + ".partial", error).type() != std::filesystem::file_type::not_found;
}

std::string Hex6(std::uint32_t address)
{
    char text[8];
    std::snprintf(text, sizeof text, "%06X", address);
    return text;
}

}  // namespace

const TPart* TCli::RegionGiven()
{
    const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                   [&](const TPart& p) { return p.Name == FInv.Region; });
    if (part != FlashParts.end())
        return &*part;
    std::string all;
    for (const TPart& p : FlashParts)
        all += (all.empty() ? "" : ", ") + std::string(p.Name);
    Fail(TExitCode::Usage, "unknown region '" + FInv.Region + "' (the regions: " + all + ")");
    return nullptr;
}

TExitCode TCli::CheckBattery()
{
    if ((FInv.Given & OptForce) || FRemote->Architecture() != 12)
        return TExitCode::Success;
    TCliSink quiet(FErr, FProgress, nullptr);
    quiet.Quiet = true;
    ops::TOpsContext ctx = Context(quiet, FNoFiles);
    const ops::TBatteryResult battery = ops::ReadBattery(ctx);
    if (!battery.Ok())
        return Fail(RemoteGone() ? TExitCode::NoRemote : TExitCode::Failed,
                    "the battery could not be read before the flash is changed; nothing was changed "
                    "(--force goes on without it)");
    if (battery.Millivolts >= MinWriteMillivolts)
        return TExitCode::Success;
    char volts[32];
    std::snprintf(volts, sizeof volts, "%u.%03u V (%d%%)", battery.Millivolts / 1000u, battery.Millivolts % 1000u,
                  battery.Percent);
    return Fail(TExitCode::Failed, std::string("battery ") + volts + ": charge the remote, or use --force");
}

TExitCode TCli::RunImage(const ops::TImage& target, std::optional<ops::TImage> base,
                         const std::string& baseName, ops::TImageResult& result,
                         const std::function<void()>& unfinished)
{
    const bool dryRun = FInv.Given & OptDryRun;
    // The recovery files go where dumps go; the folder is checked before the
    // remote is used.
    ops::TStagedFiles recovery(FInv.Directory, ops::TStagedFiles::TReplace::Never);
    if (!dryRun) {
        try {
            recovery.CheckFolder();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    if (!dryRun)
        if (const TExitCode code = CheckBattery(); code != TExitCode::Success)
            return code;

    std::vector<std::string> kept;  // the recovery files, "PATH (FROM-TO)"
    bool recoveryFailed = false;    // they could not be written: nothing was changed
    ops::TImageOptions options;
    if (base) {
        options.Base = std::move(base);  // a whole flash's dump is 16 MiB: not copied
        options.BaseName = baseName;
    }
    options.Verify = (FInv.Given & OptVerifyAll) ? ops::TImageVerify::Target
                     : (FInv.Given & OptNoVerify) ? ops::TImageVerify::None
                                                  : ops::TImageVerify::Written;
    options.ListRanges = FInv.Given & OptDiff;
    options.DryRun = dryRun;
    options.ReadChunk = FHost.Chunk;
    options.BeforeChange = [&](const ops::TImageResult& sofar) -> std::string {
        // Every sector that is about to change, as it is now, in runs of
        // adjacent sectors: one file per run, named by its first address.
        std::vector<std::pair<std::uint32_t, TByteArray>> runs;
        for (const ops::TSectorPlan& sector : sofar.Plan.Sectors) {
            if (sector.Action == ops::TSectorAction::Unchanged)
                continue;
            TByteArray held;
            if (const auto read = sofar.Before.find(sector.Address); read != sofar.Before.end())
                held = read->second;
            else if (!options.Base || !SectorOfImage(*options.Base, sector.Address, held))
                return "no copy of sector " + HexAddress(sector.Address) + " to keep; nothing was changed";
            if (!runs.empty() && runs.back().first + runs.back().second.size() == sector.Address)
                runs.back().second.insert(runs.back().second.end(), held.begin(), held.end());
            else
                runs.emplace_back(sector.Address, std::move(held));
        }
        try {
            const ops::TLocalTime now = FClock.Now();
            std::vector<std::string> names;
            for (const auto& [address, bytes] : runs) {
                // Two runs in one second (a write, then a restore of the
                // same sector) keep the same sectors: the later files get a
                // number rather than stop the run.
                std::string name = ops::DumpFileName(now, "before_" + Hex6(address));
                for (int n = 2; n < 100 && Taken(recovery.FinalPath(name)); ++n)
                    name = ops::DumpFileName(now, "before_" + Hex6(address) + "_" + std::to_string(n));
                names.push_back(name);
                std::unique_ptr<ops::IOutFile> file = recovery.Create(names.back());
                file->Write(bytes.data(), bytes.size());
                file->Close();
            }
            recovery.Commit();
            for (std::size_t i = 0; i < runs.size(); ++i) {
                const std::uint32_t last = runs[i].first + static_cast<std::uint32_t>(runs[i].second.size()) - 1;
                kept.push_back(recovery.FinalPath(names[i]) + " (" + HexAddress(runs[i].first) + "-" +
                               HexAddress(last) + ")");
                FSink.Line("What the flash held at " + HexAddress(runs[i].first) + "-" + HexAddress(last) +
                           " is kept in " + recovery.FinalPath(names[i]));
            }
        } catch (const ops::EFileError& e) {
            recoveryFailed = true;
            return std::string(e.what()) + "; nothing was changed";
        }
        return {};
    };

    TImageSink sink(FSink);
    FSink.Phased = true;
    ops::TOpsContext ctx = Context(sink, FNoFiles);
    result = ops::WriteImage(ctx, target, options);
    FSink.Phased = false;

    // Under --json: the plan's counts and the recovery files.
    if (!result.Plan.Sectors.empty()) {
        std::vector<std::string> files;
        for (const std::string& file : kept)
            files.push_back(JsonString(file.substr(0, file.rfind(" ("))));
        FJsonFields.Number("sectors_unchanged", result.Plan.Unchanged)
            .Number("sectors_program_only", result.Plan.ProgramOnly)
            .Number("sectors_erase_write", result.Plan.EraseWrite)
            .Number("bytes_sent", static_cast<std::int64_t>(result.Plan.BytesSent))
            .Number("bytes_skipped", static_cast<std::int64_t>(result.Plan.BytesSkipped))
            .Raw("recovery_files", JsonArray(files));
    }
    auto keptText = [&] {
        std::string text;
        for (const std::string& file : kept)
            text += (text.empty() ? "" : ", ") + file;
        return text.empty() ? std::string() : "; what the flash held is in " + text;
    };
    if (dryRun && result.Ok()) {
        const std::vector<std::string> lines = ops::PlanLines(result.Plan);
        if (lines.size() > 2)
            FSink.Lines(std::vector<std::string>(lines.begin() + 2, lines.end()));
        return TExitCode::Success;
    }
    if (result.BaseDiffers)
        return Fail(TExitCode::Mismatch, result.Error + "; nothing was changed");
    if (recoveryFailed)
        return Fail(TExitCode::FileError, result.Error);
    if (!sink.Report.empty()) {
        FProgress.End();
        for (const std::string& line : sink.Report)
            FErr << Program << ": " << line << '\n';
        if (FError.empty())
            FError = sink.Report.front();
    }
    if (result.Outcome == ops::TOutcome::Stopped) {
        if (unfinished)
            unfinished();
        return Stopped(std::to_string(result.SectorsDone) + " of " + std::to_string(result.Plan.Sectors.size()) +
                       " sectors done, each holds its old or its new content" + keptText());
    }
    if (!result.Ok() && result.Outcome != ops::TOutcome::VerifyMismatch) {
        if (unfinished && !result.Plan.Sectors.empty())
            unfinished();
        if (RemoteGone())
            result.Outcome = ops::TOutcome::NoDevice;
        if (result.Error.empty())
            result.Error = sink.Report.empty() ? FSink.LastLine : sink.Report.front();
        result.Error += keptText();
        if (result.Outcome == ops::TOutcome::NoDevice) {
            Fail(TExitCode::NoRemote, "the remote is gone: " + result.Error);
            result.Error.clear();
        }
    }
    return Finish(result);
}

TExitCode TCli::EraseRange(const std::vector<std::string>& args)
{
    if (args.size() != 2)
        return Fail(TExitCode::Usage, "usage: corvane-cli flash erase --range ADDR SIZE");
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::string error;
    if (!ParseFlashAddress(args[0], address, error) || !ParseFlashSize(args[1], address, size, error))
        return Fail(TExitCode::Usage, error);
    // A sector is erased whole: a range that does not start and end on a
    // sector's edge would take bytes outside it.
    if (address % FlashSectorBytes != 0 || size % FlashSectorBytes != 0)
        return Fail(TExitCode::Usage, "the range " + HexAddress(address) + "-" + HexAddress(address + size - 1) +
                                          " is not sector-aligned: erasing it would take bytes outside it "
                                          "(sectors are 0x1000 bytes, from multiples of 0x1000)");
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    if (const TExitCode code = CheckBattery(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    for (std::uint32_t at = address; at < address + size; at += FlashSectorBytes) {
        if (at > address && FSink.Interrupted())
            return Stopped("erased " + HexAddress(address) + "-" + HexAddress(at - 1) + ", not " + HexAddress(at) +
                           "-" + HexAddress(address + size - 1));
        FSink.Progress({"erase", at - address, size, 0});
        const ops::TResult result = ops::EraseSector(ctx, at);
        if (!result.Ok()) {
            if (at > address)
                Fail(TExitCode::Failed, "erased " + HexAddress(address) + "-" + HexAddress(at - 1) + ", not " +
                                            HexAddress(at) + "-" + HexAddress(address + size - 1));
            return Finish(result);
        }
    }
    FSink.Line("erased " + HexAddress(address) + "-" + HexAddress(address + size - 1));
    return TExitCode::Success;
}

// --- Manifests ---------------------------------------------------------------------------------

TExitCode TCli::WriteManifest(ops::TStagedFiles& files, const std::vector<std::string>& names,
                              const std::string& stamp, const TByteArray& version)
{
    std::string versionHex;
    for (const std::uint8_t byte : version) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", byte);
        versionHex += (versionHex.empty() ? "" : " ") + std::string(text);
    }
    // One file a line, so that a reader needs no JSON library.
    std::string text = "{\n  \"version\": " + JsonString(versionHex) + ",\n  \"time\": " +
                       JsonString(stamp) + ",\n  \"files\": [\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        std::string region = name.substr(16, name.size() - 20);  // "STAMP_<region>.bin"
        std::uint32_t start = 0;
        const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                       [&](const TPart& p) { return p.Name == region; });
        if (part != FlashParts.end())
            start = static_cast<std::uint32_t>(part->Start);
        else
            region = "flash";
        TByteArray bytes;
        std::string error;
        if (ReadInputFile(files.FinalPath(name), FlashBytes, bytes, error) != TExitCode::Success)
            return Fail(TExitCode::FileError, error);
        text += "    {\"name\": " + JsonString(name) + ", \"region\": " + JsonString(region) +
                ", \"start\": " + std::to_string(start) + ", \"size\": " + std::to_string(bytes.size()) +
                ", \"sha256\": " + JsonString(ops::Sha256Hex(bytes.data(), bytes.size())) + "}" +
                (i + 1 < names.size() ? "," : "") + "\n";
    }
    text += "  ]\n}\n";
    const std::string manifest = stamp + "_manifest.json";
    try {
        std::unique_ptr<ops::IOutFile> file = files.Create(manifest);
        file->Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        file->Close();
        files.Commit();
    } catch (const ops::EFileError& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    FSink.Line("Manifest: " + files.FinalPath(manifest));
    return TExitCode::Success;
}

}  // namespace cli
