// libFuzzer driver: an embedded interpreter with the extension linked in
// statically, handing every input to one Python target of tests/fuzz/targets.py
// (chosen by the FUZZ_TARGET environment variable). A target checks the
// extension's answer itself and raises on a wrong one; an exception escaping
// it is reported as a crash, with its traceback, so that libFuzzer keeps the
// input. Crashes inside the extension are caught by the sanitizers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

PyMODINIT_FUNC PyInit__quorvel_core(void);

namespace {

PyObject* TARGET = nullptr;  // owned for the life of the process

[[noreturn]] void fail(const char* what) {
  if (PyErr_Occurred()) PyErr_Print();
  std::fprintf(stderr, "fuzz driver: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* name = std::getenv("FUZZ_TARGET");
  if (!name) fail("set FUZZ_TARGET to a function name of tests/fuzz/targets.py");
  if (PyImport_AppendInittab("_quorvel_core", PyInit__quorvel_core) != 0)
    fail("cannot register the extension");
  Py_Initialize();
  PyObject* module = PyImport_ImportModule("tests.fuzz.targets");
  if (!module) fail("cannot import tests.fuzz.targets (run from the checkout's root)");
  TARGET = PyObject_GetAttrString(module, name);
  Py_DECREF(module);
  if (!TARGET) fail("no such target");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PyObject* input = PyBytes_FromStringAndSize((const char*)data, (Py_ssize_t)size);
  if (!input) fail("cannot create the input bytes");
  PyObject* result = PyObject_CallOneArg(TARGET, input);
  Py_DECREF(input);
  if (!result) fail("the target found a wrong answer");
  Py_DECREF(result);
  return 0;
}
