#include "getattr.hpp"

#include "config.hpp"

namespace qc {

namespace {

// Indexed by Get::Form and Relation::Kind; the parsers match schema text
// against the same tables that describe() reports from.
constexpr std::string_view GET_FORM_NAMES[] = {"attrs", "many", "star", "pk_attname", "python"};
constexpr std::string_view RELATION_KIND_NAMES[] = {"forward", "reverse_one", "many"};

constexpr const char* UNKNOWN_GET_TYPE = "unknown get type '%U'";
constexpr const char* UNKNOWN_RELATION_KIND = "unknown relation kind '%U'";

OnceSlot GET_ATTRIBUTE;

// The keys of a relation step, in the order in which errors are reported.
bool parse_relation_step(PyObject* dict, Step& step) {
  Object kind_obj;
  std::string_view kind_text;
  if (!req_text(dict, "kind", kind_obj, kind_text)) return false;
  Relation& r = step.relation;
  r.cache_name = req_interned(dict, "cache_name");
  if (!r.cache_name) return false;
  int kind = name_index(RELATION_KIND_NAMES, kind_text);
  switch ((Relation::Kind)kind) {
    case Relation::Kind::forward: {
      int null = opt_bool(dict, "null", false);
      if (null < 0) return false;
      r.null = null;
      break;
    }
    case Relation::Kind::reverse_one:
      break;
    case Relation::Kind::many: {
      Lookup required = req_item(dict, "required");
      if (!required.ok || !str_list(required.value.get(), r.required)) return false;
      break;
    }
    default:
      PyErr_Format(PyExc_ValueError, UNKNOWN_RELATION_KIND, kind_obj.get());
      return false;
  }
  r.kind = (Relation::Kind)kind;
  step.kind = Step::Kind::relation;
  step.name = req_interned(dict, "name");
  if (!step.name) return false;
  Lookup model = req_item(dict, "model");
  if (!model.ok) return false;
  if (!PyType_Check(model.value.get())) return type_mismatch(model.value.get(), "type"), false;
  step.model = std::move(model.value);
  return true;
}

bool parse_step(PyObject* item, Step& step) {
  if (PyDict_Check(item)) return parse_relation_step(item, step);
  if (!PyUnicode_Check(item)) return type_mismatch(item, "str"), false;
  step.name = interned_copy(item);
  return (bool)step.name;
}

bool parse_chain(PyObject* dict, Get& out) {
  Lookup attrs = req_item(dict, "attrs");
  if (!attrs.ok) return false;
  std::vector<Step> steps;
  if (!parse_steps(attrs.value.get(), steps)) return false;
  out.payload = std::move(steps);
  return true;
}

bool parse_pk_attname(PyObject* dict, Get& out) {
  Get::PkAttname pk;
  pk.attname = req_interned(dict, "attname");
  if (!pk.attname) return false;
  int from_dict = opt_bool(dict, "from_dict", false);
  if (from_dict < 0) return false;
  pk.from_dict = from_dict;
  out.payload = std::move(pk);
  return true;
}

}  // namespace

const char* Relation::kind_name(Kind kind) noexcept {
  return RELATION_KIND_NAMES[(size_t)kind].data();
}

int Step::visit(visitproc visit, void* arg) const {
  Py_VISIT(name.get());
  Py_VISIT(relation.cache_name.get());
  for (const Object& attr : relation.required) Py_VISIT(attr.get());
  Py_VISIT(model.get());
  return 0;
}

bool parse_steps(PyObject* list, std::vector<Step>& out) {
  out.clear();
  if (!PyList_Check(list)) return type_mismatch(list, "list"), false;
  std::vector<Step> steps;
  bool ok = for_each_list_item(list, [&](PyObject* item) {
    Step step;
    if (!parse_step(item, step)) return false;
    steps.push_back(std::move(step));
    return true;
  });
  if (ok) out = std::move(steps);
  return ok;
}

bool Get::parse(PyObject* dict, Get& out) {
  Object type_obj;
  std::string_view type_text;
  if (!req_text(dict, "type", type_obj, type_text)) return false;
  Get get;
  int form = name_index(GET_FORM_NAMES, type_text);
  switch ((Form)form) {
    case Form::attrs:
    case Form::many:
      if (!parse_chain(dict, get)) return false;
      break;
    case Form::pk_attname:
      if (!parse_pk_attname(dict, get)) return false;
      break;
    case Form::star:
    case Form::python:
      break;
    default:
      PyErr_Format(PyExc_ValueError, UNKNOWN_GET_TYPE, type_obj.get());
      return false;
  }
  get.form = (Form)form;
  out = std::move(get);
  return true;
}

const char* Get::form_name(Form form) noexcept { return GET_FORM_NAMES[(size_t)form].data(); }

int Get::visit(visitproc visit, void* arg) const {
  if (const auto* steps = std::get_if<std::vector<Step>>(&payload)) {
    for (const Step& step : *steps) {
      if (int r = step.visit(visit, arg)) return r;
    }
  } else if (const auto* pk = std::get_if<PkAttname>(&payload)) {
    Py_VISIT(pk->attname.get());
  }
  return 0;
}

Access python_get(const Config& config, PyObject* field, PyObject* instance) {
  PyObject* name = intern_once(GET_ATTRIBUTE, "get_attribute");
  if (!name) return {Access::Status::error, Object()};
  Object value = Object::steal(PyObject_CallMethodOneArg(field, name, instance));
  if (value) return {Access::Status::value, std::move(value)};
  if (!PyErr_ExceptionMatches(config.skip_field.get())) return {Access::Status::error, Object()};
  PyErr_Clear();
  return {Access::Status::skip, Object()};
}

}  // namespace qc
