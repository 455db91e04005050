// The module's process-wide table of interned names and cached classes and
// objects; every entry is filled once, with no lock held (see OnceSlot).
#include "module_state.hpp"

// The header defines a per-file API pointer that this file does not use: the
// capsule is read once below, into process-wide storage.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include <atomic>
#include <initializer_list>
#include <iterator>
#include <vector>

#include "boundary.hpp"
#include "guards.hpp"
#include "object.hpp"

namespace qc {

// ---------------------------------------------------------------------------
// Interned attribute names.

namespace module_state {

OnceSlot NAMES[size_t(NameId::count)];

namespace {
constexpr const char* NAME_TEXTS[] = {
#define QC_NAME_TEXT(accessor, text) text,
    QC_ATTRIBUTE_NAMES(QC_NAME_TEXT)
#undef QC_NAME_TEXT
};
static_assert(std::size(NAME_TEXTS) == size_t(NameId::count));
}  // namespace

PyObject* intern_name(NameId id) {
  const char* text = NAME_TEXTS[size_t(id)];
  return NAMES[size_t(id)].get([text] { return PyUnicode_InternFromString(text); });
}

}  // namespace module_state

// ---------------------------------------------------------------------------
// Cached standard-library classes and objects.

namespace {

std::atomic<const DateTypes*> DATE_TYPES{nullptr};

OnceSlot EMPTY_TUPLE, DATETIME_MODULE, TIMEZONE_UTCOFFSET, ZONEINFO, DECIMAL, UUID,
    SAFE_UUID_UNKNOWN, MAPPING, ADD_NOTE;

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

}  // namespace

const DateTypes* date_types() {
  if (const DateTypes* t = DATE_TYPES.load(std::memory_order_acquire)) return t;
  // The capsule import is idempotent; racing threads find the same classes.
  auto* api = (const PyDateTime_CAPI*)PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0);
  if (!api) return nullptr;
  static const DateTypes types{api->DateType,  api->DateTimeType,           api->TimeType,
                               api->DeltaType, Py_TYPE(api->TimeZone_UTC), api->TimeZone_UTC,
                               api->DateTime_FromDateAndTimeAndFold, api->Date_FromDate};
  DATE_TYPES.store(&types, std::memory_order_release);
  return &types;
}

PyObject* empty_tuple() {
  return EMPTY_TUPLE.get([] { return PyTuple_New(0); });
}

PyObject* datetime_module() {
  return DATETIME_MODULE.get([] { return PyImport_ImportModule("datetime"); });
}

PyObject* timezone_utcoffset() {
  return TIMEZONE_UTCOFFSET.get([]() -> PyObject* {
    const DateTypes* types = date_types();
    return types ? PyObject_GetAttrString((PyObject*)types->timezone, "utcoffset") : nullptr;
  });
}

PyObject* zoneinfo_type() {
  return ZONEINFO.get([]() -> PyObject* {
    Object module = Object::steal(PyImport_ImportModule("zoneinfo"));
    return module ? PyObject_GetAttrString(module.get(), "ZoneInfo") : nullptr;
  });
}

PyObject* decimal_type() {
  return DECIMAL.get([] { return import_attr("decimal", {"Decimal"}, true); });
}

PyObject* uuid_type() {
  return UUID.get([] { return import_attr("uuid", {"UUID"}, true); });
}

PyObject* safe_uuid_unknown() {
  return SAFE_UUID_UNKNOWN.get(
      [] { return import_attr("uuid", {"SafeUUID", "unknown"}, false); });
}

PyObject* mapping_type() {
  return MAPPING.get([] { return import_attr("collections.abc", {"Mapping"}, true); });
}

PyObject* base_exception_add_note() {
  return ADD_NOTE.get([] { return PyObject_GetAttrString(PyExc_BaseException, "add_note"); });
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
