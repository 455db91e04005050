#include "json.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "arguments.hpp"
#include "float_text.hpp"
#include "format.hpp"
#include "guards.hpp"
#include "json_common.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "once_slot.hpp"
#include "text.hpp"

namespace qc {

namespace {

OnceSlot JSON_FALLBACK;

constexpr Param TO_JSON_PARAMS[] = {
    {"obj", true, false},        {"ensure_ascii", false, true}, {"compact", false, true},
    {"allow_nan", false, true},  {"default", false, true},
};
constexpr Signature TO_JSON_SIG{"to_json()", TO_JSON_PARAMS};

// Deepest value written natively; deeper documents (and cycles) go back to
// Python's encoder, which has its own words for them.
constexpr unsigned MAX_DEPTH = 512;
// The first reservation follows the size of the last output (a server
// renders the same kinds of response over and over), so that a large one is
// written without being reallocated and copied as it grows; past this size
// a document grows as usual.
constexpr size_t SIZE_HINT_MAX = size_t(64) << 20;
std::atomic<size_t> recent_output_size{0};

// Messages. The fallback reasons name what the native encoder does not
// reproduce; the others are Python's own texts.
namespace msg {
constexpr const char* TOO_DEEP = "nesting too deep";
constexpr const char* SURROGATES = "string with surrogates";
constexpr const char* DICT_RESIZED = "dictionary changed size during iteration";
constexpr const char* DICT_CHANGED = "dictionary keys changed during iteration";
constexpr const char* BAD_UUID = "UUID whose int is not a 128-bit value";
constexpr const char* NOT_PAIR = "items must return 2-tuples";
constexpr const char* BAD_KEY = "keys must be str, int, float, bool or None, not %.100s";
constexpr const char* BAD_FLOAT = "Out of range float values are not JSON compliant: %R";
constexpr const char* NOT_SERIALIZABLE = "Object of type %S is not JSON serializable";
constexpr const char* NOTE_ITEM = "when serializing %T item %zd";
constexpr const char* NOTE_MEMBER = "when serializing %T item %R";
constexpr const char* NOTE_OBJECT = "when serializing %T object";
}  // namespace msg

// ---------------------------------------------------------------------------
// Errors.

bool fallback(const char* reason) {
  if (PyObject* type = json_fallback_type()) PyErr_SetString(type, reason);
  return false;
}

// Attaches "when serializing ..." to the pending exception, as Python's
// encoder does, so a failure deep in a document says where it happened.
// Fallbacks get none: the caller re-encodes and never shows them; nor does
// anything on an interpreter whose encoder adds none.
[[gnu::cold]] void add_note(const char* format, ...) {
  if constexpr (!compat::JSON_ERROR_NOTES) return;
  PyObject* fallback_type = JSON_FALLBACK.peek();
  if (fallback_type && PyErr_ExceptionMatches(fallback_type)) return;
  Object exc = Object::steal(PyErr_GetRaisedException());
  if (!exc) return;
  va_list args;
  va_start(args, format);
  Object note = Object::steal(PyUnicode_FromFormatV(format, args));
  va_end(args);
  PyObject* add = note ? base_exception_add_note() : nullptr;
  Object done;
  if (add) done = Object::steal(PyObject_CallFunctionObjArgs(add, exc.get(), note.get(), nullptr));
  // A note that cannot be made must not replace the real error.
  if (!done) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
}

// json.JSONEncoder.default's error: the name comes from `o.__class__`.
[[gnu::cold]] bool not_serializable(PyObject* value) {
  PyObject* class_name = names::dunder_class();
  PyObject* name_name = names::dunder_name();
  if (!class_name || !name_name) return false;
  Object cls = Object::steal(PyObject_GetAttr(value, class_name));
  Object name = cls ? Object::steal(PyObject_GetAttr(cls.get(), name_name)) : Object();
  if (name) PyErr_Format(PyExc_TypeError, msg::NOT_SERIALIZABLE, name.get());
  return false;
}

// ---------------------------------------------------------------------------
// Separators: "," or ", " between items, ":" or ": " after keys, or nothing.
// Both bytes are always stored and the end moved by the length, so writing
// one takes no loop and no branch.
struct Separator {
  static constexpr size_t ROOM = 2;  // bytes to reserve for any separator
  char text[ROOM];
  size_t size;

