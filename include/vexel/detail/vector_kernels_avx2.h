// The vector distances with AVX2: two 4-double registers hold lanes 0-3 and
// 4-7 of the fixed summation order (vector_kernels_portable.h).
#pragma once

#include "vexel/detail/vector_kernels_portable.h"
#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#define VEXEL_AVX2 __attribute__((target("avx2")))
// Always inlined: the building blocks into the kernels, the kernels into
// many(); a call per 8 coordinates would cost more than the work.
#define VEXEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace vexel::detail::avx2 {

// See detail::unfused: keeps a product out of the next addition.
VEXEL_AVX2_INLINE __m256d unfused(__m256d value) {
  __asm__("" : "+v"(value));
  return value;
}

VEXEL_AVX2_INLINE __m256d load(const double* p) { return _mm256_loadu_pd(p); }
VEXEL_AVX2_INLINE __m256d load(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

// The first `count` (< 4) elements at p, zeros after; reads nothing beyond.
VEXEL_AVX2_INLINE __m256d load_first(const double* p, std::size_t count) {
  alignas(32) static const std::int64_t ones_then_zeros[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
  const __m256i mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ones_then_zeros + 4 - count));
  return _mm256_maskload_pd(p, mask);
}
VEXEL_AVX2_INLINE __m256d load_first(const float* p, std::size_t count) {
  alignas(16) static const std::int32_t ones_then_zeros[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
  const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ones_then_zeros + 4 - count));
  return _mm256_cvtps_pd(_mm_maskload_ps(p, mask));
}

struct SumOfSquares {
  VEXEL_AVX2_INLINE static __m256d add(__m256d sum, __m256d q, __m256d r) {
    const __m256d d = _mm256_sub_pd(q, r);
    return _mm256_add_pd(sum, unfused(_mm256_mul_pd(d, d)));
  }
  // s = l[0..3] + l[4..7], t = s[0..1] + s[2..3], t[0] + t[1].
  VEXEL_AVX2_INLINE static double reduce(__m256d low, __m256d high) {
    const __m256d s = _mm256_add_pd(low, high);
    const __m128d t = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(t, _mm_unpackhi_pd(t, t)));
  }
};

struct SumOfMagnitudes {
  VEXEL_AVX2_INLINE static __m256d add(__m256d sum, __m256d q, __m256d r) {
    const __m256d d = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(q, r));
    return _mm256_add_pd(sum, d);
  }
  VEXEL_AVX2_INLINE static double reduce(__m256d low, __m256d high) {
    return SumOfSquares::reduce(low, high);
  }
};

// The largest |q - r|, compared as integers: the bits of doubles without a
// sign order like the numbers, and NaN ranks above infinity, so a NaN
// difference wins and is kept.
struct LargestMagnitude {
  VEXEL_AVX2_INLINE static __m256d add(__m256d largest, __m256d q, __m256d r) {
    const __m256i d = _mm256_castpd_si256(_mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(q, r)));
    const __m256i l = _mm256_castpd_si256(largest);
    return _mm256_castsi256_pd(_mm256_blendv_epi8(l, d, _mm256_cmpgt_epi64(d, l)));
  }
  VEXEL_AVX2_INLINE static double reduce(__m256d low, __m256d high) {
    alignas(32) std::int64_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_castpd_si256(low));
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4), _mm256_castpd_si256(high));
    std::int64_t most = 0;
    for (std::int64_t lane : lanes) most = lane > most ? lane : most;
    double result;
    std::memcpy(&result, &most, sizeof result);
    return result;
  }
};

// Folds Step over the n coordinate pairs, lane by lane, then reduces. Zero
// coordinates pad the last group: they add nothing to any lane.
template <typename Step, typename Row>
VEXEL_AVX2_INLINE double fold(const double* q, const Row* r, std::size_t n) {
  __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    low = Step::add(low, load(q + i), load(r + i));
    high = Step::add(high, load(q + i + 4), load(r + i + 4));
  }
  const std::size_t left = n - i;
  if (left >= 4) {
    low = Step::add(low, load(q + i), load(r + i));
    if (left > 4) high = Step::add(high, load_first(q + i + 4, left - 4), load_first(r + i + 4, left - 4));
  } else if (left > 0) {
    low = Step::add(low, load_first(q + i, left), load_first(r + i, left));
  }
  return Step::reduce(low, high);
}

template <typename Row>
VEXEL_AVX2_INLINE double euclidean(const double* q, const Row* r, std::size_t n) {
  return euclidean_from_sum(fold<SumOfSquares>(q, r, n), q, r, n);
}

template <typename Row>
VEXEL_AVX2_INLINE double manhattan(const double* q, const Row* r, std::size_t n) {
  return manhattan_from_sum(fold<SumOfMagnitudes>(q, r, n), q, r, n);
}

template <typename Row>
VEXEL_AVX2_INLINE double chebyshev(const double* q, const Row* r, std::size_t n) {
  const double largest = fold<LargestMagnitude>(q, r, n);
  // NaN: a NaN coordinate, or equal infinities, which are equal elements.
  return largest == largest ? largest : careful_chebyshev(q, r, n);
}

template <typename Row, double (*One)(const double*, const Row*, std::size_t)>
VEXEL_AVX2 void many(const double* q, const Row* base, std::size_t dim, const std::uint32_t* rows,
                     std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = One(q, base + std::size_t{rows[i]} * dim, dim);
}

}  // namespace vexel::detail::avx2

#undef VEXEL_AVX2
#undef VEXEL_AVX2_INLINE
#endif  // VEXEL_SIMD_X86
