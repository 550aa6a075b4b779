// Vector kernels: every level against a plain reference of the fixed
// summation order, bit for bit, on random rows with infinities and NaN
// (angular: which must throw on them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

using vexel::VectorMetric;
using vexel::simd::Level;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// --- the reference: one plain loop per rule, nothing shared with the kernels ---

// A product that no compiler can fuse into the following addition.
double product(double a, double b) {
  volatile double p = a * b;
  return p;
}

// 8 lanes, lane j sums the terms i = j (mod 8); then (l[i] + l[i+4]),
// then (s[i] + s[i+2]), then t[0] + t[1].
double ordered_sum(const std::vector<double>& terms) {
  double l[8] = {};
  for (std::size_t i = 0; i < terms.size(); ++i) l[i % 8] += terms[i];
  const double s[4] = {l[0] + l[4], l[1] + l[5], l[2] + l[6], l[3] + l[7]};
  const double t[2] = {s[0] + s[2], s[1] + s[3]};
  return t[0] + t[1];
}

double careful_difference(double a, double b) { return a == b ? 0.0 : a - b; }

// Finite coordinates only.
double reference_angular(const std::vector<double>& a, const std::vector<double>& b) {
  double largest_a = 0.0, largest_b = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    largest_a = std::max(largest_a, std::fabs(a[i]));
    largest_b = std::max(largest_b, std::fabs(b[i]));
  }
  if (largest_a == 0.0 || largest_b == 0.0) return largest_a == largest_b ? 0.0 : 0.5;
  std::vector<double> squares_a, squares_b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    squares_a.push_back(product(a[i] / largest_a, a[i] / largest_a));
    squares_b.push_back(product(b[i] / largest_b, b[i] / largest_b));
  }
  const double norm_a = std::sqrt(ordered_sum(squares_a)), norm_b = std::sqrt(ordered_sum(squares_b));
  std::vector<double> minus, plus;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double u = a[i] / largest_a / norm_a, v = b[i] / largest_b / norm_b;
    minus.push_back(product(u - v, u - v));
    plus.push_back(product(u + v, u + v));
  }
  const double turns = 2.0 * std::atan2(std::sqrt(ordered_sum(minus)), std::sqrt(ordered_sum(plus))) /
                       3.14159265358979323846;
  return turns < 16 * std::numeric_limits<double>::epsilon() ? 0.0 : std::min(turns, 1.0);
}

double reference(VectorMetric metric, const std::vector<double>& q, const std::vector<double>& r) {
  if (metric == VectorMetric::angular) return reference_angular(q, r);
  const std::size_t n = q.size();
  std::vector<double> plain(n), careful(n);
  for (std::size_t i = 0; i < n; ++i) {
    plain[i] = q[i] - r[i];
    careful[i] = careful_difference(q[i], r[i]);
  }
  if (metric == VectorMetric::manhattan) {
    for (double& d : plain) d = std::fabs(d);
    for (double& d : careful) d = std::fabs(d);
    const double sum = ordered_sum(plain);
    return std::isnan(sum) ? ordered_sum(careful) : sum;
  }
  double largest = 0.0;  // chebyshev, and the scale of the careful Euclidean pass
  for (double d : careful) {
    if (std::isnan(d)) return d;
    largest = std::max(largest, std::fabs(d));
  }
  if (metric == VectorMetric::chebyshev) return largest;
  for (double& d : plain) d = product(d, d);
  const double sum = ordered_sum(plain);
  if (sum >= 1e-280 && sum <= 1e280) return std::sqrt(sum);
  if (largest == 0.0 || std::isinf(largest)) return largest;
  for (double& d : careful) d = product(d / largest, d / largest);
  return largest * std::sqrt(ordered_sum(careful));
}

// --- helpers ---

std::vector<Level> available_levels() {
  std::vector<Level> levels;
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    if (level <= vexel::simd::supported()) levels.push_back(level);
  }
  return levels;
}

bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  std::uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

// Mostly ordinary coordinates; sometimes huge or tiny (the careful Euclidean
// pass), infinite, NaN, or equal to the query's.
double random_coordinate(std::mt19937_64& random, double query_value) {
  const double pick = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  const double normal = std::normal_distribution<double>(0.0, 1.0)(random);
  if (pick < 0.70) return normal;
  if (pick < 0.78) return query_value;
  if (pick < 0.84) return normal * 1e200;
  if (pick < 0.90) return normal * 1e-200;
  if (pick < 0.95) return pick < 0.925 ? kInf : -kInf;
  return kNaN;
}

struct Case {
  std::vector<double> query;
  std::vector<double> row;  // the stored row's values, exactly as doubles
};

template <typename Row>
Case random_case(std::mt19937_64& random, std::size_t dim, double special_rate) {
  Case c{std::vector<double>(dim), std::vector<double>(dim)};
  std::bernoulli_distribution special(special_rate);
  for (std::size_t i = 0; i < dim; ++i) {
    c.query[i] = special(random) ? random_coordinate(random, 0.0) : std::normal_distribution<double>()(random);
    const double value = special(random) ? random_coordinate(random, c.query[i])
                                          : std::normal_distribution<double>()(random);
    c.row[i] = static_cast<double>(static_cast<Row>(value));
  }
  return c;
}

template <typename Row>
class VectorKernels : public ::testing::Test {};
using RowTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(VectorKernels, RowTypes);

constexpr VectorMetric kMetrics[] = {VectorMetric::euclidean, VectorMetric::manhattan,
                                     VectorMetric::chebyshev, VectorMetric::angular};

bool all_finite(const Case& c) {
  for (std::size_t i = 0; i < c.query.size(); ++i) {
    if (!std::isfinite(c.query[i]) || !std::isfinite(c.row[i])) return false;
  }
  return true;
}

TYPED_TEST(VectorKernels, EveryLevelEqualsTheReferenceBitForBit) {
  using Row = TypeParam;
  std::mt19937_64 random(42);
  for (std::size_t dim = 0; dim <= 67; ++dim) {
    for (double special_rate : {0.0, 0.05, 0.3}) {
      for (int repeat = 0; repeat < 8; ++repeat) {
        Case c = random_case<Row>(random, dim, special_rate);
        // Zero vectors and a positive multiple: angular's special rules.
        if (repeat == 0) std::fill(c.query.begin(), c.query.end(), 0.0);
        if (repeat == 1) std::fill(c.row.begin(), c.row.end(), 0.0);
        if (repeat == 2 && special_rate == 0.0) {
          for (std::size_t i = 0; i < dim; ++i) c.row[i] = static_cast<double>(static_cast<Row>(c.query[i] * 3.0));
        }
        // Offset by one element, so rows start unaligned.
        std::vector<Row> stored(dim + 1);
        for (std::size_t i = 0; i < dim; ++i) stored[i + 1] = static_cast<Row>(c.row[i]);
        for (VectorMetric metric : kMetrics) {
          const bool throws = metric == VectorMetric::angular && !all_finite(c);
          const double expected = throws ? 0.0 : reference(metric, c.query, c.row);
          for (Level level : available_levels()) {
            const auto kernel = vexel::vector_kernel<Row>(metric, level);
            if (throws) {
              EXPECT_THROW(kernel.one(c.query.data(), stored.data() + 1, dim), std::invalid_argument);
              continue;
            }
            const double got = kernel.one(c.query.data(), stored.data() + 1, dim);
            ASSERT_TRUE(same_bits(got, expected))
                << "metric " << static_cast<int>(metric) << " level " << vexel::simd::name(level) << " dim "
                << dim << ": " << got << " != " << expected;
          }
        }
      }
    }
  }
}

