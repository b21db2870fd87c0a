#include "msgpack/value.hpp"

#include <utility>

namespace quorvel::msgpack {

void MessagePackValue::release_items() noexcept {
  std::vector<MessagePackValue> children = std::move(items);
  std::vector<MessagePackValue> pending;  // values whose own elements are still to be freed
  try {
    while (true) {
      for (MessagePackValue& child : children) {
        if (!child.items.empty()) pending.push_back(std::move(child));
      }
      children.clear();  // none of them holds elements now
      if (pending.empty()) return;
      children = std::move(pending.back().items);
      pending.pop_back();
    }
  } catch (...) {
    // Out of memory for the list: what is left is freed by the destructors, recursing.
  }
}

}  // namespace quorvel::msgpack
