// corvane-cli as a user starts it: a process on the simulated demo remote
// (`--simulate`, paced like the real one), its output, files and exit code.
// Standard error is a terminal (a pseudo-terminal), so the progress line is
// drawn and the Ctrl-C tests wait for it before they interrupt.

#include "ChildProcess.h"
#include "CliFixture.h"

#include <algorithm>
#include <chrono>
#include <tuple>

namespace {

using namespace std::chrono_literals;

// corvane-cli with its standard error on a pseudo-terminal, as in a shell.
class TCliProcess : public TChildProcess {
public:
    // With stdoutPath, standard output goes to that file (e.g. /dev/full)
    // instead of the pipe that Out collects.
    TCliProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                const std::string& stdoutPath = {})
        : TChildProcess(CORVANE_CLI, args, cwd, {stdoutPath, true, nullptr})
    {
    }
};

// The trace's report lines ("0.104512 TX 00 10 ..."): direction and bytes.
std::vector<std::pair<std::string, std::string>> TraceReports(const std::filesystem::path& path)
{
    std::ifstream file(path);
    std::vector<std::pair<std::string, std::string>> reports;
    for (std::string text; std::getline(file, text);) {
        const std::size_t space = text.find(' ');
        if (space == std::string::npos || text.size() < space + 4)
            continue;
        const std::string direction = text.substr(space + 1, 2);
        if ((direction == "TX" || direction == "RX") && text[space + 3] == ' ')
            reports.emplace_back(direction, text.substr(space + 4));
    }
    return reports;
}

struct TCliProcessTest : ::testing::Test {
    TTempDir Dir;
};

TEST_F(TCliProcessTest, HelpAndBadUsage)
{
    TCliProcess help({"--help"}, Dir.Path());
    ASSERT_TRUE(help.Started());
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out.find("130  interrupted"), std::string::npos) << help.Out;

    TCliProcess bad({"--simulate", "flash", "erase", "-1"}, Dir.Path());
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(bad.Err.find("outside the 16 MiB flash"), std::string::npos) << bad.Err;
}

TEST_F(TCliProcessTest, TraceOfAVersionRequest)
{
    TCliProcess cli({"--simulate", "--trace", "trace.txt", "version"}, Dir.Path());
    EXPECT_EQ(cli.Wait(), 0) << cli.Err;
    EXPECT_EQ(cli.Out.rfind("Received (hex): ", 0), 0u) << cli.Out;
    const auto reports = TraceReports(Dir.Path() / "trace.txt");
    // The connection's reset and version request, then the command's own
    // version request and its reply.
    ASSERT_GE(reports.size(), 2u);
    const auto request = reports[reports.size() - 2];
    const auto reply = reports.back();
    EXPECT_EQ(request.first, "TX");
    EXPECT_EQ(request.second.rfind("00 10 00", 0), 0u) << request.second;
    EXPECT_EQ(reply.first, "RX");
    EXPECT_EQ(reply.second.rfind("00 2", 0), 0u) << reply.second;
}

TEST_F(TCliProcessTest, RawWriteWithVerifyFindsTheDemoFlashUnerased)
{
    // The demo remote's flash holds content; programming only clears bits,
    // so an all-ones image sent raw reads back as what was there.
    WriteBytes(Dir.Path() / "ones.bin", TByteArray(256, 0xFF));
    TCliProcess cli({"--simulate", "flash", "write", "$1000", "ones.bin", "--raw", "--verify"}, Dir.Path());
    EXPECT_EQ(cli.Wait(), 5) << cli.Err;
    EXPECT_NE(cli.Err.find("verify mismatch at 0x00"), std::string::npos) << cli.Err;
    EXPECT_NE(cli.Err.find("expected 0xFF, read 0x"), std::string::npos) << cli.Err;
}

TEST_F(TCliProcessTest, RunsWorkOnOneRemoteThroughItsFlashFile)
{
    // 100 bytes: one whole data packet and a part of the next.
    TByteArray data(100);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 3));
    WriteBytes(Dir.Path() / "data.bin", data);
    const std::vector<std::vector<std::string>> runs{
        {"flash", "erase", "$2000"},
        {"flash", "write", "$2000", "data.bin", "--verify"},
        {"flash", "read", "$2000", "100", "-o", "back.bin"},
    };
    for (const std::vector<std::string>& command : runs) {
        std::vector<std::string> args{"--simulate", "--sim-flash", "remote.bin"};
        args.insert(args.end(), command.begin(), command.end());
        TCliProcess cli(args, Dir.Path());
        EXPECT_EQ(cli.Wait(), 0) << command[1] << ": " << cli.Err;
    }
    EXPECT_EQ(ReadBytes(Dir.Path() / "back.bin"), data);
    const TByteArray image = ReadBytes(Dir.Path() / "remote.bin");
    ASSERT_EQ(image.size(), 0x1000000u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 0x2000));
    EXPECT_EQ(image[0x2000 + 100], 0xFF);  // the rest of the erased sector
    EXPECT_FALSE(std::filesystem::exists(Dir.Path() / "remote.bin.partial"));
}

