// The inner tile of the scan (vector_scan.h): the dot products of 4 queries
// with a panel of 16 rows, in single precision, and the test that keeps a
// pair for measuring.
//
// A panel holds coordinate i of its 16 rows side by side (16 i .. 16 i + 15),
// so that one load brings a coordinate of 8 rows (16 with AVX-512). The
// tile returns a mask: bit 16 m + l is set when row l may lie within the
// bound of query m, that is when its value
//   Euclidean:  (query_terms[m] + row_terms[l]) - q.x  is not above limits[m]
//   angular:    (q.x * row_terms[l]) * query_terms[m]  is not below limits[m]
// and, unless `values` is null, it writes each value to values[16 m + l],
// so that the scan can test a pair again under a tighter limit, and measure
// the nearest pairs first.
// The sums run in any order (the bounds of vector_scan.h allow for that), so
// each level sums as it runs fastest; the kernel measures every kept pair.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel::detail::scan {

constexpr std::size_t queries_per_tile = 4;
constexpr std::size_t rows_per_panel = 16;
// Floats per coordinate of a tile's spread queries: each coordinate of each
// query eight times, loaded where a broadcast would cost more.
constexpr std::size_t wide_step = 8 * queries_per_tile;

inline void spread_queries(const float* const* queries, std::size_t dim, float* out) {
  for (std::size_t i = 0; i < dim; ++i) {
    for (std::size_t m = 0; m < queries_per_tile; ++m) std::fill_n(out + i * wide_step + 8 * m, 8, queries[m][i]);
  }
}

constexpr std::size_t values_per_panel = queries_per_tile * rows_per_panel;

// `count` consecutive panels (and their row terms) against one tile of
// spread queries: kept[p] is the mask of panel p, and its values start at
// values + p * values_per_panel (none are written where values is null).
using Tile = void (*)(const float* queries, const float* panels, std::size_t count, std::size_t dim,
                      const float* query_terms, const float* row_terms, const float* limits, std::uint64_t* kept,
                      float* values);

struct Tiles {
  Tile euclidean;
  Tile angular;
};

namespace portable {

template <bool Angular>
std::uint64_t tile(const float* queries, const float* panel, std::size_t dim, const float* query_terms,
                   const float* row_terms, const float* limits, float* values) {
  float dots[queries_per_tile][rows_per_panel] = {};
  for (std::size_t i = 0; i < dim; ++i) {
    const float* x = panel + i * rows_per_panel;
    for (std::size_t m = 0; m < queries_per_tile; ++m) {
      const float q = queries[i * wide_step + 8 * m];
      for (std::size_t l = 0; l < rows_per_panel; ++l) dots[m][l] += q * x[l];
    }
  }
  std::uint64_t kept = 0;
  for (std::size_t m = 0; m < queries_per_tile; ++m) {
    for (std::size_t l = 0; l < rows_per_panel; ++l) {
      const float value = Angular ? (dots[m][l] * row_terms[l]) * query_terms[m]
                                  : (query_terms[m] + row_terms[l]) - dots[m][l];
      if (values != nullptr) values[m * rows_per_panel + l] = value;
      const bool beyond = Angular ? value < limits[m] : value > limits[m];
      if (!beyond) kept |= std::uint64_t{1} << (m * rows_per_panel + l);
    }
  }
  return kept;
}

template <bool Angular>
void tiles(const float* queries, const float* panels, std::size_t count, std::size_t dim, const float* query_terms,
           const float* row_terms, const float* limits, std::uint64_t* kept, float* values) {
  for (std::size_t p = 0; p < count; ++p) {
    kept[p] = tile<Angular>(queries, panels + p * dim * rows_per_panel, dim, query_terms,
                            row_terms + p * rows_per_panel, limits,
                            values != nullptr ? values + p * values_per_panel : nullptr);
  }
}

}  // namespace portable

