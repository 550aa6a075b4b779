// The three searches: exactness against brute force, cost rules, ordering
// of ties, the rotation counter, and NaN distances.
#include <map>
#include <random>
#include <set>

#include "test_support.h"

namespace {

using namespace vexel_test;

struct MetricCase {
  const char* name;
  Distance metric;
  std::size_t dims;
};

class SearchExactness : public ::testing::TestWithParam<MetricCase> {
 protected:
  // Compares every search with brute force over `live` for a set of queries.
  void expect_exact(const Index& index, const std::vector<Point>& live,
                    const std::vector<Point>& queries) {
    const Distance& metric = GetParam().metric;
    std::vector<Point> result;
    for (const Point& q : queries) {
      const auto ranked = by_distance(live, q, metric);
      EXPECT_EQ(index.nearest(q), ranked.front().second);
      for (std::size_t k : {std::size_t{1}, std::size_t{6}, std::size_t{40}}) {
        index.nearest_k(q, k, result);
        ASSERT_EQ(result, brute_nearest_k(live, q, k, metric)) << "k=" << k;
      }
      // A radius equal to the 25th distance: that Point lies exactly on it.
      const double radius = ranked[std::min<std::size_t>(24, ranked.size() - 1)].first;
      index.nearest_r(q, radius, result);
      ASSERT_EQ(result, brute_nearest_r(live, q, radius, metric));
      ASSERT_GE(result.size(), std::min<std::size_t>(25, ranked.size()));
      index.nearest_r(q, -1.0, result);
      EXPECT_TRUE(result.empty());
    }
  }
};

TEST_P(SearchExactness, MatchesBruteForceThroughRemovalsAndReinsertions) {
  const MetricCase& param = GetParam();
  Index index;
  index.set_distance_function(param.metric);
  std::vector<Point> points = random_points(3000, param.dims, 101);
  std::vector<Point> queries = random_points(25, param.dims, 102, -0.1, 1.1);
  queries.push_back(points[17]);  // a stored Point as query
  index.add_list(std::vector<Point>(points.begin(), points.begin() + 1000));
  for (std::size_t i = 1000; i < points.size(); ++i) index.add(points[i]);
  expect_exact(index, points, queries);

  // Remove 40% (pivots among them rebuild), then put a third of those back.
  std::mt19937 random(103);
  std::shuffle(points.begin(), points.end(), random);
  std::vector<Point> live(points.begin() + 1200, points.end());
  for (std::size_t i = 0; i < 1200; ++i) ASSERT_TRUE(index.remove(points[i]));
  EXPECT_EQ(index.size(), live.size());
  expect_exact(index, live, queries);
  for (std::size_t i = 0; i < 400; ++i) {
    index.add(points[i]);
    live.push_back(points[i]);
  }
  EXPECT_EQ(index.size(), live.size());
  EXPECT_TRUE(tree_is_consistent(index, param.metric));
  expect_exact(index, live, queries);
}

TEST_P(SearchExactness, KAtLeastTheSizeReturnsEveryLivePointInOrder) {
  const MetricCase& param = GetParam();
  Index index;
  index.set_distance_function(param.metric);
  auto points = random_points(300, param.dims, 111);
  for (const Point& p : points) index.add(p);
  for (std::size_t i = 0; i < 300; i += 4) ASSERT_TRUE(index.remove(points[i]));
  std::vector<Point> live;
  for (std::size_t i = 0; i < 300; ++i) {
    if (i % 4 != 0) live.push_back(points[i]);
  }
  const Point query = random_points(1, param.dims, 112)[0];
  std::vector<Point> result;
  for (std::size_t k : {live.size(), live.size() + 1, std::size_t{100000}}) {
    index.nearest_k(query, k, result);
    EXPECT_EQ(result, brute_nearest_k(live, query, live.size(), param.metric));
  }
  index.nearest_r(query, kInf, result);
  EXPECT_EQ(result, brute_nearest_k(live, query, live.size(), param.metric));
}

INSTANTIATE_TEST_SUITE_P(Metrics, SearchExactness,
                         ::testing::Values(MetricCase{"Euclidean3", euclidean, 3},
                                           MetricCase{"Manhattan5", manhattan, 5},
                                           MetricCase{"Chebyshev2", chebyshev, 2}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Edit distance over short integer sequences of varying length has many
// ties: the distances of the results must match brute force, and the
// radius result must be the same multiset.
TEST(Search, EditDistanceOverVariableLengthSequences) {
  std::mt19937 random(121);
  auto sequence = [&random]() {
    Point p(4 + random() % 6);
    for (double& x : p) x = static_cast<double>(random() % 4);
    return p;
  };
  std::vector<Point> points;
  for (int i = 0; i < 1500; ++i) points.push_back(sequence());
  Index index;
  index.set_distance_function(edit_distance);
  for (const Point& p : points) index.add(p);
  std::vector<Point> result;
  for (int query_number = 0; query_number < 30; ++query_number) {
    const Point q = sequence();
    for (std::size_t k : {std::size_t{1}, std::size_t{10}}) {
      index.nearest_k(q, k, result);
      const auto expected = brute_nearest_k(points, q, k, edit_distance);
      EXPECT_EQ(distances_to(result, q, edit_distance), distances_to(expected, q, edit_distance));
    }
    EXPECT_EQ(edit_distance(q, index.nearest(q)), edit_distance(q, brute_nearest_k(points, q, 1, edit_distance)[0]));
    for (double radius : {0.0, 1.0, 2.0}) {
      index.nearest_r(q, radius, result);
      EXPECT_EQ(sorted(result), sorted(brute_nearest_r(points, q, radius, edit_distance)));
      const auto d = distances_to(result, q, edit_distance);
      EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
    }
  }
}

// Equally distant Points come out in ascending order of their storage address.
TEST(Search, TiesAreOrderedByStoredAddress) {
  Index index;
  index.set_distance_function(euclidean);
  std::vector<Point> points;
  for (int i = 1; i <= 60; ++i) {
    points.push_back({static_cast<double>(i % 15)});
    points.push_back({-static_cast<double>(i % 15) - 0.0001 * i});
  }
  for (int i = 1; i <= 14; ++i) points.push_back({-static_cast<double>(i)});
  index.add_list(points);
  std::map<const Point*, Point> stored;
  std::vector<const Point*> addresses;
  collect_stored(*index.tree, addresses);
  const Point query{0.0};
  std::vector<std::pair<double, const Point*>> expected;
  for (const Point* p : addresses) expected.emplace_back(euclidean(query, *p), p);
  std::sort(expected.begin(), expected.end());
  std::vector<Point> result;
  index.nearest_k(query, points.size(), result);
  ASSERT_EQ(result.size(), expected.size());
  for (std::size_t i = 0; i < result.size(); ++i) EXPECT_EQ(result[i], *expected[i].second) << i;
  index.nearest_r(query, 3.0, result);
  std::size_t within = 0;
  for (const auto& e : expected) {
    if (e.first <= 3.0) {
      ASSERT_LT(within, result.size());
      EXPECT_EQ(result[within++], *e.second);
    }
  }
  EXPECT_EQ(within, result.size());
}

TEST(Search, EmptyIndexAndZeroKEvaluateNothing) {
  Index bare;  // not even a distance function
  std::vector<Point> result{{9.0}};
  EXPECT_TRUE(bare.nearest({1.0}).empty());
  bare.nearest_k({1.0}, 3, result);
  EXPECT_TRUE(result.empty());
  result = {{9.0}};
  bare.nearest_r({1.0}, 10.0, result);
  EXPECT_TRUE(result.empty());

  // A filled index without a function: k = 0 is answered without a call.
  for (int i = 0; i < 10; ++i) bare.add({static_cast<double>(i)});
  result = {{9.0}};
  bare.nearest_k({1.0}, 0, result);
  EXPECT_TRUE(result.empty());

  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  EXPECT_TRUE(index.nearest({1.0}).empty());
  index.nearest_r({1.0}, 1.0, result);
  index.nearest_k({1.0}, 4, result);
  EXPECT_EQ(log->calls, 0u);
  index.add_list(random_points(500, 1, 131));
  const auto before = log->calls;
  index.nearest_k({0.5}, 0, result);
  EXPECT_EQ(log->calls, before);
}

TEST(Search, NoFunctionOnAFilledIndexThrowsBeforeTouchingTheOffset) {
  Index index;
  index.add_list(random_points(51, 2, 141));  // 51 Points need no distance
  std::vector<Point> result{{1.0}};
  EXPECT_THROW(index.nearest({0.0, 0.0}), std::bad_function_call);
  EXPECT_THROW(index.nearest_k({0.0, 0.0}, 2, result), std::bad_function_call);
  EXPECT_TRUE(result.empty());
  result = {{1.0}};
  EXPECT_THROW(index.nearest_r({0.0, 0.0}, 1.0, result), std::bad_function_call);
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(index.search_offset, 0u);
}

// The cost of one search, checked from the arguments the distance function
// received: the root pivot first, every stored Point at most once, no
// removed Point, whole live buckets, and one rotation step per inner node
// whose children were measured.
TEST(Search, CostAndRotationFollowTheVisitedNodes) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  auto points = random_points(4000, 3, 151);
  for (const Point& p : points) index.add(p);
  // Bucket removals only, so the marks stay in the tree.
  std::set<Point> pivots;
  for (const Node* n : all_nodes(index)) pivots.insert(n->pivot);
  std::size_t marked = 0;
  for (std::size_t i = 0; i < points.size() && marked < 300; i += 3) {
    if (pivots.count(points[i]) == 0) {
      ASSERT_TRUE(index.remove(points[i]));
      ++marked;
    }
  }
  ASSERT_EQ(index.removed.size(), marked);

  std::map<const Point*, const Node*> parent_of_pivot;
  std::map<const Point*, const Node*> bucket_of;
  for (const Node* n : all_nodes(index)) {
    for (const auto& child : n->children) parent_of_pivot[&child->pivot] = n;
    for (const Point& p : n->points) bucket_of[&p] = n;
  }

  const auto queries = random_points(40, 3, 152);
  log->record = true;
  std::size_t total_calls = 0;
  for (const Point& q : queries) {
    for (int kind = 0; kind < 3; ++kind) {
      log->arguments.clear();
      const auto offset = index.search_offset;
      std::vector<Point> result;
      if (kind == 0) index.nearest_k(q, 7, result);
      if (kind == 1) index.nearest_r(q, 0.15, result);
      if (kind == 2) result = {index.nearest(q)};
      const auto& args = log->arguments;
      ASSERT_FALSE(args.empty());
      EXPECT_EQ(args[0].second, &index.tree->pivot);
      std::set<const Point*> seen;
      std::set<const Node*> inner_visited;
      std::map<const Node*, std::size_t> bucket_evaluations;
      for (const auto& call : args) {
        EXPECT_TRUE(seen.insert(call.second).second) << "a stored Point measured twice";
        EXPECT_EQ(index.removed.count(call.second), 0u) << "a removed Point was measured";
        if (parent_of_pivot.count(call.second)) inner_visited.insert(parent_of_pivot[call.second]);
        if (bucket_of.count(call.second)) ++bucket_evaluations[bucket_of[call.second]];
      }
      for (const auto& [node, evaluated] : bucket_evaluations) {
        std::size_t live = 0;
        for (const Point& p : node->points) live += index.removed.count(&p) == 0 ? 1 : 0;
        EXPECT_EQ(evaluated, live) << "a visited bucket must be measured whole";
      }
      EXPECT_EQ(index.search_offset - offset, inner_visited.size());
      // The root's children are examined from position offset mod n.
      const auto& kids = index.tree->children;
      ASSERT_GE(args.size(), 2u);
      EXPECT_EQ(args[1].second, &kids[offset % kids.size()]->pivot);
      total_calls += args.size();
    }
  }
  // Pruning must make these searches far cheaper than brute force.
  EXPECT_LT(total_calls, queries.size() * 3 * index.size() / 4);
}

TEST(Search, LeafRootSearchLeavesTheOffsetUnchanged) {
  Index index;
  index.set_distance_function(euclidean);
  index.add_list(random_points(40, 2, 161));
  std::vector<Point> result;
  index.nearest_k({0.5, 0.5}, 3, result);
  index.nearest_r({0.5, 0.5}, 0.3, result);
  index.nearest({0.5, 0.5});
  EXPECT_EQ(index.search_offset, 0u);
}

TEST(Search, LowDimensionalNearestEvaluatesFewDistances) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  index.add_list(random_points(20000, 2, 171));
  const auto queries = random_points(50, 2, 172);
  const auto before = log->calls;
  for (const Point& q : queries) index.nearest(q);
  const double per_query = static_cast<double>(log->calls - before) / 50.0;
  EXPECT_LT(per_query, 0.05 * 20000) << per_query;
}

// NaN distances: a metric that is NaN whenever one side has a negative first
// coordinate. Such Points rank after every measurable one and never reach a
// radius result.
TEST(Search, NaNDistancesAreHandled) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto metric = [nan](const Point& a, const Point& b) {
    if (a[0] < 0.0 || b[0] < 0.0) return nan;
    return euclidean(a, b);
  };
  std::vector<Point> points = random_points(600, 2, 181);
  for (std::size_t i = 5; i < points.size(); i += 11) points[i][0] = -1.0 - static_cast<double>(i);
  std::vector<Point> finite;
  for (const Point& p : points) {
    if (p[0] >= 0.0) finite.push_back(p);
  }
  Index index;
  index.set_distance_function(metric);
  for (const Point& p : points) index.add(p);
  EXPECT_EQ(index.size(), points.size());
  EXPECT_EQ(sorted(listed(index)), sorted(points));
  std::vector<Point> result;
  for (const Point& q : random_points(20, 2, 182)) {
    index.nearest_r(q, 0.2, result);
    const auto within = brute_nearest_r(finite, q, 0.2, metric);
    const auto d = distances_to(result, q, metric);
    EXPECT_TRUE(std::is_sorted(d.begin(), d.end()));
    for (const Point& p : result) {
      EXPECT_NE(std::find(within.begin(), within.end(), p), within.end());
    }
    index.nearest_k(q, points.size(), result);
    EXPECT_EQ(sorted(result), sorted(points)) << "k >= size admits every Point";
    index.nearest_k(q, 5, result);
    EXPECT_EQ(result.size(), 5u);
    EXPECT_FALSE(index.nearest(q).empty());
  }
  // A query whose every distance is NaN still returns k stored Points.
  index.nearest_k({-5.0, 0.0}, 3, result);
  EXPECT_EQ(result.size(), 3u);
  index.nearest_r({-5.0, 0.0}, kInf, result);
  EXPECT_TRUE(result.empty());
}

