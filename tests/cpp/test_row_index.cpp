// The index over rows with ids: exact (distance, id) answers against brute
// force, ties by id whatever the insertion order, all-or-nothing insertion,
// removal by id, rows laid out in tree order; and the id map under it.
#include <map>
#include <unordered_map>

#include "test_support.h"
#include "vexel/detail/survivors_avx512.h"
#include "vexel/row_index.h"

namespace {

using namespace vexel_test;

// Rows of `dim` doubles in one block, measured by `metric`; the query is a
// Point. `fail_at` makes the n-th distance throw.
struct PointSpace {
  using Query = Point;

  PointSpace(std::size_t dimensions, Distance distance) : dim(dimensions), metric(std::move(distance)) {}

  Point row(std::uint32_t r) const {
    return Point(data.begin() + static_cast<std::ptrdiff_t>(r * dim),
                 data.begin() + static_cast<std::ptrdiff_t>((r + 1) * dim));
  }
  double measure(const Point& a, const Point& b) const {
    if (++*calls == fail_at) throw InjectedFailure();
    return metric(a, b);
  }
  double distance(std::uint32_t a, std::uint32_t b) const { return measure(row(a), row(b)); }
  double distance(const Point& q, std::uint32_t r) const { return measure(q, row(r)); }
  std::size_t rows() const { return data.size() / dim; }
  PointSpace reordered(const std::vector<std::uint32_t>& order) const {
    PointSpace other(dim, metric);
    other.calls = calls;
    other.fail_at = fail_at;
    for (std::uint32_t r : order) {
      const Point p = row(r);
      other.data.insert(other.data.end(), p.begin(), p.end());
    }
    return other;
  }
  void truncate(std::size_t n) { data.resize(n * dim); }
  void clear() { data.clear(); }
  void append(const std::vector<Point>& points) {
    for (const Point& p : points) data.insert(data.end(), p.begin(), p.end());
  }

  std::size_t dim;
  Distance metric;
  std::vector<double> data;
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);
  std::uint64_t fail_at = 0;
};

using Rows = vexel::RowIndex<PointSpace>;
using Found = std::vector<Rows::Neighbor>;

struct Model {
  std::map<std::int64_t, Point> points;

  Found ranked(const Point& q, const Distance& metric) const {
    Found all;
    for (const auto& [id, p] : points) all.push_back({metric(q, p), id});
    std::sort(all.begin(), all.end(), Rows::Neighbors::ranks_below);
    return all;
  }
};

bool same(const Found& a, const Found& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto& x, auto& y) {
           return x.stored == y.stored && (x.distance == y.distance || (x.distance != x.distance && y.distance != y.distance));
         });
}

void expect_exact(const Rows& index, const Model& model, const Point& q, const Distance& metric) {
  const Found all = model.ranked(q, metric);
  Found found;
  Rows::Neighbors neighbors;
  Rows::SearchScratch scratch;
  for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{40}, all.size() + 1}) {
    index.nearest(q, k, found, neighbors, scratch);
    const Found expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
    ASSERT_TRUE(same(found, expected)) << "k=" << k;
  }
  for (double radius : {0.0, 2.0, 5.0}) {
    index.within(q, radius, found, neighbors, scratch);
    Found expected;
    for (const auto& entry : all) {
      if (entry.distance <= radius) expected.push_back(entry);
    }
    ASSERT_TRUE(same(found, expected)) << "radius=" << radius;
  }
}

