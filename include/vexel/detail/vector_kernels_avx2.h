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

// The first `count` (1 to 3) elements at p, zeros after; reads nothing
// beyond. Plain loads of one and two elements: a masked load costs more on
// some processors.
VEXEL_AVX2_INLINE __m256d load_first(const double* p, std::size_t count) {
  const __m128d low = count >= 2 ? _mm_loadu_pd(p) : _mm_load_sd(p);
  const __m128d high = count == 3 ? _mm_load_sd(p + 2) : _mm_setzero_pd();
  return _mm256_insertf128_pd(_mm256_castpd128_pd256(low), high, 1);
}
// Floats keep the masked load.
VEXEL_AVX2_INLINE __m256d load_first(const float* p, std::size_t count) {
  alignas(16) static const std::int32_t ones_then_zeros[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
  const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ones_then_zeros + 4 - count));
  return _mm256_cvtps_pd(_mm_maskload_ps(p, mask));
}

VEXEL_AVX2_INLINE __m256d magnitude(__m256d x) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }
VEXEL_AVX2_INLINE __m256d square(__m256d x) { return unfused(_mm256_mul_pd(x, x)); }

// One sum in the fixed lane order: lanes 0-3 in half[0], lanes 4-7 in half[1].
struct LaneSum {
  __m256d half[2];
  VEXEL_AVX2_INLINE LaneSum() : half{_mm256_setzero_pd(), _mm256_setzero_pd()} {}
  VEXEL_AVX2_INLINE void add(int h, __m256d term) { half[h] = _mm256_add_pd(half[h], term); }
  // s = l[0..3] + l[4..7], t = s[0..1] + s[2..3], t[0] + t[1].
  VEXEL_AVX2_INLINE double total() const {
    const __m256d s = _mm256_add_pd(half[0], half[1]);
    const __m128d t = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
    return _mm_cvtsd_f64(_mm_add_sd(t, _mm_unpackhi_pd(t, t)));
  }
};

// The largest of magnitudes, compared as integers: the bits of doubles
// without a sign order like the numbers, and NaN ranks above infinity, so a
// NaN wins and is kept.
struct LaneMax {
  __m256i half[2];
  VEXEL_AVX2_INLINE LaneMax() : half{_mm256_setzero_si256(), _mm256_setzero_si256()} {}
  VEXEL_AVX2_INLINE void add(int h, __m256d value) {
    const __m256i m = _mm256_castpd_si256(value);
    half[h] = _mm256_blendv_epi8(half[h], m, _mm256_cmpgt_epi64(m, half[h]));
  }
  VEXEL_AVX2_INLINE double total() const {
    alignas(32) std::int64_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), half[0]);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 4), half[1]);
    std::int64_t most = 0;
    for (std::int64_t lane : lanes) most = lane > most ? lane : most;
    double result;
    std::memcpy(&result, &most, sizeof result);
    return result;
  }
};

// The steps that fold() applies to 4 coordinate pairs at a time.
struct SumOfSquares {
  LaneSum sum;
  VEXEL_AVX2_INLINE SumOfSquares() {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) { sum.add(h, square(_mm256_sub_pd(q, r))); }
};

struct SumOfMagnitudes {
  LaneSum sum;
  VEXEL_AVX2_INLINE SumOfMagnitudes() {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) { sum.add(h, magnitude(_mm256_sub_pd(q, r))); }
};

struct LargestDifference {
  LaneMax largest;
  VEXEL_AVX2_INLINE LargestDifference() {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) { largest.add(h, magnitude(_mm256_sub_pd(q, r))); }
};

struct LargestCoordinates {
  LaneMax q_largest, r_largest;
  VEXEL_AVX2_INLINE LargestCoordinates() {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) {
    q_largest.add(h, magnitude(q));
    r_largest.add(h, magnitude(r));
  }
};

// The sums of squares of q / q_scale and r / r_scale.
struct ScaledSquares {
  __m256d q_scale, r_scale;
  LaneSum q_sum, r_sum;
  VEXEL_AVX2_INLINE ScaledSquares(double q_by, double r_by)
      : q_scale(_mm256_set1_pd(q_by)), r_scale(_mm256_set1_pd(r_by)) {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) {
    q_sum.add(h, square(_mm256_div_pd(q, q_scale)));
    r_sum.add(h, square(_mm256_div_pd(r, r_scale)));
  }
};

