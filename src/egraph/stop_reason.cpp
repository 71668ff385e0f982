#include "egraph/stop_reason.h"

namespace zembric::egraph {

std::string StopReason::to_string() const {
  switch (kind) {
    case Kind::Saturated:
      return "Saturated";
    case Kind::IterationLimit:
      return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::NodeLimit:
      return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::TimeLimit:
      break;
  }
  return "TimeLimit(" + std::to_string(seconds) + ")";
}

}  // namespace zembric::egraph
