// CompiledSerializer: one DRF serializer instance compiled into field plans.
#pragma once

#include "access.hpp"
#include "object.hpp"
#include "repr.hpp"
#include "validate.hpp"

#include <cstdint>
#include <vector>

namespace qc {

// The statuses that the companion's validation hooks return with their value;
// the module publishes them as STATUS_OK, STATUS_SKIP and STATUS_ERROR.
enum class HookStatus : uint8_t { ok = 0, skip = 1, error = 2 };

// One output field.
struct ReadField {
  Object name;   // interned; the output key
  Object field;  // the DRF field (any object, None included); empty: the field
                 // of this name of the serializer the call runs for
  Get get;
  Repr repr;
};

// One input field.
struct WriteField {
  Object name;                       // interned; the input key and the error key
  Object field;                      // the DRF field, handed to the hooks; empty: as
                                     // for ReadField
  std::vector<Object> source_attrs;  // interned; empty: the source is the whole object
  Object validate_method;            // empty when the serializer has none
  Object validate_name;              // interned; when set, the method is looked up
                                     // by this name on the serializer at each call
  bool validate_on_class = false;    // the serializer's class has that attribute
  Object validators_stand_in;        // optional: called with the serializer, an object
                                     // that runs the field's validators as it would
  bool allow_null = false;
  bool python_validators = false;    // validators that only Python can run
  bool skip_when_missing = false;    // DRF skips the field when its key is absent
  bool skip_when_partial = false;    // ... and, in a partial update, always does
  Val val;
};

// The compiled schema, immutable once built.
struct Plans {
  std::vector<ReadField> read_fields;
  std::vector<WriteField> write_fields;

  Plans() = default;
  Plans(const Plans&) = delete;
  Plans& operator=(const Plans&) = delete;
  // Releases the read fields in order, then the write fields in order.
  ~Plans();

  int visit(visitproc visit, void* arg) const;
};

struct CompiledSerializerObject {
  PyObject_HEAD
  Plans* plans;  // owned; nullptr once cleared by the garbage collector
};

// The class object, created once per process (borrowed; nullptr on error).
PyObject* compiled_serializer_type();

// True when `obj` is a CompiledSerializer; otherwise false with the
// type-mismatch TypeError naming 'CompiledSerializer' set.
bool check_serializer(PyObject* obj);

// The entries every nested field's schema has: its CompiledSerializer
// ("serializer") and whether it is a list of them ("many"). False with an
// error set.
bool read_nested_schema(PyObject* dict, Object& serializer, bool& many);

// What one dict's field loop came to.
enum class Validation : uint8_t {
  done,       // `validated` holds the validated mapping, `errors` the errors or nothing
  abandoned,  // a nested value failed, and the caller's loop hands the field to DRF
  raised,     // a Python exception is set
};

// The field loop of DRF's Serializer.to_internal_value: validates `data` (a
// dict or subclass) with the write fields of `serializer` (a
// CompiledSerializer) on behalf of the DRF serializer `live`. `outermost`:
// the payload's own loop, which never abandons (it hands a failed nested
// field to DRF itself). `current_tz` may be nullptr.
Validation validate_dict(PyObject* serializer, PyObject* data, PyObject* current_tz,
                         const Live& live, bool outermost, Object& validated, Object& errors);

// The plans of a CompiledSerializer (`self` must be one). An instance cleared
// by the garbage collector behaves as one with no fields.
const Plans& plans_of(PyObject* self) noexcept;

// The representation loop of one serializer (borrowed `serializer`, a
// CompiledSerializer) on behalf of the DRF serializer `live`: an output
// mapping for `instance`, or a list of them for every item of `iterable`.
// New references, or empty with an error set.
Object repr_one(PyObject* serializer, const ReprContext& context, PyObject* instance,
                const Live& live);
Object repr_many(PyObject* serializer, const ReprContext& context, PyObject* iterable,
                 const Live& live);

}  // namespace qc
