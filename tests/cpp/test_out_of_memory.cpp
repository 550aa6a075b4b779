// Allocation failures: every allocation of an operation that rebuilds the
// tree is failed in turn; afterwards no Point is lost, and the searches still
// agree with brute force. Tearing a tree down allocates nothing.
#include <cstdlib>
#include <new>

#include "test_support.h"
#include "vexel/edit_neighbourhood.h"
#include "vexel/row_index.h"
#include "vexel/string_space.h"

namespace {

// Counts the allocations made through operator new while armed, and fails
// the one numbered `fail_at` (1-based; 0 = never).
struct AllocationLog {
  bool armed = false;
  std::uint64_t count = 0;
  std::uint64_t fail_at = 0;
};
AllocationLog allocations;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations.armed && ++allocations.count == allocations.fail_at) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return ::operator new(size, tag);
}
// The replacements above take their blocks from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

using namespace vexel_test;

struct Armed {
  explicit Armed(std::uint64_t fail_at) {
    allocations.count = 0;
    allocations.fail_at = fail_at;
    allocations.armed = true;
  }
  ~Armed() { allocations.armed = false; }
};

// A 300-point index with a few bucket Points marked removed, built the same
// way every time.
struct Scenario {
  Index index;
  std::vector<Point> live = random_points(300, 2, 901);

  Scenario() {
    index.set_distance_function(euclidean);
    index.add_list(live);
    // Removing a pivot rebuilds and drops the marks made so far.
    for (std::size_t i = 0; index.removed.size() < 5; i += 7) {
      const Point p = live[i];
      EXPECT_TRUE(index.remove(p));
      live.erase(std::find(live.begin(), live.end(), p));
    }
  }
};

// Size, listing, structure and searches agree with `expected` under `metric`.
void expect_holds(const Index& index, const std::vector<Point>& expected, const Distance& metric) {
  ASSERT_EQ(index.size(), expected.size());
  ASSERT_EQ(sorted(listed(index)), sorted(expected));
  ASSERT_TRUE(tree_is_consistent(index, metric));
  std::vector<Point> result;
  for (const Point& q : random_points(3, 2, 902)) {
    index.nearest_k(q, 5, result);
    ASSERT_EQ(result, brute_nearest_k(expected, q, 5, metric));
  }
}

const Point* stored_pivot(const Index& index) {
  for (const Node* node : all_nodes(index)) {
    if (node != index.tree.get()) return &node->pivot;
  }
  return nullptr;
}

