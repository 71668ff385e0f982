#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "egraph/egraph.h"
#include "egraph/matcher.h"
#include "egraph/pattern.h"
#include "egraph/pattern_reader.h"
#include "egraph/program.h"
#include "egraph/rewrite.h"
#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

Symbol sym(const std::string& text) {
  return intern_symbol(text);
}

PatternTree parse(const std::string& text) {
  auto parsed = parse_pattern(text);
  if (!parsed) {
    ADD_FAILURE() << text << ": " << parsed.error().to_string();
    return {};
  }
  return std::move(parsed).value();
}

Pattern pattern(const std::string& text) {
  return Pattern(parse(text));
}

Rewrite rewrite(const std::string& name, const std::string& lhs, const std::string& rhs) {
  auto made = make_rewrite(name, pattern(lhs), pattern(rhs));
  EXPECT_TRUE(made.has_value());
  return std::move(made).value();
}

ClassId leaf(EGraph& egraph, const std::string& op) {
  return egraph.add(ENode(sym(op), {}));
}

struct ErrorCase {
  std::string text;
  PatternParseError::Kind kind;
  std::string message;
};

class PatternReaderErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(PatternReaderErrors, ReportsTheKindAndMessage) {
  const ErrorCase& c = GetParam();
  auto parsed = parse_pattern(c.text);
  ASSERT_FALSE(parsed.has_value()) << c.text;
  const auto& error = parsed.error();
  EXPECT_EQ(error.kind, c.kind) << c.text;
  EXPECT_EQ(error.message, c.message) << c.text;
  if (c.kind == PatternParseError::Kind::BadOp) {
    EXPECT_EQ(error.op_error, PatternParseError::OpError::UnexpectedVar);
  }
  EXPECT_FALSE(error.to_string().empty());
}

using K = PatternParseError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Cases, PatternReaderErrors,
    testing::Values(ErrorCase{"", K::EmptySexp, ""}, ErrorCase{" \n\t ", K::EmptySexp, ""},
                    ErrorCase{"()", K::EmptySexp, ""}, ErrorCase{"(f ())", K::EmptySexp, ""},
                    ErrorCase{"((a) b)", K::HeadList, ""}, ErrorCase{"(?x a)", K::BadOp, "?x"},
                    ErrorCase{"(f (?y ?z))", K::BadOp, "?y"},
                    ErrorCase{"(a b", K::BadSexp, "End of file reached"},
                    ErrorCase{"(a (b c)", K::BadSexp, "End of file reached"},
                    ErrorCase{"(a \"b", K::BadSexp, "End of file reached"},
                    ErrorCase{")", K::BadSexp, "Unexpected )"},
                    ErrorCase{"(a ))", K::BadSexp, "expected end of input got )"},
                    ErrorCase{"a b", K::BadSexp, "expected end of input got b"}));

TEST(PatternReader, ReportsLineAndColumnOfSexpErrors) {
  auto parsed = parse_pattern("(a\n  b))");
  ASSERT_FALSE(parsed.has_value());
  const auto& error = parsed.error();
  EXPECT_EQ(error.line, 2u);
  EXPECT_EQ(error.column, 5u);
}

TEST(PatternReader, BuildsEntriesInPostOrder) {
  const PatternTree tree = parse("  (f (g ?x) ?y\t?z ?)  ");
  ASSERT_EQ(tree.size(), 5u);
  EXPECT_EQ(std::get<PatternVar>(tree[0]).name, sym("?x"));
  EXPECT_EQ(std::get<ENode>(tree[1]), ENode(sym("g"), {0}));
  // A tab does not separate atoms, and a lone "?" is an operator leaf.
  EXPECT_EQ(std::get<PatternVar>(tree[2]).name, sym("?y\t?z"));
  EXPECT_EQ(std::get<ENode>(tree[3]), ENode(sym("?"), {}));
  EXPECT_EQ(std::get<ENode>(tree[4]), ENode(sym("f"), {1, 2, 3}));
}

