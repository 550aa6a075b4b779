// Calling a Python callable from native code, safely at interpreter exit.
//
// CPython may end a daemon thread inside the callable (see gil.h): its C++
// frames then unwind without the GIL. So nothing here holds a Python
// reference in an object whose destructor would run during that unwind:
// references are raw pointers released by hand on the normal and error
// paths, and merely leaked by a thread that is going away.

#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "gil.h"

namespace korel {
namespace binding {

// A strong reference that may be copied and dropped from any thread: with
// the GIL held, taken for the moment when needed. A thread without the GIL
// while the interpreter exits drops nothing (it cannot take the GIL).
class PyReference {
 public:
  PyReference() = default;
  // A new reference to `object`, taken with the GIL held.
  explicit PyReference(pybind11::handle object) : object_(object.inc_ref().ptr()) {}
  PyReference(const PyReference& other) : object_(other.object_) {
    if (object_ != nullptr) {
      GilForScope gil;
      Py_INCREF(object_);
    }
  }
  PyReference(PyReference&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyReference& operator=(PyReference other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyReference() {
    if (object_ == nullptr) return;
    if (holds_gil()) {
      Py_DECREF(object_);
    } else if (!interpreter_finalizing()) {
      PyGILState_STATE state = PyGILState_Ensure();
      Py_DECREF(object_);
      PyGILState_Release(state);
    }
  }

  PyObject* get() const { return object_; }

 private:
  PyObject* object_ = nullptr;
};

// pybind11's rule for a float argument, by the CPython API alone: the
// value through the number protocol; failing that, for an object that
// implements one, the float made by float(). Leaves no error pending.
inline bool float_value(PyObject* object, double& value) {
  value = PyFloat_AsDouble(object);
  if (value != -1.0 || PyErr_Occurred() == nullptr) return true;
  PyErr_Clear();
  if (PyNumber_Check(object) == 0) return false;
  PyObject* number = PyNumber_Float(object);
  if (number == nullptr) {
    PyErr_Clear();
    return false;
  }
  const bool is_float = PyFloat_Check(number) != 0;
  if (is_float) value = PyFloat_AsDouble(number);
  Py_DECREF(number);
  return is_float;
}

// Calls `callable(first, second)` with the GIL held and converts the result
// to a double by pybind11's rule for float arguments (a float, an int, a
// bool or anything with __float__ or __index__). Takes over the references
// `first` and `second`. Throws pybind11::error_already_set with the
// callable's exception, pybind11::cast_error when the result is no number,
// and std::runtime_error when the argument tuple cannot be allocated: the
// messages of pybind11's own std::function wrapper.
inline double call_for_double(PyObject* callable, PyObject* first, PyObject* second) {
  PyObject* arguments = PyTuple_New(2);
  if (arguments == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    throw std::runtime_error("Could not allocate tuple object!");
  }
  PyTuple_SET_ITEM(arguments, 0, first);
  PyTuple_SET_ITEM(arguments, 1, second);
  PyObject* result = PyObject_CallObject(callable, arguments);
  Py_DECREF(arguments);
  if (result == nullptr) throw pybind11::error_already_set();

  double value = 0;
  if (float_value(result, value)) {
    Py_DECREF(result);
    return value;
  }
  PyObject* type_text = PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(result)));
  Py_DECREF(result);
  if (type_text == nullptr) throw pybind11::error_already_set();
  const auto type_name = pybind11::reinterpret_steal<pybind11::str>(type_text).cast<std::string>();
  throw pybind11::cast_error("Unable to cast Python instance of type " + type_name +
                             " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or "
                             "compile in debug mode for details)");
}

// The same with borrowed arguments, such as stored Python objects.
inline double call_for_double_borrowed(PyObject* callable, PyObject* first, PyObject* second) {
  Py_INCREF(first);
  Py_INCREF(second);
  return call_for_double(callable, first, second);
}

}  // namespace binding
}  // namespace korel
