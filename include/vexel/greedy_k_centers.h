// Farthest-first choice of split pivots, and the matrix of distances it fills.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexel/large_blocks.h"
#include "vexel/parallel.h"
#include "vexel/prefetch.h"

namespace vexel {

// A dense, column-major matrix of doubles in one uninitialised malloc block.
// The split reads every point-to-center distance from here, so each one is
// evaluated exactly once.
class DistanceMatrix {
 public:
  DistanceMatrix() = default;
  DistanceMatrix(std::int64_t rows, std::int64_t columns) { allocate(rows, columns); }
  DistanceMatrix(const DistanceMatrix&) = delete;
  DistanceMatrix& operator=(const DistanceMatrix&) = delete;
  ~DistanceMatrix() { release(); }

  std::int64_t rows() const { return rows_; }
  std::int64_t columns() const { return columns_; }

  double& operator()(std::int64_t row, std::int64_t column) {
    return data_[row + column * rows_];
  }
  const double& operator()(std::int64_t row, std::int64_t column) const {
    return data_[row + column * rows_];
  }

  // Keeps the block when it holds the new shape's elements (with its
  // values, when their count is unchanged), so that a matrix reused for
  // many shapes allocates only to grow; otherwise replaces it with a
  // fresh, uninitialised one.
  void reshape(std::int64_t rows, std::int64_t columns) {
    if (static_cast<std::size_t>(element_count(rows, columns)) * sizeof(double) <= bytes_) {
      rows_ = rows;
      columns_ = columns;
      return;
    }
    release();
    allocate(rows, columns);
  }

 private:
  static std::int64_t element_count(std::int64_t rows, std::int64_t columns) {
    constexpr std::int64_t max_index = std::numeric_limits<std::int64_t>::max();
    if (rows != 0 && columns != 0 && rows > max_index / columns) throw std::bad_alloc();
    const std::int64_t count = rows * columns;
    if (count >= (std::int64_t{1} << 61)) throw std::bad_alloc();  // bytes would overflow
    return count;
  }

  void allocate(std::int64_t rows, std::int64_t columns) {
    const std::int64_t count = element_count(rows, columns);
    if (count > 0) {
      bytes_ = static_cast<std::size_t>(count) * sizeof(double);
      data_ = static_cast<double*>(allocate_block(bytes_));
    }
    rows_ = rows;
    columns_ = columns;
  }

