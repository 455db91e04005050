// Small helpers over text bytes: ASCII classes, hex digits, UTF-8 lengths and
// encoding, str.strip(). Those in the reader's, the encoder's and the
// validators' inner loops are inline; none of them touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qc::text {

constexpr bool is_digit(unsigned char c) noexcept { return (unsigned char)(c - '0') < 10; }
constexpr bool is_ascii_letter(unsigned char c) noexcept {
  return (unsigned char)((c | 0x20) - 'a') < 26;
}

constexpr bool all_digits(std::string_view text) noexcept {
  for (char c : text)
    if (!is_digit(c)) return false;
  return true;
}

// Lower-case hex digits by value.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// The value of one hex digit (either case), or -1 for any other byte.
constexpr int hex_value(unsigned char c) noexcept {
  if (is_digit(c)) return c - '0';
  unsigned char lower = c | 0x20;
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// The number of code points in valid UTF-8 text: its bytes that are not
// continuation bytes.
constexpr size_t code_point_count(std::string_view utf8) noexcept {
  size_t n = 0;
  for (char c : utf8) n += ((unsigned char)c & 0xC0) != 0x80;
  return n;
}

// Writes the UTF-8 form of a code point from U+0080 to U+10FFFF (two to four
// bytes) and returns the end of what it wrote.
inline char* push_utf8_multibyte(char* out, uint32_t c) noexcept {
  if (c < 0x800) {
    out[0] = char(0xC0 | (c >> 6));
    out[1] = char(0x80 | (c & 0x3F));
    return out + 2;
  }
  if (c < 0x10000) {
    out[0] = char(0xE0 | (c >> 12));
    out[1] = char(0x80 | ((c >> 6) & 0x3F));
    out[2] = char(0x80 | (c & 0x3F));
    return out + 3;
  }
  out[0] = char(0xF0 | (c >> 18));
  out[1] = char(0x80 | ((c >> 12) & 0x3F));
  out[2] = char(0x80 | ((c >> 6) & 0x3F));
  out[3] = char(0x80 | (c & 0x3F));
  return out + 4;
}

// The same for any code point up to U+10FFFF (one to four bytes).
inline char* push_utf8(char* out, uint32_t c) noexcept {
  if (c < 0x80) {
    *out = char(c);
    return out + 1;
  }
  return push_utf8_multibyte(out, c);
}

// Python's str.strip() with no argument, over valid UTF-8 text.
std::string_view py_strip(std::string_view text) noexcept;

}  // namespace qc::text
