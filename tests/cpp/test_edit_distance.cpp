// Edit distance: the bit-parallel and bounded paths against the full
// dynamic-programming table, for code points and for doubles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vexel/edit_distance.h"

namespace {

using vexel_test::table_distance;

// Alphabets with ASCII, non-ASCII and above-0xFFFF code points; for doubles,
// NaN, both zeros, small integers (the direct table) and other values.
template <typename Char>
std::vector<std::vector<Char>> alphabets();
template <>
std::vector<std::vector<std::uint32_t>> alphabets() {
  return {{'a'}, {'a', 'b'}, {'a', 0xE9, 0x4E2D, 0x1F600, 0x10FFFF}, {'x', 0xFF, 0x100, 0x101, 0xFFFFFFFF}};
}
template <>
std::vector<std::vector<double>> alphabets() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  return {{0.0, -0.0}, {1.0, 2.0}, {0.0, -0.0, nan, 2.0, 2.5, 97.0, 255.0, 256.0, -4.0, 1e300}};
}

template <typename Char>
std::vector<Char> random_sequence(std::mt19937& random, const std::vector<Char>& alphabet, std::size_t n) {
  std::vector<Char> s(n);
  for (Char& c : s) c = alphabet[random() % alphabet.size()];
  return s;
}

// A few random edits of s: shares most of its prefix and suffix.
template <typename Char>
std::vector<Char> mutated(std::mt19937& random, const std::vector<Char>& alphabet, std::vector<Char> s) {
  for (int edits = static_cast<int>(random() % 6); edits > 0; --edits) {
    const std::size_t at = s.empty() ? 0 : random() % s.size();
    const Char c = alphabet[random() % alphabet.size()];
    switch (random() % 3) {
      case 0: s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), c); break;
      case 1: if (!s.empty()) s.erase(s.begin() + static_cast<std::ptrdiff_t>(at)); break;
      default: if (!s.empty()) s[at] = c; break;
    }
  }
  return s;
}

// Every entry point, both ways round, unbounded and with limits below, at
// and above the distance.
template <typename Char>
void expect_distance(const std::vector<Char>& a, const std::vector<Char>& b) {
  const std::size_t expected = table_distance(a, b);
  const vexel::EditPattern<Char> pattern_a(a.data(), a.size()), pattern_b(b.data(), b.size());
  const auto all = [&](std::size_t limit) {
    return std::vector<std::size_t>{vexel::edit_distance(a.data(), a.size(), b.data(), b.size(), limit),
                                    vexel::edit_distance(b.data(), b.size(), a.data(), a.size(), limit),
                                    pattern_a.distance(b.data(), b.size(), limit),
                                    pattern_b.distance(a.data(), a.size(), limit)};
  };
  for (std::size_t got : all(SIZE_MAX)) ASSERT_EQ(got, expected) << a.size() << " x " << b.size();
  for (std::size_t limit : {std::size_t{0}, expected / 2, expected - 1, expected, expected + 1}) {
    if (limit == SIZE_MAX) continue;  // expected - 1 for a distance of 0
    for (std::size_t got : all(limit)) {
      if (expected <= limit) {
        ASSERT_EQ(got, expected) << "limit " << limit;
      } else {
        ASSERT_GT(got, limit) << "distance " << expected;
      }
    }
  }
}

template <typename Char>
class EditDistance : public ::testing::Test {};
using CharTypes = ::testing::Types<std::uint32_t, double>;
TYPED_TEST_SUITE(EditDistance, CharTypes);

TYPED_TEST(EditDistance, EqualsTheTableAcrossTheWordBoundary) {
  using Char = TypeParam;
  std::mt19937 random(1);
  const std::size_t lengths[] = {0, 1, 63, 64, 65, 200};
  for (const auto& alphabet : alphabets<Char>()) {
    for (std::size_t n : lengths) {
      for (std::size_t m : lengths) {
        const std::vector<Char> a = random_sequence(random, alphabet, n);
        expect_distance(a, random_sequence(random, alphabet, m));
        // Near copies: the common prefix and suffix are stripped first.
        expect_distance(a, mutated(random, alphabet, a));
      }
    }
  }
}

TYPED_TEST(EditDistance, EqualsTheTableOnRandomPairs) {
  using Char = TypeParam;
  std::mt19937 random(2);
  for (const auto& alphabet : alphabets<Char>()) {
    for (int repeat = 0; repeat < 300; ++repeat) {
      const std::vector<Char> a = random_sequence(random, alphabet, random() % 140);
      expect_distance(a, random() % 2 ? mutated(random, alphabet, a)
                                      : random_sequence(random, alphabet, random() % 140));
    }
  }
}

TEST(EditDistanceDoubles, NanMatchesNothingAndZerosMatchEachOther) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<double> nans = {nan, nan}, zeros = {0.0, -0.0, 0.0}, negative_zeros = {-0.0, 0.0, -0.0};
  EXPECT_EQ(vexel::edit_distance(nans.data(), 2, nans.data(), 2), 2u);
  EXPECT_EQ(vexel::EditPattern<double>(nans.data(), 2).distance(nans.data(), 2), 2u);
  EXPECT_EQ(vexel::edit_distance(zeros.data(), 3, negative_zeros.data(), 3), 0u);
  EXPECT_EQ(vexel::EditPattern<double>(zeros.data(), 3).distance(negative_zeros.data(), 3), 0u);
}

TEST(EditDistancePattern, ThreadsShareOneConstPattern) {
  std::mt19937 random(3);
  const std::vector<std::uint32_t> alphabet = {'a', 'b', 0x4E2D, 0x1F600};
  const std::vector<std::uint32_t> word = random_sequence(random, alphabet, 40);
  std::vector<std::vector<std::uint32_t>> texts;
  for (int i = 0; i < 200; ++i) texts.push_back(mutated(random, alphabet, word));
  const vexel::EditPattern<std::uint32_t> pattern(word.data(), word.size());
  std::vector<std::size_t> results[2];
  std::vector<std::thread> threads;
  for (auto& result : results) {
    threads.emplace_back([&] {
      for (const auto& text : texts) result.push_back(pattern.distance(text.data(), text.size()));
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::size_t expected = table_distance(word, texts[i]);
    EXPECT_EQ(results[0][i], expected);
    EXPECT_EQ(results[1][i], expected);
  }
}

TEST(HammingDistance, CountsDifferingPositions) {
  std::mt19937 random(4);
  for (std::size_t n : {0, 1, 7, 64, 100}) {
    const auto a = random_sequence<std::uint32_t>(random, {'a', 'b', 0x1F600}, n);
    const auto b = random_sequence<std::uint32_t>(random, {'a', 'b', 0x1F600}, n);
    std::size_t expected = 0;
    for (std::size_t i = 0; i < n; ++i) expected += a[i] != b[i] ? 1 : 0;
    EXPECT_EQ(vexel::hamming_distance(a.data(), b.data(), n), expected);
  }
}

}  // namespace
