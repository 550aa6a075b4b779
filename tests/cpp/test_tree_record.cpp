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
#include <tuple>

#include "test_support.h"
#include "vexel/row_index.h"
#include "vexel/string_space.h"
#include "vexel/tree_record.h"
#include "vexel/vector_space.h"

namespace {

using namespace vexel_test;
using vexel::TreeRecord;
using Ids = std::vector<std::int64_t>;

// A space that counts every distance it measures, with short leaves and
// few children so that small data make deep trees.
template <typename Base>
struct Counting : Base {
  using Query = typename Base::Query;
  using Base::Base;
  explicit Counting(Base base) : Base(std::move(base)) {}

  static std::uint32_t leaf_points() { return 12; }
  static std::uint32_t tree_degree() { return 5; }

  // Counts `n` distances, then measures them.
  template <typename Measure>
  auto counted(std::size_t n, Measure measure) const {
    *calls += n;
    return measure();
  }
  double distance(const Query& q, std::uint32_t r) const { return counted(1, [&] { return Base::distance(q, r); }); }
  double distance(std::uint32_t a, std::uint32_t b) const { return counted(1, [&] { return Base::distance(a, b); }); }
  template <typename... Limit>
  auto batch(const Query& q, const std::uint32_t* rows, std::size_t n, double* out, Limit... limit) const
      -> decltype(std::declval<const Base&>().batch(q, rows, n, out, limit...)) {
    return counted(n, [&] { return Base::batch(q, rows, n, out, limit...); });
  }
  // The same, with the search's summary of its query (where kept).
  template <typename Summary, typename B = Base>
  auto distance(const Query& q, const Summary& summary, std::uint32_t r) const
      -> decltype(std::declval<const B&>().distance(q, summary, r)) {
    return counted(1, [&] { return Base::distance(q, summary, r); });
  }
  template <typename Summary, typename B = Base>
  auto batch(const Query& q, const Summary& summary, const std::uint32_t* rows, std::size_t n, double* out) const
      -> decltype(std::declval<const B&>().batch(q, summary, rows, n, out)) {
    return counted(n, [&] { return Base::batch(q, summary, rows, n, out); });
  }
  template <typename B = Base>
  auto within(const Query& q, std::uint32_t r, double limit) const
      -> decltype(std::declval<const B&>().within(q, r, limit)) {
    return counted(1, [&] { return Base::within(q, r, limit); });
  }
  void column(std::uint32_t center, const std::uint32_t* rows, std::size_t n, double* out) const {
    counted(n, [&] { Base::column(center, rows, n, out); });
  }
  Counting reordered(const std::vector<std::uint32_t>& order) const {
    Counting other(Base::reordered(order));
    other.calls = calls;
    return other;
  }

