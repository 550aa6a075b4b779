// Vectors (float64 or float32 rows) under a native metric: the classes
// VectorIndex64 and VectorIndex32 of korel._index.

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
#include "index/vector_scans.h"
#include "vexel/vector_space.h"

namespace korel {
namespace index {

namespace {

using Rows2D = py::array_t<double, py::array::c_style | py::array::forcecast>;

vexel::VectorMetric vector_metric(const std::string& name) {
  if (name == "euclidean") return vexel::VectorMetric::euclidean;
  if (name == "manhattan") return vexel::VectorMetric::manhattan;
  if (name == "chebyshev") return vexel::VectorMetric::chebyshev;
  if (name == "angular") return vexel::VectorMetric::angular;
  if (name == "haversine") return vexel::VectorMetric::haversine;
  throw py::value_error("unknown vector metric '" + name + "'");
}

template <typename Scalar>
struct VectorIndex : Bound<vexel::VectorSpace<Scalar>> {
  explicit VectorIndex(const std::string& metric)
      : Bound<vexel::VectorSpace<Scalar>>(vector_metric(metric)) {}

  // The coordinates of `point` when it is a query that needs no conversion
  // and no check of the general path: an aligned, contiguous float64 vector
  // of the index's dimension, without NaN (nor infinities under angular and
  // haversine).
  // Null otherwise, and the general path converts or refuses it.
  const double* plain_query(py::handle point) const {
    using Vector = py::array_t<double, py::array::c_style>;
    if (!Vector::check_(point)) return nullptr;
    auto array = py::reinterpret_borrow<py::array>(point);
    const std::size_t dim = this->rows.space.dim();
    if (array.ndim() != 1 || dim == 0 || static_cast<std::size_t>(array.shape(0)) != dim) {
      return nullptr;
    }
    // Contiguous, so aligned exactly when its first element is.
    const auto* q = static_cast<const double*>(array.data());
    if (reinterpret_cast<std::uintptr_t>(q) % alignof(double) != 0) return nullptr;
    const vexel::VectorMetric metric = this->rows.space.metric();
    const bool finite = metric == vexel::VectorMetric::angular || metric == vexel::VectorMetric::haversine;
    for (std::size_t i = 0; i < dim; ++i) {
      if (std::isnan(q[i]) || (finite && std::isinf(q[i]))) return nullptr;
    }
    return q;
  }

  py::object mapping;  // keeps rows read in place alive

  // Adds all or nothing (see RowIndex::add).
  template <typename Value, int Flags>
  py::array_t<std::int64_t> add(const py::array_t<Value, Flags>& points, const std::optional<Ids>& ids,
                                py::handle progress) {
    ExclusiveUse use(this->lock, class_name);
    if (!points) throw py::error_already_set();
    this->refuse_changes();
    const std::size_t n = checked_rows(points);
    const std::int64_t* id = ids_or_null(ids, n);
    auto& space = this->rows.space;
    const bool fixes_dim = space.dim() == 0;
    if (n == 0) return py::array_t<std::int64_t>(0);
    if (fixes_dim) space.set_dim(static_cast<std::size_t>(points.shape(1)));
    space.refresh_kernel();
    try {
      auto added = add_rows(this->rows, true, id, n, [&](auto& s) {
        s.reserve(s.rows() + n);
        s.append(points.data(), n);
      }, progress);
      if (!space.mapped()) mapping = py::none();  // the rows are copied now
      return added;
    } catch (...) {
      if (fixes_dim && this->rows.size() == 0) space.clear();
      throw;
    }
  }

