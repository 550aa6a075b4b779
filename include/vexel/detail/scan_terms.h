// The sum of squares from which the scan (vector_scan.h) makes the term of
// a row or query, with the check that its bounds serve the vector. Every
// level sums in the same order, so every level gives the same terms: four
// partial sums (coordinate i goes to sum i mod 4, the last dim mod 4
// coordinates to sum 0, in order), then (s0 + s1) + (s2 + s3).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel::detail::scan {

// Whether the bounds serve a coordinate: 0, or a magnitude in [2^-50, 2^50]
// (not infinite, not NaN).
inline bool served_coordinate(double value) {
  const double magnitude = std::fabs(value);
  return (magnitude == 0.0) | ((magnitude >= 0x1p-50) & (magnitude <= 0x1p50));
}

namespace portable {

// Writes the sum of squares of x[0, dim) to `squares` and returns true when
// the bounds serve every coordinate; false (and `squares` unset) otherwise.
template <typename Element>
bool served_squares(const Element* x, std::size_t dim, double& squares) {
  // No early exit, so that the loop vectorises.
  double sums[4] = {0.0, 0.0, 0.0, 0.0};
  bool served = true;
  const auto add = [&](std::size_t i, double& sum) {
    const double value = static_cast<double>(x[i]);
    served &= served_coordinate(value);
    sum += value * value;
  };
  std::size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    for (std::size_t j = 0; j < 4; ++j) add(i + j, sums[j]);
  }
  for (; i < dim; ++i) add(i, sums[0]);
  if (!served) return false;
  squares = (sums[0] + sums[1]) + (sums[2] + sums[3]);
  return true;
}

}  // namespace portable

#if VEXEL_SIMD_X86
namespace avx2 {

__attribute__((target("avx2"), always_inline)) inline __m256d load4(const double* p) { return _mm256_loadu_pd(p); }
__attribute__((target("avx2"), always_inline)) inline __m256d load4(const float* p) {
  return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

// portable::served_squares with the four sums in one register. Without FMA:
// a fused sum would round differently.
template <typename Element>
__attribute__((target("avx2"))) bool served_squares(const Element* x, std::size_t dim, double& squares) {
  const __m256d sign = _mm256_set1_pd(-0.0), zero = _mm256_setzero_pd();
  const __m256d smallest = _mm256_set1_pd(0x1p-50), largest = _mm256_set1_pd(0x1p50);
  __m256d sums = zero, inside = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  std::size_t i = 0;
  for (; i + 4 <= dim; i += 4) {
    const __m256d value = load4(x + i);
    const __m256d magnitude = _mm256_andnot_pd(sign, value);
    const __m256d in = _mm256_or_pd(_mm256_cmp_pd(magnitude, zero, _CMP_EQ_OQ),
                                    _mm256_and_pd(_mm256_cmp_pd(magnitude, smallest, _CMP_GE_OQ),
                                                  _mm256_cmp_pd(magnitude, largest, _CMP_LE_OQ)));
    inside = _mm256_and_pd(inside, in);
    sums = _mm256_add_pd(sums, _mm256_mul_pd(value, value));
  }
  bool served = _mm256_movemask_pd(inside) == 0xF;
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, sums);
  for (; i < dim; ++i) {
    const double value = static_cast<double>(x[i]);
    served &= served_coordinate(value);
    lanes[0] += value * value;
  }
  if (!served) return false;
  squares = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  return true;
}

}  // namespace avx2
#endif

// served_squares at the active SIMD level.
template <typename Element>
bool served_squares(const Element* x, std::size_t dim, double& squares) {
#if VEXEL_SIMD_X86
  if (simd::active() >= simd::Level::avx2) return avx2::served_squares(x, dim, squares);
#endif
  return portable::served_squares(x, dim, squares);
}

}  // namespace vexel::detail::scan
