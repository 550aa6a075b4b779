// korel._index: the compiled part of korel.Index. Each class holds one
// vexel::RowIndex over vectors (float64 or float32 rows), strings (code
// points), bit codes (rows of a 2-D uint8 array, into which korel.Index
// turns every form of code it accepts) or Python objects (measured by a
// Python callable), converts NumPy arrays, str and objects, and forwards.
// The Python class korel.Index checks the arguments and picks the class.
//
// Every method holds its index exclusively (binding/exclusive_use.h). Native
// work runs without the GIL, batches on several threads, and answers Ctrl-C
// every 20 ms or so; work with a Python callable keeps the GIL.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "binding/exclusive_use.h"
#include "binding/gil.h"
#include "vexel/bit_space.h"
#include "vexel/parallel.h"
#include "vexel/row_index.h"
#include "vexel/string_space.h"
#include "vexel/vector_space.h"

namespace py = pybind11;

namespace korel {
namespace index {

using binding::ExclusiveUse;
using binding::ReleasedGil;
using binding::UseLock;
using Ids = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

constexpr const char* class_name = "Index";

// Thrown by a poll that found a Python exception (KeyboardInterrupt) raised
// by a signal handler; the exception waits in the thread state.
struct Interrupted {};

// Runs the signal handlers at most every 20 ms of long work.
class SignalPoll {
 public:
  bool due() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20)) return false;
    last_ = now;
    return true;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Runs `work(begin, end, worker)` over [0, count): without the GIL on up to
// `workers` threads for native metrics, serially with the GIL for a Python
// callable. Either way Ctrl-C stops it with KeyboardInterrupt.
template <typename Work>
void run_batch(bool native, std::size_t count, std::size_t workers, Work work) {
  SignalPoll poll;
  if (!native) {
    vexel::run_parallel(count, 1, 1, work, [&] {
      if (poll.due() && PyErr_CheckSignals() != 0) throw py::error_already_set();
    });
    return;
  }
  ReleasedGil released;
  bool interrupted = false;
  try {
    vexel::run_parallel(count, workers, 8, work, [&] {
      if (poll.due() && !released.check_signals()) throw Interrupted();
    });
  } catch (const Interrupted&) {
    interrupted = true;
  }
  released.reacquire();
  if (interrupted) throw py::error_already_set();
}

// --- Python objects measured by a Python callable ----------------------------

// Calls metric(a, b) and reads a number. Nothing holds a Python reference
// across the call (a daemon thread may be ended inside it at exit).
inline double call_metric(PyObject* metric, PyObject* a, PyObject* b) {
  PyObject* arguments[2] = {a, b};
  PyObject* result = PyObject_Vectorcall(metric, arguments, 2, nullptr);
  if (result == nullptr) throw py::error_already_set();
  const double value = PyFloat_AsDouble(result);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    const std::string type = Py_TYPE(result)->tp_name;
    Py_DECREF(result);
    throw py::type_error("the metric returned a " + type + ", not a number");
  }
  Py_DECREF(result);
  return value;
}

// Stored objects, one strong reference each, handed to the metric as they
// are (no conversion, no copy).
class ObjectSpace {
 public:
  using Query = PyObject*;

  explicit ObjectSpace(PyObject* metric) : metric_(metric) {}
  ObjectSpace(ObjectSpace&& other) noexcept
      : metric_(other.metric_), objects_(std::move(other.objects_)) {
    other.objects_.clear();
  }
  ObjectSpace& operator=(ObjectSpace&& other) noexcept {
    std::swap(metric_, other.metric_);
    objects_.swap(other.objects_);
    return *this;
  }
  ~ObjectSpace() { release(0); }

  PyObject* object(std::uint32_t row) const { return objects_[row]; }
  // `metric` must outlive the space's use of it (its owner holds it).
  void set_metric(PyObject* metric) { metric_ = metric; }
  double distance(PyObject* query, std::uint32_t row) const {
    return call_metric(metric_, query, objects_[row]);
  }
  double distance(std::uint32_t a, std::uint32_t b) const {
    return call_metric(metric_, objects_[a], objects_[b]);
  }

  std::size_t rows() const { return objects_.size(); }
  void append(PyObject* object) {
    objects_.push_back(object);
    Py_INCREF(object);
  }
  ObjectSpace reordered(const std::vector<std::uint32_t>& order) const {
    ObjectSpace laid_out(metric_);
    laid_out.objects_.reserve(order.size());
    for (std::uint32_t row : order) laid_out.append(objects_[row]);
    return laid_out;
  }
  void truncate(std::size_t rows) { release(rows); }
  void clear() { release(0); }

