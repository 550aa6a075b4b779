// Benchmark of the streaming scan against the tree, on one thread: a batch
// of queries answered by RowIndex::nearest one by one, then by VectorScan
// (its preparation included), on the vector cases of `make bench`, in
// processor time per query. For each
// it reports the share of rows the tree measures, what the tree-or-scan
// rule chooses from the first queries, both times, and whether the answers
// agree to the bit.
//
//   bench_scan [--rows 100000] [--queries 1000] [--k 10] [--float]
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "vexel/row_index.h"
#include "vexel/vector_scan.h"
#include "vexel/vector_space.h"

namespace {

struct Data {
  std::vector<double> rows, queries;
};

Data uniform(std::size_t dim, std::size_t n, std::size_t queries) {
  std::mt19937_64 random(20261208 + dim);
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  Data data{std::vector<double>(n * dim), std::vector<double>(queries * dim)};
  for (double& x : data.rows) x = coordinate(random);
  for (double& x : data.queries) x = coordinate(random);
  return data;
}

// Cluster centres spread wide, points close around them (the shape of
// embeddings); queries from the same mixture.
Data mixture(std::size_t dim, std::size_t n, std::size_t queries, std::size_t clusters = 100) {
  std::mt19937_64 random(20261209 + dim);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> spread_of(0.1, 0.4);
  std::uniform_int_distribution<std::size_t> cluster(0, clusters - 1);
  std::vector<double> centres(clusters * dim), spread(clusters);
  for (double& x : centres) x = normal(random);
  for (double& s : spread) s = spread_of(random);
  const auto draw = [&](std::size_t count) {
    std::vector<double> values(count * dim);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t c = cluster(random);
      for (std::size_t j = 0; j < dim; ++j) values[i * dim + j] = centres[c * dim + j] + normal(random) * spread[c];
    }
    return values;
  };
  Data data;
  data.rows = draw(n);
  data.queries = draw(queries);
  return data;
}

// Processor time, not wall time: the machine is shared, and one thread runs.
double seconds_since(std::clock_t start) { return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC; }

template <typename Scalar>
void run(const char* name, vexel::VectorMetric metric, std::size_t dim, const Data& data, std::size_t k) {
  using Rows = vexel::RowIndex<vexel::VectorSpace<Scalar>>;
  using Neighbor = typename Rows::Neighbor;
  const std::size_t n = data.rows.size() / dim, count = data.queries.size() / dim;
  Rows index(metric, dim);
  index.add(nullptr, n, [&](vexel::VectorSpace<Scalar>& space) { space.append(data.rows.data(), n); });

  typename Rows::Neighbors neighbors;
  typename Rows::SearchScratch scratch;
  std::vector<std::vector<Neighbor>> tree(count);
  std::uint64_t measured = 0, probed = 0;
  const std::size_t probes = std::min(count, vexel::scan_probe_queries);
  for (std::size_t q = 0; q < count; ++q) {
    const std::uint64_t one = vexel::nearest_counted(index, data.queries.data() + q * dim, k, tree[q], neighbors, scratch);
    measured += one;
    if (q < probes) probed += one;
  }
  const bool scan_chosen = vexel::prefers_scan(probed, probes, n, dim);

  auto start = std::clock();
  for (std::size_t q = 0; q < count; ++q) index.nearest(data.queries.data() + q * dim, k, tree[q], neighbors, scratch);
  const double tree_seconds = seconds_since(start);

  start = std::clock();
  const auto scan = vexel::VectorScan<Scalar>::of(index);
  std::vector<std::vector<Neighbor>> scanned;
  vexel::ScanCounts counts;
  scan.nearest(data.queries.data(), count, k, scanned, &counts);
  const double scan_seconds = seconds_since(start);

  bool same = scanned.size() == tree.size();
  for (std::size_t q = 0; same && q < count; ++q) {
    same = scanned[q].size() == tree[q].size();
    for (std::size_t i = 0; same && i < tree[q].size(); ++i) {
      same = std::memcmp(&scanned[q][i].distance, &tree[q][i].distance, sizeof(double)) == 0 &&
             scanned[q][i].stored == tree[q][i].stored;
    }
  }
  std::printf("| %s | %s | %zu | %zu | %.3f | %s | %.3f | %.3f | %.1fx | %.4f | %s |\n", name,
              sizeof(Scalar) == 4 ? "float32" : "float64", n, count,
              static_cast<double>(measured) / static_cast<double>(count * n), scan_chosen ? "scan" : "tree",
              tree_seconds * 1e3 / static_cast<double>(count), scan_seconds * 1e3 / static_cast<double>(count),
              tree_seconds / scan_seconds, static_cast<double>(counts.measured) / static_cast<double>(counts.pairs),
              same ? "yes" : "NO");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 100000, queries = 1000, k = 10;
  bool single = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--float") == 0) {
      single = true;
    } else if (i + 1 < argc && std::strcmp(argv[i], "--rows") == 0) {
      n = std::strtoull(argv[++i], nullptr, 10);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--queries") == 0) {
      queries = std::strtoull(argv[++i], nullptr, 10);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--k") == 0) {
      k = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: bench_scan [--rows 100000] [--queries 1000] [--k 10] [--float]\n");
      return 2;
    }
  }
  std::printf("k = %zu, one thread, SIMD level %s\n\n", k, vexel::simd::name(vexel::simd::active()));
  std::printf("| case | rows as | n | queries | tree measures | rule picks | tree ms/query | scan ms/query | "
              "scan speed-up | scan measures | same answers |\n");
  std::printf("|---|---|---:|---:|---:|---|---:|---:|---:|---:|---|\n");
  struct Case {
    const char* name;
    vexel::VectorMetric metric;
    std::size_t dim;
    std::function<Data()> make;
  };
  const std::vector<Case> cases{
      {"uniform 8-d", vexel::VectorMetric::euclidean, 8, [&] { return uniform(8, n, queries); } },
      {"uniform 32-d", vexel::VectorMetric::euclidean, 32, [&] { return uniform(32, n, queries); } },
      {"Gaussian mixture 128-d", vexel::VectorMetric::euclidean, 128, [&] { return mixture(128, n, queries); } },
      // The tree is slow here: a tenth of the queries.
      {"uniform 32-d, angular", vexel::VectorMetric::angular, 32,
       [&] { return uniform(32, n, std::max<std::size_t>(queries / 10, 1)); }},
  };
  for (const Case& c : cases) {
    const Data data = c.make();
    if (single) {
      run<float>(c.name, c.metric, c.dim, data, k);
    } else {
      run<double>(c.name, c.metric, c.dim, data, k);
    }
  }
  return 0;
}