// The sums of (u - v)^2 and (u + v)^2 for u = q / q_scale / q_norm, v likewise.
struct UnitDifferences {
  __m256d q_scale, q_norm, r_scale, r_norm;
  LaneSum minus, plus;
  VEXEL_AVX2_INLINE UnitDifferences(double q_by, double q_then_by, double r_by, double r_then_by)
      : q_scale(_mm256_set1_pd(q_by)), q_norm(_mm256_set1_pd(q_then_by)),
        r_scale(_mm256_set1_pd(r_by)), r_norm(_mm256_set1_pd(r_then_by)) {}
  VEXEL_AVX2_INLINE void add(int h, __m256d q, __m256d r) {
    const __m256d u = _mm256_div_pd(_mm256_div_pd(q, q_scale), q_norm);
    const __m256d v = _mm256_div_pd(_mm256_div_pd(r, r_scale), r_norm);
    minus.add(h, square(_mm256_sub_pd(u, v)));
    plus.add(h, square(_mm256_add_pd(u, v)));
  }
};

// Applies `step` to the n coordinate pairs, 8 at a time: the first 4 go to
// lanes 0-3, the next 4 to lanes 4-7. Zero coordinates pad the last group:
// they add nothing to any lane.
template <typename Step, typename Row>
VEXEL_AVX2_INLINE void fold(const double* q, const Row* r, std::size_t n, Step& step) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    step.add(0, load(q + i), load(r + i));
    step.add(1, load(q + i + 4), load(r + i + 4));
  }
  const std::size_t left = n - i;
  if (left >= 4) {
    step.add(0, load(q + i), load(r + i));
    if (left > 4) step.add(1, load_first(q + i + 4, left - 4), load_first(r + i + 4, left - 4));
  } else if (left > 0) {
    step.add(0, load_first(q + i, left), load_first(r + i, left));
  }
}

#define VEXEL_KERNEL VEXEL_AVX2
#define VEXEL_KERNEL_INLINE VEXEL_AVX2_INLINE
#include "vexel/detail/vector_kernels_from_folds.inc"
#undef VEXEL_KERNEL
#undef VEXEL_KERNEL_INLINE

// The totals of four LaneSums at once, each summed exactly as
// LaneSum::total sums it, in the order of the rows.
VEXEL_AVX2_INLINE __m256d totals(const LaneSum& a, const LaneSum& b, const LaneSum& c, const LaneSum& d) {
  const __m256d sa = _mm256_add_pd(a.half[0], a.half[1]), sb = _mm256_add_pd(b.half[0], b.half[1]);
  const __m256d sc = _mm256_add_pd(c.half[0], c.half[1]), sd = _mm256_add_pd(d.half[0], d.half[1]);
  // t of rows a and b side by side, then of rows c and d.
  const __m256d ab = _mm256_add_pd(_mm256_permute2f128_pd(sa, sb, 0x20), _mm256_permute2f128_pd(sa, sb, 0x31));
  const __m256d cd = _mm256_add_pd(_mm256_permute2f128_pd(sc, sd, 0x20), _mm256_permute2f128_pd(sc, sd, 0x31));
  // Rows a, c, b, d, then in order.
  return _mm256_permute4x64_pd(_mm256_hadd_pd(ab, cd), 0xD8);
}

// Stores at `out` the Euclidean distances of four rows (row(j), of `dim`
// coordinates) from their sums of squares: square roots where the sums are
// in range, the careful way (euclidean()) where not.
template <typename Row, typename RowOf>
VEXEL_AVX2_INLINE void store_roots(__m256d sums, const double* q, RowOf row, std::size_t dim, double* out) {
  const int plain = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(sums, _mm256_set1_pd(1e-280), _CMP_GE_OQ),
                                                     _mm256_cmp_pd(sums, _mm256_set1_pd(1e280), _CMP_LE_OQ)));
  _mm256_storeu_pd(out, _mm256_sqrt_pd(sums));
  if (plain != 0xF) {
    for (int j = 0; j < 4; ++j) {
      if (!((plain >> j) & 1)) out[j] = euclidean<Row>(q, row(j), dim);
    }
  }
}

// many_euclidean() for rows of Dim <= 4 coordinates: each sum in scalar
// steps (short_sum_of_squares), four square roots at once.
template <std::size_t Dim, typename Row>
VEXEL_AVX2 void many_short_euclidean(const double* q, const Row* base, const std::uint32_t* rows,
                                     std::size_t count, double* out) {
  std::size_t done = 0;
  for (; done + 4 <= count; done += 4) {
    const auto row = [&](int j) { return base + std::size_t{rows[done + j]} * Dim; };
    double sum[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) sum[j] = short_sum_of_squares<Dim>(q, row(j));
    store_roots<Row>(_mm256_loadu_pd(sum), q, row, Dim, out + done);
  }
  for (; done < count; ++done) out[done] = euclidean(q, base + std::size_t{rows[done]} * Dim, Dim);
}

