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
#include <vector>

#include "vexel/bit_space.h"
#include "vexel/row_index.h"
#include "vexel/simd.h"

namespace {

using Code = std::vector<std::uint8_t>;
using Rows = vexel::RowIndex<vexel::BitSpace>;
using Found = std::vector<Rows::Neighbor>;

const std::size_t kLengths[] = {1, 8, 13, 64};
constexpr double kInf = std::numeric_limits<double>::infinity();

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

// The oracle: differing bits counted one at a time.
double differing_bits(const Code& a, const Code& b) {
  int total = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) total += ((a[i] >> bit) & 1) != ((b[i] >> bit) & 1);
  }
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

Code joined(const std::vector<Code>& codes) {
  Code bytes;
  for (const Code& code : codes) bytes.insert(bytes.end(), code.begin(), code.end());
  return bytes;
}

class BitSpaceByLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BitSpaceByLength, EveryLevelCountsTheDifferingBits) {
  const std::size_t length = GetParam();
  std::vector<Code> codes = near_codes(300, length, 17);
  codes.push_back(Code(length, 0x00));
  codes.push_back(Code(length, 0xFF));  // every bit differs from the one before
  vexel::BitSpace space(length);
  space.append(joined(codes).data(), codes.size());
  ASSERT_EQ(space.rows(), codes.size());
  std::vector<std::uint32_t> rows;
  for (std::uint32_t r = static_cast<std::uint32_t>(codes.size()); r-- > 0;) rows.push_back(r);

  LevelGuard guard;
  for (vexel::simd::Level level : levels()) {
    vexel::simd::set_active(level);
    space.refresh_kernel();
    for (std::uint32_t q : {0u, 5u, static_cast<std::uint32_t>(codes.size() - 1)}) {
      const std::vector<std::uint64_t> words = vexel::BitSpace::padded_codes(codes[q].data(), 1, length);
      const vexel::BitSpace::Query query(words.data(), words.size());
      std::vector<double> batch(rows.size()), column(rows.size());
      space.batch(query, rows.data(), rows.size(), batch.data());
      space.column(q, rows.data(), rows.size(), column.data());
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const double expected = differing_bits(codes[q], codes[rows[i]]);
        ASSERT_EQ(batch[i], expected) << vexel::simd::name(level) << " row " << rows[i];
        ASSERT_EQ(column[i], expected) << vexel::simd::name(level) << " row " << rows[i];
        ASSERT_EQ(space.distance(query, rows[i]), expected) << vexel::simd::name(level);
        ASSERT_EQ(space.distance(q, rows[i]), expected) << vexel::simd::name(level);
      }
    }
    EXPECT_EQ(space.distance(static_cast<std::uint32_t>(codes.size() - 2),
                             static_cast<std::uint32_t>(codes.size() - 1)),
              static_cast<double>(8 * length));
  }
}

TEST_P(BitSpaceByLength, LayoutsKeepTheCodesAndBoxesBoundTheirDistances) {
  const std::size_t length = GetParam();
  const std::vector<Code> codes = near_codes(200, length, 29);
  vexel::BitSpace space(length);
  space.append(joined(codes).data(), codes.size());
  std::vector<std::uint32_t> order;
  for (std::uint32_t r = 0; r < codes.size(); r += 3) order.push_back(r);
  const vexel::BitSpace laid_out = space.reordered(order);
  ASSERT_EQ(laid_out.rows(), order.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    ASSERT_TRUE(std::equal(codes[order[i]].begin(), codes[order[i]].end(), laid_out.code(i)));
  }

  // Boxes of 20 rows each: no row is nearer a query than its box says.
  for (std::size_t first = 0; first < codes.size(); first += 20) {
    double low = kInf, high = -kInf;
    for (std::size_t r = first; r < first + 20; ++r) space.widen_box(&low, &high, static_cast<std::uint32_t>(r));
    for (const Code& q : near_codes(10, length, static_cast<std::uint32_t>(first))) {
      const std::vector<std::uint64_t> words = vexel::BitSpace::padded_codes(q.data(), 1, length);
      const vexel::BitSpace::Query query(words.data(), words.size());
      const double bound = vexel::BitSpace::box_distance(query, &low, &high);
      double nearest = kInf;
      for (std::size_t r = first; r < first + 20; ++r) {
        nearest = std::min(nearest, space.distance(query, static_cast<std::uint32_t>(r)));
      }
      ASSERT_LE(bound, nearest);
    }
  }
}

