// Strings of code points in one block, measured by edit or Hamming distance.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "vexel/edit_distance.h"
#include "vexel/letter_classes.h"

namespace vexel {

enum class StringMetric { levenshtein, hamming };

class StringSpace {
 public:
  // A query, prepared once for all the rows it meets.
  class Query {
   public:
    Query(const std::uint32_t* text, std::size_t length)
        : text_(text, text + length),
          pattern_(text, length),
          classes_(LetterClasses::exact(text, length)),
          kept_classes_(LetterClasses::kept(classes_)) {}
    const std::uint32_t* data() const { return text_.data(); }
    std::size_t size() const { return text_.size(); }
    const EditPattern<std::uint32_t>& pattern() const { return pattern_; }
    const LetterClasses::Exact& classes() const { return classes_; }
    const std::uint8_t* kept_classes() const { return kept_classes_.data(); }

   private:
    std::vector<std::uint32_t> text_;
    EditPattern<std::uint32_t> pattern_;
    LetterClasses::Exact classes_;
    std::array<std::uint8_t, LetterClasses::count> kept_classes_;
  };

  // Long leaves, scanned in one call: most rows of a leaf cost only the
  // length and letter-class filter, which is cheaper than the pivot
  // distances a deeper tree would measure (short real words prune badly).
  static std::uint32_t leaf_points() { return 1600; }

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
  // call. Under a finite limit, rows whose lengths or letter classes already
  // put them beyond it get that lower bound, unmeasured; the others are
  // measured several at once (EditPattern::distances).
  void batch(const Query& query, const std::uint32_t* rows, std::size_t count, double* out,
             double limit = std::numeric_limits<double>::infinity()) const {
    if (metric_ == StringMetric::hamming) {
      for (std::size_t i = 0; i < count; ++i) out[i] = distance(query, rows[i]);
      return;
    }
    const std::size_t most = edit_limit(limit);
    const bool filter = most != std::numeric_limits<std::size_t>::max();
    // Slices the size of a leaf, on the stack: no allocation.
    constexpr std::size_t kSlice = 256;
    const std::uint32_t* texts[kSlice];
    std::size_t lengths[kSlice], found[kSlice], slot[kSlice];
    for (std::size_t start = 0; start < count; start += kSlice) {
      const std::size_t size = std::min(kSlice, count - start);
      std::size_t kept = 0;
      for (std::size_t i = 0; i < size; ++i) {
        const std::uint32_t r = rows[start + i];
        if (filter) {
          const std::size_t bound = edit_lower_bound(query, r);
          if (bound > most) {
            out[start + i] = static_cast<double>(bound);
            continue;
          }
        }
        texts[kept] = row(r);
        lengths[kept] = length(r);
        slot[kept++] = start + i;
      }
      query.pattern().distances(texts, lengths, kept, most, found);
      for (std::size_t i = 0; i < kept; ++i) out[slot[i]] = static_cast<double>(found[i]);
    }
  }

  // The distances from every row of `rows` to the row `center` (a column of
  // a split): the center is prepared once as a query, which both distances
  // allow, being symmetric.
  void column(std::uint32_t center, const std::uint32_t* rows, std::size_t count, double* out) const {
    const Query prepared(row(center), length(center));
    batch(prepared, rows, count, out);
  }

  // A lower bound of the edit distance from `query` to row `r` from their
  // lengths and letter classes alone.
  std::size_t edit_lower_bound(const Query& query, std::uint32_t r) const {
    const std::size_t a = query.size(), b = length(r);
    const std::size_t bag = LetterClasses::kept_bag_bound(query.kept_classes(), row_classes(r));
    return std::max(a > b ? a - b : b - a, bag);
  }

  // Node boxes under edit distance: of the length and the 16 class counts.
  std::size_t box_size() const { return metric_ == StringMetric::levenshtein ? 1 + LetterClasses::count : 0; }
  void widen_box(double* low, double* high, std::uint32_t r) const {
    // The counts as doubles first, then one pass per bound: loops the
    // compiler turns into vector minima and maxima (a bound may not alias
    // the counts, nor the other bound).
    double value[1 + LetterClasses::count];
    value[0] = static_cast<double>(length(r));
    const std::uint8_t* classes = row_classes(r);
    for (std::size_t c = 0; c < LetterClasses::count; ++c) value[1 + c] = classes[c];
    for (std::size_t i = 0; i <= LetterClasses::count; ++i) low[i] = value[i] < low[i] ? value[i] : low[i];
    for (std::size_t i = 0; i <= LetterClasses::count; ++i) high[i] = value[i] > high[i] ? value[i] : high[i];
  }
  double box_distance(const Query& query, const double* low, const double* high) const {
    const auto size = static_cast<double>(query.size());
    const double shorter = low[0] - size, longer = size - high[0];
    const double gap = std::max({shorter, longer, 0.0});
    const double bag = LetterClasses::bag_bound(query.classes(), low + 1, high + 1);
    return std::max(gap, bag);
  }

  std::size_t rows() const { return starts_.size() - 1; }
  std::size_t characters() const { return chars_.size(); }

  void append(const std::uint32_t* chars, std::size_t length) {
    chars_.insert(chars_.end(), chars, chars + length);
    classes_.resize(classes_.size() + LetterClasses::count);
    LetterClasses::keep(chars, length, classes_.data() + classes_.size() - LetterClasses::count);
    starts_.push_back(chars_.size());
  }
  void reserve(std::size_t rows, std::size_t characters) {
    starts_.reserve(starts_.size() + rows);
    classes_.reserve(classes_.size() + rows * LetterClasses::count);
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
    classes_.resize(rows * LetterClasses::count);
  }
  void clear() {
    std::vector<std::uint32_t>().swap(chars_);
    std::vector<std::uint8_t>().swap(classes_);
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

  const std::uint8_t* row_classes(std::uint32_t r) const {
    return classes_.data() + std::size_t{r} * LetterClasses::count;
  }

  StringMetric metric_;
  std::vector<std::uint32_t> chars_;
  std::vector<std::uint8_t> classes_;  // LetterClasses::count kept counts a row
  std::vector<std::uint64_t> starts_;  // row r is chars_[starts_[r], starts_[r + 1])
};

}  // namespace vexel
