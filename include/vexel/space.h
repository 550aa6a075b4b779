// What a space of rows must provide to be indexed by a `RowIndex`, written
// once and checked at compile time.
//
// A space stores rows (numbered 0, 1, ... in the order they were appended)
// and measures them. It provides
//   using Query = ...;                                    a prepared query
//   double distance(const Query&, std::uint32_t) const     query first
//   double distance(std::uint32_t, std::uint32_t) const    between two rows
//   std::size_t rows() const
//   Space reordered(const std::vector<std::uint32_t>& order) const
//                         the rows order[0], order[1], ... as a new space
//   void truncate(std::size_t rows)                       drops rows from the end
//   void clear()
// and may provide, for speed:
//   batch(query, rows, count, out[, limit])   a whole bucket in one call; with
//                         a limit it may stop early above it (as `within`)
//   within(query, row, limit)                 exact up to `limit`, some value
//                         above it otherwise
//   QuerySummary, summarise(query, summary), keep_within(summary, limit, rows,
//   count, kept), distance(query, summary, row), batch(query, summary, rows,
//   count, out)
//                         small per-row summaries: a search summarises its
//                         query once (into a summary it reuses), a leaf
//                         measures only the rows keep_within() copies to
//                         `kept`, those the summaries cannot put beyond
//                         `limit`, and measures them with the summary at hand
//   column(center, rows, count, out)          the distances of many rows to one
//   prefetch(row)                             asks for a row ahead of its use
//   leaf_points(), tree_degree()              the shape of its tree (below)
//   static constexpr CenterChoice center_choice
//                         how splits choose centers (below)
//   box_size(), widen_box(low, high, row), box_distance(query, low, high)
//                         a summary of box_size() numbers per row (0: none)
//                         whose boxes bound distances from below: every node
//                         keeps the box of its rows, and a search skips a
//                         node whose box lies beyond its bound
//   defers_pivots()                          whether a search queues children
//                         by their boxes alone, measuring a child's pivot
//                         only once it takes the child from its queue
//                         (where boxes bound as tightly as pivots); false
//                         if absent
//   static constexpr bool boxes_replace_ranges
//                         whether those boxes make sibling ranges needless
//                         (korel_tree.h); false if absent
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexel/greedy_k_centers.h"

namespace vexel {

template <typename Space, typename = void>
struct is_space : std::false_type {};
template <typename Space>
struct is_space<
    Space,
    std::void_t<typename Space::Query,
                decltype(double{std::declval<const Space&>().distance(
                    std::declval<const typename Space::Query&>(), std::uint32_t{})}),
                decltype(double{std::declval<const Space&>().distance(std::uint32_t{}, std::uint32_t{})}),
                decltype(std::size_t{std::declval<const Space&>().rows()}),
                decltype(Space(std::declval<const Space&>().reordered(std::declval<const std::vector<std::uint32_t>&>()))),
                decltype(std::declval<Space&>().truncate(std::size_t{})),
                decltype(std::declval<Space&>().clear())>>
    : std::integral_constant<bool, std::is_move_constructible<Space>::value &&
                                       std::is_move_assignable<Space>::value> {};

template <typename Space>
constexpr bool is_space_v = is_space<Space>::value;

// How many points a leaf holds before it splits: a space whose distances
// are cheap prefers longer leaves (fewer nodes to visit, scanned in one
// call) and says so with a `leaf_points()` member, asked when a tree is
// first built (it may depend on the points, such as their dimension).
template <typename Space>
auto leaf_points(const Space& space, int) -> decltype(std::uint32_t{space.leaf_points()}) {
  return space.leaf_points();
}
template <typename Space>
std::uint32_t leaf_points(const Space&, long) {
  return 50;
}

// How many children a node splits into: a space where more pivots prune
// more (vectors, from a few dimensions up) says so with `tree_degree()`.
template <typename Space>
auto tree_degree(const Space& space, int) -> decltype(std::uint32_t{space.tree_degree()}) {
  return space.tree_degree();
}
template <typename Space>
std::uint32_t tree_degree(const Space&, long) {
  return 8;
}

// How a split chooses its centers (greedy_k_centers.h): farthest-first,
// unless the space asks for a balanced choice. Vectors do: real ones (image
// patches, embeddings) hold dense cores with scattered outliers. Elsewhere
// farthest-first's far-apart centers prune best (strings split by length).
template <typename Space, typename = void>
struct space_center_choice : std::integral_constant<CenterChoice, CenterChoice::farthest_first> {};
template <typename Space>
struct space_center_choice<Space, std::void_t<decltype(Space::center_choice)>>
    : std::integral_constant<CenterChoice, Space::center_choice> {};

}  // namespace vexel
