// flash_image: what the flash image engine (ops::WriteImage) costs on a
// remote at the real pace, against the naive way of bringing an image onto
// the flash: erase every sector, write every byte, read every byte back.
//
//   flash_image [--quick] [--mib N] [--no-16mib] [--no-restore]
//
// The remote is the simulated one, paced (one 64-byte report per millisecond
// each way, as a full-speed interrupt endpoint) with a 45 ms sector erase.
// The naive time is not run but computed from rates measured first on the
// same remote: one sector erase, one byte written, one byte read (in the
// largest chunks). Every case prints its time, the naive time for the same
// bytes and their ratio, and the goal it is held to, PASS or MISS. A MISS is
// a figure to look at, not a failure: the program exits 0 whenever every case
// ran and its result was right.
//
// Cases: a 1 MiB image onto blank flash; the same image again, unchanged; the
// same with one sector changed; the same change with a base; a 1 MiB image
// half of it 0xFF onto erased flash; a 16 MiB image with one sector changed,
// with a base; a restore of the nine regions onto a remote that differs from
// them in one sector of normal_app. --quick measures 256 KiB images and
// leaves out the restore (about a minute in all instead of six).

#include "FlashImage.h"
#include "FlashParts.h"
#include "Operations.h"
#include "SimRemote.h"

#include "BenchLoop.h"

#include "CorvaneInterface.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

using TClock = std::chrono::steady_clock;
constexpr std::uint32_t Sector = ops::FlashSectorSize;
constexpr double MiB = 1024.0 * 1024.0;

// Says nothing, never stops.
class TQuietSink : public ops::IOpsSink {
public:
    void Line(const std::string& line) override { LastLine = line; }
    void Lines(const std::vector<std::string>&) override {}
    void Progress(const ops::TProgress&) override {}
    bool KeepGoing() override { return true; }
    std::string LastLine;
};

// A paced simulated remote with the flash's own erase time, connected.
struct TBench {
    TBenchLoop Loop;
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Sim;
    std::unique_ptr<TCorvaneOne> Remote;
    TQuietSink Sink;
    ops::TSystemClock Clock;
    ops::TDiskFiles Files;

    TBench()
    {
        TSimRemote::TOptions options;
        options.Paced = true;
        Sim = std::make_shared<TSimRemote>(options);
        Sim->WithFirmware([](TRemoteFirmware& firmware, TRemoteFirmware::TTime) {
            firmware.SetEraseTime(std::chrono::milliseconds(45));
        });
        Bus.Plug(Sim);
        Remote = std::make_unique<TCorvaneOne>(Bus, Loop);
        if (!Remote->Connected()) {
            std::fprintf(stderr, "flash_image: the simulated remote was not found\n");
            std::exit(1);
        }
    }

    ops::TOpsContext Ctx() { return {*Remote, Sink, Clock, Files}; }
};

// CPU time of the whole process, every thread.
double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Since(TClock::time_point start) { return std::chrono::duration<double>(TClock::now() - start).count(); }

[[noreturn]] void Die(const std::string& what)
{
    std::fprintf(stderr, "flash_image: %s\n", what.c_str());
    std::exit(1);
}

// Bytes that are neither 0xFF nor 0x00 and differ between seeds.
TByteArray Noise(std::size_t size, std::uint32_t seed)
{
    TByteArray data(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::uint8_t& byte : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x % 254);  // never 0xFF
    }
    return data;
}

// The rates of the naive sequence, measured on a fresh remote: 16 erases,
// 256 KiB written, and a read pass over readBytes (the small images' size),
// all in the largest chunks. The read pass is long on purpose: the goals
// are counted in it, and a short one varies with the machine's load.
struct TRates {
    double EraseSeconds = 0;  // per sector
    double WriteSeconds = 0;  // per byte
    double ReadSeconds = 0;   // per byte

    double Naive(std::uint64_t bytes, std::uint64_t sectors) const
    {
        return static_cast<double>(sectors) * EraseSeconds + static_cast<double>(bytes) * (WriteSeconds + ReadSeconds);
    }
    double ReadPass(std::uint64_t bytes) const { return static_cast<double>(bytes) * ReadSeconds; }
};

TRates MeasureRates(std::uint32_t readBytes)
{
    TBench bench;
    TRates rates;
    constexpr int Erases = 16;
    auto start = TClock::now();
    for (int i = 0; i < Erases; ++i)
        if (!bench.Remote->EraseFlashSector(0x200000 + static_cast<std::uint32_t>(i) * Sector))
            Die("erase failed while measuring");
    rates.EraseSeconds = Since(start) / Erases;

    constexpr int Chunks = 4;
    const TByteArray data = Noise(ops::LargestChunk, 1);
    start = TClock::now();
    for (int i = 0; i < Chunks; ++i)
        if (!bench.Remote->WriteFlash(data, 0x300000 + static_cast<std::uint32_t>(i) * 0x10000, ops::LargestChunk))
            Die("write failed while measuring");
    rates.WriteSeconds = Since(start) / (Chunks * ops::LargestChunk);

    TByteArray read;
    start = TClock::now();
    for (std::uint32_t done = 0; done < readBytes;) {
        const auto n = static_cast<std::uint16_t>(std::min<std::uint32_t>(ops::LargestChunk, readBytes - done));
        if (!bench.Remote->ReadFlash(read, 0x300000 + done, n) || read.size() != n)
            Die("read failed while measuring");
        done += n;
    }
    rates.ReadSeconds = Since(start) / readBytes;
    return rates;
}

