#include "repr.hpp"

#include "serializer.hpp"

namespace qc {

namespace {

// Indexed by Repr::Kind. The parser accepts every name here as a "type" except
// nested_many, which is reported for "nested" with "many" set.
constexpr std::string_view REPR_KIND_NAMES[] = {
    "passthrough", "str",  "int",    "float", "bool",        "decimal", "date",
    "datetime",    "time", "uuid",   "choice", "list",       "dict",    "nested",
    "nested_many", "pk",   "pk_many", "method", "model_attr", "python",
};
static_assert(std::size(REPR_KIND_NAMES) == (size_t)Repr::Kind::python + 1);

constexpr const char* UNKNOWN_REPR_TYPE = "unknown repr type '%U'";

bool parse_decimal(PyObject* dict, Repr& out) {
  Repr::Decimal d;
  if (!opt_usize(dict, "decimal_places", d.decimal_places)) return false;
  if (!opt_usize(dict, "max_digits", d.max_digits)) return false;
  int coerce = opt_bool(dict, "coerce_to_string", true);
  if (coerce < 0) return false;
  d.coerce_to_string = coerce;
  out.payload = std::move(d);
  return true;
}

bool parse_choice(PyObject* dict, Repr& out) {
  Lookup map = req_item(dict, "map");
  if (!map.ok) return false;
  if (!PyDict_Check(map.value.get())) return type_mismatch(map.value.get(), "dict"), false;
  out.payload = Repr::Choice{std::move(map.value)};
  return true;
}

bool parse_container(PyObject* dict, Repr& out) {
  Lookup child_schema = req_item(dict, "child");
  if (!child_schema.ok) return false;
  if (!PyDict_Check(child_schema.value.get()))
    return type_mismatch(child_schema.value.get(), "dict"), false;
  auto child = std::make_unique<Repr>();
  if (!Repr::parse(child_schema.value.get(), *child)) return false;
  Lookup child_field = req_item(dict, "child_field");
  if (!child_field.ok) return false;
  out.payload = Repr::Container{std::move(child), std::move(child_field.value)};
  return true;
}

bool parse_nested(PyObject* dict, Repr& out) {
  Lookup serializer = req_item(dict, "serializer");
  if (!serializer.ok || !check_serializer(serializer.value.get())) return false;
  int many = opt_bool(dict, "many", false);
  if (many < 0) return false;
  out.tag = many ? Repr::Kind::nested_many : Repr::Kind::nested;
  out.payload = Repr::Nested{std::move(serializer.value)};
  return true;
}

bool parse_method(PyObject* dict, Repr& out) {
  Lookup method = req_item(dict, "method");
  if (!method.ok) return false;
  out.payload = Repr::Method{std::move(method.value)};
  return true;
}

bool parse_model_attr(PyObject* dict, Repr& out) {
  Object attname = req_interned(dict, "attname");
  if (!attname) return false;
  out.payload = Repr::ModelAttr{std::move(attname)};
  return true;
}

// Reads the keys of the kind named by "type" into `out`.
bool parse_kind(PyObject* dict, Repr& out) {
  Object type_obj;
  std::string_view type_text;
  if (!req_text(dict, "type", type_obj, type_text)) return false;
  int index = name_index(REPR_KIND_NAMES, type_text);
  if (index < 0 || (Repr::Kind)index == Repr::Kind::nested_many) {
    PyErr_Format(PyExc_ValueError, UNKNOWN_REPR_TYPE, type_obj.get());
    return false;
  }
  out.tag = (Repr::Kind)index;
  switch (out.tag) {
    case Repr::Kind::decimal:
      return parse_decimal(dict, out);
    case Repr::Kind::datetime: {
      DateTimeTz tz;
      if (!DateTimeTz::parse(dict, tz)) return false;
      out.payload = std::move(tz);
      return true;
    }
    case Repr::Kind::choice:
      return parse_choice(dict, out);
    case Repr::Kind::list:
    case Repr::Kind::dict:
      return parse_container(dict, out);
    case Repr::Kind::nested:
      return parse_nested(dict, out);
    case Repr::Kind::method:
      return parse_method(dict, out);
    case Repr::Kind::model_attr:
      return parse_model_attr(dict, out);
    default:
      return true;  // no payload
  }
}

}  // namespace

bool DateTimeTz::parse(PyObject* dict, DateTimeTz& out) {
  Lookup zone = opt_item(dict, "timezone");
  if (!zone.ok) return false;
  if (zone.value) {
    out.form = Form::zone;
    out.zone = std::move(zone.value);
    return true;
  }
  int use_tz = opt_bool(dict, "use_tz", false);
  if (use_tz < 0) return false;
  out.form = use_tz ? Form::current : Form::none;
  out.zone.reset();
  return true;
}

Repr& Repr::operator=(Repr&& other) noexcept {
  Repr old(std::move(*this));  // dropped iteratively when this returns
  tag = other.tag;
  payload = std::move(other.payload);
  return *this;
}

std::unique_ptr<Repr> Repr::take_child() noexcept {
  auto* container = std::get_if<Container>(&payload);
  return container ? std::move(container->child) : nullptr;
}

Repr::~Repr() {
  std::unique_ptr<Repr> next = take_child();
  while (next) next = next->take_child();  // each node goes with no child left
}

bool Repr::parse(PyObject* dict, Repr& out) {
  if (Py_EnterRecursiveCall(" while compiling a representation plan")) return false;
  Repr repr;
  bool ok = parse_kind(dict, repr);
  Py_LeaveRecursiveCall();
  if (ok) out = std::move(repr);
  return ok;
}

std::string Repr::kind(const Repr& repr) {
  std::string prefix;
  size_t depth = 0;
  const Repr* r = &repr;
  while (r->tag == Kind::list || r->tag == Kind::dict) {
    prefix += REPR_KIND_NAMES[(size_t)r->tag];
    prefix += '[';
    ++depth;
    r = r->as<Container>().child.get();
  }
  prefix += REPR_KIND_NAMES[(size_t)r->tag];
  prefix.append(depth, ']');
  return prefix;
}

int Repr::visit(visitproc visit, void* arg) const {
  for (const Repr* r = this; r;) {
    const Repr* child = nullptr;
    switch (r->tag) {
      case Kind::datetime:
        Py_VISIT(r->as<DateTimeTz>().zone.get());
        break;
      case Kind::choice:
        Py_VISIT(r->as<Choice>().map.get());
        break;
      case Kind::list:
      case Kind::dict:
        Py_VISIT(r->as<Container>().child_field.get());
        child = r->as<Container>().child.get();
        break;
      case Kind::nested:
      case Kind::nested_many:
        Py_VISIT(r->as<Nested>().serializer.get());
        break;
      case Kind::method:
        Py_VISIT(r->as<Method>().method.get());
        break;
      case Kind::model_attr:
        Py_VISIT(r->as<ModelAttr>().attname.get());
        break;
      default:
        break;
    }
    r = child;
  }
  return 0;
}

}  // namespace qc
