// A Python callable as the DistanceFunction of an index of points that are
// vectors of doubles: korel's replacement for pybind11's std::function
// caster (functional.h), with the same conversions and messages, but safe
// at interpreter exit (see python_call.h): pybind11's wrapper keeps its
// arguments and result in RAII objects, which a daemon thread ended inside
// the callable destroys without the GIL.
//
// Include this before anything that converts this std::function type.

#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <vector>

#include "gil.h"
#include "python_call.h"

namespace korel {
namespace binding {

using Point = std::vector<double>;
using DistanceFunction = std::function<double(const Point&, const Point&)>;
using NativeDistance = double (*)(const Point&, const Point&);

// A new list of Python floats, or null: `no_list` then tells whether the
// list itself could not be made (else a float could not, with the error
// pending). Never throws, so a caller has nothing to release in a handler.
inline PyObject* float_list(const Point& point, bool& no_list) {
  no_list = false;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(point.size()));
  if (list == nullptr) {
    no_list = true;
    return nullptr;
  }
  for (std::size_t i = 0; i < point.size(); ++i) {
    PyObject* element = PyFloat_FromDouble(point[i]);
    if (element == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), element);
  }
  return list;
}

// The target of a DistanceFunction that measures with a Python callable:
// two new lists of floats in, a number out. Each copy holds a reference.
struct PythonDistance {
  PyReference callable;

  double operator()(const Point& a, const Point& b) const {
    GilForScope gil;  // already held when called from a bound method
    bool no_list = false;
    PyObject* first = float_list(a, no_list);
    if (no_list) throw std::runtime_error("Could not allocate list object!");
    PyObject* second = float_list(b, no_list);
    if (no_list || first == nullptr || second == nullptr) {
      Py_XDECREF(first);
      Py_XDECREF(second);
      if (no_list) throw std::runtime_error("Could not allocate list object!");
      throw pybind11::cast_error(std::string("Unable to convert call argument '") +
                                 (first == nullptr ? "0" : "1") +
                                 "' to Python object (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
                                 "compile in debug mode for details)");
    }
    return call_for_double(callable.get(), first, second);
  }
};

// The Python callable behind `function`, or null for a native or empty one.
inline PyObject* python_callable_of(const DistanceFunction& function) {
  const auto* python = function.target<PythonDistance>();
  return python != nullptr ? python->callable.get() : nullptr;
}

// pybind11's record of the C++ function behind `function`, or null for any
// other callable. The record is pybind11's internal (no public API reaches
// it), needed here only to call a native distance directly, without a round
// trip through Python, as pybind11's own std::function caster does; where
// pybind11 keeps it changed in version 3.
inline pybind11::detail::function_record* function_record_of(const pybind11::function& function) {
  pybind11::handle native = function.cpp_function();
  if (!native) return nullptr;
  PyObject* self = PyCFunction_GET_SELF(native.ptr());
  if (self == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
#if PYBIND11_VERSION_MAJOR >= 3
  return pybind11::detail::function_record_ptr_from_PyObject(self);
#else
  if (!pybind11::isinstance<pybind11::capsule>(self)) return nullptr;
  auto capsule = pybind11::reinterpret_borrow<pybind11::capsule>(self);
  if (!pybind11::detail::is_function_record_capsule(capsule)) return nullptr;
  return capsule.get_pointer<pybind11::detail::function_record>();
#endif
}

// A stateless pybind11-bound C++ function of exactly the NativeDistance
// type, found as pybind11's own std::function caster finds it; else null.
// (The record's fields are pybind11's internals too, for the same reason.)
inline NativeDistance native_distance_of(pybind11::handle source) {
  namespace detail = pybind11::detail;
  if (!pybind11::isinstance<pybind11::function>(source)) return nullptr;
  detail::function_record* record =
      function_record_of(pybind11::reinterpret_borrow<pybind11::function>(source));
  for (; record != nullptr; record = record->next) {
    if (record->is_stateless &&
        detail::same_type(typeid(NativeDistance),
                          *reinterpret_cast<const std::type_info*>(record->data[1]))) {
      struct Capture {
        NativeDistance function;
      };
      return reinterpret_cast<Capture*>(&record->data)->function;
    }
  }
  return nullptr;
}

}  // namespace binding
}  // namespace korel

// pybind11's documented way to convert a type of one's own: a type_caster
// specialization, which pybind11 requires in its namespace detail.
namespace pybind11 {
namespace detail {

template <>
class type_caster<korel::binding::DistanceFunction> {
 public:
  // None gives an empty function (in the converting pass only, as
  // pybind11 does), a non-callable is refused, a native function of the
  // exact type is called directly, and any other callable is wrapped.
  bool load(handle source, bool convert) {
    if (source.is_none()) return convert;
    if (PyCallable_Check(source.ptr()) == 0) return false;
    if (auto native = korel::binding::native_distance_of(source)) {
      value = native;
    } else {
      value = korel::binding::PythonDistance{korel::binding::PyReference(source)};
    }
    return true;
  }

  // Spelled out: pybind11 3 names the arguments of a Callable otherwise.
  PYBIND11_TYPE_CASTER(korel::binding::DistanceFunction,
                       const_name("Callable[[list[float], list[float]], float]"));
};

}  // namespace detail
}  // namespace pybind11
