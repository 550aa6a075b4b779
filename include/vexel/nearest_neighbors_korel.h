// The korel index: a multi-pivot metric tree with best-first search,
// triangle-inequality pruning and lazy removal.
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

#include "vexel/greedy_k_centers.h"
#include "vexel/nearest_neighbors.h"
#include "vexel/search_queues.h"

namespace vexel {

// A bucket's Points may lie anywhere on the heap (a tree grown one insertion
// at a time); asking for the coordinates of a Point a few places ahead hides
// most of the cache misses of a leaf scan.
constexpr std::size_t prefetch_distance = 4;

template <typename T>
inline void prefetch(const T&) {}

template <typename Allocator>
inline void prefetch(const std::vector<double, Allocator>& point) {
#if defined(__GNUC__)
  __builtin_prefetch(point.data());
#else
  (void)point;
#endif
}

// Points are sequences compared element by element: a NaN element equals
// nothing, and 0.0 equals -0.0.
template <typename T>
bool points_equal(const T& a, const T& b) {
  return a == b;
}

template <typename T>
class NearestNeighborsKorel : public NearestNeighbors<T> {
 public:
  using Base = NearestNeighbors<T>;
  using typename Base::DistanceFunction;
  using Base::distance_function;

  class Node;
  using Neighbors = NeighborQueue<T>;
  using Nodes = NodeQueue<Node>;

  // Work arrays of one inner-node visit, kept for the whole search so that
  // visits do not allocate.
  struct VisitScratch {
    std::vector<double> pivot_distance;
    std::vector<std::int32_t> order;  // a child position, or -1 once eliminated
  };

