// One pattern against many texts (EditPattern::distances) on every SIMD
// level, against the dynamic program; then the string space's leaf scans
// (StringSpace::batch) and whole searches over strings against brute force.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.h"
#include "vexel/edit_distance.h"
#include "vexel/row_index.h"
#include "vexel/simd.h"
#include "vexel/string_space.h"

namespace {

using vexel_test::table_distance;

using Word = std::vector<std::uint32_t>;

std::vector<vexel::simd::Level> levels() {
  std::vector<vexel::simd::Level> available;
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level <= vexel::simd::supported()) available.push_back(level);
  }
  return available;
}

// Restores the level the tests started with.
struct LevelGuard {
  vexel::simd::Level saved = vexel::simd::active();
  ~LevelGuard() { vexel::simd::set_active(saved); }
};

Word random_word(std::mt19937& random, const Word& alphabet, std::size_t length) {
  Word word(length);
  for (auto& c : word) c = alphabet[random() % alphabet.size()];
  return word;
}

// Texts for one call: random ones of mixed lengths (so that lanes end at
// different columns), near copies of the pattern (small distances, common
// ends) and, now and then, a long one, sometimes of elements the pattern
// lacks (a lane that stops early at a large value).
std::vector<Word> texts_for(std::mt19937& random, const Word& alphabet, const Word& pattern, std::size_t count) {
  const Word elsewhere = {'z', 0x3042};  // in no alphabet
  std::vector<Word> texts;
  for (std::size_t i = 0; i < count; ++i) {
    if (random() % 8 == 0) {
      texts.push_back(random_word(random, random() % 2 ? alphabet : elsewhere, 100 + random() % 200));
    } else if (random() % 2 == 0) {
      texts.push_back(random_word(random, alphabet, random() % 71));
    } else {
      Word near = pattern;
      for (int edits = static_cast<int>(random() % 4); edits > 0 && !near.empty(); --edits) {
        near[random() % near.size()] = alphabet[random() % alphabet.size()];
        if (random() % 2 == 0) near.erase(near.begin() + static_cast<std::ptrdiff_t>(random() % near.size()));
      }
      texts.push_back(near);
    }
  }
  return texts;
}

// On every level: the same results, each the distance where it is within
// the limit (as distance() gives it) and above the limit elsewhere.
void expect_distances(const Word& pattern, const std::vector<Word>& texts, const std::vector<std::size_t>& expected,
                      std::size_t limit) {
  const vexel::EditPattern<std::uint32_t> prepared(pattern.data(), pattern.size());
  std::vector<const std::uint32_t*> starts;
  std::vector<std::size_t> lengths;
  for (const Word& text : texts) {
    starts.push_back(text.data());
    lengths.push_back(text.size());
  }
  LevelGuard guard;
  std::vector<std::size_t> first;
  for (auto level : levels()) {
    vexel::simd::set_active(level);
    std::vector<std::size_t> out(texts.size() + 1, 12345);  // one past the end, never written
    prepared.distances(starts.data(), lengths.data(), texts.size(), limit, out.data());
    ASSERT_EQ(out.back(), 12345u);
    out.pop_back();
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (expected[i] <= limit) {
        ASSERT_EQ(out[i], expected[i]) << vexel::simd::name(level) << " text " << i << " limit " << limit;
        ASSERT_EQ(prepared.distance(starts[i], lengths[i], limit), expected[i]);
      } else {
        ASSERT_GT(out[i], limit) << vexel::simd::name(level) << " text " << i << " distance " << expected[i];
      }
    }
    if (first.empty()) first = out;
    ASSERT_EQ(out, first) << vexel::simd::name(level) << " differs from " << vexel::simd::name(levels()[0]);
  }
}

