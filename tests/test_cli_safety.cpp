// corvane-cli keeps every file and tells the truth in its exit code: outputs
// written under a partial name and renamed only on success, outputs checked
// before the remote is used, dumps that never replace or mix, restores that
// say what they wrote, inputs read with a bound.

#include "CliFixture.h"

#include "CorvaneInterface.h"
#include "FlashParts.h"
#include "Files.h"
#include "Sha256.h"

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

TEST_F(TCliSafety, RestoreStopsBetweenSectors)
{
    WriteParts("20240202T000000", {"bootloader", "guid"}, 0x00);
    const std::string dir = Dir.Path().string();

    // Ctrl-C once bootloader's sector is written: guid's is not begun, and
    // the report says so.
    Interrupting.When = [this] { return Sim->Flash(0xFE0000, 0x1000) == TByteArray(0x1000, 0x00); };
    const TCliRun run = Run({"flash", "restore", dir, "--regions", "bootloader,guid"});
    EXPECT_EQ(run.Code, 130) << run.Err;
    EXPECT_NE(run.Err.find("written in full, not verified: bootloader\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("written in part: none\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("not written: guid\n"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("1 of 2 sectors done"), std::string::npos) << run.Err;
    EXPECT_EQ(Sim->Flash(0xFFF400, 0x40), TByteArray(0x40, 0xFF));
}

// --- The write model ---------------------------------------------------------------------

// What the remote was asked to do: the sectors erased and the writes, by address.
struct TSent {
    std::vector<std::uint32_t> Erased;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Writes;  // address, size
};

TSent Sent(const TSimRemote& sim)
{
    TSent sent;
    for (const TByteArray& p : sim.Received()) {
        const auto address = [&] { return std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]; };
        if (p.size() >= 4 && p[0] == PKT_ERASE_SECTOR + 3)
            sent.Erased.push_back(address());
        else if (p.size() >= 6 && p[0] == PKT_WRITE_FLASH + 5)
            sent.Writes.emplace_back(address(), std::uint32_t{p[4]} << 8 | p[5]);
    }
    return sent;
}

TByteArray Bytes(std::size_t size, int seed)
{
    TByteArray bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 13 + static_cast<std::size_t>(seed) * 29) % 251);
    return bytes;
}

// A Ctrl-C at any point of a write ends it between sectors: every sector
// holds either its old content or its new one, never an erased one that
// waits for its bytes. The flag goes up right after the k-th erase, the
// worst moment; the stop message names the recovery file.
TEST_F(TCliSafety, StopLeavesEverySectorOldOrNew)
{
    const std::uint32_t at = 0x40800;
    const TByteArray data = Bytes(4 * 0x1000, 1);  // touches 5 sectors, 0x40000-0x44FFF
    WriteBytes(Dir / "data.bin", data);
    for (std::size_t k = 1; k <= 4; ++k) {
        SCOPED_TRACE("Ctrl-C after erase " + std::to_string(k));
        Sim->FillFlashWithPattern();
        const TByteArray old = Sim->Flash(0x40000, 0x5000);
        TByteArray target = old;
        std::copy(data.begin(), data.end(), target.begin() + (at - 0x40000));
        Sim->ClearReceived();
        Interrupting.Flag = 0;
        Interrupting.When = [this, k] { return Sent(*Sim).Erased.size() >= k; };
        const std::string folder = Dir / ("run" + std::to_string(k));
        fs::create_directory(folder);
        const TCliRun run = Run({"flash", "write", "0x40800", Dir / "data.bin", "-C", folder});
        EXPECT_EQ(run.Code, 130) << run.Err;
        EXPECT_NE(run.Err.find(std::to_string(k) + " of 5 sectors done, each holds its old or its new content"),
                  std::string::npos)
            << run.Err;
        EXPECT_NE(run.Err.find(ops::JoinPath(folder, "20240229T123456_before_040000.bin")), std::string::npos)
            << run.Err;
        const TByteArray now = Sim->Flash(0x40000, 0x5000);
        for (std::size_t sector = 0; sector < 5; ++sector) {
            const auto from = static_cast<std::ptrdiff_t>(sector * 0x1000);
            const TByteArray held(now.begin() + from, now.begin() + from + 0x1000);
            const bool isNew = std::equal(held.begin(), held.end(), target.begin() + from);
            const bool isOld = std::equal(held.begin(), held.end(), old.begin() + from);
            EXPECT_TRUE(sector < k ? isNew : isOld) << "sector " << sector;
        }
        // The recovery file holds the five sectors as they were.
        EXPECT_EQ(ReadBytes(fs::path(folder) / "20240229T123456_before_040000.bin"), old);
    }
}

