// The QuerySet a prefetched instance keeps, natively: quorvel_core.queryset_chain's
// deferred filter() and _chain(), which write out Django's QuerySet.filter(),
// _filter_or_exclude(), _chain(), _clone(), __init__(), Query.chain(),
// Query.clone() and WhereNode.clone() for a plain queryset. The companion
// decides that Django's methods are in place (parts_as_found()); each call
// here decides whether the queryset is plain, and answers None where it is
// not, for the companion to run Django's own method.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// configure_queryset_chain(*, queryset, query, where_node, node, fetch_modes):
// Django's QuerySet, Query, WhereNode and tree.Node classes, and whether
// QuerySets have 6.1's _fetch_mode and _cloning_enabled; the first call holds
// for the process.
PyObject* configure_queryset_chain(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

// deferred_filter(queryset, kwargs, sticky, alone, /): the clone that
// `queryset._defer_next_filter = True` then `filter(**kwargs)` (after
// `_next_is_sticky()` with `sticky`) gives, or None.
PyObject* deferred_filter(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// chained(queryset, /): `queryset._chain()`, or None.
PyObject* chained(PyObject* module, PyObject* queryset);

}  // namespace qc
