#include "optimizer/rewrite_engine.h"

namespace zembric {

RewriteEngine::~RewriteEngine() = default;

}  // namespace zembric
