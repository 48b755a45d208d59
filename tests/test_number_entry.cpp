// Number entry: the syntax and ranges of the console's edit boxes.

#include "NumberEntry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

std::optional<std::int32_t> Parse32(const std::string& text)
{
    std::int32_t value = 0x5A5A5A5A;
    if (!ParseInteger(text, value)) {
        EXPECT_EQ(value, 0x5A5A5A5A) << "value changed on failure: '" << text << "'";
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> Parse64(const std::string& text)
{
    std::int64_t value = 0x5A5A5A5A5A5A5A5A;
    if (!ParseInteger64(text, value)) {
        EXPECT_EQ(value, 0x5A5A5A5A5A5A5A5A) << "value changed on failure: '" << text << "'";
        return std::nullopt;
    }
    return value;
}

struct TCase {
    const char* Text;
    std::optional<std::int32_t> As32;
    std::optional<std::int64_t> As64;
};

constexpr std::nullopt_t Fails = std::nullopt;

const TCase Cases[] = {
    // Decimal, signs and leading spaces
    {"12", 12, 12},
    {"  12", 12, 12},
    {"+12", 12, 12},
    {"-12", -12, -12},
    {"0", 0, 0},
    {"-0", 0, 0},
    {"010", 10, 10},
    {"0000000000000000000000012", 12, 12},
    {"12 ", Fails, Fails},
    {"\t12", Fails, Fails},
    {" \t12", Fails, Fails},
    {"", Fails, Fails},
    {" ", Fails, Fails},
    {"+", Fails, Fails},
    {"-", Fails, Fails},
    {"--1", Fails, Fails},
    {"+-1", Fails, Fails},
    {"- 1", Fails, Fails},
    {"1e3", Fails, Fails},
    {"1.0", Fails, Fails},
    {"12a", Fails, Fails},
    // Decimal limits
    {"2147483647", 2147483647, 2147483647},
    {"-2147483648", INT32_MIN, -2147483648LL},
    {"2147483648", Fails, 2147483648LL},
    {"-2147483649", Fails, -2147483649LL},
    {"9223372036854775807", Fails, INT64_MAX},
    {"-9223372036854775808", Fails, INT64_MIN},
    {"9223372036854775808", Fails, Fails},
    {"-9223372036854775809", Fails, Fails},
    {"99999999999999999999999", Fails, Fails},
    // Hexadecimal prefixes
    {"$1F", 31, 31},
    {"x1F", 31, 31},
    {"X1f", 31, 31},
    {"0x1f", 31, 31},
    {"0X1F", 31, 31},
    {"+$1F", 31, 31},
    {"  -0x10", -16, -16},
    {"-$1", -1, -1},
    {"$", Fails, Fails},
    {"0x", Fails, Fails},
    {"x", Fails, Fails},
    {"$ 1", Fails, Fails},
    {"$-1", Fails, Fails},
    {"$1G", Fails, Fails},
    {"00x1", Fails, Fails},
    {"0x1 ", Fails, Fails},
    // Hexadecimal width: a two's-complement pattern of 8 (16) significant digits
    {"$FFFFFFFF", -1, 4294967295LL},
    {"$7FFFFFFF", INT32_MAX, 2147483647LL},
    {"$80000000", INT32_MIN, 2147483648LL},
    {"-$80000000", INT32_MIN, -2147483648LL},
    {"-$FFFFFFFF", 1, -4294967295LL},
    {"$100000000", Fails, 4294967296LL},
    {"$00000000FFFFFFFF", -1, 4294967295LL},
    {"$0", 0, 0},
    {"$0000000000000000000", 0, 0},
    {"$FFFFFFFFFFFFFFFF", Fails, -1},
    {"$7FFFFFFFFFFFFFFF", Fails, INT64_MAX},
    {"$8000000000000000", Fails, INT64_MIN},
    {"$10000000000000000", Fails, Fails},
    {"$0000FFFFFFFFFFFFFFFF", Fails, -1},
};

TEST(NumberEntry, TableOfTexts)
{
    for (const TCase& c : Cases) {
        SCOPED_TRACE(std::string("text '") + c.Text + "'");
        EXPECT_EQ(Parse32(c.Text), c.As32);
        EXPECT_EQ(Parse64(c.Text), c.As64);
    }
}

TEST(NumberEntry, EmbeddedNulIsNotATerminator)
{
    EXPECT_EQ(Parse32(std::string("12\0", 3)), Fails);
    EXPECT_EQ(Parse64(std::string("$1\0", 3)), Fails);
}

}  // namespace
