#include "NumberEntry.h"

#include <limits>

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses into the unsigned pattern of `Bits` bits; the caller casts it to the
// signed type. Unsigned arithmetic keeps negation of the pattern well defined.
template <int Bits>
bool Parse(const std::string& text, std::uint64_t& pattern)
{
    static_assert(Bits == 32 || Bits == 64);
    constexpr std::uint64_t mask = Bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << Bits) - 1;
    constexpr std::uint64_t maxPositive = mask >> 1;        // 2^(Bits-1) - 1
    constexpr std::uint64_t maxNegative = maxPositive + 1;  // 2^(Bits-1)
    constexpr int maxHexDigits = Bits / 4;

    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ') ++i;  // only the space character, no tabs

    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    bool hex = false;
    if (i < n && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        hex = true;
        i += 1;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }

    if (i >= n) return false;  // no digits at all (also "", "+", "$", "0x")

    std::uint64_t magnitude = 0;
    if (hex) {
        int significant = 0;
        for (; i < n; ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0) return false;
            if (significant == 0 && d == 0) continue;  // leading zeros do not count
            if (++significant > maxHexDigits) return false;
            magnitude = (magnitude << 4) | static_cast<std::uint64_t>(d);
        }
        pattern = (negative ? std::uint64_t{0} - magnitude : magnitude) & mask;
        return true;
    }

    const std::uint64_t limit = negative ? maxNegative : maxPositive;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return false;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - d) / 10) return false;  // magnitude * 10 + d > limit
        magnitude = magnitude * 10 + d;
    }
    pattern = (negative ? std::uint64_t{0} - magnitude : magnitude) & mask;
    return true;
}

}  // namespace

bool ParseInteger(const std::string& text, std::int32_t& value)
{
    std::uint64_t pattern = 0;
    if (!Parse<32>(text, pattern)) return false;
    value = static_cast<std::int32_t>(static_cast<std::uint32_t>(pattern));
    return true;
}

bool ParseInteger64(const std::string& text, std::int64_t& value)
{
    std::uint64_t pattern = 0;
    if (!Parse<64>(text, pattern)) return false;
    value = static_cast<std::int64_t>(pattern);
    return true;
}
