// A tree of a `RowIndex` as flat arrays of plain numbers, so that it can be
// written to a file and read back without measuring a single distance; and
// the checks that make any such arrays safe to rebuild a tree from.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vexel {

// A run of numbers that another owner keeps alive (the arrays a file was
// read into), read in place rather than copied.
template <typename T>
class Span {
 public:
  using value_type = T;
  Span() = default;
  Span(const T* data, std::size_t size) : data_(data), size_(size) {}
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  const T* data_ = nullptr;
  std::size_t size_ = 0;
};

template <typename T>
using Owned = std::vector<T>;

// Nodes in pre-order (a node, then the subtrees of its children in child
// order). Arrays named `node_*` hold one entry per node; the others hold the
// entries of every node one after the other, as many for each node as its
// `node_*` counts say. Rows are numbered from 0 as the rows of the index
// the tree is restored into. `Array` is std::vector for a record that owns
// its numbers (TreeRecord), Span for one that reads them where they lie
// (TreeView).
template <template <typename> class Array>
struct BasicTreeRecord {
  std::uint32_t degree = 0;           // the root's degree while it is a leaf
  std::uint32_t min_degree = 0;       // the clamp of a split child's degree
  std::uint32_t max_degree = 0;
  std::uint32_t max_leaf_points = 0;  // a leaf splits beyond this many points
  std::uint64_t count = 0;            // rows in the tree
  std::uint32_t box_size = 0;         // numbers per side of a box (0: no boxes)
  // The pivot selector's generator, so that later splits draw what they
  // would have drawn without the round trip.
  Array<std::uint32_t> generator;

  Array<std::uint32_t> node_pivot;    // the pivot's row
  Array<std::uint32_t> node_children;
  Array<std::uint32_t> node_degree;   // an inner node's equals its children
  Array<double> node_min_radius;
  Array<double> node_max_radius;
  Array<std::uint32_t> node_ranges;   // how many ranges
  Array<std::uint32_t> node_bucket;   // how many bucket rows
  Array<std::uint8_t> node_box;       // 1 when the node keeps a box
  // The bucket size at which a split of the leaf found only equal rows and
  // left it whole (0: none did): later adds try again at twice that size.
  Array<std::uint32_t> node_split_refused;

  Array<double> range_low;
  Array<double> range_high;
  Array<std::uint32_t> bucket_rows;
  Array<float> bucket_distances;  // each bucket row's distance to its pivot
  Array<double> boxes;            // per boxed node: box_size lows, then box_size highs
  // The id map's table over the rows (vexel/id_map.h), when it can travel
  // as it is (no row outside the tree, no erased slot): its hash table in
  // `id_slots`, or its dense table (the row of each id) in `id_rows`; both
  // empty otherwise, and the map is then rebuilt from the ids.
  Array<std::uint32_t> id_slots;
  Array<std::uint32_t> id_rows;

  // Not part of the tree: the exporting index's rows, in the order (and so
  // with the numbers) the record gives them. Saving these rows' ids and
  // points in this order is what the record expects back.
  Array<std::uint32_t> rows;

  std::size_t nodes() const { return node_pivot.size(); }
};

using TreeRecord = BasicTreeRecord<Owned>;
using TreeView = BasicTreeRecord<Span>;

// The most children (and ranges) a record may give a node: far beyond any
// space's degree, small enough that no node allocates much.
constexpr std::uint32_t max_recorded_degree = 4096;

// The state of a Mersenne Twister as the numbers its stream text holds.
inline std::vector<std::uint32_t> generator_words(const std::mt19937& generator) {
  std::ostringstream text;
  text << generator;
  std::istringstream numbers(text.str());
  std::vector<std::uint32_t> words;
  unsigned long long word = 0;
  while (numbers >> word) words.push_back(static_cast<std::uint32_t>(word));
  return words;
}

// The generator whose state `words` are; std::invalid_argument when they
// are not a state this library writes.
template <typename Words>
std::mt19937 generator_from_words(const Words& words) {
  static const std::size_t expected = generator_words(std::mt19937{}).size();
  if (words.size() != expected) {
    throw std::invalid_argument("damaged tree: the generator state has " + std::to_string(words.size()) +
                                " words, not " + std::to_string(expected));
  }
  std::ostringstream text;
  for (std::uint32_t word : words) text << word << ' ';
  std::istringstream numbers(text.str());
  std::mt19937 generator;
  numbers >> generator;
  if (numbers.fail()) throw std::invalid_argument("damaged tree: the generator state does not parse");
  return generator;
}