#if VEXEL_SIMD_X86
namespace avx2 {

// The 16 bits of query m: its dots with rows 0-7 in `low`, 8-15 in `high`;
// the 16 values go to `values`.
template <bool Angular>
__attribute__((target("avx2"), always_inline)) inline std::uint64_t kept_rows(
    __m256 low, __m256 high, __m256 terms0, __m256 terms1, const float* query_term, const float* limit,
    float* values) {
  const __m256 term = _mm256_broadcast_ss(query_term);
  const __m256 bound = _mm256_broadcast_ss(limit);
  __m256 value0, value1, drop0, drop1;
  if constexpr (Angular) {
    value0 = _mm256_mul_ps(_mm256_mul_ps(low, terms0), term);
    value1 = _mm256_mul_ps(_mm256_mul_ps(high, terms1), term);
    drop0 = _mm256_cmp_ps(value0, bound, _CMP_LT_OQ);
    drop1 = _mm256_cmp_ps(value1, bound, _CMP_LT_OQ);
  } else {
    value0 = _mm256_sub_ps(_mm256_add_ps(term, terms0), low);
    value1 = _mm256_sub_ps(_mm256_add_ps(term, terms1), high);
    drop0 = _mm256_cmp_ps(value0, bound, _CMP_GT_OQ);
    drop1 = _mm256_cmp_ps(value1, bound, _CMP_GT_OQ);
  }
  if (values != nullptr) {
    _mm256_storeu_ps(values, value0);
    _mm256_storeu_ps(values + 8, value1);
  }
  const auto dropped = static_cast<std::uint64_t>(_mm256_movemask_ps(drop0) | (_mm256_movemask_ps(drop1) << 8));
  return ~dropped & 0xFFFFu;
}

// Keeps `value` in a register: the compiler would otherwise fold its load
// into each multiply-add that uses it, one load per use, and loads, not
// multiply-adds, would then set the pace.
__attribute__((target("avx2"), always_inline)) inline void in_register(__m256& value) {
  __asm__("" : "+x"(value));
}

// Eight accumulators (4 queries x 2 halves of the panel), each its own
// variable so that all stay in registers, keep both fused multiply-adders
// busy while each sum waits on the last. Fused or not, the sums stay within
// the bounds of vector_scan.h.
template <bool Angular>
__attribute__((target("avx2,fma"))) void tiles(const float* queries, const float* panels, std::size_t count,
                                           std::size_t dim, const float* query_terms, const float* row_terms,
                                           const float* limits, std::uint64_t* kept, float* values) {
  for (std::size_t p = 0; p < count; ++p) {
    const float* panel = panels + p * dim * rows_per_panel;
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0, d0 = a0, d1 = a0;
    for (std::size_t i = 0; i < dim; ++i) {
      const __m256 x0 = _mm256_loadu_ps(panel + i * rows_per_panel);
      const __m256 x1 = _mm256_loadu_ps(panel + i * rows_per_panel + 8);
      const float* q = queries + i * wide_step;
      __m256 qa = _mm256_loadu_ps(q), qb = _mm256_loadu_ps(q + 8);
      __m256 qc = _mm256_loadu_ps(q + 16), qd = _mm256_loadu_ps(q + 24);
      in_register(qa);
      in_register(qb);
      in_register(qc);
      in_register(qd);
      a0 = _mm256_fmadd_ps(qa, x0, a0);
      a1 = _mm256_fmadd_ps(qa, x1, a1);
      b0 = _mm256_fmadd_ps(qb, x0, b0);
      b1 = _mm256_fmadd_ps(qb, x1, b1);
      c0 = _mm256_fmadd_ps(qc, x0, c0);
      c1 = _mm256_fmadd_ps(qc, x1, c1);
      d0 = _mm256_fmadd_ps(qd, x0, d0);
      d1 = _mm256_fmadd_ps(qd, x1, d1);
    }
    const float* terms = row_terms + p * rows_per_panel;
    const __m256 terms0 = _mm256_loadu_ps(terms), terms1 = _mm256_loadu_ps(terms + 8);
    float* out = values != nullptr ? values + p * values_per_panel : nullptr;
    const auto at = [out](std::size_t m) { return out != nullptr ? out + m * rows_per_panel : nullptr; };
    kept[p] = kept_rows<Angular>(a0, a1, terms0, terms1, query_terms, limits, at(0)) |
              kept_rows<Angular>(b0, b1, terms0, terms1, query_terms + 1, limits + 1, at(1)) << 16 |
              kept_rows<Angular>(c0, c1, terms0, terms1, query_terms + 2, limits + 2, at(2)) << 32 |
              kept_rows<Angular>(d0, d1, terms0, terms1, query_terms + 3, limits + 3, at(3)) << 48;
  }
}

}  // namespace avx2

