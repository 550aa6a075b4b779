// The distance functions of korel.metrics, written in C++.
//
// Every function here has exactly the type
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

#include <stdexcept>
#include <string>
#include <vector>

#include "index/bindings.h"
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
