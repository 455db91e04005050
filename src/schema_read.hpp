// Readers of the schema dicts that the companion package builds: entries that
// must be present, optional flags and sizes, interned names, kind names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "object.hpp"
#include "schema_keys.hpp"

namespace qc {

// Each leaves an error set when it fails. A `key` is one of keys:: (schema_keys.hpp).

// The entry `key` of `dict` into `out`: empty when the key is absent (for
// opt_item, also when the entry is None). False with an error set.
bool any_item(PyObject* dict, const char* key, Object& out);
bool opt_item(PyObject* dict, const char* key, Object& out);
// The entry `key`, which must be present (KeyError "schema is missing ...").
Object req_item(PyObject* dict, const char* key);
// The entry `key`, which must be present and a dict (or subclass).
Object req_dict(PyObject* dict, const char* key);
// The truth of the entry `key`, `dflt` when it is absent or None.
bool opt_bool(PyObject* dict, const char* key, bool dflt, bool& out);
bool opt_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out);
// A list of interned exact str copies of a list of str; false on error.
bool str_list(PyObject* obj, std::vector<Object>& out);

// A new interned exact str with the text of `str` (a str or subclass), made
// from its UTF-8 bytes; empty with an error set (lone surrogates).
Object interned_copy(PyObject* str);
// req_item for an entry that must be a str: its interned copy (see above).
Object req_interned(PyObject* dict, const char* key);
// req_item for a kind name: the str entry in `holder` and its UTF-8 text in
// `text` (valid while `holder` lives). False with an error set.
bool req_text(PyObject* dict, const char* key, Object& holder, std::string_view& text);

// The position of `text` in a table of kind names, or -1.
template <size_t N>
int name_index(const std::string_view (&names)[N], std::string_view text) noexcept {
  for (size_t i = 0; i < N; ++i)
    if (names[i] == text) return (int)i;
  return -1;
}

}  // namespace qc
