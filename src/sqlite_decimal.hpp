// The arithmetic of SQLite's quantizing decimal converter, done natively:
// `Context(prec=15).create_decimal_from_float(value).quantize(Decimal(1).scaleb(-places),
// context=Context(prec=max_digits))` for the floats and ints SQLite returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qc {

// Which decimal signals each step raises; the caller sets them in the
// contexts' flags as the decimal module would.
struct DecimalSignals {
  bool inexact = false;
  bool rounded = false;
};

struct QuantizedDecimal {
  std::string text;          // "-1234E-2": Decimal(text) is the result, digit for digit
  DecimalSignals created;    // by create_decimal_from_float in the 15-digit context
  DecimalSignals quantized;  // by quantize in the field's context
};

// The result for a finite float, or nullopt where the value is outside what
// this arithmetic covers (the decimal module then answers).
std::optional<QuantizedDecimal> quantize_float(double value, int places, int max_digits);
// The same for an int of at most 15 digits.
std::optional<QuantizedDecimal> quantize_int(long long value, int places, int max_digits);

}  // namespace qc