// Ids held in 4 bytes until one needs 8: an index whose ids cross 2^32,
// one by one and in a batch that rebuilds it, finds every id and answers
// exactly at each step.
TEST(RowIndex, IdsWidenPastThirtyTwoBits) {
  constexpr std::int64_t narrow_limit = 0xffffffffLL;
  Rows index(2, euclidean);
  Model model;
  const auto check = [&](bool wide) {
    ASSERT_EQ(index.row_ids.is_wide(), wide);
    for (const auto& [id, p] : model.points) ASSERT_EQ(index.space.row(index.row_of(id)), p) << id;
    for (const Point& q : random_points(5, 2, 361)) expect_exact(index, model, q, euclidean);
  };
  const auto first = random_points(1000, 2, 362);
  const auto ids = index.add(nullptr, first.size(), [&](PointSpace& s) { s.append(first); });
  for (std::size_t i = 0; i < ids.size(); ++i) model.points[ids[i]] = first[i];
  check(false);
  const auto more = random_points(3, 2, 363);
  for (std::int64_t id : {narrow_limit, narrow_limit + 1}) {
    const std::size_t i = static_cast<std::size_t>(id - narrow_limit);
    index.add(&id, 1, [&](PointSpace& s) { s.append({more[i]}); });
    model.points[id] = more[i];
    check(id > narrow_limit);
  }
  for (std::size_t i = 0; i < 300; ++i) {
    ASSERT_TRUE(index.remove(ids[i]));
    model.points.erase(ids[i]);
  }
  ASSERT_TRUE(index.remove(narrow_limit + 1));
  model.points.erase(narrow_limit + 1);
  check(true);
  // A batch larger than the index: rebuilt and laid out, the ids still wide.
  const auto batch = random_points(1500, 2, 364);
  const auto added = index.add(nullptr, batch.size(), [&](PointSpace& s) { s.append(batch); });
  EXPECT_EQ(added.front(), narrow_limit + 2) << "automatic ids continue after the largest";
  for (std::size_t i = 0; i < added.size(); ++i) model.points[added[i]] = batch[i];
  check(true);
}

// Integer grids: many exact ties, collinear points whose Euclidean distances
// round differently.
std::vector<Point> grid_points(std::size_t n, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> coordinate(-6, 6);
  std::vector<Point> points(n, Point(3));
  for (Point& p : points) {
    for (double& x : p) x = coordinate(random);
  }
  return points;
}

struct MetricCase {
  const char* name;
  Distance metric;
};
void PrintTo(const MetricCase& tested, std::ostream* out) { *out << tested.name; }

class RowIndexExactness : public ::testing::TestWithParam<MetricCase> {};