  int traverse(visitproc visit, void* arg) const {
    for (PyObject* object : objects_) Py_VISIT(object);
    return 0;
  }

 private:
  // Drops the rows from `first` on. A thread without the GIL (one that
  // CPython is ending at exit) leaks them instead.
  void release(std::size_t first) {
    if (first >= objects_.size()) return;
    std::vector<PyObject*> dropped(objects_.begin() + static_cast<std::ptrdiff_t>(first), objects_.end());
    objects_.resize(first);
    if (!binding::holds_gil()) return;
    for (PyObject* object : dropped) Py_DECREF(object);
  }

  PyObject* metric_;
  std::vector<PyObject*> objects_;
};

// --- the bound classes --------------------------------------------------------

// What every bound class holds: its lock and its index.
template <typename Space>
struct Bound {
  template <typename... Arguments>
  explicit Bound(Arguments&&... arguments) : rows(std::forward<Arguments>(arguments)...) {}

  UseLock lock;
  vexel::RowIndex<Space> rows;
};

template <typename Rows>
struct Searcher {
  typename Rows::Neighbors neighbors;
  typename Rows::SearchScratch scratch;
  std::vector<typename Rows::Neighbor> found;
};

// The scratch of a batch's workers. A native batch on one worker (every
// single query) borrows its thread's cached scratch, warm from the last
// search, unless a search of this thread holds it already (a signal handler
// may search while a search waits); a Python callable may search anything
// from inside a search, so its batches always start afresh. A cached scratch
// grown for a large answer is dropped afterwards.
template <typename Rows>
class Searchers {
 public:
  Searchers(bool native, std::size_t workers) {
    Cached& cached = cache();
    if (native && workers == 1 && !cached.busy) {
      borrowed_ = &cached;
      cached.busy = true;
    } else {
      own_.resize(workers);
    }
  }
  ~Searchers() {
    if (!borrowed_) return;
    if (borrowed_->largest > large) borrowed_->searcher = Searcher<Rows>();
    borrowed_->largest = 0;
    borrowed_->busy = false;
  }
  Searchers(const Searchers&) = delete;
  Searchers& operator=(const Searchers&) = delete;

  Searcher<Rows>& operator[](std::size_t worker) { return borrowed_ ? borrowed_->searcher : own_[worker]; }
  // Records an answer of `size` neighbours.
  void answered(std::size_t size) {
    if (borrowed_) borrowed_->largest = std::max(borrowed_->largest, size);
  }

 private:
  static constexpr std::size_t large = 4096;
  struct Cached {
    Searcher<Rows> searcher;
    std::size_t largest = 0;
    bool busy = false;
  };
  static Cached& cache() {
    thread_local Cached cached;
    return cached;
  }
  Cached* borrowed_ = nullptr;
  std::vector<Searcher<Rows>> own_;
};

const std::int64_t* ids_or_null(const std::optional<Ids>& ids, std::size_t n) {
  if (!ids) return nullptr;
  if (ids->ndim() != 1 || static_cast<std::size_t>(ids->shape(0)) != n) {
    throw py::value_error("got " + std::to_string(ids->size()) + " ids for " + std::to_string(n) + " points");
  }
  return ids->data();
}

