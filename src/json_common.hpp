// What the JSON encoder and the reader share: keyword flags and hex digits.
#pragma once

#include <cstdint>

#include "tools.hpp"

namespace qc {

// NumPy's boolean scalar ("numpy.bool", "numpy.bool_" before NumPy 2), known
// by its static type's name so that NumPy need not be imported.
bool is_numpy_bool(PyObject* value);

// Reads a keyword flag: a bool, or a NumPy boolean scalar (recognised by its
// type name, so NumPy is never imported). `value` nullptr means omitted.
// Returns 0 or 1, or -1 with an error set; a wrong type is the type-mismatch
// TypeError prefixed with "argument '<param>': ".
int json_flag(PyObject* value, const char* param, bool dflt);

// Lower-case hex digits by value, for \u escapes and other hex output.
inline constexpr char HEX_DIGITS[] = "0123456789abcdef";

// The value of one hex digit (either case), or -1 for any other byte.
inline int hex_value(uint8_t c) {
  if ((uint8_t)(c - '0') < 10) return c - '0';
  uint8_t lower = c | 0x20;
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

}  // namespace qc