// The write model on one remote kept in its flash file: a write in the
// middle of demo content leaves the flash holding the file and every other
// byte of the sectors it touched as before (the recovery file has them), and
// a verify of a later run agrees.
TEST_F(TCliProcessTest, WriteKeepsEveryByteOutsideTheFileAcrossRuns)
{
    // 5000 bytes from 0x1100: the end of one sector and the start of the
    // next, with all-ones bytes that need an erase under demo content.
    TByteArray data(5000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = i % 7 == 0 ? 0xFF : static_cast<std::uint8_t>(0x5A ^ (i * 5));
    WriteBytes(Dir.Path() / "data.bin", data);
    const std::vector<std::string> sim{"--simulate", "--sim-flash", "remote.bin"};
    auto run = [&](std::vector<std::string> command) {
        command.insert(command.begin(), sim.begin(), sim.end());
        TCliProcess cli(command, Dir.Path());
        const int code = cli.Wait();
        return std::make_pair(code, cli.Out + cli.Err);
    };
    auto [code, text] = run({"flash", "write", "0x1100", "data.bin"});
    ASSERT_EQ(code, 0) << text;
    std::filesystem::path recovery;
    for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
        if (entry.path().filename().string().find("_before_001000.bin") != std::string::npos)
            recovery = entry.path();
    ASSERT_FALSE(recovery.empty()) << text;
    EXPECT_NE(text.find(recovery.filename().string()), std::string::npos) << text;
    const TByteArray before = ReadBytes(recovery);
    ASSERT_EQ(before.size(), 0x2000u);

    std::tie(code, text) = run({"flash", "verify", "0x1100", "data.bin"});
    EXPECT_EQ(code, 0) << text;
    const TByteArray image = ReadBytes(Dir.Path() / "remote.bin");
    ASSERT_EQ(image.size(), 0x1000000u);
    for (std::uint32_t at = 0x1000; at < 0x3000; ++at) {
        const bool inFile = at >= 0x1100 && at < 0x1100 + data.size();
        ASSERT_EQ(image[at], inFile ? data[at - 0x1100] : before[at - 0x1000]) << std::hex << at;
    }
}

// A read of three chunks printing its hex lines between them, on the demo
// remote paced like the real one (at most 62,000 data bytes a second): the
// progress line on the terminal is one line, redrawn in place and cleared
// for the hex lines, never wider than 79 columns, and its rate, never above
// what the link carried, survives the hex lines.
TEST_F(TCliProcessTest, ProgressLineOnATerminalAroundHexLines)
{
    TCliProcess cli({"--simulate", "flash", "read", "0", "150000"}, Dir.Path());
    ASSERT_TRUE(cli.Started());
    EXPECT_EQ(cli.Wait(60s), 0) << cli.Err;
    EXPECT_EQ(std::count(cli.Out.begin(), cli.Out.end(), '\n'), 1 + (150000 + 15) / 16);
    // The terminal turns the one line end into "\r\n".
    EXPECT_EQ(std::count(cli.Err.begin(), cli.Err.end(), '\n'), 1) << cli.Err;
    std::vector<std::string> pieces;
    std::string piece;
    for (const char c : cli.Err) {
        if (c == '\r' || c == '\n') {
            if (!piece.empty())
                pieces.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    std::string last;
    for (const std::string& line : pieces) {
        EXPECT_LE(line.size(), 79u) << line;
        const std::size_t unit = line.find(" kB/s");
        if (unit == std::string::npos)
            continue;
        const double rate = std::stod(line.substr(line.rfind(' ', unit - 1) + 1));
        EXPECT_LE(rate, 62.0) << line;
        last = line;
    }
    ASSERT_NE(last.find("150000 of 150000 bytes   100%"), std::string::npos) << cli.Err;
    EXPECT_EQ(last.find("   0.0 kB/s"), std::string::npos) << last;
}

TEST_F(TCliProcessTest, CtrlCDuringADumpKeepsWhatWasRead)
{
    // With a flash file, which is saved all the same.
    TCliProcess cli({"--simulate", "--sim-flash", "remote.bin", "flash", "dump"}, Dir.Path());
    ASSERT_TRUE(cli.WaitForErr("65535 of 16777216 bytes")) << cli.Err;
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(), 130) << cli.Err;
    EXPECT_EQ(std::filesystem::file_size(Dir.Path() / "remote.bin"), 0x1000000u);
    // "interrupted; the <N> bytes read are in <file>"
    // "interrupted; the <N> bytes read are in <file>.partial"
    const std::string said = "interrupted; the ";
    const std::size_t at = cli.Err.find(said);
    ASSERT_NE(at, std::string::npos) << cli.Err;
    std::istringstream words(cli.Err.substr(at + said.size()));
    std::uint64_t size = 0;
    std::string bytes, read, are, in, file;
    words >> size >> bytes >> read >> are >> in >> file;
    ASSERT_EQ(in, "in") << cli.Err;
    EXPECT_GT(size, 0u);
    EXPECT_LT(size, 0x1000000u);
    EXPECT_EQ(std::filesystem::file_size(Dir.Path() / file), size);
    ASSERT_TRUE(file.ends_with(".partial")) << file;
    EXPECT_NE(cli.Out.find("Reading flash started, writing data to " + file.substr(0, file.size() - 8)),
              std::string::npos)
        << cli.Out;
    // Only a complete dump says it is done, and gets its name.
    EXPECT_EQ(cli.Out.find("Reading done"), std::string::npos) << cli.Out;
    EXPECT_FALSE(std::filesystem::exists(Dir.Path() / file.substr(0, file.size() - 8)));
}

TEST_F(TCliProcessTest, CtrlCDuringAWriteEndsTheWriteOnTheWire)
{
    WriteBytes(Dir.Path() / "big.bin", TByteArray(0x800000, 0x5A));
    TCliProcess cli({"--simulate", "--trace", "trace.txt", "flash", "write", "0", "big.bin", "--raw"}, Dir.Path());
    ASSERT_TRUE(cli.WaitForErr(" of 8388608 bytes")) << cli.Err;
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(), 130) << cli.Err;
    EXPECT_NE(cli.Err.find("interrupted; "), std::string::npos) << cli.Err;

    // Every report whole, and the last chunk closed as every chunk is: the
    // closing ACK and the remote's acknowledgement.
    const auto reports = TraceReports(Dir.Path() / "trace.txt");
    ASSERT_GE(reports.size(), 2u);
    for (const auto& [direction, bytes] : reports)
        ASSERT_EQ(bytes.size(), 65u * 3 - 1) << direction << " " << bytes;
    EXPECT_EQ(reports[reports.size() - 2].first, "TX");
    EXPECT_EQ(reports[reports.size() - 2].second.rfind("00 F1 30", 0), 0u);
    EXPECT_EQ(reports.back().first, "RX");
    EXPECT_EQ(reports.back().second.rfind("00 F1 30", 0), 0u);
}

// Ctrl-C while the image engine erases and writes: the progress line names
// the phase; the run ends between sectors, and in the flash file every
// sector holds its old content (the recovery file's) or its new one.
TEST_F(TCliProcessTest, CtrlCDuringAnImageWriteLeavesEverySectorOldOrNew)
{
    const std::uint32_t size = 0x10000;  // 16 sectors from 0
    TByteArray data(size);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(0xC3 ^ (i * 11));
    WriteBytes(Dir.Path() / "data.bin", data);
    TCliProcess cli({"--simulate", "--sim-flash", "remote.bin", "flash", "write", "0", "data.bin"}, Dir.Path());
    ASSERT_TRUE(cli.WaitForErr("erase ")) << cli.Err;
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(), 130) << cli.Err;
    EXPECT_NE(cli.Err.find("sectors done, each holds its old or its new content"), std::string::npos) << cli.Err;
    std::filesystem::path recovery;
    for (const auto& entry : std::filesystem::directory_iterator(Dir.Path()))
        if (entry.path().filename().string().ends_with("_before_000000.bin"))
            recovery = entry.path();
    ASSERT_FALSE(recovery.empty()) << cli.Out;
    const TByteArray old = ReadBytes(recovery);
    const TByteArray image = ReadBytes(Dir.Path() / "remote.bin");
    ASSERT_EQ(old.size(), size);
    ASSERT_EQ(image.size(), 0x1000000u);
    int written = 0;
    for (std::uint32_t sector = 0; sector < size; sector += 0x1000) {
        const bool isNew = std::equal(data.begin() + sector, data.begin() + sector + 0x1000, image.begin() + sector);
        const bool isOld = std::equal(old.begin() + sector, old.begin() + sector + 0x1000, image.begin() + sector);
        EXPECT_TRUE(isNew || isOld) << "sector " << sector;
        written += isNew && !isOld;
    }
    EXPECT_LT(written, 16);
}

