// UUID fields (quorvel_core/kinds/uuid.py): their representation and
// validation, the UUID text they read and the uuid.UUID objects they build,
// which the SQLite row converter reuses. The text they write is src/format's,
// which the JSON encoder shares.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../format.hpp"
#include "../module_state.hpp"
#include "../repr.hpp"
#include "../uint128.hpp"
#include "../validate.hpp"

#include <optional>
#include <string_view>

namespace qc {

// 32 hex digits, or the 36-character form with hyphens at 8, 13, 18 and 23.
// Never fails or allocates.
std::optional<u128> parse_uuid(std::string_view text) noexcept;

// The uuid.UUID equal to uuid.UUID(int=value), built without running the
// class's __init__. Empty with an error set.
Object new_uuid(u128 value);

static inline Object repr_uuid(const Live& field, PyObject* value) {
  PyObject* uuid = uuid_type();
  if (!uuid) return Object();
  if ((PyObject*)Py_TYPE(value) != uuid) return field_repr(field, value);
  return uuid_str(value);
}

static inline Val::Verdict validate_uuid(PyObject* value, Object& out) {
  if (!PyUnicode_CheckExact(value)) return Val::Verdict::declined;
  std::string_view text;
  if (Val::Verdict v = read_utf8(value, text); v != Val::Verdict::accepted) return v;
  std::optional<u128> n = parse_uuid(text);
  if (!n) return Val::Verdict::declined;
  return accept(out, new_uuid(*n));
}

}  // namespace qc