  static constexpr Separator of(std::string_view s) {
    return {{s[0], s.size() > 1 ? s[1] : ' '}, s.size()};
  }
  char* write(char* out) const {
    std::memcpy(out, text, ROOM);
    return out + size;
  }
};
constexpr Separator NO_SEPARATOR{{' ', ' '}, 0};

// ---------------------------------------------------------------------------
// The output buffer: small documents on the stack, larger ones in the bytes
// object that is returned, written in place and grown geometrically.

class Buffer {
 public:
  // Small documents (one object's detail) are written on the stack and made
  // into bytes with one copy at the end.
  static constexpr size_t INLINE_CAPACITY = 2048;

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Guarantees room for `n` more bytes; false with MemoryError set.
  bool reserve(size_t n) { return cap_ - size_ >= n || grow(n); }
  // Raw writing after `reserve`: take `end()`, write, hand the new end back.
  char* end() { return data_ + size_; }
  void set_end(char* p) { size_ = size_t(p - data_); }

  bool append(std::string_view text) {
    // An empty view may carry a null pointer, which memcpy must never see.
    if (text.empty()) return true;
    if (!reserve(text.size())) return false;
    std::memcpy(end(), text.data(), text.size());
    size_ += text.size();
    return true;
  }
  bool append(Separator separator) {
    if (!reserve(Separator::ROOM)) return false;
    set_end(separator.write(end()));
    return true;
  }
  bool put(char c) {
    if (!reserve(1)) return false;
    data_[size_++] = c;
    return true;
  }
  size_t size() const { return size_; }
  // The text written, as bytes (new reference); the buffer is empty after.
  PyObject* take_bytes() {
    if (!bytes_) return PyBytes_FromStringAndSize(data_, Py_ssize_t(size_));
    if (cap_ - size_ > cap_ / 4) {
      if (!resize(size_)) return nullptr;
    } else {
      // A little slack is kept rather than reallocated away. The allocator
      // serves a block as large as one freed before from memory it already
      // has, but a larger one from fresh pages (a new mapping, a page fault
      // for every 4 KB written): shrinking each response to its size would
      // make the next, reserved with room to spare, always larger.
      Py_SET_SIZE(bytes_.get(), Py_ssize_t(size_));
      data_[size_] = '\0';
    }
    data_ = nullptr;
    size_ = cap_ = 0;
    return bytes_.release();
  }

 private:
  [[gnu::noinline]] bool grow(size_t n) {
    // One byte of the bytes object's own allocation stays for its NUL.
    constexpr size_t LIMIT = size_t(PY_SSIZE_T_MAX) - sizeof(PyBytesObject);
    if (n > LIMIT - size_) {
      PyErr_NoMemory();
      return false;
    }
    size_t want = size_ + n;
    // Twice the room, or what is asked for when that is more (a size hint):
    // rounding a hint up to a power of two would waste up to half of it.
    size_t cap = cap_ > LIMIT / 2 ? LIMIT : cap_ * 2;
    if (cap < want) cap = want;
    if (!bytes_) {
      bytes_ = Object::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(cap)));
      if (!bytes_) return false;
      std::memcpy(PyBytes_AS_STRING(bytes_.get()), inline_, size_);
    } else if (!resize(cap)) {
      return false;
    }
    data_ = PyBytes_AS_STRING(bytes_.get());
    cap_ = cap;
    return true;
  }

  // _PyBytes_Resize reallocates the object we hold the only reference to; on
  // failure it has already released it.
  bool resize(size_t size) {
    PyObject* raw = bytes_.release();
    int failed = _PyBytes_Resize(&raw, Py_ssize_t(size));
    bytes_ = Object::steal(raw);
    return failed == 0;
  }

  Object bytes_;  // empty while the text fits in inline_
  char* data_ = inline_;
  size_t size_ = 0;
  size_t cap_ = INLINE_CAPACITY;
  char inline_[INLINE_CAPACITY];
};

// ---------------------------------------------------------------------------
// Numbers.