  // The rows of `points`, checked against the dimension of the index.
  template <typename Array>
  std::size_t checked_rows(const Array& points) {
    if (points.ndim() != 2) throw py::value_error("expected a 2-D array of points");
    const auto dim = static_cast<std::size_t>(points.shape(1));
    const std::size_t own = this->rows.space.dim();
    if (dim == 0) throw py::value_error("points must have at least one coordinate");
    if (own != 0 && dim != own) {
      throw py::value_error("points of dimension " + std::to_string(dim) + " for an index of dimension " +
                            std::to_string(own));
    }
    return static_cast<std::size_t>(points.shape(0));
  }
};

template <typename Scalar>
void bind_vector_class(py::module_& module, const char* name) {
  using Self = VectorIndex<Scalar>;
  py::class_<Self> cls(module, name);
  cls.def(py::init<const std::string&>(), py::arg("metric"));
  bind_common<py::class_<Self>, Self>(cls, true);
  cls.def_property_readonly("dim",
                            [](Self& self) -> py::object {
                              ExclusiveUse use(self.lock, class_name);
                              const std::size_t dim = self.rows.space.dim();
                              if (dim == 0) return py::none();
                              return py::int_(dim);
                            })
      // Rows already of the stored type (float32 into a float32 index) go
      // in as they are; any other array is converted to float64 first.
      .def("add",
           [](Self& self, const py::array& points, const std::optional<Ids>& ids, py::handle progress) {
             using Stored = py::array_t<Scalar, py::array::c_style>;
             if (Stored::check_(points)) return self.add(py::reinterpret_borrow<Stored>(points), ids, progress);
             return self.add(Rows2D::ensure(points), ids, progress);
           },
           py::arg("points"), py::arg("ids") = py::none(), py::arg("progress") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.stored_row(id);
             const std::size_t dim = self.rows.space.dim();
             py::array_t<Scalar> point(static_cast<py::ssize_t>(dim));
             std::copy(self.rows.space.row(row), self.rows.space.row(row) + dim, point.mutable_data());
             return point;
           })
      .def("query",
           [](Self& self, const Rows2D& points, std::size_t k, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t count = self.checked_rows(points);
             self.rows.space.refresh_kernel();
             const double* q = points.data();
             const auto dim = static_cast<std::size_t>(points.shape(1));
             py::object scanned = scanned_nearest(self.rows, q, count, k, workers, progress);
             if (!scanned.is_none()) return scanned;
             return py::object(nearest_batch(self.rows, true, count, k, workers,
                                             [&](std::size_t i) { return q + i * dim; }, false, progress));
           },
           py::arg("points"), py::arg("k"), py::arg("workers"), py::arg("progress") = py::none())
      // One query, answered directly when plain_query accepts it; None
      // otherwise.
      .def("nearest_one",
           [](Self& self, py::handle point, std::size_t k) -> py::object {
             ExclusiveUse use(self.lock, class_name);
             const double* q = self.plain_query(point);
             if (q == nullptr) return py::none();
             self.rows.space.refresh_kernel();
             return nearest_batch(self.rows, true, 1, k, 1, [q](std::size_t) { return q; }, true);
           })
      .def("within_one",
           [](Self& self, py::handle point, double radius) -> py::object {
             ExclusiveUse use(self.lock, class_name);
             const double* q = self.plain_query(point);
             if (q == nullptr) return py::none();
             self.rows.space.refresh_kernel();
             return within_batch(self.rows, true, 1, radius, 1, [q](std::size_t) { return q; })[0];
           })
      .def("query_radius",
           [](Self& self, const Rows2D& points, double radius, std::size_t workers, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t count = self.checked_rows(points);
             self.rows.space.refresh_kernel();
             const double* q = points.data();
             const auto dim = static_cast<std::size_t>(points.shape(1));
             py::object scanned = scanned_within(self.rows, q, count, radius, workers, progress);
             if (!scanned.is_none()) return scanned;
             return py::object(within_batch(self.rows, true, count, radius, workers,
                                            [&](std::size_t i) { return q + i * dim; }, progress));
           },
           py::arg("points"), py::arg("radius"), py::arg("workers"), py::arg("progress") = py::none())
      // The ids and rows of the live points, in row order, and with `tree`
      // the tree over them (None when there is none to give).
      .def("export", [](Self& self, bool tree) {
        ExclusiveUse use(self.lock, class_name);
        const auto& rows = self.rows;
        const std::size_t dim = rows.space.dim();
        py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(rows.size()));
        py::array_t<Scalar> data({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(dim)});
        std::int64_t* id = ids.mutable_data();
        Scalar* out = data.mutable_data();
        for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
          if (rows.is_removed(row)) continue;
          *id++ = rows.row_ids[row];
          out = std::copy(rows.space.row(row), rows.space.row(row) + dim, out);
        }
        return py::make_tuple(std::move(ids), std::move(data), tree ? tree_or_none(rows) : py::none());
      }, py::arg("tree") = false)
      // The rows stay where `points` keeps them (an array read from a file,
      // or the file mapped read-only), until a change copies them; with
      // `read_only` (a mapped file) the index refuses every change, and
      // reads no row until a search does (long rows go unsummarised).
      .def("restore",
           [](Self& self, const py::array& points, const Ids& ids, const py::dict& tree, bool read_only) {
             ExclusiveUse use(self.lock, class_name);
             using Stored = py::array_t<Scalar, py::array::c_style>;
             if (read_only && !Stored::check_(points)) throw py::value_error("mapped rows must be of the stored type");
             const auto rows = Stored::check_(points) ? py::reinterpret_borrow<Stored>(points) : Stored::ensure(points);
             if (!rows) throw py::error_already_set();
             const std::size_t n = self.checked_rows(rows);
             auto& space = self.rows.space;
             space.set_dim(static_cast<std::size_t>(rows.shape(1)));
             space.refresh_kernel();
             try {
               restore_rows(self.rows, ids_or_null(ids, n), n, [&](auto& s) { s.map(rows.data(), n, !read_only); }, tree);
             } catch (...) {
               self.rows.clear();
               throw;
             }
             self.mapping = rows;
             self.read_only = read_only;
           },
           py::arg("points"), py::arg("ids"), py::arg("tree"), py::arg("read_only") = false);
}

}  // namespace

void bind_vectors(py::module_& module) {
  bind_vector_class<double>(module, "VectorIndex64");
  bind_vector_class<float>(module, "VectorIndex32");
}

}  // namespace index
}  // namespace korel