// Runs `operation` on a fresh scenario with allocation number 1, 2, ...
// failed, until it runs through; `check` judges each outcome.
template <typename Operation, typename Check>
std::uint64_t fail_each_allocation(Operation operation, Check check) {
  std::uint64_t failures = 0;
  for (std::uint64_t fail_at = 1;; ++fail_at) {
    Scenario s;
    bool failed = false;
    {
      Armed armed(fail_at);
      try {
        operation(s);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
    check(s, failed);
    if (::testing::Test::HasFatalFailure() || !failed) break;
    ++failures;
  }
  return failures;
}

TEST(OutOfMemory, RemovingAPivotLosesNothing) {
  Point pivot;
  const std::uint64_t failures = fail_each_allocation(
      [&](Scenario& s) {
        pivot = *stored_pivot(s.index);
        s.index.remove(pivot);
      },
      [&](Scenario& s, bool failed) {
        std::vector<Point> without = s.live;
        without.erase(std::find(without.begin(), without.end(), pivot));
        // Either nothing happened, or the pivot went and the rest stayed.
        const bool removed = s.index.size() == without.size();
        if (!failed) {
          ASSERT_TRUE(removed);
        }
        expect_holds(s.index, removed ? without : s.live, euclidean);
      });
  EXPECT_GT(failures, 10u);
}

TEST(OutOfMemory, ReplacingTheMetricSwapsCompletelyOrNotAtAll) {
  const std::uint64_t failures = fail_each_allocation(
      [](Scenario& s) { s.index.set_distance_function(manhattan); },
      [](Scenario& s, bool failed) {
        const Point a{0.0, 0.0}, b{3.0, 4.0};
        const double own = s.index.distance_function(a, b);
        const double selector = s.index.pivot_selector.distance_function(a, b);
        ASSERT_EQ(own, selector) << "both copies hold the same metric";
        if (!failed) {
          ASSERT_EQ(own, 7.0);
        }
        expect_holds(s.index, s.live, own == 7.0 ? Distance(manhattan) : Distance(euclidean));
      });
  EXPECT_GT(failures, 10u);
}

// With Points marked, an insertion into a full leaf rebuilds the tree.
TEST(OutOfMemory, AnInsertionThatRebuildsLosesNothing) {
  Point newcomer;
  const std::uint64_t failures = fail_each_allocation(
      [&](Scenario& s) {
        ASSERT_FALSE(s.index.removed.empty());
        for (const Point& p : random_points(400, 2, 903)) {
          newcomer = p;
          const std::size_t marked = s.index.removed.size();
          s.index.add(p);
          s.live.push_back(p);
          if (s.index.removed.size() != marked) return;  // rebuilt
        }
        FAIL() << "no insertion rebuilt the tree";
      },
      [&](Scenario& s, bool failed) {
        // A failed insertion either stored its Point or not; nothing else changed.
        if (failed && s.index.size() == s.live.size() + 1) s.live.push_back(newcomer);
        expect_holds(s.index, s.live, euclidean);
      });
  EXPECT_GT(failures, 10u);
}

TEST(OutOfMemory, ClearingAndDestroyingAllocateNothing) {
  Scenario s;
  auto chain = std::make_unique<Index>();
  chain->set_distance_function([](const Point& a, const Point& b) { return std::fabs(a[0] - b[0]); });
  chain->add_list(std::vector<Point>(2000, Point{1.0, 2.0}));  // deep
  {
    Armed armed(1);
    s.index.clear();
    chain.reset();
    EXPECT_EQ(allocations.count, 0u);
  }
  EXPECT_EQ(s.index.size(), 0u);
  EXPECT_EQ(s.index.tree, nullptr);
}

// A deletion neighbourhood whose build runs out of memory is dropped, never
// half-built: the caller falls back to the tree, and the next build works.
TEST(OutOfMemory, AFailedNeighbourhoodBuildLeavesNone) {
  using Rows = vexel::RowIndex<vexel::StringSpace>;
  Rows index(vexel::StringMetric::levenshtein);
  const std::vector<std::vector<std::uint32_t>> words = {{'a', 'b'}, {'a'}, {}, {'b', 'b', 'a'}, {'a', 'b'}};
  index.add(nullptr, words.size(), [&](vexel::StringSpace& space) {
    for (const auto& word : words) space.append(word.data(), word.size());
  });
  const vexel::StringSpace::Query query(words[0].data(), words[0].size());
  std::uint64_t failures = 0;
  for (std::uint64_t fail_at = 1;; ++fail_at) {
    vexel::EditNeighbourhood neighbourhood;
    bool prepared;
    {
      Armed armed(fail_at);
      prepared = neighbourhood.prepare(index, 1.0);
    }
    if (!prepared) {
      ++failures;
      ASSERT_FALSE(neighbourhood.built());
      ASSERT_TRUE(neighbourhood.prepare(index, 1.0));
    }
    vexel::EditNeighbourhood::Scratch scratch;
    std::vector<Rows::Neighbor> found;
    neighbourhood.within(index, query, 1.0, found, scratch);
    ASSERT_EQ(found.size(), 3u);  // "ab" (ids 0 and 4), then "a"
    EXPECT_EQ(found[0].stored, 0);
    EXPECT_EQ(found[1].stored, 4);
    EXPECT_EQ(found[2].stored, 1);
    if (prepared) break;
  }
  EXPECT_GT(failures, 3u);
}

}  // namespace
