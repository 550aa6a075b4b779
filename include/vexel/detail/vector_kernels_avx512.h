// The vector distances with AVX-512 (AVX512F only): one 8-double register
// holds the 8 lanes of the fixed summation order (vector_kernels_portable.h).
#pragma once

#include "vexel/detail/vector_kernels_portable.h"
#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#define VEXEL_AVX512 __attribute__((target("avx512f")))
// Always inlined: the building blocks into the kernels, the kernels into
// many(); a call per 8 coordinates would cost more than the work.
#define VEXEL_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

// g++ 12 warns about the deliberately undefined registers inside its own
// AVX-512 intrinsics (its bug 105593) wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vexel::detail::avx512 {

// See detail::unfused: keeps a product out of the next addition.
VEXEL_AVX512_INLINE __m512d unfused(__m512d value) {
  __asm__("" : "+v"(value));
  return value;
}

VEXEL_AVX512_INLINE __m512d load(const double* p) { return _mm512_loadu_pd(p); }
VEXEL_AVX512_INLINE __m512d load(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }

// The first `count` (< 8) elements at p, zeros after; reads nothing beyond.
VEXEL_AVX512_INLINE __m512d load_first(const double* p, std::size_t count) {
  return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << count) - 1), p);
}
VEXEL_AVX512_INLINE __m512d load_first(const float* p, std::size_t count) {
  const __m512 floats = _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1), p);
  return _mm512_cvtps_pd(_mm512_castps512_ps256(floats));
}

// s = l[0..3] + l[4..7], t = s[0..1] + s[2..3], t[0] + t[1].
VEXEL_AVX512_INLINE double reduce_sum(__m512d lanes) {
  const __m256d s = _mm256_add_pd(_mm512_castpd512_pd256(lanes), _mm512_extractf64x4_pd(lanes, 1));
  const __m128d t = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(t, _mm_unpackhi_pd(t, t)));
}

struct SumOfSquares {
  VEXEL_AVX512_INLINE static __m512d add(__m512d sum, __m512d q, __m512d r) {
    const __m512d d = _mm512_sub_pd(q, r);
    return _mm512_add_pd(sum, unfused(_mm512_mul_pd(d, d)));
  }
  VEXEL_AVX512_INLINE static double reduce(__m512d lanes) { return reduce_sum(lanes); }
};

struct SumOfMagnitudes {
  VEXEL_AVX512_INLINE static __m512d add(__m512d sum, __m512d q, __m512d r) {
    return _mm512_add_pd(sum, _mm512_abs_pd(_mm512_sub_pd(q, r)));
  }
  VEXEL_AVX512_INLINE static double reduce(__m512d lanes) { return reduce_sum(lanes); }
};

// The largest |q - r|, compared as integers: the bits of doubles without a
// sign order like the numbers, and NaN ranks above infinity, so a NaN
// difference wins and is kept.
struct LargestMagnitude {
  VEXEL_AVX512_INLINE static __m512d add(__m512d largest, __m512d q, __m512d r) {
    const __m512i d = _mm512_castpd_si512(_mm512_abs_pd(_mm512_sub_pd(q, r)));
    return _mm512_castsi512_pd(_mm512_max_epu64(_mm512_castpd_si512(largest), d));
  }
  VEXEL_AVX512_INLINE static double reduce(__m512d lanes) {
    const std::uint64_t most = _mm512_reduce_max_epu64(_mm512_castpd_si512(lanes));
    double result;
    std::memcpy(&result, &most, sizeof result);
    return result;
  }
};

// Folds Step over the n coordinate pairs, lane by lane, then reduces. Zero
// coordinates pad the last group: they add nothing to any lane.
template <typename Step, typename Row>
VEXEL_AVX512_INLINE double fold(const double* q, const Row* r, std::size_t n) {
  __m512d lanes = _mm512_setzero_pd();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) lanes = Step::add(lanes, load(q + i), load(r + i));
  if (i < n) lanes = Step::add(lanes, load_first(q + i, n - i), load_first(r + i, n - i));
  return Step::reduce(lanes);
}

template <typename Row>
VEXEL_AVX512_INLINE double euclidean(const double* q, const Row* r, std::size_t n) {
  return euclidean_from_sum(fold<SumOfSquares>(q, r, n), q, r, n);
}

template <typename Row>
VEXEL_AVX512_INLINE double manhattan(const double* q, const Row* r, std::size_t n) {
  return manhattan_from_sum(fold<SumOfMagnitudes>(q, r, n), q, r, n);
}

template <typename Row>
VEXEL_AVX512_INLINE double chebyshev(const double* q, const Row* r, std::size_t n) {
  const double largest = fold<LargestMagnitude>(q, r, n);
  // NaN: a NaN coordinate, or equal infinities, which are equal elements.
  return largest == largest ? largest : careful_chebyshev(q, r, n);
}

template <typename Row, double (*One)(const double*, const Row*, std::size_t)>
VEXEL_AVX512 void many(const double* q, const Row* base, std::size_t dim, const std::uint32_t* rows,
                       std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = One(q, base + std::size_t{rows[i]} * dim, dim);
}

}  // namespace vexel::detail::avx512

#pragma GCC diagnostic pop
#undef VEXEL_AVX512
#undef VEXEL_AVX512_INLINE
#endif  // VEXEL_SIMD_X86
