#pragma once
// Number entry for the console's edit boxes.
//
// Accepted text: leading spaces (code 32 only), at most one sign directly
// before the number, then either a hexadecimal number with one of the
// prefixes "$", "x", "X", "0x", "0X", or a decimal number. Nothing may follow
// the last digit. A leading zero does not make a number octal.
//
// Decimal numbers must lie in the signed range of the result. Hexadecimal
// numbers may have up to 8 (16) significant digits and are taken as a
// two's-complement pattern, so "$FFFFFFFF" is -1 for ParseInteger; a leading
// "-" negates that pattern.
//
// Both return false for anything else and then leave value untouched.
// Plain functions, any thread.

#include <cstdint>
#include <string>

bool ParseInteger(const std::string& text, std::int32_t& value);
bool ParseInteger64(const std::string& text, std::int64_t& value);
