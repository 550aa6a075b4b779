// Two numbers a row that bound its Euclidean and Manhattan distances from
// below without reading it: the sum of its coordinates and its spread, the
// length of what remains once their mean is taken from every coordinate.
// Along the diagonal (1, ..., 1) and across it, for rows of d coordinates,
//   |q - x|² = (Σq - Σx)² / d + |q' - x'|²  >=  (Σq - Σx)² / d + (|q'| - |x'|)²
// where x' is x less its mean; and |q - x|_1 is at least that bound and
// |Σq - Σx| too. Rows that differ most in their level (image patches differ
// in brightness) are told apart by it where a leaf's pivot cannot.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "vexel/gather_in_place.h"
#include "vexel/vector_kernels.h"

namespace vexel {

class RowSummaries {
 public:
  RowSummaries(VectorMetric metric, std::size_t dim)
      : metric_(metric),
        dim_(dim),
        // Long rows only: in a few dimensions the nodes' boxes of
        // coordinates bound as much, and a row costs little to measure.
        kept_(dim >= 16 && (metric == VectorMetric::euclidean || metric == VectorMetric::manhattan)),
        per_coordinate_(1.0 / static_cast<double>(dim)),
        per_root_(std::sqrt(per_coordinate_)),
        // A summary's floats are off by at most 2^-23 of its row's norm
        // (under the metric), and the kernels' distances by far less of the
        // sum of the norms; a row's Euclidean norm is at most |Σx| / √d +
        // its spread, and its Manhattan norm √d times that.
        slack_(0x1p-20 * (metric == VectorMetric::manhattan ? std::sqrt(static_cast<double>(dim)) : 1.0)) {}

  void reserve(std::size_t rows) {
    if (kept_) summaries_.reserve(rows);
  }
  // Room for `count` more rows, growing as a vector grows (rows added one
  // by one would otherwise copy every summary each time).
  void make_room(std::size_t count) {
    const std::size_t needed = summaries_.size() + count;
    if (kept_ && needed > summaries_.capacity()) summaries_.reserve(std::max(needed, 2 * summaries_.capacity()));
  }
  // Summarises `count` more rows of Scalars; allocates nothing once
  // make_room() made room for them.
  template <typename Scalar>
  void append(const Scalar* rows, std::size_t count) {
    if (!kept_) return;
    make_room(count);
    for (std::size_t r = 0; r < count; ++r) summaries_.push_back(summary_of(rows + r * dim_));
  }
  // Summary i becomes the one of row order[i] (gather_in_place.h).
  void reorder(const std::vector<std::uint32_t>& order, std::vector<bool>& done) {
    if (!kept_) return;
    Summary held{};
    gather_in_place(
        order, done, [&](std::size_t i) { held = summaries_[i]; },
        [&](std::size_t to, std::size_t from) { summaries_[to] = summaries_[from]; },
        [&](std::size_t to) { summaries_[to] = held; });
  }
  RowSummaries gathered(const std::vector<std::uint32_t>& order) const {
    RowSummaries out(metric_, dim_);
    if (!kept_) return out;
    out.summaries_.reserve(order.size());
    for (std::uint32_t r : order) out.summaries_.push_back(summaries_[r]);
    return out;
  }
  void truncate(std::size_t rows) {
    if (rows < summaries_.size()) summaries_.resize(rows);
  }

  // A query's sum, spread and Euclidean norm, usable where rows are
  // summarised and the query's numbers are finite.
  struct QuerySummary {
    double sum = 0.0, spread = 0.0, norm = 0.0;
    bool usable = false;
  };
  QuerySummary summarise_query(const double* query) const {
    if (!kept_) return {};
    QuerySummary q = measure(query);
    q.usable = std::isfinite(q.sum) && std::isfinite(q.spread) && std::isfinite(q.norm);
    return q;
  }

  // Copies to `kept`, in order, the rows of `rows` whose summaries do not
  // put them farther than `limit` from the query, and returns how many
  // (`kept` may be `rows`). Every bound holds after rounding: a row left
  // out measures more than `limit` with the kernels too.
  std::size_t keep_within(const QuerySummary& q, double limit, const std::uint32_t* rows, std::size_t count,
                          std::uint32_t* kept) const {
    if (!q.usable || !(limit < std::numeric_limits<double>::infinity())) {
      if (kept != rows) std::copy_n(rows, count, kept);
      return count;
    }
    const double reach_of_query = limit + slack_ * q.norm;
    const bool manhattan = metric_ == VectorMetric::manhattan;
    // Blocks of rows, 8 then 32 at a time; where one block rules out less
    // than an eighth, the summaries barely tell these rows apart (uniform
    // data, or a leaf near the query), and the rest are kept untested.
    std::size_t n = 0, i = 0, block = 8;
    while (i < count) {
      const std::size_t end = std::min(count, i + block), before = n;
      for (; i < end; ++i) {
        const Summary& s = summaries_[rows[i]];
        const double level = q.sum - s.sum, spread = q.spread - s.spread;
        const double reach = reach_of_query + slack_ * (std::fabs(s.sum) * per_root_ + s.spread);
        const bool beyond = level * level * per_coordinate_ + spread * spread > reach * reach ||
                            (manhattan && std::fabs(level) > reach);
        kept[n] = rows[i];
        n += !beyond;  // NaN compares false: kept
      }
      if (n - before > block - block / 8) break;
      block = 32;
    }
    if (kept + n != rows + i) std::copy(rows + i, rows + count, kept + n);
    return n + (count - i);
  }

 private:
  struct Summary {
    float sum;
    float spread;
  };
  // The sum, spread and Euclidean norm of one row, in double.
  template <typename Scalar>
  QuerySummary measure(const Scalar* x) const {
    double sum = 0.0, squares = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double v = x[i];
      sum += v;
      squares += v * v;
    }
    const double mean = sum * per_coordinate_;
    double spread = 0.0;
    for (std::size_t i = 0; i < dim_; ++i) {
      const double v = static_cast<double>(x[i]) - mean;
      spread += v * v;
    }
    return {sum, std::sqrt(spread), std::sqrt(squares), false};
  }
  // A row with an infinite or NaN coordinate, or too large for floats,
  // has an infinite or NaN sum or spread, and with it a reach no bound
  // exceeds: it is never left out.
  template <typename Scalar>
  Summary summary_of(const Scalar* x) const {
    const QuerySummary q = measure(x);
    return {static_cast<float>(q.sum), static_cast<float>(q.spread)};
  }

  VectorMetric metric_;
  std::size_t dim_;
  bool kept_;
  double per_coordinate_, per_root_;  // 1 / d and 1 / √d
  double slack_;                      // of a bound, per unit of the norms
  std::vector<Summary> summaries_;
};

}  // namespace vexel
