#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#include "callstack/symbol_handler.h"
#include "resmonitor/report_text.h"
#include "resmonitor/resource_group.h"

namespace resmonitor {
namespace {

// Gives up the entry's reference on its pooled stack, if it has one.
void forget_stack(CStackInfo& store, const ResourceEntry& entry) {
  if (entry.stack != nullptr) release_stack(store, entry.stack);
}

}  // namespace

ResourceGroup::ResourceGroup(std::string_view name) : stack_info(std::make_shared<CStackInfo>()) {
  copy_object_name(name.data(), name.size(), object_name);
}

void ResourceGroup::start_symbols(bool first_of_name) {
  if (first_of_name) {
    init_symbol_handler(*stack_info);
  } else {
    share_symbol_handler(*stack_info);
  }
}

ResourceGroup::~ResourceGroup() { clear(); }

void ResourceGroup::fill_copy(void* obj, const ResourceEntry& entry, ResMonitorInfo& copy) const {
  std::memcpy(copy.objName, object_name, sizeof object_name);
  copy.obj = obj;
  copy.createTime = entry.created;
  copy.callStack = entry.stack_text;
}

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

bool ResourceGroup::snapshot(void* obj, GroupSnapshot& into) {
  const ResourceEntry* entry = entries.find(obj);
  if (entry == nullptr) return false;
  PooledStack* stack = entry->stack_text.empty() ? entry->stack : nullptr;
  // The reference is taken once the copy that gives it up exists.
  fill_copy(obj, *entry, into.add_copy(stack_info, stack));
  if (stack != nullptr) retain_stack(*stack_info, stack);
  return true;
}

void ResourceGroup::snapshot_all(GroupSnapshot& into) {
  // The table has no order; queries list pointers ascending.
  std::vector<std::pair<void*, const ResourceEntry*>> sorted;
  sorted.reserve(entries.size());
  entries.for_each(
      [&sorted](void* obj, const ResourceEntry& entry) { sorted.emplace_back(obj, &entry); });
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return std::less<void*>()(a.first, b.first); });

  // One lock of the store for all references.
  std::lock_guard<quillmark::platform::ShortLock> stacks_lock(stack_info->stacks_mutex);
  for (const auto& [obj, entry] : sorted) {
    PooledStack* stack = entry->stack_text.empty() ? entry->stack : nullptr;
    fill_copy(obj, *entry, into.add_copy(stack_info, stack));
    if (stack != nullptr) stack_info->pool.retain(stack);
  }
}

void ResourceGroup::keep_text(void* obj, const PooledStack* stack, const std::string& text) {
  ResourceEntry* entry = entries.find(obj);
  if (entry != nullptr && entry->stack == stack && entry->stack_text.empty()) {
    entry->stack_text = text;
  }
}

void ResourceGroup::clear() {
  entries.for_each([this](void*, const ResourceEntry& entry) { forget_stack(*stack_info, entry); });
  entries.clear();
}

}  // namespace resmonitor
