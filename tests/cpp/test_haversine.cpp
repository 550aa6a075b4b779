// The haversine kernel: central angles against a long-double reference by
// another formula, on random places, near the poles, across the antimeridian,
// at equal and at antipodal places; every level bit for bit; symmetry and the
// triangle inequality within the rounding the tree's pruning allows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "vexel/simd.h"
#include "vexel/vector_kernels.h"

namespace {

using vexel::VectorMetric;
using vexel::simd::Level;

constexpr double kPi = 3.14159265358979323846;
constexpr double kEps = std::numeric_limits<double>::epsilon();

struct Place {
  double lat, lon;
};

// 2 atan2(|u - v|, |u + v|) on the unit vectors of the places, in long
// double: no haversine, no half angles.
long double reference_angle(Place a, Place b) {
  const long double u[3] = {std::cos(static_cast<long double>(a.lat)) * std::cos(static_cast<long double>(a.lon)),
                            std::cos(static_cast<long double>(a.lat)) * std::sin(static_cast<long double>(a.lon)),
                            std::sin(static_cast<long double>(a.lat))};
  const long double v[3] = {std::cos(static_cast<long double>(b.lat)) * std::cos(static_cast<long double>(b.lon)),
                            std::cos(static_cast<long double>(b.lat)) * std::sin(static_cast<long double>(b.lon)),
                            std::sin(static_cast<long double>(b.lat))};
  long double minus = 0, plus = 0;
  for (int i = 0; i < 3; ++i) {
    minus += (u[i] - v[i]) * (u[i] - v[i]);
    plus += (u[i] + v[i]) * (u[i] + v[i]);
  }
  return 2 * std::atan2(std::sqrt(minus), std::sqrt(plus));
}

double angle(Place a, Place b, Level level = vexel::simd::Level::portable) {
  const double q[2] = {a.lat, a.lon}, r[2] = {b.lat, b.lon};
  return vexel::vector_kernel<double>(VectorMetric::haversine, level).one(q, r, 2);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<Level> available_levels() {
  std::vector<Level> levels;
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    if (level <= vexel::simd::supported()) levels.push_back(level);
  }
  return levels;
}

// Places everywhere, many near the poles and the antimeridian, and pairs at
// every scale: far apart, nearly antipodal, a few metres apart, equal.
std::vector<std::pair<Place, Place>> random_pairs(std::uint64_t seed, std::size_t count) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const auto place = [&] {
    const int kind = static_cast<int>(random() % 4);
    if (kind == 0) {
      const double below_pole = kPi / 2 - 1e-3 * std::fabs(unit(random));
      return Place{std::copysign(below_pole, unit(random)), kPi * unit(random)};
    }
    if (kind == 1) return Place{std::asin(unit(random)), std::remainder(kPi + 1e-3 * unit(random), 2 * kPi)};
    return Place{std::asin(unit(random)), kPi * unit(random)};
  };
  // Latitudes stay in [-pi/2, pi/2].
  const auto latitude = [](double lat) { return std::clamp(lat, -kPi / 2, kPi / 2); };
  std::vector<std::pair<Place, Place>> pairs;
  for (std::size_t i = 0; i < count; ++i) {
    const Place a = place();
    const double scale = std::pow(10.0, -12.0 * std::fabs(unit(random)));
    switch (random() % 4) {
      case 0: pairs.push_back({a, place()}); break;
      // Across the antimeridian, longitudes stay in [-pi, pi].
      case 1: {
        const Place b{latitude(a.lat + scale * unit(random)), std::remainder(a.lon + scale * unit(random), 2 * kPi)};
        pairs.push_back({a, b});
        break;
      }
      case 2: pairs.push_back({a, {latitude(-a.lat + scale * unit(random)), a.lon + kPi + scale * unit(random)}}); break;
      default: pairs.push_back({a, a}); break;
    }
  }
  return pairs;
}

TEST(Haversine, AgreesWithTheLongDoubleReferenceAtEveryScale) {
  for (const auto& [a, b] : random_pairs(1, 20000)) {
    const long double expected = reference_angle(a, b);
    const double got = angle(a, b);
    // Relative accuracy at every scale, also for places metres apart across
    // the antimeridian; the floor is the reference's own rounding.
    const long double allowed = 8 * kEps * expected + 1e-18L;
    ASSERT_LE(std::fabs(got - expected), allowed)
        << "(" << a.lat << ", " << a.lon << ") to (" << b.lat << ", " << b.lon << "): " << got;
    ASSERT_GE(got, 0.0);
    ASSERT_LE(got, kPi);
  }
}

