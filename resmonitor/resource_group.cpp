#include <ctime>

#include "callstack/symbol_handler.h"
#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

// Gives up the entry's reference on its pooled stack, if it has one.
void forget_stack(const ResourceEntry& entry) {
  if (entry.stack != nullptr) release_stack(*entry.stack_info, entry.stack);
}

}  // namespace

ResourceGroup::ResourceGroup() : stack_info(std::make_shared<CStackInfo>()) {
  init_symbol_handler(*stack_info);
}

ResourceGroup::~ResourceGroup() { clear(); }

bool ResourceGroup::contains(void* obj) {
  std::lock_guard<std::mutex> lock(group_mutex);
  return entries.count(obj) != 0;
}

ResourceGroup::PreparedEntry ResourceGroup::prepare(const char* objName, void* obj) {
  std::map<void*, ResourceEntry> one;
  ResourceEntry& entry = one[obj];
  copy_object_name(objName, entry.info.objName);
  entry.info.obj = obj;
  entry.info.createTime = std::time(nullptr);
  return one.extract(one.begin());
}

int ResourceGroup::add(PreparedEntry& entry, std::unique_ptr<CallStack>& stack) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto hint = entries.lower_bound(entry.key());
  if (hint != entries.end() && hint->first == entry.key()) return 0;

  if (stack) {
    entry.mapped().stack = intern_stack(*stack_info, stack);
    entry.mapped().stack_info = stack_info;
  }
  entries.insert(hint, std::move(entry));  // no allocation: cannot fail
  return 0;
}

ResourceGroup::PreparedEntry ResourceGroup::remove(void* obj) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto found = entries.find(obj);
  if (found == entries.end()) return PreparedEntry();
  forget_stack(found->second);
  found->second.stack = nullptr;
  return entries.extract(found);
}

bool ResourceGroup::snapshot(void* obj, GroupSnapshot& into) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto found = entries.find(obj);
  if (found == entries.end()) return false;
  const ResourceEntry& entry = found->second;
  PooledStack* stack = entry.info.callStack.empty() ? entry.stack : nullptr;
  into.add_copy(entry.info, stack);
  if (stack != nullptr) {
    retain_stack(*stack_info, stack);
    into.store = stack_info;
  }
  return true;
}

void ResourceGroup::snapshot_all(GroupSnapshot& into) {
  std::lock_guard<std::mutex> lock(group_mutex);
  into.store = stack_info;
  // One lock of the store for all references, in the group's lock as everywhere else.
  std::lock_guard<std::mutex> stacks_lock(stack_info->stacks_mutex);
  for (const auto& [obj, entry] : entries) {
    PooledStack* stack = entry.info.callStack.empty() ? entry.stack : nullptr;
    into.add_copy(entry.info, stack);
    if (stack != nullptr) stack_info->pool.retain(stack);
  }
}

void ResourceGroup::keep_text(void* obj, const PooledStack* stack, const std::string& text) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto found = entries.find(obj);
  if (found == entries.end()) return;
  ResourceEntry& entry = found->second;
  if (entry.stack == stack && entry.info.callStack.empty()) entry.info.callStack = text;
}

void ResourceGroup::clear() {
  std::lock_guard<std::mutex> lock(group_mutex);
  for (const auto& [obj, entry] : entries) forget_stack(entry);
  entries.clear();
}

}  // namespace resmonitor
