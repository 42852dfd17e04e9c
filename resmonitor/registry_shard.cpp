#include "resmonitor/registry_shard.h"

#include <utility>

namespace resmonitor {

RegistryShard::~RegistryShard() { clear(); }

std::uint64_t RegistryShard::hash_of(std::string_view name) {
  // FNV-1a over the bytes, then the finaliser of MurmurHash3, whose low bits pick the slot.
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001B3ull;
  }
  hash ^= hash >> 33;
  hash *= 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 33;
  return hash;
}

ResourceGroup* RegistryShard::find(std::string_view name) {
  if (size_ == 0) return nullptr;
  const std::uint64_t hash = hash_of(name);
  for (std::size_t i = home_of(hash);; i = (i + 1) & (capacity_ - 1)) {
    ResourceGroup* group = slots_[i].group;
    if (group == nullptr) return nullptr;
    if (slots_[i].hash == hash && group->name() == name) {
      last_group_ = group;
      return group;
    }
  }
}

ResourceGroup& RegistryShard::emplace(std::string_view name, StackStores& stores) {
  // At most half full: groups never leave one by one, so there is no deletion to plan for, and
  // a look-up of a name the slice lacks ends at the first free slot.
  if ((std::size_t{size_} + 1) * 2 > capacity_) grow();
  ResourceGroup* group = make_group(name, stores);
  const std::uint64_t hash = hash_of(name);
  std::size_t i = home_of(hash);
  while (slots_[i].group != nullptr) i = (i + 1) & (capacity_ - 1);
  slots_[i] = {hash, group};
  ++size_;
  last_group_ = group;
  return *group;
}

ResourceGroup* RegistryShard::make_group(std::string_view name, StackStores& stores) {
  if (!first_group_used_) {
    first_group_used_ = true;
    return new (first_group_) ResourceGroup(name, stores);
  }
  if (cells_left_ == 0) {
    group_blocks_.reserve(group_blocks_.size() + 1);
    group_blocks_.push_back(std::make_unique<GroupCell[]>(kCellsPerBlock));
    cells_left_ = kCellsPerBlock;
  }
  GroupCell& cell = group_blocks_.back()[kCellsPerBlock - cells_left_];
  --cells_left_;
  return new (cell.bytes) ResourceGroup(name, stores);
}

void RegistryShard::destroy(ResourceGroup* group) {
  // A cell's memory goes with its block, in clear().
  group->~ResourceGroup();
  if (group == first_group()) first_group_used_ = false;
}

void RegistryShard::grow() {
  const std::size_t new_capacity = capacity_ == 0 ? kMinimumCapacity : std::size_t{capacity_} * 2;
  auto grown = std::make_unique<Slot[]>(new_capacity);
  for (std::size_t old = 0; old < capacity_; ++old) {
    if (slots_[old].group == nullptr) continue;
    std::size_t i = slots_[old].hash & (new_capacity - 1);
    while (grown[i].group != nullptr) i = (i + 1) & (new_capacity - 1);
    grown[i] = slots_[old];
  }
  slots_ = std::move(grown);
  capacity_ = static_cast<std::uint32_t>(new_capacity);
}

void RegistryShard::clear() {
  last_group_ = nullptr;
  // Each group drops its entries' stacks as it goes.
  for_each_group([this](ResourceGroup& group) { destroy(&group); });
  slots_.reset();
  capacity_ = 0;
  size_ = 0;
  group_blocks_.clear();
  cells_left_ = 0;
}

}  // namespace resmonitor
