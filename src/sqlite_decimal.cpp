#include "sqlite_decimal.hpp"

#include <array>
#include <cmath>
#include <cstring>

#include "float_text.hpp"
#include "uint128.hpp"

namespace qc {
namespace {

// The 15 significant digits of the context Django's converter creates.
constexpr int CREATE_PRECISION = 15;
// Every coefficient here stays below 10**38, which fits in 128 bits.
constexpr int MAX_DIGITS = 38;

constexpr auto POWERS_OF_TEN = [] {
  std::array<u128, MAX_DIGITS + 1> powers{};
  u128 p = 1;
  for (auto& power : powers) {
    power = p;
    p *= 10;
  }
  return powers;
}();

// 10**n for 0 <= n <= 38.
u128 power_of_ten(int n) { return POWERS_OF_TEN[(size_t)n]; }

// The number of decimal digits of n (1 for 0); n < 10**38.
int digit_count(u128 n) {
  int count = 1;
  while (count <= MAX_DIGITS && n >= POWERS_OF_TEN[(size_t)count]) ++count;
  return count;
}

// 128-bit division is a library call; the coefficients here nearly always
// fit in 64 bits, where it is a multiplication.
void divide(u128 n, u128 d, u128& quotient, u128& remainder) {
  if (n <= UINT64_MAX && d <= UINT64_MAX) {
    quotient = (uint64_t)n / (uint64_t)d;
    remainder = (uint64_t)n % (uint64_t)d;
  } else {
    quotient = n / d;
    remainder = n % d;
  }
}

// Writes the decimal digits of n backwards, ending just before `end`, and
// returns where they start.
char* write_digits(char* end, u128 n) {
  for (; n > UINT64_MAX; n /= 10) *--end = (char)('0' + (int)(n % 10));
  uint64_t rest = (uint64_t)n;
  do {
    *--end = (char)('0' + (int)(rest % 10));
    rest /= 10;
  } while (rest != 0);
  return end;
}

// A decimal as the decimal module holds it: sign, coefficient, exponent.
struct Finite {
  bool negative;
  u128 coefficient;
  int exponent;
};

// The exact value of a finite double, or nullopt when its coefficient would
// not fit (very large or very small magnitudes).
std::optional<Finite> exact_of(double value, bool& fits_in_15) {
  bool negative = std::signbit(value);
  double magnitude = std::fabs(value);
  if (magnitude == 0) {
    fits_in_15 = true;
    return Finite{negative, 0, 0};
  }
  int binary_exponent;
  double fraction = std::frexp(magnitude, &binary_exponent);  // magnitude = fraction * 2**e
  uint64_t mantissa = (uint64_t)std::ldexp(fraction, 53);
  binary_exponent -= 53;
  while ((mantissa & 1) == 0) {
    mantissa >>= 1;
    ++binary_exponent;
  }
  if (binary_exponent >= 0) {
    // Integers of more than 15 digits may round without being inexact: the
    // decimal module answers them.
    if (binary_exponent > 60) return std::nullopt;
    u128 n = (u128)mantissa << binary_exponent;
    if (n >= power_of_ten(CREATE_PRECISION)) return std::nullopt;
    fits_in_15 = true;
    return Finite{negative, n, 0};
  }
  // m * 2**-k is m * 5**k * 10**-k; its digits must stay in 128 bits.
  int k = -binary_exponent;
  if (k > 27) {
    fits_in_15 = false;
    return Finite{negative, 0, 0};  // only the rounded form is used
  }
  u128 n = mantissa;
  for (int i = 0; i < k; ++i) n *= 5;
  // Sixteen digits ending in 5 round to 15 as a tie, which the repr below
  // does not decide: the decimal module answers them.
  if (digit_count(n) == CREATE_PRECISION + 1) return std::nullopt;
  fits_in_15 = n < power_of_ten(CREATE_PRECISION);
  return Finite{negative, n, -k};
}

// Python's shortest repr of a double, as digits and exponent; nullopt for
// more than 15 significant digits.
std::optional<Finite> shortest_of(const char* text) {
  bool negative = *text == '-';
  if (negative) ++text;
  u128 digits = 0;
  int count = 0, exponent = 0;
  bool seen_point = false;
  for (; *text && *text != 'e'; ++text) {
    if (*text == '.') {
      seen_point = true;
      continue;
    }
    if (*text < '0' || *text > '9') return std::nullopt;
    if (digits == 0 && *text == '0') {
      if (seen_point) --exponent;
      continue;
    }
    if (++count > CREATE_PRECISION) return std::nullopt;
    digits = digits * 10 + (u128)(*text - '0');
    if (seen_point) --exponent;
  }
  if (*text == 'e') exponent += std::atoi(text + 1);
  return Finite{negative, digits, exponent};
}

// create_decimal_from_float in the 15-digit context: the exact value when it
// has at most 15 digits; otherwise that value rounded to 15 digits, which is
// Python's shortest repr padded with zeros, since any decimal of 15 digits
// survives the trip through a double (DBL_DIG).
std::optional<Finite> created_of(double value, DecimalSignals& signals) {
  bool fits_in_15 = false;
  std::optional<Finite> exact = exact_of(value, fits_in_15);
  if (!exact) return std::nullopt;
  if (fits_in_15) return exact;
  char text[FLOAT_TEXT_ROOM];
  *write_float_repr(text, value) = '\0';
  std::optional<Finite> repr = shortest_of(text);
  if (!repr || repr->coefficient == 0) return std::nullopt;
  int padding = CREATE_PRECISION - digit_count(repr->coefficient);
  // The exact value differs from its repr: it ends in 5 (m * 5**k, k > 0)
  // beyond the 15th digit, so the rounding is inexact.
  signals = {true, true};
  return Finite{repr->negative, repr->coefficient * power_of_ten(padding), repr->exponent - padding};
}

// quantize(Decimal(1).scaleb(-places)) with ROUND_HALF_EVEN in a context of
// `max_digits` digits; nullopt where the result would not fit (the decimal
// module raises InvalidOperation then).
std::optional<QuantizedDecimal> quantized_of(const Finite& created, DecimalSignals created_signals,
                                             int places, int max_digits) {
  int target = -places;
  u128 coefficient = created.coefficient;
  DecimalSignals signals;
  if (created.exponent >= target) {
    int shift = created.exponent - target;
    if (coefficient != 0 && digit_count(coefficient) + shift > max_digits) return std::nullopt;
    if (shift > MAX_DIGITS) return std::nullopt;
    coefficient *= power_of_ten(shift);
  } else {
    int drop = target - created.exponent;
    if (drop > MAX_DIGITS) return std::nullopt;
    u128 unit = power_of_ten(drop);
    u128 quotient, remainder;
    divide(coefficient, unit, quotient, remainder);
    u128 twice = remainder * 2;
    if (twice > unit || (twice == unit && (quotient & 1))) ++quotient;
    signals = {remainder != 0, true};
    coefficient = quotient;
  }
  if (digit_count(coefficient) > max_digits) return std::nullopt;
  // "-digitsE-places", written backwards into one buffer: a short text
  // becomes a string without an allocation.
  char buffer[MAX_DIGITS + 8];
  char* end = buffer + sizeof buffer;
  char* start = write_digits(end, (u128)places);
  if (places != 0) *--start = '-';
  *--start = 'E';
  start = write_digits(start, coefficient);
  if (created.negative) *--start = '-';
  return QuantizedDecimal{std::string(start, end), created_signals, signals};
}

bool supported(int places, int max_digits) {
  return places >= 0 && places <= MAX_DIGITS && max_digits >= 1 && max_digits <= MAX_DIGITS;
}

}  // namespace

std::optional<QuantizedDecimal> quantize_float(double value, int places, int max_digits) {
  if (!std::isfinite(value) || !supported(places, max_digits)) return std::nullopt;
  DecimalSignals signals;
  std::optional<Finite> created = created_of(value, signals);
  if (!created) return std::nullopt;
  return quantized_of(*created, signals, places, max_digits);
}

std::optional<QuantizedDecimal> quantize_int(long long value, int places, int max_digits) {
  if (!supported(places, max_digits)) return std::nullopt;
  u128 magnitude = value < 0 ? (u128)(-(value + 1)) + 1 : (u128)value;
  if (magnitude >= power_of_ten(CREATE_PRECISION)) return std::nullopt;
  return quantized_of(Finite{value < 0, magnitude, 0}, DecimalSignals{}, places, max_digits);
}

}  // namespace qc
