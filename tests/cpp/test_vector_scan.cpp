// The scan answers exactly what RowIndex answers (distances to the bit, ids,
// order) and what a brute force over the kernel's distances answers, for
// Euclidean and angular rows of doubles and floats.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "vexel/row_index.h"
#include "vexel/vector_scan.h"
#include "vexel/vector_space.h"

namespace {

using vexel::VectorMetric;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kWithin = std::size_t(-1);  // a search within a radius, not of k nearest
const VectorMetric kMetrics[] = {VectorMetric::euclidean, VectorMetric::angular};

template <typename Scalar>
using Rows = vexel::RowIndex<vexel::VectorSpace<Scalar>>;
using Neighbor = vexel::VectorScan<double>::Neighbor;
using Answers = std::vector<std::vector<Neighbor>>;

std::vector<double> uniform(std::size_t count, std::size_t dim, std::uint32_t seed, double low = 0.0,
                            double high = 1.0) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> coordinate(low, high);
  std::vector<double> values(count * dim);
  for (double& x : values) x = coordinate(random);
  return values;
}

template <typename Scalar>
void fill(Rows<Scalar>& index, const std::vector<double>& values, std::size_t dim) {
  index.add(nullptr, values.size() / dim,
            [&](vexel::VectorSpace<Scalar>& space) { space.append(values.data(), values.size() / dim); });
}

// Equal distances to the bit (NaN equal to NaN), equal ids, equal order.
void expect_same(const Answers& expected, const Answers& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (std::size_t q = 0; q < expected.size(); ++q) {
    ASSERT_EQ(expected[q].size(), actual[q].size()) << what << ", query " << q;
    for (std::size_t i = 0; i < expected[q].size(); ++i) {
      const Neighbor &a = expected[q][i], &b = actual[q][i];
      ASSERT_TRUE(std::memcmp(&a.distance, &b.distance, sizeof(double)) == 0 && a.stored == b.stored)
          << what << ", query " << q << ", place " << i << ": " << a.distance << " (id " << a.stored << ") vs "
          << b.distance << " (id " << b.stored << ")";
    }
  }
}

// The tree's k nearest, or (k = kWithin) all within the radius. The k
// nearest are also searched from three starts (nearest_near), which must
// not change them: the query's own answer (its cap ties with the k-th
// row), the previous query's, and ids the index lacks (no cap).
template <typename Scalar>
Answers tree(const Rows<Scalar>& index, const std::vector<double>& queries, std::size_t dim, std::size_t k,
             double radius) {
  Answers answers(queries.size() / dim);
  typename Rows<Scalar>::Neighbors neighbors;
  typename Rows<Scalar>::SearchScratch scratch;
  for (std::size_t q = 0; q < answers.size(); ++q) {
    const double* query = queries.data() + q * dim;
    if (k == kWithin) {
      index.within(query, radius, answers[q], neighbors, scratch);
      continue;
    }
    index.nearest(query, k, answers[q], neighbors, scratch);
    const std::vector<Neighbor> unknown(answers[q].size(), Neighbor{0.0, -1});
    const std::vector<Neighbor>* starts[] = {&answers[q], q > 0 ? &answers[q - 1] : &unknown, &unknown};
    for (const std::vector<Neighbor>* start : starts) {
      Answers from_start(1);
      index.nearest_near(query, k, *start, from_start[0], neighbors, scratch);
      expect_same(Answers{answers[q]}, from_start, "from a start, query " + std::to_string(q));
    }
  }
  return answers;
}

// Brute force over the kernel's own distances: every live row, sorted by
// (distance, NaN last, id), cut at k or at the radius.
template <typename Scalar>
Answers brute(const Rows<Scalar>& index, const std::vector<double>& queries, std::size_t dim, std::size_t k,
              double radius) {
  Answers answers(queries.size() / dim);
  for (std::size_t q = 0; q < answers.size(); ++q) {
    std::vector<Neighbor>& all = answers[q];
    for (std::uint32_t r = 0; r < index.row_ids.size(); ++r) {
      const double d = index.space.distance(queries.data() + q * dim, r);
      if (!index.is_removed(r) && d <= radius) all.push_back(Neighbor{d, index.row_ids[r]});
    }
    std::sort(all.begin(), all.end(), vexel::NeighborQueue<std::int64_t>::ranks_below);
    if (all.size() > k) all.resize(k);
  }
  return answers;
}

