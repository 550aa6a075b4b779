// The korel tree: a multi-pivot metric tree searched best-first with
// triangle-inequality pruning, generic over what a bucket stores and how a
// distance is computed.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "vexel/detail/survivors_avx2.h"
#include "vexel/detail/survivors_avx512.h"
#include "vexel/greedy_k_centers.h"
#include "vexel/parallel.h"
#include "vexel/prefetch.h"
#include "vexel/pruning.h"
#include "vexel/rotation_counter.h"
#include "vexel/search_queues.h"
#include "vexel/simd.h"

namespace vexel {

// A distance that measures a whole bucket in one call:
// distance.batch(query, stored elements, count, out distances).
template <typename Distance, typename Query, typename Stored, typename = void>
struct measures_batches : std::false_type {};
template <typename Distance, typename Query, typename Stored>
struct measures_batches<Distance, Query, Stored,
                        std::void_t<decltype(std::declval<const Distance&>().batch(
                            std::declval<const Query&>(), std::declval<const Stored*>(),
                            std::size_t{}, std::declval<double*>()))>> : std::true_type {};

// A batch that may stop early, as `within` below:
// distance.batch(query, stored elements, count, out distances, limit).
template <typename Distance, typename Query, typename Stored, typename = void>
struct measures_batches_within : std::false_type {};
template <typename Distance, typename Query, typename Stored>
struct measures_batches_within<Distance, Query, Stored,
                               std::void_t<decltype(std::declval<const Distance&>().batch(
                                   std::declval<const Query&>(), std::declval<const Stored*>(),
                                   std::size_t{}, std::declval<double*>(), 0.0))>> : std::true_type {};

// A distance that rules out stored elements from small summaries of them,
// before any is measured: it summarises a query once a search,
// distance.summarise(query, summary) into a Distance::QuerySummary it may
// reuse, distance.keep_within(summary, limit, elements, count, kept)
// copies to `kept` (which may be `elements`) those it cannot put farther
// than `limit`, and returns how many, and distance(query, summary, element)
// and distance.batch(query, summary, elements, count, out) measure with the
// summary's help.
template <typename Distance, typename = void>
struct summarises_elements : std::false_type {
  struct QuerySummary {};
};
template <typename Distance>
struct summarises_elements<Distance, std::void_t<typename Distance::QuerySummary>> : std::true_type {
  using QuerySummary = typename Distance::QuerySummary;
};

// A distance that may stop early once the result must exceed a limit:
// distance.within(query, stored element, limit) is exact when it is at most
// the limit, and some value above the limit otherwise.
template <typename Distance, typename Query, typename Stored, typename = void>
struct measures_within : std::false_type {};
template <typename Distance, typename Query, typename Stored>
struct measures_within<Distance, Query, Stored,
                       std::void_t<decltype(std::declval<const Distance&>().within(
                           std::declval<const Query&>(), std::declval<const Stored&>(), 0.0))>>
    : std::true_type {};

// A distance that bounds whole boxes of stored elements from below:
// distance.box_size() numbers summarise an element (0: no boxes),
// distance.widen_box(low, high, stored) grows a box [low, high] to cover an
// element, and distance.box_distance(query, low, high) is at most the
// distance from `query` to anything the box covers (up to rounding far
// below Pruning's slack).
template <typename Distance, typename = void>
struct bounds_boxes : std::false_type {};
template <typename Distance>
struct bounds_boxes<Distance, std::void_t<decltype(std::size_t{std::declval<const Distance&>().box_size()})>>
    : std::true_type {};

// A distance whose boxes may stand in for pivots: distance.defers_pivots()
// says whether a search queues children by their boxes alone and measures a
// child's pivot only once it takes the child from its queue. The pivots of
// children the bound rules out by then are never measured.
template <typename Distance, typename = void>
struct defers_pivots : std::false_type {};
template <typename Distance>
struct defers_pivots<Distance, std::void_t<decltype(bool{std::declval<const Distance&>().defers_pivots()})>>
    : std::true_type {};

// A result set that leaves out part of a measured bucket: results.cut(d, n)
// is a distance beyond which none of the n distances d[0..n) of one bucket
// can be of use (infinity: any may be).
template <typename Results, typename = void>
struct cuts_buckets : std::false_type {};
template <typename Results>
struct cuts_buckets<Results, std::void_t<decltype(double{std::declval<const Results&>().cut(
                                 std::declval<const double*>(), std::size_t{})})>> : std::true_type {};
template <typename Results>
double bucket_cut(const Results& results, const double* d, std::size_t n) {
  if constexpr (cuts_buckets<Results>::value) {
    return results.cut(d, n);
  } else {
    return std::numeric_limits<double>::infinity();
  }
}

// A host that bounds the memory of a split: host.max_split_matrix_bytes,
// beyond which a split measures its point-to-center distances twice rather
// than keep them all.
template <typename Host, typename = void>
struct bounds_split_memory : std::false_type {};
template <typename Host>
struct bounds_split_memory<Host, std::void_t<decltype(std::size_t{std::declval<const Host&>().max_split_matrix_bytes})>>
    : std::true_type {};

// A host that hears how many rows a split of split_all leaves in their
// final place (pivots of split nodes, rows of leaves that stay leaves):
// host.rows_settled(count), called from any of the splitting threads.
template <typename Host, typename = void>
struct counts_settled_rows : std::false_type {};
template <typename Host>
struct counts_settled_rows<Host, std::void_t<decltype(std::declval<Host&>().rows_settled(std::size_t{}))>>
    : std::true_type {};

// A host (or a space) whose boxes make sibling ranges needless:
// T::boxes_replace_ranges (a constant), true where a child that keeps a box
// is never ruled out by the ranges of a sibling measured before it, only by
// its own box.
template <typename Host, typename = void>
struct replaces_ranges_with_boxes : std::false_type {};
template <typename Host>
struct replaces_ranges_with_boxes<Host, std::void_t<decltype(Host::boxes_replace_ranges)>>
    : std::integral_constant<bool, Host::boxes_replace_ranges> {};

// A host that rearranges its stored elements once the root of split_all
// has split, before any of its children does, while no other thread works:
// host.root_split(root). It may renumber the elements (the children's
// pivots and buckets name them), as long as each bucket keeps its order.
template <typename Host, typename Node, typename = void>
struct hears_root_split : std::false_type {};
template <typename Host, typename Node>
struct hears_root_split<Host, Node, std::void_t<decltype(std::declval<Host&>().root_split(std::declval<Node&>()))>>
    : std::true_type {};

// The algorithm of the index. `Host` is the concrete index that derives from
// this class (the curiously recurring template pattern): the tree asks it
// for everything that depends on how stored elements are identified, and
// for the policies in which indexes differ.
//
//   distance_function          the metric, a `Distance`, called as
//                              distance(query or inserted element, stored element)
//   pruning                    (a constant Pruning) how strictly the
//                              triangle inequality must hold to prune
//   keeps_point_distances      (a constant) whether each bucket element keeps
//                              its distance to its leaf's pivot, so that leaf
//                              scans skip what the triangle inequality rules
//                              out before measuring it
//   center_choice              (a constant CenterChoice) how a split
//                              chooses its centers after the first
//   keeps_duplicate_leaves     (a constant) whether a leaf whose elements all
//                              lie at distance 0 (within machine epsilon) of
//                              one center stays a leaf, tried again only once
//                              it has doubled, instead of splitting into a
//                              single child
//   boxes_replace_ranges       (an optional constant, false if absent)
//                              whether children that keep boxes are left to
//                              them rather than to their siblings' ranges
//   bucket_reserve()           bucket places a new node makes at once
//   has_removed(), is_removed(s)
//                              lazy removal marks; no lookup while none is set
//   tree_cleared()             the tree is gone: drops what referred to it
//   store_in_bucket(bucket, s) appends an element to a leaf's bucket
//   leaf_overflowed(leaf)      a leaf holds more than it may: split it
//                              (`leaf.split(*this)`) or rebuild the tree
//   split_planted(root)        splits a root planted with a whole batch:
//                              `root.split(*this)`, or `split_all`
//   key_of(s)                  the key that orders equally distant results
//   offer_candidate(neighbors, k, s, d, query)
//                              admission into the k best found so far
//   lay_out_points()           places the stored elements in tree order after
//                              a batch build
//   poll()                     called before every leaf split: may throw to
//                              interrupt long work (the tree stays whole)
//   clear()                    empties the index (may be an override)
//
// Searches never write the tree; a search's working state (its queues and
// the rotation counter) is passed in, so that searches with their own state
// may run on several threads at once.
template <typename Host, typename Stored, typename Distance, typename Key = const Stored*>
class KorelTree {
 public:
  class Node;
  using Neighbors = NeighborQueue<Key>;
  using Nodes = NodeQueue<Node>;

