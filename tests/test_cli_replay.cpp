// Recorded sessions as tests: each trace in tests/traces was recorded by
// corvane-cli on the simulated remote (see the README there). Each session of
// a trace is run again, in-process, with its recorded command line on the
// trace replayed as the remote, and must log the same lines, exit with the
// same code and write the same files as in the recording. Also: sessions in
// another order than recorded, at the recorded pace, a request that was never
// recorded, and traces that are no good.

#include "CliFixture.h"
#include "TracePlatform.h"
#include "TraceReplay.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

const std::filesystem::path Traces = CORVANE_TRACES_DIR;

// Runs in dir while it lives: the recorded command lines name their files
// relative to where they ran.
class TWorkingDir {
public:
    explicit TWorkingDir(const std::filesystem::path& dir) : FOld(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~TWorkingDir() { std::filesystem::current_path(FOld); }
    TWorkingDir(const TWorkingDir&) = delete;
    TWorkingDir& operator=(const TWorkingDir&) = delete;

private:
    std::filesystem::path FOld;
};

struct TCliReplay : ::testing::Test {
    TScopedTiming Fast{CliTiming()};
    TTempDir Dir;
    TCliHost Host;
    TSimHidBus Unused;
    int FRuns = 0;  // each replay traces to a file of its own

    void SetUp() override
    {
        ASSERT_FALSE(Dir.Path().empty());
        // The chunk size of the program that recorded: it is in the requests.
        Host.Chunk = ops::LargestChunk;
        Host.Platform = [this](const TCliSimulation&, std::string&) -> IHidPlatform* {
            ADD_FAILURE() << "a replay asked the host for a platform";
            return &Unused;
        };
    }

    static TTraceRecording Load(const std::filesystem::path& path)
    {
        TTraceRecording recording;
        std::string error;
        EXPECT_TRUE(TTraceRecording::Load(path.string(), recording, error)) << error;
        return recording;
    }

    // The recorded command line run again on the replay of trace, its own
    // trace going to traceOut: the recorded platform and trace options give
    // way to --replay and --trace.
    TCliRun Replay(const std::filesystem::path& trace, const std::vector<std::string>& command,
                   const std::string& traceOut, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"--replay", trace.string(), "--trace", traceOut};
        args.insert(args.end(), extra.begin(), extra.end());
        for (std::size_t i = 1; i < command.size(); ++i) {  // [0] is the program
            if (command[i] == "--simulate")
                continue;
            // The simulated remote's options (a fault that made the
            // recording) have no place on a replay: the trace holds their effect.
            if (command[i] == "--trace" || command[i] == "--device" || command[i].rfind("--sim-", 0) == 0) {
                ++i;
                continue;
            }
            args.push_back(command[i]);
        }
        TWorkingDir here(Dir.Path());
        return RunCaptured(args, Host);
    }

    // Replays the sessions of trace in the given order; each must log and
    // exit as recorded.
    void ReplaySessions(const std::string& name, const std::vector<std::size_t>& order,
                        const std::vector<std::string>& extra = {})
    {
        const std::filesystem::path trace = Traces / name;
        const TTraceRecording recorded = Load(trace);
        ASSERT_FALSE(recorded.Sessions.empty());
        for (std::size_t index : order) {
            ASSERT_LT(index, recorded.Sessions.size());
            const auto& session = recorded.Sessions[index];
            SCOPED_TRACE(name + ": " + TTracePlatform::JoinCommandLine(session.Command));
            ASSERT_GE(session.Command.size(), 2u);
            ASSERT_NE(session.Exit, -1) << "no EXIT line";
            const std::string out = (Dir.Path() / ("replayed-" + std::to_string(++FRuns) + "-" + name)).string();
            const TCliRun run = Replay(trace, session.Command, out, extra);
            EXPECT_EQ(run.Code, session.Exit) << run.Err;
            EXPECT_EQ(run.Err.find("replay:"), std::string::npos) << run.Err;
            const TTraceRecording replayed = Load(out);
            ASSERT_EQ(replayed.Sessions.size(), 1u);
            EXPECT_EQ(replayed.Sessions[0].Log, session.Log);
            EXPECT_EQ(replayed.Sessions[0].Exit, session.Exit);
        }
    }

    void CopyIn(const std::string& name)
    {
        std::filesystem::copy_file(Traces / name, Dir.Path() / name);
    }

