// The text helpers that are not inline: Python's str.strip() over UTF-8.
#include "text.hpp"

namespace qc::text {

namespace {

bool is_space(uint32_t c) {
  if (c <= 0x20) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the code point starting at s[i]; sets `len`. Text is valid UTF-8.
uint32_t decode_at(std::string_view s, size_t i, size_t& len) {
  auto b = [&](size_t k) { return (uint32_t)(unsigned char)s[i + k]; };
  uint32_t c = b(0);
  if (c < 0x80) return len = 1, c;
  if (c < 0xE0 && i + 1 < s.size()) return len = 2, ((c & 0x1F) << 6) | (b(1) & 0x3F);
  if (c < 0xF0 && i + 2 < s.size())
    return len = 3, ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  if (i + 3 < s.size())
    return len = 4, ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                        (b(3) & 0x3F);
  return len = 1, 0xFFFD;
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
  size_t start = 0, len = 0;
  while (start < text.size() && is_space(decode_at(text, start, len))) start += len;
  size_t end = text.size();
  while (end > start) {
    size_t lead = end - 1;  // back up to the first byte of the last code point
    while (lead > start && ((unsigned char)text[lead] & 0xC0) == 0x80) --lead;
    if (!is_space(decode_at(text, lead, len))) break;
    end = lead;
  }
  return text.substr(start, end - start);
}

}  // namespace qc::text
