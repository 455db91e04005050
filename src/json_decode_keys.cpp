// The key cache: a fixed table of strong references to recent key strings,
// found by a seeded hash of their UTF-8 text so that crafted documents cannot
// aim at one slot. Shared by every thread, under one mutex.
#include "json_decode_keys.hpp"

#include "object.hpp"
#include "uint128.hpp"

#include <sys/random.h>

#include <cstdint>
#include <ctime>

namespace qc {
namespace {

constexpr size_t KEY_CACHE_SLOTS = 16384;
constexpr size_t KEY_CACHE_PROBES = 5;
constexpr size_t KEY_CACHE_MIN = 2;
constexpr size_t KEY_CACHE_MAX = 63;

inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  u128 r = (u128)a * b;
  return (uint64_t)r ^ (uint64_t)(r >> 64);
}

// A cached key equals the text: ASCII ones (nearly all) compared in place.
bool equals(PyObject* key, const char* s, size_t n) {
  if (!PyUnicode_IS_ASCII(key)) return PyUnicode_EqualToUTF8AndSize(key, s, (Py_ssize_t)n);
  return (size_t)PyUnicode_GET_LENGTH(key) == n &&
         std::memcmp(PyUnicode_1BYTE_DATA(key), s, n) == 0;
}

uint64_t load8(const char* s) {
  uint64_t v;
  std::memcpy(&v, s, 8);
  return v;
}

uint32_t load4(const char* s) {
  uint32_t v;
  std::memcpy(&v, s, 4);
  return v;
}

// The bytes of s[0..n) (n >= 1) that a hash of the last bytes takes, without a
// call to memcpy: the final eight when there are eight, else loads of four or
// fewer bytes from both ends.
uint64_t tail_bytes(const char* s, size_t n) {
  const char* end = s + n;
  if (n >= 8) return load8(end - 8);
  if (n >= 4) return (uint64_t)load4(s) << 32 | load4(end - 4);
  return (uint64_t)(uint8_t)s[0] << 16 | (uint64_t)(uint8_t)s[n / 2] << 8 | (uint8_t)end[-1];
}

// The first eight bytes of s[0..n) (n >= 1), or as many as there are.
uint64_t head_bytes(const char* s, size_t n) { return n >= 8 ? load8(s) : tail_bytes(s, n); }

class KeyCache {
 public:
  // The cached str equal to the UTF-8 text s[0..n) (valid UTF-8), or a new
  // one. New reference, or nullptr with an error set.
  PyObject* get(const char* s, size_t n, bool ascii) {
    if (n < KEY_CACHE_MIN || n > KEY_CACHE_MAX) return str_from_text(s, n, ascii);
    PyMutex_Lock(&mutex_);
    if (!slots_ && !create()) {
      PyMutex_Unlock(&mutex_);
      return str_from_text(s, n, ascii);
    }
    if (failed_) empty();
    uint64_t hash = hash_key(s, n);
    size_t home = hash & (KEY_CACHE_SLOTS - 1);
    size_t stop = home + KEY_CACHE_PROBES < KEY_CACHE_SLOTS ? home + KEY_CACHE_PROBES
                                                             : KEY_CACHE_SLOTS;
    for (size_t i = home; i < stop; ++i) {
      Slot& slot = slots_[i];
      if (!slot.text) return store(i, hash, s, n, ascii);
      if (slot.hash == hash && equals(slot.text, s, n)) {
        PyObject* hit = Py_NewRef(slot.text);
        PyMutex_Unlock(&mutex_);
        return hit;
      }
    }
    return store(home, hash, s, n, ascii);
  }

 private:
  struct Slot {
    uint64_t hash;
    PyObject* text;  // strong reference, or nullptr for an empty slot
  };

  bool create() {
    slots_ = (Slot*)PyMem_RawCalloc(KEY_CACHE_SLOTS, sizeof(Slot));
    if (!slots_) return false;
    if (getrandom(seed_, sizeof seed_, GRND_NONBLOCK) != (ssize_t)sizeof seed_) {
      // No entropy yet this early in boot: the clock and an address still
      // differ from process to process.
      timespec ts{};
      clock_gettime(CLOCK_REALTIME, &ts);
      seed_[0] = (uint64_t)ts.tv_nsec * 0x9E3779B97F4A7C15u ^ (uint64_t)ts.tv_sec;
      seed_[1] = fold_multiply((uint64_t)(uintptr_t)slots_ ^ seed_[0], 0xD6E8FEB86659FD93u);
    }
    seed_[1] |= 1;
    return true;
  }

  uint64_t hash_key(const char* s, size_t n) const {
    uint64_t h = seed_[0] ^ (n * 0x9E3779B97F4A7C15u);
    const char* end = s + n;
    for (; end - s >= 8; s += 8) h = fold_multiply(h ^ load8(s), seed_[1]);
    if (size_t rest = (size_t)(end - s)) {
      // Overlapping what was hashed when the key has eight bytes or more; the
      // length is mixed in.
      uint64_t chunk = n >= 8 ? load8(end - 8) : tail_bytes(s, rest);
      h = fold_multiply(h ^ chunk ^ ((uint64_t)rest << 59), seed_[1]);
    }
    return fold_multiply(h ^ (h >> 29), 0xBF58476D1CE4E5B9u);
  }

