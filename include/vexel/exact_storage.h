// Rows of doubles kept as floats wherever floats hold them exactly (whole
// numbers such as grey levels or counts, values that were floats to begin
// with): the kernels compute in double from the stored values, in one
// fixed order whatever the type of the row, so every distance is the same
// to the last bit, for half the memory and bandwidth. An index moves its
// rows from one type to the other with copy_rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "vexel/row_index.h"
#include "vexel/vector_space.h"

namespace vexel {

// Whether a float holds each of the `count` values exactly (NaN: no).
// Tested a block at a time, without a branch inside a block.
inline bool fit_float(const double* values, std::size_t count) {
  constexpr std::size_t block = 256;
  for (std::size_t start = 0; start < count; start += block) {
    const std::size_t end = std::min(count, start + block);
    bool all = true;
    for (std::size_t i = start; i < end; ++i) {
      const double value = values[i];
      // A finite value beyond a float's range may not be converted at all.
      const bool in_range = std::fabs(value) <= std::numeric_limits<float>::max() || std::isinf(value);
      all &= static_cast<double>(static_cast<float>(in_range ? value : 0.0)) == value;
    }
    if (!all) return false;
  }
  return true;
}

// Copies the live rows of `from` into the empty `to`, whose Scalar must hold
// every one exactly, under the same ids, next id and tree: the tree is
// restored from from's record, measuring nothing, or built again while
// removed rows are still in from's tree. On failure `to` stays empty.
template <typename To, typename From>
void copy_rows(const RowIndex<VectorSpace<From>>& from, RowIndex<VectorSpace<To>>& to) {
  if (to.space.rows() != 0) throw std::logic_error("rows are copied only into an empty index");
  to.next_id = std::max(to.next_id, from.next_id);
  const std::size_t n = from.size(), dim = from.space.dim();
  to.space.set_dim(dim);
  to.space.refresh_kernel();
  if (n == 0) return;
  std::vector<std::int64_t> ids;
  ids.reserve(n);
  std::vector<From> gathered;  // the live rows, when removed ones lie between
  if (from.has_removed()) gathered.reserve(n * dim);
  for (std::uint32_t row = 0; row < from.space.rows(); ++row) {
    if (from.is_removed(row)) continue;
    ids.push_back(from.row_ids[row]);
    if (from.has_removed()) gathered.insert(gathered.end(), from.space.row(row), from.space.row(row) + dim);
  }
  const From* rows = from.has_removed() ? gathered.data() : from.space.row(0);
  const auto append = [&](VectorSpace<To>& space) {
    space.reserve(n);
    space.append(rows, n);
  };
  if (const std::optional<TreeRecord> record = from.export_tree()) {
    to.restore(ids.data(), n, append, *record, /*id_table_checksummed=*/true);
  } else {
    to.add(ids.data(), n, append);
  }
}

}  // namespace vexel