TEST_P(RowIndexExactness, TiesGoToTheSmallestIdsWhateverTheOrderOfInsertion) {
  const Distance& metric = GetParam().metric;
  const std::vector<Point> points = grid_points(1500, 301);
  std::vector<std::int64_t> ids(points.size());
  for (std::size_t i = 0; i < ids.size(); ++i) ids[i] = static_cast<std::int64_t>(7 * i + 3);
  Model model;
  for (std::size_t i = 0; i < points.size(); ++i) model.points[ids[i]] = points[i];

  Rows batch(3, metric);
  batch.add(ids.data(), ids.size(), [&](PointSpace& space) { space.append(points); });
  Rows one_by_one(3, metric);
  for (std::size_t i = points.size(); i-- > 0;) {
    one_by_one.add(&ids[i], 1, [&](PointSpace& space) { space.append({points[i]}); });
  }
  std::mt19937 random(302);
  std::vector<std::int64_t> order(ids);
  std::shuffle(order.begin(), order.end(), random);
  for (std::size_t round = 0; round < 3; ++round) {
    for (const Point& q : grid_points(12, 303 + static_cast<std::uint32_t>(round))) {
      expect_exact(batch, model, q, metric);
      expect_exact(one_by_one, model, q, metric);
    }
    // Remove a third (pivots among them), and put some back under new ids.
    for (std::size_t i = 0; i < 500; ++i) {
      const std::int64_t id = order.back();
      order.pop_back();
      ASSERT_TRUE(batch.remove(id));
      ASSERT_TRUE(one_by_one.remove(id));
      ASSERT_FALSE(batch.remove(id));
      model.points.erase(id);
    }
    const std::vector<Point> again = grid_points(200, 304 + static_cast<std::uint32_t>(round));
    const auto added = batch.add(nullptr, again.size(), [&](PointSpace& space) { space.append(again); });
    one_by_one.add(added.data(), added.size(), [&](PointSpace& space) { space.append(again); });
    for (std::size_t i = 0; i < added.size(); ++i) {
      model.points[added[i]] = again[i];
      order.insert(order.begin(), added[i]);
    }
    ASSERT_EQ(batch.size(), model.points.size());
    ASSERT_EQ(batch.ids(), one_by_one.ids());
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, RowIndexExactness,
                         ::testing::Values(MetricCase{"Euclidean", euclidean},
                                           MetricCase{"Manhattan", manhattan},
                                           MetricCase{"Chebyshev", chebyshev}),
                         [](const ::testing::TestParamInfo<MetricCase>& tested) {
                           return std::string(tested.param.name);
                         });

// q = (0, 0), x = (1, 1) and p = (4, 4) lie on a line: x is exactly
// d(p, x) from p and `bound` from q, yet the computed d(q, p) - bound exceeds
// the computed d(p, x). Without a slack the node of p would be pruned and x,
// tied at the bound, missed.
TEST(RowIndex, RoundingNeverPrunesAPointTiedAtTheBound) {
  const double d = euclidean({0.0, 0.0}, {4.0, 4.0});
  const double bound = euclidean({0.0, 0.0}, {1.0, 1.0});
  const double high = euclidean({4.0, 4.0}, {1.0, 1.0});
  EXPECT_FALSE(Rows::pruning.rules_out(d, bound, 0.0, high));
  EXPECT_FALSE(Rows::pruning.rules_out_popped(d, bound, 0.0, high));
  const vexel::Pruning without_slack(0.0);
  EXPECT_TRUE(without_slack.rules_out(d, bound, 0.0, high)) << "the hazard the slack guards against";
  EXPECT_TRUE(without_slack.rules_out_popped(d, bound, 0.0, high));
  EXPECT_TRUE(Rows::pruning.rules_out(d, bound * 0.999, 0.0, high)) << "a real gap still prunes";
}

// The leaf filter over a whole bucket, in single precision, excludes
// nothing that the one-at-a-time test keeps, and still excludes real gaps.
TEST(RowIndex, TheBucketFilterExcludesOnlyWhatTheOneAtATimeTestDoes) {
  std::mt19937_64 random(5);
  const double specials[] = {0.0, 1e-30, 1.0, 3.4e38, 1e300, INFINITY, NAN};
  const auto any = [&](double scale) {
    return random() % 4 == 0 ? specials[random() % 7] : std::ldexp(double(random() % 1000), int(random() % 8)) * scale;
  };
  std::size_t excluded_in_all = 0;
  for (int trial = 0; trial < 2000; ++trial) {
    const double d = any(1.0);
    const double bound = any(0.25);
    std::vector<float> kept(37);
    for (float& at : kept) at = static_cast<float>(any(1.0));
    std::vector<std::uint32_t> excluded(kept.size());
    vexel::Pruning::exclude(d, bound, kept.data(), kept.size(), excluded.data());
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (excluded[i]) {
        ++excluded_in_all;
        ASSERT_TRUE(vexel::Pruning::excluded_by(d, bound, kept[i])) << d << " " << bound << " " << kept[i];
      }
    }
  }
  EXPECT_GT(excluded_in_all, 10000u);
}

