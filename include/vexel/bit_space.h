// Packed bit codes of one length in one block, measured by Hamming distance:
// the number of bits in which two codes differ.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "vexel/bit_kernels.h"
#include "vexel/space.h"

namespace vexel {

// Codes of `length()` bytes, each stored as whole 64-bit words, zero past
// its last byte, so that a distance is a popcount a word. Distances are
// exact integers (as double), equal at every SIMD level.
class BitSpace {
 public:
  // A query: a code as whole words, zero past its last byte (as
  // `padded_codes` gives them), which the caller keeps alive, and its
  // number of set bits for the node boxes.
  struct Query {
    Query(const std::uint64_t* code_words, std::size_t words)
        : code(code_words), ones(static_cast<double>(count_ones(code_words, words))) {}
    const std::uint64_t* code;
    double ones;
  };

  // The words of a code of `length` bytes.
  static std::size_t words_for(std::size_t length) { return length / 8 + (length % 8 != 0); }

  // `count` codes of `length` bytes each, one after the other, as whole
  // words: the form of a query.
  static std::vector<std::uint64_t> padded_codes(const std::uint8_t* codes, std::size_t count,
                                                 std::size_t length) {
    const std::size_t words = words_for(length);
    std::vector<std::uint64_t> padded(count * words, 0);
    for (std::size_t i = 0; i < count; ++i) std::memcpy(padded.data() + i * words, codes + i * length, length);
    return padded;
  }

  static std::uint64_t count_ones(const std::uint64_t* code, std::size_t words) {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < words; ++i) total += static_cast<std::uint64_t>(__builtin_popcountll(code[i]));
    return total;
  }

  // Distances cost a few instructions: long leaves, scanned in one call.
  static std::uint32_t leaf_points() { return 1000; }
  static std::uint32_t tree_degree() { return 16; }

  explicit BitSpace(std::size_t length = 0) : kernel_(bit_kernel()) { set_length(length); }

  // The length of a code in bytes: 0 until the first row fixes it.
  std::size_t length() const { return length_; }
  std::size_t words() const { return words_; }
  void set_length(std::size_t length) {
    if (rows() != 0 && length != length_) throw std::logic_error("the length of stored codes is fixed");
    length_ = length;
    words_ = words_for(length);
  }

  // Picks the kernel of the SIMD level active now.
  void refresh_kernel() { kernel_ = bit_kernel(); }

  const std::uint64_t* row(std::uint32_t r) const { return data_.data() + std::size_t{r} * words_; }
  // The `length()` bytes of row r, as they were appended.
  const std::uint8_t* code(std::uint32_t r) const { return reinterpret_cast<const std::uint8_t*>(row(r)); }

  double distance(const Query& query, std::uint32_t r) const {
    return static_cast<double>(kernel_.one(query.code, row(r), words_));
  }
  double distance(std::uint32_t a, std::uint32_t b) const {
    return static_cast<double>(kernel_.one(row(a), row(b), words_));
  }
  // One call for a whole bucket.
  void batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out) const {
    kernel_.many(query.code, data_.data(), words_, rows, count, out);
  }
  // The distances from every row of `rows` to the row `center`.
  void column(std::uint32_t center, const std::uint32_t* rows, std::size_t count, double* out) const {
    kernel_.many(row(center), data_.data(), words_, rows, count, out);
  }
  void prefetch(std::uint32_t r) const {
#if defined(__GNUC__)
    const char* start = reinterpret_cast<const char*>(row(r));
    for (std::size_t offset = 0; offset < words_ * 8; offset += 64) __builtin_prefetch(start + offset);
#else
    (void)r;
#endif
  }

  // Node boxes of the number of set bits: two codes differ in at least as
  // many bits as their numbers of set bits differ.
  static std::size_t box_size() { return 1; }
  void widen_box(double* low, double* high, std::uint32_t r) const {
    const auto ones = static_cast<double>(count_ones(row(r), words_));
    if (ones < low[0]) low[0] = ones;
    if (ones > high[0]) high[0] = ones;
  }
  static double box_distance(const Query& query, const double* low, const double* high) {
    return std::max({low[0] - query.ones, query.ones - high[0], 0.0});
  }

  std::size_t rows() const { return words_ == 0 ? 0 : data_.size() / words_; }

  // Appends `count` codes of `length()` bytes each, one after the other.
  void append(const std::uint8_t* codes, std::size_t count) {
    const std::size_t first = data_.size();
    data_.resize(first + count * words_, 0);
    for (std::size_t i = 0; i < count; ++i) {
      std::memcpy(data_.data() + first + i * words_, codes + i * length_, length_);
    }
  }
  void reserve(std::size_t rows) { data_.reserve(rows * words_); }

  BitSpace reordered(const std::vector<std::uint32_t>& order) const {
    BitSpace laid_out(length_);
    laid_out.kernel_ = kernel_;
    laid_out.data_.reserve(order.size() * words_);
    for (std::uint32_t r : order) laid_out.data_.insert(laid_out.data_.end(), row(r), row(r) + words_);
    return laid_out;
  }
  void truncate(std::size_t rows) { data_.resize(rows * words_); }
  void clear() {
    std::vector<std::uint64_t>().swap(data_);
    length_ = 0;
    words_ = 0;
  }

 private:
  std::size_t length_ = 0;
  std::size_t words_ = 0;
  BitKernel kernel_;
  std::vector<std::uint64_t> data_;
};

static_assert(is_space_v<BitSpace>, "BitSpace must be a space of rows (vexel/space.h)");

}  // namespace vexel
