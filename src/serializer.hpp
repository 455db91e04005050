// CompiledSerializer: one DRF serializer instance compiled into field plans.
#pragma once

#include "tools.hpp"

namespace qc {

struct Plans;  // the ordered read and write field plans

struct CompiledSerializerObject {
  PyObject_HEAD
  Plans* plans;  // owned; nullptr once cleared by the garbage collector
};

// The class object, created once per process (borrowed; nullptr on error).
PyObject* compiled_serializer_type();

}  // namespace qc
