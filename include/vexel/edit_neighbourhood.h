// The deletion neighbourhood of a string space: answers searches within a
// radius below 2 under edit or Hamming distance from precomputed variants
// instead of the tree, which prunes short strings badly.
//
// Two strings within edit distance 1 share a "variant": the string itself
// or one of its single deletions (a substitution deletes the same position
// from both, an insertion deletes from the longer one). The same holds for
// Hamming distance 1. So the candidates of a query are the rows that share
// a hash of one of its variants; each is then measured by the space's own
// distance, which keeps answers exact. A hash collision only adds a
// candidate: a true pair shares a variant, hence its hash.
//
// When it answers (EditNeighbourhood::suits): a radius in [0, 2), and rows
// of at most 32 code points on average (counting removed rows), so that the
// variants (one more than a row's length) stay few: the tree prunes longer
// strings by their lengths and letters. Otherwise the tree answers.
//
// Keeping it valid while the index changes (EditNeighbourhood::prepare,
// called before a batch of searches): rows appended after the build are
// measured directly, after a length filter, until they exceed an eighth of
// the rows it was built from (at least a thousand); removed rows are
// skipped; anything that renumbers rows changes the index's
// layout_generation(). Either of the last two rebuilds it on next use.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "vexel/string_space.h"

namespace vexel {

class EditNeighbourhood {
 public:
  // What a search reuses from one query to the next.
  struct Scratch {
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> prefixes, suffixes, powers;
    std::vector<std::uint32_t> rows;      // the candidates of the build
    std::vector<std::uint32_t> measured;  // the live ones, and appended rows
    std::vector<double> distances;
  };

  static constexpr std::size_t max_mean_length = 32;

  // Whether the neighbourhood answers a search of `space` within `radius`.
  static bool suits(const StringSpace& space, double radius) {
    if (!(radius >= 0.0 && radius < 2.0)) return false;  // also refuses NaN
    const std::size_t rows = space.rows();
    // Variants are at most characters + rows, numbered in 32 bits.
    if (space.characters() + rows > std::numeric_limits<std::uint32_t>::max()) return false;
    return rows == 0 || space.characters() <= max_mean_length * rows;
  }

  // Makes the neighbourhood current for `index` (a RowIndex of strings) and
  // says whether it answers a search within `radius`. A build runs inside
  // `around_build(build)` (a caller may release a lock meanwhile); one that
  // runs out of memory leaves no neighbourhood, and the tree answers.
  template <typename Rows, typename AroundBuild>
  bool prepare(const Rows& index, double radius, AroundBuild around_build) {
    if (!suits(index.space, radius)) return false;
    const std::size_t rows = index.space.rows();
    const bool stale = !built_ || generation_ != index.layout_generation() || built_rows_ > rows ||
                       rows - built_rows_ > appended_limit();
    if (!stale) return true;
    bool built = false;
    around_build([&] {
      try {
        EditNeighbourhood fresh;
        fresh.build(index.space, rows);
        fresh.generation_ = index.layout_generation();
        *this = std::move(fresh);
        built = true;
      } catch (const std::bad_alloc&) {
        *this = EditNeighbourhood();
      }
    });
    return built;
  }
  template <typename Rows>
  bool prepare(const Rows& index, double radius) {
    return prepare(index, radius, [](auto build) { build(); });
  }

