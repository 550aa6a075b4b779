// The korel index: a multi-pivot metric tree with best-first search,
// triangle-inequality pruning and lazy removal, over Points it owns copies of
// and measures with a std::function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vexel/korel_tree.h"
#include "vexel/nearest_neighbors.h"
#include "vexel/pruning.h"
#include "vexel/rotation_counter.h"
#include "vexel/search_queues.h"
#include "vexel/search_results.h"

namespace vexel {

// Points are sequences compared element by element: a NaN element equals
// nothing, and 0.0 equals -0.0.
template <typename T>
bool points_equal(const T& a, const T& b) {
  return a == b;
}

template <typename T>
class NearestNeighborsKorel
    : public NearestNeighbors<T>,
      public KorelTree<NearestNeighborsKorel<T>, T, typename NearestNeighbors<T>::DistanceFunction> {
 public:
  using Base = NearestNeighbors<T>;
  using typename Base::DistanceFunction;
  using Base::distance_function;
  using Tree = KorelTree<NearestNeighborsKorel<T>, T, DistanceFunction>;
  using Node = typename Tree::Node;
  using Neighbors = typename Tree::Neighbors;
  using Tree::count;
  using Tree::pivot_selector;
  using Tree::rebuild;
  using Tree::tree;

  // The triangle inequality prunes on the computed distances as they are.
  static constexpr Pruning pruning{0.0};

  NearestNeighborsKorel() = default;
  ~NearestNeighborsKorel() override { tree.reset(); }

  // Installs the metric in the index and in the pivot selector. Every radius
  // and range depends on it, so a tree is rebuilt with the new one. Either
  // the swap completes, or (memory exhausted before the new tree holds the
  // Points) the old function stays installed and the tree unchanged; a
  // failure of the new function while the new tree splits leaves it
  // installed, with its Points in an over-full leaf.
  void set_distance_function(const DistanceFunction& function) override {
    std::unique_ptr<Node> replanted;
    {
      DistanceFunction own(function);
      DistanceFunction selector(function);
      if (tree) {
        std::vector<T> live;
        Tree::list(live);
        if (!live.empty()) replanted = this->plant(std::move(live));
      }
      own.swap(distance_function);
      selector.swap(pivot_selector.distance_function);
    }  // the old functions die here
    if (replanted) {
      this->replant(std::move(replanted));
    } else if (tree) {
      clear();  // every stored Point was removed
    }
  }

  bool reports_sorted_results() const override { return true; }

  void clear() override { Tree::clear(); }

  void add(const T& point) override {
    if (!tree) {
      Tree::add(point);
      return;
    }
    // Copy first: the argument may be a stored Point that a rebuild destroys.
    T value(point);
    if (is_removed(point)) rebuild();
    Tree::add(std::move(value));
  }

  void add_list(const std::vector<T>& points) override {
    if (tree) {
      for (const T& point : points) this->add(point);
      return;
    }
    Tree::add_list(points);
  }

  // Lazy removal: the stored copy is only marked. Removing a pivot, or
  // collecting `removed_cache_size` marks, purges them all in a rebuild.
  bool remove(const T& point) override {
    if (count == 0) return false;
    Neighbors neighbors;
    const bool is_pivot = nearest_k_internal(point, 1, neighbors);
    const T* stored = neighbors.top().stored;
    if (!points_equal(*stored, point)) return false;

    removed.insert(stored);
    --count;
    if (is_pivot || removed.size() >= removed_cache_size) {
      try {
        rebuild();
      } catch (...) {
        // Searches never consult the set for pivots, so a pivot mark must
        // not survive a rebuild that failed before it replaced the tree.
        if (is_pivot && removed.erase(stored) != 0) ++count;
        throw;
      }
    }
    return true;
  }

  T nearest(const T& query) const override {
    if (count == 0) return T();
    Neighbors neighbors;
    nearest_k_internal(query, 1, neighbors);
    return *neighbors.top().stored;
  }

  void nearest_k(const T& query, std::size_t k, std::vector<T>& result) const override {
    result.clear();
    if (k == 0 || count == 0) return;
    Neighbors neighbors;
    nearest_k_internal(query, k, neighbors);
    neighbors.drain(result, [](const auto& entry) { return *entry.stored; });
  }

  void nearest_r(const T& query, double radius, std::vector<T>& result) const override {
    result.clear();
    if (count == 0) return;
    Neighbors neighbors;
    nearest_r_internal(query, radius, neighbors);
    neighbors.drain(result, [](const auto& entry) { return *entry.stored; });
  }

  std::size_t size() const override { return count; }

  void list(std::vector<T>& result) const override { Tree::list(result); }

  // Best-first k-nearest search; `neighbors` must be empty and `count` not 0.
  // Returns whether the entry admitted last was a pivot.
  bool nearest_k_internal(const T& query, std::size_t k, Neighbors& neighbors) const {
    typename Tree::SearchScratch scratch;
    NearestResults<Neighbors> results(neighbors, k);
    this->search(query, results, scratch, search_offset);
    return results.last_admitted_pivot();
  }

  // Best-first radius search; `neighbors` must be empty and `count` not 0.
  void nearest_r_internal(const T& query, double radius, Neighbors& neighbors) const {
    typename Tree::SearchScratch scratch;
    WithinResults<Neighbors> results(neighbors, radius);
    this->search(query, results, scratch, search_offset);
  }

  bool is_removed(const T& point) const {
    return !removed.empty() && removed.count(&point) != 0;
  }
  bool has_removed() const { return !removed.empty(); }
  static constexpr bool keeps_point_distances = false;
  static constexpr CenterChoice center_choice = CenterChoice::farthest_first;
  // Every overflowing leaf splits, even one of equal Points.
  static constexpr bool keeps_duplicate_leaves = false;
  // A leaf fills up to its split without moving its Points: the removed
  // set refers to them by address.
  std::size_t bucket_reserve() const { return std::size_t{this->max_leaf_points} + 1; }
  // The removed set referred to the tree that is gone.
  void tree_cleared() {
    removed.clear();
    if (rebuild_threshold != std::numeric_limits<std::size_t>::max()) {
      rebuild_threshold = std::size_t{this->max_leaf_points * this->degree};
    }
  }
  static void poll() {}
  // A split would move stored Points that the removed set refers to: while
  // it holds any, an over-full leaf rebuilds the tree instead. So does one
  // that fills the tree up to `rebuild_threshold`, which then doubles.
  // Splits in the generator's order, depth first.
  void split_planted(Node& root) { root.split(*this); }
  void leaf_overflowed(Node& leaf) {
    if (!removed.empty()) {
      rebuild();
    } else if (count < rebuild_threshold) {
      leaf.split(*this);
    } else {
      const std::size_t threshold = rebuild_threshold;
      rebuild();
      rebuild_threshold = 2 * threshold;
    }
  }
  static const T* key_of(const T& stored) { return &stored; }

  // Admits a candidate into the k best so far. A candidate exactly as far as
  // the bound loses to the one held, except an exact copy of the query at a
  // distance below epsilon, which always wins: removal relies on landing on
  // the stored copy it looks for. NaN ranks after every distance.
  static bool offer_candidate(Neighbors& neighbors, std::size_t k, const T& stored,
                              double distance, const T& query) {
    if (neighbors.size() < k) {
      neighbors.push(distance, &stored);
      return true;
    }
    if (distance_less(distance, neighbors.bound()) ||
        (distance < std::numeric_limits<double>::epsilon() && points_equal(stored, query))) {
      neighbors.replace_top(distance, &stored);
      return true;
    }
    return false;
  }

  // Appends a Point to a bucket. The removed set holds addresses of bucket
  // elements; when the bucket has no spare capacity (a leaf left over-full
  // by an interrupted split) growing it moves every element, so the marks
  // are carried to the new addresses.
  void store_in_bucket(std::vector<T>& points, T point) {
    if (points.size() < points.capacity() || removed.empty()) {
      points.push_back(std::move(point));
      return;
    }
    std::vector<std::size_t> marked;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (removed.count(&points[i]) != 0) marked.push_back(i);
    }
    std::vector<const T*> old_address;
    old_address.reserve(marked.size());
    for (std::size_t i : marked) old_address.push_back(&points[i]);
    points.push_back(std::move(point));
    for (std::size_t m = 0; m < marked.size(); ++m) {
      auto entry = removed.extract(old_address[m]);
      entry.value() = &points[marked[m]];
      removed.insert(std::move(entry));
    }
  }

