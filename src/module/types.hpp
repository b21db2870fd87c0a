// The module's classes, as the rest of the module reaches them.
#pragma once

#include "plan/native_plan.hpp"

namespace quorvel::module {

// Instance layout of NativePlan: the object owns its plan.
struct PlanObject {
  PyObject_HEAD
  NativePlan* plan;
};

// The plan inside a NativePlan instance, or nullptr for any other object.
NativePlan* native_plan_of(PyObject* obj) noexcept;

}  // namespace quorvel::module
