// Letter-class histograms: a summary of a string whose differences bound its
// edit distance to another from below, at a fraction of the cost.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

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
    const Exact counts = exact(text, length);
    for (std::size_t c = 0; c < count; ++c) out[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(counts[c], saturated));
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
