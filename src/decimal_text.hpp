// Plain decimal text ("-12.340"): its parts, and its digits counted as
// Python's decimal module counts a coefficient's. Shared by the
// representation of Decimal values and the validation of DecimalField input.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>

#include "text.hpp"

namespace qc {

// A plain decimal number, split into its parts.
struct DecimalText {
  bool negative = false;
  std::string_view whole;     // digits before the point
  std::string_view fraction;  // digits after it
};

// An optional sign, digits, and an optional point with more digits (at least
// one digit in all); nullopt for anything else (exponents, NaN, Infinity).
constexpr std::optional<DecimalText> split_decimal(std::string_view text) noexcept {
  DecimalText d;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    d.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t point = text.find('.');
  d.whole = text.substr(0, point);
  if (point != std::string_view::npos) d.fraction = text.substr(point + 1);
  if (!text::all_digits(d.whole) || !text::all_digits(d.fraction) ||
      (d.whole.empty() && d.fraction.empty()))
    return std::nullopt;
  return d;
}

// The digits of the coefficient as quantize() and DRF's validate_precision
// count them: leading zeros dropped, at least one (0.00 has one digit).
constexpr size_t coefficient_digits(const DecimalText& d) noexcept {
  auto leading_zeros = [](std::string_view digits) {
    return std::min(digits.find_first_not_of('0'), digits.size());
  };
  size_t zeros = leading_zeros(d.whole);
  if (zeros < d.whole.size()) return d.whole.size() - zeros + d.fraction.size();
  return std::max<size_t>(d.fraction.size() - leading_zeros(d.fraction), 1);
}

}  // namespace qc
