// Uses the installed headers as any C++ project would.
#include <vexel/nearest_neighbors_korel.h>
#include <vexel/parallel.h>
#include <vexel/version.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

int main() {
  using Point = std::vector<double>;
  vexel::NearestNeighborsKorel<Point> index;
  index.set_distance_function([](const Point& a, const Point& b) { return std::fabs(a[0] - b[0]); });
  for (int i = 0; i < 100; ++i) index.add({static_cast<double>(i)});
  const bool found = index.nearest({41.7}) == Point{42.0} && index.size() == 100;

  std::atomic<std::size_t> done{0};
  vexel::run_parallel(
      1000, 2, 10, [&](std::size_t begin, std::size_t end, std::size_t) { done += end - begin; }, [] {});

  // The header and the CMake package state one version.
  const bool same_version = std::strcmp(VEXEL_VERSION, PACKAGE_VERSION) == 0;
  return found && done == 1000 && same_version ? 0 : 1;
}