  // Gives every stored Point a fresh copy, all made before any old one is
  // freed, in pre-order: the allocator then hands out consecutive memory, so
  // the Points of a leaf lie together and a search scans them without a
  // cache miss per Point.
  // The Point objects stay where they are; only their contents move.
  void lay_out_points() noexcept {
    std::vector<Node*> order;
    std::vector<T> fresh;
    try {
      std::vector<Node*> pending{tree.get()};
      while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        order.push_back(node);
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
      fresh.reserve(count);  // every stored Point is live after a batch build
      for (const Node* node : order) {
        fresh.push_back(node->pivot);
        fresh.insert(fresh.end(), node->points.begin(), node->points.end());
      }
    } catch (const std::bad_alloc&) {
      return;  // only the layout is lost
    }
    using std::swap;
    auto copy = fresh.begin();
    for (Node* node : order) {
      swap(node->pivot, *copy++);
      for (T& point : node->points) swap(point, *copy++);
    }
  }

  std::unordered_set<const T*> removed;
  // Rotates the visiting order of children from search to search; atomic,
  // so that concurrent searches (which only read the tree) may share it.
  mutable RotationCounter search_offset;
  // The count at which an insertion rebuilds instead of splitting (never).
  std::size_t rebuild_threshold = std::numeric_limits<std::size_t>::max();
  // Marks that make removal rebuild.
  std::size_t removed_cache_size = 500;
};

}  // namespace vexel
