// The flash image engine: its plan as a table of target and flash bytes,
// then runs on the simulated remote that check what the flash holds after.

#include "OpsFixture.h"

#include "FlashImage.h"
#include "FlashParts.h"

#include <algorithm>
#include <set>

namespace {

using ops::TImage;
using ops::TOutcome;
using ops::TRange;
using ops::TSectorAction;
using ops::TSectors;
constexpr std::uint32_t Sector = ops::FlashSectorSize;

TByteArray Fill(std::size_t size, std::uint8_t byte) { return TByteArray(size, byte); }

// Bytes that are never 0xFF, so runs of 0xFF in a case are the ones it spells.
TByteArray NoFF(std::size_t size, int seed)
{
    TByteArray data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(seed)) % 255);
    return data;
}

TByteArray Cat(std::initializer_list<TByteArray> parts)
{
    TByteArray all;
    for (const TByteArray& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// An erased flash with pieces set on it, as whole sectors for the sectors
// given.
TSectors FlashOf(const std::vector<std::uint32_t>& sectors, const TImage& pieces)
{
    TSectors flash;
    for (std::uint32_t s : sectors) flash[s] = Fill(Sector, 0xFF);
    for (const ops::TImagePiece& piece : pieces)
        for (std::size_t i = 0; i < piece.Bytes.size(); ++i) {
            const auto at = piece.Address + static_cast<std::uint32_t>(i);
            auto it = flash.find(at & ~(Sector - 1));
            if (it != flash.end()) it->second[at % Sector] = piece.Bytes[i];
        }
    return flash;
}

// The plan, one row per case: what the target and the flash hold, and per
// touched sector the action and the ranges sent. Every row is also checked
// for what any plan must do: the final content is the target's bytes and
// the flash's own elsewhere, and erasing (where planned) then writing the
// ranges with flash AND semantics gives exactly that content.
TEST(FlashImagePlan, SectorActionsAndSentRanges)
{
    struct TExpect {
        std::uint32_t Sector;
        TSectorAction Action;
        std::vector<TRange> Writes;
    };
    struct TCase {
        const char* Name;
        TImage Target;
        TImage Flash;  // set on an erased flash
        std::vector<TExpect> Sectors;
        const char* Error = nullptr;
    };
    using A = TSectorAction;
    const TCase cases[] = {
        {"size 0 touches nothing", {{0x1000, {}}}, {}, {}},
        {"one byte onto erased flash", {{0x1234, {0x5A}}}, {}, {{0x1000, A::Program, {{0x1234, 1}}}}},
        {"one byte needing an erase sends the sector's kept bytes too",
         {{0x1234, {0x5A}}},
         {{0x1000, Fill(16, 0x11)}, {0x1234, {0x00}}},
         {{0x1000, A::EraseWrite, {{0x1000, 0x235}}}}},
        {"4095 bytes leave the sector's last byte as it was",
         {{0x2000, NoFF(4095, 2)}},
         {{0x2FFF, {0x42}}},
         {{0x2000, A::Program, {{0x2000, 4095}}}}},
        {"4096 bytes onto other data", {{0x3000, NoFF(4096, 3)}}, {{0x3000, NoFF(4096, 4)}},
         {{0x3000, A::EraseWrite, {{0x3000, 4096}}}}},
        {"4097 bytes: a sector and one byte of the next",
         {{0x5000, NoFF(4097, 5)}},
         {},
         {{0x5000, A::Program, {{0x5000, 4096}}}, {0x6000, A::Program, {{0x6000, 1}}}}},
        {"the flash holds the target already", {{0x7000, NoFF(300, 6)}}, {{0x7000, NoFF(300, 6)}},
         {{0x7000, A::Unchanged, {}}}},
        {"program-only: equal bytes between spans sent, a long equal run not",
         {{0x8000, Fill(10, 0x70)}, {0x8064, Fill(10, 0x30)}, {0x8800, Fill(32, 0xF0)}, {0x8F00, Fill(16, 0x10)}},
         {{0x8000, Fill(4096, 0xF0)}},
         {{0x8000, A::Program, {{0x8000, 0x6E}, {0x8F00, 16}}}}},
        {"after an erase: 0xFF at the edges not sent, a short run inside sent, a long one not",
         {{0x9000, Cat({Fill(100, 0xFF), Fill(50, 0x12), Fill(1000, 0xFF), Fill(50, 0x34), Fill(1600, 0xFF),
                        Fill(20, 0x56), Fill(1276, 0xFF)})}},
         {{0x9000, Fill(4096, 0x00)}},
         {{0x9000, A::EraseWrite, {{0x9064, 1100}, {0x9AF0, 20}}}}},
        {"an erase that leaves only 0xFF sends nothing", {{0xA000, Fill(8, 0xFF)}}, {{0xA000, Fill(8, 0x00)}},
         {{0xA000, A::EraseWrite, {}}}},
        {"the shared last sector: guid and manufacturer_pid, the rest kept",
         {{0xFFF400, Fill(64, 0xA5)}, {0xFFF640, Fill(64, 0x5A)}},
         {{0xFFF000, Fill(16, 0x11)}, {0xFFF400, Fill(64, 0x00)}, {0xFFF640, Fill(64, 0x00)},
          {0xFFFE00, Fill(512, 0x22)}},
         {{0xFFF000, A::EraseWrite, {{0xFFF000, 0x680}, {0xFFFE00, 0x200}}}}},
        {"the shared last sector full of data is sent whole",
         {{0xFFF400, Fill(64, 0xA5)}, {0xFFF640, Fill(64, 0x5A)}},
         {{0xFFF000, NoFF(4096, 7)}},
         {{0xFFF000, A::EraseWrite, {{0xFFF000, 4096}}}}},
        {"an image that ends exactly at 16 MiB",
         {{0xFFE000, NoFF(0x2000, 8)}},
         {},
         {{0xFFE000, A::Program, {{0xFFE000, 4096}}}, {0xFFF000, A::Program, {{0xFFF000, 4096}}}}},
        {"one byte past 16 MiB is refused", {{0xFFF000, NoFF(4097, 1)}}, {}, {}, "run past the end"},
        {"overlapping pieces that agree are one target", {{0x10000, Fill(32, 1)}, {0x10010, Fill(32, 1)}}, {},
         {{0x10000, A::Program, {{0x10000, 48}}}}},
        {"overlapping pieces that disagree are refused", {{0x10000, Fill(32, 1)}, {0x10010, Fill(32, 2)}}, {}, {},
         "disagree at 0x010010"},
        {"a sector given whole, then a piece of it that disagrees in its last byte",
         {{0x11000, Fill(4096, 1)}, {0x11FF0, Cat({Fill(15, 1), {2}})}}, {}, {}, "disagree at 0x011FFF"},
        {"a piece, then its sector whole and agreeing", {{0x12100, Fill(16, 3)}, {0x12000, Fill(4096, 3)}}, {},
         {{0x12000, A::Program, {{0x12000, 4096}}}}},
        {"a piece, then its sector whole and disagreeing", {{0x12100, Fill(16, 3)}, {0x12000, Fill(4096, 4)}}, {},
         {}, "disagree at 0x012100"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        const std::vector<std::uint32_t> touched = ops::TouchedSectors(test.Target);
        const TSectors flash = FlashOf(touched, test.Flash);
        const ops::TFlashPlan plan = ops::PlanImage(test.Target, flash);
        if (test.Error) {
            EXPECT_NE(plan.Error.find(test.Error), std::string::npos) << plan.Error;
            EXPECT_TRUE(plan.Sectors.empty());
            continue;
        }
        ASSERT_TRUE(plan.Ok()) << plan.Error;
        ASSERT_EQ(plan.Sectors.size(), test.Sectors.size());
        std::uint64_t sent = 0;
        int counts[3] = {};
        for (std::size_t i = 0; i < plan.Sectors.size(); ++i) {
            const ops::TSectorPlan& got = plan.Sectors[i];
            EXPECT_EQ(got.Address, test.Sectors[i].Sector);
            EXPECT_EQ(got.Action, test.Sectors[i].Action) << std::hex << got.Address;
            EXPECT_EQ(got.Writes, test.Sectors[i].Writes) << std::hex << got.Address;

            // The final content: target bytes over the flash's own.
            TByteArray expected = flash.at(got.Address);
            for (const ops::TImagePiece& piece : test.Target)
                for (std::size_t b = 0; b < piece.Bytes.size(); ++b) {
                    const auto at = piece.Address + static_cast<std::uint32_t>(b);
                    if ((at & ~(Sector - 1)) == got.Address) expected[at % Sector] = piece.Bytes[b];
                }
            EXPECT_TRUE(got.Final == expected);

            // Carried out on a flash that only clears bits, it gives the final content.
            TByteArray result = got.Action == A::EraseWrite ? Fill(Sector, 0xFF) : flash.at(got.Address);
            std::uint32_t sectorSent = 0;
            for (const TRange& write : got.Writes) {
                ASSERT_GE(write.Address, got.Address);
                ASSERT_LE(write.Address + write.Size, got.Address + Sector);
                for (std::uint32_t b = 0; b < write.Size; ++b)
                    result[write.Address - got.Address + b] &= got.Final[write.Address - got.Address + b];
                sectorSent += write.Size;
            }
            EXPECT_TRUE(result == got.Final);
            EXPECT_EQ(got.Sent, sectorSent);
            sent += sectorSent;
            ++counts[static_cast<int>(got.Action)];
        }
        EXPECT_EQ(plan.BytesSent, sent);
        EXPECT_EQ(plan.BytesSkipped, plan.Sectors.size() * Sector - sent);
        EXPECT_EQ(plan.Unchanged, counts[0]);
        EXPECT_EQ(plan.ProgramOnly, counts[1]);
        EXPECT_EQ(plan.EraseWrite, counts[2]);
    }
}

// A sector whose content is not known cannot be planned.
TEST(FlashImagePlan, MissingSectorIsAnError)
{
    const ops::TFlashPlan plan = ops::PlanImage({{0x1FFF, {1, 2}}}, FlashOf({0x1000}, {}));
    EXPECT_EQ(plan.Error, "what the flash holds in sector 0x002000 is not known");
}

// The dry-run text: a summary, one line per sector with work, a run of
// unchanged sectors on one line.
TEST(FlashImagePlan, PlanLines)
{
    const TImage target{{0x40000, Fill(3 * Sector, 0x00)}, {0x43010, {0x01}}, {0x45000, {0x02}}};
    const TSectors flash = FlashOf({0x40000, 0x41000, 0x42000, 0x43000, 0x45000},
                                   {{0x40000, Fill(3 * Sector, 0x00)}, {0x45000, {0x00}}});
    const ops::TFlashPlan plan = ops::PlanImage(target, flash);
    EXPECT_EQ(ops::PlanLines(plan),
              (std::vector<std::string>{
                  "Plan: 5 sectors, 3 unchanged, 1 program-only, 1 erase and write",
                  "Send 2 bytes in 2 writes, skip 20478; about 0.1 s at 62000 bytes/s",
                  "0x040000-0x042FFF unchanged (3 sectors)",
                  "0x043000 program-only: 0x043010-0x043010 (1)",
                  "0x045000 erase and write: 0x045000-0x045000 (1)",
              }));
}

// The sample that checks a base: at least one sector per region and per MiB
// the target touches, none that it does not touch.
TEST(FlashImagePlan, SampleSectors)
{
    struct TCase {
        std::vector<std::uint32_t> Touched;
        std::vector<std::uint32_t> Sample;
    };
    const TCase cases[] = {
        {{}, {}},
        {{0x0000}, {0x0000}},                                      // in no region, MiB 0
        {{0x1000, 0x2000, 0x3000}, {0x3000}},                      // embedded_configuration's middle serves MiB 0
        {{0xFFE000, 0xFFF000}, {0xFFE000, 0xFFF000}},              // pic_library; guid and manufacturer_pid
        {{0x0FF000, 0x100000, 0x101000}, {0x0FF000, 0x100000}},    // user_configuration's serves MiB 1; MiB 0's own
        {{0x3CF000, 0x3D0000, 0x3D1000, 0x3D2000}, {0x3D1000}},    // one sector serves normal_app, user_configuration, MiB 3
    };
    for (const TCase& test : cases) EXPECT_EQ(ops::SampleSectors(test.Touched), test.Sample);
}

// Whatever the target, the sample holds a sector of every region and of
// every MiB it touches, only touched ones, and no more than that needs.
TEST(FlashImagePlan, SampleCoversEveryRegionAndMiB)
{
    const auto every = [](std::uint32_t from, std::uint32_t to, std::uint32_t step) {
        std::vector<std::uint32_t> sectors;
        for (std::uint32_t s = from; s < to; s += step) sectors.push_back(s);
        return sectors;
    };
    TImage regions;
    for (const TPart& part : FlashParts)
        regions.push_back({static_cast<std::uint32_t>(part.Start), Fill(static_cast<std::size_t>(part.Size), 0)});
    const struct {
        const char* Name;
        std::vector<std::uint32_t> Touched;
        std::size_t Size;
        std::size_t Reads;  // runs of adjacent sectors
    } cases[] = {
        {"the whole flash: the last MiB's five regions lie apart", every(0, ops::FlashSize, Sector), 20, 12},
        {"the nine regions", ops::TouchedSectors(regions), 9, 6},
        {"every fifth sector over normal_app and two MiBs", every(0x3A0000, 0x460000, 5 * Sector), 2, 2},
        {"one sector", {0xFF5000}, 1, 1},
    };
    constexpr std::uint64_t MiB = 0x100000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<std::uint32_t> sample = ops::SampleSectors(c.Touched);
        EXPECT_EQ(sample.size(), c.Size);
        std::size_t reads = 0;
        for (std::size_t i = 0; i < sample.size(); ++i) reads += i == 0 || sample[i - 1] + Sector != sample[i];
        EXPECT_EQ(reads, c.Reads);
        EXPECT_TRUE(std::is_sorted(sample.begin(), sample.end()));
        EXPECT_TRUE(std::includes(c.Touched.begin(), c.Touched.end(), sample.begin(), sample.end()));
        const auto holds = [](const std::vector<std::uint32_t>& sectors, std::uint64_t start, std::uint64_t end) {
            return std::any_of(sectors.begin(), sectors.end(),
                               [&](std::uint32_t s) { return s < end && s + Sector > start; });
        };
        for (const TPart& part : FlashParts) {
            const auto start = static_cast<std::uint64_t>(part.Start);
            const auto end = start + static_cast<std::uint64_t>(part.Size);
            EXPECT_EQ(holds(sample, start, end), holds(c.Touched, start, end)) << part.Name;
        }
        for (std::uint64_t mib = 0; mib < ops::FlashSize; mib += MiB)
            EXPECT_EQ(holds(sample, mib, mib + MiB), holds(c.Touched, mib, mib + MiB)) << std::hex << mib;
    }
}

// What a person at the bench needs from a failed verify.
TEST(FlashImagePlan, MismatchReport)
{
    struct TCase {
        const char* Name;
        std::vector<std::tuple<std::uint32_t, TByteArray, TByteArray>> Compared;  // address, expected, read
        std::vector<std::string> Lines;
    };
    const TCase cases[] = {
        {"written onto data: every difference a 1 read as 0",
         {{0x0219C0, Fill(16, 0xFF), Cat({Fill(8, 0xFF), {0x12, 0x12}, Fill(6, 0xFF)})},
          {0x0219D0, Fill(4, 0xAA), Cat({{0x0A}, Fill(3, 0xAA)})}},
         {"Verify failed at 0x0219C8: expected FF, read 12", "3 bytes differ: 14 bits read 0 where 1 was expected, 0 bits read 1 where 0 was expected",
          "Regions: none", "not erased? Every difference is a 1 read as 0", "Differing ranges:",
          "  0x0219C8-0x0219C9 (2 bytes)", "  0x0219D0-0x0219D0 (1 byte)"}},
        {"a bit read 1 where 0 was expected: no hint; regions that overlap both named",
         {{0x3D0010, {0x00, 0x00}, {0x01, 0x00}}, {0x000010, {0x10}, {0x00}}},
         {"Verify failed at 0x3D0010: expected 00, read 01", "2 bytes differ: 1 bit read 0 where 1 was expected, 1 bit read 1 where 0 was expected",
          "Regions: normal_app, user_configuration, none", "Differing ranges:", "  0x3D0010-0x3D0010 (1 byte)",
          "  0x000010-0x000010 (1 byte)"}},
        {"equal bytes report nothing", {{0xFFF400, Fill(64, 1), Fill(64, 1)}}, {}},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        ops::TMismatchReport report;
        for (const auto& [address, expected, actual] : test.Compared)
            ops::CompareInto(report, address, expected, actual, true);
        EXPECT_EQ(ops::MismatchLines(report), test.Lines);
    }
}

// --- Runs on the simulated remote ----------------------------------------------------------

struct TFlashImageTest : TOpsFixture {
    // What a touched sector should hold: the target over its old content.
    static TByteArray Expected(std::uint32_t sector, const TByteArray& old, const TImage& target)
    {
        TByteArray bytes = old;
        for (const ops::TImagePiece& piece : target)
            for (std::size_t b = 0; b < piece.Bytes.size(); ++b) {
                const auto at = piece.Address + static_cast<std::uint32_t>(b);
                if ((at & ~(Sector - 1)) == sector) bytes[at % Sector] = piece.Bytes[b];
            }
        return bytes;
    }

    TSectors SimSectors(const std::vector<std::uint32_t>& sectors) const
    {
        TSectors held;
        for (std::uint32_t s : sectors) held[s] = Sim->Flash(s, Sector);
        return held;
    }

    // Requests of one packet type the remote received.
    int Requests(std::uint8_t type)
    {
        const TReports received = Received();
        return static_cast<int>(std::count_if(received.begin(), received.end(), [&](const TByteArray& r) {
            return !r.empty() && (r[0] & 0xF0) == type;
        }));
    }
};

// Partial sectors, an unchanged sector and the shared last sector: the
// flash ends with the target and every other byte of those sectors as it
// was; what was read first is in the result; progress runs through the
// phases from 0, never backwards, to its total.
TEST_F(TFlashImageTest, WritesTheTargetAndKeepsTheRest)
{
    Sim->FillFlashWithPattern();
    const TImage target{{0x40100, NoFF(0x2000, 9)},
                        {0x50000, Sim->Flash(0x50000, Sector)},
                        {0xFFF400, Fill(64, 0xA5)},
                        {0xFFF640, Fill(64, 0x5A)}};
    const std::vector<std::uint32_t> touched{0x40000, 0x41000, 0x42000, 0x50000, 0xFFF000};
    ASSERT_EQ(ops::TouchedSectors(target), touched);
    const TSectors before = SimSectors(touched);

    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target);
    ASSERT_EQ(result.Outcome, TOutcome::Done) << result.Error;
    EXPECT_EQ(result.Before, before);
    EXPECT_EQ(result.Plan.Unchanged, 1);
    EXPECT_EQ(result.SectorsDone, 5);
    for (std::uint32_t s : touched)
        EXPECT_TRUE(Sim->Flash(s, Sector) == Expected(s, before.at(s), target)) << std::hex << s;
    EXPECT_EQ(result.Verified, 4u * Sector);  // the written sectors
    EXPECT_EQ(Sink.LogLines.back(), "Verified 16384 bytes");

    ASSERT_FALSE(Sink.Steps.empty());
    EXPECT_EQ(Sink.Steps.front().What, "read");
    EXPECT_EQ(Sink.Steps.front().Done, 0u);
    std::set<std::string> phases;
    for (std::size_t i = 0; i < Sink.Steps.size(); ++i) {
        phases.insert(Sink.Steps[i].What);
        if (i > 0) {
            EXPECT_GE(Sink.Steps[i].Done, Sink.Steps[i - 1].Done);
        }
        EXPECT_LE(Sink.Steps[i].Done, Sink.Steps[i].Total);
    }
    EXPECT_EQ(phases, (std::set<std::string>{"read", "erase", "write", "verify"}));
    EXPECT_EQ(Sink.Steps.back().Done, Sink.Steps.back().Total);

    // Run again: the flash holds it all, nothing is erased or written; the
    // whole target is read back when asked.
    Received();
    ops::TImageOptions options;
    options.Verify = ops::TImageVerify::Target;
    const ops::TImageResult again = ops::WriteImage(ctx, target, options);
    EXPECT_EQ(again.Outcome, TOutcome::Done);
    EXPECT_EQ(again.Plan.Unchanged, 5);
    EXPECT_EQ(again.Verified, 5u * Sector);
    EXPECT_EQ(Requests(PKT_ERASE_SECTOR) + Requests(PKT_WRITE_FLASH), 0);
}

// A stop is honoured between sectors only: at every question each sector
// holds either its old content or its new one, never 0xFF of an erase
// without its write; the stop leaves the later sectors as they were.
TEST_F(TFlashImageTest, StopBetweenSectorsLeavesNoSectorHalfDone)
{
    Sim->FillFlashWithPattern();
    const TImage target{{0x100800, NoFF(5 * Sector, 3)}};
    const std::vector<std::uint32_t> touched = ops::TouchedSectors(target);
    ASSERT_EQ(touched.size(), 6u);
    const TSectors before = SimSectors(touched);
    int checked = 0;
    Sink.OnQuestion = [&] {
        for (std::uint32_t s : touched) {
            const TByteArray now = Sim->Flash(s, Sector);
            EXPECT_TRUE(now == before.at(s) || now == Expected(s, before.at(s), target)) << std::hex << s;
        }
        ++checked;
    };
    Sink.StopAfter = 2;
    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target);
    EXPECT_EQ(result.Outcome, TOutcome::Stopped);
    EXPECT_EQ(result.Plan.EraseWrite, 6);
    EXPECT_EQ(result.SectorsDone, 3);
    EXPECT_EQ(checked, 3);
    EXPECT_FALSE(result.HalfWritten);
    for (std::size_t i = 0; i < touched.size(); ++i) {
        const TByteArray now = Sim->Flash(touched[i], Sector);
        EXPECT_TRUE(now == (i < 3 ? Expected(touched[i], before.at(touched[i]), target) : before.at(touched[i]))) << i;
    }
    EXPECT_EQ(Sink.LogLines.back(), "Stopped after sector 0x102000, 3 of 6 sectors done");
}

