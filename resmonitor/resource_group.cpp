#include "resmonitor/resource_group.h"

namespace resmonitor {

ResourceGroup::ResourceGroup(std::string_view name, StackStores& stores)
    : name_(name), stores_(stores) {}

ResourceGroup::~ResourceGroup() { clear(); }

void ResourceGroup::append_to(RegistrySnapshot& into) {
  const std::uint32_t group = into.add_group(name_);
  entries.for_each([&into, group](void* obj, const ResourceEntry& entry) {
    into.add_entry(group, obj, entry.created, entry.stack);
  });
}

bool ResourceGroup::append_one(void* obj, RegistrySnapshot& into) {
  const ResourceEntry* entry = entries.find(obj);
  if (entry == nullptr) return false;
  if (entry->stack) into.pin(stores_, entry->stack.lane());
  const std::uint32_t group = into.add_group(name_);
  into.add_entry(group, obj, entry->created, entry->stack);
  return true;
}

void ResourceGroup::clear() {
  entries.for_each([this](void*, const ResourceEntry& entry) { stores_.release(entry.stack); });
  entries.clear();
}

}  // namespace resmonitor
