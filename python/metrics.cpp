// korel.metrics: distance functions written in C++.
//
// Every function here has exactly the type
//     double (*)(const std::vector<double>&, const std::vector<double>&)
// and captures nothing, so when one is passed to
// NearestNeighborsKorel.set_distance_function the index calls the C++
// function directly: no Python call, no list building per evaluation.
//
// Each function is a metric (angular: a metric on directions) and returns
// exactly 0.0 for two equal points, because the index treats distances below
// machine epsilon as duplicates. Points of different lengths, where a metric
// needs equal lengths, throw std::invalid_argument (ValueError in Python).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

using Point = std::vector<double>;

constexpr double pi = 3.14159265358979323846;

void require_equal_lengths(const char* metric, const Point& a, const Point& b) {
  if (a.size() != b.size()) {
    throw std::invalid_argument(std::string(metric) + ": points have different lengths (" +
                                std::to_string(a.size()) + " and " + std::to_string(b.size()) +
                                ")");
  }
}

// a - b, but exactly 0 for equal elements, so equal infinities give 0, not NaN.
inline double difference(double a, double b) { return a == b ? 0.0 : a - b; }

// The Euclidean norm of the differences, scaled by their largest magnitude;
// the slow path for sums of squares that overflowed or underflowed.
double scaled_euclidean(const Point& a, const Point& b) {
  double largest = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = std::fabs(difference(a[i], b[i]));
    if (d > largest || std::isnan(d)) largest = d;
    if (std::isnan(largest)) return largest;
  }
  if (largest == 0.0 || std::isinf(largest)) return largest;
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = difference(a[i], b[i]) / largest;
    sum += d * d;
  }
  return largest * std::sqrt(sum);
}

// The sum of term(a[i] - b[i]) over all i, in four independent partial sums
// so that consecutive additions need not wait for each other (and pair up in
// vector registers). Equal infinities give NaN here: callers check.
template <typename Term>
double sum_of_differences(const Point& a, const Point& b, Term term) {
  const std::size_t n = a.size();
  const double* x = a.data();
  const double* y = b.data();
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    s0 += term(x[i] - y[i]);
    s1 += term(x[i + 1] - y[i + 1]);
    s2 += term(x[i + 2] - y[i + 2]);
    s3 += term(x[i + 3] - y[i + 3]);
  }
  for (; i < n; ++i) s0 += term(x[i] - y[i]);
  return (s0 + s1) + (s2 + s3);
}

double euclidean(const Point& a, const Point& b) {
  require_equal_lengths("euclidean", a, b);
  const double sum = sum_of_differences(a, b, [](double d) { return d * d; });
  // A sum of squares this small or this large may have lost the distance
  // (underflow to 0 for distinct points, overflow to infinity), and a NaN
  // may come from equal infinities: the careful pass settles these.
  constexpr double tiny = 1e-280;
  constexpr double huge = 1e280;
  if (sum >= tiny && sum <= huge) return std::sqrt(sum);
  return scaled_euclidean(a, b);
}

double manhattan(const Point& a, const Point& b) {
  require_equal_lengths("manhattan", a, b);
  const double sum = sum_of_differences(a, b, [](double d) { return std::fabs(d); });
  if (!std::isnan(sum)) return sum;
  // NaN: a NaN coordinate, or equal infinities, which are equal elements.
  double careful = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) careful += std::fabs(difference(a[i], b[i]));
  return careful;
}

double chebyshev(const Point& a, const Point& b) {
  require_equal_lengths("chebyshev", a, b);
  double largest = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = std::fabs(difference(a[i], b[i]));
    // Written so that a NaN difference is kept rather than skipped.
    if (d > largest || d != d) largest = d;
    if (largest != largest) break;
  }
  return largest;
}

double hamming(const Point& a, const Point& b) {
  require_equal_lengths("hamming", a, b);
  std::size_t differing = 0;
  for (std::size_t i = 0; i < a.size(); ++i) differing += !(a[i] == b[i]);
  return static_cast<double>(differing);
}

