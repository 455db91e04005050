// The validator: a byte-at-a-time method that decides every verdict and
// offset, and on x86-64 CPUs with AVX2 a vector method that only skips ahead
// over what it proves valid, handing the rest (the tail, or the block where it
// sees a fault) to the byte method. So the vector code can never change an
// answer, only how soon it comes.
#include "utf8.hpp"

#include <bit>
#include <cstring>

#include "byte_blocks.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace qc::utf8 {
namespace {

inline bool is_continuation(uint8_t c) { return (c & 0xC0) == 0x80; }

// What a lead byte allows: the sequence's length (0: the byte starts none)
// and the range of its second byte, which excludes overlongs, surrogates and
// code points above U+10FFFF.
struct Lead {
  uint8_t length, lo, hi;
};

constexpr auto LEADS = [] {
  struct {
    Lead of[256];
  } t{};
  for (int c = 0xC2; c <= 0xF4; ++c) {
    t.of[c] = Lead{(uint8_t)(c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4), 0x80, 0xBF};
  }
  t.of[0xE0].lo = 0xA0;
  t.of[0xED].hi = 0x9F;
  t.of[0xF0].lo = 0x90;
  t.of[0xF4].hi = 0x8F;
  return t;
}();

// A sequence cut off by the end of the input at s[0..left): true when every
// byte present could begin a valid sequence, which Python's incremental
// decoder then leaves for later. Its check of the second byte there skips the
// surrogate range, so a final ED A0 counts as cut off, not invalid.
bool is_cut_off(const uint8_t* s, size_t left, const Lead& lead) {
  uint8_t hi = s[0] == 0xED ? 0xBF : lead.hi;
  if (left >= 2 && (s[1] < lead.lo || s[1] > hi)) return false;
  return left < 3 || is_continuation(s[2]);
}

// The verdict on s[i..n), i at a character boundary.
Check check_from(const uint8_t* s, size_t i, size_t n) {
  for (;;) {
    i = bytes::first_high_byte(s, i, n);
    if (i == n) return {Verdict::valid, n};
    do {
      const Lead& lead = LEADS.of[s[i]];
      size_t left = n - i;
      if (lead.length == 0) return {Verdict::invalid, i};
      if (left < lead.length) {
        return {is_cut_off(s + i, left, lead) ? Verdict::truncated : Verdict::invalid, i};
      }
      if (s[i + 1] < lead.lo || s[i + 1] > lead.hi) return {Verdict::invalid, i};
      if (lead.length >= 3 && !is_continuation(s[i + 2])) return {Verdict::invalid, i};
      if (lead.length == 4 && !is_continuation(s[i + 3])) return {Verdict::invalid, i};
      i += lead.length;
    } while (i < n && s[i] >= 0x80);
  }
}

#if defined(__x86_64__)

// The vector method judges each byte by the pair (previous byte, byte): three
// table lookups, by the previous byte's high and low nibble and the byte's
// high nibble, each give a set of fault classes, and the pair has a fault
// when a class is in all three. Every class is one such product of nibble
// sets; a condition that is not (the F0-F4 range checks) spans two classes.
struct PairClass {
  uint16_t prev_high, prev_low, high;  // bit k: nibble k belongs to the set
};

constexpr uint16_t nibbles(int from, int to) {
  uint16_t m = 0;
  for (int k = from; k <= to; ++k) m |= (uint16_t)(1u << k);
  return m;
}

constexpr uint16_t ANY = 0xFFFF;
constexpr uint16_t CONTINUATION = nibbles(0x8, 0xB);

// Bit k of a lookup's result is class k. The last one, two continuation bytes
// in a row, is no fault by itself: such a byte must be the third or fourth of
// a sequence, which the caller checks against the bytes two and three back.
constexpr PairClass PAIR_CLASSES[8] = {
    {nibbles(0xC, 0xF), ANY, (uint16_t)~CONTINUATION},  // a lead byte cut short
    {nibbles(0x0, 0x7), ANY, CONTINUATION},             // a continuation after ASCII
    {nibbles(0xC, 0xC), nibbles(0x0, 0x1), CONTINUATION},         // C0, C1: overlong
    {nibbles(0xE, 0xE), nibbles(0x0, 0x0), nibbles(0x8, 0x9)},    // E0 80-9F: overlong
    {nibbles(0xE, 0xE), nibbles(0xD, 0xD), nibbles(0xA, 0xB)},    // ED A0-BF: surrogate
    {nibbles(0xF, 0xF), nibbles(0x4, 0xF), nibbles(0x9, 0xB)},    // F4 90-BF, F5-FF
    {nibbles(0xF, 0xF), (uint16_t)(1 | nibbles(0x5, 0xF)), nibbles(0x8, 0x8)},  // F0 80-8F, F5-FF
    {CONTINUATION, ANY, CONTINUATION},
};
constexpr uint8_t TWO_CONTINUATIONS = 0x80;

struct NibbleTable {
  uint8_t of[16];
};

constexpr NibbleTable pair_table(uint16_t PairClass::*set) {
  NibbleTable t{};
  for (int nibble = 0; nibble < 16; ++nibble) {
    for (int k = 0; k < 8; ++k) {
      if ((PAIR_CLASSES[k].*set >> nibble) & 1) t.of[nibble] |= (uint8_t)(1u << k);
    }
  }
  return t;
}

constexpr NibbleTable PREV_HIGH = pair_table(&PairClass::prev_high);
constexpr NibbleTable PREV_LOW = pair_table(&PairClass::prev_low);
constexpr NibbleTable HIGH = pair_table(&PairClass::high);

[[gnu::target("avx2")]] inline __m256i lookup(const NibbleTable& table, __m256i nibbles) {
  __m128i half;
  std::memcpy(&half, table.of, 16);
  return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(half), nibbles);
}

