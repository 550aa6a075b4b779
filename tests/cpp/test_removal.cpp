// Lazy removal, the removed set and its rebuilds, and replacing the
// distance function.
#include <set>

#include "test_support.h"

namespace {

using namespace vexel_test;

struct CountedIndex {
  Index index;
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  CountedIndex() { index.set_distance_function(counted(euclidean, log)); }
};

std::set<Point> pivots_of(const Index& index) {
  std::set<Point> pivots;
  for (const Node* n : all_nodes(index)) pivots.insert(n->pivot);
  return pivots;
}

std::vector<Point> without(std::vector<Point> points, const Point& gone) {
  points.erase(std::find(points.begin(), points.end(), gone));
  return points;
}

TEST(Removal, NewOrClearedIndexReturnsFalseWithoutEvaluating) {
  CountedIndex c;
  EXPECT_FALSE(c.index.remove({1.0}));
  c.index.add_list(random_points(200, 2, 201));
  c.index.clear();
  const auto calls = c.log->calls;
  EXPECT_FALSE(c.index.remove({1.0, 1.0}));
  EXPECT_EQ(c.log->calls, calls);
  Index bare;
  EXPECT_FALSE(bare.remove({1.0}));
}

TEST(Removal, PointNotStoredChangesNothingButTheOffset) {
  CountedIndex c;
  const auto points = random_points(800, 3, 211);
  c.index.add_list(points);
  c.index.remove(points[10]);
  c.index.remove(points[20]);
  const auto before_list = listed(c.index);
  const auto before_removed = c.index.removed;
  const auto before_offset = c.index.search_offset;
  for (const Point& stranger : random_points(20, 3, 212)) EXPECT_FALSE(c.index.remove(stranger));
  EXPECT_FALSE(c.index.remove(points[10])) << "its only copy is already removed";
  EXPECT_EQ(listed(c.index), before_list);
  EXPECT_EQ(c.index.removed, before_removed);
  EXPECT_EQ(c.index.size(), 798u);
  EXPECT_GT(c.index.search_offset, before_offset);
}

// A Point stored several times goes one copy per call. With the root pivot
// and two bucket copies of the query, the k = 1 search lands on the copy
// offered last: the buckets go first, the pivot last (which rebuilds).
TEST(Removal, CopiesGoOneAtATimeAndThePivotCopyLast) {
  CountedIndex c;
  const Point p{0.5, 0.5};
  std::vector<Point> points{p};
  for (const Point& q : random_points(20, 2, 221)) points.push_back(q);
  points.insert(points.begin() + 7, p);
  points.push_back(p);
  c.index.add_list(points);  // a leaf root: pivot p, two copies in the bucket
  ASSERT_TRUE(c.index.tree->children.empty());
  const Node* root = c.index.tree.get();
  EXPECT_TRUE(c.index.remove(p));
  EXPECT_EQ(c.index.removed.size(), 1u);
  EXPECT_EQ(*c.index.removed.begin(), &root->points.back());
  EXPECT_TRUE(c.index.remove(p));
  EXPECT_EQ(c.index.removed.size(), 2u);
  EXPECT_EQ(c.index.size(), points.size() - 2);
  EXPECT_TRUE(c.index.remove(p));
  EXPECT_TRUE(c.index.removed.empty()) << "removing the pivot rebuilds";
  EXPECT_FALSE(c.index.remove(p));
  EXPECT_EQ(c.index.size(), points.size() - 3);
  auto rest = points;
  rest.erase(std::remove(rest.begin(), rest.end(), p), rest.end());
  EXPECT_EQ(sorted(listed(c.index)), sorted(rest));
}

TEST(Removal, DuplicatesAnywhereInALargeTree) {
  CountedIndex c;
  auto points = random_points(1500, 2, 231);
  const Point twice = points[400];
  points.push_back(twice);
  for (const Point& q : points) c.index.add(q);
  EXPECT_TRUE(c.index.remove(twice));
  EXPECT_EQ(c.index.size(), 1500u);
  EXPECT_TRUE(c.index.remove(twice));
  EXPECT_EQ(c.index.size(), 1499u);
  EXPECT_FALSE(c.index.remove(twice));
  auto rest = points;
  rest.erase(std::remove(rest.begin(), rest.end(), twice), rest.end());
  EXPECT_EQ(sorted(listed(c.index)), sorted(rest));
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

TEST(Removal, RootPivotRebuildsAtOnce) {
  CountedIndex c;
  const auto points = random_points(900, 2, 241);
  c.index.add_list(points);
  const auto pivots = pivots_of(c.index);
  std::size_t marked = 0;
  for (std::size_t i = 1; marked < 5; ++i) {
    if (pivots.count(points[i]) == 0) {
      ASSERT_TRUE(c.index.remove(points[i]));
      ++marked;
    }
  }
  ASSERT_EQ(c.index.removed.size(), 5u);
  ASSERT_EQ(c.index.tree->pivot, points[0]);
  EXPECT_TRUE(c.index.remove(points[0]));
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.size(), 894u);
  const auto now = listed(c.index);
  EXPECT_EQ(now.size(), 894u);
  EXPECT_EQ(std::find(now.begin(), now.end(), points[0]), now.end());
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

TEST(Removal, ChildPivotRebuildsAtOnce) {
  CountedIndex c;
  const auto points = random_points(900, 2, 251);
  c.index.add_list(points);
  const Point child_pivot = c.index.tree->children[3]->pivot;
  const auto pivots = pivots_of(c.index);
  std::size_t i = 1;
  while (pivots.count(points[i]) != 0) ++i;
  ASSERT_TRUE(c.index.remove(points[i]));
  ASSERT_EQ(c.index.removed.size(), 1u);
  EXPECT_TRUE(c.index.remove(child_pivot));
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.size(), 898u);
  const auto now = listed(c.index);
  EXPECT_EQ(std::find(now.begin(), now.end(), child_pivot), now.end());
  EXPECT_NE(c.index.nearest(child_pivot), child_pivot);
}

TEST(Removal, The500thMarkRebuilds) {
  CountedIndex c;
  const auto points = random_points(3000, 3, 261);
  for (const Point& p : points) c.index.add(p);
  const auto pivots = pivots_of(c.index);
  std::vector<Point> live = points;
  std::size_t i = 0;
  auto remove_next_bucket_point = [&]() {
    while (pivots.count(points[i]) != 0) ++i;
    ASSERT_TRUE(c.index.remove(points[i]));
    live = without(std::move(live), points[i]);
    ++i;
  };
  for (int n = 0; n < 499; ++n) remove_next_bucket_point();
  EXPECT_EQ(c.index.removed.size(), 499u);
  EXPECT_EQ(pivots_of(c.index), pivots) << "no rebuild yet";
  EXPECT_EQ(sorted(listed(c.index)), sorted(live));
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
  remove_next_bucket_point();
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.size(), 2500u);
  EXPECT_EQ(stored_count(c.index), 2500u) << "the marked Points are gone";
  EXPECT_EQ(sorted(listed(c.index)), sorted(live));
}

