// A streaming scan of every row, for batches where the tree would measure
// most rows anyway (distances that concentrate: uniform data in 32
// dimensions, say): k nearest and within a radius, under Euclidean and
// angular distance, with the very answers of `RowIndex`.
//
// How it stays exact. Blocks of queries meet blocks of rows in a matrix
// product in single precision (q . x for every pair, 8 lanes a register, no
// BLAS). Each pair gets a cheap value that is provably on the safe side of
// the distance the kernel would compute: a lower bound. A row is dropped
// only when that lower bound lies beyond the query's current bound (the
// k-th nearest distance found so far, or the radius); every other row is
// measured with the space's own kernel (`VectorSpace::distance`, in double),
// and only those measured distances enter the answer, ordered as `RowIndex`
// orders them (distance, NaN last, then id). A row the bound cannot drop is
// only a wasted measurement, never a wrong answer.
//
// The bounds (u = 2^-24, the unit roundoff of a float; n the dimension;
// S = qq + xx, the squared norms of query and row). Every coordinate the
// product sees is 0 or of a magnitude in [2^-50, 2^50] (others are held
// back, below), so rounding it to a float is off by at most u of it, and
// every product of two is 0 or a normal float: no underflow, no overflow.
// A dot product of n terms, summed in any order with or without fused
// multiply-adds, is then off by at most (gamma_n + 2u + u^2) sum |q_i x_i|
// with gamma_n = n u / (1 - n u) (Higham, Accuracy and Stability, 3.1, plus
// the rounding of both factors), at most (n + 3.1) u S / 2, as
// sum |q_i x_i| <= S / 2. Norms are summed in double: their error is
// negligible beside that.
//  - Euclidean. The real squared distance is s = qq + xx - 2 q.x. The scan
//    computes t = (fl(qq m) + fl(xx m)) - q.x~ in floats, with m = (1 - c) / 2
//    and c = (n + 8) 2^-22: the dot product's error and the four float
//    roundings of the test (each at most u S / 2) stay below c S / 2, so
//    t <= s / 2 up to the rounding of t itself. The kernel sums n squared
//    differences in double, each off by at most 3 roundings, so its distance
//    is at least sqrt(s) (1 - delta) with delta = (n + 8) 2^-52, well above
//    (n + 4) 2^-53. A kernel distance of at most T thus needs
//    s <= T^2 / (1 - delta)^2 < T^2 (1 + 3 delta), and a row with
//    t > T^2 (1 + 3 delta + 2^-21) / 2, rounded up to a float, is beyond T.
//    A floor of 2^-100 keeps that threshold a normal float.
//  - Angular (the angle in turns, as the kernel gives it). The scan computes
//    the cosine cos~ = (q.x~ / |x|~) / |q|~ from reciprocal norms rounded to
//    floats, within e = (n + 8) 2^-22 of the real cosine (the dot product's
//    error, relative to |q| |x|, plus four float roundings). The kernel's
//    angle, from unit vectors and 2 atan2(|u - v|, |u + v|) in double, is
//    within (1.3 n + 50) 2^-53 turns of the real one (the snapping of angles
//    below 16 epsilon to 0 included): take alpha = (n + 40) 2^-50. A kernel
//    angle of at most T needs a real angle of at most T + alpha, so a row
//    whose cosine cos~ lies below cos(pi (T + alpha)) - e, lowered by its own
//    rounding and rounded down to a float, is beyond T.
// Rows are held back from the product, and measured for every query, where
// these bounds could fail: a coordinate that is neither 0 nor of a
// magnitude in [2^-50, 2^50] (infinities and NaN included), and under
// angular the zero vector (whose angles are fixed by rule). A query held
// back is measured against every row.
//
// Tree or scan: `prefers_scan` below, from the tree's own count of its work
// over a batch's first queries.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "vexel/detail/scan_candidates.h"
#include "vexel/detail/scan_terms.h"
#include "vexel/detail/vector_scan_tiles.h"
#include "vexel/parallel.h"
#include "vexel/reused_floats.h"
#include "vexel/row_index.h"
#include "vexel/search_queues.h"
#include "vexel/search_results.h"
#include "vexel/simd.h"
#include "vexel/vector_space.h"