  std::shared_ptr<std::uint64_t> calls = std::make_shared<std::uint64_t>(0);
};

// What the tests need of a kind of space: an empty index, random items,
// appending one, copying a row from another index, and a query.
template <typename Scalar, vexel::VectorMetric Metric>
struct Vectors {
  using Space = Counting<vexel::VectorSpace<Scalar>>;
  using Item = Point;
  static constexpr std::size_t dim = 4;
  static auto make() { return std::make_unique<vexel::RowIndex<Space>>(Metric, dim); }
  // Small integers: ties everywhere, and boxes that prune.
  static std::vector<Item> items(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Item> out(n, Item(dim));
    for (Item& p : out) {
      for (double& x : p) x = static_cast<double>(random() % 11) - 5.0;
    }
    return out;
  }
  static void append(Space& space, const Item& p) { space.append(p.data(), 1); }
  static void copy_row(Space& space, const Space& from, std::uint32_t r) {
    append(space, Point(from.row(r), from.row(r) + dim));
  }
  static const double* query(const Item& p) { return p.data(); }
};

struct Words {
  using Space = Counting<vexel::StringSpace>;
  using Item = std::vector<std::uint32_t>;
  static auto make() { return std::make_unique<vexel::RowIndex<Space>>(vexel::StringMetric::levenshtein); }
  static std::vector<Item> items(std::size_t n, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<Item> out(n);
    for (Item& word : out) {
      word.resize(1 + random() % 8);
      for (std::uint32_t& c : word) c = static_cast<std::uint32_t>('a' + random() % 6);
    }
    return out;
  }
  static void append(Space& space, const Item& word) { space.append(word.data(), word.size()); }
  static void copy_row(Space& space, const Space& from, std::uint32_t r) { space.append(from.row(r), from.length(r)); }
  static vexel::StringSpace::Query query(const Item& word) { return {word.data(), word.size()}; }
};

using EuclideanBoxes = Vectors<double, vexel::VectorMetric::euclidean>;
using AngularFloats = Vectors<float, vexel::VectorMetric::angular>;  // no boxes

template <typename Kind>
using IndexOf = vexel::RowIndex<typename Kind::Space>;

// The record's arrays of row numbers and counts, and of numbers.
const std::pair<const char*, std::vector<std::uint32_t> TreeRecord::*> kCountArrays[] = {
    {"node_pivot", &TreeRecord::node_pivot},   {"node_children", &TreeRecord::node_children},
    {"node_degree", &TreeRecord::node_degree}, {"node_ranges", &TreeRecord::node_ranges},
    {"node_bucket", &TreeRecord::node_bucket}, {"bucket_rows", &TreeRecord::bucket_rows},
    {"node_split_refused", &TreeRecord::node_split_refused}};
const std::pair<const char*, std::vector<double> TreeRecord::*> kValueArrays[] = {
    {"node_min_radius", &TreeRecord::node_min_radius}, {"node_max_radius", &TreeRecord::node_max_radius},
    {"range_low", &TreeRecord::range_low},             {"range_high", &TreeRecord::range_high},
    {"boxes", &TreeRecord::boxes}};

// The record's fields that are not arrays of the nodes.
template <typename Record>
auto shape_of(Record& r) {
  return std::tie(r.degree, r.min_degree, r.max_degree, r.max_leaf_points, r.count, r.box_size, r.generator);
}

void expect_same_record(const TreeRecord& a, const TreeRecord& b) {
  EXPECT_EQ(shape_of(a), shape_of(b));
  for (auto [name, array] : kCountArrays) EXPECT_EQ(a.*array, b.*array) << name;
  for (auto [name, array] : kValueArrays) EXPECT_EQ(a.*array, b.*array) << name;
  EXPECT_EQ(a.node_box, b.node_box);
  ASSERT_EQ(a.bucket_distances.size(), b.bucket_distances.size());
  const std::size_t bytes = a.bucket_distances.size() * sizeof(float);
  EXPECT_EQ(std::memcmp(a.bucket_distances.data(), b.bucket_distances.data(), bytes), 0) << "bucket_distances";
}

// Restores into `target` the tree and rows `source` exports, under the
// source's ids unless `ids` are given.
template <typename Kind>
void restore_from(IndexOf<Kind>& target, const IndexOf<Kind>& source, const TreeRecord& record, Ids ids = {}) {
  if (ids.empty()) {
    for (std::uint32_t row : record.rows) ids.push_back(source.row_ids[row]);
  }
  const auto copy = [&](typename Kind::Space& space) {
    for (std::uint32_t row : record.rows) Kind::copy_row(space, source.space, row);
  };
  target.restore(ids.data(), ids.size(), copy, record);
}

// Both indexes answer the same queries alike (equal ids, distances equal
// or both NaN) after measuring as many distances.
template <typename Kind>
void expect_same_searches(const IndexOf<Kind>& a, const IndexOf<Kind>& b, std::uint32_t seed) {
  typename IndexOf<Kind>::Neighbors neighbors;
  typename IndexOf<Kind>::SearchScratch scratch;
  std::vector<typename IndexOf<Kind>::Neighbor> found;
  const auto answers = [&](const IndexOf<Kind>& index) {
    std::vector<std::pair<double, std::int64_t>> all;  // each answer's size, then its entries
    const auto keep = [&] {
      all.emplace_back(found.size(), -1);
      for (const auto& entry : found) all.emplace_back(std::isnan(entry.distance) ? -1 : entry.distance, entry.stored);
    };
    const std::uint64_t before = *index.space.calls;
    for (const auto& item : Kind::items(25, seed)) {
      const auto query = Kind::query(item);
      for (std::size_t k : {1, 6, 40}) {
        index.nearest(query, k, found, neighbors, scratch);
        keep();
      }
      for (double radius : {0.0, 0.1, 1.5, 4.0}) {
        index.within(query, radius, found, neighbors, scratch);
        keep();
      }
    }
    return std::make_pair(all, *index.space.calls - before);
  };
  const auto [answers_a, calls_a] = answers(a);
  const auto [answers_b, calls_b] = answers(b);
  EXPECT_EQ(answers_a, answers_b);
  EXPECT_EQ(calls_a, calls_b);
  EXPECT_GT(calls_a, 0u);
}

// The same ids, tree and answers.
template <typename Kind>
void expect_same_index(const IndexOf<Kind>& a, const IndexOf<Kind>& b, std::uint32_t seed) {
  EXPECT_EQ(a.ids(), b.ids());
  expect_same_record(a.export_tree().value(), b.export_tree().value());
  expect_same_searches<Kind>(a, b, seed);
}

// Ids with gaps, in a shuffled order.
Ids scattered_ids(std::size_t n, std::int64_t first, std::uint32_t seed, std::int64_t spacing = 3) {
  Ids ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = first + spacing * static_cast<std::int64_t>(i);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(seed));
  return ids;
}