// The distance of the 10th nearest row of the first query: a radius that
// holds a few rows.
template <typename Scalar>
double radius_for_ten(const Rows<Scalar>& index, const std::vector<double>& queries, std::size_t dim) {
  return tree(index, std::vector<double>(queries.begin(), queries.begin() + dim), dim, 10, 0.0)[0].back().distance;
}

// Every scan answer against brute force's and (unless `use_tree` is false)
// the tree's, for k nearest at each k and within each radius and the
// radius that holds ten.
template <typename Scalar>
void check_all(const Rows<Scalar>& index, const std::vector<double>& queries, std::size_t dim,
               const std::vector<std::size_t>& ks, std::vector<double> radii, const std::string& what,
               bool use_tree = true) {
  const std::size_t count = queries.size() / dim;
  radii.push_back(radius_for_ten(index, queries, dim));
  const auto check = [&](std::size_t k, double radius, const Answers& answers, const std::string& packing) {
    const std::string label = what + packing +
                              (k == kWithin ? ", radius " + std::to_string(radius) : ", k " + std::to_string(k));
    if (use_tree) expect_same(tree(index, queries, dim, k, radius), answers, label + " (tree)");
    expect_same(brute(index, queries, dim, k, radius), answers, label + " (brute force)");
  };
  // Rows packed once on two threads, and packed block by block as a scan
  // of too many rows packs them.
  for (const std::size_t packed_bytes : {vexel::VectorScan<Scalar>::default_packed_bytes, std::size_t{0}}) {
    const auto scan = vexel::VectorScan<Scalar>::of(index, 2, packed_bytes);
    const std::string packing = packed_bytes == 0 ? ", packed by block" : "";
    for (std::size_t k : ks) {
      Answers answers;
      scan.nearest(queries.data(), count, k, answers);
      check(k, kInf, answers, packing);
    }
    for (double radius : radii) {
      Answers answers;
      scan.within(queries.data(), count, radius, answers);
      check(kWithin, radius, answers, packing);
    }
  }
}

// check_all over an index of `values`.
template <typename Scalar = double>
void check_values(VectorMetric metric, const std::vector<double>& values, std::size_t dim,
                  const std::vector<double>& queries, const std::vector<std::size_t>& ks,
                  const std::vector<double>& radii, std::string what, bool use_tree = true) {
  Rows<Scalar> index(metric, dim);
  fill(index, values, dim);
  what += std::string(metric == VectorMetric::euclidean ? ", euclidean" : ", angular") +
          (std::is_same_v<Scalar, float> ? ", float" : "");
  check_all(index, queries, dim, ks, radii, what, use_tree);
}

class ScanUniform : public ::testing::TestWithParam<std::tuple<VectorMetric, std::size_t, bool>> {};

TEST_P(ScanUniform, EqualsTheTreeAndBruteForce) {
  const auto [metric, dim, single] = GetParam();
  // More rows than one block holds at 8 dimensions, and queries that are
  // stored rows (distance 0) besides new ones.
  const std::size_t n = 2500;
  const std::vector<double> values = uniform(n, dim, 7, -1.0, 1.0);
  std::vector<double> queries = uniform(21, dim, 8, -1.0, 1.0);
  queries.insert(queries.end(), values.begin() + 5 * dim, values.begin() + 7 * dim);
  const auto check = single ? check_values<float> : check_values<double>;
  check(metric, values, dim, queries, {1, 10, n + 3}, {0.0, 1e300, kInf}, "uniform", true);
}

INSTANTIATE_TEST_SUITE_P(Dimensions, ScanUniform,
                         ::testing::Combine(::testing::ValuesIn(kMetrics),
                                            ::testing::Values(std::size_t{8}, std::size_t{32}, std::size_t{128}),
                                            ::testing::Bool()));

