// Stacks of one frozen thread sampled over its hang, grouped into the distinct places it was
// found: a sample belongs to a group when it stood in the same function (any place in it) with
// the same chain of callers. Not thread-safe; the watchdog owns it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/thread_capture.h"

namespace freezemonitor {

class StackSamples {
 public:
  void add(const quillmark::platform::ThreadStack& stack);
  std::uint32_t count() const { return count_; }
  std::size_t distinct() const { return groups_.size(); }

  struct Group {
    std::vector<std::uint64_t> key;          // the function's start, then the return addresses
    quillmark::platform::ThreadStack first;  // the group's first sample, to show
    std::uint32_t count = 0;
  };
  // Most frequent first; among equals, the one seen first.
  std::vector<const Group*> by_frequency() const;

 private:
  std::vector<Group> groups_;
  std::uint32_t count_ = 0;
};

// The text of the sampled record: a head line, then per group "  <share>% (<k> of <n>):" and its
// frames as `describe` gives them.
using StackDescriber = std::string (*)(const quillmark::platform::ThreadStack& stack);
std::string samples_text(const StackSamples& samples, const std::string& head,
                         StackDescriber describe);

}  // namespace freezemonitor
