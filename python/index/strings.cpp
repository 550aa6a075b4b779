// Strings (as code points) under a native metric: the class StringIndex
// of korel._index.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index/bindings.h"
#include "index/bound_index.h"
#include "vexel/edit_neighbourhood.h"
#include "vexel/string_space.h"

namespace korel {
namespace index {

namespace {

vexel::StringMetric string_metric(const std::string& name) {
  if (name == "levenshtein") return vexel::StringMetric::levenshtein;
  if (name == "hamming") return vexel::StringMetric::hamming;
  throw py::value_error("unknown string metric '" + name + "'");
}

// The code points of a str.
std::vector<std::uint32_t> code_points(PyObject* text) {
  if (!PyUnicode_Check(text)) {
    throw py::type_error(std::string("expected a str, got ") + Py_TYPE(text)->tp_name);
  }
  if (PyUnicode_READY(text) != 0) throw py::error_already_set();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  std::vector<std::uint32_t> out(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
  return out;
}

struct StringIndex : Bound<vexel::StringSpace> {
  explicit StringIndex(const std::string& metric) : Bound<vexel::StringSpace>(string_metric(metric)) {}

  // Hamming distance needs strings of one length; the first string stored
  // in an empty index fixes it (`first` for the strings of that call).
  void check_length(std::size_t length, std::size_t first) const {
    if (rows.space.metric() != vexel::StringMetric::hamming) return;
    const std::size_t own = rows.size() > 0 ? hamming_length : first;
    if (length != own) {
      throw py::value_error("hamming distance needs strings of one length: got length " + std::to_string(length) +
                            " for an index of strings of length " + std::to_string(own));
    }
  }

  std::size_t hamming_length = 0;  // while the index holds points
  // Answers radii below 2; built on the first such search (under the lock).
  vexel::EditNeighbourhood neighbourhood;

  std::vector<vexel::StringSpace::Query> queries(const py::list& texts) const {
    std::vector<vexel::StringSpace::Query> out;
    out.reserve(texts.size());
    for (py::handle text : texts) {
      const std::vector<std::uint32_t> chars = code_points(text.ptr());
      if (rows.size() > 0) check_length(chars.size(), chars.size());
      out.emplace_back(chars.data(), chars.size());
    }
    return out;
  }
};
}  // namespace

void bind_strings(py::module_& module) {
  using Self = StringIndex;
  py::class_<Self> cls(module, "StringIndex");
  cls.def(py::init<const std::string&>(), py::arg("metric"));
  bind_common<py::class_<Self>, Self>(cls, true);
  cls.def("add",
          [](Self& self, const py::list& texts, const std::optional<Ids>& ids, py::handle progress) {
            ExclusiveUse use(self.lock, class_name);
            const std::size_t n = texts.size();
            const std::int64_t* id = ids_or_null(ids, n);
            std::vector<std::vector<std::uint32_t>> strings;
            strings.reserve(n);
            std::size_t total = 0;
            for (py::handle text : texts) {
              strings.push_back(code_points(text.ptr()));
              total += strings.back().size();
              self.check_length(strings.back().size(), strings.front().size());
            }
            auto added = add_rows(self.rows, true, id, n, [&](vexel::StringSpace& space) {
              space.reserve(n, total);
              for (const auto& chars : strings) space.append(chars.data(), chars.size());
            }, progress);
            if (n > 0) self.hamming_length = strings.front().size();
            return added;
          },
          py::arg("points"), py::arg("ids") = py::none(), py::arg("progress") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.stored_row(id);
             PyObject* text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, self.rows.space.row(row),
                                                        static_cast<Py_ssize_t>(self.rows.space.length(row)));
             if (text == nullptr) throw py::error_already_set();
             return py::reinterpret_steal<py::str>(text);
           })
      .def("query",
           [](Self& self, const py::list& texts, std::size_t k, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const auto queries = self.queries(texts);
             return nearest_batch(self.rows, true, queries.size(), k, workers,
                                  [&](std::size_t i) -> const vexel::StringSpace::Query& { return queries[i]; },
                                  false, progress);
           },
           py::arg("points"), py::arg("k"), py::arg("workers"), py::arg("progress") = py::none())
      .def("query_radius",
           [](Self& self, const py::list& texts, double radius, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const auto queries = self.queries(texts);
             const auto query_of = [&](std::size_t i) -> const vexel::StringSpace::Query& { return queries[i]; };
             const auto without_gil = [](auto build) {
               ReleasedGil released;
               build();
               released.reacquire();
             };
             if (self.neighbourhood.prepare(self.rows, radius, without_gil)) {
               const vexel::NeighbourhoodSearch<decltype(self.rows)> search(self.rows, self.neighbourhood);
               return within_batch(search, true, queries.size(), radius, workers, query_of, progress);
             }
             return within_batch(self.rows, true, queries.size(), radius, workers, query_of, progress);
           },
           py::arg("points"), py::arg("radius"), py::arg("workers"), py::arg("progress") = py::none())
      .def("export", [](Self& self, bool tree) {
        ExclusiveUse use(self.lock, class_name);
        const auto& rows = self.rows;
        std::size_t total = 0;
        for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
          if (!rows.is_removed(row)) total += rows.space.length(row);
        }
        py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(rows.size()));
        py::array_t<std::int64_t> starts(static_cast<py::ssize_t>(rows.size() + 1));
        py::array_t<std::uint32_t> chars(static_cast<py::ssize_t>(total));
        std::int64_t* id = ids.mutable_data();
        std::int64_t* start = starts.mutable_data();
        std::uint32_t* out = chars.mutable_data();
        std::int64_t at = 0;
        *start++ = 0;
        for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
          if (rows.is_removed(row)) continue;
          *id++ = rows.row_ids[row];
          out = std::copy(rows.space.row(row), rows.space.row(row) + rows.space.length(row), out);
          at += static_cast<std::int64_t>(rows.space.length(row));
          *start++ = at;
        }
        return py::make_tuple(std::move(ids), std::move(starts), std::move(chars),
                              tree ? tree_or_none(rows) : py::none());
      }, py::arg("tree") = false)
      // From the arrays export gives: string i is code_points[starts[i]:starts[i + 1]].
      .def("restore",
           [](Self& self, const py::array_t<std::int64_t, py::array::c_style>& starts,
              const py::array_t<std::uint32_t, py::array::c_style>& code_points, const Ids& ids, const py::dict& tree) {
             ExclusiveUse use(self.lock, class_name);
             if (starts.ndim() != 1 || starts.size() < 1) throw py::value_error("string offsets need at least one entry");
             const std::size_t n = static_cast<std::size_t>(starts.size()) - 1;
             const std::int64_t* start = starts.data();
             const auto total = static_cast<std::int64_t>(code_points.size());
             if (start[0] != 0 || start[n] != total) throw py::value_error("string offsets do not cover the code points");
             for (std::size_t i = 0; i < n; ++i) {
               if (start[i + 1] < start[i]) throw py::value_error("string offsets are not ascending");
               self.check_length(static_cast<std::size_t>(start[i + 1] - start[i]),
                                 static_cast<std::size_t>(start[1] - start[0]));
             }
             restore_rows(self.rows, ids_or_null(ids, n), n, [&](vexel::StringSpace& space) {
               space.reserve(n, static_cast<std::size_t>(total));
               for (std::size_t i = 0; i < n; ++i) {
                 space.append(code_points.data() + start[i], static_cast<std::size_t>(start[i + 1] - start[i]));
               }
             }, tree);
             if (n > 0) self.hamming_length = static_cast<std::size_t>(start[1] - start[0]);
           },
           py::arg("starts"), py::arg("code_points"), py::arg("ids"), py::arg("tree"));
}

}  // namespace index
}  // namespace korel
