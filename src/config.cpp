#include "config.hpp"

#include "arguments.hpp"
#include "boundary.hpp"
#include "guards.hpp"
#include "object.hpp"

#include <atomic>
#include <memory>

namespace qc {

namespace {

std::atomic<const Config*> CONFIG{nullptr};
PyMutex CONFIG_MUTEX{};

constexpr Param CONFIGURE_PARAMS[] = {
    {"empty", true, true},          {"skip_field", true, true},
    {"object_does_not_exist", true, true}, {"pk_only_object", true, true},
    {"manager_class", true, true},  {"dict_factory", true, true},
    {"resolve_callable", true, true}, {"run_field", true, true},
    {"finish_field", true, true},   {"source_failed", false, true},
};
constexpr Signature CONFIGURE_SIG{"configure()", CONFIGURE_PARAMS};

enum ConfigureArg { EMPTY, SKIP_FIELD, OBJECT_DOES_NOT_EXIST, PK_ONLY_OBJECT, MANAGER_CLASS,
                    DICT_FACTORY, RESOLVE_CALLABLE, RUN_FIELD, FINISH_FIELD, SOURCE_FAILED,
                    NARGS };

// Stores the record unless one is there already; on success the record is
// kept for the life of the process and `config` is left empty.
bool store_config(std::unique_ptr<const Config>& config) {
  MutexLock lock(CONFIG_MUTEX);
  if (CONFIG.load(std::memory_order_relaxed)) return false;
  CONFIG.store(config.release(), std::memory_order_release);
  return true;
}

}  // namespace

const Config* get_config() {
  const Config* config = CONFIG.load(std::memory_order_acquire);
  if (!config) PyErr_SetString(PyExc_RuntimeError, "quorvel_core.configure() has not been called");
  return config;
}

PyObject* configure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[NARGS];
  if (!bind_args(CONFIGURE_SIG, args, nargs, kwnames, a)) return nullptr;
  for (int i : {SKIP_FIELD, OBJECT_DOES_NOT_EXIST, PK_ONLY_OBJECT, MANAGER_CLASS}) {
    if (!PyType_Check(a[i])) {
      type_mismatch(a[i], "type");
      prefix_argument_error(CONFIGURE_PARAMS[i].name);
      return nullptr;
    }
  }
  auto config = std::make_unique<const Config>(Config{
      Object::borrow(a[EMPTY]),          Object::borrow(a[SKIP_FIELD]),
      Object::borrow(a[OBJECT_DOES_NOT_EXIST]), Object::borrow(a[PK_ONLY_OBJECT]),
      Object::borrow(a[MANAGER_CLASS]),  Object::borrow(a[DICT_FACTORY]),
      Object::borrow(a[RESOLVE_CALLABLE]), Object::borrow(a[RUN_FIELD]),
      Object::borrow(a[FINISH_FIELD]),   Object::borrow(a[SOURCE_FAILED]),
      a[DICT_FACTORY] == (PyObject*)&PyDict_Type,
  });
  if (!store_config(config)) {
    config.reset();  // drops the references outside the lock
    PyErr_SetString(PyExc_RuntimeError, "quorvel_core is already configured");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* is_configured(PyObject*, PyObject*) {
  return PyBool_FromLong(CONFIG.load(std::memory_order_acquire) != nullptr);
}

}  // namespace qc
