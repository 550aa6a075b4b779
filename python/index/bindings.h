// The parts of korel._index, each bound by its own file.
#pragma once

#include <pybind11/pybind11.h>

namespace korel {
namespace index {

void bind_vectors(pybind11::module_& module);  // VectorIndex64, VectorIndex32
void bind_strings(pybind11::module_& module);  // StringIndex
void bind_bits(pybind11::module_& module);     // BitIndex
void bind_objects(pybind11::module_& module);  // ObjectIndex
void bind_metrics(pybind11::module_& module);  // the distance functions of korel.metrics
void bind_checksums(pybind11::module_& module);  // CRC-32 and checked reads for korel.storage

}  // namespace index
}  // namespace korel
