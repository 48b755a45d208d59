// Text typed into the number boxes of the window and the command line.
#include "../ops/NumberEntry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "broken contract: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    constexpr std::int32_t untouched32 = 0x5A5A5A5A;
    constexpr std::int64_t untouched64 = 0x5A5A5A5A5A5A5A5A;
    std::int32_t value32 = untouched32;
    std::int64_t value64 = untouched64;
    const bool ok32 = ParseInteger(text, value32);
    const bool ok64 = ParseInteger64(text, value64);
    if (!ok32)
        Check(value32 == untouched32, "32-bit value untouched on failure");
    if (!ok64)
        Check(value64 == untouched64, "64-bit value untouched on failure");

    // Whatever the 32-bit parser takes, the 64-bit one takes too, with the
    // same low 32 bits (the same value for a decimal number).
    if (ok32) {
        Check(ok64, "a 32-bit number is a 64-bit number");
        Check(static_cast<std::uint32_t>(value64) == static_cast<std::uint32_t>(value32), "same low 32 bits");
    }

    // A number written back in decimal reads as itself.
    if (ok64) {
        std::int64_t again = 0;
        Check(ParseInteger64(std::to_string(value64), again) && again == value64, "decimal round trip");
    }
    if (ok32) {
        std::int32_t again = 0;
        Check(ParseInteger(std::to_string(value32), again) && again == value32, "decimal round trip (32)");
    }
    return 0;
}
