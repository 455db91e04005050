// The JSON encoder's string kernels: str code units and UTF-8 text written
// as JSON string content, runs without escapes copied a block at a time.
// All inline: they are the encoder's innermost loops.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "byte_blocks.hpp"
#include "text.hpp"

// Internal linkage, as in the one unit that includes this: the inliner then
// treats these as that unit's local functions.
namespace qc::json_encode {
namespace {

using bytes::Block;
using bytes::SignedBlock;

// Longer strings are written this many code units at a time, so that the
// worst-case reservation (ESCAPE_MAX per unit) stays small.
inline constexpr size_t STRING_CHUNK = 1024;
inline constexpr size_t UTF8_CHUNK = 4096;  // bytes, for text taken in its UTF-8 form

// Bytes that end a run copied as is: control characters, '"', '\\' and every
// byte above 0x7F (non-ASCII Latin-1 characters need re-encoding or an
// escape); DEL too when the output must be ASCII.
template <bool EnsureAscii>
inline constexpr auto STOP = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[size_t(c)] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  t[0x7F] = EnsureAscii;
  return t;
}();

// The short escapes JSON has; 0 where a character takes \uXXXX.
inline constexpr auto SHORT_ESCAPE = [] {
  std::array<char, 0x60> t{};
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

// Worst case per code unit: a surrogate pair, "\ud83d\ude00".
inline constexpr size_t ESCAPE_MAX = 12;

// Two hex digits for each byte value, so a \uXXXX escape takes two copies.
inline constexpr auto HEX_PAIRS = [] {
  std::array<char, 512> t{};
  for (size_t i = 0; i < 256; ++i) {
    t[2 * i] = text::HEX_DIGITS[i >> 4];
    t[2 * i + 1] = text::HEX_DIGITS[i & 15];
  }
  return t;
}();

inline char* push_u(char* out, Py_UCS4 c) {
  out[0] = '\\';
  out[1] = 'u';
  std::memcpy(out + 2, &HEX_PAIRS[2 * ((c >> 8) & 0xFF)], 2);
  std::memcpy(out + 4, &HEX_PAIRS[2 * (c & 0xFF)], 2);
  return out + 6;
}

inline char* push_escape(char* out, Py_UCS4 c) {
  if (c < SHORT_ESCAPE.size() && SHORT_ESCAPE[c]) {
    out[0] = '\\';
    out[1] = SHORT_ESCAPE[c];
    return out + 2;
  }
  if (c >= 0x10000) {
    c -= 0x10000;
    out = push_u(out, 0xD800 | (c >> 10));
    c = 0xDC00 | (c & 0x3FF);
  }
  return push_u(out, c);
}

// The bytes that end a run of one-byte code units (STOP): a mask with 0xFF
// in each such byte of a block. Bytes at or above 0x80 are negative as
// signed chars, so one signed comparison finds them together with the
// control characters.
template <bool EnsureAscii>
struct NarrowStops {
  static bool at(uint8_t c) { return STOP<EnsureAscii>[c]; }
  static Block mask(Block x) {
    auto m = Block((SignedBlock)x < 0x20) | Block(x == '"') | Block(x == '\\');
    if constexpr (EnsureAscii) m |= Block(x == 0x7F);
    return m;
  }
};

// Copies the last `rest` bytes, 4 <= rest < 16 (8 <= rest when W is 8), as
// two overlapping words of W bytes when none of them stops a run; false,
// having written nothing, otherwise. The two words are checked as the two
// halves of one block.
template <class Stops, size_t W>
inline bool copy_tail(char*& out, const uint8_t*& p, size_t rest) {
  Block words{};
  std::memcpy(&words, p, W);
  std::memcpy(reinterpret_cast<char*>(&words) + 8, p + rest - W, W);
  // Only the words' own bytes count: the zeros that pad four-byte words
  // would read as control characters.
  constexpr unsigned OWN = W == 8 ? 0xFFFF : 0x0F0F;
  if (bytes::top_bits(Stops::mask(words)) & OWN) return false;
  std::memcpy(out, &words, W);
  std::memcpy(out + rest - W, reinterpret_cast<const char*>(&words) + 8, W);
  out += rest;
  p += rest;
  return true;
}

// Copies bytes from `p` up to the first one `Stops` picks, or to `end`; true
// when it stopped at such a byte. Whole blocks are stored before they are
// checked, and a tail of 4 to 15 bytes as two overlapping words, so that
// short strings (keys, codes, names) need no byte loop: the reservation
// (several output bytes per input byte) always has room for the stores, and
// nothing outside [p, end) is read.
template <class Stops>
inline bool copy_run(char*& out, const uint8_t*& p, const uint8_t* end) {
  while (size_t(end - p) >= 16) {
    const Block x = bytes::load(p);
    std::memcpy(out, &x, 16);
    size_t k = bytes::first_set(Stops::mask(x));
    p += k;
    out += k;
    if (k < 16) return true;
  }
  const size_t rest = size_t(end - p);
  if (rest >= 8 ? copy_tail<Stops, 8>(out, p, rest) : rest >= 4 && copy_tail<Stops, 4>(out, p, rest))
    return false;
  while (p < end && !Stops::at(*p)) *out++ = char(*p++);
  return p < end;
}

// One-byte code units (ASCII or Latin-1); room for n * ESCAPE_MAX bytes is
// reserved.
template <bool EnsureAscii>
inline char* push_narrow(char* out, const uint8_t* p, size_t n) {
  const uint8_t* const end = p + n;
  while (true) {
    if (!copy_run<NarrowStops<EnsureAscii>>(out, p, end)) return out;
    uint8_t c = *p++;
    out = (!EnsureAscii && c >= 0x80) ? text::push_utf8_multibyte(out, c) : push_escape(out, c);
  }
}

// Two- and four-byte code units. nullptr at a lone surrogate, which has no
// UTF-8 form. Room for n * ESCAPE_MAX bytes is reserved.
template <class Unit, bool EnsureAscii>
char* push_wide(char* out, const Unit* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    Py_UCS4 c = p[i];
    if (c < 0x80) {
      if (STOP<EnsureAscii>[c]) {
        out = push_escape(out, c);
      } else {
        *out++ = char(c);
      }
    } else if (c - 0xD800 < 0x800) {
      return nullptr;
    } else if (EnsureAscii || c == 0x2028 || c == 0x2029) {
      // U+2028 and U+2029 end lines in JavaScript; the output stays a
      // JavaScript literal in both modes.
      out = push_escape(out, c);
    } else {
      out = text::push_utf8_multibyte(out, c);
    }
  }
  return out;
}

// UTF-8 text. The bytes that end a run copied as is: those that need an
// escape, and 0xE2, the lead byte of U+2028 and U+2029 (E2 80 A8, E2 80 A9),
// which are escaped too; every other byte is copied.
inline constexpr auto UTF8_STOP = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[size_t(c)] = c < 0x20 || c == '"' || c == '\\' || c == 0xE2;
  return t;
}();

