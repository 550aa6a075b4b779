// The interface every nearest-neighbour structure of vexel implements.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace vexel {

// A structure over points of type `T` that answers nearest, k-nearest and
// radius queries under a caller-supplied distance function.
template <typename T>
class NearestNeighbors {
 public:
  using DistanceFunction = std::function<double(const T&, const T&)>;

  virtual ~NearestNeighbors() = default;

  // Installs the metric. Structures whose contents depend on distances
  // override this to rebuild themselves.
  virtual void set_distance_function(const DistanceFunction& function) {
    DistanceFunction copy(function);
    distance_function.swap(copy);  // the old function dies with `copy`
  }

  virtual bool reports_sorted_results() const = 0;
  virtual void clear() = 0;
  virtual void add(const T& point) = 0;

  // Inserts in vector order, through the virtual `add`, so a structure whose
  // layout depends on insertion order sees the same order as single adds.
  virtual void add_list(const std::vector<T>& points) {
    for (const T& point : points) add(point);
  }

  virtual bool remove(const T& point) = 0;
  virtual T nearest(const T& query) const = 0;
  virtual void nearest_k(const T& query, std::size_t k, std::vector<T>& result) const = 0;
  virtual void nearest_r(const T& query, double radius, std::vector<T>& result) const = 0;
  virtual std::size_t size() const = 0;
  virtual void list(std::vector<T>& result) const = 0;

  // The structure's own copy of the metric; empty until one is installed.
  DistanceFunction distance_function;
};

}  // namespace vexel
