// The reader's decimal-to-binary number conversions. They touch no Python
// object and need no interpreter, so the C++ unit tests call them directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qc::json_decode_number {

// The double nearest to the decimal number "int_digits.frac_digits e exp10"
// (ties to even), negated when `negative`. The digit strings hold ASCII digits
// only and may be empty or start with zeros; `exp10` is the exponent as read,
// already saturated by the caller. Beyond the double range the result is an
// infinity, below it a zero of the given sign.
double decimal_to_double(std::string_view int_digits, std::string_view frac_digits,
                         int64_t exp10, bool negative);

// The double nearest to w·10^q for an exact significand w != 0, when the
// fast methods can decide it; false otherwise (decimal_to_double always can).
bool exact_decimal_to_double(uint64_t w, int64_t q, double& out);

// Longest integer part (in characters, a minus sign included) that the reader
// converts; longer ones are rejected as "number out of range".
inline constexpr size_t MAX_INT_CHARS = 4300;
// Integers of up to this many digits convert under any limit that
// sys.set_int_max_str_digits() accepts; longer ones are checked against the
// limit in force.
inline constexpr size_t ALWAYS_ALLOWED_DIGITS = 640;
// Limbs needed for the largest such integer (4300 digits < 2^14285).
inline constexpr size_t MAX_INT_LIMBS = 224;

// Writes the value of `digits` (1 to 4300 ASCII digits) as little-endian
// 64-bit limbs into `limbs` (room for MAX_INT_LIMBS) and returns how many it
// used (at least one).
size_t digits_to_limbs(std::string_view digits, uint64_t* limbs);

}  // namespace qc::json_decode_number
