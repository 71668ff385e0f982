#include "optimizer/prototype_table.h"

#include <string>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <utility>

#include "support/internal_error.h"

namespace zembric {

void PrototypeTable::copy_from(std::span<const Node> nodes) {
  const Node* const first = nodes.data();
  const Node* const last = first + nodes.size();
  // std::less orders pointers into different objects too.
  auto borrowed = [&](const Node* entry) {
    return entry != nullptr && !std::less<const Node*>{}(entry, first) &&
           std::less<const Node*>{}(entry, last);
  };
  // A second call could move owned_ and leave earlier entries dangling.
  if (!owned_.empty()) throw std::logic_error("prototypes are copied in once");
  // Reserved up front, so the addresses handed out below stay valid. Entries are repointed only
  // once every copy exists: a failed copy leaves the table borrowing, as before the call.
  owned_.reserve(static_cast<std::size_t>(std::count_if(nodes_.begin(), nodes_.end(), borrowed)));
  for (const Node* entry : nodes_) {
    if (borrowed(entry)) owned_.push_back(*entry);
  }
  std::size_t next = 0;
  for (const Node*& entry : nodes_) {
    if (borrowed(entry)) entry = &owned_[next++];
  }
}

[[gnu::hot]] const Node& PrototypeTable::at(KeyId key) const {
  if (key >= nodes_.size() || nodes_[key] == nullptr) {
    throw InternalError("no entry found for key: key " + std::to_string(key) + " has no prototype");
  }
  return *nodes_[key];
}

}  // namespace zembric
