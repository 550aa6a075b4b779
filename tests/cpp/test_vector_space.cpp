// Rows of a vector space: a bucket measured in one call, a split's column
// measured from the center, and a laid-out copy all give, bit for bit, what
// measuring one pair at a time gives; rows reordered in place equal the
// laid-out copy, and so do an index's rows after its layout. The sums and
// spreads of long rows, and the sums of their stretches, leave out only rows
// beyond the limit by the kernels themselves, and follow their rows through
// every change of a space.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>

#include "space_changes.h"
#include "test_support.h"
#include "vexel/exact_storage.h"
#include "vexel/simd.h"
#include "vexel/row_index.h"
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

// Permutations of every shape (fixed points, one long cycle, many short
// ones, random): the rows in place equal the copy, coordinate for coordinate.
TYPED_TEST(VectorSpaceTest, ReorderInPlaceEqualsTheLaidOutCopy) {
  const std::size_t n = 500, dim = 5;
  std::vector<double> values;
  for (const Point& p : random_points(n, dim, 5)) values.insert(values.end(), p.begin(), p.end());
  std::mt19937 random(6);
  for (int shape = 0; shape < 4; ++shape) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
    if (shape == 1) std::rotate(order.begin(), order.begin() + 1, order.end());
    if (shape == 2) {
      for (std::size_t i = 0; i + 1 < n; i += 2) std::swap(order[i], order[i + 1]);
    }
    if (shape == 3) std::shuffle(order.begin(), order.end(), random);
    vexel::VectorSpace<TypeParam> space(VectorMetric::euclidean, dim);
    space.append(values.data(), n);
    const auto copy = space.reordered(order);
    std::vector<bool> done(n);
    space.reorder(order, done);
    for (std::uint32_t r = 0; r < n; ++r) {
      ASSERT_TRUE(std::equal(space.row(r), space.row(r) + dim, copy.row(r))) << "shape " << shape << ", row " << r;
    }
  }
}

// Rows appended from float values equal those appended from the same
// values in double.
TYPED_TEST(VectorSpaceTest, AppendsFloatRowsAsTheirDoubles) {
  const std::vector<float> narrow = {0.1f, -3.5f, 1e30f, -0.0f, 7.25f, 1e-30f};
  const std::vector<double> wide(narrow.begin(), narrow.end());
  vexel::VectorSpace<TypeParam> from_float(VectorMetric::manhattan, 3), from_double(VectorMetric::manhattan, 3);
  from_float.append(narrow.data(), 2);
  from_double.append(wide.data(), 2);
  ASSERT_EQ(from_float.rows(), 2u);
  for (std::uint32_t r = 0; r < 2; ++r) {
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(from_float.row(r)[c], from_double.row(r)[c]);
  }
}

// After bulk builds, single insertions and removals that rebuild (dropping
// rows outside the tree), every row holds the point of its id, every id
// finds its row, and the rows lie in tree order.
TYPED_TEST(VectorSpaceTest, AnIndexLaysOutItsRowsInPlace) {
  const std::size_t dim = 3;
  vexel::RowIndex<vexel::VectorSpace<TypeParam>> index(VectorMetric::euclidean, dim);
  std::map<std::int64_t, Point> model;
  const auto add = [&](const std::vector<Point>& points) {
    std::vector<double> values;
    for (const Point& p : points) values.insert(values.end(), p.begin(), p.end());
    const auto ids = index.add(nullptr, points.size(), [&](auto& space) { space.append(values.data(), points.size()); });
    for (std::size_t i = 0; i < ids.size(); ++i) model[ids[i]] = points[i];
  };
  add(random_points(3000, dim, 7));
  add(random_points(300, dim, 8));   // one by one
  add(random_points(3500, dim, 9));  // bulk again, over the old rows
  std::vector<std::int64_t> gone;
  for (const auto& entry : model) {
    if (entry.first % 5 != 0) gone.push_back(entry.first);
  }
  index.remove_many(gone.data(), gone.size());  // rebuilds
  for (std::int64_t id : gone) model.erase(id);
  ASSERT_EQ(index.removed_rows, 0u);
  ASSERT_EQ(index.space.rows(), model.size());
  for (const auto& [id, point] : model) {
    const std::uint32_t row = index.row_of(id);
    ASSERT_NE(row, vexel::IdMap::none);
    ASSERT_EQ(index.row_ids[row], id);
    for (std::size_t c = 0; c < dim; ++c) ASSERT_EQ(index.space.row(row)[c], static_cast<TypeParam>(point[c]));
  }
  std::vector<std::uint32_t> tree_order;
  index.list(tree_order);
  for (std::uint32_t i = 0; i < tree_order.size(); ++i) ASSERT_EQ(tree_order[i], i);
}