namespace vexel {

// What a scan did, for tests and benchmarks: pairs the bounds settled, and
// pairs measured with the kernel.
struct ScanCounts {
  std::uint64_t pairs = 0;
  std::uint64_t measured = 0;
};

// The scan of a fixed set of rows: made once for a batch (it computes a
// norm per row), then asked from any number of threads at once, each with
// its own block of queries (its members are const and keep no state).
template <typename Scalar>
class VectorScan {
 public:
  using Neighbors = NeighborQueue<std::int64_t>;
  using Neighbor = Neighbors::Entry;  // {distance, id}

  // The scan packs its rows for the product once, for every call, up to
  // this many bytes of panels (a float a coordinate); a scan of more rows,
  // or one that finds no memory for them, packs each block as it meets it,
  // so that a batch over a large index never copies it whole.
  static constexpr std::size_t default_packed_bytes = std::size_t{1} << 29;

  // The scan of the rows `live` (each listed once) of `space`, whose row r
  // has the id `(*ids)[r]`, prepared on up to `workers` threads. Keeps
  // pointers to `space` and `ids`: both must outlive the scan, unchanged.
  // Under metrics other than Euclidean and angular it throws
  // std::invalid_argument.
  VectorScan(const VectorSpace<Scalar>& space, const RowIds* ids, const std::vector<std::uint32_t>& live,
             std::size_t workers = 1, std::size_t max_packed_bytes = default_packed_bytes)
      : space_(space), ids_(ids), dim_(space.dim()) {
    if (space.metric() != VectorMetric::euclidean && space.metric() != VectorMetric::angular) {
      throw std::invalid_argument("a scan measures Euclidean or angular distances only");
    }
    angular_ = space.metric() == VectorMetric::angular;
    const double n = static_cast<double>(dim_);
    half_margin_ = (1.0 - (n + 8.0) * 0x1p-22) / 2.0;
    delta_ = (n + 8.0) * 0x1p-52;
    cosine_error_ = (n + 8.0) * 0x1p-22;
    angle_error_ = (n + 40.0) * 0x1p-50;
    // Each row is read once: its term, then its place in a panel, while it
    // is in the cache. Rows the product cannot serve are rare: they are
    // held back afterwards, and the others packed again.
    rows_ = live;
    std::vector<std::uint8_t> served(rows_.size());
    const bool packs = padded(rows_.size()) * dim_ * sizeof(float) <= max_packed_bytes;
    // Chunks of at least 2^18 coordinates: a thread started for fewer
    // costs more than it saves.
    const std::size_t chunk =
        std::max<std::size_t>(64, (std::size_t{1} << 18) / (panel * std::max<std::size_t>(dim_, 1)));
    const auto prepare_panels = [&](bool with_terms) {
      row_terms_.resize(padded(rows_.size()), 0.0f);  // missing rows of the last panel: zeros, never offered
      packed_.release();
      if (packs) packed_.allocate(padded(rows_.size()) * dim_);  // pack writes every float
      in_parallel(padded(rows_.size()) / panel, chunk, workers, [&](std::size_t p) {
        const std::size_t end = std::min(rows_.size(), (p + 1) * panel);
        for (std::size_t i = p * panel; with_terms && i < end; ++i) {
          served[i] = prepare(space.row(rows_[i]), row_terms_[i]);
        }
        if (packed_) pack(p * panel, end, packed_.data() + p * panel * dim_);
      });
    };
    prepare_panels(true);
    if (std::find(served.begin(), served.end(), 0) != served.end()) {
      std::size_t kept = 0;
      for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (served[i]) {
          rows_[kept] = rows_[i];
          row_terms_[kept++] = row_terms_[i];
        } else {
          always_measured_.push_back(rows_[i]);
        }
      }
      rows_.resize(kept);
      row_terms_.resize(kept);
      prepare_panels(false);
    }
  }

  // The live rows of `index`.
  static VectorScan of(const RowIndex<VectorSpace<Scalar>>& index, std::size_t workers = 1,
                       std::size_t max_packed_bytes = default_packed_bytes) {
    std::vector<std::uint32_t> live;
    live.reserve(index.size());
    for (std::size_t r = 0; r < index.row_ids.size(); ++r) {
      if (!index.is_removed(static_cast<std::uint32_t>(r))) live.push_back(static_cast<std::uint32_t>(r));
    }
    return VectorScan(index.space, &index.row_ids, live, workers, max_packed_bytes);
  }

