#include "Operations.h"
#include "OperationsPrivate.h"

#include <algorithm>

namespace ops {

using namespace detail;

const std::array<std::string_view, 13> MiscTypeNames{
    "EEPROM",  "state",         "invalidate flash", "queue action", "program",  "interrupt",       "RAM",
    "register", "clock recalculate", "queue event", "restart config", "reserved", "hardware feature"};

namespace {

const char* const ArchitectureLine = "Incorrect/unknown architecture (must use get version)";

bool CheckArchitecture(TOpsContext& ctx, bool needs12)
{
    // The hardware-feature registers exist only on architecture 12; the
    // clock needs any known architecture, for its register layout.
    const int architecture = ctx.Remote.Architecture();
    if (needs12 ? architecture != 12 : architecture < 0) {
        ctx.Sink.Line(ArchitectureLine);
        return false;
    }
    return true;
}

}  // namespace

// --- Miscellaneous registers ---------------------------------------------------------------

TMiscResult ReadMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index)
{
    TMiscResult result;
    result.Word = word;
    result.Type = type;
    if (word) {
        std::uint16_t v = 0;
        result.Index = static_cast<std::uint16_t>(index);
        if (!ctx.Remote.ReadMiscWord(v, type, result.Index)) {
            ctx.Sink.Line("Read failed");
            return Failure(ctx, std::move(result));
        }
        result.Value = v;
        ctx.Sink.Line(Format("Read    (hex):  %4.4X @ %4.4X", v, result.Index));
    } else {
        std::uint8_t v = 0;
        const auto narrowed = static_cast<std::uint8_t>(index);
        result.Index = narrowed;
        if (!ctx.Remote.ReadMiscByte(v, type, narrowed)) {
            ctx.Sink.Line("Read failed");
            return Failure(ctx, std::move(result));
        }
        result.Value = v;
        ctx.Sink.Line(Format("Read    (hex):    %2.2X @   %2.2X", v, narrowed));
    }
    return result;
}

TMiscResult WriteMisc(TOpsContext& ctx, bool word, std::uint8_t type, std::int32_t index, std::int32_t data)
{
    TMiscResult result;
    result.Word = word;
    result.Type = type;
    bool ok;
    if (word) {
        const auto v = static_cast<std::uint16_t>(data);
        const auto i = static_cast<std::uint16_t>(index);
        result.Index = i;
        result.Value = v;
        ok = ctx.Remote.WriteMiscWord(v, type, i);
        if (ok) ctx.Sink.Line(Format("Written (hex):  %4.4X @ %4.4X", v, i));
    } else {
        const auto v = static_cast<std::uint8_t>(data);
        const auto i = static_cast<std::uint8_t>(index);
        result.Index = i;
        result.Value = v;
        ok = ctx.Remote.WriteMiscByte(v, type, i);
        if (ok) ctx.Sink.Line(Format("Written (hex):    %2.2X @   %2.2X", v, i));
    }
    if (!ok) {
        ctx.Sink.Line("Write failed");
        return Failure(ctx, std::move(result));
    }
    return result;
}

THardwareFlagResult ReadHardwareFlag(TOpsContext& ctx)
{
    THardwareFlagResult result;
    if (!CheckArchitecture(ctx, true)) return Failure(ctx, std::move(result));
    if (!ctx.Remote.ReadMiscWord(result.Raw, 12, 0)) {
        ctx.Sink.Line("Reading hardware flag");
        return Failure(ctx, std::move(result));
    }
    result.Set = (result.Raw & 1) != 0;
    ctx.Sink.Line(result.Set ? "Hardware flag SET" : "Hardware flag NOT SET");
    return result;
}

