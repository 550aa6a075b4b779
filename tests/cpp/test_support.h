// Shared helpers of the C++ tests: metrics, a counting and failing distance
// wrapper, random data, brute-force oracles and a structural tree check.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vexel/nearest_neighbors_korel.h"

namespace vexel_test {

using Point = std::vector<double>;
using Index = vexel::NearestNeighborsKorel<Point>;
using Node = Index::Node;
using Distance = std::function<double(const Point&, const Point&)>;

constexpr double kInf = std::numeric_limits<double>::infinity();

inline double euclidean(const Point& a, const Point& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

inline double manhattan(const Point& a, const Point& b) {
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::fabs(a[i] - b[i]);
  return sum;
}

inline double chebyshev(const Point& a, const Point& b) {
  double most = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) most = std::max(most, std::fabs(a[i] - b[i]));
  return most;
}

// Levenshtein distance by the dynamic program, row by row, elements
// compared with == (code points, or integer-valued doubles).
template <typename Element>
std::size_t table_distance(const std::vector<Element>& a, const std::vector<Element>& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t substitute = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, substitute});
      diagonal = above;
    }
  }
  return row[b.size()];
}

inline double edit_distance(const Point& a, const Point& b) { return static_cast<double>(table_distance(a, b)); }

// What a counting distance function saw: how often it was called, the
// addresses of its arguments, and when (if ever) it is to throw.
struct CallLog {
  std::uint64_t calls = 0;
  std::uint64_t throw_at = 0;  // 1-based call number that throws; 0 = never
  bool record = false;
  std::vector<std::pair<const Point*, const Point*>> arguments;
  const Point* last_first = nullptr;  // arguments of the latest call
  const Point* last_second = nullptr;
};

struct InjectedFailure : std::runtime_error {
  InjectedFailure() : std::runtime_error("injected distance failure") {}
};

// Wraps a metric so that every copy (the index's and the pivot selector's)
// shares one log. Throws once, on call number `throw_at`, then works again.
inline Distance counted(Distance metric, std::shared_ptr<CallLog> log) {
  return [metric = std::move(metric), log](const Point& a, const Point& b) {
    ++log->calls;
    if (log->record) log->arguments.emplace_back(&a, &b);
    log->last_first = &a;
    log->last_second = &b;
    if (log->calls == log->throw_at) throw InjectedFailure();
    return metric(a, b);
  };
}

inline std::vector<Point> random_points(std::size_t count, std::size_t dims, std::uint32_t seed,
                                        double low = 0.0, double high = 1.0) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> coordinate(low, high);
  std::vector<Point> points(count, Point(dims));
  for (Point& p : points) {
    for (double& x : p) x = coordinate(random);
  }
  return points;
}

inline std::vector<Point> sorted(std::vector<Point> points) {
  std::sort(points.begin(), points.end());
  return points;
}

inline std::vector<Point> listed(const Index& index) {
  std::vector<Point> out;
  index.list(out);
  return out;
}

// Brute force: every point with its distance from the query, nearest first
// (stable, so equally distant points keep their order in `points`).
inline std::vector<std::pair<double, Point>> by_distance(const std::vector<Point>& points,
                                                         const Point& query,
                                                         const Distance& metric) {
  std::vector<std::pair<double, Point>> ranked;
  ranked.reserve(points.size());
  for (const Point& p : points) ranked.emplace_back(metric(query, p), p);
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return ranked;
}

inline std::vector<Point> brute_nearest_k(const std::vector<Point>& points, const Point& query,
                                          std::size_t k, const Distance& metric) {
  std::vector<Point> result;
  for (auto& entry : by_distance(points, query, metric)) {
    if (result.size() == k) break;
    result.push_back(entry.second);
  }
  return result;
}

inline std::vector<Point> brute_nearest_r(const std::vector<Point>& points, const Point& query,
                                          double radius, const Distance& metric) {
  std::vector<Point> result;
  for (auto& entry : by_distance(points, query, metric)) {
    if (entry.first <= radius) result.push_back(entry.second);
  }
  return result;
}

inline std::vector<double> distances_to(const std::vector<Point>& points, const Point& query,
                                        const Distance& metric) {
  std::vector<double> out;
  for (const Point& p : points) out.push_back(metric(query, p));
  return out;
}

// Every stored Point below (and including) a node: pivots and bucket entries.
inline void collect_stored(const Node& node, std::vector<const Point*>& out) {
  std::vector<const Node*> pending{&node};
  while (!pending.empty()) {
    const Node* n = pending.back();
    pending.pop_back();
    out.push_back(&n->pivot);
    for (const Point& p : n->points) out.push_back(&p);
    for (const auto& child : n->children) pending.push_back(child.get());
  }
}

inline std::vector<const Node*> all_nodes(const Index& index) {
  std::vector<const Node*> nodes;
  if (!index.tree) return nodes;
  std::vector<const Node*> pending{index.tree.get()};
  while (!pending.empty()) {
    const Node* n = pending.back();
    pending.pop_back();
    nodes.push_back(n);
    for (const auto& child : n->children) pending.push_back(child.get());
  }
  return nodes;
}

inline std::size_t stored_count(const Index& index) {
  std::vector<const Point*> stored;
  if (index.tree) collect_stored(*index.tree, stored);
  return stored.size();
}

