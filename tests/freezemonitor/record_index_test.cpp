// The id index of the registry against a plain model, through growth, removals that shift
// entries back, moves and repeated ids.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>

#include "freezemonitor/record_index.h"

namespace freezemonitor {
namespace {

// id -> positions; find must answer the smallest one.
using Model = std::map<std::uint64_t, std::set<std::size_t>>;

void expect_matches(const RecordIndex& index, const Model& model, std::uint64_t largest_id) {
  std::size_t entries = 0;
  for (std::uint64_t id = 0; id <= largest_id; ++id) {
    const auto found = model.find(id);
    if (found == model.end() || found->second.empty()) {
      ASSERT_EQ(index.find(id), RecordIndex::kNone) << "id " << id;
    } else {
      ASSERT_EQ(index.find(id), *found->second.begin()) << "id " << id;
      entries += found->second.size();
    }
  }
  EXPECT_EQ(index.size(), entries);
}

TEST(RecordIndex, EmptyIndexFindsNothing) {
  RecordIndex index;
  EXPECT_EQ(index.find(1), RecordIndex::kNone);
  index.erase(1, 0);
  index.move(1, 0, 1);
  EXPECT_EQ(index.size(), 0u);
}

// Random inserts, erases and moves over a small id range, so the table grows, probes collide
// and removals shift runs of entries back; repeated ids stand for a wrapped id counter.
TEST(RecordIndex, AgreesWithAModelThroughRandomChanges) {
  constexpr std::uint64_t kLargestId = 600;
  std::mt19937_64 random(20261205);
  RecordIndex index;
  Model model;
  std::size_t next_position = 0;
  for (int step = 0; step < 20000; ++step) {
    const std::uint64_t id = random() % (kLargestId + 1);
    auto& positions = model[id];
    const int action = static_cast<int>(random() % 4);
    if (action <= 1 || positions.empty()) {
      index.reserve_one_more();
      index.insert(id, next_position);
      positions.insert(next_position++);
    } else if (action == 2) {
      const std::size_t position = *std::next(positions.begin(), random() % positions.size());
      index.erase(id, position);
      positions.erase(position);
    } else {
      const std::size_t from = *positions.rbegin();
      index.move(id, from, next_position);
      positions.erase(from);
      positions.insert(next_position++);
    }
    if (step % 997 == 0) expect_matches(index, model, kLargestId);
  }
  expect_matches(index, model, kLargestId);

  index.clear();
  EXPECT_EQ(index.size(), 0u);
  EXPECT_EQ(index.find(model.begin()->first), RecordIndex::kNone);
}

TEST(RecordIndex, RepeatedIdAnswersTheFrontMostEntryUntilItIsErased) {
  RecordIndex index;
  for (std::size_t position : {7u, 3u, 9u}) {
    index.reserve_one_more();
    index.insert(42, position);
  }
  EXPECT_EQ(index.find(42), 3u);
  index.erase(42, 3);
  EXPECT_EQ(index.find(42), 7u);
  index.erase(42, 5);  // no such entry: nothing changes
  EXPECT_EQ(index.size(), 2u);
  index.move(42, 9, 1);
  EXPECT_EQ(index.find(42), 1u);
}

// Tracers come in bursts: a table grown for a large one shrinks once it is empty and the next
// burst was small, so lone tracers find their slots in a few cache lines; bursts of one size keep
// their table.
TEST(RecordIndex, ShrinksAfterABurstButKeepsRoomForBurstsOfTheSameSize) {
  RecordIndex index;
  std::uint64_t next_id = 1;
  const auto burst = [&](std::size_t count) {
    const std::uint64_t first = next_id;
    for (std::size_t i = 0; i < count; ++i) {
      index.reserve_one_more();
      index.insert(next_id++, i);
    }
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(index.take(first + i), i);
    ASSERT_EQ(index.size(), 0u);
  };
  burst(1000);
  const std::size_t grown = index.capacity();
  EXPECT_GE(grown, 2000u);
  burst(1000);
  burst(1000);
  EXPECT_EQ(index.capacity(), grown);
  burst(1);  // a lone tracer finds the large table, and leaves it small
  EXPECT_LE(index.capacity(), 16u);
  burst(1000);
  EXPECT_EQ(index.capacity(), grown);
}

}  // namespace
}  // namespace freezemonitor
