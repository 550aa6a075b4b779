// Two numbers a row that bound its Euclidean and Manhattan distances from
// below without reading it: the sum of its coordinates and its spread, the
// length of what remains once their mean is taken from every coordinate.
// Along the diagonal (1, ..., 1) and across it, for rows of d coordinates,
//   |q - x|² = (Σq - Σx)² / d + |q' - x'|²  >=  (Σq - Σx)² / d + (|q'| - |x'|)²
// where x' is x less its mean; and |q - x|_1 is at least that bound and
// |Σq - Σx| too. Rows that differ most in their level (image patches differ
// in brightness) are told apart by it where a leaf's pivot cannot.
//
// Rows are summarised in more detail too: the sums of 8 to 32 stretches of
// adjacent coordinates. With e_j the unit vector along stretch j and x''
// what remains of x once its projection on them is taken away,
//   |q - x|²  >=  Σ_j ((q - x)·e_j)² + (|q''| - |x''|)²
// by the same argument. The diagonal lies in their span, so this bound is
// at least the first, and takes its place. Neighbouring coordinates of
// signals and images move together: their stretches tell apart rows that
// agree on average.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "vexel/gather_in_place.h"
#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel {

class RowSummaries {
 public:
  RowSummaries(VectorMetric metric, std::size_t dim)
      : metric_(metric),
        dim_(dim),
        // Long rows only: in a few dimensions the nodes' boxes of
        // coordinates bound as much, and a row costs little to measure.
        kept_(dim >= 16 && (metric == VectorMetric::euclidean || metric == VectorMetric::manhattan)),
        // Stretches of at least two coordinates, a multiple of eight of them
        // (the test takes eight a step).
        stretches_(kept_ ? std::min<std::size_t>(max_stretches, dim / 16 * 8) : 0),
        per_coordinate_(1.0 / static_cast<double>(dim)),
        per_root_(std::sqrt(per_coordinate_)),
        // A summary's floats are off by at most 2^-23 of its row's norm
        // (under the metric), and the kernels' distances by far less of the
        // sum of the norms; a row's Euclidean norm is at most |Σx| / √d +
        // its spread, and its Manhattan norm √d times that.
        slack_(0x1p-20 * (metric == VectorMetric::manhattan ? std::sqrt(static_cast<double>(dim)) : 1.0)) {}

  void reserve(std::size_t rows) {
    if (!kept_) return;
    summaries_.reserve(rows);
    stretch_sums_.reserve(rows * stride());
  }
  // Room for `count` more rows, growing as a vector grows (rows added one
  // by one would otherwise copy every summary each time).
  void make_room(std::size_t count) {
    const std::size_t needed = summaries_.size() + count;
    if (kept_ && needed > summaries_.capacity()) reserve(std::max(needed, 2 * summaries_.capacity()));
  }
  // Summarises `count` more rows of Scalars; allocates nothing once
  // make_room() made room for them.
  template <typename Scalar>
  void append(const Scalar* rows, std::size_t count) {
    if (!kept_) return;
    make_room(count);
    for (std::size_t r = 0; r < count; ++r) {
      const QuerySummary q = measure(rows + r * dim_);
      summaries_.push_back({static_cast<float>(q.sum), static_cast<float>(q.spread)});
      for (std::size_t j = 0; j < stretches_; ++j) stretch_sums_.push_back(as_stored(q.stretches[j]));
      if (stretches_ != 0) stretch_sums_.push_back(as_stored(q.rest));
    }
  }
  // Summary i becomes the one of row order[i] (gather_in_place.h).
  void reorder(const std::vector<std::uint32_t>& order, std::vector<bool>& done) {
    if (!kept_) return;
    Summary held{};
    gather_in_place(
        order, done, [&](std::size_t i) { held = summaries_[i]; },
        [&](std::size_t to, std::size_t from) { summaries_[to] = summaries_[from]; },
        [&](std::size_t to) { summaries_[to] = held; });
    if (stretches_ == 0) return;
    std::array<float, max_stretches + 1> held_sums{};
    const std::size_t n = stride();
    float* sums = stretch_sums_.data();
    gather_in_place(
        order, done, [&](std::size_t i) { std::copy_n(sums + i * n, n, held_sums.data()); },
        [&](std::size_t to, std::size_t from) { std::copy_n(sums + from * n, n, sums + to * n); },
        [&](std::size_t to) { std::copy_n(held_sums.data(), n, sums + to * n); });
  }
  RowSummaries gathered(const std::vector<std::uint32_t>& order) const {
    RowSummaries out(metric_, dim_);
    if (!kept_) return out;
    out.reserve(order.size());
    const std::size_t n = stride();
    for (std::uint32_t r : order) {
      out.summaries_.push_back(summaries_[r]);
      out.stretch_sums_.insert(out.stretch_sums_.end(), stretch_sums_.begin() + r * n,
                               stretch_sums_.begin() + (r + 1) * n);
    }
    return out;
  }
  void truncate(std::size_t rows) {
    if (rows < summaries_.size()) {
      summaries_.resize(rows);
      stretch_sums_.resize(rows * stride());
    }
  }

