// Vectors in one contiguous block of rows, measured by a vector kernel.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "vexel/byte_rows.h"
#include "vexel/gather_in_place.h"
#include "vexel/greedy_k_centers.h"
#include "vexel/row_summaries.h"
#include "vexel/vector_kernels.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexel {

// Rows of `dim` coordinates stored as `Scalar` (double, or float to halve
// memory and bandwidth), one after the other. Distances are always computed
// in double from the stored values, with the kernel of the active SIMD
// level, so they equal the kernel's result on those values wherever it runs.
template <typename Scalar>
class VectorSpace {
 public:
  // A query: `dim` coordinates in double.
  using Query = const double*;
  // Cheap distances: long leaves, scanned in one call; longer still where
  // high dimensions leave the tree little to prune and a leaf scan streams.
  // In 2 and 3 dimensions the search's cost is its visits more than its
  // distances: smaller leaves under nodes of eight.
  std::uint32_t leaf_points() const { return dim_ <= 3 ? 200 : dim_ < 10 ? 400 : 800; }
  // Sixteen pivots a node rather than eight from 4 dimensions up: fewer
  // distances at 6 to 12 dimensions, the same cost where nothing prunes.
  std::uint32_t tree_degree() const { return dim_ <= 3 ? 8 : 16; }
  static constexpr CenterChoice center_choice = CenterChoice::balanced;
  // Boxes of coordinates rule out nearly every child that sibling ranges
  // would in a few dimensions, and in many the ranges rule out almost
  // nothing: the ranges are not read.
  static constexpr bool boxes_replace_ranges = true;

  explicit VectorSpace(VectorMetric metric, std::size_t dim = 0)
      : metric_(metric),
        dim_(dim),
        kernel_(vector_kernel<Scalar>(metric)),
        summaries_(metric, dim),
        bytes_(metric, dim) {}

  VectorMetric metric() const { return metric_; }
  // 0 until the first row fixes it.
  std::size_t dim() const { return dim_; }
  void set_dim(std::size_t dim) {
    if (rows() != 0 && dim != dim_) throw std::logic_error("the dimension of stored rows is fixed");
    if (dim != dim_) {
      summaries_ = RowSummaries(metric_, dim);
      bytes_ = ByteRows(metric_, dim);
    }
    dim_ = dim;
  }

  // Picks the kernel of the SIMD level active now.
  void refresh_kernel() { kernel_ = vector_kernel<Scalar>(metric_); }

  const Scalar* row(std::uint32_t r) const { return base() + std::size_t{r} * dim_; }

  double distance(const double* query, std::uint32_t r) const { return kernel_.one(query, row(r), dim_); }
  double distance(std::uint32_t a, std::uint32_t b) const {
    if constexpr (std::is_same_v<Scalar, double>) {
      return kernel_.one(row(a), row(b), dim_);
    } else {
      // The kernel takes its first argument in double.
      thread_local std::vector<double> widened;
      widened.assign(row(a), row(a) + dim_);
      return kernel_.one(widened.data(), row(b), dim_);
    }
  }
  // One call for a whole bucket. Rows that lie together in ascending order
  // (a leaf laid out in tree order) need only their start fetched: the
  // hardware prefetcher follows the rest, and asking for every line as well
  // slows a long scan. Other batches go in
  // slices, each fetched while the one before is measured.
  void batch(const double* query, const std::uint32_t* rows, std::size_t count, double* out) const {
    constexpr std::size_t slice = 32;
    prefetch_rows(rows, std::min(count, slice));
    if (count > 0 && rows[count - 1] >= rows[0] && rows[count - 1] - rows[0] < 4 * count) {
      kernel_.many(query, base(), dim_, rows, count, out);
      return;
    }
    for (std::size_t begin = 0; begin < count; begin += slice) {
      const std::size_t end = std::min(count, begin + slice);
      prefetch_rows(rows + end, std::min(count, end + slice) - end);
      kernel_.many(query, base(), dim_, rows + begin, end - begin, out + begin);
    }
  }
  // The distances from every row of `rows` to the row `center` (a column of
  // a split), measured with the center as the query: the kernels are
  // symmetric to the last bit.
  void column(std::uint32_t center, const std::uint32_t* rows, std::size_t count, double* out) const {
    if constexpr (std::is_same_v<Scalar, double>) {
      batch(row(center), rows, count, out);
    } else {
      const std::vector<double> widened(row(center), row(center) + dim_);
      batch(widened.data(), rows, count, out);
    }
  }

