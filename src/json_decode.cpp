// The JSON reader behind from_json: one pass over UTF-8 bytes that builds the
// Python objects as it goes, the numbers converted by json_decode_number and the
// object keys taken from the key cache.
#include "json_decode.hpp"

#include <bit>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>

#include "arguments.hpp"
#include "byte_blocks.hpp"
#include "guards.hpp"
#include "json_common.hpp"
#include "json_decode_keys.hpp"
#include "json_decode_number.hpp"
#include "object.hpp"
#include "text.hpp"
#include "utf8.hpp"

namespace qc {
namespace {

constexpr Param FROM_JSON_PARAMS[] = {{"data", true, false}, {"allow_nan", false, true}};
constexpr Signature FROM_JSON_SIG{"from_json()", FROM_JSON_PARAMS};
constexpr Param PARSE_BODY_PARAMS[] = {{"body", true, false}, {"allow_nan", true, false}};
constexpr Signature PARSE_BODY_SIG{"_parse_body()", PARSE_BODY_PARAMS};

constexpr double INF = std::numeric_limits<double>::infinity();

enum class ErrorKind : uint8_t {
  none,
  python,  // an interpreter exception is set and propagates unchanged
  internal,
  eof_list,
  eof_object,
  eof_string,
  eof_value,
  expected_colon,
  expected_list_comma,
  expected_object_comma,
  expected_ident,
  expected_value,
  invalid_escape,
  invalid_number,
  number_out_of_range,
  invalid_unicode,
  control_character,
  key_must_be_string,
  lone_surrogate,
  trailing_comma,
  trailing_characters,
  unexpected_end_of_hex_escape,
  recursion_limit,
};

constexpr const char* ERROR_TEXT[] = {
    "",
    "",
    "Internal error",
    "EOF while parsing a list",
    "EOF while parsing an object",
    "EOF while parsing a string",
    "EOF while parsing a value",
    "expected `:`",
    "expected `,` or `]`",
    "expected `,` or `}`",
    "expected ident",
    "expected value",
    "invalid escape",
    "invalid number",
    "number out of range",
    "invalid unicode code point",
    "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string",
    "lone leading surrogate in hex escape",
    "trailing comma",
    "trailing characters",
    "unexpected end of hex escape",
    "recursion limit exceeded",
};
static_assert(std::size(ERROR_TEXT) == (size_t)ErrorKind::recursion_limit + 1);

constexpr uint8_t DEPTH_BUDGET = 200;
// Exponent digits stop counting here: any larger exponent already means an
// infinity or a zero for every input that fits in memory.
constexpr int64_t EXPONENT_SATURATION = 100'000'000'000'000'000;

// Byte classes inside strings.
enum : uint8_t { PLAIN = 0, SPECIAL = 1, HIGH = 2 };  // SPECIAL: quote, backslash, control

constexpr auto STRING_CLASS = [] {
  struct {
    uint8_t of[256];
  } t{};
  for (int c = 0; c < 256; ++c) {
    t.of[c] = c < 0x20 || c == '"' || c == '\\' ? SPECIAL : c >= 0x80 ? HIGH : PLAIN;
  }
  return t;
}();


// The value of eight digit bytes 0-9 (already less '0'), the first one the
// most significant: pairs, then fours, then all eight, each by one multiply.
inline uint64_t eight_digits_value(uint64_t x) {
  x = (x * (1 + (10 << 8))) >> 8 & 0x00FF00FF00FF00FF;
  x = (x * (1 + (100 << 16))) >> 16 & 0x0000FFFF0000FFFF;
  return (x * (1 + (uint64_t{10000} << 32))) >> 32;
}

constexpr uint64_t POW10_TO_8[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                    100000000};

// Reads up to `max` digits from p into acc (acc·10^count + their value) and
// returns the position after them. Eight bytes at a time where eight can be
// loaded: numbers are mostly runs of digits longer than a few.
inline const uint8_t* take_digits(const uint8_t* p, const uint8_t* end, size_t max,
                                  uint64_t& acc) {
  if constexpr (std::endian::native == std::endian::little) {
    while (max >= 8 && end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      uint64_t x = word ^ 0x3030303030303030;  // digits become 0-9
      // High nibble set, before or after adding 6: not a digit. A carry out
      // of one byte starts at a non-digit, so only later bytes see it.
      uint64_t non_digits = (x | (x + 0x0606060606060606)) & 0xF0F0F0F0F0F0F0F0;
      unsigned n = non_digits ? (unsigned)std::countr_zero(non_digits) / 8 : 8;
      if (n == 0) return p;
      // The n digits moved to the top bytes, zeros (leading digits) below.
      acc = acc * POW10_TO_8[n] + eight_digits_value(n == 8 ? x : x << (64 - 8 * n));
      p += n;
      if (n < 8) return p;
      max -= 8;
    }
  }
  for (; max > 0 && p < end && text::is_digit(*p); --max) acc = acc * 10 + (uint64_t)(*p++ - '0');
  return p;
}

inline bool is_whitespace(uint8_t c) {
  constexpr uint64_t mask = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
  return c <= ' ' && ((mask >> c) & 1);
}

// The first byte in [s, end) that is a quote, a backslash, a control byte or
// (when `stop_at_high`) 0x80 or above; `end` when there is none.
template <bool stop_at_high>
inline const uint8_t* find_string_stop(const uint8_t* s, const uint8_t* end) {
#if defined(__SSE2__)
  while (end - s >= std::ptrdiff_t(bytes::BLOCK_SIZE)) {
    const bytes::Block x = bytes::load(s);
    bytes::Block hit = bytes::Block(x == '"') | bytes::Block(x == '\\');
    if constexpr (stop_at_high) {
      hit |= bytes::Block((bytes::SignedBlock)x < 0x20);  // signed: catches 0x80..0xFF
    } else {
      hit |= bytes::below(x, 0x20);
    }
    if (unsigned bits = bytes::top_bits(hit)) return s + std::countr_zero(bits);
    s += bytes::BLOCK_SIZE;
  }
#endif
  constexpr uint8_t stop = stop_at_high ? (SPECIAL | HIGH) : SPECIAL;
  while (s < end && !(STRING_CLASS.of[*s] & stop)) ++s;
  return s;
}

// Length of the longest valid UTF-8 prefix of s[0..n) that ends on a
// character boundary: the offset of the first byte of the first invalid or
// cut-off sequence, or n.
size_t utf8_valid_prefix(const uint8_t* s, size_t n) { return utf8::check(s, n).offset; }

// A growable array of trivially copyable T whose first N elements live in
// place, so that most calls allocate nothing.
template <class T, size_t N>
class InlineBuffer {
 public:
  InlineBuffer() = default;
  InlineBuffer(const InlineBuffer&) = delete;
  InlineBuffer& operator=(const InlineBuffer&) = delete;
  ~InlineBuffer() {
    if (data_ != inline_) PyMem_Free(data_);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  void shrink_to(size_t n) { size_ = n; }

  // False with MemoryError set.
  bool append(const T* items, size_t n) {
    if (n > capacity_ - size_ && !grow(n)) return false;
    std::memcpy(data_ + size_, items, n * sizeof(T));
    size_ += n;
    return true;
  }
  bool push(T item) {
    if (size_ == capacity_ && !grow(1)) return false;
    data_[size_++] = item;
    return true;
  }

 private:
  // Room for `extra` more elements: at least twice the capacity, in a
  // block whose size in bytes stays within Py_ssize_t.
  [[gnu::noinline]] bool grow(size_t extra) {
    constexpr size_t MAX = PY_SSIZE_T_MAX / sizeof(T);
    if (extra > MAX - size_) return PyErr_NoMemory(), false;  // size_ <= capacity_ <= MAX
    size_t capacity = capacity_ <= MAX / 2 ? capacity_ * 2 : MAX;
    if (capacity < size_ + extra) capacity = size_ + extra;
    T* data = (T*)PyMem_Malloc(capacity * sizeof(T));
    if (!data) return PyErr_NoMemory(), false;
    std::memcpy(data, data_, size_ * sizeof(T));
    if (data_ != inline_) PyMem_Free(data_);
    data_ = data;
    capacity_ = capacity;
    return true;
  }

  T inline_[N];
  T* data_ = inline_;
  size_t size_ = 0;
  size_t capacity_ = N;
};

// Owned references of array elements still being read, shared by every open
// array of one call so that element storage is allocated once per call.
class ValueStack {
 public:
  ~ValueStack() {
    for (size_t i = items_.size(); i > 0; --i) Object::steal(items_.data()[i - 1]);
  }

