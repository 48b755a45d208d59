// corvane-sim: the simulated remote as a real HID device of this machine's
// kernel (through /dev/uhid), for trying the console and the Linux backend
// without the hardware:
//
//   sudo ./corvane-sim --fault flash-silent-from=3 &
//   ./corvane-console
//
//   sudo ./corvane-sim --replay bench.trace &
//
// It runs until SIGTERM or SIGINT and removes its devices on the way out.
// SIGUSR1 removes the remote and creates it again (an unplug and replug).

#include "SimSetup.h"
#include "TraceReplay.h"
#include "UhidRemote.h"
#include "UhidReplay.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <system_error>

using namespace std::chrono_literals;

namespace {

bool ParseNumber(std::string_view text, long& value)
{
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtol(copy.c_str(), &end, 0);  // decimal, or 0x... hex
    return !copy.empty() && end != nullptr && *end == '\0' && errno == 0;
}

void PrintUsage(std::FILE* out)
{
    std::fputs(
        "usage: corvane-sim [options]\n"
        "\n"
        "Creates the simulated remote as a HID device of this kernel (needs /dev/uhid)\n"
        "and serves it until SIGTERM or SIGINT. SIGUSR1 unplugs and replugs it.\n"
        "\n"
        "  --paced              one input report per millisecond, like the remote (default)\n"
        "  --unpaced            input reports as fast as they can go\n"
        "  --ids VVVV:PPPP      vendor and product ID in hex (default: the remote's)\n"
        "  --mouse              also create a boot mouse (another HID device)\n"
        "  --replug-after N     unplug and replug the remote after N input reports (once)\n"
        "  --return-after MS    after an unplug-at fault, replug after MS milliseconds\n"
        "                       (default 1000; -1: stay unplugged until SIGUSR1)\n"
        "  --blank              blank flash, no clock or signal set (default: demo content)\n"
        "  --flash FILE         the flash starts from FILE (exactly 16 MiB), or from the\n"
        "                       default content when FILE does not exist, and is saved\n"
        "                       back to FILE on the way out\n"
        "  --erase-ms MS        a sector erase takes MS milliseconds before its ACK\n"
        "                       (default 45 when paced, 0 unpaced)\n"
        "  --battery MV         the battery register reads MV millivolts (default 3912)\n"
        "  --replay TRACE       serve a remote replayed from TRACE (a --trace file of\n"
        "                       corvane-cli or corvane-console) instead of the simulated\n"
        "                       one; takes no other option but --replay-timing\n"
        "  --replay-timing paced|recorded\n"
        "                       answers one per millisecond (default) or as recorded\n"
        "  --fault NAME[=N]     inject a fault; repeatable. Faults:\n",
        out);
    std::fputs(SimFaultHelp("      ").c_str(), out);
    std::fputs("  -h, --help           this text\n", out);
}

// The content `corvane-console --simulate` shows: recognisable flash, a
// running clock, a battery neither full nor empty, a signal to capture.
void DemoContent(TRemoteFirmware& firmware, TRemoteFirmware::TTime now)
{
    firmware.FillFlashWithPattern();
    const std::time_t wall = std::time(nullptr);
    std::tm local{};
    localtime_r(&wall, &local);
    firmware.SetClock(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday + 1, local.tm_hour,
                      local.tm_min, local.tm_sec, now);
    firmware.SetRegister(12, 0, 0x0001, now);
    firmware.SetRegister(12, 1, 3912, now);
    firmware.SetIrCapture(TRemoteFirmware::MakeIrSignal({0x08, 0x1B}), 1000ms);
}

void Say(const char* format, const std::string& a = {}, const std::string& b = {})
{
    std::printf("corvane-sim: ");
    std::printf(format, a.c_str(), b.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

// --replay: the trace's remote as the kernel device until a signal ends it.
// Requests without a recorded answer are told on standard error.
int ServeReplay(const std::string& path, TTraceRecording recording, TReplayTiming timing, const sigset_t& signals)
{
    auto replay = std::make_unique<TTraceReplay>(std::move(recording), timing, [](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
    });
    try {
        TUhidReplay remote(*replay);
        const auto& recording = replay->Recording();
        const std::string ids = Hex4(recording.VendorId) + ":" + Hex4(recording.ProductId);
        const std::string node = remote.WaitForNode();
        Say("replaying %s as the remote %s", path, ids + " at " + (node.empty() ? "(no hidraw node)" : node));
        bool shownPresent = true;
        for (;;) {
            if (shownPresent && !remote.Present()) {
                Say("the remote was removed, as in the trace");
                shownPresent = false;
            }
            const timespec tick{0, 100 * 1000 * 1000};
            const int signal = sigtimedwait(&signals, nullptr, &tick);
            if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP)
                break;
        }
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "corvane-sim: %s\n", e.what());
        return 1;
    }
    Say("removed the devices");
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    TUhidRemote::TOptions options;
    options.Paced = true;
    options.Create = false;
    TSimSetup setup;
    bool mouse = false;
    bool blank = false;
    long replugAfter = -1;
    long returnAfter = 1000;
    std::string replayPath;
    TReplayTiming replayTiming = TReplayTiming::Paced;
    int otherOptions = 0;  // given besides --replay and --replay-timing

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "corvane-sim: %s needs a value\n", argv[i]);
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view text;
        long number = 0;
        std::string error;
        if (arg != "--replay" && arg != "--replay-timing")
            ++otherOptions;
        if (arg == "-h" || arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--replay") {
            if (!value(text))
                return 2;
            replayPath = std::string(text);
        } else if (arg == "--replay-timing") {
            if (!value(text))
                return 2;
            if (text != "paced" && text != "recorded") {
                std::fprintf(stderr, "corvane-sim: --replay-timing takes paced or recorded\n");
                return 2;
            }
            replayTiming = text == "paced" ? TReplayTiming::Paced : TReplayTiming::Recorded;
        } else if (arg == "--paced" || arg == "--unpaced") {
            options.Paced = arg == "--paced";
        } else if (arg == "--mouse") {
            mouse = true;
        } else if (arg == "--blank") {
            blank = true;
        } else if (arg == "--fault" || arg == "--erase-ms" || arg == "--flash" || arg == "--battery") {
            if (!value(text))
                return 2;
            if (!SetSimOption(arg.substr(2), arg, text, setup, error).value_or(false)) {
                std::fprintf(stderr, "corvane-sim: %s (see --help)\n", error.c_str());
                return 2;
            }
        } else if (arg == "--replug-after" || arg == "--return-after") {
            if (!value(text))
                return 2;
            if (!ParseNumber(text, number) || number < -1 || number > 100000000) {
                std::fprintf(stderr, "corvane-sim: bad number for %s: %s\n", argv[i - 1], argv[i]);
                return 2;
            }
            (arg == "--replug-after" ? replugAfter : returnAfter) = number;
        } else if (arg == "--ids") {
            long vendor = 0, product = 0;
            if (!value(text))
                return 2;
            const std::size_t colon = text.find(':');
            if (colon == std::string_view::npos ||
                !ParseNumber("0x" + std::string(text.substr(0, colon)), vendor) ||
                !ParseNumber("0x" + std::string(text.substr(colon + 1)), product) || vendor > 0xFFFF ||
                product > 0xFFFF) {
                std::fprintf(stderr, "corvane-sim: --ids takes VVVV:PPPP in hex, not %s\n", argv[i]);
                return 2;
            }
            options.VendorId = static_cast<std::uint16_t>(vendor);
            options.ProductId = static_cast<std::uint16_t>(product);
        } else {
            std::fprintf(stderr, "corvane-sim: unknown argument '%s'\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }

    // The trace is read before anything starts; a bad one is bad usage.
    TTraceRecording recording;
    if (!replayPath.empty()) {
        if (otherOptions > 0) {
            std::fprintf(stderr, "corvane-sim: --replay takes no other option but --replay-timing\n");
            return 2;
        }
        std::string error;
        if (!TTraceRecording::Load(replayPath, recording, error)) {
            std::fprintf(stderr, "corvane-sim: %s\n", error.c_str());
            return 2;
        }
    }

    std::string reason;
    if (!TUhidRemote::Available(reason)) {
        std::fprintf(stderr, "corvane-sim: %s\n", reason.c_str());
        return 1;
    }

    // The signals are taken by sigtimedwait below; blocked before the remote's
    // thread starts, so that it inherits the mask and never receives them.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGHUP})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (!replayPath.empty())
        return ServeReplay(replayPath, std::move(recording), replayTiming, signals);

    std::string error;
    try {
        TUhidRemote remote(options);
        bool loaded = true;
        remote.WithFirmware([&](TRemoteFirmware& firmware, TRemoteFirmware::TTime now) {
            if (!blank)
                DemoContent(firmware, now);
            ApplySimSetup(firmware, setup, options.Paced, now);
            if (!setup.FlashFile.empty())
                loaded = LoadFlashFile(firmware, setup.FlashFile, error);
        });
        if (!loaded) {
            std::fprintf(stderr, "corvane-sim: %s\n", error.c_str());
            return 2;
        }
        if (returnAfter >= 0)
            remote.SetReturnAfterUnplug(std::chrono::milliseconds(returnAfter));
        if (replugAfter > 0)
            remote.ReplugAfter(static_cast<int>(replugAfter));

        const std::string ids = Hex4(options.VendorId) + ":" + Hex4(options.ProductId);
        if (!remote.Create()) {
            std::fprintf(stderr, "corvane-sim: cannot create the uhid device\n");
            return 1;
        }
        Say("created the remote %s (%s)", ids, options.Paced ? "paced" : "unpaced");
        if (mouse) {
            if (!remote.CreateMouse()) {
                std::fprintf(stderr, "corvane-sim: cannot create the mouse\n");
                return 1;
            }
            const std::string node = remote.WaitForMouseNode();
            Say("mouse %s at %s", Hex4(TUhidRemote::MouseVendorId) + ":" + Hex4(TUhidRemote::MouseProductId),
                node.empty() ? "(no hidraw node)" : node);
        }

        int shownGeneration = 0;
        bool shownPresent = false;
        for (;;) {
            // Report what the remote's thread did since the last look
            // (replugs and fault unplugs happen there).
            const int generation = remote.Generation();
            const bool present = remote.Present();
            if ((shownPresent && !present) || (generation != shownGeneration && shownPresent))
                Say("the remote was removed");
            if (present && generation != shownGeneration) {
                const std::string node = remote.WaitForNode();
                Say("remote %s at %s", ids, node.empty() ? "(no hidraw node appeared)" : node);
            }
            shownGeneration = generation;
            shownPresent = present;

            const timespec tick{0, 100 * 1000 * 1000};
            const int signal = sigtimedwait(&signals, nullptr, &tick);
            if (signal == SIGUSR1) {
                Say("replugging the remote");
                remote.Recreate();
            } else if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
                break;
            }
        }
        if (mouse)
            remote.DestroyMouse();
        remote.Destroy();
        Say("removed the devices");
        if (!setup.FlashFile.empty()) {
            bool saved = false;
            remote.WithFirmware([&](TRemoteFirmware& firmware, TRemoteFirmware::TTime) {
                saved = SaveFlashFile(firmware, setup.FlashFile, error);
            });
            if (!saved) {
                std::fprintf(stderr, "corvane-sim: %s\n", error.c_str());
                return 1;
            }
            Say("saved the flash to %s", setup.FlashFile);
        }
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "corvane-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
