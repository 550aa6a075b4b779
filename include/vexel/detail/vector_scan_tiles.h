// The inner tile of the scan (vector_scan.h): the dot products of 4 queries
// with a panel of 8 rows, and the test that keeps a pair for measuring.
//
// A panel holds coordinate i of its 8 rows side by side (8 i .. 8 i + 7), so
// that one load brings a coordinate of 4 rows and each query coordinate is
// broadcast against it. The tile returns a mask: bit m * 8 + l is set when
// row l may lie within the bound of query m, that is when
//   Euclidean:  (query_terms[m] + row_terms[l]) - q.x  is not above limits[m]
//   angular:    (q.x * row_terms[l]) * query_terms[m]  is not below limits[m]
// The sums run in any order (the bounds of vector_scan.h allow for that), so
// each level sums as it runs fastest; the kernel measures every kept pair.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel::detail::scan {

constexpr std::size_t queries_per_tile = 4;
constexpr std::size_t rows_per_panel = 8;
constexpr std::size_t wide_step = 4 * queries_per_tile;

inline void spread_queries(const double* const* queries, std::size_t dim, double* out) {
  for (std::size_t i = 0; i < dim; ++i) {
    for (std::size_t m = 0; m < queries_per_tile; ++m) std::fill_n(out + i * wide_step + 4 * m, 4, queries[m][i]);
  }
}

// `count` consecutive panels (and their row terms) against one tile of
// queries: kept[p] is the mask of panel p. The tile's queries come spread
// (spread_queries): coordinate i of query m four times at
// queries[i * wide_step + 4 m], loaded where a broadcast would cost more.
using Tile = void (*)(const double* queries, const double* panels, std::size_t count, std::size_t dim,
                      const double* query_terms, const double* row_terms, const double* limits,
                      std::uint32_t* kept);

struct Tiles {
  Tile euclidean;
  Tile angular;
};

namespace portable {

template <bool Angular>
std::uint32_t tile(const double* queries, const double* panel, std::size_t dim, const double* query_terms,
                   const double* row_terms, const double* limits) {
  double dots[queries_per_tile][rows_per_panel] = {};
  for (std::size_t i = 0; i < dim; ++i) {
    const double* x = panel + i * rows_per_panel;
    for (std::size_t m = 0; m < queries_per_tile; ++m) {
      const double q = queries[i * wide_step + m * 4];
      for (std::size_t l = 0; l < rows_per_panel; ++l) dots[m][l] += q * x[l];
    }
  }
  std::uint32_t kept = 0;
  for (std::size_t m = 0; m < queries_per_tile; ++m) {
    for (std::size_t l = 0; l < rows_per_panel; ++l) {
      const bool beyond = Angular ? (dots[m][l] * row_terms[l]) * query_terms[m] < limits[m]
                                  : (query_terms[m] + row_terms[l]) - dots[m][l] > limits[m];
      if (!beyond) kept |= std::uint32_t{1} << (m * rows_per_panel + l);
    }
  }
  return kept;
}

template <bool Angular>
void tiles(const double* queries, const double* panels, std::size_t count, std::size_t dim,
           const double* query_terms, const double* row_terms, const double* limits, std::uint32_t* kept) {
  for (std::size_t p = 0; p < count; ++p) {
    kept[p] = tile<Angular>(queries, panels + p * dim * rows_per_panel, dim, query_terms,
                            row_terms + p * rows_per_panel, limits);
  }
}

}  // namespace portable

