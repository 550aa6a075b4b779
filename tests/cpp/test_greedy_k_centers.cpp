// Center selection (farthest-first, or balanced) and the distance matrix it
// fills.
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <set>

#include "test_support.h"
#include "vexel/greedy_k_centers.h"

namespace {

using namespace vexel_test;
using Selector = vexel::GreedyKCenters<Point>;
using vexel::DistanceMatrix;

// Lemire's multiply-and-reject draw of an index below n, written out
// independently of the selector.
std::uint32_t lemire_draw(std::mt19937& generator, std::uint32_t n) {
  std::uint64_t product = std::uint64_t{generator()} * n;
  if (static_cast<std::uint32_t>(product) < n) {
    const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
    while (static_cast<std::uint32_t>(product) < threshold) product = std::uint64_t{generator()} * n;
  }
  return static_cast<std::uint32_t>(product >> 32);
}

std::vector<Point> line_points(std::size_t n) {
  std::vector<Point> points;
  for (std::size_t i = 0; i < n; ++i) points.push_back({static_cast<double>(i * i % 97), 0.5 * static_cast<double>(i)});
  return points;
}

struct Selection {
  std::vector<std::uint32_t> centers;
  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
};

Selection select(Selector& selector, const std::vector<Point>& points, std::uint32_t k,
                 DistanceMatrix& matrix, Distance metric = euclidean) {
  Selection s;
  selector.set_distance_function(counted(std::move(metric), s.log));
  selector.select_centers(points, k, s.centers, matrix);
  return s;
}

TEST(GreedyKCenters, FreshSelectorDrawsTheDocumentedFirstCenters) {
  Selector selector;
  std::mt19937 reference;  // default seed 5489, as the selector's
  const std::vector<std::uint32_t> documented{41, 6, 46, 42, 6, 49};
  const auto points = line_points(51);
  for (std::uint32_t expected : documented) {
    DistanceMatrix matrix(51, 1);
    const Selection s = select(selector, points, 1, matrix);
    ASSERT_EQ(s.centers.size(), 1u);
    EXPECT_EQ(s.centers[0], expected);
    EXPECT_EQ(s.centers[0], lemire_draw(reference, 51));
  }
}

TEST(GreedyKCenters, DrawsFollowLemireReductionForManySizes) {
  Selector selector;
  std::mt19937 reference;
  for (std::uint32_t n = 1; n <= 300; n += 7) {
    const auto points = line_points(n);
    DistanceMatrix matrix(n, 1);
    const Selection s = select(selector, points, 1, matrix);
    ASSERT_EQ(s.centers.size(), 1u);
    EXPECT_EQ(s.centers[0], lemire_draw(reference, n)) << "n=" << n;
  }
}

// Farthest-first property: each further center has the largest (first on
// ties) minimum distance to the centers chosen before it; the matrix holds
// d(point, center) with the point first.
TEST(GreedyKCenters, CentersAreFarthestFirstAndMatrixHoldsTheirDistances) {
  Selector selector;
  for (std::uint32_t k : {1u, 2u, 5u, 8u, 12u}) {
    for (std::size_t n : {13u, 51u, 200u}) {
      const auto points = random_points(n, 3, static_cast<std::uint32_t>(n * 31 + k));
      DistanceMatrix matrix(static_cast<std::int64_t>(n), k);
      const Selection s = select(selector, points, k, matrix);
      ASSERT_EQ(s.centers.size(), k);
      EXPECT_EQ(s.log->calls, n * k) << "n x k evaluations";
      for (std::size_t i = 1; i < k; ++i) {
        std::size_t best = 0;
        double best_distance = -kInf;
        for (std::size_t j = 0; j < n; ++j) {
          double nearest_center = kInf;
          for (std::size_t c = 0; c < i; ++c) {
            nearest_center = std::min(nearest_center, euclidean(points[j], points[s.centers[c]]));
          }
          if (nearest_center > best_distance) {
            best = j;
            best_distance = nearest_center;
          }
        }
        EXPECT_EQ(s.centers[i], best) << "n=" << n << " k=" << k << " i=" << i;
      }
      for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t j = 0; j < n; ++j) {
          ASSERT_EQ(matrix(static_cast<std::int64_t>(j), static_cast<std::int64_t>(c)),
                    euclidean(points[j], points[s.centers[c]]));
        }
      }
    }
  }
}