constexpr auto DIGIT_PAIRS = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[size_t(2 * i)] = char('0' + i / 10);
    t[size_t(2 * i + 1)] = char('0' + i % 10);
  }
  return t;
}();

constexpr size_t INT_TEXT_MAX = 20;  // "-9223372036854775808"

constexpr auto POWERS_OF_10 = [] {
  std::array<uint64_t, 20> t{};
  t[0] = 1;
  for (size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
  return t;
}();

inline size_t decimal_length(uint64_t u) {
  u |= 1;  // same length, and 0 has one digit
  // 1233 / 4096 approximates log10(2): the guess is the length or one less.
  size_t guess = size_t(std::bit_width(u)) * 1233 >> 12;
  return guess + (u >= POWERS_OF_10[guess] ? 1 : 0);
}

inline char* push_int(char* out, long long v) {
  uint64_t u = v < 0 ? 0ULL - uint64_t(v) : uint64_t(v);
  if (v < 0) *out++ = '-';
  char* const end = out + decimal_length(u);
  char* p = end;
  while (u >= 100) {
    p -= 2;
    std::memcpy(p, &DIGIT_PAIRS[size_t(u % 100) * 2], 2);
    u /= 100;
  }
  if (u >= 10) {
    std::memcpy(p - 2, &DIGIT_PAIRS[size_t(u) * 2], 2);
  } else {
    p[-1] = char('0' + u);
  }
  return end;
}

// ---------------------------------------------------------------------------
// Strings.

// Longer strings are written this many code units at a time, so that the
// worst-case reservation (ESCAPE_MAX per unit) stays small.
constexpr size_t STRING_CHUNK = 1024;
constexpr size_t UTF8_CHUNK = 4096;  // bytes, for text taken in its UTF-8 form

// Bytes that end a run copied as is: control characters, '"', '\\' and every
// byte above 0x7F (non-ASCII Latin-1 characters need re-encoding or an
// escape); DEL too when the output must be ASCII.
template <bool EnsureAscii>
constexpr auto STOP = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[size_t(c)] = c < 0x20 || c == '"' || c == '\\' || c >= 0x80;
  t[0x7F] = EnsureAscii;
  return t;
}();

