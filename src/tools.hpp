// Shared building blocks: the owned-reference type, type-mismatch errors, the
// argument binder, one-time slots, schema-reading helpers and cached classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace qc {

// ---------------------------------------------------------------------------
// Owned references.
//
// `Object` owns one strong reference (or nothing). It is made only by
// `Object::steal` (take over a new reference) or `Object::borrow` (add one),
// and `release()` hands the reference back to the caller. Copies add a
// reference, moves transfer it, destruction drops it, so no path can leak or
// double-release.
class Object {
 public:
  Object() noexcept = default;
  static Object steal(PyObject* p) noexcept { return Object(p); }
  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p);
  }
  Object(const Object& o) noexcept : p_(Py_XNewRef(o.p_)) {}
  Object(Object&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Object& operator=(Object o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Object() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Object(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// How a function says "failed, with a Python exception set": one way for each
// kind of result.
//
//   a new reference       `Object`; empty means failed.
//   a borrowed reference  `PyObject*`, said to be borrowed where it is
//                         declared; nullptr means failed.
//   done or failed        `bool`; false means failed. Results come back through
//                         out-parameters; an `Object` out-parameter left empty
//                         means "absent", never failure.
//   three outcomes        an enum class with one member for "an exception is
//   or more               set" (Val::Verdict, Validation, Access::Status,
//                         ZoneOffset); the others say which answer it is, or
//                         that the native path cannot decide and leaves the
//                         call to DRF.
//
// Functions the interpreter calls keep CPython's own convention (a new
// reference or nullptr, an int of 0 or -1), behind `guarded`. So do the JSON
// reader's value builders, whose every result goes at once into the `Object`
// or container of its caller, as in CPython's own JSON module. Helpers that
// cannot fail return their value plainly and are `noexcept` where that holds.

// ---------------------------------------------------------------------------
// Errors.

// Sets TypeError "'<type of obj>' object is not an instance of '<expected>'"
// ("'None' is not an instance of ..." for None). Always returns nullptr.
PyObject* type_mismatch(PyObject* obj, const char* expected);

// Prefixes a pending TypeError with "argument '<param>': "; other exception
// types are left unchanged.
void prefix_argument_error(const char* param);

// The class of errors raised for broken internal invariants. It derives from
// BaseException so that ordinary `except Exception` blocks do not hide a bug.
PyObject* internal_error_type();  // borrowed; nullptr with an error set
PyObject* internal_error(const char* message);  // always returns nullptr

// ---------------------------------------------------------------------------
// The boundary with the interpreter.
//
// No C++ exception may unwind into CPython's frames. Every function that the
// interpreter calls (module functions, methods, type slots, the module's exec
// step) is registered as `guarded<function>`, which turns an escaping
// exception into a Python one: std::bad_alloc into MemoryError, anything else
// into the internal-error class. Whatever the code between the boundary and
// the throw holds must therefore be released by its destructor (Object,
// std::unique_ptr, MutexLock), never by a statement after the call.

// Sets the Python error for the exception being handled; call only from a
// catch block.
void set_error_from_exception() noexcept;

template <auto Function, class Type = decltype(Function)>
struct Boundary;

template <auto Function, class Result, class... Args>
struct Boundary<Function, Result (*)(Args...)> {
  static Result call(Args... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      set_error_from_exception();
      if constexpr (std::is_void_v<Result>) {
        PyErr_WriteUnraisable(nullptr);  // a slot without an error result (tp_dealloc)
      } else if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
      } else {
        static_assert(std::is_same_v<Result, int>, "int slots report failure as -1");
        return -1;
      }
    }
  }
};

template <auto Function>
inline constexpr auto guarded = &Boundary<Function>::call;

// The same entry as a PyCFunction, for PyMethodDef tables.
template <auto Function>
PyCFunction guarded_method() {
  return (PyCFunction)(void (*)(void))guarded<Function>;
}

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

// ---------------------------------------------------------------------------
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

// An interned, immortal-for-our-purposes str made on first use.
PyObject* intern_once(OnceSlot& slot, const char* text);  // borrowed

// ---------------------------------------------------------------------------
// The argument binder shared by every callable that takes arguments.
struct Param {
  const char* name;
  bool required;
  bool keyword_only;
};

struct Signature {
  const char* display;  // e.g. "configure()" or "CompiledSerializer.describe()"
  std::span<const Param> params;
};

// Binds vectorcall-style arguments. `out` has one borrowed slot per parameter;
// unfilled optional parameters are nullptr. Returns false with TypeError set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out);

// The same for the classic (tuple, dict) convention of tp_new.
bool bind_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs,
                     PyObject** out);

