// Benchmark of the distance kernels: nanoseconds per distance for each vector
// metric and instruction-set level, through `one` (a call per row) and `many`
// (a call per block of contiguous rows); then edit distance on short words,
// bit-parallel against the dynamic program, and one pattern against a leaf
// of words at a time (EditPattern::distances) at each level. Best of three
// timings on a shared machine.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
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
  for (std::size_t dim : {3, 8, 32, 64}) {
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

// Pronounceable made-up words of `shortest` to `longest` letters, all
// distinct, like those of examples/demo.py.
std::vector<std::vector<std::uint32_t>> made_up_words(std::mt19937_64& random, std::size_t count,
                                                      std::size_t shortest, std::size_t longest) {
  static const char* const onsets[] = {"",  "b",  "br", "c",  "ch", "cl", "d",  "dr", "f", "fl", "g",
                                       "gr", "h",  "j",  "k",  "l",  "m",  "n",  "p",  "pl", "qu", "r",
                                       "s",  "sh", "sl", "st", "t",  "th", "tr", "v",  "w",  "z"};
  static const char* const vowels[] = {"a", "e", "i", "o", "u", "ai", "ea", "ee", "io", "ou", "y"};
  static const char* const codas[] = {"", "", "", "n", "r", "s", "t", "l", "m", "ng", "ck", "st", "nd"};
  static const int syllables[] = {1, 2, 2, 3, 3, 4};
  std::set<std::string> seen;
  std::vector<std::vector<std::uint32_t>> words;
  while (words.size() < count) {
    std::string word;
    for (int left = syllables[random() % 6]; left > 0; --left) {
      word += onsets[random() % 32];
      word += vowels[random() % 11];
      word += codas[random() % 13];
    }
    if (word.size() < shortest || word.size() > longest || !seen.insert(word).second) continue;
    words.emplace_back(word.begin(), word.end());
  }
  return words;
}

// One pattern against leaves of 200 words laid out in one block (as a
// StringSpace holds them): distance() word by word, then distances() a leaf
// at a time at each level.
void bench_many_texts(std::mt19937_64& random) {
  constexpr std::size_t kLeaf = 200;
  const auto queries = made_up_words(random, 200, 5, 12);
  const auto words = made_up_words(random, 2000, 5, 12);
  std::vector<std::uint32_t> block;
  std::vector<std::size_t> starts, lengths;
  for (const auto& word : words) {
    starts.push_back(block.size());
    lengths.push_back(word.size());
    block.insert(block.end(), word.begin(), word.end());
  }
  std::vector<const std::uint32_t*> texts;
  for (std::size_t start : starts) texts.push_back(block.data() + start);
  std::vector<std::size_t> out(words.size());
  const std::size_t pairs = queries.size() * words.size();
  const auto one_by_one = [&](std::size_t limit) {
    std::size_t total = 0;
    for (const auto& q : queries) {
      const vexel::EditPattern<std::uint32_t> pattern(q.data(), q.size());
      for (std::size_t i = 0; i < words.size(); ++i) total += pattern.distance(texts[i], lengths[i], limit);
    }
    sink = static_cast<double>(total);
  };
  const auto by_leaves = [&](std::size_t limit) {
    std::size_t total = 0;
    for (const auto& q : queries) {
      const vexel::EditPattern<std::uint32_t> pattern(q.data(), q.size());
      for (std::size_t i = 0; i < words.size(); i += kLeaf) {
        const std::size_t count = std::min(kLeaf, words.size() - i);
        pattern.distances(texts.data() + i, lengths.data() + i, count, limit, out.data() + i);
      }
      total += out.back();
    }
    sink = static_cast<double>(total);
  };
  const vexel::simd::Level saved = vexel::simd::active();
  for (std::size_t limit : {std::size_t{SIZE_MAX}, std::size_t{3}}) {
    if (limit == SIZE_MAX) {
      std::printf("| none |");
    } else {
      std::printf("| %zu |", limit);
    }
    std::printf(" %.1f |", nanoseconds_per(pairs, [&] { one_by_one(limit); }));
    for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
      if (level > vexel::simd::supported()) continue;
      vexel::simd::set_active(level);
      std::printf(" %.1f |", nanoseconds_per(pairs, [&] { by_leaves(limit); }));
    }
    std::printf("\n");
  }
  vexel::simd::set_active(saved);
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

  std::printf("\nEdit distance, one pattern against many texts: ns per pair, 5-12-letter made-up words,\n"
              "EditPattern::distance word by word, then EditPattern::distances a leaf of 200 at a time\n\n");
  std::printf("| limit | distance() |");
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level <= vexel::simd::supported()) std::printf(" distances(), %s |", vexel::simd::name(level));
  }
  std::printf("\n|---:|---:|%s\n", vexel::simd::supported() == vexel::simd::Level::avx512 ? "---:|---:|---:|"
                                      : vexel::simd::supported() == vexel::simd::Level::avx2 ? "---:|---:|"
                                                                                              : "---:|");
  bench_many_texts(random);
  return 0;
}
