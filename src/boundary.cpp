// The errors every unit raises and the translation of an escaping C++
// exception into a Python one at the boundary.
#include "boundary.hpp"

#include <exception>
#include <new>

#include "object.hpp"
#include "once_slot.hpp"

namespace qc {

PyObject* type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                 Py_TYPE(obj)->tp_name, expected);
  }
  return nullptr;
}

void prefix_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Object exc = Object::steal(PyErr_GetRaisedException());
  Object text = Object::steal(PyObject_Str(exc.get()));
  if (!text) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

namespace {
OnceSlot INTERNAL_ERROR;
}  // namespace

PyObject* internal_error_type() {
  return INTERNAL_ERROR.get([] {
    return PyErr_NewExceptionWithDoc(
        "quorvel_core._quorvel_core.InternalError",
        "An internal invariant of quorvel_core was broken (a bug; please report it).",
        PyExc_BaseException, nullptr);
  });
}

PyObject* internal_error(const char* message) {
  if (PyObject* type = internal_error_type()) PyErr_SetString(type, message);
  return nullptr;
}

void set_error_from_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    internal_error(e.what());
  } catch (...) {
    internal_error("an unknown C++ exception reached the interpreter");
  }
}

}  // namespace qc