TEST_F(TCliProcessTest, CtrlCDuringACaptureStopsItAsTheButtonDoes)
{
    TCliProcess cli({"--simulate", "--trace", "trace.txt", "ir", "capture"}, Dir.Path());
    ASSERT_TRUE(cli.WaitForErr(" bytes")) << cli.Err;
    cli.Interrupt();
    EXPECT_EQ(cli.Wait(), 130) << cli.Err;
    EXPECT_NE(cli.Err.find("interrupted; "), std::string::npos) << cli.Err;
    EXPECT_EQ(cli.Out.rfind("Starting capture\n", 0), 0u) << cli.Out;
    // The stop request went out, and the remote acknowledged it.
    const auto reports = TraceReports(Dir.Path() / "trace.txt");
    const auto stop = std::find_if(reports.begin(), reports.end(),
                                   [](const auto& r) { return r.first == "TX" && r.second.rfind("00 80", 0) == 0; });
    ASSERT_NE(stop, reports.end());
    EXPECT_TRUE(std::any_of(stop, reports.end(),
                            [](const auto& r) { return r.first == "RX" && r.second.rfind("00 F", 0) == 0; }));
}


// --- Output that cannot be written, and --device's reasons ---------------------------------

struct TProcessCase {
    std::vector<std::string> Args;
    std::string Stdout;  // a file for standard output; the pipe when empty
    int Code;
    std::vector<std::string> Said;  // each on standard error
};