// The bounds must actually drop rows, or the scan is a slow brute force
// that every other test would pass.
TEST(Scan, DropsMostRowsOfUniformData) {
  const std::size_t dim = 32, n = 4000, count = 16;
  const std::vector<double> queries = uniform(count, dim, 12);
  for (VectorMetric metric : kMetrics) {
    Rows<double> index(metric, dim);
    fill(index, uniform(n, dim, 11), dim);
    const auto scan = vexel::VectorScan<double>::of(index);
    Answers answers;
    vexel::ScanCounts nearest, within;
    scan.nearest(queries.data(), count, 10, answers, &nearest);
    scan.within(queries.data(), count, radius_for_ten(index, queries, dim), answers, &within);
    for (const vexel::ScanCounts& counts : {nearest, within}) {
      EXPECT_EQ(counts.pairs, count * n);
      EXPECT_LT(counts.measured, counts.pairs / 10) << static_cast<int>(metric);
    }
  }
}

// A query with no bound yet measures the rows of least value first: on
// uniform data its k nearest in the first rows then bound it so tightly
// that it measures a few times k rows in all, not every row the tile
// leaves it while its bound still falls; in 8 dimensions too, where it
// opens with 256 rows rather than a whole block, so that its first bound
// is looser (a few more measured, never the 256 rows).
TEST(Scan, MeasuresTheNearestRowsFirst) {
  const std::size_t n = 4000, count = 16, k = 10;
  for (std::size_t dim : {8, 32}) {
    const std::vector<double> queries = uniform(count, dim, 12);
    for (VectorMetric metric : kMetrics) {
      Rows<double> index(metric, dim);
      fill(index, uniform(n, dim, 11), dim);
      Answers answers;
      vexel::ScanCounts counts;
      vexel::VectorScan<double>::of(index).nearest(queries.data(), count, k, answers, &counts);
      EXPECT_LE(counts.measured, (dim < 32 ? 8 : 4) * k * count) << static_cast<int>(metric) << " dim " << dim;
    }
  }
}

// The keys a query measures first are chosen among those at most a cut
// that its `ahead` nearest kept keys must meet, whatever the keys: few
// distinct values (ties), NaN, infinities, lanes the tile dropped; and on
// distinct keys few others meet it. The panel tests agree with their
// definitions at every level.
TEST(Scan, FrontCutHoldsTheNearestKeptKeys) {
  namespace scan = vexel::detail::scan;
  constexpr std::size_t stride = 24;  // keys of other queries between panels, as in the tile's values
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2}) {
    if (level > vexel::simd::supported()) continue;
    const scan::PanelKeys tests = scan::panel_keys_for(level);
    std::mt19937_64 random(5);
    for (int trial = 0; trial < 400; ++trial) {
      const std::size_t panels = 1 + random() % 40, ahead = 1 + random() % 40;
      const int kind = trial % 4;  // distinct, ties, with NaN, with infinities
      const bool all_kept = trial % 3 != 0;
      std::vector<float> keys(panels * stride, -1.0f);  // keys of other queries: never chosen
      std::vector<std::uint16_t> lanes(panels);
      std::vector<float> kept_keys;
      for (std::size_t p = 0; p < panels; ++p) {
        lanes[p] = all_kept ? 0xFFFF : static_cast<std::uint16_t>(random() % 4 == 0 ? 0 : random());
        for (std::size_t l = 0; l < scan::keys_per_panel; ++l) {
          float key = kind == 1 ? static_cast<float>(random() % 5) : static_cast<float>(random() % 1000000) / 7.0f;
          if (kind == 2 && random() % 3 == 0) key = nan;
          if (kind == 3 && random() % 3 == 0) key = random() % 2 ? inf : -inf;
          keys[p * stride + l] = key;
          if (lanes[p] >> l & 1) kept_keys.push_back(key);
        }
        const float* panel_keys = keys.data() + p * stride;
        for (float limit : {panel_keys[random() % 16], inf, -inf, 3.0f}) {
          std::uint32_t expected = 0;
          for (std::size_t l = 0; l < 16; ++l) expected |= static_cast<std::uint32_t>(!(panel_keys[l] > limit)) << l;
          ASSERT_EQ(tests.not_above(panel_keys, limit), expected) << "trial " << trial;
        }
        float least[2];
        tests.least_of_halves(panel_keys, lanes[p], least);
        for (std::size_t h = 0; h < 2; ++h) {
          float expected = inf;
          for (std::size_t l = 8 * h; l < 8 * h + 8; ++l) {
            if ((lanes[p] >> l & 1) && panel_keys[l] < expected) expected = panel_keys[l];
          }
          ASSERT_EQ(least[h], expected) << "trial " << trial << ", panel " << p;
        }
      }
      std::vector<float> scratch(2 * panels);
      const float cut = scan::front_cut(tests, keys.data(), stride, lanes.data(), panels, ahead, scratch.data());
      std::vector<scan::Candidate> sorted;
      for (float key : kept_keys) sorted.push_back({key, 0});
      std::sort(sorted.begin(), sorted.end(), scan::nearer);
      for (std::size_t t = 0; t < std::min(ahead, sorted.size()); ++t) {
        ASSERT_FALSE(sorted[t].key > cut) << "trial " << trial << ", " << t << "-th nearest";
      }
      const auto runners = std::count_if(kept_keys.begin(), kept_keys.end(), [cut](float key) { return !(key > cut); });
      if (kind == 0 && all_kept && 2 * panels >= 4 * ahead) {
        EXPECT_LE(static_cast<std::size_t>(runners), 4 * ahead) << "trial " << trial;
      }
    }
  }
}