// The remote fails after an erase, on the sector's write: the result names
// the sector, and what it held is in the result to put back.
TEST_F(TFlashImageTest, FailureBetweenEraseAndWriteNamesTheSector)
{
    Sim->FillFlashWithPattern();
    const TImage target{{0x200010, NoFF(2 * Sector, 1)}};
    const TSectors before = SimSectors({0x200000, 0x201000, 0x202000});
    TSimFaults faults;
    faults.FlashWriteNoAck = true;
    Sim->SetFaults(faults);
    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target);
    EXPECT_EQ(result.Outcome, TOutcome::Failed);
    ASSERT_EQ(result.Plan.Sectors.size(), 3u);
    EXPECT_EQ(result.Plan.Sectors[0].Action, TSectorAction::EraseWrite);
    ASSERT_TRUE(result.HalfWritten);
    EXPECT_EQ(*result.HalfWritten, 0x200000u);
    EXPECT_EQ(result.SectorsDone, 0);
    EXPECT_NE(result.Error.find("sector 0x200000 is erased but not written"), std::string::npos) << result.Error;
    EXPECT_EQ(result.Before, before);
    Sim->SetFaults({});
    EXPECT_TRUE(Sim->Flash(0x201000, 2 * Sector) == Cat({before.at(0x201000), before.at(0x202000)}));
}