    void ExpectSameFile(const std::string& name)
    {
        SCOPED_TRACE(name);
        ASSERT_TRUE(std::filesystem::exists(Dir.Path() / name));
        EXPECT_EQ(ReadBytes(Dir.Path() / name), ReadBytes(Traces / name));
    }
};

TEST_F(TCliReplay, RecordedSessionsRunAsRecorded)
{
    struct TCase {
        const char* Trace;
        std::vector<std::string> Inputs;   // files the command reads
        std::vector<std::string> Outputs;  // files it writes, as recorded
    };
    const TCase cases[] = {
        {"version.trace", {}, {}},
        {"registers.trace", {}, {}},                      // battery, misc read byte and word, clock
        {"flash-read.trace", {}, {}},                     // hex lines, two lines that do not fill a row
        {"flash-dump.trace", {}, {"flash-dump.bin"}},     // two chunks, the second short
        {"write-verify.trace", {"write-verify-data.bin"}, {}},
        {"capture.trace", {}, {"capture.bin"}},
        {"removed.trace", {}, {}},           // the remote goes in the middle of the read
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Trace);
        for (const std::string& input : c.Inputs)
            CopyIn(input);
        const std::size_t sessions = Load(Traces / c.Trace).Sessions.size();
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < sessions; ++i)
            order.push_back(i);
        ReplaySessions(c.Trace, order);
        for (const std::string& output : c.Outputs)
            ExpectSameFile(output);
    }
}

TEST_F(TCliReplay, SessionsInAnotherOrderAndAtTheRecordedPace)
{
    ReplaySessions("registers.trace", {3, 1, 0, 2});
    ReplaySessions("version.trace", {1, 0});
    ReplaySessions("capture.trace", {0}, {"--replay-timing", "recorded"});
    ExpectSameFile("capture.bin");
}

TEST_F(TCliReplay, ARequestNeverRecordedFailsAndIsToldOnce)
{
    const std::filesystem::path trace = Traces / "version.trace";
    const TCliRun run = Replay(trace, {"corvane-cli", "hwflag"}, (Dir.Path() / "out.trace").string());
    EXPECT_EQ(run.Code, static_cast<int>(TExitCode::Failed)) << run.Err;
    const std::string told = "replay: no recorded answer for TX 00 B";
    const std::size_t at = run.Err.find(told);
    ASSERT_NE(at, std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.find(told, at + 1), std::string::npos) << run.Err;
    // The nearest recorded request is named with its line: the version request.
    EXPECT_NE(run.Err.find("; nearest is line "), std::string::npos) << run.Err;
}

TEST_F(TCliReplay, ABadTraceIsRefusedBeforeAnythingStarts)
{
    std::string report = "00";
    for (int i = 1; i < 65; ++i)
        report += " 00";
    struct TCase {
        const char* Name;
        std::string Trace;   // written to bad.trace; null: no file
        std::vector<std::string> Args;
        std::string Error;
    };
    const std::string bad = Dir / "bad.trace";
    const TCase cases[] = {
        {"no such file", "", {"--replay", Dir / "missing.trace", "version"},
         "corvane-cli: Cannot open trace file " + (Dir / "missing.trace") + ": "},
        {"no trace", "Battery level: 3.912 V\n", {"--replay", bad, "version"},
         "corvane-cli: Bad trace " + bad + ", line 1: not a trace line: Battery level: 3.912 V\n"},
        {"a report one byte short", "0.0 EV trace started\n0.1 TX " + report + "\n0.2 RX " + report.substr(3) + "\n",
         {"--replay", bad, "version"}, "corvane-cli: Bad trace " + bad + ", line 3: report of 64 bytes, expected 65"},
        {"with --simulate", "0.1 TX " + report + "\n", {"--simulate", "--replay", bad, "version"},
         "corvane-cli: --replay excludes --simulate and --device"},
        {"an unknown timing", "0.1 TX " + report + "\n", {"--replay", bad, "--replay-timing", "fast", "version"},
         "corvane-cli: --replay-timing takes paced or recorded, not 'fast'"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::filesystem::remove(bad);
        if (!c.Trace.empty()) {
            std::ofstream file(bad);
            file << c.Trace;
        }
        const TCliRun run = RunCaptured(c.Args, Host);
        EXPECT_EQ(run.Code, static_cast<int>(TExitCode::Usage));
        EXPECT_EQ(run.Err.substr(0, c.Error.size()), c.Error);
        EXPECT_EQ(run.Out, "");
    }
}

}  // namespace
