#include "uuid.hpp"

#include "../object.hpp"
#include "../text.hpp"

namespace qc {

std::optional<u128> parse_uuid(std::string_view text) noexcept {
  bool hyphenated = text.size() == 36;
  if (!hyphenated && text.size() != 32) return std::nullopt;
  u128 value = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    int digit = text::hex_value(text[i]);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | (u128)digit;
  }
  return value;
}

namespace {

// object.__setattr__(instance, name, value), which writes a slot even where
// the class forbids it (UUID's own __setattr__ raises).
bool set_slot(PyObject* instance, PyObject* name, PyObject* value) {
  return name && PyObject_GenericSetAttr(instance, name, value) == 0;
}

}  // namespace

Object new_uuid(u128 value) {
  PyObject* cls = uuid_type();
  PyObject* new_name = names::dunder_new();
  if (!cls || !new_name) return Object();
  // UUID inherits object.__new__; calling its slot directly skips the lookup.
  PyTypeObject* type = (PyTypeObject*)cls;
  Object instance = Object::steal(
      type->tp_new == PyBaseObject_Type.tp_new ? type->tp_new(type, empty_tuple(), nullptr)
                                               : PyObject_CallMethodOneArg(cls, new_name, cls));
  if (!instance) return Object();
  Object number = Object::steal(PyLong_FromNativeBytes(
      &value, sizeof value, Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER));
  if (!number || !set_slot(instance.get(), names::int_(), number.get()))
    return Object();
  PyObject* unknown = safe_uuid_unknown();
  if (!unknown ||
      !set_slot(instance.get(), names::is_safe(), unknown))
    return Object();
  return instance;
}

}  // namespace qc
