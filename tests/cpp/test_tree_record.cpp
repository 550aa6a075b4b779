// The tree of a RowIndex as flat arrays: a round trip measures nothing and
// gives back the same tree, the same answers with the same number of
// distances, and the same tree after later insertions and removals; a
// damaged record is refused with std::invalid_argument, leaving the index
// empty, and never crashes.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "test_support.h"
#include "vexel/row_index.h"
#include "vexel/string_space.h"
#include "vexel/tree_record.h"
#include "vexel/vector_space.h"

namespace {

using namespace vexel_test;
using vexel::TreeRecord;

// A space that counts every distance it measures, with short leaves and
// few children so that small data make deep trees.
template <typename Base>
struct Counting : Base {
  using Query = typename Base::Query;
  using Base::Base;
  explicit Counting(Base base) : Base(std::move(base)) {}

  static std::uint32_t leaf_points() { return 12; }
  static std::uint32_t tree_degree() { return 5; }

  double distance(const Query& q, std::uint32_t r) const {
    ++*calls;
    return Base::distance(q, r);
  }
  double distance(std::uint32_t a, std::uint32_t b) const {
    ++*calls;
    return Base::distance(a, b);
  }
  template <typename... Limit>
  auto batch(const Query& q, const std::uint32_t* rows, std::size_t count, double* out, Limit... limit) const
      -> decltype(std::declval<const Base&>().batch(q, rows, count, out, limit...)) {
    *calls += count;
    return Base::batch(q, rows, count, out, limit...);
  }
  template <typename B = Base>
  auto within(const Query& q, std::uint32_t r, double limit) const
      -> decltype(std::declval<const B&>().within(q, r, limit)) {
    ++*calls;
    return Base::within(q, r, limit);
  }
  void column(std::uint32_t center, const std::uint32_t* rows, std::size_t count, double* out) const {
    *calls += count;
    Base::column(center, rows, count, out);
  }
  Counting reordered(const std::vector<std::uint32_t>& order) const {
    Counting other(Base::reordered(order));
    other.calls = calls;
    return other;
  }

  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);
};

// What the tests need of a kind of space: an empty index, random points,
// appending them, copying rows from another index, and queries.
template <typename Scalar, vexel::VectorMetric Metric>
struct Vectors {
  using Space = Counting<vexel::VectorSpace<Scalar>>;
  using Item = Point;
  static constexpr std::size_t dim = 4;
  static std::unique_ptr<vexel::RowIndex<Space>> make() {
    return std::make_unique<vexel::RowIndex<Space>>(Metric, dim);
  }
  // Small integers: ties everywhere, and boxes that prune.
  static std::vector<Item> items(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Item> out(n, Item(dim));
    for (Item& p : out) {
      for (double& x : p) x = static_cast<double>(random() % 11) - 5.0;
    }
    return out;
  }
  static void append(Space& space, const std::vector<Item>& items) {
    for (const Item& p : items) space.append(p.data(), 1);
  }
  static void copy_rows(Space& space, const Space& from, const std::vector<std::uint32_t>& rows) {
    for (std::uint32_t r : rows) {
      const Point p(from.row(r), from.row(r) + dim);
      space.append(p.data(), 1);
    }
  }
  template <typename Search>
  static void with_query(const Item& item, Search search) {
    search(item.data());
  }
  static std::vector<double> radii() { return {0.0, 1.5, 4.0}; }
};

struct Words {
  using Space = Counting<vexel::StringSpace>;
  using Item = std::vector<std::uint32_t>;
  static std::unique_ptr<vexel::RowIndex<Space>> make() {
    return std::make_unique<vexel::RowIndex<Space>>(vexel::StringMetric::levenshtein);
  }
  static std::vector<Item> items(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Item> out(n);
    for (Item& word : out) {
      word.resize(1 + random() % 8);
      for (std::uint32_t& c : word) c = static_cast<std::uint32_t>('a' + random() % 6);
    }
    return out;
  }
  static void append(Space& space, const std::vector<Item>& items) {
    for (const Item& word : items) space.append(word.data(), word.size());
  }
  static void copy_rows(Space& space, const Space& from, const std::vector<std::uint32_t>& rows) {
    for (std::uint32_t r : rows) space.append(from.row(r), from.length(r));
  }
  template <typename Search>
  static void with_query(const Item& item, Search search) {
    search(vexel::StringSpace::Query(item.data(), item.size()));
  }
  static std::vector<double> radii() { return {0.0, 1.0, 2.0}; }
};

