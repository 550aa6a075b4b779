// Bounding boxes of coordinates in the nodes of vector trees, and the sums
// and spreads of long rows in their leaves: answers stay exactly those of
// brute force (ties by id) on integer grids, with infinite coordinates,
// after single insertions and removals; and both do prune.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "test_support.h"
#include "vexel/row_index.h"
#include "vexel/vector_space.h"

namespace {

using namespace vexel_test;
using vexel::VectorMetric;

// A VectorSpace that counts its distances, may hide its boxes or its row
// summaries, may keep sibling ranges beside the boxes, and may measure
// every child's pivot at its parent's visit in few dimensions too.
template <typename Scalar, bool Boxes, bool BoxesReplaceRanges = true, bool Summaries = true, bool Defers = true>
struct CountingSpace : vexel::VectorSpace<Scalar> {
  static constexpr bool boxes_replace_ranges = BoxesReplaceRanges;
  using Base = vexel::VectorSpace<Scalar>;
  using Query = typename Base::Query;
  using Base::Base;
  explicit CountingSpace(Base base) : Base(std::move(base)) {}

  double distance(const double* q, std::uint32_t r) const {
    ++*calls;
    return Base::distance(q, r);
  }
  double distance(std::uint32_t a, std::uint32_t b) const { return Base::distance(a, b); }
  void batch(const double* q, const std::uint32_t* rows, std::size_t count, double* out) const {
    *calls += count;
    Base::batch(q, rows, count, out);
  }
  std::size_t box_size() const { return Boxes ? Base::box_size() : 0; }
  bool defers_pivots() const { return Defers && Base::defers_pivots(); }
  double distance(const double* q, const typename Base::QuerySummary& summary, std::uint32_t r) const {
    ++*calls;
    return Base::distance(q, summary, r);
  }
  void batch(const double* q, const typename Base::QuerySummary& summary, const std::uint32_t* rows,
             std::size_t count, double* out) const {
    *calls += count;
    Base::batch(q, summary, rows, count, out);
  }
  void summarise(const double* q, typename Base::QuerySummary& into) const {
    if (Summaries) {
      Base::summarise(q, into);
    } else {
      into = typename Base::QuerySummary{};
    }
  }
  CountingSpace reordered(const std::vector<std::uint32_t>& order) const {
    CountingSpace other(Base::reordered(order));
    other.calls = calls;
    return other;
  }
  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);
};

template <typename Space>
using Rows = vexel::RowIndex<Space>;
using Found = std::vector<std::pair<double, std::int64_t>>;

// The answer of index.nearest(q, k) or index.within(q, radius), as pairs.
template <typename Space, typename Search>
Found searched(const Rows<Space>&, Search search) {
  typename Rows<Space>::Neighbors neighbors;
  typename Rows<Space>::SearchScratch scratch;
  std::vector<typename Rows<Space>::Neighbor> found;
  search(found, neighbors, scratch);
  Found out;
  for (const auto& entry : found) out.emplace_back(entry.distance, entry.stored);
  return out;
}
template <typename Space>
Found searched_k(const Rows<Space>& index, const Point& q, std::size_t k) {
  return searched(index, [&](auto& found, auto& neighbors, auto& scratch) {
    index.nearest(q.data(), k, found, neighbors, scratch);
  });
}
template <typename Space>
Found searched_r(const Rows<Space>& index, const Point& q, double radius) {
  return searched(index, [&](auto& found, auto& neighbors, auto& scratch) {
    index.within(q.data(), radius, found, neighbors, scratch);
  });
}

// Every live row by (distance, id), measured by the space's own kernel.
template <typename Space>
Found brute_force(const Rows<Space>& index, const Point& q) {
  Found all;
  for (std::uint32_t row = 0; row < index.space.rows(); ++row) {
    if (index.is_removed(row)) continue;
    const auto& plain = static_cast<const typename Space::Base&>(index.space);
    all.emplace_back(plain.distance(q.data(), row), index.row_ids[row]);
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return vexel::distance_less(a.first, b.first) || (!vexel::distance_less(b.first, a.first) && a.second < b.second);
  });
  return all;
}

