// The text of float.__repr__ for a finite double, written straight from its
// bits. The JSON encoder writes every float this way.
#pragma once

#include <cstddef>

namespace qc {

// Writable bytes the caller must have at `out`. The text itself is at most 24
// bytes ("-1.2345678901234567e-308"), but digits are moved in fixed 16-byte
// blocks that may write up to 34 bytes.
inline constexpr size_t FLOAT_TEXT_ROOM = 40;

// Writes repr(value) for a finite value (not NaN, not an infinity) and returns
// the end of the text: the shortest digits that read back to the same double,
// the closest such to its exact value, in positional form for decimal
// exponents -4 <= e < 16 ("0.0001", "123.0", "1234567890123456.0"), else as
// "1.5e+16" / "5e-324", with at least two exponent digits.
char* write_float_repr(char* out, double value);

}  // namespace qc
