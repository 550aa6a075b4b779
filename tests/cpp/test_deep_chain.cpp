// Equal Points form a chain one level deep per surplus Point: building,
// listing, searching and destroying it must not exhaust a small stack.
#include <pthread.h>

#include "test_support.h"

namespace {

using namespace vexel_test;

// A chain costs about n^2/2 distance evaluations, so it is kept short and
// the stack small instead: 5,000 levels on 64 KiB leave 13 bytes a level,
// less than any call frame, so recursion along the chain would overflow it
// long before the bottom. The sanitizers' frames and checks need more room
// for the work itself: there the stack keeps 256 KiB, still 52 bytes a level.
constexpr std::size_t kChainPoints = 5000;
#ifdef VEXEL_SANITIZED_BUILD
constexpr std::size_t kSmallStack = 256 * 1024;
#else
constexpr std::size_t kSmallStack = 64 * 1024;
#endif

// Runs `work` on a thread with kSmallStack; recursion along the chain
// would overflow it long before the bottom.
template <typename Work>
void run_on_small_stack(Work work) {
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, kSmallStack), 0);
  pthread_t thread;
  auto trampoline = [](void* argument) -> void* {
    (*static_cast<Work*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, trampoline, &work), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
}

// A cheap metric on one coordinate keeps the quadratic number of
// evaluations (one per level per insertion) affordable.
double first_coordinate(const Point& a, const Point& b) { return std::fabs(a[0] - b[0]); }

struct ChainReport {
  std::size_t size = 0;
  std::size_t depth = 0;
  std::size_t listed = 0;
  bool listed_all_equal = false;
  std::size_t nearest_k = 0;
  std::size_t nearest_r = 0;
  Point nearest;
  std::size_t near_copy_k = 0;
  std::size_t after_removals = 0;
  bool destroyed = false;
};

ChainReport build_search_destroy(bool batch) {
  ChainReport report;
  const Point equal{3.0, 1.0};
  {
    Index index;
    index.set_distance_function(first_coordinate);
    if (batch) {
      index.add_list(std::vector<Point>(kChainPoints, equal));
    } else {
      for (std::size_t i = 0; i < kChainPoints; ++i) index.add(equal);
    }
    report.size = index.size();
    for (const Node* node = index.tree.get(); node != nullptr;
         node = node->children.empty() ? nullptr : node->children[0].get()) {
      ++report.depth;
    }
    std::vector<Point> out;
    index.list(out);
    report.listed = out.size();
    report.listed_all_equal = std::all_of(out.begin(), out.end(), [&](const Point& p) { return p == equal; });
    index.nearest_k(equal, 25, out);
    report.nearest_k = out.size();
    index.nearest_r({3.5, 0.0}, 0.5, out);
    report.nearest_r = out.size();
    report.nearest = index.nearest({10.0, 0.0});
    index.nearest_k({3.0, 9.0}, 1, out);
    report.near_copy_k = out.size();
    for (int i = 0; i < 30; ++i) index.remove(equal);
    report.after_removals = index.size();
  }
  report.destroyed = true;
  return report;
}

class DeepChain : public ::testing::TestWithParam<bool> {};

TEST_P(DeepChain, BuildsSearchesAndDestroysOnASmallStack) {
  ChainReport report;
  run_on_small_stack([&report] { report = build_search_destroy(GetParam()); });
  EXPECT_EQ(report.size, kChainPoints);
  // The root splits into one child, and every level keeps 50 Points in its
  // bucket only at the bottom: one level per surplus Point.
  EXPECT_GT(report.depth, kChainPoints - 100);
  EXPECT_EQ(report.listed, kChainPoints);
  EXPECT_TRUE(report.listed_all_equal);
  EXPECT_EQ(report.nearest_k, 25u);
  EXPECT_EQ(report.nearest_r, kChainPoints);
  EXPECT_EQ(report.nearest, (Point{3.0, 1.0}));
  EXPECT_EQ(report.near_copy_k, 1u);
  EXPECT_EQ(report.after_removals, kChainPoints - 30);
  EXPECT_TRUE(report.destroyed);
}

INSTANTIATE_TEST_SUITE_P(Insertion, DeepChain, ::testing::Values(false, true),
                         [](const auto& test_case) { return test_case.param ? "Batch" : "OneByOne"; });

}  // namespace
