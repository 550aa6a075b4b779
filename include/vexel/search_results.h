// What a best-first search collects: the k nearest, or everything within a
// radius. The tree runs one search for both; a result set tells it
//   bound()      how far a stored element may lie and still matter
//                (infinity while nothing bounds the search)
//   offer(host, stored, d, query, is_pivot)
//                a measured element, which the set keeps or drops
//   descends()   whether any child may still hold something of use
//   spent()      whether the search may stop now, its answer unfinished
//                (a set that only counts what it is offered, once it has
//                counted enough)
//   reach(n)     n elements of a bucket are about to be filtered and
//                measured (a set that weighs the search's work counts them)
// and may tell
//   cut(d, n)    a distance beyond which none of the n distances d[0..n)
//                measured in one bucket can be of use (infinity: any may be)
#pragma once

#include <cstddef>
#include <limits>

namespace vexel {

// A distance that at least k of the n distances d[0..n) do not exceed, where
// more than 2k lie within `bound` (infinity otherwise): a bucket element
// beyond it has k nearer ones in its own bucket, and cannot be among the k
// nearest. In a few dimensions, the first leaf a search measures holds many
// rows within its bound; each admitted one by one costs a pass down the
// heap and a mispredicted branch, more than these few passes over the
// bucket halving [least, bound] until at most 2k lie within.
inline double kth_nearest_cut(const double* d, std::size_t n, std::size_t k, double bound) {
  constexpr double none = std::numeric_limits<double>::infinity();
  if (k == 0 || n <= 2 * k) return none;
  std::size_t within = 0;
  for (std::size_t i = 0; i < n; ++i) within += d[i] <= bound;
  if (within <= 2 * k) return none;
  double low = d[0], high = d[0];
  for (std::size_t i = 1; i < n; ++i) {
    low = d[i] < low ? d[i] : low;
    high = d[i] > high ? d[i] : high;
  }
  if (bound < high) high = bound;
  if (!(low <= high) || !(high < none)) return none;  // a NaN first, or an infinity within the bound
  // At least k lie within `high` (more than 2k within the bound, or all the
  // numbers), fewer than k below `low` unless most tie at the least.
  for (int step = 0; step < 8; ++step) {
    const double middle = low + (high - low) * 0.5;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) count += d[i] <= middle;
    if (count < k) {
      low = middle;
    } else {
      high = middle;
      if (count <= 2 * k) break;
    }
  }
  return high;
}

// The k nearest, admitted by the host's rule (`offer_candidate`), which
// decides among equally distant candidates.
template <typename Neighbors>
class NearestResults {
 public:
  // `neighbors` starts empty, and only this set changes it until the search ends.
  NearestResults(Neighbors& neighbors, std::size_t k) : neighbors_(neighbors), k_(k) {}

  // Kept, not recomputed: the tree asks for it on every element measured.
  double bound() const { return bound_; }
  static constexpr bool descends() { return true; }
  static constexpr bool spent() { return false; }
  static constexpr void reach(std::size_t) {}
  double cut(const double* d, std::size_t n) const { return kth_nearest_cut(d, n, k_, bound_); }

  template <typename Host, typename Stored, typename Query>
  void offer(const Host& host, const Stored& stored, double d, const Query& query, bool is_pivot) {
    if (host.offer_candidate(neighbors_, k_, stored, d, query)) {
      last_admitted_pivot_ = is_pivot;
      if (neighbors_.size() >= k_) bound_ = neighbors_.bound();
    }
  }

  // Whether the entry admitted last was a pivot (the root's counts, even
  // when nothing was admitted).
  bool last_admitted_pivot() const { return last_admitted_pivot_; }
  std::size_t k() const { return k_; }

 private:
  Neighbors& neighbors_;
  std::size_t k_;
  double bound_ = std::numeric_limits<double>::infinity();
  bool last_admitted_pivot_ = true;
};

// The k nearest, when k elements are known to lie within `cap` (measured
// as the search measures them): nothing farther can be among them, so the
// search is bounded by `cap` from its start instead of closing in on it.
// The answer is NearestResults' to the bit: every element within the final
// bound is still measured and offered.
template <typename Neighbors>
class CappedNearestResults {
 public:
  CappedNearestResults(Neighbors& neighbors, std::size_t k, double cap) : nearest_(neighbors, k), cap_(cap) {}

  double bound() const {
    const double bound = nearest_.bound();
    return bound < cap_ ? bound : cap_;
  }
  static constexpr bool descends() { return true; }
  static constexpr bool spent() { return false; }
  static constexpr void reach(std::size_t) {}
  double cut(const double* d, std::size_t n) const { return kth_nearest_cut(d, n, nearest_.k(), bound()); }

  // Most candidates lie beyond the bound: dropped here, before the call.
  template <typename Host, typename Stored, typename Query>
  void offer(const Host& host, const Stored& stored, double d, const Query& query, bool is_pivot) {
    if (d <= bound()) nearest_.offer(host, stored, d, query, is_pivot);
  }

 private:
  NearestResults<Neighbors> nearest_;
  double cap_;
};

// Everything within `radius` (inclusive). A NaN radius holds nothing.
template <typename Neighbors>
class WithinResults {
 public:
  WithinResults(Neighbors& neighbors, double radius) : neighbors_(neighbors), radius_(radius) {}

  double bound() const { return radius_; }
  bool descends() const { return radius_ == radius_; }
  static constexpr bool spent() { return false; }
  static constexpr void reach(std::size_t) {}

  template <typename Host, typename Stored, typename Query>
  void offer(const Host& host, const Stored& stored, double d, const Query&, bool) {
    if (d <= radius_) neighbors_.push(d, host.key_of(stored));
  }

 private:
  Neighbors& neighbors_;
  double radius_;
};

}  // namespace vexel