// The result queue against a plain sorted list, through random pushes,
// replacements of the top (which sift down by hand), pops and drains:
// the same top after every step, and the same entries, nearest first, when
// drained. Few distinct distances (ties decided by key) and some NaN.
TEST(ResultQueue, KeepsTheOrderOfASortedList) {
  using Queue = vexel::NeighborQueue<std::int64_t>;
  using Entry = Queue::Entry;
  std::mt19937 random(2026);
  Queue queue;
  for (int round = 0; round < 400; ++round) {
    std::vector<Entry> expected;  // nearest first
    const std::size_t most = 1 + random() % 80;
    std::int64_t key = 0;
    for (int step = 0; step < 300; ++step) {
      const auto draw = static_cast<std::uint32_t>(random() % 32);
      const double distance = draw == 0 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(draw % 7);
      key += 1 + static_cast<std::int64_t>(random() % 3);
      const Entry entry{distance, random() % 2 ? key : -key};
      const auto place = [&](const Entry& e) {
        expected.insert(std::upper_bound(expected.begin(), expected.end(), e, Queue::ranks_below), e);
      };
      if (expected.size() < most) {
        queue.push(entry.distance, entry.stored);
        place(entry);
      } else if (random() % 4 == 0) {
        queue.pop();
        expected.pop_back();
      } else {
        queue.replace_top(entry.distance, entry.stored);
        expected.pop_back();
        place(entry);
      }
      ASSERT_EQ(queue.size(), expected.size());
      if (!expected.empty()) {
        ASSERT_EQ(queue.top().stored, expected.back().stored) << "round " << round << ", step " << step;
      }
    }
    std::vector<Entry> drained;
    queue.drain(drained, [](const Entry& e) { return e; });
    ASSERT_EQ(drained.size(), expected.size());
    for (std::size_t i = 0; i < drained.size(); ++i) ASSERT_EQ(drained[i].stored, expected[i].stored) << i;
    ASSERT_TRUE(queue.empty());
  }
}