// The k-th smallest of a few dozen values, ties and infinities included,
// as a full sort puts it, with the k smallest sorted in front.
TEST(Scan, KthSmallestAgreesWithASort) {
  std::mt19937_64 random(8);
  const float inf = std::numeric_limits<float>::infinity();
  for (int trial = 0; trial < 500; ++trial) {
    const std::size_t n = 1 + random() % 80, k = 1 + random() % n;
    std::vector<float> values(n);
    for (float& value : values) {
      value = trial % 2 ? static_cast<float>(random() % 4) : static_cast<float>(random() % 100000) / 3.0f;
      if (random() % 8 == 0) value = random() % 2 ? inf : -inf;
    }
    std::vector<float> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(vexel::detail::scan::kth_smallest(values.data(), n, k), sorted[k - 1]) << "trial " << trial;
    ASSERT_TRUE(std::equal(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), sorted.begin()));
  }
}

// Integer grids: most distances tie, so the k-th place and the radius fall
// among many equal distances, told apart by id; duplicates at distance 0.
TEST(Scan, IntegerGridsFullOfTiesAndDuplicates) {
  std::vector<double> values;
  for (int cell = 0; cell < 250; ++cell) {
    values.insert(values.end(), {double(cell % 5), double(cell / 5 % 5), double(cell / 25 % 5)});  // twice
  }
  const std::vector<double> queries{2, 2, 2, 0.5, 0.5, 0.5, 4, 0, 1, 1, 1, 1, 2.5, 2, 3};
  for (VectorMetric metric : kMetrics) {
    const double unit = metric == VectorMetric::euclidean ? 1.0 : 0.1;
    check_values(metric, values, 3, queries, {1, 2, 7, 20, 61}, {0.0, unit, std::sqrt(2.0) * unit, 2 * unit},
                 "grid");
  }
}

