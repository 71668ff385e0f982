// NodeId: the position of a node in its store.
#pragma once

#include <cstdint>

namespace zembric {

// Position of a node in its store; inputs always name earlier positions.
using NodeId = std::uint64_t;

}  // namespace zembric
