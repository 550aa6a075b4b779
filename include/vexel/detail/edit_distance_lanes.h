// What every level of the many-texts edit distance shares
// (EditPattern::distances): which texts go to the lanes, their match masks
// laid out column by column, and where a lane stops early.
//
// A lane measures the whole pattern (at most 64 elements, masks prepared
// once) against the whole text: no common prefix or suffix is stripped,
// since the amount to strip differs from lane to lane. The distance is the
// same; only where a lane stops early above the limit may differ from
// EditPattern::distance, so the value above the limit is that of this lane
// rule on every level.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vexel/detail/match_masks.h"
#include "vexel/simd.h"

namespace vexel::detail {

// The first text from `next` on that a lane must measure, or `count`. The
// texts skipped on the way get their length difference from the pattern's
// `m` elements, a lower bound of their distance that already exceeds `limit`.
inline std::size_t next_lane_text(const std::size_t* lengths, std::size_t count, std::size_t m, std::size_t limit,
                                  std::size_t next, std::size_t* out) {
  for (; next < count; ++next) {
    const std::size_t least = lengths[next] > m ? lengths[next] - m : m - lengths[next];
    if (least <= limit) return next;
    out[next] = least;
  }
  return count;
}

// The last-row bound of a text of n elements: once score + j + 1 exceeds it
// after column j, the distance exceeds `limit` (the last row falls by at most
// 1 a column). Saturated below 2^63 for signed vector compares: no score
// comes near, so this is the rule of bit_parallel_distance.
inline std::int64_t lane_cutoff(std::size_t limit, std::size_t n) {
  constexpr std::size_t most = static_cast<std::size_t>(INT64_MAX);
  return static_cast<std::int64_t>(limit >= most || n >= most - limit ? most : limit + n);
}

#if VEXEL_SIMD_X86
// Up to `Lanes` texts measured together, one a lane, all from column 0 until
// the last one ends or stops. The vector level copies each text's elements
// a chunk of columns at a time (masked loads, which read nothing beyond a
// text); their match masks are then looked up here one column at a time,
// so that the vector loop loads one register a column: on the Zen 4
// measured, scalar lookups cost less than gathers, and they run on ports
// the vector loop leaves idle when interleaved with the previous group's
// columns. Loops run as often for every lane, and the texts the length
// difference settles are passed over without a branch: mispredicted branches
// would cost more than the lanes' work.
template <std::size_t Lanes>
struct LaneGroup {
  static constexpr std::size_t kColumns = 16;

  // Takes the next texts from `next` on that the length difference from the
  // pattern's `m` elements does not settle (the others get that difference,
  // a lower bound above `limit`); returns the next text left for later groups.
  std::size_t take(const std::uint32_t* const* texts, const std::size_t* lengths, std::size_t count, std::size_t m,
                   std::size_t limit, std::size_t next, std::size_t* out) {
    filled = 0;
    for (; next < count && filled < Lanes; ++next) {
      const std::size_t n = lengths[next];
      const std::size_t least = n > m ? n - m : m - n;
      out[next] = least;  // replaced by the distance if the text is kept
      slot[filled] = next;
      text[filled] = n != 0 ? texts[next] : &kNothing;
      length[filled] = static_cast<std::int64_t>(n);
      cutoff[filled] = lane_cutoff(limit, n);
      filled += least <= limit;
    }
    longest = 0;
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      if (lane >= filled) {
        text[lane] = &kNothing;
        length[lane] = cutoff[lane] = 0;
      }
      longest = std::max(longest, static_cast<std::size_t>(length[lane]));
    }
    return next;
  }

  // How many columns from `first` on one look-up lays out: up to the
  // longest text, at most kColumns.
  std::size_t columns_from(std::size_t first) const { return std::min(kColumns, longest - first); }

  // Lays out in eq[c] the masks of column c of the chunk in `elements`.
  void look_up_column(const MatchMasks<std::uint32_t>& masks, std::size_t c) {
    const std::uint64_t* direct = masks.direct();
    for (std::size_t lane = 0; lane < Lanes; ++lane) {
      // The direct table first: most code points are small. The hint keeps
      // the common path free of taken branches (a quarter of the time).
      const std::uint32_t element = elements[lane][c];
      std::uint64_t found = direct[element & (kDirectCodes - 1)];
      if (__builtin_expect(element >= kDirectCodes, 0)) found = masks(element);
      eq[c][lane] = found;
    }
  }

  // Lays out the masks of every column of the chunk from `first` on, whose
  // elements are in `elements`; returns how many columns it has.
  std::size_t look_up(const MatchMasks<std::uint32_t>& masks, std::size_t first) {
    const std::size_t columns = columns_from(first);
    for (std::size_t c = 0; c < columns; ++c) look_up_column(masks, c);
    return columns;
  }

  // How many elements of a lane's text a chunk from `first` on holds.
  std::size_t chunk_length(std::size_t lane, std::size_t first) const {
    const auto n = static_cast<std::size_t>(length[lane]);
    return n > first ? std::min(kColumns, n - first) : 0;
  }

  // Hands the distances of the lanes to out[], in the texts' order.
  void store(const std::int64_t* distance, std::size_t* out) const {
    for (std::size_t lane = 0; lane < filled; ++lane) out[slot[lane]] = static_cast<std::size_t>(distance[lane]);
  }

  static constexpr std::uint32_t kNothing = 0;  // what lanes without elements read

  // Elements first + c of each text in elements[lane][c] (zeros past its
  // end), and their masks column by column.
  alignas(64) std::uint32_t elements[Lanes][kColumns];
  alignas(64) std::uint64_t eq[kColumns][Lanes];
  alignas(64) std::int64_t length[Lanes];  // 0 in lanes left empty
  alignas(64) std::int64_t cutoff[Lanes];
  const std::uint32_t* text[Lanes];
  std::size_t slot[Lanes];
  std::size_t filled = 0;
  std::size_t longest = 0;
};
#endif  // VEXEL_SIMD_X86

}  // namespace vexel::detail
