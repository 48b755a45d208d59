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

#include "TraceReplay.h"
#include "UhidRemote.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <type_traits>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

using namespace std::chrono_literals;

namespace {

// --- Faults ----------------------------------------------------------------------
// One row per field of TSimFaults: the option name, the field, what it does.

using TFaultField = std::variant<bool TSimFaults::*, int TSimFaults::*, std::chrono::milliseconds TSimFaults::*>;

struct TFaultOption {
    const char* Name;
    TFaultField Field;
    const char* Help;
};

const TFaultOption FaultOptions[] = {
    // Any request
    {"silent", &TSimFaults::Silent, "answer nothing at all"},
    {"reply-type", &TSimFaults::ReplyType, "=T: short replies have packet type T (high nibble)"},
    {"echo", &TSimFaults::EchoOverride, "=N: byte 1 of short replies is N"},
    {"length-code", &TSimFaults::LengthCode, "=N: short replies carry length code N (11-15 are invalid)"},
    {"reply-delay", &TSimFaults::ReplyDelay, "=MS: answer MS milliseconds late"},
    {"trickle", &TSimFaults::TrickleInterval,
     "=MS: streams send one packet per MS milliseconds, flash data one byte per packet"},
    {"version-payload-length", &TSimFaults::VersionPayloadLength, "=N: the version reply has N payload bytes"},
    // Flash read
    {"flash-sequence-error-at", &TSimFaults::FlashSequenceErrorAt, "=N: data packet N has a wrong counter"},
    {"flash-wrong-type-at", &TSimFaults::FlashWrongTypeAt, "=N: data packet N is of another type"},
    {"flash-silent-from", &TSimFaults::FlashSilentFrom, "=N: nothing from data packet N on, no ACK"},
    {"flash-ack-short-by", &TSimFaults::FlashAckShortBy, "=N: ACK after N bytes fewer than asked"},
    {"flash-invalid-length-at", &TSimFaults::FlashInvalidLengthAt, "=N: data packet N has length code 11"},
    {"flash-empty-packet-at", &TSimFaults::FlashEmptyPacketAt, "=N: data packet N has length code 0"},
    {"flash-extra-bytes", &TSimFaults::FlashExtraBytes, "=N: send N bytes more than asked"},
    {"flash-endless", &TSimFaults::FlashEndless, "keep sending data packets, never ACK"},
    // Flash write
    {"flash-write-no-ack", &TSimFaults::FlashWriteNoAck, "do not answer a flash write's closing ACK"},
    {"flash-write-ack-echo", &TSimFaults::FlashWriteAckEcho, "=N: byte 1 of the flash write's closing reply"},
    // Infrared capture
    {"ir-sequence-error-at", &TSimFaults::IrSequenceErrorAt, "=N: capture packet N has a wrong sequence byte"},
    {"ir-length-byte-at", &TSimFaults::IrLengthByteAt, "=N: capture packet N ends in the byte of ir-length-byte"},
    {"ir-length-byte", &TSimFaults::IrLengthByte, "=N: that byte"},
    {"ir-wrong-type-at", &TSimFaults::IrWrongTypeAt, "=N: capture packet N is of another type"},
    {"ir-silent-before-first", &TSimFaults::IrSilentBeforeFirst, "never send any capture packet"},
    {"ir-silent-from", &TSimFaults::IrSilentFrom, "=N: nothing from capture packet N on"},
    {"ir-end-with-ack", &TSimFaults::IrEndWithAck, "end a capture with an ACK instead of the end marker"},
    {"ir-late-after-stop", &TSimFaults::IrLateAfterStop, "=N: N capture packets still follow the stop request"},
    {"ir-endless-after-stop", &TSimFaults::IrEndlessAfterStop, "keep capturing after the stop request"},
    {"ir-no-stop-ack", &TSimFaults::IrNoStopAck, "do not acknowledge the stop request"},
    // Removal
    {"unplug-at", &TSimFaults::UnplugAtPacket,
     "=N: remove the remote at data packet N of the next flash read, flash write or capture"},
};

bool ParseNumber(std::string_view text, long& value)
{
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtol(copy.c_str(), &end, 0);  // decimal, or 0x... hex
    return !copy.empty() && end != nullptr && *end == '\0' && errno == 0;
}

// "name" or "name=value"; a flag takes no value or 0/1.
bool ApplyFault(std::string_view text, TSimFaults& faults, std::string& error)
{
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    const std::optional<std::string_view> valueText =
        equals == std::string_view::npos ? std::nullopt : std::optional(text.substr(equals + 1));

    for (const TFaultOption& option : FaultOptions) {
        if (name != option.Name)
            continue;
        long value = 1;
        if (valueText && !ParseNumber(*valueText, value)) {
            error = "not a number in --fault " + std::string(text);
            return false;
        }
        const bool isFlag = std::holds_alternative<bool TSimFaults::*>(option.Field);
        if (!valueText && !isFlag) {
            error = "--fault " + std::string(name) + " needs a value: " + std::string(name) + "=N";
            return false;
        }
        if (value < -1 || value > 0xFFFFFF) {
            error = "value out of range in --fault " + std::string(text);
            return false;
        }
        std::visit(
            [&faults, value](auto field) {
                using T = std::remove_reference_t<decltype(faults.*field)>;
                if constexpr (std::is_same_v<T, bool>)
                    faults.*field = value != 0;
                else if constexpr (std::is_same_v<T, int>)
                    faults.*field = static_cast<int>(value);
                else
                    faults.*field = std::chrono::milliseconds(value);
            },
            option.Field);
        return true;
    }
    error = "unknown fault '" + std::string(name) + "' (see --help)";
    return false;
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
        "  --replay TRACE       serve a remote replayed from TRACE (a --trace file of\n"
        "                       corvane-cli or corvane-console) instead of the simulated\n"
        "                       one; takes no other option but --replay-timing\n"
        "  --replay-timing paced|recorded\n"
        "                       answers one per millisecond (default) or as recorded\n"
        "  --fault NAME[=N]     inject a fault; repeatable. Faults:\n",
        out);
    for (const TFaultOption& option : FaultOptions) {
        const bool isFlag = std::holds_alternative<bool TSimFaults::*>(option.Field);
        // Flags read "name: what it does", the others "name=N: what it does".
        std::fprintf(out, "      %s%s%s\n", option.Name, isFlag ? ": " : "", option.Help);
    }
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
    TSimFaults faults;
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
        } else if (arg == "--fault") {
            if (!value(text))
                return 2;
            if (!ApplyFault(text, faults, error)) {
                std::fprintf(stderr, "corvane-sim: %s\n", error.c_str());
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

    try {
        TUhidRemote remote(options);
        remote.WithFirmware([&](TRemoteFirmware& firmware, TRemoteFirmware::TTime now) {
            if (!blank)
                DemoContent(firmware, now);
            firmware.SetFaults(faults);
        });
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
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "corvane-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
