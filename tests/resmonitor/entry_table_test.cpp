// The registration table against std::map as a model: random adds and removes over a small key
// space (so probe runs collide, wrap around the end and get holes closed), then growth and the
// shrink after a burst.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "resmonitor/entry_table.h"

namespace resmonitor {
namespace {

void* key(std::uintptr_t value) { return reinterpret_cast<void*>(value); }

void expect_same(EntryTable& table, const std::map<void*, std::time_t>& model) {
  ASSERT_EQ(table.size(), model.size());
  std::size_t visited = 0;
  table.for_each([&](void* obj, const ResourceEntry& entry) {
    ++visited;
    const auto expected = model.find(obj);
    ASSERT_NE(expected, model.end()) << obj;
    EXPECT_EQ(entry.created, expected->second) << obj;
  });
  EXPECT_EQ(visited, model.size());
  for (const auto& [obj, created] : model) {
    const ResourceEntry* entry = table.find(obj);
    ASSERT_NE(entry, nullptr) << obj;
    EXPECT_EQ(entry->created, created);
  }
}

TEST(EntryTable, AgreesWithAMapUnderRandomAddsAndRemoves) {
  std::mt19937_64 random(20261206);
  EntryTable table;
  std::map<void*, std::time_t> model;
  for (int step = 0; step < 200000; ++step) {
    // Aligned pointers from a few hundred objects, as a host's allocations are.
    void* obj = key(0x10000 + 16 * (random() % 300));
    if (random() % 2 == 0) {
      const auto [entry, added] = table.insert(obj);
      EXPECT_EQ(added, model.count(obj) == 0);
      if (added) {
        entry->created = step;
        model[obj] = step;
      }
    } else {
      ResourceEntry removed;
      const bool found = table.take(obj, removed);
      ASSERT_EQ(found, model.count(obj) != 0) << obj;
      if (found) {
        EXPECT_EQ(removed.created, model[obj]);
        model.erase(obj);
      }
    }
    if (step % 5000 == 0) expect_same(table, model);
  }
  expect_same(table, model);
}

TEST(EntryTable, KeepsEntriesAcrossGrowthAndGivesRoomBackAfterABurst) {
  EntryTable table;
  constexpr std::uintptr_t kBurst = 100000;
  for (std::uintptr_t i = 1; i <= kBurst; ++i) {
    ResourceEntry* entry = table.insert(key(i * 64)).first;
    entry->created = static_cast<std::time_t>(i);
  }
  const std::size_t burst_capacity = table.capacity();
  EXPECT_GE(burst_capacity, kBurst);
  EXPECT_EQ(table.find(key(64000))->created, 1000);

  ResourceEntry removed;
  for (std::uintptr_t i = 1; i < kBurst; ++i) ASSERT_TRUE(table.take(key(i * 64), removed));
  EXPECT_EQ(removed.created, static_cast<std::time_t>(kBurst - 1));
  EXPECT_EQ(table.size(), 1u);
  EXPECT_LE(table.capacity(), 32u);
  EXPECT_EQ(table.find(key(kBurst * 64))->created, static_cast<std::time_t>(kBurst));
  EXPECT_EQ(table.find(key(64)), nullptr);
  EXPECT_FALSE(table.take(key(64), removed));

  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(key(kBurst * 64)), nullptr);
  EXPECT_TRUE(table.insert(key(8)).second);
}

}  // namespace
}  // namespace resmonitor
