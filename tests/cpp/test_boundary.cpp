// The interpreter boundary: what each escaping C++ exception becomes.
#include <Python.h>

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "boundary.hpp"
#include "repr.hpp"

namespace {

int failures = 0;

PyObject* throws_runtime_error(PyObject*) { throw std::runtime_error("broken invariant"); }
PyObject* throws_bad_alloc(PyObject*) { throw std::bad_alloc(); }
PyObject* throws_int(PyObject*) { throw 7; }
PyObject* returns_argument(PyObject* arg) { return Py_NewRef(arg); }
int slot_throws(PyObject*, PyObject*) { throw std::bad_alloc(); }
// A plan whose tag and payload disagree: the checked accessor refuses it.
PyObject* reads_wrong_payload(PyObject*) {
  qc::Repr repr;
  repr.tag = qc::Repr::Kind::decimal;  // payload left empty
  return repr.as<qc::Repr::Decimal>().coerce_to_string ? Py_NewRef(Py_True) : nullptr;
}

// Checks that the pending error is an instance of `type` with `message` as
// its text, and clears it.
void expect_error(const char* what, PyObject* type, const std::string& message) {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* text = exc ? PyObject_Str(exc) : nullptr;
  const char* got = text ? PyUnicode_AsUTF8(text) : nullptr;
  if (!exc || !PyErr_GivenExceptionMatches(exc, type) || !got || got != message) {
    std::printf("%s: got %s \"%s\", want %s \"%s\"\n", what,
                exc ? Py_TYPE(exc)->tp_name : "no exception", got ? got : "",
                ((PyTypeObject*)type)->tp_name, message.c_str());
    ++failures;
  }
  Py_XDECREF(text);
  Py_XDECREF(exc);
  PyErr_Clear();
}

void expect(bool ok, const char* what) {
  if (!ok) {
    std::printf("%s\n", what);
    ++failures;
  }
}

}  // namespace

int boundary_tests() {
  expect(qc::guarded<throws_runtime_error>(Py_None) == nullptr, "runtime_error: no nullptr");
  expect_error("runtime_error", qc::internal_error_type(), "broken invariant");
  expect(qc::guarded<throws_bad_alloc>(Py_None) == nullptr, "bad_alloc: no nullptr");
  expect_error("bad_alloc", PyExc_MemoryError, "");
  expect(qc::guarded<throws_int>(Py_None) == nullptr, "int: no nullptr");
  expect_error("int", qc::internal_error_type(), "an unknown C++ exception reached the interpreter");
  expect(qc::guarded<slot_throws>(Py_None, Py_None) == -1, "int slot: no -1");
  expect_error("int slot", PyExc_MemoryError, "");
  expect(qc::guarded<reads_wrong_payload>(Py_None) == nullptr, "wrong payload: no nullptr");
  expect_error("wrong payload", qc::internal_error_type(), "std::get: wrong index for variant");
  PyObject* same = qc::guarded<returns_argument>(Py_True);
  expect(same == Py_True && !PyErr_Occurred(), "a plain return is changed");
  Py_XDECREF(same);
  return failures;
}