  std::size_t size() const { return rows_.size() + always_measured_.size(); }
  // Whether the rows are packed once for every call, or block by block in
  // each call.
  bool packed() const { return static_cast<bool>(packed_); }

  // The k nearest rows of each of the `count` queries (rows of dim()
  // doubles, one after the other) into found[i]: what RowIndex::nearest
  // answers, to the last bit.
  void nearest(const double* queries, std::size_t count, std::size_t k, std::vector<std::vector<Neighbor>>& found,
               ScanCounts* counts = nullptr) const {
    found.assign(count, {});
    if (k == 0 || size() == 0) return;
    std::vector<Neighbors> heaps(count);
    const auto offer = [&](std::size_t j, std::uint32_t row, double d) {
      Neighbors& heap = heaps[j];
      if (heap.size() < k) {
        heap.push(d, (*ids_)[row]);
      } else {
        const Neighbor& top = heap.top();
        if (distance_less(top.distance, d)) return;
        const std::int64_t id = (*ids_)[row];
        if (distance_less(d, top.distance) || id < top.stored) heap.replace_top(d, id);
      }
    };
    const auto bound = [&](std::size_t j) {
      const Neighbors& heap = heaps[j];
      const double top = heap.size() < k ? std::numeric_limits<double>::infinity() : heap.top().distance;
      return top == top ? top : std::numeric_limits<double>::infinity();
    };
    run(queries, count, offer, bound, k, counts);
    for (std::size_t j = 0; j < count; ++j) heaps[j].drain(found[j], [](const Neighbor& entry) { return entry; });
  }

  // Every row within `radius` (inclusive) of each query into found[i]: what
  // RowIndex::within answers, to the last bit.
  void within(const double* queries, std::size_t count, double radius, std::vector<std::vector<Neighbor>>& found,
              ScanCounts* counts = nullptr) const {
    found.assign(count, {});
    // Distances are never negative, and a NaN radius holds nothing.
    if (size() == 0 || !(radius >= 0.0)) return;
    const auto offer = [&](std::size_t j, std::uint32_t row, double d) {
      if (d <= radius) found[j].push_back(Neighbor{d, (*ids_)[row]});
    };
    const auto fixed = [&](std::size_t) { return radius; };
    run(queries, count, offer, fixed, std::numeric_limits<std::size_t>::max(), counts);
    for (auto& answer : found) std::sort(answer.begin(), answer.end(), Neighbors::ranks_below);
  }

 private:
  static constexpr std::size_t group = detail::scan::queries_per_tile;
  static constexpr std::size_t panel = detail::scan::rows_per_panel;
  static constexpr std::size_t panels_per_call = 8;

  // The term a row or query brings to the test (the scaled squared norm,
  // or the reciprocal norm under angular); false when it must be measured:
  // a coordinate that is neither 0 nor of a magnitude in [2^-50, 2^50]
  // (infinities and NaN included), or the zero vector under angular.
  template <typename Element>
  bool prepare(const Element* x, double& term) const {
    double squares;
    if (!detail::scan::served_squares(x, dim_, squares)) return false;
    if (angular_) {
      if (squares == 0.0) return false;
      term = 1.0 / std::sqrt(squares);
    } else {
      term = squares * half_margin_;
    }
    return true;
  }
  template <typename Element>
  bool prepare(const Element* x, float& term) const {
    double wide;
    if (!prepare(x, wide)) return false;
    term = static_cast<float>(wide);
    return true;
  }

  // x in single precision, rounded up or down.
  static float rounded_up(double x) {
    const auto f = static_cast<float>(x);
    return static_cast<double>(f) < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
  }
  static float rounded_down(double x) {
    const auto f = static_cast<float>(x);
    return static_cast<double>(f) > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
  }

