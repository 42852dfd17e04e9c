// The registry's copy of each object name: the bytes every group of the name compares a
// registration's name with. They lie in blocks of their own, whole cache lines that hold nothing
// but names: a name shares no line with data that a thread writes at every registration, so
// threads that register under one name in different slices each read it from their own cache.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace resmonitor {

class NameStore {
 public:
  // A copy of `name` that lasts until clear(), padded with zeros for name_matches (see
  // name_match.h). May allocate (std::bad_alloc changes nothing).
  std::string_view keep(std::string_view name);
  // Frees every copy.
  void clear();

 private:
  struct alignas(64) Line {
    char bytes[64];
  };
  static constexpr std::size_t kBlockLines = 64;

  std::vector<std::unique_ptr<Line[]>> blocks_;
  char* free_ = nullptr;  // the unused rest of the last block
  std::size_t left_ = 0;
};

}  // namespace resmonitor
