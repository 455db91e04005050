// Choice fields (quorvel_core/kinds/choice.py): the lookup of a value in a
// ChoiceField's map, which both the representation (value -> label) and the
// validation (input -> choice) make.
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../boundary.hpp"
#include "../object.hpp"
#include "../repr.hpp"
#include "../validate.hpp"

namespace qc {

// `map[value]` with the key DRF builds: an exact str stands for itself, an
// exact int for its str(). `done`: `entry` holds the map's entry, or is empty
// when the map has none; `declined`: the value is neither; `raised`.
Result choice_lookup(PyObject* map, PyObject* value, Object& entry);

// The schema's keys of a choice "repr" and "val" dict. False with an error set.
bool read_choice(PyObject* dict, Repr::Choice& c);
bool read_choice(PyObject* dict, Val::Choice& c);

// The label of a choice value; values the map does not know stand for
// themselves.
static inline Object repr_choice(const Repr::Choice& c, const Live& field, PyObject* value) {
  if (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0) return Object::borrow(value);
  Object label;
  switch (choice_lookup(c.map.get(), value, label)) {
    case Result::done:
      return label ? label : Object::borrow(value);
    case Result::declined:
      return field_repr(field, value);
    case Result::raised:
      break;
  }
  return Object();
}

static inline Val::Verdict validate_choice(const Val::Choice& c, PyObject* value, Object& out) {
  if (c.allow_blank && PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) == 0)
    return accept(out, Object::borrow(value));
  switch (choice_lookup(c.map.get(), value, out)) {
    case Result::done:
      return out ? Val::Verdict::accepted : Val::Verdict::declined;
    case Result::declined:
      return Val::Verdict::declined;
    case Result::raised:
      break;
  }
  return Val::Verdict::raised;
}

}  // namespace qc
