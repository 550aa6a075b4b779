// Python objects measured by a Python callable: the class ObjectIndex of
// korel._index, which the garbage collector can see through.

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
#include "index/object_space.h"

namespace korel {
namespace index {

namespace {

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
}  // namespace

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
           [](Self& self, const py::list& objects, const std::optional<Ids>& ids, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             const std::int64_t* id = ids_or_null(ids, held.size());
             return add_rows(self.rows, false, id, held.size(), [&](ObjectSpace& space) {
               for (std::size_t i = 0; i < held.size(); ++i) space.append(held[i]);
             }, progress);
           },
           py::arg("points"), py::arg("ids") = py::none(), py::arg("progress") = py::none())
      .def("get",
           [](Self& self, std::int64_t id) {
             ExclusiveUse use(self.lock, class_name);
             const std::uint32_t row = self.stored_row(id);
             return py::reinterpret_borrow<py::object>(self.rows.space.object(row));
           })
      .def("query",
           [](Self& self, const py::list& objects, std::size_t k, std::size_t, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             return nearest_batch(self.rows, false, held.size(), k, 1, [&](std::size_t i) { return held[i]; }, false,
                                  progress);
           },
           py::arg("points"), py::arg("k"), py::arg("workers"), py::arg("progress") = py::none())
      .def("query_radius",
           [](Self& self, const py::list& objects, double radius, std::size_t, py::handle progress) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             return within_batch(self.rows, false, held.size(), radius, 1, [&](std::size_t i) { return held[i]; },
                                 progress);
           },
           py::arg("points"), py::arg("radius"), py::arg("workers"), py::arg("progress") = py::none())
      .def("export", [](Self& self, bool tree) {
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
        return py::make_tuple(std::move(ids), std::move(objects), tree ? tree_or_none(rows) : py::none());
      }, py::arg("tree") = false)
      .def("restore",
           [](Self& self, const py::list& objects, const Ids& ids, const py::dict& tree) {
             ExclusiveUse use(self.lock, class_name);
             const HeldObjects held(objects);
             restore_rows(self.rows, ids_or_null(ids, held.size()), held.size(), [&](ObjectSpace& space) {
               for (std::size_t i = 0; i < held.size(); ++i) space.append(held[i]);
             }, tree);
           },
           py::arg("points"), py::arg("ids"), py::arg("tree"));
}

}  // namespace index
}  // namespace korel