  // The value the test compares with, for a bound T on the kernel's
  // distance: the Euclidean t beyond which a row lies farther than T, or
  // the angular cosine below which it does.
  float threshold(double bound) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (angular_) {
      const double turns = bound + angle_error_;
      if (!(turns < 1.0)) return -std::numeric_limits<float>::infinity();
      constexpr double pi = 3.14159265358979323846;
      const double angle = std::min(turns * pi * (1.0 + 0x1p-50), pi);
      return rounded_down(std::cos(angle) - 0x1p-50 - cosine_error_);
    }
    if (bound == inf) return std::numeric_limits<float>::infinity();
    return rounded_up(std::max(bound * bound * (1.0 + 3.0 * delta_ + 0x1p-21) * 0.5, 0x1p-100));
  }

  using Candidate = detail::scan::Candidate;
  float key_of(float value) const { return angular_ ? -value : value; }

  // Measures the pairs of query j with the first `panels` panels of a
  // block (from position `begin` of the rows) that its bound does not drop,
  // and returns its threshold afterwards: its keys with panel p lie at
  // keys + p * values_per_panel, and lanes[p] holds the pairs the tile kept
  // (cleared as they are measured). The `nearest_first` of smallest key go
  // first: their rows are likely among the nearest, so the bound tightens
  // before the others are tested again. Which rows are measured changes
  // only the work: a row is dropped only beyond the bound of rows already
  // measured. `least` is scratch for 2 * panels floats.
  template <typename Measure, typename Bound>
  float measure_opening(std::size_t j, const float* keys, std::size_t panels, std::size_t begin,
                        std::uint16_t* lanes, Measure& measure, Bound& bound, std::size_t nearest_first,
                        const detail::scan::PanelKeys& tests, Candidate* candidates, float* least) const {
    constexpr std::size_t stride = detail::scan::values_per_panel;
    const auto at = [&](std::size_t p, std::size_t i) { return rows_[begin + p * panel + i]; };
    const float cut = detail::scan::front_cut(tests, keys, stride, lanes, panels, nearest_first, least);
    std::size_t size = 0;
    for (std::size_t p = 0; p < panels; ++p) {
      for (std::uint32_t bits = tests.not_above(keys + p * stride, cut) & lanes[p]; bits != 0; bits &= bits - 1) {
        const auto i = static_cast<std::uint32_t>(__builtin_ctz(bits));
        candidates[size++] = Candidate{keys[p * stride + i], static_cast<std::uint32_t>(p * panel + i)};
      }
    }
    const std::size_t ahead = std::min(size, nearest_first);
    if (ahead < size) std::partial_sort(candidates, candidates + ahead, candidates + size, detail::scan::nearer);
    for (std::size_t c = 0; c < ahead; ++c) {
      const std::size_t p = candidates[c].position / panel, i = candidates[c].position % panel;
      measure(j, at(p, i));
      lanes[p] = static_cast<std::uint16_t>(lanes[p] & ~(1u << i));
    }
    float limit = threshold(bound(j));
    for (std::size_t p = 0; p < panels; ++p) {
      const float* key = keys + p * stride;
      for (std::uint32_t bits = tests.not_above(key, key_of(limit)) & lanes[p]; bits != 0; bits &= bits - 1) {
        const auto i = static_cast<std::size_t>(__builtin_ctz(bits));
        if (key[i] > key_of(limit)) continue;  // the tile's test, under the bound as it tightens
        measure(j, at(p, i));
        limit = threshold(bound(j));
      }
    }
    return limit;
  }

  // Whether a threshold drops nothing: a query with no bound yet.
  bool unbounded(float limit) const {
    return angular_ ? limit == -std::numeric_limits<float>::infinity()
                    : limit == std::numeric_limits<float>::infinity();
  }

  // The scan itself, shared by nearest and within: offer(j, row, d) takes
  // each measured distance of query j; bound(j) is its current bound.
  template <typename Offer, typename Bound>
  void run(const double* queries, std::size_t count, Offer& offer, Bound bound, std::size_t nearest_first,
           ScanCounts* counts) const {
    std::uint64_t measured = 0, pairs = 0;
    const auto measure = [&](std::size_t j, std::uint32_t row) {
      offer(j, row, space_.distance(queries + j * dim_, row));
      ++measured;
    };
    // Queries the bounds cannot serve are measured against every row.
    std::vector<std::size_t> served;
    std::vector<float> query_terms, narrow_queries;
    served.reserve(count);
    query_terms.reserve(count);
    narrow_queries.reserve(count * dim_);
    for (std::size_t j = 0; j < count; ++j) {
      float term;
      if (prepare(queries + j * dim_, term)) {
        served.push_back(j);
        query_terms.push_back(term);
        narrow_queries.insert(narrow_queries.end(), queries + j * dim_, queries + (j + 1) * dim_);
      } else {
        for (std::uint32_t r : rows_) measure(j, r);
        for (std::uint32_t r : always_measured_) measure(j, r);
      }
    }
    for (std::size_t j : served) {
      for (std::uint32_t r : always_measured_) measure(j, r);
    }
    std::vector<float> thresholds(served.size());
    for (std::size_t s = 0; s < served.size(); ++s) thresholds[s] = threshold(bound(served[s]));

    // Row blocks that stay in the second-level cache, packed into panels,
    // each met by every query before the next block.
    const std::size_t block_rows =
        std::max<std::size_t>(panel, (std::size_t{32768} / std::max<std::size_t>(dim_, 1)) / panel * panel);
    const std::size_t block_panels = block_rows / panel;
    std::vector<float> packed(packed_ ? 0 : block_rows * dim_);
    std::vector<float> spread(dim_ * detail::scan::wide_step);
    std::vector<std::uint64_t> kept(block_panels);
    std::vector<float> values(block_panels * detail::scan::values_per_panel);
    std::vector<Candidate> candidates(block_rows);
    std::vector<float> least(2 * block_panels);
    std::vector<std::uint16_t> opening_lanes(block_panels);
    const detail::scan::Tiles tiles = detail::scan::tiles_for(simd::active());
    const detail::scan::PanelKeys key_tests = detail::scan::panel_keys_for(simd::active());
    const std::size_t groups = (served.size() + group - 1) / group;
    for (std::size_t begin = 0; begin < rows_.size(); begin += block_rows) {
      const std::size_t end = std::min(rows_.size(), begin + block_rows);
      const std::size_t panels = (end - begin + panel - 1) / panel;
      const float* block = packed_ ? packed_.data() + begin * dim_ : packed.data();
      if (!packed_) pack(begin, end, packed.data());
      for (std::size_t g = 0; g < groups; ++g) {
        const float* tile_queries[group];
        float terms[group], limits[group];
        const std::size_t first = g * group;
        const std::size_t members = std::min(group, served.size() - first);
        for (std::size_t m = 0; m < group; ++m) {
          const std::size_t s = first + std::min(m, members - 1);  // repeats the last to fill the tile
          tile_queries[m] = narrow_queries.data() + s * dim_;
          terms[m] = query_terms[s];
          limits[m] = thresholds[s];
        }
        detail::scan::spread_queries(tile_queries, dim_, spread.data());
        pairs += members * (end - begin);
        const auto tile = [&](std::size_t p0, std::size_t panel_count, float* out) {
          (angular_ ? tiles.angular : tiles.euclidean)(spread.data(), block + p0 * panel * dim_, panel_count, dim_,
                                                       terms, row_terms_.data() + begin + p0 * panel, limits,
                                                       kept.data() + p0, out);
        };
        // Bit m * panel + i of a panel's mask: query m of the tile, row i of
        // the panel (none beyond the block's end: their rows are zeros).
        const auto lanes_of = [&](std::size_t p, std::size_t m) {
          const std::size_t width = std::min(panel, end - begin - p * panel);
          return (kept[p] >> (m * panel)) & ((std::uint64_t{1} << width) - 1);
        };
        std::size_t opening = 0;
        if (std::any_of(limits, limits + members, [this](float limit) { return unbounded(limit); })) {
          // A query that holds no bound yet: panels at once, their values
          // kept, so that its nearest rows are measured first; the rest of
          // the block then goes as for bounded queries. Rows of fewer than
          // 32 coordinates make blocks of over 1,024 rows, whose values take
          // longer to pick from than their products: those open with 256
          // rows (or four times nearest_first). Longer rows open with the
          // whole block, for a tighter first bound, which saves more
          // measurements than picking costs.
          const std::size_t wanted =
              block_rows <= 1024 || nearest_first >= block_rows
                  ? panels
                  : std::max<std::size_t>(16, (4 * nearest_first + panel - 1) / panel);
          opening = std::min(panels, wanted);
          tile(0, opening, values.data());
          if (angular_) {  // values become keys
            for (std::size_t v = 0; v < opening * detail::scan::values_per_panel; ++v) values[v] = -values[v];
          }
          for (std::size_t m = 0; m < members; ++m) {
            for (std::size_t p = 0; p < opening; ++p) opening_lanes[p] = static_cast<std::uint16_t>(lanes_of(p, m));
            const std::size_t s = first + m;
            thresholds[s] = measure_opening(served[s], values.data() + m * panel, opening, begin, opening_lanes.data(),
                                            measure, bound, nearest_first, key_tests, candidates.data(),
                                            least.data());
            limits[m] = thresholds[s];
          }
          std::fill(limits + members, limits + group, limits[members - 1]);  // the repeated last member
        }
        // Bounded queries: a few panels a call, their bounds tightening
        // between calls.
        for (std::size_t p0 = opening; p0 < panels; p0 += panels_per_call) {
          const std::size_t chunk = std::min(panels_per_call, panels - p0);
          tile(p0, chunk, nullptr);
          for (std::size_t p = p0; p < p0 + chunk; ++p) {
            if (kept[p] == 0) continue;
            for (std::size_t m = 0; m < members; ++m) {
              std::uint64_t lanes = lanes_of(p, m);
              if (lanes == 0) continue;
              const std::size_t s = first + m;
              for (; lanes != 0; lanes &= lanes - 1) {
                measure(served[s], rows_[begin + p * panel + static_cast<std::size_t>(__builtin_ctzll(lanes))]);
              }
              thresholds[s] = threshold(bound(served[s]));
              limits[m] = thresholds[s];
            }
          }
        }
      }
    }
    if (counts != nullptr) {
      counts->pairs += pairs;
      counts->measured += measured;
    }
  }

  // Rows [begin, end) of rows_ as panels: coordinate i of the panel's rows
  // side by side; missing rows of the last panel are zeros (never offered).
  void pack(std::size_t begin, std::size_t end, float* out) const {
    for (std::size_t p = begin; p < end; p += panel) {
      float* block = out + (p - begin) * dim_;
      for (std::size_t lane = 0; lane < panel; ++lane) {
        const bool present = p + lane < end;
        const Scalar* x = present ? space_.row(rows_[p + lane]) : nullptr;
        for (std::size_t i = 0; i < dim_; ++i) block[i * panel + lane] = present ? static_cast<float>(x[i]) : 0.0f;
      }
    }
  }

  // Rows in whole panels.
  static std::size_t padded(std::size_t rows) { return (rows + panel - 1) / panel * panel; }

  // work(i) for every i < count, in chunks of `chunk` on up to `workers`
  // threads.
  template <typename Work>
  static void in_parallel(std::size_t count, std::size_t chunk, std::size_t workers, Work work) {
    run_parallel(
        count, workers, chunk,
        [&](std::size_t begin, std::size_t end, std::size_t) {
          for (std::size_t i = begin; i < end; ++i) work(i);
        },
        [] {});
  }

  const VectorSpace<Scalar>& space_;
  const RowIds* ids_;
  std::size_t dim_;
  bool angular_ = false;
  double half_margin_ = 0.5, delta_ = 0.0, cosine_error_ = 0.0, angle_error_ = 0.0;
  std::vector<std::uint32_t> rows_;            // rows the bounds serve, in the order given
  std::vector<float> row_terms_;               // their terms (see prepare), zeros to whole panels
  ReusedFloats packed_;                        // every panel of rows_, or none: packed by block
  std::vector<std::uint32_t> always_measured_;  // rows measured for every query
};