  // Work arrays of one inner-node visit, kept for the whole search so that
  // visits do not allocate.
  struct VisitScratch {
    std::vector<double> pivot_distance;
    std::vector<double> box_distance;  // by child position, where boxes are kept
    std::vector<std::int32_t> order;   // a child position, or -1 once eliminated
  };

  // What a search needs besides its result queue; reusable from one search
  // to the next.
  struct SearchScratch {
    Nodes nodes;
    VisitScratch visit;
    std::vector<double> bucket_distances;
    std::vector<Stored> survivors;       // bucket elements a leaf scan still measures
    std::vector<std::uint32_t> excluded;  // whether the filter skips each bucket element (as wide as a float: it vectorises)
    typename summarises_elements<Distance>::QuerySummary query_summary{};  // the search's, where kept
    bool defers_pivots = false;  // the search's (see defers_pivots below)
  };

  class Node {
   public:
    // `reserved` bucket places are made at once (none: the bucket grows).
    Node(std::uint32_t node_degree, std::size_t reserved, Stored node_pivot)
        : degree(node_degree),
          pivot(std::move(node_pivot)),
          ranges(node_degree) {
      points.reserve(reserved);
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Destroys the subtree without recursion (a chain of equal Points is one
    // level deep per surplus Point) and without allocating, so that clearing
    // and rebuilding work when memory is exhausted: the doomed nodes are
    // threaded through their own `next_doomed` links.
    ~Node() {
      Node* doomed = nullptr;
      auto adopt_children = [&doomed](Node& node) {
        for (auto& child : node.children) {
          Node* raw = child.release();
          raw->next_doomed = doomed;
          doomed = raw;
        }
        node.children.clear();
      };
      adopt_children(*this);
      while (doomed != nullptr) {
        Node* node = doomed;
        doomed = node->next_doomed;
        adopt_children(*node);
        delete node;  // childless now: its destructor does not descend
      }
    }

    bool is_leaf() const { return children.empty(); }

    bool needs_split(const KorelTree& index) const {
      const auto held = static_cast<std::uint32_t>(points.size());
      return held > index.max_leaf_points && held > degree && held / 2 >= split_refused_at;
    }

    void update_radius(double d) {
      if (d < min_radius) min_radius = d;
      if (d > max_radius) max_radius = d;
    }

    void update_range(std::size_t k, double d) {
      if (d < ranges[k].low) ranges[k].low = d;
      if (d > ranges[k].high) ranges[k].high = d;
    }

    // Routes `point` down to a leaf, widening ranges and radii on the way,
    // stores it there, and splits (or rebuilds) when the leaf overflows.
    // May destroy this node through a rebuild: nothing touches it afterwards.
    void add(KorelTree& index, Stored point) {
      Host& host = index.host();
      Node* node = this;
      std::vector<double> d;
      double to_pivot = std::numeric_limits<double>::quiet_NaN();  // unknown at the root
      while (!node->is_leaf()) {
        auto& kids = node->children;
        d.resize(kids.size());
        for (std::size_t i = 0; i < kids.size(); ++i) {
          d[i] = host.distance_function(point, kids[i]->pivot);
        }
        const std::size_t k = first_minimum(d.size(), [&](std::size_t i) { return d[i]; });
        for (std::size_t i = 0; i < kids.size(); ++i) kids[i]->update_range(k, d[i]);
        kids[k]->update_radius(d[k]);
        index.widen_box(*kids[k], point);
        to_pivot = d[k];
        node = kids[k].get();
      }

      if constexpr (Host::keeps_point_distances) {
        node->point_distances.reserve(node->points.size() + 1);  // no failure after storing
      }
      host.store_in_bucket(node->points, std::move(point));
      if constexpr (Host::keeps_point_distances) {
        node->point_distances.push_back(static_cast<float>(to_pivot));
      }
      ++index.count;
      if (node->needs_split(index)) host.leaf_overflowed(*node);
    }

    // Splits this leaf, then, depth first and in child order, every new child
    // that is itself over-full. The order fixes the generator's draws.
    void split(KorelTree& index) {
      std::vector<Node*> pending{this};
      while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        if (node != this && !node->needs_split(index)) continue;
        index.host().poll();
        node->split_leaf(index);
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
    }

    // Appends copies of the live Points of this subtree in pre-order.
    void list(const KorelTree& index, std::vector<Stored>& out) const {
      const Host& host = index.host();
      std::vector<const Node*> pending{this};
      while (!pending.empty()) {
        const Node* node = pending.back();
        pending.pop_back();
        if (!host.is_removed(node->pivot)) out.push_back(node->pivot);
        for (const Stored& point : node->points) {
          if (!host.is_removed(point)) out.push_back(point);
        }
        for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) {
          pending.push_back(child->get());
        }
      }
    }

    // One node of a search: measure the bucket and the children still in
    // play, offer what was measured to `results`, eliminate siblings through
    // the measured child's ranges, and queue the children that may still
    // hold something of use. `to_pivot` is the query's distance to this
    // node's pivot; `offset` the rotation counter the visit advances.
    template <typename Query, typename Results, typename Counter>
    void visit(const KorelTree& index, const Query& query, double to_pivot, Results& results,
               SearchScratch& scratch, Counter& offset) const {
      const Host& host = index.host();
      results.reach(points.size());
      measure_bucket(
          index, query, to_pivot, scratch, [&] { return results.bound(); },
          [&](const double* d, std::size_t n) { return bucket_cut(results, d, n); },
          [&](const Stored& point, double d) { results.offer(host, point, d, query, false); });
      if (is_leaf()) return;
      if (scratch.defers_pivots) {
        queue_by_boxes(index, query, results.bound(), scratch.nodes);
        return;
      }

      VisitScratch& visit = scratch.visit;
      // A child whose box lies beyond the bound holds nothing of use, its
      // pivot included: it is not even measured.
      const auto out_of_reach = [&](const Node& child, std::size_t position) {
        if (child.box.empty()) {
          visit.box_distance[position] = -std::numeric_limits<double>::infinity();
          return false;
        }
        const double floor = index.box_distance(query, child);
        visit.box_distance[position] = floor;
        return Host::pruning.beyond(floor, results.bound());
      };
      measure_children(index, query, scratch, offset, out_of_reach, [&](const Node& child, std::size_t i, double d) {
        if (!host.is_removed(child.pivot)) results.offer(host, child.pivot, d, query, true);
        // An infinite bound eliminates nothing: no need to look.
        const double bound = results.bound();
        if (bound != std::numeric_limits<double>::infinity() && index.checks_ranges(child)) {
          child.eliminate_siblings(visit.order, i, d, bound);
        }
      });
      if (!results.descends()) return;
      const double bound = results.bound();
      enqueue_children(visit, scratch.nodes, [&](const Node& child, double d, double floor) {
        return !Host::pruning.rules_out(d, bound, child.min_radius, child.max_radius) &&
               !Host::pruning.beyond(floor, bound);
      });
    }

    std::uint32_t degree;
    // The bucket size at which a split found only equal elements (see
    // keeps_duplicate_leaves); 0 while none did.
    std::uint32_t split_refused_at = 0;
    Stored pivot;
    double min_radius = std::numeric_limits<double>::infinity();
    double max_radius = -std::numeric_limits<double>::infinity();
    // The distances from each sibling's pivot (by sibling position) to this
    // node's Points: one block, read together.
    struct Range {
      double low = std::numeric_limits<double>::infinity();
      double high = -std::numeric_limits<double>::infinity();
    };
    std::vector<Range> ranges;
    std::vector<Stored> points;  // the bucket; empty in inner nodes
    // With keeps_point_distances: the distance of each bucket element to the
    // pivot, in single precision (NaN where it was never measured);
    // otherwise empty.
    std::vector<float> point_distances;
    // Where the distance bounds boxes: the box of every element routed below
    // this node, its pivot included (low values, then high values); never
    // narrowed. Empty otherwise, and in the root, which is always visited.
    std::vector<double> box;
    std::vector<std::unique_ptr<Node>> children;

   private:
    Node* next_doomed = nullptr;  // used only while a subtree is destroyed

    // The storage of `buffer`, grown to hold at least `n` elements (it
    // never shrinks, so a search stops allocating once warm).
    template <typename Element>
    static Element* at_least(std::vector<Element>& buffer, std::size_t n) {
      if (buffer.size() < n) buffer.resize(n);
      return buffer.data();
    }

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

    // Turns this leaf into an inner node whose children are built around the
    // centers chosen from its bucket. Either it completes, or (when the
    // distance function or an allocation fails) the leaf is left unchanged.
    // `seed`, when given, picks the first center instead of the pivot
    // selector's generator (see split_all). A split whose matrix of
    // point-to-center distances would pass the host's bound measures them
    // twice instead, a slice of points at a time: once to choose the
    // centers, once to route the points; the tree is the same. `workers`
    // threads measure each column (for a split that runs alone). `scratch`,
    // when given, holds the distances in place of a matrix of the split's
    // own, so that a thread's splits reuse one block.
    void split_leaf(KorelTree& index, const std::uint64_t* seed = nullptr, std::size_t workers = 1,
                    DistanceMatrix* scratch = nullptr) {
      const std::size_t n = points.size();
      DistanceMatrix local_matrix;
      DistanceMatrix& matrix = scratch != nullptr ? *scratch : local_matrix;
      std::vector<std::uint32_t> centers;
      constexpr CenterChoice choice = Host::center_choice;
      auto& selector = index.pivot_selector;
      // A seeded split of a large bucket whose farthest-first centers would
      // be lopsided draws its centers among a sample of it (see
      // choose_in_sample), then measures every point against them a block
      // at a time.
      const bool sampled = seed != nullptr && choose_in_sample(index, *seed, centers, matrix);
      const std::size_t slice = split_slice(index, n);
      const bool sliced = sampled || slice < n;  // measured again while routed
      if (!sliced && seed == nullptr && choice == CenterChoice::farthest_first) {
        matrix.reshape(static_cast<std::int64_t>(n), degree);
        selector.select_centers(points, degree, centers, matrix);
      } else if (!sampled) {
        // The first center, then the seed of drawn centers: from the split's
        // seed, or drawn from the generator in that order.
        const std::uint32_t first = seed ? first_center(*seed, n) : selector.draw_first(static_cast<std::uint32_t>(n));
        const std::uint64_t draws = choice == CenterChoice::farthest_first ? 0 : seed ? ~*seed : selector.draw_seed();
        if (!sliced) {
          matrix.reshape(static_cast<std::int64_t>(n), degree);
          selector.select_centers_from(first, points, degree, centers, matrix, choice, draws, workers);
        } else {
          selector.select_centers_unkept_from(first, points, degree, centers, slice, choice, draws, workers);
        }
      }

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
      if (Host::keeps_duplicate_leaves && m == 1) {
        split_refused_at = static_cast<std::uint32_t>(n);
        return;
      }

      std::vector<std::unique_ptr<Node>> kids;
      kids.reserve(degree);
      for (std::size_t c = 0; c < m; ++c) {
        kids.push_back(std::make_unique<Node>(degree, index.host().bucket_reserve(), points[centers[column[c]]]));
      }

      // Each row goes to its nearest center, the first on ties. A center's
      // own row always stays with its child (under a metric it is nearest
      // anyway), so no Point is ever stored twice. Ranges and radii widen
      // as rows are routed, in row order; the Points move only once every
      // child has room for them.
      constexpr std::uint32_t own = std::uint32_t{1} << 31;  // marks a center's row
      constexpr std::uint32_t unrouted = std::numeric_limits<std::uint32_t>::max();
      std::vector<std::uint32_t> target(n, unrouted);
      for (std::size_t c = 0; c < m; ++c) target[centers[column[c]]] = static_cast<std::uint32_t>(c) | own;
      std::vector<float> to_target(Host::keeps_point_distances ? n : 0);
      std::vector<std::size_t> load(m, 0);
      if (sliced) matrix.reshape(static_cast<std::int64_t>(slice), static_cast<std::int64_t>(m));
      for (std::size_t begin = 0; begin < n; begin += slice) {
        const std::size_t count = std::min(slice, n - begin);
        if (sliced) {
          // Every center's distances to a block of points at a time, which
          // stays in the cache while each center measures it.
          constexpr std::size_t piece = 4096, block = 256;
          run_parallel(
              count, workers, piece,
              [&](std::size_t from, std::size_t to, std::size_t) {
                for (std::size_t low = from; low < to; low += block) {
                  const std::size_t high = std::min(to, low + block);
                  for (std::size_t c = 0; c < m; ++c) {
                    index.pivot_selector.measure_column(points.data() + begin + low, high - low, kids[c]->pivot,
                                                        &matrix(static_cast<std::int64_t>(low), static_cast<std::int64_t>(c)));
                  }
                }
              },
              [] {});
        }
        // The distances of rows [low, ...) to child c's center, in a row
        // of the matrix's columns: the loops below read each column in
        // order, a block of rows at a time.
        const auto distances = [&](std::size_t low, std::size_t child) {
          return sliced ? &matrix(static_cast<std::int64_t>(low - begin), static_cast<std::int64_t>(child))
                        : &matrix(static_cast<std::int64_t>(low), static_cast<std::int64_t>(column[child]));
        };
        constexpr std::size_t block = 256;
        double nearest[block];
        std::uint32_t child_of[block];
        for (std::size_t low = begin; low < begin + count; low += block) {
          const std::size_t rows = std::min(block, begin + count - low);
          // Each row's nearest center, the first on ties (as first_minimum).
          std::copy(distances(low, 0), distances(low, 0) + rows, nearest);
          std::fill(child_of, child_of + rows, 0);
          for (std::size_t c = 1; c < m; ++c) {
            const double* to_center = distances(low, c);
            for (std::size_t t = 0; t < rows; ++t) {
              if (nearest[t] > to_center[t]) {
                nearest[t] = to_center[t];
                child_of[t] = static_cast<std::uint32_t>(c);
              }
            }
          }
          for (std::size_t t = 0; t < rows; ++t) {
            const std::size_t j = low + t;
            if (target[j] == unrouted) {
              const std::uint32_t k = child_of[t];
              target[j] = k;
              ++load[k];
              if constexpr (Host::keeps_point_distances) to_target[j] = static_cast<float>(nearest[t]);
              kids[k]->update_radius(nearest[t]);
            } else {
              child_of[t] = target[j] & ~own;
            }
          }
          for (std::size_t i = 0; i < m; ++i) {
            const double* to_center = distances(low, i);
            Node& kid = *kids[i];
            for (std::size_t t = 0; t < rows; ++t) kid.update_range(child_of[t], to_center[t]);
          }
        }
      }
      for (std::size_t c = 0; c < m; ++c) {
        if (load[c] > kids[c]->points.capacity()) kids[c]->points.reserve(load[c]);
        if constexpr (Host::keeps_point_distances) kids[c]->point_distances.reserve(load[c]);
        index.start_box(*kids[c]);
        index.widen_box(*kids[c], kids[c]->pivot);
      }

      // Nothing below can fail: the Points move into reserved room.
      for (std::size_t j = 0; j < n; ++j) {
        if ((target[j] & own) != 0) continue;
        Node& kid = *kids[target[j]];
        index.widen_box(kid, points[j]);
        kid.points.push_back(std::move(points[j]));
        if constexpr (Host::keeps_point_distances) kid.point_distances.push_back(to_target[j]);
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
      std::vector<Stored>().swap(points);  // inner nodes hold no bucket storage
      std::vector<float>().swap(point_distances);
    }

    // Where a balanced choice would draw the centers of a seeded split,
    // draws them among a sample of its bucket, without the passes over the
    // whole bucket (one a farthest-first center) that show the need: the
    // sample, `sample_points_per_center` Points a center spread evenly over
    // the bucket (one drawn from each stretch of it), shows it, and stays
    // in the cache. On data with a dense core and scattered outliers most
    // large buckets draw. Returns false, choosing nothing (the whole bucket
    // then decides), for a bucket not much larger than its sample, where
    // farthest-first is not lopsided on the sample, or where the sample
    // holds fewer than `degree` distinct Points.
    bool choose_in_sample(KorelTree& index, std::uint64_t seed, std::vector<std::uint32_t>& centers,
                          DistanceMatrix& matrix) const {
      const std::size_t n = points.size();
      const std::size_t size = std::size_t{sample_points_per_center} * degree;
      if (Host::center_choice != CenterChoice::balanced || degree < 2 || n < 4 * size) return false;
      std::vector<std::uint32_t> taken(size);
      std::vector<Stored> sample;
      sample.reserve(size);
      for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t start = std::uint64_t{i} * n / size, end = std::uint64_t{i + 1} * n / size;
        taken[i] = static_cast<std::uint32_t>(start + (((mix_seed(seed ^ i) >> 32) * (end - start)) >> 32));
        sample.push_back(points[taken[i]]);
      }
      auto& selector = index.pivot_selector;
      const std::uint32_t first = first_center(seed, size);
      matrix.reshape(static_cast<std::int64_t>(size), degree);
      std::vector<std::uint32_t> chosen;
      selector.select_centers_from(first, sample, degree, chosen, matrix);
      if (chosen.size() < degree || !selector.lopsided(matrix, chosen.size(), size)) return false;
      chosen.clear();
      selector.select_centers_from(first, sample, degree, chosen, matrix, CenterChoice::balanced, ~seed);
      if (chosen.size() < degree) return false;
      for (std::uint32_t c : chosen) centers.push_back(taken[c]);
      return true;
    }
    static constexpr std::uint32_t sample_points_per_center = 32;

    // The first center of a seeded split of `n` Points.
    static std::uint32_t first_center(std::uint64_t seed, std::size_t n) {
      return static_cast<std::uint32_t>(((seed >> 32) * n) >> 32);
    }

    // The Points whose distances to every center one split keeps at once:
    // all of them, unless that matrix would pass the host's bound.
    std::size_t split_slice(const KorelTree& index, std::size_t n) const {
      if constexpr (bounds_split_memory<Host>::value) {
        const std::size_t per_point = sizeof(double) * std::max<std::size_t>(degree, 1);
        const std::size_t fits = std::max<std::size_t>(index.host().max_split_matrix_bytes / per_point, 1);
        return std::min(n, fits);
      } else {
        (void)index;
        return n;
      }
    }

    // Hands every live bucket Point with its distance from the query to
    // `found`. Removed Points cost one lookup and no distance, and no lookup
    // at all while nothing is removed. Where the bucket keeps each Point's
    // distance to the pivot, a Point the triangle inequality puts farther
    // than `limit()` is skipped unmeasured, and so is one the distance's
    // summaries put there (`keep_within`). A distance that measures a
    // bucket in one call does so; one that may stop early (a batch that
    // takes a limit, or `within`) stops above `limit()`, past which no Point
    // is of use. Of a bucket measured in one call, Points beyond
    // `cut(distances, count)` are not handed on.
    template <typename Query, typename Limit, typename Cut, typename Found>
    void measure_bucket(const KorelTree& index, const Query& query, double to_pivot,
                        SearchScratch& scratch, Limit limit, Cut cut, Found found) const {
      const Host& host = index.host();
      const Distance& distance = host.distance_function;
      const bool check_removed = host.has_removed();
      const bool bounded = limit() != std::numeric_limits<double>::infinity();
      const bool filter = !point_distances.empty() && bounded;
      if constexpr (measures_batches<Distance, Query, Stored>::value) {
        constexpr bool summarised = summarises_elements<Distance>::value;
        const auto measure = [&](const Stored* stored, std::size_t count, double* out) {
          if constexpr (summarised) {
            distance.batch(query, scratch.query_summary, stored, count, out);
          } else if constexpr (measures_batches_within<Distance, Query, Stored>::value) {
            distance.batch(query, stored, count, out, limit());
          } else {
            distance.batch(query, stored, count, out);
          }
        };
        const std::size_t n = points.size();
        double* d = at_least(scratch.bucket_distances, n);
        if (!check_removed && !filter && !(summarised && bounded)) {
          measure(points.data(), n, d);
          const double beyond = cut(d, n);
          if (beyond == std::numeric_limits<double>::infinity()) {
            for (std::size_t i = 0; i < n; ++i) found(points[i], d[i]);
            return;
          }
          Stored* kept = at_least(scratch.survivors, n);
          const std::size_t count = keep_below_cut(points.data(), d, n, beyond, kept);
          for (std::size_t i = 0; i < count; ++i) found(kept[i], d[i]);
          return;
        }
        Stored* kept = at_least(scratch.survivors, n + 16);  // room for whole AVX-512 registers
        std::size_t count = gather_survivors(host, to_pivot, filter ? limit() : 0.0, filter, check_removed,
                                             scratch, kept);
        if constexpr (summarised) {
          if (bounded) count = distance.keep_within(scratch.query_summary, limit(), kept, count, kept);
        }
        measure(kept, count, d);
        const double beyond = cut(d, count);
        if (beyond != std::numeric_limits<double>::infinity()) count = keep_below_cut(kept, d, count, beyond, kept);
        for (std::size_t i = 0; i < count; ++i) found(kept[i], d[i]);
        return;
      }
      for (std::size_t i = 0; i < points.size(); ++i) {
        const Stored& point = points[i];
        if (i + prefetch_distance < points.size()) index.prefetch_stored(points[i + prefetch_distance]);
        if (check_removed && host.is_removed(point)) continue;
        const double bound = limit();
        if (filter && Pruning::excluded_by(to_pivot, bound, point_distances[i])) continue;
        if constexpr (measures_within<Distance, Query, Stored>::value) {
          found(point, distance.within(query, point, bound));
        } else {
          found(point, distance(query, point));
        }
      }
    }

    // Copies to `kept`, with their distances to `d`, in order, the `n`
    // Points (at distances d[0..n)) not beyond `beyond`; returns how many.
    // Without a branch per Point: where a cut applies, most lie beyond it.
    static std::size_t keep_below_cut(const Stored* stored, double* d, std::size_t n, double beyond, Stored* kept) {
      std::size_t count = 0;
      for (std::size_t i = 0; i < n; ++i) {
        kept[count] = stored[i];
        d[count] = d[i];
        count += !(d[i] > beyond);
      }
      return count;
    }

    // The bucket's Points that neither the filter (when `filter` is set:
    // the kept distances, against `bound`) nor a removal rules out, in
    // order, into `kept`; returns how many. The filter goes over every
    // Point at once (it vectorises), then the survivors are gathered
    // without a branch per Point: which ones it keeps is as good as random.
    // With AVX2 or AVX-512, both in one pass over eight or sixteen Points a
    // step.
    std::size_t gather_survivors(const Host& host, double to_pivot, double bound, bool filter, bool check_removed,
                                 SearchScratch& scratch, Stored* kept) const {
      const std::size_t n = points.size();
#if VEXEL_SIMD_X86
      if constexpr (std::is_same_v<Stored, std::uint32_t>) {
        if (filter && !check_removed && simd::active() >= simd::Level::avx2) {
          const Pruning::Window window = Pruning::kept_window(to_pivot, bound);
          const float* at = point_distances.data();
          return simd::active() >= simd::Level::avx512
                     ? detail::avx512::survivors(window.below, window.above, at, points.data(), n, kept)
                     : detail::avx2::survivors(window.below, window.above, at, points.data(), n, kept);
        }
      }
#endif
      std::uint32_t* excluded = at_least(scratch.excluded, n);
      if (filter) {
        Pruning::exclude(to_pivot, bound, point_distances.data(), n, excluded);
      } else {
        std::fill_n(excluded, n, 0u);
      }
      if (check_removed) {
        for (std::size_t i = 0; i < n; ++i) excluded[i] |= static_cast<std::uint32_t>(host.is_removed(points[i]));
      }
      std::size_t count = 0;
      for (std::size_t i = 0; i < n; ++i) {
        kept[count] = points[i];
        count += !excluded[i];
      }
      return count;
    }

    // Queues every child whose box does not lie beyond `bound`, its pivot
    // unmeasured (see defers_pivots).
    template <typename Query>
    void queue_by_boxes(const KorelTree& index, const Query& query, double bound, Nodes& nodes) const {
      for (const auto& child : children) prefetch_address(child.get());
      for (const auto& child : children) prefetch_address(child->box.data());
      for (const auto& child : children) {
        const double floor =
            child->box.empty() ? -std::numeric_limits<double>::infinity() : index.box_distance(query, *child);
        if (!Host::pruning.beyond(floor, bound)) nodes.push(child.get(), unmeasured, floor);
      }
    }

    // Measures, in the rotated visiting order, the pivot of every child not
    // yet eliminated, and hands it to `measured` with its slot in the order
    // (which may eliminate later and earlier siblings).
    template <typename Query, typename Counter, typename Skip, typename Measured>
    void measure_children(const KorelTree& index, const Query& query, SearchScratch& scratch,
                          Counter& offset, Skip skip, Measured measured) const {
      VisitScratch& visit = scratch.visit;
      start_visit(visit, offset);
      // The children, their ranges, boxes and pivots lie apart in memory:
      // asking for all of them first overlaps the cache misses.
      for (const auto& child : children) prefetch_address(child.get());
      for (const auto& child : children) {
        if (index.checks_ranges(*child)) prefetch_address(child->ranges.data());
        if (!child->box.empty()) prefetch_address(child->box.data());
        index.prefetch_stored(child->pivot);
      }
      for (std::size_t i = 0; i < visit.order.size(); ++i) {
        if (visit.order[i] < 0) continue;
        const auto position = static_cast<std::size_t>(visit.order[i]);
        const Node& child = *children[position];
        if (skip(child, position)) {
          visit.order[i] = -1;
          continue;
        }
        const double d = index.measure(query, scratch, child.pivot);
        visit.pivot_distance[position] = d;
        measured(child, i, d);
      }
    }

    // Queues, in visiting order, every surviving child that `keep` accepts.
    template <typename Keep>
    void enqueue_children(const VisitScratch& visit, Nodes& nodes, Keep keep) const {
      for (std::int32_t position : visit.order) {
        if (position < 0) continue;
        const Node& child = *children[static_cast<std::size_t>(position)];
        const double d = visit.pivot_distance[static_cast<std::size_t>(position)];
        const double floor = visit.box_distance[static_cast<std::size_t>(position)];
        if (keep(child, d, floor)) nodes.push(&child, d, floor);
      }
    }

    // Advances the rotation and lays out the visiting order of the children:
    // (offset + i) mod n for i = 0 .. n - 1.
    template <typename Counter>
    void start_visit(VisitScratch& visit, Counter& offset) const {
      const std::size_t n = children.size();
      std::size_t position = static_cast<std::size_t>(take_rotation(offset) % n);
      visit.order.resize(n);
      // Written for each child as it is measured, before anything reads them.
      visit.pivot_distance.resize(n);
      visit.box_distance.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        visit.order[i] = static_cast<std::int32_t>(position);
        if (++position == n) position = 0;
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
        if (Host::pruning.rules_out(d, bound, ranges[sibling].low, ranges[sibling].high)) order[j] = -1;
      }
    }