bool same(const Found& a, const Found& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
           return x.second == y.second && (x.first == y.first || (x.first != x.first && y.first != y.first));
         });
}

template <typename Space>
void expect_exact(const Rows<Space>& index, const Point& q) {
  const Found all = brute_force(index, q);
  for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{40}, all.size() + 1}) {
    const Found expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
    ASSERT_TRUE(same(searched_k(index, q, k), expected)) << "k=" << k;
  }
  for (double radius : {0.0, 1.0, 2.0, 5.0, std::numeric_limits<double>::infinity()}) {
    Found expected;
    for (const auto& entry : all) {
      if (entry.first <= radius) expected.push_back(entry);
    }
    ASSERT_TRUE(same(searched_r(index, q, radius), expected)) << "radius=" << radius;
  }
}

// Integer coordinates in [-4, 4]: exact ties everywhere; a few rows with an
// infinite coordinate. In many dimensions each row lies at a level of its
// own, up to 20 from 0 in every coordinate, as image patches differ in
// brightness: what the sums of long rows tell apart. A quarter of those
// rows are flat, every coordinate the level, where the sums bound their
// distances exactly.
std::vector<Point> grid(std::size_t n, std::size_t dim, std::uint32_t seed, bool infinities) {
  std::mt19937 random(seed);
  std::vector<Point> points(n, Point(dim));
  for (Point& p : points) {
    const int level = dim >= 16 ? static_cast<int>(random() % 41) - 20 : 0;
    const bool flat = dim >= 16 && random() % 4 == 0;
    for (double& x : p) x = static_cast<double>(level + (flat ? 0 : static_cast<int>(random() % 9) - 4));
    if (infinities && random() % 40 == 0) p[random() % dim] = (random() % 2 ? 1.0 : -1.0) * std::numeric_limits<double>::infinity();
  }
  return points;
}

template <typename Space>
void append(Space& space, const std::vector<Point>& points) {
  for (const Point& p : points) space.append(p.data(), 1);
}

// `points` added in one batch, then the distance count reset.
template <typename Space>
void build_counted(Rows<Space>& index, const std::vector<Point>& points) {
  index.add(nullptr, points.size(), [&](auto& space) { append(space, points); });
  *index.space.calls = 0;
}

struct Case {
  VectorMetric metric;
  std::size_t dim;
  bool infinities;
};
void PrintTo(const Case& c, std::ostream* out) {
  *out << static_cast<int>(c.metric) << "/" << c.dim << (c.infinities ? "/inf" : "");
}

template <typename Scalar>
void check_case(const Case& c) {
  using Space = CountingSpace<Scalar, true>;
  const std::vector<Point> points = grid(3000, c.dim, 41, c.infinities);
  Rows<Space> batch(c.metric, c.dim);
  batch.add(nullptr, points.size(), [&](Space& space) { append(space, points); });
  Rows<Space> single(c.metric, c.dim);
  for (const Point& p : points) single.add(nullptr, 1, [&](Space& space) { append(space, {p}); });
  std::mt19937 random(42);
  for (int round = 0; round < 3; ++round) {
    for (const Point& q : grid(10, c.dim, 43 + static_cast<std::uint32_t>(round), c.infinities)) {
      expect_exact(batch, q);
      expect_exact(single, q);
    }
    // Remove a random quarter (pivots among them: rebuilds), add some back.
    for (int i = 0; i < 700; ++i) {
      const auto id = static_cast<std::int64_t>(random() % points.size());
      batch.remove(id);
      single.remove(id);
    }
    const std::vector<Point> more = grid(300, c.dim, 50 + static_cast<std::uint32_t>(round), c.infinities);
    batch.add(nullptr, more.size(), [&](Space& space) { append(space, more); });
    single.add(nullptr, more.size(), [&](Space& space) { append(space, more); });
  }
}

