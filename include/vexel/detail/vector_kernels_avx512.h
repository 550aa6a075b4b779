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

VEXEL_AVX512_INLINE __m512d square(__m512d x) { return unfused(_mm512_mul_pd(x, x)); }

// One sum in the fixed lane order, lanes 0-7 in one register.
struct LaneSum {
  __m512d lanes;
  VEXEL_AVX512_INLINE LaneSum() : lanes(_mm512_setzero_pd()) {}
  VEXEL_AVX512_INLINE void add(__m512d term) { lanes = _mm512_add_pd(lanes, term); }
  // s = l[0..3] + l[4..7], t = s[0..1] + s[2..3], t[0] + t[1].
  VEXEL_AVX512_INLINE double total() const {
    const __m256d s = _mm256_add_pd(_mm512_castpd512_pd256(lanes), _mm512_extractf64x4_pd(lanes, 1));
    const __m128d t = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(t, _mm_unpackhi_pd(t, t)));
  }
};

// The largest of magnitudes, compared as integers: the bits of doubles
// without a sign order like the numbers, and NaN ranks above infinity, so a
// NaN wins and is kept.
struct LaneMax {
  __m512i lanes;
  VEXEL_AVX512_INLINE LaneMax() : lanes(_mm512_setzero_si512()) {}
  VEXEL_AVX512_INLINE void add(__m512d value) {
    lanes = _mm512_max_epu64(lanes, _mm512_castpd_si512(value));
  }
  VEXEL_AVX512_INLINE double total() const {
    const std::uint64_t most = _mm512_reduce_max_epu64(lanes);
    double result;
    std::memcpy(&result, &most, sizeof result);
    return result;
  }
};

// The steps that fold() applies to 8 coordinate pairs at a time.
struct SumOfSquares {
  LaneSum sum;
  VEXEL_AVX512_INLINE SumOfSquares() {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) { sum.add(square(_mm512_sub_pd(q, r))); }
};

struct SumOfMagnitudes {
  LaneSum sum;
  VEXEL_AVX512_INLINE SumOfMagnitudes() {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) { sum.add(_mm512_abs_pd(_mm512_sub_pd(q, r))); }
};

struct LargestDifference {
  LaneMax largest;
  VEXEL_AVX512_INLINE LargestDifference() {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) { largest.add(_mm512_abs_pd(_mm512_sub_pd(q, r))); }
};

struct LargestCoordinates {
  LaneMax q_largest, r_largest;
  VEXEL_AVX512_INLINE LargestCoordinates() {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) {
    q_largest.add(_mm512_abs_pd(q));
    r_largest.add(_mm512_abs_pd(r));
  }
};

// The sums of squares of q / q_scale and r / r_scale.
struct ScaledSquares {
  __m512d q_scale, r_scale;
  LaneSum q_sum, r_sum;
  VEXEL_AVX512_INLINE ScaledSquares(double q_by, double r_by)
      : q_scale(_mm512_set1_pd(q_by)), r_scale(_mm512_set1_pd(r_by)) {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) {
    q_sum.add(square(_mm512_div_pd(q, q_scale)));
    r_sum.add(square(_mm512_div_pd(r, r_scale)));
  }
};

// The sums of (u - v)^2 and (u + v)^2 for u = q / q_scale / q_norm, v likewise.
struct UnitDifferences {
  __m512d q_scale, q_norm, r_scale, r_norm;
  LaneSum minus, plus;
  VEXEL_AVX512_INLINE UnitDifferences(double q_by, double q_then_by, double r_by, double r_then_by)
      : q_scale(_mm512_set1_pd(q_by)), q_norm(_mm512_set1_pd(q_then_by)),
        r_scale(_mm512_set1_pd(r_by)), r_norm(_mm512_set1_pd(r_then_by)) {}
  VEXEL_AVX512_INLINE void add(__m512d q, __m512d r) {
    const __m512d u = _mm512_div_pd(_mm512_div_pd(q, q_scale), q_norm);
    const __m512d v = _mm512_div_pd(_mm512_div_pd(r, r_scale), r_norm);
    minus.add(square(_mm512_sub_pd(u, v)));
    plus.add(square(_mm512_add_pd(u, v)));
  }
};

// Applies `step` to the n coordinate pairs, 8 at a time, lane j taking
// coordinate i + j. Zero coordinates pad the last group: they add nothing to
// any lane.
template <typename Step, typename Row>
VEXEL_AVX512_INLINE void fold(const double* q, const Row* r, std::size_t n, Step& step) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) step.add(load(q + i), load(r + i));
  if (i < n) step.add(load_first(q + i, n - i), load_first(r + i, n - i));
}

#define VEXEL_KERNEL VEXEL_AVX512
#define VEXEL_KERNEL_INLINE VEXEL_AVX512_INLINE
#include "vexel/detail/vector_kernels_from_folds.inc"
#undef VEXEL_KERNEL
#undef VEXEL_KERNEL_INLINE

