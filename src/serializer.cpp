#include "serializer.hpp"

#include "config.hpp"

#include <new>

namespace qc {

struct Plans {
  // Filled in by the schema compiler.
  int visit(visitproc, void*) const { return 0; }
};

namespace {

constexpr Param NEW_PARAMS[] = {{"read_fields", true, false}, {"write_fields", true, false}};
constexpr Signature NEW_SIG{"CompiledSerializer.__new__()", NEW_PARAMS};

PyObject* serializer_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!bind_tuple_args(NEW_SIG, args, kwargs, a)) return nullptr;
  for (int i = 0; i < 2; ++i) {
    if (!PyList_Check(a[i])) {
      type_mismatch(a[i], "list");
      prefix_argument_error(NEW_PARAMS[i].name);
      return nullptr;
    }
  }
  PyErr_SetString(PyExc_NotImplementedError, "schema compilation is not available yet");
  return nullptr;
}

int serializer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* s = (CompiledSerializerObject*)self;
  return s->plans ? s->plans->visit(visit, arg) : 0;
}

int serializer_clear(PyObject* self) {
  auto* s = (CompiledSerializerObject*)self;
  delete std::exchange(s->plans, nullptr);
  return 0;
}

void serializer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  serializer_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The three loop entry points share their signature shape.
constexpr Param REPR_PARAMS[] = {{"instance", true, false}, {"current_tz", false, false}};
constexpr Param REPR_MANY_PARAMS[] = {{"iterable", true, false}, {"current_tz", false, false}};
constexpr Param VALIDATE_PARAMS[] = {{"data", true, false}, {"current_tz", false, false}};
constexpr Signature REPR_SIG{"CompiledSerializer.to_representation()", REPR_PARAMS};
constexpr Signature REPR_MANY_SIG{"CompiledSerializer.to_representation_many()",
                                  REPR_MANY_PARAMS};
constexpr Signature VALIDATE_SIG{"CompiledSerializer.to_internal_value()", VALIDATE_PARAMS};

PyObject* loop_not_built(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyObject* a[2];
  if (!bind_args(sig, args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
  if (!get_config()) return nullptr;
  PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", sig.display);
  return nullptr;
}

PyObject* to_representation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return loop_not_built(REPR_SIG, args, nargs, kwnames);
}

PyObject* to_representation_many(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return loop_not_built(REPR_MANY_SIG, args, nargs, kwnames);
}

PyObject* to_internal_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return loop_not_built(VALIDATE_SIG, args, nargs, kwnames);
}

PyObject* describe(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "describe() is not available yet");
  return nullptr;
}

PyMethodDef METHODS[] = {
    {"to_representation", (PyCFunction)(void (*)(void))to_representation,
     METH_FASTCALL | METH_KEYWORDS,
     "to_representation($self, instance, current_tz=None)\n--\n\n"
     "`Serializer.to_representation(instance)`."},
    {"to_representation_many", (PyCFunction)(void (*)(void))to_representation_many,
     METH_FASTCALL | METH_KEYWORDS,
     "to_representation_many($self, iterable, current_tz=None)\n--\n\n"
     "`[Serializer.to_representation(item) for item in iterable]`."},
    {"to_internal_value", (PyCFunction)(void (*)(void))to_internal_value,
     METH_FASTCALL | METH_KEYWORDS,
     "to_internal_value($self, data, current_tz=None)\n--\n\n"
     "The field loop of `Serializer.to_internal_value(data)` for a plain `dict`.\n"
     "Returns `(validated, errors)`; `errors` is `None` when everything validated."},
    {"describe", describe, METH_NOARGS,
     "describe($self)\n--\n\n"
     "Which strategy each field got: `{'read': {name: (get, repr)}, "
     "'write': {name: (val, python_validators)}}`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, (void*)"CompiledSerializer(read_fields, write_fields)\n--\n\n"
                       "A DRF serializer instance compiled to native code.\n\n"
                       "It holds the live field objects of one serializer instance (fields "
                       "know their `parent`,\n`context` and `root`), so it must be built per "
                       "serializer instance, not per class."},
    {Py_tp_new, (void*)serializer_new},
    {Py_tp_dealloc, (void*)serializer_dealloc},
    {Py_tp_traverse, (void*)serializer_traverse},
    {Py_tp_clear, (void*)serializer_clear},
    {Py_tp_methods, METHODS},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "quorvel_core._quorvel_core.CompiledSerializer",
    sizeof(CompiledSerializerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    SLOTS,
};

OnceSlot TYPE;

}  // namespace

PyObject* compiled_serializer_type() {
  return TYPE.get([] { return PyType_FromSpec(&SPEC); });
}

}  // namespace qc