TEST(GreedyKCenters, BucketPointIsTheFirstArgumentAndCenterTheSecond) {
  Selector selector;
  const auto points = random_points(20, 2, 7);
  DistanceMatrix matrix(20, 4);
  Selection s;
  s.log->record = true;
  selector.set_distance_function(counted(euclidean, s.log));
  selector.select_centers(points, 4, s.centers, matrix);
  ASSERT_EQ(s.log->arguments.size(), 80u);
  for (std::size_t call = 0; call < s.log->arguments.size(); ++call) {
    const std::size_t column = call / 20;
    EXPECT_EQ(s.log->arguments[call].first, &points[call % 20]);
    EXPECT_EQ(s.log->arguments[call].second, &points[s.centers[column]]);
  }
}

// The stop rule: when every point lies within epsilon of a center, the
// selection ends with m centers after n x (m + 1) evaluations, and columns m
// to k - 1 are never written.
TEST(GreedyKCenters, StopRuleLeavesUnchosenColumnsUntouched) {
  const double sentinel = -12345.0;
  struct Case {
    const char* name;
    std::vector<Point> points;
    std::uint32_t k;
  };
  std::vector<Case> cases;
  cases.push_back({"all equal", std::vector<Point>(30, Point{2.0, 3.0}), 6});
  // Three distinct positions, duplicated: three centers, then the stop rule.
  std::vector<Point> three;
  for (int i = 0; i < 21; ++i) three.push_back({static_cast<double>(i % 3) * 10.0});
  cases.push_back({"three clusters", three, 8});
  // Positive distances below epsilon count as covered.
  std::vector<Point> tiny;
  for (int i = 0; i < 10; ++i) tiny.push_back({1.0 + 1e-17 * i, 0.0});
  tiny.push_back({5.0, 0.0});
  cases.push_back({"sub-epsilon spread", tiny, 5});
  cases.push_back({"one point", std::vector<Point>{{1.0}}, 4});

  for (const Case& c : cases) {
    Selector selector;
    const auto n = static_cast<std::int64_t>(c.points.size());
    DistanceMatrix matrix(n, c.k);
    for (std::int64_t col = 0; col < c.k; ++col) {
      for (std::int64_t row = 0; row < n; ++row) matrix(row, col) = sentinel;
    }
    const Selection s = select(selector, c.points, c.k, matrix);
    std::vector<Point> distinct;
    for (const Point& p : c.points) {
      bool known = false;
      for (const Point& q : distinct) known = known || euclidean(p, q) < 1e-12;
      if (!known) distinct.push_back(p);
    }
    const std::size_t m = s.centers.size();
    EXPECT_EQ(m, distinct.size()) << c.name;
    EXPECT_EQ(s.log->calls, c.points.size() * (m + 1)) << c.name;
    for (std::size_t col = 0; col < c.k; ++col) {
      for (std::int64_t row = 0; row < n; ++row) {
        const double value = matrix(row, static_cast<std::int64_t>(col));
        if (col < m) {
          EXPECT_EQ(value, euclidean(c.points[static_cast<std::size_t>(row)], c.points[s.centers[col]])) << c.name;
        } else {
          EXPECT_EQ(value, sentinel) << c.name << " column " << col << " was written";
        }
      }
    }
  }
}

TEST(GreedyKCenters, OnePointWithSeveralCentersEvaluatesTwice) {
  Selector selector;
  DistanceMatrix matrix(1, 3);
  const Selection s = select(selector, {{4.0, 4.0}}, 3, matrix);
  EXPECT_EQ(s.centers, std::vector<std::uint32_t>{0});
  EXPECT_EQ(s.log->calls, 2u);
  EXPECT_EQ(matrix(0, 0), 0.0);
}

TEST(GreedyKCenters, KEqualOneFillsOneColumn) {
  Selector selector;
  const auto points = random_points(17, 2, 3);
  DistanceMatrix matrix(17, 1);
  const Selection s = select(selector, points, 1, matrix);
  ASSERT_EQ(s.centers.size(), 1u);
  EXPECT_EQ(s.log->calls, 17u);
  for (std::int64_t j = 0; j < 17; ++j) {
    EXPECT_EQ(matrix(j, 0), euclidean(points[static_cast<std::size_t>(j)], points[s.centers[0]]));
  }
}