TEST(PatternReader, KeepsOperatorKeysWholeAndTreatsHeadOnlyListsAsLeaves) {
  const PatternTree key = parse("(op|add|scalar=f0000000000000000;side=sr ?x)");
  ASSERT_EQ(key.size(), 2u);
  EXPECT_EQ(std::get<ENode>(key[1]), ENode(sym("op|add|scalar=f0000000000000000;side=sr"), {0}));
  const PatternTree head_only = parse("(?x)");
  ASSERT_EQ(head_only.size(), 1u);
  EXPECT_EQ(std::get<ENode>(head_only[0]), ENode(sym("?x"), {}));
  const PatternTree quoted = parse("(\"a b\\\"\" ?x)");
  EXPECT_EQ(std::get<ENode>(quoted.back()), ENode(sym("a b\""), {0}));
}

TEST(Compiler, BindsAVariablePairOnceAndComparesTheRepeat) {
  const Program commute = compile_pattern(parse("(op|add ?a ?b)"));
  ASSERT_EQ(commute.instructions.size(), 1u);
  EXPECT_EQ(std::get<Bind>(commute.instructions[0]), (Bind{0, sym("op|add"), 2, 1}));
  EXPECT_EQ(commute.subst, (std::vector<VarRegister>{{sym("?a"), 1}, {sym("?b"), 2}}));

  const Program same = compile_pattern(parse("(f ?x ?x)"));
  ASSERT_EQ(same.instructions.size(), 2u);
  EXPECT_EQ(std::get<Bind>(same.instructions[0]), (Bind{0, sym("f"), 2, 1}));
  EXPECT_EQ(std::get<Compare>(same.instructions[1]), (Compare{2, 1}));
  EXPECT_EQ(same.subst, (std::vector<VarRegister>{{sym("?x"), 1}}));

  const Program var = compile_pattern(parse("?x"));
  EXPECT_TRUE(var.instructions.empty());
  EXPECT_EQ(var.subst, (std::vector<VarRegister>{{sym("?x"), 0}}));
}

TEST(Compiler, LooksUpSubtermsWhoseVariablesAreAlreadyBound) {
  const Program program = compile_pattern(parse("(f (g ?x) ?x)"));
  ASSERT_EQ(program.instructions.size(), 2u);
  EXPECT_EQ(std::get<Bind>(program.instructions[0]), (Bind{0, sym("f"), 2, 1}));
  const Lookup expected{{TermRegister{2}, ENode(sym("g"), {0})}, 1};
  EXPECT_EQ(std::get<Lookup>(program.instructions[1]), expected);

  // A subterm that still binds variables is matched with a Bind of its own.
  const Program nested = compile_pattern(parse("(f (g ?x) ?y)"));
  ASSERT_EQ(nested.instructions.size(), 2u);
  EXPECT_EQ(std::get<Bind>(nested.instructions[1]), (Bind{1, sym("g"), 1, 3}));
  EXPECT_EQ(nested.subst, (std::vector<VarRegister>{{sym("?y"), 2}, {sym("?x"), 3}}));
}

class Matching : public testing::Test {
 protected:
  SubstitutionList search(const std::string& text, ClassId eclass, std::size_t limit = kNoLimit) {
    return search_class(pattern(text).program, egraph_, eclass, limit);
  }
  static Substitution subst(std::vector<VarBinding> bindings) {
    Substitution s;
    for (const VarBinding& b : bindings)
      s.push_back(b);
    return s;
  }
  EGraph egraph_;
};

TEST_F(Matching, YieldsOneSubstitutionPerMatchingNodeInNodeOrder) {
  const ClassId c1 = leaf(egraph_, "c1");
  const ClassId c2 = leaf(egraph_, "c2");
  const ClassId ab = egraph_.add(ENode(sym("op|add"), {c1, c2}));
  const ClassId ba = egraph_.add(ENode(sym("op|add"), {c2, c1}));
  const ClassId three = egraph_.add(ENode(sym("op|add"), {c1, c2, c1}));
  egraph_.union_classes(ab, ba);
  egraph_.union_classes(ab, three);
  egraph_.rebuild();
  const auto found = search("(op|add ?a ?b)", ab);
  const Symbol a = sym("?a");
  const Symbol b = sym("?b");
  ASSERT_EQ(found.size(), 2u) << "the three-child node has the wrong arity";
  EXPECT_EQ(found[0], subst({{a, c1}, {b, c2}}));
  EXPECT_EQ(found[1], subst({{a, c2}, {b, c1}}));
  EXPECT_EQ(search("(op|add ?a ?b)", ab, 1).size(), 1u);
  EXPECT_TRUE(search("(op|add ?a ?b)", ab, 0).empty());
}

