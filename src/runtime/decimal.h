// Decimal numbers as environment variables spell them, and as messages show
// them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::runtime {

// An unsigned decimal: optional leading '+', then one or more digits and
// nothing else (no blanks). A value above 2^64 - 1 counts as not a number.
std::optional<std::uint64_t> parse_unsigned(std::string_view text);

// A decimal number: optional leading '+', then digits with an optional
// fraction and exponent ("30", "2.5", ".5", "1e3") and nothing else (no
// blanks, no "inf" or "nan", no hexadecimal). The nearest double, read the
// same in every locale; a value beyond the range of doubles, in either
// direction, counts as not a number.
std::optional<double> parse_decimal(std::string_view text);

// The digits of `value`, which may pass 2^64 (a byte count, say).
std::string to_decimal(unsigned __int128 value);

}  // namespace corvane::runtime