TEST(ExactStorage, FloatsHoldWholeNumbersAndFloatValuesOnly) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (double held : {0.0, -0.0, 255.0, -3.0, 0.5, 16777216.0, 3.4028234663852886e38, kInf, -kInf}) {
    EXPECT_TRUE(vexel::fit_float(&held, 1)) << held;
  }
  for (double rounded : {1.0 / 3.0, 0.1, 16777217.0, 1e300, 1e-300, nan}) {
    EXPECT_FALSE(vexel::fit_float(&rounded, 1)) << rounded;
    std::vector<double> late(600, 1.0);
    late[590] = rounded;  // in the third block
    EXPECT_FALSE(vexel::fit_float(late.data(), late.size())) << rounded;
  }
}

// Whole numbers copied from rows of doubles to rows of floats and back,
// the tree restored or, while removed rows are still in it, built again:
// every answer is the original's to the bit, and the ids go on as before.
TEST(ExactStorage, RowsCopiedToFloatsAndBackAnswerAsBefore) {
  using Wide = vexel::RowIndex<vexel::VectorSpace<double>>;
  using Narrow = vexel::RowIndex<vexel::VectorSpace<float>>;
  const std::size_t dim = 4, n = 2000;
  std::mt19937 random(5);
  std::vector<double> values(n * dim);
  for (double& x : values) x = static_cast<double>(random() % 41) - 20.0;
  for (bool removals : {false, true}) {
    Wide original(VectorMetric::euclidean, dim);
    original.add(nullptr, n, [&](auto& space) { space.append(values.data(), n); });
    if (removals) {
      for (std::int64_t id = 0; id < 60; id += 2) original.remove_many(&id, 1);
      ASSERT_TRUE(original.has_removed());
    }
    Narrow narrow(VectorMetric::euclidean);
    vexel::copy_rows(original, narrow);
    Wide back(VectorMetric::euclidean);
    vexel::copy_rows(narrow, back);
    EXPECT_EQ(narrow.size(), original.size());
    EXPECT_EQ(back.next_id, original.next_id);
    Wide::Neighbors neighbors;
    Wide::SearchScratch scratch;
    Narrow::Neighbors narrow_neighbors;
    Narrow::SearchScratch narrow_scratch;
    std::vector<Wide::Neighbor> expected, copied, returned;
    for (std::size_t q = 0; q < 20; ++q) {
      const std::vector<double> query(values.begin() + q * dim, values.begin() + (q + 1) * dim);
      original.nearest(query.data(), 15, expected, neighbors, scratch);
      narrow.nearest(query.data(), 15, copied, narrow_neighbors, narrow_scratch);
      back.nearest(query.data(), 15, returned, neighbors, scratch);
      ASSERT_EQ(expected.size(), 15u);
      for (std::size_t i = 0; i < expected.size(); ++i) {
        for (const auto* other : {&copied, &returned}) {
          ASSERT_EQ((*other)[i].stored, expected[i].stored) << "query " << q << " rank " << i;
          ASSERT_TRUE(same_bits((*other)[i].distance, expected[i].distance));
        }
      }
    }
  }
}