TEST(Scan, SkipsRemovedRows) {
  const std::size_t dim = 16, n = 3000;
  const std::vector<double> values = uniform(n, dim, 21);
  // Every third id, the nearest rows of the first queries among them.
  std::vector<std::int64_t> gone;
  for (std::int64_t id = 0; id < static_cast<std::int64_t>(n); id += 3) gone.push_back(id);
  std::vector<double> queries(values.begin(), values.begin() + 4 * dim);
  const std::vector<double> more = uniform(8, dim, 22);
  queries.insert(queries.end(), more.begin(), more.end());
  for (VectorMetric metric : kMetrics) {
    Rows<float> index(metric, dim);
    fill(index, values, dim);
    index.remove_many(gone.data(), 100);
    check_all(index, queries, dim, {1, 10, n}, {0.0, kInf}, "removed");
    // Past the rebuild that drops the marked rows.
    index.remove_many(gone.data() + 100, gone.size() - 100);
    check_all(index, queries, dim, {1, 10, n}, {0.0, kInf}, "rebuilt");
  }
}

// Infinite coordinates (Euclidean): such rows and queries are measured by the
// kernel, at infinite distance or 0 (equal infinities), never hidden.
TEST(Scan, InfiniteCoordinatesInRowsAndQueries) {
  const std::size_t dim = 4;
  std::vector<double> values = uniform(600, dim, 31);
  values[3 * dim] = values[11 * dim + 0] = values[11 * dim + 1] = kInf;
  values[10 * dim + 2] = -kInf;
  std::vector<double> queries = uniform(6, dim, 32);
  queries[0] = kInf;
  queries[dim + 2] = -kInf;
  queries.insert(queries.end(), values.begin() + 11 * dim, values.begin() + 12 * dim);
  // Finite, with a square beyond the bounds' range.
  for (bool single : {false, true}) {
    values[12 * dim + 1] = single ? 1e30 : 1e200;
    const auto check = single ? check_values<float> : check_values<double>;
    check(VectorMetric::euclidean, values, dim, queries, {1, 10, 600}, {0.0, 0.5, 1e300, kInf}, "infinite", true);
  }
}

// The zero vector under angular: at 1/2 turn from every other vector and 0
// from itself, by rule; measured by the kernel, never bounded.
TEST(Scan, ZeroVectorsUnderAngular) {
  const std::size_t dim = 5;
  std::vector<double> values = uniform(300, dim, 41, -1.0, 1.0);
  std::fill(values.begin() + 7 * dim, values.begin() + 8 * dim, 0.0);
  std::fill(values.begin() + 9 * dim, values.begin() + 10 * dim, 1e-200);  // tiny, not zero
  std::vector<double> queries(2 * dim, 0.0);
  queries[dim] = 1.0;
  check_values(VectorMetric::angular, values, dim, queries, {1, 5, 300}, {0.0, 0.5, 1.0}, "zero vectors");
}

// Large norms with small differences: the terms of q.q + x.x - 2 q.x cancel
// to a few parts in 10^16, the whole of the distance lies in the rounding,
// and many rows are within a few units in the last place of each other.
TEST(Scan, BoundsHoldWhereTheMatrixProductCancels) {
  const std::size_t dim = 24, n = 1500;
  for (double offset : {1e4, 1e8, 1e12}) {
    std::vector<double> values = uniform(n + 5, dim, 51, -1.0, 1.0);
    for (double& x : values) x = offset + x * offset * 1e-14;
    // The last 5 rows are queries; exact duplicates, and copies one unit in
    // the last place apart.
    std::vector<double> queries(values.begin(), values.begin() + 3 * dim);
    queries.insert(queries.end(), values.begin() + n * dim, values.end());
    values.resize(n * dim);
    for (std::size_t r = 0; r < 40; ++r) {
      const auto copy = values.begin() + static_cast<std::ptrdiff_t>((n - 1 - r) * dim);
      std::copy(values.begin() + r * dim, values.begin() + (r + 1) * dim, copy);
      if (r % 2) *copy = std::nextafter(*copy, kInf);
    }
    // Under angular these nearly parallel rows lie at angles below the
    // kernel's snapping to 0, where the angle is no metric and the tree
    // misses rows at angle 0 that brute force finds: brute force alone.
    for (VectorMetric metric : kMetrics) {
      check_values(metric, values, dim, queries, {1, 2, 10, 50}, {0.0},
                   "offset " + std::to_string(offset), metric == VectorMetric::euclidean);
    }
  }
}

