// How the serde writers read one serialized field of a model object. One place, so that a faster
// model-access path can replace the plain attribute read without touching the writers.
#pragma once

#include "plan/native_plan.hpp"
#include "py/error.hpp"

#include <cstdint>

namespace quorvel::serde {

inline py::Ref read_attr(PyObject* model, uint32_t object_index, const SerdeField& field) {
  (void)object_index;
  return check_new(PyObject_GetAttr(model, field.attr.get()));
}

}  // namespace quorvel::serde