TEST(EditDistances, EqualTheTableOnEveryLevel) {
  std::mt19937 random(11);
  const std::vector<Word> alphabets = {
      {'a'}, {'a', 'b'}, {'a', 0xE9, 0x4E2D, 0x1F600, 0x10FFFF}, {'x', 0, 0xFF, 0x100, 0x101, 0xFFFFFFFF}};
  for (const Word& alphabet : alphabets) {
    for (std::size_t m : {0, 1, 2, 7, 12, 31, 63, 64, 65, 70}) {
      const Word pattern = random_word(random, alphabet, m);
      for (std::size_t count : {0, 1, 3, 5, 8, 9, 17}) {
        const std::vector<Word> texts = texts_for(random, alphabet, pattern, count);
        std::vector<std::size_t> expected;
        for (const Word& text : texts) expected.push_back(table_distance(pattern, text));
        std::vector<std::size_t> limits = {SIZE_MAX, 0, 3};
        for (std::size_t i = 0; i < texts.size(); ++i) {
          // Below, at and above some of the distances; and halfway from the
          // length difference, where a lane stops well before its text ends.
          const std::size_t d = expected[i], least = std::max(m, texts[i].size()) - std::min(m, texts[i].size());
          if (random() % 3 == 0) limits.insert(limits.end(), {d == 0 ? 0 : d - 1, d, d + 1, (least + d) / 2});
        }
        for (std::size_t limit : limits) expect_distances(pattern, texts, expected, limit);
      }
    }
  }
}

TEST(StringSpace, BatchesMeasureAsRowByRow) {
  std::mt19937 random(12);
  const Word alphabet = {'a', 'b', 'c', 0xE9, 0x1F600};
  for (auto metric : {vexel::StringMetric::levenshtein, vexel::StringMetric::hamming}) {
    vexel::StringSpace space(metric);
    const bool hamming = metric == vexel::StringMetric::hamming;
    for (int i = 0; i < 300; ++i) {
      const Word word = random_word(random, alphabet, hamming ? 9 : random() % 20);
      space.append(word.data(), word.size());
    }
    const Word text = random_word(random, alphabet, 9);
    const vexel::StringSpace::Query query(text.data(), text.size());
    std::vector<std::uint32_t> rows(300);
    for (auto& r : rows) r = static_cast<std::uint32_t>(random() % 300);
    LevelGuard guard;
    for (auto level : levels()) {
      vexel::simd::set_active(level);
      // A split's column: every row against one center, as row-by-row pairs.
      std::vector<double> column(rows.size());
      space.column(rows[0], rows.data(), rows.size(), column.data());
      for (std::size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(column[i], space.distance(rows[i], rows[0]));
      for (double limit : {-1.0, 0.0, 2.5, 7.0, 1e300}) {
        std::vector<double> out(rows.size());
        space.batch(query, rows.data(), rows.size(), out.data(), limit);
        for (std::size_t i = 0; i < rows.size(); ++i) {
          const double d = space.distance(query, rows[i]);
          if (d <= limit) {
            ASSERT_EQ(out[i], d);
          } else {
            ASSERT_GT(out[i], limit);
          }
        }
      }
    }
  }
}

// Lengths and letter classes bound the edit distance from below, for one
// row and for the box of a group of rows (strings of every length, empty
// ones, repeated letters that saturate a class count, several scripts).
TEST(StringSpace, LengthAndLetterClassBoundsNeverExceedTheEditDistance) {
  std::mt19937 random(17);
  const Word small = {'a', 'b', 'c', 'd'};
  const Word wide = {'a', 'e', 0xE9, 0x4E2D, 0x6587, 0x1F600, 'z', 'q', 'k'};
  vexel::StringSpace space(vexel::StringMetric::levenshtein);
  std::vector<Word> words;
  for (int i = 0; i < 400; ++i) {
    const std::size_t length = i % 50 == 0 ? 300 + random() % 60 : random() % 12;
    words.push_back(random_word(random, i % 2 ? small : wide, length));
    space.append(words.back().data(), words.back().size());
  }
  const std::size_t size = space.box_size();
  std::size_t tight = 0;
  for (int q = 0; q < 60; ++q) {
    const Word text = random_word(random, q % 2 ? small : wide, q % 7 == 0 ? 320 : random() % 12);
    const vexel::StringSpace::Query query(text.data(), text.size());
    for (std::uint32_t start = 0; start < words.size(); start += 40) {
      std::vector<double> low(size, INFINITY), high(size, -INFINITY);
      std::size_t nearest = SIZE_MAX;
      for (std::uint32_t r = start; r < start + 40; ++r) {
        const std::size_t d = table_distance(text, words[r]);
        const std::size_t bound = space.edit_lower_bound(query, r);
        ASSERT_LE(bound, d) << "row " << r;
        tight += bound == d;
        space.widen_box(low.data(), high.data(), r);
        nearest = std::min(nearest, d);
      }
      ASSERT_LE(space.box_distance(query, low.data(), high.data()), static_cast<double>(nearest));
    }
  }
  EXPECT_GT(tight, 100u) << "the bounds should often be exact";
}

// Hamming distance wants one length, which the binding checks; strings of
// other lengths must still never be read past their end (the sanitizer
// build catches that), and count the missing positions as differences.
TEST(StringSpace, HammingOverUnequalLengthsCountsTheMissingPositions) {
  vexel::StringSpace space(vexel::StringMetric::hamming);
  const std::vector<Word> words = {{'a', 'b', 'c'}, {'a', 'x'}, {}, {'a', 'b', 'c', 'd', 'e'}};
  for (const Word& word : words) space.append(word.data(), word.size());
  const auto naive = [](const Word& a, const Word& b) {
    std::size_t d = 0;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
      d += i >= a.size() || i >= b.size() || a[i] != b[i];
    }
    return static_cast<double>(d);
  };
  for (std::uint32_t a = 0; a < words.size(); ++a) {
    const vexel::StringSpace::Query query(words[a].data(), words[a].size());
    for (std::uint32_t b = 0; b < words.size(); ++b) {
      EXPECT_EQ(space.distance(a, b), naive(words[a], words[b])) << a << " " << b;
      EXPECT_EQ(space.distance(query, b), naive(words[a], words[b])) << a << " " << b;
    }
  }
}

