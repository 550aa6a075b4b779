// korel._korel: the metric tree index of vexel as the Python class
// NearestNeighborsKorel. Points cross as sequences of floats, the metric is
// any Python callable (binding/distance_caster.h), and every method is one
// index operation run while holding the instance exclusively
// (binding/exclusive_use.h).

#include "binding/distance_caster.h"  // before anything converts a DistanceFunction

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <type_traits>
#include <vector>

#include "binding/exclusive_use.h"
#include "vexel/nearest_neighbors_korel.h"

namespace py = pybind11;

namespace korel {

using Point = std::vector<double>;
using Points = std::vector<Point>;
using Index = vexel::NearestNeighborsKorel<Point>;
using DistanceFunction = Index::DistanceFunction;
static_assert(std::is_same<DistanceFunction, binding::DistanceFunction>::value,
              "the bridge converts the index's own DistanceFunction");

// The index as Python owns it, with the lock that gives it to one call at a
// time (its distance callable lets other threads in mid-operation).
class BoundIndex : public Index {
 public:
  binding::UseLock lock;
};

// The registered type; set once the class exists.
const py::detail::type_info* bound_type = nullptr;

// The index of an instance, or null while `__init__` has not run (the
// collector and `__new__` both can reach such an instance). A method must
// refuse such an instance with a TypeError, and only pybind11's internals
// tell it apart: its public casts give an uninitialised instance freshly
// allocated, unconstructed storage. The class may be subclassed from Python,
// so the lookup goes by the registered type.
BoundIndex* constructed_index(PyObject* object) {
  auto* instance = reinterpret_cast<py::detail::instance*>(object);
  auto value_and_holder = instance->get_value_and_holder(bound_type, false);
  if (!value_and_holder || !value_and_holder.holder_constructed()) return nullptr;
  return value_and_holder.value_ptr<BoundIndex>();
}

// What a method receives as `self`: an instance that owns its index.
struct Self {
  BoundIndex* index;
};

// One index, held exclusively for the length of one call: a call back from
// its distance callable is refused, a call from another thread waits.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(Self self)
      : use_(self.index->lock, "NearestNeighborsKorel"), index_(*self.index) {}

  BoundIndex* operator->() const { return &index_; }

 private:
  binding::ExclusiveUse use_;
  BoundIndex& index_;
};

// --- cyclic garbage collection ---------------------------------------------
// A metric that refers back to its index (a bound method of an object that
// owns the index) forms a cycle; the collector sees it through the Python
// callables held by the two copies of the distance function.

int traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));  // instances of heap types own their type
  if (const BoundIndex* index = constructed_index(object)) {
    PyObject* own = binding::python_callable_of(index->distance_function);
    PyObject* selector = binding::python_callable_of(index->pivot_selector.distance_function);
    Py_VISIT(own);
    Py_VISIT(selector);
  }
  return 0;
}

// Breaks the cycle by dropping both copies of the metric; the tree stays as
// it is (no rebuild). A finalizer that still uses the instance afterwards
// gets the bad_function_call error, as with no metric installed.
int clear(PyObject* object) {
  if (BoundIndex* index = constructed_index(object)) {
    DistanceFunction own;
    DistanceFunction selector;
    own.swap(index->distance_function);
    selector.swap(index->pivot_selector.distance_function);
  }  // the callables are released here, after both fields are empty
  return 0;
}

void enable_garbage_collection(PyHeapTypeObject* heap_type) {
  PyTypeObject* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = traverse;
  type->tp_clear = clear;
}

}  // namespace korel

// A type_caster specialization is pybind11's documented way to convert a
// type of one's own, and it must live in pybind11's namespace detail.
namespace pybind11 {
namespace detail {

// Loads `self` without pybind11's fallback of allocating an empty value for
// an instance whose `__init__` never ran; such an instance is refused. The
// name is the registered class's, so prototypes render as for the class.
template <>
class type_caster<korel::Self> {
 public:
  static constexpr auto name = make_caster<korel::BoundIndex>::name;

  bool load(handle source, bool /*convert*/) {
    if (korel::bound_type == nullptr ||
        !PyObject_TypeCheck(source.ptr(), korel::bound_type->type)) {
      return false;
    }
    value_.index = korel::constructed_index(source.ptr());
    if (value_.index == nullptr) {
      throw type_error("NearestNeighborsKorel.__init__() was not called: the instance has no index");
    }
    return true;
  }

  template <typename>
  using cast_op_type = korel::Self;
  operator korel::Self() const { return value_; }

 private:
  korel::Self value_{nullptr};
};

}  // namespace detail
}  // namespace pybind11

PYBIND11_MODULE(_korel, module) {
  using namespace korel;

  py::class_<BoundIndex> index_class(module, "NearestNeighborsKorel",
                                     py::custom_type_setup(enable_garbage_collection));
  bound_type = py::detail::get_type_info(typeid(BoundIndex));

  index_class.def(py::init<>())
      .def("set_distance_function",
           [](Self self, const DistanceFunction& function) {
             ExclusiveUse index(self);
             index->set_distance_function(function);
           })
      .def("add",
           [](Self self, const Point& point) {
             ExclusiveUse index(self);
             index->add(point);
           })
      .def("add_list",
           [](Self self, const Points& points) {
             ExclusiveUse index(self);
             index->add_list(points);
           })
      .def("nearest",
           [](Self self, const Point& query) {
             ExclusiveUse index(self);
             return index->nearest(query);
           })
      .def("nearest_k",
           [](Self self, const Point& query, std::size_t k) {
             ExclusiveUse index(self);
             Points result;
             index->nearest_k(query, k, result);
             return result;
           })
      .def("nearest_r",
           [](Self self, const Point& query, double radius) {
             ExclusiveUse index(self);
             Points result;
             index->nearest_r(query, radius, result);
             return result;
           })
      .def("remove",
           [](Self self, const Point& point) {
             ExclusiveUse index(self);
             return index->remove(point);
           })
      .def("clear",
           [](Self self) {
             ExclusiveUse index(self);
             index->clear();
           })
      .def("size",
           [](Self self) {
             ExclusiveUse index(self);
             return index->size();
           })
      .def("list", [](Self self) {
        ExclusiveUse index(self);
        Points result;
        index->list(result);
        return result;
      });
}