// Scales a point into the direction vector `unit` (unit length); returns
// false for the zero vector. Dividing by the largest magnitude first keeps
// the sum of squares clear of overflow and underflow.
bool unit_direction(const Point& p, Point& unit) {
  double largest = 0.0;
  for (double x : p) largest = std::max(largest, std::fabs(x));
  if (largest == 0.0) return false;
  unit.resize(p.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    unit[i] = p[i] / largest;
    sum += unit[i] * unit[i];
  }
  const double norm = std::sqrt(sum);
  for (double& x : unit) x /= norm;
  return true;
}

double angular(const Point& a, const Point& b) {
  require_equal_lengths("angular", a, b);
  for (double x : a) {
    if (!std::isfinite(x)) throw std::invalid_argument("angular: coordinates must be finite");
  }
  for (double x : b) {
    if (!std::isfinite(x)) throw std::invalid_argument("angular: coordinates must be finite");
  }
  // Reused across calls: no allocation once the buffers are large enough.
  thread_local Point unit_a, unit_b;
  const bool a_zero = !unit_direction(a, unit_a);
  const bool b_zero = !unit_direction(b, unit_b);
  // The zero vector has no direction: it is at 0 from itself and at 1/2
  // (a right angle) from every other vector. Since no angle exceeds 1, this
  // keeps the triangle inequality.
  if (a_zero || b_zero) return a_zero == b_zero ? 0.0 : 0.5;
  // The angle between unit vectors u and v is 2 atan2(|u - v|, |u + v|),
  // accurate at every angle, unlike acos of the cosine near 0 and pi.
  double minus = 0.0, plus = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = unit_a[i] - unit_b[i];
    const double s = unit_a[i] + unit_b[i];
    minus += d * d;
    plus += s * s;
  }
  const double turns = 2.0 * std::atan2(std::sqrt(minus), std::sqrt(plus)) / pi;
  // Same-direction vectors (x and 3x) differ only by rounding in their unit
  // vectors; call that exactly 0 so they count as the same direction.
  constexpr double rounding = 16 * std::numeric_limits<double>::epsilon();
  if (turns < rounding) return 0.0;
  return std::min(turns, 1.0);
}

double levenshtein(const Point& a, const Point& b) {
  // The shorter sequence spans the row, so the row costs O(min(n, m)).
  const Point& longer = a.size() >= b.size() ? a : b;
  const Point& shorter = a.size() >= b.size() ? b : a;
  // A common prefix and suffix never change the distance: skip them.
  std::size_t begin = 0;
  std::size_t end_long = longer.size(), end_short = shorter.size();
  while (begin < end_short && longer[begin] == shorter[begin]) ++begin;
  while (end_short > begin && longer[end_long - 1] == shorter[end_short - 1]) {
    --end_long;
    --end_short;
  }
  const std::size_t n = end_long - begin, m = end_short - begin;
  if (m == 0) return static_cast<double>(n);

  // row[j]: distance between the processed prefix of `longer` and the first
  // j elements of `shorter`. Reused across calls.
  thread_local std::vector<std::size_t> row;
  row.resize(m + 1);
  for (std::size_t j = 0; j <= m; ++j) row[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    const double x = longer[begin + i - 1];
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const std::size_t above = row[j];
      const std::size_t substitute = diagonal + !(x == shorter[begin + j - 1]);
      row[j] = std::min({above + 1, row[j - 1] + 1, substitute});
      diagonal = above;
    }
  }
  return static_cast<double>(row[m]);
}

}  // namespace

PYBIND11_MODULE(metrics, m) {
  m.doc() =
      "Distance functions in C++ for NearestNeighborsKorel.set_distance_function.\n\n"
      "Passed to the index, each one is called directly from C++, with no Python\n"
      "call per distance evaluation. Each is a metric and returns exactly 0.0 for\n"
      "two equal points. Metrics that need points of equal length raise ValueError\n"
      "naming both lengths. Elements are compared as floats: NaN equals nothing.";

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
  m.def("levenshtein", &levenshtein, py::arg("a"), py::arg("b"),
        "levenshtein(a, b) = least number of insertions, deletions and\n"
        "substitutions of single elements that turn a into b\n\n"
        "Edit distance between sequences of any lengths; elements are compared\n"
        "by value (encode strings as code points with korel.encode).\n"
        "Cost: O(n m) time and O(min(n, m)) memory after skipping the common\n"
        "prefix and suffix.");
}
