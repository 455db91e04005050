// The argument binder shared by every callable that takes arguments: CPython's
// own TypeError wording for missing, extra and repeated arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <span>

namespace qc {

struct Param {
  const char* name;
  bool required;
  bool keyword_only;
};

struct Signature {
  const char* display;  // e.g. "configure()" or "CompiledSerializer.describe()"
  std::span<const Param> params;
};

// Binds vectorcall-style arguments. `out` has one borrowed slot per parameter;
// unfilled optional parameters are nullptr. Returns false with TypeError set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// The same for the classic (tuple, dict) convention of tp_new.
bool bind_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                     PyObject** out);

// Whether the bound arguments at `positions` of `params` are classes;
// TypeError naming the parameter otherwise.
bool arguments_are_types(PyObject* const* bound, const Param* params,
                         std::initializer_list<int> positions);

}  // namespace qc
