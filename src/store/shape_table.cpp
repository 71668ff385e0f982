#include "store/shape_table.h"

#include <algorithm>

#include "store/optimizer_key.h"
#include "support/seeded_hash.h"

namespace zembric {
namespace {

// Room for one more element, growing as push_back would, so that the push_back after it cannot
// fail.
template <class Vector>
void make_room_for_one(Vector& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(2 * v.size(), 16));
}

}  // namespace

[[gnu::hot]] ShapeTable::ShapeTable() : key_seed_(fresh_hash_seed()) {}

void ShapeTable::add_next(std::span<const Node> nodes, std::uint64_t shape_hash) {
  const auto id = static_cast<NodeId>(shape_of_.size());
  const Node& node = nodes[id];
  make_room_for_one(shape_of_);
  const std::uint32_t found = index_.find(
      shape_hash, [&](std::uint32_t shape) { return same_shape(nodes[first_node_[shape]], node); });
  if (found != kNoIndex) {
    shape_of_.push_back(found);
    return;
  }
  make_room_for_one(first_node_);
  // The leading 0 is added with the first key, so that a store never shaped allocates nothing.
  if (begin_.empty()) begin_.push_back(0);
  make_room_for_one(begin_);
  make_room_for_one(key_hash_);
  // Whatever a failed attempt left past the last key is dropped first.
  chars_.resize(begin_.back());
  append_optimizer_key(chars_, node);
  const auto shape = static_cast<ShapeId>(first_node_.size());
  index_.insert(shape_hash, shape);
  const std::uint64_t key_hash =
      optimizer_key_hash(std::string_view(chars_).substr(begin_.back()), key_seed_);
  // Room was made for all four, so none of them can fail now.
  first_node_.push_back(id);
  begin_.push_back(chars_.size());
  key_hash_.push_back(key_hash);
  shape_of_.push_back(shape);
}

}  // namespace zembric