// Bulk builds over integer points full of ties: a dense core with scattered
// outliers (farthest-first is lopsided there, so a large bucket chooses its
// centers among a sample of it), and one point repeated with a few others
// (a sample that holds too few distinct points leaves the choice to the
// whole bucket, which still splits). On one thread or two, with the split
// matrix whole or in slices, the tree is the same and every answer is
// brute force's, ties by id.
TEST(VectorIndex, BulkBuildsOfCoresAndDuplicatesAreExactAndTheSameOnAnyThreads) {
  using Rows = vexel::RowIndex<vexel::VectorSpace<double>>;
  const std::size_t dim = 3;
  std::mt19937_64 random(91);
  const auto integer_points = [&](std::size_t count, int low, int high) {
    std::uniform_int_distribution<int> coordinate(low, high);
    std::vector<Point> points(count, Point(dim));
    for (Point& p : points) {
      for (double& x : p) x = coordinate(random);
    }
    return points;
  };
  std::vector<Point> cored = integer_points(24000, 0, 7);
  for (const Point& p : integer_points(600, -5000, 5000)) cored.push_back(p);
  std::vector<Point> repeated(24000, Point{1.0, 1.0, 1.0});
  for (const Point& p : integer_points(20, -50, 50)) repeated.push_back(p);
  std::vector<Point> queries = integer_points(20, -20, 20);
  for (const Point& p : integer_points(20, -6000, 6000)) queries.push_back(p);

  for (const auto* points : {&cored, &repeated}) {
    std::vector<double> values;
    for (const Point& p : *points) values.insert(values.end(), p.begin(), p.end());
    std::vector<std::vector<double>> shapes;
    for (const auto& [workers, split_bytes] : {std::pair<std::size_t, std::size_t>{1, std::size_t{64} << 20},
                                               {2, std::size_t{64} << 20}, {2, std::size_t{1} << 16}}) {
      Rows index(VectorMetric::euclidean, dim);
      index.build_workers = workers;
      index.max_split_matrix_bytes = split_bytes;
      const auto ids = index.add(nullptr, points->size(), [&](auto& space) { space.append(values.data(), points->size()); });
      ASSERT_FALSE(index.tree->is_leaf());
      shapes.push_back(tree_shape(index));

      Rows::Neighbors neighbors;
      Rows::SearchScratch scratch;
      std::vector<Rows::Neighbor> found;
      for (const Point& q : queries) {
        std::vector<Rows::Neighbor> expected;
        for (std::size_t i = 0; i < points->size(); ++i) expected.push_back({euclidean(q, (*points)[i]), ids[i]});
        std::sort(expected.begin(), expected.end(), Rows::Neighbors::ranks_below);
        for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{60}}) {
          index.nearest(q.data(), k, found, neighbors, scratch);
          ASSERT_EQ(found.size(), k);
          for (std::size_t i = 0; i < k; ++i) {
            ASSERT_EQ(found[i].stored, expected[i].stored) << "k=" << k << " rank " << i;
            ASSERT_EQ(found[i].distance, expected[i].distance);
          }
        }
      }
    }
    for (std::size_t i = 1; i < shapes.size(); ++i) EXPECT_EQ(shapes[0], shapes[i]) << "build " << i;
  }
}

// Rows of `dim` coordinates, each at a level of its own plus a little
// noise, as image patches differ in brightness: whole numbers (ties
// everywhere) or with fractions. Rows 7, 18, 29, 40 and 51 hold an
// infinity, a NaN, or values whose squares or float sums overflow.
std::vector<double> levelled(std::size_t n, std::size_t dim, std::uint32_t seed, bool fractions) {
  std::mt19937 random(seed);
  std::vector<double> values(n * dim);
  for (std::size_t r = 0; r < n; ++r) {
    const double level = static_cast<double>(random() % 200) - 100.0;
    for (std::size_t c = 0; c < dim; ++c) {
      values[r * dim + c] = level + static_cast<double>(random() % 7) - 3.0 +
                            (fractions ? static_cast<double>(random() % 1000) / 997.0 : 0.0);
    }
  }
  const double odd[] = {kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e300, 3e38};
  for (std::size_t i = 0; i < 5; ++i) values[(7 + 11 * i) * dim + i] = odd[i];
  return values;
}

