// The triangle-inequality tests that let a search skip what cannot matter.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace vexel {

// Everything at a distance in [low, high] from a pivot lies farther than
// `bound` from a query at distance d from that pivot when d - bound > high
// or low > d + bound. Each form below decides that, and each fails on NaN
// (an infinite distance minus an infinite bound), so what cannot be
// excluded never is.
//
// With a `slack` above 0 a test must hold by more than the rounding of the
// distances could explain (relative to their size): an index that orders
// equally distant points by id must never prune a point exactly on the
// bound. An `absolute` slack adds a margin that does not shrink with the
// distances, for kernels whose error near 0 is absolute rather than
// relative (angles computed from rounded unit vectors, and snapped to 0
// below a few epsilons). Slacks of 0 prune on the computed distances as
// they are.
class Pruning {
 public:
  explicit constexpr Pruning(double slack, double absolute = 0.0) : slack_(slack), absolute_(absolute) {}

  // For sibling ranges and for children about to be queued.
  bool rules_out(double d, double bound, double low, double high) const {
    return exceeds(d - bound, high, d, bound, high) || exceeds(low, d + bound, d, bound, low);
  }

  // For a node taken from the queue: the same inequalities rearranged as
  // d > high + bound or d < low - bound, which round differently.
  bool rules_out_popped(double d, double bound, double low, double high) const {
    return exceeds(d, high + bound, d, bound, high) || exceeds(low - bound, d, d, bound, low);
  }

  // Whether a lower bound of every distance in a subtree (a box's) exceeds
  // `bound`: false for NaN, and for a bound of -infinity (none known).
  bool beyond(double lower_bound, double bound) const {
    return exceeds(lower_bound, bound, lower_bound, bound, 0.0);
  }

  // rules_out for a bucket element whose distance to the pivot was kept in
  // single precision, written without branches: d - bound > at or
  // at > d + bound, by more than the rounding of `at` (and of the distances)
  // could explain. NaN never excludes; neither does an infinite `at` (a
  // distance beyond the range of float).
  static bool excluded_by(double d, double bound, float kept) {
    const double at = kept;
    const double margin = kept_margin * (std::fabs(d) + std::fabs(bound) + std::fabs(at)) + kept_absolute;
    return ((d - bound) - at > margin) | (at - (d + bound) > margin);
  }

  // excluded_by for `n` kept distances at once, in single precision so that
  // it vectorises: at * (1 + 2^-20) < (d - bound) - base, or
  // at * (1 - 2^-20) > (d + bound) + base, with each bound rounded to a float
  // on the side that excludes less. Distances are never negative, so this
  // excludes only what excluded_by would (up to the rounding of the bounds,
  // far inside the margin), and NaN or an infinite `at` never.
  static void exclude(double d, double bound, const float* kept, std::size_t n, std::uint32_t* excluded) {
    const Window window = kept_window(d, bound);
    constexpr float infinity = std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
      const float at = kept[i];
      excluded[i] = static_cast<std::uint32_t>((at < window.below) | ((at > window.above) & (at < infinity)));
    }
  }

  // The kept distances that exclude() keeps: those in [below, above], NaN
  // and infinite ones.
  struct Window {
    float below;
    float above;
  };
  static Window kept_window(double d, double bound) {
    const double base = kept_margin * (std::fabs(d) + std::fabs(bound)) + kept_absolute;
    return {float_at_most(((d - bound) - base) / (1 + kept_margin)),
            float_at_least(((d + bound) + base) / (1 - kept_margin))};
  }

 private:
  // A kept distance is rounded to a float: far more than any slack. The
  // absolute part covers kernels whose error near 0 is absolute (see above).
  static constexpr double kept_margin = 0x1p-20;
  static constexpr double kept_absolute = 0x1p-36;

  // The largest float not above x, the smallest not below (NaN stays NaN).
  static float float_at_most(double x) {
    const float f = static_cast<float>(x);
    return f > x ? std::nextafter(f, -std::numeric_limits<float>::infinity()) : f;
  }
  static float float_at_least(double x) {
    const float f = static_cast<float>(x);
    return f < x ? std::nextafter(f, std::numeric_limits<float>::infinity()) : f;
  }

  // larger > smaller, and with a slack by more than rounding of the three
  // distances a, b and c could explain.
  bool exceeds(double larger, double smaller, double a, double b, double c) const {
    if (!(larger > smaller)) return false;
    if (slack_ == 0.0 && absolute_ == 0.0) return true;
    return larger - smaller > slack_ * (std::fabs(a) + std::fabs(b) + std::fabs(c)) + absolute_;
  }

  double slack_;
  double absolute_;
};

}  // namespace vexel
