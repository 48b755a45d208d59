// The page operations against the simulated remote, without Qt: what each
// reports (its lines, progress, files) and returns.

#include "OpsFixture.h"

#include "FlashParts.h"
#include "Files.h"

#include <functional>

namespace {

using TOpsTest = TOpsFixture;
using ops::TOutcome;

constexpr std::uint16_t Chunk = 3000;  // not a multiple of 16

TByteArray Pattern(std::size_t size, int seed)
{
    TByteArray data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(seed));
    return data;
}

// Short operations: the line each logs and what its result carries.
TEST_F(TOpsTest, ShortOperationsLineAndResult)
{
    struct TCase {
        const char* Name;
        std::function<TOutcome(TOpsTest&, ops::TOpsContext&)> Run;
        std::vector<std::string> Lines;
    };
    const TCase cases[] = {
        {"misc byte narrows the index",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Sim->SetRegister(7, 5, 0x3C);
             const auto r = ops::ReadMisc(c, false, 7, 0x105);
             EXPECT_EQ(r.Value, 0x3C);
             EXPECT_EQ(r.Index, 5);
             return r.Outcome;
         },
         {"Read    (hex):    3C @   05"}},
        {"misc word",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Sim->SetRegister(0, 0x1234, 0xBEEF);
             return ops::ReadMisc(c, true, 0, 0x1234).Outcome;
         },
         {"Read    (hex):  BEEF @ 1234"}},
        {"misc write word narrows index and data",
         [](TOpsTest& t, ops::TOpsContext& c) {
             const auto r = ops::WriteMisc(c, true, 6, -1, 0x12345);
             t.Sim->WaitIdle();
             EXPECT_EQ(t.Sim->Register(6, 0xFFFF), 0x2345);
             return r.Outcome;
         },
         {"Written (hex):  2345 @ FFFF"}},
        {"battery with an Arabic separator",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Sim->SetRegister(12, 1, 3912);
             c.DecimalSeparator = "\u066B";
             const auto r = ops::ReadBattery(c);
             EXPECT_EQ(r.Millivolts, 3912);
             EXPECT_EQ(r.Percent, 60);
             return r.Outcome;
         },
         {"Battery level: 3\u066B912 V (60%)"}},
        {"clock",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Sim->SetClock(2026, 12, 6, 1, 17, 28, 5);
             const auto r = ops::ReadClock(c);
             EXPECT_EQ(r.Year, 2026);
             EXPECT_EQ(r.Month, 12);
             EXPECT_EQ(r.DayOfWeek, 1);
             return r.Outcome;
         },
         {"Data/time: 20261206T172805"}},
        {"clock set from the context's clock",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Clock.Time = {2031, 2, 28, 23, 59, 58, 5};  // a Friday
             const auto r = ops::SetClock(c);
             t.Sim->WaitIdle();
             EXPECT_EQ(t.Sim->Register(1, 4), 6);   // Friday, counted from Sunday = 1
             EXPECT_EQ(t.Sim->Register(1, 6), 31);  // years since 2000
             return r.Outcome;
         },
         {"Current date/time written"}},
        {"reset by type", [](TOpsTest&, ops::TOpsContext& c) { return ops::Reset(c, 3).Outcome; },
         {"Reset device disconnect successful"}},
        {"reset type out of range", [](TOpsTest&, ops::TOpsContext& c) { return ops::Reset(c, 5).Outcome; }, {}},
        {"erase names the signed index",
         [](TOpsTest&, ops::TOpsContext& c) { return ops::EraseSector(c, 0xFFFFFFFF).Outcome; },
         {"Flash sector -1 erased"}},
        {"hardware flag is bit 0",
         [](TOpsTest& t, ops::TOpsContext& c) {
             t.Sim->SetRegister(12, 0, 0xFFFE);
             return ops::ReadHardwareFlag(c).Outcome;
         },
         {"Hardware flag NOT SET"}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        ops::TOpsContext ctx = Ctx();
        const TOutcome outcome = test.Run(*this, ctx);
        EXPECT_EQ(outcome, test.Lines.empty() ? TOutcome::BadInput : TOutcome::Done);
        EXPECT_EQ(Sink.Take(), test.Lines);
    }
}

