// A search that starts from the answer of a nearby query answers exactly as
// one that starts from nothing, whatever that answer is: the last query's,
// a far one's, one with removed or unknown points, one of too few points.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "vexel/query_order.h"
#include "vexel/row_index.h"
#include "vexel/vector_space.h"

namespace {

using vexel::VectorMetric;
using Rows = vexel::RowIndex<vexel::VectorSpace<double>>;
using Found = std::vector<Rows::Neighbor>;

// Every query, in Z-order, from the last answer (as a batch runs) and from
// each of `starts`, against the plain search: distances to the bit, ids.
void check_starts(const Rows& index, const std::vector<double>& queries, std::size_t k,
                  const std::vector<Found>& starts) {
  Rows::Neighbors neighbors;
  Rows::SearchScratch scratch;
  Found plain, near, last;
  for (std::uint32_t at : vexel::nearby_order(queries.data(), queries.size() / 3, 3)) {
    const double* q = queries.data() + std::size_t{at} * 3;
    index.nearest(q, k, plain, neighbors, scratch);
    std::vector<Found> tried = starts;
    tried.push_back(last);
    for (const Found& start : tried) {
      index.nearest_near(q, k, start, near, neighbors, scratch);
      ASSERT_EQ(near.size(), plain.size()) << "query " << at << ", k " << k;
      for (std::size_t i = 0; i < plain.size(); ++i) {
        ASSERT_TRUE(std::memcmp(&near[i].distance, &plain[i].distance, sizeof(double)) == 0 &&
                    near[i].stored == plain[i].stored)
            << "query " << at << ", k " << k << ", place " << i;
      }
    }
    last = plain;
  }
}

// An integer grid, every point twice, so that ties sit at every bound; some
// points removed (marked), some at infinity.
TEST(NearestNear, AnswersAsThePlainSearchFromAnyStart) {
  std::vector<double> values;
  for (int copy = 0; copy < 2; ++copy) {
    for (int cell = 0; cell < 1000; ++cell) {
      values.insert(values.end(), {double(cell % 10), double(cell / 10 % 10), double(cell / 100)});
    }
  }
  const double inf = std::numeric_limits<double>::infinity();
  values[3 * 7] = values[3 * 1500 + 1] = inf;
  values[3 * 700 + 2] = -inf;
  std::vector<double> queries;
  for (int cell = 0; cell < 343; ++cell) {
    queries.insert(queries.end(), {cell % 7 * 1.5, cell / 7 % 7 * 1.5, cell / 49 * 1.5});
  }
  queries[3 * 5] = inf;
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev}) {
    Rows index(metric, std::size_t{3});
    index.add(nullptr, values.size() / 3, [&](auto& space) { space.append(values.data(), values.size() / 3); });
    std::vector<std::int64_t> gone;
    for (std::int64_t id = 1; id < 2000; id += 9) gone.push_back(id);
    index.remove_many(gone.data(), gone.size());
    for (std::size_t k : {1, 2, 10, 27}) {
      Found far, removed, unknown(k, {0.0, 5000});
      for (std::size_t i = 0; i < k; ++i) {
        far.push_back({0.0, static_cast<std::int64_t>(1998 - 2 * i)});             // the far corner
        removed.push_back({0.0, i == 0 ? 10 : static_cast<std::int64_t>(2 * i)});  // 10 is removed
      }
      check_starts(index, queries, k, {far, removed, unknown, Found(k + 1, {0.0, 0}), Found{}});
    }
  }
}

}  // namespace
