// Exceptions from the distance function (and a missing one) at every stage:
// afterwards the index holds exactly the Points it must, and keeps working.
#include <map>
#include <set>

#include "test_support.h"

namespace {

using namespace vexel_test;

bool is_stored_address(const Index& index, const Point* address) {
  if (!index.tree) return false;
  std::vector<const Point*> stored;
  collect_stored(*index.tree, stored);
  return std::find(stored.begin(), stored.end(), address) != stored.end();
}

void erase_one(std::vector<Point>& points, const Point& gone) {
  auto at = std::find(points.begin(), points.end(), gone);
  ASSERT_NE(at, points.end());
  points.erase(at);
}

// Size, listing, structure and searches agree with the model of live Points.
void expect_matches_model(const Index& index, const std::vector<Point>& live, std::uint32_t seed) {
  ASSERT_EQ(index.size(), live.size());
  ASSERT_EQ(sorted(listed(index)), sorted(live));
  ASSERT_TRUE(tree_is_consistent(index, euclidean));
  std::vector<Point> result;
  for (const Point& q : random_points(4, 2, seed)) {
    index.nearest_k(q, 6, result);
    ASSERT_EQ(result, brute_nearest_k(live, q, 6, euclidean));
    index.nearest_r(q, 0.08, result);
    ASSERT_EQ(result, brute_nearest_r(live, q, 0.08, euclidean));
  }
}

// Where an injected failure struck, told apart by the arguments of the
// failing call: descents and searches measure the caller's (or a local)
// Point, splits and rebuilds measure stored bucket Points.
enum class Stage { kNone, kAddDescent, kAddSplit, kBatchSplit, kRemoveSearch, kRemoveRebuild,
                   kSearch, kReplaceRebuild };

struct Script {
  Index index;
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  std::vector<Point> live;
  std::vector<Point> fresh = random_points(1200, 2, 401);
  std::size_t next_fresh = 0;
  std::mt19937 random{402};
  Stage failed = Stage::kNone;

  explicit Script(std::uint64_t throw_at) {
    log->throw_at = throw_at;
    index.set_distance_function(counted(euclidean, log));
  }

  // Runs one operation; on an injected failure records where it struck and
  // updates the model with what must then be live.
  template <typename Operation, typename OnFailure>
  void guarded(Operation operation, OnFailure on_failure) {
    try {
      operation();
    } catch (const InjectedFailure&) {
      ASSERT_EQ(failed, Stage::kNone) << "only one failure is injected";
      failed = on_failure(is_stored_address(index, log->last_first));
      expect_matches_model(index, live, 403);
    }
  }

  void add_batch(std::size_t n) {
    std::vector<Point> batch(fresh.begin() + static_cast<std::ptrdiff_t>(next_fresh),
                             fresh.begin() + static_cast<std::ptrdiff_t>(next_fresh + n));
    next_fresh += n;
    const bool empty = !index.tree;
    guarded([&] { index.add_list(batch); live.insert(live.end(), batch.begin(), batch.end()); },
            [&](bool) {
              // Only a split can fail in a batch into an empty index: all stored.
              EXPECT_TRUE(empty);
              live.insert(live.end(), batch.begin(), batch.end());
              return Stage::kBatchSplit;
            });
  }

  void add_one() {
    const Point p = fresh[next_fresh++];
    guarded([&] { index.add(p); live.push_back(p); },
            [&](bool in_split) {
              if (!in_split) return Stage::kAddDescent;  // not stored
              live.push_back(p);
              return Stage::kAddSplit;
            });
  }

  void remove_live() {
    const Point p = live[random() % live.size()];
    guarded([&] { ASSERT_TRUE(index.remove(p)); erase_one(live, p); },
            [&](bool in_rebuild) {
              if (!in_rebuild) return Stage::kRemoveSearch;  // nothing changed
              erase_one(live, p);  // marked and counted out before the rebuild
              return Stage::kRemoveRebuild;
            });
  }

  void remove_stranger() {
    const Point p = random_points(1, 2, static_cast<std::uint32_t>(random()))[0];
    guarded([&] { ASSERT_FALSE(index.remove(p)); }, [&](bool) { return Stage::kRemoveSearch; });
  }

