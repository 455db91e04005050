#include "class_changes.hpp"

#include "boundary.hpp"
#include "guards.hpp"
#include "module_state.hpp"
#include "object.hpp"

#include <unordered_set>

namespace qc {
namespace {

std::atomic<uint64_t> change_count{0};

// Classes that count their instances in a class attribute, rewritten by
// every instance made: DRF's Field (`_creation_counter`), Django's Field and
// Manager (`creation_counter`, which a save can move). Nothing the companion
// decides reads them.
constexpr const char* INSTANCE_COUNTERS[] = {"_creation_counter", "creation_counter"};

bool is_instance_counter(PyObject* key) {
  if (!key || !PyUnicode_Check(key)) return false;
  for (const char* name : INSTANCE_COUNTERS)
    if (PyUnicode_EqualToUTF8(key, name)) return true;
  return false;
}

// The own dicts of the watched classes. A class's dict is cleared only when
// the garbage collector frees the class, which no live decision can read any
// more; counting that would drop every kept decision whenever a class made
// for a while (a test's, a serializer class built per request) is collected.
// Other dicts count when cleared: `Meta.extra_kwargs.clear()` is a change.
PyMutex class_dicts_mutex{};
std::unordered_set<PyObject*> class_dicts;

// Whether `dict` is a watched class's own dict; with `forget`, it stops being
// one (its memory is about to be freed and may hold another dict next).
bool is_class_dict(PyObject* dict, bool forget) noexcept {
  MutexLock lock(class_dicts_mutex);
  auto found = class_dicts.find(dict);
  if (found == class_dicts.end()) return false;
  if (forget) class_dicts.erase(found);
  return true;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept {
  if (event == PyDict_EVENT_DEALLOCATED) {
    is_class_dict(dict, true);
    return 0;
  }
  if (event == PyDict_EVENT_CLEARED && is_class_dict(dict, false)) return 0;
  if (is_instance_counter(key)) return 0;
  change_count.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

// The watcher's id, registered on first use: -1 until then.
std::atomic<int> watcher_id{-1};

// The id; -1 with an error set when CPython has no watcher slot left.
int watcher() {
  int id = watcher_id.load(std::memory_order_acquire);
  if (id >= 0) return id;
  static PyMutex mutex{};
  MutexLock lock(mutex);
  id = watcher_id.load(std::memory_order_relaxed);
  if (id < 0) {
    id = PyDict_AddWatcher(on_dict_event);
    if (id >= 0) watcher_id.store(id, std::memory_order_release);
  }
  return id;
}

// Watches the own dicts of the heap classes in `type`'s MRO. The MRO is
// taken through `__mro__`, a new reference: `tp_mro` itself is replaced when
// another thread assigns `__bases__`, and without the GIL the tuple read from
// it could be released before a reference to it is taken.
bool watch_class(int id, PyTypeObject* type) {
  PyObject* name = names::dunder_mro();
  Object mro = Object::steal(name ? PyObject_GetAttr((PyObject*)type, name) : nullptr);
  if (!mro) return false;
  if (!PyTuple_Check(mro.get())) return true;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
    if (!PyType_Check(base) || !PyType_HasFeature((PyTypeObject*)base, Py_TPFLAGS_HEAPTYPE))
      continue;
    Object dict = Object::steal(PyType_GetDict((PyTypeObject*)base));
    if (!dict || PyDict_Watch(id, dict.get()) < 0) return false;
    MutexLock lock(class_dicts_mutex);
    class_dicts.insert(dict.get());  // may throw bad_alloc: the boundary reports it
  }
  return true;
}

}  // namespace

PyObject* watch(PyObject*, PyObject* objects) {
  if (!PyTuple_Check(objects)) return type_mismatch(objects, "tuple");
  int id = watcher();
  if (id < 0) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(objects); ++i) {
    PyObject* item = PyTuple_GET_ITEM(objects, i);
    bool ok;
    if (PyDict_Check(item)) {
      ok = PyDict_Watch(id, item) == 0;
    } else if (PyType_Check(item)) {
      ok = watch_class(id, (PyTypeObject*)item);
    } else {
      return type_mismatch(item, "dict or type");
    }
    if (!ok) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* changes(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(change_count.load(std::memory_order_relaxed));
}

}  // namespace qc
