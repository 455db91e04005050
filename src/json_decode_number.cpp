// Decimal-to-binary conversion for the JSON reader: Eisel-Lemire on a 128-bit
// power-of-five table built at compile time, with the standard library's
// std::from_chars for the inputs it cannot decide, and decimal-to-limb
// conversion for big integers.
#include "json_decode_number.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <limits>

#include "table_big.hpp"
#include "uint128.hpp"

namespace qc {

namespace json_decode_number {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// 128-bit approximations of 5^q for every q where a decimal exponent can still
// give a finite non-zero double from a 64-bit significand. Each entry is the
// floor T of 5^q scaled into [2^127, 2^128): T·2^exp2 <= 5^q < (T+1)·2^exp2.
// For 0 <= q <= 55 the power fits in 128 bits and the entry is exact.
constexpr int POW5_MIN = -342;
constexpr int POW5_MAX = 308;
constexpr int POW5_EXACT_MAX = 55;

using namespace table_big;
using Pow5 = Top128;

struct Pow5Table {
  Pow5 entry[POW5_MAX - POW5_MIN + 1];
};

constexpr Pow5Table make_pow5_table() {
  Pow5Table t{};
  for_each_pow5_top128(POW5_MIN, POW5_MAX, [&t](int q, Top128 top) { t.entry[q - POW5_MIN] = top; });
  return t;
}

constexpr Pow5Table POW5 = make_pow5_table();

static_assert(POW5.entry[-POW5_MIN].hi == uint64_t{1} << 63 && POW5.entry[-POW5_MIN].lo == 0 &&
              POW5.entry[-POW5_MIN].exp2 == -127);  // 5^0 = 2^127 · 2^-127
static_assert(POW5.entry[1 - POW5_MIN].hi == 0xA000000000000000 &&
              POW5.entry[1 - POW5_MIN].exp2 == -125);  // 5 = 0b101 · 2^125 · 2^-125
static_assert(POW5.entry[-1 - POW5_MIN].hi == 0xCCCCCCCCCCCCCCCC &&
              POW5.entry[-1 - POW5_MIN].lo == 0xCCCCCCCCCCCCCCCC &&
              POW5.entry[-1 - POW5_MIN].exp2 == -130);  // 0.2 = 0x0.333...

constexpr double double_from_parts(int64_t biased_exp, uint64_t mantissa) {
  return std::bit_cast<double>((uint64_t)biased_exp << 52 | (mantissa & ((uint64_t{1} << 52) - 1)));
}

// Rounds w·10^q (w != 0) to the nearest double using the 128-bit power of
// five. The true product lies in [P, P + 2^64) where P is the computed 192-bit
// product, so the result is certain unless that interval straddles a rounding
// boundary; then, or for subnormal results, it returns false.
bool eisel_lemire(uint64_t w, int64_t q, double& out) {
  if (q < POW5_MIN) {  // below 2^64 · 10^-343, under half the smallest subnormal
    out = 0.0;
    return true;
  }
  if (q > POW5_MAX) {  // at least 10^309
    out = INF;
    return true;
  }
  const Pow5& t = POW5.entry[q - POW5_MIN];
  int s = std::countl_zero(w);
  uint64_t wn = w << s;
  u128 upper = (u128)wn * t.hi;
  u128 lower = (u128)wn * t.lo;
  u128 middle = (u128)(uint64_t)upper + (uint64_t)(lower >> 64);
  uint64_t lo = (uint64_t)lower;
  uint64_t mid = (uint64_t)middle;
  uint64_t hi = (uint64_t)(upper >> 64) + (uint64_t)(middle >> 64);  // >= 2^62
  int top = (int)(hi >> 63);
  int64_t exp = 190 + top + t.exp2 + q - s;  // the product's leading bit, as a power of two
  if (exp > 1023) {
    out = INF;
    return true;
  }
  if (exp < -1022) return false;
  int rest_bits = 9 + top;  // hi holds 54 bits (mantissa and round bit) above these
  uint64_t rest_mask = (uint64_t{1} << rest_bits) - 1;
  uint64_t rest = hi & rest_mask;
  bool exact = q >= 0 && q <= POW5_EXACT_MAX;
  if (!exact && rest == rest_mask && mid == ~uint64_t{0} && lo != 0) return false;
  uint64_t m = hi >> rest_bits;
  bool round_bit = m & 1;
  m >>= 1;
  if (round_bit) {
    // An inexact power means the true value lies strictly above P, so a set
    // round bit is never an exact tie.
    bool tie = exact && rest == 0 && mid == 0 && lo == 0;
    if (!tie || (m & 1)) ++m;
  }
  if (m == uint64_t{1} << 53) {
    m >>= 1;
    if (++exp > 1023) {
      out = INF;
      return true;
    }
  }
  out = double_from_parts(exp + 1023, m);
  return true;
}

// The exact path, for what the fast methods cannot decide: the standard
// library's correctly rounded conversion of "0.<digits>e<dp>". Digits past
// the first KEEP count only as "the rest is not zero": every double and every
// midpoint between two doubles has fewer than 770 significant digits, so the
// kept digits with a 1 appended for a non-zero rest round as the whole input.
constexpr size_t KEEP_DIGITS = 800;

bool has_nonzero_digit(std::string_view digits) {
  return digits.find_first_not_of('0') != std::string_view::npos;
}

double exact_magnitude(std::string_view a, std::string_view b, int dp) {
  char text[2 + KEEP_DIGITS + 1 + 8];  // "0.", the digits, a sticky digit, "e-330"
  char* out = text;
  *out++ = '0';
  *out++ = '.';
  size_t from_a = a.size() < KEEP_DIGITS ? a.size() : KEEP_DIGITS;
  size_t from_b = b.size() < KEEP_DIGITS - from_a ? b.size() : KEEP_DIGITS - from_a;
  out = std::copy_n(a.data(), from_a, out);
  out = std::copy_n(b.data(), from_b, out);
  if (has_nonzero_digit(a.substr(from_a)) || has_nonzero_digit(b.substr(from_b))) *out++ = '1';
  *out++ = 'e';
  out = std::to_chars(out, text + sizeof text, dp).ptr;
  double d = 0.0;
  // Out of range means a result that rounds to an infinity or to zero.
  if (std::from_chars(text, out, d).ec == std::errc::result_out_of_range) {
    return dp > 0 ? INF : 0.0;
  }
  return d;
}

constexpr double EXACT_POWERS_OF_TEN[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The first `count` digits of a then b as an integer.
uint64_t leading_digits(std::string_view a, std::string_view b, size_t count) {
  uint64_t w = 0;
  size_t from_a = count < a.size() ? count : a.size();
  for (size_t i = 0; i < from_a; ++i) w = w * 10 + (uint64_t)(a[i] - '0');
  for (size_t i = 0; i < count - from_a; ++i) w = w * 10 + (uint64_t)(b[i] - '0');
  return w;
}

}  // namespace

bool exact_decimal_to_double(uint64_t w, int64_t q, double& out) {
  if (w <= uint64_t{1} << 53 && q >= -22 && q <= 22) {
    // Both operands exact, so one correctly rounded operation is the answer.
    double d = (double)w;
    out = q < 0 ? d / EXACT_POWERS_OF_TEN[-q] : d * EXACT_POWERS_OF_TEN[q];
    return true;
  }
  return eisel_lemire(w, q, out);
}

namespace {

// a then b are the significant digits (a non-empty first digit), the value is
// 0.ab × 10^dp with -330 <= dp <= 310.
[[gnu::noinline]] double magnitude_from_digits(std::string_view a, std::string_view b, int dp) {
  size_t n = a.size() + b.size();
  size_t k = n < 19 ? n : 19;
  uint64_t w = leading_digits(a, b, k);
  int64_t q = dp - (int64_t)k;
  double r;
  if (n <= 19) {
    if (exact_decimal_to_double(w, q, r)) return r;
  } else {
    // The value lies in [w, w+1) · 10^q; equal roundings of both ends decide it.
    double r2;
    if (eisel_lemire(w, q, r) && eisel_lemire(w + 1, q, r2) && r == r2) return r;
  }
  return exact_magnitude(a, b, dp);
}

}  // namespace

double decimal_to_double(std::string_view int_digits, std::string_view frac_digits,
                         int64_t exp10, bool negative) {
  size_t lead = 0;
  while (lead < int_digits.size() && int_digits[lead] == '0') ++lead;
  std::string_view a = int_digits.substr(lead), b = frac_digits;
  int64_t dp;
  if (!a.empty()) {
    dp = exp10 + (int64_t)a.size();
  } else {
    size_t z = 0;
    while (z < b.size() && b[z] == '0') ++z;
    b = b.substr(z);
    dp = exp10 - (int64_t)z;
  }
  double mag;
  if (a.empty() && b.empty()) {
    mag = 0.0;
  } else if (dp > 310) {  // at least 10^309
    mag = INF;
  } else if (dp < -330) {  // below 10^-330
    mag = 0.0;
  } else {
    mag = magnitude_from_digits(a, b, (int)dp);
  }
  return negative ? -mag : mag;
}

size_t digits_to_limbs(std::string_view digits, uint64_t* limbs) {
  static constexpr uint64_t POW10[20] = {1,
                                         10,
                                         100,
                                         1000,
                                         10000,
                                         100000,
                                         1000000,
                                         10000000,
                                         100000000,
                                         1000000000,
                                         10000000000,
                                         100000000000,
                                         1000000000000,
                                         10000000000000,
                                         100000000000000,
                                         1000000000000000,
                                         10000000000000000,
                                         100000000000000000,
                                         1000000000000000000,
                                         10000000000000000000u};
  size_t count = 0;
  size_t chunk = digits.size() % 19;
  if (chunk == 0) chunk = 19;
  for (size_t i = 0; i < digits.size(); i += chunk, chunk = 19) {
    uint64_t carry = 0;
    for (size_t j = i; j < i + chunk; ++j) carry = carry * 10 + (uint64_t)(digits[j] - '0');
    const uint64_t scale = POW10[chunk];
    for (size_t l = 0; l < count; ++l) {
      u128 t = (u128)limbs[l] * scale + carry;
      limbs[l] = (uint64_t)t;
      carry = (uint64_t)(t >> 64);
    }
    if (carry != 0 || count == 0) limbs[count++] = carry;
  }
  return count;
}

}  // namespace json_decode_number

}  // namespace qc