namespace avx512 {

// The 16 bits of query m for one panel: its dots with the panel's 16 rows
// in `dots`; the 16 values go to `values`.
template <bool Angular>
__attribute__((target("avx512f"), always_inline)) inline std::uint64_t kept_rows(__m512 dots, __m512 terms,
                                                                                 const float* query_term,
                                                                                 const float* limit, float* values) {
  const __m512 term = _mm512_set1_ps(*query_term);
  const __m512 bound = _mm512_set1_ps(*limit);
  __m512 value;
  __mmask16 dropped;
  if constexpr (Angular) {
    value = _mm512_mul_ps(_mm512_mul_ps(dots, terms), term);
    dropped = _mm512_cmp_ps_mask(value, bound, _CMP_LT_OQ);
  } else {
    value = _mm512_sub_ps(_mm512_add_ps(term, terms), dots);
    dropped = _mm512_cmp_ps_mask(value, bound, _CMP_GT_OQ);
  }
  if (values != nullptr) _mm512_storeu_ps(values, value);
  return ~static_cast<std::uint64_t>(dropped) & 0xFFFFu;
}

// The masks (and values) of panel p from its four accumulators.
template <bool Angular>
__attribute__((target("avx512f"), always_inline)) inline void finish_panel(
    std::size_t p, __m512 a, __m512 b, __m512 c, __m512 d, const float* query_terms, const float* row_terms,
    const float* limits, std::uint64_t* kept, float* values) {
  const __m512 terms = _mm512_loadu_ps(row_terms + p * rows_per_panel);
  float* out = values != nullptr ? values + p * values_per_panel : nullptr;
  const auto at = [out](std::size_t m) { return out != nullptr ? out + m * rows_per_panel : nullptr; };
  kept[p] = kept_rows<Angular>(a, terms, query_terms, limits, at(0)) |
            kept_rows<Angular>(b, terms, query_terms + 1, limits + 1, at(1)) << 16 |
            kept_rows<Angular>(c, terms, query_terms + 2, limits + 2, at(2)) << 32 |
            kept_rows<Angular>(d, terms, query_terms + 3, limits + 3, at(3)) << 48;
}

// Two panels at a time, a register holding a coordinate of a panel's 16
// rows: eight accumulators, each query's coordinate broadcast from the
// spread queries. Every lane sums its products in the order of the AVX2
// tiles, so both give the same values.
template <bool Angular>
__attribute__((target("avx512f"))) void tiles(const float* queries, const float* panels, std::size_t count,
                                              std::size_t dim, const float* query_terms, const float* row_terms,
                                              const float* limits, std::uint64_t* kept, float* values) {
  std::size_t p = 0;
  for (; p + 2 <= count; p += 2) {
    const float* first = panels + p * dim * rows_per_panel;
    const float* second = first + dim * rows_per_panel;
    __m512 a0 = _mm512_setzero_ps(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0, d0 = a0, d1 = a0;
    for (std::size_t i = 0; i < dim; ++i) {
      const __m512 x0 = _mm512_loadu_ps(first + i * rows_per_panel);
      const __m512 x1 = _mm512_loadu_ps(second + i * rows_per_panel);
      const float* q = queries + i * wide_step;
      const __m512 qa = _mm512_set1_ps(q[0]), qb = _mm512_set1_ps(q[8]);
      const __m512 qc = _mm512_set1_ps(q[16]), qd = _mm512_set1_ps(q[24]);
      a0 = _mm512_fmadd_ps(qa, x0, a0);
      a1 = _mm512_fmadd_ps(qa, x1, a1);
      b0 = _mm512_fmadd_ps(qb, x0, b0);
      b1 = _mm512_fmadd_ps(qb, x1, b1);
      c0 = _mm512_fmadd_ps(qc, x0, c0);
      c1 = _mm512_fmadd_ps(qc, x1, c1);
      d0 = _mm512_fmadd_ps(qd, x0, d0);
      d1 = _mm512_fmadd_ps(qd, x1, d1);
    }
    finish_panel<Angular>(p, a0, b0, c0, d0, query_terms, row_terms, limits, kept, values);
    finish_panel<Angular>(p + 1, a1, b1, c1, d1, query_terms, row_terms, limits, kept, values);
  }
  if (p < count) {
    const float* panel = panels + p * dim * rows_per_panel;
    __m512 a = _mm512_setzero_ps(), b = a, c = a, d = a;
    for (std::size_t i = 0; i < dim; ++i) {
      const __m512 x = _mm512_loadu_ps(panel + i * rows_per_panel);
      const float* q = queries + i * wide_step;
      a = _mm512_fmadd_ps(_mm512_set1_ps(q[0]), x, a);
      b = _mm512_fmadd_ps(_mm512_set1_ps(q[8]), x, b);
      c = _mm512_fmadd_ps(_mm512_set1_ps(q[16]), x, c);
      d = _mm512_fmadd_ps(_mm512_set1_ps(q[24]), x, d);
    }
    finish_panel<Angular>(p, a, b, c, d, query_terms, row_terms, limits, kept, values);
  }
}

}  // namespace avx512
#endif

// The tiles of `level` (the AVX2 tiles need FMA as well: every processor
// with AVX2 we know of has it).
inline Tiles tiles_for(simd::Level level) {
#if VEXEL_SIMD_X86
  if (level >= simd::Level::avx512) return {avx512::tiles<false>, avx512::tiles<true>};
  if (level >= simd::Level::avx2 && __builtin_cpu_supports("fma")) return {avx2::tiles<false>, avx2::tiles<true>};
#else
  (void)level;
#endif
  return {portable::tiles<false>, portable::tiles<true>};
}

}  // namespace vexel::detail::scan
