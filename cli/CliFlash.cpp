// corvane-cli: the Flash page (read, dump, erase, write, verify, restore).

#include "CliCommands.h"

#include "../ops/FlashParts.h"
#include "../ops/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <set>
#include <map>

namespace cli {

TFilePlace SplitPath(const std::string& path)
{
    const std::filesystem::path p(path);
    return {p.parent_path().string(), p.filename().string()};
}

TExitCode ReadInputFile(const std::string& path, std::uint64_t limit, TByteArray& data, std::string& error)
{
    auto failed = [&](int code) {
        error = "cannot read \"" + path + "\": " + std::strerror(code);
        return TExitCode::FileError;
    };
    std::error_code fsError;
    // Opening a folder succeeds on POSIX and only its read fails; say so plainly.
    if (std::filesystem::is_directory(path, fsError))
        return failed(EISDIR);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return failed(errno);
    // An endless input (/dev/zero, a pipe that never ends) is read only up to
    // one byte past what may be written, never into all of memory.
    TByteArray bytes;
    std::uint8_t buffer[65536];
    int readError = 0;
    while (bytes.size() <= limit) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, limit + 1 - bytes.size()));
        const std::size_t got = std::fread(buffer, 1, want, file);
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (got < want) {
            if (std::ferror(file))
                readError = errno ? errno : EIO;
            break;
        }
    }
    std::fclose(file);
    if (readError)
        return failed(readError);
    if (bytes.size() > limit) {
        error = "\"" + path + "\" holds more than " + std::to_string(limit) + " bytes";
        return TExitCode::Usage;
    }
    data = std::move(bytes);
    return TExitCode::Success;
}

std::string TCli::KeptText(const ops::TStagedFiles& files, std::string_view what, bool plural)
{
    const std::vector<std::string> kept = files.Kept();
    if (kept.empty())
        return "nothing was kept";
    std::string text = std::string(what) + (plural ? " are in " : " is in ");
    for (std::size_t i = 0; i < kept.size(); ++i)
        text += (i == 0 ? "" : ", ") + kept[i];
    return text;
}

namespace {

// The parts dumps in a folder: file per region, by time stamp.
using TPartsSet = std::map<std::string_view, std::string>;

std::map<std::string, TPartsSet> PartsDumps(const std::string& dir)
{
    std::map<std::string, TPartsSet> sets;  // the stamps sort as the times they stand for
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        // "YYYYMMDDTHHMMSS_<region>.bin"; a stopped dump's "….bin.partial" is no part of a set
        if (name.size() < 21 || name[8] != 'T' || name[15] != '_' || !name.ends_with(".bin"))
            continue;
        const std::string_view region = std::string_view(name).substr(16, name.size() - 20);
        const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                       [&](const TPart& p) { return p.Name == region; });
        if (part == FlashParts.end() || !entry.is_regular_file())
            continue;
        sets[name.substr(0, 15)][part->Name] = entry.path().string();
    }
    return sets;
}

// A file of a dump's manifest, as WriteManifest writes it: one a line.
struct TManifestEntry {
    std::uint64_t Size = 0;
    std::string Sha256;
};

std::map<std::string, TManifestEntry> ParseManifest(const std::string& text)
{
    std::map<std::string, TManifestEntry> entries;
    auto field = [](const std::string& line, const std::string& name, bool quoted) {
        const std::string key = "\"" + name + "\": " + (quoted ? "\"" : "");
        const std::size_t at = line.find(key);
        if (at == std::string::npos)
            return std::string();
        const std::size_t from = at + key.size();
        const std::size_t to = quoted ? line.find('"', from) : line.find_first_not_of("0123456789", from);
        return line.substr(from, to == std::string::npos ? std::string::npos : to - from);
    };
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::string name = field(line, "name", true);
        const std::string size = field(line, "size", false);
        if (name.empty() || size.empty())
            continue;
        entries[name] = {std::stoull(size), field(line, "sha256", true)};
    }
    return entries;
}