// Adds the items in one batch, or one by one.
template <typename Kind>
void add_items(IndexOf<Kind>& index, const std::vector<typename Kind::Item>& items, const Ids& ids, bool singly) {
  for (std::size_t i = 0, step = singly ? 1 : items.size(); i < items.size(); i += step) {
    index.add(ids.data() + i, step, [&](typename Kind::Space& space) {
      for (std::size_t j = i; j < i + step; ++j) Kind::append(space, items[j]);
    });
  }
}

// How the index to be saved was built (dense_ids: in bulk, under the ids
// 0 .. n - 1, which its id map keeps in a dense table).
enum class Build { bulk, single, bulk_then_single, rebuilt_by_removal, dense_ids };

template <typename Kind>
std::unique_ptr<IndexOf<Kind>> built(Build build, std::size_t split_bytes = 0, std::size_t workers = 1) {
  auto index = Kind::make();
  if (split_bytes != 0) index->max_split_matrix_bytes = split_bytes;
  index->build_workers = workers;
  const auto items = Kind::items(build == Build::single ? 700 : 1500, 11);
  const Ids ids = build == Build::dense_ids ? scattered_ids(items.size(), 0, 12, 1) : scattered_ids(items.size(), 5, 12);
  add_items<Kind>(*index, items, ids, build == Build::single);
  if (build == Build::bulk_then_single) add_items<Kind>(*index, Kind::items(200, 13), scattered_ids(200, 1, 14), true);
  if (build == Build::rebuilt_by_removal) {
    // As many marked as live, at least 500: the removal rebuilds, and the
    // rows it dropped are numbered away.
    EXPECT_EQ(index->remove_many(ids.data(), 900), 900u);
    EXPECT_EQ(index->removed_rows, 0u);
  }
  return index;
}