class BoxedTrees : public ::testing::TestWithParam<Case> {};

TEST_P(BoxedTrees, AnswerExactlyAsBruteForce) {
  check_case<double>(GetParam());
  check_case<float>(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    MetricsAndDimensions, BoxedTrees,
    ::testing::Values(Case{VectorMetric::euclidean, 1, true}, Case{VectorMetric::euclidean, 2, false},
                      Case{VectorMetric::euclidean, 3, true},
                      Case{VectorMetric::euclidean, 8, false}, Case{VectorMetric::manhattan, 3, true},
                      Case{VectorMetric::manhattan, 8, false}, Case{VectorMetric::chebyshev, 3, true},
                      Case{VectorMetric::chebyshev, 8, false}, Case{VectorMetric::angular, 3, false},
                      Case{VectorMetric::euclidean, 16, true}, Case{VectorMetric::manhattan, 24, true},
                      Case{VectorMetric::chebyshev, 16, false}));

// The same points and queries with and without boxes, with and without
// sibling ranges: every tree answers the same; boxes measure fewer distances
// than the triangle inequality alone; and children without boxes are never
// left to them (a space that lets boxes replace ranges, but keeps none,
// measures exactly what one that always reads ranges measures).
TEST(BoxedTrees, PruneBeyondTheTriangleInequalityAndReplaceRangesOnlyWhereKept) {
  const std::vector<Point> points = random_points(20000, 3, 61);
  const std::vector<Point> queries = random_points(50, 3, 62);
  Rows<CountingSpace<double, false, false>> ranged(VectorMetric::euclidean, 3);
  Rows<CountingSpace<double, false, true>> unboxed(VectorMetric::euclidean, 3);
  Rows<CountingSpace<double, true, false>> boxed_and_ranged(VectorMetric::euclidean, 3);
  Rows<CountingSpace<double, true, true>> boxed(VectorMetric::euclidean, 3);
  build_counted(ranged, points);
  build_counted(unboxed, points);
  build_counted(boxed_and_ranged, points);
  build_counted(boxed, points);
  for (const Point& q : queries) {
    const Found nearest = searched_k(ranged, q, 10), near = searched_r(ranged, q, 0.05);
    ASSERT_EQ(searched_k(unboxed, q, 10), nearest);
    ASSERT_EQ(searched_r(unboxed, q, 0.05), near);
    ASSERT_EQ(searched_k(boxed_and_ranged, q, 10), nearest);
    ASSERT_EQ(searched_r(boxed_and_ranged, q, 0.05), near);
    ASSERT_EQ(searched_k(boxed, q, 10), nearest);
    ASSERT_EQ(searched_r(boxed, q, 0.05), near);
  }
  EXPECT_LT(*boxed_and_ranged.space.calls, *ranged.space.calls);
  EXPECT_EQ(*unboxed.space.calls, *ranged.space.calls);
}

// In up to three dimensions a search queues children by their boxes and
// measures a pivot only once it takes its child from the queue: the same
// answers as measuring every child's pivot at its parent's visit, with
// fewer distances; in more dimensions, every pivot as before.
TEST(BoxedTrees, DeferPivotsInFewDimensions) {
  for (std::size_t dim : {1, 3, 4}) {
    const std::vector<Point> points = random_points(20000, dim, 65);
    const std::vector<Point> queries = random_points(50, dim, 66);
    Rows<CountingSpace<double, true, true, true, false>> eager(VectorMetric::euclidean, dim);
    Rows<CountingSpace<double, true>> deferring(VectorMetric::euclidean, dim);
    build_counted(eager, points);
    build_counted(deferring, points);
    for (const Point& q : queries) {
      ASSERT_EQ(searched_k(deferring, q, 10), searched_k(eager, q, 10));
      ASSERT_EQ(searched_r(deferring, q, 0.05), searched_r(eager, q, 0.05));
    }
    if (dim <= 3) {
      EXPECT_LT(*deferring.space.calls, *eager.space.calls) << dim;
    } else {
      EXPECT_EQ(*deferring.space.calls, *eager.space.calls) << dim;
    }
  }
}

// Long rows at levels of their own, with and without their sums and
// spreads: the same answers, and fewer rows measured with them.
TEST(SummarisedTrees, MeasureFewerLeafRows) {
  const std::vector<Point> points = grid(20000, 32, 63, false);
  const std::vector<Point> queries = grid(30, 32, 64, false);
  Rows<CountingSpace<double, true, true, false>> plain(VectorMetric::euclidean, 32);
  Rows<CountingSpace<double, true, true, true>> summarised(VectorMetric::euclidean, 32);
  build_counted(plain, points);
  build_counted(summarised, points);
  for (const Point& q : queries) {
    ASSERT_EQ(searched_k(summarised, q, 10), searched_k(plain, q, 10));
    ASSERT_EQ(searched_r(summarised, q, 12.0), searched_r(plain, q, 12.0));
  }
  EXPECT_LT(*summarised.space.calls, *plain.space.calls * 3 / 4);
}

// The box bound against the gap along each axis measured one by one, at
// every dimension up to 9 (whole steps of two or four axes and the rest),
// with infinite ends and queries: the same bound, NaN gaps bounding nothing,
// and never above the distance to a point of the box.
TEST(BoxDistance, EqualsTheGapsAxisByAxis) {
  const double inf = std::numeric_limits<double>::infinity();
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev}) {
    for (std::size_t dim = 1; dim <= 9; ++dim) {
      const vexel::VectorSpace<double> space(metric, dim);
      const std::vector<Point> corners = random_points(200, 2 * dim, 70 + static_cast<std::uint32_t>(dim));
      const std::vector<Point> queries = random_points(200, dim, 90 + static_cast<std::uint32_t>(dim));
      for (std::size_t c = 0; c < corners.size(); ++c) {
        std::vector<double> low(dim), high(dim), q = queries[c];
        for (std::size_t i = 0; i < dim; ++i) {
          low[i] = std::min(corners[c][i], corners[c][dim + i]);
          high[i] = std::max(corners[c][i], corners[c][dim + i]);
        }
        if (c % 5 == 1) high[c % dim] = inf;
        if (c % 7 == 2) low[c % dim] = -inf;
        if (c % 11 == 3) high[(c + 1) % dim] = q[(c + 1) % dim] = inf;  // a NaN gap
        if (c % 13 == 4) q[(c + 2) % dim] = -inf;  // an infinite gap, unless the low end is infinite too
        double total = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
          double gap = std::max(low[i] - q[i], q[i] - high[i]);
          if (!(gap > 0.0)) gap = 0.0;
          total = metric == VectorMetric::euclidean ? total + gap * gap
                  : metric == VectorMetric::manhattan ? total + gap
                                                      : std::max(total, gap);
        }
        const double expected = metric == VectorMetric::euclidean ? std::sqrt(total) : total;
        const double bound = space.box_distance(q.data(), low.data(), high.data());
        if (expected == inf) {
          EXPECT_EQ(bound, inf);
        } else {
          EXPECT_NEAR(bound, expected, 1e-14 * expected) << static_cast<int>(metric) << " dim " << dim;
        }
        // A point of the box: the nearest corner, clamped to finite ends.
        Point inside(dim);
        for (std::size_t i = 0; i < dim; ++i) inside[i] = std::isinf(low[i]) ? corners[c][i] : low[i];
        const double to_inside = metric == VectorMetric::euclidean   ? euclidean(q, inside)
                                 : metric == VectorMetric::manhattan ? manhattan(q, inside)
                                                                     : chebyshev(q, inside);
        EXPECT_LE(bound, to_inside * (1 + 1e-14));
      }
    }
  }
}

}  // namespace
