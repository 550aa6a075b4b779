// Match masks of a short sequence (at most 64 elements): for each element
// value, the bits of the positions where it occurs. The bit-parallel edit
// distance looks one up per element of the other sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vexel::detail {

constexpr std::size_t kMaxMaskedLength = 64;

// The key of an element, or false for one that matches nothing (NaN).
// Doubles match under ==, so -0.0 is folded into 0.0.
inline bool match_key(std::uint32_t c, std::uint64_t& key) {
  key = c;
  return true;
}
inline bool match_key(double x, std::uint64_t& key) {
  if (x != x) return false;
  const double folded = x == 0.0 ? 0.0 : x;
  std::memcpy(&key, &folded, sizeof key);
  return true;
}

// Small code points have a slot of their own in a direct table.
constexpr std::size_t kDirectCodes = 256;
inline bool direct_index(std::uint32_t c, std::size_t& index) {
  index = c;
  return c < kDirectCodes;
}
inline bool direct_index(double x, std::size_t& index) {
  if (!(x >= 0.0 && x < static_cast<double>(kDirectCodes))) return false;
  index = static_cast<std::size_t>(x);
  return static_cast<double>(index) == x;
}

// Open addressing over at most 64 keys, sized to the keys it will hold so
// that emptying it costs little for short sequences.
class MaskHash {
 public:
  // Empties the table, ready for up to `keys` (at most 64) distinct keys.
  void clear(std::size_t keys) {
    std::size_t bits = 3;
    while ((std::size_t{1} << bits) < 2 * keys) ++bits;
    mask_ = (std::size_t{1} << bits) - 1;
    shift_ = 64 - static_cast<unsigned>(bits);
    for (std::size_t i = 0; i <= mask_; ++i) keys_[i] = kEmpty;
  }

  void add(std::uint64_t key, std::uint64_t bits) {
    std::size_t i = slot(key);
    while (keys_[i] != kEmpty && keys_[i] != key) i = (i + 1) & mask_;
    if (keys_[i] == kEmpty) {
      keys_[i] = key;
      masks_[i] = 0;
    }
    masks_[i] |= bits;
  }

  std::uint64_t find(std::uint64_t key) const {
    for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
      if (keys_[i] == key) return masks_[i];
      if (keys_[i] == kEmpty) return 0;
    }
  }

 private:
  // Never a key: code points have 32 bits, and this NaN is never kept.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::size_t kSlots = 2 * kMaxMaskedLength;

  std::size_t slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::uint64_t keys_[kSlots];
  std::uint64_t masks_[kSlots];  // read only where a key was stored
};

// The match masks of a sequence of at most 64 elements: small code points
// in a direct table, the rest in a hash.
template <typename Char>
class MatchMasks {
 public:
  // Masks for every element value (a prepared pattern: clears the whole table).
  MatchMasks(const Char* sequence, std::size_t n) {
    std::memset(direct_, 0, sizeof direct_);
    build(sequence, n);
  }

  // Masks good only for the elements of text[0, m) (one call: clearing just
  // their slots of the direct table is cheaper than clearing all of it).
  MatchMasks(const Char* sequence, std::size_t n, const Char* text, std::size_t m) {
    clear_slots(text, m);
    clear_slots(sequence, n);
    build(sequence, n);
  }

  // The direct table, indexed by code point: whole only in a prepared
  // pattern's masks (the first constructor).
  const std::uint64_t* direct() const { return direct_; }

  std::uint64_t operator()(Char c) const {
    std::size_t index;
    if (direct_index(c, index)) return direct_[index];
    std::uint64_t key;
    return match_key(c, key) ? others_.find(key) : 0;
  }

 private:
  void clear_slots(const Char* s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t index;
      if (direct_index(s[i], index)) direct_[index] = 0;
    }
  }

  void build(const Char* sequence, std::size_t n) {
    std::size_t hashed = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t index;
      if (!direct_index(sequence[i], index)) ++hashed;
    }
    others_.clear(hashed);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t bit = std::uint64_t{1} << i;
      std::size_t index;
      std::uint64_t key;
      if (direct_index(sequence[i], index)) {
        direct_[index] |= bit;
      } else if (match_key(sequence[i], key)) {
        others_.add(key, bit);
      }
    }
  }

  std::uint64_t direct_[kDirectCodes];  // read only at slots that were cleared
  MaskHash others_;
};

}  // namespace vexel::detail
