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

namespace vexel::detail::avx2 {

VEXEL_AVX2 __m256i load(const void* p) { return _mm256_load_si256(static_cast<const __m256i*>(p)); }

// As avx512::copy_chunk: each lane's 16 elements in two masked loads.
VEXEL_AVX2 void copy_chunk(LaneGroup<4>& group, std::size_t first) {
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

// As avx512::edit_distances, four texts at a time.
VEXEL_AVX2 void edit_distances(const MatchMasks<std::uint32_t>& masks, std::size_t m,
                               const std::uint32_t* const* texts, const std::size_t* lengths, std::size_t count,
                               std::size_t limit, std::size_t* out) {
  using Group = LaneGroup<4>;
  const __m256i zero = _mm256_setzero_si256(), ones = _mm256_set1_epi64x(-1), one = _mm256_set1_epi64x(1);
  const __m256i top = _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << (m - 1)));
  // Two groups, as in avx512::edit_distances.
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
    const __m256i n = load(current->length), bound = load(current->cutoff);
    __m256i pv = ones, mv = zero;
    __m256i score = _mm256_set1_epi64x(static_cast<long long>(m));
    __m256i column = zero;   // j, then j + 1 once column j is done
    __m256i stopped = ones;  // where a lane stopped early, else -1
    __m256i over = zero;     // as in avx512::edit_distances
    __m256i pending = _mm256_cmpgt_epi64(n, column);
    for (std::size_t first = 0; !_mm256_testz_si256(pending, pending); first += Group::kColumns) {
      if (first != 0) copy_chunk(*current, first);
      const std::size_t columns = first == 0 ? current->columns_from(0) : current->look_up(masks, first);
      for (std::size_t c = 0; c < columns && !_mm256_testz_si256(pending, pending); ++c) {
        if (prepared < ahead) coming->look_up_column(masks, prepared++);
        const __m256i eq = load(current->eq[c]);
        const __m256i inside = _mm256_cmpgt_epi64(n, column);  // a score stays put past its text

        // The column step of bit_parallel_distance, lane by lane.
        const __m256i xv = _mm256_or_si256(eq, mv);
        const __m256i xh = _mm256_or_si256(
            _mm256_xor_si256(_mm256_add_epi64(_mm256_and_si256(eq, pv), pv), pv), eq);
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
        pending = _mm256_andnot_si256(over, _mm256_cmpgt_epi64(n, column));
      }
    }
    while (prepared < ahead) coming->look_up_column(masks, prepared++);
    alignas(32) std::int64_t distance[4];
    // The lanes that never stopped (-1, the sign bit set) hold their last score.
    const __m256d settled = _mm256_blendv_pd(_mm256_castsi256_pd(stopped), _mm256_castsi256_pd(score),
                                             _mm256_castsi256_pd(stopped));
    _mm256_store_si256(reinterpret_cast<__m256i*>(distance), _mm256_castpd_si256(settled));
    current->store(distance, out);
    std::swap(current, coming);
  }
}

}  // namespace vexel::detail::avx2

#undef VEXEL_AVX2
#endif  // VEXEL_SIMD_X86
