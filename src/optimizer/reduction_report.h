// ReductionReport: the six node counts of one reduction.
#pragma once

#include <cstdint>

namespace zembric {

struct ReductionReport {
  std::uint64_t input_nodes = 0;
  std::uint64_t reachable_nodes = 0;
  std::uint64_t canonical_nodes = 0;
  std::uint64_t stages = 0;
  std::uint64_t reduced_nodes = 0;  // always stages + boundary_nodes
  std::uint64_t boundary_nodes = 0;

  friend bool operator==(const ReductionReport&, const ReductionReport&) = default;
};

}  // namespace zembric
