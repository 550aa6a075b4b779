// Uses the installed headers as any C++ project would.
#include <vexel/nearest_neighbors_korel.h>

#include <cmath>
#include <vector>

int main() {
  using Point = std::vector<double>;
  vexel::NearestNeighborsKorel<Point> index;
  index.set_distance_function([](const Point& a, const Point& b) { return std::fabs(a[0] - b[0]); });
  for (int i = 0; i < 100; ++i) index.add({static_cast<double>(i)});
  return index.nearest({41.7}) == Point{42.0} && index.size() == 100 ? 0 : 1;
}
