// Levenshtein distance between sequences of code points (std::uint32_t) or
// doubles (elements equal under ==: NaN equals nothing, -0.0 equals 0.0).
//
// After the common prefix and suffix are stripped (which never changes the
// distance), a shorter side of at most 64 elements takes the bit-parallel
// algorithm of Myers in Hyyrö's formulation: one column of the dynamic
// program per element of the longer side, in a few word operations. Longer
// sides take the dynamic program in O(min(n, m)) memory.
//
// Every function takes a `limit`: the result is exact when the distance is at
// most `limit`; otherwise it is some value above `limit`, found early when a
// lower bound already exceeds it.
//
// EditPattern::distances measures one pattern against many texts; for code
// points it runs several texts at once, one per 64-bit lane, with AVX2 or
// AVX-512 when simd::active() allows (simd.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "vexel/detail/edit_distance_avx2.h"
#include "vexel/detail/edit_distance_avx512.h"
#include "vexel/detail/edit_distance_lanes.h"
#include "vexel/detail/match_masks.h"
#include "vexel/simd.h"

namespace vexel {
namespace detail {

// The common prefix and suffix of a[0, n) and b[0, m): their lengths.
template <typename Char>
void common_ends(const Char* a, std::size_t n, const Char* b, std::size_t m, std::size_t& prefix,
                 std::size_t& suffix) {
  const std::size_t shorter = std::min(n, m);
  prefix = 0;
  while (prefix < shorter && a[prefix] == b[prefix]) ++prefix;
  suffix = 0;
  while (suffix < shorter - prefix && a[n - 1 - suffix] == b[m - 1 - suffix]) ++suffix;
}

// The distance between the `m` (1 to 64) elements whose match masks, shifted
// right by `shift`, `masks` gives, and text[0, n).
template <typename Char, typename Masks>
std::size_t bit_parallel_distance(const Masks& masks, unsigned shift, std::size_t m, const Char* text,
                                  std::size_t n, std::size_t limit) {
  // Bit i of pv / mv: the vertical difference in row i of the current column
  // is +1 / -1. Bits at and above m carry garbage that never reaches below.
  std::uint64_t pv = ~std::uint64_t{0}, mv = 0;
  const unsigned top = static_cast<unsigned>(m - 1);
  std::size_t score = m;  // the last row of the current column
  // The last row falls by at most 1 per column still to come, so once
  // score - (n - 1 - j) > limit the distance exceeds the limit: that is
  // score + j + 1 > limit + n, with the right side saturated.
  const std::size_t cutoff = limit > SIZE_MAX - n ? SIZE_MAX : limit + n;
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint64_t eq = masks(text[j]) >> shift;
    const std::uint64_t xv = eq | mv;
    const std::uint64_t xh = (((eq & pv) + pv) ^ pv) | eq;
    std::uint64_t ph = mv | ~(xh | pv);
    std::uint64_t mh = pv & xh;
    // Without branches: which way the score moves is close to random.
    score += static_cast<std::size_t>((ph >> top) & 1);
    score -= static_cast<std::size_t>((mh >> top) & 1);
    if (score + j + 1 > cutoff) return score - (n - 1 - j);
    ph = (ph << 1) | 1;  // row 0 rises by 1 per column
    mh <<= 1;
    pv = mh | ~(xv | ph);
    mv = ph & xv;
  }
  return score;
}

// The dynamic program over one row spanning the shorter side b (m <= n).
template <typename Char>
std::size_t dynamic_program_distance(const Char* a, std::size_t n, const Char* b, std::size_t m,
                                     std::size_t limit) {
  thread_local std::vector<std::size_t> row;  // reused: no allocation once large enough
  row.resize(m + 1);
  for (std::size_t j = 0; j <= m; ++j) row[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    std::size_t smallest = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t above = row[j];
      const std::size_t substitute = diagonal + !(a[i - 1] == b[j - 1]);
      row[j] = std::min({above + 1, row[j - 1] + 1, substitute});
      smallest = std::min(smallest, row[j]);
      diagonal = above;
    }
    // Costs never fall along a path, and every path crosses this row.
    if (smallest > limit) return smallest;
  }
  return row[m];
}

// The distance between a[0, n) and b[0, m) that share no first or last element.
template <typename Char>
std::size_t stripped_distance(const Char* a, std::size_t n, const Char* b, std::size_t m, std::size_t limit) {
  if (n < m) {
    std::swap(a, b);
    std::swap(n, m);
  }
  if (m == 0) return n;
  if (n - m > limit) return n - m;  // at least n - m edits
  if (m <= kMaxMaskedLength) {
    const MatchMasks<Char> masks(b, m, a, n);
    return bit_parallel_distance(masks, 0, m, a, n, limit);
  }
  return dynamic_program_distance(a, n, b, m, limit);
}

// The many-texts distances one text at a time, by the lane rule of
// edit_distance_lanes.h: what the vector levels compute lane by lane.
template <typename Char>
void edit_distances_portable(const MatchMasks<Char>& masks, std::size_t m, const Char* const* texts,
                             const std::size_t* lengths, std::size_t count, std::size_t limit, std::size_t* out) {
  for (std::size_t i = next_lane_text(lengths, count, m, limit, 0, out); i < count;
       i = next_lane_text(lengths, count, m, limit, i + 1, out)) {
    out[i] = bit_parallel_distance(masks, 0, m, texts[i], lengths[i], limit);
  }
}

// Fewer texts go one at a time: filling lanes would cost more than they
// save (measured with AVX2 and AVX-512 alike).
constexpr std::size_t kFewestLaneTexts = 6;

// The many-texts distances for code points at the active level: one
// dispatch a call.
inline void edit_distances(const MatchMasks<std::uint32_t>& masks, std::size_t m, const std::uint32_t* const* texts,
                           const std::size_t* lengths, std::size_t count, std::size_t limit, std::size_t* out) {
#if VEXEL_SIMD_X86
  switch (count < kFewestLaneTexts ? simd::Level::portable : simd::active()) {
    case simd::Level::avx512: return avx512::edit_distances(masks, m, texts, lengths, count, limit, out);
    case simd::Level::avx2: return avx2::edit_distances(masks, m, texts, lengths, count, limit, out);
    case simd::Level::portable: break;
  }
#endif
  edit_distances_portable(masks, m, texts, lengths, count, limit, out);
}

}  // namespace detail

// Levenshtein distance between a[0, n) and b[0, m): exact when at most
// `limit`, otherwise some value above `limit`.
template <typename Char>
std::size_t edit_distance(const Char* a, std::size_t n, const Char* b, std::size_t m,
                          std::size_t limit = SIZE_MAX) {
  std::size_t prefix, suffix;
  detail::common_ends(a, n, b, m, prefix, suffix);
  return detail::stripped_distance(a + prefix, n - prefix - suffix, b + prefix, m - prefix - suffix, limit);
}

// A pattern prepared once (its match masks) and measured against many texts.
// distance() allocates nothing for patterns of at most 64 elements, and
// several threads may share one const EditPattern.
template <typename Char>
class EditPattern {
 public:
  EditPattern(const Char* pattern, std::size_t n)
      : pattern_(pattern, pattern + n),
        masks_(pattern, n <= detail::kMaxMaskedLength ? n : 0) {}

  // Same as edit_distance(pattern, n, text, m, limit).
  std::size_t distance(const Char* text, std::size_t m, std::size_t limit = SIZE_MAX) const {
    const std::size_t n = pattern_.size();
    std::size_t prefix, suffix;
    detail::common_ends(pattern_.data(), n, text, m, prefix, suffix);
    const std::size_t rest = n - prefix - suffix, text_rest = m - prefix - suffix;
    // A long pattern: the shorter side, if it is short enough, gets masks of
    // its own for this call (edit distance is symmetric).
    if (n > detail::kMaxMaskedLength || rest == 0 || text_rest == 0) {
      return detail::stripped_distance(pattern_.data() + prefix, rest, text + prefix, text_rest, limit);
    }
    const std::size_t least = rest > text_rest ? rest - text_rest : text_rest - rest;
    if (least > limit) return least;
    // The stripped pattern's masks are the prepared ones shifted by the prefix.
    return detail::bit_parallel_distance(masks_, static_cast<unsigned>(prefix), rest, text + prefix, text_rest,
                                         limit);
  }

  // out[i] = distance(texts[i], lengths[i], limit) for i < count: the same
  // value wherever it is at most `limit`, some value above `limit` elsewhere
  // (the same on every SIMD level). A pattern of 1 to 64 elements measures
  // several texts at once (given 6 or more); a longer one measures them one
  // by one.
  void distances(const Char* const* texts, const std::size_t* lengths, std::size_t count, std::size_t limit,
                 std::size_t* out) const {
    const std::size_t m = pattern_.size();
    if (m == 0 || m > detail::kMaxMaskedLength) {
      for (std::size_t i = 0; i < count; ++i) out[i] = distance(texts[i], lengths[i], limit);
    } else if constexpr (std::is_same_v<Char, std::uint32_t>) {
      detail::edit_distances(masks_, m, texts, lengths, count, limit, out);
    } else {
      detail::edit_distances_portable(masks_, m, texts, lengths, count, limit, out);
    }
  }

  std::size_t size() const { return pattern_.size(); }

 private:
  std::vector<Char> pattern_;
  detail::MatchMasks<Char> masks_;  // empty for patterns of more than 64 elements
};

// The number of positions i < n where a[i] and b[i] differ (NaN differs from
// everything); both sequences have n elements.
template <typename Char>
std::size_t hamming_distance(const Char* a, const Char* b, std::size_t n) {
  std::size_t differing = 0;
  for (std::size_t i = 0; i < n; ++i) differing += !(a[i] == b[i]);
  return differing;
}

}  // namespace vexel
