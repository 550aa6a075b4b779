// Rows of bytes: every byte kernel the machine can run gives, to the bit,
// the distance the double kernels give for the same numbers; the bytes
// follow their rows through every change of a space; and an index of byte
// rows answers as brute force does, ties by id, for queries of bytes and
// of other numbers, after removals and once a row of other numbers ends
// the keeping.
#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include "space_changes.h"
#include "test_support.h"
#include "vexel/byte_rows.h"
#include "vexel/row_index.h"
#include "vexel/simd.h"
#include "vexel/vector_space.h"

namespace {

using vexel_test::Point;
using vexel::VectorMetric;
using vexel::detail::ByteMetric;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Rows of bytes: uniform, all 0, all 255, and a few levels full of ties.
std::vector<double> byte_rows(std::size_t count, std::size_t dim, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<double> values(count * dim);
  for (std::size_t r = 0; r < count; ++r) {
    for (std::size_t j = 0; j < dim; ++j) {
      const std::uint32_t draw = static_cast<std::uint32_t>(random());
      values[r * dim + j] = r % 4 == 0   ? draw % 256
                            : r % 4 == 1 ? draw % 3
                            : r == 2     ? 0.0
                            : r == 3     ? 255.0
                                         : 255.0 * (draw % 2);
    }
  }
  return values;
}

// Every byte kernel this machine runs, whichever level would pick it.
std::vector<std::pair<const char*, vexel::detail::ByteKernel>> kernels_of(ByteMetric metric) {
  using namespace vexel::detail;
  std::vector<std::pair<const char*, ByteKernel>> all{{"portable", byte_kernel(metric, vexel::simd::Level::portable)}};
#if VEXEL_SIMD_X86
  if (vexel::simd::supported() >= vexel::simd::Level::avx2) {
    all.emplace_back("avx2", byte_kernel(metric, vexel::simd::Level::avx2));
  }
  if (metric == ByteMetric::euclidean && vexel::simd::supported() == vexel::simd::Level::avx512 &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni")) {
    all.emplace_back("avx512vnni", avx512_bytes::dot_euclidean);
  }
#endif
  return all;
}

TEST(ByteRows, EveryKernelGivesTheDoubleKernelsDistanceToTheBit) {
  const std::pair<VectorMetric, ByteMetric> metrics[] = {{VectorMetric::euclidean, ByteMetric::euclidean},
                                                         {VectorMetric::manhattan, ByteMetric::manhattan},
                                                         {VectorMetric::chebyshev, ByteMetric::chebyshev}};
  const std::size_t n = 23;
  for (const auto& [metric, byte_metric] : metrics) {
    const auto exact = vexel::vector_kernel<double>(metric, vexel::simd::Level::portable);
    for (std::size_t dim : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 100u, 128u, 257u}) {
      const std::vector<double> values = byte_rows(n + 1, dim, static_cast<std::uint32_t>(dim));
      const double* query = values.data() + n * dim;  // the last row
      std::vector<std::uint8_t> bytes(values.begin(), values.end());
      std::vector<std::int8_t> centred((dim + 63) / 64 * 64, 0);
      std::int64_t squares = 0;
      for (std::size_t j = 0; j < dim; ++j) {
        centred[j] = static_cast<std::int8_t>(bytes[n * dim + j] - 128);
        squares += std::int64_t{bytes[n * dim + j]} * bytes[n * dim + j];
      }
      std::vector<std::int32_t> offsets(n);
      for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t j = 0; j < dim; ++j) offsets[r] += bytes[r * dim + j] * (bytes[r * dim + j] - 256);
      }
      const vexel::detail::ByteQuery q{bytes.data() + n * dim, centred.data(), squares};
      const vexel::detail::ByteTable table{bytes.data(), dim, offsets.data()};
      // Every count up to n, over rows in a shuffled order, with repeats:
      // whole blocks of four rows and every remainder.
      std::vector<std::uint32_t> rows(n);
      for (std::uint32_t r = 0; r < n; ++r) rows[r] = (r * 7) % static_cast<std::uint32_t>(n);
      rows[5] = rows[6];
      for (const auto& [name, kernel] : kernels_of(byte_metric)) {
        for (std::size_t count = 0; count <= n; ++count) {
          std::vector<double> out(count + 1, -1.0);
          kernel(q, table, rows.data(), count, out.data());
          for (std::size_t i = 0; i < count; ++i) {
            const double expected = exact.one(query, values.data() + std::size_t{rows[i]} * dim, dim);
            ASSERT_TRUE(same_bits(out[i], expected))
                << name << " dim " << dim << " row " << rows[i] << ": " << out[i] << " != " << expected;
          }
          ASSERT_EQ(out[count], -1.0) << name << " wrote past its rows";
        }
      }
    }
  }
}

// As bytes, every row of `space` from `query`, through its summary; each
// checked against the row's distance in doubles.
template <typename Scalar>
std::vector<double> measured_as_bytes(const vexel::VectorSpace<Scalar>& space, const double* query) {
  typename vexel::VectorSpace<Scalar>::QuerySummary summary;
  space.summarise(query, summary);
  EXPECT_TRUE(space.measures_as_bytes(query));
  std::vector<std::uint32_t> rows(space.rows());
  for (std::uint32_t r = 0; r < rows.size(); ++r) rows[r] = r;
  std::vector<double> out(rows.size());
  space.batch(query, summary, rows.data(), rows.size(), out.data());
  for (std::uint32_t r = 0; r < rows.size(); ++r) {
    EXPECT_TRUE(same_bits(out[r], space.distance(query, r))) << "row " << r;
    EXPECT_TRUE(same_bits(space.distance(query, summary, r), out[r])) << "row " << r;
  }
  return out;
}