// The short escapes JSON has; 0 where a character takes \uXXXX.
constexpr auto SHORT_ESCAPE = [] {
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
constexpr size_t ESCAPE_MAX = 12;

// Two hex digits for each byte value, so a \uXXXX escape takes two copies.
constexpr auto HEX_PAIRS = [] {
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

// Blocks of bytes handled at once (SSE2 or NEON, whichever the target has).
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef int8_t Signed16 __attribute__((vector_size(16)));

// The bytes that end a run of one-byte code units (STOP): a mask with 0xFF
// in each such byte of a block. Bytes at or above 0x80 are negative as
// signed chars, so one signed comparison finds them together with the
// control characters.
template <bool EnsureAscii>
struct NarrowStops {
  static bool at(uint8_t c) { return STOP<EnsureAscii>[c]; }
  static Bytes16 mask(Bytes16 x) {
    auto m = Bytes16((Signed16)x < 0x20) | Bytes16(x == '"') | Bytes16(x == '\\');
    if constexpr (EnsureAscii) m |= Bytes16(x == 0x7F);
    return m;
  }
};

// One bit per byte of a mask, set where the byte is set.
inline unsigned mask_bits(Bytes16 mask) {
#if defined(__SSE2__)
  return unsigned(_mm_movemask_epi8(__m128i(mask)));
#else
  unsigned bits = 0;
  for (int i = 0; i < 16; ++i) bits |= unsigned(mask[i] != 0) << i;
  return bits;
#endif
}

// Index of the first set byte of the mask, or 16 when there is none.
inline size_t first_stop(Bytes16 mask) {
  const unsigned bits = mask_bits(mask);
  return bits ? size_t(std::countr_zero(bits)) : 16;
}

// Copies the last `rest` bytes, 4 <= rest < 16 (8 <= rest when W is 8), as
// two overlapping words of W bytes when none of them stops a run; false,
// having written nothing, otherwise. The two words are checked as the two
// halves of one block.
template <class Stops, size_t W>
inline bool copy_tail(char*& out, const uint8_t*& p, size_t rest) {
  Bytes16 words{};
  std::memcpy(&words, p, W);
  std::memcpy(reinterpret_cast<char*>(&words) + 8, p + rest - W, W);
  // Only the words' own bytes count: the zeros that pad four-byte words
  // would read as control characters.
  constexpr unsigned OWN = W == 8 ? 0xFFFF : 0x0F0F;
  if (mask_bits(Stops::mask(words)) & OWN) return false;
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
    Bytes16 x;
    std::memcpy(&x, p, 16);
    std::memcpy(out, &x, 16);
    size_t k = first_stop(Stops::mask(x));
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
constexpr auto UTF8_STOP = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[size_t(c)] = c < 0x20 || c == '"' || c == '\\' || c == 0xE2;
  return t;
}();

struct Utf8Stops {
  static bool at(uint8_t c) { return UTF8_STOP[c]; }
  static Bytes16 mask(Bytes16 x) {
    return Bytes16(x < 0x20) | Bytes16(x == '"') | Bytes16(x == '\\') | Bytes16(x == 0xE2);
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

// ---------------------------------------------------------------------------
// Keys already written by this call, by identity: the same str objects name
// the members of every row of a list, and their text (quotes and separator
// included) is then copied instead of scanned again. Each entry holds a
// strong reference, so no key can be freed, and its address reused by
// another str, while the call runs.

class KeyCache {
 public:
  static constexpr size_t TEXT_MAX = 32;

  // Only the key slots are cleared: a call that writes a handful of keys
  // should not pay for clearing the whole table.
  KeyCache() {}
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

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

// ---------------------------------------------------------------------------
// The encoder.

struct Encoder {
  // A constructor rather than aggregate initialization, which would clear
  // the key cache's whole table first.
  Encoder(bool compact, Object hook, bool ascii, bool nan)
      : item_separator(Separator::of(compact ? "," : ", ")),
        key_separator(Separator::of(compact ? ":" : ": ")),
        default_hook(std::move(hook)),
        ensure_ascii(ascii),
        allow_nan(nan) {}

  Buffer output;
  Separator item_separator;
  Separator key_separator;
  Object default_hook;  // empty: no hook
  bool ensure_ascii;
  bool allow_nan;
  KeyCache keys;

  bool encode(PyObject* value, unsigned depth);
  // A member's value or an item: the two commonest types dispatched in
  // place, the rest through encode().
  [[gnu::always_inline]] bool nested(PyObject* value, unsigned depth) {
    PyTypeObject* type = Py_TYPE(value);
    if (depth <= MAX_DEPTH) {
      if (type == &PyUnicode_Type) return string(value);
      if (type == &PyLong_Type) return int_value(value);
    }
    return encode(value, depth);
  }

 private:
  bool array(PyObject* seq, unsigned depth);
  bool list_items(PyObject* list, PyObject* seq, unsigned depth);
  bool tuple_items(PyObject* tuple, PyObject* seq, unsigned depth);
  bool dict(PyObject* dict, unsigned depth);
  bool exact_dict_members(PyObject* dict, unsigned depth);
  bool mapping_members(PyObject* dict, unsigned depth);
  [[gnu::always_inline]] bool member(bool first, PyObject* key, PyObject* value,
                                     PyObject* container, unsigned depth);
  bool held_member(bool first, PyObject* key, PyObject* value, PyObject* dict, unsigned depth);
  bool key(PyObject* key);
  bool str_key(PyObject* key);
  // The string literal of `str` followed by `after`.
  bool string(PyObject* str, Separator after = NO_SEPARATOR);
  bool other_string(PyObject* str, Separator after);
  bool long_string(PyObject* str, Separator after);
  bool utf8_string(std::string_view text, Separator after);
  char* units(char* out, PyObject* str, size_t start, size_t count) const;
  bool int_value(PyObject* value);
  bool big_int(PyObject* value);
  bool float_value(double d, PyObject* owner);
  bool other(PyObject* value, unsigned depth);
  bool datetime_value(PyObject* value);
  bool date_value(PyObject* value);
  bool decimal_value(PyObject* value);
  bool uuid_value(PyObject* value);
  bool hook(PyObject* value, unsigned depth);
};

// Values whose writing runs no Python code, so that nothing can drop the
// dict's references to them or to their key while they are written: exact
// str, int and float, None, True and False.
inline bool is_plain_scalar(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBool_Type || value == Py_None;
}

bool Encoder::encode(PyObject* value, unsigned depth) {
  if (depth > MAX_DEPTH) return fallback(msg::TOO_DEEP);
  PyTypeObject* type = Py_TYPE(value);
  // Python's encoder tests None, True, False, str, int, float, list or
  // tuple, dict, in this order; the exact types come first here only
  // because they are the common case, and no type passes two of the tests.
  if (type == &PyUnicode_Type) return string(value);
  if (type == &PyLong_Type) return int_value(value);
  if (type == &PyDict_Type) return dict(value, depth);
  if (type == &PyList_Type || type == &PyTuple_Type) return array(value, depth);
  if (value == Py_None) return output.append("null");
  if (value == Py_True) return output.append("true");
  if (value == Py_False) return output.append("false");
  if (type == &PyFloat_Type) return float_value(PyFloat_AS_DOUBLE(value), value);
  if (PyUnicode_Check(value)) return string(value);
  if (PyLong_Check(value)) return int_value(value);
  if (PyFloat_Check(value)) return float_value(PyFloat_AS_DOUBLE(value), value);
  if (PyList_Check(value) || PyTuple_Check(value)) return array(value, depth);
  if (PyDict_Check(value)) return dict(value, depth);
  return other(value, depth);
}

bool Encoder::array(PyObject* seq, unsigned depth) {
  // A list or tuple is walked in place, re-reading its length at every step
  // as Python's encoder does; a subclass is first collected through its own
  // iteration, before any item is written.
  Object fast = Object::steal(PySequence_Fast(seq, compat::JSON_NOT_SEQUENCE));
  if (!fast) return false;
  if (PySequence_Fast_GET_SIZE(fast.get()) == 0) return output.append("[]");
  if (!output.put('[')) return false;
  const bool ok = PyList_Check(fast.get()) ? list_items(fast.get(), seq, depth)
                                           : tuple_items(fast.get(), seq, depth);
  return ok && output.put(']');
}

inline bool Encoder::list_items(PyObject* list, PyObject* seq, unsigned depth) {
  // Each item is held while it is written: user code run meanwhile (a hook,
  // or another thread) may drop the list's reference or shrink the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    Object item;
    if (!list_item(list, i, item)) return false;
    if (!item) break;
    if (i > 0 && !output.append(item_separator)) return false;
    if (!nested(item.get(), depth + 1)) {
      add_note(msg::NOTE_ITEM, seq, i);
      return false;
    }
  }
  return true;
}

inline bool Encoder::tuple_items(PyObject* tuple, PyObject* seq, unsigned depth) {
  // The tuple holds its items for as long as we hold it.
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (i > 0 && !output.append(item_separator)) return false;
    if (!nested(PyTuple_GET_ITEM(tuple, i), depth + 1)) {
      add_note(msg::NOTE_ITEM, seq, i);
      return false;
    }
  }
  return true;
}

bool Encoder::dict(PyObject* dict, unsigned depth) {
  // Python writes {} for empty storage without calling a subclass's items().
  if (PyDict_GET_SIZE(dict) == 0) return output.append("{}");
  if (!output.put('{')) return false;
  bool ok = PyDict_CheckExact(dict) ? exact_dict_members(dict, depth)
                                    : mapping_members(dict, depth);
  return ok && output.put('}');
}

// A member whose writing may run Python code (a container's items, a hook)
// that drops the dict's own references: it is written holding its own.
[[gnu::noinline]] bool Encoder::held_member(bool first, PyObject* k, PyObject* v,
                                            PyObject* dict, unsigned depth) {
  Object key = Object::borrow(k), value = Object::borrow(v);
  return member(first, key.get(), value.get(), dict, depth);
}

bool Encoder::exact_dict_members(PyObject* dict, unsigned depth) {
  // Code run while a member is written can change the dict; Python's walk
  // then goes on over the changed table, which is not worth reproducing.
  // Without the GIL the critical section keeps other threads' changes out
  // while plain members are written from borrowed references; it is
  // suspended while a held member runs Python code or enters a nested
  // container's own section, and changes made then show in the size, as
  // that code's own changes do.
  CriticalSection section(dict);
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0, written = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) {
    if (!(is_plain_scalar(v) ? member(written == 0, k, v, dict, depth)
                             : held_member(written == 0, k, v, dict, depth)))
      return false;
    ++written;
    if (PyDict_GET_SIZE(dict) != size) return fallback(msg::DICT_RESIZED);
    if (written > size) return fallback(msg::DICT_CHANGED);
  }
  return true;
}

bool Encoder::mapping_members(PyObject* dict, unsigned depth) {
  // As Python does: items() collected into a list first (a list returned by
  // items() is used as it is, so it is re-measured at every step).
  Object items = Object::steal(PyMapping_Items(dict));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    Object item;
    if (!list_item(items.get(), i, item)) return false;
    if (!item) break;
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, msg::NOT_PAIR);
      return false;
    }
    if (!member(i == 0, PyTuple_GET_ITEM(item.get(), 0), PyTuple_GET_ITEM(item.get(), 1), dict,
                depth))
      return false;
  }
  return true;
}