// A base that the flash no longer holds is refused before anything is
// erased or written; a base it does hold spares the reads of the sectors
// outside the sample.
TEST_F(TFlashImageTest, StaleBaseIsRefused)
{
    Sim->FillFlashWithPattern();
    ops::TImageOptions options;
    options.Base = TImage{{0x300000, Sim->Flash(0x300000, 4 * Sector)}};
    options.BaseName = "20261206T172805_flash.bin";
    const TImage target{{0x300000, Fill(4 * Sector, 0x00)}};
    ASSERT_EQ(ops::SampleSectors(ops::TouchedSectors(target)), std::vector<std::uint32_t>{0x302000});

    const std::uint8_t old = Sim->Flash(0x302010, 1)[0];
    Sim->SetFlash(0x302010, {static_cast<std::uint8_t>(~old)});
    Received();
    ops::TOpsContext ctx = Ctx();
    ops::TImageResult result = ops::WriteImage(ctx, target, options);
    EXPECT_EQ(result.Outcome, TOutcome::Failed);
    ASSERT_TRUE(result.BaseDiffers);
    EXPECT_EQ(*result.BaseDiffers, 0x302010u);
    EXPECT_EQ(result.Error, "the flash does not hold 20261206T172805_flash.bin at 0x302010");
    EXPECT_EQ(Sink.LogLines.back(), result.Error);
    EXPECT_TRUE(result.Plan.Sectors.empty());
    const TReports received = Received();
    ASSERT_EQ(received.size(), 1u);  // the sample's read alone
    EXPECT_EQ(received[0][0] & 0xF0, PKT_READ_FLASH);

    Sim->SetFlash(0x302010, {old});
    options.Verify = ops::TImageVerify::None;
    result = ops::WriteImage(ctx, target, options);
    EXPECT_EQ(result.Outcome, TOutcome::Done) << result.Error;
    EXPECT_EQ(result.Before.size(), 1u);
    EXPECT_EQ(Requests(PKT_READ_FLASH), 1);
    EXPECT_TRUE(Sim->Flash(0x300000, 4 * Sector) == Fill(4 * Sector, 0x00));
}