    friend class KorelTree;
  };

  KorelTree() = default;
  KorelTree(const KorelTree&) = delete;
  KorelTree& operator=(const KorelTree&) = delete;
  ~KorelTree() { tree.reset(); }

  Host& host() { return static_cast<Host&>(*this); }
  const Host& host() const { return static_cast<const Host&>(*this); }

  void add(Stored point) {
    if (!tree) {
      tree = std::make_unique<Node>(degree, host().bucket_reserve(), std::move(point));
      count = 1;
      return;
    }
    tree->add(*this, std::move(point));
  }

  // Inserts a batch. Into an empty tree the whole batch becomes the root's
  // bucket, split once; otherwise the elements go in one by one.
  void add_list(std::vector<Stored> points) {
    if (tree) {
      for (Stored& point : points) KorelTree::add(std::move(point));
      return;
    }
    if (points.empty()) return;
    const std::size_t n = points.size();
    tree = plant(std::move(points));
    count += n;
    if (tree->needs_split(*this)) host().split_planted(*tree);
    host().lay_out_points();
  }

  void clear() {
    tree.reset();
    count = 0;
    host().tree_cleared();
  }

  std::size_t size() const { return count; }

  void list(std::vector<Stored>& result) const {
    result.clear();
    result.reserve(count);
    if (tree) tree->list(*this, result);
  }