using EuclideanBoxes = Vectors<double, vexel::VectorMetric::euclidean>;
using AngularFloats = Vectors<float, vexel::VectorMetric::angular>;  // no boxes

template <typename Kind>
using IndexOf = vexel::RowIndex<typename Kind::Space>;
using Answer = std::vector<std::pair<double, std::int64_t>>;

bool same_floats(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Equal ids and distances, NaN equal to NaN.
bool same_answer(const Answer& a, const Answer& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const auto& x, const auto& y) {
           return x.second == y.second && (x.first == y.first || (std::isnan(x.first) && std::isnan(y.first)));
         });
}

void expect_same_record(const TreeRecord& a, const TreeRecord& b) {
  EXPECT_EQ(a.degree, b.degree);
  EXPECT_EQ(a.min_degree, b.min_degree);
  EXPECT_EQ(a.max_degree, b.max_degree);
  EXPECT_EQ(a.max_leaf_points, b.max_leaf_points);
  EXPECT_EQ(a.count, b.count);
  EXPECT_EQ(a.box_size, b.box_size);
  EXPECT_EQ(a.generator, b.generator);
  EXPECT_EQ(a.node_pivot, b.node_pivot);
  EXPECT_EQ(a.node_children, b.node_children);
  EXPECT_EQ(a.node_degree, b.node_degree);
  EXPECT_EQ(a.node_min_radius, b.node_min_radius);
  EXPECT_EQ(a.node_max_radius, b.node_max_radius);
  EXPECT_EQ(a.node_ranges, b.node_ranges);
  EXPECT_EQ(a.node_bucket, b.node_bucket);
  EXPECT_EQ(a.node_box, b.node_box);
  EXPECT_EQ(a.range_low, b.range_low);
  EXPECT_EQ(a.range_high, b.range_high);
  EXPECT_EQ(a.bucket_rows, b.bucket_rows);
  EXPECT_TRUE(same_floats(a.bucket_distances, b.bucket_distances));
  EXPECT_EQ(a.boxes, b.boxes);
}

// The ids of the exporting index's rows, in the record's order.
template <typename Kind>
std::vector<std::int64_t> ids_of(const IndexOf<Kind>& index, const TreeRecord& record) {
  std::vector<std::int64_t> ids;
  for (std::uint32_t row : record.rows) ids.push_back(index.row_ids[row]);
  return ids;
}

// Restores into `target` the tree and rows `source` exports.
template <typename Kind>
void restore_from(IndexOf<Kind>& target, const IndexOf<Kind>& source, const TreeRecord& record) {
  const std::vector<std::int64_t> ids = ids_of<Kind>(source, record);
  target.restore(ids.data(), ids.size(),
                 [&](typename Kind::Space& space) { Kind::copy_rows(space, source.space, record.rows); }, record);
}

// Every answer of both indexes to the same queries, and the distances each
// measured for them.
template <typename Kind>
void expect_same_searches(const IndexOf<Kind>& a, const IndexOf<Kind>& b, std::uint32_t seed) {
  typename IndexOf<Kind>::Neighbors neighbors;
  typename IndexOf<Kind>::SearchScratch scratch;
  std::vector<typename IndexOf<Kind>::Neighbor> found;
  const auto answers = [&](const IndexOf<Kind>& index) {
    std::vector<Answer> all;
    const std::uint64_t before = *index.space.calls;
    for (const auto& item : Kind::items(25, seed)) {
      Kind::with_query(item, [&](const auto& query) {
        for (std::size_t k : {std::size_t{1}, std::size_t{6}, std::size_t{40}}) {
          index.nearest(query, k, found, neighbors, scratch);
          all.emplace_back();
          for (const auto& entry : found) all.back().emplace_back(entry.distance, entry.stored);
        }
        for (double radius : Kind::radii()) {
          index.within(query, radius, found, neighbors, scratch);
          all.emplace_back();
          for (const auto& entry : found) all.back().emplace_back(entry.distance, entry.stored);
        }
      });
    }
    return std::make_pair(all, *index.space.calls - before);
  };
  const auto [answers_a, calls_a] = answers(a);
  const auto [answers_b, calls_b] = answers(b);
  ASSERT_EQ(answers_a.size(), answers_b.size());
  for (std::size_t i = 0; i < answers_a.size(); ++i) EXPECT_TRUE(same_answer(answers_a[i], answers_b[i])) << i;
  EXPECT_EQ(calls_a, calls_b);
  EXPECT_GT(calls_a, 0u);
}