// A base the flash no longer holds in any one sampled sector, at its first
// or its last byte, is refused there before anything is erased or written.
TEST_F(TFlashImageTest, StaleBaseRefusedAtEverySampledSector)
{
    Sim->FillFlashWithPattern();
    ops::TImageOptions options;
    options.Base = TImage{{0x3C0000, Sim->Flash(0x3C0000, 0x80000)}, {0xFE0000, Sim->Flash(0xFE0000, 0x20000)}};
    TImage target = *options.Base;
    target[0].Bytes[0x1234] ^= 0xFF;
    // normal_app's (with user_configuration and MiB 3), MiB 4's, the last MiB's five regions.
    const std::vector<std::uint32_t> sample = ops::SampleSectors(ops::TouchedSectors(target));
    ASSERT_EQ(sample.size(), 7u);
    for (std::size_t i = 0; i < sample.size(); ++i) {
        const std::uint32_t at = sample[i] + (i % 2 ? Sector - 1 : 0);
        SCOPED_TRACE(at);
        const TByteArray was = Sim->Flash(at, 1);
        Sim->SetFlash(at, {static_cast<std::uint8_t>(~was[0])});
        Received();
        ops::TOpsContext ctx = Ctx();
        const ops::TImageResult result = ops::WriteImage(ctx, target, options);
        EXPECT_EQ(result.Outcome, TOutcome::Failed);
        ASSERT_TRUE(result.BaseDiffers);
        EXPECT_EQ(*result.BaseDiffers, at);
        EXPECT_EQ(Requests(PKT_ERASE_SECTOR) + Requests(PKT_WRITE_FLASH), 0);
        Sim->SetFlash(at, was);
    }
}

