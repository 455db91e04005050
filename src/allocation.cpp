#include "allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace qc {
namespace {

// Allocations still allowed before they start failing; negative: never fail.
std::atomic<long long> ALLOWED{-1};
std::atomic<long long> COUNT{0};

[[maybe_unused]] void* allocate(std::size_t size) {
  COUNT.fetch_add(1, std::memory_order_relaxed);
  if (ALLOWED.load(std::memory_order_relaxed) >= 0 &&
      ALLOWED.fetch_sub(1, std::memory_order_relaxed) <= 0) {
    ALLOWED.store(0, std::memory_order_relaxed);  // keeps failing, never wraps
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

PyObject* fail_allocations(PyObject*, PyObject* after) {
  long long n = PyLong_AsLongLong(after);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  ALLOWED.store(n < 0 ? -1 : n, std::memory_order_relaxed);
  return PyLong_FromLongLong(COUNT.exchange(0, std::memory_order_relaxed));
}

}  // namespace qc

// Builds that link the module into a program of their own with a sanitizer
// runtime (the fuzzer) keep the runtime's operators: replacing them there would
// pair its allocations with our free().
#ifndef QC_KEEP_GLOBAL_NEW
// The replacements stay inside the extension (src/exports.map keeps them out
// of its dynamic symbols), so they count and fail only the module's own
// allocations, never the interpreter's or another extension's. They allocate with malloc, as the standard library does,
// so memory freed on either side of the library boundary matches.
void* operator new(std::size_t size) { return qc::allocate(size); }
void* operator new[](std::size_t size) { return qc::allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif
