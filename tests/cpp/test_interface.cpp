// The abstract interface: its default operations, and the index reached
// through it.
#include <string>

#include "test_support.h"
#include "vexel/nearest_neighbors.h"

namespace {

using namespace vexel_test;

// A structure that only records the calls its interface makes.
class Recorder : public vexel::NearestNeighbors<Point> {
 public:
  bool reports_sorted_results() const override { return false; }
  void clear() override { added.clear(); }
  void add(const Point& point) override { added.push_back(point); }
  bool remove(const Point&) override { return false; }
  Point nearest(const Point&) const override { return {}; }
  void nearest_k(const Point&, std::size_t, std::vector<Point>& result) const override { result.clear(); }
  void nearest_r(const Point&, double, std::vector<Point>& result) const override { result.clear(); }
  std::size_t size() const override { return added.size(); }
  void list(std::vector<Point>& result) const override { result = added; }

  std::vector<Point> added;
};

TEST(Interface, DefaultAddListCallsAddInOrder) {
  Recorder recorder;
  vexel::NearestNeighbors<Point>& structure = recorder;
  structure.add_list({});
  EXPECT_TRUE(recorder.added.empty());
  const auto points = random_points(7, 2, 501);
  structure.add_list(points);
  EXPECT_EQ(recorder.added, points);
  structure.add_list({points[3]});
  EXPECT_EQ(recorder.added.size(), 8u);
  EXPECT_EQ(recorder.added.back(), points[3]);
}

TEST(Interface, DefaultSetDistanceFunctionOnlyStoresIt) {
  Recorder recorder;
  EXPECT_FALSE(recorder.distance_function);
  auto log = std::make_shared<CallLog>();
  recorder.set_distance_function(counted(euclidean, log));
  ASSERT_TRUE(recorder.distance_function);
  EXPECT_EQ(log->calls, 0u);
  EXPECT_EQ(recorder.distance_function({0.0, 0.0}, {3.0, 4.0}), 5.0);
  EXPECT_EQ(log->calls, 1u);
}

TEST(Interface, IndexThroughTheInterfaceRunsItsOverrides) {
  Index index;
  vexel::NearestNeighbors<Point>& structure = index;
  EXPECT_TRUE(structure.reports_sorted_results());
  auto log = std::make_shared<CallLog>();
  structure.set_distance_function(counted(euclidean, log));
  EXPECT_TRUE(index.pivot_selector.distance_function) << "the selector gets its own copy";
  const auto points = random_points(300, 2, 502);
  structure.add_list(points);
  EXPECT_EQ(structure.size(), 300u);
  std::vector<Point> result;
  structure.nearest_k(points[9], 3, result);
  EXPECT_EQ(result, brute_nearest_k(points, points[9], 3, euclidean));
  EXPECT_TRUE(structure.remove(points[9]));
  EXPECT_EQ(structure.nearest(points[9]), brute_nearest_k(points, points[9], 2, euclidean)[1]);
  structure.clear();
  EXPECT_EQ(structure.size(), 0u);
}

}  // namespace
