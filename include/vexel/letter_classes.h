// Letter-class histograms: a summary of a string whose differences bound its
// edit distance to another from below, at a fraction of the cost.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vexel {

// Every code point falls in one of 16 classes (a multiplicative hash, so
// that any script spreads over them). An edit changes at most one count up
// and one down, so for strings a and b
//   edit distance >= max(sum of (a_c - b_c)+, sum of (b_c - a_c)+)
// (the bag distance over classes), which is also at least the difference
// of their lengths.
struct LetterClasses {
  static constexpr std::size_t count = 16;
  // Kept counts saturate: 255 stands for "255 or more".
  static constexpr std::uint8_t saturated = 255;

  using Exact = std::array<std::uint32_t, count>;

  static std::size_t of(std::uint32_t code_point) {
    return static_cast<std::size_t>((code_point * 2654435761u) >> 28);
  }

  static Exact exact(const std::uint32_t* text, std::size_t length) {
    Exact counts{};
    for (std::size_t i = 0; i < length; ++i) ++counts[of(text[i])];
    return counts;
  }

  static void keep(const std::uint32_t* text, std::size_t length, std::uint8_t* out) {
    const auto counts = kept(exact(text, length));
    std::copy(counts.begin(), counts.end(), out);
  }

  // The counts of a query as a row keeps them (saturated).
  static std::array<std::uint8_t, count> kept(const Exact& counts) {
    std::array<std::uint8_t, count> out{};
    for (std::size_t c = 0; c < count; ++c) out[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(counts[c], saturated));
    return out;
  }

  // The bag distance over classes between two kept histograms: with
  // saturating differences, a saturated count (which may stand for more)
  // never adds to the bound. One vector operation of each kind on SSE2,
  // which every x86-64 has: this filters every row a leaf scan meets.
  static std::uint32_t kept_bag_bound(const std::uint8_t* a, const std::uint8_t* b) {
#if defined(__SSE2__)
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    const __m128i zero = _mm_setzero_si128();
    const __m128i more = _mm_sad_epu8(_mm_subs_epu8(x, y), zero);
    const __m128i less = _mm_sad_epu8(_mm_subs_epu8(y, x), zero);
    const auto a_surplus = static_cast<std::uint32_t>(_mm_cvtsi128_si32(more) + _mm_extract_epi16(more, 4));
    const auto b_surplus = static_cast<std::uint32_t>(_mm_cvtsi128_si32(less) + _mm_extract_epi16(less, 4));
    return std::max(a_surplus, b_surplus);
#else
    std::uint32_t a_surplus = 0, b_surplus = 0;
    for (std::size_t c = 0; c < count; ++c) {
      a_surplus += a[c] > b[c] && b[c] < saturated ? a[c] - b[c] : 0;
      b_surplus += b[c] > a[c] && a[c] < saturated ? b[c] - a[c] : 0;
    }
    return std::max(a_surplus, b_surplus);
#endif
  }

  // The bag distance over classes between a query (exact counts) and a row
  // whose class counts lie in [low, high] (a kept row: low = high = its
  // counts). A saturated high may stand for any larger count, so it bounds
  // nothing from above.
  template <typename Count>
  static std::uint32_t bag_bound(const Exact& query, const Count* low, const Count* high) {
    std::uint32_t row_surplus = 0, query_surplus = 0;
    for (std::size_t c = 0; c < count; ++c) {
      const auto lo = static_cast<std::uint32_t>(low[c]);
      const auto hi = static_cast<std::uint32_t>(high[c]);
      row_surplus += lo > query[c] ? lo - query[c] : 0;
      query_surplus += (hi < saturated && query[c] > hi) ? query[c] - hi : 0;
    }
    return std::max(row_surplus, query_surplus);
  }
};

}  // namespace vexel
