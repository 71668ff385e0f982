// StopReason: why a saturation run ended. Limits are normal endings, not failures.
#pragma once

#include <cstddef>
#include <string>

namespace zembric::egraph {

struct StopReason {
  enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit };

  static StopReason saturated() { return {Kind::Saturated, 0, 0.0}; }
  static StopReason iteration_limit(std::size_t iterations) {
    return {Kind::IterationLimit, iterations, 0.0};
  }
  static StopReason node_limit(std::size_t total_size) {
    return {Kind::NodeLimit, total_size, 0.0};
  }
  static StopReason time_limit(double seconds) { return {Kind::TimeLimit, 0, seconds}; }

  Kind kind;
  std::size_t count;  // IterationLimit: iterations recorded; NodeLimit: the e-graph's total size
  double seconds;     // TimeLimit: elapsed time

  std::string to_string() const;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

}  // namespace zembric::egraph
