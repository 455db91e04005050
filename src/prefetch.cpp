#include "prefetch.hpp"

#include "arguments.hpp"
#include "attributes.hpp"
#include "boundary.hpp"
#include "module_state.hpp"
#include "object.hpp"
#include "process_config.hpp"
#include "queryset_chain.hpp"

#include <memory>
#include <vector>

// A page of 100 orders with their line items reads about 500 keys, fills 300
// reverse caches and makes 100 QuerySets; as Python loops around the native
// clone these were about a tenth of the queryset's time.

namespace qc {
namespace {

struct PrefetchConfig {
  Object manager_class, queryset_class, default_db, features_of, django_filter, django_chain,
      missing;
  Object instance_kwnames;  // ("instance",)
  Object new_kwnames;       // ("model", "using", "hints")
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
      Object own = attr(obj.get(), dict_name);
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

// `BaseManager.creation_counter += 1`, as each related manager's __init__ counts.
bool count_manager(const PrefetchConfig& config) {
  PyObject* name = names::creation_counter();
  Object count = attr(config.manager_class.get(), name);
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

// `obj.__dict__.get(name, fallback)`.
Object own_get(PyObject* obj, PyObject* name, PyObject* fallback) {
  Object own = name ? attr(obj, names::dunder_dict()) : Object();
  if (!own) return Object();
  if (PyDict_CheckExact(own.get())) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(own.get(), name, &found) < 0) return Object();
    return found ? Object::steal(found) : Object::borrow(fallback);
  }
  PyObject* get = names::get();
  return Object::steal(get ? PyObject_CallMethodObjArgs(own.get(), get, name, fallback, nullptr)
                           : nullptr);
}

// `obj.__dict__.get(attname, MISSING)`, then `getattr(obj, attname)` where missing.
Object loaded_value(const PrefetchConfig& config, PyObject* obj, PyObject* attname) {
  Object value = own_get(obj, attname, config.missing.get());
  if (!value || value.get() != config.missing.get()) return value;
  return attr(obj, attname);
}

// `queryset._add_hints(instance=obj)`; false with an error set.
bool add_hints(const PrefetchConfig& config, PyObject* queryset, PyObject* obj) {
  PyObject* name = names::add_hints();
  PyObject* args[] = {queryset, obj};
  return name && Object::steal(PyObject_VectorcallMethod(
                     name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                     config.instance_kwnames.get()));
}

// `QuerySet(model=model, using=None, hints={})`.
Object new_queryset(const PrefetchConfig& config, PyObject* model) {
  Object hints = Object::steal(PyDict_New());
  if (!hints) return Object();
  PyObject* args[] = {model, Py_None, hints.get()};
  return Object::steal(
      PyObject_Vectorcall(config.queryset_class.get(), args, 0, config.new_kwnames.get()));
}

// The companion's deferred_filter(queryset, kwargs, sticky, alone): the
// written-out clone, or Django's own filter() where that declines.
Object deferred(const PrefetchConfig& config, PyObject* queryset, PyObject* kwargs, bool sticky,
                bool alone) {
  PyObject* args[] = {queryset, kwargs, sticky ? Py_True : Py_False, alone ? Py_True : Py_False};
  Object clone = Object::steal(deferred_filter(nullptr, args, 4));
  if (!clone || clone.get() != Py_None) return clone;
  return Object::steal(PyObject_Vectorcall(config.django_filter.get(), args, 3, nullptr));
}

// The companion's chained(queryset) (6.1): the written-out `_chain()`, or
// Django's own where that declines.
Object chain(const PrefetchConfig& config, PyObject* queryset) {
  Object clone = Object::steal(chained(nullptr, queryset));
  if (!clone || clone.get() != Py_None) return clone;
  return Object::steal(PyObject_CallOneArg(config.django_chain.get(), queryset));
}

// `{key: value}`.
Object one_item(PyObject* key, PyObject* value) {
  Object made = Object::steal(PyDict_New());
  if (!made || PyDict_SetItem(made.get(), key, value) < 0) return Object();
  return made;
}

// A reverse foreign key's level, as its companion function reads it.
struct ReverseLevel {
  PyObject* queryset;           // the Prefetch's, or None
  PyObject* field;              // the ForeignKey
  PyObject* attname;            // where an instance's key is
  PyObject* pk_attname;
  PyObject* remote_cache_name;  // field.remote_field.cache_name
  PyObject* model;              // the related model
  PyObject* features;           // db: empty strings read as NULL
  PyObject* slow;               // the companion's function, for the instances it keeps
  PyObject* in_place;           // 6.1: the companion's _filtered_in_place; else None
};

// How a queryset of a reverse level ends: none() for a missing key (or an
// empty one, where the database reads it as NULL), else the instance as the
// known related object of its key.
Object reverse_end(const PrefetchConfig& config, const ReverseLevel& level, PyObject* obj,
                   PyObject* as_null, Object clone) {
  Object value = loaded_value(config, obj, level.attname);
  if (!value) return Object();
  int empty = 0;
  if (value.get() != Py_None) {
    Object blank = Object::steal(PyUnicode_FromStringAndSize("", 0));
    int equal = blank ? PyObject_RichCompareBool(value.get(), blank.get(), Py_EQ) : -1;
    empty = equal > 0 ? PyObject_IsTrue(as_null) : equal;
    if (empty < 0) return Object();
  }
  if (value.get() == Py_None || empty) {
    PyObject* none = names::none();
    return Object::steal(none ? PyObject_CallMethodNoArgs(clone.get(), none) : nullptr);
  }
  Object by_key = one_item(value.get(), obj);
  Object known = by_key ? one_item(level.field, by_key.get()) : Object();
  if (!store(clone.get(), names::known_related_objects(), known.get())) return Object();
  return clone;
}

// `in_place(queryset, obj, kwargs, sticky)`: 6.1's managers filter their
// own chained or new QuerySet in place.
Object filtered_in_place(PyObject* in_place, PyObject* queryset, PyObject* obj, PyObject* kwargs,
                         bool sticky) {
  PyObject* args[] = {queryset, obj, kwargs, sticky ? Py_True : Py_False};
  return Object::steal(PyObject_Vectorcall(in_place, args, 4, nullptr));
}

// The companion's _reverse_instance_queryset(): what `getattr(obj, to_attr)`
// then `_apply_rel_filters(queryset)` or `get_queryset()` give for a related
// manager with no database of its own.
Object reverse_queryset(const PrefetchConfig& config, const ReverseLevel& level, PyObject* obj) {
  bool alone = level.queryset == Py_None;
  bool in_place = level.in_place != Py_None;
  Object queryset = Object::borrow(level.queryset);
  if (alone) {
    Object pk = own_get(obj, level.pk_attname, Py_None);
    if (!pk) return Object();
    if (pk.get() == Py_None) return Object::steal(PyObject_CallOneArg(level.slow, obj));
    if (!count_manager(config)) return Object();
    PyObject* raw_cache = nullptr;
    PyObject* cache_attr = names::prefetched_objects_cache();
    if (!cache_attr || PyObject_GetOptionalAttr(obj, cache_attr, &raw_cache) < 0) return Object();
    Object cache = Object::steal(raw_cache);
    if (cache) {
      PyObject* get = names::get();
      Object cached = Object::steal(get ? PyObject_CallMethodObjArgs(
          cache.get(), get, level.remote_cache_name, config.missing.get(), nullptr) : nullptr);
      if (!cached || cached.get() != config.missing.get()) return cached;
    }
    queryset = new_queryset(config, level.model);
    if (!queryset) return Object();
  } else {
    if (!count_manager(config)) return Object();
    if (in_place && !(queryset = chain(config, queryset.get()))) return Object();
  }
  Object state = attr(obj, names::state());
  Object db = state ? attr(state.get(), names::db()) : Object();
  int truth = db ? PyObject_IsTrue(db.get()) : -1;
  if (truth < 0) return Object();
  if (!truth) db = config.default_db;
  Object as_null = empty_strings_as_null(config, level.features, db.get());
  if (!as_null || (!in_place && !add_hints(config, queryset.get(), obj))) return Object();
  Object name = attr(level.field, names::name());
  Object kwargs = name ? one_item(name.get(), obj) : Object();
  if (!kwargs) return Object();
  Object clone = in_place
                     ? filtered_in_place(level.in_place, queryset.get(), obj, kwargs.get(), false)
                     : deferred(config, queryset.get(), kwargs.get(), false, alone);
  if (!clone) return Object();
  return reverse_end(config, level, obj, as_null.get(), std::move(clone));
}

// A many-to-many level, as its companion function reads it.
struct ManyLevel {
  PyObject* queryset;             // the Prefetch's, or None
  PyObject* core_attname;         // where the instance's value for the filter is
  PyObject* pk_attname;
  PyObject* core_filter;          // the manager's filter name
  PyObject* prefetch_cache_name;  // the manager's own cache entry
  PyObject* model;                // the related model
  PyObject* slow;                 // the companion's function, for the instances it keeps
  PyObject* in_place;             // 6.1: the companion's _filtered_in_place; else None
};

// The key types whose filter values the level reads as loaded.
bool key_type(PyObject* value, bool& is_key) {
  PyObject* uuid = uuid_type();
  if (!uuid) return false;
  is_key = PyLong_CheckExact(value) || PyUnicode_CheckExact(value) ||
           Py_IS_TYPE(value, (PyTypeObject*)uuid);
  return true;
}

// The companion's _many_instance_queryset().
Object many_queryset(const PrefetchConfig& config, const ManyLevel& level, PyObject* obj) {
  Object value = own_get(obj, level.core_attname, Py_None);
  Object pk = value ? own_get(obj, level.pk_attname, Py_None) : Object();
  Object cache = pk ? own_get(obj, names::prefetched_objects_cache(), Py_None) : Object();
  bool value_is_key = false, pk_is_key = false;
  if (!cache || !key_type(value.get(), value_is_key) || !key_type(pk.get(), pk_is_key))
    return Object();
  if (!value_is_key || !pk_is_key || !PyDict_CheckExact(cache.get()))
    return Object::steal(PyObject_CallOneArg(level.slow, obj));
  if (!count_manager(config)) return Object();
  bool alone = level.queryset == Py_None;
  bool in_place = level.in_place != Py_None;
  Object queryset = Object::borrow(level.queryset);
  if (alone) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(cache.get(), level.prefetch_cache_name, &found) < 0) return Object();
    Object cached = Object::steal(found);
    if (cached && cached.get() != Py_None) return cached;
    queryset = new_queryset(config, level.model);
    if (!queryset) return Object();
  } else if (in_place && !(queryset = chain(config, queryset.get()))) {
    return Object();
  }
  Object kwargs = one_item(level.core_filter, value.get());
  if (!kwargs) return Object();
  if (in_place) return filtered_in_place(level.in_place, queryset.get(), obj, kwargs.get(), true);
  if (!add_hints(config, queryset.get(), obj)) return Object();
  return deferred(config, queryset.get(), kwargs.get(), true, alone);
}

