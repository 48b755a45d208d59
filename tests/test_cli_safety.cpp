// corvane-cli keeps every file and tells the truth in its exit code: outputs
// written under a partial name and renamed only on success, outputs checked
// before the remote is used, dumps that never replace or mix, restores that
// say what they wrote, inputs read with a bound.

#include "CliFixture.h"

#include "CorvaneInterface.h"
#include "FlashParts.h"

#include <algorithm>
#include <csignal>
#include <functional>

#ifdef __linux__
#include <sys/mount.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

const TByteArray OldContent{'o', 'l', 'd'};

std::size_t FlashReadRequests(const TSimRemote& sim)
{
    const auto received = sim.Received();
    return static_cast<std::size_t>(std::count_if(received.begin(), received.end(), [](const TByteArray& packet) {
        return !packet.empty() && packet[0] == PKT_READ_FLASH + 5;
    }));
}

// The fixed clock, and an interrupt flag that goes up once a condition
// holds, checked whenever an operation looks at the clock (after every
// chunk): a Ctrl-C that lands at a known point of the work.
struct TInterruptingClock : ops::IOpsClock {
    TFixedClock Base;
    std::function<bool()> When;
    volatile std::sig_atomic_t Flag = 0;

    ops::TLocalTime Now() override { return Base.Now(); }
    std::uint64_t TickMs() override
    {
        if (!Flag && When && When())
            Flag = 1;
        return Base.TickMs();
    }
};

struct TCliSafety : TCliFixture {
    TInterruptingClock Interrupting;

    void SetUp() override
    {
        TCliFixture::SetUp();
        Host.Clock = &Interrupting;
        Host.Interrupted = &Interrupting.Flag;
    }

    // The remote's faults change once the first flash read is done (its
    // faults count the packets of one read).
    void FaultAfterFirstRead(const TSimFaults& faults)
    {
        Interrupting.When = [this, faults, set = false]() mutable {
            if (!set && FlashReadRequests(*Sim) == 1) {
                Sim->SetFaults(faults);
                set = true;
            }
            return false;
        };
    }

    // One file per region under one time stamp, of each region's size.
    void WriteParts(const std::string& stamp, std::initializer_list<std::string_view> regions, std::uint8_t fill)
    {
        for (const TPart& part : FlashParts)
            if (std::find(regions.begin(), regions.end(), part.Name) != regions.end())
                WriteBytes(Dir / (stamp + "_" + std::string(part.Name) + ".bin"),
                           TByteArray(static_cast<std::size_t>(part.Size), fill));
    }
};

// --- flash read -o FILE: FILE is replaced only by a complete read ---------------------

struct TReadCase {
    const char* Name;
    std::function<void(TCliSafety&)> Setup;
    std::vector<std::string> Args;  // after "flash read"; FILE is Dir/"out.bin"
    int Code;
    std::size_t Partial;  // bytes left in out.bin.partial (0: no such file)
};

class TCliReadToFile : public TCliSafety, public ::testing::WithParamInterface<TReadCase> {};

TEST_P(TCliReadToFile, OldFileStaysUnlessTheReadIsWhole)
{
    const TReadCase& c = GetParam();
    WriteBytes(Dir / "out.bin", OldContent);
    c.Setup(*this);
    std::vector<std::string> args{"flash", "read"};
    for (const std::string& arg : c.Args)
        args.push_back(arg == "TRACE" ? Dir / "no/such/trace.txt" : arg);
    args.insert(args.end(), {"-o", Dir / "out.bin"});
    const TCliRun run = Run(args);
    EXPECT_EQ(run.Code, c.Code) << run.Err;
    const bool partial = fs::exists(Dir / "out.bin.partial");
    EXPECT_EQ(partial ? fs::file_size(Dir / "out.bin.partial") : 0u, c.Partial) << run.Err;
    if (c.Code == 0) {
        EXPECT_EQ(ReadBytes(Dir / "out.bin"), Sim->Flash(0x100, 10000));
    } else {
        EXPECT_EQ(ReadBytes(Dir / "out.bin"), OldContent);
        if (c.Partial > 0) {
            EXPECT_NE(run.Err.find("out.bin.partial"), std::string::npos) << run.Err;
            EXPECT_EQ(ReadBytes(Dir / "out.bin.partial"), Sim->Flash(0x100, 3844));
        }
    }
}