// A remote that does not answer fails; one that is gone is "no device".
TEST_F(TOpsTest, FailuresAreFailedOrNoDevice)
{
    using TRun = std::function<TOutcome(ops::TOpsContext&)>;
    const std::pair<TRun, std::string> cases[] = {
        {[](ops::TOpsContext& c) { return ops::ReadVersion(c).Outcome; }, "Error reading version information"},
        {[](ops::TOpsContext& c) { return ops::ReadMisc(c, true, 0, 0).Outcome; }, "Read failed"},
        {[](ops::TOpsContext& c) { return ops::WriteMisc(c, false, 0, 0, 0).Outcome; }, "Write failed"},
        {[](ops::TOpsContext& c) { return ops::EraseSector(c, 0).Outcome; }, "Erase flash sector failed"},
        {[](ops::TOpsContext& c) { return ops::WriteTestPattern(c, 0, 16).Outcome; }, "Write flash failed"},
    };
    TSimFaults silent;
    silent.Silent = true;
    Sim->SetFaults(silent);
    for (const auto& [run, line] : cases) {
        ops::TOpsContext ctx = Ctx();
        EXPECT_EQ(run(ctx), TOutcome::Failed) << line;
        EXPECT_EQ(Sink.Take().back(), line);
    }
    Bus.Unplug(Sim);
    ASSERT_TRUE(Loop.RunUntil([&] { return !Corvane->Connected(); }));
    for (const auto& [run, line] : cases) {
        ops::TOpsContext ctx = Ctx();
        EXPECT_EQ(run(ctx), TOutcome::NoDevice) << line;
        EXPECT_EQ(Sink.Take().back(), line);
    }
    EXPECT_TRUE(Files.Created.empty());
}

// A read of more than one chunk: one block of whole lines per chunk, the
// line that straddles two chunks whole, progress from 0, and a stop that
// keeps what was read.
TEST_F(TOpsTest, ChunkedReadAndItsHexLines)
{
    const TByteArray flash = Pattern(10000, 3);
    Sim->SetFlash(0x10, flash);
    ops::TOpsContext ctx = Ctx();
    const auto result = ops::ReadFlash(ctx, 0x10, 10000, Chunk);
    EXPECT_EQ(result.Outcome, TOutcome::Done);
    EXPECT_TRUE(result.Data == flash);
    ASSERT_EQ(Sink.LogLines.size(), 1u + 625u);
    EXPECT_EQ(Sink.LogLines[0], "Flash dump (hex):");
    EXPECT_EQ(Sink.LogLines[1].substr(0, 10), "000010: 03");
    EXPECT_EQ(Sink.LogLines[188].substr(0, 8), "000BC0: ");  // bytes 2992-2999 and 3000-3007
    EXPECT_EQ(Sink.LogLines[188].size(), 8u + 16u * 3u - 1u);
    EXPECT_EQ(Sink.Blocks, 4);
    ASSERT_EQ(Sink.Steps.size(), 5u);
    EXPECT_EQ(Sink.Steps[0].Done, 0u);
    EXPECT_EQ(Sink.Steps[1].Done, 3000u);
    EXPECT_EQ(Sink.Steps[4].Done, 10000u);
    EXPECT_EQ(Sink.Steps[4].Total, 10000u);

    Sink = {};
    Sink.StopAfter = 0;
    const auto stopped = ops::ReadFlash(ctx, 0x10, 10000, Chunk, false);
    EXPECT_EQ(stopped.Outcome, TOutcome::Stopped);
    EXPECT_EQ(stopped.Data.size(), 3000u);
    EXPECT_TRUE(Sink.LogLines.empty());
}

// The two dumps: file names, content, progress that starts at 0 and never
// goes backwards, and where they stop.
TEST_F(TOpsTest, DumpsIntoFiles)
{
    Sim->FillFlashWithPattern();
    Clock.Step = 600;
    Sink.StopAfter = 4;
    ops::TOpsContext ctx = Ctx();
    const auto whole = ops::DumpWholeFlash(ctx);
    EXPECT_EQ(whole.Outcome, TOutcome::Stopped);
    EXPECT_EQ(Sink.Take(), (std::vector<std::string>{
                               "Reading flash started, writing data to 20261206T172805_flash.bin", "Reading done"}));
    EXPECT_EQ(whole.Bytes, 5u * 0x8000u);
    EXPECT_TRUE(Files.Content["20261206T172805_flash.bin"] == Sim->Flash(0, 5 * 0x8000));
    EXPECT_EQ(Files.Closed.count("20261206T172805_flash.bin"), 1u);
    ASSERT_EQ(Sink.Steps.size(), 6u);
    EXPECT_EQ(Sink.Steps[0].Done, 0u);
    EXPECT_EQ(Sink.Steps[0].Total, ops::FlashSize);
    EXPECT_EQ(Sink.Steps[1].Rate, 0);  // less than a second
    EXPECT_GT(Sink.Steps[2].Rate, 0);

    // The parts dump, stopped after its third region (four chunks).
    Sink = {};
    Sink.StopAfter = 3;
    const auto parts = ops::DumpFlashParts(ctx);
    EXPECT_EQ(parts.Outcome, TOutcome::Stopped);
    ASSERT_EQ(parts.Files.size(), 3u);
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < parts.Files.size(); ++i) {
        const TPart& part = FlashParts[i];
        const std::string name = "20261206T172805_" + std::string(part.Name) + ".bin";
        EXPECT_EQ(parts.Files[i], name);
        EXPECT_TRUE(Files.Content[name] == Sim->Flash(static_cast<std::uint32_t>(part.Start),
                                                      static_cast<std::uint32_t>(part.Size)))
            << name;
        lines.push_back("Writing data to " + name);
    }
    lines.push_back("Reading done");
    EXPECT_EQ(Sink.Take(), lines);
    ASSERT_EQ(Sink.Steps.size(), 5u);
    for (std::size_t i = 1; i < Sink.Steps.size(); ++i) EXPECT_GT(Sink.Steps[i].Done, Sink.Steps[i - 1].Done);
    EXPECT_EQ(Sink.Steps.back().Done, 0x14000u);
    EXPECT_EQ(Sink.Steps.back().Total, 0x413080u);  // the nine regions
}

