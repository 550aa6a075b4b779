// The two priority queues of the best-first searches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

namespace vexel {

// Candidate results as a max-heap: the top is the farthest candidate held
// (among equally far ones, the one at the higher address). Its distance is
// the search's bound. Stored points are identified by address, never copied.
template <typename T>
class NeighborQueue {
 public:
  struct Entry {
    double distance;
    const T* stored;
  };

  bool empty() const { return heap_.empty(); }
  std::size_t size() const { return heap_.size(); }
  const Entry& top() const { return heap_.front(); }
  double bound() const { return heap_.front().distance; }

  // push_heap/pop_heap are what std::priority_queue uses, so the order among
  // equal entries is the platform's.
  void push(double distance, const T* stored) {
    heap_.push_back(Entry{distance, stored});
    std::push_heap(heap_.begin(), heap_.end(), ranks_below);
  }
  void pop() {
    std::pop_heap(heap_.begin(), heap_.end(), ranks_below);
    heap_.pop_back();
  }

  // Empties the queue into `result`, nearest first.
  void drain(std::vector<T>& result) {
    result.resize(heap_.size());
    for (std::size_t i = heap_.size(); i-- > 0;) {
      result[i] = *top().stored;
      pop();
    }
  }

 private:
  static bool ranks_below(const Entry& a, const Entry& b) {
    if (a.distance < b.distance) return true;
    if (b.distance < a.distance) return false;
    return std::less<const T*>()(a.stored, b.stored);
  }

  std::vector<Entry> heap_;
};

// Nodes waiting to be visited, nearest lower bound first. The key,
// distance-to-pivot minus the node's largest radius, bounds the distance from
// the query to anything stored below the node when the function is a metric.
template <typename Node>
class NodeQueue {
 public:
  struct Entry {
    const Node* node;
    double distance;
    double key;
  };

  bool empty() const { return heap_.empty(); }
  const Entry& top() const { return heap_.front(); }

  void push(const Node* node, double distance) {
    heap_.push_back(Entry{node, distance, distance - node->max_radius});
    std::push_heap(heap_.begin(), heap_.end(), ranks_below);
  }
  void pop() {
    std::pop_heap(heap_.begin(), heap_.end(), ranks_below);
    heap_.pop_back();
  }

 private:
  static bool ranks_below(const Entry& a, const Entry& b) { return a.key > b.key; }

  std::vector<Entry> heap_;
};

}  // namespace vexel
