// The bucket filter of Pruning::survivors in AVX-512: sixteen kept
// distances a step, and the indices of those the filter keeps compressed
// into place, instead of a flag per element and a branchless gather.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

namespace vexel::detail::avx512 {

// Writes to `out` the points[i] whose at[i] lies in [below, above], or is
// NaN or infinite (what Pruning::exclude does not exclude), in order, and
// returns how many. `out` must hold n + 16 elements: each step stores a
// whole register.
__attribute__((target("avx512f,popcnt"))) inline std::size_t survivors(float below, float above, const float* at,
                                                                       const std::uint32_t* points, std::size_t n,
                                                                       std::uint32_t* out) {
  const __m512 low = _mm512_set1_ps(below), high = _mm512_set1_ps(above);
  const __m512 infinity = _mm512_set1_ps(std::numeric_limits<float>::infinity());
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; i += 16) {
    const __mmask16 present = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1);
    const __m512 x = _mm512_maskz_loadu_ps(present, at + i);
    const __mmask16 excluded =
        _mm512_cmp_ps_mask(x, low, _CMP_LT_OQ) |
        (_mm512_cmp_ps_mask(x, high, _CMP_GT_OQ) & _mm512_cmp_ps_mask(x, infinity, _CMP_LT_OQ));
    const __mmask16 kept = present & static_cast<__mmask16>(~excluded);
    const __m512i indices = _mm512_maskz_loadu_epi32(present, points + i);
    // Compressed in a register, then stored whole: storing compressed is
    // slow on some processors.
    _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi32(kept, indices));
    count += static_cast<std::size_t>(__builtin_popcount(kept));
  }
  return count;
}

}  // namespace vexel::detail::avx512

#endif
