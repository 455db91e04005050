// Sixteen bytes at a time: the one block type and mask primitive behind the
// byte scans of the JSON encoder, the JSON reader and the UTF-8 validator.
// Everything here is inline: it runs in their innermost loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qc::bytes {

// A block of bytes compared all at once (SSE2 or NEON, whichever the target
// has). Comparisons give masks: 0xFF in each byte where they hold, 0 elsewhere.
typedef uint8_t Block __attribute__((vector_size(16)));
typedef int8_t SignedBlock __attribute__((vector_size(16)));
inline constexpr size_t BLOCK_SIZE = sizeof(Block);

// The 16 bytes at p, which need no alignment.
inline Block load(const uint8_t* p) noexcept {
#if defined(__SSE2__)
  return Block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
#else
  Block x;
  std::memcpy(&x, p, BLOCK_SIZE);
  return x;
#endif
}

// One bit per byte of a block, the byte's top bit: for a mask, set where the
// comparison holds; for raw bytes, set where the byte is 0x80 or above.
inline unsigned top_bits(Block b) noexcept {
#if defined(__SSE2__)
  return unsigned(_mm_movemask_epi8(__m128i(b)));
#else
  unsigned bits = 0;
  for (int i = 0; i < 16; ++i) bits |= unsigned(b[i] >> 7) << i;
  return bits;
#endif
}

// Index of the first byte set in a mask, or BLOCK_SIZE when there is none.
inline size_t first_set(Block mask) noexcept {
  const unsigned bits = top_bits(mask);
  return bits ? size_t(std::countr_zero(bits)) : BLOCK_SIZE;
}

// The mask of the bytes below `limit` (unsigned), as min(x, limit - 1) == x:
// two instructions with SSE2, where the compiler's own form of `x < limit`
// takes three.
inline Block below(Block x, uint8_t limit) noexcept {
#if defined(__SSE2__)
  const __m128i v = __m128i(x);
  return Block(_mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(char(limit - 1))), v));
#else
  return Block(x < limit);
#endif
}

// The first index at or after i of a byte 0x80 or above in s[0..n), or n.
// Without SSE2, eight bytes at a time in a word.
inline size_t first_high_byte(const uint8_t* s, size_t i, size_t n) noexcept {
#if defined(__SSE2__)
  for (; n - i >= BLOCK_SIZE; i += BLOCK_SIZE) {
    if (unsigned bits = top_bits(load(s + i))) return i + std::countr_zero(bits);
  }
#else
  for (; n - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, s + i, 8);
    if (uint64_t high = word & 0x8080808080808080u) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + std::countr_zero(high) / 8;
      }
      break;
    }
  }
#endif
  while (i < n && s[i] < 0x80) ++i;
  return i;
}

}  // namespace qc::bytes