  class Node {
   public:
    Node(std::uint32_t node_degree, std::uint32_t leaf_capacity, T node_pivot)
        : degree(node_degree),
          pivot(std::move(node_pivot)),
          min_range(node_degree, std::numeric_limits<double>::infinity()),
          max_range(node_degree, -std::numeric_limits<double>::infinity()) {
      // A leaf fills up to its split without moving its Points.
      points.reserve(std::size_t{leaf_capacity} + 1);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Destroys the subtree without recursion: a chain of equal Points is one
    // level deep per surplus Point.
    ~Node() {
      std::vector<std::unique_ptr<Node>> doomed = std::move(children);
      while (!doomed.empty()) {
        std::unique_ptr<Node> node = std::move(doomed.back());
        doomed.pop_back();
        for (auto& child : node->children) doomed.push_back(std::move(child));
        node->children.clear();
      }
    }

    bool is_leaf() const { return children.empty(); }

    bool needs_split(const NearestNeighborsKorel& index) const {
      const auto held = static_cast<std::uint32_t>(points.size());
      return held > index.max_leaf_points && held > degree;
    }

    void update_radius(double d) {
      if (d < min_radius) min_radius = d;
      if (d > max_radius) max_radius = d;
    }

    void update_range(std::size_t k, double d) {
      if (d < min_range[k]) min_range[k] = d;
      if (d > max_range[k]) max_range[k] = d;
    }

    // Routes `point` down to a leaf, widening ranges and radii on the way,
    // stores it there, and splits (or rebuilds) when the leaf overflows.
    // May destroy this node through a rebuild: nothing touches it afterwards.
    void add(NearestNeighborsKorel& index, T point) {
      Node* node = this;
      std::vector<double> d;
      while (!node->is_leaf()) {
        auto& kids = node->children;
        d.resize(kids.size());
        for (std::size_t i = 0; i < kids.size(); ++i) {
          d[i] = index.distance_function(point, kids[i]->pivot);
        }
        const std::size_t k = first_minimum(d.size(), [&](std::size_t i) { return d[i]; });
        for (std::size_t i = 0; i < kids.size(); ++i) kids[i]->update_range(k, d[i]);
        kids[k]->update_radius(d[k]);
        node = kids[k].get();
      }

      node->append_to_bucket(index, std::move(point));
      ++index.count;
      if (!node->needs_split(index)) return;
      if (!index.removed.empty()) {
        // A split would move stored Points that the removed set refers to.
        index.rebuild();
      } else if (index.count < index.rebuild_threshold) {
        node->split(index);
      } else {
        const std::size_t threshold = index.rebuild_threshold;
        index.rebuild();
        index.rebuild_threshold = 2 * threshold;
      }
    }

    // Splits this leaf, then, depth first and in child order, every new child
    // that is itself over-full. The order fixes the generator's draws.
    void split(NearestNeighborsKorel& index) {
      std::vector<Node*> pending{this};
      while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        if (node != this && !node->needs_split(index)) continue;
        node->split_leaf(index);
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
    }

    // Appends copies of the live Points of this subtree in pre-order.
    void list(const NearestNeighborsKorel& index, std::vector<T>& out) const {
      std::vector<const Node*> pending{this};
      while (!pending.empty()) {
        const Node* node = pending.back();
        pending.pop_back();
        if (!index.is_removed(node->pivot)) out.push_back(node->pivot);
        for (const T& point : node->points) {
          if (!index.is_removed(point)) out.push_back(point);
        }
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
    }

    // One node of the k-nearest search: measure the bucket and the children
    // still in play, eliminate siblings through the measured child's ranges,
    // and queue the children that may still hold a better Point.
    void visit_k(const NearestNeighborsKorel& index, const T& query, std::size_t k,
                 Neighbors& neighbors, Nodes& nodes, bool& pivot_flag,
                 VisitScratch& scratch) const {
      measure_bucket(index, query, [&](const T& point, double d) {
        if (offer_candidate(neighbors, k, point, d, query)) pivot_flag = false;
      });
      if (is_leaf()) return;

      measure_children(index, query, scratch, [&](const Node& child, std::size_t i, double d) {
        if (offer_candidate(neighbors, k, child.pivot, d, query)) pivot_flag = true;
        if (neighbors.size() == k) child.eliminate_siblings(scratch.order, i, d, neighbors.bound());
      });
      const double t = neighbors.bound();
      enqueue_children(scratch, nodes, [&](const Node& child, double d) {
        return neighbors.size() < k || (d - t <= child.max_radius && d + t >= child.min_radius);
      });
    }

    // One node of the radius search: as visit_k, with the radius as a fixed
    // bound and every hit kept.
    void visit_r(const NearestNeighborsKorel& index, const T& query, double radius,
                 Neighbors& neighbors, Nodes& nodes, VisitScratch& scratch) const {
      measure_bucket(index, query, [&](const T& point, double d) {
        if (d <= radius) neighbors.push(d, &point);
      });
      if (is_leaf()) return;

      measure_children(index, query, scratch, [&](const Node& child, std::size_t i, double d) {
        if (d <= radius) neighbors.push(d, &child.pivot);
        child.eliminate_siblings(scratch.order, i, d, radius);
      });
      enqueue_children(scratch, nodes, [&](const Node& child, double d) {
        return d - radius <= child.max_radius && d + radius >= child.min_radius;
      });
    }

    std::uint32_t degree;
    T pivot;
    double min_radius = std::numeric_limits<double>::infinity();
    double max_radius = -std::numeric_limits<double>::infinity();
    std::vector<double> min_range;  // indexed by sibling position
    std::vector<double> max_range;
    std::vector<T> points;  // the bucket; empty in inner nodes
    std::vector<std::unique_ptr<Node>> children;

   private:
    // The index of the first smallest value; a NaN never replaces the best.
    template <typename Value>
    static std::size_t first_minimum(std::size_t n, Value value) {
      std::size_t best_index = 0;
      double best = value(0);
      for (std::size_t i = 1; i < n; ++i) {
        const double v = value(i);
        if (best > v) {
          best_index = i;
          best = v;
        }
      }
      return best_index;
    }

    // Appends a Point to the bucket. The removed set holds addresses of
    // bucket elements; when the bucket has no spare capacity (a leaf left
    // over-full by an interrupted split) growing it moves every element, so
    // the marks are carried to the new addresses.
    void append_to_bucket(NearestNeighborsKorel& index, T point) {
      if (points.size() < points.capacity() || index.removed.empty()) {
        points.push_back(std::move(point));
        return;
      }
      std::vector<std::size_t> marked;
      for (std::size_t i = 0; i < points.size(); ++i) {
        if (index.removed.count(&points[i]) != 0) marked.push_back(i);
      }
      std::vector<const T*> old_address;
      old_address.reserve(marked.size());
      for (std::size_t i : marked) old_address.push_back(&points[i]);
      points.push_back(std::move(point));
      for (std::size_t m = 0; m < marked.size(); ++m) {
        auto entry = index.removed.extract(old_address[m]);
        entry.value() = &points[marked[m]];
        index.removed.insert(std::move(entry));
      }
    }

    // Turns this leaf into an inner node whose children are built around the
    // centers chosen from its bucket. Either it completes, or (when the
    // distance function or an allocation fails) the leaf is left unchanged.
    void split_leaf(NearestNeighborsKorel& index) {
      const std::size_t n = points.size();
      DistanceMatrix matrix(static_cast<std::int64_t>(n), degree);
      std::vector<std::uint32_t> centers;
      index.pivot_selector.select_centers(points, degree, centers, matrix);

      // A center chosen twice (only possible when some d(x, x) is not 0)
      // gets one child: its Point must be stored once.
      std::vector<std::size_t> column;  // matrix column of each child
      column.reserve(centers.size());
      for (std::size_t s = 0; s < centers.size(); ++s) {
        bool repeated = false;
        for (std::size_t c : column) repeated = repeated || centers[c] == centers[s];
        if (!repeated) column.push_back(s);
      }
      const std::size_t m = column.size();
      auto distance = [&](std::size_t row, std::size_t child) {
        return matrix(static_cast<std::int64_t>(row), static_cast<std::int64_t>(column[child]));
      };

      std::vector<std::unique_ptr<Node>> kids;
      kids.reserve(degree);
      for (std::size_t c = 0; c < m; ++c) {
        kids.push_back(std::make_unique<Node>(degree, index.max_leaf_points, points[centers[column[c]]]));
      }

      // Each row goes to its nearest center, the first on ties. A center's
      // own row always stays with its child (under a metric it is nearest
      // anyway), so no Point is ever stored twice.
      constexpr std::size_t no_child = std::numeric_limits<std::size_t>::max();
      std::vector<std::size_t> own_child(n, no_child);
      for (std::size_t c = 0; c < m; ++c) own_child[centers[column[c]]] = c;
      std::vector<std::size_t> target(n);
      std::vector<std::size_t> load(m, 0);
      for (std::size_t j = 0; j < n; ++j) {
        target[j] = own_child[j] != no_child
                        ? own_child[j]
                        : first_minimum(m, [&](std::size_t i) { return distance(j, i); });
        if (own_child[j] == no_child) ++load[target[j]];
      }
      for (std::size_t c = 0; c < m; ++c) {
        if (load[c] > kids[c]->points.capacity()) kids[c]->points.reserve(load[c]);
      }

      // Nothing below can fail: the Points move into reserved room.
      for (std::size_t j = 0; j < n; ++j) {
        const std::size_t k = target[j];
        if (own_child[j] == no_child) {
          kids[k]->points.push_back(std::move(points[j]));
          kids[k]->update_radius(distance(j, k));
        }
        for (std::size_t i = 0; i < m; ++i) kids[i]->update_range(k, distance(j, i));
      }
      for (auto& kid : kids) {
        const std::uint64_t share = (std::uint64_t{kid->points.size()} * m) / n;
        std::uint32_t child_degree = static_cast<std::uint32_t>(share);
        if (child_degree < index.min_degree) child_degree = index.min_degree;
        if (child_degree > index.max_degree) child_degree = index.max_degree;
        kid->degree = child_degree;
        // A child that received only its pivot covers the distance 0.
        if (kid->min_radius == std::numeric_limits<double>::infinity()) {
          kid->min_radius = 0.0;
          kid->max_radius = 0.0;
        }
      }
      degree = static_cast<std::uint32_t>(m);
      children = std::move(kids);
      std::vector<T>().swap(points);  // inner nodes hold no bucket storage
    }

    // Hands every live bucket Point with its distance from the query to
    // `found`. Removed Points cost one address lookup and no distance, and no
    // lookup at all while nothing is removed.
    template <typename Found>
    void measure_bucket(const NearestNeighborsKorel& index, const T& query, Found found) const {
      const bool check_removed = !index.removed.empty();
      for (std::size_t i = 0; i < points.size(); ++i) {
        const T& point = points[i];
        if (i + prefetch_distance < points.size()) prefetch(points[i + prefetch_distance]);
        if (check_removed && index.removed.count(&point) != 0) continue;
        found(point, index.distance_function(query, point));
      }
    }

    // Measures, in the rotated visiting order, the pivot of every child not
    // yet eliminated, and hands it to `measured` with its slot in the order
    // (which may eliminate later and earlier siblings).
    template <typename Measured>
    void measure_children(const NearestNeighborsKorel& index, const T& query,
                          VisitScratch& scratch, Measured measured) const {
      start_visit(index, scratch);
      for (std::size_t i = 0; i < scratch.order.size(); ++i) {
        if (scratch.order[i] < 0) continue;
        const auto position = static_cast<std::size_t>(scratch.order[i]);
        const Node& child = *children[position];
        const double d = index.distance_function(query, child.pivot);
        scratch.pivot_distance[position] = d;
        measured(child, i, d);
      }
    }

    // Queues, in visiting order, every surviving child that `keep` accepts.
    template <typename Keep>
    void enqueue_children(const VisitScratch& scratch, Nodes& nodes, Keep keep) const {
      for (std::int32_t position : scratch.order) {
        if (position < 0) continue;
        const Node& child = *children[static_cast<std::size_t>(position)];
        const double d = scratch.pivot_distance[static_cast<std::size_t>(position)];
        if (keep(child, d)) nodes.push(&child, d);
      }
    }

    // Advances the rotation and lays out the visiting order of the children.
    void start_visit(const NearestNeighborsKorel& index, VisitScratch& scratch) const {
      const std::size_t n = children.size();
      const std::uint64_t offset = index.search_offset++;
      scratch.order.resize(n);
      scratch.pivot_distance.assign(n, 0.0);
      for (std::size_t i = 0; i < n; ++i) {
        scratch.order[i] = static_cast<std::int32_t>((offset + i) % n);
      }
    }

    // Drops from the visiting order every sibling whose Points, as seen from
    // this (measured) child's pivot, all lie farther than `bound` from the
    // ball around the query: the triangle inequality rules them out.
    void eliminate_siblings(std::vector<std::int32_t>& order, std::size_t measured, double d,
                            double bound) const {
      for (std::size_t j = 0; j < order.size(); ++j) {
        if (j == measured || order[j] < 0) continue;
        const auto sibling = static_cast<std::size_t>(order[j]);
        if (d - bound > max_range[sibling] || min_range[sibling] > d + bound) order[j] = -1;
      }
    }
  };

  NearestNeighborsKorel() = default;
  NearestNeighborsKorel(const NearestNeighborsKorel&) = delete;
  NearestNeighborsKorel& operator=(const NearestNeighborsKorel&) = delete;

  ~NearestNeighborsKorel() override { tree.reset(); }

  // Installs the metric in the index and in the pivot selector. Every radius
  // and range depends on it, so a tree is rebuilt with the new one.
  void set_distance_function(const DistanceFunction& function) override {
    Base::set_distance_function(function);
    pivot_selector.set_distance_function(function);
    if (tree) rebuild();
  }

  bool reports_sorted_results() const override { return true; }

  void clear() override {
    tree.reset();
    count = 0;
    removed.clear();
    if (rebuild_threshold != std::numeric_limits<std::size_t>::max()) {
      rebuild_threshold = std::size_t{max_leaf_points * degree};
    }
  }

  void add(const T& point) override {
    if (!tree) {
      tree = std::make_unique<Node>(degree, max_leaf_points, point);
      count = 1;
      return;
    }
    // Copy first: the argument may be a stored Point that a rebuild destroys.
    T value(point);
    if (is_removed(point)) {
      rebuild();
      if (!tree) {  // every stored Point was removed
        tree = std::make_unique<Node>(degree, max_leaf_points, std::move(value));
        count = 1;
        return;
      }
    }
    tree->add(*this, std::move(value));
  }

  void add_list(const std::vector<T>& points) override {
    if (tree) {
      for (const T& point : points) this->add(point);
      return;
    }
    if (points.empty()) return;
    auto root = std::make_unique<Node>(degree, max_leaf_points, points.front());
    root->points.insert(root->points.end(), points.begin() + 1, points.end());
    tree = std::move(root);
    count += points.size();
    if (tree->needs_split(*this)) tree->split(*this);
    lay_out_points();
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
        // not survive a rebuild that failed before it cleared the tree.
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
    neighbors.drain(result);
  }

  void nearest_r(const T& query, double radius, std::vector<T>& result) const override {
    result.clear();
    if (count == 0) return;
    Neighbors neighbors;
    nearest_r_internal(query, radius, neighbors);
    neighbors.drain(result);
  }

  std::size_t size() const override { return count; }

  void list(std::vector<T>& result) const override {
    result.clear();
    result.reserve(count);
    if (tree) tree->list(*this, result);
  }

  // Re-inserts every live Point as one batch, dropping the removed ones.
  void rebuild() {
    std::vector<T> live;
    this->list(live);
    this->clear();
    this->add_list(live);
  }

  // Gives every stored Point a fresh copy, all made before any old one is
  // freed, in pre-order: the allocator then hands out consecutive memory, so
  // the Points of a leaf lie together and a search scans them without a
  // cache miss per Point (twice as fast on large, high-dimensional data).
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

  bool is_removed(const T& point) const {
    return !removed.empty() && removed.count(&point) != 0;
  }

  // Admits a candidate into the k best so far. A candidate exactly as far as
  // the bound loses to the one held, except an exact copy of the query at a
  // distance below epsilon, which always wins: removal relies on landing on
  // the stored copy it looks for.
  static bool offer_candidate(Neighbors& neighbors, std::size_t k, const T& stored,
                              double distance, const T& query) {
    if (neighbors.size() < k) {
      neighbors.push(distance, &stored);
      return true;
    }
    if (neighbors.bound() > distance ||
        (distance < std::numeric_limits<double>::epsilon() && points_equal(stored, query))) {
      neighbors.pop();
      neighbors.push(distance, &stored);
      return true;
    }
    return false;
  }

  // Best-first k-nearest search; `neighbors` must be empty and `count` not 0.
  // Returns whether the entry admitted last was a pivot.
  bool nearest_k_internal(const T& query, std::size_t k, Neighbors& neighbors) const {
    if (!distance_function) throw std::bad_function_call();
    Nodes nodes;
    VisitScratch scratch;
    const double d = distance_function(query, tree->pivot);
    offer_candidate(neighbors, k, tree->pivot, d, query);
    bool pivot_flag = true;
    tree->visit_k(*this, query, k, neighbors, nodes, pivot_flag, scratch);
    while (!nodes.empty()) {
      const double t = neighbors.bound();
      const auto entry = nodes.top();
      nodes.pop();
      const Node& node = *entry.node;
      if (neighbors.size() == k &&
          (entry.distance > node.max_radius + t || entry.distance < node.min_radius - t)) {
        continue;
      }
      node.visit_k(*this, query, k, neighbors, nodes, pivot_flag, scratch);
    }
    return pivot_flag;
  }

  // Best-first radius search; `neighbors` must be empty and `count` not 0.
  void nearest_r_internal(const T& query, double radius, Neighbors& neighbors) const {
    if (!distance_function) throw std::bad_function_call();
    Nodes nodes;
    VisitScratch scratch;
    const double d = distance_function(query, tree->pivot);
    if (d <= radius) neighbors.push(d, &tree->pivot);
    tree->visit_r(*this, query, radius, neighbors, nodes, scratch);
    while (!nodes.empty()) {
      const auto entry = nodes.top();
      nodes.pop();
      const Node& node = *entry.node;
      if (entry.distance > node.max_radius + radius || entry.distance < node.min_radius - radius) {
        continue;
      }
      node.visit_r(*this, query, radius, neighbors, nodes, scratch);
    }
  }

  std::unique_ptr<Node> tree;
  std::uint32_t degree = 8;
  std::uint32_t min_degree = 4;
  std::uint32_t max_degree = 12;
  std::uint32_t max_leaf_points = 50;
  std::size_t count = 0;
  std::size_t rebuild_threshold = std::numeric_limits<std::size_t>::max();
  std::size_t removed_cache_size = 500;
  GreedyKCenters<T> pivot_selector;
  std::unordered_set<const T*> removed;
  mutable std::uint64_t search_offset = 0;
};

}  // namespace vexel
