// From the caller's 64-bit ids to the rows that hold their points.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "vexel/prefetch.h"

namespace vexel {

// An open-addressing hash table of rows, keyed by the ids the rows carry: a
// slot holds only a 32-bit row, and the id is read from `row_ids`, so a
// million ids cost about 8 MB. Lookups, insertions and erasures never
// allocate except when the table grows.
class IdMap {
 public:
  static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

  // The row of `id`, or `none`.
  std::uint32_t find(std::int64_t id, const std::vector<std::int64_t>& row_ids) const {
    if (slots_.empty()) return none;
    return find_from(home(id), id, row_ids);
  }

  // Records `row` as the row of its id, which must not be present. Grows the
  // table first when needed, so callers may reserve room and then insert
  // without failing.
  void insert(std::uint32_t row, const std::vector<std::int64_t>& row_ids) {
    reserve(size_ + 1, row_ids);
    place(row, row_ids);
    ++size_;
  }

  // Forgets `id`; returns whether it was present.
  bool erase(std::int64_t id, const std::vector<std::int64_t>& row_ids) {
    if (slots_.empty()) return false;
    for (std::size_t slot = home(id);; slot = next(slot)) {
      const std::uint32_t row = slots_[slot];
      if (row == empty) return false;
      if (row != erased && row_ids[row] == id) {
        slots_[slot] = erased;
        --size_;
        ++erased_;
        return true;
      }
    }
  }

  // Makes room for `count` ids without further allocation.
  void reserve(std::size_t count, const std::vector<std::int64_t>& row_ids) {
    // At most half full, erased slots counted: probes stay short.
    if (2 * (count + erased_) <= slots_.size()) return;
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    std::vector<std::uint32_t> old(capacity, empty);
    old.swap(slots_);
    erased_ = 0;
    for (std::uint32_t row : old) {
      if (row != empty && row != erased) place(row, row_ids);
    }
  }

  // Forgets every id, then records rows 0 .. rows - 1 under their ids in
  // `row_ids`, in the room already made for them (reserve), so that
  // nothing can fail.
  void refill(std::size_t rows, const std::vector<std::int64_t>& row_ids) noexcept {
    std::fill(slots_.begin(), slots_.end(), empty);
    erased_ = 0;
    size_ = rows;
    for (std::size_t row = 0; row < rows; ++row) place(static_cast<std::uint32_t>(row), row_ids);
  }

  void clear() {
    std::vector<std::uint32_t>().swap(slots_);
    size_ = 0;
    erased_ = 0;
  }

  std::size_t size() const { return size_; }

  // The table itself, so that a file can carry it: each slot holds a row
  // or `none`. Meaningful for a table without erased slots.
  const std::vector<std::uint32_t>& slots() const { return slots_; }
  bool has_erased() const { return erased_ != 0; }

  // Takes `slots`, as slots() gave them, as the table of the rows
  // 0 .. rows - 1 whose ids are `row_ids`, so that a restored index need
  // not hash every id again. std::invalid_argument unless it is a
  // power-of-two table at most half full in which every id finds its own
  // row (which also proves the ids distinct). That check looks every id up
  // once, a block of ids at a time: the block's home slots, then the rows
  // they hold, are fetched ahead, so the lookups wait on memory together
  // rather than one after another. Without `look_up_each_id` (for a table
  // whose checksum the caller checked) only the table's shape and rows are
  // checked: a table that does not fit its ids then answers lookups wrongly,
  // but every lookup still ends and reads only rows in range.
  void adopt(std::vector<std::uint32_t> slots, const std::vector<std::int64_t>& row_ids,
             bool look_up_each_id = true) {
    const std::size_t rows = row_ids.size();
    const auto fail = [](const std::string& what) { throw std::invalid_argument("damaged id table: " + what); };
    const std::size_t capacity = slots.size();
    if (capacity < 16 || (capacity & (capacity - 1)) != 0) fail("its size is not a power of two");
    if (2 * rows > capacity) fail("it is more than half full");
    std::size_t held = 0;
    for (std::uint32_t row : slots) {
      if (row == empty) continue;
      if (row >= rows) fail("a row out of range");
      ++held;
    }
    if (held != rows) fail("rows missing or held twice");
    slots_ = std::move(slots);
    size_ = rows;
    erased_ = 0;
    if (!look_up_each_id) return;
    constexpr std::size_t block = 256;
    std::size_t homes[block];
    for (std::size_t first = 0; first < rows; first += block) {
      const std::size_t count = std::min(block, rows - first);
      for (std::size_t i = 0; i < count; ++i) {
        homes[i] = home(row_ids[first + i]);
        prefetch_address(slots_.data() + homes[i]);
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t held_row = slots_[homes[i]];
        if (held_row != empty) prefetch_address(row_ids.data() + held_row);
      }
      for (std::size_t i = 0; i < count; ++i) {
        if (find_from(homes[i], row_ids[first + i], row_ids) != first + i) {
          clear();
          fail("an id does not find its row (ids repeated, or the table belongs to other ids)");
        }
      }
    }
  }

 private:
  static constexpr std::uint32_t empty = none;
  static constexpr std::uint32_t erased = none - 1;

  // splitmix64's finaliser: consecutive ids spread over the whole table.
  std::size_t home(std::int64_t id) const {
    auto x = static_cast<std::uint64_t>(id);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x) & (slots_.size() - 1);
  }
  std::size_t next(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

  std::uint32_t find_from(std::size_t slot, std::int64_t id, const std::vector<std::int64_t>& row_ids) const {
    for (;; slot = next(slot)) {
      const std::uint32_t row = slots_[slot];
      if (row == empty) return none;
      if (row != erased && row_ids[row] == id) return row;
    }
  }

  void place(std::uint32_t row, const std::vector<std::int64_t>& row_ids) {
    std::size_t slot = home(row_ids[row]);
    while (slots_[slot] != empty) slot = next(slot);
    slots_[slot] = row;
  }

  std::vector<std::uint32_t> slots_;
  std::size_t size_ = 0;
  std::size_t erased_ = 0;
};

}  // namespace vexel
