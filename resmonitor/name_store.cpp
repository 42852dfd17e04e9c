#include "resmonitor/name_store.h"

#include <algorithm>
#include <cstring>

#include "resmonitor/name_match.h"

namespace resmonitor {

std::string_view NameStore::keep(std::string_view name) {
  const std::size_t size = name.size() + kNamePadding;  // see name_match.h
  if (free_ == nullptr || size > left_) {
    const std::size_t lines = std::max(kBlockLines, (size + sizeof(Line) - 1) / sizeof(Line));
    blocks_.reserve(blocks_.size() + 1);
    blocks_.push_back(std::make_unique<Line[]>(lines));  // zeroed: the padding is terminators
    free_ = blocks_.back()[0].bytes;
    left_ = lines * sizeof(Line);
  }
  char* copy = free_;
  if (!name.empty()) std::memcpy(copy, name.data(), name.size());
  free_ += size;
  left_ -= size;
  return std::string_view(copy, name.size());
}

void NameStore::clear() {
  blocks_.clear();
  free_ = nullptr;
  left_ = 0;
}

}  // namespace resmonitor
