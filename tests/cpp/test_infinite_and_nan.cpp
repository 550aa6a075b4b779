// Infinite and NaN distances: no search skips a live Point, a NaN ranks
// after every number, and every Point at a measurable distance stays
// findable and removable.
#include "test_support.h"

namespace {

using namespace vexel_test;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Distances in the order the searches use: every number, then NaN.
std::vector<double> ranked_distances(const std::vector<Point>& points, const Point& q,
                                     const Distance& metric) {
  std::vector<double> d = distances_to(points, q, metric);
  std::sort(d.begin(), d.end(), [](double a, double b) { return vexel::distance_less(a, b); });
  return d;
}

// The k-nearest and radius results hold exactly the brute-force distances
// (the Points themselves may differ among ties), every Point being stored.
void expect_exact_distances(const Index& index, const std::vector<Point>& live, const Point& q,
                            const Distance& metric) {
  const std::vector<double> all = ranked_distances(live, q, metric);
  std::vector<Point> result;
  for (std::size_t k : {std::size_t{1}, std::size_t{3}, live.size()}) {
    index.nearest_k(q, k, result);
    const std::vector<double> got = distances_to(result, q, metric);
    ASSERT_EQ(got.size(), std::min(k, all.size()));
    for (std::size_t i = 0; i < got.size(); ++i) {
      ASSERT_TRUE(got[i] == all[i] || (std::isnan(got[i]) && std::isnan(all[i])))
          << "k=" << k << " position " << i << ": " << got[i] << " vs " << all[i];
    }
    for (const Point& p : result) {
      ASSERT_TRUE(std::any_of(live.begin(), live.end(), [&](const Point& stored) {
        return std::equal(p.begin(), p.end(), stored.begin(), stored.end(), [](double a, double b) {
          return a == b || (std::isnan(a) && std::isnan(b));
        });
      })) << "a result that is not stored";
    }
  }
  index.nearest_r(q, kInf, result);
  const auto measurable = static_cast<std::size_t>(
      std::count_if(all.begin(), all.end(), [](double d) { return !std::isnan(d); }));
  ASSERT_EQ(result.size(), measurable) << "an infinite radius holds every measurable Point";
}

// Every Point of a 4-d grid with coordinates -1e308, 0 and 1e308: the
// Euclidean distance between opposite corners overflows to infinity.
std::vector<Point> huge_grid() {
  std::vector<Point> points;
  const double values[] = {-1e308, 0.0, 1e308};
  for (int i = 0; i < 81; ++i) {
    Point p;
    for (int j = 0, code = i; j < 4; ++j, code /= 3) p.push_back(values[code % 3]);
    points.push_back(p);
  }
  return points;
}

double zero_or_infinite(const Point& a, const Point& b) { return a == b ? 0.0 : kInf; }

struct InfiniteCase {
  const char* name;
  Distance metric;
  std::vector<Point> points;
};

void PrintTo(const InfiniteCase& tested, std::ostream* out) { *out << tested.name; }

class InfiniteDistances : public ::testing::TestWithParam<InfiniteCase> {};

TEST_P(InfiniteDistances, SearchesAndRemovalReachEveryPoint) {
  const InfiniteCase& param = GetParam();
  for (bool batch : {true, false}) {
    Index index;
    index.set_distance_function(param.metric);
    if (batch) {
      index.add_list(param.points);
    } else {
      for (const Point& p : param.points) index.add(p);
    }
    for (const Point& q : param.points) {
      ASSERT_EQ(index.nearest(q), q);
      expect_exact_distances(index, param.points, q, param.metric);
    }
    for (const Point& p : param.points) ASSERT_TRUE(index.remove(p)) << "batch=" << batch;
    EXPECT_EQ(index.size(), 0u);
  }
}

std::vector<Point> line(std::size_t n) {
  std::vector<Point> points;
  for (std::size_t i = 0; i < n; ++i) points.push_back({static_cast<double>(i)});
  return points;
}

INSTANTIATE_TEST_SUITE_P(Metrics, InfiniteDistances,
                         ::testing::Values(InfiniteCase{"OverflowingEuclidean", euclidean, huge_grid()},
                                           InfiniteCase{"ZeroOrInfinite", zero_or_infinite, line(100)}),
                         [](const ::testing::TestParamInfo<InfiniteCase>& tested) {
                           return std::string(tested.param.name);
                         });

// A Point at NaN distance from everything, stored first: it becomes the
// root's pivot and must never hide the others.
TEST(NaNDistances, AFirstNaNPointHidesNothing) {
  std::vector<Point> points{{kNaN, 0.0}};
  for (int i = 0; i < 100; ++i) points.push_back({static_cast<double>(i), 0.0});
  Index index;
  index.set_distance_function(euclidean);
  for (const Point& p : points) index.add(p);

  EXPECT_EQ(index.nearest({50.2, 0.0}), (Point{50.0, 0.0}));
  std::vector<Point> result;
  index.nearest_k({5.0, 0.0}, 3, result);
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0], (Point{5.0, 0.0}));
  EXPECT_EQ(sorted({result[1], result[2]}), (std::vector<Point>{{4.0, 0.0}, {6.0, 0.0}}));
  index.nearest_k({5.0, 0.0}, 101, result);
  EXPECT_TRUE(std::isnan(result.back()[0])) << "NaN ranks last";
  for (const Point& q : random_points(10, 2, 951, -5.0, 105.0)) {
    expect_exact_distances(index, points, q, euclidean);
  }
  for (std::size_t i = 1; i < points.size(); ++i) ASSERT_TRUE(index.remove(points[i])) << i;
  EXPECT_EQ(index.size(), 1u);
}

// A metric that cannot measure some Points (NaN for a negative first
// coordinate, wherever they sit in the tree): the measurable ones are found
// exactly, and a NaN never reaches a radius result.
TEST(NaNDistances, UnmeasurablePointsAnywhereHideNothing) {
  auto metric = [](const Point& a, const Point& b) {
    return a[0] < 0.0 || b[0] < 0.0 ? kNaN : euclidean(a, b);
  };
  std::vector<Point> points = random_points(600, 2, 952);
  for (std::size_t i = 0; i < points.size(); i += 9) points[i][0] = -1.0 - static_cast<double>(i);
  for (bool batch : {true, false}) {
    Index index;
    index.set_distance_function(metric);
    if (batch) {
      index.add_list(points);
    } else {
      for (const Point& p : points) index.add(p);
    }
    std::vector<Point> result;
    for (const Point& q : random_points(20, 2, 953)) {
      expect_exact_distances(index, points, q, metric);
      index.nearest_r(q, 0.2, result);
      std::vector<Point> finite;
      for (const Point& p : points) {
        if (p[0] >= 0.0) finite.push_back(p);
      }
      ASSERT_EQ(result, brute_nearest_r(finite, q, 0.2, metric));
    }
    for (const Point& p : points) {
      if (p[0] >= 0.0) {
        ASSERT_TRUE(index.remove(p));
      }
    }
  }
}

}  // namespace