  void search() {
    const Point q = random_points(1, 2, static_cast<std::uint32_t>(random()))[0];
    std::vector<Point> result{{7.0}};
    auto failed_search = [&](bool) {
      EXPECT_TRUE(result.empty()) << "a failed search leaves an empty result";
      return Stage::kSearch;
    };
    guarded([&] { index.nearest_k(q, 5, result); }, failed_search);
    result = {{7.0}};
    guarded([&] { index.nearest_r(q, 0.1, result); }, failed_search);
    guarded([&] { index.nearest(q); }, [&](bool) { return Stage::kSearch; });
  }

  void replace_function() {
    guarded([&] { index.set_distance_function(counted(euclidean, log)); },
            [&](bool) { return Stage::kReplaceRebuild; });
  }

  void run() {
    add_batch(300);
    for (int i = 0; i < 120; ++i) {
      add_one();
      if (i % 4 == 0) remove_live();
      if (i % 10 == 0) search();
    }
    for (int i = 0; i < 40; ++i) remove_live();
    remove_stranger();
    replace_function();
    for (int i = 0; i < 60; ++i) add_one();
    search();
  }
};

TEST(Failures, DistanceFailureAtAnyCallLeavesTheIndexRight) {
  Script reference(0);
  reference.run();
  ASSERT_EQ(reference.failed, Stage::kNone);
  const std::uint64_t total = reference.log->calls;
  expect_matches_model(reference.index, reference.live, 404);

  std::vector<std::uint64_t> throw_points;
  for (std::uint64_t n = 1; n <= 80; ++n) throw_points.push_back(n);
  const std::uint64_t stride = total / 300 + 1;
  for (std::uint64_t n = 81; n <= total; n += stride) throw_points.push_back(n);
  throw_points.push_back(total);

  std::map<Stage, int> struck;
  for (std::uint64_t n : throw_points) {
    SCOPED_TRACE("failure at call " + std::to_string(n));
    Script script(n);
    script.run();
    ASSERT_NE(script.failed, Stage::kNone) << "call " << n << " of " << total << " was never made";
    ++struck[script.failed];
    expect_matches_model(script.index, script.live, 405);
    // And it keeps working.
    for (int i = 0; i < 30; ++i) script.add_one();
    for (int i = 0; i < 15; ++i) script.remove_live();
    expect_matches_model(script.index, script.live, 406);
    if (::testing::Test::HasFatalFailure()) return;
  }
  for (Stage stage : {Stage::kAddDescent, Stage::kAddSplit, Stage::kBatchSplit, Stage::kRemoveSearch,
                      Stage::kRemoveRebuild, Stage::kSearch, Stage::kReplaceRebuild}) {
    EXPECT_GT(struck[stage], 0) << "stage " << static_cast<int>(stage) << " never failed";
  }
}

TEST(Failures, FailedRootSplitIsRetriedByTheNextInsertion) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  const auto points = random_points(60, 2, 411);
  for (std::size_t i = 0; i < 51; ++i) index.add(points[i]);
  log->throw_at = log->calls + 30;
  EXPECT_THROW(index.add(points[51]), InjectedFailure);
  EXPECT_EQ(index.size(), 52u) << "the Point whose split failed is stored";
  EXPECT_TRUE(index.tree->children.empty());
  EXPECT_EQ(index.tree->points.size(), 51u);
  index.add(points[52]);
  EXPECT_EQ(index.tree->children.size(), 8u);
  expect_matches_model(index, std::vector<Point>(points.begin(), points.begin() + 53), 412);
}

// A leaf left over-full by a failed split has no spare room in its bucket.
// Removing one of its Points and then inserting into it must carry the mark
// to the moved bucket, so the following rebuild drops exactly that Point.
TEST(Failures, MarksSurviveGrowingAnOverfullBucket) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  auto points = random_points(52, 2, 421);
  for (std::size_t i = 0; i < 51; ++i) index.add(points[i]);
  log->throw_at = log->calls + 1;
  EXPECT_THROW(index.add(points[51]), InjectedFailure);
  const Node& root = *index.tree;
  ASSERT_TRUE(root.children.empty());
  ASSERT_EQ(root.points.size(), root.points.capacity()) << "precondition: a full bucket";

  const Point gone = root.points[20];
  ASSERT_TRUE(index.remove(gone));
  ASSERT_EQ(index.removed.size(), 1u);
  const Point newcomer{0.123, 0.456};
  index.add(newcomer);
  std::vector<Point> live = points;
  erase_one(live, gone);
  live.push_back(newcomer);
  expect_matches_model(index, live, 422);
  EXPECT_NE(index.nearest(gone), gone);
  EXPECT_EQ(stored_count(index), live.size());
}