// The products run in single precision: coordinates at both ends of the
// range they serve (2^-50 to 2^50 in magnitude), next to coordinates just
// beyond it, which the kernel measures instead.
TEST(Scan, CoordinatesAtTheEndsOfTheRangeTheProductsServe) {
  const std::size_t dim = 12, n = 1200;
  std::mt19937_64 random(91);
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  const double scales[] = {0x1p-50, 0x1p-51, 0x1p49, 0x1p50, 0x1p-20, 1.0};
  std::vector<double> values(n * dim);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double sign = (random() & 1) ? 1.0 : -1.0;
    values[i] = (random() % 5 == 0) ? 0.0 : sign * scales[i / dim % 6] * unit(random);
  }
  std::vector<double> queries(values.begin(), values.begin() + 12 * dim);
  for (std::size_t i = 0; i < queries.size(); ++i) queries[i] *= 1.0 + 1e-9 * static_cast<double>(i % 7);
  for (VectorMetric metric : kMetrics) {
    check_values(metric, values, dim, queries, {1, 10, 200}, {0.0}, "range ends");
  }
}

TEST(Scan, EverySimdLevelGivesTheSameAnswers) {
  const auto saved = vexel::simd::active();
  const std::size_t dim = 19;  // not a multiple of any width
  Rows<double> index(VectorMetric::euclidean, dim);
  fill(index, uniform(1000, dim, 61), dim);
  const std::vector<double> queries = uniform(13, dim, 62);
  const Answers reference = tree(index, queries, dim, 7, 0.0);
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level > vexel::simd::supported()) continue;
    vexel::simd::set_active(level);
    Answers answers;
    vexel::VectorScan<double>::of(index).nearest(queries.data(), 13, 7, answers);
    expect_same(reference, answers, vexel::simd::name(level));
  }
  vexel::simd::set_active(saved);
}

// The AVX-512 tiles sum each lane in the order of the AVX2 tiles: the same
// masks and values, over an odd number of panels (the last one alone).
TEST(Scan, TilesOfAvx512AndAvx2Agree) {
  namespace scan = vexel::detail::scan;
  if (vexel::simd::supported() < vexel::simd::Level::avx512) GTEST_SKIP() << "no AVX-512";
  const std::size_t dim = 19, panels = 5;
  const std::vector<double> rows = uniform(panels * scan::rows_per_panel * dim + scan::rows_per_panel, 1, 81, -1, 1);
  const std::vector<double> four = uniform(scan::queries_per_tile, dim, 82, -1, 1);
  const std::vector<float> panel_values(rows.begin(), rows.begin() + panels * scan::rows_per_panel * dim);
  const std::vector<float> row_terms(rows.end() - scan::rows_per_panel, rows.end());
  const std::vector<float> narrow(four.begin(), four.end());
  const float* query_rows[] = {&narrow[0], &narrow[dim], &narrow[2 * dim], &narrow[3 * dim]};
  std::vector<float> queries(dim * scan::wide_step);
  scan::spread_queries(query_rows, dim, queries.data());
  const float query_terms[] = {0.5f, 1.5f, -0.25f, 2.0f};
  const float limits[] = {0.0f, 0.75f, -0.5f, 1.0f};
  for (bool angular : {false, true}) {
    std::vector<std::uint64_t> kept[2];
    std::vector<float> values[2];
    const scan::Tiles tiles[2] = {scan::tiles_for(vexel::simd::Level::avx2),
                                  scan::tiles_for(vexel::simd::Level::avx512)};
    for (int level = 0; level < 2; ++level) {
      kept[level].assign(panels, 0);
      values[level].assign(panels * scan::values_per_panel, 0.0f);
      std::vector<float> terms(panels * scan::rows_per_panel);
      for (std::size_t i = 0; i < terms.size(); ++i) terms[i] = row_terms[i % row_terms.size()];
      (angular ? tiles[level].angular : tiles[level].euclidean)(queries.data(), panel_values.data(), panels, dim,
                                                              query_terms, terms.data(), limits, kept[level].data(),
                                                              values[level].data());
    }
    EXPECT_EQ(kept[0], kept[1]) << angular;
    EXPECT_EQ(values[0], values[1]) << angular;
  }
}

