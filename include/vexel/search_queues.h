// The two priority queues of the best-first searches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <vector>

namespace vexel {

// Distances in a total order: every number, infinity included, before NaN.
// A distance a metric could not measure never displaces one it could, and
// the heaps keep a strict weak order whatever the metric returns.
inline bool distance_less(double a, double b) { return a < b || (a == a && b != b); }

// Candidate results as a max-heap: the top is the farthest candidate held
// (among equally far ones, the one with the greater key). Its distance is the
// search's bound. A key identifies a stored element without copying it.
template <typename Key>
class NeighborQueue {
 public:
  struct Entry {
    double distance;
    Key stored;
  };

  bool empty() const { return heap_.empty(); }
  std::size_t size() const { return heap_.size(); }
  const Entry& top() const { return heap_.front(); }
  // The distance a candidate must beat; nothing is excluded while empty.
  double bound() const {
    return heap_.empty() ? std::numeric_limits<double>::infinity() : heap_.front().distance;
  }

  // push_heap/pop_heap are what std::priority_queue uses, so the order among
  // equal entries is the platform's.
  void push(double distance, Key stored) {
    heap_.push_back(Entry{distance, stored});
    std::push_heap(heap_.begin(), heap_.end(), RanksBelow{});
  }
  void pop() {
    std::pop_heap(heap_.begin(), heap_.end(), RanksBelow{});
    heap_.pop_back();
  }
  // pop() then push(), in one pass down the heap.
  void replace_top(double distance, Key stored) {
    const Entry entry{distance, stored};
    const std::size_t n = heap_.size();
    std::size_t hole = 0;
    for (std::size_t child = 1; child < n; child = 2 * hole + 1) {
      if (child + 1 < n && ranks_below(heap_[child], heap_[child + 1])) ++child;
      if (!ranks_below(entry, heap_[child])) break;
      heap_[hole] = heap_[child];
      hole = child;
    }
    heap_[hole] = entry;
  }
  void clear() { heap_.clear(); }

  // Empties the queue into `result`, nearest first, each entry converted by
  // `convert`.
  template <typename Result, typename Convert>
  void drain(std::vector<Result>& result, Convert convert) {
    result.resize(heap_.size());
    for (std::size_t i = heap_.size(); i-- > 0;) {
      result[i] = convert(top());
      pop();
    }
  }

  // Whether entry a ranks below entry b: nearer, or as near with a smaller key.
  static bool ranks_below(const Entry& a, const Entry& b) {
    if (distance_less(a.distance, b.distance)) return true;
    if (distance_less(b.distance, a.distance)) return false;
    return std::less<Key>()(a.stored, b.stored);
  }

 private:
  // A function object, so that the heap operations inline the comparison.
  struct RanksBelow {
    bool operator()(const Entry& a, const Entry& b) const { return ranks_below(a, b); }
  };

  std::vector<Entry> heap_;
};

// Nodes waiting to be visited, nearest lower bound first. The key,
// distance-to-pivot minus the node's largest radius (or a tighter `floor`
// where one is known, such as the distance to the node's box), bounds the
// distance from the query to anything stored below the node when the
// function is a metric.
// A key that is NaN (an infinite distance minus an infinite radius) bounds
// nothing and ranks first.
template <typename Node>
class NodeQueue {
 public:
  struct Entry {
    const Node* node;
    double distance;
    double key;
    double floor;  // a lower bound known besides the radius (-infinity: none)
  };

  bool empty() const { return heap_.empty(); }
  const Entry& top() const { return heap_.front(); }

  void push(const Node* node, double distance,
            double floor = -std::numeric_limits<double>::infinity()) {
    double key = distance - node->max_radius;
    if (key != key) key = -std::numeric_limits<double>::infinity();
    if (floor > key) key = floor;
    heap_.push_back(Entry{node, distance, key, floor});
    std::push_heap(heap_.begin(), heap_.end(), RanksBelow{});
  }
  void pop() {
    std::pop_heap(heap_.begin(), heap_.end(), RanksBelow{});
    heap_.pop_back();
  }
  void clear() { heap_.clear(); }

 private:
  // The top is the smallest key; a function object, so that it inlines.
  struct RanksBelow {
    bool operator()(const Entry& a, const Entry& b) const { return a.key > b.key; }
  };

  std::vector<Entry> heap_;
};

}  // namespace vexel