// File trouble is an outcome with the file named; a dump refused while a
// write holds the link creates nothing.
TEST_F(TOpsTest, DumpFileErrorsAndRefusal)
{
    ops::TOpsContext ctx = Ctx();
    Files.FailCreate.insert("20261206T172805_flash.bin");
    auto result = ops::DumpWholeFlash(ctx);
    EXPECT_EQ(result.Outcome, TOutcome::FileError);
    EXPECT_NE(result.Error.find("20261206T172805_flash.bin"), std::string::npos);
    EXPECT_TRUE(Sink.LogLines.empty());

    Files.FailWrite.insert("20261206T172805_cpld.bin");
    result = ops::DumpFlashParts(ctx);
    EXPECT_EQ(result.Outcome, TOutcome::FileError);
    EXPECT_EQ(Files.Created.size(), 3u);
    EXPECT_EQ(Sink.Take().back(), "Writing data to 20261206T172805_cpld.bin");

    Files = {};
    std::optional<ops::TDumpResult> nested;
    Loop.OnDispatch = [&] {
        if (!nested) nested = ops::DumpFlashParts(ctx);
    };
    EXPECT_TRUE(ops::WriteFlashData(ctx, 0, Pattern(4096, 1), false).Ok());
    Loop.OnDispatch = nullptr;
    ASSERT_TRUE(nested);
    EXPECT_EQ(nested->Outcome, TOutcome::Failed);
    EXPECT_TRUE(Files.Created.empty());
    EXPECT_EQ(Sink.Take(), (std::vector<std::string>{"Operation in progress", "Written 4096 bytes at 000000"}));
}

// A verified dump on a remote with a flaky byte in its second chunk. Two
// reads that differ are read again once; a difference in that pair too ends
// the dump there, with the address of the byte, what came before it kept and
// the files closed.
TEST_F(TOpsTest, VerifiedDumpRereadsFlakyChunks)
{
    struct TCase {
        const char* Name;
        bool Parts;
        bool Verify;
        int FlipReads;  // reads the fault hits (-1: every one)
        TOutcome Outcome;
        std::uint64_t Bytes;
        bool Intact;  // what was written equals the flash
    };
    // 3000-byte chunks: the bootloader's second is its last, 1096 bytes.
    const TCase cases[] = {
        {"whole, one flaky read", false, true, 1, TOutcome::Stopped, 9000, true},
        {"whole, both reads of the pair flaky, another bit each", false, true, 2, TOutcome::Stopped, 9000, true},
        {"whole, the retry's first read flaky too", false, true, 3, TOutcome::Failed, 3000, true},
        {"whole, every read flaky", false, true, -1, TOutcome::Failed, 3000, true},
        {"whole, unverified, takes the flaky read", false, false, 1, TOutcome::Stopped, 9000, false},
        {"parts, one flaky read of a region's last chunk", true, true, 1, TOutcome::Stopped, 7096, true},
        {"parts, every read flaky", true, true, -1, TOutcome::Failed, 3000, true},
    };
    Sim->FillFlashWithPattern();
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        Files = {};
        const std::uint32_t start = test.Parts ? 0xFE0000 : 0;
        const std::uint32_t at = start + 3000 + 186;
        TSimFaults faults;
        faults.FlashFlipAt = static_cast<int>(at);
        faults.FlashFlipReads = test.FlipReads;
        Sim->SetFaults(faults);
        TRecordingSink sink;
        sink.StopAfter = 2;
        ops::TOpsContext ctx{*Corvane, sink, Clock, Files, Separator};
        const ops::TDumpResult result = test.Parts ? ops::DumpFlashParts(ctx, Chunk, test.Verify)
                                                   : ops::DumpWholeFlash(ctx, Chunk, test.Verify);
        Sim->SetFaults({});
        EXPECT_EQ(result.Outcome, test.Outcome);
        EXPECT_EQ(result.Bytes, test.Bytes);

        const std::string file = result.Files.front();
        EXPECT_EQ(Files.Closed.count(file), 1u);
        const auto first = static_cast<std::uint32_t>(Files.Content[file].size());
        EXPECT_EQ(Files.Content[file] == Sim->Flash(start, first), test.Intact);
        if (test.Outcome == TOutcome::Failed) {
            char line[40], where[40];
            std::snprintf(line, sizeof line, "Reads differ at %6.6X", at);
            std::snprintf(where, sizeof where, "differ at 0x%6.6X", at);
            EXPECT_EQ(sink.LogLines.back(), line);
            EXPECT_NE(result.Error.find(where), std::string::npos) << result.Error;
        } else {
            EXPECT_EQ(sink.LogLines.back(), "Reading done");
            EXPECT_TRUE(result.Error.empty());
        }
    }
}

