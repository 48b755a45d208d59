// corvane-cli: the Miscellaneous page (registers, battery, hardware flag, clock).

#include "CliCommands.h"

#include <optional>

namespace cli {

namespace {

// "YYYYMMDDTHHMMSS" -> a local time with its day of the week.
bool ParseClockTime(const std::string& text, ops::TLocalTime& time)
{
    if (text.size() != 15 || text[8] != 'T')
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != 8 && (text[i] < '0' || text[i] > '9'))
            return false;
    auto field = [&](std::size_t at, std::size_t length) { return std::stoi(text.substr(at, length)); };
    ops::TLocalTime t;
    t.Year = field(0, 4);
    t.Month = field(4, 2);
    t.Day = field(6, 2);
    t.Hour = field(9, 2);
    t.Minute = field(11, 2);
    t.Second = field(13, 2);
    // The remote counts years from 2000 in a register the clock page fills.
    static constexpr int MonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.Year % 4 == 0 && t.Year % 100 != 0) || t.Year % 400 == 0;
    if (t.Year < 2000 || t.Year > 2099 || t.Month < 1 || t.Month > 12 || t.Day < 1 ||
        t.Day > MonthDays[t.Month - 1] || (t.Month == 2 && !leap && t.Day > 28) || t.Hour > 23 || t.Minute > 59 ||
        t.Second > 59)
        return false;
    // Days since 1 January 2000, a Saturday (6, counting Monday as 1).
    int days = 0;
    for (int y = 2000; y < t.Year; ++y)
        days += (y % 4 == 0 && y % 100 != 0) || y % 400 == 0 ? 366 : 365;
    for (int m = 1; m < t.Month; ++m)
        days += m == 2 ? (leap ? 29 : 28) : MonthDays[m - 1];
    days += t.Day - 1;
    t.DayOfWeek = (5 + days) % 7 + 1;
    time = t;
    return true;
}

}  // namespace

TExitCode TCli::MiscRead(const std::vector<std::string>& args)
{
    bool word = false;
    int type = 0;
    std::uint16_t index = 0;
    std::string error;
    if (MiscWidth(args[0], word) != TExitCode::Success)
        return TExitCode::Usage;
    if (!ParseItem(args[1], ops::MiscTypeNames, 0, type, error, "register type") ||
        !ParseRegisterIndex(args[2], word ? 16 : 8, index, error))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TMiscResult result = ops::ReadMisc(ctx, word, static_cast<std::uint8_t>(type), index);
    TJsonObject json;
    json.Text("width", word ? "word" : "byte")
        .Number("type", type)
        .Text("type_name", ops::MiscTypeNames[static_cast<std::size_t>(type)])
        .Number("index", result.Index);
    if (result.Ok())
        json.Number("value", result.Value);
    return Finish(result, json);
}

TExitCode TCli::MiscWrite(const std::vector<std::string>& args)
{
    bool word = false;
    int type = 0;
    std::uint16_t index = 0;
    std::uint16_t data = 0;
    std::string error;
    if (MiscWidth(args[0], word) != TExitCode::Success)
        return TExitCode::Usage;
    const int bits = word ? 16 : 8;
    if (!ParseItem(args[1], ops::MiscTypeNames, 0, type, error, "register type") ||
        !ParseRegisterIndex(args[2], bits, index, error) || !ParseRegisterData(args[3], bits, data, error))
        return Fail(TExitCode::Usage, error);
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::WriteMisc(ctx, word, static_cast<std::uint8_t>(type), index, data));
}

TExitCode TCli::Battery(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TBatteryResult result = ops::ReadBattery(ctx);
    TJsonObject json;
    if (result.Ok())
        json.Number("millivolts", result.Millivolts).Number("percent", result.Percent);
    return Finish(result, json);
}

TExitCode TCli::HardwareFlag(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::THardwareFlagResult result = ops::ReadHardwareFlag(ctx);
    TJsonObject json;
    if (result.Ok())
        json.Flag("set", result.Set).Number("raw", result.Raw);
    return Finish(result, json);
}

TExitCode TCli::Clock(const std::vector<std::string>&)
{
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    const ops::TClockResult result = ops::ReadClock(ctx);
    TJsonObject json;
    // A field the remote did not give is null.
    auto field = [&](std::string_view name, const std::optional<int>& value) {
        if (value)
            json.Number(name, *value);
        else
            json.Raw(name, "null");
    };
    field("year", result.Year);
    field("month", result.Month);
    field("day", result.Day);
    field("hour", result.Hour);
    field("minute", result.Minute);
    field("second", result.Second);
    // As the remote counts: 1 Sunday to 7 Saturday (a Tuesday is 3).
    field("day_of_week", result.DayOfWeek);
    static constexpr std::string_view DayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                    "Thursday", "Friday", "Saturday"};
    if (result.DayOfWeek && *result.DayOfWeek >= 1 && *result.DayOfWeek <= 7)
        json.Text("day_name", DayNames[*result.DayOfWeek - 1]);
    else
        json.Raw("day_name", "null");
    return Finish(result, json);
}

TExitCode TCli::ClockSet(const std::vector<std::string>& args)
{
    std::optional<ops::TLocalTime> time;
    if (!args.empty() && args[0] != "now") {
        ops::TLocalTime t;
        if (!ParseClockTime(args[0], t))
            return Fail(TExitCode::Usage, "invalid time '" + args[0] + "' (now, or YYYYMMDDTHHMMSS from 2000 to 2099)");
        time = t;
    }
    if (const TExitCode code = Connect(); code != TExitCode::Success)
        return code;
    ops::TOpsContext ctx = Context();
    return Finish(ops::SetClock(ctx, time));
}

}  // namespace cli
