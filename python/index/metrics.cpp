// The distance functions of korel.metrics, written in C++.
//
// Every function here but bit_hamming has exactly the type
//     double (*)(const std::vector<double>&, const std::vector<double>&)
// and captures nothing, so when one is passed to
// NearestNeighborsKorel.set_distance_function the index calls the C++
// function directly: no Python call, no list building per evaluation.
//
// Each function is a metric (angular: a metric on directions; haversine: on
// places of the sphere) and returns
// exactly 0.0 for two equal points, because the index treats distances below
// machine epsilon as duplicates. Points of different lengths, where a metric
// needs equal lengths, throw std::invalid_argument (ValueError in Python).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "index/bindings.h"
#include "vexel/bit_space.h"
#include "vexel/edit_distance.h"
#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

namespace korel {
namespace index {

namespace py = pybind11;

namespace {

using Point = std::vector<double>;

[[noreturn]] __attribute__((noinline, cold)) void different_lengths(const char* metric, const Point& a,
                                                                    const Point& b) {
  throw std::invalid_argument(std::string(metric) + ": points have different lengths (" +
                              std::to_string(a.size()) + " and " + std::to_string(b.size()) + ")");
}

// Inline: it runs on every evaluation, the message only on a mistake.
inline void require_equal_lengths(const char* metric, const Point& a, const Point& b) {
  if (a.size() != b.size()) different_lengths(metric, a, b);
}

double euclidean(const Point& a, const Point& b) {
  require_equal_lengths("euclidean", a, b);
  return vexel::euclidean_distance(a.data(), b.data(), a.size());
}

double manhattan(const Point& a, const Point& b) {
  require_equal_lengths("manhattan", a, b);
  return vexel::manhattan_distance(a.data(), b.data(), a.size());
}

double chebyshev(const Point& a, const Point& b) {
  require_equal_lengths("chebyshev", a, b);
  return vexel::chebyshev_distance(a.data(), b.data(), a.size());
}

double hamming(const Point& a, const Point& b) {
  require_equal_lengths("hamming", a, b);
  return static_cast<double>(vexel::hamming_distance(a.data(), b.data(), a.size()));
}

double angular(const Point& a, const Point& b) {
  require_equal_lengths("angular", a, b);
  return vexel::angular_distance(a.data(), b.data(), a.size());
}

double haversine(const Point& a, const Point& b) {
  require_equal_lengths("haversine", a, b);
  return vexel::haversine_distance(a.data(), b.data(), a.size());
}

double levenshtein(const Point& a, const Point& b) {
  return static_cast<double>(vexel::edit_distance(a.data(), a.size(), b.data(), b.size()));
}

// The bytes of a bit code, in the forms korel.Index("bit_hamming") takes
// one (korel/bits.py): a 1-D buffer of bytes (bytes, bytearray,
// memoryview, a uint8 array) or an int in [0, 2**64), 8 bytes little-endian.
std::vector<std::uint8_t> bit_code(py::handle code) {
  PyObject* object = code.ptr();
  const char* packbits = "bit codes are packed bytes, not booleans: pack them with numpy.packbits first";
  const std::string forms = "a bit code is bytes, bytearray, memoryview, a 1-D uint8 array or an int in [0, 2**64)";
  if (PyBool_Check(object)) throw py::type_error(packbits);
  if (PyUnicode_Check(object)) throw py::type_error("a str is not a bit code: Index('hamming') compares str");
  bool integer = PyLong_Check(object);
  if (!integer && PyObject_CheckBuffer(object)) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) throw py::error_already_set();
    const std::string format = view.format != nullptr ? view.format : "B";
    const bool bytes = view.ndim == 1 && view.itemsize == 1 && (format == "B" || format == "c");
    std::vector<std::uint8_t> out;
    if (bytes) {
      out.resize(static_cast<std::size_t>(view.shape[0]));
      for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<const std::uint8_t*>(view.buf)[static_cast<Py_ssize_t>(i) * view.strides[0]];
      }
    }
    const int dimensions = view.ndim;
    PyBuffer_Release(&view);
    if (format == "?") throw py::type_error(packbits);
    if (bytes) {
      if (out.empty()) throw py::value_error("a bit code must have at least one byte");
      return out;
    }
    // A NumPy integer scalar is an int; anything else of the wrong shape or type is refused.
    integer = dimensions == 0 && PyIndex_Check(object);
    if (!integer) {
      throw py::type_error(forms + ", not a buffer of format '" + format + "' and " + std::to_string(dimensions) +
                           " dimensions");
    }
  }
  if (!integer) throw py::type_error(forms + ", not " + Py_TYPE(object)->tp_name);
  const py::int_ value = py::reinterpret_steal<py::int_>(PyNumber_Index(object));
  if (!value) throw py::error_already_set();
  const unsigned long long bits = PyLong_AsUnsignedLongLong(value.ptr());
  if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    throw py::value_error("an int code must be in [0, 2**64), got " + py::repr(value).cast<std::string>());
  }
  std::vector<std::uint8_t> out(8);
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  return out;
}

double bit_hamming(py::handle a, py::handle b) {
  const std::vector<std::uint8_t> first = bit_code(a), second = bit_code(b);
  if (first.size() != second.size()) {
    throw std::invalid_argument("bit_hamming: codes have different lengths (" + std::to_string(first.size()) +
                                " and " + std::to_string(second.size()) + " bytes)");
  }
  const std::size_t words = vexel::BitSpace::words_for(first.size());
  const auto x = vexel::BitSpace::padded_codes(first.data(), 1, first.size());
  const auto y = vexel::BitSpace::padded_codes(second.data(), 1, second.size());
  return static_cast<double>(vexel::bit_kernel().one(x.data(), y.data(), words));
}

