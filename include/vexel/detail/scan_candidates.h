// The pairs of one query that the scan's tile (vector_scan.h) could not
// drop, and the choice of those it measures first.
//
// A query's keys against a panel are 16 floats, one a row: the tile's
// values, negated under angular so that nearer pairs have smaller keys
// either way. A panel's `lanes` (bits 0-15) are the rows the tile kept.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel::detail::scan {

constexpr std::size_t keys_per_panel = 16;
constexpr std::size_t keys_per_half = keys_per_panel / 2;

// A pair the tile may not drop: its key, and its place in the panels
// that hold it (16 a panel).
struct Candidate {
  float key;
  std::uint32_t position;
};

// The order in which candidates are measured first: by key, NaN keys (none
// arise from coordinates the product serves) last.
inline bool nearer(const Candidate& a, const Candidate& b) {
  return a.key < b.key || (a.key == a.key && b.key != b.key);
}

// The tests on a panel's keys, a step each:
//  not_above(keys, limit): the lanes whose key is not above `limit`, NaN
//    keys among them (the tile's own test);
//  least_of_halves(keys, lanes, least): the least key of each half of the
//    panel among `lanes`, into least[0] and least[1] (infinity where the
//    half holds none; a NaN key is never least).
struct PanelKeys {
  std::uint32_t (*not_above)(const float* keys, float limit);
  void (*least_of_halves)(const float* keys, std::uint32_t lanes, float* least);
};

namespace portable {

inline std::uint32_t not_above(const float* keys, float limit) {
  std::uint32_t lanes = 0;
  for (std::size_t l = 0; l < keys_per_panel; ++l) lanes |= static_cast<std::uint32_t>(!(keys[l] > limit)) << l;
  return lanes;
}

inline void least_of_halves(const float* keys, std::uint32_t lanes, float* least) {
  for (std::size_t h = 0; h < 2; ++h) {
    float smallest = std::numeric_limits<float>::infinity();
    for (std::size_t l = h * keys_per_half; l < (h + 1) * keys_per_half; ++l) {
      if ((lanes >> l & 1u) != 0 && keys[l] < smallest) smallest = keys[l];
    }
    least[h] = smallest;
  }
}

}  // namespace portable

#if VEXEL_SIMD_X86
namespace avx2 {

__attribute__((target("avx2"))) inline std::uint32_t not_above(const float* keys, float limit) {
  const __m256 bound = _mm256_set1_ps(limit);
  const int above = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(keys), bound, _CMP_GT_OQ)) |
                    _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(keys + 8), bound, _CMP_GT_OQ)) << 8;
  return ~static_cast<std::uint32_t>(above) & 0xFFFFu;
}

__attribute__((target("avx2"))) inline void least_of_halves(const float* keys, std::uint32_t lanes, float* least) {
  const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
  const __m256 infinity = _mm256_set1_ps(std::numeric_limits<float>::infinity());
  for (std::size_t h = 0; h < 2; ++h) {
    const __m256i mine = _mm256_set1_epi32(static_cast<int>(lanes >> (h * keys_per_half)));
    const __m256 chosen = _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(mine, bits), bits));
    // min_ps(a, b) is b where either is NaN: NaN keys become infinity.
    __m256 v = _mm256_min_ps(_mm256_blendv_ps(infinity, _mm256_loadu_ps(keys + h * keys_per_half), chosen), infinity);
    v = _mm256_min_ps(v, _mm256_permute2f128_ps(v, v, 1));
    v = _mm256_min_ps(v, _mm256_shuffle_ps(v, v, 0x4E));
    v = _mm256_min_ps(v, _mm256_shuffle_ps(v, v, 0xB1));
    least[h] = _mm256_cvtss_f32(v);
  }
}

}  // namespace avx2
#endif

inline PanelKeys panel_keys_for(simd::Level level) {
#if VEXEL_SIMD_X86
  if (level >= simd::Level::avx2) return {avx2::not_above, avx2::least_of_halves};
#else
  (void)level;
#endif
  return {portable::not_above, portable::least_of_halves};
}

// The k-th smallest of values[0, n) (1 <= k <= n, no NaN), leaving the k
// smallest sorted in values[0, k): a sorted run of k that most values pass
// over with one comparison, faster than a selection for the few dozen
// values a cut chooses from.
inline float kth_smallest(float* values, std::size_t n, std::size_t k) {
  const auto insert = [values](std::size_t end, float value) {  // into the sorted values[0, end)
    std::size_t at = end;
    for (; at > 0 && value < values[at - 1]; --at) values[at] = values[at - 1];
    values[at] = value;
  };
  for (std::size_t i = 1; i < k; ++i) insert(i, values[i]);
  for (std::size_t i = k; i < n; ++i) {
    if (values[i] < values[k - 1]) insert(k - 1, values[i]);
  }
  return values[k - 1];
}

// A cut that the `ahead` nearest kept keys of `panels` panels meet (the
// keys of panel p at keys + p * stride, its lanes at lanes[p]), so that
// only the keys at most the cut need sorting: the ahead-th smallest of the
// halves' least keys, each a kept key of its own half. Infinity where the
// halves are too few, or fewer than `ahead` of them hold a number.
// `least` is scratch for 2 * panels floats.
inline float front_cut(const PanelKeys& tests, const float* keys, std::size_t stride, const std::uint16_t* lanes,
                       std::size_t panels, std::size_t ahead, float* least) {
  if (ahead == 0 || ahead > 2 * panels) return std::numeric_limits<float>::infinity();
  for (std::size_t p = 0; p < panels; ++p) tests.least_of_halves(keys + p * stride, lanes[p], least + 2 * p);
  return kth_smallest(least, 2 * panels, ahead);
}

}  // namespace vexel::detail::scan
