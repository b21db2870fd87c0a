// The instance layout of NativePlan, shared with the test probes that reach a plan's internals.
#pragma once

#include "plan/native_plan.hpp"

namespace quorvel::module {

// Instance layout of NativePlan: the object owns its plan.
struct PlanObject {
  PyObject_HEAD
  NativePlan* plan;
};

}  // namespace quorvel::module
