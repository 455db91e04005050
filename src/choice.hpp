// The lookup of a value in a ChoiceField's map, shared by the representation
// (value -> label) and validation (input -> choice) of choice fields.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "boundary.hpp"
#include "object.hpp"

namespace qc {

// `map[value]` with the key DRF builds: an exact str stands for itself, an
// exact int for its str(). `done`: `entry` holds the map's entry, or is empty
// when the map has none; `declined`: the value is neither; `raised`.
Result choice_lookup(PyObject* map, PyObject* value, Object& entry);

}  // namespace qc