py::array_t<std::int64_t> to_array(const std::vector<std::int64_t>& values) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// The k nearest of each query: (distances, ids) of shape (count, m), where
// m = min(k, size) (every live point is found, so nothing needs padding;
// korel.Index pads query answers to k itself). The answer of a single query
// (`single`) is two 1-D arrays of m elements.
template <typename Rows, typename QueryOf>
py::tuple nearest_batch(const Rows& rows, bool native, std::size_t count, std::size_t k,
                        std::size_t workers, QueryOf query_of, bool single = false) {
  k = std::min(k, rows.size());
  const std::size_t width = k;
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(width)};
  if (single) shape.erase(shape.begin());
  const std::size_t size = count * width;
  auto search = [&](double* d, std::int64_t* id) {
    std::fill(d, d + size, std::numeric_limits<double>::infinity());
    std::fill(id, id + size, std::int64_t{-1});
    workers = std::max<std::size_t>(1, std::min(workers, count));
    Searchers<Rows> searchers(native, workers);
    searchers.answered(k);
    run_batch(native, count, workers, [&](std::size_t begin, std::size_t end, std::size_t worker) {
      Searcher<Rows>& s = searchers[worker];
      for (std::size_t i = begin; i < end; ++i) {
        rows.nearest(query_of(i), k, s.found, s.neighbors, s.scratch);
        for (std::size_t j = 0; j < s.found.size(); ++j) {
          d[i * width + j] = s.found[j].distance;
          id[i * width + j] = s.found[j].stored;
        }
      }
    });
  };
  if (native) {
    py::array_t<double> distances(shape);
    py::array_t<std::int64_t> ids(shape);
    search(distances.mutable_data(), ids.mutable_data());
    return py::make_tuple(std::move(distances), std::move(ids));
  }
  // A Python callable may end this thread at exit, and the unwind must then
  // free no Python object (it holds no GIL): the arrays are made once the
  // search is done.
  std::vector<double> d(size);
  std::vector<std::int64_t> id(size);
  search(d.data(), id.data());
  py::array_t<double> distances(shape);
  py::array_t<std::int64_t> ids(shape);
  std::copy(d.begin(), d.end(), distances.mutable_data());
  std::copy(id.begin(), id.end(), ids.mutable_data());
  return py::make_tuple(std::move(distances), std::move(ids));
}

// Every point within `radius` of each query: a list of (distances, ids).
template <typename Rows, typename QueryOf>
py::list within_batch(const Rows& rows, bool native, std::size_t count, double radius,
                      std::size_t workers, QueryOf query_of) {
  using Found = std::vector<typename Rows::Neighbor>;
  std::vector<Found> results(count);
  workers = std::max<std::size_t>(1, std::min(workers, count));
  Searchers<Rows> searchers(native, workers);
  run_batch(native, count, workers, [&](std::size_t begin, std::size_t end, std::size_t worker) {
    Searcher<Rows>& s = searchers[worker];
    for (std::size_t i = begin; i < end; ++i) {
      rows.within(query_of(i), radius, results[i], s.neighbors, s.scratch);
      searchers.answered(results[i].size());
    }
  });
  py::list out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Found& found = results[i];
    py::array_t<double> distances(static_cast<py::ssize_t>(found.size()));
    py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(found.size()));
    double* d = distances.mutable_data();
    std::int64_t* id = ids.mutable_data();
    for (std::size_t j = 0; j < found.size(); ++j) {
      d[j] = found[j].distance;
      id[j] = found[j].stored;
    }
    out[i] = py::make_tuple(std::move(distances), std::move(ids));
    Found().swap(results[i]);
  }
  return out;
}

// A large build frees big temporary blocks (the split matrices, the old row
// block) that the C library keeps in its heap; hand them back to the system.
void release_freed_memory(std::size_t rows_added) {
#if defined(__GLIBC__)
  if (rows_added >= (std::size_t{1} << 16)) malloc_trim(0);
#else
  (void)rows_added;
#endif
}

