// The flash commands of corvane-cli as a user runs them on the uhid remote:
// corvane-sim serves a flash kept in a file, the real corvane-cli program
// writes, erases, verifies, dumps and restores it through /dev/hidraw, and
// once corvane-sim has saved the flash and exited, every byte of the file
// is compared with what the commands should have left there.

#include "KernelSupport.h"

#include "ChildProcess.h"
#include "CliFixture.h"
#include "FlashParts.h"
#include "Sha256.h"

#include <sched.h>
#include <signal.h>

#include <cstring>
#include <functional>
#include <numeric>
#include <regex>

namespace {

constexpr std::uint32_t FlashSize = 0x1000000;

// One CPU of those this test may run on: corvane-sim and corvane-cli share
// it. A USB remote holds the host's write() until it has taken the report;
// uhid queues the report for corvane-sim instead and drops it beyond 32
// queued. The host keeps the remote's pace, one report a millisecond, which
// on real CPUs leaves corvane-sim's thread ample time to take each one; but
// in an emulated VM on a busy machine a virtual CPU can stand still for a
// hundred milliseconds while another one writes on. On one CPU the report
// wakes corvane-sim's real-time thread, which runs before the writer can
// write again, as a USB remote's pace would have it.
cpu_set_t OneCpu()
{
    cpu_set_t all;
    CPU_ZERO(&all);
    ::sched_getaffinity(0, sizeof all, &all);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    return one;
}

// Bytes that differ from their neighbours and from 0xFF almost everywhere,
// so that a write onto them needs an erase and a lost report shows.
TByteArray Pattern(std::size_t size, unsigned seed)
{
    TByteArray bytes(size);
    std::uint32_t state = 0x9E3779B9u * (seed + 1);
    for (std::uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>((state >> 24) & 0x7F);  // never 0xFF
    }
    return bytes;
}

const TPart& Region(std::string_view name)
{
    return *std::find_if(FlashParts.begin(), FlashParts.end(), [&](const TPart& part) { return part.Name == name; });
}

TByteArray Slice(const TByteArray& bytes, std::uint32_t address, std::uint32_t size)
{
    return TByteArray(bytes.begin() + address, bytes.begin() + address + size);
}

void Put(TByteArray& flash, std::uint32_t address, const TByteArray& bytes)
{
    std::copy(bytes.begin(), bytes.end(), flash.begin() + address);
}

// The one file in dir whose name ends with suffix (empty when not exactly one).
std::filesystem::path OneFile(const std::filesystem::path& dir, const std::string& suffix)
{
    std::vector<std::filesystem::path> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path());
    }
    return found.size() == 1 ? found.front() : std::filesystem::path();
}

// Where two images first differ, for a failure message.
std::string FirstDifference(const TByteArray& expected, const TByteArray& actual)
{
    if (expected.size() != actual.size())
        return std::to_string(actual.size()) + " bytes instead of " + std::to_string(expected.size());
    const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin());
    if (at.first == expected.end())
        return "none";
    const std::size_t offset = static_cast<std::size_t>(at.first - expected.begin());
    const std::size_t differing = static_cast<std::size_t>(std::inner_product(
        expected.begin(), expected.end(), actual.begin(), std::size_t{0}, std::plus<>(),
        [](std::uint8_t a, std::uint8_t b) { return a != b ? 1 : 0; }));
    char text[96];
    std::snprintf(text, sizeof text, "first at 0x%06zX (expected %02X, read %02X), %zu bytes differ", offset,
                  *at.first, *at.second, differing);
    return text;
}

class TKernelFlashImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Dir.Path().empty());
        Flash = Pattern(FlashSize, 0);
        WriteBytes(Dir / "flash.bin", Flash);
        for (const char* folder : {"dump", "backup"})
            std::filesystem::create_directory(Dir.Path() / folder);
    }

    // corvane-cli on the remote's node, in the test's folder.
    TCliRun Cli(const std::vector<std::string>& args)
    {
        std::vector<std::string> all{"--device", Node};
        all.insert(all.end(), args.begin(), args.end());
        TChildProcess cli(CORVANE_CLI, all, Dir.Path(), {{}, false, &Cpu});
        TCliRun run;
        run.Code = cli.Wait(30s);
        run.Out = cli.Out;
        run.Err = cli.Err;
        return run;
    }

    const cpu_set_t Cpu = OneCpu();
    TTempDir Dir;
    TByteArray Flash;  // what the flash file must hold at the end
    std::string Node;
};

