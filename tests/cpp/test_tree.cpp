// Building the tree: insertion, batch insertion, splitting, listing,
// clearing, rebuilding and determinism.
#include <set>

#include "test_support.h"

namespace {

using namespace vexel_test;

struct CountedIndex {
  Index index;
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  explicit CountedIndex(Distance metric = euclidean) {
    index.set_distance_function(counted(std::move(metric), log));
  }
};

std::uint32_t clamped_degree(const Index& index, std::size_t held, std::size_t m, std::size_t n) {
  auto q = static_cast<std::uint32_t>((std::uint64_t{held} * m) / n);
  return std::min(std::max(q, index.min_degree), index.max_degree);
}

std::size_t subtree_size(const Node& node) {
  std::vector<const Point*> stored;
  collect_stored(node, stored);
  return stored.size();
}

// Pre-order walk written independently of the index: pivot, bucket, children.
void pre_order(const Node& node, std::vector<Point>& out) {
  out.push_back(node.pivot);
  out.insert(out.end(), node.points.begin(), node.points.end());
  for (const auto& child : node.children) pre_order(*child, out);
}

TEST(Tree, FirstAddStoresOnlyThePivotWithoutAnyDistance) {
  Index bare;  // no distance function at all
  bare.add({1.0, 2.0});
  EXPECT_EQ(bare.size(), 1u);
  ASSERT_TRUE(bare.tree);
  EXPECT_EQ(bare.tree->pivot, (Point{1.0, 2.0}));
  EXPECT_TRUE(bare.tree->points.empty());
  EXPECT_TRUE(bare.tree->children.empty());
  EXPECT_EQ(bare.tree->degree, 8u);

  CountedIndex counted_index;
  counted_index.index.add({3.0});
  EXPECT_EQ(counted_index.log->calls, 0u);
}

TEST(Tree, RootSplitsOnThe52ndSingleInsertion) {
  CountedIndex c;
  const auto points = random_points(52, 3, 11);
  for (std::size_t i = 0; i < 51; ++i) c.index.add(points[i]);
  EXPECT_TRUE(c.index.tree->children.empty()) << "51 Points must not split";
  EXPECT_EQ(c.index.tree->points.size(), 50u);
  EXPECT_EQ(c.log->calls, 0u) << "a leaf root below the threshold evaluates nothing";

  c.index.add(points[51]);
  EXPECT_EQ(c.index.size(), 52u);
  ASSERT_EQ(c.index.tree->children.size(), 8u);
  EXPECT_EQ(c.log->calls, 51u * 8u) << "one selection over the 51 bucket Points";
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
  EXPECT_EQ(sorted(listed(c.index)), sorted(points));
}

TEST(Tree, BatchOf52SplitsTheRootOnce) {
  CountedIndex c;
  const auto points = random_points(52, 2, 12);
  c.index.add_list(points);
  EXPECT_EQ(c.index.size(), 52u);
  EXPECT_EQ(c.index.tree->pivot, points[0]);
  ASSERT_EQ(c.index.tree->children.size(), 8u);
  for (const auto& child : c.index.tree->children) EXPECT_TRUE(child->children.empty());
  EXPECT_EQ(c.log->calls, 51u * 8u);
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
  EXPECT_EQ(sorted(listed(c.index)), sorted(points));
}

TEST(Tree, BatchOf51DoesNotSplitAndEmptyBatchChangesNothing) {
  CountedIndex c;
  c.index.add_list({});
  EXPECT_FALSE(c.index.tree);
  const auto points = random_points(51, 2, 13);
  c.index.add_list(points);
  EXPECT_TRUE(c.index.tree->children.empty());
  EXPECT_EQ(c.index.tree->points.size(), 50u);
  c.index.add_list({});
  EXPECT_EQ(c.index.size(), 51u);
  EXPECT_EQ(listed(c.index), points);
  EXPECT_EQ(c.log->calls, 0u);
}

// Bucket layout (the root pivot is separate): six far outliers, a cluster of
// 11 near 500 and a cluster of 34 near 0. A fresh selector draws bucket index
// 41 (in the 0 cluster) first; the outliers and one point of the 500 cluster
// follow. Degrees come from each child's share of the 51 rows.
TEST(Tree, ChildDegreesFollowTheirShareAndSingletonsCoverZero) {
  std::vector<Point> points{{-100.0}};
  for (int i = 1; i <= 6; ++i) points.push_back({1000.0 * i});
  for (int i = 0; i < 11; ++i) points.push_back({500.0 + i});
  for (int i = 0; i < 34; ++i) points.push_back({static_cast<double>(i)});
  ASSERT_EQ(points.size(), 52u);

  CountedIndex c;
  c.index.add_list(points);
  const Node& root = *c.index.tree;
  ASSERT_EQ(root.children.size(), 8u);
  std::vector<std::size_t> held;
  for (const auto& child : root.children) {
    held.push_back(child->points.size());
    EXPECT_EQ(child->degree, clamped_degree(c.index, child->points.size(), 8, 51));
    if (child->points.empty()) {
      EXPECT_EQ(child->min_radius, 0.0);
      EXPECT_EQ(child->max_radius, 0.0);
      EXPECT_EQ(child->degree, 4u);
    }
  }
  std::sort(held.begin(), held.end());
  EXPECT_EQ(held, (std::vector<std::size_t>{0, 0, 0, 0, 0, 0, 10, 33}));
  EXPECT_EQ(root.children[0]->pivot, points[42]) << "the drawn center comes first";
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

// After one batch of distinct Points every child degree is the clamped share
// of its parent's bucket, and re-split children got exactly that many centers.
TEST(Tree, DegreesAcrossARecursiveBatchSplit) {
  for (std::uint32_t seed : {21u, 22u}) {
    CountedIndex c(manhattan);
    // A dense blob plus a sparse background, so shares (and degrees) vary.
    auto points = random_points(2700, 2, seed, 0.0, 0.05);
    auto sparse = random_points(300, 2, seed + 100, 0.0, 1.0);
    points.insert(points.end(), sparse.begin(), sparse.end());
    c.index.add_list(points);
    EXPECT_TRUE(tree_is_consistent(c.index, manhattan));
    std::size_t degrees_above_minimum = 0;
    for (const Node* node : all_nodes(c.index)) {
      const std::size_t m = node->children.size();
      if (m == 0) continue;
      std::size_t n = 0;
      for (const auto& child : node->children) n += subtree_size(*child);
      for (const auto& child : node->children) {
        const std::uint32_t expected = clamped_degree(c.index, subtree_size(*child) - 1, m, n);
        if (child->children.empty()) {
          EXPECT_EQ(child->degree, expected);
        } else {
          EXPECT_EQ(child->children.size(), expected);
        }
        EXPECT_EQ(child->ranges.size(), node == c.index.tree.get() ? 8u : m);
        if (expected > 4) ++degrees_above_minimum;
      }
    }
    EXPECT_GT(degrees_above_minimum, 0u) << "data should exercise more than the clamp";
  }
}

// The discrete metric makes every non-center tie with all centers: ties go
// to the lowest child position, in the split and in later insertions.
TEST(Tree, TiesGoToTheLowerChildPosition) {
  auto discrete = [](const Point& a, const Point& b) { return a == b ? 0.0 : 1.0; };
  CountedIndex c(discrete);
  const auto points = random_points(52, 2, 31);
  c.index.add_list(points);
  const Node& root = *c.index.tree;
  ASSERT_EQ(root.children.size(), 8u);
  EXPECT_EQ(root.children[0]->points.size(), 43u);
  EXPECT_EQ(root.children[0]->degree, 6u);  // (43 * 8) / 51
  for (std::size_t i = 1; i < 8; ++i) EXPECT_TRUE(root.children[i]->points.empty());
  c.index.add({7.0, 7.0});
  EXPECT_EQ(root.children[0]->points.back(), (Point{7.0, 7.0}));
  EXPECT_TRUE(tree_is_consistent(c.index, discrete));
}

struct BuildCase {
  const char* name;
  Distance metric;
  std::size_t dims;
  bool batch;
};

class TreeInvariants : public ::testing::TestWithParam<BuildCase> {};

TEST_P(TreeInvariants, HoldAfterBuildingAndListPreOrder) {
  const BuildCase& param = GetParam();
  CountedIndex c(param.metric);
  const auto points = random_points(2500, param.dims, 41);
  if (param.batch) {
    c.index.add_list(points);
  } else {
    for (const Point& p : points) c.index.add(p);
  }
  EXPECT_EQ(c.index.size(), points.size());
  EXPECT_TRUE(tree_is_consistent(c.index, param.metric));
  std::vector<Point> expected;
  pre_order(*c.index.tree, expected);
  EXPECT_EQ(listed(c.index), expected);
  EXPECT_EQ(sorted(expected), sorted(points));
  // A true metric with distinct Points needs no distance to list.
  const auto before = c.log->calls;
  listed(c.index);
  EXPECT_EQ(c.log->calls, before);
}

INSTANTIATE_TEST_SUITE_P(Metrics, TreeInvariants,
                         ::testing::Values(BuildCase{"EuclideanSingle", euclidean, 3, false},
                                           BuildCase{"EuclideanBatch", euclidean, 3, true},
                                           BuildCase{"ManhattanSingle", manhattan, 5, false},
                                           BuildCase{"ChebyshevBatch", chebyshev, 2, true}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(Tree, ListOnEmptyIndexDiscardsTheVector) {
  Index index;
  std::vector<Point> out{{1.0}, {2.0}};
  index.list(out);
  EXPECT_TRUE(out.empty());
}

TEST(Tree, ClearEmptiesButKeepsTheSearchOffset) {
  CountedIndex c;
  const auto points = random_points(400, 2, 51);
  c.index.add_list(points);
  std::vector<Point> result;
  c.index.nearest_k(points[3], 5, result);
  c.index.remove(points[100]);
  const auto offset = c.index.search_offset;
  ASSERT_GT(offset, 0u);
  c.index.clear();
  EXPECT_EQ(c.index.size(), 0u);
  EXPECT_FALSE(c.index.tree);
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.search_offset, offset);
  const auto calls = c.log->calls;
  c.index.add({5.0, 5.0});
  EXPECT_EQ(c.log->calls, calls) << "a fresh root evaluates nothing";
  EXPECT_EQ(c.index.size(), 1u);
  EXPECT_EQ(listed(c.index), (std::vector<Point>{{5.0, 5.0}}));
}

TEST(Tree, RebuildKeepsTheLivePointsAndEmptiesTheRemovedSet) {
  CountedIndex c;
  auto points = random_points(700, 3, 61);
  for (const Point& p : points) c.index.add(p);
  // Remove every third bucket Point (removing a pivot would rebuild at once).
  std::vector<Point> pivots;
  for (const Node* n : all_nodes(c.index)) pivots.push_back(n->pivot);
  std::vector<Point> live;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const bool is_pivot = std::find(pivots.begin(), pivots.end(), points[i]) != pivots.end();
    if (!is_pivot && i % 3 == 0) {
      ASSERT_TRUE(c.index.remove(points[i]));
    } else {
      live.push_back(points[i]);
    }
  }
  ASSERT_FALSE(c.index.removed.empty());
  const auto offset = c.index.search_offset;
  c.index.rebuild();
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.size(), live.size());
  EXPECT_EQ(sorted(listed(c.index)), sorted(live));
  EXPECT_EQ(c.index.search_offset, offset);
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
  EXPECT_EQ(c.index.tree->pivot, listed(c.index)[0]);
}

// The same operations on two fresh indexes build the same tree.
TEST(Tree, SameOperationsBuildIdenticalTrees) {
  CountedIndex a;
  CountedIndex b;
  const auto points = random_points(1200, 4, 71);
  for (CountedIndex* c : {&a, &b}) {
    c->index.add_list(std::vector<Point>(points.begin(), points.begin() + 300));
    for (std::size_t i = 300; i < points.size(); ++i) c->index.add(points[i]);
    for (std::size_t i = 0; i < points.size(); i += 7) c->index.remove(points[i]);
    std::vector<Point> result;
    c->index.nearest_k(points[5], 10, result);
    c->index.add_list(std::vector<Point>(points.begin(), points.begin() + 100));
  }
  ASSERT_TRUE(a.index.tree && b.index.tree);
  EXPECT_TRUE(same_tree(*a.index.tree, *b.index.tree));
  EXPECT_EQ(a.index.size(), b.index.size());
  EXPECT_EQ(a.index.search_offset, b.index.search_offset);
  EXPECT_EQ(a.log->calls, b.log->calls);
}

// With the insertion-triggered rebuild enabled, a leaf that needs a split
// once the count reaches the threshold rebuilds instead, and the threshold
// doubles; clear then resets it from the leaf size and root degree.
TEST(Tree, RebuildThresholdDoublesAfterEachTriggeredRebuild) {
  CountedIndex c;
  c.index.rebuild_threshold = 60;
  const auto points = random_points(1500, 2, 81);
  std::vector<std::size_t> thresholds{60};
  for (const Point& p : points) {
    c.index.add(p);
    if (c.index.rebuild_threshold != thresholds.back()) thresholds.push_back(c.index.rebuild_threshold);
  }
  ASSERT_GT(thresholds.size(), 1u);
  for (std::size_t i = 1; i < thresholds.size(); ++i) EXPECT_EQ(thresholds[i], 2 * thresholds[i - 1]);
  EXPECT_EQ(c.index.size(), points.size());
  EXPECT_EQ(sorted(listed(c.index)), sorted(points));
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
  c.index.clear();
  EXPECT_EQ(c.index.rebuild_threshold, 50u * 8u);
}

TEST(Tree, DefaultThresholdIsNeverChangedByClear) {
  Index index;
  index.clear();
  EXPECT_EQ(index.rebuild_threshold, std::numeric_limits<std::size_t>::max());
}

// A function with d(x, x) != 0 (a constant 1) makes the selector choose the
// same index more than once; each Point must still be stored exactly once.
TEST(Tree, RepeatedCentersStoreEveryPointOnce) {
  auto constant = [](const Point&, const Point&) { return 1.0; };
  for (bool batch : {false, true}) {
    Index index;
    index.set_distance_function(constant);
    const auto points = random_points(700, 2, 91);
    if (batch) {
      index.add_list(points);
    } else {
      for (const Point& p : points) index.add(p);
    }
    EXPECT_EQ(index.size(), points.size());
    EXPECT_EQ(stored_count(index), points.size());
    const auto out = listed(index);
    EXPECT_EQ(out.size(), index.size());
    EXPECT_EQ(sorted(out), sorted(points));
    for (const Node* node : all_nodes(index)) {
      std::set<Point> child_pivots;
      for (const auto& child : node->children) {
        EXPECT_TRUE(child_pivots.insert(child->pivot).second) << "two children share a center";
      }
    }
    std::vector<Point> result;
    index.nearest_k(points[0], points.size(), result);
    EXPECT_EQ(sorted(result), sorted(points));
  }
}

}  // namespace

// A batch build gives every stored Point fresh storage; the Point objects, and
// with them the tree and the order among equally distant results, stay put.
TEST(Tree, LayingOutPointsKeepsEveryPointObjectAndItsValue) {
  Index index;
  index.set_distance_function(euclidean);
  index.add_list(random_points(3000, 4, 11));

  std::vector<const Point*> stored;
  collect_stored(*index.tree, stored);
  std::vector<Point> before;
  std::vector<const double*> data_before;
  for (const Point* p : stored) {
    before.push_back(*p);
    data_before.push_back(p->data());
  }

  index.lay_out_points();

  std::vector<const Point*> stored_after;
  collect_stored(*index.tree, stored_after);
  ASSERT_EQ(stored_after, stored);
  std::size_t moved = 0;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    EXPECT_EQ(*stored[i], before[i]);
    moved += stored[i]->data() != data_before[i] ? 1 : 0;
  }
  EXPECT_EQ(moved, stored.size());
}