// The rows of `space` its summaries keep within `limit` of `query`.
template <typename Scalar>
std::vector<std::uint32_t> kept_rows(const vexel::VectorSpace<Scalar>& space, const double* query, double limit) {
  std::vector<std::uint32_t> rows(space.rows());
  for (std::uint32_t r = 0; r < rows.size(); ++r) rows[r] = r;
  typename vexel::VectorSpace<Scalar>::QuerySummary summary;
  space.summarise(query, summary);
  rows.resize(space.keep_within(summary, limit, rows.data(), rows.size(), rows.data()));
  return rows;
}

// Limits at the 1st, 10th, 61st and 301st distance, one ulp below and a
// hair above: every row within the limit, or at an infinite or NaN
// distance, is kept; a query with an infinity (row 7) keeps every row; and
// rows of other levels are left out.
TYPED_TEST(VectorSpaceTest, SummariesLeaveOutOnlyRowsBeyondTheLimit) {
  const std::size_t n = 600;
  for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan}) {
    for (std::size_t dim : {16u, 33u, 64u}) {
      for (bool fractions : {false, true}) {
        const std::vector<double> values = levelled(n, dim, static_cast<std::uint32_t>(dim + fractions), fractions);
        vexel::VectorSpace<TypeParam> space(metric, dim);
        space.append(values.data(), n);
        std::size_t left_out = 0;
        for (std::uint32_t q : {0u, 7u, 300u, 599u}) {
          std::vector<double> query(values.begin() + q * dim, values.begin() + (q + 1) * dim);
          query[1] += 0.5;
          std::vector<double> distances(n);
          for (std::uint32_t r = 0; r < n; ++r) distances[r] = space.distance(query.data(), r);
          std::vector<double> sorted_distances;  // the finite ones
          std::copy_if(distances.begin(), distances.end(), std::back_inserter(sorted_distances),
                       [](double d) { return std::isfinite(d); });
          std::sort(sorted_distances.begin(), sorted_distances.end());
          for (std::size_t rank : {0u, 9u, 60u, 300u}) {
            // Few distances from the query with an infinity are finite.
            if (rank >= sorted_distances.size()) continue;
            const double at = sorted_distances[rank];
            for (double limit : {at, std::nextafter(at, 0.0), at * (1 + 1e-12)}) {
              const std::vector<std::uint32_t> kept = kept_rows(space, query.data(), limit);
              for (std::uint32_t r = 0; r < n; ++r) {
                if (distances[r] <= limit || !std::isfinite(distances[r]) || q == 7) {
                  ASSERT_TRUE(std::binary_search(kept.begin(), kept.end(), r))
                      << "dim " << dim << ", query " << q << ", row " << r << ", limit " << limit;
                }
              }
              left_out += n - kept.size();
            }
          }
        }
        EXPECT_GT(left_out, 0u) << "dim " << dim;
      }
    }
  }
}

// Rows that are shuffles of a few prototypes, each with three coordinates
// swapped: every row has the same sum and spread, and only the sums of
// their stretches tell them apart. Far from the origin (`offset`), floats
// round those sums by more than the rows' differences.
std::vector<double> shuffled(std::size_t n, std::size_t dim, std::uint32_t seed, double offset) {
  std::mt19937 random(seed);
  std::vector<double> base(dim);
  for (std::size_t c = 0; c < dim; ++c) base[c] = offset + static_cast<double>(c) + static_cast<double>(c % 3) / 7.0;
  std::vector<std::vector<double>> prototypes(5, base);
  for (auto& prototype : prototypes) std::shuffle(prototype.begin(), prototype.end(), random);
  std::vector<double> values;
  for (std::size_t r = 0; r < n; ++r) {
    std::vector<double> row = prototypes[r % prototypes.size()];
    for (int swap = 0; swap < 3; ++swap) std::swap(row[random() % dim], row[random() % dim]);
    values.insert(values.end(), row.begin(), row.end());
  }
  return values;
}

