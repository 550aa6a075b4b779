// Strings of code points in one block, measured by edit or Hamming distance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "vexel/edit_distance.h"

namespace vexel {

enum class StringMetric { levenshtein, hamming };

class StringSpace {
 public:
  // A query, prepared once for all the rows it meets.
  class Query {
   public:
    Query(const std::uint32_t* text, std::size_t length) : text_(text, text + length), pattern_(text, length) {}
    const std::uint32_t* data() const { return text_.data(); }
    std::size_t size() const { return text_.size(); }
    const EditPattern<std::uint32_t>& pattern() const { return pattern_; }

   private:
    std::vector<std::uint32_t> text_;
    EditPattern<std::uint32_t> pattern_;
  };

  // Cheap distances: long leaves, scanned in one call.
  static std::uint32_t leaf_points() { return 200; }

  explicit StringSpace(StringMetric metric) : metric_(metric), starts_{0} {}

  StringMetric metric() const { return metric_; }

  const std::uint32_t* row(std::uint32_t r) const { return chars_.data() + starts_[r]; }
  std::size_t length(std::uint32_t r) const { return static_cast<std::size_t>(starts_[r + 1] - starts_[r]); }

  double distance(std::uint32_t a, std::uint32_t b) const {
    if (metric_ == StringMetric::hamming) return padded_hamming(row(a), length(a), row(b), length(b));
    return static_cast<double>(edit_distance(row(a), length(a), row(b), length(b)));
  }
  double distance(const Query& query, std::uint32_t r) const {
    return within(query, r, std::numeric_limits<double>::infinity());
  }
  // Exact up to `limit`; above it the edit distance may stop early.
  double within(const Query& query, std::uint32_t r, double limit) const {
    if (metric_ == StringMetric::hamming) return padded_hamming(query.data(), query.size(), row(r), length(r));
    return static_cast<double>(query.pattern().distance(row(r), length(r), edit_limit(limit)));
  }

  // out[i] = within(query, rows[i], limit) for i < count: a leaf in one
  // call. Edit distances measure several rows at once (EditPattern::distances).
  void batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out,
             double limit = std::numeric_limits<double>::infinity()) const {
    if (metric_ == StringMetric::hamming) {
      for (std::size_t i = 0; i < count; ++i) out[i] = distance(query, rows[i]);
      return;
    }
    // Slices the size of a leaf, on the stack: no allocation.
    constexpr std::size_t kSlice = 256;
    const std::uint32_t* texts[kSlice];
    std::size_t lengths[kSlice], found[kSlice];
    for (std::size_t start = 0; start < count; start += kSlice) {
      const std::size_t size = std::min(kSlice, count - start);
      for (std::size_t i = 0; i < size; ++i) {
        texts[i] = row(rows[start + i]);
        lengths[i] = length(rows[start + i]);
      }
      query.pattern().distances(texts, lengths, size, edit_limit(limit), found);
      for (std::size_t i = 0; i < size; ++i) out[start + i] = static_cast<double>(found[i]);
    }
  }

  std::size_t rows() const { return starts_.size() - 1; }
  std::size_t characters() const { return chars_.size(); }

  void append(const std::uint32_t* chars, std::size_t length) {
    chars_.insert(chars_.end(), chars, chars + length);
    starts_.push_back(chars_.size());
  }
  void reserve(std::size_t rows, std::size_t characters) {
    starts_.reserve(starts_.size() + rows);
    chars_.reserve(chars_.size() + characters);
  }

  StringSpace reordered(const std::vector<std::uint32_t>& order) const {
    StringSpace laid_out(metric_);
    std::size_t total = 0;
    for (std::uint32_t r : order) total += length(r);
    laid_out.reserve(order.size(), total);
    for (std::uint32_t r : order) laid_out.append(row(r), length(r));
    return laid_out;
  }
  void truncate(std::size_t rows) {
    starts_.resize(rows + 1);
    chars_.resize(starts_.back());
  }
  void clear() {
    std::vector<std::uint32_t>().swap(chars_);
    starts_.assign(1, 0);
  }

 private:
  // Hamming distance is defined for strings of one length, which the
  // caller checks; should two lengths differ anyway, the positions past the
  // shorter string count as differences (still a metric), and nothing past
  // either string is ever read.
  static double padded_hamming(const std::uint32_t* a, std::size_t a_length, const std::uint32_t* b,
                               std::size_t b_length) {
    const std::size_t common = std::min(a_length, b_length);
    return static_cast<double>(hamming_distance(a, b, common) + (std::max(a_length, b_length) - common));
  }

  // The largest whole edit distance within `limit`; any for a negative one.
  static std::size_t edit_limit(double limit) {
    if (limit < 0.0) return 0;  // nothing can be within; any distance above 0 will do
    if (limit < 1e18) return static_cast<std::size_t>(std::floor(limit));
    return std::numeric_limits<std::size_t>::max();
  }

  StringMetric metric_;
  std::vector<std::uint32_t> chars_;
  std::vector<std::uint64_t> starts_;  // row r is chars_[starts_[r], starts_[r + 1])
};

}  // namespace vexel
