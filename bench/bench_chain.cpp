// Cost of the worst case for the tree's depth: n equal points, inserted one
// by one or in one batch, form a chain one level deep per surplus point.
// Prints the time, the distance evaluations and the peak resident memory of
// each way of building it (run each mode in its own process for the peak).
//
//   bench_chain [one|batch] [n]

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vexel/nearest_neighbors_korel.h"

namespace {

using Point = std::vector<double>;

std::uint64_t evaluations = 0;

double absolute_difference(const Point& a, const Point& b) {
  ++evaluations;
  return a[0] > b[0] ? a[0] - b[0] : b[0] - a[0];
}

}  // namespace

int main(int argc, char** argv) {
  const bool batch = argc > 1 && std::strcmp(argv[1], "batch") == 0;
  const std::size_t n = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;

  const auto start = std::chrono::steady_clock::now();
  {
    vexel::NearestNeighborsKorel<Point> index;
    index.set_distance_function(absolute_difference);
    const Point equal{1.0};
    if (batch) {
      index.add_list(std::vector<Point>(n, equal));
    } else {
      for (std::size_t i = 0; i < n; ++i) index.add(equal);
    }
    if (index.size() != n) return 1;
  }  // destroyed here: the chain is torn down without recursion
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%s: %zu equal points built and destroyed in %.2f s, %llu distance evaluations, peak RSS %.1f MiB\n",
              batch ? "batch" : "one by one", n, seconds, static_cast<unsigned long long>(evaluations),
              static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}