// --- tree or scan ---------------------------------------------------------

// The rule a batch follows: its first queries (scan_probe_queries of them,
// or all if fewer) go through the tree, counted by nearest_counted or
// within_counted; the rest go to the scan when the work of those searches
// (rows measured, and an eighth of each row of the leaves reached) came, on
// average, to at least scan_share(dim) of the live rows, or when one of
// them alone comes to half of them (probe_budget): that search stops there,
// unfinished, and the scan answers its query too. A row the tree
// measures costs a kernel call plus the bookkeeping of a best-first search,
// a fixed part that weighs most in few dimensions, while the scan spends on
// a row a few operations per coordinate: the share at which both cost the
// same grows with the dimension, then levels off once both costs follow the
// coordinates, near an eighth: a row the tree measures in 64-d image patches
// costs about ten times a row of the scan (bench_scan measures the two
// sides of it). The rule reads only the tree's own counts, integers that
// the same data and queries reproduce on every machine (the tree is
// seeded, the kernels are bit-identical at every level), so the choice is
// the same everywhere; the answers are the same either way. Counts only add
// up, so the probe may stop once they reach the share (scan_decided), which
// the whole probe would reach too, even in the midst of its searches
// (TrialWork), and its queries may go on several threads at once: whichever
// finish first, the choice is the same. Where the tree measures nearly every
// row, the first query settles the choice halfway through its search;
// where its filters rule out most rows but test them all (uniform rows of
// 32 coordinates), within the first few.
constexpr std::size_t scan_probe_queries = 16;

