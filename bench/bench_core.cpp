// Benchmark of the core index: native Euclidean distance over uniform random
// points. For each dimension and size it reports the batch build time and,
// per query, the distance evaluations, their share of n and the time of
// nearest_k (k = 1, k = 10) and nearest_r (a radius that holds about ten
// Points), next to a brute-force scan of the same queries.
//
//   bench_core [--dims 2,8,32] [--sizes 10000,100000,1000000] [--queries 200]
//              [--large-queries 50]
//
// Sizes of 10^6 and more use --large-queries queries (brute force is slow).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "vexel/nearest_neighbors_korel.h"

namespace {

using Point = std::vector<double>;
using Clock = std::chrono::steady_clock;

std::uint64_t evaluations = 0;  // distance calls, for the index and brute force alike

double euclidean(const Point& a, const Point& b) {
  ++evaluations;
  double sum = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = a[i] - b[i];
    sum += d * d;
  }
  return std::sqrt(sum);
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<Point> uniform_points(std::size_t count, std::size_t dims, std::mt19937_64& random) {
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  std::vector<Point> points(count, Point(dims));
  for (Point& p : points) {
    for (double& x : p) x = coordinate(random);
  }
  return points;
}

std::vector<std::size_t> parse_list(const char* text) {
  std::vector<std::size_t> values;
  std::string item;
  for (const char* c = text;; ++c) {
    if (*c == ',' || *c == '\0') {
      if (!item.empty()) values.push_back(static_cast<std::size_t>(std::stoull(item)));
      item.clear();
      if (*c == '\0') break;
    } else {
      item += *c;
    }
  }
  return values;
}

// Brute force, through the same std::function the index calls.
using Distance = std::function<double(const Point&, const Point&)>;

std::vector<Point> brute_k(const std::vector<Point>& points, const Point& q, std::size_t k,
                           const Distance& distance) {
  std::priority_queue<std::pair<double, std::size_t>> best;  // max-heap of the k nearest
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double d = distance(q, points[i]);
    if (best.size() < k) {
      best.emplace(d, i);
    } else if (d < best.top().first) {
      best.pop();
      best.emplace(d, i);
    }
  }
  std::vector<Point> result(best.size());
  for (std::size_t i = best.size(); i-- > 0; best.pop()) result[i] = points[best.top().second];
  return result;
}

std::vector<Point> brute_r(const std::vector<Point>& points, const Point& q, double radius,
                           const Distance& distance) {
  std::vector<std::pair<double, std::size_t>> hits;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double d = distance(q, points[i]);
    if (d <= radius) hits.emplace_back(d, i);
  }
  std::sort(hits.begin(), hits.end());
  std::vector<Point> result;
  result.reserve(hits.size());
  for (const auto& hit : hits) result.push_back(points[hit.second]);
  return result;
}

// The median, over a few sample queries, of the distance to the 10th
// nearest Point: a radius that holds about ten Points.
double radius_for_ten(const std::vector<Point>& points, std::size_t dims, std::mt19937_64& random,
                      const Distance& distance) {
  std::vector<double> tenth;
  for (const Point& q : uniform_points(15, dims, random)) {
    tenth.push_back(distance(q, brute_k(points, q, 10, distance).back()));
  }
  std::sort(tenth.begin(), tenth.end());
  return tenth[tenth.size() / 2];
}

struct Measure {
  double evaluations = 0;  // mean per query
  double micros = 0;       // mean per query
  double results = 0;      // mean result size
  std::vector<std::vector<Point>> answers;  // to check the index against brute force
};

template <typename Query>
Measure measure(const std::vector<Point>& queries, Query query) {
  std::vector<std::vector<Point>> answers(queries.size());
  const std::uint64_t before = evaluations;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < queries.size(); ++i) query(queries[i], answers[i]);
  const double elapsed = seconds_since(start);
  const auto n = static_cast<double>(queries.size());
  double results = 0;
  for (const auto& answer : answers) results += static_cast<double>(answer.size());
  return Measure{static_cast<double>(evaluations - before) / n, elapsed * 1e6 / n, results / n,
                 std::move(answers)};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> dims_list{2, 8, 32};
  std::vector<std::size_t> sizes{10000, 100000, 1000000};
  std::size_t query_count = 200;
  std::size_t large_query_count = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--dims") == 0) {
      dims_list = parse_list(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--sizes") == 0) {
      sizes = parse_list(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--queries") == 0) {
      query_count = static_cast<std::size_t>(std::stoull(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--large-queries") == 0) {
      large_query_count = static_cast<std::size_t>(std::stoull(argv[i + 1]));
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: bench_core [--dims 2,8,32] [--sizes 10000,100000,1000000] "
                 "[--queries 200] [--large-queries 50]\n");
    return 2;
  }

  const Distance distance = euclidean;
  const auto run_start = Clock::now();
  std::printf("| dims | n | build (s) | query | queries | evals/query | evals/n | time/query (us) | brute (us) | speed-up | results | exact |\n");
  std::printf("|---:|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|---|\n");
  for (std::size_t dims : dims_list) {
    for (std::size_t n : sizes) {
      std::mt19937_64 random(20240601 + dims * 1000003 + n);
      const auto points = uniform_points(n, dims, random);
      const auto queries = uniform_points(n >= 1000000 ? large_query_count : query_count, dims, random);
      const double radius = radius_for_ten(points, dims, random, distance);

      vexel::NearestNeighborsKorel<Point> index;
      index.set_distance_function(distance);
      const auto build_start = Clock::now();
      index.add_list(points);
      const double build = seconds_since(build_start);

      struct Row {
        std::string name;
        Measure tree;
        Measure brute;
      };
      std::vector<Row> rows;
      for (std::size_t k : {std::size_t{1}, std::size_t{10}}) {
        rows.push_back(Row{
            "nearest_k k=" + std::to_string(k),
            measure(queries, [&](const Point& q, std::vector<Point>& out) { index.nearest_k(q, k, out); }),
            measure(queries, [&](const Point& q, std::vector<Point>& out) { out = brute_k(points, q, k, distance); })});
      }
      char radius_name[64];
      std::snprintf(radius_name, sizeof radius_name, "nearest_r r=%.4g", radius);
      rows.push_back(Row{
          radius_name,
          measure(queries, [&](const Point& q, std::vector<Point>& out) { index.nearest_r(q, radius, out); }),
          measure(queries, [&](const Point& q, std::vector<Point>& out) { out = brute_r(points, q, radius, distance); })});

      for (const Row& row : rows) {
        std::printf("| %zu | %zu | %.3f | %s | %zu | %.0f | %.4f | %.1f | %.1f | %.1fx | %.1f | %s |\n", dims,
                    n, build, row.name.c_str(), queries.size(), row.tree.evaluations,
                    row.tree.evaluations / static_cast<double>(n), row.tree.micros, row.brute.micros,
                    row.brute.micros / row.tree.micros, row.tree.results,
                    row.tree.answers == row.brute.answers ? "yes" : "NO");
      }
      std::fflush(stdout);
    }
  }
  std::printf("\nTotal run time: %.1f s\n", seconds_since(run_start));
  return 0;
}