// What the read-back covers: every byte written, and every byte of an
// erased sector; of a program-only sector read before, not the bytes the
// write never touched; of one known only from the base, all of it.
TEST_F(TFlashImageTest, ReadBackCoversEveryByteWritten)
{
    const TByteArray erased = Fill(2 * Sector, 0xFF);
    const TByteArray zeros = Cat({Fill(0x100, 0xFF), Fill(0x100, 0x00), Fill(0x1E00, 0xFF)});
    const struct {
        const char* Name;
        TByteArray Old;  // at 0x60000, two sectors
        bool WithBase;   // the sample is 0x61000: 0x60000 is the base's word
        std::uint32_t Flaky;
        bool Read;
    } cases[] = {
        {"program-only, the run's first byte", erased, false, 0x60100, true},
        {"program-only, the run's last byte", erased, false, 0x601FF, true},
        {"program-only, the byte after the run", erased, false, 0x60200, false},
        {"program-only, far from the run", erased, false, 0x60FFF, false},
        {"erased, a 0xFF not sent", zeros, false, 0x60FFF, true},
        {"program-only from the base, far from the run", erased, true, 0x60FFF, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim->SetFaults({});
        Sim->SetFlash(0x60000, c.Old);
        const TImage target{{0x60100, NoFF(0x100, 1)}, {0x61000, Fill(16, 0xFF)}};
        ops::TImageOptions options;
        if (c.WithBase) options.Base = TImage{{0x60000, c.Old}};
        options.BeforeChange = [&](const ops::TImageResult&) {
            TSimFaults faults;
            faults.FlashFlipAt = static_cast<int>(c.Flaky);
            Sim->SetFaults(faults);
            return std::string();
        };
        ops::TOpsContext ctx = Ctx();
        const ops::TImageResult result = ops::WriteImage(ctx, target, options);
        EXPECT_EQ(result.Outcome, c.Read ? TOutcome::VerifyMismatch : TOutcome::Done) << result.Error;
        if (c.Read) {
            ASSERT_TRUE(result.Mismatch);
            EXPECT_EQ(result.Mismatch->First, c.Flaky);
        } else {
            EXPECT_EQ(result.Verified, 0x100u);
        }
    }
    Sim->SetFaults({});
}

// Abort set during a write (the window's stop) cuts its data short while the
// remote still acknowledges the close: that sector is named, not counted done.
TEST_F(TFlashImageTest, AbortInsideAWriteNamesTheSector)
{
    const TImage target{{0x10000, NoFF(2 * Sector, 2)}};
    Loop.OnDispatch = [&] { Corvane->Abort = true; };
    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target);
    Loop.OnDispatch = nullptr;
    EXPECT_EQ(result.Outcome, TOutcome::Failed);
    ASSERT_TRUE(result.HalfWritten);
    EXPECT_EQ(*result.HalfWritten, 0x10000u);
    EXPECT_EQ(result.SectorsDone, 0);
    EXPECT_FALSE(Corvane->Abort);
}