using Rows = vexel::RowIndex<vexel::StringSpace>;

bool same(const std::vector<Rows::Neighbor>& a, const std::vector<Rows::Neighbor>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.distance == y.distance && x.stored == y.stored;
  });
}

TEST(StringSpace, SearchesEqualBruteForceOnEveryLevel) {
  std::mt19937 random(13);
  const Word alphabet = {'a', 'e', 'l', 'n', 'r', 's', 't', 0xE9};
  std::vector<Word> words;
  for (int i = 0; i < 3000; ++i) words.push_back(random_word(random, alphabet, 1 + random() % 14));
  Rows index(vexel::StringMetric::levenshtein);
  index.add(nullptr, words.size(), [&](vexel::StringSpace& space) {
    for (const Word& word : words) space.append(word.data(), word.size());
  });
  LevelGuard guard;
  std::vector<Rows::Neighbor> found;
  Rows::Neighbors neighbors;
  Rows::SearchScratch scratch;
  for (int q = 0; q < 15; ++q) {
    const Word text = random_word(random, alphabet, 1 + random() % 14);
    std::vector<Rows::Neighbor> all;
    for (std::size_t id = 0; id < words.size(); ++id) {
      all.push_back({static_cast<double>(table_distance(text, words[id])), static_cast<std::int64_t>(id)});
    }
    std::sort(all.begin(), all.end(), Rows::Neighbors::ranks_below);
    const vexel::StringSpace::Query query(text.data(), text.size());
    for (auto level : levels()) {
      vexel::simd::set_active(level);
      for (std::size_t k : {1, 5, 50}) {
        index.nearest(query, k, found, neighbors, scratch);
        ASSERT_TRUE(same(found, {all.begin(), all.begin() + static_cast<std::ptrdiff_t>(k)})) << "k " << k;
      }
      for (double radius : {0.0, 1.0, 2.0, 3.5}) {
        index.within(query, radius, found, neighbors, scratch);
        std::vector<Rows::Neighbor> expected;
        for (const auto& entry : all) {
          if (entry.distance <= radius) expected.push_back(entry);
        }
        ASSERT_TRUE(same(found, expected)) << "radius " << radius;
      }
    }
  }
}

}  // namespace