inline bool Encoder::member(bool first, PyObject* key_obj, PyObject* value,
                            PyObject* container, unsigned depth) {
  if (!first && !output.append(item_separator)) return false;
  bool key_ok = PyUnicode_Check(key_obj) ? str_key(key_obj)
                                         : key(key_obj) && output.append(key_separator);
  if (!key_ok) return false;
  if (nested(value, depth + 1)) return true;
  add_note(msg::NOTE_MEMBER, container, key_obj);
  return false;
}

// A str key and the key separator.
bool Encoder::str_key(PyObject* key) {
  size_t size;
  if (const char* text = keys.find(key, size)) {
    if (!output.reserve(KeyCache::TEXT_MAX)) return false;
    std::memcpy(output.end(), text, KeyCache::TEXT_MAX);
    output.set_end(output.end() + size);
    return true;
  }
  const size_t start = output.size();
  if (!string(key, key_separator)) return false;
  const size_t written = output.size() - start;
  keys.store(key, output.end() - written, written);
  return true;
}

// Keys other than str.
bool Encoder::key(PyObject* key) {
  if (PyFloat_Check(key)) {
    return output.put('"') && float_value(PyFloat_AS_DOUBLE(key), key) && output.put('"');
  }
  if (key == Py_None) return output.append("\"null\"");
  if (key == Py_True) return output.append("\"true\"");
  if (key == Py_False) return output.append("\"false\"");
  if (PyLong_Check(key)) return output.put('"') && int_value(key) && output.put('"');
  PyErr_Format(PyExc_TypeError, msg::BAD_KEY, Py_TYPE(key)->tp_name);
  return false;
}

