// corvane-cli: the Flash page (read, dump, erase, write, verify, restore).

#include "CliCommands.h"

#include "../ops/FlashParts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

namespace cli {

TFilePlace SplitPath(const std::string& path)
{
    const std::filesystem::path p(path);
    return {p.parent_path().string(), p.filename().string()};
}

bool ReadWholeFile(const std::string& path, TByteArray& data, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) {
        error = "cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

// The newest parts dump in a folder: file name per region, for the regions
// it has a file of. Empty when there is none.
std::map<std::string_view, std::string> NewestPartsDump(const std::string& dir, std::string& stamp)
{
    std::map<std::string, std::map<std::string_view, std::string>> sets;  // by time stamp
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        // "YYYYMMDDTHHMMSS_<region>.bin"
        if (name.size() < 21 || name[8] != 'T' || name[15] != '_' || !name.ends_with(".bin"))
            continue;
        const std::string_view region = std::string_view(name).substr(16, name.size() - 20);
        const auto part = std::find_if(FlashParts.begin(), FlashParts.end(),
                                       [&](const TPart& p) { return p.Name == region; });
        if (part == FlashParts.end() || !entry.is_regular_file())
            continue;
        sets[name.substr(0, 15)][part->Name] = entry.path().string();
    }
    if (sets.empty())
        return {};
    stamp = sets.rbegin()->first;  // the stamps sort as the times they stand for
    return sets.rbegin()->second;
}

}  // namespace

