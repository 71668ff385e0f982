// The IR blob reader: the module's one parser of untrusted bytes. It never reads out of bounds and
// never reserves memory for more entries than the remaining bytes can hold.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "store/store_core.h"
#include "support/expected.h"

namespace zembric {

struct BlobDecodeError {
  std::string message;
};

// A new store holding the blob's nodes and output marks, or the first decode error. References
// in the blob name record positions; a record equal to an earlier one is interned onto that
// record's id, and every reference to it, later inputs and outputs alike, follows it there.
Expected<std::unique_ptr<StoreCore>, BlobDecodeError> read_blob(std::string_view bytes);

}  // namespace zembric