  static constexpr std::size_t max_stretches = 32;
  // A query's sum, spread and Euclidean norm, usable where rows are
  // summarised and the query's numbers are finite; its stretches' sums
  // (each over the square root of the stretch's length) and the length of
  // what they leave.
  struct QuerySummary {
    double sum = 0.0, spread = 0.0, norm = 0.0;
    bool usable = false;
    std::array<double, max_stretches> stretches{};
    double rest = 0.0;
  };
  QuerySummary summarise_query(const double* query) const {
    if (!kept_) return {};
    QuerySummary q = measure(query);
    q.usable = std::isfinite(q.sum) && std::isfinite(q.spread) && std::isfinite(q.norm) && std::isfinite(q.rest);
    return q;
  }

  // Copies to `kept`, in order, the rows of `rows` whose summaries do not
  // put them farther than `limit` from the query, and returns how many
  // (`kept` may be `rows`). Every bound holds after rounding: a row left
  // out measures more than `limit` with the kernels too.
  std::size_t keep_within(const QuerySummary& q, double limit, const std::uint32_t* rows, std::size_t count,
                          std::uint32_t* kept, bool stretches = true) const {
    if (!q.usable || !(limit < std::numeric_limits<double>::infinity())) {
      if (kept != rows) std::copy_n(rows, count, kept);
      return count;
    }
    const bool manhattan = metric_ == VectorMetric::manhattan;
    // The stretches' bound, where kept, in place of the sum and spread's
    // (never below it), for a block of rows at a time; with twice the slack
    // (their floats' rounding).
    const double slack = stretches_ != 0 ? 2 * slack_ : slack_;
    const double reach_of_query = limit + slack * q.norm;
    const StretchBounds by_stretches =
        stretches && reach_of_query < 0x1p60 ? stretch_bounds_for(stretches_) : nullptr;
    // Blocks of rows, 8 then 32 at a time; where one block rules out less
    // than an eighth (a quarter by stretches, which cost more to test), the
    // summaries barely tell these rows apart (uniform data, or a leaf near
    // the query), and the rest are kept untested.
    constexpr std::size_t first_block = 8, later_blocks = 32;
    double squared_bounds[later_blocks];
    const std::size_t enough = by_stretches != nullptr ? 4 : 8;
    std::size_t n = 0, i = 0, block = first_block;
    while (i < count) {
      const std::size_t end = std::min(count, i + block), before = n, first = i;
      if (by_stretches != nullptr) (this->*by_stretches)(q, rows + i, end - i, squared_bounds);
      for (; i < end; ++i) {
        const Summary& s = summaries_[rows[i]];
        const double level = q.sum - s.sum, spread = q.spread - s.spread;
        const double reach = reach_of_query + slack * (std::fabs(s.sum) * per_root_ + s.spread);
        const double squared =
            by_stretches != nullptr ? squared_bounds[i - first] : level * level * per_coordinate_ + spread * spread;
        const bool beyond = squared > reach * reach || (manhattan && std::fabs(level) > reach);
        kept[n] = rows[i];
        n += !beyond;  // NaN compares false: kept
      }
      if (n - before > block - block / enough) break;
      block = later_blocks;
    }
    if (kept + n != rows + i) std::copy(rows + i, rows + count, kept + n);
    return n + (count - i);
  }

 private:
  struct Summary {
    float sum;
    float spread;
  };
  // Each row's stretch sums, then what they leave: stride() floats a row.
  std::size_t stride() const { return stretches_ == 0 ? 0 : stretches_ + 1; }

