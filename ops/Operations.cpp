#include "Operations.h"
#include "OperationsPrivate.h"

#include "NumberEntry.h"
#include "Timing.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace ops {

namespace detail {

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text, static_cast<std::size_t>(std::clamp(length, 0, static_cast<int>(sizeof text) - 1)));
}

// A flash write or capture underneath is using the link.
bool RefuseWhileBusy(TOpsContext& ctx)
{
    if (!ctx.Remote.Busy()) return false;
    ctx.Sink.Line("Operation in progress");
    return true;
}

}  // namespace detail

using namespace detail;

// --- Clock, files and names ----------------------------------------------------------

TLocalTime TSystemClock::Now()
{
    const std::tm local = LocalTime(std::time(nullptr));
    return {local.tm_year + 1900, local.tm_mon + 1,        local.tm_mday,
            local.tm_hour,        local.tm_min,            local.tm_sec,
            local.tm_wday == 0 ? 7 : local.tm_wday};
}

std::uint64_t TSystemClock::TickMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::string DumpFileName(const TLocalTime& t, std::string_view name)
{
    return Format("%4.4d%2.2d%2.2dT%2.2d%2.2d%2.2d_", t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second)
           + std::string(name) + ".bin";
}

// --- Number boxes ----------------------------------------------------------------------

namespace {

// A box's number: 64-bit or 32-bit; otherwise the page's line and nothing.
std::optional<std::int64_t> ParseBox(IOpsSink& sink, const std::string& text, bool wide, const char* invalidLine)
{
    std::int64_t value = 0;
    std::int32_t narrow = 0;
    const bool ok = wide ? ParseInteger64(text, value) : ParseInteger(text, narrow);
    if (!ok) {
        sink.Line(invalidLine);
        return std::nullopt;
    }
    return wide ? value : narrow;
}

template <typename T>
std::optional<T> Narrowed(const std::optional<std::int64_t>& value)
{
    return value ? std::optional<T>(static_cast<T>(*value)) : std::nullopt;
}

}  // namespace

// Any 64-bit number is taken and narrowed to 32 bits; the remote uses the
// low 24 of them.
std::optional<std::uint32_t> ParseFlashIndex(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::uint32_t>(ParseBox(sink, text, true, "Invalid index"));
}

std::optional<std::uint16_t> ParseFlashSize(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::uint16_t>(ParseBox(sink, text, false, "Invalid size"));
}

std::optional<std::int32_t> ParseMiscIndex(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::int32_t>(ParseBox(sink, text, false, "Invalid index"));
}

std::optional<std::int32_t> ParseMiscData(IOpsSink& sink, const std::string& text)
{
    return Narrowed<std::int32_t>(ParseBox(sink, text, false, "Invalid data"));
}

}  // namespace ops