std::string Names(const std::vector<std::string_view>& names)
{
    std::string text;
    for (const std::string_view name : names)
        text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

}  // namespace

TExitCode TCli::FlashRead(const std::vector<std::string>& args)
{
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::string error;
    if (FInv.Given & OptRegion) {
        if (!args.empty())
            return Fail(TExitCode::Usage, "--region NAME takes the place of ADDR SIZE");
        const TPart* part = RegionGiven();
        if (!part)
            return TExitCode::Usage;
        address = static_cast<std::uint32_t>(part->Start);
        size = static_cast<std::uint32_t>(part->Size);
    } else if (args.size() != 2) {
        return Fail(TExitCode::Usage, "usage: corvane-cli flash read ADDR SIZE [-o FILE]");
    } else if (!ParseFlashAddress(args[0], address, error) || !ParseFlashSize(args[1], address, size, error)) {
        return Fail(TExitCode::Usage, error);
    }
    // The raw bytes go to FILE.partial, made before anything is read, so that
    // a file that cannot be written costs no transfer; FILE itself is
    // replaced only once every byte has come.
    const bool toFile = FInv.Given & OptOutput;
    const TFilePlace place = SplitPath(FInv.Output);
    ops::TStagedFiles files(place.Dir, ops::TStagedFiles::TReplace::Always);
    if (toFile) {
        try {
            files.Reserve(place.Name);
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context(files);
    ops::TFlashReadResult result = ops::ReadFlash(ctx, address, size, FHost.Chunk, !toFile);
    // One chunk that comes back short is the window's plain read; here fewer
    // bytes than asked is a failure in every form.
    if (result.Ok() && result.Data.size() < size) {
        result.Outcome = ops::TOutcome::Failed;
        result.Error = "the remote sent " + std::to_string(result.Data.size()) + " of " + std::to_string(size) +
                       " bytes";
    }
    if (!result.Ok() && result.Outcome != ops::TOutcome::Stopped && RemoteGone())
        result.Outcome = ops::TOutcome::NoDevice;
    if (toFile) {
        // What was read is kept, also when the read stopped or failed.
        try {
            std::unique_ptr<ops::IOutFile> file = files.Create(place.Name);
            file->Write(result.Data.data(), result.Data.size());
            file->Close();
            if (result.Ok())
                files.Commit();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(toFile ? "the " + std::to_string(result.Data.size()) + " bytes read are in " +
                                    files.PartialPath(place.Name)
                              : "read " + std::to_string(result.Data.size()) + " bytes");
    if (!result.Ok() && toFile)
        result.Error += (result.Error.empty() ? "" : "; ") + KeptText(files);
    if (result.Outcome == ops::TOutcome::NoDevice && !result.Error.empty()) {
        Fail(TExitCode::NoRemote, "the remote is gone: " + result.Error);
        result.Error.clear();
    }
    return Finish(result);
}

TExitCode TCli::FlashDump(const std::vector<std::string>&)
{
    const TPart* region = nullptr;
    if (FInv.Given & OptRegion) {
        if (FInv.Parts)
            return Fail(TExitCode::Usage, "--region and --parts do not go together");
        if (!(region = RegionGiven()))
            return TExitCode::Usage;
    }
    // A dump never replaces a file, and its files get their names only once
    // the whole dump is in: a stopped or failed one leaves "….partial" files.
    ops::TStagedFiles files(FInv.Directory, ops::TStagedFiles::TReplace::Never);
    try {
        files.CheckFolder();
    } catch (const ops::EFileError& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    // The version reply goes into the manifest: which remote the dump is of.
    TCliSink quiet(FErr, FProgress, nullptr);
    quiet.Quiet = true;
    ops::TOpsContext versionCtx = Context(quiet, FNoFiles);
    const ops::TVersionResult version = ops::ReadVersion(versionCtx);
    if (!version.Ok())
        return Fail(RemoteGone() ? TExitCode::NoRemote : TExitCode::Failed,
                    "the version could not be read for the manifest; nothing was dumped");
    ops::TOpsContext ctx = Context(files);
    ops::TDumpResult result;
    if (region) {
        // One region into the dated file of that region, as a parts dump names it.
        const std::string name = ops::DumpFileName(FClock.Now(), region->Name);
        const auto start = static_cast<std::uint32_t>(region->Start);
        const auto size = static_cast<std::uint32_t>(region->Size);
        FSink.Line("Reading " + std::string(region->Name) + " (" + HexAddress(start) + "-" +
                   HexAddress(start + size - 1) + "), writing data to " + name);
        ops::TFlashReadResult read = ops::ReadFlash(ctx, start, size, FHost.Chunk, false);
        if (read.Ok() && read.Data.size() < size) {
            read.Outcome = ops::TOutcome::Failed;
            read.Error = "the remote sent " + std::to_string(read.Data.size()) + " of " + std::to_string(size) +
                         " bytes";
        }
        static_cast<ops::TResult&>(result) = read;
        result.Bytes = read.Data.size();
        try {
            std::unique_ptr<ops::IOutFile> file = files.Create(name);
            file->Write(read.Data.data(), read.Data.size());
            file->Close();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
        result.Files.push_back(name);
        if (result.Ok())
            FSink.Line("Reading done");
    } else {
        result = FInv.Parts ? ops::DumpFlashParts(ctx, FHost.Chunk, FInv.Verify)
                             : ops::DumpWholeFlash(ctx, FHost.Chunk, FInv.Verify);
    }
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(KeptText(files, "the " + std::to_string(result.Bytes) + " bytes read", true));
    // The whole dump ends, as in the window, where the remote stops
    // answering; a backup that ends short of the flash is no success for a
    // script, whatever the window's log says.
    if (!FInv.Parts && !region && result.Ok() && result.Bytes < FlashBytes)
        return Fail(RemoteGone() ? TExitCode::NoRemote : TExitCode::Failed,
                    "the remote stopped answering at " + HexAddress(static_cast<std::uint32_t>(result.Bytes)) +
                        ": " + std::to_string(result.Bytes) + " of " + std::to_string(FlashBytes) + " bytes; " +
                        KeptText(files));
    if (result.Ok()) {
        try {
            files.Commit();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
        if (const TExitCode code = WriteManifest(files, result.Files, result.Files.front().substr(0, 15),
                                                 version.Reply);
            code != TExitCode::Success)
            return code;
        std::vector<std::string> written;
        for (const std::string& name : result.Files)
            written.push_back(JsonString(files.FinalPath(name)));
        return Finish(result, TJsonObject().Raw("files", JsonArray(written)).Number("bytes", static_cast<std::int64_t>(result.Bytes)));
    }
    if (result.Outcome != ops::TOutcome::FileError) {
        if (RemoteGone())
            result.Outcome = ops::TOutcome::NoDevice;
        // A verified dump's error names where the reads differed.
        result.Error = (result.Error.empty() ? "" : result.Error + "; ") + "the dump failed after " +
                       std::to_string(result.Bytes) + " bytes; " + KeptText(files);
    }
    return Finish(result);
}

TExitCode TCli::FlashErase(const std::vector<std::string>& args)
{
    if (FInv.Given & OptRange)
        return EraseRange(args);
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
    if (const TExitCode code = CheckBattery(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0 && FSink.Interrupted())
            return Stopped("the sectors above are erased");
        const ops::TResult result = ops::EraseSector(ctx, addresses[i]);
        if (!result.Ok())
            return Finish(result);
        // The window's line names the address as typed; this one the bytes
        // that are now erased.
        const std::uint32_t first = addresses[i] / FlashSectorBytes * FlashSectorBytes;
        FSink.Line("erased " + HexAddress(first) + "-" + HexAddress(first + FlashSectorBytes - 1));
    }
    return TExitCode::Success;
}

TExitCode TCli::WriteOrVerify(const std::vector<std::string>& args, bool write)
{
    std::uint32_t address = 0;
    std::string error;
    const TPart* part = nullptr;
    const std::string synopsis = std::string("usage: corvane-cli flash ") + (write ? "write" : "verify") +
                                 " ADDR FILE, or --region NAME FILE";
    if (FInv.Given & OptRegion) {
        if (args.size() != 1)
            return Fail(TExitCode::Usage, synopsis);
        if (!(part = RegionGiven()))
            return TExitCode::Usage;
        address = static_cast<std::uint32_t>(part->Start);
    } else if (args.size() != 2) {
        return Fail(TExitCode::Usage, synopsis);
    } else if (!ParseFlashAddress(args[0], address, error)) {
        return Fail(TExitCode::Usage, error);
    }
    const std::string& path = args.back();
    const bool raw = FInv.Given & OptRaw;
    if (raw && (FInv.Given & (OptDryRun | OptVerifyAll | OptNoVerify | OptBase)))
        return Fail(TExitCode::Usage, "--raw writes the bytes as they are: it takes no --dry-run, --base, "
                                      "--verify-all or --no-verify (--verify reads them back)");
    if (raw && (FInv.Given & OptDiff) && !FInv.Verify)
        return Fail(TExitCode::Usage, "--diff lists the ranges that read back differently: with --raw it needs --verify");
    if ((FInv.Given & OptVerifyAll) && (FInv.Given & OptNoVerify))
        return Fail(TExitCode::Usage, "--verify-all and --no-verify do not go together");
    // Nothing is sent for a file that does not fit below the end of the
    // flash, or, for a region, that is not exactly the region's size: a
    // write never writes a byte the user did not give.
    TByteArray data;
    const std::uint32_t room = part ? static_cast<std::uint32_t>(part->Size) : FlashBytes - address;
    if (const TExitCode code = ReadInputFile(path, room, data, error); code != TExitCode::Success) {
        if (code != TExitCode::Usage)
            return Fail(code, error);
        return Fail(code, part ? error + ", but the " + std::string(part->Name) + " region has " +
                                     std::to_string(room)
                               : error + ", but from " + HexAddress(address) + " only " + std::to_string(room) +
                                     " fit below the end of the 16 MiB flash");
    }
    if (part && data.size() != room)
        return Fail(TExitCode::Usage, "\"" + path + "\" has " + std::to_string(data.size()) + " bytes, but the " +
                                          std::string(part->Name) + " region has " + std::to_string(room) +
                                          ": nothing was written");
    if (data.empty())
        return Fail(TExitCode::Usage, "\"" + path + "\" is empty");

    if (write && !raw) {
        // The base: the whole flash, or with --region that region's file.
        std::optional<ops::TImage> base;
        if (FInv.Given & OptBase) {
            TByteArray bytes;
            const std::uint32_t whole = part ? room : FlashBytes;
            const TExitCode code = ReadInputFile(FInv.Base, whole, bytes, error);
            if (code == TExitCode::FileError)
                return Fail(code, error);
            if (code != TExitCode::Success || bytes.size() != whole)
                return Fail(TExitCode::Usage,
                            "the base \"" + FInv.Base + "\" must hold " +
                                (part ? "the " + std::string(part->Name) + " region, " + std::to_string(whole) + " bytes"
                                      : std::string("the whole 16 MiB flash, 16777216 bytes")) +
                                ", not " +
                                (code == TExitCode::Success ? std::to_string(bytes.size()) : "more"));
            base = ops::TImage{{part ? address : 0, std::move(bytes)}};
        }
        ops::TImageResult result;
        return RunImage({{address, std::move(data)}}, std::move(base), FInv.Base, result);
    }

    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    if (write)
        if (const TExitCode code = CheckBattery(); code != TExitCode::Success)
            return code;
    ops::TOpsContext ctx = Context();
    const bool diff = FInv.Given & OptDiff;
    const ops::TWriteResult result = write ? ops::WriteFlashData(ctx, address, data, FInv.Verify, FHost.Chunk, diff)
                                           : ops::VerifyFlashData(ctx, address, data, FHost.Chunk, diff);
    if (result.Mismatch) {
        Fail(TExitCode::Mismatch, MismatchText(*result.Mismatch));
        for (const std::string& line : result.Report)
            FErr << Program << ": " << line << '\n';
    }
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(!write ? std::to_string(result.Verified) + " bytes verified"
                       : result.Written == data.size()
                           ? "all " + std::to_string(result.Written) + " bytes written, not read back"
                           : std::to_string(result.Written) + " bytes written from " + HexAddress(address));
    return Finish(result);
}

TExitCode TCli::FlashWrite(const std::vector<std::string>& args) { return WriteOrVerify(args, true); }
TExitCode TCli::FlashVerify(const std::vector<std::string>& args) { return WriteOrVerify(args, false); }

TExitCode TCli::FlashRestore(const std::vector<std::string>& args)
{
    const std::string& dir = args[0];

    // The regions to write: all nine, or those named on purpose.
    std::vector<const TPart*> wanted;
    if (FInv.Given & OptRegions) {
        std::set<std::string_view> named;
        for (std::size_t at = 0; at <= FInv.Regions.size();) {
            const std::size_t comma = std::min(FInv.Regions.find(',', at), FInv.Regions.size());
            const std::string name = FInv.Regions.substr(at, comma - at);
            const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                           [&](const TPart& p) { return p.Name == name; });
            if (part == FlashParts.end())
                return Fail(TExitCode::Usage, "unknown region '" + name + "' (the regions: " +
                                                  [] {
                                                      std::vector<std::string_view> all;
                                                      for (const TPart& p : FlashParts)
                                                          all.push_back(p.Name);
                                                      return Names(all);
                                                  }() + ")");
            named.insert(part->Name);
            at = comma + 1;
        }
        for (const TPart& part : FlashParts)
            if (named.count(part.Name))
                wanted.push_back(&part);
    } else {
        for (const TPart& part : FlashParts)
            wanted.push_back(&part);
    }

    std::error_code fsError;
    if (!std::filesystem::is_directory(dir, fsError))
        return Fail(TExitCode::FileError, "\"" + dir + "\" is not a folder");
    std::map<std::string, TPartsSet> sets;
    try {
        sets = PartsDumps(dir);
    } catch (const std::filesystem::filesystem_error& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    if (sets.empty())
        return Fail(TExitCode::FileError, "no parts dump in \"" + dir + "\"");

    // The newest set must hold every region to write: a dump that stopped
    // part-way must not be restored as if it were a backup.
    const std::string& stamp = sets.rbegin()->first;
    const TPartsSet& newest = sets.rbegin()->second;
    auto missing = [&](const TPartsSet& set) {
        std::vector<std::string_view> names;
        for (const TPart* part : wanted)
            if (!set.count(part->Name))
                names.push_back(part->Name);
        return names;
    };
    // The manifest of the dump, when it has one: every file it lists for a
    // region to write must be there, byte for byte as dumped.
    std::map<std::string, TManifestEntry> manifest;
    const std::string manifestPath = (std::filesystem::path(dir) / (stamp + "_manifest.json")).string();
    if (std::filesystem::exists(manifestPath, fsError)) {
        TByteArray text;
        std::string error;
        if (const TExitCode code = ReadInputFile(manifestPath, 1 << 20, text, error); code != TExitCode::Success)
            return Fail(TExitCode::FileError, error);
        manifest = ParseManifest(std::string(text.begin(), text.end()));
        for (const TPart* part : wanted) {
            const std::string name = stamp + "_" + std::string(part->Name) + ".bin";
            if (manifest.count(name) && !newest.count(part->Name))
                return Fail(TExitCode::FileError, "\"" + name + "\", listed in " + manifestPath +
                                                      ", is missing; nothing was written");
        }
    }
    if (const std::vector<std::string_view> lacking = missing(newest); !lacking.empty()) {
        std::string older;
        for (auto set = std::next(sets.rbegin()); set != sets.rend() && older.empty(); ++set)
            if (missing(set->second).empty())
                older = set->first;
        return Fail(TExitCode::FileError,
                    "the newest parts dump in \"" + dir + "\", " + stamp + ", has no file for " + Names(lacking) +
                        "; nothing was written. " +
                        (older.empty() ? std::string("No older dump there is complete.")
                                       : "The newest complete one is " + older +
                                             ": move the files of " + stamp + " away to restore it."));
    }

    // Every file is read and checked before the first byte is sent.
    struct TRegion {
        const TPart* Part;
        std::string Path;
        TByteArray Data;
    };
    std::vector<TRegion> regions;
    for (const TPart* part : wanted) {
        TRegion region{part, newest.at(part->Name), {}};
        std::string error;
        const auto size = static_cast<std::uint64_t>(part->Size);
        const TExitCode code = ReadInputFile(region.Path, size, region.Data, error);
        if (code == TExitCode::FileError)
            return Fail(code, error);
        if (code != TExitCode::Success || region.Data.size() != size)
            return Fail(TExitCode::Usage, "\"" + region.Path + "\" has " +
                                              (code == TExitCode::Success ? std::to_string(region.Data.size())
                                                                          : "more than " + std::to_string(size)) +
                                              " bytes, but the " + std::string(part->Name) + " region has " +
                                              std::to_string(size) + ": nothing was written");
        const std::string name = std::filesystem::path(region.Path).filename().string();
        if (const auto listed = manifest.find(name); listed != manifest.end() &&
            (listed->second.Size != region.Data.size() ||
             listed->second.Sha256 != ops::Sha256Hex(region.Data.data(), region.Data.size())))
            return Fail(TExitCode::FileError, "\"" + region.Path + "\" has changed since the dump (its size or "
                                              "SHA-256 differs from " + manifestPath + "); nothing was written");
        regions.push_back(std::move(region));
    }

    // One image of every region: the engine erases a sector the regions
    // share (guid and manufacturer_pid lie in the last one) at most once,
    // and keeps every byte around and between them.
    ops::TImage image;
    for (const TRegion& region : regions)
        image.push_back({static_cast<std::uint32_t>(region.Part->Start), region.Data});

    // What became of each region, for a restore that did not finish: a
    // script, or the engineer, must know which regions now hold what. The
    // engine brings sectors to their content in address order; a region is
    // written when all its sectors are.
    ops::TImageResult result;
    auto report = [&] {
        std::set<std::uint32_t> done;
        for (int i = 0; i < result.SectorsDone && i < static_cast<int>(result.Plan.Sectors.size()); ++i)
            done.insert(result.Plan.Sectors[static_cast<std::size_t>(i)].Address);
        std::vector<std::string_view> full, none;
        std::string part;
        for (const TRegion& region : regions) {
            const std::vector<std::uint32_t> sectors =
                ops::TouchedSectors({{static_cast<std::uint32_t>(region.Part->Start), region.Data}});
            const auto held = static_cast<std::size_t>(
                std::count_if(sectors.begin(), sectors.end(), [&](std::uint32_t s) { return done.count(s) > 0; }));
            if (held == sectors.size())
                full.push_back(region.Part->Name);
            else if (held == 0)
                none.push_back(region.Part->Name);
            else
                part += (part.empty() ? "" : ", ") + std::string(region.Part->Name) + " (" + std::to_string(held) +
                        " of " + std::to_string(sectors.size()) + " sectors)";
        }
        FProgress.End();
        FErr << Program << ": written in full, not verified: " << (full.empty() ? "none" : Names(full)) << '\n'
             << Program << ": written in part: " << (part.empty() ? "none" : part) << '\n'
             << Program << ": not written: " << (none.empty() ? "none" : Names(none)) << '\n';
    };
    FSink.Line("Restoring the parts dump " + stamp);
    return RunImage(image, std::nullopt, {}, result, report);
}

}  // namespace cli