TEST_F(TKernelFlashImage, CommandsOnTheUhidRemoteKeepEveryOtherByte)
{
    const TPart& cpld = Region("cpld");
    const TPart& pic = Region("pic_library");
    const TPart& guid = Region("guid");
    const TPart& pid = Region("manufacturer_pid");

    // The files the commands write. Sizes that end inside a sector.
    const TByteArray small = Pattern(0x1234, 1);    // 0x010100-0x011333: two sectors, each in part
    const TByteArray other = Pattern(0x0800, 2);
    const TByteArray cpldBytes = Pattern(static_cast<std::size_t>(cpld.Size), 3);
    const TByteArray guidBytes = Pattern(static_cast<std::size_t>(guid.Size), 4);
    const TByteArray pidBytes = Pattern(static_cast<std::size_t>(pid.Size), 5);
    const TByteArray longBytes = Pattern(0x8345, 6);   // 0x100800-0x108B44: 9 sectors
    const TByteArray raw = Pattern(0xFFFF, 7);         // the largest transfer: one write request
    WriteBytes(Dir / "small.bin", small);
    WriteBytes(Dir / "other.bin", other);
    WriteBytes(Dir / "cpld.bin", cpldBytes);
    WriteBytes(Dir / "guid.bin", guidBytes);
    WriteBytes(Dir / "long.bin", longBytes);
    WriteBytes(Dir / "raw.bin", raw);
    const TByteArray start = Flash;
    TByteArray guidBackup;

    struct TStep {
        const char* What;
        std::vector<std::string> Args;
        int Code;
        std::string OutHas;                       // a line of standard output, in part
        std::function<void()> Change;             // on Flash, what the command changes
        std::function<void()> Check = nullptr;    // the files it wrote
    };
    const std::vector<TStep> steps = {
        {"a write onto unerased flash, a sector covered in part at each end",
         {"flash", "write", "0x10100", "small.bin"}, 0, "Image written: 2 sectors erased and written",
         [&] { Put(Flash, 0x10100, small); },
         [&] {
             // What the two sectors held before is kept for an undo.
             const auto before = OneFile(Dir.Path(), "_before_010000.bin");
             ASSERT_FALSE(before.empty());
             EXPECT_EQ(ReadBytes(before), Slice(start, 0x10000, 0x2000));
         }},
        {"a dry run sends nothing", {"flash", "write", "--dry-run", "0x20000", "other.bin"}, 0, "Plan: 1 sector",
         [] {}, [&] { EXPECT_TRUE(OneFile(Dir.Path(), "_before_020000.bin").empty()); }},
        {"a range erased", {"flash", "erase", "--range", "0x30000", "0x10000"}, 0, "erased 0x030000-0x03FFFF",
         [&] { std::fill(Flash.begin() + 0x30000, Flash.begin() + 0x40000, 0xFF); }},
        {"a range off the sector edges is refused", {"flash", "erase", "--range", "0x30800", "0x1000"}, 2, "",
         [] {}},
        {"a region", {"flash", "write", "--region", "cpld", "cpld.bin"}, 0, "Image written",
         [&] { Put(Flash, static_cast<std::uint32_t>(cpld.Start), cpldBytes); }},
        {"verify, equal", {"flash", "verify", "0x10100", "small.bin"}, 0, "", [] {}},
        {"verify, different", {"flash", "verify", "0x20000", "other.bin"}, 5, "", [] {}},
        {"a region dumped, with its manifest", {"flash", "dump", "--region", "pic_library", "-C", "dump"}, 0,
         "Manifest: dump/", [] {},
         [&] {
             const auto file = OneFile(Dir.Path() / "dump", "_pic_library.bin");
             ASSERT_FALSE(file.empty());
             const TByteArray dumped = ReadBytes(file);
             EXPECT_EQ(dumped, Slice(Flash, static_cast<std::uint32_t>(pic.Start), static_cast<std::uint32_t>(pic.Size)));
             const std::string manifest = [&] {
                 const TByteArray text = ReadBytes(OneFile(Dir.Path() / "dump", "_manifest.json"));
                 return std::string(text.begin(), text.end());
             }();
             EXPECT_NE(manifest.find("\"region\": \"pic_library\", \"start\": " + std::to_string(pic.Start) +
                                     ", \"size\": " + std::to_string(pic.Size) + ", \"sha256\": \"" +
                                     ops::Sha256Hex(dumped.data(), dumped.size()) + "\""),
                       std::string::npos)
                 << manifest;
         }},
        {"a region dumped with every piece read twice", {"flash", "dump", "--region", "guid", "--verify", "-C", "backup"},
         0, "Reading done", [] {},
         [&] {
             const auto file = OneFile(Dir.Path() / "backup", "_guid.bin");
             ASSERT_FALSE(file.empty());
             guidBackup = ReadBytes(file);
             EXPECT_EQ(guidBackup, Slice(Flash, static_cast<std::uint32_t>(guid.Start), static_cast<std::uint32_t>(guid.Size)));
             // The backup's set gets a second region, unlisted in its manifest.
             std::string pidName = file.filename().string();
             pidName.replace(pidName.size() - std::strlen("guid.bin"), std::string::npos, "manufacturer_pid.bin");
             WriteBytes(file.parent_path() / pidName, pidBytes);
         }},
        {"a region that shares the last sector", {"flash", "write", "--region", "guid", "guid.bin"}, 0,
         "Image written", [&] { Put(Flash, static_cast<std::uint32_t>(guid.Start), guidBytes); }},
        {"two regions of one sector restored", {"flash", "restore", "backup", "--regions", "guid,manufacturer_pid"}, 0,
         "Image written: 1 sector",
         [&] {
             Put(Flash, static_cast<std::uint32_t>(guid.Start), guidBackup);
             Put(Flash, static_cast<std::uint32_t>(pid.Start), pidBytes);
         }},
        {"a long write across sector edges", {"flash", "write", "0x100800", "long.bin"}, 0,
         "Image written: 9 sectors erased and written", [&] { Put(Flash, 0x100800, longBytes); }},
        {"the largest raw write onto the erased range, read back",
         {"flash", "write", "--raw", "--verify", "0x30000", "raw.bin"}, 0, "Written 65535 bytes",
         [&] { Put(Flash, 0x30000, raw); }},
    };

    TChildProcess sim(CORVANE_SIM, {"--flash", Dir / "flash.bin", "--erase-ms", "2"}, Dir.Path(), {{}, false, &Cpu});
    ASSERT_TRUE(sim.Started());
    Node = sim.WaitForOut(std::regex("remote [0-9a-f:]+ at (/dev/hidraw[0-9]+)"), 20s);
    ASSERT_FALSE(Node.empty()) << sim.Out << sim.Err;

    for (const TStep& step : steps) {
        SCOPED_TRACE(step.What);
        const TCliRun run = Cli(step.Args);
        EXPECT_EQ(run.Code, step.Code) << run.Out << run.Err;
        if (!step.OutHas.empty()) {
            EXPECT_NE(run.Out.find(step.OutHas), std::string::npos) << run.Out << run.Err;
        }
        step.Change();
        if (step.Check)
            step.Check();
    }

    sim.Signal(SIGTERM);
    ASSERT_EQ(sim.Wait(30s), 0) << sim.Out << sim.Err;
    EXPECT_NE(sim.Out.find("saved the flash to"), std::string::npos) << sim.Out;
    const TByteArray saved = ReadBytes(Dir / "flash.bin");
    EXPECT_TRUE(saved == Flash) << FirstDifference(Flash, saved);
    // Every file written was completed under its own name.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Dir.Path()))
        EXPECT_NE(entry.path().extension(), ".partial") << entry.path();
}

}  // namespace