  // Creates the key's str and stores it in slot i, releasing what was there.
  // Called with the mutex held; releases it.
  PyObject* store(size_t i, uint64_t hash, const char* s, size_t n, bool ascii) {
    PyObject* str = str_from_text(s, n, ascii);
    if (!str) {
      failed_ = true;
      PyMutex_Unlock(&mutex_);
      return nullptr;
    }
    Slot& slot = slots_[i];
    Object old = Object::steal(slot.text);
    if (!old) ++filled_;
    slot = Slot{hash, Py_NewRef(str)};
    last_filled_ = i;
    PyMutex_Unlock(&mutex_);
    return str;  // `old` goes after the mutex is released
  }

  // After a failure every use starts from an empty table, so each use finds
  // at most the one entry the previous use stored.
  void empty() {
    if (filled_ == 1) {
      Py_CLEAR(slots_[last_filled_].text);
    } else if (filled_ > 1) {
      for (size_t i = 0; i < KEY_CACHE_SLOTS; ++i) Py_CLEAR(slots_[i].text);
    }
    filled_ = 0;
  }

  PyMutex mutex_{};
  Slot* slots_ = nullptr;
  uint64_t seed_[2] = {0, 0};
  size_t filled_ = 0;
  size_t last_filled_ = 0;
  bool failed_ = false;
};

constinit KeyCache KEY_CACHE;

// The code points of valid UTF-8, written in one of the str kinds.
template <typename Unit>
void decode_valid_utf8(const uint8_t* s, const uint8_t* end, Unit* out) {
  while (s < end) {
    uint32_t c = *s;
    if (c < 0x80) {
      *out++ = (Unit)c;
      s += 1;
    } else if (c < 0xE0) {
      *out++ = (Unit)((c & 0x1F) << 6 | (s[1] & 0x3F));
      s += 2;
    } else if (c < 0xF0) {
      *out++ = (Unit)((c & 0x0F) << 12 | (s[1] & 0x3F) << 6 | (s[2] & 0x3F));
      s += 3;
    } else {
      *out++ = (Unit)((c & 0x07) << 18 | (s[1] & 0x3F) << 12 | (s[2] & 0x3F) << 6 |
                      (s[3] & 0x3F));
      s += 4;
    }
  }
}

}  // namespace

PyObject* str_from_valid_utf8(const char* text, size_t n) {
  const uint8_t* s = (const uint8_t*)text;
  // One pass for the length (bytes that start a character) and the largest
  // lead byte, which alone tells the narrowest kind that holds every code
  // point: C2-C3 lead to at most U+00FF, C4-EF to at most U+FFFF.
  size_t continuations = 0;
  uint8_t max_byte = 0;
  for (size_t i = 0; i < n; ++i) {
    continuations += (s[i] & 0xC0) == 0x80;
    max_byte = s[i] > max_byte ? s[i] : max_byte;
  }
  Py_UCS4 max_char = max_byte < 0xC4 ? 0xFF : max_byte < 0xF0 ? 0xFFFF : 0x10FFFF;
  PyObject* str = PyUnicode_New((Py_ssize_t)(n - continuations), max_char);
  if (!str) return nullptr;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      decode_valid_utf8(s, s + n, PyUnicode_1BYTE_DATA(str));
      break;
    case PyUnicode_2BYTE_KIND:
      decode_valid_utf8(s, s + n, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      decode_valid_utf8(s, s + n, PyUnicode_4BYTE_DATA(str));
      break;
  }
  return str;
}

PyObject* cached_key(const char* s, size_t n, bool ascii) { return KEY_CACHE.get(s, n, ascii); }

CallKeys::~CallKeys() {
  for (size_t i = 0; used_ > 0 && i < SLOTS; ++i) {
    if (slots_[i].text) {
      Object::steal(slots_[i].text);
      --used_;
    }
  }
}

PyObject* CallKeys::get(const char* s, size_t n, bool ascii) {
  if (n < KEY_CACHE_MIN || n > KEY_CACHE_MAX) return str_from_text(s, n, ascii);
  // Unseeded: keys crafted to collide here only fall through to the shared
  // cache, as every key did before this table.
  uint64_t hash =
      (head_bytes(s, n) ^ tail_bytes(s, n) * 0x9E3779B97F4A7C15u ^ n) * 0xD6E8FEB86659FD93u;
  Slot& slot = slots_[hash >> 58];
  if (slot.text && slot.hash == hash && equals(slot.text, s, n)) return Py_NewRef(slot.text);
  PyObject* key = KEY_CACHE.get(s, n, ascii);
  if (!key) return nullptr;
  if (!slot.text) ++used_;
  Object old = Object::steal(slot.text);
  slot = Slot{hash, Py_NewRef(key)};
  return key;
}

}  // namespace qc