  size_t size() const { return items_.size(); }

  // Takes over `item`; false with MemoryError set (item released).
  bool push(PyObject* item) {
    if (items_.push(item)) return true;
    Object::steal(item);
    return false;
  }

  // A new list of the items from `base` up, which leave the stack. Nullptr
  // with an error set (the items stay, released with the stack).
  PyObject* take_list(size_t base) {
    PyObject* list = PyList_New((Py_ssize_t)(items_.size() - base));
    if (!list) return nullptr;
    PyObject** items = items_.data();
    for (size_t i = base; i < items_.size(); ++i)
      PyList_SET_ITEM(list, (Py_ssize_t)(i - base), items[i]);
    items_.shrink_to(base);
    return list;
  }

 private:
  InlineBuffer<PyObject*, 32> items_;
};

// Scratch space for unescaped string text, reused by every string of a call.
class TextBuffer {
 public:
  void clear() { text_.shrink_to(0); }
  const char* data() const { return text_.data(); }
  size_t size() const { return text_.size(); }

  // False with MemoryError set.
  bool append(const void* s, size_t n) { return text_.append((const char*)s, n); }
  bool append_code_point(uint32_t cp) {
    char out[4];
    return append(out, size_t(text::push_utf8(out, cp) - out));
  }

 private:
  InlineBuffer<char, 256> text_;
};

// A string's decoded UTF-8 text (pointing into the input or the scratch
// buffer) and whether every code point is below 0x80.
struct Text {
  const char* data;
  size_t size;
  bool ascii;
};

// One call's parse. Every read_* member returns a new reference, or nullptr
// with the failure recorded in error_ (raised once, by read_document).
class Reader {
 public:
  Reader(const uint8_t* data, size_t size, bool allow_nan, bool valid_utf8)
      : begin_(data), p_(data), end_(data + size), allow_nan_(allow_nan),
        valid_utf8_(valid_utf8) {}