// At every SIMD level: rows within the limit are kept, and the stretches
// leave rows out that the sum and spread cannot.
TYPED_TEST(VectorSpaceTest, StretchesLeaveOutOnlyRowsBeyondTheLimit) {
  const vexel::simd::Level saved = vexel::simd::active();
  const std::size_t n = 400;
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2}) {
    if (level > vexel::simd::supported()) continue;
    vexel::simd::set_active(level);
    for (VectorMetric metric : {VectorMetric::euclidean, VectorMetric::manhattan}) {
      for (auto [dim, offset] : {std::pair{16u, 0.0}, {33u, 0.0}, {64u, 0.0}, {100u, 0.0}, {16u, 3e6}, {64u, 1e5}}) {
        const std::vector<double> values = shuffled(n, dim, dim, offset);
        vexel::VectorSpace<TypeParam> space(metric, dim);
        space.append(values.data(), n);
        std::size_t left_out = 0;
        for (std::uint32_t q : {0u, 151u, 399u}) {
          std::vector<double> query(values.begin() + q * dim, values.begin() + (q + 1) * dim);
          query[2] += 0.25;
          std::vector<double> distances(n);
          for (std::uint32_t r = 0; r < n; ++r) distances[r] = space.distance(query.data(), r);
          std::vector<double> sorted_distances = distances;
          std::sort(sorted_distances.begin(), sorted_distances.end());
          for (double limit : {sorted_distances[0], sorted_distances[9], std::nextafter(sorted_distances[60], 0.0)}) {
            const std::vector<std::uint32_t> kept = kept_rows(space, query.data(), limit);
            for (std::uint32_t r = 0; r < n; ++r) {
              if (distances[r] <= limit) {
                ASSERT_TRUE(std::binary_search(kept.begin(), kept.end(), r))
                    << vexel::simd::name(level) << ", dim " << dim << ", query " << q << ", row " << r;
              }
            }
            left_out += n - kept.size();
          }
        }
        if (offset == 0.0) {  // far off, the slack for rounding exceeds the rows' differences
          EXPECT_GT(left_out, n) << vexel::simd::name(level) << ", dim " << dim;
        }
      }
    }
  }
  vexel::simd::set_active(saved);
}

// Reordered in place or as a copy, truncated, cleared and refilled, or
// read in place: each space keeps what a space given the same rows
// directly keeps; rows read in place unsummarised are all kept.
TYPED_TEST(VectorSpaceTest, SummariesFollowTheirRowsThroughEveryChange) {
  using Space = vexel::VectorSpace<TypeParam>;
  const std::size_t n = 500, dim = 24;
  const SpaceChanges<TypeParam> changes(levelled(n, dim, 8, true), n, dim, n);
  Space unsummarised(VectorMetric::euclidean, dim);
  unsummarised.map(changes.stored.data(), n, false);
  for (std::size_t q : {0u, 100u, 250u}) {
    for (double limit : {2.0, 10.0, 40.0}) {
      const double* query = changes.shuffled.data() + q * dim;
      const auto expected = kept_rows(changes.direct, query, limit);
      ASSERT_LT(expected.size(), n);
      for (const Space* space : {&changes.in_place, &changes.copied, &changes.refilled, &changes.mapped}) {
        EXPECT_EQ(kept_rows(*space, query, limit), expected);
      }
      EXPECT_EQ(kept_rows(unsummarised, query, limit).size(), n);
      EXPECT_EQ(kept_rows(changes.truncated, query, limit), kept_rows(changes.first_half, query, limit));
    }
  }
}

}  // namespace