// The work one probe may do: past half the live rows a search costs more
// than the scan of every row would (at least 1).
inline std::uint64_t probe_budget(std::size_t live_rows) {
  return std::max<std::uint64_t>(1, (static_cast<std::uint64_t>(live_rows) + 1) / 2);
}

inline double scan_share(std::size_t dim) {
  return std::min(0.12, static_cast<double>(dim + 4) / 200.0);
}

inline bool prefers_scan(std::uint64_t work, std::size_t probes, std::size_t live_rows, std::size_t dim) {
  if (probes == 0 || live_rows == 0) return false;
  return static_cast<double>(work) >=
         scan_share(dim) * static_cast<double>(probes) * static_cast<double>(live_rows);
}

// Whether the work of the first probes of a batch that has all
// scan_probe_queries of them already decides for the scan, whatever the
// others do.
inline bool scan_decided(std::uint64_t work, std::size_t live_rows, std::size_t dim) {
  return prefers_scan(work, scan_probe_queries, live_rows, dim);
}

// The work of a batch's trial, summed over its searches as they go, on any
// threads: once the sum settles the choice for the scan (scan_decided), it
// is settled, and every search that adds to it stops, its answer unfinished
// (the whole searches would have settled it too: work only adds up).
class TrialWork {
 public:
  TrialWork(std::size_t live_rows, std::size_t dim) : live_rows_(live_rows), dim_(dim) {}

