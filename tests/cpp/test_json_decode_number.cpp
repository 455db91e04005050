// The reader's decimal-to-double and decimal-to-limb conversions, checked
// against glibc's strtod (correctly rounded; this binary never changes the
// "C" locale) on random and hand-picked hard inputs.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json_decode_number.hpp"

namespace {

int failures = 0;

uint64_t rng_state = 0x243F6A8885A308D3u;
uint64_t next_random() {  // xorshift64*, fixed seed: the run is reproducible
  rng_state ^= rng_state >> 12;
  rng_state ^= rng_state << 25;
  rng_state ^= rng_state >> 27;
  return rng_state * 0x2545F4914F6CDD1Du;
}

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

// Splits "[-]ddd[.ddd][e[+-]ddd]" and converts it as the reader would.
double convert(const std::string& text) {
  size_t i = 0;
  bool negative = text[0] == '-';
  if (negative) ++i;
  size_t int_start = i;
  while (i < text.size() && std::isdigit((unsigned char)text[i])) ++i;
  std::string_view all(text);
  std::string_view int_digits = all.substr(int_start, i - int_start), frac_digits;
  if (i < text.size() && text[i] == '.') {
    size_t frac_start = ++i;
    while (i < text.size() && std::isdigit((unsigned char)text[i])) ++i;
    frac_digits = all.substr(frac_start, i - frac_start);
  }
  int64_t exp10 = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    exp10 = std::strtoll(text.c_str() + i + 1, nullptr, 10);
  }
  return qc::json_decode_number::decimal_to_double(int_digits, frac_digits, exp10, negative);
}

void expect_as_strtod(const std::string& text) {
  double want = std::strtod(text.c_str(), nullptr);
  double got = convert(text);
  if (bits_of(got) != bits_of(want)) {
    if (failures < 20) {
      std::printf("decimal_to_double(%.200s%s) gave %a, want %a\n", text.c_str(),
                  text.size() > 200 ? "..." : "", got, want);
    }
    ++failures;
  }
}

double random_finite_double() {
  for (;;) {
    double d;
    uint64_t b = next_random();
    std::memcpy(&d, &b, sizeof d);
    if (std::isfinite(d)) return std::fabs(d);
  }
}

std::string random_digits(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += (char)('0' + next_random() % 10);
  if (s[0] == '0') s[0] = '1';
  return s;
}

// The exact decimal expansion of the midpoint between d and the next double
// up. x87 long double holds that midpoint exactly, and glibc prints it exactly.
std::string midpoint_text(double d) {
  long double mid = ((long double)d + (long double)std::nextafter(d, INFINITY)) / 2;
  char buf[1200];
  std::snprintf(buf, sizeof buf, "%.780Le", mid);
  std::string s(buf);
  size_t e = s.find('e');
  size_t last = e;  // drop trailing zeros of the mantissa
  while (s[last - 1] == '0') --last;
  if (s[last - 1] == '.') --last;
  return s.substr(0, last) + s.substr(e);
}

void check_midpoints() {
  for (int n = 0; n < 4000; ++n) {
    double d = n < 3000 ? random_finite_double() : std::ldexp((double)(next_random() >> 11), -1074 - 53 + (int)(next_random() % 120));
    if (std::isinf(std::nextafter(d, INFINITY))) continue;
    std::string mid = midpoint_text(d);
    expect_as_strtod(mid);
    size_t e = mid.find('e');
    std::string mantissa = mid.substr(0, e), exponent = mid.substr(e);
    if (mantissa.find('.') == std::string::npos) continue;
    expect_as_strtod(mantissa + "0000000000000000000000001" + exponent);  // just above
    // Above only in a digit beyond every digit the conversion looks at.
    if (n % 4 == 0) expect_as_strtod(mantissa + std::string(1000, '0') + "1" + exponent);
    // Just below: decrease the last digit (the expansion never ends in 0).
    std::string below = mantissa;
    below.back() = (char)(below.back() - 1);
    expect_as_strtod(below + "9999999999999999999999" + exponent);
  }
}