// The leaf that a descent reaches, and the number of calls the descent makes
// (one per child of every inner node on the way; ties go to the first child).
std::pair<const Node*, std::uint64_t> descend(const Index& index, const Point& p) {
  std::uint64_t calls = 0;
  const Node* node = index.tree.get();
  while (!node->children.empty()) {
    calls += node->children.size();
    std::size_t best = 0;
    for (std::size_t c = 1; c < node->children.size(); ++c) {
      if (euclidean(p, node->children[best]->pivot) > euclidean(p, node->children[c]->pivot)) best = c;
    }
    node = node->children[best].get();
  }
  return {node, calls};
}

// The same for a leaf deep in the tree whose split failed during an insertion.
TEST(Failures, MarksSurviveGrowingAnOverfullInnerLeaf) {
  auto log = std::make_shared<CallLog>();
  Index index;
  index.set_distance_function(counted(euclidean, log));
  std::vector<Point> live = random_points(400, 2, 431);
  index.add_list(live);
  // Insert near one spot, failing the first call after the descent: that is
  // the first call of a split, if the insertion makes one.
  const Node* overfull = nullptr;
  for (const Point& p : random_points(200, 2, 432, 0.30, 0.31)) {
    const auto [leaf, descent] = descend(index, p);
    log->throw_at = log->calls + descent + 1;
    bool failed = false;
    try {
      index.add(p);
    } catch (const InjectedFailure&) {
      failed = true;
    }
    log->throw_at = 0;
    live.push_back(p);
    if (failed) {
      overfull = leaf;
      break;
    }
  }
  ASSERT_NE(overfull, nullptr);
  ASSERT_TRUE(overfull->children.empty());
  ASSERT_NE(overfull, index.tree.get());
  ASSERT_GT(overfull->points.size(), index.max_leaf_points);
  ASSERT_EQ(overfull->points.size(), overfull->points.capacity()) << "precondition: a full bucket";
  expect_matches_model(index, live, 433);

  const Point gone = overfull->points[7];
  ASSERT_TRUE(index.remove(gone));
  erase_one(live, gone);
  // A near copy of a bucket Point of that leaf descends into it.
  Point newcomer = overfull->points[3];
  newcomer[0] += 1e-9;
  ASSERT_EQ(descend(index, newcomer).first, overfull);
  index.add(newcomer);
  live.push_back(newcomer);
  expect_matches_model(index, live, 434);
  EXPECT_EQ(stored_count(index), live.size());
  EXPECT_NE(index.nearest(gone), gone);
}

TEST(Failures, WithoutAFunction51PointsFitAndThe52ndFailsButIsStored) {
  Index index;
  const auto points = random_points(60, 2, 441);
  for (std::size_t i = 0; i < 51; ++i) index.add(points[i]);
  EXPECT_EQ(index.size(), 51u);
  EXPECT_THROW(index.add(points[51]), std::bad_function_call);
  EXPECT_EQ(index.size(), 52u);
  EXPECT_EQ(sorted(listed(index)), sorted(std::vector<Point>(points.begin(), points.begin() + 52)));
  EXPECT_THROW(index.remove(points[3]), std::bad_function_call);
  EXPECT_EQ(index.size(), 52u);
  index.set_distance_function(euclidean);
  EXPECT_EQ(index.tree->children.size(), 8u) << "the rebuild splits with the new function";
  expect_matches_model(index, std::vector<Point>(points.begin(), points.begin() + 52), 442);

  Index batch;
  EXPECT_THROW(batch.add_list(points), std::bad_function_call);
  EXPECT_EQ(batch.size(), points.size());
  EXPECT_EQ(sorted(listed(batch)), sorted(points));
}