TYPED_TEST(VectorKernels, ManyEqualsOnePerRow) {
  using Row = TypeParam;
  std::mt19937_64 random(3);
  constexpr std::size_t kRows = 40;
  for (std::size_t dim : {0, 1, 2, 3, 4, 5, 8, 13, 21, 32, 67}) {
    for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev,
                                VectorMetric::angular}) {
      // Angular throws on non-finite coordinates: give it finite rows only.
      const double special_rate = metric == VectorMetric::angular ? 0.0 : 0.1;
      std::vector<Row> base(kRows * dim + 1);  // rows from base.data() + 1: unaligned
      for (std::size_t r = 0; r < kRows; ++r) {
        const Case c = random_case<Row>(random, dim, special_rate);
        for (std::size_t i = 0; i < dim; ++i) base[1 + r * dim + i] = static_cast<Row>(c.row[i]);
      }
      const std::vector<double> query = random_case<Row>(random, dim, special_rate).query;
      std::vector<std::uint32_t> rows(25);
      for (auto& row : rows) row = static_cast<std::uint32_t>(random() % kRows);
      for (Level level : available_levels()) {
        const auto kernel = vexel::vector_kernel<Row>(metric, level);
        std::vector<double> out(rows.size() + 1, -1.0);
        kernel.many(query.data(), base.data() + 1, dim, rows.data(), rows.size(), out.data());
        for (std::size_t i = 0; i < rows.size(); ++i) {
          const double one = kernel.one(query.data(), base.data() + 1 + std::size_t{rows[i]} * dim, dim);
          ASSERT_TRUE(same_bits(out[i], one)) << vexel::simd::name(level) << " dim " << dim;
        }
        EXPECT_EQ(out.back(), -1.0);  // nothing written past count
      }
    }
  }
}

#if defined(__linux__)
// A query and a row that end where a readable page ends, before one that
// cannot be read: a kernel that reads past a last coordinate crashes.
TYPED_TEST(VectorKernels, ReadNothingPastTheLastCoordinate) {
  using Row = TypeParam;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* block = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(block + page, page, PROT_NONE) | mprotect(block + 3 * page, page, PROT_NONE), 0);
  std::mt19937_64 random(7);
  for (std::size_t dim = 1; dim <= 19; ++dim) {
    const Case c = random_case<Row>(random, dim, 0.0);
    const std::vector<Row> row(c.row.begin(), c.row.end());
    double* query = std::copy(c.query.begin(), c.query.end(), reinterpret_cast<double*>(block + page) - dim) - dim;
    Row* stored = std::copy(row.begin(), row.end(), reinterpret_cast<Row*>(block + 3 * page) - dim) - dim;
    for (VectorMetric metric : kMetrics) {
      for (Level level : available_levels()) {
        const auto kernel = vexel::vector_kernel<Row>(metric, level);
        ASSERT_TRUE(same_bits(kernel.one(query, stored, dim), kernel.one(c.query.data(), row.data(), dim)))
            << vexel::simd::name(level) << " dim " << dim;
      }
    }
  }
  munmap(mapped, 4 * page);
}
#endif

TEST(SimdLevel, SetActiveRefusesLevelsAboveSupported) {
  const Level before = vexel::simd::active();
  EXPECT_LE(before, vexel::simd::supported());
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    if (level <= vexel::simd::supported()) {
      vexel::simd::set_active(level);
      EXPECT_EQ(vexel::simd::active(), level);
    } else {
      EXPECT_THROW(vexel::simd::set_active(level), std::invalid_argument);
      EXPECT_THROW(vexel::vector_kernel<double>(VectorMetric::euclidean, level), std::invalid_argument);
    }
  }
  EXPECT_THROW(vexel::simd::set_active(static_cast<Level>(3)), std::invalid_argument);
  vexel::simd::set_active(before);
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    EXPECT_EQ(vexel::simd::level_named(vexel::simd::name(level)), level);
  }
  EXPECT_FALSE(vexel::simd::level_named("sse2").has_value());
}

}  // namespace
