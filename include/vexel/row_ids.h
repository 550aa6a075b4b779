// The caller's id of every row of an index.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace vexel {

// Ids in 4 bytes each while every one of them fits in 32 bits (the usual
// case: 0, 1, 2, ... as an index assigns them), in 8 from the first that
// does not on. An index keeps one id a row for as long as it lives, so
// this halves what its ids cost. Ids are never negative.
class RowIds {
 public:
  RowIds() = default;
  explicit RowIds(const std::vector<std::int64_t>& ids) { assign(ids.data(), ids.size()); }

  std::int64_t operator[](std::size_t row) const { return wide_ ? wide_ids_[row] : narrow_ids_[row]; }
  std::size_t size() const { return wide_ ? wide_ids_.size() : narrow_ids_.size(); }
  bool is_wide() const { return wide_; }
  // visit(ids, count) on the ids as they are stored (std::uint32_t or
  // std::int64_t), for loops that should not ask the width at every id.
  template <typename Visit>
  decltype(auto) visit(Visit&& visit) const {
    return wide_ ? visit(wide_ids_.data(), wide_ids_.size()) : visit(narrow_ids_.data(), narrow_ids_.size());
  }
  // For prefetching the id of `row`.
  const void* address_of(std::size_t row) const {
    return wide_ ? static_cast<const void*>(wide_ids_.data() + row) : narrow_ids_.data() + row;
  }

  // Room for `count` ids, none above `largest`, so that push_back then
  // never allocates. Widens (all or nothing) when `largest` needs it.
  void reserve(std::size_t count, std::int64_t largest = 0) {
    if (!wide_ && !fits_narrow(largest)) {
      std::vector<std::int64_t> widened;
      widened.reserve(std::max(count, narrow_ids_.size()));
      widened.assign(narrow_ids_.begin(), narrow_ids_.end());
      std::vector<std::uint32_t>().swap(narrow_ids_);
      wide_ids_.swap(widened);
      wide_ = true;
    }
    if (wide_) {
      wide_ids_.reserve(count);
    } else {
      narrow_ids_.reserve(count);
    }
  }

  void push_back(std::int64_t id) {
    if (!wide_ && !fits_narrow(id)) reserve(size() + 1, id);
    if (wide_) {
      wide_ids_.push_back(id);
    } else {
      narrow_ids_.push_back(static_cast<std::uint32_t>(id));
    }
  }

  // Changes the id of a row to one the ids' width holds (any id of another
  // row does).
  void set(std::size_t row, std::int64_t id) {
    if (wide_) {
      wide_ids_[row] = id;
    } else {
      narrow_ids_[row] = static_cast<std::uint32_t>(id);
    }
  }

  // Keeps the first `count` ids, `count` at most size().
  void truncate(std::size_t count) {
    if (wide_) {
      wide_ids_.resize(count);
    } else {
      narrow_ids_.resize(count);
    }
  }

  // The ids `ids[0 .. n)`, as narrow as they allow.
  void assign(const std::int64_t* ids, std::size_t n) {
    std::int64_t largest = 0;
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, ids[i]);
    assign(ids, n, largest);
  }
  // The same, none of the ids being above `largest`.
  void assign(const std::int64_t* ids, std::size_t n, std::int64_t largest) {
    RowIds assigned;
    assigned.reserve(n, largest);
    if (assigned.wide_) {
      assigned.wide_ids_.assign(ids, ids + n);
    } else {
      assigned.narrow_ids_.assign(ids, ids + n);
    }
    swap(assigned);
  }

  // The ids of rows `order[0]`, `order[1]`, ..., at the same width.
  RowIds gathered(const std::vector<std::uint32_t>& order) const {
    RowIds taken;
    taken.wide_ = wide_;
    if (wide_) {
      taken.wide_ids_.reserve(order.size());
      for (std::uint32_t row : order) taken.wide_ids_.push_back(wide_ids_[row]);
    } else {
      taken.narrow_ids_.reserve(order.size());
      for (std::uint32_t row : order) taken.narrow_ids_.push_back(narrow_ids_[row]);
    }
    return taken;
  }

  // Forgets every id and frees their memory.
  void clear() { RowIds().swap(*this); }

  void swap(RowIds& other) noexcept {
    narrow_ids_.swap(other.narrow_ids_);
    wide_ids_.swap(other.wide_ids_);
    std::swap(wide_, other.wide_);
  }

 private:
  static bool fits_narrow(std::int64_t id) {
    return static_cast<std::uint64_t>(id) <= std::numeric_limits<std::uint32_t>::max();
  }

  std::vector<std::uint32_t> narrow_ids_;
  std::vector<std::int64_t> wide_ids_;
  bool wide_ = false;
};

inline void swap(RowIds& a, RowIds& b) noexcept { a.swap(b); }

}  // namespace vexel