// A write in chunks with read-back; a write onto unerased flash names the
// first differing address and both bytes, and counts every difference;
// nothing is sent past 16 MiB.
TEST_F(TOpsTest, WriteAndVerify)
{
    ops::TOpsContext ctx = Ctx();
    const TByteArray data = Pattern(7000, 1);
    auto result = ops::WriteFlashData(ctx, 0x20000, data, true, Chunk);
    EXPECT_EQ(result.Outcome, TOutcome::Done);
    EXPECT_EQ(result.Written, 7000u);
    EXPECT_EQ(result.Verified, 7000u);
    EXPECT_EQ(Sink.Take(), (std::vector<std::string>{"Written 7000 bytes at 020000", "Verified 7000 bytes at 020000"}));
    EXPECT_TRUE(Sim->Flash(0x20000, 7000) == data);
    EXPECT_EQ(Sink.Steps.front().What, "write");
    EXPECT_EQ(Sink.Steps.back().What, "verify");

    TByteArray other = data;
    other[6600] = 0xFF;  // flash programming only clears bits
    result = ops::WriteFlashData(ctx, 0x20000, other, true, Chunk);
    EXPECT_EQ(result.Outcome, TOutcome::VerifyMismatch);
    ASSERT_TRUE(result.Mismatch);
    EXPECT_EQ(result.Mismatch->Address, 0x20000u + 6600u);
    EXPECT_EQ(result.Mismatch->Expected, 0xFF);
    EXPECT_EQ(result.Mismatch->Actual, data[6600]);
    EXPECT_EQ(result.Verified, 6999u);  // read on to the end: every other byte is equal
    ASSERT_FALSE(result.Report.empty());
    EXPECT_EQ(result.Report.front().rfind("1 byte differs: ", 0), 0u) << result.Report.front();
    char line[64];
    std::snprintf(line, sizeof line, "Verify failed at 0219C8: expected FF, read %2.2X", data[6600]);
    EXPECT_EQ(Sink.Take().back(), line);
    EXPECT_EQ(ops::VerifyFlashData(ctx, 0x20000, data, Chunk).Outcome, TOutcome::Done);

    Sim->ClearReceived();
    EXPECT_EQ(ops::WriteFlashData(ctx, 0xFFFFF0, TByteArray(17), false).Outcome, TOutcome::BadInput);
    EXPECT_TRUE(Received().empty());
}

TEST_F(TOpsTest, CaptureGoesToItsFile)
{
    Sim->SetIrCapture(Pattern(40, 2), std::chrono::milliseconds(0));
    ops::TOpsContext ctx = Ctx();
    const auto result = ops::CaptureIr(ctx);
    EXPECT_EQ(result.Outcome, TOutcome::Done);
    EXPECT_EQ(Sink.Take(), (std::vector<std::string>{"Starting capture", "IR capture success"}));
    EXPECT_EQ(result.File, "CAPTURED.BIN");
    EXPECT_TRUE(Files.Content["CAPTURED.BIN"] == result.Data);
    EXPECT_EQ(result.Data.size(), 42u);  // with the end marker
}

}  // namespace

// A folder and a file name, joined as the system shows paths: on Windows
// with a backslash unless the folder was given with slashes only.
TEST(TJoinPath, TheSystemsSeparatorOnce)
{
    struct TCase {
        const char* Dir;
        std::string Joined;
    };
#ifdef _WIN32
    const std::string separated = "dumps\\sub\\a.bin";
    const std::string typed = "C:\\dumps\\a.bin";
#else
    const std::string separated = "dumps\\sub/a.bin";
    const std::string typed = "C:\\dumps/a.bin";
#endif
    for (const TCase& c : {TCase{"", "a.bin"}, TCase{"out/", "out/a.bin"}, TCase{"out\\", "out\\a.bin"},
                           TCase{"out/sub", "out/sub/a.bin"}, TCase{"dumps\\sub", separated},
                           TCase{"C:\\dumps", typed}}) {
        EXPECT_EQ(ops::JoinPath(c.Dir, "a.bin"), c.Joined) << c.Dir;
    }
}