// 10,000 bytes are three chunks of 3,844 bytes (62 reports each), the last
// of 2,312.
INSTANTIATE_TEST_SUITE_P(
    Cases, TCliReadToFile,
    ::testing::Values(
        TReadCase{"Complete", [](TCliSafety& t) { t.Sim->FillFlashWithPattern(); }, {"$100", "10000"}, 0, 0},
        TReadCase{"NoRemote", [](TCliSafety& t) { t.Bus.Unplug(t.Sim); }, {"$100", "10000"}, 3, 0},
        TReadCase{"TraceCannotBeOpened", [](TCliSafety&) {}, {"--trace", "TRACE", "$100", "10000"}, 4, 0},
        TReadCase{"SilentFromTheStart",
                  [](TCliSafety& t) {
                      TSimFaults f;
                      f.FlashSilentFrom = 0;
                      t.Sim->SetFaults(f);
                  },
                  {"$100", "16"}, 1, 0},
        TReadCase{"SilentInTheSecondChunk",
                  [](TCliSafety& t) {
                      t.Sim->FillFlashWithPattern();
                      TSimFaults f;
                      f.FlashSilentFrom = 8;
                      t.FaultAfterFirstRead(f);
                  },
                  {"$100", "10000"}, 1, 3844},
        TReadCase{"RemovedInTheSecondChunk",
                  [](TCliSafety& t) {
                      t.Sim->FillFlashWithPattern();
                      TSimFaults f;
                      f.UnplugAtPacket = 8;
                      t.FaultAfterFirstRead(f);
                  },
                  {"$100", "10000"}, 3, 3844}),
    [](const auto& info) { return std::string(info.param.Name); });

// Fewer bytes than asked is a failure in the hex form too, which shows what
// came (here only its header).
TEST_F(TCliSafety, ShortHexReadFails)
{
    TSimFaults f;
    f.FlashSilentFrom = 0;
    Sim->SetFaults(f);
    const TCliRun run = Run({"flash", "read", "0", "16"});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Out, "Flash dump (hex):\n");
    EXPECT_NE(run.Err.find("the remote sent 0 of 16 bytes"), std::string::npos) << run.Err;
}

// --- Outputs are checked before the remote is used --------------------------------------

TEST_F(TCliSafety, UnwritableOutputsAreRefusedBeforeTheRemoteIsUsed)
{
    WriteBytes(Dir / "a-file", OldContent);
    const std::vector<std::vector<std::string>> cases{
        {"flash", "read", "0", "16", "-o", Dir / "no/such/out.bin"},
        {"ir", "capture", "-o", Dir / "no/such/signal.bin"},
        {"flash", "dump", "-C", Dir / "no-such-folder"},
        {"flash", "dump", "--parts", "-C", Dir / "a-file"},
    };
    for (const auto& args : cases) {
        const TCliRun run = Run(args);
        EXPECT_EQ(run.Code, 4) << args[1] << " " << run.Err;
        EXPECT_EQ(run.Out, "") << args[1];
    }
    EXPECT_EQ(Run({"flash", "read", "0", "16", "-o", ""}).Code, 2);
    EXPECT_EQ(Run({"ir", "capture", "-o", Dir.Path().string() + "/"}).Code, 2);
    EXPECT_EQ(PlatformRequests, 0);
}

// --- Dumps never replace a file or write into another run's ----------------------------

