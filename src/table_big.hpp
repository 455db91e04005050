// A fixed-size unsigned big number for building tables of powers at compile
// time: the reader's powers of five (json_decode_number.cpp) and the float writer's
// powers of ten (float_text.cpp). Nothing here runs at run time.
#pragma once

#include <bit>
#include <cstdint>

#include "uint128.hpp"

namespace qc::table_big {

constexpr int TABLE_LIMBS = 20;
struct TableBig {
  uint64_t limb[TABLE_LIMBS]{};
};

// The top 128 bits of a big number and their scale.
struct Top128 {
  uint64_t hi, lo;
  int32_t exp2;
};

constexpr int big_bits(const TableBig& x) {
  for (int i = TABLE_LIMBS - 1; i >= 0; --i) {
    if (x.limb[i]) return 64 * i + 64 - std::countl_zero(x.limb[i]);
  }
  return 0;
}

constexpr void big_mul_small(TableBig& x, uint64_t m) {
  uint64_t carry = 0;
  for (uint64_t& l : x.limb) {
    u128 t = (u128)l * m + carry;
    l = (uint64_t)t;
    carry = (uint64_t)(t >> 64);
  }
}

constexpr void big_div_small(TableBig& x, uint64_t d) {
  uint64_t rem = 0;
  for (int i = TABLE_LIMBS - 1; i >= 0; --i) {
    u128 cur = ((u128)rem << 64) | x.limb[i];
    x.limb[i] = (uint64_t)(cur / d);
    rem = (uint64_t)(cur % d);
  }
}

// Bits pos .. pos+63 of x; bits below bit 0 read as zero.
constexpr uint64_t big_window(const TableBig& x, int pos) {
  if (pos <= -64) return 0;
  if (pos < 0) return big_window(x, 0) << -pos;
  int i = pos / 64, s = pos % 64;
  uint64_t low = i < TABLE_LIMBS ? x.limb[i] : 0;
  uint64_t high = i + 1 < TABLE_LIMBS ? x.limb[i + 1] : 0;
  return s == 0 ? low : (low >> s) | (high << (64 - s));
}

// The top 128 bits of x (truncated) and their scale, x ~ T·2^(exp2 - scale).
constexpr Top128 big_top128(const TableBig& x, int scale) {
  int shift = big_bits(x) - 128;
  return Top128{big_window(x, shift + 64), big_window(x, shift), shift - scale};
}

// Calls store(q, top) with the top 128 bits of 5^q (truncated), scaled so
// that 5^q ~ T·2^exp2, for q = 0..max_q and then q = -1..min_q. The negative
// powers come from floor(2^K / 5^n) by repeated exact floor division, which
// keeps far more than 128 bits for every n <= 400, so each is a true floor.
template <class Store>
constexpr void for_each_pow5_top128(int min_q, int max_q, Store store) {
  TableBig x{};
  x.limb[0] = 1;
  for (int q = 0; q <= max_q; ++q) {
    store(q, big_top128(x, 0));
    big_mul_small(x, 5);
  }
  constexpr int K = 1100;
  TableBig y{};
  y.limb[K / 64] = uint64_t{1} << (K % 64);
  for (int n = 1; n <= -min_q; ++n) {
    big_div_small(y, 5);
    store(-n, big_top128(y, K));
  }
}

}  // namespace qc::table_big