// The one-pass bucket filters of AVX2 and AVX-512 keep what the plain one
// keeps, in order, at every length around their register widths.
TEST(RowIndex, TheSimdBucketPassesKeepWhatTheFilterKeeps) {
#if VEXEL_SIMD_X86
  using Pass = std::size_t (*)(float, float, const float*, const std::uint32_t*, std::size_t, std::uint32_t*);
  std::vector<std::pair<const char*, Pass>> passes;
  if (vexel::simd::supported() >= vexel::simd::Level::avx2) passes.emplace_back("avx2", vexel::detail::avx2::survivors);
  if (vexel::simd::supported() >= vexel::simd::Level::avx512) {
    passes.emplace_back("avx512", vexel::detail::avx512::survivors);
  }
  if (passes.empty()) GTEST_SKIP() << "no AVX2";
  std::mt19937_64 random(6);
  const float specials[] = {0.0f, 1.0f, 2.5f, INFINITY, NAN};
  for (std::size_t n = 0; n <= 50; ++n) {
    for (int trial = 0; trial < 20; ++trial) {
      const double d = double(random() % 5), bound = double(random() % 3);
      std::vector<float> kept(n);
      std::vector<std::uint32_t> points(n);
      for (std::size_t i = 0; i < n; ++i) {
        kept[i] = random() % 3 == 0 ? specials[random() % 5] : float(random() % 1000) / 100.0f;
        points[i] = static_cast<std::uint32_t>(random());
      }
      std::vector<std::uint32_t> excluded(n), expected;
      vexel::Pruning::exclude(d, bound, kept.data(), n, excluded.data());
      for (std::size_t i = 0; i < n; ++i) {
        if (!excluded[i]) expected.push_back(points[i]);
      }
      const vexel::Pruning::Window window = vexel::Pruning::kept_window(d, bound);
      for (const auto& [name, pass] : passes) {
        std::vector<std::uint32_t> out(n + 16);
        out.resize(pass(window.below, window.above, kept.data(), points.data(), n, out.data()));
        ASSERT_EQ(out, expected) << name << ", n " << n;
      }
    }
  }
#else
  GTEST_SKIP() << "not x86";
#endif
}

