// The _quorvel_core module: definition, exec step and exported callables.
#include "allocation.hpp"
#include "boundary.hpp"
#include "class_changes.hpp"
#include "config.hpp"
#include "json_encode.hpp"
#include "json_decode.hpp"
#include "row_converters.hpp"
#include "prefetch.hpp"
#include "queryset_chain.hpp"
#include "rows.hpp"
#include "compiled_serializer.hpp"

namespace qc {
namespace {

PyMethodDef FUNCTIONS[] = {
    {"configure", guarded_method<configure>(), METH_FASTCALL | METH_KEYWORDS,
     "configure(*, empty, skip_field, object_does_not_exist, pk_only_object, manager_class, "
     "dict_factory, resolve_callable, run_field, finish_field, source_failed=None)\n--\n\n"},
    {"is_configured", guarded_method<is_configured>(), METH_NOARGS, "is_configured()\n--\n\n"},
    {"to_json", guarded_method<to_json>(), METH_FASTCALL | METH_KEYWORDS,
     "to_json(obj, *, ensure_ascii=True, compact=True, allow_nan=False, default=None)\n--\n\n"
     "`json.dumps(obj, cls=rest_framework.utils.encoders.JSONEncoder, ...)` followed by DRF's\n"
     "`\u2028` / `\u2029` escaping, encoded as UTF-8. `default` is called for objects the "
     "encoder\ndoes not know natively (like `JSONEncoder.default`)."},
    {"from_json", guarded_method<from_json>(), METH_FASTCALL | METH_KEYWORDS,
     "from_json(data, *, allow_nan=False)\n--\n\n"
     "`json.loads(data)`. Raises `ValueError` on invalid input; callers that need the exact "
     "message\nof the `json` module re-parse with it."},
    {"_parse_body", guarded_method<parse_body>(), METH_FASTCALL,
     "_parse_body(body, allow_nan, /)\n--\n\n"
     "For quorvel_core.parsers: `from_json` of a bytes body, checked as UTF-8 first."},
    {"watch", guarded_method<watch>(), METH_O,
     "watch(objects, /)\n--\n\n"
     "Watches each dict of the tuple, and the own `__dict__` of every class in the MRO of each\n"
     "class of it: `changes()` then counts their changes."},
    {"changes", guarded_method<changes>(), METH_NOARGS,
     "changes()\n--\n\n"
     "How many times a watched dict has changed (the instance counters `_creation_counter` of DRF's\n"
     "fields and `creation_counter` of Django's fields and managers aside)."},
    {"configure_rows", guarded_method<configure_rows>(), METH_FASTCALL | METH_KEYWORDS,
     "configure_rows(*, pre_init, post_init, no_receivers, deferred, model_state, weak_key_dict,\n"
     "               plain_fields_cache)\n--\n\n"
     "Gives the native row loop Django's init signals, `NO_RECEIVERS`, `DEFERRED`, `ModelState`\n"
     "and `weakref.WeakKeyDictionary`, and whether `ModelState.fields_cache` is Django's own\n"
     "descriptor; the first call holds for the process."},
    {"cursor_converter", guarded_method<cursor_converter>(), METH_FASTCALL,
     "cursor_converter(with_time, django_converter, /)\n--\n\n"
     "A native stand-in for the sqlite3 converter Django registers for dates (`with_time`\n"
     "False) or datetimes: `parse(raw.decode())`, Django's converter called for what\n"
     "`fromisoformat` refuses."},
    {"configure_queryset_chain", guarded_method<configure_queryset_chain>(),
     METH_FASTCALL | METH_KEYWORDS,
     "configure_queryset_chain(*, queryset, query, where_node, node, fetch_modes)\n--\n\n"
     "Gives the written-out QuerySet clone Django's QuerySet, Query, WhereNode and tree.Node, and\n"
     "whether QuerySets have Django 6.1's fetch mode; the first call holds for the process."},
    {"deferred_filter", guarded_method<deferred_filter>(), METH_FASTCALL,
     "deferred_filter(queryset, kwargs, sticky, alone, /)\n--\n\n"
     "For quorvel_core.queryset_chain: the QuerySet that `filter(**kwargs)` of `queryset` with\n"
     "the filter deferred gives, written out for a plain queryset; None where it is not plain."},
    {"chained", guarded_method<chained>(), METH_O,
     "chained(queryset, /)\n--\n\n"
     "For quorvel_core.queryset_chain: `queryset._chain()` written out for a plain queryset;\n"
     "None where it is not plain."},
    {"configure_prefetch", guarded_method<configure_prefetch>(), METH_FASTCALL | METH_KEYWORDS,
     "configure_prefetch(*, manager_class, queryset_class, default_db, features_of,\n"
     "                   django_filter, django_chain, missing)\n--\n\n"
     "Gives the native prefetch loops Django's BaseManager, QuerySet and DEFAULT_DB_ALIAS, the\n"
     "companion's empty-string rule per database, its deferred filter and 6.1's chain as\n"
     "Django runs them, and its sentinel; the first call holds for the process."},
    {"reverse_level", guarded_method<reverse_level>(), METH_FASTCALL,
     "reverse_level(instances, keys, related_by_key, cache_name, queryset, field, attname,\n"
     "              pk_attname, remote_cache_name, model, features, slow, in_place, /)\n"
     "--\n\n"
     "For quorvel_core.prefetch: each instance's QuerySet of a reverse foreign key's level,\n"
     "holding its related objects, into its `_prefetched_objects_cache`."},
    {"many_level", guarded_method<many_level>(), METH_FASTCALL,
     "many_level(instances, keys, related_by_key, cache_name, queryset, core_attname,\n"
     "           pk_attname, core_filter, prefetch_cache_name, model, slow, in_place, /)\n"
     "--\n\n"
     "For quorvel_core.prefetch: each instance's QuerySet of a many-to-many level, holding its\n"
     "related objects, into its `_prefetched_objects_cache`."},
    {"related_by_key", guarded_method<related_by_key>(), METH_FASTCALL,
     "related_by_key(objs, keys, /)\n--\n\n"
     "For quorvel_core.prefetch: the dict of the objs of each key, in turn, as\n"
     "`d.setdefault(key, []).append(obj)` fills it."},
    {"filter_keys", guarded_method<filter_keys>(), METH_FASTCALL,
     "filter_keys(instances, pk_attname, attname, /)\n--\n\n"
     "For quorvel_core.prefetch: each instance's loaded `attname` for the level's `__in` filter,\n"
     "or None where an instance's key or that value is not a loaded int, str or UUID."},
    {"level_keys", guarded_method<level_keys>(), METH_FASTCALL,
     "level_keys(objs, attname, cls, int_keys, key_of, /)\n--\n\n"
     "For quorvel_core.prefetch: `[key_of(obj) for obj in objs]`, the one-item tuple of the value\n"
     "loaded under `attname` standing in for it in the `__dict__` of an obj of exactly `cls` (an\n"
     "int only, with `int_keys`)."},
    {"cache_reverse", guarded_method<cache_reverse>(), METH_FASTCALL,
     "cache_reverse(related, attname, cls, cache_name, instances, key_of, /)\n--\n\n"
     "For quorvel_core.prefetch: `instances[key]` into each related object's\n"
     "`_state.fields_cache[cache_name]` that is not set, its key read as `level_keys` reads it."},
    {"_fail_allocations", guarded_method<fail_allocations>(), METH_O,
     "_fail_allocations(after, /)\n--\n\n"
     "For tests: the module's C++ allocations after the next `after` fail (negative: none).\n"
     "Returns the number of C++ allocations made since the previous call."},
    {nullptr, nullptr, 0, nullptr},
};

// The release, read by the companion package as quorvel_core.__version__.
// The build passes it from pyproject.toml, where it is written once.
#ifndef QC_VERSION
#error "QC_VERSION is not defined: build with make or setup.py, which read pyproject.toml"
#endif
constexpr const char* VERSION = QC_VERSION;

// Publishes a hook status under `name`; false with an error set.
bool add_status(PyObject* module, const char* name, HookStatus status) {
  return PyModule_AddIntConstant(module, name, long(status)) == 0;
}

// Adds a borrowed object under `name`; false with an error set.
bool add_ref(PyObject* module, const char* name, PyObject* value) {
  return value && PyModule_AddObjectRef(module, name, value) == 0;
}

// The module's configuration, classes and cached objects are process-wide and
// belong to the main interpreter: a second interpreter must not reach them.
// The slot below makes isolated interpreters refuse the import; this check
// also refuses it in legacy ones, which CPython lets load any extension.
bool in_main_interpreter() {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
  PyErr_SetString(PyExc_ImportError,
                  "module quorvel_core._quorvel_core does not support loading in subinterpreters");
  return false;
}

int exec_module(PyObject* module) {
  if (!in_main_interpreter()) return -1;
  if (!PyModule_Check(module)) return type_mismatch(module, "module"), -1;
  bool ok = PyModule_AddStringConstant(module, "__version__", VERSION) == 0 &&
            add_status(module, "STATUS_OK", HookStatus::ok) &&
            add_status(module, "STATUS_SKIP", HookStatus::skip) &&
            add_status(module, "STATUS_ERROR", HookStatus::error) &&
            add_ref(module, "CompiledSerializer", compiled_serializer_type()) &&
            add_ref(module, "JsonFallback", json_fallback_type()) &&
            add_ref(module, "ModelRows", model_rows_type()) &&
            PyModule_AddFunctions(module, FUNCTIONS) == 0;
  return ok ? 0 : -1;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, (void*)guarded<exec_module>},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_quorvel_core",
    "",
    0,
    nullptr,
    SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace qc

PyMODINIT_FUNC PyInit__quorvel_core(void) { return PyModuleDef_Init(&qc::MODULE); }
