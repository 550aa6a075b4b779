// The many-texts edit distance with AVX2: four 64-bit lanes, each running
// the bit-parallel columns of its own text against one prepared pattern
// (edit_distance_lanes.h). Lane masks are vectors of all-ones or zero lanes.
#pragma once

#include "vexel/detail/edit_distance_lanes.h"
#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#define VEXEL_AVX2 __attribute__((target("avx2"))) inline
// Always inlined: the column steps into the pipeline, their state kept in
// registers.
#define VEXEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace vexel::detail::avx2 {

using Group = LaneGroup<4>;

VEXEL_AVX2_INLINE __m256i load(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }

// As avx512::copy_chunk: each lane's 16 elements in two masked loads.
VEXEL_AVX2 void copy_chunk(Group& group, std::size_t first) {
  // Element e of a chunk of `left` is wanted where window[16 - left + e] is
  // -1: sixteen -1, then sixteen 0.
  alignas(32) static const std::int32_t window[32] = {-1, -1, -1, -1, -1, -1, -1, -1,
                                                      -1, -1, -1, -1, -1, -1, -1, -1};
  for (std::size_t lane = 0; lane < 4; ++lane) {
    const std::size_t left = group.chunk_length(lane, first);
    const auto* start = reinterpret_cast<const int*>(left != 0 ? group.text[lane] + first : group.text[lane]);
    const auto* wanted = reinterpret_cast<const __m256i*>(window + 16 - left);
    auto* to = reinterpret_cast<__m256i*>(group.elements[lane]);
    _mm256_store_si256(to, _mm256_maskload_epi32(start, _mm256_loadu_si256(wanted)));
    _mm256_store_si256(to + 1, _mm256_maskload_epi32(start + 8, _mm256_loadu_si256(wanted + 1)));
  }
}

// As avx512::LaneColumns, in four lanes.
struct LaneColumns {
  VEXEL_AVX2_INLINE LaneColumns(const Group& group, std::size_t m)
      : top(_mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << (m - 1)))),
        n(load(group.length)),
        bound(load(group.cutoff)),
        score(_mm256_set1_epi64x(static_cast<long long>(m))),
        pending_lanes(_mm256_cmpgt_epi64(n, column)) {}

  VEXEL_AVX2_INLINE bool pending() const { return !_mm256_testz_si256(pending_lanes, pending_lanes); }

  VEXEL_AVX2_INLINE void step(const std::uint64_t* eq_masks) {
    const __m256i eq = load(eq_masks);
    const __m256i inside = _mm256_cmpgt_epi64(n, column);  // a score stays put past its text

    const __m256i xv = _mm256_or_si256(eq, mv);
    const __m256i xh = _mm256_or_si256(_mm256_xor_si256(_mm256_add_epi64(_mm256_and_si256(eq, pv), pv), pv), eq);
    __m256i ph = _mm256_or_si256(mv, _mm256_andnot_si256(_mm256_or_si256(xh, pv), ones));
    __m256i mh = _mm256_and_si256(pv, xh);
    // A comparison gives -1 where the last row moves.
    score = _mm256_sub_epi64(score, _mm256_and_si256(inside, _mm256_cmpeq_epi64(_mm256_and_si256(ph, top), top)));
    score = _mm256_add_epi64(score, _mm256_and_si256(inside, _mm256_cmpeq_epi64(_mm256_and_si256(mh, top), top)));
    ph = _mm256_or_si256(_mm256_slli_epi64(ph, 1), one);
    mh = _mm256_slli_epi64(mh, 1);
    pv = _mm256_or_si256(mh, _mm256_andnot_si256(_mm256_or_si256(xv, ph), ones));
    mv = _mm256_and_si256(ph, xv);

    column = _mm256_add_epi64(column, one);
    const __m256i reached = _mm256_add_epi64(score, column);
    const __m256i now_over = _mm256_and_si256(inside, _mm256_cmpgt_epi64(reached, bound));
    stopped = _mm256_blendv_epi8(stopped, _mm256_sub_epi64(reached, n), _mm256_andnot_si256(over, now_over));
    over = now_over;
    pending_lanes = _mm256_andnot_si256(over, _mm256_cmpgt_epi64(n, column));
  }

  VEXEL_AVX2_INLINE void store(const Group& group, std::size_t* out) const {
    // The lanes that never stopped (-1, the sign bit set) hold their last score.
    const __m256d settled = _mm256_blendv_pd(_mm256_castsi256_pd(stopped), _mm256_castsi256_pd(score),
                                             _mm256_castsi256_pd(stopped));
    alignas(32) std::int64_t distance[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(distance), _mm256_castpd_si256(settled));
    group.store(distance, out);
  }

  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi64x(-1), one = _mm256_set1_epi64x(1);
  const __m256i top;
  const __m256i n, bound;
  __m256i pv = ones, mv = zero;
  __m256i score;
  __m256i column = zero;
  __m256i stopped = ones;
  __m256i over = zero;  // a lane mask, as the comparisons give
  __m256i pending_lanes;
};

#define VEXEL_KERNEL VEXEL_AVX2
#include "vexel/detail/edit_distances_from_columns.inc"
#undef VEXEL_KERNEL

}  // namespace vexel::detail::avx2

#undef VEXEL_AVX2
#undef VEXEL_AVX2_INLINE
#endif  // VEXEL_SIMD_X86
