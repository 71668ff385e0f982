#include "store/node.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "node_factories.h"
#include "support/internal_error.h"

namespace zembric {
namespace {

ParamMap params(std::vector<ParamEntry> entries) {
  return ParamMap::from_unsorted(std::move(entries));
}

Node mul_with(ParamValue value) {
  return Node::op("mul", params({{"k", std::move(value)}}), {0});
}

PayloadDescriptor descriptor(std::optional<std::string> ref) {
  return PayloadDescriptor{"k", "h", "f", "v", "s", std::move(ref)};
}

struct NodePair {
  const char* what;
  Node a;
  Node b;
  bool equal;
};

class NodeIdentity : public ::testing::TestWithParam<NodePair> {};

TEST_P(NodeIdentity, EqualityAndHashAgree) {
  const NodePair& p = GetParam();
  EXPECT_EQ(p.a == p.b, p.equal) << p.what;
  EXPECT_EQ(p.b == p.a, p.equal) << p.what;
  // Distinct nodes must not systematically collide; these particular pairs do not.
  if (p.equal) {
    EXPECT_EQ(hash_node(p.a, 7), hash_node(p.b, 7)) << p.what;
  } else {
    EXPECT_NE(hash_node(p.a, 7), hash_node(p.b, 7)) << p.what;
  }
}

const double kNan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, NodeIdentity,
    ::testing::Values(
        NodePair{"int vs float", mul_with(ParamValue::of_int(1)),
                 mul_with(ParamValue::of_float(1.0)), false},
        NodePair{"int vs bool", mul_with(ParamValue::of_int(1)),
                 mul_with(ParamValue::of_bool(true)), false},
        NodePair{"str vs int", mul_with(ParamValue::of_str("1")), mul_with(ParamValue::of_int(1)),
                 false},
        NodePair{"zero signs", mul_with(ParamValue::of_float(0.0)),
                 mul_with(ParamValue::of_float(-0.0)), false},
        NodePair{"nan payloads", mul_with(ParamValue::of_float(kNan)),
                 mul_with(ParamValue::of_float(-std::nan("0x123"))), true},
        NodePair{
            "param order",
            source_node("s", params({{"z", ParamValue::of_int(1)}, {"a", ParamValue::of_int(2)}})),
            source_node("s", params({{"a", ParamValue::of_int(2)}, {"z", ParamValue::of_int(1)}})),
            true},
        NodePair{"operand order", Node::op("add", {}, {0, 1}), Node::op("add", {}, {1, 0}), false},
        NodePair{"repeated input", Node::op("add", {}, {0, 0}), Node::op("add", {}, {0}), false},
        NodePair{"kind differs", Node::op("sum", {}, {0}), reduction_node("sum", {}, {0}), false},
        NodePair{"ref absent vs empty", Node::external(descriptor(std::nullopt), {}, {}),
                 Node::external(descriptor(""), {}, {}), false},
        NodePair{"ref equal", Node::external(descriptor("p"), {}, {0}),
                 Node::external(descriptor("p"), {}, {0}), true},
        NodePair{"text split differs", source_node("ab", params({{"c", ParamValue::of_str("")}})),
                 source_node("a", params({{"bc", ParamValue::of_str("")}})), false},
        NodePair{"stage tokens",
                 Node::stage({0}, {StageMember{"op|neg", {{MemberTokenKind::Input, 0}}}}),
                 Node::stage({0}, {StageMember{"op|neg", {{MemberTokenKind::Member, 0}}}}), false},
        // Stage members lie back to back in one block: where each one ends must count.
        NodePair{"member keys split differently",
                 Node::stage({0}, {StageMember{"op|ab", {}}, StageMember{"c", {}}}),
                 Node::stage({0}, {StageMember{"op|a", {}}, StageMember{"bc", {}}}), false},
        NodePair{"member tokens split differently",
                 Node::stage({0}, {StageMember{"op|a", {{MemberTokenKind::Input, 0}}},
                                   StageMember{"op|a", {}}}),
                 Node::stage({0}, {StageMember{"op|a", {}},
                                   StageMember{"op|a", {{MemberTokenKind::Input, 0}}}}),
                 false},
        NodePair{"exchange arity", exchange_node({}, {}), exchange_node({}, {0, 1}), false}));

TEST(Node, WithInputsReplacesOnlyTheInputs) {
  const Node ext = Node::external(descriptor("p"), params({{"a", ParamValue::of_int(1)}}), {0, 1});
  const Node moved = ext.with_inputs(std::vector<NodeId>{4, 4, 2});
  EXPECT_EQ(moved.kind(), NodeKind::External);
  EXPECT_EQ(moved.descriptor(), ext.descriptor());
  EXPECT_EQ(moved.params(), ext.params());
  EXPECT_EQ(std::vector<NodeId>(moved.inputs().begin(), moved.inputs().end()),
            (std::vector<NodeId>{4, 4, 2}));
  EXPECT_EQ(ext.with_inputs(std::vector<NodeId>{0, 1}), ext);

  const Node source = source_node("x", {});
  EXPECT_EQ(source.with_inputs(std::vector<NodeId>{3}), source);
  EXPECT_TRUE(source.with_inputs(std::vector<NodeId>{3}).inputs().empty());
}

// Copies share the params and out-of-line fields: each copy keeps them alive on its own, and
// copies made and dropped on several threads at once leave every other copy intact.
TEST(Node, CopiesOutliveTheOriginalOnAnyThread) {
  Node stage = Node::stage({0}, {StageMember{"op|neg", {{MemberTokenKind::Input, 0}}}});
  Node copy = stage;
  stage = source_node("x", {});
  ASSERT_EQ(copy.members().size(), 1u);
  EXPECT_EQ(copy.members()[0].key, "op|neg");
  // Members are never written once shared.
  StageMembers members = copy.members();
  EXPECT_THROW(members.add_member("op|exp"), InternalError);
  const Node stage_reference = copy.with_inputs(std::vector<NodeId>{1});

  auto ext = std::make_unique<Node>(Node::external(
      descriptor("p"), params({{"call", ParamValue::of_str(std::string(64, 'c'))}}), {0}));
  const Node reference = ext->with_inputs(std::vector<NodeId>{0});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int k = 0; k < 2000; ++k) {
        const Node held = reference;
        const Node renamed = held.with_inputs(std::vector<NodeId>{NodeId(k)});
        if (!(held == reference) || renamed.params() != reference.params()) std::abort();
        const Node held_stage = stage_reference;
        if (!(held_stage.with_inputs(std::vector<NodeId>{1}) == stage_reference)) std::abort();
      }
    });
  }
  ext.reset();
  copy = source_node("y", {});
  members = StageMembers();
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(stage_reference.members()[0].key, "op|neg");
  EXPECT_EQ(reference.descriptor(), descriptor("p"));
  EXPECT_EQ(reference.params().entries()[0].second.as_str(), std::string(64, 'c'));
}

