#pragma once
// What the page operations' files share and nothing else uses: the printf-
// like formatting of log lines, the failure outcome of a remote that did not
// answer, the progress report of long work with its transfer rate, and the
// refusal while the link is busy. Not part of the library's interface; the
// window and the command line include Operations.h only.

#include "Operations.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ops::detail {

// Checked like printf. MinGW builds use MinGW's own printf family (see
// __USE_MINGW_ANSI_STDIO in CMakeLists.txt), whose formats are GNU's; the
// plain "printf" check there is the older C runtime's, without %zu.
#if defined(__MINGW32__)
#define OPS_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#elif defined(__GNUC__)
#define OPS_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#else
#define OPS_PRINTF_LIKE
#endif

std::string Format(const char* format, ...) OPS_PRINTF_LIKE;

// A failure of the remote is "no device" when the link is gone.
inline TOutcome FailureOf(const TOpsContext& ctx)
{
    return ctx.Remote.Connected() ? TOutcome::Failed : TOutcome::NoDevice;
}

template <typename TResultType>
TResultType Failure(const TOpsContext& ctx, TResultType result = {})
{
    result.Outcome = FailureOf(ctx);
    return result;
}

// The transfer rate: recomputed only when more than a second has passed
// since the last update, so a short run shows 0 throughout.
class TRate {
public:
    explicit TRate(std::uint64_t tick) : FLastTick(tick) {}

    void Update(std::uint64_t tick, std::uint64_t bytes)
    {
        const std::uint64_t elapsed = tick - FLastTick;  // unsigned: a wrap does no harm
        if (elapsed > 1000) {
            FRate = static_cast<int>((bytes - FLastBytes) * 1000 / elapsed);
            FLastTick = tick;
            FLastBytes = bytes;
        }
    }

    int Value() const { return FRate; }

private:
    std::uint64_t FLastTick;
    std::uint64_t FLastBytes = 0;
    int FRate = 0;
};

// Progress of one long operation: 0 first, then after every chunk, with the
// rate from the context's tick (read once at the start and once per chunk).
class TProgressReport {
public:
    TProgressReport(TOpsContext& ctx, std::string_view what, std::uint64_t total)
        : FCtx(ctx), FWhat(what), FTotal(total), FRate(ctx.Clock.TickMs())
    {
        FCtx.Sink.Progress({FWhat, 0, FTotal, 0});
    }

    // After a chunk: reports the count and asks whether to go on.
    bool ChunkDone(std::uint64_t done)
    {
        FRate.Update(FCtx.Clock.TickMs(), done);
        FCtx.Sink.Progress({FWhat, done, FTotal, FRate.Value()});
        return FCtx.Sink.KeepGoing();
    }

private:
    TOpsContext& FCtx;
    std::string_view FWhat;
    std::uint64_t FTotal;
    TRate FRate;
};

inline constexpr char HexDigits[] = "0123456789ABCDEF";

inline void AppendHexByte(std::string& text, std::uint8_t byte)
{
    text += HexDigits[byte >> 4];
    text += HexDigits[byte & 15];
}

// A flash write or capture underneath is using the link.
bool RefuseWhileBusy(TOpsContext& ctx);

}  // namespace ops::detail
