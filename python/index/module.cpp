// korel._index: the compiled part of korel.Index and korel.metrics. Each
// index class holds one vexel::RowIndex over vectors (float64 or float32
// rows), strings (code points), packed bit codes or Python objects
// (measured by a Python callable), converts NumPy arrays, str and objects,
// and forwards. The Python class korel.Index checks the arguments and
// picks the class.
//
// Every method holds its index exclusively (binding/exclusive_use.h). Native
// work runs without the GIL, batches on several threads, and answers Ctrl-C
// every 20 ms or so; work with a Python callable keeps the GIL.

#include <pybind11/pybind11.h>

#include "index/bindings.h"

PYBIND11_MODULE(_index, module) {
  module.doc() = "The compiled part of korel.Index and korel.metrics; use those.";
  korel::index::bind_vectors(module);
  korel::index::bind_strings(module);
  korel::index::bind_bits(module);
  korel::index::bind_objects(module);
  korel::index::bind_metrics(module);
  korel::index::bind_checksums(module);
}
