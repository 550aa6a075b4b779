// Sums and spreads of long rows: a row left out of a leaf's measuring is
// farther than the limit by the kernels themselves (limits equal to a row's
// distance keep it; infinite, NaN and overflowing coordinates are never left
// out), they do leave rows out where rows differ in level, and they follow
// the rows through every change of a space. (Trees over them: test_boxes.)
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "test_support.h"
#include "vexel/vector_space.h"

namespace {

using namespace vexel_test;
using vexel::VectorMetric;

template <typename Scalar>
struct SummariesTest : ::testing::Test {};
using Scalars = ::testing::Types<double, float>;
TYPED_TEST_SUITE(SummariesTest, Scalars);

// Rows of `dim` coordinates, each a level of its own plus a little noise,
// as image patches differ in brightness; whole numbers (ties everywhere)
// unless `fractions`. Some rows hold an infinity, a NaN, or values whose
// squares or float sums overflow.
std::vector<double> levelled(std::size_t n, std::size_t dim, std::uint32_t seed, bool fractions, bool odd_rows) {
  std::mt19937 random(seed);
  std::vector<double> values(n * dim);
  for (std::size_t r = 0; r < n; ++r) {
    const double level = static_cast<double>(random() % 200) - 100.0;
    for (std::size_t c = 0; c < dim; ++c) {
      const double noise = static_cast<double>(random() % 7) - 3.0;
      values[r * dim + c] = level + noise + (fractions ? static_cast<double>(random() % 1000) / 997.0 : 0.0);
    }
  }
  if (odd_rows) {
    const double odd[] = {kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e300, 3e38};
    for (std::size_t i = 0; i < 5; ++i) values[(7 + 11 * i) * dim + i] = odd[i];
  }
  return values;
}

template <typename Scalar>
std::vector<std::uint32_t> kept_rows(const vexel::VectorSpace<Scalar>& space, const double* query, double limit) {
  std::vector<std::uint32_t> rows(space.rows());
  for (std::uint32_t r = 0; r < rows.size(); ++r) rows[r] = r;
  const std::size_t n = space.keep_within(space.summarise(query), limit, rows.data(), rows.size(), rows.data());
  rows.resize(n);
  return rows;
}

TYPED_TEST(SummariesTest, LeaveOutOnlyRowsBeyondTheLimit) {
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan}) {
    for (std::size_t dim : {16u, 33u, 64u}) {
      for (bool fractions : {false, true}) {
        const std::size_t n = 600;
        const std::vector<double> values = levelled(n, dim, static_cast<std::uint32_t>(dim + fractions), fractions, true);
        vexel::VectorSpace<TypeParam> space(metric, dim);
        space.append(values.data(), n);
        std::size_t left_out = 0;
        for (std::uint32_t q : {0u, 7u, 300u, 599u}) {  // row 7 holds an infinity: nothing may be left out
          std::vector<double> query(values.begin() + static_cast<std::ptrdiff_t>(q * dim),
                                    values.begin() + static_cast<std::ptrdiff_t>((q + 1) * dim));
          query[1] += 0.5;
          std::vector<double> distances(n);
          for (std::uint32_t r = 0; r < n; ++r) distances[r] = space.distance(query.data(), r);
          std::vector<double> sorted_distances = distances;
          std::sort(sorted_distances.begin(), sorted_distances.end());  // NaN may land anywhere: limits only
          for (std::size_t rank : {std::size_t{0}, std::size_t{9}, std::size_t{60}, n / 2}) {
            const double at = sorted_distances[rank];
            if (!std::isfinite(at)) continue;
            for (double limit : {at, std::nextafter(at, 0.0), at * (1 + 1e-12)}) {
              const std::vector<std::uint32_t> kept = kept_rows(space, query.data(), limit);
              ASSERT_TRUE(std::is_sorted(kept.begin(), kept.end()));
              for (std::uint32_t r = 0; r < n; ++r) {
                if (distances[r] <= limit || !std::isfinite(distances[r])) {
                  ASSERT_TRUE(std::binary_search(kept.begin(), kept.end(), r))
                      << "dim " << dim << ", query " << q << ", row " << r << ", limit " << limit;
                }
              }
              if (q == 7) {
                ASSERT_EQ(kept.size(), n) << "a query with an infinity keeps every row";
              }
              left_out += n - kept.size();
            }
          }
        }
        EXPECT_GT(left_out, 0u) << "rows of other levels are left out, dim " << dim;
      }
    }
  }
}

// Reordered in place or as a copy, truncated, cleared and refilled, or
// read in place: each space keeps what a space given the same rows
// directly keeps; rows read in place unsummarised are all kept.
TYPED_TEST(SummariesTest, FollowTheirRowsThroughEveryChange) {
  const std::size_t n = 500, dim = 24;
  const std::vector<double> values = levelled(n, dim, 8, true, true);
  std::vector<std::uint32_t> order(n);
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(9));
  std::vector<double> shuffled;
  for (std::uint32_t r : order) shuffled.insert(shuffled.end(), values.begin() + r * dim, values.begin() + (r + 1) * dim);

  using Space = vexel::VectorSpace<TypeParam>;
  const auto fresh = [&](const std::vector<double>& rows, std::size_t count) {
    Space space(VectorMetric::euclidean, dim);
    space.append(rows.data(), count);
    return space;
  };
  const Space direct = fresh(shuffled, n), first_half = fresh(shuffled, n / 2);
  Space in_place = fresh(values, n);
  std::vector<bool> done(n);
  in_place.reorder(order, done);
  const Space copied = fresh(values, n).reordered(order);
  Space truncated = fresh(shuffled, n);
  truncated.truncate(n / 2);
  Space refilled = fresh(values, n);
  refilled.clear();
  refilled.set_dim(dim);
  refilled.append(shuffled.data(), n);
  std::vector<TypeParam> stored(shuffled.begin(), shuffled.end());
  Space mapped(VectorMetric::euclidean, dim), unsummarised(VectorMetric::euclidean, dim);
  mapped.map(stored.data(), n);
  unsummarised.map(stored.data(), n, false);

  for (std::size_t q : {0u, 100u, 250u}) {
    const double* query = shuffled.data() + q * dim;
    for (double limit : {2.0, 10.0, 40.0}) {
      const auto expected = kept_rows(direct, query, limit);
      ASSERT_LT(expected.size(), n);
      EXPECT_EQ(kept_rows(in_place, query, limit), expected);
      EXPECT_EQ(kept_rows(copied, query, limit), expected);
      EXPECT_EQ(kept_rows(refilled, query, limit), expected);
      EXPECT_EQ(kept_rows(mapped, query, limit), expected);
      EXPECT_EQ(kept_rows(unsummarised, query, limit).size(), n);
      EXPECT_EQ(kept_rows(truncated, query, limit), kept_rows(first_half, query, limit));
    }
  }
}

}  // namespace