TEST(GreedyKCenters, EqualLargestMinimaChooseTheLowerIndex) {
  // Symmetric points around the middle one: from 0.0 the points -1 and +1
  // tie; the lower index must come next, whatever was drawn first, so try
  // several draws.
  const std::vector<Point> points{{-1.0}, {1.0}, {0.0}, {-1.0}, {1.0}};
  Selector selector;
  for (int attempt = 0; attempt < 20; ++attempt) {
    DistanceMatrix matrix(5, 2);
    const Selection s = select(selector, points, 2, matrix);
    ASSERT_EQ(s.centers.size(), 2u);
    const double first = points[s.centers[0]][0];
    std::size_t expected = 0;
    double best = -1.0;
    for (std::size_t j = 0; j < points.size(); ++j) {
      const double d = std::fabs(points[j][0] - first);
      if (d > best) {
        best = d;
        expected = j;
      }
    }
    EXPECT_EQ(s.centers[1], expected) << "first center " << s.centers[0];
  }
}

// A point whose distances all come back NaN keeps its +infinity minimum and
// is chosen next; NaN never wins otherwise.
TEST(GreedyKCenters, PointWithOnlyNaNDistancesIsChosenNext) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  auto metric = [nan](const Point& a, const Point& b) {
    if (a[0] < 0.0 || b[0] < 0.0) return a == b ? 0.0 : nan;
    return std::fabs(a[0] - b[0]);
  };
  // Index 3 is the NaN point; the others sit on a line.
  const std::vector<Point> points{{0.0}, {10.0}, {20.0}, {-1.0}, {30.0}, {40.0}};
  Selector selector;
  for (int attempt = 0; attempt < 12; ++attempt) {
    DistanceMatrix matrix(6, 3);
    const Selection s = select(selector, points, 3, matrix, metric);
    ASSERT_GE(s.centers.size(), 2u);
    if (s.centers[0] == 3) continue;  // drawn first: its own distance is 0
    EXPECT_EQ(s.centers[1], 3u) << "first center " << s.centers[0];
  }
}

// With every distance NaN no minimum ever drops below +infinity, so the stop
// rule never fires and the lowest index wins every further round.
TEST(GreedyKCenters, AllNaNDistancesKeepChoosingTheLowestIndex) {
  auto metric = [](const Point&, const Point&) { return std::numeric_limits<double>::quiet_NaN(); };
  Selector selector;
  const auto points = random_points(9, 2, 5);
  DistanceMatrix matrix(9, 4);
  const Selection s = select(selector, points, 4, matrix, metric);
  ASSERT_EQ(s.centers.size(), 4u);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(s.centers[i], 0u);
  EXPECT_EQ(s.log->calls, 9u * 4u);
}

TEST(GreedyKCenters, EmptyFunctionThrowsAfterTheDraw) {
  Selector selector;
  std::mt19937 reference;
  const auto points = line_points(51);
  DistanceMatrix matrix(51, 3);
  std::vector<std::uint32_t> centers;
  EXPECT_THROW(selector.select_centers(points, 3, centers, matrix), std::bad_function_call);
  // The generator advanced by the draw: the next selection draws the second value.
  lemire_draw(reference, 51);
  DistanceMatrix again(51, 1);
  const Selection s = select(selector, points, 1, again);
  EXPECT_EQ(s.centers[0], lemire_draw(reference, 51));
}

TEST(GreedyKCenters, SmallMatrixIsReshapedLargeOneKept) {
  Selector selector;
  const auto points = random_points(10, 2, 9);
  DistanceMatrix small(3, 1);
  const Selection s = select(selector, points, 4, small);
  EXPECT_EQ(small.rows(), 10);  // max(2 * 3 + 1, 10)
  EXPECT_EQ(small.columns(), 4);
  DistanceMatrix tall(6, 1);
  const auto few = random_points(5, 2, 10);
  select(selector, few, 2, tall);
  EXPECT_EQ(tall.rows(), 13);  // max(2 * 6 + 1, 5)
  EXPECT_EQ(tall.columns(), 2);
  DistanceMatrix big(40, 9);
  select(selector, points, 4, big);
  EXPECT_EQ(big.rows(), 40);
  EXPECT_EQ(big.columns(), 9);
}

// The share of `n` points the fullest of the selection's children would
// take, each point going to its first nearest center, as a split routes.
double largest_share(const std::vector<Point>& points, const std::vector<std::uint32_t>& centers) {
  std::vector<std::size_t> loads(centers.size(), 0);
  for (const Point& p : points) {
    std::size_t nearest = 0;
    for (std::size_t c = 1; c < centers.size(); ++c) {
      if (euclidean(p, points[centers[c]]) < euclidean(p, points[centers[nearest]])) nearest = c;
    }
    ++loads[nearest];
  }
  return static_cast<double>(*std::max_element(loads.begin(), loads.end())) / static_cast<double>(points.size());
}