// The loop of a level over its instances and their keys, as zip() reads
// both lists at each step: each instance's QuerySet from `make`, holding
// the related objects of its key, into `_prefetched_objects_cache`.
template <typename Make>
PyObject* attach_querysets(PyObject* instances, PyObject* keys, PyObject* related_by_key,
                           PyObject* cache_name, Make make) {
  if (!PyList_CheckExact(instances) && !PyTuple_CheckExact(instances))
    return type_mismatch(instances, "list");
  if (!PyList_CheckExact(keys)) return type_mismatch(keys, "list");
  if (!PyDict_CheckExact(related_by_key)) return type_mismatch(related_by_key, "dict");
  PyObject *result_cache = names::result_cache(), *prefetch_done = names::prefetch_done(),
           *prefetched = names::prefetched_objects_cache();
  if (!result_cache || !prefetch_done || !prefetched) return nullptr;
  for (Py_ssize_t i = 0;; ++i) {
    Object obj = item_at(instances, i);
    Object key = obj ? item_at(keys, i) : Object();
    if (!key) break;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(related_by_key, key.get(), &found) < 0) return nullptr;
    Object vals = found ? Object::steal(found) : Object::steal(PyList_New(0));
    Object qs = vals ? make(obj.get()) : Object();
    if (!qs || !store(qs.get(), result_cache, vals.get()) ||
        !store(qs.get(), prefetch_done, Py_True))
      return nullptr;
    Object cache = attr(obj.get(), prefetched);
    if (!cache || PyObject_SetItem(cache.get(), cache_name, qs.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

constexpr Param CONFIGURE_PREFETCH_PARAMS[] = {
    {"manager_class", true, true}, {"queryset_class", true, true}, {"default_db", true, true},
    {"features_of", true, true},   {"django_filter", true, true},  {"django_chain", true, true},
    {"missing", true, true}};
constexpr Signature CONFIGURE_PREFETCH_SIG{"configure_prefetch()", CONFIGURE_PREFETCH_PARAMS};

PyObject* configure_prefetch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  PyObject* a[7];
  if (!bind_args(CONFIGURE_PREFETCH_SIG, args, nargs, kwnames, a) ||
      !arguments_are_types(a, CONFIGURE_PREFETCH_PARAMS, {0, 1}))
    return nullptr;
  PyObject *instance = names::instance(), *model = names::model(), *using_ = names::using_(),
           *hints = names::hints();
  Object instance_kwnames = Object::steal(instance ? PyTuple_Pack(1, instance) : nullptr);
  Object new_kwnames = Object::steal(
      instance_kwnames && model && using_ && hints ? PyTuple_Pack(3, model, using_, hints)
                                                   : nullptr);
  if (!new_kwnames) return nullptr;
  PREFETCH_CONFIG.set(std::make_unique<const PrefetchConfig>(PrefetchConfig{
      Object::borrow(a[0]), Object::borrow(a[1]), Object::borrow(a[2]), Object::borrow(a[3]),
      Object::borrow(a[4]), Object::borrow(a[5]), Object::borrow(a[6]),
      std::move(instance_kwnames), std::move(new_kwnames)}));
  Py_RETURN_NONE;
}

constexpr Param REVERSE_LEVEL_PARAMS[] = {
    {"instances", true, false},  {"keys", true, false},       {"related_by_key", true, false},
    {"cache_name", true, false}, {"queryset", true, false},   {"field", true, false},
    {"attname", true, false},    {"pk_attname", true, false}, {"remote_cache_name", true, false},
    {"model", true, false},      {"features", true, false},   {"slow", true, false},
    {"in_place", true, false}};
constexpr Signature REVERSE_LEVEL_SIG{"reverse_level()", REVERSE_LEVEL_PARAMS};

PyObject* reverse_level(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[13];
  if (!bind_args(REVERSE_LEVEL_SIG, args, nargs, nullptr, a)) return nullptr;
  const PrefetchConfig* config = PREFETCH_CONFIG.get();
  if (!config) return nullptr;
  if (!PyDict_CheckExact(a[10])) return type_mismatch(a[10], "dict");
  const ReverseLevel level{a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12]};
  return attach_querysets(a[0], a[1], a[2], a[3], [&](PyObject* obj) {
    return reverse_queryset(*config, level, obj);
  });
}

constexpr Param MANY_LEVEL_PARAMS[] = {
    {"instances", true, false},           {"keys", true, false},
    {"related_by_key", true, false},      {"cache_name", true, false},
    {"queryset", true, false},            {"core_attname", true, false},
    {"pk_attname", true, false},          {"core_filter", true, false},
    {"prefetch_cache_name", true, false}, {"model", true, false},
    {"slow", true, false},                {"in_place", true, false}};
constexpr Signature MANY_LEVEL_SIG{"many_level()", MANY_LEVEL_PARAMS};

PyObject* many_level(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[12];
  if (!bind_args(MANY_LEVEL_SIG, args, nargs, nullptr, a)) return nullptr;
  const PrefetchConfig* config = PREFETCH_CONFIG.get();
  if (!config) return nullptr;
  const ManyLevel level{a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11]};
  return attach_querysets(a[0], a[1], a[2], a[3], [&](PyObject* obj) {
    return many_queryset(*config, level, obj);
  });
}

