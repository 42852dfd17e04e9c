// One slice of the resource registry: the groups of the objects whose pointers fall to it.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "resmonitor/owned_mutex.h"
#include "resmonitor/resource_group.h"

namespace resmonitor {

// Threads that register different objects mostly work in different slices, each under its own
// lock. Everything but `mutex` is guarded by it.
class alignas(64) RegistryShard {
 public:
  // Never held while a stack is captured or resolved. It knows its owner, so that an exit on the
  // thread holding it never waits for it.
  OwnedMutex mutex;

  // The group of the whole name `name`, or null. The group found last is checked first, against
  // the C string itself: a host registers under a few names over and over.
  ResourceGroup* find(const char* name) {
    if (last_group_ != nullptr && names_match(*last_name_, name)) return last_group_;
    return find(std::string_view(name));
  }
  ResourceGroup* find(std::string_view name) {
    const auto found = groups_.find(name);
    if (found == groups_.end()) return nullptr;
    last_name_ = &found->first;
    last_group_ = found->second.get();
    return last_group_;
  }
  ResourceGroup& insert(std::string_view name, std::unique_ptr<ResourceGroup> group) {
    return *groups_.emplace(std::string(name), std::move(group)).first->second;
  }
  void clear() {
    last_name_ = nullptr;
    last_group_ = nullptr;
    groups_.clear();  // each group drops its entries' stacks as it goes
  }
  // Keyed by the whole object name, byte-wise order. Groups leave only through clear().
  const std::map<std::string, std::unique_ptr<ResourceGroup>, std::less<>>& groups() const {
    return groups_;
  }

 private:
  // Whether the C string `name` is `key`, reading no byte of `name` past its terminator.
  static bool names_match(const std::string& key, const char* name) {
    return std::strncmp(name, key.data(), key.size()) == 0 && name[key.size()] == '\0';
  }

  std::map<std::string, std::unique_ptr<ResourceGroup>, std::less<>> groups_;
  const std::string* last_name_ = nullptr;  // a key of groups_, with last_group_
  ResourceGroup* last_group_ = nullptr;
};

}  // namespace resmonitor
