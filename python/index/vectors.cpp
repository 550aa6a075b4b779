// Vectors under a native metric: the classes VectorIndex64 (float64 rows,
// kept as float32 while that is exact) and VectorIndex32 (float32 rows) of
// korel._index.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "index/bindings.h"
#include "index/bound_index.h"
#include "index/vector_scans.h"
#include "vexel/exact_storage.h"
#include "vexel/query_order.h"
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

// The rows of one type and their tree. Its methods are the bodies of the
// bound methods, called under the lock of the object that holds it.
template <typename Scalar>
struct VectorIndex : Bound<vexel::VectorSpace<Scalar>> {
  explicit VectorIndex(vexel::VectorMetric metric) : Bound<vexel::VectorSpace<Scalar>>(metric) {}
  explicit VectorIndex(const std::string& metric) : VectorIndex(vector_metric(metric)) {}

  template <typename Work>
  decltype(auto) locked(Work&& work) {
    ExclusiveUse use(this->lock, class_name);
    return work(*this);
  }

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
  std::size_t checked_rows(const Array& points) const {
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

  py::object dim() const {
    const std::size_t dim = this->rows.space.dim();
    if (dim == 0) return py::none();
    return py::int_(dim);
  }

  // The point of `id` as an array of Out.
  template <typename Out>
  py::object get(std::int64_t id) const {
    const std::uint32_t row = this->stored_row(id);
    const std::size_t dim = this->rows.space.dim();
    py::array_t<Out> point(static_cast<py::ssize_t>(dim));
    std::copy(this->rows.space.row(row), this->rows.space.row(row) + dim, point.mutable_data());
    return std::move(point);
  }

  py::object query(const Rows2D& points, std::size_t k, std::size_t workers, py::handle progress) {
    const std::size_t count = checked_rows(points);
    this->rows.space.refresh_kernel();
    const double* q = points.data();
    const auto dim = static_cast<std::size_t>(points.shape(1));
    FirstAnswers<VectorRows<Scalar>> first;
    py::object scanned = scanned_nearest(this->rows, q, count, k, workers, progress, first);
    if (!scanned.is_none()) return scanned;
    return py::object(nearest_batch(this->rows, true, count, k, workers,
                                    [&](std::size_t i) { return q + i * dim; }, false, progress, &first,
                                    vexel::nearby_order(q, count, dim)));
  }

  // One query, answered directly when plain_query accepts it; None
  // otherwise.
  py::object nearest_one(py::handle point, std::size_t k) {
    const double* q = plain_query(point);
    if (q == nullptr) return py::none();
    this->rows.space.refresh_kernel();
    return nearest_batch(this->rows, true, 1, k, 1, [q](std::size_t) { return q; }, true);
  }
  py::object within_one(py::handle point, double radius) {
    const double* q = plain_query(point);
    if (q == nullptr) return py::none();
    this->rows.space.refresh_kernel();
    return within_batch(this->rows, true, 1, radius, 1, [q](std::size_t) { return q; })[0];
  }

  py::object query_radius(const Rows2D& points, double radius, std::size_t workers, py::handle progress) {
    const std::size_t count = checked_rows(points);
    this->rows.space.refresh_kernel();
    const double* q = points.data();
    const auto dim = static_cast<std::size_t>(points.shape(1));
    FirstAnswers<VectorRows<Scalar>> first;
    py::object scanned = scanned_within(this->rows, q, count, radius, workers, progress, first);
    if (!scanned.is_none()) return scanned;
    return py::object(within_batch(this->rows, true, count, radius, workers,
                                   [&](std::size_t i) { return q + i * dim; }, progress, &first,
                                   vexel::nearby_order(q, count, dim)));
  }

  // The ids and rows (as Out) of the live points, in row order, and with
  // `tree` the tree over them (None when there is none to give).
  template <typename Out>
  py::tuple exported(bool tree) const {
    const auto& rows = this->rows;
    const std::size_t dim = rows.space.dim();
    py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(rows.size()));
    py::array_t<Out> data({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(dim)});
    std::int64_t* id = ids.mutable_data();
    Out* out = data.mutable_data();
    for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
      if (rows.is_removed(row)) continue;
      *id++ = rows.row_ids[row];
      out = std::copy(rows.space.row(row), rows.space.row(row) + dim, out);
    }
    return py::make_tuple(std::move(ids), std::move(data), tree ? tree_or_none(rows) : py::none());
  }

  // The rows stay where `points` keeps them (an array read from a file,
  // or the file mapped read-only), until a change copies them; with
  // `read_only` (a mapped file) the index refuses every change, and
  // reads no row until a search does (long rows go unsummarised).
  void restore(const py::array& points, const Ids& ids, const py::dict& tree, bool read_only) {
    using Stored = py::array_t<Scalar, py::array::c_style>;
    if (read_only && !Stored::check_(points)) throw py::value_error("mapped rows must be of the stored type");
    const auto rows = Stored::check_(points) ? py::reinterpret_borrow<Stored>(points) : Stored::ensure(points);
    if (!rows) throw py::error_already_set();
    const std::size_t n = checked_rows(rows);
    auto& space = this->rows.space;
    space.set_dim(static_cast<std::size_t>(rows.shape(1)));
    space.refresh_kernel();
    try {
      restore_rows(this->rows, ids_or_null(ids, n), n, [&](auto& s) { s.map(rows.data(), n, !read_only); }, tree);
    } catch (...) {
      this->rows.clear();
      throw;
    }
    mapping = rows;
    this->read_only = read_only;
  }
};