// The cut a k-nearest search applies to a measured bucket, on random
// buckets with few distinct distances (ties), NaN and infinities, against
// bounds from none to tight: never below the k-th smallest distance, so
// that it leaves out only elements with k nearer ones; and where the bound
// admits more than 2k, it leaves at most 2k unless ties or the halving's
// steps keep more.
TEST(BucketCut, NeverLeavesOutOneOfTheKNearest) {
  const double inf = std::numeric_limits<double>::infinity();
  std::mt19937 random(11);
  std::size_t cuts = 0, tight = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::size_t n = random() % 300, k = random() % 20;
    const int levels = 1 + static_cast<int>(random() % 200);
    std::vector<double> d(n);
    for (double& x : d) {
      const auto draw = random() % 100;
      x = draw == 0 ? std::numeric_limits<double>::quiet_NaN() : draw == 1 ? inf : static_cast<double>(random() % levels) / 8;
    }
    std::vector<double> sorted;
    for (double x : d) {
      if (x == x) sorted.push_back(x);
    }
    std::sort(sorted.begin(), sorted.end());
    const double bound = round % 3 == 0 ? inf : sorted.empty() ? 1.0 : sorted[random() % sorted.size()];
    const double cut = vexel::kth_nearest_cut(d.data(), n, k, bound);
    if (cut == inf) continue;
    ++cuts;
    ASSERT_GE(sorted.size(), k);
    ASSERT_GE(cut, sorted[k - 1]) << "round " << round;
    ASSERT_LE(cut, bound);
    const auto kept = static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), cut) - sorted.begin());
    tight += kept <= 2 * k;
  }
  EXPECT_GT(cuts, 1000u);
  EXPECT_GT(tight, cuts / 2);
}

}  // namespace