  // Re-inserts every live element as one batch, dropping the removed ones.
  // The old tree goes only once the new root holds every live element, so a
  // failure before that (memory) changes nothing; a failure while the new
  // root splits leaves it an over-full leaf that keeps every element.
  void rebuild() {
    std::vector<Stored> live;
    list(live);
    if (live.empty()) {
      host().clear();
      return;
    }
    replant(plant(std::move(live)));
  }

  // The first half of a rebuild: a root holding `live` (the first element as
  // its pivot, the rest in its bucket), not yet part of the index.
  std::unique_ptr<Node> plant(std::vector<Stored> live) const {
    auto root = std::make_unique<Node>(degree, host().bucket_reserve(), std::move(live.front()));
    root->points.reserve(live.size() - 1);
    for (std::size_t i = 1; i < live.size(); ++i) root->points.push_back(std::move(live[i]));
    if constexpr (Host::keeps_point_distances) {
      root->point_distances.assign(root->points.size(), std::numeric_limits<float>::quiet_NaN());
    }
    return root;
  }

  // The second half: the planted root replaces the tree and is split.
  void replant(std::unique_ptr<Node> root) {
    const std::size_t n = root->points.size() + 1;
    KorelTree::clear();
    tree = std::move(root);
    count = n;
    if (tree->needs_split(*this)) host().split_planted(*tree);
    host().lay_out_points();
  }

