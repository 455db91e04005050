// Boolean fields (quorvel_core/kinds/boolean.py): the validation of
// BooleanField input and the texts it accepts. Their representation is the
// exact-bool case of src/repr.cpp.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../schema_read.hpp"
#include "../validate.hpp"

#include <string_view>

namespace qc {

// BooleanField's accepted texts, case included (DRF lowercases first; mixed
// case is left to it).
inline constexpr std::string_view TRUE_TEXTS[] = {"1",  "T",   "Y",   "t",   "y",    "on",   "On",
                                                  "ON", "yes", "Yes", "YES", "true", "True", "TRUE"};
inline constexpr std::string_view FALSE_TEXTS[] = {"0",  "F",   "N",   "f",   "n",     "no",    "No",
                                                   "NO", "off", "Off", "OFF", "false", "False", "FALSE"};
inline constexpr std::string_view NULL_TEXTS[] = {"", "null", "Null", "NULL"};

// The schema's keys of a "bool" validator dict. False with an error set.
bool read_bool(PyObject* dict, Val::Bool& b);

static inline Val::Verdict validate_bool(const Val::Bool& b, PyObject* value, Object& out) {
  using Verdict = Val::Verdict;
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

}  // namespace qc
