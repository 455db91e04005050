// The JSON encoder's output: a buffer that writes small documents on the
// stack and larger ones straight into the bytes object it returns, and the
// separators between items.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "object.hpp"

// Internal linkage, as in the one unit that includes this: the inliner then
// treats these as that unit's local functions.
namespace qc::json_encode {
namespace {

// ---------------------------------------------------------------------------
// Separators: "," or ", " between items, ":" or ": " after keys, or nothing.
// Both bytes are always stored and the end moved by the length, so writing
// one takes no loop and no branch.
struct Separator {
  static constexpr size_t ROOM = 2;  // bytes to reserve for any separator
  char text[ROOM];
  size_t size;

  static constexpr Separator of(std::string_view s) {
    return {{s[0], s.size() > 1 ? s[1] : ' '}, s.size()};
  }
  char* write(char* out) const {
    std::memcpy(out, text, ROOM);
    return out + size;
  }
};
inline constexpr Separator NO_SEPARATOR{{' ', ' '}, 0};

// ---------------------------------------------------------------------------
// The output buffer: small documents on the stack, larger ones in the bytes
// object that is returned, written in place and grown geometrically.

class Buffer {
 public:
  // Small documents (one object's detail) are written on the stack and made
  // into bytes with one copy at the end.
  static constexpr size_t INLINE_CAPACITY = 2048;

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Guarantees room for `n` more bytes; false with MemoryError set.
  bool reserve(size_t n) { return cap_ - size_ >= n || grow(n); }
  // Raw writing after `reserve`: take `end()`, write, hand the new end back.
  char* end() { return data_ + size_; }
  void set_end(char* p) { size_ = size_t(p - data_); }

  bool append(std::string_view text) {
    // An empty view may carry a null pointer, which memcpy must never see.
    if (text.empty()) return true;
    if (!reserve(text.size())) return false;
    std::memcpy(end(), text.data(), text.size());
    size_ += text.size();
    return true;
  }
  bool append(Separator separator) {
    if (!reserve(Separator::ROOM)) return false;
    set_end(separator.write(end()));
    return true;
  }
  bool put(char c) {
    if (!reserve(1)) return false;
    data_[size_++] = c;
    return true;
  }
  size_t size() const { return size_; }
  // The text written, as bytes (new reference); the buffer is empty after.
  PyObject* take_bytes() {
    if (!bytes_) return PyBytes_FromStringAndSize(data_, Py_ssize_t(size_));
    if (cap_ - size_ > cap_ / 4) {
      if (!resize(size_)) return nullptr;
    } else {
      // A little slack is kept rather than reallocated away. The allocator
      // serves a block as large as one freed before from memory it already
      // has, but a larger one from fresh pages (a new mapping, a page fault
      // for every 4 KB written): shrinking each response to its size would
      // make the next, reserved with room to spare, always larger.
      Py_SET_SIZE(bytes_.get(), Py_ssize_t(size_));
      data_[size_] = '\0';
    }
    data_ = nullptr;
    size_ = cap_ = 0;
    return bytes_.release();
  }

 private:
  [[gnu::noinline]] bool grow(size_t n) {
    // One byte of the bytes object's own allocation stays for its NUL.
    constexpr size_t LIMIT = size_t(PY_SSIZE_T_MAX) - sizeof(PyBytesObject);
    if (n > LIMIT - size_) {
      PyErr_NoMemory();
      return false;
    }
    size_t want = size_ + n;
    // Twice the room, or what is asked for when that is more (a size hint):
    // rounding a hint up to a power of two would waste up to half of it.
    size_t cap = cap_ > LIMIT / 2 ? LIMIT : cap_ * 2;
    if (cap < want) cap = want;
    if (!bytes_) {
      bytes_ = Object::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(cap)));
      if (!bytes_) return false;
      std::memcpy(PyBytes_AS_STRING(bytes_.get()), inline_, size_);
    } else if (!resize(cap)) {
      return false;
    }
    data_ = PyBytes_AS_STRING(bytes_.get());
    cap_ = cap;
    return true;
  }

  // _PyBytes_Resize reallocates the object we hold the only reference to; on
  // failure it has already released it.
  bool resize(size_t size) {
    PyObject* raw = bytes_.release();
    int failed = _PyBytes_Resize(&raw, Py_ssize_t(size));
    bytes_ = Object::steal(raw);
    return failed == 0;
  }

  Object bytes_;  // empty while the text fits in inline_
  char* data_ = inline_;
  size_t size_ = 0;
  size_t cap_ = INLINE_CAPACITY;
  char inline_[INLINE_CAPACITY];
};

}  // namespace
}  // namespace qc::json_encode