TEST_F(TCliSafety, DumpsNeverReplaceOrMix)
{
    // Another run of the same second holds the first region's partial file:
    // this one refuses before it reads a byte, and leaves that file alone.
    WriteBytes(Dir / "20240229T123456_bootloader.bin.partial", OldContent);
    TCliRun run = Run({"flash", "dump", "--parts", "-C", Dir.Path().string()});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("another run is writing"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_bootloader.bin.partial"), OldContent);
    EXPECT_EQ(FlashReadRequests(*Sim), 0u);

    // A dump of that second exists already.
    WriteBytes(Dir / "20240229T123456_flash.bin", OldContent);
    run = Run({"flash", "dump", "-C", Dir.Path().string()});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("a dump never replaces a file"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_flash.bin"), OldContent);
    EXPECT_FALSE(fs::exists(Dir / "20240229T123456_flash.bin.partial"));
    EXPECT_EQ(FlashReadRequests(*Sim), 0u);
}

// --- A capture that brings nothing replaces nothing --------------------------------------

TEST_F(TCliSafety, CaptureStoppedBeforeAnyDataKeepsTheOldFile)
{
    WriteBytes(Dir / "CAPTURED.BIN", OldContent);
    Interrupting.Flag = 1;  // Ctrl-C before the first report
    TSimFaults f;
    f.IrSilentBeforeFirst = true;
    Sim->SetFaults(f);
    const TCliRun run = Run({"ir", "capture", "-o", Dir / "CAPTURED.BIN"});
    EXPECT_EQ(run.Code, 130) << run.Err;
    EXPECT_EQ(SplitLines(run.Out), (std::vector<std::string>{"Starting capture", "Nothing was captured"}));
    EXPECT_EQ(ReadBytes(Dir / "CAPTURED.BIN"), OldContent);
    EXPECT_FALSE(fs::exists(Dir / "CAPTURED.BIN.partial"));
}

// --- Restore: a whole set, and what became of each region when it stops --------------------

TEST_F(TCliSafety, RestoreRefusesAnIncompleteNewestSet)
{
    WriteParts("20240101T000000", {"bootloader", "safe_mode", "cpld", "pic_library", "guid", "manufacturer_pid",
                                   "embedded_configuration", "normal_app", "user_configuration"},
               0x11);
    WriteParts("20240202T000000", {"bootloader", "safe_mode", "cpld"}, 0x22);
    const TCliRun run = Run({"flash", "restore", Dir.Path().string()});
    EXPECT_EQ(run.Code, 4);
    EXPECT_NE(run.Err.find("20240202T000000, has no file for pic_library, guid, manufacturer_pid, "
                           "embedded_configuration, normal_app, user_configuration; nothing was written"),
              std::string::npos)
        << run.Err;
    EXPECT_NE(run.Err.find("The newest complete one is 20240101T000000"), std::string::npos) << run.Err;
    EXPECT_EQ(PlatformRequests, 0);

    // Named on purpose, a subset is written.
    Host.Chunk = 0x1000;
    const TCliRun some = Run({"flash", "restore", Dir.Path().string(), "--regions", "bootloader,cpld"});
    EXPECT_EQ(some.Code, 0) << some.Err;
    EXPECT_EQ(Sim->Flash(0xFE0000, 0x1000), TByteArray(0x1000, 0x22));
    EXPECT_EQ(Sim->Flash(0xFE1000, 0x10), TByteArray(0x10, 0xFF));  // safe_mode untouched
    EXPECT_EQ(Run({"flash", "restore", Dir.Path().string(), "--regions", "boot"}).Code, 2);
}

TEST_F(TCliSafety, RestoreStopsBetweenRegionsAndAfterALastChunk)
{
    WriteParts("20240202T000000", {"bootloader", "guid"}, 0x00);
    Host.Chunk = 0x1000;  // bootloader in one chunk
    const std::string dir = Dir.Path().string();

    // Ctrl-C while bootloader is read back: it is finished, guid is not begun.
    Interrupting.When = [this] {
        return FlashReadRequests(*Sim) > 0 && Sim->Flash(0xFE0000, 0x1000) == TByteArray(0x1000, 0x00);
    };
    TCliRun run = Run({"flash", "restore", dir, "--regions", "bootloader,guid"});
    EXPECT_EQ(run.Code, 130) << run.Err;
    EXPECT_NE(run.Err.find("written and verified in full: bootloader\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("written in part: none\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("not written: guid\n"), std::string::npos) << run.Err;
    EXPECT_EQ(Sim->Flash(0xFFF400, 0x40), TByteArray(0x40, 0xFF));

    // Ctrl-C before the last (only) chunk of a region is acknowledged: it is
    // written, and the read-back is not begun.
    Interrupting.When = nullptr;
    Interrupting.Flag = 1;
    run = Run({"flash", "restore", dir, "--regions", "guid"});
    EXPECT_EQ(run.Code, 130) << run.Err;
    EXPECT_NE(run.Err.find("written in part: guid (64 of 64 bytes written, not verified)"), std::string::npos)
        << run.Err;
}

// --- Input files ---------------------------------------------------------------------------

TEST_F(TCliSafety, InputsThatAreNotPlainFiles)
{
    struct TCase {
        std::string File;
        std::string Address;
        int Code;
        std::string Message;
    };
    const std::vector<TCase> cases{
        {Dir.Path().string(), "0", 4, "Is a directory"},
        {Dir / "missing.bin", "0", 4, "No such file or directory"},
#ifndef _WIN32
        // An endless input is read no further than what fits below the end.
        {"/dev/zero", "0xFFFF00", 2, "holds more than 256 bytes, but from 0xFFFF00 only 256 fit"},
        {"/dev/zero", "0", 2, "holds more than 16777216 bytes"},
#endif
    };
    for (const TCase& c : cases) {
        const TCliRun run = Run({"flash", "write", c.Address, c.File});
        EXPECT_EQ(run.Code, c.Code) << c.File;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    }
    EXPECT_EQ(PlatformRequests, 0);
}

#ifdef __linux__
// A disk that fills up in the middle of a read: the old file stays, what
// fitted is in the partial file, and the exit code says a file failed.
TEST_F(TCliSafety, FullDiskKeepsTheOldFile)
{
    const fs::path small = Dir.Path() / "small";
    fs::create_directory(small);
    if (::geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";
    struct TUnmount {
        fs::path Path;
        ~TUnmount() { ::umount2(Path.c_str(), MNT_DETACH); }
    } unmount{small};
    WriteBytes(small / "out.bin", OldContent);
    Sim->FillFlashWithPattern();
    const TCliRun run = Run({"flash", "read", "0", "200000", "-o", (small / "out.bin").string()});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("No space left on device"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadBytes(small / "out.bin"), OldContent);
}
#endif

}  // namespace
