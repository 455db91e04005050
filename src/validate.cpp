#include "validate.hpp"

#include "serializer.hpp"

namespace qc {

namespace {

// Indexed by Val::Kind. The parser accepts every name here as a "type" except
// nested_many, which is reported for "nested" with "many" set.
constexpr std::string_view VAL_KIND_NAMES[] = {
    "char", "int",  "float", "bool",   "decimal",     "date",   "datetime",
    "uuid", "choice", "list", "nested", "nested_many", "python",
};
static_assert(std::size(VAL_KIND_NAMES) == (size_t)Val::Kind::python + 1);

constexpr const char* UNKNOWN_VALIDATOR_TYPE = "unknown validator type '%U'";

// Flag readers that store into a payload field; false with an error set.
bool read_flag(PyObject* dict, const char* key, bool dflt, bool& out) {
  int flag = opt_bool(dict, key, dflt);
  if (flag < 0) return false;
  out = flag;
  return true;
}

bool read_lengths(PyObject* dict, std::optional<uint64_t>& max_length,
                  std::optional<uint64_t>& min_length) {
  return opt_usize(dict, "max_length", max_length) && opt_usize(dict, "min_length", min_length);
}

// An optional signed 64-bit bound, converted with the interpreter's integer
// conversion (so floats are refused and __index__ is honoured).
bool read_int_bound(PyObject* dict, const char* key, std::optional<int64_t>& out) {
  Lookup r = opt_item(dict, key);
  if (!r.ok) return false;
  if (!r.value) return true;
  long long v = PyLong_AsLongLong(r.value.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool read_float_bound(PyObject* dict, const char* key, std::optional<double>& out) {
  Lookup r = opt_item(dict, key);
  if (!r.ok) return false;
  if (!r.value) return true;
  PyObject* v = r.value.get();
  if (PyFloat_CheckExact(v)) {
    out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool parse_char(PyObject* dict, Val& out) {
  Val::Char c;
  bool ok = read_flag(dict, "allow_blank", false, c.allow_blank) &&
            read_flag(dict, "trim_whitespace", true, c.trim_whitespace) &&
            read_lengths(dict, c.max_length, c.min_length) &&
            read_flag(dict, "email", false, c.email);
  if (ok) out.payload = std::move(c);
  return ok;
}

bool parse_int(PyObject* dict, Val& out) {
  Val::Int i;
  bool ok = read_int_bound(dict, "max_value", i.max_value) &&
            read_int_bound(dict, "min_value", i.min_value);
  if (ok) out.payload = i;
  return ok;
}

bool parse_float(PyObject* dict, Val& out) {
  Val::Float f;
  bool ok = read_float_bound(dict, "max_value", f.max_value) &&
            read_float_bound(dict, "min_value", f.min_value);
  if (ok) out.payload = f;
  return ok;
}

bool parse_bool(PyObject* dict, Val& out) {
  Val::Bool b;
  bool ok = read_flag(dict, "allow_null", false, b.allow_null);
  if (ok) out.payload = b;
  return ok;
}

bool parse_decimal(PyObject* dict, Val& out) {
  Val::Decimal d;
  bool ok = opt_usize(dict, "max_digits", d.max_digits) &&
            opt_usize(dict, "decimal_places", d.decimal_places);
  if (ok) out.payload = d;
  return ok;
}

bool parse_choice(PyObject* dict, Val& out) {
  Lookup map = req_item(dict, "map");
  if (!map.ok) return false;
  if (!PyDict_Check(map.value.get())) return type_mismatch(map.value.get(), "dict"), false;
  Val::Choice c;
  c.map = std::move(map.value);
  if (!read_flag(dict, "allow_blank", false, c.allow_blank)) return false;
  out.payload = std::move(c);
  return true;
}

bool parse_nested(PyObject* dict, Val& out) {
  Lookup serializer = req_item(dict, "serializer");
  if (!serializer.ok || !check_serializer(serializer.value.get())) return false;
  bool many = false;
  if (!read_flag(dict, "many", false, many)) return false;
  if (!many) {
    out.tag = Val::Kind::nested;
    out.payload = Val::Nested{std::move(serializer.value)};
    return true;
  }
  Val::NestedMany n;
  n.serializer = std::move(serializer.value);
  if (!read_flag(dict, "allow_empty", true, n.allow_empty) ||
      !read_lengths(dict, n.max_length, n.min_length))
    return false;
  out.tag = Val::Kind::nested_many;
  out.payload = std::move(n);
  return true;
}

bool parse_list(PyObject* dict, Val& out) {
  Lookup child_schema = req_item(dict, "child");
  if (!child_schema.ok) return false;
  if (!PyDict_Check(child_schema.value.get()))
    return type_mismatch(child_schema.value.get(), "dict"), false;
  Val::List l;
  l.child = std::make_unique<Val>();
  bool ok = Val::parse(child_schema.value.get(), *l.child) &&
            read_flag(dict, "child_allow_null", false, l.child_allow_null) &&
            read_flag(dict, "allow_empty", true, l.allow_empty) &&
            read_lengths(dict, l.max_length, l.min_length);
  if (ok) out.payload = std::move(l);
  return ok;
}

// Reads the keys of the kind named by "type" into `out`.
bool parse_kind(PyObject* dict, Val& out) {
  Object type_obj;
  std::string_view type_text;
  if (!req_text(dict, "type", type_obj, type_text)) return false;
  int index = name_index(VAL_KIND_NAMES, type_text);
  if (index < 0 || (Val::Kind)index == Val::Kind::nested_many) {
    PyErr_Format(PyExc_ValueError, UNKNOWN_VALIDATOR_TYPE, type_obj.get());
    return false;
  }
  out.tag = (Val::Kind)index;
  switch (out.tag) {
    case Val::Kind::char_:
      return parse_char(dict, out);
    case Val::Kind::int_:
      return parse_int(dict, out);
    case Val::Kind::float_:
      return parse_float(dict, out);
    case Val::Kind::bool_:
      return parse_bool(dict, out);
    case Val::Kind::decimal:
      return parse_decimal(dict, out);
    case Val::Kind::datetime: {
      DateTimeTz tz;
      if (!DateTimeTz::parse(dict, tz)) return false;
      out.payload = std::move(tz);
      return true;
    }
    case Val::Kind::choice:
      return parse_choice(dict, out);
    case Val::Kind::list:
      return parse_list(dict, out);
    case Val::Kind::nested:
      return parse_nested(dict, out);
    default:
      return true;  // date, uuid, python: no payload
  }
}

}  // namespace

Val& Val::operator=(Val&& other) noexcept {
  Val old(std::move(*this));  // dropped iteratively when this returns
  tag = other.tag;
  payload = std::move(other.payload);
  return *this;
}

std::unique_ptr<Val> Val::take_child() noexcept {
  auto* list = std::get_if<List>(&payload);
  return list ? std::move(list->child) : nullptr;
}

Val::~Val() {
  std::unique_ptr<Val> next = take_child();
  while (next) next = next->take_child();  // each node goes with no child left
}

bool Val::parse(PyObject* dict, Val& out) {
  if (Py_EnterRecursiveCall(" while compiling a validator plan")) return false;
  Val val;
  bool ok = parse_kind(dict, val);
  Py_LeaveRecursiveCall();
  if (ok) out = std::move(val);
  return ok;
}

std::string Val::kind(const Val& val) {
  std::string text;
  size_t depth = 0;
  const Val* v = &val;
  while (v->tag == Kind::list) {
    text += VAL_KIND_NAMES[(size_t)Kind::list];
    text += '[';
    ++depth;
    v = v->as<List>().child.get();
  }
  text += VAL_KIND_NAMES[(size_t)v->tag];
  text.append(depth, ']');
  return text;
}

int Val::visit(visitproc visit, void* arg) const {
  for (const Val* v = this; v;) {
    const Val* child = nullptr;
    switch (v->tag) {
      case Kind::datetime:
        Py_VISIT(v->as<DateTimeTz>().zone.get());
        break;
      case Kind::choice:
        Py_VISIT(v->as<Choice>().map.get());
        break;
      case Kind::list:
        child = v->as<List>().child.get();
        break;
      case Kind::nested:
        Py_VISIT(v->as<Nested>().serializer.get());
        break;
      case Kind::nested_many:
        Py_VISIT(v->as<NestedMany>().serializer.get());
        break;
      default:
        break;
    }
    v = child;
  }
  return 0;
}

}  // namespace qc