// many() for Euclidean distances: rows four at a time, sharing each load of
// the query, folded as fold() folds one row and totalled together (rows of
// 1 to 4 coordinates: many_short_euclidean); every distance is the one
// euclidean() gives. The four rows are named one by one
// rather than held in arrays, which only -O3 keeps in registers.
//
// Rows of more than 16 coordinates ask for the next four rows a cache line
// a step: four rows read side by side defeat the hardware's prefetcher,
// which follows one stream per load, and would wait on memory.
template <typename Row>
VEXEL_AVX2 void many_euclidean(const double* q, const Row* base, std::size_t dim, const std::uint32_t* rows,
                               std::size_t count, double* out) {
  switch (dim) {
    case 1: return many_short_euclidean<1>(q, base, rows, count, out);
    case 2: return many_short_euclidean<2>(q, base, rows, count, out);
    case 3: return many_short_euclidean<3>(q, base, rows, count, out);
    case 4: return many_short_euclidean<4>(q, base, rows, count, out);
    default: break;
  }
  std::size_t done = 0;
  for (; done + 4 <= count; done += 4) {
    const Row* r0 = base + std::size_t{rows[done]} * dim;
    const Row* r1 = base + std::size_t{rows[done + 1]} * dim;
    const Row* r2 = base + std::size_t{rows[done + 2]} * dim;
    const Row* r3 = base + std::size_t{rows[done + 3]} * dim;
    const bool fetch_next = dim > 16 && done + 8 <= count;
    const Row* n0 = fetch_next ? base + std::size_t{rows[done + 4]} * dim : r0;
    const Row* n1 = fetch_next ? base + std::size_t{rows[done + 5]} * dim : r1;
    const Row* n2 = fetch_next ? base + std::size_t{rows[done + 6]} * dim : r2;
    const Row* n3 = fetch_next ? base + std::size_t{rows[done + 7]} * dim : r3;
    SumOfSquares s0, s1, s2, s3;
    std::size_t i = 0;
    for (; i + 8 <= dim; i += 8) {
      if (fetch_next) {  // 8 coordinates: a line of doubles, half of one of floats
        _mm_prefetch(reinterpret_cast<const char*>(n0 + i), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(n1 + i), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(n2 + i), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(n3 + i), _MM_HINT_T0);
      }
      const __m256d low = load(q + i), high = load(q + i + 4);
      s0.add(0, low, load(r0 + i));
      s1.add(0, low, load(r1 + i));
      s2.add(0, low, load(r2 + i));
      s3.add(0, low, load(r3 + i));
      s0.add(1, high, load(r0 + i + 4));
      s1.add(1, high, load(r1 + i + 4));
      s2.add(1, high, load(r2 + i + 4));
      s3.add(1, high, load(r3 + i + 4));
    }
    const std::size_t left = dim - i;
    if (left >= 4) {
      const __m256d low = load(q + i);
      s0.add(0, low, load(r0 + i));
      s1.add(0, low, load(r1 + i));
      s2.add(0, low, load(r2 + i));
      s3.add(0, low, load(r3 + i));
      if (left > 4) {
        const std::size_t n = left - 4;
        const __m256d high = load_first(q + i + 4, n);
        s0.add(1, high, load_first(r0 + i + 4, n));
        s1.add(1, high, load_first(r1 + i + 4, n));
        s2.add(1, high, load_first(r2 + i + 4, n));
        s3.add(1, high, load_first(r3 + i + 4, n));
      }
    } else if (left > 0) {
      const __m256d low = load_first(q + i, left);
      s0.add(0, low, load_first(r0 + i, left));
      s1.add(0, low, load_first(r1 + i, left));
      s2.add(0, low, load_first(r2 + i, left));
      s3.add(0, low, load_first(r3 + i, left));
    }
    const Row* r[4] = {r0, r1, r2, r3};
    store_roots<Row>(totals(s0.sum, s1.sum, s2.sum, s3.sum), q, [&](int j) { return r[j]; }, dim, out + done);
  }
  for (; done < count; ++done) out[done] = euclidean(q, base + std::size_t{rows[done]} * dim, dim);
}

}  // namespace vexel::detail::avx2

#undef VEXEL_AVX2
#undef VEXEL_AVX2_INLINE
#endif  // VEXEL_SIMD_X86
