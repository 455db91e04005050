// The keys of the schema that CompiledSerializer reads: the entry dicts of
// read_fields and write_fields and the kind dicts inside them ("get", "repr",
// "val", relation steps). The parsers read their keys from this list, and
// the Python side defines the same keys, with the shape of each dict, in
// quorvel_core/schema_keys.py (SCHEMA_KEYS); the tests compare the two lists,
// so a key is added to both or to neither. Each key appears once, whatever
// number of dicts use it: expand QC_SCHEMA_KEYS with a macro X(key) to get
// one item per key, e.g. the key's text with #key. The readers take their key
// as one of the constants below (`keys::source_attrs`), never as a literal, so
// a key the parsers read is always in this list.
#pragma once

#define QC_SCHEMA_KEYS(X)                                                              \
  /* entries */                                                                      \
  X(name) X(field) X(get) X(repr) X(source_attrs) X(validate_method) X(validate_name) \
  X(validate_on_class) X(val) X(skip_when_missing) X(skip_when_partial) X(allow_null)  \
  X(python_validators) X(validators_stand_in)                                          \
  /* every kind */                                                                   \
  X(type)                                                                            \
  /* value access and relation steps */                                              \
  X(attrs) X(attname) X(from_dict) X(kind) X(cache_name) X(null) X(model) X(required) \
  /* representation */                                                              \
  X(decimal_places) X(max_digits) X(coerce_to_string) X(timezone) X(use_tz) X(map)    \
  X(child) X(child_field) X(serializer) X(many) X(method) X(method_name)              \
  /* validation */                                                                  \
  X(allow_blank) X(trim_whitespace) X(email) X(max_length) X(min_length) X(max_value) \
  X(min_value) X(child_allow_null) X(allow_empty)

namespace qc::keys {

#define QC_SCHEMA_KEY_TEXT(key) inline constexpr const char* key = #key;
QC_SCHEMA_KEYS(QC_SCHEMA_KEY_TEXT)
#undef QC_SCHEMA_KEY_TEXT

}  // namespace qc::keys
