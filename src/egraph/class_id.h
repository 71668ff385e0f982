// ClassId: an e-class identifier and, at the same time, a slot of the union-find.
#pragma once

#include <cstdint>
#include <limits>

namespace zembric::egraph {

using ClassId = std::uint32_t;

// Never handed out: the union-find stops one short of it.
inline constexpr ClassId kNoClass = std::numeric_limits<ClassId>::max();

}  // namespace zembric::egraph
