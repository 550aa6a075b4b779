// Memory of a bulk build: float32 rows of uniform random points added to an
// empty RowIndex in one batch, as korel.Index.add_many does. Reports the
// growth of the resident set at its peak and at the end (over the resident
// set once the input exists), the raw rows, the build time, and a digest of
// the exported tree, so that two builds can be checked to give one tree.
//
//   bench_build_memory [--rows 5000000] [--dim 8] [--workers 2]
//
// Run it once per measurement: the peak is the process's.
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vexel/row_index.h"
#include "vexel/vector_space.h"

namespace {

double megabytes(double bytes) { return bytes / (1024.0 * 1024.0); }

// The resident set now, in bytes (Linux).
double resident_now() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * 4096.0;
}

// The largest resident set so far, in bytes.
double resident_peak() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) * 1024.0;
}

// FNV-1a over the bytes of every array of the record, in a fixed order.
std::uint64_t digest(const vexel::TreeRecord& record) {
  std::uint64_t hash = 1469598103934665603ULL;
  const auto mix = [&](const void* data, std::size_t bytes) {
    const auto* byte = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) hash = (hash ^ byte[i]) * 1099511628211ULL;
  };
  const auto mix_vector = [&](const auto& values) { mix(values.data(), values.size() * sizeof(values[0])); };
  mix_vector(record.node_pivot);
  mix_vector(record.node_children);
  mix_vector(record.node_degree);
  mix_vector(record.node_min_radius);
  mix_vector(record.node_max_radius);
  mix_vector(record.node_ranges);
  mix_vector(record.node_bucket);
  mix_vector(record.node_box);
  mix_vector(record.range_low);
  mix_vector(record.range_high);
  mix_vector(record.bucket_rows);
  mix_vector(record.bucket_distances);
  mix_vector(record.boxes);
  mix_vector(record.generator);
  return hash;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t rows = 5000000, dim = 8, workers = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::size_t value = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--rows") == 0) rows = value;
    else if (std::strcmp(argv[i], "--dim") == 0) dim = value;
    else if (std::strcmp(argv[i], "--workers") == 0) workers = value;
  }

  std::vector<double> points(rows * dim);
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  for (double& x : points) x = coordinate(random);

  vexel::RowIndex<vexel::VectorSpace<float>> index(vexel::VectorMetric::euclidean, dim);
  index.build_workers = workers;
  const double before = resident_now();
  const auto start = std::chrono::steady_clock::now();
  index.add(nullptr, rows, [&](vexel::VectorSpace<float>& space) {
    space.reserve(rows);
    space.append(points.data(), rows);
  });
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double after = resident_now();
  const double peak = resident_peak();

  const double raw = static_cast<double>(rows * dim * sizeof(float));
  const auto record = index.export_tree();
  std::printf("rows %zu x %zu float32, %zu workers: build %.2f s\n", rows, dim, workers, seconds);
  std::printf("raw rows %.0f MB; growth: peak %.0f MB, final %.0f MB (raw + %.1f bytes a row)\n", megabytes(raw),
              megabytes(peak - before), megabytes(after - before),
              (after - before - raw) / static_cast<double>(rows));
  std::printf("tree: %zu nodes, digest %016llx\n", record ? record->nodes() : 0,
              static_cast<unsigned long long>(record ? digest(*record) : 0));
  return 0;
}
