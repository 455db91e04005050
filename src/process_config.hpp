// Configurations that the companion gives once, kept for the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <memory>

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

}  // namespace qc