constexpr Param FILTER_KEYS_PARAMS[] = {
    {"instances", true, false}, {"pk_attname", true, false}, {"attname", true, false}};
constexpr Signature FILTER_KEYS_SIG{"filter_keys()", FILTER_KEYS_PARAMS};

PyObject* filter_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* a[3];
  if (!bind_args(FILTER_KEYS_SIG, args, nargs, nullptr, a)) return nullptr;
  const PrefetchConfig* config = PREFETCH_CONFIG.get();
  if (!config) return nullptr;
  PyObject *instances = a[0], *pk_attname = a[1], *attname = a[2];
  Object seq = as_sequence(instances);
  Object keys = Object::steal(seq ? PyList_New(0) : nullptr);
  if (!keys) return nullptr;
  for (Py_ssize_t i = 0;; ++i) {
    Object obj = item_at(seq.get(), i);
    if (!obj) break;
    Object key = own_get(obj.get(), attname, config->missing.get());
    Object pk = key ? own_get(obj.get(), pk_attname, Py_None) : Object();
    bool pk_is_key = false, key_is_key = false;
    if (!pk || !key_type(pk.get(), pk_is_key) || !key_type(key.get(), key_is_key)) return nullptr;
    if (!pk_is_key || (key.get() != Py_None && !key_is_key)) Py_RETURN_NONE;
    if (PyList_Append(keys.get(), key.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return keys.release();
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
    Object state = attr(obj.get(), state_name);
    Object cache = state ? attr(state.get(), cache_attr) : Object();
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