TEST(RowIndex, IdsAreCheckedBeforeAnythingIsStored) {
  Rows index(2, euclidean);
  const auto points = random_points(10, 2, 311);
  const auto first = index.add(nullptr, 10, [&](PointSpace& space) { space.append(points); });
  EXPECT_EQ(first, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  const std::vector<std::vector<std::int64_t>> bad{{20, 21, 20}, {30, 5}, {-1}, {Rows::max_id}};
  for (const auto& ids : bad) {
    bool appended = false;
    EXPECT_THROW(index.add(ids.data(), ids.size(), [&](PointSpace&) { appended = true; }),
                 std::invalid_argument);
    EXPECT_FALSE(appended);
  }
  EXPECT_EQ(index.size(), 10u);
  const std::int64_t big = 1000;
  index.add(&big, 1, [&](PointSpace& space) { space.append({points[0]}); });
  EXPECT_EQ(index.add(nullptr, 1, [&](PointSpace& space) { space.append({points[1]}); }),
            std::vector<std::int64_t>{1001}) << "automatic ids continue after the largest";
  ASSERT_TRUE(index.remove(1001));
  EXPECT_EQ(index.add(nullptr, 1, [&](PointSpace& space) { space.append({points[1]}); }),
            std::vector<std::int64_t>{1002}) << "ids are never reused";
}

// A distance that fails at any call of an insertion (one by one, or a batch
// that builds the tree) leaves the index as it was before the call.
TEST(RowIndex, AFailedInsertionTakesBackTheWholeCall) {
  const auto base = random_points(300, 2, 321);
  std::uint64_t failures = 0;
  // 120 extra points go in one by one; 400, more than the index holds,
  // rebuild it in bulk.
  for (const auto& [empty, extra] : {std::pair{true, random_points(120, 2, 322)},
                                     std::pair{false, random_points(120, 2, 322)},
                                     std::pair{false, random_points(400, 2, 324)}}) {
    for (std::uint64_t fail_at = 1;; fail_at += 13) {
      Rows index(2, euclidean);
      Model model;
      if (!empty) {
        const auto ids = index.add(nullptr, base.size(), [&](PointSpace& s) { s.append(base); });
        for (std::size_t i = 0; i < ids.size(); ++i) model.points[ids[i]] = base[i];
        ASSERT_TRUE(index.remove(ids[5]));
        model.points.erase(ids[5]);
      }
      index.space.fail_at = *index.space.calls + fail_at;
      bool failed = false;
      try {
        const auto ids = index.add(nullptr, extra.size(), [&](PointSpace& s) { s.append(extra); });
        for (std::size_t i = 0; i < ids.size(); ++i) model.points[ids[i]] = extra[i];
      } catch (const InjectedFailure&) {
        failed = true;
        ++failures;
      }
      index.space.fail_at = 0;
      ASSERT_EQ(index.size(), model.points.size());
      std::vector<std::int64_t> ids;
      for (const auto& entry : model.points) ids.push_back(entry.first);
      ASSERT_EQ(index.ids(), ids);
      for (const Point& q : random_points(3, 2, 323)) expect_exact(index, model, q, euclidean);
      if (!failed) break;
    }
  }
  EXPECT_GT(failures, 20u);
}

TEST(RowIndex, AnInterruptedBuildStoresNothing) {
  Rows index(2, euclidean);
  int splits = 0;
  index.interruption_point = [&] {
    if (++splits == 3) throw std::runtime_error("interrupted");
  };
  const auto points = random_points(2000, 2, 331);
  EXPECT_THROW(index.add(nullptr, points.size(), [&](PointSpace& s) { s.append(points); }),
               std::runtime_error);
  EXPECT_EQ(index.size(), 0u);
  EXPECT_TRUE(index.ids().empty());
  index.interruption_point = nullptr;
  index.add(nullptr, points.size(), [&](PointSpace& s) { s.append(points); });
  EXPECT_EQ(index.size(), points.size());
}

// A removal whose rebuild fails, at any distance of it, removes nothing:
// the new tree grows beside the old one, and every mark is undone.
TEST(RowIndex, AFailedRemovalRemovesNothing) {
  const auto points = random_points(1200, 2, 351);
  std::uint64_t failures = 0;
  for (std::uint64_t fail_at = 1;; fail_at += 97) {
    Rows index(2, euclidean);
    Model model;
    const auto ids = index.add(nullptr, points.size(), [&](PointSpace& s) { s.append(points); });
    for (std::size_t i = 0; i < ids.size(); ++i) model.points[ids[i]] = points[i];
    std::vector<std::int64_t> doomed(ids.begin(), ids.begin() + 700);
    doomed.push_back(ids[0]);  // repeated
    doomed.push_back(99999);   // unknown
    index.space.fail_at = *index.space.calls + fail_at;
    bool failed = false;
    try {
      EXPECT_EQ(index.remove_many(doomed.data(), doomed.size()), 700u);
      for (std::size_t i = 0; i < 700; ++i) model.points.erase(ids[i]);
    } catch (const InjectedFailure&) {
      failed = true;
      ++failures;
    }
    index.space.fail_at = 0;
    ASSERT_EQ(index.size(), model.points.size());
    std::vector<std::int64_t> live;
    for (const auto& entry : model.points) live.push_back(entry.first);
    ASSERT_EQ(index.ids(), live);
    for (std::int64_t id : live) ASSERT_NE(index.row_of(id), vexel::IdMap::none);
    for (const Point& q : random_points(3, 2, 352)) expect_exact(index, model, q, euclidean);
    if (!failed) break;
  }
  EXPECT_GT(failures, 5u);
}

// After a batch build a leaf's rows follow its pivot's row, and a rebuild
// drops the rows of removed points.
TEST(RowIndex, RowsAreLaidOutInTreeOrder) {
  Rows index(2, euclidean);
  const auto points = random_points(3000, 2, 341);
  const auto ids = index.add(nullptr, points.size(), [&](PointSpace& s) { s.append(points); });
  auto check_layout = [&] {
    std::uint32_t expected = 0;
    std::vector<const Rows::Node*> stack{index.tree.get()};
    while (!stack.empty()) {
      const Rows::Node* node = stack.back();
      stack.pop_back();
      ASSERT_EQ(node->pivot, expected++);
      for (std::uint32_t row : node->points) ASSERT_EQ(row, expected++);
      for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
        stack.push_back(child->get());
      }
    }
    ASSERT_EQ(index.space.rows(), index.size());
  };
  check_layout();
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::uint32_t row = index.row_of(ids[i]);
    ASSERT_EQ(index.space.row(row), points[i]) << "an id keeps its point";
  }
  // Half the points removed: a rebuild, which drops their rows.
  for (std::size_t i = 0; i < 1499; ++i) ASSERT_TRUE(index.remove(ids[i]));
  EXPECT_EQ(index.removed_rows, 1499u);
  ASSERT_TRUE(index.remove(ids[1499]));
  EXPECT_EQ(index.removed_rows, 0u);
  EXPECT_EQ(index.size(), 1500u);
  check_layout();
}

