// Related fields (quorvel_core/kinds/relations.py): the representation of a
// ManyRelatedField over a PrimaryKeyRelatedField, the related objects' keys.
// A single key is represented as it is ("pk", in src/repr.cpp's table); how
// the value is reached is src/access's.
//
// The `static inline` functions are cases of the dispatch switch in
// src/repr.cpp: with internal linkage the compiler inlines each into its one
// caller there, as it would a function of that file.
#pragma once

#include "../lists.hpp"
#include "../module_state.hpp"
#include "../object.hpp"

namespace qc {

// [item.pk for item in value].
static inline Object repr_pk_many(PyObject* value) {
  PyObject* pk = names::pk();
  if (!pk) return Object();
  return map_to_list(value, [pk](PyObject* item) { return Object::steal(PyObject_GetAttr(item, pk)); });
}

}  // namespace qc