TEST(Haversine, EqualPlacesAreAtExactlyZeroAndAntipodesAtPi) {
  for (const auto& [a, b] : random_pairs(2, 2000)) {
    (void)b;
    EXPECT_EQ(angle(a, a), 0.0);
  }
  for (Place p : {Place{0, 0}, Place{kPi / 2, 0}, Place{-kPi / 2, 3}, Place{0, kPi}, Place{1e-300, -1e-300},
                  Place{0.3, 7.0}}) {
    EXPECT_EQ(angle(p, p), 0.0);
  }
  // Antipodes on the equator, where sin(lon / 2) and cos(lon / 2) are exact.
  EXPECT_EQ(angle({0, 0}, {0, kPi}), kPi);
  EXPECT_EQ(angle({0, -kPi / 2}, {0, kPi / 2}), kPi);
  EXPECT_NEAR(angle({kPi / 2, 0}, {-kPi / 2, 0}), kPi, 4 * kEps);
  EXPECT_NEAR(angle({0.3, 1.0}, {-0.3, 1.0 + kPi}), kPi, 4 * kEps);
  // 1 - h of a nearly antipodal pair is found to full precision: the angle
  // falls short of pi by the reference's amount, not by rounding noise.
  const Place a{0.4, 0.2}, b{-0.4 + 1e-9, 0.2 + kPi};
  EXPECT_NEAR(kPi - angle(a, b), static_cast<double>(kPi - reference_angle(a, b)), 1e-15);
  EXPECT_GT(kPi - angle(a, b), 0.5e-9);
}

TEST(Haversine, SymmetricAndEqualAtEveryLevelBitForBit) {
  for (const auto& [a, b] : random_pairs(3, 5000)) {
    const double expected = angle(a, b);
    ASSERT_TRUE(same_bits(angle(b, a), expected));
    for (Level level : available_levels()) {
      ASSERT_TRUE(same_bits(angle(a, b, level), expected)) << vexel::simd::name(level);
      const double q[2] = {a.lat, a.lon};
      const float r32[2] = {static_cast<float>(b.lat), static_cast<float>(b.lon)};
      // Read back through volatile: g++ 12 -O2 was seen to fold the round
      // trip through float away here.
      const volatile float* stored = r32;
      const double r64[2] = {static_cast<double>(stored[0]), static_cast<double>(stored[1])};
      const std::uint32_t rows[1] = {0};
      double many = -1;
      vexel::vector_kernel<float>(VectorMetric::haversine, level).many(q, r32, 2, rows, 1, &many);
      const double one = vexel::vector_kernel<double>(VectorMetric::haversine, level).one(q, r64, 2);
      ASSERT_TRUE(same_bits(many, one)) << vexel::simd::name(level);
    }
  }
}

// The tree prunes only by more than 2^-32 of the three distances: the
// computed angle must keep the triangle inequality within that, at every
// scale, near the poles and across the antimeridian.
TEST(Haversine, KeepsTheTriangleInequalityWithinRounding) {
  std::mt19937_64 random(4);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const auto pairs = random_pairs(5, 30000);
  for (std::size_t i = 0; i + 1 < pairs.size(); ++i) {
    const Place a = pairs[i].first, b = pairs[i].second;
    const double scale = std::pow(10.0, -10.0 * std::fabs(unit(random)));
    const Place near_b{std::clamp(b.lat + scale * unit(random), -kPi / 2, kPi / 2),
                       std::remainder(b.lon + scale * unit(random), 2 * kPi)};
    const Place c = (i % 2) ? pairs[i + 1].first : near_b;
    const double ab = angle(a, b), bc = angle(b, c), ac = angle(a, c);
    const double slack = 0x1p-32 * (ab + bc + ac);
    ASSERT_LE(ac, ab + bc + slack) << i;
    ASSERT_LE(ab, ac + bc + slack) << i;
  }
}

TEST(Haversine, RefusesPointsThatAreNotPlaces) {
  const double q[3] = {0.1, 0.2, 0.3};
  for (Level level : available_levels()) {
    const auto kernel = vexel::vector_kernel<double>(VectorMetric::haversine, level);
    EXPECT_THROW(kernel.one(q, q, 3), std::invalid_argument);
    EXPECT_THROW(kernel.one(q, q, 1), std::invalid_argument);
  }
  EXPECT_NO_THROW(vexel::haversine_distance(q, q, 2));
}

}  // namespace