// A batch splits on several threads into the same tree as on one: every
// node's pivot, radii and bucket, in pre-order, and so every answer. The
// same with the root's distances measured twice, a slice at a time, and
// without laying out the rows once the root has split.
TEST(RowIndex, ABatchBuildsTheSameTreeOnAnyNumberOfThreads) {
  const auto points = random_points(20000, 3, 351);
  std::vector<std::vector<double>> shapes;
  const std::size_t whole = Rows(3, euclidean).max_split_matrix_bytes, sliced = std::size_t{1} << 20;
  struct Build {
    int workers;
    std::size_t split_bytes;
    bool lay_out_root = true;
  };
  for (const Build build : {Build{1, whole}, {2, whole}, {5, whole}, {1, sliced}, {2, sliced}, {2, whole, false}}) {
    Rows index(3, euclidean);
    index.build_workers = static_cast<std::size_t>(build.workers);
    index.max_split_matrix_bytes = build.split_bytes;
    index.lays_out_split_root = build.lay_out_root;
    index.add(nullptr, points.size(), [&](PointSpace& s) { s.append(points); });
    const std::vector<double> shape = tree_shape(index);
    ASSERT_GT(shape.size(), 4u * 20) << "the batch must have split several levels";
    shapes.push_back(shape);
  }
  for (std::size_t i = 1; i < shapes.size(); ++i) EXPECT_EQ(shapes[0], shapes[i]) << "build " << i;
}

// Ids spread `spacing` apart (1: dense, as an index assigns them), and in
// the second half one in `sparse_every` (0: none) far beyond the others:
// the map starts hashed while its few ids lie apart, turns dense as they
// fill their range, and hashed again when far ids arrive.
struct IdSpread {
  std::int64_t spacing;
  unsigned sparse_every;
};

class IdMapSpreads : public ::testing::TestWithParam<IdSpread> {};

TEST_P(IdMapSpreads, AgreesWithAStandardMap) {
  const IdSpread spread = GetParam();
  vexel::RowIds row_ids;
  vexel::IdMap map;
  std::unordered_map<std::int64_t, std::uint32_t> model;
  std::mt19937_64 random(351);
  const auto draw = [&](int step) {
    if (spread.sparse_every != 0 && step > 10000 && random() % spread.sparse_every == 0) {
      return static_cast<std::int64_t>(random() % 3) * 4000000007 + 5000;
    }
    return static_cast<std::int64_t>(random() % 3000) * spread.spacing;
  };
  bool was_dense = false;
  for (int step = 0; step < 20000; ++step) {
    const std::int64_t id = draw(step);
    // Three in four ids held, once it settles: enough for a dense table.
    if (random() % 4 != 0) {
      if (model.count(id) != 0) continue;
      // Half the time room is made first, as an index does for a batch:
      // that is where the map chooses its table again.
      if (step % 2 == 0) map.reserve(map.size() + 1, row_ids, id);
      row_ids.push_back(id);
      const auto row = static_cast<std::uint32_t>(row_ids.size() - 1);
      map.insert(row, row_ids);
      model[id] = row;
    } else {
      ASSERT_EQ(map.erase(id, row_ids), model.erase(id) == 1);
    }
    const std::int64_t probe = random() % 4 == 0 ? static_cast<std::int64_t>(random() % 4000) : draw(step);
    const auto at = model.find(probe);
    ASSERT_EQ(map.find(probe, row_ids), at == model.end() ? vexel::IdMap::none : at->second);
    ASSERT_EQ(map.size(), model.size());
    was_dense = was_dense || (map.is_dense() && map.size() > 100);
  }
  EXPECT_EQ(was_dense, spread.spacing == 1);
  EXPECT_EQ(map.is_dense(), spread.spacing == 1 && spread.sparse_every == 0);
}

