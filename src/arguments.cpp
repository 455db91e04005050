// Binding of positional and keyword arguments to a Signature, with CPython's
// own TypeError wording.
#include "arguments.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "guards.hpp"

namespace qc {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const Signature& sig, size_t positional, size_t required,
                         Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (required == positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.display, positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.display, required, positional, given, verb);
  }
  return false;
}

bool report_missing(const Signature& sig, PyObject** out) {
  bool complete = true;
  for (size_t i = 0; i < sig.params.size(); ++i) complete &= !sig.params[i].required || out[i];
  if (complete) return true;
  for (bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only == keyword_only && p.required && !out[i]) missing.push_back(p.name);
    }
    if (missing.empty()) continue;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required %s argument%s: %s", sig.display,
                 missing.size(), keyword_only ? "keyword" : "positional",
                 missing.size() == 1 ? "" : "s", join_names(missing).c_str());
    return false;
  }
  return true;
}

// Whether the str `name` spells `text`. Keyword names are ASCII in practice
// and compared in place (both texts end in a NUL, where strncmp stops).
bool spells(PyObject* name, const char* text) {
  if (PyUnicode_IS_ASCII(name)) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(name));
    const char* data = static_cast<const char*>(PyUnicode_DATA(name));
    return data[0] == text[0] && std::strncmp(data, text, n) == 0 && text[n] == '\0';
  }
  return PyUnicode_EqualToUTF8AndSize(name, text, (Py_ssize_t)std::strlen(text));
}

// Places one keyword argument; false with TypeError set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  const size_t count = PyUnicode_Check(name) ? sig.params.size() : 0;
  for (size_t i = 0; i < count; ++i) {
    const char* pname = sig.params[i].name;
    if (!spells(name, pname)) continue;
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                   pname);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display,
               name);
  return false;
}

// Places the entries of a keyword dict. The dict is normally the call's own;
// a C caller may pass one that other threads can reach, and the walk must not
// meet it mid-change. The values are borrowed for the call, as the positional
// arguments are.
bool bind_keywords(const Signature& sig, PyObject* kwargs, PyObject** out) {
  CriticalSection section(kwargs);
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(kwargs, &pos, &name, &value)) {
    if (!bind_keyword(sig, name, value, out)) return false;
  }
  return true;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  size_t positional = 0, required = 0;
  for (const Param& p : sig.params) {
    if (p.keyword_only) continue;
    ++positional;
    if (p.required) ++required;
  }
  if ((size_t)nargs > positional) return too_many_positional(sig, positional, required, nargs);
  for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
  // Positional-or-keyword parameters come first in every signature.
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return report_missing(sig, out);
}

bool bind_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
  if (kwargs && !bind_keywords(sig, kwargs, out)) return false;
  return report_missing(sig, out);
}

bool arguments_are_types(PyObject* const* bound, const Param* params,
                         std::initializer_list<int> positions) {
  for (int i : positions) {
    if (!PyType_Check(bound[i])) {
      type_mismatch(bound[i], "type");
      prefix_argument_error(params[i].name);
      return false;
    }
  }
  return true;
}

}  // namespace qc
