// The encoder's cache of the key texts one to_json call has written.
#pragma once

#include "object.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qc {

// Keys already written by this call, by identity: the same str objects name
// the members of every row of a list, and their text (quotes and separator
// included) is then copied instead of scanned again. Each entry holds a
// strong reference, so no key can be freed, and its address reused by
// another str, while the call runs.

class KeyTextCache {
 public:
  static constexpr size_t TEXT_MAX = 32;

  // Only the key slots are cleared: a call that writes a handful of keys
  // should not pay for clearing the whole table.
  KeyTextCache() {}
  KeyTextCache(const KeyTextCache&) = delete;
  KeyTextCache& operator=(const KeyTextCache&) = delete;

  // The text written for `key`, always TEXT_MAX bytes to copy; nullptr when
  // it is not cached.
  const char* find(PyObject* key, size_t& size) const {
    const size_t first = bucket_of(key) * WAYS;
    for (size_t i = first; i < first + WAYS; ++i) {
      if (keys_[i].get() == key) {
        size = sizes_[i];
        return texts_[i];
      }
    }
    return nullptr;
  }
  // Takes a free way of the key's bucket; a full bucket drops its oldest
  // key, so that keys that meet in one bucket, as the keys of every row do,
  // are all kept while they fit.
  void store(PyObject* key, const char* text, size_t size) {
    if (size > TEXT_MAX) return;
    const size_t first = bucket_of(key) * WAYS;
    size_t i = first;
    while (i < first + WAYS - 1 && keys_[i]) ++i;
    for (; i > first && keys_[first + WAYS - 1]; --i) move_way(i - 1, i);
    keys_[i] = Object::borrow(key);
    std::memset(texts_[i], 0, TEXT_MAX);
    std::memcpy(texts_[i], text, size);
    sizes_[i] = size;
  }

 private:
  void move_way(size_t from, size_t to) {
    keys_[to] = std::move(keys_[from]);
    sizes_[to] = sizes_[from];
    std::memcpy(texts_[to], texts_[from], TEXT_MAX);
  }

  static constexpr unsigned BUCKET_BITS = 5;
  static constexpr size_t WAYS = 4;
  static constexpr size_t SLOTS = (size_t(1) << BUCKET_BITS) * WAYS;
  // Keys made one after another lie at a fixed stride, which a plain
  // multiplicative hash can gather into a few buckets; the address is mixed
  // first (a 64-bit finalizer) so that every stride spreads.
  static size_t bucket_of(PyObject* key) {
    uint64_t x = uintptr_t(key);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDu;
    x ^= x >> 33;
    return size_t(x >> (64 - BUCKET_BITS));
  }

  Object keys_[SLOTS];
  size_t sizes_[SLOTS];
  char texts_[SLOTS][TEXT_MAX];
};

}  // namespace qc
