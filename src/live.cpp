#include "live.hpp"

#include "module_state.hpp"
#include "object.hpp"

namespace qc {

namespace {

constexpr const char* NO_SERIALIZER =
    "this plan holds no field objects: pass the serializer it runs for as 'serializer'";

// `serializer.fields[name]`: DRF builds the fields on first access.
Object serializer_field(PyObject* serializer, PyObject* name) {
  PyObject* attr = names::fields();
  Object fields = Object::steal(attr ? PyObject_GetAttr(serializer, attr) : nullptr);
  return Object::steal(fields ? PyObject_GetItem(fields.get(), name) : nullptr);
}

Object child_of(PyObject* obj) {
  PyObject* attr = names::child();
  return Object::steal(attr ? PyObject_GetAttr(obj, attr) : nullptr);
}

}  // namespace

PyObject* Live::get() const {
  if (value_) return value_;
  if (step_ == Step::given) {
    PyErr_SetString(PyExc_TypeError, NO_SERIALIZER);
    return nullptr;
  }
  PyObject* from = parent_->get();
  if (!from) return nullptr;
  Object found = step_ == Step::field ? serializer_field(from, key_) : child_of(from);
  if (!found) return nullptr;
  owned_ = std::move(found);
  value_ = owned_.get();
  return value_;
}

}  // namespace qc