// Ids with gaps, in a shuffled order.
std::vector<std::int64_t> scattered_ids(std::size_t n, std::int64_t first, std::uint32_t seed) {
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = first + 3 * static_cast<std::int64_t>(i);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(seed));
  return ids;
}

template <typename Kind>
void add_items(IndexOf<Kind>& index, const std::vector<typename Kind::Item>& items, const std::vector<std::int64_t>& ids) {
  index.add(ids.data(), ids.size(), [&](typename Kind::Space& space) { Kind::append(space, items); });
}

// How the index to be saved was built.
enum class Build { bulk, single, bulk_then_single, rebuilt_by_removal };

template <typename Kind>
std::unique_ptr<IndexOf<Kind>> built(Build build) {
  auto index = Kind::make();
  const auto items = Kind::items(build == Build::single ? 700 : 1500, 11);
  const auto ids = scattered_ids(items.size(), 5, 12);
  if (build == Build::single) {
    for (std::size_t i = 0; i < items.size(); ++i) add_items<Kind>(*index, {items[i]}, {ids[i]});
    return index;
  }
  add_items<Kind>(*index, items, ids);
  if (build == Build::bulk_then_single) {
    const auto more = Kind::items(200, 13);
    const auto more_ids = scattered_ids(more.size(), 1, 14);
    for (std::size_t i = 0; i < more.size(); ++i) add_items<Kind>(*index, {more[i]}, {more_ids[i]});
  }
  if (build == Build::rebuilt_by_removal) {
    // As many marked as live, at least 500: the removal rebuilds, and the
    // rows it dropped are numbered away.
    const std::vector<std::int64_t> gone(ids.begin(), ids.begin() + 900);
    EXPECT_EQ(index->remove_many(gone.data(), gone.size()), gone.size());
    EXPECT_EQ(index->removed_rows, 0u);
  }
  return index;
}

template <typename Kind>
class TreeRecordRoundTrip : public ::testing::Test {};
using Kinds = ::testing::Types<EuclideanBoxes, AngularFloats, Words>;
TYPED_TEST_SUITE(TreeRecordRoundTrip, Kinds);

TYPED_TEST(TreeRecordRoundTrip, GivesBackTheTreeItsAnswersAndItsFuture) {
  using Kind = TypeParam;
  for (Build build : {Build::bulk, Build::single, Build::bulk_then_single, Build::rebuilt_by_removal}) {
    SCOPED_TRACE(static_cast<int>(build));
    auto original = built<Kind>(build);
    const std::optional<TreeRecord> record = original->export_tree();
    ASSERT_TRUE(record);
    ASSERT_EQ(record->rows.size(), original->size());
    ASSERT_GT(record->nodes(), 20u);  // a deep tree, not one leaf
    EXPECT_EQ(record->box_size, original->space.box_size());

    auto restored = Kind::make();
    restore_from<Kind>(*restored, *original, *record);
    EXPECT_EQ(*restored->space.calls, 0u) << "a restore measured distances";
    EXPECT_EQ(restored->size(), original->size());
    EXPECT_EQ(restored->ids(), original->ids());
    expect_same_record(*restored->export_tree(), *record);
    expect_same_searches<Kind>(*original, *restored, 21);

    // Later work splits with the generator's next draws: the same trees.
    const auto more = Kind::items(150, 31);
    const auto more_ids = scattered_ids(more.size(), 100000, 32);
    for (auto* index : {original.get(), restored.get()}) {
      *index->space.calls = 0;
      for (std::size_t i = 0; i < more.size(); ++i) add_items<Kind>(*index, {more[i]}, {more_ids[i]});
    }
    EXPECT_EQ(*original->space.calls, *restored->space.calls);
    expect_same_record(*restored->export_tree(), *original->export_tree());
    expect_same_searches<Kind>(*original, *restored, 33);

    const auto batch = Kind::items(original->size() + 10, 41);  // as large as the index: one bulk build
    const auto batch_ids = scattered_ids(batch.size(), 200000, 42);
    for (auto* index : {original.get(), restored.get()}) add_items<Kind>(*index, batch, batch_ids);
    expect_same_record(*restored->export_tree(), *original->export_tree());

    std::vector<std::int64_t> gone = original->ids();
    gone.resize(gone.size() * 3 / 5);
    for (auto* index : {original.get(), restored.get()}) {
      *index->space.calls = 0;
      index->remove_many(gone.data(), gone.size());
    }
    EXPECT_EQ(*original->space.calls, *restored->space.calls);
    EXPECT_EQ(restored->ids(), original->ids());
    expect_same_searches<Kind>(*original, *restored, 43);
    expect_same_record(*restored->export_tree(), *original->export_tree());
  }
}

