// The korel tree over rows of a space, each row carrying a 64-bit id:
// results are (distance, id) pairs, removal is by id, and equally distant
// points are ordered by id, so that answers do not depend on the order in
// which points arrived or on how the tree was built.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "vexel/gather_in_place.h"
#include "vexel/id_map.h"
#include "vexel/korel_tree.h"
#include "vexel/pruning.h"
#include "vexel/row_ids.h"
#include "vexel/search_queues.h"
#include "vexel/search_results.h"
#include "vexel/space.h"
#include "vexel/tree_record.h"

namespace vexel {

// What a space summarises a query into (space.h), where it does.
template <typename Space, typename = void>
struct SpaceQuerySummary {};
template <typename Space>
struct SpaceQuerySummary<Space, std::void_t<typename Space::QuerySummary>> {
  using QuerySummary = typename Space::QuerySummary;
};

// The distance of a `RowIndex`: measures rows of a space (vexel/space.h),
// and prepared queries against rows, forwarding what the space provides.
template <typename Space>
class RowDistance : public SpaceQuerySummary<Space> {
 public:
  using Query = typename Space::Query;

  RowDistance() = default;
  explicit RowDistance(const Space* space) : space_(space) {}

  double operator()(std::uint32_t a, std::uint32_t b) const { return space_->distance(a, b); }
  double operator()(const Query& query, std::uint32_t row) const {
    return space_->distance(query, row);
  }

  template <typename S = Space>
  auto batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out) const
      -> decltype(std::declval<const S&>().batch(query, rows, count, out)) {
    return space_->batch(query, rows, count, out);
  }
  template <typename S = Space>
  auto batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out, double limit) const
      -> decltype(std::declval<const S&>().batch(query, rows, count, out, limit)) {
    return space_->batch(query, rows, count, out, limit);
  }
  template <typename S = Space, typename Summary = typename S::QuerySummary>
  void summarise(const Query& query, Summary& into) const {
    space_->summarise(query, into);
  }
  template <typename S = Space, typename Summary = typename S::QuerySummary>
  double operator()(const Query& query, const Summary& summary, std::uint32_t row) const {
    return space_->distance(query, summary, row);
  }
  template <typename S = Space, typename Summary = typename S::QuerySummary>
  void batch(const Query& query, const Summary& summary, const std::uint32_t* rows, std::size_t count,
             double* out) const {
    space_->batch(query, summary, rows, count, out);
  }
  template <typename S = Space, typename Summary = typename S::QuerySummary>
  std::size_t keep_within(const Summary& summary, double limit, const std::uint32_t* rows, std::size_t count,
                          std::uint32_t* kept) const {
    return space_->keep_within(summary, limit, rows, count, kept);
  }
  template <typename S = Space>
  auto within(const Query& query, std::uint32_t row, double limit) const
      -> decltype(std::declval<const S&>().within(query, row, limit)) {
    return space_->within(query, row, limit);
  }

  template <typename S = Space>
  auto column(std::uint32_t center, const std::uint32_t* rows, std::size_t count, double* out) const
      -> decltype(std::declval<const S&>().column(center, rows, count, out)) {
    return space_->column(center, rows, count, out);
  }
  template <typename S = Space>
  auto prefetch(std::uint32_t row) const -> decltype(std::declval<const S&>().prefetch(row)) {
    return space_->prefetch(row);
  }

  template <typename S = Space>
  auto box_size() const -> decltype(std::declval<const S&>().box_size()) {
    return space_->box_size();
  }
  template <typename S = Space>
  auto defers_pivots() const -> decltype(std::declval<const S&>().defers_pivots()) {
    return space_->defers_pivots();
  }
  template <typename S = Space>
  auto widen_box(double* low, double* high, std::uint32_t row) const
      -> decltype(std::declval<const S&>().widen_box(low, high, row)) {
    return space_->widen_box(low, high, row);
  }
  template <typename S = Space>
  auto box_distance(const Query& query, const double* low, const double* high) const
      -> decltype(std::declval<const S&>().box_distance(query, low, high)) {
    return space_->box_distance(query, low, high);
  }

  explicit operator bool() const { return space_ != nullptr; }

 private:
  const Space* space_ = nullptr;
};