// Float64 rows, stored as float32 for as long as float32 holds every
// coordinate exactly (vexel/exact_storage.h). The first row that float32
// would round widens the stored rows to float64, once, under the same ids
// and tree. Rows restored from a file are narrowed once they have all
// arrived (narrow()); a mapped file is read as it is.
class ExactVectors {
 public:
  using Narrow = VectorIndex<float>;
  using Wide = VectorIndex<double>;

  explicit ExactVectors(const std::string& metric)
      : metric_(vector_metric(metric)), held_(std::make_unique<Narrow>(metric_)) {}

  template <typename Work>
  decltype(auto) locked(Work&& work) {
    ExclusiveUse use(lock_, class_name);
    return std::visit([&](auto& held) -> decltype(auto) { return work(*held); }, held_);
  }

  py::array_t<std::int64_t> add(const Rows2D& points, const std::optional<Ids>& ids, py::handle progress) {
    ExclusiveUse use(lock_, class_name);
    if (!points) throw py::error_already_set();
    auto* narrow = std::get_if<std::unique_ptr<Narrow>>(&held_);
    if (narrow == nullptr) return std::get<std::unique_ptr<Wide>>(held_)->add(points, ids, progress);
    const std::size_t n = (*narrow)->checked_rows(points);
    if (vexel::fit_float(points.data(), n * static_cast<std::size_t>(points.shape(1)))) {
      return (*narrow)->add(points, ids, progress);
    }
    // Both fail without a change: the narrow rows stay until the wide ones
    // hold the batch too.
    std::unique_ptr<Wide> wide = converted<Wide>(**narrow);
    py::array_t<std::int64_t> added = wide->add(points, ids, progress);
    held_ = std::move(wide);
    return added;
  }

  // Into an empty index, read in place as VectorIndex<double>::restore
  // reads them: the rows may still be arriving from their file.
  void restore(const py::array& points, const Ids& ids, const py::dict& tree, bool read_only) {
    ExclusiveUse use(lock_, class_name);
    const std::int64_t next_id = std::visit([](auto& held) { return held->rows.next_id; }, held_);
    if (std::visit([](auto& held) { return held->rows.space.rows(); }, held_) != 0) {
      throw py::value_error("a tree is restored only into an empty index");
    }
    auto wide = std::make_unique<Wide>(metric_);
    wide->rows.next_id = next_id;
    wide->restore(points, ids, tree, read_only);
    held_ = std::move(wide);
  }

  // Once restored rows have all arrived: keeps them as float32 (a copy,
  // under the same ids and tree) where float32 holds every one exactly.
  // Rows read in place from a mapped file, and rows with removed ones
  // among them, stay as they are.
  void narrow() {
    ExclusiveUse use(lock_, class_name);
    auto* wide = std::get_if<std::unique_ptr<Wide>>(&held_);
    if (wide == nullptr || (*wide)->read_only || (*wide)->rows.has_removed()) return;
    const auto& space = (*wide)->rows.space;
    if (space.rows() != 0 && !vexel::fit_float(space.row(0), space.rows() * space.dim())) return;
    try {
      held_ = converted<Narrow>(**wide);
    } catch (const std::bad_alloc&) {
      // No room for the copy: the rows serve as they are.
    }
  }