  void prefetch(std::uint32_t r) const { prefetch_rows(&r, 1); }

  // A leaf measures only the rows that their sums and spreads
  // (row_summaries.h) do not put beyond the search's bound. Long rows
  // only, under Euclidean and Manhattan distances. Where rows and query
  // are all bytes (byte_rows.h), a leaf measures the rows as bytes
  // instead, and in rows no longer than bytes_outmeasure_stretches leaves
  // the sums of stretches untested: measuring the row costs less.
  struct QuerySummary {
    RowSummaries::QuerySummary sums;
    ByteRows::Query bytes;  // the query as bytes; empty where not
  };
  static constexpr std::size_t bytes_outmeasure_stretches = 256;
  void summarise(const double* query, QuerySummary& into) const {
    into.sums = summaries_.summarise_query(query);
    bytes_.prepare(query, into.bytes);
  }
  std::size_t keep_within(const QuerySummary& query, double limit, const std::uint32_t* rows, std::size_t count,
                          std::uint32_t* kept) const {
    const bool stretches = query.bytes.empty() || dim_ > bytes_outmeasure_stretches;
    return summaries_.keep_within(query.sums, limit, rows, count, kept, stretches);
  }
  // Whether a search for `query` measures rows as bytes.
  bool measures_as_bytes(const double* query) const { return bytes_.measures(query); }
  // distance() and batch(), as bytes where the query's summary holds it as
  // bytes.
  double distance(const double* query, const QuerySummary& summary, std::uint32_t r) const {
    if (summary.bytes.empty()) return distance(query, r);
    double out;
    bytes_.batch(summary.bytes, &r, 1, &out);
    return out;
  }
  void batch(const double* query, const QuerySummary& summary, const std::uint32_t* rows, std::size_t count,
             double* out) const {
    if (summary.bytes.empty()) {
      batch(query, rows, count, out);
    } else {
      bytes_.batch(summary.bytes, rows, count, out);
    }
  }

  // Bounding boxes of coordinates, under the Minkowski metrics, where the
  // distance from a query to a box bounds its distance to every row inside:
  // each coordinate differs by at least the gap to the box. Computed in
  // double from the stored values, with one rounding per step as the
  // kernels, so that the bound exceeds a row's computed distance by far
  // less than the tree's pruning slack. Other metrics keep no boxes.
  std::size_t box_size() const {
    return metric_ == VectorMetric::euclidean || metric_ == VectorMetric::manhattan ||
                   metric_ == VectorMetric::chebyshev
               ? dim_
               : 0;
  }
  // In up to three dimensions a box bounds what lies below a node as
  // tightly as its pivot's ball, and costs no more to test than measuring
  // the pivot: a search queues children by their boxes alone.
  bool defers_pivots() const { return box_size() != 0 && dim_ <= 3; }
  void widen_box(double* low, double* high, std::uint32_t r) const {
    const Scalar* x = row(r);
    // Selects rather than branches, so that the loop vectorises (to the
    // minimum and maximum instructions, which keep the box where the
    // value is NaN, as these comparisons do).
    for (std::size_t i = 0; i < dim_; ++i) {
      const double value = x[i];
      low[i] = value < low[i] ? value : low[i];
      high[i] = high[i] < value ? value : high[i];
    }
  }
  // The distance from `query` to the box [low, high]: along each axis the
  // gap to the box, 0 inside it, and 0 where it is NaN (infinite ends),
  // which bounds nothing.
  double box_distance(const double* query, const double* low, const double* high) const {
    if (metric_ == VectorMetric::euclidean) {
      switch (dim_) {
        case 1: return short_box_distance<1>(query, low, high);
        case 2: return short_box_distance<2>(query, low, high);
        case 3: return short_box_distance<3>(query, low, high);
        case 4: return short_box_distance<4>(query, low, high);
        default: break;
      }
    }
    double totals[2] = {0.0, 0.0};
    std::size_t i = 0;
#if defined(__SSE2__)
    // Two axes a step and two sums a lane, without a branch: max_pd(a, b)
    // is a > b ? a : b lane by lane, b where either is NaN, as below.
    const __m128d zero = _mm_setzero_pd();
    __m128d first = zero, second = zero;
    const auto gaps = [&](std::size_t at) {
      const __m128d q = _mm_loadu_pd(query + at);
      const __m128d wider = _mm_max_pd(_mm_sub_pd(_mm_loadu_pd(low + at), q), _mm_sub_pd(q, _mm_loadu_pd(high + at)));
      return _mm_max_pd(wider, zero);
    };
    const auto fold = [&](auto step) {
      for (; i + 4 <= dim_; i += 4) {
        first = step(first, gaps(i));
        second = step(second, gaps(i + 2));
      }
      for (; i + 2 <= dim_; i += 2) first = step(first, gaps(i));
    };
    switch (metric_) {
      case VectorMetric::euclidean:
        fold([](__m128d total, __m128d g) { return _mm_add_pd(total, _mm_mul_pd(g, g)); });
        first = _mm_add_pd(first, second);
        break;
      case VectorMetric::manhattan:
        fold([](__m128d total, __m128d g) { return _mm_add_pd(total, g); });
        first = _mm_add_pd(first, second);
        break;
      default:
        fold([](__m128d total, __m128d g) { return _mm_max_pd(g, total); });
        first = _mm_max_pd(first, second);
        break;
    }
    _mm_storeu_pd(totals, first);
#endif
    for (; i < dim_; ++i) {
      const double below = low[i] - query[i];
      const double above = query[i] - high[i];
      double gap = below > above ? below : above;
      if (!(gap > 0.0)) gap = 0.0;
      switch (metric_) {
        case VectorMetric::euclidean:
          totals[0] += gap * gap;
          break;
        case VectorMetric::manhattan:
          totals[0] += gap;
          break;
        default:
          if (gap > totals[0]) totals[0] = gap;
          break;
      }
    }
    switch (metric_) {
      case VectorMetric::euclidean:
        return std::sqrt(totals[0] + totals[1]);
      case VectorMetric::manhattan:
        return totals[0] + totals[1];
      default:
        return totals[1] > totals[0] ? totals[1] : totals[0];
    }
  }

