#include "prefetch.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "process_config.hpp"
#include "queryset_chain.hpp"

#include <memory>
#include <vector>

// A page of 100 orders with their line items reads about 500 keys and fills
// 300 reverse caches per request; as Python loops these were 3% of the
// queryset's time.

namespace qc {
namespace {

struct PrefetchConfig {
  Object manager_class, default_db, features_of, django_filter, missing;
  Object instance_kwnames;  // ("instance",)
};

ProcessConfig<PrefetchConfig> PREFETCH_CONFIG{"configure_prefetch() has not been called"};

// `seq[i]`, or empty without an error past its end: a list may shrink while
// a key function runs, and Python's loops stop there.
Object item_at(PyObject* seq, Py_ssize_t i) {
  if (PyList_CheckExact(seq)) {
    if (i >= PyList_GET_SIZE(seq)) return Object();
    return Object::steal(PyList_GetItemRef(seq, i));
  }
  if (i >= PyTuple_GET_SIZE(seq)) return Object();
  return Object::borrow(PyTuple_GET_ITEM(seq, i));
}

// The loaded key of each obj (empty where `key_of` must answer), read from
// each __dict__ as `obj.__dict__.get(attname)` reads it; false with an error
// set.
bool loaded_keys(PyObject* seq, PyObject* attname, PyObject* cls, bool int_keys,
                 std::vector<Object>& keys) {
  Py_ssize_t count = PyList_CheckExact(seq) ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
  keys.reserve((size_t)count);  // may throw bad_alloc: the boundary reports it
  PyObject* dict_name = names::dunder_dict();
  if (!dict_name) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Object obj = item_at(seq, i);
    if (!obj) return !PyErr_Occurred();
    Object key;
    if (attname != Py_None && (PyObject*)Py_TYPE(obj.get()) == cls) {
      Object own = Object::steal(PyObject_GetAttr(obj.get(), dict_name));
      if (!own) return false;
      PyObject* value = nullptr;
      // Another mapping's get() could answer otherwise: its key function does.
      if (PyDict_CheckExact(own.get()) &&
          PyDict_GetItemRef(own.get(), attname, &value) < 0)
        return false;
      Object held = Object::steal(value);
      if (held && (!int_keys || PyLong_CheckExact(held.get()))) {
        key = Object::steal(PyTuple_Pack(1, held.get()));
        if (!key) return false;
      }
    }
    keys.push_back(std::move(key));
  }
  return true;
}

// The list, or tuple, that `objs` iterates as: a sequence may be given.
Object as_sequence(PyObject* objs) {
  return Object::steal(PySequence_Fast(objs, "the objects of a prefetch level"));
}

Object key_at(std::vector<Object>& keys, size_t i, PyObject* key_of, PyObject* obj) {
  if (keys[i]) return std::move(keys[i]);
  return Object::steal(PyObject_CallOneArg(key_of, obj));
}

// `obj.name = value`; false with an error set.
bool store(PyObject* obj, PyObject* name, PyObject* value) {
  return name && value && PyObject_SetAttr(obj, name, value) == 0;
}

// `BaseManager.creation_counter += 1`, as each related manager's __init__ counts.
bool count_manager(const PrefetchConfig& config) {
  PyObject* name = names::creation_counter();
  Object count = Object::steal(name ? PyObject_GetAttr(config.manager_class.get(), name) : nullptr);
  Object one = Object::steal(count ? PyLong_FromLong(1) : nullptr);
  Object next = Object::steal(one ? PyNumber_InPlaceAdd(count.get(), one.get()) : nullptr);
  return store(config.manager_class.get(), name, next.get());
}

// `features.get(db)`, or `features[db] = features_of(db)` where that is None.
Object empty_strings_as_null(const PrefetchConfig& config, PyObject* features, PyObject* db) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(features, db, &found) < 0) return Object();
  Object value = Object::steal(found);
  if (value && value.get() != Py_None) return value;
  value = Object::steal(PyObject_CallOneArg(config.features_of.get(), db));
  if (!value || PyObject_SetItem(features, db, value.get()) < 0) return Object();
  return value;
}

