// The order a batch answers its queries in: every query once, neighbours
// together, whatever the coordinates.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "test_support.h"
#include "vexel/query_order.h"

namespace {

// Each query once; with shuffled grid points, the steps between consecutive
// queries are as short as the grid's: far shorter than in the given order.
TEST(QueryOrder, TakesEveryQueryOnceAndNeighboursTogether) {
  for (std::size_t dim : {1u, 2u, 3u}) {
    const std::size_t side = dim == 1 ? 4096 : dim == 2 ? 64 : 16;
    std::vector<std::vector<double>> cells;
    for (std::size_t i = 0; i < 4096; ++i) {
      std::vector<double> cell(dim);
      for (std::size_t j = 0, rest = i; j < dim; ++j, rest /= side) cell[j] = static_cast<double>(rest % side);
      cells.push_back(cell);
    }
    std::shuffle(cells.begin(), cells.end(), std::mt19937(static_cast<unsigned>(dim)));
    std::vector<double> queries;
    for (const auto& cell : cells) queries.insert(queries.end(), cell.begin(), cell.end());
    const std::vector<std::uint32_t> order = vexel::nearby_order(queries.data(), cells.size(), dim);
    ASSERT_EQ(order.size(), cells.size());
    std::vector<std::uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (std::uint32_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
    const auto path = [&](auto at) {
      double length = 0.0;
      for (std::size_t i = 1; i < cells.size(); ++i) {
        for (std::size_t j = 0; j < dim; ++j) length += std::fabs(cells[at(i)][j] - cells[at(i - 1)][j]);
      }
      return length;
    };
    const double ordered = path([&](std::size_t i) { return order[i]; });
    const double given = path([](std::size_t i) { return i; });
    EXPECT_LT(ordered, 2.5 * static_cast<double>(cells.size())) << "dim " << dim;
    EXPECT_LT(ordered * 5, given) << "dim " << dim;
  }
}

// Infinite and NaN coordinates, one value throughout, more dimensions or
// few queries: still every query once, or the given order (empty).
TEST(QueryOrder, OddCoordinatesStillGiveAnOrder) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> queries;
  for (int i = 0; i < 300; ++i) {
    const double odd[] = {inf, -inf, nan, 1e308, -1e308, 0.0, static_cast<double>(i)};
    queries.push_back(odd[i % 7]);
    queries.push_back(odd[(i / 7) % 7]);
  }
  for (const std::vector<double>& batch : {queries, std::vector<double>(600, 2.5)}) {
    std::vector<std::uint32_t> order = vexel::nearby_order(batch.data(), 300, 2);
    ASSERT_EQ(order.size(), 300u);
    std::sort(order.begin(), order.end());
    for (std::uint32_t i = 0; i < order.size(); ++i) ASSERT_EQ(order[i], i);
  }
  EXPECT_TRUE(vexel::nearby_order(queries.data(), 150, 4).empty());
  EXPECT_TRUE(vexel::nearby_order(queries.data(), 20, 2).empty());
}

}  // namespace