// A base that is wrong outside its sample: a sector believed erased holds
// data, so the plan programs without an erase and the read-back shows
// every difference as a 1 read as 0.
TEST_F(TFlashImageTest, UnerasedWriteIsReportedAsSuch)
{
    Sim->FillFlashWithPattern();
    Sim->SetFlash(0x303000, Fill(Sector, 0x0F));
    ops::TImageOptions options;
    options.Base = TImage{{0x300000, Sim->Flash(0x300000, 3 * Sector)}, {0x303000, Fill(Sector, 0xFF)}};
    options.ListRanges = true;
    const TImage target{{0x300000, Sim->Flash(0x300000, 3 * Sector)}, {0x303100, Fill(32, 0xAA)}};
    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target, options);
    EXPECT_EQ(result.Outcome, TOutcome::VerifyMismatch);
    EXPECT_EQ(result.Plan.ProgramOnly, 1);
    ASSERT_TRUE(result.Mismatch);
    const ops::TMismatchReport& report = *result.Mismatch;
    EXPECT_EQ(report.First, 0x303000u);  // the rest of the sector is not the 0xFF believed either
    EXPECT_EQ(report.Bytes, Sector);
    EXPECT_EQ(report.OnesReadAsZero, (Sector - 32) * 4 + 32 * 2);
    EXPECT_EQ(report.ZerosReadAsOne, 0u);
    EXPECT_TRUE(report.NotErased());
    EXPECT_EQ(report.Regions, std::vector<std::string>{"user_configuration"});
    EXPECT_EQ(report.Ranges, (std::vector<TRange>{{0x303000, Sector}}));
    EXPECT_EQ(result.Verified, 0u);
    const std::vector<std::string> tail(Sink.LogLines.end() - 6, Sink.LogLines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "Verify failed at 0x303000: expected FF, read 0F",
                        "4096 bytes differ: 16320 bits read 0 where 1 was expected, 0 bits read 1 where 0 was expected",
                        "Regions: user_configuration",
                        "not erased? Every difference is a 1 read as 0",
                        "Differing ranges:",
                        "  0x303000-0x303FFF (4096 bytes)",
                    }));
}

