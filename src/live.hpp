// The live DRF objects that plans call into.
//
// A plan compiled from one serializer instance holds that instance's field
// objects. A plan shared by every instance of a class holds none: where Python
// code must run (a field's own method, a hook, a SerializerMethodField), the
// loop finds the current serializer's own object at that moment, through the
// serializer's `fields`, which DRF builds on first use. Nothing is looked up
// while the native code can answer alone, so a serializer whose values are all
// handled natively never builds its field objects.
#pragma once

#include "object.hpp"

namespace qc {

// One lazily found object: given outright, or reached from a parent by one
// step (`parent.fields[name]`, or `parent.child` for a list's child). A Live
// lives on the stack of the call it serves and refers to its parent, which
// must outlive it; what it finds is kept until it goes.
class Live {
 public:
  // `obj` (borrowed, outliving this), or nothing: then `get()` reports that
  // the plan needs the serializer it runs for.
  static Live given(PyObject* obj) noexcept { return Live(nullptr, obj, Step::given, obj); }
  // The field called `name` (borrowed, interned) of the serializer `parent`.
  static Live field(const Live& parent, PyObject* name) noexcept {
    return Live(&parent, name, Step::field, nullptr);
  }
  // The `child` of `parent`: a ListSerializer's serializer, a ListField's field.
  static Live child(const Live& parent) noexcept {
    return Live(&parent, nullptr, Step::child, nullptr);
  }

  Live(const Live&) = delete;
  Live& operator=(const Live&) = delete;
  Live(Live&&) = delete;

  // The object (borrowed, valid while this lives), found on first call;
  // nullptr with an error set.
  PyObject* get() const;
  // Whether the object is known without running any Python code.
  bool found() const noexcept { return value_ != nullptr; }
  // The object this one is reached from; nullptr for a given one.
  const Live* parent() const noexcept { return parent_; }
  // The given object this one is reached from (itself when given).
  const Live& origin() const noexcept {
    const Live* live = this;
    while (live->parent_) live = live->parent_;
    return *live;
  }

 private:
  enum class Step : uint8_t { given, field, child };
  Live(const Live* parent, PyObject* key, Step step, PyObject* value) noexcept
      : parent_(parent), key_(key), step_(step), value_(value) {}

  const Live* parent_;
  PyObject* key_;  // the field name (field step), or the given object
  Step step_;
  mutable PyObject* value_;  // borrowed from the caller (given) or from owned_
  mutable Object owned_;
};

}  // namespace qc