TEST(Removal, NaNArgumentsAreNeverRemovedAndNegativeZeroMatchesZero) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  Index index;
  // A metric that still finds NaN Points: distance on the finite coordinates.
  index.set_distance_function([](const Point& a, const Point& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!std::isnan(a[i]) && !std::isnan(b[i])) sum += std::fabs(a[i] - b[i]);
    }
    return sum;
  });
  std::vector<Point> points = random_points(300, 2, 271);
  points[40] = {nan, 0.25};
  points[41] = {0.0, 0.75};
  index.add_list(points);
  EXPECT_FALSE(index.remove({nan, 0.25}));
  EXPECT_FALSE(index.remove({nan, 0.75}));
  EXPECT_EQ(index.size(), 300u);
  EXPECT_TRUE(index.remove({-0.0, 0.75}));
  EXPECT_EQ(index.size(), 299u);
  EXPECT_FALSE(index.remove({0.0, 0.75}));
}

TEST(Removal, RemovedPointsAreNeverReturned) {
  CountedIndex c;
  const auto points = random_points(2000, 2, 281);
  c.index.add_list(points);
  std::vector<Point> gone;
  std::vector<Point> live;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (i % 5 == 1) {
      ASSERT_TRUE(c.index.remove(points[i]));
      gone.push_back(points[i]);
    } else {
      live.push_back(points[i]);
    }
  }
  std::vector<Point> result;
  for (const Point& q : gone) {
    EXPECT_EQ(c.index.nearest(q), brute_nearest_k(live, q, 1, euclidean)[0]);
    c.index.nearest_r(q, 0.01, result);
    EXPECT_EQ(result, brute_nearest_r(live, q, 0.01, euclidean));
  }
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

// Removing everything ends in an empty index: searches and removals answer
// without a call, and installing a function evaluates nothing.
TEST(Removal, RemovingEveryPointEmptiesTheIndex) {
  CountedIndex c;
  auto points = random_points(700, 2, 291);
  c.index.add_list(points);
  std::mt19937 random(292);
  std::shuffle(points.begin(), points.end(), random);
  for (const Point& p : points) ASSERT_TRUE(c.index.remove(p));
  EXPECT_EQ(c.index.size(), 0u);
  EXPECT_TRUE(listed(c.index).empty());
  const auto calls = c.log->calls;
  EXPECT_FALSE(c.index.remove(points[0]));
  EXPECT_TRUE(c.index.nearest(points[0]).empty());
  std::vector<Point> result;
  c.index.nearest_k(points[0], 3, result);
  EXPECT_TRUE(result.empty());
  c.index.set_distance_function(counted(manhattan, c.log));
  EXPECT_EQ(c.log->calls, calls);
  EXPECT_FALSE(c.index.tree);
  EXPECT_TRUE(tree_is_consistent(c.index, manhattan));
}

