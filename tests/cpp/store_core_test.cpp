#include "store/store_core.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <thread>

#include "node_factories.h"
#include "store/optimizer_key.h"
#include "support/internal_error.h"
#include "support/no_index.h"

namespace zembric {
namespace {

std::vector<NodeId> ids(std::span<const NodeId> span) {
  return {span.begin(), span.end()};
}

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "literal" + std::string.
std::string numbered(const char* prefix, std::uint64_t i) {
  std::string text(prefix);
  text += std::to_string(i);
  return text;
}

TEST(StoreCore, InterningReturnsTheExistingId) {
  StoreCore store;
  EXPECT_EQ(store.intern(source_node("x", {})).value(), 0u);
  EXPECT_EQ(store.intern(source_node("y", {})).value(), 1u);
  EXPECT_EQ(store.intern(Node::op("add", {}, {0, 1})).value(), 2u);
  EXPECT_EQ(store.intern(Node::op("add", {}, {0, 1})).value(), 2u);
  EXPECT_EQ(store.intern(Node::op("add", {}, {1, 0})).value(), 3u);
  EXPECT_EQ(store.intern(source_node("x", {})).value(), 0u);
  EXPECT_EQ(store.node_count(), 4u);
}

TEST(StoreCore, BadInputReportsTheFirstOffenderAndChangesNothing) {
  StoreCore store;
  ASSERT_TRUE(store.intern(source_node("x", {})).has_value());
  auto bad = store.intern(Node::op("add", {}, {0, 1, 7}));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().id, 1u);
  EXPECT_EQ(store.node_count(), 1u);
  // The failed node left no trace in the index either.
  EXPECT_EQ(store.intern(Node::op("add", {}, {0})).value(), 1u);
}

TEST(StoreCore, ManyNodesKeepDenseIdsThroughIndexGrowth) {
  StoreCore store;
  constexpr NodeId kCount = 50000;
  for (NodeId i = 0; i < kCount; ++i) {
    ASSERT_EQ(store.intern(source_node(numbered("s", i), {})).value(), i);
  }
  for (NodeId i = 0; i < kCount; i += 97) {
    ASSERT_EQ(store.intern(source_node(numbered("s", i), {})).value(), i);
  }
  EXPECT_EQ(store.node_count(), kCount);
}

// The builder appends without lookups and indexes afterwards; from the first node equal to an
// earlier one, the rest is interned with its inputs read as positions, and the builder says
// where every position ended.
TEST(StoreCoreBuilder, IndexingInternsEverythingFromTheFirstDuplicate) {
  StoreCore store;
  constexpr NodeId kDistinct = 30000;
  {
    StoreCore::Builder builder(store);
    builder.reserve(kDistinct + 2);
    for (NodeId i = 0; i < kDistinct; ++i) {
      ASSERT_FALSE(builder.append(source_node(numbered("s", i), {})));
    }
    ASSERT_FALSE(builder.append(source_node(numbered("s", 17), {})));
    ASSERT_FALSE(builder.append(Node::op("neg", {}, {kDistinct})));
    const auto indexed = builder.index_appended();
    ASSERT_TRUE(indexed);
    const std::vector<NodeId>& id_of = indexed.value();
    ASSERT_EQ(id_of.size(), kDistinct + 2);
    for (NodeId i = 0; i < kDistinct; i += 97)
      ASSERT_EQ(id_of[i], i);
    EXPECT_EQ(id_of[kDistinct], 17u) << "the duplicate is the earlier node";
    EXPECT_EQ(id_of[kDistinct + 1], kDistinct) << "its user reads it through the map";
    EXPECT_EQ(builder.node(kDistinct), Node::op("neg", {}, {17}));
    EXPECT_EQ(builder.intern(Node::op("neg", {}, {17})).value(), kDistinct);
    EXPECT_FALSE(builder.mark_output(kDistinct));
    EXPECT_EQ(builder.mark_output(kDistinct + 1)->id, kDistinct + 1);
  }
  EXPECT_EQ(store.node_count(), kDistinct + 1);
  EXPECT_EQ(ids(store.marks()), (std::vector<NodeId>{kDistinct}));
  for (NodeId i = 0; i < kDistinct; i += 101) {
    ASSERT_EQ(store.intern(source_node(numbered("s", i), {})).value(), i);
  }
  EXPECT_EQ(store.intern(Node::op("neg", {}, {17})).value(), kDistinct);
  EXPECT_EQ(store.node_count(), kDistinct + 1);
}

TEST(StoreCoreBuilder, RefusesBadInputsAndDropsWhatWasNeverIndexed) {
  StoreCore store;
  {
    StoreCore::Builder builder(store);
    ASSERT_FALSE(builder.append(source_node("x", {})));
    EXPECT_EQ(builder.append(Node::op("add", {}, {0, 1, 7}))->id, 1u);
    EXPECT_TRUE(builder.index_appended().value().empty());
    ASSERT_FALSE(builder.append(source_node("y", {})));
    // Interning before the appended nodes are indexed would skip them: refused.
    EXPECT_THROW((void)builder.intern(source_node("z", {})), InternalError);
  }
  // "y" was appended but never indexed, so the builder dropped it; the store works as before.
  EXPECT_EQ(store.node_count(), 1u);
  EXPECT_EQ(store.intern(source_node("y", {})).value(), 1u);
  EXPECT_EQ(store.intern(source_node("x", {})).value(), 0u);
}

// An adopted list is indexed when a node is first added: the store then finds each of its nodes,
// and a list that holds two equal nodes after all is caught there rather than served twice.
TEST(StoreCoreBuilder, AdoptedListsAreIndexedOnFirstIntern) {
  auto adopted = [](std::initializer_list<const char*> sources) {
    NodeList nodes;
    for (const char* name : sources)
      nodes.push_back(source_node(name, {}));
    nodes.push_back(Node::op("neg", {}, {0}));
    auto store = std::make_unique<StoreCore>();
    StoreCore::Builder builder(*store);
    builder.adopt_distinct(std::move(nodes));
    EXPECT_THROW(builder.adopt_distinct(NodeList()), InternalError);
    return store;
  };
  const auto store = adopted({"x", "y"});
  EXPECT_EQ(store->node_count(), 3u);
  EXPECT_EQ(store->intern(Node::op("neg", {}, {0})).value(), 2u);
  EXPECT_EQ(store->intern(source_node("y", {})).value(), 1u);
  EXPECT_EQ(store->intern(Node::op("exp", {}, {1})).value(), 3u);

  EXPECT_THROW((void)adopted({"x", "x"})->intern(source_node("z", {})), InternalError);
}

// Past a few hundred thousand entries the slots live in a mapping of their own; copies and moves
// must carry every entry across.
TEST(FlatIdIndex, LargeIndexesFindEveryIdAfterGrowthCopyAndMove) {
  constexpr std::uint32_t kCount = 700000;
  auto hash_of = [](std::uint32_t id) { return (std::uint64_t{id} * 0x9e3779b97f4a7c15ULL) ^ id; };
  FlatIdIndex index;
  for (std::uint32_t id = 0; id < kCount; ++id)
    index.insert(hash_of(id), id);
  const FlatIdIndex copy = index;
  const FlatIdIndex moved = std::move(index);
  for (const FlatIdIndex* each : {&copy, &moved}) {
    ASSERT_EQ(each->size(), kCount);
    for (std::uint32_t id = 0; id < kCount; id += 7) {
      ASSERT_EQ(each->find(hash_of(id), [&](std::uint32_t found) { return found == id; }), id);
    }
    EXPECT_EQ(each->find(hash_of(kCount), [](std::uint32_t) { return false; }), kNoIndex);
  }
}

// Nodes that share a shape under other inputs, and shapes that differ in one field only.
std::vector<Node> nodes_of_few_shapes() {
  const auto descriptor = [](const char* kind, const char* hash, std::optional<std::string> ref) {
    return PayloadDescriptor{kind, hash, "fw", "1", "io", std::move(ref)};
  };
  const ParamMap one = ParamMap::from_unsorted({{"k", ParamValue::of_int(1)}});
  const ParamMap two = ParamMap::from_unsorted({{"k", ParamValue::of_int(2)}});
  const StageMember neg{"op|neg", {{MemberTokenKind::Input, 0}}};
  const StageMember exp{"op|exp", {{MemberTokenKind::Member, 0}}};
  std::vector<Node> nodes = {source_node("x", {}), source_node("y", {}), source_node("x", one)};
  for (NodeId a = 0; a < 2; ++a) {
    const NodeId b = 1 - a;
    nodes.push_back(Node::op("add", {}, {a, b}));
    nodes.push_back(Node::op("add", one, {a, b}));
    nodes.push_back(Node::op("add", two, {a}));
    nodes.push_back(Node::op("mul", {}, {a, b}));
    nodes.push_back(reduction_node("add", {}, {a}));
    nodes.push_back(Node::external(descriptor("k", "h", std::nullopt), {}, {a}));
    nodes.push_back(Node::external(descriptor("k", "h", "-"), {}, {a}));
    nodes.push_back(Node::external(descriptor("k", "h", "-"), one, {a, b}));
    nodes.push_back(Node::stage({a}, {neg, exp}));
    nodes.push_back(Node::stage({a, b}, {neg}));
  }
  return nodes;
}

// Shapes equal exactly where optimizer keys are, also when every shape hash collides.
TEST(StoreCore, ShapesAreOptimizerKeys) {
  const std::vector<Node> nodes = nodes_of_few_shapes();
  // Collisions stay forced only while the store is built, even when an assertion fails.
  struct Collisions {
    explicit Collisions(std::uint32_t mask) { FlatIdIndex::collision_mask_for_testing = mask; }
    ~Collisions() { FlatIdIndex::collision_mask_for_testing = ~std::uint32_t{0}; }
  };
  for (const std::uint32_t mask : {~std::uint32_t{0}, std::uint32_t{0x1}}) {
    StoreCore store;
    {
      const Collisions forced(mask);
      for (std::size_t i = 0; i < nodes.size(); ++i)
        ASSERT_EQ(store.intern(Node(nodes[i])).value(), i);
    }
    store.read_shaped([&](std::span<const Node>, auto, const ShapeTable& shapes) {
      ASSERT_EQ(shapes.shaped(), nodes.size());
      for (NodeId i = 0; i < nodes.size(); ++i) {
        const ShapeId shape = shapes.shape_of(i);
        EXPECT_EQ(shapes.key(shape), optimizer_key(nodes[i])) << i;
        EXPECT_EQ(shapes.key_hash(shape), optimizer_key_hash(shapes.key(shape), shapes.key_seed()));
        for (NodeId j = 0; j < i; ++j) {
          EXPECT_EQ(shapes.shape_of(i) == shapes.shape_of(j),
                    optimizer_key(nodes[i]) == optimizer_key(nodes[j]))
              << i << " and " << j;
        }
      }
    });
  }
}

TEST(StoreCore, MarksAreDistinctInFirstMarkOrder) {
  StoreCore store;
  for (const char* name : {"a", "b", "c"})
    ASSERT_TRUE(store.intern(source_node(name, {})));
  EXPECT_FALSE(store.mark_output(2));
  EXPECT_FALSE(store.mark_output(0));
  EXPECT_FALSE(store.mark_output(2));
  ASSERT_TRUE(store.mark_output(3).has_value());
  EXPECT_EQ(store.mark_output(3)->id, 3u);
  EXPECT_EQ(store.marks(), (std::vector<NodeId>{2, 0}));
  // Marks made before later nodes arrive still count once.
  ASSERT_TRUE(store.intern(source_node("d", {})));
  EXPECT_FALSE(store.mark_output(3));
  EXPECT_FALSE(store.mark_output(0));
  EXPECT_EQ(store.marks(), (std::vector<NodeId>{2, 0, 3}));
}

TEST(StoreCore, CopiesAreIndependentOfLaterGrowth) {
  StoreCore store;
  ASSERT_TRUE(store.intern(source_node("x", {})));
  ASSERT_TRUE(store.intern(Node::op("neg", {}, {0})));
  ASSERT_FALSE(store.mark_output(1));
  StoreSnapshot snap = store.snapshot();
  ASSERT_TRUE(store.intern(Node::op("exp", {}, {1})));
  EXPECT_EQ(snap.nodes.size(), 2u);
  EXPECT_EQ(snap.marks, (std::vector<NodeId>{1}));
  EXPECT_EQ(store.nodes_since(1).size(), 2u);
  EXPECT_EQ(store.nodes_since(1)[0], Node::op("neg", {}, {0}));
  EXPECT_TRUE(store.nodes_since(3).empty());
  EXPECT_TRUE(store.nodes_since(99).empty());
  store.read([](std::span<const Node> nodes, std::span<const NodeId> outputs) {
    EXPECT_EQ(nodes.size(), 3u);
    EXPECT_EQ(ids(outputs), (std::vector<NodeId>{1}));
  });
}

TEST(StoreCore, AnExceptionUnderTheLockPoisonsTheStore) {
  StoreCore store;
  ASSERT_TRUE(store.intern(source_node("x", {})));
  EXPECT_THROW(store.read([](auto, auto) -> int { throw InternalError("boom"); }), InternalError);
  try {
    (void)store.node_count();
    FAIL() << "a poisoned store must refuse every operation";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "zembric-core store mutex poisoned");
  }
  EXPECT_THROW((void)store.intern(source_node("y", {})), InternalError);
}