  // The document's value: new reference, or nullptr with an error set.
  PyObject* read_document() {
    skip_whitespace();
    if (p_ == end_) return raise(fail(ErrorKind::eof_value, end_));
    Object value = Object::steal(read_value());
    if (!value) return raise(nullptr);
    skip_whitespace();
    if (p_ != end_) return raise(fail(ErrorKind::trailing_characters, p_));
    return value.release();
  }

 private:
  // -- errors -----------------------------------------------------------------

  PyObject* fail(ErrorKind kind, const uint8_t* at) {
    error_ = kind;
    error_at_ = at;
    return nullptr;
  }

  PyObject* fail_python() {
    error_ = ErrorKind::python;
    return nullptr;
  }

  // Turns the pending interpreter error into the "Internal error" kind; an
  // allocation failure stays the MemoryError it is.
  [[gnu::cold, gnu::noinline]] PyObject* fail_internal() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fail_python();
    Object exc = Object::steal(PyErr_GetRaisedException());
    internal_text_ = Object::steal(exc ? PyObject_Str(exc.get()) : nullptr);
    PyErr_Clear();
    return fail(ErrorKind::internal, p_);
  }

  // Raises the recorded error as ValueError (unless an interpreter error is
  // already set). Always returns nullptr.
  [[gnu::cold, gnu::noinline]] PyObject* raise(PyObject*) {
    if (error_ == ErrorKind::python) return nullptr;
    size_t size = (size_t)(end_ - begin_);
    size_t at = (size_t)(error_at_ - begin_);
    size_t upto = at < size ? at + 1 : size;  // an error at a line feed counts it
    size_t line = 1, line_start = 0;
    const uint8_t* s = begin_;
    const uint8_t* stop = begin_ + upto;
    while (const void* lf = std::memchr(s, '\n', (size_t)(stop - s))) {
      ++line;
      s = (const uint8_t*)lf + 1;
      line_start = (size_t)(s - begin_);
    }
    size_t column = upto - line_start;
    if (error_ == ErrorKind::internal) {
      Object quoted = Object::steal(quote_text(internal_text_.get()));
      if (!quoted) return nullptr;
      PyErr_Format(PyExc_ValueError, "Internal error: %U at line %zu column %zu", quoted.get(),
                   line, column);
      return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "%s at line %zu column %zu", ERROR_TEXT[(size_t)error_],
                 line, column);
    return nullptr;
  }