// The removal of the root pivot always rebuilds, so a tree whose every
// stored Point is marked is not reachable through removals; the state is
// made here by marking the pivot directly, to check what the operations do
// with it.
struct AllMarked : ::testing::Test {
  CountedIndex c;
  const Point pivot{1.0, 1.0};
  const Point a{2.0, 2.0};
  const Point b{3.0, 3.0};
  void SetUp() override {
    c.index.add_list({pivot, a, b});
    ASSERT_TRUE(c.index.remove(a));
    ASSERT_TRUE(c.index.remove(b));
    c.index.removed.insert(&c.index.tree->pivot);
    --c.index.count;
  }
};

TEST_F(AllMarked, RemoveAndSearchesAnswerWithoutACall) {
  const auto calls = c.log->calls;
  EXPECT_EQ(c.index.size(), 0u);
  EXPECT_FALSE(c.index.remove(a));
  EXPECT_TRUE(c.index.nearest(a).empty());
  std::vector<Point> result{{1.0}};
  c.index.nearest_r(a, 10.0, result);
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(c.log->calls, calls);
}

TEST_F(AllMarked, SetDistanceFunctionLeavesTheIndexEmpty) {
  c.index.set_distance_function(counted(manhattan, c.log));
  EXPECT_FALSE(c.index.tree);
  EXPECT_EQ(c.index.size(), 0u);
  EXPECT_TRUE(c.index.removed.empty());
}

TEST_F(AllMarked, AddingAStoredRemovedPointMakesAFreshRoot) {
  const Point& stored_a = c.index.tree->points[0];
  ASSERT_TRUE(c.index.is_removed(stored_a));
  c.index.add(stored_a);  // the rebuild destroys the argument's storage
  ASSERT_TRUE(c.index.tree);
  EXPECT_EQ(c.index.size(), 1u);
  EXPECT_EQ(c.index.tree->pivot, a);
  EXPECT_EQ(listed(c.index), (std::vector<Point>{a}));
  EXPECT_TRUE(c.index.removed.empty());
}

// Adding a stored, removed Point (by reference into the tree) rebuilds first
// and still inserts the right value.
TEST(Removal, AddingAStoredRemovedPointRebuildsThenInserts) {
  CountedIndex c;
  const auto points = random_points(600, 2, 301);
  c.index.add_list(points);
  const Node* leaf = nullptr;
  for (const Node* n : all_nodes(c.index)) {
    if (n->children.empty() && !n->points.empty()) leaf = n;
  }
  ASSERT_NE(leaf, nullptr);
  const Point value = leaf->points[0];
  ASSERT_TRUE(c.index.remove(value));
  ASSERT_TRUE(c.index.is_removed(leaf->points[0]));
  c.index.add(leaf->points[0]);
  EXPECT_TRUE(c.index.removed.empty());
  EXPECT_EQ(c.index.size(), 600u);
  EXPECT_EQ(sorted(listed(c.index)), sorted(points));
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

TEST(Removal, InsertionIntoAFullLeafWhileMarksExistRebuilds) {
  CountedIndex c;
  const auto points = random_points(1000, 2, 311);
  for (std::size_t i = 0; i < 500; ++i) c.index.add(points[i]);
  const auto pivots = pivots_of(c.index);
  std::vector<Point> live(points.begin(), points.begin() + 500);
  std::size_t i = 1;
  while (pivots.count(points[i]) != 0) ++i;
  ASSERT_TRUE(c.index.remove(points[i]));
  live = without(std::move(live), points[i]);
  // Keep inserting until some leaf would split: that insertion rebuilds,
  // which empties the set and drops the marked Point.
  std::size_t next = 500;
  while (!c.index.removed.empty()) {
    ASSERT_LT(next, points.size());
    c.index.add(points[next]);
    live.push_back(points[next++]);
    EXPECT_EQ(c.index.size(), live.size());
  }
  EXPECT_EQ(stored_count(c.index), live.size());
  EXPECT_EQ(sorted(listed(c.index)), sorted(live));
  EXPECT_TRUE(tree_is_consistent(c.index, euclidean));
}

TEST(Removal, SetDistanceFunctionRebuildsWithTheNewMetric) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(euclidean);
  auto points = random_points(1200, 3, 321);
  index.add_list(points);
  for (std::size_t i = 0; i < 100; ++i) index.remove(points[i]);
  const std::vector<Point> live(points.begin() + 100, points.end());
  index.set_distance_function(counted(chebyshev, log));
  EXPECT_GT(log->calls, 0u);
  EXPECT_TRUE(index.removed.empty());
  EXPECT_EQ(index.size(), live.size());
  EXPECT_EQ(sorted(listed(index)), sorted(live));
  EXPECT_TRUE(tree_is_consistent(index, chebyshev));
  std::vector<Point> result;
  for (const Point& q : random_points(10, 3, 322)) {
    index.nearest_k(q, 8, result);
    EXPECT_EQ(result, brute_nearest_k(live, q, 8, chebyshev));
  }
  Index empty;
  empty.set_distance_function(counted(euclidean, log));
  EXPECT_FALSE(empty.tree);
}

}  // namespace