  // Splits the over-full leaf `root` and then every over-full node below it,
  // on up to `workers` threads (the calling one among them, which alone
  // polls the host). Each split draws its first center from a seed of its
  // own, derived from `seed` and the node's place in the tree, so the tree
  // is the same however many threads build it and in whatever order. A
  // failure stops every thread at its next node and propagates; the nodes
  // split so far stay split, the others stay over-full leaves (both valid).
  void split_all(Node& root, std::size_t workers, std::uint64_t seed) {
    struct Task {
      Node* node;
      std::uint64_t seed;
    };
    std::vector<Task> pending{{&root, seed}};
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t splitting = 0;
    bool stop = false;
    std::exception_ptr failure;
    // Stops every thread at its next node (a thread ended by the system
    // unwinds through here: the others must stop before it is gone).
    const auto halt = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
      changed.notify_all();
    };
    const auto run = [&](bool caller) {
      std::unique_lock<std::mutex> lock(mutex);
      std::vector<Task> found;
      // One block for the distances of this thread's splits: the C library
      // would keep the blocks of splits on other threads resident after the
      // build (see vexel/large_blocks.h).
      DistanceMatrix scratch;
      for (;;) {
        if (!stop && pending.empty() && splitting > 0) {
          // The caller keeps answering interruptions while others split.
          if (caller) {
            lock.unlock();
            try {
              host().poll();
            } VEXEL_RETHROW_FORCED_UNWIND(halt()) catch (...) {
              lock.lock();
              if (!failure) failure = std::current_exception();
              stop = true;
              changed.notify_all();
              return;
            }
            lock.lock();
          }
          changed.wait_for(lock, std::chrono::milliseconds(20));
          continue;
        }
        if (stop || pending.empty()) return;
        const Task task = pending.back();
        pending.pop_back();
        ++splitting;
        lock.unlock();
        try {
          if (caller) host().poll();
          // The root splits alone: its columns are measured on every thread,
          // into a matrix freed once it is split.
          if (task.node == &root) {
            task.node->split_leaf(*this, &task.seed, workers);
          } else {
            task.node->split_leaf(*this, &task.seed, 1, &scratch);
          }
          if constexpr (hears_root_split<Host, Node>::value) {
            if (task.node == &root) host().root_split(root);
          }
          found.clear();
          // The split node's pivot, and its whole bucket if it stays a leaf.
          std::size_t settled = task.node->is_leaf() ? 1 + task.node->points.size() : 1;
          for (std::size_t c = task.node->children.size(); c-- > 0;) {
            Node* child = task.node->children[c].get();
            if (child->needs_split(*this)) {
              found.push_back({child, mix_seed(task.seed + c + 1)});
            } else {
              settled += 1 + child->points.size();
            }
          }
          if constexpr (counts_settled_rows<Host>::value) host().rows_settled(settled);
        } VEXEL_RETHROW_FORCED_UNWIND(halt()) catch (...) {
          lock.lock();
          if (!failure) failure = std::current_exception();
          stop = true;
          --splitting;
          changed.notify_all();
          return;
        }
        lock.lock();
        --splitting;
        changed.notify_all();
        try {
          pending.insert(pending.end(), found.begin(), found.end());
        } catch (...) {  // memory: those children stay over-full leaves
          if (!failure) failure = std::current_exception();
          stop = true;
          return;
        }
      }
    };
    std::vector<std::thread> threads;
    try {
      for (std::size_t w = 1; w < workers; ++w) threads.emplace_back(run, false);
    } catch (const std::system_error&) {
      // Fewer threads than asked for.
    } catch (const std::bad_alloc&) {
    }
    if (!threads.empty()) let_new_threads_spread();
    try {
      run(true);
    } catch (...) {  // only a forced unwind leaves `run`
      halt();
      for (std::thread& thread : threads) thread.join();
      throw;
    }
    {
      // The caller may have returned on a failure while others still split.
      std::unique_lock<std::mutex> lock(mutex);
      stop = stop || failure != nullptr;
      changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
    if (failure) std::rethrow_exception(failure);
  }

