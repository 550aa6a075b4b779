// Released float arrays wait for the next one: the same memory, where it is
// large enough, and never two arrays in one block.
#include <cstdint>
#include <utility>

#include <gtest/gtest.h>

#include "vexel/reused_floats.h"

namespace {

TEST(ReusedFloats, TheNextArrayTakesTheLastOnesMemoryWhereItFits) {
  vexel::ReusedFloats first;
  ASSERT_TRUE(first.allocate(1000));
  float* memory = first.data();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % 64, 0u) << "floats start on a cache line";
  memory[999] = 1.0f;
  first.release();
  EXPECT_FALSE(first);

  vexel::ReusedFloats smaller, other;
  ASSERT_TRUE(smaller.allocate(600));
  EXPECT_EQ(smaller.data(), memory);
  ASSERT_TRUE(other.allocate(600));  // while the first is in use
  EXPECT_NE(other.data(), memory);

  vexel::ReusedFloats moved(std::move(smaller));
  EXPECT_FALSE(smaller);
  EXPECT_EQ(moved.data(), memory);
  moved.release();
  vexel::ReusedFloats larger;
  ASSERT_TRUE(larger.allocate(2000));  // too large for the waiting block
  larger.data()[1999] = 2.0f;
  EXPECT_EQ(larger.data()[1999], 2.0f);
}

TEST(ReusedFloats, OnlySmallBlocksWaitAndHugeOnesFailCleanly) {
  const std::size_t over = vexel::ReusedFloats::spare_bytes / sizeof(float) + 16;
  vexel::ReusedFloats big;
  ASSERT_TRUE(big.allocate(over));
  float* memory = big.data();
  big.release();
  vexel::ReusedFloats next;
  ASSERT_TRUE(next.allocate(16));
  EXPECT_NE(next.data(), memory) << "a block over the limit was freed";
  EXPECT_FALSE(next.allocate(static_cast<std::size_t>(-1) / 2));
  EXPECT_FALSE(next);
  EXPECT_FALSE(next.allocate(0));
}

}  // namespace