// Runs `work`, which may build or rebuild the tree, so that Ctrl-C stops it
// between two leaf splits: without the GIL for a native metric, with it for
// a Python callable (whose own code answers signals too).
template <typename Rows, typename Work>
void run_interruptibly(Rows& rows, bool native, Work work) {
  SignalPoll poll;
  struct Forget {
    Rows& rows;
    ~Forget() {
      rows.interruption_point = nullptr;
      rows.build_workers = 1;
    }
  } forget{rows};
  if (!native) {
    rows.interruption_point = [&] {
      if (poll.due() && PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
    work();
    return;
  }
  bool interrupted = false;
  // A native metric builds a batch's tree on every core (the same tree).
  rows.build_workers = std::max(1u, std::thread::hardware_concurrency());
  {
    ReleasedGil released;
    rows.interruption_point = [&] {
      if (poll.due() && !released.check_signals()) throw Interrupted();
    };
    try {
      work();
    } catch (const Interrupted&) {
      interrupted = true;
    }
    released.reacquire();
  }
  if (interrupted) throw py::error_already_set();
}

// Adds all or nothing (see RowIndex::add), interruptibly.
template <typename Rows, typename Append>
py::array_t<std::int64_t> add_rows(Rows& rows, bool native, const std::int64_t* ids, std::size_t n,
                                   Append append) {
  std::vector<std::int64_t> assigned;
  run_interruptibly(rows, native, [&] { assigned = rows.add(ids, n, append); });
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

// The methods every kind of index shares.
template <typename Class, typename Self>
void bind_common(Class& cls, bool native) {
  cls.def("__len__", [](Self& self) {
       ExclusiveUse use(self.lock, class_name);
       return self.rows.size();
     })
      .def("contains", [](Self& self, std::int64_t id) {
        ExclusiveUse use(self.lock, class_name);
        return self.rows.row_of(id) != vexel::IdMap::none;
      })
      .def("remove", [native](Self& self, const Ids& ids) {
        ExclusiveUse use(self.lock, class_name);
        return remove_ids(self.rows, native, ids);
      })
      .def("ids", [](Self& self) {
        ExclusiveUse use(self.lock, class_name);
        return to_array(self.rows.ids());
      })
      .def("clear", [](Self& self) {
        ExclusiveUse use(self.lock, class_name);
        self.rows.clear();
      })
      .def_property("next_id",
                    [](Self& self) {
                      ExclusiveUse use(self.lock, class_name);
                      return self.rows.next_id;
                    },
                    [](Self& self, std::int64_t next) {
                      ExclusiveUse use(self.lock, class_name);
                      self.rows.next_id = std::max(self.rows.next_id, next);
                    });
}

// --- vectors --------------------------------------------------------------------

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

  // The rows of `points`, checked against the dimension of the index.
  std::size_t checked_rows(const Rows2D& points) {
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
void bind_vectors(py::module_& module, const char* name) {
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
      .def("add",
           [](Self& self, const Rows2D& points, const std::optional<Ids>& ids) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t n = self.checked_rows(points);
             const std::int64_t* id = ids_or_null(ids, n);
             auto& space = self.rows.space;
             const bool fixes_dim = space.dim() == 0;
             if (n == 0) return py::array_t<std::int64_t>(0);
             if (fixes_dim) space.set_dim(static_cast<std::size_t>(points.shape(1)));
             space.refresh_kernel();
             try {
               return add_rows(self.rows, true, id, n, [&](auto& s) {
                 s.reserve(s.rows() + n);
                 s.append(points.data(), n);
               });
             } catch (...) {
               if (fixes_dim && self.rows.size() == 0) space.clear();
               throw;
             }
           },
           py::arg("points"), py::arg("ids") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.rows.row_of(id);
             if (row == vexel::IdMap::none) throw py::key_error(std::to_string(id));
             const std::size_t dim = self.rows.space.dim();
             py::array_t<Scalar> point(static_cast<py::ssize_t>(dim));
             std::copy(self.rows.space.row(row), self.rows.space.row(row) + dim, point.mutable_data());
             return point;
           })
      .def("query",
           [](Self& self, const Rows2D& points, std::size_t k, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t count = self.checked_rows(points);
             self.rows.space.refresh_kernel();
             const double* q = points.data();
             const auto dim = static_cast<std::size_t>(points.shape(1));
             return nearest_batch(self.rows, true, count, k, workers,
                                  [&](std::size_t i) { return q + i * dim; });
           })
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
           [](Self& self, const Rows2D& points, double radius, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const std::size_t count = self.checked_rows(points);
             self.rows.space.refresh_kernel();
             const double* q = points.data();
             const auto dim = static_cast<std::size_t>(points.shape(1));
             return within_batch(self.rows, true, count, radius, workers,
                                 [&](std::size_t i) { return q + i * dim; });
           })
      .def("export", [](Self& self) {
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
        return py::make_tuple(std::move(ids), std::move(data));
      });
}

// --- strings --------------------------------------------------------------------

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

void bind_strings(py::module_& module) {
  using Self = StringIndex;
  py::class_<Self> cls(module, "StringIndex");
  cls.def(py::init<const std::string&>(), py::arg("metric"));
  bind_common<py::class_<Self>, Self>(cls, true);
  cls.def("add",
          [](Self& self, const py::list& texts, const std::optional<Ids>& ids) {
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
            });
            if (n > 0) self.hamming_length = strings.front().size();
            return added;
          },
          py::arg("points"), py::arg("ids") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.rows.row_of(id);
             if (row == vexel::IdMap::none) throw py::key_error(std::to_string(id));
             PyObject* text = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, self.rows.space.row(row),
                                                        static_cast<Py_ssize_t>(self.rows.space.length(row)));
             if (text == nullptr) throw py::error_already_set();
             return py::reinterpret_steal<py::str>(text);
           })
      .def("query",
           [](Self& self, const py::list& texts, std::size_t k, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const auto queries = self.queries(texts);
             return nearest_batch(self.rows, true, queries.size(), k, workers,
                                  [&](std::size_t i) -> const vexel::StringSpace::Query& { return queries[i]; });
           })
      .def("query_radius",
           [](Self& self, const py::list& texts, double radius, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const auto queries = self.queries(texts);
             return within_batch(self.rows, true, queries.size(), radius, workers,
                                 [&](std::size_t i) -> const vexel::StringSpace::Query& { return queries[i]; });
           })
      .def("export", [](Self& self) {
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
        return py::make_tuple(std::move(ids), std::move(starts), std::move(chars));
      });
}

