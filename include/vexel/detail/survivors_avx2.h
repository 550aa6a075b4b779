// The bucket filter of Pruning::survivors in AVX2: eight kept distances a
// step, and the indices of those the filter keeps moved into place by a
// permutation looked up from the mask of kept ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

namespace vexel::detail::avx2 {

// For every mask of eight lanes, the lanes it sets, lowest first, four
// bits each: the permutation that moves them to the front.
constexpr std::array<std::uint32_t, 256> kept_lanes_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::uint32_t lanes = 0, count = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1) lanes |= lane << (4 * count++);
    }
    table[mask] = lanes;
  }
  return table;
}
inline constexpr std::array<std::uint32_t, 256> kept_lanes = kept_lanes_table();

// Writes to `out` the points[i] whose at[i] lies in [below, above], or is
// NaN or infinite (what Pruning::exclude does not exclude), in order, and
// returns how many. `out` must hold n + 8 elements: each step stores a
// whole register.
__attribute__((target("avx2,popcnt"))) inline std::size_t survivors(float below, float above, const float* at,
                                                                     const std::uint32_t* points, std::size_t n,
                                                                     std::uint32_t* out) {
  constexpr float infinity = std::numeric_limits<float>::infinity();
  const __m256 low = _mm256_set1_ps(below), high = _mm256_set1_ps(above), top = _mm256_set1_ps(infinity);
  const __m256i shifts = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
  std::size_t count = 0, i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(at + i);
    const __m256 above_finite = _mm256_and_ps(_mm256_cmp_ps(x, high, _CMP_GT_OQ), _mm256_cmp_ps(x, top, _CMP_LT_OQ));
    const __m256 excluded = _mm256_or_ps(_mm256_cmp_ps(x, low, _CMP_LT_OQ), above_finite);
    const unsigned kept = ~static_cast<unsigned>(_mm256_movemask_ps(excluded)) & 0xFFu;
    // The permutation reads the low three bits of each lane's four.
    const __m256i lanes = _mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(kept_lanes[kept])), shifts);
    const __m256i indices = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(points + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count), _mm256_permutevar8x32_epi32(indices, lanes));
    count += static_cast<std::size_t>(__builtin_popcount(kept));
  }
  for (; i < n; ++i) {
    const float x = at[i];
    out[count] = points[i];
    count += static_cast<std::size_t>(!((x < below) | ((x > above) & (x < infinity))));
  }
  return count;
}

}  // namespace vexel::detail::avx2

#endif
