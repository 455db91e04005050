// Configurations that the companion gives once, kept for the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <initializer_list>
#include <memory>

#include "arguments.hpp"
#include "boundary.hpp"
#include "guards.hpp"

namespace qc {

// The first configuration given stays for the process, like the module's
// own: a later one (from a reloaded companion) is dropped.
template <typename Config>
class ProcessConfig {
 public:
  explicit constexpr ProcessConfig(const char* missing) noexcept : missing_(missing) {}

  // The configuration; nullptr with RuntimeError set before the first set().
  const Config* get() const {
    const Config* config = config_.load(std::memory_order_acquire);
    if (!config) PyErr_SetString(PyExc_RuntimeError, missing_);
    return config;
  }

  void set(std::unique_ptr<const Config> config) {
    MutexLock lock(mutex_);
    if (!config_.load(std::memory_order_relaxed))
      config_.store(config.release(), std::memory_order_release);
  }

 private:
  std::atomic<const Config*> config_{nullptr};
  PyMutex mutex_{};
  const char* missing_;
};

// Whether the bound arguments at `positions` are classes; TypeError naming
// the parameter otherwise.
inline bool arguments_are_types(PyObject* const* bound, const Param* params,
                                std::initializer_list<int> positions) {
  for (int i : positions) {
    if (!PyType_Check(bound[i])) {
      type_mismatch(bound[i], "type");
      prefix_argument_error(params[i].name);
      return false;
    }
  }
  return true;
}

}  // namespace qc
