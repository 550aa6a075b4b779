// Rows of a vector space: a bucket measured in one call, a split's column
// measured from the center, and a laid-out copy all give, bit for bit, what
// measuring one pair at a time gives.
#include <cstring>

#include "test_support.h"
#include "vexel/vector_space.h"

namespace {

using namespace vexel_test;
using vexel::VectorMetric;

template <typename Scalar>
struct VectorSpaceTest : ::testing::Test {};
using Scalars = ::testing::Types<double, float>;
TYPED_TEST_SUITE(VectorSpaceTest, Scalars);

bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

TYPED_TEST(VectorSpaceTest, BatchesColumnsAndLayoutsAgreeWithSinglePairs) {
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan,
                              VectorMetric::chebyshev, VectorMetric::angular}) {
    for (std::size_t dim : {1u, 7u, 8u, 33u}) {
      vexel::VectorSpace<TypeParam> space(metric, dim);
      std::vector<double> values;
      for (const Point& p : random_points(300, dim, 981 + static_cast<std::uint32_t>(dim), -1e3, 1e3)) {
        values.insert(values.end(), p.begin(), p.end());
      }
      if (metric != VectorMetric::angular) values[5] = kInf;  // infinities must not break symmetry
      space.append(values.data(), 300);
      std::vector<std::uint32_t> rows;
      for (std::uint32_t r = 300; r >= 3;) rows.push_back(r -= 3);  // descending, every third
      std::vector<double> out(rows.size());

      const std::uint32_t center = 17;
      space.column(center, rows.data(), rows.size(), out.data());
      for (std::size_t j = 0; j < rows.size(); ++j) {
        ASSERT_TRUE(same_bits(out[j], space.distance(rows[j], center))) << "column, row " << rows[j];
      }
      const std::vector<double> query(values.begin() + 4 * static_cast<std::ptrdiff_t>(dim),
                                      values.begin() + 5 * static_cast<std::ptrdiff_t>(dim));
      space.batch(query.data(), rows.data(), rows.size(), out.data());
      for (std::size_t j = 0; j < rows.size(); ++j) {
        ASSERT_TRUE(same_bits(out[j], space.distance(query.data(), rows[j]))) << "batch, row " << rows[j];
      }
      const auto laid_out = space.reordered(rows);
      for (std::size_t j = 0; j < rows.size(); ++j) {
        ASSERT_TRUE(same_bits(laid_out.distance(query.data(), static_cast<std::uint32_t>(j)),
                              space.distance(query.data(), rows[j])));
      }
    }
  }
}

}  // namespace
