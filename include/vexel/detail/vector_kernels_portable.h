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
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "vexel/detail/unfused.h"

namespace vexel::detail {

constexpr std::size_t kLanes = 8;

// The sum of 8 lanes: s[i] = l[i] + l[i + 4], t[i] = s[i] + s[i + 2], t[0] + t[1].
inline double reduce_lanes(const double (&lane)[kLanes]) {
  double s[4], t[2];
  for (std::size_t j = 0; j < 4; ++j) s[j] = lane[j] + lane[j + 4];
  for (std::size_t j = 0; j < 2; ++j) t[j] = s[j] + s[j + 2];
  return t[0] + t[1];
}

// The sum of term(i) for i < n, in the fixed lane order.
template <typename Term>
inline double lane_sum(std::size_t n, Term term) {
  double lane[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) lane[j] += unfused(term(i + j));
  }
  for (std::size_t j = 0; i + j < n; ++j) lane[j] += unfused(term(i + j));
  return reduce_lanes(lane);
}

struct TwoTerms {
  double first, second;
};

// Two sums in one pass, each in the fixed lane order: terms(i) gives the
// TwoTerms of coordinate i.
template <typename Terms>
inline void lane_sums(std::size_t n, Terms terms, double& first, double& second) {
  double lane1[kLanes] = {}, lane2[kLanes] = {};
  const auto add = [&](std::size_t i, std::size_t j) {
    const TwoTerms two = terms(i);
    lane1[j] += unfused(two.first);
    lane2[j] += unfused(two.second);
  };
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) add(i + j, j);
  }
  for (std::size_t j = 0; i + j < n; ++j) add(i + j, j);
  first = reduce_lanes(lane1);
  second = reduce_lanes(lane2);
}

// The sum of Dim <= 4 squares, square(j) for j < Dim, in the fixed lane
// order without the lanes: lane j holds term j alone, and the absent terms
// and lanes 4-7 are zeros, which add nothing to a square or a NaN. For
// leaves of short rows, where the lanes' shuffles would cost more than the
// terms.
template <std::size_t Dim, typename Square>
inline double short_sum(Square square) {
  static_assert(Dim >= 1 && Dim <= 4, "rows of 1 to 4 coordinates");
  double lane[4] = {0.0, 0.0, 0.0, 0.0};
  for (std::size_t j = 0; j < Dim; ++j) lane[j] = unfused(square(j));
  return (lane[0] + lane[2]) + (lane[1] + lane[3]);
}

