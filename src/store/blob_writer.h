// The IR blob writer: the canonical, versioned, little-endian durable form of a store.
#pragma once

#include <cstddef>
#include <optional>
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

// Where write_blob_into puts a blob, so that a caller can have it written straight into the
// object it returns instead of copying a finished string.
class BlobSink {
 public:
  virtual ~BlobSink();
  // Writable room for exactly `size` bytes, or nullptr to abandon the write.
  virtual unsigned char* room(std::size_t size) = 0;
};

// write_blob into the room the sink gives, which is asked for once, after every check passed;
// nothing is written when it gives none.
std::optional<BlobTooLarge> write_blob_into(std::span<const Node> nodes,
                                            std::span<const NodeId> outputs, BlobSink& sink);

}  // namespace zembric
