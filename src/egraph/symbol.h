// Symbol: an interned operator or variable name. The table behind it is process-wide, sharded and
// only grows, so a symbol and the text it resolves to stay valid until the process ends. It holds
// the texts of rules and patterns, a small fixed set: an e-graph built from user data names its
// operators by ids of its own (the reduction's key ids), so no user text ever lands here.
#pragma once

#include <cstdint>
#include <string_view>

namespace zembric::egraph {

// Shard number in the top 4 bits, 1-based position within the shard in the low 28 bits; 0 is
// never handed out.
using Symbol = std::uint32_t;

// Interns `text` (thread-safe) and returns its symbol; equal texts always give equal symbols.
Symbol intern_symbol(std::string_view text);

// The text of a symbol returned by intern_symbol.
std::string_view symbol_text(Symbol symbol);

}  // namespace zembric::egraph
