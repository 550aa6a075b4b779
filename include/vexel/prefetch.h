// Asking for memory ahead of use: the searches and splits jump between
// stored elements that lie apart, and overlapping the cache misses is much
// of their speed.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace vexel {

// How far ahead a scan over stored elements asks for the next ones.
constexpr std::size_t prefetch_distance = 16;

inline void prefetch_address(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The data of a stored element; nothing for types it does not know.
template <typename T>
inline void prefetch(const T&) {}

template <typename Allocator>
inline void prefetch(const std::vector<double, Allocator>& point) {
  prefetch_address(point.data());
}

// A distance that can fetch a stored element into the cache itself:
// distance.prefetch(stored element).
template <typename Distance, typename Stored, typename = void>
struct prefetches_stored : std::false_type {};
template <typename Distance, typename Stored>
struct prefetches_stored<Distance, Stored,
                         std::void_t<decltype(std::declval<const Distance&>().prefetch(
                             std::declval<const Stored&>()))>> : std::true_type {};

// Through the distance when it knows how, else through `prefetch`.
template <typename Distance, typename Stored>
inline void prefetch_stored(const Distance& distance, const Stored& point) {
  if constexpr (prefetches_stored<Distance, Stored>::value) {
    distance.prefetch(point);
  } else {
    (void)distance;
    prefetch(point);
  }
}

}  // namespace vexel
