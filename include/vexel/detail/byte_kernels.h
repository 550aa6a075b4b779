// Distances between rows of bytes (whole numbers 0 to 255), summed exactly
// in integers: portable C++, AVX2, and for Euclidean distance AVX-512
// VNNI. Every sum of a row is a whole number below 2^31 (rows of
// at most byte_kernel_max_dim bytes), so its double, and the square root
// of that, are what the double kernels compute from the same numbers, to
// the last bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>
#endif

// g++ 12 warns about the deliberately undefined registers inside its own
// AVX-512 intrinsics (its bug 105593) wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vexel::detail {

// dim * 255^2 stays below 2^31 up to this many bytes a row.
constexpr std::size_t byte_kernel_max_dim = 32768;

enum class ByteMetric { euclidean, manhattan, chebyshev };

// A query of bytes, prepared once a search.
struct ByteQuery {
  const std::uint8_t* bytes;   // its dim bytes
  const std::int8_t* centred;  // each byte less 128, then zeros up to a multiple of 64
  std::int64_t squares;        // the sum of the squares of its bytes
};

// Rows of bytes, one after the other, and for each row r the sum of
// r_j (r_j - 256): with it, sum_j (q_j - r_j)^2 = sum_j q_j^2 + offset(r)
// - 2 sum_j r_j (q_j - 128), a dot product of bytes and signed bytes that
// one AVX-512 VNNI instruction takes 64 at a time.
struct ByteTable {
  const std::uint8_t* base;
  std::size_t dim;
  const std::int32_t* offsets;
};

using ByteKernel = void (*)(const ByteQuery& query, const ByteTable& table, const std::uint32_t* rows,
                            std::size_t count, double* out);

// `total` and the bytes of a row from `from` on: all of them in portable
// code, what the vector steps leave elsewhere.
template <ByteMetric metric>
inline std::uint32_t byte_tail(const std::uint8_t* q, const std::uint8_t* r, std::size_t from, std::size_t dim,
                               std::uint32_t total) {
  for (std::size_t j = from; j < dim; ++j) {
    const int d = int{q[j]} - int{r[j]};
    if constexpr (metric == ByteMetric::euclidean) total += static_cast<std::uint32_t>(d * d);
    if constexpr (metric == ByteMetric::manhattan) total += static_cast<std::uint32_t>(std::abs(d));
    if constexpr (metric == ByteMetric::chebyshev) total = std::max(total, static_cast<std::uint32_t>(std::abs(d)));
  }
  return total;
}

namespace portable_bytes {

template <ByteMetric metric>
void distances(const ByteQuery& query, const ByteTable& table, const std::uint32_t* rows, std::size_t count,
               double* out) {
  const std::uint8_t *q = query.bytes, *base = table.base;
  const std::size_t dim = table.dim;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* r = base + std::size_t{rows[i]} * dim;
    const double sum = static_cast<double>(byte_tail<metric>(q, r, 0, dim, 0));
    out[i] = metric == ByteMetric::euclidean ? std::sqrt(sum) : sum;
  }
}

}  // namespace portable_bytes

#if VEXEL_SIMD_X86

// Asks for the row `ahead` places on while this one is measured: the rows
// of a leaf that its filter keeps lie apart, and each is soon done. Its
// first lines suffice; the hardware follows longer rows.
inline void fetch_ahead(const std::uint8_t* base, std::size_t dim, const std::uint32_t* rows, std::size_t i,
                        std::size_t count) {
  constexpr std::size_t ahead = 16, line = 64;
  if (i + ahead >= count) return;
  const char* r = reinterpret_cast<const char*>(base + std::size_t{rows[i + ahead]} * dim);
  const std::size_t lines = std::min<std::size_t>((dim + line - 1) / line, 4);
  for (std::size_t l = 0; l < lines; ++l) _mm_prefetch(r + l * line, _MM_HINT_T0);
}

