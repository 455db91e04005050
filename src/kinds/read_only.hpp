// Read-only fields (quorvel_core/kinds/read_only.py): the representation of
// a SerializerMethodField (its method) and of a ModelField (the model
// attribute). A ReadOnlyField's value is represented as it is
// ("passthrough", in src/repr.cpp's table).
//
// The `static inline` functions are cases of the dispatch switch in
// src/repr.cpp: with internal linkage the compiler inlines each into its one
// caller there, as it would a function of that file.
#pragma once

#include "../live.hpp"
#include "../module_state.hpp"
#include "../repr.hpp"

namespace qc {

// The schema's keys of a "method" and a "model_attr" repr dict. False with an
// error set.
bool read_method(PyObject* dict, Repr& out);
bool read_model_attr(PyObject* dict, Repr::ModelAttr& m);

// A SerializerMethodField: its bound method, or the method of that name of
// the serializer the field belongs to, as DRF's field looks it up.
static inline Object repr_method(const Repr::Method& m, const Live& field, PyObject* value) {
  if (m.method) return Object::steal(PyObject_CallOneArg(m.method.get(), value));
  Object owner;
  if (field.parent()) {
    owner = Object::borrow(field.parent()->get());
  } else if (PyObject* f = field.get()) {
    PyObject* name = names::parent();
    owner = Object::steal(name ? PyObject_GetAttr(f, name) : nullptr);
  }
  if (!owner) return Object();
  return Object::steal(PyObject_CallMethodOneArg(owner.get(), m.name.get(), value));
}

// DRF's ModelField writes numbers and None as they are and asks the model
// field for everything else.
static inline Object repr_model_attr(const Repr::ModelAttr& m, const Live& field,
                                     PyObject* value) {
  Object attr = Object::steal(PyObject_GetAttr(value, m.attname.get()));
  if (!attr) return Object();
  if (attr.get() == Py_None || PyLong_Check(attr.get()) || PyFloat_Check(attr.get())) return attr;
  return field_repr(field, value);
}

}  // namespace qc