TBatteryResult ReadBattery(TOpsContext& ctx)
{
    TBatteryResult result;
    if (!CheckArchitecture(ctx, true)) return Failure(ctx, std::move(result));
    if (!ctx.Remote.ReadMiscWord(result.Millivolts, 12, 1)) {
        ctx.Sink.Line("Reading battery level failed");
        return Failure(ctx, std::move(result));
    }
    result.Percent = (std::clamp<int>(result.Millivolts, 3500, 4100) - 3500) / 60 * 10;
    // Volts with three decimals from whole millivolts: the separator is the
    // user's, the digits are always 0-9 (a locale's own digits would not be
    // read by the scripts that parse the log).
    const std::string line = Format("Battery level: %u", result.Millivolts / 1000u) + ctx.DecimalSeparator
                             + Format("%03u V (%d%%)", result.Millivolts % 1000u, result.Percent);
    ctx.Sink.Line(line);
    return result;
}

TClockResult ReadClock(TOpsContext& ctx)
{
    TClockResult result;
    if (!CheckArchitecture(ctx, false)) return Failure(ctx, std::move(result));
    const bool withDayOfWeek = ctx.Remote.Architecture() >= 8;

    struct TField {
        const char* FailureLine;
        std::optional<int>* Out;
        int Offset;
        int Failed;  // shown for a register that could not be read
    };
    // A register that could not be read shows as nines, which no clock
    // value can be mistaken for.
    std::vector<TField> order{{"Reading seconds failed", &result.Second, 0, 99},
                              {"Reading minutes failed", &result.Minute, 0, 99},
                              {"Reading hours failed", &result.Hour, 0, 99},
                              {"Reading day failed", &result.Day, 1, 99}};
    if (withDayOfWeek) order.push_back({"Reading day fo the week failed", &result.DayOfWeek, 0, 99});
    order.push_back({"Reading month failed", &result.Month, 1, 99});
    order.push_back({"Reading year failed", &result.Year, 2000, 9999});

    bool allRead = true;
    for (std::size_t index = 0; index < order.size(); ++index) {
        std::uint16_t value = 0;
        if (ctx.Remote.ReadMiscWord(value, 1, static_cast<std::uint16_t>(index))) {
            *order[index].Out = static_cast<int>(static_cast<std::uint16_t>(value + order[index].Offset));
        } else {
            ctx.Sink.Line(order[index].FailureLine);
            allRead = false;
        }
    }
    ctx.Sink.Line(Format("Data/time: %4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d", result.Year.value_or(9999),
                         result.Month.value_or(99), result.Day.value_or(99), result.Hour.value_or(99),
                         result.Minute.value_or(99), result.Second.value_or(99)));
    if (!allRead) result.Outcome = FailureOf(ctx);
    return result;
}

TResult SetClock(TOpsContext& ctx, std::optional<TLocalTime> time)
{
    if (!CheckArchitecture(ctx, false)) return Failure<TResult>(ctx);
    const bool withDayOfWeek = ctx.Remote.Architecture() >= 8;
    const TLocalTime t = time ? *time : ctx.Clock.Now();
    // Monday = 1 to Sunday = 7 here; the remote counts Sunday = 1 to Saturday = 7.
    const int dayOfWeek = t.DayOfWeek % 7 + 1;

    struct TField {
        int Value;
        const char* FailureLine;
    };
    std::vector<TField> order{{t.Second, "Writing seconds failed"},
                              {t.Minute, "Writing minutes failed"},
                              {t.Hour, "Writing hours failed"},
                              {t.Day - 1, "Writing day failed"}};
    if (withDayOfWeek) order.push_back({dayOfWeek, "Writing day fo the week failed"});
    order.push_back({t.Month - 1, "Writing month failed"});
    order.push_back({t.Year - 2000, "Writing year failed"});

    bool allWritten = true;
    for (std::size_t index = 0; index < order.size(); ++index) {
        if (!ctx.Remote.WriteMiscWord(static_cast<std::uint16_t>(order[index].Value), 1,
                                      static_cast<std::uint16_t>(index))) {
            ctx.Sink.Line(order[index].FailureLine);
            allWritten = false;
        }
    }
    // Claiming success after failed writes would tell the user a clock is
    // set that is not.
    if (!allWritten) return Failure<TResult>(ctx);
    ctx.Sink.Line("Current date/time written");
    return {};
}

}  // namespace ops
