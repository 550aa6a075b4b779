// What every class of korel._index shares: its lock and its RowIndex, the
// conversion of ids, and the methods of every kind of index.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/exclusive_use.h"
#include "index/batches.h"
#include "index/tree_arrays.h"
#include "vexel/row_index.h"

namespace korel {
namespace index {

namespace py = pybind11;
using binding::ExclusiveUse;
using binding::UseLock;
using Ids = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

constexpr const char* class_name = "Index";

// What every bound class holds: its lock and its index.
template <typename Space>
struct Bound {
  template <typename... Arguments>
  explicit Bound(Arguments&&... arguments) : rows(std::forward<Arguments>(arguments)...) {}

  // A mapped index (its rows read in place from a file) takes no changes.
  void refuse_changes() const {
    if (read_only) {
      throw py::value_error(
          "this index reads its rows in place from its file (Index.load(..., mmap=True)) and cannot "
          "change: load it with mmap=False to change it");
    }
  }

  // The row of `id`; KeyError when no point has it.
  std::uint32_t stored_row(std::int64_t id) const {
    const std::uint32_t row = rows.row_of(id);
    if (row == vexel::IdMap::none) throw py::key_error(std::to_string(id));
    return row;
  }

  // Runs `work(*this)` holding the lock: the body of every bound method.
  template <typename Work>
  decltype(auto) locked(Work&& work) {
    ExclusiveUse use(lock, class_name);
    return work(*this);
  }

  UseLock lock;
  vexel::RowIndex<Space> rows;
  bool read_only = false;
};

inline const std::int64_t* ids_or_null(const std::optional<Ids>& ids, std::size_t n) {
  if (!ids) return nullptr;
  if (ids->ndim() != 1 || static_cast<std::size_t>(ids->shape(0)) != n) {
    throw py::value_error("got " + std::to_string(ids->size()) + " ids for " + std::to_string(n) + " points");
  }
  return ids->data();
}

inline py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& values) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// The k nearest of each query: (distances, ids) of shape (count, m), where
// m = min(k, size) (every live point is found, so nothing needs padding;
// korel.Index pads query answers to k itself). The answer of a single query

template <typename Rows, typename Append>
py::array_t<std::int64_t> add_rows(Rows& rows, bool native, const std::int64_t* ids, std::size_t n,
                                   Append append, py::handle progress = py::none()) {
  std::vector<std::int64_t> assigned;
  run_interruptibly(rows, native, [&] { assigned = rows.add(ids, n, append); }, progress);
  py::array_t<std::int64_t> ids_added = to_array(assigned);
  std::vector<std::int64_t>().swap(assigned);
  release_freed_memory(n);
  return ids_added;
}

// Removal may rebuild: as long as an insertion, so as interruptible; all or
// nothing (see RowIndex::remove_many).
template <typename Rows>
std::size_t remove_ids(Rows& rows, bool native, const Ids& ids) {
  std::size_t removed = 0;
  run_interruptibly(rows, native, [&] {
    removed = rows.remove_many(ids.data(), static_cast<std::size_t>(ids.size()));
  });
  return removed;
}

// The tree of `rows` as arrays (tree_arrays.h), or None: for an empty
// index, and while removed points are still in the tree (they must never
// leave the index).
template <typename Rows>
py::object tree_or_none(const Rows& rows) {
  if (rows.size() == 0) return py::none();
  const std::optional<vexel::TreeRecord> record = rows.export_tree();
  if (!record) return py::none();
  return tree_arrays(*record);
}

// Restores, into an empty index, `n` points and the tree `arrays` (see
// RowIndex::restore): no distance is measured. std::invalid_argument (a
// ValueError) for a damaged tree, the index then staying empty. The id
// table is not looked up id by id: a tree comes from a file whose section
// checksums korel.storage checks (for a mapped file, with verify=True), or
// from a pickle of an index.
template <typename Rows, typename Append>
void restore_rows(Rows& rows, const std::int64_t* ids, std::size_t n, Append append, const py::dict& arrays) {
  if (rows.size() != 0 || rows.space.rows() != 0) throw py::value_error("a tree is restored only into an empty index");
  const HeldTree tree = tree_record(arrays);
  rows.restore(ids, n, append, tree.record, /*id_table_checksummed=*/true);
}

// The methods every kind of index shares, each through `self.locked`.
template <typename Class, typename Self>
void bind_common(Class& cls, bool native) {
  cls.def("__len__", [](Self& self) { return self.locked([](auto& held) { return held.rows.size(); }); })
      .def("contains",
           [](Self& self, std::int64_t id) {
             return self.locked([id](auto& held) { return held.rows.row_of(id) != vexel::IdMap::none; });
           })
      .def("remove",
           [native](Self& self, const Ids& ids) {
             return self.locked([&](auto& held) {
               held.refuse_changes();
               return remove_ids(held.rows, native, ids);
             });
           })
      .def("ids", [](Self& self) { return self.locked([](auto& held) { return to_array(held.rows.ids()); }); })
      .def("clear",
           [](Self& self) {
             self.locked([](auto& held) {
               held.refuse_changes();
               held.rows.clear();
             });
           })
      .def_property(
          "next_id", [](Self& self) { return self.locked([](auto& held) { return held.rows.next_id; }); },
          [](Self& self, std::int64_t next) {
            self.locked([next](auto& held) { held.rows.next_id = std::max(held.rows.next_id, next); });
          });
}

}  // namespace index
}  // namespace korel