// --- bit codes -------------------------------------------------------------------

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

  // The codes of `codes` as whole words, the form of a query, and their
  // count; an empty index takes codes of any length (and finds nothing).
  std::pair<std::vector<std::uint64_t>, std::size_t> queries(const Codes2D& codes) const {
    const std::size_t count = checked_codes(codes);
    const auto length = static_cast<std::size_t>(codes.shape(1));
    return {vexel::BitSpace::padded_codes(codes.data(), count, length), vexel::BitSpace::words_for(length)};
  }
};

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
           [](Self& self, const Codes2D& codes, const std::optional<Ids>& ids) {
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
               });
             } catch (...) {
               if (fixes_length && self.rows.size() == 0) space.clear();
               throw;
             }
           },
           py::arg("points"), py::arg("ids") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.rows.row_of(id);
             if (row == vexel::IdMap::none) throw py::key_error(std::to_string(id));
             return py::bytes(reinterpret_cast<const char*>(self.rows.space.code(row)),
                              static_cast<py::ssize_t>(self.rows.space.length()));
           })
      .def("query",
           [](Self& self, const Codes2D& codes, std::size_t k, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const auto [words, width] = self.queries(codes);
             self.rows.space.refresh_kernel();
             const std::uint64_t* q = words.data();
             const std::size_t w = width;
             return nearest_batch(self.rows, true, static_cast<std::size_t>(codes.shape(0)), k, workers,
                                  [q, w](std::size_t i) { return vexel::BitSpace::Query(q + i * w, w); });
           })
      .def("query_radius",
           [](Self& self, const Codes2D& codes, double radius, std::size_t workers) {
             ExclusiveUse use(self.lock, class_name);
             const auto [words, width] = self.queries(codes);
             self.rows.space.refresh_kernel();
             const std::uint64_t* q = words.data();
             const std::size_t w = width;
             return within_batch(self.rows, true, static_cast<std::size_t>(codes.shape(0)), radius, workers,
                                 [q, w](std::size_t i) { return vexel::BitSpace::Query(q + i * w, w); });
           })
      .def("export", [](Self& self) {
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
        return py::make_tuple(std::move(ids), std::move(codes));
      });
}

// --- Python objects ----------------------------------------------------------

struct ObjectIndex : Bound<ObjectSpace> {
  explicit ObjectIndex(py::object callable)
      : Bound<ObjectSpace>(callable.ptr()), metric(std::move(callable)) {}
  py::object metric;  // the reference behind the space's borrowed pointer
};

// The collector's slots need the C++ object of an instance, and must tell an
// instance whose __init__ has not run (or failed) from a constructed one,
// which pybind11 offers no public way to do. So each instance carries one
// more pointer after pybind11's own layout: null (the allocator zeroes it)
// until __init__ succeeds, then the C++ object. The class is final, so an
// instance made by calling it runs the type's own init slot, which sets it.
Py_ssize_t object_index_offset = 0;
initproc pybind11_init = nullptr;

ObjectIndex*& object_index_slot(PyObject* object) {
  return *reinterpret_cast<ObjectIndex**>(reinterpret_cast<char*>(object) + object_index_offset);
}

ObjectIndex* object_index_of(PyObject* object) { return object_index_slot(object); }

int init_and_record(PyObject* object, PyObject* arguments, PyObject* keywords) {
  if (pybind11_init(object, arguments, keywords) != 0) return -1;
  try {
    object_index_slot(object) = &py::handle(object).cast<ObjectIndex&>();
  } catch (py::error_already_set& error) {
    error.restore();
    return -1;
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return -1;
  }
  return 0;
}

int traverse_objects(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  if (ObjectIndex* self = object_index_of(object)) {
    Py_VISIT(self->metric.ptr());
    return self->rows.space.traverse(visit, arg);
  }
  return 0;
}