  void add(std::uint64_t work) {
    const std::uint64_t sum = sum_.fetch_add(work, std::memory_order_relaxed) + work;
    if (scan_decided(sum, live_rows_, dim_)) settle();
  }
  // Settles the choice for the scan whatever the sum (a search past its
  // budget).
  void settle() { settled_.store(true, std::memory_order_relaxed); }
  bool settled() const { return settled_.load(std::memory_order_relaxed); }
  std::uint64_t sum() const { return sum_.load(std::memory_order_relaxed); }

 private:
  std::size_t live_rows_, dim_;
  std::atomic<std::uint64_t> sum_{0};
  std::atomic<bool> settled_{false};
};

// A result set that weighs the tree's work, in rows measured: every live
// row the search measured, and an eighth of every row of the leaves it
// reached, which its filters test first (a leaf's filters cost a fraction
// of a measurement a row, and where they rule out most rows, they are most
// of the work). Rows measured as bytes (byte_rows.h) weigh a quarter each,
// about what they cost beside rows of floats. Once that reaches `budget`
// it is spent: the search stops, its answer unfinished; so it does once
// the trial it adds its work to (where given) is settled.
template <typename Results>
class CountingResults {
 public:
  static constexpr std::uint64_t reached_per_measured = 8;
  static constexpr std::uint64_t bytes_per_measured = 4;

  CountingResults(Results& results, std::uint64_t budget, TrialWork* trial = nullptr, bool as_bytes = false)
      : results_(results), budget_(budget), trial_(trial), offers_per_measured_(as_bytes ? bytes_per_measured : 1) {}

