#include "prefetch.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "module_state.hpp"
#include "object.hpp"

#include <vector>

// A page of 100 orders with their line items reads about 500 keys and fills
// 300 reverse caches per request; as Python loops these were 3% of the
// queryset's time.

namespace qc {
namespace {

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

}  // namespace

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