// Breaks cycles through stored objects or the metric: the index is emptied
// and its metric becomes None (calling it then raises TypeError).
int clear_objects(PyObject* object) {
  if (ObjectIndex* self = object_index_of(object)) {
    self->rows.clear();
    self->rows.space.set_metric(Py_None);
    py::object metric = std::move(self->metric);
    self->metric = py::none();
  }  // the metric goes last, once nothing refers to it
  return 0;
}

// Strong references to the objects of a sequence, held for one call: the
// metric may change the caller's list while the batch runs.
class HeldObjects {
 public:
  explicit HeldObjects(const py::list& objects) {
    held_.reserve(objects.size());
    for (py::handle object : objects) held_.push_back(py::reinterpret_borrow<py::object>(object));
  }
  // A thread that CPython ends at exit, inside the metric, unwinds through
  // here without the GIL: it leaks the references instead.
  ~HeldObjects() {
    if (binding::holds_gil()) return;
    for (py::object& object : held_) object.release();
  }
  HeldObjects(const HeldObjects&) = delete;
  HeldObjects& operator=(const HeldObjects&) = delete;
  std::size_t size() const { return held_.size(); }
  PyObject* operator[](std::size_t i) const { return held_[i].ptr(); }

 private:
  std::vector<py::object> held_;
};

void bind_objects(py::module_& module) {
  using Self = ObjectIndex;
  py::class_<Self> cls(module, "ObjectIndex", py::is_final(),
                       py::custom_type_setup([](PyHeapTypeObject* heap_type) {
                         PyTypeObject* type = &heap_type->ht_type;
                         type->tp_flags |= Py_TPFLAGS_HAVE_GC;
                         type->tp_traverse = traverse_objects;
                         type->tp_clear = clear_objects;
                         object_index_offset = type->tp_basicsize;
                         type->tp_basicsize += static_cast<Py_ssize_t>(sizeof(ObjectIndex*));
                       }));
  cls.def(py::init<py::object>(), py::arg("metric"));
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  pybind11_init = type->tp_init;  // the slot that runs __init__, set by the def above
  type->tp_init = init_and_record;
  bind_common<py::class_<Self>, Self>(cls, false);
  cls.def_property_readonly("metric", [](Self& self) { return self.metric; })
      .def("add",
           [](Self& self, const py::list& objects, const std::optional<Ids>& ids) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             const std::int64_t* id = ids_or_null(ids, held.size());
             return add_rows(self.rows, false, id, held.size(), [&](ObjectSpace& space) {
               for (std::size_t i = 0; i < held.size(); ++i) space.append(held[i]);
             });
           },
           py::arg("points"), py::arg("ids") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.rows.row_of(id);
             if (row == vexel::IdMap::none) throw py::key_error(std::to_string(id));
             return py::reinterpret_borrow<py::object>(self.rows.space.object(row));
           })
      .def("query",
           [](Self& self, const py::list& objects, std::size_t k, std::size_t) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             return nearest_batch(self.rows, false, held.size(), k, 1, [&](std::size_t i) { return held[i]; });
           })
      .def("query_radius",
           [](Self& self, const py::list& objects, double radius, std::size_t) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             return within_batch(self.rows, false, held.size(), radius, 1, [&](std::size_t i) { return held[i]; });
           })
      .def("export", [](Self& self) {
        ExclusiveUse use(self.lock, class_name);
        const auto& rows = self.rows;
        py::array_t<std::int64_t> ids(static_cast<py::ssize_t>(rows.size()));
        py::list objects(rows.size());
        std::int64_t* id = ids.mutable_data();
        std::size_t at = 0;
        for (std::uint32_t row = 0; row < rows.space.rows(); ++row) {
          if (rows.is_removed(row)) continue;
          *id++ = rows.row_ids[row];
          objects[at++] = py::reinterpret_borrow<py::object>(rows.space.object(row));
        }
        return py::make_tuple(std::move(ids), std::move(objects));
      });
}

}  // namespace index
}  // namespace korel

PYBIND11_MODULE(_index, module) {
  using namespace korel::index;
  module.doc() = "The compiled part of korel.Index; use korel.Index.";
  // This module's copy of the SIMD level; korel.metrics.set_simd_level sets it.
  module.def("_simd_level", [] { return std::string(vexel::simd::name(vexel::simd::active())); });
  module.def("_set_simd_level", [](const std::string& name) { vexel::simd::set_active_named(name); });
  bind_vectors<double>(module, "VectorIndex64");
  bind_vectors<float>(module, "VectorIndex32");
  bind_strings(module);
  bind_bits(module);
  bind_objects(module);
}
