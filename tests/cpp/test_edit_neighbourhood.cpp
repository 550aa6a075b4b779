// The deletion neighbourhood (EditNeighbourhood) against brute force, while
// the index under it removes, appends and renumbers rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.h"
#include "vexel/edit_neighbourhood.h"
#include "vexel/row_index.h"
#include "vexel/string_space.h"

namespace {

using Word = std::vector<std::uint32_t>;
using Rows = vexel::RowIndex<vexel::StringSpace>;
using vexel::EditNeighbourhood;
using vexel::StringMetric;

// Few letters, one of them beyond the Basic Multilingual Plane: many ties,
// duplicates and words one edit apart.
const Word alphabet = {'a', 'b', 0xE9, 0x1F600};

double naive_distance(StringMetric metric, const Word& a, const Word& b) {
  if (metric == StringMetric::levenshtein) return static_cast<double>(vexel_test::table_distance(a, b));
  double d = 0;
  for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) d += i >= a.size() || i >= b.size() || a[i] != b[i];
  return d;
}

struct Model {
  StringMetric metric;
  std::vector<Word> words;    // by id
  std::vector<bool> removed;  // by id
};

Word random_word(std::mt19937& random, StringMetric metric) {
  const std::size_t length = metric == StringMetric::hamming ? 3 : random() % 6;  // empty words too
  Word word(length);
  for (auto& c : word) c = alphabet[random() % alphabet.size()];
  return word;
}

void add(Rows& index, Model& model, std::mt19937& random, std::size_t n) {
  std::vector<Word> words;
  for (std::size_t i = 0; i < n; ++i) words.push_back(random_word(random, model.metric));
  index.add(nullptr, n, [&](vexel::StringSpace& space) {
    for (const Word& word : words) space.append(word.data(), word.size());
  });
  model.words.insert(model.words.end(), words.begin(), words.end());
  model.removed.resize(model.words.size(), false);
}

// Every query of `queries`, at every radius, answers as brute force does.
void expect_brute_force(EditNeighbourhood& neighbourhood, const Rows& index, const Model& model,
                        const std::vector<Word>& queries) {
  EditNeighbourhood::Scratch scratch;
  std::vector<Rows::Neighbor> found;
  for (const Word& text : queries) {
    std::vector<Rows::Neighbor> all;  // the live points within 1, sorted
    for (std::size_t id = 0; id < model.words.size(); ++id) {
      const double d = naive_distance(model.metric, text, model.words[id]);
      if (!model.removed[id] && d <= 1) all.push_back({d, static_cast<std::int64_t>(id)});
    }
    std::sort(all.begin(), all.end(), Rows::Neighbors::ranks_below);
    const vexel::StringSpace::Query query(text.data(), text.size());
    for (double radius : {0.0, 0.5, 1.0, 1.99}) {
      ASSERT_TRUE(neighbourhood.prepare(index, radius));
      neighbourhood.within(index, query, radius, found, scratch);
      std::vector<Rows::Neighbor> expected;
      for (const auto& entry : all) {
        if (entry.distance <= radius) expected.push_back(entry);
      }
      ASSERT_EQ(found.size(), expected.size()) << "radius " << radius << ", query of length " << text.size();
      for (std::size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i].distance, expected[i].distance);
        ASSERT_EQ(found[i].stored, expected[i].stored);
      }
    }
  }
}

class EditNeighbourhoodTest : public ::testing::TestWithParam<StringMetric> {};

TEST_P(EditNeighbourhoodTest, EqualsBruteForceThroughRemovalsAppendsAndLayouts) {
  std::mt19937 random(7);
  Model model{GetParam(), {}, {}};
  Rows index(model.metric);
  add(index, model, random, 1500);
  std::vector<Word> queries(model.words.begin(), model.words.begin() + 25);
  for (int i = 0; i < 25; ++i) queries.push_back(random_word(random, model.metric));
  EditNeighbourhood neighbourhood;
  expect_brute_force(neighbourhood, index, model, queries);
  EXPECT_EQ(neighbourhood.built_rows(), 1500u);

  // Removed rows stay in the build and are skipped.
  std::vector<std::int64_t> gone;
  for (std::int64_t id = 0; id < 1500; id += 3) gone.push_back(id);
  ASSERT_EQ(index.remove_many(gone.data(), gone.size()), gone.size());
  for (std::int64_t id : gone) model.removed[static_cast<std::size_t>(id)] = true;
  expect_brute_force(neighbourhood, index, model, queries);

  // A batch as large as the index is built in bulk and renumbers every
  // row (few enough that only the renumbering makes the build stale).
  std::uint64_t generation = index.layout_generation();
  add(index, model, random, 1000);
  EXPECT_NE(index.layout_generation(), generation);
  expect_brute_force(neighbourhood, index, model, queries);
  EXPECT_EQ(neighbourhood.built_rows(), index.space.rows());

  // Rows inserted one by one keep their numbers: measured beside the build.
  const std::size_t built = neighbourhood.built_rows();
  generation = index.layout_generation();
  add(index, model, random, 300);
  expect_brute_force(neighbourhood, index, model, queries);
  EXPECT_EQ(neighbourhood.built_rows(), built);
  EXPECT_EQ(index.layout_generation(), generation);

  // Appends beyond an eighth of the build (at least a thousand) rebuild it.
  add(index, model, random, 1000);
  add(index, model, random, 100);
  expect_brute_force(neighbourhood, index, model, queries);
  EXPECT_EQ(neighbourhood.built_rows(), index.space.rows());

  // Removing most points rebuilds the tree and drops their rows.
  gone.clear();
  for (std::size_t id = 0; id < model.words.size(); ++id) {
    if (!model.removed[id] && id % 5 != 0) gone.push_back(static_cast<std::int64_t>(id));
  }
  ASSERT_EQ(index.remove_many(gone.data(), gone.size()), gone.size());
  for (std::int64_t id : gone) model.removed[static_cast<std::size_t>(id)] = true;
  ASSERT_LT(index.space.rows(), model.words.size()) << "the removals should have dropped rows";
  expect_brute_force(neighbourhood, index, model, queries);
}

INSTANTIATE_TEST_SUITE_P(Metrics, EditNeighbourhoodTest,
                         ::testing::Values(StringMetric::levenshtein, StringMetric::hamming));

TEST(EditNeighbourhood, AnswersOnlyRadiiBelowTwoOverShortRows) {
  vexel::StringSpace space(StringMetric::levenshtein);
  EXPECT_TRUE(EditNeighbourhood::suits(space, 1.0));
  const Word longer(40, 'a'), shorter(20, 'b');
  space.append(longer.data(), longer.size());
  EXPECT_FALSE(EditNeighbourhood::suits(space, 1.0));
  space.append(shorter.data(), shorter.size());
  EXPECT_TRUE(EditNeighbourhood::suits(space, 1.0));
  for (double radius : {-1.0, 2.0, 7.0, double{INFINITY}, double{NAN}}) {
    EXPECT_FALSE(EditNeighbourhood::suits(space, radius));
  }
}

}  // namespace
