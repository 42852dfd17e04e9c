#include "freezemonitor/stack_samples.h"

#include <algorithm>
#include <cstdio>

namespace freezemonitor {

namespace {

std::vector<std::uint64_t> key_of(const quillmark::platform::ThreadStack& stack) {
  std::vector<std::uint64_t> key(stack.frames, stack.frames + stack.count);
  if (!key.empty()) key[0] = quillmark::platform::function_start(key[0]);
  return key;
}

}  // namespace

void StackSamples::add(const quillmark::platform::ThreadStack& stack) {
  ++count_;
  std::vector<std::uint64_t> key = key_of(stack);
  for (Group& group : groups_) {
    if (group.key == key) {
      ++group.count;
      return;
    }
  }
  groups_.push_back({std::move(key), stack, 1});
}

std::vector<const StackSamples::Group*> StackSamples::by_frequency() const {
  std::vector<const Group*> ordered;
  for (const Group& group : groups_) ordered.push_back(&group);
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const Group* a, const Group* b) { return a->count > b->count; });
  return ordered;
}

std::string samples_text(const StackSamples& samples, const std::string& head,
                         StackDescriber describe) {
  std::string text = head;
  for (const StackSamples::Group* group : samples.by_frequency()) {
    char line[64];
    std::snprintf(line, sizeof line, "\n  %u%% (%u of %u):\n",
                  static_cast<unsigned>(group->count * 100 / samples.count()), group->count,
                  samples.count());
    text += line;
    text += describe(group->first);
    if (!text.empty() && text.back() == '\n') text.pop_back();
  }
  return text;
}

}  // namespace freezemonitor
