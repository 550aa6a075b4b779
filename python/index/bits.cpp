// Packed bit codes under Hamming distance: the class BitIndex of
// korel._index. Codes arrive as 2-D uint8 arrays, one row a code, into
// which korel.Index turns every form of code it accepts (korel/bits.py).

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

#include "index/bindings.h"
#include "index/bound_index.h"
#include "vexel/bit_space.h"

namespace korel {
namespace index {

namespace {

using Codes2D = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

struct BitIndex : Bound<vexel::BitSpace> {
  explicit BitIndex(const std::string& metric) : Bound<vexel::BitSpace>() {
    if (metric != "bit_hamming") throw py::value_error("unknown bit code metric '" + metric + "'");
  }

  // The codes of `codes`, checked against the length of the stored ones.
  std::size_t checked_codes(const Codes2D& codes) const {
    if (codes.ndim() != 2) throw py::value_error("expected a 2-D uint8 array of codes, one row a code");
    const auto length = static_cast<std::size_t>(codes.shape(1));
    const std::size_t own = rows.space.length();
    if (length == 0) throw py::value_error("a bit code must have at least one byte");
    if (own != 0 && length != own) {
      throw py::value_error("bit codes of " + std::to_string(length) + " bytes for an index of codes of " +
                            std::to_string(own) + " bytes");
    }
    return static_cast<std::size_t>(codes.shape(0));
  }

  // The codes of `codes` as whole words, the form of a query, and the words
  // of one code; an empty index takes codes of any length (and finds
  // nothing).
  std::pair<std::vector<std::uint64_t>, std::size_t> queries(const Codes2D& codes) const {
    const std::size_t count = checked_codes(codes);
    const auto length = static_cast<std::size_t>(codes.shape(1));
    return {vexel::BitSpace::padded_codes(codes.data(), count, length), vexel::BitSpace::words_for(length)};
  }
};

}  // namespace

void bind_bits(py::module_& module) {
  using Self = BitIndex;
  py::class_<Self> cls(module, "BitIndex");
  cls.def(py::init<const std::string&>(), py::arg("metric"));
  bind_common<py::class_<Self>, Self>(cls, true);
  cls.def_property_readonly("length",
                            [](Self& self) -> py::object {
                              ExclusiveUse use(self.lock, class_name);
                              const std::size_t length = self.rows.space.length();
                              if (length == 0) return py::none();
                              return py::int_(length);
                            })
      .def("add",
           [](Self& self, const Codes2D& codes, const std::optional<Ids>& ids, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t n = self.checked_codes(codes);
             const std::int64_t* id = ids_or_null(ids, n);
             auto& space = self.rows.space;
             if (n == 0) return py::array_t<std::int64_t>(0);
             const bool fixes_length = space.length() == 0;
             if (fixes_length) space.set_length(static_cast<std::size_t>(codes.shape(1)));
             space.refresh_kernel();
             try {
               return add_rows(self.rows, true, id, n, [&](vexel::BitSpace& s) {
                 s.reserve(s.rows() + n);
                 s.append(codes.data(), n);
               }, progress);
             } catch (...) {
               if (fixes_length && self.rows.size() == 0) space.clear();
               throw;
             }
           },
           py::arg("points"), py::arg("ids") = py::none(), py::arg("progress") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.stored_row(id);
             return py::bytes(reinterpret_cast<const char*>(self.rows.space.code(row)),
                              static_cast<py::ssize_t>(self.rows.space.length()));
           })
      .def("query",
           [](Self& self, const Codes2D& codes, std::size_t k, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const auto [words, width] = self.queries(codes);
             self.rows.space.refresh_kernel();
             const std::uint64_t* q = words.data();
             const std::size_t w = width;
             return nearest_batch(self.rows, true, static_cast<std::size_t>(codes.shape(0)), k, workers,
                                  [q, w](std::size_t i) { return vexel::BitSpace::Query(q + i * w, w); }, false,
                                  progress);
           },
           py::arg("points"), py::arg("k"), py::arg("workers"), py::arg("progress") = py::none())
      .def("query_radius",
           [](Self& self, const Codes2D& codes, double radius, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const auto [words, width] = self.queries(codes);
             self.rows.space.refresh_kernel();
             const std::uint64_t* q = words.data();
             const std::size_t w = width;
             return within_batch(self.rows, true, static_cast<std::size_t>(codes.shape(0)), radius, workers,
                                 [q, w](std::size_t i) { return vexel::BitSpace::Query(q + i * w, w); }, progress);
           },
           py::arg("points"), py::arg("radius"), py::arg("workers"), py::arg("progress") = py::none())
      .def("export", [](Self& self, bool tree) {
        ExclusiveUse use(self.lock, class_name);
        const auto& rows = self.rows;
        const std::size_t length = rows.space.length();
        py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(rows.size()));
        py::array_t<std::uint8_t> codes({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(length)});
        std::int64_t* id = ids.mutable_data();
        std::uint8_t* out = codes.mutable_data();
        for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
          if (rows.is_removed(row)) continue;
          *id++ = rows.row_ids[row];
          out = std::copy(rows.space.code(row), rows.space.code(row) + length, out);
        }
        return py::make_tuple(std::move(ids), std::move(codes), tree ? tree_or_none(rows) : py::none());
      }, py::arg("tree") = false)
      .def("restore",
           [](Self& self, const Codes2D& codes, const Ids& ids, const py::dict& tree) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t n = self.checked_codes(codes);
             auto& space = self.rows.space;
             space.set_length(static_cast<std::size_t>(codes.shape(1)));
             space.refresh_kernel();
             try {
               restore_rows(self.rows, ids_or_null(ids, n), n, [&](vexel::BitSpace& s) {
                 s.reserve(n);
                 s.append(codes.data(), n);
               }, tree);
             } catch (...) {
               self.rows.clear();
               throw;
             }
           },
           py::arg("points"), py::arg("ids"), py::arg("tree"));
}

}  // namespace index
}  // namespace korel