// The sum of squared differences of a row of Dim <= 4 coordinates, as the
// kernels sum them.
template <std::size_t Dim, typename Row>
inline double short_sum_of_squares(const double* q, const Row* r) {
  return short_sum<Dim>([&](std::size_t j) {
    const double d = q[j] - static_cast<double>(r[j]);
    return d * d;
  });
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

// The angular distance, in steps shared by every level: coordinates are
// finite; the largest magnitudes La, Lb of a and b scale them into
// x = a / La, whose norm N = sqrt(sum x * x) (fixed order) gives the unit
// vector u = a / La / N (dividing by the largest magnitude first keeps the
// sum of squares clear of overflow and underflow); likewise v for b.
[[noreturn]] inline void throw_not_finite() {
  throw std::invalid_argument("angular: coordinates must be finite");
}

// The zero vector has no direction: it is at 0 from itself and at 1/2 (a
// right angle) from every other vector. Since no angle exceeds 1, this keeps
// the triangle inequality.
inline double zero_vector_angle(double largest_a, double largest_b) {
  return (largest_a == 0.0) == (largest_b == 0.0) ? 0.0 : 0.5;
}

// The angle between unit vectors u and v is 2 atan2(|u - v|, |u + v|),
// accurate at every angle, unlike acos of the cosine near 0 and pi; `minus`
// and `plus` are the sums of (u - v)^2 and (u + v)^2.
inline double angle_from_sums(double minus, double plus) {
  constexpr double pi = 3.14159265358979323846;
  const double turns = 2.0 * std::atan2(std::sqrt(minus), std::sqrt(plus)) / pi;
  // Same-direction vectors (x and 3x) differ only by rounding in their unit
  // vectors; call that exactly 0 so they count as the same direction.
  constexpr double rounding = 16 * std::numeric_limits<double>::epsilon();
  if (turns < rounding) return 0.0;
  return std::min(turns, 1.0);
}

// lon1 - lon2, brought into [-pi, pi] when it lies beyond by up to a turn,
// with the rounding of the subtraction put back: places a few metres apart
// across the antimeridian (lon pi - x and -pi + y) differ by 2 pi - x - y,
// which plain subtraction gets only to 1e-16 rad, too coarse a part of a
// distance of 1e-9 for the triangle inequality.
inline double longitude_difference(double lon1, double lon2) {
  const double difference = lon1 - lon2;
  if (!(std::fabs(difference) > 3.14159265358979323846)) return difference;
  // The exact rounding error of the subtraction (Knuth's two-sum).
  const double behind = difference - lon1;
  const double error = (lon1 - (difference - behind)) + (-lon2 - behind);
  // 2 pi as a sum of two doubles; subtracting the first is exact (Sterbenz)
  // for |difference| in [pi, 4 pi].
  constexpr double turn_high = 6.283185307179586, turn_low = 2.4492935982947064e-16;
  return ((difference - std::copysign(turn_high, difference)) - std::copysign(turn_low, difference)) + error;
}

// The central angle in radians between two places given as (latitude,
// longitude) in radians, the great-circle distance on the unit sphere:
// 2 atan2(sqrt(h), sqrt(1 - h)) with the haversine
//   h     = sin^2(dlat / 2) + cos lat1 cos lat2 sin^2(dlon / 2),
//   1 - h = cos^2(dlat / 2) cos^2(dlon / 2) + sin^2((lat1 + lat2) / 2) sin^2(dlon / 2),
// each summed from non-negative terms, so each is accurate to a few ulps
// where it is small: the angle is accurate near 0 and near pi alike, where
// 2 asin(sqrt(h)) loses half its digits (the tree's pruning needs a metric
// up to rounding at every distance). Symmetric to the last bit (|differences|,
// commuting products); exactly 0 for equal places. Every level calls this one
// function, and with it the same sin, cos and atan2 of the C library.
inline double central_angle(double lat1, double lon1, double lat2, double lon2) {
  const double half_dlat = 0.5 * std::fabs(lat1 - lat2);
  const double half_dlon = 0.5 * std::fabs(longitude_difference(lon1, lon2));
  const double half_sum = 0.5 * (lat1 + lat2);
  const double sin_dlat = std::sin(half_dlat), cos_dlat = std::cos(half_dlat);
  const double sin_dlon = std::sin(half_dlon), cos_dlon = std::cos(half_dlon);
  const double sin_sum = std::sin(half_sum);
  const double sin2_dlon = unfused(sin_dlon * sin_dlon);
  const double cosines = unfused(std::cos(lat1) * std::cos(lat2));
  const double h = unfused(sin_dlat * sin_dlat) + unfused(cosines * sin2_dlon);
  const double rest = unfused(unfused(cos_dlat * cos_dlat) * unfused(cos_dlon * cos_dlon)) +
                      unfused(unfused(sin_sum * sin_sum) * sin2_dlon);
  return 2.0 * std::atan2(std::sqrt(h), std::sqrt(rest));
}

[[noreturn]] inline void throw_not_a_place(std::size_t n) {
  throw std::invalid_argument("haversine: a place has 2 coordinates (latitude, longitude), not " +
                              std::to_string(n));
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

// The largest |q - r| compared as bits: those of a double without its sign
// order like the magnitudes, and NaN ranks above infinity, so a NaN
// difference wins.
template <typename Row>
double chebyshev(const double* q, const Row* r, std::size_t n) {
  std::uint64_t largest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t bits;
    const double d = q[i] - static_cast<double>(r[i]);
    std::memcpy(&bits, &d, sizeof bits);
    largest = std::max(largest, bits & ~(std::uint64_t{1} << 63));
  }
  double result;
  std::memcpy(&result, &largest, sizeof result);
  // NaN: a NaN coordinate, or equal infinities, which are equal elements.
  return result == result ? result : careful_chebyshev(q, r, n);
}

template <typename Row>
double angular(const double* a, const Row* b, std::size_t n) {
  double largest_a = 0.0, largest_b = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = a[i], y = static_cast<double>(b[i]);
    if (!std::isfinite(x) || !std::isfinite(y)) throw_not_finite();
    largest_a = std::max(largest_a, std::fabs(x));
    largest_b = std::max(largest_b, std::fabs(y));
  }
  if (largest_a == 0.0 || largest_b == 0.0) return zero_vector_angle(largest_a, largest_b);
  double square_a, square_b;
  lane_sums(n, [&](std::size_t i) {
    const double x = a[i] / largest_a, y = static_cast<double>(b[i]) / largest_b;
    return TwoTerms{x * x, y * y};
  }, square_a, square_b);
  const double norm_a = std::sqrt(square_a), norm_b = std::sqrt(square_b);
  double minus, plus;
  lane_sums(n, [&](std::size_t i) {
    const double u = a[i] / largest_a / norm_a, v = static_cast<double>(b[i]) / largest_b / norm_b;
    return TwoTerms{(u - v) * (u - v), (u + v) * (u + v)};
  }, minus, plus);
  return angle_from_sums(minus, plus);
}

// The same function at every level: the cost is in sin, cos and atan2,
// which no vector register speeds up for two coordinates.
template <typename Row>
double haversine(const double* q, const Row* r, std::size_t n) {
  if (n != 2) throw_not_a_place(n);
  return central_angle(q[0], q[1], static_cast<double>(r[0]), static_cast<double>(r[1]));
}

}  // namespace portable
}  // namespace vexel::detail