// A write in the middle of a sector: the flash ends up holding the file and
// every other byte as before; the remote fails between an erase and its
// write: the message names the sector and the recovery file.
TEST_F(TCliSafety, WriteKeepsTheRestAndNamesAHalfWrittenSector)
{
    Sim->FillFlashWithPattern();
    const TByteArray old = Sim->Flash(0x40000, 0x2000);
    const TByteArray data = Bytes(0x1000, 2);
    WriteBytes(Dir / "data.bin", data);
    TCliRun run = Run({"flash", "write", "0x40800", Dir / "data.bin", "--dry-run"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("Plan: 2 sectors, 0 unchanged, 0 program-only, 2 erase and write"), std::string::npos)
        << run.Out;
    EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());
    EXPECT_EQ(Sim->Flash(0x40000, 0x2000), old);

    run = Run({"flash", "write", "0x40800", Dir / "data.bin"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    TByteArray expected = old;
    std::copy(data.begin(), data.end(), expected.begin() + 0x800);
    EXPECT_EQ(Sim->Flash(0x40000, 0x2000), expected);
    EXPECT_EQ(Sent(*Sim).Erased, (std::vector<std::uint32_t>{0x40000, 0x41000}));
    EXPECT_NE(run.Out.find("is kept in 20240229T123456_before_040000.bin"), std::string::npos) << run.Out;
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_before_040000.bin"), old);

    // A second run of the same second keeps the same sectors: its file gets
    // a number, and the first one is never replaced.
    const TByteArray other = Bytes(0x2000, 3);
    Sim->SetFlash(0x40000, other);
    run = Run({"flash", "write", "0x40800", Dir / "data.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("is kept in 20240229T123456_before_040000_2.bin"), std::string::npos) << run.Out;
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_before_040000_2.bin"), other);
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_before_040000.bin"), old);
    TByteArray onOther = other;
    std::copy(data.begin(), data.end(), onOther.begin() + 0x800);
    EXPECT_EQ(Sim->Flash(0x40000, 0x2000), onOther);

    // Written again: nothing differs, nothing is sent and no file is kept.
    Sim->ClearReceived();
    fs::remove(Dir / "20240229T123456_before_040000.bin");
    fs::remove(Dir / "20240229T123456_before_040000_2.bin");
    run = Run({"flash", "write", "0x40800", Dir / "data.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());
    EXPECT_FALSE(fs::exists(Dir / "20240229T123456_before_040000.bin"));

    // The remote takes the erase, then does not acknowledge the write.
    Sim->SetFlash(0x40000, old);
    TSimFaults faults;
    faults.FlashWriteNoAck = true;
    Sim->SetFaults(faults);
    run = Run({"flash", "write", "0x40800", Dir / "data.bin"});
    EXPECT_EQ(run.Code, 1) << run.Err;
    EXPECT_NE(run.Err.find("sector 0x040000 is erased but not written"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("what the flash held is in 20240229T123456_before_040000.bin (0x040000-0x041FFF)"),
              std::string::npos)
        << run.Err;
}

// Under --json: the plan's counts and the recovery files, no lines.
TEST_F(TCliSafety, WriteUnderJsonGivesThePlanAndTheRecoveryFiles)
{
    Sim->FillFlashWithPattern();
    WriteBytes(Dir / "data.bin", Bytes(0x1800, 6));
    TCliRun run = Run({"--json", "flash", "write", "0x40800", Dir / "data.bin", "--dry-run"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "{\"outcome\": \"done\", \"sectors_unchanged\": 0, \"sectors_program_only\": 0, "
                       "\"sectors_erase_write\": 2, \"bytes_sent\": 8192, \"bytes_skipped\": 0, "
                       "\"recovery_files\": []}\n");
    run = Run({"--json", "flash", "write", "0x40800", Dir / "data.bin", "-C", Dir.Path().string()});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("\"recovery_files\": [" + JsonString(Dir / "20240229T123456_before_040000.bin") + "]"),
              std::string::npos)
        << run.Out;
}

// A read-back that differs: the engine's report on standard error, exit 5;
// --diff adds the ranges. (The flash is spoiled once the write is done,
// before the read-back.)
TEST_F(TCliSafety, MismatchReportGoesToStandardError)
{
    const TByteArray data = Bytes(0x100, 7);
    WriteBytes(Dir / "data.bin", data);
    for (const bool diff : {false, true}) {
        SCOPED_TRACE(diff ? "--diff" : "no --diff");
        Sim->SetFlash(0x40000, TByteArray(0x1000, 0xFF));
        Sim->ClearReceived();
        Interrupting.When = [this, &data, spoiled = false]() mutable {
            if (!spoiled && !Sent(*Sim).Writes.empty()) {
                Sim->SetFlash(0x40010, {static_cast<std::uint8_t>(data[0x10] ^ 1), static_cast<std::uint8_t>(data[0x11] ^ 1)});
                Sim->SetFlash(0x40080, {static_cast<std::uint8_t>(data[0x80] ^ 1)});
                spoiled = true;
            }
            return false;
        };
        fs::remove(Dir / "20240229T123456_before_040000.bin");
        std::vector<std::string> args{"flash", "write", "0x40000", Dir / "data.bin"};
        if (diff)
            args.push_back("--diff");
        const TCliRun run = Run(args);
        EXPECT_EQ(run.Code, 5) << run.Err;
        EXPECT_NE(run.Err.find("Verify failed at 0x040010"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out.find("Verify failed"), std::string::npos) << run.Out;
        EXPECT_EQ(run.Err.find("  0x040010-0x040011 (2 bytes)") != std::string::npos, diff) << run.Err;
        EXPECT_EQ(run.Err.find("  0x040080-0x040080 (1 byte)") != std::string::npos, diff) << run.Err;
    }
}

// A base the flash no longer holds is refused after the sample read, with
// one message and nothing sent; the base it does hold spares the reads.
TEST_F(TCliSafety, StaleBaseIsRefused)
{
    Sim->FillFlashWithPattern();
    const TByteArray whole = Sim->Flash(0, 0x1000000);
    WriteBytes(Dir / "base.bin", whole);
    const TByteArray data = Bytes(0x100, 3);
    WriteBytes(Dir / "data.bin", data);
    // The sample of a one-sector image is that sector.
    Sim->SetFlash(0x40010, {0x00});
    TCliRun run = Run({"flash", "write", "0x40100", Dir / "data.bin", "--base", Dir / "base.bin"});
    EXPECT_EQ(run.Code, 5) << run.Err;
    const std::string message = "the flash does not hold " + (Dir / "base.bin") + " at 0x040010";
    const std::string all = run.Out + run.Err;
    EXPECT_NE(all.find(message), std::string::npos) << all;
    EXPECT_EQ(all.find(message), all.rfind(message)) << all;
    EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());

    // A base of the wrong size is bad usage, before the remote is used.
    WriteBytes(Dir / "short.bin", TByteArray(100, 0));
    EXPECT_EQ(Run({"flash", "write", "0x40100", Dir / "data.bin", "--base", Dir / "short.bin"}).Code, 2);

    Sim->SetFlash(0x40010, {whole[0x40010]});
    run = Run({"flash", "write", "0x40100", Dir / "data.bin", "--base", Dir / "base.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(Sim->Flash(0x40100, 0x100), data);

    // With --region the base is that region's file: exactly its size.
    WriteBytes(Dir / "guid.bin", Bytes(0x40, 8));
    const TByteArray guid = Sim->Flash(0xFFF400, 0x40);
    for (const std::size_t size : {std::size_t{0x41}, std::size_t{0x40}}) {
        TByteArray base = guid;
        base.resize(size, 0);
        WriteBytes(Dir / "guid-base.bin", base);
        fs::remove(Dir / "20240229T123456_before_FFF000.bin");
        run = Run({"flash", "write", "--region", "guid", Dir / "guid.bin", "--base", Dir / "guid-base.bin"});
        EXPECT_EQ(run.Code, size == 0x40 ? 0 : 2) << run.Err;
    }
    EXPECT_EQ(Sim->Flash(0xFFF400, 0x40), Bytes(0x40, 8));
}

// Below 10% (3.560 V) nothing is erased or written unless --force.
TEST_F(TCliSafety, LowBatteryRefusesUnlessForced)
{
    WriteBytes(Dir / "data.bin", Bytes(0x100, 4));
    const struct {
        std::uint16_t Millivolts;
        std::vector<std::string> Args;
        int Code;
        const char* Message;
    } cases[] = {
        {3512, {"flash", "write", "0x40000", Dir / "data.bin"}, 1, "battery 3.512 V (0%): charge the remote, or use --force"},
        {3559, {"flash", "write", "0x40000", Dir / "data.bin"}, 1, "battery 3.559 V (0%)"},
        {3559, {"flash", "erase", "0x40000"}, 1, "battery 3.559 V"},
        {3559, {"flash", "erase", "--range", "0x40000", "0x1000"}, 1, "battery 3.559 V"},
        {3559, {"flash", "write", "0x40000", Dir / "data.bin", "--raw"}, 1, "battery 3.559 V"},
        {3560, {"flash", "write", "0x40000", Dir / "data.bin"}, 0, nullptr},
        {3512, {"flash", "write", "0x40000", Dir / "data.bin", "--force"}, 0, nullptr},
        {3512, {"flash", "erase", "0x40000", "--force"}, 0, nullptr},
        // A dry run changes nothing: no battery needed.
        {3512, {"flash", "write", "0x41000", Dir / "data.bin", "--dry-run"}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args[1] + " at " + std::to_string(c.Millivolts) + " mV");
        Sim->SetFlash(0x40000, TByteArray(0x2000, 0x00));
        Sim->SetRegister(12, 1, c.Millivolts);
        Sim->ClearReceived();
        fs::remove(Dir / "20240229T123456_before_040000.bin");
        const TCliRun run = Run(c.Args);
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        if (c.Message) {
            EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
            EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());
        }
    }
}

// erase --range takes only whole sectors: both edges on a sector's edge,
// one byte off on either side refused before anything is sent.
TEST_F(TCliSafety, EraseRangeTakesWholeSectorsOnly)
{
    const struct {
        const char* Address;
        const char* Size;
        int Code;
        std::vector<std::uint32_t> Erased;
    } cases[] = {
        {"0x40000", "0x3000", 0, {0x40000, 0x41000, 0x42000}},
        {"0x40000", "0x1000", 0, {0x40000}},
        {"0xFFF000", "0x1000", 0, {0xFFF000}},
        {"0x40001", "0x1000", 2, {}},
        {"0x3FFFF", "0x1000", 2, {}},
        {"0x40000", "0xFFF", 2, {}},
        {"0x40000", "0x1001", 2, {}},
        {"0xFFF000", "0x1001", 2, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Address) + " " + c.Size);
        Sim->FillFlashWithPattern();
        Sim->ClearReceived();
        const TCliRun run = Run({"flash", "erase", "--range", c.Address, c.Size});
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        EXPECT_EQ(Sent(*Sim).Erased, c.Erased);
        for (std::uint32_t sector : c.Erased)
            EXPECT_EQ(Sim->Flash(sector, 0x1000), TByteArray(0x1000, 0xFF));
    }
    // Ctrl-C during the first erase: it finishes, the rest are not begun.
    Sim->FillFlashWithPattern();
    Sim->ClearReceived();
    const TByteArray rest = Sim->Flash(0x41000, 0x2000);
    Interrupting.Flag = 1;
    const TCliRun run = Run({"flash", "erase", "--range", "0x40000", "0x3000"});
    EXPECT_EQ(run.Code, 130) << run.Err;
    EXPECT_NE(run.Err.find("erased 0x040000-0x040FFF, not 0x041000-0x042FFF"), std::string::npos) << run.Err;
    EXPECT_EQ(Sent(*Sim).Erased, (std::vector<std::uint32_t>{0x40000}));
    EXPECT_EQ(Sim->Flash(0x41000, 0x2000), rest);
}

// --region: a file of exactly the region's size, one byte more or less refused.
TEST_F(TCliSafety, RegionFilesMustHaveTheRegionsSize)
{
    Sim->FillFlashWithPattern();
    const struct {
        const char* Command;
        std::size_t Size;
        int Code;
    } cases[] = {
        {"write", 0x40, 0}, {"write", 0x41, 2}, {"write", 0x3F, 2},
        {"verify", 0x40, 0}, {"verify", 0x41, 2}, {"verify", 0x3F, 2},
    };
    const TByteArray guid = Bytes(0x41, 5);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Command) + " " + std::to_string(c.Size));
        WriteBytes(Dir / "guid.bin", TByteArray(guid.begin(), guid.begin() + static_cast<std::ptrdiff_t>(c.Size)));
        fs::remove(Dir / "20240229T123456_before_FFF000.bin");
        Sim->ClearReceived();
        const TCliRun run = Run({"flash", c.Command, "--region", "guid", Dir / "guid.bin"});
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        if (c.Code == 2) {
            EXPECT_NE(run.Err.find("the guid region has 64"), std::string::npos) << run.Err;
            EXPECT_TRUE(Sim->Received().empty());
        }
    }
    EXPECT_EQ(Sim->Flash(0xFFF400, 0x40), TByteArray(guid.begin(), guid.begin() + 0x40));
    // Read and dump take the region's address and size.
    TCliRun run = Run({"flash", "read", "--region", "guid", "-o", Dir / "back.bin"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ReadBytes(Dir / "back.bin"), TByteArray(guid.begin(), guid.begin() + 0x40));
    run = Run({"flash", "dump", "--region", "guid", "-C", Dir.Path().string()});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(ReadBytes(Dir / "20240229T123456_guid.bin"), TByteArray(guid.begin(), guid.begin() + 0x40));
    EXPECT_TRUE(fs::exists(Dir / "20240229T123456_manifest.json"));
    EXPECT_EQ(Run({"flash", "read", "--region", "gui"}).Code, 2);
}

// A restore over a remote that differs from the dump in one sector of
// normal_app writes only that sector; when guid differs too, the last
// sector is erased once and the bytes between guid and manufacturer_pid
// (no region's) are kept.
TEST_F(TCliSafety, RestoreWritesOnlyWhatDiffersAndKeepsTheSharedSector)
{
    Sim->FillFlashWithPattern();
    TCliRun run = Run({"flash", "dump", "--parts", "-C", Dir.Path().string()});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const TByteArray dumped = Sim->Flash(0, 0x1000000);
    const struct {
        const char* Name;
        std::vector<std::uint32_t> Changed;  // sectors made to differ (one byte each, 0 to 1 bits)
        std::vector<std::uint32_t> Erased;
    } cases[] = {
        {"one sector of normal_app", {0x3E5000}, {0x3E5000}},
        {"and guid", {0x3E5000, 0xFFF000}, {0x3E5000, 0xFFF000}},
        {"nothing", {}, {}},
    };
    // A dry run plans the differing sector and sends nothing.
    Sim->SetFlash(0x3E5123, {0x00});
    Sim->ClearReceived();
    run = Run({"flash", "restore", Dir.Path().string(), "--regions", "normal_app", "--dry-run"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("Plan: 32 sectors, 31 unchanged, 0 program-only, 1 erase and write"), std::string::npos)
        << run.Out;
    EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim->SetFlash(0, dumped);
        for (std::uint32_t sector : c.Changed)
            Sim->SetFlash(sector == 0xFFF000 ? 0xFFF410 : sector + 0x123, {0x00});
        // The gap holds what no dump has: it must survive the erase.
        const TByteArray otherGap = Bytes(0x200, 9);
        Sim->SetFlash(0xFFF440, otherGap);
        Sim->ClearReceived();
        const std::string folder = Dir / (std::string("recovery-") + std::to_string(c.Changed.size()));
        fs::create_directory(folder);
        run = Run({"flash", "restore", Dir.Path().string(), "--regions",
                   "cpld,pic_library,guid,manufacturer_pid,normal_app", "-C", folder});
        ASSERT_EQ(run.Code, 0) << run.Err;
        const TSent sent = Sent(*Sim);
        EXPECT_EQ(sent.Erased, c.Erased);
        for (const auto& [address, size] : sent.Writes) {
            const std::uint32_t sector = address & ~0xFFFu;
            EXPECT_NE(std::find(c.Changed.begin(), c.Changed.end(), sector), c.Changed.end())
                << std::hex << address << " " << size;
        }
        EXPECT_EQ(Sim->Flash(0xFFF440, 0x200), otherGap);
        for (const TPart& part : FlashParts)
            EXPECT_TRUE(Sim->Flash(static_cast<std::uint32_t>(part.Start), static_cast<std::uint32_t>(part.Size)) ==
                        TByteArray(dumped.begin() + part.Start, dumped.begin() + part.Start + part.Size))
                << part.Name;
    }
}

// A dump's manifest: a file changed or missing since is refused and named
// before the remote is used.
TEST_F(TCliSafety, RestoreChecksTheManifest)
{
    Sim->FillFlashWithPattern();
    TCliRun run = Run({"flash", "dump", "--parts", "-C", Dir.Path().string()});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const fs::path manifest = Dir.Path() / "20240229T123456_manifest.json";
    ASSERT_TRUE(fs::exists(manifest));
    const TByteArray text = ReadBytes(manifest);
    const std::string json(text.begin(), text.end());
    const TByteArray cpld = ReadBytes(Dir / "20240229T123456_cpld.bin");
    EXPECT_NE(json.find("\"name\": \"20240229T123456_cpld.bin\", \"region\": \"cpld\", \"start\": 16711680, "
                        "\"size\": 16384, \"sha256\": \"" + ops::Sha256Hex(cpld.data(), cpld.size()) + "\""),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"version\": \""), std::string::npos) << json;

    const struct {
        const char* Name;
        std::function<void()> Spoil;
        const char* Regions;
        const char* Message;
        int Code = 4;
    } cases[] = {
        {"one bit changed", [&] { TByteArray b = cpld; b[100] ^= 1; WriteBytes(Dir / "20240229T123456_cpld.bin", b); },
         nullptr, "20240229T123456_cpld.bin\" has changed since the dump"},
        {"one byte more, named on purpose", [&] { TByteArray b = cpld; b.push_back(0); WriteBytes(Dir / "20240229T123456_cpld.bin", b); },
         "cpld", "cpld.bin\" has more than 16384 bytes", 2},
        {"missing", [&] { fs::remove(Dir / "20240229T123456_cpld.bin"); }, nullptr,
         "\"20240229T123456_cpld.bin\", listed in "},
        {"missing, named on purpose", [] {}, "guid,cpld", "\"20240229T123456_cpld.bin\", listed in "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Spoil();
        const int before = PlatformRequests;
        std::vector<std::string> args{"flash", "restore", Dir.Path().string()};
        if (c.Regions)
            args.insert(args.end(), {"--regions", c.Regions});
        run = Run(args);
        EXPECT_EQ(run.Code, c.Code) << run.Err;
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("nothing was written"), std::string::npos) << run.Err;
        EXPECT_EQ(PlatformRequests, before);
    }
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
// fitted is in the partial file, and the exit code says a file failed. A
// write's recovery file that does not fit stops the write before any change.
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
    TCliRun run = Run({"flash", "read", "0", "200000", "-o", (small / "out.bin").string()});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("No space left on device"), std::string::npos) << run.Err;
    EXPECT_EQ(ReadBytes(small / "out.bin"), OldContent);

    // A write whose recovery file does not fit changes nothing.
    const TByteArray old = Sim->Flash(0x40000, 0x20000);
    WriteBytes(Dir / "data.bin", Bytes(0x20000, 5));
    Sim->ClearReceived();
    run = Run({"flash", "write", "0x40000", Dir / "data.bin", "-C", small.string()});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("No space left on device; nothing was changed"), std::string::npos) << run.Err;
    EXPECT_TRUE(Sent(*Sim).Erased.empty() && Sent(*Sim).Writes.empty());
    EXPECT_EQ(Sim->Flash(0x40000, 0x20000), old);
}
#endif

}  // namespace
