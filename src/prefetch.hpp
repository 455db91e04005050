// The prefetch level's loops over its objects, natively, in the order and
// with the calls of quorvel_core.prefetch's loops they stand in for: each
// object's key as Django's key function would give it, the related objects
// grouped by key, their reverse caches, and each instance's QuerySet.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// filter_keys(instances, pk_attname, attname, /): what a level's `field__in`
// filter reads of each instance, `obj.__dict__[attname]`, for instances whose
// primary key and that value (where not None) are loaded ints, strs or UUIDs;
// None where one is not, for the filter to read the instances themselves.
PyObject* filter_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// level_keys(objs, attname, cls, int_keys, key_of, /): `[key_of(obj) for obj
// in objs]`, where the one-item tuple of `obj.__dict__[attname]` stands in
// for an obj of exactly `cls` holding that attribute (an int only, with
// `int_keys`); `attname` None calls `key_of` for every obj. Every __dict__ is
// read before `key_of` is first called.
PyObject* level_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// related_by_key(objs, keys, /): the dict that `d.setdefault(key, []).append(obj)`
// fills for each obj and its key, in turn.
PyObject* related_by_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// configure_prefetch(*, manager_class, queryset_class, default_db, features_of,
// django_filter, django_chain, missing): Django's BaseManager, QuerySet and
// DEFAULT_DB_ALIAS, the companion's `features_of(db)` (whether that database
// reads empty strings as NULL), its `django_deferred_filter` and
// `django_chained`, and the sentinel its loops use for a missing value; the
// first call holds for the process.
PyObject* configure_prefetch(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// reverse_level(instances, keys, related_by_key, cache_name, queryset, field,
// attname, pk_attname, remote_cache_name, model, features, slow, in_place, /)
// and many_level(instances, keys, related_by_key, cache_name, queryset,
// core_attname, pk_attname, core_filter, prefetch_cache_name, model, slow,
// in_place, /): the end of a prefetch level over a reverse foreign key or a
// many-to-many relation: for each instance and its key, the QuerySet its
// related manager gives (`_apply_rel_filters(queryset)` of the Prefetch's
// queryset, or `get_queryset()` for None), holding the related objects of
// that key, into the instance's `_prefetched_objects_cache[cache_name]`.
// `slow(obj)` answers for an instance whose manager Django's own code must
// make (unsaved, or its key not loaded); `in_place`, on 6.1, is the
// companion's `_filtered_in_place` (None before). Return None.
PyObject* reverse_level(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
PyObject* many_level(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// cache_reverse(related, attname, cls, cache_name, instances, key_of, /): for
// each related object whose `_state.fields_cache` has no `cache_name`, stores
// `instances[key]` there, its key read as level_keys reads it (`key_of` called
// only where the cache is missing). Returns None.
PyObject* cache_reverse(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace qc