// A split bounded to a few bytes of distances measures them twice, a slice
// of rows at a time: the trees, compared through their records, are the
// same as those of splits that keep the whole matrix, on one thread or two,
// by bulk builds, leaf splits and the rebuilds of removals.
TYPED_TEST(TreeRecordRoundTrip, SlicedSplitsBuildTheSameTree) {
  using Kind = TypeParam;
  auto whole = Kind::make();
  auto sliced = Kind::make();
  sliced->max_split_matrix_bytes = 200;  // five rows at degree 5
  const auto steps = [&](IndexOf<Kind>& index, std::size_t workers) {
    index.build_workers = workers;
    const auto items = Kind::items(1500, 51);
    add_items<Kind>(index, items, scattered_ids(items.size(), 0, 52));
    const auto more = Kind::items(150, 53);
    const auto more_ids = scattered_ids(more.size(), 100000, 54);
    for (std::size_t i = 0; i < more.size(); ++i) add_items<Kind>(index, {more[i]}, {more_ids[i]});
    std::vector<std::int64_t> gone = index.ids();
    gone.resize(gone.size() * 3 / 5);
    index.remove_many(gone.data(), gone.size());
  };
  steps(*whole, 1);
  const std::uint64_t whole_calls = *whole->space.calls;
  for (std::size_t workers : {std::size_t{1}, std::size_t{2}}) {
    sliced = Kind::make();
    sliced->max_split_matrix_bytes = 200;
    steps(*sliced, workers);
    EXPECT_GT(*sliced->space.calls, whole_calls);  // measured twice
    expect_same_record(*sliced->export_tree(), *whole->export_tree());
    expect_same_searches<Kind>(*whole, *sliced, 55);
  }
}

TEST(TreeRecordExport, RefusesWhileRemovedPointsAreInTheTree) {
  auto index = built<EuclideanBoxes>(Build::bulk);
  const std::int64_t gone = index->ids().front();
  index->remove(gone);
  EXPECT_FALSE(index->export_tree());
}

TEST(TreeRecordExport, AnEmptyIndexRoundTrips) {
  auto empty = EuclideanBoxes::make();
  const std::optional<TreeRecord> record = empty->export_tree();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->nodes(), 0u);
  auto restored = EuclideanBoxes::make();
  restored->restore(nullptr, 0, [](EuclideanBoxes::Space&) {}, *record);
  EXPECT_EQ(restored->size(), 0u);
  add_items<EuclideanBoxes>(*restored, EuclideanBoxes::items(50, 3), scattered_ids(50, 0, 4));
  EXPECT_EQ(restored->size(), 50u);
}

// --- damaged records ---------------------------------------------------------

using Kind = EuclideanBoxes;
using VectorIndex = IndexOf<Kind>;

// The first node after the root that is a leaf / a child of the root.
std::size_t first_leaf(const TreeRecord& record) {
  for (std::size_t i = 1; i < record.nodes(); ++i) {
    if (record.node_children[i] == 0) return i;
  }
  return 0;
}

struct Damage {
  const char* name;
  std::function<void(TreeRecord&)> apply;
};
void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

template <typename Value>
std::function<void(TreeRecord&)> truncated(std::vector<Value> TreeRecord::*array) {
  return [array](TreeRecord& record) { (record.*array).pop_back(); };
}

