// float.__repr__ text by the Schubfach method (Giulietti, "The Schubfach way
// to render doubles"). A double v = c·2^q reads back from every decimal in its
// rounding interval. Scaled by 10^-k, with k chosen from q, the interval is
// between one and ten units wide, so it holds one or two integers s, s+1 and at
// most one multiple of ten: a decimal one digit shorter. The scaling
// multiplies by a 126-bit upper approximation of 10^-k and rounds the product
// to odd, which keeps every comparison of a bound with a candidate exact.
// The digits are then written sixteen at a time in SSE2 lanes (eight at a
// time in 64-bit words elsewhere) and laid out as repr does.
#include "float_text.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "table_big.hpp"
#include "uint128.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qc {
namespace {

using namespace table_big;

static_assert(std::endian::native == std::endian::little,
              "digits are assembled in 64-bit words, first digit in the low byte");

// ---------------------------------------------------------------------------
// Logarithms by fixed-point multiplication, exact over the exponents used here
// (floor_log2_pow10 is checked against the table below; the other two over
// every double exponent by the unit tests' powers of two and their neighbours).

constexpr int floor_log2_pow10(int j) { return j * 1741647 >> 19; }

constexpr int floor_log10_pow2(int q) { return q * 315653 >> 20; }

// floor(log10(3/4 · 2^q)); log10(4/3) is close to 1/8.
constexpr int floor_log10_three_quarters_pow2(int q) { return (q * 315653 - (1 << 17)) >> 20; }

// ---------------------------------------------------------------------------
// g(j) = floor(10^j / 2^r) + 1 with r = floor_log2_pow10(j) - 125, so that
// 2^125 <= g < 2^126 and g·2^r is just above 10^j, for every 10^-k that a
// double's exponent calls for.
constexpr int POW10_MIN = -292;
constexpr int POW10_MAX = 324;

struct Pow10 {
  uint64_t hi, lo;
};

struct Pow10Table {
  Pow10 entry[POW10_MAX - POW10_MIN + 1];
  bool scales_match = true;  // every r is floor_log2_pow10(j) - 125
};

// 10^j = 5^j · 2^j: the top bits of the power of five carry the digits.
constexpr Pow10Table make_pow10_table() {
  Pow10Table t{};
  for_each_pow5_top128(POW10_MIN, POW10_MAX, [&t](int j, Top128 top) {
    const u128 g = (((u128)top.hi << 64 | top.lo) >> 2) + 1;  // the top 126 bits are still a floor
    t.entry[j - POW10_MIN] = Pow10{(uint64_t)(g >> 64), (uint64_t)g};
    t.scales_match = t.scales_match && top.exp2 + 2 + j == floor_log2_pow10(j) - 125;
  });
  return t;
}

constexpr Pow10Table POW10 = make_pow10_table();
static_assert(POW10.scales_match);
static_assert(POW10.entry[-POW10_MIN].hi == uint64_t{1} << 61 &&
              POW10.entry[-POW10_MIN].lo == 1);  // 10^0 = 2^125 · 2^-125, plus one

// floor(g·cp / 2^127), its lowest bit set when bits 64..126 of g·cp are not
// all zero: rounded to odd, the result still tells an exact integer from any
// value beside it. The bits below 2^64 are left out on purpose: g exceeds
// 10^j·2^-r by less than one, so the product exceeds the exact one by less
// than cp < 2^64, which must not count as a fraction when the exact product is
// a whole multiple of 2^127.
inline uint64_t scale_round_to_odd(const Pow10& g, uint64_t cp) {
  const u128 high = (u128)g.hi * cp + (uint64_t)((u128)g.lo * cp >> 64);  // floor(g·cp / 2^64)
  return (uint64_t)(high >> 63) | (((uint64_t)high << 1) != 0);
}

// ---------------------------------------------------------------------------
// Shortest digits.

constexpr auto POW10_INT = [] {
  std::array<uint64_t, 18> t{};
  t[0] = 1;
  for (size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
  return t;
}();

constexpr int MAX_DIGITS = 17;

int digit_count(uint64_t n) {
  // 1233 / 4096 is just above log10(2): the guess is the count or one less.
  const int guess = std::bit_width(n) * 1233 >> 12;
  return guess + (n >= POW10_INT[size_t(guess)]);
}

// A decimal d.dddd × 10^exponent with its digits as a 17-digit integer,
// zeros after the significant ones.
struct Decimal {
  uint64_t digits;
  int exponent;
};

// From any 1 <= digits < 10^17 with the value digits · 10^exp10.
Decimal normalize(uint64_t digits, int exp10) {
  const int count = digit_count(digits);
  return {digits * POW10_INT[size_t(MAX_DIGITS - count)], exp10 + count - 1};
}

// From a candidate digits · 10^k: it has 16 or 17 digits unless v is subnormal.
Decimal from_candidate(uint64_t digits, int k, bool subnormal) {
  if (subnormal) return normalize(digits, k);
  const bool sixteen = digits < POW10_INT[16];
  return {sixteen ? digits * 10 : digits, k + 16 - sixteen};
}

constexpr int MANTISSA_BITS = 52;
constexpr uint64_t HIDDEN_BIT = uint64_t{1} << MANTISSA_BITS;
constexpr int EXPONENT_BIAS = 1075;  // 1023, and the 52 fraction bits
constexpr int MIN_EXPONENT = 1 - EXPONENT_BIAS;

// The shortest decimal in v's rounding interval, the closest to v of those.
// v = c·2^q > 0; the bounds are v - 2^(q-1) and v + 2^(q-1), except when v
// is a power of two (c = 2^52): its lower neighbour is half as far. They read back as v, so
// belong to the interval, when c is even (ties go to the even mantissa).
Decimal shortest_decimal(uint64_t c, int q, bool lower_is_closer) {
  // Integers below 2^53: their own digits.
  if (q <= 0 && q >= -MANTISSA_BITS && (c & ((uint64_t{1} << -q) - 1)) == 0) {
    return normalize(c >> -q, 0);
  }
  const int k = lower_is_closer ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  const int h = q + floor_log2_pow10(-k) + 2;  // 2..5: cp keeps below 2^60
  const Pow10& g = POW10.entry[-k - POW10_MIN];
  // In units of 2^(q-2): v is 4c, the bounds 4c - 2 (or - 1) and 4c + 2.
  const uint64_t cb = c << 2;
  const uint64_t vb = scale_round_to_odd(g, cb << h);
  const uint64_t vb_low = scale_round_to_odd(g, (cb - 2 + lower_is_closer) << h);
  const uint64_t vb_high = scale_round_to_odd(g, (cb + 2) << h);
  const uint64_t open = c & 1;  // bound excluded: "<=" becomes "<"

  // A multiple of ten inside is shorter than any other candidate.
  const uint64_t s = vb >> 2;
  const uint64_t s10 = s / 10 * 10;
  const uint64_t t10 = s10 + 10;
  const bool s10_in = vb_low + open <= s10 << 2;
  const bool t10_in = (t10 << 2) + open <= vb_high;
  const bool subnormal = c < HIDDEN_BIT;
  if (s10_in != t10_in) return from_candidate(s10_in ? s10 : t10, k, subnormal);

  const uint64_t t = s + 1;
  const bool s_in = vb_low + open <= s << 2;
  const bool t_in = (t << 2) + open <= vb_high;
  if (s_in != t_in) return from_candidate(s_in ? s : t, k, subnormal);
  // Both inside: the closer to v, the even one on a tie.
  const int64_t past_middle = (int64_t)(vb - ((s + t) << 1));
  return from_candidate(past_middle < 0 || (past_middle == 0 && (s & 1) == 0) ? s : t, k, subnormal);
}

// ---------------------------------------------------------------------------
// Digits and layout.

constexpr uint64_t ASCII_ZEROS = 0x3030303030303030;

// Writes the sixteen digits of hi8·10^8 + lo8 (both below 10^8) at out and
// returns how many of them are trailing zeros. Each number is split into
// halves of four digits, then two, then one, every split done in all lanes at
// once by a multiplication that divides exactly over the lane's range.
#if defined(__SSE2__)
// Lane constants kept in memory, where the instructions read them directly.
// The constants for 100 are zero in the upper halves of the 32-bit lanes,
// which hold no value there.
struct alignas(16) DigitLanes {
  uint32_t div10000[4] = {0xD1B71759, 0, 0xD1B71759, 0};
  uint32_t times10000[4] = {10000, 0, 10000, 0};
  uint16_t div100[8] = {5243, 0, 5243, 0, 5243, 0, 5243, 0};
  uint16_t times100[8] = {100, 0, 100, 0, 100, 0, 100, 0};
  uint16_t div10[8] = {6554, 6554, 6554, 6554, 6554, 6554, 6554, 6554};
  uint16_t spread10[8] = {0xF601, 0xF601, 0xF601, 0xF601, 0xF601, 0xF601, 0xF601, 0xF601};
  uint8_t ascii[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                       '0', '0', '0', '0', '0', '0', '0', '0'};
};
constexpr DigitLanes LANES;

inline __m128i lanes(const void* constants) {
  return _mm_load_si128(static_cast<const __m128i*>(constants));
}

int sixteen_digits(char* out, uint32_t hi8, uint32_t lo8) {
  const __m128i v = _mm_set_epi64x(lo8, hi8);
  // x / 10^4 = x·0xD1B71759 >> 45 for x < 10^8, in 64-bit lanes.
  const __m128i q4 = _mm_srli_epi64(_mm_mul_epu32(v, lanes(LANES.div10000)), 45);
  const __m128i r4 = _mm_sub_epi32(v, _mm_mul_epu32(q4, lanes(LANES.times10000)));
  const __m128i fours = _mm_or_si128(q4, _mm_slli_epi64(r4, 32));
  // x / 100 = (x·5243 >> 16) >> 3 for x < 10^4, in 32-bit lanes.
  const __m128i q2 = _mm_srli_epi16(_mm_mulhi_epu16(fours, lanes(LANES.div100)), 3);
  const __m128i r2 = _mm_sub_epi16(fours, _mm_mullo_epi16(q2, lanes(LANES.times100)));
  const __m128i twos = _mm_or_si128(q2, _mm_slli_epi32(r2, 16));
  // x / 10 = x·6554 >> 16 for x < 100, in 16-bit lanes; then the quotient q
  // in the low byte and x - 10q in the high one: x·256 + q·(1 - 10·256).
  const __m128i q1 = _mm_mulhi_epu16(twos, lanes(LANES.div10));
  const __m128i digits =
      _mm_add_epi16(_mm_slli_epi16(twos, 8), _mm_mullo_epi16(q1, lanes(LANES.spread10)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_add_epi8(digits, lanes(LANES.ascii)));
  const int zeros = _mm_movemask_epi8(_mm_cmpeq_epi8(digits, _mm_setzero_si128()));
  return std::countl_one(uint16_t(zeros));  // bit i is digit i
}
#else
// The eight digits of n < 10^8 as byte values 0..9, the first in the low byte.
uint64_t eight_digits(uint32_t n) {
  uint64_t v = n / 10000 | (uint64_t)(n % 10000) << 32;
  const uint64_t hundreds = (v * 10486 >> 20) & 0x0000007F0000007F;  // x / 100 for x < 10^4
  v = hundreds | (v - hundreds * 100) << 16;
  const uint64_t tens = (v * 103 >> 10) & 0x000F000F000F000F;  // x / 10 for x < 100
  return tens | (v - tens * 10) << 8;
}

int sixteen_digits(char* out, uint32_t hi8, uint32_t lo8) {
  const uint64_t high = eight_digits(hi8), low = eight_digits(lo8);
  const uint64_t high_text = high + ASCII_ZEROS, low_text = low + ASCII_ZEROS;
  std::memcpy(out, &high_text, 8);
  std::memcpy(out + 8, &low_text, 8);
  // Trailing zero digits are the high zero bytes of a word.
  return low ? std::countl_zero(low) / 8 : 8 + (high ? std::countl_zero(high) / 8 : 8);
}
#endif

// The digits as 17 characters, padded with zeros, and how many are
// significant (up to the last non-zero digit).
struct DigitText {
  char text[32];
  int significant;
};

DigitText digit_text(uint64_t digits17) {
  const uint64_t head = digits17 / 100000000;  // nine digits
  DigitText d;
  d.text[0] = char('0' + head / 100000000);
  d.significant = MAX_DIGITS - sixteen_digits(d.text + 1, uint32_t(head % 100000000),
                                              uint32_t(digits17 % 100000000));
  std::memcpy(d.text + 17, &ASCII_ZEROS, 8);  // the layout's blocks read up to text + 32
  std::memcpy(d.text + 24, &ASCII_ZEROS, 8);
  return d;
}

char* write_exponent(char* out, int e) {
  *out++ = 'e';
  *out++ = e < 0 ? '-' : '+';
  unsigned u = unsigned(e < 0 ? -e : e);
  if (u >= 100) {
    *out++ = char('0' + u / 100);
    u %= 100;
  }
  out[0] = char('0' + u / 10);
  out[1] = char('0' + u % 10);
  return out + 2;
}

// repr's layout of d.ddd × 10^e, with n significant digits in text.
char* lay_out(char* out, const char* text, int n, int e) {
  if (e >= 16 || e < -4) {
    out[0] = text[0];
    out[1] = '.';
    std::memcpy(out + 2, text + 1, 16);
    return write_exponent(out + (n > 1 ? n + 1 : 1), e);
  }
  if (e < 0) {
    std::memcpy(out, "0.000000", 8);  // "0." and the zeros before the first digit
    out += 1 - e;
    std::memcpy(out, text, MAX_DIGITS);
    return out + n;
  }
  // e + 1 digits before the point (zeros past the significant ones included),
  // then the rest, or one zero.
  std::memcpy(out, text, 16);
  out[e + 1] = '.';
  std::memcpy(out + e + 2, text + e + 1, 16);
  return out + e + 2 + (n > e + 1 ? n - e - 1 : 1);
}

}  // namespace

char* write_float_repr(char* out, double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  *out = '-';  // kept only for a negative value: no branch on the sign
  out += bits >> 63;
  if ((bits << 1) == 0) {
    std::memcpy(out, "0.0", 4);
    return out + 3;
  }
  const uint64_t fraction = bits & (HIDDEN_BIT - 1);
  const int biased = int(bits >> MANTISSA_BITS) & 0x7FF;
  // Subnormals have the exponent of the smallest normals and no hidden bit.
  const uint64_t c = biased == 0 ? fraction : fraction | HIDDEN_BIT;
  const int q = biased == 0 ? MIN_EXPONENT : biased - EXPONENT_BIAS;
  const Decimal dec = shortest_decimal(c, q, (fraction == 0) & (biased > 1));
  const DigitText d = digit_text(dec.digits);
  return lay_out(out, d.text, d.significant, dec.exponent);
}

}  // namespace qc
