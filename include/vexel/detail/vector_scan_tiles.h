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
#include <cstdint>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

namespace vexel::detail::scan {

constexpr std::size_t queries_per_tile = 4;
constexpr std::size_t rows_per_panel = 8;

using Tile = std::uint32_t (*)(const double* const* queries, const double* panel, std::size_t dim,
                               const double* query_terms, const double* row_terms, const double* limits);

struct Tiles {
  Tile euclidean;
  Tile angular;
};

namespace portable {

template <bool Angular>
std::uint32_t tile(const double* const* queries, const double* panel, std::size_t dim, const double* query_terms,
                   const double* row_terms, const double* limits) {
  double dots[queries_per_tile][rows_per_panel] = {};
  for (std::size_t i = 0; i < dim; ++i) {
    const double* x = panel + i * rows_per_panel;
    for (std::size_t m = 0; m < queries_per_tile; ++m) {
      const double q = queries[m][i];
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

}  // namespace portable

#if VEXEL_SIMD_X86
namespace avx2 {

// Eight accumulators (4 queries x 2 halves of the panel) keep the adder
// busy while each product waits on the last.
template <bool Angular>
__attribute__((target("avx2"))) std::uint32_t tile(const double* const* queries, const double* panel,
                                                   std::size_t dim, const double* query_terms,
                                                   const double* row_terms, const double* limits) {
  __m256d low[queries_per_tile], high[queries_per_tile];
  for (std::size_t m = 0; m < queries_per_tile; ++m) low[m] = high[m] = _mm256_setzero_pd();
  const double *q0 = queries[0], *q1 = queries[1], *q2 = queries[2], *q3 = queries[3];
  for (std::size_t i = 0; i < dim; ++i) {
    const __m256d x0 = _mm256_loadu_pd(panel + i * rows_per_panel);
    const __m256d x1 = _mm256_loadu_pd(panel + i * rows_per_panel + 4);
    __m256d b = _mm256_broadcast_sd(q0 + i);
    low[0] = _mm256_add_pd(low[0], _mm256_mul_pd(b, x0));
    high[0] = _mm256_add_pd(high[0], _mm256_mul_pd(b, x1));
    b = _mm256_broadcast_sd(q1 + i);
    low[1] = _mm256_add_pd(low[1], _mm256_mul_pd(b, x0));
    high[1] = _mm256_add_pd(high[1], _mm256_mul_pd(b, x1));
    b = _mm256_broadcast_sd(q2 + i);
    low[2] = _mm256_add_pd(low[2], _mm256_mul_pd(b, x0));
    high[2] = _mm256_add_pd(high[2], _mm256_mul_pd(b, x1));
    b = _mm256_broadcast_sd(q3 + i);
    low[3] = _mm256_add_pd(low[3], _mm256_mul_pd(b, x0));
    high[3] = _mm256_add_pd(high[3], _mm256_mul_pd(b, x1));
  }
  const __m256d terms0 = _mm256_loadu_pd(row_terms), terms1 = _mm256_loadu_pd(row_terms + 4);
  std::uint32_t beyond = 0;
  for (std::size_t m = 0; m < queries_per_tile; ++m) {
    const __m256d term = _mm256_broadcast_sd(query_terms + m);
    const __m256d limit = _mm256_broadcast_sd(limits + m);
    __m256d drop0, drop1;
    if constexpr (Angular) {
      drop0 = _mm256_cmp_pd(_mm256_mul_pd(_mm256_mul_pd(low[m], terms0), term), limit, _CMP_LT_OQ);
      drop1 = _mm256_cmp_pd(_mm256_mul_pd(_mm256_mul_pd(high[m], terms1), term), limit, _CMP_LT_OQ);
    } else {
      drop0 = _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(term, terms0), low[m]), limit, _CMP_GT_OQ);
      drop1 = _mm256_cmp_pd(_mm256_sub_pd(_mm256_add_pd(term, terms1), high[m]), limit, _CMP_GT_OQ);
    }
    const auto bits = static_cast<std::uint32_t>(_mm256_movemask_pd(drop0) | (_mm256_movemask_pd(drop1) << 4));
    beyond |= bits << (m * rows_per_panel);
  }
  return ~beyond;
}

}  // namespace avx2
#endif

// The tiles of `level` (AVX-512 machines take the AVX2 tiles).
inline Tiles tiles_for(simd::Level level) {
#if VEXEL_SIMD_X86
  if (level >= simd::Level::avx2) return {avx2::tile<false>, avx2::tile<true>};
#else
  (void)level;
#endif
  return {portable::tile<false>, portable::tile<true>};
}

}  // namespace vexel::detail::scan