// The arguments, in a failure's message.
void PrintTo(const TProcessCase& c, std::ostream* os)
{
    for (const std::string& arg : c.Args)
        *os << '\'' << arg << "' ";
    *os << ("> " + (c.Stdout.empty() ? std::string("pipe") : c.Stdout));
}

const std::string StdoutFull = "corvane-cli: write error on standard output: No space left on device";
const std::string TraceFull = "corvane-cli: write error on trace file /dev/full: No space left on device";

class TCliProcessCase : public TCliProcessTest, public ::testing::WithParamInterface<TProcessCase> {};

TEST_P(TCliProcessCase, ExitsWithItsCodeAndSaysWhy)
{
    WriteBytes(Dir.Path() / "plain.bin", TByteArray(16, 0));
    TCliProcess cli(GetParam().Args, Dir.Path(), GetParam().Stdout);
    ASSERT_TRUE(cli.Started());
    EXPECT_EQ(cli.Wait(), GetParam().Code) << cli.Err;
    for (const std::string& said : GetParam().Said)
        EXPECT_NE(cli.Err.find(said), std::string::npos) << said << "\n" << cli.Err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, TCliProcessCase,
    ::testing::Values(
        // Standard output on a full disk: whatever was printed, exit 4.
        TProcessCase{{"--help"}, "/dev/full", 4, {StdoutFull}},
        TProcessCase{{"--simulate", "version"}, "/dev/full", 4, {StdoutFull}},
        TProcessCase{{"--simulate", "--json", "battery"}, "/dev/full", 4, {StdoutFull}},
        TProcessCase{{"--simulate", "flash", "read", "0", "70000"}, "/dev/full", 4, {StdoutFull}},
        // A trace that cannot be written: the operation runs, the exit is 4.
        TProcessCase{{"--simulate", "--trace", "/dev/full", "version"}, "", 4, {TraceFull}},
        TProcessCase{{"--simulate", "--json", "--trace", "/dev/full", "version"}, "/dev/full", 4,
                     {TraceFull, StdoutFull}},
        // A failure of its own keeps its code; the write error is still said.
        TProcessCase{{"--simulate", "--json", "--device", "sim:hidraw1", "version"}, "/dev/full", 3,
                     {"sim:hidraw1: No such device", StdoutFull}},
        TProcessCase{{"--simulate", "--trace", "", "version"}, "", 2, {"--trace needs a file name"}},
        // --device: a simulated remote's path, and why a path is not the remote.
        TProcessCase{{"--simulate", "--device", "sim:hidraw0", "version"}, "", 0, {}},
        TProcessCase{{"--device", "/dev/null", "status"}, "", 3, {"corvane-cli: /dev/null: not a hidraw node"}},
        TProcessCase{{"--device", "plain.bin", "version"}, "", 3, {"corvane-cli: plain.bin: not a hidraw node"}},
        TProcessCase{{"--device", "no/hidraw9", "battery"}, "", 3,
                     {"Device not connected", "corvane-cli: no/hidraw9: No such file or directory"}}));

}  // namespace
