// Text fields (quorvel_core/kinds/text.py): the validation of CharField input
// and the plain e-mail addresses it accepts. Their representation is the
// exact-str case of src/repr.cpp.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../text.hpp"
#include "../validate.hpp"

#include <string_view>

namespace qc {

// A dot-atom ASCII address with a dotted domain and an alphabetic last label.
// Never fails or allocates.
bool is_plain_email(std::string_view text) noexcept;

// The schema's keys of a "char" validator dict. False with an error set.
bool read_char(PyObject* dict, Val::Char& c);

static inline Val::Verdict validate_char(const Val::Char& c, PyObject* value, Object& out) {
  using Verdict = Val::Verdict;
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

}  // namespace qc
