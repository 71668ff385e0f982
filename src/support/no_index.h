// kNoIndex: "no index here" in every dense 32-bit index space of the core (node positions, terms,
// key ids, hash-index hits). The largest value: lists that use it stay shorter, so no real index
// reaches it.
#pragma once

#include <cstdint>
#include <limits>

namespace zembric {

inline constexpr std::uint32_t kNoIndex = std::numeric_limits<std::uint32_t>::max();

}  // namespace zembric
