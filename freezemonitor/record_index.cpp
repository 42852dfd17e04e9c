#include "freezemonitor/record_index.h"

#include <new>
#include <utility>

namespace freezemonitor {

namespace {

constexpr std::size_t kSmallestCapacity = 16;
// A table this many times larger than its last burst needed shrinks once it is empty.
constexpr std::size_t kOversized = 8;

}  // namespace

// Fibonacci hashing spreads the consecutive ids over the table.
std::size_t RecordIndex::home_of(std::uint64_t id) const {
  return static_cast<std::size_t>((id * 0x9E3779B97F4A7C15ULL) >> 32) & (slots_.size() - 1);
}

void RecordIndex::reserve_one_more() {
  if (used_ >= peak_) peak_ = used_ + 1;
  if ((used_ + 1) * 2 <= slots_.size()) return;
  rehash(slots_.empty() ? kSmallestCapacity : slots_.size() * 2);
}

void RecordIndex::rehash(std::size_t capacity) {
  std::vector<Slot> old(capacity);
  old.swap(slots_);
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.position != kNone) insert(slot.id, slot.position);
  }
}

void RecordIndex::insert(std::uint64_t id, std::size_t position) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = home_of(id);
  while (slots_[at].position != kNone) at = (at + 1) & mask;
  slots_[at] = Slot{id, position};
  ++used_;
}

// Repeated ids sit in the same run of occupied slots, so the whole run is searched.
std::size_t RecordIndex::find(std::uint64_t id) const {
  if (used_ == 0) return kNone;
  const std::size_t mask = slots_.size() - 1;
  std::size_t found = kNone;
  for (std::size_t at = home_of(id); slots_[at].position != kNone; at = (at + 1) & mask) {
    if (slots_[at].id == id && (found == kNone || slots_[at].position < found)) {
      found = slots_[at].position;
    }
  }
  return found;
}

std::size_t RecordIndex::take(std::uint64_t id) {
  if (used_ == 0) return kNone;
  const std::size_t mask = slots_.size() - 1;
  std::size_t found_slot = kNone;
  for (std::size_t at = home_of(id); slots_[at].position != kNone; at = (at + 1) & mask) {
    if (slots_[at].id == id &&
        (found_slot == kNone || slots_[at].position < slots_[found_slot].position)) {
      found_slot = at;
    }
  }
  if (found_slot == kNone) return kNone;
  const std::size_t position = slots_[found_slot].position;
  remove_slot(found_slot);
  return position;
}

std::size_t RecordIndex::slot_of(std::uint64_t id, std::size_t position) const {
  if (used_ == 0) return kNone;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = home_of(id); slots_[at].position != kNone; at = (at + 1) & mask) {
    if (slots_[at].id == id && slots_[at].position == position) return at;
  }
  return kNone;
}

void RecordIndex::erase(std::uint64_t id, std::size_t position) {
  const std::size_t slot = slot_of(id, position);
  if (slot != kNone) remove_slot(slot);
}

void RecordIndex::move(std::uint64_t id, std::size_t from, std::size_t to) {
  const std::size_t slot = slot_of(id, from);
  if (slot != kNone) slots_[slot].position = to;
}

// Backward-shift deletion: entries after the hole that may live in it move back, so searches
// never need markers for removed entries.
void RecordIndex::remove_slot(std::size_t hole) {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = (hole + 1) & mask; slots_[at].position != kNone; at = (at + 1) & mask) {
    const std::size_t home = home_of(slots_[at].id);
    if (((at - home) & mask) >= ((at - hole) & mask)) {
      slots_[hole] = slots_[at];
      hole = at;
    }
  }
  slots_[hole] = Slot{};
  if (--used_ != 0) return;
  // Tables of up to this size stay as they are: the smallest a burst needs is smaller only by
  // kOversized.
  if (slots_.size() > kSmallestCapacity * kOversized) shrink_after_burst();
  peak_ = 0;
}

// Sized as reserve_one_more would have grown it for the burst: its next one of the same size
// then needs no rehash.
void RecordIndex::shrink_after_burst() {
  std::size_t needed = kSmallestCapacity;
  while (needed < peak_ * 2) needed *= 2;
  if (slots_.size() <= needed * kOversized) return;
  try {
    std::vector<Slot>(needed).swap(slots_);
  } catch (const std::bad_alloc&) {
    // The large table still serves.
  }
}

void RecordIndex::clear() {
  for (Slot& slot : slots_) slot = Slot{};
  used_ = 0;
  peak_ = 0;
}

}  // namespace freezemonitor