TEST_F(Matching, RepeatedVariableNeedsOneClass) {
  const ClassId c = leaf(egraph_, "c");
  const ClassId d = leaf(egraph_, "d");
  const ClassId fcc = egraph_.add(ENode(sym("f"), {c, c}));
  const ClassId fcd = egraph_.add(ENode(sym("f"), {c, d}));
  egraph_.rebuild();
  EXPECT_EQ(search("(f ?x ?x)", fcc).size(), 1u);
  EXPECT_TRUE(search("(f ?x ?x)", fcd).empty());
  egraph_.union_classes(c, d);
  egraph_.rebuild();
  EXPECT_EQ(search("(f ?x ?x)", fcd).size(), 1u);
}

TEST_F(Matching, LookupRequiresTheGroundTermInTheBoundClass) {
  const ClassId x = leaf(egraph_, "x");
  const ClassId gx = egraph_.add(ENode(sym("g"), {x}));
  const ClassId hit = egraph_.add(ENode(sym("f"), {gx, x}));
  const ClassId y = leaf(egraph_, "y");
  const ClassId miss = egraph_.add(ENode(sym("f"), {gx, y}));  // g(y) does not exist
  const ClassId z = leaf(egraph_, "z");
  egraph_.add(ENode(sym("g"), {z}));
  const ClassId wrong = egraph_.add(ENode(sym("f"), {x, z}));  // g(z) exists, but not in x's class
  egraph_.rebuild();
  EXPECT_EQ(search("(f (g ?x) ?x)", hit).size(), 1u);
  EXPECT_TRUE(search("(f (g ?x) ?x)", miss).empty());
  EXPECT_TRUE(search("(f (g ?x) ?x)", wrong).empty());
}

TEST_F(Matching, SearchWithLimitCoversCandidatesAndStopsAtTheLimit) {
  std::vector<ClassId> leaves;
  for (int k = 0; k < 5; ++k)
    leaves.push_back(leaf(egraph_, "m" + std::to_string(k)));
  for (int k = 0; k < 4; ++k)
    egraph_.add(ENode(sym("neg"), {leaves[k]}));
  egraph_.rebuild();

  const Pattern neg = pattern("(neg ?x)");
  std::size_t total = 0;
  for (const SearchMatch& match : search_with_limit(neg, egraph_, kNoLimit)) {
    total += match.substs.size();
  }
  EXPECT_EQ(total, 4u);

  const auto limited = search_with_limit(neg, egraph_, 1);
  ASSERT_EQ(limited.size(), 1u);
  EXPECT_EQ(limited[0].substs.size(), 1u);
  EXPECT_TRUE(search_with_limit(neg, egraph_, 0).empty());

  // A bare variable matches every class once.
  const auto every = search_with_limit(pattern("?v"), egraph_, kNoLimit);
  EXPECT_EQ(every.size(), egraph_.class_count());
  for (const SearchMatch& match : every) {
    ASSERT_EQ(match.substs.size(), 1u);
    EXPECT_EQ(match.substs[0].get(sym("?v")), match.eclass);
  }
}

