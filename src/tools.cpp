#include "tools.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace qc {

// ---------------------------------------------------------------------------
// Errors.

PyObject* type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                 Py_TYPE(obj)->tp_name, expected);
  }
  return nullptr;
}

void prefix_argument_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Object exc = Object::steal(PyErr_GetRaisedException());
  Object text = Object::steal(PyObject_Str(exc.get()));
  if (!text) {
    PyErr_SetRaisedException(exc.release());
    return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

static OnceSlot INTERNAL_ERROR;

PyObject* internal_error_type() {
  return INTERNAL_ERROR.get([] {
    return PyErr_NewExceptionWithDoc(
        "quorvel_core._quorvel_core.InternalError",
        "An internal invariant of quorvel_core was broken (a bug; please report it).",
        PyExc_BaseException, nullptr);
  });
}

PyObject* internal_error(const char* message) {
  if (PyObject* type = internal_error_type()) PyErr_SetString(type, message);
  return nullptr;
}

void set_error_from_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    internal_error(e.what());
  } catch (...) {
    internal_error("an unknown C++ exception reached the interpreter");
  }
}

PyObject* intern_once(OnceSlot& slot, const char* text) {
  return slot.get([text] { return PyUnicode_InternFromString(text); });
}

// ---------------------------------------------------------------------------
// Argument binding.

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const Signature& sig, size_t positional, size_t required,
                         Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (required == positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.display, positional, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.display, required, positional, given, verb);
  }
  return false;
}

bool report_missing(const Signature& sig, PyObject** out) {
  bool complete = true;
  for (size_t i = 0; i < sig.params.size(); ++i) complete &= !sig.params[i].required || out[i];
  if (complete) return true;
  for (bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only == keyword_only && p.required && !out[i]) missing.push_back(p.name);
    }
    if (missing.empty()) continue;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required %s argument%s: %s", sig.display,
                 missing.size(), keyword_only ? "keyword" : "positional",
                 missing.size() == 1 ? "" : "s", join_names(missing).c_str());
    return false;
  }
  return true;
}

// Whether the str `name` spells `text`. Keyword names are ASCII in practice
// and compared in place (both texts end in a NUL, where strncmp stops).
bool spells(PyObject* name, const char* text) {
  if (PyUnicode_IS_ASCII(name)) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(name));
    const char* data = static_cast<const char*>(PyUnicode_DATA(name));
    return data[0] == text[0] && std::strncmp(data, text, n) == 0 && text[n] == '\0';
  }
  return PyUnicode_EqualToUTF8AndSize(name, text, (Py_ssize_t)std::strlen(text));
}

// Places one keyword argument; false with TypeError set.
bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** out) {
  const size_t count = PyUnicode_Check(name) ? sig.params.size() : 0;
  for (size_t i = 0; i < count; ++i) {
    const char* pname = sig.params[i].name;
    if (!spells(name, pname)) continue;
    if (out[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                   pname);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.display,
               name);
  return false;
}

// Places the entries of a keyword dict. The dict is normally the call's own;
// a C caller may pass one that other threads can reach, and the walk must not
// meet it mid-change. The values are borrowed for the call, as the positional
// arguments are.
bool bind_keywords(const Signature& sig, PyObject* kwargs, PyObject** out) {
  CriticalSection section(kwargs);
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (PyDict_Next(kwargs, &pos, &name, &value)) {
    if (!bind_keyword(sig, name, value, out)) return false;
  }
  return true;
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** out) {
  size_t positional = 0, required = 0;
  for (const Param& p : sig.params) {
    if (p.keyword_only) continue;
    ++positional;
    if (p.required) ++required;
  }
  if ((size_t)nargs > positional) return too_many_positional(sig, positional, required, nargs);
  for (size_t i = 0; i < sig.params.size(); ++i) out[i] = nullptr;
  // Positional-or-keyword parameters come first in every signature.
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  return true;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  return report_missing(sig, out);
}

bool bind_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
  if (kwargs && !bind_keywords(sig, kwargs, out)) return false;
  return report_missing(sig, out);
}

// ---------------------------------------------------------------------------
// Schema-reading helpers.

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

// ---------------------------------------------------------------------------
// str.strip() over UTF-8.