namespace avx2_bytes {

__attribute__((target("avx2"))) inline std::uint32_t add_lanes(__m256i lanes) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4e));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xb1));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s));
}

template <ByteMetric metric>
__attribute__((target("avx2"))) void distances(const ByteQuery& query, const ByteTable& table,
                                               const std::uint32_t* rows, std::size_t count, double* out) {
  const std::uint8_t *q = query.bytes, *base = table.base;
  const std::size_t dim = table.dim;
  constexpr std::size_t step = metric == ByteMetric::euclidean ? 16 : 32;
  const std::size_t whole = dim / step * step;
  for (std::size_t i = 0; i < count; ++i) {
    fetch_ahead(base, dim, rows, i, count);
    const std::uint8_t* r = base + std::size_t{rows[i]} * dim;
    __m256i lanes = _mm256_setzero_si256();
    for (std::size_t j = 0; j < whole; j += step) {
      if constexpr (metric == ByteMetric::euclidean) {
        const __m256i a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + j)));
        const __m256i b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + j)));
        const __m256i d = _mm256_sub_epi16(a, b);
        lanes = _mm256_add_epi32(lanes, _mm256_madd_epi16(d, d));
      } else {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + j));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + j));
        if constexpr (metric == ByteMetric::manhattan) {
          lanes = _mm256_add_epi64(lanes, _mm256_sad_epu8(a, b));
        } else {
          lanes = _mm256_max_epu8(lanes, _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a)));
        }
      }
    }
    std::uint32_t total = 0;
    if constexpr (metric == ByteMetric::chebyshev) {
      alignas(32) std::uint8_t largest[32];
      _mm256_store_si256(reinterpret_cast<__m256i*>(largest), lanes);
      total = *std::max_element(largest, largest + 32);
    } else {
      // Manhattan's four 64-bit sums are each below 2^32: as 32-bit lanes
      // their high halves are 0.
      total = add_lanes(lanes);
    }
    out[i] = static_cast<double>(byte_tail<metric>(q, r, whole, dim, total));
  }
  if constexpr (metric == ByteMetric::euclidean) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) _mm256_storeu_pd(out + i, _mm256_sqrt_pd(_mm256_loadu_pd(out + i)));
    for (; i < count; ++i) out[i] = std::sqrt(out[i]);
  }
}

}  // namespace avx2_bytes

