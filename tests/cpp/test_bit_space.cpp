// Bit codes under Hamming distance: the kernels of every SIMD level against
// a count bit by bit, the popcount boxes as lower bounds, and whole searches
// of a RowIndex<BitSpace> against brute force on codes full of ties and
// duplicates, before and after removals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "vexel/bit_space.h"
#include "vexel/row_index.h"
#include "vexel/simd.h"

namespace {

using Code = std::vector<std::uint8_t>;
using Rows = vexel::RowIndex<vexel::BitSpace>;
using Ranked = std::vector<std::pair<double, std::int64_t>>;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Restores the SIMD level the test started with.
struct LevelGuard {
  vexel::simd::Level saved = vexel::simd::active();
  ~LevelGuard() { vexel::simd::set_active(saved); }
};

// The oracle: differing bits counted one at a time.
double differing_bits(const Code& a, const Code& b) {
  int total = 0;
  for (std::size_t i = 0; i < a.size() * 8; ++i) total += ((a[i / 8] ^ b[i / 8]) >> (i % 8)) & 1;
  return total;
}

// Codes near a few random centers: each a center with 0 to 3 bits flipped,
// so that distances tie often and many codes repeat exactly.
std::vector<Code> near_codes(std::size_t count, std::size_t length, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Code> centers(12, Code(length));
  for (Code& center : centers) {
    for (auto& byte : center) byte = static_cast<std::uint8_t>(random());
  }
  std::vector<Code> codes;
  for (std::size_t i = 0; i < count; ++i) {
    Code code = centers[random() % centers.size()];
    for (auto flips = random() % 4; flips > 0; --flips) {
      const std::size_t bit = random() % (8 * length);
      code[bit / 8] = static_cast<std::uint8_t>(code[bit / 8] ^ (1u << (bit % 8)));
    }
    codes.push_back(code);
  }
  return codes;
}

Code joined(std::vector<Code>::const_iterator first, std::vector<Code>::const_iterator last) {
  Code bytes;
  for (; first != last; ++first) bytes.insert(bytes.end(), first->begin(), first->end());
  return bytes;
}

// A query of one code, with the padded words it points into.
struct CodeQuery {
  explicit CodeQuery(const Code& code) : words(vexel::BitSpace::padded_codes(code.data(), 1, code.size())) {}
  std::vector<std::uint64_t> words;
  vexel::BitSpace::Query query{words.data(), words.size()};
};

class BitSpaceByLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BitSpaceByLength, EveryLevelCountsTheDifferingBits) {
  const std::size_t length = GetParam();
  std::vector<Code> codes = near_codes(300, length, 17);
  codes.push_back(Code(length, 0x00));
  codes.push_back(Code(length, 0xFF));  // every bit differs from the one before
  const auto last = static_cast<std::uint32_t>(codes.size() - 1);
  vexel::BitSpace space(length);
  space.append(joined(codes.begin(), codes.end()).data(), codes.size());
  ASSERT_EQ(space.rows(), codes.size());
  std::vector<std::uint32_t> rows;
  for (std::uint32_t r = last + 1; r-- > 0;) rows.push_back(r);

  LevelGuard guard;
  for (auto level : {vexel::simd::Level::portable, vexel::simd::Level::avx2, vexel::simd::Level::avx512}) {
    if (level > vexel::simd::supported()) continue;
    vexel::simd::set_active(level);
    space.refresh_kernel();
    for (std::uint32_t q : {0u, 5u, last}) {
      const CodeQuery query(codes[q]);
      std::vector<double> batch(rows.size()), column(rows.size());
      space.batch(query.query, rows.data(), rows.size(), batch.data());
      space.column(q, rows.data(), rows.size(), column.data());
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const double expected = differing_bits(codes[q], codes[rows[i]]);
        const std::vector<double> measured = {batch[i], column[i], space.distance(query.query, rows[i]),
                                              space.distance(q, rows[i])};
        ASSERT_EQ(measured, std::vector<double>(4, expected)) << vexel::simd::name(level) << " row " << rows[i];
      }
    }
    EXPECT_EQ(space.distance(last - 1, last), static_cast<double>(8 * length));
  }
}

TEST_P(BitSpaceByLength, LayoutsKeepTheCodesAndBoxesBoundTheirDistances) {
  const std::size_t length = GetParam();
  const std::vector<Code> codes = near_codes(200, length, 29);
  vexel::BitSpace space(length);
  space.append(joined(codes.begin(), codes.end()).data(), codes.size());
  std::vector<std::uint32_t> order;
  for (std::uint32_t r = 0; r < codes.size(); r += 3) order.push_back(r);
  const vexel::BitSpace laid_out = space.reordered(order);
  ASSERT_EQ(laid_out.rows(), order.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    ASSERT_TRUE(std::equal(codes[order[i]].begin(), codes[order[i]].end(), laid_out.code(i)));
  }

  // Boxes of 20 rows each: no row is nearer a query than its box says.
  for (std::uint32_t first = 0; first < codes.size(); first += 20) {
    double low = kInf, high = -kInf;
    for (std::uint32_t r = first; r < first + 20; ++r) space.widen_box(&low, &high, r);
    for (const Code& code : near_codes(10, length, first)) {
      const CodeQuery q(code);
      double nearest = kInf;
      for (std::uint32_t r = first; r < first + 20; ++r) nearest = std::min(nearest, space.distance(q.query, r));
      ASSERT_LE(vexel::BitSpace::box_distance(q.query, &low, &high), nearest);
    }
  }
}

