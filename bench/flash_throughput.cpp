// flash_throughput: how fast a whole-flash dump moves through the real stack.
//
// Dumps the simulated remote's 16 MiB flash as the console's whole-flash dump
// does: ReadFlash in chunks of 32,768 bytes from address 0, pending messages
// dispatched between chunks, production timing. TCorvaneOne talks to a
// TUsbDevice whose reader thread and ring carry the reports; the remote
// answers from its own thread through the simulated bus.
//
//   flash_throughput [--paced-mib N] [--unpaced-mib N] [--paced-write-kib N]
//
// Paced, the remote sends one 64-byte report per millisecond, like a
// full-speed interrupt endpoint: at most 62 data bytes per ms, 62,000 B/s, so
// the whole flash takes about 270 s. By default 1 MiB is measured paced and
// the whole 16 MiB unpaced. Every chunk is checked against the remote's flash
// (outside the measured time).
//
// Then a paced write: the host's writes are paced too (one output report per
// millisecond, as a real remote's write() returns when its interrupt transfer
// is done), so a write can move at most 62 data bytes per ms as well.

#include "BenchLoop.h"
#include "CorvaneInterface.h"
#include "SimRemote.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

constexpr std::uint32_t ChunkSize = 32768;  // the console's dump chunk
constexpr double MiB = 1024.0 * 1024.0;
constexpr double PacingLimit = 62000.0;     // data bytes per second at 1 report/ms