// The UTF-8 form CPython keeps on a non-ASCII str once something asked for
// it, or an empty view when it has none yet. It is not made here: a str
// built for one response (a field read from the database) is written once,
// and making its UTF-8 form first would allocate and copy it twice, which
// costs more than writing the text from its code points.
inline std::string_view cached_utf8(PyObject* str) {
  if (!PyUnicode_IS_COMPACT(str)) return {};
  auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(str);
  const char* utf8 = __atomic_load_n(&compact->utf8, __ATOMIC_ACQUIRE);
  return utf8 ? std::string_view(utf8, size_t(compact->utf8_length)) : std::string_view();
}

bool Encoder::string(PyObject* str, Separator after) {
  const size_t n = size_t(PyUnicode_GET_LENGTH(str));
  if (!PyUnicode_IS_ASCII(str) || n > STRING_CHUNK) return other_string(str, after);
  // The common case, inline: ASCII text, copied in runs between the bytes
  // that need an escape. One reservation covers the quotes and `after` too.
  if (!output.reserve(n * ESCAPE_MAX + 2 + Separator::ROOM)) return false;
  const auto* data = static_cast<const uint8_t*>(PyUnicode_DATA(str));
  char* out = output.end();
  *out++ = '"';
  out = ensure_ascii ? push_narrow<true>(out, data, n) : push_narrow<false>(out, data, n);
  *out++ = '"';
  output.set_end(after.write(out));
  return true;
}