// Every search against brute force over the live codes: (distance, id) of
// all, nearest first, ties by id, cut at k or at the radius.
void expect_exact(const Rows& index, const std::map<std::int64_t, Code>& live, const std::vector<Code>& queries) {
  std::vector<Rows::Neighbor> found;
  Rows::Neighbors neighbors;
  Rows::SearchScratch scratch;
  const auto ranked = [&] {
    Ranked out;
    for (const auto& entry : found) out.emplace_back(entry.distance, entry.stored);
    return out;
  };
  for (const Code& code : queries) {
    Ranked all;
    for (const auto& [id, stored] : live) all.emplace_back(differing_bits(code, stored), id);
    std::sort(all.begin(), all.end());
    const CodeQuery q(code);
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{150}, all.size() + 1}) {
      index.nearest(q.query, k, found, neighbors, scratch);
      ASSERT_EQ(ranked(), Ranked(all.begin(), all.begin() + std::min<std::ptrdiff_t>(k, all.size()))) << "k=" << k;
    }
    for (double radius : {0.0, 1.0, 2.5, 4.0, 8.0 * static_cast<double>(code.size())}) {
      index.within(q.query, radius, found, neighbors, scratch);
      const auto beyond = std::find_if(all.begin(), all.end(), [&](const auto& entry) { return entry.first > radius; });
      ASSERT_EQ(ranked(), Ranked(all.begin(), beyond)) << "radius=" << radius;
    }
  }
}

TEST_P(BitSpaceByLength, SearchesEqualBruteForceThroughAdditionsAndRemovals) {
  const std::size_t length = GetParam();
  const std::vector<Code> codes = near_codes(3000, length, 43);
  const std::vector<Code> queries = near_codes(25, length, 44);
  std::map<std::int64_t, Code> live;
  Rows index;
  index.space.set_length(length);
  // Codes [from, to) under ids `id(i)`, in one batch.
  const auto add = [&](std::size_t from, std::size_t to, std::int64_t (*id)(std::size_t)) {
    std::vector<std::int64_t> ids;
    for (std::size_t i = from; i < to; ++i) live[ids.emplace_back(id(i))] = codes[i];
    const Code bytes = joined(codes.begin() + from, codes.begin() + to);
    index.add(ids.data(), ids.size(), [&](vexel::BitSpace& space) { space.append(bytes.data(), to - from); });
  };

  // A bulk build of the first 2000 under scattered ids, then single additions.
  add(0, 2000, [](std::size_t i) { return static_cast<std::int64_t>((i * 7919) % 10007); });
  for (std::size_t i = 2000; i < 2300; ++i) add(i, i + 1, [](std::size_t j) { return std::int64_t(20000 + j); });
  expect_exact(index, live, queries);

  // Removals: 100 only marked (about every third), then 1500 for a rebuild.
  std::mt19937 random(5);
  for (std::size_t doomed_count : {100, 1500}) {
    std::vector<std::int64_t> doomed;
    for (auto entry = live.begin(); doomed.size() < doomed_count; ++entry) {
      if (random() % 3 != 0 || doomed_count == 1500) doomed.push_back(entry->first);
    }
    ASSERT_EQ(index.remove_many(doomed.data(), doomed.size()), doomed.size());
    for (std::int64_t id : doomed) live.erase(id);
    ASSERT_EQ(index.size(), live.size());
    expect_exact(index, live, queries);
  }

  // A batch as large as what is left: one bulk rebuild of old and new.
  add(2300, 3000, [](std::size_t i) { return std::int64_t(50000 + i); });
  expect_exact(index, live, queries);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitSpaceByLength, ::testing::Values(1, 8, 13, 64));

TEST(BitSpace, EmptyingTheIndexForgetsTheLength) {
  Rows index;
  index.space.set_length(8);
  const Code code(8, 0x5A);
  const std::int64_t id = 3;
  index.add(&id, 1, [&](vexel::BitSpace& space) { space.append(code.data(), 1); });
  EXPECT_THROW(index.space.set_length(4), std::logic_error);
  index.remove(id);
  EXPECT_EQ(index.space.length(), 0u);
  index.space.set_length(4);
  EXPECT_EQ(index.space.words(), 1u);
}

}  // namespace
