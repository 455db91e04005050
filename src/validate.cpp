#include "validate.hpp"

#include "choice.hpp"
#include "decimal_text.hpp"
#include "format.hpp"
#include "guards.hpp"
#include "lists.hpp"
#include "module_state.hpp"
#include "nested_failures.hpp"
#include "object.hpp"
#include "schema_read.hpp"
#include "serializer.hpp"
#include "text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace qc {

namespace {

bool read_lengths(PyObject* dict, Val::Lengths& lengths) {
  return opt_usize(dict, "max_length", lengths.max_length) &&
         opt_usize(dict, "min_length", lengths.min_length);
}

// An optional signed 64-bit bound, converted with the interpreter's integer
// conversion (so floats are refused and __index__ is honoured).
bool read_int_bound(PyObject* dict, const char* key, std::optional<int64_t>& out) {
  Object r;
  if (!opt_item(dict, key, r)) return false;
  if (!r) return true;
  long long v = PyLong_AsLongLong(r.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool read_float_bound(PyObject* dict, const char* key, std::optional<double>& out) {
  Object r;
  if (!opt_item(dict, key, r)) return false;
  if (!r) return true;
  PyObject* v = r.get();
  if (PyFloat_CheckExact(v)) {
    out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool parse_nested(PyObject* dict, Val& out) {
  Object serializer;
  bool many = false;
  if (!read_nested_schema(dict, serializer, many)) return false;
  if (!many) {
    out.tag = Val::Kind::nested;
    out.payload = Val::Nested{std::move(serializer)};
    return true;
  }
  Val::NestedMany n;
  n.serializer = std::move(serializer);
  if (!opt_bool(dict, "allow_empty", true, n.lengths.allow_empty) ||
      !read_lengths(dict, n.lengths))
    return false;
  out.tag = Val::Kind::nested_many;
  out.payload = std::move(n);
  return true;
}

bool read_list(PyObject* dict, Val::List& l) {
  Object child_schema = req_dict(dict, "child");
  if (!child_schema) return false;
  l.child = std::make_unique<Val>();
  return Val::parse(child_schema.get(), *l.child) &&
         opt_bool(dict, "child_allow_null", false, l.child_allow_null) &&
         opt_bool(dict, "allow_empty", true, l.lengths.allow_empty) &&
         read_lengths(dict, l.lengths);
}

}  // namespace

// Reads the keys of the kind named by `out.tag`.
bool ValShape::parse_payload(PyObject* dict, Val& out) {
  switch (out.tag) {
    case Kind::char_:
      return out.read_payload<Char>([&](Char& c) {
        return opt_bool(dict, "allow_blank", false, c.allow_blank) &&
               opt_bool(dict, "trim_whitespace", true, c.trim_whitespace) &&
               read_lengths(dict, c.lengths) &&
               opt_bool(dict, "email", false, c.email);
      });
    case Kind::int_:
      return out.read_payload<Int>([&](Int& i) {
        return read_int_bound(dict, "max_value", i.max_value) &&
               read_int_bound(dict, "min_value", i.min_value);
      });
    case Kind::float_:
      return out.read_payload<Float>([&](Float& f) {
        return read_float_bound(dict, "max_value", f.max_value) &&
               read_float_bound(dict, "min_value", f.min_value);
      });
    case Kind::bool_:
      return out.read_payload<Bool>(
          [&](Bool& b) { return opt_bool(dict, "allow_null", false, b.allow_null); });
    case Kind::decimal:
      return out.read_payload<Decimal>([&](Decimal& d) {
        return opt_usize(dict, "max_digits", d.max_digits) &&
               opt_usize(dict, "decimal_places", d.decimal_places);
      });
    case Kind::datetime:
      return out.read_payload<DateTimeTz>([&](DateTimeTz& tz) { return DateTimeTz::parse(dict, tz); });
    case Kind::choice:
      return out.read_payload<Choice>([&](Choice& c) {
        c.map = req_dict(dict, "map");
        return c.map && opt_bool(dict, "allow_blank", false, c.allow_blank);
      });
    case Kind::list:
      return out.read_payload<List>([&](List& l) { return read_list(dict, l); });
    case Kind::nested:
      return parse_nested(dict, out);
    default:
      return true;  // date, uuid, python: no payload
  }
}

// ---------------------------------------------------------------------------
// Text parsers.

namespace {

// The characters of a dot-atom local part besides letters, digits and ".".
constexpr std::string_view EMAIL_LOCAL_SPECIALS = "!#$%&'*+/=?^_`{|}~-";
// The most digits an integer text may have: below 10**18, so never overflows.
constexpr size_t INT_TEXT_DIGITS = 18;
constexpr size_t EMAIL_MAX = 254;
constexpr size_t LABEL_MAX = 63;

bool is_local_piece(std::string_view piece) noexcept {
  if (piece.empty()) return false;
  for (char c : piece)
    if (!text::is_ascii_letter(c) && !text::is_digit(c) && EMAIL_LOCAL_SPECIALS.find(c) == std::string_view::npos)
      return false;
  return true;
}

bool is_domain_label(std::string_view label) noexcept {
  if (label.empty() || label.size() > LABEL_MAX || label.front() == '-' || label.back() == '-')
    return false;
  for (char c : label)
    if (!text::is_ascii_letter(c) && !text::is_digit(c) && c != '-') return false;
  return true;
}

// Calls `each` with every piece of `text` split at `sep`; false as soon as one
// piece is refused.
template <class Each>
bool all_pieces(std::string_view text, char sep, Each&& each) {
  for (;;) {
    size_t cut = text.find(sep);
    if (!each(text.substr(0, cut))) return false;
    if (cut == std::string_view::npos) return true;
    text.remove_prefix(cut + 1);
  }
}

}  // namespace

std::optional<int64_t> parse_int_str(std::string_view text) noexcept {
  if (size_t point = text.find('.'); point != std::string_view::npos) {
    if (text.find_first_not_of('0', point + 1) != std::string_view::npos) return std::nullopt;
    text = text.substr(0, point);
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > INT_TEXT_DIGITS || !text::all_digits(text)) return std::nullopt;
  int64_t value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return negative ? -value : value;
}

std::optional<u128> parse_uuid(std::string_view text) noexcept {
  bool hyphenated = text.size() == 36;
  if (!hyphenated && text.size() != 32) return std::nullopt;
  u128 value = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    int digit = text::hex_value(text[i]);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | (u128)digit;
  }
  return value;
}

bool is_plain_email(std::string_view text) noexcept {
  if (text.size() > EMAIL_MAX) return false;
  for (char c : text)
    if ((unsigned char)c >= 0x80) return false;
  size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return false;
  std::string_view domain = text.substr(at + 1);
  size_t last_dot = domain.rfind('.');
  if (last_dot == std::string_view::npos) return false;
  std::string_view top = domain.substr(last_dot + 1);
  if (top.size() < 2 || top.size() > LABEL_MAX) return false;
  for (char c : top)
    if (!text::is_ascii_letter(c)) return false;
  return all_pieces(text.substr(0, at), '.', is_local_piece) &&
         all_pieces(domain, '.', is_domain_label);
}

std::optional<IsoDate> parse_iso_date(std::string_view t) noexcept {
  if (t.size() != 10 || t[4] != '-' || t[7] != '-') return std::nullopt;
  if (!text::all_digits(t.substr(0, 4)) || !text::all_digits(t.substr(5, 2)) || !text::all_digits(t.substr(8, 2)))
    return std::nullopt;
  auto number = [&](size_t at, size_t width) {
    uint32_t n = 0;
    for (size_t i = at; i < at + width; ++i) n = n * 10 + (uint32_t)(t[i] - '0');
    return n;
  };
  return IsoDate{number(0, 4), (uint8_t)number(5, 2), (uint8_t)number(8, 2)};
}

// ---------------------------------------------------------------------------
// Python objects the validators need.

namespace {

// object.__setattr__(instance, name, value), which writes a slot even where
// the class forbids it (UUID's own __setattr__ raises).
bool set_slot(PyObject* instance, PyObject* name, PyObject* value) {
  return name && PyObject_GenericSetAttr(instance, name, value) == 0;
}

}  // namespace

Object new_uuid(u128 value) {
  PyObject* cls = uuid_type();
  PyObject* new_name = names::dunder_new();
  if (!cls || !new_name) return Object();
  // UUID inherits object.__new__; calling its slot directly skips the lookup.
  PyTypeObject* type = (PyTypeObject*)cls;
  Object instance = Object::steal(
      type->tp_new == PyBaseObject_Type.tp_new ? type->tp_new(type, empty_tuple(), nullptr)
                                               : PyObject_CallMethodOneArg(cls, new_name, cls));
  if (!instance) return Object();
  Object number = Object::steal(PyLong_FromNativeBytes(
      &value, sizeof value, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
  if (!number || !set_slot(instance.get(), names::int_(), number.get()))
    return Object();
  PyObject* unknown = safe_uuid_unknown();
  if (!unknown ||
      !set_slot(instance.get(), names::is_safe(), unknown))
    return Object();
  return instance;
}

// ---------------------------------------------------------------------------
// Validation.

namespace {

using Verdict = Val::Verdict;

// DRF's limit on numeric text (IntegerField, FloatField, DecimalField).
constexpr size_t NUMBER_TEXT_MAX = 1000;
// Decimal bounds above this are left to DRF: the zero padding would be unbounded.
constexpr uint64_t DECIMAL_BOUND_MAX = 1000;
// "-", the integer digits, ".", the fraction padded to decimal_places.
constexpr size_t DECIMAL_CANONICAL_MAX = 1 + NUMBER_TEXT_MAX + 1 + DECIMAL_BOUND_MAX;

Verdict accept(Object& out, Object value) {
  out = std::move(value);
  return out ? Verdict::accepted : Verdict::raised;
}

// The pending exception is one of `types` (a verdict on the input that DRF
// reaches too): discard it and decline. Anything else is raised.
template <class... Types>
Verdict decline_on(Types... types) {
  if (!(PyErr_ExceptionMatches(types) || ...)) return Verdict::raised;
  PyErr_Clear();
  return Verdict::declined;
}

// The UTF-8 text of an exact str. A str without one (lone surrogates) is
// DRF's to reject, so that case declines.
Verdict read_utf8(PyObject* str, std::string_view& text) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return decline_on(PyExc_UnicodeEncodeError);
  text = std::string_view(data, (size_t)size);
  return Verdict::accepted;
}

std::optional<int64_t> exact_int64(PyObject* value) {
  int overflow;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow) return std::nullopt;
  return (int64_t)v;  // an exact int never fails the conversion otherwise
}

Verdict validate_char(const Val::Char& c, PyObject* value, Object& out) {
  if (!PyUnicode_CheckExact(value)) return Verdict::declined;
  std::string_view text;
  if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
  std::string_view kept = c.trim_whitespace ? text::py_strip(text) : text;
  if (kept.empty())
    return c.allow_blank ? accept(out, Object::steal(PyUnicode_FromStringAndSize("", 0)))
                         : Verdict::declined;
  if (kept.find('\0') != std::string_view::npos) return Verdict::declined;
  if (c.email && !is_plain_email(kept)) return Verdict::declined;
  bool whole = kept.size() == text.size();
  if (c.lengths.max_length || c.lengths.min_length) {
    size_t n = whole ? (size_t)PyUnicode_GET_LENGTH(value) : text::code_point_count(kept);
    if (!c.lengths.allow(n)) return Verdict::declined;
  }
  if (whole) return accept(out, Object::borrow(value));
  return accept(out, Object::steal(
                         PyUnicode_DecodeUTF8(kept.data(), (Py_ssize_t)kept.size(), nullptr)));
}

// Floats are integral for DRF when str() shows them positionally with ".0",
// which holds for every integral float below 1e15.
std::optional<int64_t> integral_float(double d) {
  if (!std::isfinite(d) || std::fabs(d) >= 1e15 || d != std::trunc(d)) return std::nullopt;
  return (int64_t)d;
}

Verdict validate_int(const Val::Int& b, PyObject* value, Object& out) {
  std::optional<int64_t> n;
  if (PyLong_CheckExact(value)) {
    n = exact_int64(value);
  } else if (PyUnicode_CheckExact(value)) {
    std::string_view text;
    if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
    if (text.size() <= NUMBER_TEXT_MAX) n = parse_int_str(text);
  } else if (PyFloat_CheckExact(value)) {
    n = integral_float(PyFloat_AS_DOUBLE(value));
  }
  if (!n || (b.max_value && *n > *b.max_value) || (b.min_value && *n < *b.min_value))
    return Verdict::declined;
  if (PyLong_CheckExact(value)) return accept(out, Object::borrow(value));
  return accept(out, Object::steal(PyLong_FromLongLong(*n)));
}

Verdict validate_float(const Val::Float& b, PyObject* value, Object& out) {
  double d;
  if (PyFloat_CheckExact(value)) {
    d = PyFloat_AS_DOUBLE(value);
  } else if (PyLong_CheckExact(value)) {
    std::optional<int64_t> n = exact_int64(value);
    if (!n) return Verdict::declined;
    d = (double)*n;  // rounded to nearest, as float(int) is
  } else {
    return Verdict::declined;
  }
  if (!std::isfinite(d) || (b.max_value && d > *b.max_value) || (b.min_value && d < *b.min_value))
    return Verdict::declined;
  return accept(out, Object::steal(PyFloat_FromDouble(d)));
}

// BooleanField's accepted texts, case included (DRF lowercases first; mixed
// case is left to it).
constexpr std::string_view TRUE_TEXTS[] = {"1",  "T",   "Y",   "t",   "y",    "on",   "On",
                                           "ON", "yes", "Yes", "YES", "true", "True", "TRUE"};
constexpr std::string_view FALSE_TEXTS[] = {"0",  "F",   "N",   "f",   "n",     "no",    "No",
                                            "NO", "off", "Off", "OFF", "false", "False", "FALSE"};
constexpr std::string_view NULL_TEXTS[] = {"", "null", "Null", "NULL"};

Verdict validate_bool(const Val::Bool& b, PyObject* value, Object& out) {
  if (PyBool_Check(value)) return accept(out, Object::borrow(value));
  if (PyLong_CheckExact(value)) {
    std::optional<int64_t> n = exact_int64(value);
    if (n != 0 && n != 1) return Verdict::declined;
    return accept(out, Object::borrow(*n ? Py_True : Py_False));
  }
  if (!PyUnicode_CheckExact(value)) return Verdict::declined;
  std::string_view text;
  if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
  if (name_index(TRUE_TEXTS, text) >= 0) return accept(out, Object::borrow(Py_True));
  if (name_index(FALSE_TEXTS, text) >= 0) return accept(out, Object::borrow(Py_False));
  if (b.allow_null && name_index(NULL_TEXTS, text) >= 0) return accept(out, Object::borrow(Py_None));
  return Verdict::declined;
}

// Bounds under which DRF's quantize can neither fail nor differ: otherwise it
// quantizes in the thread's own context (no max_digits), reports a negative
// whole-digit limit (decimal_places > max_digits), or pads without bound.
bool decimal_bounds_native(const Val::Decimal& d) {
  if (d.decimal_places && !d.max_digits) return false;
  if (d.max_digits && *d.max_digits > DECIMAL_BOUND_MAX) return false;
  if (d.decimal_places && *d.decimal_places > DECIMAL_BOUND_MAX) return false;
  return !(d.decimal_places && d.max_digits && *d.decimal_places > *d.max_digits);
}

constexpr bool is_decimal_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

std::string_view strip_decimal_spaces(std::string_view text) {
  while (!text.empty() && is_decimal_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_decimal_space(text.back())) text.remove_suffix(1);
  return text;
}

// DRF's digit counts of Decimal(text) (its validate_precision): false when a
// bound refuses the number.
bool decimal_precision_allowed(const Val::Decimal& b, const DecimalText& d) {
  size_t digits = coefficient_digits(d);
  size_t places = d.fraction.size();
  size_t whole = places == 0 ? digits : (digits > places ? digits - places : 0);
  size_t total = std::max(digits, places);
  if (b.max_digits && total > *b.max_digits) return false;
  if (b.decimal_places && places > *b.decimal_places) return false;
  return !(b.max_digits && b.decimal_places && whole > *b.max_digits - *b.decimal_places);
}

// Decimal(canonical text): the value DRF's quantize gives, padded to
// decimal_places. Precision and bounds have been checked, so the sizes are
// bounded by DECIMAL_CANONICAL_MAX.
Verdict make_decimal(const Val::Decimal& b, const DecimalText& d, Object& out) {
  char buffer[DECIMAL_CANONICAL_MAX];
  char* end = buffer;
  if (d.negative) *end++ = '-';
  if (d.whole.empty()) *end++ = '0';
  end = std::copy(d.whole.begin(), d.whole.end(), end);
  size_t places = b.decimal_places ? *b.decimal_places : d.fraction.size();
  if (places > 0) {
    *end++ = '.';
    end = std::copy(d.fraction.begin(), d.fraction.end(), end);
    end = std::fill_n(end, places - d.fraction.size(), '0');
  }
  PyObject* cls = decimal_type();
  if (!cls) return Verdict::raised;
  Object text = Object::steal(PyUnicode_FromStringAndSize(buffer, end - buffer));
  if (!text) return Verdict::raised;
  return accept(out, Object::steal(PyObject_CallOneArg(cls, text.get())));
}

Verdict validate_decimal(const Val::Decimal& b, PyObject* value, Object& out) {
  if (!decimal_bounds_native(b)) return Verdict::declined;
  char digits[24];
  std::string_view text;
  if (PyUnicode_CheckExact(value)) {
    if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
  } else if (PyLong_CheckExact(value)) {
    std::optional<int64_t> n = exact_int64(value);
    if (!n) return Verdict::declined;
    text = std::string_view(digits, std::to_chars(digits, digits + sizeof digits, *n).ptr - digits);
  } else {
    return Verdict::declined;
  }
  text = strip_decimal_spaces(text);
  if (text.empty() || text.size() > NUMBER_TEXT_MAX) return Verdict::declined;
  std::optional<DecimalText> d = split_decimal(text);
  if (!d || !decimal_precision_allowed(b, *d)) return Verdict::declined;
  return make_decimal(b, *d, out);
}

// datetime.date(year, month, day): new reference, or nullptr with an error set.
PyObject* new_date(PyTypeObject* date, const IsoDate& d) {
  Object year = Object::steal(PyLong_FromUnsignedLong(d.year));
  Object month = Object::steal(PyLong_FromUnsignedLong(d.month));
  Object day = Object::steal(PyLong_FromUnsignedLong(d.day));
  if (!year || !month || !day) return nullptr;
  PyObject* args[] = {year.get(), month.get(), day.get()};
  return PyObject_Vectorcall((PyObject*)date, args, 3, nullptr);
}

Verdict validate_date(PyObject* value, Object& out) {
  const DateTypes* types = date_types();
  if (!types) return Verdict::raised;
  if (Py_IS_TYPE(value, types->date)) return accept(out, Object::borrow(value));
  if (!PyUnicode_CheckExact(value)) return Verdict::declined;
  std::string_view text;
  if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
  std::optional<IsoDate> d = parse_iso_date(text);
  if (!d) return Verdict::declined;
  out = Object::steal(new_date(types->date, *d));
  return out ? Verdict::accepted : decline_on(PyExc_ValueError);  // e.g. February 30th
}

// Aware datetimes only: naive ones go to DRF's make_aware. DRF suppresses
// ValueError and TypeError around parsing and reports OverflowError from
// astimezone, so those decline; anything else is raised as it is there.
Verdict validate_datetime(const DateTimeTz& tz, PyObject* value, PyObject* current_tz,
                          Object& out) {
  PyObject* zone = tz.target(current_tz);
  if (!PyUnicode_CheckExact(value) || !zone) return Verdict::declined;
  PyObject* fromisoformat = names::fromisoformat();
  PyObject* astimezone = names::astimezone();
  const DateTypes* types = date_types();
  if (!fromisoformat || !astimezone || !types) return Verdict::raised;
  Object parsed = Object::steal(
      PyObject_CallMethodOneArg((PyObject*)types->datetime, fromisoformat, value));
  if (!parsed) return decline_on(PyExc_ValueError, PyExc_TypeError);
  Object offset;
  if (!utcoffset(parsed.get(), offset)) return Verdict::raised;
  if (!offset) return Verdict::declined;
  out = Object::steal(PyObject_CallMethodOneArg(parsed.get(), astimezone, zone));
  return out ? Verdict::accepted
             : decline_on(PyExc_OverflowError, PyExc_ValueError, PyExc_TypeError);
}

Verdict validate_uuid(PyObject* value, Object& out) {
  if (!PyUnicode_CheckExact(value)) return Verdict::declined;
  std::string_view text;
  if (Verdict v = read_utf8(value, text); v != Verdict::accepted) return v;
  std::optional<u128> n = parse_uuid(text);
  if (!n) return Verdict::declined;
  return accept(out, new_uuid(*n));
}

Verdict validate_choice(const Val::Choice& c, PyObject* value, Object& out) {
  if (c.allow_blank && PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0)
    return accept(out, Object::borrow(value));
  switch (choice_lookup(c.map.get(), value, out)) {
    case Result::done:
      return out ? Verdict::accepted : Verdict::declined;
    case Result::declined:
      return Verdict::declined;
    case Result::raised:
      break;
  }
  return Verdict::raised;
}

// An exact list whose length the field accepts; others are DRF's to judge.
bool is_list_of(PyObject* value, const Val::Lengths& lengths) {
  return PyList_CheckExact(value) && lengths.allow((size_t)PyList_GET_SIZE(value));
}

// Runs `each(item, out)` (a Verdict) for each item of an exact list, holding a
// strong reference to the item meanwhile, and collects the accepted values.
// The walk stops early if Python code (or another thread) shrinks the list.
template <class Each>
Verdict collect_items(PyObject* list, Object& out, Each&& each) {
  Object result = Object::steal(PyList_New(0));
  if (!result) return Verdict::raised;
  Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(list); ++i) {
    Object item;
    if (!list_item(list, i, item)) return Verdict::raised;
    if (!item) break;
    Object internal;
    if (Verdict v = each(item.get(), internal); v != Verdict::accepted) return v;
    if (PyList_Append(result.get(), internal.get()) < 0) return Verdict::raised;
  }
  out = std::move(result);
  return Verdict::accepted;
}

Verdict validate_list(const Val::List& l, PyObject* value, PyObject* current_tz,
                      const Live& field, Object& out) {
  if (!is_list_of(value, l.lengths)) return Verdict::declined;
  RecursionGuard guard(" while validating a list");
  if (!guard.entered()) return Verdict::raised;
  Live child = Live::child(field);
  return collect_items(value, out, [&](PyObject* item, Object& internal) {
    if (item != Py_None) return Val::validate(*l.child, item, current_tz, child, internal);
    if (!l.child_allow_null) return Verdict::declined;
    internal = Object::borrow(Py_None);
    return Verdict::accepted;
  });
}

// One nested serializer's loop over one exact dict. Its field errors, and
// failures further in, abandon the payload's native loops up to the
// outermost one, recording this dict on the way (see nested_failures.hpp).
// `live` is the DRF serializer that the loop stands in for.
Verdict validate_nested(PyObject* serializer, PyObject* value, PyObject* current_tz,
                        const Live& live, Object& out) {
  if (!PyDict_CheckExact(value)) return Verdict::declined;
  Object validated, errors;
  switch (validate_dict(serializer, value, current_tz, live, false, validated, errors)) {
    case Validation::raised:
      return Verdict::raised;
    case Validation::abandoned:
      break;
    case Validation::done:
      if (!errors) {
        out = std::move(validated);
        return Verdict::accepted;
      }
      break;
  }
  nested_failures::add(value);
  return Verdict::abandoned;
}

Verdict validate_nested_many(const Val::NestedMany& m, PyObject* value, PyObject* current_tz,
                             const Live& field, Object& out) {
  if (!is_list_of(value, m.lengths)) return Verdict::declined;
  Live child = Live::child(field);
  return collect_items(value, out, [&](PyObject* item, Object& internal) {
    return validate_nested(m.serializer.get(), item, current_tz, child, internal);
  });
}

}  // namespace

Val::Verdict ValShape::validate(const Val& val, PyObject* value, PyObject* current_tz,
                           const Live& field, Object& out) {
  switch (val.tag) {
    case Kind::char_:
      return validate_char(val.as<Char>(), value, out);
    case Kind::int_:
      return validate_int(val.as<Int>(), value, out);
    case Kind::float_:
      return validate_float(val.as<Float>(), value, out);
    case Kind::bool_:
      return validate_bool(val.as<Bool>(), value, out);
    case Kind::decimal:
      return validate_decimal(val.as<Decimal>(), value, out);
    case Kind::date:
      return validate_date(value, out);
    case Kind::datetime:
      return validate_datetime(val.as<DateTimeTz>(), value, current_tz, out);
    case Kind::uuid:
      return validate_uuid(value, out);
    case Kind::choice:
      return validate_choice(val.as<Choice>(), value, out);
    case Kind::list:
      return validate_list(val.as<List>(), value, current_tz, field, out);
    case Kind::nested:
      return validate_nested(val.as<Nested>().serializer.get(), value, current_tz, field, out);
    case Kind::nested_many:
      return validate_nested_many(val.as<NestedMany>(), value, current_tz, field, out);
    case Kind::python:
      break;
  }
  return Verdict::declined;
}

}  // namespace qc