// Checks that `record` describes one whole tree over `rows` rows that the
// tree code can use as it is: every array as long as the node counts say,
// every row exactly once (as a pivot or in one bucket), child counts that
// close one pre-order tree, degrees within the tree's limits, ranges for
// every sibling, buckets only in leaves, boxes of `box_size` numbers a side
// in every node but the root when there are boxes, and no NaN in radii,
// ranges or boxes. Throws std::invalid_argument naming the first fault.
// Iterative: trees of equal points are as deep as they are long.
template <typename Record>
void check_tree_record(const Record& record, std::size_t rows, std::size_t box_size) {
  const auto fail = [](const std::string& what) { throw std::invalid_argument("damaged tree: " + what); };
  const auto text = [](std::uint64_t value) { return std::to_string(value); };
  const std::size_t nodes = record.nodes();
  if (record.count != rows) fail("it holds " + text(record.count) + " rows, not " + text(rows));
  if (record.box_size != box_size) {
    fail("boxes of " + text(record.box_size) + " numbers, where the space makes " + text(box_size));
  }
  for (std::size_t size : {record.node_children.size(), record.node_degree.size(), record.node_min_radius.size(),
                           record.node_max_radius.size(), record.node_ranges.size(), record.node_bucket.size(),
                           record.node_box.size(), record.node_split_refused.size()}) {
    if (size != nodes) fail("node arrays of different lengths");
  }
  if (rows == 0) {
    if (nodes != 0 || !record.range_low.empty() || !record.range_high.empty() || !record.bucket_rows.empty() ||
        !record.bucket_distances.empty() || !record.boxes.empty()) {
      fail("nodes without rows");
    }
    return;
  }
  if (nodes == 0) fail("no nodes for " + text(rows) + " rows");
  if (record.min_degree < 1 || record.min_degree > record.degree || record.degree > record.max_degree ||
      record.max_degree > max_recorded_degree) {
    fail("degrees " + text(record.min_degree) + " <= " + text(record.degree) + " <= " + text(record.max_degree) +
         " out of order or range");
  }
  if (record.max_leaf_points < 1) fail("leaves of no points");

  std::uint64_t ranges = 0, bucket = 0, boxed = 0;
  for (std::size_t i = 0; i < nodes; ++i) {
    ranges += record.node_ranges[i];
    bucket += record.node_bucket[i];
    boxed += record.node_box[i];
  }
  if (record.range_low.size() != ranges || record.range_high.size() != ranges) fail("range arrays of wrong length");
  if (record.bucket_rows.size() != bucket || record.bucket_distances.size() != bucket) {
    fail("bucket arrays of wrong length");
  }
  if (record.boxes.size() != boxed * 2 * box_size) fail("box array of wrong length");
  if (!record.id_slots.empty() && !record.id_rows.empty()) fail("two id tables");
  if (nodes + bucket != rows) fail(text(nodes + bucket) + " pivots and bucket rows for " + text(rows) + " rows");
  for (const auto* values : {&record.node_min_radius, &record.node_max_radius, &record.range_low, &record.range_high,
                             &record.boxes}) {
    for (double value : *values) {
      if (std::isnan(value)) fail("NaN in radii, ranges or boxes");
    }
  }

  std::vector<unsigned char> seen(rows, 0);
  const auto bad_row = [&](std::uint32_t row) {
    if (row >= rows) fail("row " + text(row) + " out of range (" + text(rows) + " rows)");
    fail("row " + text(row) + " stored twice");
  };
  const auto take_row = [&](std::uint32_t row) {
    if (row >= rows || seen[row] != 0) bad_row(row);
    seen[row] = 1;
  };
  struct Open {
    std::size_t node;
    std::uint32_t left;  // children still to come
  };
  std::vector<Open> open;
  std::size_t bucket_at = 0;
  for (std::size_t i = 0; i < nodes; ++i) {
    const auto where = [&] { return " at node " + text(i); };  // text made only when a check fails
    const std::uint32_t children = record.node_children[i];
    const std::uint32_t degree = record.node_degree[i];
    if (i > 0) {
      if (open.empty()) fail("nodes beyond the tree" + where());
      const std::uint32_t siblings = record.node_children[open.back().node];
      if (record.node_ranges[i] < siblings) fail("fewer ranges than siblings" + where());
      if (children == 0 && (degree < record.min_degree || degree > record.max_degree)) {
        fail("leaf degree " + text(degree) + " outside the tree's limits" + where());
      }
      if (record.node_box[i] != (box_size > 0 ? 1 : 0)) fail("a box missing or out of place" + where());
      if (--open.back().left == 0) open.pop_back();
    } else if (record.node_box[i] != 0) {
      fail("a box at the root");
    }
    if (record.node_ranges[i] > record.max_degree) fail("more ranges than the degree allows" + where());
    if (degree < 1 || degree > record.max_degree) fail("degree " + text(degree) + " out of range" + where());
    if (children > 0) {
      if (degree != children) fail("an inner node's degree differs from its children" + where());
      if (record.node_bucket[i] != 0) fail("an inner node with a bucket" + where());
      open.push_back({i, children});
    }
    take_row(record.node_pivot[i]);
    for (std::uint32_t b = 0; b < record.node_bucket[i]; ++b) take_row(record.bucket_rows[bucket_at++]);
  }
  if (!open.empty()) fail("node " + text(open.back().node) + " misses children");
}