TEST(StoreCore, ConcurrentInternsAgreeOnIds) {
  StoreCore store;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<NodeId>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        seen[t].push_back(
            store.intern(source_node(numbered("n", static_cast<std::uint64_t>(i)), {})).value());
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(store.node_count(), static_cast<std::uint64_t>(kPerThread));
  for (int t = 1; t < kThreads; ++t)
    EXPECT_EQ(seen[t], seen[0]);
}

// locked() must poison exactly when a Guard would: only an exception escaping the operation.
TEST(PoisonableMutex, LockedPoisonsOnlyWhenAnExceptionEscapes) {
  PoisonableMutex mutex;
  EXPECT_EQ(mutex.locked("poisoned", [] { return 7; }), 7);
  EXPECT_EQ(mutex.locked("poisoned",
                         [] {
                           try {
                             throw std::runtime_error("handled inside");
                           } catch (const std::runtime_error&) {
                           }
                           return 8;
                         }),
            8);
  // Used from a destructor while another exception unwinds: that one does not escape it.
  struct LocksOnUnwind {
    PoisonableMutex& mutex;
    ~LocksOnUnwind() {
      EXPECT_EQ(mutex.locked("poisoned", [] { return 9; }), 9);
    }
  };
  EXPECT_THROW(
      {
        LocksOnUnwind user{mutex};
        throw std::runtime_error("unwinding");
      },
      std::runtime_error);
  { PoisonableMutex::Guard still_usable(mutex, "poisoned"); }

  EXPECT_THROW((void)mutex.locked("poisoned", []() -> int { throw std::runtime_error("boom"); }),
               std::runtime_error);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (attempt == 0) {
        (void)mutex.locked("poisoned", [] { return 0; });
      } else {
        PoisonableMutex::Guard guard(mutex, "poisoned");
      }
      FAIL() << "a poisoned mutex must refuse every later user";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "poisoned");
    }
  }
}