  // The text in double quotes, with quotes, backslashes and control
  // characters escaped. New reference or nullptr.
  static PyObject* quote_text(PyObject* text) {
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text, &n) : "";
    if (!s) return nullptr;
    TextBuffer out;
    bool ok = out.append("\"", 1);
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
      uint8_t c = (uint8_t)s[i];
      char esc[8];
      if (c == '"' || c == '\\') {
        esc[0] = '\\';
        esc[1] = (char)c;
        ok = out.append(esc, 2);
      } else if (c < 0x20) {
        const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : nullptr;
        if (named) {
          ok = out.append(named, 2);
        } else {
          std::memcpy(esc, "\\u{", 3);
          esc[3] = text::HEX_DIGITS[c >> 4];
          esc[4] = text::HEX_DIGITS[c & 15];
          esc[5] = '}';
          ok = out.append(esc, 6);
        }
      } else {
        ok = out.append(&s[i], 1);
      }
    }
    if (!ok || !out.append("\"", 1)) return nullptr;
    return PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), nullptr);
  }

  // -- structure --------------------------------------------------------------

  void skip_whitespace() {
    while (p_ < end_ && is_whitespace(*p_)) ++p_;
  }

  // p_ is at the value's first byte, inside the input.
  PyObject* read_value() {
    switch (*p_) {
      case '"':
        return read_string_value();
      case '[':
        return read_array();
      case '{':
        return read_object();
      case 't':
        return match_word("true", 4) ? Py_NewRef(Py_True) : nullptr;
      case 'f':
        return match_word("false", 5) ? Py_NewRef(Py_False) : nullptr;
      case 'n':
        return match_word("null", 4) ? Py_NewRef(Py_None) : nullptr;
      case '-':
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return read_number();
      case 'N':
        if (!allow_nan_) return fail(ErrorKind::expected_value, p_);
        return match_word("NaN", 3) ? new_float(std::numeric_limits<double>::quiet_NaN())
                                    : nullptr;
      case 'I':
        if (!allow_nan_) return fail(ErrorKind::expected_value, p_);
        return match_word("Infinity", 8) ? new_float(INF) : nullptr;
      default:
        return fail(ErrorKind::expected_value, p_);
    }
  }

  // A value inside a container, which holds one unit of the depth budget
  // while it is read.
  PyObject* read_nested_value() {
    if (budget_ == 0) return fail(ErrorKind::recursion_limit, p_);
    --budget_;
    PyObject* value = read_value();
    ++budget_;
    return value;
  }

  // p_ is at the word's first byte, already known to match.
  bool match_word(const char* word, size_t n) {
    if ((size_t)(end_ - p_) >= n && std::memcmp(p_, word, n) == 0) {
      p_ += n;
      return true;
    }
    for (size_t i = 1; i < n; ++i) {
      if (p_ + i == end_) return fail(ErrorKind::eof_value, end_), false;
      if (p_[i] != (uint8_t)word[i]) return fail(ErrorKind::expected_ident, p_ + i), false;
    }
    return fail(ErrorKind::expected_ident, p_), false;  // not reached
  }

  enum class Opening : uint8_t { empty, items, failed };

  // Steps over the '[' or '{' at p_ and the whitespace after it, and over
  // `close` when the container ends at once.
  Opening open_container(uint8_t close, ErrorKind eof) {
    ++p_;
    skip_whitespace();
    if (p_ == end_) return fail(eof, end_), Opening::failed;
    if (*p_ != close) return Opening::items;
    ++p_;
    return Opening::empty;
  }

  // An empty list or dict just made: creating one fails only for lack of
  // memory, the interpreter's error, which goes to the caller as it is.
  PyObject* new_empty(PyObject* container) { return container ? container : fail_python(); }

  PyObject* read_array() {
    Opening opening = open_container(']', ErrorKind::eof_list);
    if (opening == Opening::failed) return nullptr;
    if (opening == Opening::empty) return new_empty(PyList_New(0));
    size_t base = stack_.size();
    for (;;) {
      PyObject* item = read_nested_value();
      if (!item) return nullptr;
      if (!stack_.push(item)) return fail_internal();
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_list, end_);
      if (*p_ == ']') {
        ++p_;
        PyObject* list = stack_.take_list(base);
        return list ? list : fail_internal();
      }
      if (*p_ != ',') return fail(ErrorKind::expected_list_comma, p_);
      ++p_;
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      if (*p_ == ']') return fail(ErrorKind::trailing_comma, p_);
    }
  }

  PyObject* read_object() {
    Opening opening = open_container('}', ErrorKind::eof_object);
    if (opening == Opening::failed) return nullptr;
    if (opening == Opening::empty) return new_empty(PyDict_New());
    if (*p_ != '"') return fail(ErrorKind::key_must_be_string, p_);
    Object dict = Object::steal(PyDict_New());
    if (!dict) return fail_python();
    for (;;) {
      Object key = Object::steal(read_key());
      if (!key) return nullptr;
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_object, end_);
      if (*p_ != ':') return fail(ErrorKind::expected_colon, p_);
      ++p_;
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      Object value = Object::steal(read_nested_value());
      if (!value) return nullptr;
      if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return fail_python();
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_object, end_);
      if (*p_ == '}') {
        ++p_;
        return dict.release();
      }
      if (*p_ != ',') return fail(ErrorKind::expected_object_comma, p_);
      ++p_;
      skip_whitespace();
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      if (*p_ == '}') return fail(ErrorKind::trailing_comma, p_);
      if (*p_ != '"') return fail(ErrorKind::key_must_be_string, p_);
    }
  }

  // -- strings ----------------------------------------------------------------

  PyObject* read_string_value() {
    const uint8_t* quote = p_;
    Text text;
    if (!scan_string(text)) return nullptr;
    if (text.ascii || valid_utf8_) {
      PyObject* str = str_from_text(text.data, text.size, text.ascii);
      return str ? str : fail_python();
    }
    PyObject* str = PyUnicode_DecodeUTF8(text.data, (Py_ssize_t)text.size, nullptr);
    return str ? str : fail_decode(text, quote);
  }

  PyObject* read_key() {
    const uint8_t* quote = p_;
    Text text;
    if (!scan_string(text)) return nullptr;
    if (!text.ascii && !valid_utf8_) {
      size_t valid = utf8_valid_prefix((const uint8_t*)text.data, text.size);
      if (valid != text.size) return fail(ErrorKind::invalid_unicode, quote + 2 + valid);
    }
    PyObject* key = keys_.get(text.data, text.size, text.ascii);
    return key ? key : fail_python();
  }

  // After a failed decode: invalid UTF-8 becomes "invalid unicode code
  // point" one past the first invalid byte, counted through the decoded text.
  [[gnu::cold, gnu::noinline]] PyObject* fail_decode(const Text& text, const uint8_t* quote) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return fail_python();
    size_t valid = utf8_valid_prefix((const uint8_t*)text.data, text.size);
    if (valid == text.size) return fail_python();
    PyErr_Clear();
    return fail(ErrorKind::invalid_unicode, quote + 2 + valid);
  }

  // p_ is at the opening quote. On success `out` holds the decoded text and
  // p_ is past the closing quote.
  bool scan_string(Text& out) {
    const uint8_t* start = p_ + 1;
    bool ascii = true;
    const uint8_t* s = find_string_stop<true>(start, end_);
    if (s < end_ && *s >= 0x80) {
      ascii = false;
      s = find_string_stop<false>(s + 1, end_);
    }
    if (s == end_) return fail(ErrorKind::eof_string, end_), false;
    if (*s == '"') {
      out = Text{(const char*)start, (size_t)(s - start), ascii};
      p_ = s + 1;
      return true;
    }
    if (*s != '\\') return fail(ErrorKind::control_character, s), false;
    return scan_escaped_string(start, s, ascii, out);
  }

  // The rest of a string from its first backslash at s, unescaped into the
  // scratch buffer.
  [[gnu::noinline]] bool scan_escaped_string(const uint8_t* start, const uint8_t* s, bool ascii,
                                              Text& out) {
    scratch_.clear();
    if (!scratch_.append(start, (size_t)(s - start))) return fail_python(), false;
    for (;;) {
      // s is at a backslash.
      ++s;
      if (s == end_) return fail(ErrorKind::eof_string, end_), false;
      char simple = 0;
      switch (*s) {
        case '"':
          simple = '"';
          break;
        case '\\':
          simple = '\\';
          break;
        case '/':
          simple = '/';
          break;
        case 'b':
          simple = '\b';
          break;
        case 'f':
          simple = '\f';
          break;
        case 'n':
          simple = '\n';
          break;
        case 'r':
          simple = '\r';
          break;
        case 't':
          simple = '\t';
          break;
        case 'u': {
          uint32_t cp;
          if (!read_unicode_escape(s, cp)) return false;
          if (cp >= 0x80) ascii = false;
          if (!scratch_.append_code_point(cp)) return fail_python(), false;
          break;
        }
        default:
          return fail(ErrorKind::invalid_escape, s), false;
      }
      if (simple && !scratch_.append(&simple, 1)) return fail_python(), false;
      const uint8_t* run = ++s;
      s = ascii ? find_string_stop<true>(run, end_) : find_string_stop<false>(run, end_);
      if (s < end_ && *s >= 0x80) {
        ascii = false;
        s = find_string_stop<false>(s + 1, end_);
      }
      if (s == end_) return fail(ErrorKind::eof_string, end_), false;
      if (!scratch_.append(run, (size_t)(s - run))) return fail_python(), false;
      if (*s == '"') {
        out = Text{scratch_.data(), scratch_.size(), ascii};
        p_ = s + 1;
        return true;
      }
      if (*s != '\\') return fail(ErrorKind::control_character, s), false;
    }
  }

  // Four hex digits at s; false with the error recorded.
  bool read_hex4(const uint8_t* s, uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      int v = text::hex_value(s[i]);
      if (v < 0) return fail(ErrorKind::invalid_escape, s + i), false;
      unit = unit << 4 | (uint32_t)v;
    }
    return true;
  }

  // s is at the "u" of an escape; on success it is at the escape's (or the
  // surrogate pair's) last hex digit and cp holds the code point.
  bool read_unicode_escape(const uint8_t*& s, uint32_t& cp) {
    if (end_ - (s + 1) < 4) return fail(ErrorKind::eof_string, end_), false;
    uint32_t unit;
    if (!read_hex4(s + 1, unit)) return false;
    s += 4;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(ErrorKind::lone_surrogate, s), false;
    if (unit < 0xD800 || unit > 0xDBFF) {
      cp = unit;
      return true;
    }
    const uint8_t* next = s + 1;  // where the low surrogate's escape must start
    if (end_ - next < 6) {
      if (next < end_ && *next != '\\') {
        return fail(ErrorKind::unexpected_end_of_hex_escape, next), false;
      }
      return fail(ErrorKind::eof_string, end_), false;
    }
    if (next[0] != '\\') return fail(ErrorKind::unexpected_end_of_hex_escape, next), false;
    if (next[1] != 'u') return fail(ErrorKind::unexpected_end_of_hex_escape, next + 1), false;
    uint32_t low;
    if (!read_hex4(next + 2, low)) return false;
    s = next + 5;
    if (low < 0xDC00 || low > 0xDFFF) return fail(ErrorKind::lone_surrogate, s), false;
    cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    return true;
  }

  // -- numbers ----------------------------------------------------------------

  PyObject* new_float(double d) {
    PyObject* f = PyFloat_FromDouble(d);
    return f ? f : fail_internal();
  }

  // p_ is at a "-" or a digit.
  PyObject* read_number() {
    const uint8_t* start = p_;
    bool negative = *p_ == '-';
    if (negative) {
      ++p_;
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      if (*p_ == 'I' && allow_nan_) {
        return match_word("Infinity", 8) ? new_float(-INF) : nullptr;
      }
    }
    const uint8_t* digits = p_;
    uint64_t small = 0;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && text::is_digit(*p_)) return fail(ErrorKind::invalid_number, p_);
    } else if (text::is_digit(*p_)) {
      // Up to 19 digits always fit in 64 bits; stop reading one character
      // past the length limit.
      p_ = take_digits(p_, end_, 19, small);
      if (p_ - digits == 19) {
        const uint8_t* limit = (size_t)(end_ - start) > json_decode_number::MAX_INT_CHARS
                                   ? start + json_decode_number::MAX_INT_CHARS + 1
                                   : end_;
        while (p_ < limit && text::is_digit(*p_)) ++p_;
        if ((size_t)(p_ - start) > json_decode_number::MAX_INT_CHARS) {
          return fail(ErrorKind::number_out_of_range, start + json_decode_number::MAX_INT_CHARS + 1);
        }
      }
    } else {
      return fail(ErrorKind::invalid_number, p_);
    }
    if (p_ < end_ && (*p_ == '.' || (*p_ | 0x20) == 'e')) return read_float(negative, digits, small);
    size_t count = (size_t)(p_ - digits);
    if (count <= 19) {
      if (!negative) return new_int(PyLong_FromUnsignedLongLong(small));
      if (small <= uint64_t{1} << 63) return new_int(PyLong_FromLongLong((long long)(0 - small)));
    }
    if (count > json_decode_number::ALWAYS_ALLOWED_DIGITS) return read_limited_int(start);
    return read_big_int(std::string_view((const char*)digits, count), negative);
  }

  // An integer long enough for the interpreter's limit on integer digits to
  // matter: converted as json.loads converts it, by int() of its text, so that
  // the limit in force applies with Python's own error.
  [[gnu::cold, gnu::noinline]] PyObject* read_limited_int(const uint8_t* start) {
    Object text = Object::steal(
        PyBytes_FromStringAndSize((const char*)start, (Py_ssize_t)(p_ - start)));
    PyObject* value = text ? PyLong_FromString(PyBytes_AS_STRING(text.get()), nullptr, 10)
                           : nullptr;
    return value ? value : fail_python();
  }

  PyObject* new_int(PyObject* i) { return i ? i : fail_internal(); }

  [[gnu::noinline]] PyObject* read_big_int(std::string_view digits, bool negative) {
    uint64_t limbs[json_decode_number::MAX_INT_LIMBS + 1];
    size_t n = json_decode_number::digits_to_limbs(digits, limbs);
    limbs[n++] = 0;  // room for the sign bit
    if (negative) {
      bool carry = true;  // two's complement: invert and add one
      for (size_t i = 0; i < n; ++i) {
        limbs[i] = ~limbs[i] + carry;
        carry = carry && limbs[i] == 0;
      }
    }
    return new_int(PyLong_FromNativeBytes(limbs, n * sizeof(uint64_t),
                                          Py_ASNATIVEBYTES_LITTLE_ENDIAN));
  }

  // p_ is at the "." or "e" after the integer digits [int_begin, p_), whose
  // first 19 digits are `significand`.
  PyObject* read_float(bool negative, const uint8_t* int_begin, uint64_t significand) {
    std::string_view int_digits((const char*)int_begin, (size_t)(p_ - int_begin));
    std::string_view frac_digits;
    // Significant digits taken into `significand` so far; above 19 only the
    // general conversion can use them.
    size_t taken = significand ? int_digits.size() : 0;
    if (*p_ == '.') {
      ++p_;
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      if (!text::is_digit(*p_)) return fail(ErrorKind::invalid_number, p_);
      const uint8_t* frac = p_;
      if (!significand) {
        while (p_ < end_ && *p_ == '0') ++p_;  // leading zeros of 0.000ddd
      }
      if (taken < 19) {
        const uint8_t* take = p_;
        p_ = take_digits(p_, end_, 19 - taken, significand);
        taken += (size_t)(p_ - take);
      }
      const uint8_t* rest = p_;
      while (p_ < end_ && text::is_digit(*p_)) ++p_;
      if (p_ != rest) taken = 20;
      frac_digits = std::string_view((const char*)frac, (size_t)(p_ - frac));
    }
    int64_t exp10 = 0;
    if (p_ < end_ && (*p_ | 0x20) == 'e') {
      ++p_;
      if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      bool exp_negative = *p_ == '-';
      if (*p_ == '-' || *p_ == '+') {
        ++p_;
        if (p_ == end_) return fail(ErrorKind::eof_value, end_);
      }
      if (!text::is_digit(*p_)) return fail(ErrorKind::invalid_number, p_);
      for (; p_ < end_ && text::is_digit(*p_); ++p_) {
        if (exp10 < EXPONENT_SATURATION) exp10 = exp10 * 10 + (*p_ - '0');
      }
      if (exp_negative) exp10 = -exp10;
    }
    double d;
    if (taken <= 19 && significand != 0 &&
        json_decode_number::exact_decimal_to_double(significand, exp10 - (int64_t)frac_digits.size(), d)) {
      return new_float(negative ? -d : d);
    }
    return new_float(json_decode_number::decimal_to_double(int_digits, frac_digits, exp10, negative));
  }

  const uint8_t* const begin_;
  const uint8_t* p_;
  const uint8_t* const end_;
  const bool allow_nan_;
  const bool valid_utf8_;  // the input is known to be valid UTF-8 throughout
  uint8_t budget_ = DEPTH_BUDGET;
  ErrorKind error_ = ErrorKind::none;
  const uint8_t* error_at_ = nullptr;
  Object internal_text_;
  ValueStack stack_;
  TextBuffer scratch_;
  CallKeys keys_;
};

