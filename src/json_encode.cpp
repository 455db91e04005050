#include "json_encode.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>

#include "arguments.hpp"
#include "float_text.hpp"
#include "format.hpp"
#include "time_zones.hpp"
#include "guards.hpp"
#include "json_encode_buffer.hpp"
#include "json_common.hpp"
#include "json_encode_keys.hpp"
#include "json_encode_string.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "once_slot.hpp"
#include "text.hpp"

namespace qc {

namespace {

using namespace json_encode;

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

bool raise_fallback(const char* reason) {
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
  KeyTextCache keys;

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
  if (depth > MAX_DEPTH) return raise_fallback(msg::TOO_DEEP);
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
    if (PyDict_GET_SIZE(dict) != size) return raise_fallback(msg::DICT_RESIZED);
    if (written > size) return raise_fallback(msg::DICT_CHANGED);
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
    if (!output.reserve(KeyTextCache::TEXT_MAX)) return false;
    std::memcpy(output.end(), text, KeyTextCache::TEXT_MAX);
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
  if (!out) return raise_fallback(msg::SURROGATES);
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
    if (!end) return raise_fallback(msg::SURROGATES);
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
      return raise_fallback(msg::BAD_UUID);
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
