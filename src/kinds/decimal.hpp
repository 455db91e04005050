// Decimal fields (quorvel_core/kinds/decimal.py): the representation of
// Decimal values, the validation of DecimalField input, and the plain
// decimal text ("-12.340") both read, with its digits counted as Python's
// decimal module counts a coefficient's.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../module_state.hpp"
#include "../repr.hpp"
#include "../text.hpp"
#include "../validate.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>

namespace qc {

// ---------------------------------------------------------------------------
// Decimal text.

// A plain decimal number, split into its parts.
struct DecimalText {
  bool negative = false;
  std::string_view whole;     // digits before the point
  std::string_view fraction;  // digits after it
};

// An optional sign, digits, and an optional point with more digits (at least
// one digit in all); nullopt for anything else (exponents, NaN, Infinity).
constexpr std::optional<DecimalText> split_decimal(std::string_view text) noexcept {
  DecimalText d;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    d.negative = text.front() == '-';
    text.remove_prefix(1);
  }
  size_t point = text.find('.');
  d.whole = text.substr(0, point);
  if (point != std::string_view::npos) d.fraction = text.substr(point + 1);
  if (!text::all_digits(d.whole) || !text::all_digits(d.fraction) ||
      (d.whole.empty() && d.fraction.empty()))
    return std::nullopt;
  return d;
}

// The digits of the coefficient as quantize() and DRF's validate_precision
// count them: leading zeros dropped, at least one (0.00 has one digit).
constexpr size_t coefficient_digits(const DecimalText& d) noexcept {
  auto leading_zeros = [](std::string_view digits) {
    return std::min(digits.find_first_not_of('0'), digits.size());
  };
  size_t zeros = leading_zeros(d.whole);
  if (zeros < d.whole.size()) return d.whole.size() - zeros + d.fraction.size();
  return std::max<size_t>(d.fraction.size() - leading_zeros(d.fraction), 1);
}

// ---------------------------------------------------------------------------
// The schema's keys of a decimal "repr" and "val" dict. False with an error set.

bool read_decimal(PyObject* dict, Repr::Decimal& d);
bool read_decimal(PyObject* dict, Val::Decimal& d);

// ---------------------------------------------------------------------------
// Representation.

// Whether DRF's quantize-and-format would give back `text` (str() of a
// Decimal) unchanged: plain digits (no exponent, not NaN or infinite), and,
// when the field has decimal places, exactly that many of them within
// max_digits. Without max_digits DRF quantizes in the caller's decimal
// context, whose precision only Python knows. str() never writes a "+" or
// leaves the whole part empty.
inline bool keeps_text(std::string_view text, const Repr::Decimal& d) {
  std::optional<DecimalText> parts = split_decimal(text);
  if (!parts || parts->whole.empty()) return false;
  if (!d.decimal_places) return true;
  if (!d.max_digits || parts->fraction.size() != *d.decimal_places) return false;
  return coefficient_digits(*parts) <= *d.max_digits;
}

static inline Object repr_decimal(const Repr::Decimal& d, const Live& field, PyObject* value) {
  PyObject* decimal = decimal_type();
  if (!decimal) return Object();
  if ((PyObject*)Py_TYPE(value) != decimal) return field_repr(field, value);
  Object text = Object::steal(PyObject_Str(value));
  if (!text) return Object();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return Object();
  if (!keeps_text(std::string_view(utf8, (size_t)size), d)) return field_repr(field, value);
  return d.coerce_to_string ? text : Object::borrow(value);
}

// ---------------------------------------------------------------------------
// Validation.

// Decimal bounds above this are left to DRF: the zero padding would be unbounded.
inline constexpr uint64_t DECIMAL_BOUND_MAX = 1000;

// Bounds under which DRF's quantize can neither fail nor differ: otherwise it
// quantizes in the thread's own context (no max_digits), reports a negative
// whole-digit limit (decimal_places > max_digits), or pads without bound.
inline bool decimal_bounds_native(const Val::Decimal& d) {
  if (d.decimal_places && !d.max_digits) return false;
  if (d.max_digits && *d.max_digits > DECIMAL_BOUND_MAX) return false;
  if (d.decimal_places && *d.decimal_places > DECIMAL_BOUND_MAX) return false;
  return !(d.decimal_places && d.max_digits && *d.decimal_places > *d.max_digits);
}

constexpr bool is_decimal_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

inline std::string_view strip_decimal_spaces(std::string_view text) {
  while (!text.empty() && is_decimal_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_decimal_space(text.back())) text.remove_suffix(1);
  return text;
}

// DRF's digit counts of Decimal(text) (its validate_precision): false when a
// bound refuses the number.
inline bool decimal_precision_allowed(const Val::Decimal& b, const DecimalText& d) {
  size_t digits = coefficient_digits(d);
  size_t places = d.fraction.size();
  size_t whole = places == 0 ? digits : (digits > places ? digits - places : 0);
  size_t total = std::max(digits, places);
  if (b.max_digits && total > *b.max_digits) return false;
  if (b.decimal_places && places > *b.decimal_places) return false;
  return !(b.max_digits && b.decimal_places && whole > *b.max_digits - *b.decimal_places);
}

// Decimal(canonical text): the value DRF's quantize gives, padded to
// decimal_places. Precision and bounds have been checked.
Val::Verdict make_decimal(const Val::Decimal& b, const DecimalText& d, Object& out);

static inline Val::Verdict validate_decimal(const Val::Decimal& b, PyObject* value, Object& out) {
  using Verdict = Val::Verdict;
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

}  // namespace qc