// Every live (distance, id) in the index's order, by brute force.
Found brute_force(const std::map<std::int64_t, Code>& live, const Code& query) {
  Found all;
  for (const auto& [id, code] : live) all.push_back({differing_bits(query, code), id});
  std::sort(all.begin(), all.end(), Rows::Neighbors::ranks_below);
  return all;
}

void expect_exact(const Rows& index, const std::map<std::int64_t, Code>& live, const std::vector<Code>& queries) {
  Found found;
  Rows::Neighbors neighbors;
  Rows::SearchScratch scratch;
  for (const Code& q : queries) {
    const Found all = brute_force(live, q);
    const std::vector<std::uint64_t> words = vexel::BitSpace::padded_codes(q.data(), 1, q.size());
    const vexel::BitSpace::Query query(words.data(), words.size());
    for (std::size_t k : {std::size_t{1}, std::size_t{10}, std::size_t{150}, all.size() + 1}) {
      index.nearest(query, k, found, neighbors, scratch);
      const Found expected(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size())));
      ASSERT_EQ(found.size(), expected.size()) << "k=" << k;
      for (std::size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i].stored, expected[i].stored) << "k=" << k << " at " << i;
        ASSERT_EQ(found[i].distance, expected[i].distance) << "k=" << k << " at " << i;
      }
    }
    for (double radius : {0.0, 1.0, 2.5, 4.0, 8.0 * static_cast<double>(q.size())}) {
      index.within(query, radius, found, neighbors, scratch);
      Found expected;
      for (const auto& entry : all) {
        if (entry.distance <= radius) expected.push_back(entry);
      }
      ASSERT_EQ(found.size(), expected.size()) << "radius=" << radius;
      for (std::size_t i = 0; i < found.size(); ++i) {
        ASSERT_EQ(found[i].stored, expected[i].stored) << "radius=" << radius << " at " << i;
      }
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

  // A bulk build of the first 2000 under scattered ids, then single additions.
  std::vector<std::int64_t> ids;
  for (std::size_t i = 0; i < 2000; ++i) ids.push_back(static_cast<std::int64_t>((i * 7919) % 10007));
  const Code first = joined(std::vector<Code>(codes.begin(), codes.begin() + 2000));
  index.add(ids.data(), ids.size(), [&](vexel::BitSpace& space) { space.append(first.data(), 2000); });
  for (std::size_t i = 0; i < 2000; ++i) live[ids[i]] = codes[i];
  for (std::size_t i = 2000; i < 2300; ++i) {
    const auto id = static_cast<std::int64_t>(20000 + i);
    index.add(&id, 1, [&](vexel::BitSpace& space) { space.append(codes[i].data(), 1); });
    live[id] = codes[i];
  }
  expect_exact(index, live, queries);

  // Removals: a few only marked, then enough for a rebuild.
  std::mt19937 random(5);
  for (std::size_t round = 0; round < 2; ++round) {
    std::vector<std::int64_t> doomed;
    for (const auto& entry : live) {
      if (random() % 3 != 0 || round == 1) doomed.push_back(entry.first);
      if (round == 0 && doomed.size() == 100) break;
      if (round == 1 && doomed.size() == 1500) break;
    }
    ASSERT_EQ(index.remove_many(doomed.data(), doomed.size()), doomed.size());
    for (std::int64_t id : doomed) live.erase(id);
    ASSERT_EQ(index.size(), live.size());
    expect_exact(index, live, queries);
  }

  // A batch as large as what is left: one bulk rebuild of old and new.
  std::vector<std::int64_t> more;
  for (std::size_t i = 0; i < 700; ++i) more.push_back(static_cast<std::int64_t>(50000 + i));
  const Code rest = joined(std::vector<Code>(codes.begin() + 2300, codes.end()));
  index.add(more.data(), more.size(), [&](vexel::BitSpace& space) { space.append(rest.data(), 700); });
  for (std::size_t i = 0; i < 700; ++i) live[more[i]] = codes[2300 + i];
  expect_exact(index, live, queries);
}

INSTANTIATE_TEST_SUITE_P(Lengths, BitSpaceByLength, ::testing::ValuesIn(kLengths));

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
