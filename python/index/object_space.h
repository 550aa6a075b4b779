// Python objects as the rows of a space, measured by a Python callable.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "binding/gil.h"

namespace korel {
namespace index {

namespace py = pybind11;

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

}  // namespace index
}  // namespace korel
