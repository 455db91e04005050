// The reader's process-wide cache of object-key strings: documents repeat the
// same keys, and a cached str saves building it and hashing it in each dict.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qc {

// A new str of valid UTF-8 text s[0..n) that is not all ASCII: decoded
// without the checks (and the growing buffer) of the interpreter's decoder.
// New reference, or nullptr with an error set.
PyObject* str_from_valid_utf8(const char* s, size_t n);

// A new str of valid UTF-8 text s[0..n); `ascii` when every byte is below
// 0x80. Inline because the reader builds every string value with it.
// New reference, or nullptr with an error set.
inline PyObject* str_from_text(const char* s, size_t n, bool ascii) {
  if (!ascii) return str_from_valid_utf8(s, n);
  PyObject* str = PyUnicode_New((Py_ssize_t)n, 127);
  if (str && n) std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
  return str;
}

// The str equal to the valid UTF-8 text s[0..n) for use as a dict key: the
// cached one when an equal key was seen before, else a new one (cached when
// its length suits the cache). New reference, or nullptr with an error set.
PyObject* cached_key(const char* s, size_t n, bool ascii);

// The keys one reader call has used, in front of the shared cache: a
// document repeats its keys, and a hit here takes no lock and no seeded hash.
// It holds a reference to each key it keeps until the call ends.
class CallKeys {
 public:
  CallKeys() = default;
  CallKeys(const CallKeys&) = delete;
  CallKeys& operator=(const CallKeys&) = delete;
  ~CallKeys();

  // As cached_key(s, n, ascii).
  PyObject* get(const char* s, size_t n, bool ascii);

 private:
  static constexpr size_t SLOTS = 64;
  struct Slot {
    uint64_t hash;
    PyObject* text;  // strong reference, or nullptr
  };
  Slot slots_[SLOTS] = {};
  unsigned used_ = 0;  // slots filled, so that a small document releases few
};

}  // namespace qc