const std::vector<Damage>& damages() {
  static const std::vector<Damage> all = {
      {"pivot row out of range", [](TreeRecord& r) { r.node_pivot[3] = static_cast<std::uint32_t>(r.count); }},
      {"bucket row out of range", [](TreeRecord& r) { r.bucket_rows.back() = 0xFFFFFFFFu; }},
      {"row repeated", [](TreeRecord& r) { r.bucket_rows[5] = r.node_pivot[0]; }},
      {"root loses its children", [](TreeRecord& r) { r.node_children[0] = 0; }},
      {"one child too many",
       [](TreeRecord& r) {
         ++r.node_children[0];
         ++r.node_degree[0];
       }},
      {"one child too few",
       [](TreeRecord& r) {
         --r.node_children[0];
         --r.node_degree[0];
       }},
      {"the last leaf claims a child",
       [](TreeRecord& r) {
         // Its bucket rows go to the leaf before it, whose rows precede
         // them: every array stays as long as the counts say.
         const std::size_t last = r.nodes() - 1;
         std::size_t before = last - 1;
         while (r.node_children[before] != 0) --before;
         r.node_bucket[before] += r.node_bucket[last];
         r.node_bucket[last] = 0;
         r.node_children[last] = 1;
         r.node_degree[last] = 1;
       }},
      {"inner degree differs from children", [](TreeRecord& r) { ++r.node_degree[0]; }},
      {"leaf degree beyond the limits", [](TreeRecord& r) { r.node_degree[first_leaf(r)] = r.max_degree + 1; }},
      {"leaf degree zero", [](TreeRecord& r) { r.node_degree[first_leaf(r)] = 0; }},
      {"tree degrees out of order", [](TreeRecord& r) { r.min_degree = r.degree + 1; }},
      {"tree degree huge",
       [](TreeRecord& r) {
         r.max_degree = 1u << 30;
         r.degree = 1u << 30;
       }},
      {"leaves of no points", [](TreeRecord& r) { r.max_leaf_points = 0; }},
      {"more rows than the index", [](TreeRecord& r) { ++r.count; }},
      {"fewer ranges than siblings",
       [](TreeRecord& r) {
         const auto begin = static_cast<std::ptrdiff_t>(r.node_ranges[0]);
         const auto end = begin + static_cast<std::ptrdiff_t>(r.node_ranges[1]);
         r.range_low.erase(r.range_low.begin() + begin, r.range_low.begin() + end);
         r.range_high.erase(r.range_high.begin() + begin, r.range_high.begin() + end);
         r.node_ranges[1] = 0;
       }},
      {"a child without its box",
       [](TreeRecord& r) {
         r.node_box[1] = 0;
         r.boxes.erase(r.boxes.begin(), r.boxes.begin() + 2 * r.box_size);
       }},
      {"a box at the root",
       [](TreeRecord& r) {
         r.node_box[0] = 1;
         r.boxes.insert(r.boxes.begin(), 2 * r.box_size, 0.0);
       }},
      {"boxes of another size",
       [](TreeRecord& r) {
         ++r.box_size;
         r.boxes.resize(r.boxes.size() / (r.box_size - 1) * r.box_size);
       }},
      {"box flag not 0 or 1",
       [](TreeRecord& r) {
         r.node_box[1] = 2;
         r.boxes.insert(r.boxes.begin(), 2 * r.box_size, 0.0);
       }},
      {"an inner node with a bucket",
       [](TreeRecord& r) {
         // The first leaf's first bucket row becomes the root's: the same
         // position in bucket_rows, since inner nodes before it hold none.
         r.node_bucket[0] = 1;
         --r.node_bucket[first_leaf(r)];
       }},
      {"NaN radius", [](TreeRecord& r) { r.node_max_radius[2] = std::nan(""); }},
      {"NaN range", [](TreeRecord& r) { r.range_low[7] = std::nan(""); }},
      {"NaN box", [](TreeRecord& r) { r.boxes[3] = std::nan(""); }},
      {"generator state short", [](TreeRecord& r) { r.generator.pop_back(); }},
      {"no nodes",
       [](TreeRecord& r) {
         // Every per-node and per-entry array emptied, the rest kept.
         TreeRecord bare = r;
         for (auto array : {&TreeRecord::node_pivot, &TreeRecord::node_children, &TreeRecord::node_degree,
                            &TreeRecord::node_ranges, &TreeRecord::node_bucket, &TreeRecord::bucket_rows}) {
           (bare.*array).clear();
         }
         for (auto array : {&TreeRecord::node_min_radius, &TreeRecord::node_max_radius, &TreeRecord::range_low,
                            &TreeRecord::range_high, &TreeRecord::boxes}) {
           (bare.*array).clear();
         }
         bare.node_box.clear();
         bare.bucket_distances.clear();
         r = bare;
       }},
      {"truncated node_pivot", truncated(&TreeRecord::node_pivot)},
      {"truncated node_children", truncated(&TreeRecord::node_children)},
      {"truncated node_degree", truncated(&TreeRecord::node_degree)},
      {"truncated node_min_radius", truncated(&TreeRecord::node_min_radius)},
      {"truncated node_max_radius", truncated(&TreeRecord::node_max_radius)},
      {"truncated node_ranges", truncated(&TreeRecord::node_ranges)},
      {"truncated node_bucket", truncated(&TreeRecord::node_bucket)},
      {"truncated node_box", truncated(&TreeRecord::node_box)},
      {"truncated range_low", truncated(&TreeRecord::range_low)},
      {"truncated range_high", truncated(&TreeRecord::range_high)},
      {"truncated bucket_rows", truncated(&TreeRecord::bucket_rows)},
      {"truncated bucket_distances", truncated(&TreeRecord::bucket_distances)},
      {"truncated boxes", truncated(&TreeRecord::boxes)},
  };
  return all;
}