#if VEXEL_SIMD_X86
namespace avx2 {

// The 8 bits of query m: its dots with rows 0-3 in `low`, 4-7 in `high`.
template <bool Angular>
__attribute__((target("avx2"), always_inline)) inline std::uint32_t kept_rows(
    __m256d low, __m256d high, __m256d terms0, __m256d terms1, const double* query_term, const double* limit) {
  const __m256d term = _mm256_broadcast_sd(query_term);
  const __m256d bound = _mm256_broadcast_sd(limit);
  __m256d drop0, drop1;
  if constexpr (Angular) {
    drop0 = _mm256_cmp_pd(_mm256_mul_pd(_mm256_mul_pd(low, terms0), term), bound, _CMP_LT_OQ);
    drop1 = _mm256_cmp_pd(_mm256_mul_pd(_mm256_mul_pd(high, terms1), term), bound, _CMP_LT_OQ);
  } else {
    drop0 = _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(term, terms0), low), bound, _CMP_GT_OQ);
    drop1 = _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(term, terms1), high), bound, _CMP_GT_OQ);
  }
  const auto dropped = static_cast<std::uint32_t>(_mm256_movemask_pd(drop0) | (_mm256_movemask_pd(drop1) << 4));
  return ~dropped & 0xFFu;
}

// Eight accumulators (4 queries x 2 halves of the panel), each its own
// variable so that all stay in registers, keep the adder busy while each
// product waits on the last.
template <bool Angular>
__attribute__((target("avx2"))) void tiles(const double* queries, const double* panels, std::size_t count,
                                           std::size_t dim, const double* query_terms, const double* row_terms,
                                           const double* limits, std::uint32_t* kept) {
  for (std::size_t p = 0; p < count; ++p) {
    const double* panel = panels + p * dim * rows_per_panel;
    __m256d a0 = _mm256_setzero_pd(), a1 = a0, b0 = a0, b1 = a0, c0 = a0, c1 = a0, d0 = a0, d1 = a0;
    for (std::size_t i = 0; i < dim; ++i) {
      const __m256d x0 = _mm256_loadu_pd(panel + i * rows_per_panel);
      const __m256d x1 = _mm256_loadu_pd(panel + i * rows_per_panel + 4);
      const double* q = queries + i * wide_step;
      a0 = _mm256_add_pd(a0, _mm256_mul_pd(_mm256_loadu_pd(q), x0));
      a1 = _mm256_add_pd(a1, _mm256_mul_pd(_mm256_loadu_pd(q), x1));
      b0 = _mm256_add_pd(b0, _mm256_mul_pd(_mm256_loadu_pd(q + 4), x0));
      b1 = _mm256_add_pd(b1, _mm256_mul_pd(_mm256_loadu_pd(q + 4), x1));
      c0 = _mm256_add_pd(c0, _mm256_mul_pd(_mm256_loadu_pd(q + 8), x0));
      c1 = _mm256_add_pd(c1, _mm256_mul_pd(_mm256_loadu_pd(q + 8), x1));
      d0 = _mm256_add_pd(d0, _mm256_mul_pd(_mm256_loadu_pd(q + 12), x0));
      d1 = _mm256_add_pd(d1, _mm256_mul_pd(_mm256_loadu_pd(q + 12), x1));
    }
    const double* terms = row_terms + p * rows_per_panel;
    const __m256d terms0 = _mm256_loadu_pd(terms), terms1 = _mm256_loadu_pd(terms + 4);
    kept[p] = kept_rows<Angular>(a0, a1, terms0, terms1, query_terms, limits) |
              kept_rows<Angular>(b0, b1, terms0, terms1, query_terms + 1, limits + 1) << 8 |
              kept_rows<Angular>(c0, c1, terms0, terms1, query_terms + 2, limits + 2) << 16 |
              kept_rows<Angular>(d0, d1, terms0, terms1, query_terms + 3, limits + 3) << 24;
  }
}

}  // namespace avx2
#endif

// The tiles of `level` (AVX-512 machines take the AVX2 tiles).
inline Tiles tiles_for(simd::Level level) {
#if VEXEL_SIMD_X86
  if (level >= simd::Level::avx2) return {avx2::tiles<false>, avx2::tiles<true>};
#else
  (void)level;
#endif
  return {portable::tiles<false>, portable::tiles<true>};
}

}  // namespace vexel::detail::scan
