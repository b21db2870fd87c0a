// NativeModelTypes: which subclasses to construct when unpacking, per parent class, field and child.
#pragma once

#include "plan/native_plan.hpp"

#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace quorvel {

struct SubclassKey {
  PyObject* parent;  // identity of the requested parent class
  uint16_t slot;     // the field's slot
  uint32_t child;    // the child's object index
  bool operator==(const SubclassKey&) const = default;
};

struct SubclassKeyHash {
  size_t operator()(const SubclassKey& k) const noexcept {
    size_t h = std::hash<const void*>{}(k.parent);
    h ^= (static_cast<size_t>(k.slot) << 32 | k.child) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
  }
};

struct NativeModelTypes {
  PlanTokenRef token;
  py::Ref root_type;
  std::unordered_map<SubclassKey, py::Ref, SubclassKeyHash> subclasses;
  uint32_t root_index = 0;
  std::vector<py::Ref> keep_alive;  // the requested parent classes whose identities key `subclasses`
};

}  // namespace quorvel