 private:
  // The rows of `from` as rows of To's type, which holds them exactly
  // (vexel::copy_rows): interruptible, since it builds a tree again while
  // removed points are still in from's.
  template <typename To, typename From>
  std::unique_ptr<To> converted(const From& from) const {
    auto to = std::make_unique<To>(metric_);
    run_interruptibly(to->rows, true, [&] { vexel::copy_rows(from.rows, to->rows); });
    return to;
  }

  UseLock lock_;
  vexel::VectorMetric metric_;
  std::variant<std::unique_ptr<Narrow>, std::unique_ptr<Wide>> held_;
};

// The methods of both classes; Self is VectorIndex<float> (float32 rows
// asked for) or ExactVectors, and Out the dtype of the rows they give.
template <typename Self, typename Out>
void bind_vector_class(py::class_<Self>& cls) {
  cls.def(py::init<const std::string&>(), py::arg("metric"));
  bind_common<py::class_<Self>, Self>(cls, true);
  cls.def_property_readonly("dim", [](Self& self) { return self.locked([](auto& held) { return held.dim(); }); })
      .def("get",
           [](Self& self, std::int64_t id) {
             return self.locked([id](auto& held) { return held.template get<Out>(id); });
           })
      .def("query",
           [](Self& self, const Rows2D& points, std::size_t k, std::size_t workers, py::handle progress) {
             return self.locked([&](auto& held) { return held.query(points, k, workers, progress); });
           },
           py::arg("points"), py::arg("k"), py::arg("workers"), py::arg("progress") = py::none())
      .def("nearest_one",
           [](Self& self, py::handle point, std::size_t k) {
             return self.locked([&](auto& held) { return held.nearest_one(point, k); });
           })
      .def("within_one",
           [](Self& self, py::handle point, double radius) {
             return self.locked([&](auto& held) { return held.within_one(point, radius); });
           })
      .def("query_radius",
           [](Self& self, const Rows2D& points, double radius, std::size_t workers, py::handle progress) {
             return self.locked([&](auto& held) { return held.query_radius(points, radius, workers, progress); });
           },
           py::arg("points"), py::arg("radius"), py::arg("workers"), py::arg("progress") = py::none())
      .def("export",
           [](Self& self, bool tree) {
             return self.locked([tree](auto& held) { return held.template exported<Out>(tree); });
           },
           py::arg("tree") = false);
}

}  // namespace

void bind_vectors(py::module_& module) {
  py::class_<ExactVectors> wide(module, "VectorIndex64");
  bind_vector_class<ExactVectors, double>(wide);
  wide.def("add", &ExactVectors::add, py::arg("points"), py::arg("ids") = py::none(),
           py::arg("progress") = py::none())
      .def("restore", &ExactVectors::restore, py::arg("points"), py::arg("ids"), py::arg("tree"),
           py::arg("read_only") = false)
      .def("narrow", &ExactVectors::narrow);

  using Narrow = VectorIndex<float>;
  py::class_<Narrow> narrow(module, "VectorIndex32");
  bind_vector_class<Narrow, float>(narrow);
  // Float32 rows go in as they are; any other array is converted to
  // float64 first.
  narrow
      .def("add",
           [](Narrow& self, const py::array& points, const std::optional<Ids>& ids, py::handle progress) {
             return self.locked([&](Narrow& held) {
               using Stored = py::array_t<float, py::array::c_style>;
               if (Stored::check_(points)) return held.add(py::reinterpret_borrow<Stored>(points), ids, progress);
               return held.add(Rows2D::ensure(points), ids, progress);
             });
           },
           py::arg("points"), py::arg("ids") = py::none(), py::arg("progress") = py::none())
      .def("restore",
           [](Narrow& self, const py::array& points, const Ids& ids, const py::dict& tree, bool read_only) {
             self.locked([&](Narrow& held) { held.restore(points, ids, tree, read_only); });
           },
           py::arg("points"), py::arg("ids"), py::arg("tree"), py::arg("read_only") = false);
}

}  // namespace index
}  // namespace korel
