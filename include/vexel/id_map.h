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
#include "vexel/row_ids.h"

namespace vexel {

// The rows of ids, in one of two tables of 32-bit rows. While the ids are
// dense (the usual case: 0, 1, 2, ... as an index assigns them), a plain
// table indexed by id: 4 bytes an id, a lookup one read. Otherwise an
// open-addressing hash table whose slots hold rows, the id being read from
// `row_ids`: 8 to 16 bytes an id. The map moves from one to the other as
// the ids it holds make either the smaller. Lookups, insertions and
// erasures never allocate except when a table grows.
class IdMap {
 public:
  static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

  // The row of `id`, or `none`.
  std::uint32_t find(std::int64_t id, const RowIds& row_ids) const {
    if (dense_) {
      return id >= 0 && static_cast<std::uint64_t>(id) < slots_.size() ? slots_[static_cast<std::size_t>(id)] : none;
    }
    if (slots_.empty()) return none;
    return find_from(home(id), id, row_ids);
  }

  // Records `row` as the row of its id, which must not be present. Grows the
  // table first when needed, so callers may reserve room and then insert
  // without failing.
  void insert(std::uint32_t row, const RowIds& row_ids) {
    const std::int64_t id = row_ids[row];
    const bool room = dense_ ? id >= 0 && static_cast<std::uint64_t>(id) < slots_.size()
                             : 2 * (size_ + 1 + erased_) <= slots_.size();
    if (!room) reserve(size_ + 1, row_ids, id);
    place(row, row_ids);
    ++size_;
    largest_ = std::max(largest_, id);
  }

