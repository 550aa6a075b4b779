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
#pragma once

#include <cstddef>
#include <limits>

namespace vexel {

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
