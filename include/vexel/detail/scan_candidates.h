// The pairs of one query that the scan's tile (vector_scan.h) could not
// drop, and the choice of those it measures first.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vexel::detail::scan {

// A pair the tile may not drop: its key, the value the tile compared,
// negated under angular so that nearer pairs have smaller keys either way,
// and the row's position in the scan's rows.
struct Candidate {
  float key;
  std::uint32_t position;
};

// The order in which candidates are measured first: by key, NaN keys (none
// arise from coordinates the product serves) last.
inline bool nearer(const Candidate& a, const Candidate& b) {
  return a.key < b.key || (a.key == a.key && b.key != b.key);
}

// Moves to the front of candidates[0, size) every candidate whose key is at
// most a cut that at least `ahead` keys meet, and returns how many there
// are: they hold the `ahead` first by `nearer`, so that only they need
// sorting. The cut: the ahead-th smallest of the minima of 4 * ahead groups
// of consecutive candidates, each minimum a key of its own group. Where
// there are too few candidates for groups of two, or `minima` cannot hold
// the groups, or fewer than `ahead` groups hold a number: all of them
// (size).
inline std::size_t front_runners(Candidate* candidates, std::size_t size, std::size_t ahead,
                                 std::vector<float>& minima) {
  const std::size_t groups = 4 * ahead;
  if (ahead == 0 || size / groups < 2 || minima.size() < groups) return size;
  const std::size_t width = size / groups;
  constexpr float infinity = std::numeric_limits<float>::infinity();
  for (std::size_t g = 0; g < groups; ++g) {
    float least = infinity;  // a NaN never replaces it
    for (std::size_t c = g * width; c < (g + 1) * width; ++c) {
      least = candidates[c].key < least ? candidates[c].key : least;
    }
    minima[g] = least;
  }
  std::nth_element(minima.begin(), minima.begin() + static_cast<std::ptrdiff_t>(ahead - 1),
                   minima.begin() + static_cast<std::ptrdiff_t>(groups));
  const float cut = minima[ahead - 1];
  if (!(cut < infinity)) return size;
  return static_cast<std::size_t>(
      std::partition(candidates, candidates + size, [cut](const Candidate& c) { return c.key <= cut; }) -
      candidates);
}

}  // namespace vexel::detail::scan
