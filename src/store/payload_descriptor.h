// PayloadDescriptor: what identifies the payload an External node calls.
#pragma once

#include <optional>
#include <string>

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

}  // namespace zembric