TEST_F(Matching, CountWithLimitAgreesWithTheSearchItStandsFor) {
  std::vector<ClassId> leaves;
  for (int k = 0; k < 6; ++k)
    leaves.push_back(leaf(egraph_, "n" + std::to_string(k)));
  // Merged commuted forms put two matching nodes in one class; other arities must not count.
  for (int k = 0; k + 1 < 6; ++k) {
    const ClassId ab = egraph_.add(ENode(sym("op|add"), {leaves[k], leaves[k + 1]}));
    if (k % 2 == 0) {
      egraph_.union_classes(ab, egraph_.add(ENode(sym("op|add"), {leaves[k + 1], leaves[k]})));
    }
  }
  egraph_.add(ENode(sym("op|add"), {leaves[0]}));
  egraph_.add(ENode(sym("op|add"), {leaves[0], leaves[1], leaves[2]}));
  egraph_.rebuild();

  auto searched = [&](const Pattern& p, std::size_t limit) {
    std::size_t total = 0;
    for (const SearchMatch& match : search_with_limit(p, egraph_, limit))
      total += match.substs.size();
    return total;
  };
  const Pattern add = pattern("(op|add ?a ?b)");
  ASSERT_EQ(searched(add, kNoLimit), 8u);
  for (const std::size_t limit : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                  std::size_t{7}, std::size_t{8}, std::size_t{9}, kNoLimit}) {
    EXPECT_EQ(count_with_limit(add, egraph_, limit), searched(add, limit)) << "limit " << limit;
  }
  EXPECT_EQ(count_with_limit(pattern("(op|mul ?a ?b)"), egraph_, kNoLimit), 0u);
  // Patterns that need the matching machine are not counted on the side.
  EXPECT_FALSE(count_with_limit(pattern("(op|add ?a ?a)"), egraph_, kNoLimit).has_value());
  EXPECT_FALSE(count_with_limit(pattern("(op|add (op|add ?a ?b) ?c)"), egraph_, 5).has_value());
  EXPECT_FALSE(count_with_limit(pattern("?v"), egraph_, kNoLimit).has_value());
}

TEST_F(Matching, RefusesADirtyEGraph) {
  const ClassId a = leaf(egraph_, "a");
  EXPECT_THROW(search("?x", a), InternalError);
  EXPECT_THROW(search_with_limit(pattern("?x"), egraph_, kNoLimit), InternalError);
  EXPECT_THROW(count_with_limit(pattern("(f ?x)"), egraph_, kNoLimit), InternalError);
  egraph_.rebuild();
  EXPECT_NO_THROW(search("?x", a));
}

TEST(Rewrite, RejectsAnApplierVariableTheSearcherLacks) {
  auto made = make_rewrite("bad-rule", pattern("(f ?a ?b)"), pattern("(g ?b ?c ?d)"));
  ASSERT_FALSE(made.has_value());
  EXPECT_EQ(made.error().message, "Rewrite bad-rule refers to unbound var ?c");
}

TEST(Rewrite, ApplyingACommuteRuleAddsTheMirrorOnceAndThenChangesNothing) {
  EGraph egraph;
  const ClassId a = leaf(egraph, "a");
  const ClassId b = leaf(egraph, "b");
  const ClassId ab = egraph.add(ENode(sym("op|add"), {a, b}));
  egraph.rebuild();
  const Rewrite commute = rewrite("commute", "(op|add ?a ?b)", "(op|add ?b ?a)");

  const auto first =
      apply_matches(commute.applier, egraph, search_with_limit(commute.searcher, egraph, kNoLimit));
  ASSERT_EQ(first.size(), 1u);
  // The new node's class has no parents, like the matched one: as first argument it wins.
  EXPECT_EQ(egraph.find(ab), first[0]);
  EXPECT_EQ(egraph.lookup(ENode(sym("op|add"), {b, a})), first[0]);
  egraph.rebuild();

  const std::size_t size = egraph.total_size();
  const auto again =
      apply_matches(commute.applier, egraph, search_with_limit(commute.searcher, egraph, kNoLimit));
  EXPECT_TRUE(again.empty()) << "both orders already share a class";
  EXPECT_EQ(egraph.total_size(), size);
}

TEST(Rewrite, InstantiateAddsSharedSubtermsOnce) {
  EGraph egraph;
  const ClassId x = leaf(egraph, "x");
  Substitution subst;
  subst.push_back({sym("?x"), x});
  const ClassId root = instantiate(parse("(f (g ?x) (g ?x))"), egraph, subst);
  const ClassId gx = *egraph.lookup(ENode(sym("g"), {x}));
  EXPECT_EQ(egraph.lookup(ENode(sym("f"), {gx, gx})), root);
  EXPECT_EQ(egraph.class_count(), 3u);
  EXPECT_EQ(instantiate(parse("?x"), egraph, subst), x);
  EXPECT_THROW(instantiate(parse("(f ?y)"), egraph, subst), InternalError);
}

}  // namespace
}  // namespace zembric::egraph
