// ClassId: an e-class identifier and, at the same time, a slot of the union-find.
#pragma once

#include <cstdint>

namespace zembric::egraph {

using ClassId = std::uint32_t;

}  // namespace zembric::egraph