INSTANTIATE_TEST_SUITE_P(Ids, IdMapSpreads,
                         ::testing::Values(IdSpread{1, 0}, IdSpread{1000003, 0}, IdSpread{1, 400}));

// Either table, as a file carries it, adopted back finds every id again
// (and still once the map is reserved for more); a table that holds a row
// twice, or ids repeated, are refused.
TEST(IdMap, TablesTravelAndAreChecked) {
  std::mt19937_64 random(7);
  for (std::int64_t spacing : {std::int64_t{1}, std::int64_t{1000003}}) {
    std::vector<std::int64_t> ids(5000);
    for (std::size_t row = 0; row < ids.size(); ++row) ids[row] = static_cast<std::int64_t>(row) * spacing;
    std::shuffle(ids.begin(), ids.end(), random);
    const std::int64_t largest = *std::max_element(ids.begin(), ids.end());
    const vexel::RowIds row_ids(ids);
    ASSERT_EQ(row_ids.is_wide(), largest > 0xffffffffLL);
    vexel::IdMap map;
    map.reserve(row_ids.size(), row_ids, largest);
    for (std::size_t row = 0; row < row_ids.size(); ++row) map.insert(static_cast<std::uint32_t>(row), row_ids);
    const bool dense = spacing == 1;
    ASSERT_EQ(map.is_dense(), dense);
    const std::vector<std::uint32_t> table = map.table();
    EXPECT_EQ(table.size(), dense ? row_ids.size() : 16384u);
    vexel::IdMap adopted;
    adopted.adopt(table, dense, row_ids, largest);
    const auto finds_every_id = [&] {
      for (std::size_t row = 0; row < row_ids.size(); ++row) ASSERT_EQ(adopted.find(row_ids[row], row_ids), row);
      EXPECT_EQ(adopted.find(-1, row_ids), vexel::IdMap::none);
      EXPECT_EQ(adopted.find(static_cast<std::int64_t>(row_ids.size()) * spacing, row_ids), vexel::IdMap::none);
    };
    EXPECT_EQ(adopted.is_dense(), dense);
    finds_every_id();
    adopted.reserve(row_ids.size() + 100, row_ids, largest + 100);
    EXPECT_EQ(adopted.is_dense(), dense);
    finds_every_id();

    // The first row held twice, the one it displaced nowhere.
    std::vector<std::uint32_t> doubled = table;
    const auto first = std::find(doubled.begin(), doubled.end(), 0u);
    *std::find_if(first + 1, doubled.end(), [](std::uint32_t row) { return row != vexel::IdMap::none; }) = 0;
    EXPECT_THROW(vexel::IdMap().adopt(doubled, dense, row_ids, largest), std::invalid_argument);
    std::vector<std::int64_t> repeated = ids;
    repeated[1] = repeated[0];
    EXPECT_THROW(vexel::IdMap().adopt(table, dense, vexel::RowIds(repeated), largest), std::invalid_argument);
    std::vector<std::uint32_t> beyond = table;
    *std::find(beyond.begin(), beyond.end(), 0u) = static_cast<std::uint32_t>(row_ids.size());
    EXPECT_THROW(vexel::IdMap().adopt(beyond, dense, row_ids, largest), std::invalid_argument);
  }
}

}  // namespace