// Work after a round trip: single additions that split leaves, a batch as
// large as the index (one bulk rebuild), then removals of 3/5 (a rebuild).
template <typename Kind>
void later_work(IndexOf<Kind>& index, int step) {
  if (step == 0) add_items<Kind>(index, Kind::items(150, 31), scattered_ids(150, 100000, 32), true);
  if (step == 1) {
    const auto batch = Kind::items(index.size() + 10, 41);
    add_items<Kind>(index, batch, scattered_ids(batch.size(), 200000, 42), false);
  }
  if (step == 2) {
    const Ids ids = index.ids();
    index.remove_many(ids.data(), ids.size() * 3 / 5);
  }
}

template <typename Kind>
class TreeRecordRoundTrip : public ::testing::Test {};
using Kinds = ::testing::Types<EuclideanBoxes, AngularFloats, Words>;
TYPED_TEST_SUITE(TreeRecordRoundTrip, Kinds);

// Later work splits with the generator's next draws: the same trees.
TYPED_TEST(TreeRecordRoundTrip, GivesBackTheTreeItsAnswersAndItsFuture) {
  using Kind = TypeParam;
  for (Build build : {Build::bulk, Build::single, Build::bulk_then_single, Build::rebuilt_by_removal, Build::dense_ids}) {
    SCOPED_TRACE(static_cast<int>(build));
    auto original = built<Kind>(build);
    const std::optional<TreeRecord> record = original->export_tree();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->id_rows.size(), build == Build::dense_ids ? record->count : 0u);
    ASSERT_EQ(record->rows.size(), original->size());
    ASSERT_GT(record->nodes(), 20u);  // a deep tree, not one leaf

    auto restored = Kind::make();
    restore_from<Kind>(*restored, *original, *record);
    EXPECT_EQ(*restored->space.calls, 0u) << "a restore measured distances";
    expect_same_index<Kind>(*original, *restored, 21);
    for (int step = 0; step < 3; ++step) {
      SCOPED_TRACE(step);
      for (auto* index : {original.get(), restored.get()}) {
        *index->space.calls = 0;
        later_work<Kind>(*index, step);
      }
      EXPECT_EQ(*original->space.calls, *restored->space.calls);
      expect_same_index<Kind>(*original, *restored, 33 + step);
    }
  }
}

// A split bounded to a few bytes of distances measures them twice, a slice
// of rows at a time: the same trees as splits that keep the whole matrix,
// on one thread or two, by bulk builds, leaf splits and rebuilds.
TYPED_TEST(TreeRecordRoundTrip, SlicedSplitsBuildTheSameTree) {
  using Kind = TypeParam;
  auto whole = built<Kind>(Build::bulk);
  for (int step = 0; step < 3; ++step) later_work<Kind>(*whole, step);
  const std::uint64_t whole_calls = *whole->space.calls;
  for (std::size_t workers : {std::size_t{1}, std::size_t{2}}) {
    auto sliced = built<Kind>(Build::bulk, 200, workers);  // five rows at degree 5
    for (int step = 0; step < 3; ++step) later_work<Kind>(*sliced, step);
    EXPECT_GT(*sliced->space.calls, whole_calls);  // measured twice
    expect_same_index<Kind>(*whole, *sliced, 55);
  }
}

using Kind = EuclideanBoxes;
using VectorIndex = IndexOf<Kind>;

void expect_empty(const VectorIndex& index) {
  EXPECT_EQ(index.size(), 0u);
  EXPECT_EQ(index.space.rows(), 0u);
  EXPECT_FALSE(index.tree);
  EXPECT_TRUE(index.ids().empty());
  EXPECT_EQ(*index.space.calls, 0u);
}

TEST(TreeRecordExport, AnEmptyIndexRoundTripsAndRemovedPointsAreNeverExported) {
  const TreeRecord record = Kind::make()->export_tree().value();
  EXPECT_EQ(record.nodes(), 0u);
  auto restored = Kind::make();
  restored->restore(nullptr, 0, [](Kind::Space&) {}, record);
  expect_empty(*restored);
  add_items<Kind>(*restored, Kind::items(50, 3), scattered_ids(50, 0, 4), false);
  EXPECT_EQ(restored->size(), 50u);
  restored->remove(restored->ids().front());
  EXPECT_FALSE(restored->export_tree());
}