// The dry run reads and plans, and changes nothing.
TEST_F(TFlashImageTest, DryRunChangesNothing)
{
    Sim->FillFlashWithPattern();
    ops::TImageOptions options;
    options.DryRun = true;
    const TImage target{{0xFFF400, Fill(64, 0xA5)}};
    const TByteArray before = Sim->Flash(0xFFF000, Sector);
    Received();
    ops::TOpsContext ctx = Ctx();
    const ops::TImageResult result = ops::WriteImage(ctx, target, options);
    EXPECT_EQ(result.Outcome, TOutcome::Done);
    EXPECT_EQ(result.Plan.Sectors.size(), 1u);
    EXPECT_EQ(Requests(PKT_ERASE_SECTOR) + Requests(PKT_WRITE_FLASH), 0);
    EXPECT_TRUE(Sim->Flash(0xFFF000, Sector) == before);
}

}  // namespace

namespace {

// The hook before the first change: it sees the plan and Before, is not
// asked when nothing changes, and its refusal leaves the flash untouched.
TEST_F(TFlashImageTest, BeforeChangeSeesThePlanAndMayRefuse)
{
    Sim->FillFlashWithPattern();
    const TImage target{{0x40100, NoFF(0x200, 3)}};
    const TByteArray before = Sim->Flash(0x40000, Sector);
    const struct {
        const char* Name;
        TImage Target;
        std::string Refusal;
        int Calls;
        TOutcome Outcome;
        bool Changed;
    } cases[] = {
        {"goes on", target, "", 1, TOutcome::Done, true},
        {"refuses", target, "no recovery file", 1, TOutcome::Failed, false},
        {"nothing to change", {{0x40000, before}}, "never asked", 0, TOutcome::Done, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Sim->SetFlash(0x40000, before);
        Received();
        int calls = 0;
        ops::TImageOptions options;
        options.BeforeChange = [&](const ops::TImageResult& sofar) {
            ++calls;
            EXPECT_EQ(sofar.Before.count(0x40000), 1u);
            EXPECT_EQ(sofar.Plan.Sectors.size(), 1u);
            EXPECT_EQ(Requests(PKT_ERASE_SECTOR) + Requests(PKT_WRITE_FLASH), 0);
            return c.Refusal;
        };
        ops::TOpsContext ctx = Ctx();
        const ops::TImageResult result = ops::WriteImage(ctx, c.Target, options);
        EXPECT_EQ(calls, c.Calls);
        EXPECT_EQ(result.Outcome, c.Outcome);
        if (c.Outcome == TOutcome::Failed) {
            EXPECT_EQ(result.Error, c.Refusal);
        }
        EXPECT_EQ(Sim->Flash(0x40000, Sector) != before, c.Changed);
    }
}

}  // namespace