// `obj.__dict__.get(attname, MISSING)`, then `getattr(obj, attname)` where missing.
Object loaded_value(const PrefetchConfig& config, PyObject* obj, PyObject* attname) {
  Object own = Object::steal(PyObject_GetAttr(obj, names::dunder_dict()));
  if (!own) return Object();
  Object value;
  if (PyDict_CheckExact(own.get())) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(own.get(), attname, &found) < 0) return Object();
    value = found ? Object::steal(found) : Object::borrow(config.missing.get());
  } else {
    PyObject* get = names::get();
    value = Object::steal(get ? PyObject_CallMethodObjArgs(own.get(), get, attname,
                                                           config.missing.get(), nullptr)
                              : nullptr);
    if (!value) return Object();
  }
  if (value.get() != config.missing.get()) return value;
  return Object::steal(PyObject_GetAttr(obj, attname));
}

// `queryset.filter(**{field.name: obj})` with the filter deferred: the
// written-out clone, or Django's own where it declines.
Object filtered(const PrefetchConfig& config, PyObject* queryset, PyObject* field, PyObject* obj) {
  PyObject* name_attr = names::name();
  Object name = Object::steal(name_attr ? PyObject_GetAttr(field, name_attr) : nullptr);
  Object kwargs = Object::steal(name ? PyDict_New() : nullptr);
  if (!kwargs || PyDict_SetItem(kwargs.get(), name.get(), obj) < 0) return Object();
  PyObject* args[] = {queryset, kwargs.get(), Py_False, Py_False};
  Object clone = Object::steal(deferred_filter(nullptr, args, 4));
  if (!clone || clone.get() != Py_None) return clone;
  return Object::steal(PyObject_Vectorcall(config.django_filter.get(), args, 3, nullptr));
}

// What `getattr(obj, to_attr)._apply_rel_filters(queryset)` gives for a
// related manager with no database of its own and new hints, 5.2 and 6.0:
// the manager counted, its database's empty-string rule read, the hints
// given, the filter deferred, then none() for a missing key or the instance
// as the known related object of its key.
Object instance_queryset(const PrefetchConfig& config, PyObject* obj, PyObject* queryset,
                         PyObject* field, PyObject* attname, PyObject* features) {
  if (!count_manager(config)) return Object();
  PyObject *state_name = names::state(), *db_name = names::db();
  Object state = Object::steal(state_name ? PyObject_GetAttr(obj, state_name) : nullptr);
  Object db = Object::steal(state && db_name ? PyObject_GetAttr(state.get(), db_name) : nullptr);
  int truth = db ? PyObject_IsTrue(db.get()) : -1;
  if (truth < 0) return Object();
  if (!truth) db = config.default_db;
  Object as_null = empty_strings_as_null(config, features, db.get());
  PyObject* add_hints = names::add_hints();
  if (!as_null || !add_hints) return Object();
  PyObject* hint_args[] = {queryset, obj};
  Object hinted = Object::steal(PyObject_VectorcallMethod(
      add_hints, hint_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, config.instance_kwnames.get()));
  Object clone = hinted ? filtered(config, queryset, field, obj) : Object();
  Object value = clone ? loaded_value(config, obj, attname) : Object();
  if (!value) return Object();
  int empty = 0;
  if (value.get() != Py_None) {
    Object blank = Object::steal(PyUnicode_FromStringAndSize("", 0));
    int equal = blank ? PyObject_RichCompareBool(value.get(), blank.get(), Py_EQ) : -1;
    if (equal < 0) return Object();
    empty = equal ? PyObject_IsTrue(as_null.get()) : 0;
    if (empty < 0) return Object();
  }
  if (value.get() == Py_None || empty) {
    PyObject* none = names::none();
    return Object::steal(none ? PyObject_CallMethodNoArgs(clone.get(), none) : nullptr);
  }
  Object by_key = Object::steal(PyDict_New());
  Object known = Object::steal(by_key ? PyDict_New() : nullptr);
  if (!known || PyDict_SetItem(by_key.get(), value.get(), obj) < 0 ||
      PyDict_SetItem(known.get(), field, by_key.get()) < 0 ||
      !store(clone.get(), names::known_related_objects(), known.get()))
    return Object();
  return clone;
}

}  // namespace