  void release() noexcept {
    if (data_ != nullptr) free_block(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
    rows_ = columns_ = 0;
  }

  std::int64_t rows_ = 0;
  std::int64_t columns_ = 0;
  double* data_ = nullptr;
  std::size_t bytes_ = 0;
};

// A distance that measures a whole column of a split in one call:
// distance.column(center, points, count, out) sets out[j] to the distance
// from points[j] to the center.
template <typename Distance, typename T, typename = void>
struct measures_columns : std::false_type {};
template <typename Distance, typename T>
struct measures_columns<Distance, T,
                        std::void_t<decltype(std::declval<const Distance&>().column(
                            std::declval<const T&>(), std::declval<const T*>(), std::size_t{},
                            std::declval<double*>()))>> : std::true_type {};

// How a split chooses its centers after the first.
//   farthest_first  each next center is the point farthest from every center
//                   so far
//   balanced        the same, unless those centers would take more than nine
//                   points in ten into one: then each next center is drawn
//                   uniformly from the points not within machine epsilon of
//                   a chosen one. On data with a dense core and scattered
//                   outliers (image patches) farthest-first picks outliers,
//                   level after level, and nearly every point stays in one
//                   child: a deep tree whose build measures every point at
//                   every level. Drawn centers follow the density instead.
enum class CenterChoice { farthest_first, balanced };

// splitmix64's finaliser: well-spread values from neighbouring seeds.
inline std::uint64_t mix_seed(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Chooses up to k far-apart points of a bucket by farthest-first traversal
// from one randomly drawn point (or, when balanced, at random). The generator
// is seeded once, with the standard default seed, so the same operations
// always build the same tree.
// `Distance` is any callable measuring two points; it must also tell whether
// it is set (an empty one throws std::bad_function_call when needed).
template <typename T, typename Distance = std::function<double(const T&, const T&)>>
class GreedyKCenters {
 public:
  using DistanceFunction = Distance;

  GreedyKCenters() = default;
  virtual ~GreedyKCenters() = default;

  void set_distance_function(const DistanceFunction& function) {
    DistanceFunction copy(function);
    using std::swap;
    swap(distance_function, copy);  // the old function dies with `copy`
  }

  // Fills `centers_out` with between 1 and k indices into `points` (the drawn
  // one first, then in the order chosen) and column s of `matrix` with the
  // distance from every point to center s.
  void select_centers(const std::vector<T>& points, std::uint32_t k,
                      std::vector<std::uint32_t>& centers_out, DistanceMatrix& matrix) {
    const std::size_t n = points.size();
    const auto rows = static_cast<std::int64_t>(n);
    std::vector<double> min_distance(n, std::numeric_limits<double>::infinity());
    centers_out.reserve(k);
    if (matrix.rows() < rows || matrix.columns() < static_cast<std::int64_t>(k)) {
      matrix.reshape(std::max(2 * matrix.rows() + 1, rows), k);
    }

    centers_out.push_back(draw_below(static_cast<std::uint32_t>(n)));
    select_after_first(points, k, centers_out, matrix, min_distance);
  }

  // select_centers with the first center given (an index into `points`)
  // rather than drawn, and `seed` for the draws of a balanced choice: the
  // generator is not used, so that selections of different buckets may run
  // at once on several threads. Each column is measured on `workers`
  // threads (see measure_column).
  void select_centers_from(std::uint32_t first, const std::vector<T>& points, std::uint32_t k,
                           std::vector<std::uint32_t>& centers_out, DistanceMatrix& matrix,
                           CenterChoice choice = CenterChoice::farthest_first, std::uint64_t seed = 0,
                           std::size_t workers = 1) const {
    const auto rows = static_cast<std::int64_t>(points.size());
    std::vector<double> min_distance(points.size(), std::numeric_limits<double>::infinity());
    centers_out.reserve(k);
    if (matrix.rows() < rows || matrix.columns() < static_cast<std::int64_t>(k)) {
      matrix.reshape(std::max(2 * matrix.rows() + 1, rows), k);
    }
    centers_out.push_back(first);
    select_after_first(points, k, centers_out, matrix, min_distance, std::nullopt, workers);
    if (choice == CenterChoice::balanced && lopsided(matrix, centers_out.size(), points.size())) {
      centers_out.resize(1);
      std::fill(min_distance.begin(), min_distance.end(), std::numeric_limits<double>::infinity());
      select_after_first(points, k, centers_out, matrix, min_distance, seed, workers);
    }
  }

  // The same selection as select_centers_from, keeping no matrix: each
  // column is measured `slice` points at a time and only folded into every
  // point's distance to its nearest center, so that a selection over many
  // points needs one double a point. A caller that needs the distances
  // measures them again.
  // A balanced choice decides as select_centers_from does, measuring the
  // last farthest-first center's distances for it.
  void select_centers_unkept_from(std::uint32_t first, const std::vector<T>& points, std::uint32_t k,
                                  std::vector<std::uint32_t>& centers_out, std::size_t slice,
                                  CenterChoice choice = CenterChoice::farthest_first, std::uint64_t seed = 0,
                                  std::size_t workers = 1) const {
    const std::size_t n = points.size();
    if (!distance_function) throw std::bad_function_call();
    slice = std::max<std::size_t>(1, std::min(slice, n));
    centers_out.reserve(k);
    centers_out.push_back(first);
    select_unkept_after_first(points, k, centers_out, slice, choice == CenterChoice::balanced, seed, workers);
  }

  // The first center of select_centers: one draw of the generator.
  std::uint32_t draw_first(std::uint32_t n) { return draw_below(n); }

  // The seed of a balanced choice's draws: two draws of the generator.
  std::uint64_t draw_seed() {
    const std::uint64_t high = static_cast<std::uint32_t>(generator());
    return (high << 32) | static_cast<std::uint32_t>(generator());
  }

  // out[j] = distance(points[j], center) for every j < n: in one call when
  // the distance measures whole columns, else point by point. A long column
  // is cut into pieces measured on up to `workers` threads; each distance is
  // the same whichever thread measures it.
  void measure_column(const T* points, std::size_t n, const T& center, double* out, std::size_t workers = 1) const {
    constexpr std::size_t piece = std::size_t{1} << 14;
    if (workers > 1 && n > piece) {
      run_parallel(
          n, workers, piece,
          [&](std::size_t begin, std::size_t end, std::size_t) {
            measure_column(points + begin, end - begin, center, out + begin);
          },
          [] {});
      return;
    }
    if constexpr (measures_columns<Distance, T>::value) {
      distance_function.column(center, points, n, out);
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        if (j + prefetch_distance < n) prefetch_stored(distance_function, points[j + prefetch_distance]);
        out[j] = distance_function(points[j], center);
      }
    }
  }

  // Whether the centers whose distances fill the first `centers` columns of
  // `matrix` would take more than nine points in ten of `n` into one child
  // (each point counted with its first nearest center).
  static bool lopsided(const DistanceMatrix& matrix, std::size_t centers, std::size_t n) {
    if (centers < 2) return false;
    std::vector<std::size_t> loads(centers, 0);
    // A block of points at a time, each column read in order.
    constexpr std::size_t block = 256;
    double to_nearest[block];
    std::uint32_t nearest[block];
    for (std::size_t low = 0; low < n; low += block) {
      const std::size_t rows = std::min(block, n - low);
      std::fill(to_nearest, to_nearest + rows, std::numeric_limits<double>::infinity());
      std::fill(nearest, nearest + rows, 0);
      for (std::size_t c = 0; c < centers; ++c) {
        const double* column = &matrix(static_cast<std::int64_t>(low), static_cast<std::int64_t>(c));
        for (std::size_t t = 0; t < rows; ++t) {
          if (column[t] < to_nearest[t]) {
            to_nearest[t] = column[t];
            nearest[t] = static_cast<std::uint32_t>(c);
          }
        }
      }
      for (std::size_t t = 0; t < rows; ++t) ++loads[nearest[t]];
    }
    return lopsided(loads, n);
  }

  DistanceFunction distance_function;
  std::mt19937 generator;  // default-seeded (5489) and never reseeded

 private:
  // The part of a selection after the first center: farthest-first, or
  // drawn from `seed` when one is given.
  void select_after_first(const std::vector<T>& points, std::uint32_t k, std::vector<std::uint32_t>& centers_out,
                          DistanceMatrix& matrix, std::vector<double>& min_distance,
                          std::optional<std::uint64_t> seed = std::nullopt, std::size_t workers = 1) const {
    const std::size_t n = points.size();
    if (!distance_function) throw std::bad_function_call();

    for (std::uint32_t i = 1; i < k; ++i) {
      double* column = &matrix(0, i - 1);
      measure_column(points.data(), n, points[centers_out[i - 1]], column, workers);
      std::size_t best = 0;
      double best_distance = -std::numeric_limits<double>::infinity();
      for (std::size_t j = 0; j < n; ++j) {
        const double d = column[j];
        if (d < min_distance[j]) min_distance[j] = d;
        if (min_distance[j] > best_distance) {
          best = j;
          best_distance = min_distance[j];
        }
      }
      // Every point lies within machine epsilon of a chosen center: more
      // centers would only split duplicates.
      if (best_distance < std::numeric_limits<double>::epsilon()) break;
      if (seed) best = drawn_point(min_distance, *seed, i);
      centers_out.push_back(static_cast<std::uint32_t>(best));
    }

    // The last center's column. After the stop rule this repeats the
    // evaluations of the stopping iteration, which wrote the same column.
    const std::int64_t last_column = static_cast<std::int64_t>(centers_out.size()) - 1;
    measure_column(points.data(), n, points[centers_out.back()], &matrix(0, last_column), workers);
  }

  // select_centers_unkept_from after its first center: farthest-first, and
  // then, when `balance` is set and those centers are lopsided, drawn.
  void select_unkept_after_first(const std::vector<T>& points, std::uint32_t k, std::vector<std::uint32_t>& centers_out,
                                 std::size_t slice, bool balance, std::uint64_t seed, std::size_t workers) const {
    const std::size_t n = points.size();
    std::vector<double> min_distance(n);
    std::vector<std::uint32_t> nearest(balance ? n : 0);  // the first center at min_distance
    std::vector<double> column(slice);
    // Folds center c's distances into min_distance (and nearest); returns
    // the farthest point from every center so far, or -1 once all lie
    // within machine epsilon of one.
    const auto fold = [&](std::uint32_t c, bool track) {
      std::size_t best = 0;
      double best_distance = -std::numeric_limits<double>::infinity();
      for (std::size_t begin = 0; begin < n; begin += slice) {
        const std::size_t count = std::min(slice, n - begin);
        measure_column(points.data() + begin, count, points[centers_out[c]], column.data(), workers);
        for (std::size_t j = 0; j < count; ++j) {
          double& to_nearest = min_distance[begin + j];
          if (column[j] < to_nearest) {
            to_nearest = column[j];
            if (track) nearest[begin + j] = c;
          }
          if (to_nearest > best_distance) {
            best = begin + j;
            best_distance = to_nearest;
          }
        }
      }
      return best_distance < std::numeric_limits<double>::epsilon() ? -1 : static_cast<std::int64_t>(best);
    };
    const auto select = [&](const std::uint64_t* draws) {
      std::fill(min_distance.begin(), min_distance.end(), std::numeric_limits<double>::infinity());
      std::fill(nearest.begin(), nearest.end(), 0);
      centers_out.resize(1);
      std::uint32_t folded = 0;
      for (std::uint32_t i = 1; i < k; ++i) {
        const std::int64_t farthest = fold(i - 1, draws == nullptr && balance);
        ++folded;
        if (farthest < 0) break;
        centers_out.push_back(static_cast<std::uint32_t>(draws ? drawn_point(min_distance, *draws, i) : farthest));
      }
      return folded;
    };
    const std::uint32_t folded = select(nullptr);
    if (!balance || centers_out.size() < 2) return;
    if (folded < centers_out.size()) fold(folded, true);  // the last center's distances
    std::vector<std::size_t> loads(centers_out.size(), 0);
    for (std::uint32_t c : nearest) ++loads[c];
    if (lopsided(loads, n)) select(&seed);
  }

  static bool lopsided(const std::vector<std::size_t>& loads, std::size_t n) {
    return 10 * *std::max_element(loads.begin(), loads.end()) > 9 * n;
  }

  // The point of draw `i` from `seed`: uniform among those not within
  // machine epsilon of a center (one exists: the farthest).
  static std::size_t drawn_point(const std::vector<double>& min_distance, std::uint64_t seed, std::uint32_t i) {
    const auto eligible = [](double d) { return !(d < std::numeric_limits<double>::epsilon()); };
    const auto count = static_cast<std::uint64_t>(std::count_if(min_distance.begin(), min_distance.end(), eligible));
    std::uint64_t wanted = ((mix_seed(seed + i) >> 32) * count) >> 32;
    for (std::size_t j = 0;; ++j) {
      if (eligible(min_distance[j]) && wanted-- == 0) return j;
    }
  }

  // A uniform index in [0, n) by Lemire's multiply-and-reject reduction of
  // one 32-bit output (more only on the rare rejection).
  std::uint32_t draw_below(std::uint32_t n) {
    std::uint64_t product = std::uint64_t{static_cast<std::uint32_t>(generator())} * n;
    auto low = static_cast<std::uint32_t>(product);
    if (low < n) {
      const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
      while (low < threshold) {
        product = std::uint64_t{static_cast<std::uint32_t>(generator())} * n;
        low = static_cast<std::uint32_t>(product);
      }
    }
    return static_cast<std::uint32_t>(product >> 32);
  }
};

}  // namespace vexel