// The block's bytes shifted up by N, the last N of `prev` coming in below.
template <int N>
[[gnu::target("avx2")]] inline __m256i previous(__m256i block, __m256i prev) {
  return _mm256_alignr_epi8(block, _mm256_permute2x128_si256(prev, block, 0x21), 16 - N);
}

// Non-zero bytes where the block (after `prev`) has a fault.
[[gnu::target("avx2")]] inline __m256i block_faults(__m256i block, __m256i prev) {
  const __m256i low_nibble = _mm256_set1_epi8(0x0F);
  __m256i prev1 = previous<1>(block, prev);
  __m256i classes = _mm256_and_si256(
      _mm256_and_si256(
          lookup(PREV_HIGH, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble)),
          lookup(PREV_LOW, _mm256_and_si256(prev1, low_nibble))),
      lookup(HIGH, _mm256_and_si256(_mm256_srli_epi16(block, 4), low_nibble)));
  // Bit 7 where the byte two back is E0 or above, or three back F0 or above:
  // there a continuation must follow a continuation.
  __m256i third = _mm256_subs_epu8(previous<2>(block, prev), _mm256_set1_epi8(0xE0 - 0x80));
  __m256i fourth = _mm256_subs_epu8(previous<3>(block, prev), _mm256_set1_epi8(0xF0 - 0x80));
  __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth),
                                           _mm256_set1_epi8((char)TWO_CONTINUATIONS));
  return _mm256_xor_si256(classes, must_continue);
}

// Non-zero when the block ends inside a sequence: a lead byte among its last
// three that needs more bytes than remain.
[[gnu::target("avx2")]] inline __m256i ends_inside(__m256i block) {
  const __m256i last_leads = _mm256_setr_epi8(
      -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
      -1, -1, -1, -1, -1, -1, -1, (char)(0xF0 - 1), (char)(0xE0 - 1), (char)(0xC0 - 1));
  return _mm256_subs_epu8(block, last_leads);
}

[[gnu::target("avx2")]] Check check_avx2(const uint8_t* s, size_t n) {
  size_t i = 0;
  __m256i prev = _mm256_setzero_si256();
  __m256i open = _mm256_setzero_si256();  // the previous block ends inside a sequence
  for (; n - i >= 32; i += 32) {
    __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    // Runs of ASCII, the bulk of most documents, go two blocks at a time.
    while (n - i >= 64 && _mm256_testz_si256(open, open)) {
      __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 32));
      if (_mm256_movemask_epi8(_mm256_or_si256(block, next)) != 0) break;
      prev = next;
      i += 64;
      if (n - i < 32) break;
      block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    }
    if (n - i < 32) break;
    if (_mm256_movemask_epi8(block) == 0) {
      if (!_mm256_testz_si256(open, open)) break;
    } else {
      __m256i faults = block_faults(block, prev);
      if (!_mm256_testz_si256(faults, faults)) break;
      open = ends_inside(block);
    }
    prev = block;
  }
  // All before i is valid but perhaps for one sequence begun in its last
  // three bytes: resume at that sequence's lead, a character boundary.
  size_t j = i;
  while (j > 0 && i - j < 3 && is_continuation(s[j - 1])) --j;
  if (j > 0 && s[j - 1] >= 0xC0) --j;
  return check_from(s, j, n);
}

using Checker = Check (*)(const uint8_t*, size_t);

Checker best_checker() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") ? check_avx2 : check_portable;
}

#endif

}  // namespace

Check check_portable(const uint8_t* s, size_t n) { return check_from(s, 0, n); }

Check check(const uint8_t* s, size_t n) {
#if defined(__x86_64__)
  static const Checker checker = best_checker();
  return checker(s, n);
#else
  return check_portable(s, n);
#endif
}

}  // namespace qc::utf8