// A space that reorders its rows in place: space.reorder(order, done),
// with `order` a permutation of every row and `done` a bit a row.
template <typename Space, typename = void>
struct reorders_in_place : std::false_type {};
template <typename Space>
struct reorders_in_place<Space, std::void_t<decltype(std::declval<Space&>().reorder(
                                    std::declval<const std::vector<std::uint32_t>&>(), std::declval<std::vector<bool>&>()))>>
    : std::true_type {};

// Gives the pages of freed memory back to the system: a bulk build frees
// many blocks of every size, which the C library would otherwise keep
// resident.
inline void release_free_memory() noexcept {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

template <typename Space>
class RowIndex : public KorelTree<RowIndex<Space>, std::uint32_t, RowDistance<Space>, std::int64_t> {
  static_assert(is_space_v<Space>,
                "a RowIndex needs a space of rows: see the requirements in vexel/space.h");

 public:
  using Tree = KorelTree<RowIndex<Space>, std::uint32_t, RowDistance<Space>, std::int64_t>;
  using Node = typename Tree::Node;
  using Query = typename Space::Query;
  using Neighbors = typename Tree::Neighbors;
  using Neighbor = typename Neighbors::Entry;  // {distance, id}
  using SearchScratch = typename Tree::SearchScratch;
  using Tree::count;
  using Tree::pivot_selector;
  using Tree::tree;

  // Rows are 32-bit; two values are reserved by the id map.
  static constexpr std::size_t max_rows = std::numeric_limits<std::uint32_t>::max() - 2;
  // From this many rows on, a restore maps the ids on a thread of its own.
  static constexpr std::size_t restored_rows_beside = std::size_t{1} << 16;
  static constexpr std::int64_t max_id = std::numeric_limits<std::int64_t>::max();

  template <typename... SpaceArguments>
  explicit RowIndex(SpaceArguments&&... arguments)
      : space(std::forward<SpaceArguments>(arguments)...), distance_function(&space) {
    pivot_selector.distance_function = distance_function;
  }

  // Equally distant points are told apart by id, so a point exactly on the
  // bound must never be pruned by a rounding error of the distances: a
  // relative slack, and an absolute one for angles, whose error near 0 is
  // about (1.3 dim + 50) 2^-53 turns each (2^-36 covers three of them up to
  // some 30,000 dimensions; distances of other metrics that small are rare).
  static constexpr Pruning pruning{0x1p-32, 0x1p-36};
  // Marked rows make removal rebuild once they are this many (and as many
  // as the live ones).
  static constexpr std::size_t removed_cache_size = 500;
  RowIndex(const RowIndex&) = delete;
  RowIndex& operator=(const RowIndex&) = delete;

  // Adds `n` points under `ids` (or, when `ids` is null, under the next
  // free ids), all or none: `append(space)` appends the points as new rows.
  // A batch into an empty index, or one at least as large as the index,
  // builds the whole tree in bulk (on `build_workers` threads); a smaller
  // one goes in point by point.
  // Duplicate ids raise std::invalid_argument before anything is stored; any
  // later failure (of the space, the distance, memory, or an interruption)
  // takes back whatever the call had added before it propagates.
  template <typename Append>
  std::vector<std::int64_t> add(const std::int64_t* ids, std::size_t n, Append append) {
    settled_rows.store(0, std::memory_order_relaxed);
    settling_rows = 0;
    std::vector<std::int64_t> assigned = assign_ids(ids, n);
    if (n == 0) return assigned;
    const std::size_t first = space.rows();
    if (n > max_rows - first) throw std::length_error("an index holds at most 4294967293 points");
    const std::int64_t largest = *std::max_element(assigned.begin(), assigned.end());
    row_ids.reserve(first + n, largest);
    row_removed.reserve(first + n);
    id_rows.reserve(id_rows.size() + n, row_ids, largest);
    append(space);
    if (space.rows() != first + n) {
      space.truncate(first);
      throw std::logic_error("the space appended the wrong number of rows");
    }
    // Nothing below allocates until the tree takes the rows.
    for (std::size_t i = 0; i < n; ++i) {
      row_ids.push_back(assigned[i]);
      row_removed.push_back(false);
      id_rows.insert(static_cast<std::uint32_t>(first + i), row_ids);
    }
    const std::int64_t previous_next_id = next_id;
    next_id = std::max(next_id, largest + 1);
    const std::size_t stored_before = count;
    settling_rows = tree && n >= count ? count + n : n;
    try {
      if (!tree) {
        this->max_leaf_points = leaf_points(space, 0);
        this->degree = tree_degree(space, 0);
        this->min_degree = this->degree / 2;
        this->max_degree = this->degree + this->degree / 2;
        std::vector<std::uint32_t> rows(n);
        for (std::size_t i = 0; i < n; ++i) rows[i] = static_cast<std::uint32_t>(first + i);
        Tree::add_list(std::move(rows));
        placed_all();
      } else if (n >= count) {
        // A batch at least as large as the index: one bulk build of old and
        // new rows together, grown beside the tree it then replaces.
        std::vector<std::uint32_t> rows;
        this->list(rows);
        for (std::size_t i = 0; i < n; ++i) rows.push_back(static_cast<std::uint32_t>(first + i));
        const std::size_t total = rows.size();
        std::unique_ptr<Node> root = this->plant(std::move(rows));
        if (root->needs_split(*this)) split_planted(*root);
        placed_all();
        Tree::clear();  // drops the marks with the old tree
        tree = std::move(root);
        count = total;
        lay_out_points();
      } else {
        for (std::size_t i = 0; i < n; ++i) {
          Tree::add(static_cast<std::uint32_t>(first + i));
          settled_rows.fetch_add(1, std::memory_order_relaxed);
        }
        placed_all();
      }
    } catch (...) {
      take_back(first, n, count - stored_before);
      next_id = previous_next_id;
      throw;
    }
    return assigned;
  }

  // The tree as flat arrays (vexel/tree_record.h), with the rows numbered
  // as the live rows in row order (`rows` of the record lists them); none
  // while a removed point is still in the tree, since removed points must
  // never leave the index.
  std::optional<TreeRecord> export_tree() const {
    if (removed_rows != 0) return std::nullopt;
    TreeRecord record;
    record.degree = this->degree;
    record.min_degree = this->min_degree;
    record.max_degree = this->max_degree;
    record.max_leaf_points = this->max_leaf_points;
    record.count = count;
    record.box_size = static_cast<std::uint32_t>(space_box_size());
    record.generator = generator_words(pivot_selector.generator);
    if (!tree) return record;
    // Rows outside the tree (marked) are numbered away.
    constexpr std::uint32_t outside = std::numeric_limits<std::uint32_t>::max();
    std::vector<std::uint32_t> renumbered(row_ids.size(), outside);
    record.rows.reserve(count);
    for (std::size_t row = 0; row < row_ids.size(); ++row) {
      if (row_removed[row]) continue;
      renumbered[row] = static_cast<std::uint32_t>(record.rows.size());
      record.rows.push_back(static_cast<std::uint32_t>(row));
    }
    record_nodes(*tree, [&](std::uint32_t row) { return renumbered[row]; }, record);
    if (record.rows.size() == row_ids.size()) (id_rows.is_dense() ? record.id_rows : record.id_slots) = id_rows.table();
    return record;
  }

  // Adds, into an empty index, the `n` rows that `append(space)` appends,
  // under `ids` (or the next free ids when null), with the tree of
  // `record` (export_tree's, its rows numbered as they are appended; a
  // TreeRecord, or a TreeView of arrays read from a file) in place of one
  // built by measuring: no distance is evaluated. The record and the ids
  // are checked before any tree is made (std::invalid_argument naming the
  // fault); on any failure the index stays empty. `id_table_checksummed`
  // says the caller proved the record's id table unchanged since
  // export_tree made it, so that only its shape is checked rather than
  // every id looked up in it (see IdMap::adopt).
  template <typename Append, typename Record>
  void restore(const std::int64_t* ids, std::size_t n, Append append, const Record& record,
               bool id_table_checksummed = false) {
    if (tree || space.rows() != 0) throw std::logic_error("a tree is restored only into an empty index");
    ++layout_generation_;
    if (n > max_rows) throw std::length_error("an index holds at most 4294967293 points");
    std::mt19937 generator = generator_from_words(record.generator);
    // Everything but the box size, which the space may know only once it
    // holds rows (a vector space its dimension).
    check_tree_record(record, n, record.box_size);
    // With the id map's table in the record, the ids need only be in range
    // (the table proves them distinct, or its checksum does); without it
    // they are checked as for any add.
    const bool dense_table = !record.id_rows.empty();
    const bool adopts = (dense_table || !record.id_slots.empty()) && ids != nullptr;
    RowIds restored_ids;
    std::int64_t largest = -1;
    IdMap map;
    // The ids and their map need only the ids and the record's table: for
    // many rows they are made on a thread of their own while the nodes are.
    const auto map_ids = [&] {
      if (adopts) {
        // One pass that vectorises; the offending id is looked for only once
        // one is known to be there.
        std::int64_t smallest = 0;
        for (std::size_t i = 0; i < n; ++i) {
          smallest = std::min(smallest, ids[i]);
          largest = std::max(largest, ids[i]);
        }
        if (smallest < 0 || largest == max_id) {
          const std::int64_t bad = *std::find_if(ids, ids + n, [](std::int64_t id) { return id < 0 || id == max_id; });
          throw std::invalid_argument("id " + std::to_string(bad) + " is out of range");
        }
        restored_ids.assign(ids, n, largest);
        const auto& table = dense_table ? record.id_rows : record.id_slots;
        map.adopt(std::vector<std::uint32_t>(table.begin(), table.end()), dense_table, restored_ids, largest,
                  !id_table_checksummed);
      } else {
        const std::vector<std::int64_t> assigned = assign_ids(ids, n);
        if (n != 0) largest = *std::max_element(assigned.begin(), assigned.end());
        restored_ids.assign(assigned.data(), n, largest);
        if (n != 0) map.reserve(n, restored_ids, largest);
      }
    };
    if (n == 0) {
      map_ids();
      return;
    }
    row_removed.reserve(n);
    std::exception_ptr ids_failure;
    const auto map_ids_beside = [&]() noexcept {
      try {
        map_ids();
      } catch (...) {
        ids_failure = std::current_exception();
      }
    };
    std::thread beside;
    if (n >= restored_rows_beside) {
      try {
        beside = std::thread(map_ids_beside);
      } catch (const std::system_error&) {
        // No thread: the ids are mapped here, first.
      }
    }
    if (!beside.joinable()) map_ids();  // fails before the rows are touched
    std::unique_ptr<Node> root;
    try {
      append(space);
      if (space.rows() != n) throw std::logic_error("the space appended the wrong number of rows");
      if (record.box_size != space_box_size()) {
        throw std::invalid_argument("damaged tree: boxes of " + std::to_string(record.box_size) +
                                    " numbers, where the space makes " + std::to_string(space_box_size()));
      }
      root = nodes_from_record<Node>(record);
    } catch (...) {
      if (beside.joinable()) beside.join();
      space.truncate(0);
      throw;
    }
    if (beside.joinable()) beside.join();
    if (ids_failure) {
      space.truncate(0);
      std::rethrow_exception(ids_failure);
    }
    // Nothing below allocates: the rows' room is reserved.
    row_ids.swap(restored_ids);
    row_removed.assign(n, false);
    if (!adopts) {
      for (std::size_t i = 0; i < n; ++i) map.insert(static_cast<std::uint32_t>(i), row_ids);
    }
    using std::swap;
    swap(id_rows, map);
    next_id = std::max(next_id, largest + 1);
    this->degree = record.degree;
    this->min_degree = record.min_degree;
    this->max_degree = record.max_degree;
    this->max_leaf_points = record.max_leaf_points;
    pivot_selector.generator = generator;
    tree = std::move(root);
    count = n;
  }

  // Removes the point of `id`; false when no point has that id. See
  // remove_many.
  bool remove(std::int64_t id) { return remove_many(&id, 1) != 0; }

  // Removes the points of `ids` (unknown and repeated ids are skipped) and
  // returns how many there were, all or none. The points are only marked:
  // searches skip them, and once the marked rows are as many as the live
  // ones (at least `removed_cache_size`) one rebuild at the end drops them.
  // The rebuild grows the new tree beside the old one, which it replaces
  // only once whole: on any failure (of the distance, memory, or an
  // interruption) every mark is undone and the index is as before.
  std::size_t remove_many(const std::int64_t* ids, std::size_t n) {
    std::vector<std::uint32_t> marked;
    marked.reserve(std::min(n, count));
    const std::size_t count_before = count;
    const std::size_t removed_before = removed_rows;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t row = id_rows.find(ids[i], row_ids);
      if (row == IdMap::none || row_removed[row]) continue;
      mark_removed(row);
      marked.push_back(row);
    }
    if (marked.empty()) return 0;
    std::unique_ptr<Node> rebuilt;
    if (count > 0 && removed_rows >= std::max(removed_cache_size, count)) {
      try {
        rebuilt = grown_beside();
      } catch (...) {
        for (std::uint32_t row : marked) row_removed[row] = false;
        count = count_before;
        removed_rows = removed_before;
        throw;
      }
    }
    // Nothing fails from here on.
    for (std::uint32_t row : marked) id_rows.erase(row_ids[row], row_ids);
    if (count == 0) {
      clear();  // nothing left to keep: not even the dimension or length
    } else if (rebuilt) {
      const std::size_t live = count;
      Tree::clear();  // drops the marks with the old tree
      tree = std::move(rebuilt);
      count = live;
      lay_out_points();
    }
    return marked.size();
  }

  // The row of `id`, or IdMap::none.
  std::uint32_t row_of(std::int64_t id) const { return id_rows.find(id, row_ids); }

  // Every live id, ascending.
  std::vector<std::int64_t> ids() const {
    std::vector<std::int64_t> live;
    live.reserve(count);
    for (std::size_t row = 0; row < row_ids.size(); ++row) {
      if (!row_removed[row]) live.push_back(row_ids[row]);
    }
    std::sort(live.begin(), live.end());
    return live;
  }

  void clear() {
    ++layout_generation_;
    Tree::clear();
    space.clear();
    row_ids.clear();
    std::vector<bool>().swap(row_removed);
    id_rows.clear();
  }

  // The k nearest live points: (distance, id) pairs in ascending order of
  // distance (NaN last), then id. `scratch` and `found` may be reused from
  // one search to the next; `offset` is the search's rotation counter.
  void nearest(const Query& query, std::size_t k, std::vector<Neighbor>& found,
               Neighbors& neighbors, SearchScratch& scratch) const {
    found.clear();
    neighbors.clear();
    if (k == 0 || count == 0) return;
    collect(query, NearestResults<Neighbors>(neighbors, k), found, neighbors, scratch);
  }

  // As nearest, for a query close to the one that `near` answers: the
  // points of that answer, measured from this query, bound the search from
  // its start, so that it skips the work of closing in on them. The answer
  // is nearest's; it costs k more distances, worth it where neighbouring
  // queries share most of their nearest points (a batch in Z-order).
  // `near` is an answer of this index (distinct ids); one of other than k
  // points, or with a point removed since, bounds nothing.
  void nearest_near(const Query& query, std::size_t k, const std::vector<Neighbor>& near,
                    std::vector<Neighbor>& found, Neighbors& neighbors, SearchScratch& scratch) const {
    found.clear();
    neighbors.clear();
    if (k == 0 || count == 0) return;
    const double cap = farthest_of(query, k, near, scratch);
    if (cap == std::numeric_limits<double>::infinity()) {
      collect(query, NearestResults<Neighbors>(neighbors, k), found, neighbors, scratch);
    } else {
      collect(query, CappedNearestResults<Neighbors>(neighbors, k, cap), found, neighbors, scratch);
    }
  }

  // Every live point within `radius`, in the same order.
  void within(const Query& query, double radius, std::vector<Neighbor>& found,
              Neighbors& neighbors, SearchScratch& scratch) const {
    found.clear();
    neighbors.clear();
    if (count == 0 || radius != radius) return;
    collect(query, WithinResults<Neighbors>(neighbors, radius), found, neighbors, scratch);
  }

  // --- what the tree asks of its host ---------------------------------------

  bool has_removed() const { return removed_rows != 0; }
  // Changes whenever rows are renumbered (a layout, a clear, a restore), for
  // what keeps row numbers outside the index (vexel/edit_neighbourhood.h).
  std::uint64_t layout_generation() const { return layout_generation_; }
  // Eight bytes a point buy leaf scans that skip most of their distances.
  static constexpr bool keeps_point_distances = true;
  static constexpr CenterChoice center_choice = space_center_choice<Space>::value;
  static constexpr bool boxes_replace_ranges = replaces_ranges_with_boxes<Space>::value;
  // A leaf of equal rows stays one leaf: splitting it would only hang its
  // rows in a chain, one level each, every level measuring all the rest.
  static constexpr bool keeps_duplicate_leaves = true;
  bool is_removed(std::uint32_t row) const { return row_removed[row]; }
  // Rows keep their identity wherever they move: buckets grow as needed,
  // and a leaf splits even while points are marked.
  static std::size_t bucket_reserve() { return 0; }
  void leaf_overflowed(Node& leaf) { leaf.split(*this); }
  // A whole batch splits on `build_workers` threads, into the same tree
  // for any number of them: one seed for the batch from the pivot
  // selector's generator, and each split's own from it (split_all).
  void split_planted(Node& root) {
    const std::uint64_t high = pivot_selector.generator(), low = pivot_selector.generator();
    this->split_all(root, build_workers, (high << 32) | low);
  }
  // Once the root of a first batch has split, its children's rows are laid
  // out each in a block of its own, so that every later split reads one
  // block in order instead of rows strewn over the whole batch. Renumbering
  // keeps every bucket's order, so the tree grows as it would have. (A
  // batch that joins a tree is grown beside it and laid out once done.)
  void root_split(Node& root) noexcept {
    if (lays_out_split_root && tree.get() == &root && count == space.rows()) lay_out_points();
  }
  // The tree that held the marked rows is gone; the rows stay marked, out of
  // the tree, until the next layout drops them.
  void tree_cleared() { removed_rows = 0; }
  static void store_in_bucket(std::vector<std::uint32_t>& bucket, std::uint32_t row) {
    bucket.push_back(row);
  }
  std::int64_t key_of(std::uint32_t row) const { return row_ids[row]; }
  void poll() const {
    if (interruption_point) interruption_point();
  }

  // Admits a candidate into the k best by (distance, id): an equally distant
  // candidate with a smaller id displaces the top.
  bool offer_candidate(Neighbors& neighbors, std::size_t k, std::uint32_t row, double distance,
                       const Query&) const {
    if (neighbors.size() < k) {
      neighbors.push(distance, row_ids[row]);
      return true;
    }
    // Most candidates are farther than the bound: rejected before their id
    // is read (a cache miss each).
    const Neighbor& top = neighbors.top();
    if (distance_less(top.distance, distance)) return false;
    const std::int64_t id = row_ids[row];
    if (distance_less(distance, top.distance) || id < top.stored) {
      neighbors.replace_top(distance, id);
      return true;
    }
    return false;
  }

  // After a batch build every row of the tree is live: renumbers them in
  // tree order (pre-order, pivot before bucket), so that a leaf's rows lie
  // together, and drops the rows outside the tree. A space that reorders
  // its rows in place (`reorder`) does so, and so do the ids: the layout
  // then needs no second copy of the rows. Everything that may fail comes
  // before anything changes; when memory runs short only the layout is
  // lost.
  void lay_out_points() noexcept {
    ++layout_generation_;
    try {
      std::vector<Node*> nodes;
      std::vector<std::uint32_t> order;
      order.reserve(space.rows());
      std::vector<Node*> pending{tree.get()};
      while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        nodes.push_back(node);
        order.push_back(node->pivot);
        order.insert(order.end(), node->points.begin(), node->points.end());
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
      const std::size_t kept = order.size();
      if constexpr (reorders_in_place<Space>::value) {
        // Every row, those outside the tree last, to be dropped.
        std::vector<bool> done(space.rows(), false);
        for (std::uint32_t row : order) done[row] = true;
        for (std::size_t row = 0; row < done.size(); ++row) {
          if (!done[row]) order.push_back(static_cast<std::uint32_t>(row));
        }
        id_rows.reserve(kept, row_ids);
        space.reorder(order, done);
        // Nothing below fails.
        std::int64_t held = 0;
        gather_in_place(
            order, done, [&](std::size_t i) { held = row_ids[i]; },
            [&](std::size_t to, std::size_t from) { row_ids.set(to, row_ids[from]); },
            [&](std::size_t to) { row_ids.set(to, held); });
        space.truncate(kept);
        row_ids.truncate(kept);
        row_removed.assign(kept, false);
        id_rows.refill(kept, row_ids);
      } else {
        Space laid_out = space.reordered(order);
        RowIds ids = row_ids.gathered(order);
        std::vector<bool> removed(kept, false);
        std::int64_t largest = 0;
        for (std::size_t i = 0; i < kept; ++i) largest = std::max(largest, ids[i]);
        IdMap rows;
        rows.reserve(kept, ids, largest);
        for (std::size_t i = 0; i < kept; ++i) rows.insert(static_cast<std::uint32_t>(i), ids);

        using std::swap;
        swap(space, laid_out);
        row_ids.swap(ids);
        row_removed.swap(removed);
        swap(id_rows, rows);
      }
      std::uint32_t next_row = 0;
      for (Node* node : nodes) {
        node->pivot = next_row++;
        for (std::uint32_t& row : node->points) row = next_row++;
      }
    } catch (...) {
      // Only the layout is lost.
    }
    release_free_memory();
  }

  Space space;
  RowDistance<Space> distance_function;
  RowIds row_ids;                           // the id of every row
  std::vector<bool> row_removed;            // whether a row's point was removed (a bit each)
  std::size_t removed_rows = 0;             // removed rows still in the tree
  IdMap id_rows;                            // live ids only
  std::int64_t next_id = 0;                 // the first id never used
  std::function<void()> interruption_point;  // may throw to stop long work
  // Rows of the running add in their final place so far (a bulk build's
  // splits report theirs), for progress reports from interruption_point.
  std::atomic<std::size_t> settled_rows{0};
  std::size_t settling_rows = 0;  // of how many
  void rows_settled(std::size_t rows) { settled_rows.fetch_add(rows, std::memory_order_relaxed); }
  // Every row of an add is in place, nothing committed yet: a last poll
  // (which reports the end), so that a report that fails takes the add back.
  void placed_all() {
    settled_rows.store(settling_rows, std::memory_order_relaxed);
    poll();
  }
  std::size_t build_workers = 1;             // threads that split a batch (a native metric's)
  // A split keeps at most this many bytes of point-to-center distances at
  // once: a larger one (the root of a bulk build) measures them twice, a
  // slice of rows at a time, rather than hold a matrix several times the
  // size of the rows. The tree is the same.
  std::size_t max_split_matrix_bytes = std::size_t{64} << 20;
  // Whether a first batch lays its rows out once its root has split (see
  // root_split); the tree is the same either way.
  bool lays_out_split_root = true;

 private:
  // Runs `results` (which collect into `neighbors`) through the search and
  // drains them into `found`, nearest first.
  template <typename Results>
  void collect(const Query& query, Results results, std::vector<Neighbor>& found, Neighbors& neighbors,
               SearchScratch& scratch) const {
    std::uint64_t offset = 0;
    this->search(query, results, scratch, offset);
    neighbors.drain(found, [](const Neighbor& entry) { return entry; });
  }

  // The largest distance from `query` to the k live points of `near`, each
  // measured as a leaf measures it; infinity where that bounds nothing.
  double farthest_of(const Query& query, std::size_t k, const std::vector<Neighbor>& near,
                     SearchScratch& scratch) const {
    constexpr double none = std::numeric_limits<double>::infinity();
    if (near.size() != k) return none;
    std::vector<std::uint32_t>& rows = scratch.survivors;
    if (rows.size() < k) rows.resize(k);
    for (std::size_t i = 0; i < k; ++i) {
      const std::uint32_t row = row_of(near[i].stored);  // none once removed
      if (row == IdMap::none) return none;
      rows[i] = row;
    }
    double farthest = 0.0;
    const auto widen = [&farthest](double d) { farthest = d <= farthest ? farthest : d; };  // NaN stays
    if constexpr (measures_batches<RowDistance<Space>, Query, std::uint32_t>::value) {
      std::vector<double>& d = scratch.bucket_distances;
      if (d.size() < k) d.resize(k);
      distance_function.batch(query, rows.data(), k, d.data());
      std::for_each(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(k), widen);
    } else {
      for (std::size_t i = 0; i < k; ++i) widen(distance_function(query, rows[i]));
    }
    return farthest == farthest ? farthest : none;
  }

  std::vector<std::int64_t> assign_ids(const std::int64_t* ids, std::size_t n) const {
    std::vector<std::int64_t> assigned(n);
    if (ids == nullptr) {
      if (n > 0 && static_cast<std::uint64_t>(max_id - next_id) < n - 1) {
        throw std::overflow_error("no ids left to assign");
      }
      for (std::size_t i = 0; i < n; ++i) assigned[i] = next_id + static_cast<std::int64_t>(i);
      return assigned;
    }
    std::copy(ids, ids + n, assigned.begin());
    std::vector<std::int64_t> sorted_ids(assigned);
    std::sort(sorted_ids.begin(), sorted_ids.end());
    for (std::size_t i = 0; i < n; ++i) {
      if (sorted_ids[i] < 0) {
        throw std::invalid_argument("ids must be non-negative, got " + std::to_string(sorted_ids[i]));
      }
      if (sorted_ids[i] == max_id) throw std::invalid_argument("the id 9223372036854775807 is reserved");
      if (i > 0 && sorted_ids[i] == sorted_ids[i - 1]) {
        throw std::invalid_argument("duplicate id " + std::to_string(sorted_ids[i]) + " in the call");
      }
      if (id_rows.find(sorted_ids[i], row_ids) != IdMap::none) {
        throw std::invalid_argument("id " + std::to_string(sorted_ids[i]) + " is already stored");
      }
    }
    return assigned;
  }

  // The first half of a rebuild that leaves the index untouched: a new
  // tree of the live rows, split, to replace the old one.
  std::unique_ptr<Node> grown_beside() {
    std::vector<std::uint32_t> live;
    this->list(live);
    std::unique_ptr<Node> root = this->plant(std::move(live));
    if (root->needs_split(*this)) split_planted(*root);
    return root;
  }

  // Numbers a box side holds in this space (0: no boxes).
  std::size_t space_box_size() const {
    if constexpr (Tree::keeps_boxes) {
      return distance_function.box_size();
    } else {
      return 0;
    }
  }

  std::uint64_t layout_generation_ = 0;

  void mark_removed(std::uint32_t row) {
    row_removed[row] = true;
    ++removed_rows;
    --count;
  }

  // Undoes a failed `add` of the rows [first, first + n), of which the first
  // `stored` reached the tree. Marks and erasures allocate nothing.
  void take_back(std::size_t first, std::size_t n, std::size_t stored) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
      const auto row = static_cast<std::uint32_t>(first + i);
      id_rows.erase(row_ids[row], row_ids);
      if (i < stored) {
        mark_removed(row);
      } else {
        row_removed[row] = true;  // never reached the tree
      }
    }
    if (count == 0) clear();
  }
};

}  // namespace vexel
