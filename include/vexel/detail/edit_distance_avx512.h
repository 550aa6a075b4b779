// The many-texts edit distance with AVX-512 (AVX512F only): eight 64-bit
// lanes, each running the bit-parallel columns of its own text against one
// prepared pattern (edit_distance_lanes.h).
#pragma once

#include "vexel/detail/edit_distance_lanes.h"
#include "vexel/simd.h"

#if VEXEL_SIMD_X86
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <utility>

#define VEXEL_AVX512 __attribute__((target("avx512f"))) inline
// Always inlined: the column steps into the pipeline, their state kept in
// registers.
#define VEXEL_AVX512_INLINE __attribute__((target("avx512f"), always_inline)) inline

// g++ 12 warns about the deliberately undefined registers inside its own
// AVX-512 intrinsics (its bug 105593) wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vexel::detail::avx512 {

using Group = LaneGroup<8>;

// Copies the elements of the chunk from `first` on of every lane's text
// into group.elements, zeros after its end: masked loads read nothing
// beyond a text.
VEXEL_AVX512 void copy_chunk(Group& group, std::size_t first) {
  for (std::size_t lane = 0; lane < 8; ++lane) {
    const std::size_t left = group.chunk_length(lane, first);
    const auto wanted = static_cast<__mmask16>((1u << left) - 1);
    const std::uint32_t* start = left != 0 ? group.text[lane] + first : group.text[lane];
    _mm512_store_si512(group.elements[lane], _mm512_maskz_loadu_epi32(wanted, start));
  }
}

// The column steps of bit_parallel_distance in the eight lanes of a group,
// from column 0 until every lane has ended or stopped.
struct LaneColumns {
  VEXEL_AVX512_INLINE LaneColumns(const Group& group, std::size_t m)
      : top(_mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << (m - 1)))),
        n(_mm512_load_si512(group.length)),
        bound(_mm512_load_si512(group.cutoff)),
        score(_mm512_set1_epi64(static_cast<long long>(m))),
        pending_lanes(_mm512_cmpgt_epi64_mask(n, column)) {}

  VEXEL_AVX512_INLINE bool pending() const { return pending_lanes != 0; }

  // Column j + 1 from the masks of its elements, one a lane.
  VEXEL_AVX512_INLINE void step(const std::uint64_t* eq_masks) {
    const __m512i eq = _mm512_load_si512(eq_masks);
    const __mmask8 inside = _mm512_cmpgt_epi64_mask(n, column);  // a score stays put past its text

    const __m512i xv = _mm512_or_si512(eq, mv);
    const __m512i xh = _mm512_or_si512(_mm512_xor_si512(_mm512_add_epi64(_mm512_and_si512(eq, pv), pv), pv), eq);
    __m512i ph = _mm512_or_si512(mv, _mm512_andnot_si512(_mm512_or_si512(xh, pv), ones));
    __m512i mh = _mm512_and_si512(pv, xh);
    score = _mm512_mask_add_epi64(score, _mm512_mask_test_epi64_mask(inside, ph, top), score, one);
    score = _mm512_mask_sub_epi64(score, _mm512_mask_test_epi64_mask(inside, mh, top), score, one);
    ph = _mm512_or_si512(_mm512_slli_epi64(ph, 1), one);
    mh = _mm512_slli_epi64(mh, 1);
    pv = _mm512_or_si512(mh, _mm512_andnot_si512(_mm512_or_si512(xv, ph), ones));
    mv = _mm512_and_si512(ph, xv);

    column = _mm512_add_epi64(column, one);
    const __m512i reached = _mm512_add_epi64(score, column);
    const __mmask8 now_over = _mm512_mask_cmpgt_epi64_mask(inside, reached, bound);
    stopped = _mm512_mask_mov_epi64(stopped, static_cast<__mmask8>(now_over & ~over), _mm512_sub_epi64(reached, n));
    over = now_over;
    pending_lanes = _mm512_mask_cmpgt_epi64_mask(static_cast<__mmask8>(~over), n, column);
  }

  // Hands each lane's distance to out[]: the lanes that never stopped (-1)
  // hold their last score.
  VEXEL_AVX512_INLINE void store(const Group& group, std::size_t* out) const {
    const __mmask8 stopped_early = _mm512_cmpge_epi64_mask(stopped, _mm512_setzero_si512());
    alignas(64) std::int64_t distance[8];
    _mm512_store_si512(distance, _mm512_mask_mov_epi64(score, stopped_early, stopped));
    group.store(distance, out);
  }

  const __m512i ones = _mm512_set1_epi64(-1), one = _mm512_set1_epi64(1);
  const __m512i top;  // the last row's bit
  const __m512i n, bound;
  __m512i pv = ones, mv = _mm512_setzero_si512();
  __m512i score;
  __m512i column = _mm512_setzero_si512();  // j, then j + 1 once column j is done
  __m512i stopped = ones;                   // where a lane stopped early, else -1
  // Each lane's state is a function of the column alone: no mask is
  // carried from column to column, so nothing but pv, mv and score chains
  // the columns. Past its cutoff the last-row bound score + j + 1 only
  // grows, so a lane stops where it first exceeds its cutoff.
  __mmask8 over = 0;
  __mmask8 pending_lanes;
};

#define VEXEL_KERNEL VEXEL_AVX512
#include "vexel/detail/edit_distances_from_columns.inc"
#undef VEXEL_KERNEL

}  // namespace vexel::detail::avx512

#pragma GCC diagnostic pop
#undef VEXEL_AVX512
#undef VEXEL_AVX512_INLINE
#endif  // VEXEL_SIMD_X86