  // Builds from the rows [0, rows) of `space`.
  void build(const StringSpace& space, std::size_t rows) {
    Scratch scratch;
    std::vector<std::uint64_t> hashes;  // every row's variants, in row order
    std::vector<std::uint32_t> owners;
    std::size_t total = 0;
    for (std::size_t r = 0; r < rows; ++r) total += space.length(static_cast<std::uint32_t>(r)) + 1;
    hashes.reserve(total);
    owners.reserve(total);
    for (std::size_t r = 0; r < rows; ++r) {
      const auto row = static_cast<std::uint32_t>(r);
      variant_hashes(space.row(row), space.length(row), scratch);
      hashes.insert(hashes.end(), scratch.hashes.begin(), scratch.hashes.end());
      owners.insert(owners.end(), scratch.hashes.size(), row);
    }
    // A directory by the top bits of the hash, about a slot a variant. The
    // variants go to their slots in row order (a counting sort), and each
    // slot, small but for variants that many rows share, is sorted by hash,
    // keeping that order.
    unsigned bits = 1;
    while (bits < 32 && (std::size_t{1} << bits) < hashes.size()) ++bits;
    const auto slot_of = [bits](std::uint64_t hash) { return static_cast<std::size_t>(hash >> (64 - bits)); };
    std::vector<std::uint32_t> directory((std::size_t{1} << bits) + 1, 0);
    for (std::uint64_t hash : hashes) ++directory[slot_of(hash) + 1];
    for (std::size_t slot = 1; slot < directory.size(); ++slot) directory[slot] += directory[slot - 1];
    std::vector<std::pair<std::uint64_t, std::uint32_t>> entries(hashes.size());
    {
      std::vector<std::uint32_t> next(directory.begin(), directory.end() - 1);
      for (std::size_t i = 0; i < hashes.size(); ++i) entries[next[slot_of(hashes[i])]++] = {hashes[i], owners[i]};
    }
    std::vector<std::uint64_t>().swap(hashes);
    std::vector<std::uint32_t>().swap(owners);
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> starts, rows_of_keys;
    rows_of_keys.reserve(entries.size());
    for (std::size_t slot = 0; slot + 1 < directory.size(); ++slot) {
      const auto first = entries.begin() + directory[slot], last = entries.begin() + directory[slot + 1];
      if (last - first > 1) {
        std::stable_sort(first, last, [](const auto& a, const auto& b) { return a.first < b.first; });
      }
      // From here on the directory counts keys rather than entries.
      directory[slot] = static_cast<std::uint32_t>(keys.size());
      for (auto entry = first; entry != last; ++entry) {
        if (entry == first || entry->first != (entry - 1)->first) {
          keys.push_back(entry->first);
          starts.push_back(static_cast<std::uint32_t>(rows_of_keys.size()));
        }
        rows_of_keys.push_back(entry->second);
      }
    }
    directory.back() = static_cast<std::uint32_t>(keys.size());
    starts.push_back(static_cast<std::uint32_t>(rows_of_keys.size()));
    keys_ = std::move(keys);
    starts_ = std::move(starts);
    rows_ = std::move(rows_of_keys);
    directory_ = std::move(directory);
    bits_ = bits;
    built_rows_ = rows;
    built_ = true;
  }

  bool built() const { return built_; }
  std::size_t built_rows() const { return built_rows_; }

  // Visits, in ascending order and once each, every row of the build that
  // shares a variant hash with text[0, length) (removed rows included).
  template <typename Visit>
  void candidates(const std::uint32_t* text, std::size_t length, Scratch& scratch, Visit visit) const {
    variant_hashes(text, length, scratch);
    scratch.rows.clear();
    for (std::uint64_t hash : scratch.hashes) {
      const std::size_t slot = static_cast<std::size_t>(hash >> (64 - bits_));
      const auto first = keys_.begin() + directory_[slot], last = keys_.begin() + directory_[slot + 1];
      const auto found = std::lower_bound(first, last, hash);
      if (found == last || *found != hash) continue;
      const auto k = static_cast<std::size_t>(found - keys_.begin());
      scratch.rows.insert(scratch.rows.end(), rows_.begin() + starts_[k], rows_.begin() + starts_[k + 1]);
    }
    std::sort(scratch.rows.begin(), scratch.rows.end());
    const auto end = std::unique(scratch.rows.begin(), scratch.rows.end());
    for (auto row = scratch.rows.begin(); row != end; ++row) visit(*row);
  }