namespace {

bool is_space(uint32_t c) {
  if (c <= 0x20) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
  switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the code point starting at s[i]; sets `len`. Text is valid UTF-8.
uint32_t decode_at(std::string_view s, size_t i, size_t& len) {
  auto b = [&](size_t k) { return (uint32_t)(unsigned char)s[i + k]; };
  uint32_t c = b(0);
  if (c < 0x80) return len = 1, c;
  if (c < 0xE0 && i + 1 < s.size()) return len = 2, ((c & 0x1F) << 6) | (b(1) & 0x3F);
  if (c < 0xF0 && i + 2 < s.size())
    return len = 3, ((c & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  if (i + 3 < s.size())
    return len = 4, ((c & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) |
                        (b(3) & 0x3F);
  return len = 1, 0xFFFD;
}

}  // namespace

std::string_view py_strip(std::string_view text) noexcept {
  size_t start = 0, len = 0;
  while (start < text.size() && is_space(decode_at(text, start, len))) start += len;
  size_t end = text.size();
  while (end > start) {
    size_t lead = end - 1;  // back up to the first byte of the last code point
    while (lead > start && ((unsigned char)text[lead] & 0xC0) == 0x80) --lead;
    if (!is_space(decode_at(text, lead, len))) break;
    end = lead;
  }
  return text.substr(start, end - start);
}

// ---------------------------------------------------------------------------
// Cached standard-library objects.

namespace {

// Imports `module`, follows the dotted attribute path and, if `must_be_class`,
// checks the result is a class. New reference or nullptr.
PyObject* import_attr(const char* module, std::initializer_list<const char*> path,
                      bool must_be_class) {
  Object obj = Object::steal(PyImport_ImportModule(module));
  for (const char* attr : path) {
    if (!obj) return nullptr;
    obj = Object::steal(PyObject_GetAttrString(obj.get(), attr));
  }
  if (!obj) return nullptr;
  if (must_be_class && !PyType_Check(obj.get())) return type_mismatch(obj.get(), "type");
  return obj.release();
}

OnceSlot EMPTY_TUPLE, DECIMAL, UUID, TIMEZONE, MAPPING, SAFE_UUID_UNKNOWN;

}  // namespace

PyObject* empty_tuple() {
  return EMPTY_TUPLE.get([] { return PyTuple_New(0); });
}

PyObject* decimal_type() {
  return DECIMAL.get([] { return import_attr("decimal", {"Decimal"}, true); });
}
PyObject* uuid_type() {
  return UUID.get([] { return import_attr("uuid", {"UUID"}, true); });
}
PyObject* timezone_type() {
  return TIMEZONE.get([] { return import_attr("datetime", {"timezone"}, true); });
}
PyObject* mapping_type() {
  return MAPPING.get([] { return import_attr("collections.abc", {"Mapping"}, true); });
}
PyObject* safe_uuid_unknown() {
  return SAFE_UUID_UNKNOWN.get(
      [] { return import_attr("uuid", {"SafeUUID", "unknown"}, false); });
}

// ---------------------------------------------------------------------------
// NON_MAPPING_TYPES. The mutex is held only for the scan, the eviction and the
// append; the evicted reference is dropped after unlocking, since releasing a
// type may run arbitrary Python code.

namespace non_mapping_types {
namespace {
PyMutex MUTEX{};
std::vector<PyTypeObject*> NON_MAPPING_TYPES;  // strong references, oldest first
}  // namespace

bool contains(PyTypeObject* type) {
  MutexLock lock(MUTEX);
  for (PyTypeObject* t : NON_MAPPING_TYPES)
    if (t == type) return true;
  return false;
}

void add(PyTypeObject* type) {
  Object added = Object::borrow((PyObject*)type);
  Object evicted;  // declared first: dropped after the lock is released
  MutexLock lock(MUTEX);
  // Threads that met the same new type at once each add it; one entry is kept.
  for (PyTypeObject* t : NON_MAPPING_TYPES)
    if (t == type) return;
  if (NON_MAPPING_TYPES.empty()) NON_MAPPING_TYPES.reserve(CAPACITY);  // the only allocation
  if (NON_MAPPING_TYPES.size() >= CAPACITY) {
    evicted = Object::steal((PyObject*)NON_MAPPING_TYPES.front());
    NON_MAPPING_TYPES.erase(NON_MAPPING_TYPES.begin());
  }
  NON_MAPPING_TYPES.push_back((PyTypeObject*)added.release());
}

}  // namespace non_mapping_types

}  // namespace qc
