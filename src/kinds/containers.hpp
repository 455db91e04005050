// List and dict fields (quorvel_core/kinds/containers.py): their
// representation, item by item through the child's plan, and the validation
// of ListField input. A JSONField's value needs no kind of its own: it is
// represented as it is ("passthrough").
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../compat.hpp"
#include "../guards.hpp"
#include "../lists.hpp"
#include "../module_state.hpp"
#include "../repr.hpp"
#include "../validate.hpp"

namespace qc {

// The schema's keys of a list or dict "repr" dict and of a "list" validator
// dict, the child's plan included. False with an error set.
bool read_container(PyObject* dict, Repr::Container& c);
bool read_list(PyObject* dict, Val::List& l);

// ---------------------------------------------------------------------------
// Representations.

inline constexpr const char* TUPLE_LENGTH =
    "expected tuple of length %d, but got tuple of length %zd";

// The child field of a list or dict field: the plan's, or the field's own.
inline Live child_field(const Repr::Container& c, const Live& field) {
  return c.child_field ? Live::given(c.child_field.get()) : Live::child(field);
}

// A child value: None stays None, anything else goes through the child plan.
inline Object repr_child(const Repr::Container& c, const ReprContext& context, const Live& child,
                         PyObject* item) {
  if (item == Py_None) return Object::borrow(Py_None);
  return Repr::to_repr(*c.child, context, child, item);
}

static inline Object repr_list(const Repr::Container& c, const ReprContext& context,
                               const Live& field, PyObject* value) {
  Live child = child_field(c, field);
  return map_to_list(value, [&](PyObject* item) { return repr_child(c, context, child, item); });
}

// {str(key): child representation} over value.items(). Pairs that are not
// exact tuples (a custom items()) go to the field, which unpacks any pair.
static inline Object repr_dict(const Repr::Container& c, const ReprContext& context,
                               const Live& field, PyObject* value) {
  Live child = child_field(c, field);
  Object out = Object::steal(PyDict_New());
  Object items = out ? call_method(value, names::items()) : Object();
  Object it = Object::steal(items ? PyObject_GetIter(items.get()) : nullptr);
  if (!it) return Object();
  PyObject* raw = nullptr;
  int next;
  while ((next = compat::iter_next_item(it.get(), &raw)) > 0) {
    Object pair = Object::steal(raw);
    if (!PyTuple_CheckExact(pair.get())) return field_repr(field, value);
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_ValueError, TUPLE_LENGTH, 2, PyTuple_GET_SIZE(pair.get()));
      return Object();
    }
    Object key = Object::steal(PyObject_Str(PyTuple_GET_ITEM(pair.get(), 0)));
    if (!key) return Object();
    Object rep = repr_child(c, context, child, PyTuple_GET_ITEM(pair.get(), 1));
    if (!rep || PyDict_SetItem(out.get(), key.get(), rep.get()) < 0) return Object();
  }
  return next < 0 ? Object() : out;
}

// ---------------------------------------------------------------------------
// Validation.

static inline Val::Verdict validate_list(const Val::List& l, PyObject* value,
                                         PyObject* current_tz, const Live& field, Object& out) {
  using Verdict = Val::Verdict;
  if (!is_list_of(value, l.lengths)) return Verdict::declined;
  RecursionGuard guard(" while validating a list");
  if (!guard.entered()) return Verdict::raised;
  Live child = Live::child(field);
  return collect_items(value, out, [&](PyObject* item, Object& internal) {
    if (item != Py_None) return Val::validate(*l.child, item, current_tz, child, internal);
    if (!l.child_allow_null) return Verdict::declined;
    internal = Object::borrow(Py_None);
    return Verdict::accepted;
  });
}

}  // namespace qc