  // The stretches' bound, squared, of `count` rows (at most a block): in
  // double, from floats off by at most 2^-24 of the row's norm each, well
  // within the reach's slack. NaN where a row has a NaN stretch.
  template <std::size_t Stretches>
  void squared_stretch_bounds(const QuerySummary& q, const std::uint32_t* rows, std::size_t count, double* out) const {
    for (std::size_t t = 0; t < count; ++t) {
      const float* x = stretch_sums_.data() + std::size_t{rows[t]} * (Stretches + 1);
      double total[4] = {0.0, 0.0, 0.0, 0.0};
      for (std::size_t j = 0; j < Stretches; j += 4) {
        for (std::size_t l = 0; l < 4; ++l) {
          const double gap = q.stretches[j + l] - static_cast<double>(x[j + l]);
          total[l] += gap * gap;
        }
      }
      const double rest = q.rest - static_cast<double>(x[Stretches]);
      out[t] = (total[0] + total[1]) + (total[2] + total[3]) + rest * rest;
    }
  }
#if VEXEL_SIMD_X86
  // The same in floats, eight stretches a register: half the work. Each
  // gap is off by at most 2^-24 of the query's stretch and of itself, and
  // their sum of squares by a few more parts in 2^24, so the bound exceeds
  // the double one by less than 2^-20 of the norms, the extra slack
  // keep_within gives it. Reaches past 2^60 (huge limits or queries), whose
  // gaps could overflow a float, take the plain test.
  template <std::size_t Stretches>
  __attribute__((target("avx2,fma"))) void squared_stretch_bounds_avx2(const QuerySummary& q, const std::uint32_t* rows,
                                                                       std::size_t count, double* out) const {
    static_assert(Stretches % 8 == 0, "eight stretches a register");
    __m256 query[Stretches / 8];
    for (std::size_t j = 0; j < Stretches / 8; ++j) {
      alignas(32) float eight[8];
      for (std::size_t l = 0; l < 8; ++l) eight[l] = static_cast<float>(q.stretches[8 * j + l]);
      query[j] = _mm256_load_ps(eight);
    }
    for (std::size_t t = 0; t < count; ++t) {
      const float* x = stretch_sums_.data() + std::size_t{rows[t]} * (Stretches + 1);
      __m256 total = _mm256_setzero_ps();
      for (std::size_t j = 0; j < Stretches / 8; ++j) {
        const __m256 gap = _mm256_sub_ps(query[j], _mm256_loadu_ps(x + 8 * j));
        total = _mm256_fmadd_ps(gap, gap, total);
      }
      __m128 half = _mm_add_ps(_mm256_castps256_ps128(total), _mm256_extractf128_ps(total, 1));
      half = _mm_add_ps(half, _mm_movehl_ps(half, half));
      half = _mm_add_ss(half, _mm_movehdup_ps(half));
      const double rest = q.rest - static_cast<double>(x[Stretches]);
      out[t] = static_cast<double>(_mm_cvtss_f32(half)) + rest * rest;
    }
  }
#endif
  using StretchBounds = void (RowSummaries::*)(const QuerySummary&, const std::uint32_t*, std::size_t,
                                               double*) const;
  template <std::size_t Stretches>
  static StretchBounds stretch_bounds_of() {
#if VEXEL_SIMD_X86
    if (simd::active() >= simd::Level::avx2) return &RowSummaries::squared_stretch_bounds_avx2<Stretches>;
#endif
    return &RowSummaries::squared_stretch_bounds<Stretches>;
  }
  static StretchBounds stretch_bounds_for(std::size_t stretches) {
    switch (stretches) {
      case 0: return nullptr;
      case 8: return stretch_bounds_of<8>();
      case 16: return stretch_bounds_of<16>();
      case 24: return stretch_bounds_of<24>();
      default: return stretch_bounds_of<32>();
    }
  }
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
    QuerySummary out;
    out.sum = sum;
    out.spread = std::sqrt(spread);
    out.norm = std::sqrt(squares);
    double rest = 0.0;
    for (std::size_t j = 0; j < stretches_; ++j) {
      const std::size_t begin = j * dim_ / stretches_, end = (j + 1) * dim_ / stretches_;
      double stretch = 0.0;
      for (std::size_t i = begin; i < end; ++i) stretch += x[i];
      const double stretch_mean = stretch / static_cast<double>(end - begin);
      for (std::size_t i = begin; i < end; ++i) {
        const double v = static_cast<double>(x[i]) - stretch_mean;
        rest += v * v;
      }
      out.stretches[j] = stretch / std::sqrt(static_cast<double>(end - begin));
    }
    out.rest = std::sqrt(rest);
    return out;
  }
  // A row with an infinite or NaN coordinate, or too large for floats,
  // has an infinite or NaN sum or spread, and with it a reach no bound
  // exceeds: it is never left out. A stretch too large for a float is
  // stored as NaN, which rules nothing out: its row's norm may exceed the
  // floats' range by a hair where its sum and spread do not.
  static float as_stored(double value) {
    const float stored = static_cast<float>(value);
    return std::isfinite(stored) ? stored : std::numeric_limits<float>::quiet_NaN();
  }

  VectorMetric metric_;
  std::size_t dim_;
  bool kept_;
  std::size_t stretches_;  // 0, 8, 16, 24 or 32
  double per_coordinate_, per_root_;  // 1 / d and 1 / √d
  double slack_;                      // of a bound, per unit of the norms
  std::vector<Summary> summaries_;
  std::vector<float> stretch_sums_;  // stride() a row, in row order
};

}  // namespace vexel