// try_locked() runs nothing while another thread holds the mutex, and is locked() otherwise.
TEST(PoisonableMutex, TryLockedRunsOnlyWhenTheMutexIsFree) {
  PoisonableMutex mutex;
  std::optional<std::optional<int>> while_held;
  {
    PoisonableMutex::Guard held(mutex, "poisoned");
    std::thread other([&] { while_held = mutex.try_locked("poisoned", [] { return 1; }); });
    other.join();
  }
  ASSERT_TRUE(while_held);  // the other thread did call it
  EXPECT_FALSE(*while_held);
  EXPECT_EQ(mutex.try_locked("poisoned", [] { return 2; }), std::optional<int>(2));
  EXPECT_THROW(
      (void)mutex.try_locked("poisoned", []() -> int { throw std::runtime_error("boom"); }),
      std::runtime_error);
  EXPECT_THROW((void)mutex.try_locked("poisoned", [] { return 3; }), InternalError);
}

// The node count hint follows interning and a builder's filling.
TEST(StoreCore, NodeCountHintFollowsTheNodes) {
  StoreCore store;
  EXPECT_EQ(store.node_count_hint(), 0u);
  const NodeId x = store.intern(source_node("x", {})).value();
  (void)store.intern(Node::op("neg", {}, {x}));
  (void)store.intern(source_node("x", {}));  // interned: no new node
  EXPECT_EQ(store.node_count_hint(), 2u);
  StoreCore built;
  {
    StoreCore::Builder builder(built);
    ASSERT_FALSE(builder.append(source_node("y", {})));
    ASSERT_TRUE(builder.index_appended());
  }
  EXPECT_EQ(built.node_count_hint(), 1u);
}

}  // namespace
}  // namespace zembric
