// A tree record (vexel/tree_record.h) as a dict of NumPy arrays named
// tree_*, the way korel.storage writes them as file sections, and back.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vexel/tree_record.h"

namespace korel {
namespace index {

namespace py = pybind11;

// Calls `field(name, vector)` for every array of a record.
template <typename Record, typename Field>
void for_each_tree_array(Record& record, Field field) {
  field("tree_generator", record.generator);
  field("tree_node_pivot", record.node_pivot);
  field("tree_node_children", record.node_children);
  field("tree_node_degree", record.node_degree);
  field("tree_node_min_radius", record.node_min_radius);
  field("tree_node_max_radius", record.node_max_radius);
  field("tree_node_ranges", record.node_ranges);
  field("tree_node_bucket", record.node_bucket);
  field("tree_node_box", record.node_box);
  field("tree_node_split_refused", record.node_split_refused);
  field("tree_range_low", record.range_low);
  field("tree_range_high", record.range_high);
  field("tree_bucket_rows", record.bucket_rows);
  field("tree_bucket_distances", record.bucket_distances);
  field("tree_boxes", record.boxes);
  field("tree_id_slots", record.id_slots);
  field("tree_id_rows", record.id_rows);
}

template <typename T>
py::array_t<T> to_numpy(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// The arrays of `record`, its scalars in tree_shape (uint64: degree, min
// and max degree, leaf points, rows, box size).
inline py::dict tree_arrays(const vexel::TreeRecord& record) {
  py::dict arrays;
  const std::vector<std::uint64_t> shape{record.degree, record.min_degree, record.max_degree,
                                         record.max_leaf_points, record.count, record.box_size};
  arrays["tree_shape"] = to_numpy(shape);
  for_each_tree_array(record, [&](const char* name, const auto& values) { arrays[name] = to_numpy(values); });
  return arrays;
}

// The record of `arrays` (as tree_arrays makes them), read where the
// arrays lie: each array must be one-dimensional and of its own type
// exactly; ValueError otherwise. What the numbers say is checked where the
// tree is restored. The arrays stay alive as long as the HeldTree.
struct HeldTree {
  vexel::TreeView record;
  std::vector<py::object> arrays;  // what the record's spans point into
};

inline HeldTree tree_record(const py::dict& arrays) {
  HeldTree held;
  const auto take = [&](const char* name, auto& values) {
    using T = typename std::decay_t<decltype(values)>::value_type;
    if (!arrays.contains(name)) {
      // Files written before splits could be refused have no such array
      // (none was), and older files no dense id table.
      const std::string missing(name);
      if (missing == "tree_node_split_refused" || missing == "tree_id_rows") return;
      throw py::value_error(std::string("damaged tree: the array ") + name + " is missing");
    }
    py::object array = arrays[name];
    if (!py::array_t<T>::check_(array) || py::reinterpret_borrow<py::array>(array).ndim() != 1) {
      throw py::value_error(std::string("damaged tree: the array ") + name + " is not a 1-D array of " +
                            py::str(py::dtype::of<T>()).cast<std::string>());
    }
    auto contiguous = py::array_t<T, py::array::c_style>::ensure(array);
    if (!contiguous) throw py::error_already_set();
    values = vexel::Span<T>(contiguous.data(), static_cast<std::size_t>(contiguous.size()));
    held.arrays.push_back(std::move(contiguous));
  };
  vexel::TreeView& record = held.record;
  vexel::Span<std::uint64_t> shape;
  take("tree_shape", shape);
  if (shape.size() != 6) throw py::value_error("damaged tree: tree_shape holds " + std::to_string(shape.size()) + " numbers, not 6");
  for (std::size_t i = 0; i < 6; ++i) {
    if (i != 4 && shape[i] > UINT32_MAX) throw py::value_error("damaged tree: tree_shape is out of range");
  }
  record.degree = static_cast<std::uint32_t>(shape[0]);
  record.min_degree = static_cast<std::uint32_t>(shape[1]);
  record.max_degree = static_cast<std::uint32_t>(shape[2]);
  record.max_leaf_points = static_cast<std::uint32_t>(shape[3]);
  record.count = shape[4];
  record.box_size = static_cast<std::uint32_t>(shape[5]);
  for_each_tree_array(record, take);
  if (!arrays.contains("tree_node_split_refused")) {
    // As many zeros as nodes, held like the others.
    py::array_t<std::uint32_t> zeros(static_cast<py::ssize_t>(record.nodes()));
    std::fill_n(zeros.mutable_data(), record.nodes(), 0u);
    record.node_split_refused = vexel::Span<std::uint32_t>(zeros.data(), record.nodes());
    held.arrays.push_back(std::move(zeros));
  }
  return held;
}

}  // namespace index
}  // namespace korel
