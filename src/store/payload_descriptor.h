// PayloadDescriptor: what identifies the payload an External node calls.
#pragma once

#include <optional>
#include <string>

#include "support/seeded_hash.h"

namespace zembric {

// Reproducibility metadata of an External node; all six fields are part of its identity.
struct PayloadDescriptor {
  std::string kind;
  std::string content_hash;
  std::string framework;
  std::string version;
  std::string io_schema;
  std::optional<std::string> preprocessing_ref;  // absent differs from the empty text

  friend bool operator==(const PayloadDescriptor&, const PayloadDescriptor&) = default;
};

// Feeds all six fields to `h`, so that equal descriptors hash alike.
inline void add_descriptor(SeededHasher& h, const PayloadDescriptor& d) noexcept {
  for (const std::string* text : {&d.kind, &d.content_hash, &d.framework, &d.version, &d.io_schema})
    h.add_bytes(*text);
  h.add_u64(d.preprocessing_ref.has_value());
  if (d.preprocessing_ref) h.add_bytes(*d.preprocessing_ref);
}

}  // namespace zembric
