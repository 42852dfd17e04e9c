#include "resmonitor/name_store.h"

#include <algorithm>
#include <cstring>

namespace resmonitor {

std::string_view NameStore::keep(std::string_view name) {
  if (free_ == nullptr || name.size() > left_) {  // an empty name too gets bytes to point at
    const std::size_t lines =
        std::max(kBlockLines, (name.size() + sizeof(Line) - 1) / sizeof(Line));
    blocks_.reserve(blocks_.size() + 1);
    blocks_.push_back(std::make_unique<Line[]>(lines));
    free_ = blocks_.back()[0].bytes;
    left_ = lines * sizeof(Line);
  }
  char* copy = free_;
  if (!name.empty()) std::memcpy(copy, name.data(), name.size());
  free_ += name.size();
  left_ -= name.size();
  return std::string_view(copy, name.size());
}

void NameStore::clear() {
  blocks_.clear();
  free_ = nullptr;
  left_ = 0;
}

}  // namespace resmonitor
