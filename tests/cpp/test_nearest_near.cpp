// A search that starts from the answer of a nearby query answers exactly as
// one that starts from nothing, whatever that answer is: the last query's,
// a far one's, one with removed, unknown or too few points.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vexel/query_order.h"
#include "vexel/row_index.h"
#include "vexel/vector_space.h"

namespace {

using vexel::VectorMetric;
template <typename Scalar>
using Rows = vexel::RowIndex<vexel::VectorSpace<Scalar>>;
using Found = std::vector<Rows<double>::Neighbor>;
constexpr double kInf = std::numeric_limits<double>::infinity();

void expect_same(const Found& expected, const Found& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(std::memcmp(&expected[i].distance, &actual[i].distance, sizeof(double)) == 0 &&
                expected[i].stored == actual[i].stored)
        << what << ", place " << i << ": " << expected[i].distance << " (id " << expected[i].stored << ") vs "
        << actual[i].distance << " (id " << actual[i].stored << ")";
  }
}

// Every query of `queries`, in Z-order where there is one, from the last
// answer (as a batch runs) and from each odd start in `starts`, against the
// plain search.
template <typename Scalar>
void check_starts(const Rows<Scalar>& index, const std::vector<double>& queries, std::size_t dim, std::size_t k,
                  const std::vector<Found>& starts, const std::string& what) {
  const std::size_t count = queries.size() / dim;
  std::vector<std::uint32_t> order = vexel::nearby_order(queries.data(), count, dim);
  if (order.empty()) {
    for (std::uint32_t i = 0; i < count; ++i) order.push_back(i);
  }
  typename Rows<Scalar>::Neighbors neighbors;
  typename Rows<Scalar>::SearchScratch scratch;
  Found plain, near, last;
  for (std::uint32_t at : order) {
    const double* q = queries.data() + std::size_t{at} * dim;
    index.nearest(q, k, plain, neighbors, scratch);
    index.nearest_near(q, k, last, near, neighbors, scratch);
    expect_same(plain, near, what + ", from the last answer, query " + std::to_string(at));
    for (std::size_t s = 0; s < starts.size(); ++s) {
      index.nearest_near(q, k, starts[s], near, neighbors, scratch);
      expect_same(plain, near, what + ", from start " + std::to_string(s) + ", query " + std::to_string(at));
    }
    last = plain;
  }
}

// An integer grid, every point twice: ties at the bound everywhere, which
// the start's cap must keep, smallest ids first.
TEST(NearestNear, IntegerGridsFullOfTies) {
  std::vector<double> values;
  for (int copy = 0; copy < 2; ++copy) {
    for (int cell = 0; cell < 1000; ++cell) {
      values.insert(values.end(), {double(cell % 10), double(cell / 10 % 10), double(cell / 100)});
    }
  }
  std::vector<double> queries;
  for (int cell = 0; cell < 343; ++cell) {
    queries.insert(queries.end(), {cell % 7 * 1.5, cell / 7 % 7 * 1.5, cell / 49 * 1.5});
  }
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev}) {
    Rows<double> index(metric, std::size_t{3});
    index.add(nullptr, values.size() / 3, [&](auto& space) { space.append(values.data(), values.size() / 3); });
    for (std::size_t k : {1, 2, 10, 27}) {
      Found farthest_corner, one{{0.0, 1999}};
      for (std::size_t i = 0; i < k; ++i) farthest_corner.push_back({0.0, static_cast<std::int64_t>(1999 - i)});
      check_starts(index, queries, 3, k, {farthest_corner, one}, "grid, k " + std::to_string(k));
    }
  }
}

// Starts whose points were removed, or whose ids the index never held,
// bound nothing; a start after a rebuild that renumbered the rows is looked
// up by id.
TEST(NearestNear, RemovedAndUnknownPointsBoundNothing) {
  const std::size_t dim = 2, n = 4000, k = 8;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> coordinate(-1.0, 1.0);
  std::vector<double> values(n * dim), queries(600 * dim);
  for (double& x : values) x = coordinate(random);
  for (double& x : queries) x = coordinate(random);
  Rows<float> index(VectorMetric::euclidean, dim);
  index.add(nullptr, n, [&](auto& space) { space.append(values.data(), n); });
  typename Rows<float>::Neighbors neighbors;
  typename Rows<float>::SearchScratch scratch;
  Found nearest_to_first;
  index.nearest(queries.data(), k, nearest_to_first, neighbors, scratch);
  std::vector<std::int64_t> gone;
  for (const auto& entry : nearest_to_first) gone.push_back(entry.stored);
  for (std::int64_t id = 1; id < static_cast<std::int64_t>(n); id += 5) gone.push_back(id);
  index.remove_many(gone.data(), 3);
  Found unknown(k, {0.0, std::int64_t{n} + 5});
  check_starts(index, queries, dim, k, {nearest_to_first, unknown}, "marked");
  index.remove_many(gone.data() + 3, gone.size() - 3);
  check_starts(index, queries, dim, k, {nearest_to_first, unknown}, "rebuilt");
}

// Infinite coordinates: a start at infinite or NaN distance bounds nothing,
// and rows at infinity are still found when they are all there is.
TEST(NearestNear, InfiniteCoordinates) {
  const std::size_t dim = 3;
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  std::vector<double> values(500 * dim), queries(200 * dim);
  for (double& x : values) x = coordinate(random);
  for (double& x : queries) x = coordinate(random);
  for (std::size_t row : {3, 40, 41, 77}) values[row * dim + row % dim] = row % 2 ? kInf : -kInf;
  for (std::size_t query : {0, 5, 6, 150}) queries[query * dim + 1] = query % 2 ? -kInf : kInf;
  Rows<double> index(VectorMetric::euclidean, dim);
  index.add(nullptr, 500, [&](auto& space) { space.append(values.data(), 500); });
  Found at_infinity;
  for (std::int64_t id : {3, 40, 41, 77}) at_infinity.push_back({0.0, id});
  for (std::size_t k : {1, 4, 500}) {
    Found some(at_infinity.begin(), at_infinity.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(k, 4)));
    check_starts(index, queries, dim, k, {some}, "infinite, k " + std::to_string(k));
  }
}

}  // namespace