// Lists up to the inline capacity and past it, through growth, moves, copies and equality.
TEST(Node, PlainNodesOwnInputsOfEveryLength) {
  for (std::size_t length : {0u, 1u, 2u, 3u, 9u}) {
    InputList list;
    std::vector<NodeId> expected;
    for (std::size_t i = 0; i < length; ++i) {
      list.push_back(100 + i);
      expected.push_back(100 + i);
    }
    InputList moved_list = std::move(list);
    Node node =
        Node::plain(NodeKind::Op, "f", params({{"k", ParamValue::of_str("long text value")}}),
                    std::move(moved_list));
    EXPECT_EQ(node,
              Node::op("f", params({{"k", ParamValue::of_str("long text value")}}), expected));
    EXPECT_EQ(
        hash_node(node, 3),
        hash_node(Node::op("f", params({{"k", ParamValue::of_str("long text value")}}), expected),
                  3));
    const Node copy = node;
    Node moved = std::move(node);
    node = source_node("x", {});
    EXPECT_EQ(std::vector<NodeId>(copy.inputs().begin(), copy.inputs().end()), expected);
    EXPECT_EQ(moved, copy);
    EXPECT_EQ(moved.params().size(), 1u);
    EXPECT_EQ(moved.params().entries()[0].second.as_str(), "long text value");
  }
  // A name past the short-string buffer, copied from a view into the node.
  const std::string long_name(40, 'n');
  InputList two;
  two.push_back(0);
  two.push_back(1);
  const Node reduction =
      Node::plain(NodeKind::Reduction, std::string_view(long_name), {}, std::move(two));
  EXPECT_EQ(reduction.kind(), NodeKind::Reduction);
  EXPECT_EQ(reduction.name(), long_name);
  EXPECT_EQ(std::vector<NodeId>(reduction.inputs().begin(), reduction.inputs().end()),
            (std::vector<NodeId>{0, 1}));
  // A Source drops its list and an Exchange its name.
  InputList ignored;
  ignored.push_back(4);
  const Node source = Node::plain(NodeKind::Source, "x", {}, std::move(ignored));
  EXPECT_EQ(source.name(), "x");
  EXPECT_TRUE(source.inputs().empty());
  EXPECT_TRUE(Node::plain(NodeKind::Exchange, "x", {}, InputList()).name().empty());
  EXPECT_THROW(Node::plain(NodeKind::Stage, "", {}, InputList()), InternalError);
}

