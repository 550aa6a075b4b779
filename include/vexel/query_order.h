// The order in which a batch answers its queries.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace vexel {

// In one to three dimensions, the queries (`count` rows of `dim` doubles)
// along a Z-order curve through their bounding box: consecutive queries
// then lie near each other and reach the same nodes and rows while these
// are still in the cache. Empty (keep the given order) in more dimensions,
// where nearness along three coordinates says little, and for batches too
// small to gain. A coordinate that is not finite counts as the box's low
// end: the order only moves work around, never changes an answer.
inline std::vector<std::uint32_t> nearby_order(const double* queries, std::size_t count, std::size_t dim) {
  constexpr std::size_t few = 64, bits = 21;  // 3 × 21 bits fill a 64-bit code
  if (dim == 0 || dim > 3 || count < few || count > std::numeric_limits<std::uint32_t>::max()) return {};
  double low[3], high[3];
  std::fill_n(low, dim, std::numeric_limits<double>::infinity());
  std::fill_n(high, dim, -std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      const double v = queries[i * dim + j];
      if (!std::isfinite(v)) continue;
      low[j] = std::min(low[j], v);
      high[j] = std::max(high[j], v);
    }
  }
  double scale[3];
  for (std::size_t j = 0; j < dim; ++j) {
    const double width = high[j] - low[j];
    scale[j] = width > 0.0 && std::isfinite(width) ? static_cast<double>((1u << bits) - 1) / width : 0.0;
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>> coded(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t cell[3];
    for (std::size_t j = 0; j < dim; ++j) {
      const double at = (queries[i * dim + j] - low[j]) * scale[j];
      cell[j] = at > 0.0 ? static_cast<std::uint32_t>(std::min(at, static_cast<double>((1u << bits) - 1))) : 0u;
    }
    std::uint64_t code = 0;
    for (std::size_t b = bits; b-- > 0;) {
      for (std::size_t j = 0; j < dim; ++j) code = code << 1 | ((cell[j] >> b) & 1u);
    }
    coded[i] = {code, static_cast<std::uint32_t>(i)};
  }
  std::sort(coded.begin(), coded.end());
  std::vector<std::uint32_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = coded[i].second;
  return order;
}

}  // namespace vexel
