// Readers of the schema dicts that the companion package builds.
#include "schema_read.hpp"

#include <utility>

#include "boundary.hpp"
#include "lists.hpp"
#include "object.hpp"

namespace qc {

bool any_item(PyObject* dict, const char* key, Object& out) {
  out.reset();
  Object name = Object::steal(PyUnicode_FromString(key));
  if (!name) return false;
  PyObject* value = nullptr;
  if (PyDict_GetItemRef(dict, name.get(), &value) < 0) return false;
  out = Object::steal(value);
  return true;
}

bool opt_item(PyObject* dict, const char* key, Object& out) {
  if (!any_item(dict, key, out)) return false;
  if (out.get() == Py_None) out.reset();
  return true;
}

Object req_item(PyObject* dict, const char* key) {
  Object value;
  if (any_item(dict, key, value) && !value)
    PyErr_Format(PyExc_KeyError, "schema is missing '%s'", key);
  return value;
}

Object req_dict(PyObject* dict, const char* key) {
  Object value = req_item(dict, key);
  if (value && !PyDict_Check(value.get())) return type_mismatch(value.get(), "dict"), Object();
  return value;
}

bool opt_bool(PyObject* dict, const char* key, bool dflt, bool& out) {
  Object value;
  if (!opt_item(dict, key, value)) return false;
  int flag = value ? PyObject_IsTrue(value.get()) : dflt;
  if (flag < 0) return false;
  out = flag;
  return true;
}

bool opt_usize(PyObject* dict, const char* key, std::optional<uint64_t>& out) {
  out.reset();
  Object value;
  if (!opt_item(dict, key, value)) return false;
  if (!value) return true;
  Object number = PyLong_Check(value.get()) ? value : Object::steal(PyNumber_Index(value.get()));
  if (!number) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
  if (v == (unsigned long long)-1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool str_list(PyObject* obj, std::vector<Object>& out) {
  out.clear();
  if (!PyList_Check(obj)) return type_mismatch(obj, "list"), false;
  std::vector<Object> items;
  bool ok = for_each_list_item(obj, [&](PyObject* item) {
    if (!PyUnicode_Check(item)) return type_mismatch(item, "str"), false;
    Object copy = interned_copy(item);
    if (!copy) return false;
    items.push_back(std::move(copy));
    return true;
  });
  if (ok) out = std::move(items);
  return ok;
}

Object interned_copy(PyObject* str) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (!utf8) return Object();
  PyObject* copy = PyUnicode_FromStringAndSize(utf8, size);
  if (copy) PyUnicode_InternInPlace(&copy);
  return Object::steal(copy);
}

Object req_interned(PyObject* dict, const char* key) {
  Object value = req_item(dict, key);
  if (!value) return Object();
  if (!PyUnicode_Check(value.get())) return type_mismatch(value.get(), "str"), Object();
  return interned_copy(value.get());
}

bool req_text(PyObject* dict, const char* key, Object& holder, std::string_view& text) {
  Object value = req_item(dict, key);
  if (!value) return false;
  if (!PyUnicode_Check(value.get())) return type_mismatch(value.get(), "str"), false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
  if (!utf8) return false;
  holder = std::move(value);
  text = std::string_view(utf8, (size_t)size);
  return true;
}

}  // namespace qc