// The document's bytes: borrowed from bytes or from a str's UTF-8 form, or a
// private copy of a bytearray (which another thread could resize meanwhile).
class Input {
 public:
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() { PyMem_Free(owned_); }

  // False with an error set.
  bool take(PyObject* obj) {
    if (PyBytes_Check(obj)) {
      data_ = (const uint8_t*)PyBytes_AS_STRING(obj);
      size_ = (size_t)PyBytes_GET_SIZE(obj);
      check_utf8();
      return true;
    }
    if (PyUnicode_Check(obj)) {
      Py_ssize_t n;
      const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
      if (!s) return false;
      data_ = (const uint8_t*)s;
      size_ = (size_t)n;
      valid_utf8_ = true;
      return true;
    }
    if (PyByteArray_Check(obj)) {
      copy_bytearray(obj);
      if (!owned_) return PyErr_NoMemory(), false;
      data_ = owned_;
      check_utf8();
      return true;
    }
    PyErr_SetString(PyExc_TypeError, "from_json() expects bytes, bytearray or str");
    return false;
  }

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool valid_utf8() const { return valid_utf8_; }

 private:
  // The size and the bytes read together, so that another thread cannot
  // resize the bytearray in between; `owned_` stays null when out of memory.
  void copy_bytearray(PyObject* obj) {
    CriticalSection section(obj);
    size_ = (size_t)PyByteArray_GET_SIZE(obj);
    owned_ = (uint8_t*)PyMem_Malloc(size_ ? size_ : 1);
    if (owned_ && size_) std::memcpy(owned_, PyByteArray_AS_STRING(obj), size_);
  }