double CpuSeconds(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

rusage Usage()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

long PeakRssKiB() { return Usage().ru_maxrss; }

struct TResult {
    bool Ok = false;
    std::string Error;
    std::uint32_t Bytes = 0;
    int Chunks = 0;
    double Seconds = 0;     // inside ReadFlash
    double CpuSeconds = 0;  // of the whole process (all threads) inside ReadFlash
};

TResult Dump(bool paced, std::uint32_t bytes)
{
    TResult result;
    TBenchLoop loop;
    TSimHidBus bus;
    TSimRemote::TOptions options;
    options.Paced = paced;
    auto sim = std::make_shared<TSimRemote>(options);
    sim->FillFlashWithPattern();
    bus.Plug(sim);
    TCorvaneOne remote(bus, loop);
    if (!remote.Connected()) {
        result.Error = "the simulated remote was not found";
        return result;
    }

    TByteArray chunk;
    for (std::uint32_t address = 0; address < bytes; address += ChunkSize) {
        const auto size = static_cast<std::uint16_t>(std::min(ChunkSize, bytes - address));
        const rusage before = Usage();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = remote.ReadFlash(chunk, address, size);
        const auto end = std::chrono::steady_clock::now();
        const rusage after = Usage();
        result.Seconds += std::chrono::duration<double>(end - start).count();
        result.CpuSeconds += CpuSeconds(after) - CpuSeconds(before);

        char where[64];
        std::snprintf(where, sizeof where, " at address 0x%06X", address);
        if (!ok || chunk.size() != size) {
            result.Error = std::string(ok ? "no data" : "read failed") + where;
            return result;
        }
        if (chunk != sim->Flash(address, size)) {
            result.Error = std::string("data differs from the flash") + where;
            return result;
        }
        result.Bytes += size;
        ++result.Chunks;
        loop.DispatchMessages(false);
    }
    result.Ok = true;
    return result;
}

void Print(const char* name, const TResult& r, bool paced)
{
    if (!r.Ok) {
        std::printf("%-8s FAILED after %u bytes: %s\n", name, r.Bytes, r.Error.c_str());
        return;
    }
    const double rate = r.Bytes / r.Seconds;
    std::printf("%-8s %6.2f MiB in %7.2f s: %10.0f B/s", name, r.Bytes / MiB, r.Seconds, rate);
    if (paced)
        std::printf(" = %5.1f%% of the pacing limit (62,000 B/s)", 100.0 * rate / PacingLimit);
    std::printf("\n         %d chunks, %.1f ms each", r.Chunks, 1000.0 * r.Seconds / r.Chunks);
    if (paced) {
        // One report per ms, 62 data bytes each, and the closing
        // acknowledgement: the least a chunk can take.
        const double floorMs = static_cast<double>((ChunkSize + 61) / 62 + 1);
        std::printf(" (floor at 1 report/ms: %.0f ms)", floorMs);
    }
    std::printf("; CPU %.3f s per MiB\n", r.CpuSeconds / (r.Bytes / MiB));
}

// A paced write of bytes in chunks of ChunkSize onto erased flash, checked
// against the remote's flash afterwards.
TResult PacedWrite(std::uint32_t bytes)
{
    TResult result;
    TBenchLoop loop;
    TSimHidBus bus;
    TSimRemote::TOptions options;
    options.Paced = true;
    auto sim = std::make_shared<TSimRemote>(options);
    bus.Plug(sim);
    TCorvaneOne remote(bus, loop);
    if (!remote.Connected()) {
        result.Error = "the simulated remote was not found";
        return result;
    }
    TByteArray data(bytes);
    for (std::uint32_t i = 0; i < bytes; ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    for (std::uint32_t address = 0; address < bytes; address += ChunkSize) {
        const auto size = static_cast<std::uint16_t>(std::min(ChunkSize, bytes - address));
        const TByteArray chunk(data.begin() + address, data.begin() + address + size);
        const auto start = std::chrono::steady_clock::now();
        const bool ok = remote.WriteFlash(chunk, address, size);
        result.Seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok) {
            result.Error = "write failed";
            return result;
        }
        result.Bytes += size;
        ++result.Chunks;
        loop.DispatchMessages(false);
    }
    if (sim->Flash(0, bytes) != data) {
        result.Error = "the flash differs from what was written";
        return result;
    }
    result.Ok = true;
    return result;
}

bool ParseMiB(const char* text, std::uint32_t& bytes)
{
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || value < 0 || value > 16)
        return false;
    bytes = static_cast<std::uint32_t>(value * MiB);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint32_t pacedBytes = 1u << 20;
    std::uint32_t unpacedBytes = TSimRemote::FlashSize;
    std::uint32_t writeBytes = 64 * 1024;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--paced-write-kib") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long kib = std::strtol(argv[i + 1], &end, 10);
            if (*end == '\0' && kib >= 0 && kib <= 16 * 1024) {
                writeBytes = static_cast<std::uint32_t>(kib) * 1024;
                ++i;
                continue;
            }
        }
        const bool paced = std::strcmp(argv[i], "--paced-mib") == 0;
        const bool unpaced = std::strcmp(argv[i], "--unpaced-mib") == 0;
        if ((paced || unpaced) && i + 1 < argc && ParseMiB(argv[i + 1], paced ? pacedBytes : unpacedBytes)) {
            ++i;
            continue;
        }
        std::fprintf(stderr,
                     "usage: %s [--paced-mib N] [--unpaced-mib N] [--paced-write-kib N]\n"
                     "  MiB of flash to dump (0 to 16; 0 skips): paced default 1, unpaced default 16\n"
                     "  KiB of flash to write paced (0 skips): default 64\n",
                     argv[0]);
        return 2;
    }

    std::printf("Whole-flash dump: ReadFlash in %u-byte chunks, production timing,\n"
                "TCorvaneOne -> TUsbDevice (reader thread, ring) -> simulated remote on its own thread\n",
                ChunkSize);
    const long rssStart = PeakRssKiB();
    long rssPaced = rssStart;
    bool ok = true;
    if (pacedBytes > 0) {
        const TResult r = Dump(true, pacedBytes);
        Print("paced", r, true);
        ok = ok && r.Ok;
        rssPaced = PeakRssKiB();
    }
    if (unpacedBytes > 0) {
        const TResult r = Dump(false, unpacedBytes);
        Print("unpaced", r, false);
        ok = ok && r.Ok;
    }
    if (writeBytes > 0) {
        const TResult r = PacedWrite(writeBytes);
        if (r.Ok)
            std::printf("paced write: %u bytes in %.2f s: %.0f B/s = %.1f%% of the pacing limit\n", r.Bytes,
                        r.Seconds, r.Bytes / r.Seconds, 100.0 * r.Bytes / r.Seconds / PacingLimit);
        else
            std::printf("paced write FAILED after %u bytes: %s\n", r.Bytes, r.Error.c_str());
        ok = ok && r.Ok;
    }
    std::printf("peak RSS: %ld KiB at start, %ld KiB after the paced run, %ld KiB at the end\n", rssStart,
                rssPaced, PeakRssKiB());
    return ok ? 0 : 1;
}
