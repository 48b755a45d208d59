// cli_dump: the rate of `corvane-cli flash dump` against the USB limit.
//
// Runs the command line's whole-flash dump in-process (RunCli, 65,535-byte
// chunks, production timing) on a simulated remote paced like the real one:
// one 64-byte report per millisecond, at most 62 data bytes each, 62,000
// data bytes per second. The whole flash takes about 270 s at that rate, so
// by default the dump is stopped after a few seconds, between chunks, as
// Ctrl-C stops it; the rate is the bytes in the file over the time taken.
//
//   cli_dump [--seconds N]      stop after about N seconds (default 12; 0: the whole flash)

#include "Cli.h"
#include "CliSupport.h"
#include "SimRemote.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

constexpr double PacingLimit = 62000.0;  // data bytes per second at 1 report/ms
constexpr double Chunk = 65535.0;        // the command line's chunk

// The system's clock, which also raises the interrupt flag once the
// deadline has passed: the dump asks between chunks, on this thread.
class TDeadlineClock : public ops::IOpsClock {
public:
    TDeadlineClock(std::chrono::steady_clock::time_point deadline, volatile std::sig_atomic_t& flag)
        : FDeadline(deadline), FFlag(flag)
    {
    }
    // The first look at the tick: the dump starts its rate there, after the
    // connection was made.
    std::chrono::steady_clock::time_point First{};

    ops::TLocalTime Now() override { return FSystem.Now(); }
    std::uint64_t TickMs() override
    {
        if (First == std::chrono::steady_clock::time_point{})
            First = std::chrono::steady_clock::now();
        if (FDeadline != std::chrono::steady_clock::time_point{} && std::chrono::steady_clock::now() > FDeadline)
            FFlag = 1;
        return FSystem.TickMs();
    }

private:
    ops::TSystemClock FSystem;
    std::chrono::steady_clock::time_point FDeadline;
    volatile std::sig_atomic_t& FFlag;
};

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 12;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc && (seconds = std::strtod(argv[++i], &end)) >= 0 &&
            end && *end == '\0')
            continue;
        std::fprintf(stderr, "usage: %s [--seconds N]\n  stop the dump after about N seconds (0: the whole flash)\n",
                     argv[0]);
        return 2;
    }

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "corvane-cli-dump-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);

    TSimHidBus bus;
    TSimRemote::TOptions options;
    options.Paced = true;
    auto sim = std::make_shared<TSimRemote>(options);
    sim->FillFlashWithPattern();
    bus.Plug(sim);

    volatile std::sig_atomic_t stop = 0;
    const auto start = std::chrono::steady_clock::now();
    TDeadlineClock clock(seconds > 0 ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                               std::chrono::duration<double>(seconds))
                                     : std::chrono::steady_clock::time_point{},
                         stop);
    TCliHost host;
    host.Platform = [&](const TCliSimulation&, std::string&) -> IHidPlatform* { return &bus; };
    host.Interrupted = &stop;
    host.Clock = &clock;

    std::ostringstream out, err;
    const auto begin = std::chrono::steady_clock::now();
    const int code = RunCli({"flash", "dump", "-C", dir.string()}, out, err, host);
    const auto end = std::chrono::steady_clock::now();
    const double total = std::chrono::duration<double>(end - begin).count();
    const double elapsed =
        std::chrono::duration<double>(end - (clock.First != decltype(end){} ? clock.First : begin)).count();

    std::uintmax_t bytes = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        bytes += entry.file_size();
    std::filesystem::remove_all(dir);
    if (code != 0 && code != 130) {
        std::printf("corvane-cli flash dump FAILED (exit %d): %s", code, err.str().c_str());
        return 1;
    }

    // The floor: a chunk of 65,535 bytes takes 1,057 reports at one per
    // millisecond, plus the fixed pause before its reply is read.
    const double floor = Chunk / (Chunk / PacingLimit + 0.010);
    const double rate = static_cast<double>(bytes) / elapsed;
    std::printf("corvane-cli flash dump, 65,535-byte chunks, paced remote, production timing\n"
                "%ju bytes in %.2f s from the dump's start (%.2f s with the connection): %.0f B/s\n"
                "= %.1f%% of the USB limit (62,000 B/s)\n"
                "floor with one 10 ms pause per chunk: %.0f B/s = %.1f%%\n",
                bytes, elapsed, total, rate, 100.0 * rate / PacingLimit, floor, 100.0 * floor / PacingLimit);
    return 0;
}