  // A whole-input scan costs less than checking each string as it is read;
  // input that fails it is read with those checks, for their error messages.
  void check_utf8() { valid_utf8_ = utf8::check(data_, size_).verdict == utf8::Verdict::valid; }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool valid_utf8_ = false;
  uint8_t* owned_ = nullptr;
};

// Raises the UnicodeDecodeError that codecs.utf_8_decode(body, "strict",
// False) raises for a body whose first invalid sequence starts at `offset`.
// The decoder's own verdict on that one sequence gives the end and the
// reason; the exception is then made anew with the whole body as its object
// (by calling the type, which keeps the bytes object rather than copying it).
[[gnu::cold, gnu::noinline]] PyObject* raise_decode_error(PyObject* body, size_t offset) {
  size_t size = (size_t)PyBytes_GET_SIZE(body);
  size_t n = size - offset < 4 ? size - offset : 4;  // no sequence is longer
  Object decoded = Object::steal(
      PyUnicode_DecodeUTF8(PyBytes_AS_STRING(body) + offset, (Py_ssize_t)n, "strict"));
  if (decoded || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    if (decoded) PyErr_SetString(PyExc_ValueError, "the UTF-8 check and the decoder disagree");
    return nullptr;
  }
  Object part = Object::steal(PyErr_GetRaisedException());
  Py_ssize_t start, end;
  if (PyUnicodeDecodeError_GetStart(part.get(), &start) < 0 ||
      PyUnicodeDecodeError_GetEnd(part.get(), &end) < 0) {
    return nullptr;
  }
  Object reason = Object::steal(PyUnicodeDecodeError_GetReason(part.get()));
  if (!reason) return nullptr;
  Object whole = Object::steal(PyObject_CallFunction(
      PyExc_UnicodeDecodeError, "sOnnO", "utf-8", body, (Py_ssize_t)offset + start,
      (Py_ssize_t)offset + end, reason.get()));
  if (whole) PyErr_SetRaisedException(whole.release());
  return nullptr;
}

}  // namespace