  // The distance from `query` to `stored`, with the help of the search's
  // summary of the query where the distance keeps one.
  template <typename Query>
  double measure(const Query& query, const SearchScratch& scratch, const Stored& stored) const {
    if constexpr (summarises_elements<Distance>::value) {
      return host().distance_function(query, scratch.query_summary, stored);
    } else {
      (void)scratch;
      return host().distance_function(query, stored);
    }
  }

  // Best-first search into `results` (see search_results.h), until the
  // queue is empty or `results` is spent; the tree must hold a live
  // element. `offset` is the rotation counter the visits advance: a plain
  // integer, or a RotationCounter shared by searches.
  template <typename Query, typename Results, typename Counter>
  void search(const Query& query, Results& results, SearchScratch& scratch, Counter& offset) const {
    const Host& host = this->host();
    if (!host.distance_function) throw std::bad_function_call();
    scratch.nodes.clear();
    scratch.defers_pivots = defers_pivots();
    if constexpr (summarises_elements<Distance>::value) {
      host.distance_function.summarise(query, scratch.query_summary);
    }
    const double d = measure(query, scratch, tree->pivot);
    if (!host.is_removed(tree->pivot)) results.offer(host, tree->pivot, d, query, true);
    tree->visit(*this, query, d, results, scratch, offset);
    while (!scratch.nodes.empty() && !results.spent()) {
      const double bound = results.bound();
      const auto entry = scratch.nodes.top();
      scratch.nodes.pop();
      const Node& node = *entry.node;
      if (Host::pruning.beyond(entry.floor, bound)) continue;
      double to_pivot = entry.distance;
      if (scratch.defers_pivots) {
        // Queued by its box: its pivot is measured and offered now, and may
        // tighten the bound that its ball is tested against.
        prefetch_next(scratch.nodes);
        to_pivot = measure(query, scratch, node.pivot);
        if (!host.is_removed(node.pivot)) results.offer(host, node.pivot, to_pivot, query, true);
        if (Host::pruning.rules_out_popped(to_pivot, results.bound(), node.min_radius, node.max_radius)) continue;
      } else {
        if (Host::pruning.rules_out_popped(to_pivot, bound, node.min_radius, node.max_radius)) continue;
        prefetch_next(scratch.nodes);
      }
      node.visit(*this, query, to_pivot, results, scratch, offset);
    }
  }

