// Nested serializers (quorvel_core/kinds/nested.py), over one object or, with
// many=True, over a list of them: their representation and validation, which
// run the nested CompiledSerializer's own loops (src/compiled_serializer).
//
// The `static inline` functions are cases of the dispatch switches in
// src/repr.cpp and src/validate.cpp: with internal linkage the compiler
// inlines each into its one caller there, as it would a function of that file.
#pragma once

#include "../config.hpp"
#include "../module_state.hpp"
#include "../repr.hpp"
#include "../compiled_serializer.hpp"
#include "../validate.hpp"

namespace qc {

// The schema's keys of a nested "repr" and "val" dict; they set the tag too
// (nested or nested_many). False with an error set.
bool parse_nested(PyObject* dict, Repr& out);
bool parse_nested(PyObject* dict, Val& out);

// A nested serializer over one object, or over every object of a related
// manager (through all()) or any other iterable. The nested serializer is the
// field itself, or the child of the list serializer that the field is.
static inline Object repr_nested(const Repr& repr, const ReprContext& context, const Live& field,
                          PyObject* value) {
  Object serializer = repr.as<Repr::Nested>().serializer;
  if (repr.tag == Repr::Kind::nested) return repr_one(serializer.get(), context, value, field);
  Live child = Live::child(field);
  int is_manager = PyObject_IsInstance(value, context.config.manager_class.get());
  if (is_manager < 0) return Object();
  if (!is_manager) return repr_many(serializer.get(), context, value, child);
  Object all = call_method(value, names::all());
  return all ? repr_many(serializer.get(), context, all.get(), child) : Object();
}

// One nested serializer's loop over one exact dict. Its field errors, and
// failures further in, abandon the payload's native loops up to the
// outermost one, recording this dict on the way (see nested_failures.hpp).
// `live` is the DRF serializer that the loop stands in for.
Val::Verdict validate_nested(PyObject* serializer, PyObject* value, PyObject* current_tz,
                             const Live& live, Object& out);

static inline Val::Verdict validate_nested_many(const Val::NestedMany& m, PyObject* value,
                                         PyObject* current_tz, const Live& field, Object& out) {
  if (!is_list_of(value, m.lengths)) return Val::Verdict::declined;
  Live child = Live::child(field);
  return collect_items(value, out, [&](PyObject* item, Object& internal) {
    return validate_nested(m.serializer.get(), item, current_tz, child, internal);
  });
}

}  // namespace qc
