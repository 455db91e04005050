// The _quorvel_core module: definition, exec step and exported callables.
#include "config.hpp"
#include "json.hpp"
#include "json_decode.hpp"
#include "serializer.hpp"
#include "tools.hpp"

namespace qc {
namespace {

PyMethodDef FUNCTIONS[] = {
    {"configure", (PyCFunction)(void (*)(void))configure, METH_FASTCALL | METH_KEYWORDS,
     "configure(*, empty, skip_field, object_does_not_exist, pk_only_object, manager_class, "
     "dict_factory, resolve_callable, run_field, finish_field)\n--\n\n"},
    {"is_configured", is_configured, METH_NOARGS, "is_configured()\n--\n\n"},
    {"to_json", (PyCFunction)(void (*)(void))to_json, METH_FASTCALL | METH_KEYWORDS,
     "to_json(obj, *, ensure_ascii=True, compact=True, allow_nan=False, default=None)\n--\n\n"
     "`json.dumps(obj, cls=rest_framework.utils.encoders.JSONEncoder, ...)` followed by DRF's\n"
     "`\u2028` / `\u2029` escaping, encoded as UTF-8. `default` is called for objects the "
     "encoder\ndoes not know natively (like `JSONEncoder.default`)."},
    {"from_json", (PyCFunction)(void (*)(void))from_json, METH_FASTCALL | METH_KEYWORDS,
     "from_json(data, *, allow_nan=False)\n--\n\n"
     "`json.loads(data)`. Raises `ValueError` on invalid input; callers that need the exact "
     "message\nof the `json` module re-parse with it."},
    {"_parse_body", (PyCFunction)(void (*)(void))parse_body, METH_FASTCALL,
     "_parse_body(body, allow_nan)\n--\n\n"
     "For quorvel_core.parsers: `from_json` of a bytes body, checked as UTF-8 first."},
    {nullptr, nullptr, 0, nullptr},
};

// Adds a borrowed object under `name`; false with an error set.
bool add_ref(PyObject* module, const char* name, PyObject* value) {
  return value && PyModule_AddObjectRef(module, name, value) == 0;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) return type_mismatch(module, "module"), -1;
  bool ok = PyModule_AddStringConstant(module, "__version__", "0.1.0") == 0 &&
            PyModule_AddIntConstant(module, "STATUS_OK", 0) == 0 &&
            PyModule_AddIntConstant(module, "STATUS_SKIP", 1) == 0 &&
            PyModule_AddIntConstant(module, "STATUS_ERROR", 2) == 0 &&
            add_ref(module, "CompiledSerializer", compiled_serializer_type()) &&
            add_ref(module, "JsonFallback", json_fallback_type()) &&
            PyModule_AddFunctions(module, FUNCTIONS) == 0;
  return ok ? 0 : -1;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, (void*)exec_module},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_quorvel_core",
    "",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qc

PyMODINIT_FUNC PyInit__quorvel_core(void) { return PyModuleDef_Init(&qc::MODULE); }