PyObject* parse_body(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[2];
  if (!bind_args(PARSE_BODY_SIG, args, nargs, nullptr, a) || !PyBytes_Check(a[0])) {
    // The companion's own call: one message for any misuse, the binder's
    // wording replaced.
    PyErr_SetString(PyExc_TypeError, "_parse_body() takes a bytes body and allow_nan");
    return nullptr;
  }
  bool allow_nan;
  if (!json_flag(a[1], "allow_nan", false, allow_nan)) return nullptr;
  PyObject* body = a[0];
  const uint8_t* data = (const uint8_t*)PyBytes_AS_STRING(body);
  size_t size = (size_t)PyBytes_GET_SIZE(body);
  utf8::Check check = utf8::check(data, size);
  if (check.verdict == utf8::Verdict::invalid) return raise_decode_error(body, check.offset);
  if (check.verdict == utf8::Verdict::truncated) {
    // DRF's stream reader drops the cut-off character and parses the rest:
    // that answer is DRF's to give.
    PyErr_SetString(PyExc_ValueError, "the body ends inside a UTF-8 sequence");
    return nullptr;
  }
  Reader reader(data, size, allow_nan, true);
  return reader.read_document();
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args(FROM_JSON_SIG, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  bool allow_nan;
  if (!json_flag(a[1], "allow_nan", false, allow_nan)) return nullptr;
  Input input;
  if (!input.take(a[0])) return nullptr;
  Reader reader(input.data(), input.size(), allow_nan, input.valid_utf8());
  return reader.read_document();
}

}  // namespace qc
