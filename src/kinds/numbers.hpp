// Integer and float fields (quorvel_core/kinds/numbers.py): the validation of
// IntegerField and FloatField input, with the integer text it reads. Their
// representation is the exact-int and exact-float case of src/repr.cpp.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../validate.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qc {

// [+-]digits, 1 to 18 ASCII digits, optionally followed by "." and zeros.
// Never fails or allocates.
std::optional<int64_t> parse_int_str(std::string_view text) noexcept;

// The schema's keys of an "int" and a "float" validator dict. False with an
// error set.
bool read_int(PyObject* dict, Val::Int& i);
bool read_float(PyObject* dict, Val::Float& f);

// Floats are integral for DRF when str() shows them positionally with ".0",
// which holds for every integral float below 1e15.
inline std::optional<int64_t> integral_float(double d) {
  if (!std::isfinite(d) || std::fabs(d) >= 1e15 || d != std::trunc(d)) return std::nullopt;
  return (int64_t)d;
}

static inline Val::Verdict validate_int(const Val::Int& b, PyObject* value, Object& out) {
  using Verdict = Val::Verdict;
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

static inline Val::Verdict validate_float(const Val::Float& b, PyObject* value, Object& out) {
  using Verdict = Val::Verdict;
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

}  // namespace qc