TEST(Failures, InstallingAnEmptyFunctionKeepsThePoints) {
  Index index;
  index.set_distance_function(euclidean);
  const auto points = random_points(300, 2, 451);
  index.add_list(points);
  EXPECT_THROW(index.set_distance_function(Distance{}), std::bad_function_call);
  EXPECT_EQ(index.size(), 300u);
  EXPECT_TRUE(index.tree->children.empty()) << "the rebuild's split failed";
  EXPECT_THROW(index.nearest(points[0]), std::bad_function_call);
  index.set_distance_function(euclidean);
  expect_matches_model(index, points, 452);
}

// A point type whose copies can be made to fail, to interrupt a rebuild
// before it clears the tree (while it lists the live Points).
struct FragilePoint {
  static int copies_until_failure;  // 0 = never fail
  std::vector<double> values;

  FragilePoint() = default;
  explicit FragilePoint(std::vector<double> v) : values(std::move(v)) {}
  FragilePoint(const FragilePoint& other) : values(other.values) { count_copy(); }
  FragilePoint(FragilePoint&&) noexcept = default;
  FragilePoint& operator=(const FragilePoint& other) {
    count_copy();
    values = other.values;
    return *this;
  }
  FragilePoint& operator=(FragilePoint&&) noexcept = default;
  bool operator==(const FragilePoint& other) const { return values == other.values; }
  bool operator<(const FragilePoint& other) const { return values < other.values; }

  friend void PrintTo(const FragilePoint& p, std::ostream* out) {
    *out << ::testing::PrintToString(p.values);
  }

  static void count_copy() {
    if (copies_until_failure > 0 && --copies_until_failure == 0) throw std::bad_alloc();
  }
};
int FragilePoint::copies_until_failure = 0;

using FragileIndex = vexel::NearestNeighborsKorel<FragilePoint>;

std::vector<FragilePoint> fragile_listed(const FragileIndex& index) {
  std::vector<FragilePoint> out;
  index.list(out);
  std::sort(out.begin(), out.end());
  return out;
}

// Removing a pivot whose rebuild fails before the tree is cleared must not
// leave the pivot marked: it stays live, and can be removed later.
TEST(Failures, PivotRemovalWhoseRebuildFailsEarlyIsUndone) {
  for (int failing_copy : {1, 5, 200}) {
    SCOPED_TRACE("failing copy " + std::to_string(failing_copy));
    FragileIndex index;
    index.set_distance_function([](const FragilePoint& a, const FragilePoint& b) {
      return euclidean(a.values, b.values);
    });
    std::vector<FragilePoint> points;
    for (const Point& p : random_points(400, 2, 461)) points.emplace_back(p);
    index.add_list(points);
    std::set<std::vector<double>> pivots;
    std::vector<const FragileIndex::Node*> pending{index.tree.get()};
    while (!pending.empty()) {
      const auto* node = pending.back();
      pending.pop_back();
      pivots.insert(node->pivot.values);
      for (const auto& child : node->children) pending.push_back(child.get());
    }
    std::size_t bucket_point = 1;
    while (pivots.count(points[bucket_point].values) != 0) ++bucket_point;
    ASSERT_TRUE(index.remove(points[bucket_point]));
    std::vector<FragilePoint> live = points;
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(bucket_point));
    std::sort(live.begin(), live.end());

    const FragilePoint pivot = index.tree->children[2]->pivot;
    FragilePoint::copies_until_failure = failing_copy;
    EXPECT_THROW(index.remove(pivot), std::bad_alloc);
    FragilePoint::copies_until_failure = 0;
    EXPECT_EQ(index.size(), live.size());
    EXPECT_EQ(index.removed.size(), 1u) << "only the bucket mark remains";
    EXPECT_FALSE(index.is_removed(index.tree->children[2]->pivot));
    EXPECT_EQ(fragile_listed(index), live);
    EXPECT_EQ(index.nearest(pivot), pivot);

    ASSERT_TRUE(index.remove(pivot));
    EXPECT_TRUE(index.removed.empty());
    live.erase(std::find(live.begin(), live.end(), pivot));
    EXPECT_EQ(fragile_listed(index), live);
    EXPECT_EQ(index.size(), live.size());
  }
}

}  // namespace