[[gnu::noinline]] bool Encoder::other_string(PyObject* str, Separator after) {
  if (!ensure_ascii && !PyUnicode_IS_ASCII(str)) {
    std::string_view utf8 = cached_utf8(str);
    if (!utf8.empty()) return utf8_string(utf8, after);
  }
  const size_t n = size_t(PyUnicode_GET_LENGTH(str));
  if (n > STRING_CHUNK) return long_string(str, after);
  if (!output.reserve(n * ESCAPE_MAX + 2 + Separator::ROOM)) return false;
  char* out = output.end();
  *out++ = '"';
  out = units(out, str, 0, n);
  if (!out) return fallback(msg::SURROGATES);
  *out++ = '"';
  output.set_end(after.write(out));
  return true;
}

[[gnu::noinline]] bool Encoder::long_string(PyObject* str, Separator after) {
  const size_t n = size_t(PyUnicode_GET_LENGTH(str));
  if (!output.put('"')) return false;
  for (size_t start = 0; start < n; start += STRING_CHUNK) {
    size_t count = n - start < STRING_CHUNK ? n - start : STRING_CHUNK;
    if (!output.reserve(count * ESCAPE_MAX)) return false;
    char* end = units(output.end(), str, start, count);
    if (!end) return fallback(msg::SURROGATES);
    output.set_end(end);
  }
  return output.put('"') && output.append(after);
}

[[gnu::noinline]] bool Encoder::utf8_string(std::string_view text, Separator after) {
  constexpr size_t WORST = 6;  // output bytes per input byte
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = p + text.size();
  if (!output.put('"')) return false;
  while (p < end) {
    const uint8_t* limit = size_t(end - p) > UTF8_CHUNK ? p + UTF8_CHUNK : end;
    if (!output.reserve((size_t(limit - p) + 2) * WORST)) return false;
    output.set_end(push_utf8_text(output.end(), p, limit, end));
  }
  if (!output.reserve(1 + Separator::ROOM)) return false;
  char* out = output.end();
  *out++ = '"';
  output.set_end(after.write(out));
  return true;
}

inline char* Encoder::units(char* out, PyObject* str, size_t start, size_t count) const {
  const int kind = PyUnicode_KIND(str);
  const char* data = static_cast<const char*>(PyUnicode_DATA(str)) + start * size_t(kind);
  return ensure_ascii ? push_units<true>(out, kind, data, count)
                      : push_units<false>(out, kind, data, count);
}

bool Encoder::int_value(PyObject* value) {
  long long v;
  auto* as_long = reinterpret_cast<PyLongObject*>(value);
  if (PyUnstable_Long_IsCompact(as_long)) {
    v = PyUnstable_Long_CompactValue(as_long);
  } else {
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return big_int(value);
    if (v == -1 && PyErr_Occurred()) return false;
  }
  if (!output.reserve(INT_TEXT_MAX)) return false;
  output.set_end(push_int(output.end(), v));
  return true;
}

// int.__repr__ itself, never a subclass's override; it also enforces the
// interpreter's limit on digits converted to text.
[[gnu::noinline]] bool Encoder::big_int(PyObject* value) {
  Object text = Object::steal(PyLong_Type.tp_repr(value));
  if (!text) return false;
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  return utf8 && output.append({utf8, size_t(size)});
}

bool Encoder::float_value(double d, PyObject* owner) {
  if (!std::isfinite(d)) {
    if (!allow_nan) {
      PyErr_Format(PyExc_ValueError, msg::BAD_FLOAT, owner);
      return false;
    }
    return output.append(std::isnan(d) ? "NaN" : d > 0 ? "Infinity" : "-Infinity");
  }
  if (!output.reserve(FLOAT_TEXT_ROOM)) return false;
  output.set_end(write_float_repr(output.end(), d));
  return true;
}

