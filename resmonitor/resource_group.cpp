#include <ctime>

#include "callstack/describe_stack.h"
#include "callstack/symbol_handler.h"
#include "resmonitor/registry.h"
#include "resmonitor/report_text.h"

namespace resmonitor {
namespace {

bool records_stacks(MonitorInfoLevel level) {
  return (level & (MonitorInfoStack | MonitorInfoDetail)) != 0;
}

// Drops the recorded stack of `obj` from the entry's store, if the entry has one.
void forget_stack(void* obj, const ResourceEntry& entry) {
  if (!entry.stack_info) return;
  std::lock_guard<std::mutex> lock(entry.stack_info->stacks_mutex);
  entry.stack_info->stacks.erase(obj);
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

int ResourceGroup::add(const char* objName, void* obj, MonitorInfoLevel level) {
  if (contains(obj)) return 0;

  std::shared_ptr<CStackInfo> recorded_in;
  if (records_stacks(level)) {
    recorded_in = stack_info;
    StackContext context;
    context.return_address = QUILLMARK_RETURN_ADDRESS();
    record_stack(*stack_info, obj, objName, context);
  }

  ResMonitorInfo info;
  copy_object_name(objName, info.objName);
  info.obj = obj;
  info.createTime = std::time(nullptr);

  std::lock_guard<std::mutex> lock(group_mutex);
  ResourceEntry& entry = entries[obj];
  entry.info = std::move(info);
  entry.stack_info = std::move(recorded_in);
  return 0;
}

void ResourceGroup::remove(void* obj) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto found = entries.find(obj);
  if (found == entries.end()) return;
  forget_stack(obj, found->second);
  entries.erase(found);
}

int ResourceGroup::get(void* obj, ResMonitorInfo& info) {
  std::lock_guard<std::mutex> lock(group_mutex);
  const auto found = entries.find(obj);
  if (found == entries.end()) return -1;
  ResourceEntry& entry = found->second;
  if (entry.info.callStack.empty() && entry.stack_info) {
    entry.info.callStack = describe_stack(*entry.stack_info, obj);
  }
  info = entry.info;
  return 0;
}

void ResourceGroup::append_all(std::list<ResMonitorInfo>& out) {
  std::lock_guard<std::mutex> lock(group_mutex);
  for (auto& [obj, entry] : entries) {
    out.push_back(entry.info);
    ResMonitorInfo& copy = out.back();
    if (copy.callStack.empty() && entry.stack_info) {
      copy.callStack = describe_stack(*entry.stack_info, obj);
    }
  }
}

std::size_t ResourceGroup::size() {
  std::lock_guard<std::mutex> lock(group_mutex);
  return entries.size();
}

void ResourceGroup::clear() {
  std::lock_guard<std::mutex> lock(group_mutex);
  for (auto& [obj, entry] : entries) forget_stack(obj, entry);
  entries.clear();
}

}  // namespace resmonitor