std::string simd_level() { return vexel::simd::name(vexel::simd::active()); }

// One level for the whole package: korel.Index's searches run in this
// module too.
void set_simd_level(const std::string& name) { vexel::simd::set_active_named(name); }

}  // namespace

void bind_metrics(py::module_& m) {
  

  m.def("euclidean", &euclidean, py::arg("a"), py::arg("b"),
        "euclidean(a, b) = sqrt(sum_i (a[i] - b[i])**2)\n\n"
        "Straight-line distance. Cost: O(n) for points of length n.\n"
        "Needs equal lengths (ValueError otherwise). Exact where the sum of squares\n"
        "would overflow or underflow (a second, scaled pass then).");
  m.def("manhattan", &manhattan, py::arg("a"), py::arg("b"),
        "manhattan(a, b) = sum_i |a[i] - b[i]|\n\n"
        "City-block (L1) distance. Cost: O(n). Needs equal lengths (ValueError\n"
        "otherwise).");
  m.def("chebyshev", &chebyshev, py::arg("a"), py::arg("b"),
        "chebyshev(a, b) = max_i |a[i] - b[i]|  (0 for empty points)\n\n"
        "Largest coordinate difference (L-infinity). Cost: O(n). Needs equal\n"
        "lengths (ValueError otherwise).");
  m.def("hamming", &hamming, py::arg("a"), py::arg("b"),
        "hamming(a, b) = number of positions i with a[i] != b[i]\n\n"
        "Cost: O(n). Needs equal lengths (ValueError otherwise). A NaN element\n"
        "differs from everything.");
  m.def("angular", &angular, py::arg("a"), py::arg("b"),
        "angular(a, b) = arccos(a . b / (|a| |b|)) / pi, in [0, 1]\n\n"
        "The angle between two vectors as a fraction of a half turn: a metric on\n"
        "directions (a and 3a are at 0). Computed as 2 atan2(|u - v|, |u + v|) on\n"
        "the unit vectors u, v, which stays accurate near 0 and 1; angles within\n"
        "rounding of 0 give exactly 0. The zero vector is at 0 from itself and at\n"
        "1/2 from every other vector, which keeps the triangle inequality.\n"
        "Cost: O(n), three passes over each point. Needs equal lengths and finite\n"
        "coordinates (ValueError otherwise).");
  m.def("haversine", &haversine, py::arg("a"), py::arg("b"),
        "haversine(a, b) = the central angle, in radians, between the places\n"
        "a = (latitude, longitude) and b, both in radians\n\n"
        "The great-circle distance on the unit sphere, as scikit-learn's\n"
        "haversine_distances and BallTree(metric=\"haversine\") measure it: multiply\n"
        "by the Earth's mean radius, 6371.0088 km, for kilometres.\n\n"
        "    >>> import math\n"
        "    >>> paris, new_york = (48.8566, 2.3522), (40.7128, -74.0060)  # degrees\n"
        "    >>> angle = haversine([math.radians(x) for x in paris], [math.radians(x) for x in new_york])\n"
        "    >>> round(angle * 6371.0088)  # km\n"
        "    5837\n\n"
        "Computed as 2 atan2(sqrt(h), sqrt(1 - h)) with both h and 1 - h summed\n"
        "from non-negative terms: accurate near 0 and near pi (antipodes) alike,\n"
        "exactly 0 for equal places, symmetric to the last bit, in [0, pi].\n"
        "Latitudes belong in [-pi/2, pi/2]; longitudes may be any angle. Cost: a few\n"
        "sines and cosines. Needs 2 coordinates each (ValueError otherwise).");
  m.def("levenshtein", &levenshtein, py::arg("a"), py::arg("b"),
        "levenshtein(a, b) = least number of insertions, deletions and\n"
        "substitutions of single elements that turn a into b\n\n"
        "Edit distance between sequences of any lengths; elements are compared\n"
        "by value (encode strings as code points with korel.encode).\n"
        "Cost: O(n m) time and O(min(n, m)) memory after skipping the common\n"
        "prefix and suffix.");

  m.def("bit_hamming", &bit_hamming, py::arg("a"), py::arg("b"),
        "bit_hamming(a, b) = number of bits in which the codes a and b differ\n\n"
        "Hamming distance between packed bit codes of one length: bytes, bytearray,\n"
        "memoryview or a 1-D uint8 array, or an int in [0, 2**64), a 64-bit code of\n"
        "8 bytes, little-endian. Boolean arrays are refused (numpy.packbits packs\n"
        "them). Cost: a popcount per 8 bytes. Needs equal lengths (ValueError\n"
        "otherwise). Not a distance for NearestNeighborsKorel, whose points are\n"
        "floats: use korel.Index(\"bit_hamming\").");
  m.def("simd_level", &simd_level,
        "simd_level() -> str: the instruction set the vector metrics use now:\n"
        "'portable', 'avx2' or 'avx512'. The best one this machine runs, unless\n"
        "the environment variable VEXEL_SIMD named a lower one at import, or\n"
        "set_simd_level chose another. Every level gives bit-identical results.");
  m.def("set_simd_level", &set_simd_level, py::arg("name"),
        "set_simd_level(name): use the instruction set `name` ('portable', 'avx2'\n"
        "or 'avx512') from now on, for every thread, in the metrics and in\n"
        "korel.Index. ValueError for an unknown name or one this machine does\n"
        "not run.");
}

}  // namespace index
}  // namespace korel