constexpr Param CONFIGURE_PREFETCH_PARAMS[] = {
    {"manager_class", true, true}, {"default_db", true, true}, {"features_of", true, true},
    {"django_filter", true, true}, {"missing", true, true}};
constexpr Signature CONFIGURE_PREFETCH_SIG{"configure_prefetch()", CONFIGURE_PREFETCH_PARAMS};

PyObject* configure_prefetch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* a[5];
  if (!bind_args(CONFIGURE_PREFETCH_SIG, args, nargs, kwnames, a) ||
      !arguments_are_types(a, CONFIGURE_PREFETCH_PARAMS, {0}))
    return nullptr;
  PyObject* instance = names::instance();
  Object instance_kwnames = Object::steal(instance ? PyTuple_Pack(1, instance) : nullptr);
  if (!instance_kwnames) return nullptr;
  PREFETCH_CONFIG.set(std::make_unique<const PrefetchConfig>(PrefetchConfig{
      Object::borrow(a[0]), Object::borrow(a[1]), Object::borrow(a[2]), Object::borrow(a[3]),
      Object::borrow(a[4]), std::move(instance_kwnames)}));
  Py_RETURN_NONE;
}

constexpr Param REVERSE_LEVEL_PARAMS[] = {
    {"instances", true, false}, {"keys", true, false},  {"related_by_key", true, false},
    {"queryset", true, false},  {"field", true, false}, {"attname", true, false},
    {"cache_name", true, false}, {"features", true, false}};
constexpr Signature REVERSE_LEVEL_SIG{"reverse_level()", REVERSE_LEVEL_PARAMS};