struct Utf8Stops {
  static bool at(uint8_t c) { return UTF8_STOP[c]; }
  static Block mask(Block x) {
    return bytes::below(x, 0x20) | Block(x == '"') | Block(x == '\\') | Block(x == 0xE2);
  }
};

// Writes the UTF-8 bytes from `p` up to at least `limit` (a sequence for
// U+2028 or U+2029 that starts before it is taken whole, reading up to
// `end`), and advances `p`. One byte of input gives at most six of output
// ("\u001f"); room for (limit - p + 2) * 6 bytes is reserved.
inline char* push_utf8_text(char* out, const uint8_t*& p, const uint8_t* limit,
                            const uint8_t* end) {
  while (p < limit) {
    if (!copy_run<Utf8Stops>(out, p, limit)) break;
    uint8_t c = *p;
    if (c != 0xE2) {
      out = push_escape(out, c);
      ++p;
    } else if (end - p >= 3 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9)) {
      out = push_u(out, 0x2000 + p[2] - 0x80);
      p += 3;
    } else {
      *out++ = char(c);
      ++p;
    }
  }
  return out;
}

template <bool EnsureAscii>
char* push_units(char* out, int kind, const void* data, size_t n) {
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      return push_narrow<EnsureAscii>(out, static_cast<const uint8_t*>(data), n);
    case PyUnicode_2BYTE_KIND:
      return push_wide<Py_UCS2, EnsureAscii>(out, static_cast<const Py_UCS2*>(data), n);
    default:
      return push_wide<Py_UCS4, EnsureAscii>(out, static_cast<const Py_UCS4*>(data), n);
  }
}

}  // namespace
}  // namespace qc::json_encode
