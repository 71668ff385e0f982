// The IR blob writer: the canonical, versioned, little-endian durable form of a store.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "store/node.h"
#include "support/expected.h"

namespace zembric {

// A store that the 32-bit counts and lengths of the format cannot hold faithfully.
struct BlobTooLarge {
  std::string message;
};

// Writes `nodes` in id order followed by `outputs` exactly as given (order and repeats kept).
// Every output must name one of `nodes`; callers check them first (InternalError otherwise).
Expected<std::string, BlobTooLarge> write_blob(std::span<const Node> nodes,
                                               std::span<const NodeId> outputs);

// The two passes of write_blob apart, so that a caller can have the blob written straight into
// the object it returns, and allocate that object between the passes (outside any lock the passes
// run under). blob_size checks everything the format must hold and returns the exact size;
// write_blob_to then fills exactly that many bytes at `begin` with the same nodes and outputs.
Expected<std::size_t, BlobTooLarge> blob_size(std::span<const Node> nodes,
                                              std::span<const NodeId> outputs);
void write_blob_to(std::span<const Node> nodes, std::span<const NodeId> outputs,
                   unsigned char* begin, std::size_t size);

}  // namespace zembric