  // Asks for every cache line of the rows at once: for rows that lie apart
  // (a leaf grown by single insertions, the pivots of a node), where the
  // hardware prefetcher cannot guess what comes next.
  void prefetch_rows(const std::uint32_t* rows, std::size_t count) const {
#if defined(__GNUC__)
    const std::size_t bytes = dim_ * sizeof(Scalar);
    for (std::size_t i = 0; i < count; ++i) {
      const char* start = reinterpret_cast<const char*>(row(rows[i]));
      for (std::size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(start + offset);
    }
#else
    (void)rows;
    (void)count;
#endif
  }

  std::size_t rows() const {
    if (dim_ == 0) return 0;
    return mapped_ != nullptr ? mapped_rows_ : data_.size() / dim_;
  }

  // Appends `count` rows of `dim` values each (double, or float: rows
  // that arrive as float32 need no double copy), converted to Scalar.
  template <typename Value>
  void append(const Value* values, std::size_t count) {
    static_assert(std::is_floating_point<Value>::value, "rows are appended from float or double values");
    own(count);
    const std::size_t first = this->rows();
    summaries_.make_room(count);
    bytes_.make_room(count);
    data_.insert(data_.end(), values, values + count * dim_);
    // Room made: neither can fail.
    summaries_.append(row(static_cast<std::uint32_t>(first)), count);
    bytes_.append(row(static_cast<std::uint32_t>(first)), count);
  }
  void reserve(std::size_t rows) {
    own(rows > this->rows() ? rows - this->rows() : 0);
    summaries_.reserve(rows);
    bytes_.reserve(rows);
    data_.reserve(rows * dim_);
    // Before the rows arrive: a bulk build jumps between them too.
    advise_huge_pages(data_.data(), data_.capacity() * sizeof(Scalar));
  }

  // Takes, into an empty space, `count` rows of `dim` Scalars kept
  // elsewhere (an array read from a file, or the file mapped read-only),
  // which it reads in place and never writes: they must outlive the
  // space's use of them, or its first change, which copies them into rows
  // of its own (as reordered() does). Without `summarise` the space keeps
  // no row summaries, then or later, and reads none of the rows now: a
  // file mapped read-only opens at once.
  void map(const Scalar* rows, std::size_t count, bool summarise = true) {
    if (this->rows() != 0) throw std::logic_error("only an empty space maps rows");
    if (!summarise) {
      summaries_ = RowSummaries(metric_, 0);
      bytes_ = ByteRows(metric_, 0);
    }
    if (count != 0 && dim_ != 0) {
      summaries_.append(rows, count);
      bytes_.append(rows, count);
      mapped_ = rows;
      mapped_rows_ = count;
    }
  }
  bool mapped() const { return mapped_ != nullptr; }

  VectorSpace reordered(const std::vector<std::uint32_t>& order) const {
    VectorSpace laid_out(metric_, dim_);
    laid_out.kernel_ = kernel_;
    laid_out.summaries_ = summaries_.gathered(order);
    laid_out.bytes_ = bytes_.gathered(order);
    laid_out.data_.reserve(order.size() * dim_);
    advise_huge_pages(laid_out.data_.data(), order.size() * dim_ * sizeof(Scalar));
    for (std::uint32_t r : order) laid_out.data_.insert(laid_out.data_.end(), row(r), row(r) + dim_);
    return laid_out;
  }
  // The rows order[0], order[1], ... in place of the rows 0, 1, ..., where
  // `order` is a permutation of every row: what `reordered` gives, without
  // a second block. `done` is a bit a row of scratch; once the one row set
  // aside is allocated nothing fails.
  void reorder(const std::vector<std::uint32_t>& order, std::vector<bool>& done) {
    own(0);  // rows read in place are never written
    std::vector<Scalar> held(dim_);
    std::vector<std::uint8_t> held_bytes(bytes_.kept() ? dim_ : 0);
    Scalar* data = data_.data();
    const std::size_t dim = dim_;
    gather_in_place(
        order, done, [&](std::size_t i) { std::copy_n(data + i * dim, dim, held.data()); },
        [&](std::size_t to, std::size_t from) { std::copy_n(data + from * dim, dim, data + to * dim); },
        [&](std::size_t to) { std::copy_n(held.data(), dim, data + to * dim); });
    advise_huge_pages(data, data_.size() * sizeof(Scalar));
    summaries_.reorder(order, done);
    bytes_.reorder(order, done, held_bytes.data());
  }
  void truncate(std::size_t rows) {
    if (rows != 0) own(0);
    mapped_ = nullptr;
    mapped_rows_ = 0;
    data_.resize(rows * dim_);
    summaries_.truncate(rows);
    bytes_.truncate(rows);
  }
  void clear() {
    std::vector<Scalar>().swap(data_);
    mapped_ = nullptr;
    mapped_rows_ = 0;
    dim_ = 0;
    summaries_ = RowSummaries(metric_, 0);
    bytes_ = ByteRows(metric_, 0);
  }

 private:
  // box_distance() under Euclidean distance for Dim <= 4 axes, in scalar
  // steps: the gaps of the general path, summed in its order (as the
  // kernels sum short rows), so the same bound to the bit.
  template <std::size_t Dim>
  static double short_box_distance(const double* query, const double* low, const double* high) {
    return std::sqrt(detail::short_sum<Dim>([&](std::size_t j) {
      const double below = low[j] - query[j];
      const double above = query[j] - high[j];
      double gap = below > above ? below : above;
      if (!(gap > 0.0)) gap = 0.0;
      return gap * gap;
    }));
  }

  // Large blocks on huge pages where the system gives them on request: a
  // search jumps from leaf to leaf, and with 4 KiB pages nearly every jump
  // costs a TLB miss.
  static void advise_huge_pages(void* start, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t huge = std::size_t{2} << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(huge - 1);
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
  }

  const Scalar* base() const { return mapped_ != nullptr ? mapped_ : data_.data(); }
  // Copies mapped rows into rows of its own, with room for `more`.
  void own(std::size_t more) {
    if (mapped_ == nullptr) return;
    std::vector<Scalar> copy;
    copy.reserve((mapped_rows_ + more) * dim_);
    copy.assign(mapped_, mapped_ + mapped_rows_ * dim_);
    data_.swap(copy);
    mapped_ = nullptr;
    mapped_rows_ = 0;
  }

  VectorMetric metric_;
  std::size_t dim_;
  VectorKernel<Scalar> kernel_;
  std::vector<Scalar> data_;
  const Scalar* mapped_ = nullptr;  // rows read in place instead of data_
  std::size_t mapped_rows_ = 0;
  RowSummaries summaries_;  // of long rows, in row order
  ByteRows bytes_;          // the rows again as bytes, where they all are
};

}  // namespace vexel