  // Every live row of `index` within `radius` (in [0, 2)) of `query`,
  // ascending by distance then id, as RowIndex::within gives them. The
  // neighbourhood must be current (prepare).
  template <typename Rows>
  void within(const Rows& index, const StringSpace::Query& query, double radius,
              std::vector<typename Rows::Neighbor>& found, Scratch& scratch) const {
    found.clear();
    const StringSpace& space = index.space;
    std::vector<std::uint32_t>& rows = scratch.measured;  // built rows first, then appended ones
    rows.clear();
    candidates(query.data(), query.size(), scratch, [&](std::uint32_t row) {
      if (!index.is_removed(row)) rows.push_back(row);
    });
    const std::size_t length = query.size();
    for (std::size_t r = built_rows_; r < space.rows(); ++r) {
      const auto row = static_cast<std::uint32_t>(r);
      const std::size_t other = space.length(row);
      if ((other > length ? other - length : length - other) <= 1 && !index.is_removed(row)) rows.push_back(row);
    }
    scratch.distances.resize(rows.size());
    space.batch(query, rows.data(), rows.size(), scratch.distances.data(), radius);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (scratch.distances[i] <= radius) found.push_back({scratch.distances[i], index.row_ids[rows[i]]});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
      return a.distance < b.distance || (a.distance == b.distance && a.stored < b.stored);
    });
  }

 private:
  std::size_t appended_limit() const { return std::max<std::size_t>(built_rows_ / 8, 1000); }

  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
  }

  static std::uint64_t code(std::uint32_t c) { return mix(c + 0x632be59bd9b4e019ULL); }

  // The hashes of text[0, length) and of its single deletions, sorted and
  // unique, in scratch.hashes. A polynomial over mixed code points (modulo
  // 2^64) gives every deletion in O(1) from the hashes of its prefix and
  // suffix, whatever position produced it; mixing with the length finishes.
  static void variant_hashes(const std::uint32_t* text, std::size_t length, Scratch& scratch) {
    constexpr std::uint64_t base = 0x9e3779b97f4a7c15ULL;
    auto& prefixes = scratch.prefixes;  // prefixes[i]: of text[0, i)
    auto& suffixes = scratch.suffixes;  // suffixes[i]: of text[i, length)
    auto& powers = scratch.powers;      // powers[i]: base^i
    prefixes.resize(length + 1);
    suffixes.resize(length + 1);
    powers.resize(length + 1);
    prefixes[0] = 0;
    powers[0] = 1;
    for (std::size_t i = 0; i < length; ++i) {
      prefixes[i + 1] = prefixes[i] * base + code(text[i]);
      powers[i + 1] = powers[i] * base;
    }
    suffixes[length] = 0;
    for (std::size_t i = length; i-- > 0;) suffixes[i] = code(text[i]) * powers[length - 1 - i] + suffixes[i + 1];
    auto& hashes = scratch.hashes;
    hashes.clear();
    hashes.push_back(mix(prefixes[length] ^ mix(length)));
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint64_t deleted = prefixes[i] * powers[length - 1 - i] + suffixes[i + 1];
      hashes.push_back(mix(deleted ^ mix(length - 1)));
    }
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  }

  std::vector<std::uint64_t> keys_;       // the distinct variant hashes, ascending
  std::vector<std::uint32_t> starts_;     // key k's rows are rows_[starts_[k], starts_[k + 1])
  std::vector<std::uint32_t> rows_;       // ascending within a key
  std::vector<std::uint32_t> directory_;  // slot s: keys [directory_[s], directory_[s + 1]) have top bits s
  unsigned bits_ = 1;
  std::size_t built_rows_ = 0;
  std::uint64_t generation_ = 0;
  bool built_ = false;
};

// An index of strings seen through its neighbourhood, with the shape of
// RowIndex::within, for code that runs batches of searches over either.
template <typename Rows>
class NeighbourhoodSearch {
 public:
  using Neighbor = typename Rows::Neighbor;
  struct Neighbors {};  // the search keeps no heap
  using SearchScratch = EditNeighbourhood::Scratch;

  // `neighbourhood` is current for `index` (EditNeighbourhood::prepare).
  NeighbourhoodSearch(const Rows& index, const EditNeighbourhood& neighbourhood)
      : index_(index), neighbourhood_(neighbourhood) {}

  void within(const StringSpace::Query& query, double radius, std::vector<Neighbor>& found, Neighbors&,
              SearchScratch& scratch) const {
    neighbourhood_.within(index_, query, radius, found, scratch);
  }

 private:
  const Rows& index_;
  const EditNeighbourhood& neighbourhood_;
};

}  // namespace vexel