  // Forgets `id`; returns whether it was present.
  bool erase(std::int64_t id, const RowIds& row_ids) {
    if (dense_) {
      if (find(id, row_ids) == none) return false;
      slots_[static_cast<std::size_t>(id)] = none;
      --size_;
      return true;
    }
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

  // Makes room for `count` ids, none above `largest` but those held, without
  // further allocation; switches tables when the other one would be smaller.
  void reserve(std::size_t count, const RowIds& row_ids, std::int64_t largest = -1) {
    const std::int64_t bound = std::max(largest_, largest);
    const bool dense = fits_dense(bound, count);
    if (dense && dense_) {
      if (bound >= 0 && static_cast<std::uint64_t>(bound) >= slots_.size()) {
        // Grown by half at least, so that ids arriving one at a time cost
        // amortised constant time.
        const std::size_t wanted = std::max(static_cast<std::size_t>(bound) + 1, slots_.size() + slots_.size() / 2);
        slots_.resize(std::min(wanted, dense_limit(count)), none);
      }
    } else if (dense || dense_ || 2 * (count + erased_) > slots_.size()) {
      std::vector<std::uint32_t> old;
      old.swap(slots_);
      try {
        if (dense) {
          slots_.assign(static_cast<std::size_t>(bound) + 1, none);
        } else {
          slots_.assign(hash_capacity(count), empty);
        }
      } catch (...) {
        slots_.swap(old);
        throw;
      }
      dense_ = dense;
      erased_ = 0;
      for (std::uint32_t row : old) {
        if (row != empty && row != erased) place(row, row_ids);  // no row is `erased`
      }
    }
    largest_ = bound;
  }

  // Forgets every id, then records rows 0 .. rows - 1 under their ids in
  // `row_ids`, ids held before, in the room already made for them
  // (reserve), so that nothing can fail.
  void refill(std::size_t rows, const RowIds& row_ids) noexcept {
    std::fill(slots_.begin(), slots_.end(), empty);
    erased_ = 0;
    size_ = rows;
    for (std::size_t row = 0; row < rows; ++row) place(static_cast<std::uint32_t>(row), row_ids);
  }

  void clear() {
    std::vector<std::uint32_t>().swap(slots_);
    size_ = 0;
    erased_ = 0;
    largest_ = -1;
    dense_ = true;
  }

  std::size_t size() const { return size_; }
  bool is_dense() const { return dense_; }

  // The table as a file carries it: the dense table, as long as the
  // largest id held needs, or the hash table; empty when the hash table has
  // erased slots (it would not travel as it is).
  std::vector<std::uint32_t> table() const {
    if (dense_) {
      const std::size_t length = std::min(slots_.size(), static_cast<std::size_t>(largest_ + 1));
      return std::vector<std::uint32_t>(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(length));
    }
    return erased_ == 0 ? slots_ : std::vector<std::uint32_t>();
  }

  // Takes `table`, as table() gave it (`dense` says which kind), as the map
  // of the rows 0 .. rows - 1 whose ids are `row_ids`, none above
  // `largest`, so that a restored index need not place every id again.
  // Throws std::invalid_argument unless the table holds each row once (a
  // hash table: a power-of-two table at most half full) and every id finds
  // its own row (which also proves the ids distinct). A hash table skips
  // that lookup without `look_up_each_id` (for a table whose checksum the
  // caller checked): one that does not fit its ids then answers lookups
  // wrongly, but every lookup still ends and reads only rows in range.
  void adopt(std::vector<std::uint32_t> table, bool dense, const RowIds& row_ids,
             std::int64_t largest, bool look_up_each_id = true) {
    const std::size_t rows = row_ids.size();
    const auto fail = [](const std::string& what) { throw std::invalid_argument("damaged id table: " + what); };
    const std::size_t capacity = table.size();
    if (!dense) {
      if (capacity < 16 || (capacity & (capacity - 1)) != 0) fail("its size is not a power of two");
      if (2 * rows > capacity) fail("it is more than half full");
    }
    // Without branches on the slots, which are full or empty at random, and
    // in 32-bit lanes, so that it vectorises: a slot's row + 1 is 0 when
    // the slot is empty.
    std::size_t held = 0;
    std::uint32_t beyond = 0;  // the largest row held, plus one
    constexpr std::size_t block = std::size_t{1} << 16;
    for (std::size_t first = 0; first < capacity; first += block) {
      const std::size_t end = std::min(capacity, first + block);
      std::uint32_t full = 0;
      for (std::size_t slot = first; slot < end; ++slot) {
        const std::uint32_t next = table[slot] + 1;
        full += next != 0;
        beyond = std::max(beyond, next);
      }
      held += full;
    }
    if (beyond > rows) fail("a row out of range");
    if (held != rows) fail("rows missing or held twice");
    slots_ = std::move(table);
    dense_ = dense;
    size_ = rows;
    erased_ = 0;
    largest_ = largest;
    // A dense table is always checked id by id: in row order that costs a
    // pass over the ids and one read per id in a table a quarter their size.
    if ((dense || look_up_each_id) && !(dense ? dense_table_fits(row_ids) : hash_table_fits(row_ids))) {
      clear();
      fail("an id does not find its row (ids repeated, or the table belongs to other ids)");
    }
  }

 private:
  static constexpr std::uint32_t empty = none;
  static constexpr std::uint32_t erased = none - 1;

  // The dense table's length for `count` ids: never more slots than a hash
  // table of them would have, and a few hundred ids at least.
  static std::size_t dense_limit(std::size_t count) { return std::max<std::size_t>(2 * count, 256); }
  static bool fits_dense(std::int64_t largest, std::size_t count) {
    return largest < 0 || static_cast<std::uint64_t>(largest) < dense_limit(count);
  }
  // At most half full, erased slots counted: probes stay short.
  static std::size_t hash_capacity(std::size_t count) {
    std::size_t capacity = 16;
    while (capacity < 2 * count) capacity *= 2;
    return capacity;
  }

  // splitmix64's finaliser: consecutive ids spread over the whole table.
  std::size_t home(std::int64_t id) const {
    auto x = static_cast<std::uint64_t>(id);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return static_cast<std::size_t>(x) & (slots_.size() - 1);
  }
  std::size_t next(std::size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

  std::uint32_t find_from(std::size_t slot, std::int64_t id, const RowIds& row_ids) const {
    for (;; slot = next(slot)) {
      const std::uint32_t row = slots_[slot];
      if (row == empty) return none;
      if (row != erased && row_ids[row] == id) return row;
    }
  }

  // Whether every row is found under its id in a dense table: with each
  // row held once, the ids are then distinct and the table theirs.
  bool dense_table_fits(const RowIds& row_ids) const {
    return row_ids.visit([&](const auto* ids, std::size_t count) {
      bool fits = true;
      for (std::size_t row = 0; row < count; ++row) {
        const auto id = static_cast<std::uint64_t>(ids[row]);  // a negative id wraps beyond the table
        fits &= id < slots_.size() && slots_[static_cast<std::size_t>(id)] == row;
      }
      return fits;
    });
  }

  // Whether every id finds its own row in a hash table, a block of ids at a
  // time: the block's home slots, then the rows they hold, are fetched
  // ahead, so the lookups wait on memory together rather than one after
  // another.
  bool hash_table_fits(const RowIds& row_ids) const {
    constexpr std::size_t block = 256;
    std::size_t homes[block];
    for (std::size_t first = 0; first < row_ids.size(); first += block) {
      const std::size_t count = std::min(block, row_ids.size() - first);
      for (std::size_t i = 0; i < count; ++i) {
        homes[i] = home(row_ids[first + i]);
        prefetch_address(slots_.data() + homes[i]);
      }
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t held_row = slots_[homes[i]];
        if (held_row != empty) prefetch_address(row_ids.address_of(held_row));
      }
      for (std::size_t i = 0; i < count; ++i) {
        if (find_from(homes[i], row_ids[first + i], row_ids) != first + i) return false;
      }
    }
    return true;
  }

  void place(std::uint32_t row, const RowIds& row_ids) {
    if (dense_) {
      slots_[static_cast<std::size_t>(row_ids[row])] = row;
      return;
    }
    std::size_t slot = home(row_ids[row]);
    while (slots_[slot] != empty) slot = next(slot);
    slots_[slot] = row;
  }

  std::vector<std::uint32_t> slots_;  // dense: the row of each id; hashed: rows
  std::size_t size_ = 0;
  std::size_t erased_ = 0;            // erased slots of the hash table
  std::int64_t largest_ = -1;         // no id held is above it
  bool dense_ = true;
};

}  // namespace vexel