// The terms of rows and queries: AVX2 sums and checks as the portable code
// does, bit for bit, at every length and with coordinates at and beyond the
// ends of the range the products serve.
template <typename Element>
void expect_served_squares_agree() {
  namespace scan = vexel::detail::scan;
  const double specials[] = {0.0, -0.0, 0x1p-50, 0x1p-51, 0x1p50, 0x1p50 * (1 + 0x1p-52), 1e300,
                             std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
  std::mt19937_64 random(17);
  std::uniform_real_distribution<double> unit(-3.0, 3.0);
  std::size_t unserved = 0;
  for (std::size_t dim = 0; dim <= 21; ++dim) {
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<Element> x(dim);
      for (auto& value : x) value = static_cast<Element>(random() % 16 == 0 ? specials[random() % 9] : unit(random));
      double portable = -1.0, avx2 = -1.0;
      const bool served = scan::portable::served_squares(x.data(), dim, portable);
      ASSERT_EQ(scan::avx2::served_squares(x.data(), dim, avx2), served) << "dim " << dim;
      unserved += !served;
      if (served) {
        ASSERT_EQ(std::memcmp(&portable, &avx2, sizeof portable), 0)
            << "dim " << dim << ": " << portable << " " << avx2;
      }
    }
  }
  EXPECT_GT(unserved, 20u);
}

TEST(Scan, TermsOfAvx2AndPortableCodeAgree) {
#if VEXEL_SIMD_X86
  if (vexel::simd::supported() < vexel::simd::Level::avx2) GTEST_SKIP() << "no AVX2";
  expect_served_squares_agree<double>();
  expect_served_squares_agree<float>();
#else
  GTEST_SKIP() << "not x86";
#endif
}

TEST(Scan, NothingToFind) {
  Rows<double> index(VectorMetric::euclidean, 3);
  const std::vector<double> query{0.0, 0.0, 0.0};
  Answers answers;
  vexel::VectorScan<double>::of(index).nearest(query.data(), 1, 5, answers);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].empty());
  fill(index, uniform(50, 3, 71), 3);
  const auto scan = vexel::VectorScan<double>::of(index);
  scan.nearest(query.data(), 1, 0, answers);
  EXPECT_TRUE(answers[0].empty());
  for (double radius : {-1.0, std::nan("")}) {
    scan.within(query.data(), 1, radius, answers);
    EXPECT_TRUE(answers[0].empty());
  }
  EXPECT_THROW(vexel::VectorScan<double>(vexel::VectorSpace<double>(VectorMetric::manhattan, 3), nullptr, {}),
               std::invalid_argument);
}

