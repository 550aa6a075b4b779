// The vector distances in plain C++: the definition of every result, and the
// careful passes that the vectorised levels fall back on.
//
// Every sum runs in one fixed order, the same at every level: 8 lanes, lane j
// adds the terms i = j (mod 8) in increasing i; then s[i] = l[i] + l[i + 4],
// t[i] = s[i] + s[i + 2], and the sum is t[0] + t[1]. A Row is double or
// float; a float is used exactly as if converted to double first.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "vexel/detail/unfused.h"

namespace vexel::detail {

constexpr std::size_t kLanes = 8;

// The sum of term(i) for i < n, in the fixed lane order.
template <typename Term>
inline double lane_sum(std::size_t n, Term term) {
  double lane[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) lane[j] += unfused(term(i + j));
  }
  for (std::size_t j = 0; i + j < n; ++j) lane[j] += unfused(term(i + j));
  double s[4], t[2];
  for (std::size_t j = 0; j < 4; ++j) s[j] = lane[j] + lane[j + 4];
  for (std::size_t j = 0; j < 2; ++j) t[j] = s[j] + s[j + 2];
  return t[0] + t[1];
}

// a - b, but exactly 0 for equal elements, so equal infinities give 0, not NaN.
inline double difference(double a, double b) { return a == b ? 0.0 : a - b; }

// The Euclidean norm of the differences, scaled by their largest magnitude:
// the slow path for sums of squares that overflowed or underflowed.
template <typename Row>
double scaled_euclidean(const double* q, const Row* r, std::size_t n) {
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = std::fabs(difference(q[i], r[i]));
    if (d > largest || std::isnan(d)) largest = d;
    if (std::isnan(largest)) return largest;
  }
  if (largest == 0.0 || std::isinf(largest)) return largest;
  const double sum = lane_sum(n, [&](std::size_t i) {
    const double d = difference(q[i], r[i]) / largest;
    return d * d;
  });
  return largest * std::sqrt(sum);
}

// The Euclidean distance from the plain sum of squares `sum`. A sum this
// small or this large may have lost the distance (underflow to 0 for
// distinct points, overflow to infinity), and a NaN may come from equal
// infinities: the careful pass settles these.
template <typename Row>
inline double euclidean_from_sum(double sum, const double* q, const Row* r, std::size_t n) {
  constexpr double tiny = 1e-280;
  constexpr double huge = 1e280;
  if (sum >= tiny && sum <= huge) return std::sqrt(sum);
  return scaled_euclidean(q, r, n);
}

// The Manhattan distance from the plain sum of |q[i] - r[i]|, which is NaN
// for a NaN coordinate or for equal infinities (which are equal elements).
template <typename Row>
inline double manhattan_from_sum(double sum, const double* q, const Row* r, std::size_t n) {
  if (!std::isnan(sum)) return sum;
  return lane_sum(n, [&](std::size_t i) { return std::fabs(difference(q[i], r[i])); });
}

// The Chebyshev distance; a NaN difference is kept rather than skipped.
template <typename Row>
double careful_chebyshev(const double* q, const Row* r, std::size_t n) {
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = std::fabs(difference(q[i], r[i]));
    if (d > largest || d != d) largest = d;
    if (largest != largest) break;
  }
  return largest;
}

namespace portable {

template <typename Row>
double euclidean(const double* q, const Row* r, std::size_t n) {
  const double sum = lane_sum(n, [&](std::size_t i) {
    const double d = q[i] - static_cast<double>(r[i]);
    return d * d;
  });
  return euclidean_from_sum(sum, q, r, n);
}

template <typename Row>
double manhattan(const double* q, const Row* r, std::size_t n) {
  const double sum =
      lane_sum(n, [&](std::size_t i) { return std::fabs(q[i] - static_cast<double>(r[i])); });
  return manhattan_from_sum(sum, q, r, n);
}

template <typename Row>
double chebyshev(const double* q, const Row* r, std::size_t n) {
  return careful_chebyshev(q, r, n);
}

// Angular distance: vectorised levels use this one too. Its cost is two
// divisions per coordinate, three passes and an atan2, and its rounding-to-0
// rule hinges on the last bits, so one plain path is the safe choice.
template <typename Row>
double angular(const double* a, const Row* b, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(a[i])) throw std::invalid_argument("angular: coordinates must be finite");
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(static_cast<double>(b[i]))) {
      throw std::invalid_argument("angular: coordinates must be finite");
    }
  }
  double largest_a = 0.0, largest_b = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    largest_a = std::max(largest_a, std::fabs(a[i]));
    largest_b = std::max(largest_b, std::fabs(static_cast<double>(b[i])));
  }
  // The zero vector has no direction: it is at 0 from itself and at 1/2
  // (a right angle) from every other vector. Since no angle exceeds 1, this
  // keeps the triangle inequality.
  const bool a_zero = largest_a == 0.0, b_zero = largest_b == 0.0;
  if (a_zero || b_zero) return a_zero == b_zero ? 0.0 : 0.5;
  // Unit vectors u = (a / largest) / norm: dividing by the largest magnitude
  // first keeps the sum of squares clear of overflow and underflow.
  const double norm_a = std::sqrt(lane_sum(n, [&](std::size_t i) {
    const double x = a[i] / largest_a;
    return x * x;
  }));
  const double norm_b = std::sqrt(lane_sum(n, [&](std::size_t i) {
    const double x = static_cast<double>(b[i]) / largest_b;
    return x * x;
  }));
  const auto u = [&](std::size_t i) { return a[i] / largest_a / norm_a; };
  const auto v = [&](std::size_t i) { return static_cast<double>(b[i]) / largest_b / norm_b; };
  // The angle between unit vectors u and v is 2 atan2(|u - v|, |u + v|),
  // accurate at every angle, unlike acos of the cosine near 0 and pi.
  const double minus = lane_sum(n, [&](std::size_t i) {
    const double d = u(i) - v(i);
    return d * d;
  });
  const double plus = lane_sum(n, [&](std::size_t i) {
    const double s = u(i) + v(i);
    return s * s;
  });
  constexpr double pi = 3.14159265358979323846;
  const double turns = 2.0 * std::atan2(std::sqrt(minus), std::sqrt(plus)) / pi;
  // Same-direction vectors (x and 3x) differ only by rounding in their unit
  // vectors; call that exactly 0 so they count as the same direction.
  constexpr double rounding = 16 * std::numeric_limits<double>::epsilon();
  if (turns < rounding) return 0.0;
  return std::min(turns, 1.0);
}

}  // namespace portable
}  // namespace vexel::detail
