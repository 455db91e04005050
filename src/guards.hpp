// Scoped guards that an exception cannot leave held: a mutex, an object's
// critical section, and one level of Python's recursion limit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qc {

// Holds a PyMutex for its scope, so that an exception cannot leave it locked.
class MutexLock {
 public:
  explicit MutexLock(PyMutex& mutex) noexcept : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~MutexLock() { PyMutex_Unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  PyMutex& mutex_;
};

// Holds `op`'s critical section for its scope, so that an exception cannot
// leave it held. Without the GIL it keeps other threads' changes to `op` out
// until code inside blocks (a lock, Python code that waits) or enters another
// object's section, which suspends it; with the GIL there is nothing to hold.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* op) noexcept { PyCriticalSection_Begin(&section_, op); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

// One level of Python's recursion limit for C++ code that recurses, left
// however the scope ends. When `entered()` is false, RecursionError is set.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept
      : entered_(Py_EnterRecursiveCall(where) == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  bool entered_;
};

}  // namespace qc
