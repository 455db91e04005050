#include "nested_failures.hpp"

#include "object.hpp"

#include <unordered_set>
#include <vector>

namespace qc::nested_failures {
namespace {

// Per thread: a validation runs on one thread from start to end, and the
// record is emptied when its outermost entry returns, so no reference is
// left for the thread's exit.
struct Record {
  unsigned depth = 0;
  std::unordered_set<PyObject*> failed;
  std::vector<Object> held;
};

thread_local Record record;

}  // namespace

Scope::Scope() noexcept { ++record.depth; }

Scope::~Scope() {
  if (--record.depth != 0) return;
  // Dropping the references may run Python code (a finalizer) that validates
  // again: the record is already empty by then.
  record.failed.clear();
  std::vector<Object> dropped = std::move(record.held);
  record.held.clear();
}

void add(PyObject* data) {
  if (record.depth == 0 || !record.failed.insert(data).second) return;
  record.held.push_back(Object::borrow(data));
}

bool contains(PyObject* data) noexcept {
  return record.depth != 0 && record.failed.count(data) != 0;
}

}  // namespace qc::nested_failures
