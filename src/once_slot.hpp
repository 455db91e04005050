// The set-once slot that holds what the module makes once per process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "object.hpp"

namespace qc {

// One-time slots: filled once per process, never released. The fill runs
// with no lock held, since it may run Python code (an import, a finalizer
// that the collector runs meanwhile) that comes back to the same slot on
// this thread or waits for a thread that does; two threads may therefore
// both fill, and the first to publish wins, so a race costs one duplicate
// computation, dropped before anyone sees it.
class OnceSlot {
 public:
  // `fill` returns a new reference or nullptr with an error set; on failure
  // the slot stays empty and a later call tries again. Returns borrowed.
  template <class Fill>
  PyObject* get(Fill&& fill) {
    if (PyObject* p = value_.load(std::memory_order_acquire)) return p;
    Object made = Object::steal(fill());
    if (!made) return nullptr;
    PyObject* published = nullptr;
    if (value_.compare_exchange_strong(published, made.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire))
      return made.release();
    return published;  // another thread's; ours is dropped with `made`
  }
  PyObject* peek() const { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace qc
