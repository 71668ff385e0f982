// The IR blob writer: the canonical, versioned, little-endian durable form of a store.
#pragma once

#include <span>
#include <string>

#include "store/expected.h"
#include "store/node.h"

namespace zembric {

// A store that the 32-bit counts and lengths of the format cannot hold faithfully.
struct BlobTooLarge {
  std::string message;
};

// Writes `nodes` in id order followed by `outputs` exactly as given (order and repeats kept).
// Every output must name one of `nodes`; callers check them first (InternalError otherwise).
Expected<std::string, BlobTooLarge> write_blob(std::span<const Node> nodes,
                                               std::span<const NodeId> outputs);

}  // namespace zembric