TEST(ParamMap, SortsByUnsignedKeyBytesAndKeepsRepeatsStable) {
  const ParamMap map = ParamMap::from_unsorted({{"\xc3\xa9", ParamValue::of_int(0)},
                                                {"ab", ParamValue::of_int(1)},
                                                {"a", ParamValue::of_int(2)},
                                                {"a", ParamValue::of_int(3)}});
  std::vector<std::pair<std::string, std::int64_t>> got;
  for (const auto& [k, v] : map)
    got.emplace_back(k, v.as_int());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::int64_t>>{
                     {"a", 2}, {"a", 3}, {"ab", 1}, {"\xc3\xa9", 0}}));
}

// Names are hashed in words with a short tail gathered by overlapping loads: a change of any one
// byte, at any position and length, must reach the hash.
TEST(Node, EveryNameByteReachesTheHash) {
  for (std::size_t length = 1; length <= 24; ++length) {
    const std::string name(length, 'a');
    const std::uint64_t base = hash_node(Node::op(name, {}, {0}), 7);
    for (std::size_t at = 0; at < length; ++at) {
      std::string changed = name;
      changed[at] = '\xe9';
      EXPECT_NE(hash_node(Node::op(changed, {}, {0}), 7), base) << length << " " << at;
    }
  }
}

// The builder sorts in place (insertion sort for short maps, a stable sort past 16 entries) and
// must give exactly what from_unsorted gives, repeated keys in their order of arrival.
TEST(ParamMap, BuilderMatchesFromUnsorted) {
  for (std::size_t size : {0u, 1u, 2u, 3u, 16u, 17u, 40u}) {
    std::vector<ParamEntry> entries;
    for (std::size_t i = 0; i < size; ++i) {
      // Keys out of order, some repeated, some non-ASCII and some prefixes of others.
      std::string key =
          std::string(1, static_cast<char>("zaq\xc3m"[(i * 7) % 5])) + std::string(i % 3, 'b');
      entries.emplace_back(std::move(key), ParamValue::of_int(static_cast<std::int64_t>(i)));
    }
    ParamMap::Builder builder(size);
    for (const auto& [key, value] : entries)
      builder.add(key, value);
    const ParamMap built = std::move(builder).finish();
    const ParamMap expected = ParamMap::from_unsorted(entries);
    EXPECT_EQ(built.empty(), size == 0);
    ASSERT_EQ(built.size(), expected.size());
    for (std::size_t i = 0; i < size; ++i) {
      EXPECT_EQ(built.entries()[i].first, expected.entries()[i].first) << size << " " << i;
      EXPECT_EQ(built.entries()[i].second.as_int(), expected.entries()[i].second.as_int());
    }
  }
}

TEST(ParamMap, BuilderRefusesEntriesPastItsCapacity) {
  ParamMap::Builder none(0);
  EXPECT_THROW(none.add("k", ParamValue::of_int(1)), InternalError);
  ParamMap::Builder one(1);
  one.add("a long key past the short-string buffer", ParamValue::of_str(std::string(40, 'v')));
  EXPECT_THROW(one.add("k", ParamValue::of_int(1)), InternalError);
  // Abandoned with an entry in it: the destructor frees it (checked under the sanitizers).
  ParamMap::Builder abandoned(3);
  abandoned.add("x", ParamValue::of_str(std::string(40, 'w')));
  const ParamMap empty = std::move(ParamMap::Builder(2)).finish();
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace zembric