void check_random_texts() {
  char buf[64];
  for (int n = 0; n < 200000; ++n) {
    double d = random_finite_double();
    int precision = 1 + (int)(next_random() % 17);
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, d);
    expect_as_strtod(buf);
  }
  for (int n = 0; n < 20000; ++n) {
    size_t count = 1 + next_random() % (n % 10 == 0 ? 1200 : 40);
    std::string digits = random_digits(count);
    int exp = (int)(next_random() % 800) - 400;
    std::string text = digits.substr(0, 1) + "." + digits.substr(1) + "e" + std::to_string(exp);
    if (count == 1) text = digits + "e" + std::to_string(exp);
    expect_as_strtod(text);
  }
}

void check_fixed_cases() {
  const char* cases[] = {
      "0", "0.0", "-0.0", "0e99999", "1", "1.5", "0.1", "0.3", "123456789012345678901234567890",
      "9007199254740992", "9007199254740993", "9007199254740995", "9007199254740993.0000000001",
      "18014398509481985", "1.7976931348623157e308", "1.7976931348623158e308",
      "1.7976931348623159e308", "1.797693134862315807937289714053e308",
      "1.797693134862315708145274237317043567981e308", "2.2250738585072011e-308",
      "2.2250738585072012e-308", "2.2250738585072014e-308", "4.9406564584124654e-324",
      "2.4703282292062327e-324", "2.4703282292062328e-324", "2.470328229206232720882e-324",
      "1e23", "8.533e+68", "4.1006e-184", "9.998e+307", "9.9538452227e-280", "6.47660115e-260",
      "7.4e+47", "5.92e+48", "7.35e+66", "8.32116e+55", "0.000000000000000000000000000001",
      "100000000000000000000000000000000000000000000000000000000e-60", "1e-400", "1e400",
      "1e-342", "1e-343", "3e-324", "5e-324", "1e308", "1e309", "123.456e-310",
  };
  for (const char* c : cases) expect_as_strtod(c);
  for (int e = -1200; e <= 400; e += 1) {
    expect_as_strtod(random_digits(1000) + "e" + std::to_string(e - 1000));
    expect_as_strtod("0." + random_digits(900) + "e" + std::to_string(e));
  }
  // A long run of digits that only the last one pushes over a midpoint.
  expect_as_strtod("9007199254740993." + std::string(900, '0') + "1");
  expect_as_strtod("9007199254740993." + std::string(900, '0'));
  expect_as_strtod("0." + std::string(5000, '0') + "1e5000");
  expect_as_strtod("1" + std::string(700, '0') + "e-400");
  // Saturated exponents: the caller stops counting, the result is still right.
  if (convert("1e100000000000000000") != INFINITY || convert("1e-100000000000000000") != 0.0) {
    std::printf("saturated exponents not converted to inf/0\n");
    ++failures;
  }
}

// digits_to_limbs against a plain schoolbook reference on random numbers.
void check_limbs() {
  for (int n = 0; n < 300; ++n) {
    std::string digits = random_digits(1 + next_random() % (n < 280 ? 200 : 4300));
    if (n == 0) digits = std::string(4300, '9');
    uint64_t limbs[qc::json_decode_number::MAX_INT_LIMBS];
    size_t count = qc::json_decode_number::digits_to_limbs(digits, limbs);
    // Divide the limbs back down by 10 and compare the digits.
    std::string back;
    while (count > 0) {
      unsigned __int128 rem = 0;
      for (size_t i = count; i-- > 0;) {
        unsigned __int128 cur = (rem << 64) | limbs[i];
        limbs[i] = (uint64_t)(cur / 10);
        rem = cur % 10;
      }
      back.insert(back.begin(), (char)('0' + (int)rem));
      while (count > 0 && limbs[count - 1] == 0) --count;
    }
    if (back != digits) {
      std::printf("digits_to_limbs(%.40s...) round-trips as %.40s...\n", digits.c_str(),
                  back.c_str());
      ++failures;
    }
  }
}

}  // namespace

int json_decode_number_tests() {
  check_fixed_cases();
  check_midpoints();
  check_random_texts();
  check_limbs();
  return failures;
}
