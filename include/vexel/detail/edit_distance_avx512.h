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

// g++ 12 warns about the deliberately undefined registers inside its own
// AVX-512 intrinsics (its bug 105593) wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace vexel::detail::avx512 {

// Copies the elements of the chunk from `first` on of every lane's text
// into group.elements, zeros after its end: masked loads read nothing
// beyond a text.
VEXEL_AVX512 void copy_chunk(LaneGroup<8>& group, std::size_t first) {
  for (std::size_t lane = 0; lane < 8; ++lane) {
    const std::size_t left = group.chunk_length(lane, first);
    const auto wanted = static_cast<__mmask16>((1u << left) - 1);
    const std::uint32_t* start = left != 0 ? group.text[lane] + first : group.text[lane];
    _mm512_store_si512(group.elements[lane], _mm512_maskz_loadu_epi32(wanted, start));
  }
}

// out[i] = the distance between the pattern of `m` (1 to 64) elements whose
// masks are `masks` and texts[i][0, lengths[i]), for i < count: exact up to
// `limit`, above it otherwise.
VEXEL_AVX512 void edit_distances(const MatchMasks<std::uint32_t>& masks, std::size_t m,
                                 const std::uint32_t* const* texts, const std::size_t* lengths, std::size_t count,
                                 std::size_t limit, std::size_t* out) {
  using Group = LaneGroup<8>;
  const __m512i ones = _mm512_set1_epi64(-1), one = _mm512_set1_epi64(1);
  const __m512i top = _mm512_set1_epi64(static_cast<long long>(std::uint64_t{1} << (m - 1)));
  // Two groups: while the vector lanes run one, the scalar lookups lay out
  // the first columns of the next, on otherwise idle ports.
  Group groups[2];
  Group* current = &groups[0];
  Group* coming = &groups[1];
  std::size_t next = current->take(texts, lengths, count, m, limit, 0, out);
  copy_chunk(*current, 0);
  current->look_up(masks, 0);
  while (current->filled != 0) {
    next = coming->take(texts, lengths, count, m, limit, next, out);
    copy_chunk(*coming, 0);
    const std::size_t ahead = coming->columns_from(0);
    std::size_t prepared = 0;
    const __m512i n = _mm512_load_si512(current->length), bound = _mm512_load_si512(current->cutoff);
    __m512i pv = ones, mv = _mm512_setzero_si512();
    __m512i score = _mm512_set1_epi64(static_cast<long long>(m));
    __m512i column = _mm512_setzero_si512();  // j, then j + 1 once column j is done
    __m512i stopped = ones;                   // where a lane stopped early, else -1
    // Each lane's state is a function of the column alone: no mask is
    // carried from column to column, so nothing but pv, mv and score chains
    // the columns. Past its cutoff the last-row bound score + j + 1 only
    // grows, so a lane stops where it first exceeds its cutoff.
    __mmask8 over = 0;
    __mmask8 pending = _mm512_cmpgt_epi64_mask(n, column);
    for (std::size_t first = 0; pending != 0; first += Group::kColumns) {
      if (first != 0) copy_chunk(*current, first);
      const std::size_t columns = first == 0 ? current->columns_from(0) : current->look_up(masks, first);
      for (std::size_t c = 0; c < columns && pending != 0; ++c) {
        if (prepared < ahead) coming->look_up_column(masks, prepared++);
        const __m512i eq = _mm512_load_si512(current->eq[c]);
        const __mmask8 inside = _mm512_cmpgt_epi64_mask(n, column);  // a score stays put past its text

        // The column step of bit_parallel_distance, lane by lane.
        const __m512i xv = _mm512_or_si512(eq, mv);
        const __m512i xh = _mm512_or_si512(
            _mm512_xor_si512(_mm512_add_epi64(_mm512_and_si512(eq, pv), pv), pv), eq);
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
        stopped = _mm512_mask_mov_epi64(stopped, static_cast<__mmask8>(now_over & ~over),
                                        _mm512_sub_epi64(reached, n));
        over = now_over;
        pending = _mm512_mask_cmpgt_epi64_mask(static_cast<__mmask8>(~over), n, column);
      }
    }
    while (prepared < ahead) coming->look_up_column(masks, prepared++);
    // The lanes that never stopped (-1) hold their last score.
    const __mmask8 stopped_early = _mm512_cmpge_epi64_mask(stopped, _mm512_setzero_si512());
    alignas(64) std::int64_t distance[8];
    _mm512_store_si512(distance, _mm512_mask_mov_epi64(score, stopped_early, stopped));
    current->store(distance, out);
    std::swap(current, coming);
  }
}

}  // namespace vexel::detail::avx512

#pragma GCC diagnostic pop
#undef VEXEL_AVX512
#endif  // VEXEL_SIMD_X86