// Checks the structural invariants of the tree against the metric `metric`
// (which must be a true metric for the radius and range checks to hold).
// Leaves may be over-full only where an interrupted split left them so.
inline ::testing::AssertionResult tree_is_consistent(const Index& index, const Distance& metric) {
  auto failure = [](const std::string& what) { return ::testing::AssertionFailure() << what; };
  if (!index.tree) {
    if (index.count != 0) return failure("no tree but count is not 0");
    if (!index.removed.empty()) return failure("no tree but removed set not empty");
    return ::testing::AssertionSuccess();
  }
  const Node& root = *index.tree;
  if (root.min_radius != kInf || root.max_radius != -kInf) return failure("root radii widened");
  if (root.ranges.size() != index.degree) {
    return failure("root ranges not sized to the root degree");
  }
  for (std::size_t i = 0; i < root.ranges.size(); ++i) {
    if (root.ranges[i].low != kInf || root.ranges[i].high != -kInf) return failure("root range widened");
  }

  std::vector<const Point*> stored;
  collect_stored(root, stored);
  for (const Point* p : index.removed) {
    if (std::find(stored.begin(), stored.end(), p) == stored.end()) {
      return failure("removed set holds an address that is not a stored Point");
    }
    for (const Node* n : all_nodes(index)) {
      if (p == &n->pivot) return failure("a pivot is marked removed");
    }
  }
  if (index.count + index.removed.size() != stored.size()) {
    return failure("count + removed != stored Points: ") << index.count << " + "
                                                         << index.removed.size() << " vs "
                                                         << stored.size();
  }

  for (const Node* node : all_nodes(index)) {
    const std::size_t m = node->children.size();
    if (m == 0) {
      if (node != &root && (node->degree < index.min_degree || node->degree > index.max_degree)) {
        return failure("leaf degree outside the clamp: ") << node->degree;
      }
      continue;
    }
    if (!node->points.empty() || node->points.capacity() != 0) {
      return failure("inner node keeps a bucket");
    }
    if (node->degree != m) return failure("inner node degree != children: ") << node->degree << " vs " << m;
    for (std::size_t i = 0; i < m; ++i) {
      const Node& child = *node->children[i];
      if (child.ranges.size() < m) {
        return failure("child ranges shorter than the sibling count");
      }
      for (std::size_t j = m; j < child.ranges.size(); ++j) {
        if (child.ranges[j].low != kInf || child.ranges[j].high != -kInf) {
          return failure("range entry beyond the children was widened");
        }
      }
      // Every Point stored below child i lies within its radii.
      std::vector<const Point*> below;
      collect_stored(child, below);
      for (const Point* p : below) {
        if (p == &child.pivot) continue;
        const double d = metric(*p, child.pivot);
        if (!(d >= child.min_radius && d <= child.max_radius)) {
          return failure("radius does not cover a Point: d=") << d << " range [" << child.min_radius
                                                              << ", " << child.max_radius << "]";
        }
      }
      // Every Point stored below sibling k lies within child i's range k.
      for (std::size_t k = 0; k < m; ++k) {
        std::vector<const Point*> sibling;
        collect_stored(*node->children[k], sibling);
        for (const Point* p : sibling) {
          const double d = metric(*p, child.pivot);
          if (!(d >= child.ranges[k].low && d <= child.ranges[k].high)) {
            return failure("range does not cover a Point: d=") << d << " range [" << child.ranges[k].low
                                                               << ", " << child.ranges[k].high << "]";
          }
        }
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// Deep structural equality of two trees.
inline bool same_tree(const Node& a, const Node& b) {
  std::vector<std::pair<const Node*, const Node*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [x, y] = pending.back();
    pending.pop_back();
    if (x->degree != y->degree || x->pivot != y->pivot || x->points != y->points) return false;
    if (x->ranges.size() != y->ranges.size()) return false;
    for (std::size_t i = 0; i < x->ranges.size(); ++i) {
      if (x->ranges[i].low != y->ranges[i].low || x->ranges[i].high != y->ranges[i].high) return false;
    }
    if (!(x->min_radius == y->min_radius || (std::isnan(x->min_radius) && std::isnan(y->min_radius)))) return false;
    if (!(x->max_radius == y->max_radius || (std::isnan(x->max_radius) && std::isnan(y->max_radius)))) return false;
    if (x->children.size() != y->children.size()) return false;
    for (std::size_t i = 0; i < x->children.size(); ++i) {
      pending.emplace_back(x->children[i].get(), y->children[i].get());
    }
  }
  return true;
}

// Every node of a row index's tree in pre-order: the id of its pivot, its
// radii and its bucket's size. Two builds of one tree give equal shapes.
template <typename RowIndex>
std::vector<double> tree_shape(const RowIndex& index) {
  std::vector<double> shape;
  std::vector<const typename RowIndex::Node*> stack{index.tree.get()};
  while (!stack.empty()) {
    const auto* node = stack.back();
    stack.pop_back();
    shape.insert(shape.end(), {double(index.row_ids[node->pivot]), node->min_radius, node->max_radius,
                               double(node->points.size())});
    for (auto child = node->children.rbegin(); child != node->children.rend(); ++child) stack.push_back(child->get());
  }
  return shape;
}

}  // namespace vexel_test