  double bound() const { return results_.bound(); }
  bool descends() const { return results_.descends(); }
  bool spent() {
    const std::uint64_t done = work();
    if (done >= budget_) return true;
    if (trial_ == nullptr) return false;
    if (done - added_ >= trial_step) add_to_trial();
    return trial_->settled();
  }
  void reach(std::size_t count) { reached_ += count; }
  template <typename Host, typename Stored, typename Query>
  void offer(const Host& host, const Stored& stored, double d, const Query& query, bool is_pivot) {
    ++offered_;
    results_.offer(host, stored, d, query, is_pivot);
  }
  std::uint64_t work() const { return offered_ / offers_per_measured_ + reached_ / reached_per_measured; }
  // Adds to the trial the work not yet added.
  void add_to_trial() {
    if (trial_ == nullptr) return;
    const std::uint64_t done = work();
    trial_->add(done - added_);
    added_ = done;
  }

 private:
  // Work a search adds to its trial at once: the threads share the sum.
  static constexpr std::uint64_t trial_step = 64;

  Results& results_;
  std::uint64_t budget_;
  TrialWork* trial_;
  std::uint64_t offers_per_measured_;
  std::uint64_t offered_ = 0, reached_ = 0, added_ = 0;
};

// No budget: the search runs to its end.
constexpr std::uint64_t unlimited_budget = std::numeric_limits<std::uint64_t>::max();

// Runs `results` (which collect into `neighbors`) through the index's
// search unless `nothing_to_find`, drains `neighbors` into `found` and
// returns the search's work (CountingResults), all of it added to `trial`
// (where given). The search stops once its work reaches `budget`: a count
// of `budget` or more means that `found` may be unfinished; so may it be
// once `trial` is settled.
template <typename Index, typename Results>
std::uint64_t counted_search(const Index& index, const double* query, Results results, bool nothing_to_find,
                             std::vector<typename Index::Neighbor>& found, typename Index::Neighbors& neighbors,
                             typename Index::SearchScratch& scratch, std::uint64_t budget, TrialWork* trial) {
  found.clear();
  neighbors.clear();
  if (nothing_to_find || index.size() == 0) return 0;
  std::uint64_t offset = 0;
  CountingResults<Results> counting(results, budget, trial, index.space.measures_as_bytes(query));
  index.search(query, counting, scratch, offset);
  counting.add_to_trial();
  neighbors.drain(found, [](const auto& entry) { return entry; });
  return counting.work();
}

// RowIndex::nearest and RowIndex::within, the same searches step for step,
// that also return their work (and stop at `budget` or once `trial` is
// settled, as counted_search).
template <typename Scalar>
std::uint64_t nearest_counted(const RowIndex<VectorSpace<Scalar>>& index, const double* query, std::size_t k,
                              std::vector<typename RowIndex<VectorSpace<Scalar>>::Neighbor>& found,
                              typename RowIndex<VectorSpace<Scalar>>::Neighbors& neighbors,
                              typename RowIndex<VectorSpace<Scalar>>::SearchScratch& scratch,
                              std::uint64_t budget = unlimited_budget, TrialWork* trial = nullptr) {
  using Neighbors = typename RowIndex<VectorSpace<Scalar>>::Neighbors;
  return counted_search(index, query, NearestResults<Neighbors>(neighbors, k), k == 0, found, neighbors, scratch,
                        budget, trial);
}

template <typename Scalar>
std::uint64_t within_counted(const RowIndex<VectorSpace<Scalar>>& index, const double* query, double radius,
                             std::vector<typename RowIndex<VectorSpace<Scalar>>::Neighbor>& found,
                             typename RowIndex<VectorSpace<Scalar>>::Neighbors& neighbors,
                             typename RowIndex<VectorSpace<Scalar>>::SearchScratch& scratch,
                             std::uint64_t budget = unlimited_budget, TrialWork* trial = nullptr) {
  using Neighbors = typename RowIndex<VectorSpace<Scalar>>::Neighbors;
  return counted_search(index, query, WithinResults<Neighbors>(neighbors, radius), radius != radius, found, neighbors,
                        scratch, budget, trial);
}

}  // namespace vexel
