#include <ctime>
#include <mutex>

#include "resmonitor/resource_group.h"

namespace resmonitor {
namespace {

// Gives up the entry's reference on its pooled stack, if it has one.
void forget_stack(CStackInfo& store, const ResourceEntry& entry) {
  if (entry.stack != nullptr) release_stack(store, entry.stack);
}

}  // namespace

ResourceGroup::ResourceGroup(std::string_view name, const std::shared_ptr<CStackInfo>& store)
    : name_(name), stack_info(store) {}

ResourceGroup::~ResourceGroup() { clear(); }

int ResourceGroup::add(void* obj, std::time_t created, const CapturedFrames* stack) {
  const auto [entry, added] = entries.insert(obj);
  if (!added) return 0;
  entry->created = created;
  if (stack != nullptr) {
    try {
      entry->stack = intern_stack(*stack_info, *stack);
    } catch (...) {
      ResourceEntry unused;
      entries.take(obj, unused);
      throw;
    }
  }
  return 0;
}

bool ResourceGroup::remove(void* obj, ResourceEntry& removed) {
  if (!entries.take(obj, removed)) return false;
  forget_stack(*stack_info, removed);
  removed.stack = nullptr;
  return true;
}

void ResourceGroup::append_to(RegistrySnapshot& into) {
  const std::uint32_t group = into.add_group(name_, stack_info);
  entries.for_each([&into, group](void* obj, const ResourceEntry& entry) {
    into.add_entry(group, obj, entry.created, entry.stack);
  });
}

bool ResourceGroup::append_one(void* obj, RegistrySnapshot& into) {
  const ResourceEntry* entry = entries.find(obj);
  if (entry == nullptr) return false;
  const std::uint32_t group = into.add_group(name_, stack_info);
  into.add_entry(group, obj, entry->created, entry->stack);
  return true;
}

void ResourceGroup::clear() {
  entries.for_each([this](void*, const ResourceEntry& entry) { forget_stack(*stack_info, entry); });
  entries.clear();
}

}  // namespace resmonitor
