// The module's process-wide table: every interned attribute name and every
// cached class or object it looks up, each made once, on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "once_slot.hpp"

// The attribute names the module reads, calls or sets, each listed once as
// (accessor, text). An accessor is the text without its underscores at either
// end; a dunder name takes the prefix `dunder_`, and `int_` keeps clear of the
// keyword.
#define QC_ATTRIBUTE_NAMES(X)                                          \
  X(dunder_class, "__class__")                                         \
  X(dunder_dict, "__dict__")                                           \
  X(dunder_mro, "__mro__")                                             \
  X(dunder_name, "__name__")                                           \
  X(dunder_new, "__new__")                                             \
  X(add_hints, "_add_hints")                                           \
  X(adding, "adding")                                                  \
  X(alias_map, "alias_map")                                            \
  X(alias_refcount, "alias_refcount")                                  \
  X(all, "all")                                                        \
  X(annotation_select_cache, "_annotation_select_cache")               \
  X(annotation_select_mask, "annotation_select_mask")                  \
  X(annotations, "annotations")                                        \
  X(append, "append")                                                  \
  X(astimezone, "astimezone")                                          \
  X(base_table, "base_table")                                          \
  X(child, "child")                                                    \
  X(children, "children")                                              \
  X(clone, "clone")                                                    \
  X(cloning_enabled, "_cloning_enabled")                               \
  X(combinator, "combinator")                                          \
  X(combined_queries, "combined_queries")                              \
  X(connector, "connector")                                            \
  X(copy, "copy")                                                      \
  X(creation_counter, "creation_counter")                              \
  X(data, "data")                                                      \
  X(date, "date")                                                      \
  X(datetime, "datetime")                                              \
  X(db, "db")                                                          \
  X(db_, "_db")                                                        \
  X(default_, "default")                                               \
  X(defer_next_filter, "_defer_next_filter")                           \
  X(deferred_filter, "_deferred_filter")                               \
  X(external_aliases, "external_aliases")                              \
  X(extra, "extra")                                                    \
  X(extra_select_cache, "_extra_select_cache")                         \
  X(extra_select_mask, "extra_select_mask")                            \
  X(fetch_mode, "fetch_mode")                                          \
  X(fetch_mode_, "_fetch_mode")                                        \
  X(fields, "fields")                                                  \
  X(fields_, "_fields")                                                \
  X(fields_cache, "fields_cache")                                      \
  X(filter_is_sticky, "filter_is_sticky")                              \
  X(filtered_relations, "_filtered_relations")                         \
  X(for_write, "_for_write")                                           \
  X(fromisoformat, "fromisoformat")                                    \
  X(get, "get")                                                        \
  X(get_attribute, "get_attribute")                                    \
  X(high_mark, "high_mark")                                            \
  X(hints, "hints")                                                    \
  X(hints_, "_hints")                                                  \
  X(instance, "instance")                                              \
  X(int_, "int")                                                       \
  X(is_cached, "is_cached")                                            \
  X(is_safe, "is_safe")                                                \
  X(isoformat, "isoformat")                                            \
  X(items, "items")                                                    \
  X(iterable_class, "_iterable_class")                                 \
  X(key, "key")                                                        \
  X(known_related_objects, "_known_related_objects")                   \
  X(low_mark, "low_mark")                                              \
  X(model, "model")                                                    \
  X(name, "name")                                                      \
  X(negated, "negated")                                                \
  X(none, "none")                                                      \
  X(parent, "parent")                                                  \
  X(partial, "partial")                                                \
  X(peers, "peers")                                                    \
  X(pk, "pk")                                                          \
  X(populate, "populate")                                              \
  X(prefetch_done, "_prefetch_done")                                   \
  X(prefetch_related_lookups, "_prefetch_related_lookups")             \
  X(prefetched_objects_cache, "_prefetched_objects_cache")             \
  X(quantize, "quantize")                                              \
  X(query_, "_query")                                                  \
  X(receivers, "receivers")                                            \
  X(result_cache, "_result_cache")                                     \
  X(root, "root")                                                      \
  X(select_related, "select_related")                                  \
  X(sender_receivers_cache, "sender_receivers_cache")                  \
  X(setup_query, "_setup_query")                                       \
  X(state, "_state")                                                   \
  X(sticky_filter, "_sticky_filter")                                   \
  X(subq_aliases, "subq_aliases")                                      \
  X(table_map, "table_map")                                            \
  X(to_representation, "to_representation")                            \
  X(update, "update")                                                  \
  X(used_aliases, "used_aliases")                                      \
  X(using_, "using")                                                   \
  X(utcoffset, "utcoffset")                                            \
  X(where, "where")

namespace qc {

// ---------------------------------------------------------------------------
// Interned attribute names: `names::pk()` is the interned str "pk" (borrowed,
// kept for the life of the process; nullptr with an error set).

namespace module_state {

enum class NameId : uint8_t {
#define QC_NAME_ID(accessor, text) accessor,
  QC_ATTRIBUTE_NAMES(QC_NAME_ID)
#undef QC_NAME_ID
      count
};

extern OnceSlot NAMES[size_t(NameId::count)];

// Interns the name on first use; out of line, so that each accessor stays a
// single load once the name exists.
PyObject* intern_name(NameId id);

inline PyObject* name(NameId id) {
  if (PyObject* p = NAMES[size_t(id)].peek()) return p;
  return intern_name(id);
}

}  // namespace module_state

namespace names {
#define QC_NAME_ACCESSOR(accessor, text) \
  inline PyObject* accessor() { return module_state::name(module_state::NameId::accessor); }
QC_ATTRIBUTE_NAMES(QC_NAME_ACCESSOR)
#undef QC_NAME_ACCESSOR
}  // namespace names

// ---------------------------------------------------------------------------
// Cached standard-library classes and objects (borrowed; nullptr with an
// error set).

// The datetime module's classes, read from its C API capsule. Exact-type tests
// compare against these.
struct DateTypes {
  PyTypeObject* date;
  PyTypeObject* datetime;
  PyTypeObject* time;
  PyTypeObject* delta;
  PyTypeObject* timezone;  // datetime.timezone
  PyObject* utc;           // datetime.timezone.utc
  // The capsule's datetime constructor: (year, month, day, hour, minute,
  // second, microsecond, tzinfo, fold, type), a new reference. Kept here so
  // that no file reads datetime.h's own per-file API pointer, which every
  // thread would set unsynchronized on first use.
  PyObject* (*new_datetime)(int, int, int, int, int, int, int, PyObject*, int, PyTypeObject*);
  PyObject* (*new_date)(int, int, int, PyTypeObject*);  // (year, month, day, type)
};
const DateTypes* date_types();

PyObject* empty_tuple();  // () for calls with no positional arguments
PyObject* datetime_module();
// timezone.utcoffset itself: the class is immutable and its instances have no
// __dict__, so this is what tz.utcoffset(dt) calls.
PyObject* timezone_utcoffset();
PyObject* zoneinfo_type();
PyObject* decimal_type();
PyObject* uuid_type();
PyObject* safe_uuid_unknown();  // uuid.SafeUUID.unknown
PyObject* mapping_type();       // collections.abc.Mapping
// BaseException.add_note itself, so an exception class that overrides it
// cannot change how notes are attached.
PyObject* base_exception_add_note();

// Negative cache of types known not to be mappings (bounded, oldest out).
namespace non_mapping_types {
inline constexpr size_t CAPACITY = 32;
bool contains(PyTypeObject* type);
void add(PyTypeObject* type);
}  // namespace non_mapping_types

}  // namespace qc