// The counted searches are the tree's own searches: the same answers, and
// counts that the rule turns into a choice.
TEST(ScanRule, CountsTheTreeSearchAndChoosesByThem) {
  // `settles_within`: the probes after which a scan chosen must be settled.
  const auto scan_chosen = [](std::size_t dim, std::size_t n, std::size_t settles_within) {
    Rows<double> index(VectorMetric::euclidean, dim);
    fill(index, uniform(n, dim, 81), dim);
    const std::size_t probes = vexel::scan_probe_queries;
    const std::vector<double> queries = uniform(probes, dim, 82);
    const double radius = radius_for_ten(index, queries, dim);
    Rows<double>::Neighbors neighbors;
    Rows<double>::SearchScratch scratch;
    std::uint64_t measured = 0;
    std::size_t settled_after = 0;  // probes after which the choice was settled, if before the last
    vexel::TrialWork trial(n, dim);
    std::size_t trial_settled_after = 0;  // the probe during which `trial` settled
    for (std::size_t q = 0; q < probes; ++q) {
      const std::vector<double> query(queries.begin() + q * dim, queries.begin() + (q + 1) * dim);
      Answers found(1);
      const std::uint64_t one = vexel::nearest_counted(index, query.data(), 10, found[0], neighbors, scratch);
      EXPECT_GE(one, 10u);
      EXPECT_LE(one, n + n / 8);  // every row measured, and every leaf reached
      expect_same(tree(index, query, dim, 10, 0.0), found, "counted nearest");
      measured += one;
      const std::uint64_t within = vexel::within_counted(index, query.data(), radius, found[0], neighbors, scratch);
      EXPECT_GE(within, found[0].size());
      EXPECT_LE(within, n + n / 8);
      expect_same(tree(index, query, dim, kWithin, radius), found, "counted within");
      if (settled_after == 0 && vexel::scan_decided(measured, n, dim)) settled_after = q + 1;
      // With a budget the same search either finishes unchanged or stops
      // within one node's visit past the budget, where it would have
      // measured at least that many rows.
      const std::uint64_t budget = vexel::probe_budget(n);
      const std::uint64_t cut = vexel::nearest_counted(index, query.data(), 10, found[0], neighbors, scratch, budget);
      if (one < budget) {
        EXPECT_EQ(cut, one);
        expect_same(tree(index, query, dim, 10, 0.0), found, "budgeted nearest");
      } else {
        EXPECT_GE(cut, budget);
        EXPECT_LE(cut, budget + index.max_leaf_points + index.max_degree);
        EXPECT_LT(cut, n) << "a budget of half the rows stops the search early";
      }
      // A trial adds the whole work of a search to its sum, and changes
      // nothing of it while unsettled; once settled (by another thread),
      // it stops the search within a node's visit.
      vexel::TrialWork alone(n, dim);
      EXPECT_EQ(vexel::nearest_counted(index, query.data(), 10, found[0], neighbors, scratch,
                                       vexel::unlimited_budget, &alone),
                one);
      EXPECT_FALSE(alone.settled()) << "one search never settles a trial here";
      EXPECT_EQ(alone.sum(), one);
      expect_same(tree(index, query, dim, 10, 0.0), found, "nearest in an unsettled trial");
      alone.settle();
      EXPECT_LE(vexel::within_counted(index, query.data(), radius, found[0], neighbors, scratch,
                                      vexel::unlimited_budget, &alone),
                index.max_leaf_points + index.max_degree);
      // The probes in one trial: it settles in the midst of a search at the
      // latest, and that search stops there.
      if (!trial.settled()) {
        const std::uint64_t part = vexel::nearest_counted(index, query.data(), 10, found[0], neighbors, scratch,
                                                          vexel::unlimited_budget, &trial);
        if (trial.settled()) {
          trial_settled_after = q + 1;
          EXPECT_LE(part, one);
        } else {
          EXPECT_EQ(part, one);
          EXPECT_EQ(trial.sum(), measured);
        }
      }
    }
    const bool chosen = vexel::prefers_scan(measured, probes, n, dim);
    EXPECT_EQ(settled_after != 0, chosen) << "a probe cut short chooses as the whole probe";
    EXPECT_EQ(trial.settled(), chosen) << "a trial that adds up as it goes chooses as the whole probe";
    if (chosen) {
      EXPECT_LE(trial_settled_after, settled_after) << "it settles no later";
      EXPECT_LE(settled_after, settles_within) << "dim " << dim << ": the first probes settle it";
    }
    return chosen;
  };
  EXPECT_FALSE(scan_chosen(2, 20000, 0));  // boxes prune nearly everything
  EXPECT_TRUE(scan_chosen(64, 5000, 2));   // nothing prunes
  // The leaves' filters rule out most rows, but test every one.
  EXPECT_TRUE(scan_chosen(32, 100000, 5));
  EXPECT_FALSE(vexel::prefers_scan(0, 0, 100, 8));
  EXPECT_EQ(vexel::probe_budget(0), 1u);
  EXPECT_EQ(vexel::probe_budget(7), 4u);
  // The share grows with the dimension, then levels off.
  EXPECT_LT(vexel::scan_share(2), vexel::scan_share(16));
  EXPECT_EQ(vexel::scan_share(64), vexel::scan_share(1024));
}

}  // namespace
