#pragma once
// corvane-cli run in-process: RunCli on a healthy, unpaced simulated remote
// on the simulated bus, with shortened waits, a fixed clock and a folder of
// its own for the files a command writes.

#include "Cli.h"
#include "CliSupport.h"
#include "FastTiming.h"
#include "SimRemote.h"

#include <gtest/gtest.h>

#include <cstdlib>
#ifdef _WIN32
#include <process.h>
#endif
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Always 29 February 2024, 12:34:56 (a Thursday); the tick moves 10 ms a look.
class TFixedClock : public ops::IOpsClock {
public:
    ops::TLocalTime Time{2024, 2, 29, 12, 34, 56, 4};
    ops::TLocalTime Now() override { return Time; }
    std::uint64_t TickMs() override { return FTick += 10; }

private:
    std::uint64_t FTick = 0;
};

// The shortened waits, with four times the patience for a reply: a test
// that moves megabytes must not take a loaded machine's stall for a silent
// remote. (The patience costs nothing while the reports flow.)
inline TTiming CliTiming()
{
    TTiming timing = FastTiming();
    timing.ReplyTries = 100;
    return timing;
}

struct TCliRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

inline TByteArray ReadBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return TByteArray(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const TByteArray& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// One run of the command line with its output caught.
inline TCliRun RunCaptured(const std::vector<std::string>& args, TCliHost& host)
{
    std::ostringstream out, err;
    TCliRun run;
    run.Code = RunCli(args, out, err, host);
    run.Out = out.str();
    run.Err = err.str();
    return run;
}

// A folder that is gone with the object.
class TTempDir {
public:
    TTempDir()
    {
#ifdef _WIN32
        // No mkdtemp: a name from the process and a counter, made only if new.
        static int counter = 0;
        const auto base = std::filesystem::temp_directory_path();
        for (int tries = 0; tries < 100 && FPath.empty(); ++tries) {
            auto candidate = base / ("corvane-cli-" + std::to_string(::_getpid()) + "-" + std::to_string(++counter));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error))
                FPath = candidate;
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "corvane-cli-XXXXXX").string();
        FPath = ::mkdtemp(pattern.data()) ? pattern : std::string();
#endif
    }
    ~TTempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return FPath; }
    std::string operator/(const std::string& name) const { return (FPath / name).string(); }

private:
    std::filesystem::path FPath;
};

struct TCliFixture : ::testing::Test {
    TScopedTiming Fast{CliTiming()};
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Sim = std::make_shared<TSimRemote>();
    TFixedClock Clock;
    TTempDir Dir;
    TCliHost Host;
    int PlatformRequests = 0;

    std::filesystem::path OldCwd;

    void SetUp() override
    {
        ASSERT_FALSE(Dir.Path().empty());
        // Files a command writes into the current folder (the recovery files
        // of a write) land in the test's own folder.
        OldCwd = std::filesystem::current_path();
        std::filesystem::current_path(Dir.Path());
        Bus.Plug(Sim);
        Host.Clock = &Clock;
        // The unpaced remote streams a whole read at once, faster than any
        // USB remote; the bus keeps at most 64 unread reports per handle, as
        // hidraw does. A read of at most 62 reports and its ACK always fits,
        // however late the link's reader thread runs on a loaded machine.
        Host.Chunk = 62 * 62;
        Host.Platform = [this](const TCliSimulation&, std::string&) -> IHidPlatform* {
            ++PlatformRequests;
            return &Bus;
        };
    }

    void TearDown() override { std::filesystem::current_path(OldCwd); }

    // Replaces the remote by one at the real remote's pace (one report per
    // millisecond), for reads in the command line's own 65,535-byte chunks.
    std::shared_ptr<TSimRemote> UsePacedRemote()
    {
        TSimRemote::TOptions options;
        options.Paced = true;
        auto paced = std::make_shared<TSimRemote>(options);
        Bus.Unplug(Sim);
        Bus.Plug(paced);
        Host.Chunk = ops::LargestChunk;
        return paced;
    }

    TCliRun Run(const std::vector<std::string>& args) { return RunCaptured(args, Host); }
};
