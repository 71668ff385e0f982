#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "egraph/symbol.h"

namespace zembric::egraph {
namespace {

TEST(SymbolTable, EqualTextsShareOneSymbolAndResolveBack) {
  const std::vector<std::string> texts = {
      "",        "op|add", "op|add|scalar=f0000000000000000;side=sr", "?x", std::string(300, 'z'),
      "\xce\xbb"};
  for (const std::string& text : texts) {
    const Symbol symbol = intern_symbol(text);
    EXPECT_EQ(intern_symbol(std::string(text)), symbol) << text;
    EXPECT_EQ(symbol_text(symbol), text);
    EXPECT_GE(symbol & 0x0FFFFFFFu, 1u) << "positions are 1-based";
  }
  EXPECT_NE(intern_symbol("op|add"), intern_symbol("op|add "));
  EXPECT_NE(intern_symbol("a"), intern_symbol("b"));
}

TEST(SymbolTable, ConcurrentInterningAgreesAcrossThreads) {
  constexpr int kThreads = 8;
  constexpr int kTexts = 2000;
  std::vector<std::vector<Symbol>> seen(kThreads, std::vector<Symbol>(kTexts));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &seen] {
      // Each thread walks the same texts from a different starting point so that first
      // insertions race between threads.
      for (int k = 0; k < kTexts; ++k) {
        const int text = (k + t * 251) % kTexts;
        seen[t][text] = intern_symbol("concurrent-" + std::to_string(text));
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int k = 0; k < kTexts; ++k) {
    for (int t = 1; t < kThreads; ++t)
      ASSERT_EQ(seen[t][k], seen[0][k]) << k;
    ASSERT_EQ(symbol_text(seen[0][k]), "concurrent-" + std::to_string(k));
  }
}

}  // namespace
}  // namespace zembric::egraph
