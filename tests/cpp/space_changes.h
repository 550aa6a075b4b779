// One set of rows through every change a vector space makes to its rows,
// beside spaces given the resulting rows directly: what a space keeps
// beside its rows (summaries, bytes) must follow them through each change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "vexel/vector_space.h"

namespace vexel_test {

template <typename Scalar>
struct SpaceChanges {
  using Space = vexel::VectorSpace<Scalar>;

  // `values`: n rows of `dim`, appended `piece` rows at a time.
  SpaceChanges(const std::vector<double>& values, std::size_t n, std::size_t dim, std::size_t piece) {
    std::vector<std::uint32_t> order(n);
    for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(9));
    for (std::uint32_t r : order) shuffled.insert(shuffled.end(), values.begin() + r * dim, values.begin() + (r + 1) * dim);
    const auto fresh = [&](const std::vector<double>& rows, std::size_t count) {
      Space space(vexel::VectorMetric::euclidean, dim);
      for (std::size_t r = 0; r < count; r += piece) space.append(rows.data() + r * dim, std::min(piece, count - r));
      return space;
    };
    direct = fresh(shuffled, n);
    first_half = fresh(shuffled, n / 2);
    copied = fresh(values, n).reordered(order);
    in_place = fresh(values, n);
    std::vector<bool> done(n);
    in_place.reorder(order, done);
    truncated = fresh(shuffled, n);
    truncated.truncate(n / 2);
    refilled = fresh(values, n);
    refilled.clear();
    refilled.set_dim(dim);
    refilled.append(shuffled.data(), n);
    stored.assign(shuffled.begin(), shuffled.end());
    mapped = Space(vexel::VectorMetric::euclidean, dim);
    mapped.map(stored.data(), n);
  }
  SpaceChanges(const SpaceChanges&) = delete;  // `mapped` reads `stored` in place
  SpaceChanges& operator=(const SpaceChanges&) = delete;

  std::vector<double> shuffled;  // the rows in the order all spaces below hold them
  std::vector<Scalar> stored;    // the same, read in place by `mapped`
  Space direct{vexel::VectorMetric::euclidean}, first_half{vexel::VectorMetric::euclidean};
  // Each holds `shuffled` after a change: a laid-out copy, an in-place
  // reorder, a clear and refill, a mapping.
  Space copied{vexel::VectorMetric::euclidean}, in_place{vexel::VectorMetric::euclidean},
      refilled{vexel::VectorMetric::euclidean}, mapped{vexel::VectorMetric::euclidean};
  Space truncated{vexel::VectorMetric::euclidean};  // holds `first_half`'s rows
};

}  // namespace vexel_test