// A dense core of 400 points and 7 far outliers: farthest-first takes the
// outliers as centers and leaves the core in one child; a balanced choice
// then draws its centers among the points instead. Where farthest-first is
// not lopsided, a balanced choice is farthest-first, at the same cost. The
// selection that keeps no matrix chooses alike.
TEST(GreedyKCenters, BalancedChoiceDrawsCentersOnlyWhenFarthestFirstIsLopsided) {
  auto cored = random_points(400, 2, 3, 0.0, 0.01);
  for (int o = 1; o <= 7; ++o) cored.push_back({100.0 * o, -50.0 * o});
  const auto spread = random_points(407, 2, 4);
  const std::uint32_t k = 8;
  for (bool lopsided : {true, false}) {
    const auto& points = lopsided ? cored : spread;
    const std::size_t n = points.size();
    Selector selector;
    const auto log = std::make_shared<CallLog>();
    selector.set_distance_function(counted(euclidean, log));
    std::vector<std::uint32_t> farthest, balanced, unkept;
    DistanceMatrix matrix(static_cast<std::int64_t>(n), k);
    selector.select_centers_from(5, points, k, farthest, matrix);
    EXPECT_EQ(largest_share(points, farthest) > 0.9, lopsided);
    log->calls = 0;
    selector.select_centers_from(5, points, k, balanced, matrix, vexel::CenterChoice::balanced, 77);
    EXPECT_EQ(log->calls, (lopsided ? 2 : 1) * n * k);
    ASSERT_EQ(balanced.size(), k);
    EXPECT_EQ(balanced[0], 5u);
    if (lopsided) {
      EXPECT_LE(largest_share(points, balanced), 0.9);
      EXPECT_EQ(std::set<std::uint32_t>(balanced.begin(), balanced.end()).size(), k);
    } else {
      EXPECT_EQ(balanced, farthest);
    }
    for (std::size_t c = 0; c < k; ++c) {
      for (std::size_t j = 0; j < n; ++j) {
        ASSERT_EQ(matrix(static_cast<std::int64_t>(j), static_cast<std::int64_t>(c)),
                  euclidean(points[j], points[balanced[c]]));
      }
    }
    for (std::size_t slice : {std::size_t{7}, n}) {
      unkept.clear();
      selector.select_centers_unkept_from(5, points, k, unkept, slice, vexel::CenterChoice::balanced, 77);
      EXPECT_EQ(unkept, balanced) << "slice " << slice;
    }
  }
}

TEST(DistanceMatrix, ReshapeToTheSameCountKeepsTheBlock) {
  DistanceMatrix matrix(6, 2);
  for (std::int64_t i = 0; i < 12; ++i) matrix(i % 6, i / 6) = static_cast<double>(i);
  const double* before = &matrix(0, 0);
  matrix.reshape(3, 4);
  EXPECT_EQ(matrix.rows(), 3);
  EXPECT_EQ(matrix.columns(), 4);
  EXPECT_EQ(&matrix(0, 0), before);
  for (std::int64_t i = 0; i < 12; ++i) EXPECT_EQ(matrix(i % 3, i / 3), static_cast<double>(i));
  matrix.reshape(5, 5);
  EXPECT_EQ(matrix.rows(), 5);
  EXPECT_EQ(matrix.columns(), 5);
  matrix(4, 4) = 1.0;  // a fresh block of 25 elements
  matrix.reshape(0, 7);
  EXPECT_EQ(matrix.rows(), 0);
  EXPECT_EQ(matrix.columns(), 7);
}

TEST(DistanceMatrix, OversizedShapesThrowBadAlloc) {
  constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_THROW(DistanceMatrix(max / 2 + 1, 2), std::bad_alloc);
  EXPECT_THROW(DistanceMatrix(std::int64_t{1} << 61, 1), std::bad_alloc);
  EXPECT_THROW(DistanceMatrix(std::int64_t{1} << 31, std::int64_t{1} << 30), std::bad_alloc);
  DistanceMatrix matrix(2, 2);
  EXPECT_THROW(matrix.reshape(max, 3), std::bad_alloc);
  EXPECT_THROW(matrix.reshape(std::int64_t{1} << 60, 2), std::bad_alloc);
}

}  // namespace