// ---------------------------------------------------------------------------
// Schema-reading helpers; each leaves an error set when it fails.
// The entry `key` of `dict` into `out`: empty when the key is absent (for
// opt_item, also when the entry is None). False with an error set.
bool any_item(PyObject* dict, const char* key, Object& out);
bool opt_item(PyObject* dict, const char* key, Object& out);
// The entry `key`, which must be present (KeyError "schema is missing ...").
Object req_item(PyObject* dict, const char* key);
// The entry `key`, which must be present and a dict (or subclass).
Object req_dict(PyObject* dict, const char* key);
// The truth of the entry `key`, `dflt` when it is absent or None.
bool opt_bool(PyObject* dict, const char* key, bool dflt, bool& out);
bool opt_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out);
// A list of interned exact str copies of a list of str; false on error.
bool str_list(PyObject* obj, std::vector<Object>& out);

// A new interned exact str with the text of `str` (a str or subclass), made
// from its UTF-8 bytes; empty with an error set (lone surrogates).
Object interned_copy(PyObject* str);
// req_item for an entry that must be a str: its interned copy (see above).
Object req_interned(PyObject* dict, const char* key);
// req_item for a kind name: the str entry in `holder` and its UTF-8 text in
// `text` (valid while `holder` lives). False with an error set.
bool req_text(PyObject* dict, const char* key, Object& holder, std::string_view& text);

// The item `i` of a list (or subclass), as a strong reference: code run
// while the caller uses it may drop the list's own. `i` was checked against
// the length just before, but with no GIL another thread may shrink the list
// in between: true with `out` empty then, as at the end of the list. False
// with an error set.
inline bool list_item(PyObject* list, Py_ssize_t i, Object& out) {
#ifdef Py_GIL_DISABLED
  out = Object::steal(PyList_GetItemRef(list, i));
  if (out || !PyErr_ExceptionMatches(PyExc_IndexError)) return (bool)out;
  PyErr_Clear();
  return true;
#else
  // Nothing runs between the caller's length check and this read.
  out = Object::borrow(PyList_GET_ITEM(list, i));
  return true;
#endif
}

// Calls `parse(item)` (borrowed item, returns false with an error set) for each
// item of a list or list subclass. The length is read afresh at every step and
// the walk stops at the smaller of it and the starting length, so Python code
// (or another thread) that shrinks or grows the list meanwhile never causes an
// out-of-range read.
template <class Parse>
bool for_each_list_item(PyObject* list, Parse&& parse) {
  Py_ssize_t initial = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < initial && i < PyList_GET_SIZE(list); ++i) {
    Object item;
    if (!list_item(list, i, item)) return false;
    if (!item) break;
    if (!parse(item.get())) return false;
  }
  return true;
}

// A new list of `each(item)` (an Object; empty with an error set) for every
// item that iterating `iterable` yields. Empty with an error set.
template <class Each>
Object map_to_list(PyObject* iterable, Each&& each) {
  Object out = Object::steal(PyList_New(0));
  Object it = Object::steal(out ? PyObject_GetIter(iterable) : nullptr);
  if (!it) return Object();
  PyObject* raw = nullptr;
  int next;
  while ((next = compat::iter_next_item(it.get(), &raw)) > 0) {
    Object item = Object::steal(raw);
    Object result = each(item.get());
    if (!result || PyList_Append(out.get(), result.get()) < 0) return Object();
  }
  return next < 0 ? Object() : out;
}

// The position of `text` in a table of kind names, or -1.
template <size_t N>
int name_index(const std::string_view (&names)[N], std::string_view text) noexcept {
  for (size_t i = 0; i < N; ++i)
    if (names[i] == text) return (int)i;
  return -1;
}

// Python's str.strip() with no argument, over UTF-8 text.
std::string_view py_strip(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Cached standard-library objects (borrowed; nullptr with an error set).
PyObject* empty_tuple();  // () for calls with no positional arguments
PyObject* decimal_type();
PyObject* uuid_type();
PyObject* timezone_type();
PyObject* mapping_type();
PyObject* safe_uuid_unknown();

// Negative cache of types known not to be mappings (bounded, oldest out).
namespace non_mapping_types {
inline constexpr size_t CAPACITY = 32;
bool contains(PyTypeObject* type);
void add(PyTypeObject* type);
}  // namespace non_mapping_types

}  // namespace qc
