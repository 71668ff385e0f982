// UnionFind against a plain partition model: one set label per id, relabelled on every link.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "egraph/union_find.h"
#include "support/internal_error.h"

namespace zembric::egraph {
namespace {

class UnionFindModel : public ::testing::TestWithParam<std::uint32_t> {
 protected:
  ClassId pick(std::size_t n) { return static_cast<ClassId>(rng_() % n); }

  ClassId make_set() {
    const ClassId id = uf_.make_set();
    EXPECT_EQ(id, label_.size()) << "make_set hands out the next slot";
    label_.push_back(id);
    return id;
  }

  // Links root a under root b, in both the union-find and the model.
  void link(ClassId a, ClassId b) {
    uf_.link(a, b);
    const ClassId from = label_[a];
    const ClassId to = label_[b];
    for (ClassId& l : label_)
      if (l == from) l = to;
  }

  // Roots are fixed points, find and find_compressing agree, and root <-> label is one to one,
  // which is "same root iff same set" without comparing all pairs.
  void check_partition() {
    std::vector<ClassId> label_of_root(label_.size(), kNoClass);
    std::vector<ClassId> root_of_label(label_.size(), kNoClass);
    for (ClassId id = 0; id < label_.size(); ++id) {
      const ClassId root = uf_.find(id);
      ASSERT_LT(root, uf_.size());
      ASSERT_EQ(uf_.find(root), root) << "root of " << id << " is not a fixed point";
      if (rng_() % 2 == 0) {  // compress some paths, so later finds walk halved ones
        ASSERT_EQ(uf_.find_compressing(id), root) << "id " << id;
      }
      if (label_of_root[root] == kNoClass) label_of_root[root] = label_[id];
      if (root_of_label[label_[id]] == kNoClass) root_of_label[label_[id]] = root;
      ASSERT_EQ(label_of_root[root], label_[id]) << "id " << id << " shares a root across sets";
      ASSERT_EQ(root_of_label[label_[id]], root) << "id " << id << " left its set's root";
    }
  }

  std::mt19937 rng_{GetParam()};
  UnionFind uf_;
  std::vector<ClassId> label_;
};

TEST_P(UnionFindModel, AgreesWithAPartitionModelThroughRandomAndDeepLinks) {
  for (int round = 0; round < 40; ++round) {
    switch (pick(4)) {
      case 0:  // fresh singletons
        for (ClassId k = pick(8); k-- > 0;)
          make_set();
        break;
      case 1: {  // a line: each root goes under a fresh one, so paths grow one link per step
        ClassId top = label_.empty() ? make_set() : uf_.find(pick(label_.size()));
        for (ClassId k = 2 + pick(30); k-- > 0;) {
          const ClassId next = make_set();
          link(top, next);
          top = next;
        }
        break;
      }
      default:  // random links of distinct roots, deep sets included
        for (ClassId k = pick(6); k-- > 0 && label_.size() > 1;) {
          const ClassId a = uf_.find(pick(label_.size()));
          const ClassId b = uf_.find(pick(label_.size()));
          if (a != b) link(a, b);
        }
    }
    ASSERT_NO_FATAL_FAILURE(check_partition()) << "round " << round;
  }
  EXPECT_THROW(uf_.find(static_cast<ClassId>(uf_.size())), InternalError);
  EXPECT_THROW(uf_.find_compressing(static_cast<ClassId>(uf_.size())), InternalError);
}

INSTANTIATE_TEST_SUITE_P(Seeds, UnionFindModel,
                         ::testing::Range(std::uint32_t{1}, std::uint32_t{7}));

}  // namespace
}  // namespace zembric::egraph
