// Rows whose coordinates are all whole numbers from 0 to 255 (grey levels,
// colour channels, small counts), kept a second time as bytes: a query of
// such numbers measures them in integers, exactly, at a fraction of the
// cost and bandwidth of doubles, and to the last bit the distance the
// double kernels give (detail/byte_kernels.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "vexel/detail/byte_kernels.h"
#include "vexel/gather_in_place.h"
#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

namespace vexel {

class ByteRows {
 public:
  ByteRows(VectorMetric metric, std::size_t dim)
      : metric_(byte_metric(metric)),
        dim_(dim),
        // Long rows only: short ones cost little to measure anyway.
        kept_(dim >= 16 && dim <= detail::byte_kernel_max_dim &&
              (metric == VectorMetric::euclidean || metric == VectorMetric::manhattan ||
               metric == VectorMetric::chebyshev)) {}

  // Whether every row so far is kept as bytes.
  bool kept() const { return kept_; }

  void reserve(std::size_t rows) {
    if (!kept_) return;
    bytes_.reserve(rows * dim_);
    offsets_.reserve(rows);
  }
  // Room for `count` more rows, growing as a vector grows.
  void make_room(std::size_t count) {
    const std::size_t needed = offsets_.size() + count;
    if (kept_ && needed > offsets_.capacity()) reserve(std::max(needed, 2 * offsets_.capacity()));
  }
  // Keeps `count` more rows of Scalars; allocates nothing once make_room()
  // made room for them. A row that is not all bytes ends the keeping, for
  // good: the bytes are given back.
  template <typename Scalar>
  void append(const Scalar* rows, std::size_t count) {
    if (!kept_) return;
    if (!all_bytes(rows, count * dim_)) {
      kept_ = false;
      std::vector<std::uint8_t>().swap(bytes_);
      std::vector<std::int32_t>().swap(offsets_);
      return;
    }
    make_room(count);
    const std::size_t first = offsets_.size();
    bytes_.resize((first + count) * dim_);  // within the room made
    offsets_.resize(first + count);
    std::uint8_t* out = bytes_.data() + first * dim_;
    for (std::size_t i = 0; i < count * dim_; ++i) out[i] = static_cast<std::uint8_t>(rows[i]);
    for (std::size_t r = 0; r < count; ++r) {
      std::int32_t offset = 0;
      for (std::size_t j = 0; j < dim_; ++j) offset += out[r * dim_ + j] * (out[r * dim_ + j] - 256);
      offsets_[first + r] = offset;
    }
  }
  // Row i becomes row order[i] (gather_in_place.h); `held` is dim bytes of
  // scratch, so that nothing here fails.
  void reorder(const std::vector<std::uint32_t>& order, std::vector<bool>& done, std::uint8_t* held) {
    if (!kept_) return;
    std::uint8_t* data = bytes_.data();
    const std::size_t n = dim_;
    gather_in_place(
        order, done, [&](std::size_t i) { std::copy_n(data + i * n, n, held); },
        [&](std::size_t to, std::size_t from) { std::copy_n(data + from * n, n, data + to * n); },
        [&](std::size_t to) { std::copy_n(held, n, data + to * n); });
    std::int32_t held_offset = 0;
    gather_in_place(
        order, done, [&](std::size_t i) { held_offset = offsets_[i]; },
        [&](std::size_t to, std::size_t from) { offsets_[to] = offsets_[from]; },
        [&](std::size_t to) { offsets_[to] = held_offset; });
  }
  ByteRows gathered(const std::vector<std::uint32_t>& order) const {
    ByteRows out(*this, 0);
    if (!kept_) return out;
    out.bytes_.reserve(order.size() * dim_);
    out.offsets_.reserve(order.size());
    for (std::uint32_t r : order) {
      out.bytes_.insert(out.bytes_.end(), row(r), row(r) + dim_);
      out.offsets_.push_back(offsets_[r]);
    }
    return out;
  }
  void truncate(std::size_t rows) {
    if (rows < offsets_.size()) {
      bytes_.resize(rows * dim_);
      offsets_.resize(rows);
    }
  }

  // A query as the kernels take it (detail::ByteQuery); empty where the
  // rows are not measured as bytes.
  struct Query {
    std::vector<std::uint8_t> bytes;
    std::vector<std::int8_t> centred;
    std::int64_t squares = 0;
    bool empty() const { return bytes.empty(); }
  };

  // Whether rows are kept as bytes and every coordinate of `query` is one
  // too (-0 counts as 0): then the rows are measured as bytes.
  bool measures(const double* query) const { return kept_ && all_bytes(query, dim_); }
  // `query` prepared into `out` where measures(query); otherwise `out` is
  // left empty. Reuses out's room.
  void prepare(const double* query, Query& out) const {
    out.bytes.clear();
    if (!measures(query)) return;
    out.bytes.resize(dim_);
    out.centred.assign((dim_ + 63) / 64 * 64, 0);
    out.squares = 0;
    for (std::size_t j = 0; j < dim_; ++j) {
      const auto byte = static_cast<std::uint8_t>(query[j]);
      out.bytes[j] = byte;
      out.centred[j] = static_cast<std::int8_t>(int{byte} - 128);
      out.squares += std::int64_t{byte} * byte;
    }
  }

  // out[i] = the distance from `query` (prepared, not empty) to row rows[i].
  void batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out) const {
    const detail::ByteQuery q{query.bytes.data(), query.centred.data(), query.squares};
    const detail::ByteTable table{bytes_.data(), dim_, offsets_.data()};
    detail::byte_kernel(metric_, simd::active())(q, table, rows, count, out);
  }

 private:
  ByteRows(const ByteRows& like, int) : metric_(like.metric_), dim_(like.dim_), kept_(like.kept_) {}

  static detail::ByteMetric byte_metric(VectorMetric metric) {
    return metric == VectorMetric::manhattan   ? detail::ByteMetric::manhattan
           : metric == VectorMetric::chebyshev ? detail::ByteMetric::chebyshev
                                               : detail::ByteMetric::euclidean;
  }
  // Whether each of the `count` values is a whole number from 0 to 255;
  // NaN is not. Without a branch a value: most rows are tested whole.
  template <typename Scalar>
  static bool all_bytes(const Scalar* values, std::size_t count) {
    bool all = true;
    for (std::size_t i = 0; i < count; ++i) {
      const Scalar value = values[i];
      const bool in_range = value >= Scalar(0) && value <= Scalar(255);
      all &= in_range && static_cast<Scalar>(static_cast<int>(in_range ? value : Scalar(0))) == value;
    }
    return all;
  }
  const std::uint8_t* row(std::uint32_t r) const { return bytes_.data() + std::size_t{r} * dim_; }

  detail::ByteMetric metric_;
  std::size_t dim_;
  bool kept_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::int32_t> offsets_;  // of each row (detail::ByteTable)
};

}  // namespace vexel
