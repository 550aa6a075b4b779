// Distances between a query of doubles and stored rows of doubles or floats,
// at the instruction-set level in use (simd.h).
//
// Every level gives bit-identical results: each sum runs in one fixed order
// (vector_kernels_portable.h) with separate multiplications and additions.
// Equal elements differ by exactly 0 (equal infinities too); a NaN
// coordinate gives NaN, except for angular, which throws
// std::invalid_argument on any coordinate that is not finite.
//
// haversine measures places of 2 coordinates, (latitude, longitude) in
// radians, by their central angle in radians (multiply by the Earth's radius,
// e.g. 6371.0088 km, for a distance); other dimensions throw
// std::invalid_argument.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "vexel/detail/vector_kernels_avx2.h"
#include "vexel/detail/vector_kernels_avx512.h"
#include "vexel/detail/vector_kernels_portable.h"
#include "vexel/simd.h"

namespace vexel {

enum class VectorMetric { euclidean, manhattan, chebyshev, angular, haversine };

template <typename Row>
struct VectorKernel {
  // The distance between `query` and `row`, both of `dim` coordinates.
  double (*one)(const double* query, const Row* row, std::size_t dim);
  // out[i] = one(query, base + std::size_t{rows[i]} * dim, dim) for i < count:
  // one dispatched call for a whole leaf.
  void (*many)(const double* query, const Row* base, std::size_t dim, const std::uint32_t* rows,
               std::size_t count, double* out);
};

namespace detail {

template <typename Row, double (*One)(const double*, const Row*, std::size_t)>
void many_portable(const double* q, const Row* base, std::size_t dim, const std::uint32_t* rows,
                   std::size_t count, double* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = One(q, base + std::size_t{rows[i]} * dim, dim);
}

// One kernel for every level, so that every level gives the same angles.
template <typename Row>
VectorKernel<Row> haversine_kernel() {
  return {portable::haversine<Row>, many_portable<Row, portable::haversine<Row>>};
}

template <typename Row>
VectorKernel<Row> portable_kernel(VectorMetric metric) {
  switch (metric) {
    case VectorMetric::euclidean:
      return {portable::euclidean<Row>, many_portable<Row, portable::euclidean<Row>>};
    case VectorMetric::manhattan:
      return {portable::manhattan<Row>, many_portable<Row, portable::manhattan<Row>>};
    case VectorMetric::chebyshev:
      return {portable::chebyshev<Row>, many_portable<Row, portable::chebyshev<Row>>};
    case VectorMetric::angular:
      return {portable::angular<Row>, many_portable<Row, portable::angular<Row>>};
    case VectorMetric::haversine:
      return haversine_kernel<Row>();
  }
  throw std::invalid_argument("vexel::vector_kernel: unknown metric");
}

#if VEXEL_SIMD_X86
template <typename Row>
VectorKernel<Row> avx2_kernel(VectorMetric metric) {
  switch (metric) {
    case VectorMetric::euclidean:
      return {avx2::euclidean<Row>, avx2::many_euclidean<Row>};
    case VectorMetric::manhattan:
      return {avx2::manhattan<Row>, avx2::many<Row, avx2::manhattan<Row>>};
    case VectorMetric::chebyshev:
      return {avx2::chebyshev<Row>, avx2::many<Row, avx2::chebyshev<Row>>};
    case VectorMetric::angular:
      return {avx2::angular<Row>, avx2::many<Row, avx2::angular<Row>>};
    case VectorMetric::haversine:
      return haversine_kernel<Row>();
  }
  throw std::invalid_argument("vexel::vector_kernel: unknown metric");
}

template <typename Row>
VectorKernel<Row> avx512_kernel(VectorMetric metric) {
  switch (metric) {
    case VectorMetric::euclidean:
      return {avx512::euclidean<Row>, avx512::many_euclidean<Row>};
    case VectorMetric::manhattan:
      return {avx512::manhattan<Row>, avx512::many<Row, avx512::manhattan<Row>>};
    case VectorMetric::chebyshev:
      return {avx512::chebyshev<Row>, avx512::many<Row, avx512::chebyshev<Row>>};
    case VectorMetric::angular:
      return {avx512::angular<Row>, avx512::many<Row, avx512::angular<Row>>};
    case VectorMetric::haversine:
      return haversine_kernel<Row>();
  }
  throw std::invalid_argument("vexel::vector_kernel: unknown metric");
}
#endif

}  // namespace detail

// The kernel of `metric` for `level`; throws std::invalid_argument above
// simd::supported().
template <typename Row>
VectorKernel<Row> vector_kernel(VectorMetric metric, simd::Level level) {
  if (level > simd::supported()) {
    throw std::invalid_argument(std::string("vexel::vector_kernel: SIMD level ") + simd::name(level) +
                                " is not supported here");
  }
#if VEXEL_SIMD_X86
  if (level == simd::Level::avx512) return detail::avx512_kernel<Row>(metric);
  if (level == simd::Level::avx2) return detail::avx2_kernel<Row>(metric);
#else
  (void)level;
#endif
  return detail::portable_kernel<Row>(metric);
}

// The kernel of `metric` for simd::active() at the time of the call, from a
// table made once: a lookup per call instead of a dispatch.
template <typename Row>
VectorKernel<Row> vector_kernel(VectorMetric metric) {
  constexpr std::size_t levels = 3, metrics = 5;
  static const std::array<VectorKernel<Row>, levels * metrics> table = [] {
    std::array<VectorKernel<Row>, levels * metrics> kernels{};
    for (std::size_t level = 0; level < levels; ++level) {
      const auto chosen = static_cast<simd::Level>(level) > simd::supported()
                              ? simd::supported()
                              : static_cast<simd::Level>(level);
      for (std::size_t m = 0; m < metrics; ++m) {
        kernels[level * metrics + m] = vector_kernel<Row>(static_cast<VectorMetric>(m), chosen);
      }
    }
    return kernels;
  }();
  return table[static_cast<std::size_t>(simd::active()) * metrics + static_cast<std::size_t>(metric)];
}

// Distances between two points of n doubles at the active level.
inline double euclidean_distance(const double* a, const double* b, std::size_t n) {
  return vector_kernel<double>(VectorMetric::euclidean).one(a, b, n);
}
inline double manhattan_distance(const double* a, const double* b, std::size_t n) {
  return vector_kernel<double>(VectorMetric::manhattan).one(a, b, n);
}
inline double chebyshev_distance(const double* a, const double* b, std::size_t n) {
  return vector_kernel<double>(VectorMetric::chebyshev).one(a, b, n);
}
inline double angular_distance(const double* a, const double* b, std::size_t n) {
  return vector_kernel<double>(VectorMetric::angular).one(a, b, n);
}
inline double haversine_distance(const double* a, const double* b, std::size_t n) {
  return vector_kernel<double>(VectorMetric::haversine).one(a, b, n);
}

}  // namespace vexel
