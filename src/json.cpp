#include "json.hpp"

#include "json_reader.hpp"

namespace qc {

namespace {

OnceSlot JSON_FALLBACK;

constexpr Param TO_JSON_PARAMS[] = {
    {"obj", true, false},        {"ensure_ascii", false, true}, {"compact", false, true},
    {"allow_nan", false, true},  {"default", false, true},
};
constexpr Signature TO_JSON_SIG{"to_json()", TO_JSON_PARAMS};

constexpr Param FROM_JSON_PARAMS[] = {{"data", true, false}, {"allow_nan", false, true}};
constexpr Signature FROM_JSON_SIG{"from_json()", FROM_JSON_PARAMS};

}  // namespace

PyObject* json_fallback_type() {
  return JSON_FALLBACK.get([] {
    return PyErr_NewExceptionWithDoc(
        "_quorvel_core.JsonFallback",
        "The native encoder cannot reproduce json.dumps() for this input; use the Python "
        "encoder.",
        PyExc_Exception, nullptr);
  });
}

PyObject* to_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!bind_args(TO_JSON_SIG, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  PyErr_SetString(PyExc_NotImplementedError, "to_json() is not available yet");
  return nullptr;
}

PyObject* from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args(FROM_JSON_SIG, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  return read_json(a[0], a[1]);
}

}  // namespace qc