struct TRun {
    double Seconds = 0;
    ops::TImageResult Result;
};

TRun Run(TBench& bench, const ops::TImage& target, const ops::TImageOptions& options = {})
{
    ops::TOpsContext ctx = bench.Ctx();
    TRun run;
    const auto start = TClock::now();
    run.Result = ops::WriteImage(ctx, target, options);
    run.Seconds = Since(start);
    if (!run.Result.Ok())
        Die("WriteImage failed: " + run.Result.Error + " (" + bench.Sink.LastLine + ")");
    for (const ops::TImagePiece& piece : target)
        if (bench.Sim->Flash(piece.Address, static_cast<std::uint32_t>(piece.Bytes.size())) != piece.Bytes)
            Die("the flash does not hold the image afterwards");
    return run;
}

std::uint64_t SectorsOf(const ops::TImage& image) { return ops::TouchedSectors(image).size(); }

int Misses = 0;

// One case's line: its time, the naive time and their ratio, what the
// engine did.
void Report(const char* name, const TRun& run, double naive)
{
    const ops::TFlashPlan& plan = run.Result.Plan;
    std::printf("%-44s %8.2f s   naive %8.1f s   %7.1fx faster\n", name, run.Seconds, naive, naive / run.Seconds);
    std::printf("%-44s %d sectors: %d unchanged, %d program-only, %d erase+write; %d writes, %llu bytes sent\n", "",
                static_cast<int>(plan.Sectors.size()), plan.Unchanged, plan.ProgramOnly, plan.EraseWrite,
                plan.Writes, static_cast<unsigned long long>(plan.BytesSent));
}

void Goal(const char* text, bool met, double figure, const char* unit)
{
    std::printf("%-44s goal %s: %.2f%s  %s\n", "", text, figure, unit, met ? "PASS" : "MISS");
    if (!met)
        ++Misses;
}

ops::TImage One(std::uint32_t address, TByteArray bytes) { return ops::TImage{{address, std::move(bytes)}}; }