  // Whether this search queues children by their boxes alone (see
  // defers_pivots above): only where the boxes are kept and stand in for
  // the sibling ranges, which need every child's pivot measured.
  bool defers_pivots() const {
    if constexpr (vexel::defers_pivots<Distance>::value && keeps_boxes &&
                  replaces_ranges_with_boxes<Host>::value) {
      const Distance& distance = host().distance_function;
      return distance.box_size() != 0 && distance.defers_pivots();
    } else {
      return false;
    }
  }

  static constexpr bool keeps_boxes = bounds_boxes<Distance>::value;
  // The pivot distance of a child queued by its box alone: its key is then
  // its box's distance.
  static constexpr double unmeasured = std::numeric_limits<double>::quiet_NaN();

  // Whether a search reads the sibling ranges of `child` once its pivot is
  // measured. Where the host says its boxes replace them, children with
  // boxes (all the children of a node, or none) are left to their boxes:
  // reading the ranges would cost a cache miss and a pass over the siblings
  // for each child measured, and rule out next to nothing more.
  bool checks_ranges(const Node& child) const {
    return !replaces_ranges_with_boxes<Host>::value || child.box.empty();
  }

  // The box of a new node: empty, sized for what the distance summarises.
  void start_box(Node& node) const {
    if constexpr (keeps_boxes) {
      const std::size_t size = host().distance_function.box_size();
      node.box.assign(size, std::numeric_limits<double>::infinity());
      node.box.resize(2 * size, -std::numeric_limits<double>::infinity());
    }
  }
  void widen_box(Node& node, const Stored& point) const {
    if constexpr (keeps_boxes) {
      if (node.box.empty()) return;
      const std::size_t size = node.box.size() / 2;
      host().distance_function.widen_box(node.box.data(), node.box.data() + size, point);
    }
  }
  template <typename Query>
  double box_distance(const Query& query, const Node& node) const {
    if constexpr (keeps_boxes) {
      const std::size_t size = node.box.size() / 2;
      return host().distance_function.box_distance(query, node.box.data(), node.box.data() + size);
    } else {
      return -std::numeric_limits<double>::infinity();
    }
  }

  std::unique_ptr<Node> tree;
  std::uint32_t degree = 8;
  std::uint32_t min_degree = 4;
  std::uint32_t max_degree = 12;
  std::uint32_t max_leaf_points = 50;
  std::size_t count = 0;
  GreedyKCenters<Stored, Distance> pivot_selector;

 private:
  // While one node is visited, the start of the next one's bucket comes
  // into the cache: best first, the leaves a search visits lie anywhere in
  // memory. The scan of that bucket fetches the rest ahead of itself; asking
  // for all of it here slows long leaves.
  void prefetch_next(const Nodes& nodes) const {
    if (nodes.empty()) return;
    const std::vector<Stored>& next = nodes.top().node->points;
    const std::size_t n = std::min(prefetch_distance, next.size());
    for (std::size_t i = 0; i < n; ++i) prefetch_stored(next[i]);
  }

  void prefetch_stored(const Stored& point) const {
    vexel::prefetch_stored(host().distance_function, point);
  }
};

}  // namespace vexel
