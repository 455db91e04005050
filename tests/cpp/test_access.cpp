// Tests that need a running interpreter but no module face: python_get, whose
// callers (the representation loop) are not reachable from Python here, and
// the garbage collector's clear slot of CompiledSerializer.
#include <cstdio>
#include <string>

#include "config.hpp"
#include "access.hpp"
#include "object.hpp"
#include "compiled_serializer.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (ok) return;
  std::printf("interpreter test failed: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  ++failures;
}

const char* SETUP = R"(
class Skip(Exception): pass
class SubSkip(Skip): pass

class Field:
    def __init__(self, outcome):
        self.outcome = outcome
    def get_attribute(self, instance):
        if isinstance(self.outcome, BaseException):
            raise type(self.outcome)(*self.outcome.args)  # a fresh one per call
        return instance[self.outcome]

instance = {"a": "value of a", "n": None}
)";

PyObject* global(PyObject* globals, const char* name) {  // borrowed
  return PyDict_GetItemString(globals, name);
}

qc::Object eval(PyObject* globals, const char* expr) {
  return qc::Object::steal(PyRun_String(expr, Py_eval_input, globals, globals));
}

// Runs python_get on Field(<outcome>) and checks status, value and error.
void check_get(PyObject* globals, const qc::Config& config, const char* outcome,
               qc::Access::Status want, PyObject* want_value, PyObject* want_error) {
  std::string expr = std::string("Field(") + outcome + ")";
  qc::Object field = eval(globals, expr.c_str());
  expect((bool)field, "building the field");
  if (!field) return;
  PyObject* instance = global(globals, "instance");
  Py_ssize_t before = Py_REFCNT(instance);
  qc::Access got = qc::python_get(config, qc::Live::given(field.get()), instance);
  std::string what = std::string("python_get with ") + outcome;
  expect(got.status == want, what.c_str());
  if (want == qc::Access::Status::value) expect(got.value.get() == want_value, what.c_str());
  if (want != qc::Access::Status::value) expect(!got.value, what.c_str());
  if (want_error) {
    expect(PyErr_ExceptionMatches(want_error), what.c_str());
    PyErr_Clear();
  } else {
    expect(!PyErr_Occurred(), what.c_str());
  }
  got.value.reset();
  expect(Py_REFCNT(instance) == before, "python_get keeps no reference to the instance");
}

void test_python_get(PyObject* globals) {
  qc::Config config{};
  config.skip_field = qc::Object::borrow(global(globals, "Skip"));
  PyObject* a = PyDict_GetItemString(global(globals, "instance"), "a");
  using S = qc::Access::Status;
  check_get(globals, config, "'a'", S::value, a, nullptr);
  check_get(globals, config, "'n'", S::value, Py_None, nullptr);
  check_get(globals, config, "Skip()", S::skip, nullptr, nullptr);
  check_get(globals, config, "SubSkip('sub')", S::skip, nullptr, nullptr);
  check_get(globals, config, "KeyError('k')", S::error, nullptr, PyExc_KeyError);
  check_get(globals, config, "'missing'", S::error, nullptr, PyExc_KeyError);

  // A tuple of classes matches any member, as in an except clause.
  config.skip_field = eval(globals, "(LookupError, Skip)");
  check_get(globals, config, "KeyError('k')", S::skip, nullptr, nullptr);
  check_get(globals, config, "ValueError('v')", S::error, nullptr, PyExc_ValueError);

  // A field object without get_attribute fails with AttributeError.
  qc::Access got = qc::python_get(config, qc::Live::given(Py_None), global(globals, "instance"));
  expect(got.status == S::error && PyErr_ExceptionMatches(PyExc_AttributeError),
         "python_get on an object without get_attribute");
  PyErr_Clear();
}

// After tp_clear an instance behaves as one with no fields and holds nothing.
void test_clear(PyObject* globals) {
  PyObject* type = qc::compiled_serializer_type();
  expect(type != nullptr, "creating the CompiledSerializer class");
  if (!type) return;
  qc::Object field = eval(globals, "Field('a')");
  qc::Object map = eval(globals, "{'x': 1}");
  qc::Object read = qc::Object::steal(Py_BuildValue(
      "[{s:s,s:O,s:{s:s,s:O}}]", "name", "f", "field", field.get(), "repr", "type", "choice",
      "map", map.get()));
  qc::Object write = qc::Object::steal(Py_BuildValue(
      "[{s:s,s:O,s:[],s:{s:s}}]", "name", "w", "field", field.get(), "source_attrs", "val",
      "type", "int"));
  qc::Object cs = qc::Object::steal(PyObject_CallFunctionObjArgs(type, read.get(), write.get(), nullptr));
  expect((bool)cs, "constructing a CompiledSerializer");
  if (!cs) return;
  read.reset();
  write.reset();
  Py_ssize_t field_refs = Py_REFCNT(field.get()), map_refs = Py_REFCNT(map.get());

  expect(Py_TYPE(cs.get())->tp_clear(cs.get()) == 0, "tp_clear");
  expect(Py_REFCNT(field.get()) == field_refs - 2, "tp_clear releases the field objects");
  expect(Py_REFCNT(map.get()) == map_refs - 1, "tp_clear releases the choice map");

  qc::Object text = qc::Object::steal(PyObject_Repr(cs.get()));
  expect(text && PyUnicode_EqualToUTF8(text.get(),
                                       "CompiledSerializer(read_fields=0, write_fields=0)"),
         "repr() after tp_clear");
  qc::Object described = qc::Object::steal(PyObject_CallMethod(cs.get(), "describe", nullptr));
  qc::Object empty = eval(globals, "{'read': {}, 'write': {}}");
  expect(described && PyObject_RichCompareBool(described.get(), empty.get(), Py_EQ) == 1,
         "describe() after tp_clear");
  expect(Py_TYPE(cs.get())->tp_clear(cs.get()) == 0, "a second tp_clear");
}

}  // namespace

int interpreter_tests() {
  if (!Py_IsInitialized()) Py_InitializeEx(0);
  qc::Object globals = qc::Object::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  qc::Object ran = qc::Object::steal(PyRun_String(SETUP, Py_file_input, globals.get(), globals.get()));
  expect((bool)ran, "running the setup code");
  if (ran) {
    test_python_get(globals.get());
    test_clear(globals.get());
  }
  return failures;
}