// A sector of the image given other bytes.
void ChangeSector(TByteArray& image, std::uint32_t offset, std::uint32_t seed)
{
    const TByteArray other = Noise(Sector, seed);
    std::copy(other.begin(), other.end(), image.begin() + offset);
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint32_t imageBytes = 1u << 20;
    bool whole = true;
    bool restore = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            imageBytes = 256u << 10;
            restore = false;
        } else if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const double mib = std::strtod(argv[++i], &end);
            if (*end != '\0' || mib < 0.0625 || mib > 8) {
                std::fprintf(stderr, "flash_image: --mib takes 0.0625 to 8\n");
                return 2;
            }
            imageBytes = static_cast<std::uint32_t>(mib * MiB) / Sector * Sector;
        } else if (std::strcmp(argv[i], "--no-16mib") == 0) {
            whole = false;
        } else if (std::strcmp(argv[i], "--no-restore") == 0) {
            restore = false;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--quick] [--mib N] [--no-16mib] [--no-restore]\n"
                         "  --quick       256 KiB images and no restore (about a minute)\n"
                         "  --mib N       the size of the small images (default 1)\n"
                         "  --no-16mib    leave out the 16 MiB image with a base\n"
                         "  --no-restore  leave out the restore of the nine regions\n",
                         argv[0]);
            return 2;
        }
    }

    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each case as it ends, also into a file
    std::printf("flash_image: ops::WriteImage on the paced simulated remote (45 ms sector erase)\n");
    const TRates rates = MeasureRates(imageBytes);
    std::printf("measured: erase %.1f ms a sector, write %.0f B/s, read %.0f B/s (65,535-byte chunks);\n"
                "one read pass of %u bytes %.2f s\n\n",
                rates.EraseSeconds * 1000, 1 / rates.WriteSeconds, 1 / rates.ReadSeconds, imageBytes,
                rates.ReadPass(imageBytes));

    const std::uint32_t at = 0x100000;
    const double size = imageBytes / MiB;
    char name[64];
    TByteArray image = Noise(imageBytes, 7);
    {
        TBench bench;
        const ops::TImage target = One(at, image);
        const double naive = rates.Naive(imageBytes, SectorsOf(target));
        const double readPass = rates.ReadPass(imageBytes);

        std::snprintf(name, sizeof name, "%.2f MiB image onto blank flash", size);
        const TRun blank = Run(bench, target);
        Report(name, blank, naive);

        const TRun again = Run(bench, target);
        Report("the same image again, unchanged", again, naive);
        Goal("<= 1.05 x one read pass", again.Seconds <= 1.05 * readPass, again.Seconds / readPass, " x");

        TByteArray changed = image;
        ChangeSector(changed, imageBytes / 2, 11);
        const TRun one = Run(bench, One(at, changed));
        Report("one sector changed", one, naive);
        Goal("<= 1.1 x one read pass", one.Seconds <= 1.1 * readPass, one.Seconds / readPass, " x");

        TByteArray changedAgain = changed;
        ChangeSector(changedAgain, imageBytes / 4, 13);
        ops::TImageOptions withBase;
        withBase.Base = One(at, changed);
        const TRun based = Run(bench, One(at, changedAgain), withBase);
        Report("one sector changed, with base", based, naive);
        Goal("< 2 s", based.Seconds < 2, based.Seconds, " s");

        // Half of every sector 0xFF, in 2 KiB runs: partly filled sectors.
        TBench erased;
        TByteArray half = image;
        for (std::uint32_t offset = 0; offset < imageBytes; offset += Sector)
            std::fill(half.begin() + offset + Sector / 2, half.begin() + offset + Sector, 0xFF);
        const TRun halfRun = Run(erased, One(at, half));
        std::snprintf(name, sizeof name, "%.2f MiB image, half 0xFF, onto erased", size);
        Report(name, halfRun, naive);
        Goal(">= 1.5 x faster than every byte written", blank.Seconds / halfRun.Seconds >= 1.5,
             blank.Seconds / halfRun.Seconds, " x");
    }

    if (whole) {
        TBench bench;
        const TByteArray flash = Noise(TSimRemote::FlashSize, 17);
        bool loaded = false;
        bench.Sim->WithFirmware(
            [&](TRemoteFirmware& firmware, TRemoteFirmware::TTime) { loaded = firmware.LoadFlash(flash); });
        if (!loaded)
            Die("the 16 MiB image was not loaded");
        TByteArray changed = flash;
        ChangeSector(changed, 0x9A5000, 19);
        ops::TImageOptions withBase;
        withBase.Base = One(0, flash);
        const ops::TImage target = One(0, std::move(changed));
        const double naive = rates.Naive(TSimRemote::FlashSize, SectorsOf(target));
        // Where the time goes: reading the base's sample back and planning
        // (a dry run), then the whole run.
        ops::TImageOptions dry = withBase;
        dry.DryRun = true;
        ops::TOpsContext ctx = bench.Ctx();
        const double cpuBefore = CpuSeconds();
        const auto start = TClock::now();
        const ops::TImageResult planned = ops::WriteImage(ctx, target, dry);
        const double dryRun = Since(start);
        const double dryCpu = CpuSeconds() - cpuBefore;
        if (!planned.Ok())
            Die("the dry run failed: " + planned.Error);
        const std::vector<std::uint32_t> sample = ops::SampleSectors(ops::TouchedSectors(target));
        const std::size_t samples = sample.size();
        std::size_t requests = 0;  // adjacent sample sectors are read together
        for (std::size_t i = 0; i < samples; ++i)
            requests += i == 0 || sample[i - 1] + Sector != sample[i];
        const TRun run = Run(bench, target, withBase);
        Report("16 MiB image, one sector changed, with base", run, naive);
        std::printf("%-44s before any write (a dry run): %.2f s, CPU %.2f s; the %zu sample sectors\n"
                    "%-44s take %.2f s at the read rate, in %zu requests\n",
                    "", dryRun, dryCpu, samples, "", rates.ReadPass(samples * Sector), requests);
        Goal("< 2 s", run.Seconds < 2, run.Seconds, " s");
        Goal(">= 300 x faster than naive", naive / run.Seconds >= 300, naive / run.Seconds, " x");
    }

    if (restore) {
        TBench bench;
        bench.Sim->FillFlashWithPattern();
        ops::TImage regions;
        for (const TPart& part : FlashParts)
            regions.push_back({static_cast<std::uint32_t>(part.Start),
                               bench.Sim->Flash(static_cast<std::uint32_t>(part.Start),
                                                static_cast<std::uint32_t>(part.Size))});
        // The remote has since changed in one sector of normal_app.
        bench.Sim->SetFlash(0x3D8000, Noise(Sector, 23));
        const TRun run = Run(bench, regions);
        // normal_app lies inside user_configuration: its bytes count once.
        const std::uint64_t bytes = run.Result.Plan.TargetBytes;
        Report("restore of the nine regions, one sector off", run, rates.Naive(bytes, SectorsOf(regions)));
        const double readPass = rates.ReadPass(bytes);
        Goal("<= 1.1 x one read pass", run.Seconds <= 1.1 * readPass, run.Seconds / readPass, " x");
    }

    std::printf("\n%d goal(s) missed (figures only: the build does not depend on them)\n", Misses);
    return 0;
}