namespace avx512_bytes {

#define VEXEL_AVX512VNNI __attribute__((target("avx512f,avx512bw,avx512vnni")))

// The sum of 16 lanes, folded to 4.
VEXEL_AVX512VNNI inline __m128i fold_to_four(__m512i lanes) {
  const __m256i half = _mm256_add_epi32(_mm512_castsi512_si256(lanes), _mm512_extracti64x4_epi64(lanes, 1));
  return _mm_add_epi32(_mm256_castsi256_si128(half), _mm256_extracti128_si256(half, 1));
}

// sum + the products of 64 bytes of r and of q, from `at`: those of the
// row alone in its `last` step (`within` its end).
VEXEL_AVX512VNNI inline __m512i dot_step(__m512i sum, const std::int8_t* q, const std::uint8_t* r, std::size_t at,
                                         std::size_t last, __mmask64 within) {
  const __m512i qv = _mm512_loadu_si512(q + at);
  const __m512i rv = at == last ? _mm512_maskz_loadu_epi8(within, r + at) : _mm512_loadu_si512(r + at);
  return _mm512_dpbusd_epi32(sum, rv, qv);
}

// Euclidean through the dot products of ByteTable, four rows at a time:
// their sums come out of the registers together, in one pass of horizontal
// additions rather than one a row. Every term is a whole number below 2^53, so the sum in double is exact.
VEXEL_AVX512VNNI void dot_euclidean(const ByteQuery& query, const ByteTable& table, const std::uint32_t* rows,
                                    std::size_t count, double* out) {
  const std::uint8_t* base = table.base;
  const std::size_t dim = table.dim, steps = (dim + 63) / 64, last = (steps - 1) * 64;
  // The last step reads only the row's own bytes; the query is 0 beyond.
  const __mmask64 within = dim % 64 == 0 ? ~__mmask64{0} : (__mmask64{1} << (dim % 64)) - 1;
  const std::int8_t* q = query.centred;
  const __m256d squares = _mm256_set1_pd(static_cast<double>(query.squares));
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) fetch_ahead(base, dim, rows, i + k, count);
    const std::uint8_t* r0 = base + std::size_t{rows[i]} * dim;
    const std::uint8_t* r1 = base + std::size_t{rows[i + 1]} * dim;
    const std::uint8_t* r2 = base + std::size_t{rows[i + 2]} * dim;
    const std::uint8_t* r3 = base + std::size_t{rows[i + 3]} * dim;
    __m512i s0 = _mm512_setzero_si512(), s1 = s0, s2 = s0, s3 = s0;
    for (std::size_t at = 0; at <= last; at += 64) {
      s0 = dot_step(s0, q, r0, at, last, within);
      s1 = dot_step(s1, q, r1, at, last, within);
      s2 = dot_step(s2, q, r2, at, last, within);
      s3 = dot_step(s3, q, r3, at, last, within);
    }
    const __m128i dots = _mm_hadd_epi32(_mm_hadd_epi32(fold_to_four(s0), fold_to_four(s1)),
                                        _mm_hadd_epi32(fold_to_four(s2), fold_to_four(s3)));
    const __m128i offsets = _mm_setr_epi32(table.offsets[rows[i]], table.offsets[rows[i + 1]],
                                           table.offsets[rows[i + 2]], table.offsets[rows[i + 3]]);
    const __m256d sum = _mm256_sub_pd(_mm256_add_pd(squares, _mm256_cvtepi32_pd(offsets)),
                                      _mm256_add_pd(_mm256_cvtepi32_pd(dots), _mm256_cvtepi32_pd(dots)));
    _mm256_storeu_pd(out + i, _mm256_sqrt_pd(sum));
  }
  for (; i < count; ++i) {
    const std::uint8_t* r = base + std::size_t{rows[i]} * dim;
    __m512i s = _mm512_setzero_si512();
    for (std::size_t at = 0; at <= last; at += 64) s = dot_step(s, q, r, at, last, within);
    const double sum = static_cast<double>(query.squares) + static_cast<double>(table.offsets[rows[i]]) -
                       2.0 * static_cast<double>(_mm512_reduce_add_epi32(s));
    out[i] = std::sqrt(sum);
  }
}

#undef VEXEL_AVX512VNNI

}  // namespace avx512_bytes

#endif

// AVX-512 only where it has VNNI, for Euclidean distance: there one
// instruction takes a row of 64 bytes. Elsewhere the AVX2 kernels serve.
template <ByteMetric metric>
ByteKernel byte_kernel_for(simd::Level level) {
#if VEXEL_SIMD_X86
  static const bool vnni = __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vnni");
  if (metric == ByteMetric::euclidean && level == simd::Level::avx512 && vnni) return avx512_bytes::dot_euclidean;
  if (level >= simd::Level::avx2) return avx2_bytes::distances<metric>;
#else
  (void)level;
#endif
  return portable_bytes::distances<metric>;
}

// The kernel of `metric` at `level` (at most simd::supported()).
inline ByteKernel byte_kernel(ByteMetric metric, simd::Level level) {
  switch (metric) {
    case ByteMetric::euclidean: return byte_kernel_for<ByteMetric::euclidean>(level);
    case ByteMetric::manhattan: return byte_kernel_for<ByteMetric::manhattan>(level);
    case ByteMetric::chebyshev: return byte_kernel_for<ByteMetric::chebyshev>(level);
  }
  return portable_bytes::distances<ByteMetric::euclidean>;
}

}  // namespace vexel::detail

#pragma GCC diagnostic pop