bool Encoder::other(PyObject* value, unsigned depth) {
  // DRF's encoder writes these four exact types as fixed text; subclasses
  // and everything else go to the hook, which decides their text.
  const DateTypes* dates = date_types();
  if (!dates) return false;
  PyTypeObject* type = Py_TYPE(value);
  if (type == dates->datetime) return datetime_value(value);
  if (type == dates->date) return date_value(value);
  PyObject* decimal = decimal_type();
  if (!decimal) return false;
  if (type == reinterpret_cast<PyTypeObject*>(decimal)) return decimal_value(value);
  PyObject* uuid = uuid_type();
  if (!uuid) return false;
  if (type == reinterpret_cast<PyTypeObject*>(uuid)) return uuid_value(value);
  return hook(value, depth);
}

bool Encoder::datetime_value(PyObject* value) {
  Object offset;
  if (!utcoffset(value, offset)) return false;
  if (!output.reserve(DATETIME_TEXT_MAX + 2)) return false;
  char* out = output.end();
  *out++ = '"';
  out = push_datetime(out, value, offset.get());
  *out++ = '"';
  output.set_end(out);
  return true;
}

bool Encoder::date_value(PyObject* value) {
  IsoText text = date_iso(value);
  return output.put('"') && output.append(text.view()) && output.put('"');
}

bool Encoder::decimal_value(PyObject* value) {
  // DRF writes float(value); a NaN or infinity then follows allow_nan.
  Object f = Object::steal(PyObject_CallOneArg((PyObject*)&PyFloat_Type, value));
  if (!f) return false;
  double d = PyFloat_AsDouble(f.get());
  if (d == -1.0 && PyErr_Occurred()) return false;
  if (float_value(d, f.get())) return true;
  add_note(msg::NOTE_OBJECT, value);
  return false;
}

bool Encoder::uuid_value(PyObject* value) {
  unsigned char bytes[16];
  switch (uuid_bytes(value, bytes)) {
    case UuidRead::ok:
      break;
    case UuidRead::error:
      return false;
    case UuidRead::invalid:
      // Only a UUID whose `int` slot was overwritten gets here; Python's
      // str() of it gives odd text or its own error.
      PyErr_Clear();
      return fallback(msg::BAD_UUID);
  }
  if (!output.reserve(UUID_TEXT_LEN + 2)) return false;
  char* out = output.end();
  *out++ = '"';
  out = push_uuid(out, bytes);
  *out++ = '"';
  output.set_end(out);
  return true;
}

bool Encoder::hook(PyObject* value, unsigned depth) {
  if (!default_hook) return not_serializable(value);
  Object result = Object::steal(PyObject_CallOneArg(default_hook.get(), value));
  if (!result) return false;
  if (encode(result.get(), depth + 1)) return true;
  add_note(msg::NOTE_OBJECT, value);
  return false;
}

}  // namespace

PyObject* json_fallback_type() {
  return JSON_FALLBACK.get([] {
    return PyErr_NewExceptionWithDoc(
        "_quorvel_core.JsonFallback",
        "The native encoder cannot reproduce json.dumps() for this input; use the Python "
        "encoder.",
        PyExc_Exception, nullptr);
  });
}

PyObject* to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!bind_args(TO_JSON_SIG, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  bool ensure_ascii, compact, allow_nan;
  if (!json_flag(a[1], "ensure_ascii", true, ensure_ascii) ||
      !json_flag(a[2], "compact", true, compact) ||
      !json_flag(a[3], "allow_nan", false, allow_nan))
    return nullptr;

  Encoder encoder(compact, a[4] && a[4] != Py_None ? Object::borrow(a[4]) : Object(),
                  ensure_ascii, allow_nan);
  size_t hint = recent_output_size.load(std::memory_order_relaxed);
  hint = std::min(hint + hint / 8, SIZE_HINT_MAX);
  if (hint > Buffer::INLINE_CAPACITY && !encoder.output.reserve(hint)) return nullptr;
  if (!encoder.encode(a[0], 0)) return nullptr;
  recent_output_size.store(encoder.output.size(), std::memory_order_relaxed);
  return encoder.output.take_bytes();
}

}  // namespace qc
