// The boundary with the interpreter: the written rule for how each kind of
// function reports failure, the errors every unit raises, and `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <type_traits>

namespace qc {

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
//   done, declined        `Result` (below): the native path answered, or
//   or failed             cannot decide and leaves the call to DRF, or an
//                         exception is set.
//   other outcomes        an enum class of its own where the answers are not
//                         "done" and "declined", with one member for "an
//                         exception is set": Val::Verdict (also "abandoned"),
//                         Validation ("abandoned"), Access::Status ("skip"),
//                         UuidRead (an error set either way; the caller
//                         decides whether to raise it), the JSON reader's
//                         Opening and the row loop's Receivers (two answers).
//
// Functions the interpreter calls keep CPython's own convention (a new
// reference or nullptr, an int of 0 or -1), behind `guarded`. So do the JSON
// reader's value builders, whose every result goes at once into the `Object`
// or container of its caller, as in CPython's own JSON module. Helpers that
// cannot fail return their value plainly and are `noexcept` where that holds.

// The three outcomes of a native path that may leave the call to DRF.
enum class Result : uint8_t {
  done,      // the answer is in the out-parameter
  declined,  // the native path cannot decide: DRF (or the general path) does
  raised,    // a Python exception is set
};

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

}  // namespace qc