TEST(ByteRows, FollowTheirRowsThroughEveryChange) {
  using Space = vexel::VectorSpace<float>;
  const std::size_t n = 300, dim = 40;
  const std::vector<double> values = byte_rows(n, dim, 5);
  const vexel_test::SpaceChanges<float> changes(values, n, dim, 7);  // appended 7 rows at a time
  const std::vector<double>& shuffled = changes.shuffled;
  const Space& direct = changes.direct;
  for (std::size_t q : {0u, 1u, 150u}) {
    const double* query = shuffled.data() + q * dim;
    const auto expected = measured_as_bytes(direct, query);
    for (const Space* space : {&changes.in_place, &changes.copied, &changes.refilled, &changes.mapped}) {
      EXPECT_EQ(measured_as_bytes(*space, query), expected);
    }
    EXPECT_EQ(measured_as_bytes(changes.truncated, query), measured_as_bytes(changes.first_half, query));
  }
  // What is not all bytes is not measured as bytes: a query, or rows.
  std::vector<double> query(shuffled.begin(), shuffled.begin() + dim);
  for (double odd : {0.5, 256.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    query[3] = odd;
    EXPECT_FALSE(direct.measures_as_bytes(query.data())) << odd;
  }
  query[3] = -0.0;
  EXPECT_TRUE(direct.measures_as_bytes(query.data()));
  Space ended(VectorMetric::euclidean, dim);
  ended.append(values.data(), n);
  ended.append(query.data(), 1);
  query[3] = 0.25;
  ended.append(query.data(), 1);
  query[3] = 0.0;
  EXPECT_FALSE(ended.measures_as_bytes(query.data()));
  EXPECT_FALSE(Space(VectorMetric::angular, dim).measures_as_bytes(query.data()));
}

// Index answers against brute force in doubles, ties by id.
template <typename Scalar>
void expect_brute_force_answers(const vexel::RowIndex<vexel::VectorSpace<Scalar>>& index,
                                const std::map<std::int64_t, Point>& model, const Point& query, VectorMetric metric) {
  using Rows = vexel::RowIndex<vexel::VectorSpace<Scalar>>;
  const auto exact = vexel::vector_kernel<double>(metric, vexel::simd::Level::portable);
  std::vector<std::pair<double, std::int64_t>> all;
  for (const auto& [id, point] : model) all.emplace_back(exact.one(query.data(), point.data(), point.size()), id);
  std::sort(all.begin(), all.end());
  std::vector<typename Rows::Neighbor> found;
  typename Rows::Neighbors neighbors;
  typename Rows::SearchScratch scratch;
  for (std::size_t k : {1u, 10u, 57u}) {
    index.nearest(query.data(), k, found, neighbors, scratch);
    ASSERT_EQ(found.size(), std::min(k, all.size()));
    for (std::size_t i = 0; i < found.size(); ++i) {
      ASSERT_TRUE(same_bits(found[i].distance, all[i].first)) << "k " << k << " place " << i;
      ASSERT_EQ(found[i].stored, all[i].second) << "k " << k << " place " << i;
    }
  }
  const double radius = all[std::min<std::size_t>(30, all.size() - 1)].first;
  index.within(query.data(), radius, found, neighbors, scratch);
  std::size_t within = 0;
  while (within < all.size() && all[within].first <= radius) ++within;
  ASSERT_EQ(found.size(), within);
  for (std::size_t i = 0; i < within; ++i) ASSERT_EQ(found[i].stored, all[i].second);
}

template <typename Scalar>
struct ByteIndexTest : ::testing::Test {};
using Scalars = ::testing::Types<double, float>;
TYPED_TEST_SUITE(ByteIndexTest, Scalars);

TYPED_TEST(ByteIndexTest, AnswersAsBruteForceThroughRemovalsAndTheEndOfBytes) {
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev}) {
    for (std::size_t dim : {16u, 64u}) {
      vexel::RowIndex<vexel::VectorSpace<TypeParam>> index(metric, dim);
      std::map<std::int64_t, Point> model;
      const auto add = [&](const std::vector<double>& values) {
        const std::size_t n = values.size() / dim;
        const auto ids = index.add(nullptr, n, [&](auto& space) { space.append(values.data(), n); });
        for (std::size_t i = 0; i < n; ++i) model[ids[i]] = Point(values.begin() + i * dim, values.begin() + (i + 1) * dim);
      };
      add(byte_rows(4000, dim, 11));
      const std::vector<double> queries = byte_rows(6, dim, 12);
      const auto check = [&](const char* stage) {
        for (std::size_t q = 0; q < 6; ++q) {
          Point query(queries.begin() + q * dim, queries.begin() + (q + 1) * dim);
          if (q == 5) query[1] = 3.5;  // measured in doubles
          SCOPED_TRACE(std::string(stage) + ", query " + std::to_string(q) + ", dim " + std::to_string(dim));
          expect_brute_force_answers(index, model, query, metric);
        }
      };
      check("bytes");
      std::vector<std::int64_t> gone;
      for (const auto& entry : model) {
        if (entry.first % 3 == 0) gone.push_back(entry.first);
      }
      index.remove_many(gone.data(), gone.size());
      for (std::int64_t id : gone) model.erase(id);
      check("after removals");
      std::vector<double> odd = byte_rows(1, dim, 13);
      odd[0] = 0.5;
      add(odd);
      ASSERT_FALSE(index.space.measures_as_bytes(queries.data()));
      check("no longer bytes");
    }
  }
}

}  // namespace
