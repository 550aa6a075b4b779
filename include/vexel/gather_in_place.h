// Rearranging an array by a permutation in place, without a second copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexel {

// Makes element i the one that was at order[i], for every i, where `order`
// is a permutation of 0 .. n - 1, by following its cycles: `hold(i)` sets
// element i aside, `move(to, from)` moves one element, `release(to)` puts
// the one set aside back. `done` is n bits of scratch the caller allocates,
// so that nothing here can fail.
template <typename Hold, typename Move, typename Release>
void gather_in_place(const std::vector<std::uint32_t>& order, std::vector<bool>& done, Hold hold, Move move,
                     Release release) {
  const std::size_t n = order.size();
  done.assign(n, false);
  for (std::size_t start = 0; start < n; ++start) {
    if (done[start]) continue;
    done[start] = true;
    if (order[start] == start) continue;
    hold(start);
    std::size_t to = start;
    for (;;) {
      const std::size_t from = order[to];
      if (from == start) {
        release(to);
        break;
      }
      move(to, from);
      done[from] = true;
      to = from;
    }
  }
}

}  // namespace vexel
