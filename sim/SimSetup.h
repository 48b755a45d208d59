#pragma once
// What a command line sets on the simulated remote, read in one place for the
// three programs that run it, so that their options cannot drift apart:
// corvane-sim takes them as --fault, --erase-ms, --flash and --battery, and
// corvane-cli and corvane-console, with --simulate, as --sim-fault,
// --sim-erase-ms, --sim-flash and --sim-battery.
//
// The flash file makes a sequence of runs work on one remote, as they would
// on hardware: the remote's flash starts from it (or from the default content
// when it does not exist yet) and is written back to it when the program
// ends.

#include "RemoteFirmware.h"  // TRemoteFirmware, TSimFaults

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct TSimSetup {
    TSimFaults Faults;
    // How long a sector erase takes before its ACK; nothing: the default
    // (DefaultEraseTime on a paced remote, none on an unpaced one).
    std::optional<std::chrono::milliseconds> EraseTime;
    std::optional<std::uint16_t> BatteryMv;  // the battery register (type 12, index 1)
    std::string FlashFile;                   // empty: none
};

// A typical 4 KiB sector erase of serial NOR flash.
inline constexpr std::chrono::milliseconds DefaultEraseTime{45};

// One option of the simulated remote, by its name without dashes or prefix
// ("fault", "erase-ms", "flash", "battery"), with the option as the user wrote
// it for the messages. Nothing for a name that is not such an option; false
// with the reason for a bad value (an unknown fault is answered with the list
// of the known ones).
bool IsSimOption(std::string_view name);
std::optional<bool> SetSimOption(std::string_view name, std::string_view option, std::string_view value,
                                 TSimSetup& setup, std::string& error);

// "NAME" or "NAME=N", as --fault takes it; a flag takes no value or 0/1, a
// number is decimal or 0x... hex from -1 to 0xFFFFFF. On false, faults is as
// it was and error says why.
bool ParseSimFault(std::string_view text, TSimFaults& faults, std::string& error);

// Every fault, one line each ("<indent>name=N: what it does"), for --help.
std::string SimFaultHelp(std::string_view indent);
// The names, comma-separated.
std::string SimFaultNames();

// Puts the setup's faults, battery and erase time (DefaultEraseTime when
// paced and none is given) on the model. The flash file is LoadFlashFile's.
void ApplySimSetup(TRemoteFirmware& firmware, const TSimSetup& setup, bool paced, TRemoteFirmware::TTime now);

// The flash from the file: true when it was loaded, or when the file does not
// exist (the flash is left as it is). False with the reason, the flash
// untouched, when it cannot be read or is not exactly 16 MiB.
bool LoadFlashFile(TRemoteFirmware& firmware, const std::string& path, std::string& error);
// Writes the whole flash to path + ".partial" and renames that over path, so
// that path is never half written. False with the reason; path is then as
// it was.
bool SaveFlashFile(const TRemoteFirmware& firmware, const std::string& path, std::string& error);