// The totals of eight LaneSums at once, each summed exactly as
// LaneSum::total sums it (s = l[0..3] + l[4..7], t = s[0..1] + s[2..3],
// t[0] + t[1]), in the order of the rows.
VEXEL_AVX512_INLINE __m512d totals(const __m512d (&lanes)[8]) {
  __m512d halves[4];  // rows 2j and 2j + 1: s of each, side by side
  for (int j = 0; j < 4; ++j) {
    const __m512d a = lanes[2 * j], b = lanes[2 * j + 1];
    halves[j] = _mm512_add_pd(_mm512_shuffle_f64x2(a, b, 0x44), _mm512_shuffle_f64x2(a, b, 0xEE));
  }
  __m512d quarters[2];  // rows 4j .. 4j + 3: t of each, side by side
  for (int j = 0; j < 2; ++j) {
    const __m512d a = halves[2 * j], b = halves[2 * j + 1];
    quarters[j] = _mm512_add_pd(_mm512_shuffle_f64x2(a, b, 0x88), _mm512_shuffle_f64x2(a, b, 0xDD));
  }
  // Rows 0, 4, 1, 5, 2, 6, 3, 7, then in order.
  const __m512d mixed = _mm512_add_pd(_mm512_unpacklo_pd(quarters[0], quarters[1]),
                                      _mm512_unpackhi_pd(quarters[0], quarters[1]));
  return _mm512_permutexvar_pd(_mm512_set_epi64(7, 5, 3, 1, 6, 4, 2, 0), mixed);
}

// Stores at `out` the Euclidean distances of eight rows (row(j), of `dim`
// coordinates) from their sums of squares: square roots where the sums are
// in range, the careful way (euclidean()) where not.
template <typename Row, typename RowOf>
VEXEL_AVX512_INLINE void store_roots(__m512d sums, const double* q, RowOf row, std::size_t dim, double* out) {
  const __mmask8 plain = _mm512_cmp_pd_mask(sums, _mm512_set1_pd(1e-280), _CMP_GE_OQ) &
                         _mm512_cmp_pd_mask(sums, _mm512_set1_pd(1e280), _CMP_LE_OQ);
  _mm512_storeu_pd(out, _mm512_sqrt_pd(sums));
  if (plain != 0xFF) {
    for (int j = 0; j < 8; ++j) {
      if (!((plain >> j) & 1)) out[j] = euclidean<Row>(q, row(j), dim);
    }
  }
}

// many_euclidean() for rows of Dim <= 4 coordinates: each sum in scalar
// steps (short_sum_of_squares), eight square roots at once.
template <std::size_t Dim, typename Row>
VEXEL_AVX512 void many_short_euclidean(const double* q, const Row* base, const std::uint32_t* rows,
                                       std::size_t count, double* out) {
  std::size_t done = 0;
  for (; done + 8 <= count; done += 8) {
    const auto row = [&](int j) { return base + std::size_t{rows[done + j]} * Dim; };
    double sum[8];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) sum[j] = short_sum_of_squares<Dim>(q, row(j));
    store_roots<Row>(_mm512_loadu_pd(sum), q, row, Dim, out + done);
  }
  for (; done < count; ++done) out[done] = euclidean(q, base + std::size_t{rows[done]} * Dim, Dim);
}

// many() for Euclidean distances: rows of 5 to 16 coordinates eight at a
// time, sharing each load of the query, their sums totalled together
// (shorter rows: many_short_euclidean); every distance is the one
// euclidean() gives.
template <typename Row>
VEXEL_AVX512 void many_euclidean(const double* q, const Row* base, std::size_t dim, const std::uint32_t* rows,
                                 std::size_t count, double* out) {
  switch (dim) {
    case 1: return many_short_euclidean<1>(q, base, rows, count, out);
    case 2: return many_short_euclidean<2>(q, base, rows, count, out);
    case 3: return many_short_euclidean<3>(q, base, rows, count, out);
    case 4: return many_short_euclidean<4>(q, base, rows, count, out);
    default: break;
  }
  std::size_t done = 0;
  // Longer rows gain nothing: their sums outweigh the totals, and eight
  // rows read side by side stream worse than one after the other.
  for (; dim <= 16 && done + 8 <= count; done += 8) {
    const Row* r[8];
    __m512d lanes[8];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      r[j] = base + std::size_t{rows[done + j]} * dim;
      lanes[j] = _mm512_setzero_pd();
    }
    std::size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
      const __m512d query = load(q + i);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) lanes[j] = _mm512_add_pd(lanes[j], square(_mm512_sub_pd(query, load(r[j] + i))));
    }
    if (i < dim) {
      const __m512d query = load_first(q + i, dim - i);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) {
        lanes[j] = _mm512_add_pd(lanes[j], square(_mm512_sub_pd(query, load_first(r[j] + i, dim - i))));
      }
    }
    store_roots<Row>(totals(lanes), q, [&](int j) { return r[j]; }, dim, out + done);
  }
  for (; done < count; ++done) out[done] = euclidean(q, base + std::size_t{rows[done]} * dim, dim);
}

}  // namespace vexel::detail::avx512

#pragma GCC diagnostic pop
#undef VEXEL_AVX512
#undef VEXEL_AVX512_INLINE
#endif  // VEXEL_SIMD_X86
