// One pattern against many texts (EditPattern::distances) on every SIMD
// level, against the dynamic program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "vexel/edit_distance.h"
#include "vexel/simd.h"

namespace {

using Word = std::vector<std::uint32_t>;

std::size_t table_distance(const Word& a, const Word& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

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

}  // namespace