PyObject* reverse_level(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[8];
  if (!bind_args(REVERSE_LEVEL_SIG, args, nargs, nullptr, a)) return nullptr;
  const PrefetchConfig* config = PREFETCH_CONFIG.get();
  if (!config) return nullptr;
  PyObject *instances = a[0], *keys = a[1], *related_by_key = a[2], *queryset = a[3],
           *field = a[4], *attname = a[5], *cache_name = a[6], *features = a[7];
  if (!PyList_CheckExact(instances) && !PyTuple_CheckExact(instances))
    return type_mismatch(instances, "list");
  if (!PyList_CheckExact(keys)) return type_mismatch(keys, "list");
  if (!PyDict_CheckExact(related_by_key)) return type_mismatch(related_by_key, "dict");
  if (!PyDict_CheckExact(features)) return type_mismatch(features, "dict");
  PyObject *result_cache = names::result_cache(), *prefetch_done = names::prefetch_done(),
           *prefetched = names::prefetched_objects_cache();
  if (!result_cache || !prefetch_done || !prefetched) return nullptr;
  // zip(instances, keys): both read as they are at each step.
  for (Py_ssize_t i = 0;; ++i) {
    Object obj = item_at(instances, i);
    Object key = obj ? item_at(keys, i) : Object();
    if (!key) break;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(related_by_key, key.get(), &found) < 0) return nullptr;
    Object vals = found ? Object::steal(found) : Object::steal(PyList_New(0));
    Object qs = vals ? instance_queryset(*config, obj.get(), queryset, field, attname, features)
                     : Object();
    if (!qs || !store(qs.get(), result_cache, vals.get()) ||
        !store(qs.get(), prefetch_done, Py_True))
      return nullptr;
    Object cache = Object::steal(PyObject_GetAttr(obj.get(), prefetched));
    if (!cache || PyObject_SetItem(cache.get(), cache_name, qs.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

constexpr Param LEVEL_KEYS_PARAMS[] = {{"objs", true, false}, {"attname", true, false},
                                       {"cls", true, false}, {"int_keys", true, false},
                                       {"key_of", true, false}};
constexpr Signature LEVEL_KEYS_SIG{"level_keys()", LEVEL_KEYS_PARAMS};

PyObject* level_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[5];
  if (!bind_args(LEVEL_KEYS_SIG, args, nargs, nullptr, a)) return nullptr;
  int int_keys = PyObject_IsTrue(a[3]);
  Object seq = int_keys < 0 ? Object() : as_sequence(a[0]);
  std::vector<Object> keys;
  if (!seq || !loaded_keys(seq.get(), a[1], a[2], int_keys, keys)) return nullptr;
  Object out = Object::steal(PyList_New(0));
  if (!out) return nullptr;
  for (size_t i = 0; i < keys.size(); ++i) {
    Object obj = item_at(seq.get(), (Py_ssize_t)i);
    if (!obj) break;
    Object key = key_at(keys, i, a[4], obj.get());
    if (!key || PyList_Append(out.get(), key.get()) < 0) return nullptr;
  }
  return out.release();
}

constexpr Param RELATED_BY_KEY_PARAMS[] = {{"objs", true, false}, {"keys", true, false}};
constexpr Signature RELATED_BY_KEY_SIG{"related_by_key()", RELATED_BY_KEY_PARAMS};

PyObject* related_by_key(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[2];
  if (!bind_args(RELATED_BY_KEY_SIG, args, nargs, nullptr, a)) return nullptr;
  PyObject *objs = a[0], *keys = a[1];
  if (!PyList_CheckExact(objs)) return type_mismatch(objs, "list");
  if (!PyList_CheckExact(keys)) return type_mismatch(keys, "list");
  Object grouped = Object::steal(PyDict_New());
  if (!grouped) return nullptr;
  for (Py_ssize_t i = 0;; ++i) {
    Object obj = item_at(objs, i);
    Object key = obj ? item_at(keys, i) : Object();
    if (!key) break;
    Object fresh = Object::steal(PyList_New(0));
    PyObject* group = nullptr;
    if (!fresh || PyDict_SetDefaultRef(grouped.get(), key.get(), fresh.get(), &group) < 0)
      return nullptr;
    Object held = Object::steal(group);
    if (PyList_Append(held.get(), obj.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return grouped.release();
}

constexpr Param CACHE_REVERSE_PARAMS[] = {
    {"related", true, false},    {"attname", true, false},   {"cls", true, false},
    {"cache_name", true, false}, {"instances", true, false}, {"key_of", true, false}};
constexpr Signature CACHE_REVERSE_SIG{"cache_reverse()", CACHE_REVERSE_PARAMS};

PyObject* cache_reverse(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[6];
  if (!bind_args(CACHE_REVERSE_SIG, args, nargs, nullptr, a)) return nullptr;
  PyObject *cache_name = a[3], *instances = a[4], *key_of = a[5];
  Object seq = as_sequence(a[0]);
  std::vector<Object> keys;
  if (!seq || !loaded_keys(seq.get(), a[1], a[2], false, keys)) return nullptr;
  PyObject* state_name = names::state();
  PyObject* cache_attr = names::fields_cache();
  if (!state_name || !cache_attr) return nullptr;
  for (size_t i = 0; i < keys.size(); ++i) {
    Object obj = item_at(seq.get(), (Py_ssize_t)i);
    if (!obj) break;
    Object state = Object::steal(PyObject_GetAttr(obj.get(), state_name));
    Object cache = state ? Object::steal(PyObject_GetAttr(state.get(), cache_attr)) : Object();
    int cached = cache ? PySequence_Contains(cache.get(), cache_name) : -1;
    if (cached < 0) return nullptr;
    if (cached) continue;
    Object key = key_at(keys, i, key_of, obj.get());
    Object instance = key ? Object::steal(PyObject_GetItem(instances, key.get())) : Object();
    if (!instance || PyObject_SetItem(cache.get(), cache_name, instance.get()) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace qc