// --- damaged records ---------------------------------------------------------

// The first node after the root that is a leaf.
std::size_t first_leaf(const TreeRecord& r) {
  std::size_t i = 1;
  while (i < r.nodes() && r.node_children[i] != 0) ++i;
  return i;
}

struct Damage {
  std::string name;
  std::function<void(TreeRecord&)> apply;
};
void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

std::vector<Damage> damages() {
  const auto box_added = [](TreeRecord& r) { r.boxes.insert(r.boxes.begin(), 2 * r.box_size, 0.0); };
  std::vector<Damage> all = {
      {"pivot row out of range", [](TreeRecord& r) { r.node_pivot[3] = static_cast<std::uint32_t>(r.count); }},
      {"bucket row out of range", [](TreeRecord& r) { r.bucket_rows.back() = 0xFFFFFFFFu; }},
      {"row repeated", [](TreeRecord& r) { r.bucket_rows[5] = r.node_pivot[0]; }},
      {"root loses its children", [](TreeRecord& r) { r.node_children[0] = 0; }},
      {"one child too many", [](TreeRecord& r) { ++r.node_children[0]; ++r.node_degree[0]; }},
      {"one child too few", [](TreeRecord& r) { --r.node_children[0]; --r.node_degree[0]; }},
      {"the last leaf claims a child",
       [](TreeRecord& r) {
         // Its bucket rows go to the leaf before it, whose rows precede
         // them: every array stays as long as the counts say.
         const std::size_t last = r.nodes() - 1;
         std::size_t before = last - 1;
         while (r.node_children[before] != 0) --before;
         r.node_bucket[before] += std::exchange(r.node_bucket[last], 0);
         r.node_children[last] = r.node_degree[last] = 1;
       }},
      {"inner degree differs from children", [](TreeRecord& r) { ++r.node_degree[0]; }},
      {"leaf degree beyond the limits", [](TreeRecord& r) { r.node_degree[first_leaf(r)] = r.max_degree + 1; }},
      {"leaf degree zero", [](TreeRecord& r) { r.node_degree[first_leaf(r)] = 0; }},
      {"tree degrees out of order", [](TreeRecord& r) { r.min_degree = r.degree + 1; }},
      {"tree degree huge", [](TreeRecord& r) { r.max_degree = r.degree = 1u << 30; }},
      {"leaves of no points", [](TreeRecord& r) { r.max_leaf_points = 0; }},
      {"more rows than the index", [](TreeRecord& r) { ++r.count; }},
      {"fewer ranges than siblings",
       [](TreeRecord& r) {
         const auto begin = static_cast<std::ptrdiff_t>(r.node_ranges[0]);
         const auto end = begin + static_cast<std::ptrdiff_t>(std::exchange(r.node_ranges[1], 0));
         r.range_low.erase(r.range_low.begin() + begin, r.range_low.begin() + end);
         r.range_high.erase(r.range_high.begin() + begin, r.range_high.begin() + end);
       }},
      {"a child without its box",
       [](TreeRecord& r) { r.node_box[1] = 0; r.boxes.resize(r.boxes.size() - 2 * r.box_size); }},
      {"a box at the root", [=](TreeRecord& r) { r.node_box[0] = 1; box_added(r); }},
      {"boxes of another size",
       [](TreeRecord& r) { r.boxes.resize(r.boxes.size() / r.box_size * (r.box_size + 1)); ++r.box_size; }},
      {"box flag not 0 or 1", [=](TreeRecord& r) { r.node_box[1] = 2; box_added(r); }},
      // The first leaf's first bucket row becomes the root's: the same
      // position in bucket_rows, since inner nodes before it hold none.
      {"an inner node with a bucket", [](TreeRecord& r) { r.node_bucket[0] = 1; --r.node_bucket[first_leaf(r)]; }},
      {"NaN radius", [](TreeRecord& r) { r.node_max_radius[2] = std::nan(""); }},
      {"NaN range", [](TreeRecord& r) { r.range_low[7] = std::nan(""); }},
      {"NaN box", [](TreeRecord& r) { r.boxes[3] = std::nan(""); }},
      {"generator state short", [](TreeRecord& r) { r.generator.pop_back(); }},
      {"no nodes",  // every per-node and per-entry array emptied, the rest kept
       [](TreeRecord& r) { TreeRecord bare; shape_of(bare) = shape_of(r); bare.rows = r.rows; r = bare; }},
      {"two id tables", [](TreeRecord& r) { r.id_rows = r.id_slots; }},
      {"truncated node_box", [](TreeRecord& r) { r.node_box.pop_back(); }},
      {"truncated bucket_distances", [](TreeRecord& r) { r.bucket_distances.pop_back(); }},
  };
  for (auto [name, array] : kCountArrays) {
    all.push_back({std::string("truncated ") + name, [=](TreeRecord& r) { (r.*array).pop_back(); }});
  }
  for (auto [name, array] : kValueArrays) {
    all.push_back({std::string("truncated ") + name, [=](TreeRecord& r) { (r.*array).pop_back(); }});
  }
  for (Damage& damage : all) {
    for (char& c : damage.name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return all;
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
  // The same index then takes the sound record, and no other.
  restore_from<Kind>(*index, *original, record);
  expect_same_searches<Kind>(*original, *index, 5);
  EXPECT_THROW(restore_from<Kind>(*index, *original, record), std::logic_error);
  EXPECT_EQ(index->size(), original->size());
}

INSTANTIATE_TEST_SUITE_P(Each, TreeRecordDamage, ::testing::ValuesIn(damages()),
                         [](const ::testing::TestParamInfo<Damage>& damage) { return damage.param.name; });

TEST(TreeRecordRestore, RefusesDuplicateIds) {
  const auto original = built<Kind>(Build::bulk);
  const TreeRecord record = *original->export_tree();
  Ids ids;
  for (std::uint32_t row : record.rows) ids.push_back(original->row_ids[row]);
  ids[1] = ids[0];
  auto index = Kind::make();
  EXPECT_THROW(restore_from<Kind>(*index, *original, record, ids), std::invalid_argument);
  expect_empty(*index);
}

// Random words overwritten with small numbers: each record is refused or,
// when it still passes every check, gives a tree that searches and grows
// without fault (under the sanitizers, without a bad access).
TEST(TreeRecordRestore, RandomDamageNeverCrashes) {
  const auto original = built<Kind>(Build::bulk_then_single);
  const TreeRecord record = *original->export_tree();
  std::mt19937 random(77);
  std::size_t refused = 0;
  for (int round = 0; round < 400; ++round) {
    TreeRecord damaged = record;
    for (int change = 0; change < 1 + round % 3; ++change) {
      auto& array = damaged.*kCountArrays[random() % std::size(kCountArrays)].second;
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
    VectorIndex::Neighbors neighbors;
    VectorIndex::SearchScratch scratch;
    std::vector<VectorIndex::Neighbor> found;
    for (const auto& item : Kind::items(5, static_cast<std::uint32_t>(round))) {
      index->nearest(item.data(), 10, found, neighbors, scratch);
      EXPECT_EQ(found.size(), 10u);
    }
    add_items<Kind>(*index, Kind::items(30, 5), scattered_ids(30, 1 << 20, 6), false);
    EXPECT_EQ(index->size(), record.count + 30);
  }
  EXPECT_GT(refused, 300u);
  std::printf("random damage: %zu refused, %zu accepted\n", refused, 400 - refused);
}

}  // namespace