TExitCode TCli::FlashRead(const std::vector<std::string>& args)
{
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::string error;
    if (!ParseFlashAddress(args[0], address, error) || !ParseFlashSize(args[1], address, size, error))
        return Fail(TExitCode::Usage, error);
    // The raw bytes go to a file created before anything is read, so that a
    // file that cannot be written costs no transfer.
    const TFilePlace place = SplitPath(FInv.Output);
    ops::TDiskFiles files(place.Dir);
    std::unique_ptr<ops::IOutFile> file;
    if (FInv.Given & OptOutput) {
        try {
            file = files.Create(place.Name);
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context(files);
    const ops::TFlashReadResult result = ops::ReadFlash(ctx, address, size, FHost.Chunk, !file);
    if (file) {
        // What was read is kept, also when the read stopped or failed.
        try {
            file->Write(result.Data.data(), result.Data.size());
            file->Close();
        } catch (const ops::EFileError& e) {
            return Fail(TExitCode::FileError, e.what());
        }
    }
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(file ? "the " + std::to_string(result.Data.size()) + " bytes read are in " + FInv.Output
                            : "read " + std::to_string(result.Data.size()) + " bytes");
    return Finish(result);
}

TExitCode TCli::FlashDump(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TDiskFiles files(FInv.Directory);
    ops::TOpsContext ctx = Context(files);
    const ops::TDumpResult result =
        FInv.Parts ? ops::DumpFlashParts(ctx, FHost.Chunk) : ops::DumpWholeFlash(ctx, FHost.Chunk);
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped("the " + std::to_string(result.Bytes) + " bytes read are in " +
                       (result.Files.empty() ? std::string("no file") : result.Files.back()) +
                       (result.Files.size() > 1 ? " and the files before it" : ""));
    // The whole dump ends, as in the window, where the remote stops
    // answering; a backup that ends short of the flash is no success for a
    // script, whatever the window's log says.
    if (!FInv.Parts && result.Ok() && result.Bytes < FlashBytes)
        return Fail(TExitCode::Failed, "the remote stopped answering at " +
                                           HexAddress(static_cast<std::uint32_t>(result.Bytes)) + ": " +
                                           result.Files.back() + " holds " + std::to_string(result.Bytes) +
                                           " of " + std::to_string(FlashBytes) + " bytes");
    return Finish(result);
}

TExitCode TCli::FlashErase(const std::vector<std::string>& args)
{
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
    ops::TOpsContext ctx = Context();
    for (const std::uint32_t address : addresses) {
        const ops::TResult result = ops::EraseSector(ctx, address);
        if (!result.Ok())
            return Finish(result);
        // The window's line names the address as typed; this one the bytes
        // that are now erased.
        const std::uint32_t first = address / FlashSectorBytes * FlashSectorBytes;
        FSink.Line("erased " + HexAddress(first) + "-" + HexAddress(first + FlashSectorBytes - 1));
        if (FSink.Interrupted())
            return Stopped("the sectors above are erased");
    }
    return TExitCode::Success;
}

TExitCode TCli::WriteOrVerify(const std::vector<std::string>& args, bool write)
{
    std::uint32_t address = 0;
    std::string error;
    if (!ParseFlashAddress(args[0], address, error))
        return Fail(TExitCode::Usage, error);
    TByteArray data;
    if (!ReadWholeFile(args[1], data, error))
        return Fail(TExitCode::FileError, error);
    // Nothing is sent for a file that does not fit below the end of the
    // flash: a write never writes a byte the user did not give.
    if (data.empty())
        return Fail(TExitCode::Usage, "\"" + args[1] + "\" is empty");
    if (data.size() > FlashBytes - address)
        return Fail(TExitCode::Usage, "\"" + args[1] + "\" has " + std::to_string(data.size()) + " bytes; from " +
                                          HexAddress(address) + " only " + std::to_string(FlashBytes - address) +
                                          " fit below the end of the 16 MiB flash");
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TWriteResult result = write ? ops::WriteFlashData(ctx, address, data, FInv.Verify, FHost.Chunk)
                                           : ops::VerifyFlashData(ctx, address, data, FHost.Chunk);
    if (result.Mismatch)
        Fail(TExitCode::Mismatch, MismatchText(*result.Mismatch));
    if (result.Outcome == ops::TOutcome::Stopped)
        return Stopped(write ? std::to_string(result.Written) + " bytes written from " + HexAddress(address)
                             : std::to_string(result.Verified) + " bytes verified");
    return Finish(result);
}

TExitCode TCli::FlashWrite(const std::vector<std::string>& args) { return WriteOrVerify(args, true); }
TExitCode TCli::FlashVerify(const std::vector<std::string>& args) { return WriteOrVerify(args, false); }

TExitCode TCli::FlashRestore(const std::vector<std::string>& args)
{
    const std::string& dir = args[0];
    std::error_code fsError;
    if (!std::filesystem::is_directory(dir, fsError))
        return Fail(TExitCode::FileError, "\"" + dir + "\" is not a folder");
    std::string stamp;
    std::map<std::string_view, std::string> files;
    try {
        files = NewestPartsDump(dir, stamp);
    } catch (const std::filesystem::filesystem_error& e) {
        return Fail(TExitCode::FileError, e.what());
    }
    if (files.empty())
        return Fail(TExitCode::FileError, "no parts dump in \"" + dir + "\"");

    // Every file is read and checked before the first byte is sent.
    struct TRegion {
        const TPart* Part;
        std::string Path;
        TByteArray Data;
    };
    std::vector<TRegion> regions;
    for (const TPart& part : FlashParts) {
        const auto found = files.find(part.Name);
        if (found == files.end()) {
            FErr << Program << ": no " << part.Name << " file of " << stamp << ": that region is left as it is\n";
            continue;
        }
        TRegion region{&part, found->second, {}};
        std::string error;
        if (!ReadWholeFile(region.Path, region.Data, error))
            return Fail(TExitCode::FileError, error);
        if (region.Data.size() != static_cast<std::size_t>(part.Size))
            return Fail(TExitCode::Usage, "\"" + region.Path + "\" has " + std::to_string(region.Data.size()) +
                                              " bytes, but the " + std::string(part.Name) + " region has " +
                                              std::to_string(part.Size) + ": nothing was written");
        regions.push_back(std::move(region));
    }

    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    for (const TRegion& region : regions) {
        FSink.WhatPrefix = std::string(region.Part->Name) + " ";
        const auto start = static_cast<std::uint32_t>(region.Part->Start);
        const ops::TWriteResult result = ops::WriteFlashData(ctx, start, region.Data, true, FHost.Chunk);
        if (result.Mismatch)
            Fail(TExitCode::Mismatch, std::string(region.Part->Name) + ": " + MismatchText(*result.Mismatch));
        if (result.Outcome == ops::TOutcome::Stopped)
            return Stopped(std::string(region.Part->Name) + " was written up to " +
                           HexAddress(start + static_cast<std::uint32_t>(result.Written)) +
                           "; the regions after it are left as they are");
        if (!result.Ok())
            return Finish(result);
    }
    FSink.WhatPrefix.clear();
    return TExitCode::Success;
}

}  // namespace cli