void expect_empty(const VectorIndex& index) {
  EXPECT_EQ(index.size(), 0u);
  EXPECT_EQ(index.space.rows(), 0u);
  EXPECT_FALSE(index.tree);
  EXPECT_TRUE(index.ids().empty());
  EXPECT_EQ(*index.space.calls, 0u);
}

class TreeRecordDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(TreeRecordDamage, IsRefusedAndLeavesTheIndexEmpty) {
  const auto original = built<Kind>(Build::bulk_then_single);
  const TreeRecord record = *original->export_tree();
  ASSERT_GT(record.node_children[0], 1u);
  ASSERT_LT(record.node_children[0], record.max_degree);
  ASSERT_NE(record.node_children[first_leaf(record)], 1u);
  TreeRecord damaged = record;
  GetParam().apply(damaged);

  auto index = Kind::make();
  EXPECT_THROW(restore_from<Kind>(*index, *original, damaged), std::invalid_argument);
  expect_empty(*index);
  // The same index then takes the sound record.
  restore_from<Kind>(*index, *original, record);
  expect_same_searches<Kind>(*original, *index, 5);
}

INSTANTIATE_TEST_SUITE_P(Each, TreeRecordDamage, ::testing::ValuesIn(damages()),
                         [](const ::testing::TestParamInfo<Damage>& damage) {
                           std::string name = damage.param.name;
                           for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return name;
                         });

TEST(TreeRecordRestore, RefusesDuplicateIdsAndAFullIndex) {
  const auto original = built<Kind>(Build::bulk);
  const TreeRecord record = *original->export_tree();
  std::vector<std::int64_t> ids = ids_of<Kind>(*original, record);
  ids[1] = ids[0];
  auto index = Kind::make();
  EXPECT_THROW(index->restore(ids.data(), ids.size(),
                              [&](Kind::Space& space) { Kind::copy_rows(space, original->space, record.rows); },
                              record),
               std::invalid_argument);
  expect_empty(*index);
  restore_from<Kind>(*index, *original, record);
  EXPECT_THROW(restore_from<Kind>(*index, *original, record), std::logic_error);
  EXPECT_EQ(index->size(), original->size());
}

// Random words overwritten with small numbers: each record is refused or,
// when it still passes every check, gives a tree that searches and grows
// without fault (under the sanitizers, without a bad access).
TEST(TreeRecordRestore, RandomDamageNeverCrashes) {
  const auto original = built<Kind>(Build::bulk_then_single);
  const TreeRecord record = *original->export_tree();
  std::mt19937 random(77);
  const std::vector<std::vector<std::uint32_t> TreeRecord::*> arrays = {
      &TreeRecord::node_pivot,  &TreeRecord::node_children, &TreeRecord::node_degree,
      &TreeRecord::node_ranges, &TreeRecord::node_bucket,   &TreeRecord::bucket_rows};
  std::size_t refused = 0, accepted = 0;
  for (int round = 0; round < 400; ++round) {
    TreeRecord damaged = record;
    for (int change = 0; change < 1 + round % 3; ++change) {
      auto& array = damaged.*arrays[random() % arrays.size()];
      array[random() % array.size()] = static_cast<std::uint32_t>(random() % (round % 2 ? 8 : record.count + 2));
    }
    auto index = Kind::make();
    try {
      restore_from<Kind>(*index, *original, damaged);
    } catch (const std::invalid_argument&) {
      ++refused;
      expect_empty(*index);
      continue;
    }
    ++accepted;
    VectorIndex::Neighbors neighbors;
    VectorIndex::SearchScratch scratch;
    std::vector<VectorIndex::Neighbor> found;
    for (const auto& item : Kind::items(5, static_cast<std::uint32_t>(round))) {
      index->nearest(item.data(), 10, found, neighbors, scratch);
      EXPECT_EQ(found.size(), 10u);
    }
    add_items<Kind>(*index, Kind::items(30, 5), scattered_ids(30, 1 << 20, 6));
    EXPECT_EQ(index->size(), record.count + 30);
  }
  EXPECT_GT(refused, 300u);
  std::printf("random damage: %zu refused, %zu accepted\n", refused, accepted);
}

}  // namespace