// Appends the nodes of the tree under `root` to `record` in pre-order, each
// stored row as `row(stored)`.
template <typename Node, typename Row>
void record_nodes(const Node& root, Row row, TreeRecord& record) {
  std::vector<const Node*> pending{&root};
  while (!pending.empty()) {
    const Node& node = *pending.back();
    pending.pop_back();
    record.node_pivot.push_back(row(node.pivot));
    record.node_children.push_back(static_cast<std::uint32_t>(node.children.size()));
    record.node_degree.push_back(node.degree);
    record.node_min_radius.push_back(node.min_radius);
    record.node_max_radius.push_back(node.max_radius);
    record.node_ranges.push_back(static_cast<std::uint32_t>(node.ranges.size()));
    for (const auto& range : node.ranges) {
      record.range_low.push_back(range.low);
      record.range_high.push_back(range.high);
    }
    record.node_bucket.push_back(static_cast<std::uint32_t>(node.points.size()));
    for (const auto& stored : node.points) record.bucket_rows.push_back(row(stored));
    record.bucket_distances.insert(record.bucket_distances.end(), node.point_distances.begin(),
                                   node.point_distances.end());
    record.node_box.push_back(node.box.empty() ? 0 : 1);
    record.node_split_refused.push_back(node.split_refused_at);
    record.boxes.insert(record.boxes.end(), node.box.begin(), node.box.end());
    for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
      pending.push_back(child->get());
    }
  }
}

// The tree a checked `record` describes (check_tree_record), built without
// recursion; on failure (memory) nothing is left behind.
template <typename Node, typename Record>
std::unique_ptr<Node> nodes_from_record(const Record& record) {
  struct Open {
    Node* node;
    std::uint32_t left;
  };
  std::unique_ptr<Node> root;
  std::vector<Open> open;
  std::size_t range_at = 0, bucket_at = 0, box_at = 0;
  const std::size_t box_numbers = 2 * std::size_t{record.box_size};
  for (std::size_t i = 0; i < record.nodes(); ++i) {
    // Made with as many ranges as it holds (one per sibling), then given
    // its own degree: one allocation for the ranges, of their size.
    auto node = std::make_unique<Node>(record.node_ranges[i], 0, record.node_pivot[i]);
    node->degree = record.node_degree[i];
    node->min_radius = record.node_min_radius[i];
    node->max_radius = record.node_max_radius[i];
    node->split_refused_at = record.node_split_refused[i];
    for (auto& range : node->ranges) {
      range.low = record.range_low[range_at];
      range.high = record.range_high[range_at++];
    }
    const std::size_t bucket = record.node_bucket[i];
    node->points.assign(record.bucket_rows.begin() + static_cast<std::ptrdiff_t>(bucket_at),
                        record.bucket_rows.begin() + static_cast<std::ptrdiff_t>(bucket_at + bucket));
    node->point_distances.assign(record.bucket_distances.begin() + static_cast<std::ptrdiff_t>(bucket_at),
                                 record.bucket_distances.begin() + static_cast<std::ptrdiff_t>(bucket_at + bucket));
    bucket_at += bucket;
    if (record.node_box[i] != 0) {
      node->box.assign(record.boxes.begin() + static_cast<std::ptrdiff_t>(box_at),
                       record.boxes.begin() + static_cast<std::ptrdiff_t>(box_at + box_numbers));
      box_at += box_numbers;
    }
    node->children.reserve(record.node_children[i]);
    Node* placed = node.get();
    if (i == 0) {
      root = std::move(node);
    } else {
      open.back().node->children.push_back(std::move(node));  // reserved: cannot fail
      if (--open.back().left == 0) open.pop_back();
    }
    if (record.node_children[i] > 0) open.push_back({placed, record.node_children[i]});
  }
  return root;
}

}  // namespace vexel
