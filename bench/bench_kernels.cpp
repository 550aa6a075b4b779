// Benchmark of the distance kernels: nanoseconds per distance for each vector
// metric and instruction-set level, through `one` (a call per row) and `many`
// (a call per block of contiguous rows); then edit distance on short words,
// bit-parallel against the dynamic program. Best of three timings on a
// shared machine.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "vexel/edit_distance.h"
#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

namespace {

using Clock = std::chrono::steady_clock;
volatile double sink = 0.0;  // keeps the results alive

// Nanoseconds per unit of work: `run` does `units` of it; best of three.
template <typename Run>
double nanoseconds_per(std::size_t units, Run run) {
  double best = 1e300;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const auto start = Clock::now();
    run();
    const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    best = std::min(best, elapsed / static_cast<double>(units));
  }
  return best;
}

const char* metric_name(vexel::VectorMetric metric) {
  switch (metric) {
    case vexel::VectorMetric::euclidean: return "euclidean";
    case vexel::VectorMetric::manhattan: return "manhattan";
    case vexel::VectorMetric::chebyshev: return "chebyshev";
    case vexel::VectorMetric::angular: return "angular";
  }
  return "?";
}

template <typename Row>
void bench_vectors(const char* row_name, std::mt19937_64& random) {
  constexpr std::size_t kRows = 1024, kRounds = 40;
  std::uniform_real_distribution<double> coordinate(0.0, 1.0);
  std::vector<vexel::simd::Level> levels;
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level <= vexel::simd::supported()) levels.push_back(level);
  }
  std::vector<std::uint32_t> rows(kRows);
  for (std::size_t i = 0; i < kRows; ++i) rows[i] = static_cast<std::uint32_t>(i);
  std::vector<double> out(kRows);
  for (std::size_t dim : {8, 32, 64}) {
    std::vector<Row> base(kRows * dim);
    for (Row& x : base) x = static_cast<Row>(coordinate(random));
    std::vector<double> query(dim);
    for (double& x : query) x = coordinate(random);
    for (auto metric : {vexel::VectorMetric::euclidean, vexel::VectorMetric::manhattan,
                        vexel::VectorMetric::chebyshev, vexel::VectorMetric::angular}) {
      std::printf("| %s | %zu | %s |", metric_name(metric), dim, row_name);
      for (auto level : levels) {
        const auto kernel = vexel::vector_kernel<Row>(metric, level);
        const double one = nanoseconds_per(kRows * kRounds, [&] {
          double total = 0.0;
          for (std::size_t round = 0; round < kRounds; ++round) {
            for (std::size_t r = 0; r < kRows; ++r) total += kernel.one(query.data(), base.data() + r * dim, dim);
          }
          sink = total;
        });
        const double many = nanoseconds_per(kRows * kRounds, [&] {
          for (std::size_t round = 0; round < kRounds; ++round) {
            kernel.many(query.data(), base.data(), dim, rows.data(), kRows, out.data());
          }
          sink = out[kRows / 2];
        });
        std::printf(" %.1f / %.1f |", one, many);
      }
      std::printf("\n");
    }
  }
}

std::vector<std::vector<std::uint32_t>> random_words(std::mt19937_64& random, std::size_t count,
                                                     std::size_t shortest, std::size_t longest) {
  std::vector<std::vector<std::uint32_t>> words(count);
  for (auto& word : words) {
    word.resize(shortest + random() % (longest - shortest + 1));
    for (auto& c : word) c = static_cast<std::uint32_t>('a' + random() % 26);
  }
  return words;
}

// The dynamic program alone, after the same stripping of common ends.
std::size_t dynamic_program(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  std::size_t prefix, suffix;
  vexel::detail::common_ends(a.data(), a.size(), b.data(), b.size(), prefix, suffix);
  const std::size_t n = a.size() - prefix - suffix, m = b.size() - prefix - suffix;
  if (n < m) return vexel::detail::dynamic_program_distance(b.data() + prefix, m, a.data() + prefix, n, SIZE_MAX);
  return vexel::detail::dynamic_program_distance(a.data() + prefix, n, b.data() + prefix, m, SIZE_MAX);
}

void bench_words(const char* label, const std::vector<std::vector<std::uint32_t>>& queries,
                 const std::vector<std::vector<std::uint32_t>>& words) {
  const std::size_t pairs = queries.size() * words.size();
  const auto each_pair = [&](auto distance) {
    std::size_t total = 0;
    for (const auto& q : queries) {
      for (const auto& w : words) total += distance(q, w);
    }
    sink = static_cast<double>(total);
  };
  const double dp = nanoseconds_per(pairs, [&] { each_pair(dynamic_program); });
  const double free_function = nanoseconds_per(pairs, [&] {
    each_pair([](const auto& a, const auto& b) { return vexel::edit_distance(a.data(), a.size(), b.data(), b.size()); });
  });
  const double prepared = nanoseconds_per(pairs, [&] {
    std::size_t total = 0;
    for (const auto& q : queries) {
      const vexel::EditPattern<std::uint32_t> pattern(q.data(), q.size());
      for (const auto& w : words) total += pattern.distance(w.data(), w.size());
    }
    sink = static_cast<double>(total);
  });
  const double bounded = nanoseconds_per(pairs, [&] {
    std::size_t total = 0;
    for (const auto& q : queries) {
      const vexel::EditPattern<std::uint32_t> pattern(q.data(), q.size());
      for (const auto& w : words) total += pattern.distance(w.data(), w.size(), 2);
    }
    sink = static_cast<double>(total);
  });
  std::printf("| %s | %.1f | %.1f | %.1f | %.1f |\n", label, dp, free_function, prepared, bounded);
}

}  // namespace

int main() {
  std::mt19937_64 random(5489);
  std::printf("Vector kernels, ns per distance, `one` / `many` (1024 contiguous rows)\n\n");
  std::printf("| metric | dim | rows |");
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level <= vexel::simd::supported()) std::printf(" %s |", vexel::simd::name(level));
  }
  std::printf("\n|---|---:|---|%s\n", vexel::simd::supported() == vexel::simd::Level::avx512 ? "---:|---:|---:|"
                                      : vexel::simd::supported() == vexel::simd::Level::avx2 ? "---:|---:|"
                                                                                              : "---:|");
  bench_vectors<double>("double", random);
  bench_vectors<float>("float", random);

  std::printf("\nEdit distance, ns per pair: dynamic program, edit_distance (bit-parallel),\n"
              "EditPattern prepared per query, and EditPattern with limit 2\n\n");
  std::printf("| words | DP | edit_distance | EditPattern | limit 2 |\n|---|---:|---:|---:|---:|\n");
  bench_words("5-12 letters", random_words(random, 100, 5, 12), random_words(random, 2000, 5, 12));
  // A pattern over 64 elements: the shorter side gets masks per call.
  bench_words("100 vs 30-50 letters", random_words(random, 20, 100, 100), random_words(random, 500, 30, 50));
  bench_words("100 vs 100 letters", random_words(random, 20, 100, 100), random_words(random, 200, 100, 100));
  return 0;
}
