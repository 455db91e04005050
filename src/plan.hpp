// The shape every compiled plan shares: a tag that says what the plan does,
// and a payload whose alternative the tag fixes.
#pragma once

#include "guards.hpp"
#include "object.hpp"
#include "schema_read.hpp"

#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace qc {

// `Plan<Shape>` is a tagged variant; what differs between plans is given by
// `Shape` (a struct of types and static functions only):
//   Kind                the tag; `python` (hand everything to DRF) comes last
//   Payload             a std::variant whose first alternative is std::monostate
//   KIND_NAMES          indexed by Kind: the "type" text of the schema (a
//                       nested_many kind is named "nested" with "many" set)
//   UNKNOWN_TYPE        the ValueError format for a "type" it does not name
//   RECURSION_WHERE     what a RecursionError while parsing is noted with
//   child_slot(payload) the nested plan of a container kind, or nullptr
//   parse_payload(dict, plan)   reads the keys of plan.tag's kind; false with
//                               an error set
// A payload that holds Python objects has `int visit(visitproc, void*) const`.
template <class Shape>
struct Plan : Shape {
  using Kind = typename Shape::Kind;
  static_assert(std::size(Shape::KIND_NAMES) == (size_t)Kind::python + 1);

  Kind tag = Kind::python;
  typename Shape::Payload payload;

  // The payload the tag fixes. Asking for another one is a fault of this
  // module: std::bad_variant_access, which the interpreter boundary turns
  // into the internal-error class.
  template <class Payload>
  const Payload& as() const {
    return std::get<Payload>(payload);
  }

  // Fills a new `Payload` with `read` (false with an error set) and makes it
  // the payload; when reading fails the payload stays as it was.
  template <class Payload, class Read>
  bool read_payload(Read&& read) {
    Payload fresh;
    if (!read(fresh)) return false;
    payload = std::move(fresh);
    return true;
  }

  // The nested plan of a container kind, or nullptr.
  const Plan* child() const noexcept {
    auto* slot = Shape::child_slot(const_cast<typename Shape::Payload&>(payload));
    return slot ? slot->get() : nullptr;
  }

  Plan() = default;
  Plan(Plan&&) noexcept = default;
  Plan& operator=(Plan&& other) noexcept {
    Plan old(std::move(*this));  // dropped iteratively when this returns
    tag = other.tag;
    payload = std::move(other.payload);
    return *this;
  }
  // Children are released one after another rather than recursively, so a
  // plan of any depth is dropped without deep native recursion.
  ~Plan() {
    std::unique_ptr<Plan> next = take_child();
    while (next) next = next->take_child();  // each node goes with no child left
  }

  // Parses a schema dict (the caller has checked that it is a dict). Nested
  // plans are parsed recursively under the interpreter's recursion guard.
  // False with an error set; `out` is then unchanged.
  static bool parse(PyObject* dict, Plan& out) {
    RecursionGuard guard(Shape::RECURSION_WHERE);
    if (!guard.entered()) return false;
    Object type_obj;
    std::string_view type_text;
    if (!req_text(dict, keys::type, type_obj, type_text)) return false;
    int index = name_index(Shape::KIND_NAMES, type_text);
    if (index < 0 || !named_by_type((Kind)index)) {
      PyErr_Format(PyExc_ValueError, Shape::UNKNOWN_TYPE, type_obj.get());
      return false;
    }
    Plan plan;
    plan.tag = (Kind)index;
    if (!Shape::parse_payload(dict, plan)) return false;
    out = std::move(plan);
    return true;
  }

  // Whether the schema's "type" may name `kind`.
  static constexpr bool named_by_type(Kind kind) noexcept {
    if constexpr (requires { Kind::nested_many; }) return kind != Kind::nested_many;
    return true;
  }

  static std::string_view name(Kind kind) noexcept { return Shape::KIND_NAMES[(size_t)kind]; }

  // The kind name, with "<container>[...]" around each nested plan's.
  static std::string kind(const Plan& plan) {
    std::string text;
    size_t depth = 0;
    const Plan* p = &plan;
    for (; const Plan* next = p->child(); p = next, ++depth) {
      text += name(p->tag);
      text += '[';
    }
    text += name(p->tag);
    text.append(depth, ']');
    return text;
  }

  // Visits every Python object the plan holds, nested plans included.
  int visit(visitproc visit, void* arg) const {
    for (const Plan* p = this; p; p = p->child()) {
      int r = std::visit(
          [&](const auto& held) -> int {
            if constexpr (requires { held.visit(visit, arg); }) return held.visit(visit, arg);
            return 0;
          },
          p->payload);
      if (r) return r;
    }
    return 0;
  }

 private:
  std::unique_ptr<Plan> take_child() noexcept {
    auto* slot = Shape::child_slot(payload);
    return slot ? std::move(*slot) : nullptr;
  }
};

}  // namespace qc
