#include "SimSetup.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <type_traits>
#include <variant>

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
    {"flash-flip-at", &TSimFaults::FlashFlipAt,
     "=ADDR: the byte at ADDR reads with a bit flipped, another bit each read (a flaky read)"},
    {"flash-flip-reads", &TSimFaults::FlashFlipReads,
     "=N: flash-flip-at changes the next N reads of it (1; -1: every read)"},
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

bool IsFlag(const TFaultOption& option)
{
    return std::holds_alternative<bool TSimFaults::*>(option.Field);
}

// Decimal, or 0x... hex; the whole text.
bool ParseNumber(std::string_view text, long& value)
{
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    value = std::strtol(copy.c_str(), &end, 0);
    return !copy.empty() && end != nullptr && *end == '\0' && errno == 0;
}

}  // namespace

bool ParseSimFault(std::string_view text, TSimFaults& faults, std::string& error)
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
            error = "not a number in fault " + std::string(text);
            return false;
        }
        if (!valueText && !IsFlag(option)) {
            error = "fault " + std::string(name) + " needs a value: " + std::string(name) + "=N";
            return false;
        }
        if (value < -1 || value > 0xFFFFFF) {
            error = "value out of range in fault " + std::string(text) + " (-1 to 16777215)";
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
    error = "unknown fault '" + std::string(name) + "'; the faults are: " + SimFaultNames();
    return false;
}

std::string SimFaultHelp(std::string_view indent)
{
    std::string text;
    for (const TFaultOption& option : FaultOptions) {
        // Flags read "name: what it does", the others "name=N: what it does".
        text += indent;
        text += option.Name;
        text += IsFlag(option) ? ": " : "";
        text += option.Help;
        text += '\n';
    }
    return text;
}

std::string SimFaultNames()
{
    std::string text;
    for (const TFaultOption& option : FaultOptions) {
        if (!text.empty())
            text += ", ";
        text += option.Name;
    }
    return text;
}

bool IsSimOption(std::string_view name)
{
    return name == "fault" || name == "erase-ms" || name == "battery" || name == "flash";
}

std::optional<bool> SetSimOption(std::string_view name, std::string_view option, std::string_view value,
                                 TSimSetup& setup, std::string& error)
{
    long number = 0;
    auto bad = [&](const std::string& what) {
        error = std::string(option) + " takes " + what + ", not '" + std::string(value) + "'";
        return false;
    };
    if (name == "fault") {
        if (!ParseSimFault(value, setup.Faults, error))
            return false;
    } else if (name == "erase-ms") {
        if (!ParseNumber(value, number) || number < 0 || number > 60000)
            return bad("milliseconds from 0 to 60000");
        setup.EraseTime = std::chrono::milliseconds(number);
    } else if (name == "battery") {
        if (!ParseNumber(value, number) || number < 0 || number > 0xFFFF)
            return bad("millivolts from 0 to 65535");
        setup.BatteryMv = static_cast<std::uint16_t>(number);
    } else if (name == "flash") {
        if (value.empty())
            return bad("a file name");
        setup.FlashFile = std::string(value);
    } else {
        return std::nullopt;
    }
    return true;
}

void ApplySimSetup(TRemoteFirmware& firmware, const TSimSetup& setup, bool paced, TRemoteFirmware::TTime now)
{
    firmware.SetFaults(setup.Faults);
    firmware.SetEraseTime(setup.EraseTime.value_or(paced ? DefaultEraseTime : std::chrono::milliseconds(0)));
    if (setup.BatteryMv)
        firmware.SetRegister(12, 1, *setup.BatteryMv, now);
}

bool LoadFlashFile(TRemoteFirmware& firmware, const std::string& path, std::string& error)
{
    std::error_code code;
    const bool exists = std::filesystem::exists(path, code);
    if (code) {
        error = "cannot use the flash file " + path + ": " + code.message();
        return false;
    }
    if (!exists)
        return true;
    std::ifstream file(path, std::ios::binary);
    TByteArray image;
    if (file) {
        // One byte more than fits tells a larger file from an exact one.
        image.resize(TRemoteFirmware::FlashSize + 1);
        file.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        image.resize(static_cast<std::size_t>(file.gcount()));
    }
    if (!file && !file.eof()) {
        error = "cannot read the flash file " + path;
        return false;
    }
    if (!firmware.LoadFlash(image)) {
        error = "the flash file " + path + " holds " + std::to_string(image.size()) +
                (image.size() > TRemoteFirmware::FlashSize ? " or more" : "") +
                " bytes; a flash image is exactly 16777216 bytes (16 MiB)";
        return false;
    }
    return true;
}

bool SaveFlashFile(const TRemoteFirmware& firmware, const std::string& path, std::string& error)
{
    const std::string partial = path + ".partial";
    const TByteArray image = firmware.ReadFlash(0, TRemoteFirmware::FlashSize);
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        file.close();
        if (!file) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            error = "cannot write the flash file " + partial;
            return false;
        }
    }
    std::error_code code;
    std::filesystem::rename(partial, path, code);
    if (code) {
        std::error_code ignored;
        std::filesystem::remove(partial, ignored);
        error = "cannot rename " + partial + " to " + path + ": " + code.message();
        return false;
    }
    return true;
}
